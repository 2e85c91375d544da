// The chat window's bounds, decided in portable code: what waits, what the box keeps, the beeps.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "host/chat.h"

namespace {

std::wstring lineOf(size_t units, wchar_t fill) { return std::wstring(units, fill); }

}  // namespace

TEST(ChatBacklog, LinesComeOutInOrderWithOneWakeUpPerTake) {
    ChatBacklog backlog;
    EXPECT_TRUE(backlog.add(L"하나", true).wake);
    ChatBacklog::Added second = backlog.add(L"둘", false);
    EXPECT_TRUE(second.queued);
    EXPECT_FALSE(second.wake);
    ChatBacklog::Flush flush = backlog.take(L"12:00  ");
    EXPECT_EQ(flush.text, L"하나\r\n둘\r\n");
    EXPECT_EQ(flush.cut, 0u);
    EXPECT_EQ(backlog.take(L"12:00  ").text, L"");
    EXPECT_TRUE(backlog.add(L"셋", true).wake);
    backlog.wakeLost();
    EXPECT_TRUE(backlog.add(L"넷", true).wake) << "a lost wake-up is asked for again";
}

TEST(ChatBacklog, AFloodingPeerIsCutWithOneNoteWhileOwnLinesStay) {
    ChatBacklog backlog;
    const std::wstring line = lineOf(8000, L'a');
    size_t queued = 0, dropped = 0;
    for (int i = 0; i < 1000; ++i) (backlog.add(line, true).queued ? queued : dropped)++;
    EXPECT_TRUE(backlog.add(L"나: 보냄", false).queued);
    EXPECT_EQ(queued, ChatBacklog::kPendingUnits / (line.size() + 2));
    ChatBacklog::Flush flush = backlog.take(L"12:00  ");
    EXPECT_LE(flush.text.size(), ChatBacklog::kPendingUnits + 200);
    const std::wstring note = L"12:00  받은 메시지가 너무 많아 " + std::to_wstring(dropped) + L"개를 보여 주지 못했습니다\r\n";
    ASSERT_GE(flush.text.size(), note.size());
    EXPECT_EQ(flush.text.substr(flush.text.size() - note.size()), note);
    EXPECT_NE(flush.text.find(L"나: 보냄\r\n"), std::wstring::npos);
    // Once shown, the peer's lines are taken again, and no note repeats.
    EXPECT_TRUE(backlog.add(line, true).queued);
    EXPECT_EQ(backlog.take(L"12:00  ").text.find(L"못했습니다"), std::wstring::npos);
}

TEST(ChatBacklog, TheBoxKeepsTheNewestWholeLinesWithinTheHistory) {
    struct Case {
        size_t lineUnits;
        size_t perTake;
    } cases[] = {{7998, 1}, {7998, 20}, {100, 500}, {1, 6000}};
    for (const Case& c : cases) {
        ChatBacklog backlog;
        std::deque<size_t> box;  // line lengths the window holds, as it would apply each flush
        size_t boxUnits = 0;
        for (int round = 0; round < 120; ++round) {
            for (size_t i = 0; i < c.perTake; ++i) ASSERT_TRUE(backlog.add(lineOf(c.lineUnits, L'x'), true).queued);
            ChatBacklog::Flush flush = backlog.take(L"");
            for (size_t cut = flush.cut; cut > 0;) {
                ASSERT_FALSE(box.empty());
                ASSERT_LE(box.front(), cut) << "a cut inside a line";
                cut -= box.front();
                boxUnits -= box.front();
                box.pop_front();
            }
            for (size_t i = 0; i < c.perTake; ++i) box.push_back(c.lineUnits + 2);
            boxUnits += flush.text.size();
            ASSERT_LE(boxUnits, ChatBacklog::kHistoryUnits);
        }
        // Nothing is cut that still fits.
        EXPECT_GT(boxUnits + c.lineUnits + 2, ChatBacklog::kHistoryUnits - (c.perTake - 1) * (c.lineUnits + 2))
            << c.lineUnits << " x " << c.perTake;
    }
}

TEST(ChatBacklog, AtMostOneBeepASecond) {
    ChatBacklog backlog;
    const int64_t second = ChatBacklog::kBeepGapNs;
    struct Step {
        int64_t at;
        bool beeps;
    } steps[] = {{5, true}, {6, false}, {5 + second - 1, false}, {5 + second, true}, {5 + 3 * second, true}};
    for (const Step& s : steps) EXPECT_EQ(backlog.mayBeep(s.at), s.beeps) << s.at;
}
