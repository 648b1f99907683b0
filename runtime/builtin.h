/*
 * What the broker's built-in node classes (MQInput, MQOutput, Database, Trace) share:
 * the context record every one of them starts with, their property definitions and
 * checks, the node-class table that hands their slots to the broker (the same table a
 * plug-in hands over, so the broker runs both alike), raising exceptions from a
 * built-in node, and the queue-manager connection of the flow instance running on the
 * calling thread. Used only by the modules of runtime.
 */
#ifndef TREVANE_RUNTIME_BUILTIN_H
#define TREVANE_RUNTIME_BUILTIN_H

#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "broker/host.h"
#include "trevane/cni.h"
#include "trevane/mq.h"

namespace runtime {

/* The message source of the runtime's own log entries and exceptions. */
inline constexpr const char *RUNTIME_CATALOGUE = "TrevaneRuntime";

/* Numbers of the runtime's log entries and exceptions. */
enum RuntimeMessage {
    MSG_PROPERTY_INVALID = 3001,
    MSG_MQ_FAILURE = 3002,
    MSG_STATEMENT_FAILED = 3003,
    MSG_DATABASE_ERROR = 3004,
    MSG_BACKOUT_THRESHOLD = 3005,
    MSG_NO_CONNECTION = 3006,
    MSG_NO_INPUT_TERMINAL = 3007,
    MSG_DEPLOYED = 3010,
    MSG_READY = 3011,
    MSG_STOPPING = 3012,
    MSG_STOPPED = 3013,
    MSG_ROLLED_BACK = 3014,
    MSG_BACKOUT_QUEUE = 3015,
    MSG_INPUT_PROBLEM = 3016,
    MSG_PARSE_FAILED = 3017,
    MSG_TRACE_FAILED = 3018,
    MSG_NOT_ROUTED = 3019,
    MSG_CONSOLE = 3020,
};

/* A property of a built-in class. */
struct PropertyDefinition {
    const char *name;
    const char *defaultValue; /* null: the flow must set it */
    /* Empty when the value is acceptable, else why not; null accepts any text. */
    std::string (*check)(std::string_view value);
};

/* Checks shared by several classes. */
std::string checkNotEmpty(std::string_view value);
std::string checkBoolean(std::string_view value);
/* A name the queue manager gives a queue (its own rule); checkOptionalQueueName also
   takes an empty value. */
std::string checkQueueName(std::string_view value);
std::string checkOptionalQueueName(std::string_view value);
/* A whole number within [low, high]; parseNumber reads one the check accepted. */
std::string checkNumber(std::string_view value, long low, long high);
long parseNumber(std::string_view value);
bool parseBoolean(std::string_view value);

/* The context of every built-in node: its broker node, its class, and its properties.
   Properties are set while the flow is deployed and only read while it runs. */
class BuiltinNode {
public:
    BuiltinNode(CciNode *node, std::string className,
                std::span<const PropertyDefinition> definitions);
    virtual ~BuiltinNode() = default;
    BuiltinNode(const BuiltinNode &) = delete;
    BuiltinNode &operator=(const BuiltinNode &) = delete;

    /* The evaluate slot. May raise a broker::BrokerException. */
    virtual void evaluate(CciMessage *destinationList, CciMessage *exceptionList,
                          CciMessage *message) = 0;
    /* Called after a property was stored, so a class can keep a typed copy. */
    virtual void propertyChanged(std::string_view /*name*/) {}

    /* Stores a property: CCI_ATTRIBUTE_UNKNOWN for a name the class does not take;
       raises an exception naming the node, property and reason for a bad value. */
    int setProperty(std::string_view name, std::string_view value);
    /* The value, the default when unset, empty when unknown. */
    std::string property(std::string_view name) const;
    const std::map<std::string, std::string, std::less<>> &properties() const { return values_; }
    std::span<const PropertyDefinition> definitions() const { return definitions_; }
    /* Empty when every property without a default has been set, else what is missing.
       A class may check more at deploy (the Database node reaches its data source). */
    virtual std::string configurationProblem();
    /* The broker is stopping: interrupt any work that would hold it up (a running SQL
       statement). Called from another thread than the ones running the node. */
    virtual void interrupt() {}

    CciNode *node() const { return node_; }
    const std::string &className() const { return className_; }
    /* The node's name in its flow, and its label (the name unless "label" was set). */
    std::string name() const;
    std::string label() const;

    /* An input terminal "in", or the output terminal of that name, made on the node. */
    CciTerminal *addInput(const char16_t *name);
    CciTerminal *addOutput(const char16_t *name);

    /* A frame describing this node, for raising or for exception lists. */
    broker::ExceptionFrame frame(int type, const char *file, int line, const char *function,
                                 int number, std::string text,
                                 std::vector<std::string> inserts = {}) const;

private:
    CciNode *node_;
    std::string className_;
    std::span<const PropertyDefinition> definitions_;
    std::map<std::string, std::string, std::less<>> values_;
};

/* Raises an exception of the runtime's catalogue from a built-in node; does not return.
   `frames` nest as the broker's exceptions do: frames[0] was raised first. */
[[noreturn]] void raiseFrames(std::vector<broker::ExceptionFrame> frames);

/* Registers a built-in class with the broker: its node-class table carries the shared
   slots, and `make` builds a context of the class for a new node. Throws broker::Error
   when the broker refuses the class. */
void registerBuiltin(std::string_view className, CciContext *(*make)(CciNode *node));

template <class T> void registerBuiltin(std::string_view className) {
    registerBuiltin(className, [](CciNode *node) -> CciContext * { return new T(node); });
}

/* Registration of each built-in class (mqinput.cpp, mqoutput.cpp, database.cpp,
   tracenode.cpp), called once by registerBuiltinNodes. */
void registerMQInputClass();
void registerMQOutputClass();
void registerDatabaseClass();
void registerTraceClass();

/* The built-in node behind a broker node, or null when its class is not built in. */
BuiltinNode *builtinOf(const CciNode *node);

// ---- exception lists built by a node --------------------------------------------------

/* One insert of an exception-list entry: its value type (CCI_VALUE_TYPE_INTEGER or
   CCI_VALUE_TYPE_CHAR, as a driver reports it) and its text. */
struct TypedInsert {
    int type;
    std::string text;
};

/* One exception of a list, with the exceptions nested below it. */
struct ListEntry {
    broker::ExceptionFrame frame; /* frame.inserts is not used: see inserts */
    std::vector<TypedInsert> inserts;
};

/* A new "ExceptionList" message in the message's context whose first child is
   entries[0], each following entry nested inside the one before (the innermost last),
   each with the broker's fields and its typed inserts. The caller deletes it with
   cniDeleteMessage. Throws broker::Error when the message has no context. */
CciMessage *buildExceptionList(CciMessage *message, const std::vector<ListEntry> &entries);

// ---- the queue-manager connection of a flow instance ---------------------------------

/* A connection to a queue manager, owned by one flow instance (one thread). MQInput
   gets under syncpoint on it and MQOutput puts on it, so that one commit ends both. */
class QueueConnection {
public:
    /* Connects; throws broker::Error naming the queue manager and reason. */
    explicit QueueConnection(std::string queueManager);
    ~QueueConnection();
    QueueConnection(const QueueConnection &) = delete;
    QueueConnection &operator=(const QueueConnection &) = delete;

    MQHCONN handle() const { return handle_; }
    const std::string &queueManager() const { return queueManager_; }
    /* The queue opened for output on this connection (opened once, then kept).
       False with the reason code when it cannot be opened. */
    bool outputQueue(const std::string &name, MQHOBJ &queue, MQLONG &reason);
    /* True while an input message's unit of work is open: puts join it. */
    bool inUnitOfWork = false;
    /* An exception that came back to a built-in node from a path it propagated to. The
       broker may hand such an exception to the node's failure terminal as though the
       node had raised it, and that second path may end quietly; the input node must not
       commit the unit then. Cleared by the input node for each message. */
    std::shared_ptr<const broker::BrokerException> downstreamFailure;

    /* Work of another resource manager that ends with the input message's unit of work
       (a Database node's transaction). `owner` identifies it, so a node joins once. */
    struct UnitMember {
        const void *owner;
        /* true: commit (false with `why` when that failed), false: roll back. */
        std::function<bool(bool commit, std::string &why)> end;
    };
    /* Joins `member` to the open unit of work, unless its owner already joined. */
    void joinUnit(UnitMember member);
    /* Ends the members in the order they joined: with `commit` each commits until one
       fails (`why` says which and why), then the rest roll back; false then. Without
       `commit` all roll back. Afterwards the unit has no members. */
    bool endUnitMembers(bool commit, std::string &why);
    bool hasUnitMembers() const { return !members_.empty(); }

private:
    std::string queueManager_;
    MQHCONN handle_ = MQHC_UNUSABLE_HCONN;
    std::map<std::string, MQHOBJ> outputs_;
    std::vector<UnitMember> members_;
};

/* The connection of the flow instance running on the calling thread, or null. */
QueueConnection *currentConnection();

/* Records the calling thread's last exception as having come back from a path that a
   built-in node propagated to (see QueueConnection::downstreamFailure); nothing outside
   a flow instance. */
void noteDownstreamFailure();

/* Propagates through `terminal` when it is attached; an exception from downstream is
   noted (noteDownstreamFailure) and raised again. */
void propagateOrRethrow(CciTerminal *terminal, CciMessage *destinationList,
                        CciMessage *exceptionList, CciMessage *message);

/* Makes `connection` the calling thread's for as long as the scope lives. */
class ConnectionScope {
public:
    explicit ConnectionScope(QueueConnection *connection);
    ~ConnectionScope();
    ConnectionScope(const ConnectionScope &) = delete;
    ConnectionScope &operator=(const ConnectionScope &) = delete;

private:
    QueueConnection *previous_;
};

/* "MQPUT failed on queue 'Q' of queue manager 'M': completion code 2, reason 2085
   (MQRC_UNKNOWN_OBJECT_NAME)" with the queue manager's explanation when it has one. */
std::string mqFailure(const char *call, const std::string &queue, const std::string &queueManager,
                      MQLONG compCode, MQLONG reason);

/* Writes a log entry of the runtime's catalogue; `file` may be a full path (only its
   last part is kept). */
void runtimeLog(int logType, const char *file, int line, const char *function, int number,
                std::string text, std::vector<std::string> inserts = {});

/* Hex text of bytes ("414D51..."). */
std::string hexText(const void *bytes, size_t size);

} // namespace runtime

#endif
