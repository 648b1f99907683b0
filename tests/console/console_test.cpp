// The operator's console in process: every counter and queue depth after a known run
// whose messages split between the out path, the failure path and back-outs; /metrics
// under the exposition format's rules; /healthz through the phases of a flow; the
// picture; and the --http address forms.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "broker/host.h"
#include "runtime/console.h"
#include "runtime/exposition.h"
#include "runtime/flowpicture.h"
#include "runtime/runtime.h"
#include "tests/console/exposition_check.h"
#include "tests/console/http_client.h"
#include "tests/runtime/helpers.h"

namespace {

// Good messages pass a Database node whose statement succeeds three times (a CHECK
// constraint refuses the fourth row): three leave through its out terminal, the rest
// through failure. Messages that are not XML fail in the input node with its failure
// terminal unattached: backed out twice, then moved to the backout queue.
constexpr const char *COUNTED_FLOW = R"(name: COUNTED
queueManager: QMC
additionalInstances: 0
nodes:
  - name: In
    class: MQInput
    properties: {queueName: I.Q, waitInterval: 50, backoutThreshold: 2, backoutQueue: BO.Q}
  - name: Quota
    class: Database
    properties:
      dataSource: ${RT_TEST_DIR}/quota.db
      statement: INSERT INTO quota(n) SELECT COUNT(*) + 1 FROM quota
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
  - {name: Fail, class: MQOutput, properties: {queueName: FAIL.Q}}
connections:
  - In.out -> Quota.in
  - Quota.out -> Out.in
  - Quota.failure -> Fail.in
)";

constexpr int GOOD = 7;
constexpr int BAD = 2;
constexpr int PASSING = 3; // rows the CHECK constraint lets in

class CountedFlow : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
        qm = std::make_unique<rttest::QueueManager>("QMC", dir.file("mq"));
        for (const char *queue : {"I.Q", "OUT.Q", "FAIL.Q", "BO.Q"}) {
            qm->define(queue);
        }
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(dir.file("quota.db").c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE quota(n INTEGER CHECK (n <= 3))", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        rttest::writeFile(dir.file("flow.yaml"), COUNTED_FLOW);
        logStream = std::fopen("/dev/null", "w");
        broker::setLogStream(logStream);
        flow = runtime::DeployedFlow::deploy(runtime::parseFlowFile(dir.file("flow.yaml")), {});
    }
    void TearDown() override {
        console.reset();
        flow.reset();
        broker::setLogStream(nullptr);
        if (logStream != nullptr) {
            std::fclose(logStream);
        }
    }

    void runKnownSplit() {
        std::vector<std::string> bodies;
        for (int i = 0; i < GOOD; ++i) {
            bodies.push_back("<m>" + std::to_string(i) + "</m>");
        }
        bodies.push_back("<m>not closed");
        bodies.push_back("no markup < at all");
        qm->put("I.Q", bodies);
        flow->start();
        ASSERT_TRUE(rttest::waitFor([&] {
            MQLONG held = -1;
            return qm->depth("BO.Q") == BAD && qm->depth("I.Q", &held) == 0 && held == 0 &&
                   flow->committed() == GOOD + BAD;
        })) << "BO.Q "
            << qm->depth("BO.Q") << ", I.Q " << qm->depth("I.Q") << ", committed "
            << flow->committed();
    }

    rttest::TempDir dir;
    std::unique_ptr<rttest::QueueManager> qm;
    std::unique_ptr<runtime::DeployedFlow> flow;
    std::unique_ptr<runtime::Console> console;
    FILE *logStream = nullptr;
};

std::string countsOf(const runtime::NodeStatistics &n) {
    std::string text = n.name + ": in " + std::to_string(n.in) + ", exceptions " +
                       std::to_string(n.exceptions) + ", backed out " + std::to_string(n.backedOut);
    for (const auto &[terminal, count] : n.outputs) {
        text += ", " + terminal + " " + std::to_string(count);
    }
    return text;
}

TEST_F(CountedFlow, EveryCounterAndDepthMatchesAKnownRun) {
    runKnownSplit();
    const runtime::FlowStatistics s = flow->statistics();
    ASSERT_EQ(s.nodes.size(), 4u);
    // Each bad message is taken three times: twice it fails and is backed out, the third
    // time it reaches the threshold and is moved to the backout queue.
    const std::vector<std::string> expected = {
        "In: in 13, exceptions 4, backed out 4, out 7, failure 0, catch 0",
        "Quota: in 7, exceptions 0, backed out 0, out 3, failure 4",
        "Out: in 3, exceptions 0, backed out 0, out 0, failure 0",
        "Fail: in 4, exceptions 0, backed out 0, out 0, failure 0",
    };
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(countsOf(s.nodes[i]), expected[i]);
    }
    ASSERT_EQ(s.instances.size(), 1u);
    EXPECT_EQ(s.instances[0].inputNode, "In");
    EXPECT_EQ(s.instances[0].committed, uint64_t{GOOD + BAD});
    EXPECT_EQ(s.instances[0].backedOut, uint64_t{2 * BAD});
    EXPECT_EQ(s.instances[0].movedToBackoutQueue, uint64_t{BAD});
    EXPECT_EQ(s.instances[0].latency.count(), uint64_t{GOOD + BAD});
    EXPECT_TRUE(s.instances[0].reading);

    // The same figures, and the queues' depths, as /metrics gives them.
    console = std::make_unique<runtime::Console>(*flow, runtime::ConsoleOptions{});
    console->setPhase(runtime::Console::Phase::Running);
    httptest::Answer answer = httptest::get(console->port(), "/metrics");
    ASSERT_EQ(answer.status, 200) << answer.head;
    EXPECT_NE(answer.head.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    exposition::Result m = exposition::check(answer.body);
    EXPECT_TRUE(m.problems.empty()) << exposition::joined(m.problems) << answer.body;
    struct Expected {
        const char *name;
        std::map<std::string, std::string> labels;
        double value;
    };
    const Expected values[] = {
        {"trevane_flow_up", {{"flow", "COUNTED"}}, 1},
        {"trevane_node_messages_in_total", {{"node", "In"}}, 13},
        {"trevane_node_messages_in_total", {{"node", "Fail"}}, 4},
        {"trevane_node_exceptions_total", {{"node", "In"}}, 4},
        {"trevane_node_backouts_total", {{"node", "In"}}, 4},
        {"trevane_node_backouts_total", {{"node", "Quota"}}, 0},
        {"trevane_node_terminal_messages_total", {{"node", "Quota"}, {"terminal", "out"}}, 3},
        {"trevane_node_terminal_messages_total", {{"node", "Quota"}, {"terminal", "failure"}}, 4},
        {"trevane_queue_depth", {{"queue", "I.Q"}}, 0},
        {"trevane_queue_depth", {{"queue", "OUT.Q"}}, PASSING},
        {"trevane_queue_depth", {{"queue", "FAIL.Q"}}, GOOD - PASSING},
        {"trevane_queue_depth", {{"queue", "BO.Q"}}, BAD},
        {"trevane_queue_uncommitted_messages", {{"queue", "I.Q"}}, 0},
        {"trevane_instance_commits_total", {{"node", "In"}, {"instance", "0"}}, GOOD + BAD},
        {"trevane_instance_backouts_total", {{"node", "In"}, {"instance", "0"}}, 2 * BAD},
        {"trevane_instance_backout_queue_moves_total", {{"instance", "0"}}, BAD},
        {"trevane_flow_latency_seconds_count", {{"node", "In"}, {"instance", "0"}}, GOOD + BAD},
        {"trevane_flow_latency_seconds_bucket", {{"instance", "0"}, {"le", "+Inf"}}, GOOD + BAD},
    };
    for (const Expected &e : values) {
        EXPECT_EQ(m.value(e.name, e.labels), e.value) << e.name;
    }
    EXPECT_EQ(m.types["trevane_flow_latency_seconds"], "histogram");
    EXPECT_EQ(m.types["trevane_queue_depth"], "gauge");

    // And as the page's figures: the same numbers under the picture's ids.
    httptest::Answer figures = httptest::get(console->port(), "/counters");
    ASSERT_EQ(figures.status, 200);
    for (const char *figure :
         {"\"n0_in\":\"13\"", "\"n0_bo\":\"4\"", "\"n1_t0\":\"3\"", "\"n1_t1\":\"4\"",
          "\"q0_depth\":\"0\"", "\"q1_depth\":\"2\"", "\"ok\":true"}) {
        EXPECT_NE(figures.body.find(figure), std::string::npos) << figure << "\n" << figures.body;
    }
}

TEST_F(CountedFlow, BackOutsCountAtEveryNodeTheUnitReached) {
    // The failure path now ends in a queue that does not exist: the MQOutput node
    // raises, nothing catches it, and the whole unit is backed out: the input node, the
    // Database node and the raising node each count the back-out.
    flow.reset();
    std::string text = COUNTED_FLOW;
    text.replace(text.find("queueName: FAIL.Q"), 17, "queueName: NO.SUCH.Q");
    text.replace(text.find("backoutThreshold: 2"), 19, "backoutThreshold: 1");
    rttest::writeFile(dir.file("flow.yaml"), text);
    flow = runtime::DeployedFlow::deploy(runtime::parseFlowFile(dir.file("flow.yaml")), {});
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("quota.db").c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "INSERT INTO quota VALUES (1), (2), (3)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    qm->put("I.Q", "<m>over quota</m>");
    flow->start();
    ASSERT_TRUE(rttest::waitFor([&] { return qm->depth("BO.Q") == 1; }));
    const runtime::FlowStatistics s = flow->statistics();
    EXPECT_EQ(countsOf(s.nodes[0]),
              "In: in 2, exceptions 0, backed out 1, out 1, failure 0, catch 0");
    EXPECT_EQ(countsOf(s.nodes[1]), "Quota: in 1, exceptions 0, backed out 1, out 0, failure 1");
    EXPECT_EQ(countsOf(s.nodes[2]), "Out: in 0, exceptions 0, backed out 0, out 0, failure 0");
    EXPECT_EQ(countsOf(s.nodes[3]), "Fail: in 1, exceptions 1, backed out 1, out 0, failure 0");
}

TEST_F(CountedFlow, HealthFollowsTheFlowFromStartToStop) {
    console = std::make_unique<runtime::Console>(*flow, runtime::ConsoleOptions{});
    httptest::Answer starting = httptest::get(console->port(), "/healthz");
    EXPECT_EQ(starting.status, 503);
    EXPECT_EQ(starting.body, "starting: flow 'COUNTED' is being started\n");

    flow->start();
    console->setPhase(runtime::Console::Phase::Running);
    httptest::Answer running = httptest::get(console->port(), "/healthz");
    EXPECT_EQ(running.status, 200);
    EXPECT_EQ(running.body, "ok: flow 'COUNTED' is deployed and its 1 instance(s) are reading\n");

    console->setPhase(runtime::Console::Phase::Stopping);
    EXPECT_EQ(httptest::get(console->port(), "/healthz").status, 503);
    // A flow stopped under a console that was not told is not reading either.
    console->setPhase(runtime::Console::Phase::Running);
    flow->undeploy();
    httptest::Answer stopped = httptest::get(console->port(), "/healthz");
    EXPECT_EQ(stopped.status, 503);
    EXPECT_EQ(stopped.body.rfind("not reading: flow 'COUNTED'", 0), 0u) << stopped.body;
    exposition::Result m = exposition::check(httptest::get(console->port(), "/metrics").body);
    EXPECT_EQ(m.value("trevane_flow_up", {}), 0);
}

TEST_F(CountedFlow, PageHoldsThePictureWithEveryNodeQueueAndFigure) {
    console = std::make_unique<runtime::Console>(*flow, runtime::ConsoleOptions{});
    httptest::Answer page = httptest::get(console->port(), "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.head.find("Content-Type: text/html"), std::string::npos);
    EXPECT_NE(page.head.find("Content-Security-Policy: default-src 'none'"), std::string::npos);
    const std::string &html = page.body;
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_EQ(html.find("<?xml"), std::string::npos) << "the SVG prolog is not for a page";
    for (const char *title : {"<title>In</title>", "<title>Quota</title>", "<title>Out</title>",
                              "<title>Fail</title>", "I.Q", "OUT.Q", "FAIL.Q", "BO.Q"}) {
        EXPECT_NE(html.find(title), std::string::npos) << title;
    }
    for (const char *id : {"a_n0_in", "a_n0_exc", "a_n0_bo", "a_n0_t0", "a_n0_t1", "a_n0_t2",
                           "a_n1_t1", "a_n3_in", "a_q0_depth", "a_q3_held"}) {
        EXPECT_NE(html.find(std::string("id=\"") + id + "\""), std::string::npos) << id;
    }
    // Nothing is fetched from elsewhere: no script, style sheet, font or image source.
    for (const char *outside : {"src=", "<link", "@import", "url("}) {
        EXPECT_EQ(html.find(outside), std::string::npos) << outside;
    }
    // Every edge of --graph is in the picture.
    std::ostringstream dot;
    flow->writeGraph(dot);
    for (const char *edge : {"In:o_0&#45;&gt;Quota:i_0", "Quota:o_1&#45;&gt;Fail:i_0"}) {
        EXPECT_NE(html.find(edge), std::string::npos) << edge << "\n" << dot.str();
    }
}

TEST_F(CountedFlow, AnAddressInUseIsRefusedNamingIt) {
    runtime::Console first(*flow, runtime::ConsoleOptions{});
    runtime::ConsoleOptions options;
    options.port = first.port();
    try {
        runtime::Console second(*flow, options);
        ADD_FAILURE() << "a second console listens on port " << first.port();
    } catch (const runtime::DeployError &e) {
        EXPECT_NE(std::string(e.what()).find("console: cannot listen on 127.0.0.1:" +
                                             std::to_string(first.port())),
                  std::string::npos)
            << e.what();
    }
    EXPECT_EQ(httptest::get(first.port(), "/healthz").status, 503) << "the first one still answers";
}

TEST(Exposition, LabelValuesAreEscaped) {
    runtime::FlowStatistics s;
    s.flow = "a \"quoted\" \\ flow\nname";
    s.nodes.push_back({"node \"1\"", "Class", 1, 0, 0, {{"out", 1}}, {}});
    std::string text = runtime::expositionText(s, {}, true);
    exposition::Result m = exposition::check(text);
    EXPECT_TRUE(m.problems.empty()) << exposition::joined(m.problems) << text;
    EXPECT_EQ(m.value("trevane_node_messages_in_total",
                      {{"flow", "a \"quoted\" \\ flow\nname"}, {"node", "node \"1\""}}),
              1);
}

TEST(Exposition, CheckerRefusesWhatTheFormatForbids) {
    const std::pair<const char *, const char *> broken[] = {
        {"# TYPE a counter\na 1", "does not end with a line feed"},
        {"a 1\n", "without a TYPE"},
        {"# TYPE a counter\n# TYPE a gauge\na 1\n", "a second TYPE"},
        {"# TYPE a counter\na 1\n# HELP a late\n", "HELP for a after its samples"},
        {"# TYPE a wobble\na 1\n", "unknown type"},
        {"# TYPE a counter\na{x=\"1} 1\n", "unterminated label value"},
        {"# TYPE a counter\na{x=1} 1\n", "not quoted"},
        {"# TYPE a counter\na{x=\"\\t\"} 1\n", "invalid escape"},
        {"# TYPE a counter\na{__x=\"1\"} 1\n", "invalid label name"},
        {"# TYPE a counter\na{x=\"1\",x=\"2\"} 1\n", "given twice"},
        {"# TYPE a counter\na one\n", "not a number"},
        {"# TYPE a counter\na -1\n", "below zero"},
        {"# TYPE a counter\na 1\na 2\n", "appears twice"},
        {"# TYPE a gauge\n# TYPE b gauge\na 1\nb 1\na{x=\"y\"} 1\n", "not together"},
        {"# TYPE h histogram\nh_bucket{le=\"1\"} 2\nh_bucket{le=\"+Inf\"} 1\nh_sum 1\nh_count 1\n",
         "not cumulative"},
        {"# TYPE h histogram\nh_bucket{le=\"1\"} 1\nh_sum 1\nh_count 1\n", "no +Inf bucket"},
        {"# TYPE h histogram\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 1\n", "_count differs"},
        {"# TYPE 1a counter\n", "TYPE names no valid metric"},
    };
    for (const auto &[text, problem] : broken) {
        exposition::Result r = exposition::check(text);
        std::string all = exposition::joined(r.problems);
        EXPECT_NE(all.find(problem), std::string::npos) << "text:\n"
                                                        << text << "problems:\n"
                                                        << all;
    }
}

TEST(ConsoleAddress, FormsOfTheHttpOption) {
    struct Case {
        const char *text;
        bool ok;
        const char *host;
        int port;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", 8080},
        {":9000", true, "127.0.0.1", 9000},
        {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"localhost:0", true, "localhost", 0},
        {"[::1]:8443", true, "::1", 8443},
        {"::1:80", false, "", 0},
        {"host:", false, "", 0},
        {"65536", false, "", 0},
        {"12ab", false, "", 0},
        {"[::1]8080", false, "", 0},
        {"", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
    };
    for (const Case &c : cases) {
        runtime::ConsoleOptions options;
        std::string error;
        EXPECT_EQ(runtime::parseListenAddress(c.text, options, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(options.host, c.host) << c.text;
            EXPECT_EQ(options.port, c.port) << c.text;
        } else {
            EXPECT_NE(error.find(c.text), std::string::npos) << error;
        }
    }
}

} // namespace
