// Storage shortage on demand. An executable that links failing_allocator.cpp with
//     target_link_options(... PRIVATE "LINKER:--wrap=calloc,--wrap=malloc,--wrap=realloc")
// has every calloc, malloc and realloc of its statically linked objects (trevane_core,
// the test itself) pass through here, so that a test can make the n-th one fail:
//
//     for (int n = 1;; ++n) {
//         prepare();                         // allocations here are not counted
//         testsupport::failNthAllocation(n);
//         run();                             // the n-th allocation answers null
//         const int seen = testsupport::stopFailing();
//         check();
//         if (seen < n) break;               // run() made fewer: every one has failed once
//     }
//
// Allocations of shared libraries (the stand-in broker, the C++ runtime) are not counted.
#ifndef TREVANE_TESTS_SUPPORT_FAILING_ALLOCATOR_H
#define TREVANE_TESTS_SUPPORT_FAILING_ALLOCATOR_H

namespace testsupport {

/* Arms: the n-th allocation from now answers null (n >= 1); counting starts at 0. */
void failNthAllocation(int n);
/* Disarms; answers how many allocations were seen since arming. */
int stopFailing();

} // namespace testsupport

#endif
