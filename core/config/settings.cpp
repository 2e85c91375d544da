#include "core/config/settings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

#include "tavrel_relay.h"

namespace {

// Numbers in config.json are doubles; integers come out of them only through the checked helper.
int32_t readInt32(const Json& value, int32_t fallback) {
    if (!value.isNumber()) return fallback;
    return int32_t(checkedTrunc(value.number, INT32_MIN, INT32_MAX, fallback));
}

double readTime(const Json& value) {
    return value.isNumber() && std::isfinite(value.number) ? value.number : 0;
}

bool readBool(const Json& value, bool fallback) { return value.isBool() ? value.boolean : fallback; }

std::vector<std::string> readStrings(const Json& value) {
    std::vector<std::string> out;
    if (!value.isArray()) return out;
    out.reserve(value.items.size());
    for (const Json& item : value.items) out.push_back(item.asString());
    return out;
}

Json stringsToJson(const std::vector<std::string>& strings) {
    Json array;
    array.tag = Json::kArray;
    for (const std::string& s : strings) array.push(s);
    return array;
}

Json peersToJson(const std::vector<Peer>& peers) {
    Json array;
    array.tag = Json::kArray;
    for (const Peer& p : peers) array.push(peerToJson(p));
    return array;
}

std::vector<Peer> peersFromJson(const Json& value) {
    std::vector<Peer> out;
    if (!value.isArray()) return out;
    out.reserve(value.items.size());
    for (const Json& item : value.items) out.push_back(peerFromJson(item));
    return out;
}

// Levels of nesting of a value, itself included (a scalar or an empty container is 1).
int nestingDepth(const Json& value) {
    int deepest = 0;
    for (const Json& item : value.items) deepest = std::max(deepest, nestingDepth(item));
    for (const auto& member : value.members) deepest = std::max(deepest, nestingDepth(member.second));
    return deepest + 1;
}

// A peer record sits three levels deep in config.json (the settings object, the "allowed" or
// "hosts" array, the peer object), so its "wake" value may nest this deep at most before the
// whole file exceeds what the parser reads back.
constexpr int kMaxWakeDepth = Json::kMaxDepth - 3;

// The built-in relay: host, port and secret given to the build, kept scrambled with the version
// label so that they are not plain strings in the binary. A build given none has none.
RelayConfig unscrambleRelay() {
    constexpr size_t labelLength = sizeof kRelayLabel - 1;
    std::string plain;
    for (size_t i = 0; i < kRelayDataSize; ++i)
        plain += char(kRelayData[i] ^ uint8_t(kRelayLabel[i % labelLength]) ^ uint8_t((i * 37 + 11) & 0xff));
    // "host\nport\nsecret"
    RelayConfig relay;
    size_t a = plain.find('\n');
    size_t b = a == std::string::npos ? a : plain.find('\n', a + 1);
    if (b == std::string::npos) return relay;
    int port = 0;
    const char* first = plain.data() + a + 1;
    const char* last = plain.data() + b;
    if (std::from_chars(first, last, port).ptr != last) return relay;
    relay.host = plain.substr(0, a);
    relay.port = port;
    relay.secret = plain.substr(b + 1);
    return relay;
}

}  // namespace

Bytes Peer::publicKey() const {
    Bytes out;
    if (!base64Decode(key, out)) out.clear();
    return out;
}

Json relayToJson(const RelayConfig& relay) {
    Json out;
    out.set("host", relay.host);
    out.set("port", relay.port);
    out.set("secret", relay.secret);
    return out;
}

RelayConfig relayFromJson(const Json& value) {
    RelayConfig relay;
    if (!value.isObject()) return relay;
    relay.host = trim(value.get("host").asString());
    relay.port = readInt32(value.get("port"), 47900);
    relay.secret = trim(value.get("secret").asString());
    return relay;
}

RelayConfig defaultRelay() {
    static const RelayConfig* relay = new RelayConfig(unscrambleRelay());
    return *relay;
}

RelayConfig effectiveRelay(const AppConfig& config) {
    return config.relay.usable() ? config.relay : defaultRelay();
}

Json peerToJson(const Peer& peer) {
    Json out;
    out.set("name", peer.name);
    out.set("key", peer.key);
    out.set("addresses", stringsToJson(peer.addresses));
    if (peer.relay.usable()) out.set("relay", relayToJson(peer.relay));
    if (!peer.os.empty()) out.set("os", peer.os);
    if (!peer.accessId.empty()) out.set("accessId", peer.accessId);
    out.set("added", peer.added);
    out.set("lastConnected", peer.lastConnected);
    // The description is the peer's own text, kept verbatim; one nested deeper than config.json
    // can hold would make the next start lose every setting, so it is left out instead.
    if (peer.wake.isArray() && !peer.wake.items.empty() && nestingDepth(peer.wake) <= kMaxWakeDepth)
        out.set("wake", peer.wake);
    return out;
}

Peer peerFromJson(const Json& value) {
    Peer peer;
    peer.name = value.get("name").asString();
    peer.key = value.get("key").asString();
    peer.addresses = readStrings(value.get("addresses"));
    peer.relay = relayFromJson(value.get("relay"));
    peer.os = value.get("os").asString();
    peer.accessId = value.get("accessId").asString();
    peer.added = readTime(value.get("added"));
    peer.lastConnected = readTime(value.get("lastConnected"));
    const Json& wake = value.get("wake");
    if (wake.isArray()) peer.wake = wake;
    return peer;
}

Json configToJson(const AppConfig& c) {
    Json out;
    out.set("deviceName", c.deviceName);
    out.set("hosting", c.hosting);
    out.set("port", c.port);
    if (c.relay.usable()) out.set("relay", relayToJson(c.relay));
    out.set("allowed", peersToJson(c.allowed));
    out.set("hosts", peersToJson(c.hosts));
    out.set("retina", c.retina);
    out.set("systemKeys", c.systemKeys);
    out.set("clipboard", c.clipboard);
    out.set("macKeymap", c.macKeymap);
    out.set("fileTransfer", c.fileTransfer);
    out.set("stayAwake", c.stayAwake);
    out.set("stayAwakeACOnly", c.stayAwakeACOnly);
    out.set("passwordLogin", c.passwordLogin);
    out.set("notifyConnect", c.notifyConnect);
    out.set("audio", c.audio);
    out.set("quality", c.quality);
    out.set("lockLogin", c.lockLogin);
    return out;
}

AppConfig configFromJson(const Json& v) {
    AppConfig c;
    const Json& name = v.get("deviceName");
    if (name.isString()) c.deviceName = name.text;  // an empty name stays empty
    c.hosting = readBool(v.get("hosting"), false);
    c.port = readInt32(v.get("port"), kDefaultHostPort);
    if (c.port < kMinHostPort || c.port > kMaxHostPort) {
        // A listener on a port nobody can be told (truncated, or chosen by the system) is no use.
        logLine("설정의 포트 " + std::to_string(c.port) + " 은(는) 쓸 수 없음 → 기본 포트 " +
                std::to_string(kDefaultHostPort) + " 사용");
        c.port = kDefaultHostPort;
    }
    c.relay = relayFromJson(v.get("relay"));
    c.allowed = peersFromJson(v.get("allowed"));
    c.hosts = peersFromJson(v.get("hosts"));
    c.retina = readBool(v.get("retina"), true);
    c.systemKeys = readBool(v.get("systemKeys"), true);
    c.clipboard = readBool(v.get("clipboard"), true);
    c.macKeymap = readBool(v.get("macKeymap"), true);
    c.fileTransfer = readBool(v.get("fileTransfer"), true);
    c.stayAwake = readBool(v.get("stayAwake"), true);
    c.stayAwakeACOnly = readBool(v.get("stayAwakeACOnly"), true);
    c.notifyConnect = readBool(v.get("notifyConnect"), true);
    c.audio = readBool(v.get("audio"), true);
    c.passwordLogin = readBool(v.get("passwordLogin"), false);
    c.lockLogin = readBool(v.get("lockLogin"), false);
    c.quality = readInt32(v.get("quality"), 0);
    return c;
}
