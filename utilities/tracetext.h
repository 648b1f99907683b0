/*
 * Small texts shared by the traces of the plug-in's utilities and nodes: how a flag
 * reads in an entry or information trace. Header only; every traced module that shows
 * a bool_t includes it.
 */
#ifndef TREVANE_UTILITIES_TRACETEXT_H
#define TREVANE_UTILITIES_TRACETEXT_H

#include "trevane/types.h"

/* "TRUE" or "FALSE" for a flag; a static text, never freed. */
inline const char *truthText(bool_t value) {
    return value ? "TRUE" : "FALSE";
}

#endif
