// A queue manager kept in PostgreSQL, through the messaging calls and mqadmin: created with
// mqadmin create-qm --postgres, found by MQCONN through its entry in the data directory,
// order, units of work and waits woken by another connection's commit, an unreachable
// server, a schema of another version, and deletion. Uses the fixture's server, in a
// database of its own ("trevane_mq_qm"); a server that never answers, and one of the test's
// own that goes away under a connection and comes back.
#include "tests/messaging/support.h"
#include "tests/support/pgstatement.h"

#include <cerrno>
#include <fstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

using namespace mqtest;

namespace {

std::string serverCommand(const std::string &database, const std::string &sql) {
    return pgfixture::runStatement(sql, database);
}

const char *const QMGR = "PGQM";

class PostgresQueueManager : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pgfixture::useServer(), "");
        ASSERT_EQ(serverCommand("trevane", "DROP DATABASE IF EXISTS trevane_mq_qm WITH (FORCE)"),
                  "");
        ASSERT_EQ(serverCommand("trevane", "CREATE DATABASE trevane_mq_qm"), "");
        ::setenv(MQ_DIRECTORY_VARIABLE, directory_.path().c_str(), 1);
        char detail[512];
        MQLONG reason =
            mqCreateQueueManagerPostgres(QMGR, conninfo().c_str(), detail, sizeof detail);
        ASSERT_EQ(reason, MQRC_NONE) << reasonText(reason) << ": " << detail;
        mqQueueAttributes_t attributes = MQ_QUEUE_ATTRIBUTES_DEFAULT;
        ASSERT_EQ(mqDefineQueue(QMGR, "Q.IN", &attributes, detail, sizeof detail), MQRC_NONE)
            << detail;
    }

    static std::string conninfo() { return pgfixture::conninfo() + " dbname=trevane_mq_qm"; }

    TemporaryDirectory directory_;
};

} // namespace

TEST_F(PostgresQueueManager, MessagingCallsWorkOnTheQueueManagerTheEntryNames) {
    MQHCONN hconn = connect(QMGR);
    MQHOBJ in = openQueue(hconn, "Q.IN", MQOO_INPUT_SHARED | MQOO_OUTPUT | MQOO_BROWSE);
    ASSERT_EQ(put(hconn, in, "low", 1), OK);
    ASSERT_EQ(put(hconn, in, "high", 5), OK);

    // Under syncpoint: hidden from a second connection, returned by MQBACK with the
    // backout count raised, gone at MQCMIT together with the unit's put.
    MQHCONN other = connect(QMGR);
    MQHOBJ otherIn = openQueue(other, "Q.IN", MQOO_INPUT_SHARED);
    EXPECT_EQ(get(hconn, in, MQGMO_SYNCPOINT).body, "high");
    EXPECT_EQ(get(other, otherIn, MQGMO_SYNCPOINT).body, "low");
    Outcome outcome;
    MQBACK(other, &outcome.compCode, &outcome.reason);
    ASSERT_EQ(outcome, OK);
    MQBACK(hconn, &outcome.compCode, &outcome.reason);
    ASSERT_EQ(outcome, OK);
    Got again = get(hconn, in, MQGMO_SYNCPOINT);
    EXPECT_EQ(again.body, "high");
    EXPECT_EQ(again.md.BackoutCount, 1);
    ASSERT_EQ(put(hconn, in, "reply", 0, MQPMO_SYNCPOINT), OK);
    EXPECT_EQ(get(other, otherIn).body, "low");
    EXPECT_EQ(get(other, otherIn).outcome, failed(MQRC_NO_MSG_AVAILABLE));
    MQCMIT(hconn, &outcome.compCode, &outcome.reason);
    ASSERT_EQ(outcome, OK);
    EXPECT_EQ(get(other, otherIn).body, "reply");

    // Disconnecting without a commit backs out.
    ASSERT_EQ(put(hconn, in, "held"), OK);
    EXPECT_EQ(get(other, otherIn, MQGMO_SYNCPOINT).body, "held");
    disconnect(other);
    EXPECT_EQ(get(hconn, in).body, "held");
    disconnect(hconn);

    // mqadmin lists it and deletes it with its entry; MQCONN then finds nothing.
    mqQueueManagerInfo_t *managers = nullptr;
    MQLONG count = 0;
    char detail[512];
    ASSERT_EQ(mqListQueueManagers(&managers, &count, detail, sizeof detail), MQRC_NONE);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(managers[0].name, QMGR);
    std::free(managers);
    EXPECT_EQ(mqCreateQueueManager(QMGR, detail, sizeof detail), MQRC_OBJECT_ALREADY_EXISTS);
    ASSERT_EQ(mqDeleteQueueManager(QMGR, 0, detail, sizeof detail), MQRC_NONE) << detail;
    MQHCONN gone = MQHC_UNUSABLE_HCONN;
    MQCONN(QMGR, &gone, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_Q_MGR_NAME_ERROR));
}

TEST_F(PostgresQueueManager, WaitingGetIsWokenByAnotherConnectionsCommit) {
    MQHCONN hconn = connect(QMGR);
    MQHOBJ in = openQueue(hconn, "Q.IN", MQOO_INPUT_SHARED);
    std::thread putter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        MQHCONN p = connect(QMGR);
        MQHOBJ out = openQueue(p, "Q.IN", MQOO_OUTPUT);
        EXPECT_EQ(put(p, out, "late", 0, MQPMO_SYNCPOINT), OK);
        Outcome outcome;
        MQCMIT(p, &outcome.compCode, &outcome.reason);
        EXPECT_EQ(outcome, OK);
        disconnect(p);
    });
    Got got = get(hconn, in, MQGMO_WAIT, 20000);
    putter.join();
    EXPECT_EQ(got.outcome, OK) << mqLastErrorDetail();
    EXPECT_EQ(got.body, "late");
    EXPECT_EQ(get(hconn, in, MQGMO_WAIT, 200).outcome, failed(MQRC_NO_MSG_AVAILABLE));
    disconnect(hconn);
}

// The server ends only the session of a unit of work: the call that finds out fails, and so
// does every call after it but MQDISC, so that the program never commits the rest of the
// unit as if it were all of it.
TEST_F(PostgresQueueManager, UnitLostWithItsSessionLeavesTheConnectionBroken) {
    MQHCONN hconn = connect(QMGR);
    MQHOBJ in = openQueue(hconn, "Q.IN", MQOO_INPUT_SHARED | MQOO_OUTPUT);
    ASSERT_EQ(put(hconn, in, "first"), OK);
    ASSERT_EQ(put(hconn, in, "second"), OK);
    ASSERT_EQ(get(hconn, in, MQGMO_SYNCPOINT).body, "first");
    ASSERT_EQ(serverCommand("trevane_mq_qm",
                            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                            " WHERE datname = 'trevane_mq_qm' AND state = 'idle in transaction'"),
              "");
    EXPECT_EQ(get(hconn, in, MQGMO_SYNCPOINT).outcome, failed(MQRC_CONNECTION_LOST));
    EXPECT_EQ(get(hconn, in, MQGMO_SYNCPOINT).outcome, failed(MQRC_CONNECTION_LOST));
    Outcome outcome;
    MQCMIT(hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_CONNECTION_LOST));
    EXPECT_NE(std::string(mqLastErrorDetail()).find("rolled back"), std::string::npos)
        << mqLastErrorDetail();
    MQDISC(&hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, OK);

    MQHCONN again = connect(QMGR);
    MQHOBJ queue = openQueue(again, "Q.IN", MQOO_INPUT_SHARED);
    Got got = get(again, queue);
    EXPECT_EQ(got.body, "first") << "the lost unit was rolled back";
    EXPECT_EQ(got.md.BackoutCount, 1);
    EXPECT_EQ(get(again, queue).body, "second");
    disconnect(again);
}

TEST_F(PostgresQueueManager, UnreachableServerAndOtherSchemaVersionAreRefused) {
    // An entry naming a server that does not answer: 2059, naming the server.
    {
        std::ofstream entry(directory_.path() + "/FAR.qmgr-pg");
        entry << "host=/nonexistent-trevane-dir port=5999 dbname=x connect_timeout=2\n";
    }
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    Outcome outcome;
    MQCONN("FAR", &hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_Q_MGR_UNREACHABLE));
    EXPECT_NE(std::string(mqLastErrorDetail()).find("/nonexistent-trevane-dir"), std::string::npos)
        << mqLastErrorDetail();

    // A schema of another version is refused by MQCONN and by mqadmin, and kept as it is.
    ASSERT_EQ(serverCommand("trevane_mq_qm", "UPDATE trevane_schema SET version = 3"), "");
    MQCONN(QMGR, &hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_Q_MGR_NOT_AVAILABLE));
    EXPECT_NE(std::string(mqLastErrorDetail()).find("schema version 3"), std::string::npos)
        << mqLastErrorDetail();
    ChildProcess admin({MQADMIN_PATH, "create-qm", "SECOND", "--postgres", conninfo()});
    std::string out, err;
    EXPECT_EQ(admin.finish(out, err), 1);
    EXPECT_NE(err.find("schema version 3"), std::string::npos) << err;
    ASSERT_EQ(serverCommand("trevane_mq_qm", "UPDATE trevane_schema SET version = 2"), "");
}

namespace {

// A PostgreSQL server of the test's own (scripts/pg-fixture.sh), which it may stop and
// start again without disturbing the tests that share the fixture's server.
class OwnServer {
public:
    OwnServer() {
        char pattern[] = "/tmp/trevane-pgown-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        directory_ = made != nullptr ? made : "";
        started_ = !directory_.empty() && script("start");
    }
    ~OwnServer() {
        if (!directory_.empty()) {
            script("stop");
        }
    }
    bool started() const { return started_; }
    bool script(const char *command) {
        ChildProcess run({"/bin/bash", PG_FIXTURE_SCRIPT, command, directory_});
        std::string out;
        int status = run.finish(out, error_);
        return status == 0;
    }
    const std::string &error() const { return error_; }
    std::string conninfo() const {
        return "host=" + directory_ + " port=5432 user=trevane dbname=trevane";
    }

private:
    std::string directory_;
    std::string error_;
    bool started_ = false;
};

} // namespace

// No connect_timeout in the entry: MQCONN still gives up after the default ten seconds.
TEST(PostgresServer, MqconnToAServerThatDoesNotAnswerFailsInBoundedTime) {
    TemporaryDirectory directory;
    ::setenv(MQ_DIRECTORY_VARIABLE, directory.path().c_str(), 1);
    ::unsetenv("PGCONNECT_TIMEOUT");
    SilentServer silent(directory.path());
    ASSERT_TRUE(silent.listening()) << std::strerror(errno);
    {
        std::ofstream entry(directory.path() + "/MUTE.qmgr-pg");
        entry << "host=" << directory.path() << " port=5999 dbname=x user=x\n";
    }
    auto started = std::chrono::steady_clock::now();
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    Outcome outcome;
    MQCONN("MUTE", &hconn, &outcome.compCode, &outcome.reason);
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(outcome, failed(MQRC_Q_MGR_UNREACHABLE));
    EXPECT_NE(std::string(mqLastErrorDetail()).find(directory.path()), std::string::npos)
        << mqLastErrorDetail();
    EXPECT_GE(took, std::chrono::seconds(8));
    EXPECT_LE(took, std::chrono::seconds(20));
}

// The server goes away under a connection: every call but MQDISC fails with 2009 from then
// on, the unit in progress is rolled back with its get counted, MQDISC works, MQCONN fails
// with 2059 while the server is down and works again once it is back.
TEST(PostgresServer, ConnectionLostStaysBrokenUntilTheProgramConnectsAgain) {
    OwnServer server;
    ASSERT_TRUE(server.started()) << server.error();
    TemporaryDirectory directory;
    ::setenv(MQ_DIRECTORY_VARIABLE, directory.path().c_str(), 1);
    char detail[512];
    ASSERT_EQ(
        mqCreateQueueManagerPostgres("LOSS", server.conninfo().c_str(), detail, sizeof detail),
        MQRC_NONE)
        << detail;
    ASSERT_EQ(mqDefineQueue("LOSS", "Q.IN", nullptr, detail, sizeof detail), MQRC_NONE) << detail;
    MQHCONN hconn = connect("LOSS");
    MQHOBJ in = openQueue(hconn, "Q.IN", MQOO_INPUT_SHARED | MQOO_OUTPUT);
    ASSERT_EQ(put(hconn, in, "kept"), OK);
    ASSERT_EQ(put(hconn, in, "taken"), OK);
    ASSERT_EQ(get(hconn, in).body, "kept");
    ASSERT_EQ(get(hconn, in, MQGMO_SYNCPOINT).body, "taken");

    ASSERT_TRUE(server.script("pause")) << server.error();
    EXPECT_EQ(put(hconn, in, "lost"), failed(MQRC_CONNECTION_LOST));
    EXPECT_NE(std::string(mqLastErrorDetail()).find("lost the connection"), std::string::npos)
        << mqLastErrorDetail();
    EXPECT_EQ(get(hconn, in).outcome, failed(MQRC_CONNECTION_LOST));
    Outcome outcome;
    MQCMIT(hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_CONNECTION_LOST));
    MQHCONN down = MQHC_UNUSABLE_HCONN;
    MQCONN("LOSS", &down, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, failed(MQRC_Q_MGR_UNREACHABLE));

    ASSERT_TRUE(server.script("resume")) << server.error();
    EXPECT_EQ(put(hconn, in, "late"), failed(MQRC_CONNECTION_LOST)) << "the connection stays lost";
    MQDISC(&hconn, &outcome.compCode, &outcome.reason);
    EXPECT_EQ(outcome, OK);
    EXPECT_EQ(hconn, MQHC_UNUSABLE_HCONN);

    MQHCONN again = connect("LOSS");
    MQHOBJ queue = openQueue(again, "Q.IN", MQOO_INPUT_SHARED);
    Got got = get(again, queue);
    EXPECT_EQ(got.body, "taken") << "the lost unit was rolled back";
    EXPECT_EQ(got.md.BackoutCount, 1);
    EXPECT_EQ(get(again, queue).outcome, failed(MQRC_NO_MSG_AVAILABLE));
    disconnect(again);
}
