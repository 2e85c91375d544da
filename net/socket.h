// The few TCP socket calls the program makes, over Winsock on Windows and POSIX sockets
// elsewhere, so that the connection code above them is the same on both.
// Platform headers stay inside socket.cpp; callers see plain integers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
using SocketHandle = uintptr_t;  // SOCKET
#else
using SocketHandle = int;
#endif
inline constexpr SocketHandle kInvalidSocket = SocketHandle(-1);

// Error numbers are reported in Winsock's numbering on every platform, so that log lines
// and decisions read the same; POSIX errno values without a Winsock twin pass unchanged.
inline constexpr int kErrAccess = 10013;
inline constexpr int kErrWouldBlock = 10035;
inline constexpr int kErrInProgress = 10036;
inline constexpr int kErrAddrInUse = 10048;
inline constexpr int kErrConnAborted = 10053;
inline constexpr int kErrConnReset = 10054;
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrConnRefused = 10061;

// Address families as the socket layer names them.
inline constexpr int kFamilyV4 = 4;
inline constexpr int kFamilyV6 = 6;

// A socket address of either family, as returned by the resolver or by accept.
struct SockAddr {
    alignas(8) uint8_t storage[128] = {};
    int length = 0;
    int family() const;  // kFamilyV4, kFamilyV6 or 0
};

// Winsock 2.2 start-up (nothing to do elsewhere). True when the library is usable.
bool socketStartup();
// The calling thread's last socket error, in Winsock numbering.
int socketLastError();

// Stream addresses for host and port; only IPv4 ones when ipv4Only. Empty on failure.
std::vector<SockAddr> resolveTcp(const std::string& host, int port, bool ipv4Only);

SocketHandle socketOpenTcp(int family);
void socketClose(SocketHandle s);
void socketShutdownBoth(SocketHandle s);
bool socketSetNonBlocking(SocketHandle s, bool on);
// No delay, keep-alive (15 s idle, 5 s interval), 1 MiB send and receive buffers; results ignored.
void socketApplyStreamOptions(SocketHandle s);
bool socketSetReuseAddress(SocketHandle s);
// Lets several sockets (dialling ones and a listening one) share one local port, as hole punching
// needs: SO_REUSEADDR on Windows; elsewhere SO_REUSEPORT as well, without which a listening
// socket keeps every other socket off its port.
bool socketSetReusePort(SocketHandle s);
bool socketSetV6Only(SocketHandle s, bool on);

// Binds to the wildcard address of the family (or 127.0.0.1 when loopback) and the port.
bool socketBind(SocketHandle s, int family, int port, bool loopback);
// Binds to the given address (its port included).
bool socketBindTo(SocketHandle s, const SockAddr& addr);
bool socketListen(SocketHandle s, int backlog);
// kInvalidSocket on failure (see socketLastError); peer receives the remote address.
SocketHandle socketAccept(SocketHandle s, SockAddr* peer);
// 0 when connected at once, else the error (kErrWouldBlock / kErrInProgress while pending).
int socketConnect(SocketHandle s, const SockAddr& addr);
// The socket's pending error (SO_ERROR), in Winsock numbering; -1 when it cannot be read.
int socketPendingError(SocketHandle s);

// Waits for the socket to become readable (or writable). 1 when ready (including error or
// hang-up conditions, which the next call reports), 0 on time-out, -1 when the wait failed.
// A negative time-out waits without limit.
int socketPoll(SocketHandle s, bool forWrite, int timeoutMs);

// Bytes moved, or -1 with socketLastError() set (kErrWouldBlock when nothing was ready).
// A receive of 0 is the end of the stream. Sending never raises a signal.
int64_t socketSend(SocketHandle s, const uint8_t* data, size_t length);
int64_t socketRecv(SocketHandle s, uint8_t* data, size_t length);

int socketLocalPort(SocketHandle s);  // 0 on error
// Numeric host (no brackets, zone suffix where the system gives one) and port text.
bool socketNumericName(const SockAddr& addr, std::string& host, std::string& service);
std::string socketHostName();
// Numeric IPv4 addresses of the interfaces that are up, other than loopback ones, in order.
std::vector<std::string> socketInterfaceIPv4Addresses();
// The same addresses, each with the length of its on-link prefix.
std::vector<std::pair<std::string, int>> socketInterfaceIPv4Subnets();
