// What the per-node counters add to the message path: a message delivered along a chain
// of four pass-through nodes (each delivery and propagation counted) with a flow
// instance's counter block in place. Built with TREVANE_FLOW_COUNTERS=OFF the same run
// counts nothing; bench/runtime/run-counters.sh runs both builds and compares them.
#include <benchmark/benchmark.h>

#include "broker/counters.h"
#include "broker/host.h"

namespace {

struct Pass {
    CciTerminal *out;
};

CciContext *createPass(CciFactory *, CciChar *, CciNode *node) {
    int rc = 0;
    cniCreateInputTerminal(&rc, node, u"in");
    auto *pass = new Pass{cniCreateOutputTerminal(&rc, node, u"out")};
    return reinterpret_cast<CciContext *>(pass);
}

void deletePass(CciContext *context) {
    delete reinterpret_cast<Pass *>(context);
}

void evaluatePass(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) {
    int rc = 0;
    cniPropagate(&rc, reinterpret_cast<Pass *>(context)->out, destinationList, exceptionList,
                 message);
}

void BM_DeliverAlongFourCountedNodes(benchmark::State &state) {
    CNI_VFT table = CNI_VFT_DEFAULT;
    table.iFpCreateContext = createPass;
    table.iFpDeleteContext = deletePass;
    table.iFpEvaluate = evaluatePass;
    broker::registerBuiltinClass("BenchPass", table);
    broker::Flow *flow = broker::createFlow("counted");
    CciNode *first = broker::createNode(flow, "BenchPass", "n0");
    CciNode *previous = first;
    for (int i = 1; i < 4; ++i) {
        CciNode *next = broker::createNode(flow, "BenchPass", "n" + std::to_string(i));
        broker::connect(previous, "out", next, "in");
        previous = next;
    }
    broker::InstanceCounters counters(broker::assignCounterSlots(flow));
    broker::CountersScope scope(&counters);
    CciMessageContext *context = broker::createContext();
    CciMessage *message = broker::createTreeMessage(context, "Root");
    CciMessage *destination = broker::createTreeMessage(context, "LocalEnvironment");
    CciMessage *exceptions = broker::createTreeMessage(context, "ExceptionList");
    for (auto _ : state) {
        counters.beginUnit(0);
        benchmark::DoNotOptimize(broker::deliver(first, destination, exceptions, message));
    }
    state.counters["counted_in_n3"] =
        static_cast<double>(counters.value(3 * (broker::NODE_COUNTERS + 1)));
    broker::deleteContext(context);
    broker::deleteFlow(flow);
}
BENCHMARK(BM_DeliverAlongFourCountedNodes);

} // namespace

BENCHMARK_MAIN();
