#include "host/server.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <optional>
#include <system_error>
#include <utility>

#include "core/config/keys.h"
#include "core/log_limit.h"
#include "core/crypto/hash.h"
#include "core/crypto/identity.h"
#include "core/util.h"
#include "core/wire.h"
#include "host/history.h"
#include "host/protocol/messages.h"
#include "host/session_factory.h"
#include "net/handshake.h"
#include "net/ip_address.h"

const char* const kPasswordLoginRefused = "비밀번호 접속 받지 않음";
const char* const kBadHello = "인사 형식";
const char* const kDeviceNotAllowed = "허용되지 않은 기기";
const char* const kNoSessionRequest = "인사 없음";
const char* const kHostingStopped = "원격 제어 허용이 꺼진 뒤의 연결";
const char* const kTooManyAdmissions = "동시에 받는 연결이 너무 많음";
const char* const kTooManyErrands = "동시에 받는 깨우기 연결이 너무 많음";

namespace {

const char* const kHowPassword = "비밀번호";
const char* const kHowPaired = "등록한 기기";

std::string textOr(const Json& value, const std::string& fallback) {
    return value.isString() ? value.text : fallback;
}

Json parseHello(const Bytes& identity) {
    Json hello;
    if (!Json::parse(spanToString(identity), hello)) throw ProtoError(kBadHello);
    return hello;
}

void logRefusal(const FramedConn& conn, const std::string& why) {
    logLine("연결 거부 또는 실패 (" + conn.peerAddress() + "): " + why);
}

}  // namespace

// What the server shares with the threads that call into it (admissions, relay agents' hand-overs,
// session ends): they enter through here, so the server is never used once it is being destroyed,
// and its destructor can wait for those that entered.
struct HostServer::Shared {
    // Why a connection found no admission slot; each cause is logged at most once per interval.
    enum Cause { kSourceFull, kDirectFull, kRelayedFull, kCauseCount };
    struct Admission {
        std::shared_ptr<FramedConn> conn;
        bool relayed = false;
        std::string source;
        bool firstFrame = false;  // the peer has sent its first frame
        bool gaveWay = false;     // shut down for a newcomer; no longer counted
    };

    std::mutex mutex;
    std::condition_variable idle;
    HostServer* server = nullptr;
    bool closing = false;
    int admissions = 0;
    int relayed = 0;
    int calls = 0;  // session ends under way
    std::vector<Admission> inFlight;  // oldest first; those that gave way stay until their thread ends
    std::map<std::string, int> perSource;
    // Every line a peer can cause before it is admitted goes through here.
    LogLimiter strangerLog;

    // The address a direct connection comes from, without its port; IPv6 by its /64.
    static std::string sourceOf(const FramedConn& conn) {
        std::string host;
        int port = 0;
        splitHostPort(conn.peerAddress(), host, port);
        return admissionSource(host);
    }

    // Under the mutex: the cause that keeps this connection out, or kCauseCount when a slot is free.
    int fullCause(bool viaRelay, const std::string& source) {
        if (viaRelay) return relayed >= kMaxRelayedAdmissions ? kRelayedFull : kCauseCount;
        auto it = perSource.find(source);
        if (it != perSource.end() && it->second >= kMaxAdmissionsPerSource) return kSourceFull;
        return admissions - relayed >= kMaxDirectAdmissions ? kDirectFull : kCauseCount;
    }
    // Under the mutex: the oldest admission of the full pool that has not yet sent its first frame
    // gives way (shut down, no longer counted). A real viewer sends its first frame at once, so
    // only connections that hold a slot without using it make room. False when none may.
    bool makeRoom(int cause, const std::string& source) {
        // Those that gave way but still run are bounded too: each newcomer makes at most one.
        if (int(inFlight.size()) >= 2 * kMaxAdmissions) return false;
        for (Admission& a : inFlight) {
            // Bytes still waiting in the socket are a first frame on its way to the admission.
            if (a.gaveWay || a.firstFrame || a.conn->peerBytesWaiting()) continue;
            if (cause == kRelayedFull ? !a.relayed : a.relayed) continue;
            if (cause == kSourceFull && a.source != source) continue;
            a.gaveWay = true;
            uncount(a);
            a.conn->shutdown();
            return true;
        }
        return false;
    }
    void uncount(const Admission& a) {
        --admissions;
        if (a.relayed) {
            --relayed;
        } else if (--perSource[a.source] <= 0) {
            perSource.erase(a.source);
        }
    }

    // Counts an admission in; false when the server is going away or has no slot for it (then
    // shut the connection down, and log the refusal when it is time to).
    bool enterAdmission(const std::shared_ptr<FramedConn>& conn, bool viaRelay) {
        const std::string source = viaRelay ? std::string() : sourceOf(*conn);
        int cause = kCauseCount;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (closing) return false;
            cause = fullCause(viaRelay, source);
            // Room made in the per-source pool may leave the direct pool full still.
            for (int tries = 0; cause != kCauseCount && tries < 2 && makeRoom(cause, source); ++tries)
                cause = fullCause(viaRelay, source);
            if (cause == kCauseCount) {
                ++admissions;
                if (viaRelay) ++relayed;
                else ++perSource[source];
                inFlight.push_back(Admission{conn, viaRelay, source});
                return true;
            }
        }
        static const char* const kCauseNames[kCauseCount] = {"slots:source", "slots:direct", "slots:relayed"};
        refuse(*conn, kCauseNames[cause], kTooManyAdmissions);
        return false;
    }
    // A refusal line, through the limiter under the given cause.
    void refuse(const FramedConn& conn, const std::string& cause, const std::string& why) {
        if (std::optional<std::string> tail = strangerLog.admit(cause)) logRefusal(conn, why + *tail);
    }
    void firstFrameArrived(const std::shared_ptr<FramedConn>& conn) {
        std::lock_guard<std::mutex> lock(mutex);
        for (Admission& a : inFlight)
            if (a.conn == conn) a.firstFrame = true;
    }
    void leaveAdmission(const std::shared_ptr<FramedConn>& conn) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = std::find_if(inFlight.begin(), inFlight.end(), [&](const Admission& a) { return a.conn == conn; });
        if (it != inFlight.end()) {
            if (!it->gaveWay) uncount(*it);
            inFlight.erase(it);
        }
        idle.notify_all();
    }
    HostServer* enterCall() {
        std::lock_guard<std::mutex> lock(mutex);
        if (closing) return nullptr;
        ++calls;
        return server;
    }
    void leaveCall() {
        std::lock_guard<std::mutex> lock(mutex);
        --calls;
        idle.notify_all();
    }
};

void runAcceptLoop(const std::function<std::shared_ptr<FramedConn>()>& next, const std::function<bool()>& open,
                   const std::function<void(std::shared_ptr<FramedConn>)>& take, int retryMs) {
    for (;;) {
        std::shared_ptr<FramedConn> conn = next();
        if (conn) {
            take(std::move(conn));
            continue;
        }
        if (!open()) return;
        // Out of handles or memory, say: this passes, so wait a little rather than spin.
        logLine("연결 받기 실패 — 잠시 뒤 다시 받음");
        for (int waited = 0; waited < retryMs && open(); waited += kWaitSliceMs)
            sleepMs(std::min(kWaitSliceMs, retryMs - waited));
    }
}

HostServer& HostServer::instance() {
    static HostServer* server = [] {
        auto* s = new HostServer(configStore(), loadDeviceKey(), systemLanAnnouncer());
        s->makeSession = hostSessionFactory();
        return s;
    }();
    return *server;
}

HostServer::HostServer(ConfigStore& store, KeyPair deviceKey, std::unique_ptr<LanAnnouncer> announcer)
    : passwords([this] { return storedPassword(); }),
      store_(store),
      deviceKey_(std::move(deviceKey)),
      deviceId_(sha256Hex(deviceKey_.publicKey)),
      accessId_(accessIdFromKey(deviceKey_.publicKey)),
      announcer_(std::move(announcer)),
      shared_(std::make_shared<Shared>()) {
    shared_->server = this;
}

HostServer::~HostServer() {
    stop();
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->closing = true;
    for (const auto& admission : shared_->inFlight) admission.conn->shutdown();
    shared_->idle.wait(lock, [this] { return shared_->inFlight.empty() && shared_->calls == 0; });
    shared_->server = nullptr;
}

int HostServer::admissionsRunning() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->admissions;
}

int HostServer::relayedAdmissionsRunning() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->relayed;
}

// ---- start and stop ----

bool HostServer::start(int port, bool announce, bool relay, bool loopbackOnly) {
    stop();
    if (!listener_.open(port, loopbackOnly)) {
        logLine("대기 실패: 포트 " + std::to_string(port));
        return false;
    }
    uint64_t run;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        run = run_ = ++lastRun_;
    }
    shared_->strangerLog.setIntervalMs(timing.refusalLogMs);
    running_.exchange(true);
    try {
        acceptThread_ = std::thread([this, run] {
            runAcceptLoop([this] { return listener_.accept(); }, [this] { return listener_.isOpen(); },
                          [this, run](std::shared_ptr<FramedConn> conn) { startAdmissionThread(std::move(conn), run); },
                          timing.acceptRetryMs);
            running_.store(false);
        });
    } catch (const std::system_error& e) {
        logLine("대기 실패: 포트 " + std::to_string(port) + " (" + e.what() + ")");
        stop();
        return false;
    }
    const int bound = listener_.port();
    if (announce) announceLan(bound);

    RelayConfig relayConfig = effectiveRelay(store_.get());
    if (relay && relayConfig.usable()) {
        relayAgent_ = makeAgent(relayConfig, deviceId_, run, loopbackOnly);
        relayAgent_->start();
        if (passwordAccessOn()) {
            accessRelayAgent_ = makeAgent(relayConfig, accessId_, run, loopbackOnly);
            accessRelayAgent_->start();
        }
    }
    logLine("원격 제어 허용 켬 (포트 " + std::to_string(bound) + ", ID " + deviceId_ + ")");
    if (onStateChanged) onStateChanged();
    return true;
}

std::unique_ptr<RelayHostAgent> HostServer::makeAgent(const RelayConfig& relay, const std::string& id, uint64_t run,
                                                      bool loopbackOnly) {
    std::shared_ptr<Shared> shared = shared_;
    auto agent = std::make_unique<RelayHostAgent>(
        relay, id, [shared, run](std::shared_ptr<FramedConn> conn) { admitCounted(shared, std::move(conn), run, true); });
    agent->setPunchEnabled(true);
    agent->setTiming(timing.agent);
    // The agents stop before the listener goes, so the provider never outlives it.
    if (!loopbackOnly) agent->setListenPortProvider([this] { return listener_.port(); });
    return agent;
}

void HostServer::stop() {
    {
        // From here on nothing that arrived under the ending run becomes a session.
        std::lock_guard<std::mutex> lock(sessionMutex_);
        run_ = 0;
    }
    listener_.close();
    if (acceptThread_.joinable()) acceptThread_.join();
    running_.store(false);
    for (std::unique_ptr<RelayHostAgent>* slot : {&relayAgent_, &accessRelayAgent_}) {
        std::unique_ptr<RelayHostAgent> agent = std::move(*slot);
        if (agent) agent->stop();
    }
    withdrawLan();
    closeSessions();
}

bool HostServer::runIsCurrent(uint64_t run) {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return run != 0 && run == run_;
}

uint64_t HostServer::currentRun() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return run_;
}

// ---- sessions ----

void HostServer::closeSessions() {
    std::vector<std::shared_ptr<ViewerSession>> live;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        if (current_) live.push_back(current_);
        live.insert(live.end(), errands_.begin(), errands_.end());
    }
    // Closing calls the end callback, which takes the mutex.
    for (const auto& session : live) session->close();
}

std::shared_ptr<ViewerSession> HostServer::currentSession() {
    std::lock_guard<std::mutex> lock(sessionMutex_);
    return current_;
}

std::function<void(ViewerSession*)> HostServer::endCallback() const {
    std::shared_ptr<Shared> shared = shared_;
    return [shared](ViewerSession* session) {
        HostServer* server = shared->enterCall();
        if (!server) return;  // the server is going away; nothing is left to update
        server->sessionEnded(session);
        shared->leaveCall();
    };
}

void HostServer::sessionEnded(ViewerSession* session) {
    std::shared_ptr<ViewerSession> ended;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        if (current_.get() == session) {
            ended = std::move(current_);
            current_.reset();
        } else {
            auto it = std::find_if(errands_.begin(), errands_.end(),
                                   [session](const std::shared_ptr<ViewerSession>& s) { return s.get() == session; });
            if (it != errands_.end()) {
                ended = std::move(*it);
                errands_.erase(it);
            }
        }
    }
    logLine("연결 끊김: " + session->peerName() + " " + session->stats().dump());
    if (onStateChanged) onStateChanged();
}

// ---- admission ----

void HostServer::accept(std::shared_ptr<FramedConn> conn) {
    if (conn) admitCounted(shared_, std::move(conn), currentRun(), false);
}

void HostServer::admitCounted(const std::shared_ptr<Shared>& shared, std::shared_ptr<FramedConn> conn, uint64_t run,
                              bool relayed) {
    if (!shared->enterAdmission(conn, relayed)) {
        conn->shutdown();
        return;
    }
    // While an admission is counted, the server's destructor waits for it.
    shared->server->admit(conn, run);
    shared->leaveAdmission(conn);
}

void HostServer::startAdmissionThread(std::shared_ptr<FramedConn> conn, uint64_t run) {
    if (!shared_->enterAdmission(conn, false)) {
        conn->shutdown();
        return;
    }
    std::shared_ptr<Shared> shared = shared_;
    try {
        std::thread([shared, conn, run] {
            shared->server->admit(conn, run);
            shared->leaveAdmission(conn);
        }).detach();
    } catch (const std::system_error& e) {
        shared_->refuse(*conn, e.what(), e.what());
        conn->shutdown();
        shared_->leaveAdmission(conn);
    }
}

void HostServer::admit(const std::shared_ptr<FramedConn>& conn, uint64_t run) {
    try {
        admitOrThrow(conn, run);
    } catch (const std::exception& e) {
        shared_->refuse(*conn, e.what(), e.what());
        conn->shutdown();
    } catch (...) {
        shared_->refuse(*conn, "?", "?");
        conn->shutdown();
    }
}

namespace {

// The hello the host sends in the handshake.
Bytes hostHelloBytes(const std::string& deviceName, const std::string& deviceId) {
    Json hostHello;
    hostHello.set("name", deviceName);
    hostHello.set("id", deviceId);
    hostHello.set("os", "windows");
    const std::string hostHelloText = hostHello.dump();
    return Bytes(hostHelloText.begin(), hostHelloText.end());
}

// The session request, the first message on the channel.
Json receiveRequest(SecureChannel& channel, int timeoutMs) {
    // Until the request opens, the paired route has only the peer's claim to a key: it gets the
    // handshake's small frames, not a session's.
    ChannelMessage message = channel.receive(timeoutMs, kMaxHandshakeFrame);
    if (message.type != uint8_t(MsgType::SessionRequest)) throw ProtoError(kNoSessionRequest);
    Json request;
    if (message.payload.size() > maxPayload(MsgType::SessionRequest) || !decodeJson(message.payload, request))
        throw ProtoError(kBadHello);
    return request;
}

}  // namespace

void HostServer::admitOrThrow(const std::shared_ptr<FramedConn>& conn, uint64_t run) {
    if (!runIsCurrent(run)) throw ProtoError(kHostingStopped);
    const Bytes hostHello = hostHelloBytes(store_.get().deviceName, deviceId_);

    const Bytes first = conn->readFrame(kMaxHandshakeFrame, timing.firstFrameMs);
    shared_->firstFrameArrived(conn);
    const bool byPassword = isPasswordHello(first);
    std::shared_ptr<SecureChannel> channel;
    Json peerHello;
    std::string keyText;
    if (byPassword) {
        channel = passwordHandshake(conn, first, hostHello, peerHello, keyText);
    } else {
        channel = pairedHandshake(conn, first, hostHello, peerHello, keyText);
    }

    const Json request = receiveRequest(*channel, timing.requestMs);
    if (!runIsCurrent(run)) throw ProtoError(kHostingStopped);

    const std::string name = textOr(peerHello.get("name"), "?");
    const std::string os = textOr(request.get("os"), "mac");
    if (byPassword) allowPasswordPeer(name, keyText, os);
    logLine("연결 허용: " + name + " (" + conn->peerAddress() + ", " + os + ")");

    std::shared_ptr<ViewerSession> session = newSession(channel, name, keyText, request);
    // A wake errand only passes a message on: it must not throw out whoever uses this PC, and it
    // is no connection worth a history record or a notice.
    const bool errand = textOr(request.get("purpose"), "") == "wake";
    if (!errand) session->historyId = addConnectionRecord(name, byPassword ? kHowPassword : kHowPaired, conn->route);
    session->onEnded = endCallback();

    std::shared_ptr<ViewerSession> previous = adoptSession(session, run, errand, keyText);
    if (previous) previous->close();
    startSession(session, keyText, os);
    if (!errand && onConnected && store_.get().notifyConnect) onConnected(name, conn->route);
    if (onStateChanged) onStateChanged();
}

std::shared_ptr<SecureChannel> HostServer::passwordHandshake(const std::shared_ptr<FramedConn>& conn, const Bytes& first,
                                                             const Bytes& hostHello, Json& peerHello,
                                                             std::string& keyText) {
    std::shared_ptr<SecureChannel> channel;
    PasswordAttempt attempt(passwords);
    if (!attempt.started()) throw ProtoError(kPasswordLoginRefused);
    Bytes clientKey, identity;
    channel = hostPasswordHandshake(conn, first, deviceKey_, attempt.password(), hostHello, clientKey, identity);
    peerHello = parseHello(identity);
    attempt.succeeded();
    keyText = base64Encode(clientKey);
    return channel;
}

std::shared_ptr<SecureChannel> HostServer::pairedHandshake(const std::shared_ptr<FramedConn>& conn, const Bytes& first,
                                                           const Bytes& hostHello, Json& peerHello,
                                                           std::string& keyText) {
    Bytes clientKey;
    return hostPairedHandshake(
        conn, first, deviceKey_,
        [&](const Bytes& key, const Bytes& identity) {
            Json hello = parseHello(identity);
            std::string text = base64Encode(key);
            if (!check(text, hello)) throw ProtoError(kDeviceNotAllowed);
            peerHello = std::move(hello);
            keyText = std::move(text);
            return hostHello;
        },
        clientKey);
}

void HostServer::allowPasswordPeer(const std::string& name, const std::string& keyText, const std::string& os) {
    store_.update([&](AppConfig& c) {
        for (const Peer& p : c.allowed)
            if (p.key == keyText) return;
        Peer peer;
        peer.name = name;
        peer.key = keyText;
        peer.os = os;
        peer.added = nowSeconds();
        c.allowed.push_back(std::move(peer));
    });
    logLine("비밀번호로 접속 · 허용 목록에 등록: " + name);
}

std::shared_ptr<ViewerSession> HostServer::newSession(const std::shared_ptr<SecureChannel>& channel,
                                                      const std::string& name, const std::string& keyText,
                                                      const Json& request) {
    if (!makeSession) throw ProtoError("세션을 만들 수 없음");
    std::shared_ptr<ViewerSession> session = makeSession(channel, name, keyText, request, this);
    if (!session) throw ProtoError("세션을 만들 수 없음");
    session->clipboard = store_.get().clipboard;
    return session;
}

std::shared_ptr<ViewerSession> HostServer::adoptSession(const std::shared_ptr<ViewerSession>& session, uint64_t run,
                                                        bool errand, const std::string& keyText) {
    std::shared_ptr<ViewerSession> previous;
    const char* refusal = nullptr;
    {
        std::lock_guard<std::mutex> lock(sessionMutex_);
        if (run == 0 || run != run_) {
            refusal = kHostingStopped;
        } else if (errand) {
            // One errand per device (a new one replaces the one before) and a few in all: each
            // holds a connection and threads, and none of them shows.
            auto same = std::find_if(errands_.begin(), errands_.end(),
                                     [&](const std::shared_ptr<ViewerSession>& s) { return s->peerKey() == keyText; });
            if (same != errands_.end()) {
                previous = std::move(*same);
                *same = session;
            } else if (int(errands_.size()) >= kMaxErrands) {
                refusal = kTooManyErrands;
            } else {
                errands_.push_back(session);
            }
        } else {
            previous = std::move(current_);
            current_ = session;
        }
    }
    if (refusal) {
        // Never adopted, so nothing is there for the end callback to clear.
        session->onEnded = nullptr;
        session->close();
        throw ProtoError(refusal);
    }
    return previous;
}

void HostServer::startSession(const std::shared_ptr<ViewerSession>& session, const std::string& keyText,
                              const std::string& os) {
    try {
        store_.update([&](AppConfig& c) {
            for (Peer& p : c.allowed) {
                if (p.key != keyText) continue;
                p.lastConnected = nowSeconds();
                if (p.os.empty()) p.os = os;
            }
        });
        session->start();
    } catch (...) {
        session->close();
        throw;
    }
}

bool HostServer::check(const std::string& keyText, const Json& hello) {
    const AppConfig settings = store_.get();
    for (const Peer& p : settings.allowed)
        if (p.key == keyText) return true;
    const Json& token = hello.get("token");
    if (!token.isString()) return false;
    Bytes code;
    if (!base64Decode(token.text, code)) return false;
    if (!pairing.check(code)) return false;

    const std::string name = textOr(hello.get("name"), "?");
    store_.update([&](AppConfig& c) {
        c.allowed.erase(std::remove_if(c.allowed.begin(), c.allowed.end(),
                                       [&](const Peer& p) { return p.key == keyText; }),
                        c.allowed.end());
        Peer peer;
        peer.name = name;
        peer.key = keyText;
        peer.os = textOr(hello.get("os"), "");
        peer.added = nowSeconds();
        c.allowed.push_back(std::move(peer));
    });
    logLine("짝 맺음: " + textOr(hello.get("name"), ""));
    return true;
}

// ---- passwords ----

std::string HostServer::storedPassword() {
    if (!store_.get().passwordLogin) return std::string();
    return loadPasswordFrom(store_.profileDir);
}

bool HostServer::passwordAccessOn() {
    std::string password = storedPassword();
    bool on = !password.empty();
    wipeSecret(password.data(), password.size());
    return on;
}

// ---- local-network announcement ----

DnsSdRegistration* HostServer::registerDnsSd(int port, const std::string& suffix) {
    DnsSdService service;
    const std::string accessId = passwordAccessOn() ? accessId_ : std::string();
    if (!buildDnsSdService(store_.get().deviceName, localHostName(), port, suffix, deviceId_, accessId, service))
        return nullptr;
    return announcer_->registerService(service);
}

void HostServer::announceLan(int port) {
    withdrawLan();
    lanRegistrations_[0] = registerDnsSd(port, kServiceSuffix);
    lanRegistrations_[1] = registerDnsSd(port, kFormerServiceSuffix);
}

void HostServer::withdrawLan() {
    for (DnsSdRegistration*& slot : lanRegistrations_) {
        DnsSdRegistration* registration = slot;
        slot = nullptr;
        if (registration) announcer_->withdraw(registration);
    }
}
