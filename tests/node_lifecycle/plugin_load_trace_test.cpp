// The trace of a load: with TREVANE_PLUGIN_TRACE asking for entry/exit and information
// records, the entry record of bipGetMessageflowNodeFactory is followed by the
// deployment banner with the process id and "About to create initMutex". Runs alone in
// its executable: the trace specification is read once per process, at the first record.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "broker/host.h"

namespace {

/* The record texts of the file: "{"/"|"/"}" lines with indentation and markers removed. */
std::vector<std::string> records(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, 3, "|  ") == 0) {
            lines.push_back(line.substr(start + 3));
        } else if (start != std::string::npos) {
            lines.push_back(line.substr(start));
        }
    }
    return lines;
}

TEST(LoadTrace, EntryIsFollowedByBannerWithProcessIdAndMutexCreation) {
    std::string path = ::testing::TempDir() + "trevane_load_" + std::to_string(getpid()) + ".trc";
    std::string traceSetting = "-f " + path + " -l TRACE_ENTRY_EXIT|TRACE_INFO -c";
    ASSERT_EQ(setenv("TREVANE_PLUGIN_TRACE", traceSetting.c_str(), 1), 0);
    broker::loadPlugin(TREVANE_PLUGIN_PATH);

    std::vector<std::string> lines = records(path);
    std::string all;
    for (const std::string &line : lines) {
        all += line + "\n";
    }
    size_t entry = 0;
    while (entry < lines.size() && lines[entry] != "{  bipGetMessageflowNodeFactory(void)") {
        ++entry;
    }
    ASSERT_LT(entry + 4, lines.size()) << "trace file " << path << ":\n" << all;
    const std::string hyphens = "<" + std::string(54, '-') + ">";
    std::vector<std::string> expected = {
        hyphens,
        "<**** Start of trevane deployment (pid=" + std::to_string(getpid()) + ") ****>",
        hyphens,
        "About to create initMutex",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + entry + 1, lines.begin() + entry + 5),
              expected)
        << "trace file " << path << ":\n"
        << all;
    unlink(path.c_str());
}

} // namespace
