// The curtain's keyboard decision: what a local or injected key event does while it is up.
#include <gtest/gtest.h>

#include <vector>

#include "host/curtain.h"

namespace {

struct Event {
    uint32_t vk;
    bool down;
    bool injected;
    CurtainKeyAction expected;
};

constexpr uint32_t kCtrl = CurtainKeys::kLeftControl, kRCtrl = CurtainKeys::kRightControl;
constexpr uint32_t kAlt = CurtainKeys::kLeftAlt, kRAlt = CurtainKeys::kRightAlt;
constexpr uint32_t kEsc = CurtainKeys::kEscape;
constexpr uint32_t kA = 'A';
constexpr auto Pass = CurtainKeyAction::Pass, Swallow = CurtainKeyAction::Swallow,
               Release = CurtainKeyAction::Release;

}  // namespace

TEST(CurtainKeys, Sequences) {
    struct Case {
        const char* what;
        std::vector<Event> events;
    } cases[] = {
        {"injected keys pass", {{kA, true, true, Pass}, {kEsc, true, true, Pass}, {kCtrl, true, true, Pass}}},
        {"Ctrl Alt Esc releases", {{kCtrl, true, false, Swallow}, {kAlt, true, false, Swallow}, {kEsc, true, false, Release}}},
        {"Alt Ctrl Esc, right-hand keys", {{kRAlt, true, false, Swallow}, {kRCtrl, true, false, Swallow}, {kEsc, true, false, Release}}},
        {"generic Ctrl and Alt codes", {{CurtainKeys::kControl, true, false, Swallow}, {CurtainKeys::kAlt, true, false, Swallow},
                                        {kEsc, true, false, Release}}},
        {"Esc alone", {{kEsc, true, false, Swallow}, {kEsc, false, false, Swallow}}},
        {"Ctrl Esc", {{kCtrl, true, false, Swallow}, {kEsc, true, false, Swallow}}},
        {"Alt Esc", {{kAlt, true, false, Swallow}, {kEsc, true, false, Swallow}}},
        {"Ctrl let go before Esc", {{kCtrl, true, false, Swallow}, {kAlt, true, false, Swallow},
                                    {kCtrl, false, false, Swallow}, {kEsc, true, false, Swallow}}},
        {"left Ctrl down, right Ctrl up", {{kCtrl, true, false, Swallow}, {kAlt, true, false, Swallow},
                                           {kRCtrl, false, false, Swallow}, {kEsc, true, false, Swallow}}},
        {"Esc going up does not release", {{kCtrl, true, false, Swallow}, {kAlt, true, false, Swallow}, {kEsc, false, false, Swallow}}},
        {"the viewer's Ctrl and Alt do not count", {{kCtrl, true, true, Pass}, {kAlt, true, true, Pass}, {kEsc, true, false, Swallow}}},
        {"a held Esc releases once", {{kCtrl, true, false, Swallow}, {kAlt, true, false, Swallow},
                                      {kEsc, true, false, Release}, {kEsc, true, false, Swallow}}},
        {"other keys between still release", {{kCtrl, true, false, Swallow}, {kAlt, true, false, Swallow},
                                              {kA, true, false, Swallow}, {kEsc, true, false, Release}}},
    };
    for (const Case& c : cases) {
        CurtainKeys keys;
        for (size_t i = 0; i < c.events.size(); ++i) {
            const Event& e = c.events[i];
            EXPECT_EQ(keys.onKey(e.vk, e.down, e.injected), e.expected) << c.what << ", event " << i;
        }
    }
}

TEST(CurtainKeys, ResetForgetsHeldKeys) {
    CurtainKeys keys;
    keys.onKey(kCtrl, true, false);
    keys.onKey(kAlt, true, false);
    keys.reset();
    EXPECT_EQ(keys.onKey(kEsc, true, false), Swallow);
}
