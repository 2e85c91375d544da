#include "media/decoder.h"

#include <mfapi.h>
#include <mferror.h>
#include <strmif.h>
#include <codecapi.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/wire.h"
#include "media/mf.h"
#include "media/stream.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONGLONG kSampleDuration = 166'666;  // 1/60 s

}  // namespace

bool VideoDecoder::configure(ByteSpan header) {
    if (transform_ && header.size() == header_.size() && std::equal(header.begin(), header.end(), header_.begin())) {
        return true;
    }
    ensureMediaFoundation();
    close();
    StreamHeader h;
    try {
        h = StreamHeader::read(header);
    } catch (const ProtoError&) {
        return false;
    }
    // A peer's size is checked before any buffer is sized from it.
    if (!streamSizeAllowed(h.width, h.height)) return false;
    codec_ = h.codec;
    nalLengthSize_ = h.nalLengthSize;
    streamWidth_ = h.width;
    streamHeight_ = h.height;
    parameterSets_ = std::move(h.parameterSets);
    outputWidth_ = int32_t(streamWidth_);
    outputHeight_ = int32_t(streamHeight_);

    const GUID subtype = codec_ == StreamHeader::kHevc ? MFVideoFormat_HEVC : MFVideoFormat_H264;
    transform_ = findVideoTransform(MFT_CATEGORY_VIDEO_DECODER, subtype, GUID_NULL);
    if (!transform_) {
        logLine("디코더 없음");
        return false;
    }
    // Asked twice, as decoders read it from either place: each picture comes out as soon as its
    // input is complete.
    ComPtr<IMFAttributes> attributes;
    if (SUCCEEDED(transform_->GetAttributes(&attributes)) && attributes) {
        attributes->SetUINT32(CODECAPI_AVLowLatencyMode, 1);
    }
    enableLowLatency(transform_.Get());

    ComPtr<IMFMediaType> input;
    bool inputSet = SUCCEEDED(MFCreateMediaType(&input));
    if (inputSet) {
        input->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        input->SetGUID(MF_MT_SUBTYPE, subtype);
        MFSetAttributeSize(input.Get(), MF_MT_FRAME_SIZE, streamWidth_, streamHeight_);
        input->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
        inputSet = SUCCEEDED(transform_->SetInputType(0, input.Get(), 0));
    }
    if (!inputSet) {
        logLine("디코더 입력 형식 실패");
        transform_.Reset();
        return false;
    }
    switch (selectOutputType()) {
        case OutputType::Selected: break;
        case OutputType::TooLarge: close(); return false;  // as for an oversized header
        case OutputType::Failed:
            logLine("디코더 NV12 없음");
            transform_.Reset();
            return false;
    }
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0);
    header_.assign(header.begin(), header.end());
    return true;
}

VideoDecoder::OutputType VideoDecoder::selectOutputType() {
    outputSample_.Reset();
    for (DWORD i = 0;; ++i) {
        ComPtr<IMFMediaType> type;
        if (FAILED(transform_->GetOutputAvailableType(0, i, &type))) return OutputType::Failed;
        GUID subtype{};
        if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) continue;

        // The decoder's pictures follow the parameter sets, which the header's size does not
        // bind: every type it proposes is held to the limits of a header before anything is
        // sized from it.
        UINT32 width = UINT32(outputWidth_), height = UINT32(outputHeight_);
        if (SUCCEEDED(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height)) &&
            !streamSizeAllowed(width, height)) {
            return OutputType::TooLarge;
        }
        if (FAILED(transform_->SetOutputType(0, type.Get(), 0))) return OutputType::Failed;
        outputWidth_ = int32_t(width);
        outputHeight_ = int32_t(height);
        // The stride is a signed value kept in an unsigned attribute.
        outputPitch_ = int32_t(MFGetAttributeUINT32(type.Get(), MF_MT_DEFAULT_STRIDE, UINT32(outputWidth_)));
        UINT32 range = 0;
        nominalRange_ = SUCCEEDED(type->GetUINT32(MF_MT_VIDEO_NOMINAL_RANGE, &range)) ? int32_t(range) : -1;

        MFT_OUTPUT_STREAM_INFO info{};
        transform_->GetOutputStreamInfo(0, &info);
        providesSamples_ =
            (info.dwFlags & (MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES)) != 0;
        const uint64_t picture = uint64_t(outputWidth_) * uint64_t(outputHeight_) * 3 / 2;
        const uint64_t size = std::max<uint64_t>(info.cbSize, picture);
        if (size > kMaxDecodedPictureBytes) return OutputType::TooLarge;
        outputBufferSize_ = uint32_t(size);
        return OutputType::Selected;
    }
}

bool VideoDecoder::decode(ByteSpan payload, bool keyFrame, const FrameCallback& onFrame, uint32_t tag) {
    if (!transform_) return false;
    // Key frames carry the parameter sets in front.
    const Bytes annexB = lengthPrefixedToAnnexB(payload, nalLengthSize_, keyFrame ? &parameterSets_ : nullptr);
    if (annexB.empty()) return false;
    ComPtr<IMFSample> sample = makeMediaSample(annexB.data(), annexB.size(), 0);
    if (!sample) return false;
    sample->SetSampleTime(LONGLONG(sampleTime_));
    sample->SetSampleDuration(kSampleDuration);
    tags_[(sampleTime_ / kSampleDuration) % tags_.size()] = Tagged{sampleTime_, tag};
    sampleTime_ += kSampleDuration;
    if (keyFrame) sample->SetUINT32(MFSampleExtension_CleanPoint, 1);

    HRESULT hr = transform_->ProcessInput(0, sample.Get(), 0);
    if (hr == MF_E_NOTACCEPTING) {
        if (!drain(onFrame)) return false;
        hr = transform_->ProcessInput(0, sample.Get(), 0);
    }
    if (FAILED(hr)) return false;
    return drain(onFrame);
}

bool VideoDecoder::drain(const FrameCallback& onFrame) {
    int streamChanges = 0;
    for (int call = 0; call < kMaxOutputCallsPerDrain; ++call) {
        ComPtr<IMFSample> sample;
        const HRESULT hr =
            processOutputSample(transform_.Get(), 0, providesSamples_, outputBufferSize_, outputSample_, sample);
        if (hr == MF_E_TRANSFORM_NEED_MORE_INPUT) return true;
        if (hr == MF_E_TRANSFORM_STREAM_CHANGE) {
            if (++streamChanges > kMaxStreamChangesPerDrain) return false;
            switch (selectOutputType()) {
                case OutputType::Selected: continue;
                case OutputType::Failed: return false;
                case OutputType::TooLarge:
                    // A picture beyond what a header may announce ends the stream: only a new
                    // header starts another.
                    close();
                    return false;
            }
        }
        if (FAILED(hr)) return false;
        if (sample) deliver(sample.Get(), onFrame);
    }
    return false;
}

uint32_t VideoDecoder::tagOf(IMFSample* sample) const {
    LONGLONG time = 0;
    if (FAILED(sample->GetSampleTime(&time)) || time < 0) return 0;
    const Tagged& entry = tags_[(uint64_t(time) / kSampleDuration) % tags_.size()];
    return entry.time == uint64_t(time) ? entry.tag : 0;
}

void VideoDecoder::deliver(IMFSample* sample, const FrameCallback& onFrame) const {
    const uint32_t tag = tagOf(sample);
    ComPtr<IMFMediaBuffer> buffer;
    if (FAILED(sample->GetBufferByIndex(0, &buffer))) return;
    OutputFormat format;
    format.streamWidth = streamWidth_;
    format.streamHeight = streamHeight_;
    format.outputWidth = outputWidth_;
    format.outputHeight = outputHeight_;
    format.nominalRange = nominalRange_;
    format.defaultFullRange = fullRangeDefault_;
    // Hands the picture over only when the locked memory holds both planes at this pitch.
    auto emit = [&](const BYTE* first, size_t length) {
        const FrameGeometry geometry = frameGeometry(format, length);
        if (!geometry.fits || !onFrame) return;
        DecodedFrame frame;
        frame.y = first;
        frame.uv = first + geometry.uvOffset;
        frame.pitch = format.pitch;
        frame.width = geometry.width;
        frame.height = geometry.height;
        frame.fullRange = geometry.fullRange;
        frame.tag = tag;
        onFrame(frame);
    };

    ComPtr<IMF2DBuffer> twoD;
    if (SUCCEEDED(buffer.As(&twoD))) {
        BYTE* first = nullptr;
        LONG pitch = 0;
        size_t length = 0;
        ComPtr<IMF2DBuffer2> twoD2;
        HRESULT hr;
        if (SUCCEEDED(buffer.As(&twoD2))) {
            BYTE* start = nullptr;
            DWORD total = 0;
            hr = twoD2->Lock2DSize(MF2DBuffer_LockFlags_Read, &first, &pitch, &start, &total);
            if (SUCCEEDED(hr) && first >= start && size_t(first - start) <= total) length = total - size_t(first - start);
        } else {
            hr = twoD->Lock2D(&first, &pitch);
            DWORD total = 0;
            if (SUCCEEDED(hr) && SUCCEEDED(buffer->GetMaxLength(&total))) length = total;
        }
        if (SUCCEEDED(hr)) {
            if (first && pitch > 0) {
                format.pitch = int32_t(pitch);
                emit(first, length);
            }
            twoD->Unlock2D();
            return;
        }
    }
    BYTE* bytes = nullptr;
    DWORD current = 0;
    if (FAILED(buffer->Lock(&bytes, nullptr, &current))) return;
    format.pitch = outputPitch_ >= 1 ? outputPitch_ : outputWidth_;
    if (bytes && format.pitch > 0) emit(bytes, current);
    buffer->Unlock();
}

void VideoDecoder::close() {
    if (transform_) {
        transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0);
        transform_.Reset();
    }
    outputSample_.Reset();
    header_.clear();
}
