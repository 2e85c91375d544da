#include "support/fake_session.h"

#include <stdexcept>
#include <thread>

#include "core/wire.h"
#include "host/history.h"
#include "host/protocol/messages.h"

namespace {

std::atomic<int> liveThreads{0};

}  // namespace

FakeSession::FakeSession(std::shared_ptr<SecureChannel> channel, const std::string& peerName,
                         const std::string& peerKey, Json request_, bool failStart)
    : ViewerSession(std::move(channel), peerName, peerKey), request(std::move(request_)), failStart_(failStart) {}

int FakeSession::threadsRunning() { return liveThreads.load(); }

void FakeSession::start() {
    if (failStart_) throw std::runtime_error("세션 시작 실패");
    std::shared_ptr<FakeSession> self = shared_from_this();
    ++liveThreads;
    try {
        std::thread([self] {
            self->serve();
            --liveThreads;
        }).detach();
    } catch (...) {
        --liveThreads;
        throw;
    }
    started = true;
}

void FakeSession::serve() {
    try {
        for (;;) {
            ChannelMessage m = channel()->receive(-1);
            if (m.type == uint8_t(MsgType::Ping)) channel()->send(uint8_t(MsgType::Pong), m.payload);
        }
    } catch (const std::exception&) {
    }
    close();
}

void FakeSession::close() {
    if (closed_.exchange(true)) return;
    channel()->connection()->shutdown();
    if (historyId > 0) endConnectionRecord(historyId);
    if (onEnded) {
        ++endCallbacks;
        onEnded(this);
    }
}

bool FakeSession::post(MsgType type, Bytes payload) {
    std::lock_guard<std::mutex> lock(postedMutex_);
    if (closed_.load()) return false;
    posted_.emplace_back(type, std::move(payload));
    return true;
}

std::vector<std::pair<MsgType, Bytes>> FakeSession::posted() {
    std::lock_guard<std::mutex> lock(postedMutex_);
    return posted_;
}

Json FakeSession::stats() const {
    Json s;
    s.set("framesSent", 0);
    return s;
}

SessionFactory FakeSessions::factory() {
    return [state = state_, fail = failStarts_](std::shared_ptr<SecureChannel> channel, const std::string& name,
                                                const std::string& key, const Json& request, HostServer*) {
        auto session = std::make_shared<FakeSession>(std::move(channel), name, key, request, fail->load());
        std::lock_guard<std::mutex> lock(state->mutex);
        state->made.push_back(session);
        return std::shared_ptr<ViewerSession>(session);
    };
}

std::vector<std::shared_ptr<FakeSession>> FakeSessions::all() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->made;
}

std::shared_ptr<FakeSession> FakeSessions::named(const std::string& name) const {
    for (const auto& s : all())
        if (s->peerName() == name) return s;
    return nullptr;
}
