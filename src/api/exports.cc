// The exported C functions. Each is a thin guard around its body in
// namespace sdk: whatever escapes the body (memory exhausted, a failing
// system lock) ends as the export's failure value with last error
// VelmoraErrorHostUnreachable, never as an exception in the caller. The
// guard also keeps the call counted while it runs, so that the library's
// teardown waits for it; once teardown has begun, calls fail at once with
// VelmoraErrorHostUnreachable.
#include "LUMSDK.h"
#include "api/calls.h"
#include "api/session.h"
#include "core/hot.h"

namespace {

template <typename Result, typename Body>
Result guarded(Result failure, Body&& body) noexcept {
  sdk::Session& s = sdk::session();
  if (!s.enterCall()) {
    sdk::setLastError(VelmoraErrorHostUnreachable);
    return failure;
  }
  struct Leave {
    sdk::Session& s;
    ~Leave() { s.leaveCall(); }
  } leave{s};
  try {
    return body();
  } catch (...) {
    sdk::setLastError(VelmoraErrorHostUnreachable);
    return failure;
  }
}

// The record a handshake returns when it could not even run.
VelmoraProtocolDetails noHostDetails() {
  VelmoraProtocolDetails details{};
  details.sdkVersion = sdk::kLibraryVersionText;
  details.sdkProtocolVersion = sdk::kSdkProtocolVersion;
  return details;
}

}  // namespace

extern "C" {

VELMORA_API VelmoraProtocolDetails VELMORA_CALL VelmoraPerformProtocolHandshake(void) {
  return guarded(noHostDetails(), [] { return sdk::performProtocolHandshake(); });
}

LUMSDK_HOT VELMORA_API VelmoraError VELMORA_CALL VelmoraGetLastError(void) {
  return sdk::lastError();
}

LUMSDK_HOT VELMORA_API int VELMORA_CALL VelmoraGetDeviceCount(void) {
  return guarded(-1, [] { return sdk::getDeviceCount(); });
}

LUMSDK_HOT VELMORA_API VelmoraDeviceInfo* VELMORA_CALL VelmoraGetDeviceInfo(int deviceIndex) {
  return guarded<VelmoraDeviceInfo*>(nullptr, [&] { return sdk::getDeviceInfo(deviceIndex); });
}

LUMSDK_HOT VELMORA_API VelmoraLedPositions* VELMORA_CALL VelmoraGetLedPositions(void) {
  return guarded<VelmoraLedPositions*>(nullptr, [] { return sdk::getLedPositions(); });
}

LUMSDK_HOT VELMORA_API VelmoraLedPositions* VELMORA_CALL
VelmoraGetLedPositionsByDeviceIndex(int deviceIndex) {
  return guarded<VelmoraLedPositions*>(
      nullptr, [&] { return sdk::getLedPositionsByDeviceIndex(deviceIndex); });
}

LUMSDK_HOT VELMORA_API int VELMORA_CALL VelmoraGetLedIdForKeyName(char keyName) {
  return guarded(0, [&] { return sdk::getLedIdForKeyName(keyName); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraRequestControl(int accessMode) {
  return guarded(false, [&] { return sdk::requestControl(accessMode); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraReleaseControl(int accessMode) {
  return guarded(false, [&] { return sdk::releaseControl(accessMode); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraSetLayerPriority(int priority) {
  return guarded(false, [&] { return sdk::setLayerPriority(priority); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraSetLedsColors(int size,
                                                              VelmoraLedColor* ledsColors) {
  return guarded(false, [&] { return sdk::setLedsColors(size, ledsColors); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraGetLedsColors(int size,
                                                              VelmoraLedColor* ledsColors) {
  return guarded(false, [&] { return sdk::getLedsColors(size, ledsColors); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL
VelmoraGetLedsColorsByDeviceIndex(int deviceIndex, int size, VelmoraLedColor* ledsColors) {
  return guarded(false,
                 [&] { return sdk::getLedsColorsByDeviceIndex(deviceIndex, size, ledsColors); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsAsync(int size,
                                                                   VelmoraLedColor* ledsColors,
                                                                   VelmoraAsyncCallback callback,
                                                                   void* context) {
  return guarded(false,
                 [&] { return sdk::setLedsColorsAsync(size, ledsColors, callback, context); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL
VelmoraSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size, VelmoraLedColor* ledsColors) {
  return guarded(
      false, [&] { return sdk::setLedsColorsBufferByDeviceIndex(deviceIndex, size, ledsColors); });
}

LUMSDK_HOT VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsFlushBuffer(void) {
  return guarded(false, [] { return sdk::setLedsColorsFlushBuffer(); });
}

VELMORA_API bool VELMORA_CALL VelmoraSetLedsColorsFlushBufferAsync(VelmoraAsyncCallback callback,
                                                                   void* context) {
  return guarded(false, [&] { return sdk::setLedsColorsFlushBufferAsync(callback, context); });
}

VELMORA_API bool VELMORA_CALL VelmoraRegisterKeypressCallback(VelmoraKeypressCallback callback,
                                                              void* context) {
  return guarded(false, [&] { return sdk::registerKeypressCallback(callback, context); });
}

}  // extern "C"
