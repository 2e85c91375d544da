// 0.5 s of a 1 kHz sine at a quarter of full scale as real AAC-LC frames (48000 Hz, stereo, the
// encoder's own lead-in first), made once by make_aac_tone.sh with ffmpeg's AAC encoder. Stored
// as raw frames, each behind a 2-byte big-endian length, in base64.
#pragma once

#include <cstdint>
#include <vector>

#include "core/util.h"
#include "support/aac_tone_data.h"

inline std::vector<std::vector<uint8_t>> aacToneFrames() {
    Bytes all;
    base64Decode(kAacToneBase64, all);
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i + 2 <= all.size();) {
        const size_t length = size_t(all[i]) << 8 | all[i + 1];
        if (i + 2 + length > all.size()) break;
        frames.emplace_back(all.begin() + ptrdiff_t(i + 2), all.begin() + ptrdiff_t(i + 2 + length));
        i += 2 + length;
    }
    return frames;
}
