/*
 * The Database node: runs an SQL statement (or a script of several) against a data
 * source, an SQLite file or an ODBC data source (datasource.cpp), with parameters taken
 * from the message. On success the message goes on through "out" (with the first row's
 * columns stored at `resultPath` when that is set). On failure the node describes the
 * error the way database drivers report it: a DatabaseException inside a
 * RecoverableException, whose inserts are, for each diagnostic record the driver gave,
 * the native error code (an integer insert), the SQLSTATE alone, and the driver's
 * message ending in "SQLSTATE=" and the code. With "failure" attached the node sends the
 * message there with that exception list; otherwise it raises the exception, so that the
 * flow's input node backs the message out.
 *
 * Each flow instance (thread) has a connection of its own, opened when the flow is
 * deployed or at its first message and reopened after the connection was lost. A
 * message's work is one transaction: committed with the flow's unit of work
 * (`transaction: automatic`, the databases before the queue manager) or at once
 * (`commit`); rolled back when the message fails. Reached by the broker through the
 * node-class table.
 */
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "broker/text.h"
#include "runtime/builtin.h"
#include "runtime/builtins.h"
#include "runtime/datasource.h"

namespace runtime {

namespace {

constexpr int MSG_PARAMETER_FAILED = 3030;
constexpr int MSG_RESULT_FAILED = 3031;

std::string checkBusyTimeout(std::string_view value) {
    return checkNumber(value, 0, 600000);
}

std::string checkStatementTimeout(std::string_view value) {
    return checkNumber(value, 0, 86400);
}

std::string checkTransaction(std::string_view value) {
    return value == "automatic" || value == "commit" ? "" : "it must be automatic or commit";
}

// The segments of a message path below "Root", or why the text is no such path.
std::string splitPath(std::string_view path, std::vector<std::string> &segments) {
    segments.clear();
    size_t at = 0;
    while (at <= path.size()) {
        size_t dot = path.find('.', at);
        std::string_view part =
            path.substr(at, dot == std::string_view::npos ? std::string_view::npos : dot - at);
        if (part.empty()) {
            return "'" + std::string(path) + "' has an empty segment";
        }
        segments.emplace_back(part);
        if (dot == std::string_view::npos) {
            break;
        }
        at = dot + 1;
    }
    if (segments.empty() || segments.front() != "Root") {
        return "'" + std::string(path) + "' does not start with Root";
    }
    segments.erase(segments.begin());
    return "";
}

std::string trimmedText(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    size_t last = text.find_last_not_of(" \t");
    return first == std::string_view::npos ? "" : std::string(text.substr(first, last - first + 1));
}

// The comma-separated message paths of the parameters property.
std::vector<std::string> parameterPaths(std::string_view value) {
    std::vector<std::string> paths;
    if (trimmedText(value).empty()) {
        return paths;
    }
    size_t at = 0;
    while (at <= value.size()) {
        size_t comma = value.find(',', at);
        paths.push_back(trimmedText(value.substr(
            at, comma == std::string_view::npos ? std::string_view::npos : comma - at)));
        if (comma == std::string_view::npos) {
            break;
        }
        at = comma + 1;
    }
    return paths;
}

std::string checkParameters(std::string_view value) {
    std::vector<std::string> segments;
    for (const std::string &path : parameterPaths(value)) {
        if (std::string why = splitPath(path, segments); !why.empty()) {
            return why;
        }
        if (segments.empty()) {
            return "'" + path + "' names no element below Root";
        }
    }
    return "";
}

std::string checkResultPath(std::string_view value) {
    if (value.empty()) {
        return "";
    }
    std::vector<std::string> segments;
    std::string why = splitPath(value, segments);
    return why.empty() && segments.empty() ? "it names no element below Root" : why;
}

constexpr PropertyDefinition DATABASE_PROPERTIES[] = {
    {"dataSource", nullptr, checkNotEmpty},
    {"statement", nullptr, checkNotEmpty},
    {"parameters", "", checkParameters},
    {"resultPath", "", checkResultPath},
    {"transaction", "automatic", checkTransaction},
    {"statementTimeout", "60", checkStatementTimeout},
    {"busyTimeout", "5000", checkBusyTimeout},
    {"label", "", nullptr},
};

// ---- message trees --------------------------------------------------------------------

std::string elementName(CciElement *e) {
    int rc = 0;
    CciChar buffer[256] = {};
    cniElementName(&rc, e, buffer, static_cast<CciSize>(sizeof buffer));
    buffer[255] = 0;
    return broker::toUtf8(broker::view16(buffer));
}

CciElement *childNamed(CciElement *parent, const std::string &name) {
    int rc = 0;
    for (CciElement *c = cniFirstChild(&rc, parent); c != nullptr; c = cniNextSibling(&rc, c)) {
        if (elementName(c) == name) {
            return c;
        }
    }
    return nullptr;
}

CciElement *xmlBody(CciElement *root) {
    int rc = 0;
    for (CciElement *c = cniFirstChild(&rc, root); c != nullptr; c = cniNextSibling(&rc, c)) {
        if (cniElementType(&rc, c) == CCI_ELEMENT_TYPE_XML_BODY) {
            return c;
        }
    }
    return nullptr;
}

// The element a path below Root names. A first segment that is not a child of Root is
// looked for in the XML body, so "Root.order.id" and "Root.XML.order.id" name the same
// element. With `create` missing elements are made (in the body when there is one).
CciElement *locate(CciMessage *message, const std::vector<std::string> &segments, bool create) {
    int rc = 0;
    CciElement *at = cniRootElement(&rc, message);
    for (size_t i = 0; at != nullptr && i < segments.size(); ++i) {
        CciElement *next = childNamed(at, segments[i]);
        if (next == nullptr && i == 0) {
            if (CciElement *body = xmlBody(at)) {
                next = childNamed(body, segments[i]);
                at = next == nullptr ? body : at;
            }
        }
        if (next == nullptr && create) {
            next = cniCreateElementAsLastChild(&rc, at);
            if (next != nullptr) {
                cniSetElementType(&rc, next, CCI_ELEMENT_TYPE_NAME);
                std::u16string name = broker::toUtf16(segments[i]);
                cniSetElementName(&rc, next, name.c_str());
            }
        }
        at = next;
    }
    return at;
}

std::string characterValue(CciElement *e, CciValueType type) {
    int rc = 0;
    CciSize units = type == CCI_VALUE_TYPE_DECIMAL ? cniElementDecimalValue(&rc, e, nullptr, 0)
                                                   : cniElementCharacterValue(&rc, e, nullptr, 0);
    std::u16string text(static_cast<size_t>(std::max<CciSize>(units, 0)) + 1, u'\0');
    const auto bytes = static_cast<CciSize>(text.size() * sizeof(char16_t));
    if (type == CCI_VALUE_TYPE_DECIMAL) {
        cniElementDecimalValue(&rc, e, text.data(), bytes);
    } else {
        cniElementCharacterValue(&rc, e, text.data(), bytes);
    }
    text.resize(std::char_traits<char16_t>::length(text.c_str()));
    return broker::toUtf8(text);
}

// The element's value as a parameter, with its type. An element without a value of its
// own (an XML element) gives its text, or NULL when it has none.
std::string valueOf(CciElement *e, DbValue &value) {
    int rc = 0;
    const CciValueType type = cniElementValueType(&rc, e);
    switch (type) {
    case CCI_VALUE_TYPE_NONE: {
        bool text = false;
        value.text.clear();
        for (CciElement *c = cniFirstChild(&rc, e); c != nullptr; c = cniNextSibling(&rc, c)) {
            if (cniElementType(&rc, c) == CCI_ELEMENT_TYPE_VALUE &&
                cniElementValueType(&rc, c) == CCI_VALUE_TYPE_CHAR) {
                value.text += characterValue(c, CCI_VALUE_TYPE_CHAR);
                text = true;
            }
        }
        value.kind = text ? DbValue::Kind::Text : DbValue::Kind::Null;
        return "";
    }
    case CCI_VALUE_TYPE_BOOL:
        value.kind = DbValue::Kind::Boolean;
        value.integer = cniElementBooleanValue(&rc, e) ? 1 : 0;
        return "";
    case CCI_VALUE_TYPE_INTEGER:
        value.kind = DbValue::Kind::Integer;
        value.integer = cniElementIntegerValue(&rc, e);
        return "";
    case CCI_VALUE_TYPE_REAL:
        value.kind = DbValue::Kind::Real;
        value.real = cniElementRealValue(&rc, e);
        return "";
    case CCI_VALUE_TYPE_DECIMAL:
    case CCI_VALUE_TYPE_CHAR:
        value.kind = DbValue::Kind::Text;
        value.text = characterValue(e, type);
        return "";
    case CCI_VALUE_TYPE_BYTEARRAY: {
        CciByteArray probe{nullptr, 0};
        CciSize size = cniElementByteArrayValue(&rc, e, &probe);
        value.kind = DbValue::Kind::Bytes;
        value.text.assign(static_cast<size_t>(std::max<CciSize>(size, 0)), '\0');
        CciByteArray into{reinterpret_cast<CciByte *>(value.text.data()), size};
        cniElementByteArrayValue(&rc, e, &into);
        return "";
    }
    default:
        return "its value type " + std::to_string(type) + " cannot be bound to a parameter";
    }
}

void setValue(CciElement *e, const DbValue &value) {
    int rc = 0;
    switch (value.kind) {
    case DbValue::Kind::Null:
        return; // a name element without a value
    case DbValue::Kind::Boolean:
        cniSetElementBooleanValue(&rc, e, value.integer != 0);
        break;
    case DbValue::Kind::Integer:
        cniSetElementIntegerValue(&rc, e, value.integer);
        break;
    case DbValue::Kind::Real:
        cniSetElementRealValue(&rc, e, value.real);
        break;
    case DbValue::Kind::Text: {
        std::u16string text = broker::toUtf16(value.text);
        cniSetElementCharacterValue(&rc, e, text.c_str(), static_cast<CciSize>(text.size()));
        break;
    }
    case DbValue::Kind::Bytes: {
        CciByteArray bytes{reinterpret_cast<CciByte *>(const_cast<char *>(value.text.data())),
                           static_cast<CciSize>(value.text.size())};
        cniSetElementByteArrayValue(&rc, e, &bytes);
        break;
    }
    }
    cniSetElementType(&rc, e, CCI_ELEMENT_TYPE_NAME_VALUE);
}

// Deletes a message the node made when the scope ends.
struct MessageGuard {
    CciMessage *message;
    ~MessageGuard() {
        int rc = 0;
        if (message != nullptr) {
            cniDeleteMessage(&rc, message);
        }
    }
};

// ---- the node -------------------------------------------------------------------------

class DatabaseNode : public BuiltinNode {
public:
    explicit DatabaseNode(CciNode *node) : BuiltinNode(node, DATABASE_CLASS, DATABASE_PROPERTIES) {
        addInput(u"in");
        out = addOutput(u"out");
        failure = addOutput(u"failure");
    }

    ~DatabaseNode() override { closeAll(); }

    void propertyChanged(std::string_view name) override {
        if (name == "dataSource" || name == "busyTimeout" || name == "statementTimeout") {
            closeAll(); // later statements must reach the new database as set
        }
    }

    // At deploy the data source must be reachable; the connection is kept for the
    // first instance.
    std::string configurationProblem() override {
        std::string problem = BuiltinNode::configurationProblem();
        if (!problem.empty()) {
            return problem;
        }
        DbFailure why;
        std::unique_ptr<DbConnection> connection =
            openDataSource(property("dataSource"), settings(), why);
        if (connection == nullptr) {
            const DbDiagnostic &first = why.records.front();
            return "cannot reach data source '" + shownDataSource(property("dataSource")) +
                   "': " + first.message + " (SQLSTATE " + first.sqlState + ")";
        }
        std::lock_guard lock(mutex_);
        spare_ = std::move(connection);
        return "";
    }

    void interrupt() override {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (auto &[thread, connection] : byThread_) {
            connection->interrupt();
        }
    }

    void evaluate(CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) override {
        std::vector<DbValue> parameters;
        if (std::string why = bindParameters(message, parameters); !why.empty()) {
            reportFailure(
                destinationList, message,
                {outerEntry(), nodeEntry(MSG_PARAMETER_FAILED, "Node '" + name() + "': " + why)});
            return;
        }
        DbFailure why;
        DbConnection *connection = acquire(why);
        const bool wantRow = !property("resultPath").empty();
        std::vector<DbColumn> row;
        bool ok = connection != nullptr &&
                  connection->run(property("statement"), parameters, wantRow ? &row : nullptr, why);
        if (ok) {
            ok = endWork(connection, why);
        }
        if (!ok) {
            if (why.connectionLost) {
                discard(); // the next message opens a new one
            }
            if (why.interrupted && stopping_) {
                // The broker is stopping: the message goes back to its queue. Whatever a
                // failure path does with the exception, the unit must not commit.
                try {
                    raiseUpstream(describe(why));
                } catch (...) {
                    noteDownstreamFailure();
                    throw;
                }
            }
            reportFailure(destinationList, message, describe(why));
            return;
        }
        if (!wantRow) {
            propagateOrRethrow(out, destinationList, exceptionList, message);
            return;
        }
        MessageGuard result{withResult(message, row)};
        propagateOrRethrow(out, destinationList, exceptionList, result.message);
    }

private:
    DbSettings settings() const {
        DbSettings s;
        s.busyTimeoutMs = parseNumber(property("busyTimeout"));
        s.statementTimeoutS = parseNumber(property("statementTimeout"));
        return s;
    }

    // The calling instance's connection, opened when it has none.
    DbConnection *acquire(DbFailure &why) {
        const std::thread::id self = std::this_thread::get_id();
        {
            std::lock_guard lock(mutex_);
            if (auto found = byThread_.find(self); found != byThread_.end()) {
                return found->second.get();
            }
            if (spare_ != nullptr) {
                DbConnection *c = spare_.get();
                byThread_.emplace(self, std::move(spare_));
                return c;
            }
        }
        std::unique_ptr<DbConnection> opened =
            openDataSource(property("dataSource"), settings(), why);
        if (opened == nullptr) {
            return nullptr;
        }
        std::lock_guard lock(mutex_);
        if (stopping_) {
            opened->interrupt();
        }
        DbConnection *c = opened.get();
        byThread_.emplace(self, std::move(opened));
        return c;
    }

    void discard() {
        std::unique_ptr<DbConnection> gone;
        std::lock_guard lock(mutex_);
        if (auto found = byThread_.find(std::this_thread::get_id()); found != byThread_.end()) {
            gone = std::move(found->second);
            byThread_.erase(found);
        }
    }

    void closeAll() {
        std::lock_guard lock(mutex_);
        byThread_.clear();
        spare_.reset();
    }

    // Ends the message's transaction at once, or joins it to the flow's unit of work.
    bool endWork(DbConnection *connection, DbFailure &why) {
        QueueConnection *unit = currentConnection();
        if (property("transaction") == "commit" || unit == nullptr || !unit->inUnitOfWork) {
            return connection->commit(why);
        }
        const std::string source = shownDataSource(property("dataSource"));
        unit->joinUnit({connection, [this, connection, source](bool commit, std::string &failed) {
                            if (!commit) {
                                connection->rollback();
                                return true;
                            }
                            DbFailure error;
                            if (connection->commit(error)) {
                                return true;
                            }
                            const DbDiagnostic &first = error.records.front();
                            failed = "node '" + name() + "' could not commit on data source '" +
                                     source + "': " + first.message + " (SQLSTATE " +
                                     first.sqlState + ")";
                            if (error.connectionLost) {
                                discard();
                            }
                            return false;
                        }});
        return true;
    }

    std::string bindParameters(CciMessage *message, std::vector<DbValue> &parameters) const {
        const std::vector<std::string> paths = parameterPaths(property("parameters"));
        std::vector<std::string> segments;
        for (size_t i = 0; i < paths.size(); ++i) {
            const std::string what = "parameter " + std::to_string(i + 1) + " ('" + paths[i] + "')";
            std::string why = splitPath(paths[i], segments);
            CciElement *element = why.empty() ? locate(message, segments, false) : nullptr;
            if (element == nullptr) {
                return what + (why.empty() ? " does not resolve in the message" : ": " + why);
            }
            DbValue value;
            if (why = valueOf(element, value); !why.empty()) {
                return what + ": " + why;
            }
            parameters.push_back(std::move(value));
        }
        return "";
    }

    // A copy of the message with the row's columns as children of the result element.
    CciMessage *withResult(CciMessage *message, const std::vector<DbColumn> &row) {
        int rc = 0;
        CciMessageContext *context = cniGetMessageContext(&rc, message);
        CciMessage *copy = cniCreateMessage(&rc, context);
        if (copy == nullptr) {
            raiseUpstream({outerEntry(),
                           nodeEntry(MSG_RESULT_FAILED,
                                     "Node '" + name() + "': cannot make the outgoing message")});
        }
        MessageGuard guard{copy};
        cniCopyElementTree(&rc, cniRootElement(&rc, message), cniRootElement(&rc, copy));
        std::vector<std::string> segments;
        splitPath(property("resultPath"), segments);
        CciElement *target = locate(copy, segments, true);
        if (target == nullptr) {
            raiseUpstream({outerEntry(),
                           nodeEntry(MSG_RESULT_FAILED, "Node '" + name() + "': result path '" +
                                                            property("resultPath") +
                                                            "' cannot be made in the message")});
        }
        for (const DbColumn &column : row) {
            CciElement *e = cniCreateElementAsLastChild(&rc, target);
            cniSetElementType(&rc, e, CCI_ELEMENT_TYPE_NAME);
            std::u16string columnName = broker::toUtf16(column.name);
            cniSetElementName(&rc, e, columnName.c_str());
            setValue(e, column.value);
        }
        guard.message = nullptr;
        return copy;
    }

    ListEntry outerEntry() const {
        const std::string source = shownDataSource(property("dataSource"));
        return {frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "DatabaseNode::evaluate",
                      MSG_STATEMENT_FAILED,
                      "Node '" + name() + "' could not run its SQL statement on data source '" +
                          source + "'"),
                {{CCI_VALUE_TYPE_CHAR, name()}, {CCI_VALUE_TYPE_CHAR, source}}};
    }

    ListEntry nodeEntry(int number, const std::string &text) const {
        return {frame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "DatabaseNode::evaluate",
                      number, text),
                {{CCI_VALUE_TYPE_CHAR, name()}, {CCI_VALUE_TYPE_CHAR, text}}};
    }

    // The driver's records: the first gives the exception's text; each gives its native
    // error, its SQLSTATE and its text ending in "SQLSTATE=", in the driver's order.
    std::vector<ListEntry> describe(const DbFailure &why) const {
        const DbDiagnostic &first = why.records.front();
        ListEntry database{frame(CCI_DATABASE_EXCEPTION, __FILE__, __LINE__,
                                 "DatabaseNode::execute", MSG_DATABASE_ERROR,
                                 "Database error: " + first.message + " (native error " +
                                     std::to_string(first.nativeError) + ", SQLSTATE " +
                                     first.sqlState + ")"),
                           {}};
        for (const DbDiagnostic &d : why.records) {
            database.inserts.push_back({CCI_VALUE_TYPE_INTEGER, std::to_string(d.nativeError)});
            database.inserts.push_back({CCI_VALUE_TYPE_CHAR, d.sqlState});
            database.inserts.push_back({CCI_VALUE_TYPE_CHAR, d.text + " SQLSTATE=" + d.sqlState});
        }
        return {outerEntry(), database};
    }

    // Raised upstream the broker keeps insert texts only: the innermost frame first.
    [[noreturn]] void raiseUpstream(const std::vector<ListEntry> &entries) const {
        std::vector<broker::ExceptionFrame> frames;
        for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
            broker::ExceptionFrame f = entry->frame;
            for (const TypedInsert &insert : entry->inserts) {
                f.inserts.push_back(insert.text);
            }
            frames.push_back(std::move(f));
        }
        raiseFrames(std::move(frames));
    }

    void reportFailure(CciMessage *destinationList, CciMessage *message,
                       const std::vector<ListEntry> &entries) {
        int rc = 0;
        if (!cniIsTerminalAttached(&rc, failure)) {
            raiseUpstream(entries);
        }
        CciMessage *list = buildExceptionList(message, entries);
        cniPropagate(&rc, failure, destinationList, list, message);
        int ignored = 0;
        cniDeleteMessage(&ignored, list);
        if (rc == CCI_EXCEPTION) {
            noteDownstreamFailure();
            cciRethrowLastException(nullptr);
        }
    }

    CciTerminal *out;
    CciTerminal *failure;
    std::mutex mutex_;
    std::map<std::thread::id, std::unique_ptr<DbConnection>> byThread_;
    std::unique_ptr<DbConnection> spare_; /* opened at deploy, taken by the first instance */
    std::atomic<bool> stopping_{false};
};

} // namespace

void registerDatabaseClass() {
    registerBuiltin<DatabaseNode>(DATABASE_CLASS);
}

} // namespace runtime
