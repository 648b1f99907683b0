// The trace of evaluations with entry/exit records on: each propagation looks its
// terminal up by name where the trace shows it (getOutputTerminalHandle's records inside
// propagateMessage's), and the search shows one record pair per element it tests. Runs
// alone in its executable: the trace specification is read once per process, at the first
// record.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "broker/host.h"
#include "tests/support/support.h"

namespace {

/* The record texts of the file, indentation and the "|" of middle records removed. */
std::vector<std::string> records(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, 3, "|  ") == 0) {
            lines.push_back(line.substr(start + 3));
        } else if (start != std::string::npos) {
            lines.push_back(line.substr(start));
        }
    }
    return lines;
}

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(EvaluateTrace, PropagationsShowTheirTerminalLookUpAndTheSearchEveryElement) {
    const std::string path =
        ::testing::TempDir() + "trevane_evaluate_" + std::to_string(getpid()) + ".trc";
    const std::string traceSetting = "-f " + path + " -l TRACE_ENTRY_EXIT|TRACE_INFO -c";
    ASSERT_EQ(setenv("TREVANE_PLUGIN_TRACE", traceSetting.c_str(), 1), 0);
    broker::loadPlugin(TREVANE_PLUGIN_PATH);

    testsupport::MessageScope scope;
    testsupport::TestFlow flow{"EvaluateTraceFlow"};
    flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.Status"}});
    for (const char *sink : {"out", "notFound"}) {
        flow.node("TestSink", sink);
        flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
    }
    const std::string tree = "Properties, MQMD(Format='XML     '), XML(doc('x'))";
    // Four elements before the DatabaseException, which is the fifth.
    const std::string list = "RecoverableException(Text='Node threw', Insert(Type=5), "
                             "DatabaseException(Insert(Type=5, Text='SQLSTATE=23505')))";
    ASSERT_EQ(flow.deliver("trevane", scope.message(tree), scope.exceptionList("")), CCI_SUCCESS);
    ASSERT_EQ(flow.deliver("trevane", scope.message(tree), scope.exceptionList(list)), CCI_SUCCESS);
    ASSERT_EQ(testsupport::sinkRecords("notFound").size(), 1u);
    ASSERT_EQ(testsupport::sinkRecords("out").size(), 1u);

    const std::vector<std::string> lines = records(path);
    std::string all;
    for (const std::string &line : lines) {
        all += line + "\n";
    }
    // Every propagateMessage entry is followed by getOutputTerminalHandle's entry for the
    // same terminal and its exit with the handle found (reason 13).
    std::vector<std::string> terminals;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!startsWith(lines[i], "{  propagateMessage(")) {
            continue;
        }
        ASSERT_LT(i + 2, lines.size()) << all;
        const size_t name = lines[i].find("terminalName=");
        ASSERT_NE(name, std::string::npos) << lines[i];
        const std::string terminal =
            lines[i].substr(name + 13, lines[i].find(',', name) - name - 13);
        terminals.push_back(terminal);
        EXPECT_TRUE(startsWith(lines[i + 1], "{  getOutputTerminalHandle(")) << lines[i + 1];
        EXPECT_NE(lines[i + 1].find("terminalName=" + terminal + ")"), std::string::npos)
            << lines[i + 1];
        EXPECT_TRUE(startsWith(lines[i + 2], "}  getOutputTerminalHandle")) << lines[i + 2];
        EXPECT_NE(lines[i + 2].find("[RSN:13]"), std::string::npos) << lines[i + 2];
    }
    EXPECT_EQ(terminals, (std::vector<std::string>{"notFound", "out"})) << all;

    // The search tested the five elements in pre-order, each once, and found the last.
    std::vector<std::string> names;
    for (const std::string &line : lines) {
        if (startsWith(line, "Element name is ")) {
            names.push_back(line.substr(16));
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"RecoverableException", "Text", "Insert", "Type",
                                               "DatabaseException"}))
        << all;
    size_t searchEntries = 0;
    size_t lookEntries = 0;
    for (const std::string &line : lines) {
        searchEntries += startsWith(line, "{  searchTreeForSQLCode(") ? 1 : 0;
        lookEntries += startsWith(line, "{  lookForDatabaseException(") ? 1 : 0;
    }
    EXPECT_EQ(searchEntries, 5u) << all;
    EXPECT_EQ(lookEntries, 5u) << all;
    unlink(path.c_str());
}

} // namespace
