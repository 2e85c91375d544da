// A bounded poll for tests: conditions that other threads bring about are checked every few
// milliseconds until they hold or the time is up.
#pragma once

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
