// Secure channel throughput over a loopback TCP pair against the AEAD's own sealing speed,
// and the time of one paired and one password handshake over loopback, connect included.
#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <thread>

#include "core/crypto/aead.h"
#include "net/channel.h"
#include "net/framed.h"

namespace {

constexpr size_t kMessage = 1048576;

struct Pair {
    std::shared_ptr<FramedConn> client, host;
};

Pair loopbackPair() {
    ListenSocket listener;
    if (!listener.open(0, true)) return {};
    auto accepted = std::async(std::launch::async, [&] { return listener.accept(); });
    Pair p;
    p.client = connectTcp("127.0.0.1", listener.port(), 5000);
    if (!p.client) listener.close();
    p.host = accepted.get();
    return p;
}

// The reference: sealing 1 MiB messages with the channel's cipher, nothing else.
void BM_AeadSeal(benchmark::State& state) {
    CipherState cs(Bytes(32, 7));
    Bytes plain(kMessage + 1, 0x5a);
    for (auto _ : state) {
        Bytes sealed = cs.seal(plain);
        benchmark::DoNotOptimize(sealed.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kMessage));
}
BENCHMARK(BM_AeadSeal)->Unit(benchmark::kMillisecond);

// One side seals, frames and sends 1 MiB messages; the other receives and opens them.
void BM_ChannelThroughput(benchmark::State& state) {
    Pair p = loopbackPair();
    if (!p.client || !p.host) {
        state.SkipWithError("no loopback connection");
        return;
    }
    SecureChannel sender(p.client, CipherState(Bytes(32, 1)), CipherState(Bytes(32, 2)));
    SecureChannel receiver(p.host, CipherState(Bytes(32, 2)), CipherState(Bytes(32, 1)));
    std::atomic<int64_t> received{0};
    std::atomic<bool> failed{false};
    std::thread reader([&] {
        try {
            for (;;) {
                ChannelMessage m = receiver.receive(-1);
                if (m.type == 0) break;
                received += int64_t(m.payload.size());
            }
        } catch (const std::exception&) {
            failed = true;
        }
    });
    Bytes payload(kMessage, 0x33);
    int64_t sent = 0;
    for (auto _ : state) {
        if (!sender.send(1, payload)) {
            state.SkipWithError("send failed");
            break;
        }
        sent += int64_t(kMessage);
    }
    sender.send(0, Bytes{});  // the reader's signal to stop, after everything else
    reader.join();
    if (failed || received != sent) state.SkipWithError("receiver lost messages");
    state.SetBytesProcessed(sent);
}
BENCHMARK(BM_ChannelThroughput)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
