#include "media/png.h"

#include <cstring>

bool pngDeclaredSize(ByteSpan bytes, uint32_t& width, uint32_t& height) {
    // Signature, then the first chunk: length 13, type "IHDR", width and height big-endian.
    static const uint8_t kStart[16] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    if (bytes.size() < 24 || std::memcmp(bytes.data(), kStart, sizeof kStart) != 0) return false;
    auto be32 = [&](size_t at) {
        return uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
               uint32_t(bytes[at + 3]);
    };
    width = be32(16);
    height = be32(20);
    return true;
}

bool pngFitsLimit(ByteSpan bytes, uint64_t maxPixels) {
    uint32_t width = 0, height = 0;
    if (!pngDeclaredSize(bytes, width, height) || width == 0 || height == 0) return false;
    return uint64_t(width) * uint64_t(height) <= maxPixels;
}
