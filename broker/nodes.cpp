/*
 * Node classes, flows, nodes and terminals of the stand-in broker, and the road of a
 * message between nodes: delivery to a node's evaluate slot, propagation through an
 * output terminal, and the routing of a node's exception to its "failure" terminal.
 *
 * Owns the factory and class registry (process-wide, locked), the flows and their
 * nodes (changed only while a flow is deployed), and the broker's identity. Plug-ins
 * reach it through cniCreateNodeFactory, cniDefineNodeClass, the terminal calls,
 * cniPropagate and cniGetBrokerInfo; the runtime and tests through host.h. Every call
 * into a node's slot is made here, inside a handler that keeps the broker's exceptions
 * (and any other C++ exception) from travelling further than the broker's own frames.
 */
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>

#include "broker/counters.h"
#include "broker/internal.h"
#include "broker/nodes.h"
#include "broker/text.h"

namespace broker {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::unique_ptr<CciFactory>> factories;
    std::map<std::string, NodeClass, std::less<>> classes;
    BrokerIdentity identity;
    CciFactory *builtins = nullptr;
};

// Lives for the whole process: plug-ins keep factory handles and class tables forever.
Registry &registry() {
    static Registry *instance = new Registry();
    return *instance;
}

thread_local std::vector<const CciNode *> runningNodes;
thread_local int deliveryDepth = 0;
thread_local PluginLibrary *loadingLibrary = nullptr;
thread_local InstanceCounters *countingInstance = nullptr;

// The message path's counting: a thread-local load and a test when the thread runs no
// flow instance, a relaxed load and store into the instance's own block when it does.
inline void countReceived([[maybe_unused]] const CciNode *node) {
#if TREVANE_FLOW_COUNTERS
    if (InstanceCounters *counters = countingInstance) {
        counters->received(node->counterSlot);
    }
#endif
}

inline void countException([[maybe_unused]] const CciNode *node) {
#if TREVANE_FLOW_COUNTERS
    if (InstanceCounters *counters = countingInstance) {
        counters->add(node->counterSlot, COUNT_EXCEPTIONS);
    }
#endif
}

inline void countPropagated([[maybe_unused]] const CciTerminal *terminal) {
#if TREVANE_FLOW_COUNTERS
    if (InstanceCounters *counters = countingInstance) {
        counters->add(terminal->counterSlot);
    }
#endif
}

// Marks the node as running on this thread for as long as the object lives.
class Running {
public:
    explicit Running(const CciNode *node) { runningNodes.push_back(node); }
    ~Running() { runningNodes.pop_back(); }
    Running(const Running &) = delete;
    Running &operator=(const Running &) = delete;
};

CciFactory *factoryNamed(Registry &r, std::string_view name) {
    for (auto &f : r.factories) {
        if (f->name == name) {
            return f.get();
        }
    }
    r.factories.push_back(std::make_unique<CciFactory>());
    r.factories.back()->name = std::string(name);
    return r.factories.back().get();
}

bool validTable(const CNI_VFT &table) {
    return std::memcmp(table.identifier, CNI_VFT_IDENTIFIER, 4) == 0 &&
           table.version == CNI_VFT_VERSION && table.iFpCreateContext != nullptr &&
           table.iFpEvaluate != nullptr;
}

// A define by `factory`: replaces a class of the same factory, refuses another's.
bool defineClass(CciFactory *factory, std::string_view name, const CNI_VFT &table) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto found = r.classes.find(name);
    if (found != r.classes.end() && found->second.factory != factory) {
        return false;
    }
    NodeClass c{std::string(name), toUtf16(name), table, factory};
    r.classes.insert_or_assign(std::string(name), c);
    return true;
}

CciTerminal *terminalNamed(const std::vector<std::unique_ptr<CciTerminal>> &list,
                           std::string_view name) {
    for (const auto &t : list) {
        if (t->name == name) {
            return t.get();
        }
    }
    return nullptr;
}

CciTerminal *createTerminal(int *returnCode, CciNode *node, const CciChar *name, bool input) {
    if (node == nullptr || node->magic != NODE_MAGIC) {
        if (returnCode != nullptr) {
            *returnCode = CCI_INV_OBJECT;
        }
        return nullptr;
    }
    if (name == nullptr || name[0] == 0) {
        if (returnCode != nullptr) {
            *returnCode = CCI_INV_DATA_POINTER;
        }
        return nullptr;
    }
    if (returnCode != nullptr) {
        *returnCode = CCI_SUCCESS;
    }
    std::string text = toUtf8(view16(name));
    auto &list = input ? node->inputs : node->outputs;
    if (CciTerminal *existing = terminalNamed(list, text)) {
        return existing;
    }
    auto terminal = std::make_unique<CciTerminal>();
    terminal->node = node;
    terminal->name = text;
    terminal->isInput = input;
    list.push_back(std::move(terminal));
    return list.back().get();
}

// The function named in the frame the broker adds when an exception leaves a node.
constexpr const char *BOUNDARY_FUNCTION = "broker::deliver";

ExceptionFrame boundaryFrame(const CciNode *node) {
    ExceptionFrame frame = brokerFrame(
        CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, BOUNDARY_FUNCTION, MSG_NODE_EXCEPTION,
        "Node '" + node->name + "' of class '" + node->nodeClass.name + "' raised an exception",
        {node->name, node->nodeClass.name});
    frame.nodeName = node->name;
    frame.nodeLabel = node->name;
    frame.nodeClass = node->nodeClass.name;
    return frame;
}

// Turns whatever a slot threw into a BrokerException.
BrokerException fromCurrentException(const CciNode *node, const char *slot) {
    try {
        throw;
    } catch (const BrokerException &e) {
        return e;
    } catch (const std::exception &e) {
        ExceptionFrame f =
            brokerFrame(CCI_FATAL_EXCEPTION, __FILE__, __LINE__, slot, MSG_NODE_EXCEPTION,
                        std::string("C++ exception from node: ") + e.what(),
                        {node->name, node->nodeClass.name});
        return BrokerException(std::move(f));
    } catch (...) {
        ExceptionFrame f =
            brokerFrame(CCI_FATAL_EXCEPTION, __FILE__, __LINE__, slot, MSG_NODE_EXCEPTION,
                        "unknown exception from node", {node->name, node->nodeClass.name});
        return BrokerException(std::move(f));
    }
}

void propagateOrThrow(CciTerminal *terminal, CciMessage *destinationList, CciMessage *exceptionList,
                      CciMessage *message, bool *delivered);

// Counts the deliveries nested on this thread, including those made through a failure
// terminal (the failing node has left runningNodes by then, its delivery has not ended).
class Nesting {
public:
    Nesting() { ++deliveryDepth; }
    ~Nesting() { --deliveryDepth; }
    Nesting(const Nesting &) = delete;
    Nesting &operator=(const Nesting &) = delete;
};

// Bytes of the calling thread's stack below the current frame; SIZE_MAX when unknown.
size_t stackLeft() {
    thread_local char *low = [] {
        pthread_attr_t attributes;
        void *address = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) {
            return static_cast<char *>(nullptr);
        }
        int rc = pthread_attr_getstack(&attributes, &address, &size);
        pthread_attr_destroy(&attributes);
        return rc == 0 ? static_cast<char *>(address) : nullptr;
    }();
    auto *here = static_cast<char *>(__builtin_frame_address(0));
    if (low == nullptr || here < low) {
        return SIZE_MAX;
    }
    return static_cast<size_t>(here - low);
}

// A flow that loops, or one too deep for the thread, ends here with an exception rather
// than with an overflowed stack. It is raised as though it had already crossed a node
// boundary, so every node on the way back hands it upstream, past its failure terminal:
// a failure path would only lead into the same loop again.
void checkDepth(const CciNode *node) {
    const bool tooDeep = deliveryDepth > MAX_PROPAGATION_DEPTH;
    if (!tooDeep && stackLeft() >= MIN_STACK_LEFT) {
        return;
    }
    std::string why =
        tooDeep ? "more than " + std::to_string(MAX_PROPAGATION_DEPTH) + " nested propagations"
                : "less than " + std::to_string(MIN_STACK_LEFT / 1024) +
                      " KiB of the thread's stack left";
    ExceptionFrame frame = brokerFrame(
        CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, BOUNDARY_FUNCTION, MSG_PROPAGATION_TOO_DEEP,
        "The message reached node '" + node->name + "' through " + std::to_string(deliveryDepth) +
            " nested propagations (" + why + "): the flow loops or is too deep",
        {node->name, std::to_string(deliveryDepth), std::to_string(MAX_PROPAGATION_DEPTH)});
    frame.nodeName = node->name;
    frame.nodeLabel = node->name;
    frame.nodeClass = node->nodeClass.name;
    auto raised = std::make_shared<BrokerException>(std::move(frame));
    setLastException(raised);
    throw BrokerException(*raised);
}

// Runs the node's evaluate slot. An exception the node raised goes to its attached
// "failure" terminal with a new exception list; otherwise, and for an exception that came
// back from further down the flow, it goes upstream with this node's frame added.
void deliverOrThrow(CciNode *node, CciMessage *destinationList, CciMessage *exceptionList,
                    CciMessage *message) {
    Nesting nesting;
    checkDepth(node);
    std::shared_ptr<BrokerException> caught;
    countReceived(node);
    try {
        Running running(node);
        node->nodeClass.table.iFpEvaluate(node->context, destinationList, exceptionList, message);
        return;
    } catch (...) {
        caught = std::make_shared<BrokerException>(fromCurrentException(node, "evaluate"));
    }
    // Only what this node raised itself goes to its "failure" terminal. An exception that
    // already crossed a node boundary was raised further down the flow, where that node's
    // own failure path had its chance: routing it here again would hand one failure to
    // two failure paths, and a quiet second pass would make the message look handled.
    const bool raisedDownstream =
        std::any_of(caught->frames.begin(), caught->frames.end(), [](const ExceptionFrame &frame) {
            return frame.function == BOUNDARY_FUNCTION;
        });
    if (!raisedDownstream) {
        countException(node);
    }
    caught->frames.push_back(boundaryFrame(node));
    CciTerminal *failure = terminalNamed(node->outputs, "failure");
    if (raisedDownstream || failure == nullptr || failure->connections.empty() ||
        message->context == nullptr) {
        setLastException(caught);
        throw BrokerException(*caught);
    }
    CciMessage *list = createExceptionList(message->context, *caught);
    try {
        bool delivered = false;
        propagateOrThrow(failure, destinationList, list, message, &delivered);
    } catch (...) {
        deleteMessage(list);
        throw;
    }
    deleteMessage(list);
}

void propagateOrThrow(CciTerminal *terminal, CciMessage *destinationList, CciMessage *exceptionList,
                      CciMessage *message, bool *delivered) {
    countPropagated(terminal);
    // The connections are fixed while the flow runs; iterate over a copy all the same,
    // so that a node that reconnects its own flow cannot invalidate the walk.
    std::vector<Connection> targets = terminal->connections;
    for (const Connection &c : targets) {
        deliverOrThrow(c.node, destinationList, exceptionList, message);
        *delivered = true;
    }
}

} // namespace

InstanceCounters *currentCounters() {
    return countingInstance;
}

CountersScope::CountersScope(InstanceCounters *counters) : previous_(countingInstance) {
    countingInstance = counters;
}

CountersScope::~CountersScope() {
    countingInstance = previous_;
}

const CciNode *currentNode() {
    return runningNodes.empty() ? nullptr : runningNodes.back();
}

bool findClass(std::string_view className, NodeClass &found) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.classes.find(className);
    if (it == r.classes.end()) {
        return false;
    }
    found = it->second;
    return true;
}

bool classExists(std::string_view className) {
    NodeClass ignored;
    return findClass(className, ignored);
}

void beginLibraryLoad(PluginLibrary *library) {
    loadingLibrary = library;
}
void endLibraryLoad() {
    loadingLibrary = nullptr;
}

void setBrokerIdentity(const BrokerIdentity &identity) {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    r.identity = identity;
}

BrokerIdentity brokerIdentity() {
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return r.identity;
}

void registerBuiltinClass(std::string_view className, const CNI_VFT &table) {
    if (!validTable(table)) {
        throw Error("built-in class '" + std::string(className) +
                    "': the node-class table needs \"NVFT\", version 1, a create-context and "
                    "an evaluate slot");
    }
    CciFactory *factory;
    {
        Registry &r = registry();
        std::lock_guard lock(r.mutex);
        if (r.builtins == nullptr) {
            r.builtins = factoryNamed(r, "TrevaneBrokerBuiltins");
        }
        factory = r.builtins;
    }
    if (!defineClass(factory, className, table)) {
        throw Error("built-in class '" + std::string(className) +
                    "': a plug-in factory already defines a class of that name");
    }
}

// ---- flows and nodes ---------------------------------------------------------------------

Flow *createFlow(std::string_view flowName) {
    auto *flow = new Flow();
    flow->name = std::string(flowName);
    return flow;
}

void deleteFlow(Flow *flow) {
    if (flow == nullptr) {
        return;
    }
    while (!flow->nodes.empty()) {
        deleteNode(flow->nodes.back().get());
    }
    delete flow;
}

CciNode *createNode(Flow *flow, std::string_view className, std::string_view nodeName) {
    if (flow == nullptr) {
        throw Error("createNode: no flow");
    }
    std::string what = "node '" + std::string(nodeName) + "' of class '" + std::string(className) +
                       "' in flow '" + flow->name + "'";
    if (findNode(flow, nodeName) != nullptr) {
        throw Error(what + ": the flow already has a node of that name");
    }
    auto node = std::make_unique<CciNode>();
    if (!findClass(className, node->nodeClass)) {
        throw Error(what + ": no factory defines the class");
    }
    node->flow = flow;
    node->name = std::string(nodeName);
    std::u16string classText = node->nodeClass.name16;
    try {
        Running running(node.get());
        node->context = node->nodeClass.table.iFpCreateContext(node->nodeClass.factory,
                                                               classText.data(), node.get());
    } catch (...) {
        BrokerException e = fromCurrentException(node.get(), "createContext");
        setLastException(std::make_shared<const BrokerException>(e));
        throw Error(what + " could not be created: " + e.what());
    }
    if (node->context == nullptr) {
        throw Error(what + " could not be created: its class answered no context");
    }
    flow->nodes.push_back(std::move(node));
    return flow->nodes.back().get();
}

void deleteNode(CciNode *node) {
    if (node == nullptr || node->magic != NODE_MAGIC) {
        return;
    }
    Flow *flow = node->flow;
    if (node->nodeClass.table.iFpDeleteContext != nullptr) {
        try {
            Running running(node);
            node->nodeClass.table.iFpDeleteContext(node->context);
        } catch (...) {
            BrokerException e = fromCurrentException(node, "deleteContext");
            LogEntry entry;
            entry.logType = CCI_LOG_WARNING;
            entry.file = "nodes.cpp";
            entry.function = "broker::deleteNode";
            entry.messageSource = BROKER_CATALOGUE;
            entry.messageNumber = MSG_NODE_EXCEPTION;
            entry.traceText = std::string("deleting the node raised: ") + e.what();
            entry.inserts = {node->name, node->nodeClass.name};
            writeLog(entry);
        }
    }
    for (auto &other : flow->nodes) {
        for (auto &out : other->outputs) {
            auto &c = out->connections;
            c.erase(std::remove_if(c.begin(), c.end(),
                                   [node](const Connection &x) { return x.node == node; }),
                    c.end());
        }
    }
    for (auto &out : node->outputs) {
        for (Connection &c : out->connections) {
            c.input->incoming--;
        }
    }
    auto &nodes = flow->nodes;
    nodes.erase(
        std::remove_if(nodes.begin(), nodes.end(),
                       [node](const std::unique_ptr<CciNode> &x) { return x.get() == node; }),
        nodes.end());
}

void setProperty(CciNode *node, std::string_view name, std::string_view value) {
    if (node == nullptr || node->magic != NODE_MAGIC) {
        throw Error("setProperty: no node");
    }
    std::string what = "property '" + std::string(name) + "' of node '" + node->name +
                       "' (class '" + node->nodeClass.name + "')";
    if (node->nodeClass.table.iFpSetAttribute == nullptr) {
        throw Error(what + ": the class takes no properties");
    }
    std::u16string name16 = toUtf16(name);
    std::u16string value16 = toUtf16(value);
    int answer = 0;
    try {
        Running running(node);
        answer =
            node->nodeClass.table.iFpSetAttribute(node->context, name16.data(), value16.data());
    } catch (...) {
        BrokerException e = fromCurrentException(node, "setAttribute");
        setLastException(std::make_shared<const BrokerException>(e));
        throw Error(what + " could not be set to '" + std::string(value) + "': " + e.what());
    }
    if (answer != CCI_ATTRIBUTE_OK) {
        throw Error(what + " could not be set to '" + std::string(value) + "': the node " +
                    (answer == CCI_ATTRIBUTE_UNKNOWN ? std::string("does not know it")
                                                     : "answered " + std::to_string(answer)));
    }
}

std::optional<std::string> getProperty(CciNode *node, std::string_view name) {
    if (node == nullptr || node->magic != NODE_MAGIC ||
        node->nodeClass.table.iFpGetAttribute == nullptr) {
        return std::nullopt;
    }
    std::u16string name16 = toUtf16(name);
    for (size_t units = 256; units <= 65536; units *= 4) {
        std::u16string buffer(units, u'\0');
        int answer;
        try {
            Running running(node);
            // The slot may write the value and its terminator: one unit more than the
            // size it is told.
            answer = node->nodeClass.table.iFpGetAttribute(
                node->context, name16.data(), buffer.data(), static_cast<int>(units - 1));
        } catch (...) {
            BrokerException e = fromCurrentException(node, "getAttribute");
            setLastException(std::make_shared<const BrokerException>(e));
            throw Error("property '" + std::string(name) + "' of node '" + node->name +
                        "' could not be read: " + e.what());
        }
        if (answer == CCI_ATTRIBUTE_OK) {
            buffer[units - 1] = 0;
            return toUtf8(view16(buffer.data()));
        }
        if (answer != CCI_BUFFER_TOO_SMALL) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

void connect(CciNode *from, std::string_view outputTerminal, CciNode *to,
             std::string_view inputTerminal) {
    if (from == nullptr || to == nullptr || from->magic != NODE_MAGIC || to->magic != NODE_MAGIC) {
        throw Error("connect: no node");
    }
    CciTerminal *out = terminalNamed(from->outputs, outputTerminal);
    if (out == nullptr) {
        throw Error("connect: node '" + from->name + "' (class '" + from->nodeClass.name +
                    "') has no output terminal '" + std::string(outputTerminal) + "'");
    }
    CciTerminal *in = terminalNamed(to->inputs, inputTerminal);
    if (in == nullptr) {
        throw Error("connect: node '" + to->name + "' (class '" + to->nodeClass.name +
                    "') has no input terminal '" + std::string(inputTerminal) + "'");
    }
    out->connections.push_back({to, in});
    in->incoming++;
}

std::string nodeName(const CciNode *node) {
    return node == nullptr ? "" : node->name;
}
std::string nodeClass(const CciNode *node) {
    return node == nullptr ? "" : node->nodeClass.name;
}
CciContext *nodeContext(const CciNode *node) {
    return node == nullptr ? nullptr : node->context;
}
Flow *nodeFlow(const CciNode *node) {
    return node == nullptr ? nullptr : node->flow;
}

CciNode *findNode(const Flow *flow, std::string_view name) {
    if (flow == nullptr) {
        return nullptr;
    }
    for (const auto &n : flow->nodes) {
        if (n->name == name) {
            return n.get();
        }
    }
    return nullptr;
}

std::vector<std::string> inputTerminals(const CciNode *node) {
    std::vector<std::string> names;
    for (const auto &t : node->inputs) {
        names.push_back(t->name);
    }
    return names;
}

std::vector<std::string> outputTerminals(const CciNode *node) {
    std::vector<std::string> names;
    for (const auto &t : node->outputs) {
        names.push_back(t->name);
    }
    return names;
}

CciTerminal *outputTerminal(const CciNode *node, std::string_view name) {
    return node == nullptr ? nullptr : terminalNamed(node->outputs, name);
}

int deliver(CciNode *node, CciMessage *destinationList, CciMessage *exceptionList,
            CciMessage *message) {
    if (node == nullptr || node->magic != NODE_MAGIC || asMessage(message) == nullptr) {
        throw Error("deliver: no node or no message");
    }
    try {
        deliverOrThrow(node, destinationList, exceptionList, message);
    } catch (const BrokerException &e) {
        setLastException(std::make_shared<const BrokerException>(e));
        return CCI_EXCEPTION;
    }
    return CCI_SUCCESS;
}

} // namespace broker

// ---- cni calls -----------------------------------------------------------------------------

using namespace broker;

namespace {

inline void setRc(int *returnCode, int value) {
    if (returnCode != nullptr) {
        *returnCode = value;
    }
}

void fillArea(CciStringArea &area, const std::string &text) {
    std::u16string wide = toUtf16(text);
    size_t bytes = area.bufferLength > 0 ? static_cast<size_t>(area.bufferLength) : 0;
    copyToBuffer16(wide, area.buffer, area.buffer == nullptr ? 0 : bytes);
    area.dataLength = static_cast<CciSize>(wide.size());
}

} // namespace

extern "C" {

CciFactory *cniCreateNodeFactory(int *returnCode, const CciChar *factoryName) {
    if (factoryName == nullptr || factoryName[0] == 0) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return nullptr;
    }
    setRc(returnCode, CCI_SUCCESS);
    Registry &r = registry();
    std::lock_guard lock(r.mutex);
    return factoryNamed(r, toUtf8(view16(factoryName)));
}

void cniDefineNodeClass(int *returnCode, CciFactory *factoryObject, const CciChar *nodeClassName,
                        const CNI_VFT *functionTable) {
    if (factoryObject == nullptr || factoryObject->magic != FACTORY_MAGIC) {
        setRc(returnCode, CCI_INV_OBJECT);
        return;
    }
    if (nodeClassName == nullptr || nodeClassName[0] == 0 || functionTable == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    std::string name = toUtf8(view16(nodeClassName));
    if (!validTable(*functionTable) || !defineClass(factoryObject, name, *functionTable)) {
        setRc(returnCode, CCI_FAILURE);
        return;
    }
    if (loadingLibrary != nullptr) {
        loadingLibrary->classes.push_back(name);
    }
    setRc(returnCode, CCI_SUCCESS);
}

CciTerminal *cniCreateInputTerminal(int *returnCode, CciNode *nodeObject,
                                    const CciChar *terminalName) {
    return createTerminal(returnCode, nodeObject, terminalName, true);
}

CciTerminal *cniCreateOutputTerminal(int *returnCode, CciNode *nodeObject,
                                     const CciChar *terminalName) {
    return createTerminal(returnCode, nodeObject, terminalName, false);
}

void cniGetBrokerInfo(int *returnCode, CciNode *nodeObject, CNI_BROKER_INFO_ST *brokerInfo) {
    if (nodeObject == nullptr || nodeObject->magic != NODE_MAGIC) {
        setRc(returnCode, CCI_INV_OBJECT);
        return;
    }
    if (brokerInfo == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return;
    }
    BrokerIdentity identity = brokerIdentity();
    fillArea(brokerInfo->brokerName, identity.brokerName);
    fillArea(brokerInfo->executionGroupName, identity.executionGroupName);
    fillArea(brokerInfo->messageFlowName,
             nodeObject->flow == nullptr ? "" : nodeObject->flow->name);
    fillArea(brokerInfo->queueManagerName, identity.queueManagerName);
    setRc(returnCode, CCI_SUCCESS);
}

CciBool cniIsTerminalAttached(int *returnCode, CciTerminal *terminal) {
    if (terminal == nullptr || terminal->magic != TERMINAL_MAGIC) {
        setRc(returnCode, CCI_INV_OBJECT);
        return 0;
    }
    setRc(returnCode, CCI_SUCCESS);
    return terminal->isInput ? terminal->incoming > 0 : !terminal->connections.empty();
}

CciBool cniPropagate(int *returnCode, CciTerminal *terminal, CciMessage *destinationList,
                     CciMessage *exceptionList, CciMessage *message) {
    if (terminal == nullptr || terminal->magic != TERMINAL_MAGIC || terminal->isInput) {
        setRc(returnCode, CCI_INV_OBJECT);
        return 0;
    }
    if (asMessage(message) == nullptr) {
        setRc(returnCode, CCI_INV_OBJECT);
        return 0;
    }
    setRc(returnCode, CCI_SUCCESS);
    bool delivered = false;
    try {
        propagateOrThrow(terminal, destinationList, exceptionList, message, &delivered);
    } catch (const BrokerException &e) {
        setLastException(std::make_shared<const BrokerException>(e));
        setRc(returnCode, CCI_EXCEPTION);
        return 0;
    }
    return delivered ? 1 : 0;
}

} // extern "C"
