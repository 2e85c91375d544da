#include "net/relay.h"
#include "net/relay_agent.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "core/crypto/x25519.h"
#include "core/util.h"
#include "core/wire.h"
#include "net/handshake.h"
#include "net/ip_address.h"
#include "net/punch.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/punch_support.h"
#include "support/proto_error.h"
#include "support/relay_support.h"
#include "support/test_relay.h"

namespace {

int64_t msSince(int64_t startNanos) { return (nowNanos() - startNanos) / 1000000; }

// A one-connection server that runs a script of raw lines, for replies no sane relay sends.
class ScriptedRelay {
public:
    explicit ScriptedRelay(std::function<void(FramedConn&)> script) {
        EXPECT_TRUE(listener_.open(0, true));
        thread_ = std::thread([this, script] {
            auto conn = listener_.accept();
            if (!conn) return;
            script(*conn);
            std::lock_guard<std::mutex> lock(mutex_);
            conn_ = conn;  // kept open until the test ends
        });
    }
    ~ScriptedRelay() {
        listener_.close();
        thread_.join();
        if (conn_) conn_->shutdown();
    }
    RelayConfig config() const {
        return RelayConfig{"127.0.0.1", listener_.port(), "s"};
    }

private:
    ListenSocket listener_;
    std::thread thread_;
    std::mutex mutex_;
    std::shared_ptr<FramedConn> conn_;
};

// Holds threads of a test double until the test lets them go.
class Latch {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait(int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

}  // namespace

// ---- digest and hello ----

TEST(RelayProtocol, MacMatchesIndependentlyComputedDigests) {
    // Expected values from Python's hmac module over the plain concatenation of the four texts.
    struct Case {
        const char *secret, *nonce, *role, *id, *session, *mac;
    } cases[] = {
        {"test-relay-secret", "0123456789abcdef", "host", "3f2a", "",
         "84acb8d445c1e02e6e96ad1d57173934cfdb3e1b22b87a8a31f0277445efe57b"},
        {"비밀", "n-1", "data", "id7", "cafe01", "6c79e2dc8aeeab3246480a0659b51d022935c41411c3e0a9c0ee9618d995af55"},
        {"s", "", "status", "a,b", "", "b01109b9bfca1b87c8d9e2237cca3cb7baba59d3c4bbec7007cf3d7ec3c211ad"},
    };
    for (const auto& c : cases) EXPECT_EQ(relayMac(c.secret, c.nonce, c.role, c.id, c.session), c.mac) << c.role;
    // No separators: only the concatenation counts.
    EXPECT_EQ(relayMac("k", "ab", "c", "", ""), relayMac("k", "a", "bc", "", ""));
}

TEST(RelayProtocol, HelloHasTheFourMembersFirstAndExtrasAfter) {
    std::promise<std::string> hello;
    ScriptedRelay relay([&](FramedConn& conn) {
        conn.sendLine("{\"nonce\":\"N\"}");
        try {
            hello.set_value(conn.readLine(8192, 5000));
        } catch (const ProtoError& e) {
            hello.set_value(std::string("error: ") + e.what());
        }
    });
    auto conn = connectRelay(relay.config(), false);
    Json extras;
    extras.set("local", Json("10.0.0.2:5000"));
    extras.set("id", Json("replaced"));
    sendRelayHello(*conn, relay.config(), "punch", "target", "sess", extras);
    std::string mac = relayMac("s", "N", "punch", "target", "sess");
    EXPECT_EQ(hello.get_future().get(),
              "{\"role\":\"punch\",\"id\":\"replaced\",\"session\":\"sess\",\"mac\":\"" + mac +
                  "\",\"local\":\"10.0.0.2:5000\"}");
}

TEST(RelayProtocol, BadNonceLinesFailTheHello) {
    struct Case {
        std::string line;
        const char* error;
    } cases[] = {
        {"", "중계 서버 응답 형식"},
        {"nonce", "중계 서버 응답 형식"},
        {"{\"nonce\":5}", "중계 서버 응답 형식"},
        {"[\"nonce\"]", "중계 서버 응답 형식"},
        {"{\"nonce\":\"x\"} trailing", "중계 서버 응답 형식"},
        {std::string(kRelayLineMax + 1, 'a'), "너무 긴 줄"},
    };
    for (const auto& c : cases) {
        ScriptedRelay relay([&](FramedConn& conn) {
            if (c.line.size() > kRelayLineMax) {
                conn.sendAll(reinterpret_cast<const uint8_t*>(c.line.data()), c.line.size());
            } else {
                conn.sendLine(c.line);
            }
        });
        auto conn = connectRelay(relay.config(), false);
        EXPECT_EQ(protoErrorOf([&] { sendRelayHello(*conn, relay.config(), "client", "x", ""); }), c.error)
            << c.line.substr(0, 40);
    }
    ScriptedRelay closing([](FramedConn& conn) { conn.shutdown(); });
    auto conn = connectRelay(closing.config(), false);
    EXPECT_EQ(protoErrorOf([&] { sendRelayHello(*conn, closing.config(), "client", "x", ""); }), "연결이 닫혔습니다");
}

TEST(RelayProtocol, OnlyABooleanTrueOkIsAcceptance) {
    struct Case {
        std::string line;
        const char* error;  // null: accepted
    } cases[] = {
        {"{\"ok\":true,\"x\":1}", nullptr},
        {"{\"ok\":1}", "중계 서버: 거부됨"},
        {"{\"ok\":\"true\"}", "중계 서버: 거부됨"},
        {"{\"ok\":false,\"error\":\"offline\"}", "중계 서버: offline"},
        {"{\"error\":\"nope\"}", "중계 서버: nope"},
        {"{\"ok\":false,\"error\":5}", "중계 서버: 거부됨"},
        {"[true]", "중계 서버: 거부됨"},
        {"ok", "중계 서버 응답 형식"},
        {"", "중계 서버 응답 형식"},
        {std::string(kRelayLineMax + 1, ' '), "너무 긴 줄"},
    };
    for (const auto& c : cases) {
        ScriptedRelay relay([&](FramedConn& conn) {
            std::string bytes = c.line.size() > kRelayLineMax ? c.line : c.line + "\n";
            conn.sendAll(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        });
        auto conn = connectRelay(relay.config(), false);
        std::string error = protoErrorOf([&] {
            Json reply = readRelayReply(*conn);
            EXPECT_EQ(reply.get("x").asNumber(), 1);
        });
        EXPECT_EQ(error, c.error ? c.error : "") << c.line.substr(0, 40);
    }
}

TEST(RelayProtocol, UnreachableRelay) {
    RelayConfig relay{"127.0.0.1", closedPort(), "s"};
    EXPECT_EQ(protoErrorOf([&] { connectRelay(relay, false); }), "중계 서버에 연결할 수 없습니다");
    EXPECT_EQ(protoErrorOf([&] { connectViaRelay(relay, "x"); }), "중계 서버에 연결할 수 없습니다");
}

// ---- through the test relay, with host agents ----

// A test relay and host agents at it with short intervals; what the agents deliver lands in
// `delivered`. A test sets the relay's roles before startRelay and an agent's timing or punch
// runner before starting it; every agent is stopped at the end, before the relay goes.
class RelayAgent : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto& agent : agents_) agent->stop();
    }

    void startRelay() { ASSERT_TRUE(relay.start()); }

    // A new agent, not started, with the short intervals.
    RelayHostAgent& makeAgent(const std::string& id = "dev") { return makeAgent(relay.config(), id, delivered.callback()); }
    RelayHostAgent& makeAgent(const RelayConfig& at, const std::string& id, RelayConnCallback incoming) {
        agents_.push_back(std::make_unique<RelayHostAgent>(at, id, std::move(incoming)));
        agents_.back()->setTiming(fastAgentTiming());
        return *agents_.back();
    }
    // Starts the agent; true once the relay holds its registration.
    bool startAndRegister(RelayHostAgent& agent) {
        agent.start();
        return relay.waitFor([&] { return agent.connected() && relay.online(agent.id()); }, 5000);
    }
    // A punch runner that does nothing: "punch" lines must not start real punches.
    static void noPunching(RelayHostAgent& agent) {
        agent.setPunchRunner([](const RelayConfig&, const std::string&, const std::string&, int,
                                const RelayConnCallback&) {});
    }

    TestRelay relay;
    Deliveries delivered;

private:
    std::vector<std::unique_ptr<RelayHostAgent>> agents_;
};

TEST_F(RelayAgent, RefusalsCarryTheRelaysText) {
    startRelay();
    EXPECT_EQ(protoErrorOf([&] { connectViaRelay(relay.config(), "nobody"); }), "중계 서버: offline");
    RelayConfig wrong = relay.config();
    wrong.secret = "not-the-secret";
    EXPECT_EQ(protoErrorOf([&] { connectViaRelay(wrong, "nobody"); }), "중계 서버: bad mac");
}

TEST_F(RelayAgent, TheRelaysTextIsLoggedEscaped) {
    relay.setRole("data", [](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        TestRelay::refuse(*link, "busy\n2026-01-01 00:00:00 가짜 줄");
    });
    startRelay();
    RelayHostAgent& agent = makeAgent();
    agent.setPunchRunner([](const RelayConfig&, const std::string&, const std::string&, int, const RelayConnCallback&) {
        throw ProtoError("중계 서버: gone\r\n2026-01-01 00:00:00 가짜 줄");
    });
    ASSERT_TRUE(startAndRegister(agent));
    LogCapture log;
    ASSERT_TRUE(relay.sendToHost("dev", "{\"incoming\":\"s1\"}"));
    ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"p1\"}"));
    EXPECT_TRUE(log.waitFor("중계 데이터 연결 실패: 중계 서버: busy\\n2026-01-01 00:00:00 가짜 줄")) << log.text();
    EXPECT_TRUE(log.waitFor("구멍 뚫기 실패: 중계 서버: gone\\r\\n2026-01-01 00:00:00 가짜 줄")) << log.text();
    EXPECT_FALSE(log.has("\n2026-01-01 00:00:00 가짜")) << log.text();
}

TEST_F(RelayAgent, ViewerReachesTheRegisteredHostThroughAPipe) {
    startRelay();
    ASSERT_TRUE(startAndRegister(makeAgent("host-id")));

    auto viewer = connectViaRelay(relay.config(), "host-id");
    EXPECT_EQ(viewer->route, "중계");
    ASSERT_TRUE(relay.waitFor([&] { return delivered.count() == 1; }, 5000));
    auto hostEnd = delivered.at(0);
    EXPECT_EQ(hostEnd->route, "중계");

    // Both directions carry exactly the peer's bytes: frames, including an empty one.
    Bytes big(300000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
    ASSERT_TRUE(viewer->sendFrame(big));
    ASSERT_TRUE(viewer->sendFrame(Bytes()));
    EXPECT_EQ(hostEnd->readFrame(1 << 20, 5000), big);
    EXPECT_TRUE(hostEnd->readFrame(16, 5000).empty());
    ASSERT_TRUE(hostEnd->sendLine("hello viewer"));
    EXPECT_EQ(viewer->readLine(100, 5000), "hello viewer");

    // Either end closing closes the other.
    viewer->shutdown();
    EXPECT_EQ(protoErrorOf([&] { hostEnd->readFrame(16, 5000); }), "연결이 닫혔습니다");
}

TEST_F(RelayAgent, BytesSentBeforeTheReplyReachTheHostAfterItsOk) {
    startRelay();
    ASSERT_TRUE(startAndRegister(makeAgent("h")));

    auto conn = connectRelay(relay.config(), false);
    sendRelayHello(*conn, relay.config(), "client", "h", "");
    ASSERT_TRUE(conn->sendFrame(asBytes("early")));  // before the relay has answered
    readRelayReply(*conn);
    ASSERT_TRUE(relay.waitFor([&] { return delivered.count() == 1; }, 5000));
    EXPECT_EQ(spanToString(delivered.at(0)->readFrame(100, 5000)), "early");
}

TEST_F(RelayAgent, TestRelayRefusesWhatItCannotCheck) {
    startRelay();
    EXPECT_EQ(protoErrorOf([&] {
                  auto conn = connectRelay(relay.config(), false);
                  sendRelayHello(*conn, relay.config(), "teleport", "x", "");
                  readRelayReply(*conn);
              }),
              "중계 서버: unknown role");
    // A hello whose "mac" is not text.
    Json extras;
    extras.set("mac", Json(5));
    EXPECT_EQ(protoErrorOf([&] {
                  auto conn = connectRelay(relay.config(), false);
                  sendRelayHello(*conn, relay.config(), "status", "x", "", extras);
                  readRelayReply(*conn);
              }),
              "중계 서버: bad hello");
    // A data connection for a session the relay never announced.
    EXPECT_EQ(protoErrorOf([&] {
                  auto conn = connectRelay(relay.config(), false);
                  sendRelayHello(*conn, relay.config(), "data", "x", "0123");
                  readRelayReply(*conn);
              }),
              "중계 서버: unknown session");
}

// ---- presence query ----

TEST_F(RelayAgent, StatusQueryReportsHeldAndSeenIds) {
    startRelay();
    RelayHostAgent& a = makeAgent("aaaa");
    RelayHostAgent& b = makeAgent("123456789");
    ASSERT_TRUE(startAndRegister(a));
    ASSERT_TRUE(startAndRegister(b));
    b.stop();
    ASSERT_TRUE(relay.waitFor([&] { return !relay.online("123456789"); }, 5000));

    double before = nowSeconds();
    RelayStatus status;
    ASSERT_TRUE(queryRelayStatus(relay.config(), {"aaaa", "123456789", "never"}, status));
    EXPECT_EQ(status.online, (std::map<std::string, bool>{{"aaaa", true}, {"123456789", false}, {"never", false}}));
    ASSERT_EQ(status.seen.count("123456789"), 1u);
    EXPECT_GT(status.seen["123456789"], before - 60);
    EXPECT_EQ(status.seen.count("never"), 0u);
    auto hellos = relay.hellos();
    ASSERT_FALSE(hellos.empty());
    EXPECT_EQ(hellos.back().get("role").asString(), "status");
    EXPECT_EQ(hellos.back().get("id").asString(), "aaaa,123456789,never");
}

// Each case needs a relay with its own answer.
TEST(RelayStatusQuery, RepliesAreTypeChecked) {
    struct Case {
        std::string reply;
        bool counts;
        std::map<std::string, bool> online;
        std::map<std::string, double> seen;
    } cases[] = {
        {"{\"ok\":true,\"online\":[\"a\",7,null],\"seen\":{\"a\":12.5,\"b\":\"x\",\"z\":3}}", true,
         {{"a", true}, {"b", false}, {"", true}}, {{"a", 12.5}, {"b", 0}, {"z", 3}}},
        {"{\"ok\":true,\"online\":{},\"seen\":{}}", false, {}, {}},
        {"{\"ok\":1,\"online\":[\"a\"]}", false, {}, {}},
        {"{\"ok\":true,\"online\":[],\"seen\":[1]}", true, {{"a", false}, {"b", false}, {"", false}}, {}},
        {"not json", false, {}, {}},
    };
    for (const auto& c : cases) {
        TestRelay relay;
        relay.setRole("status", [&](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
            link->sendLine(c.reply);
        });
        ASSERT_TRUE(relay.start());
        RelayStatus status;
        EXPECT_EQ(queryRelayStatus(relay.config(), {"a", "b", ""}, status), c.counts) << c.reply;
        EXPECT_EQ(status.online, c.online) << c.reply;
        EXPECT_EQ(status.seen, c.seen) << c.reply;
    }
    // A relay that cannot be reached is a failed query, not an empty answer.
    RelayConfig gone{"127.0.0.1", closedPort(), "s"};
    RelayStatus status;
    EXPECT_FALSE(queryRelayStatus(gone, {"a"}, status));
    EXPECT_TRUE(status.online.empty());
}

// ---- host agent ----

TEST_F(RelayAgent, RegistersWithPunchOfferAndKeepsAlive) {
    startRelay();
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.keepAliveMs = 150;
    agent.setTiming(timing);
    noPunching(agent);
    agent.start();
    ASSERT_TRUE(relay.waitFor([&] { return relay.hostLines("dev").size() >= 2; }, 5000));
    for (const auto& line : relay.hostLines("dev")) EXPECT_EQ(line, "{\"ping\":1}");
    auto hello = relay.hellos().at(0);
    EXPECT_EQ(hello.dump().substr(0, 38), "{\"role\":\"host\",\"id\":\"dev\",\"session\":\"\"");
    EXPECT_TRUE(hello.get("punch").asBool());
    EXPECT_EQ(relay.registrations("dev"), 1);
    agent.stop();
    EXPECT_FALSE(agent.connected());
}

// Without a runner set by the caller, the agent offers punching and answers a "punch" line
// with the host side of hole punching, which meets the viewer at the relay as "punchhost".
TEST_F(RelayAgent, PunchesByDefault) {
    startRelay();
    ASSERT_TRUE(startAndRegister(makeAgent()));
    EXPECT_TRUE(relay.hellos().at(0).get("punch").asBool());
    ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"p1\"}"));
    auto punchHello = [&] {
        for (const auto& h : relay.hellos())
            if (h.get("role").asString() == "punchhost" && h.get("session").asString() == "p1") return true;
        return false;
    };
    EXPECT_TRUE(relay.waitFor(punchHello, 5000));
}

TEST_F(RelayAgent, BadControlLinesAreIgnoredAndOversizeOnesEndTheLine) {
    startRelay();
    RelayHostAgent& agent = makeAgent();
    noPunching(agent);  // the well-formed "punch" line below is served by nothing
    ASSERT_TRUE(startAndRegister(agent));

    for (const char* line : {"{\"incoming\":7}", "{\"incoming\":null}", "not json", "[\"incoming\"]",
                             "{\"incoming\":{\"x\":1}}", "{\"punch\":\"s\"}", "", "{\"ping\":1}"}) {
        ASSERT_TRUE(relay.sendToHost("dev", line));
    }
    // Still the same registration, and a good line after the bad ones is served.
    auto viewer = std::async(std::launch::async, [&] { return connectViaRelay(relay.config(), "dev"); });
    ASSERT_TRUE(relay.waitFor([&] { return delivered.count() == 1; }, 5000));
    EXPECT_EQ(viewer.get()->route, "중계");
    EXPECT_EQ(relay.registrations("dev"), 1);
    auto dataHellos = 0;
    for (const auto& h : relay.hellos()) dataHellos += h.get("role").asString() == "data";
    EXPECT_EQ(dataHellos, 1);

    // A line longer than the cap ends that control line; the agent registers again.
    ASSERT_TRUE(relay.sendToHost("dev", "{\"incoming\":\"" + std::string(kRelayLineMax, 'x') + "\"}"));
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 2 && agent.connected(); }, 5000));
    EXPECT_EQ(delivered.count(), 1u);
}

TEST_F(RelayAgent, ALineLeftUnfinishedEndsTheControlLine) {
    startRelay();
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.keepAliveMs = 200;
    agent.setTiming(timing);
    agent.start();
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 1; }, 5000));
    auto control = relay.host("dev");
    ASSERT_TRUE(control && control->sendRaw("{\"incoming\":\"ab"));
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 2 && agent.connected(); }, 5000));
    EXPECT_EQ(delivered.count(), 0u);
}

TEST_F(RelayAgent, BackoffScheduleDoublesUpToTheCap) {
    RelayAgentTiming t;
    const int series[][2] = {{2000, 4000}, {4000, 8000}, {8000, 16000}, {16000, 30000}, {30000, 30000}};
    for (const auto& step : series) EXPECT_EQ(nextRelayBackoff(step[0], t), step[1]);

    // Registrations that keep failing are spaced start, 2x, 4x, ... up to the cap.
    relay.setRole("host", [](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        TestRelay::refuse(*link, "not today");
    });
    startRelay();
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.backoffStartMs = 40;
    timing.backoffMaxMs = 200;
    agent.setTiming(timing);
    agent.start();
    ASSERT_TRUE(relay.waitFor([&] { return relay.connectionTimes().size() >= 7; }, 10000));
    agent.stop();
    auto times = relay.connectionTimes();
    const int expected[] = {40, 80, 160, 200, 200, 200};
    for (int i = 0; i < 6; ++i) {
        int64_t gapMs = (times[i + 1] - times[i]) / 1000000;
        // Waits are never shorter than asked; a loaded machine may make them longer.
        EXPECT_GE(gapMs, expected[i] - 2) << "gap " << i;
        EXPECT_LT(gapMs, expected[i] + 1000) << "gap " << i;
    }
    EXPECT_FALSE(agent.connected());
}

TEST_F(RelayAgent, LostRegistrationIsRetriedAfterTheFirstWait) {
    startRelay();
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.backoffStartMs = 300;
    agent.setTiming(timing);
    agent.start();
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 1; }, 5000));
    int64_t dropped = nowNanos();
    relay.dropHost("dev");
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 2; }, 5000));
    int64_t gap = msSince(dropped);
    EXPECT_GE(gap, 290);
    EXPECT_LT(gap, 1300);
    EXPECT_TRUE(relay.waitFor([&] { return agent.connected(); }, 5000));
}

TEST_F(RelayAgent, ReconnectDuringBackoffIsImmediate) {
    auto refuse = std::make_shared<std::atomic<bool>>(true);
    relay.setRole("host", [refuse](TestRelay& r, const std::shared_ptr<TestRelay::Link>& link, const Json& hello) {
        if (refuse->load()) {
            TestRelay::refuse(*link, "busy");
            return;
        }
        TestRelay::hostRole(r, link, hello);
    });
    startRelay();
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.backoffStartMs = 20000;  // a wait the test could never sit out
    agent.setTiming(timing);
    agent.start();
    ASSERT_TRUE(relay.waitFor([&] { return relay.connectionTimes().size() == 1; }, 5000));
    sleepMs(50);  // into the wait
    refuse->store(false);
    int64_t asked = nowNanos();
    agent.reconnect();
    ASSERT_TRUE(relay.waitFor([&] { return agent.connected(); }, 5000));
    EXPECT_LT(msSince(asked), 1000);
}

TEST_F(RelayAgent, ReconnectOnALiveLineRegistersAnew) {
    startRelay();
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.reconnectDelayMs = 200;
    agent.setTiming(timing);
    agent.start();
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 1 && agent.connected(); }, 5000));
    int64_t asked = nowNanos();
    agent.reconnect();
    ASSERT_TRUE(relay.waitFor([&] { return relay.registrations("dev") == 2; }, 5000));
    EXPECT_GE(msSince(asked), 190);
    EXPECT_TRUE(relay.waitFor([&] { return agent.connected(); }, 5000));
}

TEST_F(RelayAgent, StopIsPromptInEveryState) {
    startRelay();
    // Blocked reading the control line, with the product's own intervals.
    {
        RelayHostAgent& agent = makeAgent();
        agent.setTiming(RelayAgentTiming());
        agent.start();
        ASSERT_TRUE(relay.waitFor([&] { return agent.connected(); }, 5000));
        int64_t t = nowNanos();
        agent.stop();
        EXPECT_LT(msSince(t), 500);
    }
    // Waiting for a nonce that never comes (the exchange would wait 10 s).
    {
        ScriptedRelay silent([](FramedConn& conn) {
            try {
                conn.readLine(10, 5000);
            } catch (const ProtoError&) {
            }
        });
        RelayHostAgent& agent = makeAgent(silent.config(), "dev", delivered.callback());
        agent.setTiming(RelayAgentTiming());
        agent.start();
        sleepMs(100);
        int64_t t = nowNanos();
        agent.stop();
        EXPECT_LT(msSince(t), 500);
    }
    // Dialling a relay that does not answer the connection at all (a listener whose queue is
    // full drops further connection requests; the dial alone would take 6 s).
    {
        SocketHandle full = socketOpenTcp(kFamilyV4);
        ASSERT_TRUE(socketBind(full, kFamilyV4, 0, true) && socketListen(full, 0));
        int port = socketLocalPort(full);
        std::vector<std::shared_ptr<FramedConn>> queued;
        for (int i = 0; i < 4; ++i) {
            if (auto c = connectTcp("127.0.0.1", port, 200)) queued.push_back(c);
        }
        RelayHostAgent& agent = makeAgent(RelayConfig{"127.0.0.1", port, "s"}, "dev", delivered.callback());
        agent.setTiming(RelayAgentTiming());
        agent.start();
        sleepMs(300);
        int64_t t = nowNanos();
        agent.stop();
        EXPECT_LT(msSince(t), 500);
        socketClose(full);
    }
    // In a long back-off wait.
    {
        RelayConfig gone{"127.0.0.1", closedPort(), "s"};
        RelayHostAgent& agent = makeAgent(gone, "dev", delivered.callback());
        agent.setTiming(RelayAgentTiming());
        agent.start();
        sleepMs(200);
        int64_t t = nowNanos();
        agent.stop();
        EXPECT_LT(msSince(t), 500);
    }
}

TEST_F(RelayAgent, NoConnectionIsDeliveredAfterStop) {
    relay.pairTimeoutMs = 5000;
    auto release = std::make_shared<Latch>();
    auto dataArrived = std::make_shared<std::atomic<bool>>(false);
    relay.setRole("data", [release, dataArrived](TestRelay& r, const std::shared_ptr<TestRelay::Link>& link,
                                                 const Json& hello) {
        dataArrived->store(true);
        release->wait(5000);  // the agent is stopped while its data connection waits for "ok"
        auto meeting = r.meet("pipe:" + hello.get("session").asString(), link, 5000);
        if (meeting) r.pipe(meeting, link);
    });
    startRelay();
    RelayHostAgent& agent = makeAgent();
    ASSERT_TRUE(startAndRegister(agent));
    auto viewer = std::async(std::launch::async, [&] { return connectViaRelay(relay.config(), "dev"); });
    ASSERT_TRUE(relay.waitFor([&] { return dataArrived->load(); }, 5000));
    agent.stop();
    release->open();
    // The late data connection is shut down instead of delivered, so the viewer's pipe closes.
    auto conn = viewer.get();
    EXPECT_EQ(protoErrorOf([&] { conn->readFrame(16, 5000); }), "연결이 닫혔습니다");
    EXPECT_EQ(delivered.count(), 0u);
}

// What a test's incoming callback shares with the agent's data threads, which may outlive the
// test: it holds each connection for a while before it takes it.
struct SlowAdmission {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    Latch release;
    int holdMs = 0;
    Deliveries taken;

    static RelayConnCallback callback(const std::shared_ptr<SlowAdmission>& self) {
        return [self](std::shared_ptr<FramedConn> conn) {
            self->entered = true;
            self->release.wait(self->holdMs);
            self->taken.callback()(std::move(conn));
            self->finished = true;
        };
    }
};

// stop waits for a hand-over that had begun: once it returns, that callback is over, and no
// connection is on its way to the host any more.
TEST_F(RelayAgent, StopWaitsForAHandOverUnderWay) {
    startRelay();
    auto admission = std::make_shared<SlowAdmission>();
    admission->holdMs = 300;
    RelayHostAgent& agent = makeAgent(relay.config(), "dev", SlowAdmission::callback(admission));
    ASSERT_TRUE(startAndRegister(agent));
    auto viewer = connectViaRelay(relay.config(), "dev");
    ASSERT_TRUE(relay.waitFor([&] { return admission->entered.load(); }, 5000));
    agent.stop();
    EXPECT_TRUE(admission->finished.load());
    EXPECT_EQ(admission->taken.count(), 1u);
}

// ... but only for so long: a callback that takes longer than that goes on after stop returned,
// and the host's admission itself must check that hosting is still on.
TEST_F(RelayAgent, StopWaitsForAHandOverOnlySoLong) {
    startRelay();
    auto admission = std::make_shared<SlowAdmission>();
    admission->holdMs = 10000;
    RelayHostAgent& agent = makeAgent(relay.config(), "dev", SlowAdmission::callback(admission));
    RelayAgentTiming timing = fastAgentTiming();
    timing.handOverWaitMs = 200;
    agent.setTiming(timing);
    ASSERT_TRUE(startAndRegister(agent));
    auto viewer = connectViaRelay(relay.config(), "dev");
    ASSERT_TRUE(relay.waitFor([&] { return admission->entered.load(); }, 5000));
    int64_t t = nowNanos();
    agent.stop();
    EXPECT_GE(msSince(t), 190);
    EXPECT_LT(msSince(t), 1000);
    EXPECT_FALSE(admission->finished.load());
    admission->release.open();
    EXPECT_TRUE(relay.waitFor([&] { return admission->finished.load(); }, 5000));
}

TEST_F(RelayAgent, StartAfterStopDeliversAgain) {
    startRelay();
    RelayHostAgent& agent = makeAgent();
    ASSERT_TRUE(startAndRegister(agent));
    agent.stop();
    ASSERT_TRUE(relay.waitFor([&] { return !relay.online("dev"); }, 5000));
    ASSERT_TRUE(startAndRegister(agent));
    EXPECT_EQ(relay.registrations("dev"), 2);
    auto viewer = connectViaRelay(relay.config(), "dev");
    ASSERT_TRUE(relay.waitFor([&] { return delivered.count() == 1; }, 5000));
    ASSERT_TRUE(viewer->sendFrame(asBytes("after a restart")));
    EXPECT_EQ(spanToString(delivered.at(0)->readFrame(100, 5000)), "after a restart");
}

// What a test's punch runner shares with the punch threads. The threads are detached and may
// still be finishing when the test returns, so they hold this by shared_ptr and never touch the
// test's own locals.
struct PunchLog {
    std::mutex mutex;
    std::vector<std::string> sessions;
    std::vector<std::string> calls;  // "id relay-port listen-port" of each call
    std::atomic<int> started{0};
    std::atomic<bool> lateStarted{false};
    std::atomic<bool> oneFinished{false};
    Latch finishOne, finishAll;
    int targetPort = 0;

    void note(const RelayConfig& relay, const std::string& id, const std::string& session, int port) {
        std::lock_guard<std::mutex> lock(mutex);
        sessions.push_back(session);
        calls.push_back(id + " " + std::to_string(relay.port) + " " + std::to_string(port));
    }
    std::vector<std::string> sessionsSoFar() {
        std::lock_guard<std::mutex> lock(mutex);
        return sessions;
    }
    std::vector<std::string> callsSoFar() {
        std::lock_guard<std::mutex> lock(mutex);
        return calls;
    }
};

TEST_F(RelayAgent, AtMostFourPunchesRunAtATime) {
    startRelay();
    auto log = std::make_shared<PunchLog>();
    RelayHostAgent& agent = makeAgent();
    agent.setListenPortProvider([] { return 47800; });
    agent.setPunchRunner([log](const RelayConfig& r, const std::string& id, const std::string& session, int port,
                               const RelayConnCallback&) {
        log->note(r, id, session, port);
        log->started += 1;
        if (!log->oneFinished.exchange(true)) {
            log->finishOne.wait(5000);
            return;
        }
        log->finishAll.wait(5000);
    });
    ASSERT_TRUE(startAndRegister(agent));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"s" + std::to_string(i) + "\"}"));
    ASSERT_TRUE(relay.waitFor([&] { return log->started.load() == 4; }, 5000));
    sleepMs(100);
    EXPECT_EQ(log->started.load(), 4);  // the fifth was not served
    log->finishOne.open();
    // Once that punch has ended, the next "punch" line is served (exactly one slot is free).
    ASSERT_TRUE(relay.waitFor([&] {
        relay.sendToHost("dev", "{\"punch\":\"s5\"}");
        sleepMs(20);
        return log->started.load() == 5;
    }, 5000));
    sleepMs(100);
    EXPECT_EQ(log->started.load(), 5);
    auto sessions = log->sessionsSoFar();
    EXPECT_EQ(std::count(sessions.begin(), sessions.end(), "s4"), 0);
    EXPECT_EQ(std::count(sessions.begin(), sessions.end(), "s5"), 1);
    for (const auto& call : log->callsSoFar()) EXPECT_EQ(call, "dev " + std::to_string(relay.port()) + " 47800");
    log->finishAll.open();
}

TEST_F(RelayAgent, PunchedConnectionsAreDeliveredOnlyWhileRunning) {
    startRelay();
    ListenSocket target;
    ASSERT_TRUE(target.open(0, true));
    auto log = std::make_shared<PunchLog>();
    log->targetPort = target.port();
    RelayHostAgent& agent = makeAgent();
    agent.setPunchRunner([log](const RelayConfig&, const std::string&, const std::string& session, int,
                               const RelayConnCallback& onConnection) {
        if (session == "late") {
            log->lateStarted = true;
            log->finishAll.wait(5000);
        }
        auto conn = connectTcp("127.0.0.1", log->targetPort, 2000);
        if (!conn) return;
        conn->route = "직접(구멍 뚫기)";
        onConnection(conn);
    });
    ASSERT_TRUE(startAndRegister(agent));
    ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"now\"}"));
    ASSERT_TRUE(relay.waitFor([&] { return delivered.count() == 1; }, 5000));
    EXPECT_EQ(delivered.at(0)->route, "직접(구멍 뚫기)");
    auto first = BackgroundAccept(target).get();  // the first punch's connection
    ASSERT_TRUE(first);

    // A punch that is under way when the agent stops.
    ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"late\"}"));
    ASSERT_TRUE(relay.waitFor([&] { return log->lateStarted.load(); }, 5000));
    agent.stop();
    log->finishAll.open();
    auto late = BackgroundAccept(target).get();
    ASSERT_TRUE(late);
    // Its connection is shut down, not handed over.
    EXPECT_EQ(protoErrorOf([&] { late->readFrame(16, 5000); }), "연결이 닫혔습니다");
    EXPECT_EQ(delivered.count(), 1u);
}

// ---- end to end: a viewer and a host meet through the relay ----

TEST_F(RelayAgent, PasswordHandshakeOverTheRelayedPipe) {
    struct Case {
        const char* id;
        const char* viewerPassword;
        const char* viewerResult;  // what the viewer's handshake gives
        const char* hostResult;    // what the host's side reports
    } cases[] = {
        {"123456789", "비밀번호 1", "reply 8: ping over relay", "{\"name\":\"viewer\"} with the viewer's key"},
        // The viewer cannot open the host's reply and hangs up; the relay carries that to the host.
        {"987654321", "wrong", "비밀번호가 맞지 않습니다", "연결이 닫혔습니다"},
    };
    startRelay();
    for (const auto& c : cases) {
        KeyPair hostKey = newKeyPair();
        KeyPair viewerKey = newKeyPair();
        auto hostSide = std::make_shared<std::promise<std::string>>();
        auto calls = std::make_shared<std::atomic<int>>(0);
        // What the host's admission does with a delivered connection: first frame, handshake, serve.
        RelayHostAgent& agent = makeAgent(relay.config(), c.id, [=](std::shared_ptr<FramedConn> conn) {
            if (calls->fetch_add(1) != 0) return;
            try {
                Bytes first = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
                Bytes clientKey, clientIdentity;
                auto channel = hostPasswordHandshake(conn, first, hostKey, "비밀번호 1", asBytes("{\"name\":\"host\"}"),
                                                     clientKey, clientIdentity);
                ChannelMessage message = channel->receive(5000);
                channel->send(uint8_t(message.type + 1), message.payload);
                hostSide->set_value(spanToString(clientIdentity) +
                                    (clientKey == viewerKey.publicKey ? " with the viewer's key" : " with another key"));
            } catch (const ProtoError& e) {
                hostSide->set_value(e.what());
            }
        });
        ASSERT_TRUE(startAndRegister(agent));

        auto conn = connectViaRelay(relay.config(), c.id);
        std::string viewerSide;
        try {
            Bytes hostPublicKey, hostIdentity;
            auto channel = clientPasswordHandshake(conn, viewerKey, c.viewerPassword, asBytes("{\"name\":\"viewer\"}"),
                                                   hostPublicKey, hostIdentity);
            EXPECT_EQ(hostPublicKey, hostKey.publicKey);
            EXPECT_EQ(spanToString(hostIdentity), "{\"name\":\"host\"}");
            ASSERT_TRUE(channel->send(7, asBytes("ping over relay")));
            ChannelMessage reply = channel->receive(5000);
            viewerSide = "reply " + std::to_string(reply.type) + ": " + spanToString(reply.payload);
        } catch (const ProtoError& e) {
            viewerSide = e.what();
        }
        EXPECT_EQ(viewerSide, c.viewerResult);
        auto host = hostSide->get_future();
        ASSERT_EQ(host.wait_for(std::chrono::seconds(15)), std::future_status::ready);
        EXPECT_EQ(host.get(), c.hostResult);
        EXPECT_EQ(conn->route, "중계");
        agent.stop();
    }
}

// ---- what strangers can make the host do through the relay ----

TEST_F(RelayAgent, PunchRequestsAreCappedPerWindow) {
    startRelay();
    LogCapture log;
    auto started = std::make_shared<std::atomic<int>>(0);
    RelayHostAgent& agent = makeAgent();
    RelayAgentTiming timing = fastAgentTiming();
    timing.punchWindowMs = 5000;
    agent.setTiming(timing);
    agent.setPunchRunner([started](const RelayConfig&, const std::string&, const std::string&, int,
                                   const RelayConnCallback&) { started->fetch_add(1); });
    ASSERT_TRUE(startAndRegister(agent));
    constexpr int kCap = RelayHostAgent::kMaxPunchesPerWindow;
    for (int i = 0; i < kCap; ++i) {
        ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"s" + std::to_string(i) + "\"}"));
        ASSERT_TRUE(relay.waitFor([&] { return started->load() == i + 1; }, 5000)) << i;
    }
    ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"one too many\"}"));
    ASSERT_TRUE(log.waitFor("구멍 뚫기 요청이 너무 잦음")) << log.text();
    EXPECT_EQ(started->load(), kCap);
    // Once the window has moved on, punches are served again.
    EXPECT_TRUE(relay.waitFor(
        [&] {
            relay.sendToHost("dev", "{\"punch\":\"later\"}");
            sleepMs(50);
            return started->load() > kCap;
        },
        15000));
}

namespace {

// Replaces the host's on-link subnets for as long as it lives.
class OnLinkSubnets {
public:
    explicit OnLinkSubnets(std::vector<IpSubnet> subnets) {
        setOnLinkSubnetSource([subnets] { return subnets; });
    }
    ~OnLinkSubnets() { setOnLinkSubnetSource(nullptr); }
    OnLinkSubnets(const OnLinkSubnets&) = delete;
    OnLinkSubnets& operator=(const OnLinkSubnets&) = delete;
};

IpSubnet subnetOf(const std::string& address, int prefixLength) {
    IpSubnet s;
    EXPECT_TRUE(parseIpAddress(address, s.network)) << address;
    s.prefixLength = prefixLength;
    return s;
}

}  // namespace

TEST_F(RelayAgent, PunchDialsClaimedAddressesOnlyOnTheHostsOwnSubnetsAndNeverLoopback) {
    SKIP_WITHOUT_PORT_SHARING();
    const std::vector<std::string> own = localIPv4Addresses();
    if (own.empty()) GTEST_SKIP() << "no address other than loopback to stand for the local network";
    LogCapture log;
    // What the relay answers the host's punch hello with; set before each punch.
    struct Offer {
        std::mutex mutex;
        std::string peer;
        std::vector<std::string> locals;
    };
    auto offer = std::make_shared<Offer>();
    relay.setRole("punchhost", [offer](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        Json reply, locals;
        locals.tag = Json::kArray;
        {
            std::lock_guard<std::mutex> lock(offer->mutex);
            reply.set("peer", Json(offer->peer));
            for (const auto& l : offer->locals) locals.push(Json(l));
        }
        reply.set("peerLocal", std::move(locals));
        TestRelay::sendOk(*link, std::move(reply));
        std::string line;
        while (link->readLine(line, 8192, -1)) {
        }
    });
    startRelay();
    RelayHostAgent& agent = makeAgent();
    ASSERT_TRUE(startAndRegister(agent));

    // Loopback, named as the peer and as a local address, and this PC's own address on a subnet
    // the host is told it is not on: none of them is dialled.
    Acceptor asPeer, asLocal;
    ListenSocket lan;
    ASSERT_TRUE(lan.open(0, false));
    {
        OnLinkSubnets elsewhere({subnetOf("10.123.0.0", 16)});
        BackgroundAccept lanDial(lan);
        {
            std::lock_guard<std::mutex> lock(offer->mutex);
            offer->peer = asPeer.address();
            offer->locals = {asLocal.address(), own[0] + ":" + std::to_string(lan.port()), asPeer.address()};
        }
        ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"first\"}"));
        ASSERT_TRUE(log.waitFor("구멍 뚫기 실패 (원격 쪽", 15000)) << log.text();
        EXPECT_TRUE(asPeer.all().empty());
        EXPECT_TRUE(asLocal.all().empty());
        EXPECT_FALSE(lanDial.get(0));
    }
    // The same address on the host's own subnet is dialled, once.
    ListenSocket lan2;
    ASSERT_TRUE(lan2.open(0, false));
    OnLinkSubnets home({subnetOf(own[0], 32)});
    BackgroundAccept lanDial(lan2);
    {
        std::lock_guard<std::mutex> lock(offer->mutex);
        offer->peer = asPeer.address();
        offer->locals = {own[0] + ":" + std::to_string(lan2.port())};
    }
    ASSERT_TRUE(relay.sendToHost("dev", "{\"punch\":\"second\"}"));
    EXPECT_TRUE(lanDial.get(10000));
    EXPECT_TRUE(relay.waitFor([&] { return delivered.count() == 1; }, 5000));
    EXPECT_TRUE(asPeer.all().empty());
}
