// Part of lumsdk.hpp (include that, not this): an object that lives as long
// as the process.
#ifndef LUMSDK_DETAIL_NEVER_DESTROYED_HPP_
#define LUMSDK_DETAIL_NEVER_DESTROYED_HPP_

#include <new>

namespace lumsdk {
namespace detail {

// A process-lifetime object that is never destroyed: the library's threads
// may still call into the header while static objects are torn down.
template <typename T>
class never_destroyed {
 public:
  never_destroyed() { ::new (static_cast<void*>(storage_)) T(); }
  T& get() noexcept { return *std::launder(reinterpret_cast<T*>(storage_)); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace detail
}  // namespace lumsdk

#endif  // LUMSDK_DETAIL_NEVER_DESTROYED_HPP_
