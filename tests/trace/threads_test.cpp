// Trace records from several threads: per-thread files, whole lines on a shared file, a
// single set-up when the first records of a process race, and a thread's block surviving
// a restart of tracing. Run under ThreadSanitizer as well (label "threads").
#include <gtest/gtest.h>

#include <atomic>
#include <future>
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

bool startsWith(const std::string &text, const std::string &start) {
    return text.compare(0, start.size(), start) == 0;
}

// "[pid.nnnnnnnnn] " and then one of the three lines of step().
bool isWholeStepLine(const std::string &line) {
    const size_t point = line.find('.');
    const size_t close = line.find("] ");
    if (line.empty() || line[0] != '[' || point == std::string::npos || close != point + 10 ||
        line.find_first_not_of("0123456789", 1) != point ||
        line.find_first_not_of("0123456789", point + 1) != close) {
        return false;
    }
    const std::string rest = line.substr(close + 2);
    if (startsWith(rest, "{  step(worker=")) {
        return rest.find(", round=") != std::string::npos && rest.back() == ')' &&
               rest.find('{', 1) == std::string::npos;
    }
    if (startsWith(rest, "  |  working on ")) {
        return rest.find_first_not_of("0123456789", 16) == std::string::npos;
    }
    return rest == "}  step [RSN:1] (0 TT_SUCCESS)";
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
    std::vector<std::thread> threads;
    for (int worker = 0; worker < workers; ++worker) {
        threads.emplace_back([worker] {
            for (int round = 0; round < rounds; ++round) {
                step(worker, round);
            }
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    const auto written = closeTraceAndRead(path);
    ASSERT_EQ(written.size(), static_cast<size_t>(workers * rounds * 3));
    size_t broken = 0;
    for (const std::string &line : written) {
        if (!isWholeStepLine(line)) {
            ADD_FAILURE() << "broken line [" << line << "]";
            if (++broken == 5) {
                break;
            }
        }
    }
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
