#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/presence.h"
#include "core/config/store.h"
#include "core/crypto/hash.h"
#include "core/crypto/x25519.h"
#include "core/util.h"
#include "net/relay_agent.h"
#include "support/log_capture.h"
#include "support/punch_support.h"
#include "support/relay_support.h"
#include "support/test_relay.h"
#include "support/wait.h"

namespace {

Peer computer(const std::string& name, const std::string& accessId = "") {
    Peer p;
    p.name = name;
    p.key = base64Encode(newKeyPair().publicKey);
    p.accessId = accessId;
    return p;
}

std::string deviceId(const Peer& p) { return sha256Hex(p.publicKey()); }

bool pollEnded() {
    return waitUntil([] { return !presenceState().presenceBusy.load(); }, 20000);
}

// Starts a poll over `config` and waits for its end.
void poll(const AppConfig& config, const RelayConfig& builtIn = RelayConfig()) {
    ASSERT_TRUE(pollEnded());
    ASSERT_TRUE(pollPresence(config, builtIn));
    ASSERT_TRUE(pollEnded());
}

std::vector<Json> statusHellos(TestRelay& relay) {
    std::vector<Json> out;
    for (const Json& h : relay.hellos())
        if (h.get("role").asString() == "status") out.push_back(h);
    return out;
}

// A relay whose "status" answer is the given line, whatever was asked.
void answerWith(TestRelay& relay, const std::string& line) {
    relay.setRole("status", [line](TestRelay&, const std::shared_ptr<TestRelay::Link>& link, const Json&) {
        link->sendLine(line);
    });
}

class Presence : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pollEnded());
        ASSERT_TRUE(relay.start());
        config.relay = relay.config();
    }
    void TearDown() override {
        for (auto& agent : agents_) agent->stop();
        EXPECT_TRUE(pollEnded());
        // Nothing known carries over into the next test.
        std::lock_guard<std::mutex> lock(presenceState().presenceMutex);
        presenceState().presenceOnline.clear();
        presenceState().presenceSeen.clear();
    }

    // Keeps `id` registered at the test relay, as a hosting computer does.
    void registerAt(const std::string& id) {
        agents_.push_back(std::make_unique<RelayHostAgent>(relay.config(), id, [](std::shared_ptr<FramedConn>) {}));
        agents_.back()->setTiming(fastAgentTiming());
        agents_.back()->start();
        ASSERT_TRUE(relay.waitFor([&] { return relay.online(id); }, 5000)) << id;
    }
    void unregister(const std::string& id) {
        for (auto& agent : agents_)
            if (agent->id() == id) agent->stop();
        ASSERT_TRUE(relay.waitFor([&] { return !relay.online(id); }, 5000)) << id;
    }

    TestRelay relay;
    AppConfig config;

private:
    std::vector<std::unique_ptr<RelayHostAgent>> agents_;
};

TEST(PresenceGroups, FollowTheListAndEachComputersRelay) {
    const RelayConfig configured{"relay.test", 47900, "s1"};
    const RelayConfig own{"own.test", 1234, "s2"};
    const RelayConfig builtIn{"builtin.test", 47900, "s3"};
    Peer a = computer("a", "111111111"), b = computer("b"), c = computer("c", "333333333"), d = computer("d");
    c.relay = own;
    d.relay = {"own.test", 1234, ""};  // incomplete: not its own
    Peer noKey;
    noKey.accessId = "555555555";
    Peer nothing;  // neither a key nor an access ID: nothing to ask

    AppConfig config;
    config.hosts = {a, c, b, noKey, nothing, d};
    config.relay = configured;
    auto groups = presenceGroups(config, builtIn);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].relay, configured);
    EXPECT_EQ(groups[0].ids, (std::vector<std::string>{deviceId(a), "111111111", deviceId(b), "555555555", deviceId(d)}));
    EXPECT_EQ(groups[1].relay, own);
    EXPECT_EQ(groups[1].ids, (std::vector<std::string>{deviceId(c), "333333333"}));

    // Without a usable setting the built-in relay stands in; without that, only own relays count.
    config.relay = RelayConfig{"relay.test", 47900, ""};
    groups = presenceGroups(config, builtIn);
    ASSERT_EQ(groups.size(), 2u);
    EXPECT_EQ(groups[0].relay, builtIn);
    groups = presenceGroups(config, RelayConfig());
    ASSERT_EQ(groups.size(), 1u);
    EXPECT_EQ(groups[0].relay, own);
    EXPECT_EQ(groups[0].ids.size(), 2u);
}

TEST(PresenceGroups, AKeyThatIsNotThereIsNoId) {
    Peer p;
    p.key = "";
    p.accessId = "123456789";
    EXPECT_EQ(presenceIds(p), (std::vector<std::string>{"123456789"}));
    p.key = "not base64!";
    EXPECT_EQ(presenceIds(p), (std::vector<std::string>{"123456789"}));
}

TEST_F(Presence, OneQueryPerRelayTellsOnlineOfflineAndUnknown) {
    const Peer byDevice = computer("켜진 PC", "111111111");
    const Peer byAccessId = computer("접속 ID 로만", "222222222");
    const Peer wentOff = computer("꺼진 PC");
    const Peer neverSeen = computer("처음 보는 PC");
    Peer elsewhere = computer("다른 중계");
    elsewhere.relay = {"127.0.0.1", closedPort(), "other"};
    registerAt(deviceId(byDevice));
    registerAt("222222222");
    registerAt(deviceId(wentOff));
    unregister(deviceId(wentOff));

    config.hosts = {elsewhere, byDevice, byAccessId, wentOff, neverSeen};
    const double before = nowSeconds();
    LogCapture log;
    poll(config);

    const auto hellos = statusHellos(relay);
    ASSERT_EQ(hellos.size(), 1u);
    EXPECT_EQ(hellos[0].get("id").asString(), deviceId(byDevice) + ",111111111," + deviceId(byAccessId) +
                                                  ",222222222," + deviceId(wentOff) + "," + deviceId(neverSeen));
    EXPECT_EQ(hellos[0].get("session").asString(), "");
    // The first computer's relay could not be reached: logged, and the next relay was asked.
    EXPECT_EQ(log.count("중계 서버 상태 묻기 실패"), 1);

    double seen = -1;
    EXPECT_EQ(presenceOf(byDevice, &seen), kPresenceOnline);
    EXPECT_EQ(presenceOf(byAccessId, &seen), kPresenceOnline);
    EXPECT_EQ(seen, -1);  // only an offline computer gets a time
    EXPECT_EQ(presenceOf(wentOff, &seen), kPresenceOffline);
    EXPECT_GE(seen, before - 60);
    EXPECT_LE(seen, nowSeconds() + 60);
    EXPECT_EQ(presenceOf(neverSeen, &seen), kPresenceOffline);
    EXPECT_EQ(seen, 0);
    EXPECT_EQ(presenceOf(elsewhere, nullptr), kPresenceUnknown);
}

TEST_F(Presence, AnOfflineComputerShowsTheLaterOfItsTwoTimes) {
    const Peer p = computer("꺼진 PC", "123456789");
    const std::string dev = deviceId(p);
    struct Case { std::string seen; double expected; };
    const Case cases[] = {
        {"{\"" + dev + "\":100,\"123456789\":250}", 250},
        {"{\"" + dev + "\":300,\"123456789\":250}", 300},
        {"{\"123456789\":50}", 50},
        {"{\"" + dev + "\":\"어제\"}", 0},  // not a number
        {"{}", 0},
    };
    config.hosts = {p};
    for (const Case& c : cases) {
        answerWith(relay, "{\"ok\":true,\"online\":[],\"seen\":" + c.seen + "}");
        poll(config);
        double seen = -1;
        EXPECT_EQ(presenceOf(p, &seen), kPresenceOffline) << c.seen;
        EXPECT_EQ(seen, c.expected) << c.seen;
        EXPECT_EQ(presenceOf(p, nullptr), kPresenceOffline);
    }
}

TEST_F(Presence, AnAnswerThatDoesNotCountForgetsWhatWasKnown) {
    const Peer p = computer("PC");
    config.hosts = {p};
    const std::string good = "{\"ok\":true,\"online\":[\"" + deviceId(p) + "\"]}";
    for (const std::string& bad : {"{\"ok\":false,\"online\":[\"" + deviceId(p) + "\"]}",
                                  "{\"ok\":true,\"online\":\"" + deviceId(p) + "\"}", std::string("{\"ok\":true}"),
                                  std::string("아니")}) {
        answerWith(relay, good);
        poll(config);
        ASSERT_EQ(presenceOf(p, nullptr), kPresenceOnline);
        answerWith(relay, bad);
        poll(config);
        EXPECT_EQ(presenceOf(p, nullptr), kPresenceUnknown) << bad;
    }
}

TEST_F(Presence, NoUsableRelayAsksNobody) {
    config.relay = RelayConfig();
    config.hosts = {computer("PC")};
    poll(config, RelayConfig());
    EXPECT_TRUE(statusHellos(relay).empty());
    EXPECT_EQ(presenceOf(config.hosts[0], nullptr), kPresenceUnknown);
    // The built-in relay, when there is one, is asked in its place.
    poll(config, relay.config());
    EXPECT_EQ(statusHellos(relay).size(), 1u);
}

TEST_F(Presence, CallsWhileAPollRunsAreDropped) {
    std::atomic<bool> release{false};
    relay.setRole("status", [&](TestRelay& r, const std::shared_ptr<TestRelay::Link>& link, const Json& hello) {
        waitUntil([&] { return release.load(); }, 4000);
        TestRelay::statusRole(r, link, hello);
    });
    const Peer p = computer("PC");
    const AppConfig saved = configStore().get();
    configStore().update([&](AppConfig& c) {
        c.hosts = {p};
        c.relay = relay.config();
    });
    refreshPresence();
    ASSERT_TRUE(relay.waitFor([&] { return statusHellos(relay).size() == 1; }, 5000));
    refreshPresence();
    refreshPresence();
    EXPECT_FALSE(pollPresence(config, RelayConfig()));
    release = true;
    EXPECT_TRUE(pollEnded());
    EXPECT_EQ(statusHellos(relay).size(), 1u);
    EXPECT_EQ(presenceOf(p, nullptr), kPresenceOffline);
    // Once it has ended the next call polls again.
    refreshPresence();
    EXPECT_TRUE(pollEnded());
    EXPECT_EQ(statusHellos(relay).size(), 2u);
    configStore().update([&](AppConfig& c) { c = saved; });
}

TEST_F(Presence, APollWhoseThreadCannotStartLetsTheNextOneRun) {
    config.hosts = {computer("PC")};
    const ThreadStarter noThreads = [](std::function<void()>) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    };
    EXPECT_FALSE(pollPresence(config, RelayConfig(), noThreads));
    EXPECT_FALSE(presenceState().presenceBusy.load());
    poll(config);
    EXPECT_EQ(statusHellos(relay).size(), 1u);
}

}  // namespace
