// The host's long-lived registration at the relay (`RelayHostAgent`): it keeps this PC reachable
// for viewers outside its network and hands every relayed or punched connection to the host.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config/settings.h"
#include "core/log_limit.h"
#include "net/framed.h"

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
    int handOverWaitMs = 1000;    // how long stop waits for callbacks already under way
    int punchWindowMs = 60000;    // "punch" lines served are counted over this window
    int logIntervalMs = 60000;    // a line a stranger can cause is logged at most this often per cause
};

// The back-off wait that follows a wait of `waitMs` (doubling, capped).
int nextRelayBackoff(int waitMs, const RelayAgentTiming& timing);

// Keeps this PC registered at the relay under one id, serves the relay's "incoming" (and "punch")
// lines and hands every connection it obtains to the incoming callback, on short-lived threads.
//
// Hand-over contract: a connection reaches the callback only while the agent runs; one that
// comes after stop is shut down instead. stop waits up to handOverWaitMs for callbacks that had
// already begun; when it returns, none is running unless one took longer than that. The host
// runs its admission inside the callback, so that admission must still check that hosting is on
// before it takes a connection.
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

    // Registers and serves until stop. After a stop the agent may be started again; connections
    // of the earlier run that arrive late are still shut down.
    void start();
    void stop();       // prompt; see the hand-over contract above
    void reconnect();  // drop the control line and register again at once

    bool connected() const { return connected_.load(); }
    const std::string& id() const { return id_; }

    // At most this many host-side punches and relayed data connections run at a time.
    static constexpr int kMaxPunchThreads = 4;
    static constexpr int kMaxDataThreads = 16;
    // At most this many "punch" lines are served per punch window: anyone who knows the id can
    // ask through the relay, and each punch dials and listens for seconds.
    static constexpr int kMaxPunchesPerWindow = 10;

    // Shared with the data and punch threads of one run, which may outlive the agent.
    struct Delivery {
        std::mutex mutex;
        std::condition_variable idle;  // notified when a hand-over ends
        bool stopped = false;
        int handingOver = 0;           // callbacks running now
        RelayConnCallback incoming;
    };

private:
    void loop();
    std::shared_ptr<FramedConn> dialWhileRunning();
    bool waitForInput(FramedConn& conn);
    void waitTicks(int ms);
    void dispatch(const std::string& line);
    void startPunch(const std::string& session);
    void startData(const std::string& session);
    bool punchAllowedNow();

    bool punchEnabled_ = true;
    std::function<int()> listenPort_;
    RelayConfig relay_;
    std::string id_;
    RelayConnCallback incoming_;
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
    // Lines that whoever asks the relay for this host can cause; shared with the threads.
    std::shared_ptr<LogLimiter> strangerLog_;
    std::vector<int64_t> punchTimes_;  // agent thread only: when the punches of the window began
};
