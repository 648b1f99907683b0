/*
 * The stand-in broker's own interface, for the flow runtime and the tests (never for a
 * plug-in, which sees only cni.h).
 *
 * It covers what a broker does around the plug-in interface: message contexts, input
 * messages built from a descriptor and body bytes, output taken back apart, the log
 * and its catalogues, exceptions and exception lists, node classes (built-in and
 * loaded from plug-in libraries), flows, nodes, properties, connections and delivery.
 *
 * Errors of configuration (an unknown class, a library that cannot be loaded, a
 * property a node refuses) are thrown as host::Error with a text that names what
 * failed. Exceptions raised inside a flow travel as BrokerException, the broker's own
 * exception type; delivery catches them and answers CCI_EXCEPTION instead.
 *
 * Threads: contexts and their messages belong to one thread at a time. Flows may be
 * delivered to from several threads at once once deployed; creating nodes, setting
 * properties and connecting must not overlap deliveries to the same flow. The log, the
 * catalogues, the class registry and the loader lock for themselves.
 */
#ifndef TREVANE_BROKER_HOST_H
#define TREVANE_BROKER_HOST_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "trevane/cni.h"

namespace broker {

// ---- errors and exceptions -------------------------------------------------------------

/* A configuration or use error of the host interface. */
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/* One level of a broker exception: what was raised, and by which node when known. */
struct ExceptionFrame {
    int type = CCI_RECOVERABLE_EXCEPTION; /* CCI_*_EXCEPTION */
    std::string file;
    int line = 0;
    std::string function;
    std::string messageSource; /* catalogue name, UTF-8 */
    int messageNumber = 0;
    std::string traceText;
    std::vector<std::string> inserts;
    std::string nodeName; /* set on the frames the broker adds at node boundaries */
    std::string nodeLabel;
    std::string nodeClass;
};

/* The exception raised by cciThrowException and by the broker itself. frames[0] is the
   exception as first raised; each node it passed on its way upstream adds a frame. */
class BrokerException : public std::exception {
public:
    explicit BrokerException(ExceptionFrame first) { frames.push_back(std::move(first)); }
    std::vector<ExceptionFrame> frames;
    /* "<source> <number>: <catalogue text or trace text>" of the first frame. */
    const char *what() const noexcept override;

private:
    mutable std::string what_;
};

/* Names of the exception types: "RecoverableException", "ParserException"... */
const char *exceptionTypeName(int type);

/* The calling thread's last exception (raised, or caught by cniPropagate / deliver);
   null when there was none. */
std::shared_ptr<const BrokerException> lastException();
/* Makes `exception` the calling thread's last exception. */
void setLastException(std::shared_ptr<const BrokerException> exception);
/* Forgets the calling thread's last exception. */
void clearLastException();
/* Runs `operation`; a BrokerException it raises becomes the thread's last exception and
   is returned; null when it returned normally. Other exceptions pass through. */
std::shared_ptr<const BrokerException> guard(const std::function<void()> &operation);
/* The exception data record (as cciGetLastExceptionData gives it) of a frame. */
CCI_EXCEPTION_ST exceptionRecord(const ExceptionFrame &frame);

// ---- contexts and messages ---------------------------------------------------------------

/* A message context: the messages of one input message's journey through a flow and the
   environment tree they share. Deleting it deletes every message still in it. */
CciMessageContext *createContext();
void deleteContext(CciMessageContext *context);

/* A message with only a root element of that name ("Root" for an ordinary message,
   "ExceptionList", "LocalEnvironment"...). */
CciMessage *createTreeMessage(CciMessageContext *context, std::string_view rootName);

/* The message descriptor as the runtime and queue manager know it. Texts are held
   without their padding; the tree holds them blank-padded to their field widths. */
struct Descriptor {
    int32_t report = 0;
    int32_t msgType = 8;
    int32_t expiry = -1;
    int32_t feedback = 0;
    int32_t encoding = 546;
    int32_t codedCharSetId = 1208;
    std::string format; /* 8 */
    int32_t priority = 0;
    int32_t persistence = 0;
    std::array<uint8_t, 24> msgId{};
    std::array<uint8_t, 24> correlId{};
    int32_t backoutCount = 0;
    std::string replyToQ;       /* 48 */
    std::string replyToQMgr;    /* 48 */
    std::string userIdentifier; /* 12 */
    std::array<uint8_t, 32> accountingToken{};
    std::string applIdentityData; /* 32 */
    int32_t putApplType = 0;
    std::string putApplName;    /* 28 */
    std::string putDate;        /* 8, YYYYMMDD */
    std::string putTime;        /* 8, HHMMSSTH */
    std::string applOriginData; /* 4 */
};

/* An input message: root with Properties, MQMD filled from `descriptor`, and the body
   made by `parser` ("XML", "none" or "BLOB") from `body`. The message keeps descriptor
   and body as its bit stream. Malformed XML raises a BrokerException (ParserException
   with line and column in its inserts); an unknown parser raises host::Error. */
CciMessage *createInputMessage(CciMessageContext *context, const Descriptor &descriptor,
                               std::string_view body, std::string_view parser);

/* The descriptor held in the message's MQMD (defaults when it has none). A field of the
   wrong value type raises a BrokerException naming it. */
Descriptor descriptorOf(CciMessage *message);
/* The body bytes as they would be written: an XML body as its document (UTF-8), a BLOB
   as its bytes, nothing when the message has no body. Raises a BrokerException when the
   tree cannot be written (a name that is no XML name, a text with characters XML cannot
   hold). */
std::string bodyOf(CciMessage *message);

/* Builds a new exception list message in `context` describing `exception`: a root
   "ExceptionList" whose first child is the outermost frame, each frame nesting the one
   below it, Insert children carrying the inserts. */
CciMessage *createExceptionList(CciMessageContext *context, const BrokerException &exception);

// ---- the bit stream --------------------------------------------------------------------------

/* Size of the fixed descriptor that opens every bit stream. */
constexpr size_t BITSTREAM_DESCRIPTOR_SIZE = 328;
/* Lays out `descriptor` in the bit-stream form (docs/broker.md). */
std::string encodeDescriptor(const Descriptor &descriptor);
/* Reads a bit-stream descriptor back; false when `bytes` does not start with one. */
bool decodeDescriptor(std::string_view bytes, Descriptor &descriptor);

// ---- log -------------------------------------------------------------------------------

struct LogEntry {
    int logType = CCI_LOG_INFORMATION;
    std::string file;
    int line = 0;
    std::string function;
    std::string messageSource;
    int messageNumber = 0;
    std::string traceText;
    std::vector<std::string> inserts;
    std::string catalogueText; /* with inserts filled in; empty when no catalogue knows it */
};

/* Where log lines go: standard error unless a stream or file is set. The stream stays
   owned by the caller; a file set by name is opened for appending (Error when it
   cannot be). A null stream restores standard error. */
void setLogStream(FILE *stream);
void setLogFile(const std::string &path);
/* Hooks see every entry after it was written; addLogHook answers an id for removal. */
using LogHook = std::function<void(const LogEntry &)>;
int addLogHook(LogHook hook);
void removeLogHook(int id);
/* Writes an entry as cciLog does (catalogue text filled in when known). */
void writeLog(LogEntry entry);
/* The line the log receives for an entry. */
std::string formatLogLine(const LogEntry &entry);

/* Directory of the catalogues: one file <messageSource>.txt per source (default: the
   broker's own catalogues directory, or $TREVANE_CATALOGUE_PATH). */
void setCatalogueDirectory(const std::string &directory);
/* The catalogue text of a message with %1, %2... replaced by the inserts; empty when the
   catalogue or the number is unknown. */
std::string catalogueText(std::string_view messageSource, int messageNumber,
                          const std::vector<std::string> &inserts);

// ---- node classes, flows and nodes --------------------------------------------------------

/* Names a node asks for with cniGetBrokerInfo (the flow's name comes from its flow). */
struct BrokerIdentity {
    std::string brokerName = "TREVANE_BROKER";
    std::string executionGroupName = "default";
    std::string queueManagerName = "TREVANE_QM";
};
void setBrokerIdentity(const BrokerIdentity &identity);
BrokerIdentity brokerIdentity();

/* Registers a built-in node class under the broker's own factory. The table must carry
   "NVFT", version 1 and the create-context and evaluate slots (Error otherwise). A
   class of that name already defined is replaced. */
void registerBuiltinClass(std::string_view className, const CNI_VFT &table);

struct PluginLibrary {
    std::string path;
    CciFactory *factory = nullptr;
    std::vector<std::string> classes;
};
/* Loads a plug-in library and calls its bipGetMessageflowNodeFactory, once per process
   per library (a second load of the same file answers the first record). Error names
   the library and the reason (dlerror, a missing entry point, an exception the entry
   point raised). */
const PluginLibrary &loadPlugin(const std::string &path);

/* True when a class of that name has been defined by any factory. */
bool classExists(std::string_view className);

struct Flow;
/* A flow: a named set of nodes. Deleting it deletes its nodes. */
Flow *createFlow(std::string_view flowName);
void deleteFlow(Flow *flow);

/* Creates a node of the class in the flow: calls the class's create-context slot with
   the class name. Error when the class is unknown, the slot raises an exception (its
   text) or answers null. */
CciNode *createNode(Flow *flow, std::string_view className, std::string_view nodeName);
/* Calls the delete-context slot and forgets the node and its connections. */
void deleteNode(CciNode *node);
/* Applies a property through the set-attribute slot. Error with the exception text when
   the node raises one, or with the code when it answers non-zero. */
void setProperty(CciNode *node, std::string_view name, std::string_view value);
/* Reads a property through the get-attribute slot; empty when the node does not know it. */
std::optional<std::string> getProperty(CciNode *node, std::string_view name);
/* Connects an output terminal to an input terminal (Error when either is missing). */
void connect(CciNode *from, std::string_view outputTerminal, CciNode *to,
             std::string_view inputTerminal);

std::string nodeName(const CciNode *node);
std::string nodeClass(const CciNode *node);
CciContext *nodeContext(const CciNode *node);
Flow *nodeFlow(const CciNode *node);
CciNode *findNode(const Flow *flow, std::string_view nodeName);
std::vector<std::string> inputTerminals(const CciNode *node);
std::vector<std::string> outputTerminals(const CciNode *node);
/* The node's output terminal of that name, or null. */
CciTerminal *outputTerminal(const CciNode *node, std::string_view name);

/* How many deliveries may nest on one thread (a node propagating to a node propagating
   to ...). A flow that loops, or is deeper than this, gets a broker exception
   (TrevaneBroker 2007) at the node past the bound instead of exhausting the thread's
   stack; the exception goes upstream and passes every failure terminal on its way. The
   same exception is raised, earlier, when less than MIN_STACK_LEFT bytes of the
   thread's stack remain. */
inline constexpr int MAX_PROPAGATION_DEPTH = 256;
inline constexpr size_t MIN_STACK_LEFT = 256 * 1024;

/* Hands the message to the node's evaluate slot. When the node raises an exception and
   its "failure" terminal is attached, the original message goes there with a new
   exception list describing it; otherwise the exception is the caller's. Answers
   CCI_SUCCESS or CCI_EXCEPTION (the exception is then the thread's last exception). */
int deliver(CciNode *node, CciMessage *destinationList, CciMessage *exceptionList,
            CciMessage *message);

} // namespace broker

#endif
