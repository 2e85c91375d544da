#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "core/wire.h"
#include "net/connect.h"
#include "net/relay.h"
#include "support/punch_support.h"
#include "support/test_relay.h"

namespace {

struct FakeConn {
    std::atomic<int> shutdowns{0};
    void shutdown() { ++shutdowns; }
};

RelayConfig relayOf(const std::string& host, int port, const std::string& secret) {
    RelayConfig r;
    r.host = host;
    r.port = port;
    r.secret = secret;
    return r;
}

TEST(ConnectRoute, Labels) {
    EXPECT_EQ(raceRouteLabel("직접", "10.0.0.5:47800"), "직접 10.0.0.5:47800");
    EXPECT_EQ(raceRouteLabel("직접(구멍 뚫기)", "1.2.3.4:5"), "직접(구멍 뚫기) 1.2.3.4:5");
    EXPECT_EQ(raceRouteLabel("직접(공인 주소)", "1.2.3.4:47800"), "직접(공인 주소) 1.2.3.4:47800");
    EXPECT_EQ(relayRouteLabel(relayOf("relay.example", 47900, "s")), "중계 relay.example:47900");
}

TEST(ConnectRelay, Usable) {
    struct Case { const char* host; int port; const char* secret; bool usable; };
    const Case cases[] = {
        {"relay.example", 47900, "s", true},
        {"", 47900, "s", false},
        {"relay.example", 0, "s", false},
        {"relay.example", -1, "s", false},
        {"relay.example", 47900, "", false},
    };
    for (const auto& c : cases) {
        RelayConfig r = relayOf(c.host, c.port, c.secret);
        EXPECT_EQ(relayUsable(&r), c.usable) << c.host << " " << c.port << " " << c.secret;
    }
    EXPECT_FALSE(relayUsable(nullptr));
}

TEST(ConnectTiming, PunchWaitsForPlainDialsStartedNotStillRunning) {
    ConnectTimings t;
    EXPECT_EQ(punchStartDelayMs(0, t), 0);    // nothing to give a head start to
    EXPECT_EQ(punchStartDelayMs(1, t), 700);
    EXPECT_EQ(punchStartDelayMs(5, t), 700);
    EXPECT_EQ(raceBudgetMs(true, t), 14000);
    EXPECT_EQ(raceBudgetMs(false, t), 3500);
}

TEST(ConnectRaceState, FirstWinsSetsCancelLaterIsShutDown) {
    ConnectRace<FakeConn> race;
    race.started();
    race.started();
    race.started();
    auto a = std::make_shared<FakeConn>();
    auto b = std::make_shared<FakeConn>();
    EXPECT_FALSE(race.cancel()->load());
    EXPECT_TRUE(race.offer(a));
    EXPECT_TRUE(race.cancel()->load());
    EXPECT_FALSE(race.offer(b));
    EXPECT_EQ(a->shutdowns, 0);
    EXPECT_EQ(b->shutdowns, 1);
    EXPECT_EQ(b.use_count(), 1);  // not kept anywhere
    auto start = nowNanos();
    auto winner = race.finish(5000);  // returns at once: a winner exists
    EXPECT_LT(nowNanos() - start, 1'000'000'000LL);
    EXPECT_EQ(winner, a);
    EXPECT_EQ(winner.use_count(), 2);  // only the caller's references remain
    EXPECT_FALSE(race.offer(nullptr));
}

TEST(ConnectRaceState, ConnectionAfterTheCallerGaveUpIsShutDown) {
    ConnectRace<FakeConn> race;
    race.started();
    auto start = nowNanos();
    EXPECT_EQ(race.finish(30), nullptr);  // budget ran out
    EXPECT_GE(nowNanos() - start, 25'000'000LL);
    EXPECT_TRUE(race.cancel()->load());
    auto late = std::make_shared<FakeConn>();
    EXPECT_FALSE(race.offer(late));
    EXPECT_EQ(late->shutdowns, 1);
    EXPECT_EQ(late.use_count(), 1);
}

TEST(ConnectRaceState, EndsWhenEveryAttemptFailed) {
    ConnectRace<FakeConn> race;
    EXPECT_EQ(race.finish(5000), nullptr);  // nothing started: at once
    ConnectRace<FakeConn> race2;
    race2.started();
    race2.started();
    std::thread t([&] {
        sleepMs(20);
        race2.offer(nullptr);
        sleepMs(20);
        race2.offer(nullptr);
    });
    auto start = nowNanos();
    EXPECT_EQ(race2.finish(5000), nullptr);
    EXPECT_LT(nowNanos() - start, 2'000'000'000LL);
    EXPECT_EQ(race2.pending(), 0);
    t.join();
}

TEST(ConnectRaceState, ManyAttemptsAtOnceOneWinner) {
    auto race = std::make_shared<ConnectRace<FakeConn>>();
    std::vector<std::shared_ptr<FakeConn>> conns;
    for (int i = 0; i < 16; ++i) {
        conns.push_back(std::make_shared<FakeConn>());
        race->started();
    }
    std::vector<std::thread> threads;
    std::atomic<int> wins{0};
    for (auto& c : conns)
        threads.emplace_back([&, c] { wins += race->offer(c) ? 1 : 0; });
    auto winner = race->finish(5000);
    for (auto& t : threads) t.join();
    EXPECT_EQ(wins, 1);
    int shut = 0;
    for (auto& c : conns) {
        if (c == winner)
            EXPECT_EQ(c->shutdowns, 0);
        else
            shut += c->shutdowns;
    }
    EXPECT_EQ(shut, 15);
}

TEST(ConnectPeerArgs, NothingToTry) {
    RelayConfig unusable = relayOf("relay.example", 47900, "");
    RelayConfig usable = relayOf("127.0.0.1", 47900, "secret");
    struct Case { std::vector<std::string> addresses; const RelayConfig* relay; std::string id; bool relayOnly; };
    const Case cases[] = {
        {{}, nullptr, "id", false},
        {{"no-colon", ":47800", "127.0.0.1:0", "127.0.0.1:65536"}, &unusable, "id", false},
        {{"127.0.0.1:1"}, &usable, "", true},        // relay only needs a target
        {{"127.0.0.1:1"}, &unusable, "id", true},
        {{"127.0.0.1:1"}, nullptr, "id", true},
    };
    for (const auto& c : cases) {
        auto start = nowNanos();
        std::string label = "untouched";
        try {
            connectPeer(c.addresses, c.relay, c.id, &label, c.relayOnly);
            ADD_FAILURE() << "connected";
        } catch (const ProtoError& e) {
            EXPECT_STREQ(e.what(), "연결할 수 없습니다");
        }
        EXPECT_LT(nowNanos() - start, 500'000'000LL);  // nothing was tried, nothing waited for
        EXPECT_EQ(label, "untouched");
    }
}

// ---- on loopback ----

ConnectTimings fastTimings() {
    ConnectTimings t;
    t.punch = fastPunchTimings();
    return t;
}

TEST(ConnectPeer, DirectWinsWhenTheHostListens) {
    Acceptor host;
    std::string label;
    auto start = nowNanos();
    auto conn = connectPeer({"bad", host.address()}, nullptr, "", &label, false);
    EXPECT_LT(nowNanos() - start, 2'000'000'000LL);
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->route, "직접");
    EXPECT_EQ(label, "직접 " + host.address());
    auto hostEnd = host.take(0);
    ASSERT_TRUE(hostEnd);
    ASSERT_TRUE(conn->sendFrame(Bytes{1, 2, 3}));
    EXPECT_EQ(hostEnd->readFrame(16, 5000), (Bytes{1, 2, 3}));
    // A null label pointer is allowed.
    EXPECT_TRUE(connectPeer({host.address()}, nullptr, "", nullptr, false));
    EXPECT_TRUE(host.take(1));
    EXPECT_TRUE(attemptThreadsEnd());
}

TEST(ConnectPeer, OfTwoAcceptingAddressesTheLoserIsShutDown) {
    Acceptor a, b;
    std::string label;
    auto conn = connectPeer({a.address(), b.address()}, nullptr, "", &label, false);
    ASSERT_TRUE(conn);
    auto endA = a.take(0);
    auto endB = b.take(0);
    ASSERT_TRUE(endA && endB);
    auto winnerEnd = partnerOf(conn, {endA, endB});
    ASSERT_TRUE(winnerEnd);
    auto loserEnd = winnerEnd == endA ? endB : endA;
    EXPECT_TRUE(closesWithin(loserEnd, 5000));
    EXPECT_FALSE(conn->isClosed());
    EXPECT_TRUE(attemptThreadsEnd());
}

// A pasted peer address string may list any number of addresses; each dial is a thread.
TEST(ConnectPeer, DialsAtMostTheFirstUsableAddresses) {
    Acceptor host;
    // Distinct texts for the one listener: leading zeros of the port are read as the same port.
    std::vector<std::string> addresses{"bad", "also-bad:0"};
    for (int i = 0; i < 100; ++i) addresses.push_back("127.0.0.1:" + std::string(size_t(i), '0') + std::to_string(host.port()));
    auto conn = connectPeer(addresses, nullptr, "", nullptr, false);
    ASSERT_TRUE(conn);
    EXPECT_TRUE(attemptThreadsEnd());
    EXPECT_TRUE(host.take(kMaxDirectAttempts - 1));    // every allowed dial reached the host ...
    EXPECT_FALSE(host.take(kMaxDirectAttempts, 500));  // ... and no further one
}

TEST(ConnectPeer, WithoutRelayAllRefusedFailsAtOnce) {
    std::string label = "untouched";
    auto start = nowNanos();
    try {
        connectPeer({"127.0.0.1:" + std::to_string(closedPort())}, nullptr, "id", &label, false);
        ADD_FAILURE() << "connected";
    } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "연결할 수 없습니다");
    }
    EXPECT_LT(nowNanos() - start, 3'000'000'000LL);
    EXPECT_EQ(label, "untouched");
    EXPECT_TRUE(attemptThreadsEnd());
}

TEST(ConnectPeer, DirectWinsBeforeHolePunchingStarts) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    RelayedHost relayed(relay, "host-id", 0, true);
    Acceptor host;
    RelayConfig config = relay.config();
    std::string label;
    auto conn = connectPeer({host.address()}, &config, "host-id", &label, false, fastTimings());
    ASSERT_TRUE(conn);
    EXPECT_EQ(label, "직접 " + host.address());
    EXPECT_TRUE(host.take(0));
    // The punch thread was still in its head start when the race was decided: it never asks.
    EXPECT_TRUE(attemptThreadsEnd());
    for (const auto& hello : relay.hellos()) EXPECT_NE(hello.get("role").text, "punch");
}

TEST(ConnectPeer, HolePunchingWaitsOnlyWhenPlainDialsWereStarted) {
    // A refused dial ends before hole punching is even started; the head start must not depend
    // on whether that dial is still running. With no address at all, punching starts at once.
    // The host never answers, so the relay carries the connection in the end.
    struct Case { bool withAddress; int64_t minMs, maxMs; bool withLabel; };
    const Case cases[] = {{true, 690, 60000, true}, {false, 0, 500, false}};
    for (const auto& c : cases) {
        TestRelay relay;
        ASSERT_TRUE(relay.start());
        relay.pairTimeoutMs = 300;
        RelayedHost relayed(relay, "host-id", 0, false);
        RelayConfig config = relay.config();
        std::vector<std::string> addresses;
        if (c.withAddress) addresses.push_back("127.0.0.1:" + std::to_string(closedPort()));
        const size_t before = relay.connectionTimes().size();
        auto start = nowNanos();
        std::string label;
        auto conn = connectPeer(addresses, &config, "host-id", c.withLabel ? &label : nullptr, false, fastTimings());
        ASSERT_TRUE(conn) << c.withAddress;
        auto times = relay.connectionTimes();
        ASSERT_GT(times.size(), before);
        // The first new relay connection: the rendezvous.
        EXPECT_GE(times[before] - start, c.minMs * 1000000) << c.withAddress;
        EXPECT_LT(times[before] - start, c.maxMs * 1000000) << c.withAddress;
        auto hellos = relay.hellos();
        EXPECT_TRUE(std::any_of(hellos.begin(), hellos.end(), [](const Json& h) { return h.get("role").text == "punch"; }));
        EXPECT_EQ(conn->route, "중계");
        if (c.withLabel) {
            EXPECT_EQ(label, "중계 127.0.0.1:" + std::to_string(relay.port()));
        }
        conn->shutdown();
        EXPECT_TRUE(attemptThreadsEnd());
    }
}

TEST(ConnectPeer, HolePunchingWinsWhenTheDirectPortIsClosed) {
    SKIP_WITHOUT_PORT_SHARING();
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    RelayedHost relayed(relay, "host-id", 0, true);
    RelayConfig config = relay.config();
    std::string label;
    auto conn = connectPeer({"127.0.0.1:" + std::to_string(closedPort())}, &config, "host-id", &label, false,
                            fastTimings());
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->route, "직접(구멍 뚫기)");
    EXPECT_EQ(label, "직접(구멍 뚫기) " + conn->peerAddress());
    EXPECT_EQ(conn->peerAddress().rfind("127.0.0.1:", 0), 0u);
    ASSERT_TRUE(waitUntil([&] { return relayed.delivered->count() >= 1; }, 5000));
    auto hostEnd = partnerOf(conn, relayed.delivered->all());
    ASSERT_TRUE(hostEnd);
    EXPECT_EQ(hostEnd->route, "직접(구멍 뚫기)");
    // Every other connection the host got from this punch is closed by the viewer side.
    sleepMs(300);
    for (const auto& other : relayed.delivered->all())
        if (other != hostEnd) {
            EXPECT_TRUE(closesWithin(other, 5000));
        }
    EXPECT_TRUE(relayed.punchesEnd());
    EXPECT_TRUE(attemptThreadsEnd());
    EXPECT_FALSE(conn->isClosed());
    EXPECT_FALSE(hostEnd->isClosed());
}

TEST(ConnectPeer, WhenDirectAndPunchingRaceOnlyTheWinnerStaysOpen) {
    // No head start, so that hole punching really competes with the plain dial: whichever wins,
    // every other connection either side obtained is shut down.
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    RelayedHost relayed(relay, "host-id", 0, true);
    Acceptor host;
    RelayConfig config = relay.config();
    ConnectTimings t = fastTimings();
    t.punchDelayMs = 0;
    std::string label;
    auto conn = connectPeer({host.address()}, &config, "host-id", &label, false, t);
    ASSERT_TRUE(conn);
    EXPECT_TRUE(relayed.punchesEnd());
    EXPECT_TRUE(attemptThreadsEnd());
    host.close();
    auto hostEnds = host.all();
    for (const auto& c : relayed.delivered->all()) hostEnds.push_back(c);
    auto partner = partnerOf(conn, hostEnds);
    ASSERT_TRUE(partner) << label;
    for (const auto& other : hostEnds) {
        if (other != partner) {
            EXPECT_TRUE(closesWithin(other, 5000)) << label;
        }
    }
    EXPECT_FALSE(conn->isClosed());
}

TEST(ConnectPeer, RelayWinsWhenDirectAndPunchingFail) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    relay.pairTimeoutMs = 300;  // the host never answers the punch
    RelayedHost relayed(relay, "host-id", 0, false);
    RelayConfig config = relay.config();
    std::string label;
    auto conn = connectPeer({"127.0.0.1:" + std::to_string(closedPort())}, &config, "host-id", &label, false,
                            fastTimings());
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->route, "중계");
    EXPECT_EQ(label, "중계 127.0.0.1:" + std::to_string(relay.port()));
    ASSERT_TRUE(waitUntil([&] { return relayed.delivered->count() == 1; }, 5000));
    EXPECT_EQ(partnerOf(conn, relayed.delivered->all()), relayed.delivered->all()[0]);
    EXPECT_TRUE(attemptThreadsEnd());
}

TEST(ConnectPeer, RelayFailuresReachTheCaller) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    relay.pairTimeoutMs = 300;
    RelayConfig config = relay.config();
    try {
        connectPeer({"127.0.0.1:" + std::to_string(closedPort())}, &config, "nobody", nullptr, false, fastTimings());
        ADD_FAILURE() << "connected";
    } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "중계 서버: offline");
    }
    RelayConfig wrong = config;
    wrong.secret = "wrong";
    try {
        connectPeer({}, &wrong, "nobody", nullptr, true);
        ADD_FAILURE() << "connected";
    } catch (const ProtoError& e) {
        EXPECT_STREQ(e.what(), "중계 서버: bad mac");
    }
    EXPECT_TRUE(attemptThreadsEnd());
}

TEST(ConnectPeer, TheRaceKeepsToItsBudget) {
    // The host never answers and the relay holds the viewer's punch for long: the race gives up
    // after its budget and the relay carries the connection.
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    relay.pairTimeoutMs = 20000;
    RelayedHost relayed(relay, "host-id", 0, false);
    RelayConfig config = relay.config();
    ConnectTimings t = fastTimings();
    t.budgetWithRelayMs = 1500;
    t.punch.replyTimeoutMs = 20000;
    auto start = nowNanos();
    std::string label;
    auto conn = connectPeer({"127.0.0.1:" + std::to_string(closedPort())}, &config, "host-id", &label, false, t);
    int64_t elapsed = nowNanos() - start;
    ASSERT_TRUE(conn);
    EXPECT_EQ(label, "중계 127.0.0.1:" + std::to_string(relay.port()));
    EXPECT_GE(elapsed, 1'450'000'000LL);
    EXPECT_LT(elapsed, 3'000'000'000LL);
    // The race is decided, so the punch gives up its relay connection (which held the relay's
    // pairing and a punch slot of the host) at once rather than when the relay's answer is due.
    EXPECT_TRUE(attemptThreadsEnd(1000));
}

TEST(ConnectPeer, RelayOnlyDialsNothingElse) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    RelayedHost relayed(relay, "host-id", 0, true);
    ListenSocket host;
    ASSERT_TRUE(host.open(0, true));
    RelayConfig config = relay.config();
    std::string label;
    auto conn = connectPeer({"127.0.0.1:" + std::to_string(host.port())}, &config, "host-id", &label, true);
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->route, "중계");
    EXPECT_EQ(label, "중계 127.0.0.1:" + std::to_string(relay.port()));
    EXPECT_EQ(Punch::threadsRunning(), 0);
    ASSERT_TRUE(waitUntil([&] { return relayed.delivered->count() == 1; }, 5000));
    for (const auto& hello : relay.hellos()) EXPECT_NE(hello.get("role").text, "punch");
}

}  // namespace
