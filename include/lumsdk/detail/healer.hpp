// Part of lumsdk.hpp (include that, not this; it comes after the value
// types there): healing. What a client remembers of the application's
// requests, and the thread of its own that notices a lost host, connects
// again and restores them.
#ifndef LUMSDK_DETAIL_HEALER_HPP_
#define LUMSDK_DETAIL_HEALER_HPP_

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "LUMSDK.h"
#include "lumsdk/detail/key_hub.hpp"
#include "lumsdk/detail/listener.hpp"

namespace lumsdk {
namespace detail {

template <typename F>
constexpr bool is_state_callable_v = std::is_invocable_v<std::decay_t<F>&, connection_state>;

using state_sink = sink<connection_state>;
template <typename F>
using state_sink_for = sink_for<connection_state, F>;

// The last colour asked for, by LED id. Records the library would reject
// (id outside 0 to 499, a component outside 0 to 255) are left out, so that
// the one call that restores them all is never refused for them.
class color_table {
 public:
  static constexpr int capacity = 500;

  void put(const led_color* colors, std::size_t size) noexcept {
    for (std::size_t i = 0; i < size; ++i) {
      const led_color& c = colors[i];
      if (c.led_id < 0 || c.led_id >= capacity || !component(c.r) || !component(c.g) ||
          !component(c.b)) {
        continue;
      }
      set_[static_cast<std::size_t>(c.led_id)] = true;
      colors_[static_cast<std::size_t>(c.led_id)] = c;
    }
  }

  // Takes every colour of other, which is left empty.
  void take(color_table& other) noexcept {
    for (std::size_t id = 0; id < capacity; ++id) {
      if (!other.set_[id]) continue;
      set_[id] = true;
      colors_[id] = other.colors_[id];
      other.set_[id] = false;
    }
  }

  void clear() noexcept { set_.fill(false); }

  std::vector<led_color> all() const {
    std::vector<led_color> out;
    for (std::size_t id = 0; id < capacity; ++id) {
      if (set_[id]) out.push_back(colors_[id]);
    }
    return out;
  }

 private:
  static bool component(int v) noexcept { return v >= 0 && v <= 255; }

  std::array<led_color, capacity> colors_{};
  std::array<bool, capacity> set_{};
};

// What tells one host's devices from another's.
struct device_mark {
  int type = 0;
  std::string model;
  int led_count = 0;
  bool operator==(const device_mark& o) const {
    return type == o.type && model == o.model && led_count == o.led_count;
  }
};

class healing_session;

// One on_state subscription. sink, listed and drop_after_call are guarded
// by healing_session::listeners_mutex_.
struct state_entry final : listener {
  state_entry(std::weak_ptr<healing_session> o, std::unique_ptr<state_sink> s)
      : owner(std::move(o)), sink(std::move(s)) {}
  void cancel() noexcept override;

  const std::weak_ptr<healing_session> owner;
  std::unique_ptr<state_sink> sink;
  bool listed = false;
  bool drop_after_call = false;  // dropped from inside its own call
};

// The healing state of one client, shared with its healer thread, its
// control guards and its pending completions (those hold it weakly).
//
// Locks, in the order in which they may be taken together:
//   1. restore_mutex_: one handshake-and-restore at a time (healer thread
//      or reconnect()). Held during exports, and so also around key_hub's
//      registration lock; never taken on the thread that delivers a press.
//   2. mutex_: the connection phase, the remembered requests, the pending
//      events. Held only briefly, never during an export or a callable.
//   3. listeners_mutex_: the state subscriptions; never held while a
//      callable runs or is destroyed.
class healing_session : public std::enable_shared_from_this<healing_session> {
 public:
  using clock = std::chrono::steady_clock;

  explicit healing_session(const client_options& options)
      : probe_interval_(std::max(options.probe_interval, std::chrono::milliseconds(1))),
        backoff_initial_(std::max(options.backoff_initial, std::chrono::milliseconds(1))),
        backoff_max_(std::max(options.backoff_max, backoff_initial_)),
        rng_(static_cast<std::uint_fast32_t>(clock::now().time_since_epoch().count() ^
                                             reinterpret_cast<std::uintptr_t>(this))) {
    touch();
  }
  healing_session(const healing_session&) = delete;
  healing_session& operator=(const healing_session&) = delete;

  void start() {
    thread_ = std::thread([self = shared_from_this()] { self->run(); });
  }

  // Ends the healer thread: joined, or, when called on it (a state callable
  // that ends its client), left to end by itself.
  void stop() noexcept {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  // Whether a call may go to the library; when the host is lost (or was
  // never there) it may not, and ec is host_unreachable. *epoch names the
  // connection the call goes over, for settle().
  bool admit(std::uint64_t* epoch, std::error_code& ec) noexcept {
    touch();
    std::lock_guard<std::mutex> lock(mutex_);
    if (phase_ != phase::connected) {
      ec = code_of(VelmoraErrorHostUnreachable);
      return false;
    }
    *epoch = epoch_;
    return true;
  }

  // The outcome of an admitted call: host unreachable means the host is
  // lost. A late failure on a connection already given up is ignored.
  void settle(std::uint64_t epoch, const std::error_code& ec) noexcept {
    if (!is_unreachable(ec)) return;
    std::lock_guard<std::mutex> lock(mutex_);
    lose_locked(epoch);
  }

  // --- What the application asked for

  void remember_colors(const led_color* colors, std::size_t size) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    colors_.put(colors, size);
    ++intent_version_;
  }
  // Colours stored in the library's buffer: remembered once flushed.
  void remember_buffered(const led_color* colors, std::size_t size) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    buffered_.put(colors, size);
  }
  void remember_flushed() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    colors_.take(buffered_);
    ++intent_version_;
  }
  // A flush the library refused empties its buffer, sent or not.
  void forget_buffered() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    buffered_.clear();
  }
  void remember_priority(int priority) noexcept {
    if (priority < 0 || priority > 255) return;
    std::lock_guard<std::mutex> lock(mutex_);
    priority_ = priority;
    ++intent_version_;
  }
  void remember_control(bool held) noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    control_ = held;
    ++intent_version_;
  }

  // --- Handshake and restore

  // Performs the handshake and restores what was asked for, unless this
  // thread delivers a key press (then false, and ec says why). With
  // first, the handshake of the client's construction: no event. With
  // only_if_lost, does nothing when the connection works (another thread
  // restored it meanwhile). Fails with the handshake's error or, the
  // connection being restored all the same, with the key registration's.
  bool restore(VelmoraProtocolDetails* details, std::error_code& ec, bool first = false,
               bool only_if_lost = false) {
    key_hub& hub = key_hub::instance();
    if (hub.on_delivering_thread()) {
      ec = std::make_error_code(std::errc::resource_deadlock_would_occur);
      return false;
    }
    std::lock_guard<std::mutex> restoring(restore_mutex_);
    if (only_if_lost) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (phase_ == phase::connected || stopping_) {
        ec.clear();
        return true;
      }
    }
    if (!hub.handshake(details, ec, false)) return false;
    if (ec) {
      std::lock_guard<std::mutex> lock(mutex_);
      lose_locked(epoch_);
      return true;
    }
    std::error_code registration;
    for (;;) {
      std::optional<int> priority;
      bool control;
      std::vector<led_color> colors;
      std::uint64_t version;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        priority = priority_;
        control = control_;
        colors = colors_.all();
        version = intent_version_;
      }
      // In this order: the layer first, so that the colours land in it.
      // Answers other than "unreachable" (a refusal) leave the rest to go on.
      if ((priority && !VelmoraSetLayerPriority(*priority) && unreachable_now()) ||
          (control && !VelmoraRequestControl(0) && unreachable_now())) {
        return lost_during_restore(ec);
      }
      hub.register_again(registration);
      if (is_unreachable(registration)) return lost_during_restore(ec);
      int size = 0;
      if (!colors.empty() && c_size(colors.size(), &size) &&
          !VelmoraSetLedsColors(size, c_colors(colors.data())) && unreachable_now()) {
        return lost_during_restore(ec);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      // Asked for meanwhile (those calls failed at once): send that too.
      if (version != intent_version_) continue;
      if (phase_ != phase::connected) {
        if (!first) {
          events_.push_back(phase_ == phase::lost ? connection_state::restored
                                                  : connection_state::connected);
        }
        phase_ = phase::connected;
        wake_.notify_all();
      }
      break;
    }
    touch();
    compare_devices();
    ec = registration;
    return true;
  }

  // --- State subscriptions

  std::shared_ptr<listener> subscribe(std::unique_ptr<state_sink> sink) {
    auto entry = std::make_shared<state_entry>(weak_from_this(), std::move(sink));
    std::lock_guard<std::mutex> lock(listeners_mutex_);
    entry->listed = true;
    listeners_.push_back(entry);
    return entry;
  }

  void unsubscribe(state_entry& entry) noexcept {
    std::unique_ptr<state_sink> dropped;  // destroyed after the lock is released
    std::unique_lock<std::mutex> lock(listeners_mutex_);
    if (!entry.listed) return;
    entry.listed = false;
    listeners_.erase(
        std::find_if(listeners_.begin(), listeners_.end(),
                     [&](const std::shared_ptr<state_entry>& e) { return e.get() == &entry; }));
    if (running_ == &entry) {
      if (deliverer_ == std::this_thread::get_id()) {
        entry.drop_after_call = true;
        return;
      }
      idle_.wait(lock, [&] { return running_ != &entry; });
    }
    dropped = std::move(entry.sink);
    lock.unlock();
  }

  std::uint64_t callback_failures() const noexcept { return callback_failures_.load(); }

 private:
  enum class phase { never_connected, connected, lost };

  void touch() noexcept {
    last_call_.store(clock::now().time_since_epoch().count(), std::memory_order_relaxed);
  }
  clock::time_point last_call() const noexcept {
    return clock::time_point(clock::duration(last_call_.load(std::memory_order_relaxed)));
  }

  static bool unreachable_now() noexcept {
    return VelmoraGetLastError() == VelmoraErrorHostUnreachable;
  }

  bool lost_during_restore(std::error_code& ec) {
    ec = code_of(VelmoraErrorHostUnreachable);
    std::lock_guard<std::mutex> lock(mutex_);
    lose_locked(epoch_);
    return true;
  }

  // Called with mutex_ held.
  void lose_locked(std::uint64_t epoch) noexcept {
    if (phase_ != phase::connected || epoch != epoch_) return;
    phase_ = phase::lost;
    ++epoch_;
    events_.push_back(connection_state::lost);
    wake_.notify_all();
  }

  // The devices of the host now, or nothing when they could not be read.
  static std::optional<std::vector<device_mark>> read_devices() {
    const int count = VelmoraGetDeviceCount();
    if (count < 0) return std::nullopt;
    std::vector<device_mark> marks;
    for (int i = 0; i < count; ++i) {
      const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(i);
      if (info == nullptr) return std::nullopt;
      marks.push_back(
          device_mark{info->type, info->model != nullptr ? info->model : "", info->ledsCount});
    }
    return marks;
  }

  // Reads the devices; when they differ from those known before,
  // devices_changed follows the events already pending.
  void compare_devices() {
    std::optional<std::vector<device_mark>> now = read_devices();
    if (!now) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (devices_ && *devices_ != *now) {
      events_.push_back(connection_state::devices_changed);
      wake_.notify_all();
    }
    devices_ = std::move(now);
  }

  void emit(connection_state state) {
    std::vector<std::shared_ptr<state_entry>> entries;
    {
      std::lock_guard<std::mutex> lock(listeners_mutex_);
      entries = listeners_;
    }
    for (const std::shared_ptr<state_entry>& entry : entries) {
      std::unique_lock<std::mutex> lock(listeners_mutex_);
      if (!entry->listed) continue;
      state_sink* const sink = entry->sink.get();
      running_ = entry.get();
      deliverer_ = std::this_thread::get_id();
      lock.unlock();
      try {
        sink->deliver(state);
      } catch (...) {
        ++callback_failures_;
      }
      lock.lock();
      running_ = nullptr;
      deliverer_ = std::thread::id();
      std::unique_ptr<state_sink> dropped;
      if (entry->drop_after_call) dropped = std::move(entry->sink);
      lock.unlock();
      idle_.notify_all();
    }
  }

  std::chrono::nanoseconds jittered(std::chrono::nanoseconds backoff) {
    std::uniform_real_distribution<double> factor(0.5, 1.0);
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(
        static_cast<double>(backoff.count()) * factor(rng_)));
  }

  // The healer thread: hands out events, probes an idle connection, and
  // connects again, with backoff, while the host is away.
  void run() {
    std::chrono::nanoseconds backoff = backoff_initial_;
    bool try_now = false;  // the constructor has just tried
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      if (!events_.empty()) {
        std::vector<connection_state> events;
        events.swap(events_);
        lock.unlock();
        for (connection_state e : events) emit(e);
        lock.lock();
        continue;
      }
      if (phase_ == phase::connected) {
        backoff = backoff_initial_;
        try_now = true;
        const clock::time_point due = last_call() + probe_interval_;
        if (clock::now() < due) {
          wake_.wait_until(lock, due);
          continue;
        }
        const std::uint64_t epoch = epoch_;
        lock.unlock();
        touch();
        const int count = VelmoraGetDeviceCount();
        const bool unreachable = count < 0 && unreachable_now();
        lock.lock();
        if (unreachable) {
          lose_locked(epoch);
        } else if (count >= 0 && devices_ && static_cast<std::size_t>(count) != devices_->size()) {
          lock.unlock();
          compare_devices();  // a device came or went
          lock.lock();
        }
        continue;
      }
      if (!try_now) {
        wake_.wait_for(lock, jittered(backoff),
                       [&] { return stopping_ || phase_ == phase::connected; });
        backoff = std::min(backoff * 2, std::chrono::nanoseconds(backoff_max_));
        if (stopping_ || phase_ == phase::connected) continue;
      }
      try_now = false;
      lock.unlock();
      VelmoraProtocolDetails details{};
      std::error_code ignored;
      restore(&details, ignored, false, true);
      lock.lock();
    }
  }

  const std::chrono::milliseconds probe_interval_;
  const std::chrono::milliseconds backoff_initial_;
  const std::chrono::milliseconds backoff_max_;
  std::minstd_rand rng_;  // healer thread only
  std::thread thread_;    // set by start(), ended by stop(), on the owner's thread
  std::atomic<clock::rep> last_call_{0};
  std::atomic<std::uint64_t> callback_failures_{0};

  std::mutex restore_mutex_;

  std::mutex mutex_;
  std::condition_variable wake_;  // the healer waits on it
  bool stopping_ = false;
  phase phase_ = phase::never_connected;
  std::uint64_t epoch_ = 0;  // counts losses
  std::vector<connection_state> events_;
  std::optional<std::vector<device_mark>> devices_;
  color_table colors_;
  color_table buffered_;
  std::optional<int> priority_;
  bool control_ = false;
  std::uint64_t intent_version_ = 0;

  std::mutex listeners_mutex_;
  std::condition_variable idle_;  // signalled when running_ changes
  std::vector<std::shared_ptr<state_entry>> listeners_;
  const state_entry* running_ = nullptr;
  std::thread::id deliverer_;
};

inline void state_entry::cancel() noexcept {
  if (std::shared_ptr<healing_session> session = owner.lock()) session->unsubscribe(*this);
}

// A call through a healing client: refused at once while the host is lost;
// a failure that finds it unreachable makes it lost. No session: no
// healing, every call goes through.
class call_gate {
 public:
  call_gate(healing_session* session, std::error_code& ec) noexcept
      : session_(session), open_(session == nullptr || session->admit(&epoch_, ec)) {}
  bool open() const noexcept { return open_; }
  std::uint64_t epoch() const noexcept { return epoch_; }
  void settle(const std::error_code& ec) const noexcept {
    if (session_ != nullptr && open_) session_->settle(epoch_, ec);
  }
  // Ends an admitted call whose export reported succeeded: ec cleared, or
  // the library's error, settled. Returns succeeded.
  bool finish(bool succeeded, std::error_code& ec) const noexcept {
    if (succeeded) {
      ec.clear();
      return true;
    }
    ec = last_failure();
    settle(ec);
    return false;
  }

 private:
  healing_session* session_;
  std::uint64_t epoch_ = 0;
  bool open_;
};

// Owns a client's healing session: stops its thread when the client ends.
class session_owner {
 public:
  session_owner() noexcept = default;
  explicit session_owner(std::shared_ptr<healing_session> session) noexcept
      : session_(std::move(session)) {}
  session_owner(session_owner&& other) noexcept = default;
  session_owner& operator=(session_owner&& other) noexcept {
    if (this != &other) {
      reset();
      session_ = std::move(other.session_);
    }
    return *this;
  }
  session_owner(const session_owner&) = delete;
  session_owner& operator=(const session_owner&) = delete;
  ~session_owner() { reset(); }

  healing_session* get() const noexcept { return session_.get(); }
  const std::shared_ptr<healing_session>& shared() const noexcept { return session_; }

 private:
  void reset() noexcept {
    if (session_ == nullptr) return;
    session_->stop();
    session_.reset();
  }

  std::shared_ptr<healing_session> session_;
};

// A completion callable that tells the session when its call found the
// host unreachable.
template <typename F>
class settling_completion {
 public:
  settling_completion(F f, std::weak_ptr<healing_session> session, std::uint64_t epoch)
      : f_(std::move(f)), session_(std::move(session)), epoch_(epoch) {}
  void operator()(std::error_code ec) {
    if (std::shared_ptr<healing_session> s = session_.lock()) s->settle(epoch_, ec);
    std::invoke(std::move(f_), ec);
  }

 private:
  F f_;
  std::weak_ptr<healing_session> session_;
  std::uint64_t epoch_;
};

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_HEALER_HPP_
