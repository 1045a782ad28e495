// rand_s, declared by stdlib.h when asked for before any header includes it.
#define _CRT_RAND_S
#include <stdlib.h>
#include <windows.h>

#include <atomic>
#include <cstdio>

#include "host/platform/terminal.h"

namespace lumhost {
namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI onConsoleEvent(DWORD) {
  g_stop = true;
  // Handled: the main thread shuts the host down in good order.
  return TRUE;
}

}  // namespace

bool stdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool prepareTerminal() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(out, &mode)) return false;
  SetConsoleOutputCP(CP_UTF8);
  return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

bool terminalSize(int* columns, int* rows) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return false;
  *columns = info.srWindow.Right - info.srWindow.Left + 1;
  *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
  return *columns > 0 && *rows > 0;
}

void installStopHandlers() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }

bool stopRequested() { return g_stop; }

std::string wallClockText() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond,
                now.wMilliseconds);
  return buffer;
}

bool secureRandomBytes(void* data, size_t size) {
  // rand_s draws from the system's cryptographic generator (RtlGenRandom).
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) return false;
    for (int i = 0; i < 4 && size > 0; ++i, --size)
      *bytes++ = static_cast<unsigned char>(value >> (8 * i));
  }
  return true;
}

// Handles have no per-process limit that a few hundred pipes could reach.
long ensureDescriptorRoom(long) { return 0; }

}  // namespace lumhost
