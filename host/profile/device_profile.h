// The devices a host serves: their descriptions, their LEDs with geometry in
// millimetres, and the channels of LED controllers. A profile is immutable
// once built; everything else in the host only reads it.
#ifndef LUMSDK_HOST_PROFILE_DEVICE_PROFILE_H_
#define LUMSDK_HOST_PROFILE_DEVICE_PROFILE_H_

#include <string>
#include <vector>

namespace lumhost {

// LED ids that a client can address and that positions report.
constexpr int kMinLedId = 1;
constexpr int kMaxLedId = 499;

struct Led {
  int id = 0;
  std::string key;  // key label ("A", "Esc", "Space"); empty for non-key LEDs
  double left = 0;  // relative to the device's own origin, millimetres
  double top = 0;
  double width = 0;
  double height = 0;
  int vendorKey = 0;  // key id sent in key-press notifications; 0: the LED id
  // The key id used when this LED's key is pressed.
  int pressKeyId() const { return vendorKey != 0 ? vendorKey : id; }
};

// A fan or strip attached to a channel of an LED controller. Its LEDs are a
// contiguous range of the controller's LED list.
struct ChannelDevice {
  int type = 0;
  int firstLed = 0;  // index into Device::leds
  int ledCount = 0;
};

struct Channel {
  std::vector<ChannelDevice> devices;
  int totalLeds() const;
};

struct Device {
  int type = 0;
  std::string model;
  int physicalLayout = 0;
  int logicalLayout = 0;
  int capsMask = 0;
  // The device's own LEDs first, then those of each channel device in
  // channel order.
  std::vector<Led> leds;
  std::vector<Channel> channels;
  // Where the device sits in pictures of the whole desk, and its body size;
  // width and height 0 mean "the LEDs' bounding box plus a margin".
  double deskLeft = 0;
  double deskTop = 0;
  double width = 0;
  double height = 0;

  // Index of the LED with that id in leds, or -1.
  int ledIndex(int ledId) const;
  // Body size as drawn: the given size, or the LEDs' extent plus a margin.
  double bodyWidth() const;
  double bodyHeight() const;
};

struct Profile {
  std::string name;
  std::vector<Device> devices;

  int totalLeds() const;
  // The LED of a letter key (case-insensitive) on the first device that
  // has one: true and its device index and LED id. among, when given, names
  // the device indexes to look at, in the order to look.
  bool findLetterKey(char letter, int* deviceIndex, int* ledId,
                     const std::vector<int>* among = nullptr) const;
  // The LED whose key label matches (case-insensitive), first device first.
  bool findKeyLabel(const std::string& label, int* deviceIndex, int* ledIndex,
                    const std::vector<int>* among = nullptr) const;
};

// Named codes that profiles may use instead of numbers.
struct NamedCode {
  const char* name;
  int code;
};
const std::vector<NamedCode>& deviceTypeNames();
const std::vector<NamedCode>& channelDeviceTypeNames();
// The name of a code, or "" when it has none.
std::string deviceTypeName(int code);
std::string channelDeviceTypeName(int code);

// The built-in desk (host/profile/builtin/desk.json): a full-size keyboard,
// a mouse, a mousepad, a headset stand and an LED controller with fans on one
// channel and strips on the other.
Profile defaultProfile();

// Loads a profile from JSON text (format: docs/host-profile.md). On failure
// returns false and a message naming the device and member at fault.
bool parseProfile(const std::string& text, Profile* profile, std::string* error);
// path "builtin:NAME" loads a built-in profile (host/profile/builtin_profiles.h).
bool loadProfileFile(const std::string& path, Profile* profile, std::string* error);

// Reads a whole file of at most maxBytes (profiles, scripts); on failure a
// message with the path and the reason.
bool readTextFile(const std::string& path, long maxBytes, std::string* text, std::string* error);

// The profile in the documented file format, indented, members in a fixed
// order: a starting point for a profile of one's own.
std::string profileToText(const Profile& profile);

}  // namespace lumhost

#endif  // LUMSDK_HOST_PROFILE_DEVICE_PROFILE_H_
