// The names of the host's remote methods, used by the exports that call them.
#ifndef LUMSDK_API_METHODS_H_
#define LUMSDK_API_METHODS_H_

namespace sdk {

// The remote method names, matched by the host byte for byte (the
// misspellings included). Plain constant arrays: no object to construct at
// load or destroy at unload, so they stay valid for code that runs late.
namespace method {
constexpr char kGetDeviceCount[] = "VelmoraGetDeviceCount";
constexpr char kGetDeviceInfo[] = "VelmoraGetDeviceInfo";
constexpr char kGetLedPositions[] = "VelmoraGetLedPositions";
constexpr char kGetLedPositionsByDeviceIndex[] = "VelmoraGetLedPositionsByDeviceIndex";
constexpr char kGetLedIdForKeyName[] = "VelmoraGetLedIdForKeyName";
constexpr char kGetLedsColors[] = "VelmoraGetLedsColors";
constexpr char kGetLedsColorsByDeviceIndex[] = "VelmoraGetLedsColorsByDeviceIndex";
constexpr char kSetLedsColors[] = "VelmoraSetLedsColors";
constexpr char kSetLedsColorsFlushBuffer[] = "VelmoraSetLedsColorsFlushBuffer";
constexpr char kHandshake[] = "VelomraHandshakeMethod";
constexpr char kRequestControl[] = "InternalAquireAccessMode";
constexpr char kReleaseControl[] = "VelomraReleaseControlMethod";
constexpr char kSetLayerPriority[] = "VelmoraSetLayerPriority";
constexpr char kRegisterKeypressCallback[] = "VelmoraRegisterKeypressCallback";
}  // namespace method

}  // namespace sdk

#endif  // LUMSDK_API_METHODS_H_
