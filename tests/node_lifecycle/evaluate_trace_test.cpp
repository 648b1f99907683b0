// The trace of evaluations with entry/exit records on: each propagation looks its
// terminal up by name where the trace shows it (getOutputTerminalHandle's records inside
// propagateMessage's), and the search shows each element's entry, test and exit records
// in pre-order. Runs
// alone in its executable: the trace specification is read once per process, at the first
// record.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cctype>
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

/* The line with each run of hexadecimal digits that follows "=" or "at " made "#". */
std::string masked(const std::string &line) {
    std::string out;
    for (size_t i = 0; i < line.size();) {
        const bool after =
            (i > 0 && line[i - 1] == '=') || (i >= 3 && line.compare(i - 3, 3, "at ") == 0);
        if (after && std::isxdigit(static_cast<unsigned char>(line[i]))) {
            while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i]))) {
                ++i;
            }
            out += '#';
        } else {
            out += line[i++];
        }
    }
    return out;
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
    // The walk's records, addresses masked, from the second search's entry to the
    // DatabaseException's test: each element's entry, test and exit in pre-order.
    std::vector<std::string> walk;
    size_t searches = 0;
    for (const std::string &line : lines) {
        searches += startsWith(line, "{  getSQLError(") ? 1 : 0;
        if (searches == 2 && !startsWith(line, "{  getSQLError(")) {
            if (line == "DatabaseException element found") {
                break;
            }
            walk.push_back(masked(line));
        }
    }
    const std::vector<std::string> expected = {
        "{  searchTreeForSQLCode(elementP=#)",
        "{  lookForDatabaseException(elementP=#)",
        "Element name is RecoverableException",
        "}  lookForDatabaseException [RSN:3] (FALSE)",
        "Searching child node at #",
        "{  searchTreeForSQLCode(elementP=#)",
        "{  lookForDatabaseException(elementP=#)",
        "Element name is Text",
        "}  lookForDatabaseException [RSN:3] (FALSE)",
        "Element has no children",
        "}  searchTreeForSQLCode [RSN:3] (FALSE)",
        "Searching sibling node at #",
        "{  searchTreeForSQLCode(elementP=#)",
        "{  lookForDatabaseException(elementP=#)",
        "Element name is Insert",
        "}  lookForDatabaseException [RSN:3] (FALSE)",
        "Searching child node at #",
        "{  searchTreeForSQLCode(elementP=#)",
        "{  lookForDatabaseException(elementP=#)",
        "Element name is Type",
        "}  lookForDatabaseException [RSN:3] (FALSE)",
        "Element has no children",
        "}  searchTreeForSQLCode [RSN:3] (FALSE)",
        "SQLCODE not found",
        "}  searchTreeForSQLCode [RSN:3] (FALSE)",
        "Searching sibling node at #",
        "{  searchTreeForSQLCode(elementP=#)",
        "{  lookForDatabaseException(elementP=#)",
        "Element name is DatabaseException",
    };
    EXPECT_EQ(walk, expected) << all;
    unlink(path.c_str());
}

} // namespace
