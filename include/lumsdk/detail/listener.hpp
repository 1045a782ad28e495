// Part of lumsdk.hpp (include that, not this): what a lumsdk::subscription
// holds, whatever it subscribes to, and the callable it delivers to.
#ifndef LUMSDK_DETAIL_LISTENER_HPP_
#define LUMSDK_DETAIL_LISTENER_HPP_

#include <functional>
#include <utility>

namespace lumsdk {
namespace detail {

// A subscription's callable, called with each Event behind one virtual call.
template <typename Event>
class sink {
 public:
  virtual ~sink() = default;
  virtual void deliver(const Event& event) = 0;
};

template <typename Event, typename F>
class sink_for final : public sink<Event> {
 public:
  template <typename G>
  explicit sink_for(G&& f) : f_(std::forward<G>(f)) {}
  void deliver(const Event& event) override { std::invoke(f_, event); }

 private:
  F f_;
};

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
