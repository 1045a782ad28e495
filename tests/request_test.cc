// The request envelope and the remote method names.
#include "api/methods.h"
#include "json/request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/exchange.h"
#include "json/json_text.h"

namespace sdk {
namespace {

TEST(RequestMethods, NamesAreSpelledAsTheHostExpects) {
  const struct {
    const char* name;
    const char* text;
  } cases[] = {
      {method::kGetDeviceCount, "VelmoraGetDeviceCount"},
      {method::kGetDeviceInfo, "VelmoraGetDeviceInfo"},
      {method::kGetLedPositions, "VelmoraGetLedPositions"},
      {method::kGetLedPositionsByDeviceIndex, "VelmoraGetLedPositionsByDeviceIndex"},
      {method::kGetLedIdForKeyName, "VelmoraGetLedIdForKeyName"},
      {method::kGetLedsColors, "VelmoraGetLedsColors"},
      {method::kGetLedsColorsByDeviceIndex, "VelmoraGetLedsColorsByDeviceIndex"},
      {method::kSetLedsColors, "VelmoraSetLedsColors"},
      {method::kSetLedsColorsFlushBuffer, "VelmoraSetLedsColorsFlushBuffer"},
      {method::kHandshake, "VelomraHandshakeMethod"},
      {method::kRequestControl, "InternalAquireAccessMode"},
      {method::kReleaseControl, "VelomraReleaseControlMethod"},
      {method::kSetLayerPriority, "VelmoraSetLayerPriority"},
      {method::kRegisterKeypressCallback, "VelmoraRegisterKeypressCallback"},
  };
  for (const auto& c : cases) EXPECT_STREQ(c.name, c.text);
}

TEST(Request, ComposedTextsAreWhatTheWriterGives) {
  for (const char* method : {method::kGetDeviceCount, method::kRegisterKeypressCallback}) {
    JsonHandle request;
    buildRequest(request, method);
    EXPECT_EQ(requestText(method), toJsonText(request));
  }
  for (int value : {0, 7, -3, 999999, -999999, 1000000, 2147483647, -2147483647 - 1}) {
    JsonHandle request;
    buildRequest(request, method::kGetDeviceInfo);
    JsonHandle params;
    params.member("deviceIndex") = JsonHandle(value);
    attachParams(request, std::move(params));
    const std::string text = toJsonText(request);
    EXPECT_EQ(requestText(method::kGetDeviceInfo, "deviceIndex", value), text);
    // On the stack, framed: the same text. Written in place only where it
    // surely fits; a name too long for the stack buffer goes to the heap.
    EXPECT_EQ(IntParamRequest(method::kGetDeviceInfo, "deviceIndex", value).text().view(), text);
    char room[128];
    const size_t needed = 40 + std::strlen(method::kGetDeviceInfo) + std::strlen("deviceIndex");
    EXPECT_EQ(writeRequestText(room, needed - 1, method::kGetDeviceInfo, "deviceIndex", value), 0u);
    const std::string longName(200, 'm');
    EXPECT_EQ(IntParamRequest(longName.c_str(), "deviceIndex", value).text().view(),
              requestText(longName.c_str(), "deviceIndex", value));
  }
}

TEST(Request, WithoutParamsHasOnlyMethod) {
  JsonHandle request;
  JsonHandle& built = buildRequest(request, method::kGetDeviceCount);
  EXPECT_EQ(&built, &request);
  EXPECT_EQ(toJsonText(request), "{\"method\":\"VelmoraGetDeviceCount\"}");
}

TEST(Request, ParamsAreAnObjectOfTheirOwn) {
  JsonHandle params;
  params.member("deviceIndex") = JsonHandle(2);
  JsonHandle request;
  buildRequest(request, method::kGetDeviceInfo);
  attachParams(request, std::move(params));
  const std::string text = toJsonText(request);
  // Member order follows the map, so check the pieces and the parsed form.
  EXPECT_NE(text.find("\"params\":{\"deviceIndex\":2}"), std::string::npos) << text;
  EXPECT_NE(text.find("\"method\":\"VelmoraGetDeviceInfo\""), std::string::npos) << text;
  EXPECT_EQ(text.size(), std::string("{\"method\":\"VelmoraGetDeviceInfo\","
                                     "\"params\":{\"deviceIndex\":2}}")
                             .size());
  const JsonHandle back = parseJsonText(text);
  EXPECT_EQ(back.get("params").get("deviceIndex").asInt(), 2);
  EXPECT_EQ(back.get("method").asString(), method::kGetDeviceInfo);
}

TEST(Request, AttachParamsCopyLeavesTheSourceAlone) {
  JsonHandle params;
  params.member("ledsColors") = JsonHandle("1,255,0,0");
  JsonHandle request;
  attachParamsCopy(buildRequest(request, method::kSetLedsColors), params);
  params.member("ledsColors") = JsonHandle("changed");
  EXPECT_EQ(request.get("params").get("ledsColors").asString(), "1,255,0,0");
  // Building again replaces the method rather than adding a second one.
  buildRequest(request, method::kGetLedsColors);
  EXPECT_EQ(request.get("method").asString(), "VelmoraGetLedsColors");
}

TEST(Request, ReadingAnswersOfEveryShape) {
  const struct {
    const char* answer;
    int errorCode;
    bool result;
  } cases[] = {
      {"{\"result\":true}", 0, true},  {"{\"errorCode\":3,\"result\":false}", 3, false},
      {"{\"errorCode\":5}", 5, false}, {"null", 0, false},
      {"not json", 0, false},          {"[1,2]", 0, false},
      {"{\"result\":1}", 0, false},  // a number is not a bool
  };
  for (const auto& c : cases) {
    const JsonHandle answer = parseJsonText(c.answer);
    EXPECT_EQ(answer.get("errorCode").asInt(), c.errorCode) << c.answer;
    EXPECT_EQ(answer.get("result").asBool(), c.result) << c.answer;
  }
  EXPECT_TRUE(parseJsonText("{\"result\":null}").get("result").isNull());
  EXPECT_TRUE(parseJsonText("null").get("result").isNull());
}

}  // namespace
}  // namespace sdk
