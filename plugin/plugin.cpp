/*
 * The node support tables: every node instance's attributes (a singly linked list of
 * attributeTableEntry_t) and its input and output terminals (two lists of
 * terminalListEntry_t), hanging from the node context.
 *
 * node/trevane creates the entries with the node and frees them with it, and stores
 * attribute values through commonSetAttribute; the broker reads values and custom
 * attribute names through the getAttribute / getAttributeName slots of the node class;
 * message propagation finds a terminal's handle by name. Records, the table P and the
 * functions live together here.
 */
#include "plugin/plugin.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"

const pluginVocabulary_t P = {u"true", u"false", u"", u"label"};

namespace {

constexpr int INTEGER_VALUE_UNITS = ATTRIBUTE_INTEGER_VALUE_SIZE / sizeof(CciChar) - 1; // 127
constexpr int TYPED_WORK_UNITS = 200;  // work buffer of the integer and boolean readers
constexpr int HEX_WORK_UNITS = 2000;   // work buffer of getHexAttribute
constexpr int HEX_MAX_INPUT = 256;     // longest hex text convertNameFromHex accepts
constexpr int HEX_DECODED_UNITS = 257; // decoded text buffer of getHexAttribute

attributeTableEntry_t *findAttribute(nodeContext_t *contextP, const CciChar *attributeName) {
    for (attributeTableEntry_t *entryP = contextP ? contextP->attributeTable : nullptr; entryP;
         entryP = entryP->nextP) {
        if (UCcmp(entryP->name, attributeName) == 0) {
            return entryP;
        }
    }
    return nullptr;
}

bool isHexDigit(CciChar unit) {
    return (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f') ||
           (unit >= u'A' && unit <= u'F');
}

terminalListEntry_t *insertTerminal(nodeContext_t *contextP, const CciChar *terminalName,
                                    bool input) {
    terminalListEntry_t *entryP =
        static_cast<terminalListEntry_t *>(calloc(1, sizeof(terminalListEntry_t)));
    if (!entryP) {
        return nullptr;
    }
    UCncpy(entryP->terminalName, terminalName ? terminalName : u"", TERMINAL_NAME_LENGTH - 1);
    int rc = 0;
    entryP->terminalObject =
        input ? cniCreateInputTerminal(&rc, contextP->nodeObject, entryP->terminalName)
              : cniCreateOutputTerminal(&rc, contextP->nodeObject, entryP->terminalName);
    terminalListEntry_t **headPP = input ? &contextP->inputTerminals : &contextP->outputTerminals;
    entryP->nextP = *headPP;
    *headPP = entryP;
    return entryP;
}

CciTerminal *findTerminal(const terminalListEntry_t *entryP, const CciChar *terminalName) {
    for (; entryP; entryP = entryP->nextP) {
        if (UCcmp(entryP->terminalName, terminalName) == 0) {
            return entryP->terminalObject;
        }
    }
    return nullptr;
}

} // namespace

/* ---- attribute table ------------------------------------------------------------ */

attributeTableEntry_t *insertAttributeTableEntry(nodeContext_t *contextP, const CciChar *nodeName,
                                                 int32_t isCustom, const CciChar *attributeName,
                                                 int32_t type) {
    TRACE_FUNCTION("insertAttributeTableEntry");
    TRACE_ENTRY("contextP=%.8x, nodeName=%S, attributeName=%S, type=%d", tracePtr(contextP),
                nodeName, attributeName, type);

    attributeTableEntry_t *entryP =
        static_cast<attributeTableEntry_t *>(calloc(1, sizeof(attributeTableEntry_t)));
    if (!entryP) {
        TRACE_EXIT_TYPE(1, "attributeTableEntry_t *", &entryP);
        return entryP;
    }
    entryP->type = type;
    entryP->isCustom = isCustom;

    size_t valueSize = 0;
    switch (type) {
    case ATTRIBUTE_TYPE_BOOL:
        valueSize = sizeof(int32_t);
        break;
    case ATTRIBUTE_TYPE_INTEGER:
        valueSize = ATTRIBUTE_INTEGER_VALUE_SIZE;
        break;
    case ATTRIBUTE_TYPE_BYTEARRAY:
        break;
    default:
        TRACE_ERROR_TEXT("Attribute type %d is not supported", type);
        free(entryP);
        entryP = nullptr;
        TRACE_EXIT_TYPE(2, "attributeTableEntry_t *", &entryP);
        return entryP;
    }
    if (valueSize) {
        entryP->valueP = calloc(1, valueSize);
        if (!entryP->valueP) {
            free(entryP);
            entryP = nullptr;
            TRACE_EXIT_TYPE(2, "attributeTableEntry_t *", &entryP);
            return entryP;
        }
    }

    UCncpy(entryP->name, attributeName ? attributeName : u"", ATTRIBUTE_NAME_LENGTH - 1);
    entryP->nextP = contextP->attributeTable;
    contextP->attributeTable = entryP;
    TRACE_EXIT_TYPE(3, "attributeTableEntry_t *", &entryP);
    return entryP;
}

void deleteAttributeTableEntries(nodeContext_t *contextP) {
    TRACE_FUNCTION("deleteAttributeTableEntries");
    TRACE_ENTRY("contextP=%.8x", tracePtr(contextP));

    attributeTableEntry_t *entryP = contextP ? contextP->attributeTable : nullptr;
    while (entryP) {
        TRACE_INFO_TEXT("processing table entry (%S) at %.8x", entryP->name, tracePtr(entryP));
        if (entryP->valueP) {
            TRACE_INFO_TEXT("Releasing storage for entry value at %.8x", tracePtr(entryP->valueP));
            free(entryP->valueP);
        }
        attributeTableEntry_t *nextP = entryP->nextP;
        TRACE_INFO_TEXT("Releasing storage for table entry at %.8x", tracePtr(entryP));
        free(entryP);
        entryP = nextP;
    }
    TRACE_EXIT_VOID(4);
}

int commonSetAttribute(nodeContext_t *contextP, const CciChar *attributeName,
                       const CciChar *attributeValue) {
    TRACE_FUNCTION("commonSetAttribute");
    TRACE_ENTRY("contextP=%.8x, attributeName=%S, attributeValue='%S'", tracePtr(contextP),
                attributeName, attributeValue);

    attributeTableEntry_t *entryP = findAttribute(contextP, attributeName);
    if (!entryP) {
        TRACE_EXIT_INT(30, CCI_ATTRIBUTE_UNKNOWN);
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    const CciChar *value = attributeValue ? attributeValue : P_NULL_STRING_VAL;
    TRACE_INFO_TEXT("Found matching entry at %.8x", tracePtr(entryP));

    switch (entryP->type) {
    case ATTRIBUTE_TYPE_BOOL:
        TRACE_INFO_TEXT("Type is CCI_VALUE_TYPE_BOOL");
        if (UCcmp(value, P_FALSE_VAL) == 0) {
            TRACE_INFO_TEXT("Value is 'false'");
            *static_cast<int32_t *>(entryP->valueP) = 0;
        } else {
            TRACE_INFO_TEXT("Value is 'true'");
            *static_cast<int32_t *>(entryP->valueP) = 1;
        }
        break;
    case ATTRIBUTE_TYPE_INTEGER:
        TRACE_INFO_TEXT("Type is CCI_VALUE_TYPE_INTEGER");
        // The value buffer holds 127 units: a longer text is refused rather than cut, so
        // the broker never reads back something other than what it set.
        if (UClen(value) > INTEGER_VALUE_UNITS) {
            TRACE_ERROR_TEXT("Value of %d characters does not fit the %d of the attribute",
                             UClen(value), INTEGER_VALUE_UNITS);
            TRACE_EXIT_INT(36, CCI_BUFFER_TOO_SMALL);
            return CCI_BUFFER_TOO_SMALL;
        }
        UCncpy(static_cast<CciChar *>(entryP->valueP), value, INTEGER_VALUE_UNITS);
        break;
    case ATTRIBUTE_TYPE_BYTEARRAY: {
        TRACE_INFO_TEXT("Type is CCI_VALUE_TYPE_BYTEARRAY");
        // Both copies are made before anything is replaced, so a storage shortage leaves
        // the attribute (and the label) as they were.
        bool isLabel = UCcmp(entryP->name, P_ATTR_LABEL_VAL) == 0;
        CciChar *copy = UCdup(value);
        CciChar *labelCopy = isLabel ? UCdup(value) : nullptr;
        if (!copy || (isLabel && !labelCopy)) {
            TRACE_ERROR_TEXT("Failed to allocate storage for entry value");
            free(copy);
            free(labelCopy);
            TRACE_EXIT_INT(37, CCI_FAILURE);
            return CCI_FAILURE;
        }
        if (entryP->valueP) {
            TRACE_INFO_TEXT("Releasing existing storage for entry value at %.8x",
                            tracePtr(entryP->valueP));
            free(entryP->valueP);
        }
        entryP->valueP = copy;
        if (isLabel) {
            free(contextP->label);
            contextP->label = labelCopy;
        }
        break;
    }
    default:
        break;
    }
    entryP->isSet = 1;
    TRACE_EXIT_INT(29, CCI_ATTRIBUTE_OK);
    return CCI_ATTRIBUTE_OK;
}

int getAttribute(CciContext *context, CciChar *attributeName, CciChar *buffer, int bufferSize) {
    TRACE_FUNCTION("getAttribute");
    nodeContext_t *contextP = static_cast<nodeContext_t *>(context);
    TRACE_ENTRY("contextP=%.8x, attributeName=%S, buffer=%.8x, bufsize=%d", tracePtr(contextP),
                attributeName, tracePtr(buffer), bufferSize);

    int result = CCI_ATTRIBUTE_UNKNOWN;
    attributeTableEntry_t *entryP = findAttribute(contextP, attributeName);
    if (!entryP) {
        TRACE_EXIT_TYPE(18, "int", &result);
        return result;
    }
    TRACE_INFO_TEXT("Found matching entry at %.8x", tracePtr(entryP));
    if (!entryP->isSet) {
        TRACE_INFO_TEXT("Value is not set");
        TRACE_EXIT_TYPE(15, "int", &result);
        return result;
    }

    const CciChar *value = nullptr;
    switch (entryP->type) {
    case ATTRIBUTE_TYPE_BYTEARRAY:
        TRACE_INFO_TEXT("Type is CCI_VALUE_TYPE_BYTEARRAY");
        value = static_cast<const CciChar *>(entryP->valueP);
        break;
    case ATTRIBUTE_TYPE_INTEGER:
        TRACE_INFO_TEXT("Type is CCI_VALUE_TYPE_INTEGER");
        value = static_cast<const CciChar *>(entryP->valueP);
        break;
    case ATTRIBUTE_TYPE_BOOL:
        TRACE_INFO_TEXT("Type is CCI_VALUE_TYPE_BOOL");
        value = *static_cast<int32_t *>(entryP->valueP) ? P_TRUE_VAL : P_FALSE_VAL;
        break;
    default:
        TRACE_ERROR_TEXT("Type not recognised");
        result = CCI_ATTRIBUTE_OK;
        TRACE_EXIT_TYPE(17, "int", &result);
        return result;
    }
    if (!value) {
        value = P_NULL_STRING_VAL;
    }
    // bufferSize counts units without the terminator: a value of exactly bufferSize units
    // is written with its terminator.
    if (!buffer || bufferSize < 0 || UClen(value) > bufferSize) {
        result = CCI_BUFFER_TOO_SMALL;
        TRACE_EXIT_TYPE(16, "int", &result);
        return result;
    }
    UCncpy(buffer, value, bufferSize);
    TRACE_INFO_TEXT("Value is '%S'", static_cast<const CciChar *>(buffer));
    result = CCI_ATTRIBUTE_OK;
    TRACE_EXIT_TYPE(17, "int", &result);
    return result;
}

int getAttributeName(CciContext *context, int index, CciChar *buffer, int bufferSize) {
    TRACE_FUNCTION("getAttributeName");
    nodeContext_t *contextP = static_cast<nodeContext_t *>(context);
    TRACE_ENTRY("contextP=%.8x, index=%d, buffer=%.8x, bufferSize=%d", tracePtr(contextP), index,
                tracePtr(buffer), bufferSize);

    int result = CCI_ATTRIBUTE_UNKNOWN;
    int count = 0;
    for (attributeTableEntry_t *entryP = contextP ? contextP->attributeTable : nullptr; entryP;
         entryP = entryP->nextP) {
        if (!entryP->isSet || !entryP->isCustom) {
            TRACE_INFO_TEXT("Ignoring unset or non-custom attribute name '%S'", entryP->name);
            continue;
        }
        if (count++ != index) {
            continue;
        }
        if (!buffer || bufferSize < 0 || UClen(entryP->name) > bufferSize) {
            TRACE_ERROR_TEXT("Name '%S' does not fit a buffer of %d", entryP->name, bufferSize);
            result = CCI_BUFFER_TOO_SMALL;
            TRACE_EXIT_TYPE(38, "int", &result);
            return result;
        }
        TRACE_INFO_TEXT("Returning name '%S'", entryP->name);
        UCncpy(buffer, entryP->name, bufferSize);
        result = CCI_ATTRIBUTE_OK;
        TRACE_EXIT_TYPE(31, "int", &result);
        return result;
    }
    TRACE_EXIT_TYPE(32, "int", &result);
    return result;
}

int getIntegerAttribute(nodeContext_t *contextP, const CciChar *attributeName, int32_t *valueP) {
    TRACE_FUNCTION("getIntegerAttribute");
    TRACE_ENTRY("contextP=%.8x, attributeName=%S", tracePtr(contextP), attributeName);

    CciChar work[TYPED_WORK_UNITS] = {};
    if (getAttribute(contextP, const_cast<CciChar *>(attributeName), work, TYPED_WORK_UNITS - 1) !=
        CCI_ATTRIBUTE_OK) {
        TRACE_ERROR_TEXT("attribute '%S' not found", attributeName);
        TRACE_EXIT_INT(19, TT_FAILED);
        return TT_FAILED;
    }
    *valueP = UCToInt(work);
    TRACE_INFO_TEXT("Returning value %d", *valueP);
    TRACE_EXIT_INT(20, TT_SUCCESS);
    return TT_SUCCESS;
}

int getBooleanAttribute(nodeContext_t *contextP, const CciChar *attributeName, bool_t *valueP) {
    TRACE_FUNCTION("getBooleanAttribute");
    TRACE_ENTRY("contextP=%.8x, attributeName=%S", tracePtr(contextP), attributeName);

    CciChar work[TYPED_WORK_UNITS] = {};
    if (getAttribute(contextP, const_cast<CciChar *>(attributeName), work, TYPED_WORK_UNITS - 1) !=
        CCI_ATTRIBUTE_OK) {
        TRACE_ERROR_TEXT("attribute '%S' not found", attributeName);
        TRACE_EXIT_INT(21, TT_FAILED);
        return TT_FAILED;
    }
    *valueP = UCcmp(work, P_TRUE_VAL) == 0 ? TRUE : FALSE;
    TRACE_INFO_TEXT("Returning value %s", *valueP ? "TRUE" : "FALSE");
    TRACE_EXIT_INT(22, TT_SUCCESS);
    return TT_SUCCESS;
}

int getStringAttribute(nodeContext_t *contextP, const CciChar *attributeName, int *bufferLengthP,
                       CciChar *buffer) {
    TRACE_FUNCTION("getStringAttribute");
    TRACE_ENTRY("contextP=%.8x, attributeName=%S, *bufferLengthP=%d", tracePtr(contextP),
                attributeName, *bufferLengthP);

    if (getAttribute(contextP, const_cast<CciChar *>(attributeName), buffer, *bufferLengthP) !=
        CCI_ATTRIBUTE_OK) {
        TRACE_ERROR_TEXT("attribute '%S' not found", attributeName);
        buffer[0] = 0;
        *bufferLengthP = 0;
        TRACE_EXIT_INT(23, TT_FAILED);
        return TT_FAILED;
    }
    *bufferLengthP = UClen(buffer);
    TRACE_INFO_TEXT("Returning string '%S'", static_cast<const CciChar *>(buffer));
    TRACE_EXIT_INT(24, TT_SUCCESS);
    return TT_SUCCESS;
}

int getHexAttribute(nodeContext_t *contextP, const CciChar *attributeName, int *bufferLengthP,
                    CciChar *buffer) {
    TRACE_FUNCTION("getHexAttribute");
    TRACE_ENTRY("contextP=%.8x, attributeName=%S, *bufferLengthP=%d", tracePtr(contextP),
                attributeName, *bufferLengthP);

    CciChar work[HEX_WORK_UNITS] = {};
    if (getAttribute(contextP, const_cast<CciChar *>(attributeName), work, HEX_WORK_UNITS - 1) !=
        CCI_ATTRIBUTE_OK) {
        TRACE_ERROR_TEXT("attribute '%S' not found", attributeName);
        buffer[0] = 0;
        *bufferLengthP = 0;
        TRACE_EXIT_INT(25, TT_FAILED);
        return TT_FAILED;
    }
    if (work[0] == 0) {
        buffer[0] = 0;
        *bufferLengthP = 0;
        TRACE_EXIT_INT(26, TT_SUCCESS);
        return TT_SUCCESS;
    }

    CciChar decoded[HEX_DECODED_UNITS] = {};
    int decodedLength = HEX_DECODED_UNITS * static_cast<int>(sizeof(CciChar));
    // The decoded text must also fit the caller's capacity; a cut value would be a
    // different name, so it fails instead, leaving the caller's buffer as it was.
    if (convertNameFromHex(work, &decodedLength, decoded) != TT_SUCCESS ||
        UClen(decoded) > *bufferLengthP) {
        TRACE_EXIT_INT(27, TT_FAILED);
        return TT_FAILED;
    }
    UCncpy(buffer, decoded, *bufferLengthP);
    *bufferLengthP = decodedLength;
    TRACE_INFO_TEXT("returning string length %d", decodedLength);
    TRACE_EXIT_INT(28, TT_SUCCESS);
    return TT_SUCCESS;
}

int convertNameFromHex(const CciChar *inHexString, int *bufferLengthP, CciChar *buffer) {
    TRACE_FUNCTION("convertNameFromHex");
    TRACE_ENTRY("inHexString=%S, bufferLength=%d, buffer=%.8x", inHexString, *bufferLengthP,
                tracePtr(buffer));

    // The length and the digits are checked on the wide text itself, before any
    // conversion: a converted copy cut at its buffer's end would hide both an over-long
    // value and the characters that follow the cut.
    int length = UClen(inHexString);
    TRACE_INFO_TEXT("Length of input string is %d", length);
    if (length > HEX_MAX_INPUT) {
        TRACE_ERROR_TEXT("Input string is too long");
        TRACE_EXIT_INT(33, TT_FAILED);
        return TT_FAILED;
    }
    for (int i = 0; i < length; ++i) {
        if (!isHexDigit(inHexString[i])) {
            TRACE_EXIT_INT(34, TT_FAILED);
            return TT_FAILED;
        }
    }

    char hexString[HEX_MAX_INPUT + 1] = {};
    if (length > 0) {
        UCToStr(inHexString, hexString, sizeof(hexString), nullptr);
    }

    TRACE_INFO_TEXT("Converting hex characters");
    char stringName[HEX_MAX_INPUT / 2 + 1] = {};
    int decodedLength = 0;
    for (int i = 0; i < length; i += 2) {
        char pair[3] = {hexString[i], i + 1 < length ? hexString[i + 1] : '\0', '\0'};
        upperCase(pair);
        TRACE_INFO_TEXT("Processing hexString '%s'", static_cast<const char *>(pair));
        unsigned value = 0;
        sscanf(pair, "%X", &value);
        stringName[decodedLength++] = static_cast<char>(value);
        TRACE_INFO_TEXT("Processed hexString '%s' to '%c'", static_cast<const char *>(pair),
                        static_cast<char>(value));
    }
    stringName[decodedLength] = '\0';
    TRACE_INFO_TEXT("Processed stringName is '%s'", static_cast<const char *>(stringName));
    TRACE_INFO_TEXT("Length of converted string is %d", decodedLength);

    strToUC(stringName, 0, buffer, nullptr);
    *bufferLengthP = decodedLength;
    TRACE_EXIT_INT(35, TT_SUCCESS);
    return TT_SUCCESS;
}

/* ---- terminal lists ------------------------------------------------------------- */

terminalListEntry_t *insertInputTerminalListEntry(nodeContext_t *contextP,
                                                  const CciChar *terminalName) {
    TRACE_FUNCTION("insertInputTerminalListEntry");
    TRACE_ENTRY("contextP=%.8x, terminalName=%S", tracePtr(contextP), terminalName);
    terminalListEntry_t *entryP = insertTerminal(contextP, terminalName, true);
    TRACE_EXIT_TYPE(entryP ? 6 : 5, "terminalListEntry_t *", &entryP);
    return entryP;
}

terminalListEntry_t *insertOutputTerminalListEntry(nodeContext_t *contextP,
                                                   const CciChar *terminalName) {
    TRACE_FUNCTION("insertOutputTerminalListEntry");
    TRACE_ENTRY("contextP=%.8x, terminalName=%S", tracePtr(contextP), terminalName);
    terminalListEntry_t *entryP = insertTerminal(contextP, terminalName, false);
    TRACE_EXIT_TYPE(entryP ? 8 : 7, "terminalListEntry_t *", &entryP);
    return entryP;
}

CciTerminal *getInputTerminalHandle(nodeContext_t *contextP, const CciChar *terminalName) {
    TRACE_FUNCTION("getInputTerminalHandle");
    TRACE_ENTRY("contextP=%.8x, terminalName=%S", tracePtr(contextP), terminalName);
    void *handle = findTerminal(contextP ? contextP->inputTerminals : nullptr, terminalName);
    TRACE_EXIT_TYPE(handle ? 11 : 12, "void *", &handle);
    return static_cast<CciTerminal *>(handle);
}

CciTerminal *getOutputTerminalHandle(nodeContext_t *contextP, const CciChar *terminalName) {
    TRACE_FUNCTION("getOutputTerminalHandle");
    TRACE_ENTRY("contextP=%.8x, terminalName=%S", tracePtr(contextP), terminalName);
    void *handle = findTerminal(contextP ? contextP->outputTerminals : nullptr, terminalName);
    TRACE_EXIT_TYPE(handle ? 13 : 14, "void *", &handle);
    return static_cast<CciTerminal *>(handle);
}

CciTerminal *outputTerminalForMessage(nodeContext_t *contextP, const CciChar *terminalName) {
    if (contextP != nullptr && contextP->terminalsResolved && !TRACE_ON(TRACE_ENTRY_EXIT)) {
        if (terminalName == TERM_OUT_VAL) {
            return contextP->outTerminal;
        }
        if (terminalName == TERM_NOT_FOUND_VAL) {
            return contextP->notFoundTerminal;
        }
        if (terminalName == TERM_FAILURE_VAL) {
            return contextP->failureTerminal;
        }
    }
    return getOutputTerminalHandle(contextP, terminalName);
}

void deleteAllTerminalListEntries(nodeContext_t *contextP) {
    TRACE_FUNCTION("deleteAllTerminalListEntries");
    TRACE_ENTRY("contextP=%.8x", tracePtr(contextP));
    if (contextP && contextP->inputTerminals) {
        TRACE_INFO_TEXT("Deleting input terminals");
        deleteTerminalListEntries(contextP->inputTerminals);
    }
    if (contextP && contextP->outputTerminals) {
        TRACE_INFO_TEXT("Deleting output terminals");
        deleteTerminalListEntries(contextP->outputTerminals);
    }
    TRACE_EXIT_VOID(9);
}

void deleteTerminalListEntries(terminalListEntry_t *anchorP) {
    TRACE_FUNCTION("deleteTerminalListEntries");
    TRACE_ENTRY("anchorP=%.8x", tracePtr(anchorP));
    while (anchorP) {
        TRACE_INFO_TEXT("processing entry '%S' at %.8x", anchorP->terminalName, tracePtr(anchorP));
        terminalListEntry_t *nextP = anchorP->nextP;
        free(anchorP);
        anchorP = nextP;
    }
    TRACE_EXIT_VOID(10);
}
