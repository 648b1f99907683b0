// Fuzz target: XML rendering over arbitrary bytes. Whatever the bytes, the renderer must
// answer a code, hand back a buffer holding exactly the reported length, and never touch
// memory outside the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "trace/retcodes.h"
#include "utilities/xmlrender.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    char *xml = nullptr;
    int length = -1;
    buildXMLFromSerialisedTree(data, static_cast<int>(size), &xml, &length);
    if (xml == nullptr || length < 0) {
        __builtin_trap();
    }
    // Touch every byte reported, so that the sanitizer checks the length.
    volatile char sink = 0;
    for (int i = 0; i < length; ++i) {
        sink = sink ^ xml[i];
    }
    free(xml);
    return 0;
}
