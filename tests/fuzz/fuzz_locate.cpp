// Fuzz target: dotted paths. The input is a CopyValueTo value (after one byte of
// choices). It is located directly in a fixed message, with and without creation, and
// then set on a TrevaneNode in a flow, which checks it; when the node takes it, the same
// fixed message and an exception list with an SQLSTATE go through the node. Whatever the
// path, the message must end exactly once on one of the node's terminals, or the node
// must raise (the unit then backs out), and nothing the node made may stay behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "broker/host.h"
#include "broker/tree.h"
#include "node/trevane.h"
#include "portability/unicode.h"
#include "tests/support/support.h"
#include "trevane/cni.h"
#include "utilities/locate.h"

namespace {

constexpr const char *BODY =
    "<outer id=\"7\"><a>1</a><Status>old</Status><b><c>x</c><c>y</c></b></outer>";
constexpr const char *EXCEPTIONS =
    "RecoverableException(DatabaseException(Insert(Type=5, Text='SQL0803N SQLSTATE=23505')))";

size_t messagesIn(CciMessageContext *context) {
    size_t count = 0;
    for (CciMessage *m = context->firstMessage; m != nullptr; m = m->nextInContext) {
        ++count;
    }
    return count;
}

bool below(CciElement *element, CciElement *root) {
    int rc = 0;
    for (int depth = 0; element != nullptr && depth < 100000; ++depth) {
        if (element == root) {
            return true;
        }
        element = cniParent(&rc, element);
    }
    return false;
}

void fail(const char *what, const std::string &path) {
    fprintf(stderr, "%s for path '%s'\n", what, path.c_str());
    abort();
}

void locateDirectly(const std::string &path, uint8_t choices) {
    testsupport::MessageScope scope;
    CciMessage *message = scope.input(BODY);
    CciChar *wide = CciString(path.c_str());
    if (wide == nullptr) {
        return;
    }
    const elementType_t types[] = {ELEMENT_TYPE_NAME, ELEMENT_TYPE_VALUE, ELEMENT_TYPE_NAME_VALUE};
    const elementType_t *type = choices & 2 ? &types[(choices >> 2) % 3] : nullptr;
    bool_t created = FALSE;
    int rc = 0;
    CciElement *root = cniRootElement(&rc, message);
    CciElement *found =
        locateElementInMessage(message, wide, (choices & 1) ? TRUE : FALSE, type, &created);
    if (found != nullptr && !below(found, root)) {
        CciMessage *environment = cniGetEnvironmentMessage(&rc, message);
        if (environment == nullptr || !below(found, cniRootElement(&rc, environment))) {
            fail("located element outside the message", path);
        }
    }
    if (created && !(choices & 1)) {
        fail("element created without being asked", path);
    }
    free(wide);
}

void throughTheNode(const std::string &path) {
    testsupport::MessageScope scope;
    testsupport::TestFlow flow("FuzzLocateFlow");
    flow.node("TrevaneNode", "trevane");
    try {
        broker::setProperty(flow["trevane"], "CopyValueTo", path);
    } catch (const broker::Error &) {
        return; // refused by the node's check
    }
    for (const char *sink : {"out", "notFound", "failure"}) {
        flow.node("TestSink", sink);
        flow.connect(std::string("trevane.") + sink + " -> " + sink + ".in");
    }
    CciMessage *message = scope.input(BODY);
    CciMessage *list = scope.exceptionList(EXCEPTIONS);
    const size_t before = messagesIn(scope.context());
    const int delivered = flow.deliver("trevane", message, list);
    size_t arrived = 0;
    for (const char *sink : {"out", "notFound", "failure"}) {
        arrived += testsupport::sinkRecords(sink).size();
    }
    if (delivered == CCI_SUCCESS ? arrived != 1 : arrived != 0) {
        fail(delivered == CCI_SUCCESS ? "message not delivered exactly once"
                                      : "message delivered although the node raised",
             path);
    }
    if (messagesIn(scope.context()) != before) {
        fail("the node left a message behind", path);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    (void)bipGetMessageflowNodeFactory();
    broker::setLogStream(fopen("/dev/null", "w"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 2048) {
        return 0;
    }
    std::string path(reinterpret_cast<const char *>(data) + 1, size - 1);
    path = path.c_str(); // a property value ends at its first NUL
    locateDirectly(path, data[0]);
    throughTheNode(path);
    return 0;
}
