// Throughput and latency of the demo flow (MQInput -> Database -> TrevaneNode ->
// MQOutput) on 1 and 2 instances, against the same flow without the Database and
// TrevaneNode (MQInput -> MQOutput) measured in the same run: the ratio shows what the
// database call and the node add to a message's road. Flows run in this process through
// the flow runtime; the load is kept in flight by the same driver as flowload.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <map>
#include <string>

#include "bench/runtime/load.h"
#include "broker/host.h"
#include "messaging/admin.h"
#include "runtime/runtime.h"

namespace {

struct Measured {
    double rps = 0;
    double p50 = 0;
    double p99 = 0;
};

std::map<std::string, Measured> &results() {
    static std::map<std::string, Measured> measured;
    return measured;
}

// One queue manager for the whole run, in a directory of its own.
class Environment {
public:
    Environment() {
        // $TMPDIR may name a memory file system, to measure the flow rather than the disk.
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") +
                              "/trevane-bench-runtime-XXXXXX";
        const char *made = ::mkdtemp(pattern.data());
        directory_ = made == nullptr ? "/tmp" : made;
        ::setenv(MQ_DIRECTORY_VARIABLE, (directory_ + "/mq").c_str(), 1);
        ::setenv("TREVANE_DEMO_DIR", directory_.c_str(), 1);
        char detail[256];
        mqCreateQueueManager("OSTRIN_QM", detail, sizeof detail);
        for (const char *queue : {"I1.Q", "SQLCODE_42704.Q", "I1.BACKOUT.Q"}) {
            mqDefineQueue("OSTRIN_QM", queue, nullptr, detail, sizeof detail);
        }
        null_ = std::fopen("/dev/null", "w");
        broker::setLogStream(null_);
    }
    ~Environment() {
        broker::setLogStream(nullptr);
        if (null_ != nullptr) {
            std::fclose(null_);
        }
        ::nftw(
            directory_.c_str(),
            [](const char *file, const struct stat *, int, FTW *) { return ::remove(file); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

private:
    std::string directory_;
    FILE *null_ = nullptr;
};

Environment &environment() {
    static Environment instance;
    return instance;
}

void runFlow(benchmark::State &state, const char *name, const char *flowFile) {
    environment();
    const int instances = static_cast<int>(state.range(0));
    runtime::RuntimeOptions options;
    options.pluginPath = {PLUGIN_DIR};
    options.additionalInstances = instances - 1;
    std::unique_ptr<runtime::DeployedFlow> flow;
    try {
        flow = runtime::DeployedFlow::deploy(runtime::parseFlowFile(flowFile), options);
        flow->start();
    } catch (const std::exception &e) {
        state.SkipWithError(e.what());
        return;
    }
    flowload::LoadSettings settings;
    settings.inFlight = 8;
    settings.requests = 150;
    settings.warmUp = 20;
    Measured total;
    int runs = 0;
    int64_t requests = 0;
    for (auto _ : state) {
        flowload::LoadResult result = flowload::runLoad(settings);
        if (!result.ok) {
            state.SkipWithError(result.error.c_str());
            break;
        }
        state.SetIterationTime(result.seconds);
        total.rps += result.requestsPerSecond;
        total.p50 += result.p50Ms;
        total.p99 += result.p99Ms;
        requests += result.measured;
        ++runs;
    }
    flow->undeploy();
    if (runs == 0) {
        return;
    }
    Measured mean{total.rps / runs, total.p50 / runs, total.p99 / runs};
    state.SetItemsProcessed(requests);
    state.counters["rps"] = mean.rps;
    state.counters["p50_ms"] = mean.p50;
    state.counters["p99_ms"] = mean.p99;
    results()[std::string(name) + "/" + std::to_string(instances)] = mean;
}

void BM_Baseline(benchmark::State &state) {
    runFlow(state, "baseline", BASELINE_FLOW);
}
void BM_DemoFlow(benchmark::State &state) {
    runFlow(state, "demo", DEMO_FLOW);
}

BENCHMARK(BM_Baseline)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DemoFlow)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (int instances : {1, 2}) {
        std::string suffix = "/" + std::to_string(instances);
        auto base = results().find("baseline" + suffix);
        auto demo = results().find("demo" + suffix);
        if (base == results().end() || demo == results().end() || base->second.rps <= 0 ||
            base->second.p50 <= 0) {
            continue;
        }
        std::printf("demo/baseline, %d instance(s): throughput %.2fx, p50 latency %.2fx, "
                    "p99 latency %.2fx\n",
                    instances, demo->second.rps / base->second.rps,
                    demo->second.p50 / base->second.p50, demo->second.p99 / base->second.p99);
    }
    return 0;
}
