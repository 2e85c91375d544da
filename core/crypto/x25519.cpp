#include "core/crypto/x25519.h"

#include <cstring>
#include <stdexcept>

#include "core/crypto/hash.h"
#include "core/wire.h"

namespace {

// Field elements modulo p = 2^255 - 19 in five 51-bit limbs. Limbs may run a few bits over
// 51 between operations; fromBytes and toBytes are the only exact forms.
using u128 = unsigned __int128;
struct Fe {
    uint64_t v[5];
};
constexpr uint64_t kMask51 = (uint64_t(1) << 51) - 1;

Fe feFromBytes(const uint8_t s[32]) {
    Fe h;
    h.v[0] = loadLe64(s) & kMask51;
    h.v[1] = (loadLe64(s + 6) >> 3) & kMask51;
    h.v[2] = (loadLe64(s + 12) >> 6) & kMask51;
    h.v[3] = (loadLe64(s + 19) >> 1) & kMask51;
    h.v[4] = (loadLe64(s + 24) >> 12) & kMask51;  // bit 255 is ignored
    return h;
}

inline Fe feSmall(uint64_t x) { return Fe{{x, 0, 0, 0, 0}}; }

inline void carry(Fe& h) {
    uint64_t c;
    c = h.v[0] >> 51; h.v[0] &= kMask51; h.v[1] += c;
    c = h.v[1] >> 51; h.v[1] &= kMask51; h.v[2] += c;
    c = h.v[2] >> 51; h.v[2] &= kMask51; h.v[3] += c;
    c = h.v[3] >> 51; h.v[3] &= kMask51; h.v[4] += c;
    c = h.v[4] >> 51; h.v[4] &= kMask51; h.v[0] += c * 19;
}

// The unique representative below p, little-endian.
void feToBytes(uint8_t out[32], Fe h) {
    carry(h);
    carry(h);
    // q = 1 exactly when h >= p; then h - p = h + 19 - 2^255.
    uint64_t q = (h.v[0] + 19) >> 51;
    q = (h.v[1] + q) >> 51;
    q = (h.v[2] + q) >> 51;
    q = (h.v[3] + q) >> 51;
    q = (h.v[4] + q) >> 51;
    h.v[0] += 19 * q;
    uint64_t c;
    c = h.v[0] >> 51; h.v[0] &= kMask51; h.v[1] += c;
    c = h.v[1] >> 51; h.v[1] &= kMask51; h.v[2] += c;
    c = h.v[2] >> 51; h.v[2] &= kMask51; h.v[3] += c;
    c = h.v[3] >> 51; h.v[3] &= kMask51; h.v[4] += c;
    h.v[4] &= kMask51;
    uint64_t w[4] = {h.v[0] | (h.v[1] << 51), (h.v[1] >> 13) | (h.v[2] << 38),
                     (h.v[2] >> 26) | (h.v[3] << 25), (h.v[3] >> 39) | (h.v[4] << 12)};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) out[8 * i + j] = uint8_t(w[i] >> (8 * j));
}

inline Fe feAdd(const Fe& a, const Fe& b) {
    Fe r;
    for (int i = 0; i < 5; ++i) r.v[i] = a.v[i] + b.v[i];
    return r;
}

// a - b + 4p, so that no limb goes negative for operands below 2^53.
inline Fe feSub(const Fe& a, const Fe& b) {
    Fe r;
    r.v[0] = a.v[0] + 0x1fffffffffffb4 - b.v[0];
    for (int i = 1; i < 5; ++i) r.v[i] = a.v[i] + 0x1ffffffffffffc - b.v[i];
    carry(r);
    return r;
}

inline Fe reduceWide(u128 r0, u128 r1, u128 r2, u128 r3, u128 r4) {
    Fe h;
    r1 += uint64_t(r0 >> 51); h.v[0] = uint64_t(r0) & kMask51;
    r2 += uint64_t(r1 >> 51); h.v[1] = uint64_t(r1) & kMask51;
    r3 += uint64_t(r2 >> 51); h.v[2] = uint64_t(r2) & kMask51;
    r4 += uint64_t(r3 >> 51); h.v[3] = uint64_t(r3) & kMask51;
    uint64_t c = uint64_t(r4 >> 51); h.v[4] = uint64_t(r4) & kMask51;
    h.v[0] += c * 19;
    h.v[1] += h.v[0] >> 51; h.v[0] &= kMask51;
    return h;
}

inline Fe feMul(const Fe& a, const Fe& b) {
    const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const uint64_t b0 = b.v[0], b1 = b.v[1], b2 = b.v[2], b3 = b.v[3], b4 = b.v[4];
    const uint64_t b1s = b1 * 19, b2s = b2 * 19, b3s = b3 * 19, b4s = b4 * 19;
    u128 r0 = u128(a0) * b0 + u128(a1) * b4s + u128(a2) * b3s + u128(a3) * b2s + u128(a4) * b1s;
    u128 r1 = u128(a0) * b1 + u128(a1) * b0 + u128(a2) * b4s + u128(a3) * b3s + u128(a4) * b2s;
    u128 r2 = u128(a0) * b2 + u128(a1) * b1 + u128(a2) * b0 + u128(a3) * b4s + u128(a4) * b3s;
    u128 r3 = u128(a0) * b3 + u128(a1) * b2 + u128(a2) * b1 + u128(a3) * b0 + u128(a4) * b4s;
    u128 r4 = u128(a0) * b4 + u128(a1) * b3 + u128(a2) * b2 + u128(a3) * b1 + u128(a4) * b0;
    return reduceWide(r0, r1, r2, r3, r4);
}

inline Fe feSq(const Fe& a) {
    const uint64_t a0 = a.v[0], a1 = a.v[1], a2 = a.v[2], a3 = a.v[3], a4 = a.v[4];
    const uint64_t d0 = a0 * 2, d1 = a1 * 2, a3s = a3 * 19, a4s = a4 * 19;
    u128 r0 = u128(a0) * a0 + u128(d1) * a4s + u128(a2 * 2) * a3s;
    u128 r1 = u128(d0) * a1 + u128(a2 * 2) * a4s + u128(a3) * a3s;
    u128 r2 = u128(d0) * a2 + u128(a1) * a1 + u128(a3 * 2) * a4s;
    u128 r3 = u128(d0) * a3 + u128(d1) * a2 + u128(a4) * a4s;
    u128 r4 = u128(d0) * a4 + u128(d1) * a3 + u128(a2) * a2;
    return reduceWide(r0, r1, r2, r3, r4);
}

inline Fe feSqN(Fe a, int n) {
    for (int i = 0; i < n; ++i) a = feSq(a);
    return a;
}

inline Fe feMulSmall(const Fe& a, uint32_t k) {
    return reduceWide(u128(a.v[0]) * k, u128(a.v[1]) * k, u128(a.v[2]) * k, u128(a.v[3]) * k,
                      u128(a.v[4]) * k);
}

// Swaps a and b when bit is 1, without a branch or a data-dependent address.
inline void feSwap(Fe& a, Fe& b, uint64_t bit) {
    const uint64_t mask = 0 - bit;
    for (int i = 0; i < 5; ++i) {
        uint64_t t = mask & (a.v[i] ^ b.v[i]);
        a.v[i] ^= t;
        b.v[i] ^= t;
    }
}

// z^(2^250 - 1), and z^11 on the side: the common part of inversion and the Legendre symbol.
Fe pow2250m1(const Fe& z, Fe& z11) {
    Fe z2 = feSq(z);
    Fe z9 = feMul(feSqN(z2, 2), z);
    z11 = feMul(z9, z2);
    Fe z5_0 = feMul(feSq(z11), z9);                 // 2^5 - 1
    Fe z10_0 = feMul(feSqN(z5_0, 5), z5_0);         // 2^10 - 1
    Fe z20_0 = feMul(feSqN(z10_0, 10), z10_0);      // 2^20 - 1
    Fe z40_0 = feMul(feSqN(z20_0, 20), z20_0);      // 2^40 - 1
    Fe z50_0 = feMul(feSqN(z40_0, 10), z10_0);      // 2^50 - 1
    Fe z100_0 = feMul(feSqN(z50_0, 50), z50_0);     // 2^100 - 1
    Fe z200_0 = feMul(feSqN(z100_0, 100), z100_0);  // 2^200 - 1
    return feMul(feSqN(z200_0, 50), z50_0);         // 2^250 - 1
}

// z^(p - 2) = 1/z (and 0 for 0).
Fe feInvert(const Fe& z) {
    Fe z11;
    Fe t = pow2250m1(z, z11);
    return feMul(feSqN(t, 5), z11);  // 2^255 - 32 + 11
}

// z^((p - 1) / 2): 1 for a non-zero square, p - 1 for a non-square, 0 for 0.
Fe feLegendre(const Fe& z) {
    Fe z11;
    Fe t = pow2250m1(z, z11);
    Fe z2 = feSq(z);
    Fe z6 = feMul(z2, feSq(z2));
    return feMul(feSqN(t, 4), z6);  // 2^254 - 16 + 6
}

void ladder(uint8_t out[32], const uint8_t scalar[32], const uint8_t point[32]) {
    uint8_t k[32];
    std::memcpy(k, scalar, 32);
    k[0] &= 248;
    k[31] &= 127;
    k[31] |= 64;

    const Fe x1 = feFromBytes(point);
    Fe x2 = feSmall(1), z2 = feSmall(0), x3 = x1, z3 = feSmall(1);
    uint64_t swap = 0;
    for (int t = 254; t >= 0; --t) {
        uint64_t bit = (k[t >> 3] >> (t & 7)) & 1;
        swap ^= bit;
        feSwap(x2, x3, swap);
        feSwap(z2, z3, swap);
        swap = bit;

        Fe a = feAdd(x2, z2), aa = feSq(a);
        Fe b = feSub(x2, z2), bb = feSq(b);
        Fe e = feSub(aa, bb);
        Fe c = feAdd(x3, z3), d = feSub(x3, z3);
        Fe da = feMul(d, a), cb = feMul(c, b);
        x3 = feSq(feAdd(da, cb));
        z3 = feMul(x1, feSq(feSub(da, cb)));
        x2 = feMul(aa, bb);
        z2 = feMul(e, feAdd(aa, feMulSmall(e, 121665)));
    }
    feSwap(x2, x3, swap);
    feSwap(z2, z3, swap);
    feToBytes(out, feMul(x2, feInvert(z2)));
    std::memset(k, 0, sizeof k);
}

const uint8_t kBasePoint[32] = {9};
const char* const kBadKey = "잘못된 키";

}  // namespace

void x25519(uint8_t out[32], const uint8_t scalar[32], const uint8_t u[32]) { ladder(out, scalar, u); }

Bytes x25519PublicKey(ByteSpan privateKey) {
    if (privateKey.size() != 32) throw ProtoError(kBadKey);
    Bytes out(32);
    x25519(out.data(), privateKey.data(), kBasePoint);
    return out;
}

Bytes x25519Shared(ByteSpan privateKey, ByteSpan peerPublicKey) {
    if (privateKey.size() != 32 || peerPublicKey.size() != 32) throw ProtoError(kBadKey);
    Bytes out(32);
    x25519(out.data(), privateKey.data(), peerPublicKey.data());
    uint8_t any = 0;
    for (uint8_t byte : out) any |= byte;
    if (any == 0) throw ProtoError(kBadKey);  // a low-order point: nothing secret was agreed
    return out;
}

KeyPair keyPairFromSecret(ByteSpan privateKey) {
    KeyPair pair;
    pair.publicKey = x25519PublicKey(privateKey);
    pair.privateKey.assign(privateKey.begin(), privateKey.end());
    return pair;
}

KeyPair newKeyPair() {
    uint8_t secret[32];
    randomBytes(secret, sizeof secret);
    KeyPair pair = keyPairFromSecret(ByteSpan(secret, 32));
    std::memset(secret, 0, sizeof secret);
    return pair;
}

Bytes elligator2Map(ByteSpan hash) {
    if (hash.size() != 64) throw std::invalid_argument("elligator2Map needs a 64-byte hash");
    const Fe a = feSmall(486662);
    const Fe one = feSmall(1);
    Fe r = feFromBytes(hash.data());  // bit 255 cleared
    // v = -A / (1 + 2 r^2); the denominator is never 0 since -1/2 is not a square mod p.
    Fe den = feAdd(one, feMulSmall(feSq(r), 2));
    Fe v = feMul(feSub(feSmall(0), a), feInvert(den));
    // g = v^3 + A v^2 + v = v (v^2 + A v + 1)
    Fe g = feMul(v, feAdd(feAdd(feSq(v), feMul(a, v)), one));
    uint8_t e[32];
    feToBytes(e, feLegendre(g));
    // e is 0 or 1 when g is a square (or zero); then u = v, else u = -v - A.
    uint8_t high = 0;
    for (int i = 1; i < 32; ++i) high |= e[i];
    uint64_t square = uint64_t(((high | (e[0] & 0xfe)) == 0));
    Fe u = feSub(feSub(feSmall(0), v), a);
    feSwap(u, v, square);
    Bytes out(32);
    feToBytes(out.data(), u);
    return out;
}

Bytes cpaceGenerator(const std::string& password, ByteSpan salt) {
    static const char kLabel[] = "Varnoth CPace X25519 v1";
    constexpr size_t kLabelLength = sizeof kLabel - 1;
    if (password.size() > 0xffff || salt.size() > 0xffff) throw ProtoError(kBadKey);
    Bytes input;
    input.reserve(2 + kLabelLength + 2 + password.size() + 2 + salt.size());
    ByteWriter w(input);
    w.u16(uint16_t(kLabelLength));
    w.bytes(reinterpret_cast<const uint8_t*>(kLabel), kLabelLength);
    w.u16(uint16_t(password.size()));
    w.bytes(password);
    w.u16(uint16_t(salt.size()));
    w.bytes(salt.data(), salt.size());
    Bytes digest = sha512(input);
    Bytes point = elligator2Map(digest);
    std::memset(input.data(), 0, input.size());
    return point;
}
