#include "net/connect.h"

#include <algorithm>
#include <exception>

#include "core/wire.h"
#include "net/framed.h"
#include "net/relay.h"

namespace {

constexpr const char* kCannotConnect = "연결할 수 없습니다";
constexpr int kDelaySliceMs = 50;

using Race = ConnectRace<FramedConn>;

// Hands in exactly one result per attempt thread, whatever happens on the way, so that the
// caller never waits out its budget for a thread that is gone.
class OfferOnce {
public:
    explicit OfferOnce(std::shared_ptr<Race> race) : race_(std::move(race)) {}
    ~OfferOnce() {
        if (race_) race_->offer(nullptr);
    }
    void offer(std::shared_ptr<FramedConn> conn) {
        auto race = std::move(race_);
        race->offer(std::move(conn));
    }

private:
    std::shared_ptr<Race> race_;
};

std::shared_ptr<FramedConn> viaRelay(const RelayConfig& relay, const std::string& targetId, std::string* routeLabel) {
    auto conn = connectViaRelay(relay, targetId);
    if (routeLabel) *routeLabel = relayRouteLabel(relay);
    return conn;
}

}  // namespace

std::string raceRouteLabel(const std::string& route, const std::string& peerAddress) {
    return route + " " + peerAddress;
}

std::string relayRouteLabel(const RelayConfig& relay) {
    return std::string(kRouteRelay) + " " + relay.host + ":" + std::to_string(relay.port);
}

bool relayUsable(const RelayConfig* relay) { return relay && relay->usable(); }

int punchStartDelayMs(int directAttemptsStarted, const ConnectTimings& t) {
    return directAttemptsStarted > 0 ? t.punchDelayMs : 0;
}

int raceBudgetMs(bool punching, const ConnectTimings& t) { return punching ? t.budgetWithRelayMs : t.budgetDirectMs; }

std::shared_ptr<FramedConn> connectPeer(const std::vector<std::string>& addresses, const RelayConfig* relay,
                                        const std::string& targetId, std::string* routeLabel, bool relayOnly,
                                        const ConnectTimings& timings) {
    const bool usable = relayUsable(relay);
    if (relayOnly) {
        if (usable && !targetId.empty()) return viaRelay(*relay, targetId, routeLabel);
        throw ProtoError(kCannotConnect);
    }

    auto race = std::make_shared<Race>();
    int directStarted = 0;
    for (const auto& address : addresses) {
        if (size_t(directStarted) >= kMaxDirectAttempts) break;
        std::string host;
        int port = 0;
        if (!splitHostPort(address, host, port)) continue;
        race->started();
        ++directStarted;
        int dialMs = timings.directDialMs;
        bool ok = startAttemptThread([race, host, port, dialMs] {
            OfferOnce result(race);
            result.offer(connectTcp(host, port, dialMs));
        });
        if (!ok) race->offer(nullptr);
    }

    const bool punching = usable && !targetId.empty();
    if (punching) {
        race->started();
        RelayConfig relayCopy = *relay;
        std::string id = targetId;
        int delayMs = punchStartDelayMs(directStarted, timings);
        PunchTimings punchTimings = timings.punch;
        bool ok = startAttemptThread([race, relayCopy, id, delayMs, punchTimings] {
            OfferOnce result(race);
            auto cancel = race->cancel();
            // The head start of the plain dials; a decided race needs no punching at all.
            for (int waited = 0; waited < delayMs && !cancel->load(); waited += kDelaySliceMs)
                sleepMs(std::min(kDelaySliceMs, delayMs - waited));
            std::shared_ptr<FramedConn> conn;
            if (!cancel->load()) conn = Punch::client(relayCopy, id, cancel, punchTimings);
            result.offer(std::move(conn));
        });
        if (!ok) race->offer(nullptr);
    }

    auto winner = race->finish(raceBudgetMs(punching, timings));
    if (winner) {
        if (routeLabel) *routeLabel = raceRouteLabel(winner->route, winner->peerAddress());
        return winner;
    }
    if (usable) return viaRelay(*relay, targetId, routeLabel);
    throw ProtoError(kCannotConnect);
}
