// A log line that someone who has not proven a key can cause is written at most once per interval
// per cause, with the count of those held back since: strangers must not be able to roll the log
// and so erase the lines that record who connected.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class LogLimiter {
public:
    static constexpr int kDefaultIntervalMs = 60000;
    // Distinct causes kept apart; further ones share one count, so that the table stays small
    // whatever texts a peer manages to bring up.
    static constexpr size_t kMaxCauses = 64;

    explicit LogLimiter(int intervalMs = kDefaultIntervalMs) : intervalNs_(int64_t(intervalMs) * 1000000) {}
    LogLimiter(const LogLimiter&) = delete;
    LogLimiter& operator=(const LogLimiter&) = delete;

    // Later decisions use this interval (0: every line is written).
    void setIntervalMs(int ms);
    // When a line of this cause is due now: what follows it (empty, or the count of those held
    // back since the last one); nothing, and the line counted, when it is not.
    std::optional<std::string> admit(const std::string& cause);
    // Writes line (and the count) when a line of this cause is due.
    void log(const std::string& cause, const std::string& line);

private:
    struct State {
        int64_t lastNs = 0;
        int held = 0;  // lines held back since the last one written
    };
    std::mutex mutex_;
    int64_t intervalNs_;
    std::map<std::string, State> causes_;
};
