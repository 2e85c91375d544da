// Numeric IP addresses as the host judges them: whose source an accepted connection counts
// against, and which addresses a peer may ask it to dial.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct IpAddress {
    bool v6 = false;
    uint8_t bytes[16] = {};  // IPv4 in the first four
};

// A numeric IPv4 or IPv6 address (a zone suffix after '%' is dropped; an IPv4-mapped IPv6
// address reads as IPv4). False for names and anything else.
bool parseIpAddress(const std::string& text, IpAddress& out);

// What admission counts one source by: an IPv6 address by its /64 (one site is given a whole
// /64 and may pick any address of it), anything else by its text.
std::string admissionSource(const std::string& host);

struct IpSubnet {
    IpAddress network;
    int prefixLength = 0;
};

bool inSubnet(const IpAddress& address, const IpSubnet& subnet);
// Addresses no peer may have the host dial: loopback, unspecified, multicast, broadcast (also
// the directed broadcast of a subnet given), and IPv4 "this network" and reserved ones.
bool isUndialable(const IpAddress& address, const std::vector<IpSubnet>& subnets);

// The host side of a punch: of the peer addresses the relay reported ("peer" first, where the
// relay saw the peer; then the peer's own claimed local ones), those the host dials. The first
// is dialled when it is dialable; the claimed ones only inside one of the host's own on-link
// subnets. Each address once, with the first port given for it.
std::vector<std::string> punchDialTargets(const std::vector<std::string>& peers, const std::vector<IpSubnet>& onLink);
