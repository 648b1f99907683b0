/*
 * Element trees through the cni calls: values of every type, the text getters' sizes,
 * compare-mode-4 search, creation, detach and deep copy.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/support.h"
#include "trevane/cni.h"

using namespace testsupport;

namespace {

CciElement *root(CciMessage *message) {
    return cniRootElement(nullptr, message);
}

struct ValueCase {
    const char *what;
    std::function<void(CciElement *)> set;
    CciValueType type;
    std::string notation; // how the dumper shows the value read back
};

TEST(ElementValues, RoundTripEveryValueType) {
    const CciByte bytes[] = {0x00, 0xab, 0x10};
    const ValueCase cases[] = {
        {"boolean", [](CciElement *e) { cniSetElementBooleanValue(nullptr, e, 1); },
         CCI_VALUE_TYPE_BOOL, "TRUE"},
        {"integer", [](CciElement *e) { cniSetElementIntegerValue(nullptr, e, 5000000000LL); },
         CCI_VALUE_TYPE_INTEGER, "5000000000"},
        {"negative integer", [](CciElement *e) { cniSetElementIntegerValue(nullptr, e, -1); },
         CCI_VALUE_TYPE_INTEGER, "-1"},
        {"real", [](CciElement *e) { cniSetElementRealValue(nullptr, e, 0.1); },
         CCI_VALUE_TYPE_REAL, "0.1"},
        {"decimal", [](CciElement *e) { cniSetElementDecimalValue(nullptr, e, u"-12.50"); },
         CCI_VALUE_TYPE_DECIMAL, "DEC'-12.50'"},
        {"character",
         [](CciElement *e) { cniSetElementCharacterValue(nullptr, e, u"caf\u00e9 \U0001F600", 7); },
         CCI_VALUE_TYPE_CHAR, "'caf\u00e9 \U0001F600'"},
        {"time",
         [](CciElement *e) {
             cniSetElementTimeValue(nullptr, e, CciTime{9, 5, 7.5f});
         },
         CCI_VALUE_TYPE_TIME, "T'09:05:07.5'"},
        {"gmt time",
         [](CciElement *e) {
             cniSetElementGmtTimeValue(nullptr, e, CciTime{23, 59, 59.25f});
         },
         CCI_VALUE_TYPE_GMTTIME, "GT'23:59:59.25'"},
        {"date",
         [](CciElement *e) {
             cniSetElementDateValue(nullptr, e, CciDate{2002, 3, 4});
         },
         CCI_VALUE_TYPE_DATE, "D'2002-03-04'"},
        {"timestamp",
         [](CciElement *e) {
             cniSetElementTimestampValue(nullptr, e, CciTimestamp{{2002, 3, 4}, {9, 5, 7.5f}});
         },
         CCI_VALUE_TYPE_TIMESTAMP, "TS'2002-03-04 09:05:07.5'"},
        {"gmt timestamp",
         [](CciElement *e) {
             cniSetElementGmtTimestampValue(nullptr, e, CciTimestamp{{1999, 12, 31}, {0, 0, 0}});
         },
         CCI_VALUE_TYPE_GMTTIMESTAMP, "GTS'1999-12-31 00:00:00'"},
        {"byte array",
         [&](CciElement *e) {
             CciByteArray a{const_cast<CciByte *>(bytes), 3};
             cniSetElementByteArrayValue(nullptr, e, &a);
         },
         CCI_VALUE_TYPE_BYTEARRAY, "X'00ab10'"},
        {"bit array",
         [&](CciElement *e) {
             CciBitArray a{const_cast<CciByte *>(bytes), 2};
             cniSetElementBitArrayValue(nullptr, e, &a);
         },
         CCI_VALUE_TYPE_BITARRAY, "B'00ab'"},
    };
    MessageScope scope;
    CciMessage *m = scope.message();
    for (const ValueCase &c : cases) {
        int rc = -1;
        CciElement *e = cniCreateElementAsLastChild(&rc, root(m));
        ASSERT_EQ(rc, CCI_SUCCESS) << c.what;
        c.set(e);
        EXPECT_EQ(cniElementValueType(&rc, e), c.type) << c.what;
        EXPECT_EQ(dump(e), "[UNKNOWN]=" + c.notation) << c.what;
    }
}

TEST(ElementValues, GetterOfAnotherTypeFailsWithoutTouchingTheBuffer) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n=42");
    int rc = 0;
    CciChar buffer[8] = {u'x', 0};
    EXPECT_EQ(cniElementCharacterValue(&rc, e, buffer, sizeof buffer), 0);
    EXPECT_EQ(rc, CCI_FAILURE);
    EXPECT_EQ(buffer[0], u'x');
    cniElementBooleanValue(&rc, e);
    EXPECT_EQ(rc, CCI_FAILURE);
    EXPECT_EQ(cniElementIntegerValue(&rc, e), 42);
    EXPECT_EQ(rc, CCI_SUCCESS);
}

TEST(ElementValues, ElementWithoutValueReportsTypeNone) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n");
    EXPECT_EQ(cniElementValueType(nullptr, e), CCI_VALUE_TYPE_NONE);
}

TEST(ElementValues, TextGettersCountInFullForAShortBuffer) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n='abcdef', d=DEC'123.45'");
    struct Case {
        CciSize bufferBytes;
        std::u16string written;
    } cases[] = {{0, u"?"}, {1, u"?"}, {2, u""}, {8, u"abc"}, {14, u"abcdef"}, {100, u"abcdef"}};
    for (const Case &c : cases) {
        CciChar buffer[50];
        std::fill(std::begin(buffer), std::end(buffer), u'?');
        int rc = -1;
        EXPECT_EQ(cniElementCharacterValue(&rc, e, buffer, c.bufferBytes), 7) << c.bufferBytes;
        EXPECT_EQ(rc, CCI_SUCCESS);
        std::u16string got = c.written == u"?" ? std::u16string(1, buffer[0]) : buffer;
        EXPECT_TRUE(got == c.written) << "buffer of " << c.bufferBytes << " bytes";
    }
    CciChar small[3];
    CciElement *d = cniNextSibling(nullptr, e);
    EXPECT_EQ(cniElementDecimalValue(nullptr, d, small, sizeof small), 7);
    EXPECT_TRUE(std::u16string(small) == u"12");
}

TEST(ElementValues, ShortBufferNeverSplitsASurrogatePair) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n='a\U0001F600b'");
    CciChar buffer[3]; // room for two units and the terminator
    EXPECT_EQ(cniElementCharacterValue(nullptr, e, buffer, sizeof buffer), 5);
    EXPECT_TRUE(std::u16string(buffer) == u"a");
}

TEST(ElementNames, NameOfExactlyTheBufferSizeIsWrittenWhole) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "abcd");
    CciChar buffer[5];
    EXPECT_EQ(cniElementName(nullptr, e, buffer, sizeof buffer), 5);
    EXPECT_TRUE(std::u16string(buffer) == u"abcd");
    CciChar shorter[4];
    EXPECT_EQ(cniElementName(nullptr, e, shorter, sizeof shorter), 5);
    EXPECT_TRUE(std::u16string(shorter) == u"abc");
}

TEST(ElementNames, ElementWithoutNameReportsOne) {
    MessageScope scope;
    CciElement *e = cniCreateElementAsLastChild(nullptr, root(scope.message()));
    CciChar buffer[4] = {u'x'};
    EXPECT_EQ(cniElementName(nullptr, e, buffer, sizeof buffer), 1);
    EXPECT_EQ(buffer[0], 0);
}

// Names and texts of every short length (copied inline) and a few longer ones: the
// buffer gets the text and its terminator and nothing beyond them; one unit too few cuts.
TEST(ElementNames, EveryLengthIsCopiedWithItsTerminatorAndNothingBeyond) {
    MessageScope scope;
    CciElement *parent = root(scope.message());
    for (size_t length = 0; length <= 70; ++length) {
        std::u16string text;
        for (size_t i = 0; i < length; ++i) {
            text += static_cast<char16_t>(u'a' + i % 26);
        }
        CciElement *e = cniCreateElementAsLastChild(nullptr, parent);
        cniSetElementName(nullptr, e, text.c_str());
        cniSetElementCharacterValue(nullptr, e, text.c_str(), static_cast<CciSize>(length));
        const CciSize whole = static_cast<CciSize>((length + 1) * sizeof(CciChar));
        for (CciSize bytes : {whole, whole + 6, whole - 2}) {
            for (bool name : {true, false}) {
                CciChar buffer[80];
                std::fill(std::begin(buffer), std::end(buffer), u'#');
                const CciSize units = name ? cniElementName(nullptr, e, buffer, bytes)
                                           : cniElementCharacterValue(nullptr, e, buffer, bytes);
                EXPECT_EQ(units, static_cast<CciSize>(length + 1));
                const size_t written = bytes >= whole ? length : (length > 0 ? length - 1 : 0);
                if (bytes < 2) {
                    EXPECT_EQ(buffer[0], u'#') << "no room, nothing written";
                    continue;
                }
                EXPECT_TRUE(std::u16string(buffer, written) == text.substr(0, written))
                    << (name ? "name" : "text") << " of " << length << " in " << bytes;
                EXPECT_EQ(buffer[written], 0) << length << " in " << bytes;
                for (size_t i = written + 1; i < 80; ++i) {
                    ASSERT_EQ(buffer[i], u'#') << "unit " << i << " written for " << length;
                }
            }
        }
    }
}

TEST(ElementValues, CharacterSetterStopsAtTheTerminatorWithinItsLength) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n");
    cniSetElementCharacterValue(nullptr, e, u"MQSTR", 48);
    EXPECT_EQ(valueOf(e), "MQSTR");
    cniSetElementCharacterValue(nullptr, e, u"MQSTRING", 5);
    EXPECT_EQ(valueOf(e), "MQSTR");
}

TEST(ElementValues, DecimalSetterRefusesTextThatIsNoNumber) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n=DEC'1.5'");
    for (const char16_t *bad : {u"", u"abc", u"1.2.3", u"1e", u"--1", u"1 "}) {
        int rc = 0;
        cniSetElementDecimalValue(&rc, e, bad);
        EXPECT_NE(rc, CCI_SUCCESS);
    }
    EXPECT_EQ(dump(e), "n=DEC'1.5'");
    int rc = -1;
    cniSetElementDecimalValue(&rc, e, u"+2.5E-3");
    EXPECT_EQ(rc, CCI_SUCCESS);
}

TEST(ElementValues, ReplacingALongerValueKeepsNoTail) {
    MessageScope scope;
    CciElement *e = build(root(scope.message()), "n='a long first value'");
    cniSetElementCharacterValue(nullptr, e, u"short", 5);
    EXPECT_EQ(dump(e), "n='short'");
    cniSetElementIntegerValue(nullptr, e, 7);
    cniSetElementCharacterValue(nullptr, e, u"again", 5);
    EXPECT_EQ(dump(e), "n='again'");
}

// ---- search --------------------------------------------------------------------------

TEST(Search, NameSearchFindsXmlBodyAndNameValueField) {
    MessageScope scope;
    CciMessage *m = scope.message("Properties, MQMD(Format='XML     '), XML(outer)");
    CciElement *xml = cniSearchFirstChild(nullptr, root(m), CCI_COMPARE_MODE_NAME_TYPE,
                                          CCI_ELEMENT_TYPE_NAME, u"XML");
    ASSERT_NE(xml, nullptr);
    EXPECT_EQ(cniElementType(nullptr, xml), CCI_ELEMENT_TYPE_XML_BODY);
    CciElement *mqmd = child(root(m), "MQMD");
    CciElement *format = cniSearchFirstChild(nullptr, mqmd, CCI_COMPARE_MODE_NAME_TYPE,
                                             CCI_ELEMENT_TYPE_NAME, u"Format");
    EXPECT_EQ(dump(format), "Format='XML     '");
}

TEST(Search, NameValueSearchSkipsNameElementOfTheSameName) {
    MessageScope scope;
    CciMessage *m = scope.message("MQMD(Format, Format='MQSTR   ')");
    CciElement *found =
        cniSearchFirstChild(nullptr, child(root(m), "MQMD"), CCI_COMPARE_MODE_NAME_TYPE,
                            CCI_ELEMENT_TYPE_NAME_VALUE, u"Format");
    EXPECT_EQ(dump(found), "Format='MQSTR   '");
}

TEST(Search, NextSiblingSearchFindsLaterMatchesOnly) {
    MessageScope scope;
    CciMessage *m = scope.message("E(Insert(Text='a'), Other, Insert(Text='b'), Insert)");
    CciElement *e = child(root(m), "E");
    std::vector<std::string> seen;
    int rc = 0;
    for (CciElement *i = cniSearchFirstChild(&rc, e, 4, CCI_ELEMENT_TYPE_NAME, u"Insert");
         i != nullptr; i = cniSearchNextSibling(&rc, i, 4, CCI_ELEMENT_TYPE_NAME, u"Insert")) {
        seen.push_back(dump(i));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"Insert(Text='a')", "Insert(Text='b')", "Insert"}));
}

// Siblings whose names agree in length and first unit and differ further on, for names
// of the lengths compared in one, two and four loads and longer.
TEST(Search, NamesOfOneLengthDifferingAnywhereAreTold) {
    for (size_t length : {1u, 2u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 30u}) {
        MessageScope scope;
        CciElement *parent = root(scope.message());
        const std::u16string wanted(length, u'n');
        std::vector<CciElement *> made;
        for (size_t at = length; at-- > 0;) { // a difference at every place but the first
            std::u16string other = wanted;
            other[at] = u'm';
            if (at == 0) {
                other[0] = u'n';
                other += u'x'; // same start, one longer
            }
            CciElement *e = cniCreateElementAsLastChild(nullptr, parent);
            cniSetElementType(nullptr, e, CCI_ELEMENT_TYPE_NAME_VALUE);
            cniSetElementName(nullptr, e, other.c_str());
            made.push_back(e);
        }
        CciElement *match = cniCreateElementAsLastChild(nullptr, parent);
        cniSetElementType(nullptr, match, CCI_ELEMENT_TYPE_NAME_VALUE);
        cniSetElementName(nullptr, match, wanted.c_str());
        int rc = -1;
        EXPECT_EQ(cniSearchFirstChild(&rc, parent, CCI_COMPARE_MODE_NAME_TYPE,
                                      CCI_ELEMENT_TYPE_NAME_VALUE, wanted.c_str()),
                  match)
            << "length " << length;
        EXPECT_EQ(rc, CCI_SUCCESS);
    }
}

TEST(Search, NamesCompareExactlyAndOtherModesAreRefused) {
    MessageScope scope;
    CciMessage *m = scope.message("Status=1");
    int rc = 0;
    EXPECT_EQ(cniSearchFirstChild(&rc, root(m), 4, CCI_ELEMENT_TYPE_NAME, u"status"), nullptr);
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_EQ(cniSearchFirstChild(&rc, root(m), 1, CCI_ELEMENT_TYPE_NAME, u"Status"), nullptr);
    EXPECT_NE(rc, CCI_SUCCESS);
    EXPECT_EQ(cniSearchFirstChild(&rc, root(m), 4, CCI_ELEMENT_TYPE_NAME, nullptr), nullptr);
    EXPECT_NE(rc, CCI_SUCCESS);
}

// ---- handles -------------------------------------------------------------------------

TEST(Handles, NullAndForeignHandlesGiveACodeAndNoResult) {
    MessageScope scope;
    CciMessage *m = scope.message("a");
    auto *notAnElement = reinterpret_cast<CciElement *>(m); // a message passed as element
    for (CciElement *bad : {static_cast<CciElement *>(nullptr), notAnElement}) {
        int rc = 0;
        EXPECT_EQ(cniFirstChild(&rc, bad), nullptr);
        EXPECT_EQ(rc, CCI_INV_OBJECT);
        rc = 0;
        EXPECT_EQ(cniElementName(&rc, bad, nullptr, 0), 0);
        EXPECT_EQ(rc, CCI_INV_OBJECT);
        rc = 0;
        cniSetElementIntegerValue(&rc, bad, 1);
        EXPECT_EQ(rc, CCI_INV_OBJECT);
        rc = 0;
        EXPECT_EQ(cniCreateElementAsLastChildUsingParser(&rc, bad, u"XML"), nullptr);
        EXPECT_EQ(rc, CCI_INV_OBJECT);
    }
    int rc = 0;
    EXPECT_EQ(cniRootElement(&rc, nullptr), nullptr);
    EXPECT_NE(rc, CCI_SUCCESS);
    EXPECT_EQ(cniCreateMessage(&rc, nullptr), nullptr);
    EXPECT_NE(rc, CCI_SUCCESS);
    EXPECT_EQ(cniWriteBuffer(&rc, nullptr), 0);
    EXPECT_NE(rc, CCI_SUCCESS);
    cniFirstChild(nullptr, nullptr); // a null return-code location is no crash either
}

// ---- creation, detach, copy ----------------------------------------------------------

TEST(Creation, ElementsGoLastOrRightAfterTheirAnchor) {
    MessageScope scope;
    CciMessage *m = scope.message("a, c");
    CciElement *a = child(root(m), "a");
    CciElement *b = cniCreateElementAfter(nullptr, a);
    cniSetElementName(nullptr, b, u"b");
    cniSetElementType(nullptr, b, CCI_ELEMENT_TYPE_NAME);
    CciElement *d = cniCreateElementAfter(nullptr, child(root(m), "c"));
    cniSetElementName(nullptr, d, u"d");
    cniSetElementType(nullptr, d, CCI_ELEMENT_TYPE_NAME);
    EXPECT_EQ(dumpMessage(m), "a, b, c, d");
    EXPECT_EQ(cniLastChild(nullptr, root(m)), d);
    EXPECT_EQ(cniPreviousSibling(nullptr, b), a);
    int rc = 0;
    EXPECT_EQ(cniCreateElementAfter(&rc, root(m)), nullptr); // a root has no siblings
    EXPECT_NE(rc, CCI_SUCCESS);
}

TEST(Creation, ParsersMakeTheirBodiesAndUnknownParsersAreRefused) {
    MessageScope scope;
    CciMessage *m = scope.message("MQMD");
    int rc = -1;
    EXPECT_NE(cniCreateElementAsLastChildUsingParser(&rc, root(m), u"XML"), nullptr);
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_NE(cniCreateElementAsLastChildUsingParser(&rc, root(m), u"none"), nullptr);
    EXPECT_EQ(cniCreateElementAsLastChildUsingParser(&rc, root(m), u"JSON"), nullptr);
    EXPECT_EQ(rc, CCI_INV_PARSER);
    EXPECT_EQ(dumpMessage(m), "MQMD, XML, BLOB(BLOB=X'')");
}

TEST(Detach, DetachedElementLeavesNoLinksBehind) {
    MessageScope scope;
    CciMessage *m = scope.message("a, b(x, y), c");
    CciElement *b = child(root(m), "b");
    cniDetach(nullptr, b);
    EXPECT_EQ(dumpMessage(m), "a, c");
    EXPECT_EQ(cniParent(nullptr, b), nullptr);
    EXPECT_EQ(cniNextSibling(nullptr, b), nullptr);
    EXPECT_EQ(cniPreviousSibling(nullptr, child(root(m), "c")), child(root(m), "a"));
    EXPECT_EQ(dump(b), "b(x, y)"); // the subtree stays whole while its message lives
    cniDetach(nullptr, child(root(m), "a"));
    cniDetach(nullptr, child(root(m), "c"));
    EXPECT_EQ(cniFirstChild(nullptr, root(m)), nullptr);
    EXPECT_EQ(cniLastChild(nullptr, root(m)), nullptr);
    int rc = 0;
    cniDetach(&rc, root(m));
    EXPECT_NE(rc, CCI_SUCCESS);
}

TEST(Copy, CopyIsDeepAndIndependentAcrossMessages) {
    MessageScope scope;
    CciMessage *source =
        scope.message("Properties, MQMD(MsgId=X'0102', Format='XML     '), XML(a(@k='v', 'text'))");
    std::string before = dumpMessage(source);
    CciMessage *target = scope.message("Old(stuff)");
    int rc = -1;
    cniCopyElementTree(&rc, root(source), root(target));
    ASSERT_EQ(rc, CCI_SUCCESS);
    EXPECT_EQ(dumpMessage(target), before);
    cniSetElementCharacterValue(nullptr, child(root(target), "XML.a"), u"changed", 7);
    cniDetach(nullptr, child(root(target), "MQMD"));
    EXPECT_EQ(dumpMessage(source), before);
    cniDeleteMessage(nullptr, source); // the copy owns all of its storage
    EXPECT_EQ(dumpMessage(target), "Properties, XML(a[NAME]='changed'(@k='v', 'text'))");
}

TEST(Copy, CopyTakesNameTypeAndValueAndReplacesChildren) {
    MessageScope scope;
    CciMessage *m = scope.message("from=7(x='1'), to[VALUE]=TRUE(old1, old2)");
    cniCopyElementTree(nullptr, child(root(m), "from"),
                       cniNextSibling(nullptr, child(root(m), "from")));
    EXPECT_EQ(dumpMessage(m), "from=7(x='1'), from=7(x='1')");
}

TEST(Copy, CopyIntoOwnDescendantOrFromItStaysFinite) {
    MessageScope scope;
    CciMessage *m = scope.message("a(b(c), d)");
    CciElement *a = child(root(m), "a");
    cniCopyElementTree(nullptr, a, child(a, "b.c"));
    EXPECT_EQ(dump(a), "a(b(a(b(c), d)), d)");
    cniCopyElementTree(nullptr, child(a, "b"), a);
    EXPECT_EQ(dump(a), "b(a(b(c), d))");
}

TEST(Copy, DeepTreesCopyWithoutRecursion) {
    MessageScope scope;
    CciMessage *m = scope.message("top");
    CciElement *e = child(root(m), "top");
    for (int i = 0; i < 200000; ++i) {
        e = build(e, "n");
    }
    CciMessage *copy = scope.message();
    int rc = -1;
    cniCopyElementTree(&rc, root(m), root(copy));
    EXPECT_EQ(rc, CCI_SUCCESS);
    CciElement *deepest = root(copy);
    int depth = 0;
    while (CciElement *c = cniFirstChild(nullptr, deepest)) {
        deepest = c;
        ++depth;
    }
    EXPECT_EQ(depth, 200001);
}

} // namespace
