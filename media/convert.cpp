#include "media/convert.h"

#include <algorithm>
#include <cstddef>
#include <optional>

#include "media/convert_simd.h"

namespace {

using convert_simd::Isa;

// ---- BGRA to NV12 ----

inline uint8_t lumaOf(int r, int g, int b) { return uint8_t(((47 * r + 157 * g + 16 * b + 128) >> 8) + 16); }

// Right shifts of negative values floor (arithmetic shift).
inline uint8_t chromaU(int r, int g, int b) {
    return uint8_t(std::clamp(((-26 * r - 87 * g + 112 * b + 128) >> 8) + 128, 0, 255));
}
inline uint8_t chromaV(int r, int g, int b) {
    return uint8_t(std::clamp(((112 * r - 102 * g - 10 * b + 128) >> 8) + 128, 0, 255));
}

// Source rows [first, end) of destination row r.
struct RowSpan {
    int first, end;
};
inline RowSpan sourceRows(int r, int srcHeight, int dstHeight) {
    const int m = int(int64_t(r) * srcHeight / dstHeight);
    const int e = std::min(std::max(int(int64_t(r + 1) * srcHeight / dstHeight), m + 1), srcHeight);
    return {m, e};
}

// Luma of both rows and chroma of the pair for columns [x0, width) of two destination rows of
// BGRA pixels (the box filter's results, or source rows taken as they are).
void writePair(const uint8_t* top, const uint8_t* bottom, int x0, int width, uint8_t* y0, uint8_t* y1, uint8_t* uv) {
    for (int x = x0; x < width; ++x) {
        const uint8_t* t = top + 4 * size_t(x);
        const uint8_t* b = bottom + 4 * size_t(x);
        y0[x] = lumaOf(t[2], t[1], t[0]);
        y1[x] = lumaOf(b[2], b[1], b[0]);
    }
    for (int x = x0; x + 1 < width; x += 2) {
        const uint8_t* t = top + 4 * size_t(x);
        const uint8_t* b = bottom + 4 * size_t(x);
        int c[3];  // B, G, R of the 2 x 2 block
        for (int k = 0; k < 3; ++k) c[k] = (t[k] + t[4 + k] + b[k] + b[4 + k]) >> 2;
        uv[x] = chromaU(c[2], c[1], c[0]);
        uv[x + 1] = chromaV(c[2], c[1], c[0]);
    }
}

std::vector<int> columnMap(int srcWidth, int dstWidth) {
    std::vector<int> col(size_t(dstWidth) + 1);
    for (int x = 0; x <= dstWidth; ++x) col[size_t(x)] = int(int64_t(x) * srcWidth / dstWidth);
    return col;
}

inline const uint8_t* sourceRow(const uint8_t* src, int srcPitch, int row) { return src + size_t(row) * size_t(srcPitch); }

// The box filter of one destination row into `out` (BGRA, alpha 0). Destination column x covers
// source columns col[x] up to max(col[x] + 1, col[x + 1]) (`col` has dstWidth + 1 entries); each
// channel is the truncated mean over the covered rectangle.
void boxRow(const uint8_t* src, int srcWidth, int srcPitch, const int* col, int dstWidth, RowSpan rows, uint8_t* out) {
    const bool direct = srcWidth == dstWidth && rows.end == rows.first + 1;
    for (int x = 0; x < dstWidth; ++x) {
        uint8_t* o = out + 4 * size_t(x);
        if (direct) {
            const uint8_t* p = sourceRow(src, srcPitch, rows.first) + 4 * size_t(x);
            o[0] = p[0], o[1] = p[1], o[2] = p[2], o[3] = 0;
            continue;
        }
        const int c0 = col[x];
        const int c1 = std::max(c0 + 1, col[x + 1]);
        uint64_t sum[3] = {0, 0, 0};
        for (int row = rows.first; row < rows.end; ++row) {
            const uint8_t* p = sourceRow(src, srcPitch, row) + 4 * size_t(c0);
            for (int c = c0; c < c1; ++c, p += 4) {
                for (int k = 0; k < 3; ++k) sum[k] += p[k];
            }
        }
        const uint64_t n = uint64_t(rows.end - rows.first) * uint64_t(c1 - c0);
        for (int k = 0; k < 3; ++k) o[k] = uint8_t(sum[k] / n);
        o[3] = 0;
    }
}

// The box filter of boxRow, faster: the covered source rows are first summed per column, then
// each destination column adds up its columns and divides by multiplying with a reciprocal.
// floor(S / n) = (S * ceil(2^32 / n)) >> 32 holds for S * (n - 1) < 2^32, that is for every sum
// of n bytes while n <= 4104; larger boxes divide.
class BoxFilter {
public:
    BoxFilter(int srcWidth, int srcHeight, int dstWidth, int dstHeight)
        : srcWidth_(srcWidth), dstWidth_(dstWidth), col_(columnMap(srcWidth, dstWidth)), acc_(4 * size_t(srcWidth)) {
        const int64_t maxRows = (int64_t(srcHeight) + dstHeight - 1) / dstHeight + 1;
        const int64_t maxCols = (int64_t(srcWidth) + dstWidth - 1) / dstWidth + 1;
        const int64_t maxBox = std::min<int64_t>(maxRows * maxCols, kMaxReciprocal);
        reciprocal_.resize(size_t(maxBox) + 1);
        for (int64_t n = 1; n <= maxBox; ++n) {
            reciprocal_[size_t(n)] = ((uint64_t(1) << 32) + uint64_t(n) - 1) / uint64_t(n);
        }
    }

    // Destination columns [x0, dstWidth) of one row into `out` (BGRA, alpha 0).
    void row(const uint8_t* src, int srcPitch, RowSpan rows, int x0, uint8_t* out) {
        const int rowCount = rows.end - rows.first;
        if (rowCount == 1) {
            columns(sourceRow(src, srcPitch, rows.first), x0, 1, out);
            return;
        }
        const size_t first = 4 * size_t(col_[size_t(x0)]), end = 4 * size_t(srcWidth_);
        const uint8_t* p = sourceRow(src, srcPitch, rows.first);
        for (size_t i = first; i < end; ++i) acc_[i] = p[i];
        for (int r = rows.first + 1; r < rows.end; ++r) {
            p = sourceRow(src, srcPitch, r);
            for (size_t i = first; i < end; ++i) acc_[i] += p[i];
        }
        columns(acc_.data(), x0, rowCount, out);
    }

private:
    // `values`: four per source column (B, G, R, A), each the sum over `rowCount` rows.
    template <class T>
    void columns(const T* values, int x0, int rowCount, uint8_t* out) const {
        for (int x = x0; x < dstWidth_; ++x) {
            const int c0 = col_[size_t(x)];
            const int c1 = std::max(c0 + 1, col_[size_t(x) + 1]);
            uint64_t sum[3] = {0, 0, 0};
            for (const T* v = values + 4 * size_t(c0); v < values + 4 * size_t(c1); v += 4) {
                sum[0] += v[0], sum[1] += v[1], sum[2] += v[2];
            }
            const uint64_t n = uint64_t(rowCount) * uint64_t(c1 - c0);
            uint8_t* o = out + 4 * size_t(x);
            if (n < reciprocal_.size()) {
                for (int k = 0; k < 3; ++k) o[k] = uint8_t((sum[k] * reciprocal_[n]) >> 32);
            } else {
                for (int k = 0; k < 3; ++k) o[k] = uint8_t(sum[k] / n);
            }
            o[3] = 0;
        }
    }

    static constexpr int64_t kMaxReciprocal = 4104;
    int srcWidth_, dstWidth_;
    std::vector<int> col_;
    std::vector<uint32_t> acc_;
    std::vector<uint64_t> reciprocal_;
};

// The box filter for boxes of at most convert_simd::kMaxVectorBox pixels and four columns, with
// the same bytes as boxRow: the covered rows are summed into 16-bit words, then each destination
// column takes its source columns (where no box is wider than two, as one column's sums or the
// sums of a column and the next, chosen once per size pair; else under masks) and divides by a
// multiply. With AVX2, boxes at most two columns wide skip the column sums: each pixel pair
// shuffles its channels' source bytes out of each row by indices chosen once per size pair.
class VectorBox {
public:
    // Empty where a box is too large for it.
    static std::optional<VectorBox> make(int srcWidth, int srcHeight, int dstWidth, int dstHeight) {
        const std::vector<int> col = columnMap(srcWidth, dstWidth);
        int maxSpan = 1, maxRows = 1;
        for (int x = 0; x < dstWidth; ++x) maxSpan = std::max(maxSpan, col[size_t(x) + 1] - col[size_t(x)]);
        for (int r = 0; r < dstHeight; ++r) {
            const RowSpan rows = sourceRows(r, srcHeight, dstHeight);
            maxRows = std::max(maxRows, rows.end - rows.first);
        }
        if (maxSpan > 4 || int64_t(maxSpan) * maxRows > convert_simd::kMaxVectorBox) return std::nullopt;
        return VectorBox(srcWidth, dstWidth, col, maxSpan, maxRows);
    }

    // One destination row into `out` (BGRA; the fourth byte is not the reference's).
    void row(Isa isa, const uint8_t* src, int srcPitch, RowSpan rows, uint8_t* out) {
        const uint8_t* pointers[convert_simd::kMaxVectorBox];
        const int count = rows.end - rows.first;
        for (int i = 0; i < count; ++i) pointers[i] = sourceRow(src, srcPitch, rows.first + i);
        const std::vector<uint16_t>& m = multipliers_[size_t(count)];
        int done = 0;
        if (!wide_ && isa == Isa::Avx2) {
            done = convert_simd::boxRowNarrow(isa, pointers, count, windows_.data(), controls_.data(), m.data(),
                                              int(windows_.size()), out);
        } else {
            done = columnSums(isa, pointers, count, m.data(), out);
        }
        for (int x = done; x < dstWidth_; ++x) {
            const int c0 = first_[size_t(x)], span = spans_[size_t(x)];
            for (int k = 0; k < 4; ++k) {
                int sum = 0;
                for (int r = 0; r < count; ++r) {
                    for (int c = c0; c < c0 + span; ++c) sum += pointers[r][4 * size_t(c) + size_t(k)];
                }
                out[4 * size_t(x) + size_t(k)] = uint8_t(sum / (count * span));
            }
        }
    }

private:
    // Sums the rows per source column first, then takes each box from those sums.
    int columnSums(Isa isa, const uint8_t* const* pointers, int count, const uint16_t* m, uint8_t* out) {
        const int words = 4 * srcWidth_;
        for (int i = convert_simd::sumRows(isa, pointers, count, words, sums_.data()); i < words; ++i) {
            int sum = 0;
            for (int r = 0; r < count; ++r) sum += pointers[r][i];
            sums_[size_t(i)] = uint16_t(sum);
        }
        if (wide_) return convert_simd::boxColumns(sums_.data(), first_.data(), masks_.data(), true, m, dstWidth_, out);
        uint16_t* pairs = sums_.data() + pairsAt_;
        for (int i = anyPair_ ? convert_simd::addNextColumn(isa, sums_.data(), words, pairs) : words; i < words; ++i) {
            pairs[i] = uint16_t(sums_[size_t(i)] + sums_[size_t(i) + 4]);
        }
        return convert_simd::boxPixels(sums_.data(), index_.data(), m, dstWidth_, out);
    }

    VectorBox(int srcWidth, int dstWidth, const std::vector<int>& col, int maxSpan, int maxRows)
        : srcWidth_(srcWidth), dstWidth_(dstWidth), wide_(maxSpan > 2), pairsAt_(4 * size_t(srcWidth) + 16),
          sums_(2 * pairsAt_ + 8), first_(size_t(dstWidth)), spans_(size_t(dstWidth)), index_(size_t(dstWidth)),
          multipliers_(size_t(maxRows) + 1) {
        if (wide_) masks_.resize(16 * size_t(dstWidth));
        for (int x = 0; x < dstWidth; ++x) {
            const int c0 = col[size_t(x)], span = std::max(1, col[size_t(x) + 1] - c0);
            first_[size_t(x)] = c0;
            spans_[size_t(x)] = span;
            index_[size_t(x)] = span == 2 ? int(pairsAt_ / 4) + c0 : c0;
            anyPair_ = anyPair_ || span == 2;
            if (wide_) {
                for (int j = 0; j < 16; ++j) masks_[16 * size_t(x) + size_t(j)] = j / 4 < span ? 0xFFFF : 0;
            }
        }
        if (!wide_) {
            // Pixel pairs whose four-pixel window stays inside the row; the later ones are few.
            for (int x = 0; x + 1 < dstWidth && col[size_t(x)] + 4 <= srcWidth; x += 2) {
                const int c0 = col[size_t(x)];
                windows_.push_back(4 * c0);
                for (int i = 0; i < 2; ++i) {
                    const int at = 4 * (first_[size_t(x + i)] - c0);
                    for (int k = 0; k < 4; ++k) {
                        controls_.push_back(uint8_t(at + k));
                        controls_.push_back(spans_[size_t(x + i)] == 2 ? uint8_t(at + 4 + k) : uint8_t(0x80));
                    }
                }
            }
        }
        for (int rows = 1; rows <= maxRows; ++rows) {
            std::vector<uint16_t>& m = multipliers_[size_t(rows)];
            m.resize(4 * size_t(dstWidth));
            for (int x = 0; x < dstWidth; ++x) {
                const int n = rows * spans_[size_t(x)];
                std::fill_n(m.begin() + 4 * x, 4, uint16_t((32768 + n - 1) / n));
            }
        }
    }

    int srcWidth_, dstWidth_;
    bool wide_;       // some box is more than two columns wide
    bool anyPair_ = false;  // some box is two columns wide
    size_t pairsAt_;  // where the sums of each column and the next begin in sums_
    // Four words per source column, zeros the masks and the last pair take in, then the pairs.
    std::vector<uint16_t> sums_;
    std::vector<int> first_, spans_, index_;  // index_: each destination pixel's sums, in 4-word steps
    std::vector<uint16_t> masks_;             // wide only: 16 words per destination column
    std::vector<int> windows_;                // not wide: per pixel pair, its first source byte
    std::vector<uint8_t> controls_;           // not wide: per pixel pair, 16 byte shuffle indices
    std::vector<std::vector<uint16_t>> multipliers_;  // per row count: 4 words per destination column
};

bool convertArgumentsUsable(int srcWidth, int srcHeight, int srcPitch, int dstWidth, int dstHeight) {
    return srcWidth > 0 && srcHeight > 0 && int64_t(srcPitch) >= int64_t(srcWidth) * 4 && dstWidth >= 2 &&
           dstHeight >= 2 && dstWidth % 2 == 0 && dstHeight % 2 == 0;
}

// Every row pair through the box filter: the defining loop.
void bgraToNv12Reference(const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, uint8_t* dst, int dstWidth,
                         int dstHeight) {
    const std::vector<int> col = columnMap(srcWidth, dstWidth);
    std::vector<uint8_t> top(4 * size_t(dstWidth)), bottom(4 * size_t(dstWidth));
    uint8_t* uvPlane = dst + size_t(dstWidth) * size_t(dstHeight);
    for (int r = 0; r < dstHeight; r += 2) {
        boxRow(src, srcWidth, srcPitch, col.data(), dstWidth, sourceRows(r, srcHeight, dstHeight), top.data());
        boxRow(src, srcWidth, srcPitch, col.data(), dstWidth, sourceRows(r + 1, srcHeight, dstHeight), bottom.data());
        uint8_t* y0 = dst + size_t(r) * size_t(dstWidth);
        writePair(top.data(), bottom.data(), 0, dstWidth, y0, y0 + dstWidth, uvPlane + size_t(r / 2) * size_t(dstWidth));
    }
}

// The vector kernels give the box filter's bytes from BGRA rows. Row pairs whose pixels are
// source pixels (same width, one source row each) go in as they are, means of exact 2 x 2 source
// blocks (half the width, two rows each) are taken in the kernel; every other row pair goes
// through VectorBox first, or BoxFilter where its boxes are too large for VectorBox. Columns beyond the last whole vector chunk take writePair.
void bgraToNv12Vector(Isa isa, const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, uint8_t* dst,
                      int dstWidth, int dstHeight) {
    std::optional<BoxFilter> box;
    std::optional<VectorBox> vectorBox;
    bool vectorBoxTried = false;
    std::vector<uint8_t> top(4 * size_t(dstWidth)), bottom(4 * size_t(dstWidth));
    uint8_t* uvPlane = dst + size_t(dstWidth) * size_t(dstHeight);
    auto row = [&](int r) { return sourceRow(src, srcPitch, r); };
    for (int r = 0; r < dstHeight; r += 2) {
        const RowSpan a = sourceRows(r, srcHeight, dstHeight), b = sourceRows(r + 1, srcHeight, dstHeight);
        uint8_t* y0 = dst + size_t(r) * size_t(dstWidth);
        uint8_t* y1 = y0 + dstWidth;
        uint8_t* uv = uvPlane + size_t(r / 2) * size_t(dstWidth);
        if (srcWidth == dstWidth && a.end == a.first + 1 && b.end == b.first + 1) {
            const int done = convert_simd::bgraRowPairDirect(isa, row(a.first), row(b.first), y0, y1, uv, dstWidth);
            writePair(row(a.first), row(b.first), done, dstWidth, y0, y1, uv);
            continue;
        }
        int done = 0;
        const bool halving = int64_t(srcWidth) == 2 * int64_t(dstWidth) && a.end == a.first + 2 && b.end == b.first + 2;
        if (!halving && !vectorBoxTried) {
            vectorBoxTried = true;
            vectorBox = VectorBox::make(srcWidth, srcHeight, dstWidth, dstHeight);
        }
        if (!halving && vectorBox) {
            vectorBox->row(isa, src, srcPitch, a, top.data());
            vectorBox->row(isa, src, srcPitch, b, bottom.data());
            done = convert_simd::bgraRowPairDirect(isa, top.data(), bottom.data(), y0, y1, uv, dstWidth);
            writePair(top.data(), bottom.data(), done, dstWidth, y0, y1, uv);
            continue;
        }
        if (!box) box.emplace(srcWidth, srcHeight, dstWidth, dstHeight);
        if (halving) {
            done = convert_simd::bgraRowPairHalf(isa, row(a.first), row(a.first + 1), row(b.first), row(b.first + 1),
                                                 y0, y1, uv, dstWidth);
            box->row(src, srcPitch, a, done, top.data());
            box->row(src, srcPitch, b, done, bottom.data());
        } else {
            box->row(src, srcPitch, a, 0, top.data());
            box->row(src, srcPitch, b, 0, bottom.data());
            done = convert_simd::bgraRowPairDirect(isa, top.data(), bottom.data(), y0, y1, uv, dstWidth);
        }
        writePair(top.data(), bottom.data(), done, dstWidth, y0, y1, uv);
    }
}

// ---- NV12 to BGRA ----

// The float loop, as the renderer's pixel shader computes it.
void nv12PixelFloat(int y, int u, int v, bool fullRange, uint8_t* out) {
    float Y = float(y) / 255.0f;
    float cb = float(u - 128) / 255.0f;
    float cr = float(v - 128) / 255.0f;
    if (!fullRange) {
        cb *= 1.1383928f;
        cr *= 1.1383928f;
        Y = (Y - 0.0627451f) * 255.0f / 219.0f;
    }
    const float bgr[3] = {(Y + 1.8556f * cb) * 255.0f, (Y - 0.1873f * cb - 0.4681f * cr) * 255.0f,
                          (Y + 1.5748f * cr) * 255.0f};
    for (int k = 0; k < 3; ++k) out[k] = uint8_t(std::clamp(bgr[k], 0.0f, 255.0f));
    out[3] = 255;
}

// The vector kernels' integer formulas (convert_simd.h), for the columns they leave.
void nv12PixelInteger(int y, int u, int v, bool fullRange, uint8_t* out) {
    const convert_simd::ChromaMul& k = fullRange ? convert_simd::kChromaFull : convert_simd::kChromaLimited;
    const int t = fullRange ? y * 32 : ((y * 256 * convert_simd::kLumaMul) >> 16) - convert_simd::kLumaOffset;
    const int cu = (u - 128) * 256, cv = (v - 128) * 256;
    const int b = t + ((cu * k.blueU) >> 16);
    const int g = t - ((cu * k.greenU + cv * k.greenV) >> 16);
    const int r = t + ((cv * k.redV) >> 16);
    out[0] = uint8_t(std::clamp(b >> 5, 0, 255));
    out[1] = uint8_t(std::clamp(g >> 5, 0, 255));
    out[2] = uint8_t(std::clamp(r >> 5, 0, 255));
    out[3] = 255;
}

template <class Pixel>
void nv12Columns(const uint8_t* yRow, const uint8_t* uvRow, int x0, int width, bool fullRange, uint8_t* out,
                 Pixel pixel) {
    for (int x = x0; x < width; ++x) {
        const int c = x & ~1;
        pixel(yRow[x], uvRow[c], uvRow[c + 1], fullRange, out + 4 * size_t(x));
    }
}

bool hasVectors() {
#if defined(__x86_64__) || defined(_M_X64)
    return true;
#else
    return false;
#endif
}

// __builtin_cpu_supports also checks that the system saves the 256-bit registers.
bool hasAvx2() {
#if defined(__x86_64__) || defined(_M_X64)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

Isa isaFor(ConvertPath path) { return path == ConvertPath::Sse2 || !hasAvx2() ? Isa::Sse2 : Isa::Avx2; }

}  // namespace

bool convertPathAvailable(ConvertPath path) {
    switch (path) {
        case ConvertPath::Reference:
        case ConvertPath::Best: return true;
        case ConvertPath::Sse2: return hasVectors();
        case ConvertPath::Avx2: return hasAvx2();
    }
    return false;
}

void convertBgraToNv12(ConvertPath path, const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, uint8_t* dst,
                       int dstWidth, int dstHeight) {
    if (!convertArgumentsUsable(srcWidth, srcHeight, srcPitch, dstWidth, dstHeight)) return;
    if (path == ConvertPath::Reference || !hasVectors()) {
        bgraToNv12Reference(src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight);
    } else {
        bgraToNv12Vector(isaFor(path), src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight);
    }
}

void convertBgraToNv12(const uint8_t* src, int srcWidth, int srcHeight, int srcPitch, uint8_t* dst, int dstWidth,
                       int dstHeight) {
    convertBgraToNv12(ConvertPath::Best, src, srcWidth, srcHeight, srcPitch, dst, dstWidth, dstHeight);
}

bool nv12ToBgraInto(ConvertPath path, const uint8_t* y, const uint8_t* uv, int pitch, int width, int height,
                    bool fullRange, uint8_t* out) {
    if (width <= 0 || height <= 0 || int64_t(pitch) < (int64_t(width) + 1) / 2 * 2) return false;
    for (int i = 0; i < height; ++i) {
        const uint8_t* yRow = y + size_t(i) * size_t(pitch);
        const uint8_t* uvRow = uv + size_t(i / 2) * size_t(pitch);
        uint8_t* row = out + size_t(i) * size_t(width) * 4;
        if (path == ConvertPath::Reference) {
            nv12Columns(yRow, uvRow, 0, width, fullRange, row, nv12PixelFloat);
            continue;
        }
        const int done = hasVectors() ? convert_simd::nv12Row(isaFor(path), yRow, uvRow, width, fullRange, row) : 0;
        nv12Columns(yRow, uvRow, done, width, fullRange, row, nv12PixelInteger);
    }
    return true;
}

std::vector<uint8_t> nv12ToBgra(const uint8_t* y, const uint8_t* uv, int pitch, int width, int height,
                                bool fullRange) {
    if (width <= 0 || height <= 0) return {};
    std::vector<uint8_t> out(size_t(width) * size_t(height) * 4);
    if (!nv12ToBgraInto(ConvertPath::Best, y, uv, pitch, width, height, fullRange, out.data())) return {};
    return out;
}
