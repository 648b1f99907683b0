/*
 * The flow's counters in the Prometheus text exposition format (version 0.0.4), as the
 * console serves them at /metrics: one family per counter with # HELP and # TYPE lines,
 * labels flow, node, terminal, queue and instance, and a get-to-commit latency
 * histogram per flow instance. Used by console.cpp; pure text, so tests call it too.
 */
#ifndef TREVANE_RUNTIME_EXPOSITION_H
#define TREVANE_RUNTIME_EXPOSITION_H

#include <string>
#include <vector>

#include "runtime/flowpicture.h"
#include "runtime/statistics.h"

namespace runtime {

/* The content type of the exposition text. */
inline constexpr const char *EXPOSITION_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

/* The exposition of `statistics` and the queues' depths (a queue whose depth could not
   be read has no sample); `up` is the flow's health (1 deployed and reading, else 0). */
std::string expositionText(const FlowStatistics &statistics, const std::vector<FlowQueue> &queues,
                           bool up);

} // namespace runtime

#endif
