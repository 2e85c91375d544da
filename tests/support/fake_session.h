// A stand-in for the host session: it answers every Ping with a Pong until it is closed, so that
// tests of admission can tell that a viewer got a session. The sessions made are recorded.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/server.h"

class FakeSession : public ViewerSession, public std::enable_shared_from_this<FakeSession> {
public:
    FakeSession(std::shared_ptr<SecureChannel> channel, const std::string& peerName, const std::string& peerKey,
                Json request, bool failStart);

    void start() override;  // throws std::runtime_error when made to fail
    void close() override;
    void openChat() override {}
    // Recorded, not sent; refused once closed.
    bool post(MsgType type, Bytes payload) override;
    Json stats() const override;

    const Json request;
    std::atomic<bool> started{false};
    std::atomic<int> endCallbacks{0};  // how often close called onEnded
    bool isClosed() const { return closed_.load(); }
    std::vector<std::pair<MsgType, Bytes>> posted();

    // Receive threads of fake sessions still running, in the whole process.
    static int threadsRunning();

private:
    void serve();

    const bool failStart_;
    std::atomic<bool> closed_{false};
    std::mutex postedMutex_;
    std::vector<std::pair<MsgType, Bytes>> posted_;
};

// The factory a test server makes its sessions with, and the sessions it made.
class FakeSessions {
public:
    SessionFactory factory();
    // Sessions made from now on throw from start.
    void failStarts(bool on) { failStarts_->store(on); }

    std::vector<std::shared_ptr<FakeSession>> all() const;
    size_t count() const { return all().size(); }
    // The session made for the viewer of that name, or null.
    std::shared_ptr<FakeSession> named(const std::string& name) const;

private:
    struct State {
        mutable std::mutex mutex;
        std::vector<std::shared_ptr<FakeSession>> made;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::shared_ptr<std::atomic<bool>> failStarts_ = std::make_shared<std::atomic<bool>>(false);
};
