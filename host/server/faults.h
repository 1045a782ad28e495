// Faults that a developer injects into a running host to see how an
// application copes: slow answers, no answers at all, error codes for a
// method, and devices that leave the device list and come back. The console,
// the web page's API and scenario scripts set them (host/console/); the
// server's sessions and the request handler consult them for every request.
#ifndef LUMSDK_HOST_SERVER_FAULTS_H_
#define LUMSDK_HOST_SERVER_FAULTS_H_

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace lumhost {

// Thread-safe. Its mutex is a leaf lock: nothing else is locked while it is
// held, and no callback runs under it.
class Faults {
 public:
  // Every answer waits this long before it is composed; 0: none.
  void setStall(int milliseconds);
  int stall() const;

  // While frozen, no request is answered; answers resume at thaw().
  void freeze();
  void thaw();
  bool frozen() const;

  // The next `count` answers of `method` carry errorCode `code`; count 0
  // forgets what was pending for the method.
  void failNext(const std::string& method, int code, int count);
  // Takes one pending failure of the method: true and its code.
  bool takeFailure(const std::string& method, int* code);
  bool anyFailures() const;
  // Pending failures: method -> (code, answers left).
  std::map<std::string, std::pair<int, int>> pendingFailures() const;

  // Unplugged devices leave the device list: the client sees the others,
  // renumbered from 0. Indexes are those of the profile.
  void unplug(int deviceIndex);
  void plug(int deviceIndex);
  bool plugged(int deviceIndex) const;
  // Every device plugged again, as when the desk is replaced.
  void plugAll();
  // The profile indexes of the plugged devices among the first `count`.
  std::vector<int> pluggedDevices(int count) const;
  // Grows whenever a device is unplugged or plugged.
  uint64_t plugGeneration() const;

  // Called before each answer: waits out the stall and the freeze. Returns
  // false, at once or soon after, when `abandon` says the answer is no
  // longer wanted (the client is dropped or the host stops).
  bool waitBeforeAnswer(const std::function<bool()>& abandon) const;

  // Forgets every fault.
  void clear();

 private:
  // Guards everything below. Leaf lock.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  int stallMs_ = 0;
  bool frozen_ = false;
  std::map<std::string, std::pair<int, int>> failures_;
  std::set<int> unplugged_;
  uint64_t plugGeneration_ = 0;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_SERVER_FAULTS_H_
