#include "net/ip_address.h"

#include <cstring>

#include "net/framed.h"

namespace {

bool parseV4(const std::string& text, uint8_t* out) {
    if (!isIpv4Literal(text)) return false;
    size_t start = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = text.find('.', start);
        out[i] = uint8_t(std::stoi(text.substr(start, dot - start)));
        start = dot + 1;
    }
    return true;
}

bool parseV6(const std::string& text, uint8_t* out) {
    if (!isIpv6Literal(text)) return false;
    // Groups before and after the "::", each expanded to 16 bits; a trailing dotted quad fills two.
    std::vector<uint16_t> head, tail;
    std::vector<uint16_t>* into = &head;
    size_t start = 0;
    if (text.compare(0, 2, "::") == 0) {
        into = &tail;
        start = 2;
    }
    while (start < text.size()) {
        size_t colon = text.find(':', start);
        std::string part = text.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (part.find('.') != std::string::npos) {
            uint8_t q[4];
            if (!parseV4(part, q)) return false;
            into->push_back(uint16_t(q[0] << 8 | q[1]));
            into->push_back(uint16_t(q[2] << 8 | q[3]));
        } else if (!part.empty()) {
            into->push_back(uint16_t(std::stoul(part, nullptr, 16)));
        }
        if (colon == std::string::npos) break;
        start = colon + 1;
        if (start < text.size() && text[start] == ':') {
            into = &tail;
            ++start;
        }
    }
    if (head.size() + tail.size() > 8) return false;
    std::memset(out, 0, 16);
    for (size_t i = 0; i < head.size(); ++i) {
        out[2 * i] = uint8_t(head[i] >> 8);
        out[2 * i + 1] = uint8_t(head[i]);
    }
    for (size_t i = 0; i < tail.size(); ++i) {
        size_t at = 8 - tail.size() + i;
        out[2 * at] = uint8_t(tail[i] >> 8);
        out[2 * at + 1] = uint8_t(tail[i]);
    }
    return true;
}

bool isV4Mapped(const uint8_t* b) {
    static const uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return std::memcmp(b, prefix, 12) == 0;
}

std::string hexGroup(const uint8_t* b) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    unsigned value = unsigned(b[0]) << 8 | b[1];
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
        unsigned d = (value >> shift) & 0xf;
        if (d || started || shift == 0) {
            out += digits[d];
            started = true;
        }
    }
    return out;
}

}  // namespace

bool parseIpAddress(const std::string& text, IpAddress& out) {
    IpAddress a;
    if (parseV4(text, a.bytes)) {
        out = a;
        return true;
    }
    const std::string bare = text.substr(0, text.find('%'));
    if (!parseV6(bare, a.bytes)) return false;
    if (isV4Mapped(a.bytes)) {
        std::memmove(a.bytes, a.bytes + 12, 4);
        std::memset(a.bytes + 4, 0, 12);
    } else {
        a.v6 = true;
    }
    out = a;
    return true;
}

std::string admissionSource(const std::string& host) {
    IpAddress a;
    if (!parseIpAddress(host, a) || !a.v6) return host;
    std::string out;
    for (int g = 0; g < 4; ++g) out += hexGroup(a.bytes + 2 * g) + ":";
    return out + ":/64";
}

bool inSubnet(const IpAddress& address, const IpSubnet& subnet) {
    if (address.v6 != subnet.network.v6) return false;
    const int bits = address.v6 ? 128 : 32;
    const int prefix = subnet.prefixLength < 0 ? 0 : subnet.prefixLength > bits ? bits : subnet.prefixLength;
    for (int i = 0; i < prefix; ++i) {
        const int mask = 0x80 >> (i % 8);
        if ((address.bytes[i / 8] & mask) != (subnet.network.bytes[i / 8] & mask)) return false;
    }
    return true;
}

namespace {

bool hostBitsAllOnes(const IpAddress& a, const IpSubnet& s) {
    if (a.v6 || s.network.v6 || s.prefixLength >= 31 || s.prefixLength < 0 || !inSubnet(a, s)) return false;
    for (int i = s.prefixLength; i < 32; ++i)
        if (!(a.bytes[i / 8] & (0x80 >> (i % 8)))) return false;
    return true;
}

}  // namespace

bool isUndialable(const IpAddress& a, const std::vector<IpSubnet>& subnets) {
    const uint8_t* b = a.bytes;
    if (a.v6) {
        static const uint8_t zero[16] = {};
        const bool unspecified = std::memcmp(b, zero, 16) == 0;
        const bool loopback = std::memcmp(b, zero, 15) == 0 && b[15] == 1;
        return unspecified || loopback || b[0] == 0xff;
    }
    // 0.0.0.0/8 "this network", 127/8 loopback, 224/4 multicast, 240/4 reserved and broadcast.
    if (b[0] == 0 || b[0] == 127 || b[0] >= 224) return true;
    for (const IpSubnet& s : subnets)
        if (hostBitsAllOnes(a, s)) return true;
    return false;
}

std::vector<std::string> punchDialTargets(const std::vector<std::string>& peers, const std::vector<IpSubnet>& onLink) {
    std::vector<std::string> out;
    std::vector<std::string> dialled;  // hosts already given a port
    for (size_t i = 0; i < peers.size(); ++i) {
        std::string host;
        int port = 0;
        IpAddress address;
        if (!splitNumericHostPort(peers[i], host, port) || !parseIpAddress(host, address)) continue;
        if (isUndialable(address, onLink)) continue;
        bool local = false;
        for (const IpSubnet& s : onLink) local = local || inSubnet(address, s);
        if (i > 0 && !local) continue;
        const std::string key(reinterpret_cast<const char*>(address.bytes), address.v6 ? 16 : 4);
        bool seen = false;
        for (const auto& d : dialled) seen = seen || d == key;
        if (seen) continue;
        dialled.push_back(key);
        out.push_back(peers[i]);
    }
    return out;
}
