/*
 * Element location in the broker's message trees: dotted paths below Root or
 * Environment (found, or created on the way down, with XML and BLOB bodies made by the
 * broker's parsers), the well-known elements of a message (MQMD and its fields, the
 * body, the destination list), removal of a message body, and two name searches along
 * a chain of siblings.
 *
 * The node's evaluation finds or creates the element that receives the SQLCODE here;
 * the MQMD, value and format operations of the utilities address their elements here.
 * Every handle returned belongs to the broker; nothing here frees anything.
 */
#ifndef TREVANE_UTILITIES_LOCATE_H
#define TREVANE_UTILITIES_LOCATE_H

#include "trevane/cni.h"
#include "trevane/types.h"

/* The kind of element to create for a missing path segment. */
typedef enum elementType {
    ELEMENT_TYPE_NAME = 1,
    ELEMENT_TYPE_VALUE = 2,
    ELEMENT_TYPE_NAME_VALUE = 3
} elementType_t;

/* What getMessageElement addresses. */
typedef enum matchType {
    MESSAGE_ID = 0,
    CORREL_ID = 1,
    REPLY_TO_QUEUE = 2,
    REPLY_TO_QUEUE_MANAGER = 3,
    MQMD = 4,
    BODY = 5,
    DESTINATION = 6,
    MQ_DESTINATION_LIST = 7,
    DESTINATION_DATA = 8,
    PUT_APPL_NAME = 9
} matchType_t;

/* Longest path below a root that a path operation accepts, in characters. */
#define LOCATE_MAX_PATH_BELOW_ROOT 256

/* Resolves a dotted path ("Root.XML.a.b", "Environment.Variables.x", "Root") in
   `message`. With `createElement` TRUE missing segments are created: with the kind
   *elementTypeP when given, otherwise name elements and a name-value element last; a
   first segment "XML" or "BLOB" under Root replaces the message body with a parser-made
   one. *elementCreatedP (when given) ends TRUE exactly when the last element was
   created here. Null when the path is null, names no root, has more than 256
   characters below its root, or cannot be resolved or created. */
CciElement *locateElementInMessage(CciMessage *message, const CciChar *elementName,
                                   bool_t createElement, const elementType_t *elementTypeP,
                                   bool_t *elementCreatedP);

/* One level of locateElementInMessage: resolves `elementNameAndPath` (the path without
   its root name) below `currentElement`. `firstElementUnderRoot` is TRUE when
   `currentElement` is a root, so that a first segment "XML" or "BLOB" makes a body;
   `message` is the message whose body is then replaced (only when `currentElement` is
   that message's own root). Null as for locateElementInMessage. */
CciElement *locateElementInTree(CciMessage *message, CciElement *currentElement,
                                const CciChar *elementNameAndPath, bool_t createElement,
                                const elementType_t *elementTypeP, bool_t firstElementUnderRoot,
                                bool_t *elementCreatedP);

/* The element of `message` that `matchType` selects (see matchType_t); an unknown match
   type asks for an MQMD field with an empty name. Null when it is not there. */
CciElement *getMessageElement(CciMessage *message, matchType_t matchType);

/* Detaches every child of the root that follows the MQMD (headers after it and the
   body). TT_SUCCESS, TT_FAILED_TO_GET_MESSAGE_MQMD (nothing removed) or
   TT_FAILED_TO_DELETE_MESSAGE_BODY (stopped at the first detach that failed). */
int deleteMessageBody(CciMessage *message);

/* The first element of the sibling chain starting at `currentElementP` (itself
   included) whose name equals `elementName` exactly; null when none does. */
CciElement *findChild(CciElement *currentElementP, const CciChar *elementName);

/* Same result as findChild, reached by a walk that tries each element of the chain and
   then findChild from it. Neither search descends into children. */
CciElement *findElementInTree(CciElement *currentElementP, const CciChar *elementName);

#endif
