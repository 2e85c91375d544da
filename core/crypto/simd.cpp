#include "core/crypto/simd.h"

#include <atomic>

#include "core/wire.h"

#if defined(__x86_64__) || defined(_M_X64)
#define TAVREL_X86 1
#include <immintrin.h>
#endif

namespace {
std::atomic<CryptoPath> pathLimit{CryptoPath::Best};
}

void setCryptoPath(CryptoPath limit) { pathLimit.store(limit, std::memory_order_relaxed); }
CryptoPath cryptoPath() { return pathLimit.load(std::memory_order_relaxed); }

// __builtin_cpu_supports also checks that the system saves the wider registers.
bool useAvx2() {
#ifdef TAVREL_X86
    static const bool has = __builtin_cpu_supports("avx2");
    return has && cryptoPath() >= CryptoPath::Avx2;
#else
    return false;
#endif
}

bool useAvx512() {
#ifdef TAVREL_X86
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512bw");
    return has && cryptoPath() >= CryptoPath::Best;
#else
    return false;
#endif
}

bool useShaNi() {
#ifdef TAVREL_X86
    static const bool has = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    return has && cryptoPath() >= CryptoPath::Best;
#else
    return false;
#endif
}

#ifdef TAVREL_X86
namespace {


// Poly1305 on four blocks at once: lane j accumulates blocks j, j + 4, j + 8, ... with r^4,
// and the lanes are joined at the end with r^4, r^3, r^2 and r. Numbers are five 26-bit limbs
// in 64-bit lanes, multiplied 32 x 32 -> 64 bits.
constexpr uint64_t kMask26 = 0x3ffffff;

// a * b modulo 2^130 - 5, limbs carried to 26 bits (limb 1 may keep a few bits more).
void mul26(uint64_t out[5], const uint64_t a[5], const uint64_t b[5]) {
    const uint64_t s1 = b[1] * 5, s2 = b[2] * 5, s3 = b[3] * 5, s4 = b[4] * 5;
    uint64_t d0 = a[0] * b[0] + a[1] * s4 + a[2] * s3 + a[3] * s2 + a[4] * s1;
    uint64_t d1 = a[0] * b[1] + a[1] * b[0] + a[2] * s4 + a[3] * s3 + a[4] * s2;
    uint64_t d2 = a[0] * b[2] + a[1] * b[1] + a[2] * b[0] + a[3] * s4 + a[4] * s3;
    uint64_t d3 = a[0] * b[3] + a[1] * b[2] + a[2] * b[1] + a[3] * b[0] + a[4] * s4;
    uint64_t d4 = a[0] * b[4] + a[1] * b[3] + a[2] * b[2] + a[3] * b[1] + a[4] * b[0];
    uint64_t c;
    c = d0 >> 26; out[0] = d0 & kMask26; d1 += c;
    c = d1 >> 26; out[1] = d1 & kMask26; d2 += c;
    c = d2 >> 26; out[2] = d2 & kMask26; d3 += c;
    c = d3 >> 26; out[3] = d3 & kMask26; d4 += c;
    c = d4 >> 26; out[4] = d4 & kMask26; out[0] += c * 5;
    c = out[0] >> 26; out[0] &= kMask26; out[1] += c;
}

#define AVX2 __attribute__((target("avx2")))

struct Vec5 {
    __m256i v[5];
};

AVX2 inline __m256i mul(__m256i a, __m256i b) { return _mm256_mul_epu32(a, b); }

// h * (r, with s = 5 r), carried so every limb is below 2^27.
AVX2 inline Vec5 mulVec(const Vec5& h, const Vec5& r, const Vec5& s) {
    const __m256i h0 = h.v[0], h1 = h.v[1], h2 = h.v[2], h3 = h.v[3], h4 = h.v[4];
    __m256i d0 = _mm256_add_epi64(_mm256_add_epi64(mul(h0, r.v[0]), mul(h1, s.v[4])),
                                  _mm256_add_epi64(_mm256_add_epi64(mul(h2, s.v[3]), mul(h3, s.v[2])), mul(h4, s.v[1])));
    __m256i d1 = _mm256_add_epi64(_mm256_add_epi64(mul(h0, r.v[1]), mul(h1, r.v[0])),
                                  _mm256_add_epi64(_mm256_add_epi64(mul(h2, s.v[4]), mul(h3, s.v[3])), mul(h4, s.v[2])));
    __m256i d2 = _mm256_add_epi64(_mm256_add_epi64(mul(h0, r.v[2]), mul(h1, r.v[1])),
                                  _mm256_add_epi64(_mm256_add_epi64(mul(h2, r.v[0]), mul(h3, s.v[4])), mul(h4, s.v[3])));
    __m256i d3 = _mm256_add_epi64(_mm256_add_epi64(mul(h0, r.v[3]), mul(h1, r.v[2])),
                                  _mm256_add_epi64(_mm256_add_epi64(mul(h2, r.v[1]), mul(h3, r.v[0])), mul(h4, s.v[4])));
    __m256i d4 = _mm256_add_epi64(_mm256_add_epi64(mul(h0, r.v[4]), mul(h1, r.v[3])),
                                  _mm256_add_epi64(_mm256_add_epi64(mul(h2, r.v[2]), mul(h3, r.v[1])), mul(h4, r.v[0])));
    const __m256i mask = _mm256_set1_epi64x(int64_t(kMask26));
    __m256i c;
    Vec5 out;
    c = _mm256_srli_epi64(d0, 26); out.v[0] = _mm256_and_si256(d0, mask); d1 = _mm256_add_epi64(d1, c);
    c = _mm256_srli_epi64(d1, 26); out.v[1] = _mm256_and_si256(d1, mask); d2 = _mm256_add_epi64(d2, c);
    c = _mm256_srli_epi64(d2, 26); out.v[2] = _mm256_and_si256(d2, mask); d3 = _mm256_add_epi64(d3, c);
    c = _mm256_srli_epi64(d3, 26); out.v[3] = _mm256_and_si256(d3, mask); d4 = _mm256_add_epi64(d4, c);
    c = _mm256_srli_epi64(d4, 26); out.v[4] = _mm256_and_si256(d4, mask);
    out.v[0] = _mm256_add_epi64(out.v[0], _mm256_add_epi64(c, _mm256_slli_epi64(c, 2)));
    c = _mm256_srli_epi64(out.v[0], 26);
    out.v[0] = _mm256_and_si256(out.v[0], mask);
    out.v[1] = _mm256_add_epi64(out.v[1], c);
    return out;
}

// Four consecutive 16-byte blocks as limbs, block j in lane j, with the 2^128 bit set.
AVX2 inline Vec5 loadBlocks(const uint8_t* m) {
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(m + 32));
    __m256i lo = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(a, b), 0xd8);
    __m256i hi = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(a, b), 0xd8);
    const __m256i mask = _mm256_set1_epi64x(int64_t(kMask26));
    Vec5 t;
    t.v[0] = _mm256_and_si256(lo, mask);
    t.v[1] = _mm256_and_si256(_mm256_srli_epi64(lo, 26), mask);
    t.v[2] = _mm256_and_si256(_mm256_or_si256(_mm256_srli_epi64(lo, 52), _mm256_slli_epi64(hi, 12)), mask);
    t.v[3] = _mm256_and_si256(_mm256_srli_epi64(hi, 14), mask);
    t.v[4] = _mm256_or_si256(_mm256_srli_epi64(hi, 40), _mm256_set1_epi64x(int64_t(1) << 24));
    return t;
}

AVX2 inline void addVec(Vec5& h, const Vec5& t) {
    for (int i = 0; i < 5; ++i) h.v[i] = _mm256_add_epi64(h.v[i], t.v[i]);
}

AVX2 size_t poly1305Avx2(uint64_t h44[3], const uint8_t key[16], const uint8_t* m, size_t blocks) {
    size_t groups = blocks / 4;
    uint64_t r1[5] = {loadLe32(key) & 0x3ffffff, (loadLe32(key + 3) >> 2) & 0x3ffff03, (loadLe32(key + 6) >> 4) & 0x3ffc0ff,
                      (loadLe32(key + 9) >> 6) & 0x3f03fff, (loadLe32(key + 12) >> 8) & 0x00fffff};
    uint64_t r2[5], r3[5], r4[5];
    mul26(r2, r1, r1);
    mul26(r3, r2, r1);
    mul26(r4, r2, r2);

    Vec5 R, S;
    for (int i = 0; i < 5; ++i) {
        R.v[i] = _mm256_set1_epi64x(int64_t(r4[i]));
        S.v[i] = _mm256_set1_epi64x(int64_t(r4[i] * 5));
    }

    // The running value enters lane 0 with the first block.
    uint64_t a0 = h44[0], a1 = h44[1], a2 = h44[2];
    a2 += a1 >> 44; a1 &= 0xfffffffffff;
    const uint64_t hl[5] = {a0 & kMask26, ((a0 >> 26) | (a1 << 18)) & kMask26, (a1 >> 8) & kMask26,
                            ((a1 >> 34) | (a2 << 10)) & kMask26, a2 >> 16};
    Vec5 h = loadBlocks(m);
    for (int i = 0; i < 5; ++i) h.v[i] = _mm256_add_epi64(h.v[i], _mm256_setr_epi64x(int64_t(hl[i]), 0, 0, 0));
    m += 64;
    for (size_t g = 1; g < groups; ++g, m += 64) {
        h = mulVec(h, R, S);
        addVec(h, loadBlocks(m));
    }

    Vec5 RF, SF;
    for (int i = 0; i < 5; ++i) {
        RF.v[i] = _mm256_setr_epi64x(int64_t(r4[i]), int64_t(r3[i]), int64_t(r2[i]), int64_t(r1[i]));
        SF.v[i] = _mm256_setr_epi64x(int64_t(r4[i] * 5), int64_t(r3[i] * 5), int64_t(r2[i] * 5), int64_t(r1[i] * 5));
    }
    h = mulVec(h, RF, SF);
    uint64_t l[5];
    for (int i = 0; i < 5; ++i) {
        alignas(32) uint64_t lanes[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), h.v[i]);
        l[i] = lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    uint64_t c;
    c = l[0] >> 26; l[0] &= kMask26; l[1] += c;
    c = l[1] >> 26; l[1] &= kMask26; l[2] += c;
    c = l[2] >> 26; l[2] &= kMask26; l[3] += c;
    c = l[3] >> 26; l[3] &= kMask26; l[4] += c;
    c = l[4] >> 26; l[4] &= kMask26; l[0] += c * 5;
    c = l[0] >> 26; l[0] &= kMask26; l[1] += c;
    c = l[1] >> 26; l[1] &= kMask26; l[2] += c;
    c = l[2] >> 26; l[2] &= kMask26; l[3] += c;
    c = l[3] >> 26; l[3] &= kMask26; l[4] += c;
    h44[0] = (l[0] | (l[1] << 26)) & 0xfffffffffff;
    h44[1] = ((l[1] >> 18) | (l[2] << 8) | (l[3] << 34)) & 0xfffffffffff;
    h44[2] = (l[3] >> 10) | (l[4] << 16);
    return groups * 4;
}

AVX2 inline __m256i rotl16(__m256i x, __m256i shuffle) { return _mm256_shuffle_epi8(x, shuffle); }
AVX2 inline __m256i rotl8(__m256i x, __m256i shuffle) { return _mm256_shuffle_epi8(x, shuffle); }
template <int N>
AVX2 inline __m256i rotl(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, N), _mm256_srli_epi32(x, 32 - N));
}

AVX2 inline void xorStore(const uint8_t* src, uint8_t* dst, __m256i ks) {
    __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), _mm256_xor_si256(m, ks));
}

// Eight blocks at once: vector i holds word i of the eight blocks.
AVX2 void chacha20Xor8Avx2(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t groups) {
    const __m256i r16 = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                         2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13);
    const __m256i r8 = _mm256_setr_epi8(3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                        3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14);
    __m256i s[16];
    for (int i = 0; i < 16; ++i) s[i] = _mm256_set1_epi32(int(state[i]));
    s[12] = _mm256_add_epi32(s[12], _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    const __m256i eight = _mm256_set1_epi32(8);

    for (; groups > 0; --groups, in += 512, out += 512) {
        __m256i x0 = s[0], x1 = s[1], x2 = s[2], x3 = s[3], x4 = s[4], x5 = s[5], x6 = s[6], x7 = s[7];
        __m256i x8 = s[8], x9 = s[9], x10 = s[10], x11 = s[11], x12 = s[12], x13 = s[13], x14 = s[14],
                x15 = s[15];
#define QR(a, b, c, d)                                                         \
    a = _mm256_add_epi32(a, b); d = rotl16(_mm256_xor_si256(d, a), r16);      \
    c = _mm256_add_epi32(c, d); b = rotl<12>(_mm256_xor_si256(b, c));         \
    a = _mm256_add_epi32(a, b); d = rotl8(_mm256_xor_si256(d, a), r8);        \
    c = _mm256_add_epi32(c, d); b = rotl<7>(_mm256_xor_si256(b, c))
        for (int i = 0; i < 10; ++i) {
            QR(x0, x4, x8, x12);
            QR(x1, x5, x9, x13);
            QR(x2, x6, x10, x14);
            QR(x3, x7, x11, x15);
            QR(x0, x5, x10, x15);
            QR(x1, x6, x11, x12);
            QR(x2, x7, x8, x13);
            QR(x3, x4, x9, x14);
        }
#undef QR
        __m256i x[16] = {x0, x1, x2, x3, x4, x5, x6, x7, x8, x9, x10, x11, x12, x13, x14, x15};
        for (int i = 0; i < 16; ++i) x[i] = _mm256_add_epi32(x[i], s[i]);

        // Transpose four words of eight blocks at a time: after it, q[j] holds words
        // 4g..4g+3 of block j (low half) and of block j + 4 (high half).
        __m256i q[4][4];
        for (int g = 0; g < 4; ++g) {
            __m256i t0 = _mm256_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
            __m256i t1 = _mm256_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
            __m256i t2 = _mm256_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
            __m256i t3 = _mm256_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
            q[g][0] = _mm256_unpacklo_epi64(t0, t2);
            q[g][1] = _mm256_unpackhi_epi64(t0, t2);
            q[g][2] = _mm256_unpacklo_epi64(t1, t3);
            q[g][3] = _mm256_unpackhi_epi64(t1, t3);
        }
        for (int j = 0; j < 4; ++j) {
            const __m256i lo01 = _mm256_permute2x128_si256(q[0][j], q[1][j], 0x20);
            const __m256i lo23 = _mm256_permute2x128_si256(q[2][j], q[3][j], 0x20);
            const __m256i hi01 = _mm256_permute2x128_si256(q[0][j], q[1][j], 0x31);
            const __m256i hi23 = _mm256_permute2x128_si256(q[2][j], q[3][j], 0x31);
            const uint8_t* ib = in + 64 * j;
            uint8_t* ob = out + 64 * j;
            xorStore(ib, ob, lo01);
            xorStore(ib + 32, ob + 32, lo23);
            xorStore(ib + 256, ob + 256, hi01);
            xorStore(ib + 288, ob + 288, hi23);
        }
        s[12] = _mm256_add_epi32(s[12], eight);
    }
}

#undef AVX2


#define SHANI __attribute__((target("sha,sse4.1")))

// SHA-256 with the SHA extensions: the state travels as ABEF and CDGH, two rounds per
// instruction, and the message schedule four words at a time.
SHANI void sha256ShaNi(uint32_t state[8], const uint8_t* data, size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xb1);
    __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1b);
    __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);
    s1 = _mm_blend_epi16(s1, tmp, 0xf0);

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i save0 = s0, save1 = s1;
        __m128i w[4];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            if (i < 4) {
                w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byteSwap);
            }
            __m128i msg = _mm_add_epi32(w[i % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * i)));
            s1 = _mm_sha256rnds2_epu32(s1, s0, msg);
            if (i >= 3 && i < 15) {
                // Words 4(i+1)..: w[i+1] = msg2(msg1(w[i-3], w[i-2]) + (w[i-1], w[i] shifted), w[i]).
                __m128i next = _mm_add_epi32(w[(i + 1) % 4], _mm_alignr_epi8(w[i % 4], w[(i + 3) % 4], 4));
                w[(i + 1) % 4] = _mm_sha256msg2_epu32(next, w[i % 4]);
            }
            s0 = _mm_sha256rnds2_epu32(s0, s1, _mm_shuffle_epi32(msg, 0x0e));
            if (i >= 1 && i < 13) w[(i + 3) % 4] = _mm_sha256msg1_epu32(w[(i + 3) % 4], w[i % 4]);
        }
        s0 = _mm_add_epi32(s0, save0);
        s1 = _mm_add_epi32(s1, save1);
    }

    tmp = _mm_shuffle_epi32(s0, 0x1b);
    s1 = _mm_shuffle_epi32(s1, 0xb1);
    s0 = _mm_blend_epi16(tmp, s1, 0xf0);
    s1 = _mm_alignr_epi8(s1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), s1);
}

#undef SHANI

#define AVX512 __attribute__((target("avx512f,avx512vl,avx512bw")))
// The 512-bit intrinsics start from an "undefined" vector, which GCC 12 warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Sixteen blocks at once with 512-bit vectors and native rotations.
AVX512 void chacha20Xor16Avx512(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t groups) {
    __m512i s[16];
    for (int i = 0; i < 16; ++i) s[i] = _mm512_set1_epi32(int(state[i]));
    s[12] = _mm512_add_epi32(s[12], _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
    const __m512i sixteen = _mm512_set1_epi32(16);

    for (; groups > 0; --groups, in += 1024, out += 1024) {
        __m512i x[16];
        for (int i = 0; i < 16; ++i) x[i] = s[i];
#define QR(a, b, c, d)                                                                   \
    x[a] = _mm512_add_epi32(x[a], x[b]); x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 16); \
    x[c] = _mm512_add_epi32(x[c], x[d]); x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 12); \
    x[a] = _mm512_add_epi32(x[a], x[b]); x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 8);  \
    x[c] = _mm512_add_epi32(x[c], x[d]); x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 7)
        for (int i = 0; i < 10; ++i) {
            QR(0, 4, 8, 12);
            QR(1, 5, 9, 13);
            QR(2, 6, 10, 14);
            QR(3, 7, 11, 15);
            QR(0, 5, 10, 15);
            QR(1, 6, 11, 12);
            QR(2, 7, 8, 13);
            QR(3, 4, 9, 14);
        }
#undef QR
        for (int i = 0; i < 16; ++i) x[i] = _mm512_add_epi32(x[i], s[i]);

        // q[g][j]: words 4g..4g+3 of blocks j, j + 4, j + 8 and j + 12, one per 128-bit lane.
        __m512i q[4][4];
        for (int g = 0; g < 4; ++g) {
            __m512i t0 = _mm512_unpacklo_epi32(x[4 * g], x[4 * g + 1]);
            __m512i t1 = _mm512_unpackhi_epi32(x[4 * g], x[4 * g + 1]);
            __m512i t2 = _mm512_unpacklo_epi32(x[4 * g + 2], x[4 * g + 3]);
            __m512i t3 = _mm512_unpackhi_epi32(x[4 * g + 2], x[4 * g + 3]);
            q[g][0] = _mm512_unpacklo_epi64(t0, t2);
            q[g][1] = _mm512_unpackhi_epi64(t0, t2);
            q[g][2] = _mm512_unpacklo_epi64(t1, t3);
            q[g][3] = _mm512_unpackhi_epi64(t1, t3);
        }
        for (int j = 0; j < 4; ++j) {
            // Transpose the 4 x 4 grid of 128-bit lanes so each vector is one whole block.
            __m512i a0 = _mm512_shuffle_i32x4(q[0][j], q[1][j], 0x44);
            __m512i a1 = _mm512_shuffle_i32x4(q[0][j], q[1][j], 0xee);
            __m512i a2 = _mm512_shuffle_i32x4(q[2][j], q[3][j], 0x44);
            __m512i a3 = _mm512_shuffle_i32x4(q[2][j], q[3][j], 0xee);
            const __m512i blocks[4] = {_mm512_shuffle_i32x4(a0, a2, 0x88), _mm512_shuffle_i32x4(a0, a2, 0xdd),
                                       _mm512_shuffle_i32x4(a1, a3, 0x88), _mm512_shuffle_i32x4(a1, a3, 0xdd)};
            for (int k = 0; k < 4; ++k) {
                const size_t at = size_t(64 * (j + 4 * k));
                __m512i m = _mm512_loadu_si512(in + at);
                _mm512_storeu_si512(out + at, _mm512_xor_si512(m, blocks[k]));
            }
        }
        s[12] = _mm512_add_epi32(s[12], sixteen);
    }
}

#pragma GCC diagnostic pop
#undef AVX512

}  // namespace
#endif

bool sha256CompressFast(uint32_t state[8], const uint8_t* data, size_t blocks) {
#ifdef TAVREL_X86
    if (useShaNi()) {
        sha256ShaNi(state, data, blocks);
        return true;
    }
#else
    (void)state; (void)data; (void)blocks;
#endif
    return false;
}

size_t poly1305BlocksFast(uint64_t h[3], const uint8_t key[16], const uint8_t* m, size_t blocks) {
#ifdef TAVREL_X86
    // Joining the lanes costs a few block times, so short inputs stay on the plain code.
    if (blocks >= 16 && useAvx2()) return poly1305Avx2(h, key, m, blocks);
#else
    (void)h; (void)key; (void)m; (void)blocks;
#endif
    return 0;
}

void chacha20XorBlocks(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t blocks) {
    size_t done = 0;
#ifdef TAVREL_X86
    if (blocks >= 16 && useAvx512()) {
        chacha20Xor16Avx512(state, in, out, blocks / 16);
        done = blocks / 16 * 16;
    }
    if (blocks - done >= 8 && useAvx2()) {
        uint32_t at[16];
        for (int i = 0; i < 16; ++i) at[i] = state[i];
        at[12] += uint32_t(done);
        size_t groups = (blocks - done) / 8;
        chacha20Xor8Avx2(at, in + done * 64, out + done * 64, groups);
        done += groups * 8;
    }
#endif
    if (done == blocks) return;
    uint32_t rest[16];
    for (int i = 0; i < 16; ++i) rest[i] = state[i];
    rest[12] += uint32_t(done);
    chacha20XorPortable(rest, in + done * 64, out + done * 64, blocks - done);
}
