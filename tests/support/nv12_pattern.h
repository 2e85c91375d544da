// NV12 test pictures whose samples tell their place and differ from picture to picture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// width x height luma, then interleaved chroma (pitch = width). Chroma is far from neutral unless
// `neutralChroma`, for decoders that are exact only on grey.
inline std::vector<uint8_t> nv12Pattern(int width, int height, int seed, bool neutralChroma = false) {
    std::vector<uint8_t> p(size_t(width) * size_t(height) * 3 / 2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) p[size_t(y) * size_t(width) + size_t(x)] = uint8_t(16 + (x * 3 + y * 5 + seed * 11) % 220);
    }
    for (size_t i = size_t(width) * size_t(height); i < p.size(); ++i) {
        p[i] = neutralChroma ? 128 : uint8_t((i * 7 + size_t(seed) * 13) % 256);
    }
    return p;
}
