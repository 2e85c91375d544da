// The chat window on its own thread, driven from the test thread as owners drive it.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/text.h"
#include "core/util.h"
#include "host/chat.h"
#include "support/screenshot.h"

namespace {

// Runs `work` on a thread of its own and waits up to `ms` for it; a call that never returns
// fails the test without hanging it (the thread is left behind).
bool returnsWithin(std::function<void()> work, int ms) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread([work = std::move(work), finished] {
        work();
        *finished = true;
    }).detach();
    for (int64_t end = nowNanos() + int64_t(ms) * 1'000'000; nowNanos() < end && !*finished;) sleepMs(2);
    return *finished;
}

bool waitFor(const std::function<bool()>& done, int ms = 3000) {
    for (int64_t end = nowNanos() + int64_t(ms) * 1'000'000; nowNanos() < end;) {
        if (done()) return true;
        sleepMs(5);
    }
    return done();
}

std::wstring textOf(HWND w) {
    int n = GetWindowTextLengthW(w);
    std::wstring s(size_t(n) + 1, L'\0');
    s.resize(size_t(GetWindowTextW(w, s.data(), n + 1)));
    return s;
}

// The conversation's lines without their "hh:mm  " time prefixes.
std::vector<std::wstring> conversation(HWND log) {
    std::vector<std::wstring> lines;
    std::wstring all = textOf(log);
    size_t start = 0;
    for (size_t at; (at = all.find(L"\r\n", start)) != std::wstring::npos; start = at + 2) {
        std::wstring line = all.substr(start, at - start);
        bool timed = line.size() >= 7 && iswdigit(line[0]) && iswdigit(line[1]) && line[2] == L':' &&
                     iswdigit(line[3]) && iswdigit(line[4]) && line.compare(5, 2, L"  ") == 0;
        lines.push_back(timed ? line.substr(7) : L"(no time) " + line);
    }
    return lines;
}

std::wstring lastLine(HWND log) {
    std::vector<std::wstring> lines = conversation(log);
    return lines.empty() ? std::wstring() : lines.back();
}

// The window and its parts, found from outside as another program would.
struct ChatParts {
    HWND window = nullptr;
    HWND log = nullptr;
    HWND input = nullptr;
    HWND button = nullptr;
};

ChatParts findChat(const std::wstring& peer) {
    ChatParts p;
    waitFor([&] {
        p = ChatParts{};
        p.window = FindWindowW(L"TavrelChat", (L"메시지 \u2014 " + peer).c_str());
        if (!p.window || !IsWindowVisible(p.window)) return false;  // shown once it is complete
        for (HWND c = FindWindowExW(p.window, nullptr, L"EDIT", nullptr); c;
             c = FindWindowExW(p.window, c, L"EDIT", nullptr))
            (GetWindowLongW(c, GWL_STYLE) & ES_READONLY ? p.log : p.input) = c;
        p.button = GetDlgItem(p.window, 4101);
        return p.log && p.input && p.button;
    });
    return p;
}

void pressEnter(HWND input) {
    PostMessageW(input, WM_KEYDOWN, VK_RETURN, 1);
    PostMessageW(input, WM_KEYUP, VK_RETURN, 0xC0000001);
}

// Collects what the window hands back, from its thread.
struct Sent {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::function<void()> during;  // runs inside the callback, on the window thread
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return lines.size();
    }
};

// One window shared by the suite: destroying a shown window under Wine without a window manager
// waits two seconds for the X server.
class ChatWin : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sent = new Sent;
        chat = new ChatWindow("공유 PC");
        chat->send = [](const std::string& line) {
            if (sent->during) sent->during();
            std::lock_guard<std::mutex> lock(sent->mutex);
            sent->lines.push_back(line);
        };
        chat->show();
        parts = findChat(L"공유 PC");
    }
    static void TearDownTestSuite() {
        delete chat;
        chat = nullptr;
        delete sent;
        sent = nullptr;
    }
    void SetUp() override {
        ASSERT_NE(parts.window, nullptr);
        ASSERT_NE(parts.input, nullptr);
        ASSERT_NE(parts.log, nullptr);
        ASSERT_TRUE(waitFor([] { return IsWindowVisible(parts.window) != FALSE; }));
        std::lock_guard<std::mutex> lock(sent->mutex);
        sent->lines.clear();
        sent->during = nullptr;
    }

    static void type(const std::wstring& text) {
        SetWindowTextW(parts.input, text.c_str());
        pressEnter(parts.input);
    }

    static inline ChatWindow* chat = nullptr;
    static inline Sent* sent = nullptr;
    static inline ChatParts parts;
};

}  // namespace

TEST(ChatWinFirstLines, LinesReceivedBeforeTheWindowExistsAppearInOrder) {
    ChatWindow chat("사무실 PC");
    chat.received("안녕하세요");
    chat.received("파일 보냈어요");
    chat.addNote("연결이 끊겼습니다");
    ChatParts p = findChat(L"사무실 PC");
    ASSERT_NE(p.log, nullptr);
    std::vector<std::wstring> expected = {L"사무실 PC: 안녕하세요", L"사무실 PC: 파일 보냈어요", L"연결이 끊겼습니다"};
    EXPECT_TRUE(waitFor([&] { return conversation(p.log) == expected; }));
    EXPECT_EQ(conversation(p.log), expected);
    EXPECT_TRUE(IsWindowVisible(p.window));
    EXPECT_NE(GetForegroundWindow(), p.window) << "an incoming line took the focus";
    RedrawWindow(p.window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    EXPECT_TRUE(saveScreenshot(p.window));
}

TEST_F(ChatWin, EnterSendsTheLineAndEmptyInputSendsNothing) {
    type(L"첫 줄");
    ASSERT_TRUE(waitFor([] { return sent->count() == 1; }));
    EXPECT_EQ(textOf(parts.input), L"");
    type(L"");
    type(L"셋째 줄");
    ASSERT_TRUE(waitFor([] { return sent->count() >= 2; }));
    EXPECT_EQ(sent->lines, (std::vector<std::string>{"첫 줄", "셋째 줄"}));
    std::vector<std::wstring> lines = conversation(parts.log);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], L"나: 첫 줄");
    EXPECT_EQ(lines.back(), L"나: 셋째 줄");
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetGUIThreadInfo(GetWindowThreadProcessId(parts.window, nullptr), &info));
    EXPECT_EQ(info.hwndFocus, parts.input);
}

TEST_F(ChatWin, SendButtonSendsToo) {
    SetWindowTextW(parts.input, L"단추로");
    PostMessageW(parts.button, BM_CLICK, 0, 0);
    ASSERT_TRUE(waitFor([] { return sent->count() == 1; }));
    EXPECT_EQ(sent->lines[0], "단추로");
}

TEST_F(ChatWin, LongLineShowsWholeAndGoesOutCut) {
    std::wstring line(1000, L'가');  // 3000 bytes in UTF-8
    type(line);
    ASSERT_TRUE(waitFor([] { return sent->count() == 1; }));
    EXPECT_EQ(sent->lines[0], wideToUtf8(line).substr(0, 2000));
    ASSERT_TRUE(waitFor([&] { return !conversation(parts.log).empty() && conversation(parts.log).back() == L"나: " + line; }));
}

TEST_F(ChatWin, ConversationKeepsTheNewestLinesPastTheEditBoxDefaultLimit) {
    // Lines of 8000 characters, ten at a time as the window shows them, well past the history.
    const std::wstring words(7990, L'w');
    int last = 0;
    auto numbered = [&](int n) { return L"공유 PC: " + std::to_wstring(n) + L" " + words; };
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 10; ++i) chat->received(std::to_string(++last) + " " + wideToUtf8(words));
        ASSERT_TRUE(waitFor([&] { return lastLine(parts.log) == numbered(last); }, 30000)) << round;
    }
    const int length = GetWindowTextLengthW(parts.log);
    EXPECT_GT(length, 32767) << "the edit box's default limit cut the conversation";
    EXPECT_LE(size_t(length), ChatBacklog::kHistoryUnits);
    // Whole lines only, the newest ones, in order.
    std::vector<std::wstring> lines = conversation(parts.log);
    ASSERT_GE(lines.size(), size_t(ChatBacklog::kHistoryUnits / 8020));
    for (const std::wstring& line : lines) EXPECT_EQ(line.rfind(L"(no time)", 0), std::wstring::npos);
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[lines.size() - 1 - i], numbered(last - int(i)));
}

TEST_F(ChatWin, CloseBoxHidesAndShowBringsItBack) {
    chat->received("닫기 전");
    ASSERT_TRUE(waitFor([] { return conversation(parts.log).back() == L"공유 PC: 닫기 전"; }));
    std::wstring before = textOf(parts.log);
    PostMessageW(parts.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(waitFor([] { return !IsWindowVisible(parts.window); }));
    chat->show();
    ASSERT_TRUE(waitFor([] { return IsWindowVisible(parts.window) != FALSE; }));
    EXPECT_EQ(textOf(parts.log), before);

    PostMessageW(parts.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(waitFor([] { return !IsWindowVisible(parts.window); }));
    chat->received("다시");
    EXPECT_TRUE(waitFor([] { return IsWindowVisible(parts.window) != FALSE; }));
}

TEST_F(ChatWin, ReceivedWhileTheWindowThreadSendsReturnsAtOnce) {
    std::atomic<bool> returned{false};
    sent->during = [&] {
        // The owner's receive thread delivers a line while the window thread is inside send.
        returned = returnsWithin([] { chat->received("답장"); }, 3000);
    };
    type(L"보냄");
    ASSERT_TRUE(waitFor([] { return sent->count() == 1; }, 10000));
    EXPECT_TRUE(returned);
    EXPECT_TRUE(waitFor([] { return conversation(parts.log).back() == L"공유 PC: 답장"; }));
}

TEST(ChatWinLifetime, DestructionRightAfterAFirstLineReturns) {
    for (int i = 0; i < 3; ++i) {
        // A thread left waiting for a window would never end; Wine takes up to two seconds to
        // destroy a window that was already shown.
        bool returned = returnsWithin([] {
            ChatWindow chat("잠깐");
            chat.received("하나");
        }, 6000);
        ASSERT_TRUE(returned) << "round " << i;
    }
}

// A peer that sends long lines faster than the window shows them: the excess is left out with a
// note, the box stays within its history, and closing does not wait behind the flood.
TEST(ChatWinLifetime, AFloodIsCutAndClosingDoesNotWaitBehindIt) {
    auto* chat = new ChatWindow("홍수");
    chat->received("처음");
    ChatParts p = findChat(L"홍수");
    ASSERT_NE(p.log, nullptr);
    const std::string line(8000, 'f');
    for (int i = 0; i < 2000; ++i) chat->received(line);
    // A line that arrives once the window has caught up is shown.
    int n = 0;
    ASSERT_TRUE(waitFor([&] {
        chat->received("끝 " + std::to_string(++n));
        return waitFor([&] { return lastLine(p.log) == L"홍수: 끝 " + std::to_wstring(n); }, 500);
    }, 30000));
    std::vector<std::wstring> lines = conversation(p.log);
    EXPECT_LE(size_t(GetWindowTextLengthW(p.log)), ChatBacklog::kHistoryUnits);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::wstring& l) {
        return l.rfind(L"받은 메시지가 너무 많아 ", 0) == 0 && l.find(L"개를 보여 주지 못했습니다") != std::wstring::npos;
    }));

    for (int i = 0; i < 2000; ++i) chat->received(line);
    // At most the one append under way is finished first; Wine takes seconds for one of a full box.
    EXPECT_TRUE(returnsWithin([chat] { delete chat; }, 15000));
}

TEST(ChatWinLifetime, DestructionOfAnUnusedWindowReturns) {
    // A window thread that never got a window to close must still end.
    EXPECT_TRUE(returnsWithin([] { ChatWindow chat("안 씀"); }, 6000));
}
