// The viewer's end of a host session under test: a thread reads every message of the host into a
// list that tests wait on, by type, in arrival order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/protocol/messages.h"
#include "net/channel.h"

class SessionPeer {
public:
    explicit SessionPeer(std::shared_ptr<SecureChannel> channel);
    // Shuts the connection down and waits for the reader.
    ~SessionPeer();
    SessionPeer(const SessionPeer&) = delete;
    SessionPeer& operator=(const SessionPeer&) = delete;

    bool send(MsgType type, ByteSpan payload = {});
    bool sendText(MsgType type, const std::string& text) { return send(type, asBytes(text)); }

    // The next message of this type that no earlier call took, waiting up to timeoutMs.
    std::optional<ChannelMessage> next(MsgType type, int timeoutMs = 5000);
    // Every message of this type received so far (taken or not).
    std::vector<ChannelMessage> all(MsgType type);
    size_t count(MsgType type);
    bool waitCount(MsgType type, size_t n, int timeoutMs = 5000);
    // Texts of the notices received so far; waits until one equals `text`.
    std::vector<std::string> notices();
    bool waitNotice(const std::string& text, int timeoutMs = 5000);
    // The host ended the connection.
    bool waitClosed(int timeoutMs = 5000);
    void hangUp();

private:
    void read();

    std::shared_ptr<SecureChannel> channel_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<ChannelMessage> messages_;
    std::vector<bool> taken_;
    bool closed_ = false;
    std::thread reader_;
};
