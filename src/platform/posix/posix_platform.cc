#include <time.h>
#include <unistd.h>

#include <cstdlib>

#include "core/hot.h"
#include "core/platform.h"

namespace sdk {
namespace platform {

LUMSDK_HOT int64_t coarseMonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

namespace {
// Read once, at load: the clock's resolution does not change.
const int g_coarseTickMs = [] {
  timespec resolution;
  if (clock_getres(CLOCK_MONOTONIC_COARSE, &resolution) != 0) return 10;
  const int64_t ms =
      static_cast<int64_t>(resolution.tv_sec) * 1000 + (resolution.tv_nsec + 999999) / 1000000;
  return ms < 1 ? 1 : ms > 1000 ? 1000 : static_cast<int>(ms);
}();
}  // namespace

LUMSDK_HOT int coarseClockTickMs() { return g_coarseTickMs; }

unsigned long currentProcessId() { return static_cast<unsigned long>(getpid()); }

// dlclose runs destructors without a loader lock, so threads can be joined
// there and the library may really unload.
void keepLoadedWhileThreadsRun() {}

bool processExiting() { return false; }

void noteProcessExiting() {}

std::wstring environmentText(const char* name) {
  const char* value = std::getenv(name);
  std::wstring wide;
  if (value == nullptr) return wide;
  for (; *value != '\0'; ++value)
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*value)));
  return wide;
}

}  // namespace platform
}  // namespace sdk
