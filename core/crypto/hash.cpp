#include "core/crypto/hash.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/crypto/simd.h"
#include "core/wire.h"

// Shared with the SHA extensions path in simd.cpp.
extern const uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

namespace {

inline uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
inline uint64_t rotr64(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

const uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

const uint64_t kSha512K[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc, 0x3956c25bf348b538,
    0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118, 0xd807aa98a3030242, 0x12835b0145706fbe,
    0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2, 0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235,
    0xc19bf174cf692694, 0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5, 0x983e5152ee66dfab,
    0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4, 0xc6e00bf33da88fc2, 0xd5a79147930aa725,
    0x06ca6351e003826f, 0x142929670a0e6e70, 0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed,
    0x53380d139d95b3df, 0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30, 0xd192e819d6ef5218,
    0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8, 0x19a4c116b8d2d0c8, 0x1e376c085141ab53,
    0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8, 0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373,
    0x682e6ff3d6b2b8a3, 0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b, 0xca273eceea26619c,
    0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178, 0x06f067aa72176fba, 0x0a637dc5a2c898a6,
    0x113f9804bef90dae, 0x1b710b35131c471b, 0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc,
    0x431d67c49c100d4c, 0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817};

const uint64_t kSha512Init[8] = {0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b,
                                 0xa54ff53a5f1d36f1, 0x510e527fade682d1, 0x9b05688c2b3e6c1f,
                                 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179};

// Runs the SHA-256 block function over `blocks` consecutive 64-byte blocks.
void sha256CompressPortable(uint32_t state[8], const uint8_t* data, size_t blocks) {
    uint32_t w[64];
    for (; blocks > 0; --blocks, data += 64) {
        for (int i = 0; i < 16; ++i) w[i] = loadBe32(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr32(w[i - 15], 7) ^ rotr32(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr32(w[i - 2], 17) ^ rotr32(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t s1 = rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25);
            uint32_t ch = (e & f) ^ (~e & g);
            uint32_t t1 = h + s1 + ch + kSha256K[i] + w[i];
            uint32_t s0 = rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22);
            uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
            uint32_t t2 = s0 + maj;
            h = g; g = f; f = e; e = d + t1;
            d = c; c = b; b = a; a = t1 + t2;
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
    }
}

void sha256Compress(uint32_t state[8], const uint8_t* data, size_t blocks) {
    if (!sha256CompressFast(state, data, blocks)) sha256CompressPortable(state, data, blocks);
}

// Incremental SHA-256, used by the one-shot functions and HMAC.
struct Sha256 {
    uint32_t state[8];
    uint8_t buffer[64];
    size_t buffered = 0;
    uint64_t total = 0;

    Sha256() { std::memcpy(state, kSha256Init, sizeof state); }

    void update(const uint8_t* data, size_t length) {
        total += length;
        if (buffered > 0) {
            size_t take = std::min(length, 64 - buffered);
            std::memcpy(buffer + buffered, data, take);
            buffered += take; data += take; length -= take;
            if (buffered < 64) return;
            sha256Compress(state, buffer, 1);
            buffered = 0;
        }
        // Whole blocks straight from the input; only the tail is copied.
        size_t blocks = length / 64;
        if (blocks > 0) sha256Compress(state, data, blocks);
        data += blocks * 64; length -= blocks * 64;
        if (length > 0) std::memcpy(buffer, data, length);
        buffered = length;
    }

    // Pads, appends the bit length and writes the 32-byte digest.
    void final(uint8_t out[32]) {
        uint64_t bits = total * 8;
        buffer[buffered++] = 0x80;
        if (buffered > 56) {
            std::memset(buffer + buffered, 0, 64 - buffered);
            sha256Compress(state, buffer, 1);
            buffered = 0;
        }
        std::memset(buffer + buffered, 0, 56 - buffered);
        storeBe64(buffer + 56, bits);
        sha256Compress(state, buffer, 1);
        for (int i = 0; i < 8; ++i) storeBe32(out + 4 * i, state[i]);
    }
};

void sha512Compress(uint64_t state[8], const uint8_t* data, size_t blocks) {
    uint64_t w[80];
    for (; blocks > 0; --blocks, data += 128) {
        for (int i = 0; i < 16; ++i) w[i] = loadBe64(data + 8 * i);
        for (int i = 16; i < 80; ++i) {
            uint64_t s0 = rotr64(w[i - 15], 1) ^ rotr64(w[i - 15], 8) ^ (w[i - 15] >> 7);
            uint64_t s1 = rotr64(w[i - 2], 19) ^ rotr64(w[i - 2], 61) ^ (w[i - 2] >> 6);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 80; ++i) {
            uint64_t s1 = rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41);
            uint64_t ch = (e & f) ^ (~e & g);
            uint64_t t1 = h + s1 + ch + kSha512K[i] + w[i];
            uint64_t s0 = rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39);
            uint64_t maj = (a & b) ^ (a & c) ^ (b & c);
            uint64_t t2 = s0 + maj;
            h = g; g = f; f = e; e = d + t1;
            d = c; c = b; b = a; a = t1 + t2;
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
    }
}

}  // namespace

Bytes sha256(const uint8_t* data, size_t length) {
    Sha256 ctx;
    ctx.update(data, length);
    Bytes out(32);
    ctx.final(out.data());
    return out;
}

Bytes sha512(const uint8_t* data, size_t length) {
    uint64_t state[8];
    std::memcpy(state, kSha512Init, sizeof state);
    size_t blocks = length / 128;
    if (blocks > 0) sha512Compress(state, data, blocks);
    size_t tail = length - blocks * 128;
    uint8_t buffer[256] = {};
    if (tail > 0) std::memcpy(buffer, data + blocks * 128, tail);
    buffer[tail] = 0x80;
    // The length field is 128 bits; its upper half is zero for any size_t input.
    size_t padded = tail + 1 + 16 <= 128 ? 128 : 256;
    storeBe64(buffer + padded - 8, uint64_t(length) << 3);
    storeBe64(buffer + padded - 16, uint64_t(length) >> 61);
    sha512Compress(state, buffer, padded / 128);
    Bytes out(64);
    for (int i = 0; i < 8; ++i) storeBe64(out.data() + 8 * i, state[i]);
    return out;
}

Bytes hmacSha256(ByteSpan key, ByteSpan message) {
    uint8_t block[64] = {};
    if (key.size() > 64) {
        Bytes hashed = sha256(key);
        std::memcpy(block, hashed.data(), hashed.size());
    } else if (!key.empty()) {
        std::memcpy(block, key.data(), key.size());
    }
    uint8_t pad[64];
    for (int i = 0; i < 64; ++i) pad[i] = uint8_t(block[i] ^ 0x36);
    Sha256 inner;
    inner.update(pad, 64);
    inner.update(message.data(), message.size());
    uint8_t innerDigest[32];
    inner.final(innerDigest);

    for (int i = 0; i < 64; ++i) pad[i] = uint8_t(block[i] ^ 0x5c);
    Sha256 outer;
    outer.update(pad, 64);
    outer.update(innerDigest, 32);
    Bytes out(32);
    outer.final(out.data());
    std::memset(block, 0, sizeof block);
    std::memset(pad, 0, sizeof pad);
    return out;
}

Bytes hkdfSha256(ByteSpan inputKeyMaterial, ByteSpan salt, ByteSpan info, size_t length) {
    // The block counter is one byte, so 255 blocks is the most HKDF can give.
    if (length > 255 * 32) throw std::length_error("hkdfSha256: output too long");
    Bytes out;
    if (length == 0) return out;
    const uint8_t zeroSalt[32] = {};
    Bytes prk = hmacSha256(salt.empty() ? ByteSpan(zeroSalt, 32) : salt, inputKeyMaterial);
    out.reserve(length + 32);
    Bytes t;
    for (unsigned i = 1; out.size() < length; ++i) {
        Bytes message;
        message.reserve(t.size() + info.size() + 1);
        message.insert(message.end(), t.begin(), t.end());
        message.insert(message.end(), info.begin(), info.end());
        message.push_back(uint8_t(i));
        t = hmacSha256(prk, message);
        out.insert(out.end(), t.begin(), t.end());
    }
    out.resize(length);
    return out;
}

std::string sha256Hex(ByteSpan bytes) {
    Bytes digest = sha256(bytes);
    return hexEncode(digest.data(), 16);
}
