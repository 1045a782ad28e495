/* Lights the key that is pressed, in white, and turns it off on release.
 * Usage: key_light [seconds]
 *
 * Key presses arrive with the host's own key id ("vendorKey"), which the
 * library passes through without meaning. The stand-in host sends the key's
 * LED id unless its profile gives the key a vendorKey of its own, so this
 * example lights the LED of that id when the host has one, and flashes every
 * LED for a key id that names no LED. */
#include <stdio.h>
#include <stdlib.h>

#include "LUMSDK.h"
#include "sleep_ms.h"

static volatile int g_presses = 0;
static const VelmoraLedPositions *g_leds = NULL;

static bool isLed(int id) {
  for (int i = 0; i < g_leds->positionsCount; ++i)
    if (g_leds->positions[i].ledId == id) return true;
  return false;
}

/* Sets one LED, or every distinct LED when id is 0. */
static void light(int id, int level) {
  static VelmoraLedColor colors[500];
  static bool seen[500];
  int n = 0;
  for (int i = 0; i < 500; ++i) seen[i] = false;
  for (int i = 0; i < g_leds->positionsCount; ++i) {
    const int led = g_leds->positions[i].ledId;
    if ((id != 0 && led != id) || led < 0 || led >= 500 || seen[led]) continue;
    seen[led] = true;
    VelmoraLedColor c = {led, level, level, level};
    colors[n++] = c;
  }
  if (n > 0 && !VelmoraSetLedsColorsAsync(n, colors, NULL, NULL))
    fprintf(stderr, "update refused (error %d)\n", (int)VelmoraGetLastError());
}

/* Runs on the library's notification thread; exported calls are allowed. */
static void VELMORA_CALL onKey(void *context, int vendorKey, bool pressed) {
  (void)context;
  light(isLed(vendorKey) ? vendorKey : 0, pressed ? 255 : 0);
  if (pressed) ++g_presses;
  printf("key %d %s%s\n", vendorKey, pressed ? "pressed" : "released",
         isLed(vendorKey) ? "" : " (no LED of that id: all LEDs)");
  fflush(stdout);
}

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 30.0;
  VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  g_leds = VelmoraGetLedPositions();
  if (g_leds == NULL) {
    fprintf(stderr, "no LED positions (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  /* Above other applications' effects, so lit keys stay visible. Hosts
   * below protocol 4 have no layers: then it is simply not done. */
  VelmoraSetLayerPriority(255);
  if (!VelmoraRegisterKeypressCallback(onKey, NULL)) {
    fprintf(stderr, "key presses not available (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  printf("ready: press keys on the host\n");
  fflush(stdout);
  for (int waited = 0; waited < (int)(seconds * 1000); waited += 50) sleepMs(50);
  printf("key_light: %d presses\n", g_presses);
  return 0;
}
