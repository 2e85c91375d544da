#include "support/fake_aac_encoder_win.h"

#include <mferror.h>

#include <cstring>

#include "support/class_factory_win.h"
#include "support/silent_aac.h"

namespace {

constexpr uint32_t kFrameSamples = 1024;

FakeAacEncoderLog::Type readType(IMFMediaType* type) {
    FakeAacEncoderLog::Type t;
    type->GetGUID(MF_MT_MAJOR_TYPE, &t.major);
    type->GetGUID(MF_MT_SUBTYPE, &t.subtype);
    auto number = [type](REFGUID key) -> int64_t {
        UINT32 v = 0;
        return SUCCEEDED(type->GetUINT32(key, &v)) ? int64_t(v) : -1;
    };
    t.bits = number(MF_MT_AUDIO_BITS_PER_SAMPLE);
    t.rate = number(MF_MT_AUDIO_SAMPLES_PER_SECOND);
    t.channels = number(MF_MT_AUDIO_NUM_CHANNELS);
    t.avgBytes = number(MF_MT_AUDIO_AVG_BYTES_PER_SECOND);
    t.blockAlign = number(MF_MT_AUDIO_BLOCK_ALIGNMENT);
    t.payloadType = number(MF_MT_AAC_PAYLOAD_TYPE);
    return t;
}

class FakeAacEncoder : public ComObject<IMFTransform> {
public:
    explicit FakeAacEncoder(std::shared_ptr<FakeAacEncoderLog> log) : log_(std::move(log)) {
        std::lock_guard<std::mutex> lock(log_->mutex);
        ++log_->made;
        ++log_->live;
    }
    ~FakeAacEncoder() override {
        if (outputType_) outputType_->Release();
        if (inputType_) inputType_->Release();
        std::lock_guard<std::mutex> lock(log_->mutex);
        --log_->live;
    }

    STDMETHODIMP GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) override {
        if (!inMin || !inMax || !outMin || !outMax) return E_POINTER;
        *inMin = *inMax = *outMin = *outMax = 1;
        return S_OK;
    }
    STDMETHODIMP GetStreamCount(DWORD* in, DWORD* out) override {
        if (!in || !out) return E_POINTER;
        *in = *out = 1;
        return S_OK;
    }
    STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStreamInfo(DWORD id, MFT_INPUT_STREAM_INFO* info) override {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!info) return E_POINTER;
        *info = MFT_INPUT_STREAM_INFO{};
        return S_OK;
    }
    STDMETHODIMP GetOutputStreamInfo(DWORD id, MFT_OUTPUT_STREAM_INFO* info) override {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!info) return E_POINTER;
        *info = MFT_OUTPUT_STREAM_INFO{};
        info->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER;
        std::lock_guard<std::mutex> lock(log_->mutex);
        if (log_->providesSamples) info->dwFlags |= MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
        info->cbSize = 768;  // one frame at most, as the system's encoder announces for 2 channels
        return S_OK;
    }
    STDMETHODIMP GetAttributes(IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    STDMETHODIMP GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return MF_E_NO_MORE_TYPES; }
    STDMETHODIMP GetOutputAvailableType(DWORD, DWORD, IMFMediaType**) override { return MF_E_NO_MORE_TYPES; }

    STDMETHODIMP SetOutputType(DWORD id, IMFMediaType* type, DWORD flags) override {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!type) return E_POINTER;
        const FakeAacEncoderLog::Type t = readType(type);
        std::lock_guard<std::mutex> lock(log_->mutex);
        log_->calls.push_back("SetOutputType");
        if (FAILED(log_->outputTypeResult)) return log_->outputTypeResult;
        if (t.major != MFMediaType_Audio || t.subtype != MFAudioFormat_AAC || (t.channels != 1 && t.channels != 2) ||
            (t.rate != 44100 && t.rate != 48000)) {
            return MF_E_INVALIDMEDIATYPE;
        }
        if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
        log_->outputType = t;
        replace(outputType_, type);
        return S_OK;
    }
    STDMETHODIMP SetInputType(DWORD id, IMFMediaType* type, DWORD flags) override {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!type) return E_POINTER;
        const FakeAacEncoderLog::Type t = readType(type);
        std::lock_guard<std::mutex> lock(log_->mutex);
        log_->calls.push_back("SetInputType");
        if (!outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
        if (FAILED(log_->inputTypeResult)) return log_->inputTypeResult;
        const FakeAacEncoderLog::Type& out = log_->outputType;
        if (t.major != MFMediaType_Audio || t.subtype != MFAudioFormat_PCM || t.bits != 16 || t.rate != out.rate ||
            t.channels != out.channels) {
            return MF_E_INVALIDMEDIATYPE;
        }
        if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
        log_->inputType = t;
        channels_ = uint32_t(t.channels);
        replace(inputType_, type);
        return S_OK;
    }
    STDMETHODIMP GetInputCurrentType(DWORD id, IMFMediaType** type) override { return current(id, inputType_, type); }
    STDMETHODIMP GetOutputCurrentType(DWORD id, IMFMediaType** type) override { return current(id, outputType_, type); }
    STDMETHODIMP GetInputStatus(DWORD id, DWORD* flags) override {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!flags) return E_POINTER;
        *flags = MFT_INPUT_STATUS_ACCEPT_DATA;
        return S_OK;
    }
    STDMETHODIMP GetOutputStatus(DWORD* flags) override {
        if (!flags) return E_POINTER;
        *flags = pendingFrames_ >= kFrameSamples ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
        return S_OK;
    }
    STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
        std::lock_guard<std::mutex> lock(log_->mutex);
        log_->calls.push_back("Message " + std::to_string(int(message)));
        if (message == MFT_MESSAGE_COMMAND_FLUSH) pendingFrames_ = 0;
        return S_OK;
    }

    STDMETHODIMP ProcessInput(DWORD id, IMFSample* sample, DWORD) override {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!sample) return E_POINTER;
        {
            std::lock_guard<std::mutex> lock(log_->mutex);
            log_->calls.push_back("ProcessInput");
            if (!inputType_ || !outputType_) return MF_E_TRANSFORM_TYPE_NOT_SET;
            if (log_->refuseInputs > 0) {
                --log_->refuseInputs;
                return MF_E_NOTACCEPTING;
            }
        }
        FakeAacEncoderLog::Input input;
        if (FAILED(sample->GetSampleTime(&input.time))) input.time = -1;
        if (FAILED(sample->GetSampleDuration(&input.duration))) input.duration = -1;
        IMFMediaBuffer* buffer = nullptr;
        HRESULT hr = sample->ConvertToContiguousBuffer(&buffer);
        if (FAILED(hr)) return hr;
        BYTE* data = nullptr;
        DWORD length = 0;
        hr = buffer->Lock(&data, nullptr, &length);
        if (SUCCEEDED(hr)) {
            input.pcm.resize(length / 2);
            if (length >= 2) std::memcpy(input.pcm.data(), data, input.pcm.size() * 2);
            buffer->Unlock();
        }
        buffer->Release();
        if (FAILED(hr)) return hr;
        pendingFrames_ += uint32_t(input.pcm.size() / channels_);
        std::lock_guard<std::mutex> lock(log_->mutex);
        if (log_->keepInputs) log_->inputs.push_back(std::move(input));
        return S_OK;
    }

    STDMETHODIMP ProcessOutput(DWORD, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
        if (!buffers || !status || count != 1) return E_INVALIDARG;
        *status = 0;
        buffers[0].dwStatus = 0;
        buffers[0].pEvents = nullptr;
        if (pendingFrames_ < kFrameSamples) return MF_E_TRANSFORM_NEED_MORE_INPUT;
        std::vector<uint8_t> frame;
        bool provides;
        {
            std::lock_guard<std::mutex> lock(log_->mutex);
            frame = log_->framesOut < log_->frames.size() ? log_->frames[log_->framesOut]
                                                           : silentAacFrame(int(channels_));
            provides = log_->providesSamples;
        }
        Microsoft::WRL::ComPtr<IMFSample> sample = buffers[0].pSample;
        if (provides) {
            if (sample) return E_INVALIDARG;  // it brings its own
            Microsoft::WRL::ComPtr<IMFMediaBuffer> buffer;
            if (FAILED(MFCreateSample(&sample)) || FAILED(MFCreateMemoryBuffer(DWORD(frame.size()), &buffer)) ||
                FAILED(sample->AddBuffer(buffer.Get()))) {
                return E_OUTOFMEMORY;
            }
        } else if (!sample) {
            return E_INVALIDARG;  // it provides no samples of its own
        }
        IMFMediaBuffer* buffer = nullptr;
        HRESULT hr = sample->GetBufferByIndex(0, &buffer);
        if (FAILED(hr)) return hr;
        BYTE* data = nullptr;
        DWORD capacity = 0;
        hr = buffer->Lock(&data, &capacity, nullptr);
        if (SUCCEEDED(hr)) {
            if (capacity < frame.size()) {
                hr = MF_E_BUFFERTOOSMALL;
            } else {
                std::memcpy(data, frame.data(), frame.size());
            }
            buffer->Unlock();
            if (SUCCEEDED(hr)) buffer->SetCurrentLength(DWORD(frame.size()));
        }
        buffer->Release();
        if (FAILED(hr)) return hr;
        if (provides) {
            buffers[0].pSample = sample.Get();
            sample->AddRef();  // the caller's reference
            std::lock_guard<std::mutex> lock(log_->mutex);
            log_->samplesGiven.push_back(sample);
        }
        pendingFrames_ -= kFrameSamples;
        std::lock_guard<std::mutex> lock(log_->mutex);
        ++log_->framesOut;
        return S_OK;
    }

private:
    static void replace(IMFMediaType*& slot, IMFMediaType* type) {
        type->AddRef();
        if (slot) slot->Release();
        slot = type;
    }
    static HRESULT current(DWORD id, IMFMediaType* slot, IMFMediaType** out) {
        if (id != 0) return MF_E_INVALIDSTREAMNUMBER;
        if (!out) return E_POINTER;
        *out = slot;
        if (!slot) return MF_E_TRANSFORM_TYPE_NOT_SET;
        slot->AddRef();
        return S_OK;
    }

    std::shared_ptr<FakeAacEncoderLog> log_;
    IMFMediaType* outputType_ = nullptr;
    IMFMediaType* inputType_ = nullptr;
    uint32_t channels_ = 2;
    uint32_t pendingFrames_ = 0;  // input frames not yet turned into output
};

}  // namespace

Microsoft::WRL::ComPtr<IClassFactory> makeFakeAacEncoderFactory(std::shared_ptr<FakeAacEncoderLog> log) {
    return FunctionClassFactory::make([log](REFIID iid, void** object) {
        auto* encoder = new FakeAacEncoder(log);
        const HRESULT hr = encoder->QueryInterface(iid, object);
        encoder->Release();
        return hr;
    });
}
