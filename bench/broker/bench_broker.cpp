/*
 * Benchmarks of the stand-in broker's hot paths, each against a baseline measured in the
 * same run: cniCopyElementTree against a plain recursive copy of the same tree into
 * std::vector nodes, and the XML parser (expat building the tree) against expat alone
 * parsing the same bytes. The ratios are printed after the runs, measured in alternating
 * batches so that a busy machine does not skew them.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <ctime>
#include <expat.h>
#include <string>
#include <vector>

#include "broker/host.h"
#include "broker/internal.h"
#include "trevane/cni.h"

namespace {

// About 2 KB of XML with about 60 elements, the size of a typical order message.
std::string orderDocument() {
    std::string d = "<order id=\"A-1042\" version=\"2\"><customer><name>Ada Lovelace</name>"
                    "<account>77001234</account><region>EMEA</region></customer><items>";
    for (int i = 0; i < 14; ++i) {
        d += "<item sku=\"SKU-" + std::to_string(1000 + i) + "\"><description>Part number " +
             std::to_string(i) + " &amp; fittings</description><qty>" + std::to_string(i + 1) +
             "</qty><price>" + std::to_string(10 + i) + ".50</price></item>";
    }
    d += "</items><total currency=\"EUR\">1234.50</total><status>NEW</status></order>";
    return d;
}

const std::string &document() {
    static const std::string d = orderDocument();
    return d;
}

int countElements(const CciElement *e) {
    int n = 1;
    for (const CciElement *c = e->firstChild; c != nullptr; c = c->next) {
        n += countElements(c);
    }
    return n;
}

struct Source {
    CciMessageContext *context = broker::createContext();
    CciMessage *message = nullptr;
    int elements = 0;
    Source() {
        message = broker::createTreeMessage(context, "Root");
        broker::parseXml(message->root, document(), 1208);
        elements = countElements(message->root);
    }
    ~Source() { broker::deleteContext(context); }
};

Source &source() {
    static Source s;
    return s;
}

void copyElementTree() {
    Source &s = source();
    int rc = 0;
    CciMessage *copy = cniCreateMessage(&rc, s.context);
    cniCopyElementTree(&rc, s.message->root, cniRootElement(&rc, copy));
    benchmark::DoNotOptimize(copy->root->firstChild);
    cniDeleteMessage(&rc, copy);
}

void BM_CopyElementTree(benchmark::State &state) {
    Source &s = source();
    for (auto _ : state) {
        copyElementTree();
    }
    state.SetItemsProcessed(state.iterations() * s.elements);
    state.counters["elements"] = s.elements;
}

struct PlainNode {
    int parent;
    CciElementType type;
    std::u16string name;
    CciValueType valueType;
    std::u16string text;
};

void plainCopy(const CciElement *e, int parent, std::vector<PlainNode> &into) {
    PlainNode node{parent, e->type, std::u16string(broker::nameOf(e)), e->valueType, {}};
    if (e->valueType == CCI_VALUE_TYPE_CHAR) {
        node.text = broker::textOf(e);
    }
    into.push_back(std::move(node));
    int self = static_cast<int>(into.size()) - 1;
    for (const CciElement *c = e->firstChild; c != nullptr; c = c->next) {
        plainCopy(c, self, into);
    }
}

void plainRecursiveCopy() {
    std::vector<PlainNode> nodes;
    plainCopy(source().message->root, -1, nodes);
    benchmark::DoNotOptimize(nodes.data());
}

void BM_PlainRecursiveCopy(benchmark::State &state) {
    Source &s = source();
    for (auto _ : state) {
        plainRecursiveCopy();
    }
    state.SetItemsProcessed(state.iterations() * s.elements);
}

void parseXmlIntoTree() {
    CciMessage *m = broker::createTreeMessage(source().context, "Root");
    broker::parseXml(m->root, document(), 1208);
    benchmark::DoNotOptimize(m->root->lastChild);
    int rc = 0;
    cniDeleteMessage(&rc, m);
}

void BM_ParseXmlIntoTree(benchmark::State &state) {
    for (auto _ : state) {
        parseXmlIntoTree();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(document().size()));
}

void expatAlone() {
    XML_Parser p = XML_ParserCreate(nullptr);
    XML_Status status = XML_Parse(p, document().data(), static_cast<int>(document().size()), 1);
    benchmark::DoNotOptimize(status);
    XML_ParserFree(p);
}

void BM_ExpatAlone(benchmark::State &state) {
    for (auto _ : state) {
        expatAlone();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(document().size()));
}

void XMLCALL ignoreStart(void *, const XML_Char *, const XML_Char **) {}
void XMLCALL ignoreEnd(void *, const XML_Char *) {}
void XMLCALL ignoreText(void *, const XML_Char *, int) {}

// Expat with handlers that do nothing: what expat itself costs once it reports the
// document, before any tree is built.
void BM_ExpatEmptyHandlers(benchmark::State &state) {
    for (auto _ : state) {
        XML_Parser p = XML_ParserCreate(nullptr);
        XML_SetElementHandler(p, ignoreStart, ignoreEnd);
        XML_SetCharacterDataHandler(p, ignoreText);
        XML_Status status = XML_Parse(p, document().data(), static_cast<int>(document().size()), 1);
        benchmark::DoNotOptimize(status);
        XML_ParserFree(p);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(document().size()));
}

void BM_BuildCopyDeleteMessage(benchmark::State &state) {
    CciMessageContext *context = broker::createContext();
    broker::Descriptor descriptor;
    for (auto _ : state) {
        CciMessage *m = broker::createInputMessage(context, descriptor, document(), "XML");
        int rc = 0;
        CciMessage *copy = cniCreateMessage(&rc, context);
        cniCopyElementTree(&rc, cniRootElement(&rc, m), cniRootElement(&rc, copy));
        cniDeleteMessage(&rc, copy);
        cniDeleteMessage(&rc, m);
    }
    broker::deleteContext(context);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(document().size()));
}

BENCHMARK(BM_CopyElementTree);
BENCHMARK(BM_PlainRecursiveCopy);
BENCHMARK(BM_ParseXmlIntoTree);
BENCHMARK(BM_ExpatAlone);
BENCHMARK(BM_ExpatEmptyHandlers);
BENCHMARK(BM_BuildCopyDeleteMessage);

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The subject's cost as a multiple of its baseline, measured in alternating batches of
// thread CPU time and taking each side's fastest batch, so that other work on the
// machine (which only ever slows a batch down) does not move the ratio.
void pairedRatio(const char *subjectName, void (*subject)(), const char *baselineName,
                 void (*baseline)(), double aim) {
    constexpr int BATCHES = 40;
    constexpr int PER_BATCH = 200;
    double best[2] = {1e30, 1e30};
    void (*runs[2])() = {subject, baseline};
    for (int b = 0; b < BATCHES; ++b) {
        for (int side = 0; side < 2; ++side) {
            double start = threadSeconds();
            for (int i = 0; i < PER_BATCH; ++i) {
                runs[side]();
            }
            double each = (threadSeconds() - start) / PER_BATCH;
            best[side] = each < best[side] ? each : best[side];
        }
    }
    std::printf("ratio %s / %s = %.2f (%.0f ns / %.0f ns; aim: at most %.1f)\n", subjectName,
                baselineName, best[0] / best[1], best[0] * 1e9, best[1] * 1e9, aim);
}

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("document: %zu bytes, %d elements below the message root\n", document().size(),
                source().elements - 1);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    pairedRatio("cniCopyElementTree", copyElementTree, "plain recursive copy", plainRecursiveCopy,
                1.5);
    pairedRatio("XML parse into tree", parseXmlIntoTree, "expat alone", expatAlone, 1.3);
    return 0;
}
