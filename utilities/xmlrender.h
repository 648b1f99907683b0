/*
 * XML rendering of a text-mode serialised syntax-element buffer: every name element
 * becomes a tag, every value (already text) character data. The output is bare markup
 * (no declaration, attributes or white space) and nothing is escaped: names and values
 * are copied as they stand.
 */
#ifndef TREVANE_UTILITIES_XMLRENDER_H
#define TREVANE_UTILITIES_XMLRENDER_H

#include "trevane/cni.h"
#include "trevane/types.h"

/* One open tag of a tree level. The tag text is stored in the same allocation, right
   after the record; the whole entry is released with one free. */
typedef struct xmlTagEntry {
    char *tagText;
    struct xmlTagEntry *next;     /* null at the end of the list */
    struct xmlTagEntry *previous; /* the previous entry, or the list's anchor */
} xmlTagEntry_t;

/* Renders `serialisedDataLength` bytes of text-mode records as XML. *XMLP receives a new
   buffer (the caller frees it with free; null only when not even that could be
   allocated) and *XMLLengthP the length of the text, which is not terminated. The text
   written so far is handed over on failure too: TT_UNKNOWN_ELEMENT_TYPE for a record
   that is not NAME, VALUE or NAME_VALUE, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE for a
   record that does not lie wholly inside the data, TT_INSUFFICIENT_GLOBAL_STORAGE. */
int buildXMLFromSerialisedTree(const void *serialisedData, int serialisedDataLength, char **XMLP,
                               int *XMLLengthP);

/* Renders the records of tree level *treeDepthP starting at *currentPosP, recursing for
   deeper levels, until a shallower record (left unread) or `endPos`. Each NAME element's
   tag is closed when its subtree ends. The XML buffer (*XMLP of *XMLLengthP bytes,
   written at *currentXMLP) grows as needed. `buffer` and `bufferLength` are the whole
   serialised data. Failures as buildXMLFromSerialisedTree. */
int convertSyntaxElementsToXML(char **XMLP, int *XMLLengthP, char **currentXMLP, const char *buffer,
                               int bufferLength, const char **currentPosP, const char *endPos,
                               int *treeDepthP);

/* Appends the closing tag of the entry. TT_SUCCESS, or TT_INSUFFICIENT_GLOBAL_STORAGE
   when the XML buffer could not grow. The entry stays the caller's. */
int processXMLTagEntry(char **XMLP, int *XMLLengthP, char **currentXMLP, xmlTagEntry_t *tagEntryP);

/* Appends the closing tags of every entry of the anchor's list, in list order, then
   frees every entry and empties the list (also when a closing tag failed, whose code
   is then returned). */
int processXMLTagList(char **XMLP, int *XMLLengthP, char **currentXMLP,
                      xmlTagEntry_t *tagEntryAnchorP);

#endif
