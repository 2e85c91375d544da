#include "net/punch.h"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "core/json.h"
#include "core/log_text.h"
#include "net/framed.h"
#include "net/relay.h"
#include "net/socket.h"

namespace {

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

using Limiter = std::shared_ptr<LogLimiter>;

// A line of a punch event: through the limiter under its cause when there is one.
void punchLog(const Limiter& log, const std::string& cause, const std::string& line) {
    if (log) {
        log->log(cause, line);
    } else {
        logLine(line);
    }
}

std::mutex subnetSourceMutex;
std::function<std::vector<IpSubnet>()>& subnetSource() {
    static auto* source = new std::function<std::vector<IpSubnet>()>();
    return *source;
}

// Simultaneous open: dial the peer from the shared local port until something answers.
void dialLoop(std::shared_ptr<Race> race, Deadline deadline, Cancel cancel, int localPort, std::string host,
              int port, PunchTimings t, Limiter log) {
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
        conn->route = kRoutePunched;
    } else if (!race->hasWinner()) {
        punchLog(log, "punch:dial",
                 "구멍 뚫기 " + std::to_string(localPort) + "→" + peerTextForLog(host) + ":" + std::to_string(port) +
                     " 시도 " + std::to_string(tries) + "번 (거부 " + std::to_string(refusals) + "), 마지막 오류 " +
                     std::to_string(lastConnectError()));
    }
    race->offer(std::move(conn));
}

// Listens on the shared local port for the peer's dials coming through.
void listenLoop(std::shared_ptr<Race> race, Deadline deadline, Cancel cancel, int localPort, PunchTimings t) {
    SocketHandle s = socketOpenTcp(kFamilyV4);
    // Non-blocking, so that a connection that goes away between the poll and the accept cannot
    // hold the thread past its deadline.
    if (s == kInvalidSocket || !socketSetReusePort(s) || !socketBind(s, kFamilyV4, localPort, false) ||
        !socketListen(s, 4) || !socketSetNonBlocking(s, true)) {
        if (s != kInvalidSocket) socketClose(s);
        race->offer(nullptr);
        return;
    }
    int handedOn = 0;
    while (!expired(deadline) && !cancelled(cancel) && !race->decided()) {
        int ready = socketPoll(s, false, t.listenPollMs);
        if (ready < 0) sleepMs(t.listenPollMs);
        if (ready <= 0) continue;
        SockAddr peer;
        SocketHandle c = socketAccept(s, &peer);
        if (c == kInvalidSocket) continue;  // gone already (would block) or failed: poll again
        if (race->hostSide() && handedOn >= kMaxPunchAccepts) {
            socketClose(c);
            continue;
        }
        ++handedOn;
        std::string host, service;
        socketNumericName(peer, host, service);
        auto conn = std::make_shared<FramedConn>(c, host + ":" + service);
        conn->route = kRoutePunched;
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
    if (conn) conn->route = kRoutePublic;
    race->offer(std::move(conn));
}

// Shuts the watched relay connection down as soon as the cancel flag is set. The viewer's race
// sets it once it is decided; closing the relay connection then frees the relay's pairing and
// the host's punch slot at once, rather than after the exchange and the attempt have run out.
class CancelWatch {
public:
    explicit CancelWatch(Cancel cancel) : cancel_(std::move(cancel)), state_(std::make_shared<State>()) {
        if (!cancel_) return;
        startAttemptThread([state = state_, cancel = cancel_] {
            std::unique_lock<std::mutex> lock(state->mutex);
            while (!state->done) {
                if (cancel->load()) {
                    if (state->conn) state->conn->shutdown();
                    return;
                }
                state->wake.wait_for(lock, std::chrono::milliseconds(kCancelPollMs));
            }
        });
    }
    ~CancelWatch() {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->done = true;
        state_->conn.reset();
        state_->wake.notify_all();
    }
    CancelWatch(const CancelWatch&) = delete;
    CancelWatch& operator=(const CancelWatch&) = delete;

    void watch(const std::shared_ptr<FramedConn>& conn) {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->conn = conn;
        if (cancelled(cancel_)) conn->shutdown();
    }

private:
    static constexpr int kCancelPollMs = 20;
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        bool done = false;
        std::shared_ptr<FramedConn> conn;
    };
    Cancel cancel_;
    std::shared_ptr<State> state_;
};

// Opens the relay connection from a reusable port and exchanges addresses; `watch`, when given,
// is told the relay connection as soon as it is open.
bool meetAtRelay(const RelayConfig& relay, const std::string& role, const std::string& id,
                 const std::string& session, const Json& extras, RendezvousResult& result,
                 const PunchTimings& timings, CancelWatch* watch) {
    result = RendezvousResult();
    try {
        result.relay = connectRelay(relay, true);
        if (watch) watch->watch(result.relay);
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
                logLine("연결 시도 스레드 오류: " + peerTextForLog(e.what()));
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
    return meetAtRelay(relay, role, id, session, extras, result, timings, nullptr);
}

std::shared_ptr<FramedConn> Punch::attempt(int localPort, const std::vector<std::string>& peers,
                                           const std::string& peerListen, int64_t deadlineNs,
                                           std::shared_ptr<std::atomic<bool>> cancel, Handler onConnection,
                                           const PunchTimings& timings, std::shared_ptr<LogLimiter> log) {
    ensureWinsock();
    auto deadline = std::make_shared<std::atomic<int64_t>>(deadlineNs);
    auto race = std::make_shared<Race>(std::move(onConnection), deadline, timings.hostLingerMs);
    PunchTimings t = timings;
    for (const auto& peer : peers) {
        std::string host;
        int port = 0;
        if (!splitNumericHostPort(peer, host, port)) continue;
        race->started();
        if (!startAttemptThread([=] { dialLoop(race, deadline, cancel, localPort, host, port, t, log); }))
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
    CancelWatch watch(cancel);
    RendezvousResult rv;
    if (!meetAtRelay(relay, "punch", targetId, session, extras, rv, timings, &watch)) return nullptr;
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
    logLine("구멍 뚫기 실패 (" + peerTextForLog(joined(rv.peers, ", ")) + ")");  // the relay's text
    return nullptr;
}

void Punch::host(const RelayConfig& relay, const std::string& id, const std::string& session, int listenPort,
                 const Handler& onConnection, const PunchTimings& timings, std::shared_ptr<LogLimiter> log) {
    Json extras;
    extras.tag = Json::kObject;
    if (listenPort > 0) extras.set("listen", listenPort);
    RendezvousResult rv;
    if (!rendezvous(relay, "punchhost", id, session, extras, rv, timings)) {
        punchLog(log, "punch:rendezvous", "구멍 뚫기: 중계 서버에서 주소를 받지 못함");
        return;
    }
    // Whoever asked for the punch chose the local addresses: the host dials only where a viewer
    // of its own network can be, never a scan target of the stranger's choosing.
    rv.peers = punchDialTargets(rv.peers, hostOnLinkSubnets());
    // Runs under the race's lock: only logs and hands the connection to a thread of its own,
    // so that a slow admission never holds up the punching. Holds its own copy of the handler,
    // since attempt threads may outlive this call.
    Handler handler = onConnection;
    auto deliver = [handler, log](std::shared_ptr<FramedConn> conn) {
        punchLog(log, "punch:incoming", "구멍 뚫기로 들어옴 ← " + conn->peerAddress());
        if (!handler) return;
        try {
            std::thread([handler, conn, log] {
                try {
                    handler(conn);
                } catch (const std::exception& e) {
                    punchLog(log, "punch:handler", "구멍 뚫기 연결 처리 오류: " + peerTextForLog(e.what()));
                }
            }).detach();
        } catch (const std::exception&) {
            conn->shutdown();
        }
    };
    auto winner = attempt(rv.localPort, rv.peers, std::string(),
                          nowNanos() + int64_t(timings.hostAttemptMs) * 1000000, nullptr, deliver, timings, log);
    rv.relay->shutdown();
    if (!winner) punchLog(log, "punch:failed", "구멍 뚫기 실패 (원격 쪽, 내 포트 " + std::to_string(rv.localPort) + ")");
}

std::vector<IpSubnet> hostOnLinkSubnets() {
    {
        std::lock_guard<std::mutex> lock(subnetSourceMutex);
        if (subnetSource()) return subnetSource()();
    }
    ensureWinsock();
    std::vector<IpSubnet> out;
    for (const auto& [host, prefix] : socketInterfaceIPv4Subnets()) {
        IpSubnet subnet;
        if (prefix <= 0 || !parseIpAddress(host, subnet.network)) continue;
        subnet.prefixLength = prefix;
        out.push_back(subnet);
    }
    return out;
}

void setOnLinkSubnetSource(std::function<std::vector<IpSubnet>()> source) {
    std::lock_guard<std::mutex> lock(subnetSourceMutex);
    subnetSource() = std::move(source);
}
