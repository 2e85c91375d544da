#include "support/fake_core_audio_win.h"

#include <ksmedia.h>

#include <cstring>
#include <map>

std::vector<uint8_t> makeMixFormat(int rate, int channels, int bits, MixSamples samples, bool extensible) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE
                          : samples == MixSamples::Float ? WAVE_FORMAT_IEEE_FLOAT
                                                         : WAVE_FORMAT_PCM;
    f.Format.nChannels = WORD(channels);
    f.Format.nSamplesPerSec = DWORD(rate);
    f.Format.wBitsPerSample = WORD(bits);
    f.Format.nBlockAlign = WORD(channels * bits / 8);
    f.Format.nAvgBytesPerSec = DWORD(rate) * f.Format.nBlockAlign;
    size_t size = sizeof(WAVEFORMATEX);
    if (extensible) {
        f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        f.Samples.wValidBitsPerSample = WORD(bits);
        f.dwChannelMask = channels == 1 ? SPEAKER_FRONT_CENTER : channels == 2 ? KSAUDIO_SPEAKER_STEREO : KSAUDIO_SPEAKER_5POINT1;
        f.SubFormat = samples == MixSamples::Float ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
        size = sizeof(WAVEFORMATEXTENSIBLE);
    }
    std::vector<uint8_t> bytes(size);
    std::memcpy(bytes.data(), &f, size);
    return bytes;
}

struct FakeCoreAudio::State {
    mutable std::mutex mutex;
    std::vector<uint8_t> mixFormat;
    struct Failure {
        HRESULT hr;
        int times;  // -1: always
    };
    std::map<Step, Failure> failures;
    std::deque<Packet> packets;
    bool packetOut = false;  // GetBuffer gave the front packet; ReleaseBuffer pops it
    std::optional<Initialized> initialized;
    bool started = false, stopped = false;
    int enumeratorsMade = 0;
    int live = 0;
    std::vector<uint32_t> released;

    // The failure the step answers now, or S_OK.
    HRESULT check(Step step) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = failures.find(step);
        if (it == failures.end()) return S_OK;
        const HRESULT hr = it->second.hr;
        if (it->second.times > 0 && --it->second.times == 0) failures.erase(it);
        return hr;
    }
};

namespace {

using State = FakeCoreAudio::State;
using Step = FakeCoreAudio::Step;
using Packet = FakeCoreAudio::Packet;
using Initialized = FakeCoreAudio::Initialized;

// Every fake object counts itself alive in the shared state, so a test sees what was not released.
template <class Itf>
class Tracked : public ComObject<Itf> {
public:
    explicit Tracked(std::shared_ptr<State> s) : state(std::move(s)) {
        std::lock_guard<std::mutex> lock(state->mutex);
        ++state->live;
    }
    ~Tracked() override {
        std::lock_guard<std::mutex> lock(state->mutex);
        --state->live;
    }

protected:
    std::shared_ptr<State> state;
};

class CaptureClient : public Tracked<IAudioCaptureClient> {
public:
    using Tracked::Tracked;
    STDMETHODIMP GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition, UINT64* qpcPosition) override {
        if (!data || !frames || !flags) return E_POINTER;
        if (HRESULT hr = state->check(Step::GetBuffer); FAILED(hr)) return hr;
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->packetOut) return AUDCLNT_E_OUT_OF_ORDER;
        if (state->packets.empty()) {
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        Packet& p = state->packets.front();
        *data = p.data.empty() ? nullptr : p.data.data();
        *frames = p.frames;
        *flags = p.flags;
        if (devicePosition) *devicePosition = 0;
        if (qpcPosition) *qpcPosition = 0;
        state->packetOut = true;
        return S_OK;
    }
    STDMETHODIMP ReleaseBuffer(UINT32 frames) override {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->packetOut) return AUDCLNT_E_OUT_OF_ORDER;
        state->released.push_back(frames);
        state->packets.pop_front();
        state->packetOut = false;
        return S_OK;
    }
    STDMETHODIMP GetNextPacketSize(UINT32* frames) override {
        if (!frames) return E_POINTER;
        if (HRESULT hr = state->check(Step::NextPacketSize); FAILED(hr)) return hr;
        std::lock_guard<std::mutex> lock(state->mutex);
        *frames = state->packets.empty() ? 0 : state->packets.front().frames;
        return S_OK;
    }
};

class AudioClient : public Tracked<IAudioClient> {
public:
    using Tracked::Tracked;
    STDMETHODIMP Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME duration, REFERENCE_TIME period,
                            const WAVEFORMATEX* format, LPCGUID) override {
        if (!format) return E_POINTER;
        if (HRESULT hr = state->check(Step::Initialize); FAILED(hr)) return hr;
        std::lock_guard<std::mutex> lock(state->mutex);
        if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
        initialized_ = true;
        const auto* bytes = reinterpret_cast<const uint8_t*>(format);
        state->initialized = Initialized{mode, flags, duration, period,
                                         std::vector<uint8_t>(bytes, bytes + sizeof(WAVEFORMATEX) + format->cbSize)};
        return S_OK;
    }
    STDMETHODIMP GetBufferSize(UINT32* frames) override { return answer(frames, 0u); }
    STDMETHODIMP GetStreamLatency(REFERENCE_TIME* latency) override { return answer(latency, REFERENCE_TIME(0)); }
    STDMETHODIMP GetCurrentPadding(UINT32* frames) override { return answer(frames, 0u); }
    STDMETHODIMP IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX** closest) override {
        if (closest) *closest = nullptr;
        return S_OK;
    }
    STDMETHODIMP GetMixFormat(WAVEFORMATEX** format) override {
        if (!format) return E_POINTER;
        *format = nullptr;
        if (HRESULT hr = state->check(Step::MixFormat); FAILED(hr)) return hr;
        std::lock_guard<std::mutex> lock(state->mutex);
        void* copy = CoTaskMemAlloc(state->mixFormat.size());
        if (!copy) return E_OUTOFMEMORY;
        std::memcpy(copy, state->mixFormat.data(), state->mixFormat.size());
        *format = static_cast<WAVEFORMATEX*>(copy);
        return S_OK;
    }
    STDMETHODIMP GetDevicePeriod(REFERENCE_TIME* normal, REFERENCE_TIME* minimum) override {
        if (normal) *normal = 100000;
        if (minimum) *minimum = 30000;
        return S_OK;
    }
    STDMETHODIMP Start() override {
        if (HRESULT hr = state->check(Step::Start); FAILED(hr)) return hr;
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        state->started = true;
        return S_OK;
    }
    STDMETHODIMP Stop() override {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->stopped = true;
        return S_OK;
    }
    STDMETHODIMP Reset() override { return S_OK; }
    STDMETHODIMP SetEventHandle(HANDLE) override { return S_OK; }
    STDMETHODIMP GetService(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
        if (HRESULT hr = state->check(Step::CaptureService); FAILED(hr)) return hr;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        }
        *out = static_cast<IAudioCaptureClient*>(new CaptureClient(state));
        return S_OK;
    }

private:
    template <class T>
    static HRESULT answer(T* out, T value) {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }

    bool initialized_ = false;  // guarded by the state's mutex
};

class Device : public Tracked<IMMDevice> {
public:
    using Tracked::Tracked;
    STDMETHODIMP Activate(REFIID riid, DWORD, PROPVARIANT*, void** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (riid != __uuidof(IAudioClient)) return E_NOINTERFACE;
        if (HRESULT hr = state->check(Step::Activate); FAILED(hr)) return hr;
        *out = static_cast<IAudioClient*>(new AudioClient(state));
        return S_OK;
    }
    STDMETHODIMP OpenPropertyStore(DWORD, IPropertyStore**) override { return E_NOTIMPL; }
    STDMETHODIMP GetId(LPWSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetState(DWORD* s) override {
        if (!s) return E_POINTER;
        *s = DEVICE_STATE_ACTIVE;
        return S_OK;
    }
};

class Enumerator : public Tracked<IMMDeviceEnumerator> {
public:
    using Tracked::Tracked;
    STDMETHODIMP EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection**) override { return E_NOTIMPL; }
    STDMETHODIMP GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (flow != eRender || role != eConsole) return E_NOTFOUND;  // only what the sender asks for
        if (HRESULT hr = state->check(Step::DefaultEndpoint); FAILED(hr)) return hr;
        *out = new Device(state);
        return S_OK;
    }
    STDMETHODIMP GetDevice(LPCWSTR, IMMDevice**) override { return E_NOTFOUND; }
    STDMETHODIMP RegisterEndpointNotificationCallback(IMMNotificationClient*) override { return E_NOTIMPL; }
    STDMETHODIMP UnregisterEndpointNotificationCallback(IMMNotificationClient*) override { return E_NOTIMPL; }
};

}  // namespace

FakeCoreAudio::FakeCoreAudio(std::vector<uint8_t> mixFormat) : state_(std::make_shared<State>()) {
    state_->mixFormat = std::move(mixFormat);
    std::shared_ptr<State> state = state_;
    registration_ = std::make_unique<ClassRegistration>(__uuidof(MMDeviceEnumerator), [state](REFIID riid, void** out) {
        if (HRESULT hr = state->check(Step::CreateEnumerator); FAILED(hr)) return hr;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            ++state->enumeratorsMade;
        }
        auto* e = new Enumerator(state);
        const HRESULT hr = e->QueryInterface(riid, out);
        e->Release();
        return hr;
    });
}

FakeCoreAudio::~FakeCoreAudio() = default;

void FakeCoreAudio::fail(Step step, HRESULT hr, int times) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->failures[step] = State::Failure{hr, times};
}

void FakeCoreAudio::push(Packet packet) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->packets.push_back(std::move(packet));
}

int FakeCoreAudio::enumeratorsMade() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->enumeratorsMade;
}

std::optional<FakeCoreAudio::Initialized> FakeCoreAudio::initialized() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->initialized;
}

bool FakeCoreAudio::started() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->started;
}

bool FakeCoreAudio::stopped() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->stopped;
}

size_t FakeCoreAudio::packetsLeft() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->packets.size();
}

std::vector<uint32_t> FakeCoreAudio::released() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->released;
}

int FakeCoreAudio::liveObjects() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->live;
}
