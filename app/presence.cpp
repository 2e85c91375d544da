#include "app/presence.h"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

#include "core/config/store.h"
#include "core/crypto/hash.h"
#include "net/relay.h"

namespace {

bool complete(const RelayConfig& relay) { return !relay.host.empty() && relay.port > 0 && !relay.secret.empty(); }

// Asks every group's relay in turn and publishes what they said as a whole.
void runPoll(const std::vector<PresenceGroup>& groups) {
    RelayStatus status;  // a later group's answer overwrites an earlier one for the same ID
    for (const PresenceGroup& group : groups) queryRelayStatus(group.relay, group.ids, status);
    PresenceState& state = presenceState();
    {
        std::lock_guard<std::mutex> lock(state.presenceMutex);
        state.presenceOnline.swap(status.online);
        state.presenceSeen.swap(status.seen);
    }
    state.presenceBusy.store(false);
}

}  // namespace

PresenceState& presenceState() {
    static PresenceState* state = new PresenceState;
    return *state;
}

std::vector<std::string> presenceIds(const Peer& peer) {
    std::vector<std::string> ids;
    const Bytes key = peer.publicKey();
    if (!key.empty()) ids.push_back(sha256Hex(key));
    if (!peer.accessId.empty()) ids.push_back(peer.accessId);
    return ids;
}

std::vector<PresenceGroup> presenceGroups(const AppConfig& config, const RelayConfig& builtInRelay) {
    const RelayConfig fallback = config.relay.usable() ? config.relay : builtInRelay;
    std::vector<PresenceGroup> groups;
    for (const Peer& peer : config.hosts) {
        const RelayConfig& relay = complete(peer.relay) ? peer.relay : fallback;
        std::vector<std::string> ids = presenceIds(peer);
        if (!complete(relay) || ids.empty()) continue;
        auto group = std::find_if(groups.begin(), groups.end(), [&](const PresenceGroup& g) { return g.relay == relay; });
        if (group == groups.end()) group = groups.insert(groups.end(), PresenceGroup{relay, {}});
        group->ids.insert(group->ids.end(), ids.begin(), ids.end());
    }
    return groups;
}

void startDetached(std::function<void()> body) { std::thread(std::move(body)).detach(); }

bool pollPresence(const AppConfig& config, const RelayConfig& builtInRelay, const ThreadStarter& start) {
    PresenceState& state = presenceState();
    if (state.presenceBusy.exchange(true)) return false;
    try {
        start([groups = presenceGroups(config, builtInRelay)] { runPoll(groups); });
    } catch (const std::exception&) {
        // No poll runs: a busy flag left set would stop every later one.
        state.presenceBusy.store(false);
        return false;
    }
    return true;
}

void refreshPresence() {
    if (presenceState().presenceBusy.load()) return;  // spares the settings copy; pollPresence decides
    pollPresence(configStore().get(), defaultRelay());
}

int presenceOf(const Peer& peer, double* lastSeen) {
    PresenceState& state = presenceState();
    std::lock_guard<std::mutex> lock(state.presenceMutex);
    bool found = false, online = false, anySeen = false;
    double seen = 0;
    for (const std::string& id : presenceIds(peer)) {
        auto entry = state.presenceOnline.find(id);
        if (entry != state.presenceOnline.end()) {
            found = true;
            online = online || entry->second;
        }
        auto time = state.presenceSeen.find(id);
        if (time != state.presenceSeen.end()) {
            seen = anySeen ? std::max(seen, time->second) : time->second;
            anySeen = true;
        }
    }
    if (!found) return kPresenceUnknown;
    if (online) return kPresenceOnline;
    if (lastSeen) *lastSeen = seen;
    return kPresenceOffline;
}
