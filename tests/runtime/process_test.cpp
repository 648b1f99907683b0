// trevane-broker as a program, in separate processes with real files: the demo script
// end to end, the command line, deploy errors, an orderly stop on SIGTERM, and no
// message lost when the broker is killed at random moments while several instances have
// requests in flight.
#include <gtest/gtest.h>

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
