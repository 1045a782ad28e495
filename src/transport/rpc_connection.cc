#include "transport/rpc_connection.h"

#include <condition_variable>
#include <deque>
#include <utility>
#include <vector>

#include "core/counters.h"
#include "core/hot.h"
#include "core/no_destructor.h"
#include "core/platform.h"
#include "transport/binary_io.h"
#include "transport/pipe_stream.h"

namespace sdk {
namespace {

// Guards the two texts below; taken alone. Never destroyed (a handshake
// may still be opening pipes while the process exits); the library's
// teardown empties them.
std::mutex g_wellKnownMutex;
NoDestructor<std::wstring> g_wellKnownOverride;
NoDestructor<std::wstring> g_wellKnownFromEnvironment;
bool g_environmentRead = false;

std::string MessageToText(const std::vector<uint8_t>& body, size_t dropTail) {
  // From a pointer, not from iterators: the iterator form copies byte by byte.
  return std::string(reinterpret_cast<const char*>(body.data()), body.size() - dropTail);
}

}  // namespace

std::wstring widen(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  for (size_t i = 0; i < text.size(); ++i) {
    wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
  }
  return wide;
}

std::string narrow(const std::wstring& text) {
  std::string out(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) {
    const auto code = static_cast<uint32_t>(text[i]);
    out[i] = code <= 0xFF ? static_cast<char>(code) : '?';
  }
  return out;
}

std::wstring PipePathFromName(const std::wstring& name) {
  static const wchar_t kPipeRoot[] = L"\\\\.\\pipe\\";
  const size_t rootLength = sizeof kPipeRoot / sizeof kPipeRoot[0] - 1;
  bool rooted = name.size() >= rootLength;
  for (size_t i = 0; rooted && i < rootLength; ++i) {
    const wchar_t c = name[i];
    rooted = (c >= L'A' && c <= L'Z' ? c + (L'a' - L'A') : c) == kPipeRoot[i];
  }
  return rooted ? name : kPipeRoot + name;
}

std::wstring WellKnownPipeBase() {
  std::lock_guard<std::mutex> lock(g_wellKnownMutex);
  if (!g_wellKnownOverride->empty()) return g_wellKnownOverride.get();
  // Read once, by the first caller (the first handshake), so that a process
  // talks to one host for its whole life.
  if (!g_environmentRead) {
    g_wellKnownFromEnvironment.get() = platform::environmentText(kPipeBaseVariable);
    g_environmentRead = true;
  }
  if (!g_wellKnownFromEnvironment->empty())
    return PipePathFromName(g_wellKnownFromEnvironment.get());
  return std::wstring(kPipePathPrefix) + kServiceIdentifier;
}

void SetWellKnownPipeBaseForTesting(const std::wstring& base) {
  std::lock_guard<std::mutex> lock(g_wellKnownMutex);
  g_wellKnownOverride.get() = base;
}

void ForgetWellKnownPipeBase() {
  std::lock_guard<std::mutex> lock(g_wellKnownMutex);
  std::wstring().swap(g_wellKnownOverride.get());
  std::wstring().swap(g_wellKnownFromEnvironment.get());
}

std::wstring RequestClientPipeName(const std::string& clientIdentity) {
  const std::wstring base = WellKnownPipeBase();
  std::shared_ptr<IStream> toHost =
      OpenPipeOutputStream(base + kRequestPipeSuffix, kPipeOpenTimeoutMs);
  if (!toHost) return {};
  std::shared_ptr<IStream> fromHost =
      OpenPipeInputStream(base + kResponsePipeSuffix, kPipeOpenTimeoutMs);
  if (!fromHost) return {};
  fromHost->SetReadLimit(kMaxNotificationBytes);  // a pipe name is short
  // A failed write ends the attempt: the answer on "_out" would then be
  // another client's.
  if (toHost->Write(TextToMessage(clientIdentity), kExchangeTimeoutMs) != 0) return {};
  std::vector<uint8_t> body;
  if (fromHost->Read(body, kExchangeTimeoutMs) != 0 || body.size() < 2) return {};
  return widen(MessageToText(body, 1));
}

std::unique_ptr<IRpcConnection> CreateRpcConnection(const std::string& clientIdentity) {
  const std::wstring name = RequestClientPipeName(clientIdentity);
  if (name.empty()) return nullptr;
  // All three are attempted, in this order, so the host sees the same
  // sequence of connections whatever fails.
  std::shared_ptr<IStream> responses =
      OpenPipeInputStream(name + kResponsePipeSuffix, kPipeOpenTimeoutMs);
  std::shared_ptr<IStream> requests =
      OpenPipeOutputStream(name + kRequestPipeSuffix, kPipeOpenTimeoutMs);
  std::shared_ptr<IStream> notifications =
      OpenPipeInputStream(name + kNotificationPipeSuffix, kPipeOpenTimeoutMs);
  if (!responses || !requests || !notifications) return nullptr;
  responses->SetReadLimit(kMaxAnswerBytes);
  notifications->SetReadLimit(kMaxNotificationBytes);
  return std::unique_ptr<IRpcConnection>(
      new RpcConnection(std::move(responses), std::move(requests), std::move(notifications)));
}

// What the two threads of one start of notifications share. A fresh run per
// start keeps a detached dispatcher of an earlier run from waking up in a
// later one.
struct RpcConnection::NotificationRun {
  NotificationRun(std::shared_ptr<IStream> r, std::shared_ptr<std::atomic<bool>> f)
      : reader(std::move(r)), readerFailed(std::move(f)) {}

  const std::shared_ptr<IStream> reader;
  const std::shared_ptr<std::atomic<bool>> readerFailed;
  std::atomic<int> running{1};
  // Guards queue and queuedBytes; innermost.
  std::mutex queueMutex;
  std::condition_variable queueCondition;
  std::deque<std::string> queue;
  size_t queuedBytes = 0;

  void Stop() {
    running.exchange(0);
    // Taking the lock orders the flag before a waiter's next check.
    { std::lock_guard<std::mutex> lock(queueMutex); }
    queueCondition.notify_all();
  }
};

RpcConnection::RpcConnection(std::shared_ptr<IStream> responses, std::shared_ptr<IStream> requests,
                             std::shared_ptr<IStream> notifications)
    : readerFailed_(std::make_shared<std::atomic<bool>>(false)),
      responseReader_(std::move(responses)),
      requestWriter_(std::move(requests)),
      notificationReader_(std::move(notifications)) {}

RpcConnection::~RpcConnection() {
  if (platform::processExiting()) {
    // The threads have been killed, possibly holding our locks, and a
    // joinable thread object would end the process: leave it all to the
    // system.
    struct Leftovers {
      std::thread reader, dispatcher;
      std::shared_ptr<NotificationRun> run;
      std::shared_ptr<IStream> responses, notifications, requests;
      NotificationHandler handler;
    };
    new Leftovers{
        std::move(readerThread_),   std::move(dispatcherThread_),   std::move(run_),
        std::move(responseReader_), std::move(notificationReader_), std::move(requestWriter_),
        std::move(handler_)};
    return;
  }
  {
    std::lock_guard<std::mutex> lock(lifecycleMutex_);
    StopLocked();
  }
  notificationReader_.reset();
  requestWriter_.reset();
  responseReader_.reset();
}

void RpcConnection::SetCallMutex(std::recursive_mutex* callMutex) { callMutex_.store(callMutex); }

void RpcConnection::DropExchangeStreams() {
  exchangeDropped_.store(true);
  std::lock_guard<std::mutex> lock(streamsMutex_);
  requestWriter_.reset();
  responseReader_.reset();
}

void RpcConnection::Shutdown() {
  shutDown_.store(true);
  std::lock_guard<std::mutex> lock(streamsMutex_);
  for (IStream* stream : {responseReader_.get(), notificationReader_.get(), requestWriter_.get()}) {
    if (stream != nullptr) stream->Cancel();
  }
}

std::string RpcConnection::Call(const std::string& request) {
  // Refused at once, without waiting for the exchange under way.
  if (exchangeDropped_.load() || shutDown_.load()) return std::string();
  // The answer is copied out before the call mutex is let go: the next
  // exchange reads into the buffer it lies in.
  std::lock_guard<std::recursive_mutex> exchange(CallMutex());
  std::string_view answer;
  std::string storage;
  Exchange(request, &answer, &storage, false);
  return std::string(answer);
}

LUMSDK_HOT CallOutcome RpcConnection::CallInto(TerminatedText request, std::string_view* answer,
                                               std::string* storage) {
  // The caller holds the call mutex (see IRpcConnection::CallInto): it is not
  // taken again. Without one set, no caller can hold the connection's own.
  if (callMutex_.load() != nullptr) return Exchange(request, answer, storage, true);
  std::lock_guard<std::recursive_mutex> own(ownCallMutex_);
  return Exchange(request, answer, storage, true);
}

LUMSDK_HOT bool RpcConnection::BrokenDuringCall() const {
  return shutDown_.load() || readerFailed_->load() || !responseReader_ || !requestWriter_ ||
         !notificationReader_ || responseReader_->IsBroken() || requestWriter_->IsBroken() ||
         notificationReader_->IsBroken();
}

LUMSDK_HOT CallOutcome RpcConnection::Exchange(TerminatedText request, std::string_view* answer,
                                               std::string* storage, bool unlessBroken) {
  *answer = std::string_view();
  // Too long to be sent as one frame: refused before a byte is written, so
  // the connection stays as it was.
  if (request.size() >= kMaxFrameBytes) return CallOutcome::kFailed;
  if (exchangeDropped_.load() || shutDown_.load()) return CallOutcome::kNotSent;
  if (unlessBroken && BrokenDuringCall()) return CallOutcome::kNotSent;
  // Plain pointers, without taking a reference or the streams lock: only an
  // exchange, under the call mutex held by its caller, drops the streams, and
  // the caller's reference keeps the connection (which owns them) alive.
  IStream* const writer = requestWriter_.get();
  IStream* const reader = responseReader_.get();
  if (writer == nullptr || reader == nullptr) return CallOutcome::kNotSent;

  if (writer->WriteText(request, kExchangeTimeoutMs) != 0) {
    // Whatever the error, part of the frame may have gone out and the host's
    // reader would be out of step: the exchange pipes are done for.
    DropExchangeStreams();
    return CallOutcome::kFailed;
  }
  // Read in place: the answer stays in the stream's buffer, which only the
  // next exchange (under the call mutex) reads into again.
  const int error = reader->ReadTextInPlace(answer, storage, kExchangeTimeoutMs);
  // An answer over the bound was read and dropped whole: the call fails,
  // the exchange is still in step.
  const bool oversized = error == kErrorInsufficientBuffer;
  if (oversized) counters().answersOversized.fetch_add(1);
  // More than one answer to one request (a host that answered twice): which
  // one belongs to it is unknowable, and every later answer would be the one
  // to the request before. The exchange is out of step for good.
  if ((error == 0 || oversized) && reader->QueryInput()) {
    DropExchangeStreams();
    *answer = std::string_view();
    return CallOutcome::kFailed;
  }
  if (error == 0 && !answer->empty()) return CallOutcome::kAnswered;
  *answer = std::string_view();
  if (reader->IsBroken()) DropExchangeStreams();
  return CallOutcome::kFailed;
}

LUMSDK_HOT bool RpcConnection::IsBroken() {
  if (shutDown_.load() || readerFailed_->load()) return true;
  // The streams lock keeps the stream pointers in place, as the call mutex
  // does for BrokenDuringCall.
  std::lock_guard<std::mutex> lock(streamsMutex_);
  return BrokenDuringCall();
}

bool RpcConnection::HasNotificationHandler() {
  std::lock_guard<std::mutex> lock(handlerMutex_);
  return static_cast<bool>(handler_);
}

void RpcConnection::SetNotificationHandler(NotificationHandler handler) {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  StopLocked();
  {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_ = handler;
  }
  if (!handler || !notificationReader_ || shutDown_.load()) return;
  platform::keepLoadedWhileThreadsRun();
  auto run = std::make_shared<NotificationRun>(notificationReader_, readerFailed_);
  run_ = run;
  // Dispatcher thread: owned by the connection; waits on the run's queue
  // condition; stopped by the run's running flag. It gets its copy of the
  // handler here, at launch, so that it never needs a lock a stopping thread
  // may hold.
  dispatcherThread_ = std::thread(
      [](std::shared_ptr<NotificationRun> r, NotificationHandler deliver) {
        std::deque<std::string> batch;
        while (r->running.load() == 1) {
          {
            std::unique_lock<std::mutex> lock(r->queueMutex);
            r->queueCondition.wait(lock,
                                   [&r] { return !r->queue.empty() || r->running.load() != 1; });
            if (r->running.load() != 1) return;
            batch.swap(r->queue);
            r->queuedBytes = 0;
          }
          for (const std::string& text : batch) {
            if (r->running.load() != 1) return;
            // The handler keeps the application's exceptions to itself;
            // this is for its own, so that none ends the process.
            try {
              deliver(text);
            } catch (...) {
              counters().threadFailures.fetch_add(1);
            }
          }
          batch.clear();
        }
      },
      run, std::move(handler));
  // Reader thread: owned by the connection; waits in a read of the
  // notification pipe without time-out; stopped by cancelling that stream
  // (or by the pipe breaking).
  // Whatever ends it other than a stop (a failed read, memory exhausted)
  // marks the connection broken: the application then sees error 1 and
  // reconnects, instead of registrations that succeed while nothing can be
  // delivered.
  readerThread_ = std::thread(
      [](std::shared_ptr<NotificationRun> r) {
        try {
          std::string text;
          while (r->running.load() == 1) {
            const int error = r->reader->ReadText(text, 0);
            if (error == kErrorInsufficientBuffer && !r->reader->IsBroken()) {
              // Over the bound, read and thrown away: the next one is
              // delivered as usual.
              counters().notificationsOversized.fetch_add(1);
              continue;
            }
            // Any other failed read ends the thread even when it did not
            // break the stream: retrying at once would only spin on it.
            if (error != 0 || r->reader->IsBroken()) break;
            if (text.size() < 2) continue;  // an empty text: nothing to deliver
            text.pop_back();                // the host's terminating 0 byte
            bool queued = false;
            {
              std::lock_guard<std::mutex> lock(r->queueMutex);
              if (r->queue.size() < kMaxQueuedNotifications &&
                  r->queuedBytes + text.size() <= kMaxQueuedNotificationBytes) {
                r->queuedBytes += text.size();
                r->queue.push_back(std::move(text));
                queued = true;
              }
            }
            if (queued) {
              r->queueCondition.notify_all();
            } else {
              counters().notificationsDropped.fetch_add(1);
            }
          }
        } catch (...) {
          counters().threadFailures.fetch_add(1);
        }
        if (r->running.load() == 1) r->readerFailed->store(true);
      },
      run);
}

void RpcConnection::StopNotifications() {
  std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
  StopLocked();
}

void RpcConnection::StopLocked() {
  if (run_) {
    // Flag first: the reader, woken by the cancel, must see a stop and not a
    // failure.
    run_->Stop();
    run_->reader->Cancel();
    // A thread of this connection may be the one stopping it (the handler
    // dropped the last reference, or stopped notifications itself): it
    // cannot join itself, so it is detached and, holding its run's state,
    // finishes on its own.
    for (std::thread* t : {&readerThread_, &dispatcherThread_}) {
      if (!t->joinable()) continue;
      if (t->get_id() == std::this_thread::get_id()) {
        t->detach();
      } else {
        t->join();
      }
    }
    run_.reset();
  }
  std::lock_guard<std::mutex> lock(handlerMutex_);
  handler_ = nullptr;
}

}  // namespace sdk
