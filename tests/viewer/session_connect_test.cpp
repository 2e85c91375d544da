// Connecting a viewer session: which id and relay it dials with, when a failed handshake is
// tried again through the relay and what the user reads, and a close that comes while connecting.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/config/store.h"
#include "core/crypto/hash.h"
#include "net/connect.h"
#include "net/handshake.h"
#include "net/route.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/proto_error.h"
#include "support/session_rig.h"

namespace {

// One call of the session's connector.
struct Dial {
    std::vector<std::string> addresses;
    std::optional<RelayConfig> relay;
    std::string targetId;
    bool relayOnly = false;
};

// Restores the stored relay setting when a test that changed it ends.
class RelaySettingGuard {
public:
    RelaySettingGuard() : saved_(configStore().get().relay) {}
    ~RelaySettingGuard() {
        configStore().update([&](AppConfig& c) { c.relay = saved_; });
    }
    void set(const RelayConfig& relay) {
        configStore().update([&](AppConfig& c) { c.relay = relay; });
    }

private:
    RelayConfig saved_;
};

const RelayConfig kOwnRelay{"127.0.0.1", 47901, "own-secret"};

TEST(SessionConnect, TargetAndRelayFollowThePeer) {
    const KeyPair hostKey = newKeyPair();
    const RelayConfig configured{"relay.configured.invalid", 47902, "configured-secret"};
    const RelayConfig noSecret{"relay.own.invalid", 47903, ""};
    const RelayConfig builtIn = defaultRelay();
    struct Case {
        const char* name;
        bool key;
        std::string accessId;
        RelayConfig own;
        std::optional<RelayConfig> stored;  // the relay setting of this PC
        std::string expectedTarget;         // "key": the device ID of the key
        std::optional<RelayConfig> expectedRelay;
    };
    const std::vector<Case> cases = {
        {"key", true, "123456789", kOwnRelay, std::nullopt, "key", kOwnRelay},
        {"access id only", false, "123456789", kOwnRelay, std::nullopt, "123456789", kOwnRelay},
        {"neither", false, "", kOwnRelay, std::nullopt, "", std::nullopt},
        {"own relay without secret", true, "", noSecret, configured, "key", configured},
        {"no usable relay setting", true, "", noSecret, RelayConfig{}, "key",
         builtIn.usable() ? std::optional<RelayConfig>(builtIn) : std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RelaySettingGuard guard;
        if (c.stored) guard.set(*c.stored);
        Peer peer;
        peer.name = "집";
        if (c.key) peer.key = base64Encode(hostKey.publicKey);
        peer.accessId = c.accessId;
        peer.addresses = {"127.0.0.1:1", "[::1]:2"};
        peer.relay = c.own;

        std::vector<Dial> dials;
        SessionRig rig;
        rig.make(peer, {}, {}, nullptr,
                 [&](const std::vector<std::string>& addresses, const RelayConfig* relay, const std::string& id,
                     std::string*, bool relayOnly) -> std::shared_ptr<FramedConn> {
                     dials.push_back({addresses, relay ? std::optional<RelayConfig>(*relay) : std::nullopt, id,
                                      relayOnly});
                     throw ProtoError("연결할 수 없습니다");
                 });
        EXPECT_EQ(protoErrorOf([&] { rig.session->connect(Json(), nullptr); }), "연결할 수 없습니다");
        ASSERT_EQ(dials.size(), 1u);
        EXPECT_EQ(dials[0].addresses, peer.addresses);
        EXPECT_FALSE(dials[0].relayOnly);
        EXPECT_EQ(dials[0].targetId, c.expectedTarget == "key" ? sha256Hex(hostKey.publicKey) : c.expectedTarget);
        EXPECT_EQ(dials[0].relay, c.expectedRelay);
        EXPECT_FALSE(rig.session->stop.load());  // a failed connect leaves a session that never ran
    }
}

// How the host end of a test connection behaves in the handshake.
enum class HostEnd {
    Serve,         // a scripted host that lets the viewer in
    Close,         // closes after reading the first frame
    WrongPassword, // answers a password hello with another password
    ShortReply,    // answers with 10 bytes
};

// Connections for a session's connector: the client end carries the given route label, the host
// end plays its part on a thread of its own.
class TestDialer {
public:
    explicit TestDialer(ScriptedHost& host) : host_(host) {}
    ~TestDialer() {
        for (auto& c : clients) c->shutdown();
        for (auto& h : hostEnds_) h->shutdown();
        for (auto& t : threads_) t.join();
    }

    std::vector<std::string> labels;  // route label of each dial, in order
    std::vector<HostEnd> ends;        // what the host end of each dial does
    std::vector<Dial> dials;
    std::vector<std::shared_ptr<FramedConn>> clients;

    PeerConnector connector() {
        return [this](const std::vector<std::string>& addresses, const RelayConfig* relay, const std::string& id,
                      std::string* routeText, bool relayOnly) {
            const size_t n = dials.size();
            dials.push_back({addresses, relay ? std::optional<RelayConfig>(*relay) : std::nullopt, id, relayOnly});
            LoopbackPair pair = makeLoopbackPair();
            if (!pair.client) throw ProtoError("연결할 수 없습니다");
            pair.client->route = labels.at(n);
            if (routeText)
                *routeText = relayOnly ? relayRouteLabel(*relay) : raceRouteLabel(labels.at(n), pair.client->peerAddress());
            clients.push_back(pair.client);
            play(pair.host, ends.at(n));
            return pair.client;
        };
    }

private:
    void play(std::shared_ptr<FramedConn> conn, HostEnd end) {
        if (end == HostEnd::Serve) {
            host_.serve(conn);
            return;
        }
        hostEnds_.push_back(conn);
        threads_.emplace_back([this, conn, end] {
            try {
                const Bytes first = conn->readFrame(kMaxHandshakeFrame, 5000);
                if (end == HostEnd::WrongPassword) {
                    Bytes key, identity;
                    hostPasswordHandshake(conn, first, host_.device, "다른 비밀번호", host_.hello, key, identity);
                } else if (end == HostEnd::ShortReply) {
                    conn->sendFrame(Bytes(10, 7));
                    conn->readFrame(kMaxHandshakeFrame, 5000);  // until the viewer lets go
                }
            } catch (const std::exception&) {
            }
            conn->shutdown();
        });
    }

    ScriptedHost& host_;
    std::vector<std::shared_ptr<FramedConn>> hostEnds_;
    std::vector<std::thread> threads_;
};

// The class and text of what connect threw.
struct Thrown {
    std::string kind;  // "BadPassword", "PasswordRefused", "ProtoError" or "" (returned)
    std::string text;
};
Thrown thrownBy(ClientSession& session) {
    try {
        session.connect(Json(), nullptr);
    } catch (const BadPassword& e) {
        return {"BadPassword", e.what()};
    } catch (const PasswordRefused& e) {
        return {"PasswordRefused", e.what()};
    } catch (const ProtoError& e) {
        return {"ProtoError", e.what()};
    }
    return {};
}

TEST(SessionConnect, HandshakeFailuresAreRetriedOnlyThroughTheRelayAfterHolePunching) {
    enum class Failure { BadPassword, PasswordRefused, Other };
    struct Case {
        const char* route;
        Failure failure;
        bool password;
        bool token;
        bool relay;
    };
    std::vector<Case> cases;
    for (const char* route : {kRouteDirect, kRoutePunched, kRoutePublic, kRouteRelay})
        for (Failure failure : {Failure::BadPassword, Failure::PasswordRefused, Failure::Other})
            for (bool password : {false, true})
                for (bool token : {false, true})
                    for (bool relay : {false, true})
                        // Only the password handshake can tell a wrong or refused password.
                        if (password || failure == Failure::Other) cases.push_back({route, failure, password, token, relay});

    const bool builtInRelay = defaultRelay().usable();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.route) + " failure " + std::to_string(int(c.failure)) + " password " +
                     std::to_string(c.password) + " token " + std::to_string(c.token) + " relay " +
                     std::to_string(c.relay));
        ScriptedHost host;
        TestDialer dialer(host);
        const HostEnd end = c.failure == Failure::BadPassword     ? HostEnd::WrongPassword
                            : c.failure == Failure::PasswordRefused ? HostEnd::Close
                            : c.password                            ? HostEnd::ShortReply
                                                                    : HostEnd::Close;
        dialer.labels = {c.route, kRouteRelay};
        dialer.ends = {end, end};
        Peer peer = host.peer();
        if (c.relay) peer.relay = kOwnRelay;
        const bool relayAtHand = c.relay || builtInRelay;

        SessionRig rig;
        rig.make(peer, c.token ? Bytes(16, 0x5A) : Bytes(), c.password ? "비밀번호" : "", nullptr, dialer.connector());
        LogCapture log;
        const Thrown thrown = thrownBy(*rig.session);

        const bool punched = std::string(c.route).rfind("직접(", 0) == 0;
        const bool retried = c.failure != Failure::BadPassword && punched && relayAtHand;
        ASSERT_EQ(dialer.dials.size(), retried ? 2u : 1u);
        const std::string firstError = c.failure == Failure::PasswordRefused ? "원격 컴퓨터가 비밀번호 접속을 받지 않습니다"
                                       : c.password                          ? "짧은 응답"
                                                                             : "연결이 닫혔습니다";
        EXPECT_EQ(log.count("핸드셰이크 중 끊김"), retried ? 1 : 0);
        if (retried) {
            EXPECT_TRUE(log.has(std::string(c.route) + " 연결이 핸드셰이크 중 끊김 (" + firstError + ") — 중계 서버로 다시"));
            EXPECT_TRUE(dialer.dials[1].relayOnly);
            EXPECT_EQ(dialer.dials[1].addresses, dialer.dials[0].addresses);
            EXPECT_EQ(dialer.dials[1].targetId, dialer.dials[0].targetId);
            EXPECT_EQ(dialer.dials[1].relay, dialer.dials[0].relay);
        }
        for (auto& conn : dialer.clients) EXPECT_TRUE(conn->isClosed());

        if (c.failure == Failure::BadPassword) {
            EXPECT_EQ(thrown.kind, "BadPassword");
            EXPECT_EQ(thrown.text, "비밀번호가 맞지 않습니다");
        } else if (c.password) {
            // The handshake's own error, its class kept.
            EXPECT_EQ(thrown.kind, c.failure == Failure::PasswordRefused ? "PasswordRefused" : "ProtoError");
            EXPECT_EQ(thrown.text, c.failure == Failure::PasswordRefused ? "원격 컴퓨터가 비밀번호 접속을 받지 않습니다"
                                                                         : "짧은 응답");
        } else {
            EXPECT_EQ(thrown.kind, "ProtoError");
            EXPECT_EQ(thrown.text, c.token ? kBadPairingCodeText : kNotAllowedText);
        }
        EXPECT_EQ(host.received().size(), 0u);
    }
}

TEST(SessionConnect, RetryThroughTheRelayCarriesTheSession) {
    ScriptedHost host;
    TestDialer dialer(host);
    dialer.labels = {kRoutePunched, kRouteRelay};
    dialer.ends = {HostEnd::Close, HostEnd::Serve};
    Peer peer = host.peer();
    peer.relay = kOwnRelay;
    SessionRig rig;
    rig.make(peer, {}, {}, nullptr, dialer.connector());
    std::string routeText;
    const Json hello = rig.session->connect(Json(), &routeText);
    EXPECT_EQ(hello.get("name").text, "시험 호스트");
    EXPECT_EQ(rig.session->route(), kRouteRelay);
    EXPECT_EQ(routeText, "중계 127.0.0.1:47901");
    EXPECT_TRUE(host.waitFor(MsgType::SessionRequest));
    EXPECT_TRUE(dialer.clients[0]->isClosed());
}

// A connect whose punched connection the host closes, so that the relay takes over.
struct PunchedThenRelayed {
    PunchedThenRelayed() {
        dialer.labels = {kRoutePunched, kRouteRelay};
        dialer.ends = {HostEnd::Close, HostEnd::Serve};
        peer.relay = kOwnRelay;
    }
    void make() { rig.make(peer, {}, {}, nullptr, dialer.connector()); }

    ScriptedHost host{"시험 호스트", "windows"};
    TestDialer dialer{host};
    Peer peer = host.peer();
    SessionRig rig;
};

TEST(SessionConnect, RouteAndHostSystemAreReadSafelyWhileTheConnectRetries) {
    // The window reads both for a menu rebuild or when it loses the focus, on its own thread,
    // while the connect thread writes them (the route twice when the relay takes over).
    PunchedThenRelayed c;
    c.make();
    std::atomic<bool> done{false};
    std::set<std::string> seen;
    std::thread reader([&] {
        while (!done.load()) seen.insert(c.rig.session->route() + "|" + c.rig.session->hostOs());
    });
    try {
        c.rig.session->connect(Json(), nullptr);
    } catch (...) {
        ADD_FAILURE() << "connect failed";
    }
    done = true;
    reader.join();
    const std::set<std::string> possible = {"|mac", std::string(kRoutePunched) + "|mac",
                                            std::string(kRouteRelay) + "|mac", std::string(kRouteRelay) + "|windows"};
    for (const std::string& s : seen) EXPECT_EQ(possible.count(s), 1u) << s;
    EXPECT_EQ(c.rig.session->route() + "|" + c.rig.session->hostOs(), std::string(kRouteRelay) + "|windows");
}

// The race above made certain: at each point where the connect thread has just written what the
// window reads, a reader on another thread cannot get in before the write is through.
TEST(SessionConnect, AReaderCannotGetInWhileTheConnectThreadWritesTheRouteOrHostSystem) {
    PunchedThenRelayed c;
    std::vector<bool> readerGotIn;  // per write, in order: the route twice, then the host system
    c.rig.sharedStateWritten = [&] {
        // Nothing else takes the lock while the session connects: only the writer can hold it.
        readerGotIn.push_back(std::async(std::launch::async, [&] {
                                  if (!c.rig.session->stateMutex.try_lock()) return false;
                                  c.rig.session->stateMutex.unlock();
                                  return true;
                              }).get());
    };
    c.make();
    EXPECT_NO_THROW(c.rig.session->connect(Json(), nullptr));
    EXPECT_EQ(readerGotIn, std::vector<bool>(3, false));
}

TEST(SessionConnect, TheHostHelloNamesTheHostAndItsSystem) {
    struct Case {
        const char* hello;
        const char* os;
        const char* name;
    };
    const Case cases[] = {
        {R"({"name":"서재","os":"windows"})", "windows", "서재"},
        {R"({"name":"맥북"})", "mac", "맥북"},
        {R"({"os":7})", "mac", "원격 컴퓨터"},
        {"not json", "mac", "원격 컴퓨터"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hello);
        ScriptedHost host;
        host.hello = Bytes(c.hello, c.hello + strlen(c.hello));
        ASSERT_TRUE(host.start());
        SessionRig rig;
        rig.make(host.peer(), Bytes{1, 2, 3});
        std::string routeText;
        rig.session->connect(Json(), &routeText);
        EXPECT_EQ(rig.session->hostOs(), c.os);
        EXPECT_EQ(rig.session->filesOut.peerName, c.name);
        EXPECT_EQ(rig.session->route(), kRouteDirect);
        EXPECT_EQ(routeText, "직접 " + host.address());
        // The identity the viewer introduced itself with, its pairing token included; the host has
        // surely recorded it once the request that follows the handshake arrived.
        ASSERT_TRUE(host.waitFor(MsgType::SessionRequest));
        const Json identity = host.identity();
        EXPECT_EQ(identity.get("v").number, 1);
        EXPECT_EQ(identity.get("name").text, configStore().get().deviceName);
        EXPECT_EQ(identity.get("os").text, "windows");
        EXPECT_EQ(identity.get("token").text, base64Encode(Bytes{1, 2, 3}));
        ASSERT_EQ(identity.members.size(), 4u);
        EXPECT_EQ(identity.members[0].first, "v");
        EXPECT_EQ(identity.members[3].first, "token");
    }
}

TEST(SessionConnect, ACloseAtAnyPhaseOfTheConnectSendsNothing) {
    // The host admits a new viewer by ending the session it serves: a window closed while it was
    // still connecting must leave the host alone.
    enum class Phase { BeforeConnect, WhileDialling, DuringTheHandshake };
    struct Case {
        const char* name;
        Phase phase;
    };
    const Case cases[] = {
        {"before connect", Phase::BeforeConnect},
        {"while dialling", Phase::WhileDialling},
        {"during the handshake", Phase::DuringTheHandshake},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHost host;
        ASSERT_TRUE(host.start());
        SessionRig rig;
        std::shared_ptr<FramedConn> dialled;
        rig.make(host.peer(), {}, {}, nullptr,
                 [&](const std::vector<std::string>& a, const RelayConfig*, const std::string& id, std::string* r,
                     bool only) {
                     dialled = connectPeer(a, nullptr, id, r, only);
                     if (c.phase == Phase::WhileDialling) rig.session->close();
                     return dialled;
                 });
        if (c.phase == Phase::BeforeConnect) rig.session->close();
        if (c.phase == Phase::DuringTheHandshake) host.beforeReply = [&] { rig.session->close(); };
        EXPECT_EQ(protoErrorOf([&] { rig.session->connect(Json(), nullptr); }), "연결이 닫혔습니다");
        EXPECT_TRUE(rig.session->stop.load());
        EXPECT_TRUE(host.waitEnded());
        if (dialled) {
            EXPECT_TRUE(dialled->isClosed());
        }
        if (c.phase != Phase::DuringTheHandshake) {
            EXPECT_EQ(host.handshakes(), 0);
        }
        EXPECT_TRUE(host.received().empty());
        EXPECT_TRUE(rig.events.all().empty());  // a local close reports nothing
        EXPECT_EQ(rig.devices->listeners(), 0u);
    }
}

}  // namespace
