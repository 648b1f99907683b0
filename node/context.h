/*
 * What the node's set-up (node/trevane) and its per-message work (node/extractCode)
 * share: the node context record every operation receives, the instance list, the
 * node's vocabulary and the process-wide state that all node instances of the process
 * share. Defined in node/trevane.cpp.
 */
#ifndef TREVANE_NODE_CONTEXT_H
#define TREVANE_NODE_CONTEXT_H

#include <stdint.h>

#include "trevane/cni.h"
#include "trevane/threads.h"
#include "trevane/traceinit.h"
#include "trevane/types.h"
#include "utilities/registry.h"

typedef struct attributeTableEntry attributeTableEntry_t; /* plugin/plugin.h */
typedef struct terminalListEntry terminalListEntry_t;     /* plugin/plugin.h */

/* ---- records -------------------------------------------------------------------- */

/* A copy location that a newer CopyValueTo replaced. An evaluation that started before
   the replacement may still be reading it, so it stays with its instance entry until
   the node is deleted. */
typedef struct retiredCopyLocation {
    CciChar *copyLocation;
    struct retiredCopyLocation *next;
} retiredCopyLocation_t;

/* One node instance in the process-wide instance list. The anchor has the same shape
   and uses only `next`. */
typedef struct deployedTrevane {
    /* The node's validated CopyValueTo path (owned), or null until one is accepted.
       Replaced under initMutex and published atomically; evaluation reads it without a
       lock through currentCopyLocation(). */
    CciChar *copyLocation;
    struct deployedTrevane *next;   /* null at the end */
    struct deployedTrevane *prev;   /* the first entry points back to the anchor */
    retiredCopyLocation_t *retired; /* replaced copy locations, freed with the entry */
} deployedTrevane_t;

/* The per-instance record: created zero-filled by createNodeContext and handed back by
   the broker as the context of every node operation until deleteNodeContext. */
typedef struct nodeContext {
    CciNode *nodeObject;                   /* the broker's object for this node */
    attributeTableEntry_t *attributeTable; /* head of the attribute table */
    terminalListEntry_t *inputTerminals;   /* head of the input terminal list */
    terminalListEntry_t *outputTerminals;  /* head of the output terminal list */
    CciChar *nodeName;                     /* own copy of the class name; recognised class only */
    CciChar *label;                        /* own copy of the label attribute, or null */
    const CciChar *flowName;               /* borrowed from the flow's registry entry */
    int32_t nodeType;                      /* 1 for TrevaneNode, 0 otherwise */
    deployedTrevane_t *deployedEntry;      /* this node's entry in the instance list */
    /* The handles of the node's "out", "failure" and "notFound" as its output terminal
       list holds them (null for one the broker did not create), copied once the terminals
       are made, when terminalsResolved is set: the broker keeps a node's terminals for the
       node's whole life, so a message need not search the list for them. */
    CciTerminal *outTerminal;
    CciTerminal *failureTerminal;
    CciTerminal *notFoundTerminal;
    int32_t terminalsResolved;
} nodeContext_t;

/* The node module's vocabulary: 47 texts, then the path separator and the blank. */
typedef struct nodeVocabulary {
    const CciChar *pluginMessageCatalogue;
    const CciChar *trevaneNode;
    const CciChar *attrCopyValueTo;
    const CciChar *attrIncludeSeparators;
    const CciChar *attrIncludeSeparatorsDefaultValue;
    const CciChar *attrLabel;
    const CciChar *attrUserTraceLevel;
    const CciChar *attrTraceLevel;
    const CciChar *attrUserTraceFilter;
    const CciChar *attrTraceFilter;
    const CciChar *termIn;
    const CciChar *termOut;
    const CciChar *termFailure;
    const CciChar *termNotFound;
    const CciChar *root;
    const CciChar *rootDot;
    const CciChar *environment;
    const CciChar *blob;
    const CciChar *none;
    const CciChar *rootDotMqmdDot;
    const CciChar *rootDotPropertiesDot;
    const CciChar *rootDotXml;
    const CciChar *rootDotXmlDot;
    const CciChar *xml;
    const CciChar *format;
    const CciChar *nullString;
    const CciChar *nullLiteral;
    const CciChar *trueText;
    const CciChar *falseText;
    const CciChar *destination;
    const CciChar *mqDestinationList;
    const CciChar *destinationData;
    const CciChar *databaseException;
    const CciChar *insert;
    const CciChar *text;
    const CciChar *sqlstate;
    const CciChar *sqlstateEquals;
    const CciChar *mqmd;
    const CciChar *msgId;
    const CciChar *correlId;
    const CciChar *putApplName;
    const CciChar *replyToQ;
    const CciChar *replyToQMgr;
    const CciChar *queueManagerName;
    const CciChar *queueName;
    const CciChar *allNumbers;
    const CciChar *trevanePluginFactory;
    CciChar dot;   /* '.', splits paths */
    CciChar blank; /* ' ' */
} nodeVocabulary_t;

/* ---- process-wide state (one set per process, never freed) ---------------------- */

extern const nodeVocabulary_t C;

#define BROKER_NAME_SIZE 257
#define EXECUTION_GROUP_NAME_SIZE 257
#define QUEUE_MANAGER_NAME_SIZE 49

extern threadMutex_t initMutex; /* guards registry, instance list, count, copy locations */
extern int32_t currentPID;
extern char brokerName[BROKER_NAME_SIZE]; /* first insert of every log entry; empty until
                                              the first node context is created */
extern char executionGroupName[EXECUTION_GROUP_NAME_SIZE];
extern char queueManagerName[QUEUE_MANAGER_NAME_SIZE];
extern bool_t brokerInfoObtained;
extern messageFlow_t messageFlowAnchor;
extern deployedTrevane_t trevaneAnchor;
extern deployedTrevane_t *trevaneAnchorP; /* &trevaneAnchor */
extern int32_t numTrevaneNodes;
/* callersTraceEnvironmentVariable ("TREVANE_PLUGIN_TRACE", trevane/traceinit.h) is
   defined by this module too. */

/* The vocabulary by name: references into C. */
inline const CciChar *const &PLUGIN_MESSAGE_CATALOGUE_VAL = C.pluginMessageCatalogue;
inline const CciChar *const &TREVANE_NODE_VAL = C.trevaneNode;
inline const CciChar *const &ATTR_COPY_VALUE_TO_VAL = C.attrCopyValueTo;
inline const CciChar *const &ATTR_INCLUDE_SEPARATORS_VAL = C.attrIncludeSeparators;
inline const CciChar *const &ATTR_INCLUDE_SEPARATORS_DEFAULT_VALUE_VAL =
    C.attrIncludeSeparatorsDefaultValue;
inline const CciChar *const &ATTR_LABEL_VAL = C.attrLabel;
inline const CciChar *const &ATTR_USER_TRACE_LEVEL_VAL = C.attrUserTraceLevel;
inline const CciChar *const &ATTR_TRACE_LEVEL_VAL = C.attrTraceLevel;
inline const CciChar *const &ATTR_USER_TRACE_FILTER_VAL = C.attrUserTraceFilter;
inline const CciChar *const &ATTR_TRACE_FILTER_VAL = C.attrTraceFilter;
inline const CciChar *const &TERM_IN_VAL = C.termIn;
inline const CciChar *const &TERM_OUT_VAL = C.termOut;
inline const CciChar *const &TERM_FAILURE_VAL = C.termFailure;
inline const CciChar *const &TERM_NOT_FOUND_VAL = C.termNotFound;
inline const CciChar *const &ROOT_VAL = C.root;
inline const CciChar *const &ROOT_DOT_VAL = C.rootDot;
inline const CciChar *const &ENVIRONMENT_VAL = C.environment;
inline const CciChar *const &BLOB_VAL = C.blob;
inline const CciChar *const &NONE_VAL = C.none;
inline const CciChar *const &ROOT_DOT_MQMD_DOT_VAL = C.rootDotMqmdDot;
inline const CciChar *const &ROOT_DOT_PROPERTIES_DOT_VAL = C.rootDotPropertiesDot;
inline const CciChar *const &ROOT_DOT_XML_VAL = C.rootDotXml;
inline const CciChar *const &ROOT_DOT_XML_DOT_VAL = C.rootDotXmlDot;
inline const CciChar *const &XML_VAL = C.xml;
inline const CciChar *const &FORMAT_VAL = C.format;
inline const CciChar *const &NULL_STRING_VAL = C.nullString;
inline const CciChar *const &NULL_LITERAL_VAL = C.nullLiteral;
inline const CciChar *const &TRUE_C_VAL = C.trueText;
inline const CciChar *const &FALSE_C_VAL = C.falseText;
inline const CciChar *const &DESTINATION_VAL = C.destination;
inline const CciChar *const &MQ_DESTINATION_LIST_VAL = C.mqDestinationList;
inline const CciChar *const &DESTINATION_DATA_VAL = C.destinationData;
inline const CciChar *const &DATABASE_EXCEPTION_VAL = C.databaseException;
inline const CciChar *const &INSERT_VAL = C.insert;
inline const CciChar *const &TEXT_VAL = C.text;
inline const CciChar *const &SQLSTATE_VAL = C.sqlstate;
inline const CciChar *const &SQLSTATE_EQUALS_VAL = C.sqlstateEquals;
inline const CciChar *const &MQMD_VAL = C.mqmd;
inline const CciChar *const &MSG_ID_VAL = C.msgId;
inline const CciChar *const &CORREL_ID_VAL = C.correlId;
inline const CciChar *const &PUT_APPL_NAME_VAL = C.putApplName;
inline const CciChar *const &REPLY_TO_Q_VAL = C.replyToQ;
inline const CciChar *const &REPLY_TO_Q_MGR_VAL = C.replyToQMgr;
inline const CciChar *const &QUEUE_MANAGER_NAME_VAL = C.queueManagerName;
inline const CciChar *const &QUEUE_NAME_VAL = C.queueName;
inline const CciChar *const &ALL_NUMBERS_VAL = C.allNumbers;
inline const CciChar *const &TREVANE_PLUGIN_FACTORY_VAL = C.trevanePluginFactory;

/* The copy location in force at the moment of the call (acquire load), or null when
   none was accepted or entryP is null. The text stays valid until the node is deleted,
   even when a newer CopyValueTo replaces it meanwhile. */
inline const CciChar *currentCopyLocation(const deployedTrevane_t *entryP) {
    return entryP ? __atomic_load_n(&entryP->copyLocation, __ATOMIC_ACQUIRE) : nullptr;
}

#endif
