// Colour conversion against libyuv, side by side in one run, with the ratios printed at the end:
// BGRA -> NV12 and NV12 -> BGRA at 1920 x 1080, our time / libyuv's. Also the scaled conversions
// the host runs (3840 x 2160 and 2560 x 1440 into 1920 x 1080, the second as a ratio to the first)
// and the GDI change detector.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "media/capture.h"
#include "media/convert.h"
#include "ratio_reporter.h"

#ifdef TAVREL_HAVE_LIBYUV
#include <libyuv.h>
#endif

namespace {

using Bytes = std::vector<uint8_t>;

Bytes noise(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes v(n);
    for (uint8_t& b : v) b = uint8_t(rng());
    return v;
}

void toNv12Ours(benchmark::State& state, ConvertPath path, int srcWidth, int srcHeight) {
    const Bytes src = noise(size_t(srcWidth) * size_t(srcHeight) * 4, 1);
    Bytes dst(1920 * 1080 * 3 / 2);
    for (auto _ : state) {
        convertBgraToNv12(path, src.data(), srcWidth, srcHeight, srcWidth * 4, dst.data(), 1920, 1080);
        benchmark::DoNotOptimize(dst.data());
    }
}

void toBgraOurs(benchmark::State& state, ConvertPath path) {
    const Bytes nv12 = noise(1920 * 1080 * 3 / 2, 2);
    Bytes out(1920 * 1080 * 4);
    for (auto _ : state) {
        nv12ToBgraInto(path, nv12.data(), nv12.data() + 1920 * 1080, 1920, 1920, 1080, false, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}

// The allocating form the viewer calls for a still copy.
void toBgraOursNewVector(benchmark::State& state) {
    const Bytes nv12 = noise(1920 * 1080 * 3 / 2, 2);
    for (auto _ : state) {
        Bytes out = nv12ToBgra(nv12.data(), nv12.data() + 1920 * 1080, 1920, 1920, 1080, false);
        benchmark::DoNotOptimize(out.data());
    }
}

// An unchanged 1080p screen (the common case) and one whose last pixel changed.
void changeDetector(benchmark::State& state, bool change) {
    Bytes image = noise(1920 * 1080 * 4, 3);
    ChangeDetector detector;
    detector.changed(image.data(), 1920, 1080, 1920 * 4);
    for (auto _ : state) {
        if (change) image[image.size() - 2] ^= 1;
        benchmark::DoNotOptimize(detector.changed(image.data(), 1920, 1080, 1920 * 4));
    }
}

#ifdef TAVREL_HAVE_LIBYUV
void toNv12Libyuv(benchmark::State& state) {
    const Bytes src = noise(1920 * 1080 * 4, 1);
    Bytes dst(1920 * 1080 * 3 / 2);
    for (auto _ : state) {
        libyuv::ARGBToNV12(src.data(), 1920 * 4, dst.data(), 1920, dst.data() + 1920 * 1080, 1920, 1920, 1080);
        benchmark::DoNotOptimize(dst.data());
    }
}

void toBgraLibyuv(benchmark::State& state) {
    const Bytes nv12 = noise(1920 * 1080 * 3 / 2, 2);
    Bytes out(1920 * 1080 * 4);
    for (auto _ : state) {
        libyuv::NV12ToARGBMatrix(nv12.data(), 1920, nv12.data() + 1920 * 1080, 1920, out.data(), 1920 * 4,
                                 &libyuv::kYuvH709Constants, 1920, 1080);
        benchmark::DoNotOptimize(out.data());
    }
}
#endif

}  // namespace

// The machine is shared: five repetitions, compared by their medians.
void timing(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMicrosecond)->Repetitions(5)->DisplayAggregatesOnly(true);
}

int main(int argc, char** argv) {
    const struct {
        const char* name;
        ConvertPath path;
    } paths[] = {{"best", ConvertPath::Best}, {"sse2", ConvertPath::Sse2}, {"reference", ConvertPath::Reference}};
    for (const auto& p : paths) {
        benchmark::RegisterBenchmark((std::string("bgra_to_nv12_1080p/") + p.name).c_str(), toNv12Ours, p.path, 1920,
                                     1080)->Apply(timing);
        benchmark::RegisterBenchmark((std::string("nv12_to_bgra_1080p/") + p.name).c_str(), toBgraOurs, p.path)
            ->Apply(timing);
    }
    benchmark::RegisterBenchmark("nv12_to_bgra_1080p/best_new_vector", toBgraOursNewVector)->Apply(timing);
    for (const auto& p : paths) {
        benchmark::RegisterBenchmark((std::string("bgra_4k_to_1080p/") + p.name).c_str(), toNv12Ours, p.path, 3840,
                                     2160)->Apply(timing);
    }
    benchmark::RegisterBenchmark("bgra_1440p_to_1080p/best", toNv12Ours, ConvertPath::Best, 2560, 1440)
        ->Apply(timing);
    benchmark::RegisterBenchmark("bgra_1440p_to_1080p/reference", toNv12Ours, ConvertPath::Reference, 2560, 1440)
        ->Apply(timing);
    benchmark::RegisterBenchmark("change_detector_1080p/unchanged", changeDetector, false)->Apply(timing);
    benchmark::RegisterBenchmark("change_detector_1080p/last_pixel_changed", changeDetector, true)
        ->Apply(timing);
#ifdef TAVREL_HAVE_LIBYUV
    benchmark::RegisterBenchmark("bgra_to_nv12_1080p/libyuv", toNv12Libyuv)->Apply(timing);
    benchmark::RegisterBenchmark("nv12_to_bgra_1080p/libyuv", toBgraLibyuv)->Apply(timing);
#endif
    RatioReporter reporter;
    if (!runBenchmarks(argc, argv, reporter)) return 1;

    std::printf("\nCPU paths: avx2=%s\n", convertPathAvailable(ConvertPath::Avx2) ? "yes" : "no");
    auto& t = reporter.timeNs;
    auto ratio = [&](const char* what, const std::string& ours, const std::string& theirs, const char* goal) {
        if (!t.count(ours) || !t.count(theirs)) return;
        std::printf("%-36s %6.2f x libyuv time  (%s)\n", what, t[ours] / t[theirs], goal);
    };
    ratio("BGRA -> NV12 1080p", "bgra_to_nv12_1080p/best", "bgra_to_nv12_1080p/libyuv", "goal <= 1.5, stretch 1.0");
    ratio("  SSE2 path", "bgra_to_nv12_1080p/sse2", "bgra_to_nv12_1080p/libyuv", "information");
    ratio("NV12 -> BGRA 1080p", "nv12_to_bgra_1080p/best", "nv12_to_bgra_1080p/libyuv", "goal <= 1.5, stretch 1.0");
    ratio("  SSE2 path", "nv12_to_bgra_1080p/sse2", "nv12_to_bgra_1080p/libyuv", "information");
#ifndef TAVREL_HAVE_LIBYUV
    std::printf("libyuv not found: no ratios (install libyuv-dev)\n");
#endif
    auto ms = [&](const char* what, const std::string& name) {
        if (t.count(name)) std::printf("%-36s %8.3f ms\n", what, t[name] / 1e6);
    };
    if (t.count("bgra_1440p_to_1080p/best") && t.count("bgra_4k_to_1080p/best")) {
        std::printf("%-36s %6.2f x 4K -> 1080p time  (goal <= 1.5)\n", "BGRA 1440p -> 1080p",
                    t["bgra_1440p_to_1080p/best"] / t["bgra_4k_to_1080p/best"]);
    }
    ms("BGRA 3840x2160 -> NV12 1920x1080", "bgra_4k_to_1080p/best");
    ms("BGRA 2560x1440 -> NV12 1920x1080", "bgra_1440p_to_1080p/best");
    ms("change detector, unchanged 1080p", "change_detector_1080p/unchanged");
    ms("change detector, changed 1080p", "change_detector_1080p/last_pixel_changed");
    return 0;
}
