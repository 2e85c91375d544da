// Waking a registered computer through another one on its network.
#pragma once

#ifdef _WIN32
#include "core/config/settings.h"

// Starts the wake in the background; returns at once.
void wakeHost(const Peer& target);
#endif
