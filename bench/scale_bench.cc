// lumhost at scale: CLIENTS client processes (one library session each)
// set all 214 LEDs of the desk RATE times per second for SECONDS against one
// running lumhost (the pipes of LUMSDK_PIPE_BASE), while this process reads
// the host's CPU time from /proc/HOST_PID/stat and fetches the host's page
// state (GET /api/state on 127.0.0.1:HTTP_PORT with the bearer TOKEN) every
// 2 s, to show that the page stays live under the load. Prints "key=value"
// lines (lines starting with '#' say what was measured) for
// scripts/perf-report.sh. POSIX only (fork). Usage:
//   scale_bench CLIENTS RATE SECONDS HOST_PID HTTP_PORT TOKEN
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "LUMSDK.h"
#include "bench_stats.h"
#include "desk_answers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kFetchEverySeconds = 2;
constexpr double kKeptShare = 0.99;  // a client kept the rate: at least this share of its frames

using bench::Micros;
using bench::Quantile;

void Figure(const char* key, double value) { std::printf("%s=%.3f\n", key, value); }

// utime + stime of a process, in clock ticks (-1 when it cannot be read).
long long HostTicks(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char line[4096];
  const bool got = std::fgets(line, sizeof line, f) != nullptr;
  std::fclose(f);
  // The name in parentheses may hold spaces: fields count from the last ')'.
  const char* p = got ? std::strrchr(line, ')') : nullptr;
  if (p == nullptr) return -1;
  long long utime = 0, stime = 0;
  // Fields 3 to 13 are skipped; 14 and 15 are utime and stime.
  if (std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &utime, &stime) !=
      2) {
    return -1;
  }
  return utime + stime;
}

long HostResidentKb(int pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return 0;
  char line[256];
  long kb = 0;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, "VmRSS:", 6) == 0) kb = std::strtol(line + 6, nullptr, 10);
  }
  std::fclose(f);
  return kb;
}

// One GET of /api/state; its time in ms, or -1 when it failed or was not 200.
double FetchStateMs(int port, const std::string& token) {
  const Clock::time_point start = Clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  timeval timeout{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    const std::string request =
        "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
        "\r\nAuthorization: Bearer " + token + "\r\nConnection: close\r\n\r\n";
    if (send(fd, request.data(), request.size(), 0) == static_cast<ssize_t>(request.size())) {
      char buffer[16384];
      ssize_t got = 0;
      while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, got);
    }
  }
  close(fd);
  const bool ok =
      reply.compare(0, 12, "HTTP/1.1 200") == 0 && reply.find("\"devices\"") != std::string::npos;
  return ok ? Micros(Clock::now() - start) / 1000 : -1;
}

// One client process: the handshake, then frames from start until end.
// Writes "frames late" and then one call time in us per line to path.
int RunClient(double rate, Clock::time_point start, Clock::time_point end, const char* path) {
  const Clock::time_point wait = Clock::now() + std::chrono::seconds(20);
  VelmoraPerformProtocolHandshake();
  while (VelmoraGetLastError() != VelmoraErrorNone && Clock::now() < wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    VelmoraPerformProtocolHandshake();
  }
  if (VelmoraGetLastError() != VelmoraErrorNone) return 1;
  std::vector<VelmoraLedColor> colors = bench::DeskColors(bench::DeskLedIds(-1));
  std::vector<double> times;
  times.reserve(static_cast<size_t>(rate * 70 * 60));
  std::this_thread::sleep_until(start);
  const auto period =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate));
  Clock::time_point next = start;
  long late = 0;
  for (uint32_t n = 0; Clock::now() < end; ++n) {
    colors[n % colors.size()].b = static_cast<int>(n & 0xFF);
    const Clock::time_point before = Clock::now();
    if (!VelmoraSetLedsColors(static_cast<int>(colors.size()), colors.data())) return 1;
    const Clock::time_point after = Clock::now();
    times.push_back(Micros(after - before));
    next += period;
    if (after > next) ++late;  // this frame's call ran into the next frame's time
    std::this_thread::sleep_until(next);
  }
  FILE* f = std::fopen(path, "w");
  if (f == nullptr) return 1;
  std::fprintf(f, "%zu %ld\n", times.size(), late);
  for (double t : times) std::fprintf(f, "%.2f\n", t);
  return std::fclose(f) == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr, "usage: scale_bench CLIENTS RATE SECONDS HOST_PID HTTP_PORT TOKEN\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 7) return Usage();
  const int clients = std::atoi(argv[1]);
  const double rate = std::atof(argv[2]);
  const double seconds = std::atof(argv[3]);
  const int hostPid = std::atoi(argv[4]);
  const int port = std::atoi(argv[5]);
  const std::string token = argv[6];
  if (clients < 1 || rate <= 0 || seconds <= 0 || hostPid <= 0 || port <= 0) return Usage();
  if (HostTicks(hostPid) < 0) {
    std::printf("cannot read /proc/%d/stat\n", hostPid);
    return 1;
  }
  char dir[] = "/tmp/scale_bench.XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;

  // Every client starts its first frame at the same moment, after time for
  // all handshakes (steady_clock is the system's monotonic clock, common to
  // the processes).
  const Clock::time_point start = Clock::now() + std::chrono::seconds(2);
  const Clock::time_point end =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<pid_t> children;
  for (int c = 0; c < clients; ++c) {
    const std::string path = std::string(dir) + "/client" + std::to_string(c);
    const pid_t pid = fork();
    if (pid == 0) _exit(RunClient(rate, start, end, path.c_str()));
    if (pid < 0) {
      std::printf("fork failed\n");
      return 1;
    }
    children.push_back(pid);
  }

  std::this_thread::sleep_until(start);
  const long long ticksBefore = HostTicks(hostPid);
  std::vector<double> fetches;
  int fetchFailures = 0;
  for (Clock::time_point fetch = start + std::chrono::seconds(1); fetch < end;
       fetch += std::chrono::duration_cast<Clock::duration>(
           std::chrono::duration<double>(kFetchEverySeconds))) {
    std::this_thread::sleep_until(fetch);
    const double ms = FetchStateMs(port, token);
    if (ms < 0) {
      ++fetchFailures;
    } else {
      fetches.push_back(ms);
    }
  }
  std::this_thread::sleep_until(end);
  const long long ticksAfter = HostTicks(hostPid);
  const double wallSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long hostRss = HostResidentKb(hostPid);

  int failedClients = 0;
  for (pid_t pid : children) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++failedClients;
    }
  }
  std::vector<double> all;
  double minRate = 1e9;
  long maxLate = 0, totalLate = 0;
  int kept = 0;
  for (int c = 0; c < clients; ++c) {
    const std::string path = std::string(dir) + "/client" + std::to_string(c);
    FILE* f = std::fopen(path.c_str(), "r");
    if (f == nullptr) continue;
    size_t frames = 0;
    long late = 0;
    if (std::fscanf(f, "%zu %ld", &frames, &late) == 2) {
      double t = 0;
      while (std::fscanf(f, "%lf", &t) == 1) all.push_back(t);
      const double clientRate = static_cast<double>(frames) / seconds;
      minRate = std::min(minRate, clientRate);
      maxLate = std::max(maxLate, late);
      totalLate += late;
      if (clientRate >= kKeptShare * rate &&
          late <= (1 - kKeptShare) * static_cast<double>(frames)) {
        ++kept;
      }
    }
    std::fclose(f);
    std::remove(path.c_str());
  }
  rmdir(dir);

  const double hostCpuSeconds =
      static_cast<double>(ticksAfter - ticksBefore) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::printf(
      "# %d client processes, %.0f frames of 214 LEDs per second each, %.0f s; host CPU from\n"
      "# /proc/%d/stat (utime + stime) over the run; /api/state fetched every %.0f s\n",
      clients, rate, seconds, hostPid, kFetchEverySeconds);
  Figure("clients", clients);
  Figure("rate", rate);
  Figure("seconds", seconds);
  Figure("failed_clients", failedClients);
  Figure("clients_kept_rate", kept);
  Figure("min_client_fps", minRate);
  Figure("late_frames_total", static_cast<double>(totalLate));
  Figure("late_frames_max_client", static_cast<double>(maxLate));
  Figure("calls", static_cast<double>(all.size()));
  Figure("call_p50_us", Quantile(all, 0.5));
  Figure("call_p99_us", Quantile(all, 0.99));
  Figure("call_max_us", Quantile(all, 1.0));
  Figure("host_cpu_percent", 100 * hostCpuSeconds / wallSeconds);
  Figure("host_cpu_us_per_frame",
         all.empty() ? 0 : 1e6 * hostCpuSeconds / static_cast<double>(all.size()));
  Figure("host_rss_kb", static_cast<double>(hostRss));
  Figure("fetches", static_cast<double>(fetches.size()));
  Figure("fetch_failures", fetchFailures);
  Figure("fetch_max_ms", fetches.empty() ? 0 : *std::max_element(fetches.begin(), fetches.end()));
  Figure("fetch_p50_ms", Quantile(fetches, 0.5));
  return failedClients == 0 && fetchFailures == 0 ? 0 : 1;
}
