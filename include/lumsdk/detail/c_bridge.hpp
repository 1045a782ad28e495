// Part of lumsdk.hpp (include that, not this; it comes after the value
// types there): between the C++ values and the C library's records and
// error codes.
#ifndef LUMSDK_DETAIL_C_BRIDGE_HPP_
#define LUMSDK_DETAIL_C_BRIDGE_HPP_

#include <climits>
#include <cstddef>
#include <system_error>
#include <type_traits>
#include <vector>

#include "LUMSDK.h"

namespace lumsdk {
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
inline bool c_size(std::size_t size, int* out, std::error_code& ec) noexcept {
  if (c_size(size, out)) return true;
  ec = make_error_code(errc::bad_argument);
  return false;
}

inline std::error_code code_of(int value) noexcept { return std::error_code(value, category()); }

inline bool is_unreachable(const std::error_code& ec) noexcept {
  return ec.value() == VelmoraErrorHostUnreachable && ec.category() == category();
}

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

// The throwing form of a call: runs its error_code form, call(ec), and
// throws what that reported, as lumsdk::error with what as its text.
template <typename Call>
auto or_throw(const char* what, Call&& call) {
  std::error_code ec;
  if constexpr (std::is_void_v<std::invoke_result_t<Call&, std::error_code&>>) {
    call(ec);
    if (ec) throw error(ec, what);
  } else {
    auto result = call(ec);
    if (ec) throw error(ec, what);
    return result;
  }
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

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_C_BRIDGE_HPP_
