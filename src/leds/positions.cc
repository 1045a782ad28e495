// LED positions and the LED id of a letter key.
#include <algorithm>
#include <memory>
#include <vector>

#include "api/calls.h"
#include "api/exchange.h"
#include "json/request.h"

namespace sdk {
namespace {

// Positions carry ids 1 to 499; geometry is read as integers.
void convertPositions(const JsonHandle& list, VelmoraLedPositions* positions) {
  *positions = VelmoraLedPositions{};
  const int n = list.size();  // -1 for anything but a list
  if (n <= 0) return;
  std::vector<VelmoraLedPosition> kept;
  kept.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) {
    const JsonHandle& entry = list.getRef(i);
    VelmoraLedPosition p;
    p.ledId = entry.getRef("ledId").asInt();
    if (static_cast<unsigned>(p.ledId) - 1u > 498u) continue;
    p.top = entry.getRef("top").asInt();
    p.left = entry.getRef("left").asInt();
    p.height = entry.getRef("height").asInt();
    p.width = entry.getRef("width").asInt();
    kept.push_back(p);
  }
  // Even when the filter left nothing, the array exists (zero length).
  std::unique_ptr<VelmoraLedPosition[]> array(new VelmoraLedPosition[kept.size()]);
  std::copy(kept.begin(), kept.end(), array.get());
  positions->positionsCount = static_cast<int>(kept.size());
  positions->positions = retainReturned(std::move(array));
}

VelmoraLedPositions* retainPositions(const JsonHandle& list) {
  VelmoraLedPositions* positions = retainReturned(std::make_unique<VelmoraLedPositions>());
  convertPositions(list, positions);
  setLastError(VelmoraErrorNone);
  return positions;
}

}  // namespace

VelmoraLedPositions* getLedPositions() {
  Session& s = session();
  if (!s.handshakeDone()) return fail<VelmoraLedPositions*>(VelmoraErrorHandshakeRequired, nullptr);
  if (!s.isConnectionAlive()) {
    return fail<VelmoraLedPositions*>(VelmoraErrorHostUnreachable, nullptr);
  }
  JsonHandle answer;
  if (!exchangeRequest(makeRequest(method::kGetLedPositions), &answer)) return nullptr;
  return retainPositions(answer.getRef("result"));
}

VelmoraLedPositions* getLedPositionsByDeviceIndex(int deviceIndex) {
  Session& s = session();
  if (!s.handshakeDone()) return fail<VelmoraLedPositions*>(VelmoraErrorHandshakeRequired, nullptr);
  if (deviceIndex < 0) return fail<VelmoraLedPositions*>(VelmoraErrorBadArgument, nullptr);
  if (!s.isConnectionAlive()) {
    return fail<VelmoraLedPositions*>(VelmoraErrorHostUnreachable, nullptr);
  }
  if (s.hostProtocolVersion() < 3) {
    return fail<VelmoraLedPositions*>(VelmoraErrorProtocolMismatch, nullptr);
  }
  JsonHandle params;
  params.member("deviceIndex") = JsonHandle(deviceIndex);
  JsonHandle answer;
  if (!exchangeRequest(makeRequest(method::kGetLedPositionsByDeviceIndex, std::move(params)),
                       &answer)) {
    return nullptr;
  }
  const JsonHandle& result = answer.getRef("result");
  if (result.isNull()) return fail<VelmoraLedPositions*>(VelmoraErrorBadArgument, nullptr);
  return retainPositions(result);
}

int getLedIdForKeyName(char keyName) {
  Session& s = session();
  if (!s.handshakeDone()) return fail(VelmoraErrorHandshakeRequired, 0);
  const unsigned char key = static_cast<unsigned char>(keyName);
  // ASCII letters only; case is not folded, so 'A' and 'a' are different keys.
  if (!((key >= 'A' && key <= 'Z') || (key >= 'a' && key <= 'z'))) {
    return fail(VelmoraErrorBadArgument, 0);
  }
  if (!s.isConnectionAlive()) return fail(VelmoraErrorHostUnreachable, 0);
  JsonHandle params;
  params.member("keyName") = JsonHandle(static_cast<int>(key));
  JsonHandle answer;
  if (!exchangeRequest(makeRequest(method::kGetLedIdForKeyName, std::move(params)), &answer)) {
    return 0;
  }
  setLastError(VelmoraErrorNone);
  return answer.getRef("result").asInt();
}

}  // namespace sdk
