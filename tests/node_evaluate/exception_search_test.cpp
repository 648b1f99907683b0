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

namespace {

std::string insert(const std::string &text) {
    return "Insert(Type=5, Text='" + text + "')";
}
std::string db(const std::string &children) {
    return "DatabaseException(" + children + ")";
}

struct Found {
    bool_t found;
    int code;
    std::string message;
};

// getSQLError with its out-parameters primed, to show whether they were touched.
Found search(testsupport::MessageScope &scope, const std::string &list) {
    CciChar *message = nullptr;
    int code = -999;
    Found r{getSQLError(scope.exceptionList(list), &message, &code), code, ""};
    for (CciChar *c = message; c != nullptr && *c != 0; ++c) {
        r.message += static_cast<char>(*c);
    }
    free(message);
    return r;
}

TEST(ExceptionSearch, FindsTheFirstCharacterInsertTextWithTheKeyword) {
    const std::string longText = std::string(10000 - 14, 'x') + "SQLSTATE=54321";
    const struct {
        std::string list;
        int code; // -999: not found, outputs untouched
        std::string message;
    } cases[] = {
        {"RecoverableException(" + db(insert("[DB2] SQL0803N  SQLSTATE=23505")) + ")", 23505,
         "[DB2] SQL0803N  SQLSTATE=23505"},
        {db(insert("no keyword") + ", Insert(Text='first', Text='SQLSTATE=40001 second')"), 40001,
         "SQLSTATE=40001 second"},
        // Byte array, integer and name-element texts are skipped.
        {db("Insert(Text=X'53514c53544154453d31', Text=2, Text[NAME]('SQLSTATE=3')), " +
            insert("SQLSTATE=4")),
         4, "SQLSTATE=4"},
        {db(insert("no code") + ", " + db(insert("SQLSTATE=777"))), 777, "SQLSTATE=777"},
        {db(insert("short") + ", " + insert(longText)), 54321, longText},
        {db(insert("state unknown, SQLSTATE")), 0, "state unknown, SQLSTATE"},
        // The code follows the first "SQLSTATE=", wherever the first "SQLSTATE" is.
        {db(insert("SQLSTATE unknown, then SQLSTATE=42")), 42,
         "SQLSTATE unknown, then SQLSTATE=42"},
        // The buffer is allocated, then grows; the match, shorter than the buffer by then,
        // comes back whole and terminated.
        {db(insert("a") + ", " + insert(std::string(40, 'b')) + ", " + insert("ccc SQLSTATE=9")), 9,
         "ccc SQLSTATE=9"},
        {"DatabaseExceptions(" + insert("SQLSTATE=1") + ")", -999, ""},
        {"DatabaseExceptioN(" + insert("SQLSTATE=1") + ")", -999, ""},
        {"DatabaseExceptio(" + insert("SQLSTATE=1") + ")", -999, ""},
        {"Database(" + insert("SQLSTATE=1") + ")", -999, ""},
        {"", -999, ""},
        {"RecoverableException, " + db(insert("SQLSTATE=1")), -999, ""},
        {"databaseException(" + insert("SQLSTATE=1") + ")", -999, ""},
        {db(insert("sqlstate=1")), -999, ""},
        {db("Text='SQLSTATE=1', insert(Text='SQLSTATE=1'), Insert(text='SQLSTATE=1')"), -999, ""},
        {"DatabaseException[VALUE]", -999, ""},
    };
    for (const auto &c : cases) {
        testsupport::MessageScope scope;
        const Found r = search(scope, c.list);
        const std::string shown = c.list.substr(0, 200);
        EXPECT_EQ(r.found, c.code != -999) << shown;
        EXPECT_EQ(r.code, c.code) << shown;
        EXPECT_EQ(r.message, c.message) << shown;
    }
    EXPECT_FALSE(getSQLError(nullptr, nullptr, nullptr));
}

// A(B(D), C), each a DatabaseException whose insert matches only when its letter is
// listed: the first in pre-order (an element before its children) wins.
TEST(ExceptionSearch, PreOrderDecidesWhichExceptionWins) {
    const struct {
        std::string matching;
        int expected;
    } cases[] = {{"ABCD", 1}, {"BCD", 2}, {"CD", 4}, {"C", 3}, {"", -999}};
    for (const auto &c : cases) {
        auto e = [&](char letter, int code, const std::string &children) {
            const bool matches = c.matching.find(letter) != std::string::npos;
            return db(insert(matches ? "SQLSTATE=" + std::to_string(code) : "none") + children);
        };
        const std::string list =
            e('A', 1, ", " + e('B', 2, ", " + e('D', 4, "")) + ", " + e('C', 3, ""));
        testsupport::MessageScope scope;
        EXPECT_EQ(search(scope, list).code, c.expected) << "matching '" << c.matching << "'";
    }
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
        {u"SQLSTATE=00000000000000000000000000023505", 23505},
        {u"SQLSTATE=99999999999999999999", INT32_MAX},
        {u"SQLSTATE=" + std::u16string(300, u'9'), INT32_MAX},
        {u"first SQLSTATE=1 then SQLSTATE=2", 1},
    };
    for (const auto &c : cases) {
        int code = -1;
        extractSQLCode(c.text.c_str(), &code);
        const std::u16string shown = c.text.substr(0, 40);
        EXPECT_EQ(code, c.code) << std::string(shown.begin(), shown.end());
    }
}

// What the node's own evaluation cannot show: codes no insert text yields, and the
// element kinds that are refused and left alone.
TEST(StoreCode, NegativeCodesAndUnsuitableElements) {
    const struct {
        const char *before;
        int code;
        bool_t created;
        bool_t xml;
        int result;
        const char *after;
    } cases[] = {
        {"E[NAME_VALUE]", INT32_MIN, TRUE, TRUE, TT_SUCCESS, "E='-2147483648'"},
        {"E[NAME_VALUE]", -803, TRUE, FALSE, TT_SUCCESS, "E=-803"},
        {"E", -7, FALSE, TRUE, TT_SUCCESS, "E(-7)"},
        {"E(Inner)", 1, FALSE, TRUE, TT_INVALID_ELEMENT_TYPE_SPECIFIED, "E(Inner)"},
        {"XML(a)", 1, FALSE, TRUE, TT_INVALID_ELEMENT_TYPE_SPECIFIED, "XML(a)"},
        {"@id='7'", 1, FALSE, TRUE, TT_INVALID_ELEMENT_TYPE_SPECIFIED, "@id='7'"},
        // An element holding only its text takes the code in its place; one whose
        // content is more than that is left alone, so no reader sees the code run into
        // other content.
        {"Status('x')", 42704, FALSE, TRUE, TT_SUCCESS, "Status('42704')"},
        {"Status='x'", 42704, FALSE, TRUE, TT_SUCCESS, "Status='42704'"},
        {"Status('x', b, 'y')", 1, FALSE, TRUE, TT_INVALID_ELEMENT_TYPE_SPECIFIED,
         "Status('x', b, 'y')"},
        {"Status('x', 'y')", 1, FALSE, TRUE, TT_INVALID_ELEMENT_TYPE_SPECIFIED, "Status('x', 'y')"},
        {"Status='x'(b)", 1, FALSE, TRUE, TT_INVALID_ELEMENT_TYPE_SPECIFIED, "Status='x'(b)"},
        {"Status('x', @a='1')", 1, FALSE, FALSE, TT_INVALID_ELEMENT_TYPE_SPECIFIED,
         "Status('x', @a='1')"},
    };
    for (const auto &c : cases) {
        testsupport::MessageScope scope;
        int rc = 0;
        CciElement *e = testsupport::build(cniRootElement(&rc, scope.message()), c.before);
        EXPECT_EQ(copySQLCodeToElement(e, c.code, c.created, c.xml), c.result) << c.before;
        EXPECT_EQ(dump(e), c.after) << c.before;
    }
    EXPECT_EQ(copySQLCodeToElement(nullptr, 1, TRUE, TRUE), TT_FAILED_TO_SET_ELEMENT_VALUE);
}

} // namespace
