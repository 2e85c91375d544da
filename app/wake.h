// Waking a registered computer through another: the program connects as a viewer to another
// registered computer, asks it in a wake session to send the target's wake-on-LAN signal, and
// tells the user in a balloon which computer did it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/config/settings.h"
#include "core/crypto/x25519.h"
#include "core/json.h"
#include "core/util.h"

// Balloon titles and the fixed texts.
extern const char* const kWakeImpossibleTitle;  // "깨울 수 없습니다"
extern const char* const kWakeSearchingTitle;   // "깨우는 중"
extern const char* const kWakeResultTitle;      // "깨우기"
extern const char* const kWakeNobodyText;       // "켜져 있는 다른 등록 컴퓨터에 연결하지 못했습니다."

// What the UI thread does when a wake command is chosen: the computers to try (every other
// registered computer whose key differs from the target's byte for byte, in list order) and the
// first balloon. No sender: the balloon says so and nothing more happens.
struct WakePlan {
    std::vector<Peer> senders;
    std::string title, text;  // UTF-8
};
WakePlan planWake(const AppConfig& config, const Peer& target);

// The session request of a wake connection: the host starts no capture and records no history.
Json wakeSessionRequest();
// "<sender> 을(를) 통해 <target> 에 깨우기 신호를 보냈습니다. 깨어나는 데 10~30초 걸립니다."
std::string wakeSentText(const std::string& senderName, const std::string& targetName);

// One attempt through one sender: connect with `request`, send `message` (a wake request),
// wait for the sender's word, close. True when the sender took the request.
using WakeErrand = std::function<bool(const Peer& sender, const KeyPair& keys, const Json& request,
                                      const Bytes& message)>;

// The worker's run: tries the senders in order until one takes the target's wake request;
// returns the text of the result balloon.
std::string runWake(const std::vector<Peer>& senders, const Json& wake, const Peer& target, const KeyPair& keys,
                    const WakeErrand& errand);

// Waits of a wake errand. Tests shorten them; the product uses the defaults.
struct WakeTiming {
    int replyWaitMs = 2000;  // for the sender's notice after the wake request
};

// The sender's answer to a wake request, as the session reports it: its notice, or the end of the
// session. Filled from the session's threads, waited for on the errand's.
class WakeReply {
public:
    static constexpr const char* kSent = "깨우기 신호를 보냈습니다";
    static constexpr const char* kNotSent = "깨우기 신호를 보내지 못했습니다";

    // A notice of the sender; other notices than the two answers are not an answer.
    void notice(const std::string& text);
    // The session ended (dropped or refused by the sender).
    void ended();
    // True when the sender said it sent the signal, or said nothing within `ms` (an older sender
    // does not answer); false when it could not send it or the session ended first.
    bool wait(int ms);

private:
    enum class State { Waiting, Sent, NotSent, Ended };
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::Waiting;
};

// The product's errand: a viewer session to the sender (no clipboard sharing) that sends the wake
// request and waits up to `timing.replyWaitMs` for the sender's word or the session's end.
WakeErrand sessionWakeErrand(WakeTiming timing = WakeTiming());

#ifdef _WIN32
// The wake command for a registered computer (UI thread; returns at once): the first balloon,
// then a detached worker that tries the senders with `errand` and reports in a balloon through
// the tray window.
void wakeHost(const Peer& target, WakeErrand errand);
// The tray menu's command: the same with the product's errand.
void wakeHost(const Peer& target);
#endif
