/*
 * SQLSTATE mapping for the Database node: SQLite's extended result codes, and for its
 * generic error code the engine's message, turned into the five-character codes that
 * database drivers report and that flows (and the TrevaneNode) look for after
 * "SQLSTATE=". A convention of this broker for SQLite only (ODBC drivers name their own
 * SQLSTATE): it keeps the codes the demonstration flow and its queue names were built
 * around, 42704 for an undefined table and 23513 for a check constraint, where the SQL
 * standard and PostgreSQL say 42P01 and 23514. Called by datasource.cpp; the table is
 * repeated in docs/runtime.md.
 */
#include "runtime/sqlstate.h"

#include <sqlite3.h>

namespace runtime {

namespace {

struct CodeState {
    int code; /* an extended code, or a primary code matching all its extended codes */
    bool primaryOnly;
    const char *sqlState;
};

// Checked in order: exact extended codes first, then whole primary-code families.
constexpr CodeState CODE_STATES[] = {
    {SQLITE_CONSTRAINT_UNIQUE, false, "23505"},
    {SQLITE_CONSTRAINT_PRIMARYKEY, false, "23505"},
    {SQLITE_CONSTRAINT_NOTNULL, false, "23502"},
    {SQLITE_CONSTRAINT_FOREIGNKEY, false, "23503"},
    {SQLITE_CONSTRAINT_CHECK, false, "23513"},
    {SQLITE_BUSY, true, "57033"},
    {SQLITE_LOCKED, true, "57033"},
    {SQLITE_INTERRUPT, true, "57014"},
};

struct MessageState {
    std::string_view fragment; /* found anywhere in the engine's message */
    const char *sqlState;
};

// Causes that SQLite reports only as SQLITE_ERROR, told apart by its message.
constexpr MessageState MESSAGE_STATES[] = {
    {"no such table", "42704"}, {"no such column", "42703"},   {"has no column named", "42703"},
    {"syntax error", "42601"},  {"incomplete input", "42601"}, {"unrecognized token", "42601"},
};

constexpr const char *OTHER_STATE = "58004";

} // namespace

const char *sqlStateFor(int extendedCode, std::string_view message) {
    const int primary = extendedCode & 0xff;
    for (const CodeState &entry : CODE_STATES) {
        if (entry.primaryOnly ? primary == entry.code : extendedCode == entry.code) {
            return entry.sqlState;
        }
    }
    if (primary == SQLITE_ERROR) {
        for (const MessageState &entry : MESSAGE_STATES) {
            if (message.find(entry.fragment) != std::string_view::npos) {
                return entry.sqlState;
            }
        }
    }
    return OTHER_STATE;
}

const char *sqliteCodeText(int extendedCode) {
    return sqlite3_errstr(extendedCode);
}

} // namespace runtime
