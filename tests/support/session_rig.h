// A viewer session set up for tests: recorder devices, a clock the test moves, every callback
// written into one ordered log, and bounded waits for what the session's threads do.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/connect.h"
#include "support/scripted_host.h"
#include "support/wait.h"
#include "support/viewer_devices.h"
#include "viewer/session.h"

// Everything a session reported, as "kind:text" entries in order.
class SessionEvents {
public:
    void install(ClientSession& s) {
        s.onDisplayInfo = [this](const Json& j) { add("display:" + j.dump()); };
        s.onAppList = [this](const Json& j) { add("apps:" + j.dump()); };
        s.onCursor = [this](const std::vector<unsigned char>& b) { add("cursor:" + std::to_string(b.size())); };
        s.onNotice = [this](const std::string& t) { add("notice:" + t); };
        s.onLocked = [this](bool on) { add(std::string("locked:") + (on ? "1" : "0")); };
        s.onFirstPicture = [this] { add("first-picture"); };
        s.onEnded = [this](const std::string& reason) { add("ended:" + reason); };
        s.onTransferStatus = [this](const std::string& t) { add("status:" + t); };
        s.onTransferResult = [this](const std::string& t, const std::wstring& path) {
            {
                // Before the entry that a test waits for, so that its path is there when it wakes.
                std::lock_guard lock(mutex_);
                paths_.push_back(path);
            }
            add("result:" + t);
        };
        s.onCurtain = [this](bool on) { add(std::string("curtain:") + (on ? "1" : "0")); };
        s.onFolderListing = [this](const Json& j) { add("listing:" + j.dump()); };
        s.onChat = [this](const std::string& t) { add("chat:" + t); };
    }
    void add(const std::string& entry) {
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(entry);
        }
        changed_.notify_all();
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    std::vector<std::wstring> paths() {
        std::lock_guard lock(mutex_);
        return paths_;
    }
    // Entries that start with `prefix`.
    std::vector<std::string> of(const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& e : all())
            if (e.rfind(prefix, 0) == 0) out.push_back(e);
        return out;
    }
    bool waitFor(const std::string& prefix, size_t count = 1, int timeoutMs = 5000) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t n = 0;
            for (auto& e : entries_)
                if (e.rfind(prefix, 0) == 0) ++n;
            return n >= count;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
    std::vector<std::wstring> paths_;
};

// A session on recorder devices and a test clock.
struct SessionRig {
    std::shared_ptr<RecordingDevices> devices = std::make_shared<RecordingDevices>();
    TestClock clock;
    SessionEvents events;
    std::shared_ptr<ClientSession> session;
    int sendStallMs = kSendStallMs;  // how long the host may take nothing before the session ends
    FrameTrace* frameTrace = nullptr;  // where shown pictures are traced; the process's when null
    std::function<void(const QueuedMessage&)> outgoingReleases;  // the outgoing queue's observer
    std::function<void()> sharedStateWritten;  // called where the connect thread wrote the route or host system

    SessionServices services(PeerConnector connector = {}) {
        SessionServices s;
        s.sendStallMs = sendStallMs;
        s.frameTrace = frameTrace;
        s.devices = devices;
        s.connectPeer = std::move(connector);
        s.clock = clock.fn();
        s.outgoingReleases = outgoingReleases;
        s.sharedStateWritten = sharedStateWritten;
        return s;
    }
    // Without a connector of its own the session dials the peer's addresses only: a test never
    // reaches a relay that a build may have built in.
    std::shared_ptr<ClientSession> make(Peer peer, Bytes token = {}, std::string password = {},
                                        void* window = nullptr, PeerConnector connector = {}) {
        if (!connector)
            connector = [](const std::vector<std::string>& addresses, const RelayConfig*, const std::string& id,
                           std::string* routeText, bool relayOnly) {
                return connectPeer(addresses, nullptr, id, routeText, relayOnly);
            };
        // The last owner, whichever thread lets go last, deletes the session and then says so: the
        // test frees what the session used (the clock, the devices) only after that.
        auto gone = std::make_shared<std::atomic<bool>>(false);
        gone_ = gone;
        session = std::shared_ptr<ClientSession>(
            new ClientSession(std::move(peer), newKeyPair(), std::move(token), window, std::move(password),
                              services(std::move(connector))),
            [gone](ClientSession* s) {
                delete s;
                gone->store(true, std::memory_order_release);
            });
        events.install(*session);
        return session;
    }
    // A running session with `host`, reached at its address (no relay). False when connect threw.
    bool connect(ScriptedHost& host, void* window = nullptr) {
        make(host.peer(), {}, {}, window);
        try {
            session->connect(Json(), nullptr);
        } catch (const std::exception& e) {
            ADD_FAILURE() << "connect: " << e.what();
            return false;
        }
        return host.waitFor(MsgType::SessionRequest);
    }
    // Drops the test's reference and waits until every thread of the session has let go of it.
    bool release(int timeoutMs = 5000) {
        if (!session) return true;
        std::weak_ptr<ClientSession> weak = session;
        session->close();
        session.reset();
        const std::shared_ptr<std::atomic<bool>> gone = gone_;
        return waitUntil([&] { return gone ? gone->load(std::memory_order_acquire) : weak.expired(); }, timeoutMs);
    }
    ~SessionRig() { EXPECT_TRUE(release()) << "a thread of the session is still running"; }

private:
    std::shared_ptr<std::atomic<bool>> gone_;
};
