// Asynchronous colour sets under load: 8 threads call VelmoraSetLedsColorsAsync
// with 100 LEDs as fast as they can against a peer that answers every request
// with one canned answer, once answering at once and once 50 ms late. Reports
// how many requests reach the peer per second (one worker pass every 10 ms at
// most), how long each call takes to return (the longest included), and the
// time from a call to its callback. The bare round trip of the worker's
// request bytes, measured in the same run, is the yardstick. Paced single
// callers follow (one call per ms, and 60 calls per second as an animation
// would make them), to show the call times without more runnable threads
// than cores. The first call of the process, which starts the worker, is
// reported on its own. Last, the callers' own view under load: threads
// threads flat out, each counting its context switches (voluntary ones mean
// a caller slept in the library), the call times at p50/p99/p99.9 and that
// every accepted call got its callback exactly once; the same phase alone
// runs against a real lumhost with --host lumhost (bench/lumhost_bench.sh
// --async starts one). Usage:
//   async_bench [seconds per phase [threads]]
//   async_bench --host lumhost [seconds [threads]]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LUMSDK.h"
#include "bare_pipe.h"
#include "bench_process.h"
#include "bench_stats.h"
#include "canned_host.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLeds = 100;
constexpr double kPassMs = 10.0;  // the worker's pause between passes
constexpr int kCallbackWaitMs = 20000;

// Goals. Flat out: the longest call, and the 99.99th percentile (not
// judged under Wine, whose wine server stalls every thread that does I/O).
constexpr double kFlatOutLongestGoalUs = 1000;
constexpr double kFlatOutP9999GoalUs = 100;
// 60 calls per second: the median call.
constexpr double kAnimationMedianGoalUs = 2;
// A paced caller with a prompt peer: callback p99 <= the pause, two round
// trips (the one under way when the call came, and its own) and 1 ms; not
// judged under Wine, where one pipe operation can take milliseconds.
constexpr double kCallbackSlackMs = 1;

using bench::Micros;

// The value at fraction q of the sorted samples (q = 1: the largest).
double Quantile(std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  const size_t i = std::min(sorted.size() - 1, static_cast<size_t>(q * sorted.size()));
  return sorted[i];
}

// One accepted call. Its thread writes issued and callUs; the worker writes
// latencyUs from the callback, before it counts the call as done.
struct CallRecord {
  Clock::time_point issued;
  double callUs = 0;
  double latencyUs = -1;
};

std::atomic<uint64_t> g_done{0};

void VELMORA_CALL OnDone(void* context, bool result, VelmoraError error) {
  auto* record = static_cast<CallRecord*>(context);
  record->latencyUs = result && error == VelmoraErrorNone ? Micros(Clock::now() - record->issued)
                                                          : -2;  // a failed answer: counted apart
  g_done.fetch_add(1, std::memory_order_release);
}

std::vector<VelmoraLedColor> Colors() {
  std::vector<VelmoraLedColor> colors(kLeds);
  for (int i = 0; i < kLeds; ++i) colors[i] = VelmoraLedColor{i, (i * 37) % 256, i % 200, 7};
  return colors;
}

// Waits until every accepted call has had its callback.
bool WaitForCallbacks(uint64_t expected) {
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kCallbackWaitMs);
  while (g_done.load(std::memory_order_acquire) < expected) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

struct PhaseResult {
  double seconds = 0;
  uint64_t accepted = 0;
  uint64_t rejected = 0;
  uint64_t requests = 0;  // that reached the peer during the phase
  uint64_t failedCallbacks = 0;
  std::vector<double> callUs, latencyUs;
  // Where a worker pass spends its time, one entry per pass, microseconds:
  // from the request's arrival at the peer to its first callback, from the
  // first callback to the last, and from the last to the next request.
  std::vector<double> answerToCallback, callbacks, callbackToNext;
};

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return Quantile(v, 0.5);
}

// Splits the callbacks at the arrivals of the requests at the peer: a pass
// calls back after its request arrived and before the next one is sent.
void PassBreakdown(const std::vector<Clock::time_point>& arrivals,
                   std::vector<Clock::time_point> callbackTimes, PhaseResult* out) {
  std::sort(callbackTimes.begin(), callbackTimes.end());
  auto cb = callbackTimes.begin();
  Clock::time_point previousLast{};
  for (size_t k = 0; k < arrivals.size(); ++k) {
    if (k > 0 && previousLast != Clock::time_point{}) {
      out->callbackToNext.push_back(Micros(arrivals[k] - previousLast));
    }
    previousLast = Clock::time_point{};
    while (cb != callbackTimes.end() && *cb < arrivals[k]) ++cb;
    const auto first = cb;
    while (cb != callbackTimes.end() && (k + 1 == arrivals.size() || *cb < arrivals[k + 1])) ++cb;
    if (first == cb) continue;
    out->answerToCallback.push_back(Micros(*first - arrivals[k]));
    out->callbacks.push_back(Micros(*(cb - 1) - *first));
    previousLast = *(cb - 1);
  }
}

// Issues calls on threads threads until seconds have passed; paceUs > 0
// makes each thread call once every paceUs. Returns once every accepted
// call has had its callback.
void RunPhase(bench::BareCannedPeer* peer, int threads, double seconds, int paceUs,
              PhaseResult* out) {
  std::atomic<bool> stop{false};
  std::vector<std::deque<CallRecord>> records(static_cast<size_t>(threads));
  std::vector<uint64_t> rejected(static_cast<size_t>(threads), 0);
  const uint64_t doneBefore = g_done.load();
  peer->TakeArrivals();
  peer->SetStamping(true);
  const uint64_t requestsBefore = peer->requests();
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t) {
    // Caller thread: owned by this phase; calls until stop is set, then ends
    // and is joined below.
    callers.emplace_back([&, t] {
      std::vector<VelmoraLedColor> colors = Colors();
      std::deque<CallRecord>& mine = records[static_cast<size_t>(t)];
      Clock::time_point next = Clock::now();
      for (uint32_t n = 0; !stop.load(std::memory_order_relaxed); ++n) {
        colors[n % kLeds].b = static_cast<int>(n & 0xFF);  // a changing colour
        CallRecord& record = mine.emplace_back();
        record.issued = Clock::now();
        const bool ok = VelmoraSetLedsColorsAsync(kLeds, colors.data(), OnDone, &record);
        record.callUs = Micros(Clock::now() - record.issued);
        if (!ok) {
          ++rejected[static_cast<size_t>(t)];
          mine.pop_back();
        }
        if (paceUs > 0) {
          next += std::chrono::microseconds(paceUs);
          std::this_thread::sleep_until(next);
        }
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (std::thread& c : callers) c.join();
  out->seconds = std::chrono::duration<double>(Clock::now() - start).count();
  out->requests = peer->requests() - requestsBefore;

  for (size_t t = 0; t < records.size(); ++t) {
    out->accepted += records[t].size();
    out->rejected += rejected[t];
  }
  if (!WaitForCallbacks(doneBefore + out->accepted)) {
    // A late callback would write into records that are gone: leave at once.
    std::printf("callbacks missing after %d ms\n", kCallbackWaitMs);
    std::fflush(stdout);
    std::_Exit(1);
  }
  peer->SetStamping(false);
  std::vector<Clock::time_point> callbackTimes;
  for (const auto& mine : records) {
    for (const CallRecord& r : mine) {
      out->callUs.push_back(r.callUs);
      if (r.latencyUs >= 0) {
        out->latencyUs.push_back(r.latencyUs);
        callbackTimes.push_back(r.issued +
                                std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double, std::micro>(r.latencyUs)));
      } else {
        ++out->failedCallbacks;
      }
    }
  }
  PassBreakdown(peer->TakeArrivals(), std::move(callbackTimes), out);
  std::sort(out->callUs.begin(), out->callUs.end());
  std::sort(out->latencyUs.begin(), out->latencyUs.end());
}

enum class PhaseGoal { kFlatOut, kPaced, kAnimation, kNone };

const char* Verdict(bool met) { return met ? "met" : "missed"; }

void Report(const char* title, PhaseResult& r, double roundTripUs, int delayMs, PhaseGoal goal) {
  const double bound = 1000.0 / (kPassMs + delayMs + roundTripUs / 1000.0);
  const double rate = static_cast<double>(r.requests) / r.seconds;
  std::printf("%s, %.1f s\n", title, r.seconds);
  std::printf("  calls accepted %llu (%.0f/s), rejected %llu, failed callbacks %llu\n",
              static_cast<unsigned long long>(r.accepted),
              static_cast<double>(r.accepted) / r.seconds,
              static_cast<unsigned long long>(r.rejected),
              static_cast<unsigned long long>(r.failedCallbacks));
  std::printf(
      "  requests at the peer %.1f/s = %.3f of one per pass (1 / (10 ms + round trip) = %.1f/s); "
      "%.0f calls per request\n",
      rate, rate / bound, bound,
      r.requests ? static_cast<double>(r.accepted) / static_cast<double>(r.requests) : 0.0);
  const double callMedian = Quantile(r.callUs, 0.5);
  const double callP9999 = Quantile(r.callUs, 0.9999);
  const double longest = Quantile(r.callUs, 1.0);
  std::printf(
      "  call returns after: median %.2f us, p99 %.2f us, p99.9 %.1f us, p99.99 %.1f us, "
      "longest %.1f us (median = %.4f of the bare round trip)\n",
      callMedian, Quantile(r.callUs, 0.99), Quantile(r.callUs, 0.999), callP9999, longest,
      callMedian / roundTripUs);
  if (goal == PhaseGoal::kFlatOut) {
    std::printf(
        "  goal longest call <= %.0f us: %s; goal p99.99 <= %.0f us: %s\n", kFlatOutLongestGoalUs,
        Verdict(longest <= kFlatOutLongestGoalUs), kFlatOutP9999GoalUs,
        bench::UnderWine() ? "not judged under Wine" : Verdict(callP9999 <= kFlatOutP9999GoalUs));
  }
  if (goal == PhaseGoal::kAnimation) {
    std::printf("  goal median call <= %.1f us: %s\n", kAnimationMedianGoalUs,
                Verdict(callMedian <= kAnimationMedianGoalUs));
  }
  // With a late peer, one round trip is the bare one plus the delay.
  const double tripMs = delayMs + roundTripUs / 1000.0;
  const double p99Ms = Quantile(r.latencyUs, 0.99) / 1000.0;
  const double boundMs = kPassMs + 2 * tripMs + kCallbackSlackMs;
  std::printf(
      "  call to callback: median %.2f ms, p99 %.2f ms, max %.2f ms; p99 = 10 ms + %.2f round "
      "trips of %.3f ms",
      Quantile(r.latencyUs, 0.5) / 1000.0, p99Ms, Quantile(r.latencyUs, 1.0) / 1000.0,
      (p99Ms - kPassMs) / tripMs, tripMs);
  if (goal == PhaseGoal::kPaced || goal == PhaseGoal::kAnimation) {
    std::printf(" (goal p99 <= 10 ms + 2 round trips + 1 ms = %.2f ms: %s)\n", boundMs,
                bench::UnderWine() ? "not judged under Wine" : Verdict(p99Ms <= boundMs));
  } else {
    std::printf(" (10 ms + 2 round trips + 1 ms = %.2f ms; no goal for this phase)\n", boundMs);
  }
  std::printf(
      "  worker pass, medians: request at the peer to first callback %.2f ms, callbacks %.2f ms "
      "(one clock read each), last callback to next request %.2f ms (the 10 ms pause "
      "included)\n",
      Median(r.answerToCallback) / 1000.0, Median(r.callbacks) / 1000.0,
      Median(r.callbackToNext) / 1000.0);
}

// Median bare round trip of body against a canned peer of its own.
double BareRoundTripUs(bench::BareClient& client, const std::vector<uint8_t>& body, int count) {
  std::vector<double> samples;
  std::vector<uint8_t> reply;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    if (!client.Exchange(body, reply)) return -1;
    samples.push_back(Micros(Clock::now() - start));
  }
  std::sort(samples.begin(), samples.end());
  return Quantile(samples, 0.5);
}

// The callers' own view under load. Each call's duration goes into a
// histogram of the thread and its callback sets one bit, so the calling loop
// allocates nothing and touches no lock of its own: whatever makes a caller
// sleep is the library's. Context: thread << kThreadShift | call number.
constexpr int kThreadShift = 24;
constexpr uint32_t kMaxCallsPerThread = 1u << kThreadShift;
// Call-time bins 2% wide: bin b > 0 holds durations in [1.02^(b-1), 1.02^b) ns.
constexpr double kBinRatio = 1.02;
constexpr int kBins = 1200;  // up to 1.02^1200 ns, far beyond any call
// Goals: no caller ever sleeps, and a call's p99.9.
constexpr double kLoadP999GoalUs = 50;

struct LoadState {
  // One bit per call of each thread, set by its callback.
  std::vector<std::unique_ptr<std::atomic<uint64_t>[]>> seen;
  std::atomic<uint64_t> callbacks{0};
  std::atomic<uint64_t> twice{0};
  std::atomic<uint64_t> failed{0};
};
LoadState* g_load = nullptr;

void VELMORA_CALL OnLoadDone(void* context, bool result, VelmoraError error) {
  const uintptr_t id = reinterpret_cast<uintptr_t>(context);
  const size_t thread = id >> kThreadShift;
  const uint32_t n = static_cast<uint32_t>(id & (kMaxCallsPerThread - 1));
  const uint64_t bit = uint64_t{1} << (n & 63);
  if ((g_load->seen[thread][n >> 6].fetch_or(bit, std::memory_order_relaxed) & bit) != 0) {
    g_load->twice.fetch_add(1, std::memory_order_relaxed);
  }
  if (!result || error != VelmoraErrorNone) g_load->failed.fetch_add(1, std::memory_order_relaxed);
  g_load->callbacks.fetch_add(1, std::memory_order_release);
}

int Bin(double ns) {
  if (ns < 1) return 0;
  return std::min(kBins - 1, 1 + static_cast<int>(std::log(ns) / std::log(kBinRatio)));
}

// The upper edge of the bin holding fraction q of the calls, in us.
double BinQuantileUs(const std::vector<uint64_t>& bins, uint64_t total, double q) {
  const uint64_t rank = std::min(total - 1, static_cast<uint64_t>(q * static_cast<double>(total)));
  uint64_t seenSoFar = 0;
  for (int b = 0; b < kBins; ++b) {
    seenSoFar += bins[static_cast<size_t>(b)];
    if (seenSoFar > rank) return std::pow(kBinRatio, b) / 1000.0;
  }
  return std::pow(kBinRatio, kBins) / 1000.0;
}

// Runs the load, waits for the callbacks (and 200 ms more, for any that
// come twice), prints the figures and the goals. Returns false when
// callbacks are missing.
bool RunCallerLoad(const char* against, int threads, double seconds) {
  LoadState load;
  g_load = &load;
  for (int t = 0; t < threads; ++t) {
    load.seen.emplace_back(new std::atomic<uint64_t>[kMaxCallsPerThread / 64]);
    for (uint32_t i = 0; i < kMaxCallsPerThread / 64; ++i) load.seen.back()[i].store(0);
  }
  struct Caller {
    std::vector<uint64_t> bins = std::vector<uint64_t>(kBins, 0);
    uint64_t accepted = 0, rejected = 0;
    long voluntary = 0, involuntary = 0;
    bool counted = false, capped = false;
  };
  std::vector<Caller> callers(static_cast<size_t>(threads));
  std::atomic<bool> stop{false};
  std::vector<std::thread> running;
  const Clock::time_point start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    // Caller thread: owned by this phase; calls until stop is set, then ends
    // and is joined below.
    running.emplace_back([&, t] {
      Caller& me = callers[static_cast<size_t>(t)];
      std::vector<VelmoraLedColor> colors = Colors();
      long v0 = 0, i0 = 0, v1 = 0, i1 = 0;
      me.counted = bench::ThreadSwitches(&v0, &i0);
      uint32_t n = 0;
      for (; !stop.load(std::memory_order_relaxed); ++n) {
        if (n == kMaxCallsPerThread) {
          me.capped = true;
          break;
        }
        colors[n % kLeds].b = static_cast<int>(n & 0xFF);
        void* context = reinterpret_cast<void*>((static_cast<uintptr_t>(t) << kThreadShift) | n);
        const Clock::time_point before = Clock::now();
        const bool ok = VelmoraSetLedsColorsAsync(kLeds, colors.data(), OnLoadDone, context);
        const double ns = std::chrono::duration<double, std::nano>(Clock::now() - before).count();
        ++me.bins[static_cast<size_t>(Bin(ns))];
        ++(ok ? me.accepted : me.rejected);
      }
      me.counted = bench::ThreadSwitches(&v1, &i1) && me.counted;
      me.voluntary = v1 - v0;
      me.involuntary = i1 - i0;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop.store(true);
  for (std::thread& c : running) c.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  uint64_t accepted = 0, rejected = 0, calls = 0;
  long voluntary = 0, involuntary = 0;
  bool counted = true, capped = false;
  std::vector<uint64_t> bins(kBins, 0);
  for (const Caller& c : callers) {
    accepted += c.accepted;
    rejected += c.rejected;
    voluntary += c.voluntary;
    involuntary += c.involuntary;
    counted = counted && c.counted;
    capped = capped || c.capped;
    for (int b = 0; b < kBins; ++b) bins[static_cast<size_t>(b)] += c.bins[static_cast<size_t>(b)];
  }
  calls = accepted + rejected;
  const Clock::time_point end = Clock::now() + std::chrono::milliseconds(kCallbackWaitMs);
  while (load.callbacks.load(std::memory_order_acquire) < accepted && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  uint64_t distinct = 0;
  for (const auto& seen : load.seen) {
    for (uint32_t i = 0; i < kMaxCallsPerThread / 64; ++i) {
      uint64_t word = seen[i].load();
      for (; word != 0; word &= word - 1) ++distinct;
    }
  }
  const uint64_t callbacks = load.callbacks.load();
  const uint64_t twice = load.twice.load();
  const bool exactlyOnce = callbacks == accepted && distinct == accepted && twice == 0;
  const double p999 = calls ? BinQuantileUs(bins, calls, 0.999) : 0;

  std::printf("%d threads flat out, the callers' own view, %s, %.1f s\n", threads, against,
              elapsed);
  std::printf(
      "  calls accepted %llu (%.0f/s), rejected %llu; callbacks %llu, for %llu distinct calls, "
      "%llu twice, %llu failed%s\n",
      static_cast<unsigned long long>(accepted), static_cast<double>(accepted) / elapsed,
      static_cast<unsigned long long>(rejected), static_cast<unsigned long long>(callbacks),
      static_cast<unsigned long long>(distinct), static_cast<unsigned long long>(twice),
      static_cast<unsigned long long>(load.failed.load()),
      capped ? " (a thread stopped at its call limit)" : "");
  if (counted) {
    std::printf(
        "  caller threads' context switches (getrusage per thread, summed): voluntary %ld, "
        "involuntary %ld\n",
        voluntary, involuntary);
  } else {
    std::printf("  caller threads' context switches: not counted on this system\n");
  }
  std::printf("  call returns after (bins of 2%%): p50 %.2f us, p99 %.2f us, p99.9 %.1f us\n",
              calls ? BinQuantileUs(bins, calls, 0.5) : 0,
              calls ? BinQuantileUs(bins, calls, 0.99) : 0, p999);
  std::printf(
      "  goal 0 voluntary switches: %s; goal p99.9 <= %.0f us: %s; goal every callback "
      "exactly once: %s\n",
      counted ? Verdict(voluntary == 0) : "not measured here", kLoadP999GoalUs,
      bench::UnderWine() ? "not judged under Wine" : Verdict(p999 <= kLoadP999GoalUs),
      Verdict(exactlyOnce));
  std::fflush(stdout);
  // A late callback would find the state gone: leave instead.
  if (callbacks < accepted) {
    std::printf("callbacks missing after %d ms\n", kCallbackWaitMs);
    std::fflush(stdout);
    std::_Exit(1);
  }
  g_load = nullptr;
  return true;
}

// --host lumhost: the caller load alone, against the host serving the pipes
// of LUMSDK_PIPE_BASE.
int RunLumhost(int threads, double seconds) {
  const char* base = std::getenv("LUMSDK_PIPE_BASE");
  if (base == nullptr || *base == '\0') {
    std::fprintf(stderr,
                 "async_bench --host lumhost: set LUMSDK_PIPE_BASE to the pipes of a running "
                 "lumhost\n(bench/lumhost_bench.sh --async starts one)\n");
    return 2;
  }
  // lumhost may still be starting.
  const Clock::time_point end = Clock::now() + std::chrono::seconds(20);
  VelmoraPerformProtocolHandshake();
  while (VelmoraGetLastError() != VelmoraErrorNone && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    VelmoraPerformProtocolHandshake();
  }
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    std::printf("no handshake with a host on the pipes of LUMSDK_PIPE_BASE=%s\n", base);
    return 1;
  }
  return RunCallerLoad("against lumhost", threads, seconds) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 3;
  int threads = 8;
  const bool lumhost =
      argc > 2 && std::strcmp(argv[1], "--host") == 0 && std::strcmp(argv[2], "lumhost") == 0;
  const int firstArg = lumhost ? 3 : 1;
  if (argc > firstArg) seconds = std::atof(argv[firstArg]);
  if (argc > firstArg + 1) threads = std::atoi(argv[firstArg + 1]);
  if (seconds <= 0 || threads < 1 || threads > 255) {
    std::fprintf(stderr,
                 "usage: async_bench [seconds per phase [threads]]\n"
                 "       async_bench --host lumhost [seconds [threads]]\n");
    return 2;
  }
  if (lumhost) return RunLumhost(threads, seconds);
#ifdef _WIN32
  const bool overlapped = true;  // as the library's own pipes
  const int roundTrips = 300;
#else
  const bool overlapped = false;
  const int roundTrips = 3000;
#endif

  bench::BareCannedPeer* peer = bench::ConnectSessionToCannedPeer();
  if (peer == nullptr) {
    std::printf("handshake with the canned peer failed\n");
    return 1;
  }

  // The bytes one worker pass sends for a 100-LED call, as the peer got them.
  // The first call of the process starts the worker; the second one right
  // after it shows the cost of a call without that.
  std::vector<VelmoraLedColor> colors = Colors();
  CallRecord first, second;
  peer->SetCapture(true);
  first.issued = Clock::now();
  const bool firstOk = VelmoraSetLedsColorsAsync(kLeds, colors.data(), OnDone, &first);
  first.callUs = Micros(Clock::now() - first.issued);
  second.issued = Clock::now();
  const bool secondOk = VelmoraSetLedsColorsAsync(kLeds, colors.data(), OnDone, &second);
  second.callUs = Micros(Clock::now() - second.issued);
  if (!firstOk || !secondOk || !WaitForCallbacks(2)) {
    std::printf("the first asynchronous calls got no callback\n");
    return 1;
  }
  peer->SetCapture(false);
  const std::vector<uint8_t> request = peer->LastRequest();

  const std::wstring bareName = bench::UniquePipeName(L"bare");
  const std::vector<uint8_t> answer = bench::TextBody(bench::kCannedAnswer);
  bench::BareCannedPeer barePeer(bareName, answer);
  bench::BareClient bare(bareName, overlapped);
  double roundTripUs = BareRoundTripUs(bare, request, roundTrips);
  if (!bare.ok() || roundTripUs <= 0) {
    std::printf("bare round trip failed\n");
    return 1;
  }

  struct Phase {
    const char* title;
    int threads;
    int paceUs;
    int delayMs;
    PhaseGoal goal;
  };
  const Phase phases[] = {
      {"flat out, peer answers at once", threads, 0, 0, PhaseGoal::kFlatOut},
      {"flat out, peer answers 50 ms late", threads, 0, 50, PhaseGoal::kFlatOut},
      {"one call per ms, peer answers at once", 1, 1000, 0, PhaseGoal::kPaced},
      {"one call per ms, peer answers 50 ms late", 1, 1000, 50, PhaseGoal::kNone},
      {"60 calls per second, peer answers at once", 1, 16667, 0, PhaseGoal::kAnimation},
  };
  std::vector<PhaseResult> results(sizeof phases / sizeof phases[0]);
  for (size_t i = 0; i < results.size(); ++i) {
    peer->SetDelayMs(phases[i].delayMs);
    RunPhase(peer, phases[i].threads, seconds, phases[i].paceUs, &results[i]);
  }
  peer->SetDelayMs(0);
  // Measured again after the load, and the two runs pooled by their mean.
  const double after = BareRoundTripUs(bare, request, roundTrips);
  if (after <= 0) {
    std::printf("bare round trip failed\n");
    return 1;
  }
  std::printf(
      "%d LEDs per call; worker request %zu bytes; bare %s round trip of it: median %.1f us "
      "before the load, %.1f us after\n",
      kLeds, request.size(), overlapped ? "overlapped" : "blocking", roundTripUs, after);
  roundTripUs = (roundTripUs + after) / 2;
  std::printf(
      "first call of the process (starts the worker): %.1f us; the second call, right after it: "
      "%.1f us (no goal)\n",
      first.callUs, second.callUs);
  for (size_t i = 0; i < results.size(); ++i) {
    char title[160];
    std::snprintf(title, sizeof title, "%d thread%s, %s", phases[i].threads,
                  phases[i].threads > 1 ? "s" : "", phases[i].title);
    Report(title, results[i], roundTripUs, phases[i].delayMs, phases[i].goal);
  }
  std::fflush(stdout);
  peer->SetDelayMs(0);
  return RunCallerLoad("peer answers at once", threads, seconds) ? 0 : 1;
}
