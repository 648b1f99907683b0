/*
 * A C program that uses Trevane's trace set-up, quenor.o, and nothing else of the kit
 * but its thread layer. It names the environment variable that holds its trace
 * specification (TRACEDEMO_TRACE), sets the trace up, writes one line through the calling
 * thread's control block and closes the trace.
 *
 *   TRACEDEMO_TRACE="-f /tmp/tracedemo%P.trc -l TRACE_INFO -i" ./tracedemo
 *
 * writes /tmp/tracedemo.<pid>.trc. Without the variable the trace stays off and the
 * program says so.
 */
#include <stdio.h>

#include "trevane/traceinit.h"

/* The set-up reads the trace specification from the variable this names. */
const char *callersTraceEnvironmentVariable = "TRACEDEMO_TRACE";

int main(void) {
    if (TraceInit() != 0) {
        fprintf(stderr, "tracedemo: the trace could not be set up\n");
        return 1;
    }
    if (!traceEnabled) {
        printf("tracedemo: trace is off (set %s to switch it on)\n",
               callersTraceEnvironmentVariable);
        return 0;
    }
    threadControlBlock_t *block = TraceThreadInit();
    if (block == NULL || block->outputStream == NULL) {
        fprintf(stderr, "tracedemo: no trace stream for this thread\n");
        CloseTrace();
        return 1;
    }
    fprintf(block->outputStream, "[%d.%9.9u] tracedemo says hello\n", myProcessId, block->threadId);
    printf("tracedemo: wrote a trace line as thread %u of process %d\n", block->threadId,
           myProcessId);
    CloseTrace();
    return 0;
}
