/*
 * Reading flow files. Owns the flow-file format: which keys exist, what each holds, and
 * the checks that can be made without the broker (shapes, unique node names, connections
 * between nodes that exist). Classes, terminals and property names are checked at deploy
 * by the runtime, which knows the node classes. Called by runtime.cpp and main.cpp.
 *
 * yaml-cpp keeps each node's position; every error carries the line it is about, so a
 * flow developer can go straight to it.
 */
#include "runtime/flowfile.h"

#include "common/readall.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include <yaml-cpp/yaml.h>

namespace runtime {

namespace {

int lineOf(const YAML::Node &node) {
    YAML::Mark mark = node.Mark();
    return mark.line < 0 ? 0 : mark.line + 1;
}

const char *kindName(const YAML::Node &node) {
    switch (node.Type()) {
    case YAML::NodeType::Null:
        return "nothing";
    case YAML::NodeType::Scalar:
        return "a single value";
    case YAML::NodeType::Sequence:
        return "a list";
    case YAML::NodeType::Map:
        return "a mapping";
    default:
        return "an undefined value";
    }
}

class Reader {
public:
    Reader(std::string file, std::string directory)
        : file_(std::move(file)), directory_(std::move(directory)) {}

    FlowDefinition read(const std::string &text) {
        try {
            return readDocument(text);
        } catch (const YAML::Exception &e) {
            // Every shape is checked before it is read; this is the parser's own verdict,
            // or a safety net that still names the file and the line.
            throw FlowFileError(file_, e.mark.line < 0 ? 0 : e.mark.line + 1,
                                e.msg.empty() ? std::string("the file is not valid YAML") : e.msg);
        }
    }

private:
    FlowDefinition readDocument(const std::string &text) {
        YAML::Node root = YAML::Load(text);
        if (!root.IsMap()) {
            throw FlowFileError(file_, lineOf(root),
                                std::string("a flow file is a mapping of flow settings, not ") +
                                    kindName(root));
        }
        FlowDefinition flow;
        flow.file = file_;
        flow.directory = directory_;
        flow.name = defaultName();
        bool sawNodes = false;
        std::set<std::string> settings;
        for (const auto &entry : root) {
            const std::string key = keyOf(entry.first, "a flow setting's name");
            const YAML::Node &value = entry.second;
            // yaml-cpp keeps a repeated key; a second "nodes" would escape the name checks.
            if (!settings.insert(key).second) {
                throw FlowFileError(file_, lineOf(entry.first),
                                    "setting '" + key + "' is given twice");
            }
            if (key == "name") {
                flow.name = scalar(value, "name");
                if (flow.name.empty()) {
                    throw FlowFileError(file_, lineOf(value), "the flow's name is empty");
                }
            } else if (key == "queueManager") {
                flow.queueManager =
                    expandEnvironment(scalar(value, "queueManager"), file_, lineOf(value));
                flow.queueManagerLine = lineOf(value);
            } else if (key == "libraries") {
                readLibraries(value, flow);
            } else if (key == "additionalInstances") {
                flow.additionalInstances = readInstances(value);
            } else if (key == "nodes") {
                readNodes(value, flow);
                sawNodes = true;
            } else if (key == "connections") {
                readConnections(value, flow);
            } else {
                throw FlowFileError(file_, lineOf(entry.first),
                                    "unknown setting '" + key +
                                        "' (a flow has name, queueManager, libraries, "
                                        "additionalInstances, nodes and connections)");
            }
        }
        if (!sawNodes || flow.nodes.empty()) {
            throw FlowFileError(file_, 0, "the flow has no nodes");
        }
        checkConnections(flow);
        return flow;
    }

    // A mapping's key as text: a key that is a list or a mapping names no setting.
    std::string keyOf(const YAML::Node &key, const std::string &what) const {
        if (!key.IsScalar()) {
            throw FlowFileError(file_, lineOf(key),
                                what + " must be a single value, not " + kindName(key));
        }
        return key.Scalar();
    }

    std::string defaultName() const {
        std::string base = file_;
        if (size_t slash = base.find_last_of('/'); slash != std::string::npos) {
            base = base.substr(slash + 1);
        }
        if (size_t dot = base.find_last_of('.'); dot != std::string::npos && dot > 0) {
            base = base.substr(0, dot);
        }
        return base.empty() ? "flow" : base;
    }

    std::string scalar(const YAML::Node &value, const std::string &what) const {
        if (value.IsNull()) {
            return "";
        }
        if (!value.IsScalar()) {
            throw FlowFileError(file_, lineOf(value),
                                what + " must be a single value, not " + kindName(value));
        }
        return value.Scalar();
    }

    void readLibraries(const YAML::Node &value, FlowDefinition &flow) const {
        if (value.IsNull()) {
            return;
        }
        if (!value.IsSequence()) {
            throw FlowFileError(file_, lineOf(value),
                                std::string("libraries must be a list of plug-in library "
                                            "files, not ") +
                                    kindName(value));
        }
        for (const auto &item : value) {
            std::string path =
                expandEnvironment(scalar(item, "a library entry"), file_, lineOf(item));
            if (path.empty()) {
                throw FlowFileError(file_, lineOf(item), "a library entry is empty");
            }
            flow.libraries.push_back({path, lineOf(item)});
        }
    }

    int readInstances(const YAML::Node &value) const {
        std::string text = scalar(value, "additionalInstances");
        char *end = nullptr;
        long number = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || end == nullptr || *end != '\0' || number < 0 ||
            number > MAX_ADDITIONAL_INSTANCES) {
            throw FlowFileError(file_, lineOf(value),
                                "additionalInstances must be a whole number from 0 to " +
                                    std::to_string(MAX_ADDITIONAL_INSTANCES) + ", not '" + text +
                                    "'");
        }
        return static_cast<int>(number);
    }

    void readNodes(const YAML::Node &value, FlowDefinition &flow) const {
        if (!value.IsSequence()) {
            throw FlowFileError(file_, lineOf(value),
                                std::string("nodes must be a list, not ") + kindName(value));
        }
        std::set<std::string> names;
        for (const auto &item : value) {
            if (!item.IsMap()) {
                throw FlowFileError(file_, lineOf(item),
                                    std::string("a node is a mapping with name, class and "
                                                "properties, not ") +
                                        kindName(item));
            }
            NodeDefinition node;
            node.line = lineOf(item);
            std::set<std::string> settings;
            for (const auto &entry : item) {
                const std::string key = keyOf(entry.first, "a node setting's name");
                if (!settings.insert(key).second) {
                    throw FlowFileError(file_, lineOf(entry.first),
                                        "node setting '" + key + "' is given twice");
                }
                if (key == "name") {
                    node.name = scalar(entry.second, "a node's name");
                } else if (key == "class") {
                    node.className = scalar(entry.second, "a node's class");
                } else if (key == "properties") {
                    readProperties(entry.second, node);
                } else {
                    throw FlowFileError(file_, lineOf(entry.first),
                                        "unknown node setting '" + key +
                                            "' (a node has name, class and properties)");
                }
            }
            checkNodeName(node);
            if (node.className.empty()) {
                throw FlowFileError(file_, node.line, "node '" + node.name + "' has no class");
            }
            if (!names.insert(node.name).second) {
                throw FlowFileError(file_, node.line,
                                    "the flow already has a node named '" + node.name + "'");
            }
            flow.nodes.push_back(std::move(node));
        }
    }

    void checkNodeName(const NodeDefinition &node) const {
        if (node.name.empty()) {
            throw FlowFileError(file_, node.line, "a node has no name");
        }
        for (char c : node.name) {
            if (c == ' ' || c == '\t' || c == '.' || c == '>' ||
                static_cast<unsigned char>(c) < 0x20) {
                throw FlowFileError(file_, node.line,
                                    "node name '" + escapedName(node.name) +
                                        "' may not contain blanks, '.' or '>' (they "
                                        "separate names in connections)");
            }
        }
    }

    /* The name as it can be shown on one line: control bytes (NUL included, which would
       end the text early) and backslashes written as escapes. */
    static std::string escapedName(const std::string &name) {
        std::string shown;
        for (char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '\\') {
                shown += "\\\\";
            } else if (byte < 0x20 || byte == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\x%02x", byte);
                shown += escape;
            } else {
                shown += c;
            }
        }
        return shown;
    }

    void readProperties(const YAML::Node &value, NodeDefinition &node) const {
        if (value.IsNull()) {
            return;
        }
        if (!value.IsMap()) {
            throw FlowFileError(file_, lineOf(value),
                                std::string("properties must be a mapping of names to values, "
                                            "not ") +
                                    kindName(value));
        }
        std::set<std::string> seen;
        for (const auto &entry : value) {
            const std::string name = keyOf(entry.first, "a property's name");
            const int line = lineOf(entry.first);
            if (!seen.insert(name).second) {
                throw FlowFileError(file_, line, "property '" + name + "' is given twice");
            }
            std::string text = scalar(entry.second, "property '" + name + "'");
            node.properties.push_back({name, expandEnvironment(text, file_, line), line});
        }
    }

    void readConnections(const YAML::Node &value, FlowDefinition &flow) const {
        if (value.IsNull()) {
            return;
        }
        if (!value.IsSequence()) {
            throw FlowFileError(file_, lineOf(value),
                                std::string("connections must be a list of "
                                            "'FROM.terminal -> TO.terminal', not ") +
                                    kindName(value));
        }
        for (const auto &item : value) {
            flow.connections.push_back(parseConnection(scalar(item, "a connection"), lineOf(item)));
        }
    }

    ConnectionDefinition parseConnection(const std::string &text, int line) const {
        auto fail = [&](const std::string &why) {
            return FlowFileError(file_, line,
                                 "connection '" + text + "': " + why +
                                     " (write 'FROM.terminal -> TO.terminal')");
        };
        size_t arrow = text.find("->");
        if (arrow == std::string::npos || text.find("->", arrow + 2) != std::string::npos) {
            throw fail("needs exactly one '->'");
        }
        ConnectionDefinition c;
        c.line = line;
        auto end = [&](std::string side, std::string &node, std::string &terminal) {
            size_t first = side.find_first_not_of(" \t");
            size_t last = side.find_last_not_of(" \t");
            side = first == std::string::npos ? "" : side.substr(first, last - first + 1);
            size_t dot = side.find('.');
            if (dot == std::string::npos || dot == 0 || dot + 1 == side.size() ||
                side.find_first_of(". \t", dot + 1) != std::string::npos ||
                side.find_first_of(" \t") != std::string::npos) {
                throw fail("'" + side + "' is not NODE.terminal");
            }
            node = side.substr(0, dot);
            terminal = side.substr(dot + 1);
        };
        end(text.substr(0, arrow), c.fromNode, c.fromTerminal);
        end(text.substr(arrow + 2), c.toNode, c.toTerminal);
        return c;
    }

    void checkConnections(const FlowDefinition &flow) const {
        std::set<std::string> names;
        for (const NodeDefinition &n : flow.nodes) {
            names.insert(n.name);
        }
        std::set<std::string> seen;
        for (const ConnectionDefinition &c : flow.connections) {
            for (const std::string *name : {&c.fromNode, &c.toNode}) {
                if (names.count(*name) == 0) {
                    throw FlowFileError(file_, c.line,
                                        "connection " + c.fromNode + "." + c.fromTerminal + " -> " +
                                            c.toNode + "." + c.toTerminal +
                                            ": the flow has no node named '" + *name + "'");
                }
            }
            std::string key =
                c.fromNode + "." + c.fromTerminal + ">" + c.toNode + "." + c.toTerminal;
            if (!seen.insert(key).second) {
                throw FlowFileError(file_, c.line,
                                    "connection " + c.fromNode + "." + c.fromTerminal + " -> " +
                                        c.toNode + "." + c.toTerminal + " is given twice");
            }
        }
    }

    std::string file_;
    std::string directory_;
};

bool isFile(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

FlowFileError::FlowFileError(const std::string &file_, int line_, const std::string &reason_)
    : std::runtime_error(file_ + (line_ > 0 ? ":" + std::to_string(line_) : std::string()) + ": " +
                         reason_),
      file(file_), line(line_), reason(reason_) {}

FlowDefinition parseFlowFile(const std::string &path) {
    // Opened without waiting (a fifo would block the open), then refused unless it is a
    // regular file: a directory, a device or a fifo is no flow file, and reading one
    // may never end.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw FlowFileError(path, 0,
                            std::string("cannot read the flow file: ") + std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        int error = errno;
        ::close(fd);
        throw FlowFileError(path, 0,
                            std::string("cannot read the flow file: ") + std::strerror(error));
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        throw FlowFileError(path, 0,
                            S_ISDIR(info.st_mode)
                                ? "is a directory, not a flow file"
                                : "is not a regular file (a device, fifo or socket), so it is "
                                  "no flow file");
    }
    std::string text;
    if (int error = readall::readAll(fd, text); error != 0) {
        ::close(fd);
        throw FlowFileError(path, 0,
                            std::string("cannot read the flow file: ") + std::strerror(error));
    }
    ::close(fd);
    std::string directory = ".";
    if (size_t slash = path.find_last_of('/'); slash != std::string::npos) {
        directory = slash == 0 ? "/" : path.substr(0, slash);
    }
    return parseFlowText(text, path, directory);
}

FlowDefinition parseFlowText(const std::string &text, const std::string &file,
                             const std::string &directory) {
    try {
        return Reader(file, directory).read(text);
    } catch (const YAML::Exception &e) {
        // Whatever yaml-cpp refuses past parsing (a mapping or a list where a name was
        // expected, for one) is still an error of this file, at its place.
        throw FlowFileError(file, e.mark.line < 0 ? 0 : e.mark.line + 1,
                            "an entry of an unexpected shape (" + e.msg + ")");
    }
}

std::vector<ConnectionDefinition> findLoop(const FlowDefinition &flow) {
    std::map<std::string, std::vector<const ConnectionDefinition *>> outgoing;
    for (const ConnectionDefinition &c : flow.connections) {
        outgoing[c.fromNode].push_back(&c);
    }
    enum class Mark { New, OnPath, Done };
    std::map<std::string, Mark> marks;
    // Depth first without recursion: the path holds each node on the way with the index
    // of its next connection to follow, and the connection that led to it.
    struct Step {
        std::string node;
        size_t next;
        const ConnectionDefinition *via;
    };
    for (const NodeDefinition &start : flow.nodes) {
        if (marks[start.name] != Mark::New) {
            continue;
        }
        std::vector<Step> path{{start.name, 0, nullptr}};
        marks[start.name] = Mark::OnPath;
        while (!path.empty()) {
            Step &top = path.back();
            const auto &edges = outgoing[top.node];
            if (top.next == edges.size()) {
                marks[top.node] = Mark::Done;
                path.pop_back();
                continue;
            }
            const ConnectionDefinition *c = edges[top.next++];
            Mark &mark = marks[c->toNode];
            if (mark == Mark::OnPath) {
                std::vector<ConnectionDefinition> loop;
                size_t first = path.size() - 1;
                while (path[first].node != c->toNode) {
                    --first;
                }
                for (size_t i = first + 1; i < path.size(); ++i) {
                    loop.push_back(*path[i].via);
                }
                loop.push_back(*c);
                return loop;
            }
            if (mark == Mark::New) {
                mark = Mark::OnPath;
                path.push_back({c->toNode, 0, c});
            }
        }
    }
    return {};
}

std::string expandEnvironment(std::string_view text, const std::string &file, int line) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 3, "$${") == 0) {
            out += "${";
            i += 2;
            continue;
        }
        if (text.compare(i, 2, "${") != 0) {
            out.push_back(text[i]);
            continue;
        }
        size_t close = text.find('}', i + 2);
        if (close == std::string_view::npos) {
            throw FlowFileError(file, line,
                                "'" + std::string(text) + "': '${' without its closing '}'");
        }
        std::string name(text.substr(i + 2, close - i - 2));
        const char *value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value == nullptr) {
            throw FlowFileError(file, line,
                                "'" + std::string(text) + "' refers to environment variable '" +
                                    name + "', which is not set");
        }
        out += value;
        i = close;
    }
    return out;
}

std::string resolveLibrary(const FlowDefinition &flow, const LibraryEntry &library,
                           const std::vector<std::string> &searchPath,
                           const std::vector<std::string> &defaultPath) {
    const std::string &path = library.path;
    auto inFlowDirectory = [&] { return path.front() == '/' ? path : flow.directory + "/" + path; };
    if (path.find('/') != std::string::npos) {
        return inFlowDirectory();
    }
    auto firstIn = [&](const std::vector<std::string> &directories) -> std::string {
        for (const std::string &directory : directories) {
            if (directory.empty()) {
                continue;
            }
            std::string candidate = directory + "/" + path;
            if (isFile(candidate)) {
                return candidate;
            }
        }
        return {};
    };
    if (std::string found = firstIn(searchPath); !found.empty()) {
        return found;
    }
    if (isFile(inFlowDirectory())) {
        return inFlowDirectory();
    }
    if (std::string found = firstIn(defaultPath); !found.empty()) {
        return found;
    }
    return inFlowDirectory();
}

} // namespace runtime
