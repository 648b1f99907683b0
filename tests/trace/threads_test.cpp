// Trace records from several threads: per-thread files, whole lines on a shared file, a
// single set-up when the first records of a process race, and a thread's block surviving
// a restart of tracing. Run under ThreadSanitizer as well (label "threads").
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/trace/tracetest.h"
#include "trace/retcodes.h"
#include "trace/trace.h"

namespace {

int32_t step(int32_t worker, int32_t round) {
    TRACE_FUNCTION("step");
    TRACE_ENTRY("worker=%d, round=%d", worker, round);
    TRACE_INFO_TEXT("working on %d", round);
    TRACE_EXIT_INT(1, TT_SUCCESS);
    return worker + round;
}

std::string threadFile(const std::string &prefix, uint32_t id) {
    char digits[16];
    snprintf(digits, sizeof digits, ".%5.5u", id);
    return scratchPath(prefix + digits + ".trc");
}

class TraceThreads : public ::testing::Test {
protected:
    void TearDown() override { TraceReset(); }
};

TEST_F(TraceThreads, PerThreadFilesHoldOnlyTheirOwnThreadsLines) {
    restartTrace("-f " + scratchPath("pt%T.trc"));
    uint32_t ids[2] = {0, 0};
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 2; ++worker) {
        workers.emplace_back([worker, &ids] {
            ids[worker] = getThreadId();
            for (int round = 0; round < 3; ++round) {
                step(worker, round);
            }
        });
    }
    for (std::thread &t : workers) {
        t.join();
    }
    TraceReset();
    ASSERT_NE(ids[0], ids[1]);
    for (int worker = 0; worker < 2; ++worker) {
        const auto written = readLines(threadFile("pt", ids[worker]));
        ASSERT_EQ(written.size(), 9u) << dump(written);
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(written[static_cast<size_t>(round) * 3],
                      "{  step(worker=" + std::to_string(worker) +
                          ", round=" + std::to_string(round) + ")")
                << dump(written);
        }
    }
    EXPECT_FALSE(fileExists(threadFile("pt", getThreadId())))
        << "the closing thread traced nothing, so it has no file";
}

TEST_F(TraceThreads, ThreadsSharingAFileKeepTheirLinesWhole) {
    const std::string path = scratchPath("shared.trc");
    restartTrace("-f " + path + " -i");
    constexpr int workers = 4;
    constexpr int rounds = 300;
    std::multiset<std::string> expected;
    std::vector<std::thread> threads;
    for (int worker = 0; worker < workers; ++worker) {
        for (int round = 0; round < rounds; ++round) {
            const std::string r = std::to_string(round);
            expected.insert("{  step(worker=" + std::to_string(worker) + ", round=" + r + ")");
            expected.insert("  |  working on " + r);
            expected.insert("}  step [RSN:1] (0 TT_SUCCESS)");
        }
        threads.emplace_back([worker] {
            for (int round = 0; round < rounds; ++round) {
                step(worker, round);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    // Every line whole: its own "[pid.thread] " prefix, then one of the lines expected.
    std::multiset<std::string> written;
    for (const std::string &line : closeTraceAndRead(path)) {
        const size_t prefixEnd = line.find("] ");
        ASSERT_TRUE(line[0] == '[' && prefixEnd != std::string::npos && line[prefixEnd - 10] == '.')
            << "[" << line << "]";
        written.insert(line.substr(prefixEnd + 2));
    }
    EXPECT_TRUE(written == expected)
        << written.size() << " lines, " << expected.size() << " expected";
}

TEST_F(TraceThreads, RacingFirstRecordsRunTheSetUpOnce) {
    const std::string path = scratchPath("race.trc");
    restartTrace("-f " + path);
    TraceReset(); // the specification stays; the next record runs the set-up
    ASSERT_EQ(traceInitialised, 0);
    constexpr int workers = 8;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back([worker, &go] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            step(worker, 0);
        });
    }
    go = true;
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(traceInitialised, 1);
    int blocks = 0;
    for (threadControlBlock_t *block = threadControlBlockAnchorP; block; block = block->next) {
        ++blocks;
    }
    EXPECT_GE(blocks, workers);
    const auto written = closeTraceAndRead(path);
    EXPECT_EQ(written.size(), static_cast<size_t>(workers * 3)) << dump(written);
}

TEST_F(TraceThreads, LivingThreadTracesIntoTheNewOutputAfterARestart) {
    const std::string first = scratchPath("before.trc");
    const std::string second = scratchPath("after.trc");
    restartTrace("-f " + first);
    std::promise<void> traced;
    std::promise<void> restarted;
    std::thread worker([&] {
        step(1, 1);
        TraceSetIndentationValue(40); // an indentation the restart must forget
        traced.set_value();
        restarted.get_future().wait();
        step(1, 2);
    });
    traced.get_future().wait();
    restartTrace("-f " + second);
    restarted.set_value();
    worker.join();
    TraceReset();
    EXPECT_EQ(readLines(first).size(), 3u);
    const auto written = readLines(second);
    ASSERT_EQ(written.size(), 3u) << dump(written);
    EXPECT_EQ(written[0], "{  step(worker=1, round=2)");
}

} // namespace
