// Process-level services of the benchmarks: running this program again as
// a child (for figures only a fresh process shows, such as the first call of
// each export), keeping all of its threads on one CPU, and reading its CPU
// time and resident memory.
#ifndef LUMSDK_BENCH_BENCH_PROCESS_H_
#define LUMSDK_BENCH_BENCH_PROCESS_H_

#include <string>

namespace bench {

// Starts this program with the arguments args (words without spaces or
// quotes), waits for it to end and returns whether it ended with exit code
// 0; its standard output goes to output.
bool RunSelf(const std::string& args, std::string* output);

// Keeps this thread, and every thread it starts from now on, on the CPU it
// runs on; call it before any thread starts. Returns that CPU's number, or
// -1 when the system refused.
//
// Why: a round trip between two threads of one process costs about 9 us
// when both share a CPU and about 25 us when the peer wakes on another, and
// which of the two a thread gets is decided once by the scheduler and then
// holds for a whole run, for the library's peer and a bare peer alike or
// not. Pinned, every round trip of a run is of the same kind and the
// library's own work is the difference.
int PinToOneCpu();

// Whether this Windows program runs under Wine, where every pipe operation
// goes through the wine server: a round trip takes about 0.5 ms, whose
// noise hides differences of a few microseconds, so goals about the
// library's own work in microseconds are judged natively only.
bool UnderWine();

// CPU time (user and system) used so far by this process, and by the calling
// thread, in microseconds. Linux counts it to the nanosecond; Windows (and
// Wine) in clock ticks of 10 to 16 ms, so take it over many calls there.
double ProcessCpuUs();
double ThreadCpuUs();

// This process's resident memory now, and its peak so far, in KiB (0 when
// the system does not say).
long ResidentKb();
long PeakResidentKb();

// Context switches of the calling thread so far: voluntary ones (it slept:
// a lock, a wait, a blocking call) and involuntary ones (preempted). False
// where the system does not count them per thread (Windows).
bool ThreadSwitches(long* voluntary, long* involuntary);

}  // namespace bench

#endif  // LUMSDK_BENCH_BENCH_PROCESS_H_
