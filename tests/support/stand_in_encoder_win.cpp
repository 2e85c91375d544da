#include "support/stand_in_encoder_win.h"

#include <mferror.h>
#include <strmif.h>
#include <codecapi.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>

#include "support/class_factory_win.h"
#include "support/lossless_h264.h"

using Microsoft::WRL::ComPtr;

// {0E575E1E-82B0-4088-B0E0-BB66961BC964}
const CLSID CLSID_StandInH264Encoder = {0x0e575e1e, 0x82b0, 0x4088, {0xb0, 0xe0, 0xbb, 0x66, 0x96, 0x1b, 0xc9, 0x64}};
const MFT_REGISTER_TYPE_INFO kStandInEncoderInput{MFMediaType_Video, MFVideoFormat_NV12};
const MFT_REGISTER_TYPE_INFO kStandInEncoderOutput{MFMediaType_Video, MFVideoFormat_H264};

StandInEncoderKnobs StandInEncoderState::knobs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return knobs_;
}

void StandInEncoderState::setKnobs(const StandInEncoderKnobs& knobs) {
    std::lock_guard<std::mutex> lock(mutex_);
    knobs_ = knobs;
}

StandInEncoderRecord StandInEncoderState::record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_;
}

namespace {

using Knobs = StandInEncoderKnobs;
using Record = StandInEncoderRecord;

ComPtr<IMFMediaType> copyType(IMFMediaType* type) {
    ComPtr<IMFMediaType> copy;
    if (type && SUCCEEDED(MFCreateMediaType(&copy))) type->CopyAllItems(copy.Get());
    return copy;
}

bool isSetting(const GUID& api) {
    static const GUID known[] = {CODECAPI_AVLowLatencyMode,          CODECAPI_AVEncCommonRateControlMode,
                                 CODECAPI_AVEncCommonMeanBitRate,    CODECAPI_AVEncMPVDefaultBPictureCount,
                                 CODECAPI_AVEncMPVGOPSize,           CODECAPI_AVEncCommonQualityVsSpeed,
                                 CODECAPI_AVEncVideoForceKeyFrame};
    return std::find(std::begin(known), std::end(known), api) != std::end(known);
}

class StandInEncoder : public IMFTransform, public ICodecAPI {
public:
    explicit StandInEncoder(std::shared_ptr<StandInEncoderState> state) : state_(std::move(state)) {
        MFCreateAttributes(&attributes_, 1);
        state_->note([](Record& r) { ++r.instances; });
    }

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == IID_IMFTransform) {
            *object = static_cast<IMFTransform*>(this);
        } else if (iid == IID_ICodecAPI) {
            *object = static_cast<ICodecAPI*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    // IMFTransform
    STDMETHODIMP GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) override {
        if (!inMin || !inMax || !outMin || !outMax) return E_POINTER;
        *inMin = *inMax = *outMin = *outMax = 1;
        return S_OK;
    }
    STDMETHODIMP GetStreamCount(DWORD* inputs, DWORD* outputs) override {
        if (!inputs || !outputs) return E_POINTER;
        *inputs = *outputs = 1;
        return S_OK;
    }
    STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) override {
        if (!info) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        *info = {};
        info->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER |
                        MFT_INPUT_STREAM_FIXED_SAMPLE_SIZE;
        info->cbSize = DWORD(pictureBytes());
        return S_OK;
    }
    STDMETHODIMP GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) override {
        if (!info) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        *info = {};
        info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
        info->cbSize = DWORD(largestAccessUnit());
        return S_OK;
    }
    STDMETHODIMP GetAttributes(IMFAttributes** attributes) override {
        if (!attributes) return E_POINTER;
        *attributes = attributes_.Get();
        if (*attributes) (*attributes)->AddRef();
        return *attributes ? S_OK : E_OUTOFMEMORY;
    }
    STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }

    STDMETHODIMP GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
        if (!type) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!output_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (index > 0) return MF_E_NO_MORE_TYPES;
        ComPtr<IMFMediaType> t;
        if (FAILED(MFCreateMediaType(&t))) return E_OUTOFMEMORY;
        t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
        t->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
        MFSetAttributeSize(t.Get(), MF_MT_FRAME_SIZE, width_, height_);
        *type = t.Detach();
        return S_OK;
    }
    STDMETHODIMP GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
        if (!type) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (state_->knobs().failAvailableType) return E_FAIL;
        if (index > 0) return MF_E_NO_MORE_TYPES;
        std::lock_guard<std::mutex> lock(mutex_);
        ComPtr<IMFMediaType> t = copyType(output_.Get());
        if (!t && SUCCEEDED(MFCreateMediaType(&t))) {
            t->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
            t->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
        }
        if (!t) return E_OUTOFMEMORY;
        *type = t.Detach();
        return S_OK;
    }

    STDMETHODIMP SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        UINT32 width = 0, height = 0;
        HRESULT hr = S_OK;
        if (type) {
            const Knobs knobs = state_->knobs();
            GUID major{}, subtype{};
            if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video ||
                FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_H264 ||
                FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) || width < 2 || height < 2 ||
                width % 2 || height % 2 || (knobs.maxWidth && width > knobs.maxWidth) ||
                (knobs.maxHeight && height > knobs.maxHeight) || knobs.refuseOutputType) {
                hr = MF_E_INVALIDMEDIATYPE;
            }
        }
        if (flags & MFT_SET_TYPE_TEST_ONLY) return hr;
        state_->note([&](Record& r) { r.types.push_back({true, copyType(type), hr}); });
        if (FAILED(hr)) return hr;
        needOutputType_ = false;
        if (type && output_ && width == width_ && height == height_) {
            output_ = copyType(type);  // the same stream goes on
            return S_OK;
        }
        output_ = copyType(type);
        input_.Reset();
        held_.clear();
        width_ = width;
        height_ = height;
        writer_ = type ? std::make_unique<LosslessH264Writer>(int(width), int(height)) : nullptr;
        return S_OK;
    }
    STDMETHODIMP SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        HRESULT hr = S_OK;
        if (!output_) {
            hr = MF_E_TRANSFORM_TYPE_NOT_SET;
        } else if (type && state_->knobs().refuseInputType) {
            hr = MF_E_INVALIDMEDIATYPE;
        } else if (type) {
            GUID major{}, subtype{};
            UINT32 width = 0, height = 0;
            if (FAILED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) || major != MFMediaType_Video ||
                FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12 ||
                FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) || width != width_ ||
                height != height_) {
                hr = MF_E_INVALIDMEDIATYPE;
            }
        }
        if (flags & MFT_SET_TYPE_TEST_ONLY) return hr;
        state_->note([&](Record& r) { r.types.push_back({false, copyType(type), hr}); });
        if (SUCCEEDED(hr)) input_ = copyType(type);
        return hr;
    }
    STDMETHODIMP GetInputCurrentType(DWORD stream, IMFMediaType** type) override {
        return currentType(stream, input_, type);
    }
    STDMETHODIMP GetOutputCurrentType(DWORD stream, IMFMediaType** type) override {
        return currentType(stream, output_, type);
    }
    STDMETHODIMP GetInputStatus(DWORD stream, DWORD* flags) override {
        if (!flags) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        *flags = held_.size() < capacity() ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
        return S_OK;
    }
    STDMETHODIMP GetOutputStatus(DWORD* flags) override {
        if (!flags) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        *flags = ready() ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
        return S_OK;
    }
    STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

    STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
        std::lock_guard<std::mutex> lock(mutex_);
        state_->note([&](Record& r) { r.messages.push_back(message); });
        if (message == MFT_MESSAGE_COMMAND_FLUSH) held_.clear();
        if (message == MFT_MESSAGE_COMMAND_DRAIN) draining_ = true;
        return S_OK;
    }

    STDMETHODIMP ProcessInput(DWORD stream, IMFSample* sample, DWORD) override {
        if (!sample) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        LONGLONG time = -1, duration = -1;
        sample->GetSampleTime(&time);
        sample->GetSampleDuration(&duration);
        const HRESULT hr = takeInput(sample, time, duration);
        state_->note([&](Record& r) { r.inputs.push_back({time, duration, hr}); });
        return hr;
    }

    STDMETHODIMP ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
        if (!buffers || !status) return E_POINTER;
        if (count != 1) return E_INVALIDARG;
        *status = 0;
        const Knobs knobs = state_->knobs();
        std::lock_guard<std::mutex> lock(mutex_);
        if (knobs.failProcessOutput) return E_FAIL;
        if (knobs.emptyOutputs) {
            int answers = 0;
            state_->note([&answers](Record& r) { answers = ++r.emptyAnswers; });
            return answers > 10'000 ? MF_E_TRANSFORM_NEED_MORE_INPUT : S_OK;
        }
        if (!output_ || !input_ || needOutputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        const bool changeNow = knobs.streamChange == Knobs::StreamChange::Always ||
                               (knobs.streamChange == Knobs::StreamChange::Once && !changedOnce_ && ready());
        if (changeNow) {
            changedOnce_ = true;
            needOutputType_ = knobs.streamChange == Knobs::StreamChange::Once;
            buffers[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
            state_->note([](Record& r) { ++r.streamChanges; });
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (!ready()) {
            draining_ = false;
            return MF_E_TRANSFORM_NEED_MORE_INPUT;
        }
        IMFSample* sample = buffers[0].pSample;
        if (!sample) return E_INVALIDARG;  // no samples of its own
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(sample->GetBufferByIndex(0, &buffer))) return E_INVALIDARG;
        BYTE* data = nullptr;
        DWORD max = 0;
        if (FAILED(buffer->Lock(&data, &max, nullptr))) return E_FAIL;
        if (max < largestAccessUnit()) {  // checked before the writer moves on to the next picture
            buffer->Unlock();
            return MF_E_BUFFERTOOSMALL;
        }
        const Picture& picture = held_.front();
        const std::vector<uint8_t> unit = writer_->encode(picture.nv12.data(), picture.idr);
        std::memcpy(data, unit.data(), unit.size());
        buffer->Unlock();
        buffer->SetCurrentLength(DWORD(unit.size()));
        sample->SetSampleTime(picture.time);
        sample->SetSampleDuration(picture.duration);
        sample->SetUINT32(MFSampleExtension_CleanPoint, picture.idr ? 1 : 0);
        held_.pop_front();
        return S_OK;
    }

    // ICodecAPI
    STDMETHODIMP IsSupported(const GUID* api) override { return api && isSetting(*api) ? S_OK : E_NOTIMPL; }
    STDMETHODIMP IsModifiable(const GUID* api) override { return IsSupported(api); }
    STDMETHODIMP GetParameterRange(const GUID*, VARIANT*, VARIANT*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetParameterValues(const GUID*, VARIANT**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetDefaultValue(const GUID*, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetValue(const GUID* api, VARIANT* value) override {
        if (!api || !value) return E_POINTER;
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = values_.find(*api);
        if (found == values_.end()) return E_FAIL;
        VariantInit(value);
        value->vt = VT_UI4;
        value->ulVal = found->second;
        return S_OK;
    }
    STDMETHODIMP SetValue(const GUID* api, VARIANT* value) override {
        if (!api || !value) return E_POINTER;
        if (!isSetting(*api)) return E_NOTIMPL;
        uint64_t v = 0;
        switch (value->vt) {
        case VT_UI4: v = value->ulVal; break;
        case VT_BOOL: v = value->boolVal ? 1 : 0; break;
        default: return E_INVALIDARG;
        }
        const Knobs knobs = state_->knobs();
        std::lock_guard<std::mutex> lock(mutex_);
        state_->note([&](Record& r) { r.settings.push_back({*api, value->vt, v}); });
        values_[*api] = uint32_t(v);
        if (*api == CODECAPI_AVEncVideoForceKeyFrame && v && !knobs.ignoreForceKeyFrame) forceKeyFrame_ = true;
        return S_OK;
    }
    STDMETHODIMP RegisterForEvent(const GUID*, LONG_PTR) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterForEvent(const GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllDefaults() override { return E_NOTIMPL; }
    STDMETHODIMP SetValueWithNotify(const GUID*, VARIANT*, GUID**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllDefaultsWithNotify(GUID**, ULONG*) override { return E_NOTIMPL; }
    STDMETHODIMP GetAllSettings(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllSettings(IStream*) override { return E_NOTIMPL; }
    STDMETHODIMP SetAllSettingsWithNotify(IStream*, GUID**, ULONG*) override { return E_NOTIMPL; }

private:
    struct Picture {
        std::vector<uint8_t> nv12;
        LONGLONG time, duration;
        bool idr;
    };

    virtual ~StandInEncoder() = default;

    size_t pictureBytes() const { return size_t(width_) * height_ * 3 / 2; }
    // The writer's largest access unit: delimiter and parameter sets, a slice header, and per
    // macroblock its type, alignment and 384 samples, each byte possibly behind an emulation
    // prevention byte.
    size_t largestAccessUnit() const {
        if (!writer_) return 0;
        const size_t macroblocks = size_t((width_ + 15) / 16) * ((height_ + 15) / 16);
        return 256 + (16 + macroblocks * 386) * 3 / 2;
    }
    size_t capacity() const { return state_->knobs().holdBack ? 2 : 1; }
    bool ready() const { return held_.size() > (capacity() > 1 && !draining_ ? 1u : 0u); }

    HRESULT takeInput(IMFSample* sample, LONGLONG time, LONGLONG duration) {
        if (!output_ || !input_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (held_.size() >= capacity()) return MF_E_NOTACCEPTING;
        ComPtr<IMFMediaBuffer> buffer;
        if (FAILED(sample->ConvertToContiguousBuffer(&buffer))) return E_INVALIDARG;
        BYTE* data = nullptr;
        DWORD length = 0;
        if (FAILED(buffer->Lock(&data, nullptr, &length))) return E_INVALIDARG;
        Picture picture{{}, time, duration, forceKeyFrame_ || !started_};
        if (length >= pictureBytes()) picture.nv12.assign(data, data + pictureBytes());
        buffer->Unlock();
        if (picture.nv12.empty()) return E_INVALIDARG;
        forceKeyFrame_ = false;
        started_ = true;
        held_.push_back(std::move(picture));
        return S_OK;
    }

    HRESULT currentType(DWORD stream, const ComPtr<IMFMediaType>& current, IMFMediaType** type) {
        if (!type) return E_POINTER;
        if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!current) return MF_E_TRANSFORM_TYPE_NOT_SET;
        *type = copyType(current.Get()).Detach();
        return *type ? S_OK : E_OUTOFMEMORY;
    }

    std::atomic<ULONG> refs_{1};
    const std::shared_ptr<StandInEncoderState> state_;
    std::mutex mutex_;
    ComPtr<IMFAttributes> attributes_;
    ComPtr<IMFMediaType> output_, input_;
    UINT32 width_ = 0, height_ = 0;
    std::unique_ptr<LosslessH264Writer> writer_;
    std::deque<Picture> held_;
    std::map<GUID, uint32_t, bool (*)(const GUID&, const GUID&)> values_{
        [](const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) < 0; }};
    bool started_ = false, forceKeyFrame_ = false, draining_ = false;
    bool changedOnce_ = false, needOutputType_ = false;
};

}  // namespace

ComPtr<IClassFactory> makeStandInEncoderFactory(std::shared_ptr<StandInEncoderState> state) {
    return FunctionClassFactory::make([state](REFIID iid, void** object) {
        return adoptNew<IMFTransform>(new StandInEncoder(state)).CopyTo(iid, object);
    });
}

LocalStandInEncoder::LocalStandInEncoder()
    : state_(std::make_shared<StandInEncoderState>()),
      registration_(makeStandInEncoderFactory(state_), MFT_CATEGORY_VIDEO_ENCODER, kStandInEncoderInput,
                    kStandInEncoderOutput) {}
