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

#include <stdlib.h>
#include <string.h>
#include <time.h>

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

// Expands an argument or middle text into `text` (TRACE_TEXT_SIZE bytes). A text over
// 4,096 characters is reported on standard error and kept cut: message data reaches
// these texts, and one long message must not end the broker.
void expandText(char *text, const char *format, va_list arguments) {
    if (!format) {
        text[0] = '\0';
        return;
    }
    const int length = containsUnicodeArgs(format)
                           ? TraceFormatUC(text, TRACE_TEXT_SIZE, format, arguments)
                           : vsnprintf(text, TRACE_TEXT_SIZE, format, arguments);
    if (length < 0) {
        text[0] = '\0';
    } else if (length > TRACE_TEXT_SIZE - 1) {
        fprintf(stderr, "Blown trace buffer with size %d\n", length);
        fflush(stderr);
    }
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

// Formats one directive of the wide formatter with its width and precision arguments.
template <typename T>
int formatDirective(char *output, size_t size, const char *directive, int stars,
                    const int *starValues, T value) {
    switch (stars) {
    case 0:
        return snprintf(output, size, directive, value);
    case 1:
        return snprintf(output, size, directive, starValues[0], value);
    default:
        return snprintf(output, size, directive, starValues[0], starValues[1], value);
    }
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

void TraceEntryArgs(const char *format, ...) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || suppressed(block)) {
        return;
    }
    block->entryPending = 0;
    char text[TRACE_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, format);
    expandText(text, format, arguments);
    va_end(arguments);

    traceLine_t line;
    const int level = block->nestingLevel;
    beginLine(line, block, level > TRACE_MAX_INDENTATION ? TRACE_MAX_INDENTATION : level);
    appendMark(line, "{ ");
    appendText(line, block->functionName);
    append(line, "(", 1);
    appendText(line, text);
    append(line, ")", 1);
    finishLine(line);
    writeLine(block, line);
    block->nestingLevel += 2;
}

void TraceMidArgs(const char *format, ...) {
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || suppressed(block)) {
        return;
    }
    char text[TRACE_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, format);
    expandText(text, format, arguments);
    va_end(arguments);
    writeMiddleText(block, text, strlen(text));
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
    for (const char *p = format; p && p[0]; ++p) {
        if (p[0] == '%' && p[1] == 'S') {
            return 1;
        }
    }
    return 0;
}

int TraceFormatUC(char *output, size_t outputSize, const char *format, va_list arguments) {
    size_t used = 0;
    long total = 0;
    // Appends a piece formatted by `format`, cut to the room left, counting it in full.
    auto emit = [&](auto &&formatPiece) {
        const size_t room = outputSize > used ? outputSize - used : 0;
        const int length = formatPiece(room ? output + used : nullptr, room);
        if (length > 0) {
            total += length;
            if (room > 1) {
                used +=
                    static_cast<size_t>(length) < room - 1 ? static_cast<size_t>(length) : room - 1;
            }
        }
    };
    for (const char *p = format ? format : ""; *p;) {
        if (*p != '%') {
            const char *end = strchr(p, '%');
            const size_t length = end ? static_cast<size_t>(end - p) : strlen(p);
            emit([&](char *out, size_t room) {
                if (room > 1) {
                    const size_t copied = length < room - 1 ? length : room - 1;
                    memcpy(out, p, copied);
                }
                return static_cast<int>(length);
            });
            p += length;
            continue;
        }
        const char *letter = p + 1;
        while (*letter && !strchr("Ssdxc", *letter)) {
            ++letter;
        }
        if (!*letter) {
            break; // a '%' without a conversion letter ends the text
        }
        const size_t directiveLength = static_cast<size_t>(letter - p) + 1;
        int starValues[2] = {0, 0};
        int stars = 0;
        bool isLong = false;
        for (const char *q = p + 1; q < letter; ++q) {
            if (*q == '*') {
                const int value = va_arg(arguments, int);
                if (stars < 2) {
                    starValues[stars] = value;
                }
                ++stars;
            } else if (*q == 'l') {
                isLong = true;
            }
        }
        char directive[DIRECTIVE_SIZE] = {0};
        const bool usable = directiveLength < DIRECTIVE_SIZE && stars <= 2;
        if (usable) {
            memcpy(directive, p, directiveLength);
        }
        switch (*letter) {
        case 'S': {
            const CciChar *wide = va_arg(arguments, const CciChar *);
            if (usable) {
                wideArgument_t converted(wide);
                directive[directiveLength - 1] = 's';
                emit([&](char *out, size_t room) {
                    return formatDirective(out, room, directive, stars, starValues,
                                           converted.text());
                });
            }
            break;
        }
        case 's': {
            const char *text = va_arg(arguments, const char *);
            if (usable) {
                emit([&](char *out, size_t room) {
                    return formatDirective(out, room, directive, stars, starValues,
                                           text ? text : "(null)");
                });
            }
            break;
        }
        case 'd':
            if (isLong) {
                const long value = va_arg(arguments, long);
                if (usable) {
                    emit([&](char *out, size_t room) {
                        return formatDirective(out, room, directive, stars, starValues, value);
                    });
                }
            } else {
                const int value = va_arg(arguments, int);
                if (usable) {
                    emit([&](char *out, size_t room) {
                        return formatDirective(out, room, directive, stars, starValues, value);
                    });
                }
            }
            break;
        case 'x':
            if (isLong) {
                const unsigned long value = va_arg(arguments, unsigned long);
                if (usable) {
                    emit([&](char *out, size_t room) {
                        return formatDirective(out, room, directive, stars, starValues, value);
                    });
                }
            } else {
                const unsigned value = va_arg(arguments, unsigned);
                if (usable) {
                    emit([&](char *out, size_t room) {
                        return formatDirective(out, room, directive, stars, starValues, value);
                    });
                }
            }
            break;
        case 'c': {
            const int value = va_arg(arguments, int);
            if (usable) {
                emit([&](char *out, size_t room) {
                    return formatDirective(out, room, directive, stars, starValues, value);
                });
            }
            break;
        }
        }
        p = letter + 1;
    }
    if (outputSize > 0) {
        output[used < outputSize ? used : outputSize - 1] = '\0';
    }
    return total > INT32_MAX ? INT32_MAX : static_cast<int>(total);
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
