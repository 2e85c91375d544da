// Prints the built-in relay as the program sees it, and the relay of this PC's own peer address
// string with no relay configured, as one Json line: {"default":{...},"own":{...}}. Built with the
// settings record of a build that was given a relay (see CMakeLists.txt).
#include <cstdio>

#include "core/config/address.h"
#include "core/config/pairing.h"
#include "core/config/settings.h"
#include "core/crypto/x25519.h"
#include "core/json.h"

int main() {
    PairingCode code;
    double expiry = 0;
    AppConfig settings;  // no relay configured
    std::string own = makeOwnPeerAddress(code, newKeyPair(), expiry, {}, "probe", settings);
    PeerAddress parsed;
    if (!parsePeerAddress(own, parsed)) return 1;
    Json out;
    out.set("default", relayToJson(defaultRelay()));
    out.set("own", relayToJson(parsed.relay));
    std::printf("%s\n", out.dump().c_str());
    return 0;
}
