/*
 * Exceptions of the stand-in broker: the BrokerException raised by cciThrowException
 * and by the broker itself, each thread's last exception (cciGetLastExceptionData,
 * cciRethrowLastException), the 576-byte exception record, and exception lists built
 * from an exception for a node's "failure" terminal.
 *
 * The exception is saved for the raising thread before it is thrown, so the data can
 * be read after the broker caught it (cniPropagate, delivery). Called by plug-ins
 * through cni.h and by the other broker modules through host.h / internal.h.
 */
#include <cstdarg>
#include <cstring>

#include "broker/internal.h"
#include "broker/nodes.h"
#include "broker/text.h"

namespace broker {

namespace {

thread_local std::shared_ptr<const BrokerException> threadLast;

// Copies `text` into a fixed field, cut at a character boundary, always terminated.
void copyField(char *field, size_t size, std::string_view text) {
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    if (n < text.size()) {
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n; // do not split a UTF-8 sequence
        }
    }
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

std::string fileName(const char *path) {
    if (path == nullptr) {
        return {};
    }
    const char *slash = std::strrchr(path, '/');
    return slash == nullptr ? path : slash + 1;
}

} // namespace

const char *exceptionTypeName(int type) {
    switch (type) {
    case CCI_RECOVERABLE_EXCEPTION:
        return "RecoverableException";
    case CCI_PARSER_EXCEPTION:
        return "ParserException";
    case CCI_CONVERSION_EXCEPTION:
        return "ConversionException";
    case CCI_USER_EXCEPTION:
        return "UserException";
    case CCI_DATABASE_EXCEPTION:
        return "DatabaseException";
    case CCI_FATAL_EXCEPTION:
        return "FatalException";
    default:
        return "RecoverableException";
    }
}

const char *BrokerException::what() const noexcept {
    if (what_.empty() && !frames.empty()) {
        const ExceptionFrame &f = frames.front();
        std::string text = catalogueText(f.messageSource, f.messageNumber, f.inserts);
        what_ = std::string(exceptionTypeName(f.type)) + " " + f.messageSource + " " +
                std::to_string(f.messageNumber) + ": " + (text.empty() ? f.traceText : text);
        if (!text.empty() && !f.traceText.empty() && f.traceText != text) {
            what_ += " (" + f.traceText + ")";
        }
    }
    return what_.c_str();
}

std::shared_ptr<const BrokerException> lastException() {
    return threadLast;
}

void setLastException(std::shared_ptr<const BrokerException> exception) {
    threadLast = std::move(exception);
}

void clearLastException() {
    threadLast.reset();
}

std::shared_ptr<const BrokerException> guard(const std::function<void()> &operation) {
    try {
        operation();
    } catch (const BrokerException &e) {
        auto saved = std::make_shared<const BrokerException>(e);
        setLastException(saved);
        return saved;
    }
    return nullptr;
}

CCI_EXCEPTION_ST exceptionRecord(const ExceptionFrame &frame) {
    CCI_EXCEPTION_ST record = CCI_EXCEPTION_ST_DEFAULT;
    record.type = frame.type;
    record.line = frame.line;
    record.messageNumber = frame.messageNumber;
    record.insertCount = static_cast<int32_t>(frame.inserts.size());
    copyField(record.file, sizeof record.file, frame.file);
    copyField(record.function, sizeof record.function, frame.function);
    copyToBuffer16(toUtf16(frame.messageSource), record.messageSource, sizeof record.messageSource);
    copyField(record.traceText, sizeof record.traceText, frame.traceText);
    size_t at = 0;
    for (const std::string &insert : frame.inserts) {
        if (at + insert.size() + 1 > sizeof record.inserts) {
            break; // only whole inserts; insertCount still tells how many were given
        }
        std::memcpy(record.inserts + at, insert.data(), insert.size());
        record.inserts[at + insert.size()] = '\0';
        at += insert.size() + 1;
    }
    return record;
}

ExceptionFrame brokerFrame(int type, const char *file, int line, const char *function, int number,
                           std::string traceText, std::vector<std::string> inserts) {
    ExceptionFrame frame;
    frame.type = type;
    frame.file = fileName(file);
    frame.line = line;
    frame.function = function == nullptr ? "" : function;
    frame.messageSource = BROKER_CATALOGUE;
    frame.messageNumber = number;
    frame.traceText = std::move(traceText);
    frame.inserts = std::move(inserts);
    return frame;
}

void raise(ExceptionFrame frame) {
    if (const CciNode *node = currentNode()) {
        frame.nodeName = nodeName(node);
        frame.nodeLabel = frame.nodeName;
        frame.nodeClass = nodeClass(node);
    }
    BrokerException exception(std::move(frame));
    setLastException(std::make_shared<const BrokerException>(exception));
    throw exception;
}

// ---- exception lists -------------------------------------------------------------------------

namespace {

void describeFrame(CciElement *parent, const std::vector<ExceptionFrame> &frames, size_t index) {
    // Iterative: frames nest from the outermost (last) to the first raised (index 0).
    CciElement *into = parent;
    for (size_t i = index + 1; i-- > 0;) {
        const ExceptionFrame &f = frames[i];
        CciElement *e = addChild(into, CCI_ELEMENT_TYPE_NAME, toUtf16(exceptionTypeName(f.type)));
        addCharacter(e, u"File", toUtf16(f.file));
        addInteger(e, u"Line", f.line);
        addCharacter(e, u"Function", toUtf16(f.function));
        addCharacter(e, u"Type", toUtf16(f.nodeClass));
        addCharacter(e, u"Name", toUtf16(f.nodeName));
        addCharacter(e, u"Label", toUtf16(f.nodeLabel));
        addCharacter(e, u"Catalog", toUtf16(f.messageSource));
        addInteger(e, u"Severity", f.type == CCI_FATAL_EXCEPTION ? 4 : 3);
        addInteger(e, u"Number", f.messageNumber);
        addCharacter(e, u"Text", toUtf16(f.traceText));
        for (const std::string &insert : f.inserts) {
            CciElement *ins = addChild(e, CCI_ELEMENT_TYPE_NAME, u"Insert");
            addInteger(ins, u"Type", CCI_VALUE_TYPE_CHAR);
            addCharacter(ins, u"Text", toUtf16(insert));
        }
        into = e;
    }
}

} // namespace

CciMessage *createExceptionList(CciMessageContext *context, const BrokerException &exception) {
    if (asContext(context) == nullptr) {
        throw Error("createExceptionList: no message context");
    }
    CciMessage *list = newMessage(context, u"ExceptionList");
    if (!exception.frames.empty()) {
        describeFrame(list->root, exception.frames, exception.frames.size() - 1);
    }
    return list;
}

} // namespace broker

// ---- cci calls --------------------------------------------------------------------------------

using namespace broker;

namespace {

// Inserts of a call: 8-bit texts ended by a null pointer. A runaway list (a caller that
// forgot the null) is cut at a generous bound rather than read without end.
std::vector<std::string> collectInserts(va_list args) {
    constexpr int MAX_INSERTS = 64;
    std::vector<std::string> inserts;
    for (int i = 0; i < MAX_INSERTS; ++i) {
        const char *insert = va_arg(args, const char *);
        if (insert == nullptr) {
            break;
        }
        inserts.emplace_back(insert);
    }
    return inserts;
}

} // namespace

extern "C" {

void cciThrowException(int *returnCode, int exceptionType, const char *file, int line,
                       const char *function, const CciChar *messageSource, int messageNumber,
                       const char *traceText, ...) {
    if (returnCode != nullptr) {
        *returnCode = CCI_EXCEPTION;
    }
    ExceptionFrame frame;
    frame.type = exceptionType;
    frame.file = file == nullptr ? "" : file;
    frame.line = line;
    frame.function = function == nullptr ? "" : function;
    frame.messageSource = toUtf8(view16(messageSource));
    frame.messageNumber = messageNumber;
    frame.traceText = traceText == nullptr ? "" : traceText;
    va_list args;
    va_start(args, traceText);
    frame.inserts = collectInserts(args);
    va_end(args);
    raise(std::move(frame));
}

void cciGetLastExceptionData(int *returnCode, CCI_EXCEPTION_ST *exceptionData) {
    if (exceptionData == nullptr) {
        if (returnCode != nullptr) {
            *returnCode = CCI_INV_DATA_POINTER;
        }
        return;
    }
    std::shared_ptr<const BrokerException> last = lastException();
    if (last == nullptr || last->frames.empty()) {
        CCI_EXCEPTION_ST empty = CCI_EXCEPTION_ST_DEFAULT;
        *exceptionData = empty;
        if (returnCode != nullptr) {
            *returnCode = CCI_NO_SUCH_ITEM;
        }
        return;
    }
    *exceptionData = exceptionRecord(last->frames.front());
    if (returnCode != nullptr) {
        *returnCode = CCI_SUCCESS;
    }
}

void cciRethrowLastException(int *returnCode) {
    if (returnCode != nullptr) {
        *returnCode = CCI_EXCEPTION;
    }
    std::shared_ptr<const BrokerException> last = lastException();
    if (last == nullptr) {
        raise(brokerFrame(CCI_FATAL_EXCEPTION, __FILE__, __LINE__, "cciRethrowLastException",
                          MSG_NO_PENDING_EXCEPTION,
                          "cciRethrowLastException was called with no exception to rethrow", {}));
    }
    throw BrokerException(*last);
}

} // extern "C"
