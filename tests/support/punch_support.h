// Helpers for tests of hole punching and connection racing on 127.0.0.1 with the test relay.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "net/framed.h"
#include "net/punch.h"
#include "net/relay.h"
#include "net/socket.h"
#include "support/relay_support.h"
#include "support/test_relay.h"
#include "support/wait.h"

// Whether a socket may bind, with port sharing, to a port another socket listens on. Hole
// punching needs it; Wine 8 refuses that bind with 10013.
inline bool portSharingWorks() {
    ensureWinsock();
    bool ok = false;
    SocketHandle listener = socketOpenTcp(kFamilyV4);
    if (listener != kInvalidSocket && socketSetReusePort(listener) && socketBind(listener, kFamilyV4, 0, true) &&
        socketListen(listener, 4)) {
        SocketHandle second = socketOpenTcp(kFamilyV4);
        ok = second != kInvalidSocket && socketSetReusePort(second) &&
             socketBind(second, kFamilyV4, socketLocalPort(listener), true);
        if (second != kInvalidSocket) socketClose(second);
    }
    if (listener != kInvalidSocket) socketClose(listener);
    return ok;
}

#define SKIP_WITHOUT_PORT_SHARING()                                                                   \
    do {                                                                                              \
        if (!portSharingWorks())                                                                      \
            GTEST_SKIP() << "this system refuses to bind a socket to a port that a listening socket " \
                            "uses (Wine 8: error 10013), which hole punching needs; the native tests " \
                            "cover it";                                                               \
    } while (0)

// Every attempt thread of the races has ended (bounded).
inline bool attemptThreadsEnd(int timeoutMs = 10000) {
    return waitUntil([] { return Punch::threadsRunning() == 0; }, timeoutMs);
}

// A port on 127.0.0.1 that nothing listens on (just released).
inline int closedPort() {
    ListenSocket listener;
    EXPECT_TRUE(listener.open(0, true));
    int port = listener.port();
    listener.close();
    return port;
}

// A listener on 127.0.0.1 that takes every connection on a thread of its own. Closing it (at the
// latest when it goes) ends that thread, so a failed test never waits for a connection that is
// not coming, nor leaves a thread behind.
class Acceptor {
public:
    Acceptor() {
        EXPECT_TRUE(socket_.open(0, true));
        thread_ = std::thread([this] {
            while (auto conn = socket_.accept()) {
                std::lock_guard<std::mutex> lock(mutex_);
                conns_.push_back(std::move(conn));
                arrived_.notify_all();
            }
        });
    }
    ~Acceptor() { close(); }
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    int port() const { return socket_.port(); }
    std::string address() const { return "127.0.0.1:" + std::to_string(port()); }
    void close() {
        socket_.close();
        if (thread_.joinable()) thread_.join();
    }
    // The connection accepted as number `index` (from 0), or null when it did not come in time.
    std::shared_ptr<FramedConn> take(size_t index, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(mutex_);
        arrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return conns_.size() > index; });
        return conns_.size() > index ? conns_[index] : nullptr;
    }
    std::vector<std::shared_ptr<FramedConn>> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return conns_;
    }

private:
    ListenSocket socket_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::shared_ptr<FramedConn>> conns_;
    std::thread thread_;
};

// Connections handed to a host-side callback; shared with threads that may outlive a test.

// Short intervals for both sides of a punch, so that a failing one ends quickly.
inline PunchTimings fastPunchTimings() {
    PunchTimings t;
    t.clientAttemptMs = 1500;
    t.hostAttemptMs = 1500;
    t.attemptWaitMs = 3000;
    t.replyTimeoutMs = 3000;
    return t;
}


// A host registered at the test relay under id. Relayed and punched connections land in
// `delivered`; punches are answered by Punch::host unless answerPunches is false.
class RelayedHost {
public:
    RelayedHost(TestRelay& relay, const std::string& id, int listenPort, bool answerPunches,
                PunchTimings timings = fastPunchTimings())
        : agent_(relay.config(), id, Deliveries::into(delivered)) {
        agent_.setTiming(fastAgentTiming());
        agent_.setListenPortProvider([listenPort] { return listenPort; });
        auto running = punchesRunning;
        agent_.setPunchRunner([answerPunches, timings, running](const RelayConfig& r, const std::string& hostId,
                                                                const std::string& session, int port,
                                                                const RelayConnCallback& onConnection) {
            running->fetch_add(1);
            if (answerPunches) Punch::host(r, hostId, session, port, onConnection, timings);
            running->fetch_sub(1);
        });
        agent_.start();
        EXPECT_TRUE(relay.waitFor([&] { return agent_.connected() && relay.online(id); }, 5000));
    }
    ~RelayedHost() {
        agent_.stop();
        EXPECT_TRUE(punchesEnd());
    }

    // The host side of every punch has returned (bounded).
    bool punchesEnd(int timeoutMs = 10000) {
        return waitUntil([&] { return punchesRunning->load() == 0; }, timeoutMs);
    }

    std::shared_ptr<Deliveries> delivered = std::make_shared<Deliveries>();
    std::shared_ptr<std::atomic<int>> punchesRunning = std::make_shared<std::atomic<int>>(0);

private:
    RelayHostAgent agent_;
};

// The host-side connection that carries what the viewer sends on `viewer`, or null: the viewer
// sends a frame and every delivered connection is asked for it.
inline std::shared_ptr<FramedConn> partnerOf(const std::shared_ptr<FramedConn>& viewer,
                                             const std::vector<std::shared_ptr<FramedConn>>& candidates) {
    const Bytes probe = {'p', 'r', 'o', 'b', 'e'};
    if (!viewer->sendFrame(probe)) return nullptr;
    for (const auto& c : candidates) {
        try {
            if (c->readFrame(64, 2000) == probe) return c;
        } catch (const std::exception&) {
        }
    }
    return nullptr;
}

// True when the connection has been closed from the other end (or here) within timeoutMs.
inline bool closesWithin(const std::shared_ptr<FramedConn>& conn, int timeoutMs) {
    try {
        conn->readFrame(1 << 20, timeoutMs);
    } catch (const std::exception& e) {
        return std::string(e.what()) == "연결이 닫혔습니다";
    }
    return false;
}
