#include "net/channel.h"

#include "core/config/keys.h"
#include "core/wire.h"

SecureChannel::SecureChannel(std::shared_ptr<FramedConn> conn, CipherState sendState, CipherState receiveState)
    : conn_(std::move(conn)), send_(std::move(sendState)), receive_(std::move(receiveState)) {}

bool SecureChannel::send(uint8_t type, ByteSpan payload, bool secret) {
    Bytes plain;
    plain.reserve(payload.size() + 1);
    plain.push_back(type);
    plain.insert(plain.end(), payload.begin(), payload.end());
    struct Wipe {
        Bytes& bytes;
        bool on;
        const std::function<void(ByteSpan)>& released;
        ~Wipe() {
            if (on) wipeSecret(bytes.data(), bytes.size());
            if (released) released(bytes);
        }
    } wipe{plain, secret, plainReleased_};
    // Held from sealing to writing, so that nonces reach the wire in the order they were used.
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (conn_->isClosed()) return false;
    Bytes sealed = send_.seal(plain);
    return conn_->sendFrame(sealed);
}

ChannelMessage SecureChannel::receive(int timeoutMs, size_t maxFrame) {
    // Frames already buffered behind a forged one must not be handed out either.
    if (broken_) throw ProtoError(kConnClosed);
    Bytes frame = conn_->readFrame(maxFrame, timeoutMs);
    Bytes plain;
    try {
        plain = receive_.open(frame);
    } catch (const ProtoError&) {
        // Nothing after a frame that does not open can be trusted: end the channel.
        broken_ = true;
        conn_->shutdown();
        throw;
    }
    if (plain.empty()) {
        broken_ = true;
        conn_->shutdown();
        throw ProtoError("빈 메시지");
    }
    ChannelMessage msg;
    msg.type = plain[0];
    plain.erase(plain.begin());
    msg.payload = std::move(plain);
    return msg;
}
