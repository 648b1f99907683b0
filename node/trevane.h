/*
 * The TrevaneNode plug-in's node module: the one entry point the broker calls after
 * loading the library and the node class's operations (create, configure, evaluate and
 * delete a node instance). The records they work on are in node/context.h.
 *
 * The broker reaches the operations through the node-class table that
 * bipGetMessageflowNodeFactory registers.
 */
#ifndef TREVANE_NODE_TREVANE_H
#define TREVANE_NODE_TREVANE_H

#include "node/context.h"
#include "trevane/cni.h"

/* ---- operations ----------------------------------------------------------------- */

/* The library's one exported symbol. Creates initMutex, the "TrevanePlugInFactory"
   factory and the TrevaneNode class, and logs message 10. Answers the factory, or null
   when the broker refused the factory without an exception pending; raises exceptions
   3 (no lock) and 2 (class refused), and re-raises a pending one. */
extern "C" __attribute__((visibility("default"))) void *bipGetMessageflowNodeFactory(void);

/* Creates the context of one node instance: registers its flow, its six attributes,
   its four terminals and its instance entry. Answers the context (freed by
   deleteNodeContext), or null when storage runs out, with nothing left behind. For a
   class other than TrevaneNode raises exception 5 and creates nothing. */
CciContext *createNodeContext(CciFactory *factoryObject, CciChar *nodeName, CciNode *nodeObject);

/* Unlinks the instance, frees its attribute table, terminal lists, copy locations and
   the context, and logs message 9. */
void deleteNodeContext(CciContext *context);

/* Stores the attribute's value and lets the node check it. Answers 0, or the attribute
   table's code (65 unknown name, 22 value too long). Raises exception 12 for an
   invalid CopyValueTo (the value stays in the table; the copy location does not). */
int setAttribute(CciContext *context, CciChar *attributeName, CciChar *attributeValue);

/* The node's own check of an attribute just stored: a valid CopyValueTo becomes the
   node's copy location. Answers TT_SUCCESS; raises exception 12 for an invalid one. */
int processAttribute(nodeContext_t *contextP, const CciChar *attributeName,
                     const CciChar *attributeValue);

/* Whether `value` (`length` units) can serve as a CopyValueTo path: "Root." followed by
   one or more dot-separated segments, each a name an XML element can have (no empty
   segment, no wildcard, index or markup character, no U+FFFD standing for bytes that
   were not UTF-8, no lone surrogate), at most 256 units in all, and not "Root.XML" or
   "Root.XML." alone. */
bool isValidCopyLocation(const CciChar *value, int length);

/* The broker's per-message call: runs evaluateTrevane (node/extractCode.h) for a
   TrevaneNode, raises exception 4 for any other class. */
void evaluate(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
              CciMessage *message);

#endif
