#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "core/json.h"
#include "files/browse.h"
#include "files/pickers.h"

namespace {

Json listingOf(const std::string& text) {
    Json out;
    EXPECT_TRUE(Json::parse(text, out)) << text;
    return out;
}

TEST(BrowseModel, PathOfARowJoinsWithTheHostsSeparator) {
    const Json places = listingOf(
        R"x({"path":"","entries":[{"name":"홈 (kim)","dir":true},{"name":"드라이브 C:","dir":true},{"name":"x","dir":true}],)x"
        R"x("rootPaths":["C:\\Users\\kim","C:\\",5]})x");
    EXPECT_EQ(browsePathAt(places, 0), "C:\\Users\\kim");
    EXPECT_EQ(browsePathAt(places, 1), "C:\\");
    EXPECT_EQ(browsePathAt(places, 2), "");  // not a string
    EXPECT_EQ(browsePathAt(places, 7), "");

    const struct {
        const char* path;
        const char* expected;
    } cases[] = {
        {"C:\\", "C:\\a b.txt"},
        {"C:\\Users", "C:\\Users\\a b.txt"},
        {"/home/a", "/home/a/a b.txt"},
        {"/", "/a b.txt"},
        {"C:/Users\\kim", "C:/Users\\kim\\a b.txt"},  // any "\" makes it a Windows path
        {"\\\\nas\\share\\", "\\\\nas\\share\\a b.txt"},
    };
    for (const auto& c : cases) {
        Json listing;
        listing.set("path", c.path);
        Json entry;
        entry.set("name", "a b.txt");
        listing.set("entries", Json()).push(entry);
        EXPECT_EQ(browsePathAt(listing, 0), c.expected) << c.path;
    }
    // A row whose name is missing joins an empty name.
    EXPECT_EQ(browsePathAt(listingOf(R"x({"path":"C:\\x","entries":[{"dir":false}]})x"), 0), "C:\\x\\");
}

// Local time fixed at UTC+9 for the table, refusing what Windows refuses.
bool seoulTime(int64_t seconds, std::tm& out) {
    if (seconds < 0 || seconds > 32535215999) return false;
    const std::time_t t = std::time_t(seconds + 9 * 3600);
#ifdef _WIN32
    return gmtime_s(&out, &t) == 0;
#else
    return gmtime_r(&t, &out) != nullptr;
#endif
}

TEST(BrowseModel, RowsShowNameSizeAndTime) {
    const Json listing = listingOf(
        R"x({"path":"C:\\x","parent":"C:\\","entries":[)x"
        R"x({"name":"사진","dir":true,"mtime":1700000000},)x"
        R"x({"name":"a.txt","dir":false,"size":1234567,"mtime":1700000000},)x"
        R"x({"name":"zero.txt","dir":false,"size":0,"mtime":0},)x"
        R"x({"name":"old.txt","dir":false,"size":5,"mtime":-86400},)x"
        R"x({"name":"far.txt","dir":false,"size":-7,"mtime":1e300},)x"
        R"x({"name":"big.txt","dir":false,"size":1e30},)x"
        R"x({"name":"odd","dir":"yes","size":"12"},)x"
        R"x({"dir":false,"size":999.9}]})x");
    const std::vector<BrowseRow> rows = browseRows(listing, seoulTime);
    const std::vector<std::vector<std::string>> expected = {
        {"📁 사진", "", "2023-11-15 07:13"},
        {"a.txt", "1.2 MB", "2023-11-15 07:13"},
        {"zero.txt", "0바이트", ""},
        {"old.txt", "5바이트", ""},          // before 1970: refused, left empty
        {"far.txt", "0바이트", ""},          // beyond the range: refused; a negative size reads 0
        {"big.txt", "9223372036.85 GB", ""}, // beyond 64 bits: the largest count
        {"odd", "0바이트", ""},              // "dir" must be the boolean true; "size" a number
        {"", "999바이트", ""},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i].name, expected[i][0]);
        EXPECT_EQ(rows[i].size, expected[i][1]);
        EXPECT_EQ(rows[i].time, expected[i][2]);
    }
    // The product's own conversion refuses a time before 1970 in both builds.
    EXPECT_EQ(browseRow(listing.get("entries").at(3)).time, "");
    // An object's members are rows too; anything else has none.
    EXPECT_EQ(browseRows(listingOf(R"x({"entries":{"a":{"name":"x"},"b":{"name":"y","dir":true}}})x")).size(), 2u);
    EXPECT_EQ(browseRows(listingOf(R"x({"entries":"x"})x")).size(), 0u);
}

// A listing within the bound of bytes may still hold far more entries than a host lists (`[0,0,…]`):
// the browser shows as many rows as a host lists, never one list-view row per element.
TEST(BrowseModel, RowsStopAtWhatAHostLists) {
    const struct {
        const char* what;
        char open, close;
        std::string (*entry)(size_t i);
    } shapes[] = {
        {"numbers", '[', ']', [](size_t) { return std::string("0"); }},
        {"empty objects", '[', ']', [](size_t) { return std::string("{}"); }},
        {"members", '{', '}', [](size_t i) { return std::to_string(i).insert(0, 1, '"').append("\":0"); }},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        std::string text = std::string(R"({"path":"C:\\","entries":)") + shape.open;
        for (size_t i = 0; i < 2 * kMaxBrowseRows; ++i) {
            if (i > 0) text += ',';
            text += shape.entry(i);
        }
        text += shape.close;
        text += "}";
        const Json listing = listingOf(text);
        EXPECT_EQ(browseEntryCount(listing), kMaxBrowseRows);
        EXPECT_EQ(browseRows(listing).size(), kMaxBrowseRows);
        EXPECT_EQ(browseListingStatus(listing), std::to_string(kMaxBrowseRows) + "개 · 두 번 눌러 열기, 골라서 '받기' (폴더도 됨)");
    }
}

TEST(BrowseModel, TextsOfTheWindow) {
    EXPECT_EQ(browseTitle("사무실 PC"), "원격 파일 — 사무실 PC");
    EXPECT_EQ(browsePathLine(listingOf(R"x({"path":"","entries":[]})x")), "처음 자리");
    EXPECT_EQ(browsePathLine(Json()), "처음 자리");
    EXPECT_EQ(browsePathLine(listingOf(R"x({"path":"D:\\자료","entries":[]})x")), "D:\\자료");
    EXPECT_EQ(browseListingStatus(listingOf(R"x({"path":"C:\\","entries":[{},{},{}]})x")),
              "3개 · 두 번 눌러 열기, 골라서 '받기' (폴더도 됨)");
    EXPECT_EQ(browseListingStatus(listingOf(R"x({"path":"C:\\","entries":[]})x")),
              "0개 · 두 번 눌러 열기, 골라서 '받기' (폴더도 됨)");
    EXPECT_EQ(browseListingStatus(listingOf(R"x({"path":"C:\\x","entries":[],"error":"열 수 없습니다 (5)"})x")),
              "열 수 없습니다 (5)");
    EXPECT_EQ(browseListingStatus(listingOf(R"x({"entries":[],"error":3})x")), "");
    EXPECT_EQ(browseReceivingText("a.txt"), "받는 중: a.txt");
    EXPECT_EQ(browseReceivingCountText(2), "받는 중: 2개 → 다운로드 폴더");
    EXPECT_EQ(browseSendingText(3, "C:\\x"), "보내는 중: 3개 → C:\\x");
}

TEST(BrowseModel, LayoutFollowsTheWindowsDpi) {
    const BrowseLayout at96 = browseLayout(680, 441, 96);
    EXPECT_EQ(at96.up.left, 8);
    EXPECT_EQ(at96.up.width, 64);
    EXPECT_EQ(at96.send.left, 680 - 8 - 140);
    EXPECT_EQ(at96.receive.left, 680 - 8 - 140 - 8 - 64);
    EXPECT_EQ(at96.path.left, 80);
    EXPECT_EQ(at96.path.width, 680 - 64 - 64 - 140 - 40);
    EXPECT_EQ(at96.list.top, 46);
    EXPECT_EQ(at96.list.height, 441 - 30 - 16 - 22 - 8);
    EXPECT_EQ(at96.status.top, 441 - 22 - 4);
    EXPECT_EQ(at96.status.width, 680 - 16);
    // 144 DPI: every metric times 1.5; 120 DPI rounds 8 x 1.25 = 10 and 22 x 1.25 = 27.5 up to 28.
    const BrowseLayout at144 = browseLayout(1020, 700, 144);
    EXPECT_EQ(at144.up.left, 12);
    EXPECT_EQ(at144.up.height, 45);
    EXPECT_EQ(at144.send.width, 210);
    EXPECT_EQ(at144.status.top, 700 - 33 - 6);
    const BrowseLayout at120 = browseLayout(800, 600, 120);
    EXPECT_EQ(at120.status.height, 28);
    EXPECT_EQ(at120.status.top, 600 - 28 - 5);
    EXPECT_EQ(browseScale(-13, 144), -20);  // half away from zero, as MulDiv
}

TEST(OpenFileResult, OneFileOrAFolderWithNames) {
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::wstring buffer;
        std::vector<std::wstring> paths;
    } cases[] = {
        {"one file", L"C:\\dir\\a.txt\0\0\0\0"s, {L"C:\\dir\\a.txt"}},
        {"three in a folder", L"C:\\dir\0a.txt\0b c.txt\0한글.txt\0\0"s,
         {L"C:\\dir\\a.txt", L"C:\\dir\\b c.txt", L"C:\\dir\\한글.txt"}},
        {"in a drive root", L"D:\\\0a.txt\0b.txt\0\0"s, {L"D:\\a.txt", L"D:\\b.txt"}},
        {"cancelled (nothing)", std::wstring(8, L'\0'), {}},
        {"last string cut off by the buffer's end", L"C:\\dir\0a.txt\0b.t"s, {L"C:\\dir\\a.txt"}},
        {"single string without terminator", L"C:\\dir\\a.t"s, {}},
    };
    for (const auto& c : cases) EXPECT_EQ(parseOpenFileResult(c.buffer), c.paths) << c.name;
}

}  // namespace
