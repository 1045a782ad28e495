#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

#include "host/platform/terminal.h"

namespace lumhost {
namespace {

volatile sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int) { g_stop = 1; }

}  // namespace

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool prepareTerminal() { return true; }

bool terminalSize(int* columns, int* rows) {
  struct winsize size {};
  bool known = ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
  struct stat out {};
  if (!known && fstat(STDOUT_FILENO, &out) == 0 && S_ISFIFO(out.st_mode)) {
    // Output through a pipe (lumhost --view | tee log) usually ends on the
    // controlling terminal: draw for that one.
    int tty = open("/dev/tty", O_RDONLY | O_CLOEXEC);
    if (tty >= 0) {
      known = ioctl(tty, TIOCGWINSZ, &size) == 0;
      close(tty);
    }
  }
  if (!known || size.ws_col == 0 || size.ws_row == 0) return false;
  *columns = size.ws_col;
  *rows = size.ws_row;
  return true;
}

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

bool stopRequested() { return g_stop != 0; }

std::string wallClockText() {
  struct timeval now {};
  gettimeofday(&now, nullptr);
  struct tm local {};
  time_t seconds = now.tv_sec;
  localtime_r(&seconds, &local);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(now.tv_usec / 1000));
  return buffer;
}

}  // namespace lumhost
