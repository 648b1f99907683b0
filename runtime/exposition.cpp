/*
 * Writing the exposition text (see exposition.h). Families come one after another, each
 * with its HELP and TYPE lines before its samples; label values are escaped as the
 * format asks (backslash, double quote, line feed).
 */
#include "runtime/exposition.h"

#include <cstdio>
#include <string_view>

namespace runtime {

namespace {

std::string escaped(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out.push_back(c);
        }
    }
    return out;
}

class Writer {
public:
    explicit Writer(std::string flow) : flow_(std::move(flow)) {}

    void family(const char *name, const char *type, const char *help) {
        text_ +=
            std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }

    /* A sample with the flow label and `labels` ("name", "value" pairs). */
    void sample(const std::string &name,
                std::initializer_list<std::pair<const char *, std::string>> labels,
                const std::string &value) {
        text_ += name + "{flow=\"" + escaped(flow_) + "\"";
        for (const auto &[label, labelValue] : labels) {
            text_ += std::string(",") + label + "=\"" + escaped(labelValue) + "\"";
        }
        text_ += "} " + value + "\n";
    }

    std::string &text() { return text_; }

private:
    std::string flow_;
    std::string text_;
};

std::string number(uint64_t value) {
    return std::to_string(value);
}

std::string number(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.9g", value);
    return buffer;
}

} // namespace

std::string expositionText(const FlowStatistics &statistics, const std::vector<FlowQueue> &queues,
                           bool up) {
    Writer w(statistics.flow);
    w.family("trevane_flow_up", "gauge",
             "1 while the flow is deployed and all its input instances are reading, else 0.");
    w.sample("trevane_flow_up", {}, up ? "1" : "0");

    w.family("trevane_node_messages_in_total", "counter",
             "Messages handed to a node (for an input node: messages taken from its queue).");
    for (const NodeStatistics &n : statistics.nodes) {
        w.sample("trevane_node_messages_in_total", {{"node", n.name}}, number(n.in));
    }
    w.family("trevane_node_terminal_messages_total", "counter",
             "Messages a node propagated through an output terminal (attached or not).");
    for (const NodeStatistics &n : statistics.nodes) {
        for (const auto &[terminal, count] : n.outputs) {
            w.sample("trevane_node_terminal_messages_total",
                     {{"node", n.name}, {"terminal", terminal}}, number(count));
        }
    }
    w.family("trevane_node_exceptions_total", "counter",
             "Exceptions a node raised itself (not those that came back from further down).");
    for (const NodeStatistics &n : statistics.nodes) {
        w.sample("trevane_node_exceptions_total", {{"node", n.name}}, number(n.exceptions));
    }
    w.family("trevane_node_backouts_total", "counter",
             "Units of work backed out after their message reached the node.");
    for (const NodeStatistics &n : statistics.nodes) {
        w.sample("trevane_node_backouts_total", {{"node", n.name}}, number(n.backedOut));
    }

    w.family("trevane_queue_depth", "gauge",
             "Messages on a queue of the flow that a get can take now.");
    for (const FlowQueue &q : queues) {
        if (q.depth >= 0) {
            w.sample("trevane_queue_depth", {{"queue", q.name}}, std::to_string(q.depth));
        }
    }
    w.family("trevane_queue_uncommitted_messages", "gauge",
             "Messages of a queue of the flow held in units of work not yet ended.");
    for (const FlowQueue &q : queues) {
        if (q.held >= 0) {
            w.sample("trevane_queue_uncommitted_messages", {{"queue", q.name}},
                     std::to_string(q.held));
        }
    }

    w.family("trevane_instance_commits_total", "counter",
             "Units of work a flow instance committed.");
    for (const InstanceStatistics &i : statistics.instances) {
        w.sample("trevane_instance_commits_total",
                 {{"node", i.inputNode}, {"instance", std::to_string(i.index)}},
                 number(i.committed));
    }
    w.family("trevane_instance_backouts_total", "counter",
             "Units of work a flow instance backed out (the message went back to its queue).");
    for (const InstanceStatistics &i : statistics.instances) {
        w.sample("trevane_instance_backouts_total",
                 {{"node", i.inputNode}, {"instance", std::to_string(i.index)}},
                 number(i.backedOut));
    }
    w.family("trevane_instance_backout_queue_moves_total", "counter",
             "Messages a flow instance moved to its input node's backout queue.");
    for (const InstanceStatistics &i : statistics.instances) {
        w.sample("trevane_instance_backout_queue_moves_total",
                 {{"node", i.inputNode}, {"instance", std::to_string(i.index)}},
                 number(i.movedToBackoutQueue));
    }
    w.family("trevane_instance_reading", "gauge",
             "1 while a flow instance has its connection and input queue open, else 0.");
    for (const InstanceStatistics &i : statistics.instances) {
        w.sample("trevane_instance_reading",
                 {{"node", i.inputNode}, {"instance", std::to_string(i.index)}},
                 i.reading ? "1" : "0");
    }

    w.family("trevane_flow_latency_seconds", "histogram",
             "Time from taking a message off the input queue to committing its unit of work.");
    for (const InstanceStatistics &i : statistics.instances) {
        const std::string index = std::to_string(i.index);
        uint64_t cumulative = 0;
        for (size_t b = 0; b < i.latency.buckets.size(); ++b) {
            cumulative += i.latency.buckets[b];
            std::string bound = b < broker::LATENCY_BOUNDS.size()
                                    ? number(broker::LATENCY_BOUNDS[b])
                                    : std::string("+Inf");
            w.sample("trevane_flow_latency_seconds_bucket",
                     {{"node", i.inputNode}, {"instance", index}, {"le", bound}},
                     number(cumulative));
        }
        w.sample("trevane_flow_latency_seconds_sum", {{"node", i.inputNode}, {"instance", index}},
                 number(i.latency.sumSeconds));
        w.sample("trevane_flow_latency_seconds_count", {{"node", i.inputNode}, {"instance", index}},
                 number(cumulative));
    }
    return std::move(w.text());
}

} // namespace runtime
