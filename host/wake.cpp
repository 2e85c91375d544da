#include "host/wake.h"

#include <algorithm>
#include <cstdio>

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr uint32_t kLimitedBroadcast = 0xFFFFFFFFu;  // 255.255.255.255

}  // namespace

std::optional<MacAddress> parseMac(const std::string& text) {
    MacAddress mac{};
    size_t found = 0;
    size_t i = 0;
    while (found < mac.size() && i < text.size()) {
        const int high = hexValue(text[i]);
        if (high < 0) {
            ++i;
            continue;
        }
        // A pair, or one digit when the next character is not a digit (or there is none).
        const int low = i + 1 < text.size() ? hexValue(text[i + 1]) : -1;
        mac[found++] = uint8_t(low < 0 ? high : high * 16 + low);
        i += 2;
    }
    if (found < mac.size()) return std::nullopt;
    return mac;
}

Bytes magicPacket(const MacAddress& mac) {
    Bytes packet(6, 0xFF);
    packet.reserve(6 + 16 * mac.size());
    for (int i = 0; i < 16; ++i) packet.insert(packet.end(), mac.begin(), mac.end());
    return packet;
}

bool parseIpv4(const std::string& text, uint32_t& address) {
    uint32_t value = 0;
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t start = i;
        uint32_t part = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) part = part * 10 + uint32_t(text[i++] - '0');
        const size_t digits = i - start;
        if (digits == 0 || part > 255 || (digits > 1 && text[start] == '0')) return false;
        value = (value << 8) | part;
        if (++parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    if (i != text.size()) return false;
    address = value;
    return true;
}

std::string ipv4Text(uint32_t address) {
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
           std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

Json wakeTargetsFromAdapters(const std::vector<AdapterRecord>& adapters) {
    Json targets;
    targets.tag = Json::kArray;
    for (const AdapterRecord& a : adapters) {
        if (!a.up || a.hardwareAddress.size() != 6) continue;
        if (a.interfaceType != AdapterRecord::kEthernet && a.interfaceType != AdapterRecord::kWireless) continue;
        const uint8_t* m = a.hardwareAddress.data();
        char mac[18];
        std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
        for (const AdapterRecord::Address& address : a.addresses) {
            // /31 and /32 have no broadcast address of their own.
            if (address.prefixLength < 1 || address.prefixLength > 30) continue;
            Json target;
            target.set("mac", std::string(mac));
            target.set("bcast", ipv4Text(address.ipv4 | (0xFFFFFFFFu >> address.prefixLength)));
            targets.push(std::move(target));
        }
    }
    return targets;
}

std::vector<Datagram> wakeDatagrams(const Json& targets) {
    std::vector<Datagram> out;
    if (!targets.isArray()) return out;
    const size_t n = std::min(targets.items.size(), kMaxWakeTargets);
    for (size_t t = 0; t < n; ++t) {
        const Json& target = targets.items[t];
        const std::optional<MacAddress> mac = parseMac(target.get("mac").asString());
        if (!mac) continue;
        const Bytes packet = magicPacket(*mac);
        std::vector<uint32_t> destinations;
        uint32_t address = 0;
        if (parseIpv4(target.get("bcast").asString(), address)) destinations.push_back(address);
        destinations.push_back(kLimitedBroadcast);
        for (uint32_t d : destinations)
            for (int copy = 0; copy < 3; ++copy) out.push_back({d, kWakePort, packet});
    }
    return out;
}

int sendWakeOnLan(const Json& targets) {
    const std::vector<Datagram> datagrams = wakeDatagrams(targets);
    if (datagrams.empty()) return 0;
    return hostHooks().sendDatagrams(datagrams);
}
