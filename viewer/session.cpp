// ClientSession's connect, its life (start, close, the threads' ends), the send queue, the ping
// loop and the window's commands. The receive loop, the render loop and the file hooks have files
// of their own (session_receive.cpp, session_render.cpp, session_files.cpp).
#include "viewer/session.h"

#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "core/config/keys.h"
#include "core/config/store.h"
#include "core/crypto/hash.h"
#include "files/expand.h"
#include "net/connect.h"
#include "net/handshake.h"
#include "viewer/host_info.h"

const char* const kNotAllowedText = "원격 컴퓨터가 이 기기를 허용하지 않습니다";
const char* const kBadPairingCodeText = "짝 맺기 코드가 맞지 않거나 만료되었습니다";
const char* const kDroppedText = "연결이 끊겼습니다";
const char* const kUnknownHostName = "원격 컴퓨터";
const char* const kHostStalledText = "원격 컴퓨터가 보낸 데이터를 받지 않아 연결을 끊었습니다";

namespace {

constexpr char kPunchedPrefix[] = "직접(";
constexpr const char* kUnknownFailure = "알 수 없는 오류";
// How long close waits for the message that lets the host release held keys.
constexpr auto kReleaseAllWait = std::chrono::milliseconds(250);

}  // namespace

std::string ClientSession::exceptionText() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return kUnknownFailure;
    }
}

ClientSession::ClientSession(Peer peerIn, KeyPair deviceKeyIn, Bytes tokenIn, void* videoWindowIn,
                             std::string passwordIn, SessionServices services)
    : devices_(services.devices ? std::move(services.devices) : productViewerDevices()),
      connectPeer_(services.connectPeer ? std::move(services.connectPeer)
                                        : PeerConnector([](const std::vector<std::string>& addresses,
                                                           const RelayConfig* relay, const std::string& targetId,
                                                           std::string* routeText, bool relayOnly) {
                                              return connectPeer(addresses, relay, targetId, routeText, relayOnly);
                                          })),
      clock_(services.clock ? std::move(services.clock) : std::function<int64_t()>(nowNanos)),
      frameTrace_(services.frameTrace ? services.frameTrace : frameTrace()),
      sendStallMs_(services.sendStallMs),
      outgoing_(services.outgoing),
      sharedStateWritten_(std::move(services.sharedStateWritten)),
      audio(devices_->makeSound()),
      peer(std::move(peerIn)),
      deviceKey(std::move(deviceKeyIn)),
      token(std::move(tokenIn)),
      videoWindow(videoWindowIn),
      password(std::move(passwordIn)) {
    filesOut.peerName = kUnknownHostName;
    if (services.outgoingReleases) outgoing_.observeReleases(std::move(services.outgoingReleases));
}

ClientSession::~ClientSession() {
    outgoing_.close();  // a file sender waiting for room lets go before filesOut is destroyed
    wipeSecret(password.data(), password.size());
    filesIn.abortAll();
}

// ---- connecting ----

ProtoError ClientSession::refusalError(ProtoError const& error) const {
    if (!password.empty()) return ProtoError(error.what());
    return ProtoError(token.empty() ? kNotAllowedText : kBadPairingCodeText);
}

std::shared_ptr<SecureChannel> ClientSession::handshake(const std::shared_ptr<FramedConn>& conn, ByteSpan identity,
                                                        Bytes& helloBytes) {
    setRoute(conn->route);
    try {
        if (!password.empty()) {
            Bytes hostStatic;
            auto result = clientPasswordHandshake(conn, deviceKey, password, identity, hostStatic, helloBytes);
            hostKey = base64Encode(hostStatic);
            return result;
        }
        return clientPairedHandshake(conn, deviceKey, peer.publicKey(), identity, helloBytes);
    } catch (...) {
        // Whatever went wrong, the connection is not used again.
        conn->shutdown();
        throw;
    }
}

void ClientSession::trackConnection(const std::shared_ptr<FramedConn>& conn) {
    if (!conn) throw ProtoError(kConnClosed);
    conn->setSendStallMs(sendStallMs_);
    std::lock_guard lock(stateMutex);
    connecting_ = conn;
    if (stop.load()) {
        connecting_.reset();
        conn->shutdown();
        throw ProtoError(kConnClosed);
    }
}

void ClientSession::throwIfClosed(const std::shared_ptr<FramedConn>& conn) {
    if (!stop.load()) return;
    conn->shutdown();
    throw ProtoError(kConnClosed);
}

Json ClientSession::connect(Json request, std::string* routeText) {
    // The threads need the session held by a shared_ptr; find out before anything is dialled.
    const std::shared_ptr<ClientSession> self = shared_from_this();

    const Bytes hostPublic = peer.publicKey();
    const std::string targetId = !peer.key.empty() ? sha256Hex(hostPublic) : peer.accessId;
    const RelayConfig relay = peer.relay.usable() ? peer.relay : effectiveRelay(configStore().get());
    const RelayConfig* relayGiven = relay.usable() && !targetId.empty() ? &relay : nullptr;

    std::shared_ptr<FramedConn> conn = connectPeer_(peer.addresses, relayGiven, targetId, routeText, false);
    trackConnection(conn);

    const std::string identityText = deviceIdentity();
    Bytes helloBytes;
    const std::shared_ptr<SecureChannel> secure =
        handshakeOrRelay(conn, identityText, relayGiven, targetId, routeText, helloBytes);
    adoptChannel(conn, secure);
    Json hello = readHello(helloBytes);
    requestSession(conn, request, self);
    startThreads(self);
    return hello;
}

std::string ClientSession::deviceIdentity() const {
    Json identity;
    identity.set("v", 1);
    identity.set("name", configStore().get().deviceName);
    identity.set("os", "windows");
    if (!token.empty()) identity.set("token", base64Encode(token));
    return identity.dump();
}

std::shared_ptr<SecureChannel> ClientSession::handshakeOrRelay(std::shared_ptr<FramedConn>& conn,
                                                               const std::string& identityText,
                                                               const RelayConfig* relayGiven,
                                                               const std::string& targetId, std::string* routeText,
                                                               Bytes& helloBytes) {
    std::shared_ptr<SecureChannel> secure;
    // A handshake broken off on a hole-punched connection is tried once more through the relay.
    for (int attempt = 0;; ++attempt) {
        try {
            secure = handshake(conn, asBytes(identityText), helloBytes);
            break;
        } catch (const BadPassword&) {
            throw;
        } catch (const ProtoError& error) {
            throwIfClosed(conn);
            const bool punched = conn->route.rfind(kPunchedPrefix, 0) == 0;
            if (attempt > 0 || !punched || !relayGiven) {
                if (!password.empty()) throw;
                throw refusalError(error);
            }
            logLine(conn->route + " 연결이 핸드셰이크 중 끊김 (" + peerTextForLog(error.what()) + ") — 중계 서버로 다시");
        }
        conn = connectPeer_(peer.addresses, relayGiven, targetId, routeText, true);
        trackConnection(conn);
    }
    return secure;
}

// A close that came during the handshake: the host admits a new viewer by ending the session it
// serves, so nothing may be sent now.
void ClientSession::adoptChannel(const std::shared_ptr<FramedConn>& conn,
                                 const std::shared_ptr<SecureChannel>& secure) {
    std::lock_guard lock(stateMutex);
    connecting_.reset();
    if (stop.load()) {
        conn->shutdown();
        throw ProtoError(kConnClosed);
    }
    channel = secure;
}

Json ClientSession::readHello(const Bytes& helloBytes) {
    Json hello;
    if (!Json::parse(spanToString(helloBytes), hello)) hello = Json();
    {
        std::lock_guard lock(stateMutex);
        hostOs_ = hello.get("os").isString() ? hello.get("os").text : "mac";
        if (sharedStateWritten_) sharedStateWritten_();
    }
    setUpFiles(hostNameIn(hello).value_or(kUnknownHostName));
    return hello;
}

void ClientSession::requestSession(const std::shared_ptr<FramedConn>& conn, const Json& request,
                                   const std::shared_ptr<ClientSession>& self) {
    // Under the lock, so that a close either comes before (nothing is sent, no listener
    // stays behind) or after (it sees the listener and removes it).
    std::lock_guard lock(stateMutex);
    if (stop.load()) {
        conn->shutdown();
        throw ProtoError(kConnClosed);
    }
    const std::string requestText = request.dump();
    enqueue(uint8_t(MsgType::SessionRequest), Bytes(requestText.begin(), requestText.end()));
    if (clipboardSync) {
        std::weak_ptr<ClientSession> weak = self;
        clipboardListener = devices_->clipboard().addListener([weak](const Bytes& payload) {
            if (auto session = weak.lock()) session->queueClipboard(payload);
        });
    }
}

void ClientSession::startThreads(const std::shared_ptr<ClientSession>& self) {
    try {
        std::thread([self] { self->receiveLoop(); }).detach();
        std::thread([self] { self->renderLoop(); }).detach();
        std::thread([self] { self->pingLoop(); }).detach();
        std::thread([self] { self->sendLoop(); }).detach();
    } catch (...) {
        // The threads that did start end with the session.
        close();
        throw ProtoError(exceptionText());
    }
}

// ---- sending and ending ----

std::shared_ptr<SecureChannel> ClientSession::currentChannel() {
    std::lock_guard lock(stateMutex);
    return channel;
}

std::string ClientSession::route() {
    std::lock_guard lock(stateMutex);
    return route_;
}

std::string ClientSession::hostOs() {
    std::lock_guard lock(stateMutex);
    return hostOs_;
}

void ClientSession::setRoute(const std::string& text) {
    std::lock_guard lock(stateMutex);
    route_ = text;
    if (sharedStateWritten_) sharedStateWritten_();
}

void ClientSession::send(unsigned char type, std::vector<unsigned char> const& payload) {
    if (stop.load() || !currentChannel()) return;
    enqueue(type, payload);
}

void ClientSession::sendBulk(unsigned char type, std::vector<unsigned char> const& payload) {
    if (stop.load() || !currentChannel()) return;
    outgoing_.pushBulk(type, payload);
}

void ClientSession::enqueue(uint8_t type, Bytes payload, uint64_t* ticket) {
    // The typed login of a locked screen is a password: no copy of it stays behind.
    const bool secret = type == uint8_t(MsgType::LockLogin);
    if (outgoing_.push(type, std::move(payload), secret, ticket) == OutgoingQueue::Push::Overflow) giveUpStalled();
}

void ClientSession::giveUpStalled() {
    stalled_.store(true);  // before the shutdown, so that the receive loop reports why
    if (auto secure = currentChannel()) secure->connection()->shutdown();
}

bool ClientSession::hostStalled() {
    if (stalled_.load()) return true;
    auto secure = currentChannel();
    return secure && secure->connection()->sendStalled();
}

void ClientSession::sendLoop() {
    try {
        const std::shared_ptr<SecureChannel> secure = currentChannel();
        while (secure) {
            std::optional<QueuedMessage> message = outgoing_.take();
            if (!message) break;
            // Finished (and a secret wiped) even when the send throws.
            struct Finish {
                OutgoingQueue& queue;
                QueuedMessage& message;
                ~Finish() { queue.finished(message); }
            } finish{outgoing_, *message};
            if (!secure->send(message->type, message->payload, message->secret)) break;
        }
    } catch (...) {
        // Whatever failed, nothing more goes out; the receive loop reports the end.
    }
    outgoing_.close();
    if (!hostStalled()) return;
    try {
        finish(kHostStalledText);
    } catch (...) {
    }
}

void ClientSession::shutDownAndRemoveListener() {
    int listener = 0;
    std::shared_ptr<SecureChannel> secure;
    std::shared_ptr<FramedConn> pending;
    {
        std::lock_guard lock(stateMutex);
        listener = std::exchange(clipboardListener, 0);
        secure = channel;
        pending = connecting_;
    }
    if (listener != 0) devices_->clipboard().removeListener(listener);
    if (secure) secure->connection()->shutdown();
    if (pending) pending->shutdown();
}

void ClientSession::releaseHostKeys() {
    if (stop.load() || !currentChannel()) return;
    // Ahead of any bulk data; on a link that has stalled it gets a short while, then the shutdown
    // after it ends the sending thread's wait.
    uint64_t ticket = 0;
    enqueue(uint8_t(MsgType::ReleaseAll), {}, &ticket);
    if (ticket != 0) outgoing_.waitSent(ticket, kReleaseAllWait);
}

void ClientSession::close() {
    if (stop.load()) return;
    releaseHostKeys();
    stop.exchange(true);
    {
        std::lock_guard lock(queueMutex);  // a render loop about to wait sees stop or the notification
    }
    queueCv.notify_all();
    outgoing_.close();
    filesIn.abortAll();
    filesOut.cancel();
    shutDownAndRemoveListener();
}

void ClientSession::finish(std::string const& reason) {
    const bool old = stop.exchange(true);
    {
        std::lock_guard lock(queueMutex);
    }
    queueCv.notify_all();
    outgoing_.close();
    filesIn.abortAll();
    filesOut.cancel();
    audio->stop();
    shutDownAndRemoveListener();
    if (!old && onEnded) onEnded(reason);
}

ClientSession::Stats ClientSession::takeStats() {
    std::lock_guard lock(statsMutex);
    Stats out{frames, bytes, rttMs};
    frames = 0;
    bytes = 0;
    return out;
}

// ---- ping loop and senders ----

void ClientSession::pingLoop() {
    try {
        while (!stop.load()) {
            send(MsgType::Ping, encodePing(uint64_t(now())));
            for (int i = 0; i < 10 && !stop.load(); ++i) sleepMs(100);
        }
    } catch (...) {
        try {
            finish(exceptionText());
        } catch (...) {
        }
    }
}

void ClientSession::requestKeyFrame() {
    const int64_t t = now();
    int64_t last = lastKeyFrameRequest.load();
    if (last != kNever && t - last < kKeyFrameRequestGapNanos) return;
    // The render and the receive thread both ask; one of them sends.
    if (!lastKeyFrameRequest.compare_exchange_strong(last, t)) return;
    send(MsgType::KeyFrameRequest, {});
}

void ClientSession::sendCombo(std::vector<uint16_t> const& keys) { send(MsgType::KeyCombo, encodeKeyCombo(keys)); }

void ClientSession::setAudio(bool on) {
    send(MsgType::AudioSwitch, encodeSwitch(on));
    if (!on) audio->stop();
}

void ClientSession::sendChat(std::string const& text) {
    send(MsgType::Chat, encodeText(text.substr(0, kOutgoingChatLimit)));
}

void ClientSession::requestClipboardFiles() {
    {
        std::lock_guard lock(permitMutex);
        receivePermitUntil = now() + kReceivePermitNanos;
    }
    send(MsgType::PasteFiles, {});
}

void ClientSession::requestDownload(std::vector<std::string> const& remotePaths) {
    {
        std::lock_guard lock(permitMutex);
        receivePermitUntil = now() + kReceivePermitNanos;
    }
    // A host takes no more paths than this from one request; the rest would only make the request
    // larger than the host reads.
    const size_t named = std::min(remotePaths.size(), kMaxRequestedPaths);
    send(MsgType::SendFiles, encodeSendFiles({remotePaths.begin(), remotePaths.begin() + long(named)}));
}

void ClientSession::requestUpload(std::vector<std::wstring> const& localPaths, std::string const& remoteFolder) {
    filesOut.enqueue(localPaths, remoteFolder);
}

// ---- clipboard ----

void ClientSession::queueClipboard(const Bytes& payload) {
    // The monitor calls listeners on its own thread under its lock, which connect holds in turn
    // under the session's lock: the payload only joins the queue, where it replaces one that still
    // waits, and no session lock is taken. The listener exists only while the channel does.
    if (!stop.load()) enqueue(uint8_t(MsgType::Clipboard), payload);
}
