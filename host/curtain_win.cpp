// The curtain's windows, hooks and thread.
#include "host/curtain.h"

#include <windows.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "core/util.h"

static_assert(CurtainKeys::kControl == VK_CONTROL && CurtainKeys::kLeftControl == VK_LCONTROL &&
              CurtainKeys::kRightControl == VK_RCONTROL && CurtainKeys::kAlt == VK_MENU &&
              CurtainKeys::kLeftAlt == VK_LMENU && CurtainKeys::kRightAlt == VK_RMENU &&
              CurtainKeys::kEscape == VK_ESCAPE);

namespace {

constexpr wchar_t kClassName[] = L"TavrelCurtain";

// Process-wide state of the one curtain thread: the hooks run on it and nowhere else.
HHOOK gKeyboardHook = nullptr;
HHOOK gMouseHook = nullptr;
CurtainKeys gKeys;

void startLocalRelease() {
    std::function<void()> callback = Curtain::instance().onLocalRelease();
    // Lowering joins the curtain thread, and this runs on it.
    std::thread([callback = std::move(callback)] {
        Curtain::instance().set(false);
        if (callback) callback();
    }).detach();
}

LRESULT CALLBACK curtainKb(int code, WPARAM wp, LPARAM lp) {
    if (code != HC_ACTION) return CallNextHookEx(nullptr, code, wp, lp);
    const auto* event = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lp);
    bool down = wp == WM_KEYDOWN || wp == WM_SYSKEYDOWN;
    switch (gKeys.onKey(event->vkCode, down, (event->flags & LLKHF_INJECTED) != 0)) {
        case CurtainKeyAction::Pass:
            return CallNextHookEx(nullptr, code, wp, lp);
        case CurtainKeyAction::Release:
            startLocalRelease();
            return 1;
        case CurtainKeyAction::Swallow:
            return 1;
    }
    return 1;
}

LRESULT CALLBACK curtainMouse(int code, WPARAM wp, LPARAM lp) {
    const auto* event = reinterpret_cast<const MSLLHOOKSTRUCT*>(lp);
    if (code == HC_ACTION && !(event->flags & LLMHF_INJECTED)) return 1;
    return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK curtainWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT client;
            GetClientRect(hwnd, &client);
            FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
            SetBkMode(dc, TRANSPARENT);
            SetTextColor(dc, RGB(110, 110, 110));
            HFONT font = CreateFontW(-28, 0, 0, 0, 500, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                     CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                                     L"Malgun Gothic");
            HGDIOBJ old = SelectObject(dc, font);
            DrawTextW(dc, L"원격으로 사용 중입니다", -1, &client, DT_SINGLELINE | DT_VCENTER | DT_CENTER);
            SelectObject(dc, old);
            DeleteObject(font);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_MOUSEACTIVATE:
            return MA_NOACTIVATE;
        case WM_NCHITTEST:
            return HTTRANSPARENT;
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

BOOL CALLBACK curtainMonitorProc(HMONITOR, HDC, LPRECT rect, LPARAM list) {
    HWND hwnd = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_LAYERED |
                                    WS_EX_NOACTIVATE,
                                kClassName, L"", WS_POPUP, rect->left, rect->top, rect->right - rect->left,
                                rect->bottom - rect->top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (!hwnd) return TRUE;  // this monitor stays uncovered; the others are still covered
    SetLayeredWindowAttributes(hwnd, 0, 255, LWA_ALPHA);
    // Left out of screen capture, so the viewer sees the desktop below.
    SetWindowDisplayAffinity(hwnd, WDA_EXCLUDEFROMCAPTURE);
    ShowWindow(hwnd, SW_SHOWNOACTIVATE);
    reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}

void registerClassOnce() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = curtainWndProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

}  // namespace

Curtain& Curtain::instance() {
    static Curtain* curtain = new Curtain;
    return *curtain;
}

void Curtain::setOnLocalRelease(std::function<void()> callback) {
    std::function<void()> old;
    {
        std::lock_guard<std::mutex> lock(releaseMutex_);
        old = std::exchange(onLocalRelease_, std::move(callback));
    }
    // The old callback (and what it holds) is destroyed outside the lock.
}

std::function<void()> Curtain::onLocalRelease() {
    std::lock_guard<std::mutex> lock(releaseMutex_);
    return onLocalRelease_;
}

void Curtain::set(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (on == active.load()) return;
    if (on) {
        active.exchange(true);
        gKeys.reset();
        worker_ = std::thread([this] { run(); });
        logLine("화면 가리기 켬");
        return;
    }
    active.exchange(false);
    if (uint32_t id = threadId_.load()) PostThreadMessageW(id, WM_QUIT, 0, 0);
    if (worker_.joinable()) worker_.join();
    threadId_.store(0);
    logLine("화면 가리기 끔");
}

void Curtain::run() {
    // The queue exists before the id is published, so a WM_QUIT posted to it is never lost.
    MSG msg;
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    threadId_.store(GetCurrentThreadId());
    if (!active.load()) return;  // lowered before this thread got going
    registerClassOnce();
    std::vector<HWND> windows;
    EnumDisplayMonitors(nullptr, nullptr, curtainMonitorProc, reinterpret_cast<LPARAM>(&windows));
    HMODULE module = GetModuleHandleW(nullptr);
    gKeyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, curtainKb, module, 0);
    gMouseHook = SetWindowsHookExW(WH_MOUSE_LL, curtainMouse, module, 0);
    UINT_PTR timer = SetTimer(nullptr, 0, UINT(std::max(10, retopIntervalMs.load())), nullptr);
    // `active` is tested before each wait: a timer message comes at every interval, so the loop
    // also ends when a lower happened before this thread could be told.
    while (active.load() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER)
            for (HWND w : windows)
                SetWindowPos(w, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE);
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (timer) KillTimer(nullptr, timer);
    if (gKeyboardHook) UnhookWindowsHookEx(gKeyboardHook);
    if (gMouseHook) UnhookWindowsHookEx(gMouseHook);
    gKeyboardHook = nullptr;
    gMouseHook = nullptr;
    for (HWND w : windows) DestroyWindow(w);
}
