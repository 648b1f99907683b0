// Rebuilding elements from binary-mode buffers: generated trees of every element and
// value type come back equal in another message, in both reading modes; records that
// do not fit their buffer are refused before anything is created.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/utilities_serialise/records.h"
#include "tests/utilities_values/elements.h"
#include "trace/retcodes.h"
#include "utilities/rebuild.h"

using namespace utiltest;
using testsupport::dump;
using testsupport::dumpChildren;

namespace {

// Random trees of every element type the writer accepts and every value type.
class TreeGenerator {
public:
    explicit TreeGenerator(unsigned seed) : random_(seed) {}

    void fill(CciElement *parent, int depth) {
        const int children = depth >= 4 ? 0 : pick(0, 4 - depth);
        for (int i = 0; i < children; ++i) {
            switch (pick(0, 6)) {
            case 0:
            case 1:
                fill(addName(parent, name()), depth + 1);
                break;
            case 2:
                setValue(addValue(parent));
                break;
            case 3: {
                CciElement *element = addNameValue(parent, name());
                setValue(element);
                if (pick(0, 3) == 0) {
                    fill(element, depth + 1);
                }
                break;
            }
            case 4:
                fill(add(parent, CCI_ELEMENT_TYPE_XML_BODY, u"XML"), depth + 1);
                break;
            case 5:
                fill(add(parent, CCI_ELEMENT_TYPE_DTD_HEADER), depth + 1);
                break;
            default:
                setChar(add(parent, CCI_ELEMENT_TYPE_XML_ATTRIBUTE, name()), text());
                break;
            }
        }
    }

    void setValue(CciElement *element) {
        switch (pick(0, 12)) {
        case 0:
            setBool(element, pick(0, 1) == 1);
            break;
        case 1:
            setInt(element, static_cast<CciInt>(random_()) * (pick(0, 1) ? -1 : 1) << pick(0, 31));
            break;
        case 2:
            setReal(element, std::uniform_real_distribution<double>(-1e9, 1e9)(random_));
            break;
        case 3:
            setDecimal(element, u"-" + digits() + u"." + digits());
            break;
        case 4:
            setChar(element, text());
            break;
        case 5:
            setTime(element, {pick(0, 23), pick(0, 59), pick(0, 5999) / 100.0f}, pick(0, 1) == 1);
            break;
        case 6:
            setDate(element, {pick(1, 9999), pick(1, 12), pick(1, 28)});
            break;
        case 7:
            setTimestamp(element,
                         {{pick(1, 9999), pick(1, 12), pick(1, 28)},
                          {pick(0, 23), pick(0, 59), pick(0, 5999) / 100.0f}},
                         pick(0, 1) == 1);
            break;
        case 8:
        case 9: {
            std::vector<CciByte> bytes(static_cast<size_t>(pick(0, 40)));
            for (CciByte &b : bytes) {
                b = static_cast<CciByte>(random_());
            }
            setBytes(element, bytes, pick(0, 1) == 1);
            break;
        }
        default:
            break; // no value
        }
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::u16string name() {
        static const char16_t letters[] = u"abcXYZ_\u00e9\u65e5";
        std::u16string out;
        const int length = pick(1, 10);
        for (int i = 0; i < length; ++i) {
            out += letters[pick(0, 8)];
        }
        return out;
    }
    std::u16string text() {
        static const std::u16string pieces[] = {u"a",      u" ",          u"<&>",  u"\u00fc",
                                                u"\u20ac", u"\U0001F600", u"text", u"0"};
        std::u16string out;
        const int length = pick(0, 6);
        for (int i = 0; i < length; ++i) {
            out += pieces[pick(0, 7)];
        }
        return out;
    }
    std::u16string digits() {
        std::u16string out;
        const int length = pick(1, 12);
        for (int i = 0; i < length; ++i) {
            out += static_cast<char16_t>(u'0' + pick(0, 9));
        }
        return out;
    }
    std::mt19937 random_;
};

class RebuildTest : public MessageTest {};

TEST_F(RebuildTest, GeneratedTreesComeBackEqualAsANewChildOfTheAnchor) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE(seed);
        TreeGenerator generator(seed);
        CciElement *top = addName(root, u"top");
        generator.fill(top, 0);
        const std::string bytes = serialised(top, false);

        CciElement *anchor = addName(rootOf(newMessage()), u"anchor");
        ASSERT_EQ(rebuild(anchor, bytes, -1, true), TT_SUCCESS);
        int rc = 0;
        ASSERT_EQ(childCount(anchor), 1);
        EXPECT_EQ(dump(cniFirstChild(&rc, anchor)), dump(top));
    }
}

TEST_F(RebuildTest, GeneratedTreesGiveTheirValueAndChildrenToTheAnchorWhenFirstIsExcluded) {
    for (unsigned seed = 100; seed < 140; ++seed) {
        SCOPED_TRACE(seed);
        TreeGenerator generator(seed);
        CciElement *top = addNameValue(root, u"top");
        generator.setValue(top);
        generator.fill(top, 0);
        const std::string bytes = serialised(top, false);

        CciElement *anchor = addNameValue(rootOf(newMessage()), u"anchor");
        ASSERT_EQ(rebuild(anchor, bytes, 0, false), TT_SUCCESS);
        // The anchor keeps its name and takes the value and the children.
        EXPECT_EQ(dump(anchor), "anchor" + dump(top).substr(3));
    }
}

TEST_F(RebuildTest, SiblingAfterANameElementWithChildrenIsNotPutInsideIt) {
    CciElement *top = addName(root, u"top");
    CciElement *name = addName(top, u"n");
    setInt(addValue(name), 1);
    setInt(addValue(name), 2);
    setChar(addNameValue(top, u"s"), u"after");
    const std::string bytes = serialised(top, false);

    CciElement *anchor = addName(rootOf(newMessage()), u"anchor");
    ASSERT_EQ(rebuild(anchor, bytes, -1, true), TT_SUCCESS);
    int rc = 0;
    CciElement *copy = cniFirstChild(&rc, anchor);
    EXPECT_EQ(dump(copy), dump(top));
    EXPECT_EQ(childCount(copy), 2);
}

TEST_F(RebuildTest, SiblingsAfterAnElementWithChildrenKeepTheirOrder) {
    CciElement *top = testsupport::build(root, "top(a(x='1'), b, c='2', [VALUE]=3, d(y))");
    CciElement *anchor = addName(rootOf(newMessage()), u"anchor");
    ASSERT_EQ(rebuild(anchor, serialised(top, false), -1, true), TT_SUCCESS);
    EXPECT_EQ(dumpChildren(anchor), "top(a(x='1'), b, c='2', 3, d(y))");
}

TEST_F(RebuildTest, DeepAndWideTreesComeBackInOrder) {
    CciElement *top = addName(root, u"top");
    CciElement *level = top;
    for (int depth = 0; depth < 200; ++depth) {
        setInt(addNameValue(level, u"v"), depth);
        level = addName(level, u"d");
    }
    for (int i = 0; i < 300; ++i) {
        setInt(addNameValue(top, u"w"), i);
    }
    CciElement *anchor = addName(rootOf(newMessage()), u"anchor");
    ASSERT_EQ(rebuild(anchor, serialised(top, false), -1, true), TT_SUCCESS);
    int rc = 0;
    EXPECT_EQ(dump(cniFirstChild(&rc, anchor)), dump(top));
}

// A valid record followed by broken ones: each broken record is refused whole.
TEST_F(RebuildTest, RecordsThatDoNotFitTheirBufferAreRefusedBeforeAnythingIsCreated) {
    const std::string good = Bytes().header(0, 0x1, CCI_ELEMENT_TYPE_NAME, 0, u"ok").data;
    const int32_t NV = CCI_ELEMENT_TYPE_NAME_VALUE;
    const struct {
        const char *label;
        std::string record;
    } cases[] = {
        {"header cut short", std::string("\x14\x00\x00", 3)},
        {"header length 19", Bytes().i32(19).i32(1).i32(0).i32(NV).i32(0).data},
        {"header length 0", Bytes().i32(0).i32(1).i32(0).i32(NV).i32(0).data},
        {"header length negative", Bytes().i32(-8).i32(1).i32(0).i32(NV).i32(0).data},
        {"header longer than data", Bytes().i32(40).i32(1).i32(0).i32(NV).i32(0).data},
        {"negative depth", Bytes().i32(20).i32(-1).i32(0).i32(NV).i32(0).data},
        {"name without terminator",
         Bytes().i32(24).i32(1).i32(1).i32(NV).i32(0).raw(std::string("a\0b\0", 4)).data},
        {"name past header length",
         Bytes().i32(22).i32(1).i32(1).i32(NV).i32(0).raw(std::string("a\0\0\0", 4)).data},
        {"char value without terminator",
         Bytes().i32(20).i32(1).i32(2).i32(NV).i32(5).raw(std::string("a\0b\0", 4)).data},
        {"char value cut mid unit",
         Bytes().i32(20).i32(1).i32(2).i32(NV).i32(5).raw(std::string("a\0\0", 3)).data},
        {"length field cut", Bytes().i32(20).i32(1).i32(2).i32(NV).i32(12).raw("\x03\x00").data},
        {"length field negative", Bytes().i32(20).i32(1).i32(2).i32(NV).i32(12).i32(-1).data},
        {"length field past end",
         Bytes().i32(20).i32(1).i32(2).i32(NV).i32(12).i32(9).raw("abc").data},
        {"decimal not terminated inside its length", Bytes()
                                                         .i32(20)
                                                         .i32(1)
                                                         .i32(2)
                                                         .i32(NV)
                                                         .i32(4)
                                                         .i32(4)
                                                         .raw(std::string("1\0.\0\0\0", 6))
                                                         .data},
        {"integer cut", Bytes().i32(20).i32(1).i32(2).i32(NV).i32(2).raw("1234567").data},
        {"timestamp cut",
         Bytes().i32(20).i32(1).i32(2).i32(NV).i32(9).raw(std::string(23, 'x')).data},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        CciElement *anchor = addName(rootOf(newMessage()), u"anchor");
        const std::string data = good + c.record;
        int records = 0;
        EXPECT_EQ(rebuild(anchor, data, -1, true, &records),
                  TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
        EXPECT_EQ(records, 1);
        EXPECT_EQ(dumpChildren(anchor), "ok") << "only the good record was made";
    }
}

TEST_F(RebuildTest, EveryTruncationEndsCleanly) {
    CciElement *top = addName(root, u"top");
    setDecimal(addNameValue(top, u"d"), u"12.5");
    setChar(addNameValue(top, u"c"), u"text");
    setBytes(addNameValue(top, u"b"), {1, 2, 3});
    setBool(addValue(top), true);
    setTimestamp(addNameValue(top, u"ts"), {{2002, 3, 4}, {9, 5, 7.5f}});
    const std::string bytes = serialised(top, false);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        CciElement *anchor = addName(rootOf(newMessage()), u"anchor");
        int records = 0;
        const int rc = rebuild(anchor, bytes.substr(0, cut), -1, true, &records);
        EXPECT_TRUE(rc == TT_SUCCESS || rc == TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE) << rc;
    }
}

TEST_F(RebuildTest, ReadPositionOutsideTheBufferIsRefused) {
    const std::string data = Bytes().header(0, 0x1, CCI_ELEMENT_TYPE_NAME, 0, u"x").data;
    CciElement *anchor = addName(root, u"anchor");
    int depth = -1;
    const char *before = data.data() - 1;
    EXPECT_EQ(inflateSyntaxElement(&anchor, data.data(), static_cast<int>(data.size()), &before,
                                   &depth, TRUE, TRUE),
              TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
    const char *atEnd = data.data() + data.size();
    EXPECT_EQ(inflateSyntaxElement(&anchor, data.data(), static_cast<int>(data.size()), &atEnd,
                                   &depth, TRUE, TRUE),
              TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
    EXPECT_EQ(childCount(anchor), 0);
}

} // namespace
