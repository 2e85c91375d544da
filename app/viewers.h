// The open viewer windows of the tray application: opening one for a computer, remembering the
// computers they connect to, and deleting a window once it has been destroyed.
#pragma once

#include <string>

#include "core/config/settings.h"

// The registered computers after a viewer connected to `learned`: the entry with its key (the
// first, byte for byte) takes the learned name and system and the connection time; an unknown
// computer is appended, added and connected now.
void rememberPeer(AppConfig& config, const Peer& learned, double now);

#ifdef _WIN32
#include <memory>
#include <vector>

#include "core/util.h"

class ViewerWindow;

// The open windows in opening order; the list owns them. UI thread only.
std::vector<std::unique_ptr<ViewerWindow>>& openViewers();

// Opens a window on the computer (a pairing token or a password when it is not yet registered)
// and starts connecting. Every call opens a new window.
void openViewer(const Peer& peer, const Bytes& pairingToken, const std::string& password);
ViewerWindow* newViewerWindow(const Peer& peer, const Bytes& pairingToken, const std::string& password);

// Closes the session of every open window; the windows stay until the process ends.
void closeViewerSessions();
#endif
