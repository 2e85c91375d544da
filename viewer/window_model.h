// The viewer window's decisions, without Windows: the session request, where the children go,
// when a view size is worth reporting, the status texts and the reconnect policy, what the window
// learns about its peer from a connected host, and the order in which the session's reports are
// applied. The window (viewer/window.h) only applies them.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/settings.h"
#include "core/json.h"
#include "core/util.h"

// The session request (first message of a session): display, frame rate, view size, quality,
// sound and the codecs this PC decodes. `displayInfo` is the last one the host sent (null before).
Json sessionRequest(const AppConfig& config, const Json& displayInfo, int viewWidth, int viewHeight,
                    bool hevcDecoder);

// Whether the host's description lists the feature (exact bytes).
bool hostHasFeature(const Json& displayInfo, std::string_view name);

struct ViewBox {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const ViewBox&) const = default;
};
// The children of a client area of w x h: the video fills it; the status line and the reconnect
// button sit around its middle.
struct ViewerLayout {
    ViewBox video, statusLine, reconnectButton;
};
ViewerLayout viewerLayout(int width, int height);

// A new view size is reported only when it moved by more than 4 pixels in either direction.
bool viewSizeWorthReporting(int lastWidth, int lastHeight, int width, int height);

// The title's lead while the host's screen is locked; empty when it is not.
std::u16string lockedTitleText(bool locked, bool hostCanUnlock);

// Status texts.
extern const char16_t* const kConnectingText;      // "연결 중…"
extern const char16_t* const kReconnectingText;    // "다시 연결 중…"
extern const char16_t* const kReceivingText;       // "화면 받는 중…"
extern const char16_t* const kDroppedStatusText;   // "연결이 끊겼습니다"
extern const char16_t* const kDroppedRetryText;    // "연결이 끊겼습니다 — 다시 연결 중…"

// The reconnect delays. The product waits 1 s after a drop and min(2^n, 10) s before attempt n
// after a failure; tests shorten the unit.
struct ReconnectTiming {
    int afterDropMs = 1000;
    int retryUnitMs = 1000;
};

struct ReconnectState {
    bool autoReconnect = false;  // armed by the first successful connect, never disarmed
    int attempts = 0;            // automatic attempts since the last success or reconnect press
    int64_t restartUntil = 0;    // on the nowNanos scale; 0 until the host was told to restart
};

// What the window shows after a failure or an end, and whether it tries again.
struct ReconnectStep {
    std::u16string status;
    bool button = false;
    int retryMs = 0;  // 0: no automatic attempt
    bool operator==(const ReconnectStep&) const = default;
};

// Automatic attempts stop after 20, except while the host restarts.
bool givingUp(const ReconnectState& state, int64_t now);
// A connect that failed with `error`; `hasPassword` for a connection by access ID.
ReconnectStep afterConnectFailed(ReconnectState& state, int64_t now, const std::string& error, bool hasPassword,
                                 const ReconnectTiming& timing);
// A session that ended on its own (a non-empty reason).
ReconnectStep afterSessionEnded(ReconnectState& state, int64_t now, const ReconnectTiming& timing);
// The text a failure that is not retried leaves on the window.
std::u16string finalFailureText(const std::string& error, bool hasPassword);

// After a connect: fills in what the host told about itself when the window was opened with a
// pairing code or a password, or does not know the host's system. The token is forgotten, a
// password that served is wiped and the host's key (learned by the password handshake) taken.
// True when the peer should be remembered.
bool learnPeerFromHost(Peer& peer, Bytes& token, std::string& password, const Json& hostHello,
                       const std::string& hostKey);
// The status line of an ended session: the reconnect step's text, except that a session ended
// because the host stopped taking data says so in place of the plain "연결이 끊겼습니다".
std::u16string endedStatusText(const std::u16string& stepStatus, const std::string& reason);

// Overwrites the bytes, then empties the string.
void wipeText(std::string& text);
void wipeText(std::wstring& text);

// One report of a session's threads, or of the window's own chat window, on its way to the UI
// thread. Each carries the generation of the connect it belongs to.
struct ViewerReport {
    enum Kind : uint8_t {
        Connected,
        ConnectFailed,
        DisplayInfo,
        Cursor,
        Notice,
        Ended,
        FirstPicture,
        TransferStatus,
        TransferResult,
        Locked,
        AppList,
        Chat,
        FolderListing,
        Curtain,
    };
    Kind kind = Notice;
    uint64_t generation = 0;  // 0: not tied to a session (the chat window's own lines)
    std::string text;         // notice, reason, transfer text or chat line
    // The host's hello, description, program list or folder listing, as the session's thread
    // parsed it: the window never parses what a peer sent.
    Json value;
    Bytes bytes;              // a cursor shape
    std::wstring path;        // a transfer result's local path
    bool flag = false;        // locked, curtain; for chat: typed here (true) or received
};

// Reports on their way from a session's threads to the window. The window is woken by one
// message however many wait, so a stalled window never fills its message queue: of the kinds that
// only the latest counts (cursor, host description, program list, transfer status, folder listing,
// locked, curtain) one waits per connect, other lines (notices, chat, transfer results) wait up to
// a bound of lines and of bytes, and a connect's state (connected, failed, ended, first picture)
// always gets through.
class ReportMailbox {
public:
    static constexpr size_t kMaxLines = 256;
    // Bytes of the waiting lines' texts and paths together.
    static constexpr size_t kMaxLineBytes = size_t(1) << 20;

    // True when the window must be woken: nothing waited, or the last wake could not be posted.
    bool put(std::unique_ptr<ViewerReport> report);
    // The oldest waiting report; null when none waits, and then the next put wakes the window
    // again. One at a time, so that a modal loop run by one report's handling takes the next ones
    // in their order.
    std::unique_ptr<ViewerReport> take();
    // The wake message could not be posted: the next put tries again.
    void wakeFailed();
    // Drops whatever waits.
    void clear();
    size_t waiting() const;
    size_t lineBytes() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<ViewerReport>> waiting_;
    size_t lines_ = 0;
    size_t lineBytes_ = 0;
    bool woken_ = false;
};

// Orders the reports of the window's sessions. Reports of a connect that a newer one replaced are
// dropped. A session's threads may report before its connect thread reports the connect: those
// reports wait, under the mailbox's bounds, and are applied in their order right after the
// connect; a failed connect drops them.
class ReportGate {
public:
    // A new connect begins; whatever waited for the previous one is dropped.
    uint64_t begin();
    uint64_t current() const { return generation_; }
    // The reports to apply now, in order: none (stale or waiting), the report itself, or a connect
    // followed by what waited for it.
    std::vector<std::unique_ptr<ViewerReport>> admit(std::unique_ptr<ViewerReport> report);
    size_t waiting() const { return waiting_.waiting(); }

private:
    uint64_t generation_ = 0;
    bool connected_ = false;  // the current connect has reported its success
    ReportMailbox waiting_;
};
