// The load driver behind flowload and bench_runtime: keeps a number of requests in flight
// against a deployed flow (put on its input queue, reply awaited on its output queue),
// matches each reply to its request by message identifier (MQOutput keeps it), and
// measures requests per second and latency percentiles.
#ifndef BENCH_RUNTIME_LOAD_H
#define BENCH_RUNTIME_LOAD_H

#include <string>

namespace flowload {

struct LoadSettings {
    std::string queueManager = "OSTRIN_QM";
    std::string putQueue = "I1.Q";
    std::string getQueue = "SQLCODE_42704.Q";
    std::string body = "<outer><tag1>data1</tag1></outer>";
    int inFlight = 8;        /* requests put and not yet answered */
    int requests = 500;      /* measured requests */
    int warmUp = 50;         /* requests sent first and not measured */
    int replyWaitMs = 30000; /* a reply slower than this ends the run as failed */
    int connections = 1;     /* connections (one thread each) sharing the requests */
};

struct LoadResult {
    bool ok = false;
    std::string error; /* why the run failed */
    int measured = 0;
    double seconds = 0;
    double requestsPerSecond = 0;
    double p50Ms = 0;
    double p99Ms = 0;
    double maxMs = 0;
};

/* Runs the load; the flow must be running. Never throws: failures are in the result. */
LoadResult runLoad(const LoadSettings &settings);

} // namespace flowload

#endif
