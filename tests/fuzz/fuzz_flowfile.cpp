// Fuzz target: the flow-file reader over any text, with environment references (a few
// variables are set, others are not) and connections. Every input either reads into a
// flow whose nodes and connections hold together, or is refused with a FlowFileError that
// names the file; nothing else may escape.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "runtime/flowfile.h"

namespace {

constexpr const char *FILE_NAME = "fuzz.yaml";

void check(bool condition, const char *what, const std::string &text) {
    if (!condition) {
        fprintf(stderr, "%s\n--- flow file ---\n%s\n", what, text.c_str());
        abort();
    }
}

void checkFlow(const runtime::FlowDefinition &flow, const std::string &text) {
    check(!flow.nodes.empty(), "a flow without nodes was accepted", text);
    check(!flow.name.empty(), "a flow without a name was accepted", text);
    check(flow.additionalInstances >= 0 &&
              flow.additionalInstances <= runtime::MAX_ADDITIONAL_INSTANCES,
          "instances out of range", text);
    std::set<std::string> names;
    for (const runtime::NodeDefinition &node : flow.nodes) {
        check(!node.name.empty() && !node.className.empty(), "node without name or class", text);
        check(node.name.find_first_of(" \t.>") == std::string::npos,
              "node name that cannot be connected", text);
        check(names.insert(node.name).second, "two nodes of one name", text);
        check(node.line > 0, "node without a line", text);
    }
    for (const runtime::ConnectionDefinition &c : flow.connections) {
        check(names.count(c.fromNode) == 1 && names.count(c.toNode) == 1,
              "connection to a node the flow does not have", text);
        check(!c.fromTerminal.empty() && !c.toTerminal.empty(), "connection without terminal",
              text);
        check(c.line > 0, "connection without a line", text);
    }
    for (const runtime::LibraryEntry &library : flow.libraries) {
        check(!library.path.empty(), "empty library entry", text);
        (void)runtime::resolveLibrary(flow, library, {});
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("FUZZ_QM", "QM1", 1);
    setenv("FUZZ_EMPTY", "", 1);
    setenv("FUZZ_LIB", "libtrevane.so", 1);
    setenv("FUZZ_BRACES", "${FUZZ_QM}", 1); // not expanded again
    unsetenv("FUZZ_UNSET");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) {
        return 0;
    }
    const std::string text(reinterpret_cast<const char *>(data), size);
    try {
        checkFlow(runtime::parseFlowText(text, FILE_NAME, "/nonexistent"), text);
    } catch (const runtime::FlowFileError &e) {
        check(e.file == FILE_NAME && std::string(e.what()).rfind(FILE_NAME, 0) == 0,
              "error that does not name the file", text);
        check(!e.reason.empty(), "error without a reason", text);
    }
    try {
        const std::string expanded = runtime::expandEnvironment(text, FILE_NAME, 1);
        check(expanded.size() <= text.size() + 64 * text.size(), "runaway expansion", text);
    } catch (const runtime::FlowFileError &e) {
        check(e.line == 1 && e.file == FILE_NAME, "expansion error without file:line", text);
    }
    return 0;
}
