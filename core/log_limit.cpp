#include "core/log_limit.h"

#include "core/util.h"

namespace {
const char* const kOtherCauses = "";
}

void LogLimiter::setIntervalMs(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    intervalNs_ = int64_t(ms < 0 ? 0 : ms) * 1000000;
}

std::optional<std::string> LogLimiter::admit(const std::string& cause) {
    const int64_t now = nowNanos();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = causes_.find(cause);
    if (it == causes_.end()) {
        const std::string key = causes_.size() < kMaxCauses ? cause : std::string(kOtherCauses);
        it = causes_.find(key);
        if (it == causes_.end()) {
            causes_[key] = State{now, 0};
            return std::string();
        }
    }
    State& state = it->second;
    if (now - state.lastNs < intervalNs_) {
        ++state.held;
        return std::nullopt;
    }
    std::string tail = state.held > 0 ? " (앞 줄 뒤로 " + std::to_string(state.held) + "번 더)" : "";
    state.lastNs = now;
    state.held = 0;
    return tail;
}

void LogLimiter::log(const std::string& cause, const std::string& line) {
    if (std::optional<std::string> tail = admit(cause)) logLine(line + *tail);
}
