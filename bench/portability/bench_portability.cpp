/*
 * Benchmarks of the wide-string layer, each against a baseline measured in the same run:
 * UCsnprintf against snprintf on the same trace-style texts, and UCstr against ICU's
 * u_strstr. After the run the ratios of CPU time (ours / baseline, lower is better) are printed.
 */
#include <unicode/ustring.h>

#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/ratios.h"
#include "portability/unicode.h"

namespace {

const CciChar wideName[] = u"MQInput1.failureTerminal";
const char narrowName[] = "MQInput1.failureTerminal";

void BM_snprintf_TraceLine(benchmark::State &state) {
    char buffer[4097];
    unsigned handle = 0x5a5a1234;
    for (auto _ : state) {
        snprintf(buffer, sizeof buffer, "contextP=%.8x, terminalName=%s, count=%d", handle,
                 narrowName, 42);
        benchmark::DoNotOptimize(buffer);
        ++handle;
    }
}
BENCHMARK(BM_snprintf_TraceLine);

void BM_UCsnprintf_TraceLine(benchmark::State &state) {
    char buffer[4097];
    unsigned handle = 0x5a5a1234;
    for (auto _ : state) {
        UCsnprintf(buffer, sizeof buffer, "contextP=%.8x, terminalName=%S, count=%d", handle,
                   wideName, 42);
        benchmark::DoNotOptimize(buffer);
        ++handle;
    }
}
BENCHMARK(BM_UCsnprintf_TraceLine);

void BM_snprintf_PlainText(benchmark::State &state) {
    char buffer[4097];
    for (auto _ : state) {
        snprintf(buffer, sizeof buffer, "Checking element name '%s'", narrowName);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_snprintf_PlainText);

void BM_UCsnprintf_PlainText(benchmark::State &state) {
    char buffer[4097];
    for (auto _ : state) {
        UCsnprintf(buffer, sizeof buffer, "Checking element name '%S'", wideName);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_UCsnprintf_PlainText);

void BM_snprintf_Width(benchmark::State &state) {
    char buffer[4097];
    for (auto _ : state) {
        snprintf(buffer, sizeof buffer, "[%-30s] %5d", narrowName, 42);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_snprintf_Width);

void BM_UCsnprintf_Width(benchmark::State &state) {
    char buffer[4097];
    for (auto _ : state) {
        UCsnprintf(buffer, sizeof buffer, "[%-30S] %5d", wideName, 42);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_UCsnprintf_Width);

// A haystack of `length` units with near misses throughout and the needle at the end.
std::u16string haystack(size_t length) {
    std::u16string text;
    while (text.size() + 16 < length) {
        text += u"Root.XML.outer.";
    }
    return text + u"Root.XML.Status";
}

void BM_u_strstr(benchmark::State &state) {
    const std::u16string text = haystack(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(u_strstr(text.c_str(), u"XML.Status"));
    }
}
BENCHMARK(BM_u_strstr)->Arg(32)->Arg(1024);

void BM_UCstr(benchmark::State &state) {
    const std::u16string text = haystack(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(UCstr(text.c_str(), u"XML.Status"));
    }
}
BENCHMARK(BM_UCstr)->Arg(32)->Arg(1024);

} // namespace

int main(int argc, char **argv) {
    CpuTimeReporter reporter;
    if (!runBenchmarks(&argc, argv, reporter)) {
        return 1;
    }
    const std::pair<const char *, const char *> pairs[] = {
        {"BM_UCsnprintf_TraceLine", "BM_snprintf_TraceLine"},
        {"BM_UCsnprintf_PlainText", "BM_snprintf_PlainText"},
        {"BM_UCsnprintf_Width", "BM_snprintf_Width"},
        {"BM_UCstr/32", "BM_u_strstr/32"},
        {"BM_UCstr/1024", "BM_u_strstr/1024"},
    };
    printf("\nRatios against the baseline of the same run (lower is better):\n");
    for (const auto &[ours, baseline] : pairs) {
        if (const auto value = reporter.ratio(ours, baseline)) {
            printf("  %-26s / %-24s = %.2f\n", ours, baseline, *value);
        }
    }
    benchmark::Shutdown();
    return 0;
}
