/* Lists the host's devices with their channels and LED positions. */
#include <stdio.h>

#include "LUMSDK.h"

int main(void) {
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  printf("library %s (protocol %d), host %s (protocol %d)\n", details.sdkVersion,
         details.sdkProtocolVersion, details.serverVersion, details.serverProtocolVersion);

  int count = VelmoraGetDeviceCount();
  if (count < 0) {
    fprintf(stderr, "device count failed (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    /* Records belong to the library: never free them. */
    const VelmoraDeviceInfo *info = VelmoraGetDeviceInfo(i);
    if (info == NULL) {
      fprintf(stderr, "device %d: no description (error %d)\n", i, (int)VelmoraGetLastError());
      ++failures;
      continue;
    }
    printf("device %d: %s, type %d, %d LEDs\n", i, info->model, info->type, info->ledsCount);
    for (int c = 0; c < info->channels.channelsCount; ++c) {
      const VelmoraChannelInfo *channel = &info->channels.channels[c];
      printf("  channel %d: %d LEDs on %d devices\n", c, channel->totalLedsCount,
             channel->devicesCount);
      for (int d = 0; d < channel->devicesCount; ++d) {
        printf("    type %d with %d LEDs\n", channel->devices[d].type,
               channel->devices[d].deviceLedCount);
      }
    }
    /* Per-device positions need a host of protocol 3 or later. */
    const VelmoraLedPositions *positions = VelmoraGetLedPositionsByDeviceIndex(i);
    if (positions == NULL) {
      if (VelmoraGetLastError() != VelmoraErrorProtocolMismatch) ++failures;
      continue;
    }
    for (int p = 0; p < positions->positionsCount && p < 3; ++p) {
      const VelmoraLedPosition *led = &positions->positions[p];
      printf("    LED %d at (%.0f, %.0f), %.0f x %.0f\n", led->ledId, led->left, led->top,
             led->width, led->height);
    }
    if (positions->positionsCount > 3)
      printf("    ... %d LEDs in all\n", positions->positionsCount);
  }
  return failures == 0 ? 0 : 1;
}
