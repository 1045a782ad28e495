// The public records are shared with callers compiled by other compilers:
// their x64 layout must never change.
#include <gtest/gtest.h>

#include <cstddef>
#include <type_traits>

#include "LUMSDK.h"

#define EXPECT_FIELD(type, field, offset) static_assert(offsetof(type, field) == offset, #field)

static_assert(sizeof(int) == 4 && sizeof(void*) == 8 && sizeof(bool) == 1, "x64 model");
static_assert(sizeof(VelmoraError) == sizeof(int), "VelmoraError is int-sized");

static_assert(sizeof(VelmoraProtocolDetails) == 32, "VelmoraProtocolDetails");
EXPECT_FIELD(VelmoraProtocolDetails, sdkVersion, 0);
EXPECT_FIELD(VelmoraProtocolDetails, serverVersion, 8);
EXPECT_FIELD(VelmoraProtocolDetails, sdkProtocolVersion, 16);
EXPECT_FIELD(VelmoraProtocolDetails, serverProtocolVersion, 20);
EXPECT_FIELD(VelmoraProtocolDetails, breakingChanges, 24);

static_assert(sizeof(VelmoraDeviceInfo) == 48, "VelmoraDeviceInfo");
EXPECT_FIELD(VelmoraDeviceInfo, type, 0);
EXPECT_FIELD(VelmoraDeviceInfo, model, 8);
EXPECT_FIELD(VelmoraDeviceInfo, physicalLayout, 16);
EXPECT_FIELD(VelmoraDeviceInfo, logicalLayout, 20);
EXPECT_FIELD(VelmoraDeviceInfo, capsMask, 24);
EXPECT_FIELD(VelmoraDeviceInfo, ledsCount, 28);
EXPECT_FIELD(VelmoraDeviceInfo, channels, 32);

static_assert(sizeof(VelmoraChannelsInfo) == 16, "VelmoraChannelsInfo");
EXPECT_FIELD(VelmoraChannelsInfo, channelsCount, 0);
EXPECT_FIELD(VelmoraChannelsInfo, channels, 8);

static_assert(sizeof(VelmoraChannelInfo) == 16, "VelmoraChannelInfo");
EXPECT_FIELD(VelmoraChannelInfo, totalLedsCount, 0);
EXPECT_FIELD(VelmoraChannelInfo, devicesCount, 4);
EXPECT_FIELD(VelmoraChannelInfo, devices, 8);

static_assert(sizeof(VelmoraChannelDeviceInfo) == 8, "VelmoraChannelDeviceInfo");
EXPECT_FIELD(VelmoraChannelDeviceInfo, type, 0);
EXPECT_FIELD(VelmoraChannelDeviceInfo, deviceLedCount, 4);

static_assert(sizeof(VelmoraLedPositions) == 16, "VelmoraLedPositions");
EXPECT_FIELD(VelmoraLedPositions, positionsCount, 0);
EXPECT_FIELD(VelmoraLedPositions, positions, 8);

static_assert(sizeof(VelmoraLedPosition) == 40, "VelmoraLedPosition");
EXPECT_FIELD(VelmoraLedPosition, ledId, 0);
EXPECT_FIELD(VelmoraLedPosition, top, 8);
EXPECT_FIELD(VelmoraLedPosition, left, 16);
EXPECT_FIELD(VelmoraLedPosition, height, 24);
EXPECT_FIELD(VelmoraLedPosition, width, 32);

static_assert(sizeof(VelmoraLedColor) == 16, "VelmoraLedColor");
EXPECT_FIELD(VelmoraLedColor, ledId, 0);
EXPECT_FIELD(VelmoraLedColor, r, 4);
EXPECT_FIELD(VelmoraLedColor, g, 8);
EXPECT_FIELD(VelmoraLedColor, b, 12);

TEST(RecordLayout, ErrorCodesHaveTheirValues) {
  EXPECT_EQ(VelmoraErrorNone, 0);
  EXPECT_EQ(VelmoraErrorHostUnreachable, 1);
  EXPECT_EQ(VelmoraErrorReserved, 2);
  EXPECT_EQ(VelmoraErrorHandshakeRequired, 3);
  EXPECT_EQ(VelmoraErrorProtocolMismatch, 4);
  EXPECT_EQ(VelmoraErrorBadArgument, 5);
  EXPECT_TRUE(std::is_trivially_copyable<VelmoraProtocolDetails>::value);
}
