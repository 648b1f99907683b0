// Additional instances: the demo flow on several threads, each with its own connection,
// all taking requests from one input queue, so that the plug-in's node is evaluated on
// several threads at once. Every request must give exactly one reply. Runs under
// ThreadSanitizer (label "threads").
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "runtime/runtime.h"
#include "tests/runtime/helpers.h"
#include "tests/support/support.h"

namespace {

TEST(Instances, EveryRequestGetsExactlyOneReplyWhenFourInstancesShareTheQueue) {
    rttest::TempDir dir;
    ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
    rttest::QueueManager qm("QMI", dir.file("mq"));
    qm.define("I.Q");
    qm.define("OUT.Q");
    const std::string flowFile = dir.file("flow.yaml");
    rttest::writeFile(flowFile, rttest::demoFlowText("QMI", 3));
    constexpr int REQUESTS = 200;
    std::vector<std::string> requests;
    for (int i = 0; i < REQUESTS; ++i) {
        requests.push_back("<outer><tag1>request-" + std::to_string(i) + "</tag1></outer>");
    }
    qm.put("I.Q", requests);

    testsupport::LogCapture log;
    runtime::RuntimeOptions options;
    options.pluginPath = {PLUGIN_DIR};
    auto flow = runtime::DeployedFlow::deploy(runtime::parseFlowFile(flowFile), options);
    flow->start();
    EXPECT_EQ(flow->threadCount(), 4);
    EXPECT_TRUE(
        rttest::waitFor([&] { return qm.depth("OUT.Q") == REQUESTS; }, std::chrono::seconds(60)))
        << "replies: " << qm.depth("OUT.Q") << "\n"
        << log.describe();
    std::vector<uint64_t> perInstance = flow->committedByInstance();
    flow->undeploy();

    std::map<int, int> replies;
    for (const std::string &body : qm.takeAll("OUT.Q")) {
        int request = rttest::replyNumber(body);
        ASSERT_GE(request, 0) << "not a reply to a numbered request: " << body;
        replies[request]++;
    }
    for (int i = 0; i < REQUESTS; ++i) {
        EXPECT_EQ(replies[i], 1) << "request " << i;
    }
    EXPECT_EQ(qm.depth("I.Q"), 0);
    int busy = 0;
    uint64_t most = 0;
    for (uint64_t n : perInstance) {
        busy += n > 0 ? 1 : 0;
        most = std::max(most, n);
    }
    EXPECT_GE(busy, 2) << "the requests were not shared between the instances";
    // A waiting instance must get its turn at the queue manager's writer lock, not only
    // once the busiest instance runs out of work.
    EXPECT_LE(most, static_cast<uint64_t>(REQUESTS * 3 / 4)) << "one instance took nearly all";
    EXPECT_EQ(log.withNumber(3014).size(), 0u) << log.describe();
}

} // namespace
