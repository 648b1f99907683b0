/*
 * Threads, locks and processes: a thin layer over POSIX threads so that no other
 * module calls the thread interface itself. Every wrapper answers 0 for success and 1
 * for failure; the timed condition wait answers 2 when its deadline passed. Nothing
 * here writes trace records.
 */
#ifndef TREVANE_THREADS_H
#define TREVANE_THREADS_H

#include <pthread.h>
#include <sys/types.h>

#include "trevane/types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A mutex private to one process, allocated by threadCreateMutex; never freed. */
typedef pthread_mutex_t *threadMutex_t;

/* A mutex shared between processes; lives in storage the caller provides. */
typedef pthread_mutex_t processLock_t;

/* A condition variable bound to the mutex that guards it. */
typedef struct condVar {
    threadMutex_t mutex;
    pthread_cond_t *condition;
} condVar_t;

/* Runs a function once per block. Static blocks start as THREAD_ONCE_BLOCK_INIT. */
typedef struct onceBlock {
    int32_t flag; /* 0 not yet run, 1 run */
    pthread_mutex_t mutex;
} onceBlock_t;
#define THREAD_ONCE_BLOCK_INIT                                                                     \
    { 0, PTHREAD_MUTEX_INITIALIZER }

typedef pthread_key_t slotKey_t;
typedef unsigned long threadId_t;

int threadYield(void);
/* Creates a thread-specific-data key without destructor. */
int threadGetSlotKey(slotKey_t *slotKeyP);
/* Reads the calling thread's value for the key; null when it stored none. */
int threadGetSpecificStorage(slotKey_t slotKey, void **valuePP);
int threadSetSpecificStorage(slotKey_t slotKey, void *value);

/* Allocates and initialises a thread mutex; with lockNow set, locks it and answers the
   lock's result. On failure stores nothing. */
int threadCreateMutex(bool_t lockNow, threadMutex_t *mutexP);
int threadMutexLock(threadMutex_t mutex);
int threadMutexUnlock(threadMutex_t mutex);

/* Initialises a process-shared mutex in `storage` and stores its address in *lockPP. */
int processCreateLock(bool_t lockNow, processLock_t *storage, processLock_t **lockPP);
int processDestroyLock(processLock_t *lock);
int processLockLock(processLock_t *lock);
int processLockUnlock(processLock_t *lock);

/* Starts `fileName` (searched on PATH) in a new process with the further arguments
   given, ended by a null pointer (at most 98; more are not passed). Answers 0 and stores
   the new process's id; 1 when the program cannot be started (no process is left). */
int processCreateProcess(pid_t *processIdP, const char *fileName, ...);
/* Waits until the process no longer exists (a child of the caller is reaped); always 0,
   at once for an id that names no process or is not positive. */
int processJoin(pid_t processId);

/* Creates a condition variable guarded by `mutex`. */
int threadCreateCondVar(threadMutex_t mutex, condVar_t **condVarPP);
int threadCondWait(condVar_t *condVar);
/* As threadCondWait with a deadline of timeoutMs after the current whole second;
   0 woken, 2 deadline passed, 1 other failure. */
int threadCondTimedWait(condVar_t *condVar, int timeoutMs);
int threadCondSignal(condVar_t *condVar);
int threadCondBroadcast(condVar_t *condVar);

/* Creates a joinable thread and stores its id. */
int threadCreateThread(void *(*startFunction)(void *), void *argument, threadId_t *threadIdP);
int threadJoin(threadId_t threadId);
/* Runs `function` exactly once per block; later callers wait for it. Always 0. */
int threadOnceBlock(onceBlock_t *block, void (*function)(void));
threadId_t threadGetCurrentThreadId(void);
threadId_t threadGetThreadId(threadId_t threadId);

#ifdef __cplusplus
}
#endif

#endif
