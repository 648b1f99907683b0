// The options of trevane-broker's command line (main.cpp reads them with common/cmdline.h;
// the tests hold them against --help and the manual page).
#pragma once

#include "common/cmdline.h"

namespace runtime {

inline constexpr cmdline::Option BROKER_OPTIONS[] = {
    {"broker", 0, "a broker name"},
    {"execution-group", 0, "an execution group name"},
    {"queue-manager", 0, "a queue manager name"},
    {"instances", 0, "a number"},
    {"plugin-path", 0, "a directory"},
    {"catalogues", 0, "a directory"},
    {"log", 0, "a file name"},
    {"ready-file", 0, "a file name"},
    {"graph", 0, "a file name"},
    {"check", 0, nullptr},
    {"stop-wait", 0, "a number of seconds"},
    {"http", 0, "[ADDRESS:]PORT"},
    {"help", 'h', nullptr},
};

} // namespace runtime
