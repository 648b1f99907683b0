/*
 * The node's per-message work: finding the first DatabaseException of an exception list
 * whose Insert text mentions "SQLSTATE", taking the code that follows "SQLSTATE=" (the
 * SQLCODE), storing it in a copy of the message at the node's CopyValueTo path, and
 * routing the copy or the incoming message to "out", "notFound" or "failure".
 *
 * The broker reaches evaluateTrevane through the node's evaluate slot (node/trevane).
 * The exception search only reads the broker's trees; evaluation owns, and always
 * deletes, the one message it creates per call.
 */
#ifndef TREVANE_NODE_EXTRACTCODE_H
#define TREVANE_NODE_EXTRACTCODE_H

#include "node/context.h"
#include "trevane/cni.h"
#include "trevane/types.h"

/* Searches the first exception element of `exceptionList` and everything below it.
   TRUE when a DatabaseException carries a character Insert Text containing "SQLSTATE":
   *sqlErrorMessagePP then receives a heap copy of that text (the caller frees it with
   free) and *sqlCodeP the code. FALSE, with both left untouched, otherwise. */
bool_t getSQLError(CciMessage *exceptionList, CciChar **sqlErrorMessagePP, int *sqlCodeP);

/* TRUE when the calling thread's last getSQLError stopped because storage for a text
   ran out (it then answered FALSE without knowing whether the list holds a code). */
bool_t getSQLErrorRanShortOfStorage(void);

/* Pre-order walk from `elementP` (the element, then each child's subtree in order);
   the first match ends it. Results as for getSQLError. */
bool_t searchTreeForSQLCode(CciElement *elementP, CciChar **sqlErrorMessagePP, int *sqlCodeP);

/* TRUE when `elementP` itself is a DatabaseException with a matching Insert Text (the
   first such text, inserts and texts in order). Results as for getSQLError. */
bool_t lookForDatabaseException(CciElement *elementP, CciChar **sqlErrorMessagePP, int *sqlCodeP);

/* Stores in *sqlCodeP the number formed by the decimal digits right after "SQLSTATE="
   (at most 256 of them, clamped to the 32-bit range); 0 when there are none or the
   text has no "SQLSTATE=". Reads nothing past the text's terminator. */
void extractSQLCode(const CciChar *sqlErrorMessage, int *sqlCodeP);

/* Stores `sqlCode` at `elementP`: as decimal text when the element may take a character
   value and `xmlMessage` is set, otherwise as an integer; a name element without
   children gets a new unnamed value child holding the integer. An element whose
   content is anything but one value (a name element with children other than a single
   value child, mixed text and elements, a valued element with children) is unsuitable:
   a reader of it would not see exactly the code. `newElement` says the element was
   just created by the path location. TT_SUCCESS, TT_INVALID_ELEMENT_TYPE_SPECIFIED
   (element of an unsuitable kind, nothing changed) or TT_FAILED_TO_SET_ELEMENT_VALUE. */
int copySQLCodeToElement(CciElement *elementP, int sqlCode, bool_t newElement, bool_t xmlMessage);

/* One message through the node: "notFound" without an SQLCODE; otherwise a copy with
   the code stored goes to "out", or, when the path cannot be resolved or the code not
   stored (logs 11, 13, 14, 15), the incoming message goes to "failure". TT_SUCCESS
   when a message was sent; TT_FAILED_TO_CREATE_NEW_MESSAGE when no copy could be made
   (the incoming message is then sent to "failure"); TT_INSUFFICIENT_GLOBAL_STORAGE
   when the exception list could not be searched for want of storage (the incoming
   message is then sent to "failure" too). A message is never dropped: when
   the terminal it is meant for is missing or not attached, or the broker refused the
   propagation (logged by propagateMessage), the node raises an exception with the
   number, text and inserts of its own log entry (11, 13, 14, 15), or of the
   propagation's entry (6, 7, 8) when it logged none, and the broker hands it upstream.
   An exception from further down the flow is raised again to the broker. The copy is
   deleted before any exception leaves. */
int evaluateTrevane(nodeContext_t *contextP, CciMessage *destinationList, CciMessage *exceptionList,
                    CciMessage *message);

#endif
