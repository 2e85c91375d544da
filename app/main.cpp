// Entry point of tavrel.exe.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "core/text.h"
#include "core/util.h"

namespace {

// "-" + the word after "--profile", or empty.
std::wstring commandLineProfileSuffix() {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring suffix;
    if (argv) {
        for (int i = 1; i + 1 < argc; ++i)
            if (std::wstring(argv[i]) == L"--profile") suffix = L"-" + std::wstring(argv[i + 1]);
        LocalFree(argv);
    }
    return suffix;
}

std::wstring logFolder() {
    std::wstring base = L".";
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)) && path) base = path;
    if (path) CoTaskMemFree(path);
    std::wstring folder = base + L"\\Tavrel";
    CreateDirectoryW(folder.c_str(), nullptr);  // already there is fine
    return folder;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    std::wstring logFile = logFolder() + L"\\tavrel" + commandLineProfileSuffix() + L".log";
    setLogPath(wideToUtf8(logFile));
    logLine("시작");
    return 0;
}
