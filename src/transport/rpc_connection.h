// The connection to the host: one request/response exchange at a time over
// the client's "_in" and "_out" pipes, and notifications from "_callback"
// delivered to a handler on a thread of the connection.
#ifndef LUMSDK_TRANSPORT_RPC_CONNECTION_H_
#define LUMSDK_TRANSPORT_RPC_CONNECTION_H_

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace sdk {

using NotificationHandler = std::function<void(const std::string&)>;

class IRpcConnection {
 public:
  virtual ~IRpcConnection() = default;
  // Sends the request text and returns the host's answer text, which still
  // ends with the host's terminating 0 byte. Empty on any failure.
  virtual std::string Call(const std::string& request) = 0;
  virtual void SetNotificationHandler(NotificationHandler handler) = 0;
  virtual void StopNotifications() = 0;
  virtual bool HasNotificationHandler() = 0;
  virtual bool IsBroken() = 0;
  // The session's lock, held across each exchange. Set before any Call.
  virtual void SetCallMutex(std::recursive_mutex* callMutex) = 0;
};

// Asks the host for this client's pipes and opens them. Null when no
// connection could be made.
std::unique_ptr<IRpcConnection> CreateRpcConnection(const std::string& clientIdentity);

}  // namespace sdk

#endif  // LUMSDK_TRANSPORT_RPC_CONNECTION_H_
