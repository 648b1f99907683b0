/*
 * The SQLSTATE a database driver reports for an SQLite failure. Owns the mapping table;
 * called by the Database node when a statement fails, and documented in docs/runtime.md.
 */
#ifndef TREVANE_RUNTIME_SQLSTATE_H
#define TREVANE_RUNTIME_SQLSTATE_H

#include <string_view>

namespace runtime {

/* The five-character SQLSTATE for an SQLite failure: `extendedCode` is the extended result
   code (sqlite3_extended_errcode), `message` the engine's message (sqlite3_errmsg), which
   tells the causes of SQLite's generic error code apart. Never null; "58004" for
   failures the table does not name. The text is static. */
const char *sqlStateFor(int extendedCode, std::string_view message);

/* The engine's short description of a result code ("constraint failed"); never null,
   static storage owned by SQLite. */
const char *sqliteCodeText(int extendedCode);

} // namespace runtime

#endif
