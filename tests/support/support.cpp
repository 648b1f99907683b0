/*
 * Test support: the tree notation (builder and dumper), message scopes, log capture,
 * the exception guard, the "TestSink" node class and the test flow harness. Used by the
 * tests of every module that runs inside the stand-in broker; see support.h.
 */
#include "tests/support/support.h"

#include <charconv>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

#include "broker/text.h"

namespace testsupport {

namespace {

// ---- type names ------------------------------------------------------------------------

struct TypeName {
    const char *name;
    CciElementType type;
};

constexpr TypeName TYPE_NAMES[] = {
    {"NAME", CCI_ELEMENT_TYPE_NAME},
    {"VALUE", CCI_ELEMENT_TYPE_VALUE},
    {"NAME_VALUE", CCI_ELEMENT_TYPE_NAME_VALUE},
    {"XML", CCI_ELEMENT_TYPE_XML_BODY},
    {"DTD", CCI_ELEMENT_TYPE_DTD_HEADER},
    {"ATTR", CCI_ELEMENT_TYPE_XML_ATTRIBUTE},
    {"COMMENT", CCI_ELEMENT_TYPE_XML_COMMENT},
    {"PI", CCI_ELEMENT_TYPE_XML_PI},
    {"UNKNOWN", CCI_ELEMENT_TYPE_UNKNOWN},
};

std::string typeText(CciElementType type) {
    for (const TypeName &t : TYPE_NAMES) {
        if (t.type == type) {
            return t.name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(type));
    return text;
}

bool isRoot(const CciElement *element) {
    int rc = 0;
    return cniParent(&rc, const_cast<CciElement *>(element)) == nullptr;
}

CciElementType inferredType(bool named, bool valued, std::string_view name, bool parentIsRoot) {
    if (named && !valued && name == "XML" && parentIsRoot) {
        return CCI_ELEMENT_TYPE_XML_BODY;
    }
    if (named && valued) {
        return CCI_ELEMENT_TYPE_NAME_VALUE;
    }
    if (named) {
        return CCI_ELEMENT_TYPE_NAME;
    }
    if (valued) {
        return CCI_ELEMENT_TYPE_VALUE;
    }
    return CCI_ELEMENT_TYPE_UNKNOWN;
}

// ---- values ----------------------------------------------------------------------------

std::string realText(double value) {
    char text[64];
    auto result = std::to_chars(text, text + sizeof text, value);
    std::string s(text, result.ptr);
    if (s.find_first_of(".eEn") == std::string::npos) {
        s += ".0";
    }
    return s;
}

std::string secondsText(float seconds) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, seconds);
    std::string s(text, result.ptr);
    if (seconds < 10 && seconds >= 0) {
        s = "0" + s;
    }
    return s;
}

std::string timeText(const CciTime &t) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:", t.hour, t.minute);
    return text + secondsText(t.seconds);
}

std::string dateText(const CciDate &d) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.day);
    return text;
}

std::string hexText(const std::vector<CciByte> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (CciByte b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

std::u16string wideValue(CciElement *e, bool decimal) {
    int rc = 0;
    CciSize need = decimal ? cniElementDecimalValue(&rc, e, nullptr, 0)
                           : cniElementCharacterValue(&rc, e, nullptr, 0);
    std::u16string buffer(static_cast<size_t>(need > 0 ? need : 1), u'\0');
    if (decimal) {
        cniElementDecimalValue(&rc, e, buffer.data(), static_cast<CciSize>(buffer.size() * 2));
    } else {
        cniElementCharacterValue(&rc, e, buffer.data(), static_cast<CciSize>(buffer.size() * 2));
    }
    buffer.resize(buffer.size() - 1);
    return buffer;
}

std::vector<CciByte> bytesValue(CciElement *e, bool bits) {
    int rc = 0;
    CciByteArray probe{nullptr, 0};
    CciBitArray bitProbe{nullptr, 0};
    CciSize need = bits ? cniElementBitArrayValue(&rc, e, &bitProbe)
                        : cniElementByteArrayValue(&rc, e, &probe);
    std::vector<CciByte> bytes(static_cast<size_t>(need > 0 ? need : 0));
    if (bits) {
        CciBitArray area{bytes.data(), static_cast<CciSize>(bytes.size())};
        cniElementBitArrayValue(&rc, e, &area);
    } else {
        CciByteArray area{bytes.data(), static_cast<CciSize>(bytes.size())};
        cniElementByteArrayValue(&rc, e, &area);
    }
    return bytes;
}

std::string quoted(std::string_view text) {
    std::string s = "'";
    for (char c : text) {
        if (c == '\'') {
            s += "''";
        } else {
            s.push_back(c);
        }
    }
    return s + "'";
}

// The value in the notation; empty when the element has none.
std::string valueNotation(const CciElement *element) {
    auto *e = const_cast<CciElement *>(element);
    int rc = 0;
    switch (cniElementValueType(&rc, e)) {
    case CCI_VALUE_TYPE_BOOL:
        return cniElementBooleanValue(&rc, e) ? "TRUE" : "FALSE";
    case CCI_VALUE_TYPE_INTEGER:
        return std::to_string(cniElementIntegerValue(&rc, e));
    case CCI_VALUE_TYPE_REAL:
        return realText(cniElementRealValue(&rc, e));
    case CCI_VALUE_TYPE_DECIMAL:
        return "DEC" + quoted(broker::toUtf8(wideValue(e, true)));
    case CCI_VALUE_TYPE_CHAR:
        return quoted(broker::toUtf8(wideValue(e, false)));
    case CCI_VALUE_TYPE_TIME:
        return "T'" + timeText(cniElementTimeValue(&rc, e)) + "'";
    case CCI_VALUE_TYPE_GMTTIME:
        return "GT'" + timeText(cniElementGmtTimeValue(&rc, e)) + "'";
    case CCI_VALUE_TYPE_DATE:
        return "D'" + dateText(cniElementDateValue(&rc, e)) + "'";
    case CCI_VALUE_TYPE_TIMESTAMP: {
        CciTimestamp t = cniElementTimestampValue(&rc, e);
        return "TS'" + dateText(t.date) + " " + timeText(t.time) + "'";
    }
    case CCI_VALUE_TYPE_GMTTIMESTAMP: {
        CciTimestamp t = cniElementGmtTimestampValue(&rc, e);
        return "GTS'" + dateText(t.date) + " " + timeText(t.time) + "'";
    }
    case CCI_VALUE_TYPE_BYTEARRAY:
        return "X'" + hexText(bytesValue(e, false)) + "'";
    case CCI_VALUE_TYPE_BITARRAY:
        return "B'" + hexText(bytesValue(e, true)) + "'";
    default:
        return "";
    }
}

std::string nameOf(const CciElement *element) {
    int rc = 0;
    auto *e = const_cast<CciElement *>(element);
    CciSize need = cniElementName(&rc, e, nullptr, 0);
    std::u16string buffer(static_cast<size_t>(need > 0 ? need : 1), u'\0');
    cniElementName(&rc, e, buffer.data(), static_cast<CciSize>(buffer.size() * 2));
    buffer.resize(buffer.size() - 1);
    return broker::toUtf8(buffer);
}

bool plainName(std::string_view name) {
    if (name.empty()) {
        return false;
    }
    for (unsigned char c : name) {
        if (!(std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':' || c == '$' ||
              c >= 0x80)) {
            return false;
        }
    }
    return true;
}

std::string headNotation(const CciElement *element) {
    auto *e = const_cast<CciElement *>(element);
    int rc = 0;
    std::string name = nameOf(e);
    std::string value = valueNotation(e);
    CciElementType type = cniElementType(&rc, e);
    CciElement *parent = cniParent(&rc, e);
    bool parentIsRoot = parent != nullptr && isRoot(parent);
    std::string head;
    bool attribute = type == CCI_ELEMENT_TYPE_XML_ATTRIBUTE && !name.empty();
    if (attribute) {
        head = "@";
    }
    if (!name.empty()) {
        head += plainName(name) && name[0] != '@' ? name : "\"" + name + "\"";
    }
    if (!attribute && (type != inferredType(!name.empty(), !value.empty(), name, parentIsRoot) ||
                       (name.empty() && value.empty()))) {
        head += "[" + typeText(type) + "]";
    }
    if (!value.empty()) {
        head += head.empty() ? value : "=" + value;
    }
    return head;
}

void dumpInto(std::string &out, const CciElement *element) {
    out += headNotation(element);
    int rc = 0;
    CciElement *c = cniFirstChild(&rc, const_cast<CciElement *>(element));
    if (c == nullptr) {
        return;
    }
    out += "(";
    for (bool first = true; c != nullptr; c = cniNextSibling(&rc, c), first = false) {
        if (!first) {
            out += ", ";
        }
        dumpInto(out, c);
    }
    out += ")";
}

void dumpIndentedInto(std::string &out, const CciElement *element, int depth) {
    out.append(static_cast<size_t>(depth) * 2, ' ');
    out += headNotation(element);
    out += "\n";
    int rc = 0;
    for (CciElement *c = cniFirstChild(&rc, const_cast<CciElement *>(element)); c != nullptr;
         c = cniNextSibling(&rc, c)) {
        dumpIndentedInto(out, c, depth + 1);
    }
}

// ---- the notation's reader --------------------------------------------------------------

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    CciElement *elements(CciElement *parent) {
        CciElement *first = nullptr;
        skip();
        if (at_ == text_.size()) {
            return nullptr;
        }
        while (true) {
            CciElement *e = element(parent);
            if (first == nullptr) {
                first = e;
            }
            skip();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            return first;
        }
    }

    void end() {
        skip();
        if (at_ != text_.size()) {
            fail("unexpected text");
        }
    }

private:
    [[noreturn]] void fail(const std::string &what) {
        throw std::invalid_argument("tree notation: " + what + " at offset " + std::to_string(at_) +
                                    " in \"" + std::string(text_) + "\"");
    }

    void skip() {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) {
            ++at_;
        }
    }

    bool take(char c) {
        skip();
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }

    std::string quotedText(char quote) {
        std::string s;
        ++at_; // opening quote
        while (true) {
            if (at_ >= text_.size()) {
                fail("unterminated text");
            }
            char c = text_[at_++];
            if (c == quote) {
                if (at_ < text_.size() && text_[at_] == quote) {
                    s.push_back(quote);
                    ++at_;
                    continue;
                }
                return s;
            }
            s.push_back(c);
        }
    }

    std::string word() {
        size_t start = at_;
        while (at_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[at_]);
            if (std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':' || c == '$' ||
                c >= 0x80) {
                ++at_;
            } else {
                break;
            }
        }
        return std::string(text_.substr(start, at_ - start));
    }

    CciElementType typeName() {
        skip();
        std::string w = word();
        if (!take(']')) {
            fail("expected ]");
        }
        for (const TypeName &t : TYPE_NAMES) {
            if (w == t.name) {
                return t.type;
            }
        }
        if (w.size() > 2 && w[0] == '0' && (w[1] == 'x' || w[1] == 'X')) {
            return static_cast<CciElementType>(std::stoul(w.substr(2), nullptr, 16));
        }
        fail("unknown type '" + w + "'");
    }

    static std::vector<CciByte> hexBytes(const std::string &hex) {
        if (hex.size() % 2 != 0) {
            throw std::invalid_argument("tree notation: odd number of hex digits in '" + hex + "'");
        }
        std::vector<CciByte> bytes;
        for (size_t i = 0; i < hex.size(); i += 2) {
            bytes.push_back(static_cast<CciByte>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        }
        return bytes;
    }

    CciTime timeValue(const std::string &text) {
        CciTime t{0, 0, 0.0f};
        int hour = 0, minute = 0;
        char seconds[32] = {0};
        if (std::sscanf(text.c_str(), "%d:%d:%31s", &hour, &minute, seconds) != 3) {
            fail("bad time '" + text + "'");
        }
        t.hour = hour;
        t.minute = minute;
        t.seconds = std::stof(seconds);
        return t;
    }

    CciDate dateValue(const std::string &text) {
        CciDate d{0, 0, 0};
        if (std::sscanf(text.c_str(), "%d-%d-%d", &d.year, &d.month, &d.day) != 3) {
            fail("bad date '" + text + "'");
        }
        return d;
    }

    CciTimestamp timestampValue(const std::string &text) {
        size_t blank = text.find(' ');
        if (blank == std::string::npos) {
            fail("bad timestamp '" + text + "'");
        }
        return CciTimestamp{dateValue(text.substr(0, blank)), timeValue(text.substr(blank + 1))};
    }

    // Reads a value and sets it on the element.
    void value(CciElement *e) {
        skip();
        if (at_ >= text_.size()) {
            fail("expected a value");
        }
        int rc = 0;
        char c = text_[at_];
        if (c == '\'') {
            std::u16string text = broker::toUtf16(quotedText('\''));
            cniSetElementCharacterValue(&rc, e, text.c_str(), static_cast<CciSize>(text.size()));
            return;
        }
        if (c == '-' || c == '+' || std::isdigit(static_cast<unsigned char>(c))) {
            size_t start = at_;
            ++at_;
            bool real = false;
            while (at_ < text_.size() &&
                   (std::isdigit(static_cast<unsigned char>(text_[at_])) || text_[at_] == '.' ||
                    text_[at_] == 'e' || text_[at_] == 'E' ||
                    ((text_[at_] == '-' || text_[at_] == '+') &&
                     (text_[at_ - 1] == 'e' || text_[at_ - 1] == 'E')))) {
                real = real || !std::isdigit(static_cast<unsigned char>(text_[at_]));
                ++at_;
            }
            std::string number(text_.substr(start, at_ - start));
            if (real) {
                cniSetElementRealValue(&rc, e, std::stod(number));
            } else {
                cniSetElementIntegerValue(&rc, e, std::stoll(number));
            }
            return;
        }
        std::string w = word();
        if (w == "TRUE" || w == "FALSE") {
            cniSetElementBooleanValue(&rc, e, w == "TRUE");
            return;
        }
        if (at_ >= text_.size() || text_[at_] != '\'') {
            fail("unknown value '" + w + "'");
        }
        std::string text = quotedText('\'');
        if (w == "X" || w == "B") {
            std::vector<CciByte> bytes = hexBytes(text);
            if (w == "X") {
                CciByteArray area{bytes.data(), static_cast<CciSize>(bytes.size())};
                cniSetElementByteArrayValue(&rc, e, &area);
            } else {
                CciBitArray area{bytes.data(), static_cast<CciSize>(bytes.size())};
                cniSetElementBitArrayValue(&rc, e, &area);
            }
        } else if (w == "DEC") {
            std::u16string wide = broker::toUtf16(text);
            cniSetElementDecimalValue(&rc, e, wide.c_str());
            if (rc != 0) {
                fail("bad decimal '" + text + "'");
            }
        } else if (w == "T") {
            cniSetElementTimeValue(&rc, e, timeValue(text));
        } else if (w == "GT") {
            cniSetElementGmtTimeValue(&rc, e, timeValue(text));
        } else if (w == "D") {
            cniSetElementDateValue(&rc, e, dateValue(text));
        } else if (w == "TS") {
            cniSetElementTimestampValue(&rc, e, timestampValue(text));
        } else if (w == "GTS") {
            cniSetElementGmtTimestampValue(&rc, e, timestampValue(text));
        } else {
            fail("unknown value prefix '" + w + "'");
        }
    }

    bool startsBareValue() {
        if (at_ >= text_.size()) {
            return false;
        }
        char c = text_[at_];
        if (c == '\'' || std::isdigit(static_cast<unsigned char>(c))) {
            return true;
        }
        if ((c == '-' || c == '+') && at_ + 1 < text_.size() &&
            std::isdigit(static_cast<unsigned char>(text_[at_ + 1]))) {
            return true;
        }
        static const char *const prefixes[] = {"X'",  "B'", "DEC'", "T'",
                                               "GT'", "D'", "TS'",  "GTS'"};
        for (const char *p : prefixes) {
            if (text_.substr(at_).starts_with(p)) {
                return true;
            }
        }
        return false;
    }

    CciElement *element(CciElement *parent) {
        int rc = 0;
        skip();
        CciElement *e = cniCreateElementAsLastChild(&rc, parent);
        bool attribute = false;
        std::string name;
        if (at_ < text_.size() && text_[at_] == '@') {
            attribute = true;
            ++at_;
        }
        bool valued = false;
        if (startsBareValue()) {
            value(e); // a value without a name: 'text', 42, X'00'...
            valued = true;
        } else if (at_ < text_.size() && text_[at_] == '"') {
            name = quotedText('"');
        } else {
            name = word();
        }
        if (!name.empty()) {
            std::u16string wide = broker::toUtf16(name);
            cniSetElementName(&rc, e, wide.c_str());
        }
        std::optional<CciElementType> type;
        if (take('[')) {
            type = typeName();
        }
        if (!valued && take('=')) {
            value(e);
            valued = true;
        }
        if (name.empty() && !valued && !type) {
            fail("an element needs a name, a type or a value");
        }
        CciElementType t = attribute ? CCI_ELEMENT_TYPE_XML_ATTRIBUTE
                           : type    ? *type
                                     : inferredType(!name.empty(), valued, name, isRoot(parent));
        cniSetElementType(&rc, e, t);
        if (take('(')) {
            skip();
            if (!(at_ < text_.size() && text_[at_] == ')')) {
                elements(e);
            }
            if (!take(')')) {
                fail("expected )");
            }
        }
        return e;
    }

    std::string_view text_;
    size_t at_ = 0;
};

} // namespace

// ---- trees ------------------------------------------------------------------------------

CciElement *build(CciElement *parent, std::string_view notation) {
    if (parent == nullptr) {
        throw std::invalid_argument("tree notation: no parent element");
    }
    Reader reader(notation);
    CciElement *first = reader.elements(parent);
    reader.end();
    return first;
}

std::string dump(const CciElement *element) {
    if (element == nullptr) {
        return "<null>";
    }
    std::string out;
    dumpInto(out, element);
    return out;
}

std::string dumpChildren(const CciElement *element) {
    if (element == nullptr) {
        return "<null>";
    }
    std::string out;
    int rc = 0;
    for (CciElement *c = cniFirstChild(&rc, const_cast<CciElement *>(element)); c != nullptr;
         c = cniNextSibling(&rc, c)) {
        if (!out.empty()) {
            out += ", ";
        }
        dumpInto(out, c);
    }
    return out;
}

std::string dumpMessage(CciMessage *message) {
    if (message == nullptr) {
        return "<null>";
    }
    int rc = 0;
    return dumpChildren(cniRootElement(&rc, message));
}

std::string dumpIndented(const CciElement *element) {
    if (element == nullptr) {
        return "<null>\n";
    }
    std::string out;
    dumpIndentedInto(out, element, 0);
    return out;
}

CciElement *child(const CciElement *from, std::string_view path) {
    auto *at = const_cast<CciElement *>(from);
    while (at != nullptr && !path.empty()) {
        size_t dot = path.find('.');
        std::string_view name = path.substr(0, dot);
        path = dot == std::string_view::npos ? std::string_view() : path.substr(dot + 1);
        int rc = 0;
        CciElement *c = cniFirstChild(&rc, at);
        while (c != nullptr && nameOf(c) != name) {
            c = cniNextSibling(&rc, c);
        }
        at = c;
    }
    return at;
}

std::string valueOf(const CciElement *element) {
    int rc = 0;
    auto *e = const_cast<CciElement *>(element);
    if (cniElementValueType(&rc, e) == CCI_VALUE_TYPE_CHAR) {
        return broker::toUtf8(wideValue(e, false));
    }
    return valueNotation(element);
}

MessageScope::MessageScope() : context_(broker::createContext()) {}
MessageScope::~MessageScope() {
    broker::deleteContext(context_);
}

CciMessage *MessageScope::message(std::string_view notation) {
    CciMessage *m = broker::createTreeMessage(context_, "Root");
    int rc = 0;
    build(cniRootElement(&rc, m), notation);
    return m;
}

CciMessage *MessageScope::exceptionList(std::string_view notation) {
    CciMessage *m = broker::createTreeMessage(context_, "ExceptionList");
    int rc = 0;
    build(cniRootElement(&rc, m), notation);
    return m;
}

CciMessage *MessageScope::destinationList(std::string_view notation) {
    CciMessage *m = broker::createTreeMessage(context_, "LocalEnvironment");
    int rc = 0;
    build(cniRootElement(&rc, m), notation);
    return m;
}

CciMessage *MessageScope::input(std::string_view body, std::string_view parser,
                                const broker::Descriptor &descriptor) {
    return broker::createInputMessage(context_, descriptor, body, parser);
}

// ---- log ---------------------------------------------------------------------------------

LogCapture::LogCapture() {
    hook_ = broker::addLogHook([this](const broker::LogEntry &entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(entry);
    });
}

LogCapture::~LogCapture() {
    broker::removeLogHook(hook_);
}

std::vector<broker::LogEntry> LogCapture::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<int> LogCapture::numbers() const {
    std::vector<int> numbers;
    for (const auto &e : entries()) {
        numbers.push_back(e.messageNumber);
    }
    return numbers;
}

std::vector<broker::LogEntry> LogCapture::withNumber(int number) const {
    std::vector<broker::LogEntry> found;
    for (const auto &e : entries()) {
        if (e.messageNumber == number) {
            found.push_back(e);
        }
    }
    return found;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::string LogCapture::describe() const {
    std::string out;
    for (const auto &e : entries()) {
        out += broker::formatLogLine(e) + "\n";
    }
    return out.empty() ? "(no log entries)\n" : out;
}

// ---- exceptions --------------------------------------------------------------------------

namespace {

Raised describeRaised(const broker::BrokerException &e) {
    Raised r;
    r.frames = e.frames;
    r.frame = e.frames.front();
    r.record = broker::exceptionRecord(r.frame);
    r.text = e.what();
    return r;
}

} // namespace

std::optional<Raised> raisedBy(const std::function<void()> &operation) {
    auto raised = broker::guard(operation);
    if (raised == nullptr) {
        return std::nullopt;
    }
    return describeRaised(*raised);
}

std::optional<Raised> lastRaised() {
    auto last = broker::lastException();
    if (last == nullptr || last->frames.empty()) {
        return std::nullopt;
    }
    return describeRaised(*last);
}

// ---- the sink node class -----------------------------------------------------------------

namespace {

struct Sinks {
    std::mutex mutex;
    std::map<std::string, std::vector<SinkRecord>, std::less<>> records;
};

Sinks &sinks() {
    static Sinks *instance = new Sinks();
    return *instance;
}

struct SinkContext {
    CciNode *node;
    std::string name;
    std::u16string raise;
    CciTerminal *out;
};

CciContext *sinkCreate(CciFactory *, CciChar *, CciNode *node) {
    auto *context = new SinkContext{node, broker::nodeName(node), {}, nullptr};
    int rc = 0;
    cniCreateInputTerminal(&rc, node, u"in");
    context->out = cniCreateOutputTerminal(&rc, node, u"out");
    cniCreateOutputTerminal(&rc, node, u"failure");
    return context;
}

void sinkDelete(CciContext *context) {
    delete static_cast<SinkContext *>(context);
}

int sinkAttributeName(CciContext *, int index, CciChar *buffer, int bufferSize) {
    if (index != 0 || bufferSize < 6) {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    std::memcpy(buffer, u"raise", 6 * sizeof(CciChar));
    return CCI_ATTRIBUTE_OK;
}

int sinkSetAttribute(CciContext *context, CciChar *name, CciChar *value) {
    auto *sink = static_cast<SinkContext *>(context);
    std::u16string_view n = broker::view16(name);
    if (n == u"raise") {
        sink->raise = broker::view16(value);
        return CCI_ATTRIBUTE_OK;
    }
    return n == u"label" ? CCI_ATTRIBUTE_OK : CCI_ATTRIBUTE_UNKNOWN;
}

int sinkGetAttribute(CciContext *context, CciChar *name, CciChar *buffer, int bufferSize) {
    auto *sink = static_cast<SinkContext *>(context);
    if (broker::view16(name) != u"raise") {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    if (static_cast<int>(sink->raise.size()) > bufferSize) {
        return CCI_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, sink->raise.c_str(), (sink->raise.size() + 1) * sizeof(CciChar));
    return CCI_ATTRIBUTE_OK;
}

void sinkEvaluate(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
                  CciMessage *message) {
    auto *sink = static_cast<SinkContext *>(context);
    if (!sink->raise.empty()) {
        std::string request = broker::toUtf8(sink->raise);
        int type = std::atoi(request.c_str());
        size_t blank = request.find(' ');
        std::string text = blank == std::string::npos ? "" : request.substr(blank + 1);
        int rc = 0;
        cciThrowException(&rc, type, __FILE__, __LINE__, "TestSink::evaluate", u"TestSink", 1,
                          text.c_str(), text.c_str(), nullptr);
    }
    SinkRecord record;
    record.message = dumpMessage(message);
    record.exceptionList = exceptionList == nullptr ? "" : dumpMessage(exceptionList);
    record.destinationList = destinationList == nullptr ? "" : dumpMessage(destinationList);
    try {
        record.body = broker::bodyOf(message);
    } catch (const broker::BrokerException &e) {
        record.body = std::string("<not writable: ") + e.what() + ">";
    }
    {
        Sinks &s = sinks();
        std::lock_guard lock(s.mutex);
        s.records[sink->name].push_back(std::move(record));
    }
    int rc = 0;
    cniPropagate(&rc, sink->out, destinationList, exceptionList, message);
    if (rc == CCI_EXCEPTION) {
        cciRethrowLastException(nullptr);
    }
}

} // namespace

void registerSinkClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        CNI_VFT table = CNI_VFT_DEFAULT;
        table.iFpCreateContext = sinkCreate;
        table.iFpDeleteContext = sinkDelete;
        table.iFpGetAttributeName = sinkAttributeName;
        table.iFpSetAttribute = sinkSetAttribute;
        table.iFpGetAttribute = sinkGetAttribute;
        table.iFpEvaluate = sinkEvaluate;
        broker::registerBuiltinClass("TestSink", table);
    });
}

std::vector<SinkRecord> sinkRecords(std::string_view nodeName) {
    Sinks &s = sinks();
    std::lock_guard lock(s.mutex);
    auto found = s.records.find(nodeName);
    return found == s.records.end() ? std::vector<SinkRecord>() : found->second;
}

void clearSinkRecords() {
    Sinks &s = sinks();
    std::lock_guard lock(s.mutex);
    s.records.clear();
}

// ---- the test flow -----------------------------------------------------------------------

TestFlow::TestFlow(std::string_view name) : flow_(broker::createFlow(name)) {
    registerSinkClass();
    clearSinkRecords();
}

TestFlow::~TestFlow() {
    broker::deleteFlow(flow_);
    clearSinkRecords();
}

CciNode *
TestFlow::node(std::string_view className, std::string_view nodeName,
               std::initializer_list<std::pair<std::string_view, std::string_view>> properties) {
    CciNode *n = broker::createNode(flow_, className, nodeName);
    for (const auto &[name, value] : properties) {
        broker::setProperty(n, name, value);
    }
    return n;
}

void TestFlow::connect(std::string_view connection) {
    size_t arrow = connection.find("->");
    if (arrow == std::string_view::npos) {
        throw std::invalid_argument("connection without '->': " + std::string(connection));
    }
    auto trim = [](std::string_view s) {
        while (!s.empty() && s.front() == ' ') {
            s.remove_prefix(1);
        }
        while (!s.empty() && s.back() == ' ') {
            s.remove_suffix(1);
        }
        return s;
    };
    std::string_view from = trim(connection.substr(0, arrow));
    std::string_view to = trim(connection.substr(arrow + 2));
    size_t fromDot = from.rfind('.');
    size_t toDot = to.rfind('.');
    if (fromDot == std::string_view::npos || toDot == std::string_view::npos) {
        throw std::invalid_argument("connection needs node.terminal on both sides: " +
                                    std::string(connection));
    }
    CciNode *a = (*this)[from.substr(0, fromDot)];
    CciNode *b = (*this)[to.substr(0, toDot)];
    if (a == nullptr || b == nullptr) {
        throw std::invalid_argument("connection names a node the flow does not have: " +
                                    std::string(connection));
    }
    broker::connect(a, from.substr(fromDot + 1), b, to.substr(toDot + 1));
}

CciNode *TestFlow::operator[](std::string_view nodeName) const {
    return broker::findNode(flow_, nodeName);
}

int TestFlow::deliver(std::string_view nodeName, CciMessage *message, CciMessage *exceptionList,
                      CciMessage *destinationList) {
    CciNode *n = (*this)[nodeName];
    if (n == nullptr) {
        throw std::invalid_argument("deliver: the flow has no node '" + std::string(nodeName) +
                                    "'");
    }
    int rc = 0;
    CciMessageContext *context = cniGetMessageContext(&rc, message);
    CciMessage *madeList = nullptr;
    CciMessage *madeDestinations = nullptr;
    if (exceptionList == nullptr) {
        exceptionList = madeList = broker::createTreeMessage(context, "ExceptionList");
    }
    if (destinationList == nullptr) {
        destinationList = madeDestinations = broker::createTreeMessage(context, "LocalEnvironment");
    }
    int result = broker::deliver(n, destinationList, exceptionList, message);
    if (madeList != nullptr) {
        cniDeleteMessage(&rc, madeList);
    }
    if (madeDestinations != nullptr) {
        cniDeleteMessage(&rc, madeDestinations);
    }
    return result;
}

} // namespace testsupport
