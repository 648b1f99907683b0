/*
 * The XML parser and writer: documents parsed into trees and written back, the tree
 * shapes a node relies on, malformed input, and trees XML cannot hold.
 */
#include <gtest/gtest.h>

#include <string>

#include "broker/host.h"
#include "tests/support/support.h"
#include "trevane/cni.h"

using namespace testsupport;

namespace {

CciElement *root(CciMessage *message) {
    return cniRootElement(nullptr, message);
}

std::string body(CciMessage *message) {
    return dump(child(root(message), "XML"));
}

struct RoundTrip {
    const char *what;
    const char *document;
    const char *tree;    // the XML body in the tree notation
    const char *written; // null: written back unchanged
};

TEST(XmlParser, DocumentsParseIntoTreesAndWriteBack) {
    const RoundTrip cases[] = {
        {"plain", "<outer><tag1>data1</tag1></outer>", "XML(outer(tag1('data1')))", nullptr},
        {"attributes", "<a x=\"1\" y=\"two words\"><b z=\"\"/></a>",
         "XML(a(@x='1', @y='two words', b(@z='')))", nullptr},
        {"mixed content", "<p>one <b>two</b> three<br/>four</p>",
         "XML(p('one ', b('two'), ' three', br, 'four'))", nullptr},
        {"entities", "<a t=\"&quot;&lt;&amp;\">&lt;x&gt; &amp; &#65;&#x42;</a>",
         "XML(a(@t='\"<&', '<x> & AB'))", "<a t=\"&quot;&lt;&amp;\">&lt;x&gt; &amp; AB</a>"},
        {"CDATA joins the text", "<a>x<![CDATA[<y>&]]>z</a>", "XML(a('x<y>&z'))",
         "<a>x&lt;y&gt;&amp;z</a>"},
        {"non-ASCII", "<gr\u00fc\u00df e=\"\u20ac\">\u65e5\u672c \U0001F600</gr\u00fc\u00df>",
         "XML(gr\u00fc\u00df(@e='\u20ac', '\u65e5\u672c \U0001F600'))", nullptr},
        {"DOCTYPE with internal subset",
         "<!DOCTYPE note SYSTEM \"note.dtd\" [<!ENTITY w \"world\">]><note>hello &w;</note>",
         "XML(note[DTD](SystemId='note.dtd', InternalSubset='<!ENTITY w \"world\">'), "
         "note('hello world'))",
         "<!DOCTYPE note SYSTEM \"note.dtd\" [<!ENTITY w \"world\">]><note>hello world</note>"},
        {"comments and instructions", "<!--c1--><?style x?><a><!-- c2 --><?p?></a>",
         "XML([COMMENT]='c1', style[PI]='x', a([COMMENT]=' c2 ', p[PI]=''))", nullptr},
        {"declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<a/>",
         "XML(a)", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n<a/>\n"},
        {"namespaces stay as written", "<n:a xmlns:n=\"urn:x\"><n:b/></n:a>",
         "XML(n:a(@xmlns:n='urn:x', n:b))", nullptr},
        {"line ends in attributes", "<a v=\"x&#10;y\"/>", "XML(a(@v='x\ny'))", nullptr},
    };
    for (const RoundTrip &c : cases) {
        MessageScope scope;
        CciMessage *m = scope.input(c.document);
        EXPECT_EQ(body(m), c.tree) << c.what << "\n" << dumpIndented(root(m));
        EXPECT_EQ(broker::bodyOf(m), c.written ? c.written : c.document) << c.what;
    }
}

TEST(XmlParser, EmptyBodyGivesAnEmptyXmlBody) {
    MessageScope scope;
    CciMessage *m = scope.input("");
    EXPECT_EQ(body(m), "XML");
    EXPECT_EQ(broker::bodyOf(m), "");
}

TEST(XmlParser, MalformedDocumentsRaiseParserExceptionsWithLineAndColumn) {
    struct Case {
        const char *document;
        const char *line;
        const char *column;
    } cases[] = {
        {"<a><b></a>", "1", "9"},         {"<a>\n  <b x='1' x='2'/></a>", "2", "12"},
        {"<a>&undefined;</a>", "1", "4"}, {"<a>\xff\xfe</a>", "1", "4"},
        {"<a></a><b/>", "1", "8"},        {"<a", "1", "1"},
        {"text only", "1", "1"},
    };
    for (const Case &c : cases) {
        MessageScope scope;
        auto raised = raisedBy([&] { scope.input(c.document); });
        ASSERT_TRUE(raised.has_value()) << c.document;
        EXPECT_EQ(raised->frame.type, CCI_PARSER_EXCEPTION) << raised->text;
        ASSERT_EQ(raised->frame.inserts.size(), 3u) << raised->text;
        EXPECT_EQ(raised->frame.inserts[0], c.line) << raised->text;
        EXPECT_EQ(raised->frame.inserts[1], c.column) << raised->text;
        EXPECT_EQ(raised->record.type, CCI_PARSER_EXCEPTION);
    }
}

TEST(XmlParser, EntityExpansionBombIsRefused) {
    std::string bomb = "<!DOCTYPE b [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    std::string previous = "a";
    for (int i = 0; i < 9; ++i) {
        std::string name = "e" + std::to_string(i);
        bomb += "<!ENTITY " + name + " \"";
        for (int k = 0; k < 10; ++k) {
            bomb += "&" + previous + ";";
        }
        bomb += "\">";
        previous = name;
    }
    bomb += "]><b>&" + previous + ";</b>";
    MessageScope scope;
    auto raised = raisedBy([&] { scope.input(bomb); });
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->frame.type, CCI_PARSER_EXCEPTION);
}

TEST(XmlParser, DeeplyNestedDocumentParsesAndWritesWithoutRecursion) {
    std::string document;
    const int depth = 100000;
    for (int i = 0; i < depth; ++i) {
        document += "<d>";
    }
    for (int i = 0; i < depth; ++i) {
        document += "</d>";
    }
    MessageScope scope;
    CciMessage *m = scope.input(document);
    // <d> and </d> around each level but the innermost, which is <d/>.
    EXPECT_EQ(broker::bodyOf(m).size(), static_cast<size_t>(depth - 1) * 7 + 4);
}

TEST(XmlWriter, NameValueUnderTheBodyIsWrittenAsAnElementHoldingItsValue) {
    MessageScope scope;
    CciMessage *m = scope.input("<outer><tag1>data1</tag1></outer>");
    CciElement *outer = child(root(m), "XML.outer");
    build(outer, "Status='23505', Count=3, Flag=TRUE, Id=X'0aff', When=D'2002-03-04'");
    EXPECT_EQ(broker::bodyOf(m), "<outer><tag1>data1</tag1><Status>23505</Status><Count>3</Count>"
                                 "<Flag>TRUE</Flag><Id>0aff</Id><When>2002-03-04</When></outer>");
}

TEST(XmlWriter, SeveralChildrenOfTheRootKeepTheirOrder) {
    MessageScope scope;
    CciMessage *m = scope.message("MQMD, XML(doc(first('1'), Status=-803, last(@a='<')))");
    EXPECT_EQ(broker::bodyOf(m),
              "<doc><first>1</first><Status>-803</Status><last a=\"&lt;\"/></doc>");
}

// A namespaced document is found by the name as written, prefix included; a path that
// leaves the prefix out makes a second element beside the root, and that body must not
// go out as a document no reader can parse.
TEST(XmlWriter, SecondRootElementOrTextOutsideTheRootIsRefused) {
    MessageScope scope;
    CciMessage *m = scope.input("<p:outer xmlns:p=\"u\"><p:Status>x</p:Status></p:outer>");
    EXPECT_NE(child(root(m), "XML.p:outer.p:Status"), nullptr) << dumpMessage(m);
    EXPECT_EQ(child(root(m), "XML.outer"), nullptr);
    build(child(root(m), "XML"), "outer(Status='42704')");
    int rc = 0;
    EXPECT_EQ(cniWriteBuffer(&rc, m), 0);
    EXPECT_EQ(rc, CCI_EXCEPTION);
    auto raised = lastRaised();
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->frame.messageNumber, 2002);
    EXPECT_NE(raised->text.find("second root element 'outer' after 'p:outer'"), std::string::npos)
        << raised->text;

    for (const char *c : {"XML(a, b)", "XML(a, 'tail')", "XML('head', a)", "XML([NAME](a), b)"}) {
        MessageScope each;
        CciMessage *bad = each.message(c);
        EXPECT_EQ(cniWriteBuffer(&rc, bad), 0) << c;
        EXPECT_EQ(rc, CCI_EXCEPTION) << c;
    }
    for (const char *c : {"XML('  ', a, ' ')", "XML([COMMENT]='c', a, [COMMENT]='d')"}) {
        MessageScope each;
        CciMessage *good = each.message(c);
        EXPECT_GT(cniWriteBuffer(&rc, good), 0) << c;
        EXPECT_EQ(rc, CCI_SUCCESS) << c;
    }
}

TEST(XmlWriter, UnnamedValuesAreTextAndUnnamedElementsAreTransparent) {
    MessageScope scope;
    CciMessage *m = scope.message("XML(a('x', [NAME](b('y')), 'z'))");
    EXPECT_EQ(broker::bodyOf(m), "<a>x<b>y</b>z</a>");
}

TEST(XmlWriter, TreesXmlCannotHoldGiveAPendingExceptionNotBadOutput) {
    const char *cases[] = {
        "XML(\"two words\"='x')", "XML(a(\"@bad name\"[ATTR]='v'))",
        "XML(a='bell \a')",       "XML([COMMENT]='a -- b')",
        "XML(\"1st\")",
    };
    for (const char *c : cases) {
        MessageScope scope;
        CciMessage *m = scope.message(c);
        int rc = 0;
        EXPECT_EQ(cniWriteBuffer(&rc, m), 0) << c;
        EXPECT_EQ(rc, CCI_EXCEPTION) << c;
        auto raised = lastRaised();
        ASSERT_TRUE(raised.has_value());
        EXPECT_EQ(raised->frame.type, CCI_PARSER_EXCEPTION) << c << ": " << raised->text;
    }
}

TEST(XmlWriter, CopiedMessageWritesLikeTheOriginal) {
    MessageScope scope;
    const char *document = "<?xml version=\"1.0\"?>\n<a x=\"1\">t<b/></a>\n";
    CciMessage *m = scope.input(document);
    CciMessage *copy = scope.message();
    cniCopyElementTree(nullptr, root(m), root(copy));
    EXPECT_EQ(broker::bodyOf(copy), broker::bodyOf(m));
}

} // namespace
