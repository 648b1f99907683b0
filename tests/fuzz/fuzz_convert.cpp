// Fuzz target: code-page conversion, as bodies that are not UTF-8 meet it. The input
// picks a code page, an output size and a text; the text is converted to wide characters
// and back into another code page, each into a buffer of exactly the size given, and is
// also parsed as an XML body of a message whose descriptor names a character set. Every
// conversion must stay in its buffer, end its output, never end on half a character,
// and answer the length it wrote; ISO-8859-1 must come back byte for byte.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "broker/host.h"
#include "trevane/cni.h"

namespace {

// UTF-8, Latin-1, ASCII, EBCDIC (US, international, Latin-1 open systems, Japanese mixed
// with shifts), Windows Latin-1, PC 437 and 850, Shift-JIS, GBK, Big5, EUC-KR, GB18030,
// and one that no converter knows.
constexpr int CODE_PAGES[] = {1208, 819, 367, 37,   500, 1047, 930,  1252,
                              437,  850, 943, 1386, 950, 970,  5488, 99999};
constexpr int BODY_CHARACTER_SETS[] = {1208, 819, 367, 1200, 37, 0, 943};

void fail(const char *what, int codepage, CciSize size) {
    fprintf(stderr, "%s (code page %d, size %d)\n", what, codepage, static_cast<int>(size));
    abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    broker::setLogStream(fopen("/dev/null", "w"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 16384) {
        return 0;
    }
    FuzzedDataProvider in(data, size);
    const int from = CODE_PAGES[in.ConsumeIntegralInRange<size_t>(0, std::size(CODE_PAGES) - 1)];
    const int to = CODE_PAGES[in.ConsumeIntegralInRange<size_t>(0, std::size(CODE_PAGES) - 1)];
    const int bodySet = BODY_CHARACTER_SETS[in.ConsumeIntegralInRange<size_t>(
        0, std::size(BODY_CHARACTER_SETS) - 1)];
    const CciSize wideSize = in.ConsumeIntegralInRange<CciSize>(0, 600);
    const CciSize narrowSize = in.ConsumeIntegralInRange<CciSize>(0, 1200);
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    const std::string text = bytes.c_str(); // the converters read up to the terminator

    // Exactly the sizes given (one byte when zero, never written), so the sanitizer sees
    // a write past them.
    std::vector<CciChar> wideStore(wideSize == 0 ? 1 : static_cast<size_t>(wideSize), 0x55AA);
    CciChar *wide = wideStore.data();
    int rc = 0;
    const CciSize units = cciMbsToUcs(&rc, text.c_str(), wide, wideSize, from);
    if (wideSize > 0) {
        if (units < 0 || units >= wideSize || wide[units] != 0) {
            fail("wide output not ended where its length says", from, wideSize);
        }
        for (CciSize i = 0; i < units; ++i) {
            if (wide[i] == 0) {
                fail("wide output holds a terminator inside its length", from, wideSize);
            }
        }
        if (units > 0 && wide[units - 1] >= 0xD800 && wide[units - 1] <= 0xDBFF) {
            fail("wide output ends on the first half of a pair", from, wideSize);
        }
    } else if (units != 0) {
        fail("units written into no room", from, wideSize);
    }

    if (wideSize > 0) {
        std::vector<char> narrow(narrowSize == 0 ? 1 : static_cast<size_t>(narrowSize), 'Z');
        const CciSize written = cciUcsToMbs(&rc, wide, narrow.data(), narrowSize, to);
        if (narrowSize > 0) {
            if (written < 0 || written >= narrowSize || narrow[static_cast<size_t>(written)] != 0) {
                fail("output not ended where its length says", to, narrowSize);
            }
            if (to == 1208 && written > 0) {
                // a cut never leaves a lead byte without its continuation bytes
                size_t start = static_cast<size_t>(written);
                while (start > 0 && (narrow[start - 1] & 0xC0) == 0x80) {
                    --start;
                }
                if (start > 0) {
                    const unsigned char lead = static_cast<unsigned char>(narrow[start - 1]);
                    const size_t need = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
                    if (static_cast<size_t>(written) - (start - 1) != need) {
                        fail("UTF-8 output ends inside a character", to, narrowSize);
                    }
                }
            }
            if (from == 819 && to == 819 && rc == CCI_SUCCESS &&
                static_cast<size_t>(wideSize) > text.size() &&
                static_cast<size_t>(narrowSize) > text.size() &&
                text != std::string(narrow.data(), static_cast<size_t>(written))) {
                fail("ISO-8859-1 text did not come back unchanged", 819, narrowSize);
            }
        } else if (written != 0) {
            fail("bytes written into no room", to, narrowSize);
        }
    }

    // The same bytes as the body of a message in that character set.
    CciMessageContext *context = broker::createContext();
    broker::Descriptor descriptor;
    descriptor.codedCharSetId = bodySet;
    descriptor.format = "XML";
    try {
        CciMessage *message = broker::createInputMessage(context, descriptor, bytes, "XML");
        (void)broker::bodyOf(message);
    } catch (const broker::BrokerException &) {
        // not well-formed in that character set: reported, not a crash
    }
    broker::deleteContext(context);
    return 0;
}
