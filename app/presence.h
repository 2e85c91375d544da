// Presence of the registered computers, refreshed in the background for the tray menu: each relay
// that registered computers use is asked which of their IDs it holds now and when it last saw
// the others.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/config/settings.h"

// What presenceOf says of a computer.
inline constexpr int kPresenceUnknown = 0;  // no relay answered for either of its IDs
inline constexpr int kPresenceOnline = 1;   // a relay holds one of its IDs now
inline constexpr int kPresenceOffline = 2;  // its relay answered, and holds none of them

// The result of the last finished poll. Made on first use and never freed: a poll thread may
// still run when the process ends.
struct PresenceState {
    std::atomic<bool> presenceBusy{false};  // a poll thread is running
    std::mutex presenceMutex;               // guards both maps
    std::map<std::string, bool> presenceOnline;  // every ID asked and answered for
    std::map<std::string, double> presenceSeen;  // last-seen times (seconds since 1970) the relays gave
};
PresenceState& presenceState();

// The IDs a relay knows a computer by: the device ID of its key, then its access ID. A computer
// without a key has no device ID (the ID of no bytes would name nobody, and be called offline).
std::vector<std::string> presenceIds(const Peer& peer);

// The computers' IDs to ask one relay about.
struct PresenceGroup {
    RelayConfig relay;
    std::vector<std::string> ids;
};
// The registered computers grouped by relay, in list order and in the order groups first appear.
// A computer's relay is its own when complete, else the configured one when usable, else
// `builtInRelay`; a computer with no complete relay is left out.
std::vector<PresenceGroup> presenceGroups(const AppConfig& config, const RelayConfig& builtInRelay);

// Runs a callable on a new detached thread; throws when no thread can be started.
using ThreadStarter = std::function<void(std::function<void()>)>;
void startDetached(std::function<void()> body);

// Starts a poll of the computers of `config` unless one runs (then the request is dropped).
// True when a poll thread started.
bool pollPresence(const AppConfig& config, const RelayConfig& builtInRelay,
                  const ThreadStarter& start = startDetached);
// The same over the process-wide settings and the built-in relay; returns at once.
void refreshPresence();

// kPresenceUnknown, kPresenceOnline or kPresenceOffline for the computer; for offline, and when
// `lastSeen` is given, the later of the last-seen times of its IDs (0 when none is known).
int presenceOf(const Peer& peer, double* lastSeen);
