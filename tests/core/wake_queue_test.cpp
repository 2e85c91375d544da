#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/wake_queue.h"

namespace {

TEST(WakeQueue, OneWakeStandsForEveryItemUntilTheWindowHasTakenThemAll) {
    WakeQueue<int> queue(8);
    int wakes = 0;
    auto wake = [&] { return ++wakes, true; };
    EXPECT_TRUE(queue.put(1, wake));
    EXPECT_TRUE(queue.put(2, wake));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(queue.take(), 1);
    EXPECT_TRUE(queue.put(3, wake));  // the window is still taking: no second wake
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(queue.take(), 2);
    EXPECT_EQ(queue.take(), 3);
    EXPECT_EQ(queue.take(), std::nullopt);
    EXPECT_TRUE(queue.put(4, wake));  // taken empty: the next item wakes it again
    EXPECT_EQ(wakes, 2);
}

TEST(WakeQueue, AnItemWhoseWakeCannotBePostedIsDroppedAndTheNextOneWakesAgain) {
    WakeQueue<std::shared_ptr<int>> queue(8);
    auto item = std::make_shared<int>(1);
    const std::weak_ptr<int> watch = item;
    EXPECT_FALSE(queue.put(std::move(item), [] { return false; }));
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(queue.waiting(), 0u);
    int wakes = 0;
    EXPECT_TRUE(queue.put(std::make_shared<int>(2), [&] { return ++wakes, true; }));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(*queue.take().value(), 2);
}

TEST(WakeQueue, ANewWindowStartsWithNothingWaitingAndIsWokenByTheNextItem) {
    WakeQueue<std::shared_ptr<int>> queue(8);
    int wakes = 0;
    auto wake = [&] { return ++wakes, true; };
    auto item = std::make_shared<int>(1);
    const std::weak_ptr<int> watch = item;
    EXPECT_TRUE(queue.put(std::move(item), wake));
    queue.clear();  // the woken window is gone
    EXPECT_TRUE(watch.expired());
    EXPECT_TRUE(queue.put(std::make_shared<int>(2), wake));
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(*queue.take().value(), 2);
}

TEST(WakeQueue, AFullQueueRefusesMoreUntilTheWindowTakesSome) {
    WakeQueue<int> queue(3);
    auto wake = [] { return true; };
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(queue.put(i, wake));
    EXPECT_FALSE(queue.put(3, wake));
    EXPECT_EQ(queue.waiting(), 3u);
    EXPECT_EQ(queue.take(), 0);
    EXPECT_TRUE(queue.put(4, wake));
    for (int expected : {1, 2, 4}) EXPECT_EQ(queue.take(), expected);
}

// Several threads put while the window takes: each item arrives once, every thread's in its order,
// and no item is left behind without a wake on its way.
TEST(WakeQueue, ItemsOfSeveralThreadsArriveOnceInTheirOrder) {
    constexpr int kThreads = 4, kEach = 2000;
    WakeQueue<std::pair<int, int>> queue(size_t(kThreads) * kEach);
    std::mutex mutex;
    std::condition_variable cv;
    int pendingWakes = 0;
    auto wake = [&] {
        std::lock_guard lock(mutex);
        ++pendingWakes;
        cv.notify_one();
        return true;
    };
    std::vector<std::thread> producers;
    for (int t = 0; t < kThreads; ++t)
        producers.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) EXPECT_TRUE(queue.put({t, i}, wake));
        });
    std::vector<int> next(kThreads, 0);
    int received = 0;
    while (received < kThreads * kEach) {
        {
            std::unique_lock lock(mutex);
            ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return pendingWakes > 0; }));
            --pendingWakes;
        }
        while (auto item = queue.take()) {
            EXPECT_EQ(item->second, next[item->first]);
            next[item->first] = item->second + 1;
            ++received;
        }
    }
    for (std::thread& p : producers) p.join();
    EXPECT_EQ(queue.take(), std::nullopt);
}

}  // namespace
