// The host's one-time pairing code: 16 random bytes with an expiry time, consumed by one viewer.
#pragma once

#include <mutex>

#include "core/util.h"

class PairingCode {
public:
    static constexpr int kLength = 16;
    static constexpr int kLifetimeSeconds = 600;
    static constexpr int kMaxFailures = 5;

    // Replaces any code by fresh random bytes valid for `seconds`; returns the new bytes.
    Bytes renew(int seconds);
    // Discards the live code.
    void clear();
    // True when `token` is the live, unexpired code, which is then consumed.
    bool check(ByteSpan token);

private:
    void countFailure() {
        if (failures_ < kMaxFailures) ++failures_;  // the count only matters up to the limit
    }

    std::mutex mutex_;
    Bytes code_;  // empty: no live code
    double expiry_ = 0;
    int failures_ = 0;
};
