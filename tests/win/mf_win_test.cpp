// The shared Media Foundation helpers against the system's own transforms.
#include <mfapi.h>
#include <mferror.h>
#include <codecapi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/mf.h"
#include "support/class_factory_win.h"
#include "support/mf_test.h"
#include "support/run_tool.h"

using Microsoft::WRL::ComPtr;

namespace {

using MediaHelpers = MediaFoundationTest;

// Start-up happens once per process, so it is watched in a fresh one: threads that all ask first
// at the same moment must each find Media Foundation started when their call returns, and it must
// have been started once, not once per thread. Media Foundation hands out work queues only while
// started, and needs one shutdown per start-up before it stops.
TEST(MediaStartup, ConcurrentFirstCallsAllReturnWithMediaFoundationStarted) {
    std::string output;
    ASSERT_TRUE(runTool("media_first_start_win", output)) << output;
    EXPECT_EQ(output, "before c00d3e85\n"  // MF_E_SHUTDOWN: nothing started it before the threads
                      "threads 8 of 8\n"
                      "after one shutdown c00d3e85\n");
}

TEST_F(MediaHelpers, FindsTheSystemH264DecoderWithoutAFriendlyName) {
    std::string name = "before:";
    ComPtr<IMFTransform> decoder = findVideoTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_H264, GUID_NULL, &name);
    ASSERT_TRUE(decoder);
    EXPECT_EQ(name, "before:");
    // Asking for NV12 output narrows the search to decoders that give it.
    EXPECT_TRUE(findVideoTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_H264, MFVideoFormat_NV12));
}

TEST_F(MediaHelpers, FindsNothingWhereNoTransformIsInstalled) {
    // This platform has no HEVC decoder.
    EXPECT_FALSE(findVideoTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_HEVC, GUID_NULL));
    EXPECT_FALSE(hasHevcDecoder());
    EXPECT_FALSE(hasHevcDecoder());  // the cached answer
}

TEST_F(MediaHelpers, MediaSampleHoldsTheBytesInABufferOfTheLargerSize) {
    const uint8_t bytes[5] = {1, 2, 0, 0xFE, 5};
    struct Case {
        const uint8_t* bytes;
        size_t length, capacity;
        DWORD maxAtLeast, current;
    } cases[] = {
        {bytes, 5, 0, 5, 5},
        {bytes, 5, 100, 100, 5},
        {nullptr, 0, 100, 100, 0},
        {bytes, 0, 8, 8, 0},  // nothing to copy
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + "/" + std::to_string(c.capacity));
        ComPtr<IMFSample> sample = makeMediaSample(c.bytes, c.length, c.capacity);
        ASSERT_TRUE(sample);
        DWORD buffers = 0;
        ASSERT_EQ(sample->GetBufferCount(&buffers), S_OK);
        ASSERT_EQ(buffers, 1u);
        ComPtr<IMFMediaBuffer> buffer;
        ASSERT_EQ(sample->GetBufferByIndex(0, &buffer), S_OK);
        BYTE* data = nullptr;
        DWORD max = 0, current = 0;
        ASSERT_EQ(buffer->Lock(&data, &max, &current), S_OK);
        EXPECT_GE(max, c.maxAtLeast);
        EXPECT_EQ(current, c.current);
        if (c.current) {
            EXPECT_EQ(std::vector<uint8_t>(data, data + current), std::vector<uint8_t>(c.bytes, c.bytes + c.length));
        }
        buffer->Unlock();
    }
}

// An object that only counts what it is asked for: no ICodecAPI.
class QueryCounter : public ComObject<IUnknown> {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (iid == IID_ICodecAPI) ++codecQueries;
        else if (iid != __uuidof(IUnknown)) ++otherQueries;
        return ComObject<IUnknown>::QueryInterface(iid, object);
    }
    int codecQueries = 0, otherQueries = 0;
};

TEST_F(MediaHelpers, CodecSettingsOnAnObjectWithoutICodecApiAreIgnored) {
    // Each call asks for ICodecAPI once, takes the refusal quietly and keeps no reference.
    const ComPtr<QueryCounter> counter = adoptNew<QueryCounter>(new QueryCounter);
    setCodecValue(counter.Get(), CODECAPI_AVEncCommonMeanBitRate, 1);
    enableLowLatency(counter.Get());
    EXPECT_EQ(counter->codecQueries, 2);
    EXPECT_EQ(counter->otherQueries, 0);
    counter->AddRef();
    EXPECT_EQ(counter->Release(), 1u);  // only ours is left
    setCodecValue(nullptr, CODECAPI_AVEncCommonMeanBitRate, 1);
    enableLowLatency(nullptr);

    // The system's H.264 decoder has no ICodecAPI either.
    ComPtr<IMFTransform> decoder = findVideoTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_H264, GUID_NULL);
    ASSERT_TRUE(decoder);
    setCodecValue(decoder.Get(), CODECAPI_AVEncCommonMeanBitRate, 1);
    enableLowLatency(decoder.Get());
}

}  // namespace
