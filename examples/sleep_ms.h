/* A portable millisecond sleep for the examples. */
#ifndef LUMSDK_EXAMPLES_SLEEP_MS_H_
#define LUMSDK_EXAMPLES_SLEEP_MS_H_

#ifdef _WIN32
#include <windows.h>
static void sleepMs(int ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void sleepMs(int ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
#endif

#endif
