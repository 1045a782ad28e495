/* Colours gathered per device in the library's buffer, then sent in one
 * request: device 0 red, every other device blue. */
#include <stdio.h>
#include <stdlib.h>

#include "LUMSDK.h"

int main(void) {
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  if (details.serverProtocolVersion < 5) {
    fprintf(stderr, "the buffer needs a host of protocol 5 or later\n");
    return 1;
  }
  const int devices = VelmoraGetDeviceCount();
  int buffered = 0, refused = 0;
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
    if (VelmoraSetLedsColorsBufferByDeviceIndex(d, n, colors)) {
      buffered += n;
    } else {
      ++refused;
      fprintf(stderr, "device %d: buffer refused (error %d)\n", d, (int)VelmoraGetLastError());
    }
    free(colors);
  }
  if (buffered == 0) {
    fprintf(stderr, "nothing to flush: %d devices, %d refused\n", devices, refused);
    return 1;
  }
  const bool sent = VelmoraSetLedsColorsFlushBuffer();
  printf("buffered: %d LEDs on %d devices (%d refused), flush %s (error %d)\n", buffered, devices,
         refused, sent ? "accepted" : "refused", (int)VelmoraGetLastError());
  return sent && refused == 0 ? 0 : 1;
}
