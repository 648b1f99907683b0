// Trace set-up: the specification language, the choice and naming of output files, and
// closing and restarting tracing within one process.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/trace/tracetest.h"
#include "trace/retcodes.h"
#include "trace/trace.h"

namespace {

void traced() {
    TRACE_FUNCTION("traced");
    TRACE_ENTRY("void");
    TRACE_EXIT_VOID(1);
}

std::string fiveDigits(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, ".%5.5u", value);
    return text;
}

class TraceSetUp : public ::testing::Test {
protected:
    void TearDown() override { TraceReset(); }
};

struct specCase {
    const char *specification;
    int32_t enabled;
    int32_t flags;
    int32_t timeStamp;
    int32_t accuracy;
    int32_t threadIds;
    int32_t commit;
    int32_t append;
    int32_t ring;
    int32_t ringSize;
    char stream;         // globalTraceFile: 'e' stderr, 'o' stdout, '-' none
    const char *message; // standard error
};

TEST_F(TraceSetUp, ParsesSpecificationsIntoSwitches) {
    const char *missingF = "Invalid trace specification: missing required argument for -f option\n";
    const specCase cases[] = {
        {"-l TRACE_ERROR|TRACE_INFO -t", 1, 0xC, 1, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-l TRACE_ALL|TRACE_NONE|TRACE_ERROR", 1, 0x4, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-l TRACE_INFO|BOGUS", 0, 0x8, 0, 4, 0, 0, 0, 0, 1000, 'e',
         "Invalid trace setting 'BOGUS' found\n"},
        {"-f", 0, 0x7FFE, 0, 4, 0, 0, 0, 0, 1000, 'e', missingF},
        {"-f -t", 0, 0x7FFE, 1, 4, 0, 0, 0, 0, 1000, 'e', missingF},
        {"-i -l", 0, 0, 0, 4, 1, 0, 0, 0, 1000, 'e',
         "Invalid trace specification: missing required argument for -l option\n"},
        {"-t 12", 1, 0x7FFE, 1, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-t 7 -i -c -a", 1, 0x7FFE, 1, 7, 1, 1, 1, 0, 1000, 'e', ""},
        {"-r", 1, 0x7FFE, 0, 4, 0, 0, 0, 1, 1000, '-', ""},
        {"-r 5000 -t", 1, 0x7FFE, 1, 4, 0, 0, 0, 1, 5000, '-', ""},
        {"-r 5000 -f stdout", 1, 0x7FFE, 0, 4, 0, 0, 0, 0, 5000, 'o', ""},
        {"\"-l TRACE_INFO -i\"", 1, 0x8, 0, 4, 1, 0, 0, 0, 1000, 'e', ""},
        {"-l 'TRACE_USER_1_TO_4|TRACE_WARNING'", 1, 0x1F0, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-l \"TRACE_USER_9_TO_10\"", 1, 0x6000, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-l TRACE_USER_10|TRACE_USER_1", 1, 0x4020, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-l TRACE_USER_5_TO_8|TRACE_USER_ALL", 1, 0x7FE0, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"   -l    TRACE_SYSTEM_ALL   ", 1, 0x1E, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-f stderr", 1, 0x7FFE, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
        {"-x -l TRACE_ENTRY_EXIT", 1, 0x2, 0, 4, 0, 0, 0, 0, 1000, 'e', ""},
    };
    for (const specCase &c : cases) {
        SCOPED_TRACE(std::string("specification '") + c.specification + "'");
        std::string errors;
        {
            stderrCapture capture;
            restartTrace(c.specification);
            errors = capture.text();
        }
        EXPECT_EQ(traceInitialised, 1);
        EXPECT_EQ(traceEnabled, c.enabled);
        EXPECT_EQ(traceFlags, c.flags);
        EXPECT_EQ(timeStamp, c.timeStamp);
        EXPECT_EQ(timeStampAccuracy, c.accuracy);
        EXPECT_EQ(threadId, c.threadIds);
        EXPECT_EQ(commitTrace, c.commit);
        EXPECT_EQ(appendTrace, c.append);
        EXPECT_EQ(ringBuffer, c.ring);
        EXPECT_EQ(ringBufferSize, c.ringSize);
        EXPECT_EQ(globalTraceFile, c.stream == 'e' ? stderr : c.stream == 'o' ? stdout : nullptr);
        EXPECT_EQ(errors, c.message);
    }
}

TEST_F(TraceSetUp, UnsetVariableLeavesTracingOffAndCreatesNoFile) {
    const std::string before = scratchPath("unset.trc");
    restartTraceUnset();
    EXPECT_EQ(TraceInit(), 0);
    EXPECT_EQ(traceInitialised, 1);
    EXPECT_EQ(traceEnabled, 0);
    EXPECT_EQ(traceGateWord, 0);
    traced();
    EXPECT_FALSE(fileExists(before));
}

TEST_F(TraceSetUp, LeavesTheEnvironmentTextUnchanged) {
    const std::string specification = "-f " + scratchPath("env.trc") + " -l TRACE_INFO|TRACE_ERROR";
    restartTrace(specification);
    EXPECT_STREQ(getenv(traceTestVariable), specification.c_str());
}

TEST_F(TraceSetUp, ExpandsProcessIdInSharedFileName) {
    const std::string path = scratchPath("t%P.trc");
    restartTrace("-f " + path + " -l TRACE_ERROR|TRACE_INFO -t");
    EXPECT_EQ(traceFlags, 0xC);
    EXPECT_EQ(timeStamp, 1);
    EXPECT_EQ(timeStampAccuracy, 4);
    EXPECT_EQ(filePerThread, 0);
    EXPECT_TRUE(
        fileExists(scratchPath("t" + fiveDigits(static_cast<unsigned>(getpid())) + ".trc")));
}

TEST(TraceFileNames, ExpandsTemplates) {
    struct {
        const char *fileTemplate;
        int expandThread;
        const char *expanded;
    } cases[] = {
        {"/tmp/t%P.trc", 0, "/tmp/t.00042.trc"}, {"/tmp/t%p.trc", 0, "/tmp/t.00042.trc"},
        {"/tmp/t%T.trc", 1, "/tmp/t.00007.trc"}, {"/tmp/t%t%P", 1, "/tmp/t.00007.00042"},
        {"/tmp/t%T.trc", 0, "/tmp/t%T.trc"},     {"/tmp/%x%%P%", 0, "/tmp/%x%.00042%"},
    };
    for (const auto &c : cases) {
        char output[64];
        EXPECT_EQ(traceExpandFileName(c.fileTemplate, 42, 7, c.expandThread, output, sizeof output),
                  0);
        EXPECT_STREQ(output, c.expanded) << c.fileTemplate;
    }
    char small[10];
    EXPECT_EQ(traceExpandFileName("/tmp/t%P.trc", 42, 7, 0, small, sizeof small), 1);
    std::string all;
    for (int i = 0; i < 50; ++i) {
        all += "%T";
    }
    char large[1024];
    EXPECT_EQ(traceExpandFileName(all.c_str(), -2147483647, 4294967295u, 1, large, sizeof large),
              0);
    EXPECT_EQ(strlen(large), 550u);
}

TEST(TraceFileNames, RecognisesPerThreadTemplates) {
    struct {
        const char *fileTemplate;
        int perThread;
    } cases[] = {{"%T", 1}, {"a%tb", 1}, {"/x/%P.%T", 1}, {"%P", 0},
                 {"T", 0},  {"", 0},     {"%", 0},        {"x%", 0}};
    for (const auto &c : cases) {
        EXPECT_EQ(TraceFileThreadSpecific(c.fileTemplate), c.perThread) << c.fileTemplate;
    }
    EXPECT_EQ(TraceFileThreadSpecific(nullptr), 0);
}

TEST_F(TraceSetUp, WriteModeReplacesTheFileAndAppendModeExtendsIt) {
    const std::string path = scratchPath("modes.trc");
    restartTrace("-f " + path);
    traced();
    restartTrace("-f " + path);
    traced();
    EXPECT_EQ(closeTraceAndRead(path).size(), 2u);
    restartTrace("-f " + path + " -a");
    traced();
    EXPECT_EQ(closeTraceAndRead(path).size(), 4u);
}

TEST_F(TraceSetUp, PerThreadFileOfOneThreadIsReopenedForAppending) {
    const std::string pattern = scratchPath("own%T.trc");
    const std::string path = scratchPath("own" + fiveDigits(getThreadId()) + ".trc");
    restartTrace("-f " + pattern + " -a");
    EXPECT_EQ(filePerThread, 1);
    EXPECT_EQ(globalTraceFile, stderr);
    traced();
    restartTrace("-f " + pattern + " -a");
    traced();
    const auto written = closeTraceAndRead(path);
    EXPECT_EQ(written, (std::vector<std::string>{"{  traced(void)", "}  traced [RSN:1]",
                                                 "{  traced(void)", "}  traced [RSN:1]"}))
        << dump(written);
}

TEST_F(TraceSetUp, UnopenableFileFallsBackToStandardErrorSilently) {
    std::string errors;
    {
        stderrCapture capture;
        restartTrace("-f " + scratchPath("no/such/directory/x.trc"));
        EXPECT_EQ(globalTraceFile, stderr);
        traced();
        errors = capture.text();
    }
    EXPECT_EQ(errors, "{  traced(void)\n}  traced [RSN:1]\n");
}

// A name longer than the trace keeps is cut to its first 100 characters; tracing stays
// on and writes there, and the cut is reported once.
TEST_F(TraceSetUp, OverlongFileNameIsCutAt100Characters) {
    const std::string path = scratchPath(std::string(120, 'f'));
    const std::string cut = path.substr(0, 100);
    ASSERT_LT(scratchPath("").size(), 100u) << "the cut must fall in the file's own name";
    std::string errors;
    {
        stderrCapture capture;
        restartTrace("-f " + path + " -i");
        errors = capture.text();
    }
    EXPECT_EQ(traceEnabled, 1);
    EXPECT_EQ(threadId, 1);
    EXPECT_EQ(traceFileString, cut);
    EXPECT_EQ(errors,
              "Trace file name for -f is longer than 100 characters; using '" + cut + "'\n");
    traced();
    EXPECT_EQ(closeTraceAndRead(cut).size(), 2u);
    EXPECT_FALSE(fileExists(path));
}

// A refused specification leaves a file it names as it was: nothing is created,
// truncated or written, whichever option is at fault and wherever it stands.
TEST_F(TraceSetUp, RefusedSpecificationOpensNoFile) {
    const std::string kept = scratchPath("kept.trc");
    const std::string perThread = scratchPath("kept%T.trc");
    const std::string specifications[] = {
        "-f " + kept + " -l BOGUS",
        "-l BOGUS -f " + kept,
        "-f " + kept + " -a -l",
        "-f " + perThread + " -l TRACE_INFO|NOPE",
    };
    for (const std::string &specification : specifications) {
        SCOPED_TRACE(specification);
        {
            FILE *file = fopen(kept.c_str(), "w");
            ASSERT_NE(file, nullptr);
            fputs("earlier trace\n", file);
            fclose(file);
        }
        {
            stderrCapture capture;
            restartTrace(specification);
        }
        EXPECT_EQ(traceEnabled, 0);
        traced();
        TraceReset();
        EXPECT_EQ(readFile(kept), "earlier trace\n");
        EXPECT_FALSE(fileExists(scratchPath("kept" + fiveDigits(getThreadId()) + ".trc")));
    }
}

// An empty or blank setting is no setting: tracing stays off and nothing is written.
TEST_F(TraceSetUp, EmptyVariableLeavesTracingOff) {
    for (const char *specification : {"", " ", " \t "}) {
        SCOPED_TRACE(std::string("specification '") + specification + "'");
        std::string errors;
        {
            stderrCapture capture;
            restartTrace(specification);
            traced();
            errors = capture.text();
        }
        EXPECT_EQ(traceInitialised, 1);
        EXPECT_EQ(traceEnabled, 0);
        EXPECT_EQ(traceGateWord, 0);
        EXPECT_EQ(errors, "");
    }
}

TEST_F(TraceSetUp, ClosingLeavesTheStandardStreamsOpen) {
    for (const char *specification : {"-f stderr", "-f stdout", "-l TRACE_INFO"}) {
        std::string errors;
        {
            stderrCapture capture;
            restartTrace(specification);
            TraceReset();
            EXPECT_GE(fputs("stderr still open\n", stderr), 0) << specification;
            errors = capture.text();
        }
        EXPECT_EQ(errors, "stderr still open\n") << specification;
        EXPECT_GE(fflush(stdout), 0) << specification;
        EXPECT_EQ(ferror(stdout), 0) << specification;
    }
}

TEST_F(TraceSetUp, ResetFreesTheCallersBlockAndStartsAgainWithTheNewSpecification) {
    const std::string first = scratchPath("first.trc");
    const std::string second = scratchPath("second.trc");
    restartTrace("-f " + first);
    traced();
    threadControlBlock_t *block = TraceThreadInit();
    const uintptr_t freed = reinterpret_cast<uintptr_t>(block);
    TraceReset();

    void *slot = reinterpret_cast<void *>(1);
    ASSERT_EQ(threadGetSpecificStorage(traceThreadSlot, &slot), 0);
    EXPECT_EQ(slot, nullptr);
    for (threadControlBlock_t *b = threadControlBlockAnchorP; b; b = b->next) {
        EXPECT_NE(reinterpret_cast<uintptr_t>(b), freed);
    }
    EXPECT_EQ(traceInitialised, 0);

    restartTrace("-f " + second + " -l TRACE_ENTRY_EXIT");
    traced();
    EXPECT_EQ(closeTraceAndRead(first).size(), 2u);
    EXPECT_EQ(readLines(second).size(), 2u);
}

TEST_F(TraceSetUp, CloseTraceStopsRecordsWithoutComplaint) {
    const std::string path = scratchPath("closed.trc");
    restartTrace("-f " + path);
    traced();
    std::string errors;
    {
        stderrCapture capture;
        CloseTrace();
        traced();
        TRACE_FUNCTION("afterClose");
        TRACE_INFO_TEXT("not written");
        errors = capture.text();
    }
    EXPECT_EQ(errors, "");
    EXPECT_EQ(readLines(path).size(), 2u);
}

} // namespace
