/* Lights the key that is pressed, in white, and turns it off on release.
 * The stand-in host reports keys by their LED id. Usage: key_light [seconds] */
#include <stdio.h>
#include <stdlib.h>

#include "LUMSDK.h"
#include "sleep_ms.h"

static volatile int g_presses = 0;

/* Runs on the library's notification thread; exported calls are allowed. */
static void VELMORA_CALL onKey(void *context, int vendorKey, bool pressed) {
  (void)context;
  VelmoraLedColor color = {vendorKey, pressed ? 255 : 0, pressed ? 255 : 0, pressed ? 255 : 0};
  VelmoraSetLedsColorsAsync(1, &color, NULL, NULL);
  if (pressed) ++g_presses;
  printf("key %d %s\n", vendorKey, pressed ? "pressed" : "released");
  fflush(stdout);
}

int main(int argc, char **argv) {
  const double seconds = argc > 1 ? atof(argv[1]) : 30.0;
  VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running\n");
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
