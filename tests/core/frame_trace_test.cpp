#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/frame_trace.h"

namespace {

// What a trace wrote, write by write, on a clock the test moves.
struct Sink {
    std::mutex mutex;
    std::vector<std::string> writes;
    std::atomic<int64_t> time{1'000'000'000};
    bool accept = true;

    FrameTrace::Writer writer() {
        return [this](std::string_view lines) {
            std::lock_guard lock(mutex);
            writes.emplace_back(lines);
            return accept;
        };
    }
    std::function<int64_t()> clock() {
        return [this] { return time.load(); };
    }
    std::string all() {
        std::lock_guard lock(mutex);
        std::string joined;
        for (const std::string& w : writes) joined += w;
        return joined;
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return writes.size();
    }
};

TEST(FrameTrace, WritesLinesOnceAWriteIsDueAndTheRestWhenDestroyed) {
    Sink sink;
    {
        FrameTrace trace(sink.writer(), kFrameTraceLineLimit, sink.clock());
        trace.record("capture", 1, 0);
        trace.record("capture", 4294967295u, 9223372036854775807);
        EXPECT_EQ(sink.count(), 0u) << "written before a write was due";
        sink.time += kFrameTraceFlushNanos;
        trace.record("present", 2, 123456789012);
        ASSERT_EQ(sink.count(), 1u);
        EXPECT_EQ(sink.all(), "capture 1 0\ncapture 4294967295 9223372036854775807\npresent 2 123456789012\n");
        trace.record("present", 3, 5);
        EXPECT_EQ(sink.count(), 1u);
    }
    EXPECT_EQ(sink.writes.back(), "present 3 5\n");
}

TEST(FrameTrace, WritesWhenEnoughHasGatheredAlthoughLittleTimePassed) {
    Sink sink;
    FrameTrace trace(sink.writer(), kFrameTraceLineLimit, sink.clock());
    size_t recorded = 0;
    while (sink.count() == 0 && recorded < kFrameTraceFlushBytes) trace.record("capture", uint32_t(++recorded), 1);
    EXPECT_EQ(sink.count(), 1u);
    EXPECT_GE(sink.all().size(), kFrameTraceFlushBytes);
    EXPECT_LT(recorded, kFrameTraceFlushBytes) << "never written";
}

TEST(FrameTrace, StopsAtItsLineLimitAndWritesTheLastLinesAtOnce) {
    Sink sink;
    FrameTrace trace(sink.writer(), 3, sink.clock());
    for (uint32_t n = 1; n <= 5; ++n) trace.record("capture", n, 10 * n);
    EXPECT_EQ(sink.all(), "capture 1 10\ncapture 2 20\ncapture 3 30\n");
    sink.time += kFrameTraceFlushNanos;
    trace.record("capture", 6, 60);
    trace.flush();
    EXPECT_EQ(sink.all(), "capture 1 10\ncapture 2 20\ncapture 3 30\n");
}

TEST(FrameTrace, AFailedWriteEndsTheTrace) {
    Sink sink;
    sink.accept = false;
    {
        FrameTrace trace(sink.writer(), kFrameTraceLineLimit, sink.clock());
        sink.time += kFrameTraceFlushNanos;
        trace.record("capture", 1, 1);
        for (uint32_t n = 2; n < 10; ++n) {
            sink.time += kFrameTraceFlushNanos;
            trace.record("capture", n, 1);
        }
    }
    EXPECT_EQ(sink.count(), 1u);
}

// A write that hangs (a slow disk) holds up only the thread that writes: another recorder's lines
// wait for a later write.
TEST(FrameTrace, ARecorderDoesNotWaitForAnotherThreadsWrite) {
    std::mutex mutex;
    std::condition_variable changed;
    bool writing = false, release = false;
    std::string written;
    int writes = 0;
    auto writer = [&](std::string_view lines) {
        std::unique_lock lock(mutex);
        written += lines;
        if (++writes == 1) {
            writing = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
        }
        return true;
    };
    std::atomic<int64_t> time{0};
    FrameTrace trace(writer, kFrameTraceLineLimit, [&] { return time.load(); });
    time = kFrameTraceFlushNanos;
    std::thread slow([&] { trace.record("capture", 1, 1); });
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return writing; }));
    }
    for (uint32_t n = 2; n <= 4; ++n) {
        time += kFrameTraceFlushNanos;
        trace.record("capture", n, 1);
    }
    {
        std::lock_guard lock(mutex);
        EXPECT_FALSE(release) << "the recorder returned only after the slow write ended";
        EXPECT_EQ(writes, 1);
        release = true;
    }
    changed.notify_all();
    slow.join();
    trace.flush();
    std::lock_guard lock(mutex);
    EXPECT_EQ(written, "capture 1 1\ncapture 2 1\ncapture 3 1\ncapture 4 1\n");
}

TEST(FrameTrace, ThreadsRecordingAtOnceKeepWholeLinesInTheirOrderUpToTheLimit) {
    std::string written;
    std::mutex mutex;
    constexpr int kThreads = 4, kEach = 5000;
    constexpr size_t kLimit = 12000;
    {
        FrameTrace trace(
            [&](std::string_view lines) {
                std::lock_guard lock(mutex);
                written += lines;
                return true;
            },
            kLimit);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&trace, t] {
                for (int i = 1; i <= kEach; ++i) trace.record("present", uint32_t(t), i);
            });
        for (std::thread& thread : threads) thread.join();
    }
    std::istringstream in(written);
    std::string event;
    uint32_t thread = 0;
    int64_t nanos = 0;
    std::vector<int64_t> last(kThreads, 0);
    size_t lines = 0;
    while (in >> event >> thread >> nanos) {
        ++lines;
        ASSERT_EQ(event, "present");
        ASSERT_LT(thread, uint32_t(kThreads));
        EXPECT_EQ(nanos, last[thread] + 1) << "thread " << thread << " lost or reordered a line";
        last[thread] = nanos;
    }
    EXPECT_TRUE(in.eof());
    EXPECT_EQ(lines, kLimit);
    EXPECT_EQ(written.back(), '\n');
}

TEST(FrameTrace, AppendsToItsFile) {
    const std::string path = ::testing::TempDir() + "tavrel_frame_trace_test.txt";
    std::remove(path.c_str());
    {
        std::ofstream(path) << "present 1 2\n";
    }
    {
        std::unique_ptr<FrameTrace> trace = openFrameTrace(path);
        ASSERT_TRUE(trace);
        trace->record("capture", 7, 8);
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "present 1 2\ncapture 7 8\n");
    std::remove(path.c_str());
    EXPECT_FALSE(openFrameTrace(::testing::TempDir() + "no-such-folder-4711/trace.txt"));
}

}  // namespace
