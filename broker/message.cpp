/*
 * Messages and message contexts of the stand-in broker: creation and deletion, the
 * shared environment tree, the message shape (Properties, MQMD, body), the descriptor
 * taken in and out of the MQMD, and the bit stream (descriptor, then body).
 *
 * Owns struct CciMessage and struct CciMessageContext. Called by plug-ins through the
 * cni message calls and by the runtime and tests through host.h.
 */
#include <cstring>

#include "broker/internal.h"
#include "broker/text.h"

namespace broker {

// ---- contexts and messages ---------------------------------------------------------------

CciMessage *newMessage(CciMessageContext *context, std::u16string_view rootName) {
    auto *message = new CciMessage();
    message->context = context;
    message->root = newElement(message);
    message->root->type = CCI_ELEMENT_TYPE_NAME;
    setName(message->root, rootName);
    if (context != nullptr) {
        message->nextInContext = context->firstMessage;
        if (context->firstMessage != nullptr) {
            context->firstMessage->previousInContext = message;
        }
        context->firstMessage = message;
    }
    return message;
}

void deleteMessage(CciMessage *message) {
    CciMessageContext *context = message->context;
    if (context != nullptr) {
        if (message->previousInContext != nullptr) {
            message->previousInContext->nextInContext = message->nextInContext;
        } else {
            context->firstMessage = message->nextInContext;
        }
        if (message->nextInContext != nullptr) {
            message->nextInContext->previousInContext = message->previousInContext;
        }
        if (context->environment == message) {
            context->environment = nullptr;
        }
    }
    delete message;
}

CciMessage *environmentOf(CciMessageContext *context) {
    if (context->environment == nullptr) {
        context->environment = newMessage(context, u"Environment");
        context->environment->isEnvironment = true;
    }
    return context->environment;
}

CciMessageContext *createContext() {
    return new CciMessageContext();
}

void deleteContext(CciMessageContext *context) {
    if (asContext(context) == nullptr) {
        return;
    }
    while (context->firstMessage != nullptr) {
        deleteMessage(context->firstMessage);
    }
    delete context;
}

CciMessage *createTreeMessage(CciMessageContext *context, std::string_view rootName) {
    if (asContext(context) == nullptr) {
        throw Error("createTreeMessage: no message context");
    }
    return newMessage(context, toUtf16(rootName));
}

// ---- the MQMD ----------------------------------------------------------------------------

namespace {

enum class FieldKind { Integer, Text, Bytes };

struct Field {
    const char16_t *name;
    FieldKind kind;
    size_t width; /* characters or bytes */
    int32_t Descriptor::*integer;
    std::string Descriptor::*text;
    uint8_t *(*bytes)(Descriptor &);
};

uint8_t *msgIdOf(Descriptor &d) {
    return d.msgId.data();
}
uint8_t *correlIdOf(Descriptor &d) {
    return d.correlId.data();
}
uint8_t *accountingTokenOf(Descriptor &d) {
    return d.accountingToken.data();
}

constexpr Field integerField(const char16_t *name, int32_t Descriptor::*member) {
    return {name, FieldKind::Integer, 4, member, nullptr, nullptr};
}
constexpr Field textField(const char16_t *name, size_t width, std::string Descriptor::*member) {
    return {name, FieldKind::Text, width, nullptr, member, nullptr};
}
constexpr Field bytesField(const char16_t *name, size_t width, uint8_t *(*get)(Descriptor &)) {
    return {name, FieldKind::Bytes, width, nullptr, nullptr, get};
}

// The MQMD's fields in the order the tree and the bit stream hold them.
constexpr Field FIELDS[] = {
    integerField(u"Report", &Descriptor::report),
    integerField(u"MsgType", &Descriptor::msgType),
    integerField(u"Expiry", &Descriptor::expiry),
    integerField(u"Feedback", &Descriptor::feedback),
    integerField(u"Encoding", &Descriptor::encoding),
    integerField(u"CodedCharSetId", &Descriptor::codedCharSetId),
    textField(u"Format", 8, &Descriptor::format),
    integerField(u"Priority", &Descriptor::priority),
    integerField(u"Persistence", &Descriptor::persistence),
    bytesField(u"MsgId", 24, msgIdOf),
    bytesField(u"CorrelId", 24, correlIdOf),
    integerField(u"BackoutCount", &Descriptor::backoutCount),
    textField(u"ReplyToQ", 48, &Descriptor::replyToQ),
    textField(u"ReplyToQMgr", 48, &Descriptor::replyToQMgr),
    textField(u"UserIdentifier", 12, &Descriptor::userIdentifier),
    bytesField(u"AccountingToken", 32, accountingTokenOf),
    textField(u"ApplIdentityData", 32, &Descriptor::applIdentityData),
    integerField(u"PutApplType", &Descriptor::putApplType),
    textField(u"PutApplName", 28, &Descriptor::putApplName),
    textField(u"PutDate", 8, &Descriptor::putDate),
    textField(u"PutTime", 8, &Descriptor::putTime),
    textField(u"ApplOriginData", 4, &Descriptor::applOriginData),
};

constexpr size_t fieldBytes() {
    size_t total = 12; // eye-catcher, version, descriptor length
    for (const Field &f : FIELDS) {
        total += f.width;
    }
    return total;
}
static_assert(fieldBytes() == BITSTREAM_DESCRIPTOR_SIZE, "bit-stream descriptor layout");

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) {
        text.pop_back();
    }
    return text;
}

[[noreturn]] void badField(const char *function, std::u16string_view name, std::string reason) {
    raise(brokerFrame(CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, function, MSG_DESCRIPTOR_FIELD,
                      "MQMD field " + toUtf8(name) + " cannot be written: " + reason,
                      {toUtf8(name), reason}));
}

} // namespace

void fillMqmd(CciElement *mqmd, const Descriptor &source) {
    Descriptor d = source;
    for (const Field &f : FIELDS) {
        switch (f.kind) {
        case FieldKind::Integer:
            addInteger(mqmd, f.name, d.*(f.integer));
            break;
        case FieldKind::Text: {
            std::u16string text = toUtf16(d.*(f.text));
            if (text.size() < f.width) {
                text.append(f.width - text.size(), u' ');
            }
            addCharacter(mqmd, f.name, text);
            break;
        }
        case FieldKind::Bytes:
            addBytes(mqmd, f.name, f.bytes(d), f.width);
            break;
        }
    }
}

Descriptor descriptorOf(CciMessage *message) {
    if (asMessage(message) == nullptr) {
        throw Error("descriptorOf: no message");
    }
    Descriptor d;
    CciElement *mqmd = findChild(message->root, u"MQMD");
    if (mqmd == nullptr) {
        return d;
    }
    for (const Field &f : FIELDS) {
        CciElement *e = findChild(mqmd, f.name);
        if (e == nullptr || e->valueType == CCI_VALUE_TYPE_NONE) {
            continue;
        }
        switch (f.kind) {
        case FieldKind::Integer:
            if (e->valueType != CCI_VALUE_TYPE_INTEGER) {
                badField("descriptorOf", f.name, "it does not hold an integer");
            }
            if (e->value.integer < INT32_MIN || e->value.integer > INT32_MAX) {
                badField("descriptorOf", f.name, "its value does not fit 32 bits");
            }
            d.*(f.integer) = static_cast<int32_t>(e->value.integer);
            break;
        case FieldKind::Text: {
            if (e->valueType != CCI_VALUE_TYPE_CHAR) {
                badField("descriptorOf", f.name, "it does not hold a character value");
            }
            std::string text = trimmed(toUtf8(textOf(e)));
            if (text.size() > f.width) {
                badField("descriptorOf", f.name,
                         "it holds " + std::to_string(text.size()) + " bytes, its width is " +
                             std::to_string(f.width));
            }
            d.*(f.text) = text;
            break;
        }
        case FieldKind::Bytes: {
            if (e->valueType != CCI_VALUE_TYPE_BYTEARRAY) {
                badField("descriptorOf", f.name, "it does not hold a byte array");
            }
            auto size = static_cast<size_t>(e->value.array.size);
            if (size > f.width) {
                badField("descriptorOf", f.name,
                         "it holds " + std::to_string(size) + " bytes, its width is " +
                             std::to_string(f.width));
            }
            uint8_t *into = f.bytes(d);
            std::memset(into, 0, f.width);
            std::memcpy(into, e->value.array.data, size);
            break;
        }
        }
    }
    return d;
}

// ---- bit stream descriptor -----------------------------------------------------------------

namespace {

constexpr char BITSTREAM_EYECATCHER[4] = {'T', 'R', 'M', 'D'};
constexpr int32_t BITSTREAM_VERSION = 1;

void putInteger(std::string &out, int32_t value) {
    auto u = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
    }
}

int32_t getInteger(const unsigned char *p) {
    uint32_t u = 0;
    for (int i = 3; i >= 0; --i) {
        u = (u << 8) | p[i];
    }
    return static_cast<int32_t>(u);
}

} // namespace

std::string encodeDescriptor(const Descriptor &source) {
    Descriptor d = source;
    std::string out;
    out.reserve(BITSTREAM_DESCRIPTOR_SIZE);
    out.append(BITSTREAM_EYECATCHER, 4);
    putInteger(out, BITSTREAM_VERSION);
    putInteger(out, static_cast<int32_t>(BITSTREAM_DESCRIPTOR_SIZE));
    for (const Field &f : FIELDS) {
        switch (f.kind) {
        case FieldKind::Integer:
            putInteger(out, d.*(f.integer));
            break;
        case FieldKind::Text: {
            std::string text = (d.*(f.text)).substr(0, f.width);
            text.append(f.width - text.size(), ' ');
            out += text;
            break;
        }
        case FieldKind::Bytes:
            out.append(reinterpret_cast<const char *>(f.bytes(d)), f.width);
            break;
        }
    }
    return out;
}

bool decodeDescriptor(std::string_view bytes, Descriptor &d) {
    if (bytes.size() < BITSTREAM_DESCRIPTOR_SIZE ||
        std::memcmp(bytes.data(), BITSTREAM_EYECATCHER, 4) != 0) {
        return false;
    }
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    if (getInteger(p + 4) != BITSTREAM_VERSION ||
        getInteger(p + 8) != static_cast<int32_t>(BITSTREAM_DESCRIPTOR_SIZE)) {
        return false;
    }
    size_t at = 12;
    for (const Field &f : FIELDS) {
        switch (f.kind) {
        case FieldKind::Integer:
            d.*(f.integer) = getInteger(p + at);
            break;
        case FieldKind::Text:
            d.*(f.text) = trimmed(std::string(bytes.substr(at, f.width)));
            break;
        case FieldKind::Bytes:
            std::memcpy(f.bytes(d), p + at, f.width);
            break;
        }
        at += f.width;
    }
    return true;
}

// ---- input and output ----------------------------------------------------------------------

CciMessage *createInputMessage(CciMessageContext *context, const Descriptor &descriptor,
                               std::string_view body, std::string_view parser) {
    if (asContext(context) == nullptr) {
        throw Error("createInputMessage: no message context");
    }
    bool xml = parser == "XML";
    if (!xml && parser != "none" && parser != "BLOB") {
        throw Error("createInputMessage: unknown parser '" + std::string(parser) +
                    "' (known: XML, none, BLOB)");
    }
    CciMessage *message = newMessage(context, u"Root");
    try {
        CciElement *properties = addChild(message->root, CCI_ELEMENT_TYPE_NAME, u"Properties");
        addCharacter(properties, u"MessageDomain", xml ? u"XML" : u"BLOB");
        addInteger(properties, u"CodedCharSetId", descriptor.codedCharSetId);
        addInteger(properties, u"Encoding", descriptor.encoding);
        fillMqmd(addChild(message->root, CCI_ELEMENT_TYPE_NAME, u"MQMD"), descriptor);
        if (xml) {
            parseXml(message->root, body, descriptor.codedCharSetId);
        } else {
            CciElement *blob = addChild(message->root, CCI_ELEMENT_TYPE_NAME, u"BLOB");
            addBytes(blob, u"BLOB", body.data(), body.size());
        }
        std::string stream = encodeDescriptor(descriptor);
        message->bitstream.assign(stream.begin(), stream.end());
        message->bitstream.insert(message->bitstream.end(), body.begin(), body.end());
        message->hasBitstream = true;
    } catch (...) {
        deleteMessage(message);
        throw;
    }
    return message;
}

void writeBody(const CciElement *root, std::string &out) {
    const CciElement *child = findChild(root, u"MQMD");
    child = child != nullptr ? child->next : root->firstChild;
    for (; child != nullptr; child = child->next) {
        if (child->type == CCI_ELEMENT_TYPE_XML_BODY) {
            writeXml(child, out);
        } else if (nameIs(child, u"BLOB")) {
            const CciElement *bytes = findChild(child, u"BLOB");
            if (bytes == nullptr) {
                continue;
            }
            if (bytes->valueType == CCI_VALUE_TYPE_BYTEARRAY) {
                out.append(static_cast<const char *>(bytes->value.array.data),
                           static_cast<size_t>(bytes->value.array.size));
            } else if (bytes->valueType == CCI_VALUE_TYPE_CHAR) {
                appendUtf8(out, textOf(bytes));
            }
        }
        // Anything else below the root (Properties, elements no parser owns) has no
        // form in the bit stream.
    }
}

std::string bodyOf(CciMessage *message) {
    if (asMessage(message) == nullptr) {
        throw Error("bodyOf: no message");
    }
    std::string out;
    writeBody(message->root, out);
    return out;
}

} // namespace broker

// ---- cni calls -------------------------------------------------------------------------------

using namespace broker;

namespace {

inline void setRc(int *returnCode, int value) {
    if (returnCode != nullptr) {
        *returnCode = value;
    }
}

inline CciMessage *use(int *returnCode, CciMessage *message) {
    CciMessage *checked = asMessage(message);
    setRc(returnCode, checked == nullptr ? CCI_INV_OBJECT : CCI_SUCCESS);
    return checked;
}

bool hasXmlBody(const CciElement *root) {
    for (const CciElement *c = root->firstChild; c != nullptr; c = c->next) {
        if (c->type == CCI_ELEMENT_TYPE_XML_BODY) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

CciMessageContext *cniGetMessageContext(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    if (m != nullptr && m->context == nullptr) {
        setRc(returnCode, CCI_FAILURE);
    }
    return m == nullptr ? nullptr : m->context;
}

CciMessage *cniCreateMessage(int *returnCode, CciMessageContext *context) {
    CciMessageContext *c = asContext(context);
    setRc(returnCode, c == nullptr ? CCI_INV_OBJECT : CCI_SUCCESS);
    return c == nullptr ? nullptr : newMessage(c, u"Root");
}

void cniDeleteMessage(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    if (m == nullptr) {
        return;
    }
    if (m->isEnvironment) {
        setRc(returnCode, CCI_FAILURE); // shared by the context; goes with it
        return;
    }
    deleteMessage(m);
}

CciElement *cniRootElement(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    return m == nullptr ? nullptr : m->root;
}

CciMessage *cniGetEnvironmentMessage(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    if (m == nullptr) {
        return nullptr;
    }
    if (m->context == nullptr) {
        setRc(returnCode, CCI_FAILURE);
        return nullptr;
    }
    return environmentOf(m->context);
}

CciSize cniWriteBuffer(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    if (m == nullptr) {
        return 0;
    }
    auto failure = guard([&] {
        Descriptor d = descriptorOf(m);
        std::string body;
        writeBody(m->root, body);
        if (hasXmlBody(m->root)) {
            d.codedCharSetId = 1208; // XML bodies are always written as UTF-8
        }
        std::string stream = encodeDescriptor(d);
        m->bitstream.assign(stream.begin(), stream.end());
        m->bitstream.insert(m->bitstream.end(), body.begin(), body.end());
        m->hasBitstream = true;
    });
    if (failure != nullptr) {
        setRc(returnCode, CCI_EXCEPTION);
        return 0;
    }
    return static_cast<CciSize>(m->bitstream.size());
}

CciElement *cniCreateElementAsLastChildUsingParser(int *returnCode, CciElement *parent,
                                                   const CciChar *parserName) {
    CciElement *p = asElement(parent);
    if (p == nullptr) {
        setRc(returnCode, CCI_INV_OBJECT);
        return nullptr;
    }
    if (parserName == nullptr) {
        setRc(returnCode, CCI_INV_DATA_POINTER);
        return nullptr;
    }
    std::u16string_view parser = view16(parserName);
    if (parser == u"XML") {
        setRc(returnCode, CCI_SUCCESS);
        return addChild(p, CCI_ELEMENT_TYPE_XML_BODY, u"XML");
    }
    if (parser == u"none" || parser == u"BLOB") {
        setRc(returnCode, CCI_SUCCESS);
        CciElement *blob = addChild(p, CCI_ELEMENT_TYPE_NAME, u"BLOB");
        addBytes(blob, u"BLOB", nullptr, 0);
        return blob;
    }
    setRc(returnCode, CCI_INV_PARSER);
    return nullptr;
}

const CciByte *cniBufferPointer(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    return m == nullptr || !m->hasBitstream ? nullptr : m->bitstream.data();
}

CciSize cniBufferSize(int *returnCode, CciMessage *message) {
    CciMessage *m = use(returnCode, message);
    return m == nullptr || !m->hasBitstream ? 0 : static_cast<CciSize>(m->bitstream.size());
}

} // extern "C"
