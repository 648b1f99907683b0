// Helpers of the trace tests: restarting tracing with a new specification inside one
// process, reading back what it wrote, and capturing standard error.
#ifndef TREVANE_TESTS_TRACE_TRACETEST_H
#define TREVANE_TESTS_TRACE_TRACETEST_H

#include <string>
#include <vector>

// The environment variable these tests read their specification from.
extern const char *const traceTestVariable;

// Closes any earlier trace, puts `specification` into the environment and runs the
// set-up again, as the first traced call of a process would.
void restartTrace(const std::string &specification);
// As restartTrace, with the variable unset.
void restartTraceUnset();
// Closes the trace (TraceReset) and answers the lines of `path`, newlines removed.
std::vector<std::string> closeTraceAndRead(const std::string &path);
std::vector<std::string> readLines(const std::string &path);
std::string readFile(const std::string &path);
bool fileExists(const std::string &path);
// A path in a scratch directory private to this process.
std::string scratchPath(const std::string &name);
// The lines, one per line, for failure messages.
std::string dump(const std::vector<std::string> &lines);

// Sends file descriptor 2 to a scratch file while alive.
class stderrCapture {
public:
    stderrCapture();
    ~stderrCapture();
    stderrCapture(const stderrCapture &) = delete;
    stderrCapture &operator=(const stderrCapture &) = delete;
    std::string text() const;

private:
    int saved_;
    std::string path_;
};

#endif
