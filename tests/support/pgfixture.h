// The throwaway PostgreSQL server that the CTest fixture "postgres" starts with
// scripts/pg-fixture.sh: a cluster of its own in a short directory, reachable only on a
// Unix socket there, with the database "trevane", its superuser "trevane" and an ODBC DSN
// "trevane" described by the directory's odbc.ini and odbcinst.ini. Test programs built
// with trevane_use_postgres() get the directory as TREVANE_PG_FIXTURE_DIR.
#pragma once

#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace pgfixture {

// The fixture's directory: TREVANE_PG_FIXTURE_DIR in the environment wins over the one
// compiled in, so a program can be pointed at another server by hand.
inline std::string directory() {
    if (const char *dir = std::getenv("TREVANE_PG_FIXTURE_DIR"); dir && *dir)
        return dir;
#ifdef TREVANE_PG_FIXTURE_DIR
    return TREVANE_PG_FIXTURE_DIR;
#else
    return {};
#endif
}

// Points libpq (PGHOST, PGPORT, PGUSER, PGDATABASE) and unixODBC (ODBCSYSINI, ODBCINI) of
// this process and of the programs it starts at the fixture's server. Answers an empty
// text when the server is there, otherwise why not, for the test to fail with.
inline std::string useServer() {
    const std::string dir = directory();
    if (dir.empty())
        return "no PostgreSQL fixture directory: the test program was built without "
               "trevane_use_postgres() and TREVANE_PG_FIXTURE_DIR is not set";
    struct stat st {};
    if (stat((dir + "/.s.PGSQL.5432").c_str(), &st) != 0)
        return "the PostgreSQL fixture is not running: no socket in " + dir +
               " (run the tests through ctest, which starts it with scripts/pg-fixture.sh, "
               "or start it by hand; its logs are in that directory)";
    setenv("PGHOST", dir.c_str(), 1);
    setenv("PGPORT", "5432", 1);
    setenv("PGUSER", "trevane", 1);
    setenv("PGDATABASE", "trevane", 1);
    setenv("ODBCSYSINI", dir.c_str(), 1);
    setenv("ODBCINI", (dir + "/odbc.ini").c_str(), 1);
    return {};
}

// libpq's connection text for the fixture's database.
inline std::string conninfo() {
    return "host=" + directory() + " port=5432 user=trevane dbname=trevane";
}

// An ODBC connection text for the fixture's database, through its DSN.
inline std::string odbcConnection() {
    return "DSN=trevane";
}

} // namespace pgfixture
