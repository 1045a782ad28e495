// Process-wide session state shared by all exports: the per-thread last
// error, the handshake results, the connection and the memory handed to
// callers.
//
// The session is the one owner of the library's live state, and its
// teardown (shutDown) runs once, in this order, when the library unloads or
// the process exits:
//   1. no new work starts: exports fail with VelmoraErrorHostUnreachable,
//      no worker or notification thread starts, no connection is set up;
//   2. exchanges under way are cut short (the connection's streams are
//      cancelled), notification delivery and the asynchronous workers stop
//      and are joined, and exports still running on application threads are
//      waited for;
//   3. the state they used is released.
// The session object itself is never destroyed, so a late call still finds
// it and fails cleanly. At process exit on Windows the other threads are
// already gone: nothing is joined or released then.
//
// Locks, in the order in which they may be taken together:
//   1. Session::sessionMutex (recursive): serialises every exchange with the
//      host and the whole handshake.
//   2. Session::keyPressCallbacksMutex: guards keyPressCallbacks; taken
//      after the session mutex by connection set-up, alone by registration
//      and by key-press delivery.
//   3. The mutex of each RecordStore, and Session::connectionMutex_ (only
//      held to copy or swap the connection pointer): innermost; no other
//      lock is taken while either is held.
// The connection is swapped only under the session mutex (by the handshake)
// and by the teardown's step 3, once no call is left: a thread that holds the
// session mutex may use connection_ as it stands, without connectionMutex_
// and without a reference of its own. Exchanges take the session mutex before
// they look at the connection, so a call that waited for a handshake uses the
// connection that handshake left.
// The colour buffer and asynchronous-worker mutexes (src/leds) are never held
// together with any of these.
#ifndef LUMSDK_API_SESSION_H_
#define LUMSDK_API_SESSION_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "LUMSDK.h"
#include "api/retained.h"
#include "transport/rpc_connection.h"

namespace sdk {

constexpr int kSdkProtocolVersion = 5;
extern const char kLibraryVersionText[];  // LUMSDK_VERSION_STRING

// The calling thread's last error.
void setLastError(int code);
VelmoraError lastError();

struct KeyPressCallbackData {
  VelmoraKeypressCallback callback;
  void* context;
};

using ConnectionPtr = std::shared_ptr<IRpcConnection>;
using ConnectionFactory =
    std::function<std::unique_ptr<IRpcConnection>(const std::string& clientIdentity)>;

class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool handshakeDone() const { return handshakeDone_.load(std::memory_order_acquire); }
  // serverProtocolVersion of the protocol details, for the version gates.
  int hostProtocolVersion() const { return hostProtocolVersion_.load(std::memory_order_acquire); }

  // The current connection, or null. Each exchange holds the pointer it got
  // for its whole duration, so a handshake that replaces the connection
  // never destroys it under another thread's exchange: the last holder does.
  ConnectionPtr connection() const;

  // True when a connection exists and reports itself not broken.
  bool isConnectionAlive();

  // Sends one request on the current connection. Empty when there is no
  // connection or the exchange failed.
  std::string exchange(const std::string& request);

  // Sends one request on the current connection, unless it is known broken,
  // and calls read(answer) with the session mutex held: the answer is read
  // where the connection received it (no copy, no allocation), and it is
  // valid only until read returns. False, and read not called, when there is
  // no live connection or the exchange failed; else what read returns.
  template <typename Read>
  bool withAnswer(TerminatedText request, Read&& read) {
    std::lock_guard<std::recursive_mutex> lock(sessionMutex);
    std::string_view answer;
    if (!exchangeLocked(request, &answer)) return false;
    const bool result = read(answer);
    // An answer too long for the connection's buffer was assembled here:
    // its storage is not kept, as it would be held for good.
    if (!answerStorage_.empty()) std::string().swap(answerStorage_);
    return result;
  }

  // True when an exchange on the current connection has failed (its caller
  // saw VelmoraErrorHostUnreachable), even if the connection still works
  // (an answer over the bound was skipped). The handshake then replaces the
  // connection, so that applications have one rule: after a call failed
  // with 1, a handshake reconnects and key-press callbacks are registered
  // again.
  bool exchangeFailedOnConnection() const;

  std::recursive_mutex sessionMutex;

  // Written only by the handshake, under sessionMutex.
  VelmoraProtocolDetails details{};
  void publishHandshake(bool done);  // makes details visible to the gates

  // Swaps in a new connection and returns the old one, which the caller
  // releases once it no longer holds the session mutex. Once teardown has
  // begun nothing is swapped in: next comes back instead.
  ConnectionPtr replaceConnection(ConnectionPtr next);

  std::mutex keyPressCallbacksMutex;
  std::vector<std::shared_ptr<KeyPressCallbackData>> keyPressCallbacks;

  // Records handed to callers (see api/retained.h), one store per kind.
  // Answers to the two position calls are kept apart: the same text (a
  // null "result") means no positions to one and an unknown device to the
  // other.
  RecordStore positionRecords;
  RecordStore devicePositionRecords;
  RecordStore deviceRecords;
  RecordStore texts;

  // Replaces CreateRpcConnection in tests; set while no handshake runs.
  ConnectionFactory connectionFactoryForTesting;

  // --- Teardown.
  // Every export runs between enterCall and leaveCall. enterCall is false
  // (and enters nothing) once teardown has begun.
  bool enterCall() {
    callsInProgress_.fetch_add(1);
    if (!closing_.load()) return true;
    callsInProgress_.fetch_sub(1);
    return false;
  }
  void leaveCall() { callsInProgress_.fetch_sub(1); }
  bool closing() const { return closing_.load(); }
  // Runs the teardown described above; later calls do nothing.
  void shutDown();

 private:
  std::atomic<bool> handshakeDone_{false};
  std::atomic<int> hostProtocolVersion_{0};
  std::atomic<bool> closing_{false};
  std::atomic<int> callsInProgress_{0};
  mutable std::mutex connectionMutex_;
  ConnectionPtr connection_;
  // Counts the connections set up (guarded by connectionMutex_); the number
  // of the one an exchange failed on, 0 for none.
  uint64_t connectionNumber_ = 0;
  std::atomic<uint64_t> failedConnectionNumber_{0};
  // The exchange of withAnswer, with sessionMutex held.
  bool exchangeLocked(TerminatedText request, std::string_view* answer);
  // Where withAnswer's exchange assembles a long answer; guarded by
  // sessionMutex.
  std::string answerStorage_;
};

// The one session of the process.
Session& session();

// A copy of text that stays valid until the library unloads; equal texts
// share one copy.
const char* retainText(const std::string& text);

// Stops and joins the asynchronous colour workers, and releases their state
// (src/leds/async_colors.cc); called by the teardown only, in its steps 2 and 3.
void stopAsyncWorkers();
void releaseAsyncState();

}  // namespace sdk

#endif  // LUMSDK_API_SESSION_H_
