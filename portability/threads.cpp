/*
 * Threads, locks and processes on POSIX threads. This module owns the thread mutexes and
 * condition variables it allocates (they live until the process ends), the once-block
 * protocol and the process start/join helpers. The node uses the mutex wrappers for its
 * process-wide lock; the trace set-up uses the mutex, once-block, slot and thread-id
 * wrappers. Every wrapper answers 0 for success and 1 for failure (2 for a timed wait
 * whose deadline passed) and writes no trace records.
 */
#include "trevane/threads.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(threadId_t) >= sizeof(pthread_t), "a thread id holds a pthread_t");

extern char **environ;

namespace {

// The largest argument vector processCreateProcess builds: the program name, at most 98
// further arguments and the terminating null.
constexpr int MAX_PROCESS_ARGUMENTS = 100;

int initialiseMutex(pthread_mutex_t *mutex, int shared) {
    pthread_mutexattr_t attributes;
    if (pthread_mutexattr_init(&attributes) != 0) {
        return 1;
    }
    int rc = pthread_mutexattr_setpshared(&attributes, shared);
    if (rc == 0) {
        rc = pthread_mutex_init(mutex, &attributes);
    }
    pthread_mutexattr_destroy(&attributes);
    return rc == 0 ? 0 : 1;
}

} // namespace

int threadYield(void) {
    sched_yield();
    return 0;
}

int threadGetSlotKey(slotKey_t *slotKeyP) {
    if (slotKeyP == nullptr) {
        return 1;
    }
    return pthread_key_create(slotKeyP, nullptr) == 0 ? 0 : 1;
}

int threadGetSpecificStorage(slotKey_t slotKey, void **valuePP) {
    if (valuePP == nullptr) {
        return 1;
    }
    *valuePP = pthread_getspecific(slotKey);
    return 0;
}

int threadSetSpecificStorage(slotKey_t slotKey, void *value) {
    return pthread_setspecific(slotKey, value) == 0 ? 0 : 1;
}

int threadCreateMutex(bool_t lockNow, threadMutex_t *mutexP) {
    if (mutexP == nullptr) {
        return 1;
    }
    auto *mutex = static_cast<pthread_mutex_t *>(malloc(sizeof(pthread_mutex_t)));
    if (mutex == nullptr) {
        return 1;
    }
    if (initialiseMutex(mutex, PTHREAD_PROCESS_PRIVATE) != 0) {
        free(mutex);
        return 1;
    }
    *mutexP = mutex;
    return lockNow ? threadMutexLock(mutex) : 0;
}

int threadMutexLock(threadMutex_t mutex) {
    if (mutex == nullptr) {
        return 1;
    }
    return pthread_mutex_lock(mutex) == 0 ? 0 : 1;
}

int threadMutexUnlock(threadMutex_t mutex) {
    if (mutex == nullptr) {
        return 1;
    }
    return pthread_mutex_unlock(mutex) == 0 ? 0 : 1;
}

int processCreateLock(bool_t lockNow, processLock_t *storage, processLock_t **lockPP) {
    if (storage == nullptr || lockPP == nullptr) {
        return 1;
    }
    if (initialiseMutex(storage, PTHREAD_PROCESS_SHARED) != 0) {
        return 1;
    }
    *lockPP = storage;
    return lockNow ? processLockLock(storage) : 0;
}

int processDestroyLock(processLock_t *lock) {
    if (lock == nullptr) {
        return 1;
    }
    return pthread_mutex_destroy(lock) == 0 ? 0 : 1;
}

int processLockLock(processLock_t *lock) {
    if (lock == nullptr) {
        return 1;
    }
    return pthread_mutex_lock(lock) == 0 ? 0 : 1;
}

int processLockUnlock(processLock_t *lock) {
    if (lock == nullptr) {
        return 1;
    }
    return pthread_mutex_unlock(lock) == 0 ? 0 : 1;
}

int processCreateProcess(pid_t *processIdP, const char *fileName, ...) {
    if (processIdP == nullptr || fileName == nullptr) {
        return 1;
    }
    // The vector is built before the new process exists, so the child does nothing but
    // start the program. Arguments beyond the 98 that fit are not passed.
    char *arguments[MAX_PROCESS_ARGUMENTS] = {};
    arguments[0] = const_cast<char *>(fileName);
    va_list list;
    va_start(list, fileName);
    for (int i = 1; i < MAX_PROCESS_ARGUMENTS - 1; ++i) {
        char *argument = va_arg(list, char *);
        if (argument == nullptr) {
            break;
        }
        arguments[i] = argument;
    }
    va_end(list);
    // posix_spawnp searches PATH as execvp does, and reports a program that cannot be
    // started to the caller instead of leaving a copy of the calling process running.
    pid_t child = 0;
    if (posix_spawnp(&child, fileName, nullptr, nullptr, arguments, environ) != 0) {
        return 1;
    }
    *processIdP = child;
    return 0;
}

int processJoin(pid_t processId) {
    if (processId <= 0) {
        return 0; // 0 and negative ids name process groups, never one process
    }
    // A child of this process stays visible to kill() until it is reaped, so a child is
    // waited for; any other process is polled until it no longer exists.
    for (;;) {
        const pid_t reaped = waitpid(processId, nullptr, 0);
        if (reaped == processId) {
            return 0;
        }
        if (reaped == -1 && errno == EINTR) {
            continue;
        }
        break;
    }
    useconds_t pause = 10;
    while (!(kill(processId, 0) == -1 && errno == ESRCH)) {
        usleep(pause);
        if (pause < 10000) {
            pause *= 2;
        }
    }
    return 0;
}

int threadCreateCondVar(threadMutex_t mutex, condVar_t **condVarPP) {
    if (condVarPP == nullptr) {
        return 1;
    }
    auto *condVar = static_cast<condVar_t *>(malloc(sizeof(condVar_t)));
    auto *condition = static_cast<pthread_cond_t *>(calloc(1, sizeof(pthread_cond_t)));
    if (condVar == nullptr || condition == nullptr || pthread_cond_init(condition, nullptr) != 0) {
        free(condition);
        free(condVar);
        return 1;
    }
    condVar->mutex = mutex;
    condVar->condition = condition;
    *condVarPP = condVar;
    return 0;
}

int threadCondWait(condVar_t *condVar) {
    if (condVar == nullptr || condVar->mutex == nullptr) {
        return 1;
    }
    return pthread_cond_wait(condVar->condition, condVar->mutex) == 0 ? 0 : 1;
}

int threadCondTimedWait(condVar_t *condVar, int timeoutMs) {
    if (condVar == nullptr || condVar->mutex == nullptr) {
        return 1;
    }
    if (timeoutMs < 0) {
        timeoutMs = 0;
    }
    // The deadline counts from the current whole second.
    timespec deadline{};
    deadline.tv_sec = time(nullptr) + timeoutMs / 1000;
    deadline.tv_nsec = static_cast<long>(timeoutMs % 1000) * 1000000L;
    const int rc = pthread_cond_timedwait(condVar->condition, condVar->mutex, &deadline);
    if (rc == 0) {
        return 0;
    }
    return rc == ETIMEDOUT ? 2 : 1;
}

int threadCondSignal(condVar_t *condVar) {
    if (condVar == nullptr) {
        return 1;
    }
    return pthread_cond_signal(condVar->condition) == 0 ? 0 : 1;
}

int threadCondBroadcast(condVar_t *condVar) {
    if (condVar == nullptr) {
        return 1;
    }
    return pthread_cond_broadcast(condVar->condition) == 0 ? 0 : 1;
}

int threadCreateThread(void *(*startFunction)(void *), void *argument, threadId_t *threadIdP) {
    if (startFunction == nullptr || threadIdP == nullptr) {
        return 1;
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, startFunction, argument) != 0) {
        return 1;
    }
    *threadIdP = static_cast<threadId_t>(thread);
    return 0;
}

int threadJoin(threadId_t threadId) {
    return pthread_join(static_cast<pthread_t>(threadId), nullptr) == 0 ? 0 : 1;
}

int threadOnceBlock(onceBlock_t *block, void (*function)(void)) {
    if (block == nullptr) {
        return 0;
    }
    // The flag is set before the function runs and the mutex is held throughout, so
    // later callers return only once the function has finished.
    pthread_mutex_lock(&block->mutex);
    if (block->flag == 0) {
        block->flag = 1;
        if (function != nullptr) {
            function();
        }
    }
    pthread_mutex_unlock(&block->mutex);
    return 0;
}

threadId_t threadGetCurrentThreadId(void) {
    return threadGetThreadId(static_cast<threadId_t>(pthread_self()));
}

threadId_t threadGetThreadId(threadId_t threadId) {
    return threadId;
}
