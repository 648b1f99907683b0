// flowload: keeps requests in flight against a running flow and reports its throughput
// and latency. flowping sends one request; this is its load-testing sibling.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/runtime/load.h"

namespace {

const char *const USAGE = R"(Usage: flowload [OPTIONS]

Keeps a number of requests in flight against a deployed flow: puts each request on the
flow's input queue, waits for its reply on the flow's output queue (matched by message
identifier), and puts the next. Reports requests per second and the latency percentiles
of the measured requests. The flow must already be running (trevane-broker).

Options:
  --qmgr NAME        queue manager (default OSTRIN_QM)
  --put QUEUE        the flow's input queue (default I1.Q)
  --get QUEUE        the flow's output queue (default SQLCODE_42704.Q)
  --in-flight N      requests kept in flight (default 8)
  --requests N       measured requests (default 500)
  --warm-up N        requests sent first and not measured (default 50)
  --connections N    connections, one thread each, sharing the requests in flight
                     (default 1): their durable writes are committed together
  --label TEXT       text that starts the result line (default "flowload")
  -h, --help         show this text

Output: one line "<label> requests=N seconds=S rps=R p50_ms=A p99_ms=B max_ms=C".
Exit status: 0 done, 1 a messaging call failed or a reply did not come, 2 wrong command line.
)";

[[noreturn]] void usage(const std::string &message) {
    std::fprintf(stderr, "flowload: %s\nTry 'flowload --help'.\n", message.c_str());
    std::exit(2);
}

int number(const std::string &option, const char *text, int low) {
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > 10000000) {
        usage(option + " takes a whole number from " + std::to_string(low) + ", not '" + text +
              "'");
    }
    return static_cast<int>(value);
}

} // namespace

int main(int argc, char **argv) {
    flowload::LoadSettings settings;
    std::string label = "flowload";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            usage(arg.rfind("--", 0) == 0 ? arg + " needs a value"
                                          : "unknown argument '" + arg + "'");
        }
        const char *value = argv[++i];
        if (arg == "--qmgr") {
            settings.queueManager = value;
        } else if (arg == "--put") {
            settings.putQueue = value;
        } else if (arg == "--get") {
            settings.getQueue = value;
        } else if (arg == "--in-flight") {
            settings.inFlight = number(arg, value, 1);
        } else if (arg == "--requests") {
            settings.requests = number(arg, value, 1);
        } else if (arg == "--warm-up") {
            settings.warmUp = number(arg, value, 0);
        } else if (arg == "--connections") {
            settings.connections = number(arg, value, 1);
        } else if (arg == "--label") {
            label = value;
        } else {
            usage("unknown option '" + arg + "'");
        }
    }
    flowload::LoadResult result = flowload::runLoad(settings);
    if (!result.ok) {
        std::fprintf(stderr, "flowload: %s\n", result.error.c_str());
        return 1;
    }
    std::printf("%s requests=%d seconds=%.3f rps=%.1f p50_ms=%.2f p99_ms=%.2f max_ms=%.2f\n",
                label.c_str(), result.measured, result.seconds, result.requestsPerSecond,
                result.p50Ms, result.p99Ms, result.maxMs);
    return 0;
}
