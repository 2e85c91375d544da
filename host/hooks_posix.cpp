// Builds without the system's session, service and power calls: nothing is locked or installed,
// nothing restarts, sleeps or leaves the machine.
#include "host/hooks.h"

HostHooks systemHostHooks() {
    HostHooks h;
    h.desktopLocked = [] { return false; };
    h.lockServiceInstalled = [] { return false; };
    h.lockAgentPresent = [] { return false; };
    h.sendLockMessage = [](ByteSpan) {};
    h.lockPipeOwnedBySystem = [](void*) { return false; };
    h.restartSystem = [](uint32_t& error) {
        error = 50;  // ERROR_NOT_SUPPORTED
        return false;
    };
    h.sleepSystem = [] { return false; };
    h.sendDatagrams = [](const std::vector<Datagram>&) { return 0; };
    h.unsafeServicePath = [](const std::wstring& executable) { return executable; };
    return h;
}
