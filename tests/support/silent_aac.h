// Raw AAC-LC frames (1024 samples each) of silence that an AAC decoder accepts, for the stand-in
// encoder and the player's tests: one channel element (mono: a single channel element; stereo: a
// channel pair without a common window) with global gain 100 and no spectral data, then END.
#pragma once

#include <cstdint>
#include <vector>

inline const std::vector<uint8_t> kSilentAacMono{0x00, 0xc8, 0x00, 0x07};
inline const std::vector<uint8_t> kSilentAacStereo{0x20, 0x64, 0x00, 0x01, 0x90, 0x00, 0x0e};

inline const std::vector<uint8_t>& silentAacFrame(int channels) {
    return channels == 1 ? kSilentAacMono : kSilentAacStereo;
}
