// Answers the message boxes that code under test shows on its own thread: a watcher thread finds
// the box by its caption, reads its text, takes a screenshot and presses a button.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/util.h"
#include "support/screenshot.h"

// Waits on a thread of its own for a top-level dialog of this process with the caption, then
// presses `button` (IDYES, IDOK...). Joined by `wait` or the destructor.
class MessageBoxAnswer {
public:
    // screenshot: the picture's name under build/screens; empty takes none.
    MessageBoxAnswer(std::wstring caption, int button, std::string screenshot = "", int timeoutMs = 30000)
        : caption_(std::move(caption)), button_(button), screenshot_(std::move(screenshot)) {
        thread_ = std::thread([this, timeoutMs] { run(timeoutMs); });
    }
    ~MessageBoxAnswer() { wait(); }
    MessageBoxAnswer(const MessageBoxAnswer&) = delete;
    MessageBoxAnswer& operator=(const MessageBoxAnswer&) = delete;

    // Whether a box came and was answered.
    bool wait() {
        if (thread_.joinable()) thread_.join();
        return answered_;
    }
    void cancel() { cancelled_ = true; }
    const std::wstring& text() const { return text_; }
    bool screenshotSaved() const { return screenshotSaved_; }

private:
    struct Search {
        const std::wstring* caption;
        HWND found = nullptr;
    };
    static BOOL CALLBACK findBox(HWND window, LPARAM param) {
        auto* s = reinterpret_cast<Search*>(param);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        wchar_t cls[16] = {}, title[256] = {};
        GetClassNameW(window, cls, 16);
        // Read without a message: the thread that owns the window may be waiting for this one.
        InternalGetWindowText(window, title, 256);
        if (pid == GetCurrentProcessId() && wcscmp(cls, L"#32770") == 0 && *s->caption == title && IsWindowVisible(window)) {
            s->found = window;
            return FALSE;
        }
        return TRUE;
    }
    static BOOL CALLBACK longestStatic(HWND child, LPARAM param) {
        auto* text = reinterpret_cast<std::wstring*>(param);
        wchar_t cls[16] = {};
        GetClassNameW(child, cls, 16);
        if (_wcsicmp(cls, L"Static") != 0) return TRUE;
        wchar_t buffer[2048] = {};
        GetWindowTextW(child, buffer, 2048);
        if (wcslen(buffer) > text->size()) *text = buffer;
        return TRUE;
    }

    void run(int timeoutMs) {
        const int64_t end = nowNanos() + int64_t(timeoutMs) * 1'000'000;
        while (!cancelled_ && nowNanos() < end) {
            Search s{&caption_};
            EnumWindows(findBox, reinterpret_cast<LPARAM>(&s));
            if (s.found) {
                sleepMs(200);  // let it paint
                EnumChildWindows(s.found, longestStatic, reinterpret_cast<LPARAM>(&text_));
                if (!screenshot_.empty()) screenshotSaved_ = saveScreenshot(s.found, screenshot_);
                PostMessageW(s.found, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED), 0);
                answered_ = true;
                return;
            }
            sleepMs(20);
        }
    }

    std::wstring caption_;
    int button_;
    std::string screenshot_;
    std::wstring text_;
    std::atomic<bool> cancelled_{false};
    bool answered_ = false;
    bool screenshotSaved_ = false;
    std::thread thread_;
};
