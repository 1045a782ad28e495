// The request envelope sent to the host: {"method": <name>, "params": {...}},
// and the names of the remote methods.
#ifndef LUMSDK_JSON_REQUEST_H_
#define LUMSDK_JSON_REQUEST_H_

#include <string>

#include "json/json_value.h"

namespace sdk {

// Sets request.member("method") to the method name (a null holder becomes an
// object) and returns the same holder.
JsonHandle& buildRequest(JsonHandle& request, const std::string& method);

// Sets request.member("params"): the move form takes the parameter holder
// over, the copy form copies it deeply. Calls without parameters send no
// "params" member at all, so these are called only when there are some.
void attachParams(JsonHandle& request, JsonHandle&& params);
void attachParamsCopy(JsonHandle& request, const JsonHandle& params);

// The remote method names, matched by the host byte for byte (the
// misspellings included). Built once at load.
namespace method {
extern const std::string kGetDeviceCount;                // "VelmoraGetDeviceCount"
extern const std::string kGetDeviceInfo;                 // "VelmoraGetDeviceInfo"
extern const std::string kGetLedPositions;               // "VelmoraGetLedPositions"
extern const std::string kGetLedPositionsByDeviceIndex;  // "VelmoraGetLedPositionsByDeviceIndex"
extern const std::string kGetLedIdForKeyName;            // "VelmoraGetLedIdForKeyName"
extern const std::string kGetLedsColors;                 // "VelmoraGetLedsColors"
extern const std::string kGetLedsColorsByDeviceIndex;    // "VelmoraGetLedsColorsByDeviceIndex"
extern const std::string kSetLedsColors;                 // "VelmoraSetLedsColors"
extern const std::string kSetLedsColorsFlushBuffer;      // "VelmoraSetLedsColorsFlushBuffer"
extern const std::string kHandshake;                     // "VelomraHandshakeMethod"
extern const std::string kRequestControl;                // "InternalAquireAccessMode"
extern const std::string kReleaseControl;                // "VelomraReleaseControlMethod"
extern const std::string kSetLayerPriority;              // "VelmoraSetLayerPriority"
extern const std::string kRegisterKeypressCallback;      // "VelmoraRegisterKeypressCallback"
}  // namespace method

}  // namespace sdk

#endif  // LUMSDK_JSON_REQUEST_H_
