// Several threads evaluating messages on one TrevaneNode while another thread keeps
// replacing its CopyValueTo: every copy that reaches "out" carries its own code at one
// of the paths that were valid, nothing goes elsewhere, and (under ThreadSanitizer) the
// evaluations read the copy location without a race.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/support.h"

namespace {

TEST(EvaluateThreads, ConcurrentEvaluationsWhileCopyValueToChanges) {
    constexpr int THREADS = 4;
    constexpr int MESSAGES_PER_THREAD = 150;
    broker::loadPlugin(TREVANE_PLUGIN_PATH);
    testsupport::TestFlow flow("ThreadsFlow");
    CciNode *trevane = flow.node("TrevaneNode", "trevane", {{"CopyValueTo", "Root.A"}});
    for (const char *sink : {"out", "notFound", "failure"}) {
        flow.node("TestSink", sink);
        flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
    }

    std::atomic<bool> stop{false};
    std::atomic<int> replacements{0};
    std::thread configurer([&] {
        for (int i = 1; !stop.load(); ++i) {
            broker::setProperty(trevane, "CopyValueTo", i % 2 ? "Root.B" : "Root.A");
            replacements.fetch_add(1);
        }
    });

    std::atomic<int> failedDeliveries{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; ++t) {
        workers.emplace_back([&, t] {
            testsupport::MessageScope scope;
            for (int i = 0; i < MESSAGES_PER_THREAD; ++i) {
                const int code = 10000 * (t + 1) + i;
                CciMessage *m =
                    scope.message("Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'00')");
                CciMessage *list = scope.exceptionList(
                    "DatabaseException(Insert(Type=5, Text='SQLSTATE=" + std::to_string(code) +
                    "'))");
                if (flow.deliver("trevane", m, list) != CCI_SUCCESS) {
                    failedDeliveries.fetch_add(1);
                }
                int rc = 0;
                cniDeleteMessage(&rc, m);
                cniDeleteMessage(&rc, list);
            }
        });
    }
    for (std::thread &w : workers) {
        w.join();
    }
    stop = true;
    configurer.join();

    EXPECT_EQ(failedDeliveries.load(), 0);
    EXPECT_GT(replacements.load(), 0);
    EXPECT_TRUE(testsupport::sinkRecords("notFound").empty());
    EXPECT_TRUE(testsupport::sinkRecords("failure").empty());
    const auto records = testsupport::sinkRecords("out");
    ASSERT_EQ(records.size(), static_cast<size_t>(THREADS * MESSAGES_PER_THREAD));
    const std::string prefix = "Properties, MQMD(Format='MQSTR   '), BLOB(BLOB=X'00'), ";
    std::set<int> codes;
    for (const auto &record : records) {
        // The code sits at A or B, the two paths the configurer switches between.
        const std::string &m = record.message;
        ASSERT_EQ(m.compare(0, prefix.size(), prefix), 0) << m;
        const std::string field = m.substr(prefix.size());
        ASSERT_TRUE(field.size() > 2 && (field[0] == 'A' || field[0] == 'B') && field[1] == '=')
            << m;
        const std::string digits = field.substr(2);
        ASSERT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << m;
        codes.insert(std::stoi(digits));
    }
    EXPECT_EQ(codes.size(), records.size()) << "each message carries its own code";
}

} // namespace
