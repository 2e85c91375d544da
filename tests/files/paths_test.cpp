#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "files/fileio.h"
#include "files/paths.h"
#include "support/file_transfer.h"

namespace {

std::wstring rep(size_t n, wchar_t c) { return std::wstring(n, c); }
std::string rep8(size_t n, char c) { return std::string(n, c); }

// A path written with "|" for the platform's separator.
std::wstring P(std::wstring text) {
    for (auto& c : text)
        if (c == L'|') c = kPathSeparator;
    return text;
}

struct SplitCase {
    const char* name;
    std::string path;
    bool accepted;
    std::vector<std::wstring> parts;
};

// "d/d/.../d" with n components.
std::string components(int n) {
    std::string s = "d";
    for (int i = 1; i < n; ++i) s += "/d";
    return s;
}

TEST(ReceivedPath, SplitsAndCleansComponents) {
    const SplitCase cases[] = {
        {"plain", "a/b/c.txt", true, {L"a", L"b", L"c.txt"}},
        {"empty pieces", "/a//b/", true, {L"a", L"b"}},
        {"dot dot", "a/../b", false, {}},
        {"dot", "./a", false, {}},
        {"empty", "", false, {}},
        {"only slashes", "//", false, {}},
        {"backslash is no separator", "a\\..\\b", true, {L"a_.._b"}},
        {"drive letter", "C:/Windows/x", true, {L"C_", L"Windows", L"x"}},
        {"forbidden characters", "a<b>?.txt", true, {L"a_b__.txt"}},
        {"tab keeps the length", "a\tb", true, {L"a_b"}},
        {"delete character", "a\x7F", true, {L"a_"}},
        {"direction overrides", "invoice\u202Efdp.exe/\u202Ax\u202B\u202C\u202D", true,
         {L"invoice_fdp.exe", L"_x___"}},
        {"direction marks and isolates", "\u200Ea\u200F\u061C/\u2066b\u2067\u2068\u2069", true,
         {L"_a__", L"_b___"}},
        {"other format characters stay", "a\u200Bb\u200Dc", true, {L"a\u200Bb\u200Dc"}},
        {"dots and blanks only", "x/.../ ", true, {L"x", L"_", L"_"}},
        {"trailing blanks and dots", "name. . ", true, {L"name"}},
        {"device", "CON", true, {L"_CON"}},
        {"device with extension", "con.txt", true, {L"_con.txt"}},
        {"device with two extensions", "Com1.tar.gz", true, {L"_Com1.tar.gz"}},
        {"longer names are no devices", "CONSOLE/COM10/LPT00", true, {L"CONSOLE", L"COM10", L"LPT00"}},
        {"port zero", "COM0/lpt0.txt", true, {L"_COM0", L"_lpt0.txt"}},
        {"superscript ports", "COM\u00B9/lpt\u00B3.log/COM\u00B2/LPT\u2070", true,
         {L"_COM\u00B9", L"_lpt\u00B3.log", L"_COM\u00B2", L"_LPT\u2070"}},
        {"other superscripts are no ports", "COM\u2074", true, {L"COM\u2074"}},
        {"console devices", "CONIN$/conout$.txt", true, {L"_CONIN$", L"_conout$.txt"}},
        {"blanks before the extension", "AUX .txt", true, {L"_AUX .txt"}},
        {"invalid UTF-8", "a\xFF" "b", true, {L"a\uFFFDb"}},
        {"32 components", components(32), true, std::vector<std::wstring>(32, L"d")},
        {"33 components", components(33), false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> out;
        EXPECT_EQ(splitReceivedPath(c.path, out), c.accepted);
        if (c.accepted) {
            EXPECT_EQ(out, c.parts);
        }
    }
}

// A component over 200 UTF-16 units is cut between code points, keeps its type (the last
// extension), and is cleaned again afterwards.
TEST(ReceivedPath, LongComponentsAreCutSafely) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two UTF-16 units
    const std::wstring wideEmoji = wideFromUtf8(emoji);
    const SplitCase cases[] = {
        {"250 units", rep8(250, 'a'), true, {rep(200, L'a')}},
        {"extension kept", rep8(250, 'a') + ".txt", true, {rep(196, L'a') + L".txt"}},
        {"no second type", rep8(195, 'x') + "A.exe" + "abcdefghij.txt", true, {rep(195, L'x') + L"A.txt"}},
        {"pair at unit 200", rep8(199, 'a') + emoji + "b", true, {rep(199, L'a')}},
        {"pair before the extension", rep8(195, 'a') + emoji + "x.txt", true, {rep(195, L'a') + L".txt"}},
        {"pair kept whole", rep8(198, 'a') + emoji + "b", true, {rep(198, L'a') + wideEmoji}},
        {"blank left at the cut", rep8(199, 'a') + " b" + rep8(20, 'c'), true, {rep(199, L'a')}},
        {"emptied by the cut", rep8(250, ' ') + "x", true, {L"_"}},
        {"device left by the cut", "CON" + rep8(250, ' ') + "x", true, {L"_CON"}},
        {"device before a kept extension", "AUX" + rep8(250, ' ') + "x.txt", true, {L"_AUX" + rep(192, L' ') + L".txt"}},
        {"extension longer than the budget", "a." + rep8(250, 'b'), true, {L"a." + rep(198, L'b')}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::wstring> out;
        ASSERT_TRUE(splitReceivedPath(c.path, out));
        EXPECT_EQ(out, c.parts);
        EXPECT_LE(utf16Length(out[0]), 200u);
    }
}

TEST(ReceivedPath, UniqueNamesNumberFromTwo) {
    TempFolder dir;
    putFile(dir / L"report.pdf", bytesOf("1"));
    putFile(dir / L"report (2).pdf", bytesOf("2"));
    putFile(dir / L"archive.tar.gz", bytesOf("3"));
    putFolder(dir / L"Photos");
    putFile(dir / L".profile", bytesOf("4"));
    EXPECT_EQ(uniquePath(dir.wide(), L"report.pdf"), L"report (3).pdf");
    EXPECT_EQ(uniquePath(dir.wide(), L"archive.tar.gz"), L"archive.tar (2).gz");
    EXPECT_EQ(uniquePath(dir.wide(), L"Photos"), L"Photos (2)");
    EXPECT_EQ(uniquePath(dir.wide(), L".profile"), L".profile (2)");
    EXPECT_EQ(uniquePath(dir.wide(), L"free.txt"), L"free.txt");
}

TEST(ReceivedPath, LongPathForms) {
    EXPECT_EQ(windowsLongPath(L"C:\\x"), L"\\\\?\\C:\\x");
    EXPECT_EQ(windowsLongPath(L"\\\\srv\\share\\x"), L"\\\\?\\UNC\\srv\\share\\x");
    EXPECT_EQ(windowsLongPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
#ifdef _WIN32
    EXPECT_EQ(longPath(L"C:\\x"), L"\\\\?\\C:\\x");
#else
    EXPECT_EQ(longPath(L"/tmp/x"), L"/tmp/x");
#endif
}

TEST(ReceivedPath, PartsAndJoins) {
    EXPECT_EQ(folderPart(P(L"C:|a|b.txt")), P(L"C:|a"));
    EXPECT_EQ(fileNamePart(P(L"C:|a|b.txt")), L"b.txt");
    EXPECT_EQ(folderPart(L"b.txt"), L"b.txt");
    EXPECT_EQ(fileNamePart(L"b.txt"), L"b.txt");
    EXPECT_EQ(joinPath(P(L"C:|a"), L"x"), P(L"C:|a|x"));
    // A drive root already ends in its separator; a doubled one is refused in long-path form.
    EXPECT_EQ(joinPath(P(L"C:|"), L"x"), P(L"C:|x"));
}

TEST(ReceivedPath, LengthsCountUtf16Units) {
    EXPECT_EQ(utf16Length(L"abc"), 3u);
    EXPECT_EQ(utf16Length(wideFromUtf8("a\xF0\x9F\x98\x80")), 3u);
    EXPECT_EQ(utf16Length(wideFromUtf8("\xED\x95\x9C")), 1u);  // 한
}

}  // namespace
