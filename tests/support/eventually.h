// Waiting for something another thread or process makes true, with an upper
// bound that only a hang reaches.
#ifndef LUMSDK_TESTS_SUPPORT_EVENTUALLY_H_
#define LUMSDK_TESTS_SUPPORT_EVENTUALLY_H_

#include <chrono>
#include <thread>

namespace sdk {
namespace test_support {

// True once done() is; false when it is still false after timeoutMs.
template <typename Predicate>
bool eventually(Predicate done, int timeoutMs = 15000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace test_support
}  // namespace sdk

#endif  // LUMSDK_TESTS_SUPPORT_EVENTUALLY_H_
