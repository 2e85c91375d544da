#include "support/test_viewer.h"

#include <atomic>

#include "core/wire.h"
#include "net/handshake.h"
#include "support/proto_error.h"

TestViewer::TestViewer(std::string viewerName, std::string viewerOs)
    : device(newKeyPair()), name(std::move(viewerName)), os(std::move(viewerOs)) {
    static std::atomic<int> counter{0};
    if (name.empty()) name = "테스트 뷰어 " + std::to_string(++counter);
}

Peer TestViewer::asPeer() const {
    Peer p;
    p.name = name;
    p.key = base64Encode(device.publicKey);
    return p;
}

Bytes TestViewer::identity() const {
    if (!identityOverride.empty()) return identityOverride;
    Json id;
    id.set("v", 1);
    id.set("name", name);
    if (!os.empty()) id.set("os", os);
    if (!token.empty()) id.set("token", token);
    std::string text = id.dump();
    return Bytes(text.begin(), text.end());
}

bool TestViewer::dial(int port) {
    conn = connectTcp("127.0.0.1", port, 5000);
    return bool(conn);
}

bool TestViewer::dialRelay(const RelayConfig& relay, const std::string& id) {
    try {
        conn = connectViaRelay(relay, id);
    } catch (const ProtoError&) {
        conn.reset();
    }
    return bool(conn);
}

void TestViewer::passwordHandshake(const std::string& password) {
    Bytes hostIdentity;
    channel = clientPasswordHandshake(conn, device, password, identity(), hostKey, hostIdentity);
    Json::parse(spanToString(hostIdentity), hostHello);
}

void TestViewer::pairedHandshake(ByteSpan hostPublicKey) {
    Bytes hostIdentity;
    channel = clientPairedHandshake(conn, device, hostPublicKey, identity(), hostIdentity);
    hostKey.assign(hostPublicKey.begin(), hostPublicKey.end());
    Json::parse(spanToString(hostIdentity), hostHello);
}

std::string TestViewer::tryPassword(const std::string& password) {
    return protoErrorOf([&] { passwordHandshake(password); });
}

std::string TestViewer::tryPaired(ByteSpan hostPublicKey) {
    return protoErrorOf([&] { pairedHandshake(hostPublicKey); });
}

Json TestViewer::request(const std::string& os, const std::string& purpose) {
    Json r;
    r.set("fps", 30);
    if (!os.empty()) r.set("os", os);
    if (!purpose.empty()) r.set("purpose", purpose);
    return r;
}

bool TestViewer::sendRequest(const Json& request) {
    return send(MsgType::SessionRequest, encodeJson(request));
}

bool TestViewer::send(MsgType type, ByteSpan payload) {
    return channel && channel->send(uint8_t(type), payload);
}

bool TestViewer::receive(ChannelMessage& out, int timeoutMs) {
    if (!channel) return false;
    try {
        out = channel->receive(timeoutMs);
        return true;
    } catch (const ProtoError&) {
        return false;
    }
}

bool TestViewer::ping(int timeoutMs) {
    const uint64_t value = ++pings_ * 1000003;
    if (!send(MsgType::Ping, encodePing(value))) return false;
    const int64_t deadline = nowNanos() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        int left = int((deadline - nowNanos()) / 1000000);
        ChannelMessage m;
        if (left <= 0 || !receive(m, left)) return false;
        if (m.type == uint8_t(MsgType::Pong) && decodePong(m.payload) == value) return true;
    }
}

bool TestViewer::waitClosed(int timeoutMs) {
    if (!conn) return true;
    const int64_t deadline = nowNanos() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        int left = int((deadline - nowNanos()) / 1000000);
        if (left <= 0) return false;
        try {
            conn->readFrame(kMaxChannelFrame, left);
        } catch (const ProtoError& e) {
            return std::string(e.what()) == kConnClosed;
        }
    }
}

void TestViewer::hangUp() {
    if (conn) conn->shutdown();
}
