// Part of lumsdk.hpp (include that, not this; it comes after the value
// types there): the program's key-press subscriptions and the one C
// callback that serves them all.
#ifndef LUMSDK_DETAIL_KEY_HUB_HPP_
#define LUMSDK_DETAIL_KEY_HUB_HPP_

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "LUMSDK.h"
#include "lumsdk/detail/listener.hpp"
#include "lumsdk/detail/never_destroyed.hpp"

namespace lumsdk {
namespace detail {

template <typename F>
constexpr bool is_key_callable_v = std::is_invocable_v<std::decay_t<F>&, key_event>;

using key_sink = sink<key_event>;
template <typename F>
using key_sink_for = sink_for<key_event, F>;

// One subscription. Every field is guarded by key_hub::mutex_.
struct key_entry final : listener, std::enable_shared_from_this<key_entry> {
  explicit key_entry(std::unique_ptr<key_sink> s) : sink(std::move(s)) {}
  void cancel() noexcept override;
  std::uint64_t order = 0;  // subscription order, the order of delivery
  std::unique_ptr<key_sink> sink;
  bool listed = false;
  // Dropped from inside its own call: the delivering thread destroys the
  // callable once that call has returned.
  bool drop_after_call = false;
};

// The program's key-press subscriptions, and the one C callback that serves
// them all.
//
// The library cannot unregister a callback, so each registration passes a
// new generation number as its context, and presses are delivered only for
// the generation of the latest successful registration. A registration
// that the library kept over a handshake (the connection still worked) is
// then never heard twice, and one refused by the host is never heard at all.
//
// Locks, in the order in which they may be taken together:
//   1. registration_mutex_: serialises registrations and handshakes, so a
//      subscription is never added between a handshake and the
//      registration that follows it. Held during the exports it calls;
//      never taken on the delivering thread (the library may be waiting to
//      stop that thread while a handshake holds this lock).
//   2. delivery_mutex_: held by the delivering thread for one whole press,
//      so that presses are delivered one at a time even across two
//      connections' threads; no other code takes it.
//   3. mutex_: guards the list and the delivery state; innermost, never
//      held while a callable runs or is destroyed, or during an export.
class key_hub {
 public:
  static key_hub& instance() {
    static never_destroyed<key_hub> hub;
    return hub.get();
  }

  // Adds a subscription after registering with the library if no
  // registration serves the current connection. Null (sink released) on
  // failure.
  std::shared_ptr<key_entry> subscribe(std::unique_ptr<key_sink> sink, std::error_code& ec) {
    auto entry = std::make_shared<key_entry>(std::move(sink));
    if (on_delivering_thread()) {
      // A press is being delivered, so a registration is working.
      add(entry);
      ec.clear();
      return entry;
    }
    std::lock_guard<std::mutex> registering(registration_mutex_);
    bool registered;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      registered = active_generation_ != 0 && !stale_;
    }
    if (!registered && !register_locked(ec)) return nullptr;
    add(entry);
    ec.clear();
    return entry;
  }

  // Stops deliveries to entry. On return its callable is not running and
  // has been destroyed, unless this thread is running it: then it is
  // destroyed when that call returns.
  void unsubscribe(const std::shared_ptr<key_entry>& entry) noexcept {
    std::unique_ptr<key_sink> dropped;  // destroyed after the lock is released
    std::unique_lock<std::mutex> lock(mutex_);
    if (!entry->listed) return;
    entry->listed = false;
    entries_.erase(std::find(entries_.begin(), entries_.end(), entry));
    if (running_ == entry.get()) {
      if (deliverer_ == std::this_thread::get_id()) {
        entry->drop_after_call = true;
        return;
      }
      idle_.wait(lock, [&] { return running_ != entry.get(); });
    }
    dropped = std::move(entry->sink);
    lock.unlock();
  }

  // Performs the handshake into *details, unless this thread is delivering
  // a press (then it returns false: the handshake could have to stop this
  // very thread). A handshake that had to reconnect makes the library
  // forget its key-press callbacks, and there is no telling whether it did,
  // so existing subscriptions are registered again: now, or, when
  // register_now is false, by the caller's register_again().
  bool handshake(VelmoraProtocolDetails* details, std::error_code& ec, bool register_now = true) {
    if (on_delivering_thread()) {
      ec = std::make_error_code(std::errc::resource_deadlock_would_occur);
      return false;
    }
    std::lock_guard<std::mutex> registering(registration_mutex_);
    *details = VelmoraPerformProtocolHandshake();
    const VelmoraError code = VelmoraGetLastError();
    bool subscribed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stale_ = true;
      subscribed = !entries_.empty();
    }
    if (code != VelmoraErrorNone) {
      ec = code_of(static_cast<int>(code));
    } else if (!subscribed || !register_now || register_locked(ec)) {
      ec.clear();
    }
    return true;
  }

  // Registers again if subscriptions exist and no registration serves the
  // connection of the last handshake.
  void register_again(std::error_code& ec) {
    ec.clear();
    std::lock_guard<std::mutex> registering(registration_mutex_);
    bool needed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      needed = !entries_.empty() && (active_generation_ == 0 || stale_);
    }
    if (needed) register_locked(ec);
  }

  bool on_delivering_thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliverer_ == std::this_thread::get_id();
  }

 private:
  friend class never_destroyed<key_hub>;
  key_hub() = default;

  static void VELMORA_CALL trampoline(void* context, int vendor_key, bool pressed) noexcept {
    try {
      instance().deliver(reinterpret_cast<std::uintptr_t>(context), key_event{vendor_key, pressed});
    } catch (...) {
      // Nothing may unwind into the library's notification thread.
    }
  }

  // Called with registration_mutex_ held.
  bool register_locked(std::error_code& ec) {
    const std::uintptr_t generation = ++last_generation_;
    if (!VelmoraRegisterKeypressCallback(&key_hub::trampoline,
                                         reinterpret_cast<void*>(generation))) {
      ec = last_failure();
      return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    active_generation_ = generation;
    stale_ = false;
    return true;
  }

  void add(const std::shared_ptr<key_entry>& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entry->order = next_order_++;
    entry->listed = true;
    entries_.push_back(entry);
  }

  // Calls every subscription that existed when the press arrived, in
  // subscription order, each without mutex_ held, so a callable may
  // subscribe and drop subscriptions (its own included).
  void deliver(std::uintptr_t generation, const key_event& event) {
    std::lock_guard<std::mutex> one_press_at_a_time(delivery_mutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    if (generation != active_generation_) return;
    deliverer_ = std::this_thread::get_id();
    const std::uint64_t end = next_order_;
    std::uint64_t next = 0;
    for (;;) {
      const auto it = std::lower_bound(entries_.begin(), entries_.end(), next,
                                       [](const std::shared_ptr<key_entry>& e,
                                          std::uint64_t order) { return e->order < order; });
      if (it == entries_.end() || (*it)->order >= end) break;
      const std::shared_ptr<key_entry> entry = *it;
      key_sink* const sink = entry->sink.get();
      next = entry->order + 1;
      running_ = entry.get();
      lock.unlock();
      try {
        sink->deliver(event);
      } catch (...) {
        // A throwing callable costs only its own delivery.
      }
      lock.lock();
      running_ = nullptr;
      std::unique_ptr<key_sink> dropped;
      if (entry->drop_after_call) dropped = std::move(entry->sink);
      lock.unlock();
      idle_.notify_all();
      dropped.reset();
      lock.lock();
    }
    deliverer_ = std::thread::id();
  }

  std::mutex registration_mutex_;
  std::uintptr_t last_generation_ = 0;  // guarded by registration_mutex_

  std::mutex delivery_mutex_;

  std::mutex mutex_;
  std::condition_variable idle_;                     // signalled when running_ changes
  std::vector<std::shared_ptr<key_entry>> entries_;  // listed ones, by order
  std::uint64_t next_order_ = 1;
  std::uintptr_t active_generation_ = 0;  // 0: never registered
  bool stale_ = false;                    // a handshake ran since that registration
  const key_entry* running_ = nullptr;    // the entry whose callable runs now
  std::thread::id deliverer_;             // the thread delivering a press now
};

inline void key_entry::cancel() noexcept { key_hub::instance().unsubscribe(shared_from_this()); }

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_KEY_HUB_HPP_
