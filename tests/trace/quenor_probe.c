/*
 * A C program built from quenor.o, the thread layer and this file alone: it names its
 * own trace variable, lets the set-up read a specification, writes a line through its
 * thread's control block and checks the file. Exit status 0 when all went as expected.
 * Being C, it also shows that the set-up's header and objects have C linkage.
 */
#define _POSIX_C_SOURCE 200809L /* mkdtemp */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "trevane/traceinit.h"

const char *callersTraceEnvironmentVariable = "QUENOR_PROBE_TRACE";

static int fail(const char *what) {
    fprintf(stderr, "quenor probe: %s\n", what);
    return 1;
}

int main(void) {
    char directory[] = "/tmp/quenor-probe-XXXXXX";
    if (!mkdtemp(directory)) {
        return fail("cannot make a scratch directory");
    }
    static char specification[256];
    snprintf(specification, sizeof specification,
             "QUENOR_PROBE_TRACE=-f %s/probe%%P.trc -l TRACE_INFO -i", directory);
    TraceSetEnvString(specification);

    if (TraceInit() != 0) {
        return fail("TraceInit failed");
    }
    if (!traceEnabled || traceFlags != 0x8 || !threadId || filePerThread) {
        return fail("the specification was not applied");
    }
    threadControlBlock_t *block = TraceThreadInit();
    if (!block || !block->outputStream || block->threadId != getThreadId()) {
        return fail("no control block for the main thread");
    }
    fprintf(block->outputStream, "[%d.%9.9u] quenor probe line\n", myProcessId, block->threadId);
    CloseTrace();

    char path[512];
    snprintf(path, sizeof path, "%s/probe.%5.5d.trc", directory, (int)getpid());
    FILE *written = fopen(path, "r");
    if (!written) {
        return fail("the trace file was not created");
    }
    char line[256] = {0};
    char expected[256];
    snprintf(expected, sizeof expected, "[%d.%9.9u] quenor probe line\n", (int)getpid(),
             getThreadId());
    const int same = fgets(line, sizeof line, written) && strcmp(line, expected) == 0;
    fclose(written);
    remove(path);
    rmdir(directory);
    if (!same) {
        return fail("the trace file does not hold the line written");
    }
    puts("quenor probe: traced through quenor.o");
    return 0;
}
