// Two connected FramedConns over 127.0.0.1, for tests of everything that rides on a connection.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <utility>

#include "net/framed.h"

struct LoopbackPair {
    std::shared_ptr<FramedConn> client;  // the dialling end
    std::shared_ptr<FramedConn> host;    // the accepted end
};

inline LoopbackPair makeLoopbackPair() {
    ListenSocket listener;
    EXPECT_TRUE(listener.open(0, true));
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    LoopbackPair pair;
    pair.client = connectTcp("127.0.0.1", listener.port(), 5000);
    if (!pair.client) listener.close();  // lets the accept give up
    pair.host = accepted.get();
    EXPECT_TRUE(pair.client && pair.host);
    return pair;
}
