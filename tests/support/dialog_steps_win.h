// Acting inside the dialogs that code under test opens on this thread: steps for a ModalAction,
// run one per tick in order until each returns true (the action is then done). Past the time every
// dialog of the builder still open is closed, so a test that fails never hangs in one.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <vector>

#include "core/util.h"
#include "support/gui_win.h"

inline std::function<bool()> dialogSteps(std::vector<std::function<bool()>> steps, int ms = 4500) {
    struct State {
        std::vector<std::function<bool()>> steps;
        size_t next = 0;
        int64_t deadline = 0;
    };
    auto state = std::make_shared<State>();
    state->steps = std::move(steps);
    state->deadline = nowNanos() + int64_t(ms) * 1'000'000;
    return [state] {
        if (nowNanos() > state->deadline) {
            for (HWND dialog : topWindows(L"TavrelDialog")) PostMessageW(dialog, WM_CLOSE, 0, 0);
            return false;  // the action is not done
        }
        if (state->next < state->steps.size() && state->steps[state->next]()) ++state->next;
        return state->next == state->steps.size();
    };
}
