#include <sched.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

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

bool ThreadSwitches(long* voluntary, long* involuntary) {
  struct rusage usage;
  if (getrusage(RUSAGE_THREAD, &usage) != 0) return false;
  *voluntary = usage.ru_nvcsw;
  *involuntary = usage.ru_nivcsw;
  return true;
}

}  // namespace bench
