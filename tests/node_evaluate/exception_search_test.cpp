// The exception-list search for the SQLCODE, the digits taken from an insert text, and
// the storing of a code into an element, called directly (trevane_core linked in).
#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "node/extractCode.h"
#include "tests/support/support.h"
#include "trace/retcodes.h"

using testsupport::dump;
using testsupport::dumpMessage;

namespace {

std::string utf8(const std::u16string &text) {
    return std::string(text.begin(), text.end());
}

class ExceptionSearch : public ::testing::Test {
protected:
    struct Result {
        bool_t found;
        int code;
        std::u16string message;
    };
    // getSQLError with its out-parameters primed, to show whether they were touched.
    Result search(CciMessage *list) {
        CciChar *message = nullptr;
        int code = -999;
        Result r{getSQLError(list, &message, &code), code, u""};
        if (message != nullptr) {
            r.message = message;
            free(message);
        }
        return r;
    }
    Result search(const std::string &notation) { return search(scope_.exceptionList(notation)); }

    testsupport::MessageScope scope_;
};

std::string insert(const std::string &text) {
    return "Insert(Type=5, Text='" + text + "')";
}

TEST_F(ExceptionSearch, FindsTheCodeAndCopiesTheWholeText) {
    const std::string text = "[IBM][CLI Driver][DB2/NT] SQL0803N  One or more values in the "
                             "INSERT statement are not valid.  SQLSTATE=23505";
    Result r = search("RecoverableException(DatabaseException(" + insert(text) + "))");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.code, 23505);
    EXPECT_EQ(utf8(r.message), text);
}

// A(B(D), C), each a DatabaseException whose insert matches only when its letter is
// listed: the first in pre-order (an element before its children) wins.
TEST_F(ExceptionSearch, PreOrderDecidesWhichExceptionWins) {
    const struct {
        std::string matching;
        int expected;
    } cases[] = {{"ABCD", 1}, {"BCD", 2}, {"CD", 4}, {"C", 3}, {"", -999}};
    for (const auto &c : cases) {
        auto db = [&](char letter, int code, const std::string &children) {
            const bool matches = c.matching.find(letter) != std::string::npos;
            return "DatabaseException(" +
                   insert(matches ? "SQLSTATE=" + std::to_string(code) : "no code") + children +
                   ")";
        };
        const std::string list =
            db('A', 1, ", " + db('B', 2, ", " + db('D', 4, "")) + ", " + db('C', 3, ""));
        Result r = search(list);
        EXPECT_EQ(r.code, c.expected) << "matching '" << c.matching << "' in " << list;
        EXPECT_EQ(r.found, c.expected != -999);
    }
}

TEST_F(ExceptionSearch, LaterInsertsAndLaterTextsAreExamined) {
    Result r = search("RecoverableException(DatabaseException(" + insert("no keyword") +
                      ", Insert(Type=5, Text='first text', Text='SQLSTATE=40001 second')))");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.code, 40001);
    EXPECT_EQ(utf8(r.message), "SQLSTATE=40001 second");
}

TEST_F(ExceptionSearch, TextsThatAreNotCharacterValuesAreSkipped) {
    // X'...' is "SQLSTATE=11111" as bytes.
    const std::string notCharacter =
        "Insert(Text=X'53514c53544154453d3131313131', Text=22222, Text[NAME]('SQLSTATE=3'))";
    EXPECT_FALSE(search("DatabaseException(" + notCharacter + ")").found);
    Result r = search("DatabaseException(" + notCharacter + ", " + insert("SQLSTATE=33333") + ")");
    EXPECT_EQ(r.code, 33333);
}

TEST_F(ExceptionSearch, WhatIsNotSearchedOrDoesNotMatch) {
    const std::string lists[] = {
        "",
        "RecoverableException, DatabaseException(" + insert("SQLSTATE=1") + ")",
        "databaseException(" + insert("SQLSTATE=1") + ")",
        "DatabaseException(" + insert("sqlstate=1") + ")",
        "DatabaseException(" + insert("SqlState=1") + ")",
        "DatabaseException(Text='SQLSTATE=1')",
        "DatabaseException(insert(Text='SQLSTATE=1'))",
        "DatabaseException(Insert(text='SQLSTATE=1'))",
        "DatabaseException[VALUE]",
    };
    for (const std::string &list : lists) {
        Result r = search(list);
        EXPECT_FALSE(r.found) << list;
        EXPECT_EQ(r.code, -999) << "untouched: " << list;
        EXPECT_TRUE(r.message.empty()) << list;
    }
    EXPECT_FALSE(search(static_cast<CciMessage *>(nullptr)).found);
}

TEST_F(ExceptionSearch, NonMatchingDatabaseExceptionStillHasItsChildrenSearched) {
    Result r = search("DatabaseException(" + insert("no code") + ", DatabaseException(" +
                      insert("SQLSTATE=777") + "))");
    EXPECT_EQ(r.code, 777);
}

TEST_F(ExceptionSearch, LongInsertTextIsReadWhole) {
    const std::string text = std::string(10000 - 14, 'x') + "SQLSTATE=54321";
    Result r = search("DatabaseException(" + insert("short") + ", " + insert(text) + ")");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.code, 54321);
    EXPECT_EQ(r.message.size(), 10000u);
}

// "SQLSTATE" without "=": a match with code 0 (and, under AddressSanitizer, nothing past
// the text is read).
TEST_F(ExceptionSearch, KeywordWithoutEqualsIsFoundWithCodeZero) {
    Result r = search("DatabaseException(" + insert("state unknown, SQLSTATE") + ")");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.code, 0);
}

// The digits right after "SQLSTATE=": a run of decimal digits and nothing else, clamped
// to the 32-bit range.
TEST(ExtractSQLCode, TakesTheDigitRunAfterTheKeyword) {
    const struct {
        std::u16string text;
        int code;
    } cases[] = {
        {u"error SQLSTATE=23505", 23505},
        {u"SQLSTATE=42S02", 42},
        {u"SQLSTATE=S1000", 0},
        {u"SQLSTATE=-803", 0},
        {u"SQLSTATE= 23505", 0},
        {u"SQLSTATE=", 0},
        {u"SQLSTATE 23505", 0},
        {u"SQLSTATE", 0},
        {u"SQLSTATE=00000000000000000000000000023505", 23505},
        {u"SQLSTATE=99999999999999999999", INT32_MAX},
        {u"SQLSTATE=" + std::u16string(300, u'9'), INT32_MAX},
        {u"first SQLSTATE=1 then SQLSTATE=2", 1},
    };
    for (const auto &c : cases) {
        int code = -1;
        extractSQLCode(c.text.c_str(), &code);
        EXPECT_EQ(code, c.code) << utf8(c.text.substr(0, 60));
    }
}

class StoreCode : public ::testing::Test {
protected:
    CciElement *element(const std::string &notation) {
        int rc = 0;
        return testsupport::build(cniRootElement(&rc, scope_.message()), notation);
    }
    testsupport::MessageScope scope_;
};

TEST_F(StoreCode, NewElementTakesTextInXmlAndIntegerOtherwise) {
    const struct {
        int code;
        bool_t xml;
        const char *expected;
    } cases[] = {
        {23505, TRUE, "E='23505'"}, {-803, TRUE, "E='-803'"}, {INT32_MIN, TRUE, "E='-2147483648'"},
        {23505, FALSE, "E=23505"},  {-803, FALSE, "E=-803"},
    };
    for (const auto &c : cases) {
        CciElement *e = element("E[NAME_VALUE]");
        EXPECT_EQ(copySQLCodeToElement(e, c.code, TRUE, c.xml), TT_SUCCESS);
        EXPECT_EQ(dump(e), c.expected);
    }
}

TEST_F(StoreCode, ExistingElementsTakeTheValueByTheirKind) {
    const struct {
        const char *before;
        bool_t xml;
        const char *after;
    } cases[] = {
        {"E='old'", TRUE, "E='-7'"},   {"E=1", FALSE, "E=-7"},       {"'old'", TRUE, "'-7'"},
        {"E('old')", TRUE, "E('-7')"}, {"E('old')", FALSE, "E(-7)"}, {"E", TRUE, "E(-7)"},
        {"E", FALSE, "E(-7)"},
    };
    for (const auto &c : cases) {
        CciElement *e = element(c.before);
        EXPECT_EQ(copySQLCodeToElement(e, -7, FALSE, c.xml), TT_SUCCESS) << c.before;
        EXPECT_EQ(dump(e), c.after) << c.before;
    }
}

TEST_F(StoreCode, UnsuitableElementsAreRefusedAndLeftAlone) {
    for (const char *tree : {"E(Inner='x')", "E(Inner)", "XML(a)", "@id='7'", "E[UNKNOWN]"}) {
        CciElement *e = element(tree);
        const std::string before = dump(e);
        EXPECT_EQ(copySQLCodeToElement(e, 1, FALSE, TRUE), TT_INVALID_ELEMENT_TYPE_SPECIFIED)
            << before;
        EXPECT_EQ(dump(e), before);
    }
}

TEST_F(StoreCode, BrokerRefusalIsAFailedSet) {
    EXPECT_EQ(copySQLCodeToElement(nullptr, 1, TRUE, TRUE), TT_FAILED_TO_SET_ELEMENT_VALUE);
    EXPECT_EQ(copySQLCodeToElement(nullptr, 1, TRUE, FALSE), TT_FAILED_TO_SET_ELEMENT_VALUE);
}

} // namespace
