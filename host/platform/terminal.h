// The few services of the operating system that the host needs around its
// pipes: the terminal, stop signals and the wall clock. Implemented once per
// platform (posix_terminal.cc, win_terminal.cc).
#ifndef LUMSDK_HOST_PLATFORM_TERMINAL_H_
#define LUMSDK_HOST_PLATFORM_TERMINAL_H_

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

}  // namespace lumhost

#endif  // LUMSDK_HOST_PLATFORM_TERMINAL_H_
