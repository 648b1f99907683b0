// The real libtrevane.so as the broker loads it: one log entry at load, the TrevaneNode
// class with its six slots, nodes that live and die through the loaded library, and a
// library that exports nothing but its entry point.
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "broker/host.h"
#include "broker/nodes.h"
#include "tests/support/support.h"

using testsupport::LogCapture;
using testsupport::TestFlow;

namespace {

std::string join(const std::vector<std::string> &items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        text += (i ? " | " : "") + items[i];
    }
    return text;
}

class LoadedPlugIn : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        broker::setLogStream(fopen("/dev/null", "w")); // entries are read through LogCapture
        LogCapture log;
        broker::loadPlugin(TREVANE_PLUGIN_PATH);
        loadLog = new std::vector<broker::LogEntry>(log.entries());
        loadLogText = new std::string(log.describe());
    }
    static void TearDownTestSuite() {
        delete loadLog;
        delete loadLogText;
    }
    static inline std::vector<broker::LogEntry> *loadLog = nullptr;
    static inline std::string *loadLogText = nullptr;
};

TEST_F(LoadedPlugIn, LoadWritesExactlyOneInformationEntry10) {
    ASSERT_EQ(loadLog->size(), 1u) << *loadLogText;
    const broker::LogEntry &entry = loadLog->front();
    EXPECT_EQ(entry.messageNumber, 10);
    EXPECT_EQ(entry.logType, CCI_LOG_INFORMATION);
    EXPECT_EQ(entry.messageSource, "OSTRINV2_trevane");
    EXPECT_EQ(entry.function, "bipGetMessageflowNodeFactory()");
    EXPECT_EQ(entry.traceText, "Trevane Plugin Factory loading");
    EXPECT_EQ(join(entry.inserts), "TrevanePlugInFactory");
}

TEST_F(LoadedPlugIn, DefinesTrevaneNodeWithSixSlots) {
    const broker::PluginLibrary &library = broker::loadPlugin(TREVANE_PLUGIN_PATH);
    EXPECT_EQ(join(library.classes), "TrevaneNode");
    broker::NodeClass found;
    ASSERT_TRUE(broker::findClass("TrevaneNode", found));
    EXPECT_EQ(found.factory, library.factory);
    EXPECT_EQ(std::string(found.table.identifier, 4), "NVFT");
    EXPECT_EQ(found.table.version, 1);
    EXPECT_NE(found.table.iFpCreateContext, nullptr);
    EXPECT_NE(found.table.iFpDeleteContext, nullptr);
    EXPECT_NE(found.table.iFpGetAttributeName, nullptr);
    EXPECT_NE(found.table.iFpSetAttribute, nullptr);
    EXPECT_NE(found.table.iFpGetAttribute, nullptr);
    EXPECT_NE(found.table.iFpEvaluate, nullptr);
    for (void *slot : found.table.reserved) {
        EXPECT_EQ(slot, nullptr);
    }
}

TEST_F(LoadedPlugIn, NodeIsConfiguredAndDeletedThroughTheLibrary) {
    TestFlow flow("LoadedFlow");
    CciNode *node = flow.node("TrevaneNode", "trevane", {{"label", "loaded"}});
    EXPECT_EQ(join(broker::inputTerminals(node)), "in");
    EXPECT_EQ(join(broker::outputTerminals(node)), "out | failure | notFound");
    EXPECT_EQ(broker::getProperty(node, "CopyValueTo"), std::nullopt) << "not set yet";

    broker::setProperty(node, "CopyValueTo", "Root.Status");
    EXPECT_EQ(broker::getProperty(node, "CopyValueTo").value_or("<none>"), "Root.Status");
    EXPECT_EQ(broker::getProperty(node, "label").value_or("<none>"), "loaded");

    EXPECT_THROW(broker::setProperty(node, "CopyValueTo", "Root.XML."), broker::Error);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised);
    EXPECT_EQ(raised->frame.messageNumber, 12);
    EXPECT_EQ(join(raised->frame.inserts),
              broker::brokerIdentity().brokerName + " | CopyValueTo | TrevaneNode(loaded)");

    LogCapture log;
    broker::deleteNode(node);
    EXPECT_EQ(log.numbers(), std::vector<int>{9}) << log.describe();
}

TEST_F(LoadedPlugIn, LibraryExportsOnlyItsEntryPoint) {
    std::string command = std::string("nm -D --defined-only ") + TREVANE_PLUGIN_PATH;
    FILE *pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::vector<std::string> symbols;
    char line[512];
    while (fgets(line, sizeof(line), pipe)) {
        std::string text(line);
        text.erase(text.find_last_not_of("\n") + 1);
        symbols.push_back(text.substr(text.rfind(' ') + 1));
    }
    ASSERT_EQ(pclose(pipe), 0) << command;
    EXPECT_EQ(join(symbols), "bipGetMessageflowNodeFactory");
}

} // namespace
