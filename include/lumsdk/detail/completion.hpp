// Part of lumsdk.hpp (include that, not this; it comes after the value
// types there): completion callables of asynchronous calls, owned by the
// header until the library calls them once.
#ifndef LUMSDK_DETAIL_COMPLETION_HPP_
#define LUMSDK_DETAIL_COMPLETION_HPP_

#include <functional>
#include <future>
#include <memory>
#include <system_error>
#include <type_traits>
#include <utility>

#include "LUMSDK.h"

namespace lumsdk {
namespace detail {

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

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_COMPLETION_HPP_
