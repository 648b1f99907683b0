/*
 * Message body kind and MQMD format: messageBodyIsXML for the node's evaluation and
 * setMessageFormat for callers that change a message's body. Neither logs nor raises;
 * both answer through their result and trace what they found.
 */
#include "utilities/body.h"

#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/locate.h"
#include "utilities/vocabulary.h"

bool_t messageBodyIsXML(CciMessage *message) {
    TRACE_FUNCTION("messageBodyIsXML");
    TRACE_ENTRY("message=%.8x", tracePtr(message));

    bool_t isXml = FALSE;
    int rc = 0;
    CciElement *rootP = cniRootElement(&rc, message);
    if (rc != 0 || rootP == nullptr) {
        TRACE_ERROR_TEXT("cniRootElement for message FAILED");
        TRACE_EXIT_TYPE(69, "bool_t", &isXml);
        return FALSE;
    }
    TRACE_INFO_TEXT("Addressed  message root element at %.8x", tracePtr(rootP));

    CciElement *bodyP = cniLastChild(&rc, rootP);
    if (bodyP == nullptr) {
        TRACE_ERROR_TEXT("Failed to address last child (cniLastChild rc=%d)", rc);
        TRACE_EXIT_TYPE(69, "bool_t", &isXml);
        return FALSE;
    }

    if (cniElementType(&rc, bodyP) == CCI_ELEMENT_TYPE_XML_BODY) {
        TRACE_INFO_TEXT("Message body is XML format");
        isXml = TRUE;
    }
    TRACE_EXIT_TYPE(69, "bool_t", &isXml);
    return isXml;
}

int setMessageFormat(CciMessage *message, const CciChar *format) {
    TRACE_FUNCTION("setMessageFormat");
    TRACE_ENTRY("message=%.8x, format=%S", tracePtr(message), format ? format : U_NULL_LITERAL_VAL);

    CciElement *mqmdP = getMessageElement(message, MQMD);
    if (mqmdP == nullptr) {
        TRACE_ERROR_TEXT("Failed to address MQMD element");
        TRACE_EXIT_INT(1, TT_FAILED_TO_GET_MESSAGE_MQMD);
        return TT_FAILED_TO_GET_MESSAGE_MQMD;
    }
    TRACE_INFO_TEXT("Addressed MQMD element at %.8x", tracePtr(mqmdP));

    int rc = 0;
    CciElement *formatP = cniSearchFirstChild(&rc, mqmdP, CCI_COMPARE_MODE_NAME_TYPE,
                                              CCI_ELEMENT_TYPE_NAME_VALUE, U_FORMAT_VAL);
    if (formatP == nullptr) {
        TRACE_ERROR_TEXT("Failed to address Format element");
        TRACE_EXIT_INT(2, TT_FAILED_TO_GET_MESSAGE_FORMAT);
        return TT_FAILED_TO_GET_MESSAGE_FORMAT;
    }
    TRACE_INFO_TEXT("Addressed Format element at %.8x", tracePtr(formatP));

    if (format == nullptr) {
        TRACE_ERROR_TEXT("No format given");
        TRACE_EXIT_INT(55, TT_FAILED_TO_SET_FORMAT_IN_MESSAGE);
        return TT_FAILED_TO_SET_FORMAT_IN_MESSAGE;
    }
    /* The field is always written as 8 characters. They are taken from a padded local
       copy so that a shorter format is never read past its terminator. */
    CciChar padded[MESSAGE_FORMAT_LENGTH + 1];
    int i = 0;
    for (; i < MESSAGE_FORMAT_LENGTH && format[i] != 0; ++i) {
        padded[i] = format[i];
    }
    for (; i < MESSAGE_FORMAT_LENGTH; ++i) {
        padded[i] = u' ';
    }
    padded[MESSAGE_FORMAT_LENGTH] = 0;

    cniSetElementCharacterValue(&rc, formatP, padded, MESSAGE_FORMAT_LENGTH);
    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set Format element value (cniSetElementCharacterValue rc=%d)",
                         rc);
        TRACE_EXIT_INT(55, TT_FAILED_TO_SET_FORMAT_IN_MESSAGE);
        return TT_FAILED_TO_SET_FORMAT_IN_MESSAGE;
    }
    TRACE_EXIT_INT(1, TT_SUCCESS);
    return TT_SUCCESS;
}
