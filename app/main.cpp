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

// The program's own words for a start that cannot go on; the caller then ends with a non-zero code.
void refuseStart(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), L"Tavrel 을(를) 시작할 수 없습니다", MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // First: a library planted beside the program must not load in place of the system's.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // The lock-screen service and agent modes own the whole process.
    int argc = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        int exitCode = 0;
        const bool handled = runLockCommand(argc, argv, exitCode);
        LocalFree(argv);
        if (handled) return exitCode;
    }
    // A profile name that cannot be one folder would run with nothing saved: refuse it first.
    const std::wstring suffix = profileSuffix();
    if (!suffix.empty() && !validProfileName(suffix.substr(1))) {
        refuseStart(L"프로필 이름 '" + suffix.substr(1) +
                    L"' 은(는) 쓸 수 없습니다. 폴더 이름 하나가 될 수 있는 64자 이내의 이름을 넣으세요 "
                    L"(\\ / : * ? \" < > | 와 . .. 은 안 됩니다).");
        return 1;
    }
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ensureWinsock();
    TrayProcess& t = tray();
    t.exePath = ownExecutablePath();
    const ProcessNames names = processNames(suffix);
    setLogPath(wideToUtf8(logFolder() + L"\\" + names.logFile));
    if (!configStore().folderReady) {
        // Running on would save nothing: not the settings, not the device key, not the pairings.
        logLine("설정 폴더를 만들 수 없음 → 시작하지 않음");
        refuseStart(L"설정 폴더를 만들 수 없어 시작하지 않습니다:\n" + configStore().profileDir);
        return 1;
    }
    ClipboardSync::instance().start();
    mediaPrewarm(configStore().get().hosting);

    HANDLE instanceMutex = CreateMutexW(nullptr, TRUE, names.mutex.c_str());
    const DWORD mutexError = GetLastError();
    if (!instanceMutex) {
        // Without the mutex a second copy could not be told apart from the first.
        logLine("실행 중 표시(뮤텍스)를 만들지 못함 (오류 " + std::to_string(mutexError) + ") → 시작하지 않음");
        return 1;
    }
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
