#include <windows.h>

#include <atomic>
#include <string>

#include "core/hot.h"
#include "core/platform.h"

namespace sdk {
namespace platform {
namespace {
std::atomic<bool> g_exiting{false};
std::atomic<bool> g_pinned{false};
}  // namespace

// The tick count moves with the system timer, every 15.6 ms by default.
LUMSDK_HOT int64_t coarseMonotonicMs() { return static_cast<int64_t>(GetTickCount64()); }
LUMSDK_HOT int coarseClockTickMs() { return 16; }

unsigned long currentProcessId() { return GetCurrentProcessId(); }

void keepLoadedWhileThreadsRun() {
  if (g_pinned.exchange(true)) return;
  HMODULE self = nullptr;
  // Any address inside this module names it.
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&g_pinned), &self);
}

bool processExiting() { return g_exiting.load(); }

void noteProcessExiting() { g_exiting.store(true); }

std::wstring environmentText(const char* name) {
  std::wstring wideName(name, name + std::char_traits<char>::length(name));
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring value(size, L'\0');
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), &value[0], size);
  value.resize(length < size ? length : 0);
  return value;
}

}  // namespace platform
}  // namespace sdk
