// The chat window: a small topmost window on a thread of its own that shows the conversation
// with one peer and lets the local user type lines. Owners talk to it only through the
// thread-safe operations below; typed lines come back through `send` on the window thread.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

    const std::string peerName_;
    void* window_ = nullptr;  // HWND, guarded by mutex_
    void* logEdit_ = nullptr;
    void* inputEdit_ = nullptr;
    void* sendButton_ = nullptr;
    void* inputProc_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::wstring> pendingLines_;
    bool startInactive_ = false;
    bool closing_ = false;  // the destructor has begun: the thread must not wait for a window
};
