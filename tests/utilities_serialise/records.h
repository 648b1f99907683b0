// Helpers of the serialisation tests: serialising a subtree into a std::string, building
// expected records byte by byte, and rebuilding a buffer record by record.
#ifndef TREVANE_TESTS_UTILITIES_SERIALISE_RECORDS_H
#define TREVANE_TESTS_UTILITIES_SERIALISE_RECORDS_H

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "trace/retcodes.h"
#include "trevane/cni.h"
#include "utilities/rebuild.h"
#include "utilities/serialise.h"

namespace utiltest {

// Serialises the subtree; answers the code, the bytes in `out` on success.
inline int serialise(CciElement *element, bool text, std::string &out, bool ignoreDTD = false) {
    void *buffer = nullptr;
    int length = -1;
    int rc = serialiseSyntaxElements(element, text ? TRUE : FALSE, ignoreDTD ? TRUE : FALSE,
                                     &buffer, &length);
    if (rc == TT_SUCCESS) {
        out.assign(static_cast<const char *>(buffer), static_cast<size_t>(length));
        free(buffer);
    }
    return rc;
}

inline std::string serialised(CciElement *element, bool text, bool ignoreDTD = false) {
    std::string out;
    int rc = serialise(element, text, out, ignoreDTD);
    EXPECT_EQ(rc, TT_SUCCESS) << "serialiseSyntaxElements";
    return out;
}

// Expected bytes, in native order.
struct Bytes {
    std::string data;
    Bytes &i32(int32_t value) {
        data.append(reinterpret_cast<const char *>(&value), sizeof value);
        return *this;
    }
    Bytes &i64(int64_t value) {
        data.append(reinterpret_cast<const char *>(&value), sizeof value);
        return *this;
    }
    Bytes &f32(float value) {
        data.append(reinterpret_cast<const char *>(&value), sizeof value);
        return *this;
    }
    Bytes &f64(double value) {
        data.append(reinterpret_cast<const char *>(&value), sizeof value);
        return *this;
    }
    Bytes &byte(uint8_t value) {
        data.push_back(static_cast<char>(value));
        return *this;
    }
    Bytes &raw(std::string_view bytes) {
        data.append(bytes);
        return *this;
    }
    // The units of the text and a zero unit.
    Bytes &wide(std::u16string_view text) {
        for (char16_t unit : text) {
            data.append(reinterpret_cast<const char *>(&unit), sizeof unit);
        }
        char16_t zero = 0;
        data.append(reinterpret_cast<const char *>(&zero), sizeof zero);
        return *this;
    }
    // A record header with its name; the header length is worked out.
    Bytes &header(int32_t depth, int32_t flags, int32_t elementType, int32_t valueType,
                  std::u16string_view name = {}) {
        const bool named = (flags & SERIALISED_FLAG_HAS_NAME) != 0;
        i32(static_cast<int32_t>(20 + (named ? 2 * (name.size() + 1) : 0)));
        i32(depth).i32(flags).i32(elementType).i32(valueType);
        if (named) {
            wide(name);
        }
        return *this;
    }
};

// Rebuilds every record of `data` below `anchor`; answers the first failure or
// TT_SUCCESS. `*records` (when given) receives the number of records read.
inline int rebuild(CciElement *anchor, std::string_view data, int treeDepth,
                   bool includeFirstElement, int *records = nullptr) {
    // An exact-size heap copy, so that the sanitizer sees any read past the end.
    char *copy = static_cast<char *>(malloc(data.empty() ? 1 : data.size()));
    memcpy(copy, data.data(), data.size());
    const char *position = copy;
    CciElement *element = anchor;
    int count = 0;
    int rc = TT_SUCCESS;
    while (rc == TT_SUCCESS && position != copy + data.size()) {
        rc = inflateSyntaxElement(&element, copy, static_cast<int>(data.size()), &position,
                                  &treeDepth, count == 0 ? TRUE : FALSE,
                                  includeFirstElement ? TRUE : FALSE);
        if (rc == TT_SUCCESS) {
            ++count;
        }
    }
    free(copy);
    if (records != nullptr) {
        *records = count;
    }
    return rc;
}

} // namespace utiltest

#endif
