#include "host/state/lighting_state.h"

#include <chrono>

namespace lumhost {

LightingState::LightingState(const Profile& profile) : profile_(profile) {
  for (const Device& device : profile_.devices) {
    deviceOffset_.push_back(ledCount_);
    for (const Led& led : device.leds) flatById_[led.id].push_back(ledCount_++);
  }
}

void LightingState::addClient(int clientId) {
  std::lock_guard<std::mutex> lock(mutex_);
  Layer& layer = layers_[clientId];
  layer.cells.assign(ledCount_, Cell());
}

void LightingState::removeClient(int clientId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (layers_.erase(clientId) == 0 && controller_ != clientId) return;
  if (controller_ == clientId) controller_ = 0;
  changedLocked();
}

void LightingState::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  layers_.clear();
  controller_ = 0;
  changedLocked();
}

int LightingState::apply(int clientId, const std::vector<LedWrite>& writes) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto layer = layers_.find(clientId);
  if (layer == layers_.end()) return 0;
  int written = 0;
  for (const LedWrite& w : writes) {
    auto found = flatById_.find(w.ledId);
    if (found == flatById_.end()) continue;
    for (size_t flat : found->second) {
      if (w.deviceIndex >= 0) {
        size_t first = deviceOffset_[w.deviceIndex];
        size_t end = first + profile_.devices[w.deviceIndex].leds.size();
        if (flat < first || flat >= end) continue;
      }
      Cell& cell = layer->second.cells[flat];
      cell.color = w.color;
      cell.sequence = ++sequence_;
      ++written;
    }
  }
  if (written > 0) changedLocked();
  return written;
}

bool LightingState::requestControl(int clientId, int* holder) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (controller_ != 0 && controller_ != clientId) {
    *holder = controller_;
    return false;
  }
  if (controller_ != clientId) {
    controller_ = clientId;
    changedLocked();
  }
  *holder = clientId;
  return true;
}

void LightingState::releaseControl(int clientId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (controller_ != clientId) return;
  controller_ = 0;
  changedLocked();
}

void LightingState::setPriority(int clientId, int priority) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto layer = layers_.find(clientId);
  if (layer == layers_.end() || layer->second.priority == priority) return;
  layer->second.priority = priority;
  changedLocked();
}

int LightingState::controller() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return controller_;
}

Rgb LightingState::composeLocked(size_t flat) const {
  if (controller_ != 0) {
    auto layer = layers_.find(controller_);
    if (layer == layers_.end() || layer->second.cells[flat].sequence == 0) return Rgb();
    return layer->second.cells[flat].color;
  }
  const Cell* best = nullptr;
  int bestPriority = -1;
  for (const auto& entry : layers_) {
    const Cell& cell = entry.second.cells[flat];
    if (cell.sequence == 0) continue;
    int priority = entry.second.priority;
    if (best == nullptr || priority > bestPriority ||
        (priority == bestPriority && cell.sequence > best->sequence)) {
      best = &cell;
      bestPriority = priority;
    }
  }
  return best != nullptr ? best->color : Rgb();
}

bool LightingState::color(int deviceIndex, int ledId, Rgb* out) const {
  auto found = flatById_.find(ledId);
  if (found == flatById_.end()) return false;
  for (size_t flat : found->second) {
    if (deviceIndex >= 0) {
      if (deviceIndex >= static_cast<int>(deviceOffset_.size())) return false;
      size_t first = deviceOffset_[deviceIndex];
      size_t end = first + profile_.devices[deviceIndex].leds.size();
      if (flat < first || flat >= end) continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    *out = composeLocked(flat);
    return true;
  }
  return false;
}

std::vector<std::vector<Rgb>> LightingState::composed() const {
  std::vector<std::vector<Rgb>> result;
  std::lock_guard<std::mutex> lock(mutex_);
  size_t flat = 0;
  for (const Device& device : profile_.devices) {
    std::vector<Rgb> colors;
    colors.reserve(device.leds.size());
    for (size_t i = 0; i < device.leds.size(); ++i) colors.push_back(composeLocked(flat++));
    result.push_back(std::move(colors));
  }
  return result;
}

std::vector<ClientLayerSummary> LightingState::clients() const {
  std::vector<ClientLayerSummary> result;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& entry : layers_) {
    ClientLayerSummary s;
    s.clientId = entry.first;
    s.priority = entry.second.priority;
    s.holdsControl = controller_ == entry.first;
    for (const Cell& cell : entry.second.cells) s.ledsSet += cell.sequence != 0 ? 1 : 0;
    result.push_back(s);
  }
  return result;
}

uint64_t LightingState::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}

uint64_t LightingState::waitForChange(uint64_t seen, int timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                    [&] { return generation_ != seen; });
  return generation_;
}

void LightingState::changedLocked() {
  ++generation_;
  changed_.notify_all();
}

}  // namespace lumhost
