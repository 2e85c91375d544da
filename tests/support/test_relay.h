// A relay server for tests, listening on 127.0.0.1 only. It speaks the relay line protocol as the
// program expects it: a nonce line, a hello checked against the shared secret, then the role's
// reply; after "ok" on a relayed pipe only the peer's bytes pass.
//
// Roles are entries of a table ("host", "client", "data", "status" built in); a test or a later
// component adds or replaces one with setRole. Where the program leaves the relay's behaviour
// open, this relay does the simplest thing:
//  - a bad hello, a wrong digest or an unknown role is answered {"ok":false,"error":...} and closed
//    ("bad hello", "bad mac", "unknown role");
//  - a second registration under an id replaces the first, whose control line is closed;
//  - "client" for an id nobody holds is refused with "offline"; otherwise the relay sends
//    {"incoming": session} to the host and answers the client and the host's "data" connection
//    "ok" only once both are there (refused with "no answer" after pairTimeoutMs);
//  - "data" with a session that was not announced to that id is refused with "unknown session";
//  - "status" answers "online" (the asked ids held now, in the asked order) and "seen" (for every
//    asked id ever registered: when its registration was last held, seconds since 1970).
//  - "punch" for an id nobody holds is refused with "offline"; otherwise the relay sends
//    {"punch": session} to the host and waits for the host's "punchhost" with that session
//    (refused with "no answer" after pairTimeoutMs). Each side is then answered with "peer" (where
//    the relay saw the other side), "peerLocal" (the other side's "local" entries on 127.0.0.1 only,
//    so that tests never leave loopback) and, for the viewer when the host sent "listen",
//    "peerListen" (the host's address with that port); the connection stays open until it closes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "net/socket.h"

class TestRelay {
public:
    // One accepted connection, as the relay sees it.
    class Link {
    public:
        Link(SocketHandle socket, std::string peerAddress, const std::atomic<bool>* stopping);
        ~Link();
        Link(const Link&) = delete;
        Link& operator=(const Link&) = delete;

        // "host:port" at which the relay saw the other end.
        const std::string& peerAddress() const { return peerAddress_; }
        // The next line without its line feed. False on close, stop, time-out (negative: none) or
        // a line longer than maxLength (the link is then shut down).
        bool readLine(std::string& line, size_t maxLength, int timeoutMs);
        bool sendLine(const std::string& text);
        bool sendRaw(const std::string& bytes);
        // Copies everything this link receives (bytes already buffered first) to `to`, until either
        // side ends; then shuts both down.
        void pumpTo(Link& to);
        void shutdown();
        bool isClosed() const { return closed_.load(); }

    private:
        bool receiveSome(int timeoutMs);  // false on close, stop or time-out

        SocketHandle socket_;
        std::string peerAddress_;
        const std::atomic<bool>* stopping_;
        std::string buffer_;  // received, not yet consumed
        std::mutex sendMutex_;
        std::atomic<bool> closed_{false};
    };

    // Two connections the relay joins (client and data, or two rendezvous of a later role).
    struct Meeting {
        std::shared_ptr<Link> first, second;
        Json firstHello, secondHello;  // as given to meet
        int ready = 0;                 // links that have received their "ok" (pipe)

        const std::shared_ptr<Link>& partnerOf(const std::shared_ptr<Link>& self) const {
            return self == first ? second : first;
        }
        const Json& partnerHelloOf(const std::shared_ptr<Link>& self) const {
            return self == first ? secondHello : firstHello;
        }
    };

    using RoleHandler = std::function<void(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello)>;

    explicit TestRelay(std::string secret = "test-relay-secret");
    ~TestRelay();  // stops
    TestRelay(const TestRelay&) = delete;
    TestRelay& operator=(const TestRelay&) = delete;

    bool start();  // a free port on 127.0.0.1
    // Closes the listener and every connection and joins every thread.
    void stop();

    int port() const { return port_; }
    // host "127.0.0.1", this relay's port and secret.
    RelayConfig config() const;
    const std::string& secret() const { return secret_; }

    // Adds or replaces a role (before start, or while no connection of that role is served).
    void setRole(const std::string& role, RoleHandler handler);

    // ---- building blocks for role handlers ----
    static void refuse(Link& link, const std::string& error);  // {"ok":false,"error":...}
    static void sendOk(Link& link, Json reply = Json());        // reply with "ok": true set first
    std::string newSession();                                   // 32 lowercase hex digits
    // The control line registered under id, or null.
    std::shared_ptr<Link> host(const std::string& id);
    bool sendToHost(const std::string& id, const std::string& line);
    // Waits (up to timeoutMs) for another connection meeting under the same key (a rendezvous
    // role pairs its two hellos this way and answers each with the other's addresses). Null when
    // none came, or the relay stops.
    std::shared_ptr<Meeting> meet(const std::string& key, const std::shared_ptr<Link>& self, int timeoutMs,
                                  const Json& hello = Json());
    // Sends "ok" to `self`, waits until the partner got its own, then pumps self's bytes to it.
    void pipe(const std::shared_ptr<Meeting>& meeting, const std::shared_ptr<Link>& self);

    // The built-in roles, for handlers that add a twist and then behave as usual.
    static void hostRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello);
    static void clientRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello);
    static void dataRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello);
    static void statusRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello);
    static void punchRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello);
    static void punchHostRole(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello);
    static void punchMeeting(TestRelay& relay, const std::shared_ptr<Link>& link, const Json& hello, bool viewer);

    // ---- what tests look at ----
    std::vector<Json> hellos();                       // every hello received, in order
    std::vector<std::string> hostLines(const std::string& id);  // lines from id's control lines
    int registrations(const std::string& id);         // successful "host" registrations
    bool online(const std::string& id);
    std::vector<int64_t> connectionTimes();           // nowNanos of each accepted connection
    void dropHost(const std::string& id);             // closes id's control line
    // Polls pred every few milliseconds; false when it did not hold within timeoutMs.
    bool waitFor(const std::function<bool()>& pred, int timeoutMs);

    int pairTimeoutMs = 10000;

private:
    void acceptLoop();
    void serve(std::shared_ptr<Link> link);
    void track(std::thread thread);

    std::string secret_;
    SocketHandle listener_ = kInvalidSocket;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread acceptThread_;

    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::vector<std::thread> threads_;
    std::vector<std::weak_ptr<Link>> links_;
    std::map<std::string, RoleHandler> roles_;
    std::map<std::string, std::shared_ptr<Link>> hosts_;
    std::map<std::string, std::vector<std::string>> hostLines_;
    std::map<std::string, int> registrations_;
    std::map<std::string, double> seen_;
    std::map<std::string, std::string> announced_;  // session -> host id
    std::map<std::string, std::shared_ptr<Meeting>> waiting_;
    std::map<std::string, Json> punchHellos_;  // hellos of punch meetings, until the partner read them
    std::vector<Json> hellos_;
    std::vector<int64_t> connectionTimes_;
};
