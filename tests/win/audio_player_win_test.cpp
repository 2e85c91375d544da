// The viewer's sound player with the system's AAC decoder and sound output.
#include <wmcodecdsp.h>

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "media/audio.h"
#include "support/class_registration_win.h"
#include "support/log_capture.h"
#include "support/silent_aac.h"
#include "support/sound_output_win.h"

namespace {

// What the decoder produced, block by block.
struct DecodedPcm {
    std::mutex mutex;
    std::vector<std::vector<uint8_t>> blocks;

    void watch(AudioPlayer& player) {
        player.setPcmObserver([this](const uint8_t* pcm, size_t length) {
            std::lock_guard<std::mutex> lock(mutex);
            blocks.emplace_back(pcm, pcm + length);
        });
    }
    size_t totalBytes() {
        std::lock_guard<std::mutex> lock(mutex);
        size_t n = 0;
        for (const auto& b : blocks) n += b.size();
        return n;
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex);
        return blocks.size();
    }
};

void playSilence(AudioPlayer& player, int channels, int frames) {
    for (int i = 0; i < frames; ++i) player.playFrame(silentAacFrame(channels));
}

using AudioPlayerWin = ::testing::Test;

TEST_F(AudioPlayerWin, FramesBeforeAnyFormatAreIgnored) {
    onReceiveThread([] {
        AudioPlayer player;
        DecodedPcm pcm;
        pcm.watch(player);
        playSilence(player, 2, 3);
        const AudioPlayer::Status st = player.status();
        EXPECT_FALSE(st.decoder);
        EXPECT_EQ(st.device, nullptr);
        EXPECT_EQ(pcm.count(), 0u);
    });
}

TEST_F(AudioPlayerWin, SilentFramesDecodeToSilence) {
    const struct {
        int rate, channels;
        size_t blockBytes;
    } cases[] = {{48000, 2, 4096}, {48000, 1, 2048}, {44100, 2, 4096}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz " + std::to_string(c.channels) + "ch");
        onReceiveThread([&] {
            AudioPlayer player;
            DecodedPcm pcm;
            pcm.watch(player);
            applyFormatMessage(player, audioFormatMessage(c.rate, c.channels));
            playSilence(player, c.channels, 20);
            std::lock_guard<std::mutex> lock(pcm.mutex);
            ASSERT_EQ(pcm.blocks.size(), 20u);
            for (const auto& block : pcm.blocks) {
                ASSERT_EQ(block.size(), c.blockBytes);
                for (size_t i = 0; i + 1 < block.size(); i += 2) {
                    int16_t v;
                    std::memcpy(&v, &block[i], 2);
                    ASSERT_LE(std::abs(v), 2) << i;
                }
            }
        });
    }
}

// The decoder follows the config's rate, resampling to the player's format, so the amount of PCM
// from 20 frames says which config it got. One that cannot be used is built from rate and channels;
// without one the decoder would stay silent.
TEST_F(AudioPlayerWin, TheDecoderGetsAUsableConfig) {
    auto decodedBytes = [](const std::string& ascMember) {
        size_t total = 0;
        onReceiveThread([&] {
            AudioPlayer player;
            DecodedPcm pcm;
            pcm.watch(player);
            applyFormatMessage(player, R"({"codec":"aac","rate":44100,"ch":2)" + ascMember + "}");
            playSilence(player, 2, 20);
            total = pcm.totalBytes();
        });
        return total;
    };
    const size_t built = decodedBytes(R"(,"asc":"EhA=")");  // 44100 Hz stereo, as built
    EXPECT_EQ(built, 20u * 4096);
    EXPECT_NE(decodedBytes(R"(,"asc":"EZA=")"), built);  // 48000 Hz: the config is honoured
    for (const char* asc : {"", R"(,"asc":"")", R"(,"asc":"EQ==")", R"(,"asc":"*!")", R"(,"asc":4624)"}) {
        EXPECT_EQ(decodedBytes(asc), built) << asc;
    }
}

TEST_F(AudioPlayerWin, FormatsItCannotPlayLeaveTheDecoderAlone) {
    onReceiveThread([] {
        AudioPlayer player;
        DecodedPcm pcm;
        pcm.watch(player);
        applyFormatMessage(player, audioFormatMessage(48000, 1));
        for (const char* text : {"not json", R"({"codec":"opus","rate":44100,"ch":2})", R"({"codec":"aac","rate":0})",
                                 R"({"codec":"aac","rate":1e300,"ch":2})", R"({"codec":"aac","rate":44100,"ch":3})",
                                 R"({"codec":"aac","rate":44100,"ch":-2})"}) {
            applyFormatMessage(player, text);
            const AudioPlayer::Status st = player.status();
            EXPECT_TRUE(st.decoder) << text;
            EXPECT_EQ(st.decodersBuilt, 1) << text;
            EXPECT_EQ(st.rate, 48000) << text;
            EXPECT_EQ(st.channels, 1) << text;
        }
        playSilence(player, 1, 2);
        EXPECT_EQ(pcm.count(), 2u);
    });
}

TEST_F(AudioPlayerWin, AFailedDecoderSetUpIsLoggedAndFramesWaitForTheNextFormat) {
    LogCapture log;
    ClassRegistration refused(CLSID_CMSAACDecMFT, [](REFIID, void**) { return E_FAIL; });
    ASSERT_EQ(refused.result(), S_OK);
    onReceiveThread([&] {
        AudioPlayer player;
        DecodedPcm pcm;
        pcm.watch(player);
        applyFormatMessage(player, audioFormatMessage(48000, 2));
        EXPECT_EQ(log.count("소리 풀기 준비 실패"), 1) << log.text();
        EXPECT_FALSE(player.status().decoder);
        playSilence(player, 2, 2);
        EXPECT_EQ(pcm.count(), 0u);
        refused.revoke();
        applyFormatMessage(player, audioFormatMessage(48000, 2));  // the same format, but nothing to keep
        playSilence(player, 2, 2);
        EXPECT_EQ(pcm.count(), 2u);
    });
}

TEST_F(AudioPlayerWin, TheSameFormatAgainKeepsTheDeviceAndWhatIsQueued) {
    REQUIRE_SOUND_OUTPUT();
    onReceiveThread([] {
        AudioPlayer player;
        applyFormatMessage(player, audioFormatMessage(48000, 2));
        playSilence(player, 2, 5);
        const AudioPlayer::Status before = player.status();
        ASSERT_NE(before.device, nullptr);
        ASSERT_GT(before.queued, 0u);
        applyFormatMessage(player, audioFormatMessage(48000, 2));
        const AudioPlayer::Status after = player.status();
        EXPECT_EQ(after.device, before.device);
        EXPECT_EQ(after.queued, before.queued);
        EXPECT_EQ(after.decodersBuilt, 1);
    });
}

TEST_F(AudioPlayerWin, ANewFormatDiscardsWhatIsQueuedAndTheNextFrameOpensTheDeviceAgain) {
    REQUIRE_SOUND_OUTPUT();
    onReceiveThread([] {
        AudioPlayer player;
        applyFormatMessage(player, audioFormatMessage(48000, 2));
        playSilence(player, 2, 5);
        ASSERT_NE(player.status().device, nullptr);
        const struct {
            int rate, channels;
        } formats[] = {{44100, 2}, {44100, 1}};
        int built = 1;
        for (const auto& f : formats) {
            applyFormatMessage(player, audioFormatMessage(f.rate, f.channels));
            AudioPlayer::Status st = player.status();
            EXPECT_EQ(st.device, nullptr);
            EXPECT_EQ(st.queued, 0u);
            EXPECT_EQ(st.decodersBuilt, ++built);
            EXPECT_EQ(st.rate, f.rate);
            EXPECT_EQ(st.channels, f.channels);
            playSilence(player, f.channels, 1);
            st = player.status();
            EXPECT_NE(st.device, nullptr);
            EXPECT_EQ(st.queued, 1u);
        }
    });
}

TEST_F(AudioPlayerWin, AfterStopTheNextFrameOpensTheDeviceWithTheKeptFormat) {
    REQUIRE_SOUND_OUTPUT();
    onReceiveThread([] {
        AudioPlayer player;
        applyFormatMessage(player, audioFormatMessage(44100, 1));
        playSilence(player, 1, 3);
        player.stop();
        AudioPlayer::Status st = player.status();
        EXPECT_EQ(st.device, nullptr);
        EXPECT_EQ(st.queued, 0u);
        EXPECT_TRUE(st.decoder);
        player.stop();  // nothing open: nothing to do
        playSilence(player, 1, 1);
        st = player.status();
        EXPECT_NE(st.device, nullptr);
        EXPECT_EQ(st.queued, 1u);
        EXPECT_EQ(st.rate, 44100);
        EXPECT_EQ(st.decodersBuilt, 1);
    });
}

TEST_F(AudioPlayerWin, NoMoreThanFifteenBuffersAreEverOutstanding) {
    REQUIRE_SOUND_OUTPUT();
    onReceiveThread([] {
        AudioPlayer player;
        applyFormatMessage(player, audioFormatMessage(48000, 2));
        // Forty frames come far faster than they play: the queue fills up to its bound and the
        // rest are dropped, not queued.
        size_t most = 0;
        for (int i = 0; i < 40; ++i) {
            player.playFrame(kSilentAacStereo);
            most = std::max(most, player.status().queued);
            ASSERT_LE(player.status().queued, 15u) << i;
        }
        EXPECT_EQ(most, 15u);
    });
}

}  // namespace
