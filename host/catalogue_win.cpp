// The system's side of the catalogue: the window list, the shell's program list and shortcuts,
// starting programs and bringing windows to the front.
#include <windows.h>
#include <dwmapi.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <mutex>

#include "core/text.h"
#include "core/util.h"
#include "host/catalogue.h"

using Microsoft::WRL::ComPtr;

namespace {

BOOL CALLBACK collectWindowProc(HWND window, LPARAM param) {
    collectWindow(window, *reinterpret_cast<std::vector<WindowInfo>*>(param));
    return TRUE;
}

std::wstring imageApp(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return {};
    wchar_t path[260];
    DWORD size = 260;
    std::wstring app;
    if (QueryFullProcessImageNameW(process, 0, path, &size)) app = appNameFromImagePath(std::wstring(path, size));
    CloseHandle(process);
    return app;
}

std::wstring knownFolder(REFKNOWNFOLDERID id) {
    PWSTR path = nullptr;
    std::wstring out;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)) && path) out = path;
    if (path) CoTaskMemFree(path);
    return out;
}

bool endsWithLnk(const std::wstring& name) {
    if (name.size() <= 4) return false;
    return CompareStringOrdinal(name.c_str() + name.size() - 4, 4, L".lnk", 4, TRUE) == CSTR_EQUAL;
}

// Items of the shell's Apps folder: display name -> "shell:AppsFolder\" + parsing name. Whether
// the folder gave any item at all (excluded ones count too).
bool scanAppsFolder(std::map<std::wstring, std::wstring>& found) {
    ComPtr<IShellItem> folder;
    if (FAILED(SHGetKnownFolderItem(FOLDERID_AppsFolder, KF_FLAG_DEFAULT, nullptr, IID_PPV_ARGS(&folder)))) return false;
    ComPtr<IEnumShellItems> items;
    if (FAILED(folder->BindToHandler(nullptr, BHID_EnumItems, IID_PPV_ARGS(&items)))) return false;
    bool any = false;
    for (;;) {
        ComPtr<IShellItem> item;
        if (items->Next(1, &item, nullptr) != S_OK || !item) break;
        PWSTR display = nullptr, parsing = nullptr;
        const HRESULT a = item->GetDisplayName(SIGDN_NORMALDISPLAY, &display);
        const HRESULT b = item->GetDisplayName(SIGDN_PARENTRELATIVEPARSING, &parsing);
        if (SUCCEEDED(a) && SUCCEEDED(b) && display && parsing) {
            any = true;
            if (!isExcludedProgram(display)) found.emplace(display, std::wstring(L"shell:AppsFolder\\") + parsing);
        }
        if (display) CoTaskMemFree(display);
        if (parsing) CoTaskMemFree(parsing);
    }
    return any;
}

struct ProgramCache {
    std::mutex mutex;
    std::vector<ProgramEntry> entries;
    int64_t builtAt = 0;
};

ProgramCache& programCache() {
    // Detached request threads may still ask while the process exits.
    static ProgramCache* cache = new ProgramCache;
    return *cache;
}

std::vector<ProgramEntry> buildCatalogue() {
    const int64_t start = nowNanos();
    std::map<std::wstring, std::wstring> found;
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const bool appsFolder = scanAppsFolder(found);
    if (!appsFolder) {
        for (bool allUsers : {false, true}) {
            const std::wstring path = programsFolder(allUsers);
            if (!path.empty()) scanShortcuts(path, 0, found);
        }
    }
    if (SUCCEEDED(com)) CoUninitialize();

    std::vector<ProgramEntry> entries;
    for (const auto& [name, id] : found)
        if (!isOwnProgramName(name)) entries.push_back({wideToUtf8(id), wideToUtf8(name)});
    std::sort(entries.begin(), entries.end(), [](const ProgramEntry& a, const ProgramEntry& b) {
        const std::wstring wa = utf8ToWide(a.name), wb = utf8ToWide(b.name);
        return CompareStringEx(LOCALE_NAME_USER_DEFAULT, NORM_IGNORECASE, wa.c_str(), int(wa.size()), wb.c_str(),
                               int(wb.size()), nullptr, nullptr, 0) == CSTR_LESS_THAN;
    });
    logLine("프로그램 목록 " + std::to_string(entries.size()) + "개 (" +
            std::to_string((nowNanos() - start) / 1'000'000) + " ms)");
    return entries;
}

}  // namespace

std::wstring programsFolder(bool allUsers) { return knownFolder(allUsers ? FOLDERID_CommonPrograms : FOLDERID_Programs); }

uint32_t windowId(WindowHandle window) { return uint32_t(reinterpret_cast<uintptr_t>(window)); }

WindowHandle windowFromId(uint32_t id) {
    if (id == 0) return nullptr;
    // Handles fit in 32 bits and are sign-extended when widened.
    HWND window = reinterpret_cast<HWND>(intptr_t(int32_t(id)));
    return IsWindow(window) ? window : nullptr;
}

bool windowBounds(WindowHandle window, ScreenRect& out) {
    RECT r{};
    if (FAILED(DwmGetWindowAttribute(window, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r)) && !GetWindowRect(window, &r))
        return false;
    out = {r.left, r.top, r.right, r.bottom};
    return true;
}

void collectWindow(WindowHandle window, std::vector<WindowInfo>& out) {
    WindowFacts facts;
    facts.visible = IsWindowVisible(window) != FALSE;
    if (!facts.visible) return;
    facts.owned = GetWindow(window, GW_OWNER) != nullptr;
    facts.toolWindow = (GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0;
    DWORD cloaked = 0;
    facts.cloaked = SUCCEEDED(DwmGetWindowAttribute(window, DWMWA_CLOAKED, &cloaked, sizeof cloaked)) && cloaked;
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    facts.className = className;
    wchar_t title[256] = {};
    const int length = GetWindowTextW(window, title, 256);
    facts.title.assign(title, size_t(std::max(length, 0)));
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    facts.ownProcess = pid == GetCurrentProcessId();
    facts.minimised = IsIconic(window) != FALSE;
    if (facts.minimised) {
        WINDOWPLACEMENT placement{};
        placement.length = sizeof placement;
        if (GetWindowPlacement(window, &placement)) {
            const RECT& r = placement.rcNormalPosition;
            facts.normalPosition = ScreenRect{r.left, r.top, r.right, r.bottom};
        }
    } else {
        ScreenRect bounds;
        if (windowBounds(window, bounds)) facts.bounds = bounds;
    }
    const std::optional<ScreenRect> offered = offeredBounds(facts);
    if (!offered) return;

    WindowInfo info;
    info.handle = windowId(window);
    info.title = wideToUtf8(facts.title);
    info.app = wideToUtf8(imageApp(pid));
    info.bounds = *offered;
    out.push_back(std::move(info));
}

std::vector<WindowInfo> listWindows() {
    std::vector<WindowInfo> out;
    EnumWindows(collectWindowProc, reinterpret_cast<LPARAM>(&out));
    return out;
}

void bringWindowToFront(WindowHandle window) {
    if (IsIconic(window)) ShowWindowAsync(window, SW_RESTORE);  // a hung window must not hold this thread
    HWND foreground = GetForegroundWindow();
    if (foreground == window) return;
    const DWORD self = GetCurrentThreadId();
    const DWORD other = foreground ? GetWindowThreadProcessId(foreground, nullptr) : 0;
    const bool attached = foreground && other != self && AttachThreadInput(self, other, TRUE);
    BringWindowToTop(window);
    SetForegroundWindow(window);
    SetFocus(window);
    if (attached) AttachThreadInput(self, other, FALSE);
    if (GetForegroundWindow() != window) {
        // An Alt press lets this thread take the foreground.
        keybd_event(VK_MENU, 0, 0, 0);
        SetForegroundWindow(window);
        keybd_event(VK_MENU, 0, KEYEVENTF_KEYUP, 0);
    }
}

uint32_t waitForNewWindow(const std::set<uint32_t>& before, int timeoutMs) {
    const int64_t start = nowNanos();
    while (nowNanos() - start < int64_t(timeoutMs) * 1'000'000) {
        for (const WindowInfo& w : listWindows())
            if (!before.count(w.handle)) return w.handle;
        sleepMs(250);
    }
    return 0;
}

void scanShortcuts(const std::wstring& folder, int depth, std::map<std::wstring, std::wstring>& found) {
    if (depth == 5) return;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            scanShortcuts(folder + L"\\" + name, depth + 1, found);
        } else if (endsWithLnk(name)) {
            const std::wstring program = name.substr(0, name.size() - 4);
            if (!isExcludedProgram(program)) found.emplace(program, folder + L"\\" + name);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
}

std::vector<ProgramEntry> programCatalogue() {
    ProgramCache& cache = programCache();
    std::lock_guard lock(cache.mutex);
    if (!cache.entries.empty() && nowNanos() - cache.builtAt <= programCacheLifetimeNs.load()) return cache.entries;
    cache.entries = buildCatalogue();
    cache.builtAt = nowNanos();
    return cache.entries;
}

bool findProgram(const std::string& id) {
    const std::vector<ProgramEntry> programs = programCatalogue();
    return std::any_of(programs.begin(), programs.end(), [&](const ProgramEntry& p) { return p.id == id; });
}

bool launchProgram(const std::string& id) {
    // Only what the host offered itself is handed to the shell, never a path or URL of the viewer.
    if (!findProgram(id)) return false;
    // The shell may hand the start to extensions that need COM on this thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", utf8ToWide(id).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) CoUninitialize();
    return reinterpret_cast<INT_PTR>(result) > 32;
}

void sendAppList(CatalogueSession& session) {
    const std::vector<ProgramEntry> programs = programCatalogue();
    const std::vector<MonitorInfo> monitors = listMonitors();
    const std::vector<WindowInfo> windows = listWindows();
    const Json reply = catalogueReply(programs, windows, monitors, session.launching());
    session.send(MsgType::AppList, reply.dump());
}

void launchFromCatalogue(CatalogueSession& session, const std::string& id) {
    std::string name;
    for (const ProgramEntry& p : programCatalogue())
        if (p.id == id) {
            name = p.name;
            break;
        }
    if (name.empty()) {
        logLine("프로그램 실행 거절 (목록에 없음): " + id);
        session.send(MsgType::Notice, "이 프로그램은 실행할 수 없습니다");
        return;
    }
    std::set<uint32_t> before;
    for (const WindowInfo& w : listWindows()) before.insert(w.handle);
    HWND foreground = GetForegroundWindow();

    session.setLaunching(name);
    sendAppList(session);
    logLine("프로그램 실행 (" + name + "): " + id);
    const bool started = launchProgram(id);
    uint32_t found = 0;
    if (started) {
        found = waitForNewWindow(before, launchWindowWaitMs.load());
        // A program that reuses a window of its own brings that one to the front instead.
        HWND now = GetForegroundWindow();
        if (!found && now && now != foreground) {
            for (const WindowInfo& w : listWindows())
                if (w.handle == windowId(now)) found = w.handle;
        }
    }
    session.setLaunching("");

    if (found) {
        sleepMs(300);
        if (HWND window = windowFromId(found)) bringWindowToFront(window);
        session.streamWindow(found);
    } else {
        session.send(MsgType::Notice, started ? name + " 의 창이 열리지 않았습니다. 목록에서 창을 고르세요"
                                              : name + " 을(를) 실행하지 못했습니다");
    }
    sendAppList(session);
}
