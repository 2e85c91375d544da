// A viewer for tests of the host: dials the host directly on 127.0.0.1 or through a relay, runs
// either handshake with an identity {"v":1,"name","os","token"?}, sends a session request and reads
// the host's messages. Every wait is bounded.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/config/settings.h"
#include "core/crypto/x25519.h"
#include "core/json.h"
#include "core/util.h"
#include "host/protocol/messages.h"
#include "net/channel.h"
#include "net/framed.h"
#include "net/relay.h"

class TestViewer {
public:
    // A fresh device key; the name is made unique per viewer unless given.
    explicit TestViewer(std::string name = std::string(), std::string os = "windows");

    KeyPair device;
    std::string name;
    std::string os;      // the identity's "os"; empty leaves it out
    std::string token;   // the identity's "token" (base64 pairing code); empty leaves it out
    Bytes identityOverride;  // sent in place of the identity when not empty

    // The identity this viewer sends.
    Bytes identity() const;
    // This viewer as a host's allowed device: its name and key.
    Peer asPeer() const;

    // 127.0.0.1:port. False when the dial fails.
    bool dial(int port);
    // A relayed pipe to the host registered under id. False when the relay refuses.
    bool dialRelay(const RelayConfig& relay, const std::string& id);

    // The handshakes; they throw what the connection code throws (BadPassword, PasswordRefused,
    // ProtoError). The host's hello and key are kept.
    void passwordHandshake(const std::string& password);
    void pairedHandshake(ByteSpan hostPublicKey);
    // The same, giving the ProtoError text instead ("" on success).
    std::string tryPassword(const std::string& password);
    std::string tryPaired(ByteSpan hostPublicKey);

    // A request with "os" and the given purpose (empty: none).
    static Json request(const std::string& os = "windows", const std::string& purpose = std::string());
    bool sendRequest(const Json& request);
    bool send(MsgType type, ByteSpan payload);
    // The next message; false on time-out or when the connection closed.
    bool receive(ChannelMessage& out, int timeoutMs);
    // A Ping answered by its Pong within timeoutMs: the host serves a session for this viewer.
    bool ping(int timeoutMs = 5000);
    // The host shut the connection down within timeoutMs (messages before that are skipped).
    bool waitClosed(int timeoutMs = 5000);
    void hangUp();

    std::shared_ptr<FramedConn> conn;
    std::shared_ptr<SecureChannel> channel;
    Json hostHello;
    Bytes hostKey;

private:
    uint64_t pings_ = 0;
};
