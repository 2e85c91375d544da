#include "support/scripted_host.h"

#include <chrono>

#include "core/crypto/hash.h"
#include "core/wire.h"
#include "files/transfer_messages.h"
#include "net/handshake.h"
#include "support/wait.h"

ScriptedHost::ScriptedHost(std::string name, std::string os) : device(newKeyPair()), name_(std::move(name)) {
    Json identity;
    identity.set("name", name_);
    identity.set("os", os);
    const std::string text = identity.dump();
    hello.assign(text.begin(), text.end());

    filesOut.peerName = "시험 뷰어";
    filesOut.send = [this](unsigned char type, const Bytes& payload) {
        if (auto ch = channel()) ch->send(type, payload);
    };
    filesIn.send = [this](uint8_t type, const Bytes& payload) {
        if (auto ch = channel()) ch->send(type, payload);
    };
}

ScriptedHost::~ScriptedHost() {
    stopping_ = true;
    listener_.close();
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (auto& conn : conns_) conn->shutdown();
        threads.swap(threads_);
    }
    for (auto& t : threads) t.join();
    // The sender's worker writes through this object: it ends before any member goes.
    filesOut.cancel();
    for (int i = 0; i < 1000 && filesOut.busy(); ++i) sleepMs(5);
    filesIn.abortAll();
}

bool ScriptedHost::start() {
    if (!listener_.open(0, true)) return false;
    acceptThread_ = std::thread([this] {
        while (!stopping_) {
            auto conn = listener_.accept();
            if (!conn) break;
            serve(conn);
        }
    });
    return true;
}

std::string ScriptedHost::address() const { return "127.0.0.1:" + std::to_string(listener_.port()); }

Peer ScriptedHost::peer() const {
    Peer p;
    p.name = name_;
    p.key = base64Encode(device.publicKey);
    p.addresses = {address()};
    return p;
}

void ScriptedHost::serve(std::shared_ptr<FramedConn> conn) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        conn->shutdown();
        return;
    }
    conns_.push_back(conn);
    threads_.emplace_back([this, conn] { run(conn); });
}

std::shared_ptr<SecureChannel> ScriptedHost::channel() {
    std::lock_guard lock(mutex_);
    return channel_;
}

void ScriptedHost::handshake(const std::shared_ptr<FramedConn>& conn) {
    const Bytes first = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
    if (beforeReply) beforeReply();
    Bytes clientKey;
    Bytes clientIdentity;
    std::shared_ptr<SecureChannel> secure;
    if (isPasswordHello(first)) {
        secure = hostPasswordHandshake(conn, first, device, password, hello, clientKey, clientIdentity);
    } else {
        secure = hostPairedHandshake(
            conn, first, device,
            [&](const Bytes&, const Bytes& identity) {
                clientIdentity = identity;
                return hello;
            },
            clientKey);
    }
    Json identity;
    if (!Json::parse(spanToString(clientIdentity), identity)) identity = Json();
    std::lock_guard lock(mutex_);
    channel_ = secure;
    identity_ = identity;
    ++handshakes_;
}

void ScriptedHost::run(std::shared_ptr<FramedConn> conn) {
    try {
        handshake(conn);
        if (after == After::Drop) {
            conn->shutdown();
        } else {
            auto secure = channel();
            while (!stopping_) {
                if (!reading_) {
                    paused_ = true;
                    sleepMs(10);
                    continue;
                }
                paused_ = false;
                if (!conn->waitReadable(50)) continue;
                handle(secure->receive(-1));
            }
        }
    } catch (const std::exception&) {
        // The viewer went away, or the handshake failed: this connection is over.
    }
    conn->shutdown();
    std::lock_guard lock(mutex_);
    ++ended_;
}

void ScriptedHost::handle(const ChannelMessage& message) {
    {
        std::lock_guard lock(mutex_);
        received_.push_back(message);
    }
    const Bytes& payload = message.payload;
    switch (static_cast<MsgType>(message.type)) {
    case MsgType::Ping:
        if (answerPings) send(MsgType::Pong, payload);
        break;
    case MsgType::PasteFiles:
        if (!servePaste) break;
        if (clipboardFiles.empty()) send(MsgType::FileRefused, idPayload(0, std::string(kNoCopiedFiles)));
        else filesOut.enqueue(clipboardFiles);
        break;
    case MsgType::FileBegin:
    case MsgType::FileData:
    case MsgType::FileEnd:
    case MsgType::FileAbort:
        filesIn.handle(message.type, payload);
        break;
    case MsgType::FileAck:
        filesOut.onAck(payload);
        break;
    case MsgType::FileSaved:
        filesOut.onSaved(payload);
        break;
    case MsgType::FileRefused:
        filesOut.onRefused(payload);
        break;
    default:
        break;
    }
}

Json ScriptedHost::identity() {
    std::lock_guard lock(mutex_);
    return identity_;
}

int ScriptedHost::handshakes() {
    std::lock_guard lock(mutex_);
    return handshakes_;
}

std::vector<ChannelMessage> ScriptedHost::received() {
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<Bytes> ScriptedHost::received(MsgType type) {
    std::vector<Bytes> out;
    for (auto& m : received())
        if (m.type == uint8_t(type)) out.push_back(m.payload);
    return out;
}

bool ScriptedHost::waitUntil(const std::function<bool()>& pred, int timeoutMs) { return ::waitUntil(pred, timeoutMs); }

bool ScriptedHost::waitFor(MsgType type, size_t count, int timeoutMs) {
    return waitUntil([&] { return received(type).size() >= count; }, timeoutMs);
}

bool ScriptedHost::waitEnded(int timeoutMs) {
    return waitUntil(
        [&] {
            std::lock_guard lock(mutex_);
            return ended_ > 0;
        },
        timeoutMs);
}

bool ScriptedHost::send(MsgType type, ByteSpan payload) {
    auto secure = channel();
    return secure && secure->send(uint8_t(type), payload);
}

bool ScriptedHost::pauseReading(int timeoutMs) {
    paused_ = false;
    reading_ = false;
    return waitUntil([&] { return paused_.load(); }, timeoutMs);
}

void ScriptedHost::drop() {
    std::lock_guard lock(mutex_);
    for (auto& conn : conns_) conn->shutdown();
}
