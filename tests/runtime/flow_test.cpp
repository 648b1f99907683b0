// Flows deployed from flow files and run against a real queue manager, in this process:
// deploy errors that name file, line and culprit; stopping deletes every node context;
// the TrevaneNode's three outcomes through real flows; and the unit of work around each
// message (commit only when a path handled it, back out otherwise, backout threshold and
// queue, catch path, unparsable input). Also the Graphviz drawing of a deployed flow.
#include <gtest/gtest.h>

#include "broker/host.h"
#include "runtime/runtime.h"
#include "tests/runtime/helpers.h"
#include "tests/support/support.h"

using runtime::DeployedFlow;

namespace {

constexpr const char *REQUEST = "<outer><tag1>data1</tag1></outer>";
constexpr const char *REPLY = "<outer><tag1>data1</tag1><Status>42704</Status></outer>";

class Flows : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
        qm = std::make_unique<rttest::QueueManager>("QMR", dir.file("mq"));
        for (const char *queue :
             {"I.Q", "OUT.Q", "NOTFOUND.Q", "FAILED.Q", "BACKOUT.Q", "CAUGHT.Q"}) {
            qm->define(queue);
        }
    }

    std::string writeFlow(const std::string &text) const {
        std::string path = dir.file("flow.yaml");
        rttest::writeFile(path, text);
        return path;
    }

    std::unique_ptr<DeployedFlow> deploy(const std::string &text) const {
        runtime::RuntimeOptions options;
        options.pluginPath = {PLUGIN_DIR};
        return DeployedFlow::deploy(runtime::parseFlowFile(writeFlow(text)), options);
    }

    // Runs the flow until `done` holds (or 20 seconds pass), then stops it.
    bool runUntil(DeployedFlow &flow, const std::function<bool()> &done) const {
        flow.start();
        bool reached = rttest::waitFor(done);
        flow.undeploy();
        return reached;
    }

    std::vector<broker::LogEntry> pluginEntries(int number) const {
        std::vector<broker::LogEntry> found;
        for (const broker::LogEntry &e : log.withNumber(number)) {
            if (e.messageSource == "OSTRINV2_trevane") {
                found.push_back(e);
            }
        }
        return found;
    }

    rttest::TempDir dir;
    std::unique_ptr<rttest::QueueManager> qm;
    testsupport::LogCapture log;
};

// Flow head used by most tests: the queue manager and the plug-in.
const std::string HEAD = "queueManager: QMR\nlibraries: [libtrevane.so]\n";

const std::string FAILING_DATABASE = R"(  - name: Db
    class: Database
    properties:
      dataSource: ${RT_TEST_DIR}/test.db
      statement: SELECT * FROM MISSING_TABLE
)";

// Lines: 3 nodes, 4 In, 6 its properties, 7 Code, 9 CopyValueTo, 10 Out, 12 its
// properties, 14 and 15 the connections.
const std::string BASE = HEAD + R"(nodes:
  - name: In
    class: MQInput
    properties: {queueName: I.Q}
  - name: Code
    class: TrevaneNode
    properties: {CopyValueTo: Root.outer.Status}
  - name: Out
    class: MQOutput
    properties: {queueName: OUT.Q}
connections:
  - In.out -> Code.in
  - Code.out -> Out.in
)";

std::string replaced(std::string text, const std::string &from, const std::string &to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

struct DeployFault {
    const char *what;
    std::string flow;
    int line;
    std::vector<std::string> mentions;
    size_t contextsDeleted; /* TrevaneNode contexts made and deleted again */
};

TEST_F(Flows, DeployErrorsNameFileLineAndCulpritAndLeaveNothingBehind) {
    const DeployFault faults[] = {
        {"unknown class",
         replaced(BASE, "class: TrevaneNode", "class: NoSuchNode"),
         7,
         {"node 'Code': unknown class 'NoSuchNode'",
          "classes of this flow's libraries: TrevaneNode"},
         0},
        {"invalid CopyValueTo",
         replaced(BASE, "Root.outer.Status", "Environment.Status"),
         9,
         {"property 'CopyValueTo' of node 'Code'", "could not be set to 'Environment.Status'",
          "OSTRINV2_trevane 12"},
         1},
        {"CopyValueTo longer than the node can use",
         replaced(BASE, "Root.outer.Status", "Root.outer." + std::string(250, 's')),
         9,
         {"property 'CopyValueTo' of node 'Code'", "OSTRINV2_trevane 12"},
         1},
        {"CopyValueTo segment that is no element name",
         replaced(BASE, "Root.outer.Status", "Root.outer.1Status"),
         9,
         {"property 'CopyValueTo' of node 'Code'", "could not be set to 'Root.outer.1Status'",
          "OSTRINV2_trevane 12"},
         1},
        {"no such output terminal",
         replaced(BASE, "In.out ->", "In.nowhere ->"),
         14,
         {"node 'In' (class MQInput) has no output terminal 'nowhere'",
          "(its output terminals: out, failure, catch)"},
         1},
        {"no such input terminal",
         replaced(BASE, "-> Code.in", "-> Code.input"),
         14,
         {"has no input terminal 'input' (its input terminals: in)"},
         1},
        {"unknown property",
         replaced(BASE, "{queueName: OUT.Q}", "{queueName: OUT.Q, colour: red}"),
         12,
         {"property 'colour' of node 'Out'", "does not know it"},
         1},
        {"missing property",
         replaced(BASE, "{queueName: I.Q}", "{}"),
         4,
         {"node 'In' (class MQInput): property queueName must be set"},
         1},
        {"refused value",
         replaced(BASE, "{queueName: I.Q}", "{queueName: I.Q, waitInterval: 1}"),
         6,
         {"property 'waitInterval' cannot be '1'", "whole number from 10 to 60000"},
         1},
        {"missing library",
         replaced(BASE, "libtrevane.so", "libnothing.so"),
         2,
         {"cannot load plug-in library", "libnothing.so"},
         0},
        {"queue name the queue manager refuses",
         replaced(BASE, "{queueName: OUT.Q}", "{queueName: \"Q'1\"}"),
         12,
         {"property 'queueName' cannot be 'Q'1'", "1 to 48 letters, digits, '.', '_', '/' or '%'"},
         1},
        {"backout queue name the queue manager refuses",
         replaced(BASE, "{queueName: I.Q}", "{queueName: I.Q, backoutQueue: BACK OUT}"),
         6,
         {"property 'backoutQueue' cannot be 'BACK OUT'"},
         1},
        {"node connected to itself",
         BASE + "  - Code.out -> Code.in\n",
         16,
         {"the connections make a loop", "nodes Code (" + dir.file("flow.yaml") + ":7)",
          "connections Code.out -> Code.in (" + dir.file("flow.yaml") + ":16)"},
         1},
        {"two-node loop behind MQInput",
         BASE + "  - Out.out -> Code.in\n",
         15,
         {"the connections make a loop",
          "nodes Code (" + dir.file("flow.yaml") + ":7), Out (" + dir.file("flow.yaml") + ":10)",
          "Code.out -> Out.in (" + dir.file("flow.yaml") + ":15), Out.out -> Code.in (" +
              dir.file("flow.yaml") + ":16)"},
         1},
        {"no queue manager",
         replaced(BASE, "queueManager: QMR\n", ""),
         3,
         {"node 'In' (class MQInput) needs a queue manager"},
         1},
    };
    for (const DeployFault &f : faults) {
        SCOPED_TRACE(f.what);
        log.clear();
        std::string message;
        try {
            deploy(f.flow);
            ADD_FAILURE() << "deployed:\n" << f.flow;
        } catch (const runtime::DeployError &e) {
            message = e.what();
        }
        std::string at = dir.file("flow.yaml") + ":" + std::to_string(f.line) + ": ";
        EXPECT_EQ(message.rfind(at, 0), 0u) << message << "\nexpected to start with " << at;
        for (const std::string &mention : f.mentions) {
            EXPECT_NE(message.find(mention), std::string::npos)
                << message << "\nexpected to mention: " << mention;
        }
        EXPECT_EQ(pluginEntries(9).size(), f.contextsDeleted) << log.describe();
    }
}

TEST_F(Flows, StoppingDeletesEveryNodeContextAndEachTrevaneNodeLogsEntry9) {
    auto flow = deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
  - {name: First, class: TrevaneNode, properties: {CopyValueTo: Root.a}}
  - {name: Second, class: TrevaneNode, properties: {CopyValueTo: Root.b, label: Labelled}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
connections:
  - In.out -> First.in
  - First.notFound -> Second.in
  - Second.notFound -> Out.in
)");
    flow->start();
    EXPECT_TRUE(pluginEntries(9).empty());
    flow->undeploy();
    std::vector<std::string> deleted;
    for (const broker::LogEntry &e : pluginEntries(9)) {
        ASSERT_GE(e.inserts.size(), 3u);
        deleted.push_back(e.inserts[1] + " " + e.inserts[2]);
    }
    std::sort(deleted.begin(), deleted.end());
    EXPECT_EQ(deleted, (std::vector<std::string>{"TrevaneNode First", "TrevaneNode Labelled"}))
        << log.describe();
    EXPECT_EQ(flow->node("First"), nullptr);
    flow.reset(); // a second undeploy deletes nothing twice
    EXPECT_EQ(pluginEntries(9).size(), 2u);
}

TEST_F(Flows, TrevaneNodeSendsTheCopyWithTheCodeThroughOut) {
    auto flow =
        deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
)" + FAILING_DATABASE +
               R"(  - {name: Code, class: TrevaneNode, properties: {CopyValueTo: Root.outer.Status}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
connections:
  - In.out -> Db.in
  - Db.failure -> Code.in
  - Code.out -> Out.in
)");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("OUT.Q") == 1; })) << log.describe();
    EXPECT_EQ(qm->takeAll("OUT.Q"), std::vector<std::string>{REPLY});
    EXPECT_EQ(qm->depth("I.Q"), 0);
    EXPECT_EQ(flow->committed(), 1u);
}

TEST_F(Flows, TrevaneNodeSendsTheMessageUnchangedThroughNotFoundWithoutADatabaseException) {
    // The exception list comes from a failed put, not from a database.
    auto flow = deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
  - {name: Nowhere, class: MQOutput, properties: {queueName: UNDEFINED.Q}}
  - {name: Code, class: TrevaneNode, properties: {CopyValueTo: Root.outer.Status}}
  - {name: Found, class: MQOutput, properties: {queueName: OUT.Q}}
  - {name: NotFound, class: MQOutput, properties: {queueName: NOTFOUND.Q}}
connections:
  - In.out -> Nowhere.in
  - Nowhere.failure -> Code.in
  - Code.out -> Found.in
  - Code.notFound -> NotFound.in
)");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("NOTFOUND.Q") == 1; })) << log.describe();
    EXPECT_EQ(qm->takeAll("NOTFOUND.Q"), std::vector<std::string>{REQUEST});
    EXPECT_EQ(qm->depth("OUT.Q"), 0);
    EXPECT_EQ(qm->depth("I.Q"), 0);
}

TEST_F(Flows, TrevaneNodeLogsEntry11AndUsesFailureWhenCopyValueToCannotBeResolved) {
    // A value longer than the node accepts is refused at deploy (see the deploy errors).
    const std::pair<const char *, std::string> settings[] = {
        {"never set", ""},
    };
    for (const auto &[what, setting] : settings) {
        SCOPED_TRACE(what);
        log.clear();
        auto flow = deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
)" + FAILING_DATABASE + R"(  - name: Code
    class: TrevaneNode
    properties: {)" + setting +
                           R"(}
  - {name: Stored, class: MQOutput, properties: {queueName: OUT.Q}}
  - {name: Failed, class: MQOutput, properties: {queueName: FAILED.Q}}
connections:
  - In.out -> Db.in
  - Db.failure -> Code.in
  - Code.out -> Stored.in
  - Code.failure -> Failed.in
)");
        qm->put("I.Q", REQUEST);
        EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("FAILED.Q") == 1; })) << log.describe();
        EXPECT_EQ(qm->takeAll("FAILED.Q"), std::vector<std::string>{REQUEST});
        EXPECT_EQ(qm->depth("OUT.Q"), 0);
        auto entries = pluginEntries(11);
        ASSERT_EQ(entries.size(), 1u) << log.describe();
        EXPECT_EQ(entries[0].logType, CCI_LOG_ERROR);
        ASSERT_GE(entries[0].inserts.size(), 2u);
        EXPECT_EQ(entries[0].inserts[1], "CopyValueTo");
    }
}

TEST_F(Flows, UnhandledMessageIsBackedOutAndStaysOnItsQueue) {
    auto flow =
        deploy(HEAD + "nodes:\n  - {name: In, class: MQInput, properties: {queueName: I.Q}}\n" +
               FAILING_DATABASE + "connections:\n  - In.out -> Db.in\n");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return flow->backedOut() >= 2; })) << log.describe();
    EXPECT_EQ(flow->committed(), 0u);
    EXPECT_EQ(qm->takeAll("I.Q"), std::vector<std::string>{REQUEST});
    auto backedOut = log.withNumber(3014);
    ASSERT_FALSE(backedOut.empty());
    EXPECT_NE(backedOut[0].traceText.find("SQLSTATE 42704"), std::string::npos)
        << backedOut[0].traceText;
}

TEST_F(Flows, MessageBackedOutThresholdTimesMovesToTheBackoutQueue) {
    auto flow = deploy(HEAD + R"(nodes:
  - name: In
    class: MQInput
    properties: {queueName: I.Q, backoutThreshold: 2, backoutQueue: BACKOUT.Q}
)" + FAILING_DATABASE + "connections:\n  - In.out -> Db.in\n");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("BACKOUT.Q") == 1; })) << log.describe();
    EXPECT_EQ(qm->takeAll("BACKOUT.Q"), std::vector<std::string>{REQUEST});
    EXPECT_EQ(qm->depth("I.Q"), 0);
    EXPECT_EQ(flow->backedOut(), 2u);
    EXPECT_EQ(log.withNumber(3015).size(), 1u) << log.describe();
}

// No message cycles for ever and none is committed without a path having taken it: a
// threshold of 0 (or none) stands for the default of 5, and an input node whose "out"
// leads nowhere backs the message out instead of consuming it.
TEST_F(Flows, EveryFailingOrUnroutedMessageEndsOnTheBackoutQueue) {
    struct Case {
        const char *what;
        std::string flow;
    } cases[] = {
        {"threshold 0", HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, backoutThreshold: 0, backoutQueue: BACKOUT.Q, waitInterval: 50}}
)" + FAILING_DATABASE + "connections:\n  - In.out -> Db.in\n"},
        {"out not attached", HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, backoutQueue: BACKOUT.Q, waitInterval: 50}}
)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        auto flow = deploy(c.flow);
        qm->put("I.Q", REQUEST);
        EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("BACKOUT.Q") == 1; })) << log.describe();
        EXPECT_EQ(qm->takeAll("BACKOUT.Q"), std::vector<std::string>{REQUEST});
        EXPECT_EQ(qm->depth("I.Q"), 0);
        EXPECT_EQ(qm->depth("OUT.Q"), 0);
        EXPECT_EQ(flow->backedOut(), 5u);
    }
    auto unrouted = log.withNumber(3014);
    ASSERT_FALSE(unrouted.empty());
    EXPECT_NE(unrouted[0].traceText.find("terminal 'out' is not attached"), std::string::npos)
        << unrouted[0].traceText;
}

TEST_F(Flows, ReplyPutIsUndoneWhenTheFlowFailsAfterIt) {
    // The reply is put first, then the flow fails: the put belongs to the unit of work
    // that is backed out, so no reply may ever be seen.
    auto flow = deploy(HEAD + R"(nodes:
  - name: In
    class: MQInput
    properties: {queueName: I.Q, backoutThreshold: 1, backoutQueue: BACKOUT.Q}
  - {name: Reply, class: MQOutput, properties: {queueName: OUT.Q}}
)" + FAILING_DATABASE + R"(connections:
  - In.out -> Reply.in
  - Reply.out -> Db.in
)");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("BACKOUT.Q") == 1; })) << log.describe();
    MQLONG held = -1;
    EXPECT_EQ(qm->depth("OUT.Q", &held), 0);
    EXPECT_EQ(held, 0);
}

TEST_F(Flows, FailurePathThatFailsFurtherDownNeverCommitsTheMessage) {
    // The reply cannot be put. That exception was raised behind the Database node's
    // failure terminal, so it goes on upstream through the input node rather than down
    // that failure path again: the request must not be consumed without a reply; it is
    // backed out and, at the threshold, moved to the backout queue.
    auto flow =
        deploy(HEAD + R"(nodes:
  - name: In
    class: MQInput
    properties: {queueName: I.Q, backoutThreshold: 1, backoutQueue: BACKOUT.Q}
)" + FAILING_DATABASE +
               R"(  - {name: Code, class: TrevaneNode, properties: {CopyValueTo: Root.outer.Status}}
  - {name: Out, class: MQOutput, properties: {queueName: UNDEFINED.Q}}
connections:
  - In.out -> Db.in
  - Db.failure -> Code.in
  - Code.out -> Out.in
)");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("BACKOUT.Q") == 1; })) << log.describe();
    EXPECT_EQ(qm->takeAll("BACKOUT.Q"), std::vector<std::string>{REQUEST});
    auto backedOut = log.withNumber(3014);
    ASSERT_EQ(backedOut.size(), 1u) << log.describe();
    EXPECT_NE(backedOut[0].traceText.find("MQRC_UNKNOWN_OBJECT_NAME"), std::string::npos)
        << backedOut[0].traceText;
}

TEST_F(Flows, MessageLargerThanTheFirstGetBufferPassesThroughWhole) {
    // The input node's first get is too short for this message: it must retry with room
    // for the whole message rather than cut it or leave it behind.
    auto flow = deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
connections:
  - In.out -> Out.in
)");
    const std::string large = "<big>" + std::string(200 * 1000, 'x') + "</big>";
    qm->put("I.Q", large);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("OUT.Q") == 1; })) << log.describe();
    EXPECT_EQ(qm->takeAll("OUT.Q"), std::vector<std::string>{large});
    EXPECT_EQ(qm->depth("I.Q"), 0);
    EXPECT_EQ(flow->committed(), 1u);
}

TEST_F(Flows, CatchPathHandlesTheFlowsExceptionAndTheMessageIsCommitted) {
    auto flow = deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
  - {name: Caught, class: MQOutput, properties: {queueName: CAUGHT.Q}}
)" + FAILING_DATABASE + R"(connections:
  - In.out -> Db.in
  - In.catch -> Caught.in
)");
    qm->put("I.Q", REQUEST);
    EXPECT_TRUE(runUntil(*flow, [&] { return qm->depth("CAUGHT.Q") == 1; })) << log.describe();
    EXPECT_EQ(qm->takeAll("CAUGHT.Q"), std::vector<std::string>{REQUEST});
    EXPECT_EQ(flow->backedOut(), 0u);
    EXPECT_EQ(qm->depth("I.Q"), 0);
}

TEST_F(Flows, UnparsableMessageGoesToFailureAsItCame) {
    auto flow = deploy(HEAD + R"(nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
  - {name: Failed, class: MQOutput, properties: {queueName: FAILED.Q}}
connections:
  - In.out -> Out.in
  - In.failure -> Failed.in
)");
    const std::string broken = "<outer><tag1>data1</outer>";
    qm->put("I.Q", std::vector<std::string>{broken, REQUEST});
    EXPECT_TRUE(runUntil(*flow, [&] {
        return qm->depth("FAILED.Q") == 1 && qm->depth("OUT.Q") == 1;
    })) << log.describe();
    EXPECT_EQ(qm->takeAll("FAILED.Q"), std::vector<std::string>{broken});
    EXPECT_EQ(qm->takeAll("OUT.Q"), std::vector<std::string>{REQUEST});
}

TEST_F(Flows, GraphShowsNodesClassesTerminalsAndConnections) {
    auto flow = deploy(HEAD + R"(name: "demo flow"
nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q}}
  - {name: Code, class: TrevaneNode, properties: {CopyValueTo: Root.outer.Status}}
connections:
  - In.catch -> Code.in
)");
    std::ostringstream graph;
    flow->writeGraph(graph);
    const std::string dot = graph.str();
    for (const char *part :
         {"digraph \"demo flow\" {", "rankdir=LR;",
          "\"In\" [label=\"{{In|MQInput}|{<o_0> out|<o_1> failure|<o_2> catch}}\"];",
          "\"Code\" [label=\"{{<i_0> in}|{Code|TrevaneNode}|{<o_0> out|<o_1> failure|<o_2> "
          "notFound}}\"];",
          "\"In\":o_2 -> \"Code\":i_0 [tooltip=\"In.catch -> Code.in\"];"}) {
        EXPECT_NE(dot.find(part), std::string::npos) << "missing: " << part << "\nin:\n" << dot;
    }
    if (::access("/usr/bin/dot", X_OK) == 0) {
        std::string file = dir.file("flow.dot");
        rttest::writeFile(file, dot);
        rttest::Process check({"/usr/bin/dot", "-Tsvg", "-o", dir.file("flow.svg"), file},
                              dir.file("dot.out"), dir.file("dot.err"));
        EXPECT_EQ(rttest::exitCode(check.wait()), 0) << check.err() << "\n" << dot;
    }
}

// The demonstration flow as shipped, fed the requests whose code the TrevaneNode cannot
// store (an element with children, an attribute, the body's root itself as target) and a
// namespaced request whose reply would have two roots. Every request must end exactly
// once: answered, still on its input queue, or on the backout queue. None may be
// committed without having gone anywhere.
TEST(DemoFlow, EveryOddRequestEndsExactlyOnceOnTheReplyInputOrBackoutQueue) {
    testsupport::LogCapture log;
    rttest::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    ::setenv("TREVANE_DEMO_DIR", dir.path().c_str(), 1);
    rttest::QueueManager qm("OSTRIN_QM", dir.file("mq"));
    for (const char *queue : {"I1.Q", "SQLCODE_42704.Q", "I1.BACKOUT.Q"}) {
        qm.define(queue);
    }
    std::string demo = DEMO_SCRIPT;
    demo = demo.substr(0, demo.find_last_of('/')) + "/sqlcode/sqlcode.yaml";
    const std::string shipped = rttest::readFile(demo);
    ASSERT_NE(shipped.find("CopyValueTo: Root.outer.Status"), std::string::npos) << demo;
    std::string toRoot = shipped;
    toRoot.replace(toRoot.find("Root.outer.Status"), 17, "Root.outer");

    struct Run {
        std::string flowText;
        std::vector<std::string> requests;
    } runs[] = {
        {shipped,
         {"<outer><Status><deep>1</deep></Status><tag1>case1</tag1></outer>",
          "<outer Status=\"old\">case2</outer>",
          "<p:outer xmlns:p=\"u\"><p:tag1>case3</p:tag1></p:outer>"}},
        {toRoot, {"<outer><tag1>case4</tag1></outer>"}},
    };
    std::vector<std::string> ended;
    for (const Run &run : runs) {
        const std::string path = dir.file("sqlcode.yaml");
        rttest::writeFile(path, run.flowText);
        runtime::RuntimeOptions options;
        options.pluginPath = {PLUGIN_DIR};
        auto flow = DeployedFlow::deploy(runtime::parseFlowFile(path), options);
        qm.put("I1.Q", run.requests);
        flow->start();
        // Done when each request was answered or set aside (or after 20 seconds).
        rttest::waitFor([&] {
            return qm.depth("SQLCODE_42704.Q") + qm.depth("I1.BACKOUT.Q") ==
                   static_cast<MQLONG>(run.requests.size());
        });
        flow->undeploy();
        for (const char *queue : {"SQLCODE_42704.Q", "I1.Q", "I1.BACKOUT.Q"}) {
            for (const std::string &body : qm.takeAll(queue)) {
                ended.push_back(std::string(queue) + ": " + body);
            }
        }
    }
    std::string where;
    for (const std::string &e : ended) {
        where += "\n  " + e;
    }
    for (const char *marker : {"case1", "case2", "case3", "case4"}) {
        size_t count = std::count_if(ended.begin(), ended.end(), [&](const std::string &e) {
            return e.find(marker) != std::string::npos;
        });
        EXPECT_EQ(count, 1u) << marker << " ended " << count
                             << " time(s); the queues held:" << where << "\n"
                             << log.describe();
    }
}

} // namespace
