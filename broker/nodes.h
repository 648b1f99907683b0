/*
 * Node records of the stand-in broker (factories, classes, nodes, terminals, flows),
 * shared by nodes.cpp, loader.cpp and exception.cpp only.
 */
#ifndef TREVANE_BROKER_NODES_H
#define TREVANE_BROKER_NODES_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "broker/host.h"

namespace broker {

constexpr uint32_t FACTORY_MAGIC = 0x46414354;  // "FACT"
constexpr uint32_t NODE_MAGIC = 0x4e4f4445;     // "NODE"
constexpr uint32_t TERMINAL_MAGIC = 0x5445524d; // "TERM"

struct NodeClass {
    std::string name;
    std::u16string name16;
    CNI_VFT table;
    CciFactory *factory;
};

struct Connection {
    CciNode *node;
    CciTerminal *input;
};

} // namespace broker

struct CciFactory {
    uint32_t magic = broker::FACTORY_MAGIC;
    std::string name;
};

struct CciTerminal {
    uint32_t magic = broker::TERMINAL_MAGIC;
    CciNode *node = nullptr;
    std::string name;
    bool isInput = false;
    std::vector<broker::Connection> connections; /* output terminals */
    int incoming = 0;                            /* input terminals: connections to it */
    uint32_t counterSlot = UINT32_MAX;           /* output terminals: see counters.h */
    ~CciTerminal() { magic = 0; }
};

struct CciNode {
    uint32_t magic = broker::NODE_MAGIC;
    broker::Flow *flow = nullptr;
    broker::NodeClass nodeClass;
    std::string name;
    CciContext *context = nullptr;
    std::vector<std::unique_ptr<CciTerminal>> inputs;
    std::vector<std::unique_ptr<CciTerminal>> outputs;
    uint32_t counterSlot = UINT32_MAX; /* see counters.h */
    ~CciNode() { magic = 0; }
};

namespace broker {

struct Flow {
    std::string name;
    std::vector<std::unique_ptr<CciNode>> nodes;
};

/* The node whose slot the calling thread is running (innermost), or null. */
const CciNode *currentNode();

/* Copies a defined class; false when no factory defined it. */
bool findClass(std::string_view className, NodeClass &found);

/* The loader records the classes a library defines while its entry point runs. */
void beginLibraryLoad(PluginLibrary *library);
void endLibraryLoad();

} // namespace broker

#endif
