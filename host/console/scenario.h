// Scenario scripts: console commands at fixed times after the host starts
// serving, so that a CI run sees the same events every time.
//
//   # comments and blank lines are skipped
//   at 0.5s press A
//   at 1500ms restart
//   at 2s stall 300
//
// A time is a decimal number with "s" or "ms"; lines run in the order of
// their times (lines of one time in file order). Any console command may
// follow, "quit" included.
#ifndef LUMSDK_HOST_CONSOLE_SCENARIO_H_
#define LUMSDK_HOST_CONSOLE_SCENARIO_H_

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/server/host_server.h"

namespace lumhost {

struct ScenarioStep {
  long long atMs = 0;   // after the start
  std::string command;  // a console command line
  int line = 0;         // in the file, from 1
};

// Reads a script's text. False with a message naming the line at fault.
bool parseScenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error);
// Reads a script file (at most 1 MiB).
bool loadScenario(const std::string& path, std::vector<ScenarioStep>* steps, std::string* error);

// Runs the steps on a thread of its own. Thread: one, started by start()
// and joined by stop() (which ends the waits at once).
class ScenarioRunner {
 public:
  struct Options {
    std::string snapshotPath;  // for "snapshot" without a file name
    // Receives "script: COMMAND" and its output, from the runner's thread.
    std::function<void(const std::string&)> log;
    // Called from the runner's thread after the last step, or when a step
    // is "quit": failed tells whether any step was refused.
    std::function<void(bool quit, bool failed)> done;
  };

  // The server must outlive the runner.
  ScenarioRunner(HostServer* server, std::vector<ScenarioStep> steps, Options options);
  ~ScenarioRunner();
  ScenarioRunner(const ScenarioRunner&) = delete;
  ScenarioRunner& operator=(const ScenarioRunner&) = delete;

  void start();
  void stop();

 private:
  void run();

  HostServer* server_;
  std::vector<ScenarioStep> steps_;
  Options options_;
  std::thread thread_;  // owned by start()/stop()
  // Guards stopping_; wakes the waits between steps. Leaf.
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_CONSOLE_SCENARIO_H_
