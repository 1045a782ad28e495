// Key-press callbacks: registration, and delivery of the host's
// notifications on the connection's dispatcher thread.
#include <memory>
#include <vector>

#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/counters.h"
#include "core/platform.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {
namespace {

// Runs on the dispatcher thread for each notification text. The callbacks
// are called on a copy of the list taken under its mutex, not under the
// mutex itself: a callback may then call any export (which takes the session
// mutex) while another thread's handshake, holding the session mutex, waits
// for the list's mutex to empty it.
//
// An exception thrown by a callback (one written in C++) is caught and
// counted, and the next callback runs: it must not end the process, nor
// cost the other callbacks their notification.
void deliverKeyPress(const std::string& text) {
  if (text.empty()) return;
  int key = 0;
  bool pressed = false;
  std::vector<std::shared_ptr<KeyPressCallbackData>> callbacks;
  try {
    const JsonHandle notification = parseJsonText(text);
    key = notification.getRef("vendorKey").asInt();
    pressed = notification.getRef("pressed").asBool();
    Session& s = session();
    std::lock_guard<std::mutex> lock(s.keyPressCallbacksMutex);
    callbacks = s.keyPressCallbacks;
  } catch (...) {
    // Out of memory for one notification: drop it rather than end the process.
    counters().threadFailures.fetch_add(1);
    return;
  }
  for (const auto& entry : callbacks) {
    try {
      entry->callback(entry->context, key, pressed);
    } catch (...) {
      counters().callbackExceptions.fetch_add(1);
    }
  }
}

}  // namespace

bool registerKeypressCallback(VelmoraKeypressCallback callback, void* context) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (callback == nullptr) return fail(VelmoraErrorBadArgument, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  if (s.hostProtocolVersion() < min_protocol::kRegisterKeypressCallback)
    return fail(VelmoraErrorProtocolMismatch, false);

  auto entry = std::make_shared<KeyPressCallbackData>(KeyPressCallbackData{callback, context});
  {
    std::lock_guard<std::mutex> lock(s.keyPressCallbacksMutex);
    s.keyPressCallbacks.push_back(std::move(entry));  // stays whatever follows
  }

  // Held so that two first registrations on different threads cannot both
  // install a handler: replacing a running handler would cancel the
  // notification stream for good.
  std::lock_guard<std::recursive_mutex> lock(s.sessionMutex);
  ConnectionPtr connection = s.connection();
  if (connection && connection->HasNotificationHandler()) {
    setLastError(VelmoraErrorNone);
    return true;
  }
  const std::string answerText =
      connection ? connection->Call(requestText(method::kRegisterKeypressCallback)) : std::string();
  if (answerText.empty()) return fail(VelmoraErrorHostUnreachable, false);
  const int error = parseJsonText(answerText).getRef("errorCode").asInt();
  if (error == 0) {
    platform::keepLoadedWhileThreadsRun();
    connection->SetNotificationHandler(deliverKeyPress);
  }
  setLastError(error);
  return error == 0;
}

}  // namespace sdk
