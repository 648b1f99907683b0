/*
 * The node's evaluation through the stand-in broker with the real libtrevane.so (trace
 * off), each against a floor measured in the same run:
 *
 *   BM_Evaluate_Found      a 2 KB XML message and a three-level exception list whose
 *                          DatabaseException is found: the code is stored in a copy
 *                          that goes to "out".
 *   BM_CopyPropagateFloor  what any node that changes a message pays: create a message
 *                          in the context, copy the tree, propagate it to the same sink,
 *                          delete it.
 *   BM_Evaluate_NotFound   the same message with an empty exception list: "notFound".
 *   BM_BarePropagate       a node that only propagates the message.
 *   BM_Evaluate_NotFoundDeepList  for information: a three-level list without a
 *                          DatabaseException, searched to its end.
 *
 * Every case is a delivery to a node through the broker, so the broker's own cost of
 * calling a node is in both sides of each ratio. Heap allocations (every malloc of the
 * process, the broker's included) are counted per delivered message. After the run the
 * ratios of the median CPU and real times are printed, and then the same ratios measured
 * in alternating batches on the thread's CPU clock (the figure to quote on a shared
 * machine: CPU time is what a message costs, and alternation lets passing load weigh
 * on both sides alike).
 *
 * `bench_node --deliver=CASE:COUNT` (CASE one of found, floor, notfound, bare, deep)
 * only delivers that case COUNT times and exits, for a profiler:
 *   valgrind --tool=callgrind bench_node --deliver=found:10000
 */
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>

#include <benchmark/benchmark.h>

#include "broker/host.h"
#include "trevane/cni.h"

// ---- allocation counting --------------------------------------------------------------

// Every allocation of the process goes through these, the plug-in's and the broker's
// (operator new ends in malloc). Counting is switched on only around measured loops.
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {
std::atomic<bool> countAllocations{false};
std::atomic<long> allocations{0};
inline void noteAllocation() {
    if (countAllocations.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
} // namespace

extern "C" void *malloc(size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *pointer, size_t size) {
    noteAllocation();
    return __libc_realloc(pointer, size);
}

namespace {

// ---- the nodes -------------------------------------------------------------------------

CciContext *inputOnlyCreate(CciFactory *, CciChar *, CciNode *node) {
    int rc = 0;
    cniCreateInputTerminal(&rc, node, u"in");
    static int marker;
    return &marker;
}
void noDelete(CciContext *) {}
void sinkEvaluate(CciContext *, CciMessage *, CciMessage *, CciMessage *message) {
    benchmark::DoNotOptimize(message);
}

struct ForwardNode {
    CciTerminal *out = nullptr;
};
CciContext *forwardCreate(CciFactory *, CciChar *, CciNode *node) {
    int rc = 0;
    cniCreateInputTerminal(&rc, node, u"in");
    auto *state = new ForwardNode();
    state->out = cniCreateOutputTerminal(&rc, node, u"out");
    return state;
}
void forwardDelete(CciContext *context) {
    delete static_cast<ForwardNode *>(context);
}

// The floor: a copy of the message in its context, propagated, deleted.
void copyPropagateEvaluate(CciContext *context, CciMessage *destinationList,
                           CciMessage *exceptionList, CciMessage *message) {
    auto *state = static_cast<ForwardNode *>(context);
    int rc = 0;
    CciMessage *copy = cniCreateMessage(&rc, cniGetMessageContext(&rc, message));
    cniCopyElementTree(&rc, cniRootElement(&rc, message), cniRootElement(&rc, copy));
    cniPropagate(&rc, state->out, destinationList, exceptionList, copy);
    cniDeleteMessage(&rc, copy);
}

void barePropagateEvaluate(CciContext *context, CciMessage *destinationList,
                           CciMessage *exceptionList, CciMessage *message) {
    int rc = 0;
    cniPropagate(&rc, static_cast<ForwardNode *>(context)->out, destinationList, exceptionList,
                 message);
}

void registerClasses() {
    CNI_VFT sink = CNI_VFT_DEFAULT;
    sink.iFpCreateContext = inputOnlyCreate;
    sink.iFpDeleteContext = noDelete;
    sink.iFpEvaluate = sinkEvaluate;
    broker::registerBuiltinClass("BenchSink", sink);
    CNI_VFT floor = CNI_VFT_DEFAULT;
    floor.iFpCreateContext = forwardCreate;
    floor.iFpDeleteContext = forwardDelete;
    floor.iFpEvaluate = copyPropagateEvaluate;
    broker::registerBuiltinClass("BenchCopyPropagate", floor);
    CNI_VFT bare = floor;
    bare.iFpEvaluate = barePropagateEvaluate;
    broker::registerBuiltinClass("BenchBarePropagate", bare);
}

// ---- the messages ----------------------------------------------------------------------

// An order document of about 2 KB.
std::string orderDocument() {
    std::string doc = "<Order xmlns=\"urn:example:orders\" id=\"A-1001\">"
                      "<Customer><Name>Example Trading Ltd</Name><Account>4711-0815</Account>"
                      "<Address><Street>1 Harbour Road</Street><City>Portsmouth</City>"
                      "<Postcode>PO1 2AB</Postcode></Address></Customer><Lines>";
    for (int i = 1; doc.size() < 1900; ++i) {
        doc += "<Line number=\"" + std::to_string(i) + "\"><Item>SKU-" + std::to_string(10000 + i) +
               "</Item><Quantity>" + std::to_string(i % 7 + 1) +
               "</Quantity><Price currency=\"GBP\">" + std::to_string(i * 3) + ".50</Price></Line>";
    }
    doc += "</Lines><Status>NEW</Status></Order>";
    return doc;
}

CciElement *addChild(CciElement *parent, CciElementType type, const char16_t *name) {
    int rc = 0;
    CciElement *e = cniCreateElementAsLastChild(&rc, parent);
    cniSetElementType(&rc, e, type);
    cniSetElementName(&rc, e, name);
    return e;
}
void addText(CciElement *parent, const char16_t *name, std::u16string text) {
    int rc = 0;
    CciElement *e = addChild(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name);
    cniSetElementCharacterValue(&rc, e, text.c_str(), static_cast<CciSize>(text.size()));
}
void addInteger(CciElement *parent, const char16_t *name, CciInt value) {
    int rc = 0;
    cniSetElementIntegerValue(&rc, addChild(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name), value);
}
CciElement *addException(CciElement *parent, const char16_t *kind, const char16_t *text) {
    CciElement *e = addChild(parent, CCI_ELEMENT_TYPE_NAME, kind);
    addText(e, u"File", u"/build/broker/ImbDataFlowNode.cpp");
    addInteger(e, u"Line", 1073);
    addText(e, u"Function", u"ImbDataFlowNode::createExceptionList");
    addText(e, u"Type", u"ComIbmComputeNode");
    addText(e, u"Name", u"OrderFlow#FCMComposite_1_2");
    addText(e, u"Label", u"OrderFlow.Insert Order");
    addText(e, u"Catalog", u"BIPmsgs");
    addInteger(e, u"Severity", 3);
    addInteger(e, u"Number", 2230);
    addText(e, u"Text", text);
    CciElement *insert = addChild(e, CCI_ELEMENT_TYPE_NAME, u"Insert");
    addInteger(insert, u"Type", 5);
    addText(insert, u"Text", u"OrderFlow.Insert Order");
    return e;
}

// ExceptionList(Recoverable(Recoverable(<innermost>))), the innermost a
// DatabaseException with the driver's message when `database` is set.
CciMessage *exceptionList(CciMessageContext *context, bool database) {
    CciMessage *list = broker::createTreeMessage(context, "ExceptionList");
    int rc = 0;
    CciElement *outer = addException(cniRootElement(&rc, list), u"RecoverableException",
                                     u"Node threw an exception");
    CciElement *middle = addException(outer, u"RecoverableException", u"Error in SQL statement");
    if (database) {
        CciElement *db = addException(middle, u"DatabaseException", u"Database error");
        CciElement *insert = addChild(db, CCI_ELEMENT_TYPE_NAME, u"Insert");
        addInteger(insert, u"Type", 5);
        addText(insert, u"Text", u"-803");
        insert = addChild(db, CCI_ELEMENT_TYPE_NAME, u"Insert");
        addInteger(insert, u"Type", 5);
        addText(insert, u"Text",
                u"[IBM][CLI Driver][DB2/LINUXX8664] SQL0803N  One or more values in the INSERT "
                u"statement are not valid because the primary key would have duplicate values. "
                u"SQLSTATE=23505");
    } else {
        addException(middle, u"RecoverableException", u"Conversion error");
    }
    return list;
}

// ---- the flows -------------------------------------------------------------------------

struct Fixture {
    broker::Flow *flow = nullptr;
    CciNode *trevane = nullptr;
    CciNode *floor = nullptr;
    CciNode *bare = nullptr;
    CciMessageContext *context = nullptr;
    CciMessage *message = nullptr;
    CciMessage *foundList = nullptr;
    CciMessage *emptyList = nullptr;
    CciMessage *deepList = nullptr;

    Fixture() {
        unsetenv("TREVANE_PLUGIN_TRACE");
        broker::loadPlugin(TREVANE_PLUGIN_PATH);
        registerClasses();
        flow = broker::createFlow("BenchFlow");
        CciNode *sink = broker::createNode(flow, "BenchSink", "Sink");
        trevane = broker::createNode(flow, "TrevaneNode", "Trevane");
        broker::setProperty(trevane, "CopyValueTo", "Root.Status");
        broker::connect(trevane, "out", sink, "in");
        broker::connect(trevane, "notFound", sink, "in");
        broker::connect(trevane, "failure", sink, "in");
        floor = broker::createNode(flow, "BenchCopyPropagate", "Floor");
        broker::connect(floor, "out", sink, "in");
        bare = broker::createNode(flow, "BenchBarePropagate", "Bare");
        broker::connect(bare, "out", sink, "in");

        context = broker::createContext();
        message = broker::createInputMessage(context, broker::Descriptor{}, orderDocument(), "XML");
        foundList = exceptionList(context, true);
        emptyList = broker::createTreeMessage(context, "ExceptionList");
        deepList = exceptionList(context, false);
    }
};

Fixture &fixture() {
    static Fixture *f = new Fixture();
    return *f;
}

void run(benchmark::State &state, CciNode *node, CciMessage *list) {
    Fixture &f = fixture();
    if (broker::deliver(node, nullptr, list, f.message) != CCI_SUCCESS) {
        state.SkipWithError("delivery failed");
        return;
    }
    allocations = 0;
    countAllocations = true;
    for (auto _ : state) {
        broker::deliver(node, nullptr, list, f.message);
    }
    countAllocations = false;
    state.counters["allocs_per_msg"] = benchmark::Counter(static_cast<double>(allocations.load()) /
                                                          static_cast<double>(state.iterations()));
}

void BM_Evaluate_Found(benchmark::State &state) {
    run(state, fixture().trevane, fixture().foundList);
}
void BM_CopyPropagateFloor(benchmark::State &state) {
    run(state, fixture().floor, fixture().foundList);
}
void BM_Evaluate_NotFound(benchmark::State &state) {
    run(state, fixture().trevane, fixture().emptyList);
}
void BM_BarePropagate(benchmark::State &state) {
    run(state, fixture().bare, fixture().emptyList);
}
void BM_Evaluate_NotFoundDeepList(benchmark::State &state) {
    run(state, fixture().trevane, fixture().deepList);
}

// Each case runs five times; the summary compares medians, which a busy machine
// disturbs far less than single runs.
BENCHMARK(BM_Evaluate_Found)->Repetitions(5);
BENCHMARK(BM_CopyPropagateFloor)->Repetitions(5);
BENCHMARK(BM_Evaluate_NotFound)->Repetitions(5);
BENCHMARK(BM_BarePropagate)->Repetitions(5);
BENCHMARK(BM_Evaluate_NotFoundDeepList)->Repetitions(5);

// Keeps each benchmark's median times and allocation count for the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                realTimes[name] = run.GetAdjustedRealTime();
                cpuTimes[name] = run.GetAdjustedCPUTime();
            }
            auto found = run.counters.find("allocs_per_msg");
            if (run.run_type == Run::RT_Iteration && found != run.counters.end()) {
                allocs[name] = found->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> realTimes;
    std::map<std::string, double> cpuTimes;
    std::map<std::string, double> allocs;
};

void printRatio(const SummaryReporter &r, const char *ours, const char *baseline, double aim) {
    auto ratio = [&](const std::map<std::string, double> &times) {
        auto a = times.find(ours);
        auto b = times.find(baseline);
        return a == times.end() || b == times.end() || b->second <= 0 ? 0.0 : a->second / b->second;
    };
    const double cpu = ratio(r.cpuTimes);
    const double real = ratio(r.realTimes);
    if (cpu == 0.0) {
        return;
    }
    std::printf("%-22s / %-22s = %5.2fx CPU, %5.2fx real  (aim %.2fx: %s)\n", ours, baseline, cpu,
                real, aim, cpu <= aim ? "met" : "MISSED");
}

double threadCpuNanoseconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double batchCpuTime(CciNode *node, CciMessage *list, int messages) {
    const double start = threadCpuNanoseconds();
    for (int i = 0; i < messages; ++i) {
        broker::deliver(node, nullptr, list, fixture().message);
    }
    return threadCpuNanoseconds() - start;
}

// The two cases measured in alternating batches on this thread's CPU clock: load that
// comes and goes on a shared machine then weighs on both sides alike. Answers the median
// of the batch ratios.
double pairedRatio(CciNode *ours, CciMessage *oursList, CciNode *baseline, CciMessage *baselineList,
                   int messagesPerBatch) {
    std::vector<double> ratios;
    for (int batch = 0; batch < 101; ++batch) {
        const double a = batchCpuTime(ours, oursList, messagesPerBatch);
        const double b = batchCpuTime(baseline, baselineList, messagesPerBatch);
        if (b > 0) {
            ratios.push_back(a / b);
        }
    }
    std::sort(ratios.begin(), ratios.end());
    return ratios.empty() ? 0.0 : ratios[ratios.size() / 2];
}

void printPaired(const char *what, double ratio, double aim) {
    std::printf("%-47s = %5.2fx  (aim %.2fx: %s)\n", what, ratio, aim,
                ratio <= aim ? "met" : "MISSED");
}

// Delivers one case `count` times: the program under a profiler sees that case alone.
int deliverOnly(const std::string &request) {
    const size_t colon = request.find(':');
    const std::string name = request.substr(0, colon);
    const long count = colon == std::string::npos ? 10000 : std::atol(request.c_str() + colon + 1);
    Fixture &f = fixture();
    const std::map<std::string, std::pair<CciNode *, CciMessage *>> cases = {
        {"found", {f.trevane, f.foundList}},    {"floor", {f.floor, f.foundList}},
        {"notfound", {f.trevane, f.emptyList}}, {"bare", {f.bare, f.emptyList}},
        {"deep", {f.trevane, f.deepList}},
    };
    auto found = cases.find(name);
    if (found == cases.end() || count <= 0) {
        std::fprintf(stderr,
                     "bench_node: --deliver takes CASE:COUNT, CASE one of found, floor, "
                     "notfound, bare, deep, COUNT above 0 (got '%s')\n",
                     request.c_str());
        return 2;
    }
    for (long i = 0; i < count; ++i) {
        if (broker::deliver(found->second.first, nullptr, found->second.second, f.message) !=
            CCI_SUCCESS) {
            std::fprintf(stderr, "bench_node: delivery %ld of '%s' failed\n", i, name.c_str());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const std::string deliverFlag = "--deliver=";
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]).rfind(deliverFlag, 0) == 0) {
            return deliverOnly(argv[i] + deliverFlag.size());
        }
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nRatios of median time per message (lower is better):\n");
    printRatio(reporter, "BM_Evaluate_Found", "BM_CopyPropagateFloor", 1.25);
    printRatio(reporter, "BM_Evaluate_NotFound", "BM_BarePropagate", 1.5);
    Fixture &f = fixture();
    std::printf("\nPaired batches, median ratio of thread CPU time:\n");
    printPaired("evaluate found / copy-propagate floor",
                pairedRatio(f.trevane, f.foundList, f.floor, f.foundList, 20), 1.25);
    printPaired("evaluate not found / bare propagate",
                pairedRatio(f.trevane, f.emptyList, f.bare, f.emptyList, 2000), 1.5);
    std::printf("\nHeap allocations per delivered message (whole process):\n");
    for (const auto &[name, count] : reporter.allocs) {
        std::printf("%-30s %6.2f\n", name.c_str(), count);
    }
    benchmark::Shutdown();
    return 0;
}
