/*
 * The node support tables: each node instance's attribute table and its input and
 * output terminal lists, all hanging from the node context (node/context.h).
 *
 * The broker reaches getAttribute and getAttributeName directly through the node-class
 * table; the node module creates the entries when a node is created, stores values
 * through commonSetAttribute and frees everything when the node is deleted; message
 * propagation looks terminals up by name. No locking: the broker does not overlap its
 * calls for one node instance, and every context has its own lists.
 */
#ifndef TREVANE_PLUGIN_PLUGIN_H
#define TREVANE_PLUGIN_PLUGIN_H

#include <stdint.h>

#include "node/context.h"
#include "trevane/cni.h"
#include "trevane/types.h"

#define ATTRIBUTE_NAME_LENGTH 128        /* units, terminator included */
#define ATTRIBUTE_INTEGER_VALUE_SIZE 256 /* bytes: 127 units and the terminator */
#define TERMINAL_NAME_LENGTH 256         /* units, terminator included */

/* Attribute value types (the broker's value-type codes). */
#define ATTRIBUTE_TYPE_BOOL 1       /* valueP -> int32_t, 0 or 1 */
#define ATTRIBUTE_TYPE_INTEGER 2    /* valueP -> 256-byte buffer holding the CciChar text */
#define ATTRIBUTE_TYPE_BYTEARRAY 12 /* valueP -> own heap copy of the text, null until set */

/* One attribute of a node instance; heap record, zero-filled at creation. */
typedef struct attributeTableEntry {
    void *valueP;
    int32_t type;
    CciChar name[ATTRIBUTE_NAME_LENGTH];
    int32_t isSet;    /* 0 until a value is stored */
    int32_t isCustom; /* 1: the node's own attribute, reported by getAttributeName */
    struct attributeTableEntry *nextP;
} attributeTableEntry_t;

/* One terminal of a node instance; heap record. */
typedef struct terminalListEntry {
    struct terminalListEntry *nextP;
    CciTerminal *terminalObject; /* the broker's handle (may be null); never freed here */
    CciChar terminalName[TERMINAL_NAME_LENGTH];
} terminalListEntry_t;

/* The attribute table's vocabulary. */
typedef struct pluginVocabulary {
    const CciChar *trueText;   /* "true" */
    const CciChar *falseText;  /* "false" */
    const CciChar *nullString; /* the empty text */
    const CciChar *attrLabel;  /* "label" */
} pluginVocabulary_t;

extern const pluginVocabulary_t P;

inline const CciChar *const &P_TRUE_VAL = P.trueText;
inline const CciChar *const &P_FALSE_VAL = P.falseText;
inline const CciChar *const &P_NULL_STRING_VAL = P.nullString;
inline const CciChar *const &P_ATTR_LABEL_VAL = P.attrLabel;

/* ---- attribute table ------------------------------------------------------------ */

/* Creates an unset entry of `type` (1, 2 or 12) at the head of the context's table; a
   name longer than 127 units is cut. `nodeName` is only traced. Null, with nothing
   linked, when storage runs out or the type is not supported. */
attributeTableEntry_t *insertAttributeTableEntry(nodeContext_t *contextP, const CciChar *nodeName,
                                                 int32_t isCustom, const CciChar *attributeName,
                                                 int32_t type);

/* Frees every entry and its value. The list head is left as it was: the context is
   released right after. */
void deleteAttributeTableEntries(nodeContext_t *contextP);

/* Stores `attributeValue` in the entry named `attributeName` (exact match). Type 1:
   exactly "false" stores 0, anything else 1. Type 2: refused with 22, nothing stored,
   when longer than 127 units. Type 12: replaces the held copy; for "label" the
   context's label is replaced as well. Answers 0, 22 or 65 (no such attribute). */
int commonSetAttribute(nodeContext_t *contextP, const CciChar *attributeName,
                       const CciChar *attributeValue);

/* Node-class slot: copies the attribute's value as text into `buffer`. `bufferSize`
   counts units without the terminator; the buffer holds bufferSize + 1 units. Answers
   0, 22 (value longer than bufferSize; buffer untouched) or 65 (unknown or unset).
   The name is only read. */
int getAttribute(CciContext *context, CciChar *attributeName, CciChar *buffer, int bufferSize);

/* Node-class slot: the name of the index-th custom attribute that has been set (from 0,
   most recently created first). `bufferSize` counts units as for getAttribute. Answers
   0, 22 (name longer than bufferSize; buffer untouched) or 65 (no such index). */
int getAttributeName(CciContext *context, int index, CciChar *buffer, int bufferSize);

/* The attribute's text read as a number (0 for text that is not one) into *valueP.
   TT_SUCCESS, or TT_FAILED with *valueP unchanged when unknown, unset or over 199
   units. */
int getIntegerAttribute(nodeContext_t *contextP, const CciChar *attributeName, int32_t *valueP);

/* TRUE exactly when the attribute's text is "true". TT_SUCCESS or TT_FAILED as above. */
int getBooleanAttribute(nodeContext_t *contextP, const CciChar *attributeName, bool_t *valueP);

/* Copies the text into `buffer`, which holds *bufferLengthP + 1 units; stores the text's
   length in *bufferLengthP. TT_FAILED (empty text, length 0) when the attribute is
   unknown, unset or longer than the capacity. */
int getStringAttribute(nodeContext_t *contextP, const CciChar *attributeName, int *bufferLengthP,
                       CciChar *buffer);

/* As getStringAttribute for a value written in hexadecimal: `buffer` receives the
   decoded text (at most 128 units and the terminator; it must hold 129 units) and
   *bufferLengthP its length. An empty value gives the empty text and TT_SUCCESS.
   TT_FAILED when unknown (empty text, length 0) or not decodable (buffer and length
   unchanged). */
int getHexAttribute(nodeContext_t *contextP, const CciChar *attributeName, int *bufferLengthP,
                    CciChar *buffer);

/* Decodes pairs of hex digits (an odd last digit alone) into one character each.
   `buffer` receives the decoded text and must hold 129 units; *bufferLengthP the
   decoded length. TT_FAILED for input of 257 characters or more, or a character that
   is not a hex digit. */
int convertNameFromHex(const CciChar *inHexString, int *bufferLengthP, CciChar *buffer);

/* ---- terminal lists ------------------------------------------------------------- */

/* Creates the terminal on the context's node object and puts an entry for it at the head
   of the input (output) list; a name longer than 255 units is cut. Null, with nothing
   linked and no terminal created, when storage runs out. */
terminalListEntry_t *insertInputTerminalListEntry(nodeContext_t *contextP,
                                                  const CciChar *terminalName);
terminalListEntry_t *insertOutputTerminalListEntry(nodeContext_t *contextP,
                                                   const CciChar *terminalName);

/* The broker handle of the input (output) terminal named exactly `terminalName`; null
   when there is none (or its creation failed). Read-only, safe during evaluation. */
CciTerminal *getInputTerminalHandle(nodeContext_t *contextP, const CciChar *terminalName);
CciTerminal *getOutputTerminalHandle(nodeContext_t *contextP, const CciChar *terminalName);

/* The entry's broker handle; null for a null entry. */
inline CciTerminal *terminalObjectOf(const terminalListEntry_t *entryP) {
    return entryP ? entryP->terminalObject : nullptr;
}

/* What getOutputTerminalHandle answers, for the message path. The node's own "out",
   "failure" and "notFound", named by the vocabulary's texts themselves (TERM_OUT_VAL and
   so on, recognised by address), come from the handles resolved when the node was
   created. Any other name, a context without resolved handles, and every call while entry
   and exit records are traced go through getOutputTerminalHandle, whose records then show
   as before. */
CciTerminal *outputTerminalForMessage(nodeContext_t *contextP, const CciChar *terminalName);

/* Frees both terminal lists (the broker's handles stay the broker's). */
void deleteAllTerminalListEntries(nodeContext_t *contextP);
/* Frees the list starting at `anchorP`. */
void deleteTerminalListEntries(terminalListEntry_t *anchorP);

#endif
