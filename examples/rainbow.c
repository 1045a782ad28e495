/* A rainbow wave across every LED, from left to right, at 60 updates a
 * second with the asynchronous call. Usage: rainbow [seconds] */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "LUMSDK.h"
#include "sleep_ms.h"

static void hueToRgb(double hue, VelmoraLedColor *color) {
  const double r = 0.5 + 0.5 * sin(hue);
  const double g = 0.5 + 0.5 * sin(hue + 2.094);
  const double b = 0.5 + 0.5 * sin(hue + 4.189);
  color->r = (int)(r * 255.0);
  color->g = (int)(g * 255.0);
  color->b = (int)(b * 255.0);
}

/* Counts failed updates; runs on a worker thread of the library. */
static volatile int g_failures = 0;
static void VELMORA_CALL onDone(void *context, bool result, VelmoraError error) {
  (void)context;
  (void)error;
  if (!result) ++g_failures;
}

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 10.0;
  VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running\n");
    return 1;
  }
  const VelmoraLedPositions *positions = VelmoraGetLedPositions();
  if (positions == NULL || positions->positionsCount == 0) {
    fprintf(stderr, "the host reports no LEDs\n");
    return 1;
  }
  const int n = positions->positionsCount;
  double minX = 1e9, maxX = -1e9;
  for (int i = 0; i < n; ++i) {
    const double x = positions->positions[i].left + positions->positions[i].width / 2;
    if (x < minX) minX = x;
    if (x > maxX) maxX = x;
  }
  VelmoraLedColor *colors = malloc(sizeof(VelmoraLedColor) * (size_t)n);
  if (colors == NULL) return 1;

  const int frames = (int)(seconds * 60.0);
  for (int frame = 0; frame < frames; ++frame) {
    for (int i = 0; i < n; ++i) {
      const VelmoraLedPosition *led = &positions->positions[i];
      const double x = (led->left + led->width / 2 - minX) / (maxX - minX + 1.0);
      colors[i].ledId = led->ledId;
      hueToRgb(6.2832 * (x - frame / 120.0), &colors[i]);
    }
    /* Returns at once; the library sends the latest colours every 10 ms. */
    if (!VelmoraSetLedsColorsAsync(n, colors, onDone, NULL)) {
      fprintf(stderr, "update refused (error %d)\n", (int)VelmoraGetLastError());
      break;
    }
    sleepMs(16);
  }
  sleepMs(100); /* let the last update reach the host */
  free(colors);
  printf("rainbow: %d frames on %d LEDs, %d failed updates\n", frames, n, g_failures);
  return g_failures == 0 ? 0 : 1;
}
