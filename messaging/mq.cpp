// The messaging calls (MQCONN ... MQBACK): checks every argument, keeps the process's
// connections and open queues behind handles, fills descriptors and runs the wait loop of
// a get. Storage is the Store's (store.cpp). Called by flowping, the flow runtime and
// mqadmin, from any thread.
//
// Each connection has its own SQLite handle for reading and its own unit of work; its
// changes go through the process's one writer of the queue manager (store.cpp), which
// commits those of all connections together. Puts under syncpoint wait in the connection
// until MQCMIT. Calls on one connection are serialised by its lock (a waiting get holds
// it for the whole wait).
// MQDISC backs out what the connection has not committed: a program that ends without
// committing has not finished its work, and returning the messages to their queues is
// the only choice that can never lose one. A process that dies has its units backed out
// by whichever process next notices (at connect, and about once a second while a get
// waits or finds nothing).
#include "trevane/mq.h"
#include "messaging/admin.h"
#include "messaging/store.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

extern "C" char *program_invocation_short_name; // glibc: the program's base name

using namespace trevane::mq;

namespace {

using Clock = std::chrono::steady_clock;

// A waiting get sleeps 1, 2, 4 ... ms between looks, never more than this.
constexpr std::chrono::milliseconds LONGEST_POLL{25};
// How often a get that finds nothing looks for dead holders and deleted queues.
constexpr std::chrono::milliseconds HOUSEKEEPING_INTERVAL{1000};

thread_local std::string lastDetail;

struct OpenQueue {
    QueueDefinition queue;
    MQLONG options = 0;
    BrowseCursor cursor;
};

struct Connection {
    std::mutex mutex;
    bool closed = false;
    pid_t pid = 0;
    std::unique_ptr<Store> store;
    int64_t unitOfWork = 0;
    int64_t pendingGets = 0;             // messages got under syncpoint since the last commit
    std::vector<PendingPut> pendingPuts; // put under syncpoint, stored at commit
    std::unordered_map<MQHOBJ, OpenQueue> queues;
    Clock::time_point lastHousekeeping;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<MQHCONN, std::shared_ptr<Connection>> connections;
    std::unordered_set<int64_t> liveUnits;
    MQLONG lastHandle = 0;
    std::mt19937_64 random{std::random_device{}()};
};

// Never destroyed: a thread may still disconnect while the process exits.
Registry &registry() {
    static Registry *instance = new Registry;
    return *instance;
}

// Connection and queue handles share one sequence, so a queue handle of one connection is
// never mistaken for one of another. Caller holds the registry lock.
MQLONG nextHandle(Registry &r) {
    r.lastHandle = r.lastHandle == INT32_MAX ? 1 : r.lastHandle + 1;
    return r.lastHandle;
}

void report(MQLONG *compCodeP, MQLONG *reasonP, MQLONG compCode, MQLONG reason,
            std::string detail = {}) {
    *compCodeP = compCode;
    *reasonP = reason;
    lastDetail = std::move(detail);
}

void reportFailure(MQLONG *compCodeP, MQLONG *reasonP, const Failure &failure) {
    report(compCodeP, reasonP, MQCC_FAILED, failure.reason, failure.detail);
}

// The connection behind a handle, locked; null (and the failure reported) when the handle
// is not a live connection of this process.
struct LockedConnection {
    std::shared_ptr<Connection> connection;
    std::unique_lock<std::mutex> lock;
    explicit operator bool() const { return connection != nullptr; }
    Connection *operator->() const { return connection.get(); }
};

LockedConnection lockConnection(MQHCONN hconn, MQLONG *compCodeP, MQLONG *reasonP,
                                bool checkFile = true) {
    LockedConnection result;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        auto found = r.connections.find(hconn);
        if (found != r.connections.end()) {
            result.connection = found->second;
        }
    }
    if (result.connection != nullptr) {
        result.lock = std::unique_lock(result.connection->mutex);
        // A forked child inherits the table but must not use its parent's database handles.
        if (!result.connection->closed && result.connection->pid == ::getpid()) {
            Failure failure;
            if (checkFile && !result.connection->store->fileIntact(failure)) {
                reportFailure(compCodeP, reasonP, failure);
                return {};
            }
            return result;
        }
    }
    report(compCodeP, reasonP, MQCC_FAILED, MQRC_HCONN_ERROR,
           "handle " + std::to_string(hconn) + " is not a connection of this process");
    return {};
}

OpenQueue *findQueue(Connection &connection, MQHOBJ hobj, MQLONG *compCodeP, MQLONG *reasonP) {
    auto found = connection.queues.find(hobj);
    if (found == connection.queues.end()) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_HOBJ_ERROR,
               "handle " + std::to_string(hobj) + " is not a queue opened on this connection");
        return nullptr;
    }
    return &found->second;
}

bool hasStrucId(const char *strucId, const char *expected) {
    return std::memcmp(strucId, expected, 4) == 0;
}

// A message descriptor the caller passed and initialised, in the one version served here.
bool isInitialisedMd(const MQMD *md) {
    return md != nullptr && hasStrucId(md->StrucId, MQMD_STRUC_ID) && md->Version == MQMD_VERSION_1;
}

// A put or a get: the locked connection and the opened queue it works on. `queue` is
// null (and the failure reported) when a handle or the message descriptor is refused.
struct QueueCall {
    LockedConnection connection;
    OpenQueue *queue = nullptr;
};

QueueCall beginQueueCall(MQHCONN hconn, MQHOBJ hobj, const MQMD *md, MQLONG *compCodeP,
                         MQLONG *reasonP) {
    QueueCall call;
    call.connection = lockConnection(hconn, compCodeP, reasonP);
    if (!call.connection) {
        return call;
    }
    OpenQueue *open = findQueue(*call.connection.connection, hobj, compCodeP, reasonP);
    if (open == nullptr) {
        return call;
    }
    if (!isInitialisedMd(md)) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_MD_ERROR,
               "the message descriptor is missing or not initialised");
        return call;
    }
    call.queue = open;
    return call;
}

// ---- what the queue manager writes into every put ------------------------------------

struct PutContext {
    std::string user;
    std::string application;
    uint32_t randomPart = 0;
    pid_t pid = 0;
};

const PutContext &putContext() {
    static thread_local PutContext context;
    if (context.pid != ::getpid()) {
        context.pid = ::getpid();
        passwd entry{};
        passwd *found = nullptr;
        char buffer[4096];
        if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
            context.user = found->pw_name;
        } else {
            context.user = std::to_string(geteuid());
        }
        context.application =
            program_invocation_short_name != nullptr ? program_invocation_short_name : "";
        context.randomPart = static_cast<uint32_t>(std::random_device{}());
    }
    return context;
}

// A message identifier unique across processes and time: pid, a random part chosen per
// process and thread, the time in nanoseconds and a counter.
void newIdentifier(MQBYTE *id) {
    static std::atomic<uint64_t> counter{0};
    const PutContext &context = putContext();
    uint32_t pid = static_cast<uint32_t>(context.pid);
    uint64_t nanos =
        static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    uint64_t count = counter.fetch_add(1, std::memory_order_relaxed);
    std::memcpy(id, &pid, 4);
    std::memcpy(id + 4, &context.randomPart, 4);
    std::memcpy(id + 8, &nanos, 8);
    std::memcpy(id + 16, &count, 8);
}

void fillPutContext(MQMD &md) {
    const PutContext &context = putContext();
    setField(md.UserIdentifier, sizeof md.UserIdentifier, context.user);
    md.PutApplType = MQAT_LINUX;
    setField(md.PutApplName, sizeof md.PutApplName, context.application);
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto hundredths =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000 / 10;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d", (tm.tm_year + 1900) % 10000, tm.tm_mon + 1,
                  tm.tm_mday);
    setField(md.PutDate, sizeof md.PutDate, text);
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(hundredths));
    setField(md.PutTime, sizeof md.PutTime, text);
}

// Looks for dead holders, a deleted queue manager and a deleted queue. False with the
// failure when the get cannot go on; recovered tells whether messages came back.
bool housekeeping(Connection &connection, const OpenQueue &open, bool &recovered,
                  Failure &failure) {
    connection.lastHousekeeping = Clock::now();
    if (!connection.store->fileIntact(failure)) {
        return false;
    }
    if (!connection.store->stillPresent()) {
        failure = {MQRC_CONNECTION_BROKEN,
                   "queue manager " + connection.store->name() + " was deleted"};
        return false;
    }
    Failure ignored; // a busy store only postpones the recovery
    recovered = connection.store->recoverAbandoned(ignored) > 0;
    return connection.store->queueExists(open.queue.id, failure);
}

} // namespace

bool trevane::mq::ownUnitIsLive(int64_t unitOfWork) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.liveUnits.count(unitOfWork) != 0;
}

extern "C" {

void MQCONN(const char *qmgrName, MQHCONN *hconnP, MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    if (hconnP == nullptr) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_HCONN_ERROR, "no place for the handle");
        return;
    }
    *hconnP = MQHC_UNUSABLE_HCONN;
    std::string_view name = fieldText(qmgrName, MQ_Q_MGR_NAME_LENGTH);
    auto connection = std::make_shared<Connection>();
    Failure failure;
    connection->store = storeFor(name);
    if (!connection->store->open(name, failure)) {
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    connection->pid = ::getpid();
    connection->lastHousekeeping = Clock::now();
    MQHCONN handle;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        do {
            connection->unitOfWork = static_cast<int64_t>(r.random() >> 1);
        } while (connection->unitOfWork == 0 || r.liveUnits.count(connection->unitOfWork));
        r.liveUnits.insert(connection->unitOfWork);
        handle = nextHandle(r);
        r.connections.emplace(handle, connection);
    }
    {
        std::lock_guard lock(connection->mutex);
        Failure ignored; // recovery is retried by later gets
        connection->store->recoverAbandoned(ignored);
    }
    *hconnP = handle;
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQDISC(MQHCONN *hconnP, MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    if (hconnP == nullptr) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_HCONN_ERROR, "no handle given");
        return;
    }
    LockedConnection connection = lockConnection(*hconnP, compCodeP, reasonP, false);
    if (!connection) {
        return;
    }
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        r.connections.erase(*hconnP);
    }
    connection->closed = true;
    Failure failure;
    connection->pendingPuts.clear();
    bool backedOut =
        connection->pendingGets == 0 || connection->store->backOut(connection->unitOfWork, failure);
    connection->queues.clear();
    connection->store->close();
    {
        // Once the unit is no longer live, any connection of this process that looks for
        // abandoned work returns what a failed back-out left held.
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        r.liveUnits.erase(connection->unitOfWork);
    }
    *hconnP = MQHC_UNUSABLE_HCONN;
    if (!backedOut) {
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQOPEN(MQHCONN hconn, MQOD *od, MQLONG options, MQHOBJ *hobjP, MQLONG *compCodeP,
            MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    if (hobjP == nullptr) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_HOBJ_ERROR, "no place for the handle");
        return;
    }
    *hobjP = MQHO_UNUSABLE_HOBJ;
    LockedConnection connection = lockConnection(hconn, compCodeP, reasonP);
    if (!connection) {
        return;
    }
    if (od == nullptr || !hasStrucId(od->StrucId, MQOD_STRUC_ID) || od->Version != MQOD_VERSION_1) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_OD_ERROR,
               "the object descriptor is missing or not initialised");
        return;
    }
    if (od->ObjectType != MQOT_Q) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_OBJECT_TYPE_ERROR, "only queues open");
        return;
    }
    constexpr MQLONG known = MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_BROWSE | MQOO_OUTPUT |
                             MQOO_FAIL_IF_QUIESCING;
    constexpr MQLONG uses = MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED | MQOO_BROWSE | MQOO_OUTPUT;
    if ((options & ~known) != 0 || (options & uses) == 0 ||
        ((options & MQOO_INPUT_AS_Q_DEF) && (options & MQOO_INPUT_SHARED))) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_OPTIONS_ERROR,
               "open options " + std::to_string(options) + " are not valid");
        return;
    }
    std::string_view qmgr = fieldText(od->ObjectQMgrName, sizeof od->ObjectQMgrName);
    if (!qmgr.empty() && qmgr != connection->store->name()) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_UNKNOWN_OBJECT_Q_MGR,
               "queue manager " + std::string(qmgr) + " is not the connected one (" +
                   connection->store->name() + ")");
        return;
    }
    OpenQueue open;
    open.options = options;
    Failure failure;
    if (!connection->store->findQueue(fieldText(od->ObjectName, sizeof od->ObjectName), open.queue,
                                      failure)) {
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    MQHOBJ handle;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        handle = nextHandle(r);
    }
    connection->queues.emplace(handle, std::move(open));
    *hobjP = handle;
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQCLOSE(MQHCONN hconn, MQHOBJ *hobjP, MQLONG options, MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    if (hobjP == nullptr) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_HOBJ_ERROR, "no handle given");
        return;
    }
    LockedConnection connection = lockConnection(hconn, compCodeP, reasonP);
    if (!connection || findQueue(*connection.connection, *hobjP, compCodeP, reasonP) == nullptr) {
        return;
    }
    if (options != MQCO_NONE) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_OPTIONS_ERROR,
               "close options " + std::to_string(options) + " are not valid");
        return;
    }
    connection->queues.erase(*hobjP);
    *hobjP = MQHO_UNUSABLE_HOBJ;
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQPUT(MQHCONN hconn, MQHOBJ hobj, MQMD *md, MQPMO *pmo, MQLONG length, const void *buffer,
           MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    QueueCall call = beginQueueCall(hconn, hobj, md, compCodeP, reasonP);
    if (call.queue == nullptr) {
        return;
    }
    LockedConnection &connection = call.connection;
    OpenQueue *open = call.queue;
    auto refuse = [&](MQLONG reason, std::string detail) {
        report(compCodeP, reasonP, MQCC_FAILED, reason, std::move(detail));
    };
    if (pmo == nullptr || !hasStrucId(pmo->StrucId, MQPMO_STRUC_ID) ||
        pmo->Version != MQPMO_VERSION_1) {
        return refuse(MQRC_PMO_ERROR, "the put options are missing or not initialised");
    }
    constexpr MQLONG known = MQPMO_SYNCPOINT | MQPMO_NO_SYNCPOINT | MQPMO_NEW_MSG_ID |
                             MQPMO_NEW_CORREL_ID | MQPMO_FAIL_IF_QUIESCING;
    if ((pmo->Options & ~known) != 0 ||
        ((pmo->Options & MQPMO_SYNCPOINT) && (pmo->Options & MQPMO_NO_SYNCPOINT))) {
        return refuse(MQRC_OPTIONS_ERROR,
                      "put options " + std::to_string(pmo->Options) + " are not valid");
    }
    if (length < 0) {
        return refuse(MQRC_BUFFER_LENGTH_ERROR, "negative message length");
    }
    if (buffer == nullptr && length > 0) {
        return refuse(MQRC_BUFFER_ERROR, "no message data");
    }
    if ((open->options & MQOO_OUTPUT) == 0) {
        return refuse(MQRC_NOT_OPEN_FOR_OUTPUT,
                      "queue " + open->queue.name + " was not opened for output");
    }
    if (md->Priority < MQPRI_PRIORITY_AS_Q_DEF || md->Priority > MQPRI_MAX) {
        return refuse(MQRC_PRIORITY_ERROR, "priority " + std::to_string(md->Priority));
    }
    if (md->Persistence < MQPER_NOT_PERSISTENT || md->Persistence > MQPER_PERSISTENCE_AS_Q_DEF) {
        return refuse(MQRC_PERSISTENCE_ERROR, "persistence " + std::to_string(md->Persistence));
    }
    if (md->Expiry != MQEI_UNLIMITED && md->Expiry <= 0) {
        return refuse(MQRC_EXPIRY_ERROR, "expiry " + std::to_string(md->Expiry));
    }
    if (length > open->queue.attributes.maxMsgLength) {
        return refuse(MQRC_MSG_TOO_BIG_FOR_Q,
                      "message of " + std::to_string(length) + " bytes; queue " + open->queue.name +
                          " takes at most " + std::to_string(open->queue.attributes.maxMsgLength));
    }

    MQMD stored = *md;
    const mqQueueAttributes_t &defaults = open->queue.attributes;
    if (stored.Priority == MQPRI_PRIORITY_AS_Q_DEF) {
        stored.Priority = defaults.defaultPriority;
    }
    if (stored.Persistence == MQPER_PERSISTENCE_AS_Q_DEF) {
        stored.Persistence = defaults.defaultPersistence;
    }
    if (stored.CodedCharSetId == MQCCSI_Q_MGR) {
        stored.CodedCharSetId = MQCCSI_UTF8;
    }
    static constexpr MQBYTE none[MQ_MSG_ID_LENGTH] = {};
    if ((pmo->Options & MQPMO_NEW_MSG_ID) || std::memcmp(stored.MsgId, none, sizeof none) == 0) {
        newIdentifier(stored.MsgId);
    }
    if (pmo->Options & MQPMO_NEW_CORREL_ID) {
        newIdentifier(stored.CorrelId);
    }
    stored.BackoutCount = 0;
    fillPutContext(stored);

    Failure failure;
    if (pmo->Options & MQPMO_SYNCPOINT) {
        // Kept until the commit stores it with the rest of the unit, in one transaction.
        if (!connection->store->queueExists(open->queue.id, failure)) {
            reportFailure(compCodeP, reasonP, failure);
            return;
        }
        PendingPut pending;
        pending.queue = open->queue;
        pending.md = stored;
        pending.body.assign(static_cast<const char *>(buffer), buffer != nullptr ? length : 0);
        pending.putAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
        connection->pendingPuts.push_back(std::move(pending));
    } else if (!connection->store->put(open->queue, stored, buffer, length, failure)) {
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    std::memcpy(md->MsgId, stored.MsgId, sizeof md->MsgId);
    std::memcpy(md->CorrelId, stored.CorrelId, sizeof md->CorrelId);
    md->BackoutCount = 0;
    std::memcpy(md->UserIdentifier, stored.UserIdentifier, sizeof md->UserIdentifier);
    md->PutApplType = stored.PutApplType;
    std::memcpy(md->PutApplName, stored.PutApplName, sizeof md->PutApplName);
    std::memcpy(md->PutDate, stored.PutDate, sizeof md->PutDate);
    std::memcpy(md->PutTime, stored.PutTime, sizeof md->PutTime);
    setField(pmo->ResolvedQName, sizeof pmo->ResolvedQName, open->queue.name);
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQGET(MQHCONN hconn, MQHOBJ hobj, MQMD *md, MQGMO *gmo, MQLONG bufferLength, void *buffer,
           MQLONG *dataLengthP, MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    QueueCall call = beginQueueCall(hconn, hobj, md, compCodeP, reasonP);
    if (call.queue == nullptr) {
        return;
    }
    LockedConnection &connection = call.connection;
    OpenQueue *open = call.queue;
    auto refuse = [&](MQLONG reason, std::string detail) {
        report(compCodeP, reasonP, MQCC_FAILED, reason, std::move(detail));
    };
    if (gmo == nullptr || !hasStrucId(gmo->StrucId, MQGMO_STRUC_ID) ||
        gmo->Version != MQGMO_VERSION_1) {
        return refuse(MQRC_GMO_ERROR, "the get options are missing or not initialised");
    }
    MQLONG options = gmo->Options;
    constexpr MQLONG known = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_NO_SYNCPOINT |
                             MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT | MQGMO_ACCEPT_TRUNCATED_MSG |
                             MQGMO_FAIL_IF_QUIESCING;
    bool browsing = (options & (MQGMO_BROWSE_FIRST | MQGMO_BROWSE_NEXT)) != 0;
    if ((options & ~known) != 0 ||
        ((options & MQGMO_SYNCPOINT) && (options & MQGMO_NO_SYNCPOINT)) ||
        ((options & MQGMO_BROWSE_FIRST) && (options & MQGMO_BROWSE_NEXT)) ||
        (browsing && (options & MQGMO_SYNCPOINT))) {
        return refuse(MQRC_OPTIONS_ERROR,
                      "get options " + std::to_string(options) + " are not valid");
    }
    bool waiting = (options & MQGMO_WAIT) != 0;
    if (waiting && gmo->WaitInterval < MQWI_UNLIMITED) {
        return refuse(MQRC_WAIT_INTERVAL_ERROR,
                      "wait interval " + std::to_string(gmo->WaitInterval));
    }
    if (bufferLength < 0) {
        return refuse(MQRC_BUFFER_LENGTH_ERROR, "negative buffer length");
    }
    if (buffer == nullptr && bufferLength > 0) {
        return refuse(MQRC_BUFFER_ERROR, "no buffer");
    }
    if (dataLengthP == nullptr) {
        return refuse(MQRC_DATA_LENGTH_ERROR, "no place for the data length");
    }
    *dataLengthP = 0;
    if (browsing && (open->options & MQOO_BROWSE) == 0) {
        return refuse(MQRC_NOT_OPEN_FOR_BROWSE,
                      "queue " + open->queue.name + " was not opened for browsing");
    }
    if (!browsing && (open->options & (MQOO_INPUT_AS_Q_DEF | MQOO_INPUT_SHARED)) == 0) {
        return refuse(MQRC_NOT_OPEN_FOR_INPUT,
                      "queue " + open->queue.name + " was not opened for input");
    }

    GetRequest request;
    request.mode = (options & MQGMO_BROWSE_FIRST)  ? GetMode::BrowseFirst
                   : (options & MQGMO_BROWSE_NEXT) ? GetMode::BrowseNext
                   : (options & MQGMO_SYNCPOINT)   ? GetMode::Hold
                                                   : GetMode::Remove;
    request.unitOfWork = connection->unitOfWork;
    request.acceptTruncated = (options & MQGMO_ACCEPT_TRUNCATED_MSG) != 0;
    request.bufferLength = bufferLength;
    request.buffer = buffer;

    // The caller's descriptor changes only when a message is found.
    MQMD found = *md;
    MQLONG dataLength = 0;
    bool truncated = false;
    Failure failure;
    Store &store = *connection->store;
    auto attempt = [&] {
        failure = {};
        return store.get(open->queue, request, found, open->cursor, dataLength, truncated, failure);
    };

    bool unlimited = waiting && gmo->WaitInterval == MQWI_UNLIMITED;
    Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(waiting && !unlimited ? gmo->WaitInterval : 0);
    auto pause = std::chrono::milliseconds(1);
    Failure versionFailure; // an unreadable version only costs an extra look
    if (waiting) {
        static constexpr MQBYTE none[MQ_MSG_ID_LENGTH] = {};
        store.watch(open->queue, std::memcmp(found.MsgId, none, sizeof none) == 0 &&
                                     std::memcmp(found.CorrelId, none, sizeof none) == 0);
    }
    int64_t seenVersion = waiting ? store.dataVersion(versionFailure) : -1;
    bool got = attempt();
    while (!got && failure.reason == MQRC_NO_MSG_AVAILABLE) {
        bool recovered = false;
        if (Clock::now() - connection->lastHousekeeping >= HOUSEKEEPING_INTERVAL) {
            if (!housekeeping(*connection.connection, *open, recovered, failure)) {
                break;
            }
        }
        Clock::time_point now = Clock::now();
        if (!recovered) {
            if (!unlimited && now >= deadline) {
                failure = {MQRC_NO_MSG_AVAILABLE, {}};
                break;
            }
            auto sleep = unlimited ? pause : std::min<Clock::duration>(pause, deadline - now);
            store.waitForChange(std::chrono::ceil<std::chrono::milliseconds>(sleep));
            pause = std::min(pause * 2, LONGEST_POLL);
            // Another connection's commit changes the data version; without one there is
            // nothing new to find.
            int64_t version = store.dataVersion(versionFailure);
            if (version == seenVersion && version >= 0) {
                failure = {MQRC_NO_MSG_AVAILABLE, {}};
                continue;
            }
            seenVersion = version;
        }
        got = attempt();
    }

    if (!got && failure.reason != MQRC_TRUNCATED_MSG_FAILED) {
        if (failure.reason == MQRC_NO_MSG_AVAILABLE && failure.detail.empty()) {
            failure.detail = "no message on queue " + open->queue.name;
        }
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    *md = found;
    *dataLengthP = dataLength;
    setField(gmo->ResolvedQName, sizeof gmo->ResolvedQName, open->queue.name);
    if (!got) {
        report(compCodeP, reasonP, MQCC_FAILED, MQRC_TRUNCATED_MSG_FAILED,
               "message of " + std::to_string(dataLength) + " bytes; buffer of " +
                   std::to_string(bufferLength));
        return;
    }
    if (request.mode == GetMode::Hold) {
        ++connection->pendingGets;
    }
    if (truncated) {
        report(compCodeP, reasonP, MQCC_WARNING, MQRC_TRUNCATED_MSG_ACCEPTED,
               "message of " + std::to_string(dataLength) + " bytes; buffer of " +
                   std::to_string(bufferLength));
        return;
    }
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQCMIT(MQHCONN hconn, MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    LockedConnection connection = lockConnection(hconn, compCodeP, reasonP);
    if (!connection) {
        return;
    }
    Failure failure;
    // On failure the unit stays as it was: the caller may commit again or back out. A unit
    // stored whose flush failed has ended all the same: committing it again would store its
    // puts twice.
    if ((connection->pendingGets > 0 || !connection->pendingPuts.empty()) &&
        !connection->store->commit(connection->unitOfWork, connection->pendingPuts, failure)) {
        if (failure.stored) {
            connection->pendingGets = 0;
            connection->pendingPuts.clear();
        }
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    connection->pendingGets = 0;
    connection->pendingPuts.clear();
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

void MQBACK(MQHCONN hconn, MQLONG *compCodeP, MQLONG *reasonP) {
    if (compCodeP == nullptr || reasonP == nullptr) {
        return;
    }
    LockedConnection connection = lockConnection(hconn, compCodeP, reasonP);
    if (!connection) {
        return;
    }
    Failure failure;
    connection->pendingPuts.clear();
    if (connection->pendingGets > 0 &&
        !connection->store->backOut(connection->unitOfWork, failure)) {
        reportFailure(compCodeP, reasonP, failure);
        return;
    }
    connection->pendingGets = 0;
    report(compCodeP, reasonP, MQCC_OK, MQRC_NONE);
}

const char *mqReasonName(MQLONG reason) {
    switch (reason) {
#define REASON(name)                                                                               \
    case name:                                                                                     \
        return #name;
        REASON(MQRC_NONE)
        REASON(MQRC_CONNECTION_LOST)
        REASON(MQRC_HCONN_ERROR)
        REASON(MQRC_HOBJ_ERROR)
        REASON(MQRC_NO_MSG_AVAILABLE)
        REASON(MQRC_OPTIONS_ERROR)
        REASON(MQRC_Q_MGR_NAME_ERROR)
        REASON(MQRC_Q_MGR_UNREACHABLE)
        REASON(MQRC_TRUNCATED_MSG_ACCEPTED)
        REASON(MQRC_TRUNCATED_MSG_FAILED)
        REASON(MQRC_UNKNOWN_OBJECT_NAME)
        REASON(MQRC_BUFFER_ERROR)
        REASON(MQRC_BUFFER_LENGTH_ERROR)
        REASON(MQRC_OD_ERROR)
        REASON(MQRC_MD_ERROR)
        REASON(MQRC_PMO_ERROR)
        REASON(MQRC_GMO_ERROR)
        REASON(MQRC_OBJECT_TYPE_ERROR)
        REASON(MQRC_NOT_OPEN_FOR_INPUT)
        REASON(MQRC_NOT_OPEN_FOR_OUTPUT)
        REASON(MQRC_NOT_OPEN_FOR_BROWSE)
        REASON(MQRC_PRIORITY_ERROR)
        REASON(MQRC_PERSISTENCE_ERROR)
        REASON(MQRC_EXPIRY_ERROR)
        REASON(MQRC_WAIT_INTERVAL_ERROR)
        REASON(MQRC_MSG_TOO_BIG_FOR_Q)
        REASON(MQRC_UNKNOWN_OBJECT_Q_MGR)
        REASON(MQRC_Q_DELETED)
        REASON(MQRC_Q_MGR_NOT_AVAILABLE)
        REASON(MQRC_CONNECTION_BROKEN)
        REASON(MQRC_RESOURCE_PROBLEM)
        REASON(MQRC_OBJECT_ALREADY_EXISTS)
        REASON(MQRC_OBJECT_IN_USE)
        REASON(MQRC_OBJECT_NAME_ERROR)
        REASON(MQRC_DATA_LENGTH_ERROR)
        REASON(MQRC_Q_MGR_BUSY)
#undef REASON
    default:
        return "MQRC_UNKNOWN";
    }
}

const char *mqLastErrorDetail(void) {
    return lastDetail.c_str();
}

} // extern "C"
