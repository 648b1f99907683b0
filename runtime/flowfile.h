/*
 * Flow files: the YAML description of one message flow (its queue manager, the plug-in
 * libraries it needs, its nodes with their properties, the connections between their
 * terminals, and how many additional instances run it), read into plain records that
 * remember where each item was written, so that deploy errors can name file and line.
 * Called by the flow runtime (runtime.cpp) and by the trevane-broker command.
 */
#ifndef TREVANE_RUNTIME_FLOWFILE_H
#define TREVANE_RUNTIME_FLOWFILE_H

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace runtime {

/* A flow file that cannot be read or does not describe a flow. what() is
   "<file>:<line>: <reason>" (no line when the problem is the file as a whole). */
class FlowFileError : public std::runtime_error {
public:
    FlowFileError(const std::string &file, int line, const std::string &reason);
    std::string file;
    int line; /* 1-based; 0 when not tied to a line */
    std::string reason;
};

struct PropertySetting {
    std::string name;
    std::string value; /* environment references already expanded */
    int line = 0;
};

struct NodeDefinition {
    std::string name;
    std::string className;
    std::vector<PropertySetting> properties; /* in the order written */
    int line = 0;
};

/* "FROM.terminal -> TO.terminal" */
struct ConnectionDefinition {
    std::string fromNode;
    std::string fromTerminal;
    std::string toNode;
    std::string toTerminal;
    int line = 0;
};

struct LibraryEntry {
    std::string path; /* as written, expanded; resolve with resolveLibrary */
    int line = 0;
};

struct FlowDefinition {
    std::string file;      /* the path the flow was read from, for messages */
    std::string directory; /* its directory: relative library paths start here */
    std::string name;      /* `name`, else the file name without its extension */
    std::string queueManager;
    int queueManagerLine = 0;
    std::vector<LibraryEntry> libraries;
    std::vector<NodeDefinition> nodes;
    std::vector<ConnectionDefinition> connections;
    int additionalInstances = 0;
};

/* The largest number of additional instances a flow may ask for. */
constexpr int MAX_ADDITIONAL_INSTANCES = 64;

/* Reads and checks a flow file: the shape of every entry, unique node names, and that
   each connection names nodes of the flow. Throws FlowFileError. */
FlowDefinition parseFlowFile(const std::string &path);

/* The same for a flow held in memory; `file` names it in messages and `directory` is
   where relative library paths start. */
FlowDefinition parseFlowText(const std::string &text, const std::string &file,
                             const std::string &directory);

/* The connections of one loop of the flow, in the order a message would follow them
   (the last leads back to the first one's node); empty when the flow has no loop. A
   loop through any terminal counts: a message sent round it never leaves the flow. */
std::vector<ConnectionDefinition> findLoop(const FlowDefinition &flow);

/* Replaces each ${NAME} in `text` by the environment variable's value; "$${" stands for a
   literal "${". Throws FlowFileError (file, line) naming a variable that is not set or a
   reference without its closing brace. */
std::string expandEnvironment(std::string_view text, const std::string &file, int line);

/* The file a library entry names: a path with a '/' is taken from the flow file's
   directory when relative; a bare file name is looked up in each of `searchPath` in
   order, then in the flow file's directory, then in each of `defaultPath` (the
   installation's plug-in directory). The first existing file wins; when none exists, the
   path the entry would name in the flow's directory. */
std::string resolveLibrary(const FlowDefinition &flow, const LibraryEntry &library,
                           const std::vector<std::string> &searchPath,
                           const std::vector<std::string> &defaultPath = {});

} // namespace runtime

#endif
