// What tracing costs a traced operation: a record whose class is off (against the same
// loop without it), and entry, middle and exit records written to /dev/null (against
// fprintf of the same text to /dev/null in the same run). The ratios are printed after
// the table.
#include <benchmark/benchmark.h>

#include <stdio.h>

#include <deque>
#include <string>
#include <tuple>

#include "bench/ratios.h"
#include "trace/retcodes.h"
#include "trace/trace.h"

const char *callersTraceEnvironmentVariable = "TREVANE_BENCH_TRACE";

namespace {

void startTrace(const char *specification) {
    static std::deque<std::string> kept; // putenv keeps the text itself
    TraceReset();
    kept.push_back(std::string(callersTraceEnvironmentVariable) + "=" + specification);
    TraceSetEnvString(kept.back().data());
    TraceInit();
}

FILE *devNull() {
    static FILE *stream = fopen("/dev/null", "w");
    return stream;
}

constexpr CciChar wideName[] = u"Root.XML.outer.Status";

void BM_EmptyLoop(benchmark::State &state) {
    int32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        ++value;
    }
}
BENCHMARK(BM_EmptyLoop);

void BM_DisabledRecord(benchmark::State &state) {
    startTrace("-l TRACE_NONE");
    TRACE_FUNCTION("disabled");
    int32_t value = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(value);
        TRACE_INFO_TEXT("value=%d", value);
        ++value;
    }
}
BENCHMARK(BM_DisabledRecord);

int32_t tracedStep(const void *messageP, int32_t count) {
    TRACE_FUNCTION("tracedStep");
    TRACE_ENTRY("messageP=%.8x, count=%d", tracePtr(messageP), count);
    TRACE_EXIT_INT(1, TT_SUCCESS);
    return count + 1;
}

void BM_TraceEntryExit(benchmark::State &state) {
    startTrace("-f /dev/null");
    int32_t count = 0;
    for (auto _ : state) {
        count = tracedStep(&count, count);
    }
    state.counters["lines/s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
    TraceReset();
}
BENCHMARK(BM_TraceEntryExit);

void BM_FprintfEntryExit(benchmark::State &state) {
    int32_t count = 0;
    const char *name = "tracedStep";
    for (auto _ : state) {
        fprintf(devNull(), "{  %s(messageP=%.8x, count=%d)\n", name, tracePtr(&count), count);
        fprintf(devNull(), "}  %s [RSN:%u] (%u %s)\n", name, 1u, 0u, RetCodeToString(0));
        ++count;
    }
    state.counters["lines/s"] = benchmark::Counter(2.0 * static_cast<double>(state.iterations()),
                                                   benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FprintfEntryExit);

void BM_TraceMiddle(benchmark::State &state) {
    startTrace("-f /dev/null");
    TRACE_FUNCTION("middle");
    int32_t value = 0;
    for (auto _ : state) {
        TRACE_INFO_TEXT("Element %d located at %.8x", value, tracePtr(&value));
        ++value;
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    TraceReset();
}
BENCHMARK(BM_TraceMiddle);

void BM_FprintfMiddle(benchmark::State &state) {
    int32_t value = 0;
    for (auto _ : state) {
        fprintf(devNull(), "|  Element %d located at %.8x\n", value, tracePtr(&value));
        ++value;
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FprintfMiddle);

void BM_TraceMiddleWide(benchmark::State &state) {
    startTrace("-f /dev/null");
    TRACE_FUNCTION("middleWide");
    for (auto _ : state) {
        TRACE_INFO_TEXT("Element '%S' located", wideName);
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    TraceReset();
}
BENCHMARK(BM_TraceMiddleWide);

void BM_FprintfMiddleNarrow(benchmark::State &state) {
    const char *name = "Root.XML.outer.Status";
    for (auto _ : state) {
        fprintf(devNull(), "|  Element '%s' located\n", name);
    }
    state.counters["lines/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FprintfMiddleNarrow);

} // namespace

int main(int argc, char **argv) {
    CpuTimeReporter reporter;
    if (!runBenchmarks(&argc, argv, reporter)) {
        return 1;
    }
    printf("\nratios of CPU time per iteration (same run):\n");
    const auto a = reporter.cpuTime("BM_DisabledRecord");
    const auto b = reporter.cpuTime("BM_EmptyLoop");
    if (a && b) {
        printf("  %-40s %8.3f\n", "disabled record - empty loop (ns)", *a - *b);
    }
    const std::tuple<const char *, const char *, const char *> ratios[] = {
        {"entry+exit records / fprintf", "BM_TraceEntryExit", "BM_FprintfEntryExit"},
        {"middle record / fprintf", "BM_TraceMiddle", "BM_FprintfMiddle"},
        {"middle record with %S / fprintf %s", "BM_TraceMiddleWide", "BM_FprintfMiddleNarrow"},
    };
    for (const auto &[what, measured, baseline] : ratios) {
        if (const auto value = reporter.ratio(measured, baseline)) {
            printf("  %-40s %8.2fx\n", what, *value);
        }
    }
    benchmark::Shutdown();
    return 0;
}
