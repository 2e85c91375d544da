// The peer address string a user carries from one computer to another to pair them:
// "tavrel1:" and the base64url text of a compact Json object ("varnoth1:" is read too).
#pragma once

#include <string>
#include <vector>

#include "core/config/pairing.h"
#include "core/config/settings.h"
#include "core/crypto/x25519.h"

struct PeerAddress {
    std::string name;
    std::string key;    // 32-byte public key, standard base64
    std::string token;  // 16-byte pairing token, standard base64
    std::vector<std::string> addresses;  // "host:port"
    RelayConfig relay;
    double expiry = 0;  // seconds since 1970; the string is refused after it
};

std::string formatPeerAddress(const PeerAddress& address);

// True when `text` holds a string with a non-empty key; line breaks and blanks pasted into it are
// ignored. `out` is filled as far as reading got. The expiry is not checked here: the caller
// refuses a string whose expiry is earlier than the clock.
bool parsePeerAddress(const std::string& text, PeerAddress& out);

// This PC's string: renews the pairing code for 600 seconds and lists `localIpv4` (numeric,
// without link-local and loopback addresses) and then `hostName` + ".local" with the configured
// port, and the relay in force. `expiryOut` receives the expiry written.
std::string makeOwnPeerAddress(PairingCode& code, const KeyPair& keys, double& expiryOut,
                               const std::vector<std::string>& localIpv4, const std::string& hostName);
// The same with the given settings in place of the store's.
std::string makeOwnPeerAddress(PairingCode& code, const KeyPair& keys, double& expiryOut,
                               const std::vector<std::string>& localIpv4, const std::string& hostName,
                               const AppConfig& settings);
