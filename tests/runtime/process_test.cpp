// trevane-broker as a program, in separate processes with real files: the demo script
// end to end, the command line, deploy errors, an orderly stop on SIGTERM, and no
// message lost when the broker is killed at random moments while several instances have
// requests in flight.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <map>
#include <random>

#include "tests/runtime/helpers.h"

namespace {

using rttest::exitCode;
using rttest::Process;

constexpr const char *BROKER = BROKER_PATH;
constexpr const char *REPLY = "'<outer><tag1>data1</tag1><Status>42704</Status></outer>'";

std::string lastLine(const std::string &text) {
    std::string trimmed = text;
    while (!trimmed.empty() && trimmed.back() == '\n') {
        trimmed.pop_back();
    }
    size_t newline = trimmed.rfind('\n');
    return newline == std::string::npos ? trimmed : trimmed.substr(newline + 1);
}

TEST(BrokerProcess, DemoScriptShowsTheReplyWithTheStoredSqlState) {
    rttest::TempDir dir;
    Process demo({"/bin/bash", DEMO_SCRIPT, BUILD_DIR}, dir.file("out"), dir.file("err"));
    int status = demo.wait(std::chrono::seconds(90));
    EXPECT_EQ(exitCode(status), 0) << demo.out() << demo.err();
    EXPECT_EQ(lastLine(demo.out()), REPLY) << demo.out() << demo.err();
    const std::string out = demo.out();
    for (const char *expected : {"Flow 'SQLCODE_DEMO' is ready", "OSTRINV2_trevane 9 ",
                                 "1 message(s) committed, 0 backed out"}) {
        EXPECT_NE(out.find(expected), std::string::npos) << "missing: " << expected << "\n" << out;
    }
}

TEST(BrokerProcess, CommandLineHelpAndMistakes) {
    rttest::TempDir dir;
    struct Case {
        std::vector<std::string> arguments;
        int exit;
        const char *stream; /* "out" or "err" */
        const char *text;
    };
    const Case cases[] = {
        {{"--help"}, 0, "out", "Usage: trevane-broker [OPTIONS] FLOW_FILE"},
        {{}, 2, "err", "trevane-broker: no flow file given"},
        {{"--instances", "x", "f.yaml"}, 2, "err", "--instances takes a whole number"},
        {{"--bogus", "f.yaml"}, 2, "err", "unknown option '--bogus'"},
        {{"a.yaml", "b.yaml"}, 2, "err", "only one flow file can be given"},
        {{"--graph"}, 2, "err", "--graph needs a file name"},
        {{dir.file("missing.yaml")}, 1, "err", "missing.yaml: cannot read the flow file"},
    };
    for (const Case &c : cases) {
        std::vector<std::string> argv{BROKER};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        Process p(argv, dir.file("out"), dir.file("err"));
        EXPECT_EQ(exitCode(p.wait()), c.exit) << p.err();
        std::string text = std::string(c.stream) == "out" ? p.out() : p.err();
        EXPECT_NE(text.find(c.text), std::string::npos)
            << "expected: " << c.text << "\ngot: " << text;
    }
}

class RunningBroker : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
        qm = std::make_unique<rttest::QueueManager>("QMP", dir.file("mq"));
        qm->define("I.Q");
        qm->define("OUT.Q");
    }

    std::string flowFile(int additionalInstances) const {
        std::string path = dir.file("flow.yaml");
        rttest::writeFile(path, rttest::demoFlowText("QMP", additionalInstances));
        return path;
    }

    std::unique_ptr<Process> start(const std::string &flow, const std::string &tag) const {
        std::string ready = dir.file("ready");
        std::remove(ready.c_str());
        auto broker = std::make_unique<Process>(
            std::vector<std::string>{BROKER, "--plugin-path", PLUGIN_DIR, "--ready-file", ready,
                                     "--log", dir.file("broker.log"), "--broker", "RT_BROKER",
                                     flow},
            dir.file(tag + ".out"), dir.file(tag + ".err"));
        EXPECT_TRUE(rttest::waitFor([&] { return ::access(ready.c_str(), F_OK) == 0; }))
            << broker->err();
        return broker;
    }

    rttest::TempDir dir;
    std::unique_ptr<rttest::QueueManager> qm;
};

TEST_F(RunningBroker, SigtermStopsTheFlowAndDeletesEveryContext) {
    auto broker = start(flowFile(1), "run");
    qm->put("I.Q", "<outer><tag1>data1</tag1></outer>");
    EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == 1; })) << broker->err();
    broker->signal(SIGTERM);
    EXPECT_EQ(exitCode(broker->wait(std::chrono::seconds(20))), 0) << broker->err();
    EXPECT_NE(::access(dir.file("ready").c_str(), F_OK), 0) << "the ready file stays behind";
    const std::string logFile = rttest::readFile(dir.file("broker.log"));
    for (const std::string &text :
         {std::string("OSTRINV2_trevane 9 "),
          std::string("the node context for TrevaneNode (Code)"),
          std::string("inserts: \"RT_BROKER\" \"TrevaneNode\" \"Code\""),
          std::string("TrevaneRuntime 3013"), std::string("1 message(s) committed")}) {
        EXPECT_NE(logFile.find(text), std::string::npos) << "missing: " << text << "\n" << logFile;
        EXPECT_NE(broker->err().find(text), std::string::npos) << "standard error lacks: " << text;
    }
}

TEST_F(RunningBroker, DeployErrorEndsWithStatus1NamingFileAndLine) {
    std::string flow = flowFile(0);
    std::string text = rttest::readFile(flow);
    text.replace(text.find("class: TrevaneNode"), 18, "class: TrevaneNod");
    rttest::writeFile(flow, text);
    Process broker({BROKER, "--plugin-path", PLUGIN_DIR, flow}, dir.file("out"), dir.file("err"));
    EXPECT_EQ(exitCode(broker.wait()), 1);
    EXPECT_NE(broker.err().find("trevane-broker: " + flow +
                                ":9: node 'Code': unknown class "
                                "'TrevaneNod'"),
              std::string::npos)
        << broker.err();
}

TEST_F(RunningBroker, CheckDeploysDrawsAndDeletesWithoutTakingMessages) {
    qm->put("I.Q", "<outer><tag1>data1</tag1></outer>");
    Process broker({BROKER, "--plugin-path", PLUGIN_DIR, "--check", "--graph", "-", flowFile(0)},
                   dir.file("out"), dir.file("err"));
    EXPECT_EQ(exitCode(broker.wait()), 0) << broker.err();
    EXPECT_EQ(broker.out().rfind("digraph \"flow\" {", 0), 0u) << broker.out();
    EXPECT_NE(broker.out().find("\"Db\":o_1 -> \"Code\":i_0"), std::string::npos) << broker.out();
    EXPECT_NE(broker.err().find("OSTRINV2_trevane 9 "), std::string::npos) << broker.err();
    EXPECT_EQ(qm->depth("I.Q"), 1);
}

// --check deploys, so it refuses what deploy refuses: a loop (status 1, naming the loop's
// nodes with file and line) and anything that is not a regular file, at once.
TEST_F(RunningBroker, CheckRefusesALoopAndAnythingButARegularFile) {
    std::string flow = flowFile(0);
    rttest::writeFile(flow, rttest::readFile(flow) + "  - Out.out -> Code.in\n");
    Process loop({BROKER, "--plugin-path", PLUGIN_DIR, "--check", flow}, dir.file("out"),
                 dir.file("err"));
    EXPECT_EQ(exitCode(loop.wait()), 1);
    EXPECT_NE(loop.err().find("the connections make a loop"), std::string::npos) << loop.err();
    EXPECT_NE(loop.err().find("nodes Code (" + flow + ":9), Out (" + flow + ":10)"),
              std::string::npos)
        << loop.err();
    for (const std::string &path : {dir.path(), std::string("/dev/zero")}) {
        Process check({BROKER, "--check", path}, dir.file("out"), dir.file("err"));
        EXPECT_EQ(exitCode(check.wait(std::chrono::seconds(10))), 1) << path;
        EXPECT_NE(check.err().find("trevane-broker: " + path + ": is "), std::string::npos)
            << check.err();
    }
}

// Kills the broker (SIGKILL) at random moments while three instances work through a few
// hundred persistent requests, restarting it each time. After every kill each request is
// either answered once or back on the input queue; at the end every request has exactly
// one reply.
TEST_F(RunningBroker, NoRequestLostOrAnsweredTwiceWhenTheBrokerIsKilled) {
    constexpr int REQUESTS = 300;
    constexpr int KILLS = 4;
    std::vector<std::string> requests;
    for (int i = 0; i < REQUESTS; ++i) {
        requests.push_back("<outer><tag1>request-" + std::to_string(i) + "</tag1></outer>");
    }
    qm->put("I.Q", requests);
    const std::string flow = flowFile(2);
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay(50, 400);
    SCOPED_TRACE("seed " + std::to_string(seed));

    for (int kill = 0; kill < KILLS; ++kill) {
        auto broker = start(flow, "kill" + std::to_string(kill));
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        broker->signal(SIGKILL);
        broker->wait();
        MQLONG held = -1;
        MQLONG waiting = qm->depth("I.Q", &held);
        MQLONG replies = qm->depth("OUT.Q");
        EXPECT_EQ(waiting + replies, REQUESTS)
            << "after kill " << kill << ": " << waiting << " waiting, " << replies << " replies";
        EXPECT_EQ(held, 0) << "the dead broker's unit of work was not backed out";
    }

    auto broker = start(flow, "final");
    EXPECT_TRUE(
        rttest::waitFor([&] { return qm->depth("OUT.Q") == REQUESTS; }, std::chrono::seconds(40)))
        << qm->depth("OUT.Q") << " replies\n"
        << broker->err();
    broker->signal(SIGTERM);
    EXPECT_EQ(exitCode(broker->wait()), 0) << broker->err();

    std::map<int, int> answered;
    for (const std::string &body : qm->takeAll("OUT.Q")) {
        int request = rttest::replyNumber(body);
        ASSERT_GE(request, 0) << "not a reply to a numbered request: " << body;
        answered[request]++;
    }
    int wrong = 0;
    for (int i = 0; i < REQUESTS; ++i) {
        if (answered[i] != 1) {
            ADD_FAILURE() << "request " << i << " has " << answered[i] << " replies";
            if (++wrong > 10) {
                break;
            }
        }
    }
    EXPECT_EQ(qm->depth("I.Q"), 0);
}

} // namespace

namespace {

// A flow whose Database node runs `statement` on $RT_TEST_DIR/test.db, then puts on OUT.Q.
std::string databaseFlow(const std::string &statement, const std::string &extra = "") {
    return "queueManager: QMP\nnodes:\n"
           "  - {name: In, class: MQInput, properties: {queueName: I.Q, waitInterval: 50}}\n"
           "  - name: Db\n    class: Database\n    properties:\n"
           "      dataSource: ${RT_TEST_DIR}/test.db\n"
           "      statement: \"" +
           statement + "\"\n" + extra +
           "  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}\n"
           "connections:\n  - In.out -> Db.in\n  - Db.out -> Out.in\n";
}

int countRows(const std::string &database) {
    sqlite3 *db = nullptr;
    int rows = -1;
    if (sqlite3_open(database.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt *count = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM t", -1, &count, nullptr);
        if (count != nullptr && sqlite3_step(count) == SQLITE_ROW) {
            rows = sqlite3_column_int(count, 0);
        }
        sqlite3_finalize(count);
    }
    sqlite3_close(db);
    return rows;
}

} // namespace

// The documented window: the database commits before the queue manager. A broker that
// ends between the two leaves the SQL committed and the message back on its queue, so the
// message runs again after the restart.
TEST_F(RunningBroker, ABrokerEndingBetweenTheCommitsRepeatsTheMessageWithItsSqlCommitted) {
    const std::string database = dir.file("test.db");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "CREATE TABLE t(a)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const std::string flow = dir.file("window.yaml");
    rttest::writeFile(flow, databaseFlow("INSERT INTO t VALUES(1)"));
    qm->put("I.Q", "<outer/>");
    ::setenv("TREVANE_FAULT", "exit-between-commits", 1);
    {
        Process broker({BROKER, "--plugin-path", PLUGIN_DIR, flow}, dir.file("f.out"),
                       dir.file("f.err"));
        ::unsetenv("TREVANE_FAULT");
        EXPECT_EQ(exitCode(broker.wait(std::chrono::seconds(20))), 75) << broker.err();
    }
    EXPECT_EQ(countRows(database), 1) << "the database committed";
    EXPECT_EQ(qm->depth("OUT.Q"), 0) << "the queue manager did not";
    auto broker = start(flow, "again");
    EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == 1; })) << broker->err();
    broker->signal(SIGTERM);
    EXPECT_EQ(exitCode(broker->wait(std::chrono::seconds(20))), 0) << broker->err();
    EXPECT_EQ(countRows(database), 2) << "the repeated message ran its SQL again";
    EXPECT_EQ(qm->depth("I.Q"), 0);
}

// SIGTERM while a statement runs without end: the statement is interrupted, the broker
// stops in time, and the message goes back to its queue.
TEST_F(RunningBroker, SigtermInterruptsARunningStatementAndTheMessageGoesBack) {
    const std::string flow = dir.file("endless.yaml");
    rttest::writeFile(flow, databaseFlow("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT "
                                         "x+1 FROM c) SELECT count(*) FROM c",
                                         "      statementTimeout: 0\n"));
    auto broker = start(flow, "endless");
    qm->put("I.Q", "<outer/>");
    MQLONG uncommitted = 0;
    ASSERT_TRUE(rttest::waitFor([&] {
        qm->depth("I.Q", &uncommitted);
        return uncommitted == 1;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto signalled = std::chrono::steady_clock::now();
    broker->signal(SIGTERM);
    EXPECT_EQ(exitCode(broker->wait(std::chrono::seconds(20))), 0) << broker->err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
    EXPECT_EQ(qm->depth("I.Q"), 1);
    EXPECT_NE(broker->err().find("57014"), std::string::npos) << broker->err();
}

// A node that never returns (a Trace node writing to a pipe nobody reads) cannot hold the
// broker: it ends within its stop wait, and the message goes back to its queue.
TEST_F(RunningBroker, TheBrokerEndsWithinItsStopWaitWhateverTheNodesDo) {
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const std::string flow = dir.file("stuck.yaml");
    rttest::writeFile(flow, "queueManager: QMP\nnodes:\n"
                            "  - {name: In, class: MQInput, properties: {queueName: I.Q}}\n"
                            "  - {name: T, class: Trace, properties: {file: " +
                                pipe + "}}\nconnections:\n  - In.out -> T.in\n");
    std::string ready = dir.file("ready");
    Process broker({BROKER, "--stop-wait", "1", "--ready-file", ready, flow}, dir.file("s.out"),
                   dir.file("s.err"));
    ASSERT_TRUE(rttest::waitFor([&] { return ::access(ready.c_str(), F_OK) == 0; }))
        << broker.err();
    qm->put("I.Q", "<outer/>");
    MQLONG uncommitted = 0;
    ASSERT_TRUE(rttest::waitFor([&] {
        qm->depth("I.Q", &uncommitted);
        return uncommitted == 1;
    }));
    auto signalled = std::chrono::steady_clock::now();
    broker.signal(SIGTERM);
    EXPECT_EQ(exitCode(broker.wait(std::chrono::seconds(20))), 3) << broker.err();
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
    EXPECT_NE(broker.err().find("did not stop within 1 s"), std::string::npos) << broker.err();
    EXPECT_EQ(qm->depth("I.Q"), 1) << "the message is back on its queue";
}
