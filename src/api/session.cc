#include "api/session.h"

#include <cstring>

#include "transport/platform.h"

namespace sdk {

const char kLibraryVersionText[] = "3.0.171";

namespace {
// Trivially destructible on purpose: a thread_local with a destructor keeps
// a MinGW DLL from unloading and hangs host threads at their exit.
thread_local int t_lastError = VelmoraErrorNone;

Session g_session;
}  // namespace

void setLastError(int code) { t_lastError = code; }
VelmoraError lastError() { return static_cast<VelmoraError>(t_lastError); }

Session& session() { return g_session; }

Session::Session() = default;

Session::~Session() {
  // At process exit on Windows the connection's threads are already gone;
  // stopping them would wait on locks nobody releases. Leave it to the
  // system.
  if (platform::processExiting()) new ConnectionPtr(std::move(connection_));
}

ConnectionPtr Session::connection() const {
  std::lock_guard<std::mutex> lock(connectionMutex_);
  return connection_;
}

ConnectionPtr Session::replaceConnection(ConnectionPtr next) {
  std::lock_guard<std::mutex> lock(connectionMutex_);
  connection_.swap(next);
  return next;
}

bool Session::isConnectionAlive() {
  std::lock_guard<std::recursive_mutex> lock(sessionMutex);
  ConnectionPtr current = connection();
  return current && !current->IsBroken();
}

std::string Session::exchange(const std::string& request) {
  ConnectionPtr current = connection();
  if (!current) return std::string();
  return current->Call(request);
}

void Session::publishHandshake(bool done) {
  hostProtocolVersion_.store(details.serverProtocolVersion, std::memory_order_release);
  if (done) handshakeDone_.store(true, std::memory_order_release);
}

namespace {

// One list per element type; each block is appended under the list's own
// mutex and freed only when the library unloads.
template <typename Owner>
struct RetainedList {
  std::mutex mutex;
  std::vector<Owner> blocks;
};

template <typename Owner>
RetainedList<Owner>& retainedList() {
  static RetainedList<Owner> list;
  return list;
}

template <typename Owner>
auto retainBlock(Owner block) -> decltype(block.get()) {
  auto* address = block.get();
  RetainedList<Owner>& list = retainedList<Owner>();
  std::lock_guard<std::mutex> lock(list.mutex);
  list.blocks.push_back(std::move(block));
  return address;
}

}  // namespace

template <typename T>
T* retainReturned(std::unique_ptr<T> block) {
  return retainBlock(std::move(block));
}

template <typename T>
T* retainReturned(std::unique_ptr<T[]> block) {
  return retainBlock(std::move(block));
}

char* retainText(const std::string& text) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  std::memcpy(copy.get(), text.data(), text.size());
  copy[text.size()] = '\0';
  return retainReturned(std::move(copy));
}

template char* retainReturned(std::unique_ptr<char[]>);
template VelmoraChannelDeviceInfo* retainReturned(std::unique_ptr<VelmoraChannelDeviceInfo[]>);
template VelmoraChannelInfo* retainReturned(std::unique_ptr<VelmoraChannelInfo[]>);
template VelmoraDeviceInfo* retainReturned(std::unique_ptr<VelmoraDeviceInfo>);
template VelmoraLedPosition* retainReturned(std::unique_ptr<VelmoraLedPosition[]>);
template VelmoraLedPositions* retainReturned(std::unique_ptr<VelmoraLedPositions>);

}  // namespace sdk
