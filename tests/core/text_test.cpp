#include <gtest/gtest.h>

#include <string>

#include <vector>

#include "core/text.h"

namespace {

TEST(AccessIdText, ParseAcceptsTheWaysUsersTypeIt) {
    struct Case { std::wstring text; const char* want; };
    const Case cases[] = {
        {L"123 456 789", "123456789"},
        {L"123-456-789", "123456789"},
        {L"123456789", "123456789"},
        {L"12 34 56 789", "123456789"},
        {L"  123\t456 - 789 ", "123456789"},
        {L"000 000 001", "000000001"},
        {L"12345678", ""},
        {L"1234567890", ""},
        {L"123 456 789 0", ""},
        {L"123.456.789", ""},
        {L"123456789\n", ""},
        {L"123456789\r", ""},
        {L"", ""},
        {L"   ", ""},
        {L"12345678a", ""},
        {L"a123456789", ""},
        {L"\xFF11\xFF12\xFF13\xFF14\xFF15\xFF16\xFF17\xFF18\xFF19", ""},  // full-width digits
        {L"123\x3000" L"456\x3000" L"789", ""},                           // ideographic space
        {L"\x0661\x0662\x0663\x0664\x0665\x0666\x0667\x0668\x0669", ""},  // Arabic-Indic digits
        {std::wstring(L"1234\0" L"56789", 10), ""},
        {std::wstring(100000, L'1'), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(parseAccessId(c.text), c.want) << c.text.size();
}

// Shared with the Windows test, which checks the system converter gives the same units.
struct Utf16Case {
    const char* name;
    std::string utf8;
    std::u16string units;
};
const std::vector<Utf16Case>& utf16Cases() {
    static const std::vector<Utf16Case> cases = {
        {"ascii", "abc", u"abc"},
        {"korean", "\xED\x95\x9C\xEA\xB8\x80", u"\xD55C\xAE00"},
        {"outside the BMP", "\xF0\x9F\x98\x80", u"\xD83D\xDE00"},
        {"stray continuation", "a\x80" "b", u"a\xFFFD" u"b"},
        {"cut-off sequence", "\xED\x95", u"\xFFFD"},
        {"cut-off then ascii", "\xE2\x82" "a", u"\xFFFD" u"a"},
        {"invalid lead bytes", "\xC0\xFF", u"\xFFFD\xFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\xFFFD"},
        {"encoded surrogate", "\xED\xA0\x80" "a", u"\xFFFD" u"a"},
        {"overlong", "\xE0\x80\x80", u"\xFFFD"},
        {"embedded nul", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    return cases;
}

TEST(Utf8ToUtf16, Table) {
    for (const auto& c : utf16Cases()) EXPECT_EQ(utf8ToUtf16(c.utf8), c.units) << c.name;
}

TEST(AccessIdText, FormatGroupsNineCharacters) {
    EXPECT_EQ(formatAccessId("123456789"), L"123 456 789");
    EXPECT_EQ(formatAccessId("000012345"), L"000 012 345");
    EXPECT_EQ(formatAccessId("abcdefghi"), L"abc def ghi");  // not checked for digits
    EXPECT_EQ(formatAccessId("12345"), L"12345");
    EXPECT_EQ(formatAccessId("1234567890"), L"1234567890");
    EXPECT_EQ(formatAccessId(""), L"");
    // Three Korean syllables are nine bytes but three characters: shown unchanged.
    EXPECT_EQ(formatAccessId("\xED\x95\x9C\xEA\xB8\x80\xEC\x9E\x90"), L"\xD55C\xAE00\xC790");
    // Formatting and parsing meet.
    EXPECT_EQ(parseAccessId(formatAccessId("987654321")), "987654321");
}

#ifndef _WIN32
// Native wide strings hold code points; the way back to UTF-8 replaces what is none.
TEST(PortableWideText, RoundTripAndReplacement) {
    const std::string text = "a\xED\x95\x9C\xF0\x9F\x98\x80";  // a, 한, U+1F600
    EXPECT_EQ(portableUtf8ToWide(text), std::wstring(L"a\xD55C") + wchar_t(0x1F600));
    EXPECT_EQ(portableWideToUtf8(portableUtf8ToWide(text)), text);
    EXPECT_EQ(portableWideToUtf8(std::wstring{wchar_t(0xD800), wchar_t(0x110000)}), "\xEF\xBF\xBD\xEF\xBF\xBD");
}
#endif

TEST(AccessIdText, FormatSurvivesInvalidUtf8) {
    std::wstring w = formatAccessId(std::string("\xFF\xC3", 2));
    EXPECT_EQ(w, std::wstring(L"\xFFFD\xFFFD"));
}

}  // namespace
