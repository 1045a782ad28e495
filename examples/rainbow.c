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

/* Counted on the library's worker thread, read by main at the end. */
static volatile int g_done = 0;
static volatile int g_failures = 0;
static void VELMORA_CALL onDone(void *context, bool result, VelmoraError error) {
  (void)context;
  (void)error;
  if (!result) ++g_failures;
  ++g_done;
}

/* Keeps the first position of each LED id: the same id may sit on several
 * devices, and a colour list that names an id twice is refused. */
static int uniqueLeds(const VelmoraLedPositions *positions, VelmoraLedPosition *out) {
  static bool seen[500];
  int n = 0;
  for (int i = 0; i < positions->positionsCount; ++i) {
    const VelmoraLedPosition *led = &positions->positions[i];
    if (led->ledId < 0 || led->ledId >= 500 || seen[led->ledId]) continue;
    seen[led->ledId] = true;
    out[n++] = *led;
  }
  return n;
}

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 10.0;
  VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  const VelmoraLedPositions *positions = VelmoraGetLedPositions();
  if (positions == NULL || positions->positionsCount == 0) {
    fprintf(stderr, "the host reports no LEDs\n");
    return 1;
  }
  VelmoraLedPosition *leds = malloc(sizeof(VelmoraLedPosition) * (size_t)positions->positionsCount);
  VelmoraLedColor *colors = malloc(sizeof(VelmoraLedColor) * (size_t)positions->positionsCount);
  if (leds == NULL || colors == NULL) return 1;
  const int n = uniqueLeds(positions, leds);
  double minX = 1e9, maxX = -1e9;
  for (int i = 0; i < n; ++i) {
    const double x = leds[i].left + leds[i].width / 2;
    if (x < minX) minX = x;
    if (x > maxX) maxX = x;
  }

  const int frames = (int)(seconds * 60.0);
  int sent = 0, refused = 0;
  for (int frame = 0; frame < frames; ++frame) {
    for (int i = 0; i < n; ++i) {
      const double x = (leds[i].left + leds[i].width / 2 - minX) / (maxX - minX + 1.0);
      colors[i].ledId = leds[i].ledId;
      hueToRgb(6.2832 * (x - frame / 120.0), &colors[i]);
    }
    /* Returns at once; the library sends the latest colours every 10 ms. */
    if (VelmoraSetLedsColorsAsync(n, colors, onDone, NULL)) {
      ++sent;
    } else if (refused++ == 0) {
      fprintf(stderr, "update refused (error %d)\n", (int)VelmoraGetLastError());
    }
    sleepMs(16);
  }
  /* Every accepted update is answered exactly once; wait for the last ones. */
  for (int waited = 0; g_done < sent && waited < 2000; waited += 10) sleepMs(10);
  free(colors);
  free(leds);
  const int failed = refused + g_failures + (sent - g_done);
  printf("rainbow: %d frames on %d LEDs, %d failed updates\n", frames, n, failed);
  return failed < frames ? 0 : 1;
}
