// The queue manager's storage: one SQLite file per queue manager, holding its queue
// definitions and its messages. Owns the schema, the statements of every operation and the
// identity of the processes that hold messages in units of work. Called by the messaging
// calls (mq.cpp) and the administration functions (admin.cpp), one SqliteStore per connection;
// the SqliteStores of one process share one Writer per queue manager for their changes.
//
// A message row is ready (state 0) or got under syncpoint (1); state 2, put under
// syncpoint, is only found in files of earlier builds, which stored such puts at once (it
// is dropped at back-out and recovery, and made ready at commit). Held rows carry their
// holder: pid, process start time, boot id and unit-of-work id. Gets take ready rows in
// priority order, then arrival (seq). Writers use BEGIN IMMEDIATE so two processes never
// take the same row.
#include "messaging/store.h"
#include "messaging/pgstore.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <linux/futex.h>
#include <map>
#include <mutex>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace trevane::mq {

namespace {

// Format marker and version of the schema below; a file without it is not a queue manager.
constexpr const char *FORMAT_MARKER = "trevane-queue-manager";
constexpr const char *SCHEMA_VERSION = "1";
constexpr const char *FILE_SUFFIX = ".qmgr";
// Beside the file: the lock by which the writers of several processes take turns.
constexpr const char *LOCK_SUFFIX = "-lock";

// A writer waits this long for another process's transaction before the call fails.
constexpr int BUSY_TIMEOUT_MS = 30000;

// Waits for the writer lock in steps of one millisecond, BUSY_TIMEOUT_MS steps at most.
// SQLite's own handler lengthens its sleeps up to 100 ms, and a writer that begins its
// next transaction at once would then keep every waiting connection out for as long as
// it had work: instances sharing one input queue were starved by whichever ran first.
int waitForWriterLock(void *, int attempt) {
    if (attempt >= BUSY_TIMEOUT_MS) {
        return 0;
    }
    ::usleep(1000);
    return 1;
}

constexpr const char *SCHEMA = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE queues(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL UNIQUE,
    default_priority INTEGER NOT NULL,
    default_persistence INTEGER NOT NULL,
    max_msg_length INTEGER NOT NULL,
    created TEXT NOT NULL);
CREATE TABLE messages(
    seq INTEGER PRIMARY KEY,
    queue_id INTEGER NOT NULL,
    state INTEGER NOT NULL,
    priority INTEGER NOT NULL,
    persistence INTEGER NOT NULL,
    msg_id BLOB NOT NULL,
    correl_id BLOB NOT NULL,
    report INTEGER NOT NULL,
    msg_type INTEGER NOT NULL,
    expiry INTEGER NOT NULL,
    expires_at INTEGER,
    feedback INTEGER NOT NULL,
    encoding INTEGER NOT NULL,
    ccsid INTEGER NOT NULL,
    format BLOB NOT NULL,
    backout_count INTEGER NOT NULL,
    reply_to_q TEXT NOT NULL,
    reply_to_qmgr TEXT NOT NULL,
    user_id TEXT NOT NULL,
    put_appl_type INTEGER NOT NULL,
    put_appl_name TEXT NOT NULL,
    put_date TEXT NOT NULL,
    put_time TEXT NOT NULL,
    holder_pid INTEGER,
    holder_start INTEGER,
    holder_boot TEXT,
    holder_uow INTEGER,
    body BLOB NOT NULL);
CREATE INDEX messages_ready ON messages(queue_id, priority DESC, seq) WHERE state = 0;
CREATE INDEX messages_held ON messages(holder_uow, holder_pid, holder_start, holder_boot)
    WHERE holder_uow IS NOT NULL;
)sql";

enum Slot {
    PUT,
    FIRST_READY,
    BROWSE,
    REMOVE,
    HOLD,
    COMMIT_GOT,
    COMMIT_PUT,
    BACK_GOT,
    BACK_PUT,
    HOLDERS,
    FIND_QUEUE,
    QUEUE_EXISTS,
    DATA_VERSION,
    SLOT_COUNT
};

constexpr const char *PUT_SQL =
    "INSERT INTO messages(queue_id, state, priority, persistence, msg_id, correl_id, report,"
    " msg_type, expiry, expires_at, feedback, encoding, ccsid, format, backout_count,"
    " reply_to_q, reply_to_qmgr, user_id, put_appl_type, put_appl_name, put_date, put_time,"
    " holder_pid, holder_start, holder_boot, holder_uow, body)"
    " SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, 0, ?15, ?16, ?17,"
    " ?18, ?19, ?20, ?21, ?22, ?23, ?24, ?25, ?26"
    " WHERE EXISTS (SELECT 1 FROM queues WHERE id = ?1)";

// Columns read back for a get, in the order fillDescriptor expects.
#define MESSAGE_COLUMNS                                                                            \
    "seq, priority, persistence, msg_id, correl_id, report, msg_type, expiry, expires_at,"         \
    " feedback, encoding, ccsid, format, backout_count, reply_to_q, reply_to_qmgr, user_id,"       \
    " put_appl_type, put_appl_name, put_date, put_time, body"

constexpr const char *FIRST_READY_SQL =
    "SELECT " MESSAGE_COLUMNS " FROM messages WHERE queue_id = ?1 AND state = 0"
    " AND (?2 IS NULL OR msg_id = ?2) AND (?3 IS NULL OR correl_id = ?3)"
    " ORDER BY priority DESC, seq LIMIT 1";

constexpr const char *BROWSE_SQL =
    "SELECT " MESSAGE_COLUMNS " FROM messages WHERE queue_id = ?1 AND state = 0"
    " AND (?2 IS NULL OR msg_id = ?2) AND (?3 IS NULL OR correl_id = ?3)"
    " AND (?4 IS NULL OR priority < ?4 OR (priority = ?4 AND seq > ?5))"
    " AND (expires_at IS NULL OR expires_at > ?6)"
    " ORDER BY priority DESC, seq LIMIT 1";

enum Column {
    C_SEQ,
    C_PRIORITY,
    C_PERSISTENCE,
    C_MSG_ID,
    C_CORREL_ID,
    C_REPORT,
    C_MSG_TYPE,
    C_EXPIRY,
    C_EXPIRES_AT,
    C_FEEDBACK,
    C_ENCODING,
    C_CCSID,
    C_FORMAT,
    C_BACKOUT,
    C_REPLY_TO_Q,
    C_REPLY_TO_QMGR,
    C_USER_ID,
    C_PUT_APPL_TYPE,
    C_PUT_APPL_NAME,
    C_PUT_DATE,
    C_PUT_TIME,
    C_BODY
};

constexpr const char *REMOVE_SQL = "DELETE FROM messages WHERE seq = ?1";
constexpr const char *HOLD_SQL =
    "UPDATE messages SET state = 1, holder_pid = ?2, holder_start = ?3, holder_boot = ?4,"
    " holder_uow = ?5 WHERE seq = ?1";
constexpr const char *COMMIT_GOT_SQL = "DELETE FROM messages WHERE holder_uow = ?1 AND state = 1";
constexpr const char *COMMIT_PUT_SQL =
    "UPDATE messages SET state = 0, holder_pid = NULL, holder_start = NULL,"
    " holder_boot = NULL, holder_uow = NULL WHERE holder_uow = ?1 AND state = 2";
constexpr const char *BACK_GOT_SQL =
    "UPDATE messages SET state = 0, backout_count = backout_count + 1, holder_pid = NULL,"
    " holder_start = NULL, holder_boot = NULL, holder_uow = NULL"
    " WHERE holder_uow = ?1 AND state = 1";
constexpr const char *BACK_PUT_SQL = "DELETE FROM messages WHERE holder_uow = ?1 AND state = 2";
constexpr const char *HOLDERS_SQL =
    "SELECT DISTINCT holder_uow, holder_pid, holder_start, holder_boot FROM messages"
    " WHERE holder_uow IS NOT NULL";
constexpr const char *FIND_QUEUE_SQL =
    "SELECT id, name, default_priority, default_persistence, max_msg_length FROM queues"
    " WHERE name = ?1";
constexpr const char *QUEUE_EXISTS_SQL = "SELECT 1 FROM queues WHERE id = ?1";
constexpr const char *DATA_VERSION_SQL = "PRAGMA data_version";

constexpr const char *SLOT_SQL[SLOT_COUNT] = {
    PUT_SQL,        FIRST_READY_SQL,  BROWSE_SQL,      REMOVE_SQL,   HOLD_SQL,
    COMMIT_GOT_SQL, COMMIT_PUT_SQL,   BACK_GOT_SQL,    BACK_PUT_SQL, HOLDERS_SQL,
    FIND_QUEUE_SQL, QUEUE_EXISTS_SQL, DATA_VERSION_SQL};

int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string isoTimeNow() {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// Resets a cached statement when the operation that used it ends, however it ends.
struct StatementUse {
    sqlite3_stmt *statement;
    ~StatementUse() {
        if (statement != nullptr) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
        }
    }
};

// A write transaction taken at once (so no two writers pick the same message); rolled back
// unless committed.
class WriteTransaction {
public:
    explicit WriteTransaction(sqlite3 *db) : db_(db) {}
    ~WriteTransaction() {
        if (active_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    WriteTransaction(const WriteTransaction &) = delete;
    WriteTransaction &operator=(const WriteTransaction &) = delete;
    int begin() {
        int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        active_ = rc == SQLITE_OK;
        return rc;
    }
    int commit() {
        int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            active_ = false;
        }
        return rc;
    }

private:
    sqlite3 *db_;
    bool active_ = false;
};

std::string_view columnText(sqlite3_stmt *statement, int column) {
    const unsigned char *text = sqlite3_column_text(statement, column);
    if (text == nullptr) {
        return {};
    }
    return {reinterpret_cast<const char *>(text),
            static_cast<size_t>(sqlite3_column_bytes(statement, column))};
}

void copyColumnBytes(sqlite3_stmt *statement, int column, MQBYTE *field, size_t width) {
    const void *bytes = sqlite3_column_blob(statement, column);
    size_t length = static_cast<size_t>(sqlite3_column_bytes(statement, column));
    std::memset(field, 0, width);
    if (bytes != nullptr) {
        std::memcpy(field, bytes, std::min(length, width));
    }
}

// Fills a descriptor from the current row of a FIRST_READY or BROWSE statement.
void fillDescriptor(sqlite3_stmt *row, MQMD &md, int64_t now) {
    auto integer = [row](int column) {
        return static_cast<MQLONG>(sqlite3_column_int(row, column));
    };
    md.Report = integer(C_REPORT);
    md.MsgType = integer(C_MSG_TYPE);
    if (sqlite3_column_type(row, C_EXPIRES_AT) == SQLITE_NULL) {
        md.Expiry = MQEI_UNLIMITED;
    } else {
        int64_t left = (sqlite3_column_int64(row, C_EXPIRES_AT) - now + 99) / 100;
        md.Expiry = static_cast<MQLONG>(std::clamp<int64_t>(left, 1, INT32_MAX));
    }
    md.Feedback = integer(C_FEEDBACK);
    md.Encoding = integer(C_ENCODING);
    md.CodedCharSetId = integer(C_CCSID);
    std::memset(md.Format, ' ', sizeof md.Format);
    if (const void *format = sqlite3_column_blob(row, C_FORMAT); format != nullptr) {
        std::memcpy(md.Format, format,
                    std::min<size_t>(sizeof md.Format, sqlite3_column_bytes(row, C_FORMAT)));
    }
    md.Priority = integer(C_PRIORITY);
    md.Persistence = integer(C_PERSISTENCE);
    copyColumnBytes(row, C_MSG_ID, md.MsgId, sizeof md.MsgId);
    copyColumnBytes(row, C_CORREL_ID, md.CorrelId, sizeof md.CorrelId);
    md.BackoutCount = integer(C_BACKOUT);
    setField(md.ReplyToQ, sizeof md.ReplyToQ, columnText(row, C_REPLY_TO_Q));
    setField(md.ReplyToQMgr, sizeof md.ReplyToQMgr, columnText(row, C_REPLY_TO_QMGR));
    setField(md.UserIdentifier, sizeof md.UserIdentifier, columnText(row, C_USER_ID));
    md.PutApplType = integer(C_PUT_APPL_TYPE);
    setField(md.PutApplName, sizeof md.PutApplName, columnText(row, C_PUT_APPL_NAME));
    setField(md.PutDate, sizeof md.PutDate, columnText(row, C_PUT_DATE));
    setField(md.PutTime, sizeof md.PutTime, columnText(row, C_PUT_TIME));
}

bool allZero(const MQBYTE *bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](MQBYTE b) { return b == 0; });
}

std::string readFirstLine(const char *path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Start time (clock ticks after boot) and state letter of a process, from /proc.
bool readProcessStat(int64_t pid, int64_t &startTime, char &state) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%lld/stat", static_cast<long long>(pid));
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks and parentheses: fields are counted
    // from the last ')'. After it come field 3 (state) ... field 22 (start time).
    size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 3) {
            state = field.empty() ? '?' : field[0];
        } else if (number == 22) {
            startTime = std::strtoll(field.c_str(), nullptr, 10);
            return true;
        }
    }
    return false;
}

bool makeDirectories(const std::string &path, Failure &failure) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            failure = {MQRC_RESOURCE_PROBLEM,
                       "cannot create directory " + prefix + ": " + std::strerror(errno)};
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

} // namespace

// ---- names and fields ----------------------------------------------------------------

std::string dataDirectory(Failure &failure) {
    if (const char *dir = std::getenv(MQ_DIRECTORY_VARIABLE); dir != nullptr && *dir != 0) {
        return dir;
    }
    if (const char *xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && *xdg == '/') {
        return std::string(xdg) + "/trevane/queue-managers";
    }
    std::string home;
    if (const char *h = std::getenv("HOME"); h != nullptr && *h != 0) {
        home = h;
    } else {
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr &&
            found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        failure = {MQRC_RESOURCE_PROBLEM, "no queue manager directory: set " +
                                              std::string(MQ_DIRECTORY_VARIABLE) +
                                              " (HOME is not set)"};
        return {};
    }
    return home + "/.local/share/trevane/queue-managers";
}

bool validQueueManagerName(std::string_view name) {
    if (name.empty() || name.size() > MQ_Q_MGR_NAME_LENGTH || name.front() == '.') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '%' || c == '-';
    });
}

bool validQueueName(std::string_view name) {
    if (name.empty() || name.size() > MQ_Q_NAME_LENGTH) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '.' || c == '_' || c == '/' || c == '%';
    });
}

std::string queueManagerPath(const std::string &directory, std::string_view name) {
    std::string path = directory;
    path += '/';
    path += name;
    path += FILE_SUFFIX;
    return path;
}

std::string_view fieldText(const char *field, size_t width) {
    if (field == nullptr) {
        return {};
    }
    size_t length = strnlen(field, width);
    while (length > 0 && field[length - 1] == ' ') {
        --length;
    }
    return {field, length};
}

void setField(char *field, size_t width, std::string_view text) {
    size_t length = std::min(width, text.size());
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, width - length);
}

// ---- process identity ----------------------------------------------------------------

const ProcessIdentity &thisProcess() {
    // Computed per process: a forked child must not present its parent's identity.
    static thread_local ProcessIdentity identity;
    int64_t pid = ::getpid();
    if (identity.pid != pid) {
        ProcessIdentity fresh;
        fresh.pid = pid;
        char state = '?';
        readProcessStat(pid, fresh.startTime, state);
        fresh.bootId = readFirstLine("/proc/sys/kernel/random/boot_id");
        identity = std::move(fresh);
    }
    return identity;
}

bool processIsAlive(const ProcessIdentity &process) {
    const ProcessIdentity &self = thisProcess();
    if (!process.bootId.empty() && !self.bootId.empty() && process.bootId != self.bootId) {
        return false; // the machine restarted since
    }
    int64_t startTime = 0;
    char state = '?';
    if (readProcessStat(process.pid, startTime, state)) {
        return startTime == process.startTime && state != 'Z' && state != 'X';
    }
    // Without /proc for that pid: it is gone, unless /proc is not readable at all.
    if (process.pid <= 0 || (::kill(static_cast<pid_t>(process.pid), 0) != 0 && errno == ESRCH)) {
        return false;
    }
    return access("/proc/self/stat", R_OK) != 0;
}

// ---- the store -----------------------------------------------------------------------

std::string postgresEntryPath(const std::string &directory, std::string_view name) {
    return queueManagerPath(directory, name) + "-pg";
}

std::unique_ptr<Store> storeFor(std::string_view qmgrName) {
    Failure failure;
    std::string directory = dataDirectory(failure);
    if (!directory.empty() && validQueueManagerName(qmgrName)) {
        std::string entry = postgresEntryPath(directory, qmgrName);
        std::ifstream in(entry);
        std::string conninfo;
        if (in && std::getline(in, conninfo)) {
            return std::make_unique<PgStore>(conninfo, entry);
        }
    }
    return std::make_unique<SqliteStore>();
}

SqliteStore::~SqliteStore() {
    close();
}

void SqliteStore::close() {
    writer_.reset();
    for (sqlite3_stmt *statement : statements_) {
        sqlite3_finalize(statement);
    }
    statements_.clear();
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

bool SqliteStore::exec(const char *sql, Failure &failure) {
    char *message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string what = message != nullptr ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        failure.reason = MQRC_RESOURCE_PROBLEM;
        failure.detail = "queue manager " + name_ + ": " + what + " [" + path_ + "]";
        return false;
    }
    return true;
}

bool SqliteStore::openFile(std::string_view qmgrName, bool create, Failure &failure) {
    close();
    name_ = std::string(qmgrName);
    if (!validQueueManagerName(qmgrName)) {
        failure = {create ? MQRC_OBJECT_NAME_ERROR : MQRC_Q_MGR_NAME_ERROR,
                   "'" + name_ +
                       "' is not a queue manager name (1 to 48 letters, digits, '.', '_', '%'"
                       " or '-', not starting with '.')"};
        return false;
    }
    std::string directory = dataDirectory(failure);
    if (directory.empty()) {
        return false;
    }
    path_ = queueManagerPath(directory, qmgrName);
    struct stat info {};
    if (!create && ::stat(path_.c_str(), &info) == 0 && info.st_size == 0) {
        // SQLite would take an empty file for a new database (and wait on the locks of the
        // one it replaced); it is a queue manager file that lost everything.
        failure = {MQRC_Q_MGR_NOT_AVAILABLE,
                   "queue manager " + name_ + ": its file " + path_ + " is empty"};
        return false;
    }
    if (::stat(path_.c_str(), &info) != 0) {
        if (!create) {
            failure = {MQRC_Q_MGR_NAME_ERROR, "no queue manager " + name_ + " in " + directory +
                                                  " (" + std::strerror(errno) + ")"};
            return false;
        }
        if (!makeDirectories(directory, failure)) {
            return false;
        }
    }
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(path_.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        fail(failure, create ? MQRC_RESOURCE_PROBLEM : MQRC_Q_MGR_NOT_AVAILABLE,
             "cannot open " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
        close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 0);
    sqlite3_busy_handler(db_, waitForWriterLock, nullptr);
    // The last connection to close would otherwise remove the log and shared-memory files
    // by name, which after a deletion and re-creation could be the new queue manager's.
    int persistLog = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persistLog);
    // WAL lets readers (browsers, waiting getters) run beside the one writer. In WAL mode
    // synchronous=NORMAL does not sync the log at commit, so a put reported as done could
    // vanish with a power failure; FULL syncs the log at every commit, making each put
    // and get outside syncpoint, and each commit, durable when the call returns.
    if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", failure)) {
        failure.reason = create ? MQRC_RESOURCE_PROBLEM : MQRC_Q_MGR_NOT_AVAILABLE;
        close();
        return false;
    }
    if (::stat(path_.c_str(), &info) == 0) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    return true;
}

bool SqliteStore::open(std::string_view qmgrName, Failure &failure) {
    if (!openFile(qmgrName, false, failure)) {
        return false;
    }
    sqlite3_stmt *check = nullptr;
    std::string format, version;
    bool deleted = false;
    if (sqlite3_prepare_v2(db_, "SELECT key, value FROM meta", -1, &check, nullptr) == SQLITE_OK) {
        while (sqlite3_step(check) == SQLITE_ROW) {
            std::string_view key = columnText(check, 0);
            if (key == "format") {
                format = columnText(check, 1);
            } else if (key == "version") {
                version = columnText(check, 1);
            } else if (key == "deleted") {
                deleted = true;
            }
        }
    }
    sqlite3_finalize(check);
    if (format != FORMAT_MARKER || version != SCHEMA_VERSION) {
        fail(failure, MQRC_Q_MGR_NOT_AVAILABLE,
             path_ + " is not a queue manager file of this version");
        close();
        return false;
    }
    if (deleted) {
        failure = {MQRC_Q_MGR_NAME_ERROR, "queue manager " + name_ + " was deleted"};
        close();
        return false;
    }
    return true;
}

bool SqliteStore::create(std::string_view qmgrName, Failure &failure) {
    if (!openFile(qmgrName, true, failure)) {
        return false;
    }
    WriteTransaction transaction(db_);
    if (transaction.begin() != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot create");
    }
    int existing = -1; // -1 no schema, 0 deleted earlier, 1 live
    for (const char *sql : {"SELECT 1 FROM sqlite_master WHERE name = 'meta'",
                            "SELECT 1 FROM meta WHERE key = 'deleted'"}) {
        sqlite3_stmt *check = nullptr;
        bool found = sqlite3_prepare_v2(db_, sql, -1, &check, nullptr) == SQLITE_OK &&
                     sqlite3_step(check) == SQLITE_ROW;
        sqlite3_finalize(check);
        if (!found) {
            break;
        }
        existing = existing == -1 ? 1 : 0;
    }
    if (existing == 1) {
        failure = {MQRC_OBJECT_ALREADY_EXISTS, "queue manager " + name_ + " already exists"};
        return false;
    }
    std::string sql;
    if (existing == 0) {
        // Left behind by a deletion that did not finish: the tables are empty already. The
        // queue ids keep counting, so handles from before never reach a new queue.
        sql = "DELETE FROM meta;";
    } else {
        sql = SCHEMA;
    }
    sql += "INSERT INTO meta VALUES ('format', '" + std::string(FORMAT_MARKER) +
           "'), ('version', '" + SCHEMA_VERSION + "'), ('name', '" + name_ +
           "'), ('ccsid', '1208'), ('created', '" + isoTimeNow() + "');";
    if (!exec(sql.c_str(), failure)) {
        return false;
    }
    if (transaction.commit() != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot create");
    }
    return true;
}

bool SqliteStore::fileIntact(Failure &failure) const {
    struct stat info {};
    if (::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_ &&
        info.st_size == 0) {
        failure = {MQRC_Q_MGR_NOT_AVAILABLE,
                   "queue manager " + name_ + ": its file " + path_ +
                       " is empty (cut to 0 bytes while in use); it holds no queue manager any "
                       "more"};
        return false;
    }
    return true;
}

bool SqliteStore::stillPresent() const {
    struct stat info {};
    return ::stat(path_.c_str(), &info) == 0 && info.st_dev == device_ && info.st_ino == inode_;
}

bool SqliteStore::findQueue(std::string_view queueName, QueueDefinition &queue, Failure &failure) {
    sqlite3_stmt *statement = prepared(FIND_QUEUE, failure);
    if (statement == nullptr) {
        return false;
    }
    StatementUse use{statement};
    sqlite3_bind_text(statement, 1, queueName.data(), static_cast<int>(queueName.size()),
                      SQLITE_STATIC);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) {
        failure = {MQRC_UNKNOWN_OBJECT_NAME,
                   "queue manager " + name_ + " has no queue " + std::string(queueName)};
        return false;
    }
    if (rc != SQLITE_ROW) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot look up a queue");
    }
    queue.id = sqlite3_column_int64(statement, 0);
    queue.name = columnText(statement, 1);
    queue.attributes.defaultPriority = sqlite3_column_int(statement, 2);
    queue.attributes.defaultPersistence = sqlite3_column_int(statement, 3);
    queue.attributes.maxMsgLength = sqlite3_column_int(statement, 4);
    return true;
}

bool SqliteStore::queueExists(int64_t queueId, Failure &failure) {
    sqlite3_stmt *statement = prepared(QUEUE_EXISTS, failure);
    if (statement == nullptr) {
        return false;
    }
    StatementUse use{statement};
    sqlite3_bind_int64(statement, 1, queueId);
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        failure = {MQRC_Q_DELETED, "queue manager " + name_ + ": the queue was deleted"};
        return false;
    }
    return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot look up a queue");
}

// ---- statements on any handle --------------------------------------------------------

// A SQLite handle with its cached statements, and the names that explain its failures.
struct Handle {
    sqlite3 *db;
    std::vector<sqlite3_stmt *> &statements;
    const std::string &name;
    const std::string &path;
};

namespace {

bool failOn(const Handle &h, Failure &failure, MQLONG reason, std::string_view what) {
    failure.reason = reason;
    failure.detail = "queue manager " + h.name + ": " + std::string(what);
    if (h.db != nullptr && reason == MQRC_RESOURCE_PROBLEM) {
        int code = sqlite3_errcode(h.db);
        failure.detail += ": ";
        failure.detail += sqlite3_errmsg(h.db);
        if (code == SQLITE_BUSY || code == SQLITE_LOCKED) {
            failure.detail += " (another process kept it locked for " +
                              std::to_string(BUSY_TIMEOUT_MS / 1000) + " s)";
        }
        failure.detail += " [" + h.path + "]";
    }
    return false;
}

sqlite3_stmt *preparedOn(const Handle &h, int slot, Failure &failure) {
    if (h.statements.size() <= static_cast<size_t>(slot)) {
        h.statements.resize(static_cast<size_t>(slot) + 1, nullptr);
    }
    sqlite3_stmt *&statement = h.statements[static_cast<size_t>(slot)];
    if (statement == nullptr &&
        sqlite3_prepare_v3(h.db, SLOT_SQL[slot], -1, SQLITE_PREPARE_PERSISTENT, &statement,
                           nullptr) != SQLITE_OK) {
        statement = nullptr;
        failOn(h, failure, MQRC_RESOURCE_PROBLEM, "cannot prepare a statement");
        return nullptr;
    }
    return statement;
}

// Stores a ready message; MQRC_Q_DELETED when its queue is gone.
bool insertMessage(const Handle &h, const QueueDefinition &queue, const MQMD &md, const void *data,
                   MQLONG length, int64_t putAt, Failure &failure) {
    sqlite3_stmt *s = preparedOn(h, PUT, failure);
    if (s == nullptr) {
        return false;
    }
    StatementUse use{s};
    auto text = [s](int index, const char *field, size_t width) {
        std::string_view value = fieldText(field, width);
        sqlite3_bind_text(s, index, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
    };
    sqlite3_bind_int64(s, 1, queue.id);
    sqlite3_bind_int(s, 2, 0);
    sqlite3_bind_int(s, 3, md.Priority);
    sqlite3_bind_int(s, 4, md.Persistence);
    sqlite3_bind_blob(s, 5, md.MsgId, sizeof md.MsgId, SQLITE_STATIC);
    sqlite3_bind_blob(s, 6, md.CorrelId, sizeof md.CorrelId, SQLITE_STATIC);
    sqlite3_bind_int(s, 7, md.Report);
    sqlite3_bind_int(s, 8, md.MsgType);
    sqlite3_bind_int(s, 9, md.Expiry);
    if (md.Expiry == MQEI_UNLIMITED) {
        sqlite3_bind_null(s, 10);
    } else {
        sqlite3_bind_int64(s, 10, putAt + int64_t{md.Expiry} * 100);
    }
    sqlite3_bind_int(s, 11, md.Feedback);
    sqlite3_bind_int(s, 12, md.Encoding);
    sqlite3_bind_int(s, 13, md.CodedCharSetId);
    sqlite3_bind_blob(s, 14, md.Format, sizeof md.Format, SQLITE_STATIC);
    text(15, md.ReplyToQ, sizeof md.ReplyToQ);
    text(16, md.ReplyToQMgr, sizeof md.ReplyToQMgr);
    text(17, md.UserIdentifier, sizeof md.UserIdentifier);
    sqlite3_bind_int(s, 18, md.PutApplType);
    text(19, md.PutApplName, sizeof md.PutApplName);
    text(20, md.PutDate, sizeof md.PutDate);
    text(21, md.PutTime, sizeof md.PutTime);
    if (length > 0) {
        sqlite3_bind_blob(s, 26, data, length, SQLITE_STATIC);
    } else {
        sqlite3_bind_zeroblob(s, 26, 0);
    }
    if (sqlite3_step(s) != SQLITE_DONE) {
        return failOn(h, failure, MQRC_RESOURCE_PROBLEM, "cannot store the message");
    }
    if (sqlite3_changes(h.db) == 0) {
        failure = {MQRC_Q_DELETED,
                   "queue manager " + h.name + ": queue " + queue.name + " was deleted"};
        return false;
    }
    return true;
}

// Binds a get's selection: the queue and the identifiers the descriptor asks for.
void bindSelection(sqlite3_stmt *row, const QueueDefinition &queue, const MQMD &md) {
    sqlite3_bind_int64(row, 1, queue.id);
    if (!allZero(md.MsgId, sizeof md.MsgId)) {
        sqlite3_bind_blob(row, 2, md.MsgId, sizeof md.MsgId, SQLITE_STATIC);
    }
    if (!allZero(md.CorrelId, sizeof md.CorrelId)) {
        sqlite3_bind_blob(row, 3, md.CorrelId, sizeof md.CorrelId, SQLITE_STATIC);
    }
}

// True when a ready message matches the selection (expired ones included): a read that
// spares the writer a get that would find nothing.
bool anyReady(const Handle &h, const QueueDefinition &queue, const MQMD &md, Failure &failure) {
    sqlite3_stmt *row = preparedOn(h, FIRST_READY, failure);
    if (row == nullptr) {
        return true; // let the get itself report the failure
    }
    StatementUse use{row};
    bindSelection(row, queue, md);
    return sqlite3_step(row) != SQLITE_DONE;
}

// Finds the first message of a get or browse and, for a get, takes it (removed or held
// for the unit of work); expired messages met on the way are dropped. A get must run
// inside a write transaction.
bool findMessage(const Handle &h, const QueueDefinition &queue, const GetRequest &request, MQMD &md,
                 BrowseCursor &cursor, MQLONG &dataLength, bool &truncated, Failure &failure) {
    bool browsing = request.mode == GetMode::BrowseFirst || request.mode == GetMode::BrowseNext;
    sqlite3_stmt *row = preparedOn(h, browsing ? BROWSE : FIRST_READY, failure);
    if (row == nullptr) {
        return false;
    }
    int64_t now = nowMillis();
    for (;;) {
        StatementUse use{row};
        bindSelection(row, queue, md);
        if (browsing) {
            if (request.mode == GetMode::BrowseNext && cursor.valid) {
                sqlite3_bind_int64(row, 4, cursor.priority);
                sqlite3_bind_int64(row, 5, cursor.seq);
            }
            sqlite3_bind_int64(row, 6, now);
        }
        int rc = sqlite3_step(row);
        if (rc == SQLITE_DONE) {
            failure = {MQRC_NO_MSG_AVAILABLE, {}};
            return false;
        }
        if (rc != SQLITE_ROW) {
            return failOn(h, failure, MQRC_RESOURCE_PROBLEM, "cannot read a message");
        }
        int64_t seq = sqlite3_column_int64(row, C_SEQ);
        if (!browsing && sqlite3_column_type(row, C_EXPIRES_AT) != SQLITE_NULL &&
            sqlite3_column_int64(row, C_EXPIRES_AT) <= now) {
            // Expired: nobody may get it any more; drop it and look again.
            sqlite3_reset(row);
            sqlite3_stmt *remove = preparedOn(h, REMOVE, failure);
            if (remove == nullptr) {
                return false;
            }
            StatementUse removeUse{remove};
            sqlite3_bind_int64(remove, 1, seq);
            if (sqlite3_step(remove) != SQLITE_DONE) {
                return failOn(h, failure, MQRC_RESOURCE_PROBLEM,
                              "cannot remove an expired message");
            }
            continue;
        }
        int length = sqlite3_column_bytes(row, C_BODY);
        fillDescriptor(row, md, now);
        dataLength = length;
        truncated = length > request.bufferLength;
        if (truncated && !request.acceptTruncated) {
            failure = {MQRC_TRUNCATED_MSG_FAILED, {}};
            return false;
        }
        if (length > 0 && request.bufferLength > 0) {
            std::memcpy(request.buffer, sqlite3_column_blob(row, C_BODY),
                        static_cast<size_t>(std::min(length, request.bufferLength)));
        }
        if (browsing) {
            cursor = {true, sqlite3_column_int64(row, C_PRIORITY), seq};
            return true;
        }
        sqlite3_reset(row);
        sqlite3_stmt *change =
            preparedOn(h, request.mode == GetMode::Hold ? HOLD : REMOVE, failure);
        if (change == nullptr) {
            return false;
        }
        StatementUse changeUse{change};
        sqlite3_bind_int64(change, 1, seq);
        if (request.mode == GetMode::Hold) {
            const ProcessIdentity &self = thisProcess();
            sqlite3_bind_int64(change, 2, self.pid);
            sqlite3_bind_int64(change, 3, self.startTime);
            sqlite3_bind_text(change, 4, self.bootId.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_int64(change, 5, request.unitOfWork);
        }
        if (sqlite3_step(change) != SQLITE_DONE) {
            return failOn(h, failure, MQRC_RESOURCE_PROBLEM, "cannot take the message");
        }
        return true;
    }
}

// Runs a slot's statement over one unit of work, adding the rows it changed.
bool runForUnit(const Handle &h, int slot, int64_t unitOfWork, std::string_view what,
                int64_t &changed, Failure &failure) {
    sqlite3_stmt *statement = preparedOn(h, slot, failure);
    if (statement == nullptr) {
        return false;
    }
    StatementUse use{statement};
    sqlite3_bind_int64(statement, 1, unitOfWork);
    if (sqlite3_step(statement) != SQLITE_DONE) {
        return failOn(h, failure, MQRC_RESOURCE_PROBLEM, what);
    }
    changed += sqlite3_changes(h.db);
    return true;
}

// Returns what a unit got (backout count raised) and drops what it put under syncpoint
// (rows of that kind come only from files written before puts were kept until commit).
bool backOutUnit(const Handle &h, int64_t unitOfWork, int64_t &changed, Failure &failure) {
    for (int slot : {BACK_GOT, BACK_PUT}) {
        if (!runForUnit(h, slot, unitOfWork, "cannot back out", changed, failure)) {
            return false;
        }
    }
    return true;
}

} // namespace

// ---- the writer ----------------------------------------------------------------------

namespace {

// What the writers of all processes of one queue manager share, in the file NAME.qmgr-lock
// mapped into each of them (a new file's zeros are the starting state). Commits are
// numbered in the order they reach the log; a flush of the log covers every commit
// numbered before it began, so a writer whose commit another process's flush covered
// needs none of its own. The 32-bit counters are futex words that waiters sleep on.
struct SharedState {
    std::atomic<uint64_t> committed;   // the last number handed to a commit
    std::atomic<uint64_t> synced;      // every commit numbered up to this is durable
    std::atomic<uint64_t> syncingUpTo; // a flush that began covers commits up to this
    std::atomic<uint32_t> syncs;       // bumped when a flush ends
    std::atomic<uint32_t> syncWaiters;
    std::atomic<uint32_t> turns; // bumped when the turn lock is released
    std::atomic<uint32_t> turnWaiters;
    std::atomic<uint32_t> changes; // bumped after a commit that may have readied messages
    std::atomic<uint32_t> changeWaiters;
};
constexpr off_t SHARED_STATE_SIZE = 4096;
static_assert(sizeof(SharedState) <= SHARED_STATE_SIZE);
static_assert(std::atomic<uint64_t>::is_always_lock_free &&
              std::atomic<uint32_t>::is_always_lock_free);

// Sleeps while word holds expected, at most timeout; false when the time ran out.
bool futexWait(std::atomic<uint32_t> &word, uint32_t expected, std::chrono::microseconds timeout) {
    timespec ts{static_cast<time_t>(timeout.count() / 1000000),
                static_cast<long>(timeout.count() % 1000000) * 1000};
    long rc = ::syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT, expected, &ts,
                        nullptr, 0);
    return !(rc != 0 && errno == ETIMEDOUT);
}

void futexWakeAll(std::atomic<uint32_t> &word) {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE, INT32_MAX, nullptr,
              nullptr, 0);
}

void raiseTo(std::atomic<uint64_t> &value, uint64_t at_least) {
    uint64_t seen = value.load();
    while (seen < at_least && !value.compare_exchange_weak(seen, at_least)) {
    }
}

// A writer waits this long for another process's turn before its call fails with
// MQRC_Q_MGR_BUSY; TREVANE_MQ_LOCK_WAIT_MS changes it.
std::chrono::milliseconds turnWaitLimit() {
    if (const char *text = std::getenv("TREVANE_MQ_LOCK_WAIT_MS"); text != nullptr && *text != 0) {
        char *end = nullptr;
        long long ms = std::strtoll(text, &end, 10);
        if (*end == 0 && ms > 0) {
            return std::chrono::milliseconds(ms);
        }
    }
    return std::chrono::milliseconds(BUSY_TIMEOUT_MS);
}

// The processes holding a lock made with flock on the file open as fd, from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 1234 08:01:56789 0 EOF"); empty when none is found.
std::string flockHolders(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return {};
    }
    char file[64];
    std::snprintf(file, sizeof file, ":%llu ", static_cast<unsigned long long>(info.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line, holders;
    while (std::getline(locks, line)) {
        line += ' ';
        if (line.find(" FLOCK ") == std::string::npos || line.find("->") != std::string::npos ||
            line.find(file) == std::string::npos) {
            continue;
        }
        std::istringstream fields(line);
        std::string field, pid;
        for (int number = 1; fields >> field; ++number) {
            if (number == 5) {
                pid = field;
                break;
            }
        }
        if (!pid.empty()) {
            holders += holders.empty() ? pid : ", " + pid;
        }
    }
    return holders;
}

} // namespace

// The one connection of this process that changes a queue manager's file. Callers hand it
// work and wait. The first caller to find it idle leads: it runs all the work handed in
// so far in one transaction, each piece in a savepoint of its own so that one refusal
// does not undo the others, and commits once; work handed in meanwhile waits and is run
// by the next leader, one of its own callers. So a lone caller does its own work without
// handing it to another thread, and concurrent callers share one commit.
//
// Commits do not flush (synchronous=NORMAL): the writer's locks are held for the time the
// work takes, never for a flush. A call that must be durable on return (a put or get
// outside syncpoint, a commit) then waits until a flush of the log that began after its
// commit has ended: its own, or one that another thread or process made meanwhile (the
// log is written in order, so a flush covers every commit made before it). While one
// flush runs, the commits that come in wait for its end and then share the next one.
// Holds and back-outs do not wait for a flush at all: their changes are seen by every
// process at once, survive the death of any process, and the next flush makes them
// durable. A power loss before then loses only such marks: a held message is ready again
// with its backout count as it was. What a call stores is seen by other connections from
// its commit, shortly before its flush ends; a power loss in between loses it as it would
// a put whose call had not returned, and whatever another connection made of it in that
// time is lost with it (its own commit would have needed a later flush).
//
// Writers of several processes take turns at SQLite's writer lock through a lock on the
// file NAME.qmgr-lock: a writer waiting for it sleeps and is woken when it is released.
// A holder that does not release it in turnWaitLimit() (a stopped or hung process) fails
// the waiting call with MQRC_Q_MGR_BUSY, naming the holder. SQLite's lock stays the guard;
// its busy handler only serves writers that do not take the file lock (an administration
// command, another build).
//
// Automatic checkpoints are off (each costs two flushes on the path of the request that
// happens to trigger it): a thread of the writer checkpoints, with flushes, between two
// transactions once the log has grown by CHECKPOINT_FRAMES pages.
class Writer {
public:
    using Work = std::function<bool(const Handle &, Failure &)>;

    Writer(std::string name, std::string path) : name_(std::move(name)), path_(std::move(path)) {}
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    bool start(uint64_t device, uint64_t inode, Failure &failure);
    // Runs work in the writer's next transaction and returns once that has committed and,
    // when durable, is on disk. Work that may make messages ready (puts, commits, back-outs)
    // wakes the waiting gets of every process; gets need not.
    bool run(bool durable, Work work, Failure &failure, bool readies = true);
    // The count of commits that may have readied messages, for waitForChange; -1 without
    // the shared state.
    int64_t changes() const { return shared_ != nullptr ? shared_->changes.load() : -1; }
    // Sleeps until a commit after the one counted by changes() == seen, at most longest;
    // false when it cannot (no shared state).
    bool waitForChange(int64_t seen, std::chrono::milliseconds longest);

private:
    static constexpr int CHECKPOINT_FRAMES = 1000;
    // A flush by another thread or process is waited for this long at most before the
    // waiter flushes itself (its maker may be stopped or gone).
    static constexpr std::chrono::milliseconds LONGEST_FLUSH_WAIT{20};
    // A waiter for the turn lock looks again after this even without a wake-up (its holder
    // may have died without one).
    static constexpr std::chrono::milliseconds LONGEST_TURN_SLEEP{10};

    struct Job {
        Work work;
        bool durable = false;
        bool readies = true;
        bool done = false;
        bool ok = false;
        uint64_t number = 0; // of the commit, for the flush
        Failure failure;
    };

    Handle handle() { return {db_, statements_, name_, path_}; }
    void runBatch(const std::vector<Job *> &batch);
    bool lockFile(Failure &failure);
    void unlockFile();
    // Returns once commit number is durable (number 0: once a flush begun now has ended).
    bool makeDurable(uint64_t number, Failure &failure);
    bool flushLog(Failure &failure);
    void checkpoints();
    static int walHook(void *self, sqlite3 *, const char *, int frames);

    std::string name_;
    std::string path_;
    sqlite3 *db_ = nullptr;
    std::vector<sqlite3_stmt *> statements_;
    int lockFd_ = -1;
    SharedState *shared_ = nullptr;
    bool contended_ = false;
    pid_t pid_ = 0;
    std::mutex logMutex_; // guards the two below
    int logFd_ = -1;
    ino_t logInode_ = 0;
    std::vector<int> oldLogFds_;
    std::mutex mutex_; // guards everything below
    std::condition_variable changed_;
    std::deque<Job *> queue_;
    bool leading_ = false;
    int walFrames_ = 0;
    int framesAtCheckpoint_ = 0;
    bool checkpointDue_ = false;
    bool checkpointing_ = false;
    bool stopping_ = false;
    std::condition_variable checkpointWanted_;
    std::thread *checkpointer_ = nullptr;

public:
    // Counters for TREVANE_MQ_WRITER_STATS (a file the writer appends one line to at its end).
    struct Stats {
        uint64_t batches = 0, jobs = 0, durableJobs = 0;
        uint64_t turnWaits = 0, turnWaitUs = 0, lockedUs = 0, jobUs = 0;
        std::atomic<uint64_t> flushes{0}, flushWaits{0}, coveredByOthers{0}, flushUs{0};
    } stats_;
};

Writer::~Writer() {
    if (pid_ != ::getpid()) {
        return; // a forked child's copy: the thread and handle are its parent's
    }
    if (const char *statsPath = std::getenv("TREVANE_MQ_WRITER_STATS"); statsPath != nullptr) {
        if (FILE *out = std::fopen(statsPath, "a"); out != nullptr) {
            const Stats &t = stats_;
            std::fprintf(out,
                         "pid=%d batches=%llu jobs=%llu durable_jobs=%llu turn_waits=%llu"
                         " turn_wait_ms=%.1f locked_ms=%.1f job_ms=%.1f flushes=%llu"
                         " flush_ms=%.1f flush_waits=%llu covered_by_other_flush=%llu\n",
                         static_cast<int>(pid_), (unsigned long long)t.batches,
                         (unsigned long long)t.jobs, (unsigned long long)t.durableJobs,
                         (unsigned long long)t.turnWaits, t.turnWaitUs / 1000.0,
                         t.lockedUs / 1000.0, t.jobUs / 1000.0,
                         (unsigned long long)t.flushes.load(), t.flushUs.load() / 1000.0,
                         (unsigned long long)t.flushWaits.load(),
                         (unsigned long long)t.coveredByOthers.load());
            std::fclose(out);
        }
    }
    if (checkpointer_ != nullptr) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        checkpointWanted_.notify_all();
        checkpointer_->join();
        delete checkpointer_;
    }
    for (sqlite3_stmt *statement : statements_) {
        sqlite3_finalize(statement);
    }
    if (db_ != nullptr) {
        sqlite3_close_v2(db_); // the last connection to close checkpoints, with flushes
    }
    if (shared_ != nullptr) {
        ::munmap(shared_, SHARED_STATE_SIZE);
    }
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
    oldLogFds_.push_back(logFd_);
    for (int fd : oldLogFds_) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

// Called by SQLite after each commit of the writer's handle, the leader's mutex held.
int Writer::walHook(void *self, sqlite3 *, const char *, int frames) {
    auto *writer = static_cast<Writer *>(self);
    if (frames < writer->framesAtCheckpoint_) {
        writer->framesAtCheckpoint_ = 0; // the log started again from its beginning
    }
    writer->walFrames_ = frames;
    if (frames - writer->framesAtCheckpoint_ >= CHECKPOINT_FRAMES) {
        writer->framesAtCheckpoint_ = frames;
        writer->checkpointDue_ = true;
    }
    return SQLITE_OK;
}

bool Writer::start(uint64_t device, uint64_t inode, Failure &failure) {
    pid_ = ::getpid();
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        return failOn(handle(), failure, MQRC_RESOURCE_PROBLEM, "cannot open " + path_);
    }
    sqlite3_extended_result_codes(db_, 0);
    sqlite3_busy_handler(db_, waitForWriterLock, nullptr);
    int persistLog = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &persistLog);
    // NORMAL: a commit writes the log without flushing it (run flushes it after, outside
    // the locks); checkpoints and the log's restart still flush, so the file stays whole.
    if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
        return failOn(handle(), failure, MQRC_RESOURCE_PROBLEM, "cannot open " + path_);
    }
    sqlite3_wal_hook(db_, walHook, this); // replaces the automatic checkpoints
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0 || info.st_dev != device || info.st_ino != inode) {
        failure = {MQRC_CONNECTION_BROKEN, "queue manager " + name_ + " was deleted"};
        return false;
    }
    // Without the lock file (a read-only directory) writers still take turns, by polling,
    // and each flushes for itself.
    lockFd_ = ::open((path_ + LOCK_SUFFIX).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (lockFd_ >= 0 && ::fstat(lockFd_, &info) == 0 &&
        (info.st_size >= SHARED_STATE_SIZE || ::ftruncate(lockFd_, SHARED_STATE_SIZE) == 0)) {
        void *mapped =
            ::mmap(nullptr, SHARED_STATE_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, lockFd_, 0);
        if (mapped != MAP_FAILED) {
            shared_ = static_cast<SharedState *>(mapped);
        }
    }
    checkpointer_ = new std::thread([this] { checkpoints(); });
    return true;
}

bool Writer::run(bool durable, Work work, Failure &failure, bool readies) {
    Job job;
    job.work = std::move(work);
    job.durable = durable;
    job.readies = readies;
    auto began = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    queue_.push_back(&job);
    while (!job.done) {
        if (leading_) {
            changed_.wait(lock);
            continue;
        }
        leading_ = true;
        std::vector<Job *> batch(queue_.begin(), queue_.end());
        queue_.clear();
        lock.unlock();
        runBatch(batch);
        lock.lock();
        for (Job *done : batch) {
            done->done = true;
        }
        if (checkpointDue_) {
            // The checkpointing thread leads until it is done.
            checkpointDue_ = false;
            checkpointing_ = true;
            checkpointWanted_.notify_one();
        } else {
            leading_ = false;
        }
        changed_.notify_all();
    }
    lock.unlock();
    if (job.ok && job.durable && !makeDurable(job.number, job.failure)) {
        job.ok = false;
        job.failure.stored = true;
    }
    lock.lock();
    stats_.durableJobs += durable;
    stats_.jobUs += std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - began)
                        .count();
    if (!job.ok) {
        failure = std::move(job.failure);
    }
    return job.ok;
}

bool Writer::lockFile(Failure &failure) {
    contended_ = false;
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
        return true;
    }
    contended_ = true;
    auto began = std::chrono::steady_clock::now();
    auto limit = turnWaitLimit();
    for (;;) {
        uint32_t seen = shared_ != nullptr ? shared_->turns.load() : 0;
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
            break;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return true; // no lock to be had here (SQLite's lock still guards the file)
        }
        auto waited = std::chrono::steady_clock::now() - began;
        if (waited >= limit) {
            std::string holders = flockHolders(lockFd_);
            failure = {
                MQRC_Q_MGR_BUSY,
                "queue manager " + name_ + ": gave up waiting for the writer lock " + path_ +
                    LOCK_SUFFIX + " after " + std::to_string(limit.count()) +
                    " ms; it is held by " +
                    (holders.empty() ? std::string("another process") : "process " + holders) +
                    " (stopped or hung?)"};
            std::fprintf(stderr, "%s\n", failure.detail.c_str());
            return false;
        }
        auto sleep =
            std::min<std::chrono::steady_clock::duration>(limit - waited, LONGEST_TURN_SLEEP);
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(sleep);
        if (shared_ != nullptr) {
            ++shared_->turnWaiters;
            futexWait(shared_->turns, seen, us);
            --shared_->turnWaiters;
        } else {
            std::this_thread::sleep_for(std::min(us, std::chrono::microseconds(1000)));
        }
    }
    ++stats_.turnWaits;
    stats_.turnWaitUs += std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - began)
                             .count();
    return true;
}

void Writer::unlockFile() {
    if (lockFd_ < 0) {
        return;
    }
    ::flock(lockFd_, LOCK_UN);
    if (shared_ != nullptr) {
        ++shared_->turns;
        if (shared_->turnWaiters.load() > 0) {
            futexWakeAll(shared_->turns);
        }
    }
    if (contended_) {
        // Another process was waiting: let it run before this one asks again.
        std::this_thread::yield();
    }
}

void Writer::runBatch(const std::vector<Job *> &batch) {
    Failure failure;
    auto failAll = [&](std::string_view what) {
        if (!what.empty()) {
            failOn(handle(), failure, MQRC_RESOURCE_PROBLEM, what);
        }
        for (Job *job : batch) {
            if (job->ok || job->failure.reason == MQRC_NONE) {
                job->ok = false;
                job->failure = failure;
            }
        }
    };
    if (!lockFile(failure)) {
        return failAll({});
    }
    auto locked = std::chrono::steady_clock::now();
    ++stats_.batches;
    stats_.jobs += batch.size();
    bool committed = false;
    {
        WriteTransaction transaction(db_);
        if (transaction.begin() != SQLITE_OK) {
            failAll("cannot start a transaction");
        } else {
            for (Job *job : batch) {
                sqlite3_exec(db_, "SAVEPOINT work", nullptr, nullptr, nullptr);
                job->ok = job->work(handle(), job->failure);
                if (!job->ok) {
                    sqlite3_exec(db_, "ROLLBACK TO work", nullptr, nullptr, nullptr);
                }
                sqlite3_exec(db_, "RELEASE work", nullptr, nullptr, nullptr);
            }
            std::lock_guard lock(mutex_); // for the log hook
            if (transaction.commit() != SQLITE_OK) {
                failAll("cannot commit");
            } else {
                committed = true;
            }
        }
    }
    // Numbered once its pages are in the log: a flush that begins after this covers it.
    uint64_t number = committed && shared_ != nullptr ? ++shared_->committed : 0;
    for (Job *job : batch) {
        job->number = number;
    }
    stats_.lockedUs += std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - locked)
                           .count();
    unlockFile();
    if (committed && shared_ != nullptr &&
        std::any_of(batch.begin(), batch.end(), [](Job *job) { return job->readies; })) {
        ++shared_->changes;
        if (shared_->changeWaiters.load() > 0) {
            futexWakeAll(shared_->changes);
        }
    }
}

bool Writer::makeDurable(uint64_t number, Failure &failure) {
    if (shared_ == nullptr || number == 0) {
        return flushLog(failure);
    }
    SharedState &state = *shared_;
    bool waitedOnce = false;
    auto began = std::chrono::steady_clock::now();
    for (;;) {
        uint32_t seen = state.syncs.load();
        uint64_t synced = state.synced.load();
        if (synced >= number) {
            ++stats_.coveredByOthers;
            return true;
        }
        uint64_t running = state.syncingUpTo.load();
        auto left = LONGEST_FLUSH_WAIT - (std::chrono::steady_clock::now() - began);
        if (left > left.zero() && running > synced && (running >= number || !waitedOnce)) {
            // A flush is running: wait for its end. It may cover this commit; if not, the
            // next flush covers all that was committed while this one ran.
            ++stats_.flushWaits;
            ++state.syncWaiters;
            futexWait(state.syncs, seen,
                      std::chrono::duration_cast<std::chrono::microseconds>(left));
            --state.syncWaiters;
            waitedOnce = true;
            continue;
        }
        uint64_t upTo = state.committed.load();
        raiseTo(state.syncingUpTo, upTo);
        if (!flushLog(failure)) {
            return false;
        }
        raiseTo(state.synced, upTo);
        ++state.syncs;
        if (state.syncWaiters.load() > 0) {
            futexWakeAll(state.syncs);
        }
        return true;
    }
}

bool Writer::flushLog(Failure &failure) {
    std::string logPath = path_ + "-wal";
    int fd;
    {
        std::lock_guard lock(logMutex_);
        struct stat info {};
        if (logFd_ < 0 || ::stat(logPath.c_str(), &info) != 0 || info.st_ino != logInode_) {
            // First use, or SQLite made a new log: flush the directory too, which holds its
            // name. Older descriptors stay open while another thread may use them.
            int opened = ::open(logPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (opened < 0 || ::fstat(opened, &info) != 0) {
                failure = {MQRC_RESOURCE_PROBLEM, "queue manager " + name_ +
                                                      ": cannot open its log " + logPath + ": " +
                                                      std::strerror(errno)};
                if (opened >= 0) {
                    ::close(opened);
                }
                return false;
            }
            std::string directory = path_.substr(0, path_.rfind('/') + 1);
            if (int dir = ::open(directory.empty() ? "." : directory.c_str(),
                                 O_RDONLY | O_DIRECTORY | O_CLOEXEC);
                dir >= 0) {
                ::fsync(dir);
                ::close(dir);
            }
            oldLogFds_.push_back(logFd_);
            logFd_ = opened;
            logInode_ = info.st_ino;
        }
        fd = logFd_;
    }
    auto began = std::chrono::steady_clock::now();
    if (::fdatasync(fd) != 0) {
        failure = {MQRC_RESOURCE_PROBLEM,
                   "queue manager " + name_ + ": cannot flush its log " + logPath + ": " +
                       std::strerror(errno) +
                       " (the change is stored but may not survive a power loss)"};
        return false;
    }
    ++stats_.flushes;
    stats_.flushUs += std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - began)
                          .count();
    return true;
}

bool Writer::waitForChange(int64_t seen, std::chrono::milliseconds longest) {
    if (shared_ == nullptr || seen < 0) {
        return false;
    }
    ++shared_->changeWaiters;
    futexWait(shared_->changes, static_cast<uint32_t>(seen),
              std::chrono::duration_cast<std::chrono::microseconds>(longest));
    --shared_->changeWaiters;
    return true;
}

// The checkpointing thread: once the log has grown, copies it into the database between
// two of the writer's transactions (flushing the log first, then the database), so that
// the next transaction finds it all copied and starts the log again from its beginning.
// The caller whose transaction came last has returned already; work handed in meanwhile
// waits, as it would for another process's commit.
void Writer::checkpoints() {
    std::unique_lock lock(mutex_);
    for (;;) {
        checkpointWanted_.wait(lock, [&] { return stopping_ || checkpointing_; });
        if (stopping_ && !checkpointing_) {
            return;
        }
        lock.unlock();
        int logFrames = 0, copied = 0;
        sqlite3_wal_checkpoint_v2(db_, "main", SQLITE_CHECKPOINT_PASSIVE, &logFrames, &copied);
        lock.lock();
        checkpointing_ = false;
        leading_ = false;
        changed_.notify_all();
    }
}

namespace {

// The running writer of this process for a queue manager file, started when first needed.
std::shared_ptr<Writer> sharedWriter(const std::string &name, const std::string &path,
                                     uint64_t device, uint64_t inode, Failure &failure) {
    static auto *mutex = new std::mutex;
    static auto *writers = new std::map<std::string, std::weak_ptr<Writer>>;
    std::string key =
        std::to_string(::getpid()) + ':' + std::to_string(device) + ':' + std::to_string(inode);
    std::lock_guard lock(*mutex);
    if (std::shared_ptr<Writer> running = (*writers)[key].lock()) {
        return running;
    }
    std::erase_if(*writers, [](const auto &entry) { return entry.second.expired(); });
    auto writer = std::make_shared<Writer>(name, path);
    if (!writer->start(device, inode, failure)) {
        return nullptr;
    }
    (*writers)[key] = writer;
    return writer;
}

} // namespace

Writer *SqliteStore::writer(Failure &failure) {
    if (writer_ == nullptr) {
        writer_ = sharedWriter(name_, path_, device_, inode_, failure);
        if (writer_ == nullptr && !stillPresent()) {
            // As for a queue of it: nothing is put into what is gone.
            failure = {MQRC_Q_DELETED, "queue manager " + name_ + " was deleted"};
        }
    }
    return writer_.get();
}

int64_t SqliteStore::dataVersion(Failure &failure) {
    // Counted before reading, so that a commit after this read wakes waitForChange.
    if (Failure ignored; writer(ignored) != nullptr) {
        changesSeen_ = writer_->changes();
    }
    sqlite3_stmt *statement = prepared(DATA_VERSION, failure);
    if (statement == nullptr) {
        return -1;
    }
    StatementUse use{statement};
    if (sqlite3_step(statement) != SQLITE_ROW) {
        fail(failure, MQRC_RESOURCE_PROBLEM, "cannot read the data version");
        return -1;
    }
    return sqlite3_column_int64(statement, 0);
}

void SqliteStore::waitForChange(std::chrono::milliseconds longest) {
    if (writer_ == nullptr || !writer_->waitForChange(changesSeen_, longest)) {
        std::this_thread::sleep_for(longest);
    }
}

// ---- messages ------------------------------------------------------------------------

bool SqliteStore::put(const QueueDefinition &queue, const MQMD &md, const void *data, MQLONG length,
                      Failure &failure) {
    Writer *w = writer(failure);
    if (w == nullptr) {
        return false;
    }
    int64_t putAt = nowMillis();
    return w->run(
        true,
        [&](const Handle &h, Failure &f) {
            return insertMessage(h, queue, md, data, length, putAt, f);
        },
        failure);
}

bool SqliteStore::get(const QueueDefinition &queue, const GetRequest &request, MQMD &md,
                      BrowseCursor &cursor, MQLONG &dataLength, bool &truncated, Failure &failure) {
    Handle own{db_, statements_, name_, path_};
    if (request.mode == GetMode::BrowseFirst || request.mode == GetMode::BrowseNext) {
        return findMessage(own, queue, request, md, cursor, dataLength, truncated, failure);
    }
    if (!anyReady(own, queue, md, failure)) {
        failure = {MQRC_NO_MSG_AVAILABLE, {}};
        return false;
    }
    Writer *w = writer(failure);
    if (w == nullptr) {
        return false;
    }
    // A hold needs no flush (see Writer); a get outside syncpoint is durable on return.
    return w->run(
        request.mode == GetMode::Remove,
        [&](const Handle &h, Failure &f) {
            return findMessage(h, queue, request, md, cursor, dataLength, truncated, f);
        },
        failure, false);
}

bool SqliteStore::commit(int64_t unitOfWork, const std::vector<PendingPut> &puts,
                         Failure &failure) {
    Writer *w = writer(failure);
    if (w == nullptr) {
        return false;
    }
    return w->run(
        true,
        [&](const Handle &h, Failure &f) {
            for (const PendingPut &put : puts) {
                if (!insertMessage(h, put.queue, put.md, put.body.data(),
                                   static_cast<MQLONG>(put.body.size()), put.putAt, f)) {
                    return false;
                }
            }
            int64_t changed = 0;
            return runForUnit(h, COMMIT_GOT, unitOfWork, "cannot commit", changed, f) &&
                   runForUnit(h, COMMIT_PUT, unitOfWork, "cannot commit", changed, f);
        },
        failure);
}

bool SqliteStore::backOut(int64_t unitOfWork, Failure &failure) {
    Writer *w = writer(failure);
    if (w == nullptr) {
        return false;
    }
    return w->run(
        false,
        [&](const Handle &h, Failure &f) {
            int64_t changed = 0;
            return backOutUnit(h, unitOfWork, changed, f);
        },
        failure);
}

int64_t SqliteStore::recoverAbandoned(Failure &failure) {
    // Read the holders without a write lock: in the usual case every holder is alive and
    // nothing needs writing.
    std::vector<int64_t> abandoned;
    {
        sqlite3_stmt *statement = prepared(HOLDERS, failure);
        if (statement == nullptr) {
            return -1;
        }
        StatementUse use{statement};
        const ProcessIdentity &self = thisProcess();
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            int64_t unit = sqlite3_column_int64(statement, 0);
            ProcessIdentity holder{sqlite3_column_int64(statement, 1),
                                   sqlite3_column_int64(statement, 2),
                                   std::string(columnText(statement, 3))};
            bool mine = holder.pid == self.pid && holder.startTime == self.startTime &&
                        holder.bootId == self.bootId;
            bool alive = mine ? ownUnitIsLive(unit) : processIsAlive(holder);
            if (!alive) {
                abandoned.push_back(unit);
            }
        }
        if (rc != SQLITE_DONE) {
            fail(failure, MQRC_RESOURCE_PROBLEM, "cannot read the units of work");
            return -1;
        }
    }
    if (abandoned.empty()) {
        return 0;
    }
    Writer *w = writer(failure);
    if (w == nullptr) {
        return -1;
    }
    // Backing out a dead unit is idempotent: a second recoverer finds its rows released.
    int64_t changed = 0;
    bool ok = w->run(
        false,
        [&](const Handle &h, Failure &f) {
            changed = 0;
            for (int64_t unit : abandoned) {
                if (!backOutUnit(h, unit, changed, f)) {
                    return false;
                }
            }
            return true;
        },
        failure);
    return ok ? changed : -1;
}

bool SqliteStore::fail(Failure &failure, MQLONG reason, std::string_view what) {
    return failOn(Handle{db_, statements_, name_, path_}, failure, reason, what);
}

sqlite3_stmt *SqliteStore::prepared(int slot, Failure &failure) {
    return preparedOn(Handle{db_, statements_, name_, path_}, slot, failure);
}

// ---- administration ------------------------------------------------------------------

bool SqliteStore::defineQueue(std::string_view queueName, const mqQueueAttributes_t &attributes,
                              Failure &failure) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db_,
                           "INSERT INTO queues(name, default_priority, default_persistence,"
                           " max_msg_length, created) VALUES (?1, ?2, ?3, ?4, ?5)",
                           -1, &statement, nullptr) != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot define a queue");
    }
    std::string created = isoTimeNow();
    sqlite3_bind_text(statement, 1, queueName.data(), static_cast<int>(queueName.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int(statement, 2, attributes.defaultPriority);
    sqlite3_bind_int(statement, 3, attributes.defaultPersistence);
    sqlite3_bind_int(statement, 4, attributes.maxMsgLength);
    sqlite3_bind_text(statement, 5, created.c_str(), -1, SQLITE_STATIC);
    int rc = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (rc == SQLITE_CONSTRAINT) {
        failure = {MQRC_OBJECT_ALREADY_EXISTS,
                   "queue " + std::string(queueName) + " already exists on " + name_};
        return false;
    }
    if (rc != SQLITE_DONE) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot define a queue");
    }
    return true;
}

namespace {

// Counts held and ready messages, of one queue (queueId > 0) or of all.
bool countMessages(sqlite3 *db, int64_t queueId, int64_t &held, int64_t &ready) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT count(*) FILTER (WHERE holder_uow IS NOT NULL),"
                           " count(*) FILTER (WHERE holder_uow IS NULL) FROM messages"
                           " WHERE ?1 = 0 OR queue_id = ?1",
                           -1, &statement, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_bind_int64(statement, 1, queueId);
    bool ok = sqlite3_step(statement) == SQLITE_ROW;
    if (ok) {
        held = sqlite3_column_int64(statement, 0);
        ready = sqlite3_column_int64(statement, 1);
    }
    sqlite3_finalize(statement);
    return ok;
}

} // namespace

bool SqliteStore::deleteQueue(std::string_view queueName, bool purge, Failure &failure) {
    if (recoverAbandoned(failure) < 0) {
        return false;
    }
    WriteTransaction transaction(db_);
    if (transaction.begin() != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot delete a queue");
    }
    QueueDefinition queue;
    if (!findQueue(queueName, queue, failure)) {
        return false;
    }
    int64_t held = 0, ready = 0;
    if (!countMessages(db_, queue.id, held, ready)) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot count messages");
    }
    if (held > 0) {
        failure = {MQRC_OBJECT_IN_USE, "queue " + queue.name + " on " + name_ + " has " +
                                           std::to_string(held) +
                                           " messages in units of work of running processes"};
        return false;
    }
    if (ready > 0 && !purge) {
        failure = {MQRC_OBJECT_IN_USE, "queue " + queue.name + " on " + name_ + " holds " +
                                           std::to_string(ready) +
                                           " messages (purge them to delete it)"};
        return false;
    }
    std::string id = std::to_string(queue.id);
    std::string sql = "DELETE FROM messages WHERE queue_id = " + id +
                      "; DELETE FROM queues WHERE id = " + id + ";";
    if (!exec(sql.c_str(), failure)) {
        return false;
    }
    if (transaction.commit() != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot delete a queue");
    }
    return true;
}

bool SqliteStore::listQueues(std::vector<mqQueueInfo_t> &queues, Failure &failure) {
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(
            db_,
            "SELECT q.name, q.default_priority, q.default_persistence, q.max_msg_length,"
            " (SELECT count(*) FROM messages m WHERE m.queue_id = q.id AND m.state = 0"
            "  AND (m.expires_at IS NULL OR m.expires_at > ?1)),"
            " (SELECT count(*) FROM messages m WHERE m.queue_id = q.id"
            "  AND m.holder_uow IS NOT NULL)"
            " FROM queues q ORDER BY q.name",
            -1, &statement, nullptr) != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot list queues");
    }
    sqlite3_bind_int64(statement, 1, nowMillis());
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        mqQueueInfo_t info{};
        std::string_view queueName = columnText(statement, 0);
        std::snprintf(info.name, sizeof info.name, "%.*s", static_cast<int>(queueName.size()),
                      queueName.data());
        info.attributes.defaultPriority = sqlite3_column_int(statement, 1);
        info.attributes.defaultPersistence = sqlite3_column_int(statement, 2);
        info.attributes.maxMsgLength = sqlite3_column_int(statement, 3);
        info.depth = sqlite3_column_int(statement, 4);
        info.uncommitted = sqlite3_column_int(statement, 5);
        queues.push_back(info);
    }
    sqlite3_finalize(statement);
    if (rc != SQLITE_DONE) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot list queues");
    }
    return true;
}

bool SqliteStore::markDeleted(bool force, Failure &failure) {
    if (recoverAbandoned(failure) < 0) {
        return false;
    }
    WriteTransaction transaction(db_);
    if (transaction.begin() != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot delete");
    }
    int64_t held = 0, ready = 0;
    if (!countMessages(db_, 0, held, ready)) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot count messages");
    }
    if (held > 0) {
        failure = {MQRC_OBJECT_IN_USE, "queue manager " + name_ + " has " + std::to_string(held) +
                                           " messages in units of work of running processes"};
        return false;
    }
    if (ready > 0 && !force) {
        failure = {MQRC_OBJECT_IN_USE, "queue manager " + name_ + " holds " +
                                           std::to_string(ready) +
                                           " messages (force the deletion to discard them)"};
        return false;
    }
    std::string sql = "DELETE FROM messages; DELETE FROM queues;"
                      " INSERT INTO meta VALUES ('deleted', '" +
                      isoTimeNow() + "');";
    if (!exec(sql.c_str(), failure)) {
        return false;
    }
    if (transaction.commit() != SQLITE_OK) {
        return fail(failure, MQRC_RESOURCE_PROBLEM, "cannot delete");
    }
    return true;
}

} // namespace trevane::mq
