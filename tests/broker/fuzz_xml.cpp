/*
 * libFuzzer target for the broker's XML parser and writer: any bytes either raise a
 * parser exception or parse into a tree whose written document parses again into a tree
 * that writes the same document.
 */
#include <cstdio>
#include <cstdlib>
#include <string>

#include "broker/host.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool quiet = [] {
        broker::setLogStream(std::fopen("/dev/null", "w"));
        return true;
    }();
    (void)quiet;
    CciMessageContext *context = broker::createContext();
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string first;
    bool parsed = false;
    try {
        first = broker::bodyOf(broker::createInputMessage(context, {}, input, "XML"));
        parsed = true;
    } catch (const broker::BrokerException &) {
        // malformed input, or a tree the writer refuses: both are reported, not crashes
    }
    if (parsed) {
        std::string second;
        try {
            second = broker::bodyOf(broker::createInputMessage(context, {}, first, "XML"));
        } catch (const broker::BrokerException &e) {
            std::fprintf(stderr, "written document does not parse again: %s\n%s\n", e.what(),
                         first.c_str());
            std::abort();
        }
        if (second != first) {
            std::fprintf(stderr, "writing is not stable:\n%s\n---\n%s\n", first.c_str(),
                         second.c_str());
            std::abort();
        }
    }
    broker::deleteContext(context);
    return 0;
}
