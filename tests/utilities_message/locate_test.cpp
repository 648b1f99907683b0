// Path location, well-known elements, body removal and sibling searches, against the
// stand-in broker's trees. Expectations are written in the test support's tree
// notation, so a failure prints the tree that was compared.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"
#include "trace/retcodes.h"
#include "utilities/locate.h"

using testsupport::child;
using testsupport::dumpChildren;
using testsupport::dumpMessage;

namespace {

constexpr const char *XML_MESSAGE = "Properties, MQMD(Format='MQSTR   ', MsgId=X'01'), XML(doc(A))";
constexpr const char *BLOB_MESSAGE = "Properties, MQMD(Format='MQSTR   ', MsgId=X'01'), "
                                     "BLOB(BLOB=X'6869')";

class Locate : public ::testing::Test {
protected:
    CciElement *root(CciMessage *m) {
        int rc = 0;
        return cniRootElement(&rc, m);
    }
    CciElement *environmentRoot(CciMessage *m) {
        int rc = 0;
        return cniRootElement(&rc, cniGetEnvironmentMessage(&rc, m));
    }
    std::string environment(CciMessage *m) { return dumpChildren(environmentRoot(m)); }

    testsupport::MessageScope scope_;
};

TEST_F(Locate, RootAndEnvironmentAloneAnswerTheirRootsAndLeaveTheFlag) {
    CciMessage *m = scope_.message(XML_MESSAGE);
    bool_t created = 5;
    EXPECT_EQ(locateElementInMessage(m, u"Root", TRUE, nullptr, &created), root(m));
    EXPECT_EQ(created, 5);
    EXPECT_EQ(locateElementInMessage(m, u"Environment", TRUE, nullptr, &created),
              environmentRoot(m));
    EXPECT_EQ(created, 5);
}

TEST_F(Locate, XmlPathOnBlobMessageReplacesBodyAndCreatesNameThenNameValue) {
    CciMessage *m = scope_.message(std::string(BLOB_MESSAGE) + ", Trailer");
    bool_t created = FALSE;
    CciElement *b = locateElementInMessage(m, u"Root.XML.A.B", TRUE, nullptr, &created);
    ASSERT_NE(b, nullptr) << dumpMessage(m);
    EXPECT_TRUE(created);
    EXPECT_EQ(dumpMessage(m), "Properties, MQMD(Format='MQSTR   ', MsgId=X'01'), "
                              "XML(A(B[NAME_VALUE]))");
    EXPECT_EQ(child(root(m), "XML.A.B"), b);
}

TEST_F(Locate, CreateFalseFindsNothingAndChangesNothing) {
    CciMessage *m = scope_.message(BLOB_MESSAGE);
    bool_t created = TRUE;
    EXPECT_EQ(locateElementInMessage(m, u"Root.XML.A.B", FALSE, nullptr, &created), nullptr);
    EXPECT_FALSE(created);
    EXPECT_EQ(dumpMessage(m), BLOB_MESSAGE);
}

TEST_F(Locate, ExistingBodyAndParentOnlyLastSegmentCreated) {
    CciMessage *m = scope_.message(XML_MESSAGE);
    bool_t created = FALSE;
    CciElement *b = locateElementInMessage(m, u"Root.XML.doc.A.B", TRUE, nullptr, &created);
    ASSERT_NE(b, nullptr) << dumpMessage(m);
    EXPECT_TRUE(created);
    EXPECT_EQ(dumpChildren(root(m)),
              "Properties, MQMD(Format='MQSTR   ', MsgId=X'01'), XML(doc(A(B[NAME_VALUE])))");

    created = TRUE;
    EXPECT_EQ(locateElementInMessage(m, u"Root.XML.doc.A.B", TRUE, nullptr, &created), b);
    EXPECT_FALSE(created) << "an element that was there is not reported as created";
}

// A given kind applies to every segment; value elements are created without a name.
TEST_F(Locate, GivenKindAppliesToEverySegment) {
    const struct {
        elementType_t kind;
        const char *expected;
    } cases[] = {
        {ELEMENT_TYPE_VALUE, "MQMD, [VALUE]([VALUE])"},
        {ELEMENT_TYPE_NAME, "MQMD, P(Q)"},
        {ELEMENT_TYPE_NAME_VALUE, "MQMD, P[NAME_VALUE](Q[NAME_VALUE])"},
    };
    for (const auto &c : cases) {
        CciMessage *m = scope_.message("MQMD");
        bool_t created = FALSE;
        EXPECT_NE(locateElementInMessage(m, u"Root.P.Q", TRUE, &c.kind, &created), nullptr);
        EXPECT_TRUE(created);
        EXPECT_EQ(dumpMessage(m), c.expected);
    }
}

TEST_F(Locate, XmlBelowTheMqmdIsAPlainElement) {
    CciMessage *m = scope_.message(BLOB_MESSAGE);
    EXPECT_NE(locateElementInMessage(m, u"Root.MQMD.XML", TRUE, nullptr, nullptr), nullptr);
    EXPECT_EQ(dumpMessage(m), "Properties, MQMD(Format='MQSTR   ', MsgId=X'01', "
                              "XML[NAME_VALUE]), BLOB(BLOB=X'6869')");
}

TEST_F(Locate, BlobFirstSegmentMakesABodyByTheNoneParser) {
    CciMessage *m = scope_.message(XML_MESSAGE);
    CciElement *blob = locateElementInMessage(m, u"Root.BLOB", TRUE, nullptr, nullptr);
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(child(root(m), "BLOB"), blob);
    EXPECT_EQ(dumpMessage(m).rfind("Properties, MQMD(Format='MQSTR   ', MsgId=X'01'), BLOB(", 0),
              0u)
        << dumpMessage(m);
}

TEST_F(Locate, EnvironmentBodyLeavesTheMessageBodyAlone) {
    CciMessage *m = scope_.message(BLOB_MESSAGE);
    bool_t created = FALSE;
    EXPECT_NE(locateElementInMessage(m, u"Environment.XML.A", TRUE, nullptr, &created), nullptr);
    EXPECT_TRUE(created);
    EXPECT_EQ(dumpMessage(m), BLOB_MESSAGE);
    EXPECT_EQ(environment(m), "XML(A[NAME_VALUE])");
}

TEST_F(Locate, EnvironmentPathsResolveBelowTheEnvironmentRoot) {
    CciMessage *m = scope_.message(XML_MESSAGE);
    CciElement *code =
        locateElementInMessage(m, u"Environment.Variables.Code", TRUE, nullptr, nullptr);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(environment(m), "Variables(Code[NAME_VALUE])");
    EXPECT_EQ(locateElementInMessage(m, u"Environment.Variables.Code", FALSE, nullptr, nullptr),
              code);
}

// Paths that name no root, or whose rest a fixed working copy cannot hold, resolve to
// nothing and leave the message as it was.
TEST_F(Locate, PathsBeyondTheRootRulesYieldNullAndCreateNothing) {
    const std::u16string tooLong = u"Root." + std::u16string(257, u'a');
    const std::u16string fits = u"Root." + std::u16string(256, u'a');
    const struct {
        std::u16string path;
        bool resolves;
    } cases[] = {
        {u"Fred.A", false}, {u"RootXYZ", false}, {u"EnvironmentX", false},
        {tooLong, false},   {u"root.A", false},  {u"Rootx.A", true},
        {fits, true},
    };
    for (const auto &c : cases) {
        CciMessage *m = scope_.message(XML_MESSAGE);
        CciElement *found = locateElementInMessage(m, c.path.c_str(), TRUE, nullptr, nullptr);
        const std::string path(c.path.begin(), c.path.end());
        if (c.resolves) {
            EXPECT_NE(found, nullptr) << path;
        } else {
            EXPECT_EQ(found, nullptr) << path;
            EXPECT_EQ(dumpMessage(m), XML_MESSAGE) << path;
        }
    }
    EXPECT_EQ(locateElementInMessage(scope_.message(), nullptr, TRUE, nullptr, nullptr), nullptr);
}

TEST_F(Locate, RootxPathResolvesBelowTheRoot) {
    CciMessage *m = scope_.message("MQMD");
    CciElement *a = locateElementInMessage(m, u"Rootx.A", TRUE, nullptr, nullptr);
    EXPECT_EQ(child(root(m), "A"), a) << dumpMessage(m);
}

TEST_F(Locate, DeleteMessageBodyKeepsPropertiesAndMqmd) {
    CciMessage *m = scope_.message("Properties, MQMD(Format='MQHRF2  '), MQRFH2(mcd), XML(a)");
    EXPECT_EQ(deleteMessageBody(m), TT_SUCCESS);
    EXPECT_EQ(dumpMessage(m), "Properties, MQMD(Format='MQHRF2  ')");
}

TEST_F(Locate, DeleteMessageBodyWithoutMqmdKeepsTheBody) {
    CciMessage *m = scope_.message("Properties, BLOB");
    EXPECT_EQ(deleteMessageBody(m), TT_FAILED_TO_GET_MESSAGE_MQMD);
    EXPECT_EQ(dumpMessage(m), "Properties, BLOB");
}

TEST_F(Locate, GetMessageElementAddressesTheWellKnownElements) {
    CciMessage *m = scope_.message(
        "Properties, MQMD(MsgId=X'01', CorrelId=X'02', ReplyToQ='Q', ReplyToQMgr='QM', "
        "PutApplName='app'), XML(doc), Destination(MQDestinationList(DestinationData(n='1'), "
        "DestinationData(n='2')))");
    CciElement *r = root(m);
    const struct {
        matchType_t match;
        const char *path;
    } cases[] = {
        {MQMD, "MQMD"},
        {MESSAGE_ID, "MQMD.MsgId"},
        {CORREL_ID, "MQMD.CorrelId"},
        {REPLY_TO_QUEUE, "MQMD.ReplyToQ"},
        {REPLY_TO_QUEUE_MANAGER, "MQMD.ReplyToQMgr"},
        {PUT_APPL_NAME, "MQMD.PutApplName"},
        {DESTINATION, "Destination"},
        {MQ_DESTINATION_LIST, "Destination.MQDestinationList"},
        {DESTINATION_DATA, "Destination.MQDestinationList.DestinationData"},
        {BODY, "Destination"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(getMessageElement(m, c.match), child(r, c.path)) << c.path;
    }
    EXPECT_EQ(getMessageElement(m, static_cast<matchType_t>(42)), nullptr);

    CciMessage *bare = scope_.message("MQMD(Format='MQSTR   ')");
    for (matchType_t match : {MESSAGE_ID, DESTINATION, MQ_DESTINATION_LIST, DESTINATION_DATA}) {
        EXPECT_EQ(getMessageElement(bare, match), nullptr) << match;
    }
}

TEST_F(Locate, BodyIsTheLastChildOnlyWhenItHasAName) {
    CciMessage *named = scope_.message(XML_MESSAGE);
    CciMessage *unnamed = scope_.message("MQMD, [NAME]");
    EXPECT_EQ(getMessageElement(named, BODY), child(root(named), "XML"));
    EXPECT_EQ(getMessageElement(unnamed, BODY), nullptr) << dumpMessage(unnamed);
    EXPECT_EQ(getMessageElement(scope_.message(), BODY), nullptr);
}

TEST_F(Locate, SiblingSearchesFindTheFirstMatchOfTheChain) {
    CciMessage *m = scope_.message("A, B(C), C(x), C(y)");
    CciElement *a = child(root(m), "A");
    CciElement *b = child(root(m), "B");
    CciElement *c = child(root(m), "C");
    const struct {
        CciElement *start;
        const char16_t *name;
        CciElement *expected;
    } cases[] = {
        {a, u"A", a}, {a, u"C", c}, {b, u"A", nullptr}, {a, u"D", nullptr}, {a, nullptr, nullptr},
    };
    for (const auto &k : cases) {
        EXPECT_EQ(findChild(k.start, k.name), k.expected);
        EXPECT_EQ(findElementInTree(k.start, k.name), k.expected);
    }
}

} // namespace
