// The throttle on logins by access ID and password: one attempt at a time, and from the fifth
// failure in a row no password logins for a lock period that doubles up to an hour. Kept in memory
// only; a restart forgets it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/util.h"

// The guard's two clocks. The lock is decided on the steady one, so that a change of the wall
// clock neither lifts nor stretches it; the wall clock only says when it ends.
struct GuardClock {
    std::function<int64_t()> steadyNanos = nowNanos;
    std::function<double()> wallSeconds = nowSeconds;
};

class PasswordGuard {
public:
    // Gives the stored login password while password logins are switched on, else empty.
    using PasswordSource = std::function<std::string()>;

    static constexpr int kLockFromFailure = 5;
    static constexpr int kLongestLockMinutes = 60;

    explicit PasswordGuard(PasswordSource source);
    PasswordGuard(const PasswordGuard&) = delete;
    PasswordGuard& operator=(const PasswordGuard&) = delete;

    // Called with the failure count and the end of the lock (seconds since 1970) at the fifth and
    // every later failure, on the failing thread, with no lock held. Set once before use.
    std::function<void(int failures, double lockedUntil)> onLockout;

    // True when an attempt may start: nothing else is being tried, no lock is in force and a
    // password is stored; `password` then holds it and the guard is busy until finish.
    bool begin(std::string& password);
    // Ends the attempt a successful begin started.
    void finish(bool success);
    // The end of the lock, seconds since 1970, while it is in force; else 0.
    double lockedUntil() const;
    int failures() const;
    // The user set a new password: no failures, no lock. An attempt under way goes on.
    void reset();

    void setClock(GuardClock clock);

    // Length of the lock that the given failure count starts.
    static int lockMinutes(int failures);

private:
    bool lockedNow() const;  // with mutex_ held

    PasswordSource source_;
    mutable std::mutex mutex_;
    GuardClock clock_;
    bool busy_ = false;
    int32_t failureCount_ = 0;
    bool locked_ = false;
    int64_t lockUntilSteady_ = 0;
    double lockUntilWall_ = 0;
};

// One password attempt: begins in the constructor and, when it began, finishes exactly once in the
// destructor, as a failure unless succeeded() was called. The password is wiped then.
class PasswordAttempt {
public:
    explicit PasswordAttempt(PasswordGuard& guard);
    ~PasswordAttempt();
    PasswordAttempt(const PasswordAttempt&) = delete;
    PasswordAttempt& operator=(const PasswordAttempt&) = delete;

    bool started() const { return started_; }
    const std::string& password() const { return password_; }
    void succeeded() { success_ = true; }

private:
    PasswordGuard& guard_;
    std::string password_;
    bool started_ = false;
    bool success_ = false;
};
