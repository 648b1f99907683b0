/*
 * The thread layer: once blocks under racing threads, thread-specific slots, mutexes,
 * condition variables and the timed wait, thread ids, processes started and joined, a
 * process lock shared by two processes, and the code-page converters used from several
 * threads at once.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "trevane/cni.h"
#include "trevane/threads.h"

namespace {

std::atomic<int> onceRuns{0};
std::atomic<bool> onceFinished{false};

void slowOnceFunction() {
    onceRuns.fetch_add(1);
    usleep(100 * 1000); // long enough for the other thread to arrive at the block
    onceFinished.store(true);
}

onceBlock_t raceBlock = THREAD_ONCE_BLOCK_INIT;

void *callOnce(void *seenFinished) {
    threadOnceBlock(&raceBlock, slowOnceFunction);
    static_cast<std::atomic<bool> *>(seenFinished)->store(onceFinished.load());
    return nullptr;
}

std::string readFile(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch directory removed with the test.
struct ScratchDirectory {
    std::string path;
    ScratchDirectory() {
        char pattern[] = "/tmp/trevane-threads-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~ScratchDirectory() {
        const std::string command = "rm -rf '" + path + "'";
        if (system(command.c_str()) != 0) {
            fprintf(stderr, "could not remove %s\n", path.c_str());
        }
    }
};

// Mutexes and condition variables live until the process ends, as they do in the
// plug-in; the tests keep theirs reachable here so that leak checking stays quiet.
std::vector<void *> *const keptHandles = new std::vector<void *>;

threadMutex_t keptMutex(bool_t lockNow) {
    threadMutex_t mutex = nullptr;
    EXPECT_EQ(threadCreateMutex(lockNow, &mutex), 0);
    keptHandles->push_back(mutex);
    return mutex;
}

condVar_t *keptCondVar(threadMutex_t mutex) {
    condVar_t *condVar = nullptr;
    EXPECT_EQ(threadCreateCondVar(mutex, &condVar), 0);
    if (condVar != nullptr) {
        keptHandles->push_back(condVar);
        keptHandles->push_back(condVar->condition);
    }
    return condVar;
}

double realtimeSeconds() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

} // namespace

TEST(Threads, OnceBlockRunsOnceAndLaterCallersWaitForIt) {
    std::atomic<bool> firstSaw{false}, secondSaw{false};
    threadId_t first = 0, second = 0;
    ASSERT_EQ(threadCreateThread(callOnce, &firstSaw, &first), 0);
    ASSERT_EQ(threadCreateThread(callOnce, &secondSaw, &second), 0);
    EXPECT_EQ(threadJoin(first), 0);
    EXPECT_EQ(threadJoin(second), 0);
    EXPECT_EQ(onceRuns.load(), 1);
    EXPECT_TRUE(firstSaw.load()) << "a caller returned before the function had finished";
    EXPECT_TRUE(secondSaw.load()) << "a caller returned before the function had finished";
    EXPECT_EQ(threadOnceBlock(&raceBlock, slowOnceFunction), 0);
    EXPECT_EQ(onceRuns.load(), 1);
    EXPECT_EQ(raceBlock.flag, 1);
}

TEST(Threads, SlotValuesBelongToEachThread) {
    slotKey_t key;
    ASSERT_EQ(threadGetSlotKey(&key), 0);
    int mine = 1;
    ASSERT_EQ(threadSetSpecificStorage(key, &mine), 0);

    struct Seen {
        slotKey_t key;
        int getResult = -1;
        void *before = reinterpret_cast<void *>(1);
        void *after = nullptr;
        int theirs = 2;
    } seen{key};
    threadId_t thread = 0;
    ASSERT_EQ(threadCreateThread(
                  [](void *argument) -> void * {
                      auto *s = static_cast<Seen *>(argument);
                      s->getResult = threadGetSpecificStorage(s->key, &s->before);
                      threadSetSpecificStorage(s->key, &s->theirs);
                      threadGetSpecificStorage(s->key, &s->after);
                      return nullptr;
                  },
                  &seen, &thread),
              0);
    ASSERT_EQ(threadJoin(thread), 0);
    EXPECT_EQ(seen.getResult, 0);
    EXPECT_EQ(seen.before, nullptr) << "a thread that stored nothing reads null";
    EXPECT_EQ(seen.after, &seen.theirs);
    void *value = nullptr;
    EXPECT_EQ(threadGetSpecificStorage(key, &value), 0);
    EXPECT_EQ(value, &mine) << "another thread's store changed this thread's value";
}

TEST(Threads, ThreadIdIsThePlatformIdentifier) {
    EXPECT_EQ(threadGetCurrentThreadId(), static_cast<threadId_t>(pthread_self()));
    EXPECT_EQ(threadGetThreadId(12345u), 12345u);
    struct Ids {
        threadId_t inside = 0;
    } ids;
    threadId_t created = 0;
    ASSERT_EQ(threadCreateThread(
                  [](void *argument) -> void * {
                      static_cast<Ids *>(argument)->inside = threadGetCurrentThreadId();
                      return nullptr;
                  },
                  &ids, &created),
              0);
    ASSERT_EQ(threadJoin(created), 0);
    EXPECT_EQ(ids.inside, created);
    EXPECT_NE(ids.inside, threadGetCurrentThreadId());
}

TEST(Threads, MutexSerialisesThreadsAndCanBeTakenAtCreation) {
    threadMutex_t mutex = keptMutex(TRUE);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(pthread_mutex_trylock(mutex), EBUSY) << "lock-now left the mutex free";
    ASSERT_EQ(threadMutexUnlock(mutex), 0);

    struct Shared {
        threadMutex_t mutex;
        long counter = 0;
    } shared{mutex};
    std::vector<threadId_t> threads(4);
    for (auto &thread : threads) {
        ASSERT_EQ(threadCreateThread(
                      [](void *argument) -> void * {
                          auto *s = static_cast<Shared *>(argument);
                          for (int i = 0; i < 20000; ++i) {
                              threadMutexLock(s->mutex);
                              ++s->counter;
                              threadMutexUnlock(s->mutex);
                              if (i % 1000 == 0) {
                                  threadYield();
                              }
                          }
                          return nullptr;
                      },
                      &shared, &thread),
                  0);
    }
    for (auto thread : threads) {
        EXPECT_EQ(threadJoin(thread), 0);
    }
    EXPECT_EQ(shared.counter, 80000);
}

TEST(Threads, TimedWaitReturnsTwoAtTheDeadlineFromTheWholeSecond) {
    threadMutex_t mutex = keptMutex(FALSE);
    condVar_t *condVar = keptCondVar(mutex);
    ASSERT_NE(condVar, nullptr);
    EXPECT_EQ(condVar->mutex, mutex);
    ASSERT_EQ(threadMutexLock(mutex), 0);
    const time_t wholeSecond = time(nullptr);
    int rc;
    do { // a spurious wake-up answers 0; the deadline must still come
        rc = threadCondTimedWait(condVar, 1500);
    } while (rc == 0);
    const double returnedAt = realtimeSeconds();
    EXPECT_EQ(threadMutexUnlock(mutex), 0);
    EXPECT_EQ(rc, 2);
    EXPECT_GE(returnedAt, static_cast<double>(wholeSecond) + 1.5)
        << "the deadline is 1.5 s after the whole second the wait started in";
}

TEST(Threads, TimedWaitAnswersZeroWhenSignalled) {
    struct Shared {
        threadMutex_t mutex = nullptr;
        condVar_t *condVar = nullptr;
        bool ready = false;
    } shared;
    shared.mutex = keptMutex(FALSE);
    shared.condVar = keptCondVar(shared.mutex);
    ASSERT_NE(shared.condVar, nullptr);
    ASSERT_EQ(threadMutexLock(shared.mutex), 0);
    threadId_t signaller = 0;
    ASSERT_EQ(threadCreateThread(
                  [](void *argument) -> void * {
                      auto *s = static_cast<Shared *>(argument);
                      threadMutexLock(s->mutex);
                      s->ready = true;
                      threadCondSignal(s->condVar);
                      threadMutexUnlock(s->mutex);
                      return nullptr;
                  },
                  &shared, &signaller),
              0);
    int rc = 0;
    while (!shared.ready && rc == 0) {
        rc = threadCondTimedWait(shared.condVar, 30000);
    }
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(shared.ready);
    threadMutexUnlock(shared.mutex);
    EXPECT_EQ(threadJoin(signaller), 0);
}

TEST(Threads, NullHandlesAnswerOneAndANegativeTimeOutDoesNotWait) {
    EXPECT_EQ(threadGetSlotKey(nullptr), 1);
    EXPECT_EQ(threadGetSpecificStorage(slotKey_t{}, nullptr), 1);
    EXPECT_EQ(threadCreateMutex(FALSE, nullptr), 1);
    EXPECT_EQ(threadMutexLock(nullptr), 1);
    EXPECT_EQ(threadMutexUnlock(nullptr), 1);
    processLock_t storage{};
    processLock_t *lock = nullptr;
    EXPECT_EQ(processCreateLock(FALSE, nullptr, &lock), 1);
    EXPECT_EQ(processCreateLock(FALSE, &storage, nullptr), 1);
    EXPECT_EQ(processLockLock(nullptr), 1);
    EXPECT_EQ(processLockUnlock(nullptr), 1);
    EXPECT_EQ(processDestroyLock(nullptr), 1);
    EXPECT_EQ(threadCreateCondVar(keptMutex(FALSE), nullptr), 1);
    EXPECT_EQ(threadCondWait(nullptr), 1);
    EXPECT_EQ(threadCondTimedWait(nullptr, 10), 1);
    EXPECT_EQ(threadCondSignal(nullptr), 1);
    EXPECT_EQ(threadCondBroadcast(nullptr), 1);
    threadId_t thread = 0;
    EXPECT_EQ(threadCreateThread(nullptr, nullptr, &thread), 1);
    EXPECT_EQ(threadOnceBlock(nullptr, nullptr), 0); // always 0, and nothing is run

    // A negative time-out counts as none: the wait ends at the current whole second.
    threadMutex_t mutex = keptMutex(FALSE);
    condVar_t *condVar = keptCondVar(mutex);
    ASSERT_NE(condVar, nullptr);
    ASSERT_EQ(threadMutexLock(mutex), 0);
    const double startedAt = realtimeSeconds();
    int rc;
    do {
        rc = threadCondTimedWait(condVar, -5000);
    } while (rc == 0);
    const double returnedAt = realtimeSeconds();
    EXPECT_EQ(threadMutexUnlock(mutex), 0);
    EXPECT_EQ(rc, 2);
    EXPECT_LT(returnedAt - startedAt, 1.5);
}

TEST(Processes, StartedProgramGetsItsArgumentsAndIsJoined) {
    ScratchDirectory scratch;
    const std::string script = scratch.path + "/record-arguments";
    const std::string output = scratch.path + "/arguments";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\nprintf '%s|' \"$0\" \"$#\" \"$@\" > \"$TREVANE_TEST_OUTPUT\"\n";
    }
    ASSERT_EQ(chmod(script.c_str(), 0755), 0);
    setenv("TREVANE_TEST_OUTPUT", output.c_str(), 1);

    const struct {
        std::vector<const char *> arguments;
        std::string recorded;
    } cases[] = {
        {{}, script + "|0|"},
        {{"one"}, script + "|1|one|"},
        {{"a b", "", "-x"}, script + "|3|a b||-x|"},
    };
    for (const auto &c : cases) {
        pid_t pid = -1;
        int rc;
        switch (c.arguments.size()) {
        case 0:
            rc = processCreateProcess(&pid, script.c_str(), nullptr);
            break;
        case 1:
            rc = processCreateProcess(&pid, script.c_str(), c.arguments[0], nullptr);
            break;
        default:
            rc = processCreateProcess(&pid, script.c_str(), c.arguments[0], c.arguments[1],
                                      c.arguments[2], nullptr);
            break;
        }
        ASSERT_EQ(rc, 0);
        ASSERT_GT(pid, 0);
        EXPECT_EQ(processJoin(pid), 0);
        errno = 0;
        EXPECT_EQ(kill(pid, 0), -1) << "the process is still there after the join";
        EXPECT_EQ(errno, ESRCH);
        EXPECT_EQ(readFile(output), c.recorded);
    }
    unsetenv("TREVANE_TEST_OUTPUT");
}

TEST(Processes, ProgramIsSearchedOnThePath) {
    pid_t pid = -1;
    ASSERT_EQ(processCreateProcess(&pid, "true", nullptr), 0);
    EXPECT_EQ(processJoin(pid), 0);
}

TEST(Processes, MissingProgramFailsInTheCaller) {
    pid_t pid = -7;
    EXPECT_EQ(processCreateProcess(&pid, "trevane-no-such-program-anywhere", nullptr), 1);
    EXPECT_EQ(pid, -7) << "no process id is stored for a program that did not start";
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child was left behind";
}

TEST(Processes, JoinReturnsAtOnceForIdsThatNameNoProcess) {
    EXPECT_EQ(processJoin(INT_MAX), 0);
    EXPECT_EQ(processJoin(0), 0);
    EXPECT_EQ(processJoin(-1), 0);
}

TEST(Processes, JoinWaitsForAProcessThatIsNotAChild) {
    // The sleeper is the shell's child, not this process's; the shell reaps it.
    FILE *shell = popen("sleep 0.3 & echo $!; wait", "r");
    ASSERT_NE(shell, nullptr);
    int sleeper = 0;
    ASSERT_EQ(fscanf(shell, "%d", &sleeper), 1);
    ASSERT_GT(sleeper, 0);
    EXPECT_EQ(processJoin(sleeper), 0);
    errno = 0;
    EXPECT_EQ(kill(sleeper, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    pclose(shell);
}

TEST(Processes, LockIsSharedBetweenTwoProcesses) {
    struct Shared {
        processLock_t lock;
        long counter;
    };
    void *memory =
        mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    auto *shared = static_cast<Shared *>(memory);
    shared->counter = 0;
    processLock_t *lock = nullptr;
    ASSERT_EQ(processCreateLock(TRUE, &shared->lock, &lock), 0);
    EXPECT_EQ(lock, &shared->lock);
    ASSERT_EQ(processLockUnlock(lock), 0);

    // Two worker processes contend for the lock; a lock that is not shared loses
    // increments or leaves a waiter asleep, so the workers get a deadline.
    constexpr long rounds = 50000;
    pid_t workers[2] = {-1, -1};
    for (pid_t &worker : workers) {
        worker = fork();
        ASSERT_GE(worker, 0);
        if (worker == 0) {
            for (long i = 0; i < rounds; ++i) {
                processLockLock(lock);
                const long seen = shared->counter;
                if (i % 997 == 0) {
                    sched_yield(); // invite the other process into the critical section
                }
                shared->counter = seen + 1;
                processLockUnlock(lock);
            }
            _exit(0);
        }
    }
    int finished = 0;
    for (int waited = 0; finished < 2 && waited < 3000; ++waited) {
        for (pid_t &worker : workers) {
            int status = 0;
            if (worker > 0 && waitpid(worker, &status, WNOHANG) == worker) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                worker = -1;
                ++finished;
            }
        }
        usleep(10000);
    }
    for (pid_t worker : workers) {
        if (worker > 0) {
            kill(worker, SIGKILL);
            waitpid(worker, nullptr, 0);
        }
    }
    ASSERT_EQ(finished, 2) << "a worker never got the lock: it was not shared";
    EXPECT_EQ(shared->counter, 2 * rounds) << "increments were lost: the lock was not shared";
    EXPECT_EQ(processDestroyLock(lock), 0);
    munmap(memory, sizeof(Shared));
}

TEST(Conversion, ConvertersCanBeUsedFromManyThreadsAtOnce) {
    // Each thread converts through its own ICU converters; a shared one would garble text.
    struct Result {
        int failures = 0;
    };
    std::vector<Result> results(4);
    std::vector<threadId_t> threads(results.size());
    for (size_t t = 0; t < threads.size(); ++t) {
        ASSERT_EQ(threadCreateThread(
                      [](void *argument) -> void * {
                          auto *result = static_cast<Result *>(argument);
                          for (int i = 0; i < 2000; ++i) {
                              const int codepage = i % 2 == 0 ? 819 : 1208;
                              CciChar wide[32];
                              char narrow[32];
                              int rc = -1;
                              cciMbsToUcs(&rc, "caf\xE9", wide, 32, 819);
                              const CciSize length = cciUcsToMbs(&rc, wide, narrow, 32, codepage);
                              const bool ok = codepage == 819 ? length == 4 && narrow[3] == '\xE9'
                                                              : length == 5 && narrow[3] == '\xC3';
                              if (rc != 0 || !ok) {
                                  ++result->failures;
                              }
                          }
                          return nullptr;
                      },
                      &results[t], &threads[t]),
                  0);
    }
    for (size_t t = 0; t < threads.size(); ++t) {
        EXPECT_EQ(threadJoin(threads[t]), 0);
        EXPECT_EQ(results[t].failures, 0) << "thread " << t;
    }
}
