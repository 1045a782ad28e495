// The synchronous exports against an in-memory host: order of checks,
// request texts, answer reading and record conversion.
#include <gtest/gtest.h>

#include "LUMSDK.h"
#include "json/json_text.h"
#include "support/fake_host.h"

namespace sdk {
namespace test_support {
namespace {

class ApiCalls : public ::testing::Test {
 protected:
  void connect(int protocol = 5) {
    host_.setProtocol(protocol);
    VelmoraPerformProtocolHandshake();
    ASSERT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  }
  void answerWith(const std::string& text) {
    host_.setAnswer([text](const JsonHandle&) { return text; });
  }
  size_t sent() { return host_.requests().size(); }
  FakeHost host_;
};

#define EXPECT_FAILS_WITH(call, failure, code) \
  do {                                         \
    EXPECT_EQ((call), failure);                \
    EXPECT_EQ(VelmoraGetLastError(), code);    \
  } while (0)

TEST_F(ApiCalls, ChecksRunInEachExportsOrderWhenTheHostIsGone) {
  connect();
  host_.breakConnections();
  host_.setRefuseConnections(true);
  VelmoraLedColor dup[2] = {{3, 0, 0, 0}, {3, 0, 0, 0}};
  const size_t before = sent();
  EXPECT_FAILS_WITH(VelmoraGetDeviceInfo(-1), nullptr, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraGetDeviceInfo(0), nullptr, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraGetDeviceCount(), -1, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraReleaseControl(1), false, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraRequestControl(1), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraRequestControl(0), false, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraSetLayerPriority(256), false, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraGetLedIdForKeyName('1'), 0, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraGetLedIdForKeyName('a'), 0, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraGetLedPositions(), nullptr, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraGetLedPositionsByDeviceIndex(-1), nullptr, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraSetLedsColors(2, dup), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraSetLedsColors(1, dup), false, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraGetLedsColors(2, dup), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraGetLedsColors(1, dup), false, VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, dup), false,
                    VelmoraErrorHostUnreachable);
  EXPECT_FAILS_WITH(VelmoraSetLedsColorsFlushBuffer(), false, VelmoraErrorHostUnreachable);
  EXPECT_EQ(sent(), before);
}

TEST_F(ApiCalls, VersionGatesComeWhereEachExportPutsThem) {
  connect(1);
  EXPECT_FAILS_WITH(VelmoraReleaseControl(0), false, VelmoraErrorProtocolMismatch);
  EXPECT_FAILS_WITH(VelmoraReleaseControl(1), false, VelmoraErrorBadArgument);
  connect(2);
  EXPECT_FAILS_WITH(VelmoraGetLedPositionsByDeviceIndex(0), nullptr, VelmoraErrorProtocolMismatch);
  connect(3);
  EXPECT_FAILS_WITH(VelmoraSetLayerPriority(256), false, VelmoraErrorProtocolMismatch);
  EXPECT_FAILS_WITH(VelmoraRegisterKeypressCallback(nullptr, nullptr), false,
                    VelmoraErrorBadArgument);
  VelmoraLedColor bad{600, 0, 0, 0};
  EXPECT_FAILS_WITH(VelmoraGetLedsColors(1, &bad), false, VelmoraErrorProtocolMismatch);
  const size_t before = sent();
  answerWith("{\"result\":[]}");
  EXPECT_FAILS_WITH(VelmoraGetLedPositionsByDeviceIndex(0), nullptr, VelmoraErrorBadArgument);
  EXPECT_EQ(sent(), before + 1);  // sent at version 3
  connect(4);
  EXPECT_FAILS_WITH(VelmoraSetLayerPriority(256), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraSetLayerPriority(-1), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraGetLedsColorsByDeviceIndex(0, 1, &bad), false,
                    VelmoraErrorProtocolMismatch);
  EXPECT_FAILS_WITH(VelmoraSetLedsColorsFlushBufferAsync(nullptr, nullptr), false,
                    VelmoraErrorProtocolMismatch);
  answerWith("{\"result\":true,\"errorCode\":0}");
  EXPECT_TRUE(VelmoraSetLayerPriority(255));
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"layerPriority\":255}");
  EXPECT_EQ(methodOf(host_.lastRequest()), "VelmoraSetLayerPriority");
}

TEST_F(ApiCalls, AccessControlSendsItsOwnMethodNamesAndReadsTheAnswer) {
  connect();
  answerWith("{\"result\":true,\"errorCode\":3}");
  EXPECT_TRUE(VelmoraRequestControl(0));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);  // errorCode not read here
  EXPECT_EQ(methodOf(host_.lastRequest()), "InternalAquireAccessMode");
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"accessMode\":0}");

  answerWith("{\"result\":true,\"errorCode\":7}");
  EXPECT_TRUE(VelmoraReleaseControl(0));
  EXPECT_EQ(VelmoraGetLastError(), 7);
  EXPECT_EQ(methodOf(host_.lastRequest()), "VelomraReleaseControlMethod");

  answerWith("{\"errorCode\":0}");
  EXPECT_FAILS_WITH(VelmoraReleaseControl(0), false, VelmoraErrorNone);
  answerWith("{}");
  EXPECT_FAILS_WITH(VelmoraRequestControl(0), false, VelmoraErrorNone);
  answerWith("garbage");
  EXPECT_FAILS_WITH(VelmoraSetLayerPriority(3), false, VelmoraErrorNone);
}

TEST_F(ApiCalls, DeviceCountAndKeyNameReadAnIntegerResult) {
  connect();
  answerWith("{\"result\":4}");
  EXPECT_EQ(VelmoraGetDeviceCount(), 4);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(host_.lastRequest(), std::string("{\"method\":\"VelmoraGetDeviceCount\"}"));
  answerWith("{\"noresult\":1}");
  EXPECT_FAILS_WITH(VelmoraGetDeviceCount(), 0, VelmoraErrorNone);
  answerWith("");
  EXPECT_FAILS_WITH(VelmoraGetDeviceCount(), -1, VelmoraErrorHostUnreachable);

  answerWith("{\"result\":42}");
  EXPECT_EQ(VelmoraGetLedIdForKeyName('z'), 42);
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"keyName\":122}");
  EXPECT_EQ(VelmoraGetLedIdForKeyName('A'), 42);
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"keyName\":65}");
  answerWith("{\"result\":0}");
  EXPECT_FAILS_WITH(VelmoraGetLedIdForKeyName('q'), 0, VelmoraErrorNone);
  const size_t before = sent();
  for (char key : {'1', '@', '[', '`', '{', ' ', static_cast<char>(0xC1)}) {
    EXPECT_FAILS_WITH(VelmoraGetLedIdForKeyName(key), 0, VelmoraErrorBadArgument);
  }
  EXPECT_EQ(sent(), before);
}

TEST_F(ApiCalls, DeviceInfoConvertsTheWholeTree) {
  connect();
  answerWith(
      "{\"result\":{\"type\":2,\"model\":\"Desk \\\"K\\\"\",\"physicalLayout\":1,"
      "\"logicalLayout\":3,\"capsMask\":7,\"ledsCount\":12.9,\"channels\":["
      "{\"totalLedsCount\":20,\"devices\":[{\"type\":1,\"deviceLedCount\":8},"
      "{\"type\":2,\"deviceLedCount\":12}]},{\"totalLedsCount\":0,\"devices\":[]},"
      "{\"totalLedsCount\":5,\"devices\":7}]}}");
  const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(2);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"deviceIndex\":2}");
  EXPECT_EQ(info->type, 2);
  EXPECT_STREQ(info->model, "Desk \"K\"");
  EXPECT_EQ(info->physicalLayout, 1);
  EXPECT_EQ(info->logicalLayout, 3);
  EXPECT_EQ(info->capsMask, 7);
  EXPECT_EQ(info->ledsCount, 12);
  ASSERT_EQ(info->channels.channelsCount, 3);
  const VelmoraChannelInfo* ch = info->channels.channels;
  EXPECT_EQ(ch[0].totalLedsCount, 20);
  ASSERT_EQ(ch[0].devicesCount, 2);
  EXPECT_EQ(ch[0].devices[1].type, 2);
  EXPECT_EQ(ch[0].devices[1].deviceLedCount, 12);
  EXPECT_EQ(ch[1].devicesCount, 0);  // [] reads as null
  EXPECT_EQ(ch[1].devices, nullptr);
  EXPECT_EQ(ch[2].devicesCount, -1);  // not a list
  EXPECT_EQ(ch[2].devices, nullptr);

  // A second call gives a new record and leaves the first unchanged.
  answerWith("{\"result\":{\"ledsCount\":-3.5}}");
  const VelmoraDeviceInfo* other = VelmoraGetDeviceInfo(0);
  ASSERT_NE(other, nullptr);
  EXPECT_NE(other, info);
  EXPECT_EQ(other->ledsCount, -3);
  EXPECT_STREQ(other->model, "");  // never null
  EXPECT_EQ(other->channels.channelsCount, 0);
  EXPECT_EQ(other->channels.channels, nullptr);
  EXPECT_STREQ(info->model, "Desk \"K\"");
  EXPECT_EQ(info->channels.channels[0].devices[0].deviceLedCount, 8);
}

TEST_F(ApiCalls, DeviceInfoWithoutResultIsABadArgument) {
  connect();
  for (const char* answer : {"{\"result\":null}", "{}", "null", "oops", "{\"result\":{}}"}) {
    SCOPED_TRACE(answer);
    answerWith(answer);
    EXPECT_FAILS_WITH(VelmoraGetDeviceInfo(9), nullptr, VelmoraErrorBadArgument);
  }
  answerWith("{\"result\":{\"channels\":null,\"model\":5}}");
  const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->channels.channelsCount, 0);
  EXPECT_STREQ(info->model, "");
  answerWith("{\"result\":{\"channels\":{\"a\":1}}}");
  info = VelmoraGetDeviceInfo(0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->channels.channelsCount, -1);
}

TEST_F(ApiCalls, PositionsKeepIdsOneTo499AndTruncateGeometry) {
  connect();
  answerWith(
      "{\"result\":[{\"ledId\":0,\"top\":1},{\"ledId\":12,\"top\":10.7,\"left\":-0.5,"
      "\"height\":3,\"width\":\"4\"},{\"ledId\":500},{\"ledId\":499,\"width\":18.2}]}");
  const VelmoraLedPositions* p = VelmoraGetLedPositions();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(host_.lastRequest(), "{\"method\":\"VelmoraGetLedPositions\"}");
  ASSERT_EQ(p->positionsCount, 2);
  EXPECT_EQ(p->positions[0].ledId, 12);
  EXPECT_EQ(p->positions[0].top, 10.0);
  EXPECT_EQ(p->positions[0].left, 0.0);
  EXPECT_EQ(p->positions[0].height, 3.0);
  EXPECT_EQ(p->positions[0].width, 0.0);
  EXPECT_EQ(p->positions[1].ledId, 499);
  EXPECT_EQ(p->positions[1].width, 18.0);

  answerWith("{\"result\":[{\"ledId\":0},{\"ledId\":-4}]}");
  p = VelmoraGetLedPositions();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->positionsCount, 0);
  EXPECT_NE(p->positions, nullptr);  // filtered to nothing, array still there

  for (const char* empty : {"{\"result\":[]}", "{\"result\":null}", "{}"}) {
    SCOPED_TRACE(empty);
    answerWith(empty);
    p = VelmoraGetLedPositions();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
    EXPECT_EQ(p->positionsCount, 0);
    EXPECT_EQ(p->positions, nullptr);
    EXPECT_FAILS_WITH(VelmoraGetLedPositionsByDeviceIndex(0), nullptr, VelmoraErrorBadArgument);
  }
  answerWith("{\"result\":[{\"ledId\":7,\"top\":1}]}");
  p = VelmoraGetLedPositionsByDeviceIndex(1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"deviceIndex\":1}");
  ASSERT_EQ(p->positionsCount, 1);
  EXPECT_EQ(p->positions[0].ledId, 7);
}

TEST_F(ApiCalls, SetColorsSendsTheColourListAndPassesTheHostsCodeThrough) {
  connect();
  answerWith("{\"result\":true,\"errorCode\":7}");
  VelmoraLedColor one{12, 255, 0, 0};
  EXPECT_TRUE(VelmoraSetLedsColors(1, &one));
  EXPECT_EQ(VelmoraGetLastError(), 7);
  EXPECT_EQ(methodOf(host_.lastRequest()), "VelmoraSetLedsColors");
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"ledsColors\":\"12,255,0,0\"}");

  answerWith("unreadable");
  EXPECT_FAILS_WITH(VelmoraSetLedsColors(1, &one), false, VelmoraErrorNone);

  const size_t before = sent();
  VelmoraLedColor rejected[][1] = {
      {{12, 256, 0, 0}}, {{12, 0, -1, 0}}, {{500, 0, 0, 0}}, {{-1, 0, 0, 0}}};
  for (auto& list : rejected) {
    EXPECT_FAILS_WITH(VelmoraSetLedsColors(1, list), false, VelmoraErrorBadArgument);
  }
  EXPECT_FAILS_WITH(VelmoraSetLedsColors(0, &one), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraSetLedsColors(3, nullptr), false, VelmoraErrorBadArgument);
  EXPECT_EQ(sent(), before);
  VelmoraLedColor edge{499, 0, 0, 255};
  answerWith("{\"result\":true}");
  EXPECT_TRUE(VelmoraSetLedsColors(1, &edge));
}

TEST_F(ApiCalls, ReadColorsFillsRecordsByPositionOrNotAtAll) {
  connect();
  VelmoraLedColor leds[2] = {{4, 300, -1, 0}, {9, 0, 0, 0}};  // colours not checked on reads
  answerWith("{\"ledsColors\":\"9,1,2,3#4,4,5,6\"}");
  ASSERT_TRUE(VelmoraGetLedsColors(2, leds));
  EXPECT_EQ(VelmoraGetLastError(), VelmoraErrorNone);
  EXPECT_EQ(paramsOf(host_.lastRequest()), "{\"ledsColors\":\"4,300,-1,0#9,0,0,0\"}");
  EXPECT_EQ(leds[0].ledId, 4);  // ids untouched, colours by position
  EXPECT_EQ(leds[0].r, 1);
  EXPECT_EQ(leds[1].b, 6);

  const VelmoraLedColor saved[2] = {leds[0], leds[1]};
  for (const char* bad : {"{\"ledsColors\":\"1,2,3,4#5,6,7,8#9,1,1,1\"}", "{\"ledsColors\":null}",
                          "{}", "null", "junk", "{\"ledsColors\":\"1,2,3,4#5,6,x,8\"}"}) {
    SCOPED_TRACE(bad);
    answerWith(bad);
    EXPECT_FAILS_WITH(VelmoraGetLedsColors(2, leds), false, VelmoraErrorBadArgument);
    EXPECT_EQ(leds[0].r, saved[0].r);
    EXPECT_EQ(leds[1].b, saved[1].b);
  }
  VelmoraLedColor dup[2] = {{4, 0, 0, 0}, {4, 0, 0, 0}};
  EXPECT_FAILS_WITH(VelmoraGetLedsColors(2, dup), false, VelmoraErrorBadArgument);
  EXPECT_FAILS_WITH(VelmoraGetLedsColorsByDeviceIndex(-1, 1, leds), false, VelmoraErrorBadArgument);
  answerWith("{\"ledsColors\":\"4,7,7,7\"}");
  ASSERT_TRUE(VelmoraGetLedsColorsByDeviceIndex(3, 1, leds));
  EXPECT_EQ(methodOf(host_.lastRequest()), "VelmoraGetLedsColorsByDeviceIndex");
  const JsonHandle params = parseJsonText(host_.lastRequest()).get("params");
  EXPECT_EQ(params.get("deviceIndex").asInt(), 3);
  EXPECT_EQ(params.get("ledsColors").asString(), "4,1,2,3");
  EXPECT_EQ(leds[0].g, 7);
}

}  // namespace
}  // namespace test_support
}  // namespace sdk
