// Requesting and releasing control of the lighting, and the layer priority.
// The host decides and remembers; the library only forwards.
#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "json/request.h"

namespace sdk {
namespace {

std::string accessModeRequest(const char* method) { return requestText(method, "accessMode", 0); }

}  // namespace

bool requestControl(int accessMode) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (accessMode != 0) return fail(VelmoraErrorBadArgument, false);
  ShortAnswer answer;
  if (!exchangeShort(accessModeRequest(method::kRequestControl), &answer)) return false;
  // A refusal can only show in "result"; "errorCode" is not read here.
  setLastError(VelmoraErrorNone);
  return answer.result.asBool();
}

bool releaseControl(int accessMode) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  if (accessMode != 0) return fail(VelmoraErrorBadArgument, false);
  if (s.hostProtocolVersion() < min_protocol::kReleaseControl)
    return fail(VelmoraErrorProtocolMismatch, false);
  ShortAnswer answer;
  if (!exchangeShort(accessModeRequest(method::kReleaseControl), &answer)) return false;
  return readBoolAnswer(answer);
}

bool setLayerPriority(int priority) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  if (s.hostProtocolVersion() < min_protocol::kSetLayerPriority)
    return fail(VelmoraErrorProtocolMismatch, false);
  // Compared unsigned, so every negative value is out of range too.
  if (static_cast<unsigned>(priority) > 255u) return fail(VelmoraErrorBadArgument, false);
  ShortAnswer answer;
  if (!exchangeShort(requestText(method::kSetLayerPriority, "layerPriority", priority), &answer)) {
    return false;
  }
  return readBoolAnswer(answer);
}

}  // namespace sdk
