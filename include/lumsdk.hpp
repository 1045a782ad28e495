// lumsdk.hpp: the C++17 interface of LUMSDK, header-only, over the C exports
// of LUMSDK.h.
//
//   lumsdk::client host;                              // performs the handshake
//   host.set_colors({{host.led_for_key('A').value_or(0), 255, 0, 0}});
//   auto sub = host.on_key([](lumsdk::key_event e) { ... });  // until sub is dropped
//
// Errors. Every call throws lumsdk::error (a std::system_error) on failure
// and has an overload taking std::error_code& that reports instead. Those
// overloads throw only std::bad_alloc, and those marked noexcept never
// throw. Codes are lumsdk::errc values (the library's codes) or numbers the
// host sent, all in lumsdk::category(); they also compare equal to the
// nearest std::errc condition (bad_argument == std::errc::invalid_argument).
//
// Values. Devices, positions and protocol details are copied out of the
// library's records: nothing here holds a pointer into the library.
// led_color has the layout of VelmoraLedColor, so colours pass to the
// library without a copy.
//
// Threads. Any thread may call any function; the library runs one exchange
// with the host at a time. Key-press callables run on the library's
// notification thread, one press at a time; completion callables on a
// worker thread of the library. Neither runs with a lock of this header
// held. A callable that throws has its exception caught and dropped.
// A lumsdk::client may be used from several threads at once, except that
// reconnect() rewrites the details() of that object.
//
// State. All clients share the library's one session. The header keeps
// only what callbacks need: the list of key-press subscriptions (shared by
// the whole program) and each pending completion callable. Do every
// handshake through lumsdk::client (construction or reconnect()), so that
// subscriptions are registered again when a handshake had to reconnect.
#ifndef LUMSDK_HPP_
#define LUMSDK_HPP_

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "LUMSDK.h"

namespace lumsdk {

// The library's error codes. Calls that pass the host's "errorCode" through
// can report other numbers too; they share this category.
enum class errc {
  host_unreachable = VelmoraErrorHostUnreachable,      // no connection, a broken one, or no answer
  reserved = VelmoraErrorReserved,                     // only ever sent by the host
  handshake_required = VelmoraErrorHandshakeRequired,  // no handshake has succeeded yet
  protocol_mismatch = VelmoraErrorProtocolMismatch,  // the host's protocol is too old for the call
  bad_argument = VelmoraErrorBadArgument,            // argument rejected, or no usable answer
  // Not a library code: the host answered "no" without a code, for example
  // to a request for exclusive control.
  refused = -1,
};

}  // namespace lumsdk

namespace std {
template <>
struct is_error_code_enum<lumsdk::errc> : true_type {};
}  // namespace std

namespace lumsdk {
namespace detail {

// A process-lifetime object that is never destroyed: the library's threads
// may still call into this header while static objects are torn down.
template <typename T>
class never_destroyed {
 public:
  never_destroyed() { ::new (static_cast<void*>(storage_)) T(); }
  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

class error_category_impl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "lumsdk"; }

  std::string message(int code) const override {
    switch (code) {
      case 0:
        return "success";
      case VelmoraErrorHostUnreachable:
        return "host unreachable (no connection, a broken connection or no answer)";
      case VelmoraErrorHandshakeRequired:
        return "no handshake has succeeded yet";
      case VelmoraErrorProtocolMismatch:
        return "the host's protocol version is too old for this call";
      case VelmoraErrorBadArgument:
        return "argument rejected, or the answer held no usable result";
      case static_cast<int>(errc::refused):
        return "refused by the host";
      default:
        return "host error " + std::to_string(code);
    }
  }

  std::error_condition default_error_condition(int code) const noexcept override {
    switch (code) {
      case VelmoraErrorHostUnreachable:
        return std::errc::host_unreachable;
      case VelmoraErrorHandshakeRequired:
        return std::errc::not_connected;
      case VelmoraErrorProtocolMismatch:
        return std::errc::protocol_not_supported;
      case VelmoraErrorBadArgument:
        return std::errc::invalid_argument;
      case static_cast<int>(errc::refused):
        return std::errc::permission_denied;
      default:
        return std::error_condition(code, *this);
    }
  }
};

}  // namespace detail

// The category of every code this header reports, except
// std::errc::resource_deadlock_would_occur (see client::reconnect).
inline const std::error_category& category() noexcept {
  static detail::never_destroyed<detail::error_category_impl> instance;
  return instance.get();
}

inline std::error_code make_error_code(errc e) noexcept {
  return std::error_code(static_cast<int>(e), category());
}

// Thrown by every call that has no std::error_code& argument.
class error : public std::system_error {
 public:
  using std::system_error::system_error;
};

// ---------------------------------------------------------------------------
// Values

struct protocol_details {
  std::string sdk_version;     // this library's version text
  std::string server_version;  // the host's version text; empty until a handshake succeeded
  int sdk_protocol = 0;        // 5
  int server_protocol = 0;     // the host's protocol version; 0 until a handshake succeeded
  bool breaking_changes = false;
};

// A device attached to one channel of a device (an LED controller).
struct channel_device {
  int type = 0;  // the host's code for the attached device
  int led_count = 0;
};

struct channel {
  int total_led_count = 0;
  std::vector<channel_device> devices;  // empty also when the host sent no list
};

struct device {
  int type = 0;  // the host's device type code
  std::string model;
  int physical_layout = 0;
  int logical_layout = 0;
  int caps_mask = 0;
  int led_count = 0;
  std::vector<channel> channels;  // empty also when the host sent no list
};

// Geometry in the host's unit.
struct led_position {
  int led_id = 0;  // 1 to 499
  double top = 0;
  double left = 0;
  double height = 0;
  double width = 0;
};

// One LED's colour: id 0 to 499, components 0 to 255. Laid out as
// VelmoraLedColor, so a range of them goes to the library as it is.
struct led_color {
  int led_id = 0;
  int r = 0;
  int g = 0;
  int b = 0;
};

// A key press (pressed) or release of the host's key vendor_key. The host
// gives key ids their meaning; the library passes them through.
struct key_event {
  int vendor_key = 0;
  bool pressed = false;
};

// A view of contiguous led_color records, made implicitly from a vector, an
// array, a C array or a pointer and a size; the const form also from an
// initializer list. It refers to the caller's records, which must outlive
// the call (only the call: asynchronous calls copy the colours first).
namespace detail {

// Whether Range is contiguous storage of T: std::data gives a pointer to
// led_color itself (not to a type derived from it), and std::size works.
template <typename Range, typename T, typename = void>
struct holds_colors : std::false_type {};
template <typename Range, typename T>
struct holds_colors<Range, T,
                    std::void_t<decltype(std::data(std::declval<Range&>())),
                                decltype(std::size(std::declval<Range&>()))>>
    : std::bool_constant<
          std::is_pointer_v<decltype(std::data(std::declval<Range&>()))> &&
          std::is_convertible_v<
              std::remove_pointer_t<decltype(std::data(std::declval<Range&>()))> (*)[], T (*)[]>> {
};

}  // namespace detail

template <typename T>
class basic_color_span {
 public:
  constexpr basic_color_span() noexcept = default;
  constexpr basic_color_span(T* data, std::size_t size) noexcept : data_(data), size_(size) {}

  template <
      typename Range,
      typename = std::enable_if_t<
          !std::is_same_v<std::remove_cv_t<std::remove_reference_t<Range>>, basic_color_span> &&
          detail::holds_colors<std::remove_reference_t<Range>, T>::value>>
  constexpr basic_color_span(Range&& range) noexcept  // NOLINT: implicit by design
      : data_(std::data(range)), size_(std::size(range)) {}

  // The list's array lives to the end of the full expression that holds
  // the call, which is as long as a span handed to a call is used.
  template <typename U = T, typename = std::enable_if_t<std::is_const_v<U>>>
  constexpr basic_color_span(std::initializer_list<led_color> list) noexcept  // NOLINT
      : data_(std::data(list)), size_(list.size()) {}

  constexpr T* data() const noexcept { return data_; }
  constexpr std::size_t size() const noexcept { return size_; }
  constexpr bool empty() const noexcept { return size_ == 0; }
  constexpr T* begin() const noexcept { return data_; }
  constexpr T* end() const noexcept { return data_ + size_; }

 private:
  T* data_ = nullptr;
  std::size_t size_ = 0;
};

using color_span = basic_color_span<led_color>;
using const_color_span = basic_color_span<const led_color>;

namespace detail {

static_assert(std::is_standard_layout_v<led_color> && std::is_trivially_copyable_v<led_color> &&
                  sizeof(led_color) == sizeof(VelmoraLedColor) &&
                  offsetof(led_color, led_id) == offsetof(VelmoraLedColor, ledId) &&
                  offsetof(led_color, r) == offsetof(VelmoraLedColor, r) &&
                  offsetof(led_color, g) == offsetof(VelmoraLedColor, g) &&
                  offsetof(led_color, b) == offsetof(VelmoraLedColor, b),
              "led_color must have the layout of VelmoraLedColor");

// The library declares its colour arguments non-const but only reads them
// in the calls that take const_color_span.
inline VelmoraLedColor* c_colors(const led_color* colors) noexcept {
  return const_cast<VelmoraLedColor*>(reinterpret_cast<const VelmoraLedColor*>(colors));
}

// The library counts records in an int; a longer range is a bad argument.
inline bool c_size(std::size_t size, int* out) noexcept {
  if (size > static_cast<std::size_t>(INT_MAX)) return false;
  *out = static_cast<int>(size);
  return true;
}

inline std::error_code code_of(int value) noexcept { return std::error_code(value, category()); }

// The error of a call that returned its failure value. A false answer that
// came with no code is a refusal.
inline std::error_code last_failure() noexcept {
  const int code = static_cast<int>(VelmoraGetLastError());
  return code != 0 ? code_of(code) : make_error_code(errc::refused);
}

// The outcome an asynchronous completion reports.
inline std::error_code outcome(bool result, VelmoraError code) noexcept {
  if (result) return std::error_code();
  return code != VelmoraErrorNone ? code_of(static_cast<int>(code))
                                  : make_error_code(errc::refused);
}

inline void throw_if(const std::error_code& ec, const char* what) {
  if (ec) throw error(ec, what);
}

inline protocol_details copy_details(const VelmoraProtocolDetails& d) {
  protocol_details out;
  out.sdk_version = d.sdkVersion != nullptr ? d.sdkVersion : "";
  out.server_version = d.serverVersion != nullptr ? d.serverVersion : "";
  out.sdk_protocol = d.sdkProtocolVersion;
  out.server_protocol = d.serverProtocolVersion;
  out.breaking_changes = d.breakingChanges;
  return out;
}

inline device copy_device(const VelmoraDeviceInfo& info) {
  device out;
  out.type = info.type;
  out.model = info.model != nullptr ? info.model : "";
  out.physical_layout = info.physicalLayout;
  out.logical_layout = info.logicalLayout;
  out.caps_mask = info.capsMask;
  out.led_count = info.ledsCount;
  const VelmoraChannelsInfo& channels = info.channels;
  for (int i = 0; channels.channels != nullptr && i < channels.channelsCount; ++i) {
    const VelmoraChannelInfo& in = channels.channels[i];
    channel ch;
    ch.total_led_count = in.totalLedsCount;
    for (int j = 0; in.devices != nullptr && j < in.devicesCount; ++j) {
      ch.devices.push_back(channel_device{in.devices[j].type, in.devices[j].deviceLedCount});
    }
    out.channels.push_back(std::move(ch));
  }
  return out;
}

inline std::vector<led_position> copy_positions(const VelmoraLedPositions& p) {
  std::vector<led_position> out;
  if (p.positions == nullptr || p.positionsCount <= 0) return out;
  out.reserve(static_cast<std::size_t>(p.positionsCount));
  for (int i = 0; i < p.positionsCount; ++i) {
    const VelmoraLedPosition& in = p.positions[i];
    out.push_back(led_position{in.ledId, in.top, in.left, in.height, in.width});
  }
  return out;
}

// A completion callable, owned by this header from the asynchronous call
// until the library calls complete() once; complete() destroys it after
// calling it.
template <typename F>
class completion {
 public:
  template <typename G>
  explicit completion(G&& f) : f_(std::forward<G>(f)) {}

  static void VELMORA_CALL complete(void* context, bool result, VelmoraError code) noexcept {
    std::unique_ptr<completion> self(static_cast<completion*>(context));
    try {
      std::invoke(std::move(self->f_), outcome(result, code));
    } catch (...) {
      // Nothing may unwind into the library's worker thread.
    }
  }

 private:
  F f_;
};

// Hands f to an asynchronous export, start(callback, context). When the
// export refuses, it never calls back, so f is released here.
template <typename F, typename Start>
void start_async(F&& f, Start start, std::error_code& ec) {
  using call = completion<std::decay_t<F>>;
  auto pending = std::make_unique<call>(std::forward<F>(f));
  if (start(&call::complete, static_cast<void*>(pending.get()))) {
    pending.release();  // now the library's, until complete() runs
    ec.clear();
  } else {
    ec = last_failure();
  }
}

// Completes a std::future<void>.
class promise_completion {
 public:
  promise_completion(std::promise<void> promise, const char* what)
      : promise_(std::move(promise)), what_(what) {}
  void operator()(std::error_code ec) {
    if (ec) {
      promise_.set_exception(std::make_exception_ptr(error(ec, what_)));
    } else {
      promise_.set_value();
    }
  }

 private:
  std::promise<void> promise_;
  const char* what_;
};

template <typename F>
constexpr bool is_completion_v = std::is_invocable_v<std::decay_t<F>, std::error_code>;
template <typename F>
constexpr bool is_key_callable_v = std::is_invocable_v<std::decay_t<F>&, key_event>;

class key_sink {
 public:
  virtual ~key_sink() = default;
  virtual void deliver(const key_event& event) = 0;
};

template <typename F>
class key_sink_for final : public key_sink {
 public:
  template <typename G>
  explicit key_sink_for(G&& f) : f_(std::forward<G>(f)) {}
  void deliver(const key_event& event) override { std::invoke(f_, event); }

 private:
  F f_;
};

// One subscription. Every field is guarded by key_hub::mutex_.
struct key_entry {
  explicit key_entry(std::unique_ptr<key_sink> s) : sink(std::move(s)) {}
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
  // so existing subscriptions are registered again.
  bool handshake(VelmoraProtocolDetails* details, std::error_code& ec) {
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
    } else if (!subscribed || register_locked(ec)) {
      ec.clear();
    }
    return true;
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

  bool on_delivering_thread() {
    std::lock_guard<std::mutex> lock(mutex_);
    return deliverer_ == std::this_thread::get_id();
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

}  // namespace detail

// ---------------------------------------------------------------------------
// Handles

// A key-press subscription. Dropping it (or reset()) stops deliveries to its
// callable: on return the callable is not running, will not run again and
// has been destroyed. Dropped from inside its own callable, it returns at
// once and the callable is destroyed when its call returns. Move-only; one
// object must not be used by two threads at once.
class subscription {
 public:
  subscription() noexcept = default;
  subscription(subscription&& other) noexcept = default;
  subscription& operator=(subscription&& other) noexcept {
    if (this != &other) {
      reset();
      entry_ = std::move(other.entry_);
    }
    return *this;
  }
  subscription(const subscription&) = delete;
  subscription& operator=(const subscription&) = delete;
  ~subscription() { reset(); }

  void reset() noexcept {
    if (entry_ == nullptr) return;
    detail::key_hub::instance().unsubscribe(entry_);
    entry_.reset();
  }
  bool active() const noexcept { return entry_ != nullptr; }
  explicit operator bool() const noexcept { return active(); }

 private:
  friend class client;
  explicit subscription(std::shared_ptr<detail::key_entry> entry) noexcept
      : entry_(std::move(entry)) {}
  std::shared_ptr<detail::key_entry> entry_;
};

// Exclusive control of the lighting, given back when the guard is dropped
// (errors of that release are ignored; call release() to see them).
// Move-only; may outlive the client that made it.
class control_guard {
 public:
  control_guard() noexcept = default;
  control_guard(control_guard&& other) noexcept : owns_(std::exchange(other.owns_, false)) {}
  control_guard& operator=(control_guard&& other) noexcept {
    if (this != &other) {
      std::error_code ignored;
      release(ignored);
      owns_ = std::exchange(other.owns_, false);
    }
    return *this;
  }
  control_guard(const control_guard&) = delete;
  control_guard& operator=(const control_guard&) = delete;
  ~control_guard() {
    std::error_code ignored;
    release(ignored);
  }

  bool owns() const noexcept { return owns_; }
  explicit operator bool() const noexcept { return owns_; }

  // Gives control back now; the guard owns nothing afterwards, whatever
  // the outcome. Does nothing for a guard that owns nothing.
  void release() {
    std::error_code ec;
    release(ec);
    detail::throw_if(ec, "lumsdk::control_guard::release");
  }
  void release(std::error_code& ec) noexcept {
    ec.clear();
    if (!std::exchange(owns_, false)) return;
    if (!VelmoraReleaseControl(0)) ec = detail::last_failure();
  }

 private:
  friend class client;
  explicit control_guard(bool owns) noexcept : owns_(owns) {}
  bool owns_ = false;
};

// ---------------------------------------------------------------------------
// The client

class client {
 public:
  // Performs the handshake: connects to the host, or keeps the working
  // connection. After a failed handshake (the error_code form) details()
  // show no host, as after a failed reconnect(); reconnect() may try again.
  client() {
    std::error_code ec;
    connect(ec);
    detail::throw_if(ec, "lumsdk::client");
  }
  explicit client(std::error_code& ec) { connect(ec); }

  client(client&&) noexcept = default;
  client& operator=(client&&) noexcept = default;
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  ~client() = default;

  // The versions exchanged by the last handshake of this object; the host's
  // fields are empty and 0 when that handshake failed.
  const protocol_details& details() const noexcept { return details_; }

  // Performs the handshake again (after the host went away, say) and makes
  // the program's key-press subscriptions work on the connection it leaves.
  // Fails with the handshake's error, or with the registration's when the
  // subscriptions could not be registered again (they keep trying at the
  // next reconnect() or on_key()). From a key-press callable it fails with
  // std::errc::resource_deadlock_would_occur: the handshake may have to stop
  // the thread that runs the callable.
  void reconnect() {
    std::error_code ec;
    reconnect(ec);
    detail::throw_if(ec, "lumsdk::client::reconnect");
  }
  void reconnect(std::error_code& ec) { connect(ec); }

  // --- Devices and LEDs. Each call retains new records inside the library
  // until it unloads, so call these when needed, not every frame.

  int device_count() {
    std::error_code ec;
    const int count = device_count(ec);
    detail::throw_if(ec, "lumsdk::client::device_count");
    return count;
  }
  int device_count(std::error_code& ec) noexcept {
    const int count = VelmoraGetDeviceCount();
    if (count < 0) {
      ec = detail::last_failure();
      return 0;
    }
    ec.clear();
    return count;
  }

  device device_info(int device_index) {
    std::error_code ec;
    device d = device_info(device_index, ec);
    detail::throw_if(ec, "lumsdk::client::device_info");
    return d;
  }
  device device_info(int device_index, std::error_code& ec) {
    const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(device_index);
    if (info == nullptr) {
      ec = detail::last_failure();
      return device();
    }
    ec.clear();
    return detail::copy_device(*info);
  }

  // Every device, by index (one call for the count and one per device).
  std::vector<device> devices() {
    std::error_code ec;
    std::vector<device> all = devices(ec);
    detail::throw_if(ec, "lumsdk::client::devices");
    return all;
  }
  std::vector<device> devices(std::error_code& ec) {
    const int count = device_count(ec);
    std::vector<device> all;
    // Grown one at a time: the count is the host's word, not a size to trust.
    for (int i = 0; !ec && i < count; ++i) all.push_back(device_info(i, ec));
    if (ec) all.clear();
    return all;
  }

  // Positions of every LED.
  std::vector<led_position> positions() {
    std::error_code ec;
    std::vector<led_position> p = positions(ec);
    detail::throw_if(ec, "lumsdk::client::positions");
    return p;
  }
  std::vector<led_position> positions(std::error_code& ec) {
    const VelmoraLedPositions* p = VelmoraGetLedPositions();
    if (p == nullptr) {
      ec = detail::last_failure();
      return {};
    }
    ec.clear();
    return detail::copy_positions(*p);
  }

  // Positions of one device's LEDs (host protocol 3 and later).
  std::vector<led_position> positions(int device_index) {
    std::error_code ec;
    std::vector<led_position> p = positions(device_index, ec);
    detail::throw_if(ec, "lumsdk::client::positions");
    return p;
  }
  std::vector<led_position> positions(int device_index, std::error_code& ec) {
    const VelmoraLedPositions* p = VelmoraGetLedPositionsByDeviceIndex(device_index);
    if (p == nullptr) {
      ec = detail::last_failure();
      return {};
    }
    ec.clear();
    return detail::copy_positions(*p);
  }

  // The LED of the key for an ASCII letter (case matters); empty when the
  // host has none. Other characters are a bad argument.
  std::optional<int> led_for_key(char key) {
    std::error_code ec;
    const std::optional<int> id = led_for_key(key, ec);
    detail::throw_if(ec, "lumsdk::client::led_for_key");
    return id;
  }
  std::optional<int> led_for_key(char key, std::error_code& ec) noexcept {
    const int id = VelmoraGetLedIdForKeyName(key);
    const VelmoraError code = id == 0 ? VelmoraGetLastError() : VelmoraErrorNone;
    if (code != VelmoraErrorNone) {
      ec = detail::code_of(static_cast<int>(code));
      return std::nullopt;
    }
    ec.clear();
    return id != 0 ? std::optional<int>(id) : std::nullopt;
  }

  // --- Colours

  // Sets the colours and waits for the host.
  void set_colors(const_color_span colors) {
    std::error_code ec;
    set_colors(colors, ec);
    detail::throw_if(ec, "lumsdk::client::set_colors");
  }
  void set_colors(const_color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size)) {
      ec = make_error_code(errc::bad_argument);
    } else if (VelmoraSetLedsColors(size, detail::c_colors(colors.data()))) {
      ec.clear();
    } else {
      ec = detail::last_failure();
    }
  }

  // Reads the colours of the LEDs whose led_id the records hold into their
  // r, g and b (host protocol 4). Nothing is written on failure.
  void get_colors(color_span colors) {
    std::error_code ec;
    get_colors(colors, ec);
    detail::throw_if(ec, "lumsdk::client::get_colors");
  }
  void get_colors(color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size)) {
      ec = make_error_code(errc::bad_argument);
    } else if (VelmoraGetLedsColors(size, detail::c_colors(colors.data()))) {
      ec.clear();
    } else {
      ec = detail::last_failure();
    }
  }

  // As get_colors, for one device (host protocol 5).
  void get_colors(int device_index, color_span colors) {
    std::error_code ec;
    get_colors(device_index, colors, ec);
    detail::throw_if(ec, "lumsdk::client::get_colors");
  }
  void get_colors(int device_index, color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size)) {
      ec = make_error_code(errc::bad_argument);
    } else if (VelmoraGetLedsColorsByDeviceIndex(device_index, size,
                                                 detail::c_colors(colors.data()))) {
      ec.clear();
    } else {
      ec = detail::last_failure();
    }
  }

  // Queues the colours and returns at once. A worker thread of the library
  // sends everything queued every 10 ms (the latest colour per LED) and
  // then calls on_done(std::error_code) with the outcome, exactly once,
  // after which on_done is destroyed. When the call itself fails, on_done
  // is never called and the header keeps no copy of it.
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void set_colors_async(const_color_span colors, F&& on_done) {
    std::error_code ec;
    set_colors_async(colors, std::forward<F>(on_done), ec);
    detail::throw_if(ec, "lumsdk::client::set_colors_async");
  }
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void set_colors_async(const_color_span colors, F&& on_done, std::error_code& ec) {
    int size = 0;
    if (!detail::c_size(colors.size(), &size)) {
      ec = make_error_code(errc::bad_argument);
      return;
    }
    detail::start_async(
        std::forward<F>(on_done),
        [&](VelmoraAsyncCallback callback, void* context) {
          return VelmoraSetLedsColorsAsync(size, detail::c_colors(colors.data()), callback,
                                           context);
        },
        ec);
  }
  // The same, completing a future (get() throws lumsdk::error on failure).
  // The error_code form returns an invalid future when the call fails.
  std::future<void> set_colors_async(const_color_span colors) {
    std::error_code ec;
    std::future<void> done = set_colors_async(colors, ec);
    detail::throw_if(ec, "lumsdk::client::set_colors_async");
    return done;
  }
  std::future<void> set_colors_async(const_color_span colors, std::error_code& ec) {
    std::promise<void> promise;
    std::future<void> done = promise.get_future();
    set_colors_async(
        colors, detail::promise_completion(std::move(promise), "lumsdk::client::set_colors_async"),
        ec);
    return ec ? std::future<void>() : std::move(done);
  }

  // --- The library's colour buffer (host protocol 5)

  // Stores colours for one device in the buffer; sends nothing.
  void buffer(int device_index, const_color_span colors) {
    std::error_code ec;
    buffer(device_index, colors, ec);
    detail::throw_if(ec, "lumsdk::client::buffer");
  }
  void buffer(int device_index, const_color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size)) {
      ec = make_error_code(errc::bad_argument);
    } else if (VelmoraSetLedsColorsBufferByDeviceIndex(device_index, size,
                                                       detail::c_colors(colors.data()))) {
      ec.clear();
    } else {
      ec = detail::last_failure();
    }
  }

  // Sends the whole buffer, empties it and waits for the host.
  void flush() {
    std::error_code ec;
    flush(ec);
    detail::throw_if(ec, "lumsdk::client::flush");
  }
  void flush(std::error_code& ec) noexcept {
    if (VelmoraSetLedsColorsFlushBuffer()) {
      ec.clear();
    } else {
      ec = detail::last_failure();
    }
  }

  // Takes the buffer now; a worker thread sends it on its next pass and
  // then calls on_done, as set_colors_async does.
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void flush_async(F&& on_done) {
    std::error_code ec;
    flush_async(std::forward<F>(on_done), ec);
    detail::throw_if(ec, "lumsdk::client::flush_async");
  }
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void flush_async(F&& on_done, std::error_code& ec) {
    detail::start_async(
        std::forward<F>(on_done),
        [](VelmoraAsyncCallback callback, void* context) {
          return VelmoraSetLedsColorsFlushBufferAsync(callback, context);
        },
        ec);
  }
  std::future<void> flush_async() {
    std::error_code ec;
    std::future<void> done = flush_async(ec);
    detail::throw_if(ec, "lumsdk::client::flush_async");
    return done;
  }
  std::future<void> flush_async(std::error_code& ec) {
    std::promise<void> promise;
    std::future<void> done = promise.get_future();
    flush_async(detail::promise_completion(std::move(promise), "lumsdk::client::flush_async"), ec);
    return ec ? std::future<void>() : std::move(done);
  }

  // --- Control

  // Asks the host for exclusive control of the lighting. A host that says
  // no gives errc::refused (the error_code form: a guard that owns nothing).
  [[nodiscard]] control_guard exclusive_control() {
    std::error_code ec;
    control_guard guard = exclusive_control(ec);
    detail::throw_if(ec, "lumsdk::client::exclusive_control");
    return guard;
  }
  [[nodiscard]] control_guard exclusive_control(std::error_code& ec) noexcept {
    if (VelmoraRequestControl(0)) {
      ec.clear();
      return control_guard(true);
    }
    ec = detail::last_failure();
    return control_guard();
  }

  // This application's layer priority, 0 to 255 (host protocol 4).
  void set_layer_priority(int priority) {
    std::error_code ec;
    set_layer_priority(priority, ec);
    detail::throw_if(ec, "lumsdk::client::set_layer_priority");
  }
  void set_layer_priority(int priority, std::error_code& ec) noexcept {
    if (VelmoraSetLayerPriority(priority)) {
      ec.clear();
    } else {
      ec = detail::last_failure();
    }
  }

  // --- Key presses (host protocol 4)

  // Calls callable(key_event) for every key press and release from now until
  // the returned subscription is dropped. Subscriptions are the program's,
  // not this client's: they outlive it and survive reconnect(). Callables
  // run on the library's notification thread, one press at a time, in
  // subscription order; one subscribed during a press hears the next one.
  // A callable may use the client, subscribe and drop subscriptions (its
  // own too), but not reconnect() or construct a client.
  template <typename F, typename = std::enable_if_t<detail::is_key_callable_v<F>>>
  [[nodiscard]] subscription on_key(F&& callable) {
    std::error_code ec;
    subscription s = on_key(std::forward<F>(callable), ec);
    detail::throw_if(ec, "lumsdk::client::on_key");
    return s;
  }
  // On failure returns an empty subscription; callable has been destroyed.
  template <typename F, typename = std::enable_if_t<detail::is_key_callable_v<F>>>
  [[nodiscard]] subscription on_key(F&& callable, std::error_code& ec) {
    auto sink = std::make_unique<detail::key_sink_for<std::decay_t<F>>>(std::forward<F>(callable));
    return subscription(detail::key_hub::instance().subscribe(std::move(sink), ec));
  }

 private:
  void connect(std::error_code& ec) {
    VelmoraProtocolDetails details{};
    if (detail::key_hub::instance().handshake(&details, ec)) {
      details_ = detail::copy_details(details);
    }
  }

  protocol_details details_;
};

}  // namespace lumsdk

#endif  // LUMSDK_HPP_
