// The few services of the operating system that the host needs around its
// pipes: the terminal, stop signals, the wall clock, random secrets and the
// descriptor limit. Implemented once per platform (posix_terminal.cc,
// win_terminal.cc).
#ifndef LUMSDK_HOST_PLATFORM_TERMINAL_H_
#define LUMSDK_HOST_PLATFORM_TERMINAL_H_

#include <cstddef>
#include <string>

namespace lumhost {

// True when standard output is a terminal (not a file or a pipe).
bool stdoutIsTerminal();

// Makes the terminal take ANSI escape sequences and UTF-8 text (Windows
// consoles need switching on). False when it cannot.
bool prepareTerminal();

// The size in character cells of the terminal that standard output reaches
// (directly, or through a pipe on POSIX); false when unknown.
bool terminalSize(int* columns, int* rows);

// Ctrl-C, a termination request or the console closing make stopRequested()
// true from then on; the process is not ended by them. A broken pipe on
// standard output no longer kills the process either.
void installStopHandlers();
bool stopRequested();

// Local time of day as "HH:MM:SS.mmm".
std::string wallClockText();

// Fills data with size bytes from the system's cryptographic random source.
// False when it cannot (nothing else is a fit source for a secret).
bool secureRandomBytes(void* data, size_t size);

// Makes room for at least `wanted` open descriptors (raising the soft limit
// towards the hard one where there is such a limit) and returns how many the
// process may have, or 0 when the system sets no such limit.
long ensureDescriptorRoom(long wanted);

}  // namespace lumhost

#endif  // LUMSDK_HOST_PLATFORM_TERMINAL_H_
