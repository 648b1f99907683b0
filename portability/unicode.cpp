/*
 * Wide-character strings: the functions every module of the plug-in uses on the broker's
 * zero-terminated CciChar texts, their conversion to and from UTF-8 through the broker's
 * converters, the three byte tables used for case folding and hex-dump rendering, and the
 * formatter that accepts wide strings ("%S"). Units are compared as unsigned 16-bit
 * numbers; nothing here knows about surrogates or normalisation. Nothing here writes
 * trace records, because the trace itself formats with these functions.
 */
#include "portability/unicode.h"

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int UTF8 = CCI_CODEPAGE_UTF8;

// Size of the local buffer a "%S" argument is converted in; longer texts use the heap.
constexpr size_t WIDE_ARGUMENT_BUFFER_SIZE = 10000;

// The most UTF-8 bytes one unit turns into: three for any unit of the basic plane or an
// unpaired surrogate; a pair turns into four bytes for its two units.
constexpr size_t UTF8_BYTES_PER_UNIT = 3;

char *mapBytes(char *text, const char *table) {
    if (text == nullptr) {
        return nullptr;
    }
    for (unsigned char *p = reinterpret_cast<unsigned char *>(text); *p != 0; ++p) {
        *p = static_cast<unsigned char>(table[*p]);
    }
    return text;
}

} // namespace

extern const CciChar numericMask[] = u"0123456789";

// Printable rendering of every byte, 32 to a line; the literal's own terminator is entry
// 256.
extern const char char_map[257] = "................................"       // 0x00-0x1F
                                  " !\"#$%&'()*+'-./0123456789:;<=>?"      // 0x20-0x3F
                                  "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_"      // 0x40-0x5F
                                  "`abcdefghijklmnopqrstuvwxyz{|}~."       // 0x60-0x7F
                                  "................................"       // 0x80-0x9F
                                  "................................"       // 0xA0-0xBF
                                  "................................"       // 0xC0-0xDF
                                  "................................";      // 0xE0-0xFF
extern const char char_mapUpper[257] = "................................"  // 0x00-0x1F
                                       " !\"#$%&'()*+'-./0123456789:;<=>?" // 0x20-0x3F
                                       "@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_" // 0x40-0x5F
                                       "`ABCDEFGHIJKLMNOPQRSTUVWXYZ{|}~."  // 0x60-0x7F
                                       "................................"  // 0x80-0x9F
                                       "................................"  // 0xA0-0xBF
                                       "................................"  // 0xC0-0xDF
                                       "................................"; // 0xE0-0xFF
extern const char char_mapLower[257] = "................................"  // 0x00-0x1F
                                       " !\"#$%&'()*+'-./0123456789:;<=>?" // 0x20-0x3F
                                       "@abcdefghijklmnopqrstuvwxyz[\\]^_" // 0x40-0x5F
                                       "`abcdefghijklmnopqrstuvwxyz{|}~."  // 0x60-0x7F
                                       "................................"  // 0x80-0x9F
                                       "................................"  // 0xA0-0xBF
                                       "................................"  // 0xC0-0xDF
                                       "................................"; // 0xE0-0xFF

// ---- length, copy, search, compare -----------------------------------------------------

int UClen(const CciChar *string) {
    if (string == nullptr) {
        return 0;
    }
    // Four units a round; no unit after the terminator is read.
    const CciChar *p = string;
    for (;; p += 4) {
        if (p[0] == 0) {
            return static_cast<int>(p - string);
        }
        if (p[1] == 0) {
            return static_cast<int>(p + 1 - string);
        }
        if (p[2] == 0) {
            return static_cast<int>(p + 2 - string);
        }
        if (p[3] == 0) {
            return static_cast<int>(p + 3 - string);
        }
    }
}

CciChar *UCcpy(CciChar *destination, const CciChar *source) {
    if (destination == nullptr || source == nullptr) {
        return nullptr;
    }
    while ((*destination = *source) != 0) {
        ++destination;
        ++source;
    }
    return destination;
}

CciChar *UCncpy(CciChar *destination, const CciChar *source, int n) {
    if (destination == nullptr || source == nullptr) {
        return nullptr;
    }
    for (int copied = 0; copied < n && *source != 0; ++copied) {
        *destination++ = *source++;
    }
    *destination = 0;
    return destination;
}

CciChar *UCcat(CciChar *destination, const CciChar *source) {
    if (destination == nullptr) {
        return nullptr;
    }
    if (source == nullptr) {
        return destination;
    }
    return UCcpy(destination + UClen(destination), source);
}

CciChar *UCchr(const CciChar *string, CciChar unit) {
    if (string == nullptr || unit == 0) {
        return nullptr;
    }
    for (const CciChar *p = string; *p != 0; ++p) {
        if (*p == unit) {
            return const_cast<CciChar *>(p);
        }
    }
    return nullptr;
}

CciChar *UCstr(const CciChar *string, const CciChar *needle) {
    if (string == nullptr || needle == nullptr || needle[0] == 0) {
        return nullptr;
    }
    // Look for the needle's first unit, then compare the rest in place until the needle
    // ends. The look reads four units a round, each only once the one before it is known
    // not to be the terminator.
    const CciChar first = needle[0];
    for (const CciChar *p = string;; ++p) {
        for (;; p += 4) {
            if (p[0] == first || p[0] == 0) {
                break;
            }
            if (p[1] == first || p[1] == 0) {
                p += 1;
                break;
            }
            if (p[2] == first || p[2] == 0) {
                p += 2;
                break;
            }
            if (p[3] == first || p[3] == 0) {
                p += 3;
                break;
            }
        }
        if (*p == 0) {
            return nullptr;
        }
        int matched = 1;
        while (needle[matched] != 0 && p[matched] == needle[matched]) {
            ++matched;
        }
        if (needle[matched] == 0) {
            return const_cast<CciChar *>(p);
        }
        if (p[matched] == 0) {
            return nullptr; // the string ended inside a partial match
        }
    }
}

int UCcmp(const CciChar *a, const CciChar *b) {
    if (a == nullptr || b == nullptr) {
        return -1;
    }
    for (;; ++a, ++b) {
        const CciChar unit = *a;
        if (unit != *b) {
            return unit < *b ? -1 : 1;
        }
        if (unit == 0) {
            return 0;
        }
    }
}

int UCncmp(const CciChar *a, const CciChar *b, int n) {
    if (a == nullptr || b == nullptr || n <= 0) {
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            return a[i] < b[i] ? -1 : 1;
        }
        if (a[i] == 0) {
            return 0;
        }
    }
    return 0;
}

CciChar *UCdup(const CciChar *string) {
    if (string == nullptr) {
        return nullptr;
    }
    const size_t bytes = (static_cast<size_t>(UClen(string)) + 1) * sizeof(CciChar);
    auto *copy = static_cast<CciChar *>(malloc(bytes));
    if (copy != nullptr) {
        memcpy(copy, string, bytes);
    }
    return copy;
}

// ---- conversion ------------------------------------------------------------------------

CciChar *CciString(const char *text) {
    if (text == nullptr) {
        return nullptr;
    }
    // UTF-8 never yields more units than it has bytes.
    const size_t units = strlen(text) + 1;
    auto *string = static_cast<CciChar *>(malloc(units * sizeof(CciChar)));
    if (string == nullptr) {
        return nullptr;
    }
    int rc = 0;
    const CciSize size = units > INT32_MAX ? INT32_MAX : static_cast<CciSize>(units);
    cciMbsToUcs(&rc, text, string, size, UTF8);
    return string;
}

char *UCToStr(const CciChar *string, char *buffer, int bufferSize, int *lengthP) {
    if (string == nullptr || buffer == nullptr || bufferSize <= 0) {
        return nullptr;
    }
    int rc = 0;
    const CciSize length = cciUcsToMbs(&rc, string, buffer, bufferSize, UTF8);
    if (rc != 0) {
        return nullptr;
    }
    if (lengthP != nullptr) {
        *lengthP = length;
    }
    return buffer;
}

CciChar *strToUC(const char *text, int /*ignored*/, CciChar *output, int *lengthP) {
    if (output == nullptr) {
        return nullptr;
    }
    output[0] = 0;
    if (text != nullptr) {
        // The output holds strlen(text) + 1 units, as the caller sized it for the text.
        const size_t units = strlen(text) + 1;
        int rc = 0;
        cciMbsToUcs(&rc, text, output, units > INT32_MAX ? INT32_MAX : static_cast<CciSize>(units),
                    UTF8);
    }
    if (lengthP != nullptr) {
        *lengthP = UClen(output);
    }
    return output;
}

void intToUC(int value, CciChar *output) {
    if (output == nullptr) {
        return;
    }
    // The digits come out last first; the magnitude is taken unsigned so that INT_MIN
    // has one too.
    CciChar reversed[10];
    int count = 0;
    unsigned magnitude =
        value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        reversed[count++] = static_cast<CciChar>(u'0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *output++ = u'-';
    }
    while (count > 0) {
        *output++ = reversed[--count];
    }
    *output = 0;
}

int UCToInt(const CciChar *string) {
    if (string == nullptr) {
        return 0;
    }
    // The leading number as the C library reads it (white space, a sign, digits), taken
    // straight from the units and clamped instead of overflowing.
    const CciChar *p = string;
    while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == u'+' || *p == u'-') {
        negative = *p == u'-';
        ++p;
    }
    int64_t value = 0;
    const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        value = value * 10 + (*p - u'0');
        if (value >= limit) {
            value = limit; // further digits only push it further out of range
        }
    }
    return static_cast<int>(negative ? -value : value);
}

bool_t UCisNumeric(const CciChar *string) {
    if (string == nullptr) {
        return TRUE; // as the empty string
    }
    for (const CciChar *p = string; *p != 0; ++p) {
        if (UCchr(numericMask, *p) == nullptr) {
            return FALSE;
        }
    }
    return TRUE;
}

char *upperCase(char *text) {
    return mapBytes(text, char_mapUpper);
}

char *lowerCase(char *text) {
    return mapBytes(text, char_mapLower);
}

// ---- the wide formatter ----------------------------------------------------------------

namespace {

// The formatter's output: a buffer of `size` bytes (size > 0) filled from the start. Once
// something has been cut nothing more is written, so the output is always a prefix of
// the full text.
struct Output {
    char *buffer;
    size_t size;
    size_t position;
    bool full;

    size_t room() const { return full ? 0 : size - 1 - position; }

    void append(const char *text, size_t length) {
        if (full) {
            return;
        }
        const size_t available = room();
        if (length > available) {
            length = available;
            full = true;
        }
        memcpy(buffer + position, text, length);
        position += length;
    }

    void append(char c) { append(&c, 1); }

    // Records what snprintf wrote into the room left, given the length it wanted.
    void advance(int wanted) {
        if (wanted < 0) {
            return;
        }
        const size_t available = room();
        if (static_cast<size_t>(wanted) > available) {
            position += available;
            full = true;
        } else {
            position += static_cast<size_t>(wanted);
        }
    }
};

// The UTF-8 length of a wide text as the broker's converter writes it.
size_t utf8Length(const CciChar *string) {
    size_t bytes = 0;
    for (const CciChar *p = string; *p != 0; ++p) {
        if (*p < 0x80) {
            bytes += 1;
        } else if (*p < 0x800) {
            bytes += 2;
        } else if (*p >= 0xD800 && *p <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            bytes += 4;
            ++p;
        } else {
            bytes += 3;
        }
    }
    return bytes;
}

bool isFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}
bool isLengthModifier(char c) {
    return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A conversion as the C formatter will be asked to do it. Widths and precisions, written
// out or given by '*', are kept as numbers, so the specification handed on is always
// well formed and short.
struct Conversion {
    char flags[8];
    int flagCount;
    int width;      // -1 none
    int precision;  // -1 none
    char length[3]; // "", "h", "hh", "l", "ll", "j", "z", "t"
    char letter;

    bool plain() const { return flagCount == 0 && width < 0 && precision < 0; }

    // Writes "%<flags><width>.<precision><length><letter>" into `cFormat`; at most
    // 1 + 7 + 10 + 11 + 2 + 1 characters and the terminator.
    void specification(char (&cFormat)[64], char asLetter, bool withLength) const {
        char *at = cFormat;
        char *const end = cFormat + sizeof cFormat - 1;
        *at++ = '%';
        for (int i = 0; i < flagCount; ++i) {
            *at++ = flags[i];
        }
        if (width >= 0) {
            at = std::to_chars(at, end, width).ptr;
        }
        if (precision >= 0) {
            *at++ = '.';
            at = std::to_chars(at, end, precision).ptr;
        }
        if (withLength) {
            for (const char *l = length; *l != 0; ++l) {
                *at++ = *l;
            }
        }
        *at++ = asLetter;
        *at = 0;
    }
};

int readNumber(const char *&p) {
    int64_t value = 0;
    for (; isDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX) {
            value = INT_MAX;
        }
    }
    return static_cast<int>(value);
}

// Parses flags, width, precision and length modifiers from `p`; '*' takes an int from the
// arguments. Answers the first character after them.
const char *parseConversion(const char *p, Conversion &conversion, va_list &arguments) {
    conversion = Conversion{{}, 0, -1, -1, {}, 0};
    for (; isFlag(*p); ++p) {
        if (memchr(conversion.flags, *p, static_cast<size_t>(conversion.flagCount)) == nullptr &&
            conversion.flagCount < 7) {
            conversion.flags[conversion.flagCount++] = *p;
        }
    }
    if (*p == '*') {
        const int width = va_arg(arguments, int);
        ++p;
        if (width < 0) { // a negative width given by argument means left-justified
            if (memchr(conversion.flags, '-', static_cast<size_t>(conversion.flagCount)) ==
                    nullptr &&
                conversion.flagCount < 7) {
                conversion.flags[conversion.flagCount++] = '-';
            }
            conversion.width = width == INT_MIN ? INT_MAX : -width;
        } else {
            conversion.width = width;
        }
    } else if (isDigit(*p)) {
        conversion.width = readNumber(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            const int precision = va_arg(arguments, int);
            ++p;
            conversion.precision = precision < 0 ? -1 : precision; // negative: none given
        } else {
            conversion.precision = readNumber(p);
        }
    }
    size_t lengthCount = 0;
    for (; isLengthModifier(*p); ++p) {
        if (lengthCount < 2) {
            conversion.length[lengthCount++] = *p;
        }
    }
    conversion.length[lengthCount] = 0;
    return p;
}

void formatInteger(Output &out, const Conversion &conversion, va_list &arguments) {
    const bool hex = conversion.letter == 'x';
    const char *length = conversion.length;
    const bool isLong = length[0] == 'l' || length[0] == 'j' || length[0] == 'z' ||
                        length[0] == 't' || length[0] == 'q' || length[0] == 'L';
    char cFormat[64];
    // The C formatter is told the argument's real width, whatever modifier was written.
    Conversion normalised = conversion;
    if (isLong) {
        normalised.length[0] = normalised.length[1] = 'l';
        normalised.length[2] = 0;
    } else if (length[0] != 'h') {
        normalised.length[0] = 0;
    }
    normalised.specification(cFormat, conversion.letter, true);
    if (isLong) {
        const long long value = va_arg(arguments, long long);
        if (conversion.plain()) {
            char digits[32];
            const auto result = hex ? std::to_chars(digits, digits + sizeof digits,
                                                    static_cast<unsigned long long>(value), 16)
                                    : std::to_chars(digits, digits + sizeof digits, value);
            out.append(digits, static_cast<size_t>(result.ptr - digits));
            return;
        }
        out.advance(snprintf(out.buffer + out.position, out.room() + 1, cFormat, value));
        return;
    }
    const int value = va_arg(arguments, int);
    // Plain numbers and the zero-padded "%.8x" of handles in trace records are written
    // here directly; everything else goes to the C formatter.
    const bool onlyPrecision = conversion.flagCount == 0 && conversion.width < 0 &&
                               conversion.precision <= 32 && (hex || value >= 0);
    if ((conversion.plain() || onlyPrecision) && length[0] == 0) {
        const int precision = conversion.precision < 0 ? 1 : conversion.precision;
        if (value == 0 && precision == 0) {
            return; // the C formatter writes no digit for a zero of precision 0
        }
        char digits[48];
        char *const first = digits + 32; // room before it for the zeros of the precision
        const auto result =
            hex ? std::to_chars(first, digits + sizeof digits, static_cast<unsigned>(value), 16)
                : std::to_chars(first, digits + sizeof digits, value);
        char *start = first;
        while (result.ptr - start < precision) {
            *--start = '0';
        }
        out.append(start, static_cast<size_t>(result.ptr - start));
        return;
    }
    out.advance(snprintf(out.buffer + out.position, out.room() + 1, cFormat, value));
}

void formatText(Output &out, const Conversion &conversion, const char *text) {
    if (text == nullptr) {
        text = "(null)";
    }
    if (conversion.plain()) {
        out.append(text, strlen(text));
        return;
    }
    char cFormat[64];
    conversion.specification(cFormat, 's', false);
    out.advance(snprintf(out.buffer + out.position, out.room() + 1, cFormat, text));
}

void formatWideText(Output &out, const Conversion &conversion, const CciChar *text) {
    if (text == nullptr) {
        formatText(out, conversion, nullptr);
        return;
    }
    if (out.full) {
        return;
    }
    if (conversion.plain()) {
        // Converted straight into the output. The converter never writes half a
        // character, so when it stops short the text did not fit and the output ends.
        const size_t room = out.room();
        const CciSize size = room + 1 > INT32_MAX ? INT32_MAX : static_cast<CciSize>(room + 1);
        int rc = 0;
        const CciSize written = cciUcsToMbs(&rc, text, out.buffer + out.position, size, UTF8);
        if (rc != 0) {
            return;
        }
        out.position += static_cast<size_t>(written);
        if (static_cast<size_t>(written) + 4 > room &&
            utf8Length(text) > static_cast<size_t>(written)) {
            out.full = true;
        }
        return;
    }
    // Width and precision count the bytes of the converted text, so convert first: in a
    // local buffer when the text fits, otherwise on the heap.
    const size_t bytes = static_cast<size_t>(UClen(text)) * UTF8_BYTES_PER_UNIT + 1;
    char local[WIDE_ARGUMENT_BUFFER_SIZE];
    char *converted = local;
    if (bytes > sizeof local) {
        converted = static_cast<char *>(malloc(bytes));
        if (converted == nullptr) {
            return;
        }
    }
    const int size = bytes > INT_MAX ? INT_MAX : static_cast<int>(bytes);
    if (UCToStr(text, converted, size, nullptr) != nullptr) {
        formatText(out, conversion, converted);
    }
    if (converted != local) {
        free(converted);
    }
}

void formatCharacter(Output &out, const Conversion &conversion, va_list &arguments) {
    const int value = va_arg(arguments, int);
    if (conversion.plain()) {
        out.append(static_cast<char>(value));
        return;
    }
    char cFormat[64];
    conversion.specification(cFormat, 'c', false);
    out.advance(snprintf(out.buffer + out.position, out.room() + 1, cFormat, value));
}

// Formats one directive: `directive` runs from its '%' to its conversion letter at
// `letter` inclusive. What stands between is read as the C formatter reads it: flags,
// width, precision and length modifiers belong to the conversion, "%%" is a percent
// sign, and anything else is copied as it stands; '*' wherever it appears takes an int.
void formatDirective(Output &out, const char *directive, const char *letter, va_list &arguments) {
    const char *p = directive;
    while (p < letter) {
        if (*p != '%') {
            if (*p == '*') {
                (void)va_arg(arguments, int);
            }
            out.append(*p++);
            continue;
        }
        if (p[1] == '%' && p + 1 < letter) {
            out.append('%');
            p += 2;
            continue;
        }
        Conversion conversion;
        const char *next = parseConversion(p + 1, conversion, arguments);
        if (next == letter) {
            conversion.letter = *letter;
            switch (*letter) {
            case 'd':
            case 'x':
                formatInteger(out, conversion, arguments);
                return;
            case 'c':
                formatCharacter(out, conversion, arguments);
                return;
            case 's':
                formatText(out, conversion, va_arg(arguments, const char *));
                return;
            default:
                formatWideText(out, conversion, va_arg(arguments, const CciChar *));
                return;
            }
        }
        out.append(p, static_cast<size_t>(next - p)); // not a conversion: kept as text
        p = next;
    }
    // The letter ended up as plain text; its argument is taken all the same so that the
    // following directives read theirs.
    out.append(*letter);
    switch (*letter) {
    case 'd':
    case 'x':
    case 'c':
        (void)va_arg(arguments, int);
        break;
    case 's':
        (void)va_arg(arguments, const char *);
        break;
    default:
        (void)va_arg(arguments, const CciChar *);
        break;
    }
}

bool isDirectiveLetter(char c) {
    return c == 'S' || c == 's' || c == 'd' || c == 'x' || c == 'c';
}

void formatInto(Output &out, const char *format, va_list &arguments) {
    if (format == nullptr) {
        return;
    }
    const char *p = format;
    while (*p != 0 && !out.full) {
        if (*p != '%') {
            const char *run = p;
            while (*p != 0 && *p != '%') {
                ++p;
            }
            out.append(run, static_cast<size_t>(p - run));
            continue;
        }
        const char *letter = p + 1;
        while (*letter != 0 && !isDirectiveLetter(*letter)) {
            ++letter;
        }
        if (*letter == 0) {
            return; // a '%' without a conversion letter ends the text
        }
        formatDirective(out, p, letter, arguments);
        p = letter + 1;
    }
}

} // namespace

int UCvsnprintf(char *output, size_t bufferSize, const char *format, va_list arguments) {
    if (output == nullptr || bufferSize == 0) {
        return 0;
    }
    Output out{output, bufferSize, 0, false};
    va_list copy;
    va_copy(copy, arguments);
    formatInto(out, format, copy);
    va_end(copy);
    output[out.position] = 0;
    return 0;
}

int UCsnprintf(char *output, size_t bufferSize, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    UCvsnprintf(output, bufferSize, format, arguments);
    va_end(arguments);
    return 0;
}

int UCsprintf(char *output, const char *format, ...) {
    // The caller sized the buffer for the largest text it formats.
    va_list arguments;
    va_start(arguments, format);
    UCvsnprintf(output, SIZE_MAX, format, arguments);
    va_end(arguments);
    return 0;
}
