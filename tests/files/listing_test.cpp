#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>

#include "core/json.h"
#include "files/fileio.h"
#include "files/listing.h"
#include "support/file_transfer.h"

namespace {

std::string u8(const std::wstring& w) { return utf8FromWide(w); }

// Sets a file's last write time, in seconds since 1970.
void setWriteTime(const std::wstring& path, int64_t seconds) {
    std::error_code ec;
    std::filesystem::last_write_time(
        std::filesystem::path(path),
        std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds))), ec);
    ASSERT_FALSE(ec) << ec.message();
}

// The last write time the file system reports, in whole seconds since 1970.
int64_t writeTimeOf(const std::wstring& path) {
    const auto at = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(std::filesystem::path(path)));
    return std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
}

// A JSON string literal of a UTF-8 text, as the writer escapes it.
std::string quoted(const std::string& text) { return Json(text).dump(); }

Json parsed(const std::string& text) {
    Json out;
    EXPECT_TRUE(Json::parse(text, out)) << text;
    return out;
}

std::vector<std::string> names(const Json& listing) {
    std::vector<std::string> out;
    for (const Json& e : listing.get("entries").items) out.push_back(e.get("name").asString());
    return out;
}

TEST(FolderListing, NormalisesPathsAndFindsParents) {
    struct Case {
        const wchar_t* request;
        const wchar_t* path;
        const wchar_t* parent;
    };
    const Case cases[] = {
        {L"C:", L"C:\\", L""},
        {L"C:\\", L"C:\\", L""},
        {L"C:/", L"C:/", L""},             // three characters keep their separator
        {L"C:\\Users\\", L"C:\\Users", L"C:\\"},
        {L"C:\\Users\\\\/", L"C:\\Users", L"C:\\"},
        {L"C:\\Users\\kim", L"C:\\Users\\kim", L"C:\\Users"},
        {L"C:/Users/kim/", L"C:/Users/kim", L"C:/Users"},
        {L"\\\\nas\\share\\docs", L"\\\\nas\\share\\docs", L"\\\\nas\\share"},
        {L"/", L"/", L""},
        {L"/home/a/", L"/home/a", L"/home"},
        {L"kim", L"kim", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.request));
        const std::wstring path = normaliseListingPath(c.request);
        EXPECT_EQ(path, c.path);
        EXPECT_EQ(listingParent(path), c.parent);
    }
}

TEST(FolderListing, ShowsNeitherDotEntriesNorHiddenOrSystemOnes) {
    struct Case {
        const wchar_t* name;
        uint32_t attributes;
        bool shown;
    };
    const Case cases[] = {
        {L"a.txt", kAttrNormal, true},     {L"Docs", kAttrDirectory, true},
        {L".", kAttrDirectory, false},     {L"..", kAttrDirectory, false},
        {L"h.txt", kAttrHidden, false},    {L"desktop.ini", kAttrHidden | kAttrSystem, false},
        {L"pagefile", kAttrSystem, false}, {L"$Recycle", kAttrDirectory | kAttrSystem, false},
        {L"link", kAttrDirectory | kAttrReparsePoint, true},
    };
    for (const auto& c : cases) EXPECT_EQ(isListedEntry(c.name, c.attributes), c.shown) << u8(c.name);
}

TEST(FolderListing, OrdersFoldersFirstThenNamesWithDigitsByValue) {
    const NameCompare compare = systemListingServices().compare;
    ASSERT_TRUE(compare);
    EXPECT_LT(compare(L"file9", L"file10"), 0);
    EXPECT_GT(compare(L"file10", L"file9"), 0);
    EXPECT_LT(compare(L"a.txt", L"B.txt"), 0);
    EXPECT_EQ(compare(L"Readme", L"README"), 0);

    std::vector<ListingEntry> entries = {{L"x10", false}, {L"zeta", true}, {L"X9", false}, {L"x2", false},
                                         {L"Alpha", true}, {L"b", false}};
    sortListing(entries, compare);
    std::vector<std::wstring> order;
    for (const auto& e : entries) order.push_back(e.name);
    EXPECT_EQ(order, (std::vector<std::wstring>{L"Alpha", L"zeta", L"b", L"x2", L"X9", L"x10"}));
}

// The folder form, golden: sorted, hidden entries left out, no "size" on folders, "size" 0 kept,
// a time before 1970 negative.
TEST(FolderListing, ListsAFolderAsGoldenText) {
    TempFolder dir;
    putFolder(dir / L"Sub");
    putFile(dir / L"x10.txt", bytesOf("ten"));
    putFile(dir / L"x9.txt", Bytes());
    putFile(dir / L"B.txt", bytesOf("bb"));
    putFile(dir / L"old.txt", bytesOf("1969"));
    putFile(dir / L".hidden", bytesOf("h"));
    putFolder(dir / L".cache");
    setWriteTime(dir / L"x10.txt", 1700000100);
    setWriteTime(dir / L"x9.txt", 1700000200);
    setWriteTime(dir / L"B.txt", 1);
    setWriteTime(dir / L"old.txt", -86400);

    const std::string path = u8(dir.wide());
    const std::string parent = u8(listingParent(dir.wide()));
    const std::string expected =
        "{\"path\":" + quoted(path) + ",\"parent\":" + quoted(parent) +
        ",\"entries\":["
        "{\"name\":\"Sub\",\"dir\":true,\"mtime\":" + std::to_string(writeTimeOf(dir / L"Sub")) + "},"
        "{\"name\":\"B.txt\",\"dir\":false,\"size\":2,\"mtime\":1},"
        "{\"name\":\"old.txt\",\"dir\":false,\"size\":4,\"mtime\":-86400},"
        "{\"name\":\"x9.txt\",\"dir\":false,\"size\":0,\"mtime\":1700000200},"
        "{\"name\":\"x10.txt\",\"dir\":false,\"size\":3,\"mtime\":1700000100}]}";
    // With trailing separators too: the listing names the folder without them.
    const std::wstring sep(1, kPathSeparator);
    for (const std::wstring& request : {dir.wide(), dir.wide() + sep + sep}) {
        EXPECT_EQ(listFolderJson(u8(request)), expected);
    }
}

TEST(FolderListing, EmptyFolderHasNoEntriesAndNoError) {
    TempFolder dir;
    putFile(dir / L".only-hidden", bytesOf("h"));
    const Json listing = parsed(listFolderJson(u8(dir.wide())));
    EXPECT_TRUE(listing.get("entries").isArray());
    EXPECT_EQ(listing.get("entries").size(), 0u);
    EXPECT_FALSE(listing.has("error"));
}

TEST(FolderListing, FolderThatCannotBeOpenedGivesItsError) {
    TempFolder dir;
    putFile(dir / L"file.txt", bytesOf("x"));
    for (const std::wstring& missing : {dir / L"missing", dir / L"file.txt"}) {
        SCOPED_TRACE(u8(missing));
        const std::string text = listFolderJson(u8(missing));
        const Json listing = parsed(text);
        // Members in order: path, parent, entries (empty), error with the system's code.
        ASSERT_EQ(listing.members.size(), 4u) << text;
        EXPECT_EQ(listing.members[0].first, "path");
        EXPECT_EQ(listing.get("path").asString(), u8(missing));
        EXPECT_EQ(listing.members[1].first, "parent");
        EXPECT_EQ(listing.get("parent").asString(), u8(dir.wide()));
        EXPECT_EQ(listing.members[2].first, "entries");
        EXPECT_TRUE(listing.get("entries").isArray());
        EXPECT_EQ(listing.get("entries").size(), 0u);
        const std::string error = listing.get("error").asString();
        EXPECT_TRUE(error.starts_with("열 수 없습니다 (") && error.ends_with(")")) << error;
        const std::string code = error.substr(std::string("열 수 없습니다 (").size());
        EXPECT_GT(std::stoi(code), 0) << error;
    }
}

// More visible entries than a listing holds: the first 3000 found, sorted; hidden ones do not count.
TEST(FolderListing, KeepsAtMostTheLimitOfVisibleEntries) {
    TempFolder dir;
    for (int i = 0; i < 20; ++i) putFile(dir / (L".h" + std::to_wstring(i)), Bytes());
    putFolder(dir / L"folderA");
    putFolder(dir / L"folderB");
    const int files = int(kMaxListingEntries) - 1;  // with the two folders: one too many
    for (int i = 1; i <= files; ++i) {
        ASSERT_TRUE(FileHandle::createForWriting(longPath(dir / (L"x" + std::to_wstring(i))), kAttrNormal).valid());
    }

    const Json listing = parsed(listFolderJson(u8(dir.wide())));
    const Json& entries = listing.get("entries");
    ASSERT_EQ(entries.size(), kMaxListingEntries);
    std::set<std::string> seen;
    bool inFiles = false;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Json& e = entries.at(i);
        const bool folder = e.get("dir").asBool();
        EXPECT_FALSE(folder && inFiles) << "a folder after a file at " << i;
        inFiles = inFiles || !folder;
        EXPECT_FALSE(e.get("name").asString().starts_with(".h"));
        seen.insert(e.get("name").asString());
    }
    EXPECT_EQ(seen.size(), kMaxListingEntries);
    // Names by value of their digits: whichever of x9, x10 are listed keep that order, and so on.
    std::vector<int> numbers;
    for (const std::string& name : names(listing))
        if (name[0] == 'x') numbers.push_back(std::stoi(name.substr(1)));
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
}

// A source of places of the test's own: known folders in a throw-away folder, and drives that
// exist only in the source.
struct FakePlaces {
    TempFolder dir;
    std::map<std::wstring, std::pair<uint32_t, std::wstring>> drives;  // root -> type, label
    std::set<std::wstring> mounted;                                   // roots with a medium

    PlacesSource source() {
        PlacesSource s;
        s.knownFolder = [this](KnownPlace place) -> std::wstring {
            switch (place) {
                case KnownPlace::Profile: return dir / L"kim";
                case KnownPlace::Desktop: return dir / L"no-desktop";  // missing: left out
                case KnownPlace::Documents: return dir / L"docs";
                case KnownPlace::Downloads: return std::wstring();       // unknown: left out
            }
            return std::wstring();
        };
        s.logicalDrives = [this] {
            uint32_t mask = 0;
            for (const auto& [root, info] : drives) mask |= 1u << (root[0] - L'A');
            return mask;
        };
        s.driveType = [this](const std::wstring& root) {
            auto it = drives.find(root);
            return it == drives.end() ? 0u : it->second.first;
        };
        s.volumeLabel = [this](const std::wstring& root) {
            auto it = drives.find(root);
            return it == drives.end() ? std::wstring() : it->second.second;
        };
        s.isFolder = [this](const std::wstring& path) { return mounted.count(path) > 0 || isExistingFolder(path); };
        return s;
    }
};

TEST(FolderListing, StartingPlacesAsGoldenText) {
    FakePlaces places;
    putFolder(places.dir / L"kim");
    putFolder(places.dir / L"docs");
    places.drives = {
        {L"C:\\", {kDriveFixed, L""}},        {L"D:\\", {kDriveFixed, L"자료"}},
        {L"E:\\", {kDriveRemovable, L"USB"}}, {L"F:\\", {kDriveCdrom, L"DVD"}},
        {L"G:\\", {kDriveRemovable, L""}},    {L"H:\\", {kDriveRemote, L"NAS"}},
        {L"R:\\", {kDriveRamdisk, L""}},
    };
    places.mounted = {L"C:\\", L"D:\\", L"E:\\", L"F:\\", L"H:\\", L"R:\\"};  // G: has no medium

    ListingServices services;
    services.places = places.source();
    const std::string kim = u8(places.dir / L"kim"), docs = u8(places.dir / L"docs");
    const std::string entries =
        "[{\"name\":\"홈 (kim)\",\"dir\":true},{\"name\":\"문서\",\"dir\":true},"
        "{\"name\":\"드라이브 C:\",\"dir\":true},{\"name\":\"드라이브 D: (자료)\",\"dir\":true},"
        "{\"name\":\"드라이브 E: (USB)\",\"dir\":true},{\"name\":\"드라이브 H: (NAS)\",\"dir\":true}]";
    const std::string expected = "{\"path\":\"\",\"entries\":" + entries + ",\"roots\":" + entries +
                                 ",\"rootPaths\":[" + quoted(kim) + "," + quoted(docs) +
                                 ",\"C:\\\\\",\"D:\\\\\",\"E:\\\\\",\"H:\\\\\"]}";
    EXPECT_EQ(listFolderJson("", services), expected);
}

TEST(FolderListing, AddRootSkipsEmptyAndMissingPaths) {
    TempFolder dir;
    putFile(dir / L"file.txt", bytesOf("x"));
    Json entries, rootPaths;
    entries.tag = rootPaths.tag = Json::kArray;
    addRoot(entries, rootPaths, L"빈 것", L"");
    addRoot(entries, rootPaths, L"없는 것", dir / L"missing");
    addRoot(entries, rootPaths, L"파일", dir / L"file.txt");
    addRoot(entries, rootPaths, L"폴더", dir.wide());
    EXPECT_EQ(entries.dump(), "[{\"name\":\"폴더\",\"dir\":true}]");
    EXPECT_EQ(rootPaths.dump(), "[" + quoted(u8(dir.wide())) + "]");
}

TEST(FolderListing, WritableFolderIsTestedWithAFileThatGoesAgain) {
    TempFolder dir;
    putFolder(dir / L"open");
    putFolder(dir / L"taken");
    putFile(dir / L"taken" + kPathSeparator + kWriteTestName, bytesOf("mine"));
    putFile(dir / L"file.txt", bytesOf("x"));
    const std::wstring sep(1, kPathSeparator);
    struct Case {
        std::wstring path;
        bool writable;
    };
    const Case cases[] = {
        {dir / L"open", true},
        {dir / L"open" + sep, true},
        {dir / L"taken", false},  // the name is there already: never overwritten
        {dir / L"file.txt", false},
        {dir / L"missing", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.path));
        std::wstring resolved = L"untouched";
        EXPECT_EQ(isFolderWritable(u8(c.path), resolved), c.writable);
        EXPECT_EQ(resolved, c.writable ? c.path : L"untouched");
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir / L"open" + sep + kWriteTestName)));
    EXPECT_EQ(treeOf(dir.path()).at(u8(std::wstring(L"taken/") + kWriteTestName)), "mine");
}

}  // namespace

namespace {

// Folders on another computer are refused before anything there is touched; drive Z: stands for
// a mapped network drive, every other letter for a local one.
TEST(FolderListing, FoldersOnAnotherComputerAreRemote) {
    std::vector<std::wstring> asked;
    const auto driveType = [&asked](const std::wstring& root) {
        asked.push_back(root);
        return root == L"Z:\\" || root == L"z:\\" ? kDriveRemote : kDriveFixed;
    };
    const struct {
        const wchar_t* path;
        bool remote;
    } cases[] = {
        {L"\\\\server\\share\\uploads", true},
        {L"//server/share", true},
        {L"\\\\?\\UNC\\server\\share", true},
        {L"\\\\?\\unc\\server\\share", true},
        {L"\\\\.\\pipe\\x", true},
        {L"Z:\\uploads", true},
        {L"z:", true},
        {L"\\\\?\\Z:\\uploads", true},
        {L"C:\\Users\\me\\Downloads", false},
        {L"\\\\?\\C:\\Users", false},
        {L"\\\\?\\UNCLE\\x", false},
        {L"uploads", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(u8(c.path));
        EXPECT_EQ(isRemoteFolder(c.path, driveType), c.remote);
    }
    EXPECT_EQ(std::set<std::wstring>(asked.begin(), asked.end()),
              (std::set<std::wstring>{L"Z:\\", L"z:\\", L"C:\\"}));
    EXPECT_FALSE(isRemoteFolder(L"Z:\\uploads", nullptr));  // no drive types: only the path's form
#ifndef _WIN32
    // Natively "//" names this computer's own folder, so only the refusal keeps it out.
    TempFolder dir;
    std::wstring resolved = L"untouched";
    EXPECT_FALSE(isFolderWritable("/" + u8(dir.wide()), resolved));
    EXPECT_EQ(resolved, L"untouched");
#endif
}

}  // namespace
