// Key-press registration and delivery against an in-memory host.
#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

#include "LUMSDK.h"
#include "support/fake_host.h"
#include "core/counters.h"

namespace sdk {
namespace test_support {
namespace {

struct Press {
  int tag;
  int key;
  bool pressed;
};
std::vector<Press> g_presses;

void VELMORA_CALL recordPress(void* context, int key, bool pressed) {
  g_presses.push_back({*static_cast<int*>(context), key, pressed});
}

class KeyPress : public ::testing::Test {
 protected:
  void SetUp() override {
    g_presses.clear();
    host_.setAnswer([this](const JsonHandle&) { return registrationAnswer_; });
    VelmoraPerformProtocolHandshake();
  }
  size_t registrations() { return host_.requests("VelmoraRegisterKeypressCallback").size(); }
  FakeHost host_;
  std::string registrationAnswer_ = "{\"errorCode\":0}";
  int one_ = 1, two_ = 2;
};

TEST_F(KeyPress, OneRequestPerConnectionAndCallbacksInRegistrationOrder) {
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &one_));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(host_.lastRequest(), "{\"method\":\"VelmoraRegisterKeypressCallback\"}");
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &two_));
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &one_));  // twice: runs twice
  EXPECT_EQ(registrations(), 1u);

  ASSERT_TRUE(host_.notify("{\"vendorKey\":5,\"pressed\":true,\"extra\":[1]}"));
  ASSERT_EQ(g_presses.size(), 3u);
  EXPECT_EQ(g_presses[0].tag, 1);
  EXPECT_EQ(g_presses[1].tag, 2);
  EXPECT_EQ(g_presses[2].tag, 1);
  EXPECT_EQ(g_presses[0].key, 5);
  EXPECT_TRUE(g_presses[0].pressed);

  g_presses.clear();
  host_.notify("{\"vendorKey\":9}");  // no "pressed": a release
  host_.notify("not json");           // still delivered, with zeros
  host_.notify("");                   // nothing
  ASSERT_EQ(g_presses.size(), 6u);
  EXPECT_EQ(g_presses[0].key, 9);
  EXPECT_FALSE(g_presses[0].pressed);
  EXPECT_EQ(g_presses[3].key, 0);
}

TEST_F(KeyPress, ACallbackThatThrowsCostsTheNextOneNothing) {
  VelmoraKeypressCallback throwing = [](void*, int, bool) { throw std::runtime_error("x"); };
  const uint64_t caught = counters().callbackExceptions.load();
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(throwing, nullptr));
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &two_));
  ASSERT_TRUE(host_.notify("{\"vendorKey\":4,\"pressed\":true}"));
  ASSERT_EQ(g_presses.size(), 1u);
  EXPECT_EQ(g_presses[0].tag, 2);
  EXPECT_EQ(counters().callbackExceptions.load(), caught + 1);
}

TEST_F(KeyPress, RefusedOrUnansweredRegistrationKeepsTheCallback) {
  registrationAnswer_ = "{\"errorCode\":3}";
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(recordPress, &one_));
  EXPECT_EQ(VelmoraGetLastError(), 3);
  host_.dropNextAnswers(1);  // no answer: the connection breaks
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(recordPress, &two_));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorHostUnreachable);
  EXPECT_FALSE(host_.notify("{\"vendorKey\":1,\"pressed\":true}"));  // host not told yet

  VelmoraPerformProtocolHandshake();  // reconnects
  registrationAnswer_ = "{\"errorCode\":0}";
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &one_));
  ASSERT_TRUE(host_.notify("{\"vendorKey\":1,\"pressed\":true}"));
  EXPECT_EQ(g_presses.size(), 1u);  // the reconnect forgot the earlier two
}

TEST_F(KeyPress, RefusedThenAcceptedOnTheSameConnectionCallsBoth) {
  registrationAnswer_ = "{\"errorCode\":2}";
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(recordPress, &one_));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorReserved);
  registrationAnswer_ = "{\"errorCode\":0}";
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &two_));
  ASSERT_TRUE(host_.notify("{\"vendorKey\":3,\"pressed\":false}"));
  ASSERT_EQ(g_presses.size(), 2u);
  EXPECT_EQ(g_presses[0].tag, 1);
}

TEST_F(KeyPress, OldHostsAreRefusedBeforeAnythingIsListed) {
  host_.setProtocol(3);
  VelmoraPerformProtocolHandshake();
  EXPECT_FALSE(VelmoraRegisterKeypressCallback(recordPress, &one_));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorProtocolMismatch);
  host_.setProtocol(4);
  VelmoraPerformProtocolHandshake();
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(recordPress, &two_));
  host_.notify("{\"vendorKey\":3,\"pressed\":true}");
  ASSERT_EQ(g_presses.size(), 1u);
  EXPECT_EQ(g_presses[0].tag, 2);
}

TEST_F(KeyPress, CallbacksMayCallTheLibraryAndRegisterMore) {
  static int inner = 7;
  VelmoraKeypressCallback reentrant = [](void*, int, bool) {
    VelmoraGetDeviceCount();
    VelmoraRegisterKeypressCallback(recordPress, &inner);
  };
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(reentrant, nullptr));
  ASSERT_TRUE(host_.notify("{\"vendorKey\":1,\"pressed\":true}"));
  ASSERT_TRUE(host_.notify("{\"vendorKey\":2,\"pressed\":true}"));
  ASSERT_EQ(g_presses.size(), 1u);  // registered during the first, called from the second
  EXPECT_EQ(g_presses[0].tag, 7);
}

}  // namespace
}  // namespace test_support
}  // namespace sdk
