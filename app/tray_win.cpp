// The tray window, its icon and balloons, keep-awake, and turning hosting on and off.
#include "app/tray.h"

#include <memory>
#include <optional>
#include <string>

#include "core/config/store.h"
#include "core/text.h"
#include "core/util.h"
#include "host/server.h"
#include "media/capture.h"
#include "media/mf.h"

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr DWORD kRunValueBytes = 1040;
constexpr wchar_t kFluentFont[] = L"Segoe Fluent Icons";
constexpr wchar_t kMdl2Font[] = L"Segoe MDL2 Assets";

std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

// At most N - 1 units of `text`, never half a surrogate pair, and the terminator.
template <size_t N>
void copyCut(wchar_t (&to)[N], const std::wstring& text) {
    const size_t n = utf16CutLength(text, N - 1);
    text.copy(to, n);
    to[n] = 0;
}

bool lightTheme() {
    DWORD value = 0, size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize",
                     L"SystemUsesLightTheme", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        value = 0;  // no setting: the dark taskbar
    return value != 0;
}

HFONT iconFont(int size, const wchar_t* face) {
    return CreateFontW(-size, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                       CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY, DEFAULT_PITCH, face);
}

void drawShape(HDC dc, const IconShape& shape) {
    HBRUSH white = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    for (const IconRect& r : shape.fills) {
        RECT rect{r.left, r.top, r.right, r.bottom};
        FillRect(dc, &rect, white);
    }
    if (shape.dot.right > shape.dot.left) {
        HGDIOBJ oldBrush = SelectObject(dc, white);
        HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
        // Without a pen the filled area ends one pixel short of the right and bottom edges.
        Ellipse(dc, shape.dot.left, shape.dot.top, shape.dot.right + 1, shape.dot.bottom + 1);
        SelectObject(dc, oldPen);
        SelectObject(dc, oldBrush);
    }
}

// Draws the state's glyph, or its shape when the icon fonts lack it, white on black.
void drawState(HDC dc, TrayState state, int size) {
    HFONT font = iconFont(size, kFluentFont);
    HGDIOBJ oldFont = SelectObject(dc, font);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    if (wcscmp(face, kFluentFont) != 0) {
        HFONT other = iconFont(size, kMdl2Font);
        SelectObject(dc, other);
        DeleteObject(font);
        font = other;
    }
    wchar_t glyph = wchar_t(trayGlyph(state));
    WORD index = 0xFFFF;
    if (GetGlyphIndicesW(dc, &glyph, 1, &index, GGI_MARK_NONEXISTING_GLYPHS) == 1 && index != 0xFFFF) {
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        RECT r{0, 0, size, size};
        DrawTextW(dc, &glyph, 1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    } else {
        drawShape(dc, iconShape(state, size));
    }
    GdiFlush();
    SelectObject(dc, oldFont);
    DeleteObject(font);
}

void postRedraw() {
    if (HWND window = tray().trayWindow) PostMessageW(window, WM_TRAY_REDRAW, 0, 0);
}

void onPowerBroadcast(WPARAM event) {
    switch (powerAction(unsigned(event))) {
        case PowerAction::Resume: {
            logLine("깨어남 → 중계 서버에 다시 붙음");
            HostServer& server = HostServer::instance();
            if (RelayHostAgent* agent = server.relayAgent()) agent->reconnect();
            if (RelayHostAgent* agent = server.accessRelayAgent()) agent->reconnect();
            updateStayAwake();
            break;
        }
        case PowerAction::PowerSource:
            updateStayAwake();
            break;
        case PowerAction::None:
            break;
    }
}

}  // namespace

TrayProcess& tray() {
    static TrayProcess* process = new TrayProcess;
    return *process;
}

LRESULT CALLBACK trayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TrayProcess& t = tray();
    if (!t.taskbarCreatedMessage) t.taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    switch (message) {
        case WM_TRAY_NOTIFY: {
            const UINT event = LOWORD(lParam);
            if (event == NIN_SELECT || event == NIN_KEYSELECT || event == WM_CONTEXTMENU) showMenu();
            return 0;
        }
        case WM_TRAY_REDRAW:
            updateTrayIcon();
            return 0;
        case WM_TRAY_CALL:  // whoever posted it: only what waits in the queue runs
            while (std::optional<std::function<void()>> call = t.calls.take())
                if (*call) (*call)();
            return 0;
        case WM_WININICHANGE:  // among others the taskbar's theme
            updateTrayIcon();
            return 0;
        case WM_POWERBROADCAST:
            onPowerBroadcast(wParam);
            return TRUE;
        default:
            break;
    }
    if (t.taskbarCreatedMessage && message == t.taskbarCreatedMessage) {  // Explorer restarted
        t.notifyIcon(NIM_ADD, &t.trayIconData);
        // The version belongs to one added icon: without it the re-added icon would report plain
        // mouse messages, which open no menu.
        t.notifyIcon(NIM_SETVERSION, &t.trayIconData);
        updateTrayIcon();
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND createTrayWindow(HINSTANCE instance) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = trayWndProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"TavrelTray";
    RegisterClassW(&windowClass);
    // A wake posted to a window that is gone never arrives: what waited for it is dropped with it.
    tray().calls.clear();
    tray().trayWindow =
        CreateWindowExW(0, L"TavrelTray", L"Tavrel", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    return tray().trayWindow;
}

void addTrayIcon() {
    TrayProcess& t = tray();
    NOTIFYICONDATAW& d = t.trayIconData;
    d.cbSize = sizeof d;
    d.hWnd = t.trayWindow;
    d.uID = 1;
    d.uFlags = NIF_MESSAGE | NIF_TIP;
    d.uCallbackMessage = WM_TRAY_NOTIFY;
    copyCut(d.szTip, L"Tavrel");
    t.notifyIcon(NIM_ADD, &d);
    d.uVersion = NOTIFYICON_VERSION_4;
    t.notifyIcon(NIM_SETVERSION, &d);
}

bool postTrayCall(std::function<void()> call) {
    // Without a window the post would land in the calling thread's own queue, where nothing runs it.
    HWND window = tray().trayWindow;
    if (!window) return false;
    return tray().calls.put(std::move(call), [window] { return PostMessageW(window, WM_TRAY_CALL, 0, 0) != FALSE; });
}

void installServerCallbacks() {
    HostServer& server = HostServer::instance();
    server.onStateChanged = postRedraw;
    server.onConnected = [](const std::string& name, const std::string& route) {
        postTrayCall([name, route] { showBalloon(L"Tavrel", wide(connectedNoticeText(name, route))); });
    };
    server.passwords.onLockout = [](int failures, double) {
        logLine(lockoutLogLine(failures));
        postTrayCall([failures] { showBalloon(L"비밀번호 접속 잠김", wide(lockoutNoticeText(failures))); });
    };
}

HICON makeTrayIcon(TrayState state, bool light) {
    const int size = GetSystemMetrics(SM_CXSMICON);
    void* bits = nullptr;
    HBITMAP colour = createAlphaBitmap(size, size, bits);
    HDC dc = CreateCompatibleDC(nullptr);
    HICON icon = nullptr;
    if (colour && bits && dc) {
        ZeroMemory(bits, size_t(size) * size * 4);
        HGDIOBJ oldBitmap = SelectObject(dc, colour);
        drawState(dc, state, size);
        recolourIcon(static_cast<uint8_t*>(bits), size_t(size) * size, light);
        SelectObject(dc, oldBitmap);
        HBITMAP mask = CreateBitmap(size, size, 1, 1, nullptr);
        ICONINFO info{TRUE, 0, 0, mask, colour};
        icon = CreateIconIndirect(&info);
        if (mask) DeleteObject(mask);
    }
    if (dc) DeleteDC(dc);
    if (colour) DeleteObject(colour);
    return icon;
}

void updateTrayIcon() {
    TrayProcess& t = tray();
    const std::shared_ptr<ViewerSession> session = HostServer::instance().currentSession();
    const AppConfig config = configStore().get();
    const std::string peer = session ? session->peerName() : std::string();
    const TrayIconModel model = trayIconModel(session != nullptr, peer, config.hosting);
    if (announceController(t.lastController, session != nullptr, peer))
        showBalloon(L"원격 제어 중", wide(controllerBalloonText(peer)));
    HICON previous = t.trayIconData.hIcon;
    t.trayIconData.hIcon = makeTrayIcon(model.state, lightTheme());
    t.trayIconData.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
    copyCut(t.trayIconData.szTip, wide(model.tip));
    t.notifyIcon(NIM_MODIFY, &t.trayIconData);
    if (previous) DestroyIcon(previous);  // only once the shell has the new one
}

void showBalloon(const std::wstring& title, const std::wstring& text) {
    TrayProcess& t = tray();
    NOTIFYICONDATAW& d = t.trayIconData;
    d.uFlags = NIF_INFO;  // the record also holds the icon: say which fields this call carries
    copyCut(d.szInfoTitle, title);
    copyCut(d.szInfo, text);
    d.dwInfoFlags = NIIF_INFO;
    t.notifyIcon(NIM_MODIFY, &d);
}

void updateStayAwake() {
    TrayProcess& t = tray();
    const AppConfig config = configStore().get();
    SYSTEM_POWER_STATUS power{};
    const bool read = GetSystemPowerStatus(&power) != FALSE;
    switch (stayAwakeStep(config, read, power.ACLineStatus, t.keepAwakeActive)) {
        case StayAwakeStep::Hold:
            SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);  // the system, not the display
            t.keepAwakeActive = true;
            logLine("잠자기 막기 켬");
            break;
        case StayAwakeStep::Release:
            SetThreadExecutionState(ES_CONTINUOUS);
            t.keepAwakeActive = false;
            logLine("잠자기 막기 끔");
            break;
        case StayAwakeStep::None:
            break;
    }
}

void setHosting(bool on, bool notify) {
    configStore().update([on](AppConfig& c) { c.hosting = on; });
    HostServer& server = HostServer::instance();
    if (on) {
        const AppConfig config = configStore().get();
        mediaPrewarm(true);
        if (!server.start(config.port, true, true, false)) {
            configStore().update([](AppConfig& c) { c.hosting = false; });
            const std::wstring text =
                L"포트 " + std::to_wstring(config.port) + L" 을(를) 다른 프로그램이 쓰고 있을 수 있습니다.";
            MessageBoxW(nullptr, text.c_str(), L"원격 제어를 켤 수 없습니다",
                        MB_TOPMOST | MB_SETFOREGROUND | MB_ICONINFORMATION);
        } else if (notify) {
            showBalloon(L"원격 제어 허용 켬",
                        L"Windows 방화벽 창이 뜨면 '허용'을 누르세요. 같은 망의 다른 컴퓨터가 이 PC 에 연결하려면 "
                        L"필요합니다.");
        }
    } else {
        server.pairing.clear();  // a pairing code still shown must not outlive hosting
        server.stop();
    }
    updateStayAwake();
    updateTrayIcon();
}

bool migrateRunValue(const std::wstring& suffix, const std::wstring& exePath) {
    if (!suffix.empty() || exePath.empty()) return false;
    wchar_t old[kRunValueBytes / sizeof(wchar_t)];
    DWORD size = sizeof old;
    if (RegGetValueW(HKEY_CURRENT_USER, kRunKey, L"Varnoth", RRF_RT_REG_SZ, nullptr, old, &size) != ERROR_SUCCESS)
        return false;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return false;
    // The new value goes in first, so a failed write leaves the old one starting the program.
    const std::wstring value = L"\"" + exePath + L"\"";
    const bool written = RegSetValueExW(key, L"Tavrel", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                        DWORD((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    if (written) RegDeleteValueW(key, L"Varnoth");
    RegCloseKey(key);
    if (written) logLine("로그인할 때 열기를 새 이름(Tavrel)으로 옮김");
    return written;
}
