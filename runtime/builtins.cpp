/*
 * The set of built-in node classes: registers them with the broker once per process and
 * answers the runtime's questions about deployed built-in nodes. Called by runtime.cpp
 * and the tests.
 */
#include "runtime/builtins.h"

#include <mutex>

#include "broker/host.h"
#include "runtime/builtin.h"

namespace runtime {

void registerBuiltinNodes() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerMQInputClass();
        registerMQOutputClass();
        registerDatabaseClass();
        registerTraceClass();
    });
}

bool isBuiltinNode(const CciNode *node) {
    return builtinOf(node) != nullptr;
}

bool isInputNode(const CciNode *node) {
    return isBuiltinNode(node) && broker::nodeClass(node) == MQINPUT_CLASS;
}

bool usesQueueManager(const CciNode *node) {
    if (!isBuiltinNode(node)) {
        return false;
    }
    std::string className = broker::nodeClass(node);
    return className == MQINPUT_CLASS || className == MQOUTPUT_CLASS;
}

std::string configurationProblem(const CciNode *node) {
    BuiltinNode *builtin = builtinOf(node);
    return builtin == nullptr ? "" : builtin->configurationProblem();
}

void interruptNode(const CciNode *node) {
    if (BuiltinNode *builtin = builtinOf(node)) {
        builtin->interrupt();
    }
}

} // namespace runtime
