/*
 * The node's per-message work: the exception-list search for the SQLCODE
 * (getSQLError and its helpers), storing the code in an element
 * (copySQLCodeToElement), and the evaluation that copies the message, stores the code
 * at the node's CopyValueTo path and routes the result (evaluateTrevane).
 *
 * evaluate (node/trevane) calls evaluateTrevane once per message, possibly on several
 * threads at once for one node. Evaluation takes no lock: it reads the node's copy
 * location once, at its start, through currentCopyLocation(), and everything else it
 * uses is local to the call. The one message it creates is deleted on every path,
 * also when an exception from further down the flow unwinds through it.
 */
#include "node/extractCode.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/body.h"
#include "utilities/locate.h"
#include "utilities/message.h"
#include "utilities/tracetext.h"

namespace {

constexpr const char SOURCE_FILE[] = "extractCode.cpp";
constexpr const char EVALUATE_FUNCTION[] = "evaluateTrevane";
constexpr const char COPY_VALUE_TO_INSERT[] = "CopyValueTo";

constexpr int ELEMENT_NAME_UNITS = 257;
constexpr int DIGIT_BUFFER_UNITS = 257;
constexpr int MAX_DIGITS = DIGIT_BUFFER_UNITS - 1;
constexpr int INTEGER_TEXT_UNITS = 12; /* "-2147483648" and the terminator */

/* Room for the qualified path: "Root.XML." takes the place of "Root.", so a copy
   location of 256 characters grows to 260. */
constexpr int QUALIFIED_PATH_UNITS = 256 + 4 + 1;

constexpr size_t LOG_TEXT_SIZE = 1000;
constexpr size_t NODE_INSERT_SIZE = 100;
constexpr size_t COPY_LOCATION_INSERT_SIZE = 257;

const char *elementTypeText(CciElementType type) {
    switch (type) {
    case CCI_ELEMENT_TYPE_NAME:
        return "CCI_ELEMENT_TYPE_NAME";
    case CCI_ELEMENT_TYPE_NAME_VALUE:
        return "CCI_ELEMENT_TYPE_NAME_VALUE";
    case CCI_ELEMENT_TYPE_VALUE:
        return "CCI_ELEMENT_TYPE_VALUE";
    default:
        return "UNKNOWN";
    }
}

/* Whether `text` begins with `prefix`; both terminated. Runs once per prefix for every
   message stored, so it stops at the first unit that differs. */
bool startsWith(const CciChar *text, const CciChar *prefix) {
    for (; *prefix != 0; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

/* The message this evaluation created. Deleted exactly once: explicitly where the
   flow says so, or when the scope is left in any other way, an exception raised
   further down the flow included. */
struct newMessageGuard_t {
    CciMessage *message = nullptr;
    newMessageGuard_t() = default;
    newMessageGuard_t(const newMessageGuard_t &) = delete;
    newMessageGuard_t &operator=(const newMessageGuard_t &) = delete;
    void release() {
        if (message != nullptr) {
            int rc = 0;
            cniDeleteMessage(&rc, message);
            message = nullptr;
        }
    }
    ~newMessageGuard_t() { release(); }
};

/* The copy location as an 8-bit insert; empty when there is none. */
void copyLocationInsert(const CciChar *copyLocation, char (&insert)[COPY_LOCATION_INSERT_SIZE]) {
    insert[0] = '\0';
    if (copyLocation != nullptr &&
        UCToStr(copyLocation, insert, sizeof insert, nullptr) == nullptr) {
        insert[0] = '\0';
    }
}

/* A log entry of the evaluation: what was written to the broker's log, kept so that the
   same number, text and inserts can be raised as an exception when the message the
   entry is about cannot go on anywhere. */
struct evaluationLogEntry_t {
    int messageNumber = 0; /* 0: none */
    char text[LOG_TEXT_SIZE] = "";
    /* Inserts after the broker name; the list ends at the first null. */
    const char *inserts[3] = {nullptr, nullptr, nullptr};
    char nodeInsert[NODE_INSERT_SIZE] = "";
    char locationInsert[COPY_LOCATION_INSERT_SIZE] = "";
    char terminalInsert[sizeof(propagationLogEntry_t::insert)] = "";
};

void writeLogEntry(int line, const evaluationLogEntry_t &entry) {
    int rc = 0;
    cciLog(&rc, CCI_LOG_ERROR, SOURCE_FILE, line, EVALUATE_FUNCTION, PLUGIN_MESSAGE_CATALOGUE_VAL,
           entry.messageNumber, static_cast<const char *>(entry.text), brokerName, entry.inserts[0],
           entry.inserts[1], entry.inserts[2], static_cast<const char *>(nullptr));
}

/* Log entry 11: the path could not be resolved or created. */
void logLocateFailure(int line, const CciChar *copyLocation, evaluationLogEntry_t &entry) {
    const CciChar *shown = copyLocation ? copyLocation : u"";
    entry.messageNumber = 11;
    ucFormat(entry.text, sizeof entry.text,
             "Failed to locate specified syntax element '%S' in message", shown);
    copyLocationInsert(copyLocation, entry.locationInsert);
    entry.inserts[0] = COPY_VALUE_TO_INSERT;
    entry.inserts[1] = entry.locationInsert;
    writeLogEntry(line, entry);
}

/* Log entry 13, 14 or 15, chosen by copySQLCodeToElement's result. */
void logStoreFailure(int line, int storeResult, const CciChar *nodeName,
                     const CciChar *copyLocation, evaluationLogEntry_t &entry) {
    const CciChar *shown = copyLocation ? copyLocation : u"";
    if (storeResult == TT_FAILED_TO_SET_ELEMENT_VALUE) {
        entry.messageNumber = 13;
        ucFormat(entry.text, sizeof entry.text,
                 "Failed to store SQLCODE value in message at syntax element '%S'", shown);
    } else if (storeResult == TT_INVALID_ELEMENT_TYPE_SPECIFIED) {
        entry.messageNumber = 14;
        ucFormat(entry.text, sizeof entry.text,
                 "The specified element for storing the SQLCODE value is not suitable for this "
                 "operation.  The syntax element is '%S'",
                 shown);
    } else {
        entry.messageNumber = 15;
        ucFormat(entry.text, sizeof entry.text,
                 "Unknown error occurred when storing the SQLCODE value at the specified syntax "
                 "element '%S'",
                 shown);
    }
    ucFormat(entry.nodeInsert, sizeof entry.nodeInsert, "'%S'", nodeName ? nodeName : u"");
    copyLocationInsert(copyLocation, entry.locationInsert);
    entry.inserts[0] = COPY_VALUE_TO_INSERT;
    entry.inserts[1] = entry.nodeInsert;
    entry.inserts[2] = entry.locationInsert;
    writeLogEntry(line, entry);
}

/* Raises `entry` as a recoverable exception, with the number, text and inserts it was
   logged with. The broker hands it upstream, where the unit of work is backed out, so a
   message this node could send nowhere is not lost. Does not return. */
void raiseLogEntry(int line, const evaluationLogEntry_t &entry) {
    TRACE_FUNCTION("evaluateTrevane");
    TRACE_ERROR_TEXT("The message cannot go on; raising entry %d, resetting trace indentation",
                     entry.messageNumber);
    TraceSetIndentationValue(0);
    cciThrowException(nullptr, CCI_RECOVERABLE_EXCEPTION, SOURCE_FILE, line, EVALUATE_FUNCTION,
                      PLUGIN_MESSAGE_CATALOGUE_VAL, entry.messageNumber,
                      static_cast<const char *>(entry.text), brokerName, entry.inserts[0],
                      entry.inserts[1], entry.inserts[2], static_cast<const char *>(nullptr));
}

/* The entry propagateMessage logged, in the evaluation's form. */
void takePropagationEntry(const propagationLogEntry_t &logged, evaluationLogEntry_t &entry) {
    entry.messageNumber = logged.messageNumber;
    snprintf(entry.text, sizeof entry.text, "%s", logged.text);
    snprintf(entry.terminalInsert, sizeof entry.terminalInsert, "%s", logged.insert);
    entry.inserts[0] = entry.terminalInsert;
    entry.inserts[1] = nullptr;
    entry.inserts[2] = nullptr;
}

/* The path the code is stored at: for an XML body, everything below the root that is
   not already under the MQMD, the properties or the XML body goes under the XML body.
   Answers `copyLocation` itself or `qualified`, filled here. */
const CciChar *qualifiedPath(const CciChar *copyLocation,
                             CciChar (&qualified)[QUALIFIED_PATH_UNITS]) {
    if (startsWith(copyLocation, ROOT_DOT_MQMD_DOT_VAL) ||
        startsWith(copyLocation, ROOT_DOT_PROPERTIES_DOT_VAL)) {
        return copyLocation;
    }
    TRACE_FUNCTION("evaluateTrevane");
    TRACE_INFO_TEXT("Checking path '%S' for XML qualifier", copyLocation);
    if (startsWith(copyLocation, ROOT_DOT_XML_DOT_VAL)) {
        return copyLocation;
    }
    const CciChar *separatorP = UCchr(copyLocation, C.dot);
    if (separatorP == nullptr) {
        return copyLocation;
    }
    TRACE_INFO_TEXT("Adding XML qualifier to path");
    CciChar *endP = UCcpy(qualified, ROOT_DOT_XML_DOT_VAL);
    const int room = QUALIFIED_PATH_UNITS - 1 - static_cast<int>(endP - qualified);
    UCncpy(endP, separatorP + 1, room);
    TRACE_INFO_TEXT("Modified path is '%S'", static_cast<const CciChar *>(qualified));
    return qualified;
}

/* extractSQLCode, with the search for "SQLSTATE=" starting at `searchP` in the text:
   no "SQLSTATE=" lies before the first "SQLSTATE", so a caller that has found that one
   need not search the text before it again. */
void extractSQLCodeFrom(const CciChar *sqlErrorMessage, const CciChar *searchP, int *sqlCodeP) {
    TRACE_FUNCTION("extractSQLCode");
    TRACE_ENTRY("sqlErrorMessage=%S", sqlErrorMessage ? sqlErrorMessage : u"");

    /* A text with "SQLSTATE" but no "SQLSTATE=" has no digit run: it reads as an empty
       one, and nothing outside the text is looked at. */
    const CciChar *keywordP = UCstr(searchP, SQLSTATE_EQUALS_VAL);
    TRACE_INFO_TEXT("KeywordP is '%S'", keywordP ? keywordP : u"");
    static const int keywordLength = UClen(SQLSTATE_EQUALS_VAL);
    const CciChar *codeP = keywordP ? keywordP + keywordLength : u"";
    TRACE_INFO_TEXT("sqlCodeP is '%S'", codeP);

    CciChar digits[DIGIT_BUFFER_UNITS];
    int count = 0;
    for (; count < MAX_DIGITS && codeP[count] >= u'0' && codeP[count] <= u'9'; ++count) {
        digits[count] = codeP[count];
    }
    digits[count] = 0;
    /* UCToInt clamps a run too long for 32 bits instead of overflowing. */
    const int sqlCode = UCToInt(digits);
    if (sqlCodeP != nullptr) {
        *sqlCodeP = sqlCode;
    }
    TRACE_INFO_TEXT("Extracted SQLCODE value is '%S' (%d)", static_cast<const CciChar *>(digits),
                    sqlCode);
    TRACE_EXIT_VOID(24);
}

} // namespace

namespace {

/* Set when this thread's search stopped for want of storage; cleared by getSQLError. */
thread_local bool searchShortOfStorage = false;
/* Set once any thread's search has run short of storage. Until then every thread's flag
   above is clear, and a message's search need not reach its thread's storage for it. */
std::atomic<bool> anySearchShortOfStorage{false};

/* Marks this thread's search as stopped for want of storage. */
void noteSearchShortOfStorage() {
    anySearchShortOfStorage.store(true, std::memory_order_relaxed);
    searchShortOfStorage = true;
}

/* This thread's flag; clear whenever no search has ever run short. */
bool threadSearchShortOfStorage() {
    return anySearchShortOfStorage.load(std::memory_order_relaxed) && searchShortOfStorage;
}

/* "DatabaseException" in units, its terminator included. */
int databaseExceptionUnits() {
    static const int units = UClen(DATABASE_EXCEPTION_VAL) + 1;
    return units;
}

/* What one search carries down the walk: where a match's results go, and the one buffer
   that every element's name is read into (the walk recurses once per level of the list,
   so the buffer is kept out of the levels' frames). */
struct SearchState {
    CciChar **sqlErrorMessagePP;
    int *sqlCodeP;
    /* searchShortOfStorage as this search knows it: read once when it starts and set
       with it, so that the walk tests a plain flag at every element. */
    bool shortOfStorage;
    CciChar name[ELEMENT_NAME_UNITS];
};

/* The rest of lookForDatabaseException for an element named DatabaseException: its
   inserts' texts, searched for "SQLSTATE". Out of line, so that the walk's own code
   stays small. */
[[gnu::noinline]] bool_t readDatabaseException(CciElement *elementP, SearchState &state) {
    TRACE_FUNCTION("lookForDatabaseException");
    CciChar **sqlErrorMessagePP = state.sqlErrorMessagePP;
    int *sqlCodeP = state.sqlCodeP;
    bool_t found = FALSE;
    int rc = 0;

    CciElement *insertP = cniSearchFirstChild(&rc, elementP, CCI_COMPARE_MODE_NAME_TYPE,
                                              CCI_ELEMENT_TYPE_NAME, INSERT_VAL);
    if (insertP == nullptr) {
        TRACE_INFO_TEXT("No Insert found in element");
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return FALSE;
    }

    /* One work buffer for every text of this element; it only grows, so a list of
       short texts costs one allocation. */
    CciChar *bufferP = nullptr;
    int capacity = 0;

    for (; insertP != nullptr && !found;) {
        TRACE_INFO_TEXT("Insert found in message");
        for (CciElement *textP = cniSearchFirstChild(&rc, insertP, CCI_COMPARE_MODE_NAME_TYPE,
                                                     CCI_ELEMENT_TYPE_NAME_VALUE, TEXT_VAL);
             textP != nullptr;) {
            TRACE_INFO_TEXT("Text found in message at %.8x", tracePtr(textP));
            if (cniElementValueType(&rc, textP) == CCI_VALUE_TYPE_CHAR) {
                TRACE_INFO_TEXT("Element type is CCI_VALUE_TYPE_CHAR");
                CciChar probe[1] = {0};
                const int needed =
                    cniElementCharacterValue(&rc, textP, probe, static_cast<CciSize>(sizeof probe));
                if (needed > capacity) {
                    /* What the buffer holds is read afresh right below, so growing it
                       takes a new block instead of having realloc copy the old one. */
                    void *grownP = malloc(static_cast<size_t>(needed) * sizeof(CciChar));
                    if (grownP == nullptr) {
                        TRACE_ERROR_TEXT("No storage for a text of %d characters", needed);
                        state.shortOfStorage = true;
                        noteSearchShortOfStorage();
                        free(bufferP);
                        TRACE_EXIT_TYPE(3, "bool_t", &found);
                        return FALSE;
                    }
                    if (bufferP != nullptr) {
                        free(bufferP);
                        TRACE_INFO_TEXT("Buffer reallocated at %.8x", tracePtr(grownP));
                    } else {
                        TRACE_INFO_TEXT("Buffer allocated at %.8x", tracePtr(grownP));
                    }
                    bufferP = static_cast<CciChar *>(grownP);
                    capacity = needed;
                }
                if (capacity > 0) {
                    bufferP[0] = 0;
                    cniElementCharacterValue(&rc, textP, bufferP,
                                             static_cast<CciSize>(capacity * sizeof(CciChar)));
                    bufferP[capacity - 1] = 0;
                    TRACE_INFO_TEXT("Extracted Text value: '%S'",
                                    static_cast<const CciChar *>(bufferP));
                    const CciChar *keywordP = UCstr(bufferP, SQLSTATE_VAL);
                    if (keywordP != nullptr) {
                        CciChar *messageP = static_cast<CciChar *>(
                            malloc(static_cast<size_t>(capacity) * sizeof(CciChar)));
                        if (messageP == nullptr) {
                            TRACE_ERROR_TEXT("No storage for the error message");
                            state.shortOfStorage = true;
                            noteSearchShortOfStorage();
                            free(bufferP);
                            TRACE_EXIT_TYPE(3, "bool_t", &found);
                            return FALSE;
                        }
                        /* The whole buffer, terminated in its last unit at the latest: the
                           same text, and the keyword at the same place. */
                        memcpy(messageP, bufferP, static_cast<size_t>(capacity) * sizeof(CciChar));
                        extractSQLCodeFrom(messageP, messageP + (keywordP - bufferP), sqlCodeP);
                        TRACE_INFO_TEXT("Found SQLSTATE");
                        TRACE_INFO_TEXT("ErrorMessage is: %S",
                                        static_cast<const CciChar *>(messageP));
                        TRACE_INFO_TEXT("sqlCode is: %d", sqlCodeP ? *sqlCodeP : 0);
                        if (sqlErrorMessagePP != nullptr) {
                            *sqlErrorMessagePP = messageP;
                        } else {
                            free(messageP);
                        }
                        found = TRUE;
                        break;
                    }
                }
            }
            textP = cniSearchNextSibling(&rc, textP, CCI_COMPARE_MODE_NAME_TYPE,
                                         CCI_ELEMENT_TYPE_NAME_VALUE, TEXT_VAL);
            TRACE_INFO_TEXT("textElementP: cniSearchNextSibling returned %.8x", tracePtr(textP));
        }
        if (!found) {
            insertP = cniSearchNextSibling(&rc, insertP, CCI_COMPARE_MODE_NAME_TYPE,
                                           CCI_ELEMENT_TYPE_NAME, INSERT_VAL);
            TRACE_INFO_TEXT("insertElementP: cniSearchNextSibling returned %.8x",
                            tracePtr(insertP));
        }
    }

    if (bufferP != nullptr) {
        TRACE_INFO_TEXT("Free'ing buffer at %.8x", tracePtr(bufferP));
        free(bufferP);
    }
    TRACE_EXIT_TYPE(3, "bool_t", &found);
    return found;
}

/* lookForDatabaseException on the walk: the element's type and name are tested here,
   inline; what follows for a DatabaseException is readDatabaseException's. */
[[gnu::always_inline]] inline bool_t lookForIn(CciElement *elementP, SearchState &state) {
    TRACE_FUNCTION("lookForDatabaseException");
    TRACE_ENTRY("elementP=%.8x", tracePtr(elementP));

    bool_t found = FALSE;
    int rc = 0;
    const CciElementType type = cniElementType(&rc, elementP);
    if (type != CCI_ELEMENT_TYPE_NAME && type != CCI_ELEMENT_TYPE_NAME_VALUE) {
        TRACE_ERROR_TEXT("Element has no name");
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return FALSE;
    }

    /* Every element of the list passes here: the buffer is not cleared beforehand, the
       broker terminates what it writes and a refused read leaves the empty name. */
    CciChar *name = state.name;
    name[0] = 0;
    const CciSize units =
        cniElementName(&rc, elementP, name, static_cast<CciSize>(sizeof state.name));
    name[ELEMENT_NAME_UNITS - 1] = 0;
    TRACE_INFO_TEXT("Element name is %S", static_cast<const CciChar *>(name));
    /* Nearly every name differs in its first unit or its length (the broker counts the
       terminator in); the one that could be it is compared whole, terminator included. */
    if (name[0] != DATABASE_EXCEPTION_VAL[0] || units != databaseExceptionUnits() ||
        memcmp(name, DATABASE_EXCEPTION_VAL, static_cast<size_t>(units) * sizeof(CciChar)) != 0) {
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return FALSE;
    }
    TRACE_INFO_TEXT("DatabaseException element found");

    return readDatabaseException(elementP, state);
}

bool_t searchBelow(CciElement *childP, SearchState &state);

/* searchTreeForSQLCode for one element, inline in the walk: its entry record, its own
   test and, for an element with children, the search below it. Most elements of a list
   have no children; they cost the walk no call of its own. */
[[gnu::always_inline]] inline bool_t searchElement(CciElement *elementP, SearchState &state) {
    TRACE_FUNCTION("searchTreeForSQLCode");
    TRACE_ENTRY("elementP=%.8x", tracePtr(elementP));

    bool_t found = TRUE;
    if (lookForIn(elementP, state)) {
        TRACE_INFO_TEXT("DatabaseException element found");
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return TRUE;
    }
    if (state.shortOfStorage) {
        /* A text could not be read: what the list holds is unknown, so the search
           stops rather than answer for a later exception. */
        found = FALSE;
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return FALSE;
    }

    int rc = 0;
    CciElement *childP = cniFirstChild(&rc, elementP);
    if (childP == nullptr) {
        TRACE_INFO_TEXT("Element has no children");
        found = FALSE;
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return FALSE;
    }
    return searchBelow(childP, state);
}

/* The rest of searchTreeForSQLCode for an element with children, from its first child
   on, up to and including the element's exit record. */
bool_t searchBelow(CciElement *childP, SearchState &state) {
    TRACE_FUNCTION("searchTreeForSQLCode");
    bool_t found = TRUE;
    TRACE_INFO_TEXT("Searching child node at %.8x", tracePtr(childP));
    if (searchElement(childP, state)) {
        TRACE_INFO_TEXT("DatabaseException element found");
        TRACE_EXIT_TYPE(3, "bool_t", &found);
        return TRUE;
    }
    int rc = 0;
    for (CciElement *siblingP = cniNextSibling(&rc, childP); siblingP != nullptr;
         siblingP = cniNextSibling(&rc, siblingP)) {
        TRACE_INFO_TEXT("Searching sibling node at %.8x", tracePtr(siblingP));
        if (searchElement(siblingP, state)) {
            TRACE_INFO_TEXT("DatabaseException element found");
            TRACE_EXIT_TYPE(3, "bool_t", &found);
            return TRUE;
        }
    }

    TRACE_INFO_TEXT("SQLCODE not found");
    found = FALSE;
    TRACE_EXIT_TYPE(3, "bool_t", &found);
    return FALSE;
}

} // namespace

bool_t getSQLErrorRanShortOfStorage(void) {
    return threadSearchShortOfStorage() ? TRUE : FALSE;
}

bool_t getSQLError(CciMessage *exceptionList, CciChar **sqlErrorMessagePP, int *sqlCodeP) {
    TRACE_FUNCTION("getSQLError");
    TRACE_ENTRY("exceptionList=%.8x", tracePtr(exceptionList));
    if (anySearchShortOfStorage.load(std::memory_order_relaxed)) {
        searchShortOfStorage = false;
    }

    bool_t found = FALSE;
    int rc = 0;
    CciElement *rootP = exceptionList ? cniRootElement(&rc, exceptionList) : nullptr;
    if (rootP == nullptr) {
        TRACE_INFO_TEXT("Exception list is empty");
        TRACE_EXIT_TYPE(1, "bool_t", &found);
        return FALSE;
    }
    /* Only the first exception element and what lies below it are searched. */
    CciElement *firstP = cniFirstChild(&rc, rootP);
    if (firstP != nullptr) {
        found = searchTreeForSQLCode(firstP, sqlErrorMessagePP, sqlCodeP);
    }
    TRACE_EXIT_TYPE(1, "bool_t", &found);
    return found;
}

bool_t searchTreeForSQLCode(CciElement *elementP, CciChar **sqlErrorMessagePP, int *sqlCodeP) {
    SearchState state;
    state.sqlErrorMessagePP = sqlErrorMessagePP;
    state.sqlCodeP = sqlCodeP;
    state.shortOfStorage = threadSearchShortOfStorage();
    return searchElement(elementP, state);
}

bool_t lookForDatabaseException(CciElement *elementP, CciChar **sqlErrorMessagePP, int *sqlCodeP) {
    SearchState state;
    state.sqlErrorMessagePP = sqlErrorMessagePP;
    state.sqlCodeP = sqlCodeP;
    state.shortOfStorage = threadSearchShortOfStorage();
    return lookForIn(elementP, state);
}

void extractSQLCode(const CciChar *sqlErrorMessage, int *sqlCodeP) {
    extractSQLCodeFrom(sqlErrorMessage, sqlErrorMessage, sqlCodeP);
}

int copySQLCodeToElement(CciElement *elementP, int sqlCode, bool_t newElement, bool_t xmlMessage) {
    TRACE_FUNCTION("copySQLCodeToElement");
    TRACE_ENTRY("elementP=%.8x, sqlCode=%d, newElement=%s", tracePtr(elementP), sqlCode,
                truthText(newElement));

    int rc = 0;
    CciElement *targetP = elementP;
    bool characterAllowed = true;

    if (!newElement) {
        const CciElementType type = cniElementType(&rc, elementP);
        TRACE_INFO_TEXT("elementType is %s", elementTypeText(type));
        if (type == CCI_ELEMENT_TYPE_NAME) {
            CciElement *childP = cniFirstChild(&rc, elementP);
            if (childP != nullptr) {
                /* A reader of the element must see exactly the code: an element whose
                   content is more than one value (text mixed with elements, several
                   texts) is refused, not partly overwritten. */
                if (cniElementType(&rc, childP) != CCI_ELEMENT_TYPE_VALUE ||
                    cniNextSibling(&rc, childP) != nullptr) {
                    TRACE_ERROR_TEXT("Element type is not suitable for storing SQLCODE value");
                    TRACE_EXIT_INT(19, TT_INVALID_ELEMENT_TYPE_SPECIFIED);
                    return TT_INVALID_ELEMENT_TYPE_SPECIFIED;
                }
                targetP = childP;
            } else {
                targetP = createChildElement(elementP, nullptr, CCI_ELEMENT_TYPE_VALUE);
                characterAllowed = false;
            }
        } else if ((type != CCI_ELEMENT_TYPE_NAME_VALUE && type != CCI_ELEMENT_TYPE_VALUE) ||
                   cniFirstChild(&rc, elementP) != nullptr) {
            TRACE_ERROR_TEXT("Element type is not suitable for storing SQLCODE value");
            TRACE_EXIT_INT(19, TT_INVALID_ELEMENT_TYPE_SPECIFIED);
            return TT_INVALID_ELEMENT_TYPE_SPECIFIED;
        }
    }

    if (targetP == nullptr) {
        rc = CCI_FAILURE;
    } else if (characterAllowed && xmlMessage) {
        TRACE_INFO_TEXT("setting CHAR value for XML message");
        CciChar text[INTEGER_TEXT_UNITS];
        intToUC(sqlCode, text);
        cniSetElementCharacterValue(&rc, targetP, text, UClen(text));
    } else {
        TRACE_INFO_TEXT("setting INTEGER value for non-XML messager");
        cniSetElementIntegerValue(&rc, targetP, static_cast<CciInt>(sqlCode));
    }

    if (rc != 0) {
        TRACE_ERROR_TEXT("Failed to set SQLCODE value into specified element");
        TRACE_EXIT_INT(19, TT_FAILED_TO_SET_ELEMENT_VALUE);
        return TT_FAILED_TO_SET_ELEMENT_VALUE;
    }
    TRACE_INFO_TEXT("SQLCODE value successfully assigned to new element");
    TRACE_EXIT_INT(19, TT_SUCCESS);
    return TT_SUCCESS;
}

namespace {

/* What follows a propagation of the incoming message or of the copy: success, a
   downstream exception raised again to the broker, or, when the message went nowhere
   (terminal missing or not attached, propagation refused), an exception of this node:
   `ownEntry` when the node had logged a failure of its own, otherwise the entry the
   propagation logged. Answers `successResult` on success. */
int propagationOutcome(int propagateResult, const propagationLogEntry_t &logged,
                       const evaluationLogEntry_t *ownEntry, const char *terminalText,
                       const char *traceName, unsigned successReason, int successResult) {
    TRACE_FUNCTION(traceName);
    if (propagateResult == TT_SUCCESS) {
        TRACE_EXIT_INT(successReason, successResult);
        return successResult;
    }
    TRACE_ERROR_TEXT("Failed to propagate message to '%s' terminal", terminalText);
    if (propagateResult == TT_PROPAGATION_EXCEPTION) {
        TRACE_INFO_TEXT("About to rethrow exception, resetting trace indentation");
        TraceSetIndentationValue(0);
        cciRethrowLastException(nullptr);
    }
    if (ownEntry != nullptr && ownEntry->messageNumber != 0) {
        raiseLogEntry(__LINE__, *ownEntry);
    } else {
        evaluationLogEntry_t entry;
        takePropagationEntry(logged, entry);
        if (entry.messageNumber == 0) {
            entry.messageNumber = 8;
            snprintf(entry.text, sizeof entry.text, "Failed to propagate message (rc=%d)",
                     propagateResult);
            snprintf(entry.terminalInsert, sizeof entry.terminalInsert, "%d", propagateResult);
        }
        raiseLogEntry(__LINE__, entry);
    }
    TRACE_EXIT_INT(12, TT_PROPAGATION_ERROR);
    return TT_PROPAGATION_ERROR;
}

/* The incoming message goes on through "failure". `ownEntry` is what the node logged
   about its failure (null when it logged nothing). */
int propagateToFailure(nodeContext_t *contextP, CciMessage *message, CciMessage *destinationList,
                       CciMessage *exceptionList, const evaluationLogEntry_t *ownEntry,
                       unsigned successReason, int successResult) {
    TRACE_FUNCTION("evaluateTrevane");
    TRACE_INFO_TEXT("About to propagate message at %.8x to 'failure' terminal", tracePtr(message));
    propagationLogEntry_t logged;
    const int result = propagateMessageNoting(contextP, TERM_FAILURE_VAL, message, destinationList,
                                              exceptionList, FALSE, &logged);
    return propagationOutcome(result, logged, ownEntry, "failure", traceFunctionName_,
                              successReason, successResult);
}

} // namespace

int evaluateTrevane(nodeContext_t *contextP, CciMessage *destinationList, CciMessage *exceptionList,
                    CciMessage *message) {
    TRACE_FUNCTION("evaluateTrevane");
    TRACE_ENTRY("contextP=%.8x, destinationList=%.8x, exceptionList=%.8x, message=%.8x",
                tracePtr(contextP), tracePtr(destinationList), tracePtr(exceptionList),
                tracePtr(message));

    /* Read once: a CopyValueTo applied meanwhile takes effect with the next message,
       and the text read here stays valid for the whole evaluation. */
    const CciChar *copyLocation = contextP ? currentCopyLocation(contextP->deployedEntry) : nullptr;
    const CciChar *nodeName = contextP ? contextP->nodeName : nullptr;

    CciChar *sqlErrorMessage = nullptr;
    int sqlCode = 0;
    const bool_t found = getSQLError(exceptionList, &sqlErrorMessage, &sqlCode);
    if (!found && getSQLErrorRanShortOfStorage()) {
        /* Whether the list holds a code is unknown: the message is not sent on as if it
           had none, but through "failure" like any other message the node could not
           handle. */
        TRACE_ERROR_TEXT("No storage to search the exception list");
        return propagateToFailure(contextP, message, destinationList, exceptionList, nullptr, 35,
                                  TT_INSUFFICIENT_GLOBAL_STORAGE);
    }
    if (!found) {
        TRACE_INFO_TEXT("About to propagate message at %.8x to 'notFound' terminal",
                        tracePtr(message));
        propagationLogEntry_t logged;
        const int result = propagateMessageNoting(contextP, TERM_NOT_FOUND_VAL, message,
                                                  destinationList, exceptionList, FALSE, &logged);
        return propagationOutcome(result, logged, nullptr, "notFound", traceFunctionName_, 13,
                                  TT_SUCCESS);
    }
    if (sqlErrorMessage != nullptr) {
        TRACE_INFO_TEXT("Free'ing sqlErrorMessage at %.8x", tracePtr(sqlErrorMessage));
        free(sqlErrorMessage);
    }

    /* Without a copy the incoming message is not dropped: it goes on through "failure"
       and the result still says that no copy was made. */
    int rc = 0;
    CciMessageContext *messageContextP = cniGetMessageContext(&rc, message);
    if (rc != 0 || messageContextP == nullptr) {
        TRACE_ERROR_TEXT("Failed to get message context (cniGetMessageContext rc=%d)", rc);
        return propagateToFailure(contextP, message, destinationList, exceptionList, nullptr, 14,
                                  TT_FAILED_TO_CREATE_NEW_MESSAGE);
    }
    TRACE_INFO_TEXT("Message context got at %.8x", tracePtr(messageContextP));

    newMessageGuard_t newMessage;
    newMessage.message = cniCreateMessage(&rc, messageContextP);
    if (rc != 0 || newMessage.message == nullptr) {
        TRACE_ERROR_TEXT("Failed to create new message (cniCreateMessage rc=%d)", rc);
        newMessage.message = nullptr;
        return propagateToFailure(contextP, message, destinationList, exceptionList, nullptr, 15,
                                  TT_FAILED_TO_CREATE_NEW_MESSAGE);
    }
    TRACE_INFO_TEXT("New message created at %.8x", tracePtr(newMessage.message));

    if (copyMessage(newMessage.message, message) != TT_SUCCESS) {
        TRACE_ERROR_TEXT("Failed to copy old message to new message");
        newMessage.release();
        return propagateToFailure(contextP, message, destinationList, exceptionList, nullptr, 34,
                                  TT_FAILED_TO_CREATE_NEW_MESSAGE);
    }

    const bool_t xmlMessage = messageBodyIsXML(newMessage.message);
    const CciChar *path = copyLocation;
    CciChar qualified[QUALIFIED_PATH_UNITS];
    if (xmlMessage && copyLocation != nullptr) {
        path = qualifiedPath(copyLocation, qualified);
    }

    bool_t elementCreated = FALSE;
    CciElement *elementP =
        path ? locateElementInMessage(newMessage.message, path, TRUE, nullptr, &elementCreated)
             : nullptr;
    if (elementP == nullptr) {
        evaluationLogEntry_t entry;
        logLocateFailure(__LINE__, copyLocation, entry);
        newMessage.release();
        return propagateToFailure(contextP, message, destinationList, exceptionList, &entry, 13,
                                  TT_SUCCESS);
    }

    const int stored = copySQLCodeToElement(elementP, sqlCode, elementCreated, xmlMessage);
    if (stored != TT_SUCCESS) {
        evaluationLogEntry_t entry;
        logStoreFailure(__LINE__, stored, nodeName, copyLocation, entry);
        newMessage.release();
        return propagateToFailure(contextP, message, destinationList, exceptionList, &entry, 13,
                                  TT_SUCCESS);
    }

    TRACE_INFO_TEXT("Propagating message to 'out' terminal");
    propagationLogEntry_t logged;
    const int result = propagateMessageNoting(contextP, TERM_OUT_VAL, newMessage.message,
                                              destinationList, exceptionList, TRUE, &logged);
    newMessage.release();
    return propagationOutcome(result, logged, nullptr, "out", traceFunctionName_, 19, TT_SUCCESS);
}
