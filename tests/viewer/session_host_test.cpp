// The viewer session against the real host server (with stand-in host sessions that answer
// pings): admitted as a paired device, and a second viewer closed while it connects does not
// take the host away from the first.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <functional>
#include <thread>
#include <utility>

#include "core/config/store.h"
#include "core/config/temp_folder.h"
#include "host/server.h"
#include "net/connect.h"
#include "net/route.h"
#include "support/fake_session.h"
#include "support/loopback.h"
#include "support/proto_error.h"
#include "support/recording_announcer.h"
#include "support/viewer_devices.h"
#include "support/wait.h"
#include "viewer/session.h"

namespace {

class SessionWithHostServer : public ::testing::Test {
protected:
    void SetUp() override {
        store = std::make_unique<ConfigStore>(folder.wide(), L"");
        server = std::make_unique<HostServer>(*store, newKeyPair(),
                                              std::make_unique<RecordingAnnouncer>(
                                                  std::make_shared<RecordingAnnouncer::Record>()));
        server->makeSession = sessions.factory();
        ASSERT_TRUE(server->start(0, false, false, true));
    }
    void TearDown() override {
        server.reset();
        EXPECT_TRUE(waitUntil([] { return FakeSession::threadsRunning() == 0; }, 5000));
    }

    // A viewer session whose device this host allows; it dials the host's port only.
    std::shared_ptr<ClientSession> allowedViewer(const std::string& name, PeerConnector connector = {}) {
        const KeyPair device = newKeyPair();
        store->update([&](AppConfig& c) {
            Peer allowed;
            allowed.name = name;
            allowed.key = base64Encode(device.publicKey);
            c.allowed.push_back(allowed);
        });
        Peer host;
        host.name = "호스트";
        host.key = base64Encode(server->deviceKey().publicKey);
        host.addresses = {"127.0.0.1:" + std::to_string(server->port())};
        SessionServices services;
        services.devices = devices;
        services.connectPeer = connector ? std::move(connector)
                                         : PeerConnector([](const std::vector<std::string>& addresses,
                                                            const RelayConfig*, const std::string& id,
                                                            std::string* routeText, bool relayOnly) {
                                               return connectPeer(addresses, nullptr, id, routeText, relayOnly);
                                           });
        return std::make_shared<ClientSession>(host, device, Bytes(), nullptr, "", services);
    }

    static bool released(std::shared_ptr<ClientSession>& session) {
        std::weak_ptr<ClientSession> weak = session;
        session->close();
        session.reset();
        return waitUntil([&] { return weak.expired(); }, 5000);
    }

    TempFolder folder;
    std::unique_ptr<ConfigStore> store;
    FakeSessions sessions;
    std::unique_ptr<HostServer> server;
    std::shared_ptr<RecordingDevices> devices = std::make_shared<RecordingDevices>();
};

TEST_F(SessionWithHostServer, APairedViewerIsAdmittedAndMeasuresTheRoundTrip) {
    auto viewer = allowedViewer("서재 노트북");
    viewer->connect(Json(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return viewer->takeStats().rttMs > 0; }, 5000));
    ASSERT_TRUE(server->currentSession());
    EXPECT_EQ(server->currentSession()->peerName(), configStore().get().deviceName);  // as it introduced itself
    EXPECT_EQ(server->currentSession()->peerKey(), base64Encode(viewer->deviceKey.publicKey));
    EXPECT_TRUE(released(viewer));
}

// Passes frames between a viewer and the host, holding the host's first reply until `onReply`
// has run.
class HoldingProxy {
public:
    HoldingProxy(int hostPort, std::function<void()> onReply)
        : pair_(makeLoopbackPair()), host_(connectTcp("127.0.0.1", hostPort, 5000)), onReply_(std::move(onReply)) {
        if (!pair_.host || !host_) return;
        pair_.client->route = kRouteDirect;
        up_ = std::thread([this] { pump(pair_.host, host_, false); });
        down_ = std::thread([this] { pump(host_, pair_.host, true); });
    }
    ~HoldingProxy() {
        for (auto* c : {&pair_.client, &pair_.host, &host_})
            if (*c) (*c)->shutdown();
        if (up_.joinable()) up_.join();
        if (down_.joinable()) down_.join();
    }
    std::shared_ptr<FramedConn> viewerEnd() const { return pair_.client; }

private:
    void pump(const std::shared_ptr<FramedConn>& from, const std::shared_ptr<FramedConn>& to, bool hold) {
        try {
            for (bool first = true;; first = false) {
                const Bytes frame = from->readFrame(kMaxChannelFrame, -1);
                if (hold && first) onReply_();
                if (!to->sendFrame(frame)) break;
            }
        } catch (const std::exception&) {
        }
        from->shutdown();
        to->shutdown();
    }

    LoopbackPair pair_;
    std::shared_ptr<FramedConn> host_;
    std::function<void()> onReply_;
    std::thread up_, down_;
};

TEST_F(SessionWithHostServer, AViewerClosedWhileConnectingLeavesTheCurrentSessionAlone) {
    auto first = allowedViewer("첫째");
    first->connect(Json(), nullptr);
    ASSERT_TRUE(waitUntil([&] { return server->currentSession() != nullptr; }, 5000));
    const auto current = server->currentSession();

    // The second viewer's window is closed after the host has admitted its device, before the
    // reply reaches it: the host must see no session request, which would end the first session.
    std::shared_ptr<ClientSession> second;
    std::unique_ptr<HoldingProxy> proxy;
    second = allowedViewer("둘째", [&](const std::vector<std::string>&, const RelayConfig*, const std::string&,
                                      std::string*, bool) {
        proxy = std::make_unique<HoldingProxy>(server->port(), [&] { second->close(); });
        return proxy->viewerEnd();
    });
    EXPECT_EQ(protoErrorOf([&] { second->connect(Json(), nullptr); }), "연결이 닫혔습니다");
    ASSERT_TRUE(waitUntil([&] { return server->admissionsRunning() == 0; }, 10000));
    EXPECT_EQ(server->currentSession(), current);
    EXPECT_EQ(sessions.count(), 1u);
    proxy.reset();
    EXPECT_TRUE(released(second));

    // The first viewer still has its host.
    EXPECT_FALSE(first->stop.load());
    EXPECT_FALSE(current->channel()->connection()->isClosed());
    EXPECT_TRUE(released(first));
}

}  // namespace
