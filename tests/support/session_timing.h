// Host session waits for tests: the product's seconds become tenths, its tenths hundredths.
#pragma once

#include "host/session.h"

inline HostSessionTiming shortSessionTiming() {
    constexpr int64_t ms = 1'000'000;
    HostSessionTiming t;
    t.statusPassMs = 100;
    t.setupRetryMs = 200;
    t.restoreWaitMs = 20;
    t.grabRetryNs = 30 * ms;
    t.windowMoveNs = 30 * ms;
    t.viewSizeNs = 40 * ms;
    t.focusNs = 20 * ms;
    t.windowCheckNs = 20 * ms;
    t.caretNs = 20 * ms;
    t.cursorNs = 10 * ms;
    t.rateStepNs = 150 * ms;
    t.frameExpiryNs = 500 * ms;
    return t;
}
