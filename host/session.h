// The host's side of one connected viewer: three threads (status poller, receive loop and the
// capture-and-encode loop), the dispatcher of the viewer's messages, and everything that lives
// for one connection: input injection, the file sender and receiver, the chat window, the sound
// and the capture state.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/config/store.h"
#include "core/frame_trace.h"
#include "core/json.h"
#include "files/receiver.h"
#include "files/sender.h"
#include "host/catalogue.h"
#include "host/input.h"
#include "host/protocol/keymap.h"
#include "host/protocol/messages.h"
#include "host/protocol/shortcut.h"
#include "host/session_factory.h"
#include "host/session_system.h"
#include "host/stream_control.h"
#include "host/viewer_session.h"
#include "net/channel.h"

class HostServer;

// The capture parameters the viewer's messages change and the capture loop reads, the frames
// waiting for acknowledgement, the rates and the statistics. Guarded by the session's capture mutex.
struct CaptureState {
    int display = 0;
    int viewWidth = 0;
    int viewHeight = 0;
    uint32_t window = 0;           // the streamed window; 0 = the whole display
    bool reconfigure = true;       // the first pass sets capture up
    bool keyFrameRequest = true;
    int64_t notBefore = 0;         // nowNanos of the set-up due; 0 = at once
    ScreenRect windowBounds;       // the streamed window at set-up; zero for a display
    ScreenRect displayRect;
    StreamRegion region;
    ScreenRect inputTarget;        // where the viewer's pointer lands
    int quality = 0;
    std::string launching;         // the program being started, empty when none
    FrameWindow frames;
    int bitRate = kInitialBitRate;
    int ceiling = kInitialCeiling;
    int skipped = 0;               // pictures replaced by newer ones this second
    // statistics
    std::string codec;
    int streamWidth = 0;
    int streamHeight = 0;
    int framesSent = 0;
    int keyFrames = 0;
    uint64_t bytesSent = 0;
    double convertMs = 0;
    double mapMs = 0;
    double encodeMs = 0;
    int encoded = 0;
    double grabMs = 0;   // copying images from the screen
    double checkMs = 0;  // comparing them with the last one
    int grabs = 0;
};

class HostSession : public ViewerSession, public CatalogueSession, public std::enable_shared_from_this<HostSession> {
public:
    HostSession(std::shared_ptr<SecureChannel> channel, std::string peerName, std::string peerKey, Json request,
                HostServer* server, HostSessionOptions options = {});
    ~HostSession() override;

    // Starts the status poller, the receive loop and (unless the session is a wake errand) the
    // capture-and-encode loop and the requested sound. Throws std::bad_weak_ptr when the session
    // is not held by a std::shared_ptr.
    void start() override;
    // Ends the session once: the connection, the clipboard listener, the posted messages (their
    // thread joined), held input, transfers, sound, curtain, the chat's last line, the history
    // record, then onEnded.
    void close() override;
    void openChat() override;
    // Queued for the outbox thread (started on first use, ended and joined by close).
    bool post(MsgType type, Bytes payload) override;
    // Posted messages the sending thread has not taken yet.
    size_t postedWaiting() const;
    // Whether a thread of the slow requests (folder listing, restart or sleep, launch) is still
    // running or about to take its next job.
    bool slowJobsRunning() const;
    Json stats() const override;

    // One message from the viewer (the receive loop's thread). Errors are logged, never thrown.
    void handle(unsigned char type, const std::vector<unsigned char>& payload);
    // A key event outside the lock screen, through the shortcut translator.
    void keyEvent(const KeyEvent& event);
    void setAudio(bool on);
    // The catalogue reply, and the launch job (each on a thread of its own).
    void sendAppList();
    void launchFromCatalogue(const std::string& id);
    // Sets capture and encoder up for the current display or window; the capture thread's.
    bool setupCapture(ScreenSource& screen, PictureEncoder& encoder, Bytes& picture);
    // Follows, re-sets or drops a streamed window that moved, resized, closed or was minimised.
    void checkStreamWindow();

    // What the catalogue's jobs need (CatalogueSession).
    void send(MsgType type, const std::string& payload) override;
    std::string launching() override;
    void setLaunching(const std::string& name) override;
    void streamWindow(uint32_t handle) override;

    const SessionRequest& request() const { return request_; }
    const Json& requestJson() const { return requestJson_; }
    bool wakeErrand() const { return request_.wakeOnly(); }
    bool stopped() const { return stop_->load(); }
    // A copy of the capture state.
    CaptureState captureSnapshot() const;
    int shortcutMode();

private:
    struct ClipboardRelay;
    struct Worker;
    struct Outbox;
    struct CaptureSetup;
    struct CaptureLoopState;

    // Life, sending and the threads (session.cpp).
    void sendMessage(MsgType type, ByteSpan payload);
    void notice(const std::string& text);
    // Makes the chat window, its typed lines posted to the outbox; under the chat mutex.
    void makeChatLocked();
    void startDetached(std::function<void()> body);
    // Runs the job on the worker of its kind; dropped once the session stops.
    void post(const std::shared_ptr<Worker>& worker, std::function<void()> job);
    void releaseInput();
    void statusLoop();
    void receiveLoop();
    bool sleepUnlessStopped(int ms);

    // The routing of the viewer's messages, input and the desktop's services (session_dispatch.cpp).
    void dispatch(MsgType type, const std::vector<unsigned char>& payload);
    bool toLockScreen(MsgType type, const std::vector<unsigned char>& payload);
    void handleInput(MsgType type, const std::vector<unsigned char>& payload);
    void handleDesktopService(MsgType type, const std::vector<unsigned char>& payload);
    void handleCatalogue(MsgType type, const std::vector<unsigned char>& payload);
    void lockLogin(const std::vector<unsigned char>& payload);
    void curtainSwitch(bool on);
    void chatLine(const std::string& text);
    void requestCatalogue();
    // Input under the input mutex, unless the session has stopped.
    void withInput(const std::function<void()>& action);

    // The stream settings, the set-up and the capture-and-encode loop (session_capture.cpp).
    void handleStreamSetting(MsgType type, const std::vector<unsigned char>& payload);
    // The injector's target; under the capture mutex.
    void setTargetLocked(const ScreenRect& r);
    void readStreamWishes(CaptureSetup& s);
    void placeStreamWindow(CaptureSetup& s);
    bool openEncoder(PictureEncoder& encoder, const CaptureSetup& s, const SetupMode& mode, const MonitorInfo& monitor,
                     const StreamRegion& region);
    void sendDisplayInfo(const CaptureSetup& s, const MonitorInfo& monitor, int width, int height);
    void captureLoop();
    bool setUpWhenDue(CaptureLoopState& run);
    void grab(CaptureLoopState& run);
    void sidePasses(CaptureLoopState& run, int64_t now);
    bool pictureToEncode(CaptureLoopState& run, int64_t now, int64_t& convertStart);
    int64_t convertMapped(CaptureLoopState& run, int64_t mapStart);
    bool encodePicture(CaptureLoopState& run, int64_t convertStart, Bytes& out);
    void sendFrame(CaptureLoopState& run, const Bytes& out);
    void caretPass(CaretReports& reports);
    void rateStep(PictureEncoder& encoder, int fps);

    // File messages and the upload folder (session_files.cpp).
    void handleTransfer(MsgType type, const std::vector<unsigned char>& payload);
    void handleFiles(MsgType type, const std::vector<unsigned char>& payload);
    std::wstring takeUploadFolder();
    // With file transfer switched off, stops the transfers under way (logged when there were
    // any); true when it is off.
    bool stopTransfersIfSwitchedOff();

    ConfigStore& store_;
    std::shared_ptr<SessionSystem> system_;
    const HostSessionTiming timing_;
    FrameTrace* const frameTrace_;  // null: none
    const std::function<void(unsigned char type)> admitted_;
    HostServer* server_;
    const Json requestJson_;
    const SessionRequest request_;
    const std::shared_ptr<std::atomic<bool>> stop_ = std::make_shared<std::atomic<bool>>(false);
    std::atomic<bool> mediaOn_{true};
    PayloadGate payloadGate_{MsgEnd::Host};  // the receive thread's check of each payload's size

    std::mutex inputMutex_;  // the translator, the injector's releases and the lock-screen keys
    InputInjector injector_;
    ShortcutTranslator translator_;
    std::vector<uint16_t> lockKeysDown_;  // pressed through the lock helper and not yet released

    std::mutex clipboardMutex_;
    int clipboardListener_ = 0;
    std::shared_ptr<ClipboardRelay> clipboardRelay_;

    mutable std::mutex captureMutex_;
    std::unique_ptr<CaptureState> capture_;

    std::mutex audioMutex_;
    bool audioWish_ = false;
    std::unique_ptr<SoundSource> sound_;

    std::mutex curtainMutex_;
    bool raisedCurtain_ = false;  // this session raised the curtain and has not lowered it

    // What window threads hand over; before the chat window, whose thread posts to it.
    const std::shared_ptr<Outbox> outbox_;

    std::mutex chatMutex_;
    std::unique_ptr<ChatBox> chat_;

    std::mutex catalogueMutex_;
    bool catalogueRunning_ = false;
    bool catalogueAgain_ = false;

    // Slow requests, each kind on one thread of its own at most.
    const std::shared_ptr<Worker> folderWorker_;
    const std::shared_ptr<Worker> powerWorker_;
    const std::shared_ptr<Worker> launchWorker_;

    std::mutex filesMutex_;  // starting transfers, against close stopping them

    std::mutex uploadMutex_;
    std::wstring uploadFolder_;
    int64_t uploadExpiry_ = 0;

    FileReceiver receiver_;
    FileSender sender_;
};

// The statistics logged when a session ends: codec, stream size, frames, bytes, key frames, bit
// rate, in-flight limit, last minimum round trip and the average convert, map and encode times.
Json sessionStatsJson(const HostSession& session);
