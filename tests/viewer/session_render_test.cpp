// The viewer session's render loop with a scripted decoder and a recording renderer: what is
// decoded, drawn, acknowledged and counted, key-frame requests, the first picture, the bounded
// queue under a flooding host, and a loop that fails or starts on a window still in use.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <sstream>
#include <set>
#include <string>
#include <vector>

#include "core/frame_trace.h"
#include "core/wire.h"
#include "media/stream.h"
#include "support/session_rig.h"

namespace {

using Events = std::vector<std::string>;

int videoWindowA;  // stand-ins for video windows: only their addresses count
int videoWindowB;

Bytes frame(uint32_t number, bool key, Bytes data = Bytes{0, 0, 0, 1, 0x65}) {
    return encodeVideoFrame(number, key, data);
}

uint32_t ackNumber(const Bytes& payload) { return loadBe32(payload.data()); }

struct Streaming {
    ScriptedHost host;
    SessionRig rig;
    explicit Streaming(void* window = nullptr, const char* os = "windows",
                       const std::function<void(RecordingDevices&)>& prepare = {}, FrameTrace* trace = nullptr)
        : host("시험 호스트", os) {
        if (prepare) prepare(*rig.devices);
        rig.frameTrace = trace;
        EXPECT_TRUE(host.start());
        EXPECT_TRUE(rig.connect(host, window));
    }
    ClientSession& session() { return *rig.session; }
    // Sends frames and waits until the host has `acks` acknowledgements in all.
    void sendFrames(const std::vector<Bytes>& payloads, size_t acks) {
        for (const Bytes& p : payloads) EXPECT_TRUE(host.send(MsgType::VideoFrame, p));
        EXPECT_TRUE(host.waitFor(MsgType::FrameAck, acks));
    }
    std::vector<uint32_t> acks() {
        std::vector<uint32_t> out;
        for (const Bytes& p : host.received(MsgType::FrameAck)) out.push_back(ackNumber(p));
        return out;
    }
    size_t keyFrameRequests() { return host.received(MsgType::KeyFrameRequest).size(); }
};

TEST(SessionRender, FramesAreDecodedAcknowledgedAndCounted) {
    Streaming s;
    StreamHeader header;
    header.width = 64;
    header.height = 48;
    ASSERT_TRUE(s.host.send(MsgType::StreamHeader, StreamHeader::encode(header)));
    const Bytes headerOnly = encodeVideoFrame(7, true, {});
    ASSERT_EQ(headerOnly.size(), 5u);
    // 4 bytes: dropped silently; 5 bytes: an empty access unit.
    ASSERT_TRUE(s.host.send(MsgType::VideoFrame, Bytes{0, 0, 0, 6}));
    s.sendFrames({headerOnly, frame(8, false)}, 2);
    EXPECT_EQ(s.acks(), (std::vector<uint32_t>{7, 8}));

    const auto calls = s.rig.devices->calls();
    std::vector<std::string> what;
    for (const auto& c : calls)
        if (c.what == "configure" || c.what == "decode") what.push_back(c.what);
    EXPECT_EQ(what, (std::vector<std::string>{"configure", "decode", "decode"}));
    auto decode = std::find_if(calls.begin(), calls.end(), [](auto& c) { return c.what == "decode"; });
    EXPECT_TRUE(decode->data.empty());
    EXPECT_TRUE(decode->flag);  // key frame
    const auto stats = s.session().takeStats();
    EXPECT_EQ(stats.frames, 2);
    EXPECT_EQ(stats.bytes, int64_t(5 + frame(8, false).size()));
    EXPECT_EQ(s.session().takeStats().frames, 0);  // taken and reset
    EXPECT_FALSE(s.session().stop.load());
    // No window: decoded but never drawn.
    EXPECT_EQ(s.rig.devices->count("init"), 0u);
    EXPECT_EQ(s.rig.devices->count("upload"), 0u);
}

TEST(SessionRender, FailedDecodesAskForAKeyFrameOncePer500Ms) {
    Streaming s;
    s.rig.devices->decodes = {{false, 0}, {false, 0}, {false, 0}, {false, 0}, {false, 0}, {true, 0}};
    s.rig.devices->configureResult = false;
    const int64_t start = s.rig.clock.now.load();
    // A header the decoder refuses asks too.
    ASSERT_TRUE(s.host.send(MsgType::StreamHeader, StreamHeader::encode(StreamHeader{})));
    s.sendFrames({frame(1, true), frame(2, false)}, 2);
    s.rig.clock.now = start + 400'000'000;
    s.sendFrames({frame(3, false)}, 3);
    s.rig.clock.now = start + 600'000'000;
    s.sendFrames({frame(4, false), frame(5, false)}, 5);
    // A frame that decodes: any request before it has reached the host.
    s.sendFrames({frame(6, false)}, 6);
    EXPECT_EQ(s.keyFrameRequests(), 2u);
}

TEST(SessionRender, TheFirstPictureIsReportedOnceEvenFromAFailedDecode) {
    Streaming s;
    s.rig.devices->decodes = {{false, 0}, {false, 1}, {true, 2}, {true, 1}};
    s.sendFrames({frame(1, true), frame(2, false)}, 2);
    EXPECT_EQ(s.rig.events.of("first-picture").size(), 1u);
    EXPECT_EQ(s.keyFrameRequests(), 1u);  // the first failure asked; the second is within 500 ms
    s.sendFrames({frame(3, false), frame(4, false)}, 4);
    EXPECT_EQ(s.rig.events.of("first-picture").size(), 1u);
    EXPECT_EQ(s.session().picturesShown.load(), 3);
}

// Each picture shown is traced with the number of the frame it was decoded from (the decoder's
// tag: it may hold pictures back) on the steady clock the host's trace shares, whatever the
// session's own clock; a picture that is not drawn (no window) is not traced.
TEST(SessionRender, EachShownPictureIsTracedWithItsFrameNumber) {
    for (void* window : {static_cast<void*>(&videoWindowA), static_cast<void*>(nullptr)}) {
        SCOPED_TRACE(window ? "window" : "no window");
        std::mutex mutex;
        std::string written;
        FrameTrace trace([&](std::string_view lines) {
            std::lock_guard lock(mutex);
            written += lines;
            return true;
        });
        const int64_t before = nowNanos();
        Streaming s(window, "windows", [](RecordingDevices& d) { d.decodes = {{true, 0}, {true, 2}, {true, 1}}; }, &trace);
        s.sendFrames({frame(5, true), frame(6, false), frame(7, false)}, 3);
        const int64_t after = nowNanos();
        trace.flush();
        std::lock_guard lock(mutex);
        if (!window) {
            EXPECT_EQ(written, "");
            continue;
        }
        std::istringstream in(written);
        std::string event;
        uint32_t number = 0;
        int64_t nanos = 0, last = before;
        std::vector<uint32_t> numbers;
        while (in >> event >> number >> nanos) {
            EXPECT_EQ(event, "present");
            EXPECT_GE(nanos, last);
            EXPECT_LE(nanos, after);
            last = nanos;
            numbers.push_back(number);
        }
        EXPECT_EQ(numbers, (std::vector<uint32_t>{6, 6, 7}));
        EXPECT_EQ(s.rig.devices->count("present"), 3u);
    }
}

TEST(SessionRender, PicturesAreDrawnAndARedrawNeedsNoFrame) {
    Streaming s(&videoWindowA);
    s.rig.devices->decodes = {{true, 2}};
    s.sendFrames({frame(1, true)}, 1);
    ASSERT_TRUE(s.rig.devices->waitCount("present", 2));
    s.session().redraw = true;
    s.session().queueCv.notify_all();
    ASSERT_TRUE(s.rig.devices->waitCount("resize", 1));
    ASSERT_TRUE(s.rig.devices->waitCount("present", 3));
    EXPECT_FALSE(s.session().redraw.load());
    std::vector<std::string> drawing;
    for (const auto& c : s.rig.devices->calls())
        if (c.window == &videoWindowA) drawing.push_back(c.what);
    EXPECT_EQ(drawing, (std::vector<std::string>{"init", "upload", "present", "upload", "present", "resize", "present"}));

    // The loop gives everything up when the session ends: decoder, renderer, then its thread scope.
    ASSERT_TRUE(s.rig.release());
    std::vector<std::string> end;
    for (const auto& c : s.rig.devices->calls())
        if (c.what == "close" || c.what == "release" || c.what == "scope-end") end.push_back(c.what);
    EXPECT_EQ(end, (std::vector<std::string>{"close", "release", "scope-end"}));
}

TEST(SessionRender, TheDecoderTakesTheRangeOfTheHostsSystem) {
    for (const char* os : {"mac", "windows"}) {
        SCOPED_TRACE(os);
        Streaming s(nullptr, os);
        ASSERT_TRUE(s.rig.devices->waitCount("decoder", 1));
        EXPECT_EQ(s.rig.devices->calls()[1].what, "decoder");
        EXPECT_EQ(s.rig.devices->calls()[1].flag, std::string(os) == "mac");
    }
}

TEST(SessionRender, ARendererThatCouldNotStartIsTriedAgain) {
    Streaming s(&videoWindowA, "windows", [](RecordingDevices& d) { d.inits = {false}; });
    s.sendFrames({frame(1, true)}, 1);
    EXPECT_EQ(s.rig.devices->count("upload"), 0u);
    s.sendFrames({frame(2, false)}, 2);  // within the second: not tried again yet
    EXPECT_EQ(s.rig.devices->count("init"), 1u);
    s.rig.clock.advanceMs(1000);
    s.sendFrames({frame(3, false)}, 3);
    EXPECT_EQ(s.rig.devices->count("init"), 2u);
    EXPECT_EQ(s.rig.devices->count("upload"), 1u);
}

TEST(SessionRender, ANewLoopWaitsForTheOldOneToLetGoOfTheWindow) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    SessionRig old;
    ASSERT_TRUE(old.connect(host, &videoWindowB));
    old.devices->holdDecodes();
    ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(1, true)));
    ASSERT_TRUE(waitUntil([&] { return old.devices->decodesWaiting() == 1; }, 5000));

    // The reconnect: a new session on the same window while the old loop still holds it.
    SessionRig fresh;
    fresh.devices = old.devices;
    ASSERT_TRUE(fresh.connect(host, &videoWindowB));
    // The new loop has started and now asks for the window; the old one lets go only below, so an
    // "init" before that "release" would be a loop that did not wait.
    ASSERT_TRUE(old.devices->waitCount("scope-begin", 2));
    old.session->close();
    old.devices->releaseDecodes();
    ASSERT_TRUE(old.devices->waitCount("init", 2));
    const auto calls = old.devices->calls();
    std::vector<std::string> order;
    for (const auto& c : calls)
        if (c.window == &videoWindowB && (c.what == "init" || c.what == "release")) order.push_back(c.what);
    EXPECT_EQ(order, (std::vector<std::string>{"init", "release", "init"}));
}

TEST(SessionRender, AnExceptionInTheLoopEndsTheSessionWithItsText) {
    Streaming s;
    s.rig.devices->decodes = {{true, 1, true}};
    ASSERT_TRUE(s.host.send(MsgType::VideoFrame, frame(1, true)));
    ASSERT_TRUE(s.rig.events.waitFor("ended:"));
    EXPECT_EQ(s.rig.events.of("ended:"), Events{"ended:디코더 고장"});
    EXPECT_TRUE(s.host.waitEnded());
    EXPECT_EQ(s.rig.devices->count("close"), 1u);
    EXPECT_EQ(s.rig.devices->listeners(), 0u);
}

TEST(SessionRender, AKeyFrameThatDoesNotFitBesideTheHeaderIsDroppedAndAskedForAgain) {
    ScriptedHost host;
    ASSERT_TRUE(host.start());
    SessionRig rig;
    rig.make(host.peer());
    // A header that nearly fills the queue, yet within what a viewer takes of one.
    const VideoQueueLimits limits{1000, 50 * 1024};
    rig.session->queueLimits = limits;
    rig.session->connect(Json(), nullptr);
    StreamHeader first, second;
    first.width = 64;
    second.width = 128;
    rig.devices->holdDecodes();
    ASSERT_TRUE(host.send(MsgType::StreamHeader, StreamHeader::encode(first)));
    ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(1, true, Bytes(100, 1))));
    ASSERT_TRUE(waitUntil([&] { return rig.devices->decodesWaiting() == 1; }, 5000));

    Bytes bigHeader = StreamHeader::encode(second);
    bigHeader.resize(45 * 1024);
    ASSERT_TRUE(host.send(MsgType::StreamHeader, bigHeader));
    ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(2, false, Bytes(10 * 1024, 2))));  // overflows
    ASSERT_TRUE(host.waitFor(MsgType::KeyFrameRequest, 1));
    rig.clock.advanceMs(1000);  // past the gap between two requests
    ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(3, true, Bytes(30 * 1024, 3))));
    ASSERT_TRUE(host.waitFor(MsgType::KeyFrameRequest, 2)) << "the dropped key frame is asked for again";
    ASSERT_TRUE(host.waitFor(MsgType::FrameAck, 2));  // frames 2 and 3, dropped
    {
        std::lock_guard lock(rig.session->queueMutex);
        size_t queuedBytes = 0;
        for (const auto& m : rig.session->videoQueue) queuedBytes += m.payload.size();
        EXPECT_LE(queuedBytes, limits.maxBytes);
    }
    rig.devices->releaseDecodes();
}

TEST(SessionRender, AFloodingHostLeavesTheQueueWithinItsCap) {
    struct Case {
        const char* name;
        VideoQueueLimits limits;
        size_t frameBytes;
    };
    const Case cases[] = {
        {"by count", {8, size_t(64) << 20}, 100},
        {"by bytes", {1000, 100 * 1024}, 16 * 1024},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        ScriptedHost host;
        ASSERT_TRUE(host.start());
        SessionRig rig;
        rig.make(host.peer());
        rig.session->queueLimits = k.limits;
        rig.session->connect(Json(), nullptr);
        StreamHeader first, second;
        first.width = 64;
        second.width = 128;
        const Bytes data(k.frameBytes, 0x41);

        rig.devices->holdDecodes();
        ASSERT_TRUE(host.send(MsgType::StreamHeader, StreamHeader::encode(first)));
        ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(1, true, data)));
        ASSERT_TRUE(waitUntil([&] { return rig.devices->decodesWaiting() == 1; }, 5000));
        // The loop is stuck in frame 1; the host goes on, with a new header in the middle.
        const uint32_t last = 60;
        for (uint32_t n = 2; n < last; ++n) {
            if (n == 6) {
                ASSERT_TRUE(host.send(MsgType::StreamHeader, StreamHeader::encode(second)));
            }
            ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(n, false, data)));
        }
        // Everything that did not fit is acknowledged at once, so the host keeps sending.
        ASSERT_TRUE(host.waitFor(MsgType::KeyFrameRequest));
        ASSERT_TRUE(host.waitUntil([&] { return host.received(MsgType::FrameAck).size() >= last - 2; }));
        {
            std::lock_guard lock(rig.session->queueMutex);
            EXPECT_LE(rig.session->videoQueue.size(), k.limits.maxMessages);
            size_t queuedBytes = 0;
            for (const auto& m : rig.session->videoQueue) queuedBytes += m.payload.size();
            EXPECT_LE(queuedBytes, k.limits.maxBytes);
        }
        ASSERT_TRUE(host.send(MsgType::VideoFrame, frame(last, true, data)));
        rig.devices->releaseDecodes();
        ASSERT_TRUE(host.waitFor(MsgType::FrameAck, last));

        // Every frame acknowledged exactly once; after the gap only the newest header and the
        // next key frame reach the decoder.
        std::vector<uint32_t> acks;
        for (const Bytes& p : host.received(MsgType::FrameAck)) acks.push_back(ackNumber(p));
        std::sort(acks.begin(), acks.end());
        std::vector<uint32_t> all;
        for (uint32_t n = 1; n <= last; ++n) all.push_back(n);
        EXPECT_EQ(acks, all);
        std::vector<std::string> decoded;
        for (const auto& c : rig.devices->calls()) {
            if (c.what == "configure") decoded.push_back("header " + std::to_string(StreamHeader::read(c.data).width));
            if (c.what == "decode") decoded.push_back(c.flag ? "key" : "frame");
        }
        EXPECT_EQ(decoded, (std::vector<std::string>{"header 64", "key", "header 128", "key"}));
        EXPECT_EQ(host.received(MsgType::KeyFrameRequest).size(), 1u);
    }
}

}  // namespace
