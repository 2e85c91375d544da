// The viewer window's mouse and keyboard input: the video child's messages, the wheel, the
// process-wide low-level keyboard hook, full screen and the relative display switch. The
// decisions are viewer/input.h's; this file feeds them the system's values and applies them.
#include "viewer/window.h"

#include "core/config/store.h"

namespace {

// UI thread only: the hook procedure runs in the installing thread's message loop.
HHOOK keyboardHook = nullptr;
ViewerWindow* hookOwner = nullptr;

// Style bits a full-screen window drops before it becomes a bare popup.
constexpr LONG_PTR kFramedStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX;

constexpr LPARAM kHookExtended = 1 << 8;
constexpr LPARAM kHookDown = 1 << 9;

LRESULT CALLBACK keyboardHookProc(int code, WPARAM wParam, LPARAM lParam) {
    // Decides and posts only: Windows removes a low-level hook that keeps the keyboard waiting
    // past its time-out, so nothing here may block, read files or allocate.
    if (code == HC_ACTION) {
        const auto* key = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lParam);
        HookEvent event;
        event.action = true;
        event.hasOwner = hookOwner != nullptr;
        event.injected = (key->flags & LLKHF_INJECTED) != 0;
        event.ownerForeground = hookOwner && GetForegroundWindow() == hookOwner->hwnd;
        event.ownerConnected = hookOwner && hookOwner->connected;
        event.ownerInMenu = hookOwner && hookOwner->menuOpen;
        if (hookTakesKey(event)) {
            const bool down = wParam == WM_KEYDOWN || wParam == WM_SYSKEYDOWN;
            LPARAM packed = LPARAM(key->scanCode & 0xFF);
            if (key->flags & LLKHF_EXTENDED) packed |= kHookExtended;
            if (down) packed |= kHookDown;
            PostMessageW(hookOwner->hwnd, WM_VIEWER_HOOK_KEY, WPARAM(key->vkCode), packed);
            return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

int buttonOf(UINT msg, WPARAM wParam) {
    switch (msg) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP: return 0;
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP: return 1;
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP: return 2;
        default: return HIWORD(wParam) == XBUTTON1 ? 3 : 4;
    }
}

MouseAction actionOf(UINT msg) {
    switch (msg) {
        case WM_MOUSEMOVE: return MouseAction::Move;
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN:
        case WM_XBUTTONDOWN: return MouseAction::Press;
        default: return MouseAction::Release;
    }
}

// What the mouse and the wheel need of the window: no settings, so that a stream of moves copies
// nothing.
InputFacts pointerFacts(const ViewerWindow& w) {
    InputFacts facts;
    facts.session = w.session != nullptr;
    facts.connected = w.connected;
    return facts;
}

// One mouse message of the video child: one Mouse message for the host.
void videoMouse(ViewerWindow& w, UINT msg, WPARAM wParam, LPARAM lParam) {
    RECT client{};
    GetClientRect(w.video, &client);
    ClickMetrics metrics;
    metrics.time = GetDoubleClickTime();
    metrics.width = GetSystemMetrics(SM_CXDOUBLECLK);
    metrics.height = GetSystemMetrics(SM_CYDOUBLECLK);
    const int x = int(short(LOWORD(lParam))), y = int(short(HIWORD(lParam)));
    const CaptureChange capture =
        w.input.mouse(actionOf(msg), buttonOf(msg, wParam), x, y, uint32_t(GetMessageTime()), int(client.right),
                      int(client.bottom), w.displayInfo, metrics, pointerFacts(w));
    if (capture == CaptureChange::Take)
        SetCapture(w.video);
    else if (capture == CaptureChange::Free && GetCapture() == w.video)
        ReleaseCapture();
}

}  // namespace

LRESULT CALLBACK videoWndProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<ViewerWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, msg, wParam, lParam);
    return self->handleVideoMessage(msg, wParam, lParam);
}

LRESULT ViewerWindow::handleVideoMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            BeginPaint(video, &paint);
            EndPaint(video, &paint);
            if (session) {
                session->redraw.exchange(true);
                // Taken so that the render thread cannot miss the wake-up between its check and
                // its wait.
                { std::lock_guard<std::mutex> lock(session->queueMutex); }
                session->queueCv.notify_all();
            }
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_SETCURSOR:
            if (LOWORD(lParam) == HTCLIENT) {
                SetCursor(remoteCursor ? remoteCursor : LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)));  // IDC_ARROW
                return TRUE;
            }
            break;
        case WM_MOUSEMOVE:
            videoMouse(*this, msg, wParam, lParam);
            return 0;
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
            SetFocus(hwnd);
            videoMouse(*this, msg, wParam, lParam);
            return 0;
        case WM_XBUTTONDOWN:
        case WM_XBUTTONUP:
            SetFocus(hwnd);
            videoMouse(*this, msg, wParam, lParam);
            return TRUE;
        case WM_DROPFILES:
            return SendMessageW(hwnd, msg, wParam, lParam);
        default:
            break;
    }
    return DefWindowProcW(video, msg, wParam, lParam);
}

void ViewerWindow::sendWheel(bool horizontal, int delta) { input.wheel(horizontal, delta, pointerFacts(*this)); }

void ViewerWindow::installKeyboardHook() {
    hookOwner = this;
    if (keyboardHook) return;
    if (!configStore().get().systemKeys) return;
    // A failure leaves the ordinary key messages; the next activation tries again.
    keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, keyboardHookProc, GetModuleHandleW(nullptr), 0);
}

void ViewerWindow::setKeyboardHook(bool on) {
    if (on) {
        installKeyboardHook();
        return;
    }
    if (hookOwner != this) return;
    if (keyboardHook) UnhookWindowsHookEx(keyboardHook);
    keyboardHook = nullptr;
    hookOwner = nullptr;
}

bool ViewerWindow::keyboardHookInstalled() { return keyboardHook != nullptr; }

void ViewerWindow::hookKey(WPARAM wParam, LPARAM lParam) {
    // Posted while the window held the keyboard; by now it may have let go of the hook (and
    // released every key on the host), lost its connection or opened a menu. A key applied then
    // would stay down on the host.
    HookEvent now;
    now.action = true;
    now.hasOwner = hookOwner == this;
    now.ownerForeground = GetForegroundWindow() == hwnd;
    now.ownerConnected = connected && !closing;
    now.ownerInMenu = menuOpen;
    if (!hookTakesKey(now)) return;
    const uint16_t scan = uint16_t(lParam & 0xFF);
    const bool extended = (lParam & kHookExtended) != 0;
    const bool down = (lParam & kHookDown) != 0;
    const uint32_t vk = uint32_t(wParam);
    forwardKey(scan, extended, vk, down, input.hookRepeat(scan, extended, vk, down));
}

void ViewerWindow::forwardKey(uint16_t scan, bool extended, uint32_t vk, bool down, bool repeat) {
    input.forwardKey(scan, extended, vk, down, repeat, inputFacts());
}

void ViewerWindow::toggleFullScreen() {
    if (!fullScreen) {
        savedPlacement = WINDOWPLACEMENT{};
        savedPlacement.length = sizeof savedPlacement;
        GetWindowPlacement(hwnd, &savedPlacement);
        savedStyle = GetWindowLongPtrW(hwnd, GWL_STYLE);
        MONITORINFO monitor{};
        monitor.cbSize = sizeof monitor;
        GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &monitor);
        SetMenu(hwnd, nullptr);
        SetWindowLongPtrW(hwnd, GWL_STYLE, (savedStyle & ~kFramedStyle) | WS_POPUP);
        const RECT& r = monitor.rcMonitor;
        SetWindowPos(hwnd, HWND_TOP, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_SHOWWINDOW | SWP_FRAMECHANGED);
        fullScreen = true;
        return;
    }
    SetWindowLongPtrW(hwnd, GWL_STYLE, savedStyle);
    SetMenu(hwnd, menuBar);
    SetWindowPlacement(hwnd, &savedPlacement);
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_FRAMECHANGED);
    fullScreen = false;
}

void ViewerWindow::switchDisplay(int delta) {
    if (!session) return;
    const std::optional<uint8_t> target = switchedDisplay(displayInfo, delta);
    if (target) session->send(MsgType::SelectDisplay, Bytes{*target});
}

void ViewerWindow::onActivate(WPARAM wParam) {
    if (LOWORD(wParam) != WA_INACTIVE) {
        installKeyboardHook();
    } else {
        releaseKeys();
        setKeyboardHook(false);
    }
}

bool ViewerWindow::onKey(UINT msg, WPARAM wParam, LPARAM lParam) {
    // While connected the keys go to the host, and the characters they make are dropped here.
    if (!connected) return false;
    if (msg == WM_CHAR || msg == WM_SYSCHAR) return true;
    const bool down = msg == WM_KEYDOWN || msg == WM_SYSKEYDOWN;
    forwardKey(uint16_t((lParam >> 16) & 0xFF), ((lParam >> 24) & 1) != 0, uint32_t(wParam), down,
               down && ((lParam >> 30) & 1) != 0);
    return true;
}
