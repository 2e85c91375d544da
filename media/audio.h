// Sound from host to viewer: the AAC stream's description and the conversion of captured samples
// into the 16-bit PCM the encoder takes. Capture and the codec transforms build on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The two-byte AudioSpecificConfig of AAC-LC: object type 2, the rate's index in the standard's
// table (a rate not in it counts as 48000 Hz), the channel count's low four bits.
std::vector<uint8_t> buildAudioSpecificConfig(int rate, unsigned channels);

// The audio format message: {"codec":"aac","rate":...,"ch":...,"asc":"<base64 of the config>"}.
std::string audioFormatMessage(int rate, int channels);

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
