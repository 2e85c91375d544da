// The messages a viewer session has yet to send. Callers (the window's UI thread above all) only
// queue and return; one sending thread of the session writes them to the channel. Input and
// commands go ahead of bulk data, a mouse move still waiting is replaced by the next one, a
// clipboard payload still waiting by the newer one, and both lanes are bounded in bytes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

#include "core/util.h"

struct QueuedMessage {
    uint8_t type = 0;
    Bytes payload;
    bool secret = false;  // wiped once sent or dropped
    uint64_t ticket = 0;
};

struct OutgoingLimits {
    // Input, commands and acknowledgements: small, and never waited for. Filling this much means
    // the host has long stopped taking what it is sent.
    size_t maxInputBytes = size_t(1) << 20;
    // File data: its sender waits for room. The clipboard counts here too, but only one waits.
    size_t maxBulkBytes = size_t(8) << 20;
};

// What an entry costs beyond its payload, so that a flood of empty messages is bounded too.
inline constexpr size_t kOutgoingEntryCost = 64;

class OutgoingQueue {
public:
    enum class Push {
        Queued,     // waiting (or merged into a waiting message)
        Closed,     // dropped: the queue was closed
        Overflow,   // dropped: the input lane is full; the queue is closed now
    };

    explicit OutgoingQueue(OutgoingLimits limits = {}) : limits_(limits) {}
    ~OutgoingQueue() { close(); }
    OutgoingQueue(const OutgoingQueue&) = delete;
    OutgoingQueue& operator=(const OutgoingQueue&) = delete;

    // Never blocks. *ticket (when given) names the message for waitSent.
    Push push(uint8_t type, Bytes payload, bool secret = false, uint64_t* ticket = nullptr);
    // Bulk data for a thread of the caller's own: waits while the bulk lane is full (unless it
    // is empty, so that one large message still goes). False once the queue is closed.
    bool pushBulk(uint8_t type, Bytes payload);

    // The next message, input before bulk; waits for one. Empty once the queue is closed.
    std::optional<QueuedMessage> take();
    // The sending thread is through with the message take gave it; a secret payload is wiped.
    void finished(QueuedMessage& message);
    // Waits until the message of `ticket` was taken and finished, or the queue closed; false
    // when the time ran out first.
    bool waitSent(uint64_t ticket, std::chrono::milliseconds timeout);

    // Drops whatever waits (wiping secrets) and wakes every waiter; later pushes are dropped.
    void close();
    bool closed() const;
    // For tests, set before the queue is shared: called under the queue's lock with every message
    // it is through with (sent or dropped) just before the payload is freed, to see secrets wiped.
    void observeReleases(std::function<void(const QueuedMessage&)> observer) { released_ = std::move(observer); }
    // Bytes waiting in each lane, entry costs included.
    size_t inputBytes() const;
    size_t bulkBytes() const;

private:
    static size_t cost(const QueuedMessage& m) { return m.payload.size() + kOutgoingEntryCost; }
    void release(QueuedMessage& m);
    bool pendingLocked(uint64_t ticket) const;

    const OutgoingLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<QueuedMessage> input_;
    std::deque<QueuedMessage> bulk_;
    size_t inputBytes_ = 0;
    size_t bulkBytes_ = 0;
    uint64_t nextTicket_ = 1;
    uint64_t inFlight_ = 0;  // ticket of the message being sent; 0 when none
    bool closed_ = false;
    std::function<void(const QueuedMessage&)> released_;
};
