// The library's own work per synchronous call, for every export that talks
// to the host, against a peer that answers each export as a host serving a
// realistic desk would (bench/desk_answers.h), next to the bare round trip
// of the same request and answer bytes (bench::BareClient against the same
// kind of peer). The difference is what the library adds: checks, JSON,
// colour encoding, the conversion of the answer into records and their
// retaining, framing and locking.
//
// Each round runs one block of calls of every export and one of each of its
// bare round trips; the exports take turns to go first, and so do the kinds
// within an export, so that none always runs first or always follows the
// same. The own work is the median over the rounds of the difference of the
// block medians, so that load from other work that comes and goes falls on
// both sides alike. All threads run on one CPU unless --no-pin is given
// (bench_process.h says why). Usage:
//   api_bench [--no-pin] [rounds [block]]   every export, against the canned peer
//   api_bench [--no-pin] --first-calls [children]
//       the first call of each export, each in fresh processes of its own
//   api_bench [--no-pin] --host lumhost [rounds [block]]
//       positions against the device count, against a running lumhost that
//       serves the pipes named by LUMSDK_PIPE_BASE (bench/lumhost_bench.sh
//       starts one)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "LUMSDK.h"
#include "bare_pipe.h"
#include "bench_process.h"
#include "bench_stats.h"
#include "canned_host.h"
#include "desk_answers.h"
#include "json/json_text.h"
#include "leds/led_colors.h"

namespace {

using Clock = std::chrono::steady_clock;

using bench::Micros;
using bench::Quantile;

double Median(std::vector<double> v) { return Quantile(std::move(v), 0.5); }

// The goals for the library's own work, and for positions.
enum class Goal { kNone, kParameterless, kSet500, kColorList };
struct GoalLimit {
  double us;       // own work at most
  double percent;  // and at most this share of the bare round trip
  const char* what;
};
GoalLimit LimitOf(Goal goal) {
  switch (goal) {
    case Goal::kParameterless:
      return {0.6, 5, ", a parameterless call"};
    case Goal::kSet500:
      return {1.5, 15, ""};
    default:
      return {2.0, 100, ", a colour list read or flushed"};
  }
}
constexpr double kPositionsGoalRatio = 3;  // positions (214 LEDs) against a device count

std::atomic<int> g_callbacks{0};
void VELMORA_CALL CountCallback(void*, bool, VelmoraError) { g_callbacks.fetch_add(1); }
void VELMORA_CALL IgnoreKey(void*, int, bool) {}

// One export under test.
struct Export {
  std::string name;               // as printed, without the Velmora prefix
  std::string answer;             // what the canned peer answers it
  std::function<bool()> call;     // the export once: true when it returned what answer says
  std::function<void()> prepare;  // runs before each call, untimed (empty: nothing)
  std::string prepareName;        // what prepare does, when it is timed apart
  Goal goal = Goal::kNone;
  bool roundTrips = true;         // false: a first call only (no exchange after it, or async)
  int callbacks = 0;              // callbacks each call brings
  std::function<size_t()> build;  // the checks and request text alone (empty: not reported)
};

using Colors = std::shared_ptr<std::vector<VelmoraLedColor>>;

Colors MakeColors(const std::vector<int>& ids) {
  return std::make_shared<std::vector<VelmoraLedColor>>(bench::DeskColors(ids));
}

std::vector<int> FirstIds(int count) {
  std::vector<int> ids(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) ids[static_cast<size_t>(i)] = i;
  return ids;
}

// Every export that talks to the host, in the order they are reported;
// then those measured by --first-calls only.
std::vector<Export> AllExports() {
  std::vector<Export> all;
  const std::string ok = bench::DeskResultAnswer("true");
  auto add = [&all](const std::string& name, const std::string& answer,
                    std::function<bool()> call) -> Export& {
    all.emplace_back();
    all.back().name = name;
    all.back().answer = answer;
    all.back().call = std::move(call);
    return all.back();
  };
  add("PerformProtocolHandshake", bench::DeskHandshakeAnswer(), [] {
    const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
    return VelmoraGetLastError() == VelmoraErrorNone && d.serverProtocolVersion == 5;
  });
  add("GetDeviceCount", bench::DeskResultAnswer(std::to_string(bench::kDeskDevices)), [] {
    return VelmoraGetDeviceCount() == bench::kDeskDevices;
  }).goal = Goal::kParameterless;
  add("GetDeviceInfo(4)", bench::DeskControllerInfoAnswer(), [] {
    const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(bench::kDeskController);
    return info != nullptr && info->channels.channelsCount == 2;
  });
  add("GetLedPositions", bench::DeskPositionsAnswer(-1), [] {
    const VelmoraLedPositions* p = VelmoraGetLedPositions();
    return p != nullptr && p->positionsCount == bench::kDeskLeds;
  });
  add("GetLedPositionsByDeviceIndex(0)", bench::DeskPositionsAnswer(bench::kDeskKeyboard), [] {
    const VelmoraLedPositions* p = VelmoraGetLedPositionsByDeviceIndex(bench::kDeskKeyboard);
    return p != nullptr && p->positionsCount == bench::kDeskKeyboardLeds;
  });
  add("GetLedIdForKeyName('A')", bench::DeskResultAnswer("60"),
      [] { return VelmoraGetLedIdForKeyName('A') == 60; });
  add("RequestControl(0)", ok, [] { return VelmoraRequestControl(0); });
  add("ReleaseControl(0)", ok, [] { return VelmoraReleaseControl(0); });
  add("SetLayerPriority(128)", ok, [] { return VelmoraSetLayerPriority(128); });
  {
    const std::vector<int> ids = bench::DeskLedIds(-1);
    Colors colors = MakeColors(ids);
    add("GetLedsColors(214)", bench::DeskColorsAnswer(ids), [colors] {
      return VelmoraGetLedsColors(static_cast<int>(colors->size()), colors->data());
    }).goal = Goal::kColorList;
  }
  {
    const std::vector<int> ids = bench::DeskLedIds(bench::kDeskKeyboard);
    Colors colors = MakeColors(ids);
    add("GetLedsColorsByDeviceIndex(0,105)", bench::DeskColorsAnswer(ids), [colors] {
      return VelmoraGetLedsColorsByDeviceIndex(bench::kDeskKeyboard,
                                               static_cast<int>(colors->size()), colors->data());
    }).goal = Goal::kColorList;
  }
  for (int leds : {1, 100, 500}) {
    Colors colors = MakeColors(FirstIds(leds));
    Export& e = add("SetLedsColors(" + std::to_string(leds) + ")", ok, [colors, leds] {
      return VelmoraSetLedsColors(leds, colors->data()) &&
             VelmoraGetLastError() == VelmoraErrorNone;
    });
    if (leds == 500) e.goal = Goal::kSet500;
    // What the export runs: the checks and the text in one pass.
    e.build = [colors, leds]() -> size_t {
      sdk::ColorsRequestBuffer buffer;
      return sdk::checkedColorsRequest("VelmoraSetLedsColors", -1, leds, colors->data(),
                                       sdk::kCheckLedIds | sdk::kCheckComponents, &buffer)
          .size();
    };
  }
  // The whole desk, one buffer call per device.
  auto perDevice = std::make_shared<std::vector<Colors>>();
  for (int d = 0; d < bench::kDeskDevices; ++d)
    perDevice->push_back(MakeColors(bench::DeskLedIds(d)));
  auto fill = [perDevice] {
    for (size_t d = 0; d < perDevice->size(); ++d) {
      std::vector<VelmoraLedColor>& c = *(*perDevice)[d];
      if (!VelmoraSetLedsColorsBufferByDeviceIndex(static_cast<int>(d), static_cast<int>(c.size()),
                                                   c.data())) {
        std::printf("buffering the colours of device %zu failed\n", d);
        std::exit(1);
      }
    }
  };
  {
    Export& e = add("SetLedsColorsFlushBuffer(214)", ok, [] {
      return VelmoraSetLedsColorsFlushBuffer() && VelmoraGetLastError() == VelmoraErrorNone;
    });
    e.prepare = fill;
    e.prepareName = "the buffer fill before each flush (5 x SetLedsColorsBufferByDeviceIndex)";
    e.goal = Goal::kColorList;
  }

  // First calls only. The first key-press registration asks the host for
  // notifications and starts the connection's notification threads; later
  // ones send nothing.
  add("RegisterKeypressCallback", ok, [] {
    return VelmoraRegisterKeypressCallback(IgnoreKey, nullptr);
  }).roundTrips = false;
  {
    Colors colors = (*perDevice)[bench::kDeskKeyboard];
    add("SetLedsColorsBufferByDeviceIndex(0,105)", ok, [colors] {
      return VelmoraSetLedsColorsBufferByDeviceIndex(
          bench::kDeskKeyboard, static_cast<int>(colors->size()), colors->data());
    }).roundTrips = false;
  }
  {
    Colors colors = MakeColors(FirstIds(100));
    Export& e = add("SetLedsColorsAsync(100)", ok, [colors] {
      return VelmoraSetLedsColorsAsync(100, colors->data(), CountCallback, nullptr);
    });
    e.roundTrips = false;
    e.callbacks = 1;
  }
  {
    Export& e = add("SetLedsColorsFlushBufferAsync(214)", ok,
                    [] { return VelmoraSetLedsColorsFlushBufferAsync(CountCallback, nullptr); });
    e.prepare = fill;
    e.roundTrips = false;
    e.callbacks = 1;
  }
  return all;
}

// Bare OS calls with the captured request bytes against a canned peer of
// their own that gives the export's answer. The peer outlives the client
// (members end in reverse order).
struct BareSide {
  BareSide(const std::vector<uint8_t>& answerBody, const std::vector<uint8_t>& request,
           bool overlapped)
      : name(bench::UniquePipeName(L"bare")),
        answer(answerBody),
        peer(name, answer),
        client(name, overlapped),
        body(request) {}
  bool Once() { return client.Exchange(body, reply) && reply.size() == answer.size(); }

  std::wstring name;
  std::vector<uint8_t> answer;
  bench::BareCannedPeer peer;
  bench::BareClient client;
  std::vector<uint8_t> body, reply;
};

// The timings of one kind of client for one export.
struct Series {
  std::function<bool()> once;
  std::function<void()> prepare;  // untimed part of each call, timed apart
  std::vector<double> samples;    // every call, microseconds
  std::vector<double> prepareSamples;
  std::vector<double> blockMedians;  // one per round
  std::vector<double> blockMinima;   // one per round
};

// Times blockSize calls; a warm-up block keeps nothing.
bool TimeBlock(Series& series, int blockSize, bool keep) {
  std::vector<double> block, prepared;
  block.reserve(static_cast<size_t>(blockSize));
  for (int i = 0; i < blockSize; ++i) {
    if (series.prepare) {
      const Clock::time_point start = Clock::now();
      series.prepare();
      prepared.push_back(Micros(Clock::now() - start));
    }
    const Clock::time_point start = Clock::now();
    if (!series.once()) return false;
    block.push_back(Micros(Clock::now() - start));
  }
  if (keep) {
    series.samples.insert(series.samples.end(), block.begin(), block.end());
    series.prepareSamples.insert(series.prepareSamples.end(), prepared.begin(), prepared.end());
    series.blockMedians.push_back(Median(block));
    series.blockMinima.push_back(*std::min_element(block.begin(), block.end()));
  }
  return true;
}

// Median over the rounds of a per-round difference (library minus bare) or
// ratio of two per-block figures.
double Paired(const std::vector<double>& a, const std::vector<double>& b, bool ratio) {
  std::vector<double> d;
  for (size_t r = 0; r < a.size() && r < b.size(); ++r) {
    d.push_back(ratio ? a[r] / b[r] : a[r] - b[r]);
  }
  return Median(d);
}

// Median time of f alone, without pipes, over count runs.
template <typename F>
double TimeAlone(F f, int count) {
  std::vector<double> t;
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    if (!f()) std::abort();
    t.push_back(Micros(Clock::now() - start));
  }
  return Median(t);
}

// One export with its bare round trips and its figures.
struct Group {
  Export ex;
  std::vector<uint8_t> answerBody, request;
  Series library;
  std::vector<std::unique_ptr<BareSide>> bareSides;
  std::vector<Series> bare;  // one per bare kind
  double firstUs = 0, secondUs = 0;
};

const char* Verdict(bool met) { return met ? "met" : "missed"; }

int RunCanned(int rounds, int blockSize) {
#ifdef _WIN32
  const std::vector<bool> kinds = {false, true};  // bare synchronous, bare overlapped
#else
  const std::vector<bool> kinds = {false};
#endif
  // Goals are judged against the bare kind whose I/O the library's own
  // matches: overlapped on Windows, blocking elsewhere.
  const size_t reference = kinds.size() - 1;

  double firstHandshakeUs = 0;
  bench::BareCannedPeer* peer = bench::ConnectSessionToCannedPeer(&firstHandshakeUs);
  if (peer == nullptr) {
    std::printf("handshake with the canned peer failed\n");
    return 1;
  }

  std::vector<std::unique_ptr<Group>> groups;
  for (Export& e : AllExports()) {
    if (!e.roundTrips) continue;
    std::unique_ptr<Group> g(new Group);
    g->ex = e;
    g->answerBody = bench::TextBody(e.answer);
    peer->SetAnswer(g->answerBody);
    // The first and second call of each export in this process, then the
    // exact bytes it sends, as the peer received them.
    bool ok = true;
    for (double* us : {&g->firstUs, &g->secondUs}) {
      if (e.prepare) e.prepare();
      const Clock::time_point start = Clock::now();
      ok = e.call() && ok;
      *us = Micros(Clock::now() - start);
    }
    peer->SetCapture(true);
    if (e.prepare) e.prepare();
    ok = e.call() && ok;
    peer->SetCapture(false);
    g->request = peer->LastRequest();
    if (!ok || g->request.empty() || g->request.back() != 0) {
      std::printf("%s: the call failed or no request was captured\n", e.name.c_str());
      return 1;
    }
    g->library.once = e.call;
    g->library.prepare = e.prepare;
    groups.push_back(std::move(g));
  }
  // The bare peers start after the first calls, so that their threads'
  // start-up does not fall into them.
  for (auto& g : groups) {
    for (bool overlapped : kinds) {
      g->bareSides.emplace_back(new BareSide(g->answerBody, g->request, overlapped));
      if (!g->bareSides.back()->client.ok()) {
        std::printf("bare client could not connect\n");
        return 1;
      }
      BareSide* side = g->bareSides.back().get();
      g->bare.emplace_back();
      g->bare.back().once = [side] { return side->Once(); };
    }
  }

  bool ok = true;
  for (auto& g : groups) {  // warm-up
    peer->SetAnswer(g->answerBody);
    ok = ok && TimeBlock(g->library, blockSize, false);
    for (Series& s : g->bare) ok = ok && TimeBlock(s, blockSize, false);
  }
  const Clock::time_point runStart = Clock::now();
  for (int r = 0; r < rounds && ok; ++r) {
    const size_t round = static_cast<size_t>(r);
    for (size_t i = 0; i < groups.size() && ok; ++i) {
      Group& g = *groups[(round + i) % groups.size()];
      peer->SetAnswer(g.answerBody);
      const size_t n = 1 + g.bare.size();
      for (size_t k = 0; k < n && ok; ++k) {
        const size_t which = (round + k) % n;
        ok = TimeBlock(which == 0 ? g.library : g.bare[which - 1], blockSize, true);
      }
    }
  }
  if (!ok) {
    std::printf("a call or a round trip failed\n");
    return 1;
  }
  const double runSeconds = std::chrono::duration<double>(Clock::now() - runStart).count();

  std::printf(
      "%d rounds of a block of %d calls per export and bare kind, rotated (%.1f s). Times in us:\n"
      "medians and 10th/90th percentiles of all calls. ratio: export / bare median. Own work:\n"
      "median over the rounds of export block median minus bare block median (fastest: of the\n"
      "block minima), and its share of the bare round trip. parse: the answer text read alone,\n"
      "build: the checks and request text alone, both without pipes. Names drop 'Velmora'.\n\n",
      rounds, blockSize, runSeconds);
  std::printf(
      "%-34s %6s %6s | %8s %7s %7s | %-4s %8s %7s %7s | %6s | %6s %6s | %6s %6s | %6s %6s\n",
      "export", "req B", "ans B", "median", "p10", "p90", "bare", "median", "p10", "p90", "ratio",
      "own", "%", "fast", "%", "parse", "build");
  for (auto& gp : groups) {
    Group& g = *gp;
    const std::string answerText(g.answerBody.begin(), g.answerBody.end());
    const double parse =
        TimeAlone([&answerText] { return sdk::parseJsonText(answerText).isValid(); }, 200);
    char build[16] = "-";
    if (g.ex.build) std::snprintf(build, sizeof build, "%.2f", TimeAlone(g.ex.build, 2000));
    for (size_t k = 0; k < g.bare.size(); ++k) {
      const Series& b = g.bare[k];
      const double bareMedian = Median(b.samples);
      const double own = Paired(g.library.blockMedians, b.blockMedians, false);
      const double fast = Paired(g.library.blockMinima, b.blockMinima, false);
      if (k == 0) {
        std::printf("%-34s %6zu %6zu | %8.2f %7.2f %7.2f | ", g.ex.name.c_str(), g.request.size(),
                    g.answerBody.size(), Median(g.library.samples),
                    Quantile(g.library.samples, 0.1), Quantile(g.library.samples, 0.9));
      } else {
        std::printf("%-34s %6s %6s | %8s %7s %7s | ", "", "", "", "", "", "");
      }
      std::printf("%-4s %8.2f %7.2f %7.2f | %6.3f | %6.2f %5.1f%% | %6.2f %5.1f%% | %6.2f %6s\n",
                  kinds[k] ? "ovl" : "blk", bareMedian, Quantile(b.samples, 0.1),
                  Quantile(b.samples, 0.9), Median(g.library.samples) / bareMedian, own,
                  100 * own / bareMedian, fast, 100 * fast / Median(b.blockMinima), parse, build);
    }
  }
  std::printf(
      "bare: blk = blocking calls, ovl = overlapped calls with an event wait per operation.\n"
      "The peer sends the same answer every time, and for an answer identical to an earlier one\n"
      "the record calls hand back the record kept for it without reading the answer again: their\n"
      "times are those of polling an unchanged desk. What a changed answer costs shows in parse\n"
      "and in the first calls below.\n");
  for (auto& g : groups) {
    if (g->library.prepareSamples.empty()) continue;
    const std::vector<double>& p = g->library.prepareSamples;
    std::printf("%s: %s, not in its times above: median %.2f us, p10 %.2f, p90 %.2f\n",
                g->ex.name.c_str(), g->ex.prepareName.c_str(), Median(p), Quantile(p, 0.1),
                Quantile(p, 0.9));
  }

  std::printf(
      "\nFirst and second calls in this process, before any warm-up, each export after those "
      "above it\n(--first-calls: each export first in a fresh process). us:\n");
  std::printf("  %-34s %10.1f  (connection set-up included)\n", "PerformProtocolHandshake",
              firstHandshakeUs);
  for (auto& g : groups) {
    std::printf("  %-34s %10.1f  then %.1f\n", g->ex.name.c_str(), g->firstUs, g->secondUs);
  }

  std::printf("\nGoals (own work against the bare %s round trip):\n",
              kinds[reference] ? "overlapped" : "blocking");
  const Group* count = nullptr;
  const Group* positions = nullptr;
  for (auto& gp : groups) {
    const Group& g = *gp;
    if (g.ex.name == "GetDeviceCount") count = &g;
    if (g.ex.name == "GetLedPositions") positions = &g;
    if (g.ex.goal == Goal::kNone) continue;
    const Series& b = g.bare[reference];
    const double own = Paired(g.library.blockMedians, b.blockMedians, false);
    const double share = 100 * own / Median(b.samples);
    const GoalLimit limit = LimitOf(g.ex.goal);
    const std::string share_goal =
        limit.percent < 100 ? " and <= " + std::to_string(static_cast<int>(limit.percent)) + "%"
                            : "";
    std::printf("  %-34s own work %.2f us = %.1f%% (goal <= %.1f us%s%s): %s\n", g.ex.name.c_str(),
                own, share, limit.us, share_goal.c_str(), limit.what,
                bench::UnderWine() ? "not judged under Wine"
                                   : Verdict(own <= limit.us && share <= limit.percent));
  }
  if (count != nullptr && positions != nullptr) {
    const double ratio = Paired(positions->library.blockMedians, count->library.blockMedians, true);
    std::printf(
        "  %-34s %.2f x GetDeviceCount, median of the per-round ratios (goal <= %.0f x): %s\n"
        "  %-34s (against this canned peer; against lumhost: api_bench --host lumhost)\n",
        "GetLedPositions (214 LEDs)", ratio, kPositionsGoalRatio,
        Verdict(ratio <= kPositionsGoalRatio), "");
  }
  return 0;
}

// --child N: the first and second call of export N in this fresh process.
int RunChild(size_t index) {
  std::vector<Export> all = AllExports();
  if (index >= all.size()) return 2;
  const Export& e = all[index];
  double handshakeUs = 0;
  bench::BareCannedPeer* peer = bench::ConnectSessionToCannedPeer(&handshakeUs);
  if (peer == nullptr) return 1;
  peer->SetAnswer(bench::TextBody(e.answer));
  double us[2] = {0, 0};
  bool ok = true;
  for (double& t : us) {
    if (e.prepare) e.prepare();
    const Clock::time_point start = Clock::now();
    ok = e.call() && ok;
    t = Micros(Clock::now() - start);
  }
  const Clock::time_point end = Clock::now() + std::chrono::seconds(10);
  while (g_callbacks.load() < 2 * e.callbacks && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ok = ok && g_callbacks.load() == 2 * e.callbacks;
  std::printf("first-call %.3f %.3f %.3f\n", handshakeUs, us[0], us[1]);
  std::fflush(stdout);
  return ok ? 0 : 1;
}

int RunFirstCalls(int children, bool pin) {
  const std::vector<Export> all = AllExports();
  std::printf(
      "Each export's first and second call in %d fresh processes of their own, right after the\n"
      "process's first handshake (which sets up the connection). Times in us: median [min, max]\n"
      "over the processes.\n\n",
      children);
  std::printf("%-40s %30s %12s\n", "export", "first call", "second call");
  std::vector<double> handshakes;
  for (size_t i = 0; i < all.size(); ++i) {
    std::vector<double> first, second;
    for (int c = 0; c < children; ++c) {
      std::string output;
      const std::string child =
          std::string(pin ? "" : "--no-pin ") + "--child " + std::to_string(i);
      const bool ok = bench::RunSelf(child, &output);
      double h = 0, f = 0, s = 0;
      const char* line = std::strstr(output.c_str(), "first-call ");
      if (!ok || line == nullptr || std::sscanf(line, "first-call %lf %lf %lf", &h, &f, &s) != 3) {
        std::printf("%s: the child process failed\n%s", all[i].name.c_str(), output.c_str());
        return 1;
      }
      handshakes.push_back(h);
      first.push_back(f);
      second.push_back(s);
    }
    std::printf("%-40s %10.1f [%7.1f, %8.1f] %12.1f\n", all[i].name.c_str(), Median(first),
                *std::min_element(first.begin(), first.end()),
                *std::max_element(first.begin(), first.end()), Median(second));
  }
  std::printf("%-40s %10.1f [%7.1f, %8.1f]   (the first call of every process)\n",
              "PerformProtocolHandshake", Median(handshakes),
              *std::min_element(handshakes.begin(), handshakes.end()),
              *std::max_element(handshakes.begin(), handshakes.end()));
  return 0;
}

// --host lumhost: VelmoraGetLedPositions (and by device) against
// VelmoraGetDeviceCount, against a real lumhost, interleaved.
int RunLumhost(int rounds, int blockSize) {
  const char* base = std::getenv("LUMSDK_PIPE_BASE");
  if (base == nullptr || *base == '\0') {
    std::fprintf(
        stderr,
        "api_bench --host lumhost: set LUMSDK_PIPE_BASE to the pipes of a running lumhost\n"
        "(bench/lumhost_bench.sh starts one)\n");
    return 2;
  }
  // lumhost may still be starting.
  const Clock::time_point end = Clock::now() + std::chrono::seconds(20);
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  while (VelmoraGetLastError() != VelmoraErrorNone && Clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    details = VelmoraPerformProtocolHandshake();
  }
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    std::printf("no handshake with a host on the pipes of LUMSDK_PIPE_BASE=%s\n", base);
    return 1;
  }
  const int devices = VelmoraGetDeviceCount();
  const VelmoraLedPositions* all = VelmoraGetLedPositions();
  const VelmoraLedPositions* first = VelmoraGetLedPositionsByDeviceIndex(0);
  if (devices < 1 || all == nullptr || first == nullptr) {
    std::printf("the host answered no devices or no positions\n");
    return 1;
  }
  const int allCount = all->positionsCount;
  const int firstCount = first->positionsCount;
  std::printf("host %s (protocol %d): %d devices, %d LEDs, %d on device 0\n",
              details.serverVersion != nullptr ? details.serverVersion : "?",
              details.serverProtocolVersion, devices, allCount, firstCount);

  struct Case {
    const char* name;
    Series series;
  };
  Case cases[3];
  cases[0].name = "GetDeviceCount";
  cases[0].series.once = [devices] { return VelmoraGetDeviceCount() == devices; };
  cases[1].name = "GetLedPositions";
  cases[1].series.once = [allCount] {
    const VelmoraLedPositions* p = VelmoraGetLedPositions();
    return p != nullptr && p->positionsCount == allCount;
  };
  cases[2].name = "GetLedPositionsByDeviceIndex(0)";
  cases[2].series.once = [firstCount] {
    const VelmoraLedPositions* p = VelmoraGetLedPositionsByDeviceIndex(0);
    return p != nullptr && p->positionsCount == firstCount;
  };
  bool ok = true;
  for (Case& c : cases) ok = ok && TimeBlock(c.series, blockSize, false);
  for (int r = 0; r < rounds && ok; ++r) {
    for (size_t i = 0; i < 3 && ok; ++i) {
      ok = TimeBlock(cases[(static_cast<size_t>(r) + i) % 3].series, blockSize, true);
    }
  }
  if (!ok) {
    std::printf("a call failed\n");
    return 1;
  }
  std::printf("%d rounds of a block of %d calls each, rotated. Times in us.\n", rounds, blockSize);
  std::printf("%-34s %9s %9s %9s %12s\n", "export", "median", "p10", "p90", "x count");
  for (const Case& c : cases) {
    std::printf("%-34s %9.2f %9.2f %9.2f %12.2f\n", c.name, Median(c.series.samples),
                Quantile(c.series.samples, 0.1), Quantile(c.series.samples, 0.9),
                Paired(c.series.blockMedians, cases[0].series.blockMedians, true));
  }
  const double ratio = Paired(cases[1].series.blockMedians, cases[0].series.blockMedians, true);
  std::printf(
      "Goal: GetLedPositions (%d LEDs) <= %.0f x GetDeviceCount against lumhost, median of the\n"
      "per-round ratios: %.2f x: %s\n",
      allCount, kPositionsGoalRatio, ratio, Verdict(ratio <= kPositionsGoalRatio));
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: api_bench [--no-pin] [rounds [block]]\n"
               "       api_bench [--no-pin] --first-calls [children]\n"
               "       api_bench [--no-pin] --host lumhost [rounds [block]]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Defaults that keep each mode within about 10 s.
#ifdef _WIN32
  int rounds = 40, blockSize = 10, children = 3, lumhostRounds = 100;
#else
  int rounds = 300, blockSize = 50, children = 5, lumhostRounds = 200;
#endif
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool pin = args.empty() || args[0] != "--no-pin";
  if (!pin) args.erase(args.begin());
  const int cpu = pin ? bench::PinToOneCpu() : -1;
  if (!args.empty() && args[0] == "--child") {
    return args.size() == 2 ? RunChild(std::strtoul(args[1].c_str(), nullptr, 10)) : Usage();
  }
  if (pin) {
    std::printf("All threads of this process on CPU %d (--no-pin: let the system place them).\n",
                cpu);
  } else {
    std::printf("Threads placed by the system (--no-pin).\n");
  }
  if (!args.empty() && args[0] == "--first-calls") {
    if (args.size() > 1) children = std::atoi(args[1].c_str());
    return children < 1 ? Usage() : RunFirstCalls(children, pin);
  }
  const bool lumhost = args.size() >= 2 && args[0] == "--host" && args[1] == "lumhost";
  if (lumhost) {
    args.erase(args.begin(), args.begin() + 2);
    rounds = lumhostRounds;
  }
  if (!args.empty() && args[0].compare(0, 2, "--") == 0) return Usage();
  if (args.size() > 0) rounds = std::atoi(args[0].c_str());
  if (args.size() > 1) blockSize = std::atoi(args[1].c_str());
  if (rounds < 1 || blockSize < 1 || args.size() > 2) return Usage();
  return lumhost ? RunLumhost(rounds, blockSize) : RunCanned(rounds, blockSize);
}
