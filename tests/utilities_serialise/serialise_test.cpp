// The serialised buffer writer: exact record layouts in binary and text mode, flags,
// depths, DTD skipping, failures, the growth rule and the segment size setting.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/utilities_serialise/records.h"
#include "tests/utilities_values/elements.h"
#include "trace/retcodes.h"
#include "utilities/serialise.h"

using namespace utiltest;

namespace {

constexpr int32_t NAME = CCI_ELEMENT_TYPE_NAME;
constexpr int32_t VALUE = CCI_ELEMENT_TYPE_VALUE;
constexpr int32_t NAME_VALUE = CCI_ELEMENT_TYPE_NAME_VALUE;

#define EXPECT_BYTES(actual, expected)                                                             \
    EXPECT_EQ(hexOf(actual), hexOf(expected))                                                      \
        << "lengths " << (actual).size() << " and " << (expected).size()

class SerialiseTest : public MessageTest {};

TEST_F(SerialiseTest, BareElementIsTwentyBytes) {
    CciElement *element = add(root, NAME);
    EXPECT_BYTES(serialised(element, false), Bytes().header(0, 0, NAME, 0).data);
}

TEST_F(SerialiseTest, NameAddsItsUnitsAndTerminator) {
    std::string bytes = serialised(addName(root, u"a"), false);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_BYTES(bytes, Bytes().header(0, 0x1, NAME, 0, u"a").data);
}

TEST_F(SerialiseTest, CharValueIsWideInBinaryAndNarrowInText) {
    CciElement *element = setChar(addNameValue(root, u"a"), u"xy");
    EXPECT_BYTES(serialised(element, false),
                 Bytes().header(0, 0x3, NAME_VALUE, 5, u"a").wide(u"xy").data);
    EXPECT_BYTES(serialised(element, true),
                 Bytes().header(0, 0x3, NAME_VALUE, 5, u"a").raw(std::string("xy\0", 3)).data);
}

TEST_F(SerialiseTest, BinaryLayoutOfEveryValueType) {
    struct Case {
        const char *label;
        CciElement *element;
        int32_t valueType;
        std::string value;
    };
    const Case cases[] = {
        {"BOOL", setBool(addValue(root), true), 1, Bytes().byte(1).data},
        {"INTEGER", setInt(addValue(root), -5000000000LL), 2, Bytes().i64(-5000000000LL).data},
        {"REAL", setReal(addValue(root), 0.1), 3, Bytes().f64(0.1).data},
        {"DECIMAL", setDecimal(addValue(root), u"1.25"), 4, Bytes().i32(10).wide(u"1.25").data},
        {"CHAR", setChar(addValue(root), u"\u00e9"), 5, Bytes().wide(u"\u00e9").data},
        {"TIME", setTime(addValue(root), {9, 5, 7.5f}), 6, Bytes().i32(9).i32(5).f32(7.5f).data},
        {"GMTTIME", setTime(addValue(root), {1, 2, 3.0f}, true), 7,
         Bytes().i32(1).i32(2).f32(3.0f).data},
        {"DATE", setDate(addValue(root), {2002, 3, 4}), 8, Bytes().i32(2002).i32(3).i32(4).data},
        {"TIMESTAMP", setTimestamp(addValue(root), {{2002, 3, 4}, {9, 5, 7.5f}}), 9,
         Bytes().i32(2002).i32(3).i32(4).i32(9).i32(5).f32(7.5f).data},
        {"GMTTIMESTAMP", setTimestamp(addValue(root), {{1, 2, 3}, {4, 5, 6.0f}}, true), 10,
         Bytes().i32(1).i32(2).i32(3).i32(4).i32(5).f32(6.0f).data},
        {"BYTEARRAY", setBytes(addValue(root), {0x00, 0xAB, 0x10}), 12,
         Bytes().i32(3).raw(std::string("\x00\xab\x10", 3)).data},
        {"BITARRAY", setBytes(addValue(root), {0x80}, true), 13, Bytes().i32(1).byte(0x80).data},
        {"no value", addValue(root), 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_BYTES(serialised(c.element, false),
                     Bytes().header(0, 0x2, VALUE, c.valueType).raw(c.value).data);
    }
}

TEST_F(SerialiseTest, ByteArrayKeepsEmbeddedZeros) {
    CciElement *element = setBytes(addValue(root), {0x00, 0xAB, 0x10});
    std::string bytes = serialised(element, false);
    ASSERT_EQ(bytes.size(), 20u + 4 + 3);
    EXPECT_EQ(bytes.substr(24), std::string("\x00\xab\x10", 3));
}

TEST_F(SerialiseTest, TextModeStoresFormattedTextAndAZeroByte) {
    CciElement *element = setTimestamp(addNameValue(root, u"t"), {{2002, 3, 4}, {9, 5, 7.5f}});
    EXPECT_BYTES(serialised(element, true), Bytes()
                                                .header(0, 0x3, NAME_VALUE, 9, u"t")
                                                .raw(std::string("2002-03-04 09:05:7.5\0", 21))
                                                .data);
}

TEST_F(SerialiseTest, RecordsFollowTheTreeInPreOrderWithDepthsAndChildFlags) {
    CciElement *top = addName(root, u"top");
    CciElement *a = addName(top, u"a");
    setChar(addValue(a), u"t");
    setInt(addNameValue(a, u"n"), 7);
    addName(top, u"b");
    EXPECT_BYTES(serialised(top, false), Bytes()
                                             .header(0, 0x5, NAME, 0, u"top")
                                             .header(1, 0x5, NAME, 0, u"a")
                                             .header(2, 0x2, VALUE, 5)
                                             .wide(u"t")
                                             .header(2, 0x3, NAME_VALUE, 2, u"n")
                                             .i64(7)
                                             .header(1, 0x1, NAME, 0, u"b")
                                             .data);
}

TEST_F(SerialiseTest, DTDHeaderAndItsSubtreeAreLeftOutOnRequest) {
    CciElement *body = add(root, CCI_ELEMENT_TYPE_XML_BODY, u"XML");
    CciElement *dtd = add(body, CCI_ELEMENT_TYPE_DTD_HEADER);
    addName(addName(dtd, u"inner"), u"deeper");
    setChar(addNameValue(body, u"doc"), u"x");

    const std::string doc = Bytes().header(1, 0x3, NAME_VALUE, 5, u"doc").wide(u"x").data;
    EXPECT_BYTES(serialised(body, false, true),
                 Bytes().header(0, 0x5, CCI_ELEMENT_TYPE_XML_BODY, 0, u"XML").data + doc);
    EXPECT_BYTES(serialised(body, false, false),
                 Bytes().header(0, 0x5, CCI_ELEMENT_TYPE_XML_BODY, 0, u"XML")
                         .header(1, 0x4, CCI_ELEMENT_TYPE_DTD_HEADER, 0)
                         .header(2, 0x5, NAME, 0, u"inner")
                         .header(3, 0x1, NAME, 0, u"deeper")
                         .data +
                     doc);
    std::string none;
    ASSERT_EQ(serialise(dtd, false, none, true), TT_SUCCESS);
    EXPECT_EQ(none.size(), 0u);
}

TEST_F(SerialiseTest, UnknownElementTypesNeedACharValue) {
    const int32_t attribute = CCI_ELEMENT_TYPE_XML_ATTRIBUTE;
    CciElement *withText = setChar(add(root, attribute, u"id"), u"7");
    EXPECT_BYTES(serialised(withText, false),
                 Bytes().header(0, 0x3, attribute, 5, u"id").wide(u"7").data);

    CciElement *withInteger = setInt(add(root, attribute, u"n"), 7);
    CciElement *parent = addName(root, u"p");
    addName(parent, u"fine");
    setInt(add(parent, attribute, u"bad"), 1);
    std::string out = "untouched";
    EXPECT_EQ(serialise(withInteger, false, out), TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(serialise(parent, true, out), TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(out, "untouched");
}

TEST_F(SerialiseTest, TextModeFailsForAValueElementWithoutValue) {
    CciElement *parent = addName(root, u"p");
    addNameValue(parent, u"empty");
    std::string out;
    EXPECT_EQ(serialise(parent, true, out), TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(serialise(parent, false, out), TT_SUCCESS) << "binary mode stores no value data";
}

TEST_F(SerialiseTest, LongNamesAreWrittenWhole) {
    std::u16string name(300, u'n');
    std::string bytes = serialised(addName(root, name), false);
    EXPECT_BYTES(bytes, Bytes().header(0, 0x1, NAME, 0, name).data);
}

TEST_F(SerialiseTest, TreeOfFiveThousandBytesComesBackAtItsLength) {
    // 24 bytes for the parent, 8 children of 24 + 2 x 299 bytes each.
    CciElement *parent = addName(root, u"r");
    for (int i = 0; i < 8; ++i) {
        setChar(addNameValue(parent, u"c"), std::u16string(298, u'v'));
    }
    void *buffer = nullptr;
    int length = 0;
    ASSERT_EQ(serialiseSyntaxElements(parent, FALSE, FALSE, &buffer, &length), TT_SUCCESS);
    EXPECT_EQ(length, 5000);
    free(buffer);
}

TEST_F(SerialiseTest, LargeValueGrowsTheBufferOnce) {
    CciElement *element = setBytes(addValue(root), std::vector<CciByte>(100000, 0x5A));
    std::string bytes = serialised(element, false);
    ASSERT_EQ(bytes.size(), 20u + 4 + 100000);
    EXPECT_EQ(bytes.substr(24), std::string(100000, '\x5A'));
}

// extendBufferIfRequired with 100 unused bytes: request, expected growth.
TEST(ExtendBufferTest, GrowsByWholeKilobytesCoveringTheShortfall) {
    const struct {
        int request;
        int growth;
    } cases[] = {{0, 0}, {100, 0}, {101, 1024}, {1124, 1024}, {1125, 2048}, {2148, 3072}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        int length = 500;
        char *buffer = static_cast<char *>(malloc(static_cast<size_t>(length)));
        for (int i = 0; i < 400; ++i) {
            buffer[i] = static_cast<char>(i);
        }
        char *position = buffer + 400;
        const bool_t grew = extendBufferIfRequired(c.request, &buffer, &position, &length);
        EXPECT_EQ(grew, c.growth != 0 ? TRUE : FALSE);
        EXPECT_EQ(length, 500 + c.growth);
        EXPECT_EQ(position - buffer, 400) << "the write position keeps its offset";
        for (int i = 0; i < 400; ++i) {
            ASSERT_EQ(buffer[i], static_cast<char>(i)) << "contents kept at " << i;
        }
        free(buffer);
    }
}

TEST(SegmentSizeTest, TakesKilobytesFromTheEnvironmentWithTheDefaultAsMinimum) {
    const char *variable = "TREVANE_TEST_SEGMENT_SIZE";
    const struct {
        const char *setting;
        int expected;
    } cases[] = {
        {nullptr, 65536},        {"128", 131072},
        {"16", 65536},           {"abc", 65536},
        {"64K", 65536},          {"2097151", 2147482624},
        {"2097152", 2147482624}, {"99999999999999", 2147482624},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setting != nullptr ? c.setting : "(unset)");
        if (c.setting != nullptr) {
            setenv(variable, c.setting, 1);
        } else {
            unsetenv(variable);
        }
        EXPECT_EQ(getSharedSegmentSize(variable, 64), c.expected);
    }
    unsetenv(variable);
    EXPECT_EQ(getSharedSegmentSize(variable, 3000000), 2147482624) << "a default too large too";
}

} // namespace
