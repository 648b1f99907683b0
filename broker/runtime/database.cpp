/*
 * The Database node: runs an SQL statement (or a script of several) against an SQLite
 * database file. On success the message goes on through "out". On failure the node
 * describes the error the way database drivers report it: a DatabaseException inside a
 * RecoverableException, whose inserts are the native error code (an integer insert),
 * the SQLSTATE alone, and the engine's message with the statement, ending in
 * "SQLSTATE=" and the five-character code (sqlstate.cpp maps it). With "failure"
 * attached the node sends the message there with that exception list; otherwise it
 * raises the exception, so that the flow's input node backs the message out.
 *
 * Connections are opened per node and kept in a small pool, one per instance thread
 * in use at a time; all are closed with the node. Reached by the broker through the
 * node-class table.
 */
#include <mutex>
#include <sqlite3.h>
#include <vector>

#include "broker/runtime/builtin.h"
#include "broker/runtime/builtins.h"
#include "broker/runtime/sqlstate.h"

namespace runtime {

namespace {

std::string checkBusyTimeout(std::string_view value) {
    return checkNumber(value, 0, 600000);
}

constexpr PropertyDefinition DATABASE_PROPERTIES[] = {
    {"dataSource", nullptr, checkNotEmpty},
    {"statement", nullptr, checkNotEmpty},
    {"busyTimeout", "5000", checkBusyTimeout},
    {"label", "", nullptr},
};

// What a failed statement left behind.
struct DatabaseError {
    int code = SQLITE_OK; /* extended result code */
    std::string message;
};

class DatabaseNode : public BuiltinNode {
public:
    explicit DatabaseNode(CciNode *node) : BuiltinNode(node, DATABASE_CLASS, DATABASE_PROPERTIES) {
        addInput(u"in");
        out = addOutput(u"out");
        failure = addOutput(u"failure");
    }

    ~DatabaseNode() override { closeAll(); }

    void propertyChanged(std::string_view name) override {
        if (name == "dataSource" || name == "busyTimeout") {
            closeAll(); // later statements must reach the new database
        }
    }

    void evaluate(CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) override {
        DatabaseError error;
        if (!execute(error)) {
            reportFailure(destinationList, message, error);
            return;
        }
        propagateOrRethrow(out, destinationList, exceptionList, message);
    }

private:
    sqlite3 *acquire(DatabaseError &error) {
        {
            std::lock_guard lock(mutex_);
            if (!idle_.empty()) {
                sqlite3 *db = idle_.back();
                idle_.pop_back();
                return db;
            }
        }
        sqlite3 *db = nullptr;
        const std::string path = property("dataSource");
        int rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            error.code = db == nullptr ? rc : sqlite3_extended_errcode(db);
            error.message = "cannot open data source '" + path +
                            "': " + (db == nullptr ? sqlite3_errstr(rc) : sqlite3_errmsg(db));
            sqlite3_close(db);
            return nullptr;
        }
        sqlite3_extended_result_codes(db, 1);
        sqlite3_busy_timeout(db, static_cast<int>(parseNumber(property("busyTimeout"))));
        return db;
    }

    void release(sqlite3 *db) {
        std::lock_guard lock(mutex_);
        idle_.push_back(db);
    }

    void closeAll() {
        std::lock_guard lock(mutex_);
        for (sqlite3 *db : idle_) {
            sqlite3_close(db);
        }
        idle_.clear();
    }

    // Runs every statement of the property in turn; false at the first failure.
    bool execute(DatabaseError &error) {
        sqlite3 *db = acquire(error);
        if (db == nullptr) {
            return false;
        }
        const std::string sql = property("statement");
        const char *next = sql.c_str();
        bool ok = true;
        while (ok && *next != '\0') {
            sqlite3_stmt *statement = nullptr;
            const char *tail = nullptr;
            int rc = sqlite3_prepare_v2(db, next, -1, &statement, &tail);
            if (rc == SQLITE_OK && statement != nullptr) {
                while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
                }
                if (rc == SQLITE_DONE) {
                    rc = SQLITE_OK;
                }
            }
            if (rc != SQLITE_OK) {
                error.code = sqlite3_extended_errcode(db);
                error.message = sqlite3_errmsg(db);
                ok = false;
            }
            sqlite3_finalize(statement);
            next = tail == nullptr || tail == next ? "" : tail;
        }
        if (!ok && !sqlite3_get_autocommit(db)) {
            // A script that opened a transaction and failed inside it must not leave the
            // pooled connection holding locks for the next message.
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        release(db);
        return ok;
    }

    std::vector<ListEntry> describe(const DatabaseError &error) const {
        const char *sqlState = sqlStateFor(error.code, error.message);
        const std::string statement = property("statement");
        const std::string driverText =
            "SQLite " + std::string(sqlite3_libversion()) + ": " + error.message +
            " (native error " + std::to_string(error.code) + ", " + sqliteCodeText(error.code) +
            "; statement: " + statement + ") SQLSTATE=" + sqlState;
        ListEntry outer{
            frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "DatabaseNode::evaluate",
                  MSG_STATEMENT_FAILED,
                  "Node '" + name() +
                      "' could not run its SQL statement on data "
                      "source '" +
                      property("dataSource") + "'"),
            {{CCI_VALUE_TYPE_CHAR, name()}, {CCI_VALUE_TYPE_CHAR, property("dataSource")}}};
        ListEntry database{frame(CCI_DATABASE_EXCEPTION, __FILE__, __LINE__,
                                 "DatabaseNode::execute", MSG_DATABASE_ERROR,
                                 "Database error: " + error.message + " (native error " +
                                     std::to_string(error.code) + ", SQLSTATE " + sqlState + ")"),
                           {{CCI_VALUE_TYPE_INTEGER, std::to_string(error.code)},
                            {CCI_VALUE_TYPE_CHAR, sqlState},
                            {CCI_VALUE_TYPE_CHAR, driverText}}};
        return {outer, database};
    }

    void reportFailure(CciMessage *destinationList, CciMessage *message,
                       const DatabaseError &error) {
        std::vector<ListEntry> entries = describe(error);
        int rc = 0;
        if (!cniIsTerminalAttached(&rc, failure)) {
            // Raised upstream the broker keeps insert texts only: the innermost frame first.
            std::vector<broker::ExceptionFrame> frames;
            for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
                broker::ExceptionFrame f = entry->frame;
                for (const TypedInsert &insert : entry->inserts) {
                    f.inserts.push_back(insert.text);
                }
                frames.push_back(std::move(f));
            }
            raiseFrames(std::move(frames));
        }
        CciMessage *list = buildExceptionList(message, entries);
        cniPropagate(&rc, failure, destinationList, list, message);
        int ignored = 0;
        cniDeleteMessage(&ignored, list);
        if (rc == CCI_EXCEPTION) {
            noteDownstreamFailure();
            cciRethrowLastException(nullptr);
        }
    }

    CciTerminal *out;
    CciTerminal *failure;
    std::mutex mutex_;
    std::vector<sqlite3 *> idle_;
};

} // namespace

void registerDatabaseClass() {
    registerBuiltin<DatabaseNode>(DATABASE_CLASS);
}

} // namespace runtime
