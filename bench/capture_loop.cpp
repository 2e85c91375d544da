// The capture-and-encode loop's work for one frame after the grab, at 1280x720 and 1920x1080:
// conversion of the grabbed BGRA image to NV12, the encoder (the lossless H.264 writer of the
// tests stands in for it), packing the access unit, the VideoFrame payload and the send on a
// loopback channel pair (a reader drains the other end). Each step is timed alone and the whole
// chain once more in the same run; the whole must stay within 1.2 x the sum of the steps, and its
// share of a 60 fps frame interval (16.7 ms) is printed.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/protocol/messages.h"
#include "media/convert.h"
#include "media/stream.h"
#include "net/channel.h"
#include "net/framed.h"
#include "ratio_reporter.h"
#include "support/lossless_h264.h"

namespace {

// A screen-like picture: flat areas with text-like detail, not noise (which no codec sees).
Bytes screenImage(int width, int height) {
    Bytes image(size_t(width) * size_t(height) * 4);
    std::mt19937 rng(7);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = image.data() + (size_t(y) * size_t(width) + size_t(x)) * 4;
            const bool text = (y / 16) % 3 == 1 && (x / 8) % 5 != 0 && rng() % 3 == 0;
            const uint8_t base = uint8_t(200 + (x * 40) / width);
            p[0] = text ? 30 : base;
            p[1] = text ? 30 : uint8_t(base - 20);
            p[2] = text ? 30 : uint8_t(base - 60);
            p[3] = 255;
        }
    return image;
}

// Two ends of a secure channel on loopback; a thread reads and opens everything the host sends.
class Viewer {
public:
    Viewer() {
        ListenSocket listener;
        if (!listener.open(0, true)) return;
        auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
        std::shared_ptr<FramedConn> viewerEnd = connectTcp("127.0.0.1", listener.port(), 5000);
        if (!viewerEnd) listener.close();
        std::shared_ptr<FramedConn> hostEnd = accepted.get();
        if (!viewerEnd || !hostEnd) return;
        host = std::make_shared<SecureChannel>(hostEnd, CipherState(Bytes(32, 1)), CipherState(Bytes(32, 2)));
        viewer_ = std::make_shared<SecureChannel>(viewerEnd, CipherState(Bytes(32, 2)), CipherState(Bytes(32, 1)));
        reader_ = std::thread([this] {
            try {
                for (;;)
                    if (viewer_->receive(-1).type == 0) break;
            } catch (const std::exception&) {
            }
        });
    }
    ~Viewer() {
        if (!host) return;
        host->send(0, Bytes{});  // the reader's signal to stop, after everything else
        reader_.join();
    }
    std::shared_ptr<SecureChannel> host;

private:
    std::shared_ptr<SecureChannel> viewer_;
    std::thread reader_;
};

// What one frame passes through, made once per size.
struct Frame {
    int width, height;
    Bytes image, nv12, annexB, payload;
    EncodedAccessUnit unit;
    LosslessH264Writer writer;

    Frame(int w, int h)
        : width(w), height(h), image(screenImage(w, h)), nv12(size_t(w) * size_t(h) * 3 / 2), writer(w, h) {
        convertBgraToNv12(image.data(), w, h, w * 4, nv12.data(), w, h);
        writer.encode(nv12.data(), true);  // the stream's first picture is the key frame
        annexB = writer.encode(nv12.data(), false);
        unit = packAccessUnit(annexB.data(), annexB.size(), false);
        payload = encodeVideoFrame(2, unit.keyFrame, unit.payload);
    }
};

enum class Step { Convert, Encode, Pack, Payload, Send, Whole };
const char* const kStepNames[] = {"convert", "encode", "pack", "payload", "send", "whole"};

void frameStep(benchmark::State& state, Step step, int width, int height) {
    Frame f(width, height);
    Viewer viewer;
    if (!viewer.host) {
        state.SkipWithError("no loopback connection");
        return;
    }
    uint32_t number = 2;
    for (auto _ : state) {
        switch (step) {
        case Step::Convert:
            convertBgraToNv12(f.image.data(), width, height, width * 4, f.nv12.data(), width, height);
            benchmark::DoNotOptimize(f.nv12.data());
            break;
        case Step::Encode:
            f.annexB = f.writer.encode(f.nv12.data(), false);
            benchmark::DoNotOptimize(f.annexB.data());
            break;
        case Step::Pack:
            f.unit = packAccessUnit(f.annexB.data(), f.annexB.size(), false);
            benchmark::DoNotOptimize(f.unit.payload.data());
            break;
        case Step::Payload:
            f.payload = encodeVideoFrame(++number, f.unit.keyFrame, f.unit.payload);
            benchmark::DoNotOptimize(f.payload.data());
            break;
        case Step::Send:
            viewer.host->send(uint8_t(MsgType::VideoFrame), f.payload);
            break;
        case Step::Whole: {
            convertBgraToNv12(f.image.data(), width, height, width * 4, f.nv12.data(), width, height);
            const Bytes annexB = f.writer.encode(f.nv12.data(), false);
            const EncodedAccessUnit unit = packAccessUnit(annexB.data(), annexB.size(), false);
            const Bytes payload = encodeVideoFrame(++number, unit.keyFrame, unit.payload);
            viewer.host->send(uint8_t(MsgType::VideoFrame), payload);
            break;
        }
        }
    }
}

std::string benchName(Step step, int width, int height) {
    return std::string("frame_") + std::to_string(width) + "x" + std::to_string(height) + "/" +
           kStepNames[int(step)];
}

// The machine is shared: five repetitions, compared by their medians; wall-clock time, since the
// send's work is shared with the reading end.
void timing(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->DisplayAggregatesOnly(true);
}

}  // namespace

int main(int argc, char** argv) {
    const int sizes[][2] = {{1280, 720}, {1920, 1080}};
    for (const auto& s : sizes)
        for (Step step : {Step::Convert, Step::Encode, Step::Pack, Step::Payload, Step::Send, Step::Whole})
            benchmark::RegisterBenchmark(benchName(step, s[0], s[1]).c_str(), frameStep, step, s[0], s[1])
                ->Apply(timing);
    RatioReporter reporter;
    reporter.realTime = true;
    if (!runBenchmarks(argc, argv, reporter)) return 1;

    const double frameMs = 1000.0 / 60;
    auto& t = reporter.timeNs;
    for (const auto& s : sizes) {
        double sum = 0;
        bool complete = true;
        std::printf("\n%dx%d, ms per frame:", s[0], s[1]);
        for (Step step : {Step::Convert, Step::Encode, Step::Pack, Step::Payload, Step::Send}) {
            const std::string name = benchName(step, s[0], s[1]);
            if (!t.count(name)) {
                complete = false;
                continue;
            }
            sum += t[name] / 1e6;
            std::printf("  %s %.3f", kStepNames[int(step)], t[name] / 1e6);
        }
        const std::string whole = benchName(Step::Whole, s[0], s[1]);
        if (!complete || !t.count(whole)) {
            std::printf("\n  (not every step ran: no comparison)\n");
            continue;
        }
        const double wholeMs = t[whole] / 1e6;
        const double ratio = wholeMs / sum;
        std::printf("\n  whole %.3f ms = %.0f%% of a 60 fps frame (%.1f ms); steps summed %.3f ms; "
                    "whole / sum %.2f (goal <= 1.2: %s)\n",
                    wholeMs, 100 * wholeMs / frameMs, frameMs, sum, ratio, ratio <= 1.2 ? "met" : "MISSED");
    }
    return 0;
}
