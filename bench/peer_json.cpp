// What a peer's Json costs the parser: each shape that costs most per byte (tiny values, empty
// containers, keys, short strings, one long string, escapes) at the payload limit of each Json
// message type, parsed as a receiving end parses it (with the value budget), against a realistic
// folder listing of the same number of bytes parsed without a budget. Prints each time over the
// listing's: a peer's worst text should cost no more than an honest one of its size.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "ratio_reporter.h"
#include "files/listing.h"
#include "host/protocol/messages.h"
#include "tests/support/json_shapes.h"
#include "tests/support/payload_cases.h"

namespace {

const char* const kShapeNames[kJsonShapes] = {"values", "containers", "keys", "strings", "long_string", "escapes"};

// Entries as a folder of documents lists them, repeated until `size` bytes, padded with blanks.
std::string realisticListing(size_t size) {
    ListingEntry entry;
    entry.name = L"\uBCF4\uACE0\uC11C 2024-03 (\uCD5C\uC885) 17.docx";
    entry.size = 1234567;
    entry.mtime = 1700000000;
    const std::string one = listingEntryJson(entry).dump();
    std::string text = "{\"path\":\"C:\\\\Users\\\\kim\\\\Documents\",\"parent\":\"C:\\\\Users\\\\kim\",\"entries\":[";
    text += one;
    while (text.size() + one.size() + 3 <= size) text += "," + one;
    text += "]}";
    text.resize(size, ' ');
    return text;
}

void parseAsPeer(benchmark::State& state, std::string text) {
    for (auto _ : state) {
        Json j;
        benchmark::DoNotOptimize(decodeJson(asBytes(text), j));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

void parseListing(benchmark::State& state, std::string text) {
    for (auto _ : state) {
        Json j;
        benchmark::DoNotOptimize(Json::parse(text, j, SIZE_MAX));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}

std::string typeName(MsgType type) { return "type" + std::to_string(int(type)); }

}  // namespace

int main(int argc, char** argv) {
    std::map<size_t, std::string> references;  // one listing per limit
    std::vector<std::pair<std::string, std::string>> pairs;  // worst shape, its reference
    for (const PayloadCase& c : everyMessageType()) {
        if (!c.json) continue;
        const size_t limit = maxPayload(c.type);
        const std::string reference = "listing/" + std::to_string(limit);
        if (references.emplace(limit, reference).second)
            benchmark::RegisterBenchmark(reference.c_str(), parseListing, realisticListing(limit));
        for (int shape = 0; shape < kJsonShapes; ++shape) {
            const std::string name = typeName(c.type) + "/" + kShapeNames[shape];
            benchmark::RegisterBenchmark(name.c_str(), parseAsPeer, worstShape(shape, limit));
            pairs.emplace_back(name, reference);
        }
    }
    RatioReporter reporter;
    if (!runBenchmarks(argc, argv, reporter)) return 1;
    std::printf("\nWorst shape at the type's limit, time over a realistic listing of the same bytes:\n");
    for (const auto& [name, reference] : pairs) {
        auto worst = reporter.timeNs.find(name), ordinary = reporter.timeNs.find(reference);
        if (worst == reporter.timeNs.end() || ordinary == reporter.timeNs.end() || ordinary->second <= 0) continue;
        std::printf("%-28s %6.2f\n", name.c_str(), worst->second / ordinary->second);
    }
    return 0;
}
