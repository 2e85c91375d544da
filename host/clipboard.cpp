#include "host/clipboard.h"

#include <cstring>

namespace {

uint32_t le32(ByteSpan b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}
uint16_t le16(ByteSpan b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

void putLe32(uint8_t* out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + size_t(i)] = uint8_t(v >> (8 * i));
}

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;
constexpr size_t kInfoHeaderSize = kDibHeaderSize;

}  // namespace

bool clipboardPayloadFits(ByteSpan payload) {
    if (payload.empty()) return true;
    size_t limit = payload[0] == kClipboardText ? kClipboardTextLimit : kClipboardImageLimit;
    return payload.size() - 1 <= limit;
}

bool dibToBgra(ByteSpan block, BgraImage& out) {
    if (block.size() < kInfoHeaderSize) return false;
    uint32_t headerSize = le32(block, 0);
    auto width = int32_t(le32(block, 4));
    auto height = int32_t(le32(block, 8));
    uint16_t bits = le16(block, 14);
    uint32_t compression = le32(block, 16);
    uint32_t colours = le32(block, 32);
    // Smaller headers lay their fields out differently; other compressions hold no plain rows.
    if (headerSize < kInfoHeaderSize || width <= 0 || height == 0 || (bits != 24 && bits != 32)) return false;
    if (compression != kBiRgb && !(compression == kBiBitfields && bits == 32)) return false;

    // Everything in 64 bits: the header's fields come from another program.
    uint64_t offset = headerSize;
    if (compression == kBiBitfields && headerSize == kInfoHeaderSize) offset += 12;  // the three masks
    offset += uint64_t(colours) * 4;
    uint64_t stride = (uint64_t(width) * bits + 31) / 32 * 4;
    uint64_t rows = height < 0 ? uint64_t(-int64_t(height)) : uint64_t(height);
    if (offset > block.size() || stride > (block.size() - offset) / rows) return false;

    const size_t w = size_t(width);
    const size_t h = size_t(rows);
    const size_t bytesPerPixel = bits / 8;
    out.width = width;
    out.height = int(rows);
    out.pixels.assign(w * h * 4, 0);
    bool anyAlpha = false;
    for (size_t y = 0; y < h; ++y) {
        size_t sourceRow = height > 0 ? h - 1 - y : y;
        const uint8_t* src = block.data() + offset + sourceRow * stride;
        uint8_t* dst = out.pixels.data() + y * w * 4;
        for (size_t x = 0; x < w; ++x, src += bytesPerPixel, dst += 4) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            dst[3] = bytesPerPixel == 4 ? src[3] : 255;
            anyAlpha = anyAlpha || dst[3] != 0;
        }
    }
    // Many programs leave the fourth byte unused; a picture with no alpha at all is opaque.
    if (!anyAlpha)
        for (size_t i = 3; i < out.pixels.size(); i += 4) out.pixels[i] = 255;
    return true;
}

void putDibHeader(uint8_t* out, int width, int height) {
    putLe32(out, 0, uint32_t(kInfoHeaderSize));
    putLe32(out, 4, uint32_t(width));
    putLe32(out, 8, uint32_t(height));  // positive: rows bottom-up
    out[12] = 1;                        // planes
    out[14] = 32;                       // bits per pixel; compression BI_RGB and the rest stay 0
}

Bytes bgraToDib(const BgraImage& image) {
    size_t rowBytes = size_t(image.width) * 4;
    Bytes out(kInfoHeaderSize + rowBytes * size_t(image.height), 0);
    putDibHeader(out.data(), image.width, image.height);
    for (int y = 0; y < image.height; ++y)
        std::memcpy(out.data() + kInfoHeaderSize + size_t(image.height - 1 - y) * rowBytes,
                    image.pixels.data() + size_t(y) * rowBytes, rowBytes);
    return out;
}
