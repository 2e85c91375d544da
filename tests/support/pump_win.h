// Running this thread's messages while a GUI test waits for something to happen.
#pragma once

#include <windows.h>

#include <functional>

#include "core/util.h"

// Dispatches every message waiting for this thread.
inline void pumpMessages() {
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
    }
}

// Pumps until `done` holds or `ms` passed; the result of `done` at the end.
inline bool pumpUntil(const std::function<bool()>& done, int ms = 3000) {
    for (int64_t end = nowNanos() + int64_t(ms) * 1'000'000; nowNanos() < end;) {
        pumpMessages();
        if (done()) return true;
        sleepMs(2);
    }
    return done();
}

inline void pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}
