/*
 * The XML parser and writer of the stand-in broker.
 *
 * Parsing goes through expat: elements become NAME elements, text VALUE children (CDATA
 * sections included, adjacent pieces joined), attributes 0x03000100 elements, comments
 * and processing instructions elements of their own types, a DOCTYPE a DTD header
 * (0x05000018) with SystemId, PublicId and InternalSubset children, all below a body root
 * "XML" of type 0x01000010. Writing goes through libxml2's text writer, which does the
 * escaping; a NAME_VALUE element is written as an element holding its value as text, so
 * that a value a node stores at Root.XML.outer.Status comes out as <Status>...</Status>.
 *
 * Called by the input side (host createInputMessage) and by cniWriteBuffer / bodyOf.
 * Both directions walk the tree without recursion, so a deeply nested document cannot
 * exhaust the stack. Malformed input raises a parser exception; it never crashes.
 */
#include <charconv>
#include <cstdio>
#include <cstring>
#include <exception>
#include <expat.h>
#include <libxml/parser.h>
#include <libxml/xmlwriter.h>
#include <mutex>

#include "broker/internal.h"
#include "broker/text.h"

namespace broker {

// ---- values as text ----------------------------------------------------------------------

namespace {

std::string twoDigits(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", value);
    return text;
}

std::string timeText(const CciTime &t) {
    char seconds[32];
    auto result = std::to_chars(seconds, seconds + sizeof seconds, t.seconds);
    std::string s(seconds, result.ptr);
    if (t.seconds >= 0 && t.seconds < 10) {
        s = "0" + s;
    }
    return twoDigits(t.hour) + ":" + twoDigits(t.minute) + ":" + s;
}

std::string dateText(const CciDate &d) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.year, d.month, d.day);
    return text;
}

std::u16string hexText(const CciElement *e) {
    static const char16_t digits[] = u"0123456789abcdef";
    std::u16string s;
    const auto *bytes = static_cast<const CciByte *>(e->value.array.data);
    for (int32_t i = 0; i < e->value.array.size; ++i) {
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 15]);
    }
    return s;
}

} // namespace

std::u16string valueText(const CciElement *e) {
    switch (e->valueType) {
    case CCI_VALUE_TYPE_BOOL:
        return e->value.boolean ? u"TRUE" : u"FALSE";
    case CCI_VALUE_TYPE_INTEGER:
        return toUtf16(std::to_string(e->value.integer));
    case CCI_VALUE_TYPE_REAL: {
        char text[64];
        auto result = std::to_chars(text, text + sizeof text, e->value.real);
        return toUtf16(std::string_view(text, static_cast<size_t>(result.ptr - text)));
    }
    case CCI_VALUE_TYPE_DECIMAL:
    case CCI_VALUE_TYPE_CHAR:
        return std::u16string(textOf(e));
    case CCI_VALUE_TYPE_TIME:
        return toUtf16(timeText(e->value.time));
    case CCI_VALUE_TYPE_GMTTIME:
        return toUtf16(timeText(e->value.time) + "Z");
    case CCI_VALUE_TYPE_DATE:
        return toUtf16(dateText(e->value.date));
    case CCI_VALUE_TYPE_TIMESTAMP:
        return toUtf16(dateText(e->value.timestamp.date) + "T" + timeText(e->value.timestamp.time));
    case CCI_VALUE_TYPE_GMTTIMESTAMP:
        return toUtf16(dateText(e->value.timestamp.date) + "T" + timeText(e->value.timestamp.time) +
                       "Z");
    case CCI_VALUE_TYPE_BYTEARRAY:
    case CCI_VALUE_TYPE_BITARRAY:
        return hexText(e);
    default:
        return {};
    }
}

// ---- parsing -----------------------------------------------------------------------------

namespace {

class Builder {
public:
    Builder(XML_Parser parser, CciElement *body) : parser_(parser), body_(body), current_(body) {
        text_.reserve(256);
        scratch_.reserve(128);
    }

    static void XMLCALL onStart(void *data, const XML_Char *name, const XML_Char **attributes) {
        static_cast<Builder *>(data)->run([&](Builder &b) { b.start(name, attributes); });
    }
    static void XMLCALL onEnd(void *data, const XML_Char *) {
        static_cast<Builder *>(data)->run([](Builder &b) { b.end(); });
    }
    static void XMLCALL onText(void *data, const XML_Char *text, int length) {
        static_cast<Builder *>(data)->run([&](Builder &b) {
            appendUtf16(b.text_, std::string_view(text, static_cast<size_t>(length)));
        });
    }
    static void XMLCALL onComment(void *data, const XML_Char *text) {
        static_cast<Builder *>(data)->run([&](Builder &b) { b.comment(text); });
    }
    static void XMLCALL onInstruction(void *data, const XML_Char *target, const XML_Char *text) {
        static_cast<Builder *>(data)->run([&](Builder &b) { b.instruction(target, text); });
    }
    static void XMLCALL onDeclaration(void *data, const XML_Char *, const XML_Char *,
                                      int standalone) {
        auto *b = static_cast<Builder *>(data);
        b->body_->flags |= FLAG_XML_DECLARATION;
        if (standalone == 1) {
            b->body_->flags |= FLAG_STANDALONE_YES;
        } else if (standalone == 0) {
            b->body_->flags |= FLAG_STANDALONE_NO;
        }
    }
    static void XMLCALL onDoctypeStart(void *data, const XML_Char *name, const XML_Char *systemId,
                                       const XML_Char *publicId, int hasInternalSubset) {
        static_cast<Builder *>(data)->run(
            [&](Builder &b) { b.doctypeStart(name, systemId, publicId, hasInternalSubset != 0); });
    }
    static void XMLCALL onDoctypeEnd(void *data) {
        static_cast<Builder *>(data)->run([](Builder &b) { b.doctypeEnd(); });
    }
    // Only set while the internal subset is read: collects its declarations as written.
    static void XMLCALL onSubset(void *data, const XML_Char *text, int length) {
        static_cast<Builder *>(data)->subset_.append(text, static_cast<size_t>(length));
    }

    std::exception_ptr failure() const { return failure_; }

private:
    template <typename F> void run(F &&step) {
        if (failure_) {
            return;
        }
        try {
            step(*this); // nothing may unwind through the parser's own frames
        } catch (...) {
            failure_ = std::current_exception();
            XML_StopParser(parser_, XML_FALSE);
        }
    }

    std::u16string_view wide(const XML_Char *text) {
        scratch_.clear();
        appendUtf16(scratch_, text);
        return scratch_;
    }

    // A new child named `name`. A document repeats few names many times, so names are
    // converted once per parse and the elements of this message share the storage
    // (a name is never changed in place: renaming an element gives it new storage).
    CciElement *namedChild(CciElement *parent, CciElementType type, const XML_Char *name) {
        uint32_t hash = 2166136261u;
        size_t length = 0;
        for (; name[length] != '\0'; ++length) {
            hash = (hash ^ static_cast<unsigned char>(name[length])) * 16777619u;
        }
        CciElement *child = newElement(parent->message);
        child->type = type;
        for (uint32_t probe = 0; probe < 4; ++probe) {
            NameSlot &slot = names_[(hash + probe) % NAME_SLOTS];
            if (slot.name == nullptr) {
                setName(child, wide(name));
                slot = NameSlot{hash, std::string(name, length), child->name, child->nameLength};
                break;
            }
            if (slot.hash == hash && slot.utf8 == std::string_view(name, length)) {
                child->name = slot.name;
                child->nameLength = slot.length;
                break;
            }
        }
        if (child->name == nullptr) {
            setName(child, wide(name)); // the table is crowded: convert this one afresh
        }
        appendChild(parent, child);
        return child;
    }

    void flushText() {
        if (text_.empty()) {
            return;
        }
        CciElement *value = newElement(current_->message);
        value->type = CCI_ELEMENT_TYPE_VALUE;
        setCharacter(value, text_, CCI_VALUE_TYPE_CHAR);
        appendChild(current_, value);
        text_.clear();
    }

    void start(const XML_Char *name, const XML_Char **attributes) {
        flushText();
        CciElement *element = namedChild(current_, CCI_ELEMENT_TYPE_NAME, name);
        for (const XML_Char **a = attributes; a[0] != nullptr; a += 2) {
            CciElement *attribute = namedChild(element, CCI_ELEMENT_TYPE_XML_ATTRIBUTE, a[0]);
            setCharacter(attribute, wide(a[1]), CCI_VALUE_TYPE_CHAR);
        }
        current_ = element;
    }

    void end() {
        flushText();
        current_ = current_->parent;
    }

    void comment(const XML_Char *text) {
        if (inDoctype_) {
            subset_ += "<!--";
            subset_ += text;
            subset_ += "-->";
            return;
        }
        flushText();
        CciElement *c = addChild(current_, CCI_ELEMENT_TYPE_XML_COMMENT, u"");
        setCharacter(c, wide(text), CCI_VALUE_TYPE_CHAR);
    }

    void instruction(const XML_Char *target, const XML_Char *text) {
        if (inDoctype_) {
            subset_ += "<?";
            subset_ += target;
            if (text[0] != '\0') {
                subset_ += " ";
                subset_ += text;
            }
            subset_ += "?>";
            return;
        }
        flushText();
        CciElement *pi = addChild(current_, CCI_ELEMENT_TYPE_XML_PI, wide(target));
        setCharacter(pi, wide(text), CCI_VALUE_TYPE_CHAR);
    }

    void doctypeStart(const XML_Char *name, const XML_Char *systemId, const XML_Char *publicId,
                      bool internalSubset) {
        doctype_ = addChild(body_, CCI_ELEMENT_TYPE_DTD_HEADER, wide(name));
        if (systemId != nullptr) {
            addCharacter(doctype_, u"SystemId", wide(systemId));
        }
        if (publicId != nullptr) {
            addCharacter(doctype_, u"PublicId", wide(publicId));
        }
        if (internalSubset) {
            inDoctype_ = true;
            subset_.clear();
            XML_SetDefaultHandlerExpand(parser_, onSubset);
        }
    }

    void doctypeEnd() {
        if (inDoctype_) {
            XML_SetDefaultHandlerExpand(parser_, nullptr);
            inDoctype_ = false;
            addCharacter(doctype_, u"InternalSubset", toUtf16(subset_));
        }
    }

    struct NameSlot {
        uint32_t hash = 0;
        std::string utf8;
        const CciChar *name = nullptr;
        int32_t length = 0;
    };
    static constexpr uint32_t NAME_SLOTS = 64;

    XML_Parser parser_;
    NameSlot names_[NAME_SLOTS];
    CciElement *body_;
    CciElement *current_;
    CciElement *doctype_ = nullptr;
    bool inDoctype_ = false;
    std::string subset_;
    std::u16string text_;
    std::u16string scratch_;
    std::exception_ptr failure_;
};

const char *encodingOf(int codedCharSetId) {
    switch (codedCharSetId) {
    case 819:
        return "ISO-8859-1";
    case 367:
        return "US-ASCII";
    case 1200:
        return "UTF-16";
    default:
        return nullptr; // 1208, 0 and others: as the document declares it (UTF-8 default)
    }
}

struct ParserHandle {
    XML_Parser parser;
    ~ParserHandle() { XML_ParserFree(parser); }
};

} // namespace

void parseXml(CciElement *parent, std::string_view document, int codedCharSetId) {
    CciElement *body = addChild(parent, CCI_ELEMENT_TYPE_XML_BODY, u"XML");
    if (document.empty()) {
        return; // no document: an empty body, as the XML parser would create one
    }
    ParserHandle handle{XML_ParserCreate(encodingOf(codedCharSetId))};
    if (handle.parser == nullptr) {
        detach(body);
        throw std::bad_alloc();
    }
    XML_Parser p = handle.parser;
    Builder builder(p, body);
    XML_SetUserData(p, &builder);
    XML_SetElementHandler(p, Builder::onStart, Builder::onEnd);
    XML_SetCharacterDataHandler(p, Builder::onText);
    XML_SetCommentHandler(p, Builder::onComment);
    XML_SetProcessingInstructionHandler(p, Builder::onInstruction);
    XML_SetXmlDeclHandler(p, Builder::onDeclaration);
    XML_SetDoctypeDeclHandler(p, Builder::onDoctypeStart, Builder::onDoctypeEnd);

    // Large documents go in slices: expat takes an int length.
    constexpr size_t SLICE = 1 << 30;
    XML_Status status = XML_STATUS_OK;
    size_t at = 0;
    do {
        size_t n = document.size() - at < SLICE ? document.size() - at : SLICE;
        bool last = at + n == document.size();
        status = XML_Parse(p, document.data() + at, static_cast<int>(n), last ? 1 : 0);
        at += n;
    } while (status == XML_STATUS_OK && at < document.size());

    if (builder.failure()) {
        detach(body);
        std::rethrow_exception(builder.failure());
    }
    if (status != XML_STATUS_OK) {
        std::string line = std::to_string(XML_GetCurrentLineNumber(p));
        std::string column = std::to_string(XML_GetCurrentColumnNumber(p) + 1);
        std::string reason = XML_ErrorString(XML_GetErrorCode(p));
        detach(body);
        raise(brokerFrame(
            CCI_PARSER_EXCEPTION, __FILE__, __LINE__, "broker::parseXml", MSG_XML_PARSE_ERROR,
            "XML parsing failed at line " + line + ", column " + column + ": " + reason,
            {line, column, reason}));
    }
}

// ---- writing -----------------------------------------------------------------------------

namespace {

// Characters an XML 1.0 document can hold.
bool xmlCharacters(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) {
            return false;
        }
        if (c == 0xFFFE || c == 0xFFFF) {
            return false;
        }
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { xmlInitParser(); });
}

class Writer {
public:
    Writer() {
        initialiseLibrary();
        buffer_ = xmlBufferCreate();
        writer_ = buffer_ == nullptr ? nullptr : xmlNewTextWriterMemory(buffer_, 0);
        if (writer_ == nullptr) {
            throw std::bad_alloc();
        }
    }
    ~Writer() {
        if (writer_ != nullptr) {
            xmlFreeTextWriter(writer_);
        }
        if (buffer_ != nullptr) {
            xmlBufferFree(buffer_);
        }
    }
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    void write(const CciElement *body, std::string &out) {
        // The document is always started with its UTF-8 declaration: without one the
        // writer turns every non-ASCII character of an attribute into a character
        // reference. A body that had no declaration gets it taken off again below.
        bool declared = (body->flags & FLAG_XML_DECLARATION) != 0;
        const char *standalone = (body->flags & FLAG_STANDALONE_YES)  ? "yes"
                                 : (body->flags & FLAG_STANDALONE_NO) ? "no"
                                                                      : nullptr;
        check(xmlTextWriterStartDocument(writer_, "1.0", "UTF-8", standalone));
        // Depth-first without recursion: an element is opened on the way down and closed
        // when the walk comes back up past it.
        const CciElement *e = body->firstChild;
        while (e != nullptr) {
            if (open(e) && e->firstChild != nullptr) {
                e = e->firstChild;
                continue;
            }
            if (isElement(e)) {
                endElement();
            }
            while (e != nullptr && e->next == nullptr) {
                e = e->parent;
                if (e == body) {
                    e = nullptr;
                } else if (isElement(e)) {
                    endElement();
                }
            }
            if (e != nullptr) {
                e = e->next;
            }
        }
        check(xmlTextWriterEndDocument(writer_));
        check(xmlTextWriterFlush(writer_));
        std::string_view written(reinterpret_cast<const char *>(xmlBufferContent(buffer_)),
                                 static_cast<size_t>(xmlBufferLength(buffer_)));
        if (!declared) {
            constexpr std::string_view declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
            if (!written.starts_with(declaration) || !written.ends_with("\n")) {
                fail("the XML writer gave an unexpected document frame", u"");
            }
            written = written.substr(declaration.size(), written.size() - declaration.size() - 1);
        }
        out.append(written);
    }

private:
    static bool isElement(const CciElement *e) {
        return e->name != nullptr && e->nameLength > 0 &&
               (static_cast<uint32_t>(e->type) >> 24 & 0x01) != 0 &&
               e->type != CCI_ELEMENT_TYPE_XML_ATTRIBUTE && e->type != CCI_ELEMENT_TYPE_XML_PI &&
               e->type != CCI_ELEMENT_TYPE_DTD_HEADER && e->type != CCI_ELEMENT_TYPE_XML_BODY;
    }

    [[noreturn]] void fail(const std::string &reason, std::u16string_view name) {
        std::string what = toUtf8(name);
        raise(brokerFrame(CCI_PARSER_EXCEPTION, __FILE__, __LINE__, "broker::writeXml",
                          MSG_XML_WRITE_ERROR, "XML body cannot be written: " + reason,
                          {what, reason}));
    }

    void check(int result) {
        if (result < 0) {
            fail("the XML writer failed", u"");
        }
    }

    const xmlChar *utf8(std::u16string_view text, std::u16string_view owner) {
        if (!xmlCharacters(text)) {
            fail("a text holds characters XML cannot hold", owner);
        }
        scratch_.clear();
        appendUtf8(scratch_, text);
        return reinterpret_cast<const xmlChar *>(scratch_.c_str());
    }

    const xmlChar *validName(std::u16string_view name) {
        scratch_.clear();
        appendUtf8(scratch_, name);
        if (xmlValidateName(reinterpret_cast<const xmlChar *>(scratch_.c_str()), 0) != 0) {
            fail("'" + scratch_ + "' is not an XML name", name);
        }
        return reinterpret_cast<const xmlChar *>(scratch_.c_str());
    }

    std::string childText(const CciElement *e, std::u16string_view name) {
        const CciElement *c = findChild(e, name);
        if (c == nullptr || c->valueType == CCI_VALUE_TYPE_NONE) {
            return {};
        }
        std::u16string text = valueText(c);
        utf8(text, name);
        return scratch_;
    }

    void doctype(const CciElement *e) {
        std::string name = reinterpret_cast<const char *>(validName(nameOf(e)));
        std::string systemId = childText(e, u"SystemId");
        std::string publicId = childText(e, u"PublicId");
        std::string subset = childText(e, u"InternalSubset");
        auto text = [](const std::string &s) {
            return s.empty() ? nullptr : reinterpret_cast<const xmlChar *>(s.c_str());
        };
        check(xmlTextWriterWriteDTD(writer_, reinterpret_cast<const xmlChar *>(name.c_str()),
                                    text(publicId), text(systemId), text(subset)));
    }

    // Writes what `e` stands for on the way down; true when the walk goes on into its
    // children (an element, or an unnamed element that is transparent).
    bool open(const CciElement *e) {
        if (e->type == CCI_ELEMENT_TYPE_XML_ATTRIBUTE) {
            return false; // written with their element
        }
        if (e->type == CCI_ELEMENT_TYPE_DTD_HEADER) {
            doctype(e);
            return false;
        }
        if (e->type == CCI_ELEMENT_TYPE_XML_COMMENT) {
            std::u16string text = valueText(e);
            if (text.find(u"--") != std::u16string::npos ||
                (!text.empty() && text.back() == u'-')) {
                fail("a comment holds \"--\"", u"comment");
            }
            check(xmlTextWriterWriteComment(writer_, utf8(text, u"comment")));
            return false;
        }
        if (e->type == CCI_ELEMENT_TYPE_XML_PI) {
            std::string target = reinterpret_cast<const char *>(validName(nameOf(e)));
            std::u16string text = valueText(e);
            if (text.find(u"?>") != std::u16string::npos) {
                fail("a processing instruction holds \"?>\"", nameOf(e));
            }
            check(xmlTextWriterWritePI(writer_, reinterpret_cast<const xmlChar *>(target.c_str()),
                                       text.empty() ? nullptr : utf8(text, nameOf(e))));
            return false;
        }
        if (!isElement(e)) {
            // Text (a VALUE, or anything without a name that holds a value). An unnamed
            // element is transparent: its children are written in its place.
            if (e->valueType != CCI_VALUE_TYPE_NONE && openElements_ == 0 && !blank(valueText(e))) {
                fail("the body has text outside its root element", u"text");
            }
            if (e->valueType != CCI_VALUE_TYPE_NONE) {
                check(xmlTextWriterWriteString(writer_, utf8(valueText(e), u"text")));
            }
            return true;
        }
        if (openElements_ == 0) {
            // A document has one root element; a second one (say, a field a path put
            // beside the root instead of into it) would make a reply no reader can parse.
            if (!rootName_.empty()) {
                fail("the body has a second root element '" + toUtf8(nameOf(e)) + "' after '" +
                         rootName_ + "', and an XML document has exactly one",
                     nameOf(e));
            }
            rootName_ = toUtf8(nameOf(e));
        }
        check(xmlTextWriterStartElement(writer_, validName(nameOf(e))));
        ++openElements_;
        for (const CciElement *a = e->firstChild; a != nullptr; a = a->next) {
            if (a->type == CCI_ELEMENT_TYPE_XML_ATTRIBUTE && a->name != nullptr) {
                std::string name = reinterpret_cast<const char *>(validName(nameOf(a)));
                check(xmlTextWriterWriteAttribute(writer_,
                                                  reinterpret_cast<const xmlChar *>(name.c_str()),
                                                  utf8(valueText(a), nameOf(a))));
            }
        }
        if (e->valueType != CCI_VALUE_TYPE_NONE) {
            check(xmlTextWriterWriteString(writer_, utf8(valueText(e), nameOf(e))));
        }
        return true;
    }

    void endElement() {
        check(xmlTextWriterEndElement(writer_));
        --openElements_;
    }

    static bool blank(std::u16string_view text) {
        return text.find_first_not_of(u" \t\r\n") == std::u16string_view::npos;
    }

    xmlBufferPtr buffer_ = nullptr;
    xmlTextWriterPtr writer_ = nullptr;
    std::string scratch_;
    size_t openElements_ = 0; /* elements started and not yet ended */
    std::string rootName_;    /* the root element's name, once written */
};

} // namespace

void writeXml(const CciElement *body, std::string &out) {
    Writer writer;
    writer.write(body, out);
}

} // namespace broker
