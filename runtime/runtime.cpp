/*
 * Deploying and running flows. Owns each deployed flow: the broker's flow and nodes made
 * from the flow file, the flow instances (one thread, one queue-manager connection and
 * one InputInstance per MQInput node and instance), the stop flag they watch, and the
 * deletion of every node context at undeploy. Deploy errors carry the flow file's name
 * and the line of the entry at fault. Called by main.cpp and the tests.
 */
#include "runtime/runtime.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "broker/host.h"
#include "runtime/builtin.h"
#include "runtime/builtins.h"

namespace runtime {

namespace {

std::string at(const FlowDefinition &definition, int line) {
    return definition.file + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": ";
}

std::string joined(const std::vector<std::string> &items) {
    std::string out;
    for (const std::string &item : items) {
        out += (out.empty() ? "" : ", ") + item;
    }
    return out.empty() ? "none" : out;
}

std::vector<std::string> searchPath(const RuntimeOptions &options) {
    std::vector<std::string> path = options.pluginPath;
    if (const char *fromEnvironment = std::getenv("TREVANE_PLUGIN_PATH")) {
        std::stringstream list(fromEnvironment);
        std::string directory;
        while (std::getline(list, directory, ':')) {
            if (!directory.empty()) {
                path.push_back(directory);
            }
        }
    }
    return path;
}

bool contains(const std::vector<std::string> &items, const std::string &item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

// Graphviz record labels treat these characters as structure.
std::string recordText(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (std::string_view("{}|<>\"\\ ").find(c) != std::string_view::npos) {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out + "\"";
}

} // namespace

struct DeployedFlow::State {
    FlowDefinition definition;
    std::string queueManager;
    int additionalInstances = 0;
    broker::Flow *flow = nullptr;
    broker::CounterLayout counterLayout;
    mutable std::mutex instancesMutex; /* instances while start() fills it; readers */
    std::vector<std::unique_ptr<InputInstance>> instances;
    std::vector<std::thread> threads;
    std::atomic<bool> stopping{false};
    std::atomic<bool> started{false};

    void fail(int line, const std::string &what) {
        broker::deleteFlow(flow);
        flow = nullptr;
        throw DeployError(at(definition, line) + what);
    }

    std::vector<std::string> loadLibraries(const RuntimeOptions &options) {
        std::vector<std::string> pluginClasses;
        const std::vector<std::string> path = searchPath(options);
        for (const LibraryEntry &library : definition.libraries) {
            std::string file = resolveLibrary(definition, library, path, options.defaultPluginPath);
            try {
                const broker::PluginLibrary &loaded = broker::loadPlugin(file);
                pluginClasses.insert(pluginClasses.end(), loaded.classes.begin(),
                                     loaded.classes.end());
            } catch (const broker::Error &e) {
                fail(library.line, e.what());
            }
        }
        return pluginClasses;
    }

    void createNodes(const std::vector<std::string> &pluginClasses) {
        for (const NodeDefinition &n : definition.nodes) {
            if (!broker::classExists(n.className)) {
                fail(n.line, "node '" + n.name + "': unknown class '" + n.className +
                                 "' (built-in classes: MQInput, MQOutput, Database, Trace; "
                                 "classes of this flow's libraries: " +
                                 joined(pluginClasses) + ")");
            }
            try {
                broker::createNode(flow, n.className, n.name);
            } catch (const broker::Error &e) {
                fail(n.line, e.what());
            }
        }
    }

    void applyProperties() {
        for (const NodeDefinition &n : definition.nodes) {
            CciNode *node = broker::findNode(flow, n.name);
            bool labelled = std::any_of(n.properties.begin(), n.properties.end(),
                                        [](const PropertySetting &p) { return p.name == "label"; });
            if (!labelled) {
                // A node is known by its label in logs and exceptions; a class that takes
                // no label simply does not get one.
                try {
                    broker::setProperty(node, "label", n.name);
                } catch (const broker::Error &) {
                    broker::clearLastException();
                }
            }
            for (const PropertySetting &p : n.properties) {
                try {
                    broker::setProperty(node, p.name, p.value);
                } catch (const broker::Error &e) {
                    fail(p.line, e.what());
                }
            }
            std::string problem = configurationProblem(node);
            if (!problem.empty()) {
                fail(n.line, "node '" + n.name + "' (class " + n.className + "): " + problem);
            }
        }
    }

    void connectTerminals() {
        for (const ConnectionDefinition &c : definition.connections) {
            CciNode *from = broker::findNode(flow, c.fromNode);
            CciNode *to = broker::findNode(flow, c.toNode);
            const std::string what = "connection " + c.fromNode + "." + c.fromTerminal + " -> " +
                                     c.toNode + "." + c.toTerminal + ": ";
            std::vector<std::string> outputs = broker::outputTerminals(from);
            if (!contains(outputs, c.fromTerminal)) {
                fail(c.line, what + "node '" + c.fromNode + "' (class " + broker::nodeClass(from) +
                                 ") has no output terminal '" + c.fromTerminal +
                                 "' (its output terminals: " + joined(outputs) + ")");
            }
            std::vector<std::string> inputs = broker::inputTerminals(to);
            if (!contains(inputs, c.toTerminal)) {
                fail(c.line, what + "node '" + c.toNode + "' (class " + broker::nodeClass(to) +
                                 ") has no input terminal '" + c.toTerminal +
                                 "' (its input terminals: " + joined(inputs) + ")");
            }
            try {
                broker::connect(from, c.fromTerminal, to, c.toTerminal);
            } catch (const broker::Error &e) {
                fail(c.line, what + e.what());
            }
        }
    }

    // A loop would pass a message round until the broker's depth bound stops it, every
    // time: refused here, naming each node and connection of the loop.
    void checkLoops() {
        std::vector<ConnectionDefinition> loop = findLoop(definition);
        if (loop.empty()) {
            return;
        }
        std::string nodes;
        std::string connections;
        for (const ConnectionDefinition &c : loop) {
            auto n = std::find_if(definition.nodes.begin(), definition.nodes.end(),
                                  [&](const NodeDefinition &d) { return d.name == c.fromNode; });
            nodes += (nodes.empty() ? "" : ", ") + c.fromNode + " (" +
                     at(definition, n == definition.nodes.end() ? 0 : n->line);
            nodes.resize(nodes.size() - 2); // at() ends in ": "
            nodes += ")";
            connections += (connections.empty() ? "" : ", ") + c.fromNode + "." + c.fromTerminal +
                           " -> " + c.toNode + "." + c.toTerminal + " (" + at(definition, c.line);
            connections.resize(connections.size() - 2);
            connections += ")";
        }
        fail(loop.front().line,
             "the connections make a loop, which would pass a message round it for ever: "
             "nodes " +
                 nodes + "; connections " + connections);
    }

    void checkQueueManager() {
        for (const NodeDefinition &n : definition.nodes) {
            if (usesQueueManager(broker::findNode(flow, n.name)) && queueManager.empty()) {
                fail(n.line, "node '" + n.name + "' (class " + n.className +
                                 ") needs a queue manager, and the flow names none (set "
                                 "queueManager in the flow file or --queue-manager)");
            }
        }
    }

    void stopThreads() {
        stopping = true;
        if (!threads.empty() && flow != nullptr) {
            for (const NodeDefinition &n : definition.nodes) {
                interruptNode(broker::findNode(flow, n.name));
            }
        }
        for (std::thread &t : threads) {
            if (t.joinable()) {
                t.join();
            }
        }
        threads.clear();
    }
};

DeployedFlow::DeployedFlow() : state_(std::make_unique<State>()) {}

DeployedFlow::~DeployedFlow() {
    undeploy();
}

std::unique_ptr<DeployedFlow> DeployedFlow::deploy(const FlowDefinition &definition,
                                                   const RuntimeOptions &options) {
    std::unique_ptr<DeployedFlow> deployed(new DeployedFlow());
    State &s = *deployed->state_;
    s.definition = definition;
    s.queueManager = options.queueManager.empty() ? definition.queueManager : options.queueManager;
    s.additionalInstances = options.additionalInstances >= 0 ? options.additionalInstances
                                                             : definition.additionalInstances;
    try {
        registerBuiltinNodes();
    } catch (const broker::Error &e) {
        throw DeployError(at(definition, 0) + e.what());
    }
    broker::BrokerIdentity identity;
    identity.brokerName = options.brokerName;
    identity.executionGroupName = options.executionGroup;
    if (!s.queueManager.empty()) {
        identity.queueManagerName = s.queueManager;
    }
    broker::setBrokerIdentity(identity);

    std::vector<std::string> pluginClasses = s.loadLibraries(options);
    s.flow = broker::createFlow(definition.name);
    s.createNodes(pluginClasses);
    s.applyProperties();
    s.connectTerminals();
    s.checkLoops();
    s.checkQueueManager();
    s.counterLayout = broker::assignCounterSlots(s.flow);

    int inputs = 0;
    for (const NodeDefinition &n : definition.nodes) {
        CciNode *node = broker::findNode(s.flow, n.name);
        if (!isInputNode(node)) {
            continue;
        }
        ++inputs;
        if (broker::getProperty(node, "backoutQueue").value_or("").empty()) {
            runtimeLog(CCI_LOG_WARNING, __FILE__, __LINE__, "DeployedFlow::deploy", MSG_DEPLOYED,
                       "Node '" + n.name + "' (class MQInput) has no backoutQueue: a message " +
                           "backed out as often as its backout threshold stays on queue '" +
                           inputQueueOf(node) + "' and holds up the messages behind it",
                       {definition.name, n.name});
        }
    }
    if (inputs == 0) {
        runtimeLog(CCI_LOG_WARNING, __FILE__, __LINE__, "DeployedFlow::deploy", MSG_DEPLOYED,
                   "Flow '" + definition.name +
                       "' has no MQInput node: it is deployed but takes no "
                       "messages",
                   {definition.name});
    }
    runtimeLog(CCI_LOG_INFORMATION, __FILE__, __LINE__, "DeployedFlow::deploy", MSG_DEPLOYED,
               "Flow '" + definition.name + "' deployed from " + definition.file + ": " +
                   std::to_string(definition.nodes.size()) + " node(s), " +
                   std::to_string(definition.connections.size()) + " connection(s), " +
                   std::to_string(s.additionalInstances) + " additional instance(s)",
               {definition.name, definition.file});
    return deployed;
}

void DeployedFlow::start() {
    State &s = *state_;
    if (s.started || s.flow == nullptr) {
        return;
    }
    std::vector<std::string> queues;
    std::unique_lock instancesLock(s.instancesMutex);
    for (const NodeDefinition &n : s.definition.nodes) {
        CciNode *node = broker::findNode(s.flow, n.name);
        if (!isInputNode(node)) {
            continue;
        }
        queues.push_back(inputQueueOf(node));
        for (int i = 0; i <= s.additionalInstances; ++i) {
            auto instance = std::make_unique<InputInstance>(node, s.queueManager);
            try {
                instance->open();
            } catch (const broker::Error &e) {
                s.instances.clear();
                throw DeployError(at(s.definition, n.line) + e.what());
            }
            s.instances.push_back(std::move(instance));
        }
    }
    instancesLock.unlock();
    s.stopping = false;
    for (auto &instance : s.instances) {
        InputInstance *running = instance.get();
        s.threads.emplace_back([running, &s] { running->run(s.stopping); });
    }
    s.started = true;
    runtimeLog(CCI_LOG_INFORMATION, __FILE__, __LINE__, "DeployedFlow::start", MSG_READY,
               "Flow '" + s.definition.name + "' is ready: " + std::to_string(s.threads.size()) +
                   " instance thread(s) reading queue(s) " + joined(queues) +
                   " of queue manager '" + s.queueManager + "'",
               {s.definition.name, s.queueManager});
}

void DeployedFlow::requestStop() {
    state_->stopping = true;
}

void DeployedFlow::wait() {
    state_->stopThreads();
}

void DeployedFlow::undeploy() {
    State &s = *state_;
    if (s.flow == nullptr) {
        return;
    }
    if (s.started) {
        runtimeLog(CCI_LOG_INFORMATION, __FILE__, __LINE__, "DeployedFlow::undeploy", MSG_STOPPING,
                   "Flow '" + s.definition.name + "' is stopping: messages in flight finish first",
                   {s.definition.name});
    }
    s.stopThreads();
    uint64_t done = committed();
    uint64_t undone = backedOut();
    for (auto &instance : s.instances) {
        instance->close(); // the counts stay readable after undeploy
    }
    broker::deleteFlow(s.flow);
    s.flow = nullptr;
    runtimeLog(CCI_LOG_INFORMATION, __FILE__, __LINE__, "DeployedFlow::undeploy", MSG_STOPPED,
               "Flow '" + s.definition.name +
                   "' stopped and every node context deleted: " + std::to_string(done) +
                   " message(s) committed, " + std::to_string(undone) + " backed out",
               {s.definition.name, std::to_string(done), std::to_string(undone)});
}

void DeployedFlow::writeGraph(std::ostream &out) const {
    const State &s = *state_;
    out << "digraph " << quoted(s.definition.name) << " {\n"
        << "    rankdir=LR;\n"
        << "    node [shape=record, fontname=\"Helvetica\"];\n"
        << "    edge [fontname=\"Helvetica\"];\n";
    for (const NodeDefinition &n : s.definition.nodes) {
        CciNode *node = s.flow == nullptr ? nullptr : broker::findNode(s.flow, n.name);
        std::vector<std::string> inputs =
            node == nullptr ? std::vector<std::string>() : broker::inputTerminals(node);
        std::vector<std::string> outputs =
            node == nullptr ? std::vector<std::string>() : broker::outputTerminals(node);
        std::string label = "{";
        if (!inputs.empty()) {
            label += "{";
            for (size_t i = 0; i < inputs.size(); ++i) {
                label += (i > 0 ? "|" : "") + std::string("<i_") + std::to_string(i) + "> " +
                         recordText(inputs[i]);
            }
            label += "}|";
        }
        label += "{" + recordText(n.name) + "|" + recordText(n.className) + "}";
        if (!outputs.empty()) {
            label += "|{";
            for (size_t i = 0; i < outputs.size(); ++i) {
                label += (i > 0 ? "|" : "") + std::string("<o_") + std::to_string(i) + "> " +
                         recordText(outputs[i]);
            }
            label += "}";
        }
        label += "}";
        out << "    " << quoted(n.name) << " [label=" << quoted(label) << "];\n";
    }
    for (const ConnectionDefinition &c : s.definition.connections) {
        CciNode *from = s.flow == nullptr ? nullptr : broker::findNode(s.flow, c.fromNode);
        CciNode *to = s.flow == nullptr ? nullptr : broker::findNode(s.flow, c.toNode);
        auto port = [](const std::vector<std::string> &names, const std::string &name,
                       const char *prefix) {
            auto found = std::find(names.begin(), names.end(), name);
            return found == names.end()
                       ? std::string()
                       : ":" + std::string(prefix) + std::to_string(found - names.begin());
        };
        std::string tail =
            from == nullptr ? "" : port(broker::outputTerminals(from), c.fromTerminal, "o_");
        std::string head =
            to == nullptr ? "" : port(broker::inputTerminals(to), c.toTerminal, "i_");
        out << "    " << quoted(c.fromNode) << tail << " -> " << quoted(c.toNode) << head
            << " [tooltip="
            << quoted(c.fromNode + "." + c.fromTerminal + " -> " + c.toNode + "." + c.toTerminal)
            << "];\n";
    }
    out << "}\n";
}

const FlowDefinition &DeployedFlow::definition() const {
    return state_->definition;
}
const std::string &DeployedFlow::queueManager() const {
    return state_->queueManager;
}

int DeployedFlow::threadCount() const {
    return static_cast<int>(state_->instances.size());
}

uint64_t DeployedFlow::committed() const {
    uint64_t total = 0;
    for (const auto &instance : state_->instances) {
        total += instance->counts().committed;
    }
    return total;
}

uint64_t DeployedFlow::backedOut() const {
    uint64_t total = 0;
    for (const auto &instance : state_->instances) {
        total += instance->counts().rolledBack;
    }
    return total;
}

std::vector<uint64_t> DeployedFlow::committedByInstance() const {
    std::vector<uint64_t> counts;
    for (const auto &instance : state_->instances) {
        counts.push_back(instance->counts().committed);
    }
    return counts;
}

FlowStatistics DeployedFlow::statistics() const {
    const State &s = *state_;
    FlowStatistics statistics;
    statistics.flow = s.definition.name;
    for (const broker::CounterLayout::Node &n : s.counterLayout.nodes) {
        NodeStatistics node;
        node.name = n.name;
        node.className = n.className;
        node.inputs = n.inputs;
        for (const broker::CounterLayout::Terminal &t : n.outputs) {
            node.outputs.emplace_back(t.name, 0);
        }
        statistics.nodes.push_back(std::move(node));
    }
    std::lock_guard lock(s.instancesMutex);
    std::map<std::string, int> perNode;
    for (const auto &instance : s.instances) {
        const broker::InstanceCounters &counters = instance->flowCounters();
        for (size_t i = 0; i < s.counterLayout.nodes.size(); ++i) {
            const broker::CounterLayout::Node &n = s.counterLayout.nodes[i];
            NodeStatistics &node = statistics.nodes[i];
            node.in += counters.value(n.slot + broker::COUNT_IN);
            node.exceptions += counters.value(n.slot + broker::COUNT_EXCEPTIONS);
            node.backedOut += counters.value(n.slot + broker::COUNT_BACKED_OUT);
            for (size_t t = 0; t < n.outputs.size(); ++t) {
                node.outputs[t].second += counters.value(n.outputs[t].slot);
            }
        }
        InstanceStatistics one;
        one.inputNode = instance->nodeName();
        one.index = perNode[one.inputNode]++;
        one.committed = instance->counts().committed;
        one.backedOut = instance->counts().rolledBack;
        one.movedToBackoutQueue = instance->counts().backedOutToQueue;
        one.reading = instance->reading();
        one.latency = counters.latency();
        statistics.instances.push_back(std::move(one));
    }
    return statistics;
}

bool DeployedFlow::inputsReading() const {
    const State &s = *state_;
    if (!s.started.load() || s.stopping.load()) {
        return false;
    }
    std::lock_guard lock(s.instancesMutex);
    return std::all_of(s.instances.begin(), s.instances.end(),
                       [](const auto &instance) { return instance->reading(); });
}

CciNode *DeployedFlow::node(const std::string &name) const {
    return state_->flow == nullptr ? nullptr : broker::findNode(state_->flow, name);
}

} // namespace runtime
