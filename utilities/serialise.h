/*
 * The serialised syntax-element buffer: a subtree of a broker message flattened into
 * one self-contained byte buffer of packed records in pre-order (docs/serialisation.md
 * describes the layout for readers of stored buffers). The writer stores values either
 * in the broker's own representation (binary mode, read back by inflateSyntaxElement)
 * or as text (text mode, rendered as XML by buildXMLFromSerialisedTree).
 *
 * Also here: the growth rule of every buffer written piecewise (extendBufferIfRequired,
 * used by the XML renderer too) and the sizing of a storage segment from an
 * environment variable (getSharedSegmentSize).
 */
#ifndef TREVANE_UTILITIES_SERIALISE_H
#define TREVANE_UTILITIES_SERIALISE_H

#include <stdint.h>

#include "trevane/cni.h"
#include "trevane/types.h"

/* Record layout: a 20-byte header, then the name, then the value part. */
#define SERIALISED_HEADER_SIZE 20
#define SERIALISED_HEADER_LENGTH_OFFSET 0
#define SERIALISED_DEPTH_OFFSET 4
#define SERIALISED_FLAGS_OFFSET 8
#define SERIALISED_ELEMENT_TYPE_OFFSET 12
#define SERIALISED_VALUE_TYPE_OFFSET 16

/* Record flags. */
#define SERIALISED_FLAG_HAS_NAME 0x1
#define SERIALISED_FLAG_HAS_VALUE 0x2
#define SERIALISED_FLAG_HAS_CHILD 0x4

/* The growth unit of written buffers, and their first size. */
#define ONE_KBYTE 1024

/* The fixed part of a record, as copied out of the buffer (records are packed, so
   fields are never read in place). */
typedef struct serialisedHeader {
    int32_t headerLength; /* 20 plus the name field's size */
    int32_t depth;        /* 0 for the starting element */
    int32_t flags;        /* SERIALISED_FLAG_* */
    int32_t elementType;  /* the broker's element type */
    int32_t valueType;    /* the broker's value type, 0 without a value */
} serialisedHeader_t;

/* Flattens the subtree of `copyFromElement` into a new buffer: values as text when
   `storeAsXML` is TRUE, otherwise in binary; DTD headers (with everything below them)
   left out when `ignoreDTD` is TRUE. On success *outputBufferP receives the buffer,
   which the caller frees with free, and *outputLengthP its length in bytes (0 when
   nothing was written; the buffer is then still a valid allocation). On failure the
   outputs are untouched: TT_UNKNOWN_ELEMENT_TYPE, the formatter's code in text mode,
   or TT_INSUFFICIENT_GLOBAL_STORAGE. */
int serialiseSyntaxElements(CciElement *copyFromElement, bool_t storeAsXML, bool_t ignoreDTD,
                            void **outputBufferP, int *outputLengthP);

/* Writes the records of the subtree of `elementP` at *currentPosP, growing the buffer
   (*bufferP of *bufferLengthP bytes) as needed; *treeDepthP is the depth of
   `elementP` and is the same again on return. Failures as serialiseSyntaxElements. */
int deflateAllSyntaxElements(CciElement *elementP, bool_t storeAsXML, bool_t ignoreDTD,
                             char **bufferP, char **currentPosP, int *bufferLengthP,
                             int *treeDepthP);

/* Writes the one record of `elementP` (depth *treeDepthP) at *currentPosP. */
int deflateSyntaxElement(CciElement *elementP, bool_t storeAsXML, char **bufferP,
                         char **currentPosP, int *bufferLengthP, int *treeDepthP);

/* Makes room for `storageRequired` more bytes after *currentPosP: grows the buffer by
   one kilobyte when that covers the shortfall, else by (shortfall / 1024 + 1) KB,
   keeping its contents and moving *bufferP and *currentPosP with it. TRUE when it grew.
   FALSE when there was room already, and also when the heap could not grow it (the
   buffer is then unchanged): callers check the room with serialisedSpareBytes. */
bool_t extendBufferIfRequired(int storageRequired, char **bufferP, char **currentPosP,
                              int *bufferLengthP);

/* The unused bytes of a buffer being written. */
inline int64_t serialisedSpareBytes(const char *buffer, const char *currentPos, int bufferLength) {
    return static_cast<int64_t>(bufferLength) - (currentPos - buffer);
}

/* Bytes of a value's binary layout when its type has a fixed one (BOOL, INTEGER, REAL,
   the times, DATE, the timestamps); 0 for the variable ones and for types without a
   layout. The writer and the reader of a buffer both size values by it. */
int64_t serialisedFixedValueSize(int32_t valueType);

/* A segment size in bytes: the kilobytes named by the environment variable, at least
   `defaultSize` (also when unset or not a number), at most the largest whole number of
   kilobytes that a 32-bit byte count holds. */
int getSharedSegmentSize(const char *environmentVariableName, int defaultSize);

#endif
