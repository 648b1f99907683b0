/*
 * Message-level operations of the utilities: a new message as a copy of another, the
 * copy of one message's tree into another, sending a message through a named output
 * terminal of a node, and creating one element as a last child or as a next sibling.
 *
 * Called by the node's evaluation (copy and propagate), by path location (element
 * creation), by the MQMD dumps and by the tree rebuilder. Handles belong to the broker;
 * a message made by createNewMessage belongs to its caller.
 */
#ifndef TREVANE_UTILITIES_MESSAGE_H
#define TREVANE_UTILITIES_MESSAGE_H

#include "node/context.h"
#include "trevane/cni.h"
#include "trevane/types.h"

/* A new message in `message`'s context holding a copy of its whole tree. The caller
   deletes it with cniDeleteMessage. Null (with nothing left behind) on any failure. */
CciMessage *createNewMessage(CciMessage *message);

/* Replaces the tree of `newMsg` with a copy of the tree of `oldMsg`. TT_SUCCESS,
   TT_FAILED_TO_GET_MESSAGE_ROOT (nothing copied) or TT_FAILED_TO_COPY_MESSAGE. */
int copyMessage(CciMessage *newMsg, CciMessage *oldMsg);

/* Sends `message` with its lists through the node's output terminal `terminalName`.
   TT_SUCCESS when the broker took it; TT_TERMINAL_DOES_NOT_EXIST (log 6),
   TT_TERMINAL_NOT_ATTACHED (log 7) or TT_PROPAGATION_ERROR (log 8) when it was not
   sent; TT_PROPAGATION_EXCEPTION when a downstream node threw (nothing logged; the
   caller rethrows with cciRethrowLastException). `newMessage` is only traced. */
int propagateMessage(nodeContext_t *contextP, const CciChar *terminalName, CciMessage *message,
                     CciMessage *destinationList, CciMessage *exceptionList, bool_t newMessage);

/* The log entry propagateMessage wrote when the message was not sent: the number (6, 7
   or 8; 0 when nothing was logged), the text and the one insert after the broker name.
   A caller that must not let the message vanish raises it as an exception. */
typedef struct {
    int messageNumber;
    char text[1000];
    char insert[256];
} propagationLogEntry_t;

/* propagateMessage that also answers, in *entryP (may be null), the entry it logged. */
int propagateMessageNoting(nodeContext_t *contextP, const CciChar *terminalName,
                           CciMessage *message, CciMessage *destinationList,
                           CciMessage *exceptionList, bool_t newMessage,
                           propagationLogEntry_t *entryP);

/* Appends a new element of `elementType` to `parentElementP`, named `elementName`
   unless the type is CCI_ELEMENT_TYPE_VALUE or the name is null. Null on failure; an
   element already appended stays in the tree when naming or typing it fails. */
CciElement *createChildElement(CciElement *parentElementP, const CciChar *elementName,
                               CciElementType elementType);

/* As createChildElement, placing the element right after `parentElementP` and always
   naming it (a null name gives an unnamed element). */
CciElement *createSiblingElement(CciElement *parentElementP, const CciChar *elementName,
                                 CciElementType elementType);

#endif
