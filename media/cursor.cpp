#include "media/cursor.h"

#include <algorithm>
#include <cmath>

#include "core/wire.h"

namespace {

constexpr int kMaxCursorSide = 256;

bool positiveFinite(double v) { return std::isfinite(v) && v > 0; }

// lround of v clamped to [lo, hi]; clamping first keeps lround inside its range.
int roundClamped(double v, int lo, int hi) { return int(std::lround(std::clamp(v, double(lo), double(hi)))); }

}  // namespace

CursorShapeMessage CursorShapeMessage::fromPixels(int hotX, int hotY, int width, int height, double scale, Bytes png) {
    if (!positiveFinite(scale)) scale = 1.0;
    CursorShapeMessage m;
    m.hotX = float(hotX / scale);
    m.hotY = float(hotY / scale);
    m.width = float(width / scale);
    m.height = float(height / scale);
    m.png = std::move(png);
    return m;
}

Bytes CursorShapeMessage::write() const {
    Bytes out;
    out.reserve(16 + png.size());
    ByteWriter w(out);
    w.f32(hotX);
    w.f32(hotY);
    w.f32(width);
    w.f32(height);
    w.bytes(png);
    return out;
}

std::optional<CursorShapeMessage> CursorShapeMessage::read(ByteSpan payload) {
    try {
        ByteReader r(payload.data(), payload.size());
        CursorShapeMessage m;
        m.hotX = r.f32();
        m.hotY = r.f32();
        m.width = r.f32();
        m.height = r.f32();
        m.png = r.rest();
        return m;
    } catch (const ProtoError&) {
        return std::nullopt;
    }
}

std::optional<CursorImage> cursorImage(const CursorShapeMessage& message, double scale, const uint8_t* pixels,
                                       int srcWidth, int srcHeight) {
    if (!pixels || srcWidth < 1 || srcHeight < 1 || !positiveFinite(scale)) return std::nullopt;
    if (!positiveFinite(message.width) || !positiveFinite(message.height)) return std::nullopt;
    if (!std::isfinite(message.hotX) || !std::isfinite(message.hotY)) return std::nullopt;
    CursorImage c;
    // Products too large for a double become infinity, which clamps like any other huge value.
    c.width = roundClamped(double(message.width) * scale, 1, kMaxCursorSide);
    c.height = roundClamped(double(message.height) * scale, 1, kMaxCursorSide);
    c.hotX = roundClamped(double(message.hotX) * scale, 0, c.width - 1);
    c.hotY = roundClamped(double(message.hotY) * scale, 0, c.height - 1);
    c.bgra.resize(size_t(c.width) * size_t(c.height) * 4);
    for (int y = 0; y < c.height; ++y) {
        const int sy = int(std::min<int64_t>(srcHeight - 1, int64_t(y) * srcHeight / c.height));
        for (int x = 0; x < c.width; ++x) {
            const int sx = int(std::min<int64_t>(srcWidth - 1, int64_t(x) * srcWidth / c.width));
            std::copy_n(pixels + (size_t(sy) * size_t(srcWidth) + size_t(sx)) * 4, 4,
                        c.bgra.begin() + (ptrdiff_t(y) * c.width + x) * 4);
        }
    }
    return c;
}

std::optional<Bytes> monochromeCursorPixels(const uint8_t* mask, int width, int maskHeight) {
    if (!mask || width < 1 || maskHeight <= 1) return std::nullopt;
    const int height = maskHeight / 2;
    const size_t count = size_t(width) * size_t(height);
    const uint8_t* andMask = mask;
    const uint8_t* xorMask = mask + count * 4;
    Bytes out(count * 4, 0);
    std::vector<bool> inverting(count, false);
    for (size_t i = 0; i < count; ++i) {
        const bool a = andMask[i * 4] != 0, x = xorMask[i * 4] != 0;
        uint8_t* p = &out[i * 4];
        if (!a) {
            const uint8_t level = x ? 255 : 0;
            p[0] = p[1] = p[2] = level;
            p[3] = 255;
        } else if (x) {
            inverting[i] = true;
        }
    }
    auto transparent = [&](size_t i) { return !inverting[i] && out[i * 4 + 3] == 0; };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!inverting[size_t(y) * size_t(width) + size_t(x)]) continue;
            for (int ny = std::max(y - 1, 0); ny <= std::min(y + 1, height - 1); ++ny) {
                for (int nx = std::max(x - 1, 0); nx <= std::min(x + 1, width - 1); ++nx) {
                    const size_t n = size_t(ny) * size_t(width) + size_t(nx);
                    if (transparent(n)) std::fill_n(out.begin() + ptrdiff_t(n) * 4, 4, uint8_t(255));
                }
            }
        }
    }
    for (size_t i = 0; i < count; ++i) {
        if (inverting[i]) out[i * 4 + 3] = 255;  // colour bytes are still 0: black
    }
    return out;
}

bool alphaFromMask(Bytes& bgra, const uint8_t* mask) {
    for (size_t i = 3; i < bgra.size(); i += 4) {
        if (bgra[i] != 0) return false;
    }
    for (size_t i = 0; i + 3 < bgra.size(); i += 4) bgra[i + 3] = mask[i] == 0 ? 255 : 0;
    return true;
}
