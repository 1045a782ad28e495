// The handshake against an in-memory host: the record, the reconnect rules
// and what a failed handshake leaves behind.
#include <gtest/gtest.h>

#include <cstring>

#include "LUMSDK.h"
#include "lumsdk_version.h"
#include "support/fake_host.h"
#include "core/platform.h"

namespace sdk {
namespace test_support {
namespace {

void VELMORA_CALL countKey(void* context, int, bool) { ++*static_cast<int*>(context); }

TEST(Handshake, WithoutHostReturnsTheNoHostRecord) {
  FakeHost host;
  host.setRefuseConnections(true);
  const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  EXPECT_STREQ(d.sdkVersion, LUMSDK_VERSION_STRING);
  EXPECT_EQ(d.sdkProtocolVersion, 5);
  EXPECT_EQ(d.serverVersion, nullptr);
  EXPECT_EQ(d.serverProtocolVersion, 0);
  EXPECT_FALSE(d.breakingChanges);
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHandshakeRequired);
}

TEST(Handshake, SendsVersionAndStoresTheHostsAnswer) {
  FakeHost host;
  host.setProtocol(5, "9.1.2");
  const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_STREQ(d.sdkVersion, LUMSDK_VERSION_STRING);
  EXPECT_STREQ(d.serverVersion, "9.1.2");
  EXPECT_EQ(d.sdkProtocolVersion, 5);
  EXPECT_EQ(d.serverProtocolVersion, 5);
  ASSERT_EQ(host.requests().size(), 1u);
  const std::string request = host.requests()[0];
  EXPECT_EQ(methodOf(request), "VelomraHandshakeMethod");
  EXPECT_EQ(paramsOf(request), "{\"sdkProtocolVersion\":5}");
  EXPECT_EQ(request.find(' '), std::string::npos);
  EXPECT_EQ(host.lastIdentity(), ":pid:" + std::to_string(platform::currentProcessId()));
}

TEST(Handshake, BreakingChangesCountOnlyAboveVersionFive) {
  FakeHost host;
  host.setProtocol(5, "x", true);
  EXPECT_FALSE(VelmoraPerformProtocolHandshake().breakingChanges);
  host.setProtocol(6, "x", true);
  EXPECT_TRUE(VelmoraPerformProtocolHandshake().breakingChanges);
  host.setProtocol(6, "x", false);
  EXPECT_FALSE(VelmoraPerformProtocolHandshake().breakingChanges);
}

TEST(Handshake, AnswersWithoutMembersOrJsonStillCount) {
  FakeHost host;
  host.setHandshakeAnswer("{\"serverProtocolVersion\":3}");
  VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  ASSERT_NE(d.serverVersion, nullptr);
  EXPECT_STREQ(d.serverVersion, "");
  EXPECT_EQ(d.serverProtocolVersion, 3);

  host.setHandshakeAnswer("not json");
  d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_STREQ(d.serverVersion, "");
  EXPECT_EQ(d.serverProtocolVersion, 0);
  // Version-gated calls now fail with 4 once their earlier checks pass.
  VelmoraLedColor c{1, 0, 0, 0};
  EXPECT_FALSE(VelmoraGetLedsColors(1, &c));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
}

TEST(Handshake, EarlierVersionTextsStayValid) {
  FakeHost host;
  host.setProtocol(5, "first");
  const VelmoraProtocolDetails a = VelmoraPerformProtocolHandshake();
  host.setProtocol(5, "second");
  const VelmoraProtocolDetails b = VelmoraPerformProtocolHandshake();
  EXPECT_NE(a.serverVersion, b.serverVersion);
  EXPECT_STREQ(a.serverVersion, "first");
  EXPECT_STREQ(b.serverVersion, "second");
}

TEST(Handshake, LiveConnectionIsKeptWithItsKeyPressCallbacks) {
  FakeHost host;
  host.setAnswer([](const JsonHandle&) { return std::string("{\"errorCode\":0}"); });
  VelmoraPerformProtocolHandshake();
  int calls = 0;
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(countKey, &calls));
  VelmoraPerformProtocolHandshake();
  EXPECT_EQ(host.connectionsCreated(), 1);
  EXPECT_TRUE(host.notify("{\"vendorKey\":5,\"pressed\":true}"));
  EXPECT_EQ(calls, 1);
}

TEST(Handshake, ReconnectingForgetsKeyPressCallbacks) {
  FakeHost host;
  host.setAnswer([](const JsonHandle&) { return std::string("{\"errorCode\":0}"); });
  VelmoraPerformProtocolHandshake();
  int calls = 0;
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(countKey, &calls));
  host.breakConnections();
  VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(host.connectionsCreated(), 2);
  EXPECT_FALSE(host.notify("{\"vendorKey\":5,\"pressed\":true}"));  // no handler on the new one
  EXPECT_EQ(calls, 0);
}

TEST(Handshake, ResendsOnceWhenTheConnectionBreaksDuringTheExchange) {
  FakeHost host;
  VelmoraPerformProtocolHandshake();
  host.dropNextAnswers(1);  // the first try gets no answer and breaks
  const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(d.serverProtocolVersion, 5);
  EXPECT_EQ(host.connectionsCreated(), 2);
  EXPECT_EQ(host.requests("VelomraHandshakeMethod").size(), 3u);
}

TEST(Handshake, FailureAfterSuccessKeepsTheFlagButClearsTheHostVersion) {
  FakeHost host;
  VelmoraPerformProtocolHandshake();
  host.breakConnections();
  host.setRefuseConnections(true);
  const VelmoraProtocolDetails d = VelmoraPerformProtocolHandshake();
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  EXPECT_EQ(d.serverVersion, nullptr);
  EXPECT_STREQ(d.sdkVersion, LUMSDK_VERSION_STRING);
  // The flag stays: no 3. The version gate of the flush comes before its
  // alive check: 4.
  EXPECT_FALSE(VelmoraSetLedsColorsFlushBuffer());
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
  EXPECT_EQ(VelmoraGetDeviceCount(), -1);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
}

}  // namespace
}  // namespace test_support
}  // namespace sdk
