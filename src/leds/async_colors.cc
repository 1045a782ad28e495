// Colours sent without waiting: the asynchronous set, the client-side buffer
// per device, and the synchronous and asynchronous flushes of that buffer.
//
// Two worker threads, each started by the first call that needs it and
// stopped at unload. A worker wakes 10 ms after its previous pass, takes
// everything queued since (one request: the latest colour per LED, or the
// latest flushed buffer), sends it and calls every queued callback with the
// outcome.
//
// Locks: the buffer mutex, the colour-set mutex and the flush mutex each
// guard only their own state. No code holds two of them, none is held
// while the session mutex is taken (alive check, exchange) or while a
// callback runs, so callbacks may call any export.
//
// All of it lives in one never-destroyed AsyncState; the library's teardown
// (Session::shutDown) stops the workers and then releases it. No worker
// starts once teardown has begun.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/counters.h"
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

// What one pass of a worker sends, and whom it tells.
struct RequestBatch {
  std::vector<CallbackEntry> callbacks;
  std::string request;
};

// Fills batch (whose vectors are reused from pass to pass, so a steady flow
// of calls allocates nothing) with what is queued; leaves its callbacks
// empty when nothing is.
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
      batch.callbacks.clear();
    }
  }

  static void runPass(TakeBatch take, RequestBatch& batch) {
    try {
      take(batch);
    } catch (...) {
      return;  // out of memory while taking: nothing was taken that can be told
    }
    if (batch.callbacks.empty()) return;
    bool result = false;
    int error = VelmoraErrorHostUnreachable;
    try {
      Session& s = session();
      const std::string answerText =
          s.isConnectionAlive() ? s.exchange(batch.request) : std::string();
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
    for (const CallbackEntry& entry : batch.callbacks) {
      if (!entry.callback) continue;
      try {
        entry.callback(entry.context, result, static_cast<VelmoraError>(error));
      } catch (...) {
        counters().callbackExceptions.fetch_add(1);
      }
    }
  }

  std::atomic<int>* running_;
  std::thread thread_;
};

// The latest colour of each LED id (0 to 499) set since a table was last
// cleared: a fixed table, so setting a colour never allocates.
struct ColorTable {
  VelmoraLedColor colors[500];
  uint16_t ids[500];  // the ids set, in the order first set
  bool present[500] = {};
  int count = 0;

  void set(const VelmoraLedColor& color) {
    const int id = color.ledId;
    if (!present[id]) {
      present[id] = true;
      ids[count++] = static_cast<uint16_t>(id);
    }
    colors[id] = color;
  }
  void clear() {
    for (int i = 0; i < count; ++i) present[ids[i]] = false;
    count = 0;
  }
};

// Colours of asynchronous sets not yet sent. Two tables: callers write into
// tables[filling] under mutex; a pass flips filling (under mutex, O(1)) and
// then composes its request from the other table with no lock held, so a
// caller never waits for a copy or for the exchange. The callbacks vector
// swaps with the worker's, keeping its capacity: steady traffic allocates
// nothing under the lock.
struct PendingColorSet {
  std::mutex mutex;
  ColorTable tables[2];
  int filling = 0;  // guarded by mutex; flipped only by the worker
  std::vector<CallbackEntry> callbacks;
  // Set while the worker waits for mutex to take its batch. The mutex is
  // not fair: callers flat out would keep winning it and starve the worker's
  // pass, so they step aside meanwhile (the take itself is O(1)).
  std::atomic<bool> taking{false};
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

// The client-side colour buffer, guarded by mutex.
struct BufferState {
  std::mutex mutex;
  ColorBuffer buffer;
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

void takeColorSetBatch(RequestBatch& batch) {
  PendingColorSet& p = pendingColorSet();
  int taken;
  {
    p.taking.store(true);
    std::lock_guard<std::mutex> lock(p.mutex);
    p.taking.store(false);
    if (p.callbacks.empty()) return;
    batch.callbacks.swap(p.callbacks);
    taken = p.filling;
    p.filling = 1 - taken;
  }
  // Every accepted call set at least one colour, so the table is not empty.
  ColorTable& table = p.tables[taken];
  VelmoraLedColor colors[500];
  for (int i = 0; i < table.count; ++i) colors[i] = table.colors[table.ids[i]];
  batch.request = buildLedsColorsRequest(table.count, colors, method::kSetLedsColors);
  table.clear();
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
}

ColorBuffer takeBuffer() {
  BufferState& b = colorBuffer();
  ColorBuffer taken;
  std::lock_guard<std::mutex> lock(b.mutex);
  taken.swap(b.buffer);
  return taken;
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
  for (auto& device : taken) {
    DeviceColors& current = b.buffer[device.first];
    for (const auto& led : device.second) current.emplace(led.first, led.second);
  }
}

// True when the flush request of buffer fits in one frame. An estimate from
// the counts (at most 16 characters an LED, 64 a device) decides at once for
// any buffer of a sensible size; only a huge one is composed to be sure.
bool fitsOneRequest(const ColorBuffer& buffer) {
  size_t estimate = 128;
  for (const auto& device : buffer) estimate += 64 + device.second.size() * 16;
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

}  // namespace

void stopAsyncWorkers() {
  stopWorker(&pendingColorSet());
  stopWorker(&pendingFlush());
}

void releaseAsyncState() {
  {
    PendingColorSet& p = pendingColorSet();
    std::lock_guard<std::mutex> lock(p.mutex);
    p.tables[0].clear();
    p.tables[1].clear();
    std::vector<CallbackEntry>().swap(p.callbacks);
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
}

bool setLedsColorsAsync(int size, const VelmoraLedColor* colors, VelmoraAsyncCallback callback,
                        void* context) {
  if (!session().handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (!acceptableColorList(size, colors, kCheckLedIds | kCheckComponents))
    return fail(VelmoraErrorBadArgument, false);
  PendingColorSet& p = pendingColorSet();
  while (p.taking.load(std::memory_order_relaxed)) std::this_thread::yield();
  std::lock_guard<std::mutex> lock(p.mutex);
  if (!ensureWorker(&p, takeColorSetBatch)) return fail(VelmoraErrorHostUnreachable, false);
  ColorTable& table = p.tables[p.filling];
  for (int i = 0; i < size; ++i) table.set(colors[i]);
  p.callbacks.push_back(CallbackEntry{callback, context});
  setLastError(VelmoraErrorNone);
  return true;
}

bool setLedsColorsBufferByDeviceIndex(int deviceIndex, int size, const VelmoraLedColor* colors) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kColorBuffer)
    return fail(VelmoraErrorProtocolMismatch, false);
  if (deviceIndex < 0 || !acceptableColorList(size, colors, kCheckLedIds | kCheckComponents))
    return fail(VelmoraErrorBadArgument, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  BufferState& b = colorBuffer();
  std::lock_guard<std::mutex> lock(b.mutex);
  DeviceColors& device = b.buffer[deviceIndex];
  for (int i = 0; i < size; ++i) device[colors[i].ledId] = colors[i];
  // Success leaves the last error as the previous call left it.
  return true;
}

bool setLedsColorsFlushBuffer() {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kColorBuffer)
    return fail(VelmoraErrorProtocolMismatch, false);
  // Checked before the buffer is taken, so a host that is already gone
  // costs no colours.
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  ColorBuffer taken = takeBuffer();
  // Too much buffered to send as one request: refused, and the colours are
  // dropped. Kept, they could never be sent, and every later flush would be
  // refused the same way.
  if (!fitsOneRequest(taken)) return fail(VelmoraErrorBadArgument, false);
  const std::string request = buildFlushRequest(taken);
  JsonHandle answer;
  if (!exchangeText(request, &answer)) return false;
  return readBoolAnswer(answer);
}

bool setLedsColorsFlushBufferAsync(VelmoraAsyncCallback callback, void* context) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (s.hostProtocolVersion() < min_protocol::kColorBuffer)
    return fail(VelmoraErrorProtocolMismatch, false);
  ColorBuffer taken = takeBuffer();
  // Checked now, while the call can still be refused: the worker would only
  // find out when the callback is all that is left. Dropped, as for the
  // synchronous flush.
  if (!fitsOneRequest(taken)) return fail(VelmoraErrorBadArgument, false);
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
  setLastError(VelmoraErrorNone);
  return true;
}

}  // namespace sdk
