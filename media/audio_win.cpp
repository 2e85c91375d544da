#include "media/audio.h"

#include <audioclient.h>
#include <ksmedia.h>
#include <mfapi.h>
#include <mferror.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <wmcodecdsp.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>

#include "core/util.h"
#include "media/mf.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONGLONG kUnitsPerSecond = 10000000;  // media times are in 100-ns units

// The bytes of one output sample, copied out.
std::vector<uint8_t> sampleBytes(IMFSample* sample) {
    std::vector<uint8_t> bytes;
    ComPtr<IMFMediaBuffer> buffer;
    if (!sample || FAILED(sample->ConvertToContiguousBuffer(&buffer))) return bytes;
    BYTE* data = nullptr;
    DWORD length = 0;
    if (FAILED(buffer->Lock(&data, nullptr, &length))) return bytes;
    bytes.assign(data, data + length);
    buffer->Unlock();
    return bytes;
}

// Takes the output that is ready, at most `passes` samples, each into a buffer of the announced
// size but at least `minimumSize` unless the transform brings its own; stops at the first failure
// (normally "needs more input"). Each non-empty output goes to `take`.
void drainTransform(IMFTransform* transform, int passes, DWORD minimumSize,
                    const std::function<void(const std::vector<uint8_t>&)>& take) {
    MFT_OUTPUT_STREAM_INFO info{};
    if (FAILED(transform->GetOutputStreamInfo(0, &info))) info = MFT_OUTPUT_STREAM_INFO{};
    const bool providesSamples = (info.dwFlags & MFT_OUTPUT_STREAM_PROVIDES_SAMPLES) != 0;
    for (int pass = 0; pass < passes; ++pass) {
        ComPtr<IMFSample> sample;
        if (FAILED(processOutputSample(transform, 0, providesSamples, std::max<DWORD>(info.cbSize, minimumSize),
                                       sample))) {
            return;
        }
        const std::vector<uint8_t> bytes = sampleBytes(sample.Get());
        if (!bytes.empty()) take(bytes);
    }
}

ComPtr<IMFMediaType> audioType(const GUID& subtype, uint32_t rate, uint32_t channels) {
    ComPtr<IMFMediaType> type;
    if (FAILED(MFCreateMediaType(&type))) return nullptr;
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Audio);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    type->SetUINT32(MF_MT_AUDIO_BITS_PER_SAMPLE, 16);
    type->SetUINT32(MF_MT_AUDIO_SAMPLES_PER_SECOND, rate);
    type->SetUINT32(MF_MT_AUDIO_NUM_CHANNELS, channels);
    return type;
}

ComPtr<IMFMediaType> pcmType(uint32_t rate, uint32_t channels) {
    ComPtr<IMFMediaType> type = audioType(MFAudioFormat_PCM, rate, channels);
    if (!type) return nullptr;
    type->SetUINT32(MF_MT_AUDIO_BLOCK_ALIGNMENT, channels * 2);
    type->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, rate * channels * 2);
    return type;
}

struct CoTaskMemDeleter {
    void operator()(void* p) const { CoTaskMemFree(p); }
};

bool isFloatFormat(const WAVEFORMATEX& f) {
    if (f.wFormatTag == WAVE_FORMAT_IEEE_FLOAT) return true;
    if (f.wFormatTag != WAVE_FORMAT_EXTENSIBLE || f.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
        return false;
    }
    return reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(f).SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
}

}  // namespace

// ---- AacEncoder ----

bool AacEncoder::open(uint32_t rate, uint32_t channels) {
    close();
    rate_ = rate;
    channels_ = channels;
    position_ = 0;
    if (rate == 0 || channels == 0) return false;  // no time base
    if (FAILED(CoCreateInstance(CLSID_AACMFTEncoder, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&transform_)))) {
        transform_.Reset();
        return false;
    }
    ComPtr<IMFMediaType> output = audioType(MFAudioFormat_AAC, rate, channels);
    ComPtr<IMFMediaType> input = pcmType(rate, channels);
    if (output) {
        output->SetUINT32(MF_MT_AUDIO_AVG_BYTES_PER_SECOND, channels == 1 ? 12000 : 16000);
        output->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);  // raw frames
    }
    // The encoder takes its input type only once it knows its output type.
    if (!output || !input || FAILED(transform_->SetOutputType(0, output.Get(), 0)) ||
        FAILED(transform_->SetInputType(0, input.Get(), 0))) {
        transform_.Reset();
        return false;
    }
    transform_->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    return true;
}

void AacEncoder::encode(const int16_t* samples, uint32_t frames, const FrameCallback& onFrame) {
    if (!transform_) return;
    const LONGLONG time = position_ * kUnitsPerSecond / rate_;
    const LONGLONG duration = LONGLONG(frames) * kUnitsPerSecond / rate_;
    position_ += frames;
    ComPtr<IMFSample> sample =
        makeMediaSample(reinterpret_cast<const uint8_t*>(samples), size_t(frames) * channels_ * sizeof(int16_t), 0);
    if (!sample) return;
    sample->SetSampleTime(time);
    sample->SetSampleDuration(duration);
    if (transform_->ProcessInput(0, sample.Get(), 0) == MF_E_NOTACCEPTING) {
        drain(onFrame);
        transform_->ProcessInput(0, sample.Get(), 0);
    }
    drain(onFrame);
}

void AacEncoder::drain(const FrameCallback& onFrame) {
    if (transform_) drainTransform(transform_.Get(), 64, 4096, onFrame);
}

void AacEncoder::close() { transform_.Reset(); }

// ---- AudioSender ----

void AudioSender::start() {
    if (running_.exchange(true)) return;
    // A capture whose set-up failed ended by itself and is still joinable.
    if (thread_.joinable()) thread_.join();
    thread_ = std::thread([this] { loop(); });
}

void AudioSender::stop() {
    running_.exchange(false);
    if (thread_.joinable()) thread_.join();
}

void AudioSender::loop() {
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ensureMediaFoundation();
    bool failed = false;
    {
        ComPtr<IMMDeviceEnumerator> enumerator;
        ComPtr<IMMDevice> device;
        ComPtr<IAudioClient> client;
        ComPtr<IAudioCaptureClient> capture;
        std::unique_ptr<WAVEFORMATEX, CoTaskMemDeleter> mix;
        std::optional<PcmConverter> converter;
        AacEncoder encoder;

        bool ready = SUCCEEDED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                                IID_PPV_ARGS(&enumerator))) &&
                     SUCCEEDED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, &device)) &&
                     SUCCEEDED(device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                                reinterpret_cast<void**>(client.GetAddressOf())));
        if (ready) {
            WAVEFORMATEX* format = nullptr;
            ready = SUCCEEDED(client->GetMixFormat(&format)) && format;
            mix.reset(format);
        }
        if (ready) {
            // A format without a rate or channels would never advance through a packet.
            converter.emplace(int(mix->nSamplesPerSec), int(mix->nChannels),
                              pcmSampleKind(isFloatFormat(*mix), mix->wBitsPerSample));
            ready = converter->usable();
        }
        ready = ready &&
                SUCCEEDED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 2000000, 0,
                                             mix.get(), nullptr)) &&
                SUCCEEDED(client->GetService(IID_PPV_ARGS(&capture))) &&
                encoder.open(uint32_t(converter->outputRate()), uint32_t(converter->outputChannels()));
        if (!ready) {
            logLine("소리 보내기를 시작할 수 없습니다 (출력 장치 · AAC 인코더)");
            failed = true;
        } else {
            const int outRate = converter->outputRate(), outChannels = converter->outputChannels();
            if (formatSink) formatSink(audioFormatMessage(outRate, outChannels));
            logLine("소리 보내기 시작: " + std::to_string(mix->nSamplesPerSec) + " Hz " + std::to_string(mix->nChannels) +
                    "ch → AAC " + std::to_string(outRate) + " Hz " + std::to_string(outChannels) + "ch");
            client->Start();
            const auto onFrame = [this](const std::vector<uint8_t>& frame) {
                ++frameCount_;
                if (frameSink) frameSink(frame);
            };
            const auto encode = [&](const int16_t* samples, uint32_t frames) { encoder.encode(samples, frames, onFrame); };
            int64_t lastReport = nowNanos();
            int packets = 0, silentPackets = 0;
            while (running_.load()) {
                sleepMs(10);
                if (nowNanos() - lastReport > int64_t(reportIntervalMs_.load()) * 1000000) {
                    logLine("소리: 받은 묶음 " + std::to_string(packets) + " (조용함 " + std::to_string(silentPackets) +
                            ") · AAC " + std::to_string(frameCount_.load()));
                    lastReport = nowNanos();
                }
                UINT32 next = 0;
                while (running_.load() && SUCCEEDED(capture->GetNextPacketSize(&next)) && next > 0) {
                    BYTE* data = nullptr;
                    UINT32 frames = 0;
                    DWORD flags = 0;
                    const HRESULT got = capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
                    if (FAILED(got) || got == AUDCLNT_S_BUFFER_EMPTY) break;
                    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
                    silentPackets += silent;
                    converter->addPacket(data, frames, silent);
                    capture->ReleaseBuffer(frames);
                    converter->takeBlocks(encode);
                    ++packets;
                }
            }
            client->Stop();
            // PCM short of a whole frame is dropped; the encoder is not flushed.
        }
    }
    // Every COM object is released before the apartment is left.
    if (SUCCEEDED(com)) CoUninitialize();
    if (failed) running_.exchange(false);  // the next stop still joins this ended thread
}

// ---- AudioPlayer ----

struct AudioPlayer::State {
    mutable std::mutex mutex;
    ComPtr<IMFTransform> decoder;
    int rate = 0, channels = 0;  // the decoder's format, and the device's
    HWAVEOUT device = nullptr;
    PlaybackQueue<WAVEHDR*> queue;
    bool comReady = false;
    int decodersBuilt = 0;
    std::function<void(const uint8_t*, size_t)> observer;
};

namespace {

void freeHeader(HWAVEOUT device, WAVEHDR* header) {
    waveOutUnprepareHeader(device, header, sizeof(WAVEHDR));
    delete[] header->lpData;
    delete header;
}

}  // namespace

AudioPlayer::AudioPlayer() : state_(std::make_unique<State>()) {}

AudioPlayer::~AudioPlayer() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    closeDevice();
    state_->decoder.Reset();
}

void AudioPlayer::closeDevice() {
    State& s = *state_;
    if (!s.device) return;
    waveOutReset(s.device);
    const HWAVEOUT device = s.device;
    s.queue.clear([device](WAVEHDR* h) { freeHeader(device, h); });
    waveOutClose(s.device);
    s.device = nullptr;
}

void AudioPlayer::stop() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    closeDevice();
}

void AudioPlayer::setFormat(const AudioFormat& format) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& s = *state_;
    if (s.decoder && format.rate == s.rate && format.channels == s.channels) return;
    if (!s.comReady) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ensureMediaFoundation();
        s.comReady = true;
    }
    closeDevice();
    if (!openDecoder(format.rate, format.channels, format.config)) logLine("소리 풀기 준비 실패");
}

bool AudioPlayer::openDecoder(int rate, int channels, const std::vector<uint8_t>& config) {
    State& s = *state_;
    s.decoder.Reset();
    ComPtr<IMFTransform> decoder;
    if (FAILED(CoCreateInstance(CLSID_CMSAACDecMFT, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&decoder)))) {
        return false;
    }
    ComPtr<IMFMediaType> input = audioType(MFAudioFormat_AAC, uint32_t(rate), uint32_t(channels));
    if (!input) return false;
    input->SetUINT32(MF_MT_AAC_PAYLOAD_TYPE, 0);
    const std::vector<uint8_t> userData = aacDecoderUserData(config);
    input->SetBlob(MF_MT_USER_DATA, userData.data(), UINT32(userData.size()));
    if (FAILED(decoder->SetInputType(0, input.Get(), 0))) return false;
    ComPtr<IMFMediaType> output = pcmType(uint32_t(rate), uint32_t(channels));
    if (!output || FAILED(decoder->SetOutputType(0, output.Get(), 0))) return false;
    decoder->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0);
    s.decoder = decoder;
    s.rate = rate;
    s.channels = channels;
    ++s.decodersBuilt;
    return true;
}

void AudioPlayer::playFrame(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    State& s = *state_;
    if (!s.decoder || frame.empty()) return;
    ComPtr<IMFSample> sample = makeMediaSample(frame.data(), frame.size(), 0);
    if (!sample || FAILED(s.decoder->ProcessInput(0, sample.Get(), 0))) return;
    drainTransform(s.decoder.Get(), 8, 16384,
                   [this](const std::vector<uint8_t>& pcm) { enqueuePcm(pcm.data(), pcm.size()); });
}

void AudioPlayer::enqueuePcm(const uint8_t* pcm, size_t length) {
    State& s = *state_;
    if (s.observer) s.observer(pcm, length);
    if (!s.device) {
        WAVEFORMATEX format{};
        format.wFormatTag = WAVE_FORMAT_PCM;
        format.nChannels = WORD(s.channels);
        format.nSamplesPerSec = DWORD(s.rate);
        format.nAvgBytesPerSec = DWORD(s.rate * s.channels * 2);
        format.nBlockAlign = WORD(s.channels * 2);
        format.wBitsPerSample = 16;
        HWAVEOUT device = nullptr;
        if (waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) return;
        s.device = device;
    }
    const HWAVEOUT device = s.device;
    const auto release = [device](WAVEHDR* h) { freeHeader(device, h); };
    const auto finished = [](WAVEHDR* h) { return (h->dwFlags & WHDR_DONE) != 0; };
    if (!s.queue.reclaim(finished, release)) return;  // the device is far behind: drop this
    auto* header = new WAVEHDR{};
    header->lpData = new char[length];
    std::memcpy(header->lpData, pcm, length);
    header->dwBufferLength = DWORD(length);
    const bool written = waveOutPrepareHeader(device, header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR &&
                         waveOutWrite(device, header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR;
    s.queue.add(header, written, release);
}

AudioPlayer::Status AudioPlayer::status() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    const State& s = *state_;
    Status st;
    st.decoder = s.decoder != nullptr;
    st.rate = s.rate;
    st.channels = s.channels;
    st.device = s.device;
    st.queued = s.queue.size();
    st.decodersBuilt = s.decodersBuilt;
    return st;
}

void AudioPlayer::setPcmObserver(std::function<void(const uint8_t*, size_t)> observer) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->observer = std::move(observer);
}
