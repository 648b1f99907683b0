/*
 * What a deployed flow has done so far, as the operator's console and /metrics show it:
 * each node's counters summed over the flow's instances, and each instance's own
 * totals and get-to-commit latency. Filled by DeployedFlow::statistics (runtime.cpp)
 * from the instances' counter blocks (broker/counters.h).
 */
#ifndef TREVANE_RUNTIME_STATISTICS_H
#define TREVANE_RUNTIME_STATISTICS_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "broker/counters.h"

namespace runtime {

struct NodeStatistics {
    std::string name;
    std::string className;
    uint64_t in = 0;         /* messages handed to the node (input nodes: taken) */
    uint64_t exceptions = 0; /* exceptions the node raised itself */
    uint64_t backedOut = 0;  /* units backed out after the message reached the node */
    std::vector<std::pair<std::string, uint64_t>> outputs; /* per output terminal */
    std::vector<std::string> inputs;                       /* input terminal names */
};

struct InstanceStatistics {
    std::string inputNode; /* the MQInput node the instance runs */
    int index = 0;         /* 0.. within that node */
    uint64_t committed = 0;
    uint64_t backedOut = 0;
    uint64_t movedToBackoutQueue = 0;
    bool reading = false; /* connected, input queue open, taking messages */
    broker::LatencySnapshot latency;
};

struct FlowStatistics {
    std::string flow;
    bool counting = broker::countersCompiledIn(); /* false in a build without counters */
    std::vector<NodeStatistics> nodes;            /* in the flow file's order */
    std::vector<InstanceStatistics> instances;    /* in the order they were started */
};

} // namespace runtime

#endif
