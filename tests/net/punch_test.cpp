#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "core/util.h"
#include "net/punch.h"

namespace {

// Stands in for a connection: counts how often it was shut down.
struct FakeConn {
    std::atomic<int> shutdowns{0};
    void shutdown() { ++shutdowns; }
};

Json parsed(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

TEST(PunchTiming, RetryPause) {
    PunchTimings t;
    struct Case { bool refused; int64_t tryMs; int pause; };
    const Case cases[] = {
        {true, 1, 15},      // refused: short pause, whatever the time taken
        {true, 900, 15},
        {false, 0, 60},     // quick failure: longer pause
        {false, 199, 60},
        {false, 200, 0},    // slow failure: the wait itself was the pause
        {false, 5000, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(punchRetryPauseMs(c.refused, c.tryMs * 1000000, t), c.pause) << c.refused << " " << c.tryMs;
}

TEST(PunchTiming, DialTimeoutNeverBelowMinimum) {
    PunchTimings t;
    const int64_t now = 1000000000000;
    EXPECT_EQ(punchDialTimeoutMs(now, now + 4500 * 1000000LL, t), 4500);
    EXPECT_EQ(punchDialTimeoutMs(now, now + 4500 * 1000000LL + 999999, t), 4500);  // whole ms
    EXPECT_EQ(punchDialTimeoutMs(now, now + 299 * 1000000LL, t), 300);
    EXPECT_EQ(punchDialTimeoutMs(now, now, t), 300);
    EXPECT_EQ(punchDialTimeoutMs(now, now - 5000 * 1000000LL, t), 300);  // past the deadline
    EXPECT_EQ(punchDialTimeoutMs(0, INT64_MAX, t), INT32_MAX);
}

TEST(PunchTiming, DeadlineOnlyMovesEarlier) {
    std::atomic<int64_t> deadline{1000};
    lowerDeadline(deadline, 2000);
    EXPECT_EQ(deadline.load(), 1000);
    lowerDeadline(deadline, 400);
    EXPECT_EQ(deadline.load(), 400);
    lowerDeadline(deadline, 400);
    EXPECT_EQ(deadline.load(), 400);
}

TEST(PunchHello, LocalListAddsThePort) {
    EXPECT_EQ(localAddressList({"192.168.0.4", "10.1.2.3"}, 51234),
              (std::vector<std::string>{"192.168.0.4:51234", "10.1.2.3:51234"}));
    EXPECT_TRUE(localAddressList({}, 51234).empty());
}

TEST(PunchHello, LocalAddressesSkipLoopbackLinkLocalAndRepeats) {
    auto list = localIPv4Addresses();
    std::set<std::string> seen;
    for (const auto& a : list) {
        EXPECT_NE(a.rfind("127.", 0), 0u) << a;
        EXPECT_NE(a.rfind("169.254.", 0), 0u) << a;
        EXPECT_EQ(a.find(':'), std::string::npos) << a;
        EXPECT_TRUE(seen.insert(a).second) << "twice: " << a;
    }
}

TEST(PunchReply, Refusals) {
    const char* replies[] = {
        R"({"ok":1,"peer":"1.2.3.4:5"})",          // only the boolean true counts
        R"({"ok":false,"peer":"1.2.3.4:5"})",
        R"({"peer":"1.2.3.4:5"})",
        R"({"ok":true})",                          // no peer
        R"({"ok":true,"peer":7})",                 // peer not text
        R"({"ok":true,"error":"x","peer":null})",
        R"([true])",
        R"("ok")",
    };
    for (const char* text : replies) {
        RendezvousResult r;
        EXPECT_FALSE(parseRendezvousReply(parsed(text), r)) << text;
    }
}

TEST(PunchReply, PeersInOrderEachOnce) {
    struct Case { const char* reply; std::vector<std::string> peers; std::string listen; };
    const Case cases[] = {
        {R"({"ok":true,"peer":"1.2.3.4:5"})", {"1.2.3.4:5"}, ""},
        {R"({"ok":true,"peer":"1.2.3.4:5","peerLocal":["10.0.0.2:5","1.2.3.4:5","10.0.0.2:5","10.0.0.3:5"],"peerListen":"1.2.3.4:47800"})",
         {"1.2.3.4:5", "10.0.0.2:5", "10.0.0.3:5"}, "1.2.3.4:47800"},
        // Elements that are not text become empty addresses (each once), which are never dialled.
        {R"({"ok":true,"peer":"1.2.3.4:5","peerLocal":[7,"10.0.0.2:5",null]})",
         {"1.2.3.4:5", "", "10.0.0.2:5"}, ""},
        {R"({"ok":true,"peer":"1.2.3.4:5","peerLocal":"10.0.0.2:5","peerListen":47800})", {"1.2.3.4:5"}, ""},
        {R"({"ok":true,"peer":"","peerLocal":[""]})", {""}, ""},
    };
    for (const auto& c : cases) {
        RendezvousResult r;
        r.peers = {"stale"};
        r.peerListen = "stale";
        ASSERT_TRUE(parseRendezvousReply(parsed(c.reply), r)) << c.reply;
        EXPECT_EQ(r.peers, c.peers) << c.reply;
        EXPECT_EQ(r.peerListen, c.listen) << c.reply;
    }
}

TEST(PunchRaceViewer, FirstConnectionWinsLaterOnesAreShutDown) {
    auto deadline = std::make_shared<std::atomic<int64_t>>(nowNanos() + 60'000'000'000LL);
    PunchRace<FakeConn> race(nullptr, deadline, 1500);
    for (int i = 0; i < 3; ++i) race.started();
    auto first = std::make_shared<FakeConn>();
    auto second = std::make_shared<FakeConn>();
    EXPECT_FALSE(race.decided());
    race.offer(first);
    EXPECT_TRUE(race.decided());
    race.offer(second);
    EXPECT_EQ(first->shutdowns, 0);
    EXPECT_EQ(second->shutdowns, 1);
    EXPECT_EQ(race.pending(), 1);
    auto start = nowNanos();
    auto winner = race.finish(5000);  // the viewer does not wait for the last thread
    EXPECT_LT(nowNanos() - start, 1'000'000'000LL);
    EXPECT_EQ(winner, first);
    EXPECT_EQ(winner.use_count(), 2);  // handed out, not kept by the race
    EXPECT_EQ(deadline->load() > nowNanos() + 50'000'000'000LL, true);  // the viewer never lowers it
    race.offer(nullptr);
}

TEST(PunchRaceViewer, ConnectionAfterTheAttemptGaveUpIsShutDown) {
    auto deadline = std::make_shared<std::atomic<int64_t>>(nowNanos());
    PunchRace<FakeConn> race(nullptr, deadline, 1500);
    race.started();
    auto start = nowNanos();
    EXPECT_EQ(race.finish(30), nullptr);
    EXPECT_GE(nowNanos() - start, 25'000'000LL);
    EXPECT_TRUE(race.decided());
    auto late = std::make_shared<FakeConn>();
    race.offer(late);
    EXPECT_EQ(late->shutdowns, 1);
    EXPECT_EQ(late.use_count(), 1);
}

TEST(PunchRaceHost, EveryConnectionGoesToTheCallbackFirstDialLowersDeadline) {
    const int64_t far = nowNanos() + 60'000'000'000LL;
    auto deadline = std::make_shared<std::atomic<int64_t>>(far);
    std::vector<std::shared_ptr<FakeConn>> delivered;
    PunchRace<FakeConn> race([&](std::shared_ptr<FakeConn> c) { delivered.push_back(c); }, deadline, 1500);
    for (int i = 0; i < 3; ++i) race.started();

    auto listened = std::make_shared<FakeConn>();
    race.accepted(listened);  // the listener's connection does not move the deadline
    EXPECT_EQ(deadline->load(), far);
    EXPECT_FALSE(race.decided());  // the host side never stops early

    // Being not the first, a dialled connection after an accepted one leaves the deadline too.
    auto dialled = std::make_shared<FakeConn>();
    race.offer(dialled);
    EXPECT_EQ(deadline->load(), far);
    race.offer(nullptr);
    EXPECT_EQ(delivered.size(), 2u);
    EXPECT_EQ(listened->shutdowns + dialled->shutdowns, 0);

    auto start = nowNanos();
    std::thread last([&] {
        sleepMs(50);
        race.offer(nullptr);
    });
    EXPECT_EQ(race.finish(5000), listened);  // the host waits for every thread
    EXPECT_GE(nowNanos() - start, 40'000'000LL);
    last.join();
}

TEST(PunchRaceHost, FirstDialledConnectionCutsTheDeadline) {
    auto deadline = std::make_shared<std::atomic<int64_t>>(nowNanos() + 60'000'000'000LL);
    int delivered = 0;
    PunchRace<FakeConn> race([&](std::shared_ptr<FakeConn>) { ++delivered; }, deadline, 1500);
    race.started();
    race.started();
    int64_t before = nowNanos();
    race.offer(std::make_shared<FakeConn>());
    int64_t after = nowNanos();
    EXPECT_GE(deadline->load(), before + 1'500'000'000LL);
    EXPECT_LE(deadline->load(), after + 1'500'000'000LL);
    int64_t cut = deadline->load();
    race.offer(std::make_shared<FakeConn>());  // a second one does not move it again
    EXPECT_EQ(deadline->load(), cut);
    EXPECT_EQ(delivered, 2);
    EXPECT_EQ(race.finish(1000) != nullptr, true);
}

}  // namespace
