/*
 * The frame of the built-in node classes: their context record and property handling,
 * the node-class table slots that the broker calls, raising exceptions and building
 * exception lists with typed inserts, the log helper, and the queue-manager connection
 * that a flow instance shares between its MQInput and MQOutput nodes.
 *
 * Owns the thread-local "current connection" of each flow instance thread. Called by the
 * built-in classes (mqinput.cpp, mqoutput.cpp, database.cpp, tracenode.cpp) and by the
 * broker through the slots of their tables.
 */
#include "runtime/builtin.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "broker/text.h"
#include "messaging/admin.h"

namespace runtime {

namespace {

thread_local QueueConnection *threadConnection = nullptr;

BuiltinNode *asBuiltin(CciContext *context) {
    return static_cast<BuiltinNode *>(context);
}

// Copies `text` into a slot buffer of `units` CciChar units (the attribute slots count
// units, not bytes). CCI_BUFFER_TOO_SMALL when text and terminator do not fit.
int copyOut(const std::string &text, CciChar *buffer, int units) {
    std::u16string wide = broker::toUtf16(text);
    if (buffer == nullptr || units <= 0 || wide.size() + 1 > static_cast<size_t>(units)) {
        return CCI_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, wide.c_str(), (wide.size() + 1) * sizeof(CciChar));
    return CCI_ATTRIBUTE_OK;
}

// ---- the slots ------------------------------------------------------------------------

void deleteContextSlot(CciContext *context) {
    delete asBuiltin(context);
}

int getAttributeNameSlot(CciContext *context, int index, CciChar *buffer, int bufferSize) {
    auto definitions = asBuiltin(context)->definitions();
    if (index < 0 || static_cast<size_t>(index) >= definitions.size()) {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    return copyOut(definitions[static_cast<size_t>(index)].name, buffer, bufferSize);
}

int setAttributeSlot(CciContext *context, CciChar *name, CciChar *value) {
    return asBuiltin(context)->setProperty(broker::toUtf8(broker::view16(name)),
                                           broker::toUtf8(broker::view16(value)));
}

int getAttributeSlot(CciContext *context, CciChar *name, CciChar *buffer, int bufferSize) {
    BuiltinNode *node = asBuiltin(context);
    std::string key = broker::toUtf8(broker::view16(name));
    for (const PropertyDefinition &d : node->definitions()) {
        if (key == d.name) {
            return copyOut(node->property(key), buffer, bufferSize);
        }
    }
    return CCI_ATTRIBUTE_UNKNOWN;
}

void evaluateSlot(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) {
    asBuiltin(context)->evaluate(destinationList, exceptionList, message);
}

std::string trimmed(std::string_view value) {
    size_t first = value.find_first_not_of(" \t");
    size_t last = value.find_last_not_of(" \t");
    return first == std::string_view::npos ? std::string()
                                           : std::string(value.substr(first, last - first + 1));
}

// Each created element is checked: an exception list that silently lost a field would
// hide the very failure it describes.
CciElement *child(CciElement *parent, CciElementType type, const std::u16string &name) {
    int rc = 0;
    CciElement *e = cniCreateElementAsLastChild(&rc, parent);
    if (rc != CCI_SUCCESS || e == nullptr) {
        throw broker::Error("cannot add element '" + broker::toUtf8(name) +
                            "' to an exception list");
    }
    cniSetElementType(&rc, e, type);
    if (!name.empty()) {
        cniSetElementName(&rc, e, name.c_str());
    }
    return e;
}

void characterField(CciElement *parent, const char16_t *name, const std::string &value) {
    std::u16string text = broker::toUtf16(value);
    int rc = 0;
    cniSetElementCharacterValue(&rc, child(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name), text.c_str(),
                                static_cast<CciSize>(text.size()));
}

void integerField(CciElement *parent, const char16_t *name, int64_t value) {
    int rc = 0;
    cniSetElementIntegerValue(&rc, child(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name), value);
}

} // namespace

// ---- property checks ----------------------------------------------------------------------

std::string checkNotEmpty(std::string_view value) {
    return trimmed(value).empty() ? "it must not be empty" : "";
}

std::string checkBoolean(std::string_view value) {
    std::string v = trimmed(value);
    return v == "true" || v == "false" || v == "yes" || v == "no" ? "" : "it must be true or false";
}

std::string checkQueueName(std::string_view value) {
    // The queue manager's own rule: a name it would refuse at every get or put is refused
    // when the flow is deployed instead.
    std::string name(value);
    if (name.find('\0') != std::string::npos || mqValidQueueName(name.c_str()) == 0) {
        return std::string("a queue name has ") + mqQueueNameRule();
    }
    return "";
}

std::string checkOptionalQueueName(std::string_view value) {
    return value.empty() ? "" : checkQueueName(value);
}

bool parseBoolean(std::string_view value) {
    std::string v = trimmed(value);
    return v == "true" || v == "yes";
}

std::string checkNumber(std::string_view value, long low, long high) {
    std::string v = trimmed(value);
    char *end = nullptr;
    errno = 0;
    long number = std::strtol(v.c_str(), &end, 10);
    if (v.empty() || *end != '\0' || errno != 0 || number < low || number > high) {
        return "it must be a whole number from " + std::to_string(low) + " to " +
               std::to_string(high);
    }
    return "";
}

long parseNumber(std::string_view value) {
    return std::strtol(trimmed(value).c_str(), nullptr, 10);
}

// ---- the context ----------------------------------------------------------------------------

BuiltinNode::BuiltinNode(CciNode *node, std::string className,
                         std::span<const PropertyDefinition> definitions)
    : node_(node), className_(std::move(className)), definitions_(definitions) {}

int BuiltinNode::setProperty(std::string_view name, std::string_view value) {
    for (const PropertyDefinition &d : definitions_) {
        if (name != d.name) {
            continue;
        }
        std::string why = d.check == nullptr ? std::string() : d.check(value);
        if (!why.empty()) {
            std::string text = "Node '" + this->name() + "' (class " + className_ +
                               "): property '" + std::string(name) + "' cannot be '" +
                               std::string(value) + "': " + why;
            raiseFrames({frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__,
                               "BuiltinNode::setProperty", MSG_PROPERTY_INVALID, text,
                               {this->name(), std::string(name), std::string(value), why})});
        }
        values_.insert_or_assign(std::string(name), std::string(value));
        propertyChanged(name);
        return CCI_ATTRIBUTE_OK;
    }
    return CCI_ATTRIBUTE_UNKNOWN;
}

std::string BuiltinNode::property(std::string_view name) const {
    if (auto found = values_.find(name); found != values_.end()) {
        return found->second;
    }
    for (const PropertyDefinition &d : definitions_) {
        if (name == d.name) {
            return d.defaultValue == nullptr ? "" : d.defaultValue;
        }
    }
    return "";
}

std::string BuiltinNode::configurationProblem() {
    std::string missing;
    for (const PropertyDefinition &d : definitions_) {
        if (d.defaultValue == nullptr && values_.find(d.name) == values_.end()) {
            missing += (missing.empty() ? "" : ", ") + std::string(d.name);
        }
    }
    return missing.empty() ? "" : "property " + missing + " must be set";
}

std::string BuiltinNode::name() const {
    return broker::nodeName(node_);
}

std::string BuiltinNode::label() const {
    auto found = values_.find("label");
    return found == values_.end() || found->second.empty() ? name() : found->second;
}

CciTerminal *BuiltinNode::addInput(const char16_t *name) {
    int rc = 0;
    return cniCreateInputTerminal(&rc, node_, name);
}

CciTerminal *BuiltinNode::addOutput(const char16_t *name) {
    int rc = 0;
    return cniCreateOutputTerminal(&rc, node_, name);
}

broker::ExceptionFrame BuiltinNode::frame(int type, const char *file, int line,
                                          const char *function, int number, std::string text,
                                          std::vector<std::string> inserts) const {
    broker::ExceptionFrame f;
    f.type = type;
    const char *slash = file == nullptr ? nullptr : std::strrchr(file, '/');
    f.file = slash == nullptr ? (file == nullptr ? "" : file) : slash + 1;
    f.line = line;
    f.function = function == nullptr ? "" : function;
    f.messageSource = RUNTIME_CATALOGUE;
    f.messageNumber = number;
    f.traceText = std::move(text);
    f.inserts = std::move(inserts);
    f.nodeName = name();
    f.nodeLabel = label();
    f.nodeClass = className_;
    return f;
}

void raiseFrames(std::vector<broker::ExceptionFrame> frames) {
    broker::BrokerException exception(std::move(frames.front()));
    for (size_t i = 1; i < frames.size(); ++i) {
        exception.frames.push_back(std::move(frames[i]));
    }
    broker::setLastException(std::make_shared<const broker::BrokerException>(exception));
    throw exception;
}

// ---- the class table ----------------------------------------------------------------------

namespace {

using Maker = CciContext *(*)(CciNode *);

// Built-in classes and their constructors. Filled once, before any flow is deployed.
std::map<std::string, Maker, std::less<>> &makers() {
    static auto *table = new std::map<std::string, Maker, std::less<>>();
    return *table;
}

// The broker names the class it wants a context for; one slot serves every built-in class.
CciContext *createContextSlot(CciFactory *, CciChar *className, CciNode *node) {
    auto found = makers().find(broker::toUtf8(broker::view16(className)));
    return found == makers().end() ? nullptr : found->second(node);
}

} // namespace

void registerBuiltin(std::string_view className, CciContext *(*make)(CciNode *node)) {
    CNI_VFT table = CNI_VFT_DEFAULT;
    table.iFpCreateContext = createContextSlot;
    table.iFpDeleteContext = deleteContextSlot;
    table.iFpGetAttributeName = getAttributeNameSlot;
    table.iFpSetAttribute = setAttributeSlot;
    table.iFpGetAttribute = getAttributeSlot;
    table.iFpEvaluate = evaluateSlot;
    makers().insert_or_assign(std::string(className), make);
    broker::registerBuiltinClass(className, table);
}

BuiltinNode *builtinOf(const CciNode *node) {
    if (node == nullptr || makers().find(broker::nodeClass(node)) == makers().end()) {
        return nullptr;
    }
    return asBuiltin(broker::nodeContext(node));
}

// ---- exception lists ------------------------------------------------------------------------

CciMessage *buildExceptionList(CciMessage *message, const std::vector<ListEntry> &entries) {
    int rc = 0;
    CciMessageContext *context = cniGetMessageContext(&rc, message);
    if (rc != CCI_SUCCESS || context == nullptr) {
        throw broker::Error("cannot build an exception list: the message has no context");
    }
    CciMessage *list = broker::createTreeMessage(context, "ExceptionList");
    try {
        CciElement *into = cniRootElement(&rc, list);
        for (const ListEntry &entry : entries) {
            const broker::ExceptionFrame &f = entry.frame;
            CciElement *e = child(into, CCI_ELEMENT_TYPE_NAME,
                                  broker::toUtf16(broker::exceptionTypeName(f.type)));
            characterField(e, u"File", f.file);
            integerField(e, u"Line", f.line);
            characterField(e, u"Function", f.function);
            characterField(e, u"Type", f.nodeClass);
            characterField(e, u"Name", f.nodeName);
            characterField(e, u"Label", f.nodeLabel);
            characterField(e, u"Catalog", f.messageSource);
            integerField(e, u"Severity", f.type == CCI_FATAL_EXCEPTION ? 4 : 3);
            integerField(e, u"Number", f.messageNumber);
            characterField(e, u"Text", f.traceText);
            for (const TypedInsert &insert : entry.inserts) {
                CciElement *i = child(e, CCI_ELEMENT_TYPE_NAME, u"Insert");
                integerField(i, u"Type", insert.type);
                characterField(i, u"Text", insert.text);
            }
            into = e;
        }
    } catch (...) {
        cniDeleteMessage(&rc, list);
        throw;
    }
    return list;
}

// ---- queue-manager connections ------------------------------------------------------------

std::string mqFailure(const char *call, const std::string &queue, const std::string &queueManager,
                      MQLONG compCode, MQLONG reason) {
    std::string text = std::string(call) + " failed";
    if (!queue.empty()) {
        text += " on queue '" + queue + "'";
    }
    text += " of queue manager '" + queueManager + "': completion code " +
            std::to_string(compCode) + ", reason " + std::to_string(reason) + " (" +
            mqReasonName(reason) + ")";
    const char *detail = mqLastErrorDetail();
    if (detail != nullptr && detail[0] != '\0') {
        text += ": " + std::string(detail);
    }
    return text;
}

QueueConnection::QueueConnection(std::string queueManager)
    : queueManager_(std::move(queueManager)) {
    MQLONG compCode = MQCC_OK;
    MQLONG reason = MQRC_NONE;
    MQCONN(queueManager_.c_str(), &handle_, &compCode, &reason);
    if (reason != MQRC_NONE && compCode == MQCC_FAILED) {
        throw broker::Error(mqFailure("MQCONN", "", queueManager_, compCode, reason));
    }
}

QueueConnection::~QueueConnection() {
    MQLONG compCode = MQCC_OK;
    MQLONG reason = MQRC_NONE;
    for (auto &[name, queue] : outputs_) {
        MQCLOSE(handle_, &queue, MQCO_NONE, &compCode, &reason);
    }
    MQDISC(&handle_, &compCode, &reason);
}

bool QueueConnection::outputQueue(const std::string &name, MQHOBJ &queue, MQLONG &reason) {
    if (auto found = outputs_.find(name); found != outputs_.end()) {
        queue = found->second;
        reason = MQRC_NONE;
        return true;
    }
    // A longer name would be cut to a different queue's name: refuse it instead.
    if (name.empty() || name.size() > MQ_Q_NAME_LENGTH) {
        reason = MQRC_UNKNOWN_OBJECT_NAME;
        return false;
    }
    MQOD od = MQOD_DEFAULT;
    std::memcpy(od.ObjectName, name.data(), name.size());
    MQLONG compCode = MQCC_OK;
    reason = MQRC_NONE;
    MQOPEN(handle_, &od, MQOO_OUTPUT | MQOO_FAIL_IF_QUIESCING, &queue, &compCode, &reason);
    if (compCode == MQCC_FAILED) {
        return false;
    }
    outputs_.emplace(name, queue);
    return true;
}

void QueueConnection::joinUnit(UnitMember member) {
    for (const UnitMember &m : members_) {
        if (m.owner == member.owner) {
            return;
        }
    }
    members_.push_back(std::move(member));
}

bool QueueConnection::endUnitMembers(bool commit, std::string &why) {
    std::vector<UnitMember> members = std::move(members_);
    members_.clear();
    bool ok = true;
    for (UnitMember &m : members) {
        std::string failed;
        if (!m.end(commit && ok, failed) && commit && ok) {
            ok = false;
            why = failed;
        }
    }
    return ok;
}

QueueConnection *currentConnection() {
    return threadConnection;
}

void noteDownstreamFailure() {
    if (threadConnection != nullptr && threadConnection->downstreamFailure == nullptr) {
        threadConnection->downstreamFailure = broker::lastException();
    }
}

void propagateOrRethrow(CciTerminal *terminal, CciMessage *destinationList,
                        CciMessage *exceptionList, CciMessage *message) {
    int rc = 0;
    if (terminal == nullptr || !cniIsTerminalAttached(&rc, terminal)) {
        return;
    }
    cniPropagate(&rc, terminal, destinationList, exceptionList, message);
    if (rc == CCI_EXCEPTION) {
        noteDownstreamFailure();
        cciRethrowLastException(nullptr);
    }
}

ConnectionScope::ConnectionScope(QueueConnection *connection) : previous_(threadConnection) {
    threadConnection = connection;
}

ConnectionScope::~ConnectionScope() {
    threadConnection = previous_;
}

// ---- log ------------------------------------------------------------------------------------

void runtimeLog(int logType, const char *file, int line, const char *function, int number,
                std::string text, std::vector<std::string> inserts) {
    broker::LogEntry entry;
    entry.logType = logType;
    const char *slash = file == nullptr ? nullptr : std::strrchr(file, '/');
    entry.file = slash == nullptr ? (file == nullptr ? "" : file) : slash + 1;
    entry.line = line;
    entry.function = function == nullptr ? "" : function;
    entry.messageSource = RUNTIME_CATALOGUE;
    entry.messageNumber = number;
    entry.traceText = std::move(text);
    entry.inserts = std::move(inserts);
    broker::writeLog(std::move(entry));
}

std::string hexText(const void *bytes, size_t size) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    const auto *p = static_cast<const unsigned char *>(bytes);
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(DIGITS[p[i] >> 4]);
        out.push_back(DIGITS[p[i] & 0x0f]);
    }
    return out;
}

} // namespace runtime
