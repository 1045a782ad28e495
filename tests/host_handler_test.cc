// The stand-in host's answers, request by request, without pipes.
#include <gtest/gtest.h>

#include <string>

#include "host/server/request_handler.h"
#include "json/json_text.h"

namespace lumhost {
namespace {

using sdk::JsonHandle;

class HostHandler : public ::testing::Test {
 protected:
  explicit HostHandler(int protocol = kDefaultProtocol)
      : profile_(defaultProfile()), state_(profile_), handler_(profile_, &state_, protocol) {
    state_.addClient(1);
    state_.addClient(2);
  }

  JsonHandle ask(const std::string& request, int client = 1) {
    RequestOutcome outcome = handler_.handle(client, request);
    return sdk::parseJsonText(outcome.answer);
  }

  Profile profile_;
  LightingState state_;
  RequestHandler handler_;
};

TEST_F(HostHandler, HandshakeReportsTheHost) {
  RequestOutcome o = handler_.handle(
      1, R"({"method":"VelomraHandshakeMethod","params":{"sdkProtocolVersion":5}})");
  EXPECT_EQ(o.method, "VelomraHandshakeMethod");
  EXPECT_EQ(o.sdkProtocolVersion, 5);
  JsonHandle a = sdk::parseJsonText(o.answer);
  EXPECT_EQ(a.get("serverVersion").asString(), kHostVersionText);
  EXPECT_EQ(a.get("serverProtocolVersion").asInt(), 5);
  EXPECT_EQ(a.get("breakingChanges").type(), sdk::kJsonBool);
  EXPECT_FALSE(a.get("breakingChanges").asBool());
}

TEST_F(HostHandler, DevicesAndChannels) {
  EXPECT_EQ(ask(R"({"method":"VelmoraGetDeviceCount"})").get("result").asInt(), 5);
  JsonHandle kb = ask(R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":0}})");
  EXPECT_EQ(kb.get("errorCode").asInt(), 0);
  EXPECT_EQ(kb.get("result").get("model").asString(), "Demo Keyboard K104");
  EXPECT_EQ(kb.get("result").get("type").asInt(), 1);
  EXPECT_EQ(kb.get("result").get("ledsCount").asInt(), 105);
  EXPECT_EQ(kb.get("result").get("physicalLayout").asInt(), 1);
  EXPECT_TRUE(kb.get("result").hasMember("channels"));
  JsonHandle hub = ask(R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":4}})");
  JsonHandle channels = hub.get("result").get("channels");
  ASSERT_EQ(channels.size(), 2);
  EXPECT_EQ(channels.get(0).get("totalLedsCount").asInt(), 36);
  ASSERT_EQ(channels.get(0).get("devices").size(), 3);
  EXPECT_EQ(channels.get(0).get("devices").get(2).get("deviceLedCount").asInt(), 12);
  EXPECT_EQ(channels.get(1).get("devices").get(0).get("type").asInt(), 2);
  for (const char* bad : {R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":5}})",
                          R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":-1}})",
                          R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":"0"}})",
                          R"({"method":"VelmoraGetDeviceInfo"})"}) {
    JsonHandle a = ask(bad);
    EXPECT_TRUE(a.hasMember("result")) << bad;
    EXPECT_EQ(a.get("result").type(), sdk::kJsonNull) << bad;
    EXPECT_EQ(a.get("errorCode").asInt(), kHostErrorBadRequest) << bad;
  }
}

TEST_F(HostHandler, Positions) {
  JsonHandle all = ask(R"({"method":"VelmoraGetLedPositions"})");
  EXPECT_EQ(all.get("result").size(), profile_.totalLeds());
  JsonHandle first = all.get("result").get(0);
  EXPECT_EQ(first.get("ledId").asInt(), 1);
  EXPECT_DOUBLE_EQ(first.get("left").asDouble(), profile_.devices[0].leds[0].left);
  EXPECT_DOUBLE_EQ(first.get("height").asDouble(), profile_.devices[0].leds[0].height);
  JsonHandle mouse =
      ask(R"({"method":"VelmoraGetLedPositionsByDeviceIndex","params":{"deviceIndex":1}})");
  ASSERT_EQ(mouse.get("result").size(), 4);
  EXPECT_EQ(mouse.get("result").get(3).get("ledId").asInt(), 123);
  JsonHandle none =
      ask(R"({"method":"VelmoraGetLedPositionsByDeviceIndex","params":{"deviceIndex":9}})");
  EXPECT_TRUE(none.get("result").isNull());
  EXPECT_EQ(none.get("errorCode").asInt(), kHostErrorBadRequest);
}

TEST_F(HostHandler, KeyNames) {
  int idA = ask(R"({"method":"VelmoraGetLedIdForKeyName","params":{"keyName":65}})")
                .get("result")
                .asInt();
  EXPECT_GT(idA, 0);
  EXPECT_EQ(ask(R"({"method":"VelmoraGetLedIdForKeyName","params":{"keyName":97}})")
                .get("result")
                .asInt(),
            idA);
  JsonHandle digit = ask(R"({"method":"VelmoraGetLedIdForKeyName","params":{"keyName":49}})");
  EXPECT_EQ(digit.get("result").asInt(), 0);
  EXPECT_EQ(digit.get("errorCode").asInt(), kHostErrorBadRequest);
}

TEST_F(HostHandler, ColoursAreSetAndReadAsComposed) {
  JsonHandle set = ask(
      R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"1,255,0,0#121,0,0,9#0,7,7,7"}})");
  EXPECT_TRUE(set.get("result").asBool());
  EXPECT_EQ(set.get("errorCode").asInt(), 0);
  // Unknown and never-set LEDs read dark (id 0, accepted in sets, names no
  // LED); the answer keeps the request's order.
  JsonHandle get = ask(
      R"({"method":"VelmoraGetLedsColors","params":{"ledsColors":"121,-1,256,0#1,0,0,0#300,1,1,1#2,0,0,0#0,1,1,1"}})",
      2);
  EXPECT_EQ(get.get("ledsColors").asString(), "121,0,0,9#1,255,0,0#300,0,0,0#2,0,0,0#0,0,0,0");
  JsonHandle onMouse = ask(
      R"({"method":"VelmoraGetLedsColorsByDeviceIndex","params":{"deviceIndex":1,"ledsColors":"121,0,0,0#1,0,0,0"}})");
  EXPECT_EQ(onMouse.get("ledsColors").asString(), "121,0,0,9#1,0,0,0");
  const char* refused[] = {
      R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"1,256,0,0"}})",
      R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"500,1,0,0"}})",
      R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"1,2,3"}})",
      R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":5}})",
      R"({"method":"VelmoraSetLedsColors"})",
      R"({"method":"VelmoraGetLedsColors","params":{"ledsColors":"1,0,0,0#"}})",
      R"({"method":"VelmoraGetLedsColorsByDeviceIndex","params":{"deviceIndex":7,"ledsColors":"1,0,0,0"}})",
  };
  for (const char* r : refused) {
    JsonHandle a = ask(r);
    EXPECT_FALSE(a.get("result").asBool()) << r;
    EXPECT_EQ(a.get("errorCode").asInt(), kHostErrorBadRequest) << r;
    EXPECT_FALSE(a.hasMember("ledsColors")) << r;
  }
  Rgb c;
  ASSERT_TRUE(state_.color(-1, 1, &c));
  EXPECT_EQ(c, (Rgb{255, 0, 0}));  // refused sets changed nothing
}

TEST_F(HostHandler, FlushAppliesPerDeviceOrNothing) {
  EXPECT_TRUE(
      ask(R"({"method":"VelmoraSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":null}})")
          .get("result")
          .asBool());
  JsonHandle ok = ask(
      R"({"method":"VelmoraSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":1,"ledColors":"120,1,2,3"},{"deviceIndex":0,"ledColors":"5,4,5,6"}]}})");
  EXPECT_TRUE(ok.get("result").asBool());
  Rgb c;
  ASSERT_TRUE(state_.color(1, 120, &c));
  EXPECT_EQ(c, (Rgb{1, 2, 3}));
  ASSERT_TRUE(state_.color(0, 5, &c));
  EXPECT_EQ(c, (Rgb{4, 5, 6}));
  JsonHandle bad = ask(
      R"({"method":"VelmoraSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":[{"deviceIndex":0,"ledColors":"5,9,9,9"},{"deviceIndex":8,"ledColors":"1,0,0,0"}]}})");
  EXPECT_FALSE(bad.get("result").asBool());
  EXPECT_EQ(bad.get("errorCode").asInt(), kHostErrorBadRequest);
  EXPECT_NE(bad.get("error").asString().find("[1]"), std::string::npos);
  ASSERT_TRUE(state_.color(0, 5, &c));
  EXPECT_EQ(c, (Rgb{4, 5, 6}));
}

TEST_F(HostHandler, ControlPriorityAndKeys) {
  const char* request = R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})";
  EXPECT_TRUE(ask(request, 1).get("result").asBool());
  JsonHandle refused = ask(request, 2);
  EXPECT_FALSE(refused.get("result").asBool());
  EXPECT_EQ(refused.get("errorCode").asInt(), kHostErrorRefused);
  EXPECT_EQ(ask(R"({"method":"InternalAquireAccessMode","params":{"accessMode":1}})", 2)
                .get("errorCode")
                .asInt(),
            kHostErrorBadRequest);
  JsonHandle released =
      ask(R"({"method":"VelomraReleaseControlMethod","params":{"accessMode":0}})", 1);
  EXPECT_TRUE(released.get("result").asBool());
  EXPECT_EQ(released.get("errorCode").asInt(), 0);
  EXPECT_TRUE(ask(request, 2).get("result").asBool());

  EXPECT_TRUE(ask(R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":255}})")
                  .get("result")
                  .asBool());
  for (const char* bad :
       {R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":256}})",
        R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":-1}})",
        R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":1.5}})"}) {
    EXPECT_EQ(ask(bad).get("errorCode").asInt(), kHostErrorBadRequest) << bad;
  }
  EXPECT_EQ(state_.clients()[0].priority, 255);

  RequestOutcome o = handler_.handle(1, R"({"method":"VelmoraRegisterKeypressCallback"})");
  EXPECT_TRUE(o.registersKeys);
  EXPECT_EQ(sdk::parseJsonText(o.answer).get("errorCode").asInt(), 0);
}

TEST_F(HostHandler, MalformedRequestsGetAnErrorAnswer) {
  const std::string cases[] = {"",
                               "garbage",
                               "[1,2]",
                               "{\"method\":5}",
                               "{\"params\":{}}",
                               "null",
                               std::string("{\"method\":\"Velmora\0GetDeviceCount\"}", 36),
                               std::string(kMaxRequestBytes + 1, ' ')};
  for (const std::string& text : cases) {
    RequestOutcome o = handler_.handle(1, text);
    JsonHandle a = sdk::parseJsonText(o.answer);
    EXPECT_NE(a.get("errorCode").asInt(), 0) << text.substr(0, 40);
    EXPECT_EQ(a.get("result").type(), sdk::kJsonBool) << text.substr(0, 40);
    EXPECT_FALSE(a.get("result").asBool());
  }
  JsonHandle unknown = ask(R"({"method":"VelmoraSelfDestruct"})");
  EXPECT_EQ(unknown.get("errorCode").asInt(), kHostErrorUnknownMethod);
  EXPECT_FALSE(unknown.get("result").asBool());
}

TEST(HostColorList, StrictReading) {
  std::vector<ColorRecord> records;
  EXPECT_TRUE(parseColorList("", &records));
  EXPECT_TRUE(records.empty());
  ASSERT_TRUE(parseColorList("12,255,0,0#13,0,128,64#-1,-2,300,0", &records));
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[1].g, 128);
  EXPECT_EQ(records[2].ledId, -1);
  EXPECT_EQ(formatColorList(records), "12,255,0,0#13,0,128,64#-1,-2,300,0");
  for (const char* bad : {"1", "1,2,3", "1,2,3,4,", "1,2,3,4#", "#1,2,3,4", "1, 2,3,4", "a,2,3,4",
                          "1,2,3,4x", "1,2,3,99999999999", "--1,2,3,4", "1,2,3,4##5,6,7,8"}) {
    EXPECT_FALSE(parseColorList(bad, &records)) << bad;
  }
}

// Which methods each protocol version knows; newer ones are unknown methods.
TEST(HostProtocolVersions, OlderHostsDoNotKnowNewerMethods) {
  struct Method {
    const char* request;
    int since;
  };
  const Method methods[] = {
      {R"({"method":"VelomraHandshakeMethod","params":{"sdkProtocolVersion":5}})", 1},
      {R"({"method":"VelmoraGetDeviceCount"})", 1},
      {R"({"method":"VelmoraGetDeviceInfo","params":{"deviceIndex":0}})", 1},
      {R"({"method":"VelmoraGetLedPositions"})", 1},
      {R"({"method":"VelmoraGetLedIdForKeyName","params":{"keyName":65}})", 1},
      {R"({"method":"InternalAquireAccessMode","params":{"accessMode":0}})", 1},
      {R"({"method":"VelmoraSetLedsColors","params":{"ledsColors":"1,1,1,1"}})", 1},
      {R"({"method":"VelomraReleaseControlMethod","params":{"accessMode":0}})", 2},
      {R"({"method":"VelmoraGetLedPositionsByDeviceIndex","params":{"deviceIndex":0}})", 3},
      {R"({"method":"VelmoraGetLedsColors","params":{"ledsColors":"1,0,0,0"}})", 4},
      {R"({"method":"VelmoraSetLayerPriority","params":{"layerPriority":3}})", 4},
      {R"({"method":"VelmoraRegisterKeypressCallback"})", 4},
      {R"({"method":"VelmoraGetLedsColorsByDeviceIndex","params":{"deviceIndex":0,"ledsColors":"1,0,0,0"}})",
       5},
      {R"({"method":"VelmoraSetLedsColorsFlushBuffer","params":{"ledsColorsByDeviceIndex":null}})",
       5},
  };
  Profile profile = defaultProfile();
  for (int version = kMinProtocol; version <= kMaxProtocol; ++version) {
    LightingState state(profile);
    state.addClient(1);
    RequestHandler handler(profile, &state, version);
    for (const Method& m : methods) {
      JsonHandle a = sdk::parseJsonText(handler.handle(1, m.request).answer);
      if (version >= m.since) {
        EXPECT_EQ(a.get("errorCode").asInt(), 0) << "version " << version << ": " << m.request;
      } else {
        EXPECT_EQ(a.get("errorCode").asInt(), kHostErrorUnknownMethod)
            << "version " << version << ": " << m.request;
        EXPECT_FALSE(a.get("result").asBool());
      }
    }
    JsonHandle hs = sdk::parseJsonText(handler.handle(1, methods[0].request).answer);
    EXPECT_EQ(hs.get("serverProtocolVersion").asInt(), version);
    EXPECT_EQ(hs.get("breakingChanges").asBool(), version > 5);
  }
}

}  // namespace
}  // namespace lumhost
