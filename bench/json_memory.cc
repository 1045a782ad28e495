// Peak memory of one parse, per byte of text, for texts that cost the most
// per byte: long runs of tiny values, nested tiny containers, repeated and
// distinct member names, long strings. Every case runs in a child process of
// its own. Two figures per case:
// - heap: the peak of the bytes allocated through operator new during the
//   parse, counted by this program's replacement of it;
// - RSS: the growth of the peak resident set during the parse (Linux).
// Usage: json_memory [MiB of text per case]
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "json/json_text.h"
#include "json/json_value.h"

namespace {

// Live and peak bytes of operator new. A size header in front of each block
// lets operator delete subtract what was added.
std::atomic<long long> gLive{0};
std::atomic<long long> gPeak{0};
constexpr std::size_t kHeader = 16;

void* Allocate(std::size_t size) {
  void* block = std::malloc(size + kHeader);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  const long long live = gLive += static_cast<long long>(size);
  long long peak = gPeak.load();
  while (live > peak && !gPeak.compare_exchange_weak(peak, live)) {
  }
  return static_cast<char*>(block) + kHeader;
}

void Free(void* p) {
  if (p == nullptr) return;
  void* block = static_cast<char*>(p) - kHeader;
  gLive -= static_cast<long long>(*static_cast<std::size_t*>(block));
  std::free(block);
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }

namespace {

// Repeats the unit between the opening and closing text until the whole
// reaches about size bytes.
std::string Repeat(const std::string& open, const std::string& unit, const std::string& separator,
                   const std::string& close, std::size_t size) {
  std::string text;
  text.reserve(size + unit.size() + close.size() + 16);
  text += open;
  bool first = true;
  while (text.size() + unit.size() + close.size() < size) {
    if (!first) text += separator;
    first = false;
    text += unit;
  }
  return text + close;
}

// Distinct member names: "k0", "k1", ...
std::string DistinctMembers(std::size_t size) {
  std::string text;
  text.reserve(size + 64);
  text += '{';
  for (long i = 0; text.size() + 32 < size; ++i) {
    if (i != 0) text += ',';
    text += "\"k" + std::to_string(i) + "\":1";
  }
  return text + "}";
}

long Kilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::string prefix = std::string(field) + ":";
  while (std::getline(status, line)) {
    if (line.compare(0, prefix.size(), prefix) == 0) return std::atol(line.c_str() + prefix.size());
  }
  return -1;
}

struct Case {
  const char* name;
  std::string (*make)(std::size_t size);
};

const Case kCases[] = {
    {"[1,1,1,...]", [](std::size_t n) { return Repeat("[", "1", ",", "]", n); }},
    {"[1.5,1.5,...]", [](std::size_t n) { return Repeat("[", "1.5", ",", "]", n); }},
    {"[[[[1]]]],...", [](std::size_t n) { return Repeat("[", "[[[[1]]]]", ",", "]", n); }},
    {"[[1],[1],...]", [](std::size_t n) { return Repeat("[", "[1]", ",", "]", n); }},
    {"{\"a\":1,\"a\":1,...}", [](std::size_t n) { return Repeat("{", "\"a\":1", ",", "}", n); }},
    {"{\"k0\":1,\"k1\":1,...}", DistinctMembers},
    {"[{\"a\":1},...]", [](std::size_t n) { return Repeat("[", "{\"a\":1}", ",", "]", n); }},
    {"[\"ab\",\"ab\",...]", [](std::size_t n) { return Repeat("[", "\"ab\"", ",", "]", n); }},
    {"[\"abc\",\"abc\",...]", [](std::size_t n) { return Repeat("[", "\"abc\"", ",", "]", n); }},
    {"[{\"\":{\"\":{\"\":1}}},...]",
     [](std::size_t n) { return Repeat("[", "{\"\":{\"\":{\"\":1}}}", ",", "]", n); }},
    {"one long string", [](std::size_t n) { return Repeat("\"", "x", "", "\"", n); }},
    {"[\"x..x\" (64 KiB),...]",
     [](std::size_t n) { return Repeat("[", "\"" + std::string(65536, 'x') + "\"", ",", "]", n); }},
};

constexpr double kGoal = 8.0;

int RunCase(const Case& c, std::size_t size) {
  const std::string text = c.make(size);
  const long rssBefore = Kilobytes("VmRSS");
  // Resets the peak resident set to the current one (Linux 4.0 and later).
  std::ofstream("/proc/self/clear_refs") << "5";
  const long long heapBefore = gLive.load();
  gPeak = heapBefore;
  bool valid = false;
  {
    const sdk::JsonHandle value = sdk::parseJsonText(text);
    valid = value.isValid();
  }
  const double heap = static_cast<double>(gPeak.load() - heapBefore);
  const double rss = 1024.0 * static_cast<double>(Kilobytes("VmHWM") - rssBefore);
  const double bytes = static_cast<double>(text.size());
  std::printf(
      "%-24s %6.1f MiB %-7s heap %7.1f MiB = %5.2fx  RSS +%7.1f MiB = %5.2fx  (goal <= %.0fx: "
      "%s)\n",
      c.name, bytes / 1048576, valid ? "valid" : "INVALID", heap / 1048576, heap / bytes,
      rss / 1048576, rss / bytes, kGoal, heap / bytes <= kGoal ? "met" : "missed");
  std::fflush(stdout);
  return valid ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  double mib = 16;
  if (argc > 1) mib = std::atof(argv[1]);
  if (!(mib > 0)) {
    std::fprintf(stderr, "usage: json_memory [MiB of text per case]\n");
    return 2;
  }
  const std::size_t size = static_cast<std::size_t>(mib * 1048576);
  std::printf(
      "Peak memory of one parse over the text's size (heap: operator new; RSS: peak\n"
      "resident set growth), each case in a process of its own\n");
  std::fflush(stdout);  // before the children inherit the buffer
  int failures = 0;
  for (const Case& c : kCases) {
    const pid_t child = fork();
    if (child == 0) _exit(RunCase(c, size));
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
      std::printf("%-24s failed\n", c.name);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
