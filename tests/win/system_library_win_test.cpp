// Optional system libraries come from the system folder, never from a folder a user may fill.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/system_library.h"
#include "support/run_tool.h"

namespace {

TEST(SystemLibraries, AFileOfThatNameElsewhereIsNotLoaded) {
    // A library of this build (Wine's own ones load by their inner name, wherever the file lies),
    // placed under a name of its own in a folder the search would otherwise look in.
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    const std::filesystem::path folder =
        std::filesystem::path(temp) / (L"tavrel-planted-" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::create_directories(folder);
    const std::filesystem::path planted = folder / L"tavrel_planted.dll";
    std::filesystem::copy_file(testProgramFolder() / L"stand_in_codecs.dll", planted,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(SetDllDirectoryW(folder.c_str()));

    HMODULE plain = LoadLibraryW(L"tavrel_planted.dll");
    EXPECT_NE(plain, nullptr) << "the ordinary search finds it";
    if (plain) FreeLibrary(plain);
    void* system = loadSystemLibrary(L"tavrel_planted.dll");
    EXPECT_EQ(system, nullptr);
    if (system) FreeLibrary(static_cast<HMODULE>(system));

    SetDllDirectoryW(nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    // The system's own are found.
    EXPECT_NE(loadSystemLibrary(L"dnsapi.dll"), nullptr);
    EXPECT_NE(loadSystemLibrary(L"shcore.dll"), nullptr);
}

}  // namespace
