#include "core/config/pairing.h"

#include <algorithm>

Bytes PairingCode::renew(int seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes fresh(kLength);
    randomBytes(fresh.data(), kLength);
    code_ = fresh;
    expiry_ = nowSeconds() + seconds;
    failures_ = 0;
    return fresh;
}

void PairingCode::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(code_.begin(), code_.end(), uint8_t(0));
    code_.clear();
}

bool PairingCode::check(ByteSpan token) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code_.empty() || nowSeconds() >= expiry_ || token.size() != code_.size()) {
        // Counted, but only a wrong token of the right length can discard the code.
        countFailure();
        return false;
    }
    if (constantTimeEqual(token.data(), code_.data(), code_.size())) {
        code_.clear();
        return true;
    }
    countFailure();
    if (failures_ >= kMaxFailures) code_.clear();
    return false;
}
