// The record formatter for texts without "%S" against the C library's snprintf: the same
// text, the same length, and the same cut in a short buffer, for every directive it
// formats itself and some it hands on.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <sys/types.h>
#include <wchar.h>

#include <string>

#include "trace/trace.h"

namespace {

int narrow(char *output, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = traceFormatNarrow(output, size, format, arguments);
    va_end(arguments);
    return length;
}

// The C library's formatter, called through a va_list so that the compiler does not
// check (and warn about) the cuts these tests make on purpose.
int library(char *output, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = vsnprintf(output, size, format, arguments);
    va_end(arguments);
    return length;
}

template <typename... Args> void expectSameAsSnprintf(const char *format, Args... arguments) {
    char expected[512];
    char got[512];
    const int expectedLength = library(expected, sizeof expected, format, arguments...);
    const int gotLength = narrow(got, sizeof got, format, arguments...);
    EXPECT_EQ(gotLength, expectedLength) << "format \"" << format << "\"";
    EXPECT_STREQ(got, expected) << "format \"" << format << "\"";
    char expectedCut[7];
    char gotCut[7];
    library(expectedCut, sizeof expectedCut, format, arguments...);
    narrow(gotCut, sizeof gotCut, format, arguments...);
    EXPECT_STREQ(gotCut, expectedCut) << "format \"" << format << "\" cut at 6";
}

TEST(TraceFormatNarrow, MatchesSnprintfForIntegers) {
    expectSameAsSnprintf("%d|%i|%d", 0, -42, INT_MIN);
    expectSameAsSnprintf("%5d|%-5d|%05d|%-05d", 42, 42, -42, 7);
    expectSameAsSnprintf("%.3d|%.0d|%.0d|%8.3d|%08.3d", 7, 0, 5, -7, 7);
    expectSameAsSnprintf("%x %X %.8x %08x %u", 0xabcu, 0xabcu, 0x1234u, 0xffu, 4294967295u);
    expectSameAsSnprintf("%ld %lu %lx", LONG_MIN, ULONG_MAX, 0xdeadbeefcafeUL);
    expectSameAsSnprintf("%lld %llu %llx", LLONG_MIN, ULLONG_MAX, 0x1ULL);
    expectSameAsSnprintf("%hd %hhd %hu %hhu", 70000, 300, 70000, 300);
    expectSameAsSnprintf("%zu %zd %jd %td", static_cast<size_t>(12), static_cast<ssize_t>(-3),
                         static_cast<intmax_t>(-9), static_cast<ptrdiff_t>(4));
    expectSameAsSnprintf("%*d|%-*d|%.*d|%*d", -6, 1, 4, 2, -1, 3, 3, 12345);
    expectSameAsSnprintf("%+d % d %#x %#o %o %+.3d", 5, 5, 255u, 8u, 8u, -1);
}

TEST(TraceFormatNarrow, MatchesSnprintfForTextAndCharacters) {
    expectSameAsSnprintf("%s|%10s|%-10s|%.2s|%.0s|", "abc", "abc", "abc", "abc", "abc");
    expectSameAsSnprintf("%*s|%-*.*s|", 6, "ab", 8, 2, "xyz");
    expectSameAsSnprintf("%c|%3c|%-3c|%05c", 'a', 'b', 'c', 'd');
    expectSameAsSnprintf("[%s] [%.3s] [%10s]", static_cast<const char *>(nullptr),
                         static_cast<const char *>(nullptr), static_cast<const char *>(nullptr));
    expectSameAsSnprintf("%05s|%ls|%lc", "ab", L"wide", static_cast<wint_t>('w'));
    expectSameAsSnprintf("100%% sure, %d%%", 1);
    expectSameAsSnprintf("plain text without directives%s", "");
}

TEST(TraceFormatNarrow, MatchesSnprintfForWhatItHandsOn) {
    expectSameAsSnprintf("%f %.2e %g %10.3f %G", 1.5, 12345.678, 0.0001, -3.14159, 1e20);
    expectSameAsSnprintf("%Lf %a", 1.5L, 1.0);
    expectSameAsSnprintf("%p %p", reinterpret_cast<void *>(0x1234), static_cast<void *>(nullptr));
}

TEST(TraceFormatNarrow, NeverWritesThroughPercentN) {
    int target = 12345;
    char output[32];
    EXPECT_EQ(narrow(output, sizeof output, "ab%ncd", &target), 4);
    EXPECT_STREQ(output, "abcd");
    EXPECT_EQ(target, 12345);
}

TEST(TraceFormatNarrow, AnswersTheWholeLengthWhateverTheBufferSize) {
    const std::string text(5000, 't');
    char output[16];
    EXPECT_EQ(narrow(output, sizeof output, "[%s]", text.c_str()), 5002);
    EXPECT_EQ(std::string(output), "[" + std::string(14, 't'));
    EXPECT_EQ(narrow(nullptr, 0, "%d", 123456), 6);
}

} // namespace
