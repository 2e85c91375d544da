#include "viewer/outgoing.h"

#include <algorithm>
#include <utility>

#include "core/config/keys.h"
#include "host/protocol/messages.h"

namespace {

bool isMouseMove(uint8_t type, const Bytes& payload) {
    return type == uint8_t(MsgType::Mouse) && !payload.empty() && payload[0] == 0;
}

// Input through which the person may paste on the host: keys, key combinations and clicks.
bool mayPaste(const QueuedMessage& m) {
    return m.type == uint8_t(MsgType::Key) || m.type == uint8_t(MsgType::KeyCombo) ||
           (m.type == uint8_t(MsgType::Mouse) && !isMouseMove(m.type, m.payload));
}

}  // namespace

void OutgoingQueue::release(QueuedMessage& m) {
    if (m.secret) wipeSecret(m.payload.data(), m.payload.size());
    if (released_) released_(m);
}

OutgoingQueue::Push OutgoingQueue::push(uint8_t type, Bytes payload, bool secret, uint64_t* ticket) {
    QueuedMessage m{type, std::move(payload), secret, 0};
    std::unique_lock lock(mutex_);
    if (closed_) {
        release(m);
        return Push::Closed;
    }
    const bool clipboard = type == uint8_t(MsgType::Clipboard);
    std::deque<QueuedMessage>& lane = clipboard ? bulk_ : input_;
    size_t& laneBytes = clipboard ? bulkBytes_ : inputBytes_;

    if (clipboard) {
        // Only the newest clipboard matters; the one still waiting goes, the new one joins last.
        auto old = std::find_if(bulk_.begin(), bulk_.end(),
                                [](const QueuedMessage& q) { return q.type == uint8_t(MsgType::Clipboard); });
        if (old != bulk_.end()) {
            bulkBytes_ -= cost(*old);
            release(*old);
            bulk_.erase(old);
        }
    } else if (isMouseMove(type, m.payload) && !input_.empty() &&
               isMouseMove(input_.back().type, input_.back().payload)) {
        // The host only needs where the pointer is now.
        QueuedMessage& last = input_.back();
        inputBytes_ -= cost(last);
        last.payload = std::move(m.payload);
        inputBytes_ += cost(last);
        if (ticket) *ticket = last.ticket;
        return Push::Queued;
    } else if (inputBytes_ + cost(m) > limits_.maxInputBytes) {
        release(m);
        lock.unlock();
        close();
        return Push::Overflow;
    }
    m.ticket = nextTicket_++;
    if (ticket) *ticket = m.ticket;
    laneBytes += cost(m);
    lane.push_back(std::move(m));
    lock.unlock();
    changed_.notify_all();
    return Push::Queued;
}

bool OutgoingQueue::pushBulk(uint8_t type, Bytes payload) {
    QueuedMessage m{type, std::move(payload), false, 0};
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || bulkBytes_ == 0 || bulkBytes_ + cost(m) <= limits_.maxBulkBytes; });
    if (closed_) return false;
    m.ticket = nextTicket_++;
    bulkBytes_ += cost(m);
    bulk_.push_back(std::move(m));
    lock.unlock();
    changed_.notify_all();
    return true;
}

std::optional<QueuedMessage> OutgoingQueue::take() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ || !input_.empty() || !bulk_.empty(); });
    if (closed_) return std::nullopt;
    QueuedMessage m;
    // A clipboard change goes ahead of a key or click queued after it, file data or not before
    // it: the paste that follows a copy has to find the copy on the host.
    const auto clip = std::find_if(bulk_.begin(), bulk_.end(),
                                   [](const QueuedMessage& q) { return q.type == uint8_t(MsgType::Clipboard); });
    if (clip != bulk_.end() && !input_.empty() && mayPaste(input_.front()) && clip->ticket < input_.front().ticket) {
        m = std::move(*clip);
        bulk_.erase(clip);
        bulkBytes_ -= cost(m);
    } else {
        std::deque<QueuedMessage>& lane = !input_.empty() ? input_ : bulk_;
        size_t& laneBytes = !input_.empty() ? inputBytes_ : bulkBytes_;
        m = std::move(lane.front());
        lane.pop_front();
        laneBytes -= cost(m);
    }
    inFlight_ = m.ticket;
    lock.unlock();
    changed_.notify_all();  // a bulk sender may have room now
    return m;
}

void OutgoingQueue::finished(QueuedMessage& message) {
    {
        std::lock_guard lock(mutex_);
        release(message);
        if (inFlight_ == message.ticket) inFlight_ = 0;
    }
    changed_.notify_all();
}

bool OutgoingQueue::pendingLocked(uint64_t ticket) const {
    if (inFlight_ == ticket) return true;
    auto has = [ticket](const std::deque<QueuedMessage>& lane) {
        return std::any_of(lane.begin(), lane.end(), [ticket](const QueuedMessage& m) { return m.ticket == ticket; });
    };
    return has(input_) || has(bulk_);
}

bool OutgoingQueue::waitSent(uint64_t ticket, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return closed_ || !pendingLocked(ticket); });
}

void OutgoingQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        for (auto* lane : {&input_, &bulk_}) {
            for (QueuedMessage& m : *lane) release(m);
            lane->clear();
        }
        inputBytes_ = bulkBytes_ = 0;
    }
    changed_.notify_all();
}

bool OutgoingQueue::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

size_t OutgoingQueue::inputBytes() const {
    std::lock_guard lock(mutex_);
    return inputBytes_;
}

size_t OutgoingQueue::bulkBytes() const {
    std::lock_guard lock(mutex_);
    return bulkBytes_;
}
