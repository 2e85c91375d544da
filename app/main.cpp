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

// The log folder under the local application-data folder. Empty when the system names no such
// folder: one relative to wherever the process was started would be a different one each time.
std::wstring logFolder() {
    std::wstring folder;
    PWSTR path = nullptr;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)) && path)
        folder = std::wstring(path) + L"\\Tavrel";
    if (path) CoTaskMemFree(path);
    return folder;
}

// The program's own words for a start that cannot go on; the caller then ends with a non-zero code.
void refuseStart(const std::wstring& text) {
    MessageBoxW(nullptr, text.c_str(), L"Tavrel 을(를) 시작할 수 없습니다", MB_ICONERROR | MB_SETFOREGROUND);
}

// Running on without its folder would save nothing: not the settings, not the device key, not the
// pairings, not the log.
void refuseWithoutFolder(const std::wstring& folder) {
    refuseStart(L"설정 폴더를 만들 수 없어 시작하지 않습니다:\n" + folder);
}

void showAlreadyRunning() {
    MessageBoxW(nullptr, L"Tavrel 가 이미 실행 중입니다. 알림 영역(시계 옆)의 아이콘을 누르세요.", L"Tavrel",
                MB_ICONINFORMATION);
}

enum class ProfileClaim { Ours, Running, Refused };

// Takes the profile for this process. Its lock file decides: the file system knows which
// spellings name one folder, and no other account can hold a file in this user's profile. The
// mutex decides nothing, since any process in the session can make that name first (as any kind
// of object); it stays for copies of the program that look for it. The former name's mutex is
// looked for still: the program under that name holds no lock file.
ProfileClaim claimProfile(const ProcessNames& names, HANDLE& instanceMutex) {
    // Held until the process ends, however it ends.
    const auto* lock = new ProfileLock(configStore().profileDir);
    if (lock->state() == ProfileLock::State::Failed) {
        logLine("설정 폴더를 만들 수 없음 → 시작하지 않음");
        refuseWithoutFolder(configStore().profileDir);
        return ProfileClaim::Refused;
    }
    HANDLE formerMutex = OpenMutexW(SYNCHRONIZE, FALSE, names.formerMutex.c_str());
    if (formerMutex) CloseHandle(formerMutex);
    if (lock->state() == ProfileLock::State::Busy || formerMutex) {
        showAlreadyRunning();
        return ProfileClaim::Running;
    }
    instanceMutex = CreateMutexW(nullptr, TRUE, names.mutex.c_str());
    if (!instanceMutex) logLine("실행 중 표시(뮤텍스)를 만들지 못함 (오류 " + std::to_string(GetLastError()) + ")");
    return ProfileClaim::Ours;
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
    const std::wstring logs = logFolder();
    if (logs.empty() || !createFolder(logs)) {
        refuseWithoutFolder(logs.empty() ? L"Tavrel" : logs);
        return 1;
    }
    setLogPath(wideToUtf8(logs + L"\\" + names.logFile));
    if (!configStore().folderReady) {
        logLine("설정 폴더를 만들 수 없음 → 시작하지 않음");
        refuseWithoutFolder(configStore().profileDir);
        return 1;
    }
    ClipboardSync::instance().start();
    mediaPrewarm(configStore().get().hosting);

    HANDLE instanceMutex = nullptr;
    switch (claimProfile(names, instanceMutex)) {
        case ProfileClaim::Ours: break;
        case ProfileClaim::Running: return 0;
        case ProfileClaim::Refused: return 1;
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
