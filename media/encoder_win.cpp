#include "media/encoder.h"

#include <mfapi.h>
#include <mferror.h>
#include <strmif.h>
#include <codecapi.h>

#include <algorithm>
#include <string>

#include "media/mf.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT32 kMainProfile = 77;

// Size, rate, aspect and scan shared by the output and the input type.
void describePictures(IMFMediaType* type, int width, int height, uint32_t frameRate) {
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    MFSetAttributeSize(type, MF_MT_FRAME_SIZE, UINT32(width), UINT32(height));
    MFSetAttributeRatio(type, MF_MT_FRAME_RATE, frameRate, 1);
    MFSetAttributeRatio(type, MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
}

}  // namespace

bool VideoEncoder::open(int width, int height, int fps, uint32_t bitrate) {
    ensureMediaFoundation();
    close();
    width_ = width;
    height_ = height;
    frameRate_ = fps > 0 ? uint32_t(fps) : 1;
    name_.clear();
    transform_ = findVideoTransform(MFT_CATEGORY_VIDEO_ENCODER, MFVideoFormat_NV12, MFVideoFormat_H264, &name_);
    if (!transform_) {
        logLine("H.264 인코더 없음");
        return false;
    }
    codec_ = transform_;
    if (FAILED(transform_->GetStreamIDs(1, &inputStream_, 1, &outputStream_))) inputStream_ = outputStream_ = 0;

    enableLowLatency(codec_.Get());
    setCodecValue(codec_.Get(), CODECAPI_AVEncCommonRateControlMode, eAVEncCommonRateControlMode_CBR);
    setCodecValue(codec_.Get(), CODECAPI_AVEncCommonMeanBitRate, bitrate);
    setCodecValue(codec_.Get(), CODECAPI_AVEncMPVDefaultBPictureCount, 0);
    // A key frame at most every 600 seconds unless one is asked for.
    setCodecValue(codec_.Get(), CODECAPI_AVEncMPVGOPSize, frameRate_ * 600);
    setCodecValue(codec_.Get(), CODECAPI_AVEncCommonQualityVsSpeed, 20);

    // The output type goes first: encoders derive the input types they accept from it.
    ComPtr<IMFMediaType> output;
    bool outputSet = width > 0 && height > 0 && SUCCEEDED(MFCreateMediaType(&output));
    if (outputSet) {
        describePictures(output.Get(), width, height, frameRate_);
        output->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
        output->SetUINT32(MF_MT_AVG_BITRATE, bitrate);
        output->SetUINT32(MF_MT_MPEG2_PROFILE, kMainProfile);
        outputSet = SUCCEEDED(transform_->SetOutputType(outputStream_, output.Get(), 0));
    }
    if (!outputSet) {
        logLine("인코더 출력 형식 실패 " + std::to_string(width) + "x" + std::to_string(height));
        close();
        return false;
    }

    // Limited-range BT.709, as the colour conversion writes it.
    ComPtr<IMFMediaType> input;
    bool inputSet = SUCCEEDED(MFCreateMediaType(&input));
    if (inputSet) {
        describePictures(input.Get(), width, height, frameRate_);
        input->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
        input->SetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, MFNominalRange_16_235);
        input->SetUINT32(MF_MT_YUV_MATRIX, MFVideoTransferMatrix_BT709);
        inputSet = SUCCEEDED(transform_->SetInputType(inputStream_, input.Get(), 0));
    }
    if (!inputSet) {
        logLine("인코더 입력 형식 실패");
        close();
        return false;
    }

    MFT_OUTPUT_STREAM_INFO info{};
    transform_->GetOutputStreamInfo(outputStream_, &info);
    providesSamples_ = (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
    // At least one uncompressed picture, so no output is ever cut short.
    outputBufferSize_ = std::max<size_t>(info.cbSize, size_t(width) * size_t(height) * 3 / 2);

    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    sampleTime_ = 0;
    return true;
}

bool VideoEncoder::encode(const uint8_t* nv12, bool forceKeyFrame, Bytes& out, bool& keyFrameOut) {
    out.clear();
    keyFrameOut = false;
    if (!transform_ || !nv12) return false;
    if (forceKeyFrame) setCodecValue(codec_.Get(), CODECAPI_AVEncVideoForceKeyFrame, 1);
    ComPtr<IMFSample> sample = makeMediaSample(nv12, size_t(width_) * size_t(height_) * 3 / 2, 0);
    if (!sample) return false;
    const int64_t duration = 10'000'000 / frameRate_;
    sample->SetSampleTime(sampleTime_);
    sample->SetSampleDuration(duration);
    sampleTime_ += duration;  // also when the picture is refused: the timeline keeps real time

    HRESULT hr = transform_->ProcessInput(inputStream_, sample.Get(), 0);
    if (hr == MF_E_NOTACCEPTING) {
        if (!drain(out, keyFrameOut)) return false;
        hr = transform_->ProcessInput(inputStream_, sample.Get(), 0);
    }
    if (FAILED(hr)) return false;
    return drain(out, keyFrameOut);
}

bool VideoEncoder::drain(Bytes& out, bool& keyFrameOut) {
    int streamChanges = 0;
    for (int call = 0; call < kMaxOutputCallsPerDrain; ++call) {
        ComPtr<IMFSample> sample;
        const HRESULT hr = processOutputSample(transform_.Get(), outputStream_, providesSamples_, outputBufferSize_,
                                               outputSample_, sample);
        if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return true;
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            outputSample_.Reset();
            if (++streamChanges > kMaxStreamChangesPerDrain) return false;
            ComPtr<IMFMediaType> type;
            if (FAILED(transform_->GetOutputAvailableType(outputStream_, 0, &type)) ||
                FAILED(transform_->SetOutputType(outputStream_, type.Get(), 0))) {
                return false;
            }
            continue;
        }
        if (FAILED(hr)) return false;

        if (!sample) continue;
        ComPtr<IMFMediaBuffer> buffer;
        BYTE* bytes = nullptr;
        DWORD length = 0;
        if (FAILED(sample->ConvertToContiguousBuffer(&buffer)) || FAILED(buffer->Lock(&bytes, nullptr, &length))) {
            return false;
        }
        out.insert(out.end(), bytes, bytes + length);
        buffer->Unlock();
        if (MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0) != 0) keyFrameOut = true;
    }
    return false;
}

void VideoEncoder::setBitrate(uint32_t bitsPerSecond) {
    if (transform_) setCodecValue(codec_.Get(), CODECAPI_AVEncCommonMeanBitRate, bitsPerSecond);
}

void VideoEncoder::close() {
    if (transform_) {
        transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0);
        transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
    }
    codec_.Reset();
    transform_.Reset();
    outputSample_.Reset();
}
