/*
 * Trace records and the gate that every traced operation of the plug-in uses.
 *
 * A traced operation reads, at its top:
 *
 *     TRACE_FUNCTION("locateElementInTree");
 *     TRACE_ENTRY("messageP=%.8x, path=%S", tracePtr(messageP), path);
 *     ...
 *     TRACE_INFO_TEXT("Addressed root element at %.8x", tracePtr(rootP));
 *     TRACE_ERROR_TEXT("cniRootElement for message FAILED");
 *     TRACE_HEXDUMP(buffer, length);
 *     ...
 *     TRACE_EXIT_TYPE(21, "CciElement *", &elementP);
 *     return elementP;
 *
 * Each record is one line at the call site. A disabled trace costs one load and one
 * test (of traceGateWord): the record's arguments are never evaluated unless its class
 * is switched on, and the first record of the process runs the trace set-up. Formats
 * are checked against their arguments at compile time (UCFormat), "%S" taking a
 * const CciChar *. Pointers and handles are shown with "%.8x" through tracePtr().
 *
 * The process-wide switches are set once by the trace set-up (traceinit) and read
 * here without a lock; each thread writes through its own control block, one whole
 * line per write.
 */
#ifndef TREVANE_TRACE_TRACE_H
#define TREVANE_TRACE_TRACE_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "portability/formatcheck.h"
#include "trevane/traceinit.h"
#include "trevane/types.h"

/* Record classes (bits of traceFlags). */
#define TRACE_ENTRY_EXIT 2
#define TRACE_ERROR 4
#define TRACE_INFO 8
#define TRACE_WARNING 16

#define TRACE_NAME_SIZE 101  /* an operation's name: 100 characters and a terminator */
#define TRACE_TEXT_SIZE 4097 /* an argument or middle text: 4,096 and a terminator */
#define TRACE_MAX_INDENTATION 200
/* A whole line: thread prefix, 200 columns, time, name, a full text and the record's
   own punctuation fit with room to spare; anything longer is cut, newline kept. */
#define TRACE_LINE_SIZE 8192
#define TRACE_TIME_SIZE 32 /* a time stamp text */
#define TRACE_WORD_SIZE 80 /* one word of a result label */

/* What ParseReturnType makes of a result label, and so how an exit shows the value. */
enum traceReturnKind_t {
    TRACE_RETURN_NONE = 0, /* "void", "struct x", unknown labels: "()" */
    TRACE_RETURN_CHAR,
    TRACE_RETURN_STRING, /* "char *" */
    TRACE_RETURN_INT,
    TRACE_RETURN_UNSIGNED_INT,
    TRACE_RETURN_LONG,
    TRACE_RETURN_UNSIGNED_LONG,
    TRACE_RETURN_POINTER,
    TRACE_RETURN_BOOL
};

/* A pointer or handle as the 32-bit number that "%.8x" shows. The number is taken where
   tracePtr is called: code that notes an address before freeing the storage and traces
   it afterwards keeps that order (the empty asm stops the compiler sinking the
   conversion past the free). */
inline unsigned tracePtr(const volatile void *pointer) {
    uintptr_t address = reinterpret_cast<uintptr_t>(pointer);
    __asm__ volatile("" : "+r"(address));
    return static_cast<unsigned>(address);
}

/* Registers an entry; writes nothing. A second entry while one is pending (a traced
   call made while the first entry's arguments are evaluated) is suppressed. Reports
   "error returned from TraceThreadInit()" on standard error when the thread has no
   control block. */
void TraceEntry(const char *name);
/* Writes the pending entry's line with the expanded arguments and indents by 2. */
void TraceEntryArgs(const char *format, ...);
/* Writes a middle line. */
void TraceMidArgs(const char *format, ...);
/* Exit lines: each lowers the indentation by 2 first, so it lines up with its entry.
   The name is cut at 100 characters. */
void TraceReturnVoid(const char *name, unsigned reason);
void TraceReturnInteger(const char *name, unsigned reason, int32_t code);
/* resultP points at the result; the label ("CciElement *", "bool_t", ...) says how to
   read and show it. */
void TraceReturnType(const char *name, unsigned reason, const char *resultLabel,
                     const void *resultP);
/* Writes the "!EXIT!" record and ends the process with `status`; returns only when the
   record was suppressed or the thread has no control block. */
void TraceExit(const char *name, unsigned reason, int status);
/* Writes a framed hex dump of `length` bytes as middle lines, folding runs of equal
   16-byte lines. */
void TraceHexDump(const void *data, int length);
/* Sets the calling thread's indentation: 0 restarts it, values above 200 become 200. */
void TraceSetIndentationValue(int level);

/* Line assembly and helpers, visible for tests. */

/* Formats one complete line (the caller supplies prefix and newline) and writes it to
   the calling thread's stream; 0, or the ring-buffer writer's answer. */
int InternalTraceWrite(const char *format, ...);
/* "seconds.milliseconds" of the current time into output (outputSize bytes). */
void GetTraceTimeStr(char *output, size_t outputSize, int accuracy);
/* Placeholder for a ring buffer: says so on standard error and keeps nothing; 0. */
int TraceRingBufferWrite(const char *line);
/* 1 when the format holds "%S", else 0. */
int containsUnicodeArgs(const char *format);
/* The wide formatter over an argument list: directives end at the first of S s d x c,
   "%S" takes a const CciChar *. Writes at most outputSize - 1 characters and a
   terminator; answers the length the whole text needs, as vsnprintf does. */
int TraceFormatUC(char *output, size_t outputSize, const char *format, va_list arguments);
/* The formatter of texts without "%S": printf's directives and results (the common ones
   done here, the rest by snprintf), "%n" ignored. Same contract as TraceFormatUC. */
int traceFormatNarrow(char *output, size_t outputSize, const char *format, va_list arguments);
/* How an exit record shows a result of this label. */
traceReturnKind_t ParseReturnType(const char *resultLabel);
/* Copies the characters from *cursorP up to the next blank or the end into word (cut
   to wordSize - 1) and moves *cursorP to that blank or end. */
void GetSingleWord(char *word, size_t wordSize, const char **cursorP);

/* The gate. */

/* Slow half of the gate: runs the trace set-up, then answers whether `flag` is on. */
bool traceGateAfterInit(int32_t flag);

/* Whether records of class `flag` are written, running set-up on the process's first
   record. One load and one test while tracing is off. */
inline bool traceGateOpen(int32_t flag) {
    const int32_t word = __atomic_load_n(&traceGateWord, __ATOMIC_ACQUIRE);
    if (__builtin_expect((word & (flag | TRACE_GATE_UNINITIALISED)) == 0, 1)) {
        return false;
    }
    if (__builtin_expect((word & TRACE_GATE_UNINITIALISED) != 0, 0)) {
        return traceGateAfterInit(flag);
    }
    return true;
}

/* Whether records of class `flag` are written; never runs set-up (exit records). */
inline bool traceClassOn(int32_t flag) {
    return (__atomic_load_n(&traceGateWord, __ATOMIC_ACQUIRE) & flag) != 0;
}

/* Whether a literal format holds "%S"; the gate macros decide it at compile time. */
constexpr int traceFormatIsWide(const char *format) {
    for (; *format; ++format) {
        if (format[0] == '%' && format[1] == 'S') {
            return 1;
        }
    }
    return 0;
}

/* TraceEntryArgs and TraceMidArgs for a format whose use of "%S" is already known. */
void traceEntryArgsFormat(int wide, const char *format, ...);
void traceMidArgsFormat(int wide, const char *format, ...);

template <int Wide, typename... Args>
inline void traceEntryArgsChecked(UCFormatString<Args...> format, Args... arguments) {
    traceEntryArgsFormat(Wide, format.text, arguments...);
}
template <int Wide, typename... Args>
inline void traceMidArgsChecked(UCFormatString<Args...> format, Args... arguments) {
    traceMidArgsFormat(Wide, format.text, arguments...);
}

/* The format of a record's argument list (always a literal). */
#define TRACE_FORMAT_OF(format, ...) format

#define TRACE_ON(flag) traceClassOn(flag)
#define TRACE_GATE_INIT()                                                                          \
    do {                                                                                           \
        if (__atomic_load_n(&traceGateWord, __ATOMIC_ACQUIRE) & TRACE_GATE_UNINITIALISED)          \
            TraceInit();                                                                           \
    } while (0)

/* Names the operation for its records. The name is kept by reference (a literal) and
   cut at 100 characters where it is written, so a disabled trace does not copy it. */
#define TRACE_FUNCTION(name) [[maybe_unused]] const char *const traceFunctionName_ = (name)

#define TRACE_ENTRY(...)                                                                           \
    do {                                                                                           \
        if (traceGateOpen(TRACE_ENTRY_EXIT)) {                                                     \
            TraceEntry(traceFunctionName_);                                                        \
            traceEntryArgsChecked<traceFormatIsWide(TRACE_FORMAT_OF(__VA_ARGS__))>(__VA_ARGS__);   \
        }                                                                                          \
    } while (0)

#define TRACE_MIDDLE(flag, ...)                                                                    \
    do {                                                                                           \
        if (traceGateOpen(flag))                                                                   \
            traceMidArgsChecked<traceFormatIsWide(TRACE_FORMAT_OF(__VA_ARGS__))>(__VA_ARGS__);     \
    } while (0)
#define TRACE_INFO_TEXT(...) TRACE_MIDDLE(TRACE_INFO, __VA_ARGS__)
#define TRACE_ERROR_TEXT(...) TRACE_MIDDLE(TRACE_ERROR, __VA_ARGS__)
#define TRACE_WARNING_TEXT(...) TRACE_MIDDLE(TRACE_WARNING, __VA_ARGS__)

#define TRACE_HEXDUMP(data, length)                                                                \
    do {                                                                                           \
        if (traceGateOpen(TRACE_INFO))                                                             \
            TraceHexDump((data), (length));                                                        \
    } while (0)

#define TRACE_EXIT_VOID(reason)                                                                    \
    do {                                                                                           \
        if (traceClassOn(TRACE_ENTRY_EXIT))                                                        \
            TraceReturnVoid(traceFunctionName_, (reason));                                         \
    } while (0)
#define TRACE_EXIT_INT(reason, code)                                                               \
    do {                                                                                           \
        if (traceClassOn(TRACE_ENTRY_EXIT))                                                        \
            TraceReturnInteger(traceFunctionName_, (reason), (code));                              \
    } while (0)
#define TRACE_EXIT_TYPE(reason, label, resultP)                                                    \
    do {                                                                                           \
        if (traceClassOn(TRACE_ENTRY_EXIT))                                                        \
            TraceReturnType(traceFunctionName_, (reason), (label), (resultP));                     \
    } while (0)

#endif
