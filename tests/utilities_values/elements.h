// Helpers of the message-utility tests: a fixture owning a message context (trees are
// built with the notation of tests/support), and byte and text helpers for messages.
#ifndef TREVANE_TESTS_UTILITIES_VALUES_ELEMENTS_H
#define TREVANE_TESTS_UTILITIES_VALUES_ELEMENTS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "broker/host.h"
#include "tests/support/support.h"
#include "trevane/cni.h"

namespace utiltest {

inline CciElement *rootOf(CciMessage *message) {
    int rc = 0;
    return cniRootElement(&rc, message);
}

// Bytes as hexadecimal digit pairs, a blank after every fourth byte.
inline std::string hexOf(const void *data, size_t size) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < size; ++i) {
        snprintf(pair, sizeof pair, "%02x", static_cast<const CciByte *>(data)[i]);
        text += pair;
        if (i % 4 == 3 && i + 1 < size) {
            text += ' ';
        }
    }
    return text;
}
inline std::string hexOf(std::string_view bytes) {
    return hexOf(bytes.data(), bytes.size());
}

// UTF-8 of a wide text without surrogates (the tests' texts are all in the BMP).
inline std::string utf8(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A fixture owning one message context and a "Root" message in it; the context (with
// every message made in it) is deleted after the test.
class MessageTest : public ::testing::Test {
protected:
    CciMessage *newMessage(std::string_view notation = "") { return scope.message(notation); }
    // Adds the elements of the notation below the root; answers the first.
    CciElement *build(std::string_view notation) { return testsupport::build(root, notation); }
    // A NAME element "anchor" in a new message, to rebuild a buffer under.
    CciElement *newAnchor(std::string_view notation = "anchor") {
        return testsupport::build(rootOf(newMessage()), notation);
    }

    testsupport::MessageScope scope;
    CciMessage *message = scope.message();
    CciElement *root = rootOf(message);
};

} // namespace utiltest

#endif
