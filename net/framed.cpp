#include "net/framed.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/wire.h"

const char* const kTimedOut = "시간 초과";
const char* const kConnClosed = "연결이 닫혔습니다";
const char* const kFrameTooLarge = "너무 큰 묶음";
const char* const kLineTooLong = "너무 긴 줄";

namespace {

constexpr size_t kRecvStep = 262144;          // bytes asked of each receive
constexpr size_t kCompactAfter = 1048576;     // consumed bytes tolerated in front of unread ones
constexpr size_t kMaxSendChunk = 1073741824;  // bytes handed to one send call
// A receive buffer grown past this (by one frame larger than any stream's) is given back once
// that frame is read, rather than held for the rest of the connection.
constexpr size_t kKeptBufferBytes = 8388608;

// Dialling threads may be the first to ask, so the flag is read and set atomically.
std::atomic<bool> winsockStarted{false};
thread_local int tlsConnectError = 0;

int64_t deadlineAfter(int timeoutMs) { return nowNanos() + int64_t(timeoutMs) * 1000000; }

// Waits in slices until the socket is ready, the closed flag is set, or the deadline passes
// (deadline < 0: none). 1 ready (or the wait itself failed: the next call reports why),
// 0 deadline passed, -1 closed.
int waitSliced(SocketHandle s, bool forWrite, const std::atomic<uint8_t>& closed, int64_t deadline) {
    for (;;) {
        if (closed.load()) return -1;
        int slice = kWaitSliceMs;
        if (deadline >= 0) {
            int64_t left = deadline - nowNanos();
            if (left <= 0) {
                slice = 0;
            } else {
                int64_t ms = (left + 999999) / 1000000;
                if (ms < slice) slice = int(ms);
            }
        }
        int r = socketPoll(s, forWrite, slice);
        if (r != 0) return closed.load() ? -1 : 1;
        if (deadline >= 0 && nowNanos() >= deadline) return closed.load() ? -1 : 0;
    }
}

}  // namespace

void initWinsock() {
    socketStartup();
    winsockStarted.store(true);
}

void ensureWinsock() {
    if (!winsockStarted.load()) initWinsock();
}

// ---- FramedConn ----

FramedConn::FramedConn(SocketHandle socket, std::string peerAddress)
    : socket_(socket), peerAddress_(std::move(peerAddress)) {
    socketApplyStreamOptions(socket_);
    // Every wait is a sliced poll, so that shutdown() wakes it on every platform; the socket
    // itself must then never block.
    socketSetNonBlocking(socket_, true);
}

FramedConn::~FramedConn() {
    if (closed_.exchange(1) == 0) socketShutdownBoth(socket_);
    socketClose(socket_);
}

void FramedConn::shutdown() {
    if (closed_.exchange(1) == 0) socketShutdownBoth(socket_);
}

int FramedConn::localPort() const { return socketLocalPort(socket_); }

int64_t FramedConn::sendDeadline(size_t length) const {
    // Clamped far beyond any real frame, so that the sum cannot overflow.
    const int64_t rate = std::max<int64_t>(1, sendMinRate_.load());
    const int64_t sizeMs = std::min<int64_t>(int64_t(std::min<size_t>(length, size_t(1) << 40)) / rate * 1000 +
                                                 int64_t(length % size_t(rate)) * 1000 / rate,
                                             int64_t(1) << 40);
    return deadlineAfter(std::max(0, sendStallMs_.load())) + sizeMs * 1000000;
}

bool FramedConn::sendAll(const uint8_t* data, size_t length) { return sendBy(data, length, sendDeadline(length)); }

bool FramedConn::sendBy(const uint8_t* data, size_t length, int64_t whole) {
    // Two limits: the peer must take some bytes within the stall time (a dead link), and all of
    // them by `whole` (a peer freeing a little just before each stall time ran out).
    int64_t stall = -1;
    while (length > 0) {
        if (closed_.load()) return false;
        int64_t sent = socketSend(socket_, data, std::min(length, kMaxSendChunk));
        if (sent < 0 && socketLastError() == kErrWouldBlock) {
            if (stall < 0) stall = deadlineAfter(std::max(0, sendStallMs_.load()));
            int w = waitSliced(socket_, true, closed_, std::min(stall, whole));
            if (w < 0) return false;
            if (w == 0) {
                // Marked before the shutdown, so that whoever sees the closed connection can tell why.
                sendStalled_.store(true);
                shutdown();
                return false;
            }
            continue;
        }
        if (sent <= 0) {
            shutdown();
            return false;
        }
        data += sent;
        length -= size_t(sent);
        stall = -1;
    }
    return true;
}

bool FramedConn::sendFrame(ByteSpan payload) {
    if (payload.size() > UINT32_MAX) return false;  // cannot be described by the length field
    uint8_t header[4];
    storeBe32(header, uint32_t(payload.size()));
    std::lock_guard<std::mutex> lock(sendMutex_);
    const int64_t whole = sendDeadline(4 + payload.size());
    if (!sendBy(header, 4, whole)) return false;
    return sendBy(payload.data(), payload.size(), whole);
}

bool FramedConn::sendLine(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 1);
    line += text;
    line += '\n';
    std::lock_guard<std::mutex> lock(sendMutex_);
    return sendAll(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

bool FramedConn::fill(int timeoutMs) {
    if (closed_.load()) return false;

    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > kCompactAfter) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(offset_));
        offset_ = 0;
    }
    size_t old = buffer_.size();
    buffer_.resize(old + kRecvStep);
    uint8_t* space = reinterpret_cast<uint8_t*>(buffer_.data()) + old;
    // Bytes already waiting are taken at once; only an empty socket is waited for (the wait
    // would report it ready at once anyway, so this saves a call per receive while streaming).
    int64_t got = socketRecv(socket_, space, kRecvStep);
    int64_t deadline = timeoutMs >= 0 ? deadlineAfter(timeoutMs) : -1;
    while (got < 0 && socketLastError() == kErrWouldBlock) {
        int w = waitSliced(socket_, false, closed_, deadline);
        if (w <= 0) {
            buffer_.resize(old);
            if (w < 0) return false;
            throw ProtoError(kTimedOut);
        }
        got = socketRecv(socket_, space, kRecvStep);
    }
    buffer_.resize(old + (got > 0 ? size_t(got) : 0));
    if (got <= 0) {
        shutdown();
        return false;
    }
    return true;
}

void FramedConn::trimBuffer() {
    // Unread bytes of that size mean the next large frame is already arriving: it needs the room.
    if (buffer_.capacity() <= kKeptBufferBytes || unread() > kKeptBufferBytes / 2) return;
    std::vector<Byte> kept(buffer_.begin() + std::ptrdiff_t(offset_), buffer_.end());
    buffer_.swap(kept);
    offset_ = 0;
}

int FramedConn::remainingMs(int64_t deadline) const {
    if (deadline < 0) return -1;
    int64_t left = deadline - nowNanos();
    if (left <= 0) return 0;
    int64_t ms = left / 1000000 + 1;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

Bytes FramedConn::readFrame(size_t maxLength, int timeoutMs) {
    int64_t deadline = timeoutMs >= 0 ? deadlineAfter(timeoutMs) : -1;
    for (;;) {
        if (unread() >= 4) {
            const uint8_t* p = unreadData();
            size_t length = loadBe32(p);
            // Checked before anything is allocated for it.
            if (length > maxLength) {
                shutdown();
                throw ProtoError(kFrameTooLarge);
            }
            if (unread() - 4 >= length) {
                Bytes payload(p + 4, p + 4 + length);
                offset_ += 4 + length;
                lineScanned_ = 0;
                trimBuffer();
                return payload;
            }
        }
        if (!fill(remainingMs(deadline))) throw ProtoError(kConnClosed);
    }
}

std::string FramedConn::readLine(size_t maxLength, int timeoutMs) {
    int64_t deadline = timeoutMs >= 0 ? deadlineAfter(timeoutMs) : -1;
    for (;;) {
        const uint8_t* p = unreadData();
        size_t n = unread();
        // A line feed counts only within the first maxLength + 1 bytes: one further out would end
        // a line longer than allowed, however the bytes happened to arrive.
        size_t limit = maxLength < n ? maxLength + 1 : n;
        if (lineScanned_ < limit) {
            const void* lf = std::memchr(p + lineScanned_, '\n', limit - lineScanned_);
            if (lf) {
                size_t at = size_t(static_cast<const uint8_t*>(lf) - p);
                std::string line(reinterpret_cast<const char*>(p), at);
                offset_ += at + 1;
                lineScanned_ = 0;
                trimBuffer();
                return line;
            }
            lineScanned_ = limit;
        }
        if (n > maxLength) {
            shutdown();
            throw ProtoError(kLineTooLong);
        }
        if (!fill(remainingMs(deadline))) throw ProtoError(kConnClosed);
    }
}

bool FramedConn::waitReadable(int timeoutMs) {
    if (unread() > 0) return true;
    int w = waitSliced(socket_, false, closed_, timeoutMs >= 0 ? deadlineAfter(timeoutMs) : -1);
    return w != 0;
}

bool FramedConn::peerBytesWaiting() const { return !closed_.load() && socketPoll(socket_, false, 0) > 0; }

// ---- dialling ----

int lastConnectError() { return tlsConnectError; }
void clearLastConnectError() { tlsConnectError = 0; }

std::shared_ptr<FramedConn> connectTcp(const std::string& host, int port, int timeoutMs, int localPort,
                                       bool reuseAddress, bool* refused) {
    ensureWinsock();
    if (refused) *refused = false;
    bool bindWanted = reuseAddress || localPort > 0;
    std::vector<SockAddr> addresses = resolveTcp(host, port, bindWanted);
    if (addresses.empty()) return {};
    int64_t deadline = deadlineAfter(timeoutMs);  // one budget shared by every address

    for (const SockAddr& addr : addresses) {
        SocketHandle s = socketOpenTcp(addr.family());
        if (s == kInvalidSocket) continue;
        if (bindWanted) {
            if (reuseAddress) socketSetReusePort(s);
            if (!socketBind(s, kFamilyV4, localPort, false)) {
                tlsConnectError = socketLastError();
                socketClose(s);
                continue;
            }
        }
        socketSetNonBlocking(s, true);
        int err = socketConnect(s, addr);
        bool ok = err == 0;
        if (!ok && err != kErrWouldBlock && err != kErrInProgress) {
            // Failed at once (a refusal on the local machine can be that quick).
            tlsConnectError = err;
            if (err == kErrConnRefused && refused) *refused = true;
        } else if (!ok) {
            int64_t left = deadline - nowNanos();
            if (left > 0 && left / 1000000 < INT_MAX) {
                if (socketPoll(s, true, int(left / 1000000) + 1) > 0) {
                    int so = socketPendingError(s);
                    tlsConnectError = so;
                    if (so == kErrConnRefused && refused) *refused = true;
                    ok = so == 0;
                }
            }
        }
        if (!ok) {
            socketClose(s);
            continue;
        }
        std::string numericHost, service;
        if (!socketNumericName(addr, numericHost, service)) numericHost = host;
        return std::make_shared<FramedConn>(s, numericHost + ":" + std::to_string(port));
    }
    return {};
}

// ---- listening ----

bool ListenSocket::open(int port, bool loopbackOnly) {
    ensureWinsock();
    SocketHandle s = kInvalidSocket;
    if (loopbackOnly) {
        s = socketOpenTcp(kFamilyV4);
        if (s == kInvalidSocket) return false;
        if (!socketBind(s, kFamilyV4, port, true)) {
            socketClose(s);
            return false;
        }
    } else {
        s = socketOpenTcp(kFamilyV6);
        if (s != kInvalidSocket) {
            socketSetV6Only(s, false);
            if (!socketBind(s, kFamilyV6, port, false)) {
                socketClose(s);
                s = kInvalidSocket;
            }
        }
        if (s == kInvalidSocket) {
            s = socketOpenTcp(kFamilyV4);
            if (s == kInvalidSocket) return false;
            if (!socketBind(s, kFamilyV4, port, false)) {
                socketClose(s);
                return false;
            }
        }
    }
    if (!socketListen(s, 16)) {
        socketClose(s);
        return false;
    }
    // accept waits by polling, so the socket itself must never block.
    socketSetNonBlocking(s, true);
    port_.store(socketLocalPort(s));
    SocketHandle old = socket_.exchange(s);
    if (old != kInvalidSocket) {
        std::lock_guard<std::mutex> lock(useMutex_);
        socketClose(old);
    }
    return true;
}

std::shared_ptr<FramedConn> ListenSocket::accept() {
    for (;;) {
        SockAddr peer;
        SocketHandle c = kInvalidSocket;
        int err = 0;
        {
            std::lock_guard<std::mutex> lock(useMutex_);
            SocketHandle s = socket_.load();
            if (s == kInvalidSocket) return {};
            int r = socketPoll(s, false, kWaitSliceMs);
            if (r == 0) continue;
            if (r < 0) return {};
            c = socketAccept(s, &peer);
            if (c == kInvalidSocket) err = socketLastError();
        }
        if (c == kInvalidSocket) {
            // A connection that went away before it was taken must not stop the accept loop.
            if (err == kErrWouldBlock || err == kErrConnAborted || err == kErrConnReset) continue;
            return {};
        }
        std::string host, service;
        if (!socketNumericName(peer, host, service)) return std::make_shared<FramedConn>(c, std::string("?:0"));
        if (host.rfind("::ffff:", 0) == 0) host.erase(0, 7);
        return std::make_shared<FramedConn>(c, host + ":" + service);
    }
}

void ListenSocket::close() {
    SocketHandle old = socket_.exchange(kInvalidSocket);
    if (old == kInvalidSocket) return;
    // Wait for a poll slice in accept to finish with the old socket before closing it, so
    // the number is never used after it was released.
    std::lock_guard<std::mutex> lock(useMutex_);
    socketClose(old);
}

// ---- text helpers ----

bool splitHostPort(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    // atoi's reading (leading blanks, sign, digits up to the first other character), clamped so
    // that an absurdly long number cannot overflow.
    long value = std::strtol(text.c_str() + colon + 1, nullptr, 10);
    port = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : int(value);
    return port >= 1 && port <= 65535;
}

namespace {

bool allOf(const std::string& s, const char* chars) { return s.find_first_not_of(chars) == std::string::npos; }

}  // namespace

bool isIpv4Literal(const std::string& s) {
    int parts = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = s.find('.', start);
        std::string part = s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (part.empty() || part.size() > 3 || !allOf(part, "0123456789") || (part.size() > 1 && part[0] == '0') ||
            std::stoi(part) > 255)
            return false;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

bool isIpv6Literal(const std::string& s) {
    if (s.size() < 2 || s.size() > 45) return false;
    size_t gap = s.find("::");
    bool compressed = gap != std::string::npos;
    if (compressed && s.find("::", gap + 1) != std::string::npos) return false;
    if ((s.front() == ':' && s.compare(0, 2, "::") != 0) || (s.back() == ':' && s.compare(s.size() - 2, 2, "::") != 0))
        return false;
    int groups = 0;
    size_t start = 0;
    for (;;) {
        size_t colon = s.find(':', start);
        bool last = colon == std::string::npos;
        std::string part = s.substr(start, last ? std::string::npos : colon - start);
        if (last && part.find('.') != std::string::npos) {
            if (!isIpv4Literal(part)) return false;
            groups += 2;
        } else if (!part.empty()) {
            if (part.size() > 4 || !allOf(part, "0123456789abcdefABCDEF")) return false;
            ++groups;
        }
        if (last) break;
        start = colon + 1;
    }
    return compressed ? groups <= 7 : groups == 8;
}

bool splitNumericHostPort(const std::string& text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    std::string h = text.substr(0, colon), p = text.substr(colon + 1);
    if (p.empty() || p.size() > 5 || !allOf(p, "0123456789")) return false;
    int value = std::stoi(p);
    if (value < 1 || value > 65535) return false;
    if (h.size() > 2 && h.front() == '[' && h.back() == ']') {
        h = h.substr(1, h.size() - 2);
        if (!isIpv6Literal(h)) return false;
    } else if (!isIpv4Literal(h) && !isIpv6Literal(h)) {
        return false;
    }
    host = h;
    port = value;
    return true;
}

std::vector<std::string> localIPv4Addresses() {
    ensureWinsock();
    std::vector<std::string> out;
    for (const std::string& text : socketInterfaceIPv4Addresses()) {
        if (text.empty() || text.rfind("169.254.", 0) == 0 || text.rfind("127.", 0) == 0) continue;
        bool known = false;
        for (const auto& k : out) known = known || k == text;
        if (!known) out.push_back(text);
    }
    return out;
}

std::string localHostName() {
    ensureWinsock();
    return socketHostName();
}
