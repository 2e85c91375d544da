// ClientSession: the viewer's end of one session with a host. It connects (direct, punched or
// relayed), runs the handshake, sends the session request and then runs three threads of its
// own: the receive loop, the decode-and-render loop and the ping loop. It never touches a window:
// everything it reports goes out through its callbacks, which the owner fills before connect.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/settings.h"
#include "core/crypto/x25519.h"
#include "core/frame_trace.h"
#include "core/json.h"
#include "core/log_text.h"
#include "core/util.h"
#include "core/wire.h"
#include "files/receiver.h"
#include "files/sender.h"
#include "host/protocol/messages.h"
#include "net/channel.h"
#include "net/framed.h"
#include "viewer/devices.h"
#include "viewer/outgoing.h"

// How a session reaches a host: connectPeer's contract (addresses, relay or null, relay id,
// route text out, relay only).
using PeerConnector = std::function<std::shared_ptr<FramedConn>(
    const std::vector<std::string>& addresses, const RelayConfig* relay, const std::string& targetId,
    std::string* routeText, bool relayOnly)>;

// What a session uses of the world besides its peer; empty members take the product's own
// (productViewerDevices, connectPeer, nowNanos).
struct SessionServices {
    std::shared_ptr<ViewerDevices> devices;
    PeerConnector connectPeer;
    std::function<int64_t()> clock;
    // How long the host may take no byte of what is sent before the session ends; tests shorten it.
    int sendStallMs = kSendStallMs;
    OutgoingLimits outgoing;
    // For tests: sees every message the outgoing queue is through with, as the queue's observer.
    std::function<void(const QueuedMessage&)> outgoingReleases;
    // For tests: called by the connect thread right after it wrote what the window reads (the
    // route, the host's system), before it lets go of `stateMutex`.
    std::function<void()> sharedStateWritten;
    // Where shown pictures are traced (on nowNanos, whatever the clock above); the process's
    // trace, from TAVREL_FRAME_TRACE, when null.
    FrameTrace* frameTrace = nullptr;
};

// Pictures waiting for the render loop. A host may send 48 MiB in one message, and the loop may
// fall behind (a slow decoder, a busy machine): past either bound the waiting frames are dropped
// and the stream starts again at the next key frame.
struct VideoQueueLimits {
    size_t maxMessages = 120;                  // two seconds at 60 frames a second
    size_t maxBytes = size_t(64) << 20;        // above the largest single message
};

// Texts of this component.
extern const char* const kNotAllowedText;      // "원격 컴퓨터가 이 기기를 허용하지 않습니다"
extern const char* const kBadPairingCodeText;  // "짝 맺기 코드가 맞지 않거나 만료되었습니다"
extern const char* const kDroppedText;         // "연결이 끊겼습니다"
extern const char* const kUnknownHostName;     // "원격 컴퓨터"
extern const char* const kHostStalledText;     // the host stopped taking what the viewer sends

// Bytes of an outgoing chat line.
inline constexpr size_t kOutgoingChatLimit = 2000;
// How long a request for files lets the host's next batch in.
inline constexpr int64_t kReceivePermitNanos = 60'000'000'000;
// Key-frame requests go out at most once per this long.
inline constexpr int64_t kKeyFrameRequestGapNanos = 500'000'000;

// The text shown for a received batch: "받음: name (size) → folder", with " 등 파일 N개" after the
// name when the batch is not one file.
std::string formatReceivedBatch(const std::wstring& path, int files, unsigned long long bytes);

class ClientSession : public std::enable_shared_from_this<ClientSession> {
    // First: destroyed after everything below that may still use them.
    std::shared_ptr<ViewerDevices> devices_;
    PeerConnector connectPeer_;
    std::function<int64_t()> clock_;
    FrameTrace* const frameTrace_;  // null: none
    std::shared_ptr<FramedConn> connecting_;  // under stateMutex, until the session runs
    int sendStallMs_;
    // Everything the session sends waits here for the sending thread: no caller ever blocks on
    // the link. Before filesOut, whose worker may wait in it.
    OutgoingQueue outgoing_;
    std::atomic<bool> stalled_{false};  // the host stopped taking bytes; set before the shutdown
    // Route label and host system, written by the connect thread, read by the window: under
    // stateMutex.
    std::string route_;
    std::string hostOs_ = "mac";
    std::function<void()> sharedStateWritten_;  // empty: none
    // Receive thread, under queueMutex: bytes of the queued payloads, and frames being skipped
    // until the next key frame after an overflow.
    size_t queuedBytes_ = 0;
    bool skipToKeyFrame_ = false;
    PayloadGate payloadGate_{MsgEnd::Viewer};  // the receive thread's check of each payload's size

public:
    // ---- callbacks, set by the owner before connect; an empty one drops its event ----
    // Peer JSON is parsed here, once, on the receive thread: these get the parsed value.
    std::function<void(Json)> onDisplayInfo;
    std::function<void(Json)> onAppList;
    std::function<void(std::vector<unsigned char> const&)> onCursor;
    std::function<void(std::string const&)> onNotice;
    std::function<void(bool)> onLocked;
    std::function<void()> onFirstPicture;          // render thread
    std::function<void(std::string const&)> onEnded;  // at most once, never after close
    bool clipboardSync = true;
    std::string hostKey;         // base64 of the host's key, learned by the password handshake
    // The host hello's "os" ("mac" until a hello says otherwise).
    std::string hostOs();
    // Route label of the connection that carries the session.
    std::string route();
    std::function<void(std::string const&)> onTransferStatus;
    std::function<void(std::string const&, std::wstring const&)> onTransferResult;
    std::function<void(bool)> onCurtain;
    std::function<void(Json)> onFolderListing;
    std::function<void(std::string const&)> onChat;
    std::string codecName;       // "H.264" or "HEVC", from the last stream header; under statsMutex

    std::unique_ptr<SoundPort> audio;
    Peer peer;
    KeyPair deviceKey;
    Bytes token;          // one-time pairing token; empty when none
    void* videoWindow;    // the viewer's video child window; may be null
    std::string password; // access password (UTF-8); empty for paired mode

    // `channel` and `clipboardListener` change hands under `stateMutex`: close may read them
    // while connect is still running.
    std::mutex stateMutex;
    std::shared_ptr<SecureChannel> channel;
    std::atomic<bool> stop{false};
    std::atomic<bool> redraw{false};  // set by the window, then queueCv notified
    std::mutex queueMutex;
    std::condition_variable queueCv;
    std::deque<ChannelMessage> videoQueue;  // stream headers and video frames
    VideoQueueLimits queueLimits;           // set before connect
    int clipboardListener = 0;
    std::mutex statsMutex;
    int32_t frames = 0;
    int64_t bytes = 0;
    double rttMs = 0;
    std::atomic<int32_t> picturesShown{0};
    // When the last key-frame request went out; kNever before the first.
    static constexpr int64_t kNever = std::numeric_limits<int64_t>::min();
    std::atomic<int64_t> lastKeyFrameRequest{kNever};
    std::mutex permitMutex;
    int64_t receivePermitUntil = 0;  // on the session's clock; 0 = no permit
    FileReceiver filesIn;
    FileSender filesOut;  // last: destroyed first, its worker still sends through the members above

    ClientSession(Peer peer, KeyPair deviceKey, Bytes token, void* videoWindow, std::string password,
                  SessionServices services = SessionServices());
    ~ClientSession();
    ClientSession(const ClientSession&) = delete;
    ClientSession& operator=(const ClientSession&) = delete;

    // Once, on a thread of the caller's. Returns the host's hello (null when it does not parse);
    // *routeText receives the route text of the connection. Throws ProtoError (BadPassword,
    // PasswordRefused) on failure, "연결이 닫혔습니다" when close came first.
    Json connect(Json request, std::string* routeText);

    // Queues a message while the channel exists and the session runs; otherwise nothing. Never
    // waits for the link: the session's sending thread writes it.
    void send(unsigned char type, std::vector<unsigned char> const& payload);
    // What waits to be sent (read-only: its byte counts).
    const OutgoingQueue& outgoing() const { return outgoing_; }
    // File data: waits while the queue's bulk lane is full (never call it on the UI thread).
    void sendBulk(unsigned char type, std::vector<unsigned char> const& payload);
    void send(MsgType type, std::vector<unsigned char> const& payload) { send(static_cast<unsigned char>(type), payload); }
    // Local end: reports nothing.
    void close();
    // End of the receive loop (or of a thread that failed): reports `reason` unless the session
    // had already stopped.
    void finish(std::string const& reason);

    struct Stats {
        int32_t frames = 0;
        int64_t bytes = 0;
        double rttMs = 0;
    };
    // Frames and bytes since the last call (then reset), and the last round trip.
    Stats takeStats();

    // ---- senders of the window's commands ----
    void requestKeyFrame();
    void sendCombo(std::vector<uint16_t> const& keys);
    void setAudio(bool on);
    void sendChat(std::string const& text);
    void requestClipboardFiles();
    // Lets the host's next batch in for a while and asks it for these remote files and folders.
    void requestDownload(std::vector<std::string> const& remotePaths);
    // Queues local files for the host; a non-empty remote folder is named to the host right before
    // the batch's first file (by the sender), so batches queued ahead keep their own place.
    void requestUpload(std::vector<std::wstring> const& localPaths, std::string const& remoteFolder);

    // Installs the file hooks; called by connect with the host's name.
    void setUpFiles(std::string const& hostName);
    // Consumes the one-shot receive permit; true when a batch may come in.
    bool takeReceivePermit();

    // The threads' bodies.
    void receiveLoop();
    void renderLoop();
    void pingLoop();
    void sendLoop();

    // The error a refused handshake is shown as.
    ProtoError refusalError(ProtoError const& error) const;

private:
    // The text of the exception being handled; call it only inside a catch block.
    static std::string exceptionText();

    // ---- connect's steps, in their order ----
    std::string deviceIdentity() const;
    // The handshake on `conn`; one broken off on a hole-punched connection is tried again once
    // through the relay, and `conn` becomes that connection.
    std::shared_ptr<SecureChannel> handshakeOrRelay(std::shared_ptr<FramedConn>& conn, const std::string& identityText,
                                                    const RelayConfig* relayGiven, const std::string& targetId,
                                                    std::string* routeText, Bytes& helloBytes);
    void adoptChannel(const std::shared_ptr<FramedConn>& conn, const std::shared_ptr<SecureChannel>& secure);
    // The host's hello, parsed (null when it does not parse); its system and name taken in.
    Json readHello(const Bytes& helloBytes);
    // Queues the session request and adds the clipboard listener.
    void requestSession(const std::shared_ptr<FramedConn>& conn, const Json& request,
                        const std::shared_ptr<ClientSession>& self);
    void startThreads(const std::shared_ptr<ClientSession>& self);

    std::shared_ptr<SecureChannel> handshake(const std::shared_ptr<FramedConn>& conn, ByteSpan identity,
                                             Bytes& helloBytes);
    std::shared_ptr<SecureChannel> currentChannel();
    void releaseHostKeys();
    // The connection being set up, so that close can cut a handshake short.
    void trackConnection(const std::shared_ptr<FramedConn>& conn);
    void throwIfClosed(const std::shared_ptr<FramedConn>& conn);
    void shutDownAndRemoveListener();
    // Routes one message of the host to its handler.
    void dispatch(ChannelMessage message);
    // ---- dispatch's handlers: each decodes its message, then passes it on ----
    void handleDisplayInfo(const Bytes& payload);
    void handleStreamHeader(ChannelMessage message);
    void handleAudio(const ChannelMessage& message);
    void handleClipboard(const Bytes& payload);
    void handleCursor(const Bytes& payload);
    void handlePong(const Bytes& payload);
    void handleChat(const Bytes& payload);
    void handleNotice(const Bytes& payload);
    void handleStatus(const Bytes& payload);
    void handleFileRefused(const Bytes& payload);
    void handleFolderListing(const Bytes& payload);
    void handleAppList(const Bytes& payload);
    void queueVideo(ChannelMessage message);
    void renderFrames();
    void queueClipboard(const Bytes& payload);
    void enqueue(uint8_t type, Bytes payload, uint64_t* ticket = nullptr);
    // The host took nothing for too long, or let the queue fill: the session ends with
    // kHostStalledText.
    void giveUpStalled();
    bool hostStalled();
    void setRoute(const std::string& text);
    int64_t now() const { return clock_(); }

};
