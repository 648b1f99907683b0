/*
 * The broker's node plug-in interface: everything a plug-in may ask of the broker.
 *
 * A plug-in includes this header and nothing else of the broker. The stand-in broker
 * (libcnibroker.so) implements every call declared here with C linkage; plug-ins and
 * the broker's own built-in nodes reach each other only through these calls and the
 * node-class table below.
 *
 * Conventions of every call:
 *  - The first argument is `int *returnCode`: 0 is success, CCI_EXCEPTION (0x40) means
 *    an exception is pending (read it with cciGetLastExceptionData). Calls that
 *    document it accept a null returnCode.
 *  - Handles are opaque pointers; null means none or failure. A null handle argument
 *    gives a non-zero return code and a null / zero result, never a crash.
 *  - Lengths given to text getters (cniElementName, cniElementCharacterValue,
 *    cniElementDecimalValue) are buffer sizes in bytes. They return the number of
 *    characters the value needs including its terminator, in full even when the
 *    buffer is too short; they then write what fits, terminated. An element without
 *    a name reports 1.
 *  - Array getters take a descriptor (area, size in bytes), copy what fits and return
 *    the full byte count. Setters take a length in characters (texts) or bytes
 *    (arrays).
 */
#ifndef TREVANE_CNI_H
#define TREVANE_CNI_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <uchar.h> /* char16_t of a C program */
#endif

/* Functions that do not return: the C++ attribute, or C11's keyword. */
#if defined(__cplusplus)
#define CCI_NORETURN [[noreturn]]
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define CCI_NORETURN _Noreturn
#else
#define CCI_NORETURN
#endif

/* ---- basic types ---------------------------------------------------------------- */

typedef char16_t CciChar; /* the broker's 16-bit character */
typedef uint8_t CciByte;
typedef int32_t CciBool;
typedef int64_t CciInt;
typedef double CciReal;
typedef int32_t CciSize;
typedef int32_t CciElementType;
typedef int32_t CciValueType;

/* Opaque handles. */
typedef struct CciElement CciElement;
typedef struct CciMessage CciMessage;
typedef struct CciMessageContext CciMessageContext;
typedef struct CciNode CciNode;
typedef struct CciTerminal CciTerminal;
typedef struct CciFactory CciFactory;
typedef void CciContext; /* a node's own context, owned by the node */

/* ---- result codes --------------------------------------------------------------- */

#define CCI_SUCCESS 0
#define CCI_FAILURE 1          /* a generic failure (bad handle, impossible request) */
#define CCI_INV_DATA_POINTER 2 /* a null pointer where data was required */
#define CCI_INV_OBJECT 3       /* a handle that does not name a live object */
#define CCI_INV_PARSER 4       /* an unknown parser name */
#define CCI_CONVERSION 5       /* a text could not be converted */
#define CCI_NO_SUCH_ITEM 6     /* a named item does not exist */
#define CCI_EXCEPTION 0x40     /* an exception is pending for this thread */

/* Codes the attribute slots answer the broker with. */
#define CCI_ATTRIBUTE_OK 0
#define CCI_BUFFER_TOO_SMALL 22
#define CCI_ATTRIBUTE_UNKNOWN 65

/* ---- element and value types ---------------------------------------------------- */

#define CCI_ELEMENT_TYPE_UNKNOWN 0x00000000
#define CCI_ELEMENT_TYPE_NAME 0x01000000
#define CCI_ELEMENT_TYPE_VALUE 0x02000000
#define CCI_ELEMENT_TYPE_NAME_VALUE 0x03000000
#define CCI_ELEMENT_TYPE_XML_BODY 0x01000010
#define CCI_ELEMENT_TYPE_DTD_HEADER 0x05000018
#define CCI_ELEMENT_TYPE_XML_ATTRIBUTE 0x03000100
#define CCI_ELEMENT_TYPE_XML_COMMENT 0x02000400 /* an XML comment: its text as the value */
#define CCI_ELEMENT_TYPE_XML_PI 0x03000401      /* an XML processing instruction: target, data */

#define CCI_VALUE_TYPE_NONE 0 /* the element carries no value */
#define CCI_VALUE_TYPE_BOOL 1
#define CCI_VALUE_TYPE_INTEGER 2
#define CCI_VALUE_TYPE_REAL 3
#define CCI_VALUE_TYPE_DECIMAL 4
#define CCI_VALUE_TYPE_CHAR 5
#define CCI_VALUE_TYPE_TIME 6
#define CCI_VALUE_TYPE_GMTTIME 7
#define CCI_VALUE_TYPE_DATE 8
#define CCI_VALUE_TYPE_TIMESTAMP 9
#define CCI_VALUE_TYPE_GMTTIMESTAMP 10
#define CCI_VALUE_TYPE_BYTEARRAY 12
#define CCI_VALUE_TYPE_BITARRAY 13

/* Search compare mode: a child whose name equals the given name exactly and whose
   type's top byte contains every bit of the requested type's top byte. A search for
   NAME therefore finds any named element (NAME, NAME_VALUE, an XML body, an
   attribute); a search for NAME_VALUE finds only elements that carry a value. */
#define CCI_COMPARE_MODE_NAME_TYPE 4

/* ---- value records -------------------------------------------------------------- */

typedef struct CciTime {
    int32_t hour;
    int32_t minute;
    float seconds;
} CciTime;

typedef struct CciDate {
    int32_t year;
    int32_t month;
    int32_t day;
} CciDate;

typedef struct CciTimestamp {
    CciDate date;
    CciTime time;
} CciTimestamp;

/* An area for an array value: getters fill `pointer` up to `size` bytes; setters read
   `size` bytes from it. A bit array is delivered as its bytes. */
typedef struct CciByteArray {
    CciByte *pointer;
    CciSize size;
} CciByteArray;

typedef struct CciBitArray {
    CciByte *pointer;
    CciSize size;
} CciBitArray;

#ifdef __cplusplus
static_assert(sizeof(CciTime) == 12, "time record is 12 bytes");
static_assert(sizeof(CciDate) == 12, "date record is 12 bytes");
static_assert(sizeof(CciTimestamp) == 24, "timestamp record is 24 bytes");
#endif

/* ---- node-class table ----------------------------------------------------------- */

/* The six operations a node class hands the broker. The broker calls them with the
   context that createContext returned. Attribute slots answer 0, CCI_BUFFER_TOO_SMALL
   or CCI_ATTRIBUTE_UNKNOWN; buffer sizes there count CciChar units. */
typedef CciContext *(*CniCreateContext)(CciFactory *factoryObject, CciChar *nodeName,
                                        CciNode *nodeObject);
typedef void (*CniDeleteContext)(CciContext *context);
typedef int (*CniGetAttributeName)(CciContext *context, int index, CciChar *buffer, int bufferSize);
typedef int (*CniSetAttribute)(CciContext *context, CciChar *attributeName,
                               CciChar *attributeValue);
typedef int (*CniGetAttribute)(CciContext *context, CciChar *attributeName, CciChar *buffer,
                               int bufferSize);
typedef void (*CniEvaluate)(CciContext *context, CciMessage *destinationList,
                            CciMessage *exceptionList, CciMessage *message);

#define CNI_VFT_IDENTIFIER "NVFT"
#define CNI_VFT_VERSION 1
#define CNI_VFT_RESERVED_SLOTS 8

typedef struct CNI_VFT {
    char identifier[4]; /* "NVFT", not terminated */
    int32_t version;    /* 1 */
    CniCreateContext iFpCreateContext;
    CniDeleteContext iFpDeleteContext;
    CniGetAttributeName iFpGetAttributeName;
    CniSetAttribute iFpSetAttribute;
    CniGetAttribute iFpGetAttribute;
    CniEvaluate iFpEvaluate;
    void *reserved[CNI_VFT_RESERVED_SLOTS]; /* empty */
} CNI_VFT;

/* The default node-class table: identifier, version, every slot empty. */
#define CNI_VFT_DEFAULT                                                                            \
    {                                                                                              \
        {'N', 'V', 'F', 'T'}, CNI_VFT_VERSION, 0, 0, 0, 0, 0, 0, {                                 \
            0                                                                                      \
        }                                                                                          \
    }

/* ---- broker information --------------------------------------------------------- */

/* A text the broker fills: `buffer` of `bufferLength` bytes (CciChar text, terminated
   when it fits); `dataLength` receives the number of characters of the full text. */
typedef struct CciStringArea {
    CciChar *buffer;
    CciSize bufferLength;
    CciSize dataLength;
} CciStringArea;

typedef struct CNI_BROKER_INFO_ST {
    CciStringArea brokerName;
    CciStringArea executionGroupName;
    CciStringArea messageFlowName;
    CciStringArea queueManagerName;
} CNI_BROKER_INFO_ST;

#define CNI_BROKER_INFO_DEFAULT                                                                    \
    {                                                                                              \
        {0, 0, 0}, {0, 0, 0}, {0, 0, 0}, {                                                         \
            0, 0, 0                                                                                \
        }                                                                                          \
    }

/* ---- log and exceptions --------------------------------------------------------- */

#define CCI_LOG_ERROR 0
#define CCI_LOG_WARNING 1
#define CCI_LOG_INFORMATION 2

#define CCI_RECOVERABLE_EXCEPTION 0
#define CCI_PARSER_EXCEPTION 1
#define CCI_CONVERSION_EXCEPTION 2
#define CCI_USER_EXCEPTION 3
#define CCI_DATABASE_EXCEPTION 4
#define CCI_FATAL_EXCEPTION 5

/* Exception data as the broker hands it to a node: 576 bytes. Texts are 8-bit,
   terminated, cut to their field. `inserts` holds the 8-bit inserts one after the
   other, each terminated, as many as fit (`insertCount` says how many were given). */
typedef struct CCI_EXCEPTION_ST {
    char identifier[4]; /* "CEXC", not terminated */
    int32_t version;    /* 1 */
    int32_t type;       /* CCI_*_EXCEPTION */
    int32_t line;
    int32_t messageNumber;
    int32_t insertCount;
    char file[64];
    char function[64];
    CciChar messageSource[32];
    char traceText[200];
    char inserts[160];
} CCI_EXCEPTION_ST;

#ifdef __cplusplus
static_assert(sizeof(CCI_EXCEPTION_ST) == 576, "exception-data record is 576 bytes");
#endif

#define CCI_EXCEPTION_ST_DEFAULT                                                                   \
    {                                                                                              \
        {'C', 'E', 'X', 'C'}, 1, 0, 0, 0, 0, {0}, {0}, {0}, {0}, {                                 \
            0                                                                                      \
        }                                                                                          \
    }

/* Code pages understood by the converters: 1208 is UTF-8 (fast path); any other
   number is handed to ICU as "ibm-<n>" / "cp<n>" (for example 819, ISO-8859-1). */
#define CCI_CODEPAGE_UTF8 1208

#ifdef __cplusplus
extern "C" {
#endif

/* ---- set-up --------------------------------------------------------------------- */

/* Creates (or returns the existing) factory of that name. */
CciFactory *cniCreateNodeFactory(int *returnCode, const CciChar *factoryName);
/* Records a node class of the factory; the table is copied. */
void cniDefineNodeClass(int *returnCode, CciFactory *factoryObject, const CciChar *nodeClassName,
                        const CNI_VFT *functionTable);
CciTerminal *cniCreateInputTerminal(int *returnCode, CciNode *nodeObject,
                                    const CciChar *terminalName);
CciTerminal *cniCreateOutputTerminal(int *returnCode, CciNode *nodeObject,
                                     const CciChar *terminalName);
/* Fills the four names of the node's broker, execution group, flow and queue
   manager. returnCode may be null. */
void cniGetBrokerInfo(int *returnCode, CciNode *nodeObject, CNI_BROKER_INFO_ST *brokerInfo);

/* ---- routing -------------------------------------------------------------------- */

/* Non-zero when something is connected to the output terminal. */
CciBool cniIsTerminalAttached(int *returnCode, CciTerminal *terminal);
/* Sends the message to every node attached to the terminal, in order. What a
   downstream node throws comes back as *returnCode == CCI_EXCEPTION. Returns non-zero
   when the message was delivered to at least one node. */
CciBool cniPropagate(int *returnCode, CciTerminal *terminal, CciMessage *destinationList,
                     CciMessage *exceptionList, CciMessage *message);

/* ---- messages ------------------------------------------------------------------- */

CciMessageContext *cniGetMessageContext(int *returnCode, CciMessage *message);
/* A new empty message in the context; the caller deletes it with cniDeleteMessage. */
CciMessage *cniCreateMessage(int *returnCode, CciMessageContext *context);
void cniDeleteMessage(int *returnCode, CciMessage *message);
CciElement *cniRootElement(int *returnCode, CciMessage *message);
/* The environment tree shared by every message of the message's context. */
CciMessage *cniGetEnvironmentMessage(int *returnCode, CciMessage *message);
/* Makes `target` a deep copy of `source`: target's children are replaced by copies of
   source's children, and it takes source's name, type and value. The two may belong
   to different messages. */
void cniCopyElementTree(int *returnCode, CciElement *source, CciElement *target);
/* Serialises the message (descriptor, then body) into its bit stream; returns its
   size in bytes. */
CciSize cniWriteBuffer(int *returnCode, CciMessage *message);
/* The message's bit stream (null and 0 until cniWriteBuffer or a parse made one). */
const CciByte *cniBufferPointer(int *returnCode, CciMessage *message);
CciSize cniBufferSize(int *returnCode, CciMessage *message);

/* ---- navigation ----------------------------------------------------------------- */

CciElement *cniFirstChild(int *returnCode, CciElement *element);
CciElement *cniLastChild(int *returnCode, CciElement *element);
CciElement *cniNextSibling(int *returnCode, CciElement *element);
CciElement *cniPreviousSibling(int *returnCode, CciElement *element);
CciElement *cniParent(int *returnCode, CciElement *element);
CciElement *cniSearchFirstChild(int *returnCode, CciElement *element, int compareMode,
                                CciElementType type, const CciChar *name);
CciElement *cniSearchNextSibling(int *returnCode, CciElement *element, int compareMode,
                                 CciElementType type, const CciChar *name);

/* ---- element names and types ---------------------------------------------------- */

CciSize cniElementName(int *returnCode, CciElement *element, CciChar *buffer, CciSize bufferSize);
void cniSetElementName(int *returnCode, CciElement *element, const CciChar *name);
CciElementType cniElementType(int *returnCode, CciElement *element);
void cniSetElementType(int *returnCode, CciElement *element, CciElementType type);
/* CCI_VALUE_TYPE_NONE for an element without a value. */
CciValueType cniElementValueType(int *returnCode, CciElement *element);

/* ---- value getters (a getter of the wrong type fails with CCI_FAILURE) ----------- */

CciBool cniElementBooleanValue(int *returnCode, CciElement *element);
CciInt cniElementIntegerValue(int *returnCode, CciElement *element);
CciReal cniElementRealValue(int *returnCode, CciElement *element);
CciSize cniElementDecimalValue(int *returnCode, CciElement *element, CciChar *buffer,
                               CciSize bufferSize);
CciSize cniElementCharacterValue(int *returnCode, CciElement *element, CciChar *buffer,
                                 CciSize bufferSize);
CciTime cniElementTimeValue(int *returnCode, CciElement *element);
CciTime cniElementGmtTimeValue(int *returnCode, CciElement *element);
CciDate cniElementDateValue(int *returnCode, CciElement *element);
CciTimestamp cniElementTimestampValue(int *returnCode, CciElement *element);
CciTimestamp cniElementGmtTimestampValue(int *returnCode, CciElement *element);
CciSize cniElementByteArrayValue(int *returnCode, CciElement *element, const CciByteArray *value);
CciSize cniElementBitArrayValue(int *returnCode, CciElement *element, const CciBitArray *value);

/* ---- value setters -------------------------------------------------------------- */

void cniSetElementBooleanValue(int *returnCode, CciElement *element, CciBool value);
void cniSetElementIntegerValue(int *returnCode, CciElement *element, CciInt value);
void cniSetElementRealValue(int *returnCode, CciElement *element, CciReal value);
/* A decimal is given as its zero-terminated text. */
void cniSetElementDecimalValue(int *returnCode, CciElement *element, const CciChar *value);
void cniSetElementCharacterValue(int *returnCode, CciElement *element, const CciChar *value,
                                 CciSize length);
void cniSetElementTimeValue(int *returnCode, CciElement *element, CciTime value);
void cniSetElementGmtTimeValue(int *returnCode, CciElement *element, CciTime value);
void cniSetElementDateValue(int *returnCode, CciElement *element, CciDate value);
void cniSetElementTimestampValue(int *returnCode, CciElement *element, CciTimestamp value);
void cniSetElementGmtTimestampValue(int *returnCode, CciElement *element, CciTimestamp value);
void cniSetElementByteArrayValue(int *returnCode, CciElement *element, const CciByteArray *value);
void cniSetElementBitArrayValue(int *returnCode, CciElement *element, const CciBitArray *value);

/* ---- element creation ----------------------------------------------------------- */

/* A new element without name, type or value, as the parent's last child. */
CciElement *cniCreateElementAsLastChild(int *returnCode, CciElement *parent);
/* A new element without name, type or value, right after `element`. */
CciElement *cniCreateElementAfter(int *returnCode, CciElement *element);
/* A body made by the named parser ("XML" or "none") as the parent's last child: an
   empty XML body root, or a BLOB element with an empty byte-array BLOB child. */
CciElement *cniCreateElementAsLastChildUsingParser(int *returnCode, CciElement *parent,
                                                   const CciChar *parserName);
/* Takes the element (with its subtree) out of its tree; it stays in its message. */
void cniDetach(int *returnCode, CciElement *element);

/* ---- diagnostics ---------------------------------------------------------------- */

/* Writes an entry to the broker log. The inserts are 8-bit texts ended by a null
   pointer. */
void cciLog(int *returnCode, int logType, const char *file, int line, const char *function,
            const CciChar *messageSource, int messageNumber, const char *traceText, ...);
/* Raises an exception in the calling thread; does not return. The inserts are 8-bit
   texts ended by a null pointer. returnCode may be null. */
CCI_NORETURN void cciThrowException(int *returnCode, int exceptionType, const char *file, int line,
                                    const char *function, const CciChar *messageSource,
                                    int messageNumber, const char *traceText, ...);
/* Copies the data of the calling thread's last exception. */
void cciGetLastExceptionData(int *returnCode, CCI_EXCEPTION_ST *exceptionData);
/* Raises the calling thread's last exception again; does not return. returnCode may
   be null. */
CCI_NORETURN void cciRethrowLastException(int *returnCode);

/* ---- code-page conversion ------------------------------------------------------- */

/* Converts zero-terminated 8-bit text in `codepage` into `ucs`, at most `ucsSize`
   units including the terminator (always terminated when ucsSize > 0; a cut never
   splits a surrogate pair). Returns the number of units written, terminator not
   counted. Malformed input is replaced by U+FFFD. An unknown code page or a null
   pointer sets a non-zero return code and returns 0. */
CciSize cciMbsToUcs(int *returnCode, const char *mbs, CciChar *ucs, CciSize ucsSize, int codepage);
/* Converts zero-terminated `ucs` into `codepage` text in `mbs`, at most `mbsSize` bytes
   including the terminator (always terminated when mbsSize > 0; a cut never splits a
   character). Returns the number of bytes written, terminator not counted. */
CciSize cciUcsToMbs(int *returnCode, const CciChar *ucs, char *mbs, CciSize mbsSize, int codepage);

#ifdef __cplusplus
}
#endif

#endif /* TREVANE_CNI_H */
