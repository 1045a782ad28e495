// Many threads use every kind of call at once while the host sends key
// presses and, in a second phase, goes away and comes back. Built with
// ThreadSanitizer in CI; the assertions hold on every platform.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "LUMSDK.h"
#include "host/fixture/host_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_accepted{0};
std::atomic<int> g_completed{0};
std::atomic<int> g_keys{0};

void VELMORA_CALL onDone(void*, bool, VelmoraError) { ++g_completed; }
void VELMORA_CALL onKey(void*, int, bool) {
  ++g_keys;
  VelmoraGetLastError();
}

// One application thread: every kind of call, in a loop, until stop.
void callEverything(int seed, const std::atomic<bool>& stop) {
  unsigned state = static_cast<unsigned>(seed) * 2654435761u + 1;
  auto next = [&] { return (state = state * 1103515245u + 12345u) >> 8; };
  VelmoraLedColor colors[8];
  while (!stop.load()) {
    for (int i = 0; i < 8; ++i) {
      colors[i] = {static_cast<int>(1 + (next() % 60) * 8 + i), static_cast<int>(next() % 256),
                   static_cast<int>(next() % 256), static_cast<int>(next() % 256)};
    }
    switch (next() % 8) {
      case 0:
      case 1:
        if (VelmoraSetLedsColorsAsync(8, colors, onDone, nullptr)) ++g_accepted;
        break;
      case 2:
        VelmoraSetLedsColorsBufferByDeviceIndex(static_cast<int>(next() % 3), 8, colors);
        if (VelmoraSetLedsColorsFlushBufferAsync(onDone, nullptr)) ++g_accepted;
        break;
      case 3:
        VelmoraSetLedsColors(8, colors);
        break;
      case 4:
        VelmoraSetLedsColorsFlushBuffer();
        break;
      case 5:
        VelmoraGetDeviceInfo(static_cast<int>(next() % 4));
        VelmoraGetDeviceCount();
        break;
      case 6:
        if (next() % 16 == 0) VelmoraRegisterKeypressCallback(onKey, nullptr);
        VelmoraGetLedsColors(8, colors);
        break;
      default:
        VelmoraGetLedPositions();
        break;
    }
  }
}

TEST(ApiStress, EveryCallbackOnceAndTheLatestColoursWin) {
  lumhost::HostFixture host;
  VelmoraPerformProtocolHandshake();
  ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(onKey, nullptr));

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(callEverything, t, std::cref(stop));
  std::thread presser([&] {
    for (int i = 0; !stop.load(); ++i) {
      host.pressKey(i % 100 + 1, i % 2 == 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });

  // Phase 1: a steady host.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  // Phase 2: the host goes away and comes back; one thread reconnects.
  for (int round = 0; round < 3; ++round) {
    host.stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    host.restart();
    for (int attempt = 0; attempt < 50; ++attempt) {
      VelmoraPerformProtocolHandshake();
      if (VelmoraGetLastError() == VelmoraErrorNone) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    VelmoraRegisterKeypressCallback(onKey, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  stop = true;
  for (auto& t : threads) t.join();
  presser.join();

  // Every accepted asynchronous call hears back exactly once.
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (g_completed.load() < g_accepted.load() && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(g_completed.load(), g_accepted.load());
  EXPECT_GT(g_accepted.load(), 0);
  EXPECT_GT(g_keys.load(), 0);

  // After the storm, the latest colour of each LED is what the host shows.
  VelmoraPerformProtocolHandshake();
  ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  for (int round = 0; round < 3; ++round) {
    VelmoraLedColor latest[3] = {{10, round, 1, 2}, {11, 3, round, 5}, {12, 6, 7, round}};
    ASSERT_TRUE(VelmoraSetLedsColorsAsync(3, latest, onDone, nullptr));
  }
  const int target = g_accepted.load() + 3;
  while (g_completed.load() < target && Clock::now() < deadline + std::chrono::seconds(5)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int r = -1, g = -1, b = -1;
  ASSERT_TRUE(host.ledColor(10, &r, &g, &b));
  EXPECT_EQ(r, 2);
  ASSERT_TRUE(host.ledColor(11, &r, &g, &b));
  EXPECT_EQ(g, 2);
  ASSERT_TRUE(host.ledColor(12, &r, &g, &b));
  EXPECT_EQ(b, 2);
}

}  // namespace
