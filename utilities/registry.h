/*
 * The message flow registry and the message-id index: two small in-memory lists of the
 * utilities module.
 *
 * The registry records, once per process, every flow in which a node of this plug-in
 * was created. Node-context creation (node/trevane) looks the flow up and adds it while
 * holding initMutex; entries are never removed, so a flow name held by an entry stays
 * valid for the life of the process and node contexts borrow it.
 *
 * The message-id index keeps 24-byte identifiers in ascending byte order. Its anchor
 * and elements belong to the caller; nothing here locks or frees.
 */
#ifndef TREVANE_UTILITIES_REGISTRY_H
#define TREVANE_UTILITIES_REGISTRY_H

#include "trevane/cni.h"

#define MSG_ID_LENGTH 24

/* One registry entry. The anchor has the same shape and uses only `next`. */
typedef struct messageFlow {
    CciChar *flowName;        /* own copy of the flow's name */
    struct messageFlow *next; /* null at the end */
    struct messageFlow *prev; /* the first entry points back to the anchor */
} messageFlow_t;

/* One index element. The anchor has the same shape and uses only `next`. */
typedef struct msgIdIndexElement {
    CciByte msgId[MSG_ID_LENGTH]; /* compared as unsigned bytes */
    struct msgIdIndexElement *next;
    struct msgIdIndexElement *prev;
} msgIdIndexElement_t;

/* The registry entry whose name equals `name` exactly, walking from anchorP->next;
   null when there is none (also for a null name). */
messageFlow_t *findMessageFlow(const CciChar *name, messageFlow_t *anchorP);

/* Adds a zero-filled entry holding an own copy of `name` at the head of the registry
   (newest found first). Null, with the registry untouched, when storage runs out.
   The caller holds the lock that guards the registry. */
messageFlow_t *addMessageFlow(const CciChar *name, messageFlow_t *anchorP);

/* Inserts a new element holding the 24 bytes of `messageId` after every element whose
   identifier is less than or equal to it. The element is heap storage belonging to the
   caller's index. Null, with the index untouched, when storage runs out. */
msgIdIndexElement_t *updateMsgIdIndex(const CciByte *messageId, msgIdIndexElement_t *indexAnchorP);

/* The first element holding `id`; null when the walk passes the place where it would
   be, or reaches the end. */
msgIdIndexElement_t *findMsgIndexElement(const CciByte *id, msgIdIndexElement_t *indexAnchorP);

#endif
