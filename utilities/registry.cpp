/*
 * The message flow registry and the message-id index (see registry.h): the registry is
 * read and extended by node-context creation under initMutex; the index operations
 * work on an index that their caller owns. Nothing here locks or frees.
 */
#include "utilities/registry.h"

#include <stdlib.h>
#include <string.h>

#include "portability/unicode.h"
#include "trace/trace.h"

messageFlow_t *findMessageFlow(const CciChar *name, messageFlow_t *anchorP) {
    TRACE_FUNCTION("findMessageFlow");
    TRACE_ENTRY("name=%S", name);

    for (messageFlow_t *entryP = anchorP ? anchorP->next : nullptr; entryP; entryP = entryP->next) {
        TRACE_INFO_TEXT("Processing message flow entry at %.8x", tracePtr(entryP));
        if (UCcmp(name, entryP->flowName) == 0) {
            TRACE_INFO_TEXT("Found a match");
            TRACE_EXIT_TYPE(2, "messageFlow_t *", &entryP);
            return entryP;
        }
    }
    messageFlow_t *notFoundP = nullptr;
    TRACE_EXIT_TYPE(4, "messageFlow_t *", &notFoundP);
    return notFoundP;
}

messageFlow_t *addMessageFlow(const CciChar *name, messageFlow_t *anchorP) {
    TRACE_FUNCTION("addMessageFlow");
    TRACE_ENTRY("name=%S", name);

    messageFlow_t *entryP = static_cast<messageFlow_t *>(calloc(1, sizeof(messageFlow_t)));
    CciChar *flowName = entryP ? UCdup(name ? name : u"") : nullptr;
    if (!entryP || !flowName) {
        TRACE_ERROR_TEXT("Failed to allocate storage for message flow entry");
        free(entryP);
        entryP = nullptr;
        TRACE_EXIT_TYPE(5, "messageFlow_t *", &entryP);
        return entryP;
    }
    entryP->flowName = flowName;
    entryP->next = anchorP->next;
    entryP->prev = anchorP;
    if (anchorP->next) {
        anchorP->next->prev = entryP;
    }
    anchorP->next = entryP;
    TRACE_INFO_TEXT("Added message flow entry at %.8x", tracePtr(entryP));
    TRACE_EXIT_TYPE(6, "messageFlow_t *", &entryP);
    return entryP;
}

msgIdIndexElement_t *updateMsgIdIndex(const CciByte *messageId, msgIdIndexElement_t *indexAnchorP) {
    TRACE_FUNCTION("updateMsgIdIndex");
    TRACE_ENTRY("messageId=%.8x", tracePtr(messageId));

    TRACE_INFO_TEXT("New message index value is...");
    TRACE_HEXDUMP(messageId, MSG_ID_LENGTH);

    TRACE_INFO_TEXT("About to allocate storage for new message index element");
    msgIdIndexElement_t *newP =
        static_cast<msgIdIndexElement_t *>(calloc(1, sizeof(msgIdIndexElement_t)));
    if (!newP) {
        TRACE_ERROR_TEXT("Failed to allocate storage for new message index element");
        TRACE_EXIT_TYPE(1, "msgIdIndexElement_t *", &newP);
        return newP;
    }
    TRACE_INFO_TEXT("Allocated new index element at %.8x", tracePtr(newP));
    memcpy(newP->msgId, messageId, MSG_ID_LENGTH);

    // Equal identifiers go after those already present, so the first one inserted is the
    // first one found.
    msgIdIndexElement_t *curP = indexAnchorP;
    for (;;) {
        TRACE_INFO_TEXT("Processing index element at %.8x", tracePtr(curP));
        if (!curP->next || memcmp(newP->msgId, curP->next->msgId, MSG_ID_LENGTH) < 0) {
            TRACE_INFO_TEXT("Inserting new element");
            break;
        }
        curP = curP->next;
    }
    newP->next = curP->next;
    newP->prev = curP;
    if (curP->next) {
        curP->next->prev = newP;
    }
    curP->next = newP;
    TRACE_EXIT_TYPE(1, "msgIdIndexElement_t *", &newP);
    return newP;
}

msgIdIndexElement_t *findMsgIndexElement(const CciByte *id, msgIdIndexElement_t *indexAnchorP) {
    TRACE_FUNCTION("findMsgIndexElement");
    TRACE_ENTRY("id=%.8x, indexAnchorP=%.8x", tracePtr(id), tracePtr(indexAnchorP));

    msgIdIndexElement_t *resultP = nullptr;
    for (msgIdIndexElement_t *elementP = indexAnchorP ? indexAnchorP->next : nullptr; elementP;
         elementP = elementP->next) {
        TRACE_INFO_TEXT("Processing index element at %.8x", tracePtr(elementP));
        int order = memcmp(id, elementP->msgId, MSG_ID_LENGTH);
        if (order == 0) {
            TRACE_INFO_TEXT("Found a match");
            resultP = elementP;
            TRACE_EXIT_TYPE(2, "msgIdIndexElement_t *", &resultP);
            return resultP;
        }
        if (order < 0) {
            TRACE_INFO_TEXT("Gone past value being searched for");
            TRACE_EXIT_TYPE(3, "msgIdIndexElement_t *", &resultP);
            return resultP;
        }
    }
    TRACE_EXIT_TYPE(4, "msgIdIndexElement_t *", &resultP);
    return resultP;
}
