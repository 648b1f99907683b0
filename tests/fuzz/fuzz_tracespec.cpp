// Fuzz target: the trace specification, read as a process reads it at set-up. The input
// is the text of the environment variable; set-up runs, the calling thread gets its
// control block (and its own file when the name asks for one), and the trace is closed
// and re-armed. The files are made in a private directory and removed after each input;
// inputs naming a directory ('/') are skipped so that nothing outside it is written.
#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "trevane/traceinit.h"

const char *callersTraceEnvironmentVariable = "TREVANE_FUZZ_TRACE";

namespace {

void removeFiles(const char *directory) {
    DIR *dir = opendir(directory);
    if (dir == nullptr) {
        return;
    }
    while (dirent *entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            unlinkat(dirfd(dir), entry->d_name, 0);
        }
    }
    closedir(dir);
}

bool checkSwitches() {
    // What the rest of the trace reads without checking again.
    if (strnlen(traceFileString, TRACE_FILE_STRING_SIZE) >= TRACE_FILE_STRING_SIZE) {
        return false;
    }
    if (timeStampAccuracy < 0 || timeStampAccuracy > 9 || ringBufferSize < 0) {
        return false;
    }
    return (traceFlags & ~TRACE_LEVEL_ALL) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    static char directory[] = "/tmp/fuzz_tracespec.XXXXXX";
    if (mkdtemp(directory) == nullptr || chdir(directory) != 0) {
        perror("fuzz_tracespec: private directory");
        std::abort();
    }
    // The directory is removed with the process.
    static std::string remove = std::string("rm -rf ") + directory;
    atexit([] { (void)std::system(remove.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096 || memchr(data, '/', size) != nullptr) {
        return 0;
    }
    // The environment entry is one buffer rewritten for each input: setenv would keep
    // every earlier value allocated.
    static char entry[sizeof "TREVANE_FUZZ_TRACE=" + 4096];
    static const size_t prefix = strlen(strcpy(entry, "TREVANE_FUZZ_TRACE="));
    memcpy(entry + prefix, data, size);
    entry[prefix + size] = '\0'; // the environment ends the text at its first NUL
    if (putenv(entry) != 0) {
        return 0;
    }
    const std::string specification(entry + prefix);
    TraceReset();
    if (TraceInit() != 0) {
        std::abort();
    }
    if (!checkSwitches()) {
        fprintf(stderr, "trace switches out of range after '%s'\n", specification.c_str());
        std::abort();
    }
    threadControlBlock_t *block = TraceThreadInit();
    // With tracing on, only the ring buffer keeps records without a stream.
    if (block != nullptr && traceEnabled && block->outputStream == nullptr && !ringBuffer) {
        fprintf(stderr, "control block without output after '%s'\n", specification.c_str());
        std::abort();
    }
    if (block != nullptr && traceEnabled && block->outputStream != nullptr &&
        block->outputStream != stderr && block->outputStream != stdout) {
        fputs("record\n", block->outputStream);
    }
    char expanded[1024];
    (void)traceExpandFileName(traceFileString, 12345, 678, 1, expanded, sizeof expanded);
    (void)traceExpandFileName(traceFileString, -1, 0xFFFFFFFFu, 1, expanded, 7);
    TraceReset();
    removeFiles(".");
    return 0;
}
