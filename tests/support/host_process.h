// A real lumhost program run by a test: started on pipes the test names
// (the library of the test finds them through the same base), driven by
// commands typed on its standard input, and killed outright to stand for a
// host that crashes.
//
//   HostProcess host(LUMHOST_PATH, "heal-1");
//   ASSERT_TRUE(host.start());
//   host.command("tap A");
//   host.kill();  // SIGKILL, or TerminateProcess on Windows
//   ASSERT_TRUE(host.start());  // the same pipes again
#ifndef LUMSDK_TESTS_SUPPORT_HOST_PROCESS_H_
#define LUMSDK_TESTS_SUPPORT_HOST_PROCESS_H_

#include <memory>
#include <string>
#include <vector>

namespace sdk {
namespace test_support {

// The platform's part: one child process, its input and its end.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;  // kills the child if it still runs
  virtual bool write(const std::string& text) = 0;
  virtual void kill() = 0;  // at once, no chance to clean up; waits for the end
};
// Starts program with args, standard output and error into outputPath.
std::unique_ptr<ChildProcess> StartChild(const std::string& program,
                                         const std::vector<std::string>& args,
                                         const std::string& outputPath, std::string* error);
// A file name in the system's temporary folder, unique to this process.
std::string TemporaryPath(const std::string& tag);
// Removes a file; false when it could not be.
bool RemoveFile(const std::string& path);

class HostProcess {
 public:
  HostProcess(std::string program, std::string pipeBase);
  ~HostProcess();
  HostProcess(const HostProcess&) = delete;
  HostProcess& operator=(const HostProcess&) = delete;

  // Starts lumhost with these extra arguments and waits until it serves.
  // The failure, with the host's output, goes to *error.
  bool start(const std::vector<std::string>& args = {}, std::string* error = nullptr);
  void kill();
  bool running() const { return child_ != nullptr; }
  // Types a command and returns what the host printed for it ("" when it
  // printed nothing within the time-out).
  std::string command(const std::string& line);
  // Everything the host has printed since it was last started.
  std::string output() const;

  const std::string& pipeBase() const { return pipeBase_; }

 private:
  std::string program_;
  std::string pipeBase_;
  std::string outputPath_;
  std::unique_ptr<ChildProcess> child_;
  size_t read_ = 0;  // output taken by command() so far
  int marks_ = 0;
};

}  // namespace test_support
}  // namespace sdk

#endif  // LUMSDK_TESTS_SUPPORT_HOST_PROCESS_H_
