#include <unistd.h>

#include <cstdlib>

#include "core/platform.h"

namespace sdk {
namespace platform {

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
