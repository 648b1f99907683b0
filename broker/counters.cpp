/*
 * Counter blocks of the flow instances and the layout that places every node and output
 * terminal of a flow in them (see counters.h). The thread's current block, and the
 * counting on delivery and propagation, live with the message path in nodes.cpp.
 */
#include "broker/counters.h"

#include <cmath>

#include "broker/nodes.h"

namespace broker {

bool countersCompiledIn() {
    return TREVANE_FLOW_COUNTERS != 0;
}

uint64_t LatencySnapshot::count() const {
    uint64_t total = 0;
    for (uint64_t n : buckets) {
        total += n;
    }
    return total;
}

CounterLayout assignCounterSlots(Flow *flow) {
    CounterLayout layout;
    if (flow == nullptr) {
        return layout;
    }
    uint32_t next = 0;
    for (const auto &node : flow->nodes) {
        CounterLayout::Node entry{node->name, node->nodeClass.name, next, {}, {}};
        node->counterSlot = next;
        next += NODE_COUNTERS;
        for (const auto &terminal : node->outputs) {
            terminal->counterSlot = next;
            entry.outputs.push_back({terminal->name, next});
            ++next;
        }
        for (const auto &terminal : node->inputs) {
            entry.inputs.push_back(terminal->name);
        }
        layout.nodes.push_back(std::move(entry));
    }
    layout.size = next;
    return layout;
}

InstanceCounters::InstanceCounters(const CounterLayout &layout)
    : size_(layout.size), counts_(std::make_unique<Slot[]>(layout.size)) {
    for (const CounterLayout::Node &node : layout.nodes) {
        nodeSlots_.push_back(node.slot);
    }
}

void InstanceCounters::backOutUnit() {
    for (uint32_t slot : nodeSlots_) {
        if (slot < size_ && counts_[slot].unit == unit_ && unit_ != 0) {
            bump(counts_[slot + COUNT_BACKED_OUT].value);
        }
    }
}

void InstanceCounters::committed(double seconds) {
    size_t bucket = 0;
    while (bucket < LATENCY_BOUNDS.size() && seconds > LATENCY_BOUNDS[bucket]) {
        ++bucket;
    }
    bump(latency_[bucket]);
    const double nanoseconds = std::max(0.0, seconds) * 1e9;
    latencyNanoseconds_.store(latencyNanoseconds_.load(std::memory_order_relaxed) +
                                  static_cast<uint64_t>(std::llround(nanoseconds)),
                              std::memory_order_relaxed);
}

LatencySnapshot InstanceCounters::latency() const {
    LatencySnapshot snapshot;
    for (size_t i = 0; i < latency_.size(); ++i) {
        snapshot.buckets[i] = latency_[i].load(std::memory_order_relaxed);
    }
    snapshot.sumSeconds =
        static_cast<double>(latencyNanoseconds_.load(std::memory_order_relaxed)) / 1e9;
    return snapshot;
}

} // namespace broker
