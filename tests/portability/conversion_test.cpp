/*
 * The broker's code-page converters: UTF-8 in both directions (including malformed input
 * and unpaired surrogates), other code pages through ICU, failures, and output buffers
 * that are too short at every size.
 */
#include <unicode/ucnv.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/portability/show.h"
#include "trevane/cni.h"

namespace {

constexpr int UTF8 = CCI_CODEPAGE_UTF8;

std::u16string toUcs(const std::string &bytes, int codepage, int *rc = nullptr) {
    std::vector<CciChar> buffer(bytes.size() + 8, 0xAAAA);
    int code = -1;
    const CciSize length = cciMbsToUcs(&code, bytes.c_str(), buffer.data(),
                                       static_cast<CciSize>(buffer.size()), codepage);
    if (rc != nullptr) {
        *rc = code;
    }
    EXPECT_EQ(length, static_cast<CciSize>(std::u16string(buffer.data()).size()));
    return buffer.data();
}

std::string toMbs(const std::u16string &text, int codepage, int *rc = nullptr) {
    std::vector<char> buffer(text.size() * 4 + 8, '#');
    int code = -1;
    const CciSize length = cciUcsToMbs(&code, text.c_str(), buffer.data(),
                                       static_cast<CciSize>(buffer.size()), codepage);
    if (rc != nullptr) {
        *rc = code;
    }
    EXPECT_EQ(length, static_cast<CciSize>(strlen(buffer.data())));
    return buffer.data();
}

bool codepageAvailable(int codepage) {
    int rc = -1;
    char out[4];
    cciUcsToMbs(&rc, u"a", out, sizeof out, codepage);
    return rc == CCI_SUCCESS;
}

} // namespace

TEST(Conversion, Utf8RoundTripsBasicAndSupplementaryCharacters) {
    const struct {
        std::u16string text;
        std::string bytes;
    } cases[] = {
        {u"", ""},
        {u"plain ASCII ~", "plain ASCII ~"},
        {u"\x007F\x0080\x07FF\x0800", "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80"},
        {u"caf\x00E9 \x4E2D\x6587", "caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87"},
        {u"\xD7FF\xE000\xFFFD\xFFFF", "\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBD\xEF\xBF\xBF"},
        {u"\xD800\xDC00", "\xF0\x90\x80\x80"}, // U+10000
        {u"\xD83D\xDE00", "\xF0\x9F\x98\x80"}, // U+1F600
        {u"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"}, // U+10FFFF
    };
    for (const auto &c : cases) {
        int rc = -1;
        EXPECT_EQ(showBytes(toMbs(c.text, UTF8, &rc)), showBytes(c.bytes)) << show(c.text);
        EXPECT_EQ(rc, CCI_SUCCESS);
        EXPECT_EQ(show(toUcs(c.bytes, UTF8, &rc)), show(c.text)) << showBytes(c.bytes);
        EXPECT_EQ(rc, CCI_SUCCESS);
    }
}

TEST(Conversion, MalformedUtf8BecomesReplacementCharacters) {
    const struct {
        std::string bytes;
        std::u16string text;
    } cases[] = {
        {"a\xFF"
         "b",
         u"a\xFFFD"
         "b"},
        {"\xC0\x80", u"\xFFFD\xFFFD"},                     // overlong NUL
        {"\xE0\x80\x80", u"\xFFFD\xFFFD\xFFFD"},           // overlong
        {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},           // an encoded surrogate
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"}, // above U+10FFFF
        {"\xE4\xB8", u"\xFFFD"},                           // cut short at the end
        {"\xE4\xB8z", u"\xFFFDz"},                         // cut short before ASCII
        {"\x80\xBF", u"\xFFFD\xFFFD"},                     // stray continuation bytes
    };
    for (const auto &c : cases) {
        int rc = -1;
        EXPECT_EQ(show(toUcs(c.bytes, UTF8, &rc)), show(c.text)) << showBytes(c.bytes);
        EXPECT_EQ(rc, CCI_SUCCESS);
    }
}

TEST(Conversion, UnpairedSurrogatesBecomeReplacementCharacters) {
    EXPECT_EQ(showBytes(toMbs(u"a\xD800"
                              "b",
                              UTF8)),
              showBytes("a\xEF\xBF\xBD"
                        "b"));
    EXPECT_EQ(showBytes(toMbs(u"\xDC00\xD800", UTF8)), showBytes("\xEF\xBF\xBD\xEF\xBF\xBD"));
    EXPECT_EQ(showBytes(toMbs(u"z\xD83D", UTF8)), showBytes("z\xEF\xBF\xBD"));
}

TEST(Conversion, Latin1CodePageGoesThroughIcu) {
    int rc = -1;
    EXPECT_EQ(show(toUcs("caf\xE9 \xFF", 819, &rc)), show(u"caf\x00E9 \x00FF"));
    EXPECT_EQ(rc, CCI_SUCCESS);
    EXPECT_EQ(showBytes(toMbs(u"caf\x00E9 \x00FF", 819, &rc)), showBytes("caf\xE9 \xFF"));
    EXPECT_EQ(rc, CCI_SUCCESS);
    // A character the code page lacks is substituted, not a failure.
    const std::string substituted = toMbs(u"a\x4E2D"
                                          "b",
                                          819, &rc);
    EXPECT_EQ(rc, CCI_SUCCESS);
    ASSERT_EQ(substituted.size(), 3u) << showBytes(substituted);
    EXPECT_EQ(substituted[0], 'a');
    EXPECT_EQ(substituted[2], 'b');
}

TEST(Conversion, FailuresSetACodeAndAnswerZero) {
    CciChar ucs[8] = {u'x', u'x', 0};
    char mbs[8] = "xx";
    int rc = 0;
    EXPECT_EQ(cciMbsToUcs(&rc, "abc", ucs, 8, 99999), 0);
    EXPECT_EQ(rc, CCI_CONVERSION);
    EXPECT_EQ(ucs[0], 0) << "output is left terminated";
    rc = 0;
    EXPECT_EQ(cciUcsToMbs(&rc, u"abc", mbs, 8, -5), 0);
    EXPECT_EQ(rc, CCI_CONVERSION);
    EXPECT_STREQ(mbs, "");

    const struct {
        const char *mbsIn;
        CciChar *ucsOut;
    } nullCases[] = {{nullptr, ucs}, {"abc", nullptr}};
    for (const auto &c : nullCases) {
        rc = 0;
        EXPECT_EQ(cciMbsToUcs(&rc, c.mbsIn, c.ucsOut, 8, UTF8), 0);
        EXPECT_EQ(rc, CCI_INV_DATA_POINTER);
    }
    rc = 0;
    EXPECT_EQ(cciUcsToMbs(&rc, nullptr, mbs, 8, UTF8), 0);
    EXPECT_EQ(rc, CCI_INV_DATA_POINTER);
    rc = 0;
    EXPECT_EQ(cciUcsToMbs(&rc, u"a", nullptr, 8, 819), 0);
    EXPECT_EQ(rc, CCI_INV_DATA_POINTER);
    // A null result-code pointer is tolerated.
    EXPECT_EQ(cciUcsToMbs(nullptr, u"ok", mbs, 8, UTF8), 2);
    EXPECT_EQ(cciMbsToUcs(nullptr, "ok", ucs, 8, 12345), 0);
}

TEST(Conversion, ShortOutputIsNeverOverrunOrSplit) {
    // Every size from 0 up: the output is a whole-character prefix of the full conversion,
    // terminated, and nothing past the size given is touched.
    struct Case {
        int codepage;
        std::u16string text; // characters the code page has
    };
    std::vector<Case> cases = {{UTF8, u"a\x00E9\x4E2D\xD83D\xDE00z\x00FF\xDBFF\xDFFF"},
                               {819, u"a\x00E9z\x00FF\x00C0."}};
    for (int multiByte : {943, 1386}) { // Shift-JIS and GBK, when ICU has them
        if (codepageAvailable(multiByte)) {
            cases.push_back({multiByte, u"a\x4E2D\x6587z\x4E2D."});
        }
    }
    for (const auto &[codepage, text] : cases) {
        const std::string fullBytes = toMbs(text, codepage);
        for (CciSize size = 0; size <= static_cast<CciSize>(fullBytes.size()) + 2; ++size) {
            std::vector<char> buffer(static_cast<size_t>(size) + 6, '#');
            int rc = -1;
            const CciSize written = cciUcsToMbs(&rc, text.c_str(), buffer.data(), size, codepage);
            EXPECT_EQ(rc, CCI_SUCCESS);
            EXPECT_EQ(std::string(buffer.data() + size, 6), "######")
                << "cp " << codepage << " overrun at size " << size;
            if (size == 0) {
                EXPECT_EQ(written, 0);
                continue;
            }
            const std::string got(buffer.data(), static_cast<size_t>(written));
            EXPECT_EQ(buffer[static_cast<size_t>(written)], '\0');
            EXPECT_LT(written, size);
            EXPECT_EQ(fullBytes.compare(0, got.size(), got), 0)
                << "cp " << codepage << " size " << size << ": " << showBytes(got);
            // Whatever was cut off is whole characters: converting the prefix back gives
            // a prefix of the text, with no replacement character from a torn sequence.
            const std::u16string back = toUcs(got, codepage);
            EXPECT_EQ(text.compare(0, back.size(), back), 0)
                << "cp " << codepage << " size " << size << ": " << show(back);
        }

        const std::u16string fullUnits = toUcs(fullBytes, codepage);
        for (CciSize size = 1; size <= static_cast<CciSize>(fullUnits.size()) + 2; ++size) {
            std::vector<CciChar> buffer(static_cast<size_t>(size) + 4, 0xAAAA);
            int rc = -1;
            const CciSize written =
                cciMbsToUcs(&rc, fullBytes.c_str(), buffer.data(), size, codepage);
            EXPECT_EQ(rc, CCI_SUCCESS);
            for (size_t i = static_cast<size_t>(size); i < buffer.size(); ++i) {
                EXPECT_EQ(buffer[i], 0xAAAA) << "cp " << codepage << " overrun at size " << size;
            }
            ASSERT_LT(written, size);
            EXPECT_EQ(buffer[static_cast<size_t>(written)], 0);
            const std::u16string got(buffer.data(), static_cast<size_t>(written));
            EXPECT_EQ(fullUnits.compare(0, got.size(), got), 0) << show(got);
            if (written > 0) {
                EXPECT_FALSE(got.back() >= 0xD800 && got.back() <= 0xDBFF)
                    << "cp " << codepage << " size " << size << " ends in half a pair";
            }
        }
    }
}
