/*
 * The writer of the serialised syntax-element buffer. Owns the record layout (header,
 * name, value part in text or binary mode), the pre-order walk that writes a subtree,
 * the growth rule of buffers written piecewise, and the segment sizing from an
 * environment variable.
 *
 * Called by anyone who wants a subtree flattened; the buffer goes back to the caller,
 * who frees it. The reader (rebuild) and the XML renderer (xmlrender) consume it.
 * Records are packed, so every field is copied in with memcpy, never stored in place.
 */
#include "utilities/serialise.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/tracetext.h"
#include "utilities/values.h"

namespace {

// Storage for an element's name: the local array for names of up to 256 characters,
// the heap beyond, so that a long name is written whole.
class NameBuffer {
public:
    NameBuffer() = default;
    NameBuffer(const NameBuffer &) = delete;
    NameBuffer &operator=(const NameBuffer &) = delete;
    ~NameBuffer() {
        if (text_ != local_) {
            free(text_);
        }
    }
    // Reads the element's name; answers its length in characters, -1 when a long name
    // found no storage.
    int read(CciElement *elementP) {
        int rc = 0;
        CciSize units = cniElementName(&rc, elementP, local_, sizeof local_);
        if (units > static_cast<CciSize>(sizeof local_ / sizeof local_[0])) {
            CciChar *heap = static_cast<CciChar *>(malloc(sizeof(CciChar) * units));
            if (heap == nullptr) {
                return -1;
            }
            text_ = heap;
            units = std::min(units, cniElementName(&rc, elementP, text_,
                                                   static_cast<CciSize>(sizeof(CciChar) * units)));
        }
        if (units <= 1) {
            text_[0] = 0;
            return 0;
        }
        text_[units - 1] = 0;
        // The count includes the terminator; a name holding a zero unit ends there.
        int length = 0;
        while (length < units - 1 && text_[length] != 0) {
            ++length;
        }
        return length;
    }
    const CciChar *text() const { return text_; }

private:
    CciChar local_[257]; // written before it is read: no zero fill on this per-record path
    CciChar *text_ = local_;
};

inline void putInt32(char *position, int32_t value) {
    memcpy(position, &value, sizeof value);
}

// Ensures room for `size` bytes at the write position. `extendedText` is traced when the
// buffer grew (and so may have moved). False when the heap could not provide it.
bool ensureRoom(int64_t size, char **bufferP, char **currentPosP, int *bufferLengthP,
                const char *extendedText) {
    if (size > INT32_MAX) {
        return false;
    }
    if (extendBufferIfRequired(static_cast<int>(size), bufferP, currentPosP, bufferLengthP)) {
        TRACE_INFO_TEXT("%s", extendedText);
    }
    return serialisedSpareBytes(*bufferP, *currentPosP, *bufferLengthP) >= size;
}

// Bytes of the binary value part (length field excluded) of a value type; -1 for a
// type without a binary layout.
int64_t binaryValueSize(CciElement *elementP, CciValueType valueType) {
    if (const int64_t fixed = serialisedFixedValueSize(valueType); fixed > 0) {
        return fixed;
    }
    int rc = 0;
    switch (valueType) {
    case CCI_VALUE_TYPE_BYTEARRAY: {
        CciByte scratch[2] = {0, 0};
        CciByteArray area = {scratch, sizeof scratch};
        return std::max<CciSize>(cniElementByteArrayValue(&rc, elementP, &area), 0);
    }
    case CCI_VALUE_TYPE_BITARRAY: {
        CciByte scratch[2] = {0, 0};
        CciBitArray area = {scratch, sizeof scratch};
        return std::max<CciSize>(cniElementBitArrayValue(&rc, elementP, &area), 0);
    }
    case CCI_VALUE_TYPE_CHAR:
    case CCI_VALUE_TYPE_DECIMAL: {
        CciChar scratch[2] = {0, 0};
        CciSize units = valueType == CCI_VALUE_TYPE_CHAR
                            ? cniElementCharacterValue(&rc, elementP, scratch, sizeof scratch)
                            : cniElementDecimalValue(&rc, elementP, scratch, sizeof scratch);
        return 2 * static_cast<int64_t>(std::max<CciSize>(units, 1));
    }
    default:
        return -1;
    }
}

// Writes a CHAR or DECIMAL value as terminated CciChar text of exactly `size` bytes at
// `position`. The broker writes straight into the buffer when the position suits a
// CciChar; a position after an odd-sized record goes through an aligned scratch area.
bool writeWideValue(CciElement *elementP, CciValueType valueType, char *position, int64_t size) {
    int rc = 0;
    auto fetch = [&](CciChar *target) {
        if (valueType == CCI_VALUE_TYPE_CHAR) {
            cniElementCharacterValue(&rc, elementP, target, static_cast<CciSize>(size));
        } else {
            cniElementDecimalValue(&rc, elementP, target, static_cast<CciSize>(size));
        }
        target[size / 2 - 1] = 0;
    };
    if (reinterpret_cast<uintptr_t>(position) % alignof(CciChar) == 0) {
        CciChar *target = reinterpret_cast<CciChar *>(position);
        target[0] = 0;
        fetch(target);
        return true;
    }
    CciChar local[256];
    CciChar *scratch = local;
    if (size > static_cast<int64_t>(sizeof local)) {
        scratch = static_cast<CciChar *>(malloc(static_cast<size_t>(size)));
        if (scratch == nullptr) {
            return false;
        }
    }
    scratch[0] = 0;
    fetch(scratch);
    memcpy(position, scratch, static_cast<size_t>(size));
    if (scratch != local) {
        free(scratch);
    }
    return true;
}

} // namespace

int serialiseSyntaxElements(CciElement *copyFromElement, bool_t storeAsXML, bool_t ignoreDTD,
                            void **outputBufferP, int *outputLengthP) {
    TRACE_FUNCTION("serialiseSyntaxElements");
    TRACE_ENTRY("copyFromElement=%.8x, storeAsXML=%s, ignoreDTD=%s, outputBufferP=%.8x",
                tracePtr(copyFromElement), truthText(storeAsXML), truthText(ignoreDTD),
                tracePtr(outputBufferP));

    int bufferLength = ONE_KBYTE;
    char *buffer = static_cast<char *>(malloc(static_cast<size_t>(bufferLength)));
    if (buffer == nullptr) {
        TRACE_ERROR_TEXT("Failed to allocate a buffer of %d bytes", bufferLength);
        TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    char *currentPos = buffer;
    int treeDepth = 0;
    const int result = deflateAllSyntaxElements(copyFromElement, storeAsXML, ignoreDTD, &buffer,
                                                &currentPos, &bufferLength, &treeDepth);
    if (result != TT_SUCCESS) {
        free(buffer);
        TRACE_EXIT_INT(62, result);
        return result;
    }

    const int dataLength = static_cast<int>(currentPos - buffer);
    if (dataLength < bufferLength) {
        // An empty result keeps one byte, so that the caller always gets an allocation.
        char *shrunk = static_cast<char *>(realloc(buffer, std::max<size_t>(dataLength, 1)));
        if (shrunk != nullptr) {
            buffer = shrunk;
        }
    }
    TRACE_INFO_TEXT("Data length is %d", dataLength);
    *outputBufferP = buffer;
    *outputLengthP = dataLength;
    TRACE_EXIT_INT(62, TT_SUCCESS);
    return TT_SUCCESS;
}

int deflateAllSyntaxElements(CciElement *elementP, bool_t storeAsXML, bool_t ignoreDTD,
                             char **bufferP, char **currentPosP, int *bufferLengthP,
                             int *treeDepthP) {
    TRACE_FUNCTION("deflateAllSyntaxElements");
    TRACE_ENTRY("elementP=%.8x, storeAsXML=%s, ignoreDTD=%s, *bufferP=%.8x, *currentPosP=%.8x, "
                "*bufferLengthP=%d, *treeDepthP=%d",
                tracePtr(elementP), truthText(storeAsXML), truthText(ignoreDTD), tracePtr(*bufferP),
                tracePtr(*currentPosP), *bufferLengthP, *treeDepthP);

    if (ignoreDTD && isElementDTD(elementP)) {
        TRACE_INFO_TEXT("Ignoring DTD element");
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }
    int result =
        deflateSyntaxElement(elementP, storeAsXML, bufferP, currentPosP, bufferLengthP, treeDepthP);
    if (result != TT_SUCCESS) {
        TRACE_EXIT_INT(62, result);
        return result;
    }

    int rc = 0;
    CciElement *child = cniFirstChild(&rc, elementP);
    if (child == nullptr) {
        TRACE_INFO_TEXT("Node has no children");
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }
    TRACE_INFO_TEXT("Got first child of node at %.8x", tracePtr(child));
    ++*treeDepthP;
    result = deflateAllSyntaxElements(child, storeAsXML, ignoreDTD, bufferP, currentPosP,
                                      bufferLengthP, treeDepthP);
    int siblingCount = 0;
    CciElement *sibling = result == TT_SUCCESS ? cniNextSibling(&rc, child) : nullptr;
    if (result == TT_SUCCESS && sibling == nullptr) {
        TRACE_INFO_TEXT("No siblings present");
    }
    while (result == TT_SUCCESS && sibling != nullptr) {
        ++siblingCount;
        TRACE_INFO_TEXT("Processing sibling at %.8x, sibling count is %d", tracePtr(sibling),
                        siblingCount);
        result = deflateAllSyntaxElements(sibling, storeAsXML, ignoreDTD, bufferP, currentPosP,
                                          bufferLengthP, treeDepthP);
        sibling = cniNextSibling(&rc, sibling);
    }
    --*treeDepthP;
    TRACE_EXIT_INT(62, result);
    return result;
}

int deflateSyntaxElement(CciElement *elementP, bool_t storeAsXML, char **bufferP,
                         char **currentPosP, int *bufferLengthP, int *treeDepthP) {
    TRACE_FUNCTION("deflateSyntaxElement");
    TRACE_ENTRY("elementP=%.8x, storeAsXML=%s, *bufferP=%.8x, *currentPosP=%.8x, "
                "*bufferLengthP=%d, *treeDepthP=%d",
                tracePtr(elementP), truthText(storeAsXML), tracePtr(*bufferP),
                tracePtr(*currentPosP), *bufferLengthP, *treeDepthP);

    int rc = 0;
    const CciElementType elementType = cniElementType(&rc, elementP);
    NameBuffer name;
    const int nameLength = name.read(elementP);
    if (nameLength < 0) {
        TRACE_ERROR_TEXT("Failed to allocate storage for a long element name");
        TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    const bool hasName = nameLength > 0;
    if (!hasName) {
        TRACE_INFO_TEXT("element has no name");
    }
    const bool hasChild = cniFirstChild(&rc, elementP) != nullptr;

    bool hasValue = false;
    CciValueType valueType = CCI_VALUE_TYPE_NONE;
    switch (elementType) {
    case CCI_ELEMENT_TYPE_NAME:
        TRACE_INFO_TEXT("element type is NAME");
        break;
    case CCI_ELEMENT_TYPE_VALUE:
        TRACE_INFO_TEXT("element type is VALUE");
        hasValue = true;
        break;
    case CCI_ELEMENT_TYPE_NAME_VALUE:
        TRACE_INFO_TEXT("element type is NAME_VALUE");
        hasValue = true;
        break;
    case CCI_ELEMENT_TYPE_XML_BODY:
        TRACE_INFO_TEXT("element type is XML body");
        break;
    case CCI_ELEMENT_TYPE_DTD_HEADER:
        TRACE_INFO_TEXT("element type is DTD header");
        break;
    default:
        TRACE_INFO_TEXT("element type is 0x%.8x", static_cast<unsigned>(elementType));
        valueType = cniElementValueType(&rc, elementP);
        if (valueType != CCI_VALUE_TYPE_CHAR) {
            TRACE_ERROR_TEXT("UNKNOWN element type with non CHAR value");
            TRACE_EXIT_INT(62, TT_UNKNOWN_ELEMENT_TYPE);
            return TT_UNKNOWN_ELEMENT_TYPE;
        }
        hasValue = true;
        break;
    }

    // The header: built straight at the write position once there is room for it.
    const int64_t headerLength =
        SERIALISED_HEADER_SIZE + (hasName ? 2 * (static_cast<int64_t>(nameLength) + 1) : 0);
    TRACE_INFO_TEXT("Allocating %d bytes for header%s", static_cast<int>(headerLength),
                    hasName ? " and element name" : "");
    int32_t flags = 0;
    if (hasValue) {
        flags |= SERIALISED_FLAG_HAS_VALUE;
        if (valueType == CCI_VALUE_TYPE_NONE) {
            valueType = cniElementValueType(&rc, elementP);
        }
        TRACE_INFO_TEXT("valueType is %d", valueType);
    }
    if (hasName) {
        flags |= SERIALISED_FLAG_HAS_NAME;
        TRACE_INFO_TEXT("element name copied into header");
    }
    if (hasChild) {
        flags |= SERIALISED_FLAG_HAS_CHILD;
        TRACE_INFO_TEXT("element has a child");
    }
    if (!ensureRoom(headerLength, bufferP, currentPosP, bufferLengthP,
                    "Buffer was extended, resetting local pointers")) {
        TRACE_ERROR_TEXT("Failed to extend the buffer for the header");
        TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    char *position = *currentPosP;
    putInt32(position + SERIALISED_HEADER_LENGTH_OFFSET, static_cast<int32_t>(headerLength));
    putInt32(position + SERIALISED_DEPTH_OFFSET, *treeDepthP);
    putInt32(position + SERIALISED_FLAGS_OFFSET, flags);
    putInt32(position + SERIALISED_ELEMENT_TYPE_OFFSET, elementType);
    putInt32(position + SERIALISED_VALUE_TYPE_OFFSET, hasValue ? valueType : 0);
    if (hasName) {
        memcpy(position + SERIALISED_HEADER_SIZE, name.text(),
               static_cast<size_t>(headerLength - SERIALISED_HEADER_SIZE));
    }
    *currentPosP += headerLength;

    if (!hasValue) {
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }

    if (storeAsXML) {
        int32_t textLength = 0;
        int result = formatDataValueForXML(elementP, nullptr, 0, &textLength);
        if (result != TT_SUCCESS) {
            TRACE_EXIT_INT(62, result);
            return result;
        }
        if (!ensureRoom(static_cast<int64_t>(textLength) + 1, bufferP, currentPosP, bufferLengthP,
                        "Buffer was extended, resetting local pointers")) {
            TRACE_ERROR_TEXT("Failed to extend the buffer for the value");
            TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        const int64_t spare = serialisedSpareBytes(*bufferP, *currentPosP, *bufferLengthP);
        result = formatDataValueForXML(elementP, *currentPosP,
                                       static_cast<int32_t>(std::min<int64_t>(spare, INT32_MAX)),
                                       &textLength);
        if (result != TT_SUCCESS) {
            TRACE_ERROR_TEXT("Error formatting data");
            TRACE_EXIT_INT(10, result);
            return result;
        }
        (*currentPosP)[textLength] = '\0';
        *currentPosP += textLength + 1;
        TRACE_INFO_TEXT("bufferPos moved to %.8x", tracePtr(*currentPosP));
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }

    // Binary mode.
    const bool hasLengthField = valueType == CCI_VALUE_TYPE_DECIMAL ||
                                valueType == CCI_VALUE_TYPE_BYTEARRAY ||
                                valueType == CCI_VALUE_TYPE_BITARRAY;
    ptrdiff_t lengthFieldOffset = 0;
    if (hasLengthField) {
        TRACE_INFO_TEXT("Saving space in buffer for length value");
        if (!ensureRoom(sizeof(int32_t), bufferP, currentPosP, bufferLengthP,
                        "Buffer was extended for length value, resetting local pointers")) {
            TRACE_ERROR_TEXT("Failed to extend the buffer for the length value");
            TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        lengthFieldOffset = *currentPosP - *bufferP;
        putInt32(*currentPosP, 0);
        *currentPosP += sizeof(int32_t);
    }

    const int64_t dataSize = binaryValueSize(elementP, valueType);
    if (dataSize < 0) {
        // No binary layout: the record carries no value data, as the reader expects.
        TRACE_INFO_TEXT("element value type is (default) UNKNOWN");
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }
    TRACE_INFO_TEXT("numBytes set to %d", static_cast<int>(std::min<int64_t>(dataSize, INT32_MAX)));
    if (!ensureRoom(dataSize, bufferP, currentPosP, bufferLengthP,
                    "Buffer was extended for data, resetting local pointers")) {
        TRACE_ERROR_TEXT("Failed to extend the buffer for the value");
        TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    TRACE_INFO_TEXT("Spare bytes in buffer is %d",
                    static_cast<int>(serialisedSpareBytes(*bufferP, *currentPosP, *bufferLengthP)));

    char *data = *currentPosP;
    switch (valueType) {
    case CCI_VALUE_TYPE_BYTEARRAY: {
        CciByteArray area = {reinterpret_cast<CciByte *>(data), static_cast<CciSize>(dataSize)};
        cniElementByteArrayValue(&rc, elementP, &area);
        break;
    }
    case CCI_VALUE_TYPE_BITARRAY: {
        CciBitArray area = {reinterpret_cast<CciByte *>(data), static_cast<CciSize>(dataSize)};
        cniElementBitArrayValue(&rc, elementP, &area);
        break;
    }
    case CCI_VALUE_TYPE_CHAR:
    case CCI_VALUE_TYPE_DECIMAL:
        if (!writeWideValue(elementP, valueType, data, dataSize)) {
            TRACE_ERROR_TEXT("Failed to allocate storage for the value");
            TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        break;
    default: {
        // The fixed layouts: fetched into a local record and copied in.
        union {
            CciByte boolean;
            CciInt integer;
            CciReal real;
            CciTime time;
            CciDate date;
            CciTimestamp stamp;
        } value;
        memset(&value, 0, sizeof value);
        switch (valueType) {
        case CCI_VALUE_TYPE_BOOL:
            value.boolean = cniElementBooleanValue(&rc, elementP) != 0 ? 1 : 0;
            break;
        case CCI_VALUE_TYPE_INTEGER:
            value.integer = cniElementIntegerValue(&rc, elementP);
            break;
        case CCI_VALUE_TYPE_REAL:
            value.real = cniElementRealValue(&rc, elementP);
            break;
        case CCI_VALUE_TYPE_TIME:
            value.time = cniElementTimeValue(&rc, elementP);
            break;
        case CCI_VALUE_TYPE_GMTTIME:
            value.time = cniElementGmtTimeValue(&rc, elementP);
            break;
        case CCI_VALUE_TYPE_DATE:
            value.date = cniElementDateValue(&rc, elementP);
            break;
        case CCI_VALUE_TYPE_TIMESTAMP:
            value.stamp = cniElementTimestampValue(&rc, elementP);
            break;
        default:
            value.stamp = cniElementGmtTimestampValue(&rc, elementP);
            break;
        }
        TRACE_INFO_TEXT("Copying %d bytes of fixed data type into buffer",
                        static_cast<int>(dataSize));
        memcpy(data, &value, static_cast<size_t>(dataSize));
        break;
    }
    }
    *currentPosP += dataSize;
    TRACE_INFO_TEXT("bufferPos moved to %.8x", tracePtr(*currentPosP));
    if (hasLengthField) {
        putInt32(*bufferP + lengthFieldOffset, static_cast<int32_t>(dataSize));
    }
    TRACE_EXIT_INT(62, TT_SUCCESS);
    return TT_SUCCESS;
}

bool_t extendBufferIfRequired(int storageRequired, char **bufferP, char **currentPosP,
                              int *bufferLengthP) {
    TRACE_FUNCTION("extendBufferIfRequired");
    TRACE_ENTRY("storageRequired=%d, *bufferP=%.8x, *currentPosP=%.8x, *bufferLengthP=%d",
                storageRequired, tracePtr(*bufferP), tracePtr(*currentPosP), *bufferLengthP);

    bool_t extended = FALSE;
    const int64_t unused = serialisedSpareBytes(*bufferP, *currentPosP, *bufferLengthP);
    TRACE_INFO_TEXT("Buffer contains %d unused bytes", static_cast<int>(unused));
    if (unused >= storageRequired) {
        TRACE_EXIT_TYPE(62, "bool_t", &extended);
        return extended;
    }

    const ptrdiff_t offset = *currentPosP - *bufferP;
    TRACE_INFO_TEXT("Extending buffer storage, currentOffset is %d", static_cast<int>(offset));
    const int64_t shortfall = storageRequired - unused;
    int64_t growth = ONE_KBYTE;
    if (shortfall <= ONE_KBYTE) {
        TRACE_INFO_TEXT("Just ONE_KBYTE");
    } else {
        const int64_t numKbytes = shortfall / ONE_KBYTE + 1;
        TRACE_INFO_TEXT("More than ONE_KBYTE");
        TRACE_INFO_TEXT("numKbytes is %d", static_cast<int>(numKbytes));
        growth = numKbytes * ONE_KBYTE;
    }
    const int64_t newLength = static_cast<int64_t>(*bufferLengthP) + growth;
    char *grown = newLength <= INT32_MAX
                      ? static_cast<char *>(realloc(*bufferP, static_cast<size_t>(newLength)))
                      : nullptr;
    if (grown == nullptr) {
        TRACE_ERROR_TEXT("Failed to extend buffer to %d bytes",
                         static_cast<int>(std::min<int64_t>(newLength, INT32_MAX)));
        TRACE_EXIT_TYPE(62, "bool_t", &extended);
        return extended;
    }
    *bufferP = grown;
    *bufferLengthP = static_cast<int>(newLength);
    *currentPosP = grown + offset;
    extended = TRUE;
    TRACE_EXIT_TYPE(62, "bool_t", &extended);
    return extended;
}

int64_t serialisedFixedValueSize(int32_t valueType) {
    switch (valueType) {
    case CCI_VALUE_TYPE_BOOL:
        return 1;
    case CCI_VALUE_TYPE_INTEGER:
        return sizeof(CciInt);
    case CCI_VALUE_TYPE_REAL:
        return sizeof(CciReal);
    case CCI_VALUE_TYPE_TIME:
    case CCI_VALUE_TYPE_GMTTIME:
        return sizeof(CciTime);
    case CCI_VALUE_TYPE_DATE:
        return sizeof(CciDate);
    case CCI_VALUE_TYPE_TIMESTAMP:
    case CCI_VALUE_TYPE_GMTTIMESTAMP:
        return sizeof(CciTimestamp);
    default:
        return 0;
    }
}

int getSharedSegmentSize(const char *environmentVariableName, int defaultSize) {
    TRACE_FUNCTION("getSharedSegmentSize");
    TRACE_ENTRY("environmentVariableName=%s, defaultSize=%dK",
                environmentVariableName != nullptr ? environmentVariableName : "(null)",
                defaultSize);

    // The largest size that a 32-bit byte count holds in whole kilobytes.
    constexpr int maximumKbytes = INT32_MAX / ONE_KBYTE;
    const char *setting =
        environmentVariableName != nullptr ? getenv(environmentVariableName) : nullptr;
    int64_t kbytes = defaultSize;
    if (setting == nullptr) {
        TRACE_INFO_TEXT("Environment variable %s not specified - default value of %dK will be used",
                        environmentVariableName != nullptr ? environmentVariableName : "(null)",
                        defaultSize);
    } else {
        long requested = strtol(setting, nullptr, 10);
        kbytes = std::clamp<long>(requested, INT32_MIN, INT32_MAX);
        TRACE_INFO_TEXT("Requested size is %dK", static_cast<int>(kbytes));
        if (kbytes < defaultSize) {
            TRACE_INFO_TEXT(
                "Requested size %dK is less than minimum size %dK - resetting to minimum size",
                static_cast<int>(kbytes), defaultSize);
            kbytes = defaultSize;
        }
    }
    if (kbytes > maximumKbytes) {
        TRACE_INFO_TEXT(
            "Requested size %dK is more than maximum size %dK - resetting to maximum size",
            static_cast<int>(kbytes), maximumKbytes);
        kbytes = maximumKbytes;
    } else if (kbytes < -maximumKbytes) {
        kbytes = -maximumKbytes;
    }
    int result = static_cast<int>(kbytes * ONE_KBYTE);
    TRACE_EXIT_TYPE(1, "int", &result);
    return result;
}
