// Message copy, element creation, body kind and format, and propagation through a
// TrevaneNode's terminals in a flow of the stand-in broker (log entries 6, 7 and 8, a
// downstream exception and the trace of its text).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "broker/tree.h"
#include "node/trevane.h"
#include "tests/support/support.h"
#include "trace/retcodes.h"
#include "utilities/body.h"
#include "utilities/message.h"

using testsupport::child;
using testsupport::dump;
using testsupport::dumpMessage;

// The trace file this process writes (set up by main before any trace record).
extern std::string traceFilePath;

namespace {

constexpr const char *XML_MESSAGE = "Properties, MQMD(Format='XML     '), XML(doc(Status='ok'))";
constexpr const char *BLOB_MESSAGE = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'6869')";

std::string traceText() {
    std::ifstream in(traceFilePath);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t messagesIn(CciMessageContext *context) {
    size_t count = 0;
    for (CciMessage *m = context->firstMessage; m != nullptr; m = m->nextInContext) {
        ++count;
    }
    return count;
}

CciElement *root(CciMessage *m) {
    int rc = 0;
    return cniRootElement(&rc, m);
}

class Messages : public ::testing::Test {
protected:
    testsupport::MessageScope scope_;
};

TEST_F(Messages, CopyMessageReplacesTheTargetTree) {
    CciMessage *target = scope_.message(BLOB_MESSAGE);
    EXPECT_EQ(copyMessage(target, scope_.message(XML_MESSAGE)), TT_SUCCESS);
    EXPECT_EQ(dumpMessage(target), XML_MESSAGE);
}

TEST_F(Messages, CopyMessageWithoutRootCopiesNothing) {
    CciMessage *source = scope_.message(XML_MESSAGE);
    EXPECT_EQ(copyMessage(nullptr, source), TT_FAILED_TO_GET_MESSAGE_ROOT);
    EXPECT_EQ(copyMessage(source, nullptr), TT_FAILED_TO_GET_MESSAGE_ROOT);
    EXPECT_EQ(dumpMessage(source), XML_MESSAGE);
}

TEST_F(Messages, CreateNewMessageCopiesIntoTheSameContext) {
    CciMessage *source = scope_.message(XML_MESSAGE);
    const size_t before = messagesIn(scope_.context());
    CciMessage *copy = createNewMessage(source);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(messagesIn(scope_.context()), before + 1);
    EXPECT_EQ(dumpMessage(copy), XML_MESSAGE);
    int rc = 0;
    cniDeleteMessage(&rc, copy);
    EXPECT_EQ(createNewMessage(nullptr), nullptr);
    EXPECT_EQ(messagesIn(scope_.context()), before);
}

TEST_F(Messages, ChildAndSiblingCreationNameAndTypeAsAsked) {
    CciMessage *m = scope_.message("Anchor");
    CciElement *r = root(m);
    CciElement *anchor = child(r, "Anchor");
    const struct {
        const char *what;
        CciElement *element;
        const char *expected;
    } cases[] = {
        {"value child is unnamed", createChildElement(r, u"Named", CCI_ELEMENT_TYPE_VALUE),
         "[VALUE]"},
        {"name child", createChildElement(r, u"N", CCI_ELEMENT_TYPE_NAME), "N"},
        {"null name", createChildElement(r, nullptr, CCI_ELEMENT_TYPE_NAME_VALUE), "[NAME_VALUE]"},
        {"unknown type is set", createChildElement(r, u"U", 0x7), "U[0x00000007]"},
        {"value sibling is named", createSiblingElement(anchor, u"Named", CCI_ELEMENT_TYPE_VALUE),
         "Named[VALUE]"},
        {"null sibling name", createSiblingElement(anchor, nullptr, CCI_ELEMENT_TYPE_NAME),
         "[NAME]"},
    };
    for (const auto &c : cases) {
        ASSERT_NE(c.element, nullptr) << c.what;
        EXPECT_EQ(dump(c.element), c.expected) << c.what;
    }
    int rc = 0;
    EXPECT_EQ(cniNextSibling(&rc, anchor), cases[5].element) << "siblings go right after";
    EXPECT_EQ(createChildElement(nullptr, u"X", CCI_ELEMENT_TYPE_NAME), nullptr);
    EXPECT_EQ(createSiblingElement(nullptr, u"X", CCI_ELEMENT_TYPE_NAME), nullptr);
}

TEST_F(Messages, BodyIsXmlOnlyForAnXmlParserBodyLast) {
    const struct {
        const char *tree;
        bool_t xml;
    } cases[] = {
        {XML_MESSAGE, TRUE},
        {BLOB_MESSAGE, FALSE},
        {"", FALSE},
        {"MQMD, XML(a), Trailer", FALSE},
        {"MQMD, XML[NAME]", FALSE},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(messageBodyIsXML(scope_.message(c.tree)), c.xml) << c.tree;
    }
    EXPECT_FALSE(messageBodyIsXML(nullptr));
}

TEST_F(Messages, SetMessageFormatWritesEightCharacters) {
    const struct {
        std::u16string format;
        const char *stored;
    } cases[] = {
        {u"MQHRF2  ", "MQHRF2  "},
        {u"XML", "XML     "},
        {u"", "        "},
        {u"LONGERTHAN8", "LONGERTH"},
    };
    for (const auto &c : cases) {
        CciMessage *m = scope_.message(XML_MESSAGE);
        EXPECT_EQ(setMessageFormat(m, c.format.c_str()), TT_SUCCESS);
        EXPECT_EQ(testsupport::valueOf(child(root(m), "MQMD.Format")), c.stored);
    }
}

TEST_F(Messages, SetMessageFormatReportsWhatIsMissing) {
    EXPECT_EQ(setMessageFormat(scope_.message("XML(a)"), u"MQSTR   "),
              TT_FAILED_TO_GET_MESSAGE_MQMD);
    EXPECT_EQ(setMessageFormat(scope_.message("MQMD(MsgId=X'01')"), u"MQSTR   "),
              TT_FAILED_TO_GET_MESSAGE_FORMAT);
    EXPECT_EQ(setMessageFormat(scope_.message(XML_MESSAGE), nullptr),
              TT_FAILED_TO_SET_FORMAT_IN_MESSAGE);
}

// A TrevaneNode (the plug-in linked in) whose "out" goes to a sink and whose "notFound"
// goes to a sink that raises an exception; "failure" is left unconnected.
class Propagate : public Messages {
protected:
    static void SetUpTestSuite() {
        static void *factory = bipGetMessageflowNodeFactory();
        ASSERT_NE(factory, nullptr);
    }
    void SetUp() override {
        flow_.node("TrevaneNode", "trevane");
        flow_.node("TestSink", "out");
        flow_.node("TestSink", "raiser", {{"raise", "3 Downstream node refused the message"}});
        flow_.connect("trevane.out -> out.in");
        flow_.connect("trevane.notFound -> raiser.in");
    }
    nodeContext_t *context() {
        return static_cast<nodeContext_t *>(broker::nodeContext(flow_["trevane"]));
    }

    testsupport::TestFlow flow_{"PropagateFlow"};
    testsupport::LogCapture log_;
};

TEST_F(Propagate, AttachedTerminalDeliversAndLogsNothing) {
    EXPECT_EQ(
        propagateMessage(context(), u"out", scope_.message(XML_MESSAGE), nullptr, nullptr, TRUE),
        TT_SUCCESS);
    const auto records = testsupport::sinkRecords("out");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].message, XML_MESSAGE);
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
}

TEST_F(Propagate, MissingTerminalLogsMessage6) {
    EXPECT_EQ(
        propagateMessage(context(), u"Out", scope_.message(XML_MESSAGE), nullptr, nullptr, FALSE),
        TT_TERMINAL_DOES_NOT_EXIST);
    EXPECT_TRUE(testsupport::sinkRecords("out").empty());
    const auto entries = log_.entries();
    ASSERT_EQ(entries.size(), 1u) << log_.describe();
    EXPECT_EQ(entries[0].messageSource, "OSTRINV2_trevane");
    EXPECT_EQ(entries[0].messageNumber, 6);
    EXPECT_EQ(entries[0].logType, CCI_LOG_ERROR);
    EXPECT_EQ(entries[0].function, "propagateMessage()");
    EXPECT_EQ(entries[0].traceText, "Requested terminal Out does not exist in message flow");
    EXPECT_EQ(entries[0].inserts, (std::vector<std::string>{brokerName, "Out"}));
}

TEST_F(Propagate, UnattachedTerminalLogsMessage7) {
    EXPECT_EQ(propagateMessage(context(), u"failure", scope_.message(XML_MESSAGE), nullptr, nullptr,
                               FALSE),
              TT_TERMINAL_NOT_ATTACHED);
    const auto entries = log_.entries();
    ASSERT_EQ(entries.size(), 1u) << log_.describe();
    EXPECT_EQ(entries[0].messageNumber, 7);
    EXPECT_EQ(entries[0].traceText, "Requested terminal failure is not attached in message flow");
    EXPECT_EQ(entries[0].inserts, (std::vector<std::string>{brokerName, "failure"}));
}

TEST_F(Propagate, RefusedPropagationLogsMessage8AndIsNoSuccess) {
    EXPECT_EQ(propagateMessage(context(), u"out", nullptr, nullptr, nullptr, FALSE),
              TT_PROPAGATION_ERROR);
    const auto entries = log_.entries();
    ASSERT_EQ(entries.size(), 1u) << log_.describe();
    EXPECT_EQ(entries[0].messageNumber, 8);
    EXPECT_EQ(entries[0].traceText,
              "Failed to propagate message (rc=" + entries[0].inserts.at(1) + ")");
    EXPECT_NE(entries[0].inserts.at(1), "0");
}

TEST_F(Propagate, DownstreamExceptionIsReportedNotLoggedAndItsTextTraced) {
    EXPECT_EQ(propagateMessage(context(), u"notFound", scope_.message(XML_MESSAGE), nullptr,
                               nullptr, FALSE),
              TT_PROPAGATION_EXCEPTION);
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
    const std::string trace = traceText();
    EXPECT_NE(trace.find("Caught an exception"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Exception text is 'Downstream node refused the message'"),
              std::string::npos)
        << trace;
}

} // namespace
