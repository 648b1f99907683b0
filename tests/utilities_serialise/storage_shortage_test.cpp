// Storage running out in the serialiser, the rebuilder and the XML renderer: whichever
// allocation fails (tests/support/failing_allocator.h), each ends with its documented
// result - the whole work done, or TT_INSUFFICIENT_GLOBAL_STORAGE with the outputs as
// the header describes - and never crashes; the sanitizer build checks that nothing
// leaks.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "tests/support/failing_allocator.h"
#include "tests/support/support.h"
#include "tests/utilities_serialise/records.h"
#include "trace/retcodes.h"
#include "utilities/rebuild.h"
#include "utilities/serialise.h"
#include "utilities/xmlrender.h"

using testsupport::failNthAllocation;
using testsupport::stopFailing;

namespace {

constexpr int MAX_ROUNDS = 2000;

// A tree whose buffers outgrow their first kilobyte several times, with names and texts
// longer than the rebuilder's local copies.
std::string bigTree() {
    const std::string longName(300, 'n');
    const std::string longText(600, 't');
    std::string children;
    for (int i = 0; i < 12; ++i) {
        children += (i ? ", " : "") + std::string("item") + std::to_string(i) + "(" + longName +
                    "='" + longText + "', v" + std::to_string(i) + "=" + std::to_string(i) +
                    ", inner(deep='x'))";
    }
    return "top(" + children + ")";
}

CciElement *buildIn(testsupport::MessageScope &scope, const std::string &tree) {
    int rc = 0;
    return testsupport::build(cniRootElement(&rc, scope.message()), tree);
}

TEST(SerialiseStorageShortage, EachFailureGivesTheCodeAndLeavesTheOutputsUntouched) {
    testsupport::MessageScope scope;
    CciElement *top = buildIn(scope, bigTree());
    for (bool text : {false, true}) {
        const std::string whole = utiltest::serialised(top, text);
        ASSERT_GT(whole.size(), 4u * ONE_KBYTE);
        int n = 1;
        for (; n < MAX_ROUNDS; ++n) {
            void *buffer = &n; // sentinels: a failure must not touch them
            int length = -7;
            failNthAllocation(n);
            const int rc =
                serialiseSyntaxElements(top, text ? TRUE : FALSE, FALSE, &buffer, &length);
            const int seen = stopFailing();
            if (rc == TT_SUCCESS) {
                EXPECT_EQ(std::string(static_cast<char *>(buffer), static_cast<size_t>(length)),
                          whole)
                    << "allocation " << n;
                free(buffer);
            } else {
                EXPECT_EQ(rc, TT_INSUFFICIENT_GLOBAL_STORAGE) << "allocation " << n;
                EXPECT_EQ(buffer, &n) << "allocation " << n;
                EXPECT_EQ(length, -7) << "allocation " << n;
            }
            if (seen < n) {
                break;
            }
        }
        EXPECT_LT(n, MAX_ROUNDS);
        EXPECT_GE(n, 4) << "the first buffer and its growth";
    }
}

TEST(RebuildStorageShortage, EachFailureStopsTheRebuildWithTheCodeAndWhatWasMadeStays) {
    testsupport::MessageScope source;
    const std::string tree = bigTree();
    const std::string data = utiltest::serialised(buildIn(source, tree), false);
    char *copy = static_cast<char *>(malloc(data.size()));
    ASSERT_NE(copy, nullptr);
    memcpy(copy, data.data(), data.size());
    int n = 1;
    int failures = 0;
    for (; n < MAX_ROUNDS; ++n) {
        testsupport::MessageScope scope;
        int rc = 0;
        CciElement *anchor = cniRootElement(&rc, scope.message());
        CciElement *element = anchor;
        const char *position = copy;
        int depth = -1;
        int records = 0;
        failNthAllocation(n);
        int result = TT_SUCCESS;
        while (result == TT_SUCCESS && position != copy + data.size()) {
            result = inflateSyntaxElement(&element, copy, static_cast<int>(data.size()), &position,
                                          &depth, records == 0 ? TRUE : FALSE, TRUE);
            records += result == TT_SUCCESS ? 1 : 0;
        }
        const int seen = stopFailing();
        if (result == TT_SUCCESS) {
            EXPECT_EQ(testsupport::dumpChildren(anchor), tree) << "allocation " << n;
        } else {
            ++failures;
            EXPECT_EQ(result, TT_INSUFFICIENT_GLOBAL_STORAGE) << "allocation " << n;
            EXPECT_LT(position, copy + data.size());
        }
        if (seen < n) {
            break;
        }
    }
    free(copy);
    EXPECT_LT(n, MAX_ROUNDS);
    EXPECT_GE(failures, 12) << "each long name and text is copied to the heap";
}

TEST(RenderStorageShortage, EachFailureGivesTheCodeAndTheTextSoFar) {
    testsupport::MessageScope scope;
    const std::string data = utiltest::serialised(buildIn(scope, bigTree()), true);
    char *copy = static_cast<char *>(malloc(data.size()));
    ASSERT_NE(copy, nullptr);
    memcpy(copy, data.data(), data.size());
    std::string whole;
    {
        char *xml = nullptr;
        int length = 0;
        ASSERT_EQ(buildXMLFromSerialisedTree(copy, static_cast<int>(data.size()), &xml, &length),
                  TT_SUCCESS);
        whole.assign(xml, static_cast<size_t>(length));
        free(xml);
    }
    int n = 1;
    for (; n < MAX_ROUNDS; ++n) {
        char *xml = nullptr;
        int length = -1;
        failNthAllocation(n);
        const int rc =
            buildXMLFromSerialisedTree(copy, static_cast<int>(data.size()), &xml, &length);
        const int seen = stopFailing();
        if (rc == TT_SUCCESS) {
            ASSERT_NE(xml, nullptr);
            EXPECT_EQ(std::string(xml, static_cast<size_t>(length)), whole) << "allocation " << n;
        } else {
            EXPECT_EQ(rc, TT_INSUFFICIENT_GLOBAL_STORAGE) << "allocation " << n;
            if (xml == nullptr) {
                EXPECT_EQ(length, 0) << "allocation " << n;
            } else {
                ASSERT_GE(length, 0);
                EXPECT_EQ(
                    whole.compare(0, static_cast<size_t>(length), xml, static_cast<size_t>(length)),
                    0)
                    << "the text so far is the start of the whole text, allocation " << n;
            }
        }
        free(xml);
        if (seen < n) {
            break;
        }
    }
    free(copy);
    EXPECT_LT(n, MAX_ROUNDS);
    EXPECT_GE(n, 4) << "the first buffer, its growth and the tag entries";
}

} // namespace
