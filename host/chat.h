// The chat window: a small topmost window on a thread of its own that shows the conversation
// with one peer and lets the local user type lines. Owners talk to it only through the
// thread-safe operations below; typed lines come back through `send` on the window thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// What waits to go into the conversation box and what the box holds, both bounded: a peer that
// sends lines faster than the window shows them loses the excess (with one note), the box keeps
// only the newest lines, and incoming lines beep at most once a second. Not locked itself: the
// chat window guards it with its own mutex.
class ChatBacklog {
public:
    static constexpr size_t kHistoryUnits = size_t(1) << 19;  // UTF-16 units the box keeps: 1 MiB
    static constexpr size_t kPendingUnits = size_t(1) << 18;  // units of the peer's lines waiting
    static constexpr int64_t kBeepGapNs = 1'000'000'000;

    struct Added {
        bool queued = false;  // false: dropped
        bool wake = false;    // the first line since the last take: the window needs a wake-up
    };
    // Queues a line. A peer's line that would make the waiting lines exceed kPendingUnits is
    // dropped; the program's own lines and the local user's are always queued.
    Added add(std::wstring line, bool fromPeer);
    // The next take is to be asked for again: the wake-up could not be delivered.
    void wakeLost() { wakeSent_ = false; }

    // What the window does with the lines waiting: cut `cut` units from the start of the box,
    // then append `text` (every line followed by "\r\n", then the note on dropped lines).
    struct Flush {
        size_t cut = 0;
        std::wstring text;
    };
    // Takes every waiting line. The cut keeps the box within kHistoryUnits, at line boundaries.
    // `timePrefix` starts the note on lines dropped since the last take.
    Flush take(const std::wstring& timePrefix);

    // Whether an incoming line may beep at `nowNs`.
    bool mayBeep(int64_t nowNs);

private:
    std::vector<std::wstring> pending_;
    size_t pendingUnits_ = 0;
    size_t dropped_ = 0;
    bool wakeSent_ = false;
    std::deque<size_t> shown_;  // the box's lines with their "\r\n", oldest first, in units
    size_t shownUnits_ = 0;
    bool beeped_ = false;
    int64_t lastBeepNs_ = 0;
};

class ChatWindow {
public:
    static constexpr size_t kSentLimit = 2000;  // UTF-8 bytes of one typed line that go out

    explicit ChatWindow(std::string peerName);
    // Ends and joins the window thread. Never on the window thread itself.
    ~ChatWindow();
    ChatWindow(const ChatWindow&) = delete;
    ChatWindow& operator=(const ChatWindow&) = delete;

    // Set by the owner right after construction; called on the window thread with each typed
    // line, cut to kSentLimit bytes. May stay empty: lines are then local only.
    std::function<void(const std::string&)> send;

    // Shows the window activated, making it first when needed.
    void show();
    // An incoming line: appended, and the window shown without taking the focus.
    void received(const std::string& text);
    // Appends one line to the conversation.
    void appendLine(const std::wstring& line);
    // A line of the program's own (for example that the connection ended).
    void addNote(const std::string& text);

    // Window thread only.
    void flushPending();
    void layout(int width, int height);
    void sendTyped();
    void* inputProc() const { return inputProc_; }

private:
    void run();
    void startThread(bool inactive);  // with mutex_ held
    void wakeWith(const ChatBacklog::Added& added);  // with mutex_ held

    const std::string peerName_;
    void* window_ = nullptr;  // HWND, guarded by mutex_
    void* logEdit_ = nullptr;
    void* inputEdit_ = nullptr;
    void* sendButton_ = nullptr;
    void* inputProc_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    ChatBacklog pendingLines_;  // guarded by mutex_
    bool startInactive_ = false;
    bool closing_ = false;  // the destructor has begun: the thread must not wait for a window
};
