/* A client for the tests of lumhost's web page, using only the public header
 * and the built library.
 *   host_web_client keys LED R G B
 *     registers for key presses, sets the LED of that id to R G B, prints
 *     "ready", then a line "key N pressed" or "key N released" for each key
 *     press, until standard input ends.
 *   host_web_client flood RATE SECONDS
 *     sets the colour of LED 1 RATE times a second, for SECONDS, prints
 *     "flood: N updates, last R G B", and stays (its colour with it) until
 *     standard input ends.
 *   host_web_client handshake
 *     prints "connected" once the handshake has succeeded, and ends. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "LUMSDK.h"

static void VELMORA_CALL onKey(void *context, int vendorKey, bool pressed) {
  (void)context;
  printf("key %d %s\n", vendorKey, pressed ? "pressed" : "released");
  fflush(stdout);
}

static double now(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void waitForEndOfInput(void) {
  char line[64];
  while (fgets(line, sizeof line, stdin) != NULL) {
  }
}

static int keys(int led, int r, int g, int b) {
  if (!VelmoraRegisterKeypressCallback(onKey, NULL)) {
    fprintf(stderr, "registering failed (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  VelmoraLedColor color = {led, r, g, b};
  if (!VelmoraSetLedsColors(1, &color)) {
    fprintf(stderr, "setting the colour failed (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  printf("ready\n");
  fflush(stdout);
  waitForEndOfInput();
  return 0;
}

static int flood(double rate, double seconds) {
  const double start = now();
  VelmoraLedColor color = {1, 0, 0, 0};
  long updates = 0;
  for (;;) {
    const double due = start + (double)updates / rate;
    double t = now();
    if (t - start >= seconds) break;
    if (t < due) {
      struct timespec pause = {0, (long)((due - t) * 1e9)};
      nanosleep(&pause, NULL);
    }
    color.r = (int)(updates % 256);
    color.g = (int)((updates / 256) % 256);
    color.b = 255 - color.r;
    if (!VelmoraSetLedsColors(1, &color)) {
      fprintf(stderr, "update refused (error %d)\n", (int)VelmoraGetLastError());
      return 1;
    }
    ++updates;
  }
  printf("flood: %ld updates, last %d %d %d\n", updates, color.r, color.g, color.b);
  fflush(stdout);
  waitForEndOfInput();
  return 0;
}

int main(int argc, char **argv) {
  VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    fprintf(stderr, "no lighting host is running (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  if (argc == 2 && strcmp(argv[1], "handshake") == 0) {
    printf("connected\n");
    return 0;
  }
  if (argc == 6 && strcmp(argv[1], "keys") == 0) {
    return keys(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
  }
  if (argc == 4 && strcmp(argv[1], "flood") == 0) return flood(atof(argv[2]), atof(argv[3]));
  fprintf(stderr, "usage: host_web_client handshake | keys LED R G B | flood RATE SECONDS\n");
  return 2;
}
