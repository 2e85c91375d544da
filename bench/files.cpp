// File transfer throughput: one 1 GiB file from a FileSender to a FileReceiver over a secure
// channel on a loopback pair into a temporary folder, against the bare channel moving the same
// bytes as 131072-byte messages one way, in the same run. The goal is a ratio of at least 0.6.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "core/crypto/aead.h"
#include "core/util.h"
#include "files/fileio.h"
#include "files/receiver.h"
#include "files/sender.h"
#include "files/transfer_messages.h"
#include "net/channel.h"
#include "net/framed.h"

namespace {

constexpr uint64_t kTotal = uint64_t(1) << 30;

struct ChannelPair {
    std::shared_ptr<FramedConn> client, host;
    std::shared_ptr<SecureChannel> sending, receiving;
    ~ChannelPair() {
        if (client) client->shutdown();
        if (host) host->shutdown();
    }
};

bool makePair(ChannelPair& p) {
    ListenSocket listener;
    if (!listener.open(0, true)) return false;
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    p.client = connectTcp("127.0.0.1", listener.port(), 5000);
    if (!p.client) listener.close();
    p.host = accepted.get();
    if (!p.client || !p.host) return false;
    p.sending = std::make_shared<SecureChannel>(p.client, CipherState(Bytes(32, 1)), CipherState(Bytes(32, 2)));
    p.receiving = std::make_shared<SecureChannel>(p.host, CipherState(Bytes(32, 2)), CipherState(Bytes(32, 1)));
    return true;
}

// A fresh folder under the system's temporary folder, removed with its content.
struct Scratch {
    std::filesystem::path path;
    Scratch() {
        Bytes r(6);
        randomBytes(r.data(), int(r.size()));
        path = std::filesystem::temp_directory_path() / ("tavrel-bench-" + hexEncode(r));
        std::filesystem::create_directories(path / "src");
        std::filesystem::create_directories(path / "dest");
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The reference: the channel alone, 131072-byte messages one way, read as they arrive.
void BM_Channel(benchmark::State& state) {
    ChannelPair p;
    if (!makePair(p)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    const Bytes payload(kChunkBytes + 4, 0x5A);  // the size of a FileData message
    const uint64_t messages = kTotal / kChunkBytes;
    for (auto _ : state) {
        std::thread reader([&] {
            try {
                for (uint64_t i = 0; i < messages; ++i) benchmark::DoNotOptimize(p.receiving->receive(-1).payload.data());
            } catch (const std::exception&) {
            }
        });
        for (uint64_t i = 0; i < messages; ++i) {
            if (!p.sending->send(kFileData, payload)) {
                state.SkipWithError("send failed");
                break;
            }
        }
        reader.join();
    }
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
}
BENCHMARK(BM_Channel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// One 1 GiB file through the sender, the channel and the receiver onto the disk.
void BM_FileTransfer(benchmark::State& state) {
    Scratch scratch;
    const std::wstring source = (scratch.path / "src" / "big.bin").wstring();
    const std::wstring dest = (scratch.path / "dest").wstring();
    {
        FileHandle out = FileHandle::createForWriting(source, kAttrNormal);
        Bytes block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = uint8_t(i * 131 + 7);
        for (uint64_t done = 0; out.valid() && done < kTotal; done += block.size()) out.write(block.data(), block.size());
        if (!out.valid()) {
            state.SkipWithError("cannot write the source file");
            return;
        }
    }
    ChannelPair p;
    if (!makePair(p)) {
        state.SkipWithError("no loopback connection");
        return;
    }
    FileReceiver receiver;
    receiver.destination = [dest] { return dest; };
    receiver.send = [ch = p.receiving](uint8_t type, const Bytes& payload) { ch->send(type, payload); };
    std::mutex m;
    std::condition_variable cv;
    std::string result;
    auto sender = std::make_unique<FileSender>();
    sender->peerName = "bench";
    sender->send = [ch = p.sending](unsigned char type, const Bytes& payload) { ch->send(type, payload); };
    sender->notify = [&](const std::string& line) {
        std::lock_guard lock(m);
        result = line;
        cv.notify_all();
    };
    std::atomic<FileSender*> answers{sender.get()};
    std::thread senderLoop([&] {
        try {
            for (;;) {
                ChannelMessage msg = p.sending->receive(-1);
                FileSender* s = answers.load();
                if (msg.type == kFileAck) s->onAck(msg.payload);
                if (msg.type == kFileSaved) s->onSaved(msg.payload);
                if (msg.type == kFileRefused) s->onRefused(msg.payload);
            }
        } catch (const std::exception&) {
        }
    });
    std::thread receiverLoop([&] {
        try {
            for (;;) {
                ChannelMessage msg = p.receiving->receive(-1);
                receiver.handle(msg.type, msg.payload);
            }
        } catch (const std::exception&) {
        }
    });
    for (auto _ : state) {
        sender->enqueue({source});
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return !result.empty(); });
    }
    FileInfo info;
    if (result.find(" → bench: ") == std::string::npos || !fileInfo((scratch.path / "dest" / "big.bin").wstring(), info) ||
        info.size != kTotal) {
        state.SkipWithError(("transfer failed: " + result).c_str());
    }
    p.client->shutdown();
    p.host->shutdown();
    receiverLoop.join();
    senderLoop.join();
    sender.reset();
    state.SetBytesProcessed(int64_t(state.iterations() * kTotal));
}
BENCHMARK(BM_FileTransfer)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Keeps each run's wall time so that the ratio can be printed after the table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    std::map<std::string, double> seconds;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
            seconds[run.benchmark_name()] = run.real_accumulated_time / double(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& s = reporter.seconds;
    const char* channel = "BM_Channel/iterations:1/real_time";
    const char* transfer = "BM_FileTransfer/iterations:1/real_time";
    if (!s.count(channel) || !s.count(transfer)) return 0;
    const double mb = double(kTotal) / 1e6;
    std::printf("\nchannel alone  %8.1f MB/s\nfile transfer  %8.1f MB/s\nratio %.2f of the channel (goal >= 0.6)\n",
                mb / s[channel], mb / s[transfer], s[channel] / s[transfer]);
    return 0;
}
