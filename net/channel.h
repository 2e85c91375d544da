// The encrypted, typed message channel every session runs on once a handshake has agreed on
// keys: each message (a type byte and a payload) travels sealed in exactly one frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "core/crypto/aead.h"
#include "core/util.h"
#include "net/framed.h"

// Sealed bytes one received message may hold (48 MiB).
inline constexpr size_t kMaxChannelFrame = 50331648;

struct ChannelMessage {
    uint8_t type = 0;
    Bytes payload;
};

class SecureChannel {
public:
    // Made by the handshakes, with both directions' keys and starting counters.
    SecureChannel(std::shared_ptr<FramedConn> conn, CipherState sendState, CipherState receiveState);
    SecureChannel(const SecureChannel&) = delete;
    SecureChannel& operator=(const SecureChannel&) = delete;

    // Seals and writes one message. False when the connection was already closed (nothing is
    // sealed then) or the write failed. Any thread may send; the order of nonces is the order
    // on the wire. A secret payload (a password) leaves no plain copy behind in this channel's
    // buffers.
    bool send(uint8_t type, ByteSpan payload, bool secret = false);
    // The next message (one receiving thread). Throws ProtoError: the frame errors of the
    // connection, "복호 실패" for a frame that does not open (altered, replayed or out of order)
    // and "빈 메시지" for one without a type byte; after those two the connection is shut down.
    // maxFrame bounds the sealed frame: a peer that has not yet proven its key gets a small one.
    ChannelMessage receive(int timeoutMs, size_t maxFrame = kMaxChannelFrame);

    const std::shared_ptr<FramedConn>& connection() const { return conn_; }
    // For tests, set before the channel is shared: called with the plain copy (type byte and
    // payload) of every message send made, just before its buffer is freed, to see secrets wiped.
    void observePlainReleases(std::function<void(ByteSpan)> observer) { plainReleased_ = std::move(observer); }

private:
    std::shared_ptr<FramedConn> conn_;
    std::mutex sendMutex_;  // taken before the connection's own send mutex, never after
    CipherState send_;
    CipherState receive_;
    bool broken_ = false;  // a frame failed to open; only the receiving thread touches it
    std::function<void(ByteSpan)> plainReleased_;
};
