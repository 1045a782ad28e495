// One client of the soak run: calls every export at random for a given time
// while the host comes and goes, and prints what happened on one line.
//   soak_client SECONDS SEED
// It reconnects as an application would (a handshake after a call failed
// with "host unreachable", then registering for key presses again), and at
// the end waits for the callbacks of every accepted asynchronous call.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "LUMSDK.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> g_callbacks{0};
std::atomic<long> g_keys{0};

void VELMORA_CALL onDone(void*, bool, VelmoraError) { ++g_callbacks; }
void VELMORA_CALL onKey(void*, int key, bool pressed) {
  ++g_keys;
  // Calls back in, as real key-press handlers do.
  VelmoraLedColor color{key > 0 && key < 500 ? key : 1, pressed ? 255 : 0, 0, 0};
  VelmoraSetLedsColorsAsync(1, &color, nullptr, nullptr);
}

long rssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  std::mt19937 random(argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 1u);
  const auto start = Clock::now();
  const auto end = start + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  const auto warm = start + std::chrono::milliseconds(static_cast<long>(seconds * 1000 / 10));

  long calls = 0, accepted = 0, slowest = 0, rssWarm = -1;
  std::map<int, long> failures;  // last error -> count
  std::vector<VelmoraLedColor> colors(500);
  bool connected = false;
  const long rssStart = rssKb();

  while (Clock::now() < end) {
    if (rssWarm < 0 && Clock::now() > warm) rssWarm = rssKb();
    if (!connected) {
      VelmoraPerformProtocolHandshake();
      connected = VelmoraGetLastError() == VelmoraErrorNone;
      if (connected) VelmoraRegisterKeypressCallback(onKey, nullptr);
      if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    const int n = 1 + static_cast<int>(random() % 500);
    for (int i = 0; i < n; ++i) {
      colors[static_cast<size_t>(i)] = {i, static_cast<int>(random() % 256),
                                        static_cast<int>(random() % 256),
                                        static_cast<int>(random() % 256)};
    }
    const int device = static_cast<int>(random() % 6);  // one past the desk's devices
    bool ok = true;
    const auto before = Clock::now();
    switch (random() % 16) {
      case 0:
        VelmoraGetDeviceCount();
        break;
      case 1:
        VelmoraGetDeviceInfo(device);
        break;
      case 2:
        VelmoraGetLedPositions();
        break;
      case 3:
        VelmoraGetLedPositionsByDeviceIndex(device);
        break;
      case 4:
        VelmoraGetLedIdForKeyName(static_cast<char>('A' + random() % 26));
        break;
      case 5:
        VelmoraRequestControl(0);
        break;
      case 6:
        VelmoraReleaseControl(0);
        break;
      case 7:
        VelmoraSetLayerPriority(static_cast<int>(random() % 256));
        break;
      case 8:
        ok = VelmoraSetLedsColors(n, colors.data());
        break;
      case 9:
        ok = VelmoraGetLedsColors(n, colors.data());
        break;
      case 10:
        ok = VelmoraGetLedsColorsByDeviceIndex(device, n, colors.data());
        break;
      case 11:
      case 12:
        ok = VelmoraSetLedsColorsAsync(n, colors.data(), onDone, nullptr);
        if (ok) ++accepted;
        break;
      case 13:
        VelmoraSetLedsColorsBufferByDeviceIndex(device, n, colors.data());
        break;
      case 14:
        VelmoraSetLedsColorsFlushBuffer();
        break;
      default:
        ok = VelmoraSetLedsColorsFlushBufferAsync(onDone, nullptr);
        if (ok) ++accepted;
        break;
    }
    (void)ok;
    const long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
    if (ms > slowest) slowest = ms;
    ++calls;
    const int error = VelmoraGetLastError();
    if (error != VelmoraErrorNone) ++failures[error];
    if (error == VelmoraErrorHostUnreachable) connected = false;
  }

  // Every accepted call is answered exactly once, also when the host is
  // gone (then with a failure); give the workers their last passes.
  const auto wait = Clock::now() + std::chrono::seconds(10);
  while (g_callbacks.load() < accepted && Clock::now() < wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // no extra ones either
  std::string failureText;
  for (const auto& f : failures) {
    failureText += " " + std::to_string(f.first) + ":" + std::to_string(f.second);
  }
  std::printf(
      "calls %ld failures%s async-accepted %ld callbacks %ld keys %ld slowest-ms %ld "
      "rss-kb start %ld warm %ld end %ld\n",
      calls, failureText.empty() ? " none" : failureText.c_str(), accepted, g_callbacks.load(),
      g_keys.load(), slowest, rssStart, rssWarm, rssKb());
  return g_callbacks.load() == accepted ? 0 : 3;
}
