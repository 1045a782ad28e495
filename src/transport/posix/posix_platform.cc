#include <unistd.h>

#include "transport/platform.h"

namespace sdk {
namespace platform {

unsigned long currentProcessId() { return static_cast<unsigned long>(getpid()); }

// dlclose runs destructors without a loader lock, so threads can be joined
// there and the library may really unload.
void keepLoadedWhileThreadsRun() {}

bool processExiting() { return false; }

void noteProcessExiting() {}

}  // namespace platform
}  // namespace sdk
