#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/resource.h>
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

bool secureRandomBytes(void* data, size_t size) {
  auto* bytes = static_cast<unsigned char*>(data);
  while (size > 0) {
    ssize_t got = getrandom(bytes, size, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

long ensureDescriptorRoom(long wanted) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
  if (limit.rlim_cur < static_cast<rlim_t>(wanted)) {
    struct rlimit raised = limit;
    raised.rlim_cur =
        limit.rlim_max == RLIM_INFINITY || limit.rlim_max > static_cast<rlim_t>(wanted)
            ? static_cast<rlim_t>(wanted)
            : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<long>(limit.rlim_cur);
}

}  // namespace lumhost
