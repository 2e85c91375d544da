// The host's front door: listens for viewers, keeps this PC registered at the relay, announces it
// on the local network, admits every incoming connection (direct, relayed or punched) and holds
// the one current session.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config/pairing.h"
#include "core/config/store.h"
#include "core/crypto/x25519.h"
#include "core/json.h"
#include "host/announce.h"
#include "host/password_guard.h"
#include "host/protocol/messages.h"
#include "host/viewer_session.h"
#include "net/channel.h"
#include "net/framed.h"
#include "net/relay_agent.h"

// Refusal texts of admission (logged after "연결 거부 또는 실패 (address): ").
extern const char* const kPasswordLoginRefused;  // "비밀번호 접속 받지 않음"
extern const char* const kBadHello;              // "인사 형식"
extern const char* const kDeviceNotAllowed;      // "허용되지 않은 기기"
extern const char* const kNoSessionRequest;      // "인사 없음"
extern const char* const kHostingStopped;        // the hosting run the connection came to has ended
extern const char* const kTooManyAdmissions;     // more connections at once than admission takes
extern const char* const kTooManyErrands;        // more wake errands at once than the host keeps

// Waits of the server. Tests shorten them; the product uses the defaults.
struct HostTiming {
    // The viewer's first handshake frame. A viewer sends it at once; a connection that sends
    // nothing must not hold an admission slot for long.
    int firstFrameMs = 2000;
    int requestMs = 10000;     // the session request after the handshake
    int acceptRetryMs = 250;   // pause after an accept that failed while the listener is open
    // A line that a connection not yet admitted can cause is logged at most this often per cause.
    int refusalLogMs = 60000;
    RelayAgentTiming agent;
};

// The accept loop: hands every connection from next to take; an empty result while the listener
// is still open is an accept that failed, logged and retried after retryMs; the loop ends once
// the listener is closed.
void runAcceptLoop(const std::function<std::shared_ptr<FramedConn>()>& next, const std::function<bool()>& open,
                   const std::function<void(std::shared_ptr<FramedConn>)>& take, int retryMs);

class HostServer {
public:
    // The process-wide server over the process-wide settings, device key and the system's DNS-SD,
    // admitting viewers into host sessions; built on first use and never destroyed (detached
    // threads may use it until the process ends).
    static HostServer& instance();

    HostServer(ConfigStore& store, KeyPair deviceKey, std::unique_ptr<LanAnnouncer> announcer);
    // Stops, then waits for admissions still running (their connections are shut down first).
    ~HostServer();
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    // At most this many admissions run at once. Connections that a relay agent hands over
    // (relayed or punched) draw on a share of their own, so that strangers on one route cannot
    // shut viewers on the other out, and one address (an IPv6 one by its /64) holds at most a few
    // of the direct ones. When a newcomer finds its share full, the oldest admission of that
    // share that has not yet sent its first frame gives way; when none may, the newcomer is shut
    // down.
    static constexpr int kMaxAdmissions = 32;
    static constexpr int kMaxRelayedAdmissions = 8;
    static constexpr int kMaxDirectAdmissions = kMaxAdmissions - kMaxRelayedAdmissions;
    static constexpr int kMaxAdmissionsPerSource = 4;
    // Wake errands kept at once (one per device key; a new one from the same device replaces it).
    static constexpr int kMaxErrands = 8;

    PairingCode pairing;
    PasswordGuard passwords;
    // Set once by the tray before hosting first starts; called with no lock held.
    std::function<void()> onStateChanged;
    std::function<void(const std::string& name, const std::string& route)> onConnected;
    // Set once before hosting first starts.
    SessionFactory makeSession;
    HostTiming timing;

    // Stops whatever ran, listens on port and starts the accept loop, the announcement and the
    // relay agents. False when the port cannot be opened; nothing runs then.
    bool start(int port, bool announce, bool relay, bool loopbackOnly);
    // Listener, accept loop, relay agents, announcement and sessions, in this order. Harmless
    // when nothing runs. Connections that arrived under the run it ends are never admitted.
    void stop();
    // Closes the current session and every wake errand.
    void closeSessions();
    std::shared_ptr<ViewerSession> currentSession();
    // Password logins are switched on and a password is stored.
    bool passwordAccessOn();

    // Admits one connection under the hosting run now in force (refused when none); returns once
    // the session has started or the connection was refused. Never throws.
    void accept(std::shared_ptr<FramedConn> conn);
    // The paired-device decision: the key is allowed, or the hello carries the live pairing code
    // (which is used up and adds the device).
    bool check(const std::string& keyText, const Json& hello);

    // The local-network announcement.
    DnsSdRegistration* registerDnsSd(int port, const std::string& suffix);
    void announceLan(int port);
    void withdrawLan();

    // What the tray shows. The agents are read and reconnected on the thread that starts and
    // stops hosting.
    bool running() const { return running_.load(); }
    int port() const { return running_.load() ? listener_.port() : 0; }
    const KeyPair& deviceKey() const { return deviceKey_; }
    const std::string& deviceId() const { return deviceId_; }
    const std::string& accessId() const { return accessId_; }
    RelayHostAgent* relayAgent() const { return relayAgent_.get(); }
    RelayHostAgent* accessRelayAgent() const { return accessRelayAgent_.get(); }
    // Admissions holding a slot now (one that gave way holds none): all of them, and those
    // handed over by a relay agent.
    int admissionsRunning() const;
    int relayedAdmissionsRunning() const;

private:
    struct Shared;

    static void admitCounted(const std::shared_ptr<Shared>& shared, std::shared_ptr<FramedConn> conn, uint64_t run,
                             bool relayed);
    void admit(const std::shared_ptr<FramedConn>& conn, uint64_t run);
    void admitOrThrow(const std::shared_ptr<FramedConn>& conn, uint64_t run);
    // The steps of admitOrThrow that need the server; a refusal is thrown as a ProtoError.
    // The handshakes; they set the viewer's hello and key text and return the channel. The
    // password one spends an attempt of `passwords`, the paired one asks check.
    std::shared_ptr<SecureChannel> passwordHandshake(const std::shared_ptr<FramedConn>& conn, const Bytes& first,
                                                     const Bytes& hostHello, Json& peerHello, std::string& keyText);
    std::shared_ptr<SecureChannel> pairedHandshake(const std::shared_ptr<FramedConn>& conn, const Bytes& first,
                                                   const Bytes& hostHello, Json& peerHello, std::string& keyText);
    // A viewer that came in by password is added to the allowed devices (unless its key is there).
    void allowPasswordPeer(const std::string& name, const std::string& keyText, const std::string& os);
    // The session from makeSession, with the clipboard setting.
    std::shared_ptr<ViewerSession> newSession(const std::shared_ptr<SecureChannel>& channel, const std::string& name,
                                              const std::string& keyText, const Json& request);
    // Makes the session the current one, or one of the errands, under the run it came to; returns
    // the one it replaces (for the caller to close). A session it may not adopt is closed.
    std::shared_ptr<ViewerSession> adoptSession(const std::shared_ptr<ViewerSession>& session, uint64_t run,
                                                bool errand, const std::string& keyText);
    // Notes the device's connection time (and its system when none is known), then starts the
    // session; a session that fails here is closed.
    void startSession(const std::shared_ptr<ViewerSession>& session, const std::string& keyText,
                      const std::string& os);
    void startAdmissionThread(std::shared_ptr<FramedConn> conn, uint64_t run);
    bool runIsCurrent(uint64_t run);
    uint64_t currentRun();
    void sessionEnded(ViewerSession* session);
    std::function<void(ViewerSession*)> endCallback() const;
    std::unique_ptr<RelayHostAgent> makeAgent(const RelayConfig& relay, const std::string& id, uint64_t run,
                                              bool loopbackOnly);
    std::string storedPassword();

    ConfigStore& store_;
    const KeyPair deviceKey_;
    const std::string deviceId_;
    const std::string accessId_;
    std::unique_ptr<LanAnnouncer> announcer_;
    std::shared_ptr<Shared> shared_;

    ListenSocket listener_;
    std::thread acceptThread_;
    std::atomic<bool> running_{false};
    std::unique_ptr<RelayHostAgent> relayAgent_;
    std::unique_ptr<RelayHostAgent> accessRelayAgent_;
    DnsSdRegistration* lanRegistrations_[2] = {nullptr, nullptr};

    std::mutex sessionMutex_;  // guards the members below; never held while closing or calling out
    std::shared_ptr<ViewerSession> current_;
    std::vector<std::shared_ptr<ViewerSession>> errands_;  // wake errands, beside the current session
    uint64_t run_ = 0;         // the hosting run in force; 0 while stopped
    uint64_t lastRun_ = 0;
};
