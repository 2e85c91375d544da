// Sound from host to viewer: the AAC stream's description and the conversion of captured samples
// into the 16-bit PCM the encoder takes. Capture and the codec transforms build on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

// The two-byte AudioSpecificConfig of AAC-LC: object type 2, the rate's index in the standard's
// table (a rate not in it counts as 48000 Hz), the channel count's low four bits.
std::vector<uint8_t> buildAudioSpecificConfig(int rate, unsigned channels);

// The audio format message: {"codec":"aac","rate":...,"ch":...,"asc":"<base64 of the config>"}.
std::string audioFormatMessage(int rate, int channels);

// A format message as the viewer applies it.
struct AudioFormat {
    int rate = 48000;
    int channels = 2;
    std::vector<uint8_t> config;  // the AudioSpecificConfig the decoder gets, at least two bytes
};

// Reads a format message. False (the message is ignored) when it is not JSON, "codec" is not "aac",
// or "rate" or "ch" is a number the sound device cannot play as 16-bit PCM: only 7350 to 96000 Hz
// and one or two channels pass. A missing "rate" or "ch" means 48000 Hz or 2 channels. An "asc"
// that is missing, not base64 or shorter than two bytes is replaced by the config built from the
// rate and channels: the decoder would otherwise stay unconfigured and play nothing.
bool readAudioFormat(const std::string& text, AudioFormat& out);

// The AAC decoder's configuration block: the 12 bytes that follow WAVEFORMATEX in HEAACWAVEINFO
// (raw payload, profile-level indication 0xFE) and then the AudioSpecificConfig.
std::vector<uint8_t> aacDecoderUserData(const std::vector<uint8_t>& config);

// The buffers the player has handed to the sound device, oldest first. The device finishes them
// in order and says so by a flag that the player reads when the next sound arrives; sound that
// finds kMaxQueued buffers still outstanding is dropped, so the delay never grows past them
// (about 320 ms at 48000 Hz with one AAC frame per buffer).
template <class Buffer>
class PlaybackQueue {
public:
    static constexpr size_t kMaxQueued = 15;

    // Frees the finished buffers at the front, up to the first unfinished one; true when one
    // more may be queued.
    template <class Finished, class Release>
    bool reclaim(Finished finished, Release release) {
        while (!buffers_.empty() && finished(buffers_.front())) {
            release(buffers_.front());
            buffers_.pop_front();
        }
        return buffers_.size() < kMaxQueued;
    }
    // Keeps a buffer the device took; one it refused would never be finished and would hold its
    // place for good, so it is freed at once.
    template <class Release>
    void add(Buffer buffer, bool written, Release release) {
        if (written) buffers_.push_back(buffer);
        else release(buffer);
    }
    // Frees every buffer, oldest first.
    template <class Release>
    void clear(Release release) {
        for (Buffer& b : buffers_) release(b);
        buffers_.clear();
    }
    size_t size() const { return buffers_.size(); }

private:
    std::deque<Buffer> buffers_;
};

// What the capture's mix format holds per sample. Other widths (24-bit, 8-bit, 64-bit float)
// are not read and give silence.
enum class PcmSample { Float32, Int16, Int32, Unsupported };
PcmSample pcmSampleKind(bool isFloat, int bitsPerSample);

// Turns captured packets (interleaved samples of the mix format) into interleaved 16-bit PCM at
// 44100 Hz (a 44100 Hz mix) or 48000 Hz (any other), with one channel (a mono mix) or the mix's
// first two. The rate changes by taking the nearest earlier input frame, without filtering.
class PcmConverter {
public:
    static constexpr uint32_t kBlockFrames = 1024;  // one AAC frame

    PcmConverter(int inputRate, int inputChannels, PcmSample sample);
    // A mix with no rate or no channels cannot be converted; nothing is read from it.
    bool usable() const { return step_ > 0; }
    int outputRate() const { return outputRate_; }
    int outputChannels() const { return outputChannels_; }

    // Converts one packet of `frames` input frames; a silent packet (or no data) counts as zeros
    // and still moves time on.
    void addPacket(const void* data, uint32_t frames, bool silent);
    // Hands every whole block collected so far to `encode` in one call (samples, frames) and keeps
    // the rest (less than one block) for later.
    void takeBlocks(const std::function<void(const int16_t* samples, uint32_t frames)>& encode);
    const std::vector<int16_t>& pending() const { return pcm_; }

private:
    int inputChannels_;
    PcmSample sample_;
    int outputRate_, outputChannels_;
    double step_;            // input frames per output frame
    double position_ = 0.0;  // next output frame's place, in input frames from this packet's start
    std::vector<int16_t> pcm_;
};

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#include <mftransform.h>
#include <wrl/client.h>

#include <atomic>
#include <memory>
#include <thread>

// Encodes interleaved 16-bit PCM to raw AAC-LC frames with the system's AAC encoder transform.
// Used by one thread at a time.
class AacEncoder {
public:
    using FrameCallback = std::function<void(const std::vector<uint8_t>&)>;

    AacEncoder() = default;
    ~AacEncoder() { close(); }
    AacEncoder(const AacEncoder&) = delete;
    AacEncoder& operator=(const AacEncoder&) = delete;

    // Makes the encoder for this rate and channel count (128 kbit/s stereo, 96 kbit/s mono);
    // false when there is none or it refuses the format. Sample times start again at 0.
    bool open(uint32_t rate, uint32_t channels);
    // Encodes `frames` sample frames and hands every frame that comes out to `onFrame`.
    void encode(const int16_t* samples, uint32_t frames, const FrameCallback& onFrame);
    // Hands over the output that is ready.
    void drain(const FrameCallback& onFrame);
    void close();

private:
    Microsoft::WRL::ComPtr<IMFTransform> transform_;
    uint32_t rate_ = 48000;
    uint32_t channels_ = 2;
    int64_t position_ = 0;  // sample frames submitted; times the inputs
};

// Captures what the PC plays (the default output device in loopback), encodes it to AAC and hands
// the format message once per start, then each frame, to the sinks, on its own capture thread.
class AudioSender {
public:
    // Set while stopped; called on the capture thread.
    std::function<void(const std::string&)> formatSink;
    std::function<void(const std::vector<uint8_t>&)> frameSink;

    AudioSender() = default;
    ~AudioSender() { stop(); }
    AudioSender(const AudioSender&) = delete;
    AudioSender& operator=(const AudioSender&) = delete;

    // Starts capturing unless already running. A capture that cannot start logs one line and
    // sends nothing; its thread ends by itself.
    void start();
    // Ends the capture and waits for its thread; at once when none runs.
    void stop();
    bool running() const { return running_.load(); }
    // How often the capture logs its counts (5 s).
    void setReportInterval(int ms) { reportIntervalMs_ = ms; }

private:
    void loop();

    std::atomic<bool> running_{false};
    std::thread thread_;
    std::atomic<int> frameCount_{0};  // frames produced since this sender was made
    std::atomic<int> reportIntervalMs_{5000};
};

// Plays the host's sound on the viewer: a format message sets up an AAC decoder, each frame is
// decoded to 16-bit PCM and queued to the default waveOut device. Every operation holds one lock.
class AudioPlayer {
public:
    AudioPlayer();
    ~AudioPlayer();
    AudioPlayer(const AudioPlayer&) = delete;
    AudioPlayer& operator=(const AudioPlayer&) = delete;

    // Applies a format message, read before it comes here: the lock this takes is the one stop
    // takes on the window's thread. The same rate and channel count again change nothing; another
    // discards what is queued.
    void setFormat(const AudioFormat& format);
    // Decodes and plays one AAC frame; ignored without a decoder.
    void playFrame(const std::vector<uint8_t>& frame);
    // Silences and closes the device; the decoder stays, and the next frame opens the device again.
    void stop();

    // What the player holds, for tests and diagnostics.
    struct Status {
        bool decoder = false;
        int rate = 0, channels = 0;
        HWAVEOUT device = nullptr;
        size_t queued = 0;
        int decodersBuilt = 0;
    };
    Status status() const;
    // Sees every piece of decoded PCM before it is queued (under the player's lock).
    void setPcmObserver(std::function<void(const uint8_t* pcm, size_t length)> observer);

private:
    struct State;
    bool openDecoder(int rate, int channels, const std::vector<uint8_t>& config);
    void enqueuePcm(const uint8_t* pcm, size_t length);
    void closeDevice();

    std::unique_ptr<State> state_;
};
#endif
