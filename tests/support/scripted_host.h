// A host for tests of the viewer session. It listens on 127.0.0.1 (or serves connections a test
// hands it), runs the host side of either handshake, then records every message the viewer
// sends, answers pings, serves a paste request from its own FileSender, saves uploads with its
// own FileReceiver, and sends whatever the test scripts. Every wait is bounded.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/config/settings.h"
#include "core/crypto/x25519.h"
#include "core/json.h"
#include "core/util.h"
#include "files/receiver.h"
#include "files/sender.h"
#include "host/protocol/messages.h"
#include "net/channel.h"
#include "net/framed.h"

class ScriptedHost {
public:
    explicit ScriptedHost(std::string name = "시험 호스트", std::string os = "windows");
    // Shuts every connection down and waits for the threads.
    ~ScriptedHost();
    ScriptedHost(const ScriptedHost&) = delete;
    ScriptedHost& operator=(const ScriptedHost&) = delete;

    KeyPair device;
    Bytes hello;           // the identity sent back in the handshake
    std::string password;  // the password a password handshake must use

    // What the host does once a viewer is through the handshake.
    enum class After {
        Serve,      // read and answer until the connection ends
        Drop,       // shut the connection down at once
    };
    After after = After::Serve;
    // Called on the host's thread after the first handshake frame arrived, before the reply.
    std::function<void()> beforeReply;
    // Files a paste request sends; none: refused with kNoCopiedFiles.
    std::vector<std::wstring> clipboardFiles;
    std::atomic<bool> answerPings{true};
    std::atomic<bool> servePaste{true};  // false: paste requests go unanswered
    // Stops reading (the link stalls once the buffers are full); returns once the host has
    // stopped. False when it did not within the time.
    bool pauseReading(int timeoutMs = 5000);
    void resumeReading() { reading_ = true; }

    // Listens on a free port of 127.0.0.1 and serves each connection on a thread of its own.
    bool start();
    std::string address() const;  // "127.0.0.1:port"
    // A registered computer for this host: its name, key and address.
    Peer peer() const;
    // Serves one connection (the host end of a test's own pair) on a thread of its own.
    void serve(std::shared_ptr<FramedConn> conn);

    // ---- what the viewer did ----
    Json identity();     // the viewer's identity
    int handshakes();    // handshakes completed
    // Every message received, in order.
    std::vector<ChannelMessage> received();
    std::vector<Bytes> received(MsgType type);
    bool waitFor(MsgType type, size_t count = 1, int timeoutMs = 5000);
    bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);
    // The viewer's connection ended (the host read its end).
    bool waitEnded(int timeoutMs = 5000);

    // ---- scripted messages ----
    bool send(MsgType type, ByteSpan payload);
    bool send(MsgType type, const std::string& text) { return send(type, asBytes(text)); }
    // Shuts the current connection down.
    void drop();

    FileReceiver filesIn;   // saves into the folder a test gives `filesIn.defaultFolder`
    FileSender filesOut;    // last: its worker sends through the members above

private:
    void run(std::shared_ptr<FramedConn> conn);
    void handshake(const std::shared_ptr<FramedConn>& conn);
    void handle(const ChannelMessage& message);
    std::shared_ptr<SecureChannel> channel();

    std::string name_;
    ListenSocket listener_;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> reading_{true};
    std::atomic<bool> paused_{false};

    std::mutex mutex_;
    std::vector<std::thread> threads_;
    std::vector<std::shared_ptr<FramedConn>> conns_;
    std::shared_ptr<SecureChannel> channel_;
    std::vector<ChannelMessage> received_;
    Json identity_;
    int handshakes_ = 0;
    int ended_ = 0;
};
