// When the node cannot make its copy (no new message, or the tree copy refused), the incoming
// message is not dropped: it goes through "failure", and nothing of the node's is left in the
// context. The broker calls are made to fail by definitions in this executable that take precedence
// over the broker library's and otherwise hand the call on to it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>
#include <vector>

#include "broker/tree.h"
#include "node/trevane.h"
#include "tests/support/support.h"

namespace {

enum class Refuse { Nothing, CreateMessage, CopyElementTree, Propagate };
Refuse refuse = Refuse::Nothing;

template <typename F> F brokerCall(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" CciMessage *cniCreateMessage(int *returnCode, CciMessageContext *context) {
    static auto real = brokerCall<CciMessage *(*)(int *, CciMessageContext *)>("cniCreateMessage");
    if (refuse == Refuse::CreateMessage) {
        *returnCode = CCI_FAILURE;
        return nullptr;
    }
    return real(returnCode, context);
}

extern "C" void cniCopyElementTree(int *returnCode, CciElement *source, CciElement *target) {
    static auto real =
        brokerCall<void (*)(int *, CciElement *, CciElement *)>("cniCopyElementTree");
    if (refuse == Refuse::CopyElementTree) {
        *returnCode = CCI_FAILURE;
        return;
    }
    real(returnCode, source, target);
}

extern "C" CciBool cniPropagate(int *returnCode, CciTerminal *terminal, CciMessage *destinationList,
                                CciMessage *exceptionList, CciMessage *message) {
    static auto real =
        brokerCall<CciBool (*)(int *, CciTerminal *, CciMessage *, CciMessage *, CciMessage *)>(
            "cniPropagate");
    if (refuse == Refuse::Propagate) {
        *returnCode = CCI_FAILURE;
        return 0;
    }
    return real(returnCode, terminal, destinationList, exceptionList, message);
}

namespace {

size_t messagesIn(CciMessageContext *context) {
    size_t count = 0;
    for (CciMessage *m = context->firstMessage; m != nullptr; m = m->nextInContext) {
        ++count;
    }
    return count;
}

TEST(CopyFailure, IncomingMessageGoesToFailureWhenNoCopyCanBeMade) {
    static void *factory = bipGetMessageflowNodeFactory();
    ASSERT_NE(factory, nullptr);
    const char *tree = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'6869')";
    for (Refuse what : {Refuse::CreateMessage, Refuse::CopyElementTree}) {
        SCOPED_TRACE(static_cast<int>(what));
        testsupport::MessageScope scope;
        testsupport::TestFlow flow("CopyFailureFlow");
        flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.Status"}});
        for (const char *sink : {"out", "notFound", "failure"}) {
            flow.node("TestSink", sink);
            flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
        }
        CciMessage *message = scope.message(tree);
        CciMessage *list =
            scope.exceptionList("DatabaseException(Insert(Type=5, Text='SQLSTATE=23505'))");
        const size_t before = messagesIn(scope.context());
        testsupport::LogCapture log;

        refuse = what;
        const int delivered = broker::deliver(flow["trevane"], nullptr, list, message);
        refuse = Refuse::Nothing;

        EXPECT_EQ(delivered, CCI_SUCCESS);
        EXPECT_TRUE(testsupport::sinkRecords("out").empty());
        const auto failures = testsupport::sinkRecords("failure");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].message, tree);
        EXPECT_EQ(messagesIn(scope.context()), before);
        EXPECT_TRUE(log.entries().empty()) << log.describe();
    }
}

// Where the incoming message cannot go on either - "failure" not attached, or the broker
// refusing every propagation without an exception - the node raises the entry the
// propagation logged, and the caller's unit backs out; nothing of the node's stays.
TEST(CopyFailure, MessageThatCannotGoOnIsRaised) {
    static void *factory = bipGetMessageflowNodeFactory();
    ASSERT_NE(factory, nullptr);
    const char *tree = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'6869')";
    const struct {
        Refuse what;
        bool failureAttached;
        int number;
        std::vector<std::string> inserts;
    } cases[] = {
        {Refuse::CreateMessage, false, 7, {"TREVANE_BROKER", "failure"}},
        {Refuse::CopyElementTree, false, 7, {"TREVANE_BROKER", "failure"}},
        {Refuse::Propagate, false, 8, {"TREVANE_BROKER", std::to_string(CCI_FAILURE)}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.what));
        testsupport::MessageScope scope;
        testsupport::TestFlow flow("CannotGoOnFlow");
        flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.Status"}});
        for (const char *sink : {"out", "notFound", "failure"}) {
            if (std::string(sink) == "failure" && !c.failureAttached) {
                continue;
            }
            flow.node("TestSink", sink);
            flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
        }
        CciMessage *message = scope.message(tree);
        CciMessage *list =
            scope.exceptionList("DatabaseException(Insert(Type=5, Text='SQLSTATE=23505'))");
        const size_t before = messagesIn(scope.context());
        testsupport::clearSinkRecords();
        testsupport::LogCapture log;

        refuse = c.what;
        const int delivered = broker::deliver(flow["trevane"], nullptr, list, message);
        refuse = Refuse::Nothing;

        ASSERT_EQ(delivered, CCI_EXCEPTION) << log.describe();
        const auto raised = testsupport::lastRaised();
        ASSERT_TRUE(raised.has_value());
        EXPECT_EQ(raised->frame.messageNumber, c.number);
        EXPECT_EQ(raised->frame.inserts, c.inserts);
        EXPECT_EQ(log.numbers(), std::vector<int>{c.number}) << log.describe();
        EXPECT_EQ(messagesIn(scope.context()), before);
        broker::clearLastException();
    }
}

} // namespace
