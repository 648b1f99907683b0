/*
 * Trace set-up: the process-wide trace switches, the per-thread control blocks, and
 * the reading of the trace specification from the environment variable that the
 * linking program names in callersTraceEnvironmentVariable. Built into the plug-in and,
 * alone, into quenor.o, so nothing declared here needs more than the C library and the
 * thread layer.
 */
#ifndef TREVANE_TRACEINIT_H
#define TREVANE_TRACEINIT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "trevane/threads.h"
#include "trevane/types.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TRACE_FILE_STRING_SIZE 101 /* a file name template: 100 characters and a terminator */
#define TRACE_BLANKS_SIZE 201      /* 200 blanks and a terminator */
#define TRACE_BLOCK_NAME_SIZE 101  /* an operation's name in a control block */

/* Level names of the trace specification, as bits of traceFlags. */
#define TRACE_LEVEL_ENTRY_EXIT 0x2
#define TRACE_LEVEL_ERROR 0x4
#define TRACE_LEVEL_INFO 0x8
#define TRACE_LEVEL_WARNING 0x10
#define TRACE_LEVEL_USER_1 0x20 /* TRACE_USER_n is TRACE_LEVEL_USER_1 << (n - 1) */
#define TRACE_LEVEL_ALL 0x7FFE

/* Bit of traceGateWord meaning "process set-up has not run yet"; never a class bit. */
#define TRACE_GATE_UNINITIALISED 0x40000000

/* One per thread that traced: created by TraceThreadInit, linked into the process-wide
   list, private to its thread. Freed by CloseTrace for the thread that closes. */
typedef struct threadControlBlock {
    int32_t nestingLevel;                     /* indentation columns, 2 per open call */
    uint32_t threadId;                        /* getThreadId() of the owning thread */
    int32_t fileSetUp;                        /* 1 once the thread's own file was opened */
    FILE *outputStream;                       /* where this thread's lines go */
    char functionName[TRACE_BLOCK_NAME_SIZE]; /* most recently entered operation */
    int32_t entryPending;                     /* an entry record awaits its arguments */
    int32_t suppressedDepth;                  /* calls made while evaluating those arguments */
    struct threadControlBlock *next;
    struct threadControlBlock *previous;
    uint32_t generation; /* the set-up this block belongs to (see TraceReset) */
} threadControlBlock_t;

/* Defined by the program that links the trace set-up: the name of the environment
   variable holding the trace specification. */
extern const char *callersTraceEnvironmentVariable;

/* Process-wide switches: set during initialisation, read without a lock afterwards. */
extern const char *traceEnvironmentVariable;
extern int32_t traceInitialised;
extern int32_t traceEnabled;
extern int32_t traceFlags;
extern int32_t timeStamp;
extern int32_t timeStampAccuracy;
extern int32_t threadId;
extern int32_t commitTrace;
extern int32_t appendTrace;
extern int32_t ringBuffer;
extern int32_t ringBufferSize;
extern int32_t filePerThread;
extern FILE *globalTraceFile;
extern char traceFileString[TRACE_FILE_STRING_SIZE];
extern int myProcessId;
extern char blanksBuffer[TRACE_BLANKS_SIZE];
extern slotKey_t traceThreadSlot;
extern threadMutex_t traceMutex;
extern threadControlBlock_t *threadControlBlockAnchorP;

/* What the record gate tests: the enabled class bits once tracing is set up and on, 0
   when it is off or closed, TRACE_GATE_UNINITIALISED before set-up. Published with a
   release store after every other switch, so a reader that sees it sees them. */
extern int32_t traceGateWord;

/* Starts process tracing on first use: 0 when initialised, 1 (with "Failed to
   initialise process tracing" on standard error) otherwise. The gate calls it while
   set-up has not run. */
int TraceInit(void);

/* Process set-up, run once through the once block by TraceInit: slot key, process id,
   the specification from the environment, blanks, atexit(CloseTrace), traceMutex. */
void TraceProcessInit(void);

/* The calling thread's control block, created, listed and given its output on first
   use; null (with a message on standard error) when the thread slot fails or tracing
   is not set up. The block stays owned by the trace set-up. */
threadControlBlock_t *TraceThreadInit(void);

/* The calling thread's kernel thread id: the number that tools such as ps and gdb
   show, small enough for the nine-digit line prefix and the five-digit file names. */
uint32_t getThreadId(void);

/* Parses a trace specification (the text is not modified) and sets the switches,
   opening the shared trace file if one is named. 0 valid, 1 invalid, with a message on
   standard error naming the offending option or level. */
int TraceParseTraceSpec(const char *specification);

/* 1 when the file name template holds "%T" or "%t" (one file per thread), else 0. */
int TraceFileThreadSpecific(const char *fileTemplate);

/* Expands a file name template into `output`: "%P"/"%p" become the process id and,
   with expandThread set, "%T"/"%t" the thread id, each as ".%5.5d"; anything else is
   copied. 0 on success, 1 when the name does not fit in outputSize bytes. */
int traceExpandFileName(const char *fileTemplate, int processId, uint32_t threadIdValue,
                        int expandThread, char *output, size_t outputSize);

/* Gives the block its output stream: the shared stream, or in per-thread mode the
   thread's own file (standard error when it cannot be opened). */
void setUpOutputFile(threadControlBlock_t *block);

/* Closes the trace output and frees the calling thread's control block; registered
   with atexit. Afterwards no record is written until TraceReset re-arms set-up. */
void CloseTrace(void);

/* Closes the trace output and re-arms set-up, so that the next traced call reads the
   specification again. For a quiet process: no other thread may be tracing meanwhile. */
void TraceReset(void);

/* Puts "name=value" into the environment with putenv (the text must stay valid) so a
   program can supply the specification before tracing starts; answers its argument. */
char *TraceSetEnvString(char *nameValue);

#ifdef __cplusplus
}
#endif

#endif
