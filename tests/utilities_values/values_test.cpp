// Value formatting and retrieval: the text form of every value type, the measuring and
// buffer-size rules of formatDataValueForXML, value retrieval from an element, a name
// element's value child and a dotted path, and the DTD header test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/utilities_values/elements.h"
#include "trace/retcodes.h"
#include "utilities/values.h"

using namespace utiltest;

namespace {

using FormatValueTest = MessageTest;

TEST_F(FormatValueTest, FormatsEveryValueTypeAtExactSizeAndRefusesOneByteLess) {
    const struct {
        const char *tree;
        std::string expected;
    } cases[] = {
        {"f=TRUE", "TRUE"},
        {"f=FALSE", "FALSE"},
        {"f=-1", "-1"},
        {"f=5000000000", "5000000000"},
        {"f=-9223372036854775808", "-9223372036854775808"},
        {"f=2.5", "2.5"},
        {"f=1e-7", "1e-07"},
        {"f=DEC'-123.4500'", "-123.4500"},
        {"f='hello world'", "hello world"},
        {"f='caf\xc3\xa9 cr\xc3\xa8me'", "caf\xc3\xa9 cr\xc3\xa8me"},
        {"f='\xe6\x97\xa5\xe6\x9c\xac'", "\xe6\x97\xa5\xe6\x9c\xac"},
        {"f='a\xf0\x9f\x98\x80z'", "a\xf0\x9f\x98\x80z"},
        {"f='<a & b>'", "<a & b>"},
        {"f=T'09:05:07.5'", "09:05:7.5"},
        {"f=GT'23:59:00'", "23:59:0"},
        {"f=D'2002-03-04'", "2002-03-04"},
        {"f=TS'2002-03-04 09:05:07.5'", "2002-03-04 09:05:7.5"},
        {"f=GTS'1999-12-31 00:00:01.25'", "1999-12-31 00:00:1.25"},
        {"f=X'00ab10'", "00ab10"},
        {"f=B'ff01'", "ff01"},
        {"f=X''", ""},
        {"f=''", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tree);
        CciElement *element = build(c.tree);
        const int32_t size = static_cast<int32_t>(c.expected.size());

        int32_t measured = -1;
        ASSERT_EQ(formatDataValueForXML(element, nullptr, 0, &measured), TT_SUCCESS);
        EXPECT_EQ(measured, size);

        std::string exact(c.expected.size() + 4, '#');
        int32_t length = -1;
        ASSERT_EQ(formatDataValueForXML(element, exact.data(), size, &length), TT_SUCCESS);
        EXPECT_EQ(length, size);
        EXPECT_EQ(exact, c.expected + "####") << "no terminator may follow the text";

        if (size > 0) {
            std::string shorter(c.expected.size(), '#');
            int32_t required = -1;
            EXPECT_EQ(formatDataValueForXML(element, shorter.data(), size - 1, &required),
                      TT_BUFFER_TOO_SMALL);
            EXPECT_EQ(required, size);
            EXPECT_EQ(shorter, std::string(c.expected.size(), '#')) << "buffer untouched";
        }
    }
}

TEST_F(FormatValueTest, FormatsLongTextsInFullThroughHeapWorkBuffers) {
    for (size_t count : {499u, 500u, 501u, 1200u, 5000u}) {
        SCOPED_TRACE(count);
        const std::string expected = std::string(count - 1, 'x') + "\xc3\xa9";
        CciElement *element = build("long='" + expected + "'");
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
    EXPECT_EQ(formatDataValueForXML(build("empty[NAME_VALUE]"), nullptr, 0, &length),
              TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(formatDataValueForXML(build("name"), nullptr, 0, &length), TT_ELEMENT_HAS_NO_VALUE);
}

class RetrieveValueTest : public MessageTest {
protected:
    // Retrieves and frees; answers the code, and the allocation as text with its size.
    int retrieve(const char *tree, bool lookForChild, std::string &text) {
        char *buffer = nullptr;
        int size = -1;
        const int rc =
            retrieveElementValue(build(tree), lookForChild ? TRUE : FALSE, &buffer, &size);
        text = buffer != nullptr ? std::string(buffer, static_cast<size_t>(size)) : "(none)";
        free(buffer);
        return rc;
    }
};

TEST_F(RetrieveValueTest, NameElementGivesItsFirstValueChildWhenAsked) {
    std::string text;
    EXPECT_EQ(retrieve("code(42)", false, text), TT_ELEMENT_HAS_NO_VALUE);
    ASSERT_EQ(retrieve("code(42)", true, text), TT_SUCCESS);
    EXPECT_EQ(text, std::string("42\0", 3)) << "a 3-byte allocation";
    EXPECT_EQ(retrieve("a", true, text), TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(retrieve("b(inner, 7)", true, text), TT_ELEMENT_HAS_NO_VALUE);
    EXPECT_EQ(text, "(none)") << "nothing allocated";
}

TEST_F(RetrieveValueTest, ValueElementsGiveTerminatedTextAndOthersAreRefused) {
    std::string text;
    ASSERT_EQ(retrieve("q='\xc3\xbc"
                       "ber'",
                       false, text),
              TT_SUCCESS);
    EXPECT_EQ(text, std::string("\xc3\xbc"
                                "ber\0",
                                6));
    ASSERT_EQ(retrieve("=TRUE", false, text), TT_SUCCESS);
    EXPECT_EQ(text, std::string("TRUE\0", 5));
    EXPECT_EQ(retrieve("XML(a='1')", true, text), TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(retrieve("none[NAME_VALUE]", false, text), TT_ELEMENT_HAS_NO_VALUE);
}

TEST_F(MessageTest, PathLookupReadsWithoutCreating) {
    build("Outer(Status='ok')");
    char *buffer = nullptr;
    int size = 0;
    ASSERT_EQ(getValueFromSyntaxTree(message, u"Root.Outer.Status", FALSE, &buffer, &size),
              TT_SUCCESS);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(size)), std::string("ok\0", 3));
    free(buffer);

    EXPECT_EQ(getValueFromSyntaxTree(message, u"Root.Outer.Missing", FALSE, &buffer, &size),
              TT_ELEMENT_NOT_FOUND);
    EXPECT_EQ(testsupport::dumpMessage(message), "Outer(Status='ok')") << "nothing created";
    EXPECT_EQ(getValueFromSyntaxTree(message, u"Root.Outer", FALSE, &buffer, &size),
              TT_ELEMENT_HAS_NO_VALUE);
}

TEST_F(MessageTest, OnlyTheDocumentTypeHeaderIsADTD) {
    EXPECT_EQ(isElementDTD(build("[DTD]")), TRUE);
    EXPECT_EQ(isElementDTD(build("XML")), FALSE);
    EXPECT_EQ(isElementDTD(build("a")), FALSE);
}

} // namespace
