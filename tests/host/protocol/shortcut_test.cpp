#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "host/protocol/keymap.h"
#include "host/protocol/shortcut.h"

namespace {

struct Ev {
    uint16_t key;
    bool down;
    bool repeat;
    bool operator==(const Ev&) const = default;
};

void PrintTo(const Ev& e, std::ostream* os) {
    *os << (e.down ? (e.repeat ? "R" : "D") : "U") << e.key;
}

Ev D(uint16_t k) { return {k, true, false}; }
Ev U(uint16_t k) { return {k, false, false}; }
Ev R(uint16_t k) { return {k, true, true}; }

constexpr uint16_t kCmd = 55, kRCmd = 54, kShift = 56, kCaps = 57, kOpt = 58, kCtrl = 59, kFn = 63;
constexpr uint16_t kA = 0, kC = 8, kQ = 12, kW = 13, kTab = 48, kSpace = 49, kDelete = 51;
constexpr uint16_t kHome = 115, kEnd = 119, kF4 = 118, kForwardDelete = 117;
constexpr uint16_t kLeft = 123, kRight = 124, kDown = 125, kUp = 126;

struct Recorder {
    ShortcutTranslator t;
    std::vector<Ev> out;
    explicit Recorder(int mode, bool capsLockHangul = true) : t(capsLockHangul) {
        t.output = [this](uint16_t k, bool d, bool r) { out.push_back({k, d, r}); };
        t.setMode(mode);
    }
    std::vector<Ev> feed(const std::vector<Ev>& in) {
        out.clear();
        for (const Ev& e : in) t.process(e.key, e.down, e.repeat);
        return out;
    }
};

struct Case {
    std::string name;
    int mode;
    std::vector<Ev> in;
    std::vector<Ev> out;
};

TEST(ShortcutTranslator, Sequences) {
    const Case cases[] = {
        {"mode 1 Cmd+C becomes Ctrl+C", 1, {D(kCmd), D(kC), U(kC), U(kCmd)},
         {D(kCtrl), D(kC), U(kC), U(kCtrl)}},
        {"mode 1 Cmd-Tab-Tab becomes Alt-Tab-Tab", 1,
         {D(kCmd), D(kTab), U(kTab), D(kTab), U(kTab), U(kCmd)},
         {D(kCtrl), U(kCtrl), D(kOpt), D(kTab), U(kTab), D(kTab), U(kTab), U(kOpt)}},
        {"mode 1 Shift joins the open switcher", 1,
         {D(kCmd), D(kTab), U(kTab), D(kShift), D(kTab), U(kTab), U(kShift), U(kCmd)},
         {D(kCtrl), U(kCtrl), D(kOpt), D(kTab), U(kTab), D(kShift), D(kTab), U(kTab), U(kShift), U(kOpt)}},
        {"mode 1 repeats of Left tap Home until Cmd goes", 1,
         {D(kCmd), D(kLeft), R(kLeft), U(kCmd), R(kLeft), U(kLeft), D(kLeft), U(kLeft)},
         {D(kCtrl), U(kCtrl), D(kHome), U(kHome), D(kCtrl), U(kCtrl), D(kHome), U(kHome), D(kCtrl),
          U(kCtrl), D(kLeft), U(kLeft)}},
        {"mode 1 Shift+Cmd+Left keeps Shift", 1, {D(kShift), D(kCmd), D(kLeft), U(kLeft), U(kCmd), U(kShift)},
         {D(kShift), D(kCtrl), U(kCtrl), D(kHome), U(kHome), D(kCtrl), U(kCtrl), U(kShift)}},
        {"mode 1 Caps Lock becomes one Hangul tap", 1, {D(kCaps), U(kCaps)}, {D(keyHangul), U(keyHangul)}},
        {"mode 1 Function key is dropped", 1, {D(kFn), D(kA), U(kA), U(kFn)}, {D(kA), U(kA)}},
        {"mode 1 release of a key never pressed", 1, {U(kA), U(kCmd)}, {}},
        {"mode 1 repeat of a plain key keeps its flag", 1, {D(kA), R(kA), U(kA)}, {D(kA), R(kA), U(kA)}},
        {"mode 2 lone Windows key becomes Cmd+Space", 2, {D(kCmd), U(kCmd)},
         {D(kCtrl), U(kCtrl), D(kCmd), D(kSpace), U(kSpace), U(kCmd)}},
        {"mode 2 right Windows key alone too", 2, {D(kRCmd), U(kRCmd)},
         {D(62), U(62), D(kCmd), D(kSpace), U(kSpace), U(kCmd)}},
        {"mode 2 Windows key with a letter is no lone press", 2, {D(kCmd), D(kA), U(kA), U(kCmd)},
         {D(kCtrl), D(kA), U(kA), U(kCtrl)}},
        {"mode 2 Windows key with Shift is no lone press", 2, {D(kShift), D(kCmd), U(kCmd), U(kShift)},
         {D(kShift), D(kCtrl), U(kCtrl), U(kShift)}},
        {"mode 2 Ctrl+C becomes Cmd+C", 2, {D(kCtrl), D(kC), U(kC), U(kCtrl)}, {D(kCmd), D(kC), U(kC), U(kCmd)}},
        {"mode 2 Alt+Tab becomes Cmd+Tab", 2, {D(kOpt), D(kTab), U(kTab), D(kTab), U(kTab), U(kOpt)},
         {D(kOpt), U(kOpt), D(kCmd), D(kTab), U(kTab), D(kTab), U(kTab), U(kCmd)}},
        {"mode 2 Shift+Hangul keeps Shift", 2, {D(kShift), D(keyHangul), U(keyHangul), U(kShift)},
         {D(kShift), D(kCtrl), D(kSpace), U(kSpace), U(kCtrl), U(kShift)}},
        {"mode 2 Caps Lock goes through", 2, {D(kCaps), U(kCaps)}, {D(kCaps), U(kCaps)}},
        {"mode 0 passes everything", 0, {D(kCmd), D(kFn), D(kLeft), R(kLeft), U(kLeft), U(kFn), U(kCmd)},
         {D(kCmd), D(kFn), D(kLeft), R(kLeft), U(kLeft), U(kFn), U(kCmd)}},
        // A key already down at the output that a rule later takes over is released first.
        {"mode 1 Left held before Cmd is released before Home", 1,
         {D(kLeft), D(kCmd), R(kLeft), U(kLeft), U(kCmd)},
         {D(kLeft), D(kCtrl), U(kLeft), U(kCtrl), D(kHome), U(kHome), D(kCtrl), U(kCtrl)}},
        {"mode 2 Left held before Ctrl is released before Option+Left", 2,
         {D(kLeft), D(kCtrl), R(kLeft), U(kLeft), U(kCtrl)},
         {D(kLeft), D(kCmd), U(kLeft), U(kCmd), D(kOpt), D(kLeft), U(kLeft), U(kOpt), D(kCmd), U(kCmd)}},
        // A key pressed while the switcher is open and released after it closed still comes up.
        {"mode 1 key pressed in the switcher, released after", 1,
         {D(kCmd), D(kTab), U(kTab), D(kLeft), U(kCmd), U(kLeft)},
         {D(kCtrl), U(kCtrl), D(kOpt), D(kTab), U(kTab), D(kLeft), U(kOpt), U(kLeft)}},
    };
    for (const Case& c : cases) {
        Recorder r(c.mode);
        EXPECT_EQ(r.feed(c.in), c.out) << c.name;
    }
}

// Every rule row of both modes with exactly its modifiers: modifiers down, the key pressed and
// released, modifiers up, and the exact output. A mask with one modifier more matches nothing.
TEST(ShortcutTranslator, EveryRuleRow) {
    struct Row {
        std::string name;
        int mode;
        std::vector<uint16_t> modifiers;
        uint16_t key;
        std::vector<Ev> out;
    };
    // Mode 1 sends the held Command as Control; mode 2 sends the held Control as Command.
    const auto aroundCtrl = [](uint16_t key) {  // mode 1: Control let go, key tapped, Control back
        return std::vector<Ev>{D(kCtrl), U(kCtrl), D(key), U(key), D(kCtrl), U(kCtrl)};
    };
    const auto withCtrl = [](uint16_t key) {  // mode 1: the held (mapped) Control stays for the key
        return std::vector<Ev>{D(kCtrl), D(key), U(key), U(kCtrl)};
    };
    const auto optToCtrl = [](uint16_t key) {  // mode 1: Option swapped for Control around the key
        return std::vector<Ev>{D(kOpt), U(kOpt), D(kCtrl), D(key), U(key), U(kCtrl), D(kOpt), U(kOpt)};
    };
    const auto withCmd = [](std::vector<Ev> mods, uint16_t key) {  // mode 2: Command around the key
        std::vector<Ev> out = mods;
        for (Ev e : {D(kCmd), D(key), U(key), U(kCmd)}) out.push_back(e);
        return out;
    };
    const auto cmdToOpt = [](uint16_t key) {  // mode 2: the held (mapped) Command swapped for Option
        return std::vector<Ev>{D(kCmd), U(kCmd), D(kOpt), D(key), U(key), U(kOpt), D(kCmd), U(kCmd)};
    };
    const Row rows[] = {
        {"Cmd+Q", 1, {kCmd}, kQ, {D(kCtrl), U(kCtrl), D(kOpt), D(kF4), U(kF4), U(kOpt), D(kCtrl), U(kCtrl)}},
        {"Cmd+Space", 1, {kCmd}, kSpace, aroundCtrl(kCmd)},
        {"Cmd+Left", 1, {kCmd}, kLeft, aroundCtrl(kHome)},
        {"Cmd+Right", 1, {kCmd}, kRight, aroundCtrl(kEnd)},
        {"Cmd+Up", 1, {kCmd}, kUp, withCtrl(kHome)},
        {"Cmd+Down", 1, {kCmd}, kDown, withCtrl(kEnd)},
        {"Opt+Left", 1, {kOpt}, kLeft, optToCtrl(kLeft)},
        {"Opt+Right", 1, {kOpt}, kRight, optToCtrl(kRight)},
        {"Opt+Delete", 1, {kOpt}, kDelete, optToCtrl(kDelete)},
        {"Opt+Forward delete", 1, {kOpt}, kForwardDelete, optToCtrl(kForwardDelete)},
        {"Cmd+Opt+Left, no row", 1, {kCmd, kOpt}, kLeft,
         {D(kCtrl), D(kOpt), D(kLeft), U(kLeft), U(kOpt), U(kCtrl)}},
        {"Alt+F4", 2, {kOpt}, kF4, {D(kOpt), U(kOpt), D(kCmd), D(kW), U(kW), U(kCmd), D(kOpt), U(kOpt)}},
        {"Home", 2, {}, kHome, withCmd({}, kLeft)},
        {"End", 2, {}, kEnd, withCmd({}, kRight)},
        {"Ctrl+Home", 2, {kCtrl}, kHome, withCmd({}, kUp)},
        {"Ctrl+End", 2, {kCtrl}, kEnd, withCmd({}, kDown)},
        {"Ctrl+Left", 2, {kCtrl}, kLeft, cmdToOpt(kLeft)},
        {"Ctrl+Right", 2, {kCtrl}, kRight, cmdToOpt(kRight)},
        {"Ctrl+Delete", 2, {kCtrl}, kDelete, cmdToOpt(kDelete)},
        {"Ctrl+Forward delete", 2, {kCtrl}, kForwardDelete, cmdToOpt(kForwardDelete)},
        {"Hangul", 2, {}, keyHangul, {D(kCtrl), D(kSpace), U(kSpace), U(kCtrl)}},
        {"Alt+Hangul", 2, {kOpt}, keyHangul,
         {D(kOpt), U(kOpt), D(kCtrl), D(kSpace), U(kSpace), U(kCtrl), D(kOpt), U(kOpt)}},
        {"Ctrl+Alt+Home, no row", 2, {kCtrl, kOpt}, kHome,
         {D(kCmd), D(kOpt), D(kHome), U(kHome), U(kOpt), U(kCmd)}},
    };
    for (const Row& row : rows) {
        std::vector<Ev> in;
        for (uint16_t m : row.modifiers) in.push_back(D(m));
        in.push_back(D(row.key));
        in.push_back(U(row.key));
        for (auto m = row.modifiers.rbegin(); m != row.modifiers.rend(); ++m) in.push_back(U(*m));
        Recorder r(row.mode);
        EXPECT_EQ(r.feed(in), row.out) << "mode " << row.mode << " " << row.name;
    }
}

TEST(ShortcutTranslator, CapsLockWithoutHangulOption) {
    Recorder r(1, false);
    EXPECT_EQ(r.feed({D(kCaps), U(kCaps)}), (std::vector<Ev>{D(kCaps), U(kCaps)}));
}

// Caps Lock that goes through as itself is down at the output until its release, so releaseAll
// and a change of mode must let go of it like any passed key.
TEST(ShortcutTranslator, ReleaseAllLetsGoOfPassedCapsLock) {
    struct CapsCase {
        int mode;
        bool capsLockHangul;
    };
    for (const CapsCase& c : {CapsCase{2, true}, CapsCase{1, false}}) {
        Recorder r(c.mode, c.capsLockHangul);
        EXPECT_EQ(r.feed({D(kCaps), D(kA)}), (std::vector<Ev>{D(kCaps), D(kA)})) << "mode " << c.mode;
        r.out.clear();
        r.t.releaseAll();
        EXPECT_EQ(r.out, (std::vector<Ev>{U(kA), U(kCaps)})) << "mode " << c.mode;
        EXPECT_EQ(r.feed({U(kCaps), U(kA)}), std::vector<Ev>{}) << "mode " << c.mode;

        r.feed({D(kCaps)});
        r.out.clear();
        r.t.setMode(0);
        EXPECT_EQ(r.out, (std::vector<Ev>{U(kCaps)})) << "mode " << c.mode;
    }
    // A release after the press still goes out once, and leaves nothing for releaseAll.
    Recorder r(2);
    EXPECT_EQ(r.feed({D(kCaps), U(kCaps)}), (std::vector<Ev>{D(kCaps), U(kCaps)}));
    r.out.clear();
    r.t.releaseAll();
    EXPECT_TRUE(r.out.empty());
}

TEST(ShortcutTranslator, HeldRuleKeyIsNotRepressedAfterSwitcher) {
    // Cmd+Left consumed Left; the switcher then sees Left's release. A later plain Left must work.
    Recorder r(1);
    r.feed({D(kCmd), D(kLeft), D(kTab), U(kLeft), U(kTab), U(kCmd)});
    EXPECT_EQ(r.feed({D(kLeft), U(kLeft)}), (std::vector<Ev>{D(kLeft), U(kLeft)}));
}

TEST(ShortcutTranslator, ReleaseAllLetsGoOfPassedKeysThenModifiers) {
    Recorder r(1);
    r.feed({D(kShift), D(kCmd), D(kC), D(kA)});
    r.out.clear();
    r.t.releaseAll();
    EXPECT_EQ(r.out, (std::vector<Ev>{U(kA), U(kC), U(kShift), U(kCtrl)}));
    // Everything is forgotten: the user's later releases produce nothing.
    EXPECT_EQ(r.feed({U(kA), U(kC), U(kCmd), U(kShift)}), std::vector<Ev>{});
    // The mode stays.
    EXPECT_EQ(r.feed({D(kCmd), D(kLeft)}), (std::vector<Ev>{D(kCtrl), U(kCtrl), D(kHome), U(kHome), D(kCtrl)}));
}

TEST(ShortcutTranslator, ReleaseAllInModeZero) {
    Recorder r(0);
    r.feed({D(62), D(kA), D(kFn), D(kLeft)});
    r.out.clear();
    r.t.releaseAll();
    EXPECT_EQ(r.out, (std::vector<Ev>{U(kA), U(kLeft), U(62), U(kFn)}));
}

TEST(ShortcutTranslator, SetMode) {
    Recorder r(1);
    r.feed({D(kCmd), D(kA)});
    r.out.clear();
    r.t.setMode(1);
    EXPECT_TRUE(r.out.empty());
    r.t.setMode(2);
    EXPECT_EQ(r.out, (std::vector<Ev>{U(kA), U(kCtrl)}));
    EXPECT_EQ(r.t.currentMode(), 2);
    EXPECT_EQ(r.feed({D(kHome)}), (std::vector<Ev>{D(kCmd), D(kLeft), U(kLeft), U(kCmd)}));
}

// Only 0, 1 and 2 are modes: any other number changes nothing, so Control never turns into
// Command in a mode without rules.
TEST(ShortcutTranslator, SetModeIgnoresNumbersThatAreNoMode) {
    Recorder r(1);
    r.feed({D(kCmd), D(kA)});
    r.out.clear();
    for (int bad : {3, -1, 255}) {
        r.t.setMode(bad);
        EXPECT_EQ(r.t.currentMode(), 1) << bad;
    }
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(r.feed({U(kA), D(kLeft)}), (std::vector<Ev>{U(kA), U(kCtrl), D(kHome), U(kHome), D(kCtrl)}));
}

// The viewer reads the output modifiers from inside `output` to build each event's flag word, so
// the set must already show the event being emitted, releases of releaseAll included.
TEST(ShortcutTranslator, OutputHeldIsUpdatedBeforeEachEvent) {
    struct Seen {
        Ev ev;
        std::set<uint16_t> held;
        bool operator==(const Seen&) const = default;
    };
    for (int mode : {0, 2}) {
        ShortcutTranslator t;
        std::vector<Seen> seen;
        t.output = [&](uint16_t k, bool d, bool rep) { seen.push_back({{k, d, rep}, t.outputHeld()}); };
        t.setMode(mode);
        t.process(kShift, true, false);
        t.process(kCtrl, true, false);
        t.process(kA, true, false);
        t.releaseAll();
        const uint16_t ctrlOut = mode == 2 ? kCmd : kCtrl;  // Control and Command trade places
        const std::set<uint16_t> both{kShift, ctrlOut};
        // releaseAll lets go of the output modifiers in ascending code order.
        const uint16_t first = std::min(kShift, ctrlOut), second = std::max(kShift, ctrlOut);
        const std::vector<Seen> want{
            {D(kShift), {kShift}},
            {D(ctrlOut), both},
            {D(kA), both},
            {U(kA), both},
            {U(first), {second}},
            {U(second), {}},
        };
        ASSERT_EQ(seen.size(), want.size()) << "mode " << mode;
        for (size_t i = 0; i < want.size(); ++i) {
            EXPECT_EQ(seen[i].ev, want[i].ev) << "mode " << mode << " event " << i;
            EXPECT_EQ(seen[i].held, want[i].held) << "mode " << mode << " event " << i;
        }
    }
}

TEST(ShortcutTranslator, EmptyOutputIsSafe) {
    ShortcutTranslator t;
    t.setMode(1);
    for (uint16_t k : {kCmd, kLeft, kCaps, kTab}) t.process(k, true, false);
    t.releaseAll();
    EXPECT_EQ(t.modifierMask(), 0);
}

// Whatever the user does, once every physical key is up and the translator has seen it, nothing
// stays down at the output.
TEST(ShortcutTranslator, RandomTypingLeavesNothingDown) {
    const uint16_t keys[] = {kA, kC, kQ, kTab, kSpace, kDelete, 117, kF4, kLeft, 124, 125, kUp, kHome, kEnd,
                             keyHangul, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63};
    std::mt19937 rng(1234);
    for (int mode = 0; mode <= 2; ++mode) {
        for (int round = 0; round < 400; ++round) {
            ShortcutTranslator t(round % 2 == 0);
            std::set<uint16_t> down;  // at the output
            std::vector<Ev> log;
            t.output = [&](uint16_t k, bool d, bool rep) {
                log.push_back({k, d, rep});
                if (d) down.insert(k); else down.erase(k);
            };
            t.setMode(mode);
            std::set<uint16_t> physical;
            std::vector<Ev> in;
            for (int step = 0; step < 30; ++step) {
                uint16_t k = keys[rng() % std::size(keys)];
                Ev e = physical.count(k) ? (rng() % 3 == 0 ? R(k) : U(k)) : D(k);
                if (e.down) physical.insert(k); else physical.erase(k);
                in.push_back(e);
                t.process(e.key, e.down, e.repeat);
            }
            for (uint16_t k : std::vector<uint16_t>(physical.begin(), physical.end())) {
                in.push_back(U(k));
                t.process(k, false, false);
            }
            EXPECT_TRUE(down.empty()) << "mode " << mode << " round " << round << " first stuck "
                                      << (down.empty() ? 0 : *down.begin())
                                      << ::testing::PrintToString(in);
            if (!down.empty()) return;
        }
    }
}

}  // namespace
