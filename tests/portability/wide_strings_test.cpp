/*
 * Wide-string functions: differential tests against ICU's u_str* functions on generated
 * texts (empty, surrogates, units above 0x7FFF), the null-pointer answers, numbers,
 * conversions to and from UTF-8 and the byte tables.
 */
#include <unicode/ustring.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "portability/unicode.h"
#include "tests/portability/show.h"

namespace {

// Texts built from the units that tell unsigned 16-bit order and surrogate handling
// apart: ASCII, the top of the signed range, surrogates of both halves and 0xFFFF.
std::vector<std::u16string> generatedTexts(unsigned seed, int count) {
    static const char16_t pool[] = {u'a',   u'b',   u'c',   u'.',   0x7F,   0x80,
                                    0x7FFF, 0x8000, 0xD800, 0xDBFF, 0xDC00, 0xDFFF,
                                    0xE000, 0xFFFD, 0xFFFF, 0x4E2D, 0x00E9, 0x0001};
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> length(0, 12);
    std::uniform_int_distribution<size_t> pick(0, sizeof pool / sizeof pool[0] - 1);
    std::vector<std::u16string> texts{u"", u"a", u"\xD83D\xDE00", u"\xFFFF\x0001"};
    while (static_cast<int>(texts.size()) < count) {
        std::u16string text;
        for (int n = length(random); n > 0; --n) {
            text += pool[pick(random)];
        }
        texts.push_back(text);
    }
    return texts;
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

bool isLead(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isTrail(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

TEST(WideStrings, LengthAndComparisonAgreeWithIcuInCodeUnitOrder) {
    const auto texts = generatedTexts(1, 120);
    for (const auto &a : texts) {
        ASSERT_EQ(UClen(a.c_str()), u_strlen(a.c_str())) << show(a);
        for (const auto &b : texts) {
            EXPECT_EQ(UCcmp(a.c_str(), b.c_str()), sign(u_strcmp(a.c_str(), b.c_str())))
                << show(a) << " vs " << show(b);
            for (int n = 1; n <= 6; ++n) {
                EXPECT_EQ(UCncmp(a.c_str(), b.c_str(), n), sign(u_strncmp(a.c_str(), b.c_str(), n)))
                    << show(a) << " vs " << show(b) << " over " << n;
            }
        }
    }
}

TEST(WideStrings, SearchFindsWhatIcuFindsUnitByUnit) {
    // ICU refuses matches that would split a surrogate pair; these functions compare
    // plain units, so for needles that start or end on a surrogate the oracle is a
    // unit-by-unit search.
    const auto texts = generatedTexts(2, 150);
    for (const auto &haystack : texts) {
        for (const char16_t unit : std::u16string(u"ab.\x7FFF\x8000\xD800\xDC00\xFFFF")) {
            const char16_t needle[] = {unit, 0};
            const CciChar *found = UCchr(haystack.c_str(), unit);
            const size_t at = std::u16string_view(haystack).find(unit);
            const CciChar *expected =
                at == std::u16string_view::npos ? nullptr : haystack.c_str() + at;
            EXPECT_EQ(found, expected) << show(haystack) << " for " << show(needle);
            if (!isLead(unit) && !isTrail(unit)) {
                EXPECT_EQ(found, u_strchr(haystack.c_str(), unit)) << show(haystack);
            }
        }
        // Needles taken from the text itself, so that most of them match somewhere.
        for (size_t start = 0; start < haystack.size(); ++start) {
            for (size_t length = 1; start + length <= haystack.size() && length <= 4; ++length) {
                const std::u16string needle = haystack.substr(start, length);
                if (needle.find(u'\0') != std::u16string::npos) {
                    continue;
                }
                const CciChar *found = UCstr(haystack.c_str(), needle.c_str());
                const size_t at = std::u16string_view(haystack).find(needle);
                ASSERT_EQ(found, haystack.c_str() + at) << show(haystack) << " / " << show(needle);
                if (!isTrail(needle.front()) && !isLead(needle.back())) {
                    EXPECT_EQ(found, u_strstr(haystack.c_str(), needle.c_str()))
                        << show(haystack) << " / " << show(needle);
                }
            }
        }
        for (const auto &needle : generatedTexts(3, 20)) {
            if (needle.empty()) {
                continue;
            }
            const size_t at = std::u16string_view(haystack).find(needle);
            EXPECT_EQ(UCstr(haystack.c_str(), needle.c_str()),
                      at == std::u16string_view::npos ? nullptr : haystack.c_str() + at)
                << show(haystack) << " / " << show(needle);
        }
    }
}

TEST(WideStrings, CopiesAgreeWithIcuAndAnswerTheTerminator) {
    constexpr char16_t untouched = 0xAAAA;
    for (const auto &source : generatedTexts(4, 80)) {
        std::vector<char16_t> ours(40, untouched), icu(40, untouched);
        CciChar *end = UCcpy(ours.data(), source.c_str());
        u_strcpy(icu.data(), source.c_str());
        EXPECT_EQ(ours, icu) << show(source);
        EXPECT_EQ(end, ours.data() + source.size()) << show(source);

        for (int n = 0; n <= 14; ++n) {
            std::vector<char16_t> bounded(40, untouched);
            CciChar *terminator = UCncpy(bounded.data(), source.c_str(), n);
            const size_t copied = std::min(source.size(), static_cast<size_t>(n));
            std::vector<char16_t> expected(40, untouched);
            std::copy_n(source.begin(), copied, expected.begin());
            expected[copied] = 0; // terminated, never padded
            EXPECT_EQ(bounded, expected) << show(source) << " n=" << n;
            EXPECT_EQ(terminator, bounded.data() + copied);
        }

        for (const auto &tail : generatedTexts(5, 10)) {
            std::vector<char16_t> joined(40, untouched), icuJoined(40, untouched);
            UCcpy(joined.data(), source.c_str());
            u_strcpy(icuJoined.data(), source.c_str());
            CciChar *joinedEnd = UCcat(joined.data(), tail.c_str());
            u_strcat(icuJoined.data(), tail.c_str());
            EXPECT_EQ(joined, icuJoined) << show(source) << " + " << show(tail);
            EXPECT_EQ(joinedEnd, joined.data() + source.size() + tail.size());
        }
    }
}

TEST(WideStrings, NullPointersGetTheirDocumentedAnswers) {
    CciChar buffer[8] = u"keep";
    EXPECT_EQ(UClen(nullptr), 0);
    EXPECT_EQ(UCcpy(nullptr, u"a"), nullptr);
    EXPECT_EQ(UCcpy(buffer, nullptr), nullptr);
    EXPECT_EQ(UCncpy(buffer, nullptr, 3), nullptr);
    EXPECT_EQ(UCncpy(nullptr, u"a", 3), nullptr);
    EXPECT_EQ(UCcat(nullptr, u"a"), nullptr);
    EXPECT_EQ(UCcat(buffer, nullptr), buffer);
    EXPECT_EQ(UCchr(nullptr, u'a'), nullptr);
    EXPECT_EQ(UCchr(u"", u'a'), nullptr);
    EXPECT_EQ(UCchr(u"abc", 0), nullptr);
    EXPECT_EQ(UCstr(nullptr, u"a"), nullptr);
    EXPECT_EQ(UCstr(u"", u"a"), nullptr);
    EXPECT_EQ(UCstr(u"abc", nullptr), nullptr);
    EXPECT_EQ(UCstr(u"abc", u""), nullptr);
    EXPECT_EQ(UCcmp(nullptr, u"a"), -1);
    EXPECT_EQ(UCcmp(u"a", nullptr), -1);
    EXPECT_EQ(UCcmp(nullptr, nullptr), -1);
    EXPECT_EQ(UCncmp(u"a", u"a", 0), -1);
    EXPECT_EQ(UCncmp(u"a", u"a", -3), -1);
    EXPECT_EQ(UCncmp(nullptr, u"a", 1), -1);
    EXPECT_EQ(UCdup(nullptr), nullptr);
    EXPECT_EQ(CciString(nullptr), nullptr);
    EXPECT_EQ(UCToStr(nullptr, reinterpret_cast<char *>(buffer), 8, nullptr), nullptr);
    EXPECT_EQ(UCToStr(u"a", nullptr, 8, nullptr), nullptr);
    EXPECT_EQ(strToUC("a", 0, nullptr, nullptr), nullptr);
    intToUC(5, nullptr);
    EXPECT_EQ(UCToInt(nullptr), 0);
    EXPECT_EQ(UCisNumeric(nullptr), TRUE);
    EXPECT_EQ(upperCase(nullptr), nullptr);
    EXPECT_EQ(lowerCase(nullptr), nullptr);
    EXPECT_EQ(show(buffer), show(u"keep")) << "nothing was written through a null answer";
}

TEST(WideStrings, LeadingNumberIsClampedToThe32BitRange) {
    const struct {
        const char16_t *text;
        int value;
    } cases[] = {
        {u"42abc", 42},
        {u"abc", 0},
        {u"", 0},
        {u"  \t\n-17", -17},
        {u"+5", 5},
        {u"- 5", 0},
        {u"0007", 7},
        {u"2147483647", INT_MAX},
        {u"2147483648", INT_MAX},
        {u"-2147483648", INT_MIN},
        {u"-2147483649", INT_MIN},
        {u"99999999999999999999999", INT_MAX},
        {u"-99999999999999999999999", INT_MIN},
        {u"\x0663", 0}, // a digit of another script is no number here
        {u"12\x0663", 12},
        {u"\xFF11", 0}, // nor is a full-width digit
    };
    for (const auto &c : cases) {
        EXPECT_EQ(UCToInt(c.text), c.value) << show(c.text);
    }
}

TEST(WideStrings, NumericMeansOnlyTheTenDecimalDigits) {
    EXPECT_EQ(show(numericMask), show(u"0123456789"));
    const struct {
        const char16_t *text;
        bool_t numeric;
    } cases[] = {{u"123", TRUE}, {u"12a", FALSE},    {u"", TRUE},  {u"-1", FALSE},
                 {u" 1", FALSE}, {u"\x0663", FALSE}, {u"0", TRUE}, {u"9\xFFFF", FALSE}};
    for (const auto &c : cases) {
        EXPECT_EQ(UCisNumeric(c.text), c.numeric) << show(c.text);
    }
}

TEST(WideStrings, IntegerTextCoversTheWholeRange) {
    const struct {
        int value;
        const char16_t *text;
    } cases[] = {
        {0, u"0"}, {42, u"42"}, {-1, u"-1"}, {INT_MAX, u"2147483647"}, {INT_MIN, u"-2147483648"}};
    for (const auto &c : cases) {
        CciChar output[13];
        std::fill(std::begin(output), std::end(output), u'#');
        intToUC(c.value, output);
        EXPECT_EQ(show(output), show(c.text));
        EXPECT_EQ(UCToInt(output), c.value);
    }
}

TEST(WideStrings, Utf8ConversionsRoundTripAndReportLengths) {
    const char utf8[] = "Stra\xC3\x9F"
                        "e \xE4\xB8\xAD \xF0\x9F\x98\x80!";
    CciChar *wide = CciString(utf8);
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(show(wide), show(u"Stra\x00DF"
                               "e \x4E2D \xD83D\xDE00!"));

    char back[64];
    int length = -1;
    ASSERT_EQ(UCToStr(wide, back, sizeof back, &length), back);
    EXPECT_EQ(showBytes(back), showBytes(utf8));
    EXPECT_EQ(length, static_cast<int>(strlen(utf8)));

    CciChar output[64];
    int units = -1;
    ASSERT_EQ(strToUC(utf8, 12345, output, &units), output);
    EXPECT_EQ(UCcmp(output, wide), 0) << show(output);
    EXPECT_EQ(units, UClen(wide));
    free(wide);

    ASSERT_EQ(strToUC(nullptr, 0, output, &units), output);
    EXPECT_EQ(units, 0);
}

TEST(WideStrings, ShortConversionBufferGetsWholeCharactersOnly) {
    const CciChar text[] = u"a\x00E9\x4E2D\xD83D\xDE00z"; // 1 + 2 + 3 + 4 + 1 bytes
    const struct {
        int size;
        const char *expected;
    } cases[] = {{1, ""},
                 {2, "a"},
                 {3, "a"},
                 {4, "a\xC3\xA9"},
                 {6, "a\xC3\xA9"},
                 {7, "a\xC3\xA9\xE4\xB8\xAD"},
                 {10, "a\xC3\xA9\xE4\xB8\xAD"},
                 {11, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
                 {12, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80z"}};
    for (const auto &c : cases) {
        std::vector<char> buffer(static_cast<size_t>(c.size) + 4, '#');
        int length = -1;
        ASSERT_EQ(UCToStr(text, buffer.data(), c.size, &length), buffer.data()) << c.size;
        EXPECT_EQ(showBytes(buffer.data()), showBytes(c.expected)) << "size " << c.size;
        EXPECT_EQ(length, static_cast<int>(strlen(c.expected)));
        EXPECT_EQ(std::string(buffer.end() - 4, buffer.end()), "####") << "overrun at " << c.size;
    }
    char buffer[4] = "##";
    EXPECT_EQ(UCToStr(text, buffer, 0, nullptr), nullptr);
    EXPECT_STREQ(buffer, "##");
}

TEST(ByteTables, RenderPrintableAsciiAndFoldLetters) {
    for (int c = 0; c < 256; ++c) {
        char plain = '.';
        if (c >= 0x20 && c <= 0x7E) {
            plain = c == ',' ? '\'' : static_cast<char>(c);
        }
        const char upper = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : plain;
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : plain;
        EXPECT_EQ(char_map[c], plain) << "byte " << c;
        EXPECT_EQ(char_mapUpper[c], upper) << "byte " << c;
        EXPECT_EQ(char_mapLower[c], lower) << "byte " << c;
    }
    EXPECT_EQ(char_map[256], 0);
    EXPECT_EQ(char_mapUpper[256], 0);
    EXPECT_EQ(char_mapLower[256], 0);
}

TEST(ByteTables, CaseFoldingRewritesInPlace) {
    const struct {
        const char *text;
        const char *upper;
        const char *lower;
    } cases[] = {{"a,b\t", "A'B.", "a'b."},
                 {"MiXeD 09", "MIXED 09", "mixed 09"},
                 {"caf\xC3\xA9\x7F", "CAF...", "caf..."},
                 {"", "", ""}};
    for (const auto &c : cases) {
        std::string upper = c.text, lower = c.text;
        EXPECT_EQ(upperCase(upper.data()), upper.data());
        EXPECT_EQ(lowerCase(lower.data()), lower.data());
        EXPECT_EQ(upper, c.upper) << showBytes(c.text);
        EXPECT_EQ(lower, c.lower) << showBytes(c.text);
    }
}
