// Helpers of the trace tests; see tracetest.h.
#include "tests/trace/tracetest.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <sstream>

#include "trevane/traceinit.h"

const char *const traceTestVariable = "TREVANE_TRACE_TEST";
const char *callersTraceEnvironmentVariable = "TREVANE_TRACE_TEST";

namespace {

std::string scratchDirectory() {
    static std::string directory = [] {
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/trevane-trace-XXXXXX";
        if (!mkdtemp(pattern.data())) {
            perror("mkdtemp");
            abort();
        }
        return pattern;
    }();
    return directory;
}

} // namespace

void restartTrace(const std::string &specification) {
    // putenv keeps the text itself, so every text stays alive for the process.
    static std::deque<std::string> kept;
    TraceReset();
    kept.push_back(std::string(traceTestVariable) + "=" + specification);
    TraceSetEnvString(kept.back().data());
    TraceInit();
}

void restartTraceUnset() {
    TraceReset();
    unsetenv(traceTestVariable);
    TraceInit();
}

std::vector<std::string> closeTraceAndRead(const std::string &path) {
    TraceReset();
    return readLines(path);
}

std::vector<std::string> readLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool fileExists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

std::string scratchPath(const std::string &name) {
    return scratchDirectory() + "/" + name;
}

std::string dump(const std::vector<std::string> &lines) {
    std::string text = "\n";
    for (const std::string &line : lines) {
        text += "  [" + line + "]\n";
    }
    return text;
}

stderrCapture::stderrCapture() {
    static int count = 0;
    path_ = scratchPath("stderr." + std::to_string(++count));
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    dup2(fd, 2);
    close(fd);
}

stderrCapture::~stderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
}

std::string stderrCapture::text() const {
    fflush(stderr);
    return readFile(path_);
}
