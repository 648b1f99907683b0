// flowping as a person runs it: a separate process against a real queue manager, with a
// responder in the test that answers the request the way a deployed flow does.
#include "tests/messaging/support.h"

#include <future>

using namespace mqtest;

namespace {

const std::string REQUEST = "<outer><tag1>data1</tag1></outer>";
const std::string REPLY = "<outer><tag1>data1</tag1><Status>42704</Status></outer>";

class Flowping : public QueueManagerTest {
protected:
    void SetUp() override {
        QueueManagerTest::SetUp();
        createQueueManager("OSTRIN_QM");
        define("OSTRIN_QM", "I1.Q");
        define("OSTRIN_QM", "SQLCODE_42704.Q");
    }

    void define(const char *qmgr, const std::string &queue) {
        char detail[256];
        ASSERT_EQ(mqDefineQueue(qmgr, queue.c_str(), nullptr, detail, sizeof detail), MQRC_NONE)
            << detail;
    }

    // Answers one request: takes it from the put queue and puts reply on the get queue.
    // Gives back the request it took.
    std::future<std::string> respond(const std::string &qmgr, const std::string &putQueue,
                                     const std::string &getQueue, const std::string &reply) {
        return std::async(std::launch::async, [=] {
            MQHCONN hconn = connect(qmgr.c_str());
            MQHOBJ requests = openQueue(hconn, putQueue.c_str(), MQOO_INPUT_SHARED);
            MQHOBJ replies = openQueue(hconn, getQueue.c_str(), MQOO_OUTPUT);
            Got request = get(hconn, requests, MQGMO_WAIT, 20000);
            EXPECT_EQ(request.outcome, OK) << "the responder saw no request";
            if (request.outcome == OK) {
                EXPECT_EQ(put(hconn, replies, reply), OK);
            }
            disconnect(hconn);
            return request.body;
        });
    }

    ProcessResult flowping(std::vector<std::string> arguments = {}) {
        arguments.insert(arguments.begin(), FLOWPING_PATH);
        return runProcess(arguments);
    }

    static std::string progress(const std::string &qmgr, const std::string &putQueue,
                                const std::string &getQueue) {
        return "Queue manager: " + qmgr + "\nPUT queue: " + putQueue + "\nGET queue: " + getQueue +
               "\n";
    }

    static std::string exchangeOut(const std::string &qmgr, const std::string &putQueue,
                                   const std::string &getQueue) {
        return progress(qmgr, putQueue, getQueue) + "Putting request message '" + REQUEST +
               "' on queue " + putQueue + "\n";
    }

    static std::string exchangeErr(const std::string &getQueue, const std::string &reply) {
        return "about to modified message from queue " + getQueue + "\nModified message is:\n'" +
               reply + "'\n";
    }
};

TEST_F(Flowping, WithoutArgumentsExchangesOnTheDefaultQueues) {
    auto request = respond("OSTRIN_QM", "I1.Q", "SQLCODE_42704.Q", REPLY);
    ProcessResult result = flowping();
    EXPECT_EQ(request.get(), REQUEST);
    EXPECT_EQ(result.status, 0) << result;
    EXPECT_EQ(result.out, exchangeOut("OSTRIN_QM", "I1.Q", "SQLCODE_42704.Q")) << result;
    EXPECT_EQ(result.err, exchangeErr("SQLCODE_42704.Q", REPLY)) << result;
}

TEST_F(Flowping, ThreeArgumentsNameQueueManagerPutQueueAndGetQueue) {
    createQueueManager("QM.OTHER");
    define("QM.OTHER", "REQUEST.Q");
    const std::string longest(48, 'R'); // exactly fills the object name field
    define("QM.OTHER", longest);
    auto request = respond("QM.OTHER", "REQUEST.Q", longest, "done");
    ProcessResult result = flowping({"QM.OTHER", "REQUEST.Q", longest});
    EXPECT_EQ(request.get(), REQUEST);
    EXPECT_EQ(result.status, 0) << result;
    EXPECT_EQ(result.out, exchangeOut("QM.OTHER", "REQUEST.Q", longest)) << result;
    EXPECT_EQ(result.err, exchangeErr(longest, "done")) << result;
}

TEST_F(Flowping, OtherArgumentCountsPrintUsageAndConnectToNothing) {
    // With no queue manager reachable, any connection attempt would print a failure line.
    ::setenv(MQ_DIRECTORY_VARIABLE, (directory() + "/absent").c_str(), 1);
    const std::string usage = std::string("Usage: ") + FLOWPING_PATH +
                              " < <queueManagerName> <PUT Queue> <GET Queue> >\n";
    for (const std::vector<std::string> &arguments : std::vector<std::vector<std::string>>{
             {"A"}, {"A", "B"}, {"A", "B", "C", "D"}, {"A", "B", "C", "D", "E"}}) {
        ProcessResult result = flowping(arguments);
        EXPECT_EQ(result.status, 0) << arguments.size() << " arguments\n" << result;
        EXPECT_EQ(result.out, usage) << arguments.size() << " arguments\n" << result;
        EXPECT_EQ(result.err, "") << arguments.size() << " arguments\n" << result;
    }
}

TEST_F(Flowping, FailedCallsPrintTheirCodesAndEndWithStatusOne) {
    struct {
        std::vector<std::string> arguments;
        std::string failure;
    } cases[] = {
        {{"NO_SUCH_QM", "I1.Q", "SQLCODE_42704.Q"}, "MQCONN failed with compcode=2, reason=2058\n"},
        {{"OSTRIN_QM", "NO.PUT.Q", "SQLCODE_42704.Q"},
         "MQOPEN for PUT queue 'NO.PUT.Q' failed with compcode=2, reason=2085\n"},
        {{"OSTRIN_QM", "I1.Q", "NO.GET.Q"},
         "MQOPEN for GET queue 'NO.GET.Q' failed with compcode=2, reason=2085\n"},
    };
    for (const auto &c : cases) {
        ProcessResult result = flowping(c.arguments);
        const auto &a = c.arguments;
        EXPECT_EQ(result.status, 1) << result;
        EXPECT_EQ(result.out, progress(a[0], a[1], a[2]) + c.failure) << result;
        EXPECT_EQ(result.err, "") << result;
    }
}

TEST_F(Flowping, QueueNameLongerThanTheObjectNameIsRefusedBeforeConnecting) {
    ::setenv(MQ_DIRECTORY_VARIABLE, (directory() + "/absent").c_str(), 1);
    const std::string tooLong(49, 'Q');
    ProcessResult result = flowping({"OSTRIN_QM", "I1.Q", tooLong});
    EXPECT_EQ(result.status, 1) << result;
    EXPECT_EQ(result.out, progress("OSTRIN_QM", "I1.Q", tooLong) + "Queue name '" + tooLong +
                              "' is longer than the 48-character limit\n")
        << result;
}

TEST_F(Flowping, ReplyOfExactlyTheBufferSizeIsPrintedWhole) {
    const std::string reply = "<r>" + std::string(10000 - 7, 'x') + "</r>";
    ASSERT_EQ(reply.size(), 10000u);
    auto request = respond("OSTRIN_QM", "I1.Q", "SQLCODE_42704.Q", reply);
    ProcessResult result = flowping();
    request.get();
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.err, exchangeErr("SQLCODE_42704.Q", reply));
}

TEST_F(Flowping, ReplyLongerThanTheBufferFailsTheGetAndStaysOnItsQueue) {
    const std::string reply(10001, 'y');
    auto request = respond("OSTRIN_QM", "I1.Q", "SQLCODE_42704.Q", reply);
    ProcessResult result = flowping();
    request.get();
    EXPECT_EQ(result.status, 1) << result;
    EXPECT_EQ(result.out, exchangeOut("OSTRIN_QM", "I1.Q", "SQLCODE_42704.Q") +
                              "MQGET failed with compcode=2, reason=2080\n")
        << result;
    EXPECT_EQ(result.err, "about to modified message from queue SQLCODE_42704.Q\n");

    MQHCONN hconn = connect("OSTRIN_QM");
    Got kept = get(hconn, openQueue(hconn, "SQLCODE_42704.Q", MQOO_INPUT_SHARED),
                   MQGMO_NO_SYNCPOINT, 0, 20000);
    EXPECT_EQ(kept.outcome, OK);
    EXPECT_EQ(kept.body, reply) << "the reply is still on its queue";
    disconnect(hconn);
}

} // namespace
