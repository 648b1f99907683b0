/*
 * Element values as text. Owns the text form of every value type (formatDataValueForXML),
 * the retrieval of a value into a new text for a caller (retrieveElementValue,
 * getValueFromSyntaxTree) and the DTD header test (isElementDTD).
 *
 * Called by the serialiser for text-mode values and DTD skipping, and by anyone who
 * wants an element's value as text. Values that fit the two 1000-byte local work
 * buffers are formatted without touching the heap; only larger ones allocate, and
 * free again before returning.
 */
#include "utilities/values.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "portability/unicode.h"
#include "trace/retcodes.h"
#include "trace/trace.h"
#include "utilities/locate.h"
#include "utilities/mqmd.h"
#include "utilities/tracetext.h"

namespace {

// One work buffer: the local array when the value fits, otherwise an exact heap
// allocation released when the buffer goes out of scope.
class WorkBuffer {
public:
    WorkBuffer() = default;
    WorkBuffer(const WorkBuffer &) = delete;
    WorkBuffer &operator=(const WorkBuffer &) = delete;
    ~WorkBuffer() { release(); }

    // Makes room for `size` bytes; false when the heap has none. Contents are not kept.
    bool reserve(int64_t size) {
        if (size <= capacity_) {
            return true;
        }
        if (size > INT32_MAX) {
            return false;
        }
        release();
        char *heap = static_cast<char *>(malloc(static_cast<size_t>(size)));
        if (heap == nullptr) {
            return false;
        }
        data_ = heap;
        capacity_ = static_cast<int32_t>(size);
        return true;
    }
    char *data() { return data_; }
    CciChar *wide() { return reinterpret_cast<CciChar *>(data_); }
    int32_t capacity() const { return capacity_; }

private:
    void release() {
        if (data_ != local_) {
            free(data_);
            data_ = local_;
            capacity_ = VALUE_WORK_BUFFER_SIZE;
        }
    }
    alignas(8) char local_[VALUE_WORK_BUFFER_SIZE];
    char *data_ = local_;
    int32_t capacity_ = VALUE_WORK_BUFFER_SIZE;
};

// Bytes of the UTF-8 form of `units` 16-bit units: a surrogate pair is one 4-byte
// character, an unpaired surrogate becomes the 3-byte replacement character.
int64_t utf8Length(const CciChar *text, int64_t units) {
    int64_t bytes = 0;
    for (int64_t i = 0; i < units; ++i) {
        const CciChar unit = text[i];
        if (unit < 0x80) {
            bytes += 1;
        } else if (unit < 0x800) {
            bytes += 2;
        } else if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 &&
                   text[i + 1] <= 0xDFFF) {
            bytes += 4;
            ++i;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

// Fetches a CHAR or DECIMAL value, as the broker holds it, into `wide`. Answers the
// number of characters without the terminator, or -1 when no room could be made.
int64_t fetchWideText(CciElement *elementP, CciValueType valueType, WorkBuffer &wide) {
    int rc = 0;
    CciChar scratch[2] = {0, 0};
    CciSize units = valueType == CCI_VALUE_TYPE_CHAR
                        ? cniElementCharacterValue(&rc, elementP, scratch, sizeof scratch)
                        : cniElementDecimalValue(&rc, elementP, scratch, sizeof scratch);
    if (units <= 1) {
        wide.wide()[0] = 0;
        return 0;
    }
    const int64_t bytes = 2 * static_cast<int64_t>(units);
    if (!wide.reserve(bytes)) {
        return -1;
    }
    if (valueType == CCI_VALUE_TYPE_CHAR) {
        cniElementCharacterValue(&rc, elementP, wide.wide(), static_cast<CciSize>(bytes));
    } else {
        cniElementDecimalValue(&rc, elementP, wide.wide(), static_cast<CciSize>(bytes));
    }
    wide.wide()[units - 1] = 0;
    return units - 1;
}

// Formats the fixed-layout types (numbers, times, dates, timestamps) into `text`;
// answers the text length.
int formatFixedValue(CciElement *elementP, CciValueType valueType, char *text, size_t size) {
    int rc = 0;
    int written = 0;
    switch (valueType) {
    case CCI_VALUE_TYPE_INTEGER:
        written = snprintf(text, size, "%lld",
                           static_cast<long long>(cniElementIntegerValue(&rc, elementP)));
        break;
    case CCI_VALUE_TYPE_REAL:
        written = snprintf(text, size, "%g", cniElementRealValue(&rc, elementP));
        break;
    case CCI_VALUE_TYPE_TIME:
    case CCI_VALUE_TYPE_GMTTIME: {
        CciTime time = valueType == CCI_VALUE_TYPE_TIME ? cniElementTimeValue(&rc, elementP)
                                                        : cniElementGmtTimeValue(&rc, elementP);
        written = snprintf(text, size, "%.2d:%.2d:%g", time.hour, time.minute,
                           static_cast<double>(time.seconds));
        break;
    }
    case CCI_VALUE_TYPE_DATE: {
        CciDate date = cniElementDateValue(&rc, elementP);
        written = snprintf(text, size, "%.4d-%.2d-%.2d", date.year, date.month, date.day);
        break;
    }
    case CCI_VALUE_TYPE_TIMESTAMP:
    case CCI_VALUE_TYPE_GMTTIMESTAMP: {
        CciTimestamp stamp = valueType == CCI_VALUE_TYPE_TIMESTAMP
                                 ? cniElementTimestampValue(&rc, elementP)
                                 : cniElementGmtTimestampValue(&rc, elementP);
        written = snprintf(text, size, "%.4d-%.2d-%.2d %.2d:%.2d:%g", stamp.date.year,
                           stamp.date.month, stamp.date.day, stamp.time.hour, stamp.time.minute,
                           static_cast<double>(stamp.time.seconds));
        break;
    }
    default:
        break;
    }
    return std::clamp(written, 0, static_cast<int>(size) - 1);
}

// The byte count of a byte or bit array, asked with a 2-byte scratch area.
CciSize arrayByteCount(CciElement *elementP, CciValueType valueType) {
    int rc = 0;
    CciByte scratch[2] = {0, 0};
    CciSize count = 0;
    if (valueType == CCI_VALUE_TYPE_BYTEARRAY) {
        CciByteArray area = {scratch, sizeof scratch};
        count = cniElementByteArrayValue(&rc, elementP, &area);
    } else {
        CciBitArray area = {scratch, sizeof scratch};
        count = cniElementBitArrayValue(&rc, elementP, &area);
    }
    return std::max<CciSize>(count, 0);
}

const char *valueTypeWord(CciValueType valueType) {
    switch (valueType) {
    case CCI_VALUE_TYPE_BOOL:
        return "BOOL";
    case CCI_VALUE_TYPE_INTEGER:
        return "INTEGER";
    case CCI_VALUE_TYPE_REAL:
        return "REAL";
    case CCI_VALUE_TYPE_DECIMAL:
        return "DECIMAL";
    case CCI_VALUE_TYPE_CHAR:
        return "CHAR";
    case CCI_VALUE_TYPE_TIME:
        return "TIME";
    case CCI_VALUE_TYPE_GMTTIME:
        return "GMTTIME";
    case CCI_VALUE_TYPE_DATE:
        return "DATE";
    case CCI_VALUE_TYPE_TIMESTAMP:
        return "TIMESTAMP";
    case CCI_VALUE_TYPE_GMTTIMESTAMP:
        return "GMTTIMESTAMP";
    case CCI_VALUE_TYPE_BYTEARRAY:
        return "BYTEARRAY";
    case CCI_VALUE_TYPE_BITARRAY:
        return "BITARRAY";
    default:
        return "UNKNOWN";
    }
}

// Traces the formatted value under the label the value type uses.
void traceFormattedValue(CciValueType valueType, const char *text) {
    switch (valueType) {
    case CCI_VALUE_TYPE_BYTEARRAY:
        TRACE_INFO_TEXT("byteArray value is '%s'", text);
        break;
    case CCI_VALUE_TYPE_BITARRAY:
        TRACE_INFO_TEXT("bitArray value is '%s'", text);
        break;
    case CCI_VALUE_TYPE_CHAR:
        TRACE_INFO_TEXT("char value is '%s'", text);
        break;
    case CCI_VALUE_TYPE_DECIMAL:
        TRACE_INFO_TEXT("decimal value is '%s'", text);
        break;
    case CCI_VALUE_TYPE_BOOL:
        TRACE_INFO_TEXT("boolValue is '%s'", text);
        break;
    case CCI_VALUE_TYPE_INTEGER:
        TRACE_INFO_TEXT("intValue is '%s'", text);
        break;
    case CCI_VALUE_TYPE_REAL:
        TRACE_INFO_TEXT("realValue is '%s'", text);
        break;
    case CCI_VALUE_TYPE_TIME:
    case CCI_VALUE_TYPE_GMTTIME:
        TRACE_INFO_TEXT("timeValue is '%s'", text);
        break;
    case CCI_VALUE_TYPE_DATE:
        TRACE_INFO_TEXT("dateValue is '%s'", text);
        break;
    default:
        TRACE_INFO_TEXT("timeStampValue is '%s'", text);
        break;
    }
}

} // namespace

int formatDataValueForXML(CciElement *elementP, char *buffer, int32_t bufferLength,
                          int32_t *dataLengthP) {
    TRACE_FUNCTION("formatDataValueForXML");
    TRACE_ENTRY("elementP=%.8x, buffer=%.8x, bufferLength=%d", tracePtr(elementP), tracePtr(buffer),
                bufferLength);

    int rc = 0;
    const CciValueType valueType = cniElementValueType(&rc, elementP);
    TRACE_INFO_TEXT("valueType is %d", valueType);

    // Measuring pass. The first work buffer receives the value as the broker delivers it
    // (the wide text, the array bytes) or, for the fixed-layout types, the finished text.
    WorkBuffer first;
    WorkBuffer second;
    const char *text = nullptr;
    int64_t length = 0;
    int64_t hostBytes = 0;
    int64_t wideUnits = 0;
    CciSize arrayBytes = 0;
    bool_t boolValue = FALSE;
    switch (valueType) {
    case CCI_VALUE_TYPE_BOOL:
        boolValue = cniElementBooleanValue(&rc, elementP) != 0;
        text = boolValue ? "TRUE" : "FALSE";
        length = boolValue ? 4 : 5;
        hostBytes = length;
        break;
    case CCI_VALUE_TYPE_BYTEARRAY:
    case CCI_VALUE_TYPE_BITARRAY:
        arrayBytes = arrayByteCount(elementP, valueType);
        length = 2 * static_cast<int64_t>(arrayBytes);
        hostBytes = length;
        break;
    case CCI_VALUE_TYPE_CHAR:
    case CCI_VALUE_TYPE_DECIMAL:
        // The length is that of the UTF-8 text, so that characters outside ASCII are
        // delivered whole.
        wideUnits = fetchWideText(elementP, valueType, first);
        if (wideUnits < 0) {
            TRACE_ERROR_TEXT("No storage for a value of this size");
            TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        length = utf8Length(first.wide(), wideUnits);
        hostBytes = 2 * length;
        break;
    case CCI_VALUE_TYPE_INTEGER:
    case CCI_VALUE_TYPE_REAL:
    case CCI_VALUE_TYPE_TIME:
    case CCI_VALUE_TYPE_GMTTIME:
    case CCI_VALUE_TYPE_DATE:
    case CCI_VALUE_TYPE_TIMESTAMP:
    case CCI_VALUE_TYPE_GMTTIMESTAMP:
        length = formatFixedValue(elementP, valueType, first.data(), first.capacity());
        text = first.data();
        hostBytes = length;
        break;
    default:
        TRACE_ERROR_TEXT("element value type is (default) UNKNOWN");
        TRACE_EXIT_INT(62, TT_ELEMENT_HAS_NO_VALUE);
        return TT_ELEMENT_HAS_NO_VALUE;
    }
    TRACE_INFO_TEXT("numBytes set to %d",
                    static_cast<int>(std::min<int64_t>(hostBytes, INT32_MAX)));
    if (length >= INT32_MAX) {
        TRACE_ERROR_TEXT("Value of %d characters is too long to format",
                         static_cast<int>(wideUnits));
        TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }

    if (dataLengthP != nullptr) {
        *dataLengthP = static_cast<int32_t>(length);
    }
    if (buffer == nullptr) {
        TRACE_INFO_TEXT("Returning length %d to caller", static_cast<int>(length));
        TRACE_EXIT_INT(62, TT_SUCCESS);
        return TT_SUCCESS;
    }
    if (bufferLength < length) {
        TRACE_ERROR_TEXT("Buffer size (%d) too small to return data (%d)", bufferLength,
                         static_cast<int>(length));
        TRACE_EXIT_INT(62, TT_BUFFER_TOO_SMALL);
        return TT_BUFFER_TOO_SMALL;
    }

    // Formatting pass.
    const bool wideType = valueType == CCI_VALUE_TYPE_CHAR || valueType == CCI_VALUE_TYPE_DECIMAL;
    TRACE_INFO_TEXT(
        "local buffer size required is %d",
        static_cast<int>(std::min<int64_t>((length + 1) * (wideType ? 2 : 1), INT32_MAX)));
    TRACE_INFO_TEXT("element value type is %s", valueTypeWord(valueType));
    switch (valueType) {
    case CCI_VALUE_TYPE_BYTEARRAY:
    case CCI_VALUE_TYPE_BITARRAY: {
        if (!first.reserve(std::max<CciSize>(arrayBytes, 1)) || !second.reserve(length + 1)) {
            TRACE_ERROR_TEXT("No storage for a value of this size");
            TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        CciByte *bytes = reinterpret_cast<CciByte *>(first.data());
        if (valueType == CCI_VALUE_TYPE_BYTEARRAY) {
            CciByteArray area = {bytes, arrayBytes};
            cniElementByteArrayValue(&rc, elementP, &area);
        } else {
            CciBitArray area = {bytes, arrayBytes};
            cniElementBitArrayValue(&rc, elementP, &area);
        }
        dispHex(bytes, arrayBytes, second.data());
        text = second.data();
        break;
    }
    case CCI_VALUE_TYPE_CHAR:
    case CCI_VALUE_TYPE_DECIMAL: {
        if (!second.reserve(length + 1)) {
            TRACE_ERROR_TEXT("No storage for a value of this size");
            TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
            return TT_INSUFFICIENT_GLOBAL_STORAGE;
        }
        int converted = 0;
        second.data()[0] = '\0';
        if (wideUnits > 0 && UCToStr(first.wide(), second.data(), static_cast<int>(length + 1),
                                     &converted) == nullptr) {
            converted = 0;
        }
        // Whatever the converter made of the text, exactly `length` bytes are delivered.
        converted = std::clamp<int>(converted, 0, static_cast<int>(length));
        memset(second.data() + converted, 0, static_cast<size_t>(length + 1 - converted));
        text = second.data();
        break;
    }
    default:
        break; // BOOL and the fixed-layout types were finished while measuring
    }
    traceFormattedValue(valueType, text);

    memcpy(buffer, text, static_cast<size_t>(length));
    TRACE_INFO_TEXT("Returning length %d to caller", static_cast<int>(length));
    TRACE_EXIT_INT(62, TT_SUCCESS);
    return TT_SUCCESS;
}

int retrieveElementValue(CciElement *elementP, bool_t lookForChildValueElement, char **bufferP,
                         int *bufferLengthP) {
    TRACE_FUNCTION("retrieveElementValue");
    TRACE_ENTRY("elementP=%.8x, lookForChildValueElement=%s", tracePtr(elementP),
                truthText(lookForChildValueElement));

    int rc = 0;
    CciChar name[257] = {0};
    CciSize nameChars = cniElementName(&rc, elementP, name, sizeof name);
    TRACE_INFO_TEXT("element name is '%S' (num chars = %d)", static_cast<const CciChar *>(name),
                    nameChars);

    switch (cniElementType(&rc, elementP)) {
    case CCI_ELEMENT_TYPE_VALUE:
        TRACE_INFO_TEXT("element type is VALUE");
        break;
    case CCI_ELEMENT_TYPE_NAME_VALUE:
        TRACE_INFO_TEXT("element type is NAME_VALUE");
        break;
    case CCI_ELEMENT_TYPE_NAME: {
        TRACE_INFO_TEXT("element type is NAME");
        TRACE_ERROR_TEXT("Element has no value");
        if (!lookForChildValueElement) {
            TRACE_EXIT_INT(62, TT_ELEMENT_HAS_NO_VALUE);
            return TT_ELEMENT_HAS_NO_VALUE;
        }
        CciElement *child = cniFirstChild(&rc, elementP);
        if (child == nullptr) {
            TRACE_INFO_TEXT("Node has no VALUE type child node");
            TRACE_EXIT_INT(62, TT_ELEMENT_HAS_NO_VALUE);
            return TT_ELEMENT_HAS_NO_VALUE;
        }
        TRACE_INFO_TEXT("Addressed child node at %.8x", tracePtr(child));
        if (cniElementType(&rc, child) != CCI_ELEMENT_TYPE_VALUE) {
            TRACE_INFO_TEXT("Child node is not a VALUE type");
            TRACE_EXIT_INT(62, TT_ELEMENT_HAS_NO_VALUE);
            return TT_ELEMENT_HAS_NO_VALUE;
        }
        const int result = retrieveElementValue(child, FALSE, bufferP, bufferLengthP);
        TRACE_EXIT_INT(62, result);
        return result;
    }
    default:
        TRACE_ERROR_TEXT("element type is (default) UNKNOWN");
        TRACE_EXIT_INT(62, TT_UNKNOWN_ELEMENT_TYPE);
        return TT_UNKNOWN_ELEMENT_TYPE;
    }

    int32_t length = 0;
    int result = formatDataValueForXML(elementP, nullptr, 0, &length);
    if (result != TT_SUCCESS) {
        TRACE_EXIT_INT(62, result);
        return result;
    }
    const int32_t size = length + 1;
    char *text = static_cast<char *>(calloc(static_cast<size_t>(size), 1));
    if (text == nullptr) {
        TRACE_ERROR_TEXT("Failed to allocate an output buffer of %d bytes", size);
        TRACE_EXIT_INT(62, TT_INSUFFICIENT_GLOBAL_STORAGE);
        return TT_INSUFFICIENT_GLOBAL_STORAGE;
    }
    TRACE_INFO_TEXT("Output buffer of %d bytes allocated at %.8x", size, tracePtr(text));
    result = formatDataValueForXML(elementP, text, size, &length);
    if (result != TT_SUCCESS) {
        free(text);
        TRACE_EXIT_INT(62, result);
        return result;
    }
    TRACE_INFO_TEXT("Returning %d bytes of data", length);
    *bufferP = text;
    *bufferLengthP = size;
    TRACE_EXIT_INT(62, TT_SUCCESS);
    return TT_SUCCESS;
}

int getValueFromSyntaxTree(CciMessage *message, const CciChar *elementName,
                           bool_t lookForChildValueElement, char **bufferP, int *bufferLengthP) {
    TRACE_FUNCTION("getValueFromSyntaxTree");
    TRACE_ENTRY("message=%.8x, elementName=%S, lookForChildValueElement=%s", tracePtr(message),
                elementName, truthText(lookForChildValueElement));

    CciElement *element = locateElementInMessage(message, elementName, FALSE, nullptr, nullptr);
    if (element == nullptr) {
        TRACE_ERROR_TEXT("Failed to locate specified element in tree");
        TRACE_EXIT_INT(1, TT_ELEMENT_NOT_FOUND);
        return TT_ELEMENT_NOT_FOUND;
    }
    const int result =
        retrieveElementValue(element, lookForChildValueElement, bufferP, bufferLengthP);
    if (result != TT_SUCCESS) {
        TRACE_ERROR_TEXT("Failed to extract value from specified element in tree");
        TRACE_EXIT_INT(1, result);
        return result;
    }
    TRACE_EXIT_INT(1, TT_SUCCESS);
    return TT_SUCCESS;
}

bool_t isElementDTD(CciElement *elementP) {
    TRACE_FUNCTION("isElementDTD");
    TRACE_ENTRY("elementP=%.8x", tracePtr(elementP));

    int rc = 0;
    bool_t result = FALSE;
    if (cniElementType(&rc, elementP) == CCI_ELEMENT_TYPE_DTD_HEADER) {
        TRACE_INFO_TEXT("element type is DTD header");
        result = TRUE;
    }
    TRACE_EXIT_TYPE(62, "bool_t", &result);
    return result;
}
