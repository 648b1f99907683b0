// The queue manager's storage: the interface of a queue manager's store (Store), and its
// SQLite implementation (SqliteStore: one SQLite database per queue manager, its schema, and
// the statements that put, get, browse, commit, back out and recover messages). Used by the
// messaging calls (messaging/mq.cpp) and by the administration functions (messaging/admin.cpp); not
// part of the library's interface.
#ifndef MESSAGING_STORE_H
#define MESSAGING_STORE_H

#include "messaging/admin.h"
#include "trevane/mq.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace trevane::mq {

// A failure with the reason code for the caller and an explanation for a person.
struct Failure {
    MQLONG reason = MQRC_NONE;
    std::string detail;
    // The change was made (other connections see it) but could not be flushed: the call
    // failed, yet must not be repeated as if nothing had been stored.
    bool stored = false;
};

// Directory of the queue manager files, from TREVANE_MQ_DIR or the data-home default.
// Empty, with failure filled, when none can be determined.
std::string dataDirectory(Failure &failure);
bool validQueueManagerName(std::string_view name);
bool validQueueName(std::string_view name);
std::string queueManagerPath(const std::string &directory, std::string_view name);
// The entry of a queue manager kept in PostgreSQL: NAME.qmgr-pg.
std::string postgresEntryPath(const std::string &directory, std::string_view name);

// A fixed-width text field as the caller meant it: up to its width or its first zero
// byte, trailing blanks dropped.
std::string_view fieldText(const char *field, size_t width);
// Writes text into a fixed-width field, padding with zero bytes; text longer than the
// field is cut at its width (callers check lengths where cutting would change meaning).
void setField(char *field, size_t width, std::string_view text);

// Identifies a process across time: a pid is reused, a pid with its start time (clock
// ticks since boot) within one boot is not.
struct ProcessIdentity {
    int64_t pid = 0;
    int64_t startTime = 0;
    std::string bootId;
};
const ProcessIdentity &thisProcess();
// True when the process still runs (a zombie counts as dead).
bool processIsAlive(const ProcessIdentity &process);

// Tells whether a unit of work of this process still has a live connection (kept by the
// messaging calls, mq.cpp).
bool ownUnitIsLive(int64_t unitOfWork);

struct QueueDefinition {
    int64_t id = 0;
    std::string name;
    mqQueueAttributes_t attributes = MQ_QUEUE_ATTRIBUTES_DEFAULT;
};

// Position of a browse cursor: the last message shown, in delivery order.
struct BrowseCursor {
    bool valid = false;
    int64_t priority = 0;
    int64_t seq = 0;
};

enum class GetMode { Remove, Hold, BrowseFirst, BrowseNext };

// A put under syncpoint, kept by its connection until the unit of work ends: nobody else
// may see it before the commit, and a process that dies before then loses nothing that
// was promised. putAt (ms since the epoch) is when the put was made, for its expiry.
struct PendingPut {
    QueueDefinition queue;
    MQMD md{};
    std::string body;
    int64_t putAt = 0;
};

// The one writer of a queue manager in this process (store.cpp): all connections of the
// process hand their changes to it, and it commits what they handed in together.
class Writer;

struct GetRequest {
    GetMode mode = GetMode::Remove;
    int64_t unitOfWork = 0; // for Hold
    bool acceptTruncated = false;
    MQLONG bufferLength = 0;
    void *buffer = nullptr;
};

// The storage of one queue manager as seen by one connection or one administration
// command. SqliteStore keeps a queue manager in one SQLite file; storeFor chooses the
// implementation that the queue manager's entry in the data directory names.
class Store {
public:
    Store() = default;
    virtual ~Store() = default;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens an existing queue manager; MQRC_Q_MGR_NAME_ERROR when there is none.
    virtual bool open(std::string_view qmgrName, Failure &failure) = 0;
    // Creates a queue manager; MQRC_OBJECT_ALREADY_EXISTS when it exists.
    virtual bool create(std::string_view qmgrName, Failure &failure) = 0;
    virtual const std::string &name() const = 0;
    // The queue manager's entry in the data directory.
    virtual const std::string &path() const = 0;

    virtual bool findQueue(std::string_view queueName, QueueDefinition &queue,
                           Failure &failure) = 0;
    virtual bool queueExists(int64_t queueId, Failure &failure) = 0;

    // Stores a message outside syncpoint, durable on return; md must already be complete
    // (identifiers and context filled).
    virtual bool put(const QueueDefinition &queue, const MQMD &md, const void *data, MQLONG length,
                     Failure &failure) = 0;

    // One attempt to get or browse the first matching message. Returns false with
    // MQRC_NO_MSG_AVAILABLE when there is none, MQRC_TRUNCATED_MSG_FAILED when it is longer
    // than the buffer and truncation is not accepted (md and dataLength filled, message
    // untouched). On success md, data and dataLength are filled and *truncated tells
    // whether only a part was copied.
    virtual bool get(const QueueDefinition &queue, const GetRequest &request, MQMD &md,
                     BrowseCursor &cursor, MQLONG &dataLength, bool &truncated,
                     Failure &failure) = 0;

    // Ends a unit of work: removes what it got and stores what it put, in one durable
    // transaction; or returns what it got (backout count raised).
    virtual bool commit(int64_t unitOfWork, const std::vector<PendingPut> &puts,
                        Failure &failure) = 0;
    virtual bool backOut(int64_t unitOfWork, Failure &failure) = 0;

    // Backs out the units of work of processes that died, and of this process's units
    // whose connection is gone. Returns the number of messages returned or dropped, -1 on
    // failure.
    virtual int64_t recoverAbandoned(Failure &failure) = 0;

    // A get is about to wait for a message on this queue (any message, or one it selects by
    // identifier): from now on, changes to it count in dataVersion. Stores whose version
    // counts every change need do nothing.
    virtual void watch(const QueueDefinition &queue, bool anyMessage) {
        (void)queue;
        (void)anyMessage;
    }
    // Changes whenever another connection commits (cheap: no table is read).
    virtual int64_t dataVersion(Failure &failure) = 0;
    // False once the queue manager was deleted or replaced after this open.
    virtual bool stillPresent() const = 0;
    // False, with the failure, when the queue manager this connection opened can no longer
    // be used safely. Every messaging call but MQDISC asks.
    virtual bool fileIntact(Failure &failure) const = 0;

    // Administration.
    virtual bool defineQueue(std::string_view queueName, const mqQueueAttributes_t &attributes,
                             Failure &failure) = 0;
    virtual bool deleteQueue(std::string_view queueName, bool purge, Failure &failure) = 0;
    virtual bool listQueues(std::vector<mqQueueInfo_t> &queues, Failure &failure) = 0;
    // Marks the queue manager deleted (its queues and messages gone) so that connections
    // still open fail; the caller then removes what is left.
    virtual bool markDeleted(bool force, Failure &failure) = 0;
    // Waits for at most the given time, or less once another connection may have changed
    // something; a waiting get then looks again.
    virtual void waitForChange(std::chrono::milliseconds longest) {
        std::this_thread::sleep_for(longest);
    }
    virtual void close() = 0;
};

// A store for the queue manager of that name, in the implementation its entry names: a
// PostgreSQL database when the data directory holds NAME.qmgr-pg (its one line libpq's
// connection text), else the SQLite file. Not yet opened.
std::unique_ptr<Store> storeFor(std::string_view qmgrName);

// A queue manager in one SQLite file (store.cpp). Each SqliteStore has its own SQLite
// handle for reading; its changes go through the process's one Writer of the file, which
// commits those of all connections together, without a flush under its locks (a call that
// must be durable then waits for a flush that the commits of every process share; holds and
// back-outs wait for none).
// fileIntact fails with MQRC_Q_MGR_NOT_AVAILABLE when the file this connection opened is
// now empty: cut to nothing under it, it holds no queue manager any more, and whatever
// SQLite still has in its log or cache would be lost at the next checkpoint (a stat per
// call).
class SqliteStore final : public Store {
public:
    SqliteStore() = default;
    ~SqliteStore() override;

    bool open(std::string_view qmgrName, Failure &failure) override;
    bool create(std::string_view qmgrName, Failure &failure) override;
    const std::string &name() const override { return name_; }
    const std::string &path() const override { return path_; }
    bool findQueue(std::string_view queueName, QueueDefinition &queue, Failure &failure) override;
    bool queueExists(int64_t queueId, Failure &failure) override;
    bool put(const QueueDefinition &queue, const MQMD &md, const void *data, MQLONG length,
             Failure &failure) override;
    bool get(const QueueDefinition &queue, const GetRequest &request, MQMD &md,
             BrowseCursor &cursor, MQLONG &dataLength, bool &truncated, Failure &failure) override;
    bool commit(int64_t unitOfWork, const std::vector<PendingPut> &puts, Failure &failure) override;
    bool backOut(int64_t unitOfWork, Failure &failure) override;
    int64_t recoverAbandoned(Failure &failure) override;
    int64_t dataVersion(Failure &failure) override;
    // Sleeps until a writer of any process commits after the last dataVersion, at most
    // longest (woken through the writers' shared state, else a plain sleep).
    void waitForChange(std::chrono::milliseconds longest) override;
    bool stillPresent() const override;
    bool fileIntact(Failure &failure) const override;
    bool defineQueue(std::string_view queueName, const mqQueueAttributes_t &attributes,
                     Failure &failure) override;
    bool deleteQueue(std::string_view queueName, bool purge, Failure &failure) override;
    bool listQueues(std::vector<mqQueueInfo_t> &queues, Failure &failure) override;
    bool markDeleted(bool force, Failure &failure) override;
    void close() override;

private:
    class Statement;
    bool openFile(std::string_view qmgrName, bool create, Failure &failure);
    bool exec(const char *sql, Failure &failure);
    bool fail(Failure &failure, MQLONG reason, std::string_view what);
    // The cached statement of a slot, prepared on first use.
    sqlite3_stmt *prepared(int slot, Failure &failure);
    // The process's writer for this file, started on first use.
    Writer *writer(Failure &failure);

    sqlite3 *db_ = nullptr;
    std::string name_;
    std::string path_;
    uint64_t device_ = 0;
    uint64_t inode_ = 0;
    std::vector<sqlite3_stmt *> statements_;
    std::shared_ptr<Writer> writer_;
    int64_t changesSeen_ = -1; // the writers' commit count at the last dataVersion
};

} // namespace trevane::mq

#endif
