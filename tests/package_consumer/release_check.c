/* What an SDK user's first program does, built against a release package
 * alone: handshake, devices, one colour set and read back, and an
 * asynchronous set with its callback. Exits 0 when all of it worked.
 *
 * Built twice: natively against the Linux archive (with pkg-config), and for
 * the MSVC ABI against the zip's import library, with no C runtime of its
 * own: then only system DLLs are declared and called. */
#include "LUMSDK.h"

#if defined(_MSC_VER)
__declspec(dllimport) int printf(const char *format, ...);
__declspec(dllimport) void Sleep(unsigned long ms);
__declspec(dllimport) void ExitProcess(unsigned int code);
static void sleepMs(int ms) { Sleep((unsigned long)ms); }
#else
#include <stdio.h>
#include <time.h>
static void sleepMs(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
#endif

static volatile int g_callbacks = 0;
static volatile int g_callbackResult = 0;

static void VELMORA_CALL onDone(void *context, bool result, VelmoraError error) {
  (void)context;
  g_callbackResult = result && error == VelmoraErrorNone;
  ++g_callbacks;
}

static int check(void) {
  VelmoraProtocolDetails details = VelmoraPerformProtocolHandshake();
  if (VelmoraGetLastError() != VelmoraErrorNone) {
    printf("handshake failed (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  printf("library %s, host %s (protocol %d)\n", details.sdkVersion, details.serverVersion,
         details.serverProtocolVersion);
  const int count = VelmoraGetDeviceCount();
  if (count <= 0) {
    printf("no devices (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    const VelmoraDeviceInfo *info = VelmoraGetDeviceInfo(i);
    if (info == NULL) return 1;
    printf("device %d: %s, %d LEDs\n", i, info->model, info->ledsCount);
  }
  const int led = VelmoraGetLedIdForKeyName('A');
  VelmoraLedColor set = {led, 12, 34, 56};
  VelmoraLedColor read = {led, 0, 0, 0};
  if (led == 0 || !VelmoraSetLedsColors(1, &set) || !VelmoraGetLedsColors(1, &read) ||
      read.r != 12 || read.g != 34 || read.b != 56) {
    printf("set and read back failed (error %d)\n", (int)VelmoraGetLastError());
    return 1;
  }
  set.r = 200;
  if (!VelmoraSetLedsColorsAsync(1, &set, onDone, NULL)) return 1;
  for (int waited = 0; g_callbacks == 0 && waited < 5000; waited += 10) sleepMs(10);
  if (g_callbacks != 1 || !g_callbackResult) {
    printf("asynchronous set: %d callbacks, result %d\n", g_callbacks, g_callbackResult);
    return 1;
  }
  printf("release check: all calls worked\n");
  return 0;
}

#if defined(_MSC_VER)
void entry(void) { ExitProcess((unsigned int)check()); }
#else
int main(void) { return check(); }
#endif
