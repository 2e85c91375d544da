// Video decoding: the picture handed to the viewer and how its geometry follows from the
// decoder's output type. The decoder transform itself builds on these.
#pragma once

#include <cstddef>
#include <cstdint>

// One decoded NV12 picture; valid only during the callback that receives it (the planes belong
// to the decoder's locked output buffer).
struct DecodedFrame {
    const uint8_t* y = nullptr;   // first luma row
    const uint8_t* uv = nullptr;  // first row of the interleaved chroma plane
    int32_t pitch = 0;            // bytes between rows, in both planes
    int32_t width = 0;            // visible size
    int32_t height = 0;
    bool fullRange = false;  // 0-255 rather than 16-235
};

// What a decoder's output type says about a picture.
struct OutputFormat {
    uint32_t streamWidth = 0, streamHeight = 0;  // from the stream header (0: unknown)
    int32_t outputWidth = 0, outputHeight = 0;   // of the NV12 output type (the height may be padded)
    int32_t pitch = 0;                           // bytes between rows
    int32_t nominalRange = -1;                   // 1: 0-255, 2: 16-235, else not stated
    bool defaultFullRange = false;               // the range when the output type does not state it
};

struct FrameGeometry {
    int32_t width = 0, height = 0;  // visible size
    size_t uvOffset = 0;            // chroma plane = luma plane + pitch x output height
    bool fullRange = false;
    // The buffer holds both planes (pitch x (output height + half of it, rounded up) bytes) and
    // each visible row with its last chroma pair fits in the pitch. Pictures that do not are skipped.
    bool fits = false;
};

// Visible width: the stream width clipped to the output width (the output width when the stream
// width is 0). Visible height: the stream height when it is non-zero and below the output height,
// else the output height.
FrameGeometry frameGeometry(const OutputFormat& format, size_t bufferLength);
