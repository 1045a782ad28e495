// The colour list text ("id,r,g,b#id,r,g,b"), the validation of a caller's
// colour array and the request builders shared by the synchronous,
// asynchronous and buffered colour calls.
#ifndef LUMSDK_LEDS_LED_COLORS_H_
#define LUMSDK_LEDS_LED_COLORS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "LUMSDK.h"
#include "json/json_value.h"
#include "transport/pipe_stream.h"

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

// LED ids the colour calls accept: 0 to kLedIdCount - 1.
constexpr int kLedIdCount = 500;

// Where checkedColorsRequest writes: text has room for 500 records whose
// numbers are all below 1000 (16 characters each), either envelope with a
// method name of up to kMaxCheckedMethodSize characters, and a 0 byte. Meant
// for the caller's stack, so that a request costs no allocation; a list with
// a wider number is written into wide instead.
constexpr size_t kMaxCheckedMethodSize = 64;
struct ColorsRequestBuffer {
  // The request is framed in place (see FrameText), after the frame's header.
  char text[kFrameHeaderBytes + kLedIdCount * 16 + 96 + kMaxCheckedMethodSize];
  std::string wide;
};

// The request of a colour call, for a list that acceptableColorList(count,
// colors, checks) accepts (checks holds kCheckLedIds); empty for one it
// refuses. The check and the text are one pass over the list, and the text
// is exactly what buildLedsColorsRequest (deviceIndex < 0) or
// buildDeviceLedsColorsRequest writes.
TerminatedText checkedColorsRequest(const char* method, int deviceIndex, int count,
                                    const VelmoraLedColor* colors, int checks,
                                    ColorsRequestBuffer* buffer);

// The colours buffered for one device: one record per LED, in the order the
// LEDs were first buffered; a later colour for an LED replaces its record.
class DeviceColors {
 public:
  explicit DeviceColors(int deviceIndex = 0) : deviceIndex_(deviceIndex) {}
  int deviceIndex() const { return deviceIndex_; }
  const std::vector<VelmoraLedColor>& list() const { return list_; }
  size_t size() const { return list_.size(); }
  bool empty() const { return list_.empty(); }
  // c.ledId must be 0 to kLedIdCount - 1.
  void set(const VelmoraLedColor& c);
  // Adds c unless its LED has a colour already.
  void setIfAbsent(const VelmoraLedColor& c);
  // Empties the list and takes a new device index; the storage is kept.
  void reset(int deviceIndex);

 private:
  // Up to this many LEDs a look along the list finds one; from then on the
  // table does, so that a device of a few LEDs costs no table.
  static constexpr size_t kListedLeds = 16;

  // The record of ledId, or null; and a new record, with the table made
  // once the list reaches kListedLeds.
  VelmoraLedColor* find(int ledId);
  void append(const VelmoraLedColor& c);

  // The record of an LED id is list_[where_[id] - 1]; 0: none. Empty while
  // the list is short.
  int deviceIndex_;
  std::vector<VelmoraLedColor> list_;
  std::vector<uint16_t> where_;
};

// The client-side colour buffer: the devices in the order they were first
// buffered, each with its colours. Emptying it keeps its storage, so a
// buffer that is filled and flushed every frame allocates nothing once warm.
class ColorBuffer {
 public:
  // The devices with colours; each holds at least one.
  const DeviceColors* begin() const { return devices_.data(); }
  const DeviceColors* end() const { return devices_.data() + used_; }
  bool empty() const { return used_ == 0; }
  size_t ledCount() const;
  // The entry of deviceIndex, added (empty) if the buffer has none; callers
  // set at least one colour in a new entry.
  DeviceColors& device(int deviceIndex);
  void clear();
  // Device entries with storage, in use or spare.
  size_t capacity() const { return devices_.size(); }
  void swap(ColorBuffer& other) {
    devices_.swap(other.devices_);
    std::swap(used_, other.used_);
    index_.swap(other.index_);
  }

 private:
  // Up to this many devices a look along the list finds one; from then on
  // index_ does, so that thousands of device indices cost no quadratic time.
  static constexpr size_t kListedDevices = 16;

  // The first used_ entries are in use; the rest are emptied spares.
  std::vector<DeviceColors> devices_;
  size_t used_ = 0;
  // Device index -> entry, once more than kListedDevices are in use.
  std::unordered_map<int, size_t> index_;
};

// {"deviceIndex": index, "ledColors": colour list text}
JsonHandle buildDeviceColorsEntry(const DeviceColors& colors);
// One entry per device; stays null for an empty buffer.
JsonHandle buildDeviceColorsList(const ColorBuffer& buffer);
// The flush request, with "ledsColorsByDeviceIndex" holding that list.
std::string buildFlushRequest(const ColorBuffer& buffer);
// The same text appended to *text.
void appendFlushRequest(std::string* text, const ColorBuffer& buffer);

}  // namespace sdk

#endif  // LUMSDK_LEDS_LED_COLORS_H_
