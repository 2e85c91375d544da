#include "net/relay_agent.h"

#include <algorithm>
#include <chrono>
#include <exception>

#include "core/json.h"
#include "core/log_text.h"
#include "core/util.h"
#include "core/wire.h"
#include "net/punch.h"
#include "net/relay.h"

namespace {

std::string relayAddress(const RelayConfig& relay) {
    return relay.host + ":" + std::to_string(relay.port);
}

// Counts one hand-over out when it ends, however it ends.
class HandOver {
public:
    explicit HandOver(RelayHostAgent::Delivery& delivery) : delivery_(delivery) {}
    ~HandOver() {
        std::lock_guard<std::mutex> lock(delivery_.mutex);
        --delivery_.handingOver;
        delivery_.idle.notify_all();
    }
    HandOver(const HandOver&) = delete;
    HandOver& operator=(const HandOver&) = delete;

private:
    RelayHostAgent::Delivery& delivery_;
};

// Hands a connection to the host unless the agent has stopped meanwhile; a late connection is
// shut down instead. The decision and the count of hand-overs under way are taken under the same
// mutex that stop takes, so stop can wait for those that had begun.
void deliver(const std::shared_ptr<RelayHostAgent::Delivery>& delivery, std::shared_ptr<FramedConn> conn) {
    RelayConnCallback incoming;
    {
        std::lock_guard<std::mutex> lock(delivery->mutex);
        if (!delivery->stopped) {
            incoming = delivery->incoming;
            ++delivery->handingOver;
        }
    }
    if (!incoming) {
        conn->shutdown();
        return;
    }
    HandOver counted(*delivery);
    incoming(std::move(conn));
}

// Body of a data thread: the host's end of one relayed pipe.
void runDataConnection(RelayConfig relay, std::string id, std::string session,
                       std::shared_ptr<RelayHostAgent::Delivery> delivery,
                       std::shared_ptr<std::atomic<int>> count, std::shared_ptr<LogLimiter> log) {
    std::shared_ptr<FramedConn> conn;
    try {
        conn = connectRelay(relay, false);
        sendRelayHello(*conn, relay, "data", id, session);
        readRelayReply(*conn);
        conn->route = kRouteRelay;
        deliver(delivery, conn);
    } catch (const std::exception& e) {
        log->log(std::string("data:") + e.what(), "중계 데이터 연결 실패: " + peerTextForLog(e.what()));
        if (conn) conn->shutdown();
    }
    count->fetch_sub(1);
}

// Body of a punch thread.
void runPunch(RelayPunchRunner runner, RelayConfig relay, std::string id, std::string session, int listenPort,
              std::shared_ptr<RelayHostAgent::Delivery> delivery, std::shared_ptr<std::atomic<int>> count,
              std::shared_ptr<LogLimiter> log) {
    try {
        // The runner logs each punched connection and hands it over on a thread of its own, so
        // that admission never holds up the punching; the agent only adds its stop check.
        RelayConnCallback onConnection = [delivery](std::shared_ptr<FramedConn> conn) {
            if (conn) deliver(delivery, std::move(conn));
        };
        runner(relay, id, session, listenPort, onConnection);
    } catch (const std::exception& e) {
        log->log(std::string("punch:") + e.what(), "구멍 뚫기 실패: " + peerTextForLog(e.what()));
    }
    count->fetch_sub(1);
}

}  // namespace

int nextRelayBackoff(int waitMs, const RelayAgentTiming& timing) {
    return std::min(2 * waitMs, timing.backoffMaxMs);
}

RelayHostAgent::RelayHostAgent(const RelayConfig& relay, const std::string& id, RelayConnCallback incoming)
    : relay_(relay),
      id_(id),
      incoming_(std::move(incoming)),
      delivery_(std::make_shared<Delivery>()),
      punchCount_(std::make_shared<std::atomic<int>>(0)),
      dataCount_(std::make_shared<std::atomic<int>>(0)),
      strangerLog_(std::make_shared<LogLimiter>(timing_.logIntervalMs)) {
    delivery_->incoming = incoming_;
    // A "punch" line starts the host side of hole punching.
    punchRunner_ = [log = strangerLog_](const RelayConfig& relay, const std::string& id, const std::string& session,
                                        int listenPort, const RelayConnCallback& onConnection) {
        Punch::host(relay, id, session, listenPort, onConnection, PunchTimings(), log);
    };
}

RelayHostAgent::~RelayHostAgent() { stop(); }

void RelayHostAgent::setListenPortProvider(std::function<int()> provider) { listenPort_ = std::move(provider); }
void RelayHostAgent::setPunchEnabled(bool on) { punchEnabled_ = on; }
void RelayHostAgent::setPunchRunner(RelayPunchRunner runner) { punchRunner_ = std::move(runner); }
void RelayHostAgent::setTiming(const RelayAgentTiming& timing) {
    timing_ = timing;
    strangerLog_->setIntervalMs(timing.logIntervalMs);
}

void RelayHostAgent::start() {
    if (running_.exchange(true)) return;
    // A run after a stop delivers again; the threads of the earlier run keep its stopped state.
    if (delivery_->stopped) {
        delivery_ = std::make_shared<Delivery>();
        delivery_->incoming = incoming_;
    }
    try {
        thread_ = std::thread([this] { loop(); });
    } catch (...) {
        running_.store(false);
        throw;
    }
}

void RelayHostAgent::stop() {
    {
        std::lock_guard<std::mutex> lock(delivery_->mutex);
        delivery_->stopped = true;
    }
    if (running_.exchange(false)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) current_->shutdown();
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    std::unique_lock<std::mutex> lock(delivery_->mutex);
    bool idle = delivery_->idle.wait_for(lock, std::chrono::milliseconds(timing_.handOverWaitMs),
                                         [&] { return delivery_->handingOver == 0; });
    if (!idle) logLine("중계 연결을 넘기는 중에 멈춤: 받는 쪽이 아직 처리 중");
}

void RelayHostAgent::reconnect() {
    reconnectRequested_.store(true);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_) current_->shutdown();
    }
    wake_.notify_all();
}

// The dial itself cannot be interrupted and may take the whole connect time-out, so it runs on a
// helper thread; the agent gives it up at once when stopped.
std::shared_ptr<FramedConn> RelayHostAgent::dialWhileRunning() {
    struct Slot {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        bool abandoned = false;
        std::shared_ptr<FramedConn> conn;
        std::string error;
    };
    auto slot = std::make_shared<Slot>();
    std::thread([slot, relay = relay_] {
        std::shared_ptr<FramedConn> conn;
        std::string error;
        try {
            conn = connectRelay(relay, false);
        } catch (const std::exception& e) {
            error = e.what();
        }
        std::lock_guard<std::mutex> lock(slot->mutex);
        if (slot->abandoned) {
            if (conn) conn->shutdown();
            return;
        }
        slot->conn = std::move(conn);
        slot->error = std::move(error);
        slot->finished = true;
        slot->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(slot->mutex);
    while (!slot->finished) {
        if (!running_.load()) {
            slot->abandoned = true;
            return nullptr;
        }
        slot->done.wait_for(lock, std::chrono::milliseconds(timing_.tickMs));
    }
    if (!slot->conn) throw ProtoError(slot->error);
    return slot->conn;
}

// Waits up to one poll interval in ticks; true when a line can be read. Returns false early when
// the agent stops or the connection closes.
bool RelayHostAgent::waitForInput(FramedConn& conn) {
    int64_t deadline = nowNanos() + int64_t(timing_.pollMs) * 1000000;
    for (;;) {
        int64_t left = (deadline - nowNanos()) / 1000000;
        if (left <= 0) return false;
        if (conn.waitReadable(int(std::min<int64_t>(left, timing_.tickMs)))) return true;
        if (!running_.load() || conn.isClosed()) return false;
    }
}

void RelayHostAgent::waitTicks(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    int64_t deadline = nowNanos() + int64_t(ms) * 1000000;
    while (running_.load() && !reconnectRequested_.load()) {
        int64_t left = (deadline - nowNanos()) / 1000000;
        if (left <= 0) return;
        wake_.wait_for(lock, std::chrono::milliseconds(std::min<int64_t>(left, timing_.tickMs)));
    }
}

void RelayHostAgent::dispatch(const std::string& line) {
    Json message;
    if (!Json::parse(line, message)) return;
    const Json& punch = message.get("punch");
    const Json& incoming = message.get("incoming");
    if (punch.isString() && punchRunner_ && punchCount_->load() < kMaxPunchThreads) {
        startPunch(punch.text);
    } else if (incoming.isString()) {
        startData(incoming.text);
    }
}

// Agent thread only. Counts the punch in when the window has room for it.
bool RelayHostAgent::punchAllowedNow() {
    const int64_t now = nowNanos();
    const int64_t window = int64_t(timing_.punchWindowMs) * 1000000;
    punchTimes_.erase(std::remove_if(punchTimes_.begin(), punchTimes_.end(),
                                     [&](int64_t t) { return now - t >= window; }),
                      punchTimes_.end());
    if (int(punchTimes_.size()) >= kMaxPunchesPerWindow) return false;
    punchTimes_.push_back(now);
    return true;
}

void RelayHostAgent::startPunch(const std::string& session) {
    if (!punchAllowedNow()) {
        strangerLog_->log("punch:rate", "구멍 뚫기 요청이 너무 잦음");
        return;
    }
    int port = listenPort_ ? listenPort_() : 0;
    punchCount_->fetch_add(1);
    try {
        std::thread(runPunch, punchRunner_, relay_, id_, session, port, delivery_, punchCount_, strangerLog_).detach();
    } catch (const std::exception& e) {
        punchCount_->fetch_sub(1);
        strangerLog_->log("punch:thread", "구멍 뚫기 실패: " + peerTextForLog(e.what()));
    }
}

void RelayHostAgent::startData(const std::string& session) {
    if (dataCount_->load() >= kMaxDataThreads) {
        strangerLog_->log("data:full", "중계 데이터 연결 실패: 동시 연결이 너무 많음");
        return;
    }
    dataCount_->fetch_add(1);
    try {
        std::thread(runDataConnection, relay_, id_, session, delivery_, dataCount_, strangerLog_).detach();
    } catch (const std::exception& e) {
        dataCount_->fetch_sub(1);
        strangerLog_->log("data:thread", "중계 데이터 연결 실패: " + peerTextForLog(e.what()));
    }
}

void RelayHostAgent::loop() {
    int backoff = timing_.backoffStartMs;
    while (running_.load()) {
        int wait = backoff;
        try {
            auto conn = dialWhileRunning();
            if (!conn) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                current_ = conn;
            }
            // stop clears running before it takes the mutex, so either it shut this connection
            // down or this check sees it.
            if (!running_.load()) {
                conn->shutdown();
                break;
            }
            Json extras;
            if (punchEnabled_) extras.set("punch", Json(true));
            sendRelayHello(*conn, relay_, "host", id_, "", extras);
            readRelayReply(*conn);
            connected_.store(true);
            logLine("중계 서버 대기 중: " + relayAddress(relay_));
            backoff = timing_.backoffStartMs;
            wait = backoff;
            int64_t lastKeepAlive = nowNanos();
            for (;;) {
                if (waitForInput(*conn)) {
                    // A line that starts must end well within a keep-alive interval: a relay
                    // stuck in mid-line would otherwise hold a silent registration forever.
                    dispatch(conn->readLine(kRelayLineMax, timing_.keepAliveMs));
                    continue;
                }
                if (!running_.load() || conn->isClosed()) break;
                if (nowNanos() - lastKeepAlive > int64_t(timing_.keepAliveMs) * 1000000) {
                    conn->sendLine("{\"ping\":1}");
                    lastKeepAlive = nowNanos();
                }
            }
        } catch (const std::exception& e) {
            if (running_.load()) logLine("중계 서버 연결 끊김: " + peerTextForLog(e.what()));
            wait = backoff;
        }
        connected_.store(false);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (current_) current_->shutdown();
            current_.reset();
        }
        if (!running_.load()) break;
        if (reconnectRequested_.exchange(false)) {
            backoff = timing_.backoffStartMs;
            wait = timing_.reconnectDelayMs;
        } else {
            backoff = nextRelayBackoff(wait, timing_);
        }
        waitTicks(wait);
    }
    connected_.store(false);
}
