// Administration of the stand-in queue manager, through its functions and through the
// mqadmin command as an operator runs it.
#include "tests/messaging/support.h"

#include <fstream>

using namespace mqtest;

namespace {

class Administration : public QueueManagerTest {
protected:
    ProcessResult mqadmin(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), MQADMIN_PATH);
        return runProcess(arguments);
    }
    std::vector<mqQueueInfo_t> listQueues() {
        mqQueueInfo_t *queues = nullptr;
        MQLONG count = 0;
        char detail[256];
        EXPECT_EQ(mqListQueues(QMGR, &queues, &count, detail, sizeof detail), MQRC_NONE) << detail;
        std::vector<mqQueueInfo_t> list(queues, queues + count);
        std::free(queues);
        return list;
    }
};

TEST_F(Administration, RefusesDuplicatesBadNamesAndUnknownQueueManagers) {
    defineQueue("Q.A");
    char detail[256];
    struct {
        const char *what;
        MQLONG reason;
        MQLONG expected;
    } cases[] = {
        {"queue manager again", mqCreateQueueManager(QMGR, detail, sizeof detail),
         MQRC_OBJECT_ALREADY_EXISTS},
        {"queue again", mqDefineQueue(QMGR, "Q.A", nullptr, detail, sizeof detail),
         MQRC_OBJECT_ALREADY_EXISTS},
        {"queue manager name with a slash", mqCreateQueueManager("a/b", detail, sizeof detail),
         MQRC_OBJECT_NAME_ERROR},
        {"queue name of 49 characters",
         mqDefineQueue(QMGR, std::string(49, 'Q').c_str(), nullptr, detail, sizeof detail),
         MQRC_OBJECT_NAME_ERROR},
        {"queue on unknown queue manager",
         mqDefineQueue("NOPE", "Q.A", nullptr, detail, sizeof detail), MQRC_Q_MGR_NAME_ERROR},
        {"unknown queue", mqDeleteQueue(QMGR, "Q.NONE", 0, detail, sizeof detail),
         MQRC_UNKNOWN_OBJECT_NAME},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.reason, c.expected) << c.what << ": got " << reasonText(c.reason);
    }
}

TEST_F(Administration, QueueWithMessagesIsDeletedOnlyWhenPurged) {
    defineQueue("Q.FULL");
    MQHCONN hconn = connect(QMGR);
    MQHOBJ hobj = openQueue(hconn, "Q.FULL", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    ASSERT_EQ(put(hconn, hobj, "one"), OK);
    ASSERT_EQ(put(hconn, hobj, "two"), OK);
    ASSERT_EQ(get(hconn, hobj, MQGMO_SYNCPOINT).body, "one");

    std::vector<mqQueueInfo_t> queues = listQueues();
    ASSERT_EQ(queues.size(), 1u);
    EXPECT_STREQ(queues[0].name, "Q.FULL");
    EXPECT_EQ(queues[0].depth, 1);
    EXPECT_EQ(queues[0].uncommitted, 1);

    char detail[256];
    EXPECT_EQ(mqDeleteQueue(QMGR, "Q.FULL", 1, detail, sizeof detail), MQRC_OBJECT_IN_USE)
        << "a message is held in a unit of work";
    disconnect(hconn); // backs the held message out
    EXPECT_EQ(mqDeleteQueue(QMGR, "Q.FULL", 0, detail, sizeof detail), MQRC_OBJECT_IN_USE);
    EXPECT_NE(std::string(detail).find("2 messages"), std::string::npos) << detail;
    EXPECT_EQ(mqDeleteQueue(QMGR, "Q.FULL", 1, detail, sizeof detail), MQRC_NONE) << detail;
    EXPECT_TRUE(listQueues().empty());
}

TEST_F(Administration, DeletedQueueManagerRefusesConnectionsItHadAndNewOnes) {
    defineQueue("Q.A");
    MQHCONN hconn = connect(QMGR);
    MQHOBJ hobj = openQueue(hconn, "Q.A", MQOO_OUTPUT | MQOO_INPUT_SHARED);
    ASSERT_EQ(put(hconn, hobj, "x"), OK);
    char detail[256];
    EXPECT_EQ(mqDeleteQueueManager(QMGR, 0, detail, sizeof detail), MQRC_OBJECT_IN_USE);
    EXPECT_EQ(mqDeleteQueueManager(QMGR, 1, detail, sizeof detail), MQRC_NONE) << detail;
    EXPECT_EQ(put(hconn, hobj, "into a deleted queue manager"), failed(MQRC_Q_DELETED));
    EXPECT_EQ(get(hconn, hobj, MQGMO_WAIT, 3000).outcome, failed(MQRC_CONNECTION_BROKEN));
    disconnect(hconn);
    MQHCONN refused;
    Outcome outcome;
    MQCONN(QMGR, &refused, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_Q_MGR_NAME_ERROR));
    EXPECT_EQ(runProcess({"/bin/ls", "-A", directory()}).out, "");
}

TEST_F(Administration, FirstPutAfterTheQueueManagerWasDeletedFails) {
    defineQueue("Q.A");
    MQHCONN hconn = connect(QMGR);
    MQHOBJ hobj = openQueue(hconn, "Q.A", MQOO_OUTPUT);
    char detail[256];
    ASSERT_EQ(mqDeleteQueueManager(QMGR, 0, detail, sizeof detail), MQRC_NONE) << detail;
    EXPECT_EQ(put(hconn, hobj, "into nothing"), failed(MQRC_Q_DELETED));
    ASSERT_EQ(mqCreateQueueManager(QMGR, detail, sizeof detail), MQRC_NONE) << detail;
    defineQueue("Q.A");
    EXPECT_EQ(put(hconn, hobj, "into the new one"), failed(MQRC_Q_DELETED))
        << "a connection never writes into a queue manager created after it";
    disconnect(hconn);
}

TEST_F(Administration, CommandRunsAnOperatorsSession) {
    struct Step {
        std::vector<std::string> arguments;
        int status;
        std::string out;
    } steps[] = {
        {{"create-qm", "QM2"}, 0, "Queue manager QM2 created.\n"},
        {{"define-q", "QM2", "A.Q", "--priority", "2"}, 0, "Queue A.Q defined on QM2.\n"},
        {{"put", "QM2", "A.Q", "--text", "hello", "--reply-to", "R.Q"}, 0, ""},
        {{"put", "QM2", "A.Q", "--text", "urgent", "--priority", "9"}, 0, ""},
        {{"browse", "QM2", "A.Q"}, 0, "urgent\nhello\n"},
        {{"get", "QM2", "A.Q"}, 0, "urgent\n"},
        {{"list-qm"}, 0, "QM1\nQM2\n"},
        {{"delete-q", "QM2", "A.Q"}, 1, ""},
        {{"get", "QM2", "A.Q", "--all"}, 0, "hello\n"},
        {{"get", "QM2", "A.Q"}, 1, ""},
        {{"delete-q", "QM2", "A.Q"}, 0, "Queue A.Q deleted from QM2.\n"},
        {{"delete-qm", "QM2"}, 0, "Queue manager QM2 deleted.\n"},
        {{"list-qm"}, 0, "QM1\n"},
        {{"frobnicate"}, 2, ""},
        {{"define-q", "QM1", "B.Q", "--priority", "12"}, 2, ""},
        {{"create-qm"}, 2, ""},
        {{"put", "QM1", "NO.Q", "--text", "x"}, 1, ""},
    };
    for (const auto &step : steps) {
        ProcessResult result = mqadmin(step.arguments);
        std::string command;
        for (const auto &argument : step.arguments) {
            command += argument + " ";
        }
        EXPECT_EQ(result.status, step.status) << command << "\n" << result;
        if (!step.out.empty() || step.status != 0) {
            EXPECT_EQ(result.out, step.out) << command << "\n" << result;
        }
        if (step.status != 0) {
            EXPECT_NE(result.err.find("mqadmin: "), std::string::npos) << command << result;
        }
    }
}

TEST_F(Administration, CommandPutsFilesAndShowsDescriptors) {
    defineQueue("F.Q");
    std::string file = directory() + "/body.xml";
    std::ofstream(file) << "<a>from a file</a>";
    ProcessResult put =
        mqadmin({"put", QMGR, "F.Q", "--file", file, "--reply-to", "R.Q", "--correl-id", "0a0b"});
    ASSERT_EQ(put.status, 0) << put;
    ProcessResult got = mqadmin({"get", QMGR, "F.Q", "--descriptor"});
    ASSERT_EQ(got.status, 0) << got;
    for (const char *line : {"\nReplyToQ: R.Q\n", "\nMsgType: 1\n", "\nLength: 18\n",
                             "\nCorrelId: 0a0b00000000000000000000000000000000000000000000\n",
                             "\nData:\n<a>from a file</a>\n"}) {
        EXPECT_NE(got.out.find(line), std::string::npos) << "missing " << line << got;
    }
    ProcessResult help = mqadmin({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: mqadmin", 0), 0u) << help;
    ProcessResult missing = mqadmin({"put", QMGR, "F.Q", "--file", directory() + "/none"});
    EXPECT_EQ(missing.status, 1) << missing;
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing;
    // A directory is no body: a clear refusal, not an abort.
    ProcessResult folder = mqadmin({"put", QMGR, "F.Q", "--file", directory()});
    EXPECT_EQ(folder.status, 1) << folder;
    EXPECT_NE(folder.err.find("cannot read " + directory() + ": Is a directory"), std::string::npos)
        << folder;
}

} // namespace
