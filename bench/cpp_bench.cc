// What the C++ header costs on the hottest call: lumsdk::client::set_colors
// against VelmoraSetLedsColors with the same colours (1, 100 and 500 LEDs),
// in one run, both against the canned peer that answers every request at
// once. Blocks of the two alternate, each round starting with the other,
// so that load from other work falls on both alike.
//
// The figure is header / raw C: the ratio of the medians of all calls, and
// the median over the rounds of the ratio of the two block medians.
// Usage: cpp_bench [rounds [block]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "LUMSDK.h"
#include "bench_stats.h"
#include "canned_host.h"
#include "lumsdk.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kGoal = 1.02;

using bench::Micros;

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
  std::nth_element(v.begin(), mid, v.end());
  return *mid;
}

struct Series {
  std::vector<double> samples;       // every call, microseconds
  std::vector<double> blockMedians;  // one per round
};

// Times blockSize calls of once(); a warm-up block keeps nothing.
template <typename Once>
bool TimeBlock(Series& series, int blockSize, bool keep, Once once) {
  std::vector<double> block;
  block.reserve(static_cast<size_t>(blockSize));
  for (int i = 0; i < blockSize; ++i) {
    const Clock::time_point start = Clock::now();
    if (!once()) return false;
    block.push_back(Micros(Clock::now() - start));
  }
  if (keep) {
    series.samples.insert(series.samples.end(), block.begin(), block.end());
    series.blockMedians.push_back(Median(block));
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  int rounds = 100, blockSize = 10;
#else
  int rounds = 200, blockSize = 100;
#endif
  if (argc > 1) rounds = std::atoi(argv[1]);
  if (argc > 2) blockSize = std::atoi(argv[2]);
  if (rounds < 1 || blockSize < 1) {
    std::fprintf(stderr, "usage: cpp_bench [rounds [block]]\n");
    return 2;
  }
  if (bench::ConnectSessionToCannedPeer() == nullptr) {
    std::printf("handshake with the canned peer failed\n");
    return 1;
  }
  std::error_code ec;
  lumsdk::client client(ec);  // the same session, handshake again through the header
  if (ec) {
    std::printf("handshake through the header failed: %s\n", ec.message().c_str());
    return 1;
  }

  std::printf(
      "set_colors through lumsdk.hpp against VelmoraSetLedsColors: %d rounds of %d calls each,\n"
      "interleaved; times are medians of all calls\n",
      rounds, blockSize);
  bool allMet = true;
  for (const int leds : {1, 100, 500}) {
    std::vector<VelmoraLedColor> raw(static_cast<size_t>(leds));
    std::vector<lumsdk::led_color> colors(static_cast<size_t>(leds));
    for (int i = 0; i < leds; ++i) {
      const auto k = static_cast<size_t>(i);
      raw[k] = VelmoraLedColor{i, (i * 37) % 256, (i * 101) % 256, i % 7};
      colors[k] = lumsdk::led_color{i, (i * 37) % 256, (i * 101) % 256, i % 7};
    }
    const auto rawOnce = [&] { return VelmoraSetLedsColors(leds, raw.data()); };
    const auto headerOnce = [&] {
      client.set_colors(colors);  // the throwing form, as most code calls it
      return true;
    };

    Series rawSeries, headerSeries;
    bool ok = true;
    try {
      ok = TimeBlock(rawSeries, blockSize, false, rawOnce) &&
           TimeBlock(headerSeries, blockSize, false, headerOnce);
      for (int r = 0; r < rounds && ok; ++r) {
        if (r % 2 == 0) {
          ok = TimeBlock(rawSeries, blockSize, true, rawOnce) &&
               TimeBlock(headerSeries, blockSize, true, headerOnce);
        } else {
          ok = TimeBlock(headerSeries, blockSize, true, headerOnce) &&
               TimeBlock(rawSeries, blockSize, true, rawOnce);
        }
      }
    } catch (const lumsdk::error& e) {
      std::printf("%d LEDs: %s\n", leds, e.what());
      return 1;
    }
    if (!ok) {
      std::printf("%d LEDs: a raw call failed (error %d)\n", leds,
                  static_cast<int>(VelmoraGetLastError()));
      return 1;
    }

    const double rawMedian = Median(rawSeries.samples);
    const double headerMedian = Median(headerSeries.samples);
    std::vector<double> roundRatios;
    for (size_t r = 0; r < rawSeries.blockMedians.size(); ++r) {
      roundRatios.push_back(headerSeries.blockMedians[r] / rawSeries.blockMedians[r]);
    }
    const double ratio = headerMedian / rawMedian;
    const double pairedRatio = Median(roundRatios);
    const bool met = pairedRatio <= kGoal;
    allMet = allMet && met;
    std::printf(
        "%3d LEDs: raw C %8.2f us, header %8.2f us; header / raw C %.3f (per round %.3f; goal "
        "<= %.2f: %s)\n",
        leds, rawMedian, headerMedian, ratio, pairedRatio, kGoal, met ? "met" : "missed");
  }
  return allMet ? 0 : 1;
}
