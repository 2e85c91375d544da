#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "host/input.h"
#include "host/protocol/messages.h"
#include "support/input_print.h"

namespace {

using R = InputRecord;
constexpr uint32_t kAbs = R::kMouseMove | R::kVirtualDesk | R::kAbsolute;

class FakeBackend : public InputBackend {
public:
    size_t send(std::span<const InputRecord> records) override {
        std::this_thread::yield();  // widens the window for interleaving in the threaded test
        std::lock_guard lock(m);
        calls.emplace_back(records.begin(), records.end());
        return std::min(records.size(), accept);
    }
    uint32_t lastError() override { return 5; }
    VirtualScreen virtualScreen() override { return screen; }
    void lockWorkStation() override { ++locks; }

    std::vector<InputRecord> flat() {
        std::lock_guard lock(m);
        std::vector<InputRecord> all;
        for (auto& c : calls) all.insert(all.end(), c.begin(), c.end());
        return all;
    }
    std::vector<size_t> callSizes() {
        std::lock_guard lock(m);
        std::vector<size_t> sizes;
        for (auto& c : calls) sizes.push_back(c.size());
        return sizes;
    }
    void clear() {
        std::lock_guard lock(m);
        calls.clear();
    }

    std::mutex m;
    std::vector<std::vector<InputRecord>> calls;
    size_t accept = std::numeric_limits<size_t>::max();
    VirtualScreen screen{0, 0, 1920, 1080};
    std::atomic<int> locks{0};
};

struct Fixture {
    FakeBackend* fake;
    InputInjector inj;
    Fixture() : fake(new FakeBackend), inj(std::unique_ptr<InputBackend>(fake)) {
        inj.setTarget(0, 0, 1920, 1080);
    }
};

R keyRec(uint16_t vk, uint16_t scan, uint32_t flags) { return R::key(vk, scan, flags); }
R mouseRec(uint32_t flags, uint32_t data, int32_t dx, int32_t dy) { return R::mouse(flags, data, dx, dy); }

TEST(InputInjector, FailureThrottleLetsOneThroughPerInterval) {
    FailureLogThrottle throttle(5'000'000'000);
    const int64_t t0 = 1'000'000'000'000;
    EXPECT_TRUE(throttle.allow(t0));
    EXPECT_FALSE(throttle.allow(t0));
    EXPECT_FALSE(throttle.allow(t0 + 4'999'999'999));
    EXPECT_TRUE(throttle.allow(t0 + 5'000'000'000));
    EXPECT_FALSE(throttle.allow(t0 + 9'999'999'999));
    // The very first report goes through whatever the clock reads.
    FailureLogThrottle fresh(5'000'000'000);
    EXPECT_TRUE(fresh.allow(-7));
}

// With a throttle of its own, the test does not depend on what earlier tests logged.
TEST(InputInjector, FailureLogIsThrottled) {
    FailureLogThrottle throttle(5'000'000'000);
    const std::string oldPath = logPath();
    const std::string path = ::testing::TempDir() + "inject_failure.log";
    std::remove(path.c_str());
    setLogPath(path);
    const bool first = logInjectFailure("키", 5, throttle);
    const bool second = logInjectFailure("글자", 6, throttle);
    setLogPath(oldPath);
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string log = text.str();
    EXPECT_NE(log.find(" 키 입력을 넣지 못함 (오류 5) — 관리자 권한 창이 앞에 있을 수 있음\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("글자"), std::string::npos) << log;
    std::remove(path.c_str());
}

TEST(InputInjector, MapPoint) {
    Fixture f;
    f.inj.setTarget(100, 50, 1380, 770);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        float x, y;
        ScreenPoint p;
    } cases[] = {
        {0, 0, {100, 50}},     {1, 1, {1379, 769}},   {0.5f, 0.5f, {740, 410}},
        {-0.5f, 0, {100, 50}}, {1.5f, 0, {1379, 50}}, {-1e30f, 1e30f, {100, 769}},
        {nan, nan, {100, 50}}, {inf, -inf, {100, 50}},
    };
    for (const Case& c : cases) EXPECT_EQ(f.inj.mapPoint(c.x, c.y), c.p) << c.x << "," << c.y;

    f.inj.setTarget(0, 0, 0, 0);  // nothing captured yet
    EXPECT_EQ(f.inj.mapPoint(1, 1), (ScreenPoint{0, 0}));
    f.inj.setTarget(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX);
    EXPECT_EQ(f.inj.mapPoint(1, 0), (ScreenPoint{INT32_MAX - 1, INT32_MIN}));
}

TEST(InputInjector, AbsoluteCoordinates) {
    Fixture f;
    struct Case {
        VirtualScreen vs;
        ScreenPoint p;
        int32_t dx, dy;
    } cases[] = {
        {{0, 0, 1920, 1080}, {1919, 1079}, 65535, 65535},
        {{0, 0, 1920, 1080}, {0, 0}, 0, 0},
        {{0, 0, 1920, 1080}, {960, 540}, 32785, 32798},
        {{0, 0, 1920, 1080}, {100, 50}, 3415, 3037},
        {{-1920, 0, 3840, 1080}, {-1920, 0}, 0, 0},
        {{-1920, 0, 3840, 1080}, {0, 540}, 32776, 32798},
        {{-1920, 0, 3840, 1080}, {1919, 1079}, 65535, 65535},
        {{0, 0, 1920, 1080}, {5000, -10}, 65535, 0},  // outside the virtual screen: its edge
        {{0, 0, 1, 0}, {0, 0}, 0, 0},                 // degenerate metrics divide by 1
    };
    for (const Case& c : cases) {
        f.fake->clear();
        f.fake->screen = c.vs;
        f.inj.sendMouse(R::kLeftDown, 0, c.p);
        EXPECT_EQ(f.fake->flat(), (std::vector<R>{mouseRec(R::kLeftDown | kAbs, 0, c.dx, c.dy)}))
            << c.p.x << "," << c.p.y;
    }
}

TEST(InputInjector, MouseButtons) {
    Fixture f;
    f.inj.mouse(0, 0, 0, 0);
    f.inj.mouse(1, 0, 1, 1);
    f.inj.mouse(2, 0, 1, 1);
    f.inj.mouse(1, 1, 0, 0);
    f.inj.mouse(2, 1, 0, 0);
    f.inj.mouse(1, 2, 0, 0);
    f.inj.mouse(7, 2, 0, 0);  // any non-zero action other than 1 releases
    f.inj.mouse(1, 3, 0, 0);
    f.inj.mouse(2, 3, 0, 0);
    f.inj.mouse(1, 4, 0, 0);
    f.inj.mouse(2, 4, 0, 0);
    EXPECT_EQ(f.fake->flat(), (std::vector<R>{
                                  mouseRec(kAbs, 0, 0, 0),
                                  mouseRec(kAbs | R::kLeftDown, 0, 65535, 65535),
                                  mouseRec(kAbs | R::kLeftUp, 0, 65535, 65535),
                                  mouseRec(kAbs | R::kRightDown, 0, 0, 0),
                                  mouseRec(kAbs | R::kRightUp, 0, 0, 0),
                                  mouseRec(kAbs | R::kMiddleDown, 0, 0, 0),
                                  mouseRec(kAbs | R::kMiddleUp, 0, 0, 0),
                                  mouseRec(kAbs | R::kXDown, 1, 0, 0),
                                  mouseRec(kAbs | R::kXUp, 1, 0, 0),
                                  mouseRec(kAbs | R::kXDown, 2, 0, 0),
                                  mouseRec(kAbs | R::kXUp, 2, 0, 0),
                              }));
    EXPECT_TRUE(f.inj.heldButtons().empty());
}

TEST(InputInjector, ButtonOutsideTableIsIgnored) {
    Fixture f;
    f.inj.mouse(1, 5, 0.5f, 0.5f);
    f.inj.mouse(2, 255, 0.5f, 0.5f);
    EXPECT_TRUE(f.fake->flat().empty());
    EXPECT_TRUE(f.inj.heldButtons().empty());
    f.inj.mouse(0, 200, 0, 0);  // a move does not use the button
    EXPECT_EQ(f.fake->flat(), (std::vector<R>{mouseRec(kAbs, 0, 0, 0)}));
}

TEST(InputInjector, NonFiniteCoordinates) {
    Fixture f;
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    f.inj.mouse(0, 0, nan, 0.5f);  // nowhere to move
    f.inj.mouse(1, 0, 0.5f, inf);  // nowhere to press
    EXPECT_TRUE(f.fake->flat().empty());
    EXPECT_TRUE(f.inj.heldButtons().empty());
    f.inj.mouse(1, 1, 1, 0);
    f.inj.mouse(2, 1, nan, nan);  // the release still happens, where the pointer was
    EXPECT_EQ(f.fake->flat(), (std::vector<R>{mouseRec(kAbs | R::kRightDown, 0, 65535, 0),
                                              mouseRec(kAbs | R::kRightUp, 0, 65535, 0)}));
    EXPECT_TRUE(f.inj.heldButtons().empty());
}

// What the host's dispatcher does with a mouse message: decode it and hand it to the injector.
void mouseFromWire(InputInjector& inj, uint8_t action, uint8_t button, float x, float y) {
    MouseEvent e;
    e.action = action;
    e.button = button;
    e.x = x;
    e.y = y;
    const Bytes payload = e.encode();
    const MouseEvent d = MouseEvent::decode(payload);
    inj.mouse(d.action, d.button, d.x, d.y);
}

// A drag whose release arrives without a usable place ends where the pointer is, not in a corner.
TEST(InputInjector, WireReleaseWithoutCoordinatesKeepsTheLastPosition) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (float bad : {nan, inf, -inf}) {
        SCOPED_TRACE(bad);
        Fixture f;
        mouseFromWire(f.inj, 1, 0, 0.5f, 0.5f);
        mouseFromWire(f.inj, 0, 0, 0.25f, 1.0f);
        mouseFromWire(f.inj, 2, 0, bad, bad);
        // Pixels (960, 540) and then (480, 1079) of the 1920 x 1080 screen.
        EXPECT_EQ(f.fake->flat(), (std::vector<R>{mouseRec(kAbs | R::kLeftDown, 0, 32785, 32798),
                                                  mouseRec(kAbs, 0, 16392, 65535),
                                                  mouseRec(kAbs | R::kLeftUp, 0, 16392, 65535)}));
        EXPECT_TRUE(f.inj.heldButtons().empty());
    }
}

TEST(InputInjector, PressedTwiceReleasedOnceIsNotHeld) {
    Fixture f;
    f.inj.mouse(1, 0, 0, 0);
    f.inj.mouse(1, 0, 0, 0);
    f.inj.mouse(2, 0, 0, 0);
    f.fake->clear();
    f.inj.releaseAll();
    EXPECT_TRUE(f.fake->flat().empty());
}

TEST(InputInjector, ReleaseAllKeysThenButtonsInOrder) {
    Fixture f;
    f.inj.key(123, true);
    f.inj.key(55, true);
    f.inj.key(0, true);
    f.inj.key(63, true);  // no row: never held
    f.inj.mouse(1, 3, 0, 0);
    f.inj.mouse(1, 1, 0, 0);
    f.inj.mouse(0, 0, 1, 1);  // last pointer position
    EXPECT_EQ(f.inj.heldKeys(), (std::set<uint16_t>{0, 55, 123}));
    EXPECT_EQ(f.inj.heldButtons(), (std::set<int>{1, 3}));
    f.fake->clear();
    f.inj.releaseAll();
    EXPECT_EQ(f.fake->flat(), (std::vector<R>{
                                  keyRec(0, 0x1E, R::kKeyScanCode | R::kKeyUp),
                                  keyRec(0, 0x5B, R::kKeyScanCode | R::kKeyUp | R::kKeyExtended),
                                  keyRec(0, 0x4B, R::kKeyScanCode | R::kKeyUp | R::kKeyExtended),
                                  mouseRec(kAbs | R::kRightUp, 0, 65535, 65535),
                                  mouseRec(kAbs | R::kXUp, 1, 65535, 65535),
                              }));
    EXPECT_TRUE(f.inj.heldKeys().empty());
    EXPECT_TRUE(f.inj.heldButtons().empty());
    f.fake->clear();
    f.inj.releaseAll();
    EXPECT_TRUE(f.fake->flat().empty());
}

TEST(InputInjector, KeyRecords) {
    struct Case {
        uint16_t code;
        bool down;
        std::vector<R> records;
    } cases[] = {
        {0, true, {keyRec(0, 0x1E, R::kKeyScanCode)}},
        {0, false, {keyRec(0, 0x1E, R::kKeyScanCode | R::kKeyUp)}},
        {123, true, {keyRec(0, 0x4B, R::kKeyScanCode | R::kKeyExtended)}},
        {61, true, {keyRec(0, 0x38, R::kKeyScanCode | R::kKeyExtended)}},
        {105, true, {keyRec(0x2C, 0x37, R::kKeyExtended)}},  // the virtual key goes in wVk
        {107, false, {keyRec(0x91, 0x46, R::kKeyUp)}},
        {0xF001, true, {keyRec(0x15, 0x72, 0)}},
        {0xF002, false, {keyRec(0x19, 0x71, R::kKeyUp)}},
        {63, true, {}},
        {52, false, {}},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.inj.key(c.code, c.down);
        EXPECT_EQ(f.fake->flat(), c.records) << c.code;
    }
}

TEST(InputInjector, RefusedKeyStillCountsAsHeld) {
    Fixture f;
    f.fake->accept = 0;
    f.inj.key(0, true);
    EXPECT_EQ(f.inj.heldKeys(), (std::set<uint16_t>{0}));
    f.inj.key(0, false);
    EXPECT_TRUE(f.inj.heldKeys().empty());
}

TEST(InputInjector, Wheel) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Step {
        float h, v;
        bool precise;
        std::vector<R> records;  // of this step's call
    };
    auto V = [](int32_t v) { return mouseRec(R::kWheel, uint32_t(v), 0, 0); };
    auto H = [](int32_t h) { return mouseRec(R::kHWheel, uint32_t(-h), 0, 0); };
    struct Case {
        std::string name;
        std::vector<Step> steps;
    } cases[] = {
        {"five precise steps of 0.2",
         {{0, 0.2f, true, {}}, {0, 0.2f, true, {V(1)}}, {0, 0.2f, true, {}}, {0, 0.2f, true, {V(1)}}, {0, 0.2f, true, {}}}},
        {"one notch sideways", {{1, 0, false, {H(120)}}}},
        {"vertical goes first", {{-1, 0.5f, false, {V(60), H(-120)}}}},
        {"negative remainders cut toward zero",
         {{0, -0.3f, true, {}}, {0, -0.3f, true, {V(-1)}}, {0, -0.3f, true, {V(-1)}}, {0, -0.25f, true, {}}}},
        {"NaN does not poison the remainder",
         {{0, 0.2f, true, {}}, {nan, nan, true, {}}, {0, 0.2f, true, {V(1)}}, {0, 1, false, {V(120)}}}},
        {"infinite amounts are dropped", {{inf, -inf, false, {}}, {0, 1, false, {V(120)}}}},
        {"a huge amount is clamped and leaves no remainder",
         {{0, 1e30f, false, {V(32767)}}, {0, 0.1f, true, {}}, {-3e38f, -3e38f, true, {V(-32767), H(-32767)}},
          {0, 0.1f, true, {}}, {0, 1, false, {V(120)}}}},
    };
    for (const Case& c : cases) {
        Fixture f;
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& s = c.steps[i];
            f.fake->clear();
            f.inj.wheel(s.h, s.v, s.precise);
            EXPECT_EQ(f.fake->flat(), s.records) << c.name << " step " << i;
            EXPECT_EQ(f.fake->callSizes().size(), s.records.empty() ? 0u : 1u) << c.name << " step " << i;
        }
    }
}

TEST(InputInjector, ComboLocksOnCommandL) {
    for (uint16_t cmd : {uint16_t(54), uint16_t(55)}) {
        Fixture f;
        f.inj.combo({cmd, 37});
        EXPECT_EQ(f.fake->locks.load(), 1);
        EXPECT_TRUE(f.fake->flat().empty());
    }
}

TEST(InputInjector, ComboPressesThenReleasesInReverse) {
    const R d55 = keyRec(0, 0x5B, R::kKeyScanCode | R::kKeyExtended);
    const R u55 = keyRec(0, 0x5B, R::kKeyScanCode | R::kKeyExtended | R::kKeyUp);
    const R d37 = keyRec(0, 0x26, R::kKeyScanCode), u37 = keyRec(0, 0x26, R::kKeyScanCode | R::kKeyUp);
    const R d56 = keyRec(0, 0x2A, R::kKeyScanCode), u56 = keyRec(0, 0x2A, R::kKeyScanCode | R::kKeyUp);
    struct Case {
        std::vector<uint16_t> codes;
        std::vector<R> records;
    } cases[] = {
        {{55, 37, 56}, {d55, d37, d56, u56, u37, u55}},
        {{37, 55}, {d37, d55, u55, u37}},
        {{56, 37}, {d56, d37, u37, u56}},
        {{55, 63, 37}, {d55, d37, u37, u55}},  // a code without a row sends nothing
        {{}, {}},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.inj.combo(c.codes);
        EXPECT_EQ(f.fake->locks.load(), 0);
        EXPECT_EQ(f.fake->flat(), c.records);
        EXPECT_TRUE(f.inj.heldKeys().empty());
    }
    Fixture f;
    f.inj.combo({0, 1, 2, 3, 4, 5, 6, 7, 8});  // at most eight keys
    EXPECT_EQ(f.fake->flat().size(), 16u);
}

TEST(InputInjector, TypeText) {
    auto uni = [](char16_t u) {
        return std::vector<R>{keyRec(0, u, R::kKeyUnicode), keyRec(0, u, R::kKeyUnicode | R::kKeyUp)};
    };
    auto vk = [](uint16_t v) { return std::vector<R>{keyRec(v, 0, 0), keyRec(v, 0, R::kKeyUp)}; };
    auto cat = [](std::initializer_list<std::vector<R>> parts) {
        std::vector<R> all;
        for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    struct Case {
        std::string text;
        std::vector<R> records;
    } cases[] = {
        {"a\r\nb", cat({uni(u'a'), vk(R::kVkReturn), uni(u'b')})},
        {"a\rb\n", cat({uni(u'a'), vk(R::kVkReturn), uni(u'b'), vk(R::kVkReturn)})},
        {"\r\r\n", cat({vk(R::kVkReturn), vk(R::kVkReturn)})},
        {"\t!", cat({vk(R::kVkTab), uni(u'!')})},
        {"한", uni(0xD55C)},
        {"\xF0\x9F\x98\x80", cat({uni(0xD83D), uni(0xDE00)})},  // outside the BMP: both surrogates
        {"\xED\x95", uni(0xFFFD)},                              // a sequence cut short
        {"a\xFF" "b", cat({uni(u'a'), uni(0xFFFD), uni(u'b')})},
        {"", {}},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.inj.typeText(c.text);
        EXPECT_EQ(f.fake->flat(), c.records) << c.text;
    }
}

TEST(InputInjector, TypeTextBatches) {
    Fixture f;
    f.inj.typeText(std::string(20, 'x'));
    EXPECT_EQ(f.fake->callSizes(), (std::vector<size_t>{32, 8}));
    f.fake->clear();
    f.fake->accept = 0;  // a refused batch does not stop the next one
    f.inj.typeText(std::string(40, 'y'));
    EXPECT_EQ(f.fake->callSizes(), (std::vector<size_t>{32, 32, 16}));
}

// A 5000-byte message is cut to 4096 bytes inside a Hangul syllable: the whole letters are typed
// and the cut-off sequence becomes one replacement character, nothing more.
TEST(InputInjector, TypeTextOfACutMessage) {
    std::string text(4095, 'x');
    while (text.size() < 5000) text += "\xEA\xB0\x80";  // U+AC00
    const Bytes payload(text.begin(), text.end());
    Fixture f;
    f.inj.typeText(decodeText(MsgType::TypeText, ByteSpan(payload.data(), payload.size())));
    const std::vector<R> all = f.fake->flat();
    ASSERT_EQ(all.size(), 2u * 4096);
    EXPECT_EQ(all[0], keyRec(0, 'x', R::kKeyUnicode));
    EXPECT_EQ(all[8189], keyRec(0, 'x', R::kKeyUnicode | R::kKeyUp));
    EXPECT_EQ(all[8190], keyRec(0, 0xFFFD, R::kKeyUnicode));
    EXPECT_EQ(all[8191], keyRec(0, 0xFFFD, R::kKeyUnicode | R::kKeyUp));
    EXPECT_EQ(f.fake->callSizes(), std::vector<size_t>(256, 32));
}

// A session closing on one thread releases held input while the receive thread keeps pressing
// buttons and moving: every release sent must follow the press it undoes, and what the record
// stream leaves down must be what the injector holds.
TEST(InputInjector, ReleaseRacingMouseStream) {
    Fixture f;
    std::atomic<bool> stop{false};
    std::thread mouser([&] {
        for (int i = 0; i < 50000 && !stop.load(); ++i)
            f.inj.mouse(uint8_t(i % 2), uint8_t(i % 5), float(i % 100) / 100.0f, 0.5f);
    });
    std::thread releaser([&] {
        for (int i = 0; i < 3000; ++i) f.inj.releaseAll();
    });
    releaser.join();
    stop = true;
    mouser.join();

    auto buttonOf = [](const R& r) { return r.flags & (R::kXDown | R::kXUp) ? int(2 + r.mouseData) : -1; };
    std::set<int> down;
    int releasesWithoutPress = 0;
    for (const R& r : f.fake->flat()) {
        int b = buttonOf(r);
        if (r.flags & (R::kLeftDown | R::kLeftUp)) b = 0;
        if (r.flags & (R::kRightDown | R::kRightUp)) b = 1;
        if (r.flags & (R::kMiddleDown | R::kMiddleUp)) b = 2;
        if (b < 0) continue;
        if (r.flags & (R::kLeftDown | R::kRightDown | R::kMiddleDown | R::kXDown)) {
            down.insert(b);
        } else if (!down.erase(b)) {
            ++releasesWithoutPress;
        }
    }
    EXPECT_EQ(releasesWithoutPress, 0);
    EXPECT_EQ(down, f.inj.heldButtons());
    f.fake->clear();
    f.inj.releaseAll();
    EXPECT_EQ(f.fake->flat().size(), down.size());
    EXPECT_TRUE(f.inj.heldButtons().empty());
}

}  // namespace
