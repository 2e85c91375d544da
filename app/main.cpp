// Entry point of tavrel.exe.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/crypto/hash.h"
#include "core/text.h"
#include "core/util.h"
#include "host/lock.h"
#include "net/framed.h"

namespace {

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
    // The lock-screen service and agent modes own the whole process.
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        int exitCode = 0;
        const bool handled = runLockCommand(argc, argv, exitCode);
        LocalFree(argv);
        if (handled) return exitCode;
    }
    std::wstring logFile = logFolder() + L"\\tavrel" + profileSuffix() + L".log";
    ensureWinsock();
    setLogPath(wideToUtf8(logFile));
    AppConfig config = configStore().get();
    KeyPair device = loadDeviceKey();
    logLine("시작: " + config.deviceName + " ID " + sha256Hex(device.publicKey));
    return 0;
}
