// The PostgreSQL store against the fixture's server, in a database of its own
// ("trevane_mq", made afresh for each test): schema and its version, order and selection,
// units of work across connections, a broken connection in the middle of a unit, and the
// notifications that tell a waiting getter something changed.
#include "messaging/pgstore.h"
#include "tests/support/pgstatement.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

using namespace trevane::mq;

namespace {

const char *const DATABASE = "trevane_mq";

// Runs one statement on the fixture's server in the given database; the server's message
// when it fails.
std::string admin(const std::string &database, const std::string &sql) {
    return pgfixture::runStatement(sql, database);
}

class PgStoreTest : public testing::Test {
protected:
    void SetUp() override {
        std::string why = pgfixture::useServer();
        ASSERT_EQ(why, "");
        ASSERT_EQ(
            admin("trevane", std::string("DROP DATABASE IF EXISTS ") + DATABASE + " WITH (FORCE)"),
            "");
        ASSERT_EQ(admin("trevane", std::string("CREATE DATABASE ") + DATABASE), "");
        Failure failure;
        PgStore creator(conninfo());
        ASSERT_TRUE(creator.create("PGQM", failure)) << failure.detail;
        mqQueueAttributes_t attributes = MQ_QUEUE_ATTRIBUTES_DEFAULT;
        ASSERT_TRUE(creator.defineQueue("Q1", attributes, failure)) << failure.detail;
        ASSERT_TRUE(creator.defineQueue("Q2", attributes, failure)) << failure.detail;
    }

    static std::string conninfo() { return pgfixture::conninfo() + " dbname=" + DATABASE; }

    // An opened store and its queue Q1.
    struct Opened {
        PgStore store{conninfo()};
        QueueDefinition queue;
        BrowseCursor cursor;
    };
    void openStore(Opened &opened, const char *queue = "Q1") {
        Failure failure;
        ASSERT_TRUE(opened.store.open("PGQM", failure)) << failure.detail;
        ASSERT_TRUE(opened.store.findQueue(queue, opened.queue, failure)) << failure.detail;
    }

    static MQMD descriptor(MQLONG priority, const char *correl = "") {
        MQMD md = MQMD_DEFAULT;
        md.Priority = priority;
        md.Persistence = MQPER_PERSISTENT;
        static int next = 0;
        ++next;
        std::memcpy(md.MsgId, &next, sizeof next);
        std::memcpy(md.CorrelId, correl, std::min(std::strlen(correl), sizeof md.CorrelId));
        return md;
    }

    static void put(Opened &o, const std::string &body, MQLONG priority = 0,
                    const char *correl = "") {
        Failure failure;
        MQMD md = descriptor(priority, correl);
        ASSERT_TRUE(
            o.store.put(o.queue, md, body.data(), static_cast<MQLONG>(body.size()), failure))
            << failure.detail;
    }

    // Takes one message: its body, or "<reason>" when there is none.
    static std::string take(Opened &o, GetMode mode = GetMode::Remove, MQMD *seen = nullptr,
                            const MQMD *select = nullptr, MQLONG bufferLength = 100) {
        MQMD md = select != nullptr ? *select : MQMD(MQMD_DEFAULT);
        char buffer[100] = {};
        GetRequest request;
        request.mode = mode;
        request.unitOfWork = 1;
        request.buffer = buffer;
        request.bufferLength = bufferLength;
        MQLONG length = 0;
        bool truncated = false;
        Failure failure;
        BrowseCursor &cursor = o.cursor;
        if (!o.store.get(o.queue, request, md, cursor, length, truncated, failure)) {
            return "<" + std::to_string(failure.reason) + ">";
        }
        if (seen != nullptr) {
            *seen = md;
        }
        return std::string(buffer, static_cast<size_t>(std::min<MQLONG>(length, bufferLength)));
    }

    static MQLONG depth(Opened &o, MQLONG *uncommitted = nullptr) {
        std::vector<mqQueueInfo_t> queues;
        Failure failure;
        EXPECT_TRUE(o.store.listQueues(queues, failure)) << failure.detail;
        for (const mqQueueInfo_t &q : queues) {
            if (o.queue.name == q.name) {
                if (uncommitted != nullptr) {
                    *uncommitted = q.uncommitted;
                }
                return q.depth;
            }
        }
        return -1;
    }
};

} // namespace

TEST_F(PgStoreTest, SchemaVersionNamesAndUnreachableServer) {
    Failure failure;
    PgStore again(conninfo());
    EXPECT_FALSE(again.create("PGQM", failure));
    EXPECT_EQ(failure.reason, MQRC_OBJECT_ALREADY_EXISTS);

    PgStore missing(conninfo());
    EXPECT_FALSE(missing.open("NOSUCH", failure));
    EXPECT_EQ(failure.reason, MQRC_Q_MGR_NAME_ERROR);

    // A database without the schema holds no queue managers.
    ASSERT_EQ(admin("trevane", "DROP DATABASE IF EXISTS trevane_mq_empty WITH (FORCE)"), "");
    ASSERT_EQ(admin("trevane", "CREATE DATABASE trevane_mq_empty"), "");
    PgStore empty(pgfixture::conninfo() + " dbname=trevane_mq_empty");
    EXPECT_FALSE(empty.open("PGQM", failure));
    EXPECT_EQ(failure.reason, MQRC_Q_MGR_NAME_ERROR);
    admin("trevane", "DROP DATABASE trevane_mq_empty WITH (FORCE)");

    // Another schema version is refused, for opening and for creating, and left as it is.
    ASSERT_EQ(admin(DATABASE, "UPDATE trevane_schema SET version = 99"), "");
    PgStore newer(conninfo());
    EXPECT_FALSE(newer.open("PGQM", failure));
    EXPECT_EQ(failure.reason, MQRC_Q_MGR_NOT_AVAILABLE);
    EXPECT_NE(failure.detail.find("schema version 99"), std::string::npos) << failure.detail;
    EXPECT_FALSE(newer.create("OTHER", failure));
    EXPECT_EQ(failure.reason, MQRC_Q_MGR_NOT_AVAILABLE);

    // Version 1, which lacks the table of uncommitted gets, is brought up to date by the
    // first open, and its messages kept.
    ASSERT_EQ(admin(DATABASE, "DROP TABLE trevane_backout; UPDATE trevane_schema SET version = 1"),
              "");
    Opened old;
    openStore(old);
    put(old, "kept", 0);
    EXPECT_EQ(take(old, GetMode::Hold), "kept");
    Failure backOutFailure;
    ASSERT_TRUE(old.store.backOut(1, backOutFailure)) << backOutFailure.detail;
    MQMD md{};
    EXPECT_EQ(take(old, GetMode::Remove, &md), "kept");
    EXPECT_EQ(md.BackoutCount, 1);
    EXPECT_EQ(admin(DATABASE, "DO $$ BEGIN IF (SELECT max(version) FROM trevane_schema) <> 2"
                              " THEN RAISE 'not upgraded'; END IF; END $$"),
              "");

    // No server there: 2059, naming the server.
    PgStore unreachable("host=/nonexistent-socket-dir port=5999 dbname=x connect_timeout=2");
    EXPECT_FALSE(unreachable.open("PGQM", failure));
    EXPECT_EQ(failure.reason, MQRC_Q_MGR_UNREACHABLE);
    EXPECT_NE(failure.detail.find("/nonexistent-socket-dir"), std::string::npos) << failure.detail;
}

TEST_F(PgStoreTest, OrderSelectionBrowseAndTruncation) {
    Opened o;
    openStore(o);
    put(o, "low-1", 0);
    put(o, "high", 7);
    put(o, "low-2", 0, "corr-A");
    put(o, "long message", 0);
    EXPECT_EQ(depth(o), 4);

    // Browse walks priority then arrival and takes nothing.
    EXPECT_EQ(take(o, GetMode::BrowseFirst), "high");
    EXPECT_EQ(take(o, GetMode::BrowseNext), "low-1");
    EXPECT_EQ(take(o, GetMode::BrowseNext), "low-2");
    EXPECT_EQ(take(o, GetMode::BrowseNext), "long message");
    EXPECT_EQ(take(o, GetMode::BrowseNext), "<2033>");
    EXPECT_EQ(depth(o), 4);

    // Selection by correlation identifier, then by message identifier.
    MQMD select = MQMD_DEFAULT;
    std::memcpy(select.CorrelId, "corr-A", 6);
    EXPECT_EQ(take(o, GetMode::Remove, nullptr, &select), "low-2");
    EXPECT_EQ(take(o, GetMode::Remove, nullptr, &select), "<2033>");
    MQMD seen{};
    EXPECT_EQ(take(o, GetMode::BrowseFirst, &seen), "high");
    MQMD byId = MQMD_DEFAULT;
    std::memcpy(byId.MsgId, seen.MsgId, sizeof byId.MsgId);
    EXPECT_EQ(take(o, GetMode::Remove, &seen, &byId), "high");
    EXPECT_EQ(seen.Priority, 7);
    EXPECT_EQ(seen.BackoutCount, 0);

    // Too long for the buffer: 2080, and it stays first in line.
    EXPECT_EQ(take(o), "low-1");
    EXPECT_EQ(take(o, GetMode::Remove, nullptr, nullptr, 4), "<2080>");
    EXPECT_EQ(take(o, GetMode::Hold, nullptr, nullptr, 4), "<2080>");
    EXPECT_EQ(depth(o), 1);
    EXPECT_EQ(take(o), "long message");
    EXPECT_EQ(take(o), "<2033>");
}

TEST_F(PgStoreTest, UnitsOfWorkAcrossConnections) {
    Opened a;
    Opened b;
    openStore(a);
    openStore(b);
    put(a, "one", 0);
    put(a, "two", 0);
    Failure failure;
    b.store.watch(b.queue, true);
    int64_t version = b.store.dataVersion(failure);

    // A message got under syncpoint is invisible to the other connection, which skips it.
    EXPECT_EQ(take(a, GetMode::Hold), "one");
    EXPECT_EQ(take(b, GetMode::BrowseFirst), "two");
    MQLONG uncommitted = 0;
    EXPECT_EQ(depth(b, &uncommitted), 1);
    EXPECT_EQ(uncommitted, 1);

    // Back-out returns it in its place with its backout count raised, and tells the others.
    ASSERT_TRUE(a.store.backOut(1, failure)) << failure.detail;
    MQMD seen{};
    EXPECT_EQ(take(b, GetMode::BrowseFirst, &seen), "one");
    EXPECT_EQ(seen.BackoutCount, 1);
    EXPECT_GT(b.store.dataVersion(failure), version);

    // Commit removes what the unit got and stores what it put, together.
    EXPECT_EQ(take(a, GetMode::Hold), "one");
    PendingPut reply;
    reply.queue = a.queue;
    reply.md = descriptor(0);
    reply.body = "reply";
    ASSERT_TRUE(a.store.commit(1, {reply}, failure)) << failure.detail;
    EXPECT_EQ(take(b), "two");
    EXPECT_EQ(take(b), "reply");
    EXPECT_EQ(take(b), "<2033>");

    // A put into a queue deleted before the commit fails it (2517) and changes nothing;
    // the unit can still be backed out.
    Opened q2;
    openStore(q2, "Q2");
    put(a, "three", 0);
    EXPECT_EQ(take(a, GetMode::Hold), "three");
    ASSERT_TRUE(q2.store.deleteQueue("Q2", false, failure)) << failure.detail;
    PendingPut late;
    late.queue = q2.queue;
    late.md = descriptor(0);
    late.body = "late";
    EXPECT_FALSE(a.store.commit(1, {late}, failure));
    EXPECT_EQ(failure.reason, MQRC_Q_DELETED);
    EXPECT_EQ(take(b), "<2033>");
    ASSERT_TRUE(a.store.backOut(1, failure)) << failure.detail;
    EXPECT_EQ(take(b), "three");
}

TEST_F(PgStoreTest, ConnectionLostMidUnitRollsBack) {
    Opened a;
    Opened b;
    openStore(a);
    openStore(b);
    put(a, "held", 0);
    EXPECT_EQ(take(a, GetMode::Hold), "held");
    EXPECT_EQ(take(b), "<2033>");

    // The server ends the unit's session: the commit reports 2009, the message is back.
    ASSERT_EQ(admin(DATABASE, "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                              " WHERE datname = 'trevane_mq' AND state = 'idle in transaction'"),
              "");
    PendingPut reply;
    reply.queue = a.queue;
    reply.md = descriptor(0);
    reply.body = "reply";
    Failure failure;
    EXPECT_FALSE(a.store.commit(1, {reply}, failure));
    EXPECT_EQ(failure.reason, MQRC_CONNECTION_LOST);
    EXPECT_NE(failure.detail.find("rolled back"), std::string::npos) << failure.detail;
    MQMD seen{};
    EXPECT_EQ(take(b, GetMode::Remove, &seen), "held");
    EXPECT_EQ(seen.BackoutCount, 1) << "a unit lost with its connection counts as backed out";
    EXPECT_EQ(take(b), "<2033>");

    // The next unit of the same store runs on a new server connection.
    put(b, "next", 0);
    EXPECT_EQ(take(a, GetMode::Hold), "next");
    ASSERT_TRUE(a.store.commit(1, {}, failure)) << failure.detail;
    EXPECT_EQ(take(b), "<2033>");
}

// Another connection waiting for the message takes it the moment the back-out makes it
// ready: it must already carry the raised count.
TEST_F(PgStoreTest, BackOutRaisesTheCountBeforeAnyoneCanTakeTheMessage) {
    Opened a;
    Opened b;
    openStore(a);
    openStore(b);
    for (int round = 0; round < 30; ++round) {
        put(a, "bounced", 0);
        ASSERT_EQ(take(a, GetMode::Hold), "bounced");
        MQMD seen{};
        std::thread taker([&] {
            for (int i = 0; i < 100000 && take(b, GetMode::Remove, &seen) != "bounced"; ++i) {
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Failure failure;
        ASSERT_TRUE(a.store.backOut(1, failure)) << failure.detail;
        taker.join();
        ASSERT_EQ(seen.BackoutCount, 1) << "round " << round;
    }
}

// A getter counts the changes to the queue it waits on, whichever way they were made: a put
// that commits at once, a unit's commit (one for each message) and a back-out; a put to
// another queue wakes nobody waiting here.
TEST_F(PgStoreTest, ChangesToAWatchedQueueAndOnlyThoseWakeItsGetter) {
    Opened getter;
    Opened writer;
    Opened other;
    openStore(getter);
    openStore(writer);
    openStore(other, "Q2");
    getter.store.watch(getter.queue, true);
    Failure failure;
    int64_t version = getter.store.dataVersion(failure);
    // The changes seen after the given one, once the next has arrived (the server sends
    // notifications in commit order).
    auto changesAfter = [&](int64_t seen) {
        for (int i = 0; i < 500 && getter.store.dataVersion(failure) == seen; ++i) {
            getter.store.waitForChange(std::chrono::milliseconds(10));
        }
        getter.store.waitForChange(std::chrono::milliseconds(50));
        return getter.store.dataVersion(failure) - seen;
    };

    put(other, "elsewhere");
    put(writer, "one");
    EXPECT_EQ(changesAfter(version), 1);
    version = getter.store.dataVersion(failure);

    EXPECT_EQ(take(writer, GetMode::Hold), "one");
    PendingPut reply;
    reply.queue = writer.queue;
    reply.md = descriptor(0);
    reply.body = "reply";
    PendingPut elsewhere = reply;
    elsewhere.queue = other.queue;
    ASSERT_TRUE(writer.store.commit(1, {elsewhere, reply, reply}, failure)) << failure.detail;
    EXPECT_EQ(changesAfter(version), 2) << "one for each message put here";
    version = getter.store.dataVersion(failure);

    EXPECT_EQ(take(writer, GetMode::Hold), "reply");
    ASSERT_TRUE(writer.store.backOut(1, failure)) << failure.detail;
    EXPECT_EQ(changesAfter(version), 1);
    EXPECT_EQ(take(getter), "reply");
    EXPECT_EQ(take(getter), "reply");
    EXPECT_EQ(take(getter), "<2033>");
}

// A put that commits while its queue is being deleted is counted, so that the deletion is
// refused, or fails finding its queue gone: it is never deleted with the queue uncounted.
TEST_F(PgStoreTest, PutCommittingWhileItsQueueIsDeletedIsNeverDeletedUncounted) {
    Opened a;
    openStore(a);
    // Another client's put, stored but not yet committed.
    PGconn *other = PQconnectdb(conninfo().c_str());
    ASSERT_EQ(PQstatus(other), CONNECTION_OK) << PQerrorMessage(other);
    std::string insert = "INSERT INTO trevane_message (queue_id, priority, msg_id, correl_id,"
                         " md, body) VALUES (" +
                         std::to_string(a.queue.id) + ", 0, '', '', '', 'late')";
    for (const std::string &sql : {std::string("BEGIN"), insert}) {
        PGresult *r = PQexec(other, sql.c_str());
        ASSERT_EQ(PQresultStatus(r), PGRES_COMMAND_OK) << PQerrorMessage(other);
        PQclear(r);
    }
    Failure failure;
    bool deleted = true;
    std::thread deleter([&] { deleted = a.store.deleteQueue("Q1", false, failure); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    PQclear(PQexec(other, "COMMIT"));
    PQfinish(other);
    deleter.join();
    EXPECT_FALSE(deleted);
    EXPECT_EQ(failure.reason, MQRC_OBJECT_IN_USE) << failure.detail;
    EXPECT_EQ(depth(a), 1);
}

// Of the getters of one process waiting for any message on a queue, one put wakes one; a
// getter that selects by identifier, and every getter for a message made ready again by a
// back-out, are woken all the same.
TEST_F(PgStoreTest, OnePutWakesOneGetterOfAProcessThatTakesAnyMessage) {
    Opened any1;
    Opened any2;
    Opened selecting;
    Opened writer;
    for (Opened *o : {&any1, &any2, &selecting, &writer}) {
        openStore(*o);
    }
    any1.store.watch(any1.queue, true);
    any2.store.watch(any2.queue, true);
    selecting.store.watch(selecting.queue, false);
    Failure failure;
    auto versions = [&] {
        std::vector<int64_t> seen;
        for (Opened *o : {&any1, &any2, &selecting}) {
            seen.push_back(o->store.dataVersion(failure));
        }
        return seen;
    };
    // Waits until the selecting getter, which counts everything, has seen n more.
    auto settle = [&](int64_t selectingBefore, int64_t n) {
        for (int i = 0; i < 500 && selecting.store.dataVersion(failure) < selectingBefore + n;
             ++i) {
            selecting.store.waitForChange(std::chrono::milliseconds(10));
        }
        for (Opened *o : {&any1, &any2}) {
            o->store.waitForChange(std::chrono::milliseconds(50));
        }
    };
    std::vector<int64_t> before = versions();
    put(writer, "one");
    put(writer, "two");
    settle(before[2], 2);
    std::vector<int64_t> after = versions();
    EXPECT_EQ(after[2] - before[2], 2);
    EXPECT_EQ((after[0] - before[0]) + (after[1] - before[1]), 2) << "each put woke one";

    EXPECT_EQ(take(writer, GetMode::Hold), "one");
    ASSERT_TRUE(writer.store.backOut(1, failure)) << failure.detail;
    before = after;
    settle(before[2], 1);
    after = versions();
    EXPECT_EQ(after[0] - before[0], 1);
    EXPECT_EQ(after[1] - before[1], 1);
    EXPECT_EQ(after[2] - before[2], 1);
}
