// The listener that wakes a process's getters waiting on queues in PostgreSQL: many threads
// of one process waiting on one queue share out what is put, each message taken exactly
// once, and a listener whose server session ends connects again and still wakes its
// getters. Uses the fixture's server, in a database of its own ("trevane_mq_wait").
#include "messaging/pglistener.h"
#include "tests/messaging/support.h"
#include "tests/support/pgstatement.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace mqtest;

namespace {

const char *const QMGR = "PGWAIT";

class PgListenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pgfixture::useServer(), "");
        ASSERT_EQ(pgfixture::runStatement("DROP DATABASE IF EXISTS trevane_mq_wait WITH (FORCE)"),
                  "");
        ASSERT_EQ(pgfixture::runStatement("CREATE DATABASE trevane_mq_wait"), "");
        ::setenv(MQ_DIRECTORY_VARIABLE, directory_.path().c_str(), 1);
        char detail[512];
        ASSERT_EQ(mqCreateQueueManagerPostgres(QMGR, conninfo().c_str(), detail, sizeof detail),
                  MQRC_NONE)
            << detail;
        ASSERT_EQ(mqDefineQueue(QMGR, "Q.IN", nullptr, detail, sizeof detail), MQRC_NONE) << detail;
    }

    static std::string conninfo() { return pgfixture::conninfo() + " dbname=trevane_mq_wait"; }

    TemporaryDirectory directory_;
};

} // namespace

TEST_F(PgListenerTest, ThreadsWaitingOnOneQueueTakeEveryMessageExactlyOnce) {
    constexpr int GETTERS = 6;
    constexpr int MESSAGES = 300;
    std::mutex mutex;
    std::multiset<std::string> taken;
    std::atomic<bool> broken{false};
    std::vector<std::thread> getters;
    for (int g = 0; g < GETTERS; ++g) {
        getters.emplace_back([&, g] {
            MQHCONN hconn = connect(QMGR);
            MQHOBJ in = openQueue(hconn, "Q.IN", MQOO_INPUT_SHARED);
            // Half under syncpoint, half not; each ends at its first 5 s without a message.
            MQLONG options = MQGMO_WAIT | (g % 2 == 0 ? MQGMO_SYNCPOINT : MQGMO_NO_SYNCPOINT);
            for (;;) {
                Got got = get(hconn, in, options, 5000);
                if (got.outcome == failed(MQRC_NO_MSG_AVAILABLE)) {
                    break;
                }
                if (got.outcome != OK) {
                    broken = true;
                    break;
                }
                if (options & MQGMO_SYNCPOINT) {
                    Outcome outcome;
                    MQCMIT(hconn, &outcome.compCode, &outcome.reason);
                    broken = broken || outcome != OK;
                }
                std::lock_guard lock(mutex);
                taken.insert(got.body);
                if (taken.size() == MESSAGES) {
                    break;
                }
            }
            disconnect(hconn);
        });
    }
    MQHCONN putter = connect(QMGR);
    MQHOBJ out = openQueue(putter, "Q.IN", MQOO_OUTPUT);
    for (int i = 0; i < MESSAGES; ++i) {
        ASSERT_EQ(put(putter, out, "m" + std::to_string(i)), OK);
        if (i % 50 == 0) {
            // Now and then the getters run dry and wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    disconnect(putter);
    for (std::thread &t : getters) {
        t.join();
    }
    EXPECT_FALSE(broken);
    EXPECT_EQ(taken.size(), size_t{MESSAGES});
    EXPECT_EQ(std::set<std::string>(taken.begin(), taken.end()).size(), size_t{MESSAGES})
        << "a message taken twice";
}

TEST_F(PgListenerTest, ListenerWhoseSessionEndsConnectsAgainAndStillWakesItsGetters) {
    // Q.IN, the database's first queue, is queue 1.
    trevane::mq::PgWaiter waiter(conninfo());
    ASSERT_TRUE(waiter.watch("trevane_q_1", true));
    auto wokenAfter = [&](int64_t seen) {
        for (int i = 0; i < 200 && waiter.wakeups() == seen; ++i) {
            waiter.wait(seen, std::chrono::milliseconds(50));
        }
        return waiter.wakeups() > seen;
    };
    MQHCONN hconn = connect(QMGR);
    MQHOBJ out = openQueue(hconn, "Q.IN", MQOO_OUTPUT);
    int64_t seen = waiter.wakeups();
    ASSERT_EQ(put(hconn, out, "before"), OK);
    EXPECT_TRUE(wokenAfter(seen));

    // The server ends the listener's session: the listener connects again, listens again
    // and wakes its getters, since what was put meanwhile went unseen.
    seen = waiter.wakeups();
    ASSERT_EQ(pgfixture::runStatement("SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                                      " WHERE datname = 'trevane_mq_wait'"
                                      " AND query LIKE 'LISTEN%'"),
              "");
    EXPECT_TRUE(wokenAfter(seen)) << "woken after the break";
    seen = waiter.wakeups();
    ASSERT_EQ(put(hconn, out, "after"), OK);
    EXPECT_TRUE(wokenAfter(seen)) << "woken by a put after the break";
    disconnect(hconn);
}

// A listener whose server does not answer tells the getter that asks after one connection
// attempt, and the next getter at once instead of holding it for another attempt.
TEST(PgListener, ServerThatDoesNotAnswerHoldsAGetterForOneAttemptOnly) {
    TemporaryDirectory directory;
    SilentServer silent(directory.path());
    ASSERT_TRUE(silent.listening()) << std::strerror(errno);
    trevane::mq::PgWaiter waiter("host=" + directory.path() +
                                 " port=5999 dbname=x user=x connect_timeout=2");
    EXPECT_FALSE(waiter.watch("trevane_q_1", true));
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(waiter.watch("trevane_q_2", true));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1))
        << "the second getter waited for another connection attempt";
}
