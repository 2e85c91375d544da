// Two secure channels over a loopback pair, without a handshake: each end seals with the key the
// other opens with.
#pragma once

#include <memory>

#include "core/crypto/aead.h"
#include "net/channel.h"
#include "support/loopback.h"

struct ChannelPair {
    LoopbackPair conns;
    std::shared_ptr<SecureChannel> client, host;
};

inline ChannelPair makeChannelPair() {
    const Bytes keyA(32, 0xA1), keyB(32, 0xB2);
    ChannelPair p;
    p.conns = makeLoopbackPair();
    if (!p.conns.client || !p.conns.host) return p;
    p.client = std::make_shared<SecureChannel>(p.conns.client, CipherState(keyA), CipherState(keyB));
    p.host = std::make_shared<SecureChannel>(p.conns.host, CipherState(keyB), CipherState(keyA));
    return p;
}
