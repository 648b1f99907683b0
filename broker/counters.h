/*
 * Message counters of the running flows: what each node received, sent through each
 * output terminal, raised, and saw backed out, and how long each message took from get
 * to commit. Every flow instance (one thread) counts into a block of its own, so the
 * message path takes no lock and shares no cache line with another instance; a reader
 * (the operator's console) sums the blocks of all instances when it asks.
 *
 * The broker counts deliveries, propagations and exceptions itself (nodes.cpp) into the
 * block of the calling thread; the flow runtime gives each instance its block, marks the
 * start and end of each unit of work, and reads the sums. Built with
 * TREVANE_FLOW_COUNTERS=0 the broker and the runtime count nothing (benchmarks compare
 * both builds).
 */
#ifndef TREVANE_BROKER_COUNTERS_H
#define TREVANE_BROKER_COUNTERS_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "trevane/cni.h"

// The build sets it for the modules on the message path only (nodes.cpp, counters.cpp,
// the runtime's mqinput.cpp); everything else asks countersCompiledIn().
#ifndef TREVANE_FLOW_COUNTERS
#define TREVANE_FLOW_COUNTERS 1
#endif

namespace broker {

struct Flow;

/* A node or terminal that has no place in any counter block. */
inline constexpr uint32_t NO_COUNTER_SLOT = UINT32_MAX;

/* The counters of each node, from the node's slot on. */
enum NodeCounter : uint32_t {
    COUNT_IN = 0,         /* messages handed to the node (for an input node: taken) */
    COUNT_EXCEPTIONS = 1, /* exceptions the node raised itself */
    COUNT_BACKED_OUT = 2, /* units of work backed out after the message reached the node */
    NODE_COUNTERS = 3
};

/* Where a flow's counters sit in every instance's block: the node's counters at its
   slot, then one counter per output terminal. */
struct CounterLayout {
    struct Terminal {
        std::string name;
        uint32_t slot;
    };
    struct Node {
        std::string name;
        std::string className;
        uint32_t slot;
        std::vector<Terminal> outputs;
        std::vector<std::string> inputs; /* input terminal names (not counted) */
    };
    std::vector<Node> nodes; /* in the flow's order */
    uint32_t size = 0;       /* counters in a block */
};

/* Gives every node and output terminal of the flow its slot (in the flow's order, so a
   second call gives the same answer) and returns the layout. Call after the flow's
   nodes and terminals exist and before messages run. */
CounterLayout assignCounterSlots(Flow *flow);

/* Upper bounds, in seconds, of the get-to-commit latency buckets; a last bucket takes
   everything above the highest bound. */
inline constexpr std::array<double, 14> LATENCY_BOUNDS = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0};

/* A latency histogram as read: count per bucket (not cumulative; the last is above
   every bound) and the sum of all observations. */
struct LatencySnapshot {
    std::array<uint64_t, LATENCY_BOUNDS.size() + 1> buckets{};
    double sumSeconds = 0;
    uint64_t count() const;
};

/* The counters of one flow instance. Written only by the instance's own thread (a
   relaxed load and store, no read-modify-write and no lock), read by any thread. */
class InstanceCounters {
public:
    explicit InstanceCounters(const CounterLayout &layout);
    InstanceCounters(const InstanceCounters &) = delete;
    InstanceCounters &operator=(const InstanceCounters &) = delete;

    uint32_t size() const { return size_; }
    uint64_t value(uint32_t slot) const {
        return slot < size_ ? counts_[slot].value.load(std::memory_order_relaxed) : 0;
    }
    void add(uint32_t slot) {
        if (slot < size_) {
            bump(counts_[slot].value);
        }
    }
    /* Counts one of a node's counters (nothing for a node without a slot). */
    void add(uint32_t nodeSlot, NodeCounter counter) {
        if (nodeSlot < size_) {
            bump(counts_[nodeSlot + counter].value);
        }
    }

    /* A node of the current unit of work got the message: counted as in, and remembered
       for backOutUnit. */
    void received(uint32_t nodeSlot) {
        if (nodeSlot < size_) {
            bump(counts_[nodeSlot + COUNT_IN].value);
            counts_[nodeSlot].unit = unit_;
        }
    }
    /* A new unit of work begins with a message taken by the input node at inputSlot. */
    void beginUnit(uint32_t inputSlot) {
        ++unit_;
        received(inputSlot);
    }
    /* The current unit was backed out: every node it reached counts a back-out. */
    void backOutUnit();
    /* The current unit was committed `seconds` after its message was taken. */
    void committed(double seconds);

    LatencySnapshot latency() const;

private:
    struct alignas(16) Slot {
        std::atomic<uint64_t> value{0};
        uint64_t unit = 0; /* the last unit the node at this slot took part in */
    };
    static void bump(std::atomic<uint64_t> &counter) {
        counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    uint32_t size_;
    std::unique_ptr<Slot[]> counts_;
    std::vector<uint32_t> nodeSlots_;
    uint64_t unit_ = 0;
    std::array<std::atomic<uint64_t>, LATENCY_BOUNDS.size() + 1> latency_{};
    std::atomic<uint64_t> latencyNanoseconds_{0};
};

/* False in a build whose message path counts nothing (TREVANE_FLOW_COUNTERS=0). */
bool countersCompiledIn();

/* The counter block of the flow instance on the calling thread, or null. */
InstanceCounters *currentCounters();

/* Makes `counters` the calling thread's block for as long as the scope lives. */
class CountersScope {
public:
    explicit CountersScope(InstanceCounters *counters);
    ~CountersScope();
    CountersScope(const CountersScope &) = delete;
    CountersScope &operator=(const CountersScope &) = delete;

private:
    InstanceCounters *previous_;
};

} // namespace broker

#endif
