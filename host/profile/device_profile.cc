#include "host/profile/device_profile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "host/profile/builtin_profiles.h"
#include "host/profile/json_syntax.h"
#include "json/json_text.h"
#include "json/json_value.h"

namespace lumhost {

int Channel::totalLeds() const {
  int total = 0;
  for (const ChannelDevice& d : devices) total += d.ledCount;
  return total;
}

int Device::ledIndex(int ledId) const {
  for (size_t i = 0; i < leds.size(); ++i) {
    if (leds[i].id == ledId) return static_cast<int>(i);
  }
  return -1;
}

namespace {
constexpr double kBodyMargin = 6.0;
}  // namespace

double Device::bodyWidth() const {
  if (width > 0) return width;
  double extent = 0;
  for (const Led& led : leds) extent = std::max(extent, led.left + led.width);
  return extent + kBodyMargin;
}

double Device::bodyHeight() const {
  if (height > 0) return height;
  double extent = 0;
  for (const Led& led : leds) extent = std::max(extent, led.top + led.height);
  return extent + kBodyMargin;
}

int Profile::totalLeds() const {
  int total = 0;
  for (const Device& d : devices) total += static_cast<int>(d.leds.size());
  return total;
}

namespace {

bool sameLabel(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

bool Profile::findLetterKey(char letter, int* deviceIndex, int* ledId,
                            const std::vector<int>* among) const {
  if (!std::isalpha(static_cast<unsigned char>(letter))) return false;
  int index = 0;
  int device = 0;
  if (!findKeyLabel(std::string(1, letter), &device, &index, among)) return false;
  *deviceIndex = device;
  *ledId = devices[device].leds[index].id;
  return true;
}

bool Profile::findKeyLabel(const std::string& label, int* deviceIndex, int* ledIndex,
                           const std::vector<int>* among) const {
  if (label.empty()) return false;
  const int count =
      among != nullptr ? static_cast<int>(among->size()) : static_cast<int>(devices.size());
  for (int n = 0; n < count; ++n) {
    const int d = among != nullptr ? (*among)[n] : n;
    const std::vector<Led>& leds = devices[d].leds;
    for (size_t i = 0; i < leds.size(); ++i) {
      if (sameLabel(leds[i].key, label)) {
        *deviceIndex = d;
        *ledIndex = static_cast<int>(i);
        return true;
      }
    }
  }
  return false;
}

// Never destroyed, like every table the host reads while it serves: a host
// inside a test process may still be at work while the process exits.
const std::vector<NamedCode>& deviceTypeNames() {
  static const auto* kNames = new std::vector<NamedCode>{
      {"keyboard", 1},     {"mouse", 2},         {"mousepad", 3},
      {"headsetStand", 4}, {"ledController", 5}, {"headset", 6},
  };
  return *kNames;
}

const std::vector<NamedCode>& channelDeviceTypeNames() {
  static const auto* kNames = new std::vector<NamedCode>{{"fan", 1}, {"strip", 2}, {"pump", 3}};
  return *kNames;
}

namespace {

std::string nameOf(const std::vector<NamedCode>& names, int code) {
  for (const NamedCode& n : names) {
    if (n.code == code) return n.name;
  }
  return std::string();
}

}  // namespace

std::string deviceTypeName(int code) { return nameOf(deviceTypeNames(), code); }
std::string channelDeviceTypeName(int code) { return nameOf(channelDeviceTypeNames(), code); }

// ---------------------------------------------------------------------------
// Reading a profile file.

namespace {

using sdk::JsonHandle;
using sdk::JsonObjectValue;

// Positions and sizes, in millimetres, lie within a square of 1 km.
constexpr double kMaxLength = 1e6;

// Builds the messages: every fault names where it was found.
class ProfileReader {
 public:
  bool read(const JsonHandle& root, Profile* profile) {
    if (root.type() != sdk::kJsonObject) return fail("the profile must be a JSON object");
    if (!checkMembers(root, {"name", "devices"}, "the profile")) return false;
    const JsonHandle& name = root.getRef("name");
    if (root.hasMember("name")) {
      if (name.type() != sdk::kJsonString) return fail("member \"name\" must be a text");
      profile->name = name.asString();
    }
    if (!root.hasMember("devices")) return fail("member \"devices\" is missing");
    const JsonHandle& devices = root.getRef("devices");
    if (!devices.isNull() && devices.type() != sdk::kJsonArray) {
      return fail("member \"devices\" must be an array");
    }
    for (int i = 0; i < std::max(0, devices.size()); ++i) {
      Device device;
      if (!readDevice(devices.getRef(i), i, &device)) return false;
      profile->devices.push_back(std::move(device));
    }
    return true;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& message) {
    error_ = message;
    return false;
  }

  // Members outside the list are refused (a misspelt name would otherwise
  // be ignored silently); names starting with "_" are free for notes.
  bool checkMembers(const JsonHandle& object, const std::vector<std::string>& known,
                    const std::string& where) {
    const auto& obj = static_cast<const JsonObjectValue&>(object.value());
    for (const auto& member : obj.members()) {
      if (!member.first.empty() && member.first[0] == '_') continue;
      if (std::find(known.begin(), known.end(), member.first) == known.end()) {
        return fail(where + ": unknown member \"" + member.first + "\"");
      }
    }
    return true;
  }

  // A number member from min to max; false (with the message) when it is
  // missing but required, not a number, out of range, or not whole when
  // integral is asked for.
  bool number(const JsonHandle& object, const char* name, const std::string& where, double* out,
              bool required, bool integral, double min, double max) {
    if (!object.hasMember(name)) {
      if (required) return fail(where + ": member \"" + name + "\" is missing");
      return true;
    }
    const JsonHandle& value = object.getRef(name);
    if (value.type() != sdk::kJsonNumber) {
      return fail(where + ": member \"" + name + "\" must be a number");
    }
    double v = value.asDouble();
    if (!std::isfinite(v) || v < min || v > max) {
      return fail(where + ": member \"" + name + "\" must be between " + num(min) + " and " +
                  num(max));
    }
    if (integral && v != std::floor(v)) {
      return fail(where + ": member \"" + name + "\" must be a whole number");
    }
    *out = v;
    return true;
  }

  // A length in millimetres: positions and sizes.
  bool length(const JsonHandle& object, const char* name, const std::string& where, double* out,
              bool required, double min) {
    return number(object, name, where, out, required, false, min, kMaxLength);
  }

  bool integer(const JsonHandle& object, const char* name, const std::string& where, int* out,
               bool required, int min, int max) {
    if (!object.hasMember(name) && !required) return true;
    double v = *out;
    if (!number(object, name, where, &v, required, true, min, max)) return false;
    *out = static_cast<int>(v);
    return true;
  }

  // A type given as a number or as one of the documented names.
  bool typeCode(const JsonHandle& object, const std::string& where,
                const std::vector<NamedCode>& names, int* out) {
    if (!object.hasMember("type")) return fail(where + ": member \"type\" is missing");
    const JsonHandle& value = object.getRef("type");
    if (value.type() == sdk::kJsonString) {
      std::string text = value.asString();
      for (const NamedCode& n : names) {
        if (text == n.name) {
          *out = n.code;
          return true;
        }
      }
      std::string known;
      for (const NamedCode& n : names) known += std::string(known.empty() ? "" : ", ") + n.name;
      return fail(where + ": member \"type\": unknown name \"" + text + "\" (known: " + known +
                  "; or give a number)");
    }
    return integer(object, "type", where, out, true, 0, 1000000);
  }

  static std::string describeDevice(int index, const std::string& model) {
    std::string where = "device " + std::to_string(index);
    if (!model.empty()) where += " (\"" + model + "\")";
    return where;
  }

  bool readDevice(const JsonHandle& object, int index, Device* device) {
    std::string where = describeDevice(index, std::string());
    if (object.type() != sdk::kJsonObject) return fail(where + ": must be an object");
    if (object.getRef("model").type() == sdk::kJsonString) {
      where = describeDevice(index, object.getRef("model").asString());
    }
    if (!checkMembers(object,
                      {"type", "model", "physicalLayout", "logicalLayout", "capsMask", "leds",
                       "channels", "deskLeft", "deskTop", "width", "height"},
                      where)) {
      return false;
    }
    if (!typeCode(object, where, deviceTypeNames(), &device->type)) return false;
    if (!object.hasMember("model")) return fail(where + ": member \"model\" is missing");
    if (object.getRef("model").type() != sdk::kJsonString) {
      return fail(where + ": member \"model\" must be a text");
    }
    device->model = object.getRef("model").asString();
    if (device->model.empty()) return fail(where + ": member \"model\" must not be empty");
    if (!integer(object, "physicalLayout", where, &device->physicalLayout, false, 0, 1000000) ||
        !integer(object, "logicalLayout", where, &device->logicalLayout, false, 0, 1000000) ||
        !integer(object, "capsMask", where, &device->capsMask, false, 0, 0x7FFFFFFF) ||
        !length(object, "deskLeft", where, &device->deskLeft, false, -kMaxLength) ||
        !length(object, "deskTop", where, &device->deskTop, false, -kMaxLength) ||
        !length(object, "width", where, &device->width, false, 0) ||
        !length(object, "height", where, &device->height, false, 0)) {
      return false;
    }
    std::set<int> ids;
    if (!readLeds(object, where, &ids, device)) return false;
    if (object.hasMember("channels")) {
      const JsonHandle& channels = object.getRef("channels");
      if (!channels.isNull() && channels.type() != sdk::kJsonArray) {
        return fail(where + ": member \"channels\" must be an array");
      }
      for (int c = 0; c < std::max(0, channels.size()); ++c) {
        if (!readChannel(channels.getRef(c), where + ", channel " + std::to_string(c), &ids,
                         device)) {
          return false;
        }
      }
    }
    return true;
  }

  bool readLeds(const JsonHandle& object, const std::string& where, std::set<int>* ids,
                Device* device) {
    if (!object.hasMember("leds")) return true;
    const JsonHandle& leds = object.getRef("leds");
    if (!leds.isNull() && leds.type() != sdk::kJsonArray) {
      return fail(where + ": member \"leds\" must be an array");
    }
    for (int i = 0; i < std::max(0, leds.size()); ++i) {
      Led led;
      if (!readLed(leds.getRef(i), where + ", led " + std::to_string(i), ids, &led)) return false;
      device->leds.push_back(led);
    }
    return true;
  }

  bool readLed(const JsonHandle& object, std::string where, std::set<int>* ids, Led* led) {
    if (object.type() != sdk::kJsonObject) return fail(where + ": must be an object");
    if (!checkMembers(object, {"id", "key", "left", "top", "width", "height", "vendorKey"},
                      where)) {
      return false;
    }
    if (!integer(object, "id", where, &led->id, true, kMinLedId, kMaxLedId)) return false;
    where += " (id " + std::to_string(led->id) + ")";
    if (!ids->insert(led->id).second) {
      return fail(where + ": LED id " + std::to_string(led->id) + " appears twice in this device");
    }
    if (!length(object, "left", where, &led->left, true, 0) ||
        !length(object, "top", where, &led->top, true, 0) ||
        !length(object, "width", where, &led->width, true, 0) ||
        !length(object, "height", where, &led->height, true, 0) ||
        !integer(object, "vendorKey", where, &led->vendorKey, false, 1, 0x7FFFFFFF)) {
      return false;
    }
    if (led->width <= 0 || led->height <= 0) {
      return fail(where + ": members \"width\" and \"height\" must be above 0");
    }
    if (object.hasMember("key")) {
      const JsonHandle& key = object.getRef("key");
      if (key.type() != sdk::kJsonString) return fail(where + ": member \"key\" must be a text");
      led->key = key.asString();
      if (led->key.empty() || led->key.size() > 16) {
        return fail(where + ": member \"key\" must hold 1 to 16 characters");
      }
      for (char c : led->key) {
        if (c <= ' ' || c > '~') {
          return fail(where + ": member \"key\" may hold only printable ASCII without spaces");
        }
      }
      // A label names one key: "press a" and a typed key must not be able
      // to mean two.
      std::string folded = foldCase(led->key);
      auto used = labels_.emplace(folded, where);
      if (!used.second) {
        return fail(where + ": member \"key\": the label \"" + led->key + "\" is already used by " +
                    used.first->second + " (labels are not case-sensitive)");
      }
    }
    // An application tells keys apart by the key id alone.
    if (!led->key.empty() || led->vendorKey != 0) {
      auto used = keyIds_.emplace(led->pressKeyId(), where);
      if (!used.second) {
        return fail(where + ": member \"vendorKey\": key id " + std::to_string(led->pressKeyId()) +
                    (led->vendorKey == 0 ? " (the LED id)" : "") + " is already the key id of " +
                    used.first->second);
      }
    }
    return true;
  }

  bool readChannel(const JsonHandle& object, const std::string& where, std::set<int>* ids,
                   Device* device) {
    if (object.type() != sdk::kJsonObject) return fail(where + ": must be an object");
    if (!checkMembers(object, {"devices"}, where)) return false;
    const JsonHandle& devices = object.getRef("devices");
    if (devices.type() != sdk::kJsonArray) {
      return fail(where + ": member \"devices\" must be an array with at least one device");
    }
    Channel channel;
    for (int i = 0; i < devices.size(); ++i) {
      std::string at = where + ", device " + std::to_string(i);
      const JsonHandle& attached = devices.getRef(i);
      if (attached.type() != sdk::kJsonObject) return fail(at + ": must be an object");
      if (!checkMembers(attached, {"type", "leds"}, at)) return false;
      ChannelDevice cd;
      if (!typeCode(attached, at, channelDeviceTypeNames(), &cd.type)) return false;
      cd.firstLed = static_cast<int>(device->leds.size());
      if (attached.getRef("leds").type() != sdk::kJsonArray) {
        return fail(at + ": member \"leds\" must be an array with at least one LED");
      }
      if (!readLeds(attached, at, ids, device)) return false;
      cd.ledCount = static_cast<int>(device->leds.size()) - cd.firstLed;
      channel.devices.push_back(cd);
    }
    device->channels.push_back(channel);
    return true;
  }

  static std::string foldCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  }

  static std::string num(double v) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return buffer;
  }

  std::string error_;
  // Every key label (case-folded) and key id so far, with where it was.
  std::map<std::string, std::string> labels_;
  std::map<int, std::string> keyIds_;
};

// A profile is a few hundred kilobytes at most; anything far larger is a
// wrong file, and is not read into memory.
constexpr long kMaxProfileBytes = 16L << 20;

}  // namespace

bool readTextFile(const std::string& path, long maxBytes, std::string* text, std::string* error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    *error = path + ": is a directory, not a file";
    return false;
  }
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    *error = path + ": cannot be opened (" + std::strerror(errno) + ")";
    return false;
  }
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    text->append(buffer, n);
    if (static_cast<long>(text->size()) > maxBytes) {
      std::fclose(f);
      *error = path + ": is larger than " + std::to_string(maxBytes >> 20) + " MiB";
      return false;
    }
  }
  bool failed = std::ferror(f) != 0;
  int reason = errno;
  std::fclose(f);
  if (failed) {
    *error = path + ": cannot be read (" + std::strerror(reason) + ")";
    return false;
  }
  return true;
}

bool parseProfile(const std::string& input, Profile* profile, std::string* error) {
  // Editors on Windows often start UTF-8 files with a byte-order mark.
  static const char kByteOrderMark[] = "\xEF\xBB\xBF";
  const std::string text = input.compare(0, 3, kByteOrderMark) == 0 ? input.substr(3) : input;
  std::string syntax;
  if (!checkJsonSyntax(text, &syntax)) {
    *error = "not valid JSON: " + syntax;
    return false;
  }
  Profile result;
  ProfileReader reader;
  if (!reader.read(sdk::parseJsonText(text), &result)) {
    *error = reader.error();
    return false;
  }
  *profile = std::move(result);
  return true;
}

bool loadProfileFile(const std::string& path, Profile* profile, std::string* error) {
  std::string text;
  if (path.compare(0, sizeof kBuiltinPrefix - 1, kBuiltinPrefix) == 0) {
    const std::string name = path.substr(sizeof kBuiltinPrefix - 1);
    for (const BuiltinProfile& builtin : builtinProfiles()) {
      if (name == builtin.name) text = builtin.text;
    }
    if (text.empty()) {
      *error = path + ": no such built-in profile (lumhost --list-profiles names them)";
      return false;
    }
  } else if (!readTextFile(path, kMaxProfileBytes, &text, error)) {
    return false;
  }
  if (!parseProfile(text, profile, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

const std::vector<BuiltinProfile>& builtinProfiles() {
  static const std::vector<BuiltinProfile> profiles = {
      {"desk", kDeskJson},    {"ansi-us", kAnsiUsJson},     {"iso-de", kIsoDeJson},
      {"iso-uk", kIsoUkJson}, {"azerty-fr", kAzertyFrJson}, {"jis", kJisJson}};
  return profiles;
}

Profile defaultProfile() {
  Profile profile;
  std::string error;
  // The desk's file is part of the program and read by a test of its own:
  // failing here is a build that should not have passed its tests.
  if (!loadProfileFile(std::string(kBuiltinPrefix) + "desk", &profile, &error)) {
    std::fprintf(stderr, "lumhost: the built-in desk does not load: %s\n", error.c_str());
    std::abort();
  }
  return profile;
}

// ---------------------------------------------------------------------------
// Writing a profile file.

namespace {

// Every control character a profile can hold (those the reader takes as
// escapes) is written as that escape, so that what is written reads back.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += c;
    }
  }
  return out + "\"";
}

std::string num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.10g", v);
  return buffer;
}

std::string typeText(int code, const std::string& name) {
  return name.empty() ? std::to_string(code) : quoted(name);
}

std::string ledText(const Led& led) {
  std::string out = "{\"id\": " + std::to_string(led.id);
  if (!led.key.empty()) out += ", \"key\": " + quoted(led.key);
  out += ", \"left\": " + num(led.left) + ", \"top\": " + num(led.top) +
         ", \"width\": " + num(led.width) + ", \"height\": " + num(led.height);
  if (led.vendorKey != 0) out += ", \"vendorKey\": " + std::to_string(led.vendorKey);
  return out + "}";
}

void appendLeds(std::string* out, const std::vector<Led>& leds, int first, int count,
                const std::string& indent) {
  *out += "[\n";
  for (int i = first; i < first + count; ++i) {
    *out += indent + "  " + ledText(leds[i]) + (i + 1 < first + count ? ",\n" : "\n");
  }
  *out += indent + "]";
}

}  // namespace

std::string profileToText(const Profile& profile) {
  std::string out = "{\n  \"name\": " + quoted(profile.name) + ",\n  \"devices\": [\n";
  for (size_t d = 0; d < profile.devices.size(); ++d) {
    const Device& dev = profile.devices[d];
    int channelLeds = 0;
    for (const Channel& c : dev.channels) channelLeds += c.totalLeds();
    int ownLeds = static_cast<int>(dev.leds.size()) - channelLeds;
    out += "    {\n";
    out += "      \"type\": " + typeText(dev.type, deviceTypeName(dev.type)) + ",\n";
    out += "      \"model\": " + quoted(dev.model) + ",\n";
    out += "      \"physicalLayout\": " + std::to_string(dev.physicalLayout) + ",\n";
    out += "      \"logicalLayout\": " + std::to_string(dev.logicalLayout) + ",\n";
    out += "      \"capsMask\": " + std::to_string(dev.capsMask) + ",\n";
    out += "      \"deskLeft\": " + num(dev.deskLeft) + ",\n";
    out += "      \"deskTop\": " + num(dev.deskTop) + ",\n";
    out += "      \"width\": " + num(dev.width) + ",\n";
    out += "      \"height\": " + num(dev.height) + ",\n";
    out += "      \"leds\": ";
    appendLeds(&out, dev.leds, 0, ownLeds, "      ");
    if (!dev.channels.empty()) {
      out += ",\n      \"channels\": [\n";
      for (size_t c = 0; c < dev.channels.size(); ++c) {
        out += "        {\"devices\": [\n";
        const auto& attached = dev.channels[c].devices;
        for (size_t i = 0; i < attached.size(); ++i) {
          out += "          {\"type\": " +
                 typeText(attached[i].type, channelDeviceTypeName(attached[i].type)) +
                 ", \"leds\": ";
          appendLeds(&out, dev.leds, attached[i].firstLed, attached[i].ledCount, "          ");
          out += i + 1 < attached.size() ? "},\n" : "}\n";
        }
        out += c + 1 < dev.channels.size() ? "        ]},\n" : "        ]}\n";
      }
      out += "      ]";
    }
    out += d + 1 < profile.devices.size() ? "\n    },\n" : "\n    }\n";
  }
  return out + "  ]\n}\n";
}

}  // namespace lumhost
