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
// Healing. A client connects again by itself when the host goes away and
// comes back, and restores what the application asked for through it: its
// colours, layer priority, exclusive control and key-press registration.
// While the host is away its calls fail at once with host_unreachable, and
// the colours they set are shown when the host is back. on_state() tells
// of it; client_options turns it off (see client_options).
//
// Threads. Any thread may call any function; the library runs one exchange
// with the host at a time. Key-press callables run on the library's
// notification thread, one press at a time; completion callables on a
// worker thread of the library; state callables on the client's healer
// thread. None runs with a lock of this header held. A callable that
// throws has its exception caught and dropped.
// A lumsdk::client may be used from several threads at once, except that
// reconnect() rewrites the details() of that object.
//
// State. All clients share the library's one session, so one healing
// client per program is the supported case. The header keeps what
// callbacks need (the list of key-press subscriptions, shared by the whole
// program, and each pending completion callable) and, per healing client,
// what it restores. Do every handshake through lumsdk::client
// (construction or reconnect()), so that subscriptions are registered again
// when a handshake had to reconnect.
#ifndef LUMSDK_HPP_
#define LUMSDK_HPP_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "LUMSDK.h"
#include "lumsdk/detail/color_span.hpp"
#include "lumsdk/detail/error_category.hpp"
#include "lumsdk/detail/never_destroyed.hpp"

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
  refused = detail::refused_code,
};

}  // namespace lumsdk

namespace std {
template <>
struct is_error_code_enum<lumsdk::errc> : true_type {};
}  // namespace std

namespace lumsdk {

// The category of every code this header reports, except
// std::errc::resource_deadlock_would_occur (see client::reconnect).
inline const std::error_category& category() noexcept { return detail::category_instance(); }

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

// What on_state() callables hear of a healing client's connection.
enum class connection_state {
  connected,        // the first handshake succeeded after the client was made without a host
  lost,             // the host went away; calls fail at once until restored
  restored,         // connected again, and everything the client restores is back
  devices_changed,  // the host's devices differ (after restored, or plugged in or out)
};

// How a client heals (see client and docs/cpp.md).
struct client_options {
  // Off: no healer thread, nothing remembered; the client behaves as the
  // bare library does (a lost host stays lost until reconnect()).
  bool heal = true;
  // How long the connection may be idle before the healer checks it with
  // one cheap call (none while calls flow).
  std::chrono::milliseconds probe_interval{1000};
  // The wait before each new handshake while the host is away: drawn from
  // half to all of the backoff, which starts here and doubles up to the
  // maximum.
  std::chrono::milliseconds backoff_initial{50};
  std::chrono::milliseconds backoff_max{2000};
};

}  // namespace lumsdk

// The header's insides, which work on the types above.
#include "lumsdk/detail/c_bridge.hpp"
#include "lumsdk/detail/completion.hpp"
#include "lumsdk/detail/healer.hpp"
#include "lumsdk/detail/key_hub.hpp"
#include "lumsdk/detail/listener.hpp"

namespace lumsdk {

// ---------------------------------------------------------------------------
// Handles

// A key-press or state subscription. Dropping it (or reset()) stops
// deliveries to its callable: on return the callable is not running, will
// not run again and has been destroyed. Dropped from inside its own
// callable, it returns at once and the callable is destroyed when its call
// returns. Move-only; one object must not be used by two threads at once.
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
    entry_->cancel();
    entry_.reset();
  }
  bool active() const noexcept { return entry_ != nullptr; }
  explicit operator bool() const noexcept { return active(); }

 private:
  friend class client;
  explicit subscription(std::shared_ptr<detail::listener> entry) noexcept
      : entry_(std::move(entry)) {}
  std::shared_ptr<detail::listener> entry_;
};

// Exclusive control of the lighting, given back when the guard is dropped
// (errors of that release are ignored; call release() to see them).
// Move-only; may outlive the client that made it. A healing client asks
// for control again after a restore for as long as a guard owns it.
class control_guard {
 public:
  control_guard() noexcept = default;
  control_guard(control_guard&& other) noexcept
      : owns_(std::exchange(other.owns_, false)), session_(std::move(other.session_)) {}
  control_guard& operator=(control_guard&& other) noexcept {
    if (this != &other) {
      std::error_code ignored;
      release(ignored);
      owns_ = std::exchange(other.owns_, false);
      session_ = std::move(other.session_);
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
    detail::or_throw("lumsdk::control_guard::release", [&](std::error_code& ec) { release(ec); });
  }
  void release(std::error_code& ec) noexcept {
    ec.clear();
    if (!std::exchange(owns_, false)) return;
    const std::shared_ptr<detail::healing_session> session = session_.lock();
    if (session != nullptr) session->remember_control(false);
    const detail::call_gate gate(session.get(), ec);
    if (gate.open()) gate.finish(VelmoraReleaseControl(0), ec);
  }

 private:
  friend class client;
  control_guard(bool owns, std::weak_ptr<detail::healing_session> session) noexcept
      : owns_(owns), session_(std::move(session)) {}
  bool owns_ = false;
  std::weak_ptr<detail::healing_session> session_;
};

// ---------------------------------------------------------------------------
// The client

class client {
 public:
  // Performs the handshake: connects to the host, or keeps the working
  // connection. After a failed handshake (the error_code form) details()
  // show no host, as after a failed reconnect(); a healing client then
  // keeps trying by itself and says connected when a host is there, so an
  // application may start before the host.
  client() : client(client_options()) {}
  explicit client(std::error_code& ec) : client(client_options(), ec) {}
  explicit client(const client_options& options) {
    detail::or_throw("lumsdk::client", [&](std::error_code& ec) { open(options, ec); });
  }
  client(const client_options& options, std::error_code& ec) { open(options, ec); }

  // Moving hands over the healing too; the moved-from client does not heal.
  client(client&&) noexcept = default;
  client& operator=(client&&) noexcept = default;
  client(const client&) = delete;
  client& operator=(const client&) = delete;
  // Stops the healer thread (do not end a client from one of its key-press
  // callables: the thread may be waiting for that callable's thread).
  ~client() = default;

  // The versions exchanged by the last handshake of construction or
  // reconnect() (not those of healing); the host's fields are empty and 0
  // when that handshake failed.
  const protocol_details& details() const noexcept { return details_; }

  // Performs the handshake again (after the host went away, say) and makes
  // the program's key-press subscriptions work on the connection it leaves;
  // a healing client restores what it remembers as well. Fails with the
  // handshake's error, or with the registration's when the subscriptions
  // could not be registered again (they keep trying at the next handshake
  // or on_key()). From a key-press callable it fails with
  // std::errc::resource_deadlock_would_occur: the handshake may have to stop
  // the thread that runs the callable.
  void reconnect() {
    detail::or_throw("lumsdk::client::reconnect", [&](std::error_code& ec) { reconnect(ec); });
  }
  void reconnect(std::error_code& ec) {
    if (session_.get() == nullptr) {
      connect(ec);
      return;
    }
    VelmoraProtocolDetails details{};
    if (session_.get()->restore(&details, ec)) details_ = detail::copy_details(details);
  }

  // Calls callable(connection_state) on the healer thread for every change
  // from now until the returned subscription is dropped. A callable may use
  // the client (its calls fail at once while the host is lost) but must not
  // end it. A client that does not heal says nothing: the subscription is
  // empty.
  template <typename F, typename = std::enable_if_t<detail::is_state_callable_v<F>>>
  [[nodiscard]] subscription on_state(F&& callable) {
    if (session_.get() == nullptr) return subscription();
    return subscription(session_.get()->subscribe(
        std::make_unique<detail::state_sink_for<std::decay_t<F>>>(std::forward<F>(callable))));
  }

  // State callables that threw (their exceptions are dropped).
  std::uint64_t state_callback_failures() const noexcept {
    return session_.get() != nullptr ? session_.get()->callback_failures() : 0;
  }

  // --- Devices and LEDs. Each call retains new records inside the library
  // until it unloads, so call these when needed, not every frame.

  int device_count() {
    return detail::or_throw("lumsdk::client::device_count",
                            [&](std::error_code& ec) { return device_count(ec); });
  }
  int device_count(std::error_code& ec) noexcept {
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return 0;
    const int count = VelmoraGetDeviceCount();
    return gate.finish(count >= 0, ec) ? count : 0;
  }

  device device_info(int device_index) {
    return detail::or_throw("lumsdk::client::device_info",
                            [&](std::error_code& ec) { return device_info(device_index, ec); });
  }
  device device_info(int device_index, std::error_code& ec) {
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return device();
    const VelmoraDeviceInfo* info = VelmoraGetDeviceInfo(device_index);
    return gate.finish(info != nullptr, ec) ? detail::copy_device(*info) : device();
  }

  // Every device, by index (one call for the count and one per device).
  std::vector<device> devices() {
    return detail::or_throw("lumsdk::client::devices",
                            [&](std::error_code& ec) { return devices(ec); });
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
    return detail::or_throw("lumsdk::client::positions",
                            [&](std::error_code& ec) { return positions(ec); });
  }
  std::vector<led_position> positions(std::error_code& ec) {
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return {};
    const VelmoraLedPositions* p = VelmoraGetLedPositions();
    if (!gate.finish(p != nullptr, ec)) return {};
    return detail::copy_positions(*p);
  }

  // Positions of one device's LEDs (host protocol 3 and later).
  std::vector<led_position> positions(int device_index) {
    return detail::or_throw("lumsdk::client::positions",
                            [&](std::error_code& ec) { return positions(device_index, ec); });
  }
  std::vector<led_position> positions(int device_index, std::error_code& ec) {
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return {};
    const VelmoraLedPositions* p = VelmoraGetLedPositionsByDeviceIndex(device_index);
    if (!gate.finish(p != nullptr, ec)) return {};
    return detail::copy_positions(*p);
  }

  // The LED of the key for an ASCII letter (case matters); empty when the
  // host has none. Other characters are a bad argument.
  std::optional<int> led_for_key(char key) {
    return detail::or_throw("lumsdk::client::led_for_key",
                            [&](std::error_code& ec) { return led_for_key(key, ec); });
  }
  std::optional<int> led_for_key(char key, std::error_code& ec) noexcept {
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return std::nullopt;
    const int id = VelmoraGetLedIdForKeyName(key);
    const VelmoraError code = id == 0 ? VelmoraGetLastError() : VelmoraErrorNone;
    if (code != VelmoraErrorNone) {
      ec = detail::code_of(static_cast<int>(code));
      gate.settle(ec);
      return std::nullopt;
    }
    ec.clear();
    return id != 0 ? std::optional<int>(id) : std::nullopt;
  }

  // --- Colours. A healing client remembers the colours it was asked for
  // (also while the host is away) and sets them again after a restore.

  // Sets the colours and waits for the host.
  void set_colors(const_color_span colors) {
    detail::or_throw("lumsdk::client::set_colors",
                     [&](std::error_code& ec) { set_colors(colors, ec); });
  }
  void set_colors(const_color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size, ec)) return;
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) gate.finish(VelmoraSetLedsColors(size, detail::c_colors(colors.data())), ec);
    if (!ec || detail::is_unreachable(ec)) remember_colors(colors);
  }

  // Reads the colours of the LEDs whose led_id the records hold into their
  // r, g and b (host protocol 4). Nothing is written on failure.
  void get_colors(color_span colors) {
    detail::or_throw("lumsdk::client::get_colors",
                     [&](std::error_code& ec) { get_colors(colors, ec); });
  }
  void get_colors(color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size, ec)) return;
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) gate.finish(VelmoraGetLedsColors(size, detail::c_colors(colors.data())), ec);
  }

  // As get_colors, for one device (host protocol 5).
  void get_colors(int device_index, color_span colors) {
    detail::or_throw("lumsdk::client::get_colors",
                     [&](std::error_code& ec) { get_colors(device_index, colors, ec); });
  }
  void get_colors(int device_index, color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size, ec)) return;
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return;
    gate.finish(
        VelmoraGetLedsColorsByDeviceIndex(device_index, size, detail::c_colors(colors.data())), ec);
  }

  // Queues the colours and returns at once. A worker thread of the library
  // sends everything queued every 10 ms (the latest colour per LED) and
  // then calls on_done(std::error_code) with the outcome, exactly once,
  // after which on_done is destroyed. When the call itself fails, on_done
  // is never called and the header keeps no copy of it.
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void set_colors_async(const_color_span colors, F&& on_done) {
    detail::or_throw("lumsdk::client::set_colors_async", [&](std::error_code& ec) {
      set_colors_async(colors, std::forward<F>(on_done), ec);
    });
  }
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void set_colors_async(const_color_span colors, F&& on_done, std::error_code& ec) {
    int size = 0;
    if (!detail::c_size(colors.size(), &size, ec)) return;
    const auto start = [&](VelmoraAsyncCallback callback, void* context) {
      return VelmoraSetLedsColorsAsync(size, detail::c_colors(colors.data()), callback, context);
    };
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) start_async(std::forward<F>(on_done), start, gate, ec);
    if (!gate.open() || !ec) remember_colors(colors);
  }
  // The same, completing a future (get() throws lumsdk::error on failure).
  // The error_code form returns an invalid future when the call fails.
  std::future<void> set_colors_async(const_color_span colors) {
    return detail::or_throw("lumsdk::client::set_colors_async",
                            [&](std::error_code& ec) { return set_colors_async(colors, ec); });
  }
  std::future<void> set_colors_async(const_color_span colors, std::error_code& ec) {
    std::promise<void> promise;
    std::future<void> done = promise.get_future();
    set_colors_async(
        colors, detail::promise_completion(std::move(promise), "lumsdk::client::set_colors_async"),
        ec);
    return ec ? std::future<void>() : std::move(done);
  }

  // --- The library's colour buffer (host protocol 5). A healing client
  // remembers buffered colours once they are flushed.

  // Stores colours for one device in the buffer; sends nothing.
  void buffer(int device_index, const_color_span colors) {
    detail::or_throw("lumsdk::client::buffer",
                     [&](std::error_code& ec) { buffer(device_index, colors, ec); });
  }
  void buffer(int device_index, const_color_span colors, std::error_code& ec) noexcept {
    int size = 0;
    if (!detail::c_size(colors.size(), &size, ec)) return;
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) {
      gate.finish(VelmoraSetLedsColorsBufferByDeviceIndex(device_index, size,
                                                          detail::c_colors(colors.data())),
                  ec);
    }
    if (session_.get() != nullptr && (!ec || detail::is_unreachable(ec))) {
      session_.get()->remember_buffered(colors.data(), colors.size());
    }
  }

  // Sends the whole buffer, empties it and waits for the host.
  void flush() {
    detail::or_throw("lumsdk::client::flush", [&](std::error_code& ec) { flush(ec); });
  }
  void flush(std::error_code& ec) noexcept {
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) gate.finish(VelmoraSetLedsColorsFlushBuffer(), ec);
    if (session_.get() != nullptr) {
      if (!ec || detail::is_unreachable(ec)) {
        session_.get()->remember_flushed();
      } else {
        session_.get()->forget_buffered();
      }
    }
  }

  // Takes the buffer now; a worker thread sends it on its next pass and
  // then calls on_done, as set_colors_async does.
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void flush_async(F&& on_done) {
    detail::or_throw("lumsdk::client::flush_async",
                     [&](std::error_code& ec) { flush_async(std::forward<F>(on_done), ec); });
  }
  template <typename F, typename = std::enable_if_t<detail::is_completion_v<F>>>
  void flush_async(F&& on_done, std::error_code& ec) {
    const auto start = [](VelmoraAsyncCallback callback, void* context) {
      return VelmoraSetLedsColorsFlushBufferAsync(callback, context);
    };
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) start_async(std::forward<F>(on_done), start, gate, ec);
    if (session_.get() == nullptr) return;
    if (!gate.open() || !ec) {
      session_.get()->remember_flushed();
    } else {
      session_.get()->forget_buffered();
    }
  }
  std::future<void> flush_async() {
    return detail::or_throw("lumsdk::client::flush_async",
                            [&](std::error_code& ec) { return flush_async(ec); });
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
  // While the host is away it fails as every call does: the guard owns
  // nothing, and nothing is asked for at the restore.
  [[nodiscard]] control_guard exclusive_control() {
    return detail::or_throw("lumsdk::client::exclusive_control",
                            [&](std::error_code& ec) { return exclusive_control(ec); });
  }
  [[nodiscard]] control_guard exclusive_control(std::error_code& ec) noexcept {
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return control_guard();
    if (!gate.finish(VelmoraRequestControl(0), ec)) return control_guard();
    if (session_.get() != nullptr) session_.get()->remember_control(true);
    return control_guard(true, session_.shared());
  }

  // This application's layer priority, 0 to 255 (host protocol 4); a
  // healing client sets it again after a restore, also when it was set
  // while the host was away.
  void set_layer_priority(int priority) {
    detail::or_throw("lumsdk::client::set_layer_priority",
                     [&](std::error_code& ec) { set_layer_priority(priority, ec); });
  }
  void set_layer_priority(int priority, std::error_code& ec) noexcept {
    const detail::call_gate gate(session_.get(), ec);
    if (gate.open()) gate.finish(VelmoraSetLayerPriority(priority), ec);
    if (session_.get() != nullptr && (!ec || detail::is_unreachable(ec))) {
      session_.get()->remember_priority(priority);
    }
  }

  // --- Key presses (host protocol 4)

  // Calls callable(key_event) for every key press and release from now until
  // the returned subscription is dropped. Subscriptions are the program's,
  // not this client's: they outlive it and survive reconnect() and healing
  // (a press is heard once, also across a restore). Callables run on the
  // library's notification thread, one press at a time, in subscription
  // order; one subscribed during a press hears the next one. A callable may
  // use the client, subscribe and drop subscriptions (its own too), but not
  // reconnect(), construct a client or end one.
  template <typename F, typename = std::enable_if_t<detail::is_key_callable_v<F>>>
  [[nodiscard]] subscription on_key(F&& callable) {
    return detail::or_throw("lumsdk::client::on_key", [&](std::error_code& ec) {
      return on_key(std::forward<F>(callable), ec);
    });
  }
  // On failure returns an empty subscription; callable has been destroyed.
  template <typename F, typename = std::enable_if_t<detail::is_key_callable_v<F>>>
  [[nodiscard]] subscription on_key(F&& callable, std::error_code& ec) {
    auto sink = std::make_unique<detail::key_sink_for<std::decay_t<F>>>(std::forward<F>(callable));
    const detail::call_gate gate(session_.get(), ec);
    if (!gate.open()) return subscription();
    std::shared_ptr<detail::key_entry> entry =
        detail::key_hub::instance().subscribe(std::move(sink), ec);
    gate.settle(ec);
    return subscription(std::move(entry));
  }

 private:
  void open(const client_options& options, std::error_code& ec) {
    if (!options.heal) {
      connect(ec);
      return;
    }
    auto session = std::make_shared<detail::healing_session>(options);
    VelmoraProtocolDetails details{};
    if (session->restore(&details, ec, true)) details_ = detail::copy_details(details);
    session->start();
    session_ = detail::session_owner(std::move(session));
  }

  void connect(std::error_code& ec) {
    VelmoraProtocolDetails details{};
    if (detail::key_hub::instance().handshake(&details, ec)) {
      details_ = detail::copy_details(details);
    }
  }

  // Hands on_done to an asynchronous export, start, through an open gate;
  // a healing client's completion also settles what the call found.
  template <typename F, typename Start>
  void start_async(F&& on_done, const Start& start, const detail::call_gate& gate,
                   std::error_code& ec) {
    if (session_.get() == nullptr) {
      detail::start_async(std::forward<F>(on_done), start, ec);
      return;
    }
    detail::start_async(detail::settling_completion<std::decay_t<F>>(
                            std::forward<F>(on_done), session_.shared(), gate.epoch()),
                        start, ec);
  }

  void remember_colors(const_color_span colors) noexcept {
    if (session_.get() != nullptr) session_.get()->remember_colors(colors.data(), colors.size());
  }

  protocol_details details_;
  detail::session_owner session_;
};

}  // namespace lumsdk

#endif  // LUMSDK_HPP_
