// Node instances under concurrent use: threads create, configure and delete nodes (in
// shared and separate flows) while one thread keeps replacing a live node's CopyValueTo
// and others read its copy location the way evaluation does, without a lock.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "broker/host.h"
#include "node/trevane.h"
#include "portability/unicode.h"
#include "tests/support/support.h"

namespace {

nodeContext_t *contextOf(CciNode *node) {
    return static_cast<nodeContext_t *>(broker::nodeContext(node));
}

TEST(NodeThreads, ChurnAndCopyLocationReplacementKeepListAndCountConsistent) {
    auto raised = testsupport::raisedBy([] { ASSERT_NE(bipGetMessageflowNodeFactory(), nullptr); });
    ASSERT_FALSE(raised) << raised->text;
    FILE *quiet = fopen("/dev/null", "w");
    broker::setLogStream(quiet);

    const int32_t base = numTrevaneNodes;
    broker::Flow *hotFlow = broker::createFlow("HotFlow");
    CciNode *hot = broker::createNode(hotFlow, "TrevaneNode", "hot");
    broker::setProperty(hot, "CopyValueTo", "Root.A");
    deployedTrevane_t *hotEntry = contextOf(hot)->deployedEntry;

    constexpr int CHURN_THREADS = 4;
    constexpr int ROUNDS = 40;
    std::atomic<bool> writing{true};
    std::atomic<int> badReads{0};
    std::atomic<int> failures{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < CHURN_THREADS; ++t) {
        threads.emplace_back([t, &failures] {
            // Two flow names shared by all threads: registry look-up and insertion race.
            broker::Flow *flow = broker::createFlow(t % 2 ? "ChurnFlowOdd" : "ChurnFlowEven");
            for (int round = 0; round < ROUNDS; ++round) {
                try {
                    CciNode *node = broker::createNode(flow, "TrevaneNode", "n");
                    broker::setProperty(node, "label", "churn" + std::to_string(t));
                    broker::setProperty(node, "CopyValueTo", "Root.churn");
                    broker::setProperty(node, "CopyValueTo", "Root.churn.again");
                    broker::deleteNode(node);
                } catch (const broker::Error &) {
                    ++failures;
                }
            }
            broker::deleteFlow(flow);
        });
    }
    threads.emplace_back([&] {
        for (int round = 0; round < ROUNDS * 4; ++round) {
            broker::setProperty(hot, "CopyValueTo", round % 2 ? "Root.A" : "Root.BB");
        }
        writing = false;
    });
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            do {
                const CciChar *location = currentCopyLocation(hotEntry);
                if (UCcmp(location, u"Root.A") != 0 && UCcmp(location, u"Root.BB") != 0) {
                    ++badReads;
                }
            } while (writing);
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(badReads, 0);
    EXPECT_EQ(numTrevaneNodes, base + 1);
    int linked = 0;
    for (deployedTrevane_t *entryP = trevaneAnchorP->next; entryP; entryP = entryP->next) {
        EXPECT_EQ(entryP->prev->next, entryP);
        ++linked;
    }
    EXPECT_EQ(linked, numTrevaneNodes);
    int churnRecords = 0;
    for (messageFlow_t *entryP = messageFlowAnchor.next; entryP; entryP = entryP->next) {
        churnRecords += UCcmp(entryP->flowName, u"ChurnFlowOdd") == 0 ||
                        UCcmp(entryP->flowName, u"ChurnFlowEven") == 0;
    }
    EXPECT_EQ(churnRecords, 2) << "one registry record per flow name";

    broker::deleteFlow(hotFlow);
    EXPECT_EQ(numTrevaneNodes, base);
    broker::setLogStream(nullptr);
    fclose(quiet);
}

} // namespace
