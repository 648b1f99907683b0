// Message copy, element creation, body kind and format, and propagation through a
// TrevaneNode's terminals in a flow of the stand-in broker (log entries 6, 7 and 8, a
// downstream exception and the trace of its text).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "node/extractCode.h"
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

std::string traceText() {
    std::ifstream in(traceFilePath);
    std::stringstream trace;
    trace << in.rdbuf();
    return trace.str();
}

constexpr const char *XML_MESSAGE = "Properties, MQMD(Format='XML     '), XML(doc(Status='ok'))";
constexpr const char *BLOB_MESSAGE = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'6869')";

CciElement *root(CciMessage *m) {
    int rc = 0;
    return cniRootElement(&rc, m);
}

TEST(Messages, CopiesReplaceTheTargetTreeOrCopyNothing) {
    testsupport::MessageScope scope;
    CciMessage *source = scope.message(XML_MESSAGE);
    CciMessage *target = scope.message(BLOB_MESSAGE);
    EXPECT_EQ(copyMessage(target, source), TT_SUCCESS);
    EXPECT_EQ(dumpMessage(target), XML_MESSAGE);
    EXPECT_EQ(copyMessage(nullptr, source), TT_FAILED_TO_GET_MESSAGE_ROOT);
    EXPECT_EQ(copyMessage(source, nullptr), TT_FAILED_TO_GET_MESSAGE_ROOT);

    CciMessage *made = createNewMessage(source);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(dumpMessage(made), XML_MESSAGE);
    int rc = 0;
    EXPECT_EQ(cniGetMessageContext(&rc, made), scope.context());
    EXPECT_EQ(createNewMessage(nullptr), nullptr);
}

// Value elements made as children have no name; siblings are always named; a type
// outside the three is still set.
TEST(Messages, ChildAndSiblingCreation) {
    testsupport::MessageScope scope;
    CciElement *r = root(scope.message("Anchor"));
    CciElement *anchor = child(r, "Anchor");
    EXPECT_EQ(dump(createChildElement(r, u"Named", CCI_ELEMENT_TYPE_VALUE)), "[VALUE]");
    EXPECT_EQ(dump(createChildElement(r, u"U", 0x7)), "U[0x00000007]");
    CciElement *sibling = createSiblingElement(anchor, u"Named", CCI_ELEMENT_TYPE_VALUE);
    EXPECT_EQ(dump(sibling), "Named[VALUE]");
    EXPECT_EQ(dump(createSiblingElement(sibling, nullptr, CCI_ELEMENT_TYPE_NAME)), "[NAME]");
    int rc = 0;
    EXPECT_EQ(cniNextSibling(&rc, anchor), sibling);
    EXPECT_EQ(createChildElement(nullptr, u"X", CCI_ELEMENT_TYPE_NAME), nullptr);
}

TEST(Messages, BodyIsXmlOnlyForAnXmlParserBodyLast) {
    testsupport::MessageScope scope;
    EXPECT_TRUE(messageBodyIsXML(scope.message(XML_MESSAGE)));
    for (const char *tree : {BLOB_MESSAGE, "", "MQMD, XML(a), Trailer", "MQMD, XML[NAME]"}) {
        EXPECT_FALSE(messageBodyIsXML(scope.message(tree))) << tree;
    }
}

// The format field is always written as 8 characters, a short format blank-padded.
TEST(Messages, SetMessageFormatWritesEightCharactersOrSaysWhatIsMissing) {
    testsupport::MessageScope scope;
    CciMessage *m = scope.message(XML_MESSAGE);
    EXPECT_EQ(setMessageFormat(m, u"XML"), TT_SUCCESS);
    EXPECT_EQ(testsupport::valueOf(child(root(m), "MQMD.Format")), "XML     ");
    EXPECT_EQ(setMessageFormat(scope.message("XML(a)"), u"MQSTR   "),
              TT_FAILED_TO_GET_MESSAGE_MQMD);
    EXPECT_EQ(setMessageFormat(scope.message("MQMD(MsgId=X'01')"), u"MQSTR   "),
              TT_FAILED_TO_GET_MESSAGE_FORMAT);
    EXPECT_EQ(setMessageFormat(m, nullptr), TT_FAILED_TO_SET_FORMAT_IN_MESSAGE);
}

// A TrevaneNode (the plug-in linked in) whose "out" goes to a sink and whose "notFound"
// goes to a sink that raises an exception; "failure" is left unconnected.
class Propagate : public ::testing::Test {
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
    int propagate(const char16_t *terminal, CciMessage *message) {
        auto *context = static_cast<nodeContext_t *>(broker::nodeContext(flow_["trevane"]));
        return propagateMessage(context, terminal, message, nullptr, nullptr, FALSE);
    }

    testsupport::MessageScope scope_;
    testsupport::TestFlow flow_{"PropagateFlow"};
    testsupport::LogCapture log_;
};

// Each failure is logged once, with the broker name first, and is no success.
TEST_F(Propagate, TerminalMissingUnattachedOrRefusedIsLogged) {
    const struct {
        const char16_t *terminal;
        bool validMessage;
        int result;
        int number;
        std::string text;
        std::string insert;
    } cases[] = {
        {u"Out", true, TT_TERMINAL_DOES_NOT_EXIST, 6,
         "Requested terminal Out does not exist in message flow", "Out"},
        {u"failure", true, TT_TERMINAL_NOT_ATTACHED, 7,
         "Requested terminal failure is not attached in message flow", "failure"},
        {u"out", false, TT_PROPAGATION_ERROR, 8, "Failed to propagate message (rc=3)", "3"},
    };
    for (const auto &c : cases) {
        log_.clear();
        EXPECT_EQ(propagate(c.terminal, c.validMessage ? scope_.message(XML_MESSAGE) : nullptr),
                  c.result);
        const auto entries = log_.entries();
        ASSERT_EQ(entries.size(), 1u) << log_.describe();
        EXPECT_EQ(entries[0].messageSource, "OSTRINV2_trevane");
        EXPECT_EQ(entries[0].messageNumber, c.number);
        EXPECT_EQ(entries[0].logType, CCI_LOG_ERROR);
        EXPECT_EQ(entries[0].function, "propagateMessage()");
        EXPECT_EQ(entries[0].traceText, c.text);
        EXPECT_EQ(entries[0].inserts, (std::vector<std::string>{brokerName, c.insert}));
    }
    EXPECT_TRUE(testsupport::sinkRecords("out").empty());
}

TEST_F(Propagate, DownstreamExceptionIsReportedNotLoggedAndItsTextTraced) {
    EXPECT_EQ(propagate(u"notFound", scope_.message(XML_MESSAGE)), TT_PROPAGATION_EXCEPTION);
    EXPECT_TRUE(log_.entries().empty()) << log_.describe();
    const std::string trace = traceText();
    EXPECT_NE(trace.find("Exception text is 'Downstream node refused the message'"),
              std::string::npos)
        << trace;
}

// A database message longer than a trace line is traced (cut by the trace), and the
// search goes on with the whole text.
TEST(TracedSearch, LongInsertTextIsTracedCut) {
    testsupport::MessageScope scope;
    const std::string text = std::string(10000, 'x') + " SQLSTATE=23505";
    CciChar *message = nullptr;
    int code = 0;
    ASSERT_TRUE(getSQLError(scope.exceptionList("DatabaseException(Insert(Text='" + text + "'))"),
                            &message, &code));
    free(message);
    EXPECT_EQ(code, 23505);
    const std::string trace = traceText();
    const size_t at = trace.find("Extracted Text value: 'xxx");
    EXPECT_NE(at, std::string::npos) << trace.substr(0, 3000);
}

} // namespace
