/*
 * The data sources of the Database node: an SQLite file through SQLite's own API, or any
 * ODBC data source through the unixODBC driver manager ("odbc:DSN=orders" or
 * "odbc:Driver=...;Server=...;Database=..."). A connection runs a statement (or a
 * script) with parameters, keeps the first row it returned, ends its transaction when
 * told, and can be interrupted from another thread. A failure is reported as the
 * driver's diagnostic records; for SQLite the SQLSTATE comes from sqlstate.cpp, for ODBC
 * from the driver itself. Used by database.cpp only.
 */
#ifndef TREVANE_RUNTIME_DATASOURCE_H
#define TREVANE_RUNTIME_DATASOURCE_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace runtime {

/* A value bound to a parameter marker or read from a result column. */
struct DbValue {
    enum class Kind { Null, Boolean, Integer, Real, Text, Bytes };
    Kind kind = Kind::Null;
    int64_t integer = 0; /* Boolean (0 or 1) and Integer */
    double real = 0;
    std::string text; /* Text (UTF-8) and Bytes */
};

/* A column of the first row a statement returned. */
struct DbColumn {
    std::string name;
    DbValue value;
};

/* One diagnostic record, as SQLGetDiagRec gives it. */
struct DbDiagnostic {
    std::string sqlState;
    long nativeError = 0;
    std::string text;    /* the driver's message (SQLite: with the engine and statement) */
    std::string message; /* the message alone, for the exception's own text */
};

/* Why a connection could not be opened or a statement failed. */
struct DbFailure {
    std::vector<DbDiagnostic> records; /* never empty after a failure */
    bool connectionLost = false;       /* the connection is of no further use */
    bool interrupted = false;          /* stopped by the timeout or interrupt() */
};

/* How a connection works. */
struct DbSettings {
    long busyTimeoutMs = 5000;   /* SQLite: waiting for another connection's lock */
    long statementTimeoutS = 60; /* 0: no limit */
};

class DbConnection {
public:
    virtual ~DbConnection() = default;
    /* Runs `sql` (SQLite: several statements separated by ';'), binding `parameters` to
       the '?' markers in order; `firstRow` (when not null) receives the columns of the
       first row a statement returned. The work stays in the connection's open
       transaction until commit() or rollback(). False with `failure` filled; the
       transaction is then rolled back. */
    virtual bool run(const std::string &sql, const std::vector<DbValue> &parameters,
                     std::vector<DbColumn> *firstRow, DbFailure &failure) = 0;
    /* Ends the open transaction, if any. A failed commit rolls back. */
    virtual bool commit(DbFailure &failure) = 0;
    virtual void rollback() = 0;
    /* Interrupts the statement running now on another thread, and every later one
       until clearInterrupt (the broker is stopping). Thread-safe. */
    virtual void interrupt() = 0;
    /* "SQLite 3.40.1" or the ODBC driver's name and version. */
    virtual std::string engine() const = 0;
};

/* True when the data source names an ODBC data source ("odbc:..."). */
bool isOdbcDataSource(const std::string &dataSource);

/* The data source as it may be shown: password values in an ODBC connection string
   ("PWD=...", "Password=...") replaced by "***". */
std::string shownDataSource(const std::string &dataSource);

/* Opens a connection; null with `failure` filled when it cannot. */
std::unique_ptr<DbConnection> openDataSource(const std::string &dataSource,
                                             const DbSettings &settings, DbFailure &failure);

} // namespace runtime

#endif
