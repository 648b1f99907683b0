/*
 * The wide formatter: every directive letter, flags/width/precision passed through, wide
 * arguments of any length, the odd directives ("%%", a trailing '%', other letters) and
 * the bounded forms at every size around the text's length.
 */
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "portability/formatcheck.h"
#include "portability/unicode.h"
#include "tests/portability/show.h"

namespace {

template <typename... Args> std::string formatted(const char *format, Args... arguments) {
    std::vector<char> buffer(70000, '#');
    UCsnprintf(buffer.data(), buffer.size(), format, arguments...);
    return buffer.data();
}

template <typename... Args> std::string unbounded(const char *format, Args... arguments) {
    std::vector<char> buffer(70000, '#');
    EXPECT_EQ(UCsprintf(buffer.data(), format, arguments...), 0);
    return buffer.data();
}

} // namespace

TEST(WideFormat, EachDirectiveLetterFormatsItsArgument) {
    EXPECT_EQ(formatted("%S(%S)", u"a", u"b"), "a(b)");
    EXPECT_EQ(formatted("'%S'", u"x"), "'x'");
    EXPECT_EQ(formatted("%5d|", 42), "   42|");
    EXPECT_EQ(formatted("[%s]", "text"), "[text]");
    EXPECT_EQ(formatted("%d %d %d", 0, -7, INT_MIN), "0 -7 -2147483648");
    EXPECT_EQ(formatted("%x %x", 0xBEEFu, 0xFFFFFFFFu), "beef ffffffff");
    EXPECT_EQ(formatted("%c%c", 'o', 'k'), "ok");
    EXPECT_EQ(formatted("%S", u"caf\x00E9 \x4E2D\xD83D\xDE00"),
              "caf\xC3\xA9 \xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(formatted("no directives at all"), "no directives at all");
    EXPECT_EQ(formatted(""), "");
}

TEST(WideFormat, FlagsWidthAndPrecisionArePassedThrough) {
    const struct {
        std::string got;
        const char *expected;
    } cases[] = {
        {formatted("elementP=%.8x", 0x1234u), "elementP=00001234"},
        {formatted("%-6s|%6s|%.2s", "ab", "cd", "efgh"), "ab    |    cd|ef"},
        {formatted("%3c|%-3c|", 'a', 'b'), "  a|b  |"},
        {formatted("%6S|%-6S|%.3S", u"ab", u"cd", u"efgh"), "    ab|cd    |efg"},
        {formatted("%*d|%-*d|%.*S", 4, 7, 3, 8, 2, u"wxyz"), "   7|8  |wx"},
        {formatted("%*d|", -4, 7), "7   |"},
        {formatted("%.*S|", -1, u"all"), "all|"},
        {formatted("%ld %lx", 1L << 40, 0xFFFFFFFFFFUL), "1099511627776 ffffffffff"},
        {formatted("%hd", 70000), "4464"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.got, c.expected);
    }
}

TEST(WideFormat, WidthCountsTheConvertedBytesOfAWideArgument) {
    // Width and precision apply to the UTF-8 text, as the C formatter counts bytes.
    EXPECT_EQ(formatted("%5S|", u"\x00E9"), "   \xC3\xA9|");
    EXPECT_EQ(formatted("%-4S|", u"\x4E2D"), "\xE4\xB8\xAD |");
}

TEST(WideFormat, LongWideArgumentsAreConvertedInFull) {
    // Above the local conversion buffer the text is converted on the heap, and sized for
    // its bytes: characters beyond ASCII need two or three bytes each.
    const struct {
        char16_t unit;
        size_t count;
        std::string bytes;
    } cases[] = {{u'w', 20000, "w"},
                 {0x00E9, 20000, "\xC3\xA9"},
                 {0x4E2D, 3000, "\xE4\xB8\xAD"}, // 9,001 bytes: still the local buffer
                 {0x4E2D, 4000, "\xE4\xB8\xAD"}};
    for (const auto &c : cases) {
        const std::u16string text(c.count, c.unit);
        std::string expected;
        for (size_t i = 0; i < c.count; ++i) {
            expected += c.bytes;
        }
        for (const char *format : {"%S", "%1S", "%-3S"}) {
            const std::string got = formatted(format, text.c_str());
            EXPECT_EQ(got.size(), expected.size()) << format << " with " << c.count << " units";
            EXPECT_TRUE(got == expected) << format << " with " << c.count << " units";
        }
        EXPECT_TRUE(unbounded("<%S>", text.c_str()) == "<" + expected + ">");
    }
}

TEST(WideFormat, OddDirectivesFollowTheCFormattersReading) {
    const struct {
        std::string got;
        const char *expected;
    } cases[] = {
        // A '%' with no conversion letter after it ends the text.
        {formatted("done 100%"), "done 100"},
        {formatted("a%d b%", 1), "a1 b"},
        {formatted("%"), ""},
        // "%%" is no directive of its own: it becomes part of the next one, where the C
        // formatter reads it as a percent sign.
        {formatted("100%% of %d", 5), "100% of 5"},
        {formatted("100%%"), "100"},
        // Letters other than S s d x c are not conversions; they are kept as text and
        // the directive ends at the next conversion letter.
        {formatted("%u items", "ignored"), "%u items"},
        {formatted("%yz%d", 3), "%yz3"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.got, c.expected);
    }
}

TEST(WideFormat, NullTextArgumentsFormatAsNull) {
    EXPECT_EQ(formatted("[%s][%S]", static_cast<const char *>(nullptr),
                        static_cast<const CciChar *>(nullptr)),
              "[(null)][(null)]");
    EXPECT_EQ(formatted("[%8S]", static_cast<const CciChar *>(nullptr)), "[  (null)]");
}

TEST(WideFormat, NullOutputOrFormatWritesNothingHarmful) {
    EXPECT_EQ(UCsnprintf(nullptr, 10, "%d", 1), 0);
    char buffer[4] = "##";
    EXPECT_EQ(UCsnprintf(buffer, 0, "%d", 1), 0);
    EXPECT_STREQ(buffer, "##");
    EXPECT_EQ(UCsnprintf(buffer, sizeof buffer, nullptr), 0);
    EXPECT_STREQ(buffer, "");
}

TEST(WideFormat, BoundedFormCutsAtEverySizeAndNeverOverruns) {
    const std::string full = "id=00abcdef name=node(x) n=-12 c=Q";
    for (size_t size = 1; size <= full.size() + 3; ++size) {
        std::vector<char> buffer(size + 8, '#');
        UCsnprintf(buffer.data(), size, "id=%.8x name=%S(%s) n=%d c=%c", 0xABCDEFu, u"node", "x",
                   -12, 'Q');
        const std::string expected = full.substr(0, std::min(size - 1, full.size()));
        EXPECT_EQ(std::string(buffer.data()), expected) << "size " << size;
        EXPECT_EQ(std::string(buffer.data() + size, 8), "########") << "overrun at size " << size;
    }
}

TEST(WideFormat, BoundedFormAtExactAndOneShortSizes) {
    char exact[6];
    UCsnprintf(exact, sizeof exact, "abc%d", 42);
    EXPECT_STREQ(exact, "abc42");
    char oneShort[5];
    UCsnprintf(oneShort, sizeof oneShort, "abc%d", 42);
    EXPECT_STREQ(oneShort, "abc4");

    char wideExact[6];
    UCsnprintf(wideExact, sizeof wideExact, "%S", u"ab\x4E2D");
    EXPECT_EQ(showBytes(wideExact), showBytes("ab\xE4\xB8\xAD"));
    char wideShort[5];
    UCsnprintf(wideShort, sizeof wideShort, "%S", u"ab\x4E2D");
    EXPECT_EQ(showBytes(wideShort), showBytes("ab"));
}

TEST(WideFormat, CutInsideAWideArgumentEndsTheOutput) {
    // Once a character had to be left out, later text must not follow it: the output is
    // always a prefix of the full text.
    for (size_t size = 1; size <= 14; ++size) {
        std::vector<char> buffer(size + 4, '#');
        UCsnprintf(buffer.data(), size, "<%S>tail", u"\x4E2D\x4E2D");
        const std::string full = "<\xE4\xB8\xAD\xE4\xB8\xAD>tail";
        const std::string got = buffer.data();
        EXPECT_EQ(full.compare(0, got.size(), got), 0) << "size " << size << ": " << showBytes(got);
        EXPECT_LE(got.size(), size - 1);
        EXPECT_EQ(std::string(buffer.data() + size, 4), "####");
    }
}

TEST(WideFormat, CheckedFrontDoorPassesTheArguments) {
    char buffer[64];
    ucFormat(buffer, sizeof buffer, "contextP=%.8x, terminalName=%S (%d)", 0x1Au, u"out", 3);
    EXPECT_STREQ(buffer, "contextP=0000001a, terminalName=out (3)");
    ucFormat(buffer, 8, "%s", "truncated text");
    EXPECT_STREQ(buffer, "truncat");
}

TEST(WideFormat, NumbersMatchTheCFormatterForEveryFormOfDirective) {
    const char *const signedForms[] = {"%d",   "%.0d", "%.1d", "%.3d",  "%.12d", "%5d",
                                       "%-5d", "%05d", "%+d",  "% .4d", "%8.3d"};
    const char *const unsignedForms[] = {"%x",  "%.0x",  "%.8x",  "%.12x", "%08x",
                                         "%#x", "%-9x|", "%0.2x", "%#.5x", "%3x"};
    const int signedValues[] = {0, 1, -1, 7, -42, 123456, INT_MAX, INT_MIN};
    const unsigned unsignedValues[] = {0u, 1u, 0xAu, 0xBEEFu, 0x80000000u, 0xFFFFFFFFu};
    for (const char *form : signedForms) {
        for (int value : signedValues) {
            char expected[64];
            snprintf(expected, sizeof expected, form, value);
            EXPECT_EQ(formatted(form, value), expected) << form << " of " << value;
        }
    }
    for (const char *form : unsignedForms) {
        for (unsigned value : unsignedValues) {
            char expected[64];
            snprintf(expected, sizeof expected, form, value);
            EXPECT_EQ(formatted(form, value), expected) << form << " of " << value;
        }
    }
}

TEST(WideFormat, LengthModifiersAfterAnHReadAnIntAsShortOrChar) {
    // "h" followed by another modifier must not make the C formatter read a wider
    // argument than the int passed (nor refuse the directive): it reads as "h", "hh"
    // stays "hh", and the following directives still get their own arguments.
    EXPECT_EQ(formatted("%hld|%s", 7, "next"), "7|next");
    EXPECT_EQ(formatted("%5hLd|%d", -3, 9), "   -3|9");
    EXPECT_EQ(formatted("%hqx|%hzd|%htd", 0x1FFFF, 65537, 40000), "ffff|1|-25536");
    EXPECT_EQ(formatted("%hhjd|%hhx", 0x181, 0x1FF), "-127|ff");
    EXPECT_EQ(formatted("%.3hjd", 5), "005");
}
