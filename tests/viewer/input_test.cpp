#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/util.h"
#include "host/protocol/keymap.h"
#include "host/protocol/messages.h"
#include "viewer/input.h"

namespace {

struct Sent {
    MsgType type;
    Bytes payload;
};

// Scan codes of a PC keyboard (set 1) and whether they carry the extended prefix.
struct PcKey {
    uint16_t scan;
    bool extended;
    uint32_t vk;
};
constexpr PcKey kCtrl{0x1D, false, 0x11}, kAlt{0x38, false, 0x12}, kWin{0x5B, true, 0x5B};
constexpr PcKey kShift{0x2A, false, 0x10}, kCaps{0x3A, false, 0x14}, kReturn{0x1C, false, 0x0D};
constexpr PcKey kLeft{0x4B, true, 0x25}, kRight{0x4D, true, 0x27}, kC{0x2E, false, 'C'};
constexpr PcKey kHangul{0x72, false, 0x15}, kNoMacCode{0x00, false, 0xFF};

struct Rig {
    ShortcutTranslator shortcuts;
    ViewerInput input{shortcuts};
    std::vector<Sent> sent;
    std::vector<InputCommand> posted;
    InputFacts facts{true, true, "windows", false};
    Json info;  // no description yet
    ClickMetrics metrics;

    Rig() {
        input.send = [this](MsgType t, const Bytes& p) { sent.push_back({t, p}); };
        input.post = [this](InputCommand c) { posted.push_back(c); };
    }
    void key(PcKey k, bool down, bool repeat = false) { input.forwardKey(k.scan, k.extended, k.vk, down, repeat, facts); }
    CaptureChange mouse(MouseAction a, int button, int x, int y, uint32_t time, int w = 1600, int h = 1000) {
        return input.mouse(a, button, x, y, time, w, h, info, metrics, facts);
    }
    KeyEvent lastKey() const { return decodeKeyEvent(sent.back().payload); }
};

float bitsToFloat(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

Json parsed(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

TEST(ViewerPicture, PositionsOnALetterboxedPicture) {
    // A 1920x1080 display in a 1000x1000 child: the picture is 1000 wide and 562.5 high, with bars
    // of 218.75 above and below.
    const Json info = parsed(R"({"current":0,"displays":[{"widthPt":1920,"heightPt":1080}]})");
    const Json pillar = parsed(R"({"current":0,"displays":[{"widthPt":1000,"heightPt":1000}]})");
    struct Case {
        const char* what;
        const Json* info;
        int x, y, w, h;
        float rx, ry;
    } cases[] = {
        {"centre", &info, 500, 500, 1000, 1000, 0.5f, 0.5f},
        {"top bar maps to the top edge", &info, 500, 100, 1000, 1000, 0.5f, 0.0f},
        {"bottom bar maps to the bottom edge", &info, 500, 900, 1000, 1000, 0.5f, 1.0f},
        {"left pillar bar maps to x 0", &pillar, 10, 300, 1600, 1000, 0.0f, 0.3f},
        {"outside the child entirely", &pillar, -50, -50, 1600, 1000, 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        float rx = -1, ry = -1;
        ASSERT_TRUE(clientToRemote(c.x, c.y, c.w, c.h, *c.info, rx, ry)) << c.what;
        EXPECT_FLOAT_EQ(rx, c.rx) << c.what;
        EXPECT_FLOAT_EQ(ry, c.ry) << c.what;
    }
    // The bottom-right pixel of the picture lies just inside it.
    float rx = 0, ry = 0;
    ASSERT_TRUE(clientToRemote(1299, 999, 1600, 1000, pillar, rx, ry));
    EXPECT_LT(rx, 1.0f);
    EXPECT_GT(rx, 0.998f);
    EXPECT_LT(ry, 1.0f);
    EXPECT_GT(ry, 0.998f);
}

TEST(ViewerPicture, IsSixteenByTenBeforeTheHostTellsItsSize) {
    float rx = 0, ry = 0;
    // 1000x1000 child, 16:10 picture 1000x625: the top bar is 187.5 high.
    ASSERT_TRUE(clientToRemote(250, 187, 1000, 1000, Json(), rx, ry));
    EXPECT_FLOAT_EQ(rx, 0.25f);
    EXPECT_FLOAT_EQ(ry, 0.0f);
    ASSERT_TRUE(clientToRemote(250, 500, 1000, 1000, Json(), rx, ry));
    EXPECT_FLOAT_EQ(ry, 0.5f);
}

TEST(ViewerPicture, ZeroAreaSendsNothing) {
    float rx = 0, ry = 0;
    EXPECT_FALSE(clientToRemote(0, 0, 0, 0, Json(), rx, ry));
    EXPECT_FALSE(clientToRemote(0, 0, 500, 0, Json(), rx, ry));
    Rig rig;
    EXPECT_EQ(rig.mouse(MouseAction::Press, 0, 0, 0, 100, 0, 0), CaptureChange::None);
    rig.mouse(MouseAction::Move, 0, 0, 0, 100, 0, 0);
    EXPECT_TRUE(rig.sent.empty());
}

TEST(ViewerMouse, PressIsSentByteExact) {
    Rig rig;
    rig.info = parsed(R"({"current":0,"displays":[{"widthPt":1600,"heightPt":1000}]})");
    EXPECT_EQ(rig.mouse(MouseAction::Press, 1, 800, 250, 1000), CaptureChange::Take);
    ASSERT_EQ(rig.sent.size(), 1u);
    EXPECT_EQ(rig.sent[0].type, MsgType::Mouse);
    // action 1, button 1, x 0.5, y 0.25, clicks 1, flags 0x100.
    EXPECT_EQ(hexEncode(rig.sent[0].payload), "01013f0000003e80000001" "0000000000000100");
    rig.mouse(MouseAction::Move, 0, 0, 0, 1001);
    EXPECT_EQ(hexEncode(rig.sent[1].payload), "0000" "00000000" "00000000" "00" "0000000000000100");
}

TEST(ViewerMouse, CountsClicksWithinTheSystemLimits) {
    Rig rig;
    rig.metrics = ClickMetrics{500, 4, 4};
    auto clicksOf = [&](const Sent& s) { return int(MouseEvent::decode(s.payload).clicks); };
    struct Press {
        int button, x, y;
        uint32_t time;
        int clicks;
    } presses[] = {
        {0, 100, 100, 1000, 1},  // first press
        {0, 102, 102, 1300, 2},  // 300 ms and 2 px later
        {1, 102, 102, 1400, 1},  // another button starts a new run
        {0, 102, 102, 1500, 1},  // so does the left button after it
        {0, 106, 102, 1600, 2},  // 4 px: the full limit still counts
        {0, 111, 102, 1700, 1},  // 5 px does not
        {0, 111, 102, 2200, 2},  // 500 ms still counts
        {0, 111, 102, 2701, 1},  // 501 ms does not
    };
    for (const Press& p : presses) {
        rig.sent.clear();
        rig.mouse(MouseAction::Press, p.button, p.x, p.y, p.time);
        ASSERT_EQ(rig.sent.size(), 1u);
        EXPECT_EQ(clicksOf(rig.sent[0]), p.clicks) << "press at " << p.time;
        rig.sent.clear();
        rig.mouse(MouseAction::Release, p.button, p.x, p.y, p.time + 1);
        EXPECT_EQ(clicksOf(rig.sent[0]), p.clicks) << "a release repeats the press's count";
    }
    // The message clock wraps around; the difference is taken unsigned.
    rig.mouse(MouseAction::Press, 0, 0, 0, 0xFFFFFF00u);
    rig.sent.clear();
    rig.mouse(MouseAction::Press, 0, 0, 0, 0x00000010u);
    EXPECT_EQ(clicksOf(rig.sent[0]), 2);
}

TEST(ViewerMouse, TheRunIsCappedAt255) {
    Rig rig;
    for (int i = 0; i < 256; ++i) {
        rig.sent.clear();
        rig.mouse(MouseAction::Press, 0, 10, 10, uint32_t(1000 + i * 10));
        rig.mouse(MouseAction::Release, 0, 10, 10, uint32_t(1000 + i * 10 + 1));
    }
    EXPECT_EQ(MouseEvent::decode(rig.sent[0].payload).clicks, 255);
    EXPECT_EQ(MouseEvent::decode(rig.sent[1].payload).clicks, 255);
}

TEST(ViewerMouse, HoldsTheCaptureUntilTheLastButtonIsUp) {
    Rig rig;
    EXPECT_EQ(rig.mouse(MouseAction::Press, 0, 10, 10, 100), CaptureChange::Take);
    EXPECT_EQ(rig.mouse(MouseAction::Press, 3, 10, 10, 110), CaptureChange::Take);
    EXPECT_EQ(rig.input.buttonsDown(), 1 | 8);
    EXPECT_EQ(rig.mouse(MouseAction::Release, 0, 10, 10, 120), CaptureChange::None);
    EXPECT_EQ(rig.mouse(MouseAction::Release, 3, 10, 10, 130), CaptureChange::Free);
    EXPECT_EQ(rig.input.buttonsDown(), 0);
}

TEST(ViewerMouse, NothingIsSentWhileNotConnectedButTheCaptureIsLetGo) {
    Rig rig;
    EXPECT_EQ(rig.mouse(MouseAction::Press, 0, 10, 10, 100), CaptureChange::Take);
    rig.facts.connected = false;  // the session dropped with the button down
    rig.sent.clear();
    EXPECT_EQ(rig.mouse(MouseAction::Move, 0, 20, 20, 110), CaptureChange::None);
    EXPECT_EQ(rig.mouse(MouseAction::Press, 1, 20, 20, 120), CaptureChange::None);
    EXPECT_EQ(rig.mouse(MouseAction::Release, 0, 20, 20, 130), CaptureChange::Free);
    rig.input.wheel(false, 120, rig.facts);
    EXPECT_TRUE(rig.sent.empty());
}

TEST(ViewerMouse, CarriesTheModifiersHeldAtTheOutput) {
    Rig rig;
    rig.key(kShift, true);
    rig.sent.clear();
    rig.mouse(MouseAction::Press, 0, 10, 10, 100);
    EXPECT_EQ(MouseEvent::decode(rig.sent[0].payload).flags, 0x100u | 0x20002u);
}

TEST(ViewerWheel, NotchesBecomeFineUnits) {
    Rig rig;
    rig.input.wheel(false, 120, rig.facts);
    rig.input.wheel(true, 120, rig.facts);
    rig.input.wheel(false, -240, rig.facts);
    ASSERT_EQ(rig.sent.size(), 3u);
    EXPECT_EQ(rig.sent[0].type, MsgType::Wheel);
    // dx 0, dy 48.0, precise, two zero bytes, flags.
    EXPECT_EQ(hexEncode(rig.sent[0].payload), "0000000042400000010000" "0000000000000100");
    EXPECT_EQ(hexEncode(rig.sent[1].payload), "c240000000000000010000" "0000000000000100");
    EXPECT_EQ(WheelEvent::decode(rig.sent[2].payload).dy, bitsToFloat(0xC2C00000));  // -96
}

TEST(ViewerKeys, CapsLockIsOneModifierChangePerPress) {
    Rig rig;  // a Windows host: translator mode 0
    rig.key(kCaps, true);
    ASSERT_EQ(rig.sent.size(), 1u);
    KeyEvent e = rig.lastKey();
    EXPECT_EQ(e.code, 57);
    EXPECT_EQ(e.kind, 2);
    EXPECT_EQ(e.flags & 0x10000, 0x10000u);
    rig.key(kCaps, false);
    EXPECT_EQ(rig.sent.size(), 1u) << "the release sends nothing";
    rig.key(kCaps, true);
    ASSERT_EQ(rig.sent.size(), 2u);
    EXPECT_EQ(rig.lastKey().kind, 2);
    EXPECT_EQ(rig.lastKey().flags & 0x10000, 0u);
    EXPECT_FALSE(rig.input.capsLockOn());
}

TEST(ViewerKeys, KeysCarryFlagsAndRepeat) {
    Rig rig;
    rig.key(kShift, true);
    rig.key(kC, true);
    rig.key(kC, true, true);
    rig.key(kC, false);
    ASSERT_EQ(rig.sent.size(), 4u);
    EXPECT_EQ(hexEncode(rig.sent[0].payload), "003802" "0000000000020102" "00");  // Shift down, kind 2
    EXPECT_EQ(hexEncode(rig.sent[1].payload), "000801" "0000000000020102" "00");  // C down with Shift
    EXPECT_EQ(hexEncode(rig.sent[2].payload), "000801" "0000000000020102" "01");  // its repeat
    EXPECT_EQ(hexEncode(rig.sent[3].payload), "000800" "0000000000020102" "00");
}

TEST(ViewerKeys, DeactivationReleasesTheTranslatorsKeysThenAll) {
    Rig rig;
    rig.key(kShift, true);
    rig.key(kC, true);
    rig.sent.clear();
    rig.input.releaseKeys(rig.facts);
    ASSERT_EQ(rig.sent.size(), 3u);
    EXPECT_EQ(rig.sent[0].type, MsgType::Key);
    EXPECT_EQ(decodeKeyEvent(rig.sent[0].payload), (KeyEvent{8, 0, 0x20102, false})) << "keys first, Shift still down";
    EXPECT_EQ(decodeKeyEvent(rig.sent[1].payload), (KeyEvent{56, 2, 0x100, false})) << "Shift without its bits";
    EXPECT_EQ(rig.sent[2].type, MsgType::ReleaseAll);
    EXPECT_TRUE(rig.sent[2].payload.empty());
    EXPECT_TRUE(rig.input.heldKeys().empty());
    // Without a session the keys are forgotten all the same.
    rig.key(kShift, true);
    rig.facts.session = false;
    rig.sent.clear();
    rig.input.releaseKeys(rig.facts);
    EXPECT_TRUE(rig.sent.empty());
    EXPECT_TRUE(rig.input.shortcuts().outputHeld().empty());
}

TEST(ViewerKeys, TheKoreanKeyGoesOnlyToAWindowsHost) {
    for (const char* os : {"windows", "mac", ""}) {
        Rig rig;
        rig.facts.hostOs = os;
        rig.key(kHangul, true);
        rig.key(kHangul, false);
        if (std::string(os) == "windows") {
            ASSERT_EQ(rig.sent.size(), 2u);
            EXPECT_EQ(rig.lastKey().code, keyHangul);
        } else {
            EXPECT_TRUE(rig.sent.empty()) << os;
        }
    }
}

TEST(ViewerKeys, UnknownKeysAndKeysWithoutASessionSendNothing) {
    Rig rig;
    rig.key(kNoMacCode, true);
    EXPECT_TRUE(rig.sent.empty());
    EXPECT_TRUE(rig.input.heldKeys().empty());
    rig.facts.session = false;
    rig.key(kC, true);
    EXPECT_TRUE(rig.sent.empty());
    EXPECT_EQ(rig.input.heldKeys().count(8), 1u) << "the local keyboard is still tracked";
}

TEST(ViewerKeys, PcShortcutsWorkAMacWhenTheSettingIsOn) {
    Rig rig;
    rig.facts.hostOs = "mac";
    rig.facts.macKeymap = true;
    rig.key(kCtrl, true);
    rig.key(kC, true);
    ASSERT_EQ(rig.sent.size(), 2u);
    EXPECT_EQ(decodeKeyEvent(rig.sent[0].payload).code, 55) << "Control arrives as Command";
    EXPECT_EQ(decodeKeyEvent(rig.sent[1].payload), (KeyEvent{8, 1, 0x100108, false}));
    // Switching the setting off releases what the translator held before the next key.
    rig.facts.macKeymap = false;
    rig.sent.clear();
    rig.key(kC, false);
    ASSERT_GE(rig.sent.size(), 2u);
    EXPECT_EQ(decodeKeyEvent(rig.sent[0].payload).kind, 0);
    EXPECT_EQ(rig.input.shortcuts().currentMode(), 0);
}

TEST(ViewerKeys, FullScreenChordIsLocal) {
    Rig rig;
    rig.key(kCtrl, true);
    rig.key(kAlt, true);
    rig.key(kWin, true);
    const size_t before = rig.sent.size();
    rig.key(kReturn, true);
    rig.key(kReturn, true, true);  // auto-repeat toggles again
    EXPECT_EQ(rig.posted, (std::vector<InputCommand>{InputCommand::ToggleFullScreen, InputCommand::ToggleFullScreen}));
    EXPECT_TRUE(rig.input.chordPending());
    rig.key(kCtrl, false);  // Ctrl goes up first
    rig.key(kReturn, false);
    EXPECT_FALSE(rig.input.chordPending());
    EXPECT_EQ(rig.sent.size(), before + 1) << "only Ctrl's release reached the host";
    EXPECT_EQ(rig.input.heldKeys().count(36), 0u);
    // A plain Return afterwards goes through.
    rig.key(kReturn, true);
    rig.key(kReturn, false);
    EXPECT_EQ(rig.sent.size(), before + 3);
}

TEST(ViewerKeys, DisplayChordsAreLocal) {
    Rig rig;
    rig.key(kCtrl, true);
    rig.key(kAlt, true);
    rig.key(kWin, true);
    const size_t before = rig.sent.size();
    const std::set<uint16_t> held = rig.input.heldKeys();
    rig.key(kRight, true);
    rig.key(kRight, true, true);
    rig.key(kRight, false);
    rig.key(kLeft, true);
    rig.key(kLeft, false);
    EXPECT_EQ(rig.posted, (std::vector<InputCommand>{InputCommand::NextDisplay, InputCommand::PreviousDisplay}));
    EXPECT_EQ(rig.sent.size(), before);
    EXPECT_EQ(rig.input.heldKeys(), held);
    // Without all three modifiers the arrows go to the host.
    rig.key(kAlt, false);
    rig.key(kLeft, true);
    EXPECT_EQ(rig.lastKey().code, 123);
}

TEST(ViewerDisplays, SwitchWrapsBothWays) {
    const Json three = parsed(R"({"current":0,"displays":[{},{},{}]})");
    const Json last = parsed(R"({"current":2,"displays":[{},{},{}]})");
    const Json one = parsed(R"({"current":0,"displays":[{}]})");
    const Json odd = parsed(R"({"current":1e300,"displays":[{},{},{}]})");
    EXPECT_EQ(switchedDisplay(three, -1), std::optional<uint8_t>(2));
    EXPECT_EQ(switchedDisplay(three, +1), std::optional<uint8_t>(1));
    EXPECT_EQ(switchedDisplay(last, +1), std::optional<uint8_t>(0));
    EXPECT_EQ(switchedDisplay(one, +1), std::nullopt);
    EXPECT_EQ(switchedDisplay(Json(), -1), std::nullopt);
    ASSERT_TRUE(switchedDisplay(odd, +1).has_value());
    EXPECT_LT(*switchedDisplay(odd, +1), 3);
}

TEST(ViewerHook, TakesOnlyThePersonsKeysForAConnectedForegroundOwner) {
    const HookEvent all{true, true, false, true, true};
    EXPECT_TRUE(hookTakesKey(all));
    HookEvent e = all;
    e.action = false;
    EXPECT_FALSE(hookTakesKey(e)) << "not HC_ACTION";
    e = all;
    e.hasOwner = false;
    EXPECT_FALSE(hookTakesKey(e)) << "no owner";
    e = all;
    e.injected = true;
    EXPECT_FALSE(hookTakesKey(e)) << "injected";
    e = all;
    e.ownerForeground = false;
    EXPECT_FALSE(hookTakesKey(e)) << "another window in front";
    e = all;
    e.ownerConnected = false;
    EXPECT_FALSE(hookTakesKey(e)) << "not connected";
    e = all;
    e.ownerInMenu = true;
    EXPECT_FALSE(hookTakesKey(e)) << "the owner's menu is open";
}

TEST(ViewerHook, RepeatIsAKeyAlreadyHeld) {
    Rig rig;
    EXPECT_FALSE(rig.input.hookRepeat(kC.scan, kC.extended, kC.vk, true));
    rig.key(kC, true);
    EXPECT_TRUE(rig.input.hookRepeat(kC.scan, kC.extended, kC.vk, true));
    EXPECT_FALSE(rig.input.hookRepeat(kC.scan, kC.extended, kC.vk, false));
    EXPECT_FALSE(rig.input.hookRepeat(kNoMacCode.scan, false, kNoMacCode.vk, true));
}

}  // namespace
