// Several trevane-broker processes sharing one queue manager kept in PostgreSQL (the
// fixture's server), as brokers on several machines would: killed (SIGKILL) one at a time
// at random moments while requests are in flight, and started again, no request is lost
// or answered twice.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "tests/runtime/helpers.h"
#include "tests/support/pgstatement.h"

namespace {

using rttest::exitCode;
using rttest::Process;

constexpr const char *DATABASE = "trevane_rt_brokers";

std::string serverCommand(const std::string &sql) {
    return pgfixture::runStatement(sql);
}

class BrokersOnPostgres : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        ASSERT_EQ(pgfixture::useServer(), "");
        ASSERT_EQ(
            serverCommand(std::string("DROP DATABASE IF EXISTS ") + DATABASE + " WITH (FORCE)"),
            "");
        ASSERT_EQ(serverCommand(std::string("CREATE DATABASE ") + DATABASE), "");
        ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
        qm = std::make_unique<rttest::QueueManager>("QMPG", dir.file("mq"),
                                                    pgfixture::conninfo() + " dbname=" + DATABASE);
        qm->define("I.Q");
        qm->define("OUT.Q");
        flow = dir.file("flow.yaml");
        rttest::writeFile(flow, rttest::demoFlowText("QMPG", 1));
    }

    // Starts broker `number` and waits until its flow is ready.
    std::unique_ptr<Process> start(int number, const std::string &tag) const {
        std::string name = "RT_BROKER_" + std::to_string(number);
        std::string ready = dir.file(name + ".ready");
        std::remove(ready.c_str());
        auto broker = std::make_unique<Process>(
            std::vector<std::string>{BROKER_PATH, "--plugin-path", PLUGIN_DIR, "--ready-file",
                                     ready, "--log", dir.file(name + ".log"), "--broker", name,
                                     flow},
            dir.file(name + "." + tag + ".out"), dir.file(name + "." + tag + ".err"));
        EXPECT_TRUE(rttest::waitFor([&] { return ::access(ready.c_str(), F_OK) == 0; }))
            << broker->err();
        return broker;
    }

    rttest::TempDir dir;
    std::unique_ptr<rttest::QueueManager> qm;
    std::string flow;
};

// Three brokers, two instances each, work through a few hundred persistent requests while
// one of them, chosen at random, is killed and started again, several times. At the end
// every request has exactly one reply, and nothing is left held or waiting.
TEST_F(BrokersOnPostgres, NoRequestLostOrAnsweredTwiceWhenBrokersAreKilled) {
    constexpr int REQUESTS = 1500;
    constexpr int BROKERS = 3;
    constexpr int KILLS = 6;
    std::vector<std::string> requests;
    for (int i = 0; i < REQUESTS; ++i) {
        requests.push_back("<outer><tag1>request-" + std::to_string(i) + "</tag1></outer>");
    }
    qm->put("I.Q", requests);
    std::vector<std::unique_ptr<Process>> brokers;
    for (int b = 0; b < BROKERS; ++b) {
        brokers.push_back(start(b, "start"));
    }
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay(20, 150);
    std::uniform_int_distribution<int> which(0, BROKERS - 1);
    SCOPED_TRACE("seed " + std::to_string(seed));

    int killsWithWorkLeft = 0;
    for (int kill = 0; kill < KILLS; ++kill) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
        int victim = which(random);
        killsWithWorkLeft += qm->depth("OUT.Q") < REQUESTS ? 1 : 0;
        brokers[victim]->signal(SIGKILL);
        brokers[victim]->wait();
        brokers[victim] = start(victim, "restart" + std::to_string(kill));
    }

    EXPECT_GT(killsWithWorkLeft, 0) << "every kill came after the last reply";
    EXPECT_TRUE(
        rttest::waitFor([&] { return qm->depth("OUT.Q") == REQUESTS; }, std::chrono::seconds(40)))
        << qm->depth("OUT.Q") << " replies, " << qm->depth("I.Q") << " requests waiting";
    for (auto &broker : brokers) {
        broker->signal(SIGTERM);
        EXPECT_EQ(exitCode(broker->wait()), 0) << broker->err();
    }

    MQLONG held = -1;
    EXPECT_EQ(qm->depth("I.Q", &held), 0);
    EXPECT_EQ(held, 0);
    std::map<int, int> answered;
    for (const std::string &body : qm->takeAll("OUT.Q")) {
        int request = rttest::replyNumber(body);
        ASSERT_GE(request, 0) << "not a reply to a numbered request: " << body;
        answered[request]++;
    }
    int wrong = 0;
    for (int i = 0; i < REQUESTS && wrong <= 10; ++i) {
        if (answered[i] != 1) {
            ADD_FAILURE() << "request " << i << " has " << answered[i] << " replies";
            ++wrong;
        }
    }
}

} // namespace
