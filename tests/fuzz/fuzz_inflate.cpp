// Fuzz target: the serialised buffer reader over arbitrary bytes. Every record is read in
// both reading modes below an anchor of a fresh message; whatever the bytes, the reader
// must stop with a code and never touch memory outside the input.
#include <cstddef>
#include <cstdint>

#include "broker/host.h"
#include "trace/retcodes.h"
#include "trevane/cni.h"
#include "utilities/rebuild.h"

namespace {

void readAll(CciElement *anchor, const uint8_t *data, size_t size, int treeDepth,
             bool_t includeFirstElement) {
    const char *buffer = reinterpret_cast<const char *>(data);
    const char *position = buffer;
    CciElement *element = anchor;
    bool_t first = TRUE;
    while (position != buffer + size) {
        const char *before = position;
        if (inflateSyntaxElement(&element, buffer, static_cast<int>(size), &position, &treeDepth,
                                 first, includeFirstElement) != TT_SUCCESS) {
            return;
        }
        if (position <= before || position > buffer + size) {
            __builtin_trap(); // a successful read always moves forward, inside the data
        }
        first = FALSE;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 1 << 20) {
        return 0;
    }
    CciMessageContext *context = broker::createContext();
    int rc = 0;
    CciElement *root = cniRootElement(&rc, broker::createTreeMessage(context, "Root"));
    CciElement *child = cniCreateElementAsLastChild(&rc, root);
    cniSetElementType(&rc, child, CCI_ELEMENT_TYPE_NAME);
    readAll(child, data, size, -1, TRUE);
    CciElement *anchor = cniCreateElementAsLastChild(&rc, root);
    cniSetElementType(&rc, anchor, CCI_ELEMENT_TYPE_NAME_VALUE);
    readAll(anchor, data, size, 0, FALSE);
    broker::deleteContext(context);
    return 0;
}
