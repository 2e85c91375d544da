// The chat window's thread, window procedure and input box.
#include "host/chat.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <utility>

#include "core/text.h"
#include "core/util.h"

namespace {

constexpr wchar_t kClassName[] = L"TavrelChat";
constexpr UINT kAppendMessage = WM_APP + 300;
constexpr int kSendId = 4101;

std::wstring chatTimePrefix() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t buf[16];
    swprintf(buf, 16, L"%02d:%02d  ", now.wHour, now.wMinute);
    return buf;
}

ChatWindow* chatOf(HWND hwnd) { return reinterpret_cast<ChatWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)); }

LRESULT CALLBACK chatWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    ChatWindow* chat = chatOf(hwnd);
    switch (msg) {
        case WM_CLOSE:
            // The close box only hides: the thread and the conversation stay.
            ShowWindow(hwnd, SW_HIDE);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            if (chat) chat->layout(LOWORD(lp), HIWORD(lp));
            return 0;
        case kAppendMessage:
            if (chat) chat->flushPending();
            return 0;
        case WM_COMMAND:
            if (chat && (LOWORD(wp) == kSendId || LOWORD(wp) == IDOK)) {
                // The owner's callback must not unwind through the system's dispatch.
                try {
                    chat->sendTyped();
                } catch (...) {
                    logLine("채팅 보내기 실패");
                }
                return 0;
            }
            break;
        default:
            break;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT CALLBACK chatInputProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    ChatWindow* chat = chatOf(GetParent(hwnd));
    if (msg == WM_KEYDOWN && wp == VK_RETURN) {
        SendMessageW(GetParent(hwnd), WM_COMMAND, kSendId, 0);
        return 0;
    }
    if (msg == WM_CHAR && wp == L'\r') return 0;  // no beep, no character
    auto previous = chat ? reinterpret_cast<WNDPROC>(chat->inputProc()) : nullptr;
    return previous ? CallWindowProcW(previous, hwnd, msg, wp, lp) : DefWindowProcW(hwnd, msg, wp, lp);
}

void registerClassOnce() {
    static const bool registered = [] {
        HINSTANCE module = GetModuleHandleW(nullptr);
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = chatWndProc;
        wc.hInstance = module;
        wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        // The program carries no icon resource, so this is the system's default icon.
        wc.hIcon = LoadIconW(module, MAKEINTRESOURCEW(1));
        wc.lpszClassName = kClassName;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

}  // namespace

ChatWindow::ChatWindow(std::string peerName) : peerName_(std::move(peerName)) {}

ChatWindow::~ChatWindow() {
    HWND hwnd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
        hwnd = static_cast<HWND>(window_);
    }
    // Without a window yet, the thread sees closing_ when it would store one.
    if (hwnd) PostMessageW(hwnd, WM_CLOSE, 0, 0);
    if (thread_.joinable()) thread_.join();
}

void ChatWindow::startThread(bool inactive) {
    startInactive_ = inactive;
    thread_ = std::thread([this] { run(); });
}

void ChatWindow::show() {
    HWND hwnd = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable()) {
            startThread(false);
            return;
        }
        hwnd = static_cast<HWND>(window_);
    }
    // Never under the lock, and never waiting for the window thread: it may be waiting for us.
    if (!hwnd) return;
    ShowWindowAsync(hwnd, SW_SHOWNORMAL);
    SetForegroundWindow(hwnd);
}

void ChatWindow::received(const std::string& text) {
    std::wstring line = chatTimePrefix() + utf8ToWide(peerName_) + L": " + utf8ToWide(text);
    HWND hwnd = nullptr;
    bool beep = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const ChatBacklog::Added added = pendingLines_.add(std::move(line), true);
        if (!thread_.joinable()) {
            startThread(true);
        } else if (added.wake && window_) {
            // One wake-up and one show per batch of lines: a flood never fills the window's queue.
            hwnd = static_cast<HWND>(window_);
            if (!PostMessageW(hwnd, kAppendMessage, 0, 0)) pendingLines_.wakeLost();
        }
        beep = added.queued && pendingLines_.mayBeep(nowNanos());
    }
    if (hwnd) ShowWindowAsync(hwnd, SW_SHOWNOACTIVATE);
    if (beep) MessageBeep(MB_ICONINFORMATION);
}

void ChatWindow::appendLine(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    wakeWith(pendingLines_.add(line, false));
}

void ChatWindow::addNote(const std::string& text) { appendLine(chatTimePrefix() + utf8ToWide(text)); }

void ChatWindow::layout(int width, int height) {
    MoveWindow(static_cast<HWND>(logEdit_), 8, 8, width - 16, height - 56, TRUE);
    MoveWindow(static_cast<HWND>(inputEdit_), 8, height - 40, width - 100, 30, TRUE);
    MoveWindow(static_cast<HWND>(sendButton_), width - 86, height - 40, 78, 30, TRUE);
}

void ChatWindow::wakeWith(const ChatBacklog::Added& added) {
    if (!added.wake || !window_) return;
    if (!PostMessageW(static_cast<HWND>(window_), kAppendMessage, 0, 0)) pendingLines_.wakeLost();
}

void ChatWindow::flushPending() {
    ChatBacklog::Flush flush;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return;  // the window is going: nothing is left to show
        flush = pendingLines_.take(chatTimePrefix());
    }
    auto log = static_cast<HWND>(logEdit_);
    if (flush.cut > 0) {
        SendMessageW(log, EM_SETSEL, 0, LPARAM(flush.cut));
        SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(L""));
    }
    if (flush.text.empty()) return;
    int end = GetWindowTextLengthW(log);
    SendMessageW(log, EM_SETSEL, end, end);
    SendMessageW(log, EM_REPLACESEL, 0, reinterpret_cast<LPARAM>(flush.text.c_str()));
}

void ChatWindow::sendTyped() {
    auto input = static_cast<HWND>(inputEdit_);
    int length = GetWindowTextLengthW(input);
    if (length > 0) {
        std::wstring text(size_t(length) + 1, L'\0');
        text.resize(size_t(GetWindowTextW(input, text.data(), length + 1)));
        SetWindowTextW(input, L"");
        // The cut may fall inside a character; the peer's converter replaces what is left.
        std::string utf8 = wideToUtf8(text);
        if (utf8.size() > kSentLimit) utf8.resize(kSentLimit);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wakeWith(pendingLines_.add(chatTimePrefix() + L"나: " + text, false));
        }
        if (send) send(utf8);
    }
    SetFocus(input);
}

void ChatWindow::run() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) return;  // destroyed before the thread got going
    }
    registerClassOnce();
    HINSTANCE module = GetModuleHandleW(nullptr);
    std::wstring title = L"메시지 \u2014 " + utf8ToWide(peerName_);
    HWND hwnd = CreateWindowExW(WS_EX_TOPMOST, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 420, 360, nullptr, nullptr, module, nullptr);
    if (!hwnd) {
        logLine("채팅 창을 만들지 못함 (오류 " + std::to_string(GetLastError()) + ")");
        return;  // nothing to show; the destructor still joins at once
    }
    HFONT font = CreateFontW(-15, 0, 0, 0, 400, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Malgun Gothic");
    HWND log = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                               WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY, 0,
                               0, 10, 10, hwnd, nullptr, module, nullptr);
    HWND input = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 0, 0, 10,
                                 10, hwnd, nullptr, module, nullptr);
    HWND button = CreateWindowExW(0, L"BUTTON", L"보내기", WS_CHILD | WS_VISIBLE | BS_DEFPUSHBUTTON, 0, 0, 10, 10,
                                  hwnd, reinterpret_cast<HMENU>(kSendId), module, nullptr);
    for (HWND child : {log, input, button}) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    // The box is trimmed to the newest lines well above the default limit, which must not cut first.
    SendMessageW(log, EM_SETLIMITTEXT, 0, 0);
    SendMessageW(input, EM_SETCUEBANNER, TRUE, reinterpret_cast<LPARAM>(L"메시지 입력 후 Enter"));
    logEdit_ = log;
    inputEdit_ = input;
    sendButton_ = button;
    // From here on the window procedure reaches this object; every handle above is in place.
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    inputProc_ = reinterpret_cast<void*>(
        SetWindowLongPtrW(input, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(chatInputProc)));
    RECT client{};
    GetClientRect(hwnd, &client);
    SendMessageW(hwnd, WM_SIZE, 0, MAKELPARAM(client.right, client.bottom));

    bool inactive;
    bool closing;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        window_ = hwnd;
        inactive = startInactive_;
        closing = closing_;
    }
    if (!closing) {
        if (inactive) {
            ShowWindow(hwnd, SW_SHOWNOACTIVATE);
        } else {
            ShowWindow(hwnd, SW_SHOWNORMAL);
            SetForegroundWindow(hwnd);
            SetFocus(input);
        }
        PostMessageW(hwnd, kAppendMessage, 0, 0);  // lines queued before the window existed
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_CLOSE && msg.hwnd == hwnd) break;  // posted by the destructor
            if (IsDialogMessageW(hwnd, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    DestroyWindow(hwnd);
    DeleteObject(font);
    std::lock_guard<std::mutex> lock(mutex_);
    window_ = nullptr;
}
