// Colours sent without waiting: the asynchronous set, the client-side buffer
// per device, and the synchronous and asynchronous flushes of that buffer.
//
// Two worker threads, each started by the first call that needs it and
// stopped at unload. A worker wakes 10 ms after its previous pass, takes
// everything queued since (one request: the latest colour per LED, or the
// latest flushed buffer), sends it and calls every queued callback with the
// outcome. Workers wake on their own clock; no call ever wakes one.
//
// An asynchronous set never waits: it writes into one of two halves of the
// pending state with atomics only (ColorSetHalf), and a pass takes the other
// half once the last caller still inside it has left.
//
// Locks: the buffer mutex, the colour-set mutex (starting and stopping its
// worker only) and the flush mutex each guard only their own state. No code
// holds two of them, none is held while the session mutex is taken (alive
// check, exchange) or while a callback runs, so callbacks may call any
// export.
//
// All of it lives in one never-destroyed AsyncState; the library's teardown
// (Session::shutDown) stops the workers and then releases it. No worker
// starts once teardown has begun.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/counters.h"
#include "core/hot.h"
#include "core/no_destructor.h"
#include "core/platform.h"
#include "json/json_text.h"
#include "json/request.h"
#include "leds/led_colors.h"
#include "transport/pipe_stream.h"

namespace sdk {
namespace {

struct CallbackEntry {
  VelmoraAsyncCallback callback;
  void* context;
};

// Callback entries are kept in segments allocated on first need and kept
// for later passes, so steady traffic allocates nothing. A pass holds at
// most kMaxSegments * kSegmentSlots entries (64 M, far more than callers
// make while one request is under way); a call beyond that is refused.
constexpr uint32_t kSegmentShift = 12;
constexpr uint32_t kSegmentSlots = 1u << kSegmentShift;
constexpr uint32_t kMaxSegments = 16384;
constexpr uint32_t kMaxSlots = kMaxSegments * kSegmentSlots;

// A slot that holds no entry (reserved by a call that was then refused:
// no memory for its segment) stays all null, and a null callback is never
// called, so it needs no mark of its own.
struct CallbackSegment {
  CallbackEntry slots[kSegmentSlots] = {};
};

// What one pass of a worker sends, and whom it tells: the flush worker's
// entries in callbacks, the colour-set worker's in segments (the first
// segmentEntries slots). Both containers are kept
// from pass to pass, so a steady flow of calls allocates nothing.
struct RequestBatch {
  std::vector<CallbackEntry> callbacks;
  std::vector<CallbackSegment*> segments;
  uint32_t segmentEntries = 0;
  std::string request;

  RequestBatch() = default;
  RequestBatch(const RequestBatch&) = delete;
  RequestBatch& operator=(const RequestBatch&) = delete;
  ~RequestBatch() {
    for (CallbackSegment* segment : segments) delete segment;
  }

  bool empty() const { return callbacks.empty() && segmentEntries == 0; }

  template <typename Call>
  void forEach(Call&& call) const {
    for (const CallbackEntry& entry : callbacks) call(entry);
    for (uint32_t i = 0; i < segmentEntries; ++i) {
      const CallbackSegment* segment = segments[i >> kSegmentShift];
      if (segment == nullptr) {  // its callers were all refused
        i |= kSegmentSlots - 1;
        continue;
      }
      call(segment->slots[i & (kSegmentSlots - 1)]);
    }
  }

  // Empties the batch; its segments' slots become unused again, ready to
  // be handed back to callers.
  void clear() {
    callbacks.clear();
    for (uint32_t i = 0; i < segmentEntries; i += kSegmentSlots) {
      CallbackSegment* segment = segments[i >> kSegmentShift];
      if (segment == nullptr) continue;
      const uint32_t end = std::min(segmentEntries - i, kSegmentSlots);
      for (uint32_t k = 0; k < end; ++k) segment->slots[k] = CallbackEntry{nullptr, nullptr};
    }
    segmentEntries = 0;
  }
};

// Fills batch (empty) with what is queued; leaves it empty when nothing is.
using TakeBatch = void (*)(RequestBatch& batch);

// Owns one worker thread. The thread runs until the holder is released,
// which clears the running flag and joins it; a pass already under way runs
// to its end, callbacks included.
class BatchWorker {
 public:
  BatchWorker(std::atomic<int>* running, TakeBatch take) : running_(running) {
    platform::keepLoadedWhileThreadsRun();
    thread_ = std::thread(&BatchWorker::loop, running, take);
  }

  ~BatchWorker() {
    running_->exchange(0);
    if (platform::processExiting()) {
      // The thread is already gone and its object must not be destroyed
      // while joinable; the system reclaims it.
      new std::thread(std::move(thread_));
    } else if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // released from its own callback: it ends after the pass
    } else if (thread_.joinable()) {
      thread_.join();
    }
  }

  BatchWorker(const BatchWorker&) = delete;
  BatchWorker& operator=(const BatchWorker&) = delete;

 private:
  static void loop(std::atomic<int>* running, TakeBatch take) {
    RequestBatch batch;
    while (running->load() != 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      runPass(take, batch);
      batch.clear();
    }
  }

  static void runPass(TakeBatch take, RequestBatch& batch) {
    try {
      take(batch);
    } catch (...) {
      return;  // out of memory while taking: nothing was taken that can be told
    }
    if (batch.empty()) return;
    bool result = false;
    int error = VelmoraErrorHostUnreachable;
    try {
      Session& s = session();
      // An empty request is one that could not be built (no memory).
      const std::string answerText = s.isConnectionAlive() && !batch.request.empty()
                                         ? s.exchange(batch.request)
                                         : std::string();
      if (!answerText.empty()) {
        const JsonHandle answer = parseJsonText(answerText);
        error = answer.getRef("errorCode").asInt();
        result = answer.getRef("result").asBool();
      }
    } catch (...) {
      result = false;
      error = VelmoraErrorHostUnreachable;
    }
    // An exception from a callback (one written in C++) is caught and
    // counted; every other callback of the pass still runs.
    batch.forEach([result, error](const CallbackEntry& entry) {
      if (!entry.callback) return;
      try {
        entry.callback(entry.context, result, static_cast<VelmoraError>(error));
      } catch (...) {
        counters().callbackExceptions.fetch_add(1);
      }
    });
  }

  std::atomic<int>* running_;
  std::thread thread_;
};

// LED ids run from 0 to 499.
constexpr int kLedIds = kLedIdCount;

// A colour as one word: components in bits 0-23 and kColorSet, so that 0
// means "not set". The id is the word's index in the table.
constexpr uint64_t kColorSet = uint64_t{1} << 32;

uint64_t packColor(const VelmoraLedColor& c) {
  return kColorSet | static_cast<uint64_t>(c.r) | static_cast<uint64_t>(c.g) << 8 |
         static_cast<uint64_t>(c.b) << 16;
}

VelmoraLedColor unpackColor(int id, uint64_t word) {
  return VelmoraLedColor{id, static_cast<int>(word & 0xFF), static_cast<int>((word >> 8) & 0xFF),
                         static_cast<int>((word >> 16) & 0xFF)};
}

// One half of the pending colour sets: the latest colour per LED, the LED
// ids in the order first set, and the callback entries, in call order.
// Callers write into the half that fills without any lock; a pass flips
// which half fills, waits until no caller still writes into the other one
// and then owns that half alone (see enterFillingHalf and takeColorSetBatch).
struct ColorSetHalf {
  // Callers inside this half. A caller counts itself in before it checks
  // that the half still fills, and out (release) after its last write; a
  // pass that sees 0 after its flip (acquire) sees every write.
  alignas(64) std::atomic<int> writers{0};
  // Slots reserved (the next entry's index); the one contended word of a call.
  alignas(64) std::atomic<uint32_t> slotCount{0};
  // Ids whose kColorSet bit is set: the caller that set the bit appends
  // the id, so each id is listed once, in the order first set.
  alignas(64) std::atomic<int> idCount{0};
  uint16_t ids[kLedIds];
  // Written with relaxed atomics: calls overlapping in time may set the
  // same LED, the last store wins, as under a lock.
  std::atomic<uint64_t> colors[kLedIds] = {};
  // Published with a compare-exchange by the caller that allocated it.
  std::atomic<CallbackSegment*> segments[kMaxSegments] = {};

  // The slot of entry index, allocating its segment if needed; null when
  // index is over the bound or there is no memory.
  CallbackEntry* slot(uint32_t index) {
    if (index >= kMaxSlots) return nullptr;
    std::atomic<CallbackSegment*>& holder = segments[index >> kSegmentShift];
    CallbackSegment* segment = holder.load(std::memory_order_acquire);
    if (segment == nullptr) {
      CallbackSegment* fresh = new (std::nothrow) CallbackSegment;
      if (fresh == nullptr) return nullptr;
      if (holder.compare_exchange_strong(segment, fresh, std::memory_order_acq_rel)) {
        segment = fresh;
      } else {
        delete fresh;  // another caller published one first; segment holds it
      }
    }
    return &segment->slots[index & (kSegmentSlots - 1)];
  }

  void set(const VelmoraLedColor& color) {
    std::atomic<uint64_t>& word = colors[color.ledId];
    const uint64_t packed = packColor(color);
    // Once set in this half, the bit stays until a pass takes the half.
    if ((word.load(std::memory_order_relaxed) & kColorSet) != 0) {
      word.store(packed, std::memory_order_relaxed);
    } else if ((word.exchange(packed, std::memory_order_relaxed) & kColorSet) == 0) {
      ids[idCount.fetch_add(1, std::memory_order_relaxed)] = static_cast<uint16_t>(color.ledId);
    }
  }

  void releaseSegments() {
    for (std::atomic<CallbackSegment*>& holder : segments) {
      delete holder.exchange(nullptr, std::memory_order_relaxed);
    }
  }
};

// The colour sets not yet sent, in two halves.
struct PendingColorSet {
  // Bit 0: the half callers write into. Flipped only by the worker's pass;
  // read by every call. Sequentially consistent with the halves' writers
  // counts: a caller's count-in and a pass's flip cannot both miss the other.
  std::atomic<unsigned> filling{0};
  ColorSetHalf halves[2];
  // Guards starting and stopping the worker, nothing else: taken by the
  // first call and by teardown, never on a call's usual path.
  std::mutex mutex;
  std::atomic<int> running{0};
  std::unique_ptr<BatchWorker> worker;
};

// The buffer handed over by the last asynchronous flush, guarded by mutex.
struct PendingFlush {
  std::mutex mutex;
  ColorBuffer buffer;
  std::vector<CallbackEntry> callbacks;
  std::atomic<int> running{0};
  std::unique_ptr<BatchWorker> worker;
};

// The client-side colour buffer, and an emptied one whose storage the next
// flush takes in its place; both guarded by mutex.
struct BufferState {
  std::mutex mutex;
  ColorBuffer buffer;
  ColorBuffer spare;
};

struct AsyncState {
  PendingColorSet colorSet;
  PendingFlush flush;
  BufferState buffer;
};

NoDestructor<AsyncState> g_async;

PendingColorSet& pendingColorSet() { return g_async->colorSet; }
PendingFlush& pendingFlush() { return g_async->flush; }
BufferState& colorBuffer() { return g_async->buffer; }

// Counts the caller in to the half that fills now.
ColorSetHalf& enterFillingHalf(PendingColorSet& p) {
  for (;;) {
    const unsigned filling = p.filling.load();
    ColorSetHalf& half = p.halves[filling & 1];
    half.writers.fetch_add(1);
    if (p.filling.load() == filling) return half;
    // A pass flipped meanwhile and may be waiting for this half: step out.
    half.writers.fetch_sub(1);
  }
}

// Waits until no caller writes into half; only a pass waits here, for
// callers that are between two stores (or preempted there). The loads are
// sequentially consistent, as the flip before them and a caller's count-in
// and check are: otherwise the first load could miss a caller that counted
// itself in before the flip (no cost on x86-64, where such a load is plain).
void waitForWriters(ColorSetHalf& half) {
  for (int spins = 0; half.writers.load() != 0; ++spins) {
    if (spins < 64) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }
}

void takeColorSetBatch(RequestBatch& batch) {
  PendingColorSet& p = pendingColorSet();
  ColorSetHalf& half = p.halves[p.filling.load() & 1];
  // Nothing reserved: nothing to take, and no reason to flip.
  if (half.slotCount.load() == 0) return;
  // The one allocation of the worker's first pass, made before anything is
  // taken: if it fails, everything stays queued.
  if (batch.segments.size() < kMaxSegments) batch.segments.resize(kMaxSegments, nullptr);
  p.filling.fetch_xor(1);
  waitForWriters(half);
  // The half is the pass's alone now. Its segments change places with the
  // batch's emptied ones, which callers fill after the next flip.
  batch.segmentEntries = std::min(half.slotCount.load(std::memory_order_relaxed), kMaxSlots);
  half.slotCount.store(0, std::memory_order_relaxed);
  const uint32_t used = (batch.segmentEntries + kSegmentSlots - 1) >> kSegmentShift;
  for (uint32_t k = 0; k < used; ++k) {
    batch.segments[k] = half.segments[k].exchange(batch.segments[k], std::memory_order_relaxed);
  }
  VelmoraLedColor colors[kLedIds];
  const int count = half.idCount.load(std::memory_order_relaxed);
  for (int i = 0; i < count; ++i) {
    const int id = half.ids[i];
    colors[i] = unpackColor(id, half.colors[id].load(std::memory_order_relaxed));
    half.colors[id].store(0, std::memory_order_relaxed);
  }
  half.idCount.store(0, std::memory_order_relaxed);
  // Every accepted call set at least one colour, so with entries taken the
  // list is not empty. A request that cannot be built (no memory) stays
  // empty, and the callbacks are told the failure.
  batch.request.clear();
  if (count == 0) return;
  try {
    batch.request = buildLedsColorsRequest(count, colors, method::kSetLedsColors);
  } catch (...) {
    batch.request.clear();
  }
}

// Storage kept for the next flush at most: far more devices than a desk has.
constexpr size_t kSpareDevices = 64;

// Empties a taken buffer and keeps its storage as the spare, unless the
// spare has as much already or it is past kSpareDevices (a burst of
// thousands of device indices is not held for good); what is not kept is
// freed outside the lock.
LUMSDK_HOT void recycleBuffer(ColorBuffer* taken) {
  if (taken->capacity() > kSpareDevices) return;
  taken->clear();
  BufferState& b = colorBuffer();
  std::lock_guard<std::mutex> lock(b.mutex);
  if (b.spare.capacity() < taken->capacity()) b.spare.swap(*taken);
}

void takeFlushBatch(RequestBatch& batch) {
  PendingFlush& p = pendingFlush();
  ColorBuffer taken;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    batch.callbacks.swap(p.callbacks);
    taken.swap(p.buffer);
  }
  // Every queued flush comes with its buffer, so without callbacks there is
  // nothing to send.
  if (!batch.callbacks.empty()) batch.request = buildFlushRequest(taken);
  recycleBuffer(&taken);
}

// Takes the buffered colours into *taken (empty), leaving the spare's
// storage in their place.
void takeBuffer(ColorBuffer* taken) {
  BufferState& b = colorBuffer();
  std::lock_guard<std::mutex> lock(b.mutex);
  taken->swap(b.buffer);
  b.buffer.swap(b.spare);
}

// Puts colours taken by a flush that could not be queued back. Colours
// buffered meanwhile are newer and stay.
void restoreBuffer(ColorBuffer&& taken) {
  BufferState& b = colorBuffer();
  std::lock_guard<std::mutex> lock(b.mutex);
  if (b.buffer.empty()) {
    b.buffer.swap(taken);
    return;
  }
  for (const DeviceColors& device : taken) {
    DeviceColors& current = b.buffer.device(device.deviceIndex());
    for (const VelmoraLedColor& c : device.list()) current.setIfAbsent(c);
  }
}

// True when the flush request of buffer fits in one frame. An estimate from
// the counts (at most 16 characters an LED, 64 a device) decides at once for
// any buffer of a sensible size; only a huge one is composed to be sure.
LUMSDK_HOT bool fitsOneRequest(const ColorBuffer& buffer) {
  size_t estimate = 128;
  for (const DeviceColors& device : buffer) estimate += 64 + device.size() * 16;
  return estimate < kMaxFrameBytes || buildFlushRequest(buffer).size() < kMaxFrameBytes;
}

// Starts the worker unless it runs; called with the state's mutex held.
// False once the library's teardown has begun: no thread starts then.
template <typename State>
bool ensureWorker(State* state, TakeBatch take) {
  if (state->running.load() != 0) return true;
  if (session().closing()) return false;
  state->running.exchange(1);
  try {
    state->worker = std::make_unique<BatchWorker>(&state->running, take);
  } catch (...) {
    state->running.exchange(0);
    throw;
  }
  return true;
}

// Stops a state's worker: taken out under the state's mutex, so no export
// can start another meanwhile (they see the teardown), joined outside it,
// since the worker's pass takes that mutex.
template <typename State>
void stopWorker(State* state) {
  std::unique_ptr<BatchWorker> worker;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    worker.swap(state->worker);
  }
  worker.reset();
}

// Starts the colour-set worker on the first call; false once teardown has
// begun. The mutex is taken only until the worker runs.
bool colorSetWorkerRunning(PendingColorSet& p) {
  if (p.running.load(std::memory_order_acquire) != 0) return true;
  std::lock_guard<std::mutex> lock(p.mutex);
  return ensureWorker(&p, takeColorSetBatch);
}

}  // namespace

void stopAsyncWorkers() {
  stopWorker(&pendingColorSet());
  stopWorker(&pendingFlush());
}

void releaseAsyncState() {
  {
    // Teardown runs this once no export is under way and the worker is
    // joined: nobody writes into the halves.
    PendingColorSet& p = pendingColorSet();
    for (ColorSetHalf& half : p.halves) {
      for (std::atomic<uint64_t>& word : half.colors) word.store(0);
      half.idCount.store(0);
      half.slotCount.store(0);
      half.releaseSegments();
    }
  }
  {
    PendingFlush& p = pendingFlush();
    std::lock_guard<std::mutex> lock(p.mutex);
    ColorBuffer().swap(p.buffer);
    std::vector<CallbackEntry>().swap(p.callbacks);
  }
  BufferState& b = colorBuffer();
  std::lock_guard<std::mutex> lock(b.mutex);
  ColorBuffer().swap(b.buffer);
  ColorBuffer().swap(b.spare);
}

bool setLedsColorsAsync(int size, const VelmoraLedColor* colors, VelmoraAsyncCallback callback,
                        void* context) {
  if (!session().handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (!acceptableColorList(size, colors, kCheckLedIds | kCheckComponents))
    return fail(VelmoraErrorBadArgument, false);
  PendingColorSet& p = pendingColorSet();
  if (!colorSetWorkerRunning(p)) return fail(VelmoraErrorHostUnreachable, false);
  // No lock and no wait: count in, reserve a slot, write, count out.
  ColorSetHalf& half = enterFillingHalf(p);
  CallbackEntry* slot = half.slot(half.slotCount.fetch_add(1, std::memory_order_relaxed));
  if (slot == nullptr) {
    // Out of memory or over the bound: refused, nothing queued.
    half.writers.fetch_sub(1, std::memory_order_release);
    counters().asyncSetsRefused.fetch_add(1, std::memory_order_relaxed);
    return fail(VelmoraErrorHostUnreachable, false);
  }
  for (int i = 0; i < size; ++i) half.set(colors[i]);
  *slot = CallbackEntry{callback, context};
  half.writers.fetch_sub(1, std::memory_order_release);
  setLastError(VelmoraErrorNone);
  return true;
}

LUMSDK_HOT bool setLedsColorsBufferByDeviceIndex(int deviceIndex, int size,
                                                 const VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kColorBuffer)
    return fail(VelmoraErrorProtocolMismatch, false);
  if (deviceIndex < 0 || !acceptableColorList(size, colors, kCheckLedIds | kCheckComponents))
    return fail(VelmoraErrorBadArgument, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  BufferState& b = colorBuffer();
  std::lock_guard<std::mutex> lock(b.mutex);
  DeviceColors& device = b.buffer.device(deviceIndex);
  for (int i = 0; i < size; ++i) device.set(colors[i]);
  // Success leaves the last error as the previous call left it.
  return true;
}

LUMSDK_HOT bool setLedsColorsFlushBuffer() {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kColorBuffer)
    return fail(VelmoraErrorProtocolMismatch, false);
  // Checked before the buffer is taken, so a host that is already gone
  // costs no colours.
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  ColorBuffer taken;
  takeBuffer(&taken);
  // Too much buffered to send as one request: refused, and the colours are
  // dropped. Kept, they could never be sent, and every later flush would be
  // refused the same way.
  const bool fits = fitsOneRequest(taken);
  // Written after room for the frame's header, so that it goes out framed
  // in place (see FrameText).
  std::string framed(kFrameHeaderBytes, '\0');
  if (fits) appendFlushRequest(&framed, taken);
  recycleBuffer(&taken);
  if (!fits) return fail(VelmoraErrorBadArgument, false);
  ShortAnswer answer;
  if (!exchangeShort(FrameText(&framed[kFrameHeaderBytes], framed.size() - kFrameHeaderBytes),
                     &answer)) {
    return false;
  }
  return readBoolAnswer(answer);
}

bool setLedsColorsFlushBufferAsync(VelmoraAsyncCallback callback, void* context) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kColorBuffer)
    return fail(VelmoraErrorProtocolMismatch, false);
  ColorBuffer taken;
  takeBuffer(&taken);
  // Checked now, while the call can still be refused: the worker would only
  // find out when the callback is all that is left. Dropped, as for the
  // synchronous flush.
  if (!fitsOneRequest(taken)) {
    recycleBuffer(&taken);
    return fail(VelmoraErrorBadArgument, false);
  }
  PendingFlush& p = pendingFlush();
  std::unique_lock<std::mutex> lock(p.mutex);
  if (!ensureWorker(&p, takeFlushBatch)) {
    lock.unlock();
    restoreBuffer(std::move(taken));
    return fail(VelmoraErrorHostUnreachable, false);
  }
  // A flush not yet taken by the worker is superseded, not merged.
  p.buffer.swap(taken);
  p.callbacks.push_back(CallbackEntry{callback, context});
  lock.unlock();
  recycleBuffer(&taken);  // the superseded flush's, if any
  setLastError(VelmoraErrorNone);
  return true;
}

}  // namespace sdk
