// SSE2 and AVX2 instances of the conversion kernels (convert_kernels.h). The AVX2 instance is
// compiled for AVX2 only inside its own namespace and runs only when the CPU reports AVX2.
#include "media/convert_simd.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

namespace convert_simd {
namespace sse2 {

struct Ops {
    using V = __m128i;
    static constexpr int K = 4;
    static V load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(uint8_t* p, V v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
    static void storePixels(uint8_t* p, V a, V b, V c, V d) {
        store(p, a);
        store(p + 16, b);
        store(p + 32, c);
        store(p + 48, d);
    }
    static V zero() { return _mm_setzero_si128(); }
    static V set16(int v) { return _mm_set1_epi16(int16_t(v)); }
    static V set32(int v) { return _mm_set1_epi32(v); }
    static V pair(int lo, int hi) { return _mm_set1_epi32(int((uint32_t(uint16_t(hi)) << 16) | uint16_t(lo))); }
    static V and_(V a, V b) { return _mm_and_si128(a, b); }
    static V or_(V a, V b) { return _mm_or_si128(a, b); }
    static V xor_(V a, V b) { return _mm_xor_si128(a, b); }
    static V add16(V a, V b) { return _mm_add_epi16(a, b); }
    static V sub16(V a, V b) { return _mm_sub_epi16(a, b); }
    static V add32(V a, V b) { return _mm_add_epi32(a, b); }
    template <int N> static V srli16(V a) { return _mm_srli_epi16(a, N); }
    template <int N> static V slli16(V a) { return _mm_slli_epi16(a, N); }
    template <int N> static V srai16(V a) { return _mm_srai_epi16(a, N); }
    template <int N> static V srli32(V a) { return _mm_srli_epi32(a, N); }
    template <int N> static V srai32(V a) { return _mm_srai_epi32(a, N); }
    static V madd(V a, V b) { return _mm_madd_epi16(a, b); }
    static V mulhi16(V a, V b) { return _mm_mulhi_epi16(a, b); }
    static V mulhiu16(V a, V b) { return _mm_mulhi_epu16(a, b); }
    static V packs32(V a, V b) { return _mm_packs_epi32(a, b); }
    static V packus16(V a, V b) { return _mm_packus_epi16(a, b); }
    static V unpacklo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    static V unpackhi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    static V unpacklo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
    static V unpackhi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
    static V evenLanes(V a, V b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    }
    static V oddLanes(V a, V b) {
        return _mm_castps_si128(_mm_shuffle_ps(_mm_castsi128_ps(a), _mm_castsi128_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
    }
    static V fixLanes(V a) { return a; }
    static V orderPacked(V a) { return a; }
    static V dupEvenWords(V a) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, _MM_SHUFFLE(2, 2, 0, 0)), _MM_SHUFFLE(2, 2, 0, 0));
    }
    static V dupOddWords(V a) {
        return _mm_shufflehi_epi16(_mm_shufflelo_epi16(a, _MM_SHUFFLE(3, 3, 1, 1)), _MM_SHUFFLE(3, 3, 1, 1));
    }
};

#include "media/convert_kernels.h"

}  // namespace sse2

#pragma GCC push_options
#pragma GCC target("avx2")

namespace avx2 {

struct Ops {
    using V = __m256i;
    static constexpr int K = 8;
    static V load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(uint8_t* p, V v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
    // a..d hold pixels 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27, 12-15 | 28-31.
    static void storePixels(uint8_t* p, V a, V b, V c, V d) {
        store(p, _mm256_permute2x128_si256(a, b, 0x20));
        store(p + 32, _mm256_permute2x128_si256(c, d, 0x20));
        store(p + 64, _mm256_permute2x128_si256(a, b, 0x31));
        store(p + 96, _mm256_permute2x128_si256(c, d, 0x31));
    }
    static V zero() { return _mm256_setzero_si256(); }
    static V set16(int v) { return _mm256_set1_epi16(int16_t(v)); }
    static V set32(int v) { return _mm256_set1_epi32(v); }
    static V pair(int lo, int hi) { return _mm256_set1_epi32(int((uint32_t(uint16_t(hi)) << 16) | uint16_t(lo))); }
    static V and_(V a, V b) { return _mm256_and_si256(a, b); }
    static V or_(V a, V b) { return _mm256_or_si256(a, b); }
    static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
    static V add16(V a, V b) { return _mm256_add_epi16(a, b); }
    static V sub16(V a, V b) { return _mm256_sub_epi16(a, b); }
    static V add32(V a, V b) { return _mm256_add_epi32(a, b); }
    template <int N> static V srli16(V a) { return _mm256_srli_epi16(a, N); }
    template <int N> static V slli16(V a) { return _mm256_slli_epi16(a, N); }
    template <int N> static V srai16(V a) { return _mm256_srai_epi16(a, N); }
    template <int N> static V srli32(V a) { return _mm256_srli_epi32(a, N); }
    template <int N> static V srai32(V a) { return _mm256_srai_epi32(a, N); }
    static V madd(V a, V b) { return _mm256_madd_epi16(a, b); }
    static V mulhi16(V a, V b) { return _mm256_mulhi_epi16(a, b); }
    static V mulhiu16(V a, V b) { return _mm256_mulhi_epu16(a, b); }
    static V packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
    static V packus16(V a, V b) { return _mm256_packus_epi16(a, b); }
    static V unpacklo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
    static V unpackhi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
    static V unpacklo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
    static V unpackhi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
    static V evenLanes(V a, V b) {
        return _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
    }
    static V oddLanes(V a, V b) {
        return _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
    }
    // Packs and pair sums of (a, b) leave a's and b's low halves in the low 128 bits.
    static V fixLanes(V a) { return _mm256_permute4x64_epi64(a, _MM_SHUFFLE(3, 1, 2, 0)); }
    // Twice packed, the low half holds 32-bit lanes 0, 2, 4, 6 of the result and the high half 1, 3, 5, 7.
    static V orderPacked(V a) { return _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7)); }
    static V dupEvenWords(V a) {
        return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, _MM_SHUFFLE(2, 2, 0, 0)), _MM_SHUFFLE(2, 2, 0, 0));
    }
    static V dupOddWords(V a) {
        return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(a, _MM_SHUFFLE(3, 3, 1, 1)), _MM_SHUFFLE(3, 3, 1, 1));
    }
};

#include "media/convert_kernels.h"

// BGRA to NV12 on bytes, with the byte shuffles and byte multiply-adds of AVX2 (fewer steps than
// the word arithmetic above): each vector holds 8 BGRA pixels, 4 per 128-bit half.

// Per pixel B, G, R, G: with the factors 16, 78, 47, 79 one multiply-add gives 16 B + 78 G and
// 47 R + 79 G, whose sum is the luma sum (at most 56100: 16-bit sums do not overflow).
inline V lumaShuffle() {
    return _mm256_setr_epi8(0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12, 13, 14, 13, 0, 1, 2, 1, 4, 5, 6, 5, 8, 9, 10, 9, 12,
                            13, 14, 13);
}
// Per pair of pixels (or pair of 4-byte groups) B0 B1 G0 G1 R0 R1 A0 A1.
inline V pairShuffle() {
    return _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15, 0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13,
                            10, 14, 11, 15);
}

// 32 luma bytes of four vectors of pixels.
inline V lumaBytes32(const V* p) {
    const V shuffle = lumaShuffle(), factors = _mm256_set1_epi32(int(0x4f2f4e10));  // 16, 78, 47, 79
    V s[4];
    for (int j = 0; j < 4; ++j) s[j] = _mm256_maddubs_epi16(_mm256_shuffle_epi8(p[j], shuffle), factors);
    const V bias = _mm256_set1_epi16(128 + (16 << 8));
    V lo = _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(s[0], s[1]), bias), 8);
    V hi = _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(s[2], s[3]), bias), 8);
    return Ops::orderPacked(_mm256_packus_epi16(lo, hi));
}

// Sums of B, G, R, A over the pixel pairs of a vector: four 16-bit words per pair.
inline V pairWords(V p) { return _mm256_maddubs_epi16(_mm256_shuffle_epi8(p, pairShuffle()), _mm256_set1_epi8(1)); }

// The truncated means of the 2 x 2 blocks of two rows of pixel vectors a0 a1 over b0 b1, as
// bytes B G R A per block; the 128-bit halves keep blocks 0, 1, 4, 5 and 2, 3, 6, 7.
inline V blockMeans(V a0, V a1, V b0, V b1) {
    const V s0 = _mm256_srli_epi16(_mm256_add_epi16(pairWords(a0), pairWords(b0)), 2);
    const V s1 = _mm256_srli_epi16(_mm256_add_epi16(pairWords(a1), pairWords(b1)), 2);
    return _mm256_packus_epi16(s0, s1);
}

// U words then V words of each half's four blocks: ((-26 R - 87 G + 112 B + 128) >> 8) + 128 and
// ((112 R - 102 G - 10 B + 128) >> 8) + 128; the byte products stay inside 16 bits.
inline V chromaWords(V blocks) {
    const V u = _mm256_maddubs_epi16(blocks, _mm256_set1_epi32(int(0x00e6a970)));  // 112, -87, -26, 0
    const V v = _mm256_maddubs_epi16(blocks, _mm256_set1_epi32(int(0x00709af6)));  // -10, -102, 112, 0
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_hadd_epi16(u, v), _mm256_set1_epi16(int16_t(128 + (128 << 8)))), 8);
}

template <class Source>
inline int bgraRowPairBytes(const Source& src, uint8_t* y0, uint8_t* y1, uint8_t* uv, int width) {
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        V top[4], bottom[4];
        for (int j = 0; j < 4; ++j) {
            top[j] = src.top(x + 8 * j);
            bottom[j] = src.bottom(x + 8 * j);
        }
        Ops::store(y0 + x, lumaBytes32(top));
        Ops::store(y1 + x, lumaBytes32(bottom));
        const V c0 = chromaWords(blockMeans(top[0], top[1], bottom[0], bottom[1]));
        const V c1 = chromaWords(blockMeans(top[2], top[3], bottom[2], bottom[3]));
        // Halves of the packed bytes: U of blocks 0 1 4 5, V of them, U of 8 9 12 13, V of them
        // (2 3 6 7 and 10 11 14 15 in the high half); pairShuffle interleaves U with V.
        const V packed = _mm256_shuffle_epi8(_mm256_packus_epi16(c0, c1), pairShuffle());
        Ops::store(uv + x, Ops::orderPacked(packed));
    }
    return x;
}

struct DirectBytes {
    const uint8_t* a;
    const uint8_t* b;
    V top(int x) const { return Ops::load(a + 4 * x); }
    V bottom(int x) const { return Ops::load(b + 4 * x); }
};

// Each pixel the truncated mean of a 2 x 2 source block.
inline V halfBytes(const uint8_t* a, const uint8_t* b) {
    return Ops::fixLanes(blockMeans(Ops::load(a), Ops::load(a + 32), Ops::load(b), Ops::load(b + 32)));
}

struct HalfBytes {
    const uint8_t *t0, *t1, *b0, *b1;
    V top(int x) const { return halfBytes(t0 + 8 * x, t1 + 8 * x); }
    V bottom(int x) const { return halfBytes(b0 + 8 * x, b1 + 8 * x); }
};

int sumRows(const uint8_t* const* rows, int count, int bytes, uint16_t* sums) {
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        __m256i s = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0] + i)));
        for (int r = 1; r < count; ++r) {
            s = _mm256_add_epi16(s, _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + i))));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i), s);
    }
    return i;
}

int addNextColumn(const uint16_t* sums, int words, uint16_t* out) {
    int i = 0;
    for (; i + 16 <= words; i += 16) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + i));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(sums + i + 4));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_add_epi16(a, b));
    }
    return i;
}

// Two 16-byte windows of a row as the halves of one vector.
inline V windowPair(const uint8_t* row, int lo, int hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + lo))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + hi)), 1);
}

// Four pixel pairs per step: each 128-bit half takes one pair's window, so the pairs' sums come
// out as pairs 0 2 | 1 3 after the pack, which fixLanes puts in order.
int boxRowNarrow(const uint8_t* const* rows, int count, const int* windows, const uint8_t* controls,
                 const uint16_t* multipliers, int pairs, uint8_t* out) {
    const V ones = _mm256_set1_epi8(1);
    int p = 0;
    for (; p + 4 <= pairs; p += 4) {
        const V c0 = Ops::load(controls + 16 * size_t(p)), c1 = Ops::load(controls + 16 * size_t(p + 2));
        V s0 = Ops::zero(), s1 = Ops::zero();
        for (int r = 0; r < count; ++r) {
            const V w0 = windowPair(rows[r], windows[p], windows[p + 1]);
            const V w1 = windowPair(rows[r], windows[p + 2], windows[p + 3]);
            s0 = _mm256_add_epi16(s0, _mm256_maddubs_epi16(_mm256_shuffle_epi8(w0, c0), ones));
            s1 = _mm256_add_epi16(s1, _mm256_maddubs_epi16(_mm256_shuffle_epi8(w1, c1), ones));
        }
        const uint8_t* m = reinterpret_cast<const uint8_t*>(multipliers + 8 * size_t(p));
        s0 = _mm256_mulhi_epu16(_mm256_slli_epi16(s0, 1), Ops::load(m));
        s1 = _mm256_mulhi_epu16(_mm256_slli_epi16(s1, 1), Ops::load(m + 32));
        Ops::store(out + 8 * size_t(p), Ops::fixLanes(_mm256_packus_epi16(s0, s1)));
    }
    return 2 * p;
}

}  // namespace avx2

#pragma GCC pop_options

int bgraRowPairDirect(Isa isa, const uint8_t* top, const uint8_t* bottom, uint8_t* y0, uint8_t* y1, uint8_t* uv,
                      int width) {
    if (isa == Isa::Avx2) return avx2::bgraRowPairBytes(avx2::DirectBytes{top, bottom}, y0, y1, uv, width);
    return sse2::bgraRowPair(sse2::DirectRows{top, bottom}, y0, y1, uv, width);
}

int bgraRowPairHalf(Isa isa, const uint8_t* t0, const uint8_t* t1, const uint8_t* b0, const uint8_t* b1, uint8_t* y0,
                    uint8_t* y1, uint8_t* uv, int width) {
    if (isa == Isa::Avx2) return avx2::bgraRowPairBytes(avx2::HalfBytes{t0, t1, b0, b1}, y0, y1, uv, width);
    return sse2::bgraRowPair(sse2::HalfRows{t0, t1, b0, b1}, y0, y1, uv, width);
}

int sumRows(Isa isa, const uint8_t* const* rows, int count, int bytes, uint16_t* sums) {
    if (isa == Isa::Avx2) return avx2::sumRows(rows, count, bytes, sums);
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= bytes; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0] + i));
        __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
        for (int r = 1; r < count; ++r) {
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[r] + i));
            lo = _mm_add_epi16(lo, _mm_unpacklo_epi8(v, zero));
            hi = _mm_add_epi16(hi, _mm_unpackhi_epi8(v, zero));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i + 8), hi);
    }
    return i;
}

namespace {

// The masked sum of up to two (or four) source pixels from `first` on: four words.
template <bool Wide>
inline __m128i boxSum(const uint16_t* sums, int first, const uint16_t* mask) {
    const uint16_t* p = sums + 4 * size_t(first);
    __m128i a = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask)));
    if (Wide) {
        a = _mm_add_epi16(a, _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)),
                                           _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask + 8))));
    }
    return a;  // low and high halves still to be added
}

template <bool Wide>
int boxColumnsOf(const uint16_t* sums, const int* first, const uint16_t* masks, const uint16_t* multipliers, int width,
                 uint8_t* out) {
    constexpr size_t kMaskWords = 16;
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        __m128i s[4];
        for (int j = 0; j < 4; ++j) s[j] = boxSum<Wide>(sums, first[x + j], masks + kMaskWords * size_t(x + j));
        __m128i p01 = _mm_add_epi16(_mm_unpacklo_epi64(s[0], s[1]), _mm_unpackhi_epi64(s[0], s[1]));
        __m128i p23 = _mm_add_epi16(_mm_unpacklo_epi64(s[2], s[3]), _mm_unpackhi_epi64(s[2], s[3]));
        const __m128i* m = reinterpret_cast<const __m128i*>(multipliers + 4 * size_t(x));
        p01 = _mm_mulhi_epu16(_mm_slli_epi16(p01, 1), _mm_loadu_si128(m));
        p23 = _mm_mulhi_epu16(_mm_slli_epi16(p23, 1), _mm_loadu_si128(m + 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * size_t(x)), _mm_packus_epi16(p01, p23));
    }
    for (; x + 2 <= width; x += 2) {
        __m128i a = boxSum<Wide>(sums, first[x], masks + kMaskWords * size_t(x));
        __m128i b = boxSum<Wide>(sums, first[x + 1], masks + kMaskWords * size_t(x + 1));
        __m128i p = _mm_add_epi16(_mm_unpacklo_epi64(a, b), _mm_unpackhi_epi64(a, b));
        p = _mm_mulhi_epu16(_mm_slli_epi16(p, 1),
                            _mm_loadu_si128(reinterpret_cast<const __m128i*>(multipliers + 4 * size_t(x))));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * size_t(x)), _mm_packus_epi16(p, p));
    }
    return x;
}

}  // namespace

int boxColumns(const uint16_t* sums, const int* first, const uint16_t* masks, bool wide, const uint16_t* multipliers,
               int width, uint8_t* out) {
    return wide ? boxColumnsOf<true>(sums, first, masks, multipliers, width, out)
                : boxColumnsOf<false>(sums, first, masks, multipliers, width, out);
}

int boxRowNarrow(Isa isa, const uint8_t* const* rows, int count, const int* windows, const uint8_t* controls,
                 const uint16_t* multipliers, int pairs, uint8_t* out) {
    if (isa != Isa::Avx2) return 0;
    return avx2::boxRowNarrow(rows, count, windows, controls, multipliers, pairs, out);
}

int addNextColumn(Isa isa, const uint16_t* sums, int words, uint16_t* out) {
    if (isa == Isa::Avx2) return avx2::addNextColumn(sums, words, out);
    int i = 0;
    for (; i + 8 <= words; i += 8) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + i + 4));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi16(a, b));
    }
    return i;
}

int boxPixels(const uint16_t* base, const int* index, const uint16_t* multipliers, int width, uint8_t* out) {
    auto two = [&](int x) {
        const __m128i lo = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(base + 4 * size_t(index[x])));
        const __m128d both = _mm_loadh_pd(_mm_castsi128_pd(lo), reinterpret_cast<const double*>(base + 4 * size_t(index[x + 1])));
        return _mm_mulhi_epu16(_mm_slli_epi16(_mm_castpd_si128(both), 1),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(multipliers + 4 * size_t(x))));
    };
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * size_t(x)), _mm_packus_epi16(two(x), two(x + 2)));
    }
    for (; x + 2 <= width; x += 2) {
        const __m128i p = two(x);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * size_t(x)), _mm_packus_epi16(p, p));
    }
    return x;
}

int nv12Row(Isa isa, const uint8_t* y, const uint8_t* uv, int width, bool fullRange, uint8_t* out) {
    if (isa == Isa::Avx2) return avx2::nv12RowKernel(y, uv, width, fullRange, out);
    return sse2::nv12RowKernel(y, uv, width, fullRange, out);
}

}  // namespace convert_simd

#else

namespace convert_simd {
int bgraRowPairDirect(Isa, const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint8_t*, int) { return 0; }
int bgraRowPairHalf(Isa, const uint8_t*, const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, uint8_t*, uint8_t*,
                    int) {
    return 0;
}
int nv12Row(Isa, const uint8_t*, const uint8_t*, int, bool, uint8_t*) { return 0; }
int sumRows(Isa, const uint8_t* const*, int, int, uint16_t*) { return 0; }
int boxColumns(const uint16_t*, const int*, const uint16_t*, bool, const uint16_t*, int, uint8_t*) { return 0; }
int addNextColumn(Isa, const uint16_t*, int, uint16_t*) { return 0; }
int boxRowNarrow(Isa, const uint8_t* const*, int, const int*, const uint8_t*, const uint16_t*, int, uint8_t*) {
    return 0;
}
int boxPixels(const uint16_t*, const int*, const uint16_t*, int, uint8_t*) { return 0; }
}  // namespace convert_simd

#endif
