/*
 * Message descriptor fields and message dumps: reading the identity and reply fields of
 * a message's MQMD, swapping them for a reply, measuring the message as it would be
 * written, tracing its bit stream, and rendering bytes as hexadecimal text.
 *
 * Request/reply flows call the swaps; the value formatter renders byte and bit arrays
 * with dispHex. Every handle belongs to the broker; nothing here keeps state.
 */
#ifndef TREVANE_UTILITIES_MQMD_H
#define TREVANE_UTILITIES_MQMD_H

#include "trevane/cni.h"
#include "trevane/types.h"
#include "utilities/locate.h"

/* Width of the message and correlation identifiers, in bytes. */
#define MQMD_ID_LENGTH 24
/* Width of the reply-to queue and queue manager fields, in characters. */
#define MQMD_QUEUE_NAME_LENGTH 48

/* Reads one MQMD field of `message` into `buffer`, whose capacity in bytes is
   *bufferLengthP. MESSAGE_ID and CORREL_ID are read as byte arrays and *bufferLengthP
   receives the identifier's full length (more than the capacity when it was cut);
   REPLY_TO_QUEUE and REPLY_TO_QUEUE_MANAGER are read as terminated CciChar text and
   leave *bufferLengthP as it was. *elementP (when given) receives the field's element.
   TT_ELEMENT_NOT_FOUND, TT_INVALID_ELEMENT_TYPE_SPECIFIED (other match types) or
   TT_ELEMENT_VALUE_NOT_RETRIEVED on failure. */
int getMessageCharArrayValue(CciMessage *message, matchType_t matchType, void *buffer,
                             int *bufferLengthP, CciElement **elementP);

/* Exchanges the MQMD's MsgId and CorrelId (24 bytes each). TT_CORRELID_NOT_FOUND,
   TT_MESSAGE_ID_NOT_FOUND, or TT_FAILED_TO_SWAP_CORREL_AND_MSG_IDS when a write failed
   (a failed second write leaves both fields holding the old MsgId). */
int swapMessageIdAndCorrelId(CciMessage *message);

/* Saves the reply-to queue and queue manager into the old-value buffers that are given
   (capacities in bytes), then writes the new names (48 characters each are read from
   them). TT_FAILED_TO_GET_REPLY_TO_QUEUE[_MANAGER]_FROM_MESSAGE when a field is
   missing, TT_FAILED_TO_GET_MESSAGE_ROOT, TT_FAILED_TO_SET_REPLY_TO_QUEUE[_MANAGER]_IN_
   MESSAGE when a write failed (a failed second write leaves the new queue with the old
   queue manager). */
int swapMessageReplyDetails(CciMessage *message, const CciChar *newReplyToQueue,
                            const CciChar *newReplyToQueueManager, CciChar *oldReplyToQueue,
                            int oldReplyToQueueLength, CciChar *oldReplyToQueueManager,
                            int oldReplyToQueueManagerLength);

/* The length in bytes of the message's bit stream: the existing one, or that of a
   temporary copy serialised for the purpose (deleted again on every path).
   TT_FAILED_TO_COPY_MESSAGE or TT_FAILED_TO_SERIALIZE_MESSAGE on failure, *lengthP
   then untouched. */
int getMessageLength(CciMessage *message, int *lengthP);

/* Writes the message's bit stream to the trace as a hex dump (serialising a temporary
   copy when the message has none yet). Failures are traced only. */
void traceMessageBuffer(CciMessage *message);

/* Writes `length` bytes of `data` as lower-case hexadecimal digit pairs, terminated,
   into `output`, which holds at least 2 * length + 1 bytes. A length of 0 or less
   gives the empty text. */
void dispHex(const void *data, int length, char *output);

#endif
