/*
 * Text helpers of the stand-in broker: 16-bit CciChar text to and from UTF-8.
 *
 * The broker keeps every name and character value as CciChar (UTF-16) text; files,
 * logs, catalogues and XML documents are UTF-8. These helpers are used by every broker
 * module and never by the plug-in. Malformed input (a lone surrogate, a bad UTF-8
 * sequence) becomes U+FFFD; nothing here reads past the length it is given.
 */
#ifndef TREVANE_BROKER_TEXT_H
#define TREVANE_BROKER_TEXT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "trevane/cni.h"

namespace broker {

/* Number of units before the terminator; 0 for a null pointer. */
inline size_t length16(const CciChar *text) {
    if (text == nullptr) {
        return 0;
    }
    // Four units a round; no unit after the terminator is read.
    size_t n = 0;
    for (;; n += 4) {
        if (text[n] == 0) {
            return n;
        }
        if (text[n + 1] == 0) {
            return n + 1;
        }
        if (text[n + 2] == 0) {
            return n + 2;
        }
        if (text[n + 3] == 0) {
            return n + 3;
        }
    }
}

/* Number of units before the terminator, looking at no more than `limit` units. */
inline size_t boundedLength16(const CciChar *text, size_t limit) {
    size_t n = 0;
    while (n < limit && text[n] != 0) {
        ++n;
    }
    return n;
}

/* A view of a terminated CciChar text (empty for null). */
inline std::u16string_view view16(const CciChar *text) {
    return text == nullptr ? std::u16string_view() : std::u16string_view(text, length16(text));
}

/* Appends the UTF-8 form of `text` to `out`. */
void appendUtf8(std::string &out, std::u16string_view text);

/* The UTF-8 form of `text`. */
inline std::string toUtf8(std::u16string_view text) {
    std::string out;
    appendUtf8(out, text);
    return out;
}

/* Appends the UTF-16 form of UTF-8 `text` to `out`. */
void appendUtf16(std::u16string &out, std::string_view text);

/* The UTF-16 form of UTF-8 `text`. */
inline std::u16string toUtf16(std::string_view text) {
    std::u16string out;
    appendUtf16(out, text);
    return out;
}

/* Copies `bytes` bytes (2 to 64, even) as fixed-size moves, the last overlapping the one
   before: each compiles to register loads and stores, so a short name costs a few
   instructions instead of a call. Reads and writes exactly [0, bytes). */
inline void copyShort(void *target, const void *source, size_t bytes) {
    auto *to = static_cast<unsigned char *>(target);
    const auto *from = static_cast<const unsigned char *>(source);
    if (bytes >= 32) {
        std::memcpy(to, from, 32);
        std::memcpy(to + bytes - 32, from + bytes - 32, 32);
    } else if (bytes >= 16) {
        std::memcpy(to, from, 16);
        std::memcpy(to + bytes - 16, from + bytes - 16, 16);
    } else if (bytes >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + bytes - 8, from + bytes - 8, 8);
    } else if (bytes >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + bytes - 4, from + bytes - 4, 4);
    } else {
        std::memcpy(to, from, 2);
    }
}

/* Whether [0, bytes) of `a` and `b` hold the same bytes; short ranges (up to 32 bytes) are
   compared as copyShort copies them, in fixed-size loads, without a call. */
inline bool sameBytes(const void *a, const void *b, size_t bytes) {
    const auto *x = static_cast<const unsigned char *>(a);
    const auto *y = static_cast<const unsigned char *>(b);
    auto same = [&](size_t at, auto word) {
        decltype(word) u;
        decltype(word) v;
        std::memcpy(&u, x + at, sizeof u);
        std::memcpy(&v, y + at, sizeof v);
        return u == v;
    };
    if (bytes > 32) {
        return std::memcmp(x, y, bytes) == 0;
    }
    if (bytes >= 16) {
        return same(0, uint64_t()) && same(8, uint64_t()) && same(bytes - 16, uint64_t()) &&
               same(bytes - 8, uint64_t());
    }
    if (bytes >= 8) {
        return same(0, uint64_t()) && same(bytes - 8, uint64_t());
    }
    if (bytes >= 4) {
        return same(0, uint32_t()) && same(bytes - 4, uint32_t());
    }
    return bytes < 2 || same(0, uint16_t());
}

/* copyToBuffer16 for any text (the general path, out of line). */
size_t copyAnyToBuffer16(std::u16string_view text, CciChar *buffer, size_t bufferBytes);

/* Copies `text` into a CciChar buffer of `bufferBytes` bytes: as much as fits, always
   terminated when the buffer holds at least one unit, never splitting a surrogate pair.
   Returns the units the whole text needs with its terminator.
   Names and values are read through here once per element a node looks at. `terminated`
   says that the unit after the text is its terminator, as for the names and texts of
   elements: a short one that fits is then copied with its terminator inline, in a few
   instructions. */
inline size_t copyToBuffer16(std::u16string_view text, CciChar *buffer, size_t bufferBytes,
                             bool terminated = false) {
    const size_t bytes = (text.size() + 1) * sizeof(CciChar);
    if (terminated && bytes <= 64 && bytes <= bufferBytes && buffer != nullptr) {
        copyShort(buffer, text.data(), bytes);
        return text.size() + 1;
    }
    return copyAnyToBuffer16(text, buffer, bufferBytes);
}

} // namespace broker

#endif
