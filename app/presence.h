// Presence of the registered computers, refreshed in the background for the tray menu.
#pragma once

// Starts a poll of the registered computers' presence unless one runs; returns at once.
void refreshPresence();

#include "core/config/settings.h"

// What the last poll said of a registered computer: 0 unknown, 1 online, 2 offline, with the
// last-seen time (seconds since 1970) in *lastSeen when given.
int presenceOf(const Peer& peer, double* lastSeen);
