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
