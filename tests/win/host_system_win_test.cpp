// The host's smaller system helpers under Wine: the shutdown privilege, the adapters' wake targets,
// the datagram sender (to loopback only), the lock state and the caret of a focused edit field.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wtsapi32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "core/util.h"
#include "host/desktop.h"
#include "host/hooks.h"
#include "host/lock.h"
#include "host/platform_win.h"
#include "host/power.h"
#include "host/session_system.h"
#include "host/wake.h"
#include "media/capture.h"
#include "net/framed.h"
#include "support/class_registration_win.h"

namespace {

bool shutdownPrivilegeEnabled() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    LUID luid{};
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &luid);
    PRIVILEGE_SET set{};
    set.PrivilegeCount = 1;
    set.Control = PRIVILEGE_SET_ALL_NECESSARY;
    set.Privilege[0].Luid = luid;
    BOOL enabled = FALSE;
    PrivilegeCheck(token, &set, &enabled);
    CloseHandle(token);
    return enabled != FALSE;
}

void disableShutdownPrivilege() {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = 0;
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
}

// A UDP socket bound to a free loopback port, its reads ending after 2 s; INVALID_SOCKET when
// it cannot be made.
SOCKET loopbackUdpReceiver(uint16_t& port) {
    ensureWinsock();
    SOCKET receiver = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (receiver == INVALID_SOCKET) return receiver;
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    if (bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
        getsockname(receiver, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
        closesocket(receiver);
        return INVALID_SOCKET;
    }
    port = ntohs(at.sin_port);
    DWORD timeout = 2000;
    setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    return receiver;
}

TEST(PowerWin, ShutdownPrivilegeIsEnabledBeforeTheCall) {
    disableShutdownPrivilege();
    ASSERT_FALSE(shutdownPrivilegeEnabled());
    enableShutdownPrivilege();
    EXPECT_TRUE(shutdownPrivilegeEnabled());
}

TEST(PowerWin, RealCallsStandBehindTheSeam) {
    // The process-wide seam starts with the system's calls: each member is set, and those that
    // may run in a test do the system's work (stand-ins that answer without it fail here).
    const HostHooks& real = hostHooks();
    EXPECT_TRUE(real.desktopLocked && real.lockServiceInstalled && real.lockAgentPresent && real.sendLockMessage &&
                real.lockPipeOwnedBySystem && real.restartSystem && real.sleepSystem && real.sendDatagrams &&
                real.unsafeServicePath);

    uint16_t port = 0;
    const SOCKET receiver = loopbackUdpReceiver(port);
    ASSERT_NE(receiver, INVALID_SOCKET);
    EXPECT_EQ(real.sendDatagrams({Datagram{INADDR_LOOPBACK, port, Bytes{7, 8, 9}}}), 1);
    char buffer[16];
    EXPECT_EQ(recv(receiver, buffer, sizeof buffer, 0), 3);
    closesocket(receiver);

    // The install check reads the system's access lists, where Wine lets the user change all.
    const std::wstring exe = resolvedExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(real.unsafeServicePath(exe), exe.substr(0, 3));
    EXPECT_FALSE(real.lockAgentPresent());
    EXPECT_FALSE(real.desktopLocked());

    // These two would restart or sleep the machine: only their wiring can be seen.
    EXPECT_EQ(*real.restartSystem.target<bool (*)(uint32_t&)>(), &systemRestart);
    EXPECT_EQ(*real.sleepSystem.target<bool (*)()>(), &systemSleep);
}

TEST(WakeWin, LocalTargetsHaveTheirShape) {
    const Json targets = localWakeTargets();
    ASSERT_TRUE(targets.isArray());
    const std::regex mac("^([0-9a-f]{2}:){5}[0-9a-f]{2}$");
    for (const Json& t : targets.items) {
        ASSERT_TRUE(t.isObject());
        ASSERT_EQ(t.members.size(), 2u);
        EXPECT_EQ(t.members[0].first, "mac");
        EXPECT_EQ(t.members[1].first, "bcast");
        EXPECT_TRUE(std::regex_match(t.get("mac").asString(), mac)) << t.dump();
        uint32_t bcast = 0;
        ASSERT_TRUE(parseIpv4(t.get("bcast").asString(), bcast)) << t.dump();
        EXPECT_EQ(bcast & 3u, 3u) << t.dump();  // prefixes up to /30 leave at least two host bits set
    }
}

TEST(WakeWin, SenderPutsEveryDatagramOnTheWire) {
    uint16_t port = 0;
    const SOCKET receiver = loopbackUdpReceiver(port);
    ASSERT_NE(receiver, INVALID_SOCKET);

    const Bytes packet = magicPacket({1, 2, 3, 4, 5, 6});
    const std::vector<Datagram> datagrams(3, Datagram{INADDR_LOOPBACK, port, packet});
    EXPECT_EQ(sendDatagramsUdp(datagrams), 3);
    for (int i = 0; i < 3; ++i) {
        uint8_t buffer[256];
        const int n = recv(receiver, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
        ASSERT_EQ(n, 102) << i;
        EXPECT_EQ(Bytes(buffer, buffer + n), packet);
    }
    closesocket(receiver);
}

TEST(DesktopWin, WineNeverShowsTheSecureDesktop) {
    EXPECT_FALSE(inputDesktopLocked());
    EXPECT_EQ(sessionLockState(WTS_CURRENT_SESSION), std::nullopt);  // the extended query fails
}

TEST(MonitorsWin, WineShowsTheXvfbScreenAsOnePrimaryMonitor) {
    const std::vector<MonitorInfo> monitors = listMonitors();
    ASSERT_EQ(monitors.size(), 1u);
    const MonitorInfo& m = monitors[0];
    EXPECT_EQ(m.index, 0u);
    EXPECT_TRUE(m.primary);
    EXPECT_EQ(m.left, 0);
    EXPECT_EQ(m.top, 0);
    EXPECT_EQ(m.right, GetSystemMetrics(SM_CXSCREEN));
    EXPECT_EQ(m.bottom, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_EQ(m.scale, 1.0);  // 96 dpi
    EXPECT_EQ(m.deviceName, L"\\\\.\\DISPLAY1");
}

TEST(MonitorsWin, UnreadableDpiIsScaleOne) { EXPECT_EQ(monitorScale(nullptr), 1.0); }

LRESULT CALLBACK plainProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcW(h, m, w, l); }

TEST(DesktopWin, FocusedEditGivesTheBandAroundItsCaret) {
    // Wine has no UI Automation: the caret of the foreground thread is what remains.
    WNDCLASSW wc{};
    wc.lpfnWndProc = plainProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TavrelCaretTest";
    RegisterClassW(&wc);
    HWND top = CreateWindowExW(WS_EX_TOPMOST, L"TavrelCaretTest", L"caret", WS_POPUP | WS_VISIBLE, 300, 200, 500, 200,
                               nullptr, nullptr, wc.hInstance, nullptr);
    ASSERT_NE(top, nullptr);
    HWND edit = CreateWindowExW(0, L"EDIT", L"hello", WS_CHILD | WS_VISIBLE | WS_BORDER, 20, 30, 300, 28, top, nullptr,
                                wc.hInstance, nullptr);
    SetForegroundWindow(top);
    SetFocus(edit);
    SendMessageW(edit, EM_SETSEL, 5, 5);
    MSG msg;
    for (int i = 0; i < 20; ++i) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        sleepMs(10);
    }

    ScreenRect band;
    ASSERT_TRUE(focusedCaretRect(band));
    RECT field{};
    GetWindowRect(edit, &field);
    EXPECT_EQ(band.right - band.left, 300);
    const int32_t caretX = band.left + 60, caretY = band.top + 6;
    EXPECT_GE(caretX, field.left);
    EXPECT_LT(caretX, field.right);
    EXPECT_GE(caretY, field.top);
    EXPECT_LT(caretY, field.bottom);
    EXPECT_GT(band.bottom - band.top, 12);  // the caret's height and 6 pixels on each side

    ShowWindow(top, SW_HIDE);
    DestroyWindow(top);
    UnregisterClassW(L"TavrelCaretTest", wc.hInstance);
}

// A UI Automation that counts its live objects and never finds a focused element.
class CountedAutomation : public winapi::IUIAutomation {
public:
    static inline std::atomic<int> alive{0};
    CountedAutomation() { ++alive; }

    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != winapi::IID_IUIAutomation) return E_NOINTERFACE;
        *object = static_cast<winapi::IUIAutomation*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) {
            --alive;
            delete this;
        }
        return left;
    }
    STDMETHODIMP CompareElements(winapi::IUIAutomationElement*, winapi::IUIAutomationElement*, BOOL*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP CompareRuntimeIds(SAFEARRAY*, SAFEARRAY*, BOOL*) override { return E_NOTIMPL; }
    STDMETHODIMP GetRootElement(winapi::IUIAutomationElement**) override { return E_NOTIMPL; }
    STDMETHODIMP ElementFromHandle(HWND, winapi::IUIAutomationElement**) override { return E_NOTIMPL; }
    STDMETHODIMP ElementFromPoint(POINT, winapi::IUIAutomationElement**) override { return E_NOTIMPL; }
    STDMETHODIMP GetFocusedElement(winapi::IUIAutomationElement** element) override {
        *element = nullptr;
        return E_FAIL;
    }

private:
    virtual ~CountedAutomation() = default;
    std::atomic<ULONG> refs_{1};
};

TEST(DesktopWin, TheCaptureThreadLetsGoOfItsCaretAutomationBeforeLeavingCom) {
    ClassRegistration registration(winapi::CLSID_CUIAutomation, [](REFIID iid, void** object) {
        auto* made = new CountedAutomation;
        const HRESULT hr = made->QueryInterface(iid, object);
        made->Release();
        return hr;
    });
    ASSERT_EQ(registration.result(), S_OK);
    const std::shared_ptr<SessionSystem> system = systemSessionSystem();
    int madeOnTheThread = 0, leftAtTheEnd = -1;
    // The capture thread's life: into COM, caret reports, out of COM. Nothing may wait for the
    // thread's own exit: its thread_local storage is freed before destructors could run.
    std::thread capture([&] {
        system->captureThreadStarts();
        system->caretRect();
        system->caretRect();
        madeOnTheThread = CountedAutomation::alive.load();
        system->captureThreadEnds();
        leftAtTheEnd = CountedAutomation::alive.load();
    });
    capture.join();
    EXPECT_EQ(madeOnTheThread, 1);
    EXPECT_EQ(leftAtTheEnd, 0);
    EXPECT_EQ(CountedAutomation::alive.load(), 0);
}

}  // namespace
