#include <sched.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "bench_process.h"

namespace bench {

bool RunSelf(const std::string& args, std::string* output) {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return false;
  path[n] = '\0';
  std::string command = "'";
  for (const char* p = path; *p != '\0'; ++p)
    command += *p == '\'' ? std::string("'\\''") : std::string(1, *p);
  command += "' " + args;
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  char buffer[4096];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, child)) > 0) output->append(buffer, got);
  const int status = pclose(child);
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

int PinToOneCpu() {
  const int cpu = sched_getcpu();
  if (cpu < 0) return -1;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0 ? cpu : -1;
}

bool UnderWine() { return false; }

double ProcessCpuUs() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return 1e6 * static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

double ThreadCpuUs() {
  timespec t{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return 1e6 * static_cast<double>(t.tv_sec) + 1e-3 * static_cast<double>(t.tv_nsec);
}

namespace {

// A "Name:  123 kB" line of /proc/self/status (Linux only; 0 elsewhere).
long StatusKb(const char* name) {
  FILE* f = fopen("/proc/self/status", "r");
  if (f == nullptr) return 0;
  char line[256];
  long kb = 0;
  const size_t n = strlen(name);
  while (fgets(line, sizeof line, f) != nullptr) {
    if (strncmp(line, name, n) == 0 && line[n] == ':') {
      kb = strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  fclose(f);
  return kb;
}

}  // namespace

long ResidentKb() { return StatusKb("VmRSS"); }
long PeakResidentKb() { return StatusKb("VmHWM"); }

bool ThreadSwitches(long* voluntary, long* involuntary) {
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return false;
  *voluntary = usage.ru_nvcsw;
  *involuntary = usage.ru_nivcsw;
  return true;
}

}  // namespace bench
