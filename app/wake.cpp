#include "app/wake.h"

#include <chrono>
#include <exception>
#include <memory>

#include "host/protocol/messages.h"
#include "viewer/session.h"

const char* const kWakeImpossibleTitle = "깨울 수 없습니다";
const char* const kWakeSearchingTitle = "깨우는 중";
const char* const kWakeResultTitle = "깨우기";
const char* const kWakeNobodyText = "켜져 있는 다른 등록 컴퓨터에 연결하지 못했습니다.";

WakePlan planWake(const AppConfig& config, const Peer& target) {
    WakePlan plan;
    for (const Peer& peer : config.hosts)
        if (peer.key != target.key) plan.senders.push_back(peer);
    if (plan.senders.empty()) {
        plan.title = kWakeImpossibleTitle;
        plan.text = target.name + " 와 같은 망에 켜져 있는 다른 등록 컴퓨터가 있어야 합니다.";
    } else {
        plan.title = kWakeSearchingTitle;
        plan.text = target.name + " 에 깨우기 신호를 보낼 컴퓨터를 찾고 있습니다…";
    }
    return plan;
}

Json wakeSessionRequest() {
    Json request;
    request.set("retina", false);
    request.set("fps", 1);
    request.set("display", 0);
    request.set("viewW", 0);
    request.set("viewH", 0);
    request.set("os", "windows");
    Json codecs;
    codecs.push("h264");
    request.set("codecs", codecs);
    request.set("purpose", "wake");
    return request;
}

std::string wakeSentText(const std::string& senderName, const std::string& targetName) {
    return senderName + " 을(를) 통해 " + targetName + " 에 깨우기 신호를 보냈습니다. 깨어나는 데 10~30초 걸립니다.";
}

std::string runWake(const std::vector<Peer>& senders, const Json& wake, const Peer& target, const KeyPair& keys,
                    const WakeErrand& errand) {
    const Json request = wakeSessionRequest();
    const Bytes message = encodeWakeRequest(wake);
    for (const Peer& sender : senders)
        if (errand(sender, keys, request, message)) return wakeSentText(sender.name, target.name);
    return kWakeNobodyText;
}

void WakeReply::notice(const std::string& text) {
    const State answer = text == kSent ? State::Sent : text == kNotSent ? State::NotSent : State::Waiting;
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Waiting || answer == State::Waiting) return;
    state_ = answer;
    changed_.notify_all();
}

void WakeReply::ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != State::Waiting) return;
    state_ = State::Ended;
    changed_.notify_all();
}

bool WakeReply::wait(int ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return state_ != State::Waiting; });
    return state_ == State::Waiting || state_ == State::Sent;
}

WakeErrand sessionWakeErrand(WakeTiming timing) {
    return [timing](const Peer& sender, const KeyPair& keys, const Json& request, const Bytes& message) {
        auto session = std::make_shared<ClientSession>(sender, keys, Bytes(), nullptr, std::string());
        session->clipboardSync = false;
        // Shared with the session's threads, which may report after this errand has returned.
        auto reply = std::make_shared<WakeReply>();
        session->onNotice = [reply](const std::string& text) { reply->notice(text); };
        session->onEnded = [reply](const std::string&) { reply->ended(); };
        bool taken = false;
        try {
            std::string route;
            session->connect(request, &route);
            session->send(MsgType::WakeRequest, message);
            // A link that drops after the handshake ends the session: not taken.
            taken = reply->wait(timing.replyWaitMs);
        } catch (const std::exception&) {
            // Off, refused or broken off: the next sender is tried.
        }
        session->close();
        return taken;
    };
}
