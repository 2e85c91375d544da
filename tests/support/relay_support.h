// Shared by the relay agent and hole-punching tests: where delivered connections land, and
// short agent intervals.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "net/framed.h"
#include "net/relay.h"
#include "net/relay_agent.h"

// Connections handed to a host callback. The callback shares the list, so data and punch threads
// that outlive a test never touch its stack.
class Deliveries {
public:
    RelayConnCallback callback() const {
        return [s = state_](std::shared_ptr<FramedConn> conn) {
            std::lock_guard<std::mutex> lock(s->mutex);
            s->conns.push_back(std::move(conn));
        };
    }
    static RelayConnCallback into(const std::shared_ptr<Deliveries>& d) { return d->callback(); }
    size_t count() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->conns.size();
    }
    std::shared_ptr<FramedConn> at(size_t i) const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return i < state_->conns.size() ? state_->conns[i] : nullptr;
    }
    std::vector<std::shared_ptr<FramedConn>> all() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->conns;
    }

private:
    struct State {
        std::mutex mutex;
        std::vector<std::shared_ptr<FramedConn>> conns;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The agent's intervals shortened for tests; the keep-alive stays at the product's value.
inline RelayAgentTiming fastAgentTiming() {
    RelayAgentTiming t;
    t.backoffStartMs = 100;
    t.backoffMaxMs = 400;
    t.pollMs = 50;
    t.tickMs = 10;
    t.reconnectDelayMs = 100;
    return t;
}
