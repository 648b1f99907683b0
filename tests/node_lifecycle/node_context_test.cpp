// Node instances as the broker drives them: the class registered by the entry point,
// contexts created per node with their flow registered once, the instance list and its
// count, CopyValueTo checked and kept, labels, deletion with log entry 9, and the
// exceptions for classes that are not this plug-in's. The plug-in's modules are linked
// in; the broker is the stand-in library.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "broker/host.h"
#include "broker/nodes.h"
#include "broker/text.h"
#include "node/trevane.h"
#include "plugin/plugin.h"
#include "portability/unicode.h"
#include "tests/support/support.h"

using testsupport::LogCapture;
using testsupport::TestFlow;

namespace {

std::string utf8(const CciChar *text) {
    if (!text) {
        return "<null>";
    }
    return broker::toUtf8(broker::view16(text));
}

nodeContext_t *contextOf(CciNode *node) {
    return static_cast<nodeContext_t *>(broker::nodeContext(node));
}

std::string copyLocation(CciNode *node) {
    const CciChar *location = currentCopyLocation(contextOf(node)->deployedEntry);
    return location ? utf8(location) : "<none>";
}

std::string join(const std::vector<std::string> &items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i ? " | " : "") + items[i];
    }
    return text;
}

/* The entry point runs once per process, as the broker would call it after loading. */
class PlugInLoaded : public ::testing::Environment {
public:
    void SetUp() override {
        // Log entries are read back through LogCapture; the log's own lines are not needed.
        broker::setLogStream(fopen("/dev/null", "w"));
        auto raised = testsupport::raisedBy([] { factory = bipGetMessageflowNodeFactory(); });
        ASSERT_FALSE(raised) << raised->text;
        ASSERT_NE(factory, nullptr);
    }
    static inline void *factory = nullptr;
};
const auto *const environment = ::testing::AddGlobalTestEnvironment(new PlugInLoaded);

TEST(NodeClass, SlotsPointToTheNodeOperations) {
    broker::NodeClass found;
    ASSERT_TRUE(broker::findClass("TrevaneNode", found));
    EXPECT_EQ(std::string(found.table.identifier, 4), "NVFT");
    EXPECT_EQ(found.table.version, 1);
    EXPECT_EQ(found.table.iFpCreateContext, &createNodeContext);
    EXPECT_EQ(found.table.iFpDeleteContext, &deleteNodeContext);
    EXPECT_EQ(found.table.iFpGetAttributeName, &getAttributeName);
    EXPECT_EQ(found.table.iFpSetAttribute, &setAttribute);
    EXPECT_EQ(found.table.iFpGetAttribute, &getAttribute);
    EXPECT_EQ(found.table.iFpEvaluate, &evaluate);
    for (void *slot : found.table.reserved) {
        EXPECT_EQ(slot, nullptr);
    }
}

/* The first `count` entries of the instance list, as node names. */
std::vector<std::string> firstInstances(const std::vector<CciNode *> &nodes, size_t count) {
    std::vector<std::string> names;
    for (deployedTrevane_t *entryP = trevaneAnchorP->next; entryP && names.size() < count;
         entryP = entryP->next) {
        std::string name = "?";
        for (CciNode *node : nodes) {
            if (contextOf(node)->deployedEntry == entryP) {
                name = broker::nodeName(node);
            }
        }
        names.push_back(name);
        EXPECT_EQ(entryP->prev->next, entryP) << "back link of " << name;
    }
    return names;
}

TEST(NodeInstances, CountFollowsCreationAndDeletionAndTheListStaysLinked) {
    const int32_t base = numTrevaneNodes;
    TestFlow flow("CountFlow");
    CciNode *a = flow.node("TrevaneNode", "a");
    EXPECT_EQ(numTrevaneNodes, base + 1);
    CciNode *b = flow.node("TrevaneNode", "b");
    EXPECT_EQ(numTrevaneNodes, base + 2);
    CciNode *c = flow.node("TrevaneNode", "c");
    EXPECT_EQ(numTrevaneNodes, base + 3);
    EXPECT_EQ(firstInstances({a, b, c}, 3), (std::vector<std::string>{"c", "b", "a"}));
    EXPECT_EQ(contextOf(c)->deployedEntry->prev, trevaneAnchorP);

    broker::deleteNode(b);
    EXPECT_EQ(numTrevaneNodes, base + 2);
    EXPECT_EQ(firstInstances({a, c}, 2), (std::vector<std::string>{"c", "a"}));
    EXPECT_EQ(contextOf(a)->deployedEntry->prev, contextOf(c)->deployedEntry);

    broker::deleteNode(c);
    EXPECT_EQ(numTrevaneNodes, base + 1);
    EXPECT_EQ(contextOf(a)->deployedEntry->prev, trevaneAnchorP);
    broker::deleteNode(a);
    EXPECT_EQ(numTrevaneNodes, base);
}

TEST(NodeInstances, NodesOfOneFlowShareOneRegistryRecordAndANewFlowGoesFirst) {
    TestFlow first("RegistryFlowOne");
    CciNode *a = first.node("TrevaneNode", "a");
    CciNode *b = first.node("TrevaneNode", "b");
    messageFlow_t *record = findMessageFlow(u"RegistryFlowOne", &messageFlowAnchor);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(contextOf(a)->flowName, record->flowName);
    EXPECT_EQ(contextOf(b)->flowName, record->flowName);
    int records = 0;
    for (messageFlow_t *entryP = messageFlowAnchor.next; entryP; entryP = entryP->next) {
        records += UCcmp(entryP->flowName, u"RegistryFlowOne") == 0;
    }
    EXPECT_EQ(records, 1);

    TestFlow second("RegistryFlowTwo");
    second.node("TrevaneNode", "c");
    ASSERT_NE(messageFlowAnchor.next, nullptr);
    EXPECT_EQ(utf8(messageFlowAnchor.next->flowName), "RegistryFlowTwo");
    EXPECT_EQ(messageFlowAnchor.next->next, record);
}

TEST(NodeInstances, BrokerNamesAreTakenOnceFromTheFirstNode) {
    broker::BrokerIdentity original = broker::brokerIdentity();
    TestFlow flow("NamesFlow");
    flow.node("TrevaneNode", "first");
    EXPECT_STREQ(brokerName, original.brokerName.c_str());
    EXPECT_STREQ(executionGroupName, original.executionGroupName.c_str());
    EXPECT_STREQ(queueManagerName, original.queueManagerName.c_str());

    broker::setBrokerIdentity({"ANOTHER_BROKER", "another", "ANOTHER_QM"});
    flow.node("TrevaneNode", "second");
    broker::setBrokerIdentity(original);
    EXPECT_STREQ(brokerName, original.brokerName.c_str()) << "never refreshed";
}

TEST(NodeInstances, NodeHasItsTerminalsAndItsAttributes) {
    TestFlow flow("ShapeFlow");
    CciNode *node = flow.node("TrevaneNode", "n");
    EXPECT_EQ(broker::inputTerminals(node), (std::vector<std::string>{"in"}));
    EXPECT_EQ(broker::outputTerminals(node),
              (std::vector<std::string>{"out", "failure", "notFound"}));
    nodeContext_t *contextP = contextOf(node);
    EXPECT_EQ(contextP->nodeType, 1);
    EXPECT_EQ(utf8(contextP->nodeName), "TrevaneNode");
    EXPECT_EQ(getOutputTerminalHandle(contextP, u"failure"),
              broker::outputTerminal(node, "failure"));

    std::vector<std::string> names;
    for (attributeTableEntry_t *entryP = contextP->attributeTable; entryP; entryP = entryP->nextP) {
        names.push_back(utf8(entryP->name) + (entryP->isCustom ? "*" : "") + ":" +
                        std::to_string(entryP->type));
    }
    EXPECT_EQ(join(names), "traceFilter:12 | userTraceFilter:12 | traceLevel:12 | "
                           "userTraceLevel:12 | label:12 | CopyValueTo*:12");
}

struct CopyValueCase {
    const char *value;
    bool valid;
};

TEST(CopyValueTo, AcceptsRootPathsAndRefusesOthersWithException12) {
    const CopyValueCase cases[] = {
        {"Root.a", true},
        {"Root.XML.a", true},
        {"Root.MQMD.x", true},
        {"Root.Status", true},
        {"Root.", false},
        {"Root", false},
        {"root.a", false},
        {"Environment.a", false},
        {"Root.XML", false},
        {"Root.XML.", false},
        {"", false},
        {"Rootx.a", false},
        // Every segment must be a name an XML element can have.
        {"Root.XML.outer.Status", true},
        {"Root.a-b.c_d.e1", true},
        {"Root.p:outer", true},
        {"Root.caf\xc3\xa9", true},
        {"Root.\xe6\x97\xa5\xe6\x9c\xac", true},
        {"Root.a b", false},
        {"Root.1abc", false},
        {"Root.a<b", false},
        {"Root.*", false},
        {"Root.a[1]", false},
        {"Root..a", false},
        {"Root.a.", false},
        {"Root.-a", false},
        {"Root.a&b", false},
        {"Root.a\tb", false},
        {"Root.XML..a", false},
        {"Root.a/b", false},
    };
    TestFlow flow("CopyValueFlow");
    int n = 0;
    for (const CopyValueCase &c : cases) {
        CciNode *node = flow.node("TrevaneNode", "n" + std::to_string(n++),
                                  {{"label", "lbl"}, {"CopyValueTo", "Root.previous"}});
        try {
            broker::setProperty(node, "CopyValueTo", c.value);
            EXPECT_TRUE(c.valid) << "'" << c.value << "' was accepted";
            EXPECT_EQ(copyLocation(node), c.value);
        } catch (const broker::Error &error) {
            EXPECT_FALSE(c.valid) << "'" << c.value << "' was refused: " << error.what();
            auto raised = testsupport::lastRaised();
            ASSERT_TRUE(raised);
            EXPECT_EQ(raised->frame.messageNumber, 12) << c.value;
            EXPECT_EQ(raised->frame.type, 2);
            EXPECT_EQ(raised->frame.function, "processAttribute");
            EXPECT_EQ(raised->frame.messageSource, "OSTRINV2_trevane");
            EXPECT_EQ(raised->frame.traceText,
                      "The syntax element name specified in the CopyValueTo property of node "
                      "TrevaneNode(lbl) is invalid. Valid names must begin with 'Root.' or "
                      "'Root.XML.'");
            EXPECT_EQ(join(raised->frame.inserts),
                      std::string(brokerName) + " | CopyValueTo | TrevaneNode(lbl)");
            EXPECT_EQ(copyLocation(node), "Root.previous") << "after '" << c.value << "'";
            EXPECT_EQ(broker::getProperty(node, "CopyValueTo").value_or("<none>"), c.value)
                << "the attribute table keeps what the broker set";
        }
    }
}

// Text that was not UTF-8 reaches the node with U+FFFD in place of the bytes; no element
// is named so, and a path holding it is refused.
TEST(CopyValueTo, PathThatWasNotUtf8IsRefused) {
    TestFlow flow("NotUtf8Flow");
    CciNode *node = flow.node("TrevaneNode", "n", {{"CopyValueTo", "Root.previous"}});
    for (const char *value :
         {"Root.a\xff", "Root.\xc3", "Root.a.\xed\xa0\x80", "Root.\xef\xbf\xbd"}) {
        EXPECT_THROW(broker::setProperty(node, "CopyValueTo", value), broker::Error);
        auto raised = testsupport::lastRaised();
        ASSERT_TRUE(raised);
        EXPECT_EQ(raised->frame.messageNumber, 12);
        EXPECT_EQ(copyLocation(node), "Root.previous");
    }
    // A lone surrogate cannot come through UTF-8; it is refused when it reaches the node.
    const CciChar lone[] = {u'R', u'o', u'o', u't', u'.', u'a', 0xD800, u'b', 0};
    EXPECT_FALSE(isValidCopyLocation(lone, 8));
    const CciChar pair[] = {u'R', u'o', u'o', u't', u'.', 0xD840, 0xDC00, 0};
    EXPECT_TRUE(isValidCopyLocation(pair, 7));
}

TEST(CopyValueTo, UnlabelledNodeIsNamedNullInTheException) {
    TestFlow flow("NullLabelFlow");
    CciNode *node = flow.node("TrevaneNode", "n");
    EXPECT_THROW(broker::setProperty(node, "CopyValueTo", "Environment.x"), broker::Error);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised);
    EXPECT_EQ(join(raised->frame.inserts),
              std::string(brokerName) + " | CopyValueTo | TrevaneNode(null)");
    EXPECT_EQ(copyLocation(node), "<none>");
}

// The node holds at most 256 characters of path: a longer one could never be used, so it
// is refused like any other unusable path and the previous location stays.
TEST(CopyValueTo, ValueOver256CharactersIsRefusedWithException12) {
    TestFlow flow("LongValueFlow");
    CciNode *node = flow.node("TrevaneNode", "n", {{"CopyValueTo", "Root.previous"}});
    std::string longest = "Root." + std::string(251, 'a'); // 256 characters
    std::string tooLong = longest + "b";
    for (const std::string &value : {tooLong, "x" + tooLong, "Root.a." + std::string(1000, 'c')}) {
        EXPECT_THROW(broker::setProperty(node, "CopyValueTo", value), broker::Error);
        auto raised = testsupport::lastRaised();
        ASSERT_TRUE(raised);
        EXPECT_EQ(raised->frame.messageNumber, 12);
        EXPECT_EQ(copyLocation(node), "Root.previous");
    }
    EXPECT_NO_THROW(broker::setProperty(node, "CopyValueTo", longest));
    EXPECT_EQ(copyLocation(node), longest);
}

TEST(CopyValueTo, ReplacedLocationStaysReadableUntilTheNodeIsDeleted) {
    TestFlow flow("ReplaceFlow");
    CciNode *node = flow.node("TrevaneNode", "n", {{"CopyValueTo", "Root.one"}});
    const CciChar *seenByEvaluation = currentCopyLocation(contextOf(node)->deployedEntry);
    broker::setProperty(node, "CopyValueTo", "Root.two");
    broker::setProperty(node, "CopyValueTo", "Root.three");
    // An evaluation that started before the replacements still reads its text.
    EXPECT_EQ(utf8(seenByEvaluation), "Root.one");
    EXPECT_EQ(copyLocation(node), "Root.three");
    broker::deleteNode(node); // frees current and replaced locations (ASan: no leak)
}

TEST(Labels, DeletionLogs9WithTheLabelOrNull) {
    struct Case {
        std::vector<std::string> labels;
        std::string shown;
    } cases[] = {{{}, "null"}, {{"myLabel"}, "myLabel"}, {{"one", "two", "three"}, "three"}};
    for (const Case &c : cases) {
        TestFlow flow("LabelFlow");
        CciNode *node = flow.node("TrevaneNode", "n");
        for (const std::string &label : c.labels) {
            broker::setProperty(node, "label", label); // replaced labels are freed
        }
        LogCapture log;
        broker::deleteNode(node);
        auto entries = log.withNumber(9);
        ASSERT_EQ(entries.size(), 1u) << log.describe();
        EXPECT_EQ(entries[0].logType, CCI_LOG_INFORMATION);
        EXPECT_EQ(entries[0].function, "deleteNodeContext()");
        EXPECT_EQ(entries[0].messageSource, "OSTRINV2_trevane");
        EXPECT_EQ(entries[0].traceText,
                  "Successfully deleted node context for TrevaneNode (" + c.shown + ")");
        EXPECT_EQ(join(entries[0].inserts),
                  std::string(brokerName) + " | TrevaneNode | " + c.shown);
    }
}

TEST(Labels, OverLongLabelIsCutInExceptionAndLog) {
    TestFlow flow("LongLabelFlow");
    std::string label(3000, 'L');
    CciNode *node = flow.node("TrevaneNode", "n", {{"label", label}});
    EXPECT_THROW(broker::setProperty(node, "CopyValueTo", "Root"), broker::Error);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised);
    const std::string prefix = "The syntax element name specified in the CopyValueTo property "
                               "of node TrevaneNode(LLLL";
    EXPECT_EQ(raised->frame.traceText.substr(0, prefix.size()), prefix);
    EXPECT_LE(raised->frame.traceText.size(), 1999u);
    ASSERT_EQ(raised->frame.inserts.size(), 3u);
    EXPECT_LE(raised->frame.inserts[2].size(), 999u);
    EXPECT_EQ(raised->frame.inserts[2].substr(0, 16), "TrevaneNode(LLLL");

    LogCapture log;
    broker::deleteNode(node);
    auto entries = log.withNumber(9);
    ASSERT_EQ(entries.size(), 1u) << log.describe();
    EXPECT_EQ(entries[0].inserts.at(2), std::string(256, 'L'));
}

TEST(UnrecognisedClass, CreateRaisesException5AndKeepsNothing) {
    const int32_t base = numTrevaneNodes;
    CciChar className[] = u"OtherNode";
    void *context = reinterpret_cast<void *>(1);
    auto raised = testsupport::raisedBy([&] {
        context =
            createNodeContext(static_cast<CciFactory *>(PlugInLoaded::factory), className, nullptr);
    });
    ASSERT_TRUE(raised) << "no exception; context " << context;
    EXPECT_EQ(raised->frame.messageNumber, 5);
    EXPECT_EQ(raised->frame.type, 0);
    EXPECT_EQ(raised->frame.function, "createNodeContext()");
    EXPECT_EQ(raised->frame.traceText, "Unrecognised node ('OtherNode') passed to createContext()");
    EXPECT_EQ(join(raised->frame.inserts), std::string(brokerName) + " | 'OtherNode'");
    EXPECT_EQ(context, reinterpret_cast<void *>(1)) << "no context returned";
    EXPECT_EQ(numTrevaneNodes, base);
}

TEST(UnrecognisedClass, EvaluateRaisesException4) {
    CciChar className[] = u"Stranger";
    nodeContext_t stranger{};
    stranger.nodeName = className;
    auto raised = testsupport::raisedBy([&] { evaluate(&stranger, nullptr, nullptr, nullptr); });
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->frame.messageNumber, 4);
    EXPECT_EQ(raised->frame.type, 0);
    EXPECT_EQ(raised->frame.function, "evaluate");
    EXPECT_EQ(raised->frame.traceText, "Unrecognised node ('Stranger') passed to evaluate()");
    EXPECT_EQ(join(raised->frame.inserts), std::string(brokerName) + " | 'Stranger'");
}

} // namespace
