/*
 * UTF-8 / UTF-16 conversion for the stand-in broker's own texts (names, values, log
 * entries, catalogue texts, XML documents). Used by every broker module; ASCII runs take
 * a fast path because element names and most values are ASCII.
 */
#include "broker/text.h"

#include <cstring>

namespace broker {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void putUtf8(std::string &out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace

void appendUtf8(std::string &out, std::u16string_view text) {
    out.reserve(out.size() + text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = REPLACEMENT;
        }
        putUtf8(out, c);
    }
}

void appendUtf16(std::u16string &out, std::string_view text) {
    // UTF-8 never needs more UTF-16 units than it has bytes: size once, write in place.
    size_t start = out.size();
    out.resize(start + text.size());
    char16_t *w = out.data() + start;
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const auto *end = p + text.size();
    while (p < end) {
        unsigned char b = *p;
        if (b < 0x80) {
            *w++ = b;
            ++p;
            continue;
        }
        int extra = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if ((b & 0xE0) == 0xC0) {
            extra = 1;
            c = b & 0x1F;
            minimum = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2;
            c = b & 0x0F;
            minimum = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3;
            c = b & 0x07;
            minimum = 0x10000;
        } else {
            *w++ = static_cast<char16_t>(REPLACEMENT);
            ++p;
            continue;
        }
        if (end - p <= extra) {
            *w++ = static_cast<char16_t>(REPLACEMENT);
            break;
        }
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if ((p[k] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (p[k] & 0x3F);
        }
        if (!ok || c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            *w++ = static_cast<char16_t>(REPLACEMENT);
            ++p;
            continue;
        }
        if (c < 0x10000) {
            *w++ = static_cast<char16_t>(c);
        } else {
            c -= 0x10000;
            *w++ = static_cast<char16_t>(0xD800 + (c >> 10));
            *w++ = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        }
        p += extra + 1;
    }
    out.resize(static_cast<size_t>(w - out.data()));
}

size_t copyAnyToBuffer16(std::u16string_view text, CciChar *buffer, size_t bufferBytes) {
    size_t units = bufferBytes / sizeof(CciChar);
    if (buffer != nullptr && units > 0) {
        size_t n = text.size() < units - 1 ? text.size() : units - 1;
        if (n > 0 && n < text.size() && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) {
            --n; // never leave half of a surrogate pair
        }
        if (n > 0) {
            std::memcpy(buffer, text.data(), n * sizeof(CciChar));
        }
        buffer[n] = 0;
    }
    return text.size() + 1;
}

} // namespace broker
