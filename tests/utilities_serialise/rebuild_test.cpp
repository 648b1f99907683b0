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

// Random trees, in the tree notation, of every element type the writer accepts and
// every value type.
class TreeGenerator {
public:
    explicit TreeGenerator(unsigned seed) : random_(seed) {}

    // Comma-separated children for an element at `depth`.
    std::string children(int depth) {
        std::string out;
        for (int i = depth >= 4 ? 0 : pick(0, 4 - depth); i > 0; --i) {
            out += out.empty() ? "" : ", ";
            switch (pick(0, 6)) {
            case 0:
            case 1:
                out += name() + subtree(depth);
                break;
            case 2:
                out += value("[VALUE]", "=");
                break;
            case 3: {
                const std::string n = name();
                out += value(n + "[NAME_VALUE]", n + "=");
                out += pick(0, 3) == 0 ? subtree(depth) : "";
                break;
            }
            case 4:
                out += "XML[XML]" + subtree(depth);
                break;
            case 5:
                out += "[DTD]" + subtree(depth);
                break;
            default:
                out += "@" + name() + "=" + text();
                break;
            }
        }
        return out;
    }
    // A value of a random type after `prefix`, or `none` for an element without one.
    std::string value(const std::string &none, const std::string &prefix) {
        switch (pick(0, 12)) {
        case 0:
            return prefix + (pick(0, 1) ? "TRUE" : "FALSE");
        case 1:
            return prefix + std::to_string((static_cast<int64_t>(random_()) << pick(0, 30)) *
                                           (pick(0, 1) ? -1 : 1));
        case 2:
            return prefix + std::to_string(pick(-99999, 99999)) + "." +
                   std::to_string(pick(0, 999));
        case 3:
            return prefix + "DEC'-" + digits() + "." + digits() + "'";
        case 4:
            return prefix + text();
        case 5:
            return prefix + (pick(0, 1) ? "T'" : "GT'") + clock() + "'";
        case 6:
            return prefix + "D'" + date() + "'";
        case 7:
            return prefix + (pick(0, 1) ? "TS'" : "GTS'") + date() + " " + clock() + "'";
        case 8:
        case 9: {
            std::string hex;
            for (int i = pick(0, 40); i > 0; --i) {
                hex += "0123456789abcdef"[pick(0, 15)];
                hex += "0123456789abcdef"[pick(0, 15)];
            }
            return prefix + (pick(0, 1) ? "X'" : "B'") + hex + "'";
        }
        default:
            return none;
        }
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::string subtree(int depth) {
        const std::string inner = children(depth + 1);
        return inner.empty() ? "" : "(" + inner + ")";
    }
    std::string from(const char *const *pieces, int count, int low, int high) {
        std::string out;
        for (int i = pick(low, high); i > 0; --i) {
            out += pieces[pick(0, count - 1)];
        }
        return out;
    }
    std::string name() {
        static const char *const letters[] = {"a", "b", "c",        "X",
                                              "Y", "_", "\xc3\xa9", "\xe6\x97\xa5"};
        return from(letters, 8, 1, 10);
    }
    std::string text() {
        static const char *const pieces[] = {
            "a", " ", "<&>", "\xc3\xbc", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "text", "0"};
        return "'" + from(pieces, 8, 0, 6) + "'";
    }
    std::string digits() {
        static const char *const numerals[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"};
        return from(numerals, 10, 1, 12);
    }
    std::string two(int value) { return (value < 10 ? "0" : "") + std::to_string(value); }
    std::string clock() {
        return two(pick(0, 23)) + ":" + two(pick(0, 59)) + ":" + two(pick(0, 59)) + "." +
               std::to_string(pick(0, 99));
    }
    std::string date() {
        return std::to_string(pick(1000, 9999)) + "-" + two(pick(1, 12)) + "-" + two(pick(1, 28));
    }
    std::mt19937 random_;
};

using RebuildTest = MessageTest;

std::string withChildren(const std::string &head, const std::string &children) {
    return children.empty() ? head : head + "(" + children + ")";
}

TEST_F(RebuildTest, GeneratedTreesComeBackEqualAsANewChildOfTheAnchor) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        const std::string tree = withChildren("top", TreeGenerator(seed).children(0));
        CciElement *top = build(tree);
        CciElement *anchor = newAnchor();
        ASSERT_EQ(rebuild(anchor, serialised(top, false), -1, true), TT_SUCCESS) << tree;
        EXPECT_EQ(dumpChildren(anchor), dump(top)) << "seed " << seed;
    }
}

TEST_F(RebuildTest, GeneratedTreesGiveTheirValueAndChildrenToTheAnchorWhenFirstIsExcluded) {
    for (unsigned seed = 100; seed < 140; ++seed) {
        TreeGenerator generator(seed);
        const std::string head = generator.value("top[NAME_VALUE]", "top=");
        const std::string tree = withChildren(head, generator.children(0));
        CciElement *top = build(tree);
        CciElement *anchor = newAnchor("anchor[NAME_VALUE]");
        ASSERT_EQ(rebuild(anchor, serialised(top, false), 0, false), TT_SUCCESS) << tree;
        // The anchor keeps its name and takes the value and the children.
        EXPECT_EQ(dump(anchor), "anchor" + dump(top).substr(3)) << "seed " << seed;
    }
}

TEST_F(RebuildTest, SiblingAfterANameElementWithChildrenIsNotPutInsideIt) {
    CciElement *anchor = newAnchor();
    ASSERT_EQ(rebuild(anchor, serialised(build("top(n(1, 2), s='after')"), false), -1, true),
              TT_SUCCESS);
    EXPECT_EQ(dumpChildren(anchor), "top(n(1, 2), s='after')");
}

TEST_F(RebuildTest, SiblingsAfterAnElementWithChildrenKeepTheirOrder) {
    CciElement *anchor = newAnchor();
    ASSERT_EQ(
        rebuild(anchor, serialised(build("top(a(x='1'), b, c='2', 3, d(y))"), false), -1, true),
        TT_SUCCESS);
    EXPECT_EQ(dumpChildren(anchor), "top(a(x='1'), b, c='2', 3, d(y))");
}

TEST_F(RebuildTest, DeepAndWideTreesComeBackInOrder) {
    std::string tree = "d";
    for (int depth = 0; depth < 200; ++depth) {
        tree = "d(v=" + std::to_string(depth) + ", " + tree + ")";
    }
    for (int i = 0; i < 300; ++i) {
        tree += ", w=" + std::to_string(i);
    }
    CciElement *top = build("top(" + tree + ")");
    CciElement *anchor = newAnchor();
    ASSERT_EQ(rebuild(anchor, serialised(top, false), -1, true), TT_SUCCESS);
    EXPECT_EQ(dumpChildren(anchor), dump(top));
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
        CciElement *anchor = newAnchor();
        const std::string data = good + c.record;
        int records = 0;
        EXPECT_EQ(rebuild(anchor, data, -1, true, &records),
                  TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
        EXPECT_EQ(records, 1);
        EXPECT_EQ(dumpChildren(anchor), "ok") << "only the good record was made";
    }
}

TEST_F(RebuildTest, EveryTruncationEndsCleanly) {
    const std::string bytes = serialised(
        build("top(d=DEC'12.5', c='text', b=X'010203', TRUE, ts=TS'2002-03-04 09:05:07.5')"),
        false);
    for (size_t cut = 0; cut < bytes.size(); ++cut) {
        SCOPED_TRACE(cut);
        CciElement *anchor = newAnchor();
        int records = 0;
        const int rc = rebuild(anchor, bytes.substr(0, cut), -1, true, &records);
        EXPECT_TRUE(rc == TT_SUCCESS || rc == TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE) << rc;
    }
}

TEST_F(RebuildTest, ReadPositionOutsideTheBufferIsRefused) {
    const std::string data = Bytes().header(0, 0x1, CCI_ELEMENT_TYPE_NAME, 0, u"x").data;
    CciElement *anchor = build("anchor");
    int depth = -1;
    const char *before = data.data() - 1;
    EXPECT_EQ(inflateSyntaxElement(&anchor, data.data(), static_cast<int>(data.size()), &before,
                                   &depth, TRUE, TRUE),
              TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
    const char *atEnd = data.data() + data.size();
    EXPECT_EQ(inflateSyntaxElement(&anchor, data.data(), static_cast<int>(data.size()), &atEnd,
                                   &depth, TRUE, TRUE),
              TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
    EXPECT_EQ(dumpChildren(anchor), "");
}

} // namespace
