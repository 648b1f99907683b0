/*
 * The message-tree utilities' vocabulary: table U of the wide-string constants that
 * path location, message copy, MQMD access, value formatting and serialisation compare
 * element names and paths with. Defined once in vocabulary.cpp; read-only for the life
 * of the process. Each constant is also reachable by its own name (U_ROOT_VAL ...).
 */
#ifndef TREVANE_UTILITIES_VOCABULARY_H
#define TREVANE_UTILITIES_VOCABULARY_H

#include "trevane/cni.h"

typedef struct utilitiesVocabulary {
    const CciChar *destination;       /* "Destination" */
    const CciChar *mqDestinationList; /* "MQDestinationList" */
    const CciChar *destinationData;   /* "DestinationData" */
    const CciChar *mqmd;              /* "MQMD" */
    const CciChar *msgId;             /* "MsgId" */
    const CciChar *correlId;          /* "CorrelId" */
    const CciChar *putApplName;       /* "PutApplName" */
    const CciChar *replyToQ;          /* "ReplyToQ" */
    const CciChar *replyToQMgr;       /* "ReplyToQMgr" */
    const CciChar *nullString;        /* the empty text */
    const CciChar *root;              /* "Root" */
    const CciChar *environment;       /* "Environment" */
    const CciChar *xml;               /* "XML" */
    const CciChar *blob;              /* "BLOB" */
    const CciChar *none;              /* "none": the parser that makes a BLOB body */
    const CciChar *nullLiteral;       /* "null" */
    const CciChar *format;            /* "Format" */
    CciChar separator;                /* '.', between the segments of a dotted path */
} utilitiesVocabulary_t;

/* The table itself: 17 texts, then the path separator. */
extern const utilitiesVocabulary_t U;

/* The constants by name. Each is a reference into U, bound at load time. */
inline const CciChar *const &U_DESTINATION_VAL = U.destination;
inline const CciChar *const &U_MQ_DESTINATION_LIST_VAL = U.mqDestinationList;
inline const CciChar *const &U_DESTINATION_DATA_VAL = U.destinationData;
inline const CciChar *const &U_MQMD_VAL = U.mqmd;
inline const CciChar *const &U_MSG_ID_VAL = U.msgId;
inline const CciChar *const &U_CORREL_ID_VAL = U.correlId;
inline const CciChar *const &U_PUT_APPL_NAME_VAL = U.putApplName;
inline const CciChar *const &U_REPLY_TO_Q_VAL = U.replyToQ;
inline const CciChar *const &U_REPLY_TO_Q_MGR_VAL = U.replyToQMgr;
inline const CciChar *const &U_NULL_STRING_VAL = U.nullString;
inline const CciChar *const &U_ROOT_VAL = U.root;
inline const CciChar *const &U_ENVIRONMENT_VAL = U.environment;
inline const CciChar *const &U_XML_VAL = U.xml;
inline const CciChar *const &U_BLOB_VAL = U.blob;
inline const CciChar *const &U_NONE_VAL = U.none;
inline const CciChar *const &U_NULL_LITERAL_VAL = U.nullLiteral;
inline const CciChar *const &U_FORMAT_VAL = U.format;
inline const CciChar &U_SEPARATOR_CHAR = U.separator;

#endif
