/* Colours gathered per device in the library's buffer, then sent in one
 * request: device 0 red, every other device blue. */
#include <stdio.h>
#include <stdlib.h>

#include "LUMSDK.h"

int main(void) {
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running\n");
    return 1;
  }
  if (details.serverProtocolVersion < 5) {
    fprintf(stderr, "the buffer needs a host of protocol 5 or later\n");
    return 1;
  }
  const int devices = VelmoraGetDeviceCount();
  int buffered = 0;
  for (int d = 0; d < devices; ++d) {
    const VelmoraLedPositions *positions = VelmoraGetLedPositionsByDeviceIndex(d);
    if (positions == NULL || positions->positionsCount == 0) continue;
    const int n = positions->positionsCount;
    VelmoraLedColor *colors = malloc(sizeof(VelmoraLedColor) * (size_t)n);
    if (colors == NULL) return 1;
    for (int i = 0; i < n; ++i) {
      colors[i].ledId = positions->positions[i].ledId;
      colors[i].r = d == 0 ? 255 : 0;
      colors[i].g = 0;
      colors[i].b = d == 0 ? 0 : 255;
    }
    /* Nothing is sent yet. */
    if (VelmoraSetLedsColorsBufferByDeviceIndex(d, n, colors)) buffered += n;
    free(colors);
  }
  const bool sent = VelmoraSetLedsColorsFlushBuffer();
  printf("buffered: %d LEDs on %d devices, flush %s (error %d)\n", buffered, devices,
         sent ? "accepted" : "refused", (int)VelmoraGetLastError());
  return sent ? 0 : 1;
}
