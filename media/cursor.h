// Mouse-pointer shapes sent from host to viewer, and the rules that make and read them: the host
// reads the system's pointer, the viewer builds a cursor of its own size from the message.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/util.h"

// Payload of the cursor message: four big-endian f32 (hot spot x, y, width, height, in logical
// units: physical pixels / the DPI scale of the monitor holding the pointer), then a PNG of the
// shape in physical pixels (32-bit BGRA, straight alpha).
struct CursorShapeMessage {
    float hotX = 0, hotY = 0, width = 1, height = 1;
    Bytes png;

    // The message of a shape of width x height physical pixels with its hot spot, on a monitor of
    // `scale` (a scale that is not a positive finite number counts as 1).
    static CursorShapeMessage fromPixels(int hotX, int hotY, int width, int height, double scale, Bytes png);
    Bytes write() const;
    // None for a payload shorter than the four numbers (never throws).
    static std::optional<CursorShapeMessage> read(ByteSpan payload);
};

// The cursor a viewer makes of a message whose PNG decoded to `pixels` (srcWidth x srcHeight BGRA,
// pitch srcWidth x 4), at its own `scale` (window DPI / 96).
struct CursorImage {
    int width = 0, height = 0;  // lround(logical x scale), within 1..256
    int hotX = 0, hotY = 0;     // lround(logical x scale), inside the image
    Bytes bgra;                 // nearest-neighbour scaling of the decoded image, pitch width x 4
};
// None for an empty image, a size that is not a positive finite number, a hot spot that is not
// finite, or a scale that is not a positive finite number.
std::optional<CursorImage> cursorImage(const CursorShapeMessage& message, double scale, const uint8_t* pixels,
                                       int srcWidth, int srcHeight);

// A monochrome pointer: `mask` is the system's mask bitmap read as 32-bit top-down pixels, width x
// maskHeight, the AND mask above the XOR mask; only the first byte of each pixel counts. Gives
// width x maskHeight/2 BGRA pixels: AND 0 XOR 0 black, AND 0 XOR 1 white, AND 1 XOR 0 transparent,
// AND 1 XOR 1 (inverts the screen) black with every transparent pixel next to it (the 3 x 3 block)
// white, so that a text beam shows on any background. None for a mask of height 1 or less.
std::optional<Bytes> monochromeCursorPixels(const uint8_t* mask, int width, int maskHeight);

// A colour pointer whose alpha bytes are all 0 takes its alpha from its mask (same size, 32-bit
// pixels): opaque where the mask's first byte is 0, transparent elsewhere. Returns whether it did.
bool alphaFromMask(Bytes& bgra, const uint8_t* mask);

// A cursor message's PNG is decoded only up to this many pixels (1024 x 1024).
constexpr uint64_t kMaxCursorPixels = uint64_t(1024) * 1024;

#ifdef _WIN32
#include <windows.h>

// The host's view of the system pointer, polled by the capture loop.
class CursorCapturer {
public:
    // True when `out` holds a cursor message to send: the first poll, a new shape, the pointer
    // hiding (a 1 x 1 transparent shape) or showing again. The calling thread has COM initialised.
    bool poll(Bytes& out);

private:
    HCURSOR last_ = nullptr;
    bool hidden_ = false;
};

// The viewer's cursor for a cursor message at its own `scale` (window DPI / 96); null for any
// message it cannot use. Never throws: it runs inside a window procedure. Needs COM.
HCURSOR makeCursorFromMessage(const std::vector<unsigned char>& payload, double scale);
#endif
