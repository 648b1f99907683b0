/*
 * Test helpers of the portability tests: wide texts shown readably in failure messages.
 */
#ifndef TREVANE_TESTS_PORTABILITY_SHOW_H
#define TREVANE_TESTS_PORTABILITY_SHOW_H

#include <cstdio>
#include <string>
#include <string_view>

#include "trevane/cni.h"

// ASCII as itself, every other unit as \uXXXX, null as <null>.
inline std::string show(const CciChar *text) {
    if (text == nullptr) {
        return "<null>";
    }
    std::string shown = "u\"";
    for (const CciChar *p = text; *p != 0; ++p) {
        if (*p >= 0x20 && *p < 0x7F) {
            shown += static_cast<char>(*p);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(*p));
            shown += escape;
        }
    }
    return shown + "\"";
}

inline std::string show(const std::u16string &text) {
    return show(text.c_str());
}

// Bytes outside printable ASCII as \xNN.
inline std::string showBytes(std::string_view bytes) {
    std::string shown = "\"";
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            shown += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        }
    }
    return shown + "\"";
}

#endif
