// Storage running out while a node is created: whichever allocation fails, the creation
// either completes or answers null with nothing left behind (no instance entry linked, no
// count taken, nothing leaked). The n-th allocation of the plug-in's modules is made to
// fail through tests/support/failing_allocator.h.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "broker/host.h"
#include "node/trevane.h"
#include "tests/support/failing_allocator.h"
#include "tests/support/support.h"

using testsupport::failNthAllocation;
using testsupport::stopFailing;

namespace {

TEST(StorageShortage, CreationFailingAtAnyAllocationLeavesNothingHalfLinked) {
    ASSERT_FALSE(testsupport::raisedBy([] { bipGetMessageflowNodeFactory(); }));
    testsupport::TestFlow warm("ShortageFlow");
    warm.node("TrevaneNode", "warm"); // trace set up, flow registered, names filled
    const int32_t base = numTrevaneNodes;

    int failedCreations = 0;
    int n = 1;
    for (; n < 200; ++n) {
        // Odd rounds reuse the registered flow; even rounds need a new registry record.
        testsupport::TestFlow flow(n % 2 ? "ShortageFlow" : "ShortageFlow" + std::to_string(n));
        CciNode *node = nullptr;
        failNthAllocation(n);
        try {
            node = broker::createNode(flow.flow(), "TrevaneNode", "n");
        } catch (const broker::Error &) {
        }
        int seen = stopFailing();
        if (node) {
            EXPECT_EQ(numTrevaneNodes, base + 1) << "allocation " << n << " failed";
            broker::deleteNode(node);
        } else {
            ++failedCreations;
        }
        EXPECT_EQ(numTrevaneNodes, base) << "allocation " << n << " failed";
        for (deployedTrevane_t *entryP = trevaneAnchorP->next; entryP; entryP = entryP->next) {
            ASSERT_EQ(entryP->prev->next, entryP) << "allocation " << n << " failed";
        }
        if (seen < n) {
            break; // the creation made fewer allocations than n: every one has been failed
        }
    }
    EXPECT_LT(n, 200);
    EXPECT_GE(failedCreations, 6) << "broker buffers, registry, context, name, entry";
}

} // namespace
