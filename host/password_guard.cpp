#include "host/password_guard.h"

#include <algorithm>
#include <utility>

#include "core/config/keys.h"

PasswordGuard::PasswordGuard(PasswordSource source) : source_(std::move(source)) {}

void PasswordGuard::setClock(GuardClock clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = std::move(clock);
}

int PasswordGuard::lockMinutes(int failures) {
    if (failures < kLockFromFailure) return 0;
    int shift = std::min(failures - kLockFromFailure, 6);
    return std::min(1 << shift, kLongestLockMinutes);
}

bool PasswordGuard::lockedNow() const {
    return locked_ && clock_.steadyNanos() < lockUntilSteady_;
}

bool PasswordGuard::begin(std::string& password) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (busy_ || lockedNow()) return false;
    password = source_ ? source_() : std::string();
    if (password.empty()) return false;
    busy_ = true;
    return true;
}

void PasswordGuard::finish(bool success) {
    int failures = 0;
    double until = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        busy_ = false;
        if (success) {
            failureCount_ = 0;
            return;
        }
        failures = ++failureCount_;
        int minutes = lockMinutes(failures);
        if (minutes == 0) return;
        locked_ = true;
        lockUntilSteady_ = clock_.steadyNanos() + int64_t(minutes) * 60 * 1000000000;
        lockUntilWall_ = clock_.wallSeconds() + minutes * 60.0;
        until = lockUntilWall_;
    }
    if (onLockout) onLockout(failures, until);
}

double PasswordGuard::lockedUntil() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lockedNow() ? lockUntilWall_ : 0;
}

int PasswordGuard::failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failureCount_;
}

void PasswordGuard::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    failureCount_ = 0;
    locked_ = false;
    lockUntilSteady_ = 0;
    lockUntilWall_ = 0;
}

PasswordAttempt::PasswordAttempt(PasswordGuard& guard) : guard_(guard) {
    started_ = guard_.begin(password_);
}

PasswordAttempt::~PasswordAttempt() {
    wipeSecret(password_.data(), password_.size());
    if (started_) guard_.finish(success_);
}
