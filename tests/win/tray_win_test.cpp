// The tray window in this process: its messages, icon, balloons, keep-awake and hosting switch.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/menu.h"
#include "app/tray.h"
#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/util.h"
#include "host/server.h"
#include "net/framed.h"
#include "support/fake_session.h"
#include "support/gui_win.h"
#include "support/log_capture.h"
#include "support/message_box_win.h"
#include "support/relay_support.h"
#include "support/test_relay.h"
#include "support/test_viewer.h"

namespace {

// Every call the tray makes to the notification area, passed on to the real one.
struct NotifyCall {
    DWORD message = 0;
    UINT flags = 0;
    UINT version = 0;
    HICON icon = nullptr;
    std::wstring tip, infoTitle, info;
    DWORD infoFlags = 0;
    BOOL result = FALSE;
};
std::vector<NotifyCall> gCalls;

BOOL WINAPI recordNotify(DWORD message, PNOTIFYICONDATAW data) {
    const BOOL result = Shell_NotifyIconW(message, data);
    gCalls.push_back({message, data->uFlags, data->uVersion, data->hIcon, data->szTip, data->szInfoTitle,
                      data->szInfo, data->dwInfoFlags, result});
    return result;
}

std::vector<NotifyCall> balloons() {
    std::vector<NotifyCall> out;
    for (const NotifyCall& c : gCalls)
        if (c.message == NIM_MODIFY && (c.flags & NIF_INFO)) out.push_back(c);
    return out;
}

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgra;
    bool operator==(const Picture&) const = default;
};

Picture readIcon(HICON icon) {
    Picture p;
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return p;
    BITMAP bitmap{};
    if (info.hbmColor && GetObjectW(info.hbmColor, sizeof bitmap, &bitmap)) {
        BITMAPINFO header{};
        header.bmiHeader.biSize = sizeof header.bmiHeader;
        header.bmiHeader.biWidth = bitmap.bmWidth;
        header.bmiHeader.biHeight = -bitmap.bmHeight;
        header.bmiHeader.biPlanes = 1;
        header.bmiHeader.biBitCount = 32;
        header.bmiHeader.biCompression = BI_RGB;
        std::vector<uint8_t> pixels(size_t(bitmap.bmWidth) * bitmap.bmHeight * 4);
        HDC screen = GetDC(nullptr);
        if (GetDIBits(screen, info.hbmColor, 0, UINT(bitmap.bmHeight), pixels.data(), &header, DIB_RGB_COLORS) ==
            bitmap.bmHeight)
            p = {bitmap.bmWidth, bitmap.bmHeight, std::move(pixels)};
        ReleaseDC(nullptr, screen);
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return p;
}

Picture iconOf(TrayState state, bool light) {
    HICON icon = makeTrayIcon(state, light);
    Picture p = readIcon(icon);
    if (icon) DestroyIcon(icon);
    return p;
}

bool visible(const Picture& p) {
    for (size_t i = 3; i < p.bgra.size(); i += 4)
        if (p.bgra[i]) return true;
    return false;
}

// The execution state this thread holds, read without changing it.
EXECUTION_STATE executionState() {
    const EXECUTION_STATE now = SetThreadExecutionState(ES_CONTINUOUS);
    SetThreadExecutionState(now);
    return now;
}

int freePort() {
    ListenSocket probe;
    return probe.open(0, false) ? probe.port() : 0;
}

HWND visibleBox() {
    for (HWND w : topWindows(L"#32770"))
        if (IsWindowVisible(w)) return w;
    return nullptr;
}

// One tray window and icon for the whole suite: under Wine taking an icon away costs two seconds.
class Tray : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        gCalls.clear();
        tray().notifyIcon = recordNotify;
        createTrayWindow(GetModuleHandleW(nullptr));
        addTrayIcon();
        startCalls_ = new std::vector<NotifyCall>(gCalls);
    }
    static void TearDownTestSuite() {
        TrayProcess& t = tray();
        t.notifyIcon(NIM_DELETE, &t.trayIconData);
        if (t.trayIconData.hIcon) DestroyIcon(t.trayIconData.hIcon);
        DestroyWindow(t.trayWindow);
        t.trayWindow = nullptr;
        t.trayIconData = NOTIFYICONDATAW{};
        t.notifyIcon = Shell_NotifyIconW;
        delete startCalls_;
        startCalls_ = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(tray().trayWindow);
        saved_ = configStore().get();
        configStore().update([](AppConfig& c) {
            c.hosting = false;
            c.stayAwake = true;
            c.stayAwakeACOnly = false;  // the outcome must not hang on the machine's power source
        });
        installServerCallbacks();
        gCalls.clear();
    }
    void TearDown() override {
        HostServer& server = HostServer::instance();
        server.onStateChanged = nullptr;
        server.onConnected = nullptr;
        server.passwords.onLockout = nullptr;
        server.stop();
        TrayProcess& t = tray();
        if (t.keepAwakeActive) SetThreadExecutionState(ES_CONTINUOUS);
        t.keepAwakeActive = false;
        t.lastController.clear();
        pumpMessages();
        configStore().update([this](AppConfig& c) { c = saved_; });
    }

    static std::vector<NotifyCall>* startCalls_;
    AppConfig saved_;
};
std::vector<NotifyCall>* Tray::startCalls_ = nullptr;

TEST_F(Tray, StartsWithAnIconWithoutPictureThatReportsVersionFourEvents) {
    const std::vector<NotifyCall>& calls = *startCalls_;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].message, DWORD(NIM_ADD));
    EXPECT_EQ(calls[0].flags, UINT(NIF_MESSAGE | NIF_TIP));
    EXPECT_EQ(calls[0].tip, L"Tavrel");
    EXPECT_EQ(calls[0].icon, nullptr);
    EXPECT_TRUE(calls[0].result);
    EXPECT_EQ(calls[1].message, DWORD(NIM_SETVERSION));
    EXPECT_EQ(calls[1].version, UINT(NOTIFYICON_VERSION_4));
    const NOTIFYICONDATAW& d = tray().trayIconData;
    EXPECT_EQ(d.cbSize, 976u);
    EXPECT_EQ(d.hWnd, tray().trayWindow);
    EXPECT_EQ(d.uID, 1u);
    EXPECT_EQ(d.uCallbackMessage, UINT(WM_TRAY_NOTIFY));
    EXPECT_EQ(windowClass(tray().trayWindow), L"TavrelTray");
    EXPECT_FALSE(IsWindowVisible(tray().trayWindow));
}

TEST_F(Tray, AClickAKeyOrARightClickOpensTheMenu) {
    struct Case { UINT event; bool opens; };
    const Case cases[] = {{NIN_SELECT, true},      {NIN_KEYSELECT, true},  {WM_CONTEXTMENU, true},
                          {WM_MOUSEMOVE, false},   {WM_LBUTTONUP, false},  {WM_RBUTTONUP, false},
                          {NIN_BALLOONUSERCLICK, false}};
    bool pictured = false;
    for (const Case& c : cases) {
        int menus = 0;
        ModalAction close([&] {
            HWND popup = openPopupMenu();
            if (!popup) return false;
            ++menus;
            EXPECT_FALSE(readMenu(menuOfPopup(popup)).empty());
            if (!pictured) pictured = saveScreenshot(popup);
            EndMenu();
            return true;
        });
        ASSERT_TRUE(PostMessageW(tray().trayWindow, WM_TRAY_NOTIFY, 0, MAKELPARAM(c.event, 1)));
        if (c.opens)
            EXPECT_TRUE(pumpUntil([&] { return close.done(); })) << c.event;
        else
            pumpFor(150);
        EXPECT_EQ(menus, c.opens ? 1 : 0) << c.event;
    }
    EXPECT_TRUE(pictured);
}

TEST_F(Tray, ACallFromAnotherThreadRunsOnceOnTheUiThreadAndIsFreed) {
    auto token = std::make_shared<int>(0);
    const std::weak_ptr<int> watch = token;
    int runs = 0;
    DWORD ranOn = 0;
    bool posted = false;
    std::thread([&, token] { posted = postTrayCall([&runs, &ranOn, token] { ++runs, ranOn = GetCurrentThreadId(); }); })
        .join();
    token.reset();
    EXPECT_TRUE(posted);
    EXPECT_TRUE(pumpUntil([&] { return runs == 1; }));
    pumpFor(50);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(ranOn, GetCurrentThreadId());
    EXPECT_TRUE(watch.expired());
}

TEST_F(Tray, ACallThatCannotBePostedIsFreedAndNeverRuns) {
    HWND gone = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    DestroyWindow(gone);
    TrayProcess& t = tray();
    const HWND real = t.trayWindow;
    for (HWND target : {gone, HWND(nullptr)}) {  // a window that is gone, and none yet
        t.trayWindow = target;
        auto token = std::make_shared<int>(0);
        const std::weak_ptr<int> watch = token;
        bool ran = false;
        EXPECT_FALSE(postTrayCall([&ran, token] { ran = true; }));
        token.reset();
        EXPECT_TRUE(watch.expired());
        t.trayWindow = real;
        pumpFor(50);  // nor did it land in this thread's own queue
        EXPECT_FALSE(ran);
    }
}

// Any program on the desktop can post the tray window its private messages (the icon's events
// aside, which only open the menu). What one carries is never run nor freed, and the calls of the
// program's own threads still run once each, in the order they were handed over.
TEST_F(Tray, PrivateMessagesFromAnyoneRunNothingAndCallsKeepTheirOrder) {
    constexpr int kCalls = 40;
    const HWND window = tray().trayWindow;
    int forgedRuns = 0;
    std::vector<std::unique_ptr<std::function<void()>>> forged;
    for (int i = 0; i < kCalls * 2; ++i)
        forged.push_back(std::make_unique<std::function<void()>>([&forgedRuns] { ++forgedRuns; }));
    std::vector<int> order;
    std::thread([&] {
        for (int i = 0; i < kCalls; ++i) {
            EXPECT_TRUE(postTrayCall([&order, i] { order.push_back(i); }));
            PostMessageW(window, WM_TRAY_CALL, 0, reinterpret_cast<LPARAM>(forged[size_t(i) * 2].get()));
            PostMessageW(window, WM_TRAY_REDRAW, 0, reinterpret_cast<LPARAM>(forged[size_t(i) * 2 + 1].get()));
        }
    }).join();
    ASSERT_TRUE(pumpUntil([&] { return int(order.size()) >= kCalls || forgedRuns > 0; }));
    pumpFor(50);
    if (forgedRuns > 0) {
        for (auto& f : forged) f.release();  // the window freed them
    }
    ASSERT_EQ(forgedRuns, 0);
    std::vector<int> expected;
    for (int i = 0; i < kCalls; ++i) expected.push_back(i);
    EXPECT_EQ(order, expected);

    // Values that point nowhere run nothing either, and the next real call still runs.
    for (UINT n = 0; n < 128; ++n)
        if (WM_APP + n != WM_TRAY_NOTIFY) PostMessageW(window, WM_APP + n, WPARAM(-1), LPARAM(0x10));
    bool ran = false;
    EXPECT_TRUE(postTrayCall([&ran] { ran = true; }));
    EXPECT_TRUE(pumpUntil([&] { return ran; }));
    EXPECT_EQ(order.size(), size_t(kCalls));
}

TEST_F(Tray, AfterTheTaskbarCameBackTheIconIsAddedAgainWithItsPicture) {
    updateTrayIcon();
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &tray().trayIconData));  // gone with the old taskbar
    gCalls.clear();
    EXPECT_EQ(SendMessageW(tray().trayWindow, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0), 0);
    ASSERT_EQ(gCalls.size(), 3u);
    EXPECT_EQ(gCalls[0].message, DWORD(NIM_ADD));
    EXPECT_TRUE(gCalls[0].result);
    EXPECT_EQ(gCalls[1].message, DWORD(NIM_SETVERSION));
    EXPECT_EQ(gCalls[1].version, UINT(NOTIFYICON_VERSION_4));
    EXPECT_TRUE(gCalls[1].result);
    EXPECT_EQ(gCalls[2].message, DWORD(NIM_MODIFY));
    EXPECT_EQ(gCalls[2].flags, UINT(NIF_ICON | NIF_MESSAGE | NIF_TIP));
    EXPECT_NE(gCalls[2].icon, nullptr);
    EXPECT_EQ(gCalls[2].tip, L"Tavrel");
    EXPECT_TRUE(gCalls[2].result);  // the shell knows the icon again
}

TEST_F(Tray, PowerBroadcastsAreAnsweredTrueAndResumeReconnects) {
    // Keep-awake is wanted once hosting is on; only resume and a power source change look again.
    configStore().update([](AppConfig& c) { c.hosting = true; });
    struct Case { WPARAM event; bool resumed; bool active; };
    const Case cases[] = {
        {PBT_APMSUSPEND, false, false},
        {PBT_APMPOWERSTATUSCHANGE, false, true},
        {PBT_APMRESUMESUSPEND, true, true},
        {PBT_APMRESUMEAUTOMATIC, true, false},  // hosting switched off meanwhile
    };
    for (const Case& c : cases) {
        if (c.event == PBT_APMRESUMEAUTOMATIC) configStore().update([](AppConfig& config) { config.hosting = false; });
        LogCapture log;
        EXPECT_EQ(SendMessageW(tray().trayWindow, WM_POWERBROADCAST, c.event, 0), TRUE) << c.event;
        EXPECT_EQ(log.count("깨어남 → 중계 서버에 다시 붙음"), c.resumed ? 1 : 0) << c.event;
        EXPECT_EQ(tray().keepAwakeActive, c.active) << c.event;
    }
}

TEST_F(Tray, EachStateHasAVisibleIconOfItsOwnInBothThemes) {
    const int size = GetSystemMetrics(SM_CXSMICON);
    const TrayState states[] = {TrayState::Idle, TrayState::Hosting, TrayState::Controlled};
    const int scale = 8, cell = size * scale;
    std::vector<uint8_t> sheet(size_t(cell) * 3 * cell * 2 * 4, 0x80);  // grey behind the icons
    std::vector<Picture> dark;
    for (int theme = 0; theme < 2; ++theme) {
        for (int s = 0; s < 3; ++s) {
            const Picture p = iconOf(states[s], theme == 1);
            ASSERT_EQ(p.width, size);
            ASSERT_EQ(p.height, size);
            EXPECT_TRUE(visible(p)) << s << " " << theme;
            for (size_t i = 0; i < p.bgra.size(); i += 4) {
                const uint8_t colour = theme == 1 ? 0 : p.bgra[i + 3];  // premultiplied white or black
                ASSERT_EQ(p.bgra[i], colour);
                ASSERT_EQ(p.bgra[i + 1], colour);
                ASSERT_EQ(p.bgra[i + 2], colour);
            }
            if (theme == 0) dark.push_back(p);
            for (int y = 0; y < cell; ++y)
                for (int x = 0; x < cell; ++x) {
                    const uint8_t* from = &p.bgra[(size_t(y / scale) * size + x / scale) * 4];
                    uint8_t* to = &sheet[((size_t(theme) * cell + y) * cell * 3 + size_t(s) * cell + x) * 4];
                    for (int k = 0; k < 3; ++k) to[k] = uint8_t(from[k] + (255 - from[3]) * 0x80 / 255);
                    to[3] = 255;
                }
        }
    }
    EXPECT_NE(dark[0], dark[1]);
    EXPECT_NE(dark[1], dark[2]);
    EXPECT_NE(dark[0], dark[2]);
    EXPECT_TRUE(savePicture(sheet.data(), cell * 3, cell * 2));
}

TEST_F(Tray, TheIconAndTipFollowTheHostingSwitch) {
    struct Case { bool hosting; TrayState state; const wchar_t* tip; };
    const Case cases[] = {{false, TrayState::Idle, L"Tavrel"},
                          {true, TrayState::Hosting, L"Tavrel \u2014 원격 제어 허용 중"},
                          {false, TrayState::Idle, L"Tavrel"}};
    for (const Case& c : cases) {
        configStore().update([&](AppConfig& config) { config.hosting = c.hosting; });
        const HICON before = tray().trayIconData.hIcon;
        gCalls.clear();
        // The server reports a change from one of its threads.
        std::thread([] { HostServer::instance().onStateChanged(); }).join();
        ASSERT_TRUE(pumpUntil([] { return !gCalls.empty(); }));
        const NotifyCall& call = gCalls.back();
        EXPECT_EQ(call.message, DWORD(NIM_MODIFY));
        EXPECT_EQ(call.flags, UINT(NIF_ICON | NIF_MESSAGE | NIF_TIP));
        EXPECT_EQ(call.tip, c.tip);
        EXPECT_EQ(readIcon(call.icon), iconOf(c.state, false));
        ICONINFO info{};
        if (before) {
            EXPECT_FALSE(GetIconInfo(before, &info)) << "the previous icon is destroyed";
        }
    }
}

TEST_F(Tray, ALightTaskbarTurnsTheGlyphBlackAtTheNextSettingsChange) {
    const wchar_t* key = L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
    DWORD saved = 0, size = sizeof saved;
    const bool hadValue =
        RegGetValueW(HKEY_CURRENT_USER, key, L"SystemUsesLightTheme", RRF_RT_REG_DWORD, nullptr, &saved, &size) ==
        ERROR_SUCCESS;
    for (DWORD light : {DWORD(1), DWORD(0)}) {
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key, L"SystemUsesLightTheme", REG_DWORD, &light, sizeof light),
                  ERROR_SUCCESS);
        EXPECT_EQ(SendMessageW(tray().trayWindow, WM_WININICHANGE, 0, 0), 0);
        EXPECT_EQ(readIcon(tray().trayIconData.hIcon), iconOf(TrayState::Idle, light != 0)) << light;
    }
    if (hadValue)
        RegSetKeyValueW(HKEY_CURRENT_USER, key, L"SystemUsesLightTheme", REG_DWORD, &saved, sizeof saved);
    else
        RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"SystemUsesLightTheme");
}

TEST_F(Tray, ServerNoticesBecomeBalloonsOnTheUiThread) {
    LogCapture log;
    std::thread([] {
        HostServer& server = HostServer::instance();
        server.onConnected("맥북", "직접(구멍 뚫기)");
        server.passwords.onLockout(5, nowSeconds() + 60);
    }).join();
    EXPECT_EQ(log.count("비밀번호 5번 틀림 → 비밀번호 접속 잠금"), 1);  // on the server's thread
    EXPECT_TRUE(balloons().empty());
    ASSERT_TRUE(pumpUntil([] { return balloons().size() == 2; }));
    const std::vector<NotifyCall> shown = balloons();
    EXPECT_EQ(shown[0].infoTitle, L"Tavrel");
    EXPECT_EQ(shown[0].info, L"맥북 이(가) 이 PC 에 연결했습니다 (직접(구멍 뚫기))");
    EXPECT_EQ(shown[1].infoTitle, L"비밀번호 접속 잠김");
    EXPECT_EQ(shown[1].info, L"비밀번호가 5번 틀렸습니다. 잠시 비밀번호 접속을 받지 않습니다.");
    for (const NotifyCall& b : shown) {
        EXPECT_EQ(b.flags, UINT(NIF_INFO));  // the icon and tip stay as they are
        EXPECT_EQ(b.infoFlags, DWORD(NIIF_INFO));
    }
}

TEST_F(Tray, BalloonTextsAreCutWithoutHalfACharacter) {
    const std::wstring emoji = L"\U0001F600";
    showBalloon(std::wstring(62, L'제') + emoji, std::wstring(253, L'a') + emoji + L"b");
    const NOTIFYICONDATAW& d = tray().trayIconData;
    EXPECT_EQ(std::wstring(d.szInfoTitle), std::wstring(62, L'제'));
    EXPECT_EQ(std::wstring(d.szInfo), std::wstring(253, L'a') + emoji);
}

TEST_F(Tray, KeepAwakeIsTakenOnceWhileHostingAndGivenBack) {
    LogCapture log;
    configStore().update([](AppConfig& c) { c.hosting = true; });
    updateStayAwake();
    updateStayAwake();
    EXPECT_TRUE(tray().keepAwakeActive);
    EXPECT_EQ(executionState() & (ES_CONTINUOUS | ES_SYSTEM_REQUIRED), DWORD(ES_CONTINUOUS | ES_SYSTEM_REQUIRED));
    EXPECT_EQ(executionState() & ES_DISPLAY_REQUIRED, 0u);  // the system, not the display
    EXPECT_EQ(log.count("잠자기 막기 켬"), 1);
    configStore().update([](AppConfig& c) { c.hosting = false; });
    updateStayAwake();
    updateStayAwake();
    EXPECT_FALSE(tray().keepAwakeActive);
    EXPECT_EQ(executionState() & ES_SYSTEM_REQUIRED, 0u);
    EXPECT_EQ(log.count("잠자기 막기 끔"), 1);
}

TEST_F(Tray, HostingOnStartsTheServerAndOffDiscardsThePairingCode) {
    HostServer& server = HostServer::instance();
    for (bool notify : {true, false}) {
        const int port = freePort();
        ASSERT_NE(port, 0);
        configStore().update([&](AppConfig& c) { c.port = port; });
        gCalls.clear();
        setHosting(true, notify);
        EXPECT_TRUE(configStore().get().hosting);
        EXPECT_TRUE(server.running());
        EXPECT_EQ(server.port(), port);
        EXPECT_TRUE(tray().keepAwakeActive);
        EXPECT_EQ(std::wstring(tray().trayIconData.szTip), L"Tavrel \u2014 원격 제어 허용 중");
        const std::vector<NotifyCall> shown = balloons();
        ASSERT_EQ(shown.size(), notify ? 1u : 0u);
        if (notify) {
            EXPECT_EQ(shown[0].infoTitle, L"원격 제어 허용 켬");
            EXPECT_EQ(shown[0].info, L"Windows 방화벽 창이 뜨면 '허용'을 누르세요. 같은 망의 다른 컴퓨터가 이 PC 에 "
                                     L"연결하려면 필요합니다.");
        }

        const Bytes code = server.pairing.renew(600);
        setHosting(false, false);
        EXPECT_FALSE(configStore().get().hosting);
        EXPECT_FALSE(server.running());
        EXPECT_FALSE(server.pairing.check(code));
        EXPECT_FALSE(tray().keepAwakeActive);
        EXPECT_EQ(std::wstring(tray().trayIconData.szTip), L"Tavrel");
    }
}

TEST_F(Tray, APortInUseTurnsHostingBackOffAndSaysWhy) {
    ListenSocket held;
    ASSERT_TRUE(held.open(0, false));
    configStore().update([&](AppConfig& c) { c.port = held.port(); });
    std::wstring message, caption;
    ModalAction answer([&] {
        HWND box = visibleBox();
        if (!box) return false;
        message = dialogMessage(box);
        caption = windowText(box);
        EXPECT_TRUE(saveScreenshot(box));
        return pressButton(box, IDOK);
    });
    LogCapture log;
    setHosting(true, true);
    EXPECT_TRUE(answer.done());
    EXPECT_EQ(message, L"포트 " + std::to_wstring(held.port()) + L" 을(를) 다른 프로그램이 쓰고 있을 수 있습니다.");
    EXPECT_EQ(caption, L"원격 제어를 켤 수 없습니다");
    EXPECT_FALSE(configStore().get().hosting);
    EXPECT_FALSE(HostServer::instance().running());
    EXPECT_FALSE(tray().keepAwakeActive);
    EXPECT_TRUE(balloons().empty());
    EXPECT_EQ(log.count("대기 실패: 포트 " + std::to_string(held.port())), 1);
}

// Viewers admitted by the process-wide server as paired devices, with sessions that only answer
// pings.
class TrayWithViewers : public Tray {
protected:
    void SetUp() override {
        Tray::SetUp();
        HostServer& server = HostServer::instance();
        savedFactory_ = server.makeSession;
        server.makeSession = sessions_.factory();
        const int port = freePort();
        ASSERT_NE(port, 0);
        configStore().update([&](AppConfig& c) {
            c.port = port;
            c.notifyConnect = false;  // only the controller's balloon here
        });
        setHosting(true, false);
        ASSERT_TRUE(server.running());
    }
    void TearDown() override {
        for (auto& v : viewers_) v->hangUp();
        setHosting(false, false);
        HostServer::instance().makeSession = savedFactory_;
        Tray::TearDown();
        EXPECT_TRUE(waitUntil([] { return FakeSession::threadsRunning() == 0; }, 5000));
    }

    // A new device of that name, allowed and connected until the test ends.
    TestViewer& connect(const std::string& name) {
        viewers_.push_back(std::make_unique<TestViewer>(name));
        TestViewer& v = *viewers_.back();
        configStore().update([&](AppConfig& c) { c.allowed.push_back(v.asPeer()); });
        HostServer& server = HostServer::instance();
        EXPECT_TRUE(v.dial(server.port()));
        EXPECT_EQ(v.tryPaired(server.deviceKey().publicKey), "");
        EXPECT_TRUE(v.sendRequest(TestViewer::request()));
        EXPECT_TRUE(v.ping());
        return v;
    }

    // Pumps until the icon shows this state.
    static bool shows(const std::wstring& tip) {
        return pumpUntil([&] { return std::wstring(tray().trayIconData.szTip) == tip; });
    }

    std::vector<std::wstring> controllerBalloons() const {
        std::vector<std::wstring> texts;
        for (const NotifyCall& b : balloons())
            if (b.infoTitle == L"원격 제어 중") texts.push_back(b.info);
        return texts;
    }

    FakeSessions sessions_;
    SessionFactory savedFactory_;
    std::vector<std::unique_ptr<TestViewer>> viewers_;
};

TEST_F(TrayWithViewers, TheControllerIsAnnouncedOnceWhileShownAndAgainAfterItLeft) {
    const std::wstring macbook = L"맥북 이(가) 이 PC 를 제어하고 있습니다. 메뉴에서 바로 끊을 수 있습니다.";
    const std::wstring imac = L"아이맥 이(가) 이 PC 를 제어하고 있습니다. 메뉴에서 바로 끊을 수 있습니다.";
    gCalls.clear();
    TestViewer& first = connect("맥북");
    ASSERT_TRUE(shows(L"Tavrel \u2014 맥북 이(가) 이 PC 를 제어 중"));
    EXPECT_EQ(readIcon(tray().trayIconData.hIcon), iconOf(TrayState::Controlled, false));
    EXPECT_EQ(controllerBalloons(), std::vector<std::wstring>{macbook});
    // The balloon goes out before the new icon.
    size_t balloonAt = 0, iconAt = 0;
    for (size_t i = 0; i < gCalls.size(); ++i) {
        if (gCalls[i].infoTitle == L"원격 제어 중" && !balloonAt) balloonAt = i + 1;
        if (gCalls[i].tip == L"Tavrel \u2014 맥북 이(가) 이 PC 를 제어 중" && !iconAt) iconAt = i + 1;
    }
    EXPECT_LT(balloonAt, iconAt);

    // Another device of the same name takes over while the first is still shown: nothing new.
    connect("맥북");
    pumpFor(200);
    EXPECT_EQ(controllerBalloons().size(), 1u);
    first.hangUp();

    // One of another name does get announced.
    TestViewer& third = connect("아이맥");
    ASSERT_TRUE(shows(L"Tavrel \u2014 아이맥 이(가) 이 PC 를 제어 중"));
    EXPECT_EQ(controllerBalloons(), (std::vector<std::wstring>{macbook, imac}));

    // Once drawn without a session, the same name is news again.
    third.hangUp();
    ASSERT_TRUE(shows(L"Tavrel \u2014 원격 제어 허용 중"));
    EXPECT_TRUE(tray().lastController.empty());
    connect("아이맥");
    ASSERT_TRUE(shows(L"Tavrel \u2014 아이맥 이(가) 이 PC 를 제어 중"));
    EXPECT_EQ(controllerBalloons(), (std::vector<std::wstring>{macbook, imac, imac}));
}

TEST_F(TrayWithViewers, RemovingTheConnectedAllowedDeviceEndsItsSessionAtOnce) {
    connect("폰");
    connect("맥북");
    ASSERT_TRUE(shows(L"Tavrel \u2014 맥북 이(가) 이 PC 를 제어 중"));
    const std::shared_ptr<FakeSession> phone = sessions_.named("폰");
    const std::shared_ptr<FakeSession> macbook = sessions_.named("맥북");
    ASSERT_TRUE(phone && macbook);
    // The menu offers the controller's session.
    std::vector<MenuEntry> shown;
    ModalAction read([&] {
        HWND popup = openPopupMenu();
        if (!popup) return false;
        shown = readMenu(menuOfPopup(popup));
        EndMenu();
        return true;
    });
    ASSERT_TRUE(PostMessageW(tray().trayWindow, WM_TRAY_NOTIFY, 0, MAKELPARAM(NIN_SELECT, 1)));
    ASSERT_TRUE(pumpUntil([&] { return read.done(); }));
    ASSERT_GE(shown.size(), 5u);
    EXPECT_EQ(shown[1].text.rfind(L"맥북 이(가) 제어 중", 0), 0u);
    EXPECT_EQ(shown[3].text, L"연결 끊기");
    EXPECT_EQ(shown[4].text, L"맥북 에 메시지 보내기…");

    // Removing a device that is not the current session's leaves that session alone.
    MessageBoxAnswer first(L"지울까요?", IDOK);
    removePeer(true, 0);
    EXPECT_TRUE(first.wait());
    EXPECT_EQ(first.text(), L"'폰' 이(가) 더 이상 이 PC 를 제어할 수 없게 됩니다.");
    EXPECT_FALSE(macbook->isClosed());
    MessageBoxAnswer second(L"지울까요?", IDOK);
    removePeer(true, 0);
    EXPECT_TRUE(second.wait());
    EXPECT_TRUE(macbook->isClosed());
    EXPECT_TRUE(configStore().get().allowed.empty());
}

TEST_F(Tray, ResumeReconnectsBothRelayAgents) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    HostServer& server = HostServer::instance();
    const RelayAgentTiming savedTiming = server.timing.agent;
    server.timing.agent = fastAgentTiming();
    const std::wstring passwordFile = configStore().profileDir + L"\\password.bin";
    ASSERT_TRUE(savePassword("비밀번호 12345678"));
    configStore().update([&](AppConfig& c) {
        c.relay = relay.config();
        c.passwordLogin = true;
        c.port = freePort();
    });
    setHosting(true, false);
    const std::string ids[] = {server.deviceId(), server.accessId()};
    for (const std::string& id : ids) EXPECT_TRUE(relay.waitFor([&] { return relay.online(id); }, 5000)) << id;

    LogCapture log;
    EXPECT_EQ(SendMessageW(tray().trayWindow, WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC, 0), TRUE);
    EXPECT_EQ(log.count("깨어남 → 중계 서버에 다시 붙음"), 1);
    for (const std::string& id : ids)
        EXPECT_TRUE(relay.waitFor([&] { return relay.registrations(id) == 2 && relay.online(id); }, 5000)) << id;

    setHosting(false, false);
    server.timing.agent = savedTiming;
    removeFile(passwordFile);
}

// The login Run values of this throw-away prefix's user.
class RunValues {
public:
    static constexpr const wchar_t* kKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    RunValues() { clear(); }
    ~RunValues() { clear(); }
    static void clear() {
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"Tavrel");
        RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, L"Varnoth");
    }
    static void setString(const wchar_t* name, const std::wstring& value) {
        RegSetKeyValueW(HKEY_CURRENT_USER, kKey, name, REG_SZ, value.c_str(), DWORD((value.size() + 1) * 2));
    }
    // The value as text, "<none>" when missing, "<not text>" for another type.
    static std::wstring read(const wchar_t* name) {
        DWORD type = 0, size = 0;
        if (RegGetValueW(HKEY_CURRENT_USER, kKey, name, RRF_RT_ANY, &type, nullptr, &size) != ERROR_SUCCESS)
            return L"<none>";
        if (type != REG_SZ) return L"<not text>";
        std::wstring value(size / 2, L'\0');
        RegGetValueW(HKEY_CURRENT_USER, kKey, name, RRF_RT_REG_SZ, nullptr, value.data(), &size);
        value.resize(wcslen(value.c_str()));
        return value;
    }
};

TEST(TrayRunValue, TheFormerNameMovesOnlyWithoutAProfile) {
    const std::wstring exe = L"C:\\Program Files\\Tavrel\\tavrel.exe";
    const std::wstring quoted = L"\"" + exe + L"\"";
    const std::wstring tooLong(600, L'x');  // 1202 bytes with the terminator: over the 1040-byte buffer
    struct Case {
        const char* what;
        std::wstring suffix;
        int oldKind;  // 0 none, 1 text, 2 a number, 3 text too long
        bool moved;
        std::wstring tavrel, varnoth;
    };
    const Case cases[] = {
        {"old text value", L"", 1, true, quoted, L"<none>"},
        {"with a profile", L"-work", 1, false, L"<none>", L"\"C:\\old\\varnoth.exe\" --x"},
        {"no old value", L"", 0, false, L"<none>", L"<none>"},
        {"old value not text", L"", 2, false, L"<none>", L"<not text>"},
        {"old value too long", L"", 3, false, L"<none>", tooLong},
    };
    for (const Case& c : cases) {
        RunValues values;
        if (c.oldKind == 1) RunValues::setString(L"Varnoth", L"\"C:\\old\\varnoth.exe\" --x");
        if (c.oldKind == 3) RunValues::setString(L"Varnoth", tooLong);
        if (c.oldKind == 2) {
            const DWORD number = 1;
            RegSetKeyValueW(HKEY_CURRENT_USER, RunValues::kKey, L"Varnoth", REG_DWORD, &number, sizeof number);
        }
        LogCapture log;
        EXPECT_EQ(migrateRunValue(c.suffix, exe), c.moved) << c.what;
        EXPECT_EQ(RunValues::read(L"Tavrel"), c.tavrel) << c.what;
        EXPECT_EQ(RunValues::read(L"Varnoth"), c.varnoth) << c.what;
        EXPECT_EQ(log.count("로그인할 때 열기를 새 이름(Tavrel)으로 옮김"), c.moved ? 1 : 0) << c.what;
    }
}

}  // namespace
