// The system's side of wake-on-LAN: the adapter list and the UDP socket.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include "host/wake.h"
#include "net/framed.h"

Json localWakeTargets() {
    const ULONG flags = GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER | GAA_FLAG_INCLUDE_PREFIX;
    // ULONGLONG keeps the records the call writes into the buffer aligned.
    std::vector<ULONGLONG> buffer(16384 / sizeof(ULONGLONG), 0);
    ULONG size = ULONG(buffer.size() * sizeof(ULONGLONG));
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    ULONG rc = GetAdaptersAddresses(AF_INET, flags, nullptr, first, &size);
    if (rc == ERROR_BUFFER_OVERFLOW) {
        buffer.assign(size / sizeof(ULONGLONG) + 1, 0);
        size = ULONG(buffer.size() * sizeof(ULONGLONG));
        first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
        rc = GetAdaptersAddresses(AF_INET, flags, nullptr, first, &size);
    }
    if (rc != NO_ERROR) return wakeTargetsFromAdapters({});

    std::vector<AdapterRecord> adapters;
    for (IP_ADAPTER_ADDRESSES* a = first; a; a = a->Next) {
        AdapterRecord record;
        record.up = a->OperStatus == IfOperStatusUp;
        record.interfaceType = a->IfType;
        record.hardwareAddress.assign(a->PhysicalAddress, a->PhysicalAddress + a->PhysicalAddressLength);
        for (IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u; u = u->Next) {
            const SOCKADDR* sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET) continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(sa);
            record.addresses.push_back({ntohl(in->sin_addr.s_addr), int(u->OnLinkPrefixLength)});
        }
        adapters.push_back(std::move(record));
    }
    return wakeTargetsFromAdapters(adapters);
}

int sendDatagramsUdp(const std::vector<Datagram>& datagrams) {
    ensureWinsock();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) return 0;
    BOOL on = TRUE;
    setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
    int sent = 0;
    for (const Datagram& d : datagrams) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(d.port);
        to.sin_addr.s_addr = htonl(d.address);
        const int n = sendto(s, reinterpret_cast<const char*>(d.data.data()), int(d.data.size()), 0,
                             reinterpret_cast<const sockaddr*>(&to), sizeof to);
        if (n >= 0 && size_t(n) == d.data.size()) ++sent;
    }
    closesocket(s);
    return sent;
}
