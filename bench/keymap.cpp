// Key lookups run on every key event in both directions and must not allocate once warmed up.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>

#include "host/protocol/keymap.h"
#include "host/protocol/shortcut.h"

static std::atomic<long> gAllocations{0};

// Counting replacements of the global allocator; GCC cannot see that the pair matches.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

static void BM_MacKeyToPc(benchmark::State& state) {
    uint16_t scan = 0, vk = 0;
    bool ext = false;
    macKeyToPc(0, scan, ext, vk);  // first use
    const long before = gAllocations.load();
    for (auto _ : state) {
        for (int code = 0; code < 128; ++code) benchmark::DoNotOptimize(macKeyToPc(code, scan, ext, vk));
        benchmark::DoNotOptimize(macKeyToPc(keyHangul, scan, ext, vk));
    }
    if (gAllocations.load() != before) state.SkipWithError("macKeyToPc allocated after its first call");
    state.SetItemsProcessed(state.iterations() * 129);
}
BENCHMARK(BM_MacKeyToPc);

static void BM_PcKeyToMac(benchmark::State& state) {
    pcKeyToMac(0x1E, 0, 0);  // builds the map
    const long before = gAllocations.load();
    const auto table = macKeyTable();
    for (auto _ : state) {
        for (const MacKeyRow& row : table) benchmark::DoNotOptimize(pcKeyToMac(row.scan, row.extended, 0x41));
    }
    if (gAllocations.load() != before) state.SkipWithError("pcKeyToMac allocated after its first call");
    state.SetItemsProcessed(state.iterations() * int64_t(table.size()));
}
BENCHMARK(BM_PcKeyToMac);

static void BM_ModifierFlags(benchmark::State& state) {
    const std::set<uint16_t> held{55, 56, 58};
    const long before = gAllocations.load();
    for (auto _ : state) {
        for (uint16_t code = 0; code < 128; ++code) benchmark::DoNotOptimize(macModifierFlags(held, true, code));
    }
    if (gAllocations.load() != before) state.SkipWithError("macModifierFlags allocated");
    state.SetItemsProcessed(state.iterations() * 128);
}
BENCHMARK(BM_ModifierFlags);

// A typed letter with Command held, translated for a PC (the host's path per key event).
static void BM_TranslateShortcut(benchmark::State& state) {
    ShortcutTranslator t;
    long emitted = 0;
    t.output = [&emitted](uint16_t, bool, bool) { ++emitted; };
    t.setMode(1);
    for (auto _ : state) {
        t.process(55, true, false);
        t.process(8, true, false);
        t.process(8, false, false);
        t.process(123, true, false);
        t.process(123, false, false);
        t.process(55, false, false);
    }
    benchmark::DoNotOptimize(emitted);
    state.SetItemsProcessed(state.iterations() * 6);
}
BENCHMARK(BM_TranslateShortcut);

BENCHMARK_MAIN();
