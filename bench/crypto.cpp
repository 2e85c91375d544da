// Our ciphers against OpenSSL's libcrypto, side by side in one run, with the ratios printed
// at the end: ChaCha20-Poly1305 seal of 64 KiB, X25519 scalar multiplication, SHA-256 of 64 KiB.
// "avx2" and "portable" runs cap the instruction set ("portable": the plain C++ any x86-64 runs).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/crypto/aead.h"
#include "core/crypto/hash.h"
#include "core/crypto/simd.h"
#include "core/crypto/x25519.h"
#include "ratio_reporter.h"

#ifdef TAVREL_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

constexpr size_t kMessage = 64 * 1024;

Bytes pattern(size_t n, int seed) {
    Bytes v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + seed);
    return v;
}

void sealOurs(benchmark::State& state, CryptoPath path) {
    setCryptoPath(path);
    CipherState cs(pattern(32, 1));
    const Bytes plain = pattern(kMessage, 2);
    for (auto _ : state) {
        Bytes sealed = cs.seal(plain);
        benchmark::DoNotOptimize(sealed.data());
    }
    setCryptoPath(CryptoPath::Best);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMessage));
}

void sha256Ours(benchmark::State& state, CryptoPath path) {
    setCryptoPath(path);
    const Bytes data = pattern(kMessage, 3);
    for (auto _ : state) {
        Bytes d = sha256(data);
        benchmark::DoNotOptimize(d.data());
    }
    setCryptoPath(CryptoPath::Best);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMessage));
}

void x25519Ours(benchmark::State& state) {
    const Bytes priv = pattern(32, 4);
    Bytes point = keyPairFromSecret(pattern(32, 5)).publicKey;
    uint8_t out[32];
    for (auto _ : state) {
        x25519(out, priv.data(), point.data());
        benchmark::DoNotOptimize(out);
    }
}

#ifdef TAVREL_HAVE_OPENSSL
void sealOpenssl(benchmark::State& state) {
    const Bytes key = pattern(32, 1), plain = pattern(kMessage, 2);
    Bytes out(kMessage + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    uint64_t counter = 0;
    for (auto _ : state) {
        uint8_t nonce[12] = {};
        for (int i = 0; i < 8; ++i) nonce[4 + i] = uint8_t(counter >> (8 * i));
        ++counter;
        int len = 0;
        EVP_EncryptInit_ex(ctx, EVP_chacha20_poly1305(), nullptr, key.data(), nonce);
        EVP_EncryptUpdate(ctx, out.data(), &len, plain.data(), int(plain.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + len, &len);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + kMessage);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMessage));
}

void sha256Openssl(benchmark::State& state) {
    const Bytes data = pattern(kMessage, 3);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const EVP_MD* md = EVP_sha256();
    uint8_t digest[32];
    for (auto _ : state) {
        unsigned int len = 0;
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, digest, &len);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMessage));
}

void x25519Openssl(benchmark::State& state) {
    const Bytes priv = pattern(32, 4);
    Bytes point = keyPairFromSecret(pattern(32, 5)).publicKey;
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, priv.data(), 32);
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, point.data(), 32);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_derive_init(ctx);
    EVP_PKEY_derive_set_peer(ctx, peer);
    uint8_t out[32];
    for (auto _ : state) {
        size_t len = sizeof out;
        EVP_PKEY_derive(ctx, out, &len);
        benchmark::DoNotOptimize(out);
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
    EVP_PKEY_free(key);
}
#endif

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("seal64k/ours", sealOurs, CryptoPath::Best);
    benchmark::RegisterBenchmark("seal64k/ours_avx2", sealOurs, CryptoPath::Avx2);
    benchmark::RegisterBenchmark("seal64k/ours_portable", sealOurs, CryptoPath::Portable);
    benchmark::RegisterBenchmark("x25519/ours", x25519Ours);
    benchmark::RegisterBenchmark("sha256_64k/ours", sha256Ours, CryptoPath::Best);
    benchmark::RegisterBenchmark("sha256_64k/ours_portable", sha256Ours, CryptoPath::Portable);
#ifdef TAVREL_HAVE_OPENSSL
    benchmark::RegisterBenchmark("seal64k/openssl", sealOpenssl);
    benchmark::RegisterBenchmark("x25519/openssl", x25519Openssl);
    benchmark::RegisterBenchmark("sha256_64k/openssl", sha256Openssl);
#endif
    RatioReporter reporter;
    if (!runBenchmarks(argc, argv, reporter)) return 1;

    std::printf("\nCPU paths: avx2=%s avx-512=%s sha-ni=%s\n", useAvx2() ? "yes" : "no", useAvx512() ? "yes" : "no",
                useShaNi() ? "yes" : "no");
    auto& t = reporter.timeNs;
    auto ratio = [&](const char* what, const std::string& ours, const std::string& theirs, bool throughput,
                     const char* goal) {
        if (!t.count(ours) || !t.count(theirs)) return;
        double r = throughput ? t[theirs] / t[ours] : t[ours] / t[theirs];
        std::printf("%-40s %6.2f %s  (%s)\n", what, r, throughput ? "x OpenSSL throughput" : "x OpenSSL time", goal);
    };
    ratio("ChaCha20-Poly1305 seal 64 KiB", "seal64k/ours", "seal64k/openssl", true, "goal >= 0.2, stretch 0.5");
    ratio("  AVX2 path", "seal64k/ours_avx2", "seal64k/openssl", true, "information");
    ratio("  portable path", "seal64k/ours_portable", "seal64k/openssl", true, "information");
    ratio("X25519 scalar multiplication", "x25519/ours", "x25519/openssl", false, "goal <= 3, stretch 1.5");
    ratio("SHA-256 64 KiB", "sha256_64k/ours", "sha256_64k/openssl", true, "reported");
    ratio("  portable path", "sha256_64k/ours_portable", "sha256_64k/openssl", true, "information");
    return 0;
}
