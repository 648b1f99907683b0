// Terminal lists: terminals created on the broker's node object, kept newest first, and
// found by exact name in the list of their direction only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "broker/host.h"
#include "plugin/plugin.h"
#include "tests/support/support.h"

namespace {

std::string names(const terminalListEntry_t *entryP) {
    std::string text;
    for (; entryP; entryP = entryP->nextP) {
        for (const CciChar *c = entryP->terminalName; *c; ++c) {
            text += static_cast<char>(*c);
        }
        text += entryP->nextP ? " " : "";
    }
    return text;
}

/* A context whose terminals live on a real broker node (a sink node of a test flow). */
class TerminalLists : public ::testing::Test {
protected:
    testsupport::TestFlow flow{"TerminalFlow"};
    CciNode *host = flow.node("TestSink", "host");
    nodeContext_t context{};

    void SetUp() override { context.nodeObject = host; }
    void TearDown() override { deleteAllTerminalListEntries(&context); }
};

TEST_F(TerminalLists, OutputListRunsNewestFirstAndLookUpIsExact) {
    insertInputTerminalListEntry(&context, u"in");
    for (const char16_t *name : {u"out", u"failure", u"notFound"}) {
        ASSERT_NE(insertOutputTerminalListEntry(&context, name), nullptr);
    }
    EXPECT_EQ(names(context.outputTerminals), "notFound failure out");
    EXPECT_EQ(names(context.inputTerminals), "in");

    CciTerminal *failure = getOutputTerminalHandle(&context, u"failure");
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure, broker::outputTerminal(host, "failure"));
    EXPECT_EQ(failure, context.outputTerminals->nextP->terminalObject);
    EXPECT_EQ(getOutputTerminalHandle(&context, u"Out"), nullptr) << "names match exactly";
    EXPECT_EQ(getOutputTerminalHandle(&context, u"in"), nullptr) << "inputs are not outputs";
    EXPECT_EQ(getInputTerminalHandle(&context, u"out"), nullptr) << "outputs are not inputs";
    EXPECT_NE(getInputTerminalHandle(&context, u"in"), nullptr);
}

TEST_F(TerminalLists, OverLongNameIsCutTo255Units) {
    std::u16string name(300, u't');
    ASSERT_NE(insertOutputTerminalListEntry(&context, name.c_str()), nullptr);
    EXPECT_EQ(std::u16string(context.outputTerminals->terminalName), name.substr(0, 255));
}

TEST(TerminalListsWithoutNode, EntryKeepsANullHandleWhenTheBrokerRefusesTheTerminal) {
    nodeContext_t context{}; // no node object: the broker creates no terminal
    ASSERT_NE(insertOutputTerminalListEntry(&context, u"out"), nullptr);
    EXPECT_EQ(context.outputTerminals->terminalObject, nullptr);
    EXPECT_EQ(getOutputTerminalHandle(&context, u"out"), nullptr);
    deleteAllTerminalListEntries(&context);
}

} // namespace
