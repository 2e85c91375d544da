#include "core/crypto/aead.h"

#include <cstring>
#include <stdexcept>

#include "core/crypto/simd.h"
#include "core/wire.h"

namespace {

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

void checkSizes(ByteSpan key, ByteSpan nonce) {
    if (key.size() != 32) throw std::invalid_argument("ChaCha20-Poly1305 key must be 32 bytes");
    if (nonce.size() != 12) throw std::invalid_argument("ChaCha20-Poly1305 nonce must be 12 bytes");
}

void initState(uint32_t s[16], const uint8_t key[32], uint32_t counter, const uint8_t nonce[12]) {
    s[0] = 0x61707865; s[1] = 0x3320646e; s[2] = 0x79622d32; s[3] = 0x6b206574;  // "expand 32-byte k"
    for (int i = 0; i < 8; ++i) s[4 + i] = loadLe32(key + 4 * i);
    s[12] = counter;
    for (int i = 0; i < 3; ++i) s[13 + i] = loadLe32(nonce + 4 * i);
}

#define QR(a, b, c, d)                  \
    a += b; d ^= a; d = rotl(d, 16);    \
    c += d; b ^= c; b = rotl(b, 12);    \
    a += b; d ^= a; d = rotl(d, 8);     \
    c += d; b ^= c; b = rotl(b, 7)

void blockFromState(const uint32_t s[16], uint8_t out[64]) {
    uint32_t x[16];
    std::memcpy(x, s, sizeof x);
    for (int i = 0; i < 10; ++i) {
        QR(x[0], x[4], x[8], x[12]);
        QR(x[1], x[5], x[9], x[13]);
        QR(x[2], x[6], x[10], x[14]);
        QR(x[3], x[7], x[11], x[15]);
        QR(x[0], x[5], x[10], x[15]);
        QR(x[1], x[6], x[11], x[12]);
        QR(x[2], x[7], x[8], x[13]);
        QR(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) storeLe32(out + 4 * i, x[i] + s[i]);
}

#undef QR

// Poly1305 with 44-bit limbs and 128-bit products.
struct Poly1305 {
    static constexpr uint64_t kMask44 = 0xfffffffffff;
    static constexpr uint64_t kMask42 = 0x3ffffffffff;
    uint64_t r0, r1, r2, s1, s2;
    uint64_t h0 = 0, h1 = 0, h2 = 0;
    uint64_t pad0, pad1;
    uint8_t rKey[16];

    explicit Poly1305(const uint8_t key[32]) {
        std::memcpy(rKey, key, 16);
        uint64_t t0 = loadLe64(key), t1 = loadLe64(key + 8);
        // r is clamped as the RFC requires.
        r0 = t0 & 0xffc0fffffff;
        r1 = ((t0 >> 44) | (t1 << 20)) & 0xfffffc0ffff;
        r2 = (t1 >> 24) & 0x00ffffffc0f;
        s1 = r1 * (5 << 2);
        s2 = r2 * (5 << 2);
        pad0 = loadLe64(key + 16);
        pad1 = loadLe64(key + 24);
    }

    // Whole 16-byte blocks; `hibit` is 2^128 in limb form for full blocks.
    void blocks(const uint8_t* m, size_t count, uint64_t hibit = uint64_t(1) << 40) {
        if (hibit != 0) {
            uint64_t h[3] = {h0, h1, h2};
            size_t done = poly1305BlocksFast(h, rKey, m, count);
            h0 = h[0]; h1 = h[1]; h2 = h[2];
            m += done * 16;
            count -= done;
        }
        using u128 = unsigned __int128;
        uint64_t a0 = h0, a1 = h1, a2 = h2;
        for (; count > 0; --count, m += 16) {
            uint64_t t0 = loadLe64(m), t1 = loadLe64(m + 8);
            a0 += t0 & kMask44;
            a1 += ((t0 >> 44) | (t1 << 20)) & kMask44;
            a2 += ((t1 >> 24) & kMask42) | hibit;
            u128 d0 = u128(a0) * r0 + u128(a1) * s2 + u128(a2) * s1;
            u128 d1 = u128(a0) * r1 + u128(a1) * r0 + u128(a2) * s2;
            u128 d2 = u128(a0) * r2 + u128(a1) * r1 + u128(a2) * r0;
            uint64_t c = uint64_t(d0 >> 44); a0 = uint64_t(d0) & kMask44;
            d1 += c; c = uint64_t(d1 >> 44); a1 = uint64_t(d1) & kMask44;
            d2 += c; c = uint64_t(d2 >> 42); a2 = uint64_t(d2) & kMask42;
            a0 += c * 5; c = a0 >> 44; a0 &= kMask44;
            a1 += c;
        }
        h0 = a0; h1 = a1; h2 = a2;
    }

    // Any length: whole blocks in place, the tail zero-padded (as the AEAD pads).
    void padded(const uint8_t* m, size_t length) {
        size_t whole = length / 16;
        if (whole > 0) blocks(m, whole);
        size_t tail = length - whole * 16;
        if (tail > 0) {
            uint8_t block[16] = {};
            std::memcpy(block, m + whole * 16, tail);
            blocks(block, 1);
        }
    }

    void finish(uint8_t tag[16]) {
        uint64_t c;
        c = h1 >> 44; h1 &= kMask44;
        h2 += c; c = h2 >> 42; h2 &= kMask42;
        h0 += c * 5; c = h0 >> 44; h0 &= kMask44;
        h1 += c; c = h1 >> 44; h1 &= kMask44;
        h2 += c; c = h2 >> 42; h2 &= kMask42;
        h0 += c * 5; c = h0 >> 44; h0 &= kMask44;
        h1 += c;
        // g = h + 5 - 2^130; keep it when it does not go negative, without a branch.
        uint64_t g0 = h0 + 5; c = g0 >> 44; g0 &= kMask44;
        uint64_t g1 = h1 + c; c = g1 >> 44; g1 &= kMask44;
        uint64_t g2 = h2 + c - (uint64_t(1) << 42);
        c = (g2 >> 63) - 1;
        g0 &= c; g1 &= c; g2 &= c;
        c = ~c;
        h0 = (h0 & c) | g0; h1 = (h1 & c) | g1; h2 = (h2 & c) | g2;
        h0 += pad0 & kMask44; c = h0 >> 44; h0 &= kMask44;
        h1 += (((pad0 >> 44) | (pad1 << 20)) & kMask44) + c; c = h1 >> 44; h1 &= kMask44;
        h2 += ((pad1 >> 24) & kMask42) + c; h2 &= kMask42;
        storeLe64(tag, h0 | (h1 << 44));
        storeLe64(tag + 8, (h1 >> 20) | (h2 << 24));
        std::memset(rKey, 0, sizeof rKey);
    }
};

// The tag over associated data and ciphertext, each zero-padded to 16, then both lengths.
void computeTag(const uint8_t polyKey[32], ByteSpan ad, const uint8_t* ct, size_t ctLen, uint8_t tag[16]) {
    Poly1305 mac(polyKey);
    mac.padded(ad.data(), ad.size());
    mac.padded(ct, ctLen);
    uint8_t lengths[16];
    storeLe64(lengths, ad.size());
    storeLe64(lengths + 8, ctLen);
    mac.blocks(lengths, 1);
    mac.finish(tag);
}

void polyKeyFor(const uint8_t* key, const uint8_t* nonce, uint8_t polyKey[32]) {
    uint8_t block[64];
    chacha20Block(key, 0, nonce, block);
    std::memcpy(polyKey, block, 32);
    std::memset(block, 0, sizeof block);
}

}  // namespace

void chacha20Block(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12], uint8_t out[64]) {
    uint32_t s[16];
    initState(s, key, counter, nonce);
    blockFromState(s, out);
}

void chacha20XorPortable(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t blocks) {
    uint32_t s[16];
    std::memcpy(s, state, sizeof s);
    uint8_t ks[64];
    for (; blocks > 0; --blocks, in += 64, out += 64) {
        blockFromState(s, ks);
        for (int i = 0; i < 64; ++i) out[i] = uint8_t(in[i] ^ ks[i]);
        ++s[12];
    }
}

void chacha20Xor(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12],
                 const uint8_t* in, uint8_t* out, size_t length) {
    uint32_t s[16];
    initState(s, key, counter, nonce);
    size_t blocks = length / 64;
    if (blocks > 0) {
        chacha20XorBlocks(s, in, out, blocks);
        s[12] += uint32_t(blocks);
    }
    size_t tail = length - blocks * 64;
    if (tail > 0) {
        uint8_t ks[64];
        blockFromState(s, ks);
        for (size_t i = 0; i < tail; ++i) out[blocks * 64 + i] = uint8_t(in[blocks * 64 + i] ^ ks[i]);
    }
}

std::array<uint8_t, 16> poly1305(const uint8_t key[32], ByteSpan message) {
    Poly1305 mac(key);
    size_t whole = message.size() / 16;
    if (whole > 0) mac.blocks(message.data(), whole);
    size_t tail = message.size() - whole * 16;
    if (tail > 0) {
        // A short last block gets a 1 byte after it instead of the 2^128 bit.
        uint8_t block[16] = {};
        std::memcpy(block, message.data() + whole * 16, tail);
        block[tail] = 1;
        mac.blocks(block, 1, 0);
    }
    std::array<uint8_t, 16> tag;
    mac.finish(tag.data());
    return tag;
}

// The 32-bit block counter starts at 1, so a longer message would reuse key stream.
constexpr uint64_t kMaxMessage = (uint64_t(1) << 32) * 64 - 64;

Bytes aeadSeal(ByteSpan key, ByteSpan nonce, ByteSpan plaintext, ByteSpan associatedData) {
    checkSizes(key, nonce);
    if (uint64_t(plaintext.size()) > kMaxMessage) throw std::length_error("ChaCha20-Poly1305 message too long");
    Bytes out(plaintext.size() + 16);
    if (!plaintext.empty()) chacha20Xor(key.data(), 1, nonce.data(), plaintext.data(), out.data(), plaintext.size());
    uint8_t polyKey[32];
    polyKeyFor(key.data(), nonce.data(), polyKey);
    computeTag(polyKey, associatedData, out.data(), plaintext.size(), out.data() + plaintext.size());
    std::memset(polyKey, 0, sizeof polyKey);
    return out;
}

bool aeadOpen(ByteSpan key, ByteSpan nonce, const uint8_t* sealed, size_t length,
              ByteSpan associatedData, Bytes& out) {
    checkSizes(key, nonce);
    if (length < 16 || uint64_t(length - 16) > kMaxMessage) return false;
    size_t ctLen = length - 16;
    uint8_t polyKey[32], tag[16];
    polyKeyFor(key.data(), nonce.data(), polyKey);
    computeTag(polyKey, associatedData, sealed, ctLen, tag);
    std::memset(polyKey, 0, sizeof polyKey);
    if (!constantTimeEqual(tag, sealed + ctLen, 16)) return false;
    Bytes plain(ctLen);
    if (ctLen > 0) chacha20Xor(key.data(), 1, nonce.data(), sealed, plain.data(), ctLen);
    out = std::move(plain);
    return true;
}

bool aeadOpenChecked(ByteSpan key, ByteSpan nonce, const uint8_t* sealed, size_t length,
                     ByteSpan associatedData, Bytes& out) {
    if (length < 16) return false;
    return aeadOpen(key, nonce, sealed, length, associatedData, out);
}

std::array<uint8_t, 12> CipherState::nonce() const {
    std::array<uint8_t, 12> n{};
    storeLe64(n.data() + 4, counter);
    return n;
}

Bytes CipherState::seal(ByteSpan plaintext, ByteSpan associatedData) {
    auto n = nonce();
    Bytes out = aeadSeal(key, n, plaintext, associatedData);
    ++counter;
    return out;
}

Bytes CipherState::open(const uint8_t* sealed, size_t length, ByteSpan associatedData) {
    auto n = nonce();
    Bytes out;
    if (!aeadOpenChecked(key, n, sealed, length, associatedData, out)) throw ProtoError("복호 실패");
    ++counter;
    return out;
}
