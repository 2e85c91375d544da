#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/wake.h"
#include "support/host_hooks.h"

namespace {

Json parsed(const std::string& text) {
    Json j;
    EXPECT_TRUE(Json::parse(text, j)) << text;
    return j;
}

TEST(WakeMac, SeparatorsCaseAndLoneDigits) {
    const MacAddress aabb = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    struct Case {
        const char* text;
        std::optional<MacAddress> expected;
    };
    const Case cases[] = {
        {"aa:bb:cc:dd:ee:ff", aabb},
        {"AA-BB-CC-DD-EE-FF", aabb},
        {"aabbccddeeff", aabb},
        {" aa.bb.cc dd/ee:ff", aabb},
        {"aa:bb:cc:dd:ee:ff:11:22 trailing", aabb},  // the first six pairs
        {"a:b:c:d:e:f", MacAddress{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}},
        {"0:1:2:3:4:5", MacAddress{0, 1, 2, 3, 4, 5}},
        {"aabbccddeef", MacAddress{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x0F}},  // the last digit alone
        {"aa:bb:cc:dd:ee", std::nullopt},                                  // five pairs
        {"", std::nullopt},
        {"zz:zz:zz:zz:zz:zz", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parseMac(c.text), c.expected) << c.text;
}

TEST(WakeMac, MagicPacketIsSyncThenSixteenCopies) {
    const MacAddress mac = {1, 2, 3, 4, 5, 6};
    const Bytes p = magicPacket(mac);
    ASSERT_EQ(p.size(), 102u);
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 6), Bytes(6, 0xFF));
    for (size_t i = 6; i < p.size(); i += 6) EXPECT_EQ(Bytes(p.begin() + long(i), p.begin() + long(i) + 6), Bytes(mac.begin(), mac.end()));
}

TEST(WakeAddresses, ParseAsInetPtonDoes) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t address;
    };
    const Case cases[] = {
        {"192.168.1.255", true, 0xC0A801FF}, {"0.0.0.0", true, 0},         {"255.255.255.255", true, 0xFFFFFFFF},
        {"256.1.1.1", false, 0},             {"1.2.3", false, 0},          {"1.2.3.4.5", false, 0},
        {"01.2.3.4", false, 0},              {"1.2.3.4 ", false, 0},       {"", false, 0},
        {"a.b.c.d", false, 0},               {"1..3.4", false, 0},         {"1234.1.1.1", false, 0},
        {"::1", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t a = 0;
        EXPECT_EQ(parseIpv4(c.text, a), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(a, c.address) << c.text;
            EXPECT_EQ(ipv4Text(a), c.text);
        }
    }
}

TEST(WakeTargets, FromAdapters) {
    const Bytes mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    auto adapter = [&](bool up, uint32_t type, Bytes hw, std::vector<AdapterRecord::Address> addresses) {
        AdapterRecord a;
        a.up = up;
        a.interfaceType = type;
        a.hardwareAddress = std::move(hw);
        a.addresses = std::move(addresses);
        return a;
    };
    struct Case {
        const char* name;
        AdapterRecord adapter;
        std::string expected;
    };
    const Case cases[] = {
        {"/24", adapter(true, 6, mac, {{0xC0A80114, 24}}),  // 192.168.1.20
         R"([{"mac":"00:1a:2b:3c:4d:5e","bcast":"192.168.1.255"}])"},
        {"/30", adapter(true, 6, mac, {{0x0A000005, 30}}), R"([{"mac":"00:1a:2b:3c:4d:5e","bcast":"10.0.0.7"}])"},
        {"/1", adapter(true, 71, mac, {{0x0A000005, 1}}), R"([{"mac":"00:1a:2b:3c:4d:5e","bcast":"127.255.255.255"}])"},
        {"two addresses", adapter(true, 71, mac, {{0x0A000005, 8}, {0xAC100001, 16}}),
         R"([{"mac":"00:1a:2b:3c:4d:5e","bcast":"10.255.255.255"},{"mac":"00:1a:2b:3c:4d:5e","bcast":"172.16.255.255"}])"},
        {"/31", adapter(true, 6, mac, {{0x0A000005, 31}}), "[]"},
        {"/32", adapter(true, 6, mac, {{0x0A000005, 32}}), "[]"},
        {"/0", adapter(true, 6, mac, {{0x0A000005, 0}}), "[]"},
        {"down", adapter(false, 6, mac, {{0x0A000005, 24}}), "[]"},
        {"loopback", adapter(true, 24, mac, {{0x7F000001, 8}}), "[]"},
        {"tunnel", adapter(true, 131, mac, {{0x0A000005, 24}}), "[]"},
        {"ppp", adapter(true, 23, mac, {{0x0A000005, 24}}), "[]"},
        {"8-byte address", adapter(true, 6, Bytes(8, 1), {{0x0A000005, 24}}), "[]"},
        {"no address", adapter(true, 6, {}, {{0x0A000005, 24}}), "[]"},
    };
    for (const Case& c : cases) EXPECT_EQ(wakeTargetsFromAdapters({c.adapter}).dump(), c.expected) << c.name;
}

struct SentDatagrams {
    ScopedHostHooks hooks;
    std::vector<Datagram> sent;
    int calls = 0;
    SentDatagrams() {
        hooks->sendDatagrams = [this](const std::vector<Datagram>& d) {
            ++calls;
            sent.insert(sent.end(), d.begin(), d.end());
            return int(d.size());
        };
    }
};

TEST(WakeSend, CountsPerTarget) {
    struct Case {
        const char* targets;
        int count;
    };
    const Case cases[] = {
        {R"([{"mac":"aa:bb:cc:dd:ee:ff","bcast":"192.168.1.255"}])", 6},
        {R"([{"mac":"aa:bb:cc:dd:ee:ff"}])", 3},
        {R"([{"mac":"aa:bb:cc:dd:ee:ff","bcast":"fe80::1"}])", 3},
        {R"([{"mac":"aa:bb:cc:dd:ee:ff","bcast":7}])", 3},
        {R"([{"mac":"aa:bb:cc:dd:ee","bcast":"192.168.1.255"}])", 0},
        {R"([{"bcast":"192.168.1.255"}])", 0},
        {R"([{"mac":5}])", 0},
        {R"(["aa:bb:cc:dd:ee:ff"])", 0},
        {R"([])", 0},
        {R"({"mac":"aa:bb:cc:dd:ee:ff"})", 0},  // not an array
        {R"(null)", 0},
        {R"([{"mac":"aa:bb:cc:dd:ee:ff"},{"mac":"x"},{"mac":"11:22:33:44:55:66","bcast":"10.0.0.7"}])", 9},
    };
    for (const Case& c : cases) {
        SentDatagrams s;
        EXPECT_EQ(sendWakeOnLan(parsed(c.targets)), c.count) << c.targets;
        EXPECT_EQ(int(s.sent.size()), c.count) << c.targets;
    }
}

TEST(WakeSend, SubnetFirstThenEveryoneThreeTimesEachToPortNine) {
    SentDatagrams s;
    sendWakeOnLan(parsed(R"([{"mac":"01:02:03:04:05:06","bcast":"192.168.1.255"}])"));
    const Bytes packet = magicPacket({1, 2, 3, 4, 5, 6});
    const std::vector<Datagram> expected = {
        {0xC0A801FF, 9, packet}, {0xC0A801FF, 9, packet}, {0xC0A801FF, 9, packet},
        {0xFFFFFFFF, 9, packet}, {0xFFFFFFFF, 9, packet}, {0xFFFFFFFF, 9, packet},
    };
    EXPECT_EQ(s.sent, expected);
    EXPECT_EQ(s.calls, 1);  // one socket for the whole request
}

TEST(WakeSend, UsesAtMostThirtyTwoTargets) {
    Json targets;
    for (int i = 0; i < 40; ++i) {
        Json t;
        char mac[18];
        std::snprintf(mac, sizeof mac, "00:00:00:00:00:%02x", i);
        t.set("mac", std::string(mac));
        targets.push(t);
    }
    SentDatagrams s;
    EXPECT_EQ(sendWakeOnLan(targets), 32 * 3);
    EXPECT_EQ(s.sent.back().data[6 + 5], 31);
}

TEST(WakeSend, CountIsWhatTheSenderReports) {
    ScopedHostHooks hooks;
    hooks->sendDatagrams = [](const std::vector<Datagram>&) { return 0; };  // no socket
    EXPECT_EQ(sendWakeOnLan(parsed(R"([{"mac":"aa:bb:cc:dd:ee:ff"}])")), 0);
    int calls = 0;
    hooks->sendDatagrams = [&](const std::vector<Datagram>&) { return ++calls; };
    EXPECT_EQ(sendWakeOnLan(parsed("[]")), 0);
    EXPECT_EQ(calls, 0);  // nothing to send, no socket opened
}

}  // namespace
