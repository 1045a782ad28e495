#include "host/console/scenario.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "host/console/host_commands.h"
#include "host/profile/device_profile.h"

namespace lumhost {
namespace {

constexpr long kMaxScriptBytes = 1L << 20;
// A day: later steps are surely a mistake in the unit.
constexpr double kMaxStepMs = 24.0 * 3600 * 1000;

// "1.5s", "200ms", "0s": milliseconds.
bool parseTime(const std::string& text, long long* ms) {
  double scale = 0;
  std::string number;
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
    scale = 1;
    number = text.substr(0, text.size() - 2);
  } else if (text.size() > 1 && text.back() == 's') {
    scale = 1000;
    number = text.substr(0, text.size() - 1);
  } else {
    return false;
  }
  if (number.empty() || number.find_first_not_of("0123456789.") != std::string::npos ||
      std::count(number.begin(), number.end(), '.') > 1 || number == ".") {
    return false;
  }
  double value = std::strtod(number.c_str(), nullptr) * scale;
  if (!std::isfinite(value) || value > kMaxStepMs) return false;
  *ms = static_cast<long long>(std::llround(value));
  return true;
}

}  // namespace

bool parseScenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error) {
  steps->clear();
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string first;
    if (!(words >> first) || first[0] == '#') continue;
    std::string time;
    std::string command;
    if (first == "at" && words >> time) {
      std::getline(words >> std::ws, command);
    }
    ScenarioStep step;
    if (first != "at" || !parseTime(time, &step.atMs) || command.empty()) {
      *error = "line " + std::to_string(number) + ": want \"at TIME COMMAND\" (TIME such as " +
               "1.5s or 200ms), not \"" + printable(line) + "\"";
      return false;
    }
    step.command = command;
    step.line = number;
    steps->push_back(step);
  }
  std::stable_sort(steps->begin(), steps->end(),
                   [](const ScenarioStep& a, const ScenarioStep& b) { return a.atMs < b.atMs; });
  return true;
}

bool loadScenario(const std::string& path, std::vector<ScenarioStep>* steps, std::string* error) {
  std::string text;
  if (!readTextFile(path, kMaxScriptBytes, &text, error)) return false;
  if (!parseScenario(text, steps, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

ScenarioRunner::ScenarioRunner(HostServer* server, std::vector<ScenarioStep> steps, Options options)
    : server_(server), steps_(std::move(steps)), options_(std::move(options)) {}

ScenarioRunner::~ScenarioRunner() { stop(); }

void ScenarioRunner::start() {
  if (thread_.joinable()) return;
  thread_ = std::thread([this] { run(); });
}

void ScenarioRunner::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ScenarioRunner::run() {
  const auto begin = std::chrono::steady_clock::now();
  bool failed = false;
  for (const ScenarioStep& step : steps_) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (wake_.wait_until(lock, begin + std::chrono::milliseconds(step.atMs),
                           [this] { return stopping_; })) {
        return;
      }
    }
    CommandResult result = runCommand(*server_, step.command, options_.snapshotPath);
    failed = failed || !result.ok;
    if (options_.log) {
      options_.log("script line " + std::to_string(step.line) + ": " + printable(step.command) +
                   (result.output.empty() ? "" : "\n" + result.output));
    }
    if (result.quit) {
      if (options_.done) options_.done(true, failed);
      return;
    }
  }
  if (options_.done) options_.done(false, failed);
}

}  // namespace lumhost
