#include "support/alloc_counter.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace sdk {
namespace test_support {
namespace {

std::atomic<size_t> g_live{0};
std::atomic<size_t> g_peak{0};
// Signed: a thread may free blocks that another one allocated.
thread_local long long t_live = 0;
thread_local long long t_peak = 0;

// Each block carries its size in front of it, so that delete knows what it
// gives back.
constexpr size_t kHeader = alignof(std::max_align_t);

void* Allocate(size_t size, bool nothrow) {
  void* raw = std::malloc(size + kHeader);
  if (raw == nullptr) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  *static_cast<size_t*>(raw) = size;
  const size_t live = g_live.fetch_add(size) + size;
  size_t peak = g_peak.load();
  while (live > peak && !g_peak.compare_exchange_weak(peak, live)) {
  }
  t_live += static_cast<long long>(size);
  if (t_live > t_peak) t_peak = t_live;
  return static_cast<char*>(raw) + kHeader;
}

void Free(void* block) {
  if (block == nullptr) return;
  void* raw = static_cast<char*>(block) - kHeader;
  g_live.fetch_sub(*static_cast<size_t*>(raw));
  t_live -= static_cast<long long>(*static_cast<size_t*>(raw));
  std::free(raw);
}

}  // namespace

size_t LiveBytes() { return g_live.load(); }
size_t PeakBytes() { return g_peak.load(); }
void ResetPeak() { g_peak.store(g_live.load()); }
long long ThreadLiveBytes() { return t_live; }
long long ThreadPeakBytes() { return t_peak; }
void ResetThreadPeak() { t_peak = t_live; }

}  // namespace test_support
}  // namespace sdk

using sdk::test_support::Allocate;
using sdk::test_support::Free;

void* operator new(size_t size) { return Allocate(size, false); }
void* operator new[](size_t size) { return Allocate(size, false); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void operator delete(void* block) noexcept { Free(block); }
void operator delete[](void* block) noexcept { Free(block); }
void operator delete(void* block, size_t) noexcept { Free(block); }
void operator delete[](void* block, size_t) noexcept { Free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block); }
