// The connection to the host: one request/response exchange at a time over
// the client's "_in" and "_out" pipes, and notifications from "_callback"
// delivered to a handler on a thread of the connection.
#ifndef LUMSDK_TRANSPORT_RPC_CONNECTION_H_
#define LUMSDK_TRANSPORT_RPC_CONNECTION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "transport/pipe_stream.h"

namespace sdk {

using NotificationHandler = std::function<void(const std::string&)>;

// How a CallInto ended: answered; not tried, because the connection is broken
// (IsBroken would say so) and nothing was sent; or failed.
enum class CallOutcome { kAnswered, kNotSent, kFailed };

class IRpcConnection {
 public:
  virtual ~IRpcConnection() = default;
  // Sends the request text and returns the host's answer text, which still
  // ends with the host's terminating 0 byte. Empty on any failure.
  virtual std::string Call(const std::string& request) = 0;
  // The same, leaving the answer where it was read: *answer lies in the
  // connection's read buffer or in *storage (for an answer longer than that
  // buffer, or a connection that cannot do better) and stays valid until the
  // next exchange, so a caller holds the call mutex (set by SetCallMutex)
  // across CallInto and its read of the answer; CallInto does not take it
  // again. Empty unless answered. A broken connection is checked under that
  // lock, so a caller needs no IsBroken of its own first.
  virtual CallOutcome CallInto(TerminatedText request, std::string_view* answer,
                               std::string* storage) {
    *answer = std::string_view();
    if (IsBroken()) return CallOutcome::kNotSent;
    *storage = Call(std::string(request.view()));
    *answer = *storage;
    return answer->empty() ? CallOutcome::kFailed : CallOutcome::kAnswered;
  }
  virtual void SetNotificationHandler(NotificationHandler handler) = 0;
  virtual void StopNotifications() = 0;
  virtual bool HasNotificationHandler() = 0;
  virtual bool IsBroken() = 0;
  // The session's lock, held across each exchange. Set before any Call or
  // CallInto.
  virtual void SetCallMutex(std::recursive_mutex* callMutex) = 0;
  // Cuts every exchange under way short and refuses new ones; the
  // connection reports itself broken from then on. For the library's
  // teardown, so that no thread it joins waits for a host.
  virtual void Shutdown() {}
};

// The largest answer and notification the library reads. Real answers are a
// few tens of KB (the positions of every LED of a large desk); the bounds keep
// what one hostile or faulty host can cost in memory (an answer is parsed and
// converted, a few times its size) well bounded. A longer frame (up to the
// wire's kMaxFrameBytes) is read in pieces and thrown away, and counted: a
// notification is lost, a call fails, and the connection goes on in step.
constexpr uint32_t kMaxAnswerBytes = 2u << 20;
constexpr uint32_t kMaxNotificationBytes = 64u << 10;
// Undelivered notifications queued at most, by count and by bytes; while the
// queue is full, arriving notifications are dropped (counters().
// notificationsDropped), so a host that floods key presses to a slow callback
// costs bounded memory.
constexpr size_t kMaxQueuedNotifications = 1024;
constexpr size_t kMaxQueuedNotificationBytes = 1u << 20;

// Asks the host for this client's pipes and opens them. Null when no
// connection could be made.
std::unique_ptr<IRpcConnection> CreateRpcConnection(const std::string& clientIdentity);

constexpr wchar_t kPipePathPrefix[] = L"\\\\.\\pipe\\VelmoraLumenHub\\";
constexpr wchar_t kServiceIdentifier[] = L"{4A48E328-2134-4D19-B31F-764ADEFB844C}";
// Named from the host's side: the host reads "_in", writes "_out" and
// "_callback".
constexpr wchar_t kRequestPipeSuffix[] = L"_in";
constexpr wchar_t kResponsePipeSuffix[] = L"_out";
constexpr wchar_t kNotificationPipeSuffix[] = L"_callback";
constexpr int kPipeOpenTimeoutMs = 2000;
constexpr int kExchangeTimeoutMs = 5000;

// Names another host's well-known pipes, for running several hosts side by
// side: a pipe path, or a bare name that is taken as one under "\\.\pipe\".
// Unset or empty means the standard name.
constexpr char kPipeBaseVariable[] = "LUMSDK_PIPE_BASE";

// A pipe path for name: name itself when it starts with "\\.\pipe\" (in
// any case), else name under that root.
std::wstring PipePathFromName(const std::wstring& name);

// The well-known base name: what a test has set, else what kPipeBaseVariable
// names (read once, at the first call), else prefix and service identifier.
std::wstring WellKnownPipeBase();
// For tests and the test host: use base instead, so that runs in parallel
// do not meet. An empty base restores the default.
void SetWellKnownPipeBaseForTesting(const std::wstring& base);
// Releases what the two above keep; for the library's teardown.
void ForgetWellKnownPipeBase();

// The base name of this client's pipes from the host, empty on failure.
std::wstring RequestClientPipeName(const std::string& clientIdentity);

// Latin-1 both ways: each byte is the character of the same code; characters
// above 0xFF narrow to '?'. Pipe names from the host are widened this way.
std::wstring widen(const std::string& text);
std::string narrow(const std::wstring& text);

// The connection over the client's three pipes.
//
// Threads: with a notification handler set, the connection owns a reader
// thread (blocks in a read of the "_callback" pipe without time-out; stopped
// by cancelling that stream) and a dispatcher thread (waits on the queue's
// condition; stopped by clearing the run's running flag). Both hold the state
// of their run through a shared pointer, so the connection may be destroyed
// on any thread, even on the dispatcher from inside the handler: a thread of
// the connection is detached instead of joined by itself and then only
// touches its run's state.
//
// Locks, in order: the call mutex (the session's, or ownCallMutex_ until one
// is set) guards each exchange (Call takes it; a CallInto caller already
// holds the session's, and CallInto takes ownCallMutex_ only when none is
// set); lifecycleMutex_ serialises starting and
// stopping the threads (held across the joins); handlerMutex_ guards
// handler_ only; a run's queueMutex guards its queue; streamsMutex_ guards
// the stream pointers and is innermost. The two exchange pointers are dropped
// with both the call mutex and streamsMutex_ held, so holding either is
// enough to read them. None is held while the handler runs.
class RpcConnection final : public IRpcConnection {
 public:
  // The client's three pipes, used as they are: each message is one frame.
  RpcConnection(std::shared_ptr<IStream> responses, std::shared_ptr<IStream> requests,
                std::shared_ptr<IStream> notifications);
  ~RpcConnection() override;
  RpcConnection(const RpcConnection&) = delete;
  RpcConnection& operator=(const RpcConnection&) = delete;

  std::string Call(const std::string& request) override;
  CallOutcome CallInto(TerminatedText request, std::string_view* answer,
                       std::string* storage) override;
  void SetNotificationHandler(NotificationHandler handler) override;
  void StopNotifications() override;
  bool HasNotificationHandler() override;
  bool IsBroken() override;
  void SetCallMutex(std::recursive_mutex* callMutex) override;
  void Shutdown() override;

 private:
  struct NotificationRun;

  void StopLocked();
  void DropExchangeStreams();
  // IsBroken for a caller that holds the call mutex, which keeps every
  // stream pointer in place: no streams lock.
  bool BrokenDuringCall() const;
  // The session's call mutex once set, else the connection's own.
  std::recursive_mutex& CallMutex() {
    std::recursive_mutex* callMutex = callMutex_.load();
    return callMutex != nullptr ? *callMutex : ownCallMutex_;
  }
  // Call and CallInto, with the call mutex held; the latter sends nothing on
  // a broken connection.
  CallOutcome Exchange(TerminatedText request, std::string_view* answer, std::string* storage,
                       bool unlessBroken);

  std::atomic<std::recursive_mutex*> callMutex_{nullptr};
  std::recursive_mutex ownCallMutex_;
  // Set by Shutdown, and by a notification reader that ended on its own
  // (shared with the runs, which may outlive the connection): either way
  // nothing more can be delivered, so the connection is broken.
  std::atomic<bool> shutDown_{false};
  const std::shared_ptr<std::atomic<bool>> readerFailed_;

  // Set once the exchange streams have been dropped: a call then fails
  // without taking a lock.
  std::atomic<bool> exchangeDropped_{false};
  std::mutex streamsMutex_;
  std::shared_ptr<IStream> responseReader_;
  std::shared_ptr<IStream> requestWriter_;
  std::shared_ptr<IStream> notificationReader_;

  std::mutex lifecycleMutex_;
  std::mutex handlerMutex_;
  NotificationHandler handler_;
  std::shared_ptr<NotificationRun> run_;
  std::thread readerThread_;
  std::thread dispatcherThread_;
};

}  // namespace sdk

#endif  // LUMSDK_TRANSPORT_RPC_CONNECTION_H_
