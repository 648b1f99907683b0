/*
 * Drawing the deployed flow for the console (see flowpicture.h). The --graph text is read
 * back into a Graphviz graph, so the picture has exactly the nodes, ports and edges that
 * --graph writes; each node's record label is replaced by an HTML-like table that keeps
 * the record's port names (i_<k> for input terminals, o_<k> for output terminals) and
 * adds the counter cells, and the queues are added as nodes of their own.
 */
#include "runtime/flowpicture.h"

#include <cstdio>
#include <gvc.h>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace runtime {

namespace {

// A figure cell: the group Graphviz writes for it carries the id, and the tooltip says
// what the number counts.
std::string figureCell(const std::string &id, const std::string &tooltip, const std::string &port,
                       const std::string &value) {
    return "<TD ALIGN=\"RIGHT\" WIDTH=\"64\" ID=\"" + id + "\" HREF=\"#" + id + "\" TOOLTIP=\"" +
           htmlEscape(tooltip) + "\"" + (port.empty() ? "" : " PORT=\"" + port + "\"") + ">" +
           htmlEscape(value) + "</TD>";
}

std::string labelCell(const std::string &text, const std::string &port = "") {
    return "<TD ALIGN=\"LEFT\"" + (port.empty() ? std::string() : " PORT=\"" + port + "\"") +
           "><FONT COLOR=\"#44505c\">" + htmlEscape(text) + "</FONT></TD>";
}

std::string nodeLabel(size_t index, const NodeStatistics &node) {
    std::string rows = "<TABLE BORDER=\"0\" CELLBORDER=\"1\" CELLSPACING=\"0\" CELLPADDING=\"3\" "
                       "BGCOLOR=\"white\" COLOR=\"#7d8b99\">";
    rows += "<TR><TD COLSPAN=\"2\" BGCOLOR=\"#dde7f0\"><B>" + htmlEscape(node.name) +
            "</B><BR/><FONT POINT-SIZE=\"10\" COLOR=\"#44505c\">" + htmlEscape(node.className) +
            "</FONT></TD></TR>";
    const std::string in = node.inputs.empty() ? "taken" : node.inputs[0];
    rows += "<TR>" + labelCell(in, node.inputs.empty() ? "" : "i_0") +
            figureCell(figureId(index, "in"),
                       (node.inputs.empty() ? "messages taken by " : "messages into ") + node.name,
                       "", std::to_string(node.in)) +
            "</TR>";
    for (size_t k = 1; k < node.inputs.size(); ++k) {
        rows += "<TR>" + labelCell(node.inputs[k], "i_" + std::to_string(k)) + "<TD></TD></TR>";
    }
    rows += "<TR>" + labelCell("exceptions") +
            figureCell(figureId(index, "exc"), "exceptions raised by " + node.name, "",
                       std::to_string(node.exceptions)) +
            "</TR>";
    rows +=
        "<TR>" + labelCell("backed out") +
        figureCell(figureId(index, "bo"), "units of work backed out after reaching " + node.name,
                   "", std::to_string(node.backedOut)) +
        "</TR>";
    for (size_t k = 0; k < node.outputs.size(); ++k) {
        const std::string &terminal = node.outputs[k].first;
        rows +=
            "<TR>" + labelCell("\u2192 " + terminal) +
            figureCell(terminalFigureId(index, k), "messages through " + node.name + "." + terminal,
                       "o_" + std::to_string(k), std::to_string(node.outputs[k].second)) +
            "</TR>";
    }
    return rows + "</TABLE>";
}

std::string depthText(long value) {
    return value < 0 ? "?" : std::to_string(value);
}

std::string queueLabel(size_t index, const FlowQueue &queue) {
    return "<TABLE BORDER=\"0\" CELLBORDER=\"0\" CELLSPACING=\"0\" CELLPADDING=\"2\">"
           "<TR><TD COLSPAN=\"2\"><B>" +
           htmlEscape(queue.name) + "</B></TD></TR><TR>" + labelCell("depth") +
           figureCell(queueFigureId(index, "depth"), "messages on " + queue.name, "",
                      depthText(queue.depth)) +
           "</TR><TR>" + labelCell("in units") +
           figureCell(queueFigureId(index, "held"),
                      "messages of " + queue.name + " held in units of work", "",
                      depthText(queue.held)) +
           "</TR></TABLE>";
}

// Sets an attribute whose value is an HTML-like label.
void setHtml(Agraph_t *graph, void *object, Agsym_t *symbol, const std::string &text) {
    char *value = agstrdup_html(graph, const_cast<char *>(text.c_str()));
    agxset(object, symbol, value);
    agstrfree(graph, value);
}

void set(void *object, const char *name, const std::string &value) {
    agsafeset(object, const_cast<char *>(name), const_cast<char *>(value.c_str()),
              const_cast<char *>(""));
}

// The graph's attribute of that name, declared with `fallback` as its default only when
// the graph does not declare it already.
Agsym_t *attribute(Agraph_t *graph, int kind, const char *name, const char *fallback) {
    Agsym_t *found = agattr(graph, kind, const_cast<char *>(name), nullptr);
    return found != nullptr
               ? found
               : agattr(graph, kind, const_cast<char *>(name), const_cast<char *>(fallback));
}

// One Graphviz context for the process, used under its lock: the library is not
// thread-safe, and its text-size cache outlives a freed context (a second context then
// reads freed font names).
struct Graphviz {
    std::mutex mutex;
    GVC_t *context = gvContext();
};

Graphviz &graphviz() {
    static Graphviz *instance = new Graphviz();
    return *instance;
}

struct GraphvizError {
    static std::string last() {
        const char *text = aglasterr();
        std::string out = text == nullptr ? "" : text;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
            out.pop_back();
        }
        return out.empty() ? "no reason given" : out;
    }
};

} // namespace

std::string htmlEscape(const std::string &text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string figureId(size_t node, const char *counter) {
    return "n" + std::to_string(node) + "_" + counter;
}

std::string terminalFigureId(size_t node, size_t terminal) {
    return "n" + std::to_string(node) + "_t" + std::to_string(terminal);
}

std::string queueFigureId(size_t queue, const char *what) {
    return "q" + std::to_string(queue) + "_" + what;
}

std::vector<std::pair<std::string, std::string>>
pictureFigures(const FlowStatistics &statistics, const std::vector<FlowQueue> &queues) {
    std::vector<std::pair<std::string, std::string>> figures;
    for (size_t i = 0; i < statistics.nodes.size(); ++i) {
        const NodeStatistics &node = statistics.nodes[i];
        figures.emplace_back(figureId(i, "in"), std::to_string(node.in));
        figures.emplace_back(figureId(i, "exc"), std::to_string(node.exceptions));
        figures.emplace_back(figureId(i, "bo"), std::to_string(node.backedOut));
        for (size_t k = 0; k < node.outputs.size(); ++k) {
            figures.emplace_back(terminalFigureId(i, k), std::to_string(node.outputs[k].second));
        }
    }
    for (size_t j = 0; j < queues.size(); ++j) {
        figures.emplace_back(queueFigureId(j, "depth"), depthText(queues[j].depth));
        figures.emplace_back(queueFigureId(j, "held"), depthText(queues[j].held));
    }
    return figures;
}

std::string renderFlowPicture(const std::string &dot, const FlowStatistics &statistics,
                              const std::vector<FlowQueue> &queues) {
    Graphviz &library = graphviz();
    std::lock_guard lock(library.mutex);
    agseterr(AGMAX); // complaints are read back with aglasterr, not printed
    GVC_t *context = library.context;
    if (context == nullptr) {
        throw std::runtime_error("cannot draw the flow: the Graphviz library did not start");
    }
    std::unique_ptr<Agraph_t, int (*)(Agraph_t *)> graph(agmemread(dot.c_str()), agclose);
    if (graph == nullptr) {
        throw std::runtime_error("cannot draw the flow: Graphviz cannot read its graph: " +
                                 GraphvizError::last());
    }
    Agraph_t *g = graph.get();
    set(g, "bgcolor", "transparent");
    set(g, "nodesep", "0.4");
    set(g, "ranksep", "0.7");
    Agsym_t *label = attribute(g, AGNODE, "label", "\\N");
    Agsym_t *shape = attribute(g, AGNODE, "shape", "ellipse");
    agattr(g, AGNODE, const_cast<char *>("fontsize"), const_cast<char *>("12"));
    agattr(g, AGEDGE, const_cast<char *>("color"), const_cast<char *>("#44505c"));
    for (size_t i = 0; i < statistics.nodes.size(); ++i) {
        Agnode_t *node = agnode(g, const_cast<char *>(statistics.nodes[i].name.c_str()), 0);
        if (node == nullptr) {
            continue; // --graph draws every node; nothing to add counters to otherwise
        }
        agxset(node, shape, const_cast<char *>("plain"));
        setHtml(g, node, label, nodeLabel(i, statistics.nodes[i]));
    }
    for (size_t j = 0; j < queues.size(); ++j) {
        const FlowQueue &queue = queues[j];
        std::string name = "queue " + queue.name;
        while (agnode(g, const_cast<char *>(name.c_str()), 0) != nullptr) {
            name += "'"; // a flow node already has that name
        }
        Agnode_t *node = agnode(g, const_cast<char *>(name.c_str()), 1);
        agxset(node, shape, const_cast<char *>("cylinder"));
        set(node, "style", "filled");
        set(node, "fillcolor", queue.role == FlowQueue::Role::Backout ? "#f6e3dc" : "#eef3e2");
        set(node, "color", "#7d8b99");
        setHtml(g, node, label, queueLabel(j, queue));
        Agnode_t *owner = agnode(g, const_cast<char *>(queue.node.c_str()), 0);
        if (owner == nullptr) {
            continue;
        }
        Agedge_t *edge = queue.role == FlowQueue::Role::Input ? agedge(g, node, owner, nullptr, 1)
                                                              : agedge(g, owner, node, nullptr, 1);
        set(edge, "style", "dashed");
        if (queue.role == FlowQueue::Role::Backout) {
            set(edge, "label", "backout");
            set(edge, "fontsize", "10");
        }
    }
    if (gvLayout(context, g, "dot") != 0) {
        throw std::runtime_error("cannot draw the flow: Graphviz cannot lay it out: " +
                                 GraphvizError::last());
    }
    char *data = nullptr;
    unsigned int length = 0;
    int rendered = gvRenderData(context, g, "svg", &data, &length);
    std::string svg = rendered == 0 && data != nullptr ? std::string(data, length) : "";
    gvFreeRenderData(data);
    gvFreeLayout(context, g);
    size_t start = svg.find("<svg");
    if (start == std::string::npos) {
        throw std::runtime_error("cannot draw the flow: Graphviz wrote no SVG (is its svg "
                                 "renderer installed?)");
    }
    return svg.substr(start);
}

} // namespace runtime
