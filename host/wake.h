// Wake-on-LAN: this PC's wake targets for the viewer to keep, and the magic packets that wake a
// sleeping PC on this PC's network.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/json.h"
#include "core/util.h"
#include "host/hooks.h"

using MacAddress = std::array<uint8_t, 6>;

inline constexpr uint16_t kWakePort = 9;
// Elements of a wake request that are used; the rest are ignored.
inline constexpr size_t kMaxWakeTargets = 32;

// The first six hexadecimal pairs of the text, whatever separates them: "aa:bb:cc:dd:ee:ff",
// "AA-BB-CC-DD-EE-FF" and "aabbccddeeff" read alike; a lone digit before a separator is one byte
// ("a:b:c:d:e:f" is 0a 0b 0c 0d 0e 0f). Nothing when fewer than six bytes are found.
std::optional<MacAddress> parseMac(const std::string& text);
// Six bytes 0xFF, then the address sixteen times: 102 bytes.
Bytes magicPacket(const MacAddress& mac);

// Dotted-decimal IPv4 text, strictly (four parts of 0..255 without leading zeros), as inet_pton
// reads it; the address in host byte order.
bool parseIpv4(const std::string& text, uint32_t& address);
std::string ipv4Text(uint32_t address);

// One network adapter as the system lists it.
struct AdapterRecord {
    static constexpr uint32_t kEthernet = 6;
    static constexpr uint32_t kWireless = 71;
    struct Address {
        uint32_t ipv4 = 0;  // host byte order
        int prefixLength = 0;
    };
    bool up = false;
    uint32_t interfaceType = 0;
    Bytes hardwareAddress;
    std::vector<Address> addresses;  // IPv4 unicast addresses in the system's order
};

// {"mac", "bcast"} for every IPv4 address (prefix 1..30) of every Ethernet or wireless adapter
// that is up and has a 6-byte hardware address, in the system's order.
Json wakeTargetsFromAdapters(const std::vector<AdapterRecord>& adapters);
// This PC's wake targets; an empty array when the adapters cannot be read.
Json localWakeTargets();

// For each usable target among the first kMaxWakeTargets: the magic packet three times to its
// "bcast" (when that is an IPv4 address), then three times to 255.255.255.255, all to port 9.
std::vector<Datagram> wakeDatagrams(const Json& targets);
// Sends wakeDatagrams(targets) through hostHooks(); returns how many datagrams went out whole.
int sendWakeOnLan(const Json& targets);

#ifdef _WIN32
// The real datagram sender behind hostHooks().
int sendDatagramsUdp(const std::vector<Datagram>& datagrams);
#endif
