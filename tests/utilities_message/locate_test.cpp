// Path location, well-known elements, body removal and sibling searches, against the
// stand-in broker's trees. Expectations are written in the test support's tree notation,
// so a failure prints the tree that was compared.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/support.h"
#include "trace/retcodes.h"
#include "utilities/locate.h"

using testsupport::child;
using testsupport::dumpChildren;
using testsupport::dumpMessage;

namespace {

constexpr const char *MQMD_ = "Properties, MQMD(Format='MQSTR   ')";
const std::string XML_MESSAGE = std::string(MQMD_) + ", XML(doc(A))";
const std::string BLOB_MESSAGE = std::string(MQMD_) + ", BLOB(BLOB=X'6869')";

CciElement *root(CciMessage *m) {
    int rc = 0;
    return cniRootElement(&rc, m);
}
CciElement *environmentRoot(CciMessage *m) {
    int rc = 0;
    return cniRootElement(&rc, cniGetEnvironmentMessage(&rc, m));
}

// Each path created on a fresh message: the message and its environment afterwards.
TEST(Locate, CreatesWhatIsMissingWithBodiesOnlyDirectlyUnderARoot) {
    const struct {
        std::string before;
        const char16_t *path;
        std::string message; // the message afterwards
        const char *environment;
    } cases[] = {
        {BLOB_MESSAGE + ", Trailer", u"Root.XML.A.B",
         std::string(MQMD_) + ", XML(A(B[NAME_VALUE]))", ""},
        {XML_MESSAGE, u"Root.XML.doc.A.B", std::string(MQMD_) + ", XML(doc(A(B[NAME_VALUE])))", ""},
        {XML_MESSAGE, u"Root.BLOB", std::string(MQMD_) + ", BLOB(BLOB=X'')", ""},
        {BLOB_MESSAGE, u"Root.MQMD.XML",
         "Properties, MQMD(Format='MQSTR   ', XML[NAME_VALUE]), BLOB(BLOB=X'6869')", ""},
        {BLOB_MESSAGE, u"Environment.XML.A", BLOB_MESSAGE, "XML(A[NAME_VALUE])"},
        {XML_MESSAGE, u"Environment.Variables.Code", XML_MESSAGE, "Variables(Code[NAME_VALUE])"},
        {"MQMD", u"Rootx.A", "MQMD, A[NAME_VALUE]", ""},
    };
    for (const auto &c : cases) {
        testsupport::MessageScope scope;
        CciMessage *m = scope.message(c.before);
        bool_t created = FALSE;
        CciElement *found = locateElementInMessage(m, c.path, TRUE, nullptr, &created);
        EXPECT_NE(found, nullptr) << dumpMessage(m);
        EXPECT_TRUE(created);
        EXPECT_EQ(dumpMessage(m), c.message);
        EXPECT_EQ(dumpChildren(environmentRoot(m)), c.environment);
        // Found again, and not reported as created this time.
        EXPECT_EQ(locateElementInMessage(m, c.path, FALSE, nullptr, &created), found);
        EXPECT_FALSE(created);
    }
}

TEST(Locate, GivenKindAppliesToEverySegmentAndValuesHaveNoName) {
    const struct {
        elementType_t kind;
        const char *expected;
    } cases[] = {
        {ELEMENT_TYPE_VALUE, "MQMD, [VALUE]([VALUE])"},
        {ELEMENT_TYPE_NAME, "MQMD, P(Q)"},
        {ELEMENT_TYPE_NAME_VALUE, "MQMD, P[NAME_VALUE](Q[NAME_VALUE])"},
    };
    for (const auto &c : cases) {
        testsupport::MessageScope scope;
        CciMessage *m = scope.message("MQMD");
        EXPECT_NE(locateElementInMessage(m, u"Root.P.Q", TRUE, &c.kind, nullptr), nullptr);
        EXPECT_EQ(dumpMessage(m), c.expected);
    }
}

// Roots alone answer the roots without touching the flag; paths that name no root, or
// whose rest does not fit the 256-character working copy, resolve to nothing and leave
// the message as it was; createElement FALSE creates nothing.
TEST(Locate, RootsAloneAndRejectedPaths) {
    testsupport::MessageScope scope;
    CciMessage *m = scope.message(XML_MESSAGE);
    bool_t created = 5;
    EXPECT_EQ(locateElementInMessage(m, u"Root", TRUE, nullptr, &created), root(m));
    EXPECT_EQ(locateElementInMessage(m, u"Environment", TRUE, nullptr, &created),
              environmentRoot(m));
    EXPECT_EQ(created, 5);

    const std::u16string tooLong = u"Root." + std::u16string(257, u'a');
    for (const std::u16string &path : {std::u16string(u"Fred.A"), std::u16string(u"RootXYZ"),
                                       std::u16string(u"root.A"), tooLong}) {
        EXPECT_EQ(locateElementInMessage(m, path.c_str(), TRUE, nullptr, nullptr), nullptr)
            << std::string(path.begin(), path.end());
    }
    EXPECT_EQ(locateElementInMessage(m, u"Root.XML.X.Y", FALSE, nullptr, &created), nullptr);
    EXPECT_EQ(locateElementInMessage(m, nullptr, TRUE, nullptr, nullptr), nullptr);
    EXPECT_EQ(dumpMessage(m), XML_MESSAGE);
    EXPECT_EQ(dumpChildren(environmentRoot(m)), "");

    const std::u16string fits = u"Root." + std::u16string(256, u'a');
    EXPECT_NE(locateElementInMessage(m, fits.c_str(), TRUE, nullptr, nullptr), nullptr);
}

TEST(Locate, DeleteMessageBodyRemovesWhatFollowsTheMqmd) {
    testsupport::MessageScope scope;
    CciMessage *withMqmd =
        scope.message("Properties, MQMD(Format='MQHRF2  '), MQRFH2(mcd), XML(a)");
    CciMessage *withoutMqmd = scope.message("Properties, BLOB");
    EXPECT_EQ(deleteMessageBody(withMqmd), TT_SUCCESS);
    EXPECT_EQ(dumpMessage(withMqmd), "Properties, MQMD(Format='MQHRF2  ')");
    EXPECT_EQ(deleteMessageBody(withoutMqmd), TT_FAILED_TO_GET_MESSAGE_MQMD);
    EXPECT_EQ(dumpMessage(withoutMqmd), "Properties, BLOB");
}

TEST(Locate, GetMessageElementAddressesTheWellKnownElements) {
    testsupport::MessageScope scope;
    CciMessage *m = scope.message("Properties, MQMD(MsgId=X'01', ReplyToQMgr='QM'), XML(doc), "
                                  "Destination(MQDestinationList(DestinationData(n='1'), "
                                  "DestinationData(n='2')))");
    EXPECT_EQ(getMessageElement(m, MESSAGE_ID), child(root(m), "MQMD.MsgId"));
    EXPECT_EQ(getMessageElement(m, REPLY_TO_QUEUE_MANAGER), child(root(m), "MQMD.ReplyToQMgr"));
    EXPECT_EQ(getMessageElement(m, CORREL_ID), nullptr);
    EXPECT_EQ(getMessageElement(m, DESTINATION_DATA),
              child(root(m), "Destination.MQDestinationList.DestinationData"));
    EXPECT_EQ(getMessageElement(m, BODY), child(root(m), "Destination"));
    EXPECT_EQ(getMessageElement(scope.message("MQMD, [NAME]"), BODY), nullptr)
        << "a body without a name";
}

TEST(Locate, SiblingSearchesLookAlongTheChainOnly) {
    testsupport::MessageScope scope;
    CciMessage *m = scope.message("A, B(D), C(x), C(y)");
    CciElement *a = child(root(m), "A");
    EXPECT_EQ(findChild(a, u"C"), child(root(m), "C"));
    EXPECT_EQ(findElementInTree(a, u"C"), child(root(m), "C"));
    EXPECT_EQ(findChild(a, u"D"), nullptr);
    EXPECT_EQ(findElementInTree(a, u"D"), nullptr);
}

} // namespace
