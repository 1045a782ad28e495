// Unloading the library (or leaving the process without unloading it) while
// its worker and notification threads run must neither hang nor crash.
// Runs against the stand-in host on the well-known pipes, with the library
// loaded at run time as an application does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LUMSDK.h"
#include "host/fixture/host_fixture.h"
#include "support/dynamic_library.h"
#include "support/test_host.h"

namespace {

namespace test_support = sdk::test_support;

using Clock = std::chrono::steady_clock;

std::atomic<int> g_completions{0};
std::atomic<int> g_keys{0};
std::atomic<bool> g_inCallback{false};
std::atomic<int> g_callbackDelayMs{0};

void VELMORA_CALL onDone(void*, bool, VelmoraError) {
  g_inCallback = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(g_callbackDelayMs.load()));
  ++g_completions;
  g_inCallback = false;
}

void VELMORA_CALL onKey(void*, int, bool) {
  g_inCallback = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(g_callbackDelayMs.load()));
  ++g_keys;
  g_inCallback = false;
}

// The library's functions, resolved by name.
struct Library {
  Module module = nullptr;
  VelmoraProtocolDetails(VELMORA_CALL* handshake)(void) = nullptr;
  bool(VELMORA_CALL* setAsync)(int, VelmoraLedColor*, VelmoraAsyncCallback, void*) = nullptr;
  bool(VELMORA_CALL* buffer)(int, int, VelmoraLedColor*) = nullptr;
  bool(VELMORA_CALL* flushAsync)(VelmoraAsyncCallback, void*) = nullptr;
  bool(VELMORA_CALL* registerKeys)(VelmoraKeypressCallback, void*) = nullptr;
  VelmoraError(VELMORA_CALL* lastError)(void) = nullptr;

  bool load() {
    module = openLibrary();
    if (!module) return false;
    handshake =
        reinterpret_cast<decltype(handshake)>(symbol(module, "VelmoraPerformProtocolHandshake"));
    setAsync = reinterpret_cast<decltype(setAsync)>(symbol(module, "VelmoraSetLedsColorsAsync"));
    buffer = reinterpret_cast<decltype(buffer)>(
        symbol(module, "VelmoraSetLedsColorsBufferByDeviceIndex"));
    flushAsync = reinterpret_cast<decltype(flushAsync)>(
        symbol(module, "VelmoraSetLedsColorsFlushBufferAsync"));
    registerKeys =
        reinterpret_cast<decltype(registerKeys)>(symbol(module, "VelmoraRegisterKeypressCallback"));
    lastError = reinterpret_cast<decltype(lastError)>(symbol(module, "VelmoraGetLastError"));
    return handshake && setAsync && buffer && flushAsync && registerKeys && lastError;
  }

  // Starts both workers and the notification threads, and sees each deliver.
  void startEverything(lumhost::HostFixture& host) {
    handshake();
    ASSERT_EQ(lastError(), VelmoraErrorNone);
    ASSERT_TRUE(registerKeys(onKey, nullptr));
    VelmoraLedColor c{1, 10, 20, 30};
    ASSERT_TRUE(setAsync(1, &c, onDone, nullptr));
    ASSERT_TRUE(buffer(0, 1, &c));
    ASSERT_TRUE(flushAsync(onDone, nullptr));
    ASSERT_TRUE(test_support::WaitUntil([] { return g_completions.load() >= 2; }, 5000));
    host.pressKey(1, true);
    ASSERT_TRUE(test_support::WaitUntil([] { return g_keys.load() >= 1; }, 5000));
  }
};

lumhost::HostFixture::Options wellKnownPipes() {
  lumhost::HostFixture::Options options;
  options.useUniquePipeBase = false;  // the loaded library has no test hooks
  return options;
}

TEST(Unload, WhileWorkersAndNotificationsRunThenCarryOn) {
  lumhost::HostFixture host(wellKnownPipes());
  Library lib;
  ASSERT_TRUE(lib.load());
  lib.startEverything(host);
  const auto start = Clock::now();
  closeLibrary(lib.module);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  // The process goes on, and the library can be loaded and used again.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  Library again;
  ASSERT_TRUE(again.load());
  again.handshake();
  EXPECT_EQ(again.lastError(), VelmoraErrorNone);
  closeLibrary(again.module);
}

TEST(Unload, ProcessExitsWithoutUnloading) {
  // The host must outlive the process's end here, so it is never stopped.
  static lumhost::HostFixture* host = new lumhost::HostFixture(wellKnownPipes());
  Library lib;
  ASSERT_TRUE(lib.load());
  lib.startEverything(*host);
  // Returning leaves the library loaded with its threads running; the test
  // passes only if the process then exits cleanly.
}

TEST(Unload, WhileACallbackIsRunning) {
  lumhost::HostFixture host(wellKnownPipes());
  Library lib;
  ASSERT_TRUE(lib.load());
  lib.startEverything(host);
  g_callbackDelayMs = 300;
  host.pressKey(2, true);
  VelmoraLedColor c{2, 1, 1, 1};
  ASSERT_TRUE(lib.setAsync(1, &c, onDone, nullptr));
  ASSERT_TRUE(test_support::WaitUntil([] { return g_inCallback.load(); }, 5000));
  const auto start = Clock::now();
  closeLibrary(lib.module);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(test_support::WaitUntil([] { return !g_inCallback.load(); }, 5000));
}

}  // namespace
