// The options of flowping's command line (flowping.cpp reads them with common/cmdline.h;
// the tests hold them against --help and the manual page). Its operands are the queue
// manager, the put queue and the get queue.
#pragma once

#include "common/cmdline.h"

inline constexpr cmdline::Option FLOWPING_OPTIONS[] = {
    {"help", 'h', nullptr},
};
