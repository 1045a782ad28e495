/* Prints the size of every public record and the offset of every field, as
 * this C compiler lays them out, for the .NET binding's layout test. */
#include <stddef.h>
#include <stdio.h>

#include "LUMSDK.h"

#define SIZE(type) printf("%s size %zu\n", #type, sizeof(type))
#define FIELD(type, field) printf("%s.%s offset %zu\n", #type, #field, offsetof(type, field))

int main(void) {
  SIZE(VelmoraProtocolDetails);
  FIELD(VelmoraProtocolDetails, sdkVersion);
  FIELD(VelmoraProtocolDetails, serverVersion);
  FIELD(VelmoraProtocolDetails, sdkProtocolVersion);
  FIELD(VelmoraProtocolDetails, serverProtocolVersion);
  FIELD(VelmoraProtocolDetails, breakingChanges);
  SIZE(VelmoraChannelDeviceInfo);
  FIELD(VelmoraChannelDeviceInfo, type);
  FIELD(VelmoraChannelDeviceInfo, deviceLedCount);
  SIZE(VelmoraChannelInfo);
  FIELD(VelmoraChannelInfo, totalLedsCount);
  FIELD(VelmoraChannelInfo, devicesCount);
  FIELD(VelmoraChannelInfo, devices);
  SIZE(VelmoraChannelsInfo);
  FIELD(VelmoraChannelsInfo, channelsCount);
  FIELD(VelmoraChannelsInfo, channels);
  SIZE(VelmoraDeviceInfo);
  FIELD(VelmoraDeviceInfo, type);
  FIELD(VelmoraDeviceInfo, model);
  FIELD(VelmoraDeviceInfo, physicalLayout);
  FIELD(VelmoraDeviceInfo, logicalLayout);
  FIELD(VelmoraDeviceInfo, capsMask);
  FIELD(VelmoraDeviceInfo, ledsCount);
  FIELD(VelmoraDeviceInfo, channels);
  SIZE(VelmoraLedPosition);
  FIELD(VelmoraLedPosition, ledId);
  FIELD(VelmoraLedPosition, top);
  FIELD(VelmoraLedPosition, left);
  FIELD(VelmoraLedPosition, height);
  FIELD(VelmoraLedPosition, width);
  SIZE(VelmoraLedPositions);
  FIELD(VelmoraLedPositions, positionsCount);
  FIELD(VelmoraLedPositions, positions);
  SIZE(VelmoraLedColor);
  FIELD(VelmoraLedColor, ledId);
  FIELD(VelmoraLedColor, r);
  FIELD(VelmoraLedColor, g);
  FIELD(VelmoraLedColor, b);
  return 0;
}
