// Temporary bodies until the exchanges exist: no handshake can succeed yet,
// so every call fails its handshake check.
#include "api/calls.h"
#include "api/session.h"

namespace sdk {
namespace {
template <typename R>
R needHandshake(R failure) {
  setLastError(VelmoraErrorHandshakeRequired);
  return failure;
}
}  // namespace

VelmoraProtocolDetails performProtocolHandshake() {
  std::lock_guard<std::recursive_mutex> lock(session().sessionMutex);
  VelmoraProtocolDetails& d = session().details;
  d.sdkVersion = kLibraryVersionText;
  d.sdkProtocolVersion = kSdkProtocolVersion;
  d.serverVersion = nullptr;
  d.serverProtocolVersion = 0;
  d.breakingChanges = false;
  session().publishHandshake(false);
  setLastError(VelmoraErrorHostUnreachable);
  return d;
}
int getDeviceCount() { return needHandshake(-1); }
VelmoraDeviceInfo* getDeviceInfo(int) { return needHandshake<VelmoraDeviceInfo*>(nullptr); }
VelmoraLedPositions* getLedPositions() { return needHandshake<VelmoraLedPositions*>(nullptr); }
VelmoraLedPositions* getLedPositionsByDeviceIndex(int) {
  return needHandshake<VelmoraLedPositions*>(nullptr);
}
int getLedIdForKeyName(char) { return needHandshake(0); }
bool requestControl(int) { return needHandshake(false); }
bool releaseControl(int) { return needHandshake(false); }
bool setLayerPriority(int) { return needHandshake(false); }
bool setLedsColors(int, const VelmoraLedColor*) { return needHandshake(false); }
bool getLedsColors(int, VelmoraLedColor*) { return needHandshake(false); }
bool getLedsColorsByDeviceIndex(int, int, VelmoraLedColor*) { return needHandshake(false); }
bool setLedsColorsAsync(int, const VelmoraLedColor*, VelmoraAsyncCallback, void*) {
  return needHandshake(false);
}
bool setLedsColorsBufferByDeviceIndex(int, int, const VelmoraLedColor*) {
  return needHandshake(false);
}
bool setLedsColorsFlushBuffer() { return needHandshake(false); }
bool setLedsColorsFlushBufferAsync(VelmoraAsyncCallback, void*) { return needHandshake(false); }
bool registerKeypressCallback(VelmoraKeypressCallback, void*) { return needHandshake(false); }

}  // namespace sdk
