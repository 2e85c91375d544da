// The host session over a fake machine: its threads, every dispatcher row, the capture-and-encode
// loop's pacing and recovery, and close.
#include "host/session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "core/frame_trace.h"
#include "core/wire.h"
#include "files/fileio.h"
#include "files/paths.h"
#include "files/transfer_messages.h"
#include "host/history.h"
#include "host/lock.h"
#include "host/power.h"
#include "media/stream.h"
#include "support/channel_pair.h"
#include "support/fake_desktop.h"
#include "support/file_transfer.h"
#include "support/host_hooks.h"
#include "support/log_capture.h"
#include "support/monitors.h"
#include "support/payload_cases.h"
#include "support/session_peer.h"
#include "support/session_timing.h"
#include "support/wait.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

constexpr int64_t kMs = 1'000'000;

Json requestJson(SessionRequest r = SessionRequest()) {
    if (r.os.empty()) r.os = "windows";
    return r.toJson();
}

Json parsedJson(const ChannelMessage& m) {
    Json j;
    EXPECT_TRUE(decodeJson(m.payload, j)) << spanToString(m.payload);
    return j;
}

WindowState shownWindow(ScreenRect bounds) {
    WindowState s;
    s.exists = true;
    s.visible = true;
    s.bounds = bounds;
    return s;
}

class HostSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_unique<ConfigStore>(profile.wide(), L"");
        store->update([](AppConfig& c) {
            c.deviceName = "테스트 호스트";
            c.fileTransfer = true;
        });
        pair = makeChannelPair();
        ASSERT_TRUE(pair.client && pair.host);
        if (readFromStart) peer = std::make_unique<SessionPeer>(pair.client);
        hooks->desktopLocked = [this] { return locked.load(); };
        hooks->lockAgentPresent = [this] { return agent.load(); };
        hooks->lockServiceInstalled = [this] { return service.load(); };
        hooks->sendLockMessage = [this](ByteSpan m) {
            std::lock_guard<std::mutex> lock(mutex);
            lockMessages.emplace_back(m.begin(), m.end());
        };
        hooks->restartSystem = [](uint32_t& error) {
            error = 5;
            return false;
        };
        hooks->sleepSystem = [] { return false; };
        hooks->sendDatagrams = [this](const std::vector<Datagram>& d) {
            datagrams += int(d.size());
            return int(d.size());
        };
    }

    void TearDown() override {
        if (session) session->close();
        // The session's threads use the store and the folders until they let go of it.
        std::weak_ptr<HostSession> last = session;
        session.reset();
        EXPECT_TRUE(waitUntil([&] { return last.expired(); }, 5000));
        EXPECT_EQ(desktop->captureThreads(), 0);
        peer.reset();
    }

    HostSessionOptions options() {
        HostSessionOptions o;
        o.store = store.get();
        o.system = desktop;
        o.timing = shortSessionTiming();
        o.receiveFolder = [this] { return downloads.wide(); };
        o.frameTrace = trace;
        return o;
    }

    std::shared_ptr<HostSession> make(const Json& request = requestJson()) {
        auto s = std::make_shared<HostSession>(pair.host, "뷰어", "a2V5", request, nullptr, options());
        s->onEnded = [this](ViewerSession*) { ++ended; };
        return s;
    }

    void open(const Json& request = requestJson()) {
        session = make(request);
        session->start();
    }

    // The first picture went out: set-up done and streaming.
    void openStreaming(const Json& request = requestJson()) {
        open(request);
        ASSERT_TRUE(peer->next(MsgType::DisplayInfo));
        ASSERT_TRUE(peer->next(MsgType::VideoFrame));
    }

    void handle(MsgType type, ByteSpan payload = {}) {
        session->handle(uint8_t(type), Bytes(payload.begin(), payload.end()));
    }

    std::vector<Bytes> lockSent() {
        std::lock_guard<std::mutex> lock(mutex);
        return lockMessages;
    }

    bool readFromStart = true;  // false: the viewer reads nothing until a test makes `peer`
    TempFolder profile, downloads;
    std::unique_ptr<FrameTrace> ownTrace;
    FrameTrace* trace = nullptr;  // the process's (none in tests) when null
    std::unique_ptr<ConfigStore> store;
    std::shared_ptr<FakeDesktop> desktop = std::make_shared<FakeDesktop>();
    ChannelPair pair;
    std::unique_ptr<SessionPeer> peer;
    std::shared_ptr<HostSession> session;
    ScopedHostHooks hooks;
    LogCapture log;
    std::atomic<bool> locked{false}, agent{false}, service{false};
    std::atomic<int> datagrams{0}, ended{0};
    std::mutex mutex;
    std::vector<Bytes> lockMessages;
};

// ---- Start and stream ----

TEST_F(HostSessionTest, StatusDisplayInfoHeaderAndFramesFromTheStart) {
    open();
    auto status = peer->next(MsgType::Status);
    ASSERT_TRUE(status);
    EXPECT_EQ(spanToString(status->payload), "{\"locked\":false,\"curtain\":false}");

    auto info = peer->next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    const Json j = parsedJson(*info);
    EXPECT_EQ(j.get("name").asString(), "테스트 호스트");
    EXPECT_EQ(j.get("current").number, 0);
    EXPECT_EQ(j.get("width").number, 320);
    EXPECT_EQ(j.get("height").number, 240);
    EXPECT_EQ(j.get("os").asString(), "windows");
    EXPECT_EQ(j.get("displays").items.size(), 1u);
    EXPECT_EQ(j.get("wake").items.size(), 1u);
    EXPECT_FALSE(j.has("window"));

    auto header = peer->next(MsgType::StreamHeader);
    auto frame = peer->next(MsgType::VideoFrame);
    ASSERT_TRUE(header && frame);
    const StreamHeader h = StreamHeader::read(header->payload);
    EXPECT_EQ(h.width, 320u);
    EXPECT_EQ(h.height, 240u);
    EXPECT_EQ(h.parameterSets.size(), 2u);
    const VideoFrameMsg v = VideoFrameMsg::decode(frame->payload);
    EXPECT_EQ(v.frameNumber, 1u);
    EXPECT_TRUE(v.keyFrame);
    EXPECT_TRUE(peer->next(MsgType::Cursor));
    EXPECT_TRUE(log.waitFor("화면 보내기: 디스플레이 0 320x240 60fps fake GDI"));
    EXPECT_TRUE(log.has("캡처 준비 "));
}

TEST_F(HostSessionTest, UnacknowledgedFramesStopAtTheLimitAndResumeAfterExpiry) {
    openStreaming();
    ASSERT_TRUE(peer->waitCount(MsgType::VideoFrame, 3));
    sleepMs(150);  // the screen keeps changing, yet the window is full
    EXPECT_EQ(peer->count(MsgType::VideoFrame), 3u);
    EXPECT_GE(session->captureSnapshot().frames.inFlight(), 3);
    // After the expiry the window opens again.
    EXPECT_TRUE(peer->waitCount(MsgType::VideoFrame, 4, 3000));
}

TEST_F(HostSessionTest, AcknowledgementsKeepTheStreamGoingAndMeasureTheRoundTrip) {
    openStreaming();
    for (uint32_t want = 2; want <= 12; ++want) {
        auto frame = peer->next(MsgType::VideoFrame);
        ASSERT_TRUE(frame) << want;
        peer->send(MsgType::FrameAck, encodeU32(VideoFrameMsg::decode(frame->payload).frameNumber));
    }
    EXPECT_TRUE(waitUntil([&] { return session->captureSnapshot().frames.minRttMs() > 0; }, 3000));
}

TEST_F(HostSessionTest, FrameAckOfAnUnknownFrameChangesNothing) {
    FakeDesktop::Knobs still;
    still.screenChanges = false;
    desktop->setKnobs(still);
    openStreaming();
    ASSERT_TRUE(waitUntil([&] { return session->captureSnapshot().frames.inFlight() == 1; }, 2000));
    handle(MsgType::FrameAck, encodeU32(99));
    EXPECT_EQ(session->captureSnapshot().frames.inFlight(), 1);
    handle(MsgType::FrameAck, encodeU32(1));
    EXPECT_EQ(session->captureSnapshot().frames.inFlight(), 0);
    handle(MsgType::FrameAck, encodeU32(1));
    EXPECT_EQ(session->captureSnapshot().frames.inFlight(), 0);
}

TEST_F(HostSessionTest, KeyFrameRequestOnAStillScreenResendsHeaderAndKeyFrame) {
    FakeDesktop::Knobs still;
    still.screenChanges = false;
    desktop->setKnobs(still);
    openStreaming();
    ASSERT_TRUE(peer->next(MsgType::StreamHeader));
    peer->send(MsgType::KeyFrameRequest);
    ASSERT_TRUE(peer->next(MsgType::StreamHeader));
    auto frame = peer->next(MsgType::VideoFrame);
    ASSERT_TRUE(frame);
    const VideoFrameMsg v = VideoFrameMsg::decode(frame->payload);
    EXPECT_EQ(v.frameNumber, 2u);
    EXPECT_TRUE(v.keyFrame);
    EXPECT_TRUE(waitUntil([&] { return !session->captureSnapshot().keyFrameRequest; }, 1000));
}

// The frame trace names each sent frame with the time its picture was grabbed: a still screen's
// key frame sent again carries the first grab's time, not its own sending time.
TEST_F(HostSessionTest, TracesEachSentFrameWithWhenItsPictureWasGrabbed) {
    // Shared with the writer: the capture thread may still record until TearDown ends it.
    struct Written {
        std::mutex mutex;
        std::vector<std::pair<uint32_t, int64_t>> lines;
    };
    const auto written = std::make_shared<Written>();
    ownTrace = std::make_unique<FrameTrace>([written](std::string_view text) {
        std::istringstream in{std::string(text)};
        std::string event;
        uint32_t number = 0;
        int64_t nanos = 0;
        std::lock_guard<std::mutex> lock(written->mutex);
        while (in >> event >> number >> nanos) {
            EXPECT_EQ(event, "capture");
            written->lines.emplace_back(number, nanos);
        }
        return true;
    });
    trace = ownTrace.get();
    FakeDesktop::Knobs still;
    still.screenChanges = false;
    desktop->setKnobs(still);
    const int64_t before = nowNanos();
    openStreaming();
    const int64_t firstSeen = nowNanos();
    peer->send(MsgType::KeyFrameRequest);
    auto again = peer->next(MsgType::VideoFrame);
    ASSERT_TRUE(again);
    ASSERT_EQ(VideoFrameMsg::decode(again->payload).frameNumber, 2u);
    ASSERT_TRUE(waitUntil([&] {
        trace->flush();
        std::lock_guard<std::mutex> lock(written->mutex);
        return written->lines.size() >= 2;
    }, 3000));
    std::lock_guard<std::mutex> lock(written->mutex);
    const auto& lines = written->lines;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].first, 1u);
    EXPECT_EQ(lines[1].first, 2u);
    EXPECT_GE(lines[0].second, before);
    EXPECT_LE(lines[0].second, firstSeen);
    EXPECT_EQ(lines[1].second, lines[0].second);
}

TEST_F(HostSessionTest, AKeyFrameRequestStaysUntilAKeyFrameWentOut) {
    openStreaming();
    FakeDesktop::Knobs deaf;
    deaf.ignoreKeyRequest = true;
    desktop->setKnobs(deaf);
    handle(MsgType::KeyFrameRequest);
    const size_t before = peer->count(MsgType::VideoFrame);
    // Acknowledge everything so frames keep coming.
    for (size_t n = 0; n < 5;) {
        auto frame = peer->next(MsgType::VideoFrame);
        ASSERT_TRUE(frame);
        const VideoFrameMsg v = VideoFrameMsg::decode(frame->payload);
        peer->send(MsgType::FrameAck, encodeU32(v.frameNumber));
        if (v.frameNumber > before) {
            EXPECT_FALSE(v.keyFrame);
            ++n;
        }
    }
    EXPECT_TRUE(session->captureSnapshot().keyFrameRequest);
    desktop->setKnobs(FakeDesktop::Knobs());
    EXPECT_TRUE(waitUntil([&] { return !session->captureSnapshot().keyFrameRequest; }, 3000));
    const auto forced = desktop->encodeForceFlags();
    EXPECT_TRUE(std::count(forced.begin(), forced.end(), true) >= 5);
}

// ---- Recovery ----

TEST_F(HostSessionTest, FailedSetUpGivesOneNoticeAndRetries) {
    FakeDesktop::Knobs broken;
    broken.failScreenOpen = true;
    desktop->setKnobs(broken);
    open();
    const std::string text = "원격 PC 의 화면을 가져올 수 없습니다. 잠금 화면이거나 화면이 꺼져 있을 수 있습니다.";
    ASSERT_TRUE(peer->waitNotice(text));
    ASSERT_TRUE(waitUntil([&] { return desktop->screenOpens() >= 3; }, 3000));
    EXPECT_EQ(log.count("화면 가져오기 실패"), 1);
    desktop->setKnobs(FakeDesktop::Knobs());
    EXPECT_TRUE(peer->next(MsgType::DisplayInfo, 3000));
    EXPECT_TRUE(peer->next(MsgType::VideoFrame, 3000));
    auto notices = peer->notices();
    EXPECT_EQ(std::count(notices.begin(), notices.end(), text), 1);
}

TEST_F(HostSessionTest, EncoderSizeShrinksUntilAnEncoderOpens) {
    desktop->setMonitors({monitorAt(0, 0, 1000, 500, true)});
    FakeDesktop::Knobs knobs;
    knobs.maxEncoderWidth = 600;
    desktop->setKnobs(knobs);
    openStreaming();
    std::vector<int> widths;
    for (const auto& o : desktop->encoderOpens()) widths.push_back(o.width);
    EXPECT_EQ(widths, (std::vector<int>{1000, 800, 640, 512}));
    EXPECT_EQ(desktop->encoderOpens().back().height, 256);
    EXPECT_EQ(parsedJson(peer->all(MsgType::DisplayInfo).front()).get("width").number, 512);
}

TEST_F(HostSessionTest, NoEncoderOfAnySizeIsAFailedSetUp) {
    FakeDesktop::Knobs knobs;
    knobs.maxEncoderWidth = 10;
    desktop->setKnobs(knobs);
    open();
    ASSERT_TRUE(waitUntil([&] { return desktop->encoderOpens().size() >= 12; }, 3000));
    EXPECT_EQ(desktop->encoderOpens()[5].width, 104);  // the sixth and last try: 320 x 0.32768
    EXPECT_EQ(peer->count(MsgType::DisplayInfo), 0u);
    EXPECT_EQ(log.count("화면 가져오기 실패"), 1);
}

TEST_F(HostSessionTest, FailedEncodeOrGrabSetsUpAgain) {
    openStreaming();
    FakeDesktop::Knobs knobs;
    knobs.failEncodes = 1;
    desktop->setKnobs(knobs);
    ASSERT_TRUE(peer->next(MsgType::DisplayInfo, 15000));
    EXPECT_TRUE(log.has("인코딩 실패 — 다시 시작"));
    EXPECT_EQ(desktop->screenOpens(), 2);

    knobs = FakeDesktop::Knobs();
    knobs.failGrabs = 1;
    desktop->setKnobs(knobs);
    ASSERT_TRUE(peer->next(MsgType::DisplayInfo, 15000));
    EXPECT_EQ(desktop->screenOpens(), 3);
    // Each set-up starts the stream with a key frame again.
    EXPECT_TRUE(peer->waitCount(MsgType::StreamHeader, 3, 15000));
}

TEST_F(HostSessionTest, HeldBackOutputComesOutWithTheNextPicture) {
    FakeDesktop::Knobs knobs;
    knobs.holdBack = true;
    knobs.screenChanges = false;
    desktop->setKnobs(knobs);
    open();
    // The one grabbed picture goes in; the key frame still owed feeds it once more, which brings
    // the first one out. Nothing more is encoded while the screen stands still.
    auto frame = peer->next(MsgType::VideoFrame);
    ASSERT_TRUE(frame);
    EXPECT_TRUE(VideoFrameMsg::decode(frame->payload).keyFrame);
    sleepMs(150);
    EXPECT_EQ(desktop->encodeForceFlags().size(), 2u);
    EXPECT_EQ(peer->count(MsgType::VideoFrame), 1u);
}

// ---- What the viewer changes ----

TEST_F(HostSessionTest, ViewSizeQualityDisplayAndWindowRequests) {
    desktop->setMonitors({monitorAt(0, 0, 640, 480, true), monitorAt(640, 0, 960, 240)});
    desktop->setWindow(0x1234, shownWindow({700, 10, 800, 110}));
    openStreaming();

    peer->send(MsgType::ViewSize, ViewSizeMsg{320, 240}.encode());
    auto info = peer->next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ(parsedJson(*info).get("width").number, 320);

    peer->send(MsgType::Quality, encodeQuality(7));
    ASSERT_TRUE(peer->next(MsgType::DisplayInfo));
    EXPECT_EQ(session->captureSnapshot().quality, 2);
    EXPECT_EQ(desktop->encoderOpens().back().fps, 30);  // quality 2: 30 fps for the encoder

    peer->send(MsgType::SelectDisplay, encodeU8(1));
    info = peer->next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ(parsedJson(*info).get("current").number, 1);
    EXPECT_EQ(session->captureSnapshot().inputTarget, (ScreenRect{640, 0, 960, 240}));

    peer->send(MsgType::FocusWindow, encodeU32(0x1234));
    info = peer->next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    const Json j = parsedJson(*info);
    EXPECT_EQ(j.get("window").get("id").number, 0x1234);
    EXPECT_EQ(desktop->broughtToFront(), std::vector<uint32_t>{0x1234});
    const CaptureState s = session->captureSnapshot();
    EXPECT_EQ(s.region, (StreamRegion{60, 10, 100, 100}));
    EXPECT_EQ(s.inputTarget, (ScreenRect{700, 10, 800, 110}));
    // Logged after DisplayInfo went out.
    EXPECT_TRUE(log.waitFor("창 보내기: 디스플레이 1 "));
}

TEST_F(HostSessionTest, RepeatedViewSizeDoesNotPostponeTheSetUp) {
    FakeDesktop::Knobs still;
    still.screenChanges = false;
    desktop->setKnobs(still);
    openStreaming();
    handle(MsgType::ViewSize, ViewSizeMsg{40, 30}.encode());
    const CaptureState first = session->captureSnapshot();
    ASSERT_TRUE(first.reconfigure);
    sleepMs(5);
    handle(MsgType::ViewSize, ViewSizeMsg{40, 30}.encode());
    EXPECT_EQ(session->captureSnapshot().notBefore, first.notBefore);
    handle(MsgType::ViewSize, ViewSizeMsg{40, 32}.encode());
    EXPECT_GT(session->captureSnapshot().notBefore, first.notBefore);
}

TEST_F(HostSessionTest, FocusOnAClosedWindowStreamsTheWholeDisplay) {
    openStreaming();
    peer->send(MsgType::FocusWindow, encodeU32(0xDEAD));
    ASSERT_TRUE(peer->waitNotice("고른 창을 찾을 수 없습니다"));
    auto info = peer->next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    EXPECT_FALSE(parsedJson(*info).has("window"));
    EXPECT_TRUE(desktop->broughtToFront().empty());
    EXPECT_EQ(session->captureSnapshot().window, 0u);
}

TEST_F(HostSessionTest, AMinimisedWindowIsRestoredForStreaming) {
    WindowState minimised = shownWindow({-32000, -32000, -31840, -31972});
    minimised.minimised = true;
    desktop->setWindow(9, minimised);
    openStreaming();
    handle(MsgType::FocusWindow, encodeU32(9));
    // The fake's restore keeps the minimised place: the window lies on no display.
    ASSERT_TRUE(peer->next(MsgType::DisplayInfo));
    EXPECT_EQ(desktop->restored(), std::vector<uint32_t>{9});
}

TEST_F(HostSessionTest, StreamedWindowFollowsMovesAndIsDroppedWhenGone) {
    desktop->setWindow(5, shownWindow({10, 10, 30, 30}));
    openStreaming();
    handle(MsgType::FocusWindow, encodeU32(5));
    ASSERT_TRUE(peer->next(MsgType::DisplayInfo));
    const size_t infos = peer->count(MsgType::DisplayInfo);

    desktop->setWindow(5, shownWindow({20, 16, 40, 36}));
    ASSERT_TRUE(waitUntil([&] { return session->captureSnapshot().region.x == 20; }, 2000));
    EXPECT_EQ(session->captureSnapshot().region.y, 16);
    EXPECT_EQ(session->captureSnapshot().inputTarget, (ScreenRect{20, 16, 40, 36}));
    sleepMs(100);
    EXPECT_EQ(peer->count(MsgType::DisplayInfo), infos);  // no new set-up for a move

    desktop->setWindow(5, shownWindow({20, 16, 44, 36}));  // resized
    ASSERT_TRUE(peer->waitCount(MsgType::DisplayInfo, infos + 1));

    WindowState minimised = shownWindow({20, 16, 44, 36});
    minimised.minimised = true;
    desktop->setWindow(5, minimised);
    ASSERT_TRUE(peer->waitNotice("프로그램 창이 최소화되었습니다"));
    EXPECT_TRUE(peer->next(MsgType::AppList));
    EXPECT_TRUE(log.has("고른 창이 닫혔거나 최소화됨"));
    ASSERT_TRUE(peer->waitCount(MsgType::DisplayInfo, infos + 2));
    EXPECT_EQ(session->captureSnapshot().window, 0u);

    desktop->setWindow(6, shownWindow({10, 10, 30, 30}));
    handle(MsgType::FocusWindow, encodeU32(6));
    ASSERT_TRUE(peer->waitCount(MsgType::DisplayInfo, infos + 3));
    desktop->removeWindow(6);
    EXPECT_TRUE(peer->waitNotice("프로그램 창이 닫혔습니다"));
}

TEST_F(HostSessionTest, CaretReportsFollowTheFocusedFieldWithoutRepeats) {
    openStreaming();
    auto first = peer->next(MsgType::Caret);
    ASSERT_TRUE(first);
    EXPECT_EQ(spanToString(first->payload), "{\"edit\":false}");
    desktop->setCaret(ScreenRect{80, 60, 160, 120});
    auto caret = peer->next(MsgType::Caret);
    ASSERT_TRUE(caret);
    EXPECT_EQ(spanToString(caret->payload), "{\"edit\":true,\"x\":0.2500,\"y\":0.2500,\"w\":0.2500,\"h\":0.2500}");
    locked = true;  // the secure desktop: no text field of the user
    caret = peer->next(MsgType::Caret);
    ASSERT_TRUE(caret);
    EXPECT_EQ(spanToString(caret->payload), "{\"edit\":false}");
    sleepMs(100);
    const auto all = peer->all(MsgType::Caret);
    for (size_t i = 1; i < all.size(); ++i) EXPECT_NE(all[i].payload, all[i - 1].payload) << i;
}

TEST_F(HostSessionTest, RateStepsRaiseTheRateToTheCeilingAndReachTheEncoder) {
    desktop->setMonitors({monitorAt(0, 0, 1280, 720, true)});
    FakeDesktop::Knobs still;
    still.screenChanges = false;
    desktop->setKnobs(still);
    openStreaming();
    ASSERT_TRUE(waitUntil([&] { return desktop->bitrates().size() >= 2; }, 3000));
    // Nothing skipped: up a tenth a step, from 8 M to the 9,216,000 ceiling of 720p60.
    EXPECT_EQ(desktop->encoderOpens().back().rate, 8'000'000u);
    EXPECT_EQ(desktop->bitrates()[0], 8'800'000u);
    EXPECT_EQ(desktop->bitrates()[1], 9'216'000u);
}

// ---- Input ----

TEST_F(HostSessionTest, KeysGoToTheLockScreenOnlyWhileLockedWithItsAgent) {
    open();
    locked = true;
    agent = true;
    handle(MsgType::Key, encodeKeyEvent(0, 1, 0, false));
    handle(MsgType::Key, encodeKeyEvent(56, 2, 0x20002, false));  // Shift shown down
    handle(MsgType::Key, encodeKeyEvent(56, 2, 0x100, false));    // and up
    handle(MsgType::TypeText, Bytes(1500, 'x'));
    const std::vector<Bytes> sent = lockSent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[0], lockKeyMessage(0, true));
    EXPECT_EQ(sent[1], lockKeyMessage(56, true));
    EXPECT_EQ(sent[2], lockKeyMessage(56, false));
    EXPECT_EQ(sent[3].size(), 1u + 1024u);
    EXPECT_TRUE(desktop->input.records().empty());

    agent = false;  // no agent: typed on the current desktop, up to 4096 bytes
    handle(MsgType::TypeText, Bytes(5000, 'y'));
    EXPECT_EQ(lockSent().size(), 4u);
    EXPECT_EQ(desktop->input.records().size(), 2u * 4096u);
}

TEST_F(HostSessionTest, ModifierChangesAndCapsLock) {
    open();
    struct Case {
        const char* what;
        KeyEvent event;
        size_t records;
    } cases[] = {
        {"Fn is ignored", {63, 2, 0x800000, false}, 0},
        {"Caps Lock is a press and a release", {57, 2, 0x10000, false}, 2},
        {"Shift shown down", {56, 2, 0x20002, false}, 1},
        {"Shift shown up", {56, 2, 0x100, false}, 1},
        {"key down", {0, 1, 0, false}, 1},
        {"key up", {0, 0, 0, false}, 1},
        {"unknown kind", {0, 3, 0, false}, 0},
    };
    for (const Case& c : cases) {
        desktop->input.clear();
        session->keyEvent(c.event);
        EXPECT_EQ(desktop->input.records().size(), c.records) << c.what;
    }
}

TEST_F(HostSessionTest, ShortcutModeFollowsTheViewersSystem) {
    struct Case {
        const char* os;
        bool keymap;
        int atStart;
        uint8_t byte;
        int after;
    } cases[] = {
        {"mac", true, 1, 0, 0}, {"mac", false, 0, 1, 1}, {"windows", true, 0, 1, 0}, {"", false, 0, 1, 0},
    };
    for (const Case& c : cases) {
        SessionRequest r;
        r.os = c.os;
        r.keymap = c.keymap;
        auto s = make(r.toJson());
        EXPECT_EQ(s->shortcutMode(), c.atStart) << c.os << c.keymap;
        s->handle(uint8_t(MsgType::ShortcutMode), encodeSwitch(c.byte != 0));
        EXPECT_EQ(s->shortcutMode(), c.after) << c.os << c.keymap;
    }
    EXPECT_TRUE(log.has("단축키 맞추기 켬"));
    EXPECT_TRUE(log.has("단축키 맞추기 끔"));
}

TEST_F(HostSessionTest, RequestValuesAreClamped) {
    desktop->setMonitors({monitorAt(0, 0, 320, 240, true), monitorAt(320, 0, 640, 240)});
    struct Case {
        const char* json;
        ScreenRect target;
        int quality;
    } cases[] = {
        {"{\"display\":7,\"quality\":-3}", {320, 0, 640, 240}, 0},
        {"{\"display\":-1,\"quality\":9}", {0, 0, 320, 240}, 2},
        {"{\"display\":1,\"quality\":\"x\"}", {320, 0, 640, 240}, 0},
    };
    for (const Case& c : cases) {
        Json request;
        ASSERT_TRUE(Json::parse(c.json, request));
        auto s = make(request);
        EXPECT_EQ(s->captureSnapshot().inputTarget, c.target) << c.json;
        EXPECT_EQ(s->captureSnapshot().quality, c.quality) << c.json;
    }
}

TEST_F(HostSessionTest, MouseWheelComboAndTypedTextReachTheInjector) {
    open();
    peer->send(MsgType::Mouse, MouseEvent{1, 0, 0.5f, 0.5f, 1, 0}.encode());
    peer->send(MsgType::Wheel, WheelEvent{0, 1, false, 0}.encode());
    peer->send(MsgType::KeyCombo, encodeKeyCombo({55, 37, 56}));
    peer->send(MsgType::TypeText, asBytes(std::string("ab")));
    peer->send(MsgType::ReleaseAll);
    ASSERT_TRUE(waitUntil([&] { return desktop->input.records().size() >= 1 + 1 + 6 + 4 + 1; }, 3000));
    const auto records = desktop->input.records();
    EXPECT_EQ(records[0].flags & InputRecord::kLeftDown, InputRecord::kLeftDown);
    EXPECT_EQ(records.back().flags & InputRecord::kLeftUp, InputRecord::kLeftUp);  // released
}

TEST_F(HostSessionTest, AShortKeyMessageIsLoggedAndTheSessionGoesOn) {
    open();
    peer->send(MsgType::Key, Bytes(11, 0));
    EXPECT_TRUE(log.waitFor("메시지 처리 오류: 짧은 메시지"));
    peer->send(MsgType::Ping, encodePing(5));
    EXPECT_TRUE(peer->next(MsgType::Pong));
    EXPECT_TRUE(desktop->input.records().empty());
}

// ---- Lock-screen login, power, wake ----

TEST_F(HostSessionTest, LockLoginAnswersWhatIsMissing) {
    open();
    struct Case {
        bool service, locked, agent;
        const char* notice;
    } cases[] = {
        {false, true, true, "원격 PC 에서 '잠긴 화면에서도 로그인 허용' 을 켜야 합니다"},
        {true, false, true, "원격 PC 화면이 잠겨 있지 않습니다"},
        {true, true, false, "원격 PC 의 잠금 도우미가 응답하지 않습니다"},
    };
    for (const Case& c : cases) {
        service = c.service;
        locked = c.locked;
        agent = c.agent;
        handle(MsgType::LockLogin, asBytes(std::string("암호")));
        EXPECT_TRUE(peer->waitNotice(c.notice)) << c.notice;
    }
    EXPECT_TRUE(lockSent().empty());
    service = locked = agent = true;
    handle(MsgType::LockLogin, Bytes(300, 'p'));
    ASSERT_EQ(lockSent().size(), 1u);
    EXPECT_EQ(lockSent()[0], lockPasswordMessage(std::string(256, 'p')));
    EXPECT_TRUE(log.has("잠긴 화면 로그인 요청 (뷰어)"));
}

TEST_F(HostSessionTest, PowerRequestsReportFailures) {
    open();
    peer->send(MsgType::Power, encodeU8(1));
    EXPECT_TRUE(peer->waitNotice(restartFailureText(5)));
    peer->send(MsgType::Power, encodeU8(2));
    EXPECT_TRUE(peer->waitNotice(kSleepFailureText));
    peer->send(MsgType::Power, encodeU8(3));
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    sleepMs(50);
    EXPECT_EQ(peer->count(MsgType::Notice), 2u);
    EXPECT_TRUE(log.has("다시 시작 요청 (뷰어)"));
    EXPECT_EQ(log.count("잠자기 요청 (뷰어)"), 2);
}

TEST_F(HostSessionTest, WakeRequestSendsThroughTheHooks) {
    open();
    Json target;
    target.set("mac", "aa:bb:cc:dd:ee:ff");
    target.set("bcast", "192.168.1.255");
    Json targets;
    targets.tag = Json::kArray;
    targets.push(target);
    peer->send(MsgType::WakeRequest, encodeWakeRequest(targets));
    EXPECT_TRUE(peer->waitNotice("깨우기 신호를 보냈습니다"));
    EXPECT_EQ(datagrams.load(), 6);
    EXPECT_TRUE(log.has("깨우기 신호 보냄 (뷰어): 6번"));
    Json none;
    none.tag = Json::kArray;
    peer->send(MsgType::WakeRequest, encodeWakeRequest(none));
    EXPECT_TRUE(peer->waitNotice("깨우기 신호를 보내지 못했습니다"));
    peer->send(MsgType::WakeRequest, asBytes(std::string("{not json")));
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    EXPECT_EQ(peer->count(MsgType::Notice), 2u);
}

TEST_F(HostSessionTest, AWakeErrandGetsOnlyPingAndWake) {
    SessionRequest r;
    r.os = "windows";
    r.purpose = "wake";
    r.audio = true;
    open(r.toJson());
    EXPECT_TRUE(peer->next(MsgType::Status));
    peer->send(MsgType::Mouse, MouseEvent{1, 0, 0.5f, 0.5f, 1, 0}.encode());
    peer->send(MsgType::CurtainSwitch, encodeSwitch(true));
    peer->send(MsgType::Chat, asBytes(std::string("안녕")));
    peer->send(MsgType::WakeRequest, encodeWakeRequest(Json()));
    EXPECT_TRUE(peer->waitNotice("깨우기 신호를 보내지 못했습니다"));
    peer->send(MsgType::Ping, Bytes{});
    auto pong = peer->next(MsgType::Pong);
    ASSERT_TRUE(pong);
    EXPECT_TRUE(pong->payload.empty());
    EXPECT_EQ(desktop->captureThreads(), 0);
    EXPECT_EQ(desktop->soundStarts(), 0);
    EXPECT_EQ(desktop->clipboardListeners(), 0);
    EXPECT_TRUE(desktop->input.records().empty());
    EXPECT_FALSE(desktop->curtain());
    EXPECT_TRUE(desktop->chatLines().empty());
    EXPECT_EQ(peer->count(MsgType::DisplayInfo), 0u);
}

// ---- Desktop services ----

TEST_F(HostSessionTest, CurtainSwitchShowsInStatusAndALocalReleaseIsReported) {
    open();
    ASSERT_TRUE(peer->next(MsgType::Status));
    peer->send(MsgType::CurtainSwitch, encodeSwitch(true));
    auto status = peer->next(MsgType::Status);
    ASSERT_TRUE(status);
    EXPECT_EQ(spanToString(status->payload), "{\"locked\":false,\"curtain\":true}");
    EXPECT_TRUE(log.has("화면 가리기 켬 (뷰어)"));
    desktop->localCurtainRelease();
    EXPECT_TRUE(peer->waitNotice("원격 PC 앞자리에서 화면 가리기를 풀었습니다"));
    status = peer->next(MsgType::Status);
    ASSERT_TRUE(status);
    EXPECT_EQ(spanToString(status->payload), "{\"locked\":false,\"curtain\":false}");
    locked = true;
    status = peer->next(MsgType::Status);
    ASSERT_TRUE(status);
    EXPECT_EQ(spanToString(status->payload), "{\"locked\":true,\"curtain\":false}");
    EXPECT_TRUE(log.waitFor("원격 화면 잠김 — 내 쪽에 알림"));
}

TEST_F(HostSessionTest, ClipboardBothWays) {
    open();
    peer->send(MsgType::Clipboard, Bytes{1, 'h', 'i'});
    ASSERT_TRUE(waitUntil([&] { return desktop->appliedClipboard().size() == 1; }, 3000));
    EXPECT_EQ(desktop->appliedClipboard()[0], (Bytes{1, 'h', 'i'}));
    ASSERT_EQ(desktop->clipboardListeners(), 1);
    for (uint8_t i = 0; i < 20; ++i) desktop->clipboardChanged(Bytes{1, uint8_t('a' + i)});
    // The newest always goes out; older ones may be replaced before they do.
    ASSERT_TRUE(waitUntil([&] {
        auto all = peer->all(MsgType::Clipboard);
        return !all.empty() && all.back().payload == Bytes{1, uint8_t('a' + 19)};
    }, 3000));
    session->close();
    EXPECT_EQ(desktop->clipboardListeners(), 0);
}

TEST_F(HostSessionTest, ClipboardSwitchedOffIsNeitherTakenNorWatched) {
    session = make();
    session->clipboard = false;
    session->start();
    peer->send(MsgType::Clipboard, Bytes{1, 'h'});
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    EXPECT_TRUE(desktop->appliedClipboard().empty());
    EXPECT_EQ(desktop->clipboardListeners(), 0);
}

TEST_F(HostSessionTest, ChatBothWays) {
    open();
    peer->send(MsgType::Chat, Bytes(9000, 'c'));
    ASSERT_TRUE(waitUntil([&] { return desktop->chatLines().size() == 1; }, 3000));
    EXPECT_EQ(desktop->chatLines()[0], std::string(8000, 'c'));
    desktop->typeChatLine("안녕하세요");
    auto line = peer->next(MsgType::Chat);
    ASSERT_TRUE(line);
    EXPECT_EQ(spanToString(line->payload), "안녕하세요");
    session->openChat();
    EXPECT_EQ(desktop->chatShows(), 1);
}

TEST_F(HostSessionTest, SoundFollowsTheRequestAndTheSwitch) {
    SessionRequest r;
    r.audio = true;
    open(requestJson(r));
    ASSERT_TRUE(peer->next(MsgType::AudioFormat));
    ASSERT_TRUE(peer->next(MsgType::AudioFrame));
    peer->send(MsgType::AudioSwitch, encodeSwitch(false));
    ASSERT_TRUE(waitUntil([&] { return !desktop->soundRunning(); }, 3000));
    peer->send(MsgType::AudioSwitch, encodeSwitch(true));
    EXPECT_TRUE(peer->next(MsgType::AudioFormat));
    EXPECT_EQ(desktop->soundStarts(), 2);
}

// ---- Catalogue ----

TEST_F(HostSessionTest, CatalogueRequestsShareOneThread) {
    open();
    desktop->setCatalogueDelayMs(100);
    for (int i = 0; i < 5; ++i) peer->send(MsgType::ListApps);
    ASSERT_TRUE(peer->waitCount(MsgType::AppList, 2));
    sleepMs(250);
    EXPECT_EQ(desktop->catalogueThreadsAtOnce(), 1);
    EXPECT_LE(peer->count(MsgType::AppList), 3u);
}

TEST_F(HostSessionTest, LaunchShowsTheProgramBeingStartedAndStreamsItsWindow) {
    desktop->setWindow(77, shownWindow({10, 10, 200, 150}));
    openStreaming();
    peer->send(MsgType::LaunchProgram, Bytes(3000, 'p'));
    auto list = peer->next(MsgType::AppList);
    ASSERT_TRUE(list);
    EXPECT_EQ(parsedJson(*list).get("launching").asString(), "메모장");
    list = peer->next(MsgType::AppList);
    ASSERT_TRUE(list);
    EXPECT_FALSE(parsedJson(*list).has("launching"));
    ASSERT_EQ(desktop->launches().size(), 1u);
    EXPECT_EQ(desktop->launches()[0].size(), 2048u);
    auto info = peer->next(MsgType::DisplayInfo);
    ASSERT_TRUE(info);
    EXPECT_EQ(parsedJson(*info).get("window").get("id").number, 77);
}

// ---- Files ----

// The viewer uploads one file as the file sender would.
void upload(SessionPeer& peer, uint32_t id, const std::string& name, const Bytes& data) {
    FileBeginMsg begin;
    begin.id = id + 1;
    begin.batchId = id;
    begin.count = 1;
    begin.size = begin.total = data.size();
    begin.path = name;
    peer.send(MsgType::FileBegin, begin.encode());
    peer.send(MsgType::FileData, concatBytes({idPayload(id + 1), data}));
    peer.send(MsgType::FileEnd, idPayload(id + 1));
}

TEST_F(HostSessionTest, FileRequestsWithTransferSwitchedOff) {
    TempFolder chosen;
    const std::string chosenText = utf8FromWide(chosen.wide());
    store->update([](AppConfig& c) { c.fileTransfer = false; });
    desktop->setFolders(true, [](const std::string&) { return std::string("{}"); }, {chosenText});
    open();
    peer->send(MsgType::PasteFiles);
    peer->send(MsgType::SendFiles, encodeSendFiles({chosenText}));
    peer->sendText(MsgType::ListFolder, "C:\\Users");
    peer->sendText(MsgType::SetDownloadFolder, chosenText);
    for (int i = 0; i < 2; ++i) {
        auto refused = peer->next(MsgType::FileRefused);
        ASSERT_TRUE(refused);
        const IdTextMsg m = IdTextMsg::decode(refused->payload);
        EXPECT_EQ(m.id, 0u);
        EXPECT_EQ(m.text, kFileTransferOff);
    }
    auto listing = peer->next(MsgType::FolderListing);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->payload, encodeFolderListingRefusal("C:\\Users"));
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    EXPECT_TRUE(peer->notices().empty());
    // The folder named while the switch was off was not taken: a batch after the switch goes on
    // lands in the default folder.
    store->update([](AppConfig& c) { c.fileTransfer = true; });
    upload(*peer, 1, "after.txt", Bytes(10, 'a'));
    ASSERT_TRUE(peer->next(MsgType::FileSaved));
    EXPECT_TRUE(pathExists(longPath(downloads / L"after.txt")));
}

// Switching file transfer off mid-batch stops the batch the host is sending (the viewer learns
// why) and refuses the rest of the one it is receiving; no further file is read or written.
TEST_F(HostSessionTest, SwitchingFileTransferOffStopsBatchesUnderWay) {
    const std::wstring big = profile / L"big.bin", small = profile / L"small.txt";
    {
        FileHandle h = FileHandle::createForWriting(longPath(big), kAttrNormal);
        ASSERT_TRUE(h.valid());
        const Bytes block(1 << 20, 'b');
        for (int i = 0; i < 6; ++i) ASSERT_EQ(h.write(block.data(), block.size()), 0u);
        FileHandle t = FileHandle::createForWriting(longPath(small), kAttrNormal);
        ASSERT_TRUE(t.valid());
    }
    open();
    // Sending: the viewer acknowledges nothing, so the host waits in its window.
    peer->send(MsgType::SendFiles, encodeSendFiles({utf8FromWide(big), utf8FromWide(small)}));
    ASSERT_TRUE(peer->waitCount(MsgType::FileData, 33));
    // Receiving: one file saved, the next one open.
    auto header = [](uint32_t id, uint32_t index, const std::string& name, uint64_t size) {
        return FileBeginMsg{id, 1, index, 3, size, 30, name}.encode();
    };
    peer->send(MsgType::FileBegin, header(2, 0, "a.txt", 10));
    peer->send(MsgType::FileData, concatBytes({idPayload(2), Bytes(10, 'a')}));
    peer->send(MsgType::FileEnd, idPayload(2));
    ASSERT_TRUE(peer->next(MsgType::FileSaved));
    peer->send(MsgType::FileBegin, header(3, 1, "b.txt", 10));
    peer->send(MsgType::FileData, concatBytes({idPayload(3), Bytes(5, 'b')}));
    ASSERT_TRUE(peer->waitCount(MsgType::FileAck, 2));

    store->update([](AppConfig& c) { c.fileTransfer = false; });
    auto abort = peer->next(MsgType::FileAbort);
    ASSERT_TRUE(abort);
    EXPECT_EQ(IdTextMsg::decode(abort->payload).text, kFileTransferOff);
    auto refused = peer->next(MsgType::FileRefused);
    ASSERT_TRUE(refused);
    EXPECT_EQ(IdTextMsg::decode(refused->payload).id, 3u);
    EXPECT_EQ(IdTextMsg::decode(refused->payload).text, "파일 받기가 꺼져 있습니다");
    EXPECT_TRUE(log.waitFor("파일 주고받기가 꺼져 진행 중이던 파일 전송을 멈춤 (뷰어)"));
    EXPECT_TRUE(log.waitFor("파일 보냄 (뷰어): " + std::string(kFileTransferOff)));

    // The rest of the upload finds nothing open and no permit.
    peer->send(MsgType::FileData, concatBytes({idPayload(3), Bytes(5, 'b')}));
    peer->send(MsgType::FileEnd, idPayload(3));
    peer->send(MsgType::FileBegin, header(4, 2, "c.txt", 10));
    peer->send(MsgType::FileData, concatBytes({idPayload(4), Bytes(10, 'c')}));
    peer->send(MsgType::FileEnd, idPayload(4));
    refused = peer->next(MsgType::FileRefused);
    ASSERT_TRUE(refused);
    EXPECT_EQ(IdTextMsg::decode(refused->payload).id, 4u);
    EXPECT_EQ(IdTextMsg::decode(refused->payload).text, "파일 받기가 꺼져 있습니다");
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    std::set<std::string> names;  // beside each saved file its zone mark, a file natively
    for (const auto& [name, content] : treeOf(downloads.path()))
        if (name.find(":Zone.Identifier") == std::string::npos) names.insert(name);
    EXPECT_EQ(names, std::set<std::string>{"a.txt"});
    EXPECT_EQ(peer->count(MsgType::FileSaved), 1u);
    EXPECT_EQ(peer->count(MsgType::FileBegin), 1u);  // the second file was never announced
    EXPECT_EQ(peer->count(MsgType::FileAbort), 1u);
    EXPECT_EQ(log.count("파일 주고받기가 꺼져 진행 중이던 파일 전송을 멈춤 (뷰어)"), 1);
}

// The switch is read for every file message, not at the status loop's next pass (which this
// session makes only at its start): of a batch admitted before the switch, neither the file
// that was open nor the one that begins after it is written.
TEST_F(HostSessionTest, NothingOfAnAdmittedBatchIsWrittenAfterTheSwitch) {
    HostSessionOptions o = options();
    o.timing.statusPassMs = 600000;
    session = std::make_shared<HostSession>(pair.host, "뷰어", "a2V5", requestJson(), nullptr, o);
    session->start();
    auto header = [](uint32_t id, uint32_t index, const std::string& name) {
        return FileBeginMsg{id, 1, index, 3, 2, 6, name}.encode();
    };
    peer->send(MsgType::FileBegin, header(2, 0, "a.txt"));
    peer->send(MsgType::FileData, concatBytes({idPayload(2), Bytes(2, 'a')}));
    peer->send(MsgType::FileEnd, idPayload(2));
    ASSERT_TRUE(peer->next(MsgType::FileSaved));
    peer->send(MsgType::FileBegin, header(3, 1, "b.txt"));
    ASSERT_TRUE(peer->waitCount(MsgType::Status, 1));
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));  // the header was handled

    store->update([](AppConfig& c) { c.fileTransfer = false; });
    peer->send(MsgType::FileData, concatBytes({idPayload(3), Bytes(2, 'b')}));
    peer->send(MsgType::FileEnd, idPayload(3));
    peer->send(MsgType::FileBegin, header(4, 2, "c.txt"));
    peer->send(MsgType::FileData, concatBytes({idPayload(4), Bytes(2, 'c')}));
    peer->send(MsgType::FileEnd, idPayload(4));
    peer->send(MsgType::Ping, encodePing(2));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    std::map<uint32_t, std::string> refusals;
    for (const ChannelMessage& m : peer->all(MsgType::FileRefused))
        refusals[IdTextMsg::decode(m.payload).id] = IdTextMsg::decode(m.payload).text;
    EXPECT_EQ(refusals, (std::map<uint32_t, std::string>{{3, "파일 받기가 꺼져 있습니다"}, {4, "파일 받기가 꺼져 있습니다"}}));
    std::set<std::string> names;  // beside each saved file its zone mark, a file natively
    for (const auto& [name, content] : treeOf(downloads.path()))
        if (name.find(":Zone.Identifier") == std::string::npos) names.insert(name);
    EXPECT_EQ(names, std::set<std::string>{"a.txt"});
    EXPECT_EQ(peer->count(MsgType::FileSaved), 1u);
    EXPECT_TRUE(log.waitFor("파일 주고받기가 꺼져 진행 중이던 파일 전송을 멈춤 (뷰어)"));
}

TEST_F(HostSessionTest, FileRequestsThatFindNothing) {
    open();
    peer->send(MsgType::PasteFiles);
    peer->send(MsgType::SendFiles, asBytes(std::string("[not json")));
    peer->send(MsgType::SendFiles, encodeSendFiles({utf8FromWide(profile / L"missing.txt")}));
    peer->sendText(MsgType::ListFolder, "C:\\");
    peer->sendText(MsgType::SetDownloadFolder, "Z:\\nowhere");
    const char* want[] = {kNoCopiedFiles, kFileTransferOff, kNoFilesFound};
    for (const char* text : want) {
        auto refused = peer->next(MsgType::FileRefused);
        ASSERT_TRUE(refused);
        EXPECT_EQ(IdTextMsg::decode(refused->payload).text, text);
    }
    // No listing is built in this machine: the answer is the refusal.
    auto listing = peer->next(MsgType::FolderListing);
    ASSERT_TRUE(listing);
    EXPECT_EQ(listing->payload, encodeFolderListingRefusal("C:\\"));
    EXPECT_TRUE(peer->waitNotice("그 폴더에는 저장할 수 없어 다운로드 폴더에 둡니다"));
}

// A viewer that repeats its requests while confirming nothing gets a refusal once a few batches
// wait behind the running one, instead of making the host hold every request.
TEST_F(HostSessionTest, RequestsBeyondAFewWaitingBatchesAreRefused) {
    const std::wstring file = profile / L"보낼.txt";
    ASSERT_TRUE(writeFileAtomic(file, asBytes(std::string("abc"))));
    desktop->setClipboardFiles({file});
    open();
    const Bytes request = encodeSendFiles({utf8FromWide(file)});
    peer->send(MsgType::SendFiles, request);
    // The first batch runs and waits for a FileSaved that never comes.
    ASSERT_TRUE(peer->next(MsgType::FileEnd));
    for (int i = 0; i < 20; ++i) peer->send(MsgType::SendFiles, request);
    peer->send(MsgType::PasteFiles);
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    size_t busy = 0;
    for (const ChannelMessage& m : peer->all(MsgType::FileRefused)) {
        const IdTextMsg refusal = IdTextMsg::decode(m.payload);
        EXPECT_EQ(refusal.id, 0u);
        busy += refusal.text == kSenderBusy;
    }
    EXPECT_EQ(busy, 17u);  // 4 of the 21 requests wait; the rest are refused
    EXPECT_EQ(log.count("파일 보내기 요청 (뷰어): 1개"), 5);
    EXPECT_EQ(peer->count(MsgType::FileBegin), 1u);
}

TEST_F(HostSessionTest, SendFilesAndListFolderServeTheViewer) {
    const std::wstring file = profile / L"보낼.txt";
    {
        FileHandle h = FileHandle::createForWriting(longPath(file), kAttrNormal);
        ASSERT_TRUE(h.valid());
        const Bytes text(100, 't');
        ASSERT_EQ(h.write(text.data(), text.size()), 0u);
    }
    desktop->setFolders(true, [](const std::string& path) { return "{\"path\":\"" + path + "\"}"; }, {});
    open();
    peer->send(MsgType::SendFiles, encodeSendFiles({utf8FromWide(file), "/no/such"}));
    auto begin = peer->next(MsgType::FileBegin);
    ASSERT_TRUE(begin);
    EXPECT_EQ(FileBeginMsg::decode(begin->payload).path, "보낼.txt");
    EXPECT_TRUE(log.has("파일 보내기 요청 (뷰어): 1개"));
    peer->sendText(MsgType::ListFolder, "D:");
    auto listing = peer->next(MsgType::FolderListing);
    ASSERT_TRUE(listing);
    EXPECT_EQ(spanToString(listing->payload), "{\"path\":\"D:\"}");
}

TEST_F(HostSessionTest, AChosenUploadFolderTakesOneBatch) {
    TempFolder chosen;
    const std::string chosenText = utf8FromWide(chosen.wide());
    desktop->setFolders(false, nullptr, {chosenText});
    open();
    peer->sendText(MsgType::SetDownloadFolder, chosenText);
    upload(*peer, 1, "first.txt", Bytes(1500, 'a'));
    ASSERT_TRUE(peer->next(MsgType::FileSaved));
    upload(*peer, 10, "second.txt", Bytes(10, 'b'));
    ASSERT_TRUE(peer->next(MsgType::FileSaved));
    EXPECT_TRUE(pathExists(longPath(chosen / L"first.txt")));
    EXPECT_TRUE(pathExists(longPath(downloads / L"second.txt")));
    EXPECT_TRUE(log.waitFor("파일 받음 (뷰어): " + utf8FromWide(chosen / L"first.txt") + " 2 KB"));
}

TEST_F(HostSessionTest, AnUploadFolderExpires) {
    TempFolder chosen;
    const std::string chosenText = utf8FromWide(chosen.wide());
    desktop->setFolders(false, nullptr, {chosenText});
    HostSessionOptions o;
    o.store = store.get();
    o.system = desktop;
    o.timing = shortSessionTiming();
    o.timing.uploadFolderNs = 50 * kMs;
    o.receiveFolder = [this] { return downloads.wide(); };
    session = std::make_shared<HostSession>(pair.host, "뷰어", "a2V5", requestJson(), nullptr, o);
    session->start();
    peer->sendText(MsgType::SetDownloadFolder, chosenText);
    sleepMs(150);
    upload(*peer, 1, "late.txt", Bytes(10, 'a'));
    ASSERT_TRUE(peer->next(MsgType::FileSaved));
    EXPECT_TRUE(pathExists(longPath(downloads / L"late.txt")));
}

// ---- Payload limits ----

// Every type the host takes, at its limit and one byte over, through the receive loop: the first
// is taken, the second dropped with one log line naming type and size (a text the host keeps a
// prefix of is cut instead), and the session goes on.
TEST_F(HostSessionTest, EveryTypeIsTakenUpToItsLimitAndDroppedBeyondIt) {
    open();
    const std::string dropped = "너무 큰 메시지를 버림";
    uint64_t marker = 0;
    // Everything sent before it has been handled. Tens of MiB through the channel take seconds on
    // a slow machine, hence the long bound.
    auto handled = [&] {
        const Bytes ping = encodePing(++marker);
        if (!peer->send(MsgType::Ping, ping)) return false;
        while (auto pong = peer->next(MsgType::Pong, 120000))
            if (pong->payload == ping) return true;
        return false;
    };
    for (const PayloadCase& c : everyMessageType()) {
        // The request is taken by the admission before a session exists (server tests).
        if (!receivedBy(c, MsgEnd::Host) || c.type == MsgType::SessionRequest) continue;
        SCOPED_TRACE("type " + std::to_string(int(c.type)));
        const size_t limit = maxPayload(c.type);
        const int before = log.count(dropped);
        ASSERT_TRUE(peer->send(c.type, payloadOfSize(c, limit)));
        ASSERT_TRUE(handled());
        EXPECT_EQ(log.count(dropped), before);
        ASSERT_TRUE(peer->send(c.type, payloadOfSize(c, limit + 1)));
        ASSERT_TRUE(handled());
        EXPECT_EQ(log.count(dropped), before + (c.prefix ? 0 : 1));
        if (!c.prefix) {
            EXPECT_TRUE(log.has(dropped + " (종류 " + std::to_string(int(c.type)) + ", " + std::to_string(limit + 1) +
                                "바이트)"));
        }
    }
    EXPECT_FALSE(session->stopped());
}

// ---- Close ----

TEST_F(HostSessionTest, CloseEndsEverythingOnce) {
    const double at = addConnectionRecord("뷰어", "등록한 기기", "직접");
    SessionRequest r;
    r.audio = true;
    session = make(requestJson(r));
    session->historyId = at;
    session->start();
    ASSERT_TRUE(peer->next(MsgType::VideoFrame));
    peer->send(MsgType::Chat, asBytes(std::string("hi")));
    peer->send(MsgType::CurtainSwitch, encodeSwitch(true));
    peer->send(MsgType::Mouse, MouseEvent{1, 0, 0.5f, 0.5f, 1, 0}.encode());
    ASSERT_TRUE(waitUntil([&] { return desktop->curtain() && !desktop->input.records().empty(); }, 3000));

    session->close();
    session->close();
    EXPECT_TRUE(peer->waitClosed());
    EXPECT_EQ(ended.load(), 1);
    EXPECT_FALSE(desktop->curtain());
    EXPECT_FALSE(desktop->soundRunning());
    EXPECT_EQ(desktop->chatNotes(), std::vector<std::string>{"연결이 끊겼습니다"});
    const auto records = desktop->input.records();
    EXPECT_EQ(records.back().flags & InputRecord::kLeftUp, InputRecord::kLeftUp);
    EXPECT_TRUE(waitUntil([&] { return desktop->captureThreads() == 0; }, 3000));
    bool endSet = false;
    for (const Json& rec : loadHistory().items)
        if (rec.get("at").number == at) endSet = rec.has("end");
    EXPECT_TRUE(endSet);
}

TEST_F(HostSessionTest, TheViewerLeavingClosesTheSession) {
    open();
    ASSERT_TRUE(peer->next(MsgType::Status));
    peer->hangUp();
    EXPECT_TRUE(waitUntil([&] { return ended.load() == 1; }, 3000));
    EXPECT_TRUE(session->stopped());
}

TEST_F(HostSessionTest, LateCurtainOrInputAfterCloseLeavesNothingOn) {
    open();
    session->close();
    const size_t released = desktop->input.records().size();
    handle(MsgType::CurtainSwitch, encodeSwitch(true));
    handle(MsgType::Mouse, MouseEvent{1, 0, 0.5f, 0.5f, 1, 0}.encode());
    handle(MsgType::Key, encodeKeyEvent(0, 1, 0, false));
    handle(MsgType::KeyCombo, encodeKeyCombo({0}));
    handle(MsgType::AudioSwitch, encodeSwitch(true));
    handle(MsgType::Chat, asBytes(std::string("늦은 말")));
    handle(MsgType::Clipboard, asBytes(std::string("{\"text\":\"x\"}")));
    handle(MsgType::FocusWindow, encodeU32(77));
    handle(MsgType::ListApps);
    EXPECT_FALSE(desktop->curtain());
    EXPECT_EQ(desktop->input.records().size(), released);
    EXPECT_FALSE(desktop->soundRunning());
    EXPECT_TRUE(desktop->chatLines().empty());
    EXPECT_TRUE(desktop->appliedClipboard().empty());
    EXPECT_TRUE(desktop->broughtToFront().empty());
    EXPECT_EQ(desktop->appListsSent(), 0);
}

// A message that passed the stop check when close began: held there (the seam stands for a slow
// system call) until close has returned, it must still change nothing, through the check each
// handler makes under the lock close takes.
TEST_F(HostSessionTest, AMessageHeldWhileCloseRunsChangesNothing) {
    const std::wstring file = profile / L"보낼.txt";
    ASSERT_TRUE(writeFileAtomic(file, asBytes(std::string("abc"))));
    desktop->setClipboardFiles({file});
    const struct {
        const char* what;
        MsgType type;
        Bytes payload;
        bool lockScreen;
    } cases[] = {
        {"curtain", MsgType::CurtainSwitch, encodeSwitch(true), false},
        {"mouse", MsgType::Mouse, MouseEvent{1, 0, 0.5f, 0.5f, 1, 0}.encode(), false},
        {"key", MsgType::Key, encodeKeyEvent(0, 1, 0, false), false},
        {"key combo", MsgType::KeyCombo, encodeKeyCombo({0}), false},
        {"sound", MsgType::AudioSwitch, encodeSwitch(true), false},
        {"chat", MsgType::Chat, bytesOf("늦은 말"), false},
        {"clipboard", MsgType::Clipboard, bytesOf("{\"text\":\"x\"}"), false},
        {"lock-screen key", MsgType::Key, encodeKeyEvent(0, 1, 0, false), true},
        {"lock-screen text", MsgType::TypeText, bytesOf("abc"), true},
        {"lock-screen login", MsgType::LockLogin, bytesOf("암호"), true},
        {"send files", MsgType::SendFiles, encodeSendFiles({utf8FromWide(file)}), false},
        {"incoming file", MsgType::FileBegin, FileBeginMsg{2, 1, 0, 1, 3, 3, "늦은.txt"}.encode(), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        locked = agent = service = c.lockScreen;
        std::mutex m;
        std::condition_variable changed;
        bool held = false, released = false;
        HostSessionOptions o = options();
        o.admitted = [&](unsigned char) {
            std::unique_lock<std::mutex> lock(m);
            held = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        };
        ChannelPair own = makeChannelPair();
        auto s = std::make_shared<HostSession>(own.host, "뷰어", "a2V5", requestJson(), nullptr, o);
        const size_t inputs = desktop->input.records().size(), lockMessagesBefore = lockSent().size();
        auto handler = std::async(std::launch::async, [&] { s->handle(uint8_t(c.type), c.payload); });
        {
            std::unique_lock<std::mutex> lock(m);
            ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return held; }));
        }
        auto closing = std::async(std::launch::async, [&] { s->close(); });
        const bool closed = closing.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        {
            std::lock_guard<std::mutex> lock(m);
            released = true;
            changed.notify_all();
        }
        handler.wait();
        closing.wait();
        EXPECT_TRUE(closed) << "close waited for the held message";
        EXPECT_FALSE(desktop->curtain());
        EXPECT_EQ(desktop->input.records().size(), inputs);
        EXPECT_FALSE(desktop->soundRunning());
        EXPECT_TRUE(desktop->chatLines().empty());
        EXPECT_TRUE(desktop->appliedClipboard().empty());
        EXPECT_EQ(lockSent().size(), lockMessagesBefore);
        EXPECT_FALSE(log.has("파일 보내기 요청"));
        EXPECT_FALSE(log.has("화면 가리기"));
        EXPECT_FALSE(log.has("잠긴 화면 로그인 요청"));
        EXPECT_TRUE(treeOf(downloads.path()).empty());
        std::weak_ptr<HostSession> last = s;
        s.reset();
        EXPECT_TRUE(waitUntil([&] { return last.expired(); }, 5000));
    }
}

// A second session on the same PC (the curtain is the PC's), on a connection of its own; closed
// and let go of by the destructor.
class OtherSession {
public:
    OtherSession(const HostSessionOptions& options, const Json& request) : pair_(makeChannelPair()) {
        session = std::make_shared<HostSession>(pair_.host, "다른 뷰어", "b3RoZXI=", request, nullptr, options);
        session->start();
    }
    ~OtherSession() {
        session->close();
        std::weak_ptr<HostSession> last = session;
        session.reset();
        EXPECT_TRUE(waitUntil([&] { return last.expired(); }, 5000));
    }
    std::shared_ptr<HostSession> session;

private:
    ChannelPair pair_;
};

TEST_F(HostSessionTest, OnlyTheSessionThatRaisedTheCurtainLowersIt) {
    open();
    handle(MsgType::CurtainSwitch, encodeSwitch(true));
    ASSERT_TRUE(desktop->curtain());
    SessionRequest wake;
    wake.os = "windows";
    wake.purpose = "wake";
    for (const Json& request : {wake.toJson(), requestJson()}) {
        OtherSession other(options(), request);
        other.session->close();
        EXPECT_TRUE(desktop->curtain()) << request.dump();
    }
    // Lowered and raised again by its own viewer: still its curtain.
    handle(MsgType::CurtainSwitch, encodeSwitch(false));
    handle(MsgType::CurtainSwitch, encodeSwitch(true));
    session->close();
    EXPECT_FALSE(desktop->curtain());
}

TEST_F(HostSessionTest, ALateCurtainSwitchOfAClosedSessionKeepsTheLiveSessionsRelease) {
    open();
    ASSERT_TRUE(peer->next(MsgType::Status));
    OtherSession replaced(options(), requestJson());
    replaced.session->close();
    handle(MsgType::CurtainSwitch, encodeSwitch(true));
    replaced.session->handle(uint8_t(MsgType::CurtainSwitch), encodeSwitch(true));
    desktop->localCurtainRelease();
    EXPECT_TRUE(peer->waitNotice("원격 PC 앞자리에서 화면 가리기를 풀었습니다"));
}

TEST_F(HostSessionTest, KeysOnTheLockScreenAreReleasedAtCloseAndNoneGoThereAfter) {
    open();
    locked = true;
    agent = true;
    handle(MsgType::Key, encodeKeyEvent(56, 1, 0, false));  // Shift down
    handle(MsgType::Key, encodeKeyEvent(0, 1, 0, false));   // A down
    handle(MsgType::Key, encodeKeyEvent(0, 0, 0, false));   // and up again
    ASSERT_EQ(lockSent().size(), 3u);
    session->close();
    std::vector<Bytes> sent = lockSent();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3], lockKeyMessage(56, false));
    handle(MsgType::Key, encodeKeyEvent(59, 1, 0, false));
    handle(MsgType::TypeText, asBytes(std::string("abc")));
    EXPECT_EQ(lockSent().size(), 4u);
}

TEST_F(HostSessionTest, NoTransferStartsAfterClose) {
    const std::wstring file = profile / L"보낼.txt";
    ASSERT_TRUE(writeFileAtomic(file, asBytes(std::string("abc"))));
    desktop->setClipboardFiles({file});
    open();
    session->close();
    handle(MsgType::SendFiles, encodeSendFiles({utf8FromWide(file)}));
    handle(MsgType::PasteFiles);
    EXPECT_FALSE(log.has("파일 보내기 요청"));
}

#ifndef _WIN32
// close (the tray's disconnect) returns while the receive thread is inside a file write that
// does not end, as on a stalled share; the part file is dropped once the write comes back. The
// part file's descriptor leads to a pipe here, which the test drains only after close.
TEST_F(HostSessionTest, CloseDoesNotWaitForAFileWrite) {
    open();
    peer->send(MsgType::FileBegin, FileBeginMsg{2, 1, 0, 1, 1u << 20, 1u << 20, "a.txt"}.encode());
    peer->send(MsgType::Ping, encodePing(1));
    ASSERT_TRUE(peer->next(MsgType::Pong));
    const std::filesystem::path part = downloads.path() / ".a.txt.tavrel-part";
    PipeUnderFile pipe(part);
    ASSERT_TRUE(pipe.ready());
    peer->send(MsgType::FileData, concatBytes({idPayload(2), Bytes(pipe.capacity() * 2, 'x')}));
    ASSERT_TRUE(waitUntil([&] { return pipe.full(); }, 5000));
    auto closing = std::async(std::launch::async, [&] { session->close(); });
    const bool returned = closing.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    const bool dropped = waitUntil([&] {
        pipe.drain();
        return !pathExists(part.wstring());
    }, 10000);
    closing.wait();
    EXPECT_TRUE(returned) << "close waited for the file write";
    EXPECT_TRUE(dropped);
    EXPECT_EQ(ended.load(), 1);
}
#endif

// A place where the session's slow jobs wait until the test lets them go, counting them.
class JobGate {
public:
    void pass() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++started_;
        most_ = std::max(most_, ++running_);
        changed_.notify_all();
        changed_.wait(lock, [&] { return open_; });
        --running_;
        changed_.notify_all();
    }
    void setOpen(bool open) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = open;
        changed_.notify_all();
    }
    // Waits until `started` jobs reached the gate and none is inside.
    bool waitStartedAndIdle(int started) { return waitFor([&] { return started_ == started && running_ == 0; }); }
    bool waitRunning(int started) { return waitFor([&] { return started_ == started && running_ == 1; }); }
    int started() {
        std::lock_guard<std::mutex> lock(mutex_);
        return started_;
    }
    int most() {
        std::lock_guard<std::mutex> lock(mutex_);
        return most_;
    }

private:
    bool waitFor(const std::function<bool()>& done) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), done);
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int started_ = 0, running_ = 0, most_ = 0;
};

struct SlowRequest {
    const char* what;
    MsgType type;
    Bytes payload;
};
void PrintTo(const SlowRequest& r, std::ostream* os) { *os << r.what; }

class SlowRequests : public HostSessionTest, public ::testing::WithParamInterface<SlowRequest> {
protected:
    void SetUp() override {
        HostSessionTest::SetUp();
        desktop->setFolders(
            true,
            [this](const std::string&) {
                gate.pass();
                return std::string("{}");
            },
            {});
        hooks->restartSystem = [this](uint32_t&) {
            gate.pass();
            return true;
        };
        desktop->setLaunchHook([this](const std::string&) { gate.pass(); });
    }
    void TearDown() override {
        gate.setOpen(true);
        HostSessionTest::TearDown();
    }
    JobGate gate;
};

TEST_P(SlowRequests, RunOneAtATimeKeepOnlyTheNewestWaitingAndNoneAfterClose) {
    const SlowRequest& r = GetParam();
    open();
    handle(r.type, r.payload);
    ASSERT_TRUE(gate.waitRunning(1));
    for (int i = 0; i < 1000; ++i) handle(r.type, r.payload);
    gate.setOpen(true);
    // The newest of the 1000 that waited runs next; the others were replaced.
    EXPECT_TRUE(gate.waitStartedAndIdle(2)) << gate.started();
    EXPECT_EQ(gate.most(), 1);

    gate.setOpen(false);
    handle(r.type, r.payload);
    ASSERT_TRUE(gate.waitRunning(3));
    handle(r.type, r.payload);  // waits behind the running one
    session->close();
    handle(r.type, r.payload);  // after close
    gate.setOpen(true);
    EXPECT_TRUE(gate.waitStartedAndIdle(3)) << gate.started();
    // Job 3 leaving the gate is not the end: its thread must be gone without taking another.
    EXPECT_TRUE(waitUntil([&] { return !session->slowJobsRunning(); }, 10000));
    EXPECT_EQ(gate.started(), 3);
}

INSTANTIATE_TEST_SUITE_P(
    , SlowRequests,
    ::testing::Values(SlowRequest{"ListFolder", MsgType::ListFolder, Bytes{'C', ':'}},
                      SlowRequest{"Power", MsgType::Power, encodeU8(1)},
                      SlowRequest{"LaunchProgram", MsgType::LaunchProgram, Bytes{'n', 'o', 't', 'e'}}),
    [](const ::testing::TestParamInfo<SlowRequest>& info) { return std::string(info.param.what); });

// ---- Messages from window threads ----

// The viewer reads nothing until the test starts its reader; fillLink puts more on the link than
// the loopback buffers hold (as a large video frame would), so the host's channel waits for it.
class HostSessionStalledViewer : public HostSessionTest {
protected:
    HostSessionStalledViewer() { readFromStart = false; }
    void TearDown() override {
        HostSessionTest::TearDown();  // closing the session shuts the link and frees the filler
        if (filler.valid()) filler.wait();
    }
    // Before the session starts: once the viewer's end sees the first bytes, the filler holds
    // the channel and everything the session sends waits behind it.
    bool fillLink() {
        filler = std::async(std::launch::async,
                            [ch = pair.host] { return ch->send(uint8_t(MsgType::Clipboard), Bytes(16u << 20, 7)); });
        return pair.conns.client->waitReadable(5000);
    }
    bool linkFull() { return filler.valid() && filler.wait_for(std::chrono::seconds(0)) != std::future_status::ready; }
    void startReading() { peer = std::make_unique<SessionPeer>(pair.client); }
    // Runs what a window thread does; false when it did not come back within 5 s (the link is
    // then shut, so that the call ends).
    bool returnsAtOnce(const std::function<void()>& call) {
        auto done = std::async(std::launch::async, call);
        if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return true;
        pair.conns.host->shutdown();
        return false;
    }
    std::vector<std::string> chatsReceived() {
        std::vector<std::string> out;
        for (const ChannelMessage& m : peer->all(MsgType::Chat)) out.push_back(spanToString(m.payload));
        return out;
    }

    std::future<bool> filler;
};

TEST_F(HostSessionStalledViewer, TypedLinesAndPostedNoticesNeverWaitAndArriveInOrderOnceTheViewerReads) {
    ASSERT_TRUE(fillLink());
    open();
    session->openChat();
    ASSERT_TRUE(returnsAtOnce([&] {
        desktop->typeChatLine("첫째 줄");
        EXPECT_TRUE(session->post(MsgType::Notice, Bytes{'n'}));
        desktop->typeChatLine("둘째 줄");
        desktop->typeChatLine("셋째 줄");
    })) << "a window thread waited for the viewer";
    ASSERT_TRUE(linkFull()) << "the link took everything: nothing was tested";
    startReading();
    ASSERT_TRUE(peer->waitCount(MsgType::Chat, 3, 10000));
    EXPECT_EQ(chatsReceived(), (std::vector<std::string>{"첫째 줄", "둘째 줄", "셋째 줄"}));
    EXPECT_TRUE(peer->waitNotice("n"));
    EXPECT_TRUE(desktop->chatNotes().empty());
}

TEST_F(HostSessionStalledViewer, CloseWithMessagesWaitingReturnsAndNothingGoesOutAfter) {
    ASSERT_TRUE(fillLink());
    open();
    session->openChat();
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(session->post(MsgType::Chat, Bytes(100, uint8_t('a' + i))));
    ASSERT_TRUE(linkFull());
    EXPECT_TRUE(returnsAtOnce([&] { session->close(); })) << "close waited for the viewer";
    EXPECT_EQ(ended.load(), 1);
    EXPECT_FALSE(session->post(MsgType::Chat, Bytes{'x'}));
    desktop->typeChatLine("늦은 줄");
    EXPECT_EQ(desktop->chatNotes(), (std::vector<std::string>{"연결이 끊겼습니다", "보내지 못했습니다: 늦은 줄"}));
    startReading();
    EXPECT_TRUE(peer->waitClosed());
    EXPECT_EQ(peer->count(MsgType::Chat), 0u) << "a waiting message went out after close";
}

TEST_F(HostSessionStalledViewer, WhatDoesNotFitIsRefusedLoggedOnceAndNotedInTheChat) {
    const std::string dropped = "보낼 메시지가 너무 많이 밀려 버림 (뷰어)";
    ASSERT_TRUE(fillLink());
    open();
    // The sending thread takes the first and waits with it, so what follows only fills the queue.
    std::vector<std::string> accepted{"줄 0"};
    ASSERT_TRUE(session->post(MsgType::Chat, Bytes(accepted[0].begin(), accepted[0].end())));
    ASSERT_TRUE(waitUntil([&] { return session->postedWaiting() == 0; }, 5000));
    ASSERT_TRUE(returnsAtOnce([&] {
        for (int i = 1; i < 1000; ++i) {
            const std::string line = "줄 " + std::to_string(i);
            if (session->post(MsgType::Chat, Bytes(line.begin(), line.end()))) accepted.push_back(line);
        }
    }));
    ASSERT_TRUE(linkFull());
    EXPECT_FALSE(accepted.empty());
    EXPECT_LT(accepted.size(), 1000u);
    EXPECT_EQ(accepted.back(), "줄 " + std::to_string(accepted.size() - 1)) << "a line got in after one was dropped";
    EXPECT_EQ(log.count(dropped), 1);
    session->openChat();
    desktop->typeChatLine("못 간 줄");
    EXPECT_EQ(desktop->chatNotes(), std::vector<std::string>{"보내지 못했습니다: 못 간 줄"});

    startReading();
    ASSERT_TRUE(peer->waitCount(MsgType::Chat, accepted.size(), 10000));
    EXPECT_EQ(chatsReceived(), accepted);

    // Room again; then one too large on its own, with nothing waiting: a new run of drops.
    EXPECT_TRUE(session->post(MsgType::Notice, Bytes{'k'}));
    EXPECT_TRUE(peer->waitNotice("k"));
    EXPECT_EQ(log.count(dropped), 1);
    EXPECT_FALSE(session->post(MsgType::Notice, Bytes(2u << 20, 'n')));
    EXPECT_EQ(log.count(dropped), 2);
    EXPECT_TRUE(session->post(MsgType::Notice, Bytes{'m'}));
    EXPECT_TRUE(peer->waitNotice("m"));
}

TEST_F(HostSessionTest, StatisticsOfTheStream) {
    openStreaming();
    ASSERT_TRUE(peer->waitCount(MsgType::VideoFrame, 3));
    const Json stats = session->stats();
    std::vector<std::string> keys;
    for (const auto& m : stats.members) keys.push_back(m.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"codec", "width", "height", "framesSent", "bytesSent", "keyframes",
                                              "bitrate", "maxInFlight", "rttMinMs", "convertMsAvg", "mapMsAvg",
                                              "encodeMsAvg", "grabMsAvg", "checkMsAvg"}));
    // The fake screen's grabs cost 2 ms to copy and 0.5 ms to check.
    EXPECT_DOUBLE_EQ(stats.get("grabMsAvg").number, 2.0);
    EXPECT_DOUBLE_EQ(stats.get("checkMsAvg").number, 0.5);
    EXPECT_EQ(stats.get("codec").asString(), "H.264 (fake)");
    EXPECT_EQ(stats.get("width").number, 320);
    EXPECT_GE(stats.get("framesSent").number, 3);
    EXPECT_GE(stats.get("keyframes").number, 1);
    EXPECT_GT(stats.get("bytesSent").number, 0);
}

}  // namespace
