// Helpers of the message-utility tests: a fixture owning a message context, element
// builders and value setters over the broker interface (for trees made by program; the
// tree notation of tests/support serves the rest), and byte and text helpers.
#ifndef TREVANE_TESTS_UTILITIES_VALUES_ELEMENTS_H
#define TREVANE_TESTS_UTILITIES_VALUES_ELEMENTS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "broker/cni.h"
#include "broker/host.h"
#include "tests/support/support.h"

namespace utiltest {

inline CciElement *rootOf(CciMessage *message) {
    int rc = 0;
    return cniRootElement(&rc, message);
}

// A new last child of `parent` with that type and (unless empty) name.
inline CciElement *add(CciElement *parent, CciElementType type, std::u16string_view name = {}) {
    int rc = 0;
    CciElement *element = cniCreateElementAsLastChild(&rc, parent);
    EXPECT_EQ(rc, 0) << "cniCreateElementAsLastChild";
    cniSetElementType(&rc, element, type);
    if (!name.empty()) {
        std::u16string text(name);
        cniSetElementName(&rc, element, text.c_str());
    }
    return element;
}

inline CciElement *addName(CciElement *parent, std::u16string_view name) {
    return add(parent, CCI_ELEMENT_TYPE_NAME, name);
}
inline CciElement *addValue(CciElement *parent) {
    return add(parent, CCI_ELEMENT_TYPE_VALUE);
}
inline CciElement *addNameValue(CciElement *parent, std::u16string_view name) {
    return add(parent, CCI_ELEMENT_TYPE_NAME_VALUE, name);
}

inline CciElement *setChar(CciElement *element, std::u16string_view text) {
    int rc = 0;
    std::u16string copy(text);
    cniSetElementCharacterValue(&rc, element, copy.c_str(), static_cast<CciSize>(copy.size()));
    return element;
}
inline CciElement *setDecimal(CciElement *element, std::u16string_view text) {
    int rc = 0;
    std::u16string copy(text);
    cniSetElementDecimalValue(&rc, element, copy.c_str());
    return element;
}
inline CciElement *setInt(CciElement *element, CciInt value) {
    int rc = 0;
    cniSetElementIntegerValue(&rc, element, value);
    return element;
}
inline CciElement *setBool(CciElement *element, bool value) {
    int rc = 0;
    cniSetElementBooleanValue(&rc, element, value ? 1 : 0);
    return element;
}
inline CciElement *setReal(CciElement *element, double value) {
    int rc = 0;
    cniSetElementRealValue(&rc, element, value);
    return element;
}
inline CciElement *setTime(CciElement *element, CciTime value, bool gmt = false) {
    int rc = 0;
    gmt ? cniSetElementGmtTimeValue(&rc, element, value)
        : cniSetElementTimeValue(&rc, element, value);
    return element;
}
inline CciElement *setDate(CciElement *element, CciDate value) {
    int rc = 0;
    cniSetElementDateValue(&rc, element, value);
    return element;
}
inline CciElement *setTimestamp(CciElement *element, CciTimestamp value, bool gmt = false) {
    int rc = 0;
    gmt ? cniSetElementGmtTimestampValue(&rc, element, value)
        : cniSetElementTimestampValue(&rc, element, value);
    return element;
}
inline CciElement *setBytes(CciElement *element, std::vector<CciByte> bytes, bool bits = false) {
    int rc = 0;
    CciByte none = 0;
    CciByte *data = bytes.empty() ? &none : bytes.data();
    if (bits) {
        CciBitArray area = {data, static_cast<CciSize>(bytes.size())};
        cniSetElementBitArrayValue(&rc, element, &area);
    } else {
        CciByteArray area = {data, static_cast<CciSize>(bytes.size())};
        cniSetElementByteArrayValue(&rc, element, &area);
    }
    return element;
}

inline std::string hexOf(const void *data, size_t size) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < size; ++i) {
        snprintf(pair, sizeof pair, "%02x", static_cast<const CciByte *>(data)[i]);
        text += pair;
        if (i % 4 == 3 && i + 1 < size) {
            text += ' ';
        }
    }
    return text;
}
inline std::string hexOf(std::string_view bytes) {
    return hexOf(bytes.data(), bytes.size());
}

inline std::string utf8(std::u16string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A fixture owning one message context and a "Root" message in it; the context (with
// every message made in it) is deleted after the test.
class MessageTest : public ::testing::Test {
protected:
    CciMessage *newMessage(std::string_view notation = "") { return scope.message(notation); }

    testsupport::MessageScope scope;
    CciMessage *message = scope.message();
    CciElement *root = rootOf(message);
};

inline int childCount(CciElement *element) {
    int rc = 0;
    int count = 0;
    for (CciElement *child = cniFirstChild(&rc, element); child != nullptr;
         child = cniNextSibling(&rc, child)) {
        ++count;
    }
    return count;
}

} // namespace utiltest

#endif
