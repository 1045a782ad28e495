// Child processes on Windows: CreateProcess, input through an anonymous
// pipe, TerminateProcess.
#include <windows.h>

#include <atomic>

#include "support/host_process.h"

namespace sdk {
namespace test_support {
namespace {

class WinChild final : public ChildProcess {
 public:
  WinChild(HANDLE process, HANDLE input) : process_(process), input_(input) {}
  ~WinChild() override { kill(); }

  bool write(const std::string& text) override {
    DWORD written = 0;
    return WriteFile(input_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
  }

  void kill() override {
    if (process_ == nullptr) return;
    TerminateProcess(process_, 9);
    WaitForSingleObject(process_, INFINITE);
    CloseHandle(process_);
    CloseHandle(input_);
    process_ = nullptr;
  }

 private:
  HANDLE process_;
  HANDLE input_;
};

std::string quoted(const std::string& arg) {
  std::string out = "\"";
  for (char c : arg) {
    if (c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

// A path as the build gives it (a Unix one under Wine) as Windows takes it.
std::string windowsPath(std::string path) {
  if (!path.empty() && path[0] == '/') path = "Z:" + path;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  return path;
}

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::string& outputPath, std::string* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
    *error = "CreatePipe failed: " + std::to_string(GetLastError());
    return nullptr;
  }
  SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE output = CreateFileA(outputPath.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    *error = outputPath + ": CreateFile failed: " + std::to_string(GetLastError());
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return nullptr;
  }
  const std::string path = windowsPath(program);
  std::string line = quoted(path);
  for (const std::string& a : args) line += " " + quoted(a);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = readEnd;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessA(path.c_str(), &line[0], nullptr, nullptr, TRUE,
                                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
  const DWORD why = GetLastError();
  CloseHandle(readEnd);
  CloseHandle(output);
  if (!started) {
    *error = "CreateProcess " + path + " failed: " + std::to_string(why);
    CloseHandle(writeEnd);
    return nullptr;
  }
  CloseHandle(info.hThread);
  return std::make_unique<WinChild>(info.hProcess, writeEnd);
}

std::string TemporaryPath(const std::string& tag) {
  static std::atomic<int> count{0};
  char folder[MAX_PATH + 1] = {0};
  const DWORD n = GetTempPathA(MAX_PATH, folder);
  return std::string(folder, n) + "lumsdk-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(++count) + "-" + tag;
}

bool RemoveFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

}  // namespace test_support
}  // namespace sdk
