#include "host/server/faults.h"

#include <chrono>

namespace lumhost {
namespace {

// A waiting answer checks this often whether it is still wanted: dropping a
// client or stopping the host must not wait for a thaw.
constexpr std::chrono::milliseconds kAbandonPoll{50};

}  // namespace

void Faults::setStall(int milliseconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stallMs_ = milliseconds > 0 ? milliseconds : 0;
  }
  changed_.notify_all();
}

int Faults::stall() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stallMs_;
}

void Faults::freeze() {
  std::lock_guard<std::mutex> lock(mutex_);
  frozen_ = true;
}

void Faults::thaw() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    frozen_ = false;
  }
  changed_.notify_all();
}

bool Faults::frozen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frozen_;
}

void Faults::failNext(const std::string& method, int code, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count <= 0) {
    failures_.erase(method);
  } else {
    failures_[method] = std::make_pair(code, count);
  }
}

bool Faults::takeFailure(const std::string& method, int* code) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = failures_.find(method);
  if (found == failures_.end()) return false;
  *code = found->second.first;
  if (--found->second.second <= 0) failures_.erase(found);
  return true;
}

bool Faults::anyFailures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !failures_.empty();
}

std::map<std::string, std::pair<int, int>> Faults::pendingFailures() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failures_;
}

void Faults::unplug(int deviceIndex) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unplugged_.insert(deviceIndex).second) ++plugGeneration_;
}

void Faults::plug(int deviceIndex) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (unplugged_.erase(deviceIndex) != 0) ++plugGeneration_;
}

void Faults::plugAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!unplugged_.empty()) ++plugGeneration_;
  unplugged_.clear();
}

bool Faults::plugged(int deviceIndex) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unplugged_.count(deviceIndex) == 0;
}

std::vector<int> Faults::pluggedDevices(int count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<int> devices;
  for (int d = 0; d < count; ++d) {
    if (unplugged_.count(d) == 0) devices.push_back(d);
  }
  return devices;
}

uint64_t Faults::plugGeneration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return plugGeneration_;
}

bool Faults::waitBeforeAnswer(const std::function<bool()>& abandon) const {
  // The stall is measured from the request, whatever is changed meanwhile.
  auto stallEnd = std::chrono::steady_clock::time_point::max();
  for (;;) {
    if (abandon()) return false;
    std::unique_lock<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    if (stallEnd == std::chrono::steady_clock::time_point::max()) {
      stallEnd = now + std::chrono::milliseconds(stallMs_);
    }
    if (!frozen_ && now >= stallEnd) return true;
    auto until = now + kAbandonPoll;
    if (!frozen_ && stallEnd < until) until = stallEnd;
    changed_.wait_until(lock, until);
  }
}

void Faults::clear() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stallMs_ = 0;
    frozen_ = false;
    failures_.clear();
    if (!unplugged_.empty()) ++plugGeneration_;
    unplugged_.clear();
  }
  changed_.notify_all();
}

}  // namespace lumhost
