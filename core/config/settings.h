// The settings record, the peer and relay records and their config.json forms.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/util.h"

// Address and shared secret of a relay server.
struct RelayConfig {
    std::string host;
    int32_t port = 47900;
    std::string secret;

    // An unusable setting means the built-in default relay.
    bool usable() const { return !host.empty() && port > 0 && !secret.empty(); }
    bool operator==(const RelayConfig&) const = default;
};

// A paired computer as this PC remembers it.
struct Peer {
    std::string name;
    std::string key;  // 32-byte public key, standard base64 with padding
    std::vector<std::string> addresses;  // "host:port"
    RelayConfig relay;
    std::string os;        // "windows", "mac" or empty
    std::string accessId;  // 9 digits when added by access ID
    double added = 0;          // seconds since 1970
    double lastConnected = 0;  // 0 when never
    Json wake;  // the wake-on-LAN description the peer last reported, verbatim; null when none

    // `key` decoded; empty when it is not base64.
    Bytes publicKey() const;
};

// This PC's physical DNS host name, else "Windows PC".
std::string defaultDeviceName();

// The host port: a stored port outside kMinHostPort..kMaxHostPort loads as kDefaultHostPort (with a log line).
inline constexpr int32_t kDefaultHostPort = 47800, kMinHostPort = 1024, kMaxHostPort = 65535;

// The whole settings record.
struct AppConfig {
    std::string deviceName = defaultDeviceName();
    bool hosting = false;
    int32_t port = kDefaultHostPort;
    RelayConfig relay;
    std::vector<Peer> allowed;  // devices allowed to connect to this PC
    std::vector<Peer> hosts;    // registered computers this PC connects to
    bool retina = true;
    bool systemKeys = true;
    bool clipboard = true;
    bool macKeymap = true;
    bool passwordLogin = false;
    bool fileTransfer = true;
    bool stayAwake = true;
    bool stayAwakeACOnly = true;
    bool notifyConnect = true;
    bool audio = true;
    int32_t quality = 0;
    bool lockLogin = false;
};

Json relayToJson(const RelayConfig& relay);
RelayConfig relayFromJson(const Json& value);
// A copy of the built-in relay, used whenever the relay setting is not usable.
RelayConfig defaultRelay();
RelayConfig effectiveRelay(const AppConfig& config);

Json peerToJson(const Peer& peer);
Peer peerFromJson(const Json& value);

Json configToJson(const AppConfig& config);
// Never fails: anything missing or of the wrong type takes its default.
AppConfig configFromJson(const Json& value);
