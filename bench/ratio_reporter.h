// A console reporter that also keeps each run's CPU (or wall-clock) time per iteration, so that a benchmark
// program can print its ratios against a reference after the table. A benchmark repeated with
// aggregates only on display is kept by its median.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}  // no colour codes in piped output
    std::map<std::string, double> timeNs;
    bool realTime = false;  // keep wall-clock time instead (work spread over threads)
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (run.run_type != Run::RT_Iteration && !median) continue;
            double t = realTime ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime();
            switch (run.time_unit) {
                case benchmark::kSecond: t *= 1e9; break;
                case benchmark::kMillisecond: t *= 1e6; break;
                case benchmark::kMicrosecond: t *= 1e3; break;
                default: break;
            }
            // A repeated run's name ends in "/repeats:N"; the median is kept under the plain name.
            std::string name = run.benchmark_name();
            if (median) name = run.run_name.function_name + (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
            timeNs[name] = t;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

// Runs the registered benchmarks with the arguments and keeps their times in `reporter`; false
// when an argument is not understood.
inline bool runBenchmarks(int& argc, char** argv, RatioReporter& reporter) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return false;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return true;
}
