/*
 * Element values as text: the one place where the text form of every value type is
 * defined (formatDataValueForXML), the retrieval of an element's value, or of its
 * value child's, into a new text (retrieveElementValue, getValueFromSyntaxTree), and
 * the test for an XML body's document-type header (isElementDTD).
 *
 * The serialiser stores text-mode values through formatDataValueForXML and skips DTD
 * headers with isElementDTD. Nothing here keeps state between calls.
 */
#ifndef TREVANE_UTILITIES_VALUES_H
#define TREVANE_UTILITIES_VALUES_H

#include <stdint.h>

#include "trevane/cni.h"
#include "trevane/types.h"

/* Size of each of the formatter's two local work buffers; larger values use the heap. */
#define VALUE_WORK_BUFFER_SIZE 1000

/* Renders the element's value as UTF-8 text: TRUE/FALSE, decimal integers, "%g" reals,
   HH:MM:s times, YYYY-MM-DD dates, both for timestamps, hexadecimal digit pairs for
   byte and bit arrays, converted text for CHAR and DECIMAL. With a null `buffer` it
   only measures. Otherwise it writes exactly *dataLengthP bytes (no terminator) into
   `buffer` of `bufferLength` bytes. *dataLengthP always receives the text length in
   bytes. TT_ELEMENT_HAS_NO_VALUE for an element without a value or of an unknown
   value type, TT_BUFFER_TOO_SMALL (buffer untouched), TT_INSUFFICIENT_GLOBAL_STORAGE. */
int formatDataValueForXML(CciElement *elementP, char *buffer, int32_t bufferLength,
                          int32_t *dataLengthP);

/* The value of a VALUE or NAME_VALUE element as a new terminated text in *bufferP (the
   caller frees it with free); *bufferLengthP receives the allocation's size, the text
   length plus one. For a NAME element, with `lookForChildValueElement` TRUE, the value
   of its first child when that child is a VALUE element. TT_ELEMENT_HAS_NO_VALUE,
   TT_UNKNOWN_ELEMENT_TYPE, TT_INSUFFICIENT_GLOBAL_STORAGE or the formatter's code on
   failure, with nothing allocated. */
int retrieveElementValue(CciElement *elementP, bool_t lookForChildValueElement, char **bufferP,
                         int *bufferLengthP);

/* As retrieveElementValue for the element at the dotted path `elementName` of
   `message` (nothing is created). TT_ELEMENT_NOT_FOUND when the path resolves to
   nothing. */
int getValueFromSyntaxTree(CciMessage *message, const CciChar *elementName,
                           bool_t lookForChildValueElement, char **bufferP, int *bufferLengthP);

/* TRUE when the element is the document-type header of an XML body. */
bool_t isElementDTD(CciElement *elementP);

#endif
