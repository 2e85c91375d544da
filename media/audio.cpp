#include "media/audio.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/json.h"
#include "core/util.h"

std::vector<uint8_t> buildAudioSpecificConfig(int rate, unsigned channels) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000, 7350};
    unsigned index = 3;
    for (unsigned i = 0; i < std::size(kRates); ++i) {
        if (kRates[i] == rate) index = i;
    }
    const unsigned objectType = 2;  // AAC LC
    return {uint8_t((objectType << 3) | (index >> 1)), uint8_t(((index & 1) << 7) | ((channels & 0xf) << 3))};
}

std::string audioFormatMessage(int rate, int channels) {
    Json j;
    j.set("codec", "aac");
    j.set("rate", rate);
    j.set("ch", channels);
    j.set("asc", base64Encode(buildAudioSpecificConfig(rate, unsigned(channels))));
    return j.dump();
}

bool readAudioFormat(const std::string& text, AudioFormat& out) {
    Json j;
    if (!Json::parse(text, j) || j.get("codec").asString() != "aac") return false;
    AudioFormat f;
    // Clamped one past each end, so that a value beyond the range stays outside it.
    const Json& rate = j.get("rate");
    if (rate.isNumber()) f.rate = int(checkedTrunc(rate.number, 0, 96001, 0));
    const Json& channels = j.get("ch");
    if (channels.isNumber()) f.channels = int(checkedTrunc(channels.number, 0, 3, 0));
    if (f.rate < 7350 || f.rate > 96000 || f.channels < 1 || f.channels > 2) return false;
    const Json& asc = j.get("asc");
    if (!asc.isString() || !base64Decode(asc.text, f.config) || f.config.size() < 2) {
        f.config = buildAudioSpecificConfig(f.rate, unsigned(f.channels));
    }
    out = std::move(f);
    return true;
}

std::vector<uint8_t> aacDecoderUserData(const std::vector<uint8_t>& config) {
    std::vector<uint8_t> block(12 + config.size(), 0);
    block[2] = 0xfe;  // profile-level indication 0x00FE, little-endian
    std::copy(config.begin(), config.end(), block.begin() + 12);
    return block;
}

PcmSample pcmSampleKind(bool isFloat, int bitsPerSample) {
    if (isFloat) return bitsPerSample == 32 ? PcmSample::Float32 : PcmSample::Unsupported;
    if (bitsPerSample == 16) return PcmSample::Int16;
    if (bitsPerSample == 32) return PcmSample::Int32;
    return PcmSample::Unsupported;
}

PcmConverter::PcmConverter(int inputRate, int inputChannels, PcmSample sample)
    : inputChannels_(inputChannels),
      sample_(sample),
      outputRate_(inputRate == 44100 ? 44100 : 48000),
      outputChannels_(inputChannels < 2 ? 1 : 2),
      step_(inputRate > 0 && inputChannels > 0 ? double(inputRate) / outputRate_ : 0.0) {}

namespace {

// [-1, 1] to 16 bits; NaN is silence.
int16_t toPcm16(float v) {
    if (std::isnan(v)) return 0;
    return int16_t(std::lround(std::clamp(v, -1.0f, 1.0f) * 32767.0f));
}

float sampleAt(const uint8_t* data, size_t index, PcmSample kind) {
    switch (kind) {
        case PcmSample::Float32: {
            float v;
            std::memcpy(&v, data + index * 4, 4);
            return v;
        }
        case PcmSample::Int16: {
            int16_t v;
            std::memcpy(&v, data + index * 2, 2);
            return float(v) * (1.0f / 32768.0f);
        }
        case PcmSample::Int32: {
            int32_t v;
            std::memcpy(&v, data + index * 4, 4);
            return float(v) * (1.0f / 2147483648.0f);
        }
        case PcmSample::Unsupported: break;
    }
    return 0.0f;
}

}  // namespace

void PcmConverter::addPacket(const void* data, uint32_t frames, bool silent) {
    if (!usable()) return;
    const auto* bytes = static_cast<const uint8_t*>(data);
    const bool zeros = silent || !bytes || sample_ == PcmSample::Unsupported;
    while (position_ < frames) {
        const size_t frame = size_t(position_);
        for (int c = 0; c < outputChannels_; ++c) {
            pcm_.push_back(zeros ? 0 : toPcm16(sampleAt(bytes, frame * size_t(inputChannels_) + size_t(c), sample_)));
        }
        position_ += step_;
    }
    position_ -= frames;
}

void PcmConverter::takeBlocks(const std::function<void(const int16_t*, uint32_t)>& encode) {
    const size_t block = size_t(kBlockFrames) * size_t(outputChannels_);
    if (pcm_.size() < block) return;
    const size_t whole = pcm_.size() - pcm_.size() % block;
    encode(pcm_.data(), uint32_t(whole / size_t(outputChannels_)));
    pcm_.erase(pcm_.begin(), pcm_.begin() + ptrdiff_t(whole));
}
