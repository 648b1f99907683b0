// Flow files: what a flow file describes, the mistakes it is refused for (each with the
// line to look at), environment references and where library names are found.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/stat.h>

#include "runtime/flowfile.h"
#include "tests/runtime/helpers.h"

using runtime::FlowDefinition;
using runtime::FlowFileError;
using runtime::parseFlowText;

namespace {

FlowDefinition parse(const std::string &text) {
    return parseFlowText(text, "flow.yaml", "/flows");
}

TEST(FlowFile, ReadsEveryPartOfAFlowWithItsLines) {
    FlowDefinition flow = parse(R"(name: ORDERS
queueManager: QM1
libraries:
  - libtrevane.so
additionalInstances: 2
nodes:
  - name: In
    class: MQInput
    properties:
      queueName: IN.Q
      backoutThreshold: 3
  - name: Store
    class: TrevaneNode
    properties:
      CopyValueTo: Root.outer.Status
connections:
  - In.out -> Store.in
  - "  In.catch->Store.in  "
)");
    EXPECT_EQ(flow.name, "ORDERS");
    EXPECT_EQ(flow.queueManager, "QM1");
    EXPECT_EQ(flow.additionalInstances, 2);
    ASSERT_EQ(flow.libraries.size(), 1u);
    EXPECT_EQ(flow.libraries[0].path, "libtrevane.so");
    EXPECT_EQ(flow.libraries[0].line, 4);
    ASSERT_EQ(flow.nodes.size(), 2u);
    EXPECT_EQ(flow.nodes[0].name, "In");
    EXPECT_EQ(flow.nodes[0].className, "MQInput");
    EXPECT_EQ(flow.nodes[0].line, 7);
    ASSERT_EQ(flow.nodes[0].properties.size(), 2u);
    EXPECT_EQ(flow.nodes[0].properties[1].name, "backoutThreshold");
    EXPECT_EQ(flow.nodes[0].properties[1].value, "3");
    EXPECT_EQ(flow.nodes[0].properties[1].line, 11);
    EXPECT_EQ(flow.nodes[1].properties[0].value, "Root.outer.Status");
    ASSERT_EQ(flow.connections.size(), 2u);
    const auto &c = flow.connections[1];
    EXPECT_EQ(c.fromNode + "|" + c.fromTerminal + "|" + c.toNode + "|" + c.toTerminal,
              "In|catch|Store|in");
    EXPECT_EQ(c.line, 18);
}

TEST(FlowFile, NamesTheFlowAfterItsFileWhenItHasNoName) {
    FlowDefinition flow =
        parseFlowText("nodes:\n  - {name: A, class: Trace}\n", "/x/y/orders.flow.yaml", "/x/y");
    EXPECT_EQ(flow.name, "orders.flow");
    EXPECT_EQ(flow.additionalInstances, 0);
    EXPECT_TRUE(flow.queueManager.empty());
}

struct Refusal {
    const char *text;
    int line;
    const char *reason;
};

TEST(FlowFile, RefusesMalformedFlowsNamingTheLine) {
    const Refusal cases[] = {
        {"nodes: [\n", 2, "end of sequence"},
        {"- a\n- b\n", 1, "a flow file is a mapping"},
        {"name: F\n", 0, "the flow has no nodes"},
        {"nodes:\n  - {name: A, class: Trace}\ncolour: red\n", 3, "unknown setting 'colour'"},
        {"nodes:\n  - {name: A}\n", 2, "node 'A' has no class"},
        {"nodes:\n  - {class: Trace}\n", 2, "a node has no name"},
        {"nodes:\n  - {name: A.B, class: Trace}\n", 2, "may not contain blanks, '.'"},
        // A name is shown with its control bytes escaped, not cut at a NUL.
        {"nodes:\n  - {name: \"Co\\0de\", class: Trace}\n", 2, "node name 'Co\\x00de' may not"},
        {"nodes:\n  - {name: \"a\\\\b\\nc\", class: Trace}\n", 2, "node name 'a\\\\b\\x0ac'"},
        {"nodes:\n  - {name: A, class: Trace}\n  - {name: A, class: Trace}\n", 3,
         "already has a node named 'A'"},
        {"nodes:\n  - {name: A, class: Trace, colour: red}\n", 2, "unknown node setting 'colour'"},
        {"nodes:\n  - name: A\n    class: Trace\n    properties:\n      file: x\n      file: y\n",
         6, "property 'file' is given twice"},
        {"nodes:\n  - name: A\n    class: Trace\n    properties:\n      file: [a, b]\n", 5,
         "must be a single value, not a list"},
        {"nodes:\n  - name: A\n    class: Trace\n    properties: [file]\n", 4,
         "properties must be a mapping"},
        {"additionalInstances: -1\nnodes:\n  - {name: A, class: Trace}\n", 1,
         "additionalInstances must be a whole number from 0 to 64"},
        {"additionalInstances: 65\nnodes:\n  - {name: A, class: Trace}\n", 1, "not '65'"},
        {"libraries: libtrevane.so\nnodes:\n  - {name: A, class: Trace}\n", 1,
         "libraries must be a list"},
        {"nodes:\n  - {name: A, class: Trace}\nconnections:\n  - A.out B.in\n", 4,
         "needs exactly one '->'"},
        {"nodes:\n  - {name: A, class: Trace}\nconnections:\n  - A -> A.in\n", 4,
         "'A' is not NODE.terminal"},
        {"nodes:\n  - {name: A, class: Trace}\nconnections:\n  - A.out -> B.in\n", 4,
         "the flow has no node named 'B'"},
        {"nodes:\n  - {name: A, class: Trace}\n[a, b]: 1\n", 3,
         "a flow setting's name must be a single value, not a list"},
        {"nodes:\n  - {name: A, class: Trace, {x: 1}: y}\n", 2,
         "a node setting's name must be a single value, not a mapping"},
        {"nodes:\n  - name: A\n    class: Trace\n    properties:\n      [file]: x\n", 5,
         "a property's name must be a single value, not a list"},
        {"nodes:\n  - {name: A, class: Trace}\nconnections:\n  - A.out -> A.in\n  - A.out -> "
         "A.in\n",
         5, "is given twice"},
    };
    for (const Refusal &c : cases) {
        try {
            parse(c.text);
            ADD_FAILURE() << "accepted:\n" << c.text;
        } catch (const FlowFileError &e) {
            EXPECT_EQ(e.line, c.line) << e.what() << "\nfor:\n" << c.text;
            EXPECT_NE(e.reason.find(c.reason), std::string::npos)
                << "reason: " << e.reason << "\nexpected to contain: " << c.reason;
            std::string prefix = c.line > 0 ? "flow.yaml:" + std::to_string(c.line) + ": "
                                            : std::string("flow.yaml: ");
            EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
        }
    }
}

// Only a regular file is read: a directory, a device that never ends or a fifo nobody
// writes to is refused at once, naming the file and the reason.
TEST(FlowFile, RefusesAnythingButARegularFileWithoutWaiting) {
    rttest::TempDir dir;
    const std::string fifo = dir.file("flow.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, const char *> refused[] = {
        {dir.path(), "is a directory, not a flow file"},
        {"/dev/zero", "is not a regular file"},
        {fifo, "is not a regular file"},
        {dir.file("missing.yaml"), "cannot read the flow file: No such file or directory"},
    };
    for (const auto &[path, reason] : refused) {
        try {
            runtime::parseFlowFile(path);
            ADD_FAILURE() << "read " << path;
        } catch (const FlowFileError &e) {
            EXPECT_EQ(std::string(e.what()), path + ": " + e.reason);
            EXPECT_NE(e.reason.find(reason), std::string::npos) << e.what();
        }
    }
}

TEST(FlowFile, ExpandsEnvironmentReferencesInValuesAndLibraries) {
    ::setenv("RT_TEST_DIR", "/data", 1);
    ::unsetenv("RT_TEST_UNSET");
    FlowDefinition flow = parse("libraries: [\"${RT_TEST_DIR}/lib/libx.so\"]\nnodes:\n  - name: A\n"
                                "    class: Database\n    properties:\n"
                                "      dataSource: ${RT_TEST_DIR}/db.sqlite\n"
                                "      statement: \"SELECT '$${RT_TEST_DIR}'\"\n");
    EXPECT_EQ(flow.libraries[0].path, "/data/lib/libx.so");
    EXPECT_EQ(flow.nodes[0].properties[0].value, "/data/db.sqlite");
    EXPECT_EQ(flow.nodes[0].properties[1].value, "SELECT '${RT_TEST_DIR}'");

    const std::pair<const char *, const char *> refused[] = {
        {"${RT_TEST_UNSET}/x", "environment variable 'RT_TEST_UNSET', which is not set"},
        {"${RT_TEST_DIR", "'${' without its closing '}'"},
        {"${}", "environment variable ''"},
    };
    for (const auto &[text, reason] : refused) {
        try {
            runtime::expandEnvironment(text, "flow.yaml", 9);
            ADD_FAILURE() << "expanded " << text;
        } catch (const FlowFileError &e) {
            EXPECT_EQ(e.line, 9);
            EXPECT_NE(e.reason.find(reason), std::string::npos) << e.what();
        }
    }
}

TEST(FlowFile, FindsBareLibraryNamesOnTheSearchPathBeforeTheFlowDirectory) {
    rttest::TempDir first, second, flowDirectory;
    rttest::writeFile(second.file("libp.so"), "");
    rttest::writeFile(flowDirectory.file("libp.so"), "");
    FlowDefinition flow =
        parseFlowText("nodes:\n  - {name: A, class: Trace}\n", "flow.yaml", flowDirectory.path());
    auto resolve = [&](const std::string &path, std::vector<std::string> search) {
        return runtime::resolveLibrary(flow, {path, 1}, search);
    };
    EXPECT_EQ(resolve("libp.so", {first.path(), second.path()}), second.file("libp.so"));
    EXPECT_EQ(resolve("libp.so", {first.path()}), flowDirectory.file("libp.so"));
    EXPECT_EQ(resolve("libq.so", {second.path()}), flowDirectory.file("libq.so"));
    EXPECT_EQ(resolve("sub/libp.so", {second.path()}), flowDirectory.file("sub/libp.so"));
    EXPECT_EQ(resolve("/abs/libp.so", {second.path()}), "/abs/libp.so");
}

TEST(FlowFile, LooksInTheInstallationsPluginDirectoryOnlyAfterTheFlowDirectory) {
    rttest::TempDir search, flowDirectory, installed;
    rttest::writeFile(installed.file("libp.so"), "");
    rttest::writeFile(installed.file("libq.so"), "");
    rttest::writeFile(flowDirectory.file("libq.so"), "");
    rttest::writeFile(search.file("libr.so"), "");
    rttest::writeFile(installed.file("libr.so"), "");
    FlowDefinition flow =
        parseFlowText("nodes:\n  - {name: A, class: Trace}\n", "flow.yaml", flowDirectory.path());
    auto resolve = [&](const std::string &path) {
        return runtime::resolveLibrary(flow, {path, 1}, {search.path()}, {installed.path()});
    };
    EXPECT_EQ(resolve("libp.so"), installed.file("libp.so")); // found nowhere else
    EXPECT_EQ(resolve("libq.so"), flowDirectory.file("libq.so"));
    EXPECT_EQ(resolve("libr.so"), search.file("libr.so"));
    // Not found anywhere: the flow directory's name, for the error to show.
    EXPECT_EQ(resolve("libs.so"), flowDirectory.file("libs.so"));
    // A path is never looked up in the plug-in directory.
    EXPECT_EQ(resolve("sub/libp.so"), flowDirectory.file("sub/libp.so"));
}

TEST(FlowFile, RefusesFlowAndNodeSettingsGivenTwice) {
    // yaml-cpp keeps a repeated key: a second "nodes" list would escape the check of
    // unique node names, a second node "name" would replace the first unseen.
    const Refusal cases[] = {
        {"nodes:\n  - {name: A, class: Trace}\nnodes:\n  - {name: A, class: Trace}\n", 3,
         "setting 'nodes' is given twice"},
        {"name: F\nnodes:\n  - {name: A, class: Trace}\nname: G\n", 4,
         "setting 'name' is given twice"},
        {"nodes:\n  - {name: A, class: Trace, name: B}\n", 2, "node setting 'name' is given twice"},
    };
    for (const Refusal &c : cases) {
        try {
            parse(c.text);
            ADD_FAILURE() << "accepted:\n" << c.text;
        } catch (const FlowFileError &e) {
            EXPECT_EQ(e.line, c.line) << e.what() << "\nfor:\n" << c.text;
            EXPECT_NE(e.reason.find(c.reason), std::string::npos)
                << "reason: " << e.reason << "\nexpected to contain: " << c.reason;
            EXPECT_EQ(std::string(e.what()).rfind("flow.yaml:" + std::to_string(c.line) + ": ", 0),
                      0u)
                << e.what();
        } catch (const std::exception &e) {
            ADD_FAILURE() << "not a flow-file error: " << e.what() << "\nfor:\n" << c.text;
        }
    }
}

} // namespace
