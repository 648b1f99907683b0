/*
 * Questions and changes about a whole message: whether its body was built by the XML
 * parser, and the 8-character format name in its MQMD.
 *
 * The node's evaluation asks messageBodyIsXML before choosing how to store the SQLCODE;
 * setMessageFormat is offered to callers that rebuild a message's body.
 */
#ifndef TREVANE_UTILITIES_BODY_H
#define TREVANE_UTILITIES_BODY_H

#include "trevane/cni.h"
#include "trevane/types.h"

/* Width of the MQMD format field, in characters. */
#define MESSAGE_FORMAT_LENGTH 8

/* TRUE when the last child of the message's root (its body) is an XML parser body;
   FALSE otherwise, also when the root cannot be had or has no children. */
bool_t messageBodyIsXML(CciMessage *message);

/* Writes `format` into the MQMD's Format field as exactly 8 characters: a shorter
   format is padded with blanks, a longer one cut. TT_SUCCESS,
   TT_FAILED_TO_GET_MESSAGE_MQMD, TT_FAILED_TO_GET_MESSAGE_FORMAT, or
   TT_FAILED_TO_SET_FORMAT_IN_MESSAGE (also for a null format). */
int setMessageFormat(CciMessage *message, const CciChar *format);

#endif
