// The conversion kernels, written once over a vector type. convert_simd.cpp includes this file
// once per instruction set, inside a namespace that defines `Ops` (no include guard on purpose).
//
// A vector holds K pixels as 32-bit lanes. Pixel values travel as two vectors of 16-bit words:
// `e` holds blue and red of each pixel, `o` green and alpha (alpha only ever meets a 0 factor).
// 256-bit vectors pack and pair up within their two 128-bit halves: Ops::fixLanes puts the 64-bit
// quarters of one such result back in memory order, Ops::orderPacked the 32-bit lanes of a result
// packed twice (pair sums count as a pack). Both do nothing to 128-bit vectors.

using V = Ops::V;
constexpr int K = Ops::K;

struct PixelWords {
    V e, o;
};

// K pixels of one row.
inline PixelWords direct(const uint8_t* p) {
    V v = Ops::load(p);
    return {Ops::and_(v, Ops::set16(0x00ff)), Ops::template srli16<8>(v)};
}

// Lane i + lane i+1 for every even i of a then b (K sums from 2K lanes), in the order a pack of
// (a, b) leaves lanes in; pairSums puts them in memory order.
inline V pairSumsPacked(V a, V b) { return Ops::add16(Ops::evenLanes(a, b), Ops::oddLanes(a, b)); }
inline V pairSums(V a, V b) { return Ops::fixLanes(pairSumsPacked(a, b)); }

// K pixels, each the truncated mean of a 2 x 2 block of rows a and b (2K source pixels).
inline PixelWords half(const uint8_t* a, const uint8_t* b) {
    const V mask = Ops::set16(0x00ff);
    V a0 = Ops::load(a), a1 = Ops::load(a + 4 * K), b0 = Ops::load(b), b1 = Ops::load(b + 4 * K);
    V e0 = Ops::add16(Ops::and_(a0, mask), Ops::and_(b0, mask));
    V e1 = Ops::add16(Ops::and_(a1, mask), Ops::and_(b1, mask));
    V o0 = Ops::add16(Ops::template srli16<8>(a0), Ops::template srli16<8>(b0));
    V o1 = Ops::add16(Ops::template srli16<8>(a1), Ops::template srli16<8>(b1));
    return {Ops::template srli16<2>(pairSums(e0, e1)), Ops::template srli16<2>(pairSums(o0, o1))};
}

// ((47 R + 157 G + 16 B + 128) >> 8) + 16 per lane.
inline V luma(const PixelWords& p) {
    V s = Ops::add32(Ops::madd(p.e, Ops::pair(16, 47)), Ops::madd(p.o, Ops::pair(157, 0)));
    return Ops::template srli32<8>(Ops::add32(s, Ops::set32(128 + (16 << 8))));
}

// 4K luma bytes of four consecutive pixel vectors.
inline V lumaBytes(const PixelWords* p) {
    V lo = Ops::packs32(luma(p[0]), luma(p[1]));
    V hi = Ops::packs32(luma(p[2]), luma(p[3]));
    return Ops::orderPacked(Ops::packus16(lo, hi));
}

// U and V of the K 2 x 2 blocks over pixels (a0 a1) on top of (b0 b1); the block's channels are
// truncated means and the shifts floor, as in ((-26 R - 87 G + 112 B + 128) >> 8) + 128.
inline void chroma(const PixelWords& a0, const PixelWords& a1, const PixelWords& b0, const PixelWords& b1, V& u,
                   V& v) {
    V e = Ops::template srli16<2>(pairSumsPacked(Ops::add16(a0.e, b0.e), Ops::add16(a1.e, b1.e)));
    V o = Ops::template srli16<2>(pairSumsPacked(Ops::add16(a0.o, b0.o), Ops::add16(a1.o, b1.o)));
    const V bias = Ops::set32(128 + (128 << 8));
    u = Ops::add32(Ops::add32(Ops::madd(e, Ops::pair(112, -26)), Ops::madd(o, Ops::pair(-87, 0))), bias);
    v = Ops::add32(Ops::add32(Ops::madd(e, Ops::pair(-10, 112)), Ops::madd(o, Ops::pair(-102, 0))), bias);
    u = Ops::template srli32<8>(u);
    v = Ops::template srli32<8>(v);
}

template <class Source>
inline int bgraRowPair(const Source& src, uint8_t* y0, uint8_t* y1, uint8_t* uv, int width) {
    int x = 0;
    for (; x + 4 * K <= width; x += 4 * K) {
        PixelWords top[4], bottom[4];
        for (int j = 0; j < 4; ++j) {
            top[j] = src.top(x + j * K);
            bottom[j] = src.bottom(x + j * K);
        }
        Ops::store(y0 + x, lumaBytes(top));
        Ops::store(y1 + x, lumaBytes(bottom));
        V u0, v0, u1, v1;
        chroma(top[0], top[1], bottom[0], bottom[1], u0, v0);
        chroma(top[2], top[3], bottom[2], bottom[3], u1, v1);
        const V us = Ops::packs32(u0, u1), vs = Ops::packs32(v0, v1);
        Ops::store(uv + x, Ops::orderPacked(Ops::or_(us, Ops::template slli16<8>(vs))));
    }
    return x;
}

struct DirectRows {
    const uint8_t* a;
    const uint8_t* b;
    PixelWords top(int x) const { return direct(a + 4 * x); }
    PixelWords bottom(int x) const { return direct(b + 4 * x); }
};

struct HalfRows {
    const uint8_t *t0, *t1, *b0, *b1;
    PixelWords top(int x) const { return half(t0 + 8 * x, t1 + 8 * x); }
    PixelWords bottom(int x) const { return half(b0 + 8 * x, b1 + 8 * x); }
};

// One half (2K pixels) of an NV12 chunk: luma words y << 8 and chroma words (c - 128) << 8.
inline void bgrWords(V yw, V cw, bool fullRange, const convert_simd::ChromaMul& k, V& b, V& g, V& r) {
    V t = fullRange ? Ops::template srli16<3>(yw)
                    : Ops::sub16(Ops::mulhiu16(yw, Ops::set16(convert_simd::kLumaMul)),
                                 Ops::set16(convert_simd::kLumaOffset));
    V br = Ops::mulhi16(cw, Ops::pair(k.blueU, k.redV));  // blue term, red term of each pair
    V gs = Ops::template srai32<16>(Ops::madd(cw, Ops::pair(k.greenU, k.greenV)));
    b = Ops::template srai16<5>(Ops::add16(t, Ops::dupEvenWords(br)));
    r = Ops::template srai16<5>(Ops::add16(t, Ops::dupOddWords(br)));
    g = Ops::template srai16<5>(Ops::sub16(t, Ops::dupEvenWords(gs)));
}

inline int nv12RowKernel(const uint8_t* y, const uint8_t* uv, int width, bool fullRange, uint8_t* out) {
    const convert_simd::ChromaMul& k = fullRange ? convert_simd::kChromaFull : convert_simd::kChromaLimited;
    const V zero = Ops::zero();
    const V flip = Ops::set16(int16_t(0x8000));
    const V alpha = Ops::set16(-1);
    int x = 0;
    for (; x + 4 * K <= width; x += 4 * K) {
        V yb = Ops::load(y + x), cb = Ops::load(uv + x);
        V b0, g0, r0, b1, g1, r1;
        bgrWords(Ops::unpacklo8(zero, yb), Ops::xor_(Ops::unpacklo8(zero, cb), flip), fullRange, k, b0, g0, r0);
        bgrWords(Ops::unpackhi8(zero, yb), Ops::xor_(Ops::unpackhi8(zero, cb), flip), fullRange, k, b1, g1, r1);
        V b = Ops::packus16(b0, b1), g = Ops::packus16(g0, g1), r = Ops::packus16(r0, r1);
        V bgLo = Ops::unpacklo8(b, g), bgHi = Ops::unpackhi8(b, g);
        V raLo = Ops::unpacklo8(r, alpha), raHi = Ops::unpackhi8(r, alpha);
        Ops::storePixels(out + 4 * x, Ops::unpacklo16(bgLo, raLo), Ops::unpackhi16(bgLo, raLo),
                         Ops::unpacklo16(bgHi, raHi), Ops::unpackhi16(bgHi, raHi));
    }
    return x;
}
