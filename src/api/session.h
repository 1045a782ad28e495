// Process-wide session state shared by all exports: the per-thread last
// error, the handshake results, the connection and the memory handed to
// callers.
//
// Locks, in the order in which they may be taken together:
//   1. Session::sessionMutex (recursive): serialises every exchange with the
//      host and the whole handshake.
//   2. Session::keyPressCallbacksMutex: guards keyPressCallbacks; taken
//      after the session mutex by connection set-up, alone by registration
//      and by key-press delivery.
//   3. The mutex of each retainReturned list, and Session::connectionMutex
//      (only held to copy or swap the connection pointer): innermost; no
//      other lock is taken while either is held.
// The colour buffer and asynchronous-worker mutexes (src/leds) are never held
// together with any of these.
#ifndef LUMSDK_API_SESSION_H_
#define LUMSDK_API_SESSION_H_

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LUMSDK.h"
#include "transport/rpc_connection.h"

namespace sdk {

constexpr int kSdkProtocolVersion = 5;
extern const char kLibraryVersionText[];  // "3.0.171"

// The calling thread's last error.
void setLastError(int code);
VelmoraError lastError();

struct KeyPressCallbackData {
  VelmoraKeypressCallback callback;
  void* context;
};

using ConnectionPtr = std::shared_ptr<IRpcConnection>;

class Session {
 public:
  Session();
  ~Session();
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

  std::recursive_mutex sessionMutex;

  // Written only by the handshake, under sessionMutex.
  VelmoraProtocolDetails details{};
  void publishHandshake(bool done);  // makes details visible to the gates

  // Swaps in a new connection and returns the old one, which the caller
  // releases once it no longer holds the session mutex.
  ConnectionPtr replaceConnection(ConnectionPtr next);

  std::mutex keyPressCallbacksMutex;
  std::vector<std::shared_ptr<KeyPressCallbackData>> keyPressCallbacks;

 private:
  std::atomic<bool> handshakeDone_{false};
  std::atomic<int> hostProtocolVersion_{0};
  mutable std::mutex connectionMutex_;
  ConnectionPtr connection_;
};

// The one session of the process.
Session& session();

// Keeps a block handed to a caller alive until the library unloads and
// returns its address. Each element type has its own list and mutex.
char* retainText(const std::string& text);
template <typename T>
T* retainReturned(std::unique_ptr<T> block);
template <typename T>
T* retainReturned(std::unique_ptr<T[]> block);

}  // namespace sdk

#endif  // LUMSDK_API_SESSION_H_
