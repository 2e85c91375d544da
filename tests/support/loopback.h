// Two connected FramedConns over 127.0.0.1, for tests of everything that rides on a connection.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <utility>

#include "net/framed.h"

struct LoopbackPair {
    std::shared_ptr<FramedConn> client;  // the dialling end
    std::shared_ptr<FramedConn> host;    // the accepted end
};

// An accept waiting on a thread of its own while the test dials. A result that does not come in
// time, or a test that ends early, closes the listener, so that nothing waits on it forever.
class BackgroundAccept {
public:
    explicit BackgroundAccept(ListenSocket& listener)
        : listener_(listener), result_(std::async(std::launch::async, [&listener] { return listener.accept(); })) {}
    ~BackgroundAccept() {
        if (!result_.valid()) return;
        listener_.close();
        result_.wait();
    }
    BackgroundAccept(const BackgroundAccept&) = delete;
    BackgroundAccept& operator=(const BackgroundAccept&) = delete;

    // The accepted connection, or empty when none came within timeoutMs.
    std::shared_ptr<FramedConn> get(int timeoutMs = 5000) {
        if (result_.wait_for(std::chrono::milliseconds(timeoutMs)) != std::future_status::ready) listener_.close();
        return result_.get();
    }

private:
    ListenSocket& listener_;
    std::future<std::shared_ptr<FramedConn>> result_;
};

inline LoopbackPair makeLoopbackPair() {
    ListenSocket listener;
    EXPECT_TRUE(listener.open(0, true));
    BackgroundAccept accepted(listener);
    LoopbackPair pair;
    pair.client = connectTcp("127.0.0.1", listener.port(), 5000);
    pair.host = accepted.get(pair.client ? 5000 : 0);
    EXPECT_TRUE(pair.client && pair.host);
    return pair;
}
