// How a viewer reaches a host: plain dials to every known address race hole punching through
// the relay; the first connection wins, and the relayed connection is the fallback.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/punch.h"
#include "net/race.h"

class FramedConn;
struct RelayConfig;

// Intervals of one race. The defaults are the product's; tests shorten the long ones.
struct ConnectTimings {
    int directDialMs = 3000;       // time-out of each plain dial
    int punchDelayMs = 700;        // head start of the plain dials over hole punching
    int budgetWithRelayMs = 14000; // longest wait for the race when hole punching takes part
    int budgetDirectMs = 3500;     // the same when only plain dials take part
    PunchTimings punch;
};

// Texts shown for the route of a connection: "직접 10.0.0.5:47800", "중계 relay.example:47900".
std::string raceRouteLabel(const std::string& route, const std::string& peerAddress);
std::string relayRouteLabel(const RelayConfig& relay);

// A relay counts only when it is given and has a host, a port above 0 and a secret.
bool relayUsable(const RelayConfig* relay);

// How long hole punching waits before it starts: the plain dials go first when there is any.
// Decided from the number of dials started, not from how many still run, so that a dial that
// fails at once does not take the head start away.
int punchStartDelayMs(int directAttemptsStarted, const ConnectTimings& t);
// How long the caller waits for the race.
int raceBudgetMs(bool punching, const ConnectTimings& t);

// One race of connection attempts. The first connection handed in wins; any that comes after
// the race was decided (a winner exists or the caller stopped waiting) is shut down by the
// hand-in.
template <class Conn>
class ConnectRace : public RaceState<Conn> {
public:
    ConnectRace() : cancel_(std::make_shared<std::atomic<bool>>(false)) {}

    // Set once a winner exists or the caller stopped waiting; hole punching watches it.
    const std::shared_ptr<std::atomic<bool>>& cancel() const { return cancel_; }

    // An attempt's result as it ends (conn may be empty). True when it became the winner.
    bool offer(std::shared_ptr<Conn> conn) {
        bool won = false;
        {
            std::lock_guard<std::mutex> lock(this->mutex_);
            --this->pending_;
            won = this->keepFirst(conn);
            if (won) cancel_->exchange(true);
            this->cv_.notify_all();
        }
        if (conn) conn->shutdown();
        return won;
    }

    // Waits until a winner exists, every attempt has ended or budgetMs have passed; from then
    // on the race is decided. Returns the winner, possibly empty; the caller alone decides when
    // it closes.
    std::shared_ptr<Conn> finish(int budgetMs) {
        return this->finishWhen(
            budgetMs, [&] { return this->won_ || this->pending_ <= 0; }, [&] { cancel_->exchange(true); });
    }

private:
    std::shared_ptr<std::atomic<bool>> cancel_;
};

// Plain dials of one race: each is a thread, and the addresses come from a peer address string
// someone else made, so only the first this many usable ones are dialled.
inline constexpr size_t kMaxDirectAttempts = 16;

// Races plain dials to the addresses that splitHostPort accepts (at most kMaxDirectAttempts of
// them, in order) against hole punching (when
// the relay is usable and targetId is not empty), then falls back to the relay. relayOnly goes
// to the relay at once. Never returns empty: throws ProtoError "연결할 수 없습니다" when nothing
// could be reached and there is no relay; the relay's own errors pass through.
// routeLabel (may be null) receives the route text of the connection.
std::shared_ptr<FramedConn> connectPeer(const std::vector<std::string>& addresses, const RelayConfig* relay,
                                        const std::string& targetId, std::string* routeLabel, bool relayOnly,
                                        const ConnectTimings& timings = ConnectTimings());
