// Parse and dump of a config.json-sized document (settings, a relay and a handful of peers).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "core/json.h"

static std::string configDocument() {
    Json doc;
    doc.set("deviceName", "\xEC\x82\xAC\xEB\xAC\xB4\xEC\x8B\xA4 PC");
    doc.set("hosting", true);
    doc.set("port", 47800);
    Json relay;
    relay.set("host", "relay.example.net");
    relay.set("port", 47900);
    relay.set("secret", "c2VjcmV0LXNlY3JldC1zZWNyZXQ");
    doc.set("relay", relay);
    Json peers;
    for (int i = 0; i < 8; ++i) {
        Json p;
        p.set("name", "\xEC\xA7\x91 \xEC\xBB\xB4\xED\x93\xA8\xED\x84\xB0 " + std::to_string(i));
        p.set("id", std::string(43, char('A' + i)));
        p.set("pub", std::string(43, char('a' + i)));
        Json addrs;
        addrs.push("192.168.0." + std::to_string(10 + i) + ":47800");
        addrs.push("10.0.0." + std::to_string(10 + i) + ":47800");
        p.set("addrs", addrs);
        p.set("lastSeen", 1765000000.125 + i);
        p.set("wake", "{\"mac\":\"00:11:22:33:44:55\",\"bcast\":[\"192.168.0.255\"]}");
        peers.push(p);
    }
    doc.set("peers", peers);
    return doc.dump();
}

static void BM_JsonParseDumpConfig(benchmark::State& state) {
    const std::string text = configDocument();
    std::string out;
    for (auto _ : state) {
        Json j;
        bool ok = Json::parse(text, j);
        benchmark::DoNotOptimize(ok);
        out.clear();
        j.dumpTo(out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_JsonParseDumpConfig);

// An object with many distinct keys, as a peer may send: must stay linear in its size.
static void BM_JsonParseWideObject(benchmark::State& state) {
    std::string text = "{";
    for (int64_t i = 0; i < state.range(0); ++i) text += (i ? ",\"" : "\"") + std::to_string(i) + "\":0";
    text += "}";
    for (auto _ : state) {
        Json j;
        bool ok = Json::parse(text, j, SIZE_MAX);  // the whole object, past what a peer's message may hold
        benchmark::DoNotOptimize(ok);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_JsonParseWideObject)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
