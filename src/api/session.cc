#include "api/session.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "core/hot.h"
#include "core/no_destructor.h"
#include "core/platform.h"
#include "lumsdk_version.h"

namespace sdk {

const char kLibraryVersionText[] = LUMSDK_VERSION_STRING;

namespace {
// Trivially destructible on purpose: a thread_local with a destructor keeps
// a MinGW DLL from unloading and hangs host threads at their exit.
thread_local int t_lastError = VelmoraErrorNone;

NoDestructor<Session> g_session;

// Its destructor is the library's one teardown. Defined after g_session, in
// the same file, so the session exists before it and for good.
struct Teardown {
  ~Teardown() { g_session->shutDown(); }
} g_teardown;
}  // namespace

LUMSDK_HOT void setLastError(int code) { t_lastError = code; }
VelmoraError lastError() { return static_cast<VelmoraError>(t_lastError); }

LUMSDK_HOT Session& session() { return g_session.get(); }

ConnectionPtr Session::connection() const {
  std::lock_guard<std::mutex> lock(connectionMutex_);
  return connection_;
}

ConnectionPtr Session::replaceConnection(ConnectionPtr next) {
  std::lock_guard<std::mutex> lock(connectionMutex_);
  if (closing_.load()) return next;
  connection_.swap(next);
  ++connectionNumber_;
  return next;
}

bool Session::exchangeFailedOnConnection() const {
  std::lock_guard<std::mutex> lock(connectionMutex_);
  return failedConnectionNumber_.load() == connectionNumber_ && connection_;
}

LUMSDK_HOT bool Session::isConnectionAlive() {
  std::lock_guard<std::recursive_mutex> lock(sessionMutex);
  // Stable while the session mutex is held (see session.h).
  IRpcConnection* current = connection_.get();
  return current != nullptr && !current->IsBroken();
}

std::string Session::exchange(const std::string& request) {
  std::lock_guard<std::recursive_mutex> lock(sessionMutex);
  IRpcConnection* current = connection_.get();
  if (current == nullptr) return std::string();
  std::string answer = current->Call(request);
  if (answer.empty()) failedConnectionNumber_.store(connectionNumber_);
  return answer;
}

LUMSDK_HOT bool Session::exchangeLocked(TerminatedText request, std::string_view* answer) {
  IRpcConnection* current = connection_.get();
  if (current == nullptr) return false;
  switch (current->CallInto(request, answer, &answerStorage_)) {
    case CallOutcome::kAnswered:
      return true;
    case CallOutcome::kNotSent:
      // A connection known to be broken is not counted as one an exchange
      // failed on, as no exchange was tried.
      return false;
    case CallOutcome::kFailed:
      break;
  }
  failedConnectionNumber_.store(connectionNumber_);
  return false;
}

void Session::publishHandshake(bool done) {
  hostProtocolVersion_.store(details.serverProtocolVersion, std::memory_order_release);
  if (done) handshakeDone_.store(true, std::memory_order_release);
}

void Session::shutDown() {
  // 1. No new work: exports, workers, notification threads and connection
  // set-up all look at this flag first.
  if (closing_.exchange(true)) return;
  // At process exit on Windows the other threads have been killed, possibly
  // holding locks: neither join nor lock, leave the memory to the system.
  if (platform::processExiting()) return;

  // 2. Nothing may wait for the host from here on: the connection's streams
  // are cancelled, so exchanges under way end at once and fail. Then the
  // threads stop. A thread of the library that is running this teardown
  // itself (a callback that ended the process) is detached, not joined.
  ConnectionPtr current = connection();
  if (current) {
    current->Shutdown();
    current->StopNotifications();
  }
  stopAsyncWorkers();
  // Exports already under way on application threads (or on the threads
  // just joined) end soon: their exchanges fail at once.
  while (callsInProgress_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  // 3. Nobody uses the state any more.
  current.reset();
  {
    std::lock_guard<std::mutex> lock(connectionMutex_);
    current.swap(connection_);
  }
  current.reset();
  {
    std::lock_guard<std::mutex> lock(keyPressCallbacksMutex);
    std::vector<std::shared_ptr<KeyPressCallbackData>>().swap(keyPressCallbacks);
  }
  releaseAsyncState();
  connectionFactoryForTesting = nullptr;
  details.serverVersion = nullptr;
  positionRecords.releaseAll();
  devicePositionRecords.releaseAll();
  deviceRecords.releaseAll();
  texts.releaseAll();
  std::string().swap(answerStorage_);
  ForgetWellKnownPipeBase();
}

const char* retainText(const std::string& text) {
  RecordStore& store = session().texts;
  if (void* kept = store.find(text)) return static_cast<const char*>(kept);
  std::unique_ptr<unsigned char[]> copy(new unsigned char[text.size() + 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  copy[text.size()] = '\0';
  return static_cast<const char*>(store.keep(text, std::move(copy), text.size() + 1));
}

}  // namespace sdk
