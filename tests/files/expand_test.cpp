#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>

#include "files/expand.h"
#include "files/fileio.h"
#include "support/file_transfer.h"

namespace {

std::vector<std::string> relPaths(const std::vector<OutgoingFile>& files) {
    std::vector<std::string> out;
    for (const auto& f : files) out.push_back(f.relPath);
    return out;
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

// Photos holding a.jpg and Trip/b.jpg, plus what a case adds.
struct ExpandCase {
    const char* name;
    std::function<void(const TempFolder&)> setup;
    std::vector<std::wstring> picked;   // names inside the folder
    std::vector<std::string> expected;  // relative paths, any order
    std::pair<std::wstring, std::wstring> link = {};  // target and link inside the folder
};

void makePhotos(const TempFolder& dir) {
    putFolder(dir / L"Photos");
    putFile(dir / L"Photos" + kPathSeparator + L"a.jpg", bytesOf("aaa"));
    putFolder(dir / L"Photos" + kPathSeparator + L"Trip");
    putFile(dir / L"Photos" + kPathSeparator + L"Trip" + kPathSeparator + L"b.jpg", bytesOf("bb"));
}

TEST(BatchExpansion, FoldersBecomeRelativePaths) {
    const std::wstring sep(1, kPathSeparator);
    const ExpandCase cases[] = {
        {"folder", nullptr, {L"Photos"}, {"Photos/Trip/b.jpg", "Photos/a.jpg"}},
        {"folder with a trailing separator", nullptr, {L"Photos" + sep}, {"Photos/Trip/b.jpg", "Photos/a.jpg"}},
        {"file inside", nullptr, {L"Photos" + sep + L"Trip" + sep + L"b.jpg"}, {"b.jpg"}},
        {"missing path left out", nullptr, {L"nothing", L"Photos" + sep + L"a.jpg"}, {"a.jpg"}},
        {"empty folders add nothing",
         [](const TempFolder& d) { putFolder(d / L"Photos" + kPathSeparator + L"Empty"); },
         {L"Photos" + sep + L"Empty"}, {}},
        {"hidden entries are not sent",
         [](const TempFolder& d) {
             putFile(d / L"Photos" + kPathSeparator + L".hidden", bytesOf("h"));
             putFolder(d / L"Photos" + kPathSeparator + L".secret");
             putFile(d / L"Photos" + kPathSeparator + L".secret" + kPathSeparator + L"c.jpg", bytesOf("c"));
         },
         {L"Photos"}, {"Photos/Trip/b.jpg", "Photos/a.jpg"}},
        {"a hidden file that was picked is sent",
         [](const TempFolder& d) { putFile(d / L"Photos" + kPathSeparator + L".hidden", bytesOf("h")); },
         {L"Photos" + sep + L".hidden"}, {".hidden"}},
        {"folder links are not followed",
         [](const TempFolder& d) {
             putFolder(d / L"Other");
             putFile(d / L"Other" + kPathSeparator + L"x.jpg", bytesOf("x"));
         },
         {L"Photos"}, {"Photos/Trip/b.jpg", "Photos/a.jpg"}, {L"Other", L"Photos" + sep + L"Link"}},
        // Wine shows a link to a file as a plain file, so there it is sent.
        {"file links", nullptr, {L"Photos"},
#ifdef _WIN32
         {"Photos/Trip/b.jpg", "Photos/a.jpg", "Photos/l.jpg"},
#else
         {"Photos/Trip/b.jpg", "Photos/a.jpg"},
#endif
         {L"Photos" + sep + L"a.jpg", L"Photos" + sep + L"l.jpg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        makePhotos(dir);
        if (c.setup) c.setup(dir);
        std::optional<TestLink> link;
        if (!c.link.first.empty()) {
            link.emplace(dir / c.link.first, dir / c.link.second);
            ASSERT_TRUE(link->made());
        }
        std::vector<std::wstring> picked;
        for (const auto& p : c.picked) picked.push_back(dir / p);
        const auto files = expandBatch(picked);
        EXPECT_EQ(sorted(relPaths(files)), c.expected);
        for (const auto& f : files) {
            EXPECT_EQ(f.size, readFile(f.path).size()) << f.relPath;
        }
    }
}

// A subfolder's files come before its later siblings: the walk is depth first.
TEST(BatchExpansion, SubfolderFilesStayTogether) {
    TempFolder dir;
    const std::wstring top = dir / L"T";
    putFolder(top);
    for (const wchar_t* name : {L"a", L"m", L"z"}) putFile(top + kPathSeparator + name + L".txt", bytesOf("x"));
    for (const wchar_t* sub : {L"b", L"n"}) {
        const std::wstring folder = top + kPathSeparator + sub;
        putFolder(folder);
        for (const wchar_t* name : {L"1", L"2", L"3"}) putFile(folder + kPathSeparator + name, bytesOf("y"));
    }
    const auto rel = relPaths(expandBatch({top}));
    ASSERT_EQ(rel.size(), 9u);
    for (const char* sub : {"T/b/", "T/n/"}) {
        std::vector<size_t> at;
        for (size_t i = 0; i < rel.size(); ++i)
            if (rel[i].rfind(sub, 0) == 0) at.push_back(i);
        ASSERT_EQ(at.size(), 3u) << sub;
        EXPECT_EQ(at.back() - at.front(), 2u) << sub;
    }
}

TEST(BatchExpansion, BatchOverTheLimitIsRefusedWhole) {
    TempFolder dir;
    makePhotos(dir);
    putFile(dir / L"c.jpg", bytesOf("c"));
    bool tooMany = false;
    EXPECT_EQ(expandBatch({dir / L"Photos", dir / L"c.jpg"}, 3, &tooMany).size(), 3u);
    EXPECT_FALSE(tooMany);
    EXPECT_TRUE(expandBatch({dir / L"Photos", dir / L"c.jpg"}, 2, &tooMany).empty());
    EXPECT_TRUE(tooMany);
    EXPECT_TRUE(expandBatch({dir / L"c.jpg", dir / L"Photos"}, 1, &tooMany).empty());
    EXPECT_TRUE(tooMany);
}

TEST(BatchExpansion, TooManyFilesText) {
    EXPECT_EQ(tooManyFilesText(kMaxBatchFiles), "보낼 파일이 너무 많습니다 (100,000개 넘음)");
    EXPECT_EQ(tooManyFilesText(3), "보낼 파일이 너무 많습니다 (3개 넘음)");
    EXPECT_EQ(tooManyFilesText(1234567), "보낼 파일이 너무 많습니다 (1,234,567개 넘음)");
}

TEST(BatchExpansion, RequestedPathsThatExist) {
    TempFolder dir;
    makePhotos(dir);
    const std::string photos = utf8FromWide(dir / L"Photos");
    Json list;
    list.push(Json(1));
    Json object;
    object.set("a", Json(1));
    list.push(object);
    list.push(Json(""));
    list.push(Json(utf8FromWide(dir / L"missing")));
    for (int i = 0; i < 250; ++i) list.push(Json(photos));
    const auto found = existingPaths(list);
    ASSERT_EQ(found.size(), 200u);
    EXPECT_EQ(found.front(), dir / L"Photos");
    EXPECT_TRUE(existingPaths(Json(photos)).empty());
    EXPECT_TRUE(existingPaths(Json()).empty());
}

}  // namespace
