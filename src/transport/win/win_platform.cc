#include <windows.h>

#include <atomic>

#include "transport/platform.h"

namespace sdk {
namespace platform {
namespace {
std::atomic<bool> g_exiting{false};
std::atomic<bool> g_pinned{false};
}  // namespace

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

}  // namespace platform
}  // namespace sdk
