/*
 * The deployed flow as the operator's console shows it: the same Graphviz graph that
 * --graph writes, laid out and rendered to SVG through the Graphviz library, with every
 * node carrying cells for its counters (messages in, exceptions, back-outs, one per
 * output terminal) and every queue the flow reads or writes drawn with its depth. Each
 * figure sits in an SVG group whose id the page's script finds ("a_" + the figure's id),
 * so the page refreshes the figures without reloading the picture. Used by console.cpp.
 */
#ifndef TREVANE_RUNTIME_FLOWPICTURE_H
#define TREVANE_RUNTIME_FLOWPICTURE_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "runtime/statistics.h"

namespace runtime {

/* A queue the flow uses, and its depth when last read. */
struct FlowQueue {
    enum class Role { Input, Backout, Output };
    std::string name;
    Role role = Role::Input;
    std::string node; /* the node that reads or writes it */
    long depth = -1;  /* messages a get can take now; -1 unknown */
    long held = -1;   /* messages in units of work; -1 unknown */
};

/* The figure ids: "n<i>_in", "n<i>_exc", "n<i>_bo", "n<i>_t<k>" for node i of the flow's
   order and its k-th output terminal; "q<j>_depth" and "q<j>_held" for queue j. */
// The text with &, <, >, " and ' written as character references, for HTML and
// Graphviz HTML labels alike.
std::string htmlEscape(const std::string &text);

std::string figureId(size_t node, const char *counter);
std::string terminalFigureId(size_t node, size_t terminal);
std::string queueFigureId(size_t queue, const char *what);

/* The figures' current values by id ("?" for a depth that could not be read). */
std::vector<std::pair<std::string, std::string>>
pictureFigures(const FlowStatistics &statistics, const std::vector<FlowQueue> &queues);

/* Lays out `dot` (the --graph text of the flow) with the counter cells of `statistics`'
   nodes and the queues added, and renders it as an SVG element (no XML prolog). Throws
   std::runtime_error with Graphviz's complaint when the graph cannot be read or laid
   out. Calls into the Graphviz library one at a time (it is not thread-safe). */
std::string renderFlowPicture(const std::string &dot, const FlowStatistics &statistics,
                              const std::vector<FlowQueue> &queues);

} // namespace runtime

#endif
