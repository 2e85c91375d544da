#include "support/session_peer.h"

#include <chrono>

SessionPeer::SessionPeer(std::shared_ptr<SecureChannel> channel)
    : channel_(std::move(channel)), reader_([this] { read(); }) {}

SessionPeer::~SessionPeer() {
    hangUp();
    reader_.join();
}

void SessionPeer::hangUp() { channel_->connection()->shutdown(); }

void SessionPeer::read() {
    try {
        for (;;) {
            ChannelMessage m = channel_->receive(-1);
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back(std::move(m));
            taken_.push_back(false);
            arrived_.notify_all();
        }
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    arrived_.notify_all();
}

bool SessionPeer::send(MsgType type, ByteSpan payload) { return channel_->send(uint8_t(type), payload); }

std::optional<ChannelMessage> SessionPeer::next(MsgType type, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<ChannelMessage> found;
    arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (size_t i = 0; i < messages_.size(); ++i) {
            if (taken_[i] || messages_[i].type != uint8_t(type)) continue;
            taken_[i] = true;
            found = messages_[i];
            return true;
        }
        return closed_;
    });
    return found;
}

std::vector<ChannelMessage> SessionPeer::all(MsgType type) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<ChannelMessage> out;
    for (const ChannelMessage& m : messages_)
        if (m.type == uint8_t(type)) out.push_back(m);
    return out;
}

size_t SessionPeer::count(MsgType type) { return all(type).size(); }

bool SessionPeer::waitCount(MsgType type, size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t c = 0;
        for (const ChannelMessage& m : messages_) c += m.type == uint8_t(type);
        return c >= n;
    });
}

std::vector<std::string> SessionPeer::notices() {
    std::vector<std::string> out;
    for (const ChannelMessage& m : all(MsgType::Notice)) out.push_back(spanToString(m.payload));
    return out;
}

bool SessionPeer::waitNotice(const std::string& text, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const ChannelMessage& m : messages_)
            if (m.type == uint8_t(MsgType::Notice) && spanToString(m.payload) == text) return true;
        return false;
    });
}

bool SessionPeer::waitClosed(int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return closed_; });
}
