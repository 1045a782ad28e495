// A faulty or hostile host: whatever it sends, a call ends within its time,
// costs bounded memory, reports the documented error, and never crashes.
// Each case scripts the stand-in host through its hooks; the program counts
// every byte it allocates (support/alloc_counter), so memory bounds are
// exact: per calling thread for a call, so that the in-process host's own
// copies of an answer do not count.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "LUMSDK.h"
#include "core/counters.h"
#include "host/fixture/host_fixture.h"
#include "support/alloc_counter.h"
#include "support/test_host.h"
#include "transport/pipe_stream.h"
#include "transport/rpc_connection.h"

namespace {

namespace test_support = sdk::test_support;
using Clock = std::chrono::steady_clock;

// A frame as the host would write one: length, text, terminating 0 byte.
std::string Frame(const std::string& text) {
  const auto n = static_cast<uint32_t>(text.size() + 1);
  std::string wire{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                   static_cast<char>(n >> 24)};
  return wire + text + std::string(1, '\0');
}

std::string Length(uint32_t n) {
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)};
}

// The pieces of text, one byte each.
std::vector<std::string> Bytewise(const std::string& text) {
  std::vector<std::string> pieces;
  for (char c : text) pieces.emplace_back(1, c);
  return pieces;
}

std::string Repeat(const std::string& unit, size_t times) {
  std::string out;
  out.reserve(unit.size() * times);
  for (size_t i = 0; i < times; ++i) out += unit;
  return out;
}

// A positions answer of 2.3 MiB, over the library's answer bound.
std::string OverTheAnswerBound() { return "{\"result\":[" + Repeat("1,", 1200000) + "1]}"; }

constexpr char kDeviceInfo[] = "VelmoraGetDeviceInfo";
constexpr char kPositions[] = "VelmoraGetLedPositions";
const std::string kGoodInfo =
    "{\"errorCode\":0,\"result\":{\"type\":1,\"model\":\"K\",\"ledsCount\":3}}";

struct Outcome {
  bool returned;  // a record or true came back
  int error;
};

// Calls the export the case is about.
Outcome DeviceInfo() {
  const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(0);
  return {info != nullptr, VelmoraGetLastError()};
}
Outcome Positions() {
  const VelmoraLedPositions* p = VelmoraGetLedPositions();
  return {p != nullptr, VelmoraGetLastError()};
}

struct AnswerCase {
  const char* name;
  std::function<void(lumhost::HostFixture&)> script;
  std::function<Outcome()> call;
  Outcome expected;
  bool connectionSurvives;
  int maxMs;
  size_t maxPeakBytes;
};

// What reading an answer may cost: the documented bound of thirteen times
// its size for the worst shapes (text, parse and records), and a little for
// the call itself.
size_t Bounded(const std::string& answer) { return 13 * answer.size() + (1u << 20); }

TEST(HostileHost, EveryAnswerEndsInTimeWithBoundedMemoryAndTheDocumentedError) {
  const std::string big = "{\"result\":[" + Repeat("1,", 900000) + "1]}";  // 1.7 MiB
  const std::string nested = "{\"result\":[" + Repeat("[[[[1]]]],", 180000) + "1]}";
  const std::string channels = "{\"result\":{\"model\":\"hub\",\"channels\":[{\"devices\":[" +
                               Repeat("{\"type\":1,\"deviceLedCount\":1},", 60000) + "{}]}]}}";
  const std::string over = OverTheAnswerBound();
  const std::string huge = "{\"result\":[" + Repeat("1,", 7800000) + "1]}";  // 14.9 MiB
  const AnswerCase cases[] = {
      {"malformed JSON reads as nothing",
       [](lumhost::HostFixture& h) { h.replaceAnswer(kDeviceInfo, "{\"result\":{\"type\":1,"); },
       DeviceInfo,
       {false, VelmoraErrorBadArgument},
       true,
       2000,
       1 << 20},
      {"wrong types in every member",
       [](lumhost::HostFixture& h) {
         h.replaceAnswer(kDeviceInfo,
                         "{\"errorCode\":\"x\",\"result\":{\"type\":\"1\",\"model\":7,"
                         "\"ledsCount\":[],\"capsMask\":{},\"channels\":{\"a\":1}}}");
       },
       DeviceInfo,
       {true, VelmoraErrorNone},
       true,
       2000,
       1 << 20},
      {"huge and negative numbers",
       [](lumhost::HostFixture& h) {
         h.replaceAnswer(kDeviceInfo,
                         "{\"result\":{\"type\":1e300,\"ledsCount\":-1e300,\"capsMask\":-7,"
                         "\"channels\":[{\"totalLedsCount\":4294967296,\"devices\":[]}]}}");
       },
       DeviceInfo,
       {true, VelmoraErrorNone},
       true,
       2000,
       1 << 20},
      {"missing members",
       [](lumhost::HostFixture& h) {
         h.replaceAnswer(kDeviceInfo, "{\"result\":{\"unknown\":1}}");
       },
       DeviceInfo,
       {true, VelmoraErrorNone},
       true,
       2000,
       1 << 20},
      {"a length shorter than the frame",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, {Length(3) + kGoodInfo + std::string(1, '\0')});
       },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       2000,
       1 << 20},
      {"a length longer than the frame",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, {Length(1000) + kGoodInfo + std::string(1, '\0')});
       },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       7000,
       1 << 20},
      {"a length of 0xFFFFFFFF",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, {Length(0xFFFFFFFFu) + kGoodInfo});
       },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       2000,
       1 << 20},
      {"a frame split byte by byte",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, Bytewise(Frame(kGoodInfo)), 1);
       },
       DeviceInfo,
       {true, VelmoraErrorNone},
       true,
       4000,
       1 << 20},
      {"an answer withheld",
       [](lumhost::HostFixture& h) { h.withholdAnswers(kDeviceInfo, true); },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       7000,
       1 << 20},
      {"an answer twice",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, {Frame(kGoodInfo) + Frame(kGoodInfo)});
       },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       2000,
       1 << 20},
      {"the host dying mid-frame",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, {Frame(kGoodInfo).substr(0, 20)}, 0, true);
       },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       2000,
       1 << 20},
      {"an answer over the bound, skipped",
       [over](lumhost::HostFixture& h) { h.replaceAnswer(kPositions, over); },
       Positions,
       {false, VelmoraErrorHostUnreachable},
       true,
       4000,
       1 << 20},
      {"an answer of 15 MiB, skipped",
       [huge](lumhost::HostFixture& h) { h.replaceAnswer(kPositions, huge); },
       Positions,
       {false, VelmoraErrorHostUnreachable},
       true,
       8000,
       1 << 20},
      {"a length over the bound, then less",
       [](lumhost::HostFixture& h) {
         h.scriptAnswerBytes(kDeviceInfo, {Length(3u << 20) + kGoodInfo});
       },
       DeviceInfo,
       {false, VelmoraErrorHostUnreachable},
       false,
       7000,
       1 << 20},
      {"a large flat answer",
       [big](lumhost::HostFixture& h) { h.replaceAnswer(kPositions, big); },
       Positions,
       {true, VelmoraErrorNone},
       true,
       10000,
       Bounded(big)},
      {"a large nested answer",
       [nested](lumhost::HostFixture& h) { h.replaceAnswer(kPositions, nested); },
       Positions,
       {true, VelmoraErrorNone},
       true,
       10000,
       Bounded(nested)},
      {"a device with 60,000 channel devices",
       [channels](lumhost::HostFixture& h) { h.replaceAnswer(kDeviceInfo, channels); },
       DeviceInfo,
       {true, VelmoraErrorNone},
       true,
       10000,
       Bounded(channels)},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    lumhost::HostFixture host;
    VelmoraPerformProtocolHandshake();
    ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
    c.script(host);
    test_support::ResetThreadPeak();
    const long long before = test_support::ThreadLiveBytes();
    const auto start = Clock::now();
    const Outcome got = c.call();
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(got.returned, c.expected.returned);
    EXPECT_EQ(got.error, c.expected.error);
    EXPECT_LE(ms, c.maxMs);
    EXPECT_LE(test_support::ThreadPeakBytes() - before, static_cast<long long>(c.maxPeakBytes));
    // The connection either still works or says it is gone; a handshake
    // always brings a working one back.
    VelmoraGetDeviceCount();
    EXPECT_EQ(VelmoraGetLastError(),
              c.connectionSurvives ? VelmoraErrorNone : VelmoraErrorHostUnreachable);
    host.scriptAnswerBytes(kDeviceInfo, {});
    host.withholdAnswers(kDeviceInfo, false);
    host.replaceAnswer(kDeviceInfo, "");
    host.replaceAnswer(kPositions, "");
    VelmoraPerformProtocolHandshake();
    EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
    EXPECT_GE(VelmoraGetDeviceCount(), 1);
  }
}

std::atomic<int> g_keys{0};
std::atomic<int> g_lastKey{-1};
std::atomic<int> g_delayMs{0};
void VELMORA_CALL CountKey(void*, int key, bool) {
  // Waits while g_delayMs says so, but notices when it is lifted.
  for (int waited = 0; waited < g_delayMs.load(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  g_lastKey = key;
  ++g_keys;
}

TEST(HostileHost, MalformedNotificationsReachCallbacksAsKeyZeroOrNotAtAll) {
  g_keys = 0;
  lumhost::HostFixture host;
  VelmoraPerformProtocolHandshake();
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(CountKey, nullptr));
  // Each reaches the callbacks (key 0) except the empty and 1-byte bodies.
  const char* bodies[] = {"{",
                          "[]",
                          "x",
                          "{\"vendorKey\":1e300}",
                          "",
                          "z",
                          "{\"vendorKey\":\"7\",\"pressed\":\"yes\"}"};
  for (const char* body : bodies) host.sendNotification(std::string(body) + '\0');
  host.pressKey(9, true);  // a marker: everything before it was handled
  ASSERT_TRUE(test_support::WaitUntil([] { return g_lastKey.load() == 9; }, 5000));
  EXPECT_EQ(g_keys.load(), 7);
  VelmoraGetDeviceCount();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
}

// What is over a bound is skipped and counted; the connection, and with it
// the key presses already registered, goes on as before.
TEST(HostileHost, NotificationsAndAnswersOverTheBoundAreSkippedAndKeyPressesGoOn) {
  struct Case {
    const char* name;
    std::function<void(lumhost::HostFixture&)> script;
    std::atomic<uint64_t>& counter;
  };
  auto notification = [](size_t bytes) {
    return [bytes](lumhost::HostFixture& h) {
      h.sendNotification("{\"vendorKey\":1" + std::string(bytes - 16, ' ') + "}" + '\0');
    };
  };
  const std::string over = OverTheAnswerBound();
  const Case cases[] = {
      {"a notification one byte over", notification(sdk::kMaxNotificationBytes + 1),
       sdk::counters().notificationsOversized},
      {"a notification of 66,000 bytes", notification(66000),
       sdk::counters().notificationsOversized},
      {"a notification of 200,000 bytes", notification(200000),
       sdk::counters().notificationsOversized},
      {"a notification of 4 MiB", notification(4u << 20), sdk::counters().notificationsOversized},
      {"an answer of 2.3 MiB",
       [over](lumhost::HostFixture& h) {
         h.replaceAnswer(kPositions, over);
         EXPECT_EQ(VelmoraGetLedPositions(), nullptr);
         EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
         h.replaceAnswer(kPositions, "");
       },
       sdk::counters().answersOversized},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_keys = 0;
    g_lastKey = -1;
    lumhost::HostFixture host;
    VelmoraPerformProtocolHandshake();
    ASSERT_TRUE(VelmoraRegisterKeypressCallback(CountKey, nullptr));
    const uint64_t before = c.counter.load();
    c.script(host);
    // Every later press arrives, and the skipped notification reached nobody.
    for (int key = 100; key < 132; ++key) host.pressKey(key, true);
    test_support::WaitUntil([] { return g_lastKey.load() == 131; }, 5000);
    EXPECT_EQ(g_keys.load(), 32);
    EXPECT_EQ(c.counter.load(), before + 1);
    VelmoraGetDeviceCount();
    EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  }
}

// The rule applications follow: after a call failed with 1, a handshake
// reconnects, so key-press callbacks are registered again, once. That holds
// also where the failed call left the connection working.
TEST(HostileHost, AHandshakeAfterAFailedCallReconnectsSoCallbacksAreRegisteredOnce) {
  const std::string over = OverTheAnswerBound();
  struct Case {
    const char* name;
    std::function<void(lumhost::HostFixture&)> script;
    std::function<Outcome()> call;
  };
  const Case cases[] = {
      {"an answer over the bound",
       [over](lumhost::HostFixture& h) { h.replaceAnswer(kPositions, over); }, Positions},
      {"an empty answer frame",
       [](lumhost::HostFixture& h) { h.scriptAnswerBytes(kDeviceInfo, {Length(0)}); }, DeviceInfo},
      {"an answer withheld", [](lumhost::HostFixture& h) { h.withholdAnswers(kDeviceInfo, true); },
       DeviceInfo},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    lumhost::HostFixture host;
    VelmoraPerformProtocolHandshake();
    ASSERT_TRUE(VelmoraRegisterKeypressCallback(CountKey, nullptr));
    c.script(host);
    EXPECT_EQ(c.call().error, VelmoraErrorHostUnreachable);
    host.replaceAnswer(kPositions, "");
    host.scriptAnswerBytes(kDeviceInfo, {});
    host.withholdAnswers(kDeviceInfo, false);
    VelmoraPerformProtocolHandshake();
    ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
    ASSERT_TRUE(VelmoraRegisterKeypressCallback(CountKey, nullptr));
    g_keys = 0;
    g_lastKey = -1;
    host.pressKey(5, true);
    host.pressKey(6, true);
    EXPECT_TRUE(test_support::WaitUntil([] { return g_lastKey.load() == 6; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(g_keys.load(), 2);  // once per press, not twice
  }
}

// Skipping reads a frame over the bound in pieces: it is never held whole.
TEST(HostileHost, AFrameOverTheReadLimitIsSkippedInBoundedPieces) {
  const std::wstring name = test_support::UniquePipeName("skip");
  std::shared_ptr<sdk::IStream> server = sdk::CreatePipeInputStream(name, 5000);
  ASSERT_TRUE(server);
  std::shared_ptr<sdk::IStream> client = sdk::OpenPipeOutputStream(name, 5000);
  ASSERT_TRUE(client);
  ASSERT_TRUE(server->OpenForReading(5000));
  server->SetReadLimit(sdk::kMaxNotificationBytes);
  std::thread writer([client] {
    std::vector<uint8_t> big(4u << 20, 'x');
    client->Write(big, 5000);
    client->Write(test_support::ToBytes("next"), 5000);
  });
  test_support::ResetThreadPeak();
  const long long before = test_support::ThreadLiveBytes();
  std::vector<uint8_t> got = test_support::ToBytes("untouched");
  EXPECT_EQ(server->Read(got, 5000), sdk::kErrorInsufficientBuffer);
  EXPECT_EQ(got, test_support::ToBytes("untouched"));
  EXPECT_FALSE(server->IsBroken());
  EXPECT_LE(test_support::ThreadPeakBytes() - before, 256 << 10);
  EXPECT_EQ(server->Read(got, 5000), 0);
  EXPECT_EQ(got, test_support::ToBytes("next"));
  writer.join();
}

TEST(HostileHost, AFloodOfKeyPressesCostsBoundedMemoryAndDropsAreCounted) {
  lumhost::HostFixture host;
  VelmoraPerformProtocolHandshake();
  // The callback is stuck until the flood is over, so that everything that
  // arrives meanwhile waits in the library's queue.
  g_delayMs = 10000;
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(CountKey, nullptr));
  const uint64_t droppedBefore = sdk::counters().notificationsDropped.load();
  test_support::ResetPeak();
  const size_t before = test_support::LiveBytes();
  host.pressKey(1, true);
  ASSERT_TRUE(test_support::WaitUntil([] { return g_keys.load() == 0; }, 1000));
  for (int i = 0; i < 20; ++i) {
    for (int k = 0; k < 200; ++k) host.pressKey(1 + k, true);
    if (sdk::counters().notificationsDropped.load() > droppedBefore) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(test_support::WaitUntil(
      [&] { return sdk::counters().notificationsDropped.load() > droppedBefore; }, 20000));
  g_delayMs = 0;
  // The host's own queues are in this program too; the library's share is
  // the queue bound plus a batch being delivered.
  EXPECT_LE(test_support::PeakBytes() - before, size_t{16} << 20);
  VelmoraGetDeviceCount();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  // Once the callback keeps up again (and the queue has drained), presses
  // arrive as before.
  EXPECT_TRUE(test_support::WaitUntil(
      [&] {
        host.pressKey(499, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return g_lastKey.load() == 499;
      },
      20000));
}

TEST(RetainedRecords, PollingGetsTheSameRecordsBackAndCostsNoMemory) {
  lumhost::HostFixture host;
  VelmoraPerformProtocolHandshake();
  const int devices = VelmoraGetDeviceCount();
  ASSERT_GE(devices, 2);
  std::vector<const void*> first;
  auto round = [&](int i) {
    const int d = i % devices;
    switch (i % 3) {
      case 0:
        return static_cast<const void*>(VelmoraGetDeviceInfo(d));
      case 1:
        return static_cast<const void*>(VelmoraGetLedPositionsByDeviceIndex(d));
      default:
        return static_cast<const void*>(VelmoraGetLedPositions());
    }
  };
  for (int i = 0; i < 3 * devices; ++i) first.push_back(round(i));
  const long long before = test_support::ThreadLiveBytes();
  // Each call that kept a record would cost kilobytes: 20,000 of them would
  // show as tens of megabytes.
  for (int i = 0; i < 20000; ++i) {
    const void* record = round(i % (3 * devices));
    ASSERT_EQ(record, first[static_cast<size_t>(i % (3 * devices))]) << i;
  }
  EXPECT_LT(test_support::ThreadLiveBytes() - before, 1 << 20);

  // A record a caller wrote to stays theirs, and is not handed out again.
  VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(0);
  ASSERT_EQ(info, first[0]);
  info->ledsCount = -5;
  VelmoraDeviceInfo* again = VelmoraGetDeviceInfo(0);
  ASSERT_NE(again, info);
  EXPECT_NE(again->ledsCount, -5);
  EXPECT_EQ(info->ledsCount, -5);
  EXPECT_EQ(VelmoraGetDeviceInfo(0), again);
}

}  // namespace
