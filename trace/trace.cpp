/*
 * Trace records: turns the entry, middle, exit and hex-dump records of every traced
 * operation into indented lines on the calling thread's stream. Owns the line formats,
 * the indentation and suppression rules kept in each thread's control block, the time
 * stamp and thread prefix, the wide-string formatting of record texts and the hex dump.
 *
 * Callers: the gate macros of trace.h, at every traced operation of the plug-in. The
 * switches and control blocks come from the trace set-up (traceinit).
 *
 * Hot path: a record takes no lock and no heap memory (only a wide argument of more
 * than 3,333 units is converted on the heap). Its line is assembled in a fixed local
 * buffer with bounded copies and written with one fwrite, which the stream's own lock
 * keeps whole when threads share a stream.
 */
#include "trace/trace.h"

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <time.h>
#include <wchar.h>

#include "portability/unicode.h"
#include "trace/retcodes.h"

namespace {

constexpr int NAME_LIMIT = TRACE_NAME_SIZE - 1;
constexpr int STRING_RESULT_LIMIT = 50;
constexpr size_t WIDE_ARGUMENT_BUFFER_SIZE = 10000;
constexpr size_t DIRECTIVE_SIZE = 100;
constexpr size_t UTF8_BYTES_PER_UNIT = 3;
constexpr int HEX_BYTES_PER_LINE = 16;

constexpr char HEX_RULE[] = "      ----------------------------------- \t------------------";
constexpr char HEX_HEADER[] = "       0 1 2 3  4 5 6 7  8 9 a b  c d e f \t      ASCII";

// One line under assembly. Content stops two bytes short of the end so that the
// newline and the terminator always fit, even when the content had to be cut.
struct traceLine_t {
    char text[TRACE_LINE_SIZE];
    size_t length;
};

constexpr size_t LINE_CONTENT_LIMIT = TRACE_LINE_SIZE - 2;

size_t lineRoom(const traceLine_t &line) {
    return LINE_CONTENT_LIMIT - line.length;
}

void append(traceLine_t &line, const char *text, size_t length) {
    const size_t room = lineRoom(line);
    if (length > room) {
        length = room;
    }
    memcpy(line.text + line.length, text, length);
    line.length += length;
}

void appendText(traceLine_t &line, const char *text) {
    append(line, text, strlen(text));
}

void appendName(traceLine_t &line, const char *name) {
    append(line, name ? name : "", name ? strnlen(name, NAME_LIMIT) : 0);
}

void appendBlanks(traceLine_t &line, int count) {
    if (count <= 0) {
        return;
    }
    size_t length = static_cast<size_t>(count);
    const size_t room = lineRoom(line);
    if (length > room) {
        length = room;
    }
    memset(line.text + line.length, ' ', length);
    line.length += length;
}

void appendUnsigned(traceLine_t &line, unsigned long value) {
    char digits[24];
    size_t position = sizeof digits;
    do {
        digits[--position] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    append(line, digits + position, sizeof digits - position);
}

void appendFormat(traceLine_t &line, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendFormat(traceLine_t &line, const char *format, ...) {
    const size_t room = lineRoom(line);
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(line.text + line.length, room + 1, format, arguments);
    va_end(arguments);
    if (length > 0) {
        line.length += static_cast<size_t>(length) > room ? room : static_cast<size_t>(length);
    }
}

void finishLine(traceLine_t &line) {
    line.text[line.length++] = '\n';
    line.text[line.length] = '\0';
}

// The thread prefix and the indentation that every line starts with.
void beginLine(traceLine_t &line, const threadControlBlock_t *block, int indentation) {
    line.length = 0;
    if (threadId) {
        appendFormat(line, "[%d.%9.9u] ", myProcessId, block->threadId);
    }
    appendBlanks(line, indentation);
}

// The record's mark, the time text (when asked for) and the blank after it.
void appendMark(traceLine_t &line, const char *mark) {
    appendText(line, mark);
    if (timeStamp) {
        char time[TRACE_TIME_SIZE];
        GetTraceTimeStr(time, sizeof time, timeStampAccuracy);
        appendText(line, time);
    }
    append(line, " ", 1);
}

int writeLine(const threadControlBlock_t *block, const traceLine_t &line) {
    if (ringBuffer) {
        return TraceRingBufferWrite(line.text);
    }
    FILE *stream = block && block->outputStream ? block->outputStream : globalTraceFile;
    if (!stream) {
        return 0;
    }
    fwrite(line.text, 1, line.length, stream);
    if (commitTrace) {
        fflush(stream);
    }
    return 0;
}

// Records made while a pending entry's arguments are evaluated are kept out.
bool suppressed(const threadControlBlock_t *block) {
    return block->entryPending && block->suppressedDepth >= 1;
}

// Expands an argument or middle text straight into the line, at most 4,096 characters.
// A longer text is reported on standard error and kept cut: message data reaches these
// texts, and one long message must not end the broker.
void appendExpandedText(traceLine_t &line, int wide, const char *format, va_list arguments) {
    if (!format) {
        return;
    }
    char *text = line.text + line.length;
    const size_t room = lineRoom(line) + 1; // the terminator may use the newline's byte
    const size_t size = room < TRACE_TEXT_SIZE ? room : TRACE_TEXT_SIZE;
    const int length = wide ? TraceFormatUC(text, size, format, arguments)
                            : traceFormatNarrow(text, size, format, arguments);
    if (length <= 0) {
        return;
    }
    if (length > TRACE_TEXT_SIZE - 1) {
        fprintf(stderr, "Blown trace buffer with size %d\n", length);
        fflush(stderr);
    }
    line.length += static_cast<size_t>(length) < size ? static_cast<size_t>(length) : size - 1;
}

void writeMiddleText(const threadControlBlock_t *block, const char *text, size_t length) {
    traceLine_t line;
    beginLine(line, block, block->nestingLevel);
    appendMark(line, "| ");
    append(line, text, length);
    finishLine(line);
    writeLine(block, line);
}

// Lowers the indentation for an exit record; false when the record is suppressed.
bool beginExit(threadControlBlock_t *block) {
    if (suppressed(block)) {
        --block->suppressedDepth;
        return false;
    }
    block->nestingLevel = block->nestingLevel >= 2 ? block->nestingLevel - 2 : 0;
    return true;
}

// "} <time> <name> [RSN:n]" of every exit line.
void beginExitLine(traceLine_t &line, const threadControlBlock_t *block, const char *name,
                   unsigned reason) {
    beginLine(line, block, block->nestingLevel);
    appendMark(line, "} ");
    appendName(line, name);
    append(line, " [RSN:", 6);
    appendUnsigned(line, reason);
    append(line, "]", 1);
}

// Where formatted text goes: at most size - 1 characters are kept, the total is counted
// in full, as vsnprintf counts.
struct textSink_t {
    char *output;
    size_t size;
    size_t used;
    long total;

    size_t room() const { return size > used + 1 ? size - 1 - used : 0; }
    void put(const char *text, size_t length) {
        total += static_cast<long>(length);
        const size_t copied = length < room() ? length : room();
        if (copied > 0) {
            memcpy(output + used, text, copied);
            used += copied;
        }
    }
    void repeat(char c, size_t count) {
        total += static_cast<long>(count);
        const size_t copied = count < room() ? count : room();
        if (copied > 0) {
            memset(output + used, c, copied);
            used += copied;
        }
    }
    // A piece formatted by the C library straight into the room left.
    template <typename... Values> void putFormatted(const char *directive, Values... values) {
        const size_t available = size > used ? size - used : 0;
        const int length =
            snprintf(available ? output + used : nullptr, available, directive, values...);
        if (length > 0) {
            total += length;
            used += static_cast<size_t>(length) < room() ? static_cast<size_t>(length) : room();
        }
    }
    int finish() {
        if (size > 0) {
            output[used] = '\0';
        }
        return total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
    }
};

enum lengthModifier_t {
    LENGTH_NONE,
    LENGTH_HH,
    LENGTH_H,
    LENGTH_L,
    LENGTH_LL,
    LENGTH_J,
    LENGTH_Z,
    LENGTH_T,
    LENGTH_BIG_L
};

// One parsed printf directive.
struct directive_t {
    bool minus = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool hash = false;
    int width = 0;
    int precision = -1; // none
    lengthModifier_t length = LENGTH_NONE;
    char conversion = '\0';
};

int readNumber(const char *&p) {
    long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT32_MAX) {
            value = INT32_MAX;
        }
    }
    return static_cast<int>(value);
}

// The directive rebuilt with the numbers that '*' took, and `lengthText` in place of its
// length modifier, for the C library to format.
void rebuildDirective(char *text, size_t size, const directive_t &d, const char *lengthText) {
    char width[16] = "";
    char precision[16] = "";
    if (d.width > 0) {
        snprintf(width, sizeof width, "%d", d.width);
    }
    if (d.precision >= 0) {
        snprintf(precision, sizeof precision, ".%d", d.precision);
    }
    snprintf(text, size, "%%%s%s%s%s%s%s%s%s%c", d.minus ? "-" : "", d.plus ? "+" : "",
             d.space ? " " : "", d.hash ? "#" : "", d.zero ? "0" : "", width, precision, lengthText,
             d.conversion);
}

void putPadded(textSink_t &sink, const directive_t &d, const char *text, size_t length) {
    const size_t width = static_cast<size_t>(d.width);
    if (!d.minus && width > length) {
        sink.repeat(' ', width - length);
    }
    sink.put(text, length);
    if (d.minus && width > length) {
        sink.repeat(' ', width - length);
    }
}

void putInteger(textSink_t &sink, const directive_t &d, unsigned long long magnitude,
                bool negative) {
    const unsigned base = d.conversion == 'x' || d.conversion == 'X' ? 16 : 10;
    const char *digitSet = d.conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[24];
    size_t count = 0;
    if (magnitude != 0 || d.precision != 0) {
        // Constant divisors: the compiler turns them into multiplications and shifts.
        if (base == 16) {
            do {
                digits[sizeof digits - ++count] = digitSet[magnitude & 0xF];
                magnitude >>= 4;
            } while (magnitude != 0);
        } else {
            do {
                digits[sizeof digits - ++count] = digitSet[magnitude % 10];
                magnitude /= 10;
            } while (magnitude != 0);
        }
    }
    size_t zeros = d.precision > 0 && static_cast<size_t>(d.precision) > count
                       ? static_cast<size_t>(d.precision) - count
                       : 0;
    size_t body = (negative ? 1 : 0) + zeros + count;
    const size_t width = static_cast<size_t>(d.width);
    if (d.zero && !d.minus && d.precision < 0 && width > body) {
        zeros += width - body;
        body = width;
    }
    if (!d.minus && width > body) {
        sink.repeat(' ', width - body);
    }
    if (negative) {
        sink.put("-", 1);
    }
    sink.repeat('0', zeros);
    sink.put(digits + sizeof digits - count, count);
    if (d.minus && width > body) {
        sink.repeat(' ', width - body);
    }
}

// A text cut to the directive's precision and padded to its width.
void putText(textSink_t &sink, const directive_t &d, const char *text) {
    const size_t length =
        d.precision >= 0 ? strnlen(text, static_cast<size_t>(d.precision)) : strlen(text);
    putPadded(sink, d, text, length);
}

// A signed integer as its sign and magnitude; the most negative value included.
void putSigned(textSink_t &sink, const directive_t &d, long long value) {
    const unsigned long long magnitude = value < 0 ? 0ULL - static_cast<unsigned long long>(value)
                                                   : static_cast<unsigned long long>(value);
    putInteger(sink, d, magnitude, value < 0);
}

long long takeSigned(va_list *arguments, lengthModifier_t length) {
    switch (length) {
    case LENGTH_HH:
        return static_cast<signed char>(va_arg(*arguments, int));
    case LENGTH_H:
        return static_cast<short>(va_arg(*arguments, int));
    case LENGTH_L:
        return va_arg(*arguments, long);
    case LENGTH_LL:
    case LENGTH_BIG_L:
        return va_arg(*arguments, long long);
    case LENGTH_J:
        return va_arg(*arguments, intmax_t);
    case LENGTH_Z:
        return va_arg(*arguments, ssize_t);
    case LENGTH_T:
        return va_arg(*arguments, ptrdiff_t);
    case LENGTH_NONE:
        break;
    }
    return va_arg(*arguments, int);
}

unsigned long long takeUnsigned(va_list *arguments, lengthModifier_t length) {
    switch (length) {
    case LENGTH_HH:
        return static_cast<unsigned char>(va_arg(*arguments, unsigned));
    case LENGTH_H:
        return static_cast<unsigned short>(va_arg(*arguments, unsigned));
    case LENGTH_L:
        return va_arg(*arguments, unsigned long);
    case LENGTH_LL:
    case LENGTH_BIG_L:
        return va_arg(*arguments, unsigned long long);
    case LENGTH_J:
        return va_arg(*arguments, uintmax_t);
    case LENGTH_Z:
        return va_arg(*arguments, size_t);
    case LENGTH_T:
        return static_cast<unsigned long long>(va_arg(*arguments, ptrdiff_t));
    case LENGTH_NONE:
        break;
    }
    return va_arg(*arguments, unsigned);
}

// A wide argument as UTF-8 text, converted in a local buffer or, when long, on the heap.
class wideArgument_t {
public:
    explicit wideArgument_t(const CciChar *wide) {
        if (!wide) {
            text_ = "(null)";
            return;
        }
        const size_t size = static_cast<size_t>(UClen(wide)) * UTF8_BYTES_PER_UNIT + 1;
        char *buffer = local_;
        if (size > sizeof local_) {
            heap_ = static_cast<char *>(malloc(size));
            buffer = heap_;
        }
        if (buffer && UCToStr(wide, buffer, static_cast<int>(size), nullptr)) {
            text_ = buffer;
        }
    }
    ~wideArgument_t() { free(heap_); }
    wideArgument_t(const wideArgument_t &) = delete;
    wideArgument_t &operator=(const wideArgument_t &) = delete;
    const char *text() const { return text_; }

private:
    char local_[WIDE_ARGUMENT_BUFFER_SIZE];
    char *heap_ = nullptr;
    const char *text_ = "";
};

void emitHexLine(const threadControlBlock_t *block, const unsigned char *bytes, int index,
                 int count) {
    static const char hexDigits[] = "0123456789abcdef";
    char text[128];
    int length = snprintf(text, sizeof text, "%.4x  ", static_cast<unsigned>(index));
    for (int column = 0; column < HEX_BYTES_PER_LINE; ++column) {
        if (column < count) {
            text[length++] = hexDigits[bytes[column] >> 4];
            text[length++] = hexDigits[bytes[column] & 0xF];
        } else {
            text[length++] = ' ';
            text[length++] = ' ';
        }
        if (column % 4 == 3) {
            text[length++] = ' ';
        }
    }
    text[length++] = '\t';
    text[length++] = '<';
    for (int column = 0; column < count; ++column) {
        text[length++] = char_map[bytes[column]];
    }
    text[length++] = '>';
    writeMiddleText(block, text, static_cast<size_t>(length));
}

} // namespace

bool traceGateAfterInit(int32_t flag) {
    TraceInit();
    const int32_t word = __atomic_load_n(&traceGateWord, __ATOMIC_ACQUIRE);
    return (word & TRACE_GATE_UNINITIALISED) == 0 && (word & flag) != 0;
}

void TraceEntry(const char *name) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block) {
        fputs("error returned from TraceThreadInit()\n", stderr);
        return;
    }
    if (block->entryPending) {
        ++block->suppressedDepth;
        return;
    }
    block->entryPending = 1;
    const size_t length = name ? strnlen(name, NAME_LIMIT) : 0;
    memcpy(block->functionName, name ? name : "", length);
    block->functionName[length] = '\0';
}

namespace {

void writeEntry(int wide, const char *format, va_list arguments) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || suppressed(block)) {
        return;
    }
    block->entryPending = 0;
    traceLine_t line;
    const int level = block->nestingLevel;
    beginLine(line, block, level > TRACE_MAX_INDENTATION ? TRACE_MAX_INDENTATION : level);
    appendMark(line, "{ ");
    appendText(line, block->functionName);
    append(line, "(", 1);
    appendExpandedText(line, wide, format, arguments);
    append(line, ")", 1);
    finishLine(line);
    writeLine(block, line);
    block->nestingLevel += 2;
}

void writeMiddle(int wide, const char *format, va_list arguments) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || suppressed(block)) {
        return;
    }
    traceLine_t line;
    beginLine(line, block, block->nestingLevel);
    appendMark(line, "| ");
    appendExpandedText(line, wide, format, arguments);
    finishLine(line);
    writeLine(block, line);
}

} // namespace

void TraceEntryArgs(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeEntry(containsUnicodeArgs(format), format, arguments);
    va_end(arguments);
}

void traceEntryArgsFormat(int wide, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeEntry(wide, format, arguments);
    va_end(arguments);
}

void TraceMidArgs(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeMiddle(containsUnicodeArgs(format), format, arguments);
    va_end(arguments);
}

void traceMidArgsFormat(int wide, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    writeMiddle(wide, format, arguments);
    va_end(arguments);
}

void TraceReturnVoid(const char *name, unsigned reason) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || !beginExit(block)) {
        return;
    }
    traceLine_t line;
    beginExitLine(line, block, name, reason);
    finishLine(line);
    writeLine(block, line);
}

void TraceReturnInteger(const char *name, unsigned reason, int32_t code) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || !beginExit(block)) {
        return;
    }
    traceLine_t line;
    beginExitLine(line, block, name, reason);
    append(line, " (", 2);
    appendUnsigned(line, static_cast<uint32_t>(code));
    append(line, " ", 1);
    appendText(line, RetCodeToString(code));
    append(line, ")", 1);
    finishLine(line);
    writeLine(block, line);
}

void TraceReturnType(const char *name, unsigned reason, const char *resultLabel,
                     const void *resultP) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || !beginExit(block)) {
        return;
    }
    traceLine_t line;
    beginExitLine(line, block, name, reason);
    const traceReturnKind_t kind = resultP ? ParseReturnType(resultLabel) : TRACE_RETURN_NONE;
    switch (kind) {
    case TRACE_RETURN_CHAR: {
        const unsigned char value = *static_cast<const unsigned char *>(resultP);
        // A control byte would break the line; it shows as '.' with its value beside it.
        const char shown = value >= 0x20 && value <= 0x7E ? static_cast<char>(value) : '.';
        appendFormat(line, " ('%c' 0x%.2x)", shown, static_cast<unsigned>(value));
        break;
    }
    case TRACE_RETURN_STRING: {
        const char *text = *static_cast<const char *const *>(resultP);
        appendFormat(line, " ('%.*s')", STRING_RESULT_LIMIT, text ? text : "(null)");
        break;
    }
    case TRACE_RETURN_INT:
        appendFormat(line, " (%d)", *static_cast<const int32_t *>(resultP));
        break;
    case TRACE_RETURN_UNSIGNED_INT:
        appendFormat(line, " (%ud)", *static_cast<const uint32_t *>(resultP));
        break;
    case TRACE_RETURN_LONG:
        appendFormat(line, ", (%ld)", *static_cast<const long *>(resultP));
        break;
    case TRACE_RETURN_UNSIGNED_LONG:
        appendFormat(line, " (%lu)", *static_cast<const unsigned long *>(resultP));
        break;
    case TRACE_RETURN_POINTER:
        appendFormat(line, " (0x%.8x)", tracePtr(*static_cast<const void *const *>(resultP)));
        break;
    case TRACE_RETURN_BOOL:
        appendText(line, *static_cast<const bool_t *>(resultP) ? " (TRUE)" : " (FALSE)");
        break;
    case TRACE_RETURN_NONE:
        append(line, " ()", 3);
        break;
    }
    finishLine(line);
    writeLine(block, line);
}

void TraceExit(const char *name, unsigned reason, int status) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || !beginExit(block)) {
        return;
    }
    traceLine_t line;
    beginLine(line, block, block->nestingLevel);
    appendMark(line, "} ");
    append(line, "!EXIT! ", 7);
    appendName(line, name);
    appendFormat(line, " [RSN:%u] (%d)", reason, status);
    finishLine(line);
    writeLine(block, line);
    if (!ringBuffer) {
        FILE *stream = block->outputStream ? block->outputStream : globalTraceFile;
        if (stream) {
            fflush(stream);
        }
    }
    exit(status);
}

void TraceHexDump(const void *data, int length) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || suppressed(block)) {
        return;
    }
    writeMiddleText(block, HEX_RULE, sizeof HEX_RULE - 1);
    writeMiddleText(block, HEX_HEADER, sizeof HEX_HEADER - 1);
    writeMiddleText(block, HEX_RULE, sizeof HEX_RULE - 1);
    if (data && length > 0) {
        const unsigned char *bytes = static_cast<const unsigned char *>(data);
        const int lines = (length + HEX_BYTES_PER_LINE - 1) / HEX_BYTES_PER_LINE;
        int comparison = -1; // the line duplicates are compared with; none for line 0
        int duplicates = 0;
        int lastDuplicate = 0;
        auto lineAt = [&](int index) { return bytes + index * HEX_BYTES_PER_LINE; };
        auto flushDuplicates = [&]() {
            if (duplicates == 2) {
                emitHexLine(block, lineAt(lastDuplicate - 1), lastDuplicate - 1,
                            HEX_BYTES_PER_LINE);
            } else if (duplicates >= 3) {
                char text[64];
                const int textLength =
                    snprintf(text, sizeof text, "%*s%d lines suppressed", 9, "", duplicates - 1);
                writeMiddleText(block, text, static_cast<size_t>(textLength));
            }
            if (duplicates >= 1) {
                emitHexLine(block, lineAt(lastDuplicate), lastDuplicate, HEX_BYTES_PER_LINE);
            }
            duplicates = 0;
        };
        // Every line but the last is complete; the last is always printed in full.
        for (int index = 0; index < lines - 1; ++index) {
            if (comparison >= 0 &&
                memcmp(lineAt(index), lineAt(comparison), HEX_BYTES_PER_LINE) == 0) {
                ++duplicates;
                lastDuplicate = index;
                continue;
            }
            flushDuplicates();
            emitHexLine(block, lineAt(index), index, HEX_BYTES_PER_LINE);
            comparison = index;
        }
        flushDuplicates();
        emitHexLine(block, lineAt(lines - 1), lines - 1, length - (lines - 1) * HEX_BYTES_PER_LINE);
    }
    writeMiddleText(block, HEX_RULE, sizeof HEX_RULE - 1);
}

void TraceSetIndentationValue(int level) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block) {
        return;
    }
    if (level > TRACE_MAX_INDENTATION) {
        level = TRACE_MAX_INDENTATION;
    }
    block->nestingLevel = level < 0 ? 0 : level;
}

int InternalTraceWrite(const char *format, ...) {
    traceLine_t line;
    line.length = 0;
    line.text[0] = '\0';
    if (format) {
        va_list arguments;
        va_start(arguments, format);
        const int length = vsnprintf(line.text, LINE_CONTENT_LIMIT + 1, format, arguments);
        va_end(arguments);
        if (length > 0 && static_cast<size_t>(length) > LINE_CONTENT_LIMIT) {
            line.length = LINE_CONTENT_LIMIT;
            finishLine(line); // a cut line still ends its line
        } else if (length > 0) {
            line.length = static_cast<size_t>(length);
        }
    }
    return writeLine(TraceThreadInit(), line);
}

void GetTraceTimeStr(char *output, size_t outputSize, int accuracy) {
    (void)accuracy; // the text always shows milliseconds
    if (!output || outputSize == 0) {
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    snprintf(output, outputSize, "%ld.%.3u", static_cast<long>(now.tv_sec),
             static_cast<unsigned>(now.tv_nsec / 1000000));
}

int TraceRingBufferWrite(const char *line) {
    (void)line;
    fputs("TraceRingBufferWrite dummy function called\n", stderr);
    return 0;
}

int containsUnicodeArgs(const char *format) {
    for (const char *p = format ? strchr(format, '%') : nullptr; p; p = strchr(p + 1, '%')) {
        if (p[1] == 'S') {
            return 1;
        }
    }
    return 0;
}

int traceFormatNarrow(char *output, size_t outputSize, const char *format, va_list arguments) {
    // The record path formats here rather than through vsnprintf: the C library's string
    // streams copy text a byte at a time, which made a record half again as dear as an
    // fprintf of its line. The common directives (d i u x X c s with flags, width,
    // precision and length) are done here; every other goes to snprintf alone.
    textSink_t sink{output, outputSize, 0, 0};
    va_list args;
    va_copy(args, arguments);
    for (const char *p = format ? format : ""; *p;) {
        const char *percent = strchr(p, '%');
        const size_t literal = percent ? static_cast<size_t>(percent - p) : strlen(p);
        sink.put(p, literal);
        if (!percent) {
            break;
        }
        const char *start = percent;
        p = percent + 1;
        directive_t d;
        for (;; ++p) {
            if (*p == '-') {
                d.minus = true;
            } else if (*p == '0') {
                d.zero = true;
            } else if (*p == '+') {
                d.plus = true;
            } else if (*p == ' ') {
                d.space = true;
            } else if (*p == '#') {
                d.hash = true;
            } else {
                break;
            }
        }
        if (*p == '*') {
            ++p;
            d.width = va_arg(args, int);
            if (d.width < 0) {
                d.minus = true;
                d.width = d.width == INT32_MIN ? INT32_MAX : -d.width;
            }
        } else {
            d.width = readNumber(p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                ++p;
                d.precision = va_arg(args, int);
                if (d.precision < 0) {
                    d.precision = -1;
                }
            } else {
                d.precision = readNumber(p);
            }
        }
        if (p[0] == 'h' && p[1] == 'h') {
            d.length = LENGTH_HH, p += 2;
        } else if (p[0] == 'l' && p[1] == 'l') {
            d.length = LENGTH_LL, p += 2;
        } else if (*p == 'h') {
            d.length = LENGTH_H, ++p;
        } else if (*p == 'l') {
            d.length = LENGTH_L, ++p;
        } else if (*p == 'q') {
            d.length = LENGTH_LL, ++p;
        } else if (*p == 'j') {
            d.length = LENGTH_J, ++p;
        } else if (*p == 'z' || *p == 'Z') {
            d.length = LENGTH_Z, ++p;
        } else if (*p == 't') {
            d.length = LENGTH_T, ++p;
        } else if (*p == 'L') {
            d.length = LENGTH_BIG_L, ++p;
        }
        d.conversion = *p;
        if (!d.conversion) {
            break; // a directive cut short by the end of the format writes nothing
        }
        ++p;
        const bool plainFlags = !d.plus && !d.space && !d.hash;
        char rebuilt[DIRECTIVE_SIZE];
        switch (d.conversion) {
        case 'd':
        case 'i': {
            const long long value = takeSigned(&args, d.length);
            if (plainFlags) {
                d.conversion = 'd';
                putSigned(sink, d, value);
            } else {
                rebuildDirective(rebuilt, sizeof rebuilt, d, "ll");
                sink.putFormatted(rebuilt, value);
            }
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            const unsigned long long value = takeUnsigned(&args, d.length);
            if (plainFlags && d.conversion != 'o') {
                putInteger(sink, d, value, false);
            } else {
                rebuildDirective(rebuilt, sizeof rebuilt, d, "ll");
                sink.putFormatted(rebuilt, value);
            }
            break;
        }
        case 'c':
            if (d.length == LENGTH_L) {
                const wint_t value = va_arg(args, wint_t);
                rebuildDirective(rebuilt, sizeof rebuilt, d, "l");
                sink.putFormatted(rebuilt, value);
            } else {
                const char value = static_cast<char>(va_arg(args, int));
                if (d.zero) {
                    rebuildDirective(rebuilt, sizeof rebuilt, d, "");
                    sink.putFormatted(rebuilt, static_cast<int>(value));
                } else {
                    putPadded(sink, d, &value, 1);
                }
            }
            break;
        case 's':
            if (d.length == LENGTH_L) {
                const wchar_t *value = va_arg(args, const wchar_t *);
                rebuildDirective(rebuilt, sizeof rebuilt, d, "l");
                sink.putFormatted(rebuilt, value);
            } else {
                const char *value = va_arg(args, const char *);
                if (value && !d.zero) {
                    putText(sink, d, value);
                } else {
                    rebuildDirective(rebuilt, sizeof rebuilt, d, "");
                    sink.putFormatted(rebuilt, value);
                }
            }
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            rebuildDirective(rebuilt, sizeof rebuilt, d, d.length == LENGTH_BIG_L ? "L" : "");
            if (d.length == LENGTH_BIG_L) {
                sink.putFormatted(rebuilt, va_arg(args, long double));
            } else {
                sink.putFormatted(rebuilt, va_arg(args, double));
            }
            break;
        case 'p':
            rebuildDirective(rebuilt, sizeof rebuilt, d, "");
            sink.putFormatted(rebuilt, va_arg(args, void *));
            break;
        case 'n':
            (void)va_arg(args, void *); // never written through: trace texts are not code
            break;
        case '%':
            sink.put("%", 1);
            break;
        default:
            sink.put(start, static_cast<size_t>(p - start)); // not a directive: as written
            break;
        }
    }
    va_end(args);
    return sink.finish();
}

namespace {

// Reads a wide-formatter directive (the characters between '%' and its letter) as printf
// flags, width, precision and 'l'; false when it holds anything else.
bool parseStandardDirective(const char *p, const char *letter, const int *starValues,
                            directive_t &d) {
    int star = 0;
    for (;; ++p) {
        if (*p == '-') {
            d.minus = true;
        } else if (*p == '0') {
            d.zero = true;
        } else if (*p == '+' || *p == ' ' || *p == '#') {
            d.plus = true; // not done here: handed on
        } else {
            break;
        }
    }
    if (*p == '*') {
        ++p;
        d.width = starValues[star++];
        if (d.width < 0) {
            d.minus = true;
            d.width = d.width == INT32_MIN ? INT32_MAX : -d.width;
        }
    } else {
        d.width = readNumber(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            ++p;
            d.precision = starValues[star++];
            if (d.precision < 0) {
                d.precision = -1;
            }
        } else {
            d.precision = readNumber(p);
        }
    }
    if (*p == 'l') {
        d.length = LENGTH_L;
        ++p;
    }
    d.conversion = *letter;
    return p == letter;
}

// The directive exactly as written, formatted by the C library with its '*' numbers.
template <typename T>
void putAsWritten(textSink_t &sink, const char *directive, int stars, const int *starValues,
                  T value) {
    switch (stars) {
    case 0:
        sink.putFormatted(directive, value);
        break;
    case 1:
        sink.putFormatted(directive, starValues[0], value);
        break;
    default:
        sink.putFormatted(directive, starValues[0], starValues[1], value);
        break;
    }
}

} // namespace

int TraceFormatUC(char *output, size_t outputSize, const char *format, va_list arguments) {
    textSink_t sink{output, outputSize, 0, 0};
    va_list args;
    va_copy(args, arguments);
    for (const char *p = format ? format : ""; *p;) {
        const char *percent = strchr(p, '%');
        const size_t literal = percent ? static_cast<size_t>(percent - p) : strlen(p);
        sink.put(p, literal);
        if (!percent) {
            break;
        }
        // The directive runs to the first of the letters S s d x c; whatever stands
        // between belongs to it.
        const char *letter = percent + 1;
        while (*letter && !strchr("Ssdxc", *letter)) {
            ++letter;
        }
        if (!*letter) {
            break; // a '%' without a conversion letter ends the text
        }
        p = letter + 1;
        int starValues[2] = {0, 0};
        int stars = 0;
        bool isLong = false;
        for (const char *q = percent + 1; q < letter; ++q) {
            if (*q == '*') {
                const int value = va_arg(args, int);
                if (stars < 2) {
                    starValues[stars] = value;
                }
                ++stars;
            } else if (*q == 'l') {
                isLong = true;
            }
        }
        const size_t directiveLength = static_cast<size_t>(letter - percent) + 1;
        char directive[DIRECTIVE_SIZE] = {0};
        const bool usable = directiveLength < DIRECTIVE_SIZE && stars <= 2;
        if (usable) {
            memcpy(directive, percent, directiveLength);
        }
        directive_t d;
        const bool fast = usable && parseStandardDirective(percent + 1, letter, starValues, d) &&
                          !d.plus && !d.zero;
        switch (*letter) {
        case 'S': {
            const CciChar *wide = va_arg(args, const CciChar *);
            if (usable) {
                wideArgument_t converted(wide);
                if (fast) {
                    const char *text = converted.text();
                    putText(sink, d, text);
                } else {
                    directive[directiveLength - 1] = 's';
                    putAsWritten(sink, directive, stars, starValues, converted.text());
                }
            }
            break;
        }
        case 's': {
            const char *text = va_arg(args, const char *);
            text = text ? text : "(null)";
            if (fast) {
                putText(sink, d, text);
            } else if (usable) {
                putAsWritten(sink, directive, stars, starValues, text);
            }
            break;
        }
        case 'd': {
            const long value = isLong ? va_arg(args, long) : va_arg(args, int);
            if (fast) {
                putSigned(sink, d, value);
            } else if (usable && isLong) {
                putAsWritten(sink, directive, stars, starValues, value);
            } else if (usable) {
                putAsWritten(sink, directive, stars, starValues, static_cast<int>(value));
            }
            break;
        }
        case 'x': {
            const unsigned long value =
                isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned);
            if (fast) {
                putInteger(sink, d, value, false);
            } else if (usable && isLong) {
                putAsWritten(sink, directive, stars, starValues, value);
            } else if (usable) {
                putAsWritten(sink, directive, stars, starValues, static_cast<unsigned>(value));
            }
            break;
        }
        case 'c': {
            const int value = va_arg(args, int);
            if (fast) {
                const char character = static_cast<char>(value);
                putPadded(sink, d, &character, 1);
            } else if (usable) {
                putAsWritten(sink, directive, stars, starValues, value);
            }
            break;
        }
        }
    }
    va_end(args);
    return sink.finish();
}

traceReturnKind_t ParseReturnType(const char *resultLabel) {
    enum { BASE_NONE, BASE_BOOL, BASE_INT, BASE_LONG, BASE_CHAR, BASE_STRUCT } base = BASE_NONE;
    bool isUnsigned = false;
    bool isPointer = false;
    const char *cursor = resultLabel ? resultLabel : "";
    while (*cursor) {
        while (*cursor == ' ') {
            ++cursor;
        }
        if (!*cursor) {
            break;
        }
        char word[TRACE_WORD_SIZE];
        GetSingleWord(word, sizeof word, &cursor);
        if (strcmp(word, "bool_t") == 0) {
            base = BASE_BOOL;
        } else if (strcmp(word, "int") == 0) {
            base = BASE_INT;
        } else if (strcmp(word, "long") == 0) {
            base = BASE_LONG;
        } else if (strcmp(word, "char") == 0) {
            base = BASE_CHAR;
        } else if (strcmp(word, "struct") == 0) {
            base = BASE_STRUCT;
        } else if (strcmp(word, "unsigned") == 0) {
            isUnsigned = true;
        } else if (strcmp(word, "*") == 0) {
            isPointer = true;
        }
    }
    if (isPointer) {
        return base == BASE_CHAR ? TRACE_RETURN_STRING : TRACE_RETURN_POINTER;
    }
    switch (base) {
    case BASE_BOOL:
        return TRACE_RETURN_BOOL;
    case BASE_INT:
        return isUnsigned ? TRACE_RETURN_UNSIGNED_INT : TRACE_RETURN_INT;
    case BASE_LONG:
        return isUnsigned ? TRACE_RETURN_UNSIGNED_LONG : TRACE_RETURN_LONG;
    case BASE_CHAR:
        return TRACE_RETURN_CHAR;
    case BASE_STRUCT:
    case BASE_NONE:
        break;
    }
    return TRACE_RETURN_NONE;
}

void GetSingleWord(char *word, size_t wordSize, const char **cursorP) {
    const char *cursor = *cursorP;
    size_t length = 0;
    for (; *cursor && *cursor != ' '; ++cursor) {
        if (length + 1 < wordSize) {
            word[length++] = *cursor;
        }
    }
    if (wordSize > 0) {
        word[length] = '\0';
    }
    *cursorP = cursor;
}
