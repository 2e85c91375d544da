// The viewer session's outgoing queue: what goes first, what merges, and its byte bounds.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "host/protocol/messages.h"
#include "viewer/outgoing.h"

namespace {

using namespace std::chrono_literals;

Bytes mouse(uint8_t action, uint8_t x) {
    MouseEvent e;
    e.action = action;
    e.flags = x;  // the last byte on the wire tells the messages apart
    return e.encode();
}

// "type:first payload byte" of every message the queue hands out, until it is empty.
std::vector<std::string> drain(OutgoingQueue& q) {
    std::vector<std::string> out;
    while (q.inputBytes() + q.bulkBytes() > 0) {
        auto m = q.take();
        if (!m) break;
        out.push_back(std::to_string(m->type) + ":" + (m->payload.empty() ? "-" : std::to_string(m->payload.back())));
        q.finished(*m);
    }
    return out;
}

TEST(OutgoingQueue, InputGoesAheadOfBulkAndWaitingDuplicatesMerge) {
    struct Case {
        const char* name;
        std::vector<std::pair<MsgType, Bytes>> pushed;
        std::vector<std::string> taken;
    };
    const uint8_t mouseType = uint8_t(MsgType::Mouse);
    auto m = [&](const Bytes& b) { return std::to_string(mouseType) + ":" + std::to_string(b.back()); };
    const Bytes move1 = mouse(0, 1), move2 = mouse(0, 2), move3 = mouse(0, 3), click = mouse(1, 4);
    const std::vector<Case> cases = {
        {"file data queued first still waits for input",
         {{MsgType::FileData, Bytes{1}}, {MsgType::Key, Bytes{2}}, {MsgType::FileData, Bytes{3}}},
         {"34:2", "113:1", "113:3"}},
        {"a clipboard behind file data goes ahead of a key queued after it",
         {{MsgType::FileData, Bytes{1}}, {MsgType::Clipboard, Bytes{2}}, {MsgType::Key, Bytes{3}}},
         {"48:2", "34:3", "113:1"}},
        {"input queued before a clipboard goes first, input after it follows it",
         {{MsgType::FileData, Bytes{1}}, {MsgType::Key, Bytes{2}}, {MsgType::Clipboard, Bytes{3}},
          {MsgType::Mouse, click}, {MsgType::Key, Bytes{5}}},
         {"34:2", "48:3", m(click), "34:5", "113:1"}},
        {"a clipboard lets other input queued after it go first, then goes ahead of the key",
         {{MsgType::FileData, Bytes{1}}, {MsgType::Clipboard, Bytes{2}}, {MsgType::Mouse, move1},
          {MsgType::ReleaseAll, Bytes{}}, {MsgType::KeyCombo, Bytes{5}}},
         {m(move1), "35:-", "48:2", "36:5", "113:1"}},
        {"a clipboard no later input waits for keeps its place behind file data",
         {{MsgType::FileData, Bytes{1}}, {MsgType::Key, Bytes{2}}, {MsgType::Clipboard, Bytes{3}}},
         {"34:2", "113:1", "48:3"}},
        {"consecutive moves become the last one", {{MsgType::Mouse, move1}, {MsgType::Mouse, move2}, {MsgType::Mouse, move3}},
         {m(move3)}},
        {"a click between moves keeps all three in order",
         {{MsgType::Mouse, move1}, {MsgType::Mouse, click}, {MsgType::Mouse, move2}},
         {m(move1), m(click), m(move2)}},
        {"a newer clipboard replaces the waiting one and goes last",
         {{MsgType::Clipboard, Bytes{1}}, {MsgType::FileData, Bytes{2}}, {MsgType::Clipboard, Bytes{3}}},
         {"113:2", "48:3"}},
        {"other input keeps its order", {{MsgType::Key, Bytes{1}}, {MsgType::ViewSize, Bytes{2}}, {MsgType::Key, Bytes{3}}},
         {"34:1", "82:2", "34:3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutgoingQueue q;
        for (const auto& [type, payload] : c.pushed) {
            if (type == MsgType::FileData) {
                ASSERT_TRUE(q.pushBulk(uint8_t(type), payload));
            } else {
                ASSERT_EQ(q.push(uint8_t(type), payload), OutgoingQueue::Push::Queued);
            }
        }
        EXPECT_EQ(drain(q), c.taken);
    }
}

TEST(OutgoingQueue, BulkWaitsForRoomAndACloseReleasesIt) {
    OutgoingQueue q(OutgoingLimits{1024, 100 + kOutgoingEntryCost});
    // One message larger than the lane still goes when the lane is empty.
    ASSERT_TRUE(q.pushBulk(uint8_t(MsgType::FileData), Bytes(5000, 1)));
    auto second = std::async(std::launch::async, [&] { return q.pushBulk(uint8_t(MsgType::FileData), Bytes(50, 2)); });
    ASSERT_EQ(second.wait_for(100ms), std::future_status::timeout) << "the full lane took more";
    // Input still gets in while bulk waits.
    EXPECT_EQ(q.push(uint8_t(MsgType::Key), Bytes{3}), OutgoingQueue::Push::Queued);
    auto key = q.take();
    ASSERT_TRUE(key);
    EXPECT_EQ(key->type, uint8_t(MsgType::Key));
    auto first = q.take();  // room again
    ASSERT_TRUE(first);
    EXPECT_EQ(first->payload.size(), 5000u);
    ASSERT_EQ(second.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(second.get());

    auto third = std::async(std::launch::async, [&] { return q.pushBulk(uint8_t(MsgType::FileData), Bytes(90, 4)); });
    ASSERT_EQ(third.wait_for(100ms), std::future_status::timeout);
    q.close();
    ASSERT_EQ(third.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(third.get());
    EXPECT_FALSE(q.take());
    EXPECT_EQ(q.push(uint8_t(MsgType::Key), Bytes{5}), OutgoingQueue::Push::Closed);
}

TEST(OutgoingQueue, FullInputLaneClosesTheQueue) {
    OutgoingQueue q(OutgoingLimits{10 * (12 + kOutgoingEntryCost), 1 << 20});
    for (int i = 0; i < 10; ++i) ASSERT_EQ(q.push(uint8_t(MsgType::Key), Bytes(12, 1)), OutgoingQueue::Push::Queued);
    // Moves merge, so they never fill it; anything else does.
    ASSERT_EQ(q.push(uint8_t(MsgType::Mouse), mouse(0, 1)), OutgoingQueue::Push::Overflow);
    EXPECT_TRUE(q.closed());
    EXPECT_EQ(q.inputBytes(), 0u);
}

TEST(OutgoingQueue, WaitSentEndsWhenTheMessageWasWrittenOrTheQueueClosed) {
    OutgoingQueue q;
    uint64_t bulkTicket = 0, keyTicket = 0;
    ASSERT_EQ(q.push(uint8_t(MsgType::Clipboard), Bytes(10, 1), false, &bulkTicket), OutgoingQueue::Push::Queued);
    ASSERT_EQ(q.push(uint8_t(MsgType::ReleaseAll), Bytes(), false, &keyTicket), OutgoingQueue::Push::Queued);
    EXPECT_FALSE(q.waitSent(keyTicket, 20ms));
    auto m = q.take();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->ticket, keyTicket);
    EXPECT_FALSE(q.waitSent(keyTicket, 20ms)) << "taken is not yet written";
    auto waiter = std::async(std::launch::async, [&] { return q.waitSent(keyTicket, 5000ms); });
    q.finished(*m);
    EXPECT_TRUE(waiter.get());
    auto closing = std::async(std::launch::async, [&] { return q.waitSent(bulkTicket, 5000ms); });
    q.close();
    EXPECT_TRUE(closing.get());
}

bool allZero(const Bytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

TEST(OutgoingQueue, ASecretIsWipedOnceSent) {
    OutgoingQueue q;
    const Bytes password{'p', 'w', '1', '2'};
    ASSERT_EQ(q.push(uint8_t(MsgType::LockLogin), password, true), OutgoingQueue::Push::Queued);
    auto m = q.take();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, password) << "sent as it was given";
    q.finished(*m);
    EXPECT_EQ(m->payload.size(), password.size());
    EXPECT_TRUE(allZero(m->payload));
}

TEST(OutgoingQueue, ASecretIsWipedBeforeItsBufferIsFreedWhenDropped) {
    struct Case {
        const char* name;
        OutgoingLimits limits;
        void (*drop)(OutgoingQueue&, const Bytes& secret);
    };
    const Case cases[] = {
        {"waiting at close", {}, [](OutgoingQueue& q, const Bytes& secret) {
             ASSERT_EQ(q.push(uint8_t(MsgType::LockLogin), secret, true), OutgoingQueue::Push::Queued);
             q.close();
         }},
        {"pushed after close", {}, [](OutgoingQueue& q, const Bytes& secret) {
             q.close();
             ASSERT_EQ(q.push(uint8_t(MsgType::LockLogin), secret, true), OutgoingQueue::Push::Closed);
         }},
        {"overflowing the input lane", {kOutgoingEntryCost + 4, 1 << 20}, [](OutgoingQueue& q, const Bytes& secret) {
             ASSERT_EQ(q.push(uint8_t(MsgType::Key), Bytes{1, 2, 3, 4}), OutgoingQueue::Push::Queued);
             ASSERT_EQ(q.push(uint8_t(MsgType::LockLogin), secret, true), OutgoingQueue::Push::Overflow);
         }},
    };
    const Bytes password{'p', 'w', '1', '2'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutgoingQueue q(c.limits);
        std::vector<Bytes> released;
        q.observeReleases([&](const QueuedMessage& m) {
            if (m.type == uint8_t(MsgType::LockLogin)) released.push_back(m.payload);
        });
        c.drop(q, password);
        ASSERT_EQ(released.size(), 1u);
        EXPECT_EQ(released[0].size(), password.size());
        EXPECT_TRUE(allZero(released[0]));
    }
}

}  // namespace
