// Part of lumsdk.hpp (include that, not this): what a lumsdk::subscription
// holds, whatever it subscribes to.
#ifndef LUMSDK_DETAIL_LISTENER_HPP_
#define LUMSDK_DETAIL_LISTENER_HPP_

namespace lumsdk {
namespace detail {

class listener {
 public:
  virtual ~listener() = default;
  // Stops deliveries. On return the callable is not running and has been
  // destroyed, unless this thread is running it: then it is destroyed when
  // that call returns.
  virtual void cancel() noexcept = 0;
};

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_LISTENER_HPP_
