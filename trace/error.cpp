/*
 * The error message list: formats messages, keeps heap copies of them in the
 * process-wide array whose variables the trace set-up defines, and hands them out or
 * frees them on request. Called by a program's own error handling; not thread safe.
 */
#include "trace/error.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void TraceGenErrorMessage(const char *format, ...) {
    char message[TRACE_ERROR_MESSAGE_SIZE];
    if (!format) {
        addErrorMessage("");
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (length < 0) {
        message[0] = '\0';
    } else if (length > TRACE_ERROR_MESSAGE_SIZE - 1) {
        // vsnprintf has already cut the text at the buffer's end; the message is kept.
        fprintf(stderr, "Blown error message buffer with size %d\n", length);
        fflush(stderr);
    }
    addErrorMessage(message);
}

void addErrorMessage(const char *message) {
    if (numErrorMessages == sizeofErrorList) {
        const int32_t capacity = sizeofErrorList + TRACE_ERROR_LIST_GROWTH;
        char **grown = static_cast<char **>(
            realloc(errorMessages, static_cast<size_t>(capacity) * sizeof(char *)));
        if (!grown) {
            fprintf(stderr, "Failed to grow the error message list (errno=%d): '%s'\n", errno,
                    message ? message : "");
            return;
        }
        errorMessages = grown;
        sizeofErrorList = capacity;
    }
    if (processingError) {
        fprintf(stderr, "Recursive error: '%s'\n", message ? message : "");
        return;
    }
    char *copy = strdup(message ? message : "");
    if (!copy) {
        fprintf(stderr, "Failed to store error message (errno=%d): '%s'\n", errno,
                message ? message : "");
        return;
    }
    errorMessages[numErrorMessages++] = copy;
}

void TraceSetProcessingError(void) {
    processingError = 1;
}

void TraceUnsetProcessingError(void) {
    processingError = 0;
}

void TraceListErrorMessages(char ***messagesPP, int32_t *countP) {
    if (countP) {
        *countP = numErrorMessages;
    }
    if (numErrorMessages != 0 && messagesPP) {
        *messagesPP = errorMessages;
    }
}

void TraceClearErrorMessages(void) {
    for (int32_t i = 0; i < numErrorMessages; ++i) {
        free(errorMessages[i]);
        errorMessages[i] = nullptr;
    }
    numErrorMessages = 0;
}
