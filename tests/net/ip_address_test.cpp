#include "net/ip_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

IpSubnet subnet(const std::string& network, int prefix) {
    IpSubnet s;
    EXPECT_TRUE(parseIpAddress(network, s.network)) << network;
    s.prefixLength = prefix;
    return s;
}

}  // namespace

TEST(AdmissionSource, IPv6CountsByItsSlash64) {
    struct Row {
        const char* a;
        const char* b;
        bool same;
    };
    const std::vector<Row> rows = {
        {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:fffe", true},
        {"2001:db8:1:2::1", "2001:0db8:0001:0002:0:0:0:9", true},
        {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
        {"fe80::1%3", "fe80::2%7", true},
        {"::1", "::1", true},
        {"127.0.0.1", "127.0.0.2", false},  // IPv4 addresses stay one source each
        {"10.0.0.1", "10.0.0.1", true},
        {"2001:db8::1", "10.0.0.1", false},
    };
    for (const Row& r : rows)
        EXPECT_EQ(admissionSource(r.a) == admissionSource(r.b), r.same) << r.a << " / " << r.b;
    EXPECT_EQ(admissionSource("192.168.1.7"), "192.168.1.7");
    EXPECT_EQ(admissionSource("not an address"), "not an address");
}

TEST(IpAddressParse, NumericFormsOnly) {
    IpAddress a;
    EXPECT_TRUE(parseIpAddress("::ffff:10.1.2.3", a));
    EXPECT_FALSE(a.v6);  // mapped IPv4 reads as IPv4
    EXPECT_EQ(a.bytes[0], 10);
    EXPECT_EQ(a.bytes[3], 3);
    EXPECT_TRUE(parseIpAddress("1:2:3:4:5:6:7:8", a));
    EXPECT_TRUE(a.v6);
    EXPECT_EQ(a.bytes[15], 8);
    for (const char* bad : {"", "host.example", "1.2.3", "1.2.3.256", "01.2.3.4", "1::2::3", "1:2:3:4:5:6:7:8:9"})
        EXPECT_FALSE(parseIpAddress(bad, a)) << bad;
}

TEST(PunchDialTargets, OnlyTheRelaysPeerAndClaimedAddressesOnTheHostsOwnSubnets) {
    const std::vector<IpSubnet> onLink = {subnet("192.168.1.0", 24), subnet("10.20.0.0", 16)};
    struct Row {
        const char* what;
        std::vector<std::string> peers;  // "peer" first, then the claimed local ones
        std::vector<std::string> dialled;
    };
    const std::vector<Row> rows = {
        {"public peer and an on-link local one",
         {"203.0.113.7:5000", "192.168.1.20:6000", "10.20.3.4:6000"},
         {"203.0.113.7:5000", "192.168.1.20:6000", "10.20.3.4:6000"}},
        {"claimed addresses outside the host's subnets",
         {"203.0.113.7:5000", "192.168.2.20:6000", "10.21.0.1:22", "8.8.8.8:53"},
         {"203.0.113.7:5000"}},
        {"one port per address",
         {"203.0.113.7:5000", "192.168.1.20:22", "192.168.1.20:445", "192.168.1.21:80", "203.0.113.7:5001"},
         {"203.0.113.7:5000", "192.168.1.20:22", "192.168.1.21:80"}},
        {"loopback, unspecified, multicast and broadcast, wherever they come",
         {"127.0.0.1:5000", "127.0.0.1:6000", "0.0.0.0:1", "224.0.0.251:5353", "255.255.255.255:9",
          "192.168.1.255:9", "10.20.255.255:9", "[::1]:1", "[::]:1", "[ff02::1]:1", "[::ffff:127.0.0.1]:1"},
         {}},
        {"IPv6 claims (no on-link IPv6 subnet is known) and names",
         {"[2001:db8::5]:7000", "[fe80::1]:7000", "router.local:80", "192.168.1.30:7000"},
         {"[2001:db8::5]:7000", "192.168.1.30:7000"}},
    };
    for (const Row& r : rows) EXPECT_EQ(punchDialTargets(r.peers, onLink), r.dialled) << r.what;
    // Without a known subnet only the relay's view of the peer is dialled.
    EXPECT_EQ(punchDialTargets({"203.0.113.7:5000", "192.168.1.20:6000"}, {}),
              std::vector<std::string>{"203.0.113.7:5000"});
}
