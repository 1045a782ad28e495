// The few operating-system services that the portable code needs outside the
// pipe streams. Implemented once per platform, in win/ and posix/.
#ifndef LUMSDK_CORE_PLATFORM_H_
#define LUMSDK_CORE_PLATFORM_H_

#include <cstdint>
#include <string>

namespace sdk {
namespace platform {

// Milliseconds of a monotonic clock for time-outs, and its tick. Read on
// every exchange, so it is the cheap coarse clock (no fine timer read): it
// may lag the true time by up to one tick, so a deadline that adds one tick
// is never early.
int64_t coarseMonotonicMs();
int coarseClockTickMs();

// The id of this process, as the host knows it.
unsigned long currentProcessId();

// Called before the library starts a thread of its own. On Windows it pins
// the DLL, so that FreeLibrary no longer unloads it: a DLL's static
// destructors run under the loader lock, where joining a thread hangs, so
// once threads exist only process exit ends the library. No-op elsewhere.
void keepLoadedWhileThreadsRun();

// True once the process has started to exit (Windows: the DLL's detach
// notification said so). Other threads may then already have been killed, so
// destructors must neither join threads nor take locks; they leave the memory
// to the system instead. Always false where that cannot happen.
bool processExiting();

// Records the exit notification; called only from the DLL entry point.
void noteProcessExiting();

// The value of an environment variable, widened as the system stores it
// (Windows: UTF-16; elsewhere Latin-1 of the bytes); empty when unset.
std::wstring environmentText(const char* name);

}  // namespace platform
}  // namespace sdk

#endif  // LUMSDK_CORE_PLATFORM_H_
