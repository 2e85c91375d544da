// ChaCha20-Poly1305 (the RFC 8439 construction) and one direction of a sealed channel.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/util.h"

// Keys must be 32 bytes and nonces 12; other sizes throw std::invalid_argument.

// Ciphertext (as long as the plaintext) followed by the 16-byte tag.
Bytes aeadSeal(ByteSpan key, ByteSpan nonce, ByteSpan plaintext, ByteSpan associatedData);
// Checks the tag in constant time; only when it matches decrypts into `out` and returns true.
// On any failure `out` is left untouched. Input shorter than the tag fails.
bool aeadOpen(ByteSpan key, ByteSpan nonce, const uint8_t* sealed, size_t length,
              ByteSpan associatedData, Bytes& out);
bool aeadOpenChecked(ByteSpan key, ByteSpan nonce, const uint8_t* sealed, size_t length,
                     ByteSpan associatedData, Bytes& out);

// One direction of a channel: each message's nonce is 4 zero bytes and then the message
// counter as 8 bytes little-endian, so the two ends never send a nonce and never reuse one.
struct CipherState {
    Bytes key;             // 32 bytes
    uint64_t counter = 0;  // messages sealed (or opened) so far

    CipherState() = default;
    explicit CipherState(Bytes k, uint64_t c = 0) : key(std::move(k)), counter(c) {}

    std::array<uint8_t, 12> nonce() const;  // of the current counter
    // Seals with the current nonce, then counts the message.
    Bytes seal(ByteSpan plaintext, ByteSpan associatedData = {});
    // Opens with the current nonce and counts the message; short or forged input throws
    // ProtoError "복호 실패" and leaves the counter as it was.
    Bytes open(const uint8_t* sealed, size_t length, ByteSpan associatedData = {});
    Bytes open(ByteSpan sealed, ByteSpan associatedData = {}) {
        return open(sealed.data(), sealed.size(), associatedData);
    }
};

// The building blocks, exposed for their own test vectors.
// One 64-byte ChaCha20 block (20 rounds) for the given block counter.
void chacha20Block(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12], uint8_t out[64]);
// XORs the ChaCha20 key stream, starting at block `counter`, into `length` bytes (in may equal out).
void chacha20Xor(const uint8_t key[32], uint32_t counter, const uint8_t nonce[12],
                 const uint8_t* in, uint8_t* out, size_t length);
// Poly1305 one-time authenticator of `message` under a 32-byte one-time key.
std::array<uint8_t, 16> poly1305(const uint8_t key[32], ByteSpan message);
