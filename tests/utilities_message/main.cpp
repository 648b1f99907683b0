// Test main of the message utilities: switches the plug-in's trace on (information and
// error records, flushed per line) into a file of this process before any trace record
// is written, so that tests can read what an operation traced.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

std::string traceFilePath;

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    traceFilePath = ::testing::TempDir() + "trevane_utilities_message_" +
                    std::to_string(static_cast<long>(getpid())) + ".trc";
    const std::string traceSetting = "-f " + traceFilePath + " -c -l TRACE_ERROR|TRACE_INFO";
    setenv("TREVANE_PLUGIN_TRACE", traceSetting.c_str(), 1);
    const int result = RUN_ALL_TESTS();
    std::remove(traceFilePath.c_str());
    return result;
}
