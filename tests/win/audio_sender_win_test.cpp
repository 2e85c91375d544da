// The sound sender from the capture client to its sinks, with the stand-in capture and encoder.
// The AAC class ids' header must come before the capture client's (MinGW's headers clash the
// other way round).
#include <wmcodecdsp.h>
#include <audioclient.h>
#include <mfapi.h>
#include <mferror.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/audio.h"
#include "support/audio_fakes_win.h"
#include "support/log_capture.h"
#include "media/mf.h"
#include "support/silent_aac.h"
#include "support/stand_in_server_win.h"
#include "support/wait.h"

namespace {

const char* const kFailureLine = "소리 보내기를 시작할 수 없습니다 (출력 장치 · AAC 인코더)";

// What a mix format is made of, and the sample values written into its packets.
struct Mix {
    int rate, channels, bits;
    MixSamples samples;
    bool extensible;

    int bytesPerFrame() const { return channels * bits / 8; }
    std::vector<uint8_t> format() const { return makeMixFormat(rate, channels, bits, samples, extensible); }
};

// Sample (frame, channel) carries 16 x (frame mod 2000) + 2 x channel + 1 in 16-bit units, so the
// PCM the encoder gets says which input sample it came from (integer input loses at most 1 in
// the conversion, which the odd value absorbs).
int marker(uint32_t frame, int channel) { return int(frame % 2000) * 16 + channel * 2 + 1; }

// Input frames [first, first + frames) of a mix as a packet.
FakeCoreAudio::Packet packet(const Mix& mix, uint32_t first, uint32_t frames, DWORD flags = 0) {
    FakeCoreAudio::Packet p;
    p.frames = frames;
    p.flags = flags;
    p.data.resize(size_t(frames) * size_t(mix.bytesPerFrame()));
    for (uint32_t f = 0; f < frames; ++f) {
        for (int c = 0; c < mix.channels; ++c) {
            uint8_t* at = p.data.data() + (size_t(f) * size_t(mix.channels) + size_t(c)) * size_t(mix.bits / 8);
            const int m = marker(first + f, c);
            if (mix.samples == MixSamples::Float) {
                const float v = float(m) / 32767.0f;
                std::memcpy(at, &v, 4);
            } else if (mix.bits == 16) {
                const int16_t v = int16_t(m);
                std::memcpy(at, &v, 2);
            } else if (mix.bits == 32) {
                const int32_t v = m << 16;
                std::memcpy(at, &v, 4);
            } else {
                std::memset(at, 0x55, size_t(mix.bits / 8));  // 24-bit: not read
            }
        }
    }
    return p;
}

// The test's own thread needs no COM: the stand-ins are registered in the multithreaded
// apartment by threads of their own, and the sender's capture thread is in that apartment.
class AudioSenderWin : public ::testing::Test {
protected:
    void SetUp() override { sinks.attach(sender); }
    void TearDown() override {
        sender.stop();
        audio.reset();
        encoderRegistration.reset();
    }
    void useFakes(const Mix& mix) {
        audio.reset();
        encoderRegistration.reset();
        audio = std::make_unique<FakeCoreAudio>(mix.format());
        ASSERT_EQ(audio->registration(), S_OK);
        encoderRegistration = registerFakeAacEncoder(encoder);
        ASSERT_EQ(encoderRegistration->result(), S_OK);
    }
    bool consumed() {
        return waitUntil([&] { return audio->packetsLeft() == 0; }, 5000);
    }
    // Every object the capture made is released once it ends.
    void expectAllReleased() {
        EXPECT_EQ(audio->liveObjects(), 0);
        std::lock_guard<std::mutex> lock(encoder->mutex);
        EXPECT_EQ(encoder->live, 0);
    }

    std::shared_ptr<FakeAacEncoderLog> encoder = std::make_shared<FakeAacEncoderLog>();
    std::unique_ptr<FakeCoreAudio> audio;
    std::unique_ptr<ClassRegistration> encoderRegistration;
    SenderSinks sinks;
    AudioSender sender;
};

TEST_F(AudioSenderWin, MixFormatsBecomeAacAt44100Or48000WithOneOrTwoChannels) {
    const struct {
        const char* name;
        Mix mix;
        const char* format;  // message 20
        const char* startLine;
    } cases[] = {
        {"float 48k stereo", {48000, 2, 32, MixSamples::Float, true}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 48000 Hz 2ch → AAC 48000 Hz 2ch"},
        {"float 44.1k", {44100, 2, 32, MixSamples::Float, true}, R"({"codec":"aac","rate":44100,"ch":2,"asc":"EhA="})",
         "소리 보내기 시작: 44100 Hz 2ch → AAC 44100 Hz 2ch"},
        {"float 96k 5.1", {96000, 6, 32, MixSamples::Float, true}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 96000 Hz 6ch → AAC 48000 Hz 2ch"},
        {"float 32k", {32000, 2, 32, MixSamples::Float, true}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 32000 Hz 2ch → AAC 48000 Hz 2ch"},
        {"float mono", {48000, 1, 32, MixSamples::Float, true}, R"({"codec":"aac","rate":48000,"ch":1,"asc":"EYg="})",
         "소리 보내기 시작: 48000 Hz 1ch → AAC 48000 Hz 1ch"},
        {"float 5.1", {48000, 6, 32, MixSamples::Float, true}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 48000 Hz 6ch → AAC 48000 Hz 2ch"},
        {"float, plain tag", {48000, 2, 32, MixSamples::Float, false}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 48000 Hz 2ch → AAC 48000 Hz 2ch"},
        {"int16", {48000, 2, 16, MixSamples::Int, false}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 48000 Hz 2ch → AAC 48000 Hz 2ch"},
        {"int32", {44100, 2, 32, MixSamples::Int, true}, R"({"codec":"aac","rate":44100,"ch":2,"asc":"EhA="})",
         "소리 보내기 시작: 44100 Hz 2ch → AAC 44100 Hz 2ch"},
        {"24-bit", {48000, 2, 24, MixSamples::Int, true}, R"({"codec":"aac","rate":48000,"ch":2,"asc":"EZA="})",
         "소리 보내기 시작: 48000 Hz 2ch → AAC 48000 Hz 2ch"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        const Mix& mix = c.mix;
        encoder = std::make_shared<FakeAacEncoderLog>();
        useFakes(mix);
        SenderSinks got;
        got.attach(sender);
        const int outRate = mix.rate == 44100 ? 44100 : 48000, outChannels = mix.channels < 2 ? 1 : 2;
        const double step = double(mix.rate) / outRate;
        // Input for 4096 output frames (4097 at 32 kHz), in 10 ms packets, in two batches.
        const uint32_t total = uint32_t(std::ceil(4096 * step)), packetFrames = uint32_t(mix.rate / 100);
        sender.start();
        uint32_t pushed = 0;
        auto pushUpTo = [&](uint32_t end) {
            for (; pushed < end; pushed += std::min(packetFrames, end - pushed)) {
                audio->push(packet(mix, pushed, std::min(packetFrames, end - pushed)));
            }
        };
        pushUpTo(total / 3);
        ASSERT_TRUE(consumed());
        pushUpTo(total);
        ASSERT_TRUE(consumed());
        ASSERT_TRUE(waitUntil([&] { return got.frames().size() >= 4; }, 5000));
        sender.stop();

        EXPECT_EQ(got.formats(), std::vector<std::string>{c.format});
        EXPECT_EQ(log.count(c.startLine), 1);
        // Exactly the four whole frames, as the encoder made them.
        EXPECT_EQ(got.frames(), std::vector<std::vector<uint8_t>>(4, silentAacFrame(outChannels)));

        const auto init = audio->initialized();
        ASSERT_TRUE(init.has_value());
        EXPECT_EQ(init->shareMode, AUDCLNT_SHAREMODE_SHARED);
        EXPECT_EQ(init->flags, DWORD(AUDCLNT_STREAMFLAGS_LOOPBACK));
        EXPECT_EQ(init->duration, 2000000);
        EXPECT_EQ(init->period, 0);
        EXPECT_EQ(init->format, mix.format());
        EXPECT_TRUE(audio->started());
        EXPECT_TRUE(audio->stopped());

        sender.formatSink = nullptr;
        sender.frameSink = nullptr;
        expectAllReleased();
        std::lock_guard<std::mutex> lock(encoder->mutex);
        EXPECT_EQ(encoder->outputType.rate, outRate);
        EXPECT_EQ(encoder->outputType.channels, outChannels);
        ASSERT_GE(encoder->inputs.size(), 2u);
        int64_t position = 0;
        uint32_t outFrame = 0;
        for (const auto& input : encoder->inputs) {
            ASSERT_EQ(input.pcm.size() % (1024 * size_t(outChannels)), 0u);  // whole blocks only
            const int64_t frames = int64_t(input.pcm.size()) / outChannels;
            EXPECT_EQ(input.time, position * 10000000 / outRate);
            EXPECT_EQ(input.duration, frames * 10000000 / outRate);
            position += frames;
            for (size_t i = 0; i < input.pcm.size(); ++i, outFrame += (i % size_t(outChannels)) == 0) {
                const int v = input.pcm[i];
                if (mix.bits == 24) {
                    ASSERT_EQ(v, 0) << i;
                    continue;
                }
                const int channel = (v / 2) % 8, frame = v / 16;
                ASSERT_EQ(channel, int(i % size_t(outChannels))) << "output frame " << outFrame;
                // The nearest earlier input frame; at 32 kHz the sums of 2/3 may land just short.
                const int expected = int(std::floor(outFrame * step + 1e-6)) % 2000;
                const int apart = std::abs(frame - expected);
                ASSERT_LE(std::min(apart, 2000 - apart), step < 1 ? 1 : 0) << "output frame " << outFrame;
            }
        }
        EXPECT_EQ(position, 4096);
    }
}

TEST_F(AudioSenderWin, SilentPacketsAddZerosAndMoveTimeOn) {
    LogCapture log;
    const Mix mix{48000, 2, 32, MixSamples::Float, true};
    useFakes(mix);
    sender.setReportInterval(20);
    audio->push(packet(mix, 0, 512));
    audio->push(packet(mix, 512, 1024, AUDCLNT_BUFFERFLAGS_SILENT));  // loud data, marked silent
    audio->push(packet(mix, 1536, 512));
    sender.start();
    ASSERT_TRUE(consumed());
    ASSERT_TRUE(waitUntil([&] { return sinks.frames().size() == 2; }, 5000));
    ASSERT_TRUE(log.waitFor("소리: 받은 묶음 3 (조용함 1) · AAC 2")) << log.text();
    sender.stop();
    std::lock_guard<std::mutex> lock(encoder->mutex);
    std::vector<int16_t> pcm;
    for (const auto& input : encoder->inputs) pcm.insert(pcm.end(), input.pcm.begin(), input.pcm.end());
    ASSERT_EQ(pcm.size(), 2u * 2048);
    EXPECT_EQ(pcm[2 * 511], marker(511, 0));
    for (size_t i = 2 * 512; i < 2 * 1536; ++i) ASSERT_EQ(pcm[i], 0) << i;
    EXPECT_EQ(pcm[2 * 1536 + 1], marker(1536, 1));
}

TEST_F(AudioSenderWin, ARestartSendsAFreshFormatAndStartsTimeAgain) {
    const Mix mix{48000, 2, 32, MixSamples::Float, true};
    useFakes(mix);
    sender.start();
    audio->push(packet(mix, 0, 1024));
    ASSERT_TRUE(waitUntil([&] { return sinks.frames().size() == 1; }, 5000));
    sender.start();  // already running: nothing happens
    sender.stop();
    sender.start();
    audio->push(packet(mix, 0, 1024));
    ASSERT_TRUE(waitUntil([&] { return sinks.frames().size() == 2; }, 5000));
    sender.stop();
    EXPECT_EQ(sinks.formats().size(), 2u);
    EXPECT_EQ(audio->enumeratorsMade(), 2);
    std::lock_guard<std::mutex> lock(encoder->mutex);
    EXPECT_EQ(encoder->made, 2);
    ASSERT_EQ(encoder->inputs.size(), 2u);
    EXPECT_EQ(encoder->inputs[1].time, 0);
}

// GetNextPacketSize or GetBuffer failing ends one pass; the packet comes on a later one.
TEST_F(AudioSenderWin, APacketThatFailsToArriveComesLater) {
    const Mix mix{48000, 2, 32, MixSamples::Float, true};
    useFakes(mix);
    audio->fail(FakeCoreAudio::Step::NextPacketSize, AUDCLNT_E_DEVICE_INVALIDATED, 2);
    audio->fail(FakeCoreAudio::Step::GetBuffer, AUDCLNT_E_BUFFER_ERROR, 2);
    audio->push(packet(mix, 0, 1024));
    sender.start();
    ASSERT_TRUE(waitUntil([&] { return sinks.frames().size() == 1; }, 5000));
    EXPECT_EQ(audio->released(), std::vector<uint32_t>{1024});
}

TEST_F(AudioSenderWin, EachFailedSetUpStepLogsOneLineAndSendsNothing) {
    using Step = FakeCoreAudio::Step;
    const Mix good{48000, 2, 32, MixSamples::Float, true};
    const struct {
        const char* name;
        Mix mix;
        std::optional<Step> step;
        bool noEncoder;
        HRESULT outputType, inputType;
    } cases[] = {
        {"enumerator", good, Step::CreateEnumerator, false, S_OK, S_OK},
        {"default device", good, Step::DefaultEndpoint, false, S_OK, S_OK},
        {"activate", good, Step::Activate, false, S_OK, S_OK},
        {"mix format", good, Step::MixFormat, false, S_OK, S_OK},
        {"initialize", good, Step::Initialize, false, S_OK, S_OK},
        {"capture service", good, Step::CaptureService, false, S_OK, S_OK},
        {"no encoder", good, std::nullopt, true, S_OK, S_OK},
        {"output type refused", good, std::nullopt, false, MF_E_INVALIDMEDIATYPE, S_OK},
        {"input type refused", good, std::nullopt, false, S_OK, MF_E_INVALIDMEDIATYPE},
        // These would step through a packet by 0 frames for ever, or read past it.
        {"rate 0", {0, 2, 32, MixSamples::Float, true}, std::nullopt, false, S_OK, S_OK},
        {"no channels", {48000, 0, 32, MixSamples::Float, true}, std::nullopt, false, S_OK, S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        encoder = std::make_shared<FakeAacEncoderLog>();
        encoder->outputTypeResult = c.outputType;
        encoder->inputTypeResult = c.inputType;
        useFakes(c.mix);
        // Neither in this process nor in the prefix (where the test script installs one).
        std::optional<WithoutInstalledStandIns> bare;
        if (c.noEncoder) {
            encoderRegistration.reset();
            inMultithreadedApartment([&] { bare.emplace(); });
        }
        if (c.step) audio->fail(*c.step, E_FAIL);
        SenderSinks got;
        got.attach(sender);
        audio->push(packet(good, 0, 2048));
        sender.start();
        ASSERT_TRUE(waitUntil([&] { return !sender.running(); }, 5000));
        sender.stop();  // joins the ended thread at once
        EXPECT_EQ(log.count(kFailureLine), 1) << log.text();
        EXPECT_EQ(log.text().find("소리 보내기 시작"), std::string::npos);
        EXPECT_TRUE(got.formats().empty());
        EXPECT_TRUE(got.frames().empty());
        EXPECT_FALSE(audio->started());
        sender.formatSink = nullptr;
        sender.frameSink = nullptr;
        expectAllReleased();
        inMultithreadedApartment([&] { bare.reset(); });
    }
}

// The thread of a failed start has ended but is still joinable: starting again must join it
// first, or the assignment of the new thread ends the program.
TEST_F(AudioSenderWin, StartingAgainAfterAFailedStartWorks) {
    LogCapture log;
    const Mix mix{48000, 2, 32, MixSamples::Float, true};
    useFakes(mix);
    audio->fail(FakeCoreAudio::Step::Activate, E_FAIL, 1);
    sender.start();
    ASSERT_TRUE(waitUntil([&] { return !sender.running(); }, 5000));
    sender.start();
    audio->push(packet(mix, 0, 1024));
    ASSERT_TRUE(waitUntil([&] { return sinks.frames().size() == 1; }, 5000));
    EXPECT_EQ(sinks.formats().size(), 1u);
    EXPECT_EQ(log.count(kFailureLine), 1);
}

TEST_F(AudioSenderWin, StopWithoutStartReturns) {
    sender.stop();
    sender.stop();
    EXPECT_FALSE(sender.running());
}

// The system under test has no loopback capture (and no AAC encoder of its own).
TEST_F(AudioSenderWin, WithoutStandInsTheSystemSendsNothing) {
    LogCapture log;
    std::optional<WithoutInstalledStandIns> bare;  // not even the test script's AAC encoder
    inMultithreadedApartment([&] { bare.emplace(); });
    sender.start();
    ASSERT_TRUE(waitUntil([&] { return !sender.running(); }, 10000));
    sender.stop();
    inMultithreadedApartment([&] { bare.reset(); });
    EXPECT_EQ(log.count(kFailureLine), 1) << log.text();
    EXPECT_TRUE(sinks.formats().empty());
    EXPECT_TRUE(sinks.frames().empty());
}

// The encoder runs on a thread in the multithreaded apartment, as on the capture thread.
class AacEncoderWin : public ::testing::Test {
protected:
    void SetUp() override {
        ensureMediaFoundation();
        registration = registerFakeAacEncoder(log);
        ASSERT_EQ(registration->result(), S_OK);
    }
    void TearDown() override { registration.reset(); }
    std::shared_ptr<FakeAacEncoderLog> log = std::make_shared<FakeAacEncoderLog>();
    std::unique_ptr<ClassRegistration> registration;
};

TEST_F(AacEncoderWin, SetsTheOutputTypeBeforeTheInputType) {
    inMultithreadedApartment([&] {
        const struct {
            uint32_t rate, channels, avgBytes;
        } cases[] = {{48000, 2, 16000}, {44100, 1, 12000}};
        for (const auto& c : cases) {
            registration.reset();
            log = std::make_shared<FakeAacEncoderLog>();
            registration = registerFakeAacEncoder(log);
            AacEncoder enc;
            ASSERT_TRUE(enc.open(c.rate, c.channels));
            std::lock_guard<std::mutex> lock(log->mutex);
            EXPECT_EQ(log->calls, (std::vector<std::string>{"SetOutputType", "SetInputType",
                                                            "Message " + std::to_string(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING)}));
            const FakeAacEncoderLog::Type& out = log->outputType;
            EXPECT_TRUE(out.major == MFMediaType_Audio && out.subtype == MFAudioFormat_AAC);
            EXPECT_EQ(out.bits, 16);
            EXPECT_EQ(out.rate, c.rate);
            EXPECT_EQ(out.channels, c.channels);
            EXPECT_EQ(out.avgBytes, c.avgBytes);
            EXPECT_EQ(out.payloadType, 0);
            const FakeAacEncoderLog::Type& in = log->inputType;
            EXPECT_TRUE(in.major == MFMediaType_Audio && in.subtype == MFAudioFormat_PCM);
            EXPECT_EQ(in.bits, 16);
            EXPECT_EQ(in.rate, c.rate);
            EXPECT_EQ(in.channels, c.channels);
            EXPECT_EQ(in.blockAlign, c.channels * 2);
            EXPECT_EQ(in.avgBytes, c.rate * c.channels * 2);
        }
    });
}

TEST_F(AacEncoderWin, ARefusedFormatLeavesItClosed) {
    inMultithreadedApartment([&] {
        log->inputTypeResult = MF_E_INVALIDMEDIATYPE;
        AacEncoder enc;
        EXPECT_FALSE(enc.open(48000, 2));
        {
            std::lock_guard<std::mutex> lock(log->mutex);
            EXPECT_EQ(log->live, 0);
        }
        int frames = 0;
        const std::vector<int16_t> pcm(2048, 0);
        enc.encode(pcm.data(), 1024, [&](const std::vector<uint8_t>&) { ++frames; });
        EXPECT_EQ(frames, 0);
        EXPECT_FALSE(enc.open(0, 2));
    });
}

// An encoder that is full takes the input again once its output was drained; refused a second
// time, the input is lost but time goes on.
TEST_F(AacEncoderWin, AnInputRefusedAsNotAcceptingIsOfferedOnceMore) {
    inMultithreadedApartment([&] {
        AacEncoder enc;
        ASSERT_TRUE(enc.open(48000, 1));
        int frames = 0;
        const auto count = [&](const std::vector<uint8_t>& f) {
            EXPECT_EQ(f, kSilentAacMono);
            ++frames;
        };
        std::vector<int16_t> pcm(2048);
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = int16_t(i);
        log->refuseInputs = 1;
        enc.encode(pcm.data(), 2048, count);
        EXPECT_EQ(frames, 2);
        log->refuseInputs = 2;
        enc.encode(pcm.data(), 1024, count);
        enc.encode(pcm.data(), 1024, count);
        EXPECT_EQ(frames, 3);
        std::lock_guard<std::mutex> lock(log->mutex);
        ASSERT_EQ(log->inputs.size(), 2u);
        EXPECT_EQ(log->inputs[0].pcm, pcm);
        EXPECT_EQ(log->inputs[0].time, 0);
        EXPECT_EQ(log->inputs[0].duration, 2048LL * 10000000 / 48000);
        EXPECT_EQ(log->inputs[1].time, 3072LL * 10000000 / 48000);  // after the lost one
    });
}

// A transform that brings its own output samples hands the caller one reference to each.
TEST_F(AacEncoderWin, ReleasesTheSamplesAnEncoderProvides) {
    inMultithreadedApartment([&] {
        log->providesSamples = true;
        AacEncoder enc;
        ASSERT_TRUE(enc.open(48000, 2));
        int frames = 0;
        const std::vector<int16_t> pcm(2 * 3072, 0);
        enc.encode(pcm.data(), 3072, [&](const std::vector<uint8_t>& f) {
            EXPECT_EQ(f, kSilentAacStereo);
            ++frames;
        });
        EXPECT_EQ(frames, 3);
        std::lock_guard<std::mutex> lock(log->mutex);
        ASSERT_EQ(log->samplesGiven.size(), 3u);
        for (const auto& sample : log->samplesGiven) {
            sample->AddRef();
            EXPECT_EQ(sample->Release(), 1u);  // only the stand-in's own
        }
    });
}

// The test script installs the stand-in codecs' server in the prefix, so that the program itself
// finds an AAC encoder there.
TEST(AacEncoderServer, TheInstalledTestCodecServerServesAnAacEncoder) {
    inMultithreadedApartment([] {
        ensureMediaFoundation();
        WithoutInstalledStandIns bare;  // puts back what the prefix had at the end
        AacEncoder enc;
        EXPECT_FALSE(enc.open(48000, 2));
        StandInCodecServer server;
        ASSERT_TRUE(server.loaded());
        ASSERT_EQ(server.registerServer(), S_OK);
        ASSERT_TRUE(enc.open(48000, 2));
        std::vector<std::vector<uint8_t>> frames;
        const std::vector<int16_t> pcm(2 * 1024, 0);
        enc.encode(pcm.data(), 1024, [&](const std::vector<uint8_t>& f) { frames.push_back(f); });
        EXPECT_EQ(frames, std::vector<std::vector<uint8_t>>{kSilentAacStereo});
        enc.close();
        ASSERT_EQ(server.unregisterServer(), S_OK);
        EXPECT_FALSE(enc.open(48000, 2));
    });
}

}  // namespace
