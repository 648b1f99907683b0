// Running one statement on the fixture's PostgreSQL server (tests/support/pgfixture.h)
// through libpq, for tests that set up or break databases by hand.
#pragma once

#include <libpq-fe.h>
#include <string>

#include "tests/support/pgfixture.h"

namespace pgfixture {

// Runs `sql` in `database` of the fixture's server (its database "trevane" when empty);
// the server's message when it fails, empty when it succeeds.
inline std::string runStatement(const std::string &sql, const std::string &database = {}) {
    std::string connection = conninfo();
    if (!database.empty()) {
        connection += " dbname=" + database;
    }
    PGconn *c = PQconnectdb(connection.c_str());
    std::string error;
    if (PQstatus(c) != CONNECTION_OK) {
        error = PQerrorMessage(c);
    } else {
        PGresult *r = PQexec(c, sql.c_str());
        if (PQresultStatus(r) != PGRES_COMMAND_OK && PQresultStatus(r) != PGRES_TUPLES_OK) {
            error = PQerrorMessage(c);
        }
        PQclear(r);
    }
    PQfinish(c);
    return error;
}

} // namespace pgfixture
