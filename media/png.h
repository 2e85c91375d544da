// PNG images through the system's imaging component: 32-bit BGRA pixels with straight alpha,
// rows top-down. Both functions create their own imaging factory, so the calling thread must
// have COM initialised; they keep no state and may run on any such thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/util.h"

// Fills `out` with a PNG file of the width x height image whose rows lie `pitch` bytes apart.
// `out` is empty when any step fails.
void encodePng(Bytes& out, const uint8_t* bgraPixels, int width, int height, int pitch);

// The width and height in the header of a PNG file. False when `bytes` do not start with the PNG
// signature followed by a complete header chunk.
bool pngDeclaredSize(ByteSpan bytes, uint32_t& width, uint32_t& height);

// Whether `bytes` may go to the decoder: a PNG whose header declares a picture of at least one
// and at most `maxPixels` pixels. Anything else (other formats, a PNG inside an icon) is refused
// here, for other decoders set aside room for or decode the declared picture before any limit.
bool pngFitsLimit(ByteSpan bytes, uint64_t maxPixels);

// Decodes a PNG file with the system's PNG decoder, and nothing else. On true `outPixels` holds
// outWidth x outHeight BGRA pixels with pitch outWidth x 4. Bytes that pngFitsLimit refuses
// never reach a decoder, so a small file that declares a huge size cannot exhaust memory.
bool decodePng(ByteSpan bytes, Bytes& outPixels, int& outWidth, int& outHeight, uint64_t maxPixels);

// Where decodePngInto puts the rows: the top row's address and the distance from one row to the
// next, negative for rows laid out bottom-up. A null `top` stops the decode.
struct PngRows {
    uint8_t* top = nullptr;
    std::ptrdiff_t step = 0;
};

// Decodes like decodePng, straight into memory the caller provides once the size is known:
// `place` gets the width and height and answers where the width x 4 bytes of each row go.
bool decodePngInto(ByteSpan bytes, uint64_t maxPixels, const std::function<PngRows(int width, int height)>& place);
