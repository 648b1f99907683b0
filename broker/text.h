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
#include <string>
#include <string_view>

#include "broker/cni.h"

namespace broker {

/* Number of units before the terminator; 0 for a null pointer. */
inline size_t length16(const CciChar *text) {
    if (text == nullptr) {
        return 0;
    }
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
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

/* Copies `text` into a CciChar buffer of `bufferBytes` bytes: as much as fits, always
   terminated when the buffer holds at least one unit, never splitting a surrogate pair.
   Returns the units the whole text needs with its terminator. */
size_t copyToBuffer16(std::u16string_view text, CciChar *buffer, size_t bufferBytes);

} // namespace broker

#endif
