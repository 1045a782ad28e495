// The C++ interface (lumsdk.hpp) against the stand-in host: every call, the
// same failure thrown and reported through std::error_code, the lifetime of
// callables, key-press subscriptions and the control guard.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/fixture/host_fixture.h"
#include "lumsdk.hpp"
#include "lumsdk_version.h"
#include "support/eventually.h"

namespace {

using lumsdk::errc;
using sdk::test_support::eventually;

constexpr int kWaitMs = 10000;

class CppTest : public ::testing::Test {
 protected:
  int requestsFor(const std::string& method) {
    int n = 0;
    for (const std::string& r : host_.requests()) {
      n += r.find("\"method\":\"" + method + "\"") != std::string::npos ? 1 : 0;
    }
    return n;
  }
  std::array<int, 3> hostColor(int device, int led) {
    std::array<int, 3> c{-1, -1, -1};
    EXPECT_TRUE(host_.ledColorOnDevice(device, led, &c[0], &c[1], &c[2])) << led;
    return c;
  }

  lumhost::HostFixture host_;
};
using CppClient = CppTest;
using CppAsync = CppTest;
using CppKeys = CppTest;
using CppControl = CppTest;

TEST_F(CppClient, EveryCallReachesTheHostAndCopiesItsAnswer) {
  lumsdk::client c;
  EXPECT_EQ(c.details().sdk_version, LUMSDK_VERSION_STRING);
  EXPECT_EQ(c.details().sdk_protocol, 5);
  EXPECT_EQ(c.details().server_version, "lumhost 1.0");
  EXPECT_EQ(c.details().server_protocol, 5);
  EXPECT_FALSE(c.details().breaking_changes);

  std::shared_ptr<const lumhost::Profile> served = host_.profile();
  const lumhost::Profile& profile = *served;
  const std::vector<lumsdk::device> devices = c.devices();
  ASSERT_EQ(devices.size(), profile.devices.size());
  EXPECT_EQ(c.device_count(), static_cast<int>(devices.size()));
  size_t allLeds = 0;
  for (size_t d = 0; d < devices.size(); ++d) {
    const lumhost::Device& want = profile.devices[d];
    EXPECT_EQ(devices[d].model, want.model);
    EXPECT_EQ(devices[d].type, want.type);
    EXPECT_EQ(devices[d].led_count, static_cast<int>(want.leds.size()));
    ASSERT_EQ(devices[d].channels.size(), want.channels.size());
    for (size_t ch = 0; ch < want.channels.size(); ++ch) {
      const lumsdk::channel& got = devices[d].channels[ch];
      EXPECT_EQ(got.total_led_count, want.channels[ch].totalLeds());
      ASSERT_EQ(got.devices.size(), want.channels[ch].devices.size());
      EXPECT_EQ(got.devices.back().led_count, want.channels[ch].devices.back().ledCount);
    }
    const std::vector<lumsdk::led_position> own = c.positions(static_cast<int>(d));
    ASSERT_EQ(own.size(), want.leds.size());
    EXPECT_EQ(own.back().led_id, want.leds.back().id);
    EXPECT_NEAR(own.back().width, want.leds.back().width, 1.0);  // whole numbers
    allLeds += own.size();
  }
  EXPECT_EQ(c.positions().size(), allLeds);
  int keyDevice = 0, keyLed = 0;
  ASSERT_TRUE(profile.findLetterKey('A', &keyDevice, &keyLed));
  EXPECT_EQ(c.led_for_key('A'), keyLed);
  host_.replaceAnswer("VelmoraGetLedIdForKeyName", "{\"result\":0}");
  EXPECT_EQ(c.led_for_key('Q'), std::nullopt);

  const int a = profile.devices[0].leds[0].id, b = profile.devices[0].leds[1].id;
  c.set_colors({{a, 255, 0, 0}, {b, 0, 128, 64}});
  EXPECT_EQ(hostColor(0, b), (std::array<int, 3>{0, 128, 64}));
  std::vector<lumsdk::led_color> read{{b, 0, 0, 0}, {a, 0, 0, 0}};
  c.get_colors(read);
  EXPECT_EQ(read[0].g, 128);
  EXPECT_EQ(read[1].r, 255);
  lumsdk::led_color one[1] = {{a, 0, 0, 0}};
  c.get_colors(0, one);
  EXPECT_EQ(one[0].r, 255);

  c.buffer(0, {{a, 1, 2, 3}});
  c.flush();
  EXPECT_EQ(hostColor(0, a), (std::array<int, 3>{1, 2, 3}));
  c.buffer(0, std::array<lumsdk::led_color, 1>{{{a, 4, 5, 6}}});
  c.flush_async().get();
  EXPECT_EQ(hostColor(0, a), (std::array<int, 3>{4, 5, 6}));
  c.set_colors_async({{a, 7, 8, 9}}).get();
  EXPECT_EQ(hostColor(0, a), (std::array<int, 3>{7, 8, 9}));

  c.set_layer_priority(200);
  EXPECT_EQ(requestsFor("VelmoraSetLayerPriority"), 1);
  EXPECT_TRUE(c.exclusive_control().owns());
}

// Each failing call runs twice: with an error_code, which must be set to
// the code, and without, which must throw lumsdk::error with that code.
struct Failing {
  const char* name;
  std::function<void(lumsdk::client&, std::error_code*)> call;
  std::error_code expected;
};

template <typename F>
std::function<void(lumsdk::client&, std::error_code*)> bothForms(F f) {
  return [f](lumsdk::client& c, std::error_code* ec) {
    if (ec != nullptr) {
      f(c, *ec);
    } else {
      f(c);
    }
  };
}

void checkFailures(lumsdk::client& c, const std::vector<Failing>& rows) {
  for (const Failing& row : rows) {
    SCOPED_TRACE(row.name);
    std::error_code ec = std::make_error_code(std::errc::io_error);  // must be replaced
    row.call(c, &ec);
    EXPECT_EQ(ec, row.expected) << ec.message();
    try {
      row.call(c, nullptr);
      ADD_FAILURE() << "nothing thrown";
    } catch (const lumsdk::error& e) {
      EXPECT_EQ(e.code(), row.expected) << e.what();
    }
  }
}

TEST_F(CppClient, FailuresAreThrownOrReportedWithTheSameCode) {
  lumsdk::client c;
  const std::vector<lumsdk::led_color> badId{{600, 0, 0, 0}};
  auto ignore = [](std::error_code) {};
  host_.replaceAnswer("InternalAquireAccessMode", "{\"result\":false}");
  host_.replaceAnswer("VelmoraSetLedsColorsFlushBuffer", "{\"result\":false,\"errorCode\":0}");
  host_.replaceAnswer("VelmoraSetLedsColors", "{\"result\":false,\"errorCode\":7}");
  host_.replaceAnswer("VelmoraRegisterKeypressCallback", "{\"errorCode\":2}");
  const std::error_code bad = errc::bad_argument;
  checkFailures(
      c,
      {
          {"device_info", bothForms([](auto& c, auto&... ec) { c.device_info(-1, ec...); }), bad},
          {"positions of a device", bothForms([](auto& c, auto&... ec) { c.positions(-1, ec...); }),
           bad},
          {"led_for_key", bothForms([](auto& c, auto&... ec) { c.led_for_key('1', ec...); }), bad},
          {"set_colors", bothForms([](auto& c, auto&... ec) { c.set_colors({}, ec...); }), bad},
          {"get_colors", bothForms([&](auto& c, auto&... ec) {
             std::vector<lumsdk::led_color> v = badId;
             c.get_colors(v, ec...);
           }),
           bad},
          {"get_colors of a device", bothForms([&](auto& c, auto&... ec) {
             std::vector<lumsdk::led_color> v = badId;
             c.get_colors(0, v, ec...);
           }),
           bad},
          {"buffer", bothForms([](auto& c, auto&... ec) {
             c.buffer(-1, {{1, 0, 0, 0}}, ec...);
           }),
           bad},
          {"set_layer_priority",
           bothForms([](auto& c, auto&... ec) { c.set_layer_priority(256, ec...); }), bad},
          {"set_colors_async",
           bothForms([&](auto& c, auto&... ec) { c.set_colors_async(badId, ignore, ec...); }), bad},
          {"set_colors_async, future", bothForms([&](auto& c, auto&... ec) {
             EXPECT_FALSE(c.set_colors_async(badId, ec...).valid());
           }),
           bad},
          // The host's answers: a code passed through, or "no" without one.
          {"set_colors refused", bothForms([](auto& c, auto&... ec) {
             c.set_colors({{1, 0, 0, 0}}, ec...);
           }),
           std::error_code(7, lumsdk::category())},
          {"flush refused", bothForms([](auto& c, auto&... ec) { c.flush(ec...); }), errc::refused},
          {"exclusive_control refused",
           bothForms([](auto& c, auto&... ec) { EXPECT_FALSE(c.exclusive_control(ec...).owns()); }),
           errc::refused},
          {"on_key refused", bothForms([](auto& c, auto&... ec) {
             EXPECT_FALSE(c.on_key([](lumsdk::key_event) {}, ec...).active());
           }),
           errc::reserved},
      });
  EXPECT_EQ(requestsFor("VelomraReleaseControlMethod"), 0);  // nothing held, nothing released

  host_.stop();
  const std::error_code away = errc::host_unreachable;
  const std::vector<lumsdk::led_color> fine{{1, 2, 3, 4}};
  checkFailures(
      c,
      {
          {"device_count", bothForms([](auto& c, auto&... ec) { c.device_count(ec...); }), away},
          {"devices", bothForms([](auto& c, auto&... ec) { c.devices(ec...); }), away},
          {"device_info", bothForms([](auto& c, auto&... ec) { c.device_info(0, ec...); }), away},
          {"positions", bothForms([](auto& c, auto&... ec) { c.positions(ec...); }), away},
          {"positions of a device", bothForms([](auto& c, auto&... ec) { c.positions(0, ec...); }),
           away},
          {"led_for_key", bothForms([](auto& c, auto&... ec) { c.led_for_key('A', ec...); }), away},
          {"set_colors", bothForms([&](auto& c, auto&... ec) { c.set_colors(fine, ec...); }), away},
          {"get_colors", bothForms([&](auto& c, auto&... ec) {
             std::vector<lumsdk::led_color> v = fine;
             c.get_colors(v, ec...);
           }),
           away},
          {"get_colors of a device", bothForms([&](auto& c, auto&... ec) {
             std::vector<lumsdk::led_color> v = fine;
             c.get_colors(0, v, ec...);
           }),
           away},
          {"buffer", bothForms([&](auto& c, auto&... ec) { c.buffer(0, fine, ec...); }), away},
          {"flush", bothForms([](auto& c, auto&... ec) { c.flush(ec...); }), away},
          {"set_layer_priority",
           bothForms([](auto& c, auto&... ec) { c.set_layer_priority(1, ec...); }), away},
          {"exclusive_control",
           bothForms([](auto& c, auto&... ec) { (void)c.exclusive_control(ec...); }), away},
          {"on_key",
           bothForms([](auto& c, auto&... ec) { (void)c.on_key([](lumsdk::key_event) {}, ec...); }),
           away},
          // Last: a failed handshake leaves the session without one.
          {"reconnect", bothForms([](auto& c, auto&... ec) { c.reconnect(ec...); }), away},
          {"client", bothForms([](auto&, auto&... ec) { lumsdk::client other(ec...); }), away},
      });
  EXPECT_EQ(c.details().server_version, "");  // the failed handshake found no host
  EXPECT_EQ(c.details().server_protocol, 0);
  EXPECT_EQ(c.details().sdk_version, LUMSDK_VERSION_STRING);

  // The codes meet the standard conditions, and print.
  EXPECT_EQ(bad, std::errc::invalid_argument);
  EXPECT_EQ(away, std::errc::host_unreachable);
  EXPECT_EQ(lumsdk::make_error_code(errc::protocol_mismatch), std::errc::protocol_not_supported);
  EXPECT_EQ(lumsdk::make_error_code(errc::refused), std::errc::permission_denied);
  EXPECT_EQ(std::string(bad.category().name()), "lumsdk");
  EXPECT_EQ(std::error_code(7, lumsdk::category()).message(), "host error 7");
}

// Counts its live copies and its calls, so a test sees that the header
// calls it exactly once and then destroys it.
struct Counts {
  std::atomic<int> live{0};
  std::atomic<int> calls{0};
  std::mutex mutex;
  std::error_code last;  // guarded by mutex
};

class CountingCallable {
 public:
  explicit CountingCallable(Counts* counts, bool throws = false) : c_(counts), throws_(throws) {
    ++c_->live;
  }
  CountingCallable(const CountingCallable& o) : c_(o.c_), throws_(o.throws_) { ++c_->live; }
  CountingCallable(CountingCallable&& o) noexcept : c_(o.c_), throws_(o.throws_) { ++c_->live; }
  CountingCallable& operator=(const CountingCallable&) = delete;
  ~CountingCallable() { --c_->live; }
  void operator()(std::error_code ec) {
    {
      std::lock_guard<std::mutex> lock(c_->mutex);
      c_->last = ec;
    }
    ++c_->calls;
    if (throws_) throw std::runtime_error("thrown on the worker");
  }

 private:
  Counts* c_;
  bool throws_;
};

TEST_F(CppAsync, EachCallableIsCalledExactlyOnceAndThenReleased) {
  // Without healing, so that calls reach the library after the host went
  // away (a healing client refuses them at once: heal_test.cc).
  lumsdk::client_options off;
  off.heal = false;
  lumsdk::client c(off);
  const std::vector<lumsdk::led_color> colors{{1, 10, 20, 30}};
  struct Case {
    const char* name;
    std::function<void(lumsdk::client&, CountingCallable, std::error_code&)> start;
    bool throws;
    bool stopHostFirst;
    std::error_code refusal;  // set: the call fails and must never call back
    std::error_code outcome;  // otherwise the code the callable must receive
  };
  const auto setAsync = [&](lumsdk::client& c, CountingCallable f, std::error_code& ec) {
    c.set_colors_async(colors, std::move(f), ec);
  };
  const auto flushAsync = [](lumsdk::client& c, CountingCallable f, std::error_code& ec) {
    c.flush_async(std::move(f), ec);
  };
  const Case cases[] = {
      {"set_colors_async", setAsync, false, false, {}, {}},
      {"flush_async", flushAsync, false, false, {}, {}},
      {"a throwing callable", setAsync, true, false, {}, {}},
      {"refused",
       [](lumsdk::client& c, CountingCallable f, std::error_code& ec) {
         c.set_colors_async({}, std::move(f), ec);
       },
       false,
       false,
       errc::bad_argument,
       {}},
      {"refused, throwing form",
       [](lumsdk::client& c, CountingCallable f, std::error_code& ec) {
         try {
           c.set_colors_async(lumsdk::const_color_span(), std::move(f));
         } catch (const lumsdk::error& e) {
           ec = e.code();
         }
       },
       false,
       false,
       errc::bad_argument,
       {}},
      {"set_colors_async, host away", setAsync, false, true, {}, errc::host_unreachable},
      {"flush_async, host away", flushAsync, false, true, {}, errc::host_unreachable},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    if (k.stopHostFirst && host_.running()) host_.stop();
    Counts counts;
    std::error_code ec = std::make_error_code(std::errc::io_error);
    k.start(c, CountingCallable(&counts, k.throws), ec);
    if (k.refusal) {
      EXPECT_EQ(ec, k.refusal);
      EXPECT_EQ(counts.live.load(), 0);  // released by the header before returning
    } else {
      EXPECT_FALSE(ec) << ec.message();
      ASSERT_TRUE(eventually([&] { return counts.live.load() == 0; }, kWaitMs));
      EXPECT_EQ(counts.calls.load(), 1);
      std::lock_guard<std::mutex> lock(counts.mutex);
      EXPECT_EQ(counts.last, k.outcome) << counts.last.message();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a few more worker passes
    EXPECT_EQ(counts.calls.load(), k.refusal ? 0 : 1);
  }

  // A future reports the same outcome through get(). Shared, so that this
  // thread holds the state (and the exception in it) until after it has read
  // the exception: the exception's own count lives in the uninstrumented C++
  // runtime, where the thread sanitizer cannot see it order the worker's
  // release after these reads.
  std::shared_future<void> done = c.set_colors_async(colors).share();
  try {
    done.get();
    ADD_FAILURE() << "get() returned";
  } catch (const lumsdk::error& e) {
    EXPECT_EQ(e.code(), errc::host_unreachable);
  }
}

// Records which subscription heard which event, from the notification thread.
class Heard {
 public:
  void add(int who, lumsdk::key_event e) {
    std::lock_guard<std::mutex> lock(mutex_);
    who_.push_back(who);
    last_ = e;
  }
  std::vector<int> who() {
    std::lock_guard<std::mutex> lock(mutex_);
    return who_;
  }
  size_t count() { return who().size(); }
  lumsdk::key_event last() {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> who_;
  lumsdk::key_event last_;
};

TEST_F(CppKeys, DeliveredInSubscriptionOrderUntilDropped) {
  lumsdk::client c;
  Heard heard;
  lumsdk::subscription first = c.on_key([&](lumsdk::key_event e) { heard.add(1, e); });
  lumsdk::subscription thrower = c.on_key([&](lumsdk::key_event e) {
    heard.add(2, e);
    throw std::runtime_error("thrown on the notification thread");
  });
  lumsdk::subscription self;
  self = c.on_key([&](lumsdk::key_event e) {
    heard.add(3, e);
    self.reset();  // from inside its own call: no deadlock, never called again
  });
  lumsdk::subscription late;
  lumsdk::subscription spawner = c.on_key([&](lumsdk::key_event e) {
    heard.add(4, e);
    if (!late) late = c.on_key([&](lumsdk::key_event e) { heard.add(5, e); });
  });
  EXPECT_EQ(requestsFor("VelmoraRegisterKeypressCallback"), 1);  // one registration serves all

  host_.pressKey(42, true);
  ASSERT_TRUE(eventually([&] { return heard.count() == 4; }, kWaitMs));
  EXPECT_EQ(heard.who(), (std::vector<int>{1, 2, 3, 4}));  // 5 subscribed during the press
  EXPECT_EQ(heard.last().vendor_key, 42);
  EXPECT_TRUE(heard.last().pressed);

  thrower.reset();
  host_.pressKey(42, false);
  ASSERT_TRUE(eventually([&] { return heard.count() == 7; }, kWaitMs));
  EXPECT_EQ(heard.who(), (std::vector<int>{1, 2, 3, 4, 1, 4, 5}));
  EXPECT_FALSE(heard.last().pressed);
}

TEST_F(CppKeys, DroppedWhilePressesArrive) {
  lumsdk::client c;
  std::atomic<int> steady{0};
  lumsdk::subscription keep = c.on_key([&](lumsdk::key_event) { ++steady; });
  std::atomic<bool> stop{false};
  std::thread presser([&] {
    while (!stop.load()) {
      host_.pressKey(7, true);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  // Each subscription's callable uses memory freed right after the drop,
  // and is often running when the drop comes (ASan, TSan).
  for (int i = 0; i < 100; ++i) {
    auto calls = std::make_unique<std::atomic<int>>(0);
    lumsdk::subscription s = c.on_key([p = calls.get()](lumsdk::key_event) {
      ++*p;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      ++*p;
    });
    ASSERT_TRUE(eventually([&] { return calls->load() > 0; }, kWaitMs));
    s.reset();
    EXPECT_EQ(calls->load() % 2, 0);  // not in the middle of a call
    calls.reset();
  }
  stop = true;
  presser.join();
  EXPECT_GT(steady.load(), 0);
}

TEST_F(CppKeys, ReconnectKeepsSubscriptionsWorking) {
  lumsdk::client c;
  std::atomic<int> heard{0};
  lumsdk::subscription s = c.on_key([&](lumsdk::key_event) { ++heard; });
  const auto pressAndCount = [&](int expected) {
    host_.pressKey(1, true);
    ASSERT_TRUE(eventually([&] { return heard.load() >= expected; }, kWaitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(heard.load(), expected);  // heard once, not once per registration
  };

  // Over a connection that still works the library keeps its registration
  // and the header registers again.
  c.reconnect();
  pressAndCount(1);

  // A new connection: the library has forgotten its callbacks.
  host_.stop();
  host_.restart();
  c.reconnect();
  ASSERT_TRUE(eventually([&] { return host_.registeredClientCount() == 1; }, kWaitMs));
  pressAndCount(2);

  // A key callable may not reconnect: that would stop its own thread.
  std::atomic<bool> refused{false};
  lumsdk::subscription tries = c.on_key([&](lumsdk::key_event) {
    std::error_code ec;
    c.reconnect(ec);
    refused = ec == std::errc::resource_deadlock_would_occur;
  });
  host_.pressKey(1, true);
  ASSERT_TRUE(eventually([&] { return refused.load(); }, kWaitMs));
}

TEST_F(CppControl, GuardReleasesOnScopeExitEvenOnAnException) {
  lumsdk::client c;
  try {
    lumsdk::control_guard guard = c.exclusive_control();
    ASSERT_TRUE(guard.owns());
    throw std::runtime_error("leaves the scope");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(requestsFor("VelomraReleaseControlMethod"), 1);

  lumsdk::control_guard moved;
  {
    lumsdk::control_guard guard = c.exclusive_control();
    moved = std::move(guard);
  }
  EXPECT_EQ(requestsFor("VelomraReleaseControlMethod"), 1);  // the moved-from one holds nothing
  moved.release();
  EXPECT_FALSE(moved.owns());
  EXPECT_EQ(requestsFor("VelomraReleaseControlMethod"), 2);
}

}  // namespace
