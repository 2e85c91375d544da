// One TCP connection carrying length-prefixed frames or newline-terminated text lines,
// and the helpers around it: socket start-up, dialling, listening and host:port text.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/util.h"
#include "net/route.h"
#include "net/socket.h"

// Read failures (thrown as ProtoError).
extern const char* const kTimedOut;       // "시간 초과"
extern const char* const kConnClosed;     // "연결이 닫혔습니다"
extern const char* const kFrameTooLarge;  // "너무 큰 묶음"
extern const char* const kLineTooLong;    // "너무 긴 줄"

// How long a blocked wait sleeps before it looks at the closed flag again. Shutting a socket
// down does not wake a blocked call everywhere, so waits are cut into slices this long.
inline constexpr int kWaitSliceMs = 50;

// How long a send may wait without the peer taking a single byte before the connection is given
// up: a peer that stops reading must not hold a sending thread (and every lock it holds) forever.
inline constexpr int kSendStallMs = 30000;
// The slowest pace a frame may go out at: each frame must be taken within the stall time plus
// its size at this rate, so that a peer taking a little now and then cannot hold a sender either.
inline constexpr int64_t kSendMinBytesPerSecond = 65536;

void initWinsock();
void ensureWinsock();

class FramedConn {
public:
    // Takes ownership of a connected socket. peerAddress is "host:port" of the remote end.
    FramedConn(SocketHandle socket, std::string peerAddress);
    ~FramedConn();
    FramedConn(const FramedConn&) = delete;
    FramedConn& operator=(const FramedConn&) = delete;

    // How the connection was made (net/route.h); direct unless the relay or hole punching says
    // otherwise.
    std::string route = kRouteDirect;

    const std::string& peerAddress() const { return peerAddress_; }
    bool isClosed() const { return closed_.load() != 0; }

    // Marks the connection closed and shuts the socket down; wakes a blocked reader or writer
    // within one wait slice. Safe from any thread, any number of times.
    void shutdown();

    // Sends everything or returns false (the connection is then closed). Not locked. When the
    // peer takes no byte for the stall time, or not all of them within the stall time plus their
    // size at the minimum rate, the connection is shut down and marked stalled.
    bool sendAll(const uint8_t* data, size_t length);
    // True once a send gave up because the peer stopped taking bytes.
    bool sendStalled() const { return sendStalled_.load(); }
    // The stall time of later waits, in ms (kSendStallMs unless changed; tests shorten it).
    void setSendStallMs(int ms) { sendStallMs_.store(ms); }
    // The minimum rate of later sends, in bytes per second (kSendMinBytesPerSecond unless changed).
    void setSendMinRate(int64_t bytesPerSecond) { sendMinRate_.store(std::max<int64_t>(1, bytesPerSecond)); }
    // One whole frame (4-byte big-endian length, then the payload) under the send mutex.
    bool sendFrame(ByteSpan payload);
    // The text and a line feed, in one piece, under the send mutex.
    bool sendLine(const std::string& text);

    // Receives more bytes into the buffer. False when the connection is closed; throws
    // ProtoError "시간 초과" when nothing arrives within timeoutMs (negative: no limit).
    bool fill(int timeoutMs);
    // The next frame's payload; throws "너무 큰 묶음" (and shuts down) when it announces more
    // than maxLength, "시간 초과", or "연결이 닫혔습니다".
    Bytes readFrame(size_t maxLength, int timeoutMs);
    // The next line without its line feed; throws "너무 긴 줄" (and shuts down) when the line
    // is longer than maxLength, "시간 초과", or "연결이 닫혔습니다".
    std::string readLine(size_t maxLength, int timeoutMs);
    // True when unread bytes are buffered or arrive within timeoutMs (or the connection closed,
    // so that the next read reports it).
    bool waitReadable(int timeoutMs);
    // Bytes (or the end of the stream) wait in the socket, not yet received. Unlike the reads,
    // safe from any thread while another one reads.
    bool peerBytesWaiting() const;

    int localPort() const;

    // Bytes the receive buffer holds on to, read or not (for the reading thread).
    size_t receiveBufferBytes() const { return buffer_.capacity(); }

private:
    // Receive buffer whose growth does not zero the new space: receives write straight into it.
    struct Byte {
        uint8_t v;
        Byte() {}  // left uninitialised on purpose
    };
    size_t unread() const { return buffer_.size() - offset_; }
    const uint8_t* unreadData() const { return reinterpret_cast<const uint8_t*>(buffer_.data()) + offset_; }
    int remainingMs(int64_t deadline) const;
    // Gives back what one unusually large frame or line made the buffer grow, once it is read.
    void trimBuffer();
    // When `length` bytes started now must all have been taken (nowNanos).
    int64_t sendDeadline(size_t length) const;
    // sendAll with the whole-send deadline given, so that a frame's header and payload share one.
    bool sendBy(const uint8_t* data, size_t length, int64_t whole);

    SocketHandle socket_;
    std::string peerAddress_;
    std::mutex sendMutex_;
    std::vector<Byte> buffer_;
    size_t offset_ = 0;
    size_t lineScanned_ = 0;  // unread bytes already known to hold no line feed
    std::atomic<uint8_t> closed_{0};
    std::atomic<int> sendStallMs_{kSendStallMs};
    std::atomic<int64_t> sendMinRate_{kSendMinBytesPerSecond};
    std::atomic<bool> sendStalled_{false};
};

// The calling thread's last connect error (a failed bind's error, or the SO_ERROR of an
// attempt whose wait ended), in Winsock numbering.
int lastConnectError();
void clearLastConnectError();

// Dials host:port within timeoutMs over all resolved addresses; binds to localPort (with
// address reuse when asked) first when localPort > 0 or reuseAddress. Empty on failure.
// *refused is cleared, then set when any attempt was refused.
std::shared_ptr<FramedConn> connectTcp(const std::string& host, int port, int timeoutMs, int localPort = 0,
                                       bool reuseAddress = false, bool* refused = nullptr);

// The host's listening socket.
class ListenSocket {
public:
    ListenSocket() = default;
    ~ListenSocket() { close(); }
    ListenSocket(const ListenSocket&) = delete;
    ListenSocket& operator=(const ListenSocket&) = delete;

    // Loopback only: IPv4 127.0.0.1. Otherwise dual-stack IPv6 on any address, else IPv4 any.
    bool open(int port, bool loopbackOnly);
    // The next connection; empty once the socket is closed (or accept fails for good).
    std::shared_ptr<FramedConn> accept();
    // Closes the socket; a thread waiting in accept returns empty within one wait slice.
    void close();
    int port() const { return port_.load(); }
    // False once close has run (or before a successful open).
    bool isOpen() const { return socket_.load() != kInvalidSocket; }

private:
    std::atomic<SocketHandle> socket_{kInvalidSocket};
    std::atomic<int> port_{0};
    std::mutex useMutex_;  // held while the socket is in use by accept, so close never pulls it away
};

// Splits "host:port" at the last ':' ("[v6]:port" loses its brackets). True only for a port of
// 1 to 65535; host and port are stored either way.
bool splitHostPort(const std::string& text, std::string& host, int& port);

// Four decimal numbers of 0 to 255 without leading zeros (which some resolvers read as octal).
bool isIpv4Literal(const std::string& text);
// Groups of one to four hex digits, at most one "::", optionally ending in a dotted quad; no zone.
bool isIpv6Literal(const std::string& text);

// Splits "host:port" like splitHostPort, but only for a numeric IPv4 or IPv6 host (brackets
// optional) and a plain decimal port of 1 to 65535: a name would start a lookup that no deadline
// bounds. For addresses that someone else reported (the relay); host and port are stored only on
// success.
bool splitNumericHostPort(const std::string& text, std::string& host, int& port);

// This PC's IPv4 addresses as numeric text, without loopback and link-local ones, each once, in
// adapter order.
std::vector<std::string> localIPv4Addresses();

std::string localHostName();
