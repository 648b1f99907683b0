// A queue manager in a PostgreSQL database: its schema, and the statements that put, get,
// browse, commit and back out messages (see pgstore.h).
//
// Each PgStore has two server connections: one whose statements commit at once (puts and
// gets outside syncpoint, administration) and one for the unit of work, whose transaction
// begins at its first get under syncpoint and ends at MQCMIT or MQBACK. A get locks its
// row with FOR UPDATE SKIP LOCKED inside a savepoint, so a message it cannot take (too
// long for the buffer) is released at once. The statements of one call go to the server
// in one round trip (a pipeline), and those with parameters are prepared on each
// connection at their first use.
//
// Notifications. Every change that makes a message ready notifies its queue's channel; the
// process's listener (pglistener.h) wakes getters waiting on that queue, and dataVersion
// counts the times this store's getter was woken. The notification goes in a transaction
// of its own, after the change has committed, and that transaction waits for no flush:
// the server holds a lock of the whole database from a notifying transaction's commit
// until its flush is done, so a notification inside the change's synced commit would make
// every put wait for the flush of the one before instead of sharing a flush with the
// commits of other connections. Both go to the server in one round trip.
//
// Backout counts. A message got under syncpoint is deleted in the unit's transaction, so a
// unit that ends without committing (MQBACK, MQDISC, its connection broken, its process
// dead) gives the row back exactly as it was. What raises its backout count is a row of
// trevane_backout naming the message, inserted on the other connection as the get takes the
// message, in a transaction of its own committed without waiting for the flush
// (synchronous_commit off: visible at once to every connection, durable with the next
// flush of anyone's commit). The count a get reports is the row's backout_count plus its
// rows in trevane_backout; MQCMIT deletes them together with the message, in the one
// synced commit of the unit. So a back-out needs no statement of its own and cannot race
// another getter, a holder's death raises the count like a back-out, and only a server
// that loses power within a fraction of a second of such a get may forget the raise.
#include "messaging/pgstore.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <endian.h>
#include <iterator>
#include <optional>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace trevane::mq {

namespace {

const char *const SCHEMA_SQL[] = {
    "CREATE TABLE trevane_schema (version integer NOT NULL)",
    "CREATE TABLE trevane_qm (id bigserial PRIMARY KEY, name text NOT NULL UNIQUE)",
    "CREATE TABLE trevane_queue (id bigserial PRIMARY KEY,"
    " qm_id bigint NOT NULL REFERENCES trevane_qm ON DELETE CASCADE, name text NOT NULL,"
    " default_priority integer NOT NULL, default_persistence integer NOT NULL,"
    " max_length integer NOT NULL, UNIQUE (qm_id, name))",
    "CREATE TABLE trevane_message (seq bigserial PRIMARY KEY,"
    " queue_id bigint NOT NULL REFERENCES trevane_queue ON DELETE CASCADE,"
    " priority integer NOT NULL, msg_id bytea NOT NULL, correl_id bytea NOT NULL,"
    " expires_at bigint, backout_count integer NOT NULL DEFAULT 0, md bytea NOT NULL,"
    " body bytea NOT NULL)",
    "CREATE INDEX trevane_message_order ON trevane_message (queue_id, priority DESC, seq)",
    // Version 2: one row per get under syncpoint whose unit has not committed (below).
    ("CREATE TABLE trevane_backout (seq bigint NOT NULL,"
     " queue_id bigint NOT NULL REFERENCES trevane_queue ON DELETE CASCADE)"),
    "CREATE INDEX trevane_backout_seq ON trevane_backout (seq)",
};
// The statements of SCHEMA_SQL that a database of version 1 lacks.
constexpr size_t SCHEMA_V1_STATEMENTS = 5;

int64_t nowMillis() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool allZero(const MQBYTE *bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](MQBYTE b) { return b == 0; });
}

} // namespace

namespace pgsql {

// One parameter of a statement: text, or binary bytes (bytea), or null.
struct Param {
    std::optional<std::string> value;
    bool binary = false;
};

struct Result {
    PGresult *result = nullptr;
    Result() = default;
    explicit Result(PGresult *r) : result(r) {}
    Result(Result &&other) noexcept : result(std::exchange(other.result, nullptr)) {}
    Result &operator=(Result &&other) noexcept {
        std::swap(result, other.result);
        return *this;
    }
    ~Result() { PQclear(result); }
    bool ok() const {
        ExecStatusType status = PQresultStatus(result);
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }
    int rows() const { return PQntuples(result); }
    bool isNull(int row, int column) const { return PQgetisnull(result, row, column) != 0; }
    // Binary-format columns.
    int64_t int8(int row, int column) const {
        uint64_t v;
        std::memcpy(&v, PQgetvalue(result, row, column), sizeof v);
        return static_cast<int64_t>(be64toh(v));
    }
    int32_t int4(int row, int column) const {
        uint32_t v;
        std::memcpy(&v, PQgetvalue(result, row, column), sizeof v);
        return static_cast<int32_t>(be32toh(v));
    }
    std::string_view raw(int row, int column) const {
        return {PQgetvalue(result, row, column),
                static_cast<size_t>(PQgetlength(result, row, column))};
    }
    std::string sqlState() const {
        const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        return state != nullptr ? state : "";
    }
};

// One statement of a pipeline: its parameters, and whether a sync follows it (which
// commits the statements before it unless they are inside BEGIN ... COMMIT).
struct Step {
    std::string sql;
    std::vector<Param> params;
    bool sync = false;
};

} // namespace pgsql

using pgsql::Param;
using pgsql::Result;
using pgsql::Step;

namespace {

Param text(std::string value) {
    return {std::move(value), false};
}
Param number(int64_t value) {
    return {std::to_string(value), false};
}
Param bytes(const void *data, size_t length) {
    return {std::string(static_cast<const char *>(data), length), true};
}
Param null() {
    return {};
}

// The parameters of a statement as libpq takes them.
struct Bound {
    std::vector<const char *> values;
    std::vector<int> lengths;
    std::vector<int> formats;
    explicit Bound(const std::vector<Param> &params) {
        for (const Param &p : params) {
            values.push_back(p.value ? p.value->data() : nullptr);
            lengths.push_back(p.value ? static_cast<int>(p.value->size()) : 0);
            formats.push_back(p.binary ? 1 : 0);
        }
    }
    int count() const { return static_cast<int>(values.size()); }
};

// Runs one statement; results come in binary format.
Result run(pg_conn *connection, const char *sql, const std::vector<Param> &params = {}) {
    Bound bound(params);
    return Result(PQexecParams(connection, sql, bound.count(), nullptr, bound.values.data(),
                               bound.lengths.data(), bound.formats.data(), 1));
}

std::string channelOf(int64_t queueId) {
    return "trevane_q_" + std::to_string(queueId);
}

// A list of numbers or names as an array parameter: {1,2,3}.
template <typename T, typename Text> Param array(const std::vector<T> &items, Text textOf) {
    std::string value = "{";
    for (size_t i = 0; i < items.size(); ++i) {
        value += (i > 0 ? "," : "") + textOf(items[i]);
    }
    return text(value + "}");
}

// A notification for a queue: of one message put, or of messages made ready again.
struct Notice {
    int64_t queueId;
    bool put;
};

// One statement, a transaction of its own, that sends the notifications and commits
// without waiting for a flush (see the top of this file). A put's notification has a text,
// and wakes one getter of a process that takes any message (see pglistener.h); the text is
// its place in the statement, since the server sends the notifications of one transaction
// that are alike only once. Messages made ready again have none, and wake every getter.
Step notifyStep(const std::vector<Notice> &notices) {
    std::vector<std::string> texts;
    for (const Notice &n : notices) {
        texts.push_back(n.put ? std::to_string(texts.size() + 1) : "\"\"");
    }
    return {"SELECT set_config('synchronous_commit', 'off', true), pg_notify(channel, text)"
            " FROM unnest($1::text[], $2::text[]) notice (channel, text)",
            {array(notices, [](const Notice &n) { return channelOf(n.queueId); }),
             array(texts, [](const std::string &t) { return t; })},
            true};
}

// Sends the statements in one round trip (a pipeline) and answers the result of each, in
// order. After one that fails, those up to the next sync are not run (their results say
// PGRES_PIPELINE_ABORTED); a broken connection answers failures for the rest. Statements
// with parameters are prepared on the connection at their first use (prepared: the names
// of those prepared so far), so that the server parses and plans each of them once.
std::vector<Result> runPipeline(pg_conn *connection, const std::vector<Step> &steps,
                                std::map<std::string, std::string> &prepared) {
    static std::atomic<uint64_t> lastName{0};
    std::vector<Result> results;
    // What each result answers, in order: a step, or the preparation of this text.
    std::vector<const std::string *> preparing;
    int syncs = 0;
    if (PQenterPipelineMode(connection) != 0) {
        for (size_t i = 0; i < steps.size(); ++i) {
            const Step &step = steps[i];
            Bound bound(step.params);
            int sent = 0;
            if (step.params.empty()) {
                sent = PQsendQueryParams(connection, step.sql.c_str(), 0, nullptr, nullptr, nullptr,
                                         nullptr, 1);
            } else {
                auto [name, fresh] = prepared.try_emplace(step.sql);
                if (fresh) {
                    name->second = "trevane_" + std::to_string(++lastName);
                    preparing.push_back(&name->first);
                    if (PQsendPrepare(connection, name->second.c_str(), step.sql.c_str(),
                                      bound.count(), nullptr) == 0) {
                        break;
                    }
                }
                sent = PQsendQueryPrepared(connection, name->second.c_str(), bound.count(),
                                           bound.values.data(), bound.lengths.data(),
                                           bound.formats.data(), 1);
            }
            if (sent == 0) {
                break;
            }
            preparing.push_back(nullptr);
            if (step.sync || i + 1 == steps.size()) {
                if (PQpipelineSync(connection) == 0) {
                    break;
                }
                ++syncs;
            }
        }
        // Each statement's result is followed by a null, each sync answers with a result
        // of its own, and two nulls in a row mean nothing more is coming.
        bool idle = false;
        size_t answered = 0;
        while (syncs > 0) {
            PGresult *r = PQgetResult(connection);
            if (r == nullptr) {
                if (idle || PQstatus(connection) == CONNECTION_BAD) {
                    break;
                }
                idle = true;
                continue;
            }
            idle = false;
            if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
                --syncs;
                PQclear(r);
                continue;
            }
            const std::string *text = answered < preparing.size() ? preparing[answered] : nullptr;
            ++answered;
            if (text == nullptr) {
                results.emplace_back(r);
                continue;
            }
            if (PQresultStatus(r) != PGRES_COMMAND_OK) {
                prepared.erase(*text);
            }
            PQclear(r);
        }
        PQexitPipelineMode(connection);
        // Preparations never answered may not have happened.
        for (size_t k = answered; k < preparing.size(); ++k) {
            if (preparing[k] != nullptr) {
                prepared.erase(*preparing[k]);
            }
        }
    }
    while (results.size() < steps.size()) {
        results.emplace_back(PQmakeEmptyPGresult(connection, PGRES_FATAL_ERROR));
    }
    return results;
}

// Runs one statement in a transaction of its own, committed with a flush, then notifies the
// queue's channel in a transaction that waits for none; both in one round trip. The
// statement's result.
Result runThenNotify(pg_conn *connection, std::map<std::string, std::string> &prepared,
                     const char *sql, std::vector<Param> params, int64_t queueId) {
    std::vector<Step> steps{{sql, std::move(params), true}, notifyStep({{queueId, true}})};
    return std::move(runPipeline(connection, steps, prepared).front());
}

// The server a connection text names, for messages: host (or socket directory) and port.
std::string serverOf(pg_conn *connection, const std::string &conninfo) {
    const char *host = connection != nullptr ? PQhost(connection) : nullptr;
    const char *port = connection != nullptr ? PQport(connection) : nullptr;
    if (host != nullptr && *host != '\0') {
        return std::string(host) + ":" + (port != nullptr ? port : "");
    }
    return "'" + conninfo + "'";
}

std::string firstLine(const char *message) {
    std::string text = message != nullptr ? message : "";
    text = text.substr(0, text.find('\n'));
    return text;
}

// Fails with the server's explanation; a broken connection is MQRC_CONNECTION_LOST, any
// other failure of the server MQRC_RESOURCE_PROBLEM.
bool failed(pg_conn *connection, const std::string &qmgr, const std::string &conninfo,
            std::string_view what, Failure &failure, const PGresult *result = nullptr) {
    const char *message = result != nullptr ? PQresultErrorMessage(result) : "";
    if (*message == '\0') {
        message = PQerrorMessage(connection);
    }
    if (PQstatus(connection) == CONNECTION_BAD) {
        failure = {MQRC_CONNECTION_LOST,
                   "queue manager " + qmgr + ": lost the connection to the PostgreSQL server " +
                       serverOf(connection, conninfo) + " while trying to " + std::string(what) +
                       " (its unit of work, if any, was rolled back): " + firstLine(message)};
    } else {
        failure = {MQRC_RESOURCE_PROBLEM, "queue manager " + qmgr + ": cannot " +
                                              std::string(what) + ": " + firstLine(message)};
    }
    return false;
}

constexpr const char *MESSAGE_COLUMNS =
    "seq, priority, expires_at, (backout_count + (SELECT count(*) FROM trevane_backout b"
    " WHERE b.seq = trevane_message.seq))::integer, md, body";
enum { C_SEQ, C_PRIORITY, C_EXPIRES_AT, C_BACKOUT, C_MD, C_BODY };

// The descriptor of a message row as a get returns it.
void fillDescriptor(const Result &r, MQMD &md, int64_t now) {
    std::string_view stored = r.raw(0, C_MD);
    std::memcpy(&md, stored.data(), std::min(stored.size(), sizeof md));
    md.BackoutCount = r.int4(0, C_BACKOUT);
    if (r.isNull(0, C_EXPIRES_AT)) {
        md.Expiry = MQEI_UNLIMITED;
    } else {
        int64_t left = (r.int8(0, C_EXPIRES_AT) - now + 99) / 100;
        md.Expiry = static_cast<MQLONG>(std::clamp<int64_t>(left, 1, INT32_MAX));
    }
}

} // namespace

PgStore::~PgStore() {
    close();
}

void PgStore::close() {
    for (pg_conn **connection : {&unit_, &auto_}) {
        if (*connection != nullptr) {
            PQfinish(*connection);
            *connection = nullptr;
        }
    }
    forgetUnit();
    lostUnit_ = false;
    waiter_.reset();
}

bool PgStore::connect(pg_conn *&connection, Failure &failure) {
    connection = connectToServer(conninfo_);
    if (PQstatus(connection) != CONNECTION_OK) {
        failure = {MQRC_Q_MGR_UNREACHABLE, "queue manager " + name_ +
                                               ": cannot reach its PostgreSQL server " +
                                               serverOf(connection, conninfo_) + ": " +
                                               firstLine(PQerrorMessage(connection))};
        PQfinish(connection);
        connection = nullptr;
        return false;
    }
    // A statement never waits for long on a lock another connection holds. A prepared
    // statement keeps one plan, made for any queue and selection. Tables of messages are
    // nearly empty but full of rows just deleted, so their statistics favour reading a
    // whole table, or all the index entries of a queue and sorting them, over walking the
    // index in delivery order: only the walk stops at the first message, and only it marks
    // the deleted rows it passes so that the next one skips them. Every statement here has
    // an index to walk. (The few that must read a whole table, of a handful of rows, would
    // then look costly enough to be compiled first.)
    Result r(PQexec(connection, "SET lock_timeout = '10s';"
                                " SET plan_cache_mode = force_generic_plan;"
                                " SET enable_seqscan = off; SET enable_bitmapscan = off;"
                                " SET jit = off"));
    if (!r.ok()) {
        return failed(connection, name_, conninfo_, "set up the connection", failure);
    }
    (&connection == &unit_ ? preparedUnit_ : preparedAuto_).clear();
    return true;
}

Result PgStore::exec(pg_conn *connection, Step step) {
    return std::move(runPipeline(connection, {std::move(step)},
                                 connection == unit_ ? preparedUnit_ : preparedAuto_)
                         .front());
}

bool PgStore::create(std::string_view qmgrName, Failure &failure) {
    close();
    name_ = qmgrName;
    if (!connect(auto_, failure)) {
        return false;
    }
    // One creator at a time per database, so two never both create the schema.
    Result r = run(auto_, "BEGIN");
    if (r.ok()) {
        r = run(auto_, "SELECT pg_advisory_xact_lock(7419001)");
    }
    if (r.ok()) {
        r = run(auto_, "SELECT to_regclass('trevane_schema') IS NULL");
    }
    if (!r.ok()) {
        run(auto_, "ROLLBACK");
        return failed(auto_, name_, conninfo_, "read the schema", failure);
    }
    if (PQgetvalue(r.result, 0, 0)[0] != 0) {
        for (const char *sql : SCHEMA_SQL) {
            if (!run(auto_, sql).ok()) {
                failed(auto_, name_, conninfo_, "create the schema", failure);
                run(auto_, "ROLLBACK");
                return false;
            }
        }
        if (!run(auto_, "INSERT INTO trevane_schema VALUES ($1)", {number(PG_SCHEMA_VERSION)})
                 .ok()) {
            failed(auto_, name_, conninfo_, "create the schema", failure);
            run(auto_, "ROLLBACK");
            return false;
        }
    }
    if (!run(auto_, "COMMIT").ok()) {
        return failed(auto_, name_, conninfo_, "create the schema", failure);
    }
    if (!checkQueueManager(false, failure)) {
        return false;
    }
    r = run(auto_, "INSERT INTO trevane_qm (name) VALUES ($1) RETURNING id", {text(name_)});
    if (!r.ok()) {
        if (r.sqlState() == "23505") {
            failure = {MQRC_OBJECT_ALREADY_EXISTS, "queue manager " + name_ +
                                                       " already exists in the database " +
                                                       serverOf(auto_, conninfo_)};
            return false;
        }
        return failed(auto_, name_, conninfo_, "create the queue manager", failure);
    }
    qmgrId_ = r.int8(0, 0);
    return true;
}

// Checks the schema's version and, unless creating, finds the queue manager's row.
bool PgStore::checkQueueManager(bool mustExist, Failure &failure) {
    Result r = run(auto_, "SELECT to_regclass('trevane_schema') IS NOT NULL");
    if (!r.ok()) {
        return failed(auto_, name_, conninfo_, "read the schema", failure);
    }
    if (PQgetvalue(r.result, 0, 0)[0] == 0) {
        failure = {MQRC_Q_MGR_NAME_ERROR, "queue manager " + name_ + ": the database at " +
                                              serverOf(auto_, conninfo_) +
                                              " holds no queue managers (no schema)"};
        return false;
    }
    r = run(auto_, "SELECT min(version)::integer, max(version)::integer FROM trevane_schema");
    if (!r.ok() || r.rows() != 1 || r.isNull(0, 0)) {
        failure = {MQRC_Q_MGR_NOT_AVAILABLE, "queue manager " + name_ + ": the database at " +
                                                 serverOf(auto_, conninfo_) +
                                                 " has no readable schema version"};
        return false;
    }
    if (r.int4(0, 0) == 1 && r.int4(0, 1) == 1) {
        // Version 1 lacks only the table of uncommitted gets: added once, by whoever comes
        // first.
        bool upgraded =
            run(auto_, "BEGIN").ok() && run(auto_, "SELECT pg_advisory_xact_lock(7419001)").ok();
        Result again = run(auto_, "SELECT max(version)::integer FROM trevane_schema");
        upgraded = upgraded && again.ok();
        if (upgraded && again.int4(0, 0) == 1) {
            for (size_t i = SCHEMA_V1_STATEMENTS; upgraded && i < std::size(SCHEMA_SQL); ++i) {
                upgraded = run(auto_, SCHEMA_SQL[i]).ok();
            }
            upgraded = upgraded && run(auto_, "UPDATE trevane_schema SET version = $1",
                                       {number(PG_SCHEMA_VERSION)})
                                       .ok();
        }
        if (!upgraded || !run(auto_, "COMMIT").ok()) {
            failed(auto_, name_, conninfo_, "upgrade the schema from version 1", failure);
            run(auto_, "ROLLBACK");
            return false;
        }
        return checkQueueManager(mustExist, failure);
    }
    if (r.int4(0, 0) != PG_SCHEMA_VERSION || r.int4(0, 1) != PG_SCHEMA_VERSION) {
        failure = {MQRC_Q_MGR_NOT_AVAILABLE,
                   "queue manager " + name_ + ": the database at " + serverOf(auto_, conninfo_) +
                       " has schema version " + std::to_string(r.int4(0, 1)) +
                       ", this program reads version " + std::to_string(PG_SCHEMA_VERSION) +
                       " only; refused, nothing changed"};
        return false;
    }
    if (!mustExist) {
        return true;
    }
    r = run(auto_, "SELECT id FROM trevane_qm WHERE name = $1", {text(name_)});
    if (!r.ok()) {
        return failed(auto_, name_, conninfo_, "find the queue manager", failure);
    }
    if (r.rows() == 0) {
        failure = {MQRC_Q_MGR_NAME_ERROR, "no queue manager " + name_ + " in the database at " +
                                              serverOf(auto_, conninfo_)};
        return false;
    }
    qmgrId_ = r.int8(0, 0);
    return true;
}

bool PgStore::open(std::string_view qmgrName, Failure &failure) {
    close();
    name_ = qmgrName;
    deleted_ = false;
    return connect(auto_, failure) && checkQueueManager(true, failure);
}

bool PgStore::stillPresent() const {
    // mqadmin delete-qm marks it deleted in the database, then removes the entry.
    return !deleted_ && (entry_.empty() || ::access(entry_.c_str(), F_OK) == 0);
}

bool PgStore::fileIntact(Failure &failure) const {
    if (lostUnit_) {
        // Whatever the program does next, it must not take the rest of that unit for all of
        // it: the handle stays broken, as when the whole server is gone.
        failure = {MQRC_CONNECTION_LOST,
                   "queue manager " + name_ + ": lost the connection to the PostgreSQL server " +
                       serverOf(unit_, conninfo_) +
                       " in the middle of a unit of work, which the server rolled back;"
                       " connect again"};
        return false;
    }
    if (auto_ == nullptr || PQstatus(auto_) == CONNECTION_BAD) {
        failure = {MQRC_CONNECTION_LOST, "queue manager " + name_ +
                                             ": lost the connection to the PostgreSQL server " +
                                             serverOf(auto_, conninfo_)};
        return false;
    }
    return true;
}

void PgStore::watch(const QueueDefinition &queue, bool anyMessage) {
    if (waiter_ == nullptr) {
        waiter_ = std::make_unique<PgWaiter>(conninfo_);
    }
    // Should the listener fail to listen, the get finds new messages at its housekeeping
    // rounds only.
    waiter_->watch(channelOf(queue.id), anyMessage);
}

int64_t PgStore::dataVersion(Failure &) {
    wakeupsSeen_ = waiter_ != nullptr ? waiter_->wakeups() : 0;
    return wakeupsSeen_;
}

void PgStore::waitForChange(std::chrono::milliseconds longest) {
    if (waiter_ == nullptr) {
        std::this_thread::sleep_for(longest);
        return;
    }
    waiter_->wait(wakeupsSeen_, longest);
}

bool PgStore::findQueue(std::string_view queueName, QueueDefinition &queue, Failure &failure) {
    Result r = run(auto_,
                   "SELECT id, default_priority, default_persistence, max_length"
                   " FROM trevane_queue WHERE qm_id = $1 AND name = $2",
                   {number(qmgrId_), text(std::string(queueName))});
    if (!r.ok()) {
        return failed(auto_, name_, conninfo_, "find a queue", failure);
    }
    if (r.rows() == 0) {
        failure = {MQRC_UNKNOWN_OBJECT_NAME,
                   "queue manager " + name_ + " has no queue " + std::string(queueName)};
        return false;
    }
    queue.id = r.int8(0, 0);
    queue.name = queueName;
    queue.attributes.defaultPriority = r.int4(0, 1);
    queue.attributes.defaultPersistence = r.int4(0, 2);
    queue.attributes.maxMsgLength = r.int4(0, 3);
    return true;
}

bool PgStore::queueExists(int64_t queueId, Failure &failure) {
    Result r = run(auto_, "SELECT 1 FROM trevane_queue WHERE id = $1", {number(queueId)});
    if (!r.ok()) {
        return failed(auto_, name_, conninfo_, "find a queue", failure);
    }
    if (r.rows() == 0) {
        failure = {MQRC_Q_DELETED, "queue manager " + name_ + ": the queue was deleted"};
        return false;
    }
    return true;
}

namespace {

// Stores a ready message; fails with FOREIGN_KEY_VIOLATION when its queue is gone.
const char *const INSERT_SQL =
    "INSERT INTO trevane_message (queue_id, priority, msg_id, correl_id, expires_at, md, body)"
    " VALUES ($1, $2, $3, $4, $5, $6, $7)";
const char *const FOREIGN_KEY_VIOLATION = "23503";

std::vector<Param> insertParams(const QueueDefinition &queue, const MQMD &md, const void *data,
                                MQLONG length, int64_t putAt) {
    return {number(queue.id),
            number(md.Priority),
            bytes(md.MsgId, sizeof md.MsgId),
            bytes(md.CorrelId, sizeof md.CorrelId),
            md.Expiry == MQEI_UNLIMITED ? null() : number(putAt + int64_t{md.Expiry} * 100),
            bytes(&md, sizeof md),
            bytes(data, length > 0 ? size_t(length) : 0)};
}

} // namespace

// Whether INSERT_SQL stored its message: MQRC_Q_DELETED when the queue is gone.
bool PgStore::inserted(pg_conn *connection, const Result &r, const QueueDefinition &queue,
                       Failure &failure) {
    if (r.sqlState() == FOREIGN_KEY_VIOLATION) {
        failure = {MQRC_Q_DELETED,
                   "queue manager " + name_ + ": queue " + queue.name + " was deleted"};
        return false;
    }
    if (!r.ok()) {
        return failed(connection, name_, conninfo_, "store the message", failure, r.result);
    }
    return true;
}

bool PgStore::put(const QueueDefinition &queue, const MQMD &md, const void *data, MQLONG length,
                  Failure &failure) {
    Result r = runThenNotify(auto_, preparedAuto_, INSERT_SQL,
                             insertParams(queue, md, data, length, nowMillis()), queue.id);
    return inserted(auto_, r, queue, failure);
}

std::vector<Result> PgStore::inUnit(const char *savepoint, std::vector<Step> steps,
                                    Failure &failure) {
    if (unit_ != nullptr && PQstatus(unit_) == CONNECTION_BAD) {
        // Lost with the unit it carried (reported then): the next unit gets a new one.
        unitLost();
        PQfinish(unit_);
        unit_ = nullptr;
    }
    if (unit_ == nullptr && !connect(unit_, failure)) {
        return {};
    }
    bool begins = !inUnit_;
    std::vector<Step> before;
    if (begins) {
        before.push_back({"BEGIN", {}});
    } else if (!savepoint_.empty()) {
        before.push_back({"RELEASE SAVEPOINT " + savepoint_, {}});
    }
    before.push_back({std::string("SAVEPOINT ") + savepoint, {}});
    size_t first = before.size();
    steps.insert(steps.begin(), std::make_move_iterator(before.begin()),
                 std::make_move_iterator(before.end()));
    std::vector<Result> results = runPipeline(unit_, steps, preparedUnit_);
    if (begins && results.front().ok()) {
        inUnit_ = true;
    }
    if (results[first - 1].ok()) {
        savepoint_ = savepoint;
    }
    for (size_t i = 0; i < first; ++i) {
        if (!results[i].ok()) {
            failed(unit_, name_, conninfo_,
                   begins ? "begin a unit of work" : "continue the unit of work", failure,
                   results[i].result);
            if (PQstatus(unit_) == CONNECTION_BAD) {
                unitLost();
            } else if (begins) {
                run(unit_, "ROLLBACK");
                forgetUnit();
            }
            return {};
        }
    }
    results.erase(results.begin(), results.begin() + static_cast<ptrdiff_t>(first));
    return results;
}

void PgStore::unitLost() {
    lostUnit_ = lostUnit_ || inUnit_;
    forgetUnit();
}

void PgStore::forgetUnit() {
    inUnit_ = false;
    savepoint_.clear();
    held_.clear();
}

bool PgStore::countUncommittedGet(int64_t seq, int64_t queueId, Failure &failure) {
    // Committed without waiting for the flush (see the top of this file).
    Result r = exec(auto_, {"INSERT INTO trevane_backout (seq, queue_id) SELECT $1, $2"
                            " FROM set_config('synchronous_commit', 'off', true)",
                            {number(seq), number(queueId)}});
    if (!r.ok()) {
        return failed(auto_, name_, conninfo_, "count the get under syncpoint", failure, r.result);
    }
    return true;
}

bool PgStore::get(const QueueDefinition &queue, const GetRequest &request, MQMD &md,
                  BrowseCursor &cursor, MQLONG &dataLength, bool &truncated, Failure &failure) {
    bool browsing = request.mode == GetMode::BrowseFirst || request.mode == GetMode::BrowseNext;
    Param msgId = allZero(md.MsgId, sizeof md.MsgId) ? null() : bytes(md.MsgId, sizeof md.MsgId);
    Param correlId =
        allZero(md.CorrelId, sizeof md.CorrelId) ? null() : bytes(md.CorrelId, sizeof md.CorrelId);
    int64_t now = nowMillis();
    std::string select = std::string("SELECT ") + MESSAGE_COLUMNS +
                         " FROM trevane_message WHERE queue_id = $1"
                         " AND ($2::bytea IS NULL OR msg_id = $2)"
                         " AND ($3::bytea IS NULL OR correl_id = $3)";
    if (browsing) {
        select += " AND (expires_at IS NULL OR expires_at > $4)"
                  " AND ($5::integer IS NULL OR priority < $5 OR (priority = $5 AND seq > $6))"
                  " ORDER BY priority DESC, seq LIMIT 1 FOR SHARE SKIP LOCKED";
        bool after = request.mode == GetMode::BrowseNext && cursor.valid;
        Result r =
            run(auto_, select.c_str(),
                {number(queue.id), msgId, correlId, number(now),
                 after ? number(cursor.priority) : null(), after ? number(cursor.seq) : null()});
        if (!r.ok()) {
            return failed(auto_, name_, conninfo_, "browse a message", failure);
        }
        if (r.rows() == 0) {
            failure = {MQRC_NO_MSG_AVAILABLE, {}};
            return false;
        }
        fillDescriptor(r, md, now);
        dataLength = static_cast<MQLONG>(r.raw(0, C_BODY).size());
        truncated = dataLength > request.bufferLength;
        if (truncated && !request.acceptTruncated) {
            failure = {MQRC_TRUNCATED_MSG_FAILED, {}};
            return false;
        }
        std::memcpy(request.buffer, r.raw(0, C_BODY).data(),
                    static_cast<size_t>(std::min(dataLength, request.bufferLength)));
        cursor = {true, r.int4(0, C_PRIORITY), r.int8(0, C_SEQ)};
        return true;
    }
    // The first message, locked, and, in the same statement, its removal unless it is too
    // long for the buffer (and truncation is not accepted) and still current: $4 the
    // longest body taken (null for any), $5 now. The last column tells whether it was
    // removed; no row means no message.
    bool hold = request.mode == GetMode::Hold;
    std::string take = "WITH first AS (" + select +
                       " ORDER BY priority DESC, seq LIMIT 1 FOR UPDATE SKIP LOCKED),"
                       " taken AS (DELETE FROM trevane_message WHERE seq = (SELECT seq FROM first"
                       " WHERE $4::integer IS NULL OR length(body) <= $4 OR expires_at <= $5)"
                       " RETURNING seq)";
    if (!hold) {
        // Outside syncpoint the removal is for good, and commits with the statement.
        take += ", counted AS (DELETE FROM trevane_backout WHERE seq = (SELECT seq FROM taken))";
    }
    take += " SELECT first.*, (SELECT count(*) FROM taken) FROM first";
    enum { C_TAKEN = C_BODY + 1 };

    // Under syncpoint after a savepoint in the unit, so that a message left in place is
    // unlocked at once; the savepoint is released with the unit's next statement.
    Param longest =
        request.acceptTruncated ? null() : number(std::max<MQLONG>(request.bufferLength, 0));
    pg_conn *&c = hold ? unit_ : auto_;
    auto fail = [&](std::string_view what, const Result &r) {
        failed(c, name_, conninfo_, what, failure, r.result);
        if (hold) {
            run(c, "ROLLBACK TO SAVEPOINT get");
            if (PQstatus(c) == CONNECTION_BAD) {
                unitLost();
            }
        }
        return false;
    };
    for (;;) {
        std::vector<Param> params{number(queue.id), msgId, correlId, longest, number(now)};
        Result r;
        if (hold) {
            std::vector<Result> results = inUnit("get", {{take, std::move(params)}}, failure);
            if (results.empty()) {
                return false;
            }
            r = std::move(results.front());
        } else {
            r = exec(c, {take, std::move(params)});
        }
        if (!r.ok()) {
            return fail("get a message", r);
        }
        if (r.rows() == 0) {
            // Expired messages dropped on the way stay dropped.
            failure = {MQRC_NO_MSG_AVAILABLE, {}};
            return false;
        }
        int64_t seq = r.int8(0, C_SEQ);
        bool removed = r.int8(0, C_TAKEN) > 0;
        if (removed && !r.isNull(0, C_EXPIRES_AT) && r.int8(0, C_EXPIRES_AT) <= now) {
            continue;
        }
        fillDescriptor(r, md, now);
        dataLength = static_cast<MQLONG>(r.raw(0, C_BODY).size());
        truncated = dataLength > request.bufferLength;
        if (!removed) {
            // Too long: left in place, and unlocked.
            if (hold) {
                Result undone = run(c, "ROLLBACK TO SAVEPOINT get");
                if (!undone.ok()) {
                    return fail("leave the message in place", undone);
                }
            }
            failure = {MQRC_TRUNCATED_MSG_FAILED, {}};
            return false;
        }
        if (dataLength > 0 && request.bufferLength > 0) {
            std::memcpy(request.buffer, r.raw(0, C_BODY).data(),
                        static_cast<size_t>(std::min(dataLength, request.bufferLength)));
        }
        if (hold) {
            if (!countUncommittedGet(seq, queue.id, failure)) {
                run(c, "ROLLBACK TO SAVEPOINT get");
                return false;
            }
            held_.push_back({seq, queue.id});
        }
        return true;
    }
}

bool PgStore::commit(int64_t, const std::vector<PendingPut> &puts, Failure &failure) {
    if (!inUnit_ && puts.empty()) {
        return true;
    }
    // One round trip: the puts after a savepoint, so that a failure takes all of them back
    // and leaves the unit as it was, for the caller to back out; the counts of the unit's
    // gets, which go with their messages; the commit; and then the notification.
    std::vector<Step> steps;
    std::vector<Notice> notices;
    for (const PendingPut &put : puts) {
        steps.push_back(
            {INSERT_SQL, insertParams(put.queue, put.md, put.body.data(),
                                      static_cast<MQLONG>(put.body.size()), put.putAt)});
        notices.push_back({put.queue.id, true});
    }
    if (!held_.empty()) {
        steps.push_back({"DELETE FROM trevane_backout WHERE seq = ANY ($1::bigint[])",
                         {array(held_, [](const Held &h) { return std::to_string(h.seq); })}});
    }
    size_t commitAt = steps.size();
    steps.push_back({"COMMIT", {}, true});
    if (!notices.empty()) {
        steps.push_back(notifyStep(notices));
    }
    std::vector<Result> results = inUnit("puts", std::move(steps), failure);
    if (results.empty()) {
        return false;
    }
    for (size_t i = 0; i < puts.size(); ++i) {
        if (!inserted(unit_, results[i], puts[i].queue, failure)) {
            run(unit_, "ROLLBACK TO SAVEPOINT puts");
            if (PQstatus(unit_) == CONNECTION_BAD) {
                unitLost();
            }
            return false;
        }
    }
    // COMMIT answers ROLLBACK when the transaction had failed.
    const Result &committed = results[commitAt];
    bool ok = committed.ok() && std::string_view(PQcmdStatus(committed.result)) == "COMMIT";
    if (PQtransactionStatus(unit_) == PQTRANS_INERROR) {
        run(unit_, "ROLLBACK");
    }
    if (PQstatus(unit_) == CONNECTION_BAD) {
        unitLost();
    }
    forgetUnit();
    if (!ok) {
        const PGresult *why = nullptr;
        for (size_t i = 0; i <= commitAt && why == nullptr; ++i) {
            why = results[i].ok() ? nullptr : results[i].result;
        }
        return failed(unit_, name_, conninfo_, "commit", failure, why);
    }
    return true;
}

bool PgStore::backOut(int64_t, Failure &failure) {
    if (!inUnit_) {
        return true;
    }
    std::vector<Notice> notices;
    for (const Held &h : held_) {
        if (std::none_of(notices.begin(), notices.end(),
                         [&](const Notice &n) { return n.queueId == h.queueId; })) {
            notices.push_back({h.queueId, false});
        }
    }
    forgetUnit();
    // The rows of trevane_backout already count the back-out. A connection that broke has
    // been rolled back by the server: the back-out asked for has happened.
    if (!run(unit_, "ROLLBACK").ok() && PQstatus(unit_) != CONNECTION_BAD) {
        return failed(unit_, name_, conninfo_, "back out", failure);
    }
    if (!notices.empty() && PQstatus(auto_) == CONNECTION_OK) {
        // Wakes every getter waiting on those queues. A failure here shows at the next call
        // on this connection.
        exec(auto_, notifyStep(notices));
    }
    return true;
}

bool PgStore::defineQueue(std::string_view queueName, const mqQueueAttributes_t &attributes,
                          Failure &failure) {
    Result r =
        run(auto_,
            "INSERT INTO trevane_queue (qm_id, name, default_priority,"
            " default_persistence, max_length) VALUES ($1, $2, $3, $4, $5)",
            {number(qmgrId_), text(std::string(queueName)), number(attributes.defaultPriority),
             number(attributes.defaultPersistence), number(attributes.maxMsgLength)});
    if (!r.ok()) {
        if (r.sqlState() == "23505") {
            failure = {MQRC_OBJECT_ALREADY_EXISTS,
                       "queue manager " + name_ + " already has a queue " + std::string(queueName)};
            return false;
        }
        return failed(auto_, name_, conninfo_, "define a queue", failure);
    }
    return true;
}

namespace {

// Messages of the queues a condition selects: all of them, and those held in units of work.
bool countMessages(pg_conn *connection, const char *where, const std::vector<Param> &params,
                   int64_t &all, int64_t &held) {
    std::string sql = std::string("SELECT (SELECT count(*) FROM trevane_message WHERE ") + where +
                      "), (SELECT count(*) FROM (SELECT 1 FROM trevane_message WHERE " + where +
                      " FOR SHARE SKIP LOCKED) free)";
    Result r = run(connection, sql.c_str(), params);
    if (!r.ok()) {
        return false;
    }
    all = r.int8(0, 0);
    held = all - r.int8(0, 1);
    return true;
}

} // namespace

bool PgStore::deleteQueue(std::string_view queueName, bool purge, Failure &failure) {
    QueueDefinition queue;
    if (!findQueue(queueName, queue, failure)) {
        return false;
    }
    auto refused = [&](int64_t all, int64_t held) {
        if (held > 0 || (all > 0 && !purge)) {
            failure = {MQRC_OBJECT_IN_USE,
                       "queue manager " + name_ + ": queue " + queue.name + " holds " +
                           std::to_string(all) + " messages" +
                           (held > 0 ? ", " + std::to_string(held) + " of them in units of work"
                                     : std::string(" (purge to delete it anyway)"))};
            return true;
        }
        return false;
    };
    return deleteQueues("id = $1", number(queue.id), refused, nullptr, "delete a queue", failure);
}

bool PgStore::deleteQueues(const char *queues, const Param &key,
                           const std::function<bool(int64_t, int64_t)> &refused, const char *then,
                           std::string_view what, Failure &failure) {
    // The queues' rows are locked first, and a put stores its message only while its
    // queue's row exists: a put that commits meanwhile is counted below, or fails finding
    // its queue deleted. None is deleted uncounted.
    std::string lock = std::string("SELECT 1 FROM trevane_queue WHERE ") + queues + " FOR UPDATE";
    std::string where =
        std::string("queue_id IN (SELECT id FROM trevane_queue WHERE ") + queues + ")";
    std::string remove = std::string("DELETE FROM trevane_queue WHERE ") + queues;
    int64_t all = 0;
    int64_t held = 0;
    auto abandon = [&] {
        failed(auto_, name_, conninfo_, what, failure);
        run(auto_, "ROLLBACK");
        return false;
    };
    if (!run(auto_, "BEGIN").ok() || !run(auto_, lock.c_str(), {key}).ok() ||
        !countMessages(auto_, where.c_str(), {key}, all, held)) {
        return abandon();
    }
    if (refused(all, held)) {
        run(auto_, "ROLLBACK");
        return false;
    }
    if (!run(auto_, remove.c_str(), {key}).ok() ||
        (then != nullptr && !run(auto_, then, {key}).ok())) {
        return abandon();
    }
    Result r = run(auto_, "COMMIT");
    if (!r.ok() || std::string_view(PQcmdStatus(r.result)) != "COMMIT") {
        return failed(auto_, name_, conninfo_, what, failure, r.result);
    }
    return true;
}

bool PgStore::listQueues(std::vector<mqQueueInfo_t> &queues, Failure &failure) {
    Result r = run(auto_,
                   "SELECT id, name, default_priority, default_persistence, max_length"
                   " FROM trevane_queue WHERE qm_id = $1 ORDER BY name",
                   {number(qmgrId_)});
    if (!r.ok()) {
        return failed(auto_, name_, conninfo_, "list the queues", failure);
    }
    queues.clear();
    for (int i = 0; i < r.rows(); ++i) {
        mqQueueInfo_t info{};
        std::string_view queueName = r.raw(i, 1);
        std::memcpy(info.name, queueName.data(), std::min(queueName.size(), sizeof info.name - 1));
        info.attributes.defaultPriority = r.int4(i, 2);
        info.attributes.defaultPersistence = r.int4(i, 3);
        info.attributes.maxMsgLength = r.int4(i, 4);
        int64_t all = 0;
        int64_t held = 0;
        if (!countMessages(auto_, "queue_id = $1", {number(r.int8(i, 0))}, all, held)) {
            return failed(auto_, name_, conninfo_, "count the queue's messages", failure);
        }
        info.depth = static_cast<MQLONG>(all - held);
        info.uncommitted = static_cast<MQLONG>(held);
        queues.push_back(info);
    }
    return true;
}

bool PgStore::markDeleted(bool force, Failure &failure) {
    auto refused = [&](int64_t all, int64_t held) {
        if (held > 0 || (all > 0 && !force)) {
            failure = {MQRC_OBJECT_IN_USE,
                       "queue manager " + name_ + " holds " + std::to_string(all) + " messages" +
                           (held > 0 ? ", " + std::to_string(held) + " of them in units of work"
                                     : std::string(" (force to delete it anyway)"))};
            return true;
        }
        return false;
    };
    if (!deleteQueues("qm_id = $1", number(qmgrId_), refused,
                      "DELETE FROM trevane_qm WHERE id = $1", "delete the queue manager",
                      failure)) {
        return false;
    }
    deleted_ = true;
    return true;
}

} // namespace trevane::mq
