#include "net/punch.h"

#include <climits>
#include <exception>
#include <thread>

#include "core/json.h"
#include "net/framed.h"
#include "net/relay.h"
#include "net/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#else
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#endif

namespace {

constexpr const char* kPunchedRoute = "직접(구멍 뚫기)";
constexpr const char* kPublicRoute = "직접(공인 주소)";
constexpr size_t kReplyLineMax = 8192;

std::atomic<int>& liveThreads() {
    static auto* count = new std::atomic<int>(0);
    return *count;
}

using Race = PunchRace<FramedConn>;
using Deadline = std::shared_ptr<std::atomic<int64_t>>;
using Cancel = std::shared_ptr<std::atomic<bool>>;

bool cancelled(const Cancel& cancel) { return cancel && cancel->load(); }

bool expired(const Deadline& deadline) { return nowNanos() >= deadline->load(); }

// Simultaneous open: dial the peer from the shared local port until something answers.
void dialLoop(std::shared_ptr<Race> race, Deadline deadline, Cancel cancel, int localPort, std::string host,
              int port, PunchTimings t) {
    std::shared_ptr<FramedConn> conn;
    int tries = 0, refusals = 0;
    while (!expired(deadline) && !cancelled(cancel) && !race->decided()) {
        int timeoutMs = punchDialTimeoutMs(nowNanos(), deadline->load(), t);
        bool refused = false;
        clearLastConnectError();
        int64_t start = nowNanos();
        conn = connectTcp(host, port, timeoutMs, localPort, true, &refused);
        ++tries;
        if (conn) break;
        if (refused) ++refusals;
        sleepMs(punchRetryPauseMs(refused, nowNanos() - start, t));
    }
    if (conn) {
        conn->route = kPunchedRoute;
    } else if (!race->hasWinner()) {
        logLine("구멍 뚫기 " + std::to_string(localPort) + "→" + host + ":" + std::to_string(port) + " 시도 " +
                std::to_string(tries) + "번 (거부 " + std::to_string(refusals) + "), 마지막 오류 " +
                std::to_string(lastConnectError()));
    }
    race->offer(std::move(conn));
}

// Listens on the shared local port for the peer's dials coming through.
void listenLoop(std::shared_ptr<Race> race, Deadline deadline, Cancel cancel, int localPort, PunchTimings t) {
    SocketHandle s = socketOpenTcp(kFamilyV4);
    if (s == kInvalidSocket || !socketSetReusePort(s) || !socketBind(s, kFamilyV4, localPort, false) ||
        !socketListen(s, 4)) {
        if (s != kInvalidSocket) socketClose(s);
        race->offer(nullptr);
        return;
    }
    while (!expired(deadline) && !cancelled(cancel) && !race->decided()) {
        int ready = socketPoll(s, false, t.listenPollMs);
        if (ready < 0) sleepMs(t.listenPollMs);
        if (ready <= 0) continue;
        SockAddr peer;
        SocketHandle c = socketAccept(s, &peer);
        if (c == kInvalidSocket) continue;
        std::string host, service;
        socketNumericName(peer, host, service);
        auto conn = std::make_shared<FramedConn>(c, host + ":" + service);
        conn->route = kPunchedRoute;
        if (!race->hostSide()) {
            socketClose(s);
            race->offer(std::move(conn));
            return;
        }
        race->accepted(std::move(conn));
    }
    socketClose(s);
    race->offer(nullptr);
}

// The host's own listening port as the relay saw its public address: a plain dial.
void publicDial(std::shared_ptr<Race> race, std::string host, int port, PunchTimings t) {
    auto conn = connectTcp(host, port, t.publicDialMs, 0, false);
    if (conn) conn->route = kPublicRoute;
    race->offer(std::move(conn));
}

bool allOf(const std::string& s, const char* chars) { return s.find_first_not_of(chars) == std::string::npos; }

// Four decimal numbers of 0 to 255 without leading zeros (which some resolvers read as octal).
bool ipv4Literal(const std::string& s) {
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

// Groups of one to four hex digits, at most one "::", optionally ending in a dotted quad.
bool ipv6Literal(const std::string& s) {
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
            if (!ipv4Literal(part)) return false;
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

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i) out += separator;
        out += items[i];
    }
    return out;
}

}  // namespace

bool startAttemptThread(std::function<void()> body) {
    liveThreads().fetch_add(1);
    try {
        std::thread([body = std::move(body)]() mutable {
            try {
                body();
            } catch (const std::exception& e) {
                logLine(std::string("연결 시도 스레드 오류: ") + e.what());
            } catch (...) {
            }
            body = nullptr;  // let go of races and connections before counting the thread out
            liveThreads().fetch_sub(1);
        }).detach();
        return true;
    } catch (...) {
        liveThreads().fetch_sub(1);
        return false;
    }
}

int Punch::threadsRunning() { return liveThreads().load(); }

int punchRetryPauseMs(bool refused, int64_t tryNanos, const PunchTimings& t) {
    if (refused) return t.refusedPauseMs;
    if (tryNanos < int64_t(t.quickFailMs) * 1000000) return t.quickPauseMs;
    return 0;
}

int punchDialTimeoutMs(int64_t nowNs, int64_t deadlineNs, const PunchTimings& t) {
    int64_t leftMs = deadlineNs > nowNs ? (deadlineNs - nowNs) / 1000000 : 0;
    if (leftMs > INT_MAX) leftMs = INT_MAX;
    return leftMs < t.minDialMs ? t.minDialMs : int(leftMs);
}

void lowerDeadline(std::atomic<int64_t>& deadline, int64_t limitNs) {
    int64_t current = deadline.load();
    while (limitNs < current && !deadline.compare_exchange_weak(current, limitNs)) {
    }
}

std::vector<std::string> localAddressList(const std::vector<std::string>& addresses, int port) {
    std::vector<std::string> out;
    for (const auto& a : addresses) out.push_back(a + ":" + std::to_string(port));
    return out;
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
        if (!ipv6Literal(h)) return false;
    } else if (!ipv4Literal(h) && !ipv6Literal(h)) {
        return false;
    }
    host = h;
    port = value;
    return true;
}

bool parseRendezvousReply(const Json& reply, RendezvousResult& result) {
    const Json& ok = reply.get("ok");
    const Json& peer = reply.get("peer");
    if (!ok.isBool() || !ok.boolean || !peer.isString()) return false;
    result.peers.assign(1, peer.text);
    const Json& locals = reply.get("peerLocal");
    if (locals.isArray()) {
        for (const Json& item : locals.items) {
            if (result.peers.size() >= kMaxPunchPeers) break;
            std::string text = item.isString() ? item.text : std::string();
            bool known = false;
            for (const auto& p : result.peers) known = known || p == text;
            if (!known) result.peers.push_back(text);
        }
    }
    const Json& listen = reply.get("peerListen");
    result.peerListen = listen.isString() ? listen.text : std::string();
    return true;
}

bool Punch::rendezvous(const RelayConfig& relay, const std::string& role, const std::string& id,
                       const std::string& session, const Json& extras, RendezvousResult& result,
                       const PunchTimings& timings) {
    result = RendezvousResult();
    try {
        result.relay = connectRelay(relay, true);
        result.localPort = result.relay->localPort();
        if (result.localPort == 0) {
            result.relay->shutdown();
            return false;
        }
        Json members = extras.isObject() ? extras : Json();
        Json local;
        local.tag = Json::kArray;
        for (auto& a : localAddressList(localIPv4Addresses(), result.localPort)) local.push(a);
        members.set("local", std::move(local));
        sendRelayHello(*result.relay, relay, role, id, session, members);
        std::string line = result.relay->readLine(kReplyLineMax, timings.replyTimeoutMs);
        Json reply;
        if (!Json::parse(line, reply) || !parseRendezvousReply(reply, result)) {
            result.relay->shutdown();
            return false;
        }
        return true;
    } catch (const std::exception&) {
        if (result.relay) result.relay->shutdown();
        return false;
    }
}

std::shared_ptr<FramedConn> Punch::attempt(int localPort, const std::vector<std::string>& peers,
                                           const std::string& peerListen, int64_t deadlineNs,
                                           std::shared_ptr<std::atomic<bool>> cancel, Handler onConnection,
                                           const PunchTimings& timings) {
    ensureWinsock();
    auto deadline = std::make_shared<std::atomic<int64_t>>(deadlineNs);
    auto race = std::make_shared<Race>(std::move(onConnection), deadline, timings.hostLingerMs);
    PunchTimings t = timings;
    for (const auto& peer : peers) {
        std::string host;
        int port = 0;
        if (!splitNumericHostPort(peer, host, port)) continue;
        race->started();
        if (!startAttemptThread([=] { dialLoop(race, deadline, cancel, localPort, host, port, t); }))
            race->offer(nullptr);
    }
    race->started();
    if (!startAttemptThread([=] { listenLoop(race, deadline, cancel, localPort, t); })) race->offer(nullptr);
    std::string host;
    int port = 0;
    if (!peerListen.empty() && splitNumericHostPort(peerListen, host, port)) {
        race->started();
        if (!startAttemptThread([=] { publicDial(race, host, port, t); })) race->offer(nullptr);
    }
    return race->finish(timings.attemptWaitMs);
}

std::shared_ptr<FramedConn> Punch::client(const RelayConfig& relay, const std::string& targetId,
                                          std::shared_ptr<std::atomic<bool>> cancel, const PunchTimings& timings) {
    uint8_t raw[16];
    randomBytes(raw, sizeof raw);
    std::string session = hexEncode(raw, sizeof raw);
    Json extras;
    extras.tag = Json::kObject;
    RendezvousResult rv;
    if (!rendezvous(relay, "punch", targetId, session, extras, rv, timings)) return nullptr;
    if (cancelled(cancel)) {
        rv.relay->shutdown();
        return nullptr;
    }
    auto conn = attempt(rv.localPort, rv.peers, rv.peerListen,
                        nowNanos() + int64_t(timings.clientAttemptMs) * 1000000, cancel, nullptr, timings);
    rv.relay->shutdown();
    if (conn) {
        logLine(conn->route + " 성공 → " + conn->peerAddress());
        return conn;
    }
    logLine("구멍 뚫기 실패 (" + joined(rv.peers, ", ") + ")");
    return nullptr;
}

void Punch::host(const RelayConfig& relay, const std::string& id, const std::string& session, int listenPort,
                 const Handler& onConnection, const PunchTimings& timings) {
    Json extras;
    extras.tag = Json::kObject;
    if (listenPort > 0) extras.set("listen", listenPort);
    RendezvousResult rv;
    if (!rendezvous(relay, "punchhost", id, session, extras, rv, timings)) {
        logLine("구멍 뚫기: 중계 서버에서 주소를 받지 못함");
        return;
    }
    // Runs under the race's lock: only logs and hands the connection to a thread of its own,
    // so that a slow admission never holds up the punching. Holds its own copy of the handler,
    // since attempt threads may outlive this call.
    Handler handler = onConnection;
    auto deliver = [handler](std::shared_ptr<FramedConn> conn) {
        logLine("구멍 뚫기로 들어옴 ← " + conn->peerAddress());
        if (!handler) return;
        try {
            std::thread([handler, conn] {
                try {
                    handler(conn);
                } catch (const std::exception& e) {
                    logLine(std::string("구멍 뚫기 연결 처리 오류: ") + e.what());
                }
            }).detach();
        } catch (const std::exception&) {
            conn->shutdown();
        }
    };
    auto winner = attempt(rv.localPort, rv.peers, std::string(),
                          nowNanos() + int64_t(timings.hostAttemptMs) * 1000000, nullptr, deliver, timings);
    rv.relay->shutdown();
    if (!winner) logLine("구멍 뚫기 실패 (원격 쪽, 내 포트 " + std::to_string(rv.localPort) + ")");
}

std::vector<std::string> localIPv4Addresses() {
    std::vector<std::string> out;
    auto add = [&out](const std::string& text) {
        if (text.empty() || text.rfind("169.254.", 0) == 0 || text.rfind("127.", 0) == 0) return;
        for (const auto& known : out)
            if (known == text) return;
        out.push_back(text);
    };
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
                add(host);
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
        if (inet_ntop(AF_INET, &in->sin_addr, host, sizeof host)) add(host);
    }
    freeifaddrs(list);
#endif
    return out;
}
