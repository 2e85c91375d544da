#include "host/server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/config/address.h"
#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/crypto/x25519.h"
#include "core/wire.h"
#include "host/history.h"
#include "host/protocol/messages.h"
#include "net/handshake.h"
#include "net/route.h"
#include "net/socket.h"
#include "core/config/temp_folder.h"
#include "support/fake_session.h"
#include "support/log_capture.h"
#include "support/loopback.h"
#include "support/recording_announcer.h"
#include "support/relay_support.h"
#include "support/test_relay.h"
#include "support/test_viewer.h"
#include "support/wait.h"

namespace {

const char* const kPassword = "열려라 참깨 42";

std::string keyOf(const TestViewer& v) { return base64Encode(v.device.publicKey); }

std::string refusalLine(const TestViewer& v, const std::string& text) {
    return "연결 거부 또는 실패 (127.0.0.1:" + std::to_string(v.conn->localPort()) + "): " + text;
}

// A first password frame whose sender never completes the exchange.
Bytes rawPasswordHello() {
    Bytes salt(16);
    randomBytes(salt.data(), int(salt.size()));
    return concatBytes({Bytes{'O', 'D', 'P', 'W', 1}, salt, newKeyPair().publicKey});
}

// A server over a throw-away profile, with fake sessions, a recording announcer and short waits.
class HostServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_unique<ConfigStore>(folder.wide(), L"");
        store->update([](AppConfig& c) { c.deviceName = "테스트 호스트"; });
        announced = std::make_shared<RecordingAnnouncer::Record>();
        server = std::make_unique<HostServer>(*store, newKeyPair(), std::make_unique<RecordingAnnouncer>(announced));
        server->makeSession = sessions.factory();
        server->timing.firstFrameMs = 5000;
        server->timing.requestMs = 5000;
        server->timing.agent = fastAgentTiming();
        server->timing.agent.handOverWaitMs = 100;
        server->onConnected = [this](const std::string& name, const std::string& route) {
            std::lock_guard<std::mutex> lock(mutex);
            connected.emplace_back(name, route);
        };
        server->onStateChanged = [this] {
            std::lock_guard<std::mutex> lock(mutex);
            ++stateChanges;
        };
    }

    void TearDown() override {
        server.reset();
        relay.stop();
        EXPECT_TRUE(waitUntil([] { return FakeSession::threadsRunning() == 0; }, 5000));
    }

    void usePassword(bool on) {
        ASSERT_TRUE(savePasswordTo(store->profileDir, kPassword));
        store->update([on](AppConfig& c) { c.passwordLogin = on; });
    }

    void useRelay() {
        ASSERT_TRUE(relay.start());
        store->update([this](AppConfig& c) { c.relay = relay.config(); });
    }

    // Hosting on loopback, registered at the test relay when one is in use.
    void startHosting(bool announce = false) {
        const bool withRelay = relay.port() != 0;
        ASSERT_TRUE(server->start(0, announce, withRelay, true));
        if (withRelay) {
            ASSERT_TRUE(relay.waitFor([&] { return relay.online(server->deviceId()); }, 5000));
            if (server->passwordAccessOn()) {
                ASSERT_TRUE(relay.waitFor([&] { return relay.online(server->accessId()); }, 5000));
            }
        }
    }

    void allow(const TestViewer& v, const std::string& name, const std::string& os = std::string()) {
        store->update([&](AppConfig& c) {
            Peer p;
            p.name = name;
            p.key = keyOf(v);
            p.os = os;
            p.added = 1;
            c.allowed.push_back(p);
        });
    }

    std::vector<Peer> allowedWithKey(const std::string& key) {
        std::vector<Peer> out;
        for (const Peer& p : store->get().allowed)
            if (p.key == key) out.push_back(p);
        return out;
    }

    virtual bool reach(TestViewer& v, bool /*byAccessId*/ = false) { return v.dial(server->port()); }

    // All the way into a session: by password when one is given, else as a paired device.
    void enter(TestViewer& v, const Json& request = TestViewer::request(), const std::string& password = "") {
        ASSERT_TRUE(reach(v, !password.empty()));
        ASSERT_EQ(password.empty() ? v.tryPaired(server->deviceKey().publicKey) : v.tryPassword(password), "");
        ASSERT_TRUE(v.sendRequest(request));
        ASSERT_TRUE(v.ping());
    }

    // A fresh pairing code as the tray's pairing dialog would make it (standard base64).
    std::string freshToken() {
        double expiry = 0;
        PeerAddress own;
        EXPECT_TRUE(parsePeerAddress(
            makeOwnPeerAddress(server->pairing, server->deviceKey(), expiry, {}, "host", store->get()), own));
        return own.token;
    }

    std::vector<Json> historyOf(const std::string& name) {
        std::vector<Json> out;
        Json records = loadHistory();
        for (const Json& r : records.items)
            if (r.get("name").asString() == name) out.push_back(r);
        return out;
    }

    std::vector<std::pair<std::string, std::string>> connectedCalls() {
        std::lock_guard<std::mutex> lock(mutex);
        return connected;
    }

    LogCapture log;  // outlives the server, so everything it logs is captured
    TestRelay relay;
    TempFolder folder;
    std::unique_ptr<ConfigStore> store;
    std::shared_ptr<RecordingAnnouncer::Record> announced;
    FakeSessions sessions;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> connected;
    int stateChanges = 0;
    std::unique_ptr<HostServer> server;
};

// ---- admitted, directly and through the relay ----

enum class Route { Direct, Relay };

class AdmissionRoutes : public HostServerTest, public ::testing::WithParamInterface<Route> {
protected:
    void SetUp() override {
        HostServerTest::SetUp();
        if (GetParam() == Route::Relay) useRelay();
    }
    // To the device ID, or to the access ID when the viewer logs in by password.
    bool reach(TestViewer& v, bool byAccessId = false) override {
        if (GetParam() == Route::Direct) return v.dial(server->port());
        return v.dialRelay(relay.config(), byAccessId ? server->accessId() : server->deviceId());
    }
    std::string routeLabel() const { return GetParam() == Route::Direct ? kRouteDirect : kRouteRelay; }
    // The far end of the host's connection: the viewer itself, or the relay.
    std::string addressSeenByHost(const TestViewer& v) const {
        return "127.0.0.1:" + std::to_string(GetParam() == Route::Direct ? v.conn->localPort() : relay.port());
    }
};

TEST_P(AdmissionRoutes, PasswordLoginAddsTheDeviceOnce) {
    usePassword(true);
    startHosting();

    TestViewer first("", "windows");
    enter(first, TestViewer::request("windows"), kPassword);
    EXPECT_EQ(first.hostHello.dump(),
              "{\"name\":\"테스트 호스트\",\"id\":\"" + server->deviceId() + "\",\"os\":\"windows\"}");

    std::vector<Peer> listed = allowedWithKey(keyOf(first));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, first.name);
    EXPECT_EQ(listed[0].os, "windows");
    EXPECT_GT(listed[0].added, 0);
    EXPECT_GT(listed[0].lastConnected, 0);
    EXPECT_FALSE(listed[0].relay.usable());
    EXPECT_EQ(listed[0].relay.port, 47900);
    EXPECT_EQ(log.count("비밀번호로 접속 · 허용 목록에 등록: " + first.name), 1);
    EXPECT_TRUE(log.has("연결 허용: " + first.name + " (" + addressSeenByHost(first) + ", windows)")) << log.text();
    std::vector<Json> records = historyOf(first.name);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].get("how").asString(), "비밀번호");
    EXPECT_EQ(records[0].get("route").asString(), routeLabel());
    const auto calls = connectedCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(first.name, routeLabel()));
    EXPECT_EQ(server->passwords.failures(), 0);

    // The same device again, its request without "os": no second entry, the line again.
    TestViewer again(first.name);
    again.device = first.device;
    enter(again, TestViewer::request(""), kPassword);
    EXPECT_EQ(allowedWithKey(keyOf(first)).size(), 1u);
    EXPECT_EQ(allowedWithKey(keyOf(first))[0].os, "windows");
    EXPECT_EQ(log.count("비밀번호로 접속 · 허용 목록에 등록: " + first.name), 2);
    EXPECT_TRUE(first.waitClosed());  // replaced

    // A new device whose request names no "os" is stored as a Mac.
    TestViewer mac("", "");
    enter(mac, TestViewer::request(""), kPassword);
    ASSERT_EQ(allowedWithKey(keyOf(mac)).size(), 1u);
    EXPECT_EQ(allowedWithKey(keyOf(mac))[0].os, "mac");
    EXPECT_TRUE(log.has("연결 허용: " + mac.name + " (" + addressSeenByHost(mac) + ", mac)")) << log.text();
}

TEST_P(AdmissionRoutes, PairingTokenAddsTheDeviceAndIsUsedUp) {
    startHosting();
    const std::string token = freshToken();

    // The hello's "os" is stored, not the request's.
    TestViewer v("", "mac");
    v.token = token;
    enter(v, TestViewer::request("windows"));
    std::vector<Peer> listed = allowedWithKey(keyOf(v));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, v.name);
    EXPECT_EQ(listed[0].os, "mac");
    EXPECT_GT(listed[0].lastConnected, 0);
    EXPECT_TRUE(log.has("짝 맺음: " + v.name));
    std::vector<Json> records = historyOf(v.name);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].get("how").asString(), "등록한 기기");

    // The code is used up: another device presenting it is refused.
    TestViewer late;
    late.token = token;
    ASSERT_TRUE(reach(late));
    EXPECT_NE(late.tryPaired(server->deviceKey().publicKey), "");
    EXPECT_TRUE(log.waitFor("): 허용되지 않은 기기"));
    EXPECT_TRUE(allowedWithKey(keyOf(late)).empty());
    EXPECT_FALSE(log.has("짝 맺음: " + late.name));

    // Without an "os" in the hello the entry takes the request's.
    TestViewer plain("", "");
    plain.token = freshToken();
    enter(plain, TestViewer::request("windows"));
    ASSERT_EQ(allowedWithKey(keyOf(plain)).size(), 1u);
    EXPECT_EQ(allowedWithKey(keyOf(plain))[0].os, "windows");
}

TEST_P(AdmissionRoutes, PairedKeyIsAdmittedAndRemembered) {
    startHosting();
    TestViewer v;
    allow(v, "예전 이름");
    enter(v, TestViewer::request("windows"));

    std::vector<Peer> listed = allowedWithKey(keyOf(v));
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].name, "예전 이름");
    EXPECT_EQ(listed[0].os, "windows");
    EXPECT_GT(listed[0].lastConnected, 0);
    ASSERT_TRUE(server->currentSession());
    EXPECT_EQ(server->currentSession()->peerName(), v.name);
    EXPECT_EQ(server->currentSession()->peerKey(), keyOf(v));
    EXPECT_TRUE(server->currentSession()->clipboard);
    std::vector<Json> records = historyOf(v.name);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].get("route").asString(), routeLabel());

    // The session's end closes the record and empties the slot.
    v.hangUp();
    ASSERT_TRUE(waitUntil([&] { return !server->currentSession(); }, 5000));
    EXPECT_TRUE(log.waitFor("연결 끊김: " + v.name + " {\"framesSent\":0}"));
    EXPECT_TRUE(historyOf(v.name)[0].has("end"));
}

INSTANTIATE_TEST_SUITE_P(, AdmissionRoutes, ::testing::Values(Route::Direct, Route::Relay),
                         [](const ::testing::TestParamInfo<Route>& info) {
                             return info.param == Route::Direct ? "Direct" : "Relay";
                         });

// ---- refusals ----

TEST_F(HostServerTest, RefusalsAreLoggedAndCountedOnlyForStartedPasswordAttempts) {
    server->timing.refusalLogMs = 0;  // rows repeat causes; each row's line is looked for
    startHosting();
    const std::string refused = PasswordRefused().what();
    const std::string wrong = BadPassword().what();
    struct Row {
        const char* what;
        std::function<void()> prepare;
        std::function<std::string(TestViewer&)> act;  // the viewer's error text
        std::string viewerError;
        std::string logged;
        int failures;         // the guard's count afterwards
        bool listed = false;  // the row put the viewer on the allowed list itself
    };
    auto paired = [this](TestViewer& v) {
        EXPECT_TRUE(v.dial(server->port()));
        return v.tryPaired(server->deviceKey().publicKey);
    };
    auto password = [this](const std::string& typed) {
        return [this, typed](TestViewer& v) {
            EXPECT_TRUE(v.dial(server->port()));
            return v.tryPassword(typed);
        };
    };
    auto lockGuard = [this] {
        for (int i = 0; i < 5; ++i) {
            std::string p;
            ASSERT_TRUE(server->passwords.begin(p));
            server->passwords.finish(false);
        }
    };
    const std::vector<Row> rows = {
        {"password hello while logins are off", [&] { usePassword(false); }, password(kPassword), refused,
         kPasswordLoginRefused, 0},
        {"right password while locked", [&] { usePassword(true); lockGuard(); }, password(kPassword), refused,
         kPasswordLoginRefused, 5},
        {"wrong password", [&] { usePassword(true); }, password("틀린 비밀번호"), wrong, kConnClosed, 1},
        {"identity that is not Json", [&] { usePassword(true); },
         [&](TestViewer& v) {
             v.identityOverride = Bytes{'{', '"', 'n', ':'};
             return password(kPassword)(v);
         },
         "", kBadHello, 1},
        {"request that is not Json after the right password", [&] { usePassword(true); },
         [&](TestViewer& v) {
             std::string e = password(kPassword)(v);
             v.send(MsgType::SessionRequest, asBytes(std::string("{\"os\"")));
             return e;
         },
         "", kBadHello, 0},
        {"paired device without a token", [] {}, paired, kConnClosed, kDeviceNotAllowed, 0},
        {"paired device with a token that is not base64", [] {},
         [&](TestViewer& v) {
             v.token = "not*base64!";
             return paired(v);
         },
         kConnClosed, kDeviceNotAllowed, 0},
        {"paired identity that is not Json", [] {},
         [&](TestViewer& v) {
             v.identityOverride = Bytes{'n', '=', 'x'};
             return paired(v);
         },
         kConnClosed, kBadHello, 0},
        {"first message of another type", [] {},
         [&](TestViewer& v) {
             allow(v, v.name);
             std::string e = paired(v);
             v.send(MsgType::DisplayInfo, encodeJson(TestViewer::request()));
             return e;
         },
         "", kNoSessionRequest, 0, true},
    };
    for (const Row& row : rows) {
        server->passwords.reset();
        row.prepare();
        TestViewer v;
        const std::string error = row.act(v);
        if (!row.viewerError.empty()) {
            EXPECT_EQ(error, row.viewerError) << row.what;
        }
        ASSERT_TRUE(v.conn) << row.what;
        EXPECT_TRUE(log.waitFor(refusalLine(v, row.logged))) << row.what << "\n" << log.text();
        EXPECT_TRUE(v.waitClosed()) << row.what;
        EXPECT_EQ(server->passwords.failures(), row.failures) << row.what;
        EXPECT_FALSE(sessions.named(v.name)) << row.what;
        EXPECT_FALSE(server->currentSession()) << row.what;
        EXPECT_EQ(allowedWithKey(keyOf(v)).size(), row.listed ? 1u : 0u) << row.what;
        store->update([](AppConfig& c) { c.allowed.clear(); });
    }
}

TEST_F(HostServerTest, RequestIsTakenUpToItsLimitAndRefusedBeyondIt) {
    startHosting();
    for (size_t extra : {0, 1}) {
        TestViewer v;
        allow(v, v.name);
        ASSERT_TRUE(reach(v));
        ASSERT_EQ(v.tryPaired(server->deviceKey().publicKey), "");
        std::string request = TestViewer::request().dump();
        request.resize(maxPayload(MsgType::SessionRequest) + extra, ' ');
        ASSERT_TRUE(v.send(MsgType::SessionRequest, asBytes(request)));
        if (extra == 0) {
            EXPECT_TRUE(v.ping());
            EXPECT_TRUE(sessions.named(v.name));
        } else {
            EXPECT_TRUE(log.waitFor(refusalLine(v, kBadHello))) << log.text();
            EXPECT_TRUE(v.waitClosed());
            EXPECT_FALSE(sessions.named(v.name));
        }
    }
}

TEST_F(HostServerTest, ViewerThatSendsNoRequestInTimeIsRefused) {
    server->timing.requestMs = 200;
    startHosting();
    TestViewer v;
    allow(v, v.name);
    ASSERT_TRUE(v.dial(server->port()));
    ASSERT_EQ(v.tryPaired(server->deviceKey().publicKey), "");
    EXPECT_TRUE(log.waitFor(refusalLine(v, kTimedOut)));
    EXPECT_TRUE(v.waitClosed());
    EXPECT_FALSE(sessions.named(v.name));
}

TEST_F(HostServerTest, SecondPasswordAttemptIsRefusedWhileOneRunsAndAnAbandonedOneCounts) {
    usePassword(true);
    startHosting();
    TestViewer stalled;
    ASSERT_TRUE(stalled.dial(server->port()));
    ASSERT_TRUE(stalled.conn->sendFrame(rawPasswordHello()));
    stalled.conn->readFrame(kMaxHandshakeFrame, 5000);  // the host's reply: it now waits for us

    TestViewer second;
    ASSERT_TRUE(second.dial(server->port()));
    EXPECT_EQ(second.tryPassword(kPassword), PasswordRefused().what());
    EXPECT_TRUE(log.waitFor(refusalLine(second, kPasswordLoginRefused)));
    EXPECT_EQ(server->passwords.failures(), 0);

    stalled.hangUp();
    EXPECT_TRUE(log.waitFor(refusalLine(stalled, kConnClosed)));
    EXPECT_TRUE(waitUntil([&] { return server->passwords.failures() == 1; }, 5000));

    // The guard is free again.
    TestViewer third;
    enter(third, TestViewer::request(), kPassword);
    EXPECT_EQ(server->passwords.failures(), 0);
}

TEST_F(HostServerTest, RefusedTokensWithoutACodeLeaveThePairingCodeAlone) {
    startHosting();
    const std::string token = freshToken();
    auto present = [&](const std::string& token) {
        TestViewer v;
        v.token = token;
        EXPECT_TRUE(v.dial(server->port()));
        return v.tryPaired(server->deviceKey().publicKey);
    };
    auto wrongCode = [] {
        Bytes b(PairingCode::kLength);
        randomBytes(b.data(), int(b.size()));
        return base64Encode(b);
    };
    // Five wrong codes would discard the live one; refusals that never reach it must not count.
    for (int i = 0; i < 3; ++i) EXPECT_NE(present(wrongCode()), "");
    EXPECT_NE(present(""), "");
    EXPECT_NE(present("%%%"), "");
    EXPECT_NE(present("@@@@"), "");
    EXPECT_NE(present(wrongCode()), "");
    EXPECT_EQ(present(token), "");
}

// ---- the current session ----

TEST_F(HostServerTest, SecondViewerReplacesTheFirst) {
    startHosting();
    TestViewer a, b;
    allow(a, a.name);
    allow(b, b.name);
    enter(a);
    std::shared_ptr<FakeSession> first = sessions.named(a.name);
    ASSERT_TRUE(first);
    enter(b);

    EXPECT_TRUE(a.waitClosed());
    EXPECT_TRUE(waitUntil([&] { return first->endCallbacks.load() == 1; }, 5000));
    ASSERT_TRUE(server->currentSession());
    EXPECT_EQ(server->currentSession()->peerName(), b.name);
    EXPECT_TRUE(b.ping());
    EXPECT_TRUE(log.waitFor("연결 끊김: " + a.name + " "));
}

TEST_F(HostServerTest, WakeErrandLeavesTheCurrentSessionAndIsClosedWithIt) {
    startHosting();
    TestViewer user, errand;
    allow(user, user.name);
    allow(errand, errand.name);
    enter(user);
    enter(errand, TestViewer::request("windows", "wake"));

    EXPECT_TRUE(user.ping());
    ASSERT_TRUE(server->currentSession());
    EXPECT_EQ(server->currentSession()->peerName(), user.name);
    EXPECT_TRUE(historyOf(errand.name).empty());
    EXPECT_EQ(historyOf(user.name).size(), 1u);
    for (const auto& call : connectedCalls()) EXPECT_NE(call.first, errand.name);
    ASSERT_TRUE(sessions.named(errand.name));
    EXPECT_TRUE(sessions.named(errand.name)->started);

    server->closeSessions();
    EXPECT_TRUE(user.waitClosed());
    EXPECT_TRUE(errand.waitClosed());
    EXPECT_TRUE(waitUntil([&] { return !server->currentSession(); }, 5000));
}

TEST_F(HostServerTest, SessionThatFailsToStartNeverStaysCurrent) {
    startHosting();
    TestViewer v;
    allow(v, v.name);
    sessions.failStarts(true);
    ASSERT_TRUE(v.dial(server->port()));
    ASSERT_EQ(v.tryPaired(server->deviceKey().publicKey), "");
    ASSERT_TRUE(v.sendRequest(TestViewer::request()));
    EXPECT_TRUE(log.waitFor(refusalLine(v, "세션 시작 실패")));
    EXPECT_TRUE(v.waitClosed());
    EXPECT_FALSE(server->currentSession());
    ASSERT_TRUE(sessions.named(v.name));
    EXPECT_TRUE(sessions.named(v.name)->isClosed());
    ASSERT_EQ(historyOf(v.name).size(), 1u);
    EXPECT_TRUE(historyOf(v.name)[0].has("end"));
}

// ---- hosting that stopped ----

TEST_F(HostServerTest, AdmissionRunningAcrossStopIsNeverAdopted) {
    startHosting();
    TestViewer v;
    allow(v, v.name);
    ASSERT_TRUE(v.dial(server->port()));
    // Past the handshake, the host waits for the request.
    ASSERT_EQ(v.tryPaired(server->deviceKey().publicKey), "");
    server->stop();
    // A new run does not adopt it either.
    startHosting();
    ASSERT_TRUE(v.sendRequest(TestViewer::request()));
    EXPECT_TRUE(log.waitFor(refusalLine(v, kHostingStopped)));
    EXPECT_TRUE(v.waitClosed());
    EXPECT_EQ(sessions.count(), 0u);
    EXPECT_FALSE(server->currentSession());
}

TEST_F(HostServerTest, RelayedConnectionInFlightAtStopNeverBecomesASession) {
    useRelay();
    startHosting();
    TestViewer v;
    allow(v, v.name);
    ASSERT_TRUE(v.dialRelay(relay.config(), server->deviceId()));
    ASSERT_EQ(v.tryPaired(server->deviceKey().publicKey), "");
    ASSERT_EQ(server->admissionsRunning(), 1);
    server->stop();  // gives up waiting for the hand-over after a short while
    EXPECT_EQ(server->relayAgent(), nullptr);
    startHosting();
    ASSERT_TRUE(v.sendRequest(TestViewer::request()));
    EXPECT_TRUE(log.waitFor(std::string("): ") + kHostingStopped));
    EXPECT_TRUE(v.waitClosed());
    EXPECT_EQ(sessions.count(), 0u);
    EXPECT_FALSE(server->currentSession());
}

TEST_F(HostServerTest, AcceptWithoutHostingRefuses) {
    LoopbackPair pair = makeLoopbackPair();
    server->accept(pair.host);
    EXPECT_TRUE(log.has(std::string("): ") + kHostingStopped));
    EXPECT_TRUE(pair.host->isClosed());
}

// ---- many connections ----

// Dials 127.0.0.1 (or ::1 from an IPv6 source) on port from the given loopback source address,
// so that one test can be several sources for the host.
std::shared_ptr<FramedConn> dialFrom(const std::string& source, int port) {
    const bool v6 = source.find(':') != std::string::npos;
    std::vector<SockAddr> to = resolveTcp(v6 ? "::1" : "127.0.0.1", port, false);
    std::vector<SockAddr> from = resolveTcp(source, 0, false);
    if (to.empty() || from.empty()) return {};
    SocketHandle s = socketOpenTcp(to[0].family());
    if (s == kInvalidSocket) return {};
    socketSetNonBlocking(s, true);
    int err = socketBindTo(s, from[0]) ? socketConnect(s, to[0]) : -1;
    if (err == kErrWouldBlock || err == kErrInProgress)
        err = socketPoll(s, true, 5000) > 0 ? socketPendingError(s) : -1;
    if (err != 0) {
        socketClose(s);
        return {};
    }
    return std::make_shared<FramedConn>(s, (v6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port));
}

// Connections that never send a byte, one per given source address, each dialled again from its
// source as soon as the host closes it, on a thread of their own until the crowd goes.
class IdleCrowd {
public:
    IdleCrowd(std::vector<std::string> sources, int port) : sources_(std::move(sources)), port_(port) {
        thread_ = std::thread([this] {
            std::vector<std::shared_ptr<FramedConn>> conns(sources_.size());
            while (!stop_.load()) {
                for (size_t i = 0; i < conns.size() && !stop_.load(); ++i) {
                    // The host sends nothing before a first frame: readable means closed.
                    if (conns[i] && !conns[i]->waitReadable(0)) continue;
                    if (conns[i]) reopened_.fetch_add(1);
                    conns[i] = dialFrom(sources_[i], port_);
                }
                sleepMs(2);
            }
            for (auto& c : conns)
                if (c) c->shutdown();
        });
    }
    ~IdleCrowd() {
        stop_.store(true);
        thread_.join();
    }
    IdleCrowd(const IdleCrowd&) = delete;
    IdleCrowd& operator=(const IdleCrowd&) = delete;

    int reopened() const { return reopened_.load(); }

private:
    std::vector<std::string> sources_;
    int port_;
    std::atomic<bool> stop_{false};
    std::atomic<int> reopened_{0};
    std::thread thread_;
};

// 127.0.0.2 .. 127.0.0.(1 + n): loopback addresses other than the honest viewers' 127.0.0.1.
std::vector<std::string> loopbackSources(int n) {
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) out.push_back("127.0.0." + std::to_string(2 + i));
    return out;
}

// A dual-stack listener on every address, as the tray starts it, reached only over loopback: the
// hostile peers come from ::1 and from 127.0.0.2 and up, the honest viewers from 127.0.0.1.
class HostileAdmissions : public HostServerTest {
protected:
    void startDualStack() {
        const bool withRelay = relay.port() != 0;
        ASSERT_TRUE(server->start(0, false, withRelay, false));
        if (withRelay) {
            ASSERT_TRUE(relay.waitFor([&] { return relay.online(server->deviceId()); }, 5000));
        }
    }
    std::shared_ptr<FramedConn> dialV6() { return connectTcp("::1", server->port(), 5000); }
    bool dialV6(TestViewer& v) {
        v.conn = dialV6();
        return bool(v.conn);
    }
    // Waits until exactly so many admissions (and so many of them relayed) run.
    bool held(int all, int relayed = 0) {
        return waitUntil(
            [&] { return server->admissionsRunning() == all && server->relayedAdmissionsRunning() == relayed; }, 10000);
    }
    // A viewer that sends its first frame and then holds its slot: allowed, through the handshake,
    // never sending the request.
    std::shared_ptr<FramedConn> stalledAfterTheHandshake(std::shared_ptr<FramedConn> conn) {
        TestViewer v;
        allow(v, v.name);
        v.conn = std::move(conn);
        EXPECT_TRUE(v.conn);
        if (v.conn) {
            EXPECT_EQ(v.tryPaired(server->deviceKey().publicKey), "");
        }
        return v.conn;
    }
    // How many of them the host has shut down, each waited for up to timeoutMs.
    static int closedOf(const std::vector<std::shared_ptr<FramedConn>>& conns, int timeoutMs) {
        int closed = 0;
        for (const auto& c : conns) {
            TestViewer v;
            v.conn = c;
            if (v.waitClosed(timeoutMs)) ++closed;
        }
        return closed;
    }
};

TEST_F(HostileAdmissions, CostAndSlotsStayBoundedAndAnHonestViewerStillGetsIn) {
    // Held slots must stay held for the length of a row.
    server->timing.firstFrameMs = 60000;
    server->timing.requestMs = 60000;
    useRelay();
    startDualStack();
    TestViewer allowed;
    allow(allowed, allowed.name);
    constexpr int kDirect = HostServer::kMaxDirectAdmissions;
    constexpr int kRelayed = HostServer::kMaxRelayedAdmissions;
    constexpr int kPerSource = HostServer::kMaxAdmissionsPerSource;
    struct Row {
        const char* what;
        // Runs the attack; what it keeps open stays in `held` until the row ends.
        std::function<void(std::vector<std::shared_ptr<FramedConn>>& held)> attack;
        int direct;   // admissions the attack holds afterwards
        int relayed;  // of them handed over by the relay agent
        // Whether a slot is left for an honest viewer: none is when every slot it could take
        // is held by a viewer that has sent its first frame.
        bool roomForAViewer = true;
    };
    const std::vector<Row> rows = {
        {"a claimed key followed by a frame of 48 MiB",
         [&](std::vector<std::shared_ptr<FramedConn>>& keep) {
             TestViewer impostor;
             impostor.device.publicKey = allowed.device.publicKey;  // claimed, without its private key
             ASSERT_TRUE(dialV6(impostor));
             EXPECT_NE(impostor.tryPaired(server->deviceKey().publicKey), "");  // the reply does not open
             uint8_t header[4];
             storeBe32(header, uint32_t(kMaxChannelFrame));
             ASSERT_TRUE(impostor.conn->sendAll(header, 4));
             Bytes some(16384, 0x5a);
             impostor.conn->sendAll(some.data(), some.size());
             // Refused on the length alone, long before the request's wait would end.
             EXPECT_TRUE(log.waitFor("::1:" + std::to_string(impostor.conn->localPort()) + "): " + kFrameTooLarge,
                                     3000))
                 << log.text();
             EXPECT_TRUE(impostor.waitClosed(3000));
             keep.push_back(impostor.conn);
         },
         0, 0},
        {"32 connections from one address that never send a byte",
         [&](std::vector<std::shared_ptr<FramedConn>>& keep) {
             for (int i = 0; i < HostServer::kMaxAdmissions; ++i) {
                 keep.push_back(dialV6());
                 ASSERT_TRUE(keep.back());
             }
             ASSERT_TRUE(held(kPerSource));
             // Each newcomer made the oldest idle one give way: all but the last few are shut down.
             EXPECT_EQ(closedOf(keep, 3000), HostServer::kMaxAdmissions - kPerSource);
         },
         kPerSource, 0},
        {"connections from many addresses that send their first frame and stall",
         [&](std::vector<std::shared_ptr<FramedConn>>& keep) {
             // More sources than the direct share needs, each up to its own cap.
             const std::vector<std::string> sources = loopbackSources(kDirect / kPerSource + 2);
             for (const std::string& source : sources) {
                 for (int i = 0; i < kPerSource && int(keep.size()) < kDirect; ++i) {
                     keep.push_back(stalledAfterTheHandshake(dialFrom(source, server->port())));
                 }
             }
             ASSERT_TRUE(held(kDirect));
             // None of them may give way; a source that is still below its cap is refused.
             std::shared_ptr<FramedConn> more = dialFrom(sources.back(), server->port());
             ASSERT_TRUE(more);
             EXPECT_EQ(closedOf({more}, 3000), 1);
             ASSERT_TRUE(log.waitFor(std::string("): ") + kTooManyAdmissions));
         },
         kDirect, 0, false},
        {"a password hello that stalls after the host's reply",
         [&](std::vector<std::shared_ptr<FramedConn>>& keep) {
             usePassword(true);
             std::shared_ptr<FramedConn> c = dialV6();
             ASSERT_TRUE(c);
             ASSERT_TRUE(c->sendFrame(rawPasswordHello()));
             c->readFrame(kMaxHandshakeFrame, 5000);
             keep.push_back(c);
         },
         1, 0},
        {"idle connections through the relay",
         [&](std::vector<std::shared_ptr<FramedConn>>& keep) {
             for (int i = 0; i <= kRelayed; ++i) {
                 TestViewer v;
                 ASSERT_TRUE(v.dialRelay(relay.config(), server->deviceId()));
                 keep.push_back(v.conn);
                 ASSERT_TRUE(held(std::min(i + 1, kRelayed), std::min(i + 1, kRelayed))) << i;
             }
             // The one too many made the oldest give way.
             EXPECT_EQ(closedOf({keep.front()}, 5000), 1);
         },
         kRelayed, kRelayed},
        {"both shares held by viewers that sent their first frame",
         [&](std::vector<std::shared_ptr<FramedConn>>& keep) {
             for (int i = 0; i < kRelayed; ++i) {
                 TestViewer v;
                 ASSERT_TRUE(v.dialRelay(relay.config(), server->deviceId()));
                 keep.push_back(stalledAfterTheHandshake(v.conn));
             }
             ASSERT_TRUE(held(kRelayed, kRelayed));
             // One relayed too many is refused although the direct share has room: relayed
             // peers never take direct slots.
             TestViewer more;
             ASSERT_TRUE(more.dialRelay(relay.config(), server->deviceId()));
             EXPECT_TRUE(more.waitClosed());
             ASSERT_TRUE(log.waitFor(std::string("): ") + kTooManyAdmissions));
             // And the direct share is whole beside them.
             for (const std::string& source : loopbackSources(kDirect / kPerSource)) {
                 for (int i = 0; i < kPerSource; ++i)
                     keep.push_back(stalledAfterTheHandshake(dialFrom(source, server->port())));
             }
         },
         kDirect + kRelayed, kRelayed, false},
    };
    for (const Row& row : rows) {
        std::vector<std::shared_ptr<FramedConn>> keep;
        row.attack(keep);
        EXPECT_TRUE(held(row.direct, row.relayed)) << row.what << ": " << server->admissionsRunning() << " held";

        if (row.roomForAViewer) {
            TestViewer honest;
            allow(honest, honest.name);
            enter(honest);
            EXPECT_EQ(server->currentSession()->peerName(), honest.name) << row.what;
            EXPECT_TRUE(held(row.direct, row.relayed)) << row.what;
        }

        for (auto& c : keep)
            if (c) c->shutdown();
        EXPECT_TRUE(held(0)) << row.what;
        usePassword(false);
        server->passwords.reset();
    }
}

TEST_F(HostileAdmissions, IdleStrangersFromManySourcesNeverShutAnHonestViewerOut) {
    // No idle one runs out of time during the test: only giving way can let a viewer in.
    server->timing.firstFrameMs = 60000;
    startDualStack();
    // 40 connections: three from each of ten IPv4 addresses, ten from ::1.
    std::vector<std::string> sources;
    for (int i = 0; i < 30; ++i) sources.push_back(loopbackSources(10)[size_t(i % 10)]);
    for (int i = 0; i < 10; ++i) sources.push_back("::1");
    IdleCrowd crowd(sources, server->port());
    ASSERT_TRUE(held(HostServer::kMaxDirectAdmissions));
    ASSERT_TRUE(waitUntil([&] { return crowd.reopened() >= 20; }, 10000));
    for (int i = 0; i < 3; ++i) {
        TestViewer honest;
        allow(honest, honest.name);
        enter(honest);
        ASSERT_TRUE(server->currentSession());
        EXPECT_EQ(server->currentSession()->peerName(), honest.name);
        EXPECT_FALSE(log.has(refusalLine(honest, kTooManyAdmissions))) << log.text();
    }
}

TEST_F(HostileAdmissions, IPv6AddressesOfOneSlash64AreOneSource) {
    server->timing.firstFrameMs = 60000;
    startDualStack();
    // Loopback connections whose far end the host is told is another address of one /64 each
    // time; one more than a source may hold.
    SocketHandle listener = socketOpenTcp(kFamilyV4);
    ASSERT_TRUE(socketBind(listener, kFamilyV4, 0, true) && socketListen(listener, 8));
    std::vector<std::shared_ptr<FramedConn>> far;
    std::vector<std::thread> admissions;
    for (int i = 0; i <= HostServer::kMaxAdmissionsPerSource; ++i) {
        far.push_back(connectTcp("127.0.0.1", socketLocalPort(listener), 5000));
        ASSERT_TRUE(far.back());
        SocketHandle accepted = socketAccept(listener, nullptr);
        ASSERT_NE(accepted, kInvalidSocket);
        auto conn = std::make_shared<FramedConn>(accepted, "2001:db8:7:9::" + std::to_string(i + 1) + ":50000");
        admissions.emplace_back([this, conn] { server->accept(conn); });
        ASSERT_TRUE(held(std::min(i + 1, HostServer::kMaxAdmissionsPerSource))) << i;
    }
    socketClose(listener);
    // The newest made the oldest give way.
    EXPECT_EQ(closedOf({far.front()}, 3000), 1);
    EXPECT_TRUE(held(HostServer::kMaxAdmissionsPerSource));
    for (auto& c : far) c->shutdown();
    for (auto& t : admissions) t.join();
}

TEST_F(HostileAdmissions, RefusalsForTooManyConnectionsAreLoggedOncePerIntervalWithACount) {
    server->timing.refusalLogMs = 300;
    server->timing.requestMs = 60000;
    startDualStack();
    std::vector<std::shared_ptr<FramedConn>> keep;
    for (int i = 0; i < HostServer::kMaxAdmissionsPerSource; ++i) keep.push_back(stalledAfterTheHandshake(dialV6()));
    ASSERT_TRUE(held(HostServer::kMaxAdmissionsPerSource));
    const std::string refused = std::string("): ") + kTooManyAdmissions;
    int refusals = 0;
    const bool counted = waitUntil(
        [&] {
            std::shared_ptr<FramedConn> extra = dialV6();
            TestViewer v;
            v.conn = extra;
            if (extra && v.waitClosed(3000)) ++refusals;
            return log.has(refused + " (앞 줄 뒤로 ");
        },
        10000);
    EXPECT_TRUE(counted) << log.text();
    EXPECT_LT(log.count(refused), refusals);
    EXPECT_TRUE(held(HostServer::kMaxAdmissionsPerSource));
}

TEST_F(HostileAdmissions, LinesStrangersCauseAreHeldBackPerCause) {
    server->timing.requestMs = 60000;
    startDualStack();
    std::vector<std::shared_ptr<FramedConn>> keep;
    for (int i = 0; i < HostServer::kMaxAdmissionsPerSource; ++i) keep.push_back(stalledAfterTheHandshake(dialV6()));
    ASSERT_TRUE(held(HostServer::kMaxAdmissionsPerSource));
    const std::string full = std::string("): ") + kTooManyAdmissions;
    const std::string unknown = std::string("): ") + kDeviceNotAllowed;
    // Two causes, each several times within one interval: each is logged once.
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(closedOf({dialV6()}, 3000), 1);
        TestViewer stranger;
        ASSERT_TRUE(stranger.dial(server->port()));
        EXPECT_NE(stranger.tryPaired(server->deviceKey().publicKey), "");
        EXPECT_TRUE(stranger.waitClosed());
        ASSERT_TRUE(log.waitFor(full)) << round;
        ASSERT_TRUE(log.waitFor(unknown)) << round << "\n" << log.text();
    }
    // The last refusal's admission may still be ending: wait for the slots to settle.
    EXPECT_TRUE(held(HostServer::kMaxAdmissionsPerSource));
    EXPECT_EQ(log.count(full), 1) << log.text();
    EXPECT_EQ(log.count(unknown), 1) << log.text();
}

TEST_F(HostileAdmissions, WakeErrandsAreOnePerDeviceAndFewInAll) {
    startDualStack();
    TestViewer first;
    allow(first, first.name);
    enter(first, TestViewer::request("windows", "wake"));
    // The same device again: its new errand replaces the old one.
    TestViewer again(first.name);
    again.device = first.device;
    enter(again, TestViewer::request("windows", "wake"));
    EXPECT_TRUE(first.waitClosed());
    EXPECT_TRUE(again.ping());

    std::vector<std::unique_ptr<TestViewer>> others;
    for (int i = 1; i < HostServer::kMaxErrands; ++i) {
        others.push_back(std::make_unique<TestViewer>());
        allow(*others.back(), others.back()->name);
        enter(*others.back(), TestViewer::request("windows", "wake"));
    }
    TestViewer tooMany;
    allow(tooMany, tooMany.name);
    ASSERT_TRUE(tooMany.dial(server->port()));
    ASSERT_EQ(tooMany.tryPaired(server->deviceKey().publicKey), "");
    ASSERT_TRUE(tooMany.sendRequest(TestViewer::request("windows", "wake")));
    EXPECT_TRUE(log.waitFor(refusalLine(tooMany, kTooManyErrands)));
    EXPECT_TRUE(tooMany.waitClosed());
    EXPECT_TRUE(again.ping());
    for (auto& v : others) EXPECT_TRUE(v->ping());

    // A viewer is never counted against them, and an errand that ends makes room.
    TestViewer user;
    allow(user, user.name);
    enter(user);
    others.back()->hangUp();
    TestViewer later;
    allow(later, later.name);
    EXPECT_TRUE(waitUntil(
        [&] {
            if (!later.dial(server->port()) || later.tryPaired(server->deviceKey().publicKey) != "") return false;
            return later.sendRequest(TestViewer::request("windows", "wake")) && later.ping(2000);
        },
        5000));
    EXPECT_TRUE(user.ping());
}

TEST(AcceptLoop, FailedAcceptIsRetriedUntilTheListenerCloses) {
    LogCapture log;
    LoopbackPair pair = makeLoopbackPair();
    // Two failures while open, a connection, one more failure, then closed.
    std::vector<std::shared_ptr<FramedConn>> script = {nullptr, nullptr, pair.host, nullptr, nullptr};
    std::vector<bool> openAfter = {true, true, true, true, false};
    size_t step = 0;
    std::vector<std::shared_ptr<FramedConn>> taken;
    runAcceptLoop([&] { return script.at(step++); }, [&] { return openAfter.at(step - 1); },
                  [&](std::shared_ptr<FramedConn> conn) { taken.push_back(std::move(conn)); }, 20);
    EXPECT_EQ(step, script.size());
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0], pair.host);
    EXPECT_EQ(log.count("연결 받기 실패"), 3);
}

// ---- start and stop ----

TEST_F(HostServerTest, SecondStartStopsTheFirstCompletely) {
    useRelay();
    startHosting(true);
    const int firstPort = server->port();
    EXPECT_TRUE(server->running());
    TestViewer v;
    allow(v, v.name);
    enter(v);

    startHosting(true);
    EXPECT_TRUE(v.waitClosed());
    EXPECT_TRUE(waitUntil([&] { return !server->currentSession(); }, 5000));
    EXPECT_EQ(announced->withdrawals().size(), 2u);
    EXPECT_EQ(announced->registrations().size(), 4u);
    EXPECT_TRUE(relay.waitFor([&] { return relay.registrations(server->deviceId()) == 2; }, 5000));
    EXPECT_TRUE(server->running());
    if (server->port() != firstPort) {
        EXPECT_FALSE(connectTcp("127.0.0.1", firstPort, 2000));
    }

    server->stop();
    EXPECT_FALSE(server->running());
    EXPECT_EQ(server->port(), 0);
    EXPECT_EQ(announced->withdrawals().size(), 4u);
    EXPECT_TRUE(relay.waitFor([&] { return !relay.online(server->deviceId()); }, 5000));
    server->stop();  // harmless
    EXPECT_EQ(announced->withdrawals().size(), 4u);
}

TEST_F(HostServerTest, PortInUseStartsNothing) {
    useRelay();
    ListenSocket taken;
    ASSERT_TRUE(taken.open(0, true));
    EXPECT_FALSE(server->start(taken.port(), true, true, true));
    EXPECT_TRUE(log.has("대기 실패: 포트 " + std::to_string(taken.port())));
    EXPECT_FALSE(server->running());
    EXPECT_EQ(server->relayAgent(), nullptr);
    EXPECT_EQ(server->accessRelayAgent(), nullptr);
    EXPECT_TRUE(announced->registrations().empty());
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(stateChanges, 0);
    }
    server->stop();
    EXPECT_TRUE(announced->withdrawals().empty());
    EXPECT_EQ(relay.registrations(server->deviceId()), 0);
}

TEST_F(HostServerTest, AccessIdAgentAndAnnouncementFollowThePasswordSetting) {
    useRelay();
    for (bool passwordOn : {false, true}) {
        usePassword(passwordOn);
        startHosting(true);
        EXPECT_TRUE(log.has("원격 제어 허용 켬 (포트 " + std::to_string(server->port()) + ", ID " +
                            server->deviceId() + ")"));
        ASSERT_TRUE(server->relayAgent());
        EXPECT_TRUE(waitUntil([&] { return server->relayAgent()->connected(); }, 5000));
        EXPECT_EQ(server->accessRelayAgent() != nullptr, passwordOn);
        EXPECT_EQ(relay.online(server->accessId()), passwordOn);

        std::vector<DnsSdService> services = announced->registrations();
        ASSERT_GE(services.size(), 2u);
        services.erase(services.begin(), services.end() - 2);
        std::vector<std::pair<std::string, std::string>> txt = {{"id", server->deviceId()}};
        if (passwordOn) txt.emplace_back("aid", server->accessId());
        EXPECT_EQ(services[0].instance, std::string("테스트 호스트") + kServiceSuffix);
        EXPECT_EQ(services[1].instance, std::string("테스트 호스트") + kFormerServiceSuffix);
        for (const DnsSdService& s : services) {
            EXPECT_EQ(s.host, localHostName() + ".local");
            EXPECT_EQ(s.port, server->port());
            EXPECT_EQ(s.txt, txt);
        }
        server->stop();
    }
    EXPECT_EQ(relay.registrations(server->deviceId()), 2);
    EXPECT_EQ(relay.registrations(server->accessId()), 1);
}

TEST_F(HostServerTest, PasswordAccessNeedsTheSwitchAndAPassword) {
    EXPECT_FALSE(server->passwordAccessOn());
    store->update([](AppConfig& c) { c.passwordLogin = true; });
    EXPECT_FALSE(server->passwordAccessOn());  // nothing stored yet
    usePassword(false);
    EXPECT_FALSE(server->passwordAccessOn());
    usePassword(true);
    EXPECT_TRUE(server->passwordAccessOn());
}

TEST_F(HostServerTest, WithdrawsNothingWhenNothingWasRegistered) {
    announced->refuse = true;
    startHosting(true);
    EXPECT_EQ(announced->registrations().size(), 2u);
    server->stop();
    EXPECT_TRUE(announced->withdrawals().empty());
}

TEST_F(HostServerTest, LoopbackOnlyGivesTheAgentsNoListeningPort) {
    useRelay();
    relay.pairTimeoutMs = 200;
    startHosting();
    ASSERT_TRUE(relay.sendToHost(server->deviceId(), "{\"punch\":\"s1\"}"));
    auto punchHello = [&] {
        for (const Json& h : relay.hellos())
            if (h.get("role").asString() == "punchhost") return true;
        return false;
    };
    ASSERT_TRUE(relay.waitFor(punchHello, 5000));
    for (const Json& h : relay.hellos())
        if (h.get("role").asString() == "punchhost") {
            EXPECT_FALSE(h.has("listen")) << h.dump();
        }
}

TEST_F(HostServerTest, DestroyingTheServerEndsAdmissionsUnderWay) {
    startHosting();
    TestViewer v;
    ASSERT_TRUE(v.dial(server->port()));
    ASSERT_TRUE(waitUntil([&] { return server->admissionsRunning() == 1; }, 5000));
    // The destructor shuts the connection down rather than waiting out the first-frame wait.
    std::thread destroy([&] { server.reset(); });
    EXPECT_TRUE(v.waitClosed(2000));
    destroy.join();
}

}  // namespace
