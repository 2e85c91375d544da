// The listing over the system's own places, attributes and order, as Wine gives them.
#include <windows.h>
#include <knownfolders.h>

#include <gtest/gtest.h>

#include "core/json.h"
#include "core/text.h"
#include "files/listing.h"
#include "support/file_transfer.h"

namespace {

Json parsed(const std::string& text) {
    Json out;
    EXPECT_TRUE(Json::parse(text, out)) << text;
    return out;
}

// Wine's drives C: and Z: are both fixed; their labels vary, their places end the list.
TEST(FolderListingWin, StartingPlacesComeFromKnownFoldersAndDrives) {
    const Json places = parsed(listFolderJson(""));
    EXPECT_EQ(places.get("path").asString(), "");
    EXPECT_FALSE(places.has("parent"));
    const Json& entries = places.get("entries");
    const Json& rootPaths = places.get("rootPaths");
    ASSERT_GE(entries.size(), 3u);
    ASSERT_EQ(rootPaths.size(), entries.size());
    EXPECT_EQ(places.get("roots").dump(), entries.dump());
    const std::wstring profile = knownFolderPath(FOLDERID_Profile);
    ASSERT_FALSE(profile.empty());
    EXPECT_EQ(rootPaths.at(0).asString(), wideToUtf8(profile));
    EXPECT_EQ(entries.at(0).get("name").asString(),
              "홈 (" + wideToUtf8(profile.substr(profile.rfind(L'\\') + 1)) + ")");
    const size_t n = entries.size();
    EXPECT_EQ(rootPaths.at(n - 2).asString(), "C:\\");
    EXPECT_EQ(rootPaths.at(n - 1).asString(), "Z:\\");
    EXPECT_TRUE(entries.at(n - 2).get("name").asString().starts_with("드라이브 C:"));
    EXPECT_TRUE(entries.at(n - 1).get("name").asString().starts_with("드라이브 Z:"));
    for (const Json& place : entries.items) {
        EXPECT_EQ(place.members.size(), 2u);
        EXPECT_TRUE(place.get("dir").asBool());
    }
    for (const Json& path : rootPaths.items) {
        const DWORD attributes = GetFileAttributesW(utf8ToWide(path.asString()).c_str());
        EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) << path.text;
    }
}

TEST(FolderListingWin, HiddenAndSystemEntriesNeverList) {
    TempFolder dir;
    putFile(dir / L"shown.txt", bytesOf("s"));
    putFile(dir / L".dotted", bytesOf("d"));
    putFile(dir / L"hidden.txt", bytesOf("h"));
    putFile(dir / L"system.txt", bytesOf("y"));
    putFolder(dir / L"SystemFolder");
    ASSERT_TRUE(SetFileAttributesW((dir / L"hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW((dir / L"system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesW((dir / L"SystemFolder").c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(GetFileAttributesW((dir / L".dotted").c_str()) & FILE_ATTRIBUTE_HIDDEN, DWORD(FILE_ATTRIBUTE_HIDDEN));
    // Wine keeps the system attribute it is given (measured: 0x24 and 0x14 read back).
    EXPECT_NE(GetFileAttributesW((dir / L"system.txt").c_str()) & FILE_ATTRIBUTE_SYSTEM, 0u);
    EXPECT_NE(GetFileAttributesW((dir / L"SystemFolder").c_str()) & FILE_ATTRIBUTE_SYSTEM, 0u);
    const Json listing = parsed(listFolderJson(wideToUtf8(dir.wide())));
    std::vector<std::string> names;
    for (const Json& e : listing.get("entries").items) names.push_back(e.get("name").asString());
    EXPECT_EQ(names, std::vector<std::string>{"shown.txt"});
}

}  // namespace
