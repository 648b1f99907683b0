/*
 * Trace records and the gate that every traced operation of the plug-in uses.
 *
 * A traced operation reads, at its top:
 *
 *     TRACE_FUNCTION("locateElementInTree");
 *     TRACE_ENTRY("messageP=%.8x, path=%S", tracePtr(messageP), path);
 *     ...
 *     TRACE_INFO("Addressed root element at %.8x", tracePtr(rootP));
 *     TRACE_ERROR("cniRootElement for message FAILED");
 *     TRACE_HEXDUMP(buffer, length);
 *     ...
 *     TRACE_EXIT_TYPE(21, "CciElement *", &elementP);
 *     return elementP;
 *
 * Each record is one line at the call site. A disabled trace costs a load and a test:
 * the record's arguments are never evaluated unless its class is switched on. Formats
 * are checked against their arguments at compile time (UCFormat), "%S" taking a
 * const CciChar *. Pointers and handles are shown with "%.8x" through tracePtr().
 *
 * The process-wide switches are set once by the trace set-up (traceinit) and read
 * here without a lock; each thread writes through its own control block.
 */
#ifndef TREVANE_TRACE_TRACE_H
#define TREVANE_TRACE_TRACE_H

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>

#include "portability/formatcheck.h"
#include "portability/types.h"
#include "trace/traceinit.h"

/* Record classes (bits of traceFlags). */
#define TRACE_ENTRY_EXIT 2
#define TRACE_ERROR 4
#define TRACE_INFO 8
#define TRACE_WARNING 16

#define TRACE_NAME_SIZE 101     /* an operation's name: 100 characters and a terminator */
#define TRACE_TEXT_SIZE 4097    /* an argument or middle text: 4,096 and a terminator */
#define TRACE_MAX_INDENTATION 200

/* A pointer or handle as the 32-bit number that "%.8x" shows. */
inline unsigned tracePtr(const volatile void *pointer) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

/* The record operations. Formats go through the checked front door below. */
void TraceEntry(const char *name);
void TraceEntryArgs(const char *format, ...);
void TraceMidArgs(const char *format, ...);
void TraceReturnVoid(const char *name, unsigned reason);
void TraceReturnInteger(const char *name, unsigned reason, int32_t code);
void TraceReturnType(const char *name, unsigned reason, const char *resultLabel,
                     const void *resultP);
/* Writes the "!EXIT!" record and ends the process with `status`; returns only when the
   record was suppressed or the thread has no control block. */
void TraceExit(const char *name, unsigned reason, int status);
void TraceHexDump(const void *data, int length);
void TraceSetIndentationValue(int level);

/* Line assembly and helpers, visible for tests. */
int InternalTraceWrite(const char *format, ...);
void GetTraceTimeStr(char *output, int accuracy);
int TraceRingBufferWrite(const char *line);
int containsUnicodeArgs(const char *format);
int TraceFormatUC(char *output, const char *format, va_list arguments);

template <typename... Args>
inline void traceEntryArgsChecked(UCFormatString<Args...> format, Args... arguments) {
    TraceEntryArgs(format.text, arguments...);
}
template <typename... Args>
inline void traceMidArgsChecked(UCFormatString<Args...> format, Args... arguments) {
    TraceMidArgs(format.text, arguments...);
}

#define TRACE_ON(flag) (traceEnabled && (traceFlags & (flag)))
#define TRACE_GATE_INIT()                                                                      \
    do {                                                                                       \
        if (!traceInitialised)                                                                 \
            TraceInit();                                                                       \
    } while (0)

/* Declares the operation's name buffer: 100 characters at most, terminated. */
#define TRACE_FUNCTION(name)                                                                   \
    char traceFunctionName_[TRACE_NAME_SIZE];                                                  \
    traceCopyName(traceFunctionName_, (name))

#define TRACE_ENTRY(...)                                                                       \
    do {                                                                                       \
        TRACE_GATE_INIT();                                                                     \
        if (TRACE_ON(TRACE_ENTRY_EXIT)) {                                                      \
            TraceEntry(traceFunctionName_);                                                    \
            traceEntryArgsChecked(__VA_ARGS__);                                                \
        }                                                                                      \
    } while (0)

#define TRACE_MIDDLE(flag, ...)                                                                \
    do {                                                                                       \
        TRACE_GATE_INIT();                                                                     \
        if (TRACE_ON(flag))                                                                    \
            traceMidArgsChecked(__VA_ARGS__);                                                  \
    } while (0)
#define TRACE_INFO_TEXT(...) TRACE_MIDDLE(TRACE_INFO, __VA_ARGS__)
#define TRACE_ERROR_TEXT(...) TRACE_MIDDLE(TRACE_ERROR, __VA_ARGS__)

#define TRACE_HEXDUMP(data, length)                                                            \
    do {                                                                                       \
        TRACE_GATE_INIT();                                                                     \
        if (TRACE_ON(TRACE_INFO))                                                              \
            TraceHexDump((data), (length));                                                    \
    } while (0)

#define TRACE_EXIT_VOID(reason)                                                                \
    do {                                                                                       \
        if (TRACE_ON(TRACE_ENTRY_EXIT))                                                        \
            TraceReturnVoid(traceFunctionName_, (reason));                                     \
    } while (0)
#define TRACE_EXIT_INT(reason, code)                                                           \
    do {                                                                                       \
        if (TRACE_ON(TRACE_ENTRY_EXIT))                                                        \
            TraceReturnInteger(traceFunctionName_, (reason), (code));                          \
    } while (0)
#define TRACE_EXIT_TYPE(reason, label, resultP)                                                \
    do {                                                                                       \
        if (TRACE_ON(TRACE_ENTRY_EXIT))                                                        \
            TraceReturnType(traceFunctionName_, (reason), (label), (resultP));                 \
    } while (0)

/* Copies an operation name into its 101-byte buffer, cut at 100 characters. */
inline void traceCopyName(char (&buffer)[TRACE_NAME_SIZE], const char *name) {
    int i = 0;
    for (; name && name[i] && i < TRACE_NAME_SIZE - 1; ++i) {
        buffer[i] = name[i];
    }
    buffer[i] = '\0';
}

#endif
