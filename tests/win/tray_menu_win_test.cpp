// The tray menu opened on the tray window, read back against its model, and its commands run
// directly by id: some against viewers connected to the tray's own hosting, quitting against the
// tray's open viewer windows.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>
#include <filesystem>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/menu.h"
#include "app/presence.h"
#include "app/tray.h"
#include "app/viewers.h"
#include "core/config/store.h"
#include "core/text.h"
#include "host/curtain.h"
#include "host/server.h"
#include "host/session.h"
#include "net/framed.h"
#include "support/dialog_steps_win.h"
#include "support/fake_desktop.h"
#include "support/gui_win.h"
#include "support/log_capture.h"
#include "support/message_box_win.h"
#include "support/scripted_host.h"
#include "support/session_peer.h"
#include "support/session_timing.h"
#include "support/test_viewer.h"
#include "support/wait.h"
#include "viewer/window.h"

namespace {

std::vector<MenuEntry> entries(const std::vector<MenuNode>& nodes) {
    std::vector<MenuEntry> out;
    for (const MenuNode& n : nodes) {
        MenuEntry e;
        e.separator = n.separator;
        e.text = std::wstring(n.text.begin(), n.text.end());
        e.id = n.popup || n.separator ? 0 : n.id;
        e.checked = n.checked;
        e.grayed = n.grayed;
        e.popup = entries(n.items);
        out.push_back(std::move(e));
    }
    return out;
}

Peer registered(const std::string& name, const std::string& os, const char* wake = "null") {
    Peer p;
    p.name = name;
    p.key = base64Encode(asBytes(name + std::string(32 - name.size() % 32, 'k')));
    p.os = os;
    Json::parse(wake, p.wake);
    return p;
}

HWND dialogTitled(const wchar_t* title) { return FindWindowW(L"TavrelDialog", title); }

void typeInto(HWND edit, const std::wstring& text) {
    SetWindowTextW(edit, text.c_str());
}

class TrayMenu : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!tray().trayWindow) createTrayWindow(GetModuleHandleW(nullptr));
    }
    static void TearDownTestSuite() {
        DestroyWindow(tray().trayWindow);
        tray().trayWindow = nullptr;
    }
    void SetUp() override {
        saved_ = configStore().get();
        configStore().update([](AppConfig& c) {
            c.hosting = false;
            c.hosts = {registered("맥북", "mac", R"([{"mac":"aa","bcast":"b"}])"), registered("스튜디오", "windows")};
            c.allowed = {registered("폰", "")};
            c.passwordLogin = true;
            c.stayAwake = false;
        });
    }
    void TearDown() override {
        HostServer::instance().stop();
        // Viewer windows a command opened are closed and deleted as the tray deletes them.
        for (const auto& w : openViewers())
            if (w->hwnd && IsWindow(w->hwnd)) PostMessageW(w->hwnd, WM_CLOSE, 0, 0);
        EXPECT_TRUE(pumpUntil([] { return openViewers().empty(); }, 5000));
        openViewers().clear();
        pumpMessages();
        configStore().update([this](AppConfig& c) { c = saved_; });
    }
    AppConfig saved_;
};

TEST_F(TrayMenu, TheOpenMenuEqualsItsModel) {
    const std::vector<MenuEntry> expected =
        entries(trayMenu(configStore().get(), currentTrayFacts(), presenceOf, systemLocalTime));
    std::vector<MenuEntry> shown;
    bool pictured = false;
    ModalAction read([&] {
        HWND popup = openPopupMenu();
        if (!popup) return false;
        shown = readMenu(menuOfPopup(popup));
        pictured = saveScreenshot(popup);
        PostMessageW(popup, WM_KEYDOWN, VK_ESCAPE, 0);
        return true;
    });
    ASSERT_TRUE(PostMessageW(tray().trayWindow, WM_TRAY_NOTIFY, 0, MAKELPARAM(WM_CONTEXTMENU, 1)));
    ASSERT_TRUE(pumpUntil([&] { return read.done(); }));
    EXPECT_TRUE(pumpUntil([] { return !openPopupMenu(); }));
    EXPECT_EQ(shown, expected);
    EXPECT_TRUE(pictured);
    // Closed by Esc: nothing ran.
    EXPECT_FALSE(configStore().get().hosting);
}

TEST_F(TrayMenu, SwitchesFlipOneSettingEach) {
    struct Case { unsigned id; bool AppConfig::*member; };
    const Case cases[] = {{5, &AppConfig::retina},       {6, &AppConfig::systemKeys},
                          {7, &AppConfig::clipboard},    {8, &AppConfig::macKeymap},
                          {9, &AppConfig::fileTransfer}, {10, &AppConfig::stayAwake},
                          {11, &AppConfig::stayAwakeACOnly}, {23, &AppConfig::notifyConnect}};
    for (const Case& c : cases) {
        const AppConfig before = configStore().get();
        runTrayCommand(c.id, before);
        AppConfig expected = before;
        expected.*c.member = !(before.*c.member);
        EXPECT_EQ(configToJson(configStore().get()).dump(), configToJson(expected).dump()) << c.id;
    }
}

TEST_F(TrayMenu, ListIdsBeyondTheMenusCopyDoNothing) {
    const AppConfig before = configStore().get();
    AppConfig menuCopy = before;
    menuCopy.hosts.resize(1);  // the list grew after the menu opened
    for (unsigned id : {1001u, 4001u, 26u, 999u, 5000u}) runTrayCommand(id, menuCopy);
    pumpFor(50);
    EXPECT_TRUE(topWindows(L"TavrelViewer").empty());
    EXPECT_EQ(configToJson(configStore().get()).dump(), configToJson(before).dump());
}

TEST_F(TrayMenu, PortDialogStoresOnlyPortsFrom1024) {
    for (const auto& [typed, stored] : std::vector<std::pair<std::wstring, int>>{
             {L"80", 47800}, {L"4294969344", 47800}, {L"70000", 47800}, {L"2048", 2048}}) {
        configStore().update([](AppConfig& c) { c.port = 47800; });
        ModalAction enter(dialogSteps({[&] {
            HWND d = dialogTitled(L"포트");
            if (!d) return false;
            typeInto(GetDlgItem(d, 10), typed);
            PostMessageW(GetDlgItem(d, 10), WM_KEYDOWN, VK_RETURN, 0);
            return true;
        }}));
        runTrayCommand(13, configStore().get());
        EXPECT_TRUE(enter.done());
        EXPECT_EQ(configStore().get().port, stored) << std::string(typed.begin(), typed.end());
    }
}

TEST_F(TrayMenu, NameDialogStoresTheTrimmedName) {
    ModalAction enter(dialogSteps({[&] {
        HWND d = dialogTitled(L"이 PC 이름");
        if (!d) return false;
        typeInto(GetDlgItem(d, 10), L"  작업실 PC  ");
        PostMessageW(GetDlgItem(d, 10), WM_KEYDOWN, VK_RETURN, 0);
        return true;
    }}));
    runTrayCommand(12, configStore().get());
    EXPECT_TRUE(enter.done());
    EXPECT_EQ(configStore().get().deviceName, "작업실 PC");
}

TEST_F(TrayMenu, EmptyRelayAddressResetsTheRelayWhateverTheSecret) {
    configStore().update([](AppConfig& c) { c.relay = {"relay.test", 47901, "old"}; });
    std::wstring shownAddress;
    ModalAction enter(dialogSteps({[&] {
        HWND d = dialogTitled(L"중계 서버");
        if (!d) return false;
        wchar_t text[256] = {};
        GetWindowTextW(GetDlgItem(d, 10), text, 256);
        shownAddress = text;
        typeInto(GetDlgItem(d, 10), L"  ");
        typeInto(GetDlgItem(d, 11), L"typed secret");
        PostMessageW(GetDlgItem(d, 11), WM_KEYDOWN, VK_RETURN, 0);
        return true;
    }}));
    editRelay();
    EXPECT_TRUE(enter.done());
    EXPECT_EQ(shownAddress, L"relay.test:47901");
    EXPECT_EQ(configStore().get().relay, (RelayConfig{"", 47900, ""}));
}

TEST_F(TrayMenu, IncompleteRelayIsRefusedWithAMessage) {
    configStore().update([](AppConfig& c) { c.relay = {"relay.test", 47901, "old"}; });
    MessageBoxAnswer box(L"저장하지 못했습니다", IDOK, "TrayMenu.IncompleteRelayBox");
    ModalAction enter(dialogSteps({[&] {
        HWND d = dialogTitled(L"중계 서버");
        if (!d) return false;
        typeInto(GetDlgItem(d, 10), L"relay.new:47902");
        typeInto(GetDlgItem(d, 11), L"");
        PostMessageW(GetDlgItem(d, 11), WM_KEYDOWN, VK_RETURN, 0);
        return true;
    }}));
    editRelay();
    EXPECT_TRUE(box.wait());
    EXPECT_EQ(box.text(), L"주소:포트 와 비밀값을 모두 넣으세요.");
    EXPECT_EQ(configStore().get().relay, (RelayConfig{"relay.test", 47901, "old"}));
}

TEST_F(TrayMenu, RemovingARegisteredComputerRemovesEveryEntryWithItsKey) {
    configStore().update([](AppConfig& c) {
        Peer twin = c.hosts[0];
        twin.name = "맥북 (둘째)";
        c.hosts.push_back(twin);
    });
    {
        MessageBoxAnswer cancel(L"지울까요?", IDCANCEL);
        runTrayCommand(3000, configStore().get());
        EXPECT_TRUE(cancel.wait());
    }
    EXPECT_EQ(configStore().get().hosts.size(), 3u);
    MessageBoxAnswer ok(L"지울까요?", IDOK);
    runTrayCommand(3000, configStore().get());
    EXPECT_TRUE(ok.wait());
    EXPECT_EQ(ok.text(), L"'맥북' 을(를) 목록에서 지웁니다. 다시 연결하려면 새 짝 맺기 코드가 필요합니다.");
    const AppConfig after = configStore().get();
    ASSERT_EQ(after.hosts.size(), 1u);
    EXPECT_EQ(after.hosts[0].name, "스튜디오");
    // An index beyond the fresh list asks nothing.
    MessageBoxAnswer none(L"지울까요?", IDOK, "", 300);
    removePeer(false, 5);
    EXPECT_FALSE(none.wait());
}

TEST_F(TrayMenu, PasswordOffTurnsPasswordAccessOff) {
    LogCapture log;
    runTrayCommand(TrayId::PasswordOff, configStore().get());
    EXPECT_FALSE(configStore().get().passwordLogin);
    EXPECT_FALSE(HostServer::instance().running());  // hosting off: nothing is started for it
    EXPECT_EQ(log.count("비밀번호 접속 끔"), 1);
}

TEST_F(TrayMenu, RunAtLoginWritesTheQuotedProgramAndTakesItAway) {
    const std::wstring savedExe = tray().exePath;
    tray().exePath = L"C:\\Program Files\\Tavrel\\tavrel.exe";
    const bool before = runValueSet();
    if (before) runTrayCommand(TrayId::RunAtLogin, configStore().get());  // start from none
    ASSERT_FALSE(runValueSet());
    runTrayCommand(TrayId::RunAtLogin, configStore().get());
    wchar_t value[520] = {};
    DWORD size = sizeof value;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"Tavrel",
                           RRF_RT_REG_SZ, nullptr, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(value), L"\"C:\\Program Files\\Tavrel\\tavrel.exe\"");
    EXPECT_EQ(size, (std::wcslen(value) + 1) * sizeof(wchar_t));
    runTrayCommand(TrayId::RunAtLogin, configStore().get());
    EXPECT_FALSE(runValueSet());
    if (before) runTrayCommand(TrayId::RunAtLogin, configStore().get());
    tray().exePath = savedExe;
}

// The process of a visible window started from `image` (a file name), or 0.
DWORD visibleProcessOf(const std::wstring& image) {
    struct Search {
        std::wstring image;
        DWORD pid = 0;
    } search{image};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<Search*>(p);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (!IsWindowVisible(w) || pid == GetCurrentProcessId()) return TRUE;
            HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
            if (!process) return TRUE;
            wchar_t path[MAX_PATH] = {};
            DWORD size = MAX_PATH;
            const bool named = QueryFullProcessImageNameW(process, 0, path, &size) &&
                               lstrcmpiW(std::filesystem::path(path).filename().c_str(), s->image.c_str()) == 0;
            CloseHandle(process);
            if (named) s->pid = pid;
            return named ? FALSE : TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.pid;
}

TEST_F(TrayMenu, ShowLogOpensTheLogFileInNotepad) {
    LogCapture log;
    logLine("기록 보기 시험");
    ASSERT_EQ(visibleProcessOf(L"notepad.exe"), 0u);
    runTrayCommand(TrayId::ShowLog, configStore().get());
    DWORD pid = 0;
    EXPECT_TRUE(pumpUntil([&] { return (pid = visibleProcessOf(L"notepad.exe")) != 0; }, 15000));
    if (HANDLE process = pid ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid) : nullptr) {
        TerminateProcess(process, 0);  // the editor this test opened, and nothing else
        EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
        CloseHandle(process);
    }
}

TEST_F(TrayMenu, LiftCurtainLowersIt) {
    Curtain::instance().set(true);
    ASSERT_TRUE(pumpUntil([] { return FindWindowW(L"TavrelCurtain", nullptr) != nullptr; }, 5000));
    runTrayCommand(TrayId::LiftCurtain, configStore().get());  // no session to tell: only lowered
    EXPECT_FALSE(Curtain::instance().active.load());
    EXPECT_TRUE(pumpUntil([] { return FindWindowW(L"TavrelCurtain", nullptr) == nullptr; }, 5000));
}

TEST_F(TrayMenu, QuitDuringADialogEndsTheDialogAndTheLoop) {
    ModalAction quitNow(dialogSteps({[&] {
        if (!dialogTitled(L"이 PC 이름")) return false;
        runTrayCommand(17, configStore().get());
        return true;
    }}));
    const std::string before = configStore().get().deviceName;
    runTrayCommand(12, configStore().get());
    EXPECT_TRUE(quitNow.done());
    EXPECT_FALSE(dialogTitled(L"이 PC 이름"));
    EXPECT_EQ(configStore().get().deviceName, before);
    MSG msg{};
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

TEST_F(TrayMenu, QuitClosesTheSessionOfEveryOpenViewerConnectedOrConnecting) {
    // The second host keeps its handshake reply back until the test lets it go (at the latest
    // when the test ends, before the hosts wait for their threads).
    std::atomic<bool> held{false}, release{false};
    ScriptedHost serving("첫째 호스트"), holding("둘째 호스트");
    struct LetGo {
        std::atomic<bool>& flag;
        ~LetGo() { flag = true; }
    } letGo{release};
    holding.beforeReply = [&] {
        held = true;
        waitUntil([&] { return release.load(); }, 15000);
    };
    ASSERT_TRUE(serving.start() && holding.start());
    configStore().update([&](AppConfig& c) { c.hosts = {serving.peer(), holding.peer()}; });
    const AppConfig menuCopy = configStore().get();
    runTrayCommand(TrayId::OpenHost, menuCopy);
    runTrayCommand(TrayId::OpenHost + 1, menuCopy);
    ASSERT_EQ(openViewers().size(), 2u);
    ViewerWindow& connected = *openViewers()[0];
    ViewerWindow& connecting = *openViewers()[1];
    ASSERT_TRUE(pumpUntil([&] { return connected.connected && held.load(); }, 10000));
    ASSERT_TRUE(serving.waitFor(MsgType::SessionRequest));

    const ClientSession* sessions[] = {connected.session.get(), connecting.session.get()};
    runTrayCommand(TrayId::Quit, menuCopy);
    MSG msg{};
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));  // before pumping takes it
    for (ViewerWindow* w : {&connected, &connecting}) {
        ASSERT_TRUE(w->session);
        EXPECT_TRUE(w->session->stop.load());
    }
    // The served viewer's host sees it go; the handshake still waiting for its reply is cut short
    // rather than waiting for the host: every thread of each session lets go of it.
    EXPECT_TRUE(pumpUntil([&] { return serving.waitEnded(0); }, 5000));
    for (ViewerWindow* w : {&connected, &connecting})
        EXPECT_TRUE(pumpUntil([&] { return w->session.use_count() == 1; }, 5000)) << "a session thread still runs";
    release = true;
    EXPECT_TRUE(pumpUntil([&] { return holding.waitEnded(0); }, 5000));
    // The windows themselves stay until the process ends, with the sessions that were closed.
    EXPECT_EQ(openViewers().size(), 2u);
    EXPECT_EQ(connected.session.get(), sessions[0]);
    EXPECT_EQ(connecting.session.get(), sessions[1]);
}

int freePort() {
    ListenSocket probe;
    return probe.open(0, false) ? probe.port() : 0;
}

// Hosting turned on by the tray, host sessions on a recorded machine, and viewers admitted over
// loopback as paired devices.
class TrayMenuHosting : public TrayMenu {
protected:
    void SetUp() override {
        TrayMenu::SetUp();
        HostServer& server = HostServer::instance();
        savedFactory_ = server.makeSession;
        HostSessionOptions options;
        options.system = desktop_;
        options.timing = shortSessionTiming();
        server.makeSession = hostSessionFactory(options);
        const int port = freePort();
        ASSERT_NE(port, 0);
        configStore().update([&](AppConfig& c) {
            c.port = port;
            c.notifyConnect = false;
        });
        setHosting(true, false);
        ASSERT_TRUE(server.running());
    }
    void TearDown() override {
        peers_.clear();
        setHosting(false, false);
        HostServer& server = HostServer::instance();
        // The sessions' threads let go of them before the next test starts.
        EXPECT_TRUE(pumpUntil([&] {
            for (const auto& s : sessions_)
                if (!s.expired()) return false;
            return server.admissionsRunning() == 0 && desktop_->captureThreads() == 0;
        }, 5000));
        server.makeSession = savedFactory_;
        TrayMenu::TearDown();
    }

    // A viewer of that name, allowed and served (`purpose` "wake": as a wake errand); null when it
    // was not admitted. It reads what the host sends from then on.
    SessionPeer* connect(const std::string& name, const std::string& purpose = std::string()) {
        TestViewer* v = admit(name, purpose);
        return v ? read(*v) : nullptr;
    }
    // The same viewer, reading nothing until `read`.
    TestViewer* admit(const std::string& name, const std::string& purpose = std::string()) {
        viewers_.push_back(std::make_unique<TestViewer>(name));
        TestViewer& v = *viewers_.back();
        configStore().update([&](AppConfig& c) { c.allowed.push_back(v.asPeer()); });
        HostServer& server = HostServer::instance();
        if (!v.dial(server.port()) || v.tryPaired(server.deviceKey().publicKey) != "" ||
            !v.sendRequest(TestViewer::request("windows", purpose)) || !v.ping())
            return nullptr;
        if (purpose.empty()) {
            const std::shared_ptr<ViewerSession> s = server.currentSession();
            if (!s || s->peerName() != name) return nullptr;
            sessions_.push_back(s);
        }
        return &v;
    }
    SessionPeer* read(TestViewer& v) {
        peers_.push_back(std::make_unique<SessionPeer>(v.channel));
        return peers_.back().get();
    }

    std::shared_ptr<FakeDesktop> desktop_ = std::make_shared<FakeDesktop>();
    SessionFactory savedFactory_;
    std::vector<std::weak_ptr<ViewerSession>> sessions_;
    std::vector<std::unique_ptr<TestViewer>> viewers_;  // before their readers, which use them
    std::vector<std::unique_ptr<SessionPeer>> peers_;
};

TEST_F(TrayMenuHosting, DisconnectEndsTheSessionAndTheErrandsAndHostingGoesOn) {
    SessionPeer* controller = connect("맥북");
    SessionPeer* errand = connect("아이패드", "wake");
    ASSERT_TRUE(controller && errand);
    runTrayCommand(TrayId::Disconnect, configStore().get());
    EXPECT_TRUE(controller->waitClosed());
    EXPECT_TRUE(errand->waitClosed());
    EXPECT_FALSE(HostServer::instance().currentSession());
    EXPECT_TRUE(configStore().get().hosting);
    // The server still admits: the next viewer gets a session.
    EXPECT_TRUE(connect("아이맥"));
}

TEST_F(TrayMenuHosting, ChatTalksWithTheCurrentSessionsViewer) {
    SessionPeer* replaced = connect("맥북");
    SessionPeer* current = connect("아이맥");
    ASSERT_TRUE(replaced && current);
    EXPECT_TRUE(replaced->waitClosed());
    runTrayCommand(TrayId::Chat, configStore().get());
    EXPECT_EQ(desktop_->chatShows(), 1);
    desktop_->typeChatLine("안녕하세요");
    const std::optional<ChannelMessage> line = current->next(MsgType::Chat);
    ASSERT_TRUE(line);
    EXPECT_EQ(spanToString(line->payload), "안녕하세요");
    // The session ended after the menu opened: nothing to talk with, nothing opens.
    current->hangUp();
    ASSERT_TRUE(pumpUntil([] { return !HostServer::instance().currentSession(); }, 5000));
    runTrayCommand(TrayId::Chat, configStore().get());
    EXPECT_EQ(desktop_->chatShows(), 1);
}

TEST_F(TrayMenuHosting, LiftCurtainTellsTheConnectedViewer) {
    SessionPeer* viewer = connect("맥북");
    ASSERT_TRUE(viewer);
    Curtain::instance().set(true);
    ASSERT_TRUE(pumpUntil([] { return FindWindowW(L"TavrelCurtain", nullptr) != nullptr; }, 5000));
    runTrayCommand(TrayId::LiftCurtain, configStore().get());
    EXPECT_FALSE(Curtain::instance().active.load());
    EXPECT_TRUE(viewer->waitNotice("원격 PC 에서 화면 가리기를 풀었습니다"));
    EXPECT_TRUE(pumpUntil([] { return FindWindowW(L"TavrelCurtain", nullptr) == nullptr; }, 5000));
}

TEST_F(TrayMenuHosting, LiftCurtainReturnsAtOnceWhileTheViewerReadsNothing) {
    FakeDesktop::Knobs still = desktop_->knobs();
    still.screenChanges = false;  // after the first picture the session sends nothing by itself
    desktop_->setKnobs(still);
    TestViewer* viewer = admit("맥북");
    ASSERT_TRUE(viewer);
    const std::shared_ptr<ViewerSession> session = HostServer::instance().currentSession();
    ASSERT_TRUE(session);
    // What the session sends at its start is taken, up to a round trip after it.
    bool frame = false, cursor = false;
    for (ChannelMessage m; !(frame && cursor);) {
        ASSERT_TRUE(viewer->receive(m, 5000));
        frame = frame || m.type == uint8_t(MsgType::VideoFrame);
        cursor = cursor || m.type == uint8_t(MsgType::Cursor);
    }
    ASSERT_TRUE(viewer->ping());

    // Far below the product's stall time, far above what the command may take.
    session->channel()->connection()->setSendStallMs(8000);
    // More than the loopback buffers hold, as a large video frame would be. Once its first bytes
    // arrive, it holds the channel and stays on it while the viewer reads nothing.
    const Bytes large(16u << 20, 7);
    auto filler = std::async(std::launch::async,
                             [ch = session->channel(), &large] { return ch->send(uint8_t(MsgType::Clipboard), large); });
    ASSERT_TRUE(viewer->conn->waitReadable(5000));

    const int64_t start = nowNanos();
    runTrayCommand(TrayId::LiftCurtain, configStore().get());
    const int64_t took = nowNanos() - start;
    EXPECT_LT(took, 1'000'000'000) << "the tray's thread waited for the viewer";
    EXPECT_NE(filler.wait_for(std::chrono::seconds(0)), std::future_status::ready)
        << "the link took everything: nothing was tested";

    // Once the viewer reads: the large message, then the notice behind it.
    std::vector<uint8_t> types;
    for (ChannelMessage m; types.empty() || types.back() != uint8_t(MsgType::Notice);) {
        ASSERT_TRUE(viewer->receive(m, 10000));
        types.push_back(m.type);
        if (m.type == uint8_t(MsgType::Notice)) {
            EXPECT_EQ(spanToString(m.payload), "원격 PC 에서 화면 가리기를 풀었습니다");
        }
    }
    EXPECT_EQ(types, (std::vector<uint8_t>{uint8_t(MsgType::Clipboard), uint8_t(MsgType::Notice)}));
    EXPECT_TRUE(filler.get());
}

}  // namespace
