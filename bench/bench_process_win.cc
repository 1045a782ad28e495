#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>

#include "bench_process.h"

namespace bench {

bool RunSelf(const std::string& args, std::string* output) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  std::wstring command = L"\"" + std::wstring(path, length) + L"\" ";
  for (char c : args) command += static_cast<wchar_t>(c);

  // The child writes into an inheritable pipe; this end stays private.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return false;
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION child{};
  const BOOL started = CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &startup, &child);
  CloseHandle(writeEnd);  // the read below ends when the child's copy closes
  if (!started) {
    CloseHandle(readEnd);
    return false;
  }
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    output->append(buffer, got);
  }
  CloseHandle(readEnd);
  WaitForSingleObject(child.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  return code == 0;
}

int PinToOneCpu() {
  const DWORD cpu = GetCurrentProcessorNumber();
  if (cpu >= 8 * sizeof(DWORD_PTR)) return -1;
  const DWORD_PTR mask = static_cast<DWORD_PTR>(1) << cpu;
  return SetProcessAffinityMask(GetCurrentProcess(), mask) ? static_cast<int>(cpu) : -1;
}

bool UnderWine() {
  // Wine's ntdll exports its version; Windows' does not.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {

double Us(const FILETIME& t) {
  const ULONGLONG ticks = static_cast<ULONGLONG>(t.dwHighDateTime) << 32 | t.dwLowDateTime;
  return static_cast<double>(ticks) / 10.0;  // 100 ns units
}

}  // namespace

double ProcessCpuUs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  return Us(kernel) + Us(user);
}

double ThreadCpuUs() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  return Us(kernel) + Us(user);
}

long ResidentKb() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<long>(counters.WorkingSetSize / 1024);
}

long PeakResidentKb() {
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

bool ThreadSwitches(long*, long*) { return false; }

}  // namespace bench
