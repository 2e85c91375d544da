#include "net/socket.h"

#include <climits>
#include <cstring>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <iphlpapi.h>

#include "core/text.h"
#else
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
int mapErrno(int e) {
    switch (e) {
    case EACCES: return kErrAccess;
    case EAGAIN: return kErrWouldBlock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return kErrWouldBlock;
#endif
    case EINPROGRESS: return kErrInProgress;
    case EADDRINUSE: return kErrAddrInUse;
    case EADDRNOTAVAIL: return 10049;
    case ENETUNREACH: return 10051;
    case ECONNABORTED: return kErrConnAborted;
    case ECONNRESET: return kErrConnReset;
    case ETIMEDOUT: return kErrTimedOut;
    case ECONNREFUSED: return kErrConnRefused;
    case EHOSTUNREACH: return 10065;
    case ENOTCONN: return 10057;
    case EPIPE: return 10058;  // sending after shutdown
    default: return e;
    }
}
thread_local int tlsLastError = 0;
void remember(int e) { tlsLastError = mapErrno(e); }
#endif

}  // namespace

int SockAddr::family() const {
    if (length <= 0) return 0;
    sockaddr_storage ss{};
    std::memcpy(&ss, storage, size_t(length) < sizeof ss ? size_t(length) : sizeof ss);
    if (ss.ss_family == AF_INET) return kFamilyV4;
    if (ss.ss_family == AF_INET6) return kFamilyV6;
    return 0;
}

static_assert(sizeof(SockAddr::storage) >= sizeof(sockaddr_storage));

bool socketStartup() {
#ifdef _WIN32
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
#else
    return true;
#endif
}

int socketLastError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return tlsLastError;
#endif
}

std::vector<SockAddr> resolveTcp(const std::string& host, int port, bool ipv4Only) {
    std::vector<SockAddr> out;
    addrinfo hints{};
    hints.ai_family = ipv4Only ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || !list) return out;
    for (addrinfo* a = list; a; a = a->ai_next) {
        if (!a->ai_addr || a->ai_addrlen == 0 || size_t(a->ai_addrlen) > sizeof(SockAddr::storage)) continue;
        SockAddr sa;
        std::memcpy(sa.storage, a->ai_addr, a->ai_addrlen);
        sa.length = int(a->ai_addrlen);
        out.push_back(sa);
    }
    freeaddrinfo(list);
    return out;
}

SocketHandle socketOpenTcp(int family) {
    int af = family == kFamilyV6 ? AF_INET6 : AF_INET;
#ifdef _WIN32
    SOCKET s = ::socket(af, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? kInvalidSocket : SocketHandle(s);
#else
    int s = ::socket(af, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) {
        remember(errno);
        return kInvalidSocket;
    }
    return s;
#endif
}

void socketClose(SocketHandle s) {
    if (s == kInvalidSocket) return;
#ifdef _WIN32
    closesocket(SOCKET(s));
#else
    ::close(s);
#endif
}

void socketShutdownBoth(SocketHandle s) {
    if (s == kInvalidSocket) return;
#ifdef _WIN32
    ::shutdown(SOCKET(s), SD_BOTH);
#else
    ::shutdown(s, SHUT_RDWR);
#endif
}

bool socketSetNonBlocking(SocketHandle s, bool on) {
#ifdef _WIN32
    u_long mode = on ? 1 : 0;
    return ioctlsocket(SOCKET(s), FIONBIO, &mode) == 0;
#else
    int mode = on ? 1 : 0;
    if (ioctl(s, FIONBIO, &mode) == 0) return true;
    remember(errno);
    return false;
#endif
}

namespace {
int setInt(SocketHandle s, int level, int name, int value) {
#ifdef _WIN32
    return setsockopt(SOCKET(s), level, name, reinterpret_cast<const char*>(&value), sizeof value);
#else
    int r = setsockopt(s, level, name, &value, sizeof value);
    if (r != 0) remember(errno);
    return r;
#endif
}
}  // namespace

void socketApplyStreamOptions(SocketHandle s) {
    setInt(s, IPPROTO_TCP, TCP_NODELAY, 1);
    setInt(s, SOL_SOCKET, SO_KEEPALIVE, 1);
    setInt(s, SOL_SOCKET, SO_SNDBUF, 1048576);
    setInt(s, SOL_SOCKET, SO_RCVBUF, 1048576);
#ifdef _WIN32
    tcp_keepalive ka{};
    ka.onoff = 1;
    ka.keepalivetime = 15000;
    ka.keepaliveinterval = 5000;
    DWORD returned = 0;
    WSAIoctl(SOCKET(s), SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &returned, nullptr, nullptr);
#else
    setInt(s, IPPROTO_TCP, TCP_KEEPIDLE, 15);
    setInt(s, IPPROTO_TCP, TCP_KEEPINTVL, 5);
#endif
}

bool socketSetReuseAddress(SocketHandle s) { return setInt(s, SOL_SOCKET, SO_REUSEADDR, 1) == 0; }

bool socketSetReusePort(SocketHandle s) {
    bool ok = socketSetReuseAddress(s);
#ifndef _WIN32
    ok = setInt(s, SOL_SOCKET, SO_REUSEPORT, 1) == 0 && ok;
#endif
    return ok;
}

bool socketSetV6Only(SocketHandle s, bool on) { return setInt(s, IPPROTO_IPV6, IPV6_V6ONLY, on ? 1 : 0) == 0; }

bool socketBind(SocketHandle s, int family, int port, bool loopback) {
    int r;
    if (family == kFamilyV6) {
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(uint16_t(port));
        a.sin6_addr = loopback ? in6addr_loopback : in6addr_any;
#ifdef _WIN32
        r = bind(SOCKET(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
#else
        r = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
#endif
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
#ifdef _WIN32
        r = bind(SOCKET(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
#else
        r = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
#endif
    }
#ifndef _WIN32
    if (r != 0) remember(errno);
#endif
    return r == 0;
}

bool socketBindTo(SocketHandle s, const SockAddr& addr) {
#ifdef _WIN32
    return bind(SOCKET(s), reinterpret_cast<const sockaddr*>(addr.storage), addr.length) == 0;
#else
    if (bind(s, reinterpret_cast<const sockaddr*>(addr.storage), socklen_t(addr.length)) == 0) return true;
    remember(errno);
    return false;
#endif
}

bool socketListen(SocketHandle s, int backlog) {
#ifdef _WIN32
    return listen(SOCKET(s), backlog) == 0;
#else
    if (listen(s, backlog) == 0) return true;
    remember(errno);
    return false;
#endif
}

SocketHandle socketAccept(SocketHandle s, SockAddr* peer) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
#ifdef _WIN32
    SOCKET c = accept(SOCKET(s), reinterpret_cast<sockaddr*>(&ss), &len);
    if (c == INVALID_SOCKET) return kInvalidSocket;
    SocketHandle out = SocketHandle(c);
#else
    int c = accept4(s, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC);
    if (c < 0) {
        remember(errno);
        return kInvalidSocket;
    }
    SocketHandle out = c;
#endif
    if (peer) {
        std::memcpy(peer->storage, &ss, sizeof ss);
        peer->length = int(len);
    }
    return out;
}

int socketConnect(SocketHandle s, const SockAddr& addr) {
#ifdef _WIN32
    if (connect(SOCKET(s), reinterpret_cast<const sockaddr*>(addr.storage), addr.length) == 0) return 0;
    return WSAGetLastError();
#else
    if (connect(s, reinterpret_cast<const sockaddr*>(addr.storage), socklen_t(addr.length)) == 0) return 0;
    remember(errno);
    return tlsLastError;
#endif
}

int socketPendingError(SocketHandle s) {
    int value = 0;
    socklen_t len = sizeof value;
#ifdef _WIN32
    if (getsockopt(SOCKET(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &len) != 0) return -1;
    return value;
#else
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return -1;
    return value == 0 ? 0 : mapErrno(value);
#endif
}

int socketPoll(SocketHandle s, bool forWrite, int timeoutMs) {
    if (timeoutMs < 0) timeoutMs = -1;
#ifdef _WIN32
    WSAPOLLFD p{};
    p.fd = SOCKET(s);
    p.events = forWrite ? POLLWRNORM : POLLRDNORM;
    int r = WSAPoll(&p, 1, timeoutMs);
    if (r < 0) return -1;
    return r > 0 && p.revents != 0 ? 1 : 0;
#else
    pollfd p{};
    p.fd = s;
    p.events = forWrite ? POLLOUT : POLLIN;
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;  // the caller's slices bound the wait anyway
        if (r < 0) {
            remember(errno);
            return -1;
        }
        return r > 0 && p.revents != 0 ? 1 : 0;
    }
#endif
}

int64_t socketSend(SocketHandle s, const uint8_t* data, size_t length) {
    if (length > size_t(INT_MAX)) length = size_t(INT_MAX);
#ifdef _WIN32
    int r = send(SOCKET(s), reinterpret_cast<const char*>(data), int(length), 0);
    return r == SOCKET_ERROR ? -1 : r;
#else
    for (;;) {
        ssize_t r = ::send(s, data, length, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) remember(errno);
        return r;
    }
#endif
}

int64_t socketRecv(SocketHandle s, uint8_t* data, size_t length) {
    if (length > size_t(INT_MAX)) length = size_t(INT_MAX);
#ifdef _WIN32
    int r = recv(SOCKET(s), reinterpret_cast<char*>(data), int(length), 0);
    return r == SOCKET_ERROR ? -1 : r;
#else
    for (;;) {
        ssize_t r = ::recv(s, data, length, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) remember(errno);
        return r;
    }
#endif
}

int socketLocalPort(SocketHandle s) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
#ifdef _WIN32
    if (getsockname(SOCKET(s), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
#else
    if (getsockname(s, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return 0;
#endif
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return 0;
}

bool socketNumericName(const SockAddr& addr, std::string& host, std::string& service) {
    char h[NI_MAXHOST] = {};
    char sv[NI_MAXSERV] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(addr.storage), socklen_t(addr.length), h, sizeof h, sv,
                    sizeof sv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return false;
    host = h;
    service = sv;
    return true;
}

std::string socketHostName() {
#ifdef _WIN32
    // gethostname gives the name in the ANSI code page; the announcement and the peer address
    // string need UTF-8.
    wchar_t wide[256] = {};
    DWORD size = 256;
    if (GetComputerNameExW(ComputerNameDnsHostname, wide, &size) && size > 0)
        return wideToUtf8(std::wstring(wide, size));
#endif
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) name[0] = 0;
    return name;
}

std::vector<std::string> socketInterfaceIPv4Addresses() {
    std::vector<std::string> out;
    for (const auto& subnet : socketInterfaceIPv4Subnets()) out.push_back(subnet.first);
    return out;
}

std::vector<std::pair<std::string, int>> socketInterfaceIPv4Subnets() {
    std::vector<std::pair<std::string, int>> out;
#ifdef _WIN32
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16384;
    std::vector<unsigned char> buffer(size, 0);
    ULONG rc = GetAdaptersAddresses(AF_INET, flags, nullptr,
                                    reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    if (rc == ERROR_BUFFER_OVERFLOW && size > buffer.size()) buffer.assign(size, 0);
    size = ULONG(buffer.size());
    rc = GetAdaptersAddresses(AF_INET, flags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                              &size);
    if (rc != NO_ERROR) return out;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); a; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* u = a->FirstUnicastAddress; u; u = u->Next) {
            char host[64] = {};
            if (getnameinfo(u->Address.lpSockaddr, u->Address.iSockaddrLength, host, sizeof host, nullptr, 0,
                            NI_NUMERICHOST) == 0)
                out.emplace_back(host, int(u->OnLinkPrefixLength));
        }
    }
#else
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET) continue;
        if (!(a->ifa_flags & IFF_UP) || (a->ifa_flags & IFF_LOOPBACK)) continue;
        char host[64] = {};
        auto* in = reinterpret_cast<sockaddr_in*>(a->ifa_addr);
        if (!inet_ntop(AF_INET, &in->sin_addr, host, sizeof host)) continue;
        int prefix = 0;
        if (a->ifa_netmask && a->ifa_netmask->sa_family == AF_INET) {
            uint32_t mask = ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
            while (prefix < 32 && (mask & (0x80000000u >> prefix))) ++prefix;
        }
        out.emplace_back(host, prefix);
    }
    freeifaddrs(list);
#endif
    return out;
}
