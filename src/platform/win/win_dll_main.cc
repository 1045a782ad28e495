// Entry point of the DLL. It only switches off thread notifications and
// notes process exit for the static destructors that follow it.
#include <windows.h>

#include "core/platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // Fails for every DLL with a TLS directory (all MinGW DLLs do); the
      // thread notifications then arrive and are ignored below.
      DisableThreadLibraryCalls(instance);
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved pointer means the process is exiting, not
      // FreeLibrary: other threads are already gone. The runtime calls this
      // before the static destructors run.
      if (reserved != nullptr) sdk::platform::noteProcessExiting();
      break;
    default:
      break;
  }
  return TRUE;
}
