// Part of lumsdk.hpp (include that, not this): the error category of every
// code the C++ interface reports.
#ifndef LUMSDK_DETAIL_ERROR_CATEGORY_HPP_
#define LUMSDK_DETAIL_ERROR_CATEGORY_HPP_

#include <string>
#include <system_error>

#include "LUMSDK.h"
#include "lumsdk/detail/never_destroyed.hpp"

namespace lumsdk {
namespace detail {

// lumsdk::errc::refused: the host said no without a code.
constexpr int refused_code = -1;

class error_category_impl final : public std::error_category {
 public:
  const char* name() const noexcept override { return "lumsdk"; }

  // The library's codes say what LUMSDK.h's table says.
  std::string message(int code) const override {
    switch (code) {
#define LUMSDK_ERROR_MESSAGE(name, value, text) \
  case value:                                   \
    return text;
      LUMSDK_ERROR_MAP(LUMSDK_ERROR_MESSAGE)
#undef LUMSDK_ERROR_MESSAGE
      case refused_code:
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
      case refused_code:
        return std::errc::permission_denied;
      default:
        return std::error_condition(code, *this);
    }
  }
};

inline const std::error_category& category_instance() noexcept {
  static never_destroyed<error_category_impl> instance;
  return instance.get();
}

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_ERROR_CATEGORY_HPP_
