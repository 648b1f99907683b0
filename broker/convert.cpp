/*
 * Code-page conversion of the stand-in broker: cciMbsToUcs and cciUcsToMbs.
 *
 * UTF-8 (code page 1208) is what the plug-in converts nearly every text with, so it has
 * its own decoder and encoder here, with an ASCII loop in front. Every other code page
 * goes through an ICU converter opened as "ibm-<n>" or, failing that, "cp<n>". ICU
 * converters carry state and must not be shared between threads, so each thread keeps
 * its own small cache of them, closed when the thread ends.
 *
 * Output is always bounded by the size the caller gives, always terminated when that
 * size is positive, and never ends in half a character.
 */
#include <unicode/ucnv.h>
#include <unicode/utf16.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "trevane/cni.h"

namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

void setCode(int *returnCode, int code) {
    if (returnCode != nullptr) {
        *returnCode = code;
    }
}

// ---- UTF-8 -------------------------------------------------------------------------

// Decodes one UTF-8 sequence at `p` (before `end`); stores the code point (U+FFFD for a
// malformed sequence) and answers the number of bytes consumed (at least 1). Malformed
// input is replaced one maximal ill-formed subpart at a time.
size_t decodeUtf8(const unsigned char *p, const unsigned char *end, char32_t *codePoint) {
    const unsigned char lead = p[0];
    size_t need;
    char32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead < 0x80) {
        *codePoint = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0; // no overlong forms
        } else if (lead == 0xED) {
            high = 0x9F; // no encoded surrogates
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        value = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F; // nothing above U+10FFFF
        }
    } else {
        *codePoint = REPLACEMENT;
        return 1;
    }
    size_t used = 1;
    for (size_t i = 0; i < need; ++i) {
        if (p + used >= end) {
            *codePoint = REPLACEMENT;
            return used;
        }
        const unsigned char next = p[used];
        if (next < low || next > high) {
            *codePoint = REPLACEMENT;
            return used;
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (next & 0x3F);
        ++used;
    }
    *codePoint = value;
    return used;
}

CciSize utf8ToUcs(const char *mbs, CciChar *ucs, CciSize ucsSize) {
    const auto *p = reinterpret_cast<const unsigned char *>(mbs);
    const auto *end = p + std::strlen(mbs);
    const CciSize room = ucsSize - 1; // units before the terminator
    CciSize written = 0;
    while (p < end && written < room) {
        if (*p < 0x80) {
            ucs[written++] = *p++;
            continue;
        }
        char32_t codePoint;
        const size_t used = decodeUtf8(p, end, &codePoint);
        if (codePoint >= 0x10000) {
            if (room - written < 2) {
                break; // a pair that does not fit is left out whole
            }
            ucs[written++] = U16_LEAD(codePoint);
            ucs[written++] = U16_TRAIL(codePoint);
        } else {
            ucs[written++] = static_cast<CciChar>(codePoint);
        }
        p += used;
    }
    ucs[written] = 0;
    return written;
}

CciSize ucsToUtf8(const CciChar *ucs, char *mbs, CciSize mbsSize) {
    const CciSize room = mbsSize - 1;
    CciSize written = 0;
    auto *out = reinterpret_cast<unsigned char *>(mbs);
    for (const CciChar *p = ucs; *p != 0; ++p) {
        char32_t codePoint = *p;
        if (codePoint < 0x80) {
            if (written >= room) {
                break;
            }
            out[written++] = static_cast<unsigned char>(codePoint);
            continue;
        }
        if (U16_IS_LEAD(codePoint) && U16_IS_TRAIL(p[1])) {
            codePoint = U16_GET_SUPPLEMENTARY(codePoint, p[1]);
            ++p;
        } else if (U16_IS_SURROGATE(codePoint)) {
            codePoint = REPLACEMENT; // an unpaired surrogate has no UTF-8 form
        }
        const CciSize length = codePoint < 0x800 ? 2 : (codePoint < 0x10000 ? 3 : 4);
        if (room - written < length) {
            break;
        }
        switch (length) {
        case 2:
            out[written++] = static_cast<unsigned char>(0xC0 | (codePoint >> 6));
            break;
        case 3:
            out[written++] = static_cast<unsigned char>(0xE0 | (codePoint >> 12));
            out[written++] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
            break;
        default:
            out[written++] = static_cast<unsigned char>(0xF0 | (codePoint >> 18));
            out[written++] = static_cast<unsigned char>(0x80 | ((codePoint >> 12) & 0x3F));
            out[written++] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
            break;
        }
        out[written++] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
    }
    mbs[written] = 0;
    return written;
}

// ---- ICU converters ----------------------------------------------------------------

struct ConverterCloser {
    void operator()(UConverter *converter) const { ucnv_close(converter); }
};

struct CachedConverter {
    int codepage;
    std::unique_ptr<UConverter, ConverterCloser> converter; // null: no such code page
};

// This thread's converters, opened on first use of each code page. A handful of code
// pages is the most any flow uses, so a short list beats a map.
thread_local std::vector<CachedConverter> threadConverters;

UConverter *converterFor(int codepage) {
    for (const CachedConverter &entry : threadConverters) {
        if (entry.codepage == codepage) {
            return entry.converter.get();
        }
    }
    UConverter *converter = nullptr;
    for (const char *prefix : {"ibm-", "cp"}) {
        const std::string name = prefix + std::to_string(codepage);
        UErrorCode status = U_ZERO_ERROR;
        converter = ucnv_open(name.c_str(), &status);
        if (U_SUCCESS(status) && converter != nullptr) {
            break;
        }
        converter = nullptr;
    }
    threadConverters.push_back({codepage, std::unique_ptr<UConverter, ConverterCloser>(converter)});
    return converter;
}

CciSize icuToUcs(int *returnCode, UConverter *converter, const char *mbs, CciChar *ucs,
                 CciSize ucsSize) {
    const int32_t length = static_cast<int32_t>(std::strlen(mbs));
    std::u16string whole(static_cast<size_t>(length) + 1, u'\0');
    UErrorCode status = U_ZERO_ERROR;
    int32_t needed = ucnv_toUChars(converter, whole.data(), static_cast<int32_t>(whole.size()), mbs,
                                   length, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING) {
        whole.assign(static_cast<size_t>(needed) + 1, u'\0');
        status = U_ZERO_ERROR;
        needed = ucnv_toUChars(converter, whole.data(), static_cast<int32_t>(whole.size()), mbs,
                               length, &status);
    }
    if (U_FAILURE(status)) {
        ucs[0] = 0;
        setCode(returnCode, CCI_CONVERSION);
        return 0;
    }
    CciSize count = needed < ucsSize - 1 ? needed : ucsSize - 1;
    if (count < needed && count > 0 && U16_IS_LEAD(whole[count - 1]) &&
        U16_IS_TRAIL(whole[count])) {
        --count; // never end on the first half of a pair
    }
    std::memcpy(ucs, whole.data(), static_cast<size_t>(count) * sizeof(CciChar));
    ucs[count] = 0;
    return count;
}

CciSize icuToMbs(int *returnCode, UConverter *converter, const CciChar *ucs, char *mbs,
                 CciSize mbsSize) {
    size_t length = 0;
    while (ucs[length] != 0) {
        ++length;
    }
    // Convert in full, keeping for each output byte the index of the unit it came from,
    // so that the cut can be placed on a character boundary.
    const size_t capacity =
        UCNV_GET_MAX_BYTES_FOR_STRING(length, ucnv_getMaxCharSize(converter)) + 1;
    std::vector<char> whole(capacity);
    std::vector<int32_t> offsets(capacity);
    ucnv_resetFromUnicode(converter);
    const UChar *source = ucs;
    char *target = whole.data();
    UErrorCode status = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, whole.data() + capacity, &source, ucs + length,
                     offsets.data(), true, &status);
    if (U_FAILURE(status)) {
        mbs[0] = 0;
        setCode(returnCode, CCI_CONVERSION);
        return 0;
    }
    const size_t total = static_cast<size_t>(target - whole.data());
    size_t count = total < static_cast<size_t>(mbsSize - 1) ? total : mbsSize - 1;
    while (count > 0 && count < total && offsets[count] == offsets[count - 1]) {
        --count; // byte `count` continues the character before it
    }
    std::memcpy(mbs, whole.data(), count);
    mbs[count] = 0;
    return static_cast<CciSize>(count);
}

} // namespace

extern "C" CciSize cciMbsToUcs(int *returnCode, const char *mbs, CciChar *ucs, CciSize ucsSize,
                               int codepage) {
    setCode(returnCode, CCI_SUCCESS);
    if (mbs == nullptr || ucs == nullptr) {
        setCode(returnCode, CCI_INV_DATA_POINTER);
        return 0;
    }
    if (codepage == CCI_CODEPAGE_UTF8) {
        return ucsSize > 0 ? utf8ToUcs(mbs, ucs, ucsSize) : 0;
    }
    UConverter *converter = converterFor(codepage);
    if (converter == nullptr) {
        if (ucsSize > 0) {
            ucs[0] = 0;
        }
        setCode(returnCode, CCI_CONVERSION);
        return 0;
    }
    return ucsSize > 0 ? icuToUcs(returnCode, converter, mbs, ucs, ucsSize) : 0;
}

extern "C" CciSize cciUcsToMbs(int *returnCode, const CciChar *ucs, char *mbs, CciSize mbsSize,
                               int codepage) {
    setCode(returnCode, CCI_SUCCESS);
    if (ucs == nullptr || mbs == nullptr) {
        setCode(returnCode, CCI_INV_DATA_POINTER);
        return 0;
    }
    if (codepage == CCI_CODEPAGE_UTF8) {
        return mbsSize > 0 ? ucsToUtf8(ucs, mbs, mbsSize) : 0;
    }
    UConverter *converter = converterFor(codepage);
    if (converter == nullptr) {
        if (mbsSize > 0) {
            mbs[0] = 0;
        }
        setCode(returnCode, CCI_CONVERSION);
        return 0;
    }
    return mbsSize > 0 ? icuToMbs(returnCode, converter, ucs, mbs, mbsSize) : 0;
}
