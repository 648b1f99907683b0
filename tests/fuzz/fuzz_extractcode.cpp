// Fuzz target: the SQLSTATE search. The input is read as a small program that builds an
// exception list (exceptions, inserts, texts of any units, integer and other values,
// elements of every kind, at any depth up to a bound); the node's search runs over it.
// A found text must hold "SQLSTATE"; every text's code must be the number after its first
// "SQLSTATE=" (at most 256 digits, clamped to 32 bits) whether or not the search found it.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "broker/host.h"
#include "node/extractCode.h"
#include "portability/unicode.h"
#include "trevane/cni.h"

namespace {

constexpr int MAX_DEPTH = 200; // deeper than any list the broker builds
const char16_t *const NAMES[] = {u"RecoverableException",
                                 u"DatabaseException",
                                 u"ParserException",
                                 u"Insert",
                                 u"Text",
                                 u"Type",
                                 u"Number",
                                 u"Label",
                                 u"DatabaseExceptio",
                                 u"",
                                 u"SQLSTATE"};
const CciElementType TYPES[] = {CCI_ELEMENT_TYPE_NAME,          CCI_ELEMENT_TYPE_NAME_VALUE,
                                CCI_ELEMENT_TYPE_VALUE,         CCI_ELEMENT_TYPE_UNKNOWN,
                                CCI_ELEMENT_TYPE_XML_ATTRIBUTE, 0x7FFFFFFF};

std::u16string units(FuzzedDataProvider &in) {
    std::u16string text;
    if (in.ConsumeBool()) {
        text = u"SQLSTATE=";
    }
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 300);
    for (size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        const uint8_t byte = in.ConsumeIntegral<uint8_t>();
        char16_t unit = byte;
        if (byte == 0xFF) {
            unit = in.ConsumeIntegral<uint16_t>();
        } else if (byte == 0xFE) {
            text += u"SQLSTATE";
            continue;
        }
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

// The code as the node must read it.
int expectedCode(const std::u16string &text) {
    const size_t at = text.find(u"SQLSTATE=");
    if (at == std::u16string::npos) {
        return 0;
    }
    long long value = 0;
    for (size_t i = at + 9, n = 0; i < text.size() && n < 256; ++i, ++n) {
        if (text[i] < u'0' || text[i] > u'9') {
            break;
        }
        value = value * 10 + (text[i] - u'0');
        if (value > INT_MAX) {
            value = INT_MAX;
        }
    }
    return static_cast<int>(value);
}

void checkCode(const std::u16string &text) {
    int code = -1;
    extractSQLCode(reinterpret_cast<const CciChar *>(text.c_str()), &code);
    if (code != expectedCode(text)) {
        fprintf(stderr, "code %d read, %d expected\n", code, expectedCode(text));
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 8192) {
        return 0;
    }
    FuzzedDataProvider in(data, size);
    CciMessageContext *context = broker::createContext();
    CciMessage *list = broker::createTreeMessage(context, "ExceptionList");
    int rc = 0;
    std::vector<CciElement *> stack{cniRootElement(&rc, list)};
    std::vector<std::u16string> texts;
    while (in.remaining_bytes() > 0) {
        CciElement *parent = stack.back();
        switch (in.ConsumeIntegralInRange(0, 7)) {
        case 0:
        case 1: { // an element to add children to
            if (stack.size() >= MAX_DEPTH) {
                break;
            }
            CciElement *e = cniCreateElementAsLastChild(&rc, parent);
            cniSetElementType(&rc, e, TYPES[in.ConsumeIntegralInRange<size_t>(0, 5)]);
            cniSetElementName(
                &rc, e,
                reinterpret_cast<const CciChar *>(
                    NAMES[in.ConsumeIntegralInRange<size_t>(0, std::size(NAMES) - 1)]));
            stack.push_back(e);
            break;
        }
        case 2:
            if (stack.size() > 1) {
                stack.pop_back();
            }
            break;
        case 3:
        case 4: { // a text
            CciElement *e = cniCreateElementAsLastChild(&rc, parent);
            cniSetElementType(&rc, e,
                              in.ConsumeIntegralInRange(0, 7) == 0 ? CCI_ELEMENT_TYPE_NAME
                                                                   : CCI_ELEMENT_TYPE_NAME_VALUE);
            cniSetElementName(&rc, e, reinterpret_cast<const CciChar *>(u"Text"));
            std::u16string text = units(in);
            cniSetElementCharacterValue(&rc, e, reinterpret_cast<const CciChar *>(text.c_str()),
                                        static_cast<CciSize>(text.size()));
            texts.push_back(std::move(text));
            break;
        }
        case 5: { // an integer, under any name
            CciElement *e = cniCreateElementAsLastChild(&rc, parent);
            cniSetElementType(&rc, e, CCI_ELEMENT_TYPE_NAME_VALUE);
            cniSetElementName(
                &rc, e,
                reinterpret_cast<const CciChar *>(
                    NAMES[in.ConsumeIntegralInRange<size_t>(0, std::size(NAMES) - 1)]));
            cniSetElementIntegerValue(&rc, e, in.ConsumeIntegral<int32_t>());
            break;
        }
        case 6: { // a decimal or boolean "Text"
            CciElement *e = cniCreateElementAsLastChild(&rc, parent);
            cniSetElementType(&rc, e, CCI_ELEMENT_TYPE_NAME_VALUE);
            cniSetElementName(&rc, e, reinterpret_cast<const CciChar *>(u"Text"));
            if (in.ConsumeBool()) {
                cniSetElementBooleanValue(&rc, e, in.ConsumeBool());
            } else {
                cniSetElementDecimalValue(&rc, e, reinterpret_cast<const CciChar *>(u"1.5"));
            }
            break;
        }
        default: { // a text under a name of arbitrary units
            CciElement *e = cniCreateElementAsLastChild(&rc, parent);
            cniSetElementType(&rc, e, CCI_ELEMENT_TYPE_NAME_VALUE);
            const std::u16string name = units(in);
            cniSetElementName(&rc, e, reinterpret_cast<const CciChar *>(name.c_str()));
            std::u16string text = units(in);
            cniSetElementCharacterValue(&rc, e, reinterpret_cast<const CciChar *>(text.c_str()),
                                        static_cast<CciSize>(text.size()));
            break;
        }
        }
    }

    CciChar *found = nullptr;
    int code = -1;
    if (getSQLError(list, &found, &code)) {
        if (found == nullptr ||
            UCstr(found, reinterpret_cast<const CciChar *>(u"SQLSTATE")) == nullptr) {
            fprintf(stderr, "a text without SQLSTATE was found\n");
            abort();
        }
        const std::u16string text(reinterpret_cast<const char16_t *>(found));
        if (code != expectedCode(text)) {
            fprintf(stderr, "code %d found, %d expected\n", code, expectedCode(text));
            abort();
        }
        free(found);
    } else if (found != nullptr || code != -1) {
        fprintf(stderr, "results changed although nothing was found\n");
        abort();
    }
    for (const std::u16string &text : texts) {
        checkCode(text);
    }
    broker::deleteContext(context);
    return 0;
}
