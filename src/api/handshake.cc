#include "api/handshake.h"

#include <cstdio>
#include <vector>

#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/platform.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {
namespace {

std::unique_ptr<IRpcConnection> createConnection(const std::string& identity) {
  const ConnectionFactory& factory = session().connectionFactoryForTesting;
  return factory ? factory(identity) : CreateRpcConnection(identity);
}

// Connections replaced by a handshake. They are released only after the
// handshake has unlocked the session mutex: releasing one stops its
// notification threads, and a key-press callback running there may be
// waiting for that mutex.
using Retired = std::vector<ConnectionPtr>;

// Opens a new connection in place of the current one; called with the session
// mutex held. Returns whether the new connection is alive.
bool setUpConnection(Retired* retired) {
  Session& s = session();
  ConnectionPtr next(createConnection(clientIdentity()));
  // Registered before the connection is published, so that no exchange can
  // run on it without the session mutex.
  if (next) next->SetCallMutex(&s.sessionMutex);
  retired->push_back(s.replaceConnection(std::move(next)));
  {
    std::lock_guard<std::mutex> lock(s.keyPressCallbacksMutex);
    s.keyPressCallbacks.clear();
  }
  return s.isConnectionAlive();
}

void refreshProtocolDetails(bool clearHostFields) {
  VelmoraProtocolDetails& d = session().details;
  if (d.sdkProtocolVersion == 0) {
    d.sdkProtocolVersion = kSdkProtocolVersion;
    d.sdkVersion = kLibraryVersionText;
  }
  if (clearHostFields) {
    d.serverVersion = nullptr;
    d.serverProtocolVersion = 0;
    d.breakingChanges = false;
  }
}

std::string handshakeRequestText() {
  return requestText(method::kHandshake, "sdkProtocolVersion", kSdkProtocolVersion);
}

}  // namespace

std::string clientIdentity() {
  char text[32];
  std::snprintf(text, sizeof text, ":pid:%lu", platform::currentProcessId());
  return text;
}

void setConnectionFactoryForTesting(ConnectionFactory factory) {
  session().connectionFactoryForTesting = std::move(factory);
}

VelmoraProtocolDetails performProtocolHandshake() {
  Session& s = session();
  Retired retired;  // declared before the lock, so released after unlocking
  std::lock_guard<std::recursive_mutex> lock(s.sessionMutex);

  std::string answerText;
  const std::string request = handshakeRequestText();
  // A connection that works is kept (and with it the key-press callbacks),
  // unless a call on it has failed.
  bool connected =
      (s.isConnectionAlive() && !s.exchangeFailedOnConnection()) || setUpConnection(&retired);
  if (connected) {
    answerText = s.exchange(request);
    // Reconnect and resend once, only when the connection broke.
    if (!s.isConnectionAlive()) {
      connected = setUpConnection(&retired);
      if (connected) answerText = s.exchange(request);
    }
  }
  if (!connected || answerText.empty()) {
    refreshProtocolDetails(true);
    s.publishHandshake(false);
    setLastError(VelmoraErrorHostUnreachable);
    return s.details;
  }

  const JsonHandle answer = parseJsonText(answerText);
  VelmoraProtocolDetails& d = s.details;
  d = VelmoraProtocolDetails{};
  d.serverProtocolVersion = answer.getRef("serverProtocolVersion").asInt();
  d.serverVersion = retainText(answer.getRef("serverVersion").asString());
  refreshProtocolDetails(false);
  d.breakingChanges =
      d.serverProtocolVersion > kSdkProtocolVersion && answer.getRef("breakingChanges").asBool();
  setLastError(VelmoraErrorNone);
  s.publishHandshake(d.serverVersion != nullptr);
  return d;
}

}  // namespace sdk
