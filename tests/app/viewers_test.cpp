#include <gtest/gtest.h>

#include "app/viewers.h"

namespace {

Peer peer(const std::string& name, const std::string& key) {
    Peer p;
    p.name = name;
    p.key = key;
    return p;
}

TEST(ViewerPeers, RememberedComputers) {
    AppConfig config;
    Peer known = peer("옛 이름", "S0VZMQ==");
    known.os = "mac";
    known.addresses = {"192.168.0.10:47800"};
    known.relay = {"relay.test", 47901, "s"};
    known.accessId = "123456789";
    known.added = 100;
    known.lastConnected = 200;
    ASSERT_TRUE(Json::parse(R"([{"mac":"aa","bcast":"b"}])", known.wake));
    config.hosts = {peer("다른 PC", "T1RIRVI="), known, peer("같은 키 둘째", "S0VZMQ==")};

    // A known key: name and system change, the time of connection too; the rest stays.
    Peer learned = peer("새 이름", "S0VZMQ==");
    learned.os = "windows";
    learned.addresses = {"10.0.0.1:1"};
    learned.accessId = "";
    rememberPeer(config, learned, 500);
    ASSERT_EQ(config.hosts.size(), 3u);
    const Peer& updated = config.hosts[1];
    EXPECT_EQ(updated.name, "새 이름");
    EXPECT_EQ(updated.os, "windows");
    EXPECT_EQ(updated.lastConnected, 500);
    EXPECT_EQ(updated.added, 100);
    EXPECT_EQ(updated.addresses, known.addresses);
    EXPECT_EQ(updated.relay, known.relay);
    EXPECT_EQ(updated.accessId, "123456789");
    EXPECT_EQ(updated.wake.dump(), known.wake.dump());
    EXPECT_EQ(config.hosts[2].name, "같은 키 둘째");  // only the first entry of a key

    // A key that differs in length or case is another computer: appended, added and connected now.
    for (const std::string key : {"S0VZMQ", "s0VZMQ==", "S0VZMQ==="}) {
        Peer byId = peer("접속 ID 123 456 789", key);
        byId.accessId = "123456789";
        byId.relay = {"relay.test", 47900, "s"};
        const size_t before = config.hosts.size();
        rememberPeer(config, byId, 600);
        ASSERT_EQ(config.hosts.size(), before + 1) << key;
        const Peer& appended = config.hosts.back();
        EXPECT_EQ(appended.key, key);
        EXPECT_EQ(appended.added, 600);
        EXPECT_EQ(appended.lastConnected, 600);
        EXPECT_EQ(appended.accessId, "123456789");
        EXPECT_EQ(appended.relay, byId.relay);
    }
}

}  // namespace
