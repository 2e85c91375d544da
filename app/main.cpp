// Entry point of tavrel.exe: the tray process's start-up, message loop and shutdown.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <string>
#include <thread>

#include "app/presence.h"
#include "app/tray.h"
#include "core/config/store.h"
#include "core/crypto/hash.h"
#include "core/text.h"
#include "core/util.h"
#include "host/clipboard.h"
#include "host/lock.h"
#include "host/server.h"
#include "media/mf.h"
#include "net/framed.h"

namespace {

constexpr int kPresenceIntervalMs = 30000;

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

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // The lock-screen service and agent modes own the whole process.
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        int exitCode = 0;
        const bool handled = runLockCommand(argc, argv, exitCode);
        LocalFree(argv);
        if (handled) return exitCode;
    }
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ensureWinsock();
    TrayProcess& t = tray();
    t.exePath = ownExecutablePath();
    const std::wstring suffix = profileSuffix();
    const ProcessNames names = processNames(suffix);
    setLogPath(wideToUtf8(logFolder() + L"\\" + names.logFile));
    ClipboardSync::instance().start();
    mediaPrewarm(configStore().get().hosting);

    HANDLE instanceMutex = CreateMutexW(nullptr, TRUE, names.mutex.c_str());
    const DWORD mutexError = GetLastError();
    HANDLE formerMutex = OpenMutexW(SYNCHRONIZE, FALSE, names.formerMutex.c_str());
    if (formerMutex || mutexError == ERROR_ALREADY_EXISTS) {
        if (formerMutex) CloseHandle(formerMutex);
        MessageBoxW(nullptr, L"Tavrel 가 이미 실행 중입니다. 알림 영역(시계 옆)의 아이콘을 누르세요.", L"Tavrel",
                    MB_ICONINFORMATION);
        return 0;
    }
    migrateRunValue(suffix, t.exePath);

    createTrayWindow(instance);
    addTrayIcon();
    installServerCallbacks();
    const AppConfig config = configStore().get();
    if (config.hosting) setHosting(true, false);
    updateTrayIcon();
    logLine("시작: " + config.deviceName + " ID " + sha256Hex(HostServer::instance().deviceKey().publicKey));
    std::thread([] {
        for (;;) {
            refreshPresence();
            sleepMs(kPresenceIntervalMs);
        }
    }).detach();
    if (wantsStartHint(config))
        showBalloon(L"Tavrel", L"시계 옆 아이콘을 누르면 원격 제어를 켜거나 다른 컴퓨터에 연결할 수 있습니다.");

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // The menu's quit did both already; the loop can also end by a quit message from outside.
    HostServer::instance().stop();
    t.notifyIcon(NIM_DELETE, &t.trayIconData);
    if (instanceMutex) CloseHandle(instanceMutex);
    // Process-wide objects stay alive: detached threads may use them until the process has ended.
    return 0;
}
