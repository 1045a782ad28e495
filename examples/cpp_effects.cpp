// Two effects through the C++ interface: every LED breathes in a slow blue,
// and each key press sends a ring of light across its device, computed from
// the LED positions. Usage: cpp_effects [seconds]
//
// Key presses arrive with the host's key id. The stand-in host sends the
// key's LED id unless its profile gives the key an id of its own; a key id
// that names no LED starts a ring at the centre of every device.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "lumsdk.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kPi = 3.14159265358979;
constexpr double kBreathSeconds = 4.0;
constexpr double kRingSpeed = 160.0;  // host units (millimetres) per second
constexpr double kRingWidth = 30.0;
constexpr double kRingSeconds = 1.2;
constexpr int kFramesPerSecond = 30;

struct Led {
  int id;
  int device;
  double x, y;  // centre, in the device's own coordinates
};

struct Ring {
  int device;
  double x, y;
  Clock::time_point start;
};

// Rings started on the library's notification thread, drawn on main.
class Rings {
 public:
  void start(const Ring& ring) {
    std::lock_guard<std::mutex> lock(mutex_);
    rings_.push_back(ring);
  }
  std::vector<Ring> live(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    rings_.erase(
        std::remove_if(rings_.begin(), rings_.end(),
                       [&](const Ring& r) { return seconds(now - r.start) > kRingSeconds; }),
        rings_.end());
    return rings_;
  }
  static double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

 private:
  std::mutex mutex_;
  std::vector<Ring> rings_;
};

// Every LED once, by device. The same id may sit on several devices, and a
// colour list that names an id twice is refused: the first one is kept.
std::vector<Led> collectLeds(lumsdk::client& host) {
  std::vector<Led> leds;
  std::set<int> seen;
  auto add = [&](const std::vector<lumsdk::led_position>& positions, int device) {
    for (const lumsdk::led_position& p : positions) {
      if (seen.insert(p.led_id).second) {
        leds.push_back(Led{p.led_id, device, p.left + p.width / 2, p.top + p.height / 2});
      }
    }
  };
  const int devices = host.device_count();
  std::error_code ec;
  for (int d = 0; d < devices && !ec; ++d) add(host.positions(d, ec), d);
  if (ec == lumsdk::errc::protocol_mismatch) {
    // A host below protocol 3 has no positions per device: one flat list.
    leds.clear();
    seen.clear();
    add(host.positions(), 0);
  } else if (ec) {
    throw lumsdk::error(ec, "positions of a device");
  }
  return leds;
}

// The middle of each device's LEDs, where a key id that names no LED starts
// a ring.
std::vector<Ring> deviceCentres(const std::vector<Led>& leds) {
  struct Box {
    double left = 1e300, top = 1e300, right = -1e300, bottom = -1e300;
  };
  std::vector<Box> boxes;
  for (const Led& led : leds) {
    if (led.device >= static_cast<int>(boxes.size())) boxes.resize(led.device + 1u);
    Box& b = boxes[static_cast<size_t>(led.device)];
    b.left = std::min(b.left, led.x);
    b.right = std::max(b.right, led.x);
    b.top = std::min(b.top, led.y);
    b.bottom = std::max(b.bottom, led.y);
  }
  std::vector<Ring> centres;
  for (size_t d = 0; d < boxes.size(); ++d) {
    if (boxes[d].left > boxes[d].right) continue;  // a device without LEDs
    centres.push_back(Ring{static_cast<int>(d), (boxes[d].left + boxes[d].right) / 2,
                           (boxes[d].top + boxes[d].bottom) / 2, Clock::time_point()});
  }
  return centres;
}

int clamp255(double v) { return static_cast<int>(std::lround(std::min(255.0, std::max(0.0, v)))); }

// Completions are counted on the library's worker thread; static, so that
// one arriving late never outlives them.
std::atomic<int> g_done{0};
std::atomic<int> g_failed{0};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  try {
    lumsdk::client host;
    std::printf("host %s, protocol %d\n", host.details().server_version.c_str(),
                host.details().server_protocol);
    const std::vector<Led> leds = collectLeds(host);
    if (leds.empty()) {
      std::fprintf(stderr, "the host reports no LEDs\n");
      return 1;
    }
    const std::vector<Ring> centres = deviceCentres(leds);

    // Above other applications' effects; hosts below protocol 4 have no
    // layers, and then it is simply not done.
    std::error_code ignored;
    host.set_layer_priority(255, ignored);

    Rings rings;
    std::atomic<int> presses{0};
    lumsdk::subscription keys = host.on_key([&](lumsdk::key_event e) {
      if (!e.pressed) return;
      ++presses;
      const Clock::time_point now = Clock::now();
      const auto led = std::find_if(leds.begin(), leds.end(),
                                    [&](const Led& l) { return l.id == e.vendor_key; });
      if (led != leds.end()) {
        rings.start(Ring{led->device, led->x, led->y, now});
      } else {
        for (Ring c : centres) {
          c.start = now;
          rings.start(c);
        }
      }
      std::printf("key %d pressed\n", e.vendor_key);
      std::fflush(stdout);
    });
    std::printf("ready: press keys on the host\n");
    std::fflush(stdout);

    std::vector<lumsdk::led_color> frame(leds.size());
    const Clock::time_point begin = Clock::now();
    const auto period = std::chrono::microseconds(1000000 / kFramesPerSecond);
    int frames = 0, sent = 0;
    for (Clock::time_point next = begin; Rings::seconds(next - begin) < seconds; next += period) {
      std::this_thread::sleep_until(next);
      const Clock::time_point now = Clock::now();
      const double breath =
          0.5 - 0.5 * std::cos(2 * kPi * Rings::seconds(now - begin) / kBreathSeconds);
      const std::vector<Ring> live = rings.live(now);
      for (size_t i = 0; i < leds.size(); ++i) {
        double light = 0;
        for (const Ring& r : live) {
          if (r.device != leds[i].device) continue;
          const double age = Rings::seconds(now - r.start);
          const double off =
              std::abs(std::hypot(leds[i].x - r.x, leds[i].y - r.y) - kRingSpeed * age);
          light = std::max(light, (1 - off / kRingWidth) * (1 - age / kRingSeconds));
        }
        frame[i] = lumsdk::led_color{leds[i].id, clamp255(255 * light),
                                     clamp255(20 + 60 * breath + 200 * light),
                                     clamp255(60 + 195 * breath)};
      }
      // Returns at once; the library sends the latest colours every 10 ms.
      host.set_colors_async(frame, [](std::error_code ec) {
        if (ec) ++g_failed;
        ++g_done;
      });
      ++frames;
      ++sent;
    }
    keys.reset();  // no more rings; the callable is gone when this returns

    // Every accepted update is answered exactly once; wait for the last ones.
    for (int waited = 0; g_done.load() < sent && waited < 2000; waited += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const int failed = g_failed.load() + (sent - g_done.load());
    std::printf("cpp_effects: %d frames on %zu LEDs, %d presses, %d failed updates\n", frames,
                leds.size(), presses.load(), failed);
    return failed == 0 ? 0 : 1;
  } catch (const lumsdk::error& e) {
    std::fprintf(stderr, "cpp_effects: %s\n", e.what());
    return 1;
  }
}
