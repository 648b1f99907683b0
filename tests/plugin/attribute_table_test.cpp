// The attribute table as the node module and the broker use it: entries created unset,
// values stored by type, read back as text with the broker's size rules, custom names
// reported only once set, typed reads and hex-coded names.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

#include "plugin/plugin.h"
#include "trace/retcodes.h"

namespace {

std::string utf8(const std::u16string &text) {
    std::string out;
    for (char16_t unit : text) {
        out += unit < 0x80 ? static_cast<char>(unit) : '?';
    }
    return out;
}

/* A bare context holding the attributes the tests register; frees them at the end. */
class AttributeTable : public ::testing::Test {
protected:
    nodeContext_t context{};

    void TearDown() override {
        deleteAttributeTableEntries(&context);
        free(context.label);
    }
    void add(const char16_t *name, int32_t type, int32_t isCustom = 0) {
        ASSERT_NE(insertAttributeTableEntry(&context, u"TrevaneNode", isCustom, name, type),
                  nullptr);
    }
    int set(const char16_t *name, const char16_t *value) {
        return commonSetAttribute(&context, name, value);
    }
    /* The broker's read: the code and, on success, the text. */
    std::pair<int, std::u16string> get(const char16_t *name, int size = 255) {
        std::vector<CciChar> buffer(size + 1, u'#');
        int rc = getAttribute(&context, const_cast<CciChar *>(name), buffer.data(), size);
        return {rc, rc == 0 ? std::u16string(buffer.data()) : std::u16string()};
    }
    std::pair<int, std::u16string> name(int index, int size = 127) {
        std::vector<CciChar> buffer(size + 1, u'#');
        int rc = getAttributeName(&context, index, buffer.data(), size);
        return {rc, rc == 0 ? std::u16string(buffer.data()) : std::u16string()};
    }
};

TEST_F(AttributeTable, UnsetAndUnknownAttributesBothAnswer65) {
    add(u"CopyValueTo", ATTRIBUTE_TYPE_BYTEARRAY, 1);
    EXPECT_EQ(get(u"CopyValueTo").first, CCI_ATTRIBUTE_UNKNOWN);
    EXPECT_EQ(get(u"NoSuchAttribute").first, CCI_ATTRIBUTE_UNKNOWN);
    EXPECT_EQ(set(u"NoSuchAttribute", u"x"), CCI_ATTRIBUTE_UNKNOWN);
    EXPECT_EQ(set(u"copyvalueto", u"x"), CCI_ATTRIBUTE_UNKNOWN) << "names match exactly";
}

TEST_F(AttributeTable, BooleanStoresFalseOnlyForExactLowerCaseFalse) {
    add(u"flag", ATTRIBUTE_TYPE_BOOL);
    struct Case {
        const char16_t *value;
        const char16_t *readBack;
        bool_t typed;
    } cases[] = {
        {u"false", u"false", FALSE}, {u"FALSE", u"true", TRUE}, {u"true", u"true", TRUE},
        {u"yes", u"true", TRUE},     {u"", u"true", TRUE},      {u"false ", u"true", TRUE},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(set(u"flag", c.value), 0);
        auto [rc, text] = get(u"flag");
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(text, c.readBack) << "set '" << utf8(c.value) << "', read '" << utf8(text) << "'";
        bool_t typed = 7;
        EXPECT_EQ(getBooleanAttribute(&context, u"flag", &typed), TT_SUCCESS);
        EXPECT_EQ(typed, c.typed) << "set '" << utf8(c.value) << "'";
    }
    // Read from a text attribute, only "true" itself is TRUE.
    add(u"text", ATTRIBUTE_TYPE_BYTEARRAY);
    ASSERT_EQ(set(u"text", u"yes"), 0);
    bool_t typed = 7;
    EXPECT_EQ(getBooleanAttribute(&context, u"text", &typed), TT_SUCCESS);
    EXPECT_EQ(typed, FALSE);
}

TEST_F(AttributeTable, TextIsReplacedAndLabelAlsoReplacesTheContextLabel) {
    add(u"label", ATTRIBUTE_TYPE_BYTEARRAY);
    ASSERT_EQ(set(u"label", u"first"), 0);
    ASSERT_NE(context.label, nullptr);
    EXPECT_EQ(std::u16string(context.label), u"first");
    ASSERT_EQ(set(u"label", u"second"), 0); // the first label is freed (ASan would see a leak)
    EXPECT_EQ(std::u16string(context.label), u"second");
    EXPECT_EQ(get(u"label").second, u"second");
}

TEST_F(AttributeTable, ReadSizeCountsUnitsWithoutTerminator) {
    add(u"text", ATTRIBUTE_TYPE_BYTEARRAY);
    add(u"number", ATTRIBUTE_TYPE_INTEGER);
    for (const char16_t *attribute : {u"text", u"number"}) {
        ASSERT_EQ(set(attribute, u"Root.a.b"), 0); // 8 units
        EXPECT_EQ(get(attribute, 8), std::make_pair(0, std::u16string(u"Root.a.b")))
            << utf8(attribute);
        std::vector<CciChar> buffer(8, u'#');
        EXPECT_EQ(getAttribute(&context, const_cast<CciChar *>(attribute), buffer.data(), 7),
                  CCI_BUFFER_TOO_SMALL)
            << utf8(attribute);
        EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), u"########")
            << "a refused read leaves the buffer untouched";
    }
}

TEST_F(AttributeTable, IntegerTypeRefusesValuesBeyond127UnitsAndKeepsThePrevious) {
    add(u"number", ATTRIBUTE_TYPE_INTEGER);
    std::u16string fits(127, u'7');
    std::u16string tooLong(128, u'8');
    ASSERT_EQ(set(u"number", fits.c_str()), 0);
    EXPECT_EQ(set(u"number", tooLong.c_str()), CCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(get(u"number").second, fits);
}

TEST_F(AttributeTable, CustomNameIsReportedOnlyOnceSet) {
    add(u"CopyValueTo", ATTRIBUTE_TYPE_BYTEARRAY, 1);
    add(u"label", ATTRIBUTE_TYPE_BYTEARRAY, 0);
    ASSERT_EQ(set(u"label", u"node1"), 0);
    EXPECT_EQ(name(0).first, CCI_ATTRIBUTE_UNKNOWN) << "custom but unset; label is not custom";

    ASSERT_EQ(set(u"CopyValueTo", u"Root.a"), 0);
    EXPECT_EQ(name(0), std::make_pair(0, std::u16string(u"CopyValueTo")));
    EXPECT_EQ(name(1).first, CCI_ATTRIBUTE_UNKNOWN);
}

TEST_F(AttributeTable, CustomNameThatDoesNotFitIsRefusedWith22) {
    add(u"CopyValueTo", ATTRIBUTE_TYPE_BYTEARRAY, 1); // 11 units
    ASSERT_EQ(set(u"CopyValueTo", u"Root.a"), 0);
    EXPECT_EQ(name(0, 11), std::make_pair(0, std::u16string(u"CopyValueTo")));
    std::vector<CciChar> buffer(11, u'#');
    EXPECT_EQ(getAttributeName(&context, 0, buffer.data(), 10), CCI_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::u16string(buffer.begin(), buffer.end()), std::u16string(11, u'#'));
}

TEST_F(AttributeTable, TypedReadsConvertOrFailLeavingTheOutputAlone) {
    add(u"number", ATTRIBUTE_TYPE_INTEGER);
    add(u"text", ATTRIBUTE_TYPE_BYTEARRAY);
    ASSERT_EQ(set(u"number", u"42abc"), 0);
    int32_t value = -1;
    EXPECT_EQ(getIntegerAttribute(&context, u"number", &value), TT_SUCCESS);
    EXPECT_EQ(value, 42);
    ASSERT_EQ(set(u"number", u"abc"), 0);
    EXPECT_EQ(getIntegerAttribute(&context, u"number", &value), TT_SUCCESS);
    EXPECT_EQ(value, 0);

    value = -1;
    EXPECT_EQ(getIntegerAttribute(&context, u"missing", &value), TT_FAILED);
    EXPECT_EQ(getIntegerAttribute(&context, u"text", &value), TT_FAILED) << "unset";
    EXPECT_EQ(value, -1);
    bool_t flag = 7;
    EXPECT_EQ(getBooleanAttribute(&context, u"missing", &flag), TT_FAILED);
    EXPECT_EQ(flag, 7);
}

struct HexCase {
    const char16_t *input;
    int rc;
    std::u16string decoded;
    int length;
};

TEST(ConvertNameFromHex, DecodesPairsAndRefusesWhatIsNotHex) {
    std::u16string longest(256, u'4'); // 128 pairs of "44"
    std::u16string tooLong(257, u'4');
    const HexCase cases[] = {
        {u"414243", TT_SUCCESS, u"ABC", 3},
        {u"616", TT_SUCCESS, std::u16string(u"a") + char16_t(6), 2},
        {u"4a4B", TT_SUCCESS, u"JK", 2},
        {u"", TT_SUCCESS, u"", 0},
        {longest.c_str(), TT_SUCCESS, std::u16string(128, u'D'), 128},
        {u"4G", TT_FAILED, u"", -1},
        {u"41 42", TT_FAILED, u"", -1},
        {u"41\u00e942", TT_FAILED, u"", -1},
        {tooLong.c_str(), TT_FAILED, u"", -1},
    };
    for (const HexCase &c : cases) {
        CciChar buffer[129] = {u'#', 0};
        int length = -1;
        int rc = convertNameFromHex(c.input, &length, buffer);
        EXPECT_EQ(rc, c.rc) << "input '" << utf8(c.input) << "'";
        EXPECT_EQ(length, c.length) << "input '" << utf8(c.input) << "'";
        if (c.rc == TT_SUCCESS) {
            EXPECT_EQ(std::u16string(buffer), c.decoded) << "input '" << utf8(c.input) << "'";
        } else {
            EXPECT_EQ(std::u16string(buffer), u"#") << "a refused input writes nothing";
        }
    }
}

TEST_F(AttributeTable, HexReadDecodesEmptyOrFailsWithoutTouchingTheCaller) {
    add(u"hex", ATTRIBUTE_TYPE_BYTEARRAY);
    CciChar buffer[129] = {u'#', 0};
    int length = 128;
    EXPECT_EQ(getHexAttribute(&context, u"hex", &length, buffer), TT_FAILED) << "unset";
    EXPECT_EQ(length, 0);

    ASSERT_EQ(set(u"hex", u"414243"), 0);
    length = 128;
    EXPECT_EQ(getHexAttribute(&context, u"hex", &length, buffer), TT_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"ABC");
    EXPECT_EQ(length, 3);

    ASSERT_EQ(set(u"hex", u"4G"), 0);
    length = 128;
    EXPECT_EQ(getHexAttribute(&context, u"hex", &length, buffer), TT_FAILED);
    EXPECT_EQ(std::u16string(buffer), u"ABC");
    EXPECT_EQ(length, 128);

    length = 2;
    ASSERT_EQ(set(u"hex", u"414243"), 0);
    EXPECT_EQ(getHexAttribute(&context, u"hex", &length, buffer), TT_FAILED)
        << "decoded text longer than the caller's capacity";
    EXPECT_EQ(length, 2);

    ASSERT_EQ(set(u"hex", u""), 0);
    length = 128;
    EXPECT_EQ(getHexAttribute(&context, u"hex", &length, buffer), TT_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"");
    EXPECT_EQ(length, 0);
}

} // namespace
