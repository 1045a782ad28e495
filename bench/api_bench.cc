// The library's own work per synchronous call: VelmoraGetDeviceCount and
// VelmoraSetLedsColors with 1, 100 and 500 LEDs through the exports, against
// a peer that answers every request with one canned answer, next to the bare
// round trip of the same request and answer bytes (bench::BareClient against
// the same kind of peer). The difference of the two medians is what the
// library adds: checks, JSON, colour encoding, framing and locking.
//
// Blocks of each kind alternate and the medians of all blocks are compared,
// so that the ratio holds up on a machine shared with other work. Usage:
//   api_bench [rounds [block]]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "LUMSDK.h"
#include "api/exchange.h"
#include "bare_pipe.h"
#include "canned_host.h"
#include "json/json_text.h"
#include "leds/led_colors.h"

namespace {

using Clock = std::chrono::steady_clock;

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double Quantile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  const size_t i = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(i), v.end());
  return v[i];
}

double Median(std::vector<double> v) { return Quantile(std::move(v), 0.5); }

// One benchmark case: the device count (leds == 0) or a colour set, and the
// largest share of the bare round trip that the library's own work may take
// (0: no goal).
struct Case {
  const char* name;
  int leds;
  double goalPercent;
};

// Distinct ids 0..count-1 with colours that vary in width (1 to 3 digits).
std::vector<VelmoraLedColor> Colors(int count) {
  std::vector<VelmoraLedColor> colors(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    colors[static_cast<size_t>(i)] = VelmoraLedColor{i, (i * 37) % 256, (i * 101) % 256, i % 7};
  }
  return colors;
}

// The export under test.
struct LibrarySide {
  int leds = 0;
  std::vector<VelmoraLedColor> colors;

  bool Once() {
    if (leds == 0) return VelmoraGetDeviceCount() != -1;
    return VelmoraSetLedsColors(leds, colors.data()) && VelmoraGetLastError() == VelmoraErrorNone;
  }
};

// Bare OS calls with the captured request bytes against a canned peer of
// their own. The peer outlives the client (members end in reverse order).
struct BareSide {
  BareSide(const std::wstring& pipeName, bool overlapped)
      : name(pipeName),
        answer(bench::TextBody(bench::kCannedAnswer)),
        peer(name, answer),
        client(name, overlapped) {}
  bool Once() { return client.Exchange(body, reply) && reply.size() == answer.size(); }

  std::wstring name;
  std::vector<uint8_t> answer;
  bench::BareCannedPeer peer;
  bench::BareClient client;
  std::vector<uint8_t> body, reply;
};

// The timings of one kind of client in one case.
struct Series {
  std::function<bool()> once;
  std::vector<double> samples;       // every call, microseconds
  std::vector<double> blockMedians;  // one per round
  std::vector<double> blockMinima;   // one per round
  double totalUs = 0;                // time inside the timed blocks
  size_t calls = 0;

  double CallsPerSecond() const { return 1e6 * static_cast<double>(calls) / totalUs; }
};

// Times blockSize calls; a warm-up block keeps nothing.
bool TimeBlock(Series& series, int blockSize, bool keep) {
  std::vector<double> block;
  block.reserve(static_cast<size_t>(blockSize));
  const Clock::time_point blockStart = Clock::now();
  for (int i = 0; i < blockSize; ++i) {
    const Clock::time_point start = Clock::now();
    if (!series.once()) return false;
    block.push_back(Micros(Clock::now() - start));
  }
  if (keep) {
    series.totalUs += Micros(Clock::now() - blockStart);
    series.calls += block.size();
    series.samples.insert(series.samples.end(), block.begin(), block.end());
    series.blockMedians.push_back(Median(block));
    series.blockMinima.push_back(*std::min_element(block.begin(), block.end()));
  }
  return true;
}

// Median over the rounds of the difference of two per-block figures: the
// library's own work, paired round by round so that load from other work
// that comes and goes falls on both sides alike.
double PairedDifference(const std::vector<double>& library, const std::vector<double>& bare) {
  std::vector<double> d;
  for (size_t r = 0; r < library.size() && r < bare.size(); ++r) d.push_back(library[r] - bare[r]);
  return Median(d);
}

// Median time of the library's CPU work alone for one case, without pipes:
// building the request text (with the argument checks) and reading the
// answer. Tells where the difference of the round trips goes.
void PrintCpuWork(const Case& c, const std::vector<VelmoraLedColor>& colors) {
  const std::string answer = std::string(bench::kCannedAnswer) + '\0';
  std::vector<double> build, parse;
  for (int i = 0; i < 2000; ++i) {
    Clock::time_point t = Clock::now();
    size_t size = 0;
    if (c.leds == 0) {
      size = sdk::toJsonText(sdk::makeRequest("VelmoraGetDeviceCount")).size();
    } else {
      const bool ok =
          sdk::validateLedColors(c.leds, colors.data(), sdk::kCheckLedIds | sdk::kCheckComponents);
      size = ok ? sdk::buildLedsColorsRequest(c.leds, colors.data(), "VelmoraSetLedsColors").size()
                : 0;
    }
    build.push_back(Micros(Clock::now() - t));
    t = Clock::now();
    const sdk::JsonHandle parsed = sdk::parseJsonText(answer);
    const bool result = parsed.getRef("result").asBool();
    parse.push_back(Micros(Clock::now() - t));
    if (size == 0 || !result) std::abort();
  }
  std::printf("  of which, without pipes: checks and request text %.2f us, answer read %.2f us\n",
              Median(build), Median(parse));
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  int rounds = 1000, blockSize = 10;
  const bool kinds[] = {false, true};  // bare synchronous, bare overlapped
#else
  int rounds = 200, blockSize = 100;
  const bool kinds[] = {false};
#endif
  if (argc > 1) rounds = std::atoi(argv[1]);
  if (argc > 2) blockSize = std::atoi(argv[2]);
  if (rounds < 1 || blockSize < 1) {
    std::fprintf(stderr, "usage: api_bench [rounds [block]]\n");
    return 2;
  }

  bench::BareCannedPeer* libraryPeer = bench::ConnectSessionToCannedPeer();
  if (libraryPeer == nullptr) {
    std::printf("handshake with the canned peer failed\n");
    return 1;
  }
  std::vector<std::unique_ptr<BareSide>> bare;
  for (bool overlapped : kinds) {
    bare.emplace_back(new BareSide(bench::UniquePipeName(L"bare"), overlapped));
    if (!bare.back()->client.ok()) {
      std::printf("bare client could not connect\n");
      return 1;
    }
  }

  std::printf(
      "%d rounds of %d calls per kind, interleaved. Times are medians; calls/s is one over the\n"
      "median (achieved: over all timed calls, stalls included); own work is the median over\n"
      "the rounds of the difference of the block medians (or minima), export minus bare\n",
      rounds, blockSize);
#ifdef _WIN32
  const double goal500 = 5;
#else
  const double goal500 = 15;
#endif
  const Case cases[] = {{"VelmoraGetDeviceCount", 0, 5},
                        {"VelmoraSetLedsColors 1", 1, 0},
                        {"VelmoraSetLedsColors 100", 100, 0},
                        {"VelmoraSetLedsColors 500", 500, goal500}};
  for (const Case& c : cases) {
    LibrarySide library;
    library.leds = c.leds;
    library.colors = Colors(c.leds);

    // The exact bytes the export sends, as the peer received them.
    libraryPeer->SetCapture(true);
    const bool captured = library.Once();
    libraryPeer->SetCapture(false);
    const std::vector<uint8_t> request = libraryPeer->LastRequest();
    if (!captured || request.empty() || request.back() != 0) {
      std::printf("%s: no request captured\n", c.name);
      return 1;
    }

    // Series 0 is the export, 1.. the bare clients.
    std::vector<Series> series(1 + bare.size());
    series[0].once = [&library] { return library.Once(); };
    for (size_t k = 0; k < bare.size(); ++k) {
      bare[k]->body = request;
      BareSide* side = bare[k].get();
      series[k + 1].once = [side] { return side->Once(); };
    }
    bool ok = true;
    for (Series& s : series) ok = ok && TimeBlock(s, blockSize, false);  // warm-up
    // Each round starts with another kind, so none always follows the same.
    for (int r = 0; r < rounds && ok; ++r) {
      for (size_t i = 0; i < series.size() && ok; ++i) {
        ok = TimeBlock(series[(static_cast<size_t>(r) + i) % series.size()], blockSize, true);
      }
    }
    if (!ok) {
      std::printf("%s: a round trip failed\n", c.name);
      return 1;
    }

    const double call = Median(series[0].samples);
    std::printf("%s (request %zu bytes, answer %zu bytes)\n", c.name, request.size(),
                bare[0]->answer.size());
    std::printf(
        "  export          median %8.2f us  %8.0f calls/s (achieved %.0f)  p10 %.2f  p90 %.2f\n",
        call, 1e6 / call, series[0].CallsPerSecond(), Quantile(series[0].samples, 0.1),
        Quantile(series[0].samples, 0.9));
    for (size_t k = 0; k < bare.size(); ++k) {
      const Series& b = series[k + 1];
      const double bareMedian = Median(b.samples);
      const double own = PairedDifference(series[0].blockMedians, b.blockMedians);
      // The fastest call of a block has the least of other work in it: the
      // steadier figure when the machine is busy.
      const double ownFastest = PairedDifference(series[0].blockMinima, b.blockMinima);
      const double share = 100.0 * own / bareMedian;
      std::printf(
          "  bare %-10s median %8.2f us  %8.0f calls/s (achieved %.0f)  p10 %.2f  p90 %.2f\n"
          "    ratio %.3f; own work %.2f us = %.1f%% of the bare round trip",
          kinds[k] ? "overlapped" : "blocking", bareMedian, 1e6 / bareMedian, b.CallsPerSecond(),
          Quantile(b.samples, 0.1), Quantile(b.samples, 0.9), call / bareMedian, own, share);
      if (c.goalPercent > 0) {
        std::printf(" (goal < %.0f%%: %s)", c.goalPercent,
                    share < c.goalPercent ? "met" : "missed");
      }
      std::printf(
          "\n    fastest of each block: own work %.2f us = %.1f%% of the fastest bare round trip\n",
          ownFastest, 100.0 * ownFastest / Median(b.blockMinima));
    }
    PrintCpuWork(c, library.colors);
  }
  return 0;
}
