// Counts of what the library caught or dropped rather than let it end the
// process or grow without bound. Nothing reads them in normal operation;
// they make those paths visible to tests and to a debugger.
#ifndef LUMSDK_CORE_COUNTERS_H_
#define LUMSDK_CORE_COUNTERS_H_

#include <atomic>
#include <cstdint>

namespace sdk {

struct Counters {
  // An application callback (completion or key press) threw; the exception
  // was caught and the library went on with the next callback.
  std::atomic<uint64_t> callbackExceptions{0};
  // Key-press notifications dropped because the queue of undelivered ones
  // was full (the application's callbacks did not keep up).
  std::atomic<uint64_t> notificationsDropped{0};
  // Notifications and answers over the library's bounds: read in bounded
  // pieces and thrown away, the connection kept (a call whose answer it was
  // failed with VelmoraErrorHostUnreachable).
  std::atomic<uint64_t> notificationsOversized{0};
  std::atomic<uint64_t> answersOversized{0};
  // Failures inside a library thread (memory exhausted while reading or
  // queueing): caught, counted; the connection was marked broken.
  std::atomic<uint64_t> threadFailures{0};
  // Asynchronous colour sets refused because no memory was left for their
  // callback entry, or a single pass already held the most it can.
  std::atomic<uint64_t> asyncSetsRefused{0};
};

// The process's counters; constant-initialised, never destroyed.
Counters& counters();

}  // namespace sdk

#endif  // LUMSDK_CORE_COUNTERS_H_
