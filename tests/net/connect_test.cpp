#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "core/wire.h"
#include "net/connect.h"
#include "net/relay.h"

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

}  // namespace
