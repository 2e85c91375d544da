#include <gtest/gtest.h>

#include <string>

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

TEST(AccessIdText, FormatSurvivesInvalidUtf8) {
    std::wstring w = formatAccessId(std::string("\xFF\xC3", 2));
    EXPECT_EQ(w, std::wstring(L"\xFFFD\xFFFD"));
}

}  // namespace
