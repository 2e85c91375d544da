// Windows-only behaviour of the profile folder.
#include <gtest/gtest.h>

#include <windows.h>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/config/temp_folder.h"

namespace {

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

}  // namespace

TEST(WinConfigStore, FormerFolderThatCannotMoveIsUsedWhereItIs) {
    TempFolder base;
    std::wstring former = base / L"Varnoth";
    createFolder(former);
    ASSERT_TRUE(writeFileAtomic(former + L"\\config.json", asBytes(std::string("{\"port\":50007}"))));
    // A file held open without delete sharing keeps its folder from being renamed.
    Handle held(CreateFileW((former + L"\\history.json").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.valid());
    if (MoveFileW(former.c_str(), (base / L"probe").c_str())) {
        MoveFileW((base / L"probe").c_str(), former.c_str());
        GTEST_SKIP() << "this system renames a folder with an open file in it, so the move cannot fail here";
    }
    ConfigStore store(base.wide(), L"");
    EXPECT_EQ(store.profileDir, former);
    EXPECT_EQ(store.get().port, 50007);
    EXPECT_FALSE(pathExists(base / L"Tavrel"));
}

TEST(WinConfigStore, RoamingAppDataIsTheUsersFolder) {
    std::wstring folder = roamingAppDataFolder();
    ASSERT_NE(folder, L".");
    EXPECT_NE(folder.find(L"\\"), std::wstring::npos);
    EXPECT_TRUE(pathExists(folder));
}

// Everything that reaches the user's profile goes to the test run's throw-away folder instead;
// the real profile folder is neither created nor changed.
TEST(WinConfigStore, ProcessWideFilesStayOutOfTheRealProfile) {
    const std::wstring real = roamingAppDataFolder() + L"\\Tavrel";
    auto snapshot = [&real] {
        std::string listing;
        WIN32_FIND_DATAW found;
        HANDLE h = FindFirstFileW((real + L"\\*").c_str(), &found);
        if (h == INVALID_HANDLE_VALUE) return std::string(pathExists(real) ? "empty" : "absent");
        do {
            listing += std::to_string(found.nFileSizeLow) + " " + std::to_string(found.ftLastWriteTime.dwLowDateTime) +
                       " " + std::to_string(std::wstring(found.cFileName).size()) + ";";
        } while (FindNextFileW(h, &found));
        FindClose(h);
        return listing;
    };
    const std::string before = snapshot();
    configStore().update([](AppConfig& c) { c.quality = 1; });
    loadDeviceKey();
    ASSERT_TRUE(savePassword("test"));
    EXPECT_EQ(loadPassword(), "test");
    EXPECT_NE(configStore().profileDir.rfind(roamingAppDataFolder(), 0), 0u);
    EXPECT_EQ(snapshot(), before);
}
