/*
 * Benchmarks of the serialised element buffer, each against a baseline of the stand-in
 * broker measured in the same run on the same 2 KB XML message:
 *   - a binary serialise and rebuild round trip into a new message, against
 *     cniCopyElementTree of the same body into a new message;
 *   - XML rendering of a text-mode buffer of the body, against cniWriteBuffer of the
 *     message (the broker's own XML writer).
 * After the run the ratios of CPU time (ours / baseline, lower is better) are printed.
 */
#include <cstdio>
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "bench/ratios.h"
#include "broker/host.h"
#include "trace/retcodes.h"
#include "trevane/cni.h"
#include "utilities/rebuild.h"
#include "utilities/serialise.h"
#include "utilities/xmlrender.h"

namespace {

// An order document of about 2 KB: nested elements, attributes-free, short texts.
std::string orderDocument() {
    std::string xml = "<order><id>A-1000234</id><customer><name>Ada Lovelace</name>"
                      "<city>London</city></customer><lines>";
    for (int i = 0; xml.size() < 1950; ++i) {
        xml += "<line><sku>SKU-" + std::to_string(10000 + i) + "</sku><qty>" +
               std::to_string(i % 7 + 1) + "</qty><price>" + std::to_string(3 + i) +
               ".50</price></line>";
    }
    return xml + "</lines></order>";
}

struct Fixture {
    CciMessageContext *context = broker::createContext();
    CciMessage *message = broker::createInputMessage(context, {}, orderDocument(), "XML");
    CciElement *body = nullptr;
    Fixture() {
        int rc = 0;
        body = cniLastChild(&rc, cniRootElement(&rc, message));
    }
    ~Fixture() { broker::deleteContext(context); }
    // A new message in the context with an empty NAME element to receive a copy.
    CciElement *target(CciMessage **created) const {
        int rc = 0;
        *created = broker::createTreeMessage(context, "Root");
        return cniCreateElementAsLastChild(&rc, cniRootElement(&rc, *created));
    }
};

void BM_Baseline_CopyElementTree(benchmark::State &state) {
    Fixture fixture;
    for (auto _ : state) {
        int rc = 0;
        CciMessage *copy = nullptr;
        cniCopyElementTree(&rc, fixture.body, fixture.target(&copy));
        cniDeleteMessage(&rc, copy);
    }
}
BENCHMARK(BM_Baseline_CopyElementTree);

void BM_SerialiseAndRebuild(benchmark::State &state) {
    Fixture fixture;
    for (auto _ : state) {
        int rc = 0;
        void *buffer = nullptr;
        int length = 0;
        if (serialiseSyntaxElements(fixture.body, FALSE, FALSE, &buffer, &length) != TT_SUCCESS) {
            state.SkipWithError("serialise failed");
            break;
        }
        CciMessage *copy = nullptr;
        CciElement *anchor = fixture.target(&copy);
        const char *position = static_cast<const char *>(buffer);
        const char *end = position + length;
        int depth = 0;
        bool_t first = TRUE;
        while (position != end && rc == TT_SUCCESS) {
            rc = inflateSyntaxElement(&anchor, buffer, length, &position, &depth, first, FALSE);
            first = FALSE;
        }
        free(buffer);
        cniDeleteMessage(&rc, copy);
    }
}
BENCHMARK(BM_SerialiseAndRebuild);

// The two halves of the round trip on their own, to show where its time goes.
void BM_SerialiseOnly(benchmark::State &state) {
    Fixture fixture;
    for (auto _ : state) {
        void *buffer = nullptr;
        int length = 0;
        serialiseSyntaxElements(fixture.body, FALSE, FALSE, &buffer, &length);
        free(buffer);
    }
}
BENCHMARK(BM_SerialiseOnly);

void BM_RebuildOnly(benchmark::State &state) {
    Fixture fixture;
    void *buffer = nullptr;
    int length = 0;
    serialiseSyntaxElements(fixture.body, FALSE, FALSE, &buffer, &length);
    for (auto _ : state) {
        int rc = 0;
        CciMessage *copy = nullptr;
        CciElement *anchor = fixture.target(&copy);
        const char *position = static_cast<const char *>(buffer);
        int depth = 0;
        bool_t first = TRUE;
        while (position != static_cast<const char *>(buffer) + length &&
               inflateSyntaxElement(&anchor, buffer, length, &position, &depth, first, FALSE) ==
                   TT_SUCCESS) {
            first = FALSE;
        }
        cniDeleteMessage(&rc, copy);
    }
    free(buffer);
}
BENCHMARK(BM_RebuildOnly);

void BM_Baseline_WriteBuffer(benchmark::State &state) {
    Fixture fixture;
    for (auto _ : state) {
        int rc = 0;
        benchmark::DoNotOptimize(cniWriteBuffer(&rc, fixture.message));
    }
}
BENCHMARK(BM_Baseline_WriteBuffer);

void BM_RenderXML(benchmark::State &state) {
    // The document element: the body root itself is no element of the XML text.
    Fixture fixture;
    int rc = 0;
    void *buffer = nullptr;
    int length = 0;
    if (serialiseSyntaxElements(cniFirstChild(&rc, fixture.body), TRUE, TRUE, &buffer, &length) !=
        TT_SUCCESS) {
        state.SkipWithError("serialise failed");
        return;
    }
    for (auto _ : state) {
        char *xml = nullptr;
        int xmlLength = 0;
        if (buildXMLFromSerialisedTree(buffer, length, &xml, &xmlLength) != TT_SUCCESS) {
            state.SkipWithError("render failed");
        }
        free(xml);
    }
    free(buffer);
}
BENCHMARK(BM_RenderXML);

} // namespace

int main(int argc, char **argv) {
    CpuTimeReporter reporter;
    if (!runBenchmarks(&argc, argv, reporter)) {
        return 1;
    }
    const struct {
        const char *ours;
        const char *baseline;
        double aim;
    } pairs[] = {
        {"BM_SerialiseAndRebuild", "BM_Baseline_CopyElementTree", 2.0},
        {"BM_RenderXML", "BM_Baseline_WriteBuffer", 1.0},
    };
    for (const auto &pair : pairs) {
        if (const auto value = reporter.ratio(pair.ours, pair.baseline)) {
            printf("ratio %s / %s = %.2f (aim: at most %.1f)\n", pair.ours, pair.baseline, *value,
                   pair.aim);
        }
    }
    benchmark::Shutdown();
    return 0;
}
