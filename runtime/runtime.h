/*
 * The flow runtime: deploys a flow described by a flow file into the stand-in broker
 * (loads its plug-in libraries, creates each node's context through its class table,
 * applies the properties, connects the terminals), runs it on its instances, stops it,
 * and deletes every node context again. Also draws the deployed flow as a Graphviz
 * diagram. Called by the trevane-broker command (main.cpp) and by the tests.
 */
#ifndef TREVANE_RUNTIME_RUNTIME_H
#define TREVANE_RUNTIME_RUNTIME_H

#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/flowfile.h"
#include "runtime/statistics.h"
#include "trevane/cni.h"

namespace broker {
struct Flow;
}

namespace runtime {

/* A flow that cannot be deployed or started. what() names the flow file and line when
   the problem belongs to one, and the node, terminal, property or library concerned. */
class DeployError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RuntimeOptions {
    std::string brokerName = "TREVANE_BROKER";
    std::string executionGroup = "default";
    std::string queueManager;            /* empty: the flow file's */
    int additionalInstances = -1;        /* negative: the flow file's */
    std::vector<std::string> pluginPath; /* directories for bare library names */
    /* Searched for bare library names after pluginPath, $TREVANE_PLUGIN_PATH and the
       flow file's directory: the installation's plug-in directory. */
    std::vector<std::string> defaultPluginPath;
};

/* A deployed flow. Destroying it stops it (when running) and deletes every node context,
   so a plug-in sees each of its contexts deleted exactly once. */
class DeployedFlow {
public:
    /* Deploys the flow: nothing is left behind when it fails (the contexts already made
       are deleted again). Throws DeployError. */
    static std::unique_ptr<DeployedFlow> deploy(const FlowDefinition &definition,
                                                const RuntimeOptions &options);
    ~DeployedFlow();
    DeployedFlow(const DeployedFlow &) = delete;
    DeployedFlow &operator=(const DeployedFlow &) = delete;

    /* Opens every instance's connection and input queue, then starts their threads.
       Throws DeployError (and starts nothing) when one cannot open its queue. */
    void start();
    /* Asks every instance to stop once its current message is done; returns at once. */
    void requestStop();
    /* Waits until every instance has stopped; then no node runs any more. */
    void wait();
    /* requestStop, wait, then deletes every node context; later calls do nothing. */
    void undeploy();

    /* The deployed flow as a Graphviz DOT diagram: nodes with their classes and
       terminals, connections from output to input terminal. */
    void writeGraph(std::ostream &out) const;

    const FlowDefinition &definition() const;
    const std::string &queueManager() const;
    /* Threads that run the flow: (additional instances + 1) per MQInput node. */
    int threadCount() const;
    /* Messages the instances committed and backed out so far. */
    uint64_t committed() const;
    uint64_t backedOut() const;
    /* Messages each instance committed, in the order the instances were made. */
    std::vector<uint64_t> committedByInstance() const;
    /* Every node's counters summed over the instances, and each instance's totals and
       latency. Safe to call from any thread at any time, also while the flow starts or
       stops: it locks only against start(), never against the message path. */
    FlowStatistics statistics() const;
    /* True while the flow is started, not stopping, and every instance has its
       connection and input queue open. */
    bool inputsReading() const;

    /* The broker's node of that name, or null (null after undeploy). */
    CciNode *node(const std::string &name) const;

private:
    DeployedFlow();
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace runtime

#endif
