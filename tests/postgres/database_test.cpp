// The Database node against a real PostgreSQL server through its ODBC driver, and the
// same behaviour against SQLite where both must agree: the SQLSTATE the driver reports
// reaches the TrevaneNode and the exception list verbatim; parameters from the message of
// each value type; the first row stored in the message; the statement timeout; the
// message's work committed with the flow's unit of work or at once; a lost connection
// reported as class 08 and reopened; an unreachable data source refused at deploy.
#include "tests/support/pgfixture.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "broker/host.h"
#include "runtime/builtins.h"
#include "runtime/runtime.h"
#include "tests/runtime/helpers.h"
#include "tests/support/support.h"

using testsupport::MessageScope;
using testsupport::sinkRecords;
using testsupport::TestFlow;

namespace {

constexpr const char *REQUEST = "<outer><tag1>data1</tag1></outer>";
// A database of these tests' own on the fixture's server, named over the DSN's, so that
// dropping its tables or ending its sessions never touches another test's.
constexpr const char *DATABASE = "dbnode";
const std::string POSTGRES = std::string("odbc:DSN=trevane;Database=") + DATABASE;

// SQL run directly on the fixture's database through libpq.
class Postgres {
public:
    explicit Postgres(const std::string &conninfo)
        : conn_(PQconnectdb(conninfo.c_str()), PQfinish) {}
    bool ok() const { return PQstatus(conn_.get()) == CONNECTION_OK; }
    std::string error() const { return PQerrorMessage(conn_.get()); }
    // The first value of the last statement's result, or "error: ...".
    std::string run(const std::string &sql) const {
        std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn_.get(), sql.c_str()),
                                                          PQclear);
        ExecStatusType status = PQresultStatus(res.get());
        if (status == PGRES_COMMAND_OK) {
            return "";
        }
        if (status != PGRES_TUPLES_OK) {
            return "error: " + error();
        }
        return PQntuples(res.get()) == 0 ? "" : PQgetvalue(res.get(), 0, 0);
    }

private:
    std::unique_ptr<PGconn, decltype(&PQfinish)> conn_;
};

class PostgresDatabase : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(pgfixture::useServer(), "");
        {
            Postgres server(pgfixture::conninfo());
            ASSERT_TRUE(server.ok()) << server.error();
            if (server.run(std::string("SELECT 1 FROM pg_database WHERE datname = '") + DATABASE +
                           "'") != "1") {
                ASSERT_EQ(server.run(std::string("CREATE DATABASE ") + DATABASE), "");
            }
        }
        pg = std::make_unique<Postgres>(pgfixture::conninfo() + " dbname=" + DATABASE);
        ASSERT_TRUE(pg->ok()) << pg->error();
        ASSERT_EQ(pg->run("DROP SCHEMA IF EXISTS public CASCADE; CREATE SCHEMA public"), "");
        runtime::registerBuiltinNodes();
        broker::loadPlugin(std::string(PLUGIN_DIR) + "/libtrevane.so");
        testsupport::clearSinkRecords();
        ASSERT_FALSE(dir.path().empty());
        ::setenv("RT_TEST_DIR", dir.path().c_str(), 1);
    }

    std::unique_ptr<Postgres> pg;
    rttest::TempDir dir;
};

struct Failure {
    const char *what;
    const char *setUp;
    const char *statement;
    const char *sqlState;
    const char *driverText; /* the driver's message */
    const char *stored;     /* what the TrevaneNode stores */
};

TEST_F(PostgresDatabase, EachSqlStateReachesTheExceptionListAndTheTrevaneNodeVerbatim) {
    const char *end = ";\nError while executing the query";
    const Failure cases[] = {
        {"undefined table", "", "SELECT STATUS FROM ORDERS WHERE ORDER_ID = 1", "42P01",
         "ERROR: relation \"orders\" does not exist", "42"},
        {"unique key", "CREATE TABLE t(a int UNIQUE); INSERT INTO t VALUES(1)",
         "INSERT INTO t VALUES(1)", "23505",
         "ERROR: duplicate key value violates unique constraint \"t_a_key\"\n"
         "DETAIL: Key (a)=(1) already exists.",
         "23505"},
        {"syntax", "", "SELEC 1", "42601", "ERROR: syntax error at or near \"SELEC\"", "42601"},
        {"not null", "CREATE TABLE t(a int NOT NULL)", "INSERT INTO t VALUES(NULL)", "23502",
         "ERROR: null value in column \"a\" of relation \"t\" violates not-null constraint\n"
         "DETAIL: Failing row contains (null).",
         "23502"},
        {"foreign key",
         "CREATE TABLE p(id int PRIMARY KEY); CREATE TABLE c(p int REFERENCES p(id))",
         "INSERT INTO c VALUES(7)", "23503",
         "ERROR: insert or update on table \"c\" violates foreign key constraint \"c_p_fkey\"\n"
         "DETAIL: Key (p)=(7) is not present in table \"p\".",
         "23503"},
        {"division by zero", "", "SELECT 1/0", "22012", "ERROR: division by zero", "22012"},
        {"no column", "CREATE TABLE t(a int)", "SELECT b FROM t", "42703",
         "ERROR: column \"b\" does not exist", "42703"},
        {"check constraint", "CREATE TABLE t(a int CHECK (a > 0))", "INSERT INTO t VALUES(-1)",
         "23514",
         "ERROR: new row for relation \"t\" violates check constraint \"t_a_check\"\n"
         "DETAIL: Failing row contains (-1).",
         "23514"},
    };
    for (const Failure &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(pg->run("DROP SCHEMA public CASCADE; CREATE SCHEMA public"), "");
        if (c.setUp[0] != '\0') {
            ASSERT_EQ(pg->run(c.setUp), "");
        }
        testsupport::clearSinkRecords();
        TestFlow flow;
        flow.node("Database", "db", {{"dataSource", POSTGRES}, {"statement", c.statement}});
        flow.node("TestSink", "failed");
        flow.node("TrevaneNode", "code", {{"CopyValueTo", "Root.outer.Status"}});
        flow.node("TestSink", "out");
        flow.connect("db.failure -> failed.in");
        flow.connect("db.failure -> code.in");
        flow.connect("code.out -> out.in");
        MessageScope scope;
        ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
        ASSERT_EQ(sinkRecords("failed").size(), 1u);
        const std::string list = sinkRecords("failed")[0].exceptionList;
        const std::string inserts = "Insert(Type=2, Text='1'), Insert(Type=5, Text='" +
                                    std::string(c.sqlState) + "'), Insert(Type=5, Text='" +
                                    c.driverText + end + " SQLSTATE=" + c.sqlState + "')";
        EXPECT_NE(list.find("DatabaseException("), std::string::npos) << list;
        EXPECT_NE(list.find(inserts), std::string::npos) << list << "\nexpected: " << inserts;
        ASSERT_EQ(sinkRecords("out").size(), 1u);
        EXPECT_EQ(sinkRecords("out")[0].body, std::string("<outer><tag1>data1</tag1><Status>") +
                                                  c.stored + "</Status></outer>");
    }
}

// The same message on both sources: values of each type bound from the message.
TEST_F(PostgresDatabase, ParametersBindEachValueTypeOnBothSources) {
    const std::string sqlite = dir.file("bind.db");
    const std::string values = "Properties, MQMD(Format='XML     '), "
                               "Vals(I=42, R=1.5, T='it''s', B=X'00ff', F=TRUE, N, D=DEC'12.50'), "
                               "XML(order(id('7'), note))";
    const std::string paths = "Root.Vals.I, Root.Vals.R, Root.Vals.T, Root.Vals.B, Root.Vals.F, "
                              "Root.Vals.N, Root.Vals.D, Root.XML.order.id, Root.order.note";
    ASSERT_EQ(pg->run("CREATE TABLE v(i bigint, r double precision, t text, b bytea, f boolean, "
                      "n text, d numeric, id text, note text)"),
              "");
    for (const std::string &source : {POSTGRES, sqlite}) {
        SCOPED_TRACE(source);
        if (source == sqlite) {
            TestFlow make;
            make.node("Database", "mk",
                      {{"dataSource", sqlite},
                       {"statement", "CREATE TABLE v(i, r, t, b, f, n, d, id, note)"}});
            MessageScope s;
            ASSERT_EQ(make.deliver("mk", s.input(REQUEST)), CCI_SUCCESS);
        }
        testsupport::clearSinkRecords();
        TestFlow flow;
        flow.node("Database", "db",
                  {{"dataSource", source},
                   {"statement", "INSERT INTO v VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)"},
                   {"parameters", paths}});
        flow.node("Database", "check",
                  {{"dataSource", source},
                   {"statement",
                    source == sqlite
                        ? "SELECT i, typeof(i) AS ti, r, t, hex(b) AS hb, f, n IS NULL AS nn, d, "
                          "id, note IS NULL AS nonote FROM v"
                        : "SELECT i, 'integer' AS ti, r, t, upper(encode(b, 'hex')) AS hb, "
                          "f::int AS f, n IS NULL AS nn, d::text AS d, id, "
                          "note IS NULL AS nonote FROM v"},
                   {"resultPath", "Root.XML.order.Row"}});
        flow.node("TestSink", "failed");
        flow.node("TestSink", "out");
        flow.connect("db.out -> check.in");
        flow.connect("db.failure -> failed.in");
        flow.connect("check.failure -> failed.in");
        flow.connect("check.out -> out.in");
        MessageScope scope;
        ASSERT_EQ(flow.deliver("db", scope.message(values)), CCI_SUCCESS);
        ASSERT_TRUE(sinkRecords("failed").empty()) << sinkRecords("failed")[0].exceptionList;
        ASSERT_EQ(sinkRecords("out").size(), 1u);
        const std::string row = sinkRecords("out")[0].message;
        for (const char *column : {"i=42", "ti='integer'", "r=1.5", "t='it''s'", "hb='00FF'", "f=1",
                                   "d='12.50'", "id='7'"}) {
            EXPECT_NE(row.find(column), std::string::npos) << column << " in " << row;
        }
        // NULL from an element without a value and from an XML element without text.
        // (SQLite answers the comparison as an integer, the ODBC driver as text.)
        EXPECT_TRUE(row.find("nn=1") != std::string::npos ||
                    row.find("nn='1'") != std::string::npos)
            << row;
        EXPECT_TRUE(row.find("nonote=1") != std::string::npos ||
                    row.find("nonote='1'") != std::string::npos)
            << row;
    }
}

TEST_F(PostgresDatabase, AParameterPathThatDoesNotResolveFailsTheNodeClearly) {
    for (const std::string &source : {POSTGRES, dir.file("p.db")}) {
        SCOPED_TRACE(source);
        testsupport::clearSinkRecords();
        TestFlow flow;
        flow.node("Database", "db",
                  {{"dataSource", source},
                   {"statement", "SELECT ?, ?"},
                   {"parameters", "Root.outer.tag1, Root.outer.missing"}});
        flow.node("TestSink", "failed");
        flow.connect("db.failure -> failed.in");
        MessageScope scope;
        ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
        ASSERT_EQ(sinkRecords("failed").size(), 1u);
        const std::string list = sinkRecords("failed")[0].exceptionList;
        EXPECT_NE(list.find("Number=3030"), std::string::npos) << list;
        EXPECT_NE(list.find("parameter 2 (''Root.outer.missing'') does not resolve in the message"),
                  std::string::npos)
            << list;
    }
    // Markers and parameters that do not pair up: the driver's own SQLSTATE for it.
    testsupport::clearSinkRecords();
    TestFlow flow;
    flow.node("Database", "db",
              {{"dataSource", POSTGRES},
               {"statement", "SELECT ?"},
               {"parameters", "Root.outer.tag1, Root.outer.tag1"}});
    flow.node("TestSink", "failed");
    flow.connect("db.failure -> failed.in");
    MessageScope scope;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    ASSERT_EQ(sinkRecords("failed").size(), 1u);
    EXPECT_NE(sinkRecords("failed")[0].exceptionList.find("SQLSTATE=07001"), std::string::npos)
        << sinkRecords("failed")[0].exceptionList;
}

TEST_F(PostgresDatabase, AStatementPastItsTimeoutIsCancelledWith57014OnBothSources) {
    const char *endless = "WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) "
                          "SELECT count(*) FROM c";
    for (const std::string &source : {POSTGRES, dir.file("t.db")}) {
        SCOPED_TRACE(source);
        testsupport::clearSinkRecords();
        TestFlow flow;
        flow.node("Database", "db",
                  {{"dataSource", source}, {"statement", endless}, {"statementTimeout", "1"}});
        flow.node("TestSink", "failed");
        flow.connect("db.failure -> failed.in");
        MessageScope scope;
        auto started = std::chrono::steady_clock::now();
        ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_LT(took, std::chrono::seconds(10));
        ASSERT_EQ(sinkRecords("failed").size(), 1u);
        EXPECT_NE(sinkRecords("failed")[0].exceptionList.find("Insert(Type=5, Text='57014')"),
                  std::string::npos)
            << sinkRecords("failed")[0].exceptionList;
    }
}

TEST_F(PostgresDatabase, AnUnreachableDataSourceFailsTheDeployNamingIt) {
    const std::string flowFile = dir.file("flow.yaml");
    rttest::writeFile(flowFile, R"Y(nodes:
  - name: Db
    class: Database
    properties:
      dataSource: odbc:DSN=nowhere;PWD=secret
      statement: SELECT 1
)Y");
    runtime::RuntimeOptions options;
    try {
        runtime::DeployedFlow::deploy(runtime::parseFlowFile(flowFile), options);
        FAIL() << "deployed";
    } catch (const runtime::DeployError &e) {
        const std::string what = e.what();
        EXPECT_NE(what.find("flow.yaml:2"), std::string::npos) << what;
        EXPECT_NE(what.find("cannot reach data source 'odbc:DSN=nowhere;PWD=***'"),
                  std::string::npos)
            << what;
        EXPECT_NE(what.find("SQLSTATE IM002"), std::string::npos) << what;
        EXPECT_EQ(what.find("secret"), std::string::npos) << what;
    }
}

// A server that ends the connection says so itself (57P01); the next message reconnects.
TEST_F(PostgresDatabase, AConnectionEndedByTheServerIsReportedAsTheDriverSaysAndReopened) {
    TestFlow flow;
    flow.node("Database", "db", {{"dataSource", POSTGRES}, {"statement", "SELECT 1"}});
    flow.node("TestSink", "failed");
    flow.node("TestSink", "out");
    flow.connect("db.failure -> failed.in");
    flow.connect("db.out -> out.in");
    MessageScope scope;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    ASSERT_EQ(pg->run("SELECT count(pg_terminate_backend(pid)) >= 1 FROM pg_stat_activity "
                      "WHERE pid <> pg_backend_pid() AND datname = 'dbnode'"),
              "t");
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    ASSERT_EQ(sinkRecords("failed").size(), 1u);
    EXPECT_NE(sinkRecords("failed")[0].exceptionList.find(
                  "Insert(Type=5, Text='57P01'), Insert(Type=5, Text='FATAL: terminating "
                  "connection due to administrator command;\nThe connection has been lost "
                  "SQLSTATE=57P01')"),
              std::string::npos)
        << sinkRecords("failed")[0].exceptionList;
    ASSERT_EQ(flow.deliver("db", scope.input(REQUEST)), CCI_SUCCESS);
    EXPECT_EQ(sinkRecords("out").size(), 2u);
}

// ---- through the flow's unit of work ---------------------------------------------------

class PostgresFlows : public PostgresDatabase {
protected:
    void SetUp() override {
        PostgresDatabase::SetUp();
        qm = std::make_unique<rttest::QueueManager>("QMP", dir.file("mq"));
        for (const char *queue : {"I.Q", "OUT.Q", "FAILED.Q", "BACKOUT.Q"}) {
            qm->define(queue);
        }
    }

    std::unique_ptr<runtime::DeployedFlow> deploy(const std::string &text) const {
        const std::string path = dir.file("flow.yaml");
        rttest::writeFile(path, text);
        runtime::RuntimeOptions options;
        options.pluginPath = {PLUGIN_DIR};
        return runtime::DeployedFlow::deploy(runtime::parseFlowFile(path), options);
    }

    std::unique_ptr<rttest::QueueManager> qm;
    testsupport::LogCapture log;
};

// An insert, then a put on a queue that does not exist: the flow fails after the
// Database node, the message is backed out twice and moved to the backout queue.
std::string insertThenFail(const std::string &source, const std::string &transaction) {
    return R"Y(queueManager: QMP
nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, waitInterval: 50, backoutThreshold: 2, backoutQueue: BACKOUT.Q}}
  - name: Db
    class: Database
    properties: {dataSource: ")Y" +
           source + R"Y(", statement: "INSERT INTO orders VALUES(1)", transaction: )Y" +
           transaction + R"Y(}
  - {name: Out, class: MQOutput, properties: {queueName: NO.SUCH.Q}}
connections:
  - In.out -> Db.in
  - Db.out -> Out.in
)Y";
}

TEST_F(PostgresFlows, AutomaticWorkBacksOutWithTheMessageAndCommitWorkStays) {
    const std::string sqlite = dir.file("unit.db");
    {
        TestFlow make;
        make.node("Database", "mk",
                  {{"dataSource", sqlite}, {"statement", "CREATE TABLE orders(id)"}});
        MessageScope s;
        ASSERT_EQ(make.deliver("mk", s.input(REQUEST)), CCI_SUCCESS);
    }
    auto rows = [&](const std::string &source) {
        if (source == POSTGRES) {
            return pg->run("SELECT count(*) FROM orders");
        }
        std::string count;
        TestFlow read;
        read.node("Database", "rd",
                  {{"dataSource", sqlite},
                   {"statement", "SELECT count(*) AS n FROM orders"},
                   {"resultPath", "Root.Count"}});
        read.node("TestSink", "got");
        read.connect("rd.out -> got.in");
        testsupport::clearSinkRecords();
        MessageScope s;
        read.deliver("rd", s.input(REQUEST));
        std::string m = sinkRecords("got").empty() ? "" : sinkRecords("got")[0].message;
        size_t at = m.find("Count(n=");
        return at == std::string::npos ? m : m.substr(at + 8, m.find(')', at) - at - 8);
    };
    ASSERT_EQ(pg->run("CREATE TABLE orders(id int)"), "");
    for (const std::string &source : {POSTGRES, sqlite}) {
        for (const std::string transaction : {"automatic", "commit"}) {
            SCOPED_TRACE(source + " " + transaction);
            if (source == POSTGRES) {
                ASSERT_EQ(pg->run("DELETE FROM orders"), "");
            } else {
                TestFlow clear;
                clear.node("Database", "cl",
                           {{"dataSource", sqlite}, {"statement", "DELETE FROM orders"}});
                MessageScope s;
                clear.deliver("cl", s.input(REQUEST));
            }
            auto flow = deploy(insertThenFail(source, transaction));
            qm->put("I.Q", REQUEST);
            flow->start();
            EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("BACKOUT.Q") == 1; }));
            flow->undeploy();
            EXPECT_EQ(qm->takeAll("BACKOUT.Q").size(), 1u) << "the message is never lost";
            // Run twice (backout count 0 and 1), then moved aside without running.
            EXPECT_EQ(rows(source), transaction == "automatic" ? "0" : "2");
        }
    }
}

TEST_F(PostgresFlows, ARepeatedOrderFailsWithTheUniqueKeyAndTheNodeStoresIt) {
    ASSERT_EQ(pg->run("CREATE TABLE orders(id int PRIMARY KEY, item text)"), "");
    const std::string sqlite = dir.file("orders.db");
    {
        TestFlow make;
        make.node("Database", "mk",
                  {{"dataSource", sqlite},
                   {"statement", "CREATE TABLE orders(id INTEGER PRIMARY KEY, item TEXT)"}});
        MessageScope s;
        ASSERT_EQ(make.deliver("mk", s.input(REQUEST)), CCI_SUCCESS);
    }
    const std::string example =
        rttest::readFile(std::string(SOURCE_DIR) + "/examples/orders/orders.yaml");
    ASSERT_FALSE(example.empty());
    for (const std::string &source : {POSTGRES, sqlite}) {
        SCOPED_TRACE(source);
        ::setenv("ORDERS_DATA_SOURCE", source.c_str(), 1);
        const std::string path = dir.file("orders.yaml");
        rttest::writeFile(path, example);
        runtime::RuntimeOptions options;
        options.pluginPath = {PLUGIN_DIR};
        options.queueManager = "QMP";
        for (const char *queue : {"ORDERS.Q", "ORDERS.DONE.Q", "ORDERS.FAILED.Q"}) {
            if (qm->depth(queue) < 0) {
                qm->define(queue);
            }
        }
        auto flow = runtime::DeployedFlow::deploy(runtime::parseFlowFile(path), options);
        const std::string order = "<order><id>5</id><item>pen</item></order>";
        qm->put("ORDERS.Q", {order, order});
        flow->start();
        EXPECT_TRUE(rttest::waitFor(
            [&] { return qm->depth("ORDERS.DONE.Q") + qm->depth("ORDERS.FAILED.Q") == 2; }));
        flow->undeploy();
        std::vector<std::string> done = qm->takeAll("ORDERS.DONE.Q");
        std::vector<std::string> failed = qm->takeAll("ORDERS.FAILED.Q");
        ASSERT_EQ(done.size(), 1u);
        ASSERT_EQ(failed.size(), 1u);
        EXPECT_EQ(failed[0], "<order><id>5</id><item>pen</item><Status>23505</Status></order>");
    }
    EXPECT_EQ(pg->run("SELECT item FROM orders WHERE id = 5"), "pen");
}

// A server of the test's own (the shared one keeps serving the other tests).
class OwnServer {
public:
    OwnServer() : dir_("/tmp/trevane-pg-own-" + std::to_string(::getpid())) {
        started_ = script("start") == 0;
    }
    ~OwnServer() { script("stop"); }
    bool started() const { return started_; }
    int script(const std::string &command) const {
        return std::system(("bash " + std::string(SOURCE_DIR) + "/scripts/pg-fixture.sh " +
                            command + " " + dir_ + " >/dev/null")
                               .c_str());
    }
    std::string conninfo() const {
        return "host=" + dir_ + " port=5432 user=trevane dbname=trevane";
    }
    // Through the driver the shared fixture's odbcinst.ini names.
    std::string dataSource() const {
        return "odbc:Driver=PostgreSQL Unicode;Servername=" + dir_ +
               ";Port=5432;Database=trevane;Username=trevane";
    }

private:
    std::string dir_;
    bool started_ = false;
};

TEST_F(PostgresFlows, TheServerStoppingMidRunLosesNoMessageAndTheFlowRecovers) {
    OwnServer server;
    ASSERT_TRUE(server.started());
    std::unique_ptr<PGconn, decltype(&PQfinish)> own(PQconnectdb(server.conninfo().c_str()),
                                                     PQfinish);
    ASSERT_EQ(PQstatus(own.get()), CONNECTION_OK) << PQerrorMessage(own.get());
    PQclear(PQexec(own.get(), "CREATE TABLE orders(id int)"));
    own.reset();
    auto flow = deploy(R"Y(queueManager: QMP
nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, waitInterval: 50}}
  - {name: Db, class: Database, properties: {dataSource: ")Y" +
                       server.dataSource() + R"Y(", statement: "INSERT INTO orders VALUES(1)"}}
  - {name: Code, class: TrevaneNode, properties: {CopyValueTo: Root.outer.Status}}
  - {name: Failed, class: MQOutput, properties: {queueName: FAILED.Q}}
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
connections:
  - In.out -> Db.in
  - Db.out -> Out.in
  - Db.failure -> Code.in
  - Code.out -> Failed.in
)Y");
    flow->start();
    qm->put("I.Q", REQUEST);
    ASSERT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == 1; }));
    ASSERT_EQ(server.script("pause"), 0);
    qm->put("I.Q", std::vector<std::string>(3, REQUEST));
    EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("FAILED.Q") == 3; }));
    ASSERT_EQ(server.script("resume"), 0);
    qm->put("I.Q", std::vector<std::string>(2, REQUEST));
    EXPECT_TRUE(rttest::waitFor([&] { return qm->depth("OUT.Q") == 3; }));
    flow->undeploy();
    EXPECT_EQ(qm->takeAll("OUT.Q").size(), 3u);
    EXPECT_EQ(qm->depth("I.Q"), 0);
    // The server's own farewell (57P01) or a broken link for the message in flight, then
    // 08001 (no connection; the node stores the digit run 8001) while the server is down.
    std::vector<std::string> failed = qm->takeAll("FAILED.Q");
    ASSERT_EQ(failed.size(), 3u);
    const std::string classOf08 = "<outer><tag1>data1</tag1><Status>8001</Status></outer>";
    const std::string ended = "<outer><tag1>data1</tag1><Status>57</Status></outer>";
    EXPECT_TRUE(failed[0] == classOf08 || failed[0] == ended) << failed[0];
    EXPECT_EQ(failed[1], classOf08);
    EXPECT_EQ(failed[2], classOf08);
    own.reset(PQconnectdb(server.conninfo().c_str()));
    std::unique_ptr<PGresult, decltype(&PQclear)> count(
        PQexec(own.get(), "SELECT count(*) FROM orders"), PQclear);
    EXPECT_STREQ(PQgetvalue(count.get(), 0, 0), "3");
}

TEST_F(PostgresFlows, StoppingTheFlowInterruptsARunningStatementAndBacksItsMessageOut) {
    for (const std::string &source : {POSTGRES, dir.file("stop.db")}) {
        SCOPED_TRACE(source);
        auto flow = deploy(R"Y(queueManager: QMP
nodes:
  - {name: In, class: MQInput, properties: {queueName: I.Q, waitInterval: 50}}
  - name: Db
    class: Database
    properties:
      dataSource: ")Y" + source +
                           R"Y("
      statement: WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c) SELECT count(*) FROM c
      statementTimeout: 0
  - {name: Out, class: MQOutput, properties: {queueName: OUT.Q}}
  - {name: Failed, class: MQOutput, properties: {queueName: FAILED.Q}}
connections:
  - In.out -> Db.in
  - Db.out -> Out.in
  - Db.failure -> Failed.in
)Y");
        qm->put("I.Q", REQUEST);
        flow->start();
        MQLONG uncommitted = 0;
        ASSERT_TRUE(rttest::waitFor([&] {
            qm->depth("I.Q", &uncommitted);
            return uncommitted == 1;
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto started = std::chrono::steady_clock::now();
        flow->undeploy();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(qm->depth("I.Q"), 1) << "the interrupted message is back on its queue";
        EXPECT_EQ(qm->depth("FAILED.Q"), 0);
        qm->takeAll("I.Q");
    }
}

} // namespace

// The demonstration with its data source switched to PostgreSQL: the driver says 42P01,
// and the node stores the digit run of it.
TEST(PostgresDemo, TheDemoAgainstPostgresShowsTheDriversCode) {
    rttest::TempDir dir;
    rttest::Process demo({"/bin/bash", std::string(SOURCE_DIR) + "/examples/run-demo.sh",
                          std::string(BUILD_DIR), "postgres"},
                         dir.file("out"), dir.file("err"));
    EXPECT_EQ(rttest::exitCode(demo.wait(std::chrono::seconds(120))), 0) << demo.err();
    EXPECT_NE(demo.out().find("'<outer><tag1>data1</tag1><Status>42</Status></outer>'"),
              std::string::npos)
        << demo.out() << demo.err();
}
