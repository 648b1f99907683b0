// The built-in nodes inside a flow, without a queue manager: the Database node's
// success and failure paths (the exception list a database driver's error produces,
// with the SQLSTATE mapped from real SQLite errors), its exception when nothing handles
// the failure, the Trace node's output, MQOutput outside a flow instance, and the
// property checks of the built-in classes.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include "broker/host.h"
#include "runtime/builtins.h"
#include "tests/runtime/helpers.h"
#include "tests/support/support.h"

using testsupport::MessageScope;
using testsupport::sinkRecords;
using testsupport::TestFlow;

namespace {

constexpr const char *REQUEST = "<outer><tag1>data1</tag1></outer>";

class BuiltinNodes : public ::testing::Test {
protected:
    void SetUp() override {
        runtime::registerBuiltinNodes();
        ASSERT_FALSE(dir.path().empty());
        database = dir.file("test.db");
    }

    // Runs SQL directly on the test database (set-up and checks).
    void sql(const std::string &text) const {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
        char *error = nullptr;
        int rc = sqlite3_exec(db, text.c_str(), nullptr, nullptr, &error);
        EXPECT_EQ(rc, SQLITE_OK) << text << ": " << (error == nullptr ? "" : error);
        sqlite3_free(error);
        sqlite3_close(db);
    }

    rttest::TempDir dir;
    std::string database;
};

struct DatabaseFailure {
    const char *what;
    const char *setUp;
    const char *statement;
    int nativeCode;
    const char *sqlState;
};

TEST_F(BuiltinNodes, DatabaseFailureSendsDriverStyleExceptionListToFailure) {
    const DatabaseFailure cases[] = {
        {"missing table", "", "SELECT * FROM MISSING_TABLE", SQLITE_ERROR, "42704"},
        {"missing column", "CREATE TABLE t(a)", "SELECT missing_col FROM t", SQLITE_ERROR, "42703"},
        {"missing insert column", "CREATE TABLE t(a)", "INSERT INTO t(b) VALUES(1)", SQLITE_ERROR,
         "42703"},
        {"syntax error", "", "SELEC 1", SQLITE_ERROR, "42601"},
        {"unique", "CREATE TABLE t(a UNIQUE); INSERT INTO t VALUES(1)", "INSERT INTO t VALUES(1)",
         SQLITE_CONSTRAINT_UNIQUE, "23505"},
        {"primary key", "CREATE TABLE t(a INTEGER PRIMARY KEY); INSERT INTO t VALUES(1)",
         "INSERT INTO t VALUES(1)", SQLITE_CONSTRAINT_PRIMARYKEY, "23505"},
        {"not null", "CREATE TABLE t(a NOT NULL)", "INSERT INTO t VALUES(NULL)",
         SQLITE_CONSTRAINT_NOTNULL, "23502"},
        {"foreign key",
         "CREATE TABLE p(id INTEGER PRIMARY KEY); CREATE TABLE c(p REFERENCES p(id))",
         "INSERT INTO c VALUES(7)", SQLITE_CONSTRAINT_FOREIGNKEY, "23503"},
        {"check", "CREATE TABLE t(a CHECK (a > 0))", "INSERT INTO t VALUES(-1)",
         SQLITE_CONSTRAINT_CHECK, "23513"},
        {"other: datatype mismatch", "CREATE TABLE t(a INTEGER PRIMARY KEY)",
         "INSERT INTO t VALUES('x')", SQLITE_MISMATCH, "58004"},
    };
    for (const DatabaseFailure &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove(database.c_str());
        if (c.setUp[0] != '\0') {
            sql(c.setUp);
        }
        TestFlow flow;
        flow.node("Database", "db", {{"dataSource", database}, {"statement", c.statement}});
        flow.node("TestSink", "failed");
        flow.node("TestSink", "done");
        flow.connect("db.failure -> failed.in");
        flow.connect("db.out -> done.in");
        MessageScope scope;
        ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
        ASSERT_EQ(sinkRecords("failed").size(), 1u);
        EXPECT_TRUE(sinkRecords("done").empty());
        const testsupport::SinkRecord record = sinkRecords("failed")[0];
        EXPECT_EQ(record.body, REQUEST) << "the failure path gets the message unchanged";
        const std::string &list = record.exceptionList;
        const std::string inserts = "Insert(Type=2, Text='" + std::to_string(c.nativeCode) +
                                    "'), Insert(Type=5, Text='" + c.sqlState +
                                    "'), Insert(Type=5, Text='SQLite ";
        EXPECT_EQ(list.rfind("RecoverableException(File='database.cpp'", 0), 0u) << list;
        EXPECT_NE(list.find("Name='db'"), std::string::npos) << list;
        EXPECT_NE(list.find(", DatabaseException(File="), std::string::npos) << list;
        EXPECT_NE(list.find(inserts), std::string::npos) << list << "\nexpected: " << inserts;
        const std::string ending = std::string("SQLSTATE=") + c.sqlState + "')))";
        ASSERT_GE(list.size(), ending.size());
        EXPECT_EQ(list.substr(list.size() - ending.size()), ending) << list;
    }
}

TEST_F(BuiltinNodes, LockedDatabaseReportsSqlState57033) {
    sql("CREATE TABLE t(a)");
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    TestFlow flow;
    flow.node("Database", "db",
              {{"dataSource", database}, {"statement", "SELECT * FROM t"}, {"busyTimeout", "0"}});
    flow.node("TestSink", "failed");
    flow.connect("db.failure -> failed.in");
    MessageScope scope;
    EXPECT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
    ASSERT_EQ(sinkRecords("failed").size(), 1u);
    EXPECT_NE(sinkRecords("failed")[0].exceptionList.find("Insert(Type=5, Text='57033')"),
              std::string::npos)
        << sinkRecords("failed")[0].exceptionList;
}

TEST_F(BuiltinNodes, DatabaseSuccessChangesTheDataAndGoesToOut) {
    sql("CREATE TABLE orders(id INTEGER PRIMARY KEY, status TEXT)");
    TestFlow flow;
    flow.node("Database", "db",
              {{"dataSource", database},
               {"statement", "INSERT INTO orders VALUES(1, 'new'); "
                             "UPDATE orders SET status = 'seen' WHERE id = 1"}});
    flow.node("TestSink", "done");
    flow.node("TestSink", "failed");
    flow.connect("db.out -> done.in");
    flow.connect("db.failure -> failed.in");
    MessageScope scope;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    EXPECT_EQ(sinkRecords("done").size(), 1u);
    EXPECT_TRUE(sinkRecords("failed").empty()) << sinkRecords("failed")[0].exceptionList;

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *check = nullptr;
    sqlite3_prepare_v2(db, "SELECT status FROM orders WHERE id = 1", -1, &check, nullptr);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(check, 0)), "seen");
    sqlite3_finalize(check);
    sqlite3_close(db);
}

TEST_F(BuiltinNodes, FailedScriptInsideATransactionReleasesItsLocks) {
    sql("CREATE TABLE t(a UNIQUE); INSERT INTO t VALUES(1)");
    TestFlow flow;
    flow.node("Database", "db",
              {{"dataSource", database},
               {"statement", "BEGIN; INSERT INTO t VALUES(2); INSERT INTO t VALUES(1); COMMIT"}});
    flow.node("TestSink", "failed");
    flow.connect("db.failure -> failed.in");
    MessageScope scope;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    ASSERT_EQ(sinkRecords("failed").size(), 1u);
    // Another writer gets the database at once, and the half-done script left nothing.
    sql("PRAGMA busy_timeout = 0; INSERT INTO t VALUES(3)");
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE a = 2", -1, &count, nullptr);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 0);
    sqlite3_finalize(count);
    sqlite3_close(db);
}

// A script that opens a transaction and never ends it: the node ends it with the message
// (here, outside a flow instance, at once), so no lock outlives the message.
TEST_F(BuiltinNodes, TransactionLeftOpenByTheStatementEndsWithTheMessage) {
    sql("CREATE TABLE t(a)");
    for (const char *transaction : {"commit", "automatic"}) {
        SCOPED_TRACE(transaction);
        TestFlow flow;
        flow.node("Database", "db",
                  {{"dataSource", database},
                   {"statement", "BEGIN; INSERT INTO t VALUES(2)"},
                   {"transaction", transaction}});
        flow.node("TestSink", "done");
        flow.connect("db.out -> done.in");
        MessageScope scope;
        ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
        ASSERT_EQ(sinkRecords("done").size(), 1u);
        testsupport::clearSinkRecords();
        // Another writer gets the database at once while the node's connection stays open.
        sql("PRAGMA busy_timeout = 0; INSERT INTO t VALUES(3)");
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *count = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE a = 2", -1, &count, nullptr);
    ASSERT_EQ(sqlite3_step(count), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(count, 0), 2) << "committed, not dropped";
    sqlite3_finalize(count);
    sqlite3_close(db);
}

TEST_F(BuiltinNodes, DatabaseFailureWithNothingOnFailureRaisesNestedDatabaseException) {
    TestFlow flow;
    flow.node("Database", "db", {{"dataSource", database}, {"statement", "SELECT * FROM NOPE"}});
    MessageScope scope;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_EXCEPTION);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised.has_value());
    ASSERT_GE(raised->frames.size(), 2u) << raised->text;
    const broker::ExceptionFrame &database = raised->frames[0];
    EXPECT_EQ(database.type, CCI_DATABASE_EXCEPTION);
    ASSERT_EQ(database.inserts.size(), 3u);
    EXPECT_EQ(database.inserts[0], "1");
    EXPECT_EQ(database.inserts[1], "42704");
    EXPECT_NE(database.inserts[2].find("no such table: NOPE"), std::string::npos);
    EXPECT_NE(database.inserts[2].find("statement: SELECT * FROM NOPE"), std::string::npos);
    EXPECT_EQ(database.inserts[2].substr(database.inserts[2].size() - 15), " SQLSTATE=42704");
    EXPECT_EQ(raised->frames[1].type, CCI_RECOVERABLE_EXCEPTION);
    EXPECT_EQ(raised->frames[1].nodeName, "db");
}

TEST_F(BuiltinNodes, TrevaneNodeStoresTheCodeTheDatabaseNodeReports) {
    const std::string plugin = std::string(PLUGIN_DIR) + "/libtrevane.so";
    broker::loadPlugin(plugin);
    TestFlow flow;
    flow.node("Database", "db", {{"dataSource", database}, {"statement", "SELECT * FROM NOPE"}});
    flow.node("TrevaneNode", "code", {{"CopyValueTo", "Root.outer.Status"}});
    flow.node("TestSink", "out");
    flow.connect("db.failure -> code.in");
    flow.connect("code.out -> out.in");
    MessageScope scope;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    ASSERT_EQ(sinkRecords("out").size(), 1u);
    EXPECT_EQ(sinkRecords("out")[0].body,
              "<outer><tag1>data1</tag1><Status>42704</Status></outer>");
}

TEST_F(BuiltinNodes, TraceNodeWritesTheTreeReadablyAndPassesTheMessageOn) {
    const std::string traceFile = dir.file("trace.txt");
    TestFlow flow;
    flow.node("Trace", "t", {{"file", traceFile}});
    flow.node("TestSink", "after");
    flow.connect("t.out -> after.in");
    MessageScope scope;
    CciMessage *list = scope.exceptionList("RecoverableException(Text='boom', Number=7)");
    ASSERT_EQ(flow.deliver("t", scope.input(REQUEST), list), CCI_SUCCESS);
    EXPECT_EQ(sinkRecords("after").size(), 1u);
    const std::string trace = rttest::readFile(traceFile);
    for (const char *line :
         {"---- Trace node 't' of flow 'TestFlow' at ", "\nMessage:\nRoot\n", "\n  MQMD\n",
          "\n    Format = '", "\n  XML (XML body)\n", "\n    outer\n      tag1\n        'data1'\n",
          "\nExceptionList:\nExceptionList\n  RecoverableException\n",
          "\n    Text = 'boom'\n    Number = 7\n"}) {
        EXPECT_NE(trace.find(line), std::string::npos) << "missing: " << line << "\nin:\n" << trace;
    }
}

// Indentation stops at a fixed column, past which each line carries its depth: a
// message nested 100,000 levels deep gives an entry of a few megabytes, not gigabytes.
TEST_F(BuiltinNodes, TraceOfADeeplyNestedMessageGrowsLinearlyWithItsDepth) {
    const std::string traceFile = dir.file("trace.txt");
    TestFlow flow;
    flow.node("Trace", "t", {{"file", traceFile}}); // (the test sink would recurse)
    MessageScope scope;
    CciMessage *message = scope.input(REQUEST);
    constexpr int LEVELS = 100000;
    int rc = 0;
    CciElement *parent = testsupport::child(cniRootElement(&rc, message), "XML.outer");
    ASSERT_NE(parent, nullptr);
    for (int i = 0; i < LEVELS; ++i) {
        CciElement *e = cniCreateElementAsLastChild(&rc, parent);
        cniSetElementType(&rc, e, CCI_ELEMENT_TYPE_NAME);
        cniSetElementName(&rc, e, u"e");
        parent = e;
    }
    cniSetElementCharacterValue(&rc, parent, u"deepest", 7);
    ASSERT_EQ(flow.deliver("t", message), CCI_SUCCESS);
    const std::string trace = rttest::readFile(traceFile);
    EXPECT_LT(trace.size(), static_cast<size_t>(LEVELS) * 80) << "bytes for each level";
    const std::string column(64, ' ');
    for (const std::string &line : {"\n" + std::string(62, ' ') + "e\n", "\n" + column + "[33] e\n",
                                    "\n" + column + "[100002] e = 'deepest'\n"}) {
        EXPECT_NE(trace.find(line), std::string::npos) << "missing: " << line;
    }
}

// A full disk shows only when the buffered entry is flushed or closed: each step is
// checked and reported as 3018; the message still goes on.
TEST_F(BuiltinNodes, TraceNodeThatCannotWriteReports3018AndPassesTheMessageOn) {
    testsupport::LogCapture log;
    TestFlow flow;
    flow.node("Trace", "full", {{"file", "/dev/full"}});
    flow.node("Trace", "nowhere", {{"file", dir.file("no/such/dir/trace.txt")}});
    flow.node("TestSink", "after");
    flow.connect("full.out -> nowhere.in");
    flow.connect("nowhere.out -> after.in");
    MessageScope scope;
    ASSERT_EQ(flow.deliver("full", scope.input(REQUEST)), CCI_SUCCESS);
    EXPECT_EQ(sinkRecords("after").size(), 1u);
    auto entries = log.withNumber(3018);
    ASSERT_EQ(entries.size(), 2u) << log.describe();
    EXPECT_EQ(entries[0].inserts,
              (std::vector<std::string>{"full", "/dev/full", "No space left on device"}));
    EXPECT_EQ(entries[0].logType, CCI_LOG_ERROR);
    EXPECT_EQ(entries[1].inserts.at(0), "nowhere");
    EXPECT_NE(entries[1].traceText.find("cannot open"), std::string::npos) << entries[1].traceText;
}

TEST_F(BuiltinNodes, MQOutputOutsideAFlowInstanceRaisesInsteadOfLosingTheMessage) {
    TestFlow flow;
    flow.node("MQOutput", "put", {{"queueName", "OUT.Q"}});
    MessageScope scope;
    ASSERT_EQ(flow.deliver("put", scope.input(REQUEST)), CCI_EXCEPTION);
    auto raised = testsupport::lastRaised();
    ASSERT_TRUE(raised.has_value());
    EXPECT_NE(raised->text.find("has no queue manager connection"), std::string::npos)
        << raised->text;
}

TEST_F(BuiltinNodes, UnsetPropertiesReadAsTheirDefaultsAndRequiredOnesAreReported) {
    TestFlow flow;
    flow.node("MQInput", "in");
    EXPECT_EQ(broker::getProperty(flow["in"], "backoutThreshold"), std::string("5"));
    EXPECT_EQ(runtime::configurationProblem(flow["in"]), "property queueName must be set");
    EXPECT_THROW(broker::setProperty(flow["in"], "colour", "red"), broker::Error);
    broker::setProperty(flow["in"], "queueName", "I1.Q");
    EXPECT_EQ(runtime::configurationProblem(flow["in"]), "");
}

} // namespace
