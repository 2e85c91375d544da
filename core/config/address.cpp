#include "core/config/address.h"

#include "core/config/store.h"
#include "core/json.h"

namespace {

constexpr char kPrefix[] = "tavrel1:";
constexpr char kFormerPrefix[] = "varnoth1:";

bool startsWith(const std::string& text, const char* prefix, std::string& rest) {
    std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0) return false;
    rest = text.substr(p.size());
    return true;
}

}  // namespace

std::string formatPeerAddress(const PeerAddress& a) {
    Json body;
    body.set("n", a.name);
    body.set("k", a.key);
    body.set("t", a.token);
    Json list;
    list.tag = Json::kArray;
    for (const std::string& s : a.addresses) list.push(s);
    body.set("a", std::move(list));
    if (a.relay.usable()) body.set("r", relayToJson(a.relay));
    body.set("e", a.expiry);
    return kPrefix + base64UrlEncode(asBytes(body.dump()));
}

bool parsePeerAddress(const std::string& text, PeerAddress& out) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text)
        if (static_cast<unsigned char>(c) > 0x20) compact += c;
    std::string body;
    if (!startsWith(compact, kPrefix, body) && !startsWith(compact, kFormerPrefix, body)) return false;
    Bytes decoded;
    if (!base64Decode(body, decoded)) return false;
    Json value;
    if (!Json::parse(spanToString(decoded), value) || !value.isObject()) return false;

    out.name = value.get("n").asString();
    out.key = value.get("k").asString();
    out.token = value.get("t").asString();
    out.addresses.clear();
    const Json& list = value.get("a");
    if (list.isArray())
        for (const Json& item : list.items) out.addresses.push_back(item.asString());
    out.relay = relayFromJson(value.get("r"));
    out.expiry = value.get("e").asNumber(0);
    return !out.key.empty();
}

std::string makeOwnPeerAddress(PairingCode& code, const KeyPair& keys, double& expiryOut,
                               const std::vector<std::string>& localIpv4, const std::string& hostName) {
    return makeOwnPeerAddress(code, keys, expiryOut, localIpv4, hostName, configStore().get());
}

std::string makeOwnPeerAddress(PairingCode& code, const KeyPair& keys, double& expiryOut,
                               const std::vector<std::string>& localIpv4, const std::string& hostName,
                               const AppConfig& settings) {
    Bytes token = code.renew(PairingCode::kLifetimeSeconds);
    PeerAddress a;
    a.name = settings.deviceName;
    a.key = base64Encode(keys.publicKey);
    a.token = base64Encode(token);
    std::string port = std::to_string(settings.port);
    auto withPort = [&port](const std::string& host) {
        std::string entry = host;
        entry.append(1, ':').append(port);
        return entry;
    };
    for (const std::string& ip : localIpv4) a.addresses.push_back(withPort(ip));
    a.addresses.push_back(withPort(hostName + ".local"));
    a.relay = effectiveRelay(settings);
    a.expiry = nowSeconds() + PairingCode::kLifetimeSeconds;
    expiryOut = a.expiry;
    return formatPeerAddress(a);
}
