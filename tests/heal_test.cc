// Healing clients (lumsdk.hpp) against a real lumhost process that is
// killed outright and started again on the same pipes: what the
// application asked for comes back without a line of its own, key presses
// are heard once, and calls while the host is away fail at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "lumsdk.hpp"
#include "support/eventually.h"
#include "support/host_process.h"
#include "transport/rpc_connection.h"

namespace {

using lumsdk::connection_state;
using sdk::test_support::eventually;
using sdk::test_support::HostProcess;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 30000;  // a hang, not a slow run (Wine, sanitizers)
#if defined(_WIN32)
constexpr int kCycles = 5;  // a process start costs much more under Wine
#else
constexpr int kCycles = 50;
#endif

// The states a client reported, with when each came.
class StateLog {
 public:
  // Logs every state the client reports while the subscription lives.
  lumsdk::subscription follow(lumsdk::client& c) {
    return c.on_state([this](connection_state s) { add(s); });
  }
  void add(connection_state s) {
    std::lock_guard<std::mutex> lock(mutex_);
    states_.push_back(s);
    times_.push_back(Clock::now());
    changed_.notify_all();
  }
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                             [&] { return states_.size() >= count; });
  }
  std::vector<connection_state> states() {
    std::lock_guard<std::mutex> lock(mutex_);
    return states_;
  }
  Clock::time_point time(size_t i) {
    std::lock_guard<std::mutex> lock(mutex_);
    return times_.at(i);
  }
  size_t count(connection_state s) {
    const std::vector<connection_state> all = states();
    return static_cast<size_t>(std::count(all.begin(), all.end(), s));
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<connection_state> states_;
  std::vector<Clock::time_point> times_;
};

std::string names(const std::vector<connection_state>& states) {
  static const char* const kNames[] = {"connected", "lost", "restored", "devices_changed"};
  std::string out;
  for (connection_state s : states) out += std::string(kNames[static_cast<int>(s)]) + " ";
  return out;
}

// What lumhost's "state" command says of the lit LEDs of device 0 (id to
// "#rrggbb") and of the one client.
struct HostView {
  std::map<int, std::string> lit;
  int priority = -1;
  bool holdsControl = false;
};

HostView parseState(const std::string& text) {
  HostView view;
  std::smatch m;
  if (std::regex_search(text, m, std::regex("client-[0-9]+: layer priority ([0-9]+)"))) {
    view.priority = std::stoi(m[1]);
  }
  view.holdsControl = text.find("holds control") != std::string::npos;
  const size_t device0 = text.find("\ndevice 0 ");
  const size_t device1 = text.find("\ndevice 1 ");
  if (device0 == std::string::npos) return view;
  const std::string leds = text.substr(device0, device1 - device0);
  const std::regex lit("(?:^|\\s)([0-9]+)(?:\\([^)]*\\))? (#[0-9a-f]{6})");
  for (auto it = std::sregex_iterator(leds.begin(), leds.end(), lit); it != std::sregex_iterator();
       ++it) {
    view.lit[std::stoi((*it)[1])] = (*it)[2];
  }
  return view;
}

std::string hex(const lumsdk::led_color& c) {
  char text[8];
  std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
  return text;
}

class HealTest : public ::testing::Test {
 protected:
  HealTest() : host_(LUMHOST_PATH, uniqueBase()) {
    sdk::SetWellKnownPipeBaseForTesting(
        sdk::PipePathFromName(std::wstring(host_.pipeBase().begin(), host_.pipeBase().end())));
    options_.probe_interval = std::chrono::milliseconds(100);
  }
  ~HealTest() override { sdk::SetWellKnownPipeBaseForTesting(L""); }

  static std::string uniqueBase() {
    return "lumsdk-heal-" + std::to_string(Clock::now().time_since_epoch().count() % 1000000007);
  }

  void startHost(const std::vector<std::string>& args = {}) {
    std::string error;
    ASSERT_TRUE(host_.start(args, &error)) << error;
  }

  HostView hostView() { return parseState(host_.command("state")); }

  // The first n LEDs of device 0.
  std::vector<int> leds(lumsdk::client& c, size_t n) {
    std::vector<int> ids;
    for (const lumsdk::led_position& p : c.positions(0)) {
      if (ids.size() < n) ids.push_back(p.led_id);
    }
    return ids;
  }

  HostProcess host_;
  lumsdk::client_options options_;
  StateLog log_;
};

TEST_F(HealTest, KillAndRestartBringsEverythingBack) {
  startHost();
  lumsdk::client c(options_);
  lumsdk::subscription states = log_.follow(c);
  std::atomic<int> keys{0};
  lumsdk::subscription presses = c.on_key([&](lumsdk::key_event) { ++keys; });
  c.set_layer_priority(200);
  lumsdk::control_guard control = c.exclusive_control();
  const std::vector<int> ids = leds(c, 3);
  ASSERT_EQ(ids.size(), 3u);
  const std::vector<lumsdk::led_color> colors{
      {ids[0], 255, 0, 0}, {ids[1], 0, 128, 0}, {ids[2], 1, 2, 3}};
  c.set_colors(colors);
  ASSERT_NE(host_.command("tap A").find("sent to 1 registered client"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return keys.load() == 2; }, kWaitMs));

  host_.kill();
  startHost();
  ASSERT_TRUE(log_.waitFor(2)) << names(log_.states());

  // Another client of the host, lumhost's own console, sees it all back.
  const HostView view = hostView();
  for (const lumsdk::led_color& color : colors) {
    EXPECT_EQ(view.lit.count(color.led_id) ? view.lit.at(color.led_id) : "dark", hex(color))
        << color.led_id;
  }
  EXPECT_EQ(view.priority, 200);
  EXPECT_TRUE(view.holdsControl);
  ASSERT_NE(host_.command("tap A").find("sent to 1 registered client"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return keys.load() >= 4; }, kWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // time for a second delivery
  EXPECT_EQ(keys.load(), 4);  // a press and a release, each heard once
  EXPECT_EQ(log_.states(),
            (std::vector<connection_state>{connection_state::lost, connection_state::restored}))
      << names(log_.states());
  EXPECT_EQ(c.state_callback_failures(), 0u);
}

TEST_F(HealTest, CallsFailAtOnceWhileAwayAndTheLatestColoursComeBack) {
  startHost();
  lumsdk::client c(options_);
  lumsdk::subscription states = log_.follow(c);
  const std::vector<int> ids = leds(c, 3);
  ASSERT_EQ(ids.size(), 3u);
  c.set_colors({{ids[0], 9, 9, 9}, {ids[1], 9, 9, 9}});
  host_.kill();
  ASSERT_TRUE(log_.waitFor(1));

  // Each kind of call, while the host is away: host_unreachable, at once.
  const std::error_code away = lumsdk::errc::host_unreachable;
  std::chrono::nanoseconds slowest{0};
  const auto timed = [&](const char* what, auto call) {
    std::error_code ec;
    const Clock::time_point start = Clock::now();
    call(ec);
    slowest = std::max(slowest, Clock::now() - start);
    EXPECT_EQ(ec, away) << what;
  };
  for (int i = 0; i < 50; ++i) {
    timed("set_colors", [&](std::error_code& ec) { c.set_colors({{ids[0], i, 0, 0}}, ec); });
    timed("device_count", [&](std::error_code& ec) { c.device_count(ec); });
  }
  timed("set_colors_async", [&](std::error_code& ec) {
    c.set_colors_async({{ids[1], 0, 77, 0}}, ec);
  });
  timed("buffer", [&](std::error_code& ec) { c.buffer(0, {{ids[2], 0, 0, 66}}, ec); });
  timed("flush", [&](std::error_code& ec) { c.flush(ec); });
  timed("set_layer_priority", [&](std::error_code& ec) { c.set_layer_priority(150, ec); });
  timed("exclusive_control",
        [&](std::error_code& ec) { EXPECT_FALSE(c.exclusive_control(ec).owns()); });
  timed("on_key", [&](std::error_code& ec) {
    EXPECT_FALSE(c.on_key([](lumsdk::key_event) {}, ec).active());
  });
  std::printf("slowest call while the host was away: %.3f ms\n",
              std::chrono::duration<double, std::milli>(slowest).count());
  // A generous bound: no call waited for the host (an exchange waits 5 s).
  EXPECT_LT(slowest, std::chrono::milliseconds(500));

  startHost();
  ASSERT_TRUE(log_.waitFor(2)) << names(log_.states());
  HostView view = hostView();
  EXPECT_EQ(view.lit[ids[0]], "#310000");  // the last of the fifty
  EXPECT_EQ(view.lit[ids[1]], "#004d00");  // the asynchronous set
  EXPECT_EQ(view.lit[ids[2]], "#000042");  // buffered and flushed
  EXPECT_EQ(view.priority, 150);
  EXPECT_FALSE(view.holdsControl);  // asked for while away: not granted, not restored
}

TEST_F(HealTest, AHostWithOtherDevicesSaysDevicesChanged) {
  startHost();
  lumsdk::client c(options_);
  lumsdk::subscription states = log_.follow(c);
  host_.kill();
  startHost({"--profile", LUMSDK_TEST_DATA "/sample_profile.json"});
  ASSERT_TRUE(log_.waitFor(3)) << names(log_.states());
  EXPECT_EQ(log_.states(),
            (std::vector<connection_state>{connection_state::lost, connection_state::restored,
                                           connection_state::devices_changed}))
      << names(log_.states());
  EXPECT_EQ(c.device_count(), 2);

  // The same devices again after another restart: no change to tell.
  host_.kill();
  startHost({"--profile", LUMSDK_TEST_DATA "/sample_profile.json"});
  ASSERT_TRUE(log_.waitFor(5)) << names(log_.states());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(log_.count(connection_state::devices_changed), 1u) << names(log_.states());
}

TEST_F(HealTest, AnApplicationThatStartsFirstConnectsWhenTheHostComes) {
  std::error_code ec;
  lumsdk::client c(options_, ec);
  EXPECT_EQ(ec, lumsdk::errc::host_unreachable);
  lumsdk::subscription states = log_.follow(c);
  c.set_colors({{1, 10, 20, 30}}, ec);
  EXPECT_EQ(ec, lumsdk::errc::host_unreachable);
  c.set_layer_priority(42, ec);

  startHost();
  ASSERT_TRUE(log_.waitFor(1));
  EXPECT_EQ(log_.states(), std::vector<connection_state>{connection_state::connected});
  HostView view = hostView();
  EXPECT_EQ(view.lit[1], "#0a141e");
  EXPECT_EQ(view.priority, 42);
  EXPECT_EQ(c.device_count(), 5);
}

TEST_F(HealTest, WithoutHealingALostHostStaysLost) {
  startHost();
  lumsdk::client_options off;
  off.heal = false;
  lumsdk::client c(off);
  EXPECT_FALSE(c.on_state([](connection_state) {}).active());
  host_.kill();
  startHost();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::error_code ec;
  c.device_count(ec);
  EXPECT_EQ(ec, lumsdk::errc::host_unreachable);
  c.reconnect();  // by hand, as before
  EXPECT_EQ(c.device_count(), 5);
}

// State callables: one that throws is counted, one may use the client and
// drop its own subscription, and reconnect() by hand works alongside.
TEST_F(HealTest, StateCallablesMayUseTheClient) {
  startHost();
  lumsdk::client c(options_);
  std::atomic<int> devices{-1};
  lumsdk::subscription thrower =
      c.on_state([](connection_state) { throw std::runtime_error("from a state callable"); });
  lumsdk::subscription self;
  self = c.on_state([&](connection_state s) {
    if (s == connection_state::restored) {
      devices = c.device_count();
      self.reset();
    }
  });
  lumsdk::subscription states = log_.follow(c);
  host_.kill();
  ASSERT_TRUE(log_.waitFor(1));
  startHost();
  c.reconnect();  // may race with the healer: either restores, once
  ASSERT_TRUE(log_.waitFor(2)) << names(log_.states());
  EXPECT_EQ(devices.load(), 5);
  EXPECT_FALSE(self.active());
  EXPECT_EQ(c.state_callback_failures(), 2u);  // lost and restored
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(log_.states(),
            (std::vector<connection_state>{connection_state::lost, connection_state::restored}));
}

// Many outages while another thread sets colours nonstop: every
// asynchronous set accepted is completed once, every outage is lost and
// restored once, and nothing hangs, leaks (ASan) or races (TSan).
TEST_F(HealTest, ManyKillRestartCyclesUnderLoad) {
  startHost();
  lumsdk::client c(options_);
  lumsdk::subscription states = log_.follow(c);
  std::atomic<int> keys{0};
  lumsdk::subscription presses = c.on_key([&](lumsdk::key_event) { ++keys; });
  std::atomic<bool> stop{false};
  std::atomic<long> accepted{0};
  std::atomic<long> completed{0};
  std::thread load([&] {
    for (int i = 0; !stop.load(); ++i) {
      std::error_code ec;
      c.set_colors_async(
          {{1 + i % 50, i % 256, 0, 0}}, [&](std::error_code) { ++completed; }, ec);
      if (!ec) ++accepted;
      c.set_colors({{100, 0, i % 256, 0}}, ec);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int cycle = 1; cycle <= kCycles; ++cycle) {
    host_.kill();
    startHost();
    ASSERT_TRUE(log_.waitFor(2 * static_cast<size_t>(cycle)))
        << cycle << ": " << names(log_.states());
  }
  stop = true;
  load.join();
  ASSERT_TRUE(eventually([&] { return completed.load() == accepted.load(); }, kWaitMs))
      << completed.load() << " of " << accepted.load();
  EXPECT_GT(accepted.load(), 0);
  EXPECT_EQ(log_.count(connection_state::lost), static_cast<size_t>(kCycles));
  EXPECT_EQ(log_.count(connection_state::restored), static_cast<size_t>(kCycles));
  ASSERT_NE(host_.command("tap A").find("sent to 1 registered client"), std::string::npos);
  ASSERT_TRUE(eventually([&] { return keys.load() >= 2; }, kWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(keys.load(), 2);
}

// How long a restore takes: from the new host serving (its banner seen) to
// restored, over 20 outages of 300 ms each: with the default backoff, with
// a backoff capped at 5 ms (the restore's own cost), and, as the baseline,
// the same restore done by hand with healing off the moment the host serves.
class HealMeasure : public HealTest {
 protected:
  static void print(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s, %zu cycles: p50 %.1f ms, p99 %.1f ms\n", what, ms.size(), ms[ms.size() / 2],
                ms[ms.size() * 99 / 100]);
  }

  std::vector<double> healing(const lumsdk::client_options& options) {
    StateLog log;
    std::vector<double> ms;
    lumsdk::client c(options);
    lumsdk::subscription states = log.follow(c);
    lumsdk::subscription presses = c.on_key([](lumsdk::key_event) {});
    c.set_layer_priority(200);
    lumsdk::control_guard control = c.exclusive_control();
    c.set_colors({{1, 1, 2, 3}, {2, 4, 5, 6}});
    for (size_t cycle = 1; cycle <= kMeasured; ++cycle) {
      host_.kill();
      EXPECT_TRUE(log.waitFor(2 * cycle - 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      startHost();
      const Clock::time_point serving = Clock::now();
      EXPECT_TRUE(log.waitFor(2 * cycle));
      if (log.states().size() < 2 * cycle) break;
      const auto took = log.time(2 * cycle - 1) - serving;
      ms.push_back(std::max(0.0, std::chrono::duration<double, std::milli>(took).count()));
    }
    return ms;
  }

  std::vector<double> byHand() {
    std::vector<double> ms;
    lumsdk::client_options off;
    off.heal = false;
    lumsdk::client c(off);
    lumsdk::subscription presses = c.on_key([](lumsdk::key_event) {});
    for (size_t cycle = 1; cycle <= kMeasured; ++cycle) {
      host_.kill();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      startHost();
      const Clock::time_point serving = Clock::now();
      c.reconnect();  // registers the subscription again
      c.set_layer_priority(200);
      lumsdk::control_guard control = c.exclusive_control();
      c.set_colors({{1, 1, 2, 3}, {2, 4, 5, 6}});
      ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - serving).count());
      control.release();
    }
    return ms;
  }

  static constexpr size_t kMeasured = 20;
};

TEST_F(HealMeasure, TimeFromServingToRestored) {
  startHost();
  const std::vector<double> defaults = healing(options_);
  lumsdk::client_options quick = options_;
  quick.backoff_initial = quick.backoff_max = std::chrono::milliseconds(5);
  const std::vector<double> capped = healing(quick);
  const std::vector<double> baseline = byHand();
  ASSERT_EQ(defaults.size(), kMeasured);
  ASSERT_EQ(capped.size(), kMeasured);
  print("healing, default backoff (50 ms to 2 s)", defaults);
  print("healing, backoff 5 ms", capped);
  print("baseline: reconnect and restore by hand", baseline);
}

}  // namespace
