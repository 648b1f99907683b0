// The wrapped allocation functions of failing_allocator.h. One thread arms and disarms;
// the count is atomic all the same, since a node may allocate on a broker thread.
#include "tests/support/failing_allocator.h"

#include <stdlib.h>

#include <atomic>

extern "C" void *__real_calloc(size_t count, size_t size);
extern "C" void *__real_malloc(size_t size);
extern "C" void *__real_realloc(void *pointer, size_t size);

namespace {

std::atomic<int> failAt{0};  // 0: allocations pass
std::atomic<int> counted{0}; // allocations seen since failing was armed

bool shouldFail() {
    return failAt.load() > 0 && counted.fetch_add(1) + 1 == failAt.load();
}

} // namespace

namespace testsupport {

void failNthAllocation(int n) {
    counted = 0;
    failAt = n;
}

int stopFailing() {
    failAt = 0;
    return counted.load();
}

} // namespace testsupport

extern "C" void *__wrap_calloc(size_t count, size_t size) {
    return shouldFail() ? nullptr : __real_calloc(count, size);
}
extern "C" void *__wrap_malloc(size_t size) {
    return shouldFail() ? nullptr : __real_malloc(size);
}
extern "C" void *__wrap_realloc(void *pointer, size_t size) {
    return shouldFail() ? nullptr : __real_realloc(pointer, size);
}
