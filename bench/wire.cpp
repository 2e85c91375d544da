// Throughput of the payload reader and writer on a typical mix of fields.
#include <benchmark/benchmark.h>

#include "core/wire.h"

static void BM_WriteFields(benchmark::State& state) {
    std::vector<uint8_t> out;
    out.reserve(4096);
    for (auto _ : state) {
        out.clear();
        ByteWriter w(out);
        for (int i = 0; i < 256; ++i) {
            w.u8(uint8_t(i));
            w.u32(uint32_t(i) * 2654435761u);
            w.f32(float(i) * 0.5f);
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 256 * 9);
}
BENCHMARK(BM_WriteFields);

static void BM_ReadFields(benchmark::State& state) {
    std::vector<uint8_t> payload;
    ByteWriter w(payload);
    for (int i = 0; i < 256; ++i) {
        w.u8(uint8_t(i));
        w.u32(uint32_t(i));
        w.f32(float(i));
    }
    for (auto _ : state) {
        ByteReader r(payload);
        uint64_t sum = 0;
        for (int i = 0; i < 256; ++i) {
            sum += r.u8();
            sum += r.u32();
            sum += uint64_t(r.f32());
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(payload.size()));
}
BENCHMARK(BM_ReadFields);

BENCHMARK_MAIN();
