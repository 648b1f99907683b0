// The node's whole job, through the stand-in broker and the real libtrevane.so: where
// each message goes, what the copy carries, which log entries are written, and that the
// node's own message never outlives the call.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "broker/tree.h"
#include "tests/support/support.h"

using testsupport::LogCapture;
using testsupport::sinkRecords;

namespace {

// Root(Properties, MQMD, XML body) with an element of each kind the store can meet.
constexpr const char *XML_MESSAGE =
    "Properties, MQMD(Format='XML     '), "
    "XML(doc(Empty, Holder(Inner='x'), Existing='old', Valued('v')))";
constexpr const char *BLOB_MESSAGE = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'6869')";

std::string databaseException(const std::string &text) {
    return "RecoverableException(Text='Node threw', DatabaseException(Number=2322, "
           "Insert(Type=5, Text='" +
           text + "')))";
}
const std::string FOUND = databaseException("[DB2] SQL0803N duplicate key SQLSTATE=23505");

size_t messagesIn(CciMessageContext *context) {
    size_t count = 0;
    for (CciMessage *m = context->firstMessage; m != nullptr; m = m->nextInContext) {
        ++count;
    }
    return count;
}

class Evaluate : public ::testing::Test {
protected:
    static void SetUpTestSuite() { broker::loadPlugin(TREVANE_PLUGIN_PATH); }

    // trevane, with sinks "out", "notFound" and "failure" on its terminals.
    void makeFlow(std::optional<std::string> copyValueTo) {
        if (copyValueTo) {
            flow_.node("TrevaneNode", "trevane", {{"CopyValueTo", *copyValueTo}});
        } else {
            flow_.node("TrevaneNode", "trevane");
        }
        flow_.node("TestSink", "out");
        flow_.node("TestSink", "notFound");
        flow_.node("TestSink", "failure");
        flow_.connect("trevane.out -> out.in");
        flow_.connect("trevane.notFound -> notFound.in");
        flow_.connect("trevane.failure -> failure.in");
    }
    // "out=1 notFound=0 failure=0": where messages went.
    std::string counts() {
        return "out=" + std::to_string(sinkRecords("out").size()) +
               " notFound=" + std::to_string(sinkRecords("notFound").size()) +
               " failure=" + std::to_string(sinkRecords("failure").size());
    }
    int deliver(const char *tree, const std::string &exceptions) {
        return flow_.deliver("trevane", scope_.message(tree), scope_.exceptionList(exceptions));
    }

    testsupport::MessageScope scope_;
    testsupport::TestFlow flow_{"EvaluateFlow"};
    LogCapture log_;
};

TEST_F(Evaluate, WithoutDatabaseExceptionMessageGoesToNotFoundUnchanged) {
    makeFlow("Root.Status");
    const std::string lists[] = {
        "",
        databaseException("sqlstate=23505"),
        databaseException("connection refused"),
        "RecoverableException(Insert(Type=5, Text='SQLSTATE=23505'))",
        "RecoverableException, DatabaseException(Insert(Type=5, Text='SQLSTATE=23505'))",
    };
    size_t expected = 0;
    for (const std::string &list : lists) {
        ASSERT_EQ(deliver(XML_MESSAGE, list), CCI_SUCCESS) << list;
        ++expected;
        const auto records = sinkRecords("notFound");
        ASSERT_EQ(records.size(), expected) << list << "\n" << counts();
        EXPECT_EQ(records.back().message, XML_MESSAGE) << list;
        EXPECT_EQ(records.back().exceptionList, list) << "the list goes on with the message";
    }
    EXPECT_EQ(counts(), "out=0 notFound=5 failure=0");
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
}

// Where the code lands for each CopyValueTo, and in which form.
TEST_F(Evaluate, StoresCodeAtTheQualifiedPathOfTheCopy) {
    const struct {
        const char *copyValueTo;
        const char *tree;
        const char *expected; // the copy's tree; "..." stands for the XML body's doc
    } cases[] = {
        {"Root.Status", XML_MESSAGE, "XML(doc(...), Status='23505')"},
        {"Root.XML.Status", XML_MESSAGE, "XML(doc(...), Status='23505')"},
        {"Root.a.b", XML_MESSAGE, "XML(doc(...), a(b='23505'))"},
        {"Root.MQMD.Status", XML_MESSAGE, "MQMD(Format='XML     ', Status='23505')"},
        {"Root.Properties.Status", XML_MESSAGE, "Properties(Status='23505')"},
        {"Root.XML.doc.Existing", XML_MESSAGE, "Existing='23505'"},
        {"Root.XML.doc.Valued", XML_MESSAGE, "Valued('23505')"},
        {"Root.XML.doc.Empty", XML_MESSAGE, "Empty(23505)"},
        {"Root.Status", BLOB_MESSAGE, "BLOB(BLOB=X'6869'), Status=23505"},
        {"Root.MQMD.Status", BLOB_MESSAGE, "MQMD(Format='MQSTR   ', Status=23505)"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.copyValueTo) + " on " + c.tree);
        log_.clear();
        testsupport::TestFlow flow("StoreFlow");
        flow.node("TrevaneNode", "trevane", {{"CopyValueTo", c.copyValueTo}});
        flow.node("TestSink", "out");
        flow.connect("trevane.out -> out.in");
        ASSERT_EQ(flow.deliver("trevane", scope_.message(c.tree), scope_.exceptionList(FOUND)),
                  CCI_SUCCESS);
        const auto records = sinkRecords("out");
        ASSERT_EQ(records.size(), 1u) << log_.describe();
        std::string copy = records[0].message;
        const std::string doc = "doc(Empty, Holder(Inner='x'), Existing='old', Valued('v'))";
        std::string expected = c.expected;
        if (size_t at = expected.find("doc(...)"); at != std::string::npos) {
            expected.replace(at, 8, doc);
        }
        EXPECT_NE(copy.find(expected), std::string::npos) << copy;
        EXPECT_TRUE(log_.entries().empty()) << log_.describe();
    }
}

TEST_F(Evaluate, IncomingMessageIsNeverChanged) {
    makeFlow("Root.XML.doc.Existing");
    CciMessage *m = scope_.message(XML_MESSAGE);
    ASSERT_EQ(flow_.deliver("trevane", m, scope_.exceptionList(FOUND)), CCI_SUCCESS);
    EXPECT_EQ(counts(), "out=1 notFound=0 failure=0");
    EXPECT_EQ(testsupport::dumpMessage(m), XML_MESSAGE);
}

TEST_F(Evaluate, NameElementWithNameValueChildIsUnsuitableLog14) {
    makeFlow("Root.XML.doc.Holder");
    ASSERT_EQ(deliver(XML_MESSAGE, FOUND), CCI_SUCCESS);
    ASSERT_EQ(counts(), "out=0 notFound=0 failure=1");
    EXPECT_EQ(sinkRecords("failure")[0].message, XML_MESSAGE) << "the incoming message goes on";
    const auto entries = log_.entries();
    ASSERT_EQ(entries.size(), 1u) << log_.describe();
    EXPECT_EQ(entries[0].messageSource, "OSTRINV2_trevane");
    EXPECT_EQ(entries[0].messageNumber, 14);
    EXPECT_EQ(entries[0].logType, CCI_LOG_ERROR);
    EXPECT_EQ(entries[0].function, "evaluateTrevane");
    EXPECT_EQ(entries[0].traceText,
              "The specified element for storing the SQLCODE value is not suitable for this "
              "operation.  The syntax element is 'Root.XML.doc.Holder'");
    ASSERT_EQ(entries[0].inserts.size(), 4u) << log_.describe();
    EXPECT_EQ(entries[0].inserts[1], "CopyValueTo");
    EXPECT_EQ(entries[0].inserts[2], "'TrevaneNode'");
    EXPECT_EQ(entries[0].inserts[3], "Root.XML.doc.Holder");
}

TEST_F(Evaluate, NodeWithoutCopyValueToLogs11ForEveryMessage) {
    makeFlow(std::nullopt);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(deliver(XML_MESSAGE, FOUND), CCI_SUCCESS);
    }
    EXPECT_EQ(counts(), "out=0 notFound=0 failure=2");
    const auto entries = log_.entries();
    ASSERT_EQ(log_.numbers(), (std::vector<int>{11, 11})) << log_.describe();
    for (const auto &e : entries) {
        EXPECT_EQ(e.traceText, "Failed to locate specified syntax element '' in message");
        EXPECT_EQ(e.function, "evaluateTrevane");
        ASSERT_EQ(e.inserts.size(), 3u) << log_.describe();
        EXPECT_EQ(e.inserts[1], "CopyValueTo");
        EXPECT_EQ(e.inserts[2], "");
    }
}

TEST_F(Evaluate, InvalidCopyValueToKeepsThePreviousPath) {
    makeFlow("Root.Status");
    EXPECT_THROW(broker::setProperty(flow_["trevane"], "CopyValueTo", "Environment.x"),
                 broker::Error);
    log_.clear();
    ASSERT_EQ(deliver(BLOB_MESSAGE, FOUND), CCI_SUCCESS);
    const auto records = sinkRecords("out");
    ASSERT_EQ(records.size(), 1u) << counts() << "\n" << log_.describe();
    EXPECT_EQ(records[0].message, std::string(BLOB_MESSAGE) + ", Status=23505");
}

TEST_F(Evaluate, UnattachedFailureTerminalLogsBothEntries) {
    flow_.node("TrevaneNode", "trevane");
    ASSERT_EQ(deliver(XML_MESSAGE, FOUND), CCI_SUCCESS);
    EXPECT_EQ(log_.numbers(), (std::vector<int>{11, 7})) << log_.describe();
}

// With nothing on "failure", the broker hands the exception back to the caller.
TEST_F(Evaluate, ExceptionBehindOutReachesTheBrokerAndTheCopyIsGone) {
    flow_.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.Status"}});
    flow_.node("TestSink", "out", {{"raise", "0 Downstream node refused the message"}});
    flow_.connect("trevane.out -> out.in");
    CciMessage *m = scope_.message(XML_MESSAGE);
    CciMessage *list = scope_.exceptionList(FOUND);
    const size_t before = messagesIn(scope_.context());
    ASSERT_EQ(flow_.deliver("trevane", m, list), CCI_EXCEPTION);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->frame.traceText, "Downstream node refused the message");
    EXPECT_EQ(messagesIn(scope_.context()), before) << "the node's copy was deleted";
    EXPECT_TRUE(sinkRecords("out").empty());
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
}

TEST_F(Evaluate, EveryOutcomeLeavesNoMessageOfTheNodeBehind) {
    const struct {
        const char *copyValueTo;
        std::string list;
        const char *outcome;
    } cases[] = {
        {"Root.Status", FOUND, "out=1 notFound=0 failure=0"},
        {"Root.XML.doc.Holder", FOUND, "out=0 notFound=0 failure=1"},
        {"Root.Status", "", "out=0 notFound=1 failure=0"},
    };
    for (const auto &c : cases) {
        testsupport::TestFlow flow("OutcomeFlow");
        flow.node("TrevaneNode", "trevane", {{"CopyValueTo", c.copyValueTo}});
        for (const char *sink : {"out", "notFound", "failure"}) {
            flow.node("TestSink", sink);
            flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
        }
        CciMessage *m = scope_.message(XML_MESSAGE);
        CciMessage *list = scope_.exceptionList(c.list);
        const size_t before = messagesIn(scope_.context());
        ASSERT_EQ(flow.deliver("trevane", m, list), CCI_SUCCESS);
        EXPECT_EQ(counts(), c.outcome);
        EXPECT_EQ(messagesIn(scope_.context()), before) << c.copyValueTo;
    }
}

} // namespace
