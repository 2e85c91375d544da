// Presence of the registered computers, refreshed in the background for the tray menu.
#pragma once

// Starts a poll of the registered computers' presence unless one runs; returns at once.
void refreshPresence();
