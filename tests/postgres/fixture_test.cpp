// The throwaway PostgreSQL server that the database and queue-manager tests share: it
// takes connections on its Unix socket, has the database the tests use, and listens on no
// TCP port.
#include "tests/support/pgfixture.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>
#include <string>

namespace {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

std::string scalar(PGconn *conn, const char *sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> res(PQexec(conn, sql), PQclear);
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK)
        return std::string("error: ") + PQerrorMessage(conn);
    return PQgetvalue(res.get(), 0, 0);
}

TEST(PostgresFixture, ServerAnswersOnItsSocketOnly) {
    ASSERT_EQ(pgfixture::useServer(), "");
    Connection conn(PQconnectdb(pgfixture::conninfo().c_str()), PQfinish);
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    EXPECT_EQ(scalar(conn.get(), "SELECT current_database()"), "trevane");
    EXPECT_EQ(scalar(conn.get(), "SHOW listen_addresses"), "");
    EXPECT_EQ(scalar(conn.get(), "SHOW unix_socket_directories"), pgfixture::directory());
}

TEST(PostgresFixture, DriverErrorsCarryTheirSqlState) {
    ASSERT_EQ(pgfixture::useServer(), "");
    Connection conn(PQconnectdb(""), PQfinish); // from PGHOST and friends
    ASSERT_EQ(PQstatus(conn.get()), CONNECTION_OK) << PQerrorMessage(conn.get());
    std::unique_ptr<PGresult, decltype(&PQclear)> res(
        PQexec(conn.get(), "SELECT STATUS FROM ORDERS WHERE ORDER_ID = 1"), PQclear);
    ASSERT_EQ(PQresultStatus(res.get()), PGRES_FATAL_ERROR);
    EXPECT_STREQ(PQresultErrorField(res.get(), PG_DIAG_SQLSTATE), "42P01");
}

} // namespace
