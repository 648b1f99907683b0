// XML rendering of text-mode buffers: the exact text for each tree shape, values copied
// unescaped, growth past the first kilobyte, refusal of unknown element types and of
// buffers that lie about themselves, and output that an XML parser reads back as the
// same tree.
#include <expat.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "tests/utilities_serialise/records.h"
#include "tests/utilities_values/elements.h"
#include "trace/retcodes.h"
#include "utilities/xmlrender.h"

using namespace utiltest;

namespace {

// Renders `data` from an exact-size heap copy; answers the code and the text.
int render(std::string_view data, std::string &xml) {
    char *copy = static_cast<char *>(malloc(data.empty() ? 1 : data.size()));
    memcpy(copy, data.data(), data.size());
    char *out = nullptr;
    int length = -1;
    const int rc = buildXMLFromSerialisedTree(copy, static_cast<int>(data.size()), &out, &length);
    free(copy);
    xml = out != nullptr ? std::string(out, static_cast<size_t>(length)) : "(no buffer)";
    free(out);
    return rc;
}

class RenderTest : public MessageTest {
protected:
    // Renders the first element of the notation, serialised in text mode.
    std::string renderTree(std::string_view notation) {
        std::string xml;
        EXPECT_EQ(render(serialised(build(notation), true), xml), TT_SUCCESS) << notation;
        return xml;
    }
};

TEST(RenderBufferTest, EmptyBufferGivesEmptyText) {
    std::string xml;
    EXPECT_EQ(render("", xml), TT_SUCCESS);
    EXPECT_EQ(xml, "");
}

TEST(RenderBufferTest, NameValueRecordGivesThirteenBytes) {
    const std::string data = Bytes()
                                 .header(0, 0x3, CCI_ELEMENT_TYPE_NAME_VALUE, 5, u"abc")
                                 .raw(std::string("42\0", 3))
                                 .data;
    std::string xml;
    ASSERT_EQ(render(data, xml), TT_SUCCESS);
    EXPECT_EQ(xml, "<abc>42</abc>");
}

TEST_F(RenderTest, EachShapeIsNestedWhereItsTreeSaysSo) {
    const struct {
        const char *tree;
        const char *xml;
    } cases[] = {
        {"a('t')", "<a>t</a>"},
        {"a('t', b='v')", "<a>t<b>v</b></a>"},
        {"a('t', b('u', c='1'), 'tail')", "<a>t<b>u<c>1</c></b>tail</a>"},
        {"a('1 < 2 & 3')", "<a>1 < 2 & 3</a>"},
        {"a(b(c='1'), d='2')", "<a><b><c>1</c></b><d>2</d></a>"},
        {"a(b, c='x')", "<a><b></b><c>x</c></a>"},
        {"a(b(c(d)), e(f('g')))", "<a><b><c><d></d></c></b><e><f>g</f></e></a>"},
        {"a(n=42, r=TRUE, d=D'2002-03-04', x=X'00ab')",
         "<a><n>42</n><r>TRUE</r><d>2002-03-04</d><x>00ab</x></a>"},
        {"caf\xc3\xa9('\xe2\x82\xac')", "<caf\xc3\xa9>\xe2\x82\xac</caf\xc3\xa9>"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(renderTree(c.tree), c.xml) << c.tree;
    }
}

TEST_F(RenderTest, LongValueIsWrittenInFullAndLengthIsTheTextLength) {
    EXPECT_EQ(renderTree("v='" + std::string(3000, 'z') + "'"),
              "<v>" + std::string(3000, 'z') + "</v>");
}

TEST_F(RenderTest, UnknownElementTypeStopsWithTheTextSoFar) {
    std::string xml;
    EXPECT_EQ(render(serialised(build("a(b='1', x[XML](c='2'))"), true), xml),
              TT_UNKNOWN_ELEMENT_TYPE);
    EXPECT_EQ(xml, "<a><b>1</b>");
}

// Records whose header, name or value run past the data, or whose depths lie.
TEST(RenderBufferTest, RecordsThatLieAboutThemselvesAreRefused) {
    const int32_t N = CCI_ELEMENT_TYPE_NAME;
    const int32_t NV = CCI_ELEMENT_TYPE_NAME_VALUE;
    const std::string top = Bytes().header(0, 0x5, N, 0, u"a").data;
    const struct {
        const char *label;
        std::string data;
    } cases[] = {
        {"header cut", top + std::string("\x14\0\0\0", 4)},
        {"header length 12", top + Bytes().i32(12).i32(1).i32(0).i32(NV).i32(5).raw("x").data},
        {"header past end", top + Bytes().i32(64).i32(1).i32(1).i32(N).i32(0).wide(u"b").data},
        {"name not terminated",
         top + Bytes().i32(24).i32(1).i32(1).i32(N).i32(0).raw(std::string("b\0c\0", 4)).data},
        {"value not terminated",
         top + Bytes().header(1, 0x3, NV, 5, u"b").raw("no terminator").data},
        {"record above the start",
         top + Bytes().header(-1, 0x3, NV, 5, u"b").raw(std::string("v\0", 2)).data},
        {"depth jump past the limit",
         top + Bytes().header(1000000, 0x3, NV, 5, u"b").raw(std::string("v\0", 2)).data},
    };
    for (const auto &c : cases) {
        std::string xml;
        EXPECT_EQ(render(c.data, xml), TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE) << c.label;
    }
}

TEST_F(RenderTest, EveryTruncationEndsCleanly) {
    const std::string data =
        serialised(build("a('t', b(c='1', d=42), e=TS'2002-03-04 09:05:07.5')"), true);
    for (size_t cut = 0; cut < data.size(); ++cut) {
        std::string xml;
        const int rc = render(data.substr(0, cut), xml);
        EXPECT_TRUE(rc == TT_SUCCESS || rc == TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE)
            << "cut at " << cut << ": " << rc;
    }
}

// A chain of `depth` nested NAME elements.
std::string chain(int depth) {
    Bytes bytes;
    for (int level = 0; level < depth; ++level) {
        bytes.header(level, level + 1 < depth ? 0x5 : 0x1, CCI_ELEMENT_TYPE_NAME, 0, u"d");
    }
    return bytes.data;
}

TEST(RenderBufferTest, NestingIsRenderedUpToTheLimitAndRefusedBeyond) {
    std::string xml;
    ASSERT_EQ(render(chain(1500), xml), TT_SUCCESS);
    std::string expected;
    for (int i = 0; i < 1500; ++i) {
        expected = "<d>" + expected + "</d>";
    }
    EXPECT_EQ(xml, expected);
    EXPECT_EQ(render(chain(5000), xml), TT_SYNTAX_ELEMENT_SERIALISATION_FAILURE);
}

// Expat's view of a document: tags and character data in order, adjacent data merged.
std::string parsedStructure(const std::string &xml, std::string &error) {
    struct State {
        std::string out;
    } state;
    XML_Parser parser = XML_ParserCreate("UTF-8");
    XML_SetUserData(parser, &state);
    XML_SetElementHandler(
        parser,
        [](void *data, const XML_Char *name, const XML_Char **) {
            static_cast<State *>(data)->out += std::string("<") + name + ">";
        },
        [](void *data, const XML_Char *name) {
            static_cast<State *>(data)->out += std::string("</") + name + ">";
        });
    XML_SetCharacterDataHandler(parser, [](void *data, const XML_Char *text, int length) {
        static_cast<State *>(data)->out.append(text, static_cast<size_t>(length));
    });
    if (XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) != XML_STATUS_OK) {
        error = XML_ErrorString(XML_GetErrorCode(parser));
    }
    XML_ParserFree(parser);
    return state.out;
}

// Random XML-safe trees in the tree notation (NAME elements with or without a first
// value, name-value elements, values), with the text they must read back as.
class SafeTreeGenerator {
public:
    explicit SafeTreeGenerator(unsigned seed) : random_(seed) {}
    // Comma-separated children for an element at `depth`; their XML goes to `xml`.
    std::string children(int depth, std::string &xml) {
        std::string tree;
        for (int i = depth >= 5 ? 0 : pick(0, 4); i > 0; --i) {
            tree += tree.empty() ? "" : ", ";
            const std::string name = word("abcdefgxyz");
            switch (pick(0, 3)) {
            case 0:
            case 1: {
                xml += "<" + name + ">";
                const std::string inner = children(depth + 1, xml);
                xml += "</" + name + ">";
                tree += inner.empty() ? name : name + "(" + inner + ")";
                break;
            }
            case 2: {
                const std::string value = word("0123456789 ABC");
                tree += name + "='" + value + "'";
                xml += "<" + name + ">" + value + "</" + name + ">";
                break;
            }
            default:
                tree += std::to_string(i);
                xml += std::to_string(i);
                break;
            }
        }
        return tree;
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::string word(std::string_view letters) {
        std::string out;
        for (int i = pick(1, 6); i > 0; --i) {
            out += letters[static_cast<size_t>(pick(0, static_cast<int>(letters.size()) - 1))];
        }
        return out;
    }
    std::mt19937 random_;
};

TEST_F(RenderTest, OutputParsesBackToTheSameTree) {
    for (unsigned seed = 1; seed <= 80; ++seed) {
        std::string expected;
        const std::string inner = SafeTreeGenerator(seed).children(0, expected);
        const std::string tree = inner.empty() ? "doc" : "doc(" + inner + ")";
        const std::string xml = renderTree(tree);
        std::string error;
        EXPECT_EQ(parsedStructure(xml, error), "<doc>" + expected + "</doc>") << tree << "\n"
                                                                              << xml;
        EXPECT_EQ(error, "") << xml;
    }
}

} // namespace
