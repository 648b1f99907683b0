/*
 * Trace set-up. Owns every process-wide trace variable (the switches the records read,
 * the shared stream, the list of per-thread control blocks, and the error list's
 * variables), reads the trace specification once per process from the environment
 * variable the linking program names, creates each thread's control block on its first
 * record, and closes the trace files at process exit.
 *
 * Callers: the record gate (TraceInit while set-up has not run), the record operations
 * (TraceThreadInit for every record), atexit (CloseTrace), and tests (TraceReset).
 * This file is also built alone into quenor.o, so it uses nothing but the C library
 * and the thread layer.
 */
#include "trevane/traceinit.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "trace/error.h"

const char *traceEnvironmentVariable = nullptr;
int32_t traceInitialised = 0;
int32_t traceEnabled = 0;
int32_t traceFlags = 0;
int32_t timeStamp = 0;
int32_t timeStampAccuracy = 4;
int32_t threadId = 0;
int32_t commitTrace = 0;
int32_t appendTrace = 0;
int32_t ringBuffer = 0;
int32_t ringBufferSize = 1000;
int32_t filePerThread = 0;
FILE *globalTraceFile = nullptr;
char traceFileString[TRACE_FILE_STRING_SIZE] = {0};
int myProcessId = 0;
char blanksBuffer[TRACE_BLANKS_SIZE] = {0};
slotKey_t traceThreadSlot;
threadMutex_t traceMutex = nullptr;
threadControlBlock_t *threadControlBlockAnchorP = nullptr;
int32_t traceGateWord = TRACE_GATE_UNINITIALISED;

int32_t processingError = 0;
char **errorMessages = nullptr;
int32_t numErrorMessages = 0;
int32_t sizeofErrorList = 0;

namespace {

onceBlock_t thisBlock = THREAD_ONCE_BLOCK_INIT;

// Set-up pieces that survive TraceReset: the slot key and the list lock are made once,
// and CloseTrace is registered with atexit once.
bool slotKeyCreated = false;
bool closeTraceRegistered = false;

// Bumped by every set-up; a control block of an earlier set-up is given fresh output
// before it is used again.
uint32_t traceGeneration = 0;

constexpr int MAX_SPEC_TOKENS = 100;
// Room for a template of 100 characters in which every pair is an expansion of up to
// twelve characters (".-2147483648").
constexpr size_t EXPANDED_NAME_SIZE = 1024;

struct levelName_t {
    const char *name;
    int32_t bits;
};

constexpr levelName_t levelNames[] = {
    {"TRACE_ENTRY_EXIT", 0x2},     {"TRACE_ERROR", 0x4},           {"TRACE_INFO", 0x8},
    {"TRACE_WARNING", 0x10},       {"TRACE_USER_1", 0x20},         {"TRACE_USER_2", 0x40},
    {"TRACE_USER_3", 0x80},        {"TRACE_USER_4", 0x100},        {"TRACE_USER_5", 0x200},
    {"TRACE_USER_6", 0x400},       {"TRACE_USER_7", 0x800},        {"TRACE_USER_8", 0x1000},
    {"TRACE_USER_9", 0x2000},      {"TRACE_USER_10", 0x4000},      {"TRACE_USER_1_TO_4", 0x1E0},
    {"TRACE_USER_5_TO_8", 0x1E00}, {"TRACE_USER_9_TO_10", 0x6000}, {"TRACE_USER_ALL", 0x7FE0},
    {"TRACE_SYSTEM_ALL", 0x1E},    {"TRACE_ALL", TRACE_LEVEL_ALL},
};

bool isStandardStream(const FILE *stream) {
    return stream == stderr || stream == stdout;
}

void publishGate(int32_t word) {
    __atomic_store_n(&traceGateWord, word, __ATOMIC_RELEASE);
}

// Every switch back to its state before set-up (the file, if any, is closed by then).
void clearSwitches() {
    traceEnabled = 0;
    traceFlags = 0;
    timeStamp = 0;
    timeStampAccuracy = 4;
    threadId = 0;
    commitTrace = 0;
    appendTrace = 0;
    ringBuffer = 0;
    ringBufferSize = 1000;
    filePerThread = 0;
    globalTraceFile = nullptr;
    traceFileString[0] = '\0';
}

void reportMissingArgument(const char *option) {
    fprintf(stderr, "Invalid trace specification: missing required argument for %s option\n",
            option);
}

bool isSingleDigit(const char *token) {
    return isdigit((unsigned char)token[0]) && !token[1];
}

bool isDigitsOnly(const char *token) {
    if (!*token) {
        return false;
    }
    for (const char *p = token; *p; ++p) {
        if (!isdigit((unsigned char)*p)) {
            return false;
        }
    }
    return true;
}

// Applies a list such as TRACE_ERROR|TRACE_INFO (also quoted) to traceFlags; false when
// a name is unknown.
bool applyLevelList(char *list) {
    bool valid = true;
    char *cursor = list;
    while (*cursor) {
        size_t length = strcspn(cursor, "|'\"");
        char *end = cursor + length;
        const bool last = *end == '\0';
        *end = '\0';
        if (length > 0) {
            if (strcmp(cursor, "TRACE_NONE") == 0) {
                traceFlags = 0;
            } else {
                bool known = false;
                for (const levelName_t &level : levelNames) {
                    if (strcmp(cursor, level.name) == 0) {
                        traceFlags |= level.bits;
                        known = true;
                        break;
                    }
                }
                if (!known) {
                    fprintf(stderr, "Invalid trace setting '%s' found\n", cursor);
                    valid = false;
                }
            }
        }
        if (last) {
            break;
        }
        cursor = end + 1;
    }
    return valid;
}

// Opens the shared stream named by traceFileString (not per thread).
void openSharedFile() {
    char expanded[EXPANDED_NAME_SIZE];
    if (traceExpandFileName(traceFileString, myProcessId, 0, 0, expanded, sizeof expanded)) {
        fprintf(stderr, "Trace file name '%s' is too long once expanded; tracing to stderr\n",
                traceFileString);
        globalTraceFile = stderr;
        return;
    }
    if (strcmp(expanded, "stderr") == 0) {
        globalTraceFile = stderr;
    } else if (strcmp(expanded, "stdout") == 0) {
        globalTraceFile = stdout;
    } else {
        globalTraceFile = fopen(expanded, appendTrace ? "a" : "w");
        if (!globalTraceFile) {
            globalTraceFile = stderr;
        }
    }
}

void unlinkBlock(threadControlBlock_t *block) {
    if (block->previous) {
        block->previous->next = block->next;
    } else if (threadControlBlockAnchorP == block) {
        threadControlBlockAnchorP = block->next;
    }
    if (block->next) {
        block->next->previous = block->previous;
    }
    block->next = nullptr;
    block->previous = nullptr;
}

// A block of an earlier set-up (its stream was closed by CloseTrace) starts afresh.
void renewBlock(threadControlBlock_t *block) {
    block->nestingLevel = 0;
    block->fileSetUp = 0;
    block->outputStream = nullptr;
    block->entryPending = 0;
    block->suppressedDepth = 0;
    block->functionName[0] = '\0';
    block->generation = traceGeneration;
    setUpOutputFile(block);
}

} // namespace

uint32_t getThreadId(void) {
    return static_cast<uint32_t>(gettid());
}

int TraceInit(void) {
    threadOnceBlock(&thisBlock, TraceProcessInit);
    if (traceInitialised) {
        return 0;
    }
    fputs("Failed to initialise process tracing\n", stderr);
    fflush(stderr);
    return 1;
}

void TraceProcessInit(void) {
    // Copied here rather than in TraceInit so that threads racing to the first record
    // do not all write it.
    traceEnvironmentVariable = callersTraceEnvironmentVariable;
    if (!slotKeyCreated) {
        if (threadGetSlotKey(&traceThreadSlot) != 0) {
            fprintf(stderr, "Failed to create thread slot key for trace (errno=%d)\n", errno);
            traceInitialised = 0;
            return;
        }
        slotKeyCreated = true;
    }
    if (!traceMutex && threadCreateMutex(FALSE, &traceMutex) != 0) {
        fprintf(stderr, "Failed to create the trace list lock (errno=%d)\n", errno);
        traceInitialised = 0;
        return;
    }
    myProcessId = static_cast<int>(getpid());
    ++traceGeneration;
    clearSwitches();

    const char *specification =
        traceEnvironmentVariable ? getenv(traceEnvironmentVariable) : nullptr;
    // An empty (or blank) setting is the same as none: tracing stays off.
    if (specification && specification[strspn(specification, " \t")] != '\0') {
        traceEnabled = TraceParseTraceSpec(specification) == 0 ? 1 : 0;
    } else {
        traceEnabled = 0;
    }
    memset(blanksBuffer, ' ', TRACE_BLANKS_SIZE - 1);
    blanksBuffer[TRACE_BLANKS_SIZE - 1] = '\0';

    if (!closeTraceRegistered) {
        atexit(CloseTrace);
        closeTraceRegistered = true;
    }
    // Published last: a thread that sees the gate open sees every switch above.
    traceInitialised = 1;
    publishGate(traceEnabled ? traceFlags : 0);
}

int TraceParseTraceSpec(const char *specification) {
    if (!specification) {
        return 1;
    }
    char *copy = strdup(specification);
    if (!copy) {
        fprintf(stderr, "Failed to copy the trace specification (errno=%d)\n", errno);
        return 1;
    }
    char *text = copy;
    if (*text == '"') {
        ++text;
        size_t length = strlen(text);
        if (length > 0 && text[length - 1] == '"') {
            text[length - 1] = '\0';
        }
    }

    char *tokens[MAX_SPEC_TOKENS];
    int count = 0;
    for (char *p = text; *p && count < MAX_SPEC_TOKENS;) {
        p += strspn(p, " \t");
        if (!*p) {
            break;
        }
        tokens[count++] = p;
        p += strcspn(p, " \t");
        if (*p) {
            *p++ = '\0';
        }
    }

    bool invalid = false;
    bool fileNamed = false;
    bool levelsNamed = false;
    for (int i = 0; i < count; ++i) {
        const char *token = tokens[i];
        if (strcmp(token, "-f") == 0) {
            if (i + 1 < count && tokens[i + 1][0] != '-') {
                const char *name = tokens[++i];
                // A longer name is cut to what the trace keeps; tracing stays on, and the
                // name actually used is reported.
                snprintf(traceFileString, sizeof traceFileString, "%.*s",
                         TRACE_FILE_STRING_SIZE - 1, name);
                if (strlen(name) >= TRACE_FILE_STRING_SIZE) {
                    fprintf(stderr,
                            "Trace file name for -f is longer than %d characters; using '%s'\n",
                            TRACE_FILE_STRING_SIZE - 1, traceFileString);
                }
                fileNamed = true;
            } else {
                reportMissingArgument("-f");
                invalid = true;
            }
        } else if (strcmp(token, "-t") == 0) {
            timeStamp = 1;
            if (i + 1 < count && isSingleDigit(tokens[i + 1])) {
                timeStampAccuracy = tokens[++i][0] - '0';
            } else {
                timeStampAccuracy = 4;
            }
        } else if (strcmp(token, "-i") == 0) {
            threadId = 1;
        } else if (strcmp(token, "-c") == 0) {
            commitTrace = 1;
        } else if (strcmp(token, "-a") == 0) {
            appendTrace = 1;
        } else if (strcmp(token, "-r") == 0) {
            ringBuffer = 1;
            if (i + 1 < count && isDigitsOnly(tokens[i + 1])) {
                long size = strtol(tokens[++i], nullptr, 10);
                ringBufferSize = size > INT32_MAX ? INT32_MAX : static_cast<int32_t>(size);
            } else {
                ringBufferSize = 1000;
            }
        } else if (strcmp(token, "-l") == 0) {
            levelsNamed = true;
            if (i + 1 < count) {
                if (!applyLevelList(tokens[++i])) {
                    invalid = true;
                }
            } else {
                reportMissingArgument("-l");
                invalid = true;
            }
        }
    }
    free(copy);

    if (!levelsNamed) {
        traceFlags |= TRACE_LEVEL_ALL;
    }
    if (invalid && fileNamed) {
        // A refused specification traces nothing, so it opens nothing: the named file is
        // neither created nor truncated.
        ringBuffer = 0;
        filePerThread = 0;
        globalTraceFile = stderr;
    } else if (!fileNamed) {
        if (!ringBuffer) {
            globalTraceFile = stderr;
        }
    } else {
        ringBuffer = 0;
        if (TraceFileThreadSpecific(traceFileString)) {
            filePerThread = 1;
            globalTraceFile = stderr;
        } else {
            filePerThread = 0;
            openSharedFile();
        }
    }
    return invalid ? 1 : 0;
}

int TraceFileThreadSpecific(const char *fileTemplate) {
    if (!fileTemplate) {
        return 0;
    }
    for (const char *p = fileTemplate; p[0] && p[1]; ++p) {
        if (p[0] == '%' && (p[1] == 'T' || p[1] == 't')) {
            return 1;
        }
    }
    return 0;
}

int traceExpandFileName(const char *fileTemplate, int processId, uint32_t threadIdValue,
                        int expandThread, char *output, size_t outputSize) {
    if (!output || outputSize == 0) {
        return 1;
    }
    size_t used = 0;
    output[0] = '\0';
    for (const char *p = fileTemplate ? fileTemplate : ""; *p; ++p) {
        char piece[16];
        int pieceLength;
        if (p[0] == '%' && (p[1] == 'P' || p[1] == 'p')) {
            pieceLength = snprintf(piece, sizeof piece, ".%5.5d", processId);
            ++p;
        } else if (expandThread && p[0] == '%' && (p[1] == 'T' || p[1] == 't')) {
            pieceLength = snprintf(piece, sizeof piece, ".%5.5u", threadIdValue);
            ++p;
        } else {
            piece[0] = *p;
            piece[1] = '\0';
            pieceLength = 1;
        }
        if (used + static_cast<size_t>(pieceLength) >= outputSize) {
            return 1;
        }
        memcpy(output + used, piece, static_cast<size_t>(pieceLength) + 1);
        used += static_cast<size_t>(pieceLength);
    }
    return 0;
}

threadControlBlock_t *TraceThreadInit(void) {
    if (!traceInitialised) {
        return nullptr;
    }
    void *value = nullptr;
    if (threadGetSpecificStorage(traceThreadSlot, &value) != 0) {
        fprintf(stderr, "Failed to retrieve thread slot for trace (errno=%d)\n", errno);
        return nullptr;
    }
    threadControlBlock_t *block = static_cast<threadControlBlock_t *>(value);
    if (block) {
        if (block->generation != traceGeneration) {
            renewBlock(block);
        }
        return block;
    }

    block = static_cast<threadControlBlock_t *>(calloc(1, sizeof(threadControlBlock_t)));
    if (!block) {
        fprintf(stderr, "Failed to allocate thread slot for trace (errno=%d)\n", errno);
        return nullptr;
    }
    block->outputStream = nullptr;
    block->threadId = getThreadId();
    block->generation = traceGeneration;
    if (threadSetSpecificStorage(traceThreadSlot, block) != 0) {
        fprintf(stderr, "Failed to set thread slot for trace (errno=%d)\n", errno);
        free(block);
        return nullptr;
    }
    // The output is chosen before the block is listed, so that CloseTrace, walking the
    // list under the lock, sees a finished block.
    setUpOutputFile(block);
    threadMutexLock(traceMutex);
    block->next = threadControlBlockAnchorP;
    if (threadControlBlockAnchorP) {
        threadControlBlockAnchorP->previous = block;
    }
    threadControlBlockAnchorP = block;
    threadMutexUnlock(traceMutex);
    return block;
}

void setUpOutputFile(threadControlBlock_t *block) {
    if (!block) {
        return;
    }
    if (!filePerThread) {
        block->outputStream = globalTraceFile;
        return;
    }
    if (block->fileSetUp) {
        return;
    }
    char expanded[EXPANDED_NAME_SIZE];
    block->fileSetUp = 1;
    if (traceExpandFileName(traceFileString, myProcessId, block->threadId, 1, expanded,
                            sizeof expanded)) {
        fprintf(stderr, "Trace file name '%s' is too long once expanded; tracing to stderr\n",
                traceFileString);
        block->outputStream = stderr;
        return;
    }
    block->outputStream = fopen(expanded, appendTrace ? "a" : "w");
    if (!block->outputStream) {
        block->outputStream = stderr;
    }
}

void CloseTrace(void) {
    if (!traceInitialised) {
        return;
    }
    // No record passes the gate from here on, and none re-runs set-up.
    publishGate(0);
    traceEnabled = 0;

    void *value = nullptr;
    threadGetSpecificStorage(traceThreadSlot, &value);
    threadControlBlock_t *callersBlock = static_cast<threadControlBlock_t *>(value);

    threadMutexLock(traceMutex);
    for (threadControlBlock_t *block = threadControlBlockAnchorP; block; block = block->next) {
        if (block->fileSetUp && block->outputStream && !isStandardStream(block->outputStream)) {
            fclose(block->outputStream);
        }
        block->fileSetUp = 0;
        block->outputStream = nullptr;
    }
    if (globalTraceFile) {
        // The process's own standard streams stay open for whoever writes after us.
        if (isStandardStream(globalTraceFile)) {
            fflush(globalTraceFile);
        } else {
            fclose(globalTraceFile);
        }
        globalTraceFile = nullptr;
    }
    if (callersBlock) {
        unlinkBlock(callersBlock);
        threadSetSpecificStorage(traceThreadSlot, nullptr);
        free(callersBlock);
    }
    threadMutexUnlock(traceMutex);
    traceInitialised = 0;
}

void TraceReset(void) {
    CloseTrace();
    threadMutexLock(&thisBlock.mutex);
    thisBlock.flag = 0;
    threadMutexUnlock(&thisBlock.mutex);
    clearSwitches();
    publishGate(TRACE_GATE_UNINITIALISED);
}

char *TraceSetEnvString(char *nameValue) {
    if (nameValue) {
        putenv(nameValue);
    }
    return nameValue;
}
