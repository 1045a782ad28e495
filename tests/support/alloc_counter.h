// Counts the bytes that operator new hands out in the whole test program
// (the library linked into it included), so that a test can bound what one
// call costs in memory. Linking alloc_counter.cc replaces the global
// operator new and delete.
#ifndef LUMSDK_TESTS_SUPPORT_ALLOC_COUNTER_H_
#define LUMSDK_TESTS_SUPPORT_ALLOC_COUNTER_H_

#include <cstddef>

namespace sdk {
namespace test_support {

// Bytes allocated and not yet freed, in the whole program.
size_t LiveBytes();
// The most that was live at once since the last ResetPeak().
size_t PeakBytes();
void ResetPeak();

// The same for what the calling thread allocated and freed alone: what a
// call costs in memory without the threads of an in-process host.
long long ThreadLiveBytes();
long long ThreadPeakBytes();
void ResetThreadPeak();

}  // namespace test_support
}  // namespace sdk

#endif  // LUMSDK_TESTS_SUPPORT_ALLOC_COUNTER_H_
