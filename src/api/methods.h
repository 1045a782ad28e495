// The host's remote methods: their names, and the oldest protocol that has each.
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

// The oldest host protocol that serves each call; an older host gets
// VelmoraErrorProtocolMismatch without a request being sent.
namespace min_protocol {
constexpr int kReleaseControl = 2;
constexpr int kGetLedPositionsByDeviceIndex = 3;
constexpr int kSetLayerPriority = 4;
constexpr int kGetLedsColors = 4;
constexpr int kRegisterKeypressCallback = 4;
constexpr int kGetLedsColorsByDeviceIndex = 5;
// Buffering colours, and both flushes of the buffer.
constexpr int kColorBuffer = 5;
}  // namespace min_protocol

}  // namespace sdk

#endif  // LUMSDK_API_METHODS_H_
