// A bounded poll: checks `pred` every 5 ms until it holds or `timeoutMs` have passed.
#pragma once

#include <cstdint>
#include <functional>

#include "core/util.h"

inline bool waitUntil(const std::function<bool()>& pred, int timeoutMs) {
    int64_t deadline = nowNanos() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        if (pred()) return true;
        if (nowNanos() >= deadline) return false;
        sleepMs(5);
    }
}
