/*
 * The Trace node: writes the message tree it receives (and its exception list, when it
 * has one) in a readable indented form to a file or to standard error, then passes the
 * message on through "out". Writes of one node are serialised so that the entries of
 * concurrent instances never interleave. Also offers the tree writer to the runtime's
 * tests. Reached by the broker through the node-class table.
 */
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "broker/text.h"
#include "runtime/builtin.h"
#include "runtime/builtins.h"

namespace runtime {

namespace {

constexpr PropertyDefinition TRACE_PROPERTIES[] = {
    {"file", "", nullptr},
    {"label", "", nullptr},
};

std::string characterValue(CciElement *e) {
    int rc = 0;
    CciChar probe[1];
    CciSize needed = cniElementCharacterValue(&rc, e, probe, sizeof probe);
    std::u16string text(static_cast<size_t>(needed > 0 ? needed : 1), u'\0');
    cniElementCharacterValue(&rc, e, text.data(), static_cast<CciSize>(text.size() * 2));
    return broker::toUtf8(broker::view16(text.c_str()));
}

std::string bytesValue(CciElement *e, bool bits) {
    int rc = 0;
    CciByteArray probe{nullptr, 0};
    CciBitArray bitProbe{nullptr, 0};
    CciSize size = bits ? cniElementBitArrayValue(&rc, e, &bitProbe)
                        : cniElementByteArrayValue(&rc, e, &probe);
    std::vector<CciByte> bytes(static_cast<size_t>(size > 0 ? size : 0));
    CciByteArray area{bytes.data(), static_cast<CciSize>(bytes.size())};
    if (bits) {
        CciBitArray bitArea{bytes.data(), area.size};
        cniElementBitArrayValue(&rc, e, &bitArea);
    } else {
        cniElementByteArrayValue(&rc, e, &area);
    }
    return (bits ? "B'" : "X'") + hexText(bytes.data(), bytes.size()) + "'";
}

std::string valueText(CciElement *e) {
    int rc = 0;
    char text[96];
    switch (cniElementValueType(&rc, e)) {
    case CCI_VALUE_TYPE_BOOL:
        return cniElementBooleanValue(&rc, e) ? "TRUE" : "FALSE";
    case CCI_VALUE_TYPE_INTEGER:
        return std::to_string(cniElementIntegerValue(&rc, e));
    case CCI_VALUE_TYPE_REAL:
        std::snprintf(text, sizeof text, "%g", cniElementRealValue(&rc, e));
        return text;
    case CCI_VALUE_TYPE_DECIMAL: {
        CciChar probe[1];
        CciSize needed = cniElementDecimalValue(&rc, e, probe, sizeof probe);
        std::u16string value(static_cast<size_t>(needed > 0 ? needed : 1), u'\0');
        cniElementDecimalValue(&rc, e, value.data(), static_cast<CciSize>(value.size() * 2));
        return broker::toUtf8(broker::view16(value.c_str()));
    }
    case CCI_VALUE_TYPE_CHAR:
        return "'" + characterValue(e) + "'";
    case CCI_VALUE_TYPE_TIME:
    case CCI_VALUE_TYPE_GMTTIME: {
        CciTime t = cniElementTimeValue(&rc, e);
        std::snprintf(text, sizeof text, "TIME '%02d:%02d:%06.3f'", t.hour, t.minute,
                      static_cast<double>(t.seconds));
        return text;
    }
    case CCI_VALUE_TYPE_DATE: {
        CciDate d = cniElementDateValue(&rc, e);
        std::snprintf(text, sizeof text, "DATE '%04d-%02d-%02d'", d.year, d.month, d.day);
        return text;
    }
    case CCI_VALUE_TYPE_TIMESTAMP:
    case CCI_VALUE_TYPE_GMTTIMESTAMP: {
        CciTimestamp s = cniElementTimestampValue(&rc, e);
        std::snprintf(text, sizeof text, "TIMESTAMP '%04d-%02d-%02d %02d:%02d:%06.3f'", s.date.year,
                      s.date.month, s.date.day, s.time.hour, s.time.minute,
                      static_cast<double>(s.time.seconds));
        return text;
    }
    case CCI_VALUE_TYPE_BYTEARRAY:
        return bytesValue(e, false);
    case CCI_VALUE_TYPE_BITARRAY:
        return bytesValue(e, true);
    default:
        return "";
    }
}

const char *kindNote(CciElementType type) {
    switch (type) {
    case CCI_ELEMENT_TYPE_NAME:
    case CCI_ELEMENT_TYPE_VALUE:
    case CCI_ELEMENT_TYPE_NAME_VALUE:
        return "";
    case CCI_ELEMENT_TYPE_XML_BODY:
        return " (XML body)";
    case CCI_ELEMENT_TYPE_XML_ATTRIBUTE:
        return " (attribute)";
    case CCI_ELEMENT_TYPE_DTD_HEADER:
        return " (DTD)";
    default:
        return nullptr;
    }
}

// Elements deeper than this are all written at its column, their depth written as a
// number: indentation by depth alone would make the entry of a deeply nested message grow
// with the square of its depth.
constexpr int MAX_INDENTED_DEPTH = 32;

void indent(std::string &out, int depth) {
    if (depth <= MAX_INDENTED_DEPTH) {
        out.append(static_cast<size_t>(depth) * 2, ' ');
        return;
    }
    out.append(static_cast<size_t>(MAX_INDENTED_DEPTH) * 2, ' ');
    out += "[" + std::to_string(depth) + "] ";
}

// Depth-first with an explicit stack: a deep tree cannot exhaust the thread's stack. The
// stack holds the next sibling to visit at each level, so its size is the tree's depth.
void dumpTree(CciElement *root, std::string &out) {
    std::vector<std::pair<CciElement *, int>> stack{{root, 0}};
    while (!stack.empty()) {
        auto [e, depth] = stack.back();
        stack.pop_back();
        int rc = 0;
        if (CciElement *next = depth == 0 ? nullptr : cniNextSibling(&rc, e)) {
            stack.emplace_back(next, depth);
        }
        indent(out, depth);
        CciChar nameBuffer[256];
        CciSize needed = cniElementName(&rc, e, nameBuffer, sizeof nameBuffer);
        std::string name;
        if (needed > static_cast<CciSize>(std::size(nameBuffer))) {
            std::u16string longName(static_cast<size_t>(needed), u'\0');
            cniElementName(&rc, e, longName.data(), static_cast<CciSize>(longName.size() * 2));
            name = broker::toUtf8(broker::view16(longName.c_str()));
        } else {
            name = broker::toUtf8(broker::view16(nameBuffer));
        }
        CciElementType type = cniElementType(&rc, e);
        std::string value = valueText(e);
        out += name;
        if (const char *note = kindNote(type)) {
            out += note;
        } else {
            char hex[32];
            std::snprintf(hex, sizeof hex, " (type 0x%08x)", static_cast<unsigned>(type));
            out += hex;
        }
        if (!value.empty()) {
            out += name.empty() ? value : " = " + value;
        }
        out += '\n';
        if (CciElement *first = cniFirstChild(&rc, e)) {
            stack.emplace_back(first, depth + 1);
        }
    }
}

std::string flowNameOf(CciNode *node) {
    CciChar name[257] = {0};
    CNI_BROKER_INFO_ST info = CNI_BROKER_INFO_DEFAULT;
    info.messageFlowName.buffer = name;
    info.messageFlowName.bufferLength = sizeof name;
    int rc = 0;
    cniGetBrokerInfo(&rc, node, &info);
    return broker::toUtf8(broker::view16(name));
}

std::string now() {
    auto clock = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(clock);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return text;
}

class TraceNode : public BuiltinNode {
public:
    explicit TraceNode(CciNode *node) : BuiltinNode(node, TRACE_CLASS, TRACE_PROPERTIES) {
        addInput(u"in");
        out = addOutput(u"out");
    }

    void evaluate(CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) override {
        std::string entry = "---- Trace node '" + name() + "' of flow '" + flowNameOf(node()) +
                            "' at " + now() + "\nMessage:\n" + dumpMessage(message);
        int rc = 0;
        CciElement *listRoot =
            exceptionList == nullptr ? nullptr : cniRootElement(&rc, exceptionList);
        if (listRoot != nullptr && cniFirstChild(&rc, listRoot) != nullptr) {
            entry += "ExceptionList:\n" + dumpMessage(exceptionList);
        }
        write(entry);
        propagateOrRethrow(out, destinationList, exceptionList, message);
    }

private:
    // A trace that cannot be written is reported in the log (3018), never a reason to
    // fail the message. Every step is checked: a full disk shows itself only when the
    // buffered entry is flushed or the file closed.
    void write(const std::string &entry) {
        const std::string path = property("file");
        std::lock_guard lock(mutex_);
        if (path.empty()) {
            errno = 0;
            if (std::fwrite(entry.data(), 1, entry.size(), stderr) != entry.size() ||
                std::fflush(stderr) != 0) {
                report("standard error", "write", errno);
                std::clearerr(stderr);
            }
            return;
        }
        errno = 0;
        FILE *file = std::fopen(path.c_str(), "a");
        if (file == nullptr) {
            report("'" + path + "'", "open", errno);
            return;
        }
        const char *failed = nullptr;
        int error = 0;
        errno = 0;
        if (std::fwrite(entry.data(), 1, entry.size(), file) != entry.size()) {
            failed = "write";
            error = errno;
        } else if (std::fflush(file) != 0) {
            failed = "write";
            error = errno;
        }
        errno = 0;
        if (std::fclose(file) != 0 && failed == nullptr) {
            failed = "close";
            error = errno;
        }
        if (failed != nullptr) {
            report("'" + path + "'", failed, error);
        }
    }

    void report(const std::string &where, const char *step, int error) {
        const std::string path = property("file");
        const std::string reason = error != 0 ? std::strerror(error) : "an unknown error";
        runtimeLog(CCI_LOG_ERROR, __FILE__, __LINE__, "TraceNode::write", MSG_TRACE_FAILED,
                   "Node '" + name() + "' cannot " + step + " its trace file " + where + ": " +
                       reason,
                   {name(), path.empty() ? "standard error" : path, reason});
    }

    CciTerminal *out;
    std::mutex mutex_;
};

} // namespace

std::string dumpMessage(CciMessage *message) {
    int rc = 0;
    CciElement *root = cniRootElement(&rc, message);
    std::string out;
    if (root != nullptr) {
        dumpTree(root, out);
    }
    return out;
}

void registerTraceClass() {
    registerBuiltin<TraceNode>(TRACE_CLASS);
}

} // namespace runtime
