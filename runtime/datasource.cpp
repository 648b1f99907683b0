/*
 * The Database node's connections: SQLite through its own API (sqlstate.cpp names the
 * SQLSTATE of its failures) and ODBC data sources through the unixODBC driver manager
 * (the driver names the SQLSTATE). Each connection keeps the work of a message in one
 * transaction until the node commits or rolls it back, interrupts a statement that
 * outlives the statement timeout, and can be interrupted from another thread when the
 * broker stops. Used by database.cpp only.
 */
#include "runtime/datasource.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <sql.h>
#include <sqlext.h>
#include <sqlite3.h>
#include <thread>

#include "broker/text.h"
#include "runtime/sqlstate.h"

namespace runtime {

namespace {

using Clock = std::chrono::steady_clock;

// The SQLSTATE of a statement whose parameter markers and parameters do not pair up,
// as ODBC reports it ("wrong number of parameters").
constexpr const char *WRONG_PARAMETER_COUNT = "07001";

std::string lowered(std::string text) {
    for (char &c : text) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return text;
}

DbDiagnostic diagnostic(std::string sqlState, long nativeError, std::string message,
                        std::string text = {}) {
    DbDiagnostic d;
    d.sqlState = std::move(sqlState);
    d.nativeError = nativeError;
    d.message = std::move(message);
    d.text = text.empty() ? d.message : std::move(text);
    return d;
}

std::string parameterCountText(size_t markers, size_t given) {
    return "the statement has " + std::to_string(markers) + " parameter marker(s) and " +
           std::to_string(given) + " parameter(s) are given";
}

// ---- SQLite ---------------------------------------------------------------------------

class SqliteConnection : public DbConnection {
public:
    SqliteConnection(sqlite3 *db, const DbSettings &settings) : db_(db), settings_(settings) {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_handler(db_, busy, this);
        sqlite3_progress_handler(db_, 1000, progress, this);
        // Foreign keys are declared to be kept; SQLite only keeps them when asked.
        sqlite3_exec(db_, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
    }

    ~SqliteConnection() override {
        rollback();
        sqlite3_close(db_);
    }

    bool run(const std::string &sql, const std::vector<DbValue> &parameters,
             std::vector<DbColumn> *firstRow, DbFailure &failure) override {
        timedOut_ = false;
        deadline_ = settings_.statementTimeoutS > 0
                        ? Clock::now() + std::chrono::seconds(settings_.statementTimeoutS)
                        : Clock::time_point::max();
        const char *next = sql.c_str();
        size_t bound = 0;
        size_t markers = 0;
        bool rowTaken = false;
        bool ok = true;
        while (ok && *next != '\0') {
            sqlite3_stmt *statement = nullptr;
            const char *tail = nullptr;
            int rc =
                stopping_ ? SQLITE_INTERRUPT : sqlite3_prepare_v2(db_, next, -1, &statement, &tail);
            if (rc == SQLITE_OK && statement != nullptr) {
                const auto count = static_cast<size_t>(sqlite3_bind_parameter_count(statement));
                markers += count;
                if (markers > parameters.size()) {
                    failure.records.push_back(diagnostic(
                        WRONG_PARAMETER_COUNT, 0, parameterCountText(markers, parameters.size())));
                    sqlite3_finalize(statement);
                    ok = false;
                    break;
                }
                for (size_t i = 0; i < count && rc == SQLITE_OK; ++i) {
                    rc = bind(statement, static_cast<int>(i + 1), parameters[bound++]);
                }
                // Each message's work is one transaction, ended by the node.
                if (rc == SQLITE_OK && !sqlite3_stmt_readonly(statement) &&
                    sqlite3_get_autocommit(db_)) {
                    rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
                }
                while (rc == SQLITE_OK && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
                    if (firstRow != nullptr && !rowTaken) {
                        takeRow(statement, *firstRow);
                        rowTaken = true;
                    }
                    rc = SQLITE_OK;
                }
                if (rc == SQLITE_DONE) {
                    rc = SQLITE_OK;
                }
            }
            if (rc != SQLITE_OK) {
                fail(rc, sql, failure);
                ok = false;
            }
            sqlite3_finalize(statement);
            next = tail == nullptr || tail == next ? "" : tail;
        }
        if (ok && markers != parameters.size()) {
            failure.records.push_back(diagnostic(WRONG_PARAMETER_COUNT, 0,
                                                 parameterCountText(markers, parameters.size())));
            ok = false;
        }
        if (!ok) {
            rollback();
        }
        return ok;
    }

    bool commit(DbFailure &failure) override {
        if (sqlite3_get_autocommit(db_)) {
            return true;
        }
        deadline_ = Clock::time_point::max();
        int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            fail(sqlite3_extended_errcode(db_), "COMMIT", failure);
            rollback();
            return false;
        }
        return true;
    }

    void rollback() override {
        if (!sqlite3_get_autocommit(db_)) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }

    void interrupt() override {
        stopping_ = true;
        sqlite3_interrupt(db_);
    }

    std::string engine() const override { return "SQLite " + std::string(sqlite3_libversion()); }

private:
    static int progress(void *self) {
        auto *c = static_cast<SqliteConnection *>(self);
        if (c->stopping_) {
            return 1;
        }
        if (Clock::now() > c->deadline_) {
            c->timedOut_ = true;
            return 1;
        }
        return 0;
    }

    // Waits for another connection's lock in short steps, so that a stop is noticed.
    static int busy(void *self, int attempt) {
        auto *c = static_cast<SqliteConnection *>(self);
        if (attempt == 0) {
            c->busySince_ = Clock::now();
        }
        if (c->stopping_ ||
            Clock::now() - c->busySince_ >= std::chrono::milliseconds(c->settings_.busyTimeoutMs)) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1;
    }

    int bind(sqlite3_stmt *statement, int index, const DbValue &value) {
        switch (value.kind) {
        case DbValue::Kind::Null:
            return sqlite3_bind_null(statement, index);
        case DbValue::Kind::Boolean:
        case DbValue::Kind::Integer:
            return sqlite3_bind_int64(statement, index, value.integer);
        case DbValue::Kind::Real:
            return sqlite3_bind_double(statement, index, value.real);
        case DbValue::Kind::Text:
            return sqlite3_bind_text(statement, index, value.text.data(),
                                     static_cast<int>(value.text.size()), SQLITE_TRANSIENT);
        case DbValue::Kind::Bytes:
            return sqlite3_bind_blob(statement, index, value.text.data(),
                                     static_cast<int>(value.text.size()), SQLITE_TRANSIENT);
        }
        return SQLITE_MISUSE;
    }

    static void takeRow(sqlite3_stmt *statement, std::vector<DbColumn> &row) {
        row.clear();
        const int columns = sqlite3_column_count(statement);
        for (int i = 0; i < columns; ++i) {
            DbColumn column;
            const char *name = sqlite3_column_name(statement, i);
            column.name = name == nullptr ? "" : name;
            switch (sqlite3_column_type(statement, i)) {
            case SQLITE_INTEGER:
                column.value.kind = DbValue::Kind::Integer;
                column.value.integer = sqlite3_column_int64(statement, i);
                break;
            case SQLITE_FLOAT:
                column.value.kind = DbValue::Kind::Real;
                column.value.real = sqlite3_column_double(statement, i);
                break;
            case SQLITE_TEXT:
                column.value.kind = DbValue::Kind::Text;
                column.value.text.assign(
                    reinterpret_cast<const char *>(sqlite3_column_text(statement, i)),
                    static_cast<size_t>(sqlite3_column_bytes(statement, i)));
                break;
            case SQLITE_BLOB: {
                column.value.kind = DbValue::Kind::Bytes;
                const void *bytes = sqlite3_column_blob(statement, i);
                column.value.text.assign(bytes == nullptr ? "" : static_cast<const char *>(bytes),
                                         static_cast<size_t>(sqlite3_column_bytes(statement, i)));
                break;
            }
            default:
                break; // NULL
            }
            row.push_back(std::move(column));
        }
    }

    void fail(int rc, const std::string &sql, DbFailure &failure) {
        int code = sqlite3_extended_errcode(db_);
        std::string message = sqlite3_errmsg(db_);
        if (rc == SQLITE_INTERRUPT || code == SQLITE_INTERRUPT) {
            code = SQLITE_INTERRUPT;
            failure.interrupted = true;
            message = timedOut_ ? "interrupted: the statement ran longer than its timeout of " +
                                      std::to_string(settings_.statementTimeoutS) + " s"
                                : "interrupted: the broker is stopping";
        }
        const char *sqlState = sqlStateFor(code, message);
        failure.records.push_back(
            diagnostic(sqlState, code, message,
                       engine() + ": " + message + " (native error " + std::to_string(code) + ", " +
                           sqliteCodeText(code) + "; statement: " + sql + ")"));
    }

    sqlite3 *db_;
    DbSettings settings_;
    std::atomic<bool> stopping_{false};
    Clock::time_point deadline_ = Clock::time_point::max(); /* of the statement running now */
    std::atomic<bool> timedOut_{false};
    Clock::time_point busySince_;
};

std::unique_ptr<DbConnection> openSqlite(const std::string &path, const DbSettings &settings,
                                         DbFailure &failure) {
    sqlite3 *db = nullptr;
    int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        int code = db == nullptr ? rc : sqlite3_extended_errcode(db);
        std::string message = "cannot open data source '" + path +
                              "': " + (db == nullptr ? sqlite3_errstr(rc) : sqlite3_errmsg(db));
        sqlite3_close(db);
        failure.records.push_back(diagnostic(
            sqlStateFor(code, message), code, message,
            "SQLite " + std::string(sqlite3_libversion()) + ": " + message + " (native error " +
                std::to_string(code) + ", " + sqliteCodeText(code) + ")"));
        return nullptr;
    }
    return std::make_unique<SqliteConnection>(db, settings);
}

// ---- ODBC -----------------------------------------------------------------------------

bool succeeded(SQLRETURN rc) {
    return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

// The process's ODBC environment: made once, kept for the process's life.
SQLHENV odbcEnvironment() {
    static SQLHENV environment = [] {
        SQLHENV env = SQL_NULL_HENV;
        if (succeeded(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
            SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                          0);
        }
        return env;
    }();
    return environment;
}

std::u16string wide(const std::string &text) {
    return broker::toUtf16(text);
}

SQLWCHAR *wideData(std::u16string &text) {
    return reinterpret_cast<SQLWCHAR *>(text.data());
}

// Every diagnostic record of a handle, in order (SQLGetDiagRec).
void collectDiagnostics(SQLSMALLINT type, SQLHANDLE handle, DbFailure &failure) {
    for (SQLSMALLINT record = 1;; ++record) {
        SQLWCHAR state[6] = {};
        SQLINTEGER native = 0;
        std::u16string text(512, u'\0');
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLGetDiagRecW(type, handle, record, state, &native, wideData(text),
                                      static_cast<SQLSMALLINT>(text.size()), &length);
        if (rc == SQL_SUCCESS_WITH_INFO && length >= static_cast<SQLSMALLINT>(text.size())) {
            text.assign(static_cast<size_t>(length) + 1, u'\0');
            rc = SQLGetDiagRecW(type, handle, record, state, &native, wideData(text),
                                static_cast<SQLSMALLINT>(text.size()), &length);
        }
        if (!succeeded(rc)) {
            break;
        }
        text.resize(std::min<size_t>(static_cast<size_t>(length), text.size()));
        std::u16string sqlState(reinterpret_cast<const char16_t *>(state), 5);
        std::string message = broker::toUtf8(text);
        failure.records.push_back(diagnostic(broker::toUtf8(sqlState), native, message));
    }
    if (failure.records.empty()) {
        failure.records.push_back(
            diagnostic("HY000", 0, "the ODBC call failed without a diagnostic record"));
    }
}

// Reads a column of the current row as text (UTF-8) or as bytes, however long.
bool readLong(SQLHSTMT statement, SQLUSMALLINT column, bool binary, DbValue &value) {
    std::string bytes;
    std::u16string text;
    for (;;) {
        char buffer[4096];
        SQLLEN indicator = 0;
        SQLRETURN rc = SQLGetData(statement, column, binary ? SQL_C_BINARY : SQL_C_WCHAR, buffer,
                                  sizeof buffer, &indicator);
        if (rc == SQL_NO_DATA) {
            break;
        }
        if (!succeeded(rc)) {
            return false;
        }
        if (indicator == SQL_NULL_DATA) {
            value.kind = DbValue::Kind::Null;
            return true;
        }
        size_t have = sizeof buffer;
        if (binary) {
            if (indicator != SQL_NO_TOTAL && static_cast<size_t>(indicator) < have) {
                have = static_cast<size_t>(indicator);
            }
            bytes.append(buffer, have);
        } else {
            have -= sizeof(SQLWCHAR); // the terminator
            if (indicator != SQL_NO_TOTAL && static_cast<size_t>(indicator) < have) {
                have = static_cast<size_t>(indicator);
            }
            text.append(reinterpret_cast<const char16_t *>(buffer), have / sizeof(char16_t));
        }
        if (rc == SQL_SUCCESS) {
            break;
        }
    }
    value.kind = binary ? DbValue::Kind::Bytes : DbValue::Kind::Text;
    value.text = binary ? bytes : broker::toUtf8(text);
    return true;
}

class OdbcConnection : public DbConnection {
public:
    OdbcConnection(SQLHDBC dbc, const DbSettings &settings) : dbc_(dbc), settings_(settings) {
        char name[128] = "";
        char version[64] = "";
        char dbms[128] = "";
        char dbmsVersion[64] = "";
        SQLSMALLINT length = 0;
        SQLGetInfo(dbc_, SQL_DRIVER_NAME, name, sizeof name, &length);
        SQLGetInfo(dbc_, SQL_DRIVER_VER, version, sizeof version, &length);
        SQLGetInfo(dbc_, SQL_DBMS_NAME, dbms, sizeof dbms, &length);
        SQLGetInfo(dbc_, SQL_DBMS_VER, dbmsVersion, sizeof dbmsVersion, &length);
        engine_ = std::string(name) + " " + version + " (" + dbms + " " + dbmsVersion + ")";
    }

    ~OdbcConnection() override {
        rollback();
        SQLDisconnect(dbc_);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }

    bool run(const std::string &sql, const std::vector<DbValue> &parameters,
             std::vector<DbColumn> *firstRow, DbFailure &failure) override {
        if (stopping_) {
            failure.interrupted = true;
            failure.records.push_back(
                diagnostic("HY008", 0, "interrupted: the broker is stopping"));
            return false;
        }
        SQLHSTMT statement = SQL_NULL_HSTMT;
        if (!succeeded(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &statement))) {
            collectDiagnostics(SQL_HANDLE_DBC, dbc_, failure);
            classify(failure);
            return false;
        }
        pending_ = true;
        SQLSetStmtAttr(
            statement, SQL_ATTR_QUERY_TIMEOUT,
            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(settings_.statementTimeoutS)), 0);
        bool ok = checkMarkers(statement, sql, parameters.size(), failure) &&
                  bindAll(statement, parameters, failure);
        if (ok) {
            {
                std::lock_guard lock(mutex_);
                running_ = statement;
            }
            if (stopping_) {
                SQLCancel(statement);
            }
            std::u16string text = wide(sql);
            SQLRETURN rc = SQLExecDirectW(statement, wideData(text), SQL_NTS);
            bool rowTaken = false;
            while (succeeded(rc)) {
                SQLSMALLINT columns = 0;
                SQLNumResultCols(statement, &columns);
                if (firstRow != nullptr && !rowTaken && columns > 0) {
                    rc = SQLFetch(statement);
                    if (succeeded(rc)) {
                        rowTaken = true;
                        if (!takeRow(statement, columns, *firstRow)) {
                            rc = SQL_ERROR;
                            break;
                        }
                    } else if (rc != SQL_NO_DATA) {
                        break;
                    }
                }
                rc = SQLMoreResults(statement);
            }
            ok = rc == SQL_NO_DATA;
            if (!ok) {
                collectDiagnostics(SQL_HANDLE_STMT, statement, failure);
            }
            std::lock_guard lock(mutex_);
            running_ = SQL_NULL_HSTMT;
        }
        SQLFreeHandle(SQL_HANDLE_STMT, statement);
        if (!ok) {
            classify(failure);
            rollback();
        }
        return ok;
    }

    bool commit(DbFailure &failure) override {
        if (!pending_) {
            return true;
        }
        pending_ = false;
        if (!succeeded(SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_COMMIT))) {
            collectDiagnostics(SQL_HANDLE_DBC, dbc_, failure);
            classify(failure);
            SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
            return false;
        }
        return true;
    }

    void rollback() override {
        if (pending_) {
            pending_ = false;
            SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
        }
    }

    void interrupt() override {
        stopping_ = true;
        std::lock_guard lock(mutex_);
        if (running_ != SQL_NULL_HSTMT) {
            SQLCancel(running_);
        }
    }

    std::string engine() const override { return engine_; }

private:
    // Marks a failure that ended the connection (SQLSTATE class 08, or the driver says
    // the connection is dead) and one that interrupted the statement.
    void classify(DbFailure &failure) {
        for (const DbDiagnostic &d : failure.records) {
            if (d.sqlState.rfind("08", 0) == 0) {
                failure.connectionLost = true;
            }
            if (d.sqlState == "57014" || d.sqlState == "HY008") {
                failure.interrupted = true;
            }
        }
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (succeeded(SQLGetConnectAttr(dbc_, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
            dead == SQL_CD_TRUE) {
            failure.connectionLost = true;
        }
        if (failure.connectionLost) {
            pending_ = false; // nothing left to end
        }
    }

    bool checkMarkers(SQLHSTMT statement, const std::string &sql, size_t given,
                      DbFailure &failure) {
        if (given == 0) {
            return true; // the driver sends the text as it is
        }
        std::u16string text = wide(sql);
        SQLRETURN rc = SQLPrepareW(statement, wideData(text), SQL_NTS);
        if (!succeeded(rc)) {
            collectDiagnostics(SQL_HANDLE_STMT, statement, failure);
            return false;
        }
        SQLSMALLINT markers = 0;
        if (succeeded(SQLNumParams(statement, &markers)) && static_cast<size_t>(markers) != given) {
            failure.records.push_back(diagnostic(
                WRONG_PARAMETER_COUNT, 0, parameterCountText(static_cast<size_t>(markers), given)));
            return false;
        }
        return true;
    }

    bool bindAll(SQLHSTMT statement, const std::vector<DbValue> &parameters, DbFailure &failure) {
        lengths_.assign(parameters.size(), 0);
        texts_.assign(parameters.size(), std::u16string());
        bits_.assign(parameters.size(), 0);
        for (size_t i = 0; i < parameters.size(); ++i) {
            const DbValue &v = parameters[i];
            auto number = static_cast<SQLUSMALLINT>(i + 1);
            SQLRETURN rc = SQL_ERROR;
            SQLLEN &length = lengths_[i];
            switch (v.kind) {
            case DbValue::Kind::Null:
                length = SQL_NULL_DATA;
                rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_VARCHAR,
                                      1, 0, nullptr, 0, &length);
                break;
            case DbValue::Kind::Boolean:
                bits_[i] = v.integer != 0 ? 1 : 0;
                rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_BIT, SQL_BIT, 1, 0,
                                      &bits_[i], 0, nullptr);
                break;
            case DbValue::Kind::Integer:
                rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT,
                                      19, 0, const_cast<int64_t *>(&v.integer), 0, nullptr);
                break;
            case DbValue::Kind::Real:
                rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE,
                                      15, 0, const_cast<double *>(&v.real), 0, nullptr);
                break;
            case DbValue::Kind::Text:
                texts_[i] = wide(v.text);
                length = static_cast<SQLLEN>(texts_[i].size() * sizeof(char16_t));
                rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR,
                                      std::max<SQLULEN>(texts_[i].size(), 1), 0,
                                      wideData(texts_[i]), length, &length);
                break;
            case DbValue::Kind::Bytes:
                length = static_cast<SQLLEN>(v.text.size());
                rc = SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_BINARY,
                                      SQL_VARBINARY, std::max<SQLULEN>(v.text.size(), 1), 0,
                                      const_cast<char *>(v.text.data()), length, &length);
                break;
            }
            if (!succeeded(rc)) {
                collectDiagnostics(SQL_HANDLE_STMT, statement, failure);
                return false;
            }
        }
        return true;
    }

    static bool takeRow(SQLHSTMT statement, SQLSMALLINT columns, std::vector<DbColumn> &row) {
        row.clear();
        for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(columns); ++i) {
            SQLCHAR name[256] = "";
            SQLSMALLINT nameLength = 0;
            SQLSMALLINT type = 0;
            SQLULEN size = 0;
            SQLSMALLINT digits = 0;
            SQLSMALLINT nullable = 0;
            SQLDescribeCol(statement, i, name, sizeof name, &nameLength, &type, &size, &digits,
                           &nullable);
            DbColumn column;
            column.name = reinterpret_cast<const char *>(name);
            DbValue &value = column.value;
            SQLLEN indicator = 0;
            SQLRETURN rc = SQL_SUCCESS;
            switch (type) {
            case SQL_BIT:
            case SQL_TINYINT:
            case SQL_SMALLINT:
            case SQL_INTEGER:
            case SQL_BIGINT:
                value.kind = type == SQL_BIT ? DbValue::Kind::Boolean : DbValue::Kind::Integer;
                rc = SQLGetData(statement, i, SQL_C_SBIGINT, &value.integer, 0, &indicator);
                break;
            case SQL_REAL:
            case SQL_FLOAT:
            case SQL_DOUBLE:
                value.kind = DbValue::Kind::Real;
                rc = SQLGetData(statement, i, SQL_C_DOUBLE, &value.real, 0, &indicator);
                break;
            case SQL_BINARY:
            case SQL_VARBINARY:
            case SQL_LONGVARBINARY:
                if (!readLong(statement, i, true, value)) {
                    return false;
                }
                break;
            default:
                if (!readLong(statement, i, false, value)) {
                    return false;
                }
                break;
            }
            if (!succeeded(rc)) {
                return false;
            }
            if (indicator == SQL_NULL_DATA) {
                value.kind = DbValue::Kind::Null;
            }
            row.push_back(std::move(column));
        }
        return true;
    }

    SQLHDBC dbc_;
    DbSettings settings_;
    std::string engine_;
    bool pending_ = false; /* a transaction may be open */
    std::atomic<bool> stopping_{false};
    std::mutex mutex_;
    SQLHSTMT running_ = SQL_NULL_HSTMT;
    std::vector<SQLLEN> lengths_;
    std::vector<std::u16string> texts_;
    std::vector<unsigned char> bits_;
};

std::unique_ptr<DbConnection> openOdbc(const std::string &connection, const DbSettings &settings,
                                       DbFailure &failure) {
    SQLHENV env = odbcEnvironment();
    SQLHDBC dbc = SQL_NULL_HDBC;
    if (env == SQL_NULL_HENV || !succeeded(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc))) {
        failure.records.push_back(
            diagnostic("HY001", 0, "cannot allocate an ODBC connection handle"));
        return nullptr;
    }
    SQLSetConnectAttr(dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(10), 0);
    // A bare name is a DSN.
    std::u16string text =
        wide(connection.find('=') == std::string::npos ? "DSN=" + connection : connection);
    SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, wideData(text), SQL_NTS, nullptr, 0, nullptr,
                                     SQL_DRIVER_NOPROMPT);
    if (!succeeded(rc)) {
        collectDiagnostics(SQL_HANDLE_DBC, dbc, failure);
        failure.connectionLost = true;
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        return nullptr;
    }
    rc = SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                           reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    if (!succeeded(rc)) {
        collectDiagnostics(SQL_HANDLE_DBC, dbc, failure);
        SQLDisconnect(dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, dbc);
        return nullptr;
    }
    return std::make_unique<OdbcConnection>(dbc, settings);
}

constexpr std::string_view ODBC_PREFIX = "odbc:";

} // namespace

bool isOdbcDataSource(const std::string &dataSource) {
    return dataSource.compare(0, ODBC_PREFIX.size(), ODBC_PREFIX) == 0;
}

std::string shownDataSource(const std::string &dataSource) {
    if (!isOdbcDataSource(dataSource)) {
        return dataSource;
    }
    std::string shown;
    size_t at = 0;
    while (at <= dataSource.size()) {
        size_t end = dataSource.find(';', at);
        std::string part = dataSource.substr(at, end == std::string::npos ? end : end - at);
        size_t equals = part.find('=');
        std::string key = lowered(part.substr(0, equals));
        while (!key.empty() && key.front() == ' ') {
            key.erase(0, 1);
        }
        if (equals != std::string::npos && (key == "pwd" || key == "password")) {
            part = part.substr(0, equals + 1) + "***";
        }
        shown += part;
        if (end == std::string::npos) {
            break;
        }
        shown += ';';
        at = end + 1;
    }
    return shown;
}

std::unique_ptr<DbConnection> openDataSource(const std::string &dataSource,
                                             const DbSettings &settings, DbFailure &failure) {
    if (isOdbcDataSource(dataSource)) {
        return openOdbc(dataSource.substr(ODBC_PREFIX.size()), settings, failure);
    }
    return openSqlite(dataSource, settings, failure);
}

} // namespace runtime
