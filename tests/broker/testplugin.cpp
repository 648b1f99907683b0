/*
 * A plug-in node library for the broker's own tests, loaded through the broker's loader
 * exactly as a real plug-in is. Factory "BrokerTestFactory", classes:
 *   Relay      - input "in", outputs "out", "failure", "other"; properties "route" (the
 *                terminal to send to, default "out"), "raise" (raise a database exception
 *                with this text), "log" (write log entry 11 of OSTRINV2_trevane first);
 *                a downstream exception is raised again, as a well-behaved node does.
 *   BadCreate  - its create-context slot raises an exception.
 * relayEntryCalls() counts calls of the entry point.
 */
#include <cstring>
#include <string>

#include "trevane/cni.h"

namespace {

int entryCalls = 0;

struct Relay {
    CciNode *node = nullptr;
    CciTerminal *out = nullptr;
    CciTerminal *failure = nullptr;
    CciTerminal *other = nullptr;
    std::u16string route = u"out";
    std::string raise;
    bool log = false;
};

std::string narrow(const CciChar *text) {
    std::string s;
    for (; text != nullptr && *text != 0; ++text) {
        s.push_back(static_cast<char>(*text));
    }
    return s;
}

CciContext *relayCreate(CciFactory *, CciChar *, CciNode *node) {
    int rc = 0;
    auto *relay = new Relay();
    relay->node = node;
    cniCreateInputTerminal(&rc, node, u"in");
    relay->out = cniCreateOutputTerminal(&rc, node, u"out");
    relay->failure = cniCreateOutputTerminal(&rc, node, u"failure");
    relay->other = cniCreateOutputTerminal(&rc, node, u"other");
    return relay;
}

void relayDelete(CciContext *context) {
    delete static_cast<Relay *>(context);
}

int relaySet(CciContext *context, CciChar *name, CciChar *value) {
    auto *relay = static_cast<Relay *>(context);
    std::string n = narrow(name);
    if (n == "route") {
        relay->route = value;
    } else if (n == "raise") {
        relay->raise = narrow(value);
    } else if (n == "log") {
        relay->log = narrow(value) == "true";
    } else if (n == "refuse") {
        int rc = 0;
        std::string text = "property refused: " + narrow(value);
        cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "relaySet",
                          u"OSTRINV2_trevane", 12, text.c_str(), "BROKER", "refuse", "Relay(x)",
                          nullptr);
    } else {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    return CCI_ATTRIBUTE_OK;
}

int relayGet(CciContext *context, CciChar *name, CciChar *buffer, int size) {
    auto *relay = static_cast<Relay *>(context);
    if (narrow(name) != "route") {
        return CCI_ATTRIBUTE_UNKNOWN;
    }
    if (static_cast<int>(relay->route.size()) > size) {
        return CCI_BUFFER_TOO_SMALL;
    }
    std::memcpy(buffer, relay->route.c_str(), (relay->route.size() + 1) * sizeof(CciChar));
    return CCI_ATTRIBUTE_OK;
}

void relayEvaluate(CciContext *context, CciMessage *destinationList, CciMessage *exceptionList,
                   CciMessage *message) {
    auto *relay = static_cast<Relay *>(context);
    int rc = 0;
    if (relay->log) {
        cciLog(&rc, CCI_LOG_ERROR, __FILE__, __LINE__, "relayEvaluate", u"OSTRINV2_trevane", 11,
               "Failed to locate specified syntax element 'Root.X' in message", "BROKER",
               "CopyValueTo", "Root.X", nullptr);
    }
    if (!relay->raise.empty()) {
        cciThrowException(&rc, CCI_DATABASE_EXCEPTION, __FILE__, __LINE__, "relayEvaluate",
                          u"RelayCatalogue", 99, relay->raise.c_str(), relay->raise.c_str(),
                          nullptr);
    }
    CciTerminal *terminal = relay->route == u"failure" ? relay->failure
                            : relay->route == u"other" ? relay->other
                                                       : relay->out;
    cniPropagate(&rc, terminal, destinationList, exceptionList, message);
    if (rc == CCI_EXCEPTION) {
        cciRethrowLastException(nullptr);
    }
}

CciContext *badCreate(CciFactory *, CciChar *, CciNode *) {
    int rc = 0;
    cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__, "badCreate",
                      u"OSTRINV2_trevane", 5,
                      "Unrecognised node ('BadCreate') passed to createContext()", "BROKER",
                      "'BadCreate'", nullptr);
}

void noEvaluate(CciContext *, CciMessage *, CciMessage *, CciMessage *) {}

} // namespace

extern "C" __attribute__((visibility("default"))) int relayEntryCalls() {
    return entryCalls;
}

extern "C" __attribute__((visibility("default"))) void *bipGetMessageflowNodeFactory() {
    ++entryCalls;
    int rc = 0;
    CciFactory *factory = cniCreateNodeFactory(&rc, u"BrokerTestFactory");
    static CNI_VFT relay = CNI_VFT_DEFAULT;
    relay.iFpCreateContext = relayCreate;
    relay.iFpDeleteContext = relayDelete;
    relay.iFpSetAttribute = relaySet;
    relay.iFpGetAttribute = relayGet;
    relay.iFpEvaluate = relayEvaluate;
    cniDefineNodeClass(&rc, factory, u"Relay", &relay);
    static CNI_VFT bad = CNI_VFT_DEFAULT;
    bad.iFpCreateContext = badCreate;
    bad.iFpEvaluate = noEvaluate;
    cniDefineNodeClass(&rc, factory, u"BadCreate", &bad);
    return factory;
}
