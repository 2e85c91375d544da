#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "core/util.h"
#include "net/framed.h"
#include "net/punch.h"
#include "net/relay.h"
#include "support/log_capture.h"
#include "support/punch_support.h"
#include "support/test_relay.h"

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

TEST(PunchAddress, OnlyNumericAddressesFromTheRelayAreDialled) {
    struct Case { const char* text; bool ok; const char* host; int port; };
    const Case cases[] = {
        {"1.2.3.4:5", true, "1.2.3.4", 5},
        {"255.255.255.255:65535", true, "255.255.255.255", 65535},
        {"0.0.0.0:1", true, "0.0.0.0", 1},
        {"[2001:db8::5]:47800", true, "2001:db8::5", 47800},
        {"2001:db8::5:47800", true, "2001:db8::5", 47800},  // split at the last colon, as everywhere
        {"[::ffff:1.2.3.4]:9", true, "::ffff:1.2.3.4", 9},
        {"[1:2:3:4:5:6:7:8]:9", true, "1:2:3:4:5:6:7:8", 9},
        {"[::]:9", true, "::", 9},
        // Names are never looked up.
        {"localhost:47800", false, "", 0},
        {"relay.example:47800", false, "", 0},
        {"abc:47800", false, "", 0},
        // Ports: plain decimal, 1 to 65535.
        {"1.2.3.4:0", false, "", 0},
        {"1.2.3.4:65536", false, "", 0},
        {"1.2.3.4:80x", false, "", 0},
        {"1.2.3.4: 80", false, "", 0},
        {"1.2.3.4:+80", false, "", 0},
        {"1.2.3.4:-1", false, "", 0},
        {"1.2.3.4:", false, "", 0},
        {"1.2.3.4:123456", false, "", 0},
        // Malformed IPv4.
        {"1.2.3:5", false, "", 0},
        {"1.2.3.4.5:5", false, "", 0},
        {"1.2.3.256:5", false, "", 0},
        {"010.0.0.1:5", false, "", 0},  // octal to some resolvers
        {"1..3.4:5", false, "", 0},
        {" 1.2.3.4:5", false, "", 0},
        {"1.2.3.4 :5", false, "", 0},
        {"[1.2.3.4]:5", false, "", 0},
        // Malformed IPv6.
        {"[1:2:3:4:5:6:7]:9", false, "", 0},
        {"[1:2:3:4:5:6:7:8:9]:9", false, "", 0},
        {"[1::2::3]:9", false, "", 0},
        {"[:1::2]:9", false, "", 0},
        {"[12345::1]:9", false, "", 0},
        {"[fe80::1%eth0]:9", false, "", 0},
        {"[::g]:9", false, "", 0},
        {"[]:9", false, "", 0},
        {":9", false, "", 0},
        {"", false, "", 0},
        {"no-colon", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host = "untouched";
        int port = -7;
        EXPECT_EQ(splitNumericHostPort(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_EQ(host, "untouched") << c.text;
            EXPECT_EQ(port, -7) << c.text;
        }
    }
}

TEST(PunchReply, PeerCountIsCapped) {
    // A reply fills its 8192 bytes with hundreds of addresses: only the first few are dialled.
    std::string locals;
    for (int i = 0; i < 500; ++i) locals += std::string(i ? "," : "") + "\"10.0." + std::to_string(i / 250) + "." +
                                             std::to_string(i % 250) + ":5\"";
    const std::string text = R"({"ok":true,"peer":"1.2.3.4:5","peerLocal":[)" + locals + "]}";
    ASSERT_LT(text.size(), 8192u);
    RendezvousResult r;
    ASSERT_TRUE(parseRendezvousReply(parsed(text), r));
    ASSERT_EQ(r.peers.size(), kMaxPunchPeers);
    EXPECT_EQ(r.peers[0], "1.2.3.4:5");
    EXPECT_EQ(r.peers[1], "10.0.0.0:5");
    EXPECT_EQ(r.peers.back(), "10.0.0." + std::to_string(kMaxPunchPeers - 2) + ":5");
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

// A host callback that throws has not taken the connection: it is shut down, and the thread
// that offered it is counted out all the same, so the attempt does not wait for it.
TEST(PunchRaceHost, CallbackThatThrowsNeitherStallsTheRaceNorKeepsTheConnection) {
    auto deadline = std::make_shared<std::atomic<int64_t>>(nowNanos() + 60'000'000'000LL);
    int calls = 0;
    PunchRace<FakeConn> race([&](std::shared_ptr<FakeConn>) {
        ++calls;
        throw std::runtime_error("admission failed");
    }, deadline, 1500);
    race.started();
    race.started();
    auto accepted = std::make_shared<FakeConn>();
    auto dialled = std::make_shared<FakeConn>();
    EXPECT_NO_THROW(race.accepted(accepted));
    EXPECT_NO_THROW(race.offer(dialled));
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(accepted->shutdowns, 1);
    EXPECT_EQ(dialled->shutdowns, 1);
    EXPECT_EQ(race.pending(), 1);
    race.offer(nullptr);
    auto start = nowNanos();
    race.finish(5000);
    EXPECT_LT(nowNanos() - start, 1'000'000'000LL);
}

// ---- on loopback ----

// A port that nothing uses right now, for the local port of an attempt.
int freePort() { return closedPort(); }

std::shared_ptr<std::atomic<bool>> flag(bool value) { return std::make_shared<std::atomic<bool>>(value); }

TEST(PunchAttempt, BothSidesMeetOnLoopback) {
    SKIP_WITHOUT_PORT_SHARING();
    PunchTimings t = fastPunchTimings();
    int viewerPort = freePort(), hostPort = freePort();
    auto delivered = std::make_shared<Deliveries>();
    auto hostSide = std::async(std::launch::async, [&] {
        return Punch::attempt(hostPort, {"127.0.0.1:" + std::to_string(viewerPort)}, "",
                              nowNanos() + 3'000'000'000LL, nullptr, Deliveries::into(delivered), t);
    });
    auto conn = Punch::attempt(viewerPort, {"127.0.0.1:" + std::to_string(hostPort)}, "",
                               nowNanos() + 3'000'000'000LL, flag(false), nullptr, t);
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->route, "직접(구멍 뚫기)");
    EXPECT_EQ(conn->peerAddress(), "127.0.0.1:" + std::to_string(hostPort));
    EXPECT_TRUE(hostSide.get());  // the host waited for its threads and had a winner
    auto hostEnd = partnerOf(conn, delivered->all());
    ASSERT_TRUE(hostEnd);
    EXPECT_EQ(hostEnd->route, "직접(구멍 뚫기)");
    EXPECT_EQ(hostEnd->peerAddress(), "127.0.0.1:" + std::to_string(viewerPort));
    for (const auto& other : delivered->all())
        if (other != hostEnd) {
            EXPECT_TRUE(closesWithin(other, 5000));
        }
    EXPECT_TRUE(attemptThreadsEnd());
}

TEST(PunchAttempt, HostCallbackThatThrowsDoesNotHoldTheAttempt) {
    SKIP_WITHOUT_PORT_SHARING();
    Acceptor viewer;
    PunchTimings t = fastPunchTimings();
    t.attemptWaitMs = 8000;
    auto start = nowNanos();
    auto winner = Punch::attempt(freePort(), {viewer.address()}, "", nowNanos() + 1'000'000'000LL, nullptr,
                                 [](std::shared_ptr<FramedConn>) { throw std::runtime_error("admission failed"); }, t);
    // The attempt ends with its deadline, not after its longest wait.
    EXPECT_LT(nowNanos() - start, 3'000'000'000LL);
    EXPECT_TRUE(winner);
    auto viewerEnd = viewer.take(0);
    ASSERT_TRUE(viewerEnd);
    EXPECT_TRUE(closesWithin(viewerEnd, 2000));  // nobody took the host's end
    EXPECT_TRUE(attemptThreadsEnd(2000));
}

TEST(PunchAttempt, HostsPublicListeningAddress) {
    Acceptor host;
    auto conn = Punch::attempt(freePort(), {}, host.address(), nowNanos() + 3'000'000'000LL, flag(false), nullptr,
                               fastPunchTimings());
    ASSERT_TRUE(conn);
    EXPECT_EQ(conn->route, "직접(공인 주소)");
    EXPECT_TRUE(host.take(0));
    EXPECT_TRUE(attemptThreadsEnd(2000));
}

TEST(PunchAttempt, NamesFromTheRelayAreNotDialled) {
    // The host listens on 127.0.0.1, but the relay names it: nothing may dial (or look up) the
    // name, so the attempt ends empty at its deadline and the host sees no connection.
    Acceptor host;
    const std::string named = "localhost:" + std::to_string(host.port());
    auto conn = Punch::attempt(freePort(), {named, host.address() + "x"}, named, nowNanos() + 400'000'000LL,
                               flag(false), nullptr, fastPunchTimings());
    EXPECT_EQ(conn, nullptr);
    EXPECT_TRUE(attemptThreadsEnd(2000));
    EXPECT_EQ(host.take(0, 300), nullptr);
}

TEST(PunchAttempt, ViewerThreadsStopOnceDecided) {
    // A dialler that would go on being refused until its deadline, a listener, and the host's
    // public address that answers: once that wins, the others end within a try or a poll.
    Acceptor host;
    PunchTimings t = fastPunchTimings();
    auto start = nowNanos();
    auto conn = Punch::attempt(freePort(), {"127.0.0.1:" + std::to_string(closedPort()), "not an address"},
                               host.address(), nowNanos() + 30'000'000'000LL, flag(false), nullptr, t);
    ASSERT_TRUE(conn);
    EXPECT_TRUE(attemptThreadsEnd(1000));
    EXPECT_LT(nowNanos() - start, 2'000'000'000LL);
    EXPECT_TRUE(host.take(0));
}

TEST(PunchAttempt, CancelStopsEveryThread) {
    auto cancel = flag(false);
    auto start = nowNanos();
    auto result = std::async(std::launch::async, [&] {
        return Punch::attempt(freePort(), {"127.0.0.1:" + std::to_string(closedPort())}, "",
                              nowNanos() + 30'000'000'000LL, cancel, nullptr, fastPunchTimings());
    });
    sleepMs(200);
    cancel->store(true);
    EXPECT_EQ(result.get(), nullptr);
    EXPECT_LT(nowNanos() - start, 2'000'000'000LL);
    EXPECT_TRUE(attemptThreadsEnd(1000));
}

TEST(PunchAttempt, NothingByTheDeadline) {
    PunchTimings t = fastPunchTimings();
    auto start = nowNanos();
    auto conn = Punch::attempt(freePort(), {"127.0.0.1:" + std::to_string(closedPort())}, "",
                               nowNanos() + 500'000'000LL, flag(false), nullptr, t);
    EXPECT_EQ(conn, nullptr);
    // The last try may run up to its minimum time-out past the deadline.
    EXPECT_LT(nowNanos() - start, 500'000'000LL + int64_t(t.minDialMs + 500) * 1000000);
    EXPECT_TRUE(attemptThreadsEnd(2000));
}

TEST(PunchRendezvous, FailuresAreQuiet) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    Json extras;
    extras.tag = Json::kObject;
    RendezvousResult rv;
    // Nobody registered under the id: refused.
    EXPECT_FALSE(Punch::rendezvous(relay.config(), "punch", "nobody", "00", extras, rv));
    ASSERT_TRUE(rv.relay);
    EXPECT_TRUE(rv.relay->isClosed());
    // Wrong secret: refused.
    RelayConfig wrong = relay.config();
    wrong.secret = "wrong";
    EXPECT_FALSE(Punch::rendezvous(wrong, "punch", "nobody", "00", extras, rv));
    // No relay there.
    RelayConfig gone = relay.config();
    gone.port = closedPort();
    EXPECT_FALSE(Punch::rendezvous(gone, "punch", "nobody", "00", extras, rv));
    EXPECT_FALSE(rv.relay);
    // A relay that answers with something else than a rendezvous.
    relay.setRole("punch", [](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        TestRelay::sendOk(*link);  // no "peer"
    });
    EXPECT_FALSE(Punch::rendezvous(relay.config(), "punch", "x", "00", extras, rv));
    EXPECT_TRUE(rv.relay->isClosed());
}

TEST(PunchClient, CancelDuringTheRendezvousDialsNothing) {
    TestRelay relay;
    auto cancel = flag(false);
    // The race is decided while the relay pairs the viewer with the host.
    relay.setRole("punch", [cancel](TestRelay& r, const std::shared_ptr<TestRelay::Link>& link, const Json& hello) {
        cancel->store(true);
        TestRelay::punchRole(r, link, hello);
    });
    ASSERT_TRUE(relay.start());
    RelayedHost host(relay, "host-id", 47800, true);
    RelayConfig config = relay.config();
    auto start = nowNanos();
    EXPECT_EQ(Punch::client(config, "host-id", cancel, fastPunchTimings()), nullptr);
    EXPECT_LT(nowNanos() - start, 2'000'000'000LL);
    // The host side, told of the punch all the same, dials the viewer in vain until its deadline.
    ASSERT_TRUE(relay.waitFor([&] {
        for (const auto& h : relay.hellos())
            if (h.get("role").text == "punchhost") return true;
        return false;
    }, 5000));
    EXPECT_TRUE(host.punchesEnd());
    EXPECT_TRUE(attemptThreadsEnd());
    EXPECT_EQ(host.delivered->count(), 0u);

    // What both sides told the relay.
    Json viewerHello, hostHello;
    for (const auto& h : relay.hellos()) {
        if (h.get("role").text == "punch") viewerHello = h;
        if (h.get("role").text == "punchhost") hostHello = h;
    }
    ASSERT_TRUE(viewerHello.isObject());
    ASSERT_TRUE(hostHello.isObject());
    std::vector<std::string> viewerKeys, hostKeys;
    for (const auto& m : viewerHello.members) viewerKeys.push_back(m.first);
    for (const auto& m : hostHello.members) hostKeys.push_back(m.first);
    EXPECT_EQ(viewerKeys, (std::vector<std::string>{"role", "id", "session", "mac", "local"}));
    EXPECT_EQ(hostKeys, (std::vector<std::string>{"role", "id", "session", "mac", "listen", "local"}));
    EXPECT_EQ(viewerHello.get("id").text, "host-id");
    EXPECT_EQ(hostHello.get("id").text, "host-id");
    const std::string session = viewerHello.get("session").text;
    EXPECT_EQ(session.size(), 32u);
    EXPECT_EQ(session.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(hostHello.get("session").text, session);
    EXPECT_EQ(hostHello.get("listen").number, 47800);
    for (const Json* hello : {&viewerHello, &hostHello}) {
        ASSERT_TRUE(hello->get("local").isArray());
        auto local = localIPv4Addresses();
        ASSERT_EQ(hello->get("local").size(), local.size());
        for (size_t i = 0; i < local.size(); ++i) {
            const std::string& entry = hello->get("local").at(i).text;
            EXPECT_EQ(entry.rfind(local[i] + ":", 0), 0u) << entry;
            EXPECT_GT(std::stoi(entry.substr(entry.rfind(':') + 1)), 0) << entry;
        }
    }
}

// A race decided while the relay has not answered yet: the viewer's relay connection closes at
// once instead of when the answer is due, so the relay and the host's punch slot are free again.
TEST(PunchClient, DecidedRaceClosesTheRelayConnectionAtOnce) {
    struct Seen {
        std::atomic<bool> closed{false};
        std::atomic<int64_t> afterMs{-1};
    };
    auto seen = std::make_shared<Seen>();
    auto cancel = flag(false);
    TestRelay relay;
    relay.setRole("punch", [seen, cancel](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        cancel->store(true);  // the race is decided; the relay has no answer yet
        int64_t start = nowNanos();
        std::string line;
        seen->closed = !link->readLine(line, 100, 5000);
        seen->afterMs = (nowNanos() - start) / 1000000;
    });
    ASSERT_TRUE(relay.start());
    PunchTimings t = fastPunchTimings();
    t.replyTimeoutMs = 5000;
    auto start = nowNanos();
    EXPECT_EQ(Punch::client(relay.config(), "host-id", cancel, t), nullptr);
    EXPECT_LT(nowNanos() - start, 1'000'000'000LL);
    ASSERT_TRUE(relay.waitFor([&] { return seen->afterMs.load() >= 0; }, 6000));
    EXPECT_TRUE(seen->closed.load());
    EXPECT_LT(seen->afterMs.load(), 1000);
    EXPECT_TRUE(attemptThreadsEnd(1000));
}

TEST(PunchClient, TheRelaysAddressesAreLoggedEscaped) {
    TestRelay relay;
    const std::string peer = "127.0.0.1:" + std::to_string(closedPort());
    relay.setRole("punch", [peer](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        Json reply;
        reply.set("peer", peer);
        Json locals;
        locals.tag = Json::kArray;
        locals.push("x\n2026-01-01 00:00:00 가짜 줄\x1b");
        reply.set("peerLocal", std::move(locals));
        TestRelay::sendOk(*link, std::move(reply));
    });
    ASSERT_TRUE(relay.start());
    LogCapture log;
    EXPECT_EQ(Punch::client(relay.config(), "host-id", flag(false), fastPunchTimings()), nullptr);
    EXPECT_TRUE(log.has("구멍 뚫기 실패 (" + peer + ", x\\n2026-01-01 00:00:00 가짜 줄\\x1b)")) << log.text();
    EXPECT_FALSE(log.has("\n2026-01-01 00:00:00 가짜")) << log.text();
    EXPECT_TRUE(attemptThreadsEnd());
}

TEST(PunchHost, NoListenMemberWithoutAListeningPort) {
    TestRelay relay;
    ASSERT_TRUE(relay.start());
    relay.pairTimeoutMs = 200;  // no viewer comes
    auto delivered = std::make_shared<Deliveries>();
    auto start = nowNanos();
    Punch::host(relay.config(), "host-id", "feed", 0, Deliveries::into(delivered), fastPunchTimings());
    EXPECT_LT(nowNanos() - start, 2'000'000'000LL);
    auto hellos = relay.hellos();
    ASSERT_EQ(hellos.size(), 1u);
    EXPECT_EQ(hellos[0].get("role").text, "punchhost");
    EXPECT_EQ(hellos[0].get("session").text, "feed");
    EXPECT_FALSE(hellos[0].has("listen"));
    EXPECT_EQ(delivered->count(), 0u);
    EXPECT_EQ(Punch::threadsRunning(), 0);
}

}  // namespace
