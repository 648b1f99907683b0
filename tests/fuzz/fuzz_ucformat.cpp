// Fuzz target: the wide formatter. The input chooses a format of literal text and one
// directive (flags, width and precision written out or given by '*', length modifiers,
// text the C formatter would not take, the letter), the arguments that directive takes,
// with their right types, and the size of the output buffer. Each call must stay in its
// buffer, end the text, and write a prefix of what the C formatter writes for the same
// directive given in its canonical form (a plain %S cut a few bytes short, never inside
// a character).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "portability/unicode.h"
#include "trevane/cni.h"

namespace {

constexpr char FLAGS[] = "-+ #0'";
constexpr char LENGTHS[] = "hlLqjzt";
constexpr char LETTERS[] = "Ssdxc";
// Characters that end a conversion's specification without being part of one.
constexpr char STOPPERS[] = "!?,;:/[]()=<>abefgkmnopruvwyABCDEFGHIJKMNOPQRUVWXYZ_~";

struct Directive {
    std::string text;       // as it stands in the format
    std::string canonical;  // the C formatter's form, without the letter's length
    std::vector<int> stars; // the ints the '*'s take, in order
    char letter = 'd';
    enum { INT, SHORT, CHAR, LONG } size = INT;
    bool junk = false; // the letter is plain text: the arguments are taken, nothing formatted
};

std::string digits(FuzzedDataProvider &in) {
    // At most four digits: a width of millions only makes the C formatter slow.
    return std::to_string(in.ConsumeIntegralInRange<int>(0, 9999));
}

Directive makeDirective(FuzzedDataProvider &in) {
    Directive d;
    d.text = "%";
    d.canonical = "%";
    const int flagCount = in.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < flagCount; ++i) {
        const char flag = FLAGS[in.ConsumeIntegralInRange<size_t>(0, sizeof FLAGS - 2)];
        d.text += flag;
        d.canonical += flag;
    }
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 1: {
        const std::string width = digits(in);
        if (width[0] != '0') { // a leading 0 is a flag
            d.text += width;
            d.canonical += width;
        }
        break;
    }
    case 2:
        d.text += '*';
        d.canonical += '*';
        d.stars.push_back(in.ConsumeIntegralInRange(-9999, 9999));
        break;
    default:
        break;
    }
    switch (in.ConsumeIntegralInRange(0, 2)) {
    case 1: {
        const std::string precision = digits(in);
        d.text += "." + precision;
        d.canonical += "." + precision;
        break;
    }
    case 2:
        d.text += ".*";
        d.canonical += ".*";
        d.stars.push_back(in.ConsumeIntegralInRange(-9999, 9999));
        break;
    default:
        break;
    }
    const int lengthCount = in.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < lengthCount; ++i) {
        d.text += LENGTHS[in.ConsumeIntegralInRange<size_t>(0, sizeof LENGTHS - 2)];
    }
    d.letter = LETTERS[in.ConsumeIntegralInRange<size_t>(0, sizeof LETTERS - 2)];
    const std::string length = d.text.substr(d.text.size() - static_cast<size_t>(lengthCount));
    if (in.ConsumeBool()) {
        // Text after the specification: copied as written, a "%%" as one '%', '*' still
        // taking an int; the letter is then plain text but takes its argument.
        d.junk = true;
        std::string junk(1, STOPPERS[in.ConsumeIntegralInRange<size_t>(0, sizeof STOPPERS - 2)]);
        const int more = in.ConsumeIntegralInRange(0, 4);
        for (int i = 0; i < more; ++i) {
            switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0:
                junk += "%%";
                break;
            case 1:
                if (d.stars.size() < 3) {
                    junk += '*';
                    d.stars.push_back(in.ConsumeIntegral<int>());
                }
                break;
            case 2:
                junk += FLAGS[in.ConsumeIntegralInRange<size_t>(0, sizeof FLAGS - 2)];
                break;
            case 3:
                junk += LENGTHS[in.ConsumeIntegralInRange<size_t>(0, sizeof LENGTHS - 2)];
                break;
            default:
                junk += STOPPERS[in.ConsumeIntegralInRange<size_t>(0, sizeof STOPPERS - 2)];
                break;
            }
        }
        d.text += junk;
        std::string shown = d.text;
        for (size_t at = shown.find("%%", 1); at != std::string::npos;
             at = shown.find("%%", at + 1)) {
            shown.erase(at, 1);
        }
        d.canonical = shown + d.letter;
    } else if (d.letter == 'd' || d.letter == 'x') {
        if (length[0] == 'h') {
            d.size = length.size() > 1 && length[1] == 'h' ? Directive::CHAR : Directive::SHORT;
        } else if (!length.empty()) {
            d.size = Directive::LONG;
        }
    }
    d.text += d.letter;
    return d;
}

std::string utf8(const CciChar *text) {
    std::vector<char> buffer(static_cast<size_t>(UClen(text)) * 3 + 1);
    int rc = 0;
    cciUcsToMbs(&rc, text, buffer.data(), static_cast<CciSize>(buffer.size()), CCI_CODEPAGE_UTF8);
    return buffer.data();
}

// What the C formatter writes for the directive; false when it refuses.
bool reference(const Directive &d, const std::vector<int> &stars, long long number,
               const char *text, const CciChar *wide, std::string &out) {
    std::string format = d.canonical;
    if (!d.junk) {
        if (d.letter == 'd' || d.letter == 'x') {
            format += d.size == Directive::LONG    ? "ll"
                      : d.size == Directive::SHORT ? "h"
                      : d.size == Directive::CHAR  ? "hh"
                                                   : "";
        }
        format += d.letter == 'S' ? 's' : d.letter;
    }
    std::string converted = wide ? utf8(wide) : "(null)";
    const char *textArgument = d.letter == 'S' ? converted.c_str() : (text ? text : "(null)");
    char buffer[65536];
    int length = -1;
    auto call = [&](auto last) {
        const char *f = format.c_str();
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wformat-nonliteral"
        switch (d.junk ? 0 : stars.size()) {
        case 0:
            length = d.junk ? snprintf(buffer, sizeof buffer, "%s", f)
                            : snprintf(buffer, sizeof buffer, f, last);
            break;
        case 1:
            length = snprintf(buffer, sizeof buffer, f, stars[0], last);
            break;
        default:
            length = snprintf(buffer, sizeof buffer, f, stars[0], stars[1], last);
            break;
        }
#pragma clang diagnostic pop
    };
    if (d.letter == 's' || d.letter == 'S') {
        call(textArgument);
    } else if (d.size == Directive::LONG) {
        call(number);
    } else {
        call(static_cast<int>(number));
    }
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer) {
        return false;
    }
    out.assign(buffer, static_cast<size_t>(length));
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const size_t bufferSize = in.ConsumeIntegralInRange<size_t>(0, 300);
    std::string before = in.ConsumeRandomLengthString(40);
    std::string after = in.ConsumeRandomLengthString(40);
    for (std::string *literal : {&before, &after}) {
        literal->erase(std::remove_if(literal->begin(), literal->end(),
                                      [](char c) { return c == '%' || c == 0; }),
                       literal->end());
    }
    const Directive d = makeDirective(in);
    const bool trailing = in.ConsumeBool(); // a '%' without a letter ends the text
    const long long number = in.ConsumeIntegral<long long>();
    const bool nullText = in.ConsumeIntegralInRange(0, 15) == 0;
    const std::string text = in.ConsumeRandomLengthString(200);
    std::vector<CciChar> wide;
    while (in.remaining_bytes() >= 2 && wide.size() < 200) {
        const CciChar unit = in.ConsumeIntegral<uint16_t>();
        if (unit == 0) {
            break;
        }
        wide.push_back(unit);
    }
    wide.push_back(0);
    const char *textArgument = nullText ? nullptr : text.c_str();
    const CciChar *wideArgument = nullText ? nullptr : wide.data();

    const std::string format = before + d.text + after + (trailing ? "%-5l" : "");
    // Exactly bufferSize bytes, so that the sanitizer sees any write past them.
    char *output = static_cast<char *>(malloc(bufferSize == 0 ? 1 : bufferSize));
    auto call = [&](auto last) {
        const char *f = format.c_str();
        const std::vector<int> &s = d.stars;
        switch (s.size()) {
        case 0:
            UCsnprintf(output, bufferSize, f, last);
            break;
        case 1:
            UCsnprintf(output, bufferSize, f, s[0], last);
            break;
        case 2:
            UCsnprintf(output, bufferSize, f, s[0], s[1], last);
            break;
        default:
            UCsnprintf(output, bufferSize, f, s[0], s[1], s[2], last);
            break;
        }
    };
    if (d.letter == 's') {
        call(textArgument);
    } else if (d.letter == 'S') {
        call(wideArgument);
    } else if (d.size == Directive::LONG && !d.junk) {
        call(number);
    } else {
        call(static_cast<int>(number));
    }
    if (bufferSize == 0) {
        free(output);
        return 0;
    }
    const size_t written = strnlen(output, bufferSize);
    if (written == bufferSize) {
        fprintf(stderr, "output not terminated in %zu bytes for '%s'\n", bufferSize,
                format.c_str());
        abort();
    }
    std::string middle;
    if (reference(d, d.stars, number, textArgument, wideArgument, middle)) {
        std::string expected = before + middle + after;
        expected.resize(strnlen(expected.c_str(), expected.size())); // a %c of 0 ends the text
        const std::string actual(output, written);
        const size_t limit = std::min(expected.size(), bufferSize - 1);
        const bool wideText = d.letter == 'S' && !d.junk; // may stop short of a character
        if (expected.compare(0, actual.size(), actual) != 0 ||
            (actual.size() < limit && !(wideText && actual.size() + 3 >= limit))) {
            fprintf(stderr, "format '%s' (buffer %zu) wrote\n  '%s'\nexpected\n  '%s'\n",
                    format.c_str(), bufferSize, actual.c_str(), expected.c_str());
            abort();
        }
    }
    free(output);
    return 0;
}
