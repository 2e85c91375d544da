#include "app/viewers.h"

#include <algorithm>

#include "app/tray.h"
#include "core/config/store.h"
#include "viewer/window.h"

namespace {

// Runs on the UI thread after the closed window's own message handling has returned.
void removeViewer(ViewerWindow* closed) {
    auto& list = openViewers();
    auto it = std::find_if(list.begin(), list.end(), [closed](const auto& w) { return w.get() == closed; });
    if (it == list.end()) return;
    if (!(*it)->deletable()) {
        (*it)->removalDeferred();
        return;
    }
    list.erase(it);
}

}  // namespace

std::vector<std::unique_ptr<ViewerWindow>>& openViewers() {
    static std::vector<std::unique_ptr<ViewerWindow>> list;
    return list;
}

ViewerWindow* newViewerWindow(const Peer& peer, const Bytes& pairingToken, const std::string& password) {
    return new ViewerWindow(peer, pairingToken, password);
}

void openViewer(const Peer& peer, const Bytes& pairingToken, const std::string& password) {
    std::unique_ptr<ViewerWindow> window(newViewerWindow(peer, pairingToken, password));
    window->onPeer = [](Peer const& learned) {
        const double now = nowSeconds();
        configStore().update([&](AppConfig& config) { rememberPeer(config, learned, now); });
    };
    window->onClosed = [](ViewerWindow* closed) {
        // Never deleted inside its own window procedure: the removal runs from the tray's queue.
        postTrayCall([closed] { removeViewer(closed); });
    };
    openViewers().push_back(std::move(window));
    openViewers().back()->show();
}

void closeViewerSessions() {
    // Held here while closing: a close may end a window and with it the list entry and the
    // window's own reference.
    std::vector<std::shared_ptr<ClientSession>> sessions;
    for (const auto& window : openViewers())
        if (window->session) sessions.push_back(window->session);
    for (const auto& session : sessions) session->close();
}
