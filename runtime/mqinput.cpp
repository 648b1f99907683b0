/*
 * The MQInput node and its flow instances. The node holds the input queue's settings
 * (queue, backout threshold and queue, wait interval, message domain) and its terminals
 * "out", "failure" and "catch"; an InputInstance runs one copy of the flow: it takes a
 * message under syncpoint on its own connection, builds the input message, propagates
 * it, and ends the unit of work. The unit is committed only when some path handled the
 * message; everything else is backed out, so a message is never lost, and the backout
 * threshold keeps a message that always fails from blocking the queue for ever.
 *
 * Called by the runtime (runtime.cpp), which creates the instances and their threads.
 */
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "broker/counters.h"
#include "runtime/builtin.h"
#include "runtime/builtins.h"

namespace runtime {

namespace {

constexpr size_t FIRST_BUFFER_SIZE = 64 * 1024;
// A message that keeps failing (or keeps killing the process: the queue manager backs a
// dead process's message out too) is taken out of the flow's way after this many tries.
// There is no "no limit": a backout threshold of 0 stands for this default.
constexpr long DEFAULT_BACKOUT_THRESHOLD = 5;
constexpr auto LONGEST_PAUSE = std::chrono::milliseconds(2000);

std::string checkThreshold(std::string_view value) {
    return checkNumber(value, 0, 1000000);
}
std::string checkWait(std::string_view value) {
    return checkNumber(value, 10, 60000);
}

std::string checkDomain(std::string_view value) {
    return value == "XML" || value == "BLOB" || value == "none" ? ""
                                                                : "it must be XML, BLOB or none";
}

constexpr PropertyDefinition MQINPUT_PROPERTIES[] = {
    {"queueName", nullptr, checkQueueName},       {"backoutThreshold", "5", checkThreshold},
    {"backoutQueue", "", checkOptionalQueueName}, {"waitInterval", "200", checkWait},
    {"messageDomain", "XML", checkDomain},        {"label", "", nullptr},
};

class MQInputNode : public BuiltinNode {
public:
    explicit MQInputNode(CciNode *node) : BuiltinNode(node, MQINPUT_CLASS, MQINPUT_PROPERTIES) {
        out = addOutput(u"out");
        failure = addOutput(u"failure");
        catchTerminal = addOutput(u"catch");
    }

    // Nothing is connected to an input node: messages come from its queue.
    void evaluate(CciMessage *, CciMessage *, CciMessage *) override {
        raiseFrames(
            {frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "MQInputNode::evaluate",
                   MSG_NO_INPUT_TERMINAL,
                   "Node '" + name() + "' (class MQInput) has no input terminal", {name()})});
    }

    CciTerminal *out;
    CciTerminal *failure;
    CciTerminal *catchTerminal;
};

MQInputNode *inputNodeOf(const CciNode *node) {
    return broker::nodeClass(node) == MQINPUT_CLASS ? static_cast<MQInputNode *>(builtinOf(node))
                                                    : nullptr;
}

// A fixed-width field as the caller meant it: up to its width or a zero byte, trailing
// blanks dropped.
std::string field(const char *text, size_t width) {
    size_t n = 0;
    while (n < width && text[n] != '\0') {
        ++n;
    }
    while (n > 0 && text[n - 1] == ' ') {
        --n;
    }
    return std::string(text, n);
}

broker::Descriptor descriptorOf(const MQMD &md) {
    broker::Descriptor d;
    d.report = md.Report;
    d.msgType = md.MsgType;
    d.expiry = md.Expiry;
    d.feedback = md.Feedback;
    d.encoding = md.Encoding;
    d.codedCharSetId = md.CodedCharSetId;
    d.format = field(md.Format, sizeof md.Format);
    d.priority = md.Priority;
    d.persistence = md.Persistence;
    std::memcpy(d.msgId.data(), md.MsgId, d.msgId.size());
    std::memcpy(d.correlId.data(), md.CorrelId, d.correlId.size());
    d.backoutCount = md.BackoutCount;
    d.replyToQ = field(md.ReplyToQ, sizeof md.ReplyToQ);
    d.replyToQMgr = field(md.ReplyToQMgr, sizeof md.ReplyToQMgr);
    d.userIdentifier = field(md.UserIdentifier, sizeof md.UserIdentifier);
    d.putApplType = md.PutApplType;
    d.putApplName = field(md.PutApplName, sizeof md.PutApplName);
    d.putDate = field(md.PutDate, sizeof md.PutDate);
    d.putTime = field(md.PutTime, sizeof md.PutTime);
    return d;
}

// Deletes a message context, and every message made in it, when the scope ends.
class ContextScope {
public:
    ContextScope() : context(broker::createContext()) {}
    ~ContextScope() { broker::deleteContext(context); }
    ContextScope(const ContextScope &) = delete;
    ContextScope &operator=(const ContextScope &) = delete;
    CciMessageContext *context;
};

bool attached(CciTerminal *terminal) {
    int rc = 0;
    return terminal != nullptr && cniIsTerminalAttached(&rc, terminal) != 0;
}

enum class Outcome { Commit, BackOut };

// Fault injection for the tests of the commit window: with TREVANE_FAULT set to
// "exit-between-commits" the process ends right after the databases committed a
// message's work and before the queue manager commits its unit.
constexpr int EXIT_BETWEEN_COMMITS = 75;
bool exitBetweenCommits() {
    static const bool set = [] {
        const char *fault = std::getenv("TREVANE_FAULT");
        return fault != nullptr && std::strcmp(fault, "exit-between-commits") == 0;
    }();
    return set;
}

} // namespace

struct InputInstance::State {
    CciNode *node;
    MQInputNode *input;
    std::string queueManager;
    std::string queueName;
    std::unique_ptr<QueueConnection> connection;
    MQHOBJ queue = MQHO_UNUSABLE_HOBJ;
    std::vector<char> buffer = std::vector<char>(FIRST_BUFFER_SIZE);
    InstanceCounts counts;
    // This instance's counter block; the broker counts into it while run() runs.
    std::unique_ptr<broker::InstanceCounters> flowCounters;
    uint32_t inputSlot = broker::NO_COUNTER_SLOT;
    std::string nodeName; /* kept: readers may ask after the flow's nodes are deleted */
    std::chrono::steady_clock::time_point taken;
    std::atomic<bool> reading{false};

    long threshold() const {
        long value = parseNumber(input->property("backoutThreshold"));
        return value > 0 ? value : DEFAULT_BACKOUT_THRESHOLD;
    }

    void open() {
        connection = std::make_unique<QueueConnection>(queueManager);
        MQOD od = MQOD_DEFAULT;
        std::memcpy(od.ObjectName, queueName.data(),
                    std::min(queueName.size(), sizeof od.ObjectName));
        MQLONG compCode = MQCC_OK;
        MQLONG reason = MQRC_NONE;
        MQOPEN(connection->handle(), &od, MQOO_INPUT_SHARED | MQOO_FAIL_IF_QUIESCING, &queue,
               &compCode, &reason);
        if (compCode == MQCC_FAILED) {
            std::string text = "node '" + input->name() + "' (class MQInput): " +
                               mqFailure("MQOPEN", queueName, queueManager, compCode, reason);
            connection.reset();
            throw broker::Error(text);
        }
        reading = true;
    }

    // Sleeps up to `pause`, waking early when the instance is asked to stop.
    static void pauseFor(std::chrono::milliseconds pause, const std::atomic<bool> &stopping) {
        auto until = std::chrono::steady_clock::now() + pause;
        while (!stopping.load() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // One get: true with md and *length filled when a message was taken.
    bool take(MQMD &md, MQLONG &length, MQLONG &compCode, MQLONG &reason) {
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = MQGMO_WAIT | MQGMO_SYNCPOINT | MQGMO_FAIL_IF_QUIESCING;
        gmo.WaitInterval = static_cast<MQLONG>(parseNumber(input->property("waitInterval")));
        for (;;) {
            MQMD fresh = MQMD_DEFAULT;
            md = fresh;
            MQGET(connection->handle(), queue, &md, &gmo, static_cast<MQLONG>(buffer.size()),
                  buffer.data(), &length, &compCode, &reason);
            if (reason != MQRC_TRUNCATED_MSG_FAILED) {
                return compCode != MQCC_FAILED;
            }
            // The message stays on the queue; make room and take it again (it may have
            // gone to another instance meanwhile, then the next get takes the next one).
            buffer.resize(static_cast<size_t>(length) + 1);
            gmo.WaitInterval = 0;
        }
    }

    void endUnit(Outcome outcome, const MQMD &md) {
        MQLONG compCode = MQCC_OK;
        MQLONG reason = MQRC_NONE;
        // The databases commit first, then the queue manager: a broker that ends between
        // the two repeats the message although its SQL is committed.
        std::string why;
        const bool databaseWork = connection->hasUnitMembers();
        if (!connection->endUnitMembers(outcome == Outcome::Commit, why)) {
            logBackOut(md, "the database work of the message could not be committed: " + why);
            outcome = Outcome::BackOut;
        }
        if (outcome == Outcome::Commit && databaseWork && exitBetweenCommits()) {
            std::_Exit(EXIT_BETWEEN_COMMITS);
        }
        if (outcome == Outcome::Commit) {
            MQCMIT(connection->handle(), &compCode, &reason);
            if (compCode != MQCC_FAILED) {
                counts.committed++;
#if TREVANE_FLOW_COUNTERS
                flowCounters->committed(
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - taken)
                        .count());
#endif
                return;
            }
            runtimeLog(CCI_LOG_ERROR, __FILE__, __LINE__, "InputInstance::endUnit",
                       MSG_INPUT_PROBLEM,
                       "Node '" + input->name() + "': the unit of work of message " +
                           hexText(md.MsgId, sizeof md.MsgId) + " could not be committed and " +
                           "is backed out: " +
                           mqFailure("MQCMIT", queueName, queueManager, compCode, reason),
                       {input->name(), queueName});
        }
        MQBACK(connection->handle(), &compCode, &reason);
        counts.rolledBack++;
#if TREVANE_FLOW_COUNTERS
        flowCounters->backOutUnit();
#endif
        if (compCode == MQCC_FAILED) {
            // The queue manager returns the message when the connection ends.
            runtimeLog(CCI_LOG_ERROR, __FILE__, __LINE__, "InputInstance::endUnit",
                       MSG_INPUT_PROBLEM,
                       "Node '" + input->name() +
                           "': " + mqFailure("MQBACK", queueName, queueManager, compCode, reason) +
                           "; reconnecting",
                       {input->name(), queueName});
            reconnect();
        }
    }

    void reconnect() {
        reading = false;
        queue = MQHO_UNUSABLE_HOBJ;
        connection.reset(); // disconnecting backs out what the connection held
    }

    void logBackOut(const MQMD &md, const std::string &why) {
        runtimeLog(CCI_LOG_WARNING, __FILE__, __LINE__, "InputInstance::handle", MSG_ROLLED_BACK,
                   "Node '" + input->name() + "': message " + hexText(md.MsgId, sizeof md.MsgId) +
                       " goes back to queue '" + queueName + "' (backed out " +
                       std::to_string(md.BackoutCount + 1) + " time(s)): " + why,
                   {input->name(), queueName, std::to_string(md.BackoutCount + 1), why});
    }

    // The exception that a path ended with, if any: one it raised, or one that came back
    // to a built-in node and that the broker then handed to another path which ended
    // quietly (the message was not handled, whatever that path did).
    std::shared_ptr<const broker::BrokerException> pathFailure(int rc, std::string &why) {
        std::shared_ptr<const broker::BrokerException> raised;
        if (rc == CCI_EXCEPTION) {
            raised = broker::lastException();
            why = raised == nullptr ? "an exception" : raised->what();
        } else if (connection->downstreamFailure != nullptr) {
            raised = connection->downstreamFailure;
            why = std::string(raised->what()) +
                  " (it came back from further down the flow after the failure path of a "
                  "node had taken the message)";
        }
        connection->downstreamFailure.reset();
        return rc == CCI_EXCEPTION && raised == nullptr
                   ? std::make_shared<const broker::BrokerException>(broker::ExceptionFrame{})
                   : raised;
    }

    Outcome runFlow(CciMessage *destination, CciMessage *emptyList, CciMessage *message,
                    const MQMD &md) {
        connection->downstreamFailure.reset();
        int rc = 0;
        std::string why;
        std::shared_ptr<const broker::BrokerException> raised;
        if (attached(input->out)) {
            cniPropagate(&rc, input->out, destination, emptyList, message);
            raised = pathFailure(rc, why);
        } else {
            // Committing would consume a message that no node took.
            why = "Node '" + input->name() +
                  "': its terminal 'out' is not attached, so the message would go nowhere";
            raised = std::make_shared<const broker::BrokerException>(
                input->frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__,
                             "InputInstance::runFlow", MSG_NOT_ROUTED, why, {input->name()}));
        }
        if (raised == nullptr) {
            return Outcome::Commit;
        }
        if (!attached(input->catchTerminal)) {
            logBackOut(md, why);
            return Outcome::BackOut;
        }
        int listRc = 0;
        CciMessageContext *context = cniGetMessageContext(&listRc, message);
        CciMessage *list = broker::createExceptionList(context, *raised);
        cniPropagate(&rc, input->catchTerminal, destination, list, message);
        std::string again;
        if (pathFailure(rc, again) != nullptr) {
            logBackOut(md, why + "; the catch path failed too: " + again);
            return Outcome::BackOut;
        }
        return Outcome::Commit;
    }

    Outcome toFailure(CciMessage *destination, CciMessage *message, const MQMD &md,
                      const broker::BrokerException &reason) {
#if TREVANE_FLOW_COUNTERS
        flowCounters->add(inputSlot, broker::COUNT_EXCEPTIONS);
#endif
        if (!attached(input->failure)) {
            logBackOut(md, std::string(reason.what()) + "; the failure terminal is not attached");
            return Outcome::BackOut;
        }
        int rc = 0;
        CciMessageContext *context = cniGetMessageContext(&rc, message);
        CciMessage *list = broker::createExceptionList(context, reason);
        connection->downstreamFailure.reset();
        cniPropagate(&rc, input->failure, destination, list, message);
        std::string why;
        if (pathFailure(rc, why) != nullptr) {
            logBackOut(md, std::string(reason.what()) + "; the failure path failed: " + why);
            return Outcome::BackOut;
        }
        return Outcome::Commit;
    }

    Outcome toBackoutQueue(const MQMD &got, MQLONG length) {
        const std::string backoutQueue = input->property("backoutQueue");
        const std::string id = hexText(got.MsgId, sizeof got.MsgId);
        if (backoutQueue.empty()) {
            logBackOut(got, "the backout threshold is reached and no backout queue is set");
            return Outcome::BackOut;
        }
        MQHOBJ target = MQHO_UNUSABLE_HOBJ;
        MQLONG compCode = MQCC_OK;
        MQLONG reason = MQRC_NONE;
        if (connection->outputQueue(backoutQueue, target, reason)) {
            MQMD md = got;
            MQPMO pmo = MQPMO_DEFAULT;
            pmo.Options = MQPMO_SYNCPOINT | MQPMO_FAIL_IF_QUIESCING;
            MQPUT(connection->handle(), target, &md, &pmo, length, buffer.data(), &compCode,
                  &reason);
        } else {
            compCode = MQCC_FAILED;
        }
        if (compCode == MQCC_FAILED) {
            logBackOut(got, "it cannot be moved to backout queue '" + backoutQueue + "': " +
                                mqFailure("MQPUT", backoutQueue, queueManager, compCode, reason));
            return Outcome::BackOut;
        }
        counts.backedOutToQueue++;
        runtimeLog(CCI_LOG_WARNING, __FILE__, __LINE__, "InputInstance::toBackoutQueue",
                   MSG_BACKOUT_QUEUE,
                   "Node '" + input->name() + "': message " + id + " was backed out " +
                       std::to_string(got.BackoutCount) + " time(s) and is moved from queue '" +
                       queueName + "' to backout queue '" + backoutQueue + "'",
                   {input->name(), id, queueName, backoutQueue});
        return Outcome::Commit;
    }

    Outcome handle(const MQMD &md, MQLONG length) {
        ContextScope scope;
        std::string_view body(buffer.data(), static_cast<size_t>(length));
        broker::Descriptor descriptor = descriptorOf(md);
        CciMessage *message = nullptr;
        std::shared_ptr<const broker::BrokerException> parseError;
        try {
            message = broker::createInputMessage(scope.context, descriptor, body,
                                                 input->property("messageDomain"));
        } catch (const broker::BrokerException &e) {
            // Keep the bytes as they came, so the failure path still gets the message.
            parseError = std::make_shared<const broker::BrokerException>(e);
            message = broker::createInputMessage(scope.context, descriptor, body, "BLOB");
        }
        CciMessage *destination = broker::createTreeMessage(scope.context, "LocalEnvironment");
        CciMessage *emptyList = broker::createTreeMessage(scope.context, "ExceptionList");

        const long threshold = this->threshold();
        if (md.BackoutCount >= threshold) {
            // The failure path gets one chance; after that the message is moved aside.
            if (md.BackoutCount == threshold && attached(input->failure)) {
                broker::BrokerException reached(input->frame(
                    CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "InputInstance::handle",
                    MSG_BACKOUT_THRESHOLD,
                    "Message backed out " + std::to_string(md.BackoutCount) +
                        " time(s), reaching the backout threshold " + std::to_string(threshold) +
                        " of node '" + input->name() + "'",
                    {input->name(), std::to_string(md.BackoutCount), std::to_string(threshold)}));
                return toFailure(destination, message, md, reached);
            }
            return toBackoutQueue(md, length);
        }
        if (parseError != nullptr) {
            runtimeLog(CCI_LOG_ERROR, __FILE__, __LINE__, "InputInstance::handle", MSG_PARSE_FAILED,
                       "Node '" + input->name() + "': message " +
                           hexText(md.MsgId, sizeof md.MsgId) + " from queue '" + queueName +
                           "' cannot be parsed as " + input->property("messageDomain") + ": " +
                           parseError->what(),
                       {input->name(), queueName});
            return toFailure(destination, message, md, *parseError);
        }
        return runFlow(destination, emptyList, message, md);
    }

    void run(const std::atomic<bool> &stopping) {
        broker::CountersScope countersScope(flowCounters.get());
        while (!stopping.load()) {
            if (connection == nullptr) {
                try {
                    open();
                } catch (const broker::Error &e) {
                    runtimeLog(CCI_LOG_ERROR, __FILE__, __LINE__, "InputInstance::run",
                               MSG_INPUT_PROBLEM, std::string(e.what()) + "; trying again",
                               {input->name(), queueName});
                    pauseFor(LONGEST_PAUSE, stopping);
                    continue;
                }
            }
            MQMD md = MQMD_DEFAULT;
            MQLONG length = 0;
            MQLONG compCode = MQCC_OK;
            MQLONG reason = MQRC_NONE;
            if (!take(md, length, compCode, reason)) {
                if (reason == MQRC_NO_MSG_AVAILABLE) {
                    continue;
                }
                runtimeLog(
                    CCI_LOG_ERROR, __FILE__, __LINE__, "InputInstance::run", MSG_INPUT_PROBLEM,
                    "Node '" + input->name() +
                        "': " + mqFailure("MQGET", queueName, queueManager, compCode, reason) +
                        "; reconnecting",
                    {input->name(), queueName});
                reconnect();
                pauseFor(LONGEST_PAUSE, stopping);
                continue;
            }
#if TREVANE_FLOW_COUNTERS
            flowCounters->beginUnit(inputSlot);
            taken = std::chrono::steady_clock::now();
#endif
            Outcome outcome = Outcome::BackOut;
            {
                ConnectionScope scope(connection.get());
                connection->inUnitOfWork = true;
                try {
                    outcome = handle(md, length);
                } catch (const std::exception &e) {
                    logBackOut(md, e.what());
                } catch (...) {
                    logBackOut(md, "an unknown exception");
                }
                connection->inUnitOfWork = false;
            }
            endUnit(outcome, md);
            if (outcome == Outcome::BackOut) {
                // A message that keeps failing would otherwise spin this instance.
                auto pause = std::chrono::milliseconds(100) * (md.BackoutCount + 1);
                pauseFor(std::min<std::chrono::milliseconds>(pause, LONGEST_PAUSE), stopping);
            }
        }
    }
};

InputInstance::InputInstance(CciNode *node, std::string queueManager)
    : state_(std::make_unique<State>()) {
    state_->node = node;
    state_->input = inputNodeOf(node);
    if (state_->input == nullptr) {
        throw broker::Error("node '" + broker::nodeName(node) + "' is not an MQInput node");
    }
    state_->queueManager = std::move(queueManager);
    state_->queueName = state_->input->property("queueName");
    state_->nodeName = broker::nodeName(node);
    broker::CounterLayout layout = broker::assignCounterSlots(broker::nodeFlow(node));
    for (const broker::CounterLayout::Node &n : layout.nodes) {
        if (n.name == state_->nodeName) {
            state_->inputSlot = n.slot;
        }
    }
    state_->flowCounters = std::make_unique<broker::InstanceCounters>(layout);
}

InputInstance::~InputInstance() = default;

void InputInstance::open() {
    state_->open();
}

void InputInstance::run(const std::atomic<bool> &stopping) {
    state_->run(stopping);
}

void InputInstance::close() {
    state_->reconnect();
}

const InstanceCounts &InputInstance::counts() const {
    return state_->counts;
}

const broker::InstanceCounters &InputInstance::flowCounters() const {
    return *state_->flowCounters;
}

bool InputInstance::reading() const {
    return state_->reading.load();
}

const std::string &InputInstance::nodeName() const {
    return state_->nodeName;
}

std::string inputQueueOf(const CciNode *node) {
    MQInputNode *input = inputNodeOf(node);
    return input == nullptr ? "" : input->property("queueName");
}

void registerMQInputClass() {
    registerBuiltin<MQInputNode>(MQINPUT_CLASS);
}

} // namespace runtime
