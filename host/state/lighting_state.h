// What the host remembers about lighting: every client's own layer of LED
// colours, its layer priority, who holds exclusive control, and the
// composition of all that into what a user would see on the devices.
//
// Composition of one LED:
// - While a client holds exclusive control, only its layer counts; LEDs it
//   has not set are dark. The other clients' colour sets are still accepted
//   and kept in their layers, hidden until control is released.
// - Otherwise the layers that set the LED compete: the highest layer
//   priority wins, and among equal priorities the most recent set wins.
// - An LED that no layer sets is dark (0, 0, 0).
#ifndef LUMSDK_HOST_STATE_LIGHTING_STATE_H_
#define LUMSDK_HOST_STATE_LIGHTING_STATE_H_

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "host/profile/device_profile.h"

namespace lumhost {

struct Rgb {
  int r = 0;
  int g = 0;
  int b = 0;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb& o) const { return !(*this == o); }
};

constexpr int kDefaultLayerPriority = 128;
constexpr int kMaxLayerPriority = 255;

// One colour for one LED id: on one device, or (deviceIndex -1) on every
// device that has an LED with that id.
struct LedWrite {
  int deviceIndex = -1;
  int ledId = 0;
  Rgb color;
};

struct ClientLayerSummary {
  int clientId = 0;
  int priority = kDefaultLayerPriority;
  bool holdsControl = false;
  int ledsSet = 0;
};

// Thread-safe. Its mutex is a leaf lock: nothing else is locked while it is
// held, and no callback runs under it.
class LightingState {
 public:
  // The profile must outlive the state.
  explicit LightingState(const Profile& profile);

  void addClient(int clientId);
  // Drops the client's layer and its control, if it held it.
  void removeClient(int clientId);
  // Forgets every client.
  void clear();

  // Stores the colours in the client's layer. LED ids that no device has are
  // skipped. Returns the number of LEDs written.
  int apply(int clientId, const std::vector<LedWrite>& writes);

  // Grants exclusive control unless another client holds it. Asking again
  // while holding it succeeds. On refusal *holder is the holder's id.
  bool requestControl(int clientId, int* holder);
  // Gives control back if the client holds it; otherwise nothing changes.
  void releaseControl(int clientId);
  void setPriority(int clientId, int priority);
  int controller() const;

  // The composed colour of an LED, by id: on the given device, or on the
  // first device that has the id (deviceIndex -1). False when no such LED
  // exists.
  bool color(int deviceIndex, int ledId, Rgb* out) const;
  // All composed colours, per device, in the order of Device::leds.
  std::vector<std::vector<Rgb>> composed() const;
  std::vector<ClientLayerSummary> clients() const;

  // A counter that grows on every change that can alter the composition.
  uint64_t generation() const;
  // Waits until the generation differs from seen or the time-out passes
  // (milliseconds); returns the current generation.
  uint64_t waitForChange(uint64_t seen, int timeoutMs) const;

 private:
  struct Cell {
    Rgb color;
    uint64_t sequence = 0;  // 0: not set
  };
  struct Layer {
    int priority = kDefaultLayerPriority;
    std::vector<Cell> cells;  // one per LED, flattened over devices
  };

  Rgb composeLocked(size_t flat) const;
  void changedLocked();

  const Profile& profile_;
  std::vector<size_t> deviceOffset_;             // first flat index of each device
  std::map<int, std::vector<size_t>> flatById_;  // LED id -> flat indices, device order
  size_t ledCount_ = 0;

  // Guards everything below. Leaf lock.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<int, Layer> layers_;
  int controller_ = 0;  // client id, 0: nobody
  uint64_t sequence_ = 0;
  uint64_t generation_ = 0;
};

}  // namespace lumhost

#endif  // LUMSDK_HOST_STATE_LIGHTING_STATE_H_
