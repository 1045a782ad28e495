// The bodies of the 18 exports. Each runs its checks in its fixed order and
// writes the calling thread's last error; the exports in exports.cc only add
// the guard that keeps exceptions inside the library.
#ifndef LUMSDK_API_CALLS_H_
#define LUMSDK_API_CALLS_H_

#include "LUMSDK.h"

namespace sdk {

VelmoraProtocolDetails performProtocolHandshake();
int getDeviceCount();
VelmoraDeviceInfo* getDeviceInfo(int deviceIndex);
VelmoraLedPositions* getLedPositions();
VelmoraLedPositions* getLedPositionsByDeviceIndex(int deviceIndex);
int getLedIdForKeyName(char keyName);
bool requestControl(int accessMode);
bool releaseControl(int accessMode);
bool setLayerPriority(int priority);
bool setLedsColors(int size, const VelmoraLedColor* colors);
bool getLedsColors(int size, VelmoraLedColor* colors);
bool getLedsColorsByDeviceIndex(int deviceIndex, int size, VelmoraLedColor* colors);
bool setLedsColorsAsync(int size, const VelmoraLedColor* colors, VelmoraAsyncCallback callback,
                        void* context);
bool setLedsColorsBufferByDeviceIndex(int deviceIndex, int size, const VelmoraLedColor* colors);
bool setLedsColorsFlushBuffer();
bool setLedsColorsFlushBufferAsync(VelmoraAsyncCallback callback, void* context);
bool registerKeypressCallback(VelmoraKeypressCallback callback, void* context);

}  // namespace sdk

#endif  // LUMSDK_API_CALLS_H_
