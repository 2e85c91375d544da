// The one seam between the host's system helpers and what tests must not or cannot do: see the
// lock state, reach the lock-screen service, restart or sleep the PC, put datagrams on the network.
// Every member defaults to the real call. Tests replace members and restore them afterwards
// (tests/support/host_hooks.h); change them only while no host thread runs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/util.h"

// One UDP datagram to an IPv4 address (host byte order).
struct Datagram {
    uint32_t address = 0;
    uint16_t port = 0;
    Bytes data;
    bool operator==(const Datagram&) const = default;
};

struct HostHooks {
    // The secure desktop (lock or sign-in screen, elevation prompt) has the keyboard.
    std::function<bool()> desktopLocked;
    // The lock-screen service exists.
    std::function<bool()> lockServiceInstalled;
    // This session's lock-screen agent serves its pipe.
    std::function<bool()> lockAgentPresent;
    // Writes one message to this session's lock-screen agent; failures are silent.
    std::function<void(ByteSpan message)> sendLockMessage;
    // A connected lock pipe (a HANDLE opened with READ_CONTROL) is owned by LocalSystem.
    std::function<bool(void* pipe)> lockPipeOwnedBySystem;
    // The system's restart call: true when it was accepted, else false with its error code.
    std::function<bool(uint32_t& error)> restartSystem;
    // The system's sleep call: true when it was accepted.
    std::function<bool()> sleepSystem;
    // Sends the datagrams in order from one broadcast-enabled socket; returns how many went out
    // whole (0 when no socket could be opened).
    std::function<int(const std::vector<Datagram>&)> sendDatagrams;
    // Why the installed service must not run this executable (its resolved path) as SYSTEM: the
    // first component of the path, from the volume root down, that is a reparse point or that
    // others than administrators and SYSTEM may change; empty when safe.
    std::function<std::wstring(const std::wstring& executable)> unsafeServicePath;
};

// The process-wide hooks, set to the real calls on first use.
HostHooks& hostHooks();
// A fresh set of the real calls.
HostHooks systemHostHooks();
