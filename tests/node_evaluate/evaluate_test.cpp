// The node's whole job, through the stand-in broker and the real libtrevane.so: where
// each message goes, what the copy carries, which log entries are written, and that the
// incoming message is never changed and the node's own message never outlives the call.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "broker/tree.h"
#include "tests/support/support.h"

using testsupport::sinkRecords;

namespace {

constexpr const char *DOC = "doc(Empty, Holder(Inner='x'), Existing='old', Valued('v'))";
const std::string XML_MESSAGE =
    std::string("Properties, MQMD(Format='XML     '), XML(") + DOC + ")";
const std::string BLOB_MESSAGE = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'6869')";

std::string databaseException(const std::string &text) {
    return "RecoverableException(Text='Node threw', DatabaseException(Number=2322, "
           "Insert(Type=5, Text='" +
           text + "')))";
}
const std::string FOUND = databaseException("[DB2] SQL0803N duplicate key SQLSTATE=23505");

class Evaluate : public ::testing::Test {
protected:
    static void SetUpTestSuite() { broker::loadPlugin(TREVANE_PLUGIN_PATH); }

    // trevane, with sinks "out", "notFound" and "failure" on its terminals unless
    // `outRaises` (then only "out", a node that raises an exception).
    void makeFlow(std::optional<std::string> copyValueTo, bool outRaises = false) {
        flow_.node("TrevaneNode", "trevane");
        if (copyValueTo) {
            broker::setProperty(flow_["trevane"], "CopyValueTo", *copyValueTo);
        }
        if (outRaises) {
            flow_.node("TestSink", "out", {{"raise", "0 Downstream node refused the message"}});
            flow_.connect("trevane.out -> out.in");
            return;
        }
        for (const char *sink : {"out", "notFound", "failure"}) {
            flow_.node("TestSink", sink);
            flow_.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
        }
    }
    // Delivers a message of `tree` with an exception list of `list`; checks that the
    // incoming message is unchanged and that no message of the node is left behind.
    int deliver(const std::string &tree, const std::string &list, CciNode *node = nullptr) {
        CciMessage *message = scope_.message(tree);
        CciMessage *exceptions = scope_.exceptionList(list);
        const size_t before = messagesInContext();
        const int result =
            broker::deliver(node ? node : flow_["trevane"], nullptr, exceptions, message);
        EXPECT_EQ(testsupport::dumpMessage(message), tree) << "the incoming message changed";
        EXPECT_EQ(messagesInContext(), before) << "a message of the node was left behind";
        return result;
    }
    size_t messagesInContext() {
        size_t count = 0;
        for (CciMessage *m = scope_.context()->firstMessage; m; m = m->nextInContext) {
            ++count;
        }
        return count;
    }
    std::string counts() {
        return "out=" + std::to_string(sinkRecords("out").size()) +
               " notFound=" + std::to_string(sinkRecords("notFound").size()) +
               " failure=" + std::to_string(sinkRecords("failure").size());
    }

    testsupport::MessageScope scope_;
    testsupport::TestFlow flow_{"EvaluateFlow"};
    testsupport::LogCapture log_;
};

TEST_F(Evaluate, WithoutDatabaseExceptionMessageGoesToNotFoundUnchanged) {
    makeFlow("Root.Status");
    const std::string lists[] = {"", databaseException("sqlstate=23505")};
    for (const std::string &list : lists) {
        ASSERT_EQ(deliver(XML_MESSAGE, list), CCI_SUCCESS) << list;
        ASSERT_FALSE(sinkRecords("notFound").empty()) << list;
        EXPECT_EQ(sinkRecords("notFound").back().message, XML_MESSAGE) << list;
        EXPECT_EQ(sinkRecords("notFound").back().exceptionList, list);
    }
    EXPECT_EQ(counts(), "out=0 notFound=2 failure=0");
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
}

// Where the code lands for each CopyValueTo, and in which form: text in an XML
// message, an integer otherwise and always in a new value child of a bare name element.
TEST_F(Evaluate, StoresCodeAtTheQualifiedPathOfTheCopy) {
    const std::string xmlHead = "Properties, MQMD(Format='XML     '), ";
    const struct {
        const char *copyValueTo;
        const std::string &tree;
        std::string copy;
    } cases[] = {
        {"Root.Status", XML_MESSAGE, xmlHead + "XML(" + DOC + ", Status='23505')"},
        {"Root.XML.Status", XML_MESSAGE, xmlHead + "XML(" + DOC + ", Status='23505')"},
        {"Root.a.b", XML_MESSAGE, xmlHead + "XML(" + DOC + ", a(b='23505'))"},
        {"Root.MQMD.Status", XML_MESSAGE,
         "Properties, MQMD(Format='XML     ', Status='23505'), XML(" + std::string(DOC) + ")"},
        {"Root.Properties.Status", XML_MESSAGE,
         "Properties(Status='23505'), MQMD(Format='XML     '), XML(" + std::string(DOC) + ")"},
        {"Root.XML.doc.Existing", XML_MESSAGE,
         xmlHead + "XML(doc(Empty, Holder(Inner='x'), Existing='23505', Valued('v')))"},
        {"Root.XML.doc.Valued", XML_MESSAGE,
         xmlHead + "XML(doc(Empty, Holder(Inner='x'), Existing='old', Valued('23505')))"},
        {"Root.XML.doc.Empty", XML_MESSAGE,
         xmlHead + "XML(doc(Empty(23505), Holder(Inner='x'), Existing='old', Valued('v')))"},
        {"Root.Status", BLOB_MESSAGE, BLOB_MESSAGE + ", Status=23505"},
        {"Root.MQMD.Status", BLOB_MESSAGE,
         "Properties, MQMD(Format='MQSTR   ', Status=23505), BLOB(BLOB=X'6869')"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.copyValueTo);
        if (flow_["trevane"] == nullptr) {
            makeFlow(c.copyValueTo);
        } else {
            broker::setProperty(flow_["trevane"], "CopyValueTo", c.copyValueTo);
        }
        testsupport::clearSinkRecords();
        log_.clear();
        ASSERT_EQ(deliver(c.tree, FOUND), CCI_SUCCESS);
        ASSERT_EQ(counts(), "out=1 notFound=0 failure=0") << log_.describe();
        EXPECT_EQ(sinkRecords("out")[0].message, c.copy);
        EXPECT_TRUE(log_.entries().empty()) << log_.describe();
    }
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
    EXPECT_EQ(entries[0].inserts,
              (std::vector<std::string>{"TREVANE_BROKER", "CopyValueTo", "'TrevaneNode'",
                                        "Root.XML.doc.Holder"}));
}

// Requests as a queue delivers them: an element holding only text gets the code as its
// whole content; one whose text is mixed with elements is unsuitable (entry 14) and the
// request goes on unchanged through "failure".
TEST_F(Evaluate, TargetWithMixedContentIsUnsuitable) {
    makeFlow("Root.outer.Status");
    const struct {
        const char *body;
        const char *terminal;
        const char *reaches; /* what arrives there, in part */
    } cases[] = {
        {"<outer><Status>x</Status></outer>", "out", "XML(outer(Status('42704')))"},
        {"<outer><Status/></outer>", "out", "Status("},
        {"<outer><Status>x<b/>y</Status></outer>", "failure", "XML(outer(Status('x', b, 'y')))"},
        {"<outer><Status><deep>1</deep></Status></outer>", "failure", "deep"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.body);
        testsupport::clearSinkRecords();
        log_.clear();
        CciMessage *request = scope_.input(c.body);
        CciMessage *list =
            scope_.exceptionList(databaseException("[SQLite] no such table SQLSTATE=42704"));
        ASSERT_EQ(broker::deliver(flow_["trevane"], nullptr, list, request), CCI_SUCCESS);
        const auto records = sinkRecords(c.terminal);
        ASSERT_EQ(records.size(), 1u) << counts() << log_.describe();
        EXPECT_NE(records[0].message.find(c.reaches), std::string::npos) << records[0].message;
        EXPECT_EQ(log_.numbers(),
                  std::string(c.terminal) == "out" ? std::vector<int>{} : std::vector<int>{14});
    }
}

TEST_F(Evaluate, NodeWithoutCopyValueToLogs11ForEveryMessage) {
    makeFlow(std::nullopt);
    ASSERT_EQ(deliver(XML_MESSAGE, FOUND), CCI_SUCCESS);
    ASSERT_EQ(deliver(BLOB_MESSAGE, FOUND), CCI_SUCCESS);
    EXPECT_EQ(counts(), "out=0 notFound=0 failure=2");
    ASSERT_EQ(log_.numbers(), (std::vector<int>{11, 11})) << log_.describe();
    for (const auto &e : log_.entries()) {
        EXPECT_EQ(e.traceText, "Failed to locate specified syntax element '' in message");
        EXPECT_EQ(e.inserts, (std::vector<std::string>{"TREVANE_BROKER", "CopyValueTo", ""}));
    }
}

// A message the node can send nowhere is not dropped. When the terminal it is meant for
// is not attached, the node raises its own log entry (or, without one, the propagation's)
// as an exception, which the broker hands upstream; the entries are still logged.
TEST_F(Evaluate, MessageThatCanGoNowhereIsRaisedWithTheLoggedEntry) {
    const struct {
        const char *name;
        const char *copyValueTo; /* null: never set */
        std::initializer_list<const char *> attached;
        std::string list;
        std::vector<int> logged;
        std::vector<std::string> inserts; /* of the raised exception */
    } cases[] = {
        {"unsuitable element, no failure",
         "Root.XML.doc.Holder",
         {"out", "notFound"},
         FOUND,
         {14, 7},
         {"TREVANE_BROKER", "CopyValueTo", "'TrevaneNode'", "Root.XML.doc.Holder"}},
        {"element holding elements, no failure",
         "Root.XML.doc",
         {"out", "notFound"},
         FOUND,
         {14, 7},
         {"TREVANE_BROKER", "CopyValueTo", "'TrevaneNode'", "Root.XML.doc"}},
        {"no path, no failure",
         nullptr,
         {"out", "notFound"},
         FOUND,
         {11, 7},
         {"TREVANE_BROKER", "CopyValueTo", ""}},
        {"no code, no notFound", "Root.Status", {"out"}, "", {7}, {"TREVANE_BROKER", "notFound"}},
        {"code stored, no out", "Root.Status", {"notFound"}, FOUND, {7}, {"TREVANE_BROKER", "out"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TestFlow flow("NowhereFlow");
        flow.node("TrevaneNode", "trevane");
        if (c.copyValueTo != nullptr) {
            broker::setProperty(flow["trevane"], "CopyValueTo", c.copyValueTo);
        }
        for (const char *sink : c.attached) {
            flow.node("TestSink", sink);
            flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
        }
        testsupport::clearSinkRecords();
        log_.clear();
        ASSERT_EQ(deliver(XML_MESSAGE, c.list, flow["trevane"]), CCI_EXCEPTION) << log_.describe();
        EXPECT_EQ(counts(), "out=0 notFound=0 failure=0");
        EXPECT_EQ(log_.numbers(), c.logged) << log_.describe();
        auto raised = testsupport::lastRaised();
        ASSERT_TRUE(raised.has_value());
        const auto entries = log_.entries();
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(raised->frame.messageNumber, entries[0].messageNumber);
        EXPECT_EQ(raised->frame.messageSource, "OSTRINV2_trevane");
        EXPECT_EQ(raised->frame.type, CCI_RECOVERABLE_EXCEPTION);
        EXPECT_EQ(raised->frame.traceText, entries[0].traceText);
        EXPECT_EQ(raised->frame.inserts, c.inserts);
        EXPECT_EQ(entries[0].inserts, c.inserts);
    }
}

// With "failure" attached, the broker sends the exception the node raised for a missing
// "notFound" or "out" there, with the incoming message.
TEST_F(Evaluate, MessageWithoutItsTerminalGoesToFailureWithTheException) {
    for (const char *missing : {"notFound", "out"}) {
        SCOPED_TRACE(missing);
        testsupport::TestFlow flow("MissingTerminalFlow");
        flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.Status"}});
        flow.node("TestSink", "failure");
        flow.connect("trevane.failure -> failure.in");
        testsupport::clearSinkRecords();
        const std::string list = std::string(missing) == "out" ? FOUND : "";
        ASSERT_EQ(deliver(XML_MESSAGE, list, flow["trevane"]), CCI_SUCCESS);
        const auto failures = sinkRecords("failure");
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].message, XML_MESSAGE);
        EXPECT_NE(failures[0].exceptionList.find("Requested terminal " + std::string(missing) +
                                                 " is not attached"),
                  std::string::npos)
            << failures[0].exceptionList;
    }
}

// With nothing on "failure", the broker hands the exception back to the caller; the
// node deleted its copy before raising it again.
TEST_F(Evaluate, ExceptionBehindOutReachesTheBrokerAndTheCopyIsGone) {
    makeFlow("Root.Status", /*outRaises=*/true);
    ASSERT_EQ(deliver(XML_MESSAGE, FOUND), CCI_EXCEPTION);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->frame.traceText, "Downstream node refused the message");
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
}

} // namespace
