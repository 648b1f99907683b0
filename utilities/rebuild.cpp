/*
 * The reader of binary-mode serialised syntax-element buffers. Owns the reading state
 * (anchor element, read position, anchor depth) that a caller carries from record to
 * record, the checks that keep every read inside the caller's buffer, and the creation
 * of each element through createChildElement / createSiblingElement.
 *
 * Called by anyone rebuilding a subtree flattened by serialiseSyntaxElements. A
 * buffer is never trusted: each record is checked whole against the end of the data
 * before any element is created for it. Records are packed, so fields, names and texts
 * are copied out to aligned storage rather than used in place.
 */
#include "utilities/rebuild.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/message.h"
#include "utilities/serialise.h"
#include "utilities/tracetext.h"
#include "utilities/vocabulary.h"

namespace {

// A terminated CciChar text copied out of the buffer: the local array for short texts,
// the heap beyond.
class WideCopy {
public:
    WideCopy() = default;
    WideCopy(const WideCopy &) = delete;
    WideCopy &operator=(const WideCopy &) = delete;
    ~WideCopy() {
        if (text_ != local_) {
            free(text_);
        }
    }
    // Copies `units` units (the terminator included) from `source`.
    bool assign(const char *source, int64_t units) {
        if (units > static_cast<int64_t>(sizeof local_ / sizeof local_[0])) {
            text_ = static_cast<CciChar *>(malloc(static_cast<size_t>(units) * sizeof(CciChar)));
            if (text_ == nullptr) {
                text_ = local_;
                return false;
            }
        }
        memcpy(text_, source, static_cast<size_t>(units) * sizeof(CciChar));
        text_[units - 1] = 0;
        return true;
    }
    const CciChar *text() const { return text_; }

private:
    CciChar local_[257]; // written before it is read: no zero fill on this per-record path
    CciChar *text_ = local_;
};

// Number of CciChar units from `start` up to and including the first zero unit, when
// it lies before `end`; -1 when the text is not terminated inside the data.
int64_t terminatedUnits(const char *start, const char *end) {
    for (const char *p = start; end - p >= static_cast<ptrdiff_t>(sizeof(CciChar));
         p += sizeof(CciChar)) {
        CciChar unit;
        memcpy(&unit, p, sizeof unit);
        if (unit == 0) {
            return (p - start) / static_cast<ptrdiff_t>(sizeof(CciChar)) + 1;
        }
    }
    return -1;
}

void traceElementType(int32_t elementType) {
    switch (elementType) {
    case CCI_ELEMENT_TYPE_NAME:
        TRACE_INFO_TEXT("element type is NAME");
        break;
    case CCI_ELEMENT_TYPE_VALUE:
        TRACE_INFO_TEXT("element type is VALUE");
        break;
    case CCI_ELEMENT_TYPE_NAME_VALUE:
        TRACE_INFO_TEXT("element type is NAME_VALUE");
        break;
    case CCI_ELEMENT_TYPE_XML_BODY:
        TRACE_INFO_TEXT("element type is XML body");
        break;
    case CCI_ELEMENT_TYPE_DTD_HEADER:
        TRACE_INFO_TEXT("element type is a DTD header");
        break;
    default:
        TRACE_INFO_TEXT("element type is (default) UNKNOWN (0x%.8x)",
                        static_cast<unsigned>(elementType));
        break;
    }
}

// The value part of one record, located and checked before anything is created.
struct valuePart {
    int64_t lengthField = -1; // the length field's contents, for the types that have one
    const char *data = nullptr;
    int64_t size = 0; // bytes of data after the length field
};

} // namespace

int inflateSyntaxElement(CciElement **elementPP, const void *buffer, int bufferLength,
                         const char **currentPosP, int *treeDepthP, bool_t firstElement,
                         bool_t includeFirstElement) {
    TRACE_FUNCTION("inflateSyntaxElement");
    TRACE_ENTRY("*elementPP=%.8x, buffer=%.8x, bufferLength=%d, *currentPosP=%.8x, "
                "*treeDepthP=%d, firstElement=%s, includeFirstElement=%s",
                tracePtr(*elementPP), tracePtr(buffer), bufferLength, tracePtr(*currentPosP),
                *treeDepthP, truthText(firstElement), truthText(includeFirstElement));

    const char *start = static_cast<const char *>(buffer);
    const char *position = *currentPosP;
    if (start == nullptr || position == nullptr || bufferLength < 0 || position < start ||
        position - start > bufferLength) {
        TRACE_ERROR_TEXT("Read position is outside the serialised data");
        TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
        return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
    }
    const char *end = start + bufferLength;
    if (end - position < SERIALISED_HEADER_SIZE) {
        TRACE_ERROR_TEXT("Record header of %d bytes does not fit in the %d bytes left",
                         SERIALISED_HEADER_SIZE, static_cast<int>(end - position));
        TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
        return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
    }

    // 1-2. The fixed header, the element type and the name.
    serialisedHeader_t header;
    memcpy(&header, position, sizeof header);
    static_assert(sizeof header == SERIALISED_HEADER_SIZE, "packed record header");
    traceElementType(header.elementType);
    TRACE_INFO_TEXT("depth=%d, valueType=%d", header.depth, header.valueType);
    if (header.headerLength < SERIALISED_HEADER_SIZE || header.headerLength > end - position ||
        header.depth < 0) {
        TRACE_ERROR_TEXT("Record header (length %d, depth %d) is not valid in the %d bytes left",
                         header.headerLength, header.depth, static_cast<int>(end - position));
        TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
        return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
    }
    const char *valueStart = position + header.headerLength;

    WideCopy name;
    const bool hasName = (header.flags & SERIALISED_FLAG_HAS_NAME) != 0;
    if (hasName) {
        const int64_t units = terminatedUnits(position + SERIALISED_HEADER_SIZE, valueStart);
        if (units < 0) {
            TRACE_ERROR_TEXT("Element name is not terminated inside its record header");
            TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
            return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
        }
        if (!name.assign(position + SERIALISED_HEADER_SIZE, units)) {
            TRACE_ERROR_TEXT("Failed to allocate storage for the element name");
            TRACE_EXIT_INT(69, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        TRACE_INFO_TEXT("element name is %S", name.text());
    } else {
        TRACE_INFO_TEXT("element has no name");
    }

    // The value part is located and checked now, so that a record that does not fit
    // creates nothing.
    const bool hasValue = (header.flags & SERIALISED_FLAG_HAS_VALUE) != 0;
    valuePart value;
    WideCopy text;
    if (hasValue) {
        const char *cursor = valueStart;
        switch (header.valueType) {
        case CCI_VALUE_TYPE_DECIMAL:
        case CCI_VALUE_TYPE_BYTEARRAY:
        case CCI_VALUE_TYPE_BITARRAY: {
            int32_t length = 0;
            if (end - cursor < static_cast<ptrdiff_t>(sizeof length)) {
                TRACE_ERROR_TEXT("Length value does not fit in the serialised data");
                TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
                return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            }
            memcpy(&length, cursor, sizeof length);
            cursor += sizeof length;
            if (length < 0 || length > end - cursor) {
                TRACE_ERROR_TEXT("Value of %d bytes does not fit in the %d bytes left", length,
                                 static_cast<int>(end - cursor));
                TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
                return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            }
            value.lengthField = length;
            value.data = cursor;
            value.size = length;
            if (header.valueType == CCI_VALUE_TYPE_DECIMAL) {
                const int64_t units = terminatedUnits(cursor, cursor + length);
                if (units < 0) {
                    TRACE_ERROR_TEXT("Decimal text is not terminated inside its value");
                    TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
                    return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
                }
                if (!text.assign(cursor, units)) {
                    TRACE_ERROR_TEXT("Failed to allocate storage for the decimal text");
                    TRACE_EXIT_INT(69, TT_INSUFFICIENT_GLOBAL_STORAGE);
                    return TT_INSUFFICIENT_GLOBAL_STORAGE;
                }
            }
            break;
        }
        case CCI_VALUE_TYPE_CHAR: {
            const int64_t units = terminatedUnits(cursor, end);
            if (units < 0) {
                TRACE_ERROR_TEXT("Character value is not terminated inside the serialised data");
                TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
                return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            }
            if (!text.assign(cursor, units)) {
                TRACE_ERROR_TEXT("Failed to allocate storage for the character value");
                TRACE_EXIT_INT(69, TT_INSUFFICIENT_GLOBAL_STORAGE);
                return TT_INSUFFICIENT_GLOBAL_STORAGE;
            }
            value.data = cursor;
            value.size = units * static_cast<int64_t>(sizeof(CciChar));
            break;
        }
        default:
            value.data = cursor;
            value.size = serialisedFixedValueSize(header.valueType);
            if (value.size > end - cursor) {
                TRACE_ERROR_TEXT("Value of %d bytes does not fit in the %d bytes left",
                                 static_cast<int>(value.size), static_cast<int>(end - cursor));
                TRACE_EXIT_INT(69, TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
                return TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE;
            }
            break;
        }
    }

    // 3. The element.
    CciElement *current = *elementPP;
    if (!(firstElement && !includeFirstElement)) {
        TRACE_INFO_TEXT("depth=%d, *treeDepthP=%d", header.depth, *treeDepthP);
        const CciChar *elementName = hasName ? name.text() : U_NULL_STRING_VAL;
        CciElement *created = nullptr;
        const bool hasChild = (header.flags & SERIALISED_FLAG_HAS_CHILD) != 0;
        const bool asChild = header.depth > *treeDepthP;
        if (asChild) {
            created = createChildElement(current, elementName, header.elementType);
            if (created != nullptr) {
                if (hasChild) {
                    ++*treeDepthP;
                    TRACE_INFO_TEXT("treeDepth increased to %d", *treeDepthP);
                } else {
                    TRACE_INFO_TEXT("Element has no children - depth not increased");
                }
            }
        } else {
            int rc = 0;
            while (header.depth < *treeDepthP) {
                CciElement *parent = cniParent(&rc, current);
                if (parent == nullptr) {
                    TRACE_ERROR_TEXT("Failed to get parent element (cniParent rc=%d)", rc);
                    TRACE_EXIT_INT(69, TT_FAILED_TO_GET_PARENT_ELEMENT);
                    return TT_FAILED_TO_GET_PARENT_ELEMENT;
                }
                --*treeDepthP;
                current = parent;
                *elementPP = parent;
                TRACE_INFO_TEXT("Parent element is %.8x, tree level decremented to %d",
                                tracePtr(parent), *treeDepthP);
            }
            created = createSiblingElement(current, elementName, header.elementType);
        }
        if (created == nullptr) {
            TRACE_ERROR_TEXT("Failed to create new element");
            TRACE_EXIT_INT(69, TT_FAILED_TO_CREATE_NEW_ELEMENT);
            return TT_FAILED_TO_CREATE_NEW_ELEMENT;
        }
        current = created;
        // A sibling always takes over as the anchor, so that the next element of its level
        // goes after it and siblings keep their order; a child does when it has children.
        if (hasChild || !asChild) {
            *elementPP = created;
            TRACE_INFO_TEXT("*elementPP set to %.8x", tracePtr(created));
        } else {
            TRACE_INFO_TEXT("Element has no children - global pointer not reset");
        }
    }

    // 4. Past the header.
    position = valueStart;
    TRACE_INFO_TEXT("Buffer pos moved on %d bytes to %.8x", header.headerLength,
                    tracePtr(position));

    // 5. The value.
    if (!hasValue) {
        TRACE_INFO_TEXT("Element has no value");
        *currentPosP = position;
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }
    TRACE_INFO_TEXT("Element has a value");
    if (value.lengthField >= 0) {
        TRACE_INFO_TEXT("Variable length value set to %d", static_cast<int>(value.lengthField));
        position += sizeof(int32_t);
    }
    int rc = 0;
    switch (header.valueType) {
    case CCI_VALUE_TYPE_BYTEARRAY: {
        CciByteArray area = {reinterpret_cast<CciByte *>(const_cast<char *>(value.data)),
                             static_cast<CciSize>(value.size)};
        cniSetElementByteArrayValue(&rc, current, &area);
        break;
    }
    case CCI_VALUE_TYPE_BITARRAY: {
        CciBitArray area = {reinterpret_cast<CciByte *>(const_cast<char *>(value.data)),
                            static_cast<CciSize>(value.size)};
        cniSetElementBitArrayValue(&rc, current, &area);
        break;
    }
    case CCI_VALUE_TYPE_DECIMAL:
        cniSetElementDecimalValue(&rc, current, text.text());
        break;
    case CCI_VALUE_TYPE_CHAR:
        cniSetElementCharacterValue(&rc, current, text.text(),
                                    static_cast<CciSize>(value.size / sizeof(CciChar) - 1));
        break;
    case CCI_VALUE_TYPE_BOOL: {
        CciByte boolean = 0;
        memcpy(&boolean, value.data, sizeof boolean);
        cniSetElementBooleanValue(&rc, current, boolean != 0);
        break;
    }
    case CCI_VALUE_TYPE_INTEGER: {
        CciInt integer = 0;
        memcpy(&integer, value.data, sizeof integer);
        cniSetElementIntegerValue(&rc, current, integer);
        break;
    }
    case CCI_VALUE_TYPE_REAL: {
        CciReal real = 0;
        memcpy(&real, value.data, sizeof real);
        cniSetElementRealValue(&rc, current, real);
        break;
    }
    case CCI_VALUE_TYPE_TIME:
    case CCI_VALUE_TYPE_GMTTIME: {
        CciTime time;
        memcpy(&time, value.data, sizeof time);
        if (header.valueType == CCI_VALUE_TYPE_TIME) {
            cniSetElementTimeValue(&rc, current, time);
        } else {
            cniSetElementGmtTimeValue(&rc, current, time);
        }
        break;
    }
    case CCI_VALUE_TYPE_DATE: {
        CciDate date;
        memcpy(&date, value.data, sizeof date);
        cniSetElementDateValue(&rc, current, date);
        break;
    }
    case CCI_VALUE_TYPE_TIMESTAMP:
    case CCI_VALUE_TYPE_GMTTIMESTAMP: {
        CciTimestamp stamp;
        memcpy(&stamp, value.data, sizeof stamp);
        if (header.valueType == CCI_VALUE_TYPE_TIMESTAMP) {
            cniSetElementTimestampValue(&rc, current, stamp);
        } else {
            cniSetElementGmtTimestampValue(&rc, current, stamp);
        }
        break;
    }
    default:
        TRACE_INFO_TEXT("element value type is (default) UNKNOWN");
        break;
    }
    position += value.size;
    *currentPosP = position;
    TRACE_EXIT_INT(62, TT_SUCCESS);
    return TT_SUCCESS;
}
