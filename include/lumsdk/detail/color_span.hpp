// Part of lumsdk.hpp (include that, not this): which ranges a colour span
// may be made from.
#ifndef LUMSDK_DETAIL_COLOR_SPAN_HPP_
#define LUMSDK_DETAIL_COLOR_SPAN_HPP_

#include <iterator>
#include <type_traits>
#include <utility>

namespace lumsdk {
namespace detail {

// Whether Range is contiguous storage of T: std::data gives a pointer to
// T itself (not to a type derived from it), and std::size works.
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
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_COLOR_SPAN_HPP_
