// Value formatting and retrieval: the text form of every value type, the measuring and
// buffer-size rules of formatDataValueForXML, value retrieval from an element, a name
// element's value child and a dotted path, and the DTD header test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "tests/utilities_values/elements.h"
#include "trace/retcodes.h"
#include "utilities/values.h"

using namespace utiltest;
using testsupport::dump;

namespace {

struct FormatCase {
    const char *label;
    std::function<void(CciElement *)> setValue;
    std::string expected;
};

std::u16string repeated(char16_t unit, size_t count) {
    return std::u16string(count, unit);
}

class FormatValueTest : public MessageTest {};

TEST_F(FormatValueTest, FormatsEveryValueTypeAtExactSizeAndRefusesOneByteLess) {
    const FormatCase cases[] = {
        {"BOOL true", [](CciElement *e) { setBool(e, true); }, "TRUE"},
        {"BOOL false", [](CciElement *e) { setBool(e, false); }, "FALSE"},
        {"INTEGER -1", [](CciElement *e) { setInt(e, -1); }, "-1"},
        {"INTEGER 5000000000", [](CciElement *e) { setInt(e, 5000000000LL); }, "5000000000"},
        {"INTEGER min", [](CciElement *e) { setInt(e, INT64_MIN); }, "-9223372036854775808"},
        {"REAL 2.5", [](CciElement *e) { setReal(e, 2.5); }, "2.5"},
        {"REAL 1e-07", [](CciElement *e) { setReal(e, 1e-7); }, "1e-07"},
        {"DECIMAL", [](CciElement *e) { setDecimal(e, u"-123.4500"); }, "-123.4500"},
        {"CHAR ascii", [](CciElement *e) { setChar(e, u"hello world"); }, "hello world"},
        {"CHAR latin", [](CciElement *e) { setChar(e, u"caf\u00e9 cr\u00e8me"); },
         "caf\xc3\xa9 cr\xc3\xa8me"},
        {"CHAR cjk", [](CciElement *e) { setChar(e, u"\u65e5\u672c"); },
         "\xe6\x97\xa5\xe6\x9c\xac"},
        {"CHAR surrogate pair", [](CciElement *e) { setChar(e, u"a\U0001F600b"); },
         "a\xf0\x9f\x98\x80"
         "b"},
        {"CHAR markup kept", [](CciElement *e) { setChar(e, u"<a & b>"); }, "<a & b>"},
        {"TIME",
         [](CciElement *e) {
             setTime(e, {9, 5, 7.5f});
         },
         "09:05:7.5"},
        {"GMTTIME",
         [](CciElement *e) {
             setTime(e, {23, 59, 0.0f}, true);
         },
         "23:59:0"},
        {"DATE",
         [](CciElement *e) {
             setDate(e, {2002, 3, 4});
         },
         "2002-03-04"},
        {"TIMESTAMP",
         [](CciElement *e) {
             setTimestamp(e, {{2002, 3, 4}, {9, 5, 7.5f}});
         },
         "2002-03-04 09:05:7.5"},
        {"GMTTIMESTAMP",
         [](CciElement *e) {
             setTimestamp(e, {{1999, 12, 31}, {0, 0, 1.25f}}, true);
         },
         "1999-12-31 00:00:1.25"},
        {"BYTEARRAY",
         [](CciElement *e) {
             setBytes(e, {0x00, 0xAB, 0x10});
         },
         "00ab10"},
        {"BITARRAY",
         [](CciElement *e) {
             setBytes(e, {0xFF, 0x01}, true);
         },
         "ff01"},
        {"BYTEARRAY empty", [](CciElement *e) { setBytes(e, {}); }, ""},
        {"CHAR empty", [](CciElement *e) { setChar(e, u""); }, ""},
    };
    for (const FormatCase &c : cases) {
        SCOPED_TRACE(c.label);
        CciElement *element = addNameValue(root, u"field");
        c.setValue(element);

        int32_t measured = -1;
        ASSERT_EQ(formatDataValueForXML(element, nullptr, 0, &measured), TT_SUCCESS);
        EXPECT_EQ(measured, static_cast<int32_t>(c.expected.size()));

        std::string exact(c.expected.size() + 4, '#');
        int32_t length = -1;
        ASSERT_EQ(formatDataValueForXML(element, exact.data(),
                                        static_cast<int32_t>(c.expected.size()), &length),
                  TT_SUCCESS);
        EXPECT_EQ(length, static_cast<int32_t>(c.expected.size()));
        EXPECT_EQ(exact, c.expected + "####") << "no terminator may follow the text";

        if (!c.expected.empty()) {
            std::string shorter(c.expected.size() + 4, '#');
            int32_t required = -1;
            EXPECT_EQ(formatDataValueForXML(element, shorter.data(),
                                            static_cast<int32_t>(c.expected.size()) - 1, &required),
                      TT_BUFFER_TOO_SMALL);
            EXPECT_EQ(required, static_cast<int32_t>(c.expected.size()));
            EXPECT_EQ(shorter, std::string(c.expected.size() + 4, '#')) << "buffer untouched";
        }
    }
}

TEST_F(FormatValueTest, FormatsLongTextsInFullThroughHeapWorkBuffers) {
    for (size_t count : {499u, 500u, 501u, 1200u, 5000u}) {
        SCOPED_TRACE(count);
        std::u16string text = repeated(u'x', count - 1) + u"\u00e9";
        CciElement *element = setChar(addNameValue(root, u"long"), text);
        std::string expected = utf8(text);
        int32_t length = 0;
        ASSERT_EQ(formatDataValueForXML(element, nullptr, 0, &length), TT_SUCCESS);
        ASSERT_EQ(length, static_cast<int32_t>(expected.size()));
        std::string out(expected.size(), '\0');
        ASSERT_EQ(formatDataValueForXML(element, out.data(), length, &length), TT_SUCCESS);
        EXPECT_EQ(out, expected);
    }
}

TEST_F(FormatValueTest, ElementsWithoutValueHaveNoText) {
    int32_t length = 77;
    EXPECT_EQ(formatDataValueForXML(addNameValue(root, u"empty"), nullptr, 0, &length),
              TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(formatDataValueForXML(addName(root, u"name"), nullptr, 0, &length),
              TT_ELEMENT_HAS_NO_VALUE);
}

class RetrieveValueTest : public MessageTest {
protected:
    // Retrieves and frees; answers the code, the text and the allocation size.
    int retrieve(CciElement *element, bool lookForChild, std::string &text, int &size) {
        char *buffer = nullptr;
        size = -1;
        int rc = retrieveElementValue(element, lookForChild ? TRUE : FALSE, &buffer, &size);
        if (buffer != nullptr) {
            text.assign(buffer, static_cast<size_t>(size));
            free(buffer);
        }
        return rc;
    }
};

TEST_F(RetrieveValueTest, NameElementGivesItsValueChildWhenAsked) {
    CciElement *name = addName(root, u"code");
    setInt(addValue(name), 42);
    std::string text;
    int size = 0;
    EXPECT_EQ(retrieve(name, false, text, size), TT_ELEMENT_HAS_NO_VALUE);
    ASSERT_EQ(retrieve(name, true, text, size), TT_SUCCESS);
    EXPECT_EQ(size, 3);
    EXPECT_EQ(text, std::string("42\0", 3));
}

TEST_F(RetrieveValueTest, OnlyAFirstValueChildCounts) {
    CciElement *noChildren = addName(root, u"a");
    CciElement *nameFirst = addName(root, u"b");
    addName(nameFirst, u"inner");
    setInt(addValue(nameFirst), 7);
    std::string text;
    int size = 0;
    EXPECT_EQ(retrieve(noChildren, true, text, size), TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(retrieve(nameFirst, true, text, size), TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(size, -1) << "nothing allocated";
}

TEST_F(RetrieveValueTest, ValueAndNameValueElementsGiveTerminatedText) {
    std::string text;
    int size = 0;
    ASSERT_EQ(retrieve(setChar(addNameValue(root, u"q"), u"\u00fcber"), false, text, size),
              TT_SUCCESS);
    EXPECT_EQ(size, 6);
    EXPECT_EQ(text, std::string("\xc3\xbc"
                                "ber\0",
                                6));
    ASSERT_EQ(retrieve(setBool(addValue(root), true), false, text, size), TT_SUCCESS);
    EXPECT_EQ(text, std::string("TRUE\0", 5));
}

TEST_F(RetrieveValueTest, OtherElementTypesAreUnknown) {
    std::string text;
    int size = 0;
    CciElement *body = add(root, CCI_ELEMENT_TYPE_XML_BODY, u"XML");
    EXPECT_EQ(retrieve(body, true, text, size), TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(retrieve(addNameValue(root, u"none"), false, text, size), TT_ELEMENT_HAS_NO_VALUE);
}

TEST_F(RetrieveValueTest, PathLookupReadsWithoutCreating) {
    CciElement *outer = addName(root, u"Outer");
    setChar(addNameValue(outer, u"Status"), u"ok");
    char *buffer = nullptr;
    int size = 0;
    ASSERT_EQ(getValueFromSyntaxTree(message, u"Root.Outer.Status", FALSE, &buffer, &size),
              TT_SUCCESS);
    EXPECT_STREQ(buffer, "ok");
    EXPECT_EQ(size, 3);
    free(buffer);

    const std::string before = dump(root);
    EXPECT_EQ(getValueFromSyntaxTree(message, u"Root.Outer.Missing", FALSE, &buffer, &size),
              TT_ELEMENT_NOT_FOUND);
    EXPECT_EQ(dump(root), before) << "a failed lookup creates nothing";
    EXPECT_EQ(getValueFromSyntaxTree(message, u"Root.Outer", FALSE, &buffer, &size),
              TT_ELEMENT_HAS_NO_VALUE);
}

TEST_F(MessageTest, OnlyTheDocumentTypeHeaderIsADTD) {
    EXPECT_EQ(isElementDTD(add(root, CCI_ELEMENT_TYPE_DTD_HEADER)), TRUE);
    EXPECT_EQ(isElementDTD(add(root, CCI_ELEMENT_TYPE_XML_BODY, u"XML")), FALSE);
    EXPECT_EQ(isElementDTD(addName(root, u"a")), FALSE);
}

} // namespace
