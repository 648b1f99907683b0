/*
 * The error message list: a process-wide list of formatted messages that a program
 * collects while it works and hands out or clears later. While the program is itself
 * handling an error (the processing-error flag), new messages go to standard error
 * instead of the list. The variables are defined by the trace set-up (traceinit).
 *
 * The list has no lock: one thread at a time, or the caller serialises.
 */
#ifndef TREVANE_TRACE_ERROR_H
#define TREVANE_TRACE_ERROR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TRACE_ERROR_MESSAGE_SIZE 4097 /* a message: 4,096 characters and a terminator */
#define TRACE_ERROR_LIST_GROWTH 10

extern int32_t processingError;  /* 1 while the program is processing an error */
extern char **errorMessages;     /* heap array of heap texts; null before the first */
extern int32_t numErrorMessages; /* messages stored */
extern int32_t sizeofErrorList;  /* capacity of errorMessages in entries */

/* Formats a message (printf style) and adds it with addErrorMessage. A message over
   4,096 characters is reported on standard error and stored cut to 4,096. */
void TraceGenErrorMessage(const char *format, ...) __attribute__((format(printf, 1, 2)));

/* Grows the list by 10 entries when full, then stores a heap copy of the message, or,
   while processingError is set, writes "Recursive error: '...'" to standard error and
   stores nothing. A failed allocation is reported on standard error; nothing is stored. */
void addErrorMessage(const char *message);

void TraceSetProcessingError(void);
void TraceUnsetProcessingError(void);

/* Stores the count in *countP and, when it is not 0, the list's own array in
 *messagesPP (the list keeps ownership: do not free it). */
void TraceListErrorMessages(char ***messagesPP, int32_t *countP);

/* Frees every stored message; the array and its capacity stay for reuse. */
void TraceClearErrorMessages(void);

#ifdef __cplusplus
}
#endif

#endif
