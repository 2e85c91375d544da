#include "core/crypto/simd.h"

#include <atomic>

namespace {
std::atomic<bool> portableOnly{false};
}

void setCryptoPortableOnly(bool on) { portableOnly.store(on, std::memory_order_relaxed); }
bool cryptoPortableOnly() { return portableOnly.load(std::memory_order_relaxed); }

bool cpuHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

bool cpuHasShaNi() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has = __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
    return has;
#else
    return false;
#endif
}

void chacha20XorBlocks(const uint32_t state[16], const uint8_t* in, uint8_t* out, size_t blocks) {
    chacha20XorPortable(state, in, out, blocks);
}
