// Storage running out while the node handles a message that carries an SQLCODE: whichever
// allocation of the plug-in's modules fails (tests/support/failing_allocator.h), the
// message ends in exactly one place - the copy with the code on "out", the incoming
// message unchanged on "failure", or, with nothing on "failure", an exception back to the
// caller, whose unit of work then backs out. The node leaves none of its messages behind;
// the sanitizer build checks that nothing leaks.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "broker/host.h"
#include "broker/tree.h"
#include "node/trevane.h"
#include "tests/support/failing_allocator.h"
#include "tests/support/support.h"
#include "trace/trace.h"

namespace {

size_t messagesIn(CciMessageContext *context) {
    size_t count = 0;
    for (CciMessage *m = context->firstMessage; m != nullptr; m = m->nextInContext) {
        ++count;
    }
    return count;
}

// An exception list whose SQLSTATE text lies behind longer texts, so that the search's
// work buffer is allocated and then grown.
std::string longList() {
    const std::string filler(300, 'w');
    return "RecoverableException(Text='Node threw', DatabaseException(Insert(Type=5, Text='" +
           filler + "'), Insert(Type=5, Text='" + filler + filler +
           " [DB2] SQL0803N SQLSTATE=23505')))";
}

void runEveryShortage(bool failureAttached) {
    const std::string tree =
        "Properties, MQMD(Format='XML     '), XML(doc(Valued('v'), Holder(Inner='x')))";
    int n = 1;
    for (; n < 400; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        testsupport::MessageScope scope;
        testsupport::TestFlow flow("ShortageEvaluateFlow");
        flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.doc.Status"}});
        for (const char *sink : {"out", "notFound", "failure"}) {
            if (std::string(sink) == "failure" && !failureAttached) {
                continue;
            }
            flow.node("TestSink", sink);
            flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
        }
        CciMessage *message = scope.message(tree);
        CciMessage *list = scope.exceptionList(longList());
        const size_t before = messagesIn(scope.context());
        testsupport::clearSinkRecords();

        testsupport::failNthAllocation(n);
        const int delivered = broker::deliver(flow["trevane"], nullptr, list, message);
        const int seen = testsupport::stopFailing();

        const auto outs = testsupport::sinkRecords("out");
        const auto failures = testsupport::sinkRecords("failure");
        const size_t raised = delivered == CCI_EXCEPTION ? 1 : 0;
        EXPECT_EQ(outs.size() + failures.size() + raised, 1u)
            << "delivered " << delivered << ", out " << outs.size() << ", failure "
            << failures.size();
        EXPECT_TRUE(testsupport::sinkRecords("notFound").empty());
        if (!outs.empty()) {
            EXPECT_NE(outs[0].message.find("Status='23505'"), std::string::npos) << outs[0].message;
        }
        if (!failures.empty()) {
            EXPECT_EQ(failures[0].message, tree);
        }
        EXPECT_EQ(testsupport::dumpMessage(message), tree) << "the incoming message changed";
        EXPECT_EQ(messagesIn(scope.context()), before) << "a message of the node was left";
        if (raised) {
            broker::clearLastException();
        }
        if (seen < n) {
            break; // the evaluation made fewer allocations: every one has failed once
        }
    }
    EXPECT_LT(n, 400);
    EXPECT_GE(n, 3) << "the search's buffer and the error text are allocated";
}

class EvaluateStorageShortage : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        ASSERT_FALSE(testsupport::raisedBy([] { bipGetMessageflowNodeFactory(); }));
    }
};

TEST_P(EvaluateStorageShortage, MessageEndsInExactlyOnePlaceWhicheverAllocationFails) {
    runEveryShortage(GetParam());
}

// The same with the trace on, whose set-up and records allocate too.
TEST_P(EvaluateStorageShortage, WithTheTraceOn) {
    char directory[] = "/tmp/trevane-shortage-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string file = std::string(directory) + "/evaluate.trc";
    setenv(callersTraceEnvironmentVariable, ("-f " + file).c_str(), 1);
    TraceReset();
    runEveryShortage(GetParam());
    unsetenv(callersTraceEnvironmentVariable);
    TraceReset();
    remove(file.c_str());
    rmdir(directory);
}

INSTANTIATE_TEST_SUITE_P(FailureTerminal, EvaluateStorageShortage, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Attached" : "NotAttached";
                         });

} // namespace
