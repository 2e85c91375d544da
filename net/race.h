// The state every race of connection attempts keeps, shared by connection racing and hole
// punching: how many attempts still run, the first connection and whether the waiting side
// has stopped waiting.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

// Conn needs shutdown(); the product uses FramedConn, tests a stand-in.
template <class Conn>
class RaceState {
public:
    void started() {
        std::lock_guard<std::mutex> lock(mutex_);
        ++pending_;
    }

    int pending() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pending_;
    }

protected:
    // Under the lock: conn becomes the winner unless the race is decided already (a winner
    // exists or the waiting side stopped waiting); then it is left in conn for the caller to
    // shut down once the lock is released. True when it won.
    bool keepFirst(std::shared_ptr<Conn>& conn) {
        if (!conn || won_ || done_) return false;
        won_ = true;
        winner_ = std::move(conn);
        return true;
    }

    // Waits at most waitMs until stop holds; from then on the race is done (and, still under the
    // lock, onDone runs). The winner, if any, is handed out and no longer held here.
    template <class Stop, class OnDone>
    std::shared_ptr<Conn> finishWhen(int waitMs, Stop stop, OnDone onDone) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        cv_.wait_until(lock, until, stop);
        done_ = true;
        onDone();
        return std::move(winner_);
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::shared_ptr<Conn> winner_;
    bool won_ = false;
    int32_t pending_ = 0;
    bool done_ = false;
};
