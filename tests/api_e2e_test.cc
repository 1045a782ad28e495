// The exports end to end: real pipes, the real transport and the stand-in
// host serving this process on pipes of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "LUMSDK.h"
#include "lumsdk_version.h"
#include "host/fixture/host_fixture.h"
#include "json/json_text.h"
#include "support/test_host.h"

namespace {

namespace test_support = sdk::test_support;

using Clock = std::chrono::steady_clock;

class EndToEnd : public ::testing::Test {
 protected:
  void handshake() {
    const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
    ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
    ASSERT_NE(d.serverVersion, nullptr);
  }
  std::string lastRequest() {
    const auto all = host_.requests();
    return all.empty() ? std::string() : all.back();
  }
  lumhost::HostFixture host_;
};

TEST_F(EndToEnd, HandshakeSendsOneCompactRequest) {
  const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(d.serverProtocolVersion, 5);
  EXPECT_STREQ(d.sdkVersion, LUMSDK_VERSION_STRING);
  ASSERT_EQ(host_.requests().size(), 1u);
  const std::string request = host_.requests()[0];
  EXPECT_TRUE(
      request == "{\"method\":\"VelomraHandshakeMethod\",\"params\":{\"sdkProtocolVersion\":5}}" ||
      request == "{\"params\":{\"sdkProtocolVersion\":5},\"method\":\"VelomraHandshakeMethod\"}")
      << request;
  EXPECT_EQ(host_.clientCount(), 1);
}

TEST_F(EndToEnd, DevicesPositionsAndKeysOfTheDefaultDesk) {
  handshake();
  const int count = VelmoraGetDeviceCount();
  ASSERT_GE(count, 3);
  bool sawChannels = false;
  for (int i = 0; i < count; ++i) {
    const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(i);
    ASSERT_NE(info, nullptr) << i;
    EXPECT_GT(std::string(info->model).size(), 0u);
    sawChannels = sawChannels || info->channels.channelsCount > 0;
    const VelmoraLedPositions* p = VelmoraGetLedPositionsByDeviceIndex(i);
    ASSERT_NE(p, nullptr);
  }
  EXPECT_TRUE(sawChannels);
  EXPECT_EQ(VelmoraGetDeviceInfo(count), nullptr);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);

  const VelmoraLedPositions* all = VelmoraGetLedPositions();
  ASSERT_NE(all, nullptr);
  ASSERT_GT(all->positionsCount, 100);
  for (char key = 'A'; key <= 'Z'; ++key) {
    const int id = VelmoraGetLedIdForKeyName(key);
    EXPECT_GT(id, 0) << key;
    bool found = false;
    for (int i = 0; i < all->positionsCount; ++i) found = found || all->positions[i].ledId == id;
    EXPECT_TRUE(found) << key;
  }
}

TEST_F(EndToEnd, ColoursSetAreReadBackAndShownByTheHost) {
  handshake();
  VelmoraLedColor set[2] = {{12, 255, 0, 0}, {13, 0, 128, 64}};
  ASSERT_TRUE(VelmoraSetLedsColors(2, set));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  VelmoraLedColor read[2] = {{13, 0, 0, 0}, {12, 0, 0, 0}};
  ASSERT_TRUE(VelmoraGetLedsColors(2, read));
  EXPECT_EQ(read[0].g, 128);
  EXPECT_EQ(read[1].r, 255);
  int r = 0, g = 0, b = 0;
  ASSERT_TRUE(host_.ledColor(13, &r, &g, &b));
  EXPECT_EQ(g, 128);
  EXPECT_EQ(b, 64);
}

TEST_F(EndToEnd, WithheldAnswerTimesOutAndTheConnectionStaysBrokenUntilAHandshake) {
  handshake();
  host_.withholdAnswers("VelmoraGetDeviceCount", true);
  const auto start = Clock::now();
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  const auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LT(waited, std::chrono::seconds(30));

  host_.withholdAnswers("VelmoraGetDeviceCount", false);
  const auto again = Clock::now();
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);  // broken: fails at once
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  EXPECT_LT(Clock::now() - again, std::chrono::seconds(2));
  handshake();
  EXPECT_GT(VelmoraGetDeviceCount(), 0);
}

TEST_F(EndToEnd, HostClosingAPipeOrGoingAwayIsReportedAndAHandshakeReconnects) {
  handshake();
  host_.closeClientPipes("_out");
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  handshake();
  EXPECT_GT(VelmoraGetDeviceCount(), 0);

  host_.stop();
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  host_.restart();
  handshake();
  EXPECT_GT(VelmoraGetDeviceCount(), 0);
}

TEST_F(EndToEnd, RawAnswersAreReadLeniently) {
  handshake();
  host_.replaceAnswer("VelmoraGetDeviceCount", "garbage");
  EXPECT_EQ(VelmoraGetDeviceCount(), 0);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  host_.replaceAnswer("VelmoraGetDeviceCount", "{\"result\": 7 } trailing");
  EXPECT_EQ(VelmoraGetDeviceCount(), 7);
  host_.replaceAnswer("VelmoraSetLayerPriority", "{\"result\":true,\"errorCode\":7}");
  EXPECT_TRUE(VelmoraSetLayerPriority(10));
  EXPECT_EQ(VelmoraGetLastError(), 7);
  host_.replaceAnswer("VelmoraGetDeviceInfo", "{\"result\":null}");
  EXPECT_EQ(VelmoraGetDeviceInfo(0), nullptr);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorBadArgument);
}

TEST_F(EndToEnd, RefusedOrIncompleteClientPipesMeanNoHost) {
  host_.refuseIdentity(true);
  VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  host_.refuseIdentity(false);
  host_.omitClientPipe("_callback");
  VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  host_.omitClientPipe("");
  handshake();
}

std::atomic<int> g_lastKey{0};
std::atomic<int> g_keyEvents{0};
std::atomic<bool> g_lastPressed{false};

void VELMORA_CALL onKey(void*, int key, bool pressed) {
  g_lastKey = key;
  g_lastPressed = pressed;
  ++g_keyEvents;
}

std::atomic<int> g_done{0};
void VELMORA_CALL onDone(void*, bool result, VelmoraError error) {
  if (result && error == VelmoraErrorNone) ++g_done;
}

TEST_F(EndToEnd, KeyPressesAndAsynchronousColoursArrive) {
  handshake();
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(onKey, nullptr));
  ASSERT_TRUE(test_support::WaitUntil([&] { return host_.registeredClientCount() == 1; }, 5000));
  host_.pressKey(42, true);
  host_.pressKey(42, false);
  ASSERT_TRUE(test_support::WaitUntil([] { return g_keyEvents.load() == 2; }, 5000));
  EXPECT_EQ(g_lastKey.load(), 42);
  EXPECT_FALSE(g_lastPressed.load());
  host_.sendNotification(std::string(1, '\0'));  // a one-byte body is dropped
  host_.sendNotification(std::string("{\"vendorKey\":7}") + '\0');
  ASSERT_TRUE(test_support::WaitUntil([] { return g_keyEvents.load() == 3; }, 5000));
  EXPECT_EQ(g_lastKey.load(), 7);

  VelmoraLedColor c{20, 1, 2, 3};
  ASSERT_TRUE(VelmoraSetLedsColorsAsync(1, &c, onDone, nullptr));
  ASSERT_TRUE(test_support::WaitUntil([] { return g_done.load() == 1; }, 5000));
  int r = 0, g = 0, b = 0;
  ASSERT_TRUE(host_.ledColor(20, &r, &g, &b));
  EXPECT_EQ(b, 3);
}

TEST(EndToEndOldHost, VersionGatesFollowTheHostsProtocol) {
  lumhost::HostFixture::Options options;
  options.protocol = 3;
  lumhost::HostFixture host(options);
  const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  ASSERT_EQ(d.serverProtocolVersion, 3);
  EXPECT_NE(VelmoraGetLedPositionsByDeviceIndex(0), nullptr);
  EXPECT_FALSE(VelmoraSetLayerPriority(256));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(onKey, nullptr));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
}

}  // namespace
