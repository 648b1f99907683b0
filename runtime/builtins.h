/*
 * The broker's built-in node classes as the flow runtime sees them: registering them,
 * checking a deployed built-in node's configuration, and running an MQInput node's
 * flow instances. Called by runtime.cpp and by the tests; the classes themselves are
 * reached by the broker only through their node-class tables.
 */
#ifndef TREVANE_RUNTIME_BUILTINS_H
#define TREVANE_RUNTIME_BUILTINS_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "broker/counters.h"
#include "trevane/cni.h"

namespace runtime {

/* Class names of the built-in nodes. */
inline constexpr const char *MQINPUT_CLASS = "MQInput";
inline constexpr const char *MQOUTPUT_CLASS = "MQOutput";
inline constexpr const char *DATABASE_CLASS = "Database";
inline constexpr const char *TRACE_CLASS = "Trace";

/* Registers MQInput, MQOutput, Database and Trace with the broker; later calls do nothing.
   Throws broker::Error when a loaded plug-in already took one of the names. */
void registerBuiltinNodes();

/* True for a node of one of the classes above. */
bool isBuiltinNode(const CciNode *node);
/* True for an MQInput node. */
bool isInputNode(const CciNode *node);
/* True for a node that talks to the queue manager (MQInput, MQOutput). */
bool usesQueueManager(const CciNode *node);
/* Empty when a built-in node has every property it needs (always empty for other
   nodes), else what is missing. */
std::string configurationProblem(const CciNode *node);
/* The broker is stopping: a built-in node interrupts what would hold it up (a Database
   node its running statements, which then fail with SQLSTATE 57014 and back their
   messages out). Nothing for other nodes. */
void interruptNode(const CciNode *node);
/* The queue an MQInput node reads; empty for other nodes. */
std::string inputQueueOf(const CciNode *node);

/* The message tree as the Trace node writes it: one line per element, indented by
   depth, "name = value" with character values quoted. */
std::string dumpMessage(CciMessage *message);

/* Counts of what one instance did with the messages it took. */
struct InstanceCounts {
    std::atomic<uint64_t> committed{0};        /* flow finished, unit committed */
    std::atomic<uint64_t> rolledBack{0};       /* unit backed out: the message is back */
    std::atomic<uint64_t> backedOutToQueue{0}; /* moved to the backout queue */
};

/* One flow instance of an MQInput node: its own queue-manager connection, taking the
   input queue's messages under syncpoint and running each through the flow. */
class InputInstance {
public:
    /* `node` must be an MQInput node of a deployed flow. */
    InputInstance(CciNode *node, std::string queueManager);
    ~InputInstance();
    InputInstance(const InputInstance &) = delete;
    InputInstance &operator=(const InputInstance &) = delete;

    /* Connects and opens the input queue; throws broker::Error naming the queue
       manager, the queue and the reason. Takes no message. */
    void open();
    /* Takes messages until `stopping` is set, each in its own unit of work: committed
       when the flow handled it, backed out otherwise (never lost). Returns within about
       one wait interval of `stopping` being set, after the message in hand is done.
       Connection failures are logged and retried. */
    void run(const std::atomic<bool> &stopping);
    /* Disconnects (backing out nothing: run commits or backs out each message before it
       returns). The counts stay. */
    void close();

    const InstanceCounts &counts() const;
    /* The instance's counters per node and terminal, and its get-to-commit latency. */
    const broker::InstanceCounters &flowCounters() const;
    /* True while the instance is connected and its input queue open. */
    bool reading() const;
    /* The name of the MQInput node it runs (also after the flow is undeployed). */
    const std::string &nodeName() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace runtime

#endif
