/*
 * Element location: dotted paths below Root or Environment, the well-known elements of
 * a message, message-body removal and the sibling-chain name searches.
 *
 * Called by the node's evaluation (the element receiving the SQLCODE), by the message
 * body and MQMD operations of the utilities, and by the value readers. Working copies
 * of paths and element names live in fixed local buffers filled only by bounded
 * operations; nothing here allocates or logs, failures are null results or TT_* codes
 * with a trace text.
 */
#include "utilities/locate.h"

#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/message.h"
#include "utilities/tracetext.h"
#include "utilities/vocabulary.h"

namespace {

constexpr int PATH_BUFFER_UNITS = LOCATE_MAX_PATH_BELOW_ROOT + 1; /* 256 and terminator */
constexpr int NAME_BUFFER_UNITS = 256;
constexpr int NAME_BUFFER_BYTES = NAME_BUFFER_UNITS * static_cast<int>(sizeof(CciChar));

const char *elementTypeText(const elementType_t *elementTypeP) {
    if (elementTypeP == nullptr) {
        return "null";
    }
    switch (*elementTypeP) {
    case ELEMENT_TYPE_NAME:
        return "ELEMENT_TYPE_NAME";
    case ELEMENT_TYPE_VALUE:
        return "ELEMENT_TYPE_VALUE";
    default:
        return "ELEMENT_TYPE_NAME_VALUE";
    }
}

/* The broker's element type for a requested kind; 0 for a value outside the enum. */
CciElementType hostElementType(elementType_t elementType) {
    switch (elementType) {
    case ELEMENT_TYPE_NAME:
        return CCI_ELEMENT_TYPE_NAME;
    case ELEMENT_TYPE_VALUE:
        return CCI_ELEMENT_TYPE_VALUE;
    case ELEMENT_TYPE_NAME_VALUE:
        return CCI_ELEMENT_TYPE_NAME_VALUE;
    default:
        return CCI_ELEMENT_TYPE_UNKNOWN;
    }
}

const char *matchTypeText(matchType_t matchType) {
    switch (matchType) {
    case MESSAGE_ID:
        return "MESSAGE_ID";
    case CORREL_ID:
        return "CORREL_ID";
    case REPLY_TO_QUEUE:
        return "REPLY_TO_QUEUE";
    case REPLY_TO_QUEUE_MANAGER:
        return "REPLY_TO_QUEUE_MANAGER";
    case MQMD:
        return "MQMD";
    case BODY:
        return "BODY";
    case DESTINATION:
        return "DESTINATION";
    case MQ_DESTINATION_LIST:
        return "MQ_DESTINATION_LIST";
    case DESTINATION_DATA:
        return "DESTINATION_DATA";
    case PUT_APPL_NAME:
        return "PUT_APPL_NAME";
    default:
        return "unknown";
    }
}

/* An MQMD field: its element name, the label of the not-found text and the label of
   the located text. */
struct mqmdField_t {
    const CciChar *name;
    const char *missingLabel;
    const char *foundLabel;
};

mqmdField_t mqmdField(matchType_t matchType) {
    switch (matchType) {
    case MESSAGE_ID:
        return {U_MSG_ID_VAL, "Message Id", "MsgId"};
    case CORREL_ID:
        return {U_CORREL_ID_VAL, "Correl Id", "CorrelId"};
    case REPLY_TO_QUEUE:
        return {U_REPLY_TO_Q_VAL, "ReplyToQ", "ReplyToQ"};
    case REPLY_TO_QUEUE_MANAGER:
        return {U_REPLY_TO_Q_MGR_VAL, "ReplyToQMgr", "ReplyToQMgr"};
    case PUT_APPL_NAME:
        return {U_PUT_APPL_NAME_VAL, "PutApplName", "PutApplName"};
    default:
        return {U_NULL_STRING_VAL, "?", "?"};
    }
}

const CciChar *orNullLiteral(const CciChar *text) {
    return text ? text : U_NULL_LITERAL_VAL;
}

/* Reads the element's name into `name` (cut to 255 characters, always terminated) and
   answers the length the broker reports, terminator included. */
CciSize readName(CciElement *elementP, CciChar (&name)[NAME_BUFFER_UNITS]) {
    int rc = 0;
    name[0] = 0;
    const CciSize size = cniElementName(&rc, elementP, name, NAME_BUFFER_BYTES);
    name[NAME_BUFFER_UNITS - 1] = 0;
    return size;
}

/* Resolves the part of `path` after its first separator below `rootP`; shared by the
   Root and Environment branches. `rootNameLength` is the length of the root name the
   path starts with. */
CciElement *locateBelowRoot(CciMessage *message, CciElement *rootP, const CciChar *path,
                            int rootNameLength, bool_t createElement,
                            const elementType_t *elementTypeP, bool_t *elementCreatedP,
                            bool_t *isRootP) {
    *isRootP = FALSE;
    if (UClen(path) <= rootNameLength) {
        *isRootP = TRUE;
        return rootP;
    }
    const CciChar *separatorP = UCchr(path, U_SEPARATOR_CHAR);
    if (separatorP == nullptr) {
        return nullptr;
    }
    return locateElementInTree(message, rootP, separatorP + 1, createElement, elementTypeP, TRUE,
                               elementCreatedP);
}

} // namespace

CciElement *locateElementInMessage(CciMessage *message, const CciChar *elementName,
                                   bool_t createElement, const elementType_t *elementTypeP,
                                   bool_t *elementCreatedP) {
    TRACE_FUNCTION("locateElementInMessage");
    TRACE_ENTRY("message=%.8x, elementName=%S, createElement=%s, elementTypeP=%s",
                tracePtr(message), orNullLiteral(elementName), truthText(createElement),
                elementTypeText(elementTypeP));

    CciElement *elementP = nullptr;
    int rc = 0;
    bool_t isRoot = FALSE;
    static const int rootLength = UClen(U_ROOT_VAL);
    static const int environmentLength = UClen(U_ENVIRONMENT_VAL);

    if (elementName == nullptr) {
        TRACE_ERROR_TEXT("No path given, returning NULL");
    } else if (UCncmp(elementName, U_ROOT_VAL, rootLength) == 0) {
        CciElement *rootP = cniRootElement(&rc, message);
        if (rc != 0 || rootP == nullptr) {
            TRACE_ERROR_TEXT("cniRootElement for message FAILED");
            TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
            return nullptr;
        }
        TRACE_INFO_TEXT("Addressed  message root element at %.8x", tracePtr(rootP));
        elementP = locateBelowRoot(message, rootP, elementName, rootLength, createElement,
                                   elementTypeP, elementCreatedP, &isRoot);
        if (elementP == nullptr && !isRoot && UCchr(elementName, U_SEPARATOR_CHAR) == nullptr) {
            TRACE_ERROR_TEXT("Path '%S' has no '.' after its root name", elementName);
        }
    } else if (UCncmp(elementName, U_ENVIRONMENT_VAL, environmentLength) == 0) {
        CciMessage *environmentP = cniGetEnvironmentMessage(&rc, message);
        if (rc != 0 || environmentP == nullptr) {
            TRACE_ERROR_TEXT("cniGetEnvironmentMessage for message FAILED");
            TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
            return nullptr;
        }
        TRACE_INFO_TEXT("Addressed  Environment message tree at %.8x", tracePtr(environmentP));
        CciElement *rootP = cniRootElement(&rc, environmentP);
        if (rc != 0 || rootP == nullptr) {
            TRACE_ERROR_TEXT("cniRootElement for message FAILED");
            TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
            return nullptr;
        }
        TRACE_INFO_TEXT("Addressed Environment message root element at %.8x", tracePtr(rootP));
        elementP = locateBelowRoot(message, rootP, elementName, environmentLength, createElement,
                                   elementTypeP, elementCreatedP, &isRoot);
        if (elementP == nullptr && !isRoot && UCchr(elementName, U_SEPARATOR_CHAR) == nullptr) {
            TRACE_ERROR_TEXT("Path '%S' has no '.' after its root name", elementName);
        }
    } else {
        TRACE_ERROR_TEXT("Path '%S' does not start with Root or Environment", elementName);
    }

    TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
    return elementP;
}

CciElement *locateElementInTree(CciMessage *message, CciElement *currentElement,
                                const CciChar *elementNameAndPath, bool_t createElement,
                                const elementType_t *elementTypeP, bool_t firstElementUnderRoot,
                                bool_t *elementCreatedP) {
    TRACE_FUNCTION("locateElementInTree");
    TRACE_ENTRY("message=%.8x, currentElement=%.8x, elementNameAndPath=%S, createElement=%s, "
                "elementType=%s, firstElementUnderRoot=%s",
                tracePtr(message), tracePtr(currentElement), orNullLiteral(elementNameAndPath),
                truthText(createElement), elementTypeText(elementTypeP),
                truthText(firstElementUnderRoot));

    CciElement *elementP = nullptr;
    int rc = 0;

    if (elementCreatedP != nullptr) {
        *elementCreatedP = FALSE;
    }

    /* The remaining path is worked on in a fixed buffer: refuse what does not fit
       rather than cut it and resolve a different element. */
    if (elementNameAndPath == nullptr) {
        TRACE_ERROR_TEXT("No path given, returning NULL");
        TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
        return nullptr;
    }
    if (UClen(elementNameAndPath) > LOCATE_MAX_PATH_BELOW_ROOT) {
        TRACE_ERROR_TEXT("Path below the root is longer than %d characters, returning NULL",
                         LOCATE_MAX_PATH_BELOW_ROOT);
        TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
        return nullptr;
    }
    /* The path's first name goes into the buffer; the rest is read where it is. */
    CciChar segment[PATH_BUFFER_UNITS];
    int segmentLength = 0;
    for (; elementNameAndPath[segmentLength] != 0 &&
           elementNameAndPath[segmentLength] != U_SEPARATOR_CHAR;
         ++segmentLength) {
        segment[segmentLength] = elementNameAndPath[segmentLength];
    }
    segment[segmentLength] = 0;
    const CciChar *separatorP =
        elementNameAndPath[segmentLength] != 0 ? elementNameAndPath + segmentLength : nullptr;
    TRACE_INFO_TEXT("Extracted element name is '%S'", static_cast<const CciChar *>(segment));

    TRACE_INFO_TEXT("About to call cniSearchFirstChild with currentElement=%.8x, "
                    "nextElementName=%S",
                    tracePtr(currentElement), static_cast<const CciChar *>(segment));
    elementP = cniSearchFirstChild(&rc, currentElement, CCI_COMPARE_MODE_NAME_TYPE,
                                   CCI_ELEMENT_TYPE_NAME, segment);
    TRACE_INFO_TEXT("Returned from cniSearchFirstChild");

    if (elementP != nullptr) {
        TRACE_INFO_TEXT("Element '%S' located at %.8x", static_cast<const CciChar *>(segment),
                        tracePtr(elementP));
    } else {
        if (!createElement) {
            TRACE_INFO_TEXT("Requested element not found in message, returning NULL");
            TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
            return nullptr;
        }
        if (elementCreatedP != nullptr) {
            *elementCreatedP = TRUE;
        }
        CciElementType elementType;
        if (elementTypeP != nullptr) {
            elementType = hostElementType(*elementTypeP);
        } else {
            elementType =
                separatorP == nullptr ? CCI_ELEMENT_TYPE_NAME_VALUE : CCI_ELEMENT_TYPE_NAME;
        }
        TRACE_INFO_TEXT("Requested element not found in message, creating element");

        const bool isXml = UCcmp(segment, U_XML_VAL) == 0;
        const bool isBlob = UCcmp(segment, U_BLOB_VAL) == 0;
        if (firstElementUnderRoot && (isXml || isBlob)) {
            /* A body is replaced only in the message's own tree: a body made under the
               environment root leaves the message's body alone. */
            int rootRc = 0;
            if (cniRootElement(&rootRc, message) == currentElement) {
                (void)deleteMessageBody(message);
            }
            elementP = cniCreateElementAsLastChildUsingParser(&rc, currentElement,
                                                              isXml ? U_XML_VAL : U_NONE_VAL);
            if (rc != 0 || elementP == nullptr) {
                if (isXml) {
                    TRACE_ERROR_TEXT("Failed to create new message XML body "
                                     "(cniCreateElementAsLastChildUsingParser rc=%d)",
                                     rc);
                } else {
                    TRACE_ERROR_TEXT("Failed to create new message BLOB body "
                                     "(cniCreateElementAsLastChildUsingParser rc=%d)",
                                     rc);
                }
                elementP = nullptr;
                TRACE_EXIT_TYPE(70, "CciElement *", &elementP);
                return nullptr;
            }
            if (isXml) {
                TRACE_INFO_TEXT("New XML message body created at %.8x", tracePtr(elementP));
            } else {
                TRACE_INFO_TEXT("New BLOB message body created at %.8x", tracePtr(elementP));
            }
        } else {
            elementP = createChildElement(currentElement, segment, elementType);
        }
        if (elementP == nullptr) {
            TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
            return nullptr;
        }
    }

    if (separatorP == nullptr) {
        TRACE_INFO_TEXT("End of path reached, returning element located at %.8x",
                        tracePtr(elementP));
        TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
        return elementP;
    }

    elementP = locateElementInTree(message, elementP, separatorP + 1, createElement, elementTypeP,
                                   FALSE, elementCreatedP);
    TRACE_INFO_TEXT("Returning element located at %.8x", tracePtr(elementP));
    TRACE_EXIT_TYPE(69, "CciElement *", &elementP);
    return elementP;
}

CciElement *getMessageElement(CciMessage *message, matchType_t matchType) {
    TRACE_FUNCTION("getMessageElement");
    TRACE_ENTRY("message=%.8x, matchType=%s", tracePtr(message), matchTypeText(matchType));

    int rc = 0;
    CciElement *resultP = nullptr;
    CciElement *rootP = cniRootElement(&rc, message);

    if (matchType == DESTINATION || matchType == MQ_DESTINATION_LIST ||
        matchType == DESTINATION_DATA) {
        CciElement *destinationP = cniSearchFirstChild(&rc, rootP, CCI_COMPARE_MODE_NAME_TYPE,
                                                       CCI_ELEMENT_TYPE_NAME, U_DESTINATION_VAL);
        if (destinationP == nullptr) {
            TRACE_ERROR_TEXT("Destination not found in message");
            TRACE_EXIT_TYPE(20, "void *", &resultP);
            return nullptr;
        }
        TRACE_INFO_TEXT("Destination element located at %.8x", tracePtr(destinationP));
        if (matchType == DESTINATION) {
            TRACE_EXIT_TYPE(21, "void *", &destinationP);
            return destinationP;
        }
        CciElement *listP = cniSearchFirstChild(&rc, destinationP, CCI_COMPARE_MODE_NAME_TYPE,
                                                CCI_ELEMENT_TYPE_NAME, U_MQ_DESTINATION_LIST_VAL);
        if (listP == nullptr) {
            TRACE_ERROR_TEXT("MQDestinationList not found in message");
            TRACE_EXIT_TYPE(22, "void *", &resultP);
            return nullptr;
        }
        TRACE_INFO_TEXT("MQDestinationList element located at %.8x", tracePtr(listP));
        if (matchType == MQ_DESTINATION_LIST) {
            TRACE_EXIT_TYPE(23, "void *", &listP);
            return listP;
        }
        CciElement *dataP = cniSearchFirstChild(&rc, listP, CCI_COMPARE_MODE_NAME_TYPE,
                                                CCI_ELEMENT_TYPE_NAME, U_DESTINATION_DATA_VAL);
        if (dataP == nullptr) {
            TRACE_ERROR_TEXT("DestinationData not found in message");
            TRACE_EXIT_TYPE(24, "void *", &resultP);
            return nullptr;
        }
        TRACE_INFO_TEXT("First DestinationData element located at %.8x", tracePtr(dataP));
        if (TRACE_ON(TRACE_INFO)) {
            for (CciElement *nextP =
                     cniSearchNextSibling(&rc, dataP, CCI_COMPARE_MODE_NAME_TYPE,
                                          CCI_ELEMENT_TYPE_NAME, U_DESTINATION_DATA_VAL);
                 nextP != nullptr;
                 nextP = cniSearchNextSibling(&rc, nextP, CCI_COMPARE_MODE_NAME_TYPE,
                                              CCI_ELEMENT_TYPE_NAME, U_DESTINATION_DATA_VAL)) {
                TRACE_INFO_TEXT("Next DestinationData element located at %.8x", tracePtr(nextP));
            }
        }
        TRACE_EXIT_TYPE(25, "void *", &dataP);
        return dataP;
    }

    if (matchType == BODY) {
        CciElement *lastP = cniLastChild(&rc, rootP);
        if (lastP == nullptr) {
            TRACE_ERROR_TEXT("Failed to address last child (cniLastChild rc=%d)", rc);
            TRACE_EXIT_TYPE(27, "void *", &resultP);
            return nullptr;
        }
        TRACE_INFO_TEXT("calling cniElementName for element %.8x", tracePtr(lastP));
        CciChar name[NAME_BUFFER_UNITS];
        const CciSize nameSize = readName(lastP, name);
        TRACE_INFO_TEXT("elementNameSize is %d", nameSize);
        if (nameSize <= 1) {
            TRACE_ERROR_TEXT("Element has no name");
            TRACE_EXIT_TYPE(28, "void *", &resultP);
            return nullptr;
        }
        TRACE_INFO_TEXT("element name is %S", static_cast<const CciChar *>(name));
        TRACE_EXIT_TYPE(29, "void *", &lastP);
        return lastP;
    }

    CciElement *mqmdP = cniSearchFirstChild(&rc, rootP, CCI_COMPARE_MODE_NAME_TYPE,
                                            CCI_ELEMENT_TYPE_NAME, U_MQMD_VAL);
    if (mqmdP == nullptr) {
        TRACE_ERROR_TEXT("MQMD not found in message");
        TRACE_EXIT_TYPE(30, "void *", &resultP);
        return nullptr;
    }
    TRACE_INFO_TEXT("MQMD element located at %.8x", tracePtr(mqmdP));
    if (matchType == MQMD) {
        TRACE_EXIT_TYPE(31, "void *", &mqmdP);
        return mqmdP;
    }
    const mqmdField_t field = mqmdField(matchType);
    CciElement *fieldP = cniSearchFirstChild(&rc, mqmdP, CCI_COMPARE_MODE_NAME_TYPE,
                                             CCI_ELEMENT_TYPE_NAME_VALUE, field.name);
    if (fieldP == nullptr) {
        TRACE_ERROR_TEXT("%s not found in MQMD", field.missingLabel);
        TRACE_EXIT_TYPE(32, "void *", &resultP);
        return nullptr;
    }
    TRACE_INFO_TEXT("%s element located at %.8x", field.foundLabel, tracePtr(fieldP));
    TRACE_EXIT_TYPE(33, "void *", &fieldP);
    return fieldP;
}

int deleteMessageBody(CciMessage *message) {
    TRACE_FUNCTION("deleteMessageBody");
    TRACE_ENTRY("message=%.8x", tracePtr(message));

    CciElement *mqmdP = getMessageElement(message, MQMD);
    if (mqmdP == nullptr) {
        TRACE_ERROR_TEXT("Failed to address MQMD element");
        TRACE_EXIT_INT(21, TT_FAILED_TO_GET_MESSAGE_MQMD);
        return TT_FAILED_TO_GET_MESSAGE_MQMD;
    }
    TRACE_INFO_TEXT("Addressed MQMD element at %.8x", tracePtr(mqmdP));

    int rc = 0;
    for (CciElement *siblingP = cniNextSibling(&rc, mqmdP); siblingP != nullptr;
         siblingP = cniNextSibling(&rc, mqmdP)) {
        if (TRACE_ON(TRACE_INFO)) {
            CciChar name[NAME_BUFFER_UNITS];
            if (readName(siblingP, name) <= 1) {
                TRACE_INFO_TEXT("Deleting element with no name");
            } else {
                TRACE_INFO_TEXT("Deleting element with name %S",
                                static_cast<const CciChar *>(name));
            }
        }
        cniDetach(&rc, siblingP);
        if (rc != 0) {
            TRACE_ERROR_TEXT("Failed to detach sibling element (cniDetach rc=%d)", rc);
            TRACE_EXIT_INT(22, TT_FAILED_TO_DELETE_MESSAGE_BODY);
            return TT_FAILED_TO_DELETE_MESSAGE_BODY;
        }
        TRACE_INFO_TEXT("Detached sibling element");
    }

    TRACE_EXIT_INT(23, TT_SUCCESS);
    return TT_SUCCESS;
}

CciElement *findChild(CciElement *currentElementP, const CciChar *elementName) {
    TRACE_FUNCTION("findChild");
    TRACE_ENTRY("currentElementP=%.8x, elementName=%S", tracePtr(currentElementP),
                orNullLiteral(elementName));

    int rc = 0;
    for (CciElement *elementP = currentElementP; elementP != nullptr;
         elementP = cniNextSibling(&rc, elementP)) {
        CciChar name[NAME_BUFFER_UNITS];
        readName(elementP, name);
        TRACE_INFO_TEXT("Checking element name '%S'", static_cast<const CciChar *>(name));
        if (UCcmp(name, elementName) == 0) {
            TRACE_EXIT_TYPE(16, "void *", &elementP);
            return elementP;
        }
    }

    CciElement *resultP = nullptr;
    TRACE_EXIT_TYPE(17, "void *", &resultP);
    return nullptr;
}

CciElement *findElementInTree(CciElement *currentElementP, const CciChar *elementName) {
    TRACE_FUNCTION("findElementInTree");
    TRACE_ENTRY("currentElementP=%.8x, elementName=%S", tracePtr(currentElementP),
                orNullLiteral(elementName));

    int rc = 0;
    for (CciElement *elementP = currentElementP; elementP != nullptr;) {
        CciChar name[NAME_BUFFER_UNITS];
        readName(elementP, name);
        TRACE_INFO_TEXT("Checking element name '%S'", static_cast<const CciChar *>(name));
        if (UCcmp(name, elementName) == 0) {
            TRACE_EXIT_TYPE(18, "void *", &elementP);
            return elementP;
        }
        CciElement *foundP = findChild(elementP, elementName);
        if (foundP != nullptr) {
            TRACE_EXIT_TYPE(18, "CciChar *", &foundP);
            return foundP;
        }
        elementP = cniNextSibling(&rc, elementP);
        TRACE_INFO_TEXT("Next sibling at %.8x", tracePtr(elementP));
    }

    CciElement *resultP = nullptr;
    TRACE_EXIT_TYPE(19, "CciChar *", &resultP);
    return nullptr;
}
