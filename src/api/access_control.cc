// Requesting and releasing control of the lighting, and the layer priority.
// The host decides and remembers; the library only forwards.
#include "api/calls.h"
#include "api/exchange.h"
#include "api/methods.h"
#include "core/hot.h"

namespace sdk {

LUMSDK_HOT bool requestControl(int accessMode) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (accessMode != 0) return fail(VelmoraErrorBadArgument, false);
  ShortAnswer answer;
  const IntParamRequest request(method::kRequestControl, "accessMode", 0);
  if (!exchangeShort(request.text(), &answer)) return false;
  // A refusal can only show in "result"; "errorCode" is not read here.
  setLastError(VelmoraErrorNone);
  return answer.result.asBool();
}

LUMSDK_HOT bool releaseControl(int accessMode) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  if (accessMode != 0) return fail(VelmoraErrorBadArgument, false);
  if (s.hostProtocolVersion() < min_protocol::kReleaseControl)
    return fail(VelmoraErrorProtocolMismatch, false);
  ShortAnswer answer;
  const IntParamRequest request(method::kReleaseControl, "accessMode", 0);
  if (!exchangeShort(request.text(), &answer)) return false;
  return readBoolAnswer(answer);
}

LUMSDK_HOT bool setLayerPriority(int priority) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, false);
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, false);
  if (s.hostProtocolVersion() < min_protocol::kSetLayerPriority)
    return fail(VelmoraErrorProtocolMismatch, false);
  // Compared unsigned, so every negative value is out of range too.
  if (static_cast<unsigned>(priority) > 255u) return fail(VelmoraErrorBadArgument, false);
  ShortAnswer answer;
  const IntParamRequest request(method::kSetLayerPriority, "layerPriority", priority);
  if (!exchangeShort(request.text(), &answer)) return false;
  return readBoolAnswer(answer);
}

}  // namespace sdk
