// Host and viewer sound end to end: stand-in capture → sender → stand-in encoder (giving real AAC
// frames of a 1 kHz tone) → player → the system's decoder and sound output, heard on the sound
// server's recording of its sink.
#include <wmcodecdsp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "media/audio.h"
#include "support/aac_tone.h"
#include "support/audio_fakes_win.h"
#include "support/sound_output_win.h"
#include "support/wait.h"

namespace {

// The left channel of the recording from byte `offset` on.
std::vector<int16_t> recordedLeft(const std::string& path, uint64_t offset) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(std::streamoff(offset));
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> left;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        left.push_back(int16_t(uint16_t(uint8_t(bytes[i])) | uint16_t(uint8_t(bytes[i + 1])) << 8));
    }
    return left;
}

struct Tone {
    double loudSeconds = 0;         // in 10 ms windows that hold sound
    double crossingsPerSecond = 0;  // from the typical distance between zero crossings
    int peak = 0;
};

// Buffers that reach the output late leave gaps, so the rate of zero crossings comes from the
// median distance between neighbouring crossings inside windows that hold sound.
Tone measure(const std::vector<int16_t>& left) {
    const size_t window = 480;  // 10 ms at 48000 Hz
    Tone t;
    long loudWindows = 0;
    std::vector<size_t> gaps;
    for (size_t start = 0; start + window <= left.size(); start += window) {
        int peak = 0;
        for (size_t i = start; i < start + window; ++i) peak = std::max(peak, std::abs(int(left[i])));
        t.peak = std::max(t.peak, peak);
        if (peak < 2000) continue;
        ++loudWindows;
        size_t last = 0;
        for (size_t i = start + 1; i < start + window; ++i) {
            if ((left[i - 1] < 0) == (left[i] < 0)) continue;
            if (last) gaps.push_back(i - last);
            last = i;
        }
    }
    t.loudSeconds = double(loudWindows) * 0.01;
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + ptrdiff_t(gaps.size() / 2), gaps.end());
        t.crossingsPerSecond = 48000.0 / double(gaps[gaps.size() / 2]);
    }
    return t;
}

using AudioToneWin = ::testing::Test;

TEST_F(AudioToneWin, AToneSentThroughSenderAndPlayerReachesTheSoundOutput) {
    const char* recording = sinkRecording();
    if (!recording) GTEST_SKIP() << "needs the sound server and recording of scripts/test";
    ASSERT_GT(waveOutGetNumDevs(), 0u) << "the sound server is not reachable";

    const std::vector<std::vector<uint8_t>> tone = aacToneFrames();
    ASSERT_GE(tone.size(), 20u);
    auto encoder = std::make_shared<FakeAacEncoderLog>();
    encoder->frames = tone;
    FakeCoreAudio audio(makeMixFormat(48000, 2, 32, MixSamples::Float, true));
    ASSERT_EQ(audio.registration(), S_OK);
    auto encoderRegistration = registerFakeAacEncoder(encoder);
    SenderSinks sinks;
    AudioSender sender;
    sinks.attach(sender);
    sender.start();
    // The format comes once both stand-ins are made. While the capture stand-in is registered the
    // sound output would find it too, and play nothing.
    ASSERT_TRUE(waitUntil([&] { return !sinks.formats().empty(); }, 5000));
    audio.revoke();
    encoderRegistration->revoke();

    const uint64_t before = std::filesystem::file_size(recording) / 4 * 4;
    Tone heard;
    onReceiveThread([&] {
        AudioPlayer player;
        applyFormatMessage(player, sinks.formats().front());
        // Capture in 10 ms packets at the pace of playback, 100 ms ahead of it.
        const uint32_t packetFrames = 480, totalFrames = uint32_t(tone.size()) * 1024;
        FakeCoreAudio::Packet silence{packetFrames, 0, std::vector<uint8_t>(packetFrames * 8, 0)};
        size_t played = 0;
        const int64_t begin = nowNanos(), deadline = begin + 10'000'000'000LL;
        for (uint32_t captured = 0; played < tone.size() && nowNanos() < deadline;) {
            const int64_t due = 4800 + (nowNanos() - begin) * 48000 / 1'000'000'000;
            for (; captured < totalFrames && captured < due; captured += packetFrames) audio.push(silence);
            for (const auto& frame : sinks.takeFrames()) {
                player.playFrame(frame);
                ++played;
            }
            sleepMs(10);
        }
        ASSERT_EQ(played, tone.size());
        waitUntil(
            [&] {
                heard = measure(recordedLeft(recording, before));
                return heard.loudSeconds >= 0.3;
            },
            10000);
    });
    sender.stop();
    EXPECT_GE(heard.loudSeconds, 0.3);
    EXPECT_GT(heard.peak, 4000);
    EXPECT_NEAR(heard.crossingsPerSecond, 2000, 100);  // a 1 kHz tone crosses zero twice a cycle
}

}  // namespace
