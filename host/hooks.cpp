#include "host/hooks.h"

HostHooks& hostHooks() {
    // Detached host threads may still call through the seam while the process exits.
    static HostHooks* hooks = new HostHooks(systemHostHooks());
    return *hooks;
}
