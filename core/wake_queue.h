// Work and data that other threads hand to one window's thread. The items wait here, under a lock,
// and the window is only woken by a message that carries nothing: any program on the desktop can
// post a window a private message, so what such a message holds is never taken for a pointer. One
// wake stands for however many items wait, so a stalled window never fills its message queue.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

template <class T>
class WakeQueue {
public:
    explicit WakeQueue(size_t limit) : limit_(limit) {}
    WakeQueue(const WakeQueue&) = delete;
    WakeQueue& operator=(const WakeQueue&) = delete;

    // Any thread. Adds `item` and, when the window has no wake on its way, calls `wake`, which
    // posts the wake message and returns whether that worked; it runs under the queue's lock, so it
    // must do nothing else. False, with the item dropped, when `limit` items wait already or the
    // wake could not be posted (no window: nothing would ever take it).
    template <class Wake>
    bool put(T item, Wake&& wake) {
        std::lock_guard lock(mutex_);
        if (items_.size() >= limit_) return false;
        // Without a wake on its way nothing waits, so a failed wake strands no other item.
        if (!woken_) {
            if (!wake()) return false;
            woken_ = true;
        }
        items_.push_back(std::move(item));
        return true;
    }

    // The window's thread. The oldest waiting item; none when none waits, and then the next put
    // wakes the window again. One at a time, so that a modal loop run by one item's handling takes
    // the next ones in their order.
    std::optional<T> take() {
        std::lock_guard lock(mutex_);
        if (items_.empty()) {
            woken_ = false;
            return std::nullopt;
        }
        std::optional<T> next(std::move(items_.front()));
        items_.pop_front();
        return next;
    }

    // Drops whatever waits and forgets the wake on its way: the window it was for is gone, and a
    // new one starts with nothing waiting.
    void clear() {
        std::deque<T> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped.swap(items_);
            woken_ = false;
        }
    }

    size_t waiting() {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

private:
    const size_t limit_;
    std::mutex mutex_;
    std::deque<T> items_;
    bool woken_ = false;  // a wake message is on its way, or the window is taking items now
};
