// Secure channel throughput over a loopback TCP pair against the AEAD's own sealing speed,
// and the time of one paired and one password handshake over loopback, connect included.
#include <benchmark/benchmark.h>

#include <atomic>
#include <future>
#include <thread>

#include "core/crypto/aead.h"
#include "net/channel.h"
#include "net/framed.h"
#include "net/handshake.h"

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

// One side seals, frames and sends 1 MiB messages; the other receives and opens them. The goal
// is at least 40% of BM_AeadSeal's rate in the same run.
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

// A host that accepts connections and runs whichever handshake the first frame asks for,
// until it is stopped.
class HandshakeHost {
public:
    HandshakeHost() : device_(newKeyPair()) {
        ok_ = listener_.open(0, true);
        if (ok_) thread_ = std::thread([this] { loop(); });
    }
    ~HandshakeHost() {
        listener_.close();
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return ok_; }
    int port() const { return listener_.port(); }
    const Bytes& publicKey() const { return device_.publicKey; }
    static constexpr const char* kPassword = "bench password";

private:
    void loop() {
        for (;;) {
            auto conn = listener_.accept();
            if (!conn) return;
            try {
                Bytes first = conn->readFrame(kMaxHandshakeFrame, kHandshakeTimeoutMs);
                Bytes key, id;
                std::shared_ptr<SecureChannel> ch;
                if (isPasswordHello(first)) {
                    ch = hostPasswordHandshake(conn, first, device_, kPassword, Bytes{'{', '}'}, key, id);
                } else {
                    ch = hostPairedHandshake(conn, first, device_,
                                             [](const Bytes&, const Bytes&) { return Bytes{'{', '}'}; }, key);
                }
                ch->receive(5000);  // the viewer's first message: the session is up
                ch->send(1, Bytes{});
            } catch (const std::exception&) {
            }
        }
    }
    KeyPair device_;
    ListenSocket listener_;
    bool ok_ = false;
    std::thread thread_;
};

// One whole viewer-side connection: dial, handshake, first message each way.
void BM_Handshake(benchmark::State& state, bool password) {
    HandshakeHost host;
    if (!host.ok()) {
        state.SkipWithError("no listener");
        return;
    }
    KeyPair device = newKeyPair();
    Bytes identity = {'{', '}'};
    for (auto _ : state) {
        auto conn = connectTcp("127.0.0.1", host.port(), 5000);
        if (!conn) {
            state.SkipWithError("connect failed");
            break;
        }
        Bytes hostKey, hostId;
        std::shared_ptr<SecureChannel> ch;
        try {
            ch = password ? clientPasswordHandshake(conn, device, HandshakeHost::kPassword, identity, hostKey, hostId)
                          : clientPairedHandshake(conn, device, host.publicKey(), identity, hostId);
            ch->send(1, Bytes{});
            ch->receive(5000);
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            break;
        }
    }
}
BENCHMARK_CAPTURE(BM_Handshake, paired, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Handshake, password, true)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
