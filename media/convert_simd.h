// Vector kernels of the colour conversions, shared by convert.cpp (which picks them and finishes
// each row with the scalar formulas) and convert_simd.cpp (which holds them).
#pragma once

#include <cstdint>

namespace convert_simd {

enum class Isa { Sse2, Avx2 };

// Integer NV12 to BGRA, in 1/32 steps: luma term t = full ? y * 32 : (y * 256 * kLumaMul >> 16)
// - kLumaOffset; chroma terms c = ((U - 128) * 256 * k) >> 16 (green: both products summed first);
// each channel = clamp((t + c) >> 5, 0, 255). The products are those of 16-bit multiplies.
constexpr int kLumaMul = 9539;    // 255 / 219 x 2^13
constexpr int kLumaOffset = 596;  // 16 x 255 / 219 x 32
struct ChromaMul {
    int blueU, redV, greenU, greenV;
};
// 1.8556, 1.5748, 0.1873 and 0.4681 x 2^13, limited range also x 255 / 224.
constexpr ChromaMul kChromaLimited{17305, 14686, 1747, 4365};
constexpr ChromaMul kChromaFull{15201, 12901, 1534, 3835};

// Each converts the leading whole chunks of one row and returns how many destination columns it
// did (a multiple of 16 for Sse2, 32 for Avx2); the caller does the rest.

// A destination row pair of NV12 whose pixels are source pixels (rows `top` and `bottom`).
int bgraRowPairDirect(Isa isa, const uint8_t* top, const uint8_t* bottom, uint8_t* y0, uint8_t* y1, uint8_t* uv,
                      int width);
// A destination row pair whose pixels are the truncated means of 2 x 2 source blocks: the top
// row from source rows t0 and t1, the bottom row from b0 and b1.
int bgraRowPairHalf(Isa isa, const uint8_t* t0, const uint8_t* t1, const uint8_t* b0, const uint8_t* b1, uint8_t* y0,
                    uint8_t* y1, uint8_t* uv, int width);
// Sums `count` rows of `bytes` bytes each into 16-bit words (count x 255 must fit); returns how
// many leading bytes it did, the caller does the rest.
int sumRows(Isa isa, const uint8_t* const* rows, int count, int bytes, uint16_t* sums);
// The box filter's pixels of one destination row from column sums (`sums`: four words per source
// column, readable 16 words past the last column). Pixel x adds the source pixels first[x] to
// first[x] + 3 under `masks` (16 words per pixel: all ones for a covered column, else 0; with
// `wide` false only the first 8 words are read and two columns covered at most) and takes
// floor(S / n) as ((2 S) * m) >> 16 with m = ceil(2^15 / n) from `multipliers` (4 words per
// pixel), exact for boxes of at most kMaxVectorBox pixels. Does whole pixel pairs; returns how
// many pixels it did.
constexpr int kMaxVectorBox = 11;
int boxColumns(const uint16_t* sums, const int* first, const uint16_t* masks, bool wide, const uint16_t* multipliers,
               int width, uint8_t* out);
// out[i] = sums[i] + sums[i + 4]: each source column's sums plus the next column's. Returns how
// many leading words it did.
int addNextColumn(Isa isa, const uint16_t* sums, int words, uint16_t* out);
// The same division for boxes whose sums are ready: pixel x's four sums are the words at
// base + 4 x index[x]. Whole pixel pairs; returns how many pixels it did.
int boxPixels(const uint16_t* base, const int* index, const uint16_t* multipliers, int width, uint8_t* out);
// The box filter's pixels of one destination row straight from `count` source rows, for boxes at
// most two columns wide, in pixel pairs: pair p reads the 16 bytes at byte `windows[p]` of each
// row, which `controls` (16 per pair) arrange as byte pairs, one per channel of either pixel (the
// second byte zeroed where a box is one column wide); the division is boxColumns'. Avx2 only (0
// otherwise); does groups of eight pixels and returns how many pixels it did.
int boxRowNarrow(Isa isa, const uint8_t* const* rows, int count, const int* windows, const uint8_t* controls,
                 const uint16_t* multipliers, int pairs, uint8_t* out);
// One BGRA row from a luma row and its chroma row.
int nv12Row(Isa isa, const uint8_t* y, const uint8_t* uv, int width, bool fullRange, uint8_t* out);

}  // namespace convert_simd
