// Video rendering: the layout and colour rules of the Direct3D renderer that need no Windows calls.
#pragma once

#include <array>
#include <cstdint>

// The part of the back buffer the picture is drawn into: scaled to fit, aspect kept, centred
// (black bars on the other two sides).
struct Viewport {
    float x = 0, y = 0, width = 0, height = 0;
};
Viewport letterbox(int32_t pictureWidth, int32_t pictureHeight, int32_t backWidth, int32_t backHeight);

struct PixelSize {
    int32_t width = 0, height = 0;
};
// A picture uploads at its size rounded down to even (the chroma plane covers 2 x 2 blocks).
PixelSize uploadSize(int32_t frameWidth, int32_t frameHeight);
// The back buffer follows the window's client area, each side at least 1.
PixelSize backBufferSize(int32_t clientWidth, int32_t clientHeight);

// The pixel shader's constant `range`: y = (luma - x) * y; (cb, cr) = (chroma - w) * z, with the
// BT.709 matrix after it. Luma 16 and 235 of a limited-range picture, 0 and 255 of a full-range
// one, are black and white; chroma 128 is neutral (w = 128/255, not 0.5).
std::array<float, 4> rangeConstants(bool fullRange);
