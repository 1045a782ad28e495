// Child processes on POSIX: fork and exec, input through a pipe, SIGKILL.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "support/host_process.h"

namespace sdk {
namespace test_support {
namespace {

class PosixChild final : public ChildProcess {
 public:
  PosixChild(pid_t pid, int input) : pid_(pid), input_(input) {}
  ~PosixChild() override { kill(); }

  bool write(const std::string& text) override {
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void kill() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    close(input_);
  }

 private:
  pid_t pid_;
  int input_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChild(const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::string& outputPath, std::string* error) {
  // Made before the fork: the child only calls what is safe after one.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    *error = std::strerror(errno);
    return nullptr;
  }
  const int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (output < 0) {
    *error = outputPath + ": " + std::strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[0], 0);
    dup2(output, 1);
    dup2(output, 2);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  const int e = errno;
  close(fds[0]);
  close(output);
  if (pid < 0) {
    *error = std::strerror(e);
    close(fds[1]);
    return nullptr;
  }
  // A write to a host that died must fail, not end the test.
  signal(SIGPIPE, SIG_IGN);
  return std::make_unique<PosixChild>(pid, fds[1]);
}

std::string TemporaryPath(const std::string& tag) {
  static std::atomic<int> count{0};
  return "/tmp/lumsdk-" + std::to_string(getpid()) + "-" + std::to_string(++count) + "-" + tag;
}

bool RemoveFile(const std::string& path) { return unlink(path.c_str()) == 0; }

}  // namespace test_support
}  // namespace sdk
