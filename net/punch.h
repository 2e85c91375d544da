// Hole punching: both ends meet at the relay, learn each other's addresses and then dial each
// other again and again from the port of their relay connection while also listening on it,
// so that a simultaneous open or an inbound connection through a fresh mapping comes up.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log_limit.h"
#include "core/util.h"
#include "net/ip_address.h"
#include "net/race.h"

class FramedConn;
class Json;
struct RelayConfig;

// Intervals of one punch. The defaults are the product's; tests shorten the long ones.
struct PunchTimings {
    int clientAttemptMs = 5000;  // viewer side: how long the dialling goes on
    int hostAttemptMs = 6000;    // host side: the same
    int hostLingerMs = 1500;     // host side: the first dialled connection cuts the rest to this
    int attemptWaitMs = 8000;    // longest wait of an attempt for its threads
    int minDialMs = 300;         // no single dial waits less for its answer
    int refusedPauseMs = 15;     // pause after a refused dial
    int quickFailMs = 200;       // a dial that failed faster than this ...
    int quickPauseMs = 60;       // ... is followed by this pause
    int listenPollMs = 100;      // the listener looks at the race this often
    int publicDialMs = 3000;     // dial time-out of the host's public listening address
    int replyTimeoutMs = 12000;  // the relay's answer to a punch hello
};

// Pause before the next dial of a punching thread.
int punchRetryPauseMs(bool refused, int64_t tryNanos, const PunchTimings& t);
// Time-out of the next dial: what is left until the deadline, but never below the minimum.
int punchDialTimeoutMs(int64_t nowNs, int64_t deadlineNs, const PunchTimings& t);
// Lowers the deadline cell to limitNs unless it is already earlier.
void lowerDeadline(std::atomic<int64_t>& deadline, int64_t limitNs);

// "addr:port" for each local address, in order.
std::vector<std::string> localAddressList(const std::vector<std::string>& addresses, int port);

// Every connection of one punch attempt meets here. With a callback (host side) every
// connection is handed on; without one (viewer side) only the first is kept and every later
// one is shut down.
template <class Conn>
class PunchRace : public RaceState<Conn> {
    using Base = RaceState<Conn>;

public:
    using Callback = std::function<void(std::shared_ptr<Conn>)>;

    PunchRace(Callback callback, std::shared_ptr<std::atomic<int64_t>> deadline, int lingerMs)
        : callback_(std::move(callback)), deadline_(std::move(deadline)), lingerMs_(lingerMs) {}

    bool hostSide() const { return bool(callback_); }

    // A thread's result as it ends (conn may be empty). The thread is counted out whatever the
    // callback does, so that the attempt never waits for a thread that is gone.
    void offer(std::shared_ptr<Conn> conn) {
        {
            std::lock_guard<std::mutex> lock(this->mutex_);
            if (conn && callback_) {
                if (!this->won_) {
                    this->won_ = true;
                    this->winner_ = conn;
                    lowerDeadline(*deadline_, nowNanos() + int64_t(lingerMs_) * 1000000);
                }
                conn = handOver(std::move(conn));
            } else {
                this->keepFirst(conn);
            }
            --this->pending_;
            this->cv_.notify_all();
        }
        if (conn) conn->shutdown();
    }

    // Host side: a connection the listener accepted while it keeps listening. The first one
    // becomes the winner without lowering the deadline; every one goes to the callback.
    void accepted(std::shared_ptr<Conn> conn) {
        {
            std::lock_guard<std::mutex> lock(this->mutex_);
            if (!this->won_) {
                this->won_ = true;
                this->winner_ = conn;
            }
            conn = handOver(std::move(conn));
        }
        if (conn) conn->shutdown();
    }

    // Viewer side: a winner exists or the attempt stopped waiting, so dialling and listening
    // end. Always false on the host side, whose threads run to the deadline.
    bool decided() {
        if (callback_) return false;
        std::lock_guard<std::mutex> lock(this->mutex_);
        return this->won_ || this->done_;
    }

    bool hasWinner() {
        std::lock_guard<std::mutex> lock(this->mutex_);
        return this->won_;
    }

    // Waits at most waitMs while threads run and (viewer side) nothing has won. From then on the
    // attempt is over: on the viewer side every later connection is shut down.
    std::shared_ptr<Conn> finish(int waitMs) {
        return this->finishWhen(
            waitMs, [&] { return this->pending_ <= 0 || (this->won_ && !callback_); }, [] {});
    }

private:
    // Under the lock. A callback that throws has not taken the connection: it is given back to be
    // shut down, and the thread that offered it goes on.
    std::shared_ptr<Conn> handOver(std::shared_ptr<Conn> conn) {
        try {
            callback_(conn);
            return nullptr;
        } catch (const std::exception& e) {
            logLine(std::string("구멍 뚫기 연결 처리 오류: ") + e.what());
        } catch (...) {
            logLine("구멍 뚫기 연결 처리 오류");
        }
        return conn;
    }

    Callback callback_;
    std::shared_ptr<std::atomic<int64_t>> deadline_;
    int lingerMs_;
};

// What the relay told one side of a punch.
struct RendezvousResult {
    std::shared_ptr<FramedConn> relay;  // kept open until the attempt has ended
    int localPort = 0;
    std::vector<std::string> peers;     // "peer" first, then the new "peerLocal" entries
    std::string peerListen;             // the host's listening address (viewer side), or empty
};

// At most this many peer addresses of one reply are kept: each one is a thread dialling in a
// loop, and a PC has only a few addresses.
inline constexpr size_t kMaxPunchPeers = 16;
// The host side hands on at most this many connections that its punch listener accepts; later
// ones are closed at once, with no thread and no log line (anyone may connect to that port).
inline constexpr int kMaxPunchAccepts = 4;

// The host's own on-link IPv4 subnets: the system's, unless a test set another source (an empty
// source restores the system's).
std::vector<IpSubnet> hostOnLinkSubnets();
void setOnLinkSubnetSource(std::function<std::vector<IpSubnet>()> source);

// Reads the relay's answer to a punch hello into peers and peerListen. False unless "ok" is
// true and "peer" is text.
bool parseRendezvousReply(const Json& reply, RendezvousResult& result);

class Punch {
public:
    using Handler = std::function<void(std::shared_ptr<FramedConn>)>;

    // Viewer side: empty on failure; reports only through the log.
    static std::shared_ptr<FramedConn> client(const RelayConfig& relay, const std::string& targetId,
                                              std::shared_ptr<std::atomic<bool>> cancel,
                                              const PunchTimings& timings = PunchTimings());
    // Host side, for the session the relay announced; every connection goes to onConnection on
    // a thread of its own. Of the addresses the relay reports it dials only those punchDialTargets
    // allows within the host's on-link subnets. Its log lines (which the stranger at the other end
    // causes) go through log when one is given.
    static void host(const RelayConfig& relay, const std::string& id, const std::string& session,
                     int listenPort, const Handler& onConnection,
                     const PunchTimings& timings = PunchTimings(), std::shared_ptr<LogLimiter> log = nullptr);
    // Opens the relay connection from a reusable port and exchanges addresses; never throws.
    static bool rendezvous(const RelayConfig& relay, const std::string& role, const std::string& id,
                           const std::string& session, const Json& extras, RendezvousResult& result,
                           const PunchTimings& timings = PunchTimings());
    // Dials every peer from localPort, listens on it and, when given, dials the peer's listening
    // address; returns the winner (possibly empty). deadlineNs is on the steady clock.
    static std::shared_ptr<FramedConn> attempt(int localPort, const std::vector<std::string>& peers,
                                               const std::string& peerListen, int64_t deadlineNs,
                                               std::shared_ptr<std::atomic<bool>> cancel,
                                               Handler onConnection,
                                               const PunchTimings& timings = PunchTimings(),
                                               std::shared_ptr<LogLimiter> log = nullptr);

    // Punch and race threads still running (for shutting down cleanly and for tests).
    static int threadsRunning();
};

// Starts a detached attempt thread, counted by Punch::threadsRunning until its body returns.
// False when no thread could be started (the body then never runs).
bool startAttemptThread(std::function<void()> body);
