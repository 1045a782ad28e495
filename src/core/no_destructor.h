// Static storage for an object whose destructor never runs. For state that
// threads or late callers may still touch while the process exits or the
// library unloads: static destructors run in an order the linker decides,
// so instead the library's one teardown (Session::shutDown) stops whoever
// uses such state and then releases what it holds.
#ifndef LUMSDK_CORE_NO_DESTRUCTOR_H_
#define LUMSDK_CORE_NO_DESTRUCTOR_H_

#include <new>
#include <utility>

namespace sdk {

template <typename T>
class NoDestructor {
 public:
  template <typename... Args>
  explicit NoDestructor(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NoDestructor(const NoDestructor&) = delete;
  NoDestructor& operator=(const NoDestructor&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace sdk

#endif  // LUMSDK_CORE_NO_DESTRUCTOR_H_
