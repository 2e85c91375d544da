#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/tray.h"

namespace {

TEST(TrayNames, CarryTheProfileSuffix) {
    struct Case { std::wstring suffix, log, mutex, former; };
    const Case cases[] = {
        {L"", L"tavrel.log", L"Local\\Tavrel", L"Local\\Varnoth"},
        {L"-work", L"tavrel-work.log", L"Local\\Tavrel-work", L"Local\\Varnoth-work"},
        {L"-\uC9D1", L"tavrel-\uC9D1.log", L"Local\\Tavrel-\uC9D1", L"Local\\Varnoth-\uC9D1"},
        // One folder for every spelling: the mutex is named from the folded name.
        {L"-WORK", L"tavrel-WORK.log", L"Local\\Tavrel-work", L"Local\\Varnoth-WORK"},
    };
    for (const auto& c : cases) {
        const ProcessNames n = processNames(c.suffix);
        EXPECT_EQ(n.logFile, c.log);
        EXPECT_EQ(n.mutex, c.mutex);
        EXPECT_EQ(n.formerMutex, c.former);
    }
}

TEST(TrayStartHint, OnlyWithHostingOffAndNoRegisteredComputer) {
    struct Case { bool hosting; size_t hosts; bool hint; };
    const Case cases[] = {{false, 0, true}, {true, 0, false}, {false, 1, false}, {true, 2, false}};
    for (const auto& c : cases) {
        AppConfig config;
        config.hosting = c.hosting;
        config.hosts.resize(c.hosts);
        EXPECT_EQ(wantsStartHint(config), c.hint) << c.hosting << " " << c.hosts;
    }
}

TEST(TrayPower, ResumeReconnectsAndASourceChangeOnlyReevaluates) {
    struct Case { unsigned event; PowerAction action; };
    const Case cases[] = {
        {7, PowerAction::Resume},        {18, PowerAction::Resume}, {10, PowerAction::PowerSource},
        {4, PowerAction::None},          {0, PowerAction::None},    {0x8013, PowerAction::None},
        {0x10007, PowerAction::None},
    };
    for (const auto& c : cases) EXPECT_EQ(powerAction(c.event), c.action) << c.event;
}

TEST(TrayIconModelTable, StateGlyphAndTip) {
    struct Case { bool session; std::string peer; bool hosting; TrayState state; char16_t glyph; std::u16string tip; };
    const Case cases[] = {
        {false, "", false, TrayState::Idle, u'\uE7F4', u"Tavrel"},
        {false, "", true, TrayState::Hosting, u'\uE701', u"Tavrel \u2014 원격 제어 허용 중"},
        {true, "맥북", true, TrayState::Controlled, u'\uE890', u"Tavrel \u2014 맥북 이(가) 이 PC 를 제어 중"},
        // A session can outlive the switch for a moment: it still controls this PC.
        {true, "mac", false, TrayState::Controlled, u'\uE890', u"Tavrel \u2014 mac 이(가) 이 PC 를 제어 중"},
        {true, "a\xFF", true, TrayState::Controlled, u'\uE890', u"Tavrel \u2014 a\uFFFD 이(가) 이 PC 를 제어 중"},
    };
    for (const auto& c : cases) {
        const TrayIconModel m = trayIconModel(c.session, c.peer, c.hosting);
        EXPECT_EQ(m.state, c.state) << c.peer;
        EXPECT_EQ(m.glyph, c.glyph) << c.peer;
        EXPECT_EQ(m.tip, c.tip) << c.peer;
    }
}

TEST(TrayAnnouncement, SameNameWhileShownIsQuietAndReturnsAfterARedrawWithoutSession) {
    struct Step { bool session; std::string peer; bool announced; std::string lastAfter; };
    const Step steps[] = {
        {false, "", false, ""},
        {true, "A", true, "A"},
        {true, "A", false, "A"},             // the same peer while it is still shown
        {true, "B", true, "B"},              // a new session of another peer replaced it
        {false, "", false, ""},              // drawn once without a session
        {true, "B", true, "B"},              // so the same peer is announced again
        {true, "e\xCC\x81", true, "e\xCC\x81"},  // compared byte for byte: "é" decomposed
        {true, "\xC3\xA9", true, "\xC3\xA9"},    // and composed are two names
    };
    std::string last;
    int i = 0;
    for (const auto& s : steps) {
        EXPECT_EQ(announceController(last, s.session, s.peer), s.announced) << "step " << i;
        EXPECT_EQ(last, s.lastAfter) << "step " << i;
        ++i;
    }
}

TEST(TrayStayAwake, FollowsHostingSwitchesAndPowerSource) {
    struct Case {
        bool hosting, stayAwake, acOnly, powerRead;
        uint8_t ac;
        bool active;
        StayAwakeStep step;
    };
    const Case cases[] = {
        {true, true, true, true, 0, true, StayAwakeStep::Release},    // battery with mains-only
        {true, true, true, true, 0, false, StayAwakeStep::None},
        {true, true, true, true, 1, false, StayAwakeStep::Hold},      // mains
        {true, true, true, true, 255, false, StayAwakeStep::Hold},    // unknown source
        {true, true, true, true, 255, true, StayAwakeStep::None},     // a repeat does nothing
        {true, true, true, false, 0, false, StayAwakeStep::Hold},     // status unreadable
        {true, true, false, true, 0, false, StayAwakeStep::Hold},     // battery allowed
        {false, true, false, true, 1, true, StayAwakeStep::Release},  // hosting off wins
        {false, true, false, true, 1, false, StayAwakeStep::None},
        {true, false, false, true, 1, true, StayAwakeStep::Release},
        {true, false, false, true, 1, false, StayAwakeStep::None},
    };
    int i = 0;
    for (const auto& c : cases) {
        AppConfig config;
        config.hosting = c.hosting;
        config.stayAwake = c.stayAwake;
        config.stayAwakeACOnly = c.acOnly;
        EXPECT_EQ(stayAwakeStep(config, c.powerRead, c.ac, c.active), c.step) << "row " << i;
        ++i;
    }
}

TEST(TrayIconColours, CoverageBecomesPremultipliedWhiteOrBlack) {
    // Pixels as drawn white on black; the green byte is the coverage, the others are ignored.
    const std::vector<uint8_t> drawn = {0x80, 0x80, 0x80, 0x00, 0x10, 0x80, 0x30, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00};
    struct Case { bool light; std::vector<uint8_t> want; };
    const Case cases[] = {
        {false, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}},
        {true, {0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0xFF}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> pixels = drawn;
        recolourIcon(pixels.data(), pixels.size() / 4, c.light);
        EXPECT_EQ(pixels, c.want) << c.light;
    }
}

TEST(TrayTextCuts, NeverSplitASurrogatePair) {
    const std::u16string emoji = u"\U0001F600";  // two units
    for (size_t limit : {size_t(127), size_t(63), size_t(255)}) {
        struct Case { std::u16string text; size_t keep; };
        const Case cases[] = {
            {std::u16string(limit, u'a'), limit},
            {std::u16string(limit + 1, u'a'), limit},
            {std::u16string(limit - 1, u'a') + emoji, limit - 1},          // the pair straddles the cut
            {std::u16string(limit - 2, u'a') + emoji, limit},              // it ends exactly there
            {std::u16string(limit - 2, u'a') + emoji + u"b", limit},
            {std::u16string(limit - 1, u'a') + emoji + emoji, limit - 1},
            {std::u16string(limit - 3, u'a') + emoji + emoji, limit - 1},
            {u"", 0},
        };
        for (const auto& c : cases) {
            const size_t keep = utf16CutLength(c.text, limit);
            EXPECT_EQ(keep, c.keep) << "limit " << limit << " length " << c.text.size();
            if (keep > 0) {
                EXPECT_FALSE(c.text[keep - 1] >= 0xD800 && c.text[keep - 1] <= 0xDBFF);
            }
        }
    }
    EXPECT_EQ(utf16CutLength(std::u16string(u"ab"), 0), 0u);
}

std::vector<bool> rasterise(const IconShape& shape, int size) {
    std::vector<bool> on(size_t(size) * size, false);
    auto fill = [&](const IconRect& r) {
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) on[size_t(y) * size + x] = true;
    };
    for (const auto& r : shape.fills) fill(r);
    fill(shape.dot);
    return on;
}

bool inside(const IconRect& r, int left, int top, int right, int bottom) {
    return r.left < r.right && r.top < r.bottom && r.left >= left && r.top >= top && r.right <= right &&
           r.bottom <= bottom;
}

TEST(TrayIconShapes, FitTheIconAndTellTheStatesApart) {
    for (int size : {16, 20, 24, 32, 40, 48, 64}) {
        const IconShape idle = iconShape(TrayState::Idle, size);
        const IconShape hosting = iconShape(TrayState::Hosting, size);
        const IconShape controlled = iconShape(TrayState::Controlled, size);
        for (const IconShape* s : {&idle, &hosting, &controlled})
            for (const auto& r : s->fills) EXPECT_TRUE(inside(r, 0, 0, size, size)) << size;
        EXPECT_LE(idle.dot.right, idle.dot.left);
        EXPECT_LE(controlled.dot.right, controlled.dot.left);
        // The dot sits inside the screen's outline without touching it.
        const IconRect screen = controlled.fills.front();
        const int line = idle.fills[2].right - idle.fills[2].left;
        EXPECT_TRUE(inside(hosting.dot, screen.left + line + 1, screen.top + line + 1, screen.right - line - 1,
                           screen.bottom - line - 1))
            << size;
        const auto a = rasterise(idle, size), b = rasterise(hosting, size), c = rasterise(controlled, size);
        EXPECT_NE(a, b) << size;
        EXPECT_NE(b, c) << size;
        EXPECT_NE(a, c) << size;
        for (size_t i = 0; i < a.size(); ++i) EXPECT_TRUE(!a[i] || c[i]) << size << " pixel " << i;
    }
}

}  // namespace
