#include "support/test_relay.h"

#include <algorithm>
#include <chrono>

#include "core/crypto/hash.h"
#include "core/util.h"

namespace {

constexpr size_t kLineMax = 8192;
constexpr int kHelloTimeoutMs = 10000;
constexpr int kSliceMs = 20;  // no wait blocks longer than this without looking at the stop flag

Json object(const std::string& key, Json value) {
    Json j;
    j.set(key, std::move(value));
    return j;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Link

TestRelay::Link::Link(SocketHandle socket, std::string peerAddress, const std::atomic<bool>* stopping)
    : socket_(socket), peerAddress_(std::move(peerAddress)), stopping_(stopping) {}

TestRelay::Link::~Link() {
    shutdown();
    socketClose(socket_);
}

void TestRelay::Link::shutdown() {
    if (!closed_.exchange(true)) socketShutdownBoth(socket_);
}

bool TestRelay::Link::receiveSome(int timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? INT64_MAX : nowNanos() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        if (closed_.load() || stopping_->load()) return false;
        int64_t left = deadline == INT64_MAX ? kSliceMs : (deadline - nowNanos()) / 1000000;
        if (left <= 0) return false;
        int ready = socketPoll(socket_, false, int(std::min<int64_t>(left, kSliceMs)));
        if (ready < 0) {
            shutdown();
            return false;
        }
        if (ready == 0) continue;
        char chunk[65536];
        int64_t n = socketRecv(socket_, reinterpret_cast<uint8_t*>(chunk), sizeof chunk);
        if (n <= 0) {
            shutdown();
            return false;
        }
        buffer_.append(chunk, size_t(n));
        return true;
    }
}

bool TestRelay::Link::readLine(std::string& line, size_t maxLength, int timeoutMs) {
    int64_t deadline = timeoutMs < 0 ? -1 : nowNanos() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos && end <= maxLength) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return true;
        }
        if (end != std::string::npos || buffer_.size() > maxLength) {
            shutdown();
            return false;
        }
        int left = -1;
        if (deadline >= 0) {
            int64_t ms = (deadline - nowNanos()) / 1000000;
            if (ms <= 0) return false;
            left = int(ms);
        }
        if (!receiveSome(left)) return false;
    }
}

bool TestRelay::Link::sendRaw(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    size_t done = 0;
    while (done < bytes.size()) {
        if (closed_.load()) return false;
        int64_t n = socketSend(socket_, reinterpret_cast<const uint8_t*>(bytes.data()) + done, bytes.size() - done);
        if (n <= 0) {
            shutdown();
            return false;
        }
        done += size_t(n);
    }
    return true;
}

bool TestRelay::Link::sendLine(const std::string& text) { return sendRaw(text + "\n"); }

void TestRelay::Link::pumpTo(Link& to) {
    std::string pending;
    pending.swap(buffer_);
    while (pending.empty() || to.sendRaw(pending)) {
        pending.clear();
        if (!receiveSome(-1)) break;
        pending.swap(buffer_);
    }
    shutdown();
    to.shutdown();
}

// ---------------------------------------------------------------------------------------------
// TestRelay

TestRelay::TestRelay(std::string secret) : secret_(std::move(secret)) {
    roles_["host"] = hostRole;
    roles_["client"] = clientRole;
    roles_["data"] = dataRole;
    roles_["status"] = statusRole;
    roles_["punch"] = punchRole;
    roles_["punchhost"] = punchHostRole;
}

TestRelay::~TestRelay() { stop(); }

bool TestRelay::start() {
    if (!socketStartup()) return false;
    listener_ = socketOpenTcp(kFamilyV4);
    if (listener_ == kInvalidSocket) return false;
    if (!socketBind(listener_, kFamilyV4, 0, true) || !socketListen(listener_, 64)) {
        socketClose(listener_);
        listener_ = kInvalidSocket;
        return false;
    }
    port_ = socketLocalPort(listener_);
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return port_ > 0;
}

void TestRelay::stop() {
    stopping_.store(true);
    if (acceptThread_.joinable()) acceptThread_.join();
    if (listener_ != kInvalidSocket) {
        socketClose(listener_);
        listener_ = kInvalidSocket;
    }
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& weak : links_) {
            if (auto link = weak.lock()) link->shutdown();
        }
        threads.swap(threads_);
        changed_.notify_all();
    }
    for (auto& t : threads) t.join();
}

RelayConfig TestRelay::config() const {
    return RelayConfig{"127.0.0.1", port_, secret_};
}

void TestRelay::setRole(const std::string& role, RoleHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    roles_[role] = std::move(handler);
}

void TestRelay::track(std::thread thread) {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.push_back(std::move(thread));
}

void TestRelay::acceptLoop() {
    while (!stopping_.load()) {
        int ready = socketPoll(listener_, false, kSliceMs);
        if (ready <= 0) continue;
        SockAddr addr;
        SocketHandle s = socketAccept(listener_, &addr);
        if (s == kInvalidSocket) continue;
        std::string host, service;
        socketNumericName(addr, host, service);
        auto link = std::make_shared<Link>(s, host + ":" + service, &stopping_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            links_.push_back(link);
            connectionTimes_.push_back(nowNanos());
        }
        track(std::thread([this, link] { serve(link); }));
    }
}

void TestRelay::serve(std::shared_ptr<Link> link) {
    uint8_t random[16];
    randomBytes(random, sizeof random);
    std::string nonce = hexEncode(random, sizeof random);
    if (!link->sendLine(object("nonce", Json(nonce)).dump())) return;
    std::string line;
    if (!link->readLine(line, kLineMax, kHelloTimeoutMs)) {
        link->shutdown();
        return;
    }
    Json hello;
    if (!Json::parse(line, hello)) {
        refuse(*link, "bad hello");
        return;
    }
    const Json& role = hello.get("role");
    const Json& id = hello.get("id");
    const Json& session = hello.get("session");
    const Json& mac = hello.get("mac");
    if (!role.isString() || !id.isString() || !session.isString() || !mac.isString()) {
        refuse(*link, "bad hello");
        return;
    }
    RoleHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hellos_.push_back(hello);
        auto it = roles_.find(role.text);
        if (it != roles_.end()) handler = it->second;
    }
    // Computed here from the parts, independently of the program's own digest code.
    Bytes expected = hmacSha256(asBytes(secret_), asBytes(nonce + role.text + id.text + session.text));
    std::string expectedHex = hexEncode(expected);
    if (mac.text.size() != expectedHex.size() ||
        !constantTimeEqual(reinterpret_cast<const uint8_t*>(mac.text.data()),
                           reinterpret_cast<const uint8_t*>(expectedHex.data()), expectedHex.size())) {
        refuse(*link, "bad mac");
        return;
    }
    if (!handler) {
        refuse(*link, "unknown role");
        return;
    }
    handler(*this, link, hello);
    link->shutdown();
}

void TestRelay::refuse(Link& link, const std::string& error) {
    Json reply;
    reply.set("ok", Json(false));
    reply.set("error", Json(error));
    link.sendLine(reply.dump());
    link.shutdown();
}

void TestRelay::sendOk(Link& link, Json reply) {
    Json out;
    out.set("ok", Json(true));
    if (reply.isObject()) {
        for (auto& member : reply.members) out.set(member.first, std::move(member.second));
    }
    link.sendLine(out.dump());
}

std::string TestRelay::newSession() {
    uint8_t random[16];
    randomBytes(random, sizeof random);
    return hexEncode(random, sizeof random);
}

std::shared_ptr<TestRelay::Link> TestRelay::host(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hosts_.find(id);
    return it == hosts_.end() ? nullptr : it->second;
}

bool TestRelay::sendToHost(const std::string& id, const std::string& line) {
    auto link = host(id);
    return link && link->sendLine(line);
}

std::shared_ptr<TestRelay::Meeting> TestRelay::meet(const std::string& key, const std::shared_ptr<Link>& self,
                                                    int timeoutMs, const Json& hello) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = waiting_.find(key);
    if (it != waiting_.end()) {
        auto meeting = it->second;
        waiting_.erase(it);
        meeting->second = self;
        meeting->secondHello = hello;
        changed_.notify_all();
        return meeting;
    }
    auto meeting = std::make_shared<Meeting>();
    meeting->first = self;
    meeting->firstHello = hello;
    waiting_[key] = meeting;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return meeting->second != nullptr || stopping_.load(); });
    if (meeting->second) return meeting;
    auto again = waiting_.find(key);
    if (again != waiting_.end() && again->second == meeting) waiting_.erase(again);
    return nullptr;
}

void TestRelay::pipe(const std::shared_ptr<Meeting>& meeting, const std::shared_ptr<Link>& self) {
    auto partner = meeting->partnerOf(self);
    sendOk(*self);
    {
        // The partner's bytes may reach this link only after its own "ok", and vice versa.
        std::unique_lock<std::mutex> lock(mutex_);
        meeting->ready += 1;
        changed_.notify_all();
        changed_.wait(lock, [&] { return meeting->ready == 2 || stopping_.load(); });
    }
    if (stopping_.load()) return;
    self->pumpTo(*partner);
}

void TestRelay::hostRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello) {
    const std::string id = hello.get("id").text;
    // "ok" goes out before the registration is visible, so that no "incoming" line can precede it.
    sendOk(*link);
    std::shared_ptr<Link> old;
    {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        old = relay.hosts_[id];
        relay.hosts_[id] = link;
        relay.registrations_[id] += 1;
        relay.seen_[id] = nowSeconds();
        relay.hostLines_[id];
        relay.changed_.notify_all();
    }
    if (old) old->shutdown();
    std::string line;
    while (link->readLine(line, kLineMax, -1)) {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        relay.hostLines_[id].push_back(line);
        relay.seen_[id] = nowSeconds();
    }
    std::lock_guard<std::mutex> lock(relay.mutex_);
    auto it = relay.hosts_.find(id);
    if (it != relay.hosts_.end() && it->second == link) {
        relay.hosts_.erase(it);
        relay.seen_[id] = nowSeconds();
    }
}

void TestRelay::clientRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello) {
    const std::string id = hello.get("id").text;
    auto hostLink = relay.host(id);
    if (!hostLink) {
        refuse(*link, "offline");
        return;
    }
    std::string session = relay.newSession();
    {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        relay.announced_[session] = id;
    }
    std::shared_ptr<Meeting> meeting;
    if (hostLink->sendLine(object("incoming", Json(session)).dump())) {
        meeting = relay.meet("pipe:" + session, link, relay.pairTimeoutMs, hello);
    }
    {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        relay.announced_.erase(session);
    }
    if (!meeting) {
        refuse(*link, "no answer");
        return;
    }
    relay.pipe(meeting, link);
}

void TestRelay::dataRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello) {
    const std::string& session = hello.get("session").text;
    {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        auto it = relay.announced_.find(session);
        if (it == relay.announced_.end() || it->second != hello.get("id").text) {
            refuse(*link, "unknown session");
            return;
        }
    }
    auto meeting = relay.meet("pipe:" + session, link, relay.pairTimeoutMs, hello);
    if (!meeting) {
        refuse(*link, "no answer");
        return;
    }
    relay.pipe(meeting, link);
}

void TestRelay::statusRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello) {
    const std::string& text = hello.get("id").text;
    std::vector<std::string> ids;
    size_t start = 0;
    for (;;) {
        size_t comma = text.find(',', start);
        ids.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    Json online, seen, reply;
    online.tag = Json::kArray;  // empty, not null, when nothing is online
    seen.tag = Json::kObject;
    {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        for (const auto& id : ids) {
            if (relay.hosts_.count(id)) online.push(Json(id));
            auto it = relay.seen_.find(id);
            if (it != relay.seen_.end()) seen.set(id, Json(it->second));
        }
    }
    reply.set("online", std::move(online));
    reply.set("seen", std::move(seen));
    sendOk(*link, std::move(reply));
}

void TestRelay::punchRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello) {
    punchMeeting(relay, link, hello, true);
}

void TestRelay::punchHostRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello) {
    punchMeeting(relay, link, hello, false);
}

void TestRelay::punchMeeting(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello, bool viewer) {
    const std::string id = hello.get("id").text;
    const std::string session = hello.get("session").text;
    const std::string key = "punch:" + id + ":" + session;
    const std::string own = key + (viewer ? "#viewer" : "#host");
    const std::string other = key + (viewer ? "#host" : "#viewer");
    {
        // Stored before meeting, so the partner finds it once the meeting comes about.
        std::lock_guard<std::mutex> lock(relay.mutex_);
        relay.punchHellos_[own] = hello;
    }
    std::shared_ptr<Meeting> meeting;
    if (!viewer || relay.sendToHost(id, object("punch", Json(session)).dump())) {
        meeting = relay.meet(key, link, relay.pairTimeoutMs);
    }
    Json partnerHello;
    {
        std::lock_guard<std::mutex> lock(relay.mutex_);
        if (meeting) {
            partnerHello = relay.punchHellos_[other];
            relay.punchHellos_.erase(other);
        } else {
            relay.punchHellos_.erase(own);
        }
    }
    if (!meeting) {
        refuse(*link, viewer && !relay.host(id) ? "offline" : "no answer");
        return;
    }
    auto partner = meeting->first == link ? meeting->second : meeting->first;
    Json reply, locals;
    reply.set("peer", Json(partner->peerAddress()));
    locals.tag = Json::kArray;
    for (const Json& entry : partnerHello.get("local").items) {
        if (entry.isString() && entry.text.rfind("127.", 0) == 0) locals.push(entry);
    }
    reply.set("peerLocal", std::move(locals));
    const Json& listen = partnerHello.get("listen");
    if (viewer && listen.isNumber()) {
        int64_t port = checkedTrunc(listen.number, 0, 65535, 0);
        const std::string& seen = partner->peerAddress();
        if (port > 0) reply.set("peerListen", Json(seen.substr(0, seen.rfind(':')) + ":" + std::to_string(port)));
    }
    sendOk(*link, std::move(reply));
    // Each side keeps its rendezvous connection open while it punches, then closes it.
    std::string line;
    while (link->readLine(line, kLineMax, -1)) {
    }
}

std::vector<Json> TestRelay::hellos() {
    std::lock_guard<std::mutex> lock(mutex_);
    return hellos_;
}

std::vector<std::string> TestRelay::hostLines(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = hostLines_.find(id);
    return it == hostLines_.end() ? std::vector<std::string>() : it->second;
}

int TestRelay::registrations(const std::string& id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = registrations_.find(id);
    return it == registrations_.end() ? 0 : it->second;
}

bool TestRelay::online(const std::string& id) { return host(id) != nullptr; }

std::vector<int64_t> TestRelay::connectionTimes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connectionTimes_;
}

void TestRelay::dropHost(const std::string& id) {
    if (auto link = host(id)) link->shutdown();
}

bool TestRelay::waitFor(const std::function<bool()>& pred, int timeoutMs) {
    int64_t deadline = nowNanos() + int64_t(timeoutMs) * 1000000;
    for (;;) {
        if (pred()) return true;
        if (nowNanos() >= deadline) return false;
        sleepMs(5);
    }
}
