// The real calls behind the host's seam.
#include "host/desktop.h"
#include "host/hooks.h"
#include "host/lock.h"
#include "host/power.h"
#include "host/wake.h"

HostHooks systemHostHooks() {
    HostHooks h;
    h.desktopLocked = inputDesktopLocked;
    h.lockServiceInstalled = lockServiceInstalled;
    h.lockAgentPresent = lockAgentPresent;
    h.sendLockMessage = sendLockMessage;
    h.lockPipeOwnedBySystem = lockPipeOwnedBySystem;
    h.restartSystem = systemRestart;
    h.sleepSystem = systemSleep;
    h.sendDatagrams = sendDatagramsUdp;
    h.unsafeServicePath = unsafeServicePathOf;
    return h;
}
