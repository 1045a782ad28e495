// Small statistics every benchmark needs: a duration in microseconds and a
// quantile of samples.
#ifndef LUMSDK_BENCH_BENCH_STATS_H_
#define LUMSDK_BENCH_BENCH_STATS_H_

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <vector>

namespace bench {

inline double Micros(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// The value at fraction q of the samples (q = 1: the largest); 0 for none.
inline double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
  return v[i];
}

}  // namespace bench

#endif  // LUMSDK_BENCH_BENCH_STATS_H_
