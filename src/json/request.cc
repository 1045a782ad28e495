#include "json/request.h"

#include <utility>

namespace sdk {

JsonHandle& buildRequest(JsonHandle& request, const std::string& method) {
  request.member("method") = JsonHandle(method);
  return request;
}

void attachParams(JsonHandle& request, JsonHandle&& params) {
  request.member("params") = std::move(params);
}

void attachParamsCopy(JsonHandle& request, const JsonHandle& params) {
  request.member("params") = params;
}

namespace method {
const std::string kGetDeviceCount = "VelmoraGetDeviceCount";
const std::string kGetDeviceInfo = "VelmoraGetDeviceInfo";
const std::string kGetLedPositions = "VelmoraGetLedPositions";
const std::string kGetLedPositionsByDeviceIndex = "VelmoraGetLedPositionsByDeviceIndex";
const std::string kGetLedIdForKeyName = "VelmoraGetLedIdForKeyName";
const std::string kGetLedsColors = "VelmoraGetLedsColors";
const std::string kGetLedsColorsByDeviceIndex = "VelmoraGetLedsColorsByDeviceIndex";
const std::string kSetLedsColors = "VelmoraSetLedsColors";
const std::string kSetLedsColorsFlushBuffer = "VelmoraSetLedsColorsFlushBuffer";
const std::string kHandshake = "VelomraHandshakeMethod";
const std::string kRequestControl = "InternalAquireAccessMode";
const std::string kReleaseControl = "VelomraReleaseControlMethod";
const std::string kSetLayerPriority = "VelmoraSetLayerPriority";
const std::string kRegisterKeypressCallback = "VelmoraRegisterKeypressCallback";
}  // namespace method

}  // namespace sdk
