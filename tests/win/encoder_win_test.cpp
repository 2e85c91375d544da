// VideoEncoder against the stand-in encoder transform (Wine has no H.264 encoder of its own): what
// it tells the transform, in which order, and how it copes with a transform that holds pictures
// back, refuses input, changes its stream or fails.
#include <mfapi.h>
#include <mferror.h>
#include <codecapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/util.h"
#include "media/encoder.h"
#include "media/mf.h"
#include "media/stream.h"
#include "support/log_capture.h"
#include "support/mf_test.h"
#include "support/stand_in_encoder_win.h"
#include "support/stand_in_server_win.h"

using Microsoft::WRL::ComPtr;
using Knobs = StandInEncoderKnobs;
using Record = StandInEncoderRecord;

namespace {

// Encodes one grey picture of the encoder's size.
bool encodeOne(VideoEncoder& encoder, bool forceKeyFrame, Bytes& out, bool& keyFrame) {
    const Bytes picture(size_t(encoder.width()) * size_t(encoder.height()) * 3 / 2, 128);
    return encoder.encode(picture.data(), forceKeyFrame, out, keyFrame);
}

class Encoder : public MediaFoundationTest {
protected:
    void SetUp() override {
        MediaFoundationTest::SetUp();
        ASSERT_TRUE(standIn_.registered());
    }
    StandInEncoderState& standIn() { return standIn_.state(); }
    void setKnobs(const Knobs& knobs) { standIn_.state().setKnobs(knobs); }
    Record record() { return standIn_.state().record(); }

private:
    LocalStandInEncoder standIn_;
};

std::vector<LONGLONG> acceptedTimes(const Record& r) {
    std::vector<LONGLONG> times;
    for (const auto& input : r.inputs) {
        if (input.result == S_OK) times.push_back(input.time);
    }
    return times;
}

UINT32 attribute(IMFMediaType* type, const GUID& key) { return MFGetAttributeUINT32(type, key, 0xFFFFFFFF); }

std::pair<UINT32, UINT32> pair(IMFMediaType* type, const GUID& key) {
    UINT32 high = 0, low = 0;
    MFGetAttributeRatio(type, key, &high, &low);
    return {high, low};
}

TEST_F(Encoder, SetsTheSixSettingsInOrder) {
    struct Case {
        int fps;
        uint32_t bitrate;
        uint64_t gop;
    } cases[] = {{30, 8'000'000, 18'000}, {0, 1'000'000, 600}, {-5, 2'000'000, 600}, {60, 30'000'000, 36'000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fps);
        const size_t before = record().settings.size();
        VideoEncoder encoder;
        ASSERT_TRUE(encoder.open(1920, 1080, c.fps, c.bitrate));
        const auto settings = record().settings;
        ASSERT_EQ(settings.size() - before, 6u);
        const struct {
            GUID api;
            VARTYPE type;
            uint64_t value;
        } want[] = {
            {CODECAPI_AVLowLatencyMode, VT_BOOL, 1},
            {CODECAPI_AVEncCommonRateControlMode, VT_UI4, 0},
            {CODECAPI_AVEncCommonMeanBitRate, VT_UI4, c.bitrate},
            {CODECAPI_AVEncMPVDefaultBPictureCount, VT_UI4, 0},
            {CODECAPI_AVEncMPVGOPSize, VT_UI4, c.gop},
            {CODECAPI_AVEncCommonQualityVsSpeed, VT_UI4, 20},
        };
        for (size_t i = 0; i < 6; ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(settings[before + i].api == want[i].api);
            EXPECT_EQ(settings[before + i].type, want[i].type);
            EXPECT_EQ(settings[before + i].value, want[i].value);
        }
    }
}

TEST_F(Encoder, SetsTheOutputTypeBeforeTheInputType) {
    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(1280, 720, 25, 6'000'000));
    EXPECT_EQ(encoder.name(), "");  // no transform has a friendly name here
    const Record r = record();
    ASSERT_EQ(r.types.size(), 2u);
    ASSERT_TRUE(r.types[0].output);
    ASSERT_FALSE(r.types[1].output);
    IMFMediaType* output = r.types[0].type.Get();
    IMFMediaType* input = r.types[1].type.Get();
    GUID major{}, subtype{};
    output->GetGUID(MF_MT_MAJOR_TYPE, &major);
    output->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_TRUE(major == MFMediaType_Video);
    EXPECT_TRUE(subtype == MFVideoFormat_H264);
    EXPECT_EQ(attribute(output, MF_MT_AVG_BITRATE), 6'000'000u);
    EXPECT_EQ(attribute(output, MF_MT_MPEG2_PROFILE), 77u);
    input->GetGUID(MF_MT_MAJOR_TYPE, &major);
    input->GetGUID(MF_MT_SUBTYPE, &subtype);
    EXPECT_TRUE(major == MFMediaType_Video);
    EXPECT_TRUE(subtype == MFVideoFormat_NV12);
    EXPECT_EQ(attribute(input, MF_MT_VIDEO_NOMINAL_RANGE), 2u);
    EXPECT_EQ(attribute(input, MF_MT_YUV_MATRIX), 1u);
    for (IMFMediaType* type : {output, input}) {
        EXPECT_EQ(pair(type, MF_MT_FRAME_SIZE), std::make_pair(1280u, 720u));
        EXPECT_EQ(pair(type, MF_MT_FRAME_RATE), std::make_pair(25u, 1u));
        EXPECT_EQ(pair(type, MF_MT_PIXEL_ASPECT_RATIO), std::make_pair(1u, 1u));
        EXPECT_EQ(attribute(type, MF_MT_INTERLACE_MODE), UINT32(MFVideoInterlace_Progressive));
    }
    EXPECT_EQ(r.messages, (std::vector<MFT_MESSAGE_TYPE>{MFT_MESSAGE_NOTIFY_BEGIN_STREAMING,
                                                         MFT_MESSAGE_NOTIFY_START_OF_STREAM}));
}

// The stand-in has no stream identifiers and refuses any stream but 0: pictures going through
// shows the encoder fell back to 0 and 0. Each call gives one access unit, the first an IDR
// picture with its parameter sets.
TEST_F(Encoder, EncodesEachPictureInItsOwnCall) {
    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
    for (int i = 0; i < 3; ++i) {
        Bytes out;
        bool keyFrame = true;
        ASSERT_TRUE(encodeOne(encoder, false, out, keyFrame)) << i;
        const EncodedAccessUnit unit = packAccessUnit(out.data(), out.size(), false);
        EXPECT_EQ(keyFrame, i == 0) << i;
        EXPECT_EQ(unit.keyFrame, i == 0) << i;
        EXPECT_EQ(unit.parameterSets.size(), i == 0 ? 2u : 0u) << i;
        EXPECT_FALSE(unit.payload.empty()) << i;
    }
}

// Pictures are stamped one frame duration apart from 0; no frame rate means one per second.
TEST_F(Encoder, StampsPicturesOnTheFrameClock) {
    const struct {
        int fps;
        LONGLONG duration;
        UINT32 typeRate;
    } cases[] = {{30, 333'333, 30}, {60, 166'666, 60}, {0, 10'000'000, 1}, {-1, 10'000'000, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fps);
        const Record before = record();
        VideoEncoder encoder;
        ASSERT_TRUE(encoder.open(64, 48, c.fps, 1'000'000));
        Bytes out;
        bool keyFrame = false;
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(encodeOne(encoder, false, out, keyFrame));
        const Record r = record();
        ASSERT_EQ(r.inputs.size(), before.inputs.size() + 3);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(r.inputs[before.inputs.size() + i].time, LONGLONG(i) * c.duration);
            EXPECT_EQ(r.inputs[before.inputs.size() + i].duration, c.duration);
        }
        EXPECT_EQ(pair(r.types[before.types.size()].type.Get(), MF_MT_FRAME_RATE), std::make_pair(c.typeRate, 1u));
    }
}

TEST_F(Encoder, ASecondOpenEndsTheFirstStreamAndRestartsTheClock) {
    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
    Bytes out;
    bool keyFrame = false;
    ASSERT_TRUE(encodeOne(encoder, false, out, keyFrame));
    ASSERT_TRUE(encoder.open(96, 64, 60, 1'000'000));
    ASSERT_TRUE(encodeOne(encoder, false, out, keyFrame));
    EXPECT_TRUE(keyFrame);  // a new stream starts with a key frame
    encoder.close();
    encoder.close();  // closing twice ends the stream once
    const Record r = record();
    EXPECT_EQ(r.instances, 2);
    EXPECT_EQ(r.messages, (std::vector<MFT_MESSAGE_TYPE>{
                              MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM,
                              MFT_MESSAGE_NOTIFY_END_OF_STREAM, MFT_MESSAGE_NOTIFY_END_STREAMING,
                              MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM,
                              MFT_MESSAGE_NOTIFY_END_OF_STREAM, MFT_MESSAGE_NOTIFY_END_STREAMING}));
    EXPECT_EQ(acceptedTimes(r), (std::vector<LONGLONG>{0, 0}));
    Bytes after;
    EXPECT_FALSE(encodeOne(encoder, false, after, keyFrame));
}

// An encoder that holds one picture back answers the first call with nothing; a forced key frame
// shows in the call whose output holds the IDR picture, one call later.
TEST_F(Encoder, HeldBackOutputAndForcedKeyFramesArriveOneCallLater) {
    struct Case {
        bool ignoreForce;
        std::vector<bool> keyFrames;  // per call, the third call forces a key frame
    } cases[] = {
        {false, {false, true, false, true, false}},
        {true, {false, true, false, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ignoreForce);
        Knobs knobs;
        knobs.holdBack = true;
        knobs.ignoreForceKeyFrame = c.ignoreForce;
        setKnobs(knobs);
        VideoEncoder encoder;
        ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
        for (size_t i = 0; i < c.keyFrames.size(); ++i) {
            Bytes out;
            bool keyFrame = false;
            ASSERT_TRUE(encodeOne(encoder, i == 2, out, keyFrame)) << i;
            EXPECT_EQ(out.empty(), i == 0) << i;
            EXPECT_EQ(keyFrame, c.keyFrames[i]) << i;
            EXPECT_EQ(packAccessUnit(out.data(), out.size(), false).keyFrame, c.keyFrames[i]) << i;
        }
    }
    const auto settings = record().settings;
    EXPECT_TRUE(settings.back().api == CODECAPI_AVEncVideoForceKeyFrame);
    EXPECT_EQ(settings.back().value, 1u);
}

// A picture the transform cannot take waits for a drain; one it still cannot take is lost, but the
// clock goes on, so the next picture keeps its real place in time.
TEST_F(Encoder, DrainsWhenTheTransformIsFullAndKeepsTheClockAcrossARefusedPicture) {
    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
    Knobs failing;
    failing.failProcessOutput = true;
    setKnobs(failing);
    Bytes out;
    bool keyFrame = false;
    EXPECT_FALSE(encodeOne(encoder, false, out, keyFrame));  // taken, but nothing comes out
    EXPECT_FALSE(encodeOne(encoder, false, out, keyFrame));  // refused: the transform is full
    setKnobs(Knobs{});
    ASSERT_TRUE(encodeOne(encoder, false, out, keyFrame));  // the held one comes out first, then this one
    EXPECT_TRUE(keyFrame);
    const Record r = record();
    std::vector<HRESULT> results;
    for (const auto& input : r.inputs) results.push_back(input.result);
    EXPECT_EQ(results, (std::vector<HRESULT>{S_OK, MF_E_NOTACCEPTING, MF_E_NOTACCEPTING, S_OK}));
    EXPECT_EQ(acceptedTimes(r), (std::vector<LONGLONG>{0, 666'666}));
    const EncodedAccessUnit unit = packAccessUnit(out.data(), out.size(), false);
    EXPECT_EQ(splitAnnexB(out.data(), out.size()).size(), 6u);  // delimiter, SPS, PPS, IDR; delimiter, slice
    EXPECT_TRUE(unit.keyFrame);
    ASSERT_TRUE(encodeOne(encoder, false, out, keyFrame));  // the encoder stayed open
}

using EncoderStreamChange = MediaFoundationTest;

TEST_F(EncoderStreamChange, ResetsTheOutputTypeAndIsBounded) {
    struct Case {
        Knobs::StreamChange change;
        bool failAvailableType;
        bool ok;
        int answered;     // STREAM_CHANGE answers seen
        size_t outputSets;  // output types set in all
    } cases[] = {
        {Knobs::StreamChange::Once, false, true, 1, 2},
        {Knobs::StreamChange::Always, false, false, 5, 5},  // four are allowed per drain
        {Knobs::StreamChange::Once, true, false, 1, 1},     // no type to set: the drain fails
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.change) * 10 + c.failAvailableType);
        LocalStandInEncoder standIn;
        Knobs knobs;
        knobs.streamChange = c.change;
        knobs.failAvailableType = c.failAvailableType;
        standIn.state().setKnobs(knobs);
        VideoEncoder encoder;
        ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
        Bytes out;
        bool keyFrame = false;
        EXPECT_EQ(encodeOne(encoder, false, out, keyFrame), c.ok);
        EXPECT_EQ(out.empty(), !c.ok);
        const Record r = standIn.state().record();
        EXPECT_EQ(r.streamChanges, c.answered);
        size_t outputSets = 0;
        for (const auto& t : r.types) outputSets += t.output && t.result == S_OK;
        EXPECT_EQ(outputSets, c.outputSets);
        EXPECT_TRUE(encoder.isOpen());
    }
}

// A transform that keeps answering success without output must not hold the capture thread.
TEST_F(Encoder, ADrainOfEmptyAnswersIsBounded) {
    Knobs knobs;
    knobs.emptyOutputs = true;
    setKnobs(knobs);
    VideoEncoder encoder;
    ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
    Bytes out;
    bool keyFrame = false;
    EXPECT_FALSE(encodeOne(encoder, false, out, keyFrame));
    EXPECT_GT(record().emptyAnswers, 0);
    EXPECT_LT(record().emptyAnswers, 10'000);
    EXPECT_TRUE(encoder.isOpen());
}

TEST_F(Encoder, SetBitrateActsOnlyWhileStreaming) {
    VideoEncoder encoder;
    encoder.setBitrate(3'000'000);
    EXPECT_TRUE(record().settings.empty());
    ASSERT_TRUE(encoder.open(64, 48, 30, 1'000'000));
    encoder.setBitrate(4'500'000);
    auto settings = record().settings;
    ASSERT_EQ(settings.size(), 7u);
    EXPECT_TRUE(settings.back().api == CODECAPI_AVEncCommonMeanBitRate);
    EXPECT_EQ(settings.back().type, VT_UI4);
    EXPECT_EQ(settings.back().value, 4'500'000u);
    encoder.close();
    encoder.setBitrate(5'000'000);
    EXPECT_EQ(record().settings.size(), 7u);
}

TEST_F(Encoder, ARefusedOutputTypeIsLoggedAndLeavesTheEncoderClosed) {
    Knobs knobs;
    knobs.maxWidth = 1280;
    knobs.maxHeight = 720;
    setKnobs(knobs);
    LogCapture log;
    VideoEncoder encoder;
    EXPECT_FALSE(encoder.open(1920, 1080, 30, 8'000'000));
    EXPECT_FALSE(encoder.isOpen());
    EXPECT_NE(log.text().find(" 인코더 출력 형식 실패 1920x1080\n"), std::string::npos) << log.text();
    Record r = record();
    ASSERT_EQ(r.types.size(), 1u);  // no input type after a refused output type
    EXPECT_EQ(r.types[0].result, MF_E_INVALIDMEDIATYPE);
    Bytes out;
    bool keyFrame = false;
    EXPECT_FALSE(encoder.encode(Bytes(1920 * 1080 * 3 / 2).data(), false, out, keyFrame));
    // Smaller sizes, as the capture loop tries next, open once one fits.
    EXPECT_FALSE(encoder.open(1536, 864, 30, 8'000'000));
    EXPECT_TRUE(encoder.open(1228, 690, 30, 8'000'000));
}

// A line "영상 준비 N ms" with N whole milliseconds.
bool showsWarmUpTime(const std::string& text) {
    const std::string label = " 영상 준비 ";
    const size_t at = text.find(label);
    if (at == std::string::npos) return false;
    size_t end = at + label.size();
    const size_t digits = end;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    return end > digits && text.compare(end, 4, " ms\n") == 0;
}

TEST_F(Encoder, WarmUpOpensAndClosesASmallEncoder) {
    LogCapture log;
    mediaPrewarm(true);
    ASSERT_TRUE(log.waitFor(" 영상 준비 ", 10'000)) << log.text();
    EXPECT_TRUE(showsWarmUpTime(log.text())) << log.text();
    const Record r = record();
    ASSERT_EQ(r.types.size(), 2u);
    EXPECT_EQ(pair(r.types[0].type.Get(), MF_MT_FRAME_SIZE), std::make_pair(640u, 360u));
    EXPECT_EQ(pair(r.types[0].type.Get(), MF_MT_FRAME_RATE), std::make_pair(30u, 1u));
    EXPECT_EQ(attribute(r.types[0].type.Get(), MF_MT_AVG_BITRATE), 1'000'000u);
    ASSERT_GE(r.messages.size(), 4u);
    EXPECT_EQ(r.messages.back(), MFT_MESSAGE_NOTIFY_END_STREAMING);
    EXPECT_TRUE(r.inputs.empty());
}

// Wine as it is, with no H.264 encoder installed.
class NoEncoder : public MediaFoundationTest {};

TEST_F(NoEncoder, OpenLogsThatThereIsNoEncoder) {
    WithoutInstalledStandIns bare;
    LogCapture log;
    VideoEncoder encoder;
    EXPECT_FALSE(encoder.open(1920, 1080, 30, 8'000'000));
    EXPECT_FALSE(encoder.isOpen());
    EXPECT_NE(log.text().find(" H.264 인코더 없음\n"), std::string::npos) << log.text();
    Bytes out{1, 2, 3};
    bool keyFrame = true;
    EXPECT_FALSE(encoder.encode(Bytes(1920 * 1080 * 3 / 2).data(), false, out, keyFrame));
    EXPECT_TRUE(out.empty());
    EXPECT_FALSE(keyFrame);
}

TEST_F(NoEncoder, WarmUpStillFinishes) {
    WithoutInstalledStandIns bare;
    LogCapture log;
    mediaPrewarm(true);
    ASSERT_TRUE(log.waitFor(" 영상 준비 ", 10'000)) << log.text();
    EXPECT_TRUE(showsWarmUpTime(log.text())) << log.text();
    EXPECT_NE(log.text().find(" H.264 인코더 없음\n"), std::string::npos) << log.text();
}

}  // namespace
