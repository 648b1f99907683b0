// The stand-in queue manager used as the flow runtime uses it: several threads, one
// connection each, getting under syncpoint with a wait interval, committing or backing out.
#include "tests/messaging/support.h"

#include <map>
#include <mutex>

using namespace mqtest;

namespace {

class Threads : public QueueManagerTest {};

TEST_F(Threads, ConsumersUnderSyncpointTakeEveryMessageExactlyOnce) {
    defineQueue("WORK.Q");
    constexpr int MESSAGES = 120;
    constexpr int CONSUMERS = 4;
    std::mutex mutex;
    std::map<std::string, int> committed;   // body -> times committed
    std::map<std::string, int> backoutSeen; // body -> backout count when committed

    std::thread producer([&] {
        MQHCONN hconn = connect(QMGR);
        MQHOBJ hobj = openQueue(hconn, "WORK.Q", MQOO_OUTPUT);
        for (int i = 0; i < MESSAGES; ++i) {
            EXPECT_EQ(put(hconn, hobj, "m" + std::to_string(i), -1, MQPMO_SYNCPOINT), OK);
            if (i % 10 == 9) {
                Outcome outcome;
                MQCMIT(hconn, &outcome.compCode, &outcome.reason);
                EXPECT_EQ(outcome, OK);
            }
        }
        disconnect(hconn);
    });
    std::vector<std::thread> consumers;
    for (int c = 0; c < CONSUMERS; ++c) {
        consumers.emplace_back([&, c] {
            MQHCONN hconn = connect(QMGR);
            MQHOBJ hobj = openQueue(hconn, "WORK.Q", MQOO_INPUT_SHARED);
            int idle = 0;
            for (int n = 0; idle < 3; ++n) {
                Got got = get(hconn, hobj, MQGMO_SYNCPOINT | MQGMO_WAIT, 500);
                if (got.outcome == failed(MQRC_NO_MSG_AVAILABLE)) {
                    ++idle;
                    continue;
                }
                ASSERT_EQ(got.outcome, OK) << mqLastErrorDetail();
                idle = 0;
                Outcome outcome;
                // Every consumer backs out some first deliveries, as a failing flow would.
                if (got.md.BackoutCount == 0 && (n + c) % 4 == 0) {
                    MQBACK(hconn, &outcome.compCode, &outcome.reason);
                    EXPECT_EQ(outcome, OK);
                    continue;
                }
                MQCMIT(hconn, &outcome.compCode, &outcome.reason);
                ASSERT_EQ(outcome, OK) << mqLastErrorDetail();
                std::lock_guard lock(mutex);
                ++committed[got.body];
                backoutSeen[got.body] = got.md.BackoutCount;
            }
            disconnect(hconn);
        });
    }
    producer.join();
    for (auto &consumer : consumers) {
        consumer.join();
    }
    std::string wrong;
    int backedOut = 0;
    for (int i = 0; i < MESSAGES; ++i) {
        std::string body = "m" + std::to_string(i);
        if (committed[body] != 1) {
            wrong += body + " committed " + std::to_string(committed[body]) + " times; ";
        }
        backedOut += backoutSeen[body] > 0;
    }
    EXPECT_EQ(wrong, "");
    EXPECT_EQ(committed.size(), static_cast<size_t>(MESSAGES));
    EXPECT_GT(backedOut, 0) << "some messages came back after a back-out";
}

// The connections of one process share one writer, which commits their units together:
// each unit must still be all or nothing, whatever else shares its transaction.
TEST_F(Threads, UnitsCommittedTogetherMoveEveryMessageOnce) {
    defineQueue("FROM.Q");
    defineQueue("TO.Q");
    constexpr int MESSAGES = 200;
    constexpr int WORKERS = 8;
    {
        MQHCONN hconn = connect(QMGR);
        MQHOBJ hobj = openQueue(hconn, "FROM.Q", MQOO_OUTPUT);
        for (int i = 0; i < MESSAGES; ++i) {
            ASSERT_EQ(put(hconn, hobj, "m" + std::to_string(i)), OK);
        }
        disconnect(hconn);
    }
    std::vector<std::thread> workers;
    for (int w = 0; w < WORKERS; ++w) {
        workers.emplace_back([w] {
            MQHCONN hconn = connect(QMGR);
            MQHOBJ from = openQueue(hconn, "FROM.Q", MQOO_INPUT_SHARED);
            MQHOBJ to = openQueue(hconn, "TO.Q", MQOO_OUTPUT);
            for (int n = 0;; ++n) {
                Got got = get(hconn, from, MQGMO_SYNCPOINT);
                if (got.outcome == failed(MQRC_NO_MSG_AVAILABLE)) {
                    break;
                }
                ASSERT_EQ(got.outcome, OK) << mqLastErrorDetail();
                // Two puts per unit, and some units backed out, as a failing flow would.
                ASSERT_EQ(put(hconn, to, got.body + "/a", -1, MQPMO_SYNCPOINT), OK);
                ASSERT_EQ(put(hconn, to, got.body + "/b", -1, MQPMO_SYNCPOINT), OK);
                Outcome outcome;
                if (got.md.BackoutCount == 0 && (n + w) % 5 == 0) {
                    MQBACK(hconn, &outcome.compCode, &outcome.reason);
                } else {
                    MQCMIT(hconn, &outcome.compCode, &outcome.reason);
                }
                ASSERT_EQ(outcome, OK) << mqLastErrorDetail();
            }
            disconnect(hconn);
        });
    }
    for (auto &worker : workers) {
        worker.join();
    }
    MQHCONN hconn = connect(QMGR);
    MQHOBJ to = openQueue(hconn, "TO.Q", MQOO_INPUT_SHARED);
    std::map<std::string, int> seen;
    for (Got got; (got = get(hconn, to)).outcome == OK;) {
        ++seen[got.body];
    }
    MQHOBJ from = openQueue(hconn, "FROM.Q", MQOO_INPUT_SHARED);
    EXPECT_EQ(get(hconn, from).outcome, failed(MQRC_NO_MSG_AVAILABLE));
    disconnect(hconn);
    std::string wrong;
    for (int i = 0; i < MESSAGES; ++i) {
        for (const char *part : {"/a", "/b"}) {
            std::string body = "m" + std::to_string(i) + part;
            if (seen[body] != 1) {
                wrong += body + " stored " + std::to_string(seen[body]) + " times; ";
            }
        }
    }
    EXPECT_EQ(wrong, "");
    EXPECT_EQ(seen.size(), static_cast<size_t>(2 * MESSAGES));
}

TEST_F(Threads, CallsOnOneConnectionFromTwoThreadsAreSerialised) {
    defineQueue("SHARED.Q");
    MQHCONN hconn = connect(QMGR);
    MQHOBJ hobj = openQueue(hconn, "SHARED.Q", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    std::thread putter([&] {
        for (int i = 0; i < 50; ++i) {
            EXPECT_EQ(put(hconn, hobj, "p"), OK);
        }
    });
    int got = 0;
    for (int tries = 0; got < 50 && tries < 500; ++tries) {
        got += get(hconn, hobj, MQGMO_WAIT, 100).outcome == OK;
    }
    putter.join();
    EXPECT_EQ(got, 50);
    disconnect(hconn);
}

} // namespace
