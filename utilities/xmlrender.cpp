/*
 * XML rendering of text-mode serialised syntax-element buffers. Owns the XML buffer
 * state (start, allocated size, write position), the per-level lists of open tags
 * (xmlTagEntry_t) and the walk that turns records into tags and character data, one
 * tree level per call of convertSyntaxElementsToXML.
 *
 * Called by anyone who wants a flattened subtree as XML text. The serialised buffer is
 * never trusted: every header, name and value is checked against the end of the data
 * before it is read, and nesting deeper than RENDER_MAX_DEPTH levels is refused, so no
 * input reads outside the buffer or exhausts the stack. Values go into the XML buffer
 * in one move each, without conversion.
 */
#include "utilities/xmlrender.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/serialise.h"

namespace {

// Deepest tree level rendered; each level is one call frame.
constexpr int RENDER_MAX_DEPTH = 2000;

// Makes room for `size` more bytes of XML; false when the buffer could not grow.
bool ensureXMLRoom(int64_t size, char **XMLP, int *XMLLengthP, char **currentXMLP) {
    if (size > INT32_MAX) {
        return false;
    }
    extendBufferIfRequired(static_cast<int>(size), XMLP, currentXMLP, XMLLengthP);
    return serialisedSpareBytes(*XMLP, *currentXMLP, *XMLLengthP) >= size;
}

void putBytes(char **currentXMLP, const char *data, size_t size) {
    memcpy(*currentXMLP, data, size);
    *currentXMLP += size;
}

// A new tag entry for a name of `units` CciChar units (no terminator) stored at
// `nameBytes` in the serialised buffer. The allocation holds the record, an aligned
// copy of the wide name and its UTF-8 text (up to three bytes a unit), in that order.
xmlTagEntry_t *newTagEntry(const char *nameBytes, int64_t units) {
    const size_t wideSize = static_cast<size_t>(units + 1) * sizeof(CciChar);
    const size_t textSize = static_cast<size_t>(3 * units + 1);
    if (3 * units + 1 > INT32_MAX) {
        return nullptr;
    }
    auto *entry = static_cast<xmlTagEntry_t *>(malloc(sizeof(xmlTagEntry_t) + wideSize + textSize));
    if (entry == nullptr) {
        return nullptr;
    }
    auto *wide = reinterpret_cast<CciChar *>(entry + 1);
    memcpy(wide, nameBytes, static_cast<size_t>(units) * sizeof(CciChar));
    wide[units] = 0;
    entry->tagText = reinterpret_cast<char *>(wide) + wideSize;
    entry->tagText[0] = '\0';
    if (units > 0 &&
        UCToStr(wide, entry->tagText, static_cast<int>(textSize), nullptr) == nullptr) {
        entry->tagText[0] = '\0';
    }
    entry->next = nullptr;
    entry->previous = nullptr;
    return entry;
}

const CciChar *tagEntryWideName(const xmlTagEntry_t *entry) {
    return reinterpret_cast<const CciChar *>(entry + 1);
}

void addAtHead(xmlTagEntry_t *anchor, xmlTagEntry_t *entry) {
    entry->next = anchor->next;
    entry->previous = anchor;
    if (anchor->next != nullptr) {
        anchor->next->previous = entry;
    }
    anchor->next = entry;
}

void unlink(xmlTagEntry_t *entry) {
    if (entry->previous != nullptr) {
        entry->previous->next = entry->next;
    }
    if (entry->next != nullptr) {
        entry->next->previous = entry->previous;
    }
    entry->next = nullptr;
    entry->previous = nullptr;
}

// Releases a level's entries without writing their closing tags (after a failure).
void discardTagList(xmlTagEntry_t *anchor) {
    xmlTagEntry_t *entry = anchor->next;
    while (entry != nullptr) {
        xmlTagEntry_t *next = entry->next;
        free(entry);
        entry = next;
    }
    anchor->next = nullptr;
}

// Units of the terminated CciChar name at `start`, terminator excluded, when the
// terminator lies before `end`; -1 otherwise.
int64_t nameUnits(const char *start, const char *end) {
    for (const char *p = start; end - p >= static_cast<ptrdiff_t>(sizeof(CciChar));
         p += sizeof(CciChar)) {
        CciChar unit;
        memcpy(&unit, p, sizeof unit);
        if (unit == 0) {
            return (p - start) / static_cast<ptrdiff_t>(sizeof(CciChar));
        }
    }
    return -1;
}

} // namespace

int buildXMLFromSerialisedTree(const void *serialisedData, int serialisedDataLength, char **XMLP,
                               int *XMLLengthP) {
    TRACE_FUNCTION("buildXMLFromSerialisedTree");
    TRACE_ENTRY("serialisedData=%.8x, serialisedDataLength=%d", tracePtr(serialisedData),
                serialisedDataLength);

    *XMLLengthP = ONE_KBYTE;
    *XMLP = static_cast<char *>(malloc(ONE_KBYTE));
    if (*XMLP == nullptr) {
        *XMLLengthP = 0;
        TRACE_ERROR_TEXT("Failed to allocate an XML buffer of %d bytes", ONE_KBYTE);
        TRACE_EXIT_INT(7, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    char *currentXML = *XMLP;
    const char *data = static_cast<const char *>(serialisedData);
    int result = TT_SUCCESS;
    if (serialisedDataLength < 0 || (data == nullptr && serialisedDataLength > 0)) {
        TRACE_ERROR_TEXT("No serialised data of length %d", serialisedDataLength);
        result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
    } else {
        const char *currentPos = data;
        const char *endPos = data + serialisedDataLength;
        int treeDepth = 0;
        result = convertSyntaxElementsToXML(XMLP, XMLLengthP, &currentXML, data,
                                            serialisedDataLength, &currentPos, endPos, &treeDepth);
        if (result == TT_SUCCESS && currentPos != endPos) {
            // Only a record shallower than the starting element stops the top level early.
            TRACE_ERROR_TEXT("Record at offset %d lies above the starting element",
                             static_cast<int>(currentPos - data));
            result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
        }
    }
    TRACE_INFO_TEXT("XMLCurrentPos is %.8x, *XMLP is %.8x", tracePtr(currentXML), tracePtr(*XMLP));
    *XMLLengthP = static_cast<int>(currentXML - *XMLP);
    TRACE_INFO_TEXT("Calculated XML message length is %d", *XMLLengthP);
    TRACE_EXIT_INT(7, result);
    return result;
}

int convertSyntaxElementsToXML(char **XMLP, int *XMLLengthP, char **currentXMLP, const char *buffer,
                               int bufferLength, const char **currentPosP, const char *endPos,
                               int *treeDepthP) {
    TRACE_FUNCTION("convertSyntaxElementsToXML");
    TRACE_ENTRY("*XMLP=%.8x, *XMLLengthP=%d, *currentXMLP=%.8x, buffer=%.8x, bufferLength=%d, "
                "*currentPosP=%.8x, endPos=%.8x, *treeDepthP=%d",
                tracePtr(*XMLP), *XMLLengthP, tracePtr(*currentXMLP), tracePtr(buffer),
                bufferLength, tracePtr(*currentPosP), tracePtr(endPos), *treeDepthP);

    // This level's open tags; with every NAME tag closed when its subtree ends, the list
    // holds at most the one element whose subtree is being written.
    xmlTagEntry_t anchor = {nullptr, nullptr, nullptr};
    xmlTagEntry_t *openTag = nullptr;
    int result = TT_SUCCESS;

    auto closeOpenTag = [&]() -> int {
        if (openTag == nullptr) {
            return TT_SUCCESS;
        }
        unlink(openTag);
        const int closed = processXMLTagEntry(XMLP, XMLLengthP, currentXMLP, openTag);
        free(openTag);
        openTag = nullptr;
        return closed;
    };

    for (;;) {
        const char *position = *currentPosP;
        if (position == endPos) {
            TRACE_INFO_TEXT("End of serialised buffer reached");
            result = processXMLTagList(XMLP, XMLLengthP, currentXMLP, &anchor);
            TRACE_EXIT_INT(62, result);
            return result;
        }
        if (position > endPos || endPos - position < SERIALISED_HEADER_SIZE) {
            TRACE_ERROR_TEXT("Record header does not fit in the %d bytes left",
                             static_cast<int>(endPos - position));
            result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            break;
        }

        serialisedHeader_t header;
        memcpy(&header, position, sizeof header);
        bool hasName = false;
        bool hasValue = false;
        switch (header.elementType) {
        case CCI_ELEMENT_TYPE_NAME:
            TRACE_INFO_TEXT("element type is NAME");
            hasName = true;
            break;
        case CCI_ELEMENT_TYPE_VALUE:
            TRACE_INFO_TEXT("element type is VALUE");
            hasValue = true;
            break;
        case CCI_ELEMENT_TYPE_NAME_VALUE:
            TRACE_INFO_TEXT("element type is NAME_VALUE");
            hasName = true;
            hasValue = true;
            break;
        default:
            TRACE_ERROR_TEXT("element type is (default) UNKNOWN");
            result = TT_UNKNOWN_ELEMENT_TYPE;
            break;
        }
        if (result != TT_SUCCESS) {
            break;
        }
        if (header.headerLength < SERIALISED_HEADER_SIZE ||
            header.headerLength > endPos - position) {
            TRACE_ERROR_TEXT("Record header length %d does not fit in the %d bytes left",
                             header.headerLength, static_cast<int>(endPos - position));
            result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            break;
        }
        const char *valueStart = position + header.headerLength;

        if (header.depth != *treeDepthP) {
            TRACE_INFO_TEXT("Current tree level (%d) doesn't match tree level in header (%d)",
                            *treeDepthP, header.depth);
            if (header.depth < *treeDepthP) {
                TRACE_INFO_TEXT("Rewinding tree - return to caller");
                result = processXMLTagList(XMLP, XMLLengthP, currentXMLP, &anchor);
                TRACE_EXIT_INT(62, result);
                return result;
            }
            if (*treeDepthP >= RENDER_MAX_DEPTH) {
                TRACE_ERROR_TEXT("Tree is nested more than %d levels deep", RENDER_MAX_DEPTH);
                result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
                break;
            }
            TRACE_INFO_TEXT("Recursing down one more level");
            ++*treeDepthP;
            result = convertSyntaxElementsToXML(XMLP, XMLLengthP, currentXMLP, buffer, bufferLength,
                                                currentPosP, endPos, treeDepthP);
            --*treeDepthP;
            if (result == TT_SUCCESS) {
                // The subtree of this level's open element has ended: close it.
                result = closeOpenTag();
            }
            if (result != TT_SUCCESS) {
                break;
            }
            continue;
        }

        // A record at this level ends the subtree of the element opened before it.
        result = closeOpenTag();
        if (result != TT_SUCCESS) {
            break;
        }

        xmlTagEntry_t *entry = nullptr;
        if (hasName) {
            int64_t units = 0;
            if ((header.flags & SERIALISED_FLAG_HAS_NAME) != 0) {
                units = nameUnits(position + SERIALISED_HEADER_SIZE, valueStart);
                if (units < 0) {
                    TRACE_ERROR_TEXT("Element name is not terminated inside its record header");
                    result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
                    break;
                }
            }
            entry = newTagEntry(position + SERIALISED_HEADER_SIZE, units);
            if (entry == nullptr) {
                TRACE_ERROR_TEXT("Failed to allocate a tag entry for a name of %d characters",
                                 static_cast<int>(units));
                result = TT_INSUFFICIENT_GLOBAL_STORAGE;
                break;
            }
            TRACE_INFO_TEXT("element name is '%S'", tagEntryWideName(entry));
            if (header.elementType == CCI_ELEMENT_TYPE_NAME) {
                addAtHead(&anchor, entry);
                openTag = entry;
                TRACE_INFO_TEXT("Tag added to stack");
            }
            const size_t tagLength = strlen(entry->tagText);
            if (!ensureXMLRoom(static_cast<int64_t>(tagLength) + 2, XMLP, XMLLengthP,
                               currentXMLP)) {
                TRACE_ERROR_TEXT("Failed to extend the XML buffer for a tag");
                result = TT_INSUFFICIENT_GLOBAL_STORAGE;
            } else {
                putBytes(currentXMLP, "<", 1);
                putBytes(currentXMLP, entry->tagText, tagLength);
                putBytes(currentXMLP, ">", 1);
            }
            if (result != TT_SUCCESS) {
                if (entry != openTag) {
                    free(entry);
                }
                break;
            }
        }

        *currentPosP = valueStart;
        TRACE_INFO_TEXT("Buffer pos moved on %d bytes to %.8x", header.headerLength,
                        tracePtr(valueStart));

        if (!hasValue) {
            TRACE_INFO_TEXT("Element has no value");
            continue;
        }
        TRACE_INFO_TEXT("Element has a value");
        const char *terminator = static_cast<const char *>(
            memchr(valueStart, '\0', static_cast<size_t>(endPos - valueStart)));
        if (terminator == nullptr) {
            TRACE_ERROR_TEXT("Value text is not terminated inside the serialised data");
            free(entry != openTag ? entry : nullptr);
            result = TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            break;
        }
        const int64_t length = terminator - valueStart;
        TRACE_INFO_TEXT("Length of data in buffer is %d", static_cast<int>(length));
        *currentPosP = terminator + 1;
        const bool nameValue = header.elementType == CCI_ELEMENT_TYPE_NAME_VALUE;
        if (!ensureXMLRoom(length + (nameValue ? 2 : 0), XMLP, XMLLengthP, currentXMLP)) {
            TRACE_ERROR_TEXT("Failed to extend the XML buffer for a value");
            free(entry != openTag ? entry : nullptr);
            result = TT_INSUFFICIENT_GLOBAL_STORAGE;
            break;
        }
        TRACE_INFO_TEXT("Copying %d bytes of data into XML message buffer",
                        static_cast<int>(length));
        putBytes(currentXMLP, valueStart, static_cast<size_t>(length));
        if (nameValue) {
            result = processXMLTagEntry(XMLP, XMLLengthP, currentXMLP, entry);
            free(entry);
            if (result != TT_SUCCESS) {
                discardTagList(&anchor);
                TRACE_EXIT_INT(61, result);
                return result;
            }
        }
    }

    discardTagList(&anchor);
    TRACE_EXIT_INT(62, result);
    return result;
}

int processXMLTagEntry(char **XMLP, int *XMLLengthP, char **currentXMLP, xmlTagEntry_t *tagEntryP) {
    TRACE_FUNCTION("processXMLTagEntry");
    TRACE_ENTRY("*XMLP=%.8x, *XMLLengthP=%d, *currentXMLP=%.8x, tagEntryP=%.8x", tracePtr(*XMLP),
                *XMLLengthP, tracePtr(*currentXMLP), tracePtr(tagEntryP));

    const size_t tagLength = strlen(tagEntryP->tagText);
    TRACE_INFO_TEXT("Tag name is %s", static_cast<const char *>(tagEntryP->tagText));
    const int64_t needed = static_cast<int64_t>(tagLength) + 3;
    if (needed > INT32_MAX) {
        TRACE_EXIT_INT(7, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    if (extendBufferIfRequired(static_cast<int>(needed), XMLP, currentXMLP, XMLLengthP)) {
        TRACE_INFO_TEXT("Buffer was extended");
        TRACE_INFO_TEXT("*XMLP value is %.8x", tracePtr(*XMLP));
        TRACE_INFO_TEXT("*XMLLengthP value is %d", *XMLLengthP);
        TRACE_INFO_TEXT("*currentXMLP value is %.8x", tracePtr(*currentXMLP));
    }
    if (serialisedSpareBytes(*XMLP, *currentXMLP, *XMLLengthP) < needed) {
        TRACE_ERROR_TEXT("Failed to extend the XML buffer for a closing tag");
        TRACE_EXIT_INT(7, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    putBytes(currentXMLP, "</", 2);
    putBytes(currentXMLP, tagEntryP->tagText, tagLength);
    putBytes(currentXMLP, ">", 1);
    TRACE_EXIT_INT(7, TT_SUCCESS);
    return TT_SUCCESS;
}

int processXMLTagList(char **XMLP, int *XMLLengthP, char **currentXMLP,
                      xmlTagEntry_t *tagEntryAnchorP) {
    TRACE_FUNCTION("processXMLTagList");
    TRACE_ENTRY("*XMLP=%.8x, *XMLLengthP=%d, *currentXMLP=%.8x, tagEntryAnchorP=%.8x",
                tracePtr(*XMLP), *XMLLengthP, tracePtr(*currentXMLP), tracePtr(tagEntryAnchorP));

    int result = TT_SUCCESS;
    for (xmlTagEntry_t *entry = tagEntryAnchorP->next; entry != nullptr && result == TT_SUCCESS;
         entry = entry->next) {
        TRACE_INFO_TEXT("Processing tag element at %.8x", tracePtr(entry));
        result = processXMLTagEntry(XMLP, XMLLengthP, currentXMLP, entry);
    }
    // Every entry is released, also after a failed closing tag.
    xmlTagEntry_t *entry = tagEntryAnchorP->next;
    while (entry != nullptr) {
        xmlTagEntry_t *next = entry->next;
        TRACE_INFO_TEXT("free'ing tag entry at %.8x", tracePtr(entry));
        free(entry);
        entry = next;
    }
    tagEntryAnchorP->next = nullptr;
    TRACE_EXIT_INT(result == TT_SUCCESS ? 7 : 6, result);
    return result;
}
