/* Keeps its lighting and its key presses across a host restart by
 * reconnecting by hand: a handshake, then everything the old connection
 * carried set up again (the key-press callback, layer priority, control and
 * colours).
 * Usage: reconnect [seconds] [presses]
 * Ends after the seconds (default 30), or earlier once it has seen that many
 * key presses after a reconnect.
 *
 * The rule it follows: after a call fails with error 1, a handshake opens a
 * new connection, which knows no callbacks; register them again then, and
 * only then (registered twice over one connection, a callback runs twice per
 * press). */
#include <stdio.h>
#include <stdlib.h>

#include "LUMSDK.h"
#include "sleep_ms.h"

static volatile int g_presses = 0;

static void VELMORA_CALL onKey(void *context, int vendorKey, bool pressed) {
  (void)context;
  if (!pressed) return;
  ++g_presses;
  printf("key %d pressed\n", vendorKey);
  fflush(stdout);
}

/* Sets every distinct LED of every device to one colour. */
static int setColours(int r, int g, int b) {
  static VelmoraLedColor colors[500];
  static bool seen[500];
  const VelmoraLedPositions *leds = VelmoraGetLedPositions();
  int n = 0;
  if (leds == NULL) return -1;
  for (int i = 0; i < 500; ++i) seen[i] = false;
  for (int i = 0; i < leds->positionsCount; ++i) {
    const int id = leds->positions[i].ledId;
    if (id < 0 || id >= 500 || seen[id]) continue;
    seen[id] = true;
    VelmoraLedColor c = {id, r, g, b};
    colors[n++] = c;
  }
  if (n > 0 && !VelmoraSetLedsColors(n, colors)) return -1;
  return n;
}

/* A handshake, then everything this application had on its connection.
 * Returns 0 once the host answered the handshake, else its error. */
static int connectAndSetUp(void) {
  VelmoraPerformProtocolHandshake();
  const VelmoraError error = VelmoraGetLastError();
  if (error != VelmoraErrorNone) return (int)error;
  /* A new connection: the callback must be registered on it again. */
  if (!VelmoraRegisterKeypressCallback(onKey, NULL))
    fprintf(stderr, "key presses not available (error %d)\n", (int)VelmoraGetLastError());
  /* Hosts below protocol 4 have no layers; then these are simply refused. */
  VelmoraSetLayerPriority(200);
  VelmoraRequestControl(0);
  const int lit = setColours(0, 128, 255);
  printf("set up: %d LEDs lit\n", lit);
  fflush(stdout);
  return 0;
}

int main(int argc, char **argv) {
  const int totalMs = (int)((argc > 1 ? atof(argv[1]) : 30.0) * 1000);
  const int stopAfterPresses = argc > 2 ? atoi(argv[2]) : 0;
  int reconnects = 0;
  int pressesBefore = 0;
  if (connectAndSetUp() != 0) {
    fprintf(stderr, "no lighting host is running (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  printf("ready: restart the host, then press keys\n");
  fflush(stdout);
  for (int waited = 0; waited < totalMs; waited += 250) {
    sleepMs(250);
    if (stopAfterPresses > 0 && reconnects > 0 && g_presses - pressesBefore >= stopAfterPresses)
      break;
    /* An application that only listens makes no calls: a cheap one now and
     * then is how it learns that the host went away. */
    if (waited % 1000 != 0) continue;
    VelmoraGetDeviceCount();
    if (VelmoraGetLastError() != VelmoraErrorHostUnreachable) continue;
    printf("host lost (error 1): reconnecting\n");
    fflush(stdout);
    while (waited < totalMs && connectAndSetUp() != 0) {
      sleepMs(500); /* no host yet: try again twice a second */
      waited += 500;
    }
    if (waited >= totalMs) break;
    ++reconnects;
    pressesBefore = g_presses;
    printf("reconnected\n");
    fflush(stdout);
  }
  printf("reconnect: %d reconnects, %d presses after the last one\n", reconnects,
         g_presses - pressesBefore);
  return 0;
}
