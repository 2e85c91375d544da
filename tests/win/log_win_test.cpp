#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "core/util.h"

namespace {

// The log path is UTF-8 inside the program; on Windows the file must be opened by its wide name,
// or a profile under a Korean user name would log nowhere.
TEST(LogWin, OpensKoreanPathByWideName) {
    wchar_t tmp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, tmp), 0u);
    std::wstring dir = std::wstring(tmp) + L"\uB85C\uADF8\uD3F4\uB354";  // 로그폴더
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring file = dir + L"\\tavrel-\uD14C\uC2A4\uD2B8.log";
    DeleteFileW(file.c_str());

    int n = WideCharToMultiByte(CP_UTF8, 0, file.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(size_t(n - 1), '\0');
    WideCharToMultiByte(CP_UTF8, 0, file.c_str(), -1, utf8.data(), n, nullptr, nullptr);

    std::string saved = logPath();
    setLogPath(utf8);
    logLine("한글 경로");
    setLogPath(saved);

    FILE* f = _wfopen(file.c_str(), L"rb");
    ASSERT_NE(f, nullptr);
    char buf[128] = {};
    size_t got = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    std::string text(buf, got);
    EXPECT_EQ(text.substr(19), " 한글 경로\n");
    DeleteFileW(file.c_str());
    RemoveDirectoryW(dir.c_str());
}

}  // namespace
