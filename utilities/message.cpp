/*
 * Message creation and copy, propagation through a named output terminal, and the
 * creation of single elements.
 *
 * Called by the node's evaluation (copy the incoming message, send it on), by path
 * location and the tree rebuilder (element creation) and by the MQMD dumps (copy).
 * propagateMessage is the only operation here that writes to the broker's log: a
 * terminal that is missing or not attached, or a propagation the broker refused
 * without an exception. Texts for the log are formatted into fixed local buffers with
 * bounded formatters.
 */
#include "utilities/message.h"

#include <stdio.h>
#include <string.h>

#include "plugin/plugin.h"
#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/tracetext.h"
#include "utilities/vocabulary.h"

namespace {

constexpr const char SOURCE_FILE[] = "message.cpp";
constexpr const char PROPAGATE_FUNCTION[] = "propagateMessage()";
constexpr size_t LOG_TEXT_SIZE = 1000;
constexpr size_t TERMINAL_INSERT_SIZE = 256;
constexpr size_t RETURN_CODE_INSERT_SIZE = 20;

/* The broker's three element types by name; null for any other value. */
const char *knownElementTypeText(CciElementType elementType) {
    switch (elementType) {
    case CCI_ELEMENT_TYPE_NAME:
        return "CCI_ELEMENT_TYPE_NAME";
    case CCI_ELEMENT_TYPE_VALUE:
        return "CCI_ELEMENT_TYPE_VALUE";
    case CCI_ELEMENT_TYPE_NAME_VALUE:
        return "CCI_ELEMENT_TYPE_NAME_VALUE";
    default:
        return nullptr;
    }
}

const CciChar *orNullLiteral(const CciChar *text) {
    return text ? text : U_NULL_LITERAL_VAL;
}

/* Writes one of propagateMessage's error entries (6, 7 or 8): broker name first, then
   the one insert. The entry is also noted in *entryP when the caller asked for it. */
void logPropagationError(int line, int messageNumber, const char *text, const char *insert,
                         propagationLogEntry_t *entryP) {
    int rc = 0;
    cciLog(&rc, CCI_LOG_ERROR, SOURCE_FILE, line, PROPAGATE_FUNCTION, PLUGIN_MESSAGE_CATALOGUE_VAL,
           messageNumber, text, brokerName, insert, static_cast<const char *>(nullptr));
    if (entryP != nullptr) {
        entryP->messageNumber = messageNumber;
        snprintf(entryP->text, sizeof entryP->text, "%s", text);
        snprintf(entryP->insert, sizeof entryP->insert, "%s", insert);
    }
}

/* Log entry 8 for a return code the broker gave without an exception. */
void logPropagationFailure(int line, int returnCode, propagationLogEntry_t *entryP) {
    char text[LOG_TEXT_SIZE];
    char insert[RETURN_CODE_INSERT_SIZE];
    snprintf(text, sizeof text, "Failed to propagate message (rc=%d)", returnCode);
    snprintf(insert, sizeof insert, "%d", returnCode);
    logPropagationError(line, 8, text, insert, entryP);
}

} // namespace

CciMessage *createNewMessage(CciMessage *message) {
    TRACE_FUNCTION("createNewMessage");
    TRACE_ENTRY("message=%.8x", tracePtr(message));

    int rc = 0;
    CciMessage *newMessageP = nullptr;

    CciMessageContext *contextP = cniGetMessageContext(&rc, message);
    if (rc != 0 || contextP == nullptr) {
        TRACE_ERROR_TEXT("Failed to get message context (cniGetMessageContext rc=%d)", rc);
        TRACE_EXIT_TYPE(10, "void *", &newMessageP);
        return nullptr;
    }
    TRACE_INFO_TEXT("Message context got at %.8x", tracePtr(contextP));

    newMessageP = cniCreateMessage(&rc, contextP);
    if (rc != 0 || newMessageP == nullptr) {
        TRACE_ERROR_TEXT("Failed to create new message (cniCreateMessage FAILED)");
        newMessageP = nullptr;
        TRACE_EXIT_TYPE(11, "void *", &newMessageP);
        return nullptr;
    }
    TRACE_INFO_TEXT("New message created at %.8x", tracePtr(newMessageP));

    unsigned reason = 15;
    CciElement *newRootP = cniRootElement(&rc, newMessageP);
    CciElement *oldRootP = nullptr;
    if (rc != 0 || newRootP == nullptr) {
        TRACE_ERROR_TEXT("cniRootElement for new message FAILED");
        reason = 12;
    } else {
        TRACE_INFO_TEXT("Addressed new message root element at %.8x", tracePtr(newRootP));
        oldRootP = cniRootElement(&rc, message);
        if (rc != 0 || oldRootP == nullptr) {
            TRACE_ERROR_TEXT("cniRootElement for original message FAILED");
            reason = 13;
        } else {
            TRACE_INFO_TEXT("Addressed original message root element at %.8x", tracePtr(oldRootP));
            cniCopyElementTree(&rc, oldRootP, newRootP);
            if (rc != 0) {
                TRACE_ERROR_TEXT("Failed to copy original message to new message");
                reason = 14;
            }
        }
    }
    if (reason != 15) {
        int deleteRc = 0;
        cniDeleteMessage(&deleteRc, newMessageP);
        newMessageP = nullptr;
        TRACE_EXIT_TYPE(reason, "void *", &newMessageP);
        return nullptr;
    }

    TRACE_INFO_TEXT("New message successfully created from original");
    TRACE_EXIT_TYPE(15, "void *", &newMessageP);
    return newMessageP;
}

int copyMessage(CciMessage *newMsg, CciMessage *oldMsg) {
    TRACE_FUNCTION("copyMessage");
    TRACE_ENTRY("newMsg=%.8x, oldMsg=%.8x", tracePtr(newMsg), tracePtr(oldMsg));

    int rc = 0;
    CciElement *newRootP = cniRootElement(&rc, newMsg);
    if (rc != 0 || newRootP == nullptr) {
        TRACE_ERROR_TEXT("cniRootElement for new message FAILED");
        TRACE_EXIT_INT(37, TT_FAILED_TO_GET_MESSAGE_ROOT);
        return TT_FAILED_TO_GET_MESSAGE_ROOT;
    }
    TRACE_INFO_TEXT("Addressed new message root element at %.8x", tracePtr(newRootP));

    CciElement *oldRootP = cniRootElement(&rc, oldMsg);
    if (rc != 0 || oldRootP == nullptr) {
        TRACE_ERROR_TEXT("cniRootElement for old message FAILED");
        TRACE_EXIT_INT(38, TT_FAILED_TO_GET_MESSAGE_ROOT);
        return TT_FAILED_TO_GET_MESSAGE_ROOT;
    }
    TRACE_INFO_TEXT("Addressed old message root element at %.8x", tracePtr(oldRootP));

    cniCopyElementTree(&rc, oldRootP, newRootP);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to copy old message to new message");
        TRACE_EXIT_INT(39, TT_FAILED_TO_COPY_MESSAGE);
        return TT_FAILED_TO_COPY_MESSAGE;
    }

    TRACE_INFO_TEXT("Old message successfully copied to new");
    TRACE_EXIT_INT(40, TT_SUCCESS);
    return TT_SUCCESS;
}

int propagateMessage(nodeContext_t *contextP, const CciChar *terminalName, CciMessage *message,
                     CciMessage *destinationList, CciMessage *exceptionList, bool_t newMessage) {
    return propagateMessageNoting(contextP, terminalName, message, destinationList, exceptionList,
                                  newMessage, nullptr);
}

int propagateMessageNoting(nodeContext_t *contextP, const CciChar *terminalName,
                           CciMessage *message, CciMessage *destinationList,
                           CciMessage *exceptionList, bool_t newMessage,
                           propagationLogEntry_t *entryP) {
    TRACE_FUNCTION("propagateMessage");
    if (entryP != nullptr) {
        entryP->messageNumber = 0;
        entryP->text[0] = '\0';
        entryP->insert[0] = '\0';
    }
    TRACE_ENTRY("contextP=%.8x, terminalName=%S, message=%.8x, newMessage=%s", tracePtr(contextP),
                orNullLiteral(terminalName), tracePtr(message), truthText(newMessage));

    CciTerminal *terminalP = outputTerminalForMessage(contextP, terminalName);
    if (terminalP == nullptr) {
        char text[LOG_TEXT_SIZE];
        char insert[TERMINAL_INSERT_SIZE];
        ucFormat(text, sizeof text, "Requested terminal %S does not exist in message flow",
                 orNullLiteral(terminalName));
        ucFormat(insert, sizeof insert, "%S", orNullLiteral(terminalName));
        logPropagationError(__LINE__, 6, text, insert, entryP);
        TRACE_EXIT_INT(34, TT_TERMINAL_DOES_NOT_EXIST);
        return TT_TERMINAL_DOES_NOT_EXIST;
    }

    int rc = 0;
    const CciBool attached = cniIsTerminalAttached(&rc, terminalP);
    if (attached == 0) {
        char text[LOG_TEXT_SIZE];
        char insert[TERMINAL_INSERT_SIZE];
        ucFormat(text, sizeof text, "Requested terminal %S is not attached in message flow",
                 terminalName);
        ucFormat(insert, sizeof insert, "%S", terminalName);
        logPropagationError(__LINE__, 7, text, insert, entryP);
        TRACE_EXIT_INT(35, TT_TERMINAL_NOT_ATTACHED);
        return TT_TERMINAL_NOT_ATTACHED;
    }

    /* A propagation the broker refused is reported as such: the caller must not take
       the message as sent. */
    int result = TT_PROPAGATION_ERROR;
    if (rc == 0) {
        TRACE_INFO_TEXT("About to call cniPropagate");
        cniPropagate(&rc, terminalP, destinationList, exceptionList, message);
        TRACE_INFO_TEXT("Returned from call to cniPropagate");
        if (rc == 0) {
            TRACE_INFO_TEXT("Message successfully propagated");
            result = TT_SUCCESS;
        } else if (rc == CCI_EXCEPTION) {
            TRACE_INFO_TEXT("Caught an exception");
            CCI_EXCEPTION_ST exceptionData;
            memset(&exceptionData, 0, sizeof exceptionData);
            int dataRc = 0;
            cciGetLastExceptionData(&dataRc, &exceptionData);
            exceptionData.traceText[sizeof exceptionData.traceText - 1] = '\0';
            TRACE_INFO_TEXT("Exception text is '%s'",
                            static_cast<const char *>(exceptionData.traceText));
            TRACE_EXIT_INT(35, TT_PROPAGATION_EXCEPTION);
            return TT_PROPAGATION_EXCEPTION;
        } else {
            logPropagationFailure(__LINE__, rc, entryP);
        }
    } else if (rc == CCI_EXCEPTION) {
        TraceSetIndentationValue(0);
        cciRethrowLastException(nullptr);
    } else {
        logPropagationFailure(__LINE__, rc, entryP);
    }

    TRACE_EXIT_INT(36, result);
    return result;
}

CciElement *createChildElement(CciElement *parentElementP, const CciChar *elementName,
                               CciElementType elementType) {
    TRACE_FUNCTION("createChildElement");
    const char *typeText = knownElementTypeText(elementType);
    TRACE_ENTRY("parentElementP=%.8x, elementName=%S, elementType=%s", tracePtr(parentElementP),
                orNullLiteral(elementName), typeText ? typeText : "CCI_ELEMENT_TYPE_UNKNOWN");

    int rc = 0;
    CciElement *elementP = cniCreateElementAsLastChild(&rc, parentElementP);
    if (rc != 0 || elementP == nullptr) {
        TRACE_ERROR_TEXT("Failed to create child element (cniCreateElementAsLastChild rc=%d)", rc);
        elementP = nullptr;
        TRACE_EXIT_TYPE(62, "CciElement *", &elementP);
        return nullptr;
    }
    TRACE_INFO_TEXT("Child element created at %.8x", tracePtr(elementP));

    CciElement *resultP = nullptr;
    if (elementType != CCI_ELEMENT_TYPE_VALUE && elementName != nullptr) {
        cniSetElementName(&rc, elementP, elementName);
        if (rc != 0) {
            TRACE_ERROR_TEXT("Failed to set child element name (cniSetElementName rc=%d)", rc);
            TRACE_EXIT_TYPE(62, "CciElement *", &resultP);
            return nullptr;
        }
        TRACE_INFO_TEXT("Child element name set to %S", elementName);
    }

    cniSetElementType(&rc, elementP, elementType);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set child element type (cniSetElementType rc=%d)", rc);
        TRACE_EXIT_TYPE(62, "CciElement *", &resultP);
        return nullptr;
    }
    if (TRACE_ON(TRACE_INFO)) {
        char unknownText[32];
        if (typeText == nullptr) {
            snprintf(unknownText, sizeof unknownText, " (0x%.8x)",
                     static_cast<unsigned>(elementType));
        }
        TRACE_INFO_TEXT("Child element type set to %s", typeText ? typeText : unknownText);
    }

    TRACE_EXIT_TYPE(62, "CciElement *", &elementP);
    return elementP;
}

CciElement *createSiblingElement(CciElement *parentElementP, const CciChar *elementName,
                                 CciElementType elementType) {
    TRACE_FUNCTION("createSiblingElement");
    const char *typeText = knownElementTypeText(elementType);
    TRACE_ENTRY("parentElementP=%.8x, elementName=%S, elementType=%s", tracePtr(parentElementP),
                orNullLiteral(elementName),
                typeText                                  ? typeText
                : elementType == CCI_ELEMENT_TYPE_UNKNOWN ? "CCI_ELEMENT_TYPE_UNKNOWN"
                                                          : "unknown");

    int rc = 0;
    CciElement *elementP = cniCreateElementAfter(&rc, parentElementP);
    if (rc != 0 || elementP == nullptr) {
        TRACE_ERROR_TEXT("Failed to create sibling element (cniCreateElementAfter rc=%d)", rc);
        elementP = nullptr;
        TRACE_EXIT_TYPE(62, "CciElement *", &elementP);
        return nullptr;
    }
    TRACE_INFO_TEXT("Sibling element created at %.8x", tracePtr(elementP));

    /* The name is always set; a missing name is set as the empty one rather than
       handing the broker a null text. */
    const CciChar *name = elementName ? elementName : U_NULL_STRING_VAL;
    CciElement *resultP = nullptr;
    cniSetElementName(&rc, elementP, name);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set child element name (cniSetElementName rc=%d)", rc);
        TRACE_EXIT_TYPE(62, "CciElement *", &resultP);
        return nullptr;
    }
    TRACE_INFO_TEXT("Child element name set to %S", name);

    cniSetElementType(&rc, elementP, elementType);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set child element type (cniSetElementType rc=%d)", rc);
        TRACE_EXIT_TYPE(62, "CciElement *", &resultP);
        return nullptr;
    }
    TRACE_INFO_TEXT("Child element type set");

    TRACE_EXIT_TYPE(62, "CciElement *", &elementP);
    return elementP;
}
