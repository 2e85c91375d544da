// The curtain over a real test window: xdotool plays the person at the host, SendInput the viewer.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/util.h"
#include "host/curtain.h"
#include "support/pump_win.h"
#include "support/screenshot.h"
#include "support/xdotool.h"

namespace {

std::vector<UINT>* gSeen = nullptr;

// Low-level hooks installed before any curtain: the curtain's own hooks, installed later, run
// first, so these see only what the curtain lets through to the rest of the system.
struct PassedOn {
    int localKeys = 0;
    int injectedKeys = 0;
    int localButtons = 0;
};
PassedOn gPassed;

LRESULT CALLBACK afterKb(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION) {
        if (reinterpret_cast<const KBDLLHOOKSTRUCT*>(lp)->flags & LLKHF_INJECTED)
            ++gPassed.injectedKeys;
        else
            ++gPassed.localKeys;
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK afterMouse(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION && wp != WM_MOUSEMOVE && !(reinterpret_cast<const MSLLHOOKSTRUCT*>(lp)->flags & LLMHF_INJECTED))
        ++gPassed.localButtons;
    return CallNextHookEx(nullptr, code, wp, lp);
}

LRESULT CALLBACK recordProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_KEYDOWN: case WM_KEYUP: case WM_SYSKEYDOWN: case WM_SYSKEYUP: case WM_CHAR:
        case WM_LBUTTONDOWN: case WM_LBUTTONUP: case WM_RBUTTONDOWN: case WM_MOUSEWHEEL:
            if (gSeen) gSeen->push_back(msg);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            HBRUSH brush = CreateSolidBrush(RGB(40, 160, 90));
            FillRect(dc, &ps.rcPaint, brush);
            DeleteObject(brush);
            EndPaint(hwnd, &ps);
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

std::vector<HWND> curtainWindows() {
    std::vector<HWND> out;
    for (HWND w = FindWindowExW(nullptr, nullptr, L"TavrelCurtain", nullptr); w;
         w = FindWindowExW(nullptr, w, L"TavrelCurtain", nullptr))
        if (IsWindowVisible(w)) out.push_back(w);
    return out;
}

// Whether `a` lies above `b` in the Z order of top-level windows.
bool above(HWND a, HWND b) {
    for (HWND w = GetTopWindow(nullptr); w; w = GetWindow(w, GW_HWNDNEXT)) {
        if (w == a) return true;
        if (w == b) return false;
    }
    return false;
}

void sendClick(int x, int y) {
    int vx = GetSystemMetrics(SM_XVIRTUALSCREEN), vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
    int vw = GetSystemMetrics(SM_CXVIRTUALSCREEN), vh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    INPUT in[3]{};
    for (INPUT& i : in) {
        i.type = INPUT_MOUSE;
        i.mi.dx = LONG((x - vx) * 65535LL / (vw - 1));
        i.mi.dy = LONG((y - vy) * 65535LL / (vh - 1));
    }
    in[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    in[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    in[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
    SendInput(3, in, sizeof(INPUT));
}

void sendKey(WORD vk) {
    INPUT in[2]{};
    in[0].type = in[1].type = INPUT_KEYBOARD;
    in[0].ki.wVk = in[1].ki.wVk = vk;
    in[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, in, sizeof(INPUT));
}

class CurtainWin : public ::testing::Test {
protected:
    // One window for the suite: destroying a window under Wine without a window manager waits two
    // seconds for the X server.
    static void SetUpTestSuite() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = recordProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TavrelCurtainTest";
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        RegisterClassW(&wc);
        window = CreateWindowExW(0, wc.lpszClassName, L"under the curtain", WS_POPUP | WS_VISIBLE, 200, 150, 400,
                                 300, nullptr, nullptr, wc.hInstance, nullptr);
        keyboardHook = SetWindowsHookExW(WH_KEYBOARD_LL, afterKb, wc.hInstance, 0);
        mouseHook = SetWindowsHookExW(WH_MOUSE_LL, afterMouse, wc.hInstance, 0);
    }
    static void TearDownTestSuite() {
        if (keyboardHook) UnhookWindowsHookEx(keyboardHook);
        if (mouseHook) UnhookWindowsHookEx(mouseHook);
        keyboardHook = mouseHook = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(window, nullptr);
        ASSERT_NE(keyboardHook, nullptr);
        ASSERT_NE(mouseHook, nullptr);
        Curtain::instance().retopIntervalMs = 100;
        Curtain::instance().setOnLocalRelease(nullptr);
        SetForegroundWindow(window);
        SetFocus(window);
        pumpFor(50);
        gSeen = &seen;
    }
    void TearDown() override {
        Curtain::instance().set(false);
        Curtain::instance().setOnLocalRelease(nullptr);
        pumpFor(20);
        gSeen = nullptr;
    }

    // Raises the curtain and waits until it covers the screen.
    void raise() {
        Curtain::instance().set(true);
        ASSERT_TRUE(pumpUntil([] { return !curtainWindows().empty(); }));
        HDC screen = GetDC(nullptr);
        bool black = pumpUntil([&] { return GetPixel(screen, 400, 200) == RGB(0, 0, 0); });
        ReleaseDC(nullptr, screen);
        ASSERT_TRUE(black) << "the curtain does not cover the test window";
        seen.clear();
        gPassed = PassedOn{};
    }

    // Runs xdotool with the pointer over the test window (keys follow the pointer in Xvfb).
    void person(const std::string& arguments) {
        ASSERT_TRUE(runXdotool("mousemove 400 300 " + arguments, pumpMessages)) << arguments;
        pumpFor(100);  // anything that slipped through reaches the window meanwhile
    }

    static inline HWND window = nullptr;
    static inline HHOOK keyboardHook = nullptr;
    static inline HHOOK mouseHook = nullptr;
    std::vector<UINT> seen;
};

}  // namespace

TEST_F(CurtainWin, LocalInputIsSwallowedInjectedInputArrives) {
    if (!xdotoolAvailable()) GTEST_SKIP() << "xdotool is not installed";
    raise();
    std::vector<HWND> curtains = curtainWindows();
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    ASSERT_EQ(curtains.size(), 1u);
    RECT covered{};
    GetWindowRect(curtains[0], &covered);
    EXPECT_TRUE(EqualRect(&covered, &monitor.rcMonitor));
    EXPECT_TRUE(above(curtains[0], window));
    EXPECT_TRUE(saveScreenshot(monitor.rcMonitor));

    person("key a click 1 click 3");
    EXPECT_EQ(gPassed.localKeys, 0);
    EXPECT_EQ(gPassed.localButtons, 0);
    EXPECT_TRUE(seen.empty()) << seen.size() << " local messages reached the window";
    EXPECT_EQ(GetForegroundWindow(), window) << "a click activated the curtain";
    EXPECT_TRUE(Curtain::instance().active);

    sendClick(300, 250);
    sendKey('B');
    auto has = [&](UINT m) { return std::find(seen.begin(), seen.end(), m) != seen.end(); };
    EXPECT_TRUE(pumpUntil([&] { return has(WM_LBUTTONUP) && has(WM_CHAR); }));
    EXPECT_EQ(gPassed.injectedKeys, 2);
}

TEST_F(CurtainWin, CtrlAltEscLowersItAndALaterCurtainIgnoresEscAlone) {
    if (!xdotoolAvailable()) GTEST_SKIP() << "xdotool is not installed";
    std::atomic<int> released{0};
    Curtain::instance().setOnLocalRelease([&] { ++released; });
    raise();
    person("keydown ctrl keydown alt key Escape key Escape");
    EXPECT_TRUE(pumpUntil([&] { return released.load() == 1; }));
    EXPECT_FALSE(Curtain::instance().active);
    EXPECT_TRUE(pumpUntil([] { return curtainWindows().empty(); }));
    person("keyup alt keyup ctrl");
    EXPECT_EQ(released.load(), 1) << "a repeated Esc lifted it again";

    // Lowered by the viewer while Ctrl and Alt are held: the curtain never sees them go up.
    raise();
    person("keydown ctrl keydown alt");
    Curtain::instance().set(false);
    person("keyup alt keyup ctrl");
    raise();
    person("key Escape");
    person("keydown ctrl key Escape keyup ctrl");
    person("keydown ctrl keydown alt keyup ctrl key Escape keyup alt");
    EXPECT_TRUE(Curtain::instance().active);
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(gPassed.localKeys, 0);
    EXPECT_TRUE(seen.empty()) << seen.size() << " local messages reached the window";
}

TEST_F(CurtainWin, RaisingTwiceLogsOnceAndLoweringWhenDownLogsNothing) {
    TempFolder folder;
    std::string before = logPath();
    std::filesystem::path file = folder.path() / "log.txt";
    setLogPath(file.string());
    Curtain::instance().set(false);
    Curtain::instance().set(true);
    Curtain::instance().set(true);
    Curtain::instance().set(false);
    Curtain::instance().set(false);
    setLogPath(before);
    std::string log = spanToString(readFile(file.wstring()));
    auto count = [&](const std::string& s) {
        size_t n = 0;
        for (size_t at = log.find(s); at != std::string::npos; at = log.find(s, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("화면 가리기 켬"), 1u) << log;
    EXPECT_EQ(count("화면 가리기 끔"), 1u) << log;
}

TEST_F(CurtainWin, WindowThatTakesTheTopGoesBelowWithinTheInterval) {
    raise();
    static HWND intruder = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"TavrelCurtainTest", L"intruder",
                                           WS_POPUP, 100, 100, 200, 200, nullptr, nullptr,
                                           GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(intruder, nullptr);
    ShowWindow(intruder, SW_SHOWNOACTIVATE);
    SetWindowPos(intruder, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOACTIVATE | SWP_NOMOVE | SWP_NOSIZE);
    HWND curtain = curtainWindows().at(0);
    EXPECT_TRUE(pumpUntil([&] { return above(curtain, intruder); }));
    ShowWindow(intruder, SW_HIDE);
}

TEST_F(CurtainWin, LoweringRightAfterRaisingEndsTheThread) {
    // A lost stop would be noticed only at the next re-top, a minute away.
    Curtain::instance().retopIntervalMs = 60000;
    for (int i = 0; i < 5; ++i) {
        auto finished = std::make_shared<std::atomic<bool>>(false);
        std::thread([finished] {
            Curtain::instance().set(true);
            Curtain::instance().set(false);
            *finished = true;
        }).detach();
        // A lower that never returns fails here rather than hanging the run.
        ASSERT_TRUE(pumpUntil([&] { return finished->load(); }, 5000)) << "round " << i;
        EXPECT_FALSE(Curtain::instance().active);
    }
}
