#include <gtest/gtest.h>

#include <string>

#include "core/text.h"
#include "core/util.h"

namespace {

TEST(TextWin, KoreanRoundTrips) {
    const std::string utf8 = "\xEC\x95\x88\xEB\x85\x95\xED\x95\x98\xEC\x84\xB8\xEC\x9A\x94 PC";  // 안녕하세요 PC
    const std::wstring wide = L"\xC548\xB155\xD558\xC138\xC694 PC";
    EXPECT_EQ(utf8ToWide(utf8), wide);
    EXPECT_EQ(wideToUtf8(wide), utf8);
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(wideToUtf8(L""), "");
}

TEST(TextWin, ValidUtf16RoundTrips) {
    const std::wstring texts[] = {
        L"a", L"\x00E9", L"\x07FF\x0800", L"\xFFFD\xFFFF", L"\xD83D\xDE00",  // U+1F600
        L"\xDBFF\xDFFF", std::wstring(L"x\0y", 3), L"\x1100\x1161\x11AB",
        std::wstring(70000, L'\xAC00'),
    };
    for (const auto& t : texts) EXPECT_EQ(utf8ToWide(wideToUtf8(t)), t) << t.size();
    EXPECT_EQ(wideToUtf8(L"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8ToWide(std::string("x\0y", 3)), std::wstring(L"x\0y", 3));
}

TEST(TextWin, InvalidInputBecomesReplacementCharacter) {
    struct Case { std::string utf8; std::wstring want; };
    const Case cases[] = {
        {"a\xFF" "b", L"a\xFFFD" L"b"},
        {"\xC3", L"\xFFFD"},                // cut short
        {"\xED\xA0\x80", L""},              // encoded surrogate: not UTF-8
        {"\xC0\xAF", L""},                  // over-long form
    };
    for (const auto& c : cases) {
        std::wstring w = utf8ToWide(c.utf8);
        EXPECT_FALSE(w.empty()) << c.utf8.size();
        EXPECT_NE(w.find(L'\xFFFD'), std::wstring::npos) << c.utf8.size();
        if (!c.want.empty()) {
            EXPECT_EQ(w, c.want);
        }
    }
    // A lone surrogate half has no UTF-8 form.
    EXPECT_EQ(wideToUtf8(L"a\xD800" L"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(wideToUtf8(L"\xDC00"), "\xEF\xBF\xBD");
}

TEST(TextWin, NormalizeComposes) {
    EXPECT_EQ(normalizeUtf8(L"e\x0301"), "\xC3\xA9");
    EXPECT_EQ(normalizeUtf8(L"\x00E9"), "\xC3\xA9");
    // Conjoining jamo typed one by one become the syllable 한.
    EXPECT_EQ(normalizeUtf8(L"\x1112\x1161\x11AB"), "\xED\x95\x9C");
    EXPECT_EQ(normalizeUtf8(L""), "");
    EXPECT_EQ(normalizeUtf8(L"plain ascii"), "plain ascii");
}

TEST(TextWin, NormalizeHandlesTextThatGrows) {
    // U+FB2C is excluded from composition: each one becomes three code points, so the
    // normalised text is three times the input and must come out whole.
    std::wstring in(2000, L'\xFB2C');
    std::wstring want;
    for (int i = 0; i < 2000; ++i) want += L"\x05E9\x05BC\x05C1";
    EXPECT_EQ(normalizeUtf8(in), wideToUtf8(want));
}

}  // namespace

namespace {
// The portable converter that types text into the host must split text into the same UTF-16
// units as the system converter. Converters differ in how many U+FFFD they give for overlong,
// surrogate or out-of-range sequences, so those are checked only in the portable table.
TEST(TextWin, PortableUtf16MatchesSystem) {
    const std::string inputs[] = {"abc", "\xED\x95\x9C\xEA\xB8\x80", "\xF0\x9F\x98\x80", "a\x80" "b",
                                  "\xED\x95", "\xE2\x82" "a", "\xC0\xFF", "\xF0\x9F\x98",
                                  std::string("a\0b", 3)};
    for (const auto& in : inputs) {
        std::wstring sys = utf8ToWide(in);
        std::u16string mine = utf8ToUtf16(in);
        EXPECT_EQ(std::u16string(sys.begin(), sys.end()), mine) << hexEncode(asBytes(in));
    }
}
}  // namespace
