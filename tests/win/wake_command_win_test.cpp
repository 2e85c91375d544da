// The wake command in the tray process: its balloons, read back from the icon record the tray
// hands to the notification area, and the worker thread it runs the errand on.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/menu.h"
#include "app/tray.h"
#include "app/wake.h"
#include "core/config/store.h"
#include "host/clipboard.h"
#include "host/protocol/messages.h"
#include "support/clipboard_monitor_win.h"
#include "support/pump_win.h"
#include "support/scripted_host.h"
#include "viewer/session.h"

namespace {

struct Balloon {
    std::wstring title, text;
};
std::vector<Balloon> gBalloons;

// Stands in for the notification area: no icon is there, only the balloons are kept.
BOOL WINAPI recordBalloons(DWORD message, PNOTIFYICONDATAW data) {
    if (message == NIM_MODIFY && (data->uFlags & NIF_INFO)) gBalloons.push_back({data->szInfoTitle, data->szInfo});
    return TRUE;
}

Peer computer(const std::string& name, const std::string& key) {
    Peer p;
    p.name = name;
    p.key = key;
    Json target;
    target.set("mac", "00:11:22:33:44:55");
    target.set("bcast", "192.168.0.255");
    p.wake.push(target);
    return p;
}

class WakeCommand : public ::testing::Test {
protected:
    void SetUp() override {
        TrayProcess& t = tray();
        ownWindow_ = !t.trayWindow;
        if (ownWindow_) {
            ASSERT_TRUE(createTrayWindow(GetModuleHandleW(nullptr)));
        }
        savedNotify_ = t.notifyIcon;
        t.notifyIcon = recordBalloons;
        saved_ = configStore().get();
        gBalloons.clear();
    }
    void TearDown() override {
        pumpMessages();
        TrayProcess& t = tray();
        t.notifyIcon = savedNotify_;
        t.trayIconData.uFlags = 0;
        if (ownWindow_) {
            DestroyWindow(t.trayWindow);
            t.trayWindow = nullptr;
        }
        configStore().update([this](AppConfig& c) { c = saved_; });
    }

private:
    bool ownWindow_ = false;
    BOOL(WINAPI* savedNotify_)(DWORD, PNOTIFYICONDATAW) = nullptr;
    AppConfig saved_;
};

TEST_F(WakeCommand, ASingleComputerCannotBeWokenAndNothingRuns) {
    const Peer target = computer("서재 PC", "dA==");
    configStore().update([&](AppConfig& c) { c.hosts = {target, computer("서재 PC (다시)", "dA==")}; });
    bool asked = false;
    wakeHost(target, [&](const Peer&, const KeyPair&, const Json&, const Bytes&) { return asked = true; });
    ASSERT_EQ(gBalloons.size(), 1u);
    EXPECT_EQ(gBalloons[0].title, L"깨울 수 없습니다");
    EXPECT_EQ(gBalloons[0].text, L"서재 PC 와 같은 망에 켜져 있는 다른 등록 컴퓨터가 있어야 합니다.");
    pumpFor(100);
    EXPECT_EQ(gBalloons.size(), 1u);
    EXPECT_FALSE(asked);
}

TEST_F(WakeCommand, TheWorkerTriesTheOthersOffTheUiThreadAndTheResultComesBackAsABalloon) {
    const Peer target = computer("서재 PC", "dA==");
    configStore().update([&](AppConfig& c) {
        c.hosts = {computer("꺼진 Mac", "YQ=="), target, computer("거실 PC", "Yg=="), computer("노트북", "Yw==")};
    });
    std::mutex mutex;
    std::vector<std::string> tried;
    std::vector<DWORD> threads;
    std::vector<HRESULT> apartments;
    wakeHost(target, [&](const Peer& sender, const KeyPair&, const Json&, const Bytes&) {
        const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // S_FALSE: already in one
        if (SUCCEEDED(joined)) CoUninitialize();
        std::lock_guard<std::mutex> lock(mutex);
        tried.push_back(sender.name);
        threads.push_back(GetCurrentThreadId());
        apartments.push_back(joined);
        return sender.name == "거실 PC";
    });
    ASSERT_EQ(gBalloons.size(), 1u);
    EXPECT_EQ(gBalloons[0].title, L"깨우는 중");
    EXPECT_EQ(gBalloons[0].text, L"서재 PC 에 깨우기 신호를 보낼 컴퓨터를 찾고 있습니다…");
    ASSERT_TRUE(pumpUntil([] { return gBalloons.size() == 2; }, 5000));
    EXPECT_EQ(gBalloons[1].title, L"깨우기");
    EXPECT_EQ(gBalloons[1].text, L"거실 PC 을(를) 통해 서재 PC 에 깨우기 신호를 보냈습니다. 깨어나는 데 10~30초 걸립니다.");
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(tried, (std::vector<std::string>{"꺼진 Mac", "거실 PC"}));
    for (size_t i = 0; i < threads.size(); ++i) {
        EXPECT_NE(threads[i], GetCurrentThreadId());
        EXPECT_EQ(apartments[i], S_FALSE);  // the worker's own multithreaded apartment
    }
}

TEST_F(WakeCommand, WhenNoSenderTakesItTheBalloonSaysSo) {
    const Peer target = computer("서재 PC", "dA==");
    configStore().update([&](AppConfig& c) { c.hosts = {target, computer("꺼진 Mac", "YQ==")}; });
    wakeHost(target, [](const Peer&, const KeyPair&, const Json&, const Bytes&) { return false; });
    ASSERT_TRUE(pumpUntil([] { return gBalloons.size() == 2; }, 5000));
    EXPECT_EQ(gBalloons[1].title, L"깨우기");
    EXPECT_EQ(gBalloons[1].text, L"켜져 있는 다른 등록 컴퓨터에 연결하지 못했습니다.");
}

// The menu's wake command with the product's errand: the first sender is off, the second cannot
// send the signal, the third sends it; the fourth is never contacted.
TEST_F(WakeCommand, TheMenuWakesThroughTheFirstSenderThatSendsTheSignal) {
    ScriptedHost refusing("거실 PC"), taking("서재 노트북"), untouched("작업실 PC");
    Peer off;
    {
        ScriptedHost gone("꺼진 Mac");
        ASSERT_TRUE(gone.start());
        off = gone.peer();
    }
    ASSERT_TRUE(refusing.start() && taking.start() && untouched.start());
    std::thread answers([&] {
        if (refusing.waitFor(MsgType::WakeRequest, 1, 15000)) refusing.send(MsgType::Notice, WakeReply::kNotSent);
        if (taking.waitFor(MsgType::WakeRequest, 1, 15000)) taking.send(MsgType::Notice, WakeReply::kSent);
    });
    Peer target = computer("서재 PC", "dA==");
    configStore().update([&](AppConfig& c) {
        c.relay = RelayConfig();  // no relay: the built-in one is never asked either
        c.hosts = {off, refusing.peer(), target, taking.peer(), untouched.peer()};
    });
    const AppConfig menuCopy = configStore().get();
    runTrayCommand(TrayId::WakeHost + 2, menuCopy);
    ASSERT_TRUE(pumpUntil([] { return gBalloons.size() == 2; }, 20000));
    answers.join();
    EXPECT_EQ(gBalloons[0].title, L"깨우는 중");
    // The last balloon as the tray hands it to the notification area.
    const NOTIFYICONDATAW& shown = tray().trayIconData;
    EXPECT_EQ(std::wstring(shown.szInfoTitle), L"깨우기");
    EXPECT_EQ(std::wstring(shown.szInfo),
              L"서재 노트북 을(를) 통해 서재 PC 에 깨우기 신호를 보냈습니다. 깨어나는 데 10~30초 걸립니다.");
    ASSERT_EQ(refusing.received(MsgType::WakeRequest).size(), 1u);
    EXPECT_EQ(taking.received(MsgType::WakeRequest), std::vector<Bytes>{encodeWakeRequest(target.wake)});
    const std::vector<ChannelMessage> got = taking.received();
    ASSERT_FALSE(got.empty());
    Json request;
    ASSERT_TRUE(Json::parse(spanToString(got[0].payload), request));
    EXPECT_EQ(request.get("purpose").text, "wake");
    EXPECT_EQ(untouched.handshakes(), 0);
}

void copyText(const std::wstring& text) {
    if (!OpenClipboard(nullptr)) return;
    EmptyClipboard();
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    if (HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
        memcpy(GlobalLock(memory), text.c_str(), bytes);
        GlobalUnlock(memory);
        if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    }
    CloseClipboard();
}

// A copy made while a wake session waits for its answer stays on this PC; the same copy reaches
// the host of a session that shares the clipboard.
TEST(WakeErrandWin, TheWakeSessionSharesNoClipboard) {
    ASSERT_TRUE(startClipboardMonitorHere());
    ScriptedHost silent("거실 PC"), sharing("서재 노트북");
    ASSERT_TRUE(silent.start() && sharing.start());
    WakeTiming timing;
    timing.replyWaitMs = 1500;
    std::atomic<bool> finished{false};
    bool taken = false;
    Json wake;
    wake.push(Json());
    std::thread errand([&] {
        taken = sessionWakeErrand(timing)(silent.peer(), newKeyPair(), wakeSessionRequest(), encodeWakeRequest(wake));
        finished = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return !silent.received(MsgType::WakeRequest).empty(); }, 5000));
    copyText(L"깨우는 동안 복사한 글");
    pumpUntil([&] { return finished.load(); }, 10000);
    errand.join();
    EXPECT_TRUE(taken);  // silence counts as delivered
    EXPECT_TRUE(silent.received(MsgType::Clipboard).empty());

    auto session = std::make_shared<ClientSession>(sharing.peer(), newKeyPair(), Bytes(), nullptr, std::string());
    std::string route;
    session->connect(Json(), &route);
    copyText(L"보통 세션에서 복사한 글");
    EXPECT_TRUE(pumpUntil([&] { return !sharing.received(MsgType::Clipboard).empty(); }, 5000));
    session->close();
}

}  // namespace
