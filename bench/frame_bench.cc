// Frames of the whole desk: VelmoraSetLedsColors with the desk's 214 LEDs,
// as an animation sends them, for the performance sheet
// (scripts/perf-report.sh). Prints one "key=value" line per figure (lines
// starting with '#' say what was measured) so that a script can read them.
//
//   frame_bench canned [seconds] [--samples FILE]
//     Against a canned peer in this process, all threads on one CPU (see
//     bench_process.h), each figure next to the bare round trip of the very
//     bytes of the frame's request against the same kind of peer (a quarter
//     of the time back to back, half at 60 Hz, a quarter asynchronous):
//     - the most frames per second: calls back to back in alternating blocks
//       of the library and the bare round trip; the time of each call and the
//       calling thread's CPU time per call;
//     - 60 frames per second: one library frame and one bare round trip per
//       frame, in alternating order; the calling thread's CPU time of each;
//     - asynchronous frames back to back: calls accepted per second, requests
//       that reached the peer per second, the calling thread's CPU per call.
//     --samples FILE writes every timed call of the first part, one
//     "library US" or "bare US" line each.
//   frame_bench host set|count RATE SECONDS [--hold]
//     Against a running lumhost on the pipes of LUMSDK_PIPE_BASE: frames
//     (set) or VelmoraGetDeviceCount calls (count), RATE per second (0: back
//     to back) for SECONDS. The time of each call, this process's CPU time
//     over the run, its resident memory before the first call of the
//     library, after the handshake and at the end. --hold: prints "# ready"
//     before the run and "# done" after it, and each time waits for a line
//     on standard input, so that the caller can read the host's CPU time
//     around the run while the host still serves this client (a host may
//     end the thread that serves a client when it leaves, and with it the
//     thread's CPU count).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LUMSDK.h"
#include "bare_pipe.h"
#include "bench_process.h"
#include "bench_stats.h"
#include "canned_host.h"
#include "desk_answers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBlock = 50;                   // calls per block in the back-to-back part
constexpr double kFramePeriodUs = 1e6 / 60;  // an animation at 60 frames per second

using bench::Micros;
using bench::Quantile;

double Sum(const std::vector<double>& v) {
  double s = 0;
  for (double x : v) s += x;
  return s;
}

void Figure(const char* key, double value) { std::printf("%s=%.3f\n", key, value); }

// The desk's colours, with one LED's colour moved per frame so that every
// frame differs from the one before, as an animation's would.
struct Frame {
  std::vector<VelmoraLedColor> colors = bench::DeskColors(bench::DeskLedIds(-1));
  uint32_t n = 0;
  VelmoraLedColor* Next() {
    VelmoraLedColor& c = colors[n % colors.size()];
    c.b = static_cast<int>(++n & 0xFF);
    return colors.data();
  }
  int size() const { return static_cast<int>(colors.size()); }
};

std::atomic<uint64_t> g_callbacks{0};
std::atomic<uint64_t> g_failedCallbacks{0};
void VELMORA_CALL CountCallback(void*, bool result, VelmoraError error) {
  if (!result || error != VelmoraErrorNone) g_failedCallbacks.fetch_add(1);
  g_callbacks.fetch_add(1, std::memory_order_release);
}

// One kind of call with its samples: wall time and calling-thread CPU time.
struct Kind {
  const char* name;
  std::vector<double> wallUs;
  double cpuUs = 0;
};

// Times one call of once, adding its wall time to kind. (The thread's CPU
// time is read around whole blocks: reading it is a system call of about a
// microsecond, too much to read around each call.)
template <typename F>
bool TimeCall(Kind& kind, F once) {
  const Clock::time_point start = Clock::now();
  const bool ok = once();
  kind.wallUs.push_back(Micros(Clock::now() - start));
  return ok;
}

void Report(const char* prefix, const Kind& k) {
  const std::string p = std::string(prefix) + "_" + k.name;
  const double calls = static_cast<double>(k.wallUs.size());
  Figure((p + "_calls").c_str(), calls);
  Figure((p + "_p50_us").c_str(), Quantile(k.wallUs, 0.5));
  Figure((p + "_p99_us").c_str(), Quantile(k.wallUs, 0.99));
  Figure((p + "_max_us").c_str(), Quantile(k.wallUs, 1.0));
  Figure((p + "_fps").c_str(), calls > 0 ? 1e6 * calls / Sum(k.wallUs) : 0);
  Figure((p + "_cpu_us_per_call").c_str(), calls > 0 ? k.cpuUs / calls : 0);
}

int RunCanned(double seconds, const char* samplesPath) {
  const int cpu = bench::PinToOneCpu();
  std::printf("# all threads on CPU %d; against a canned peer in this process\n", cpu);
  bench::BareCannedPeer* peer = bench::ConnectSessionToCannedPeer();
  if (peer == nullptr) {
    std::printf("handshake with the canned peer failed\n");
    return 1;
  }
  const std::vector<uint8_t> answer = bench::TextBody(bench::DeskResultAnswer("true"));
  peer->SetAnswer(answer);
  Frame frame;
  auto set = [&frame] {
    return VelmoraSetLedsColors(frame.size(), frame.Next()) &&
           VelmoraGetLastError() == VelmoraErrorNone;
  };
  // The bytes of a frame's request as the peer got them, for the bare side.
  peer->SetCapture(true);
  const bool captured = set();
  peer->SetCapture(false);
  const std::vector<uint8_t> request = peer->LastRequest();
  if (!captured || request.empty()) {
    std::printf("the first frame failed\n");
    return 1;
  }
#ifdef _WIN32
  const bool overlapped = true;  // as the library's own pipes
#else
  const bool overlapped = false;
#endif
  const std::wstring bareName = bench::UniquePipeName(L"bare");
  bench::BareCannedPeer barePeer(bareName, answer);
  bench::BareClient bareClient(bareName, overlapped);
  std::vector<uint8_t> reply;
  auto bare = [&] { return bareClient.Exchange(request, reply) && reply.size() == answer.size(); };
  if (!bareClient.ok() || !bare()) {
    std::printf("bare client could not connect\n");
    return 1;
  }
  Figure("leds", frame.size());
  Figure("request_bytes", static_cast<double>(request.size()));

  // Back to back, alternating blocks, a quarter of the time.
  Kind flatLib{"library", {}, 0}, flatBare{"bare", {}, 0};
  for (int i = 0; i < kBlock; ++i) {  // warm-up
    if (!set() || !bare()) return 1;
  }
  const Clock::time_point flatEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(seconds / 4));
  for (uint32_t round = 0; Clock::now() < flatEnd; ++round) {
    for (int k = 0; k < 2; ++k) {
      const bool library = (round + static_cast<uint32_t>(k)) % 2 == 0;
      Kind& kind = library ? flatLib : flatBare;
      const double cpu = bench::ThreadCpuUs();
      for (int i = 0; i < kBlock; ++i) {
        if (!(library ? TimeCall(kind, set) : TimeCall(kind, bare))) {
          std::printf("a call failed\n");
          return 1;
        }
      }
      kind.cpuUs += bench::ThreadCpuUs() - cpu;
    }
  }
  std::printf("# back to back: blocks of %d calls, alternating\n", kBlock);
  Report("flat", flatLib);
  Report("flat", flatBare);
  if (samplesPath != nullptr) {
    FILE* f = std::fopen(samplesPath, "w");
    if (f == nullptr) {
      std::printf("cannot write %s\n", samplesPath);
      return 1;
    }
    for (const Kind* k : {&flatLib, &flatBare}) {
      for (double us : k->wallUs) std::fprintf(f, "%s %.3f\n", k->name, us);
    }
    std::fclose(f);
  }

  // 60 frames per second, in chunks of half a second of library frames and
  // of bare round trips, alternating; the thread's CPU time is read around
  // each chunk, so that it holds the waking up for each frame as well.
  Kind pacedLib{"library", {}, 0}, pacedBare{"bare", {}, 0};
  constexpr int kChunk = 30;
  const int chunks = std::max(2, static_cast<int>(seconds / 2 * 60 / kChunk));
  Clock::time_point next = Clock::now();
  int late = 0;
  for (int c = 0; c < chunks; ++c) {
    const bool library = c % 2 == 0;
    Kind& kind = library ? pacedLib : pacedBare;
    const double cpu = bench::ThreadCpuUs();
    for (int f = 0; f < kChunk; ++f) {
      if (!(library ? TimeCall(kind, set) : TimeCall(kind, bare))) {
        std::printf("a call failed\n");
        return 1;
      }
      next += std::chrono::microseconds(static_cast<int64_t>(kFramePeriodUs));
      if (Clock::now() > next) ++late;
      std::this_thread::sleep_until(next);
    }
    kind.cpuUs += bench::ThreadCpuUs() - cpu;
  }
  std::printf(
      "# %d frames at 60 per second, in chunks of %d library calls and %d bare round trips\n",
      chunks * kChunk, kChunk, kChunk);
  Report("paced", pacedLib);
  Report("paced", pacedBare);
  Figure("paced_late_frames", late);

  // Asynchronous frames back to back: the worker sends the newest frame once
  // per pass.
  const uint64_t requestsBefore = peer->requests();
  Kind async{"library", {}, 0};
  const Clock::time_point asyncStart = Clock::now();
  const Clock::time_point asyncEnd = asyncStart + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(seconds / 4));
  uint64_t accepted = 0;
  const double asyncCpu = bench::ThreadCpuUs();
  while (Clock::now() < asyncEnd) {
    if (TimeCall(async, [&frame] {
          return VelmoraSetLedsColorsAsync(frame.size(), frame.Next(), CountCallback, nullptr);
        })) {
      ++accepted;
    }
  }
  async.cpuUs = bench::ThreadCpuUs() - asyncCpu;
  const double asyncSeconds = std::chrono::duration<double>(Clock::now() - asyncStart).count();
  const uint64_t requests = peer->requests() - requestsBefore;
  const Clock::time_point waitEnd = Clock::now() + std::chrono::seconds(20);
  while (g_callbacks.load(std::memory_order_acquire) < accepted && Clock::now() < waitEnd) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (g_callbacks.load() < accepted || g_failedCallbacks.load() > 0) {
    std::printf("asynchronous frames: callbacks missing or failed\n");
    std::fflush(stdout);
    std::_Exit(1);
  }
  std::printf("# asynchronous frames back to back, one calling thread\n");
  Figure("async_calls_per_s", static_cast<double>(accepted) / asyncSeconds);
  Figure("async_rejected", static_cast<double>(async.wallUs.size() - accepted));
  Figure("async_requests_per_s", static_cast<double>(requests) / asyncSeconds);
  Figure("async_call_p50_us", Quantile(async.wallUs, 0.5));
  Figure("async_call_p99_us", Quantile(async.wallUs, 0.99));
  Figure("async_cpu_us_per_call", async.cpuUs / static_cast<double>(async.wallUs.size()));
  return 0;
}

// With --hold: says where the run is and waits for the caller's go.
void Hold(bool hold, const char* where) {
  if (!hold) return;
  std::printf("# %s\n", where);
  std::fflush(stdout);
  char line[64];
  if (std::fgets(line, sizeof line, stdin) == nullptr) return;
}

int RunHost(bool frames, double rate, double seconds, bool hold) {
  const double rssBefore = static_cast<double>(bench::ResidentKb());
  const char* base = std::getenv("LUMSDK_PIPE_BASE");
  if (base == nullptr || *base == '\0') {
    std::fprintf(stderr, "frame_bench host: set LUMSDK_PIPE_BASE to a running lumhost's pipes\n");
    return 2;
  }
  const Clock::time_point wait = Clock::now() + std::chrono::seconds(20);
  VelmoraPerformProtocolHandshake();
  while (VelmoraGetLastError() != VelmoraErrorNone && Clock::now() < wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    VelmoraPerformProtocolHandshake();
  }
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    std::printf("no handshake with a host on LUMSDK_PIPE_BASE=%s\n", base);
    return 1;
  }
  const double rssHandshake = static_cast<double>(bench::ResidentKb());
  Frame frame;
  const int devices = VelmoraGetDeviceCount();
  auto once = [&]() -> bool {
    if (frames) {
      return VelmoraSetLedsColors(frame.size(), frame.Next()) &&
             VelmoraGetLastError() == VelmoraErrorNone;
    }
    return VelmoraGetDeviceCount() == devices;
  };
  if (devices < 1 || !once()) {
    std::printf("the host refused the first call\n");
    return 1;
  }
  Kind kind{frames ? "set" : "count", {}, 0};
  Hold(hold, "ready");
  const double processCpu = bench::ProcessCpuUs();
  const double threadCpu = bench::ThreadCpuUs();
  const Clock::time_point start = Clock::now();
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  Clock::time_point next = start;
  int late = 0;
  while (Clock::now() < end) {
    if (!TimeCall(kind, once)) {
      std::printf("a call failed\n");
      return 1;
    }
    if (rate > 0) {
      next += std::chrono::microseconds(static_cast<int64_t>(1e6 / rate));
      if (Clock::now() > next) ++late;
      std::this_thread::sleep_until(next);
    }
  }
  const double runSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = bench::ProcessCpuUs() - processCpu;
  kind.cpuUs = bench::ThreadCpuUs() - threadCpu;
  const double calls = static_cast<double>(kind.wallUs.size());
  std::printf("# %s against lumhost, %s for %.1f s\n",
              frames ? "frames of 214 LEDs" : "device counts", rate > 0 ? "paced" : "back to back",
              runSeconds);
  Figure("calls", calls);
  Figure("seconds", runSeconds);
  Figure("calls_per_s", calls / runSeconds);
  Figure("late", late);
  Figure("p50_us", Quantile(kind.wallUs, 0.5));
  Figure("p99_us", Quantile(kind.wallUs, 0.99));
  Figure("max_us", Quantile(kind.wallUs, 1.0));
  Figure("process_cpu_us_per_call", cpu / calls);
  Figure("thread_cpu_us_per_call", kind.cpuUs / calls);
  Figure("rss_before_kb", rssBefore);
  Figure("rss_handshake_kb", rssHandshake);
  Figure("rss_end_kb", static_cast<double>(bench::ResidentKb()));
  Figure("rss_peak_kb", static_cast<double>(bench::PeakResidentKb()));
  std::fflush(stdout);
  Hold(hold, "done");
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: frame_bench canned [seconds] [--samples FILE]\n"
               "       frame_bench host set|count RATE SECONDS [--hold]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage();
  if (args[0] == "canned") {
    double seconds = 9;
    const char* samples = nullptr;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--samples" && i + 1 < args.size()) {
        samples = argv[1 + ++i];
      } else if (args[i].compare(0, 2, "--") != 0) {
        seconds = std::atof(args[i].c_str());
      } else {
        return Usage();
      }
    }
    return seconds > 0 ? RunCanned(seconds, samples) : Usage();
  }
  const bool hold = args.size() == 5 && args[4] == "--hold";
  if (args[0] == "host" && (args.size() == 4 || hold) && (args[1] == "set" || args[1] == "count")) {
    const double rate = std::atof(args[2].c_str());
    const double seconds = std::atof(args[3].c_str());
    return rate >= 0 && seconds > 0 ? RunHost(args[1] == "set", rate, seconds, hold) : Usage();
  }
  return Usage();
}
