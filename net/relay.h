// The relay line protocol (opening exchange, relayed connections, presence query) and the host's
// long-lived registration at the relay (`RelayHostAgent`).
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "net/framed.h"

// Limits of the relay's lines; everything the relay sends is untrusted input.
inline constexpr size_t kRelayLineMax = 8192;
inline constexpr int kRelayNonceTimeoutMs = 10000;
inline constexpr int kRelayReplyTimeoutMs = 12000;
inline constexpr size_t kRelayStatusLineMax = 65536;
inline constexpr int kRelayStatusTimeoutMs = 5000;

// Dials the relay (6000 ms); throws ProtoError "중계 서버에 연결할 수 없습니다" when that fails.
// bindForReuse is for hole punching only.
std::shared_ptr<FramedConn> connectRelay(const RelayConfig& relay, bool bindForReuse);

// Lowercase hex of HMAC-SHA256 keyed with the secret over nonce || role || id || session.
std::string relayMac(const std::string& secret, const std::string& nonce, const std::string& role,
                     const std::string& id, const std::string& session);

// Reads the relay's nonce line and sends the hello: "role", "id", "session", "mac", then the
// members of `extras` when it is an object (a member named like one of the four replaces it).
void sendRelayHello(FramedConn& conn, const RelayConfig& relay, const std::string& role,
                    const std::string& id, const std::string& session, const Json& extras = Json());

// Reads the relay's reply; returns it only when "ok" is the boolean true, else throws
// ProtoError "중계 서버: " + the relay's error text (or "거부됨").
Json readRelayReply(FramedConn& conn);

// The viewer's relayed byte pipe to the host registered under targetId (route label "중계").
std::shared_ptr<FramedConn> connectViaRelay(const RelayConfig& relay, const std::string& targetId);

// What a relay said about the ids of one presence query.
struct RelayStatus {
    std::map<std::string, bool> online;  // every asked id: whether the relay holds it now
    std::map<std::string, double> seen;  // last-seen times (seconds since 1970) the relay gave
};

// One presence query ("status" role) for ids at one relay. True when the reply counts ("ok" true
// and "online" an array); a relay that cannot be asked logs "중계 서버 상태 묻기 실패".
bool queryRelayStatus(const RelayConfig& relay, const std::vector<std::string>& ids, RelayStatus& out);

using RelayConnCallback = std::function<void(std::shared_ptr<FramedConn>)>;

// Host side of hole punching for one "punch" line: (relay, id, session, listen port, callback).
// It logs every connection it obtains and calls the callback with it on a thread of its own.
using RelayPunchRunner = std::function<void(const RelayConfig&, const std::string&, const std::string&,
                                            int, const RelayConnCallback&)>;

// Intervals of the agent's loop. Tests shorten them; the product uses the defaults.
struct RelayAgentTiming {
    int backoffStartMs = 2000;    // first wait after a failure, and after losing a registration
    int backoffMaxMs = 30000;     // the wait doubles up to this
    int keepAliveMs = 25000;      // a quiet control line gets {"ping":1} after this long
    int pollMs = 1000;            // one wait for input on the control line
    int tickMs = 100;             // granularity of every wait; bounds how long stop takes
    int reconnectDelayMs = 1000;  // wait after a requested reconnect
};

// The back-off wait that follows a wait of `waitMs` (doubling, capped).
int nextRelayBackoff(int waitMs, const RelayAgentTiming& timing);

// Keeps this PC registered at the relay under one id, serves the relay's "incoming" (and "punch")
// lines and hands every connection it obtains to the incoming callback, on short-lived threads.
class RelayHostAgent {
public:
    RelayHostAgent(const RelayConfig& relay, const std::string& id, RelayConnCallback incoming);
    ~RelayHostAgent();  // stops first
    RelayHostAgent(const RelayHostAgent&) = delete;
    RelayHostAgent& operator=(const RelayHostAgent&) = delete;

    // Set before start.
    void setListenPortProvider(std::function<int()> provider);
    void setPunchEnabled(bool on);
    void setPunchRunner(RelayPunchRunner runner);
    void setTiming(const RelayAgentTiming& timing);

    void start();      // once per agent
    void stop();       // prompt; afterwards no connection reaches the incoming callback
    void reconnect();  // drop the control line and register again at once

    bool connected() const { return connected_.load(); }
    const std::string& id() const { return id_; }

    // At most this many host-side punches and relayed data connections run at a time.
    static constexpr int kMaxPunchThreads = 4;
    static constexpr int kMaxDataThreads = 16;

    // Shared with the data and punch threads, which may outlive the agent.
    struct Delivery {
        std::mutex mutex;
        bool stopped = false;
        RelayConnCallback incoming;
    };

private:
    void loop();
    std::shared_ptr<FramedConn> dialWhileRunning();
    bool waitForInput(FramedConn& conn);
    void waitTicks(int ms);
    void dispatch(const std::string& line);

    bool punchEnabled_ = true;
    std::function<int()> listenPort_;
    RelayConfig relay_;
    std::string id_;
    RelayPunchRunner punchRunner_;
    RelayAgentTiming timing_;
    std::shared_ptr<Delivery> delivery_;
    std::atomic<bool> running_{false};
    std::atomic<bool> connected_{false};
    std::atomic<bool> reconnectRequested_{false};
    std::mutex mutex_;               // guards current_; wakes the back-off wait
    std::condition_variable wake_;
    std::shared_ptr<FramedConn> current_;
    std::thread thread_;
    std::shared_ptr<std::atomic<int>> punchCount_;
    std::shared_ptr<std::atomic<int>> dataCount_;
};
