// A queue manager kept in a PostgreSQL database (pgstore.cpp), through libpq. Several
// queue managers may share one database; each is a row of trevane_qm, its queues rows of
// trevane_queue and its messages rows of trevane_message. A get takes the first message in
// priority then arrival order with FOR UPDATE SKIP LOCKED, so concurrent getters, in any
// process on any machine, never wait for each other's messages. A unit of work is one
// PostgreSQL transaction on a connection of its own: its gets delete their rows in it, its
// puts are inserted at MQCMIT, and the server rolls it back when the holder dies or the
// connection breaks, so nothing it held is lost; the rows of trevane_backout, written
// without a flush of their own as the gets take their messages, raise the backout counts of
// what comes back (pgstore.cpp).
#ifndef MESSAGING_PGSTORE_H
#define MESSAGING_PGSTORE_H

#include "messaging/pglistener.h"
#include "messaging/store.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct pg_conn;

namespace trevane::mq {

namespace pgsql { // the statements' parameters and results (pgstore.cpp)
struct Param;
struct Result;
struct Step;
} // namespace pgsql

// The schema version this build reads and writes; a database with another one is refused.
constexpr int PG_SCHEMA_VERSION = 2;
// Seconds a connection attempt waits for the server, unless the connection text or
// PGCONNECT_TIMEOUT names another limit.
constexpr int PG_CONNECT_TIMEOUT = 10;

class PgStore final : public Store {
public:
    // conninfo: libpq's connection text; entry: the queue manager's entry in the data
    // directory, which names this database (empty when there is none).
    explicit PgStore(std::string conninfo, std::string entry = {})
        : conninfo_(std::move(conninfo)), entry_(std::move(entry)) {}
    ~PgStore() override;

    bool open(std::string_view qmgrName, Failure &failure) override;
    // Creates the schema when the database has none, then the queue manager.
    bool create(std::string_view qmgrName, Failure &failure) override;
    const std::string &name() const override { return name_; }
    const std::string &path() const override { return entry_; }
    const std::string &conninfo() const { return conninfo_; }
    bool findQueue(std::string_view queueName, QueueDefinition &queue, Failure &failure) override;
    bool queueExists(int64_t queueId, Failure &failure) override;
    bool put(const QueueDefinition &queue, const MQMD &md, const void *data, MQLONG length,
             Failure &failure) override;
    bool get(const QueueDefinition &queue, const GetRequest &request, MQMD &md,
             BrowseCursor &cursor, MQLONG &dataLength, bool &truncated, Failure &failure) override;
    bool commit(int64_t unitOfWork, const std::vector<PendingPut> &puts, Failure &failure) override;
    bool backOut(int64_t unitOfWork, Failure &failure) override;
    // The server rolls back the transaction of a holder that died, with no notification:
    // answers 1 (its messages may be ready again), so that a waiting get looks again at
    // each of its housekeeping rounds.
    int64_t recoverAbandoned(Failure &) override { return 1; }
    // Has the process's listener wake this getter for the queue's messages.
    void watch(const QueueDefinition &queue, bool anyMessage) override;
    // The times this getter was woken.
    int64_t dataVersion(Failure &failure) override;
    // False once this store deleted the queue manager or its entry is gone.
    bool stillPresent() const override;
    bool fileIntact(Failure &failure) const override;
    bool defineQueue(std::string_view queueName, const mqQueueAttributes_t &attributes,
                     Failure &failure) override;
    bool deleteQueue(std::string_view queueName, bool purge, Failure &failure) override;
    bool listQueues(std::vector<mqQueueInfo_t> &queues, Failure &failure) override;
    bool markDeleted(bool force, Failure &failure) override;
    // Sleeps until this getter is woken, or for at most the given time.
    void waitForChange(std::chrono::milliseconds longest) override;
    void close() override;

private:
    bool connect(pg_conn *&connection, Failure &failure);
    // Runs statements in the unit of work after a savepoint of that name (for the caller to
    // undo them alone), beginning the unit or releasing the last savepoint before; all in
    // one round trip. Their results, or none when the unit could not be begun or
    // continued, with the failure.
    std::vector<pgsql::Result> inUnit(const char *savepoint, std::vector<pgsql::Step> steps,
                                      Failure &failure);
    // Deletes the queues the condition on trevane_queue selects ($1 the key), with their
    // messages, and runs then (with the key) in the same transaction, unless refused(all,
    // held) says no (and fills the failure).
    bool deleteQueues(const char *queues, const pgsql::Param &key,
                      const std::function<bool(int64_t, int64_t)> &refused, const char *then,
                      std::string_view what, Failure &failure);
    // Runs one statement (prepared at its first use when it has parameters).
    pgsql::Result exec(pg_conn *connection, pgsql::Step step);
    // The unit has ended: nothing held, nothing to notify.
    void forgetUnit();
    // The unit's connection broke, and the server rolled the unit back.
    void unitLost();
    bool inserted(pg_conn *connection, const pgsql::Result &r, const QueueDefinition &queue,
                  Failure &failure);
    bool checkQueueManager(bool deletedIsFailure, Failure &failure);
    // Records, durable with the next flush, that the unit got this message.
    bool countUncommittedGet(int64_t seq, int64_t queueId, Failure &failure);

    std::string conninfo_;
    std::string entry_;
    std::string name_;
    int64_t qmgrId_ = 0;
    bool deleted_ = false;
    pg_conn *auto_ = nullptr; // statements that commit at once
    pg_conn *unit_ = nullptr; // the unit of work's transaction, open from its first get
    bool inUnit_ = false;
    bool lostUnit_ = false; // a unit was lost with its connection: every call fails
    std::string savepoint_; // the unit's last savepoint, not yet released
    struct Held {
        int64_t seq; // the message's arrival number
        int64_t queueId;
    };
    std::vector<Held> held_; // the messages the unit got
    // The statements prepared on each connection: their texts and names.
    std::map<std::string, std::string> preparedAuto_;
    std::map<std::string, std::string> preparedUnit_;
    std::unique_ptr<PgWaiter> waiter_; // made at the first wait
    int64_t wakeupsSeen_ = 0;          // at the last dataVersion
};

} // namespace trevane::mq

#endif
