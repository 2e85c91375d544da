// The viewer window's input, menu bar, full screen, sizing, title and dialogs under Wine, against
// a scripted host: what the host receives is compared byte for byte.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/store.h"
#include "core/text.h"
#include "core/util.h"
#include "host/chat.h"
#include "host/protocol/keymap.h"
#include "host/protocol/messages.h"
#include "support/gui_win.h"
#include "support/log_capture.h"
#include "support/scripted_host.h"
#include "support/viewer_fixture_win.h"
#include "support/viewer_menu_entries_win.h"
#include "support/xdotool.h"
#include "viewer/host_info.h"
#include "viewer/menu_model.h"
#include "viewer/window.h"

namespace {

// A picture small enough to be shown at its own size on Wine's 1920x1080 screen.
constexpr int kPictureWidth = 640;
constexpr int kPictureHeight = 400;

std::string description(const std::string& extra = std::string()) {
    return R"({"name":"입력 호스트","os":"windows","current":0,"width":640,"height":400,)"
           R"("displays":[{"main":true,"widthPt":640,"heightPt":400}],)"
           R"("features":["combo","files","apps","audio","quality","curtain","chat","browse","unlock","power"])" +
           extra + "}";
}

std::string hexOf(const Bytes& bytes) { return hexEncode(bytes); }

Bytes textBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string flagsHex(uint64_t flags) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(flags));
    return text;
}

std::vector<std::string> hexes(const std::vector<Bytes>& payloads) {
    std::vector<std::string> out;
    for (const Bytes& p : payloads) out.push_back(hexOf(p));
    return out;
}

RECT clientOf(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return r;
}

RECT windowRect(HWND window) {
    RECT r{};
    GetWindowRect(window, &r);
    return r;
}

bool sameRect(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

MONITORINFO monitorOf(HWND window) {
    MONITORINFO m{};
    m.cbSize = sizeof m;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &m);
    return m;
}

LPARAM at(int x, int y) { return MAKELPARAM(x, y); }

// Pumps this thread, where the window runs, until the host has `count` messages of the type.
bool arrived(ScriptedHost& host, MsgType type, size_t count = 1) {
    return pumpUntil([&] { return host.received(type).size() >= count; }, 5000);
}

class ViewerInputWin : public ViewerWindowTest {
protected:
    // A viewer connected to the host, which has described itself.
    ViewerWindow& connected(ScriptedHost& host, const std::string& info = description()) {
        openViewer(host.peer(), Bytes(), std::string());
        ViewerWindow& w = *openViewers().back();
        EXPECT_TRUE(pumpUntil([&] { return w.connected; }, 10000));
        EXPECT_TRUE(host.send(MsgType::DisplayInfo, info));
        EXPECT_TRUE(pumpUntil([&] { return w.displayInfo.isObject(); }, 5000));
        pumpFor(400);  // the layout and the view-size report settle
        return w;
    }

};

TEST_F(ViewerInputWin, MenuBarEqualsItsModel) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(
        host, R"({"name":"메뉴 호스트","os":"windows","current":1,"width":1280,"height":1024,"displays":[)"
              R"({"main":true,"widthPt":1920,"heightPt":1080},{"widthPt":1280,"heightPt":1024},{"widthPt":800,"heightPt":600}],)"
              R"("features":["combo","files","apps","curtain"]})");
    // The first description asks a host with programs for its list.
    ASSERT_TRUE(arrived(host, MsgType::ListApps));
    ASSERT_TRUE(host.send(MsgType::AppList,
                          R"({"windows":[{"id":7,"title":"메모장","app":"Notepad"}],"apps":[{"id":"calc","name":"계산기"}]})"));
    ASSERT_TRUE(pumpUntil([&] { return w.appList.isObject(); }, 5000));
    pumpFor(100);

    const std::vector<MenuEntry> shown = readMenu(GetMenu(w.hwnd));
    const std::vector<ViewerMenuItem> model = viewerMenuBar(configStore().get(), w.displayInfo, w.appList, w.menuFacts());
    EXPECT_EQ(shown, menuEntries(model));
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[0].text, L"화면 2/3");
    EXPECT_TRUE(shown[0].popup[1].checked);
    EXPECT_EQ(shown[3].popup[1].text, L"메모장 — Notepad");
    saveScreenshot(w.hwnd);

    // Opening a menu asks for a fresh program list; the popup as the person sees it.
    const size_t asked = host.received(MsgType::ListApps).size();
    RECT frame = windowRect(w.hwnd);
    bool pictured = false;
    ModalAction look([&] {
        HWND popup = openPopupMenu();
        if (!popup) return false;
        pumpFor(100);
        RECT area = frame;
        area.right = area.left + 700;
        area.bottom = area.top + 400;
        pictured = saveScreenshot(area, "ViewerInputWin.MenuBarEqualsItsModel.screen_popup");
        EndMenu();
        return true;
    });
    TrackPopupMenu(GetSubMenu(GetMenu(w.hwnd), 0), TPM_LEFTALIGN | TPM_TOPALIGN, frame.left + 10, frame.top + 40, 0,
                   w.hwnd, nullptr);
    EXPECT_TRUE(look.done());
    EXPECT_TRUE(pictured);
    ASSERT_TRUE(arrived(host, MsgType::ListApps, asked + 1));
    EXPECT_FALSE(w.menuOpen);

    // A command of the bar: display 3 is asked for by its index.
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Display + 2 * ViewerId::kListStep, 0);
    ASSERT_TRUE(arrived(host, MsgType::SelectDisplay));
    EXPECT_EQ(hexes(host.received(MsgType::SelectDisplay)), std::vector<std::string>{"02"});
    // Ctrl+Alt+Win+Right's command from display 2 of 3 selects the last; the menu's "previous"
    // from there the first.
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::NextDisplay, 0);
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::PreviousDisplay, 0);
    ASSERT_TRUE(arrived(host, MsgType::SelectDisplay, 3));
    EXPECT_EQ(hexes(host.received(MsgType::SelectDisplay)), (std::vector<std::string>{"02", "02", "00"}));
}

TEST_F(ViewerInputWin, ADescriptionSizesTheWindowAsModelledOnlyWhenThePictureChanges) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    const MONITORINFO monitor = monitorOf(w.hwnd);
    const RECT& work = monitor.rcWork;
    const int workWidth = work.right - work.left, workHeight = work.bottom - work.top;
    auto expectSizedFor = [&](double width, double height) {
        const PixelSize client = viewerClientSize(width, height, workWidth, workHeight, GetDpiForWindow(w.hwnd));
        const RECT c = clientOf(w.hwnd);
        EXPECT_EQ(c.right, client.width);
        EXPECT_EQ(c.bottom, client.height);
        const RECT r = windowRect(w.hwnd);
        const PixelPoint centre =
            centredIn(work.left, work.top, workWidth, workHeight, r.right - r.left, r.bottom - r.top);
        EXPECT_EQ(r.left, centre.x);
        EXPECT_EQ(r.top, centre.y);
    };
    expectSizedFor(kPictureWidth, kPictureHeight);
    EXPECT_EQ(w.titleName, "입력 호스트");

    // The same picture again: the size the person chose stays.
    SetWindowPos(w.hwnd, nullptr, 10, 10, 900, 700, SWP_NOZORDER);
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, description(R"(,"name":"새 이름")")));
    ASSERT_TRUE(pumpUntil([&] { return w.titleName == "새 이름"; }, 5000));
    pumpFor(100);
    EXPECT_EQ(windowRect(w.hwnd).left, 10);
    EXPECT_EQ(windowRect(w.hwnd).right - windowRect(w.hwnd).left, 900);

    // A window of the host instead of the display: sized and centred for it.
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, description(R"(,"window":{"id":7,"widthPt":500,"heightPt":300})")));
    ASSERT_TRUE(pumpUntil([&] { return w.shownWindowId == 7; }, 5000));
    pumpFor(100);
    expectSizedFor(500, 300);
    saveScreenshot(w.hwnd);

    // A picture larger than the screen: 90 % of the work area at most.
    ASSERT_TRUE(host.send(MsgType::DisplayInfo,
                          R"({"current":0,"displays":[{"widthPt":3840,"heightPt":2160}],"width":3840,"height":2160})"));
    ASSERT_TRUE(pumpUntil([&] { return w.shownWindowId == 0; }, 5000));
    pumpFor(100);
    expectSizedFor(3840, 2160);
    EXPECT_LE(clientOf(w.hwnd).right, workWidth * 9 / 10);
}

TEST_F(ViewerInputWin, WakeDataIsStoredWithTheKeyAndAnAppsOnlyHostAsksForAProgram) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    Peer other;
    other.name = "다른 컴퓨터";
    other.key = "T3RoZXI=";
    configStore().update([&](AppConfig& c) { c.hosts = {host.peer(), other, host.peer()}; });
    ViewerWindow& w = connected(
        host, R"({"name":"맥","os":"mac","appsOnly":true,"features":["apps"],"wake":[{"mac":"aa:bb:cc:dd:ee:ff"}]})");
    AppConfig config = configStore().get();
    ASSERT_EQ(config.hosts.size(), 3u);
    EXPECT_EQ(config.hosts[0].wake.dump(), R"([{"mac":"aa:bb:cc:dd:ee:ff"}])");
    EXPECT_EQ(config.hosts[2].wake.dump(), R"([{"mac":"aa:bb:cc:dd:ee:ff"}])");
    EXPECT_TRUE(config.hosts[1].wake.isNull());
    EXPECT_EQ(w.peer.wake.dump(), R"([{"mac":"aa:bb:cc:dd:ee:ff"}])");
    // Nothing shown yet: the status line asks for a program, over the picture.
    EXPECT_TRUE(w.appPickHint);
    EXPECT_TRUE(IsWindowVisible(w.statusLine));
    EXPECT_EQ(windowText(w.statusLine), reinterpret_cast<const wchar_t*>(kAppPickHint));
    saveScreenshot(w.hwnd);

    // The host repeats its description with the same wake data: the settings are not saved
    // again, which the settings file, gone meanwhile, shows.
    const std::wstring file = configStore().configPath;
    ASSERT_TRUE(removeFile(file));
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, R"({"name":"맥 그대로","os":"mac","appsOnly":true,"features":["apps"],)"
                                                R"("wake":[{"mac":"aa:bb:cc:dd:ee:ff"}]})"));
    ASSERT_TRUE(pumpUntil([&] { return w.titleName == "맥 그대로"; }, 5000));
    EXPECT_FALSE(pathExists(file)) << "saved although nothing changed";
    ASSERT_TRUE(host.send(MsgType::DisplayInfo,
                          R"({"os":"mac","appsOnly":true,"features":["apps"],"wake":[],)"
                          R"("window":{"id":3,"widthPt":400,"heightPt":300}})"));
    ASSERT_TRUE(pumpUntil([&] { return w.shownWindowId == 3; }, 5000));
    pumpFor(100);
    EXPECT_FALSE(w.appPickHint);
    EXPECT_FALSE(IsWindowVisible(w.statusLine));
    EXPECT_EQ(clientOf(w.hwnd).right, 400);
    EXPECT_EQ(configStore().get().hosts[0].wake.dump(), R"([{"mac":"aa:bb:cc:dd:ee:ff"}])");
    EXPECT_FALSE(pathExists(file)) << "saved although nothing changed";

    // Changed wake data is saved.
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, R"({"os":"mac","appsOnly":true,"features":["apps"],)"
                                                R"("wake":[{"mac":"11:22:33:44:55:66"}],"window":{"id":3}})"));
    ASSERT_TRUE(pumpUntil([&] { return pathExists(file); }, 5000));
    EXPECT_EQ(configStore().get().hosts[0].wake.dump(), R"([{"mac":"11:22:33:44:55:66"}])");
}

TEST_F(ViewerInputWin, WakeDataBeforeAPasswordConnectLearnedTheKeyIsNotStored) {
    Peer keyless;
    keyless.name = "키 없음";
    configStore().update([&](AppConfig& c) { c.hosts = {keyless}; });
    Peer byPassword;
    byPassword.name = "접속 ID 123 456 789";
    byPassword.accessId = "123456789";
    ViewerWindow w(byPassword, Bytes(), "암호");
    Json info;
    ASSERT_TRUE(Json::parse(R"({"name":"호스트","wake":[{"mac":"aa:bb:cc:dd:ee:ff"}]})", info));
    w.applyHostInfo(info);
    EXPECT_EQ(w.peer.wake.dump(), R"([{"mac":"aa:bb:cc:dd:ee:ff"}])") << "kept for the window";
    EXPECT_TRUE(configStore().get().hosts[0].wake.isNull());
}

TEST_F(ViewerInputWin, MouseWheelAndKeysReachTheHostByteExact) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    ASSERT_EQ(clientOf(w.video).right, kPictureWidth);
    ASSERT_EQ(clientOf(w.video).bottom, kPictureHeight);
    const std::string flags = "0000000000000100";  // no modifier held

    PostMessageW(w.video, WM_MOUSEMOVE, 0, at(160, 100));
    PostMessageW(w.video, WM_LBUTTONDOWN, MK_LBUTTON, at(320, 200));
    ASSERT_TRUE(arrived(host, MsgType::Mouse, 2));
    pumpFor(50);
    EXPECT_EQ(GetCapture(), w.video);
    PostMessageW(w.video, WM_RBUTTONDOWN, MK_LBUTTON | MK_RBUTTON, at(0, 0));
    PostMessageW(w.video, WM_LBUTTONUP, MK_RBUTTON, at(320, 200));
    ASSERT_TRUE(arrived(host, MsgType::Mouse, 4));
    pumpFor(50);
    EXPECT_EQ(GetCapture(), w.video) << "one button is still down";
    PostMessageW(w.video, WM_RBUTTONUP, 0, at(639, 399));
    PostMessageW(w.video, WM_XBUTTONDOWN, MAKEWPARAM(0, XBUTTON2), at(-20, 500));
    ASSERT_TRUE(arrived(host, MsgType::Mouse, 6));
    pumpFor(50);
    EXPECT_EQ(GetCapture(), w.video);
    PostMessageW(w.video, WM_XBUTTONUP, MAKEWPARAM(0, XBUTTON2), at(-20, 500));
    ASSERT_TRUE(arrived(host, MsgType::Mouse, 7));
    pumpFor(50);
    EXPECT_EQ(GetCapture(), nullptr);
    EXPECT_EQ(hexes(host.received(MsgType::Mouse)),
              (std::vector<std::string>{
                  "0000" "3e800000" "3e800000" "00" + flags,  // move to a quarter of each side
                  "0100" "3f000000" "3f000000" "01" + flags,  // left press in the middle
                  "0101" "00000000" "00000000" "01" + flags,  // right press: a new run
                  "0200" "3f000000" "3f000000" "01" + flags,
                  "0201" "3f7f999a" "3f7f5c29" "01" + flags,  // the last pixel lies just inside
                  "0104" "00000000" "3f800000" "01" + flags,  // outside: the nearest edge
                  "0204" "00000000" "3f800000" "01" + flags,
              }));

    PostMessageW(w.hwnd, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), at(300, 300));
    PostMessageW(w.hwnd, WM_MOUSEHWHEEL, MAKEWPARAM(0, 120), at(300, 300));
    ASSERT_TRUE(arrived(host, MsgType::Wheel, 2));
    EXPECT_EQ(hexes(host.received(MsgType::Wheel)),
              (std::vector<std::string>{"00000000" "42400000" "010000" + flags, "c2400000" "00000000" "010000" + flags}));

    // C typed: down and up; the Korean/English key for a Windows host; the hook's C down twice,
    // the second a repeat because the window still holds it.
    PostMessageW(w.hwnd, WM_KEYDOWN, 'C', 1 | (0x2E << 16));
    PostMessageW(w.hwnd, WM_KEYUP, 'C', 1 | (0x2E << 16) | (1u << 30) | (1u << 31));
    PostMessageW(w.hwnd, WM_KEYDOWN, VK_HANGUL, 1 | (0x72 << 16));
    PostMessageW(w.hwnd, WM_VIEWER_HOOK_KEY, 'C', 0x2E | (1 << 9));
    PostMessageW(w.hwnd, WM_VIEWER_HOOK_KEY, 'C', 0x2E | (1 << 9));
    PostMessageW(w.hwnd, WM_VIEWER_HOOK_KEY, 'C', 0x2E);
    ASSERT_TRUE(arrived(host, MsgType::Key, 6));
    const std::vector<std::string> keys = hexes(host.received(MsgType::Key));
    ASSERT_EQ(keys.size(), 6u);
    const std::string cFlagsHex = flagsHex(macModifierFlags({}, false, 8));
    EXPECT_EQ(keys[0], "000801" + cFlagsHex + "00");
    EXPECT_EQ(keys[1], "000800" + cFlagsHex + "00");
    EXPECT_EQ(keys[2].substr(0, 6), "f00101");
    EXPECT_EQ(keys[3], "000801" + cFlagsHex + "00");
    EXPECT_EQ(keys[4], "000801" + cFlagsHex + "01");
    EXPECT_EQ(keys[5], "000800" + cFlagsHex + "00");

    // Losing the keyboard lets go of everything on the host.
    PostMessageW(w.hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    ASSERT_TRUE(arrived(host, MsgType::ReleaseAll));
}

TEST_F(ViewerInputWin, TheVideoChildShowsTheRemoteCursor) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    const BYTE andPlane[32 * 4] = {}, xorPlane[32 * 4] = {};
    HCURSOR made = CreateCursor(GetModuleHandleW(nullptr), 0, 0, 32, 32, andPlane, xorPlane);
    ASSERT_NE(made, nullptr);
    w.remoteCursor = made;  // the window destroys it with itself
    EXPECT_EQ(SendMessageW(w.video, WM_SETCURSOR, WPARAM(w.video), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)), TRUE);
    EXPECT_EQ(GetCursor(), made);
    EXPECT_EQ(SendMessageW(w.video, WM_ERASEBKGND, 0, 0), 1);
}

TEST_F(ViewerInputWin, FullScreenCoversTheMonitorAndLeavingRestoresAll) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    const RECT before = windowRect(w.hwnd);
    const LONG_PTR style = GetWindowLongPtrW(w.hwnd, GWL_STYLE);
    ASSERT_NE(GetMenu(w.hwnd), nullptr);

    PostMessageW(w.hwnd, WM_SYSCOMMAND, 0x1000, 0);
    ASSERT_TRUE(pumpUntil([&] { return w.fullScreen; }, 3000));
    pumpFor(200);
    const LONG_PTR full = GetWindowLongPtrW(w.hwnd, GWL_STYLE);
    EXPECT_TRUE(full & WS_POPUP);
    EXPECT_FALSE(full & WS_CAPTION);
    EXPECT_FALSE(full & WS_THICKFRAME);
    EXPECT_EQ(GetMenu(w.hwnd), nullptr);
    EXPECT_TRUE(sameRect(windowRect(w.hwnd), monitorOf(w.hwnd).rcMonitor));
    // The check mark follows in the bar that waits.
    bool checked = false;
    for (const MenuEntry& e : readMenu(w.menuBar)[0].popup)
        if (e.id == ViewerId::FullScreen) checked = e.checked;
    EXPECT_TRUE(checked);
    saveScreenshot(monitorOf(w.hwnd).rcMonitor);

    // A new picture in full screen neither resizes nor attaches the bar.
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, description(R"(,"window":{"id":9,"widthPt":300,"heightPt":200})")));
    ASSERT_TRUE(pumpUntil([&] { return w.shownWindowId == 9; }, 5000));
    pumpFor(100);
    EXPECT_EQ(GetMenu(w.hwnd), nullptr);
    EXPECT_TRUE(sameRect(windowRect(w.hwnd), monitorOf(w.hwnd).rcMonitor));

    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::FullScreen, 0);
    ASSERT_TRUE(pumpUntil([&] { return !w.fullScreen; }, 3000));
    pumpFor(200);
    EXPECT_EQ(GetWindowLongPtrW(w.hwnd, GWL_STYLE), style);
    EXPECT_EQ(GetMenu(w.hwnd), w.menuBar);
    EXPECT_TRUE(sameRect(windowRect(w.hwnd), before));
    const std::vector<MenuEntry> bar = readMenu(GetMenu(w.hwnd));
    ASSERT_FALSE(bar.empty());
    for (const MenuEntry& e : bar[0].popup) {
        if (e.id == ViewerId::FullScreen) {
            EXPECT_FALSE(e.checked);
        }
    }
}

TEST_F(ViewerInputWin, TheLoginDialogSendsWhatWasTypedAndNothingWhenEmpty) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    auto typeAndAccept = [](const std::wstring& text, bool* shot) {
        return [text, shot] {
            HWND dialog = FindWindowW(L"TavrelDialog", L"잠긴 컴퓨터 로그인");
            if (!dialog) return false;
            const std::vector<HWND> edits = childWindows(dialog, L"Edit");
            if (edits.size() != 1) return false;
            EXPECT_TRUE(GetWindowLongPtrW(edits[0], GWL_STYLE) & ES_PASSWORD);
            SetWindowTextW(edits[0], text.c_str());
            if (shot && !*shot) *shot = saveScreenshot(dialog);
            PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0);
            return true;
        };
    };
    bool shot = false;
    {
        ModalAction act(typeAndAccept(L"비밀 1234", &shot));
        PostMessageW(w.hwnd, WM_COMMAND, ViewerId::LockedLogin, 0);
        ASSERT_TRUE(pumpUntil([&] { return act.done(); }, 5000));
    }
    ASSERT_TRUE(arrived(host, MsgType::LockLogin));
    EXPECT_EQ(host.received(MsgType::LockLogin), std::vector<Bytes>{textBytes("비밀 1234")});
    EXPECT_TRUE(shot);
    {
        ModalAction act(typeAndAccept(L"", nullptr));
        PostMessageW(w.hwnd, WM_COMMAND, ViewerId::LockedLogin, 0);
        ASSERT_TRUE(pumpUntil([&] { return act.done(); }, 5000));
    }
    // A message sent after the empty login arrives first if the login sent nothing.
    pumpFor(100);
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::WholeDisplay, 0);
    ASSERT_TRUE(arrived(host, MsgType::FocusWindow));
    EXPECT_EQ(host.received(MsgType::LockLogin).size(), 1u);
    EXPECT_EQ(w.modalCalls(), 0);
}

TEST_F(ViewerInputWin, PowerCommandsAskFirst) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    auto answer = [](int button, std::wstring* text) {
        return [button, text] {
            HWND box = FindWindowW(L"#32770", L"Tavrel");
            if (!box) return false;
            if (text) *text = dialogMessage(box);
            return pressButton(box, button);
        };
    };
    std::wstring question;
    {
        ModalAction act(answer(IDCANCEL, &question));
        PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Sleep, 0);
        ASSERT_TRUE(pumpUntil([&] { return act.done(); }, 5000));
    }
    EXPECT_EQ(question.rfind(L"원격 컴퓨터를 잠재울까요?", 0), 0u) << wideToUtf8(question);
    {
        ModalAction act(answer(IDOK, &question));
        PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Restart, 0);
        ASSERT_TRUE(pumpUntil([&] { return act.done(); }, 5000));
    }
    EXPECT_EQ(question.rfind(L"원격 컴퓨터를 다시 시작할까요?", 0), 0u) << wideToUtf8(question);
    ASSERT_TRUE(arrived(host, MsgType::Power));
    pumpFor(100);
    EXPECT_EQ(hexes(host.received(MsgType::Power)), std::vector<std::string>{"01"}) << "the cancelled sleep sent nothing";
    EXPECT_GT(int64_t(w.restartUntil), nowNanos() + 200'000'000'000);

    // A window that never had a session still remembers the restart window.
    Peer nobody = host.peer();
    ViewerWindow alone(nobody, Bytes(), std::string());
    ModalAction act(answer(IDOK, nullptr));
    alone.confirmPower(1);
    EXPECT_TRUE(act.done());
    EXPECT_GT(int64_t(alone.restartUntil), nowNanos() + 200'000'000'000);
}

// A viewer closed while one of its questions is up sends nothing once the question returns, and
// is deleted only after it has returned.
TEST_F(ViewerInputWin, AViewerClosedDuringAQuestionSendsNothingAndIsDeletedAfterIt) {
    struct Row {
        const char* name;
        const wchar_t* dialogClass;
        const wchar_t* dialogTitle;
        // Typed into the question's only field before the close, or none.
        const wchar_t* typed;
        // Whether the question outlives the window and is then accepted; otherwise it is owned by
        // the window and goes with it.
        bool outlivesWindow;
        void (*ask)(ViewerWindow&);
        MsgType answer;
    };
    const Row rows[] = {
        {"login", L"TavrelDialog", L"잠긴 컴퓨터 로그인", L"닫힌 뒤의 비밀", true,
         [](ViewerWindow& w) { w.lockedLogin(); }, MsgType::LockLogin},
        {"power", L"#32770", L"Tavrel", nullptr, false, [](ViewerWindow& w) { w.confirmPower(1); }, MsgType::Power},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedHost host;
        ASSERT_TRUE(host.start());
        ViewerWindow& w = connected(host);
        ViewerWindow* const object = &w;
        const HWND handle = w.hwnd;
        bool listedAfterClose = false;
        int step = 0;
        ModalAction act([&] {
            HWND dialog = FindWindowW(row.dialogClass, row.dialogTitle);
            if (!dialog) return false;
            if (step == 0) {
                if (row.typed) {
                    const std::vector<HWND> edits = childWindows(dialog, L"Edit");
                    if (edits.size() != 1) return false;
                    SetWindowTextW(edits[0], row.typed);
                }
                PostMessageW(handle, WM_CLOSE, 0, 0);
                step = 1;
                return !row.outlivesWindow;
            }
            if (IsWindow(handle)) return false;
            pumpFor(100);  // the tray's queue runs here too
            listedAfterClose = openViewers().size() == 1 && openViewers().back().get() == object;
            PostMessageW(dialog, WM_KEYDOWN, VK_RETURN, 0);  // accepted after all
            return true;
        });
        row.ask(w);
        EXPECT_TRUE(act.done());
        if (row.outlivesWindow) {
            EXPECT_TRUE(listedAfterClose);
        }
        EXPECT_FALSE(IsWindow(handle));
        EXPECT_EQ(FindWindowW(row.dialogClass, row.dialogTitle), nullptr);
        // Still listed: the removal runs from the tray's queue once the question has returned.
        ASSERT_EQ(openViewers().size(), 1u);
        EXPECT_EQ(openViewers().back().get(), object);
        ASSERT_TRUE(pumpUntil([] { return openViewers().empty(); }, 5000));
        pumpFor(200);
        EXPECT_TRUE(host.received(row.answer).empty());
    }
}

TEST_F(ViewerInputWin, ChatLinesAndTheTitleOfAConnectedWindow) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Chat, 0);
    ASSERT_TRUE(pumpUntil([&] { return w.chat != nullptr; }, 3000));
    ASSERT_TRUE(w.chat->send);
    w.chat->send("안녕하세요");  // as the chat window's thread does
    ASSERT_TRUE(arrived(host, MsgType::Chat));
    EXPECT_EQ(host.received(MsgType::Chat), std::vector<Bytes>{textBytes("안녕하세요")});

    // The title timer writes the dashboard.
    ASSERT_TRUE(pumpUntil([&] { return windowText(w.hwnd).find(L" fps · ") != std::wstring::npos; }, 3000))
        << wideToUtf8(windowText(w.hwnd));
    const std::wstring title = windowText(w.hwnd);
    EXPECT_EQ(title.rfind(L"입력 호스트 — ", 0), 0u) << wideToUtf8(title);
    EXPECT_NE(title.find(L" Mbps · 640×400"), std::wstring::npos) << wideToUtf8(title);
    saveScreenshot(w.hwnd);
}

// xdotool types as the person at the machine: the low-level hook sees the keys uninjected, takes
// them from Windows and the window sends them to the host.
TEST_F(ViewerInputWin, KeysTypedByThePersonGoThroughTheHookAndTheChordStaysLocal) {
    if (!xdotoolAvailable()) GTEST_SKIP() << "xdotool is not installed";
    configStore().update([](AppConfig& c) { c.systemKeys = true; });
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    SetForegroundWindow(w.hwnd);
    RECT r = windowRect(w.hwnd);
    const int x = (r.left + r.right) / 2, y = (r.top + r.bottom) / 2;
    ASSERT_TRUE(runXdotool("mousemove " + std::to_string(x) + " " + std::to_string(y), pumpMessages));
    ASSERT_TRUE(pumpUntil([&] { return GetForegroundWindow() == w.hwnd && ViewerWindow::keyboardHookInstalled(); },
                          3000));
    const size_t before = host.received(MsgType::Key).size();
    ASSERT_TRUE(runXdotool("key alt+Tab", pumpMessages));
    ASSERT_TRUE(arrived(host, MsgType::Key, before + 4));
    pumpFor(300);
    std::vector<KeyEvent> keys;
    for (const Bytes& p : host.received(MsgType::Key)) keys.push_back(decodeKeyEvent(p));
    keys.erase(keys.begin(), keys.begin() + long(before));
    ASSERT_EQ(keys.size(), 4u) << "each key once: the hook took them from the window's own messages";
    EXPECT_EQ(keys[0].code, 58);
    EXPECT_EQ(keys[0].kind, 2);
    EXPECT_NE(keys[0].flags & 0x80000, 0u) << "Option down";
    EXPECT_EQ(keys[1].code, 48);
    EXPECT_EQ(keys[1].kind, 1);
    // xdotool lets go of the keys in the order it pressed them; either order must arrive whole.
    const KeyEvent& optionUp = keys[2].code == 58 ? keys[2] : keys[3];
    const KeyEvent& tabUp = keys[2].code == 58 ? keys[3] : keys[2];
    EXPECT_EQ(optionUp.code, 58);
    EXPECT_EQ(optionUp.kind, 2);
    EXPECT_EQ(optionUp.flags & 0x80000, 0u) << "Option up";
    EXPECT_EQ(tabUp.code, 48);
    EXPECT_EQ(tabUp.kind, 0);
    EXPECT_EQ(GetForegroundWindow(), w.hwnd) << "Alt+Tab stayed with the viewer";
    saveScreenshot(w.hwnd);

    // The full-screen chord stays here: the window covers the monitor, and the host sees the
    // modifiers but never the Return.
    ASSERT_TRUE(runXdotool("key ctrl+alt+super+Return", pumpMessages));
    ASSERT_TRUE(pumpUntil([&] { return w.fullScreen; }, 3000));
    pumpFor(300);
    EXPECT_FALSE(w.input.chordPending()) << "the Return's release was swallowed";
    for (const Bytes& p : host.received(MsgType::Key)) EXPECT_NE(decodeKeyEvent(p).code, 36);
    EXPECT_TRUE(w.input.heldKeys().empty());
    ASSERT_TRUE(runXdotool("key ctrl+alt+super+Return", pumpMessages));
    ASSERT_TRUE(pumpUntil([&] { return !w.fullScreen; }, 3000));
}

TEST_F(ViewerInputWin, AnOpenMenuIsNotRebuiltUnderItAndTheHostLetsGoOfKeys) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    const HMENU before = GetMenu(w.hwnd);
    ASSERT_NE(before, nullptr);
    const size_t releases = host.received(MsgType::ReleaseAll).size();
    SendMessageW(w.hwnd, WM_ENTERMENULOOP, FALSE, 0);
    EXPECT_TRUE(arrived(host, MsgType::ReleaseAll, releases + 1)) << "keys held when the menu opened";

    // A new description and a transfer result while the menu is tracked: the bar stays whole.
    ASSERT_TRUE(host.send(MsgType::DisplayInfo, description(R"(,"extra":1)")));
    ASSERT_TRUE(host.send(MsgType::FileRefused, Bytes{0, 0, 0, 0, 'x'}));
    ASSERT_TRUE(pumpUntil([&] { return w.displayInfo.get("extra").isNumber() && !w.transferText.empty(); }, 5000));
    EXPECT_EQ(GetMenu(w.hwnd), before);
    EXPECT_TRUE(IsMenu(before));
    EXPECT_TRUE(w.menuStale);

    SendMessageW(w.hwnd, WM_EXITMENULOOP, FALSE, 0);
    EXPECT_FALSE(w.menuStale);
    EXPECT_NE(GetMenu(w.hwnd), before) << "the bar is rebuilt once the menu closed";
    EXPECT_EQ(readMenu(GetMenu(w.hwnd)),
              menuEntries(viewerMenuBar(configStore().get(), w.displayInfo, w.appList, w.menuFacts())));
}

TEST_F(ViewerInputWin, AMenuClickIsResolvedAgainstTheListTheMenuWasBuiltFrom) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    ASSERT_TRUE(arrived(host, MsgType::ListApps));
    const char* const built = R"({"windows":[{"id":7,"title":"메모장"},{"id":9,"title":"계산기"}],)"
                              R"("apps":[{"id":"calc","name":"계산기"},{"id":"note","name":"메모장"}]})";
    ASSERT_TRUE(host.send(MsgType::AppList, built));
    ASSERT_TRUE(pumpUntil([&] { return w.appList.get("windows").size() == 2; }, 5000));

    // The menu's own request is answered while it is open, with the same entries in another order.
    const size_t asked = host.received(MsgType::ListApps).size();
    SendMessageW(w.hwnd, WM_ENTERMENULOOP, FALSE, 0);
    ASSERT_TRUE(arrived(host, MsgType::ListApps, asked + 1));
    ASSERT_TRUE(host.send(MsgType::AppList, R"({"windows":[{"id":9,"title":"계산기"},{"id":7,"title":"메모장"}],)"
                                            R"("apps":[{"id":"note","name":"메모장"},{"id":"calc","name":"계산기"}]})"));
    ASSERT_TRUE(pumpUntil([&] { return windowIdOf(w.appList.get("windows").at(0).get("id")) == 9; }, 5000));
    // The menu closes (and the bar is rebuilt from the new list) before the click's command comes.
    SendMessageW(w.hwnd, WM_EXITMENULOOP, FALSE, 0);
    EXPECT_EQ(readMenu(GetMenu(w.hwnd))[3].popup[1].text, L"계산기");
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Window, 0);
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Program + ViewerId::kListStep, 0);
    ASSERT_TRUE(arrived(host, MsgType::LaunchProgram));
    EXPECT_EQ(hexes(host.received(MsgType::FocusWindow)), std::vector<std::string>{hexOf(encodeU32(7))});
    EXPECT_EQ(hexes(host.received(MsgType::LaunchProgram)), std::vector<std::string>{hexOf(encodeText("note"))});

    // The next time the menu opens, the bar shown is the new list's.
    SendMessageW(w.hwnd, WM_ENTERMENULOOP, FALSE, 0);
    SendMessageW(w.hwnd, WM_EXITMENULOOP, FALSE, 0);
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Window, 0);
    ASSERT_TRUE(arrived(host, MsgType::FocusWindow, 2));
    EXPECT_EQ(hexOf(host.received(MsgType::FocusWindow)[1]), hexOf(encodeU32(9)));
}

TEST_F(ViewerInputWin, AHookKeyHandledAfterTheWindowLetGoOfTheKeyboardIsDropped) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    ViewerWindow& w = connected(host);
    const size_t keys = host.received(MsgType::Key).size();
    const size_t releases = host.received(MsgType::ReleaseAll).size();
    // Handled after the window learned that its connection is gone, while it still holds the
    // hook and the foreground and the session's link would still carry the key.
    ASSERT_TRUE(ViewerWindow::keyboardHookInstalled());
    ASSERT_EQ(GetForegroundWindow(), w.hwnd);
    PostMessageW(w.hwnd, WM_VIEWER_HOOK_KEY, 'C', 0x2E | (1 << 9));
    w.connected = false;
    // A command that goes out connected or not: once the host has it, the key would have arrived.
    PostMessageW(w.hwnd, WM_COMMAND, ViewerId::Display, 0);
    ASSERT_TRUE(arrived(host, MsgType::SelectDisplay));
    EXPECT_EQ(host.received(MsgType::Key).size(), keys) << "a key went down on the host after the connection ended";
    EXPECT_TRUE(w.input.heldKeys().empty());
    w.connected = true;
    // Posted by the hook while the window had the keyboard, handled after it lost it.
    PostMessageW(w.hwnd, WM_VIEWER_HOOK_KEY, 'C', 0x2E | (1 << 9));
    SendMessageW(w.hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
    ASSERT_TRUE(arrived(host, MsgType::ReleaseAll, releases + 1));
    // A wheel turn after it: once the host has it, a key sent before it would have arrived too.
    PostMessageW(w.hwnd, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), at(300, 300));
    const size_t wheels = host.received(MsgType::Wheel).size();
    ASSERT_TRUE(arrived(host, MsgType::Wheel, wheels + 1));
    EXPECT_EQ(host.received(MsgType::Key).size(), keys) << "a key went down on the host after the release";
}

TEST_F(ViewerInputWin, TheHostsNameAndRefusalTextCannotForgeLogLines) {
    LogCapture log;
    ScriptedHost host("위조\n2026-01-01 00:00:00 비밀번호로 접속 · 허용 목록에 등록: 가짜");
    ASSERT_TRUE(host.start());
    connected(host);
    ASSERT_TRUE(log.waitFor("연결됨: 위조\\n2026-01-01 00:00:00 비밀번호로 접속"));
    const std::string refusal = "거부됨\r\n2026-01-01 00:00:00 가짜 줄";
    Bytes payload{0, 0, 0, 0};
    payload.insert(payload.end(), refusal.begin(), refusal.end());
    ASSERT_TRUE(host.send(MsgType::FileRefused, payload));
    ASSERT_TRUE(pumpUntil([&] { return log.has("파일: 거부됨\\r\\n2026-01-01 00:00:00 가짜 줄"); }, 5000));
    EXPECT_FALSE(log.has("\n2026-01-01 00:00:00")) << "a line of the host's own";
}

TEST_F(ViewerInputWin, AHostThatReadsNothingStallsNoWindowAndItsSessionEndsByItself) {
    // A short stall time instead of 30 s; every window made from here on takes it.
    struct Restore {
        SessionServices saved = ViewerWindow::defaultServices();
        ~Restore() { ViewerWindow::defaultServices() = saved; }
    } restore;
    ViewerWindow::defaultServices().sendStallMs = 1500;
    ScriptedHost stalled("멈춘 호스트"), other("다른 호스트");
    ASSERT_TRUE(stalled.start());
    ASSERT_TRUE(other.start());
    ViewerWindow& a = connected(stalled);
    a.reconnectTiming.afterDropMs = 600000;  // no reconnect inside the test
    ViewerWindow& b = connected(other);
    ASSERT_TRUE(stalled.pauseReading());
    // What the clipboard monitor hands over: more than the link's buffers hold.
    a.session->send(MsgType::Clipboard, Bytes(8u << 20, 7));

    // The thread of every window and of the tray keeps going: pointer, keys, a menu command.
    int64_t slowest = 0;
    auto timed = [&](HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
        const int64_t start = nowNanos();
        SendMessageW(window, msg, wParam, lParam);
        slowest = std::max(slowest, nowNanos() - start);
    };
    for (int i = 0; i < 400 && a.connected; ++i) {
        timed(a.video, WM_MOUSEMOVE, 0, at(i % 600, 100 + i % 200));
        if (i % 40 == 0) {
            timed(a.hwnd, WM_KEYDOWN, 'C', 1 | (0x2E << 16));
            timed(a.hwnd, WM_KEYUP, 'C', 1 | (0x2E << 16) | (1u << 30) | (1u << 31));
            timed(a.hwnd, WM_COMMAND, ViewerId::Combo, 0);
            timed(tray().trayWindow, WM_NULL, 0, 0);
        }
    }
    EXPECT_LT(slowest, 250'000'000) << "the window's thread waited for the link";
    const size_t moves = other.received(MsgType::Mouse).size();
    SendMessageW(b.video, WM_MOUSEMOVE, 0, at(20, 30));
    EXPECT_TRUE(arrived(other, MsgType::Mouse, moves + 1)) << "the second viewer stopped with the first";

    // The stalled session ends on its own and says why.
    ASSERT_TRUE(pumpUntil([&] { return !a.connected; }, 20000));
    EXPECT_EQ(a.lastError, kHostStalledText);
    EXPECT_EQ(windowText(a.statusLine), utf8ToWide(kHostStalledText) + L" — 다시 연결 중…");
    EXPECT_TRUE(b.connected);
    stalled.resumeReading();
}

}  // namespace
