// The machine's answers to a session's folder requests: the real listing and the real write test
// (a session asks them on threads of its own).
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "core/json.h"
#include "files/listing.h"
#include "host/session_system.h"
#include "support/file_transfer.h"

namespace {

TEST(SessionSystemFolders, ListingAndWriteTestAreTheMachinesOwn) {
    TempFolder dir;
    putFolder(dir / L"안쪽");
    putFile(dir / L"x10.txt", bytesOf("ten"));
    putFile(dir / L"x9.txt", bytesOf("nine"));
    const std::shared_ptr<SessionSystem> system = systemSessionSystem();
    ASSERT_TRUE(system->listsFolders());

    // Asked on a thread of its own, as the session does.
    const std::string path = utf8FromWide(dir.wide());
    const std::string text = std::async(std::launch::async, [&] { return system->listFolder(path); }).get();
    EXPECT_EQ(text, listFolderJson(path));
    Json listing;
    ASSERT_TRUE(Json::parse(text, listing)) << text;
    std::vector<std::string> names;
    for (const Json& e : listing.get("entries").items) names.push_back(e.get("name").asString());
    EXPECT_EQ(names, (std::vector<std::string>{"안쪽", "x9.txt", "x10.txt"}));
    EXPECT_TRUE(listing.get("error").isNull());

    std::wstring resolved = L"untouched";
    EXPECT_TRUE(system->folderWritable(path, resolved));
    EXPECT_EQ(resolved, dir.wide());
    resolved = L"untouched";
    EXPECT_FALSE(system->folderWritable(utf8FromWide(dir / L"x9.txt"), resolved));
    EXPECT_FALSE(system->folderWritable(utf8FromWide(dir / L"없음"), resolved));
    EXPECT_EQ(resolved, L"untouched");
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(dir / kWriteTestName)));
}

}  // namespace
