/*
 * The TrevaneNode plug-in's node module: the library's entry point, the node class's
 * operations and the process-wide state of the node instances (see trevane.h).
 *
 * The broker calls bipGetMessageflowNodeFactory once after loading the library, then
 * the slots of the node-class table registered here: createNodeContext and
 * deleteNodeContext around each node instance's life, setAttribute while the flow's
 * properties are applied, getAttribute / getAttributeName (plugin/plugin), and
 * evaluate once per message. initMutex serialises the flow registry, the instance list
 * with its count and the replacement of copy locations; it is never held while an
 * exception is raised.
 */
#include "node/trevane.h"

#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <array>

#include "node/extractCode.h"
#include "plugin/plugin.h"
#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"

/* ---- process-wide state --------------------------------------------------------- */

const nodeVocabulary_t C = {
    u"OSTRINV2_trevane",
    u"TrevaneNode",
    u"CopyValueTo",
    u"IncludeSeparators",
    u"false",
    u"label",
    u"userTraceLevel",
    u"traceLevel",
    u"userTraceFilter",
    u"traceFilter",
    u"in",
    u"out",
    u"failure",
    u"notFound",
    u"Root",
    u"Root.",
    u"Environment",
    u"BLOB",
    u"none",
    u"Root.MQMD.",
    u"Root.Properties.",
    u"Root.XML",
    u"Root.XML.",
    u"XML",
    u"Format",
    u"",
    u"null",
    u"true",
    u"false",
    u"Destination",
    u"MQDestinationList",
    u"DestinationData",
    u"DatabaseException",
    u"Insert",
    u"Text",
    u"SQLSTATE",
    u"SQLSTATE=",
    u"MQMD",
    u"MsgId",
    u"CorrelId",
    u"PutApplName",
    u"ReplyToQ",
    u"ReplyToQMgr",
    u"queueManagerName",
    u"queueName",
    u"0123456789",
    u"TrevanePlugInFactory",
    u'.',
    u' ',
};
static_assert(offsetof(nodeVocabulary_t, dot) == 47 * sizeof(const CciChar *),
              "the vocabulary holds 47 texts before the two characters");

const char *callersTraceEnvironmentVariable = "TREVANE_PLUGIN_TRACE";

threadMutex_t initMutex = nullptr;
int32_t currentPID = 0;
char brokerName[BROKER_NAME_SIZE] = "";
char executionGroupName[EXECUTION_GROUP_NAME_SIZE] = "";
char queueManagerName[QUEUE_MANAGER_NAME_SIZE] = "";
bool_t brokerInfoObtained = FALSE;
messageFlow_t messageFlowAnchor = {nullptr, nullptr, nullptr};
deployedTrevane_t trevaneAnchor = {nullptr, nullptr, nullptr, nullptr};
deployedTrevane_t *trevaneAnchorP = &trevaneAnchor;
int32_t numTrevaneNodes = 0;

namespace {

constexpr const char SOURCE_FILE[] = "trevane.cpp";
constexpr const char HYPHEN_LINE[] = "<------------------------------------------------------>";
constexpr const char EQUALS_LINE[] = "<===========================>";
constexpr const char GREATER_LINE[] = ">>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>>";
static_assert(sizeof(HYPHEN_LINE) == 54 + 3, "a less-than sign, 54 hyphens, a greater-than sign");
static_assert(sizeof(GREATER_LINE) == 37 + 1, "37 greater-than signs");

constexpr int BROKER_INFO_BUFFER_BYTES = 300;
constexpr int BROKER_INFO_BUFFER_UNITS = BROKER_INFO_BUFFER_BYTES / sizeof(CciChar);
constexpr int FLOW_NAME_SIZE = 257;
constexpr int COPY_VALUE_TO_CAPACITY = 256;

CNI_VFT nodeClassTable = CNI_VFT_DEFAULT;

/* Holds initMutex for a scope; unlock() releases it early, before an exception is
   raised. */
class InitMutexHold {
public:
    InitMutexHold() { threadMutexLock(initMutex); }
    ~InitMutexHold() { unlock(); }
    InitMutexHold(const InitMutexHold &) = delete;
    InitMutexHold &operator=(const InitMutexHold &) = delete;
    void unlock() {
        if (held_) {
            held_ = false;
            threadMutexUnlock(initMutex);
        }
    }

private:
    bool held_ = true;
};

/* The four zero-filled 300-byte buffers of the broker-information record, freed when
   the holder goes. */
struct BrokerInfoBuffers {
    CNI_BROKER_INFO_ST info = CNI_BROKER_INFO_DEFAULT;
    bool complete = false;

    BrokerInfoBuffers() {
        complete = true;
        for (CciStringArea *area : areas()) {
            area->buffer = static_cast<CciChar *>(calloc(1, BROKER_INFO_BUFFER_BYTES));
            area->bufferLength = BROKER_INFO_BUFFER_BYTES;
            complete = complete && area->buffer;
        }
    }
    ~BrokerInfoBuffers() { release(); }
    BrokerInfoBuffers(const BrokerInfoBuffers &) = delete;
    BrokerInfoBuffers &operator=(const BrokerInfoBuffers &) = delete;

    void release() {
        for (CciStringArea *area : areas()) {
            free(area->buffer);
            area->buffer = nullptr;
        }
    }
    /* The broker terminates a text only when it fits; every text is read as
       terminated. */
    void terminate() {
        for (CciStringArea *area : areas()) {
            area->buffer[BROKER_INFO_BUFFER_UNITS - 1] = 0;
        }
    }
    std::array<CciStringArea *, 4> areas() {
        return {&info.brokerName, &info.executionGroupName, &info.messageFlowName,
                &info.queueManagerName};
    }
};

const CciChar *orEmpty(const CciChar *text) {
    return text ? text : NULL_STRING_VAL;
}

/* Frees a context and everything hanging from it that is not linked elsewhere. */
void releaseContext(nodeContext_t *contextP) {
    deleteAttributeTableEntries(contextP);
    deleteAllTerminalListEntries(contextP);
    free(contextP->nodeName);
    free(contextP->label);
    free(contextP);
}

/* XML's name characters (its NameStartChar and NameChar productions); the path's
   separator '.' is left out, since it cannot be part of a segment. */
bool isNameStartCharacter(char32_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool isNameCharacter(char32_t c) {
    return isNameStartCharacter(c) || c == '-' || (c >= '0' && c <= '9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

} // namespace

bool isValidCopyLocation(const CciChar *value, int length) {
    constexpr int ROOT_DOT_UNITS = 5;
    if (value == nullptr || length <= ROOT_DOT_UNITS || length > COPY_VALUE_TO_CAPACITY ||
        UCncmp(value, ROOT_DOT_VAL, ROOT_DOT_UNITS) != 0 || UCcmp(value, ROOT_DOT_XML_VAL) == 0 ||
        UCcmp(value, ROOT_DOT_XML_DOT_VAL) == 0) {
        return false;
    }
    // Every segment after "Root." must be a name an XML element can have: none empty,
    // no wildcards, indexes or markup, and no character that stood for bytes which were
    // not UTF-8 (U+FFFD) or half of a surrogate pair.
    bool segmentStart = true;
    for (int i = ROOT_DOT_UNITS; i < length; ++i) {
        char32_t c = value[i];
        if (c == C.dot) {
            if (segmentStart) {
                return false;
            }
            segmentStart = true;
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && value[i + 1] >= 0xDC00 &&
            value[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (value[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            return false;
        }
        if (c == 0xFFFD || !(segmentStart ? isNameStartCharacter(c) : isNameCharacter(c))) {
            return false;
        }
        segmentStart = false;
    }
    return !segmentStart;
}

namespace {

/* Makes `value` the entry's copy location. The location it replaces may still be read by
   an evaluation of this node, so it moves to the entry's retired list instead of being
   freed. Storage for both is taken first: on a shortage the previous location stays. */
bool replaceCopyLocation(deployedTrevane_t *entryP, const CciChar *value) {
    CciChar *previous = entryP->copyLocation;
    CciChar *copy = UCdup(value);
    retiredCopyLocation_t *retiredP =
        previous ? static_cast<retiredCopyLocation_t *>(calloc(1, sizeof(retiredCopyLocation_t)))
                 : nullptr;
    if (!copy || (previous && !retiredP)) {
        free(copy);
        free(retiredP);
        return false;
    }
    if (retiredP) {
        retiredP->copyLocation = previous;
        retiredP->next = entryP->retired;
        entryP->retired = retiredP;
    }
    __atomic_store_n(&entryP->copyLocation, copy, __ATOMIC_RELEASE);
    return true;
}

void freeRetiredCopyLocations(deployedTrevane_t *entryP) {
    for (retiredCopyLocation_t *retiredP = entryP->retired; retiredP;) {
        retiredCopyLocation_t *nextP = retiredP->next;
        free(retiredP->copyLocation);
        free(retiredP);
        retiredP = nextP;
    }
    entryP->retired = nullptr;
}

} // namespace

/* ---- entry point ---------------------------------------------------------------- */

void *bipGetMessageflowNodeFactory(void) {
    TRACE_FUNCTION("bipGetMessageflowNodeFactory");
    TRACE_ENTRY("void");

    currentPID = static_cast<int32_t>(getpid());
    TRACE_INFO_TEXT("%s", HYPHEN_LINE);
    TRACE_INFO_TEXT("<**** Start of trevane deployment (pid=%d) ****>", currentPID);
    TRACE_INFO_TEXT("%s", HYPHEN_LINE);

    int rc = 0;
    TRACE_INFO_TEXT("About to create initMutex");
    // A second call in the same process keeps the lock that live nodes may be using.
    if (!initMutex && threadCreateMutex(FALSE, &initMutex) != 0) {
        char text[200];
        snprintf(text, sizeof(text), "Trevane Plugin Factory failed to create resource %s",
                 "initMutex");
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, SOURCE_FILE, __LINE__,
                          "bipGetMessageflowNodeFactory()", PLUGIN_MESSAGE_CATALOGUE_VAL, 3, text,
                          brokerName, "TrevanePlugInFactory", "initMutex",
                          static_cast<const char *>(nullptr));
    }

    nodeClassTable.iFpCreateContext = createNodeContext;
    nodeClassTable.iFpDeleteContext = deleteNodeContext;
    nodeClassTable.iFpGetAttributeName = getAttributeName;
    nodeClassTable.iFpSetAttribute = setAttribute;
    nodeClassTable.iFpGetAttribute = getAttribute;
    nodeClassTable.iFpEvaluate = evaluate;

    CciFactory *factoryObject = cniCreateNodeFactory(&rc, TREVANE_PLUGIN_FACTORY_VAL);
    if (!factoryObject) {
        if (rc == CCI_EXCEPTION) {
            CCI_EXCEPTION_ST exceptionData = CCI_EXCEPTION_ST_DEFAULT;
            cciGetLastExceptionData(&rc, &exceptionData);
            cciRethrowLastException(nullptr);
        }
        return nullptr;
    }

    cniDefineNodeClass(&rc, factoryObject, TREVANE_NODE_VAL, &nodeClassTable);
    if (rc != CCI_SUCCESS) {
        TRACE_ERROR_TEXT("Failed to create TrevaneNode node (cniDefineNodeClass rc=%d)", rc);
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, SOURCE_FILE, __LINE__,
                          "bipGetMessageflowNodeFactory()", PLUGIN_MESSAGE_CATALOGUE_VAL, 2,
                          "Trevane Plugin Factory failed to create TrevaneNode node", brokerName,
                          "TrevanePlugInFactory", "TrevaneNode",
                          static_cast<const char *>(nullptr));
    }

    TRACE_INFO_TEXT("About to issue cciLog success message");
    cciLog(&rc, CCI_LOG_INFORMATION, SOURCE_FILE, __LINE__, "bipGetMessageflowNodeFactory()",
           PLUGIN_MESSAGE_CATALOGUE_VAL, 10, "Trevane Plugin Factory loading",
           "TrevanePlugInFactory", static_cast<const char *>(nullptr));

    void *result = factoryObject;
    TRACE_EXIT_TYPE(21, "void *", &result);
    return result;
}

/* ---- node instances ------------------------------------------------------------- */

CciContext *createNodeContext(CciFactory *factoryObject, CciChar *nodeName, CciNode *nodeObject) {
    TRACE_FUNCTION("createNodeContext");
    TRACE_ENTRY("factoryObject=%.8x, nodeName=%S, nodeObject=%.8x", tracePtr(factoryObject),
                static_cast<const CciChar *>(nodeName), tracePtr(nodeObject));
    void *result = nullptr;

    BrokerInfoBuffers brokerInfo;
    if (!brokerInfo.complete) {
        TRACE_ERROR_TEXT("Failed to allocate storage for the broker information");
        TRACE_EXIT_TYPE(22, "void *", &result);
        return nullptr;
    }
    TRACE_INFO_TEXT("About to call cniGetBrokerInfo");
    cniGetBrokerInfo(nullptr, nodeObject, &brokerInfo.info);
    brokerInfo.terminate();

    char messageFlowName8[FLOW_NAME_SIZE];
    ucFormat(messageFlowName8, sizeof(messageFlowName8), "%S",
             static_cast<const CciChar *>(brokerInfo.info.messageFlowName.buffer));
    TRACE_INFO_TEXT("Extracted messageFlowName is '%s'",
                    static_cast<const char *>(messageFlowName8));
    CciChar messageFlowName[FLOW_NAME_SIZE];
    UCncpy(messageFlowName, brokerInfo.info.messageFlowName.buffer, FLOW_NAME_SIZE - 1);

    messageFlow_t *flowP = nullptr;
    {
        InitMutexHold hold;
        flowP = findMessageFlow(messageFlowName, &messageFlowAnchor);
        if (!flowP) {
            flowP = addMessageFlow(messageFlowName, &messageFlowAnchor);
        }
    }
    if (!flowP) {
        TRACE_ERROR_TEXT("Failed to register message flow '%s'",
                         static_cast<const char *>(messageFlowName8));
        TRACE_EXIT_TYPE(22, "void *", &result);
        return nullptr;
    }
    TRACE_INFO_TEXT("Current messageFlow entry at %.8x", tracePtr(flowP));

    {
        // Filled once per process; two first nodes created at once must not both write.
        InitMutexHold hold;
        if (!brokerInfoObtained) {
            ucFormat(brokerName, sizeof(brokerName), "%S",
                     static_cast<const CciChar *>(brokerInfo.info.brokerName.buffer));
            TRACE_INFO_TEXT("Extracted brokerName is '%s'", static_cast<const char *>(brokerName));
            ucFormat(executionGroupName, sizeof(executionGroupName), "%S",
                     static_cast<const CciChar *>(brokerInfo.info.executionGroupName.buffer));
            TRACE_INFO_TEXT("Extracted executionGroupName is '%s'",
                            static_cast<const char *>(executionGroupName));
            ucFormat(queueManagerName, sizeof(queueManagerName), "%S",
                     static_cast<const CciChar *>(brokerInfo.info.queueManagerName.buffer));
            TRACE_INFO_TEXT("Extracted queueManagerName is '%s'",
                            static_cast<const char *>(queueManagerName));
            brokerInfoObtained = TRUE;
        }
    }
    brokerInfo.release();

    nodeContext_t *contextP = static_cast<nodeContext_t *>(calloc(1, sizeof(nodeContext_t)));
    if (!contextP) {
        TRACE_EXIT_TYPE(22, "void *", &result);
        return nullptr;
    }
    TRACE_INFO_TEXT("Context structure allocated at %.8x", tracePtr(contextP));
    contextP->nodeObject = nodeObject;
    contextP->flowName = flowP->flowName;

    TRACE_INFO_TEXT("%s", EQUALS_LINE);
    TRACE_INFO_TEXT("%S node current", orEmpty(nodeName));
    TRACE_INFO_TEXT("%s", EQUALS_LINE);

    if (UCcmp(nodeName, TREVANE_NODE_VAL) != 0) {
        TRACE_ERROR_TEXT("Unrecognised node");
        releaseContext(contextP);
        char text[200];
        ucFormat(text, sizeof(text), "Unrecognised node ('%S') passed to createContext()",
                 orEmpty(nodeName));
        char nodeInsert[100];
        ucFormat(nodeInsert, sizeof(nodeInsert), "'%S'", orEmpty(nodeName));
        int rc = 0;
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, SOURCE_FILE, __LINE__,
                          "createNodeContext()", PLUGIN_MESSAGE_CATALOGUE_VAL, 5, text, brokerName,
                          nodeInsert, static_cast<const char *>(nullptr));
    }

    contextP->nodeType = 1;
    contextP->nodeName = UCdup(nodeName);
    deployedTrevane_t *entryP =
        static_cast<deployedTrevane_t *>(calloc(1, sizeof(deployedTrevane_t)));
    if (!contextP->nodeName || !entryP) {
        TRACE_ERROR_TEXT("Failed to allocate storage for the node instance");
        free(entryP);
        releaseContext(contextP);
        TRACE_EXIT_TYPE(22, "void *", &result);
        return nullptr;
    }

    insertAttributeTableEntry(contextP, nodeName, 1, ATTR_COPY_VALUE_TO_VAL,
                              ATTRIBUTE_TYPE_BYTEARRAY);
    insertAttributeTableEntry(contextP, nodeName, 0, ATTR_LABEL_VAL, ATTRIBUTE_TYPE_BYTEARRAY);
    insertAttributeTableEntry(contextP, nodeName, 0, ATTR_USER_TRACE_LEVEL_VAL,
                              ATTRIBUTE_TYPE_BYTEARRAY);
    insertAttributeTableEntry(contextP, nodeName, 0, ATTR_TRACE_LEVEL_VAL,
                              ATTRIBUTE_TYPE_BYTEARRAY);
    insertAttributeTableEntry(contextP, nodeName, 0, ATTR_USER_TRACE_FILTER_VAL,
                              ATTRIBUTE_TYPE_BYTEARRAY);
    insertAttributeTableEntry(contextP, nodeName, 0, ATTR_TRACE_FILTER_VAL,
                              ATTRIBUTE_TYPE_BYTEARRAY);

    insertInputTerminalListEntry(contextP, TERM_IN_VAL);
    contextP->outTerminal = terminalObjectOf(insertOutputTerminalListEntry(contextP, TERM_OUT_VAL));
    contextP->failureTerminal =
        terminalObjectOf(insertOutputTerminalListEntry(contextP, TERM_FAILURE_VAL));
    contextP->notFoundTerminal =
        terminalObjectOf(insertOutputTerminalListEntry(contextP, TERM_NOT_FOUND_VAL));
    contextP->terminalsResolved = 1;

    {
        InitMutexHold hold;
        entryP->next = trevaneAnchorP->next;
        entryP->prev = trevaneAnchorP;
        if (trevaneAnchorP->next) {
            trevaneAnchorP->next->prev = entryP;
        }
        trevaneAnchorP->next = entryP;
        contextP->deployedEntry = entryP;
        ++numTrevaneNodes;
        TRACE_INFO_TEXT("Global count of Trevane nodes incremented to %d", numTrevaneNodes);
    }

    result = contextP;
    TRACE_EXIT_TYPE(8, "void *", &result);
    return contextP;
}

int setAttribute(CciContext *context, CciChar *attributeName, CciChar *attributeValue) {
    TRACE_FUNCTION("setAttribute");
    nodeContext_t *contextP = static_cast<nodeContext_t *>(context);
    TRACE_ENTRY("dataP=%.8x, attributeName=%S, attributeValue='%S'", tracePtr(contextP),
                static_cast<const CciChar *>(attributeName),
                static_cast<const CciChar *>(attributeValue));

    int result = commonSetAttribute(contextP, attributeName, attributeValue);
    if (result != CCI_ATTRIBUTE_OK) {
        TRACE_EXIT_TYPE(11, "int", &result);
        return result;
    }
    processAttribute(contextP, attributeName, attributeValue);
    TRACE_EXIT_TYPE(12, "int", &result);
    return result;
}

int processAttribute(nodeContext_t *contextP, const CciChar *attributeName,
                     const CciChar *attributeValue) {
    TRACE_FUNCTION("processAttribute");
    TRACE_ENTRY("contextP=%.8x, attributeName=%S, attributeValue='%S'", tracePtr(contextP),
                attributeName, attributeValue);

    TRACE_INFO_TEXT("About to lock initMutex");
    InitMutexHold hold;

    CciChar value[COPY_VALUE_TO_CAPACITY + 1];
    int length = COPY_VALUE_TO_CAPACITY;
    // A value longer than the node can use fails to read back and is refused like any
    // other unusable path; the previous copy location stays in force.
    if (contextP->nodeType == 1 && UCcmp(attributeName, ATTR_COPY_VALUE_TO_VAL) == 0) {
        const bool readBack =
            getStringAttribute(contextP, ATTR_COPY_VALUE_TO_VAL, &length, value) == TT_SUCCESS;
        if (readBack && isValidCopyLocation(value, length)) {
            TRACE_INFO_TEXT("Copying syntax element path '%S' to deployed trevane",
                            static_cast<const CciChar *>(value));
            if (!replaceCopyLocation(contextP->deployedEntry, value)) {
                TRACE_ERROR_TEXT("Failed to allocate storage for the copy location; the "
                                 "previous one stays in force");
            }
        } else {
            TRACE_INFO_TEXT("Invalid value specified for %s attribute", "CopyValueTo");
            const CciChar *labelText = contextP->label ? contextP->label : NULL_LITERAL_VAL;
            char text[2000];
            ucFormat(text, sizeof(text),
                     "The syntax element name specified in the %S property of node %S(%S) is "
                     "invalid. Valid names must begin with 'Root.' or 'Root.XML.'",
                     ATTR_COPY_VALUE_TO_VAL, orEmpty(contextP->nodeName), labelText);
            TRACE_ERROR_TEXT("%s", static_cast<const char *>(text));
            char attributeInsert[100];
            ucFormat(attributeInsert, sizeof(attributeInsert), "%S", ATTR_COPY_VALUE_TO_VAL);
            char nodeInsert[1000];
            ucFormat(nodeInsert, sizeof(nodeInsert), "%S(%S)", orEmpty(contextP->nodeName),
                     labelText);
            hold.unlock();
            TraceSetIndentationValue(0);
            cciThrowException(nullptr, CCI_CONVERSION_EXCEPTION, SOURCE_FILE, __LINE__,
                              "processAttribute", PLUGIN_MESSAGE_CATALOGUE_VAL, 12, text,
                              brokerName, attributeInsert, nodeInsert,
                              static_cast<const char *>(nullptr));
        }
    }

    TRACE_INFO_TEXT("About to unlock initMutex");
    hold.unlock();
    TRACE_EXIT_INT(13, TT_SUCCESS);
    return TT_SUCCESS;
}

void deleteNodeContext(CciContext *context) {
    TRACE_FUNCTION("deleteNodeContext");
    nodeContext_t *contextP = static_cast<nodeContext_t *>(context);
    TRACE_ENTRY("dataP=%.8x", tracePtr(contextP));
    if (!contextP) {
        TRACE_EXIT_VOID(9);
        return;
    }

    TRACE_INFO_TEXT("About to lock initMutex");
    {
        InitMutexHold hold;
        deployedTrevane_t *entryP = contextP->deployedEntry;
        if (contextP->nodeType == 1 && entryP) {
            TRACE_INFO_TEXT("Processing deployed trevane at %.8x", tracePtr(entryP));
            entryP->prev->next = entryP->next;
            if (entryP->next) {
                entryP->next->prev = entryP->prev;
            }
            if (entryP->copyLocation) {
                TRACE_INFO_TEXT("Freeing deployed trevane copy location name");
                free(entryP->copyLocation);
            }
            freeRetiredCopyLocations(entryP);
            unsigned entryAddress = tracePtr(entryP);
            free(entryP);
            TRACE_INFO_TEXT("Freeing deployed trevane at %.8x", entryAddress);
            contextP->deployedEntry = nullptr;
            --numTrevaneNodes;
            TRACE_INFO_TEXT("Number of trevane nodes decremented to %d", numTrevaneNodes);
        }
        TRACE_INFO_TEXT("About to unlock initMutex");
    }

    deleteAttributeTableEntries(contextP);
    deleteAllTerminalListEntries(contextP);

    // A label the broker never set reads "null", as in the CopyValueTo exception.
    char labelText[257] = "";
    if (!UCToStr(contextP->label ? contextP->label : NULL_LITERAL_VAL, labelText, sizeof(labelText),
                 nullptr)) {
        labelText[0] = '\0';
    }
    const char *classText = contextP->nodeType == 1 ? "TrevaneNode" : "";

    free(contextP->nodeName);
    free(contextP->label);
    free(contextP);

    char text[1000];
    snprintf(text, sizeof(text), "Successfully deleted node context for %s (%s)", classText,
             labelText);
    TRACE_INFO_TEXT("%s", static_cast<const char *>(text));
    int rc = 0;
    cciLog(&rc, CCI_LOG_INFORMATION, SOURCE_FILE, __LINE__, "deleteNodeContext()",
           PLUGIN_MESSAGE_CATALOGUE_VAL, 9, text, brokerName, classText,
           static_cast<const char *>(labelText), static_cast<const char *>(nullptr));
    TRACE_EXIT_VOID(9);
}

/* ---- evaluation ----------------------------------------------------------------- */

void evaluate(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
              CciMessage *message) {
    TRACE_FUNCTION("evaluate");
    nodeContext_t *contextP = static_cast<nodeContext_t *>(context);
    TRACE_ENTRY("dataP=%.8x, destinationList=%.8x, exceptionList=%.8x, message=%.8x",
                tracePtr(contextP), tracePtr(destinationList), tracePtr(exceptionList),
                tracePtr(message));

    const CciChar *nodeName = contextP ? contextP->nodeName : nullptr;
    TRACE_INFO_TEXT("nodeName='%S'", orEmpty(nodeName));
    /* A context createNodeContext made for TrevaneNode says so in nodeType; the name is
       compared only for any other. */
    const bool recognised =
        (contextP && contextP->nodeType == 1) || UCcmp(nodeName, TREVANE_NODE_VAL) == 0;
    if (!recognised) {
        TRACE_ERROR_TEXT("Unrecognised node");
        char text[200];
        ucFormat(text, sizeof(text), "Unrecognised node ('%S') passed to evaluate()",
                 orEmpty(nodeName));
        char nodeInsert[100];
        ucFormat(nodeInsert, sizeof(nodeInsert), "'%S'", orEmpty(nodeName));
        int rc = 0;
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, SOURCE_FILE, __LINE__, "evaluate",
                          PLUGIN_MESSAGE_CATALOGUE_VAL, 4, text, brokerName, nodeInsert,
                          static_cast<const char *>(nullptr));
    }

    TRACE_INFO_TEXT("%s", GREATER_LINE);
    TRACE_INFO_TEXT(">>>>>>>>>>>  Trevane  >>>>>>>>>>>>");
    TRACE_INFO_TEXT("%s", GREATER_LINE);
    int rc = evaluateTrevane(contextP, destinationList, exceptionList, message);
    (void)rc; // the broker's evaluate slot returns nothing; the result shows in the trace
    TRACE_EXIT_VOID(16);
}
