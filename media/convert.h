// Colour conversion between the host's BGRA captures and the NV12 pictures of the video codecs.
//
// BGRA: 4 bytes per pixel (blue, green, red, alpha), rows `pitch` bytes apart; alpha is ignored.
// NV12 of W x H (both even): W x H luma bytes (pitch W), then H/2 chroma rows of W bytes holding
// W/2 pairs (U then V), one pair per 2 x 2 block; W x H x 3 / 2 bytes in all.
#pragma once

#include <cstdint>
#include <vector>

// Which code runs a conversion. Best is what the plain entry points use (the fastest path this
// CPU offers); the others let tests and benchmarks hold the paths against each other. A path the
// CPU lacks runs the next slower one.
//  - Reference: the defining loops (integer box filter; single-precision float BT.709 back to BGRA).
//  - Sse2, Avx2: vector code. BGRA to NV12 gives the reference's bytes exactly; NV12 to BGRA works
//    in integers and stays within 1 of the float loop, exact on black, white and grey.
enum class ConvertPath { Reference, Sse2, Avx2, Best };
bool convertPathAvailable(ConvertPath path);

// Scales a BGRA rectangle to dstWidth x dstHeight with a box filter and converts it to BT.709
// limited-range NV12 in `dst` (at least dstWidth x dstHeight x 3 / 2 bytes). `src` points at the
// rectangle's top-left pixel, which the caller offsets to crop. Writes nothing when a source side
// is 0 or less, the pitch is below srcWidth x 4, or a destination side is odd or below 2.
void convertBgraToNv12(const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, uint8_t* dst, int dstWidth,
                       int dstHeight);
void convertBgraToNv12(ConvertPath path, const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, uint8_t* dst,
                       int dstWidth, int dstHeight);

// A decoded NV12 picture (luma and chroma planes sharing one pitch) as width x height BGRA with
// pitch width x 4 and opaque alpha; BT.709, limited (16-235) or full range. Empty for a side of
// 0 or less or a pitch below the width rounded up to even.
std::vector<uint8_t> nv12ToBgra(const uint8_t* y, const uint8_t* uv, int pitch, int width, int height,
                                bool fullRange);
// The same into a caller's buffer of width x height x 4 bytes; false (nothing written) where
// nv12ToBgra gives an empty result.
bool nv12ToBgraInto(ConvertPath path, const uint8_t* y, const uint8_t* uv, int pitch, int width, int height,
                    bool fullRange, uint8_t* out);
