#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "media/audio.h"

namespace {

TEST(AudioSpecificConfig, ObjectTypeRateIndexAndChannels) {
    const struct {
        int rate;
        unsigned channels;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {48000, 2, {0x11, 0x90}}, {44100, 2, {0x12, 0x10}}, {48000, 1, {0x11, 0x88}}, {96000, 2, {0x10, 0x10}},
        {22050, 2, {0x13, 0x90}},  // index 7
        {7350, 1, {0x16, 0x08}},   // index 12
        {50000, 2, {0x11, 0x90}},  // not in the table: as 48000
        {0, 2, {0x11, 0x90}},      {48000, 18, {0x11, 0x90}},  // 18: low four bits 2
    };
    for (const auto& c : cases) EXPECT_EQ(buildAudioSpecificConfig(c.rate, c.channels), c.bytes) << c.rate << " " << c.channels;
}

TEST(AudioFormatMessage, IsTheCompactJsonText) {
    EXPECT_EQ(audioFormatMessage(48000, 2), R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})");
    EXPECT_EQ(audioFormatMessage(44100, 1), R"({"codec":"aac","rate":44100,"ch":1,"asc":"Egg="})");
}

TEST(ReadAudioFormat, TakesRateChannelsAndConfig) {
    const struct {
        const char* text;
        int rate, channels;
        std::vector<uint8_t> config;
    } cases[] = {
        {R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})", 48000, 2, {0x11, 0x90}},
        {R"({"codec":"aac","rate":44100,"ch":1,"asc":"Egg"})", 44100, 1, {0x12, 0x08}},  // unpadded
        {R"({"codec":"aac","rate":44100,"ch":2,"asc":"EZA="})", 44100, 2, {0x11, 0x90}},  // as sent
        {R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZAAAA=="})", 48000, 2, {0x11, 0x90, 0, 0}},
        {R"({"codec":"aac"})", 48000, 2, {0x11, 0x90}},  // defaults
        {R"({"codec":"aac","rate":"44100","ch":"1"})", 48000, 2, {0x11, 0x90}},  // not numbers
        {R"({"codec":"aac","rate":44100.9,"ch":1.7})", 44100, 1, {0x12, 0x08}},  // truncated
        {R"({"codec":"aac","rate":7350,"ch":1})", 7350, 1, {0x16, 0x08}},
        {R"({"codec":"aac","rate":96000,"ch":2})", 96000, 2, {0x10, 0x10}},
        // A config the decoder cannot use is built from the rate and channels instead.
        {R"({"codec":"aac","rate":44100,"ch":2,"asc":"**"})", 44100, 2, {0x12, 0x10}},
        {R"({"codec":"aac","rate":44100,"ch":2,"asc":""})", 44100, 2, {0x12, 0x10}},
        {R"({"codec":"aac","rate":44100,"ch":2,"asc":"EQ=="})", 44100, 2, {0x12, 0x10}},  // one byte
        {R"({"codec":"aac","rate":44100,"ch":1,"asc":4496})", 44100, 1, {0x12, 0x08}},
    };
    for (const auto& c : cases) {
        AudioFormat f;
        ASSERT_TRUE(readAudioFormat(c.text, f)) << c.text;
        EXPECT_EQ(f.rate, c.rate) << c.text;
        EXPECT_EQ(f.channels, c.channels) << c.text;
        EXPECT_EQ(f.config, c.config) << c.text;
    }
}

TEST(ReadAudioFormat, IgnoresWhatCannotBePlayed) {
    const char* cases[] = {
        "", "not json", R"({"codec":"aac")", R"(["aac"])",
        R"({"rate":48000,"ch":2})", R"({"codec":"opus","rate":48000,"ch":2})", R"({"codec":"AAC"})",
        R"({"codec":"aac","rate":0})", R"({"codec":"aac","rate":7349})", R"({"codec":"aac","rate":96001})",
        R"({"codec":"aac","rate":-48000})", R"({"codec":"aac","rate":1e300})", R"({"codec":"aac","rate":-1e300})",
        R"({"codec":"aac","rate":4294967344})",  // 48000 + 2^32
        R"({"codec":"aac","ch":0})", R"({"codec":"aac","ch":3})", R"({"codec":"aac","ch":-1})",
        R"({"codec":"aac","ch":6})", R"({"codec":"aac","ch":1e18})", R"({"codec":"aac","ch":0.5})",
    };
    for (const char* text : cases) {
        AudioFormat f;
        f.rate = 1234;
        EXPECT_FALSE(readAudioFormat(text, f)) << text;
        EXPECT_EQ(f.rate, 1234) << text;  // left alone
    }
}

TEST(AacDecoderUserData, TwelveBytesThenTheConfig) {
    EXPECT_EQ(aacDecoderUserData({0x11, 0x90}),
              (std::vector<uint8_t>{0, 0, 0xfe, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x11, 0x90}));
}

// Buffers as the sound device leaves them: a flag it sets when it has played one.
struct FakeBuffer {
    int id;
    bool finished = false;
};

struct QueueDevice {
    std::vector<int> released;
    bool finished(FakeBuffer* b) const { return b->finished; }
    void release(FakeBuffer* b) { released.push_back(b->id); }
};

TEST(PlaybackQueue, ReclaimsFinishedBuffersFromTheFrontOnly) {
    std::vector<FakeBuffer> buffers{{0}, {1}, {2}, {3}};
    PlaybackQueue<FakeBuffer*> queue;
    QueueDevice dev;
    auto finished = [&](FakeBuffer* b) { return dev.finished(b); };
    auto release = [&](FakeBuffer* b) { dev.release(b); };
    for (auto& b : buffers) queue.add(&b, true, release);
    buffers[0].finished = true;
    buffers[2].finished = true;  // behind one still playing: stays until that one is done
    EXPECT_TRUE(queue.reclaim(finished, release));
    EXPECT_EQ(dev.released, (std::vector<int>{0}));
    EXPECT_EQ(queue.size(), 3u);
    buffers[1].finished = true;
    queue.reclaim(finished, release);
    EXPECT_EQ(dev.released, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(queue.size(), 1u);
    queue.clear(release);
    EXPECT_EQ(dev.released, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(queue.size(), 0u);
}

TEST(PlaybackQueue, DropsSoundWhileFifteenAreOutstanding) {
    std::vector<FakeBuffer> buffers(20);
    for (int i = 0; i < 20; ++i) buffers[size_t(i)].id = i;
    PlaybackQueue<FakeBuffer*> queue;
    QueueDevice dev;
    auto finished = [&](FakeBuffer* b) { return dev.finished(b); };
    auto release = [&](FakeBuffer* b) { dev.release(b); };
    size_t next = 0;
    int dropped = 0;
    for (int i = 0; i < 20; ++i) {
        if (queue.reclaim(finished, release)) queue.add(&buffers[next++], true, release);
        else ++dropped;
    }
    EXPECT_EQ(queue.size(), 15u);
    EXPECT_EQ(dropped, 5);
    buffers[0].finished = true;  // the device finished one: room for exactly one more
    EXPECT_TRUE(queue.reclaim(finished, release));
    queue.add(&buffers[next++], true, release);
    EXPECT_FALSE(queue.reclaim(finished, release));
    EXPECT_EQ(dev.released, (std::vector<int>{0}));
}

TEST(PlaybackQueue, ABufferTheDeviceRefusedIsFreedAtOnce) {
    // Refused buffers never finish; kept, they would fill the queue and silence everything after.
    std::vector<FakeBuffer> buffers(40);
    PlaybackQueue<FakeBuffer*> queue;
    QueueDevice dev;
    auto finished = [&](FakeBuffer* b) { return dev.finished(b); };
    auto release = [&](FakeBuffer* b) { dev.release(b); };
    for (int i = 0; i < 30; ++i) {
        buffers[size_t(i)].id = i;
        ASSERT_TRUE(queue.reclaim(finished, release)) << i;
        queue.add(&buffers[size_t(i)], false, release);
    }
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(dev.released.size(), 30u);
    queue.add(&buffers[30], true, release);
    EXPECT_EQ(queue.size(), 1u);
}

TEST(PcmSampleKind, FromTheMixFormat) {
    EXPECT_EQ(pcmSampleKind(true, 32), PcmSample::Float32);
    EXPECT_EQ(pcmSampleKind(true, 64), PcmSample::Unsupported);
    EXPECT_EQ(pcmSampleKind(false, 16), PcmSample::Int16);
    EXPECT_EQ(pcmSampleKind(false, 32), PcmSample::Int32);
    EXPECT_EQ(pcmSampleKind(false, 24), PcmSample::Unsupported);
    EXPECT_EQ(pcmSampleKind(false, 8), PcmSample::Unsupported);
}

template <class T>
std::vector<uint8_t> raw(const std::vector<T>& samples) {
    std::vector<uint8_t> out(samples.size() * sizeof(T));
    std::memcpy(out.data(), samples.data(), out.size());
    return out;
}

TEST(PcmConverter, SampleValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    const struct {
        const char* name;
        PcmSample kind;
        std::vector<uint8_t> bytes;  // one channel
        std::vector<int16_t> pcm;
    } cases[] = {
        {"float", PcmSample::Float32, raw<float>({0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 0.25f}),
         {0, 16384, -16384, 32767, -32767, 8192}},
        {"float beyond full scale", PcmSample::Float32, raw<float>({1.5f, -1.5f, inf, -inf}), {32767, -32767, 32767, -32767}},
        {"float NaN", PcmSample::Float32, raw<float>({nan, -nan}), {0, 0}},
        {"int16", PcmSample::Int16, raw<int16_t>({0, 16384, -16384, 32767, -32768, 1}), {0, 16384, -16384, 32766, -32767, 1}},
        {"int32", PcmSample::Int32, raw<int32_t>({0, 1 << 30, -(1 << 30), 2147483647, -2147483647 - 1}),
         {0, 16384, -16384, 32767, -32767}},
        {"24-bit", PcmSample::Unsupported, std::vector<uint8_t>(9, 0x7f), {0, 0, 0}},
    };
    for (const auto& c : cases) {
        PcmConverter conv(48000, 1, c.kind);
        conv.addPacket(c.bytes.data(), uint32_t(c.pcm.size()), false);
        EXPECT_EQ(conv.pending(), c.pcm) << c.name;
    }
}

// Input frames numbered 1, 2, 3, ... in every channel c as frame x 10 + c.
std::vector<int16_t> numbered(uint32_t firstFrame, uint32_t frames, int channels) {
    std::vector<int16_t> s;
    for (uint32_t f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) s.push_back(int16_t((firstFrame + f) * 10 + uint32_t(c)));
    }
    return s;
}

// 16-bit samples go through x 2^-15 x 32767: v becomes round(v x 32767 / 32768).
int16_t through(int v) { return int16_t(std::lround(float(v) / 32768.0f * 32767.0f)); }

TEST(PcmConverter, RatesAndChannels) {
    const struct {
        const char* name;
        int rate, channels;
        int outRate, outChannels;
        std::vector<int> frames;  // input frame numbers taken, in order; channels 0 and 1 (or 0)
    } cases[] = {
        {"44100 stays", 44100, 2, 44100, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"48000 stays", 48000, 2, 48000, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"96000 takes every other frame", 96000, 2, 48000, 2, {1, 3, 5, 7, 9}},
        {"mono", 48000, 1, 48000, 1, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
        {"5.1 keeps the first two", 48000, 6, 48000, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}},
    };
    for (const auto& c : cases) {
        PcmConverter conv(c.rate, c.channels, PcmSample::Int16);
        ASSERT_TRUE(conv.usable());
        EXPECT_EQ(conv.outputRate(), c.outRate) << c.name;
        EXPECT_EQ(conv.outputChannels(), c.outChannels) << c.name;
        // Two packets of 5 frames: the stepping carries over from one packet to the next.
        const std::vector<int16_t> first = numbered(1, 5, c.channels), second = numbered(6, 5, c.channels);
        conv.addPacket(first.data(), 5, false);
        conv.addPacket(second.data(), 5, false);
        std::vector<int16_t> expected;
        for (int f : c.frames) {
            for (int ch = 0; ch < c.outChannels; ++ch) expected.push_back(through(f * 10 + ch));
        }
        EXPECT_EQ(conv.pending(), expected) << c.name;
    }
}

// A step of 2/3 repeats every other input frame; where the sums of 2/3 land just below a whole
// number the earlier frame is taken, so only the shape of the sequence is fixed.
TEST(PcmConverter, LowerRatesRepeatFrames) {
    PcmConverter conv(32000, 1, PcmSample::Int16);
    EXPECT_EQ(conv.outputRate(), 48000);
    const std::vector<int16_t> first = numbered(1, 5, 1), second = numbered(6, 5, 1);
    conv.addPacket(first.data(), 5, false);
    conv.addPacket(second.data(), 5, false);
    const std::vector<int16_t>& pcm = conv.pending();
    ASSERT_EQ(pcm.size(), 15u);
    EXPECT_EQ(pcm.front(), through(10));
    EXPECT_EQ(pcm.back(), through(100));
    int repeats = 0;
    for (size_t i = 1; i < pcm.size(); ++i) {
        const int step = pcm[i] - pcm[i - 1];
        EXPECT_TRUE(step == 0 || (step >= 9 && step <= 11)) << i;  // the same frame or the next
        repeats += step == 0;
        if (i >= 2) {
            EXPECT_NE(pcm[i], pcm[i - 2]) << "a frame taken three times at " << i;
        }
    }
    EXPECT_EQ(repeats, 5);
}

TEST(PcmConverter, SilentPacketsStillMoveTime) {
    PcmConverter conv(96000, 2, PcmSample::Float32);
    const std::vector<float> loud(2 * 5, 0.5f);
    conv.addPacket(loud.data(), 5, true);  // frames 0, 2, 4 of silence
    conv.addPacket(loud.data(), 5, false);  // then frames 1 and 3 of this packet
    EXPECT_EQ(conv.pending(), (std::vector<int16_t>{0, 0, 0, 0, 0, 0, 16384, 16384, 16384, 16384}));
    conv.addPacket(nullptr, 4, false);  // no data: silence
    EXPECT_EQ(conv.pending().size(), 14u);
}

TEST(PcmConverter, HandsOverWholeBlocksAndKeepsTheRest) {
    PcmConverter conv(48000, 2, PcmSample::Int16);
    const std::vector<int16_t> packet = numbered(0, 1500, 2);
    int calls = 0;
    auto encode = [&](const int16_t* samples, uint32_t frames) {
        ++calls;
        EXPECT_EQ(frames % PcmConverter::kBlockFrames, 0u);
        EXPECT_EQ(samples[0], through(0));
    };
    conv.addPacket(packet.data(), 1000, false);
    conv.takeBlocks(encode);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(conv.pending().size(), 2000u);
    conv.addPacket(packet.data(), 1500, false);
    uint32_t handed = 0;
    conv.takeBlocks([&](const int16_t*, uint32_t frames) { handed = frames; });
    EXPECT_EQ(handed, 2048u);
    ASSERT_EQ(conv.pending().size(), 2u * (2500 - 2048));
    EXPECT_EQ(conv.pending()[0], through(int((2048 - 1000) * 10)));  // frame 1048 of the second packet
}

TEST(PcmConverter, MixesWithoutRateOrChannelsAreNotRead) {
    for (const auto& [rate, channels] : {std::pair{0, 2}, {-48000, 2}, {48000, 0}}) {
        PcmConverter conv(rate, channels, PcmSample::Float32);
        EXPECT_FALSE(conv.usable());
        const float samples[4] = {0.5f, 0.5f, 0.5f, 0.5f};
        conv.addPacket(samples, 2, false);  // would never end with a step of 0
        EXPECT_TRUE(conv.pending().empty());
    }
}

}  // namespace
