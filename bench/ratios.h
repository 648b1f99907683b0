/*
 * The console output of Google Benchmark, keeping each benchmark's CPU time per
 * iteration so that a benchmark program can print its ratios against the baselines
 * measured in the same run once every benchmark has run.
 */
#ifndef TREVANE_BENCH_RATIOS_H
#define TREVANE_BENCH_RATIOS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

class CpuTimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (!run.error_occurred) {
                cpuTimes_[run.benchmark_name()] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    /* The CPU time per iteration of `name`, in its own unit: the median of repeated runs
       (--benchmark_repetitions) when there is one. */
    std::optional<double> cpuTime(const std::string &name) const {
        auto found = cpuTimes_.find(name + "_median");
        if (found == cpuTimes_.end()) {
            found = cpuTimes_.find(name);
        }
        if (found == cpuTimes_.end()) {
            return std::nullopt;
        }
        return found->second;
    }

    /* `ours` over `baseline`; none when either did not run or the baseline took no time. */
    std::optional<double> ratio(const std::string &ours, const std::string &baseline) const {
        const auto a = cpuTime(ours);
        const auto b = cpuTime(baseline);
        if (!a || !b || *b <= 0) {
            return std::nullopt;
        }
        return *a / *b;
    }

private:
    std::map<std::string, double> cpuTimes_;
};

/* Runs the benchmarks that the command line selects with `reporter`; false for an
   argument the library does not know. */
inline bool runBenchmarks(int *argc, char **argv, CpuTimeReporter &reporter) {
    benchmark::Initialize(argc, argv);
    if (benchmark::ReportUnrecognizedArguments(*argc, argv)) {
        return false;
    }
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return true;
}

#endif
