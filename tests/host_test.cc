// The stand-in host over real pipes: its protocol, several clients, the
// fixture's scripting hooks, and input meant to hurt it. The client side is
// the library's own connection, or raw streams where a test must send what
// the library never would.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "LUMSDK.h"
#include "core/platform.h"
#include "host/fixture/host_fixture.h"
#include "host/server/host_server.h"
#include "json/json_text.h"
#include "support/eventually.h"
#include "support/host_calls.h"
#include "transport/binary_io.h"
#include "transport/pipe_stream.h"
#include "transport/rpc_connection.h"

namespace lumhost {
namespace {

using sdk::JsonHandle;
using Connection = sdk::test_support::HostConnection;
using sdk::test_support::ask;
using sdk::test_support::call;
const auto& kCount = sdk::test_support::kDeviceCountRequest;

constexpr int kWaitMs = 10000;

Connection connect(const std::string& identity = ":pid:4242") {
  return sdk::CreateRpcConnection(identity);
}

// For clients that arrive together with another peer: a client whose
// well-known exchange meets another's may still fail its set-up (its pair
// wait runs out on a loaded machine); a real application retries its
// handshake.
Connection connectRacing(const std::string& identity) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (Connection c = connect(identity)) return c;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return nullptr;
}

const char kRegister[] = R"({"method":"VelmoraRegisterKeypressCallback"})";

std::string setColors(const std::string& list) {
  return R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":")" + list + "\"}}";
}

using sdk::test_support::eventually;

// Collects the notifications one connection's handler receives.
class Inbox {
 public:
  void attach(const Connection& c) {
    c->SetNotificationHandler([this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      texts_.push_back(text);
      changed_.notify_all();
    });
  }
  bool waitFor(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                             [&] { return texts_.size() >= count; });
  }
  std::vector<std::string> texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> texts_;
};

Rgb shown(HostFixture& host, int ledId) {
  Rgb c{-1, -1, -1};
  EXPECT_TRUE(host.ledColor(ledId, &c.r, &c.g, &c.b));
  return c;
}

TEST(HostPipes, AnswersTheWholeTable) {
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  JsonHandle hs =
      ask(c, R"({"method":"VelomraHandshakeMethod","params":{"sdkProtocolVersion":5}})");
  EXPECT_EQ(hs.get("serverProtocolVersion").asInt(), 5);
  EXPECT_FALSE(hs.get("serverVersion").asString().empty());
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
  JsonHandle hub = ask(c, R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":4}})");
  EXPECT_EQ(hub.get("result").get("channels").size(), 2);
  EXPECT_GT(ask(c, R"({"method":"VelmoraGetLedPositions"})").get("result").size(), 200);
  EXPECT_EQ(ask(c, R"({"method":"VelmoraGetLedPositionsByDeviceIndex","params":{"deviceIndex":1}})")
                .get("result")
                .size(),
            4);
  EXPECT_GT(ask(c, R"({"method":"VelmoraGetLedIdForKeyName","params":{"keyName":81}})")
                .get("result")
                .asInt(),
            0);
  EXPECT_TRUE(ask(c, setColors("1,10,20,30#499,1,2,3")).get("result").asBool());
  EXPECT_EQ(ask(c, R"({"method":"VelmoraGetLedsColors","params":{"ledsColors":"499,0,0,0"}})")
                .get("ledsColors")
                .asString(),
            "499,1,2,3");
  EXPECT_EQ(
      ask(c,
          R"({"method":"VelmoraGetLedsColorsByDeviceIndex","params":{"deviceIndex":0,"ledsColors":"1,0,0,0"}})")
          .get("ledsColors")
          .asString(),
      "1,10,20,30");
  EXPECT_TRUE(
      ask(c,
          R"({"method":"VelmoraSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":1,"ledColors":"121,9,9,9"}]}})")
          .get("result")
          .asBool());
  EXPECT_EQ(shown(host, 121), (Rgb{9, 9, 9}));
  EXPECT_TRUE(ask(c, R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})")
                  .get("result")
                  .asBool());
  EXPECT_TRUE(ask(c, R"({"method":"VelomraReleaseControlMethod","params":{"accessMode":0}})")
                  .get("result")
                  .asBool());
  EXPECT_TRUE(ask(c, R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":7}})")
                  .get("result")
                  .asBool());
  EXPECT_EQ(ask(c, kRegister).get("errorCode").asInt(), 0);
  EXPECT_EQ(host.registeredClientCount(), 1);
  JsonHandle unknown = ask(c, R"({"method":"VelmoraMakeCoffee"})");
  EXPECT_EQ(unknown.get("errorCode").asInt(), kHostErrorUnknownMethod);
  EXPECT_FALSE(unknown.get("result").asBool());
}

TEST(HostPipes, OlderHostAnswersNewerMethodsAsUnknown) {
  HostFixtureOptions options;
  options.protocol = 3;
  HostFixture host(options);
  Connection c = connect();
  ASSERT_TRUE(c);
  EXPECT_EQ(ask(c, R"({"method":"VelomraHandshakeMethod","params":{"sdkProtocolVersion":5}})")
                .get("serverProtocolVersion")
                .asInt(),
            3);
  EXPECT_EQ(ask(c, R"({"method":"VelmoraGetLedPositionsByDeviceIndex","params":{"deviceIndex":0}})")
                .get("errorCode")
                .asInt(),
            0);
  EXPECT_EQ(ask(c, R"({"method":"VelmoraGetLedsColors","params":{"ledsColors":"1,0,0,0"}})")
                .get("errorCode")
                .asInt(),
            kHostErrorUnknownMethod);
  EXPECT_EQ(ask(c, kRegister).get("errorCode").asInt(), kHostErrorUnknownMethod);
  EXPECT_EQ(host.registeredClientCount(), 0);
}

TEST(HostPipes, ClientsComeAndGo) {
  HostFixture host;
  Connection a = connect(":pid:1");
  Connection b = connect(":pid:2");
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(host.waitForClientCount(2, kWaitMs));
  ask(a, setColors("5,255,0,0"));
  ask(b, R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":200}})");
  ask(b, setColors("5,0,0,255#6,0,0,255"));
  EXPECT_EQ(shown(host, 5), (Rgb{0, 0, 255}));  // b's layer is higher
  EXPECT_TRUE(ask(b, R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})")
                  .get("result")
                  .asBool());
  EXPECT_EQ(ask(a, R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})")
                .get("errorCode")
                .asInt(),
            kHostErrorRefused);
  ask(b, kRegister);
  EXPECT_EQ(host.registeredClientCount(), 1);
  // A client that goes away takes its layer and its control with it.
  b.reset();
  EXPECT_TRUE(host.waitForClientCount(1, kWaitMs));
  EXPECT_EQ(host.registeredClientCount(), 0);
  EXPECT_EQ(shown(host, 5), (Rgb{255, 0, 0}));
  EXPECT_EQ(shown(host, 6), (Rgb{}));
  EXPECT_TRUE(ask(a, R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})")
                  .get("result")
                  .asBool());
  a.reset();
  EXPECT_TRUE(host.waitForClientCount(0, kWaitMs));
}

TEST(HostPipes, SeveralClientsAreServedAtOnce) {
  HostFixture host;
  constexpr int kClients = 4;
  constexpr int kCalls = 40;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kClients; ++t) {
    threads.emplace_back([t, &good] {
      Connection c = connectRacing(":pid:" + std::to_string(100 + t));
      if (!c) return;
      for (int i = 0; i < kCalls; ++i) {
        // Each client owns one LED on the mousepad, so reads show its own colour.
        std::string id = std::to_string(130 + t);
        ask(c, setColors(id + ",0,0," + std::to_string(i)));
        std::string got = ask(c, R"({"method":"VelmoraGetLedsColors","params":{"ledsColors":")" +
                                     id + ",0,0,0\"}}")
                              .get("ledsColors")
                              .asString();
        if (got == id + ",0,0," + std::to_string(i)) ++good;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, kClients * kCalls);
  EXPECT_EQ(host.requests().size(), static_cast<size_t>(2 * kClients * kCalls));
}

// Bodies the library would never send; none may stop the host from serving.
TEST(HostPipes, GarbageFramesAreAnsweredOrDropped) {
  HostFixture host;
  std::wstring base = sdk::RequestClientPipeName(":pid:66");
  ASSERT_FALSE(base.empty());
  auto fromHost = sdk::OpenPipeInputStream(base + sdk::kResponsePipeSuffix, 2000);
  auto toHost = sdk::OpenPipeOutputStream(base + sdk::kRequestPipeSuffix, 2000);
  auto notes = sdk::OpenPipeInputStream(base + sdk::kNotificationPipeSuffix, 2000);
  ASSERT_TRUE(fromHost && toHost && notes);
  auto exchange = [&](const std::vector<uint8_t>& body) {
    EXPECT_EQ(toHost->Write(body, 5000), 0);
    std::vector<uint8_t> answer;
    EXPECT_EQ(fromHost->Read(answer, 5000), 0);
    EXPECT_FALSE(answer.empty());
    EXPECT_EQ(answer.back(), 0);  // every text from the host ends with a 0 byte
    return sdk::parseJsonText(std::string(answer.begin(), answer.end()));
  };
  const std::vector<std::vector<uint8_t>> bodies = {
      {},                                        // empty frame
      {0},                                       // only the 0 byte
      {0xff, 0xfe, 0x01, 0x00, 'x'},             // binary
      {'{', '"', 'm', 'e', 't', 'h', 'o', 'd'},  // cut short, no 0 byte
      std::vector<uint8_t>(300, '['),            // nested deeper than the reader goes
      std::vector<uint8_t>(kMaxRequestBytes + 10, ' '),
  };
  for (const auto& body : bodies) {
    JsonHandle a = exchange(body);
    EXPECT_EQ(a.get("errorCode").asInt(), kHostErrorBadRequest) << body.size();
    EXPECT_FALSE(a.get("result").asBool());
  }
  // Without its 0 byte a request is still read.
  std::string plain = kCount;
  EXPECT_EQ(exchange(std::vector<uint8_t>(plain.begin(), plain.end())).get("result").asInt(), 5);
  EXPECT_EQ(host.clientCount(), 1);
  // A length no frame may have: the host drops this client, and only it.
  Connection other = connect(":pid:67");
  ASSERT_TRUE(other);
  EXPECT_EQ(sdk::WriteRawBytes(*toHost, {0xf0, 0xff, 0xff, 0xff, 'x'}, 5000), 0);
  EXPECT_TRUE(host.waitForClientCount(1, kWaitMs));
  std::vector<uint8_t> none;
  EXPECT_NE(fromHost->Read(none, 5000), 0);
  EXPECT_EQ(ask(other, kCount).get("result").asInt(), 5);
}

TEST(HostPipes, OverlongIdentityGetsNoPipes) {
  HostFixture host;
  auto toHost = sdk::OpenPipeOutputStream(host.pipeBase() + sdk::kRequestPipeSuffix, 2000);
  auto fromHost = sdk::OpenPipeInputStream(host.pipeBase() + sdk::kResponsePipeSuffix, 2000);
  ASSERT_TRUE(toHost && fromHost);
  ASSERT_EQ(toHost->Write(sdk::TextToMessage(":pid:" + std::string(5000, '7')), 5000), 0);
  std::vector<uint8_t> reply;
  ASSERT_EQ(fromHost->Read(reply, 5000), 0);
  EXPECT_EQ(reply, std::vector<uint8_t>{0});
  toHost.reset();
  fromHost.reset();
  // The next client is served as usual.
  Connection c = connect();
  ASSERT_TRUE(c);
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
}

TEST(HostPipes, SecondHostOnTheSamePipesIsRefused) {
  HostFixture host;
  ServerOptions options;
  options.pipeBase = host.pipeBase();
  HostServer second(options);
  std::string error;
  EXPECT_FALSE(second.start(&error));
  EXPECT_NE(error.find("another host already serves"), std::string::npos) << error;
  // The first host is unharmed.
  Connection c = connectRacing(":pid:3");
  ASSERT_TRUE(c);
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
}

// A host that runs for days keeps only the latest trace lines and no request
// list.
TEST(HostPipes, LongRunningHostKeepsBoundedTraffic) {
  ServerOptions options;
  options.pipeBase = std::wstring(sdk::kPipePathPrefix) + L"lumhost-traffic-" +
                     std::to_wstring(sdk::platform::currentProcessId());
  options.keepRequests = false;
  options.keepTraffic = 3;
  HostServer server(options);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  sdk::SetWellKnownPipeBaseForTesting(options.pipeBase);
  Connection c = connect();
  ASSERT_TRUE(c);
  for (int i = 0; i < 5; ++i) ask(c, kCount);
  // Five requests and five answers; the answer's line follows its write.
  ASSERT_TRUE(eventually([&] { return server.trafficCount() == 10; }));
  std::vector<TrafficLine> kept = server.recentTraffic(0);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].number, 8u);
  EXPECT_EQ(kept[2].text.rfind("client-", 0), 0u);
  EXPECT_NE(kept[2].text.find(" <- {"), std::string::npos) << kept[2].text;
  EXPECT_EQ(server.recentTraffic(9).size(), 1u);
  EXPECT_TRUE(server.requests().empty());
}

TEST(HostFixtureSetup, BadProfileIsReported) {
  std::string path = ::testing::TempDir() + "lumhost_bad_profile.json";
  {
    std::ofstream out(path);
    out << R"({"devices": [{"type": "mouse", "model": "M", "leds": [{"id": 1}]}]})";
  }
  HostFixtureOptions options;
  options.profilePath = path;
  try {
    HostFixture host(options);
    ADD_FAILURE() << "the fixture started with a bad profile";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(
        std::string(e.what()).find("device 0 (\"M\"), led 0 (id 1): member \"left\" is missing"),
        std::string::npos)
        << e.what();
  }
  std::remove(path.c_str());
  options.profilePath.clear();
  options.protocol = 7;
  EXPECT_THROW(HostFixture host(options), std::runtime_error);
}

TEST(HostFixtureHooks, ReplaceAnswer) {
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  host.replaceAnswer("VelmoraGetDeviceCount", "{\"result\": 42, \"errorCode\": 7");
  EXPECT_EQ(c->Call(kCount), std::string("{\"result\": 42, \"errorCode\": 7") + '\0');
  // A replaced answer stands for the host's whole reaction: nothing is set.
  host.replaceAnswer("VelmoraSetLedsColors", "not json");
  EXPECT_EQ(call(c, setColors("9,1,1,1")), "not json");
  EXPECT_EQ(shown(host, 9), (Rgb{}));
  host.replaceAnswer("VelmoraGetDeviceCount", "");
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
  EXPECT_EQ(host.requests().size(), 3u);
}

TEST(HostFixtureHooks, WithholdAnswers) {
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  host.withholdAnswers("VelmoraGetDeviceCount", true);
  EXPECT_EQ(c->Call(kCount), "");  // after the client's 5000 ms
  EXPECT_TRUE(c->IsBroken());
  EXPECT_TRUE(host.waitForRequests("VelmoraGetDeviceCount", 1, kWaitMs));
  host.withholdAnswers("VelmoraGetDeviceCount", false);
  Connection d = connect();
  ASSERT_TRUE(d);
  EXPECT_EQ(ask(d, kCount).get("result").asInt(), 5);
}

TEST(HostFixtureHooks, DelayAnswers) {
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  host.delayAnswers("VelmoraSetLedsColors", 300);
  // The delayed request is carried out: the colour shows once it is answered.
  EXPECT_TRUE(ask(c, setColors("9,1,2,3")).get("result").asBool());
  EXPECT_EQ(shown(host, 9), (Rgb{1, 2, 3}));
  host.delayAnswers("VelmoraSetLedsColors", 0);
  EXPECT_TRUE(ask(c, setColors("9,3,2,1")).get("result").asBool());
}

TEST(HostFixtureHooks, CloseClientPipes) {
  for (const char* suffix : {"_in", "_out"}) {
    HostFixture host;
    Connection c = connect();
    ASSERT_TRUE(c);
    EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
    host.closeClientPipes(suffix);
    EXPECT_EQ(c->Call(kCount), "") << suffix;
    EXPECT_TRUE(c->IsBroken()) << suffix;
    EXPECT_TRUE(host.waitForClientCount(0, kWaitMs)) << suffix;
  }
  // After "_callback" the client is still answered, but its connection
  // notices the closed pipe.
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  Inbox inbox;
  inbox.attach(c);
  ASSERT_TRUE(host.waitForClientCount(1, kWaitMs));
  host.closeClientPipes("_callback");
  EXPECT_TRUE(eventually([&] { return c->IsBroken(); }));
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
  EXPECT_EQ(host.clientCount(), 1);
}

TEST(HostFixtureHooks, RefuseIdentity) {
  HostFixture host;
  host.refuseIdentity(true);
  EXPECT_TRUE(sdk::RequestClientPipeName(":pid:5").empty());
  EXPECT_FALSE(connect());
  EXPECT_EQ(host.clientCount(), 0);
  host.refuseIdentity(false);
  Connection c = connect();
  ASSERT_TRUE(c);
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
}

TEST(HostFixtureHooks, OmitClientPipe) {
  HostFixture host;
  for (const char* suffix : {"_out", "_in", "_callback"}) {
    host.omitClientPipe(suffix);
    EXPECT_FALSE(sdk::RequestClientPipeName(":pid:5").empty()) << suffix;  // a name, but...
    EXPECT_FALSE(connect()) << suffix;  // ...one of its pipes is missing
    EXPECT_EQ(host.clientCount(), 0) << suffix;
  }
  host.omitClientPipe("");
  Connection c = connect();
  ASSERT_TRUE(c);
  EXPECT_EQ(ask(c, kCount).get("result").asInt(), 5);
}

TEST(HostFixtureHooks, SendNotificationReachesRegisteredClientsOnly) {
  HostFixture host;
  Connection registered = connect(":pid:1");
  Connection bystander = connect(":pid:2");
  ASSERT_TRUE(registered && bystander);
  Inbox inbox;
  Inbox bystanderInbox;
  inbox.attach(registered);
  bystanderInbox.attach(bystander);
  ask(registered, kRegister);
  // Raw bodies go out exactly as given; the library drops the last byte and
  // ignores a body of one byte.
  host.sendNotification(std::string("x"));
  host.sendNotification(std::string("first\0", 6));
  host.sendNotification(std::string("{\"vendorKey\":9}"));
  ASSERT_TRUE(inbox.waitFor(2));
  EXPECT_EQ(inbox.texts(), (std::vector<std::string>{"first", "{\"vendorKey\":9"}));
  EXPECT_TRUE(bystanderInbox.texts().empty());
}

TEST(HostFixtureHooks, PressKey) {
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  Inbox inbox;
  inbox.attach(c);
  host.pressKey(5, true);  // not registered yet: nobody is told
  ask(c, kRegister);
  host.pressKey(36, true);
  host.pressKey(36, false);
  ASSERT_TRUE(inbox.waitFor(2));
  std::vector<std::string> texts = inbox.texts();
  ASSERT_EQ(texts.size(), 2u);
  JsonHandle press = sdk::parseJsonText(texts[0]);
  JsonHandle release = sdk::parseJsonText(texts[1]);
  EXPECT_EQ(press.get("vendorKey").asInt(), 36);
  EXPECT_TRUE(press.get("pressed").asBool());
  EXPECT_EQ(release.get("vendorKey").asInt(), 36);
  EXPECT_EQ(release.get("pressed").type(), sdk::kJsonBool);
  EXPECT_FALSE(release.get("pressed").asBool());
}

TEST(HostFixtureHooks, RequestsAreRecordedInOrder) {
  HostFixture host;
  EXPECT_FALSE(host.waitForRequests("", 1, 10));
  Connection c = connect();
  ASSERT_TRUE(c);
  ask(c, kCount);
  ask(c, setColors("3,1,1,1"));
  ask(c, kCount);
  EXPECT_EQ(host.requests(), (std::vector<std::string>{kCount, setColors("3,1,1,1"), kCount}));
  EXPECT_TRUE(host.waitForRequests("VelmoraGetDeviceCount", 2, kWaitMs));
  EXPECT_TRUE(host.waitForRequests("", 3, kWaitMs));
  EXPECT_FALSE(host.waitForRequests("VelmoraGetDeviceCount", 3, 50));
}

TEST(HostFixtureHooks, LedColorIsWhatAUserSees) {
  HostFixture host;
  Connection low = connect(":pid:1");
  Connection high = connect(":pid:2");
  ASSERT_TRUE(low && high);
  ask(high, R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":200}})");
  ask(high, setColors("20,0,255,0"));
  ask(low, setColors("20,255,0,0#21,255,0,0"));
  EXPECT_EQ(shown(host, 20), (Rgb{0, 255, 0}));
  EXPECT_EQ(shown(host, 21), (Rgb{255, 0, 0}));
  int r = 0;
  int g = 0;
  int b = 0;
  EXPECT_FALSE(host.ledColor(300, &r, &g, &b));
  EXPECT_TRUE(host.ledColorOnDevice(0, 21, &r, &g, &b));
  EXPECT_FALSE(host.ledColorOnDevice(1, 21, &r, &g, &b));
}

TEST(HostFixtureHooks, StopAndRestart) {
  HostFixture host;
  Connection c = connect();
  ASSERT_TRUE(c);
  ask(c, setColors("2,9,9,9"));
  host.stop();
  EXPECT_FALSE(host.running());
  EXPECT_EQ(c->Call(kCount), "");
  EXPECT_FALSE(connect());
  host.restart();
  EXPECT_TRUE(host.running());
  EXPECT_EQ(shown(host, 2), (Rgb{}));  // a host that comes back starts afresh
  Connection d = connect();
  ASSERT_TRUE(d);
  EXPECT_EQ(ask(d, kCount).get("result").asInt(), 5);
  EXPECT_EQ(host.clientCount(), 1);
}

// The library in this process finds the fixture on its own.
TEST(HostWithLibrary, HandshakeColoursAndKeys) {
  HostFixture host;
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_STREQ(details.serverVersion, kHostVersionText);
  EXPECT_EQ(details.serverProtocolVersion, 5);
  EXPECT_EQ(VelmoraGetDeviceCount(), 5);
  int q = VelmoraGetLedIdForKeyName('q');
  EXPECT_GT(q, 0);
  VelmoraLedColor color{q, 1, 2, 3};
  EXPECT_TRUE(VelmoraSetLedsColors(1, &color));
  EXPECT_EQ(shown(host, q), (Rgb{1, 2, 3}));
  struct Keys {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<int, bool>> seen;
  } keys;
  auto onKey = [](void* context, int key, bool pressed) {
    auto* k = static_cast<Keys*>(context);
    std::lock_guard<std::mutex> lock(k->mutex);
    k->seen.emplace_back(key, pressed);
    k->changed.notify_all();
  };
  ASSERT_TRUE(VelmoraRegisterKeypressCallback(onKey, &keys));
  host.pressKey(q, true);
  std::unique_lock<std::mutex> lock(keys.mutex);
  ASSERT_TRUE(keys.changed.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                                    [&] { return !keys.seen.empty(); }));
  EXPECT_EQ(keys.seen[0], std::make_pair(q, true));
}

}  // namespace
}  // namespace lumhost
