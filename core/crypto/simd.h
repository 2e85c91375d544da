// Instruction-set paths of the ciphers and hashes, chosen at run time. The portable code runs
// on any CPU; faster paths run only when the CPU reports the instructions they use.
#pragma once

#include <cstddef>
#include <cstdint>

// The fastest instruction set the crypto code may use; the CPU check still applies. Tests and
// benchmarks lower it so that every path runs on a CPU that has them all.
enum class CryptoPath { Portable, Avx2, Best };
void setCryptoPath(CryptoPath limit);
CryptoPath cryptoPath();
// Whether a path may run now: allowed by the limit and offered by this CPU.
bool useAvx2();
bool useAvx512();
bool useShaNi();

// XORs `blocks` whole 64-byte ChaCha20 key-stream blocks into `in`, starting at the block
// counter in state[12]; the state itself is not changed.
void chacha20XorBlocks(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t blocks);
void chacha20XorPortable(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t blocks);

// Poly1305 over whole 16-byte blocks (each with the 2^128 bit) on a faster path when there is
// one: updates the accumulator h (three 44-bit limbs) under the clamped-at-use key r (the first
// 16 key bytes) and returns how many blocks it consumed, from the front; 0 when none.
size_t poly1305BlocksFast(uint64_t h[3], const uint8_t key[16], const uint8_t* m, size_t blocks);

// The 64 SHA-256 round constants (defined with the portable block function).
extern const uint32_t kSha256K[64];
// The SHA-256 block function over whole 64-byte blocks on a faster path; false (and nothing
// done) when there is none.
bool sha256CompressFast(uint32_t state[8], const uint8_t* data, size_t blocks);
