// What the server and the session it admits know of each other: the session's side the server
// drives, and the factory that makes one. Apart from both, so that neither header includes the other.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "core/json.h"
#include "host/protocol/messages.h"
#include "net/channel.h"

class HostServer;

// What the server needs of the session it admits; the host session implements it.
class ViewerSession {
public:
    ViewerSession(std::shared_ptr<SecureChannel> channel, std::string peerName, std::string peerKey)
        : channel_(std::move(channel)), peerName_(std::move(peerName)), peerKey_(std::move(peerKey)) {}
    virtual ~ViewerSession() = default;
    ViewerSession(const ViewerSession&) = delete;
    ViewerSession& operator=(const ViewerSession&) = delete;

    // Starts serving the viewer; needs the session to be held by a std::shared_ptr.
    virtual void start() = 0;
    // Ends the session; runs once however often it is called, and then calls onEnded.
    virtual void close() = 0;
    virtual void openChat() = 0;
    // Hands one message to the session's sending thread and returns at once: for window threads,
    // which must never wait for a viewer that stopped reading. Messages go out in the order
    // posted. False, and nothing is sent, when the session has closed or too much waits already.
    virtual bool post(MsgType type, Bytes payload) = 0;
    // The statistics logged when the session ends.
    virtual Json stats() const = 0;

    // The viewer's name, its public key (standard base64) and the channel (the tray reads them).
    const std::string& peerName() const { return peerName_; }
    const std::string& peerKey() const { return peerKey_; }
    const std::shared_ptr<SecureChannel>& channel() const { return channel_; }

    // Set by the server before start.
    bool clipboard = true;
    double historyId = 0;  // above 0 while a connection-history record is open
    std::function<void(ViewerSession*)> onEnded;

private:
    std::shared_ptr<SecureChannel> channel_;
    std::string peerName_;
    std::string peerKey_;
};

// Makes the session of an admitted viewer from its channel, name, key text and request.
using SessionFactory = std::function<std::shared_ptr<ViewerSession>(
    std::shared_ptr<SecureChannel> channel, const std::string& peerName, const std::string& peerKey,
    const Json& request, HostServer* server)>;
