// The colour list text ("id,r,g,b#id,r,g,b"), the validation of a caller's
// colour array and the request builders shared by the synchronous,
// asynchronous and buffered colour calls.
#ifndef LUMSDK_LEDS_LED_COLORS_H_
#define LUMSDK_LEDS_LED_COLORS_H_

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "LUMSDK.h"
#include "json/json_value.h"

namespace sdk {

// Bits of the checks argument of validateLedColors.
constexpr int kCheckLedIds = 1;      // ids 0 to 499
constexpr int kCheckComponents = 2;  // red, green, blue 0 to 255

// True when every checked field is in range and no LED id appears twice
// (the duplicate test runs whatever the bits). A count of 0 or less passes.
bool validateLedColors(int count, const VelmoraLedColor* colors, int checks);

// What every colour call accepts: at least one record, a non-null array (a
// null array with a positive count is rejected rather than read), and a list
// that passes validateLedColors with the given checks.
bool acceptableColorList(int size, const VelmoraLedColor* colors, int checks);

std::string encodeLedColors(int count, const VelmoraLedColor* colors);
void appendLedColors(std::string* out, int count, const VelmoraLedColor* colors);

// Reads records until the end of the text or the first number that cannot
// be read; a record counts only when all four of its numbers were read.
std::vector<VelmoraLedColor> decodeLedColors(const std::string& text);
// The same into out, which has room for capacity records: the number of
// records, or capacity + 1 once the text holds more than fit.
size_t decodeLedColors(const char* text, size_t size, VelmoraLedColor* out, size_t capacity);

// {"method": method, "params": {"ledsColors": colour list text}} as text.
std::string buildLedsColorsRequest(int count, const VelmoraLedColor* colors, const char* method);

// {"method": method, "params": {"deviceIndex": deviceIndex, "ledsColors":
// colour list text}} as text.
std::string buildDeviceLedsColorsRequest(int deviceIndex, int count, const VelmoraLedColor* colors,
                                         const char* method);

// The same request, for a list that acceptableColorList(count, colors,
// kCheckLedIds | kCheckComponents) accepts; empty text for one it refuses.
// The check and the text are one pass over the list.
std::string checkedSetColorsRequest(int count, const VelmoraLedColor* colors, const char* method);

// The client-side colour buffer: device index -> LED id -> colour.
using DeviceColors = std::unordered_map<int, VelmoraLedColor>;
using ColorBuffer = std::unordered_map<int, DeviceColors>;

// {"deviceIndex": index, "ledColors": colour list text}
JsonHandle buildDeviceColorsEntry(int deviceIndex, const DeviceColors& colors);
// One entry per device; stays null for an empty buffer.
JsonHandle buildDeviceColorsList(const ColorBuffer& buffer);
// The flush request, with "ledsColorsByDeviceIndex" holding that list.
std::string buildFlushRequest(const ColorBuffer& buffer);

}  // namespace sdk

#endif  // LUMSDK_LEDS_LED_COLORS_H_
