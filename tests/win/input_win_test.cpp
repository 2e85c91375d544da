// Injected input reaching a real window of this process.
#include <windows.h>
#include <windowsx.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "core/util.h"
#include "host/input.h"

namespace {

struct Seen {
    UINT msg;
    WPARAM wp;
    LPARAM lp;
};
std::vector<Seen>* gSeen = nullptr;

LRESULT CALLBACK recordProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CHAR: case WM_KEYDOWN: case WM_KEYUP: case WM_SYSKEYDOWN: case WM_SYSKEYUP:
        case WM_LBUTTONDOWN: case WM_LBUTTONUP: case WM_RBUTTONDOWN: case WM_RBUTTONUP:
        case WM_MOUSEWHEEL: case WM_MOUSEHWHEEL:
            if (gSeen) gSeen->push_back({msg, wp, lp});
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wp, lp);
    }
}

// The system's input, except that locking the workstation is only counted.
class LockSeam : public InputBackend {
public:
    LockSeam() : real_(makeSystemInputBackend()) {}
    size_t send(std::span<const InputRecord> records) override {
        size_t n = real_->send(records);
        accepted.push_back(n);
        return n;
    }
    uint32_t lastError() override { return real_->lastError(); }
    VirtualScreen virtualScreen() override { return real_->virtualScreen(); }
    void lockWorkStation() override { ++locks; }

    std::vector<size_t> accepted;
    int locks = 0;

private:
    std::unique_ptr<InputBackend> real_;
};

// One window for the whole suite: destroying a window under Wine without a window manager
// waits two seconds for the X server.
class InjectWindow : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = recordProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"TavrelInputTest";
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        RegisterClassW(&wc);
        hwnd = CreateWindowExW(WS_EX_TOPMOST, L"TavrelInputTest", L"input", WS_POPUP | WS_VISIBLE, 100, 80, 400,
                               300, nullptr, nullptr, wc.hInstance, nullptr);
    }
    static void TearDownTestSuite() {
        if (hwnd) DestroyWindow(hwnd);
        hwnd = nullptr;
        UnregisterClassW(L"TavrelInputTest", GetModuleHandleW(nullptr));
    }

    void SetUp() override {
        ASSERT_NE(hwnd, nullptr);
        gSeen = &seen;
        SetForegroundWindow(hwnd);
        SetFocus(hwnd);
        pumpFor(100);
        seam = new LockSeam;
        inj = std::make_unique<InputInjector>(std::unique_ptr<InputBackend>(seam));
        RECT rc{};
        GetWindowRect(hwnd, &rc);
        inj->setTarget(rc.left, rc.top, rc.right, rc.bottom);
        seen.clear();
    }
    void TearDown() override {
        if (inj) inj->releaseAll();
        inj.reset();
        pumpFor(20);
        gSeen = nullptr;
    }

    void pumpOnce() {
        MSG m;
        while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&m);
            DispatchMessageW(&m);
        }
    }
    void pumpFor(int ms) {
        for (int64_t end = nowNanos() + int64_t(ms) * 1'000'000; nowNanos() < end;) {
            pumpOnce();
            sleepMs(5);
        }
    }
    // Pumps until `done` holds or two seconds passed.
    bool pumpUntil(const std::function<bool()>& done) {
        for (int64_t end = nowNanos() + 2'000'000'000; nowNanos() < end;) {
            pumpOnce();
            if (done()) return true;
            sleepMs(5);
        }
        return done();
    }
    const Seen* find(UINT msg, WPARAM wp) const {
        for (const Seen& s : seen)
            if (s.msg == msg && s.wp == wp) return &s;
        return nullptr;
    }
    const Seen* find(UINT msg) const {
        for (const Seen& s : seen)
            if (s.msg == msg) return &s;
        return nullptr;
    }

    std::vector<Seen> seen;
    static inline HWND hwnd = nullptr;
    LockSeam* seam = nullptr;
    std::unique_ptr<InputInjector> inj;
};

TEST_F(InjectWindow, UnicodeTextArrivesAsCharacters) {
    inj->typeText("a\xEA\xB0\x80!");  // a, Hangul syllable GA, !
    ASSERT_TRUE(pumpUntil([&] { return find(WM_CHAR, '!') != nullptr; }));
    std::vector<WPARAM> chars;
    for (const Seen& s : seen)
        if (s.msg == WM_CHAR) chars.push_back(s.wp);
    EXPECT_EQ(chars, (std::vector<WPARAM>{'a', 0xAC00, '!'}));
    EXPECT_EQ(seam->accepted, (std::vector<size_t>{6}));
}

TEST_F(InjectWindow, TabAndEnterArriveAsVirtualKeys) {
    inj->typeText("\t\r\n");
    ASSERT_TRUE(pumpUntil([&] { return find(WM_KEYUP, VK_RETURN) != nullptr; }));
    EXPECT_NE(find(WM_KEYDOWN, VK_TAB), nullptr);
    EXPECT_NE(find(WM_KEYDOWN, VK_RETURN), nullptr);
}

TEST_F(InjectWindow, VirtualKeyOverrideArrives) {
    inj->key(113, true);  // the Mac's F15 is Pause
    inj->key(113, false);
    ASSERT_TRUE(pumpUntil([&] { return find(WM_KEYUP, VK_PAUSE) != nullptr; }));
    EXPECT_NE(find(WM_KEYDOWN, VK_PAUSE), nullptr);
}

TEST_F(InjectWindow, ScanCodeKeysAreAccepted) {
    inj->key(0, true);    // A
    inj->key(123, true);  // Left arrow, extended
    inj->key(123, false);
    inj->key(0, false);
    EXPECT_EQ(seam->accepted, (std::vector<size_t>{1, 1, 1, 1}));
    EXPECT_TRUE(inj->heldKeys().empty());
    pumpFor(50);
}

TEST_F(InjectWindow, ClickLandsOnTheMappedPoint) {
    inj->mouse(0, 0, 0.25f, 0.5f);
    inj->mouse(1, 0, 0.25f, 0.5f);
    inj->mouse(2, 0, 0.25f, 0.5f);
    ASSERT_TRUE(pumpUntil([&] { return find(WM_LBUTTONUP) != nullptr; }));
    const Seen* downMsg = find(WM_LBUTTONDOWN);
    ASSERT_NE(downMsg, nullptr);
    // 399 * 0.25 rounds to 100, 299 * 0.5 to 150 (client = window, no frame)
    EXPECT_NEAR(GET_X_LPARAM(downMsg->lp), 100, 1);
    EXPECT_NEAR(GET_Y_LPARAM(downMsg->lp), 150, 1);
    POINT p{};
    GetCursorPos(&p);
    EXPECT_NEAR(p.x, 200, 1);
    EXPECT_NEAR(p.y, 230, 1);
    EXPECT_TRUE(inj->heldButtons().empty());
}

TEST_F(InjectWindow, WheelArrives) {
    inj->mouse(0, 0, 0.5f, 0.5f);
    inj->wheel(0, -1, false);
    ASSERT_TRUE(pumpUntil([&] { return find(WM_MOUSEWHEEL) != nullptr; }));
    EXPECT_EQ(GET_WHEEL_DELTA_WPARAM(find(WM_MOUSEWHEEL)->wp), -120);
}

TEST_F(InjectWindow, CommandLLocksThroughTheSeam) {
    inj->combo({55, 37});
    EXPECT_EQ(seam->locks, 1);
    EXPECT_TRUE(seam->accepted.empty());
}

TEST_F(InjectWindow, ReleaseAllLetsGoOfHeldButtonAndKey) {
    inj->mouse(1, 0, 0.5f, 0.5f);
    inj->key(113, true);
    ASSERT_TRUE(pumpUntil([&] { return find(WM_LBUTTONDOWN) && find(WM_KEYDOWN, VK_PAUSE); }));
    inj->releaseAll();
    ASSERT_TRUE(pumpUntil([&] { return find(WM_LBUTTONUP) && find(WM_KEYUP, VK_PAUSE); }));
    EXPECT_GE(GetKeyState(VK_LBUTTON), 0);  // high bit clear: not down
}

}  // namespace
