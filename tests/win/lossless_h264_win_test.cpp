// The lossless H.264 writer of tests/support against the system's own H.264 decoder transform:
// every picture must come back byte for byte, so the stand-in encoder built on the writer can
// test the viewer's decoding exactly.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/local_transform_win.h"
#include "support/lossless_h264.h"
#include "support/nv12_pattern.h"

using Microsoft::WRL::ComPtr;

namespace {

class MediaFoundation : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK);
    }
    void TearDown() override {
        MFShutdown();
        CoUninitialize();
    }
};

struct Output {
    UINT32 width = 0, height = 0, stride = 0;
};

bool selectNv12(IMFTransform* t, Output& out) {
    for (DWORD i = 0;; ++i) {
        ComPtr<IMFMediaType> type;
        if (FAILED(t->GetOutputAvailableType(0, i, &type))) return false;
        GUID subtype{};
        if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) continue;
        if (FAILED(t->SetOutputType(0, type.Get(), 0))) return false;
        MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &out.width, &out.height);
        out.stride = MFGetAttributeUINT32(type.Get(), MF_MT_DEFAULT_STRIDE, out.width);
        return true;
    }
}

// Collects every picture the decoder has ready, cropped to width x height as tight NV12.
bool drain(IMFTransform* t, Output& out, int width, int height, std::vector<std::vector<uint8_t>>& pictures) {
    for (;;) {
        MFT_OUTPUT_STREAM_INFO info{};
        if (FAILED(t->GetOutputStreamInfo(0, &info))) return false;
        ComPtr<IMFSample> sample;
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(MFCreateSample(&sample)) ||
            FAILED(MFCreateMemoryBuffer(std::max<DWORD>(info.cbSize, out.stride * out.height * 3 / 2), &buffer)) ||
            FAILED(sample->AddBuffer(buffer.Get()))) {
            return false;
        }
        MFT_OUTPUT_DATA_BUFFER data{};
        data.pSample = sample.Get();
        DWORD status = 0;
        const HRESULT hr = t->ProcessOutput(0, 1, &data, &status);
        if (data.pEvents) data.pEvents->Release();
        if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return true;
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            if (!selectNv12(t, out)) return false;
            continue;
        }
        if (FAILED(hr)) return false;
        BYTE* bytes = nullptr;
        DWORD length = 0;
        if (FAILED(buffer->Lock(&bytes, nullptr, &length))) return false;
        std::vector<uint8_t> picture(size_t(width) * size_t(height) * 3 / 2);
        const BYTE* uv = bytes + size_t(out.stride) * out.height;
        for (int y = 0; y < height; ++y) std::copy_n(bytes + size_t(y) * out.stride, width, picture.data() + size_t(y) * size_t(width));
        for (int y = 0; y < height / 2; ++y) {
            std::copy_n(uv + size_t(y) * out.stride, width, picture.data() + size_t(width) * size_t(height + y));
        }
        buffer->Unlock();
        pictures.push_back(std::move(picture));
    }
}

TEST_F(MediaFoundation, DecoderReturnsTheWritersPicturesExactly) {
    for (const auto& [width, height] : {std::pair{100, 64}, {64, 64}, {320, 240}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        ComPtr<IMFTransform> t = installedTransform(MFT_CATEGORY_VIDEO_DECODER, MFVideoFormat_H264);
        ASSERT_TRUE(t);
        ComPtr<IMFMediaType> in;
        ASSERT_EQ(MFCreateMediaType(&in), S_OK);
        in->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        in->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
        MFSetAttributeSize(in.Get(), MF_MT_FRAME_SIZE, UINT32(width), UINT32(height));
        in->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
        ASSERT_EQ(t->SetInputType(0, in.Get(), 0), S_OK);
        Output out;
        ASSERT_TRUE(selectNv12(t.Get(), out));
        t->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
        t->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);

        LosslessH264Writer writer(width, height);
        std::vector<std::vector<uint8_t>> sent, got;
        // Decoders may hold several pictures back (Wine's: 7) and need not give them up on a
        // drain, so more pictures go in than are compared.
        const int kCompared = 12, kSent = 24;
        for (int i = 0; i < kSent; ++i) {
            sent.push_back(nv12Pattern(width, height, i));
            const std::vector<uint8_t> au = writer.encode(sent.back().data(), i % 6 == 0);
            ComPtr<IMFSample> sample;
            ComPtr<IMFMediaBuffer> buffer;
            ASSERT_EQ(MFCreateMemoryBuffer(DWORD(au.size()), &buffer), S_OK);
            BYTE* bytes = nullptr;
            ASSERT_EQ(buffer->Lock(&bytes, nullptr, nullptr), S_OK);
            std::copy(au.begin(), au.end(), bytes);
            buffer->Unlock();
            buffer->SetCurrentLength(DWORD(au.size()));
            ASSERT_EQ(MFCreateSample(&sample), S_OK);
            sample->AddBuffer(buffer.Get());
            sample->SetSampleTime(i * 166666LL);
            sample->SetSampleDuration(166666);
            HRESULT hr = t->ProcessInput(0, sample.Get(), 0);
            if (hr == MF_E_NOTACCEPTING) {
                ASSERT_TRUE(drain(t.Get(), out, width, height, got));
                hr = t->ProcessInput(0, sample.Get(), 0);
            }
            ASSERT_EQ(hr, S_OK) << i;
            ASSERT_TRUE(drain(t.Get(), out, width, height, got)) << i;
        }
        t->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
        ASSERT_TRUE(drain(t.Get(), out, width, height, got));
        EXPECT_EQ(out.width, UINT32((width + 15) / 16 * 16));
        ASSERT_GE(got.size(), size_t(kCompared));
        for (size_t i = 0; i < got.size(); ++i) EXPECT_TRUE(got[i] == sent[i]) << "picture " << i;
        t->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    }
}

}  // namespace
