// Asynchronous colours, the colour buffer and its flushes against an
// in-memory host.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "LUMSDK.h"
#include "core/counters.h"
#include "json/json_text.h"
#include "leds/led_colors.h"
#include "support/fake_host.h"
#include "support/test_host.h"

namespace sdk {
namespace test_support {
namespace {

// Records completion callbacks: (context tag, result, error), in call order.
struct Completions {
  struct Call {
    int tag;
    bool result;
    VelmoraError error;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Call> calls;

  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(5), [&] { return calls.size() >= count; });
  }
  std::vector<Call> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }
};

Completions* g_completions = nullptr;
int g_tags[8] = {0, 1, 2, 3, 4, 5, 6, 7};

void VELMORA_CALL recordCompletion(void* context, bool result, VelmoraError error) {
  std::lock_guard<std::mutex> lock(g_completions->mutex);
  g_completions->calls.push_back({*static_cast<int*>(context), result, error});
  g_completions->changed.notify_all();
}

std::vector<VelmoraLedColor> sortedColorsOf(const std::string& request, const char* member) {
  const JsonHandle params = parseJsonText(request).get("params");
  std::vector<VelmoraLedColor> colors = decodeLedColors(params.get(member).asString());
  std::sort(colors.begin(), colors.end(),
            [](const VelmoraLedColor& a, const VelmoraLedColor& b) { return a.ledId < b.ledId; });
  return colors;
}

class AsyncColors : public ::testing::Test {
 protected:
  void SetUp() override {
    g_completions = &completions_;
    host_.setAnswer(
        [](const JsonHandle&) { return std::string("{\"result\":true,\"errorCode\":6}"); });
    VelmoraPerformProtocolHandshake();
    ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  }
  FakeHost host_;
  Completions completions_;
};

TEST_F(AsyncColors, CallsWithinOnePassBecomeOneRequestWithTheLatestColours) {
  // Hold the worker inside a first request so the next three calls are
  // certainly taken together.
  host_.holdAnswers("VelmoraSetLedsColors");
  VelmoraLedColor first{1, 1, 1, 1};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &first, recordCompletion, &g_tags[0]));
  ASSERT_TRUE(host_.waitForRequests("VelmoraSetLedsColors", 1));

  VelmoraLedColor red{7, 255, 0, 0}, blue{7, 0, 0, 255}, green{8, 0, 255, 0};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &red, recordCompletion, &g_tags[1]));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &blue, recordCompletion, &g_tags[2]));
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &green, recordCompletion, &g_tags[3]));
  host_.release();

  ASSERT_TRUE(completions_.waitFor(4));
  ASSERT_TRUE(host_.waitForRequests("VelmoraSetLedsColors", 2));
  const auto requests = host_.requests("VelmoraSetLedsColors");
  ASSERT_EQ(requests.size(), 2u);
  const auto merged = sortedColorsOf(requests[1], "ledsColors");
  ASSERT_EQ(merged.size(), 2u);
  EXPECT_EQ(merged[0].ledId, 7);
  EXPECT_EQ(merged[0].b, 255);
  EXPECT_EQ(merged[0].r, 0);
  EXPECT_EQ(merged[1].ledId, 8);
  EXPECT_EQ(merged[1].g, 255);
  const auto calls = completions_.snapshot();
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(calls[static_cast<size_t>(i)].tag, i);
    EXPECT_TRUE(calls[static_cast<size_t>(i)].result);
    EXPECT_EQ(calls[static_cast<size_t>(i)].error, 6);
  }
}

TEST_F(AsyncColors, RejectedCallsQueueNothingAndNullCallbacksAreAllowed) {
  VelmoraLedColor dup[2] = {{3, 0, 0, 0}, {3, 1, 1, 1}};
  EXPECT_FALSE(VelmoraSetLedsColorsAsync(0, dup, recordCompletion, &g_tags[0]));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);
  EXPECT_FALSE(VelmoraSetLedsColorsAsync(2, dup, recordCompletion, &g_tags[0]));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);
  EXPECT_FALSE(VelmoraSetLedsColorsAsync(1, nullptr, recordCompletion, &g_tags[0]));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);

  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, dup, nullptr, nullptr));
  ASSERT_TRUE(host_.waitForRequests("VelmoraSetLedsColors", 1));
  const auto requests = host_.requests("VelmoraSetLedsColors");
  ASSERT_EQ(requests.size(), 1u);  // the rejected calls sent nothing
  EXPECT_EQ(paramsOf(requests[0]), "{\"ledsColors\":\"3,0,0,0\"}");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(completions_.snapshot().empty());
}

TEST_F(AsyncColors, HostAwayIsReportedToTheCallback) {
  host_.breakConnections();
  VelmoraLedColor c{5, 1, 2, 3};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, recordCompletion, &g_tags[1]));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  ASSERT_TRUE(completions_.waitFor(1));
  const auto calls = completions_.snapshot();
  EXPECT_FALSE(calls[0].result);
  EXPECT_EQ(calls[0].error, VelmoraErrorHostUnreachable);
}

TEST_F(AsyncColors, BufferKeepsTheLatestColourPerDeviceAndLed) {
  VelmoraLedColor red{3, 255, 0, 0}, blue{3, 0, 0, 255};
  VelmoraSetLayerPriority(-1);  // leaves last error 5
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, &red));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);  // unchanged on success
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, &blue));
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(1, 1, &red));
  VelmoraLedColor dup[2] = {{9, 0, 0, 0}, {9, 0, 0, 0}};
  EXPECT_FALSE(VelmoraSetLedsColorsBufferByDeviceIndex(0, 2, dup));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);
  EXPECT_FALSE(VelmoraSetLedsColorsBufferByDeviceIndex(-1, 1, &red));
  EXPECT_EQ(host_.requests().size(), 1u);  // only the handshake: buffering sends nothing

  EXPECT_TRUE(VelmoraSetLedsColorsFlushBuffer());
  EXPECT_EQ(VelmoraGetLastError(), 6);
  const JsonHandle params = parseJsonText(host_.lastRequest()).get("params");
  EXPECT_EQ(methodOf(host_.lastRequest()), "VelmoraSetLedsColorsFlushBuffer");
  const JsonHandle list = params.get("ledsColorsByDeviceIndex");
  ASSERT_EQ(list.size(), 2);
  for (int i = 0; i < 2; ++i) {
    const int device = list.get(i).get("deviceIndex").asInt();
    EXPECT_EQ(list.get(i).get("ledColors").asString(), device == 0 ? "3,0,0,255" : "3,255,0,0");
  }
  // The flush emptied the buffer: the next one sends null.
  EXPECT_TRUE(VelmoraSetLedsColorsFlushBuffer());
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"ledsColorsByDeviceIndex\":null}");
}

TEST_F(AsyncColors, FlushWithTheHostGoneKeepsTheBuffer) {
  VelmoraLedColor c{11, 1, 2, 3};
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(2, 1, &c));
  host_.breakConnections();
  EXPECT_FALSE(VelmoraSetLedsColorsFlushBuffer());
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  VelmoraPerformProtocolHandshake();  // reconnects
  ASSERT_TRUE(VelmoraSetLedsColorsFlushBuffer());
  EXPECT_NE(host_.lastRequest().find("11,1,2,3"), std::string::npos);
}

// Blocks the worker that calls it until released, without holding any lock.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool open = false;
};
Gate* g_gate = nullptr;

void VELMORA_CALL waitAtGate(void*, bool, VelmoraError) {
  std::unique_lock<std::mutex> lock(g_gate->mutex);
  g_gate->entered = true;
  g_gate->changed.notify_all();
  g_gate->changed.wait_for(lock, std::chrono::seconds(5), [] { return g_gate->open; });
}

TEST_F(AsyncColors, LaterAsyncFlushSupersedesOneNotYetTaken) {
  Gate gate;
  g_gate = &gate;
  // Keep the flush worker inside a callback so that both flushes below are
  // taken by one pass.
  ASSERT_TRUE(VelmoraSetLedsColorsFlushBufferAsync(waitAtGate, nullptr));
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.entered; }));
  }
  VelmoraLedColor a{1, 10, 10, 10}, b{2, 20, 20, 20};
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, &a));
  ASSERT_TRUE(VelmoraSetLedsColorsFlushBufferAsync(recordCompletion, &g_tags[1]));
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(4, 1, &b));
  ASSERT_TRUE(VelmoraSetLedsColorsFlushBufferAsync(recordCompletion, &g_tags[2]));
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.open = true;
    gate.changed.notify_all();
  }
  ASSERT_TRUE(completions_.waitFor(2));
  const auto requests = host_.requests("VelmoraSetLedsColorsFlushBuffer");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(paramsOf(requests[0]), "{\"ledsColorsByDeviceIndex\":null}");
  const JsonHandle list = parseJsonText(requests[1]).get("params").get("ledsColorsByDeviceIndex");
  ASSERT_EQ(list.size(), 1);  // A was superseded by B
  EXPECT_EQ(list.get(0).get("deviceIndex").asInt(), 4);
  EXPECT_EQ(list.get(0).get("ledColors").asString(), "2,20,20,20");
  const auto calls = completions_.snapshot();
  EXPECT_EQ(calls[0].tag, 1);
  EXPECT_EQ(calls[1].tag, 2);
  EXPECT_TRUE(calls[1].result);
}

TEST_F(AsyncColors, BufferAndFlushNeedProtocolFive) {
  VelmoraLedColor c{1, 1, 1, 1};
  ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, &c));
  host_.setProtocol(4);
  VelmoraPerformProtocolHandshake();
  EXPECT_FALSE(VelmoraSetLedsColorsFlushBufferAsync(recordCompletion, &g_tags[0]));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
  EXPECT_FALSE(VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, &c));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
  // Asynchronous sets have no gate.
  EXPECT_TRUE(VelmoraSetLedsColorsAsync(1, &c, nullptr, nullptr));
  host_.setProtocol(5);
  VelmoraPerformProtocolHandshake();
  ASSERT_TRUE(VelmoraSetLedsColorsFlushBuffer());
  EXPECT_NE(host_.lastRequest().find("1,1,1,1"), std::string::npos);  // buffer untouched
}

TEST_F(AsyncColors, AFlushTooLargeForOneRequestIsRefusedAndTheNextFlushWorks) {
  // 500 LEDs on each of 2,200 devices: about 17 MB of request, over the
  // frame bound. Whichever flush refuses it, the buffer is emptied, so the
  // next flush of new colours goes out, synchronous or not.
  std::vector<VelmoraLedColor> leds(500);
  for (int i = 0; i < 500; ++i) leds[static_cast<size_t>(i)] = {i, 255, 255, 255};
  for (bool refusedAsync : {false, true}) {
    for (bool nextAsync : {false, true}) {
      SCOPED_TRACE(::testing::Message()
                   << "refused by the " << (refusedAsync ? "async" : "sync") << " flush, then an "
                   << (nextAsync ? "async" : "sync") << " flush");
      for (int device = 0; device < 2200; ++device) {
        ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(device, 500, leds.data()));
      }
      const size_t sent = host_.requests().size();
      const size_t completed = completions_.snapshot().size();
      EXPECT_FALSE(refusedAsync ? VelmoraSetLedsColorsFlushBufferAsync(recordCompletion, &g_tags[0])
                                : VelmoraSetLedsColorsFlushBuffer());
      EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);
      EXPECT_EQ(host_.requests().size(), sent);  // nothing was sent
      // The connection is as it was.
      EXPECT_EQ(VelmoraGetDeviceCount(), 0);
      EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);

      VelmoraLedColor fresh{7, 1, 2, 3};
      ASSERT_TRUE(VelmoraSetLedsColorsBufferByDeviceIndex(3, 1, &fresh));
      if (nextAsync) {
        ASSERT_TRUE(VelmoraSetLedsColorsFlushBufferAsync(recordCompletion, &g_tags[1]));
        ASSERT_TRUE(completions_.waitFor(completed + 1));
        const auto calls = completions_.snapshot();
        // Only the accepted flush is heard from.
        ASSERT_EQ(calls.size(), completed + 1);
        EXPECT_EQ(calls.back().tag, 1);
        EXPECT_TRUE(calls.back().result);
      } else {
        EXPECT_TRUE(VelmoraSetLedsColorsFlushBuffer());
      }
      ASSERT_TRUE(host_.waitForRequests("VelmoraSetLedsColorsFlushBuffer", 1));
      const std::string request = host_.requests("VelmoraSetLedsColorsFlushBuffer").back();
      EXPECT_EQ(paramsOf(request),
                "{\"ledsColorsByDeviceIndex\":[{\"deviceIndex\":3,\"ledColors\":\"7,1,2,3\"}]}");
    }
  }
}

TEST_F(AsyncColors, ACallbackThatThrowsCostsNoOtherCallbackItsCall) {
  VelmoraAsyncCallback throwing = [](void*, bool, VelmoraError) { throw std::runtime_error("x"); };
  const uint64_t caught = counters().callbackExceptions.load();
  Gate gate;
  g_gate = &gate;
  // Held in a callback, so that the three calls below go out in one pass.
  VelmoraLedColor c{1, 1, 1, 1};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, waitAtGate, nullptr));
  {
    std::unique_lock<std::mutex> lock(gate.mutex);
    ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [&] { return gate.entered; }));
  }
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, throwing, nullptr));
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, recordCompletion, &g_tags[1]));
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, throwing, nullptr));
  {
    std::lock_guard<std::mutex> lock(gate.mutex);
    gate.open = true;
    gate.changed.notify_all();
  }
  ASSERT_TRUE(completions_.waitFor(1));
  EXPECT_TRUE(test_support::WaitUntil(
      [&] { return counters().callbackExceptions.load() == caught + 2; }, 5000));
}

TEST_F(AsyncColors, CallbacksMayCallTheLibraryAgain) {
  static int reentered = 0;
  VelmoraAsyncCallback again = [](void*, bool, VelmoraError) {
    VelmoraLedColor c{2, 2, 2, 2};
    if (reentered++ == 0) VelmoraSetLedsColorsAsync(1, &c, recordCompletion, &g_tags[5]);
    VelmoraGetDeviceCount();
  };
  VelmoraLedColor c{1, 1, 1, 1};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, again, nullptr));
  ASSERT_TRUE(completions_.waitFor(1));
  EXPECT_EQ(completions_.snapshot()[0].tag, 5);
}

void VELMORA_CALL countCompletion(void* context, bool, VelmoraError) {
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST_F(AsyncColors, ManyThreadsGetEveryCallbackOnceAndTheirLatestColoursSent) {
  // Threads call while the worker is held in an exchange (so one pass takes
  // several segments of entries) and go on while passes take turns with
  // them. Each thread sets its own LED and a shared one.
  constexpr int kThreads = 8;
  constexpr int kCalls = 2000;
  std::unique_ptr<std::atomic<int>[]> counts(new std::atomic<int>[kThreads * kCalls]);
  for (int i = 0; i < kThreads * kCalls; ++i) counts[i].store(0);
  host_.holdAnswers("VelmoraSetLedsColors");
  VelmoraLedColor first{499, 1, 1, 1};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &first, nullptr, nullptr));
  ASSERT_TRUE(host_.waitForRequests("VelmoraSetLedsColors", 1));

  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < kCalls; ++n) {
        if (t == 0 && n == kCalls / 2) host_.release();
        VelmoraLedColor colors[2] = {{t, n % 256, n / 256, t}, {100 + t, t, t, t}};
        if (!VelmoraSetLedsColorsAsync(2, colors, countCompletion, &counts[t * kCalls + n]))
          refused.fetch_add(1);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refused.load(), 0);
  auto allCalled = [&] {
    for (int i = 0; i < kThreads * kCalls; ++i)
      if (counts[i].load() == 0) return false;
    return true;
  };
  ASSERT_TRUE(test_support::WaitUntil(allCalled, 10000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a second call
  for (int i = 0; i < kThreads * kCalls; ++i) ASSERT_EQ(counts[i].load(), 1) << "call " << i;

  // The last request that carries LED t has thread t's last colour.
  const auto requests = host_.requests("VelmoraSetLedsColors");
  for (int t = 0; t < kThreads; ++t) {
    bool found = false;
    for (auto r = requests.rbegin(); r != requests.rend() && !found; ++r) {
      for (const VelmoraLedColor& c : sortedColorsOf(*r, "ledsColors")) {
        if (c.ledId != t) continue;
        found = true;
        EXPECT_EQ(c.r, (kCalls - 1) % 256);
        EXPECT_EQ(c.g, (kCalls - 1) / 256);
      }
    }
    EXPECT_TRUE(found) << "LED " << t;
  }
}

}  // namespace
}  // namespace test_support
}  // namespace sdk
