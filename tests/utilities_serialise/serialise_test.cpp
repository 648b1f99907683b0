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

using SerialiseTest = MessageTest;

TEST_F(SerialiseTest, BareElementIsTwentyBytesAndANameAddsItsUnits) {
    EXPECT_BYTES(serialised(build("[NAME]"), false), Bytes().header(0, 0, NAME, 0).data);
    EXPECT_BYTES(serialised(build("a"), false), Bytes().header(0, 0x1, NAME, 0, u"a").data);
    const std::u16string longName(300, u'n');
    EXPECT_BYTES(serialised(build(std::string(300, 'n')), false),
                 Bytes().header(0, 0x1, NAME, 0, longName).data)
        << "names longer than 256 characters are written whole";
}

TEST_F(SerialiseTest, CharValueIsWideInBinaryAndNarrowInText) {
    CciElement *element = build("a='xy'");
    EXPECT_BYTES(serialised(element, false),
                 Bytes().header(0, 0x3, NAME_VALUE, 5, u"a").wide(u"xy").data);
    EXPECT_BYTES(serialised(element, true),
                 Bytes().header(0, 0x3, NAME_VALUE, 5, u"a").raw(std::string("xy\0", 3)).data);
}

TEST_F(SerialiseTest, BinaryLayoutOfEveryValueType) {
    const struct {
        const char *tree;
        int32_t valueType;
        std::string value;
    } cases[] = {
        {"=TRUE", 1, Bytes().byte(1).data},
        {"=-5000000000", 2, Bytes().i64(-5000000000LL).data},
        {"=0.1", 3, Bytes().f64(0.1).data},
        {"=DEC'1.25'", 4, Bytes().i32(10).wide(u"1.25").data},
        {"='\xc3\xa9'", 5, Bytes().wide(u"\u00e9").data},
        {"=T'09:05:07.5'", 6, Bytes().i32(9).i32(5).f32(7.5f).data},
        {"=GT'01:02:03'", 7, Bytes().i32(1).i32(2).f32(3.0f).data},
        {"=D'2002-03-04'", 8, Bytes().i32(2002).i32(3).i32(4).data},
        {"=TS'2002-03-04 09:05:07.5'", 9,
         Bytes().i32(2002).i32(3).i32(4).i32(9).i32(5).f32(7.5f).data},
        {"=GTS'0001-02-03 04:05:06'", 10, Bytes().i32(1).i32(2).i32(3).i32(4).i32(5).f32(6).data},
        {"=X'00ab10'", 12, Bytes().i32(3).raw(std::string("\x00\xab\x10", 3)).data},
        {"=B'80'", 13, Bytes().i32(1).byte(0x80).data},
        {"[VALUE]", 0, ""},
    };
    for (const auto &c : cases) {
        EXPECT_BYTES(serialised(build(c.tree), false),
                     Bytes().header(0, 0x2, VALUE, c.valueType).raw(c.value).data)
            << c.tree;
    }
}

TEST_F(SerialiseTest, RecordsFollowTheTreeInPreOrderWithDepthsAndChildFlags) {
    EXPECT_BYTES(serialised(build("top(a('t', n=7), b)"), false),
                 Bytes()
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
    CciElement *body = build("XML([DTD](inner(deeper)), doc='x')");
    const int32_t XML_BODY = CCI_ELEMENT_TYPE_XML_BODY;
    const std::string doc = Bytes().header(1, 0x3, NAME_VALUE, 5, u"doc").wide(u"x").data;
    EXPECT_BYTES(serialised(body, false, true),
                 Bytes().header(0, 0x5, XML_BODY, 0, u"XML").data + doc);
    EXPECT_BYTES(serialised(body, false, false),
                 Bytes().header(0, 0x5, XML_BODY, 0, u"XML")
                         .header(1, 0x4, CCI_ELEMENT_TYPE_DTD_HEADER, 0)
                         .header(2, 0x5, NAME, 0, u"inner")
                         .header(3, 0x1, NAME, 0, u"deeper")
                         .data +
                     doc);
    std::string none;
    int rc = 0;
    ASSERT_EQ(serialise(cniFirstChild(&rc, body), false, none, true), TT_SUCCESS);
    EXPECT_EQ(none.size(), 0u);
}

TEST_F(SerialiseTest, OtherElementTypesNeedACharValue) {
    const int32_t attribute = CCI_ELEMENT_TYPE_XML_ATTRIBUTE;
    EXPECT_BYTES(serialised(build("@id='7'"), false),
                 Bytes().header(0, 0x3, attribute, 5, u"id").wide(u"7").data);
    std::string out = "untouched";
    EXPECT_EQ(serialise(build("n[0x03000100]=7"), false, out), TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(serialise(build("p(fine, bad[0x03000100]=1)"), true, out), TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(out, "untouched");
}

TEST_F(SerialiseTest, TextModeFailsForAValueElementWithoutValue) {
    std::string out;
    EXPECT_EQ(serialise(build("p(empty[NAME_VALUE])"), true, out), TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(serialise(build("p(empty[NAME_VALUE])"), false, out), TT_SUCCESS)
        << "binary mode stores no value data";
}

TEST_F(SerialiseTest, TreeOfFiveThousandBytesComesBackAtItsLength) {
    // 24 bytes for the parent, 8 children of 24 + 2 x 299 bytes each.
    std::string tree = "r(";
    for (int i = 0; i < 8; ++i) {
        tree += (i > 0 ? ", c='" : "c='") + std::string(298, 'v') + "'";
    }
    void *buffer = nullptr;
    int length = 0;
    ASSERT_EQ(serialiseSyntaxElements(build(tree + ")"), FALSE, FALSE, &buffer, &length),
              TT_SUCCESS);
    EXPECT_EQ(length, 5000);
    free(buffer);
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

TEST(ExtendBufferTest, SizeBeyondAThirtyTwoBitCountLeavesTheBufferAsItWas) {
    int length = 64;
    char *buffer = static_cast<char *>(malloc(static_cast<size_t>(length)));
    char *position = buffer + 10;
    EXPECT_EQ(extendBufferIfRequired(INT32_MAX, &buffer, &position, &length), FALSE);
    EXPECT_EQ(length, 64);
    EXPECT_EQ(position - buffer, 10);
    free(buffer);
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
