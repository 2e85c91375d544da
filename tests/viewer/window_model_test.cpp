#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "viewer/session.h"
#include "viewer/window_model.h"

namespace {

Json parse(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

TEST(ViewerSessionRequest, MembersInOrderFromSettingsAndDisplayInfo) {
    AppConfig config;
    config.retina = true;
    config.quality = 2;
    config.audio = false;
    EXPECT_EQ(sessionRequest(config, parse(R"({"current":1.9})"), 1264, 761, true).dump(),
              R"({"retina":true,"fps":60,"display":1,"viewW":1264,"viewH":761,"os":"windows",)"
              R"("codecs":["hevc","h264"],"keymap":false,"quality":2,"audio":false})");
    config.retina = false;
    config.quality = 0;
    config.audio = true;
    struct Case { std::string info; int display; };
    const Case cases[] = {{"null", 0}, {R"({"current":"2"})", 0}, {R"({"current":-1.5})", -1},
                          {R"({"current":1e300})", 2147483647}, {R"({"displays":[{},{}]})", 0}};
    for (const Case& c : cases) {
        const Json r = sessionRequest(config, parse(c.info), 0, 0, false);
        EXPECT_EQ(r.get("display").number, c.display) << c.info;
        EXPECT_EQ(r.get("codecs").dump(), R"(["h264"])");
        EXPECT_FALSE(r.get("retina").boolean);
        EXPECT_TRUE(r.get("audio").boolean);
    }
}

TEST(ViewerHostFeatures, ExactStringElements) {
    const Json info = parse(R"({"features":["combo",3,"files","Apps"]})");
    EXPECT_TRUE(hostHasFeature(info, "files"));
    EXPECT_TRUE(hostHasFeature(info, "combo"));
    EXPECT_FALSE(hostHasFeature(info, "apps"));
    EXPECT_FALSE(hostHasFeature(info, "file"));
    EXPECT_TRUE(hostHasFeature(info, ""));  // a non-string element compares as the empty string
    EXPECT_FALSE(hostHasFeature(Json(), "files"));
    EXPECT_FALSE(hostHasFeature(parse(R"({"features":"files"})"), "files"));
}

TEST(ViewerLayoutTable, StatusAndButtonAroundTheMiddle) {
    struct Case { int w, h; ViewBox status, button; };
    const Case cases[] = {
        {1264, 761, {20, 320, 1224, 60}, {562, 390, 140, 34}},
        {30, 7, {20, -57, 10, 60}, {-55, 13, 140, 34}},
        {0, 0, {20, -60, 10, 60}, {-70, 10, 140, 34}},
    };
    for (const Case& c : cases) {
        const ViewerLayout l = viewerLayout(c.w, c.h);
        EXPECT_EQ(l.video, (ViewBox{0, 0, c.w, c.h}));
        EXPECT_EQ(l.statusLine, c.status) << c.w << "x" << c.h;
        EXPECT_EQ(l.reconnectButton, c.button) << c.w << "x" << c.h;
    }
}

TEST(ViewerViewSize, MoreThanFourPixelsInEitherDirection) {
    struct Case { int lw, lh, w, h; bool report; };
    const Case cases[] = {
        {0, 0, 4, 4, false},          {0, 0, 5, 0, true},           {0, 0, 0, 5, true},
        {1280, 800, 1284, 796, false}, {1280, 800, 1275, 800, true}, {1280, 800, 1280, 805, true},
        {1280, 800, 1280, 800, false}, {0, 0, 1264, 761, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(viewSizeWorthReporting(c.lw, c.lh, c.w, c.h), c.report)
            << c.lw << "x" << c.lh << " -> " << c.w << "x" << c.h;
}

TEST(ViewerLockedText, ByLockAndUnlockFeature) {
    EXPECT_EQ(lockedTitleText(false, true), u"");
    EXPECT_EQ(lockedTitleText(false, false), u"");
    EXPECT_EQ(lockedTitleText(true, true), u"원격 화면이 잠겨 있습니다 — 더 보기 › 잠긴 컴퓨터 로그인");
    EXPECT_EQ(lockedTitleText(true, false),
              u"원격 화면이 잠겨 있습니다 — 원격 쪽에서 '잠긴 화면에서도 로그인 허용' 을 켜면 여기서 로그인합니다");
}

constexpr int64_t kSecond = 1'000'000'000;

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

TEST(ViewerReconnect, AfterADropOneThenDoublingToTenAndGivingUpAtTwenty) {
    const ReconnectTiming timing;
    ReconnectState state;
    state.autoReconnect = true;
    const int64_t now = 1000 * kSecond;
    ReconnectStep step = afterSessionEnded(state, now, timing);
    EXPECT_EQ(step, (ReconnectStep{u"연결이 끊겼습니다 — 다시 연결 중…", false, 1000}));
    std::vector<int> delays{step.retryMs};
    for (;;) {
        step = afterConnectFailed(state, now, "연결할 수 없습니다", false, timing);
        if (step.retryMs == 0) break;
        EXPECT_EQ(step.status, u"다시 연결 중… (" + u16(std::to_string(state.attempts)) + u")");
        EXPECT_FALSE(step.button);
        delays.push_back(step.retryMs);
    }
    const std::vector<int> expected{1000, 4000, 8000, 10000, 10000, 10000, 10000, 10000, 10000, 10000,
                                    10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000, 10000};
    EXPECT_EQ(delays, expected);  // 20 automatic attempts in all
    EXPECT_EQ(state.attempts, 20);
    EXPECT_TRUE(step.button);
    EXPECT_EQ(step.status.rfind(u"원격 컴퓨터를 찾을 수 없습니다\n", 0), 0u);
    // A drop seen after giving up asks for the button.
    EXPECT_EQ(afterSessionEnded(state, now, timing), (ReconnectStep{u"연결이 끊겼습니다", true, 0}));
}

TEST(ViewerReconnect, AfterTheButtonTwoFourEightTenInShortenedUnits) {
    ReconnectTiming timing;
    timing.retryUnitMs = 10;
    ReconnectState state;
    state.autoReconnect = true;
    std::vector<int> delays;
    for (int i = 0; i < 5; ++i) delays.push_back(afterConnectFailed(state, 0, "x", false, timing).retryMs);
    EXPECT_EQ(delays, (std::vector<int>{20, 40, 80, 100, 100}));
    EXPECT_EQ(afterConnectFailed(state, 0, "x", false, timing).status, u"다시 연결 중… (6)");
}

TEST(ViewerReconnect, NeverGivesUpWhileTheHostRestarts) {
    const ReconnectTiming timing;
    ReconnectState state;
    state.autoReconnect = true;
    const int64_t now = 50 * kSecond;
    state.restartUntil = now + 300 * kSecond;
    EXPECT_EQ(afterSessionEnded(state, now, timing).status,
              u"원격 컴퓨터가 다시 시작하는 중입니다. 켜지면 저절로 다시 붙습니다…");
    ReconnectStep step;
    for (int i = 0; i < 60; ++i) step = afterConnectFailed(state, now, "x", false, timing);
    EXPECT_EQ(step, (ReconnectStep{u"원격 컴퓨터가 다시 시작하는 중입니다. 켜지면 저절로 다시 붙습니다… (61)", false,
                                   10000}));
    // Once the window has passed, the count of 61 gives up at the next failure.
    step = afterConnectFailed(state, state.restartUntil, "x", false, timing);
    EXPECT_EQ(step, (ReconnectStep{u"x", true, 0}));
}

TEST(ViewerReconnect, FirstFailureIsFinalAndTheButtonHiddenForAPassword) {
    const ReconnectTiming timing;
    struct Case { std::string error; bool password; std::u16string text; };
    const Case cases[] = {
        {"연결할 수 없습니다", false,
         u"원격 컴퓨터를 찾을 수 없습니다\n원격 제어 허용이 켜져 있는지, 같은 망이거나 중계 서버가 설정되어 있는지 "
         u"확인하세요"},
        {"연결할 수 없습니다", true,
         u"접속 ID 로 원격 컴퓨터를 찾을 수 없습니다\n원격 쪽에서 비밀번호 접속이 켜져 있는지, 양쪽에 같은 중계 서버가 "
         u"설정되어 있는지 확인하세요 (같은 망이면 주소로도 연결할 수 있습니다)"},
        {"원격 컴퓨터가 비밀번호 접속을 받지 않습니다", true,
         u"원격 컴퓨터가 비밀번호 접속을 받지 않습니다\n꺼져 있거나, 여러 번 틀려 잠시 잠겼을 수 있습니다"},
        // Only the exact text is replaced: a relay's own error passes through as it is.
        {"중계 서버에 연결할 수 없습니다", false, u"중계 서버에 연결할 수 없습니다"},
        {"연결할 수 없습니다 ", false, u"연결할 수 없습니다 "},
        {"비밀번호가 맞지 않습니다", true, u"비밀번호가 맞지 않습니다"},
        {"bad \xFF", false, u"bad \uFFFD"},
    };
    for (const Case& c : cases) {
        ReconnectState state;
        const ReconnectStep step = afterConnectFailed(state, 0, c.error, c.password, timing);
        EXPECT_EQ(step.status, c.text) << c.error;
        EXPECT_EQ(step.button, !c.password) << c.error;
        EXPECT_EQ(step.retryMs, 0);
        EXPECT_EQ(state.attempts, 0);
    }
    ReconnectState never;
    EXPECT_EQ(afterSessionEnded(never, 0, timing), (ReconnectStep{u"연결이 끊겼습니다", true, 0}));
}

TEST(ViewerLearnPeer, WhatAConnectTeachesTheWindow) {
    const Json hello = parse(R"({"name":"스튜디오","os":"windows"})");
    Peer paired;
    paired.name = "옛 이름";
    paired.key = "S0VZ";
    paired.os = "mac";
    Bytes token;
    std::string password;
    EXPECT_FALSE(learnPeerFromHost(paired, token, password, hello, ""));
    EXPECT_EQ(paired.name, "옛 이름");  // a known peer keeps its name here

    Peer pairing = paired;
    token = {1, 2, 3};
    EXPECT_TRUE(learnPeerFromHost(pairing, token, password, hello, "T1RIRVI="));
    EXPECT_EQ(pairing.name, "스튜디오");
    EXPECT_EQ(pairing.os, "windows");
    EXPECT_EQ(pairing.key, "S0VZ");  // no password: the key came with the pairing code
    EXPECT_TRUE(token.empty());

    Peer noOs = paired;
    noOs.os.clear();
    EXPECT_TRUE(learnPeerFromHost(noOs, token, password, Json(), ""));
    EXPECT_EQ(noOs.name, "옛 이름");
    EXPECT_EQ(noOs.os, "mac");
}

TEST(ViewerLearnPeer, APasswordThatServedIsWipedAndTheHostKeyTaken) {
    Peer byId;
    byId.name = "접속 ID 123 456 789";
    byId.accessId = "123456789";
    Bytes token;
    std::string password = "a long password that is not kept inline";
    const char* buffer = password.data();
    const size_t length = password.size();
    EXPECT_TRUE(learnPeerFromHost(byId, token, password, parse(R"({"name":"맥북","os":"mac"})"), "SE9TVEtFWQ=="));
    EXPECT_EQ(byId.key, "SE9TVEtFWQ==");
    EXPECT_EQ(byId.name, "맥북");
    EXPECT_TRUE(password.empty());
    ASSERT_EQ(password.data(), buffer);  // cleared in place
    EXPECT_EQ(std::string(buffer, length), std::string(length, '\0'));

    // Without the host's key the password stays for the next connect.
    Peer other;
    std::string kept = "secret-pw";
    EXPECT_TRUE(learnPeerFromHost(other, token, kept, Json(), ""));
    EXPECT_EQ(kept, "secret-pw");
    EXPECT_TRUE(other.key.empty());
}

std::unique_ptr<ViewerReport> report(ViewerReport::Kind kind, uint64_t generation, std::string text = "") {
    auto r = std::make_unique<ViewerReport>();
    r->kind = kind;
    r->generation = generation;
    r->text = std::move(text);
    return r;
}

std::vector<std::string> texts(const std::vector<std::unique_ptr<ViewerReport>>& reports) {
    std::vector<std::string> out;
    for (const auto& r : reports) out.push_back(r->text);
    return out;
}

using Texts = std::vector<std::string>;

TEST(ViewerReportGate, StaleReportsOfAReplacedConnectAreDropped) {
    ReportGate gate;
    const uint64_t first = gate.begin();
    const uint64_t second = gate.begin();
    EXPECT_NE(first, second);
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::ConnectFailed, first, "old failure"))), Texts{});
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Connected, second, "connected"))), Texts{"connected"});
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Ended, first, "old end"))), Texts{});
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Notice, second, "notice"))), Texts{"notice"});
}

TEST(ViewerReportGate, AnEndBeforeItsConnectIsAppliedRightAfterIt) {
    ReportGate gate;
    const uint64_t g = gate.begin();
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::DisplayInfo, g, "info"))), Texts{});
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::FirstPicture, g, "picture"))), Texts{});
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Ended, g, "end"))), Texts{});
    EXPECT_EQ(gate.waiting(), 3u);
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Connected, g, "connected"))),
              (Texts{"connected", "info", "picture", "end"}));
    EXPECT_EQ(gate.waiting(), 0u);
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Ended, g, "later end"))), Texts{"later end"});
}

TEST(ViewerReportGate, AFailedOrReplacedConnectDropsWhatWaited) {
    ReportGate gate;
    uint64_t g = gate.begin();
    gate.admit(report(ViewerReport::Ended, g, "end"));
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::ConnectFailed, g, "failed"))), Texts{"failed"});
    EXPECT_EQ(gate.waiting(), 0u);
    gate.admit(report(ViewerReport::Notice, g, "notice"));
    g = gate.begin();
    EXPECT_EQ(gate.waiting(), 0u);
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Connected, g, "connected"))), Texts{"connected"});
}

// What waits for its connect waits under the mailbox's bounds: a flood before the connect reports
// leaves the latest of each replaceable kind and as many lines as the bound of bytes holds.
TEST(ViewerReportGate, WhatWaitsForTheConnectIsBounded) {
    ReportGate gate;
    const uint64_t g = gate.begin();
    const size_t lineBytes = 16 * 1024;
    for (int i = 0; i < 1000; ++i) {
        gate.admit(report(ViewerReport::DisplayInfo, g, "info" + std::to_string(i)));
        gate.admit(report(ViewerReport::Notice, g, std::string(lineBytes, 'n')));
    }
    gate.admit(report(ViewerReport::Ended, g, "end"));
    const size_t lines = ReportMailbox::kMaxLineBytes / lineBytes;
    EXPECT_EQ(gate.waiting(), lines + 2);
    const auto applied = gate.admit(report(ViewerReport::Connected, g, "connected"));
    ASSERT_EQ(applied.size(), lines + 3);
    EXPECT_EQ(applied[0]->text, "connected");
    EXPECT_EQ(applied[1]->text, "info999");
    EXPECT_EQ(applied.back()->text, "end");
    EXPECT_EQ(gate.waiting(), 0u);
}

TEST(ViewerReportGate, TheWindowsOwnChatLinesAlwaysPass) {
    ReportGate gate;
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Chat, 0, "typed"))), Texts{"typed"});
    gate.begin();
    EXPECT_EQ(texts(gate.admit(report(ViewerReport::Chat, 0, "typed again"))), Texts{"typed again"});
    EXPECT_EQ(texts(gate.admit(nullptr)), Texts{});
}

}  // namespace

namespace {

std::unique_ptr<ViewerReport> mailed(ViewerReport::Kind kind, uint64_t generation, std::string text = {}) {
    auto r = std::make_unique<ViewerReport>();
    r->kind = kind;
    r->generation = generation;
    r->text = std::move(text);
    return r;
}

std::vector<std::string> takeEvery(ReportMailbox& box) {
    std::vector<std::string> out;
    while (auto r = box.take()) out.push_back(std::to_string(int(r->kind)) + ":" + r->text);
    return out;
}

TEST(ViewerReportMailbox, OneWakeAndOnlyTheLatestOfAReplaceableKind) {
    ReportMailbox box;
    int wakes = 0;
    for (int i = 0; i < 1000; ++i) {
        wakes += box.put(mailed(ViewerReport::Cursor, 1, std::string("c").append(std::to_string(i))));
        wakes += box.put(mailed(ViewerReport::DisplayInfo, 1, std::string("d").append(std::to_string(i))));
        wakes += box.put(mailed(ViewerReport::AppList, 1, std::string("a").append(std::to_string(i))));
    }
    wakes += box.put(mailed(ViewerReport::Cursor, 2, "newer connect"));  // not merged across connects
    EXPECT_EQ(wakes, 1) << "the window is woken once, however many wait";
    EXPECT_EQ(takeEvery(box), (std::vector<std::string>{
                                  std::to_string(int(ViewerReport::Cursor)) + ":c999",
                                  std::to_string(int(ViewerReport::DisplayInfo)) + ":d999",
                                  std::to_string(int(ViewerReport::AppList)) + ":a999",
                                  std::to_string(int(ViewerReport::Cursor)) + ":newer connect",
                              }));
    // Taken to the end: the next report wakes the window again; so does one after a failed wake.
    EXPECT_TRUE(box.put(mailed(ViewerReport::Notice, 1)));
    EXPECT_FALSE(box.put(mailed(ViewerReport::Notice, 1)));
    box.wakeFailed();
    EXPECT_TRUE(box.put(mailed(ViewerReport::Notice, 1)));
}

TEST(ViewerReportMailbox, AFloodOfLinesNeverCrowdsOutTheConnectsState) {
    ReportMailbox box;
    box.put(mailed(ViewerReport::Connected, 1));
    for (int i = 0; i < 100000; ++i) {
        box.put(mailed(i % 2 ? ViewerReport::Notice : ViewerReport::Chat, 1, std::to_string(i)));
        box.put(mailed(ViewerReport::TransferResult, 1));
    }
    box.put(mailed(ViewerReport::Ended, 1, "끝"));
    EXPECT_EQ(box.waiting(), ReportMailbox::kMaxLines + 2);
    auto first = box.take();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->kind, ViewerReport::Connected);
    // Taking a line makes room for a new one.
    ASSERT_TRUE(box.take());
    box.put(mailed(ViewerReport::Notice, 1, "새 줄"));
    EXPECT_EQ(box.waiting(), ReportMailbox::kMaxLines + 1);
    std::vector<std::string> rest = takeEvery(box);
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(rest[rest.size() - 2], std::to_string(int(ViewerReport::Ended)) + ":끝");
    EXPECT_EQ(rest.back(), std::to_string(int(ViewerReport::Notice)) + ":새 줄");
}

// Lines wait up to a bound of bytes as well as of lines: long ones fill the mailbox before the
// count does, a line's path counts with its text, and each line taken makes room for its size.
TEST(ViewerReportMailbox, LinesWaitUpToABoundOfBytes) {
    ReportMailbox box;
    const size_t lineBytes = 16 * 1024;
    const size_t fit = ReportMailbox::kMaxLineBytes / lineBytes;
    for (size_t i = 0; i < 10 * fit; ++i) box.put(mailed(ViewerReport::Notice, 1, std::string(lineBytes, 'n')));
    EXPECT_EQ(box.waiting(), fit);
    EXPECT_EQ(box.lineBytes(), fit * lineBytes);
    // The connect's state and the latest of a replaceable kind still get in.
    box.put(mailed(ViewerReport::Ended, 1, "끝"));
    box.put(mailed(ViewerReport::DisplayInfo, 1));
    EXPECT_EQ(box.waiting(), fit + 2);

    ASSERT_TRUE(box.take());
    auto result = [&](size_t pathUnits) {
        auto r = mailed(ViewerReport::TransferResult, 1);
        r->path.assign(pathUnits, L'p');
        return r;
    };
    box.put(result(lineBytes / sizeof(wchar_t) + 1));
    EXPECT_EQ(box.waiting(), fit + 1) << "one byte more than the room that was made";
    box.put(result(lineBytes / sizeof(wchar_t)));
    EXPECT_EQ(box.waiting(), fit + 2);
    EXPECT_EQ(box.lineBytes(), ReportMailbox::kMaxLineBytes);
    while (box.take()) {
    }
    EXPECT_EQ(box.lineBytes(), 0u);
}

}  // namespace

namespace {

TEST(ViewerEndedStatus, AHostThatStoppedTakingDataIsNamed) {
    const std::u16string stalled = utf8ToUtf16(kHostStalledText);
    struct Case {
        std::u16string step;
        std::string reason;
        std::u16string shown;
    };
    const std::vector<Case> cases = {
        {kDroppedRetryText, kHostStalledText, stalled + u" — 다시 연결 중…"},
        {kDroppedStatusText, kHostStalledText, stalled},
        {kDroppedRetryText, "연결이 닫혔습니다", kDroppedRetryText},
        {u"원격 컴퓨터가 다시 시작하는 중입니다. 켜지면 저절로 다시 붙습니다…", kHostStalledText,
         u"원격 컴퓨터가 다시 시작하는 중입니다. 켜지면 저절로 다시 붙습니다…"},
    };
    for (const Case& c : cases) EXPECT_EQ(endedStatusText(c.step, c.reason), c.shown) << c.reason;
}

}  // namespace
