/*
 * Trace set-up: the process-wide trace switches, the per-thread control blocks, and
 * the reading of the trace specification from the environment variable that the
 * linking program names in callersTraceEnvironmentVariable. Built into the plug-in and,
 * alone, into quenor.o.
 */
#ifndef TREVANE_TRACE_TRACEINIT_H
#define TREVANE_TRACE_TRACEINIT_H

#include <stdint.h>
#include <stdio.h>

#include "portability/threads.h"
#include "portability/types.h"

/* Defined by the program that links the trace set-up: the name of the environment
   variable holding the trace specification. */
extern const char *callersTraceEnvironmentVariable;

/* Process-wide switches: set once during initialisation, read without a lock. */
extern int32_t traceInitialised;
extern int32_t traceEnabled;
extern int32_t traceFlags;

/* Starts process tracing on first use: 0 when initialised, 1 (with a message on
   standard error) otherwise. Called by the gate while traceInitialised is 0. */
int TraceInit(void);

#endif
