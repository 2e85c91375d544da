#include "app/viewers.h"

void rememberPeer(AppConfig& config, const Peer& learned, double now) {
    for (Peer& known : config.hosts) {
        if (known.key != learned.key) continue;
        known.name = learned.name;
        known.os = learned.os;
        known.lastConnected = now;
        return;
    }
    Peer added = learned;
    added.added = now;
    added.lastConnected = now;
    config.hosts.push_back(std::move(added));
}
