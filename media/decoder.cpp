#include "media/decoder.h"

#include <algorithm>

FrameGeometry frameGeometry(const OutputFormat& f, size_t bufferLength) {
    FrameGeometry g;
    g.width = f.streamWidth == 0 ? f.outputWidth : int32_t(std::min<int64_t>(f.streamWidth, f.outputWidth));
    g.height = f.streamHeight != 0 && int64_t(f.streamHeight) < f.outputHeight ? int32_t(f.streamHeight)
                                                                               : f.outputHeight;
    g.fullRange = f.nominalRange == 1 ? true : f.nominalRange == 2 ? false : f.defaultFullRange;
    if (f.pitch <= 0 || f.outputHeight <= 0 || g.width <= 0 || g.height <= 0) return g;
    g.uvOffset = size_t(f.pitch) * size_t(f.outputHeight);
    const uint64_t needed = uint64_t(f.pitch) * (uint64_t(f.outputHeight) + (uint64_t(f.outputHeight) + 1) / 2);
    g.fits = needed <= bufferLength && int64_t(f.pitch) >= (int64_t(g.width) + 1) / 2 * 2;
    return g;
}

bool streamSizeAllowed(uint32_t width, uint32_t height) {
    return width <= 16'384 && height <= 16'384 && uint64_t(width) * height <= 35'651'584;
}
