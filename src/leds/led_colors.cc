#include "leds/led_colors.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

#include "api/exchange.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {

bool validateLedColors(int count, const VelmoraLedColor* colors, int checks) {
  if (count <= 0) return true;
  for (int i = 0; i < count; ++i) {
    const VelmoraLedColor& c = colors[i];
    // Compared unsigned, so negative values fail as well.
    if ((checks & kCheckComponents) &&
        (static_cast<unsigned>(c.r) > 255u || static_cast<unsigned>(c.g) > 255u ||
         static_cast<unsigned>(c.b) > 255u)) {
      return false;
    }
    if ((checks & kCheckLedIds) && static_cast<unsigned>(c.ledId) > 499u) return false;
  }
  if (checks & kCheckLedIds) {
    // Ids are known to be 0 to 499: a table finds a repeat without sorting.
    bool seen[500] = {};
    for (int i = 0; i < count; ++i) {
      bool& s = seen[colors[i].ledId];
      if (s) return false;
      s = true;
    }
    return true;
  }
  std::vector<int> ids(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) ids[static_cast<size_t>(i)] = colors[i].ledId;
  std::sort(ids.begin(), ids.end());
  return std::adjacent_find(ids.begin(), ids.end()) == ids.end();
}

bool acceptableColorList(int size, const VelmoraLedColor* colors, int checks) {
  return size > 0 && colors != nullptr && validateLedColors(size, colors, checks);
}

namespace {

// The decimal text of 0 to 999: its length and up to three digits.
struct SmallNumbers {
  char text[1000][4];
  SmallNumbers() {
    for (int v = 0; v < 1000; ++v) {
      char* t = text[v];
      t[0] = static_cast<char>(v >= 100 ? 3 : v >= 10 ? 2 : 1);
      char* d = t + 1;
      if (v >= 100) *d++ = static_cast<char>('0' + v / 100);
      if (v >= 10) *d++ = static_cast<char>('0' + v / 10 % 10);
      *d = static_cast<char>('0' + v % 10);
    }
  }
};
const SmallNumbers kSmallNumbers;

// Writes value in decimal at out and returns the end. Ids and colour
// components are almost always below 1000: those come from the table.
char* putInt(char* out, int value) {
  if (static_cast<unsigned>(value) < 1000u) {
    const char* t = kSmallNumbers.text[value];
    out[0] = t[1];
    out[1] = t[2];
    out[2] = t[3];
    return out + t[0];
  }
  return std::to_chars(out, out + 11, value).ptr;
}

}  // namespace

void appendLedColors(std::string* out, int count, const VelmoraLedColor* colors) {
  // Records are written into a stack buffer and appended in chunks: no
  // zero-filled worst-case resize and no per-number append.
  constexpr int kRecordMax = 4 * 11 + 4;  // four ints, three commas, one "#"
  char buffer[4096];
  char* p = buffer;
  for (int i = 0; i < count; ++i) {
    if (p > buffer + sizeof buffer - kRecordMax) {
      out->append(buffer, p);
      p = buffer;
    }
    if (i > 0) *p++ = '#';
    p = putInt(p, colors[i].ledId);
    *p++ = ',';
    p = putInt(p, colors[i].r);
    *p++ = ',';
    p = putInt(p, colors[i].g);
    *p++ = ',';
    p = putInt(p, colors[i].b);
  }
  out->append(buffer, p);
}

std::string encodeLedColors(int count, const VelmoraLedColor* colors) {
  std::string text;
  appendLedColors(&text, count, colors);
  return text;
}

namespace {

// Reads the text the way a C++ input stream extracts ints and chars: blanks
// are skipped before each item; an int is an optional sign and digits that
// must fit in an int; a separator is any single character.
class ColorListReader {
 public:
  explicit ColorListReader(const std::string& text)
      : p_(text.data()), end_(text.data() + text.size()) {}

  bool atEnd() const { return p_ == end_; }

  void skipBlanks() {
    while (p_ != end_ && isBlank(*p_)) ++p_;
  }

  bool readInt(int* value) {
    skipBlanks();
    const char* start = p_;
    bool negative = false;
    if (start != end_ && (*start == '+' || *start == '-')) {
      negative = *start == '-';
      ++start;
    }
    const char* digits = start;
    long long magnitude = 0;
    while (start != end_ && *start >= '0' && *start <= '9') {
      if (magnitude <= static_cast<long long>(INT_MAX) + 1)
        magnitude = magnitude * 10 + (*start - '0');
      ++start;
    }
    if (start == digits) return false;
    const long long v = negative ? -magnitude : magnitude;
    if (v < INT_MIN || v > INT_MAX) return false;
    *value = static_cast<int>(v);
    p_ = start;
    return true;
  }

  bool readSeparator() {
    skipBlanks();
    if (p_ == end_) return false;
    ++p_;
    return true;
  }

 private:
  static bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  }
  const char* p_;
  const char* end_;
};

}  // namespace

std::vector<VelmoraLedColor> decodeLedColors(const std::string& text) {
  std::vector<VelmoraLedColor> colors;
  ColorListReader reader(text);
  while (!reader.atEnd()) {
    VelmoraLedColor c{};
    if (!reader.readInt(&c.ledId)) break;
    if (!reader.readSeparator() || !reader.readInt(&c.r)) break;
    if (!reader.readSeparator() || !reader.readInt(&c.g)) break;
    if (!reader.readSeparator() || !reader.readInt(&c.b)) break;
    colors.push_back(c);
    reader.readSeparator();  // the "#" between records
  }
  return colors;
}

std::string buildLedsColorsRequest(int count, const VelmoraLedColor* colors, const char* method) {
  // Composed directly rather than through the JSON writer: a colour list
  // holds only digits, signs and separators and a method name only letters,
  // so nothing needs escaping and the text is what the writer would produce.
  // This is the hot path of animations (500 LEDs at 60 frames a second).
  std::string text;
  text.reserve(std::strlen(method) + static_cast<size_t>(count > 0 ? count : 0) * 16 + 48);
  text.append("{\"method\":\"").append(method).append("\",\"params\":{\"ledsColors\":\"");
  appendLedColors(&text, count, colors);
  text.append("\"}}");
  return text;
}

JsonHandle buildDeviceColorsEntry(int deviceIndex, const DeviceColors& colors) {
  std::vector<VelmoraLedColor> list;
  list.reserve(colors.size());
  for (const auto& led : colors) list.push_back(led.second);
  JsonHandle entry;
  entry.member("deviceIndex") = JsonHandle(deviceIndex);
  entry.member("ledColors") =
      JsonHandle(encodeLedColors(static_cast<int>(list.size()), list.data()));
  return entry;
}

JsonHandle buildDeviceColorsList(const ColorBuffer& buffer) {
  JsonHandle list;
  for (const auto& device : buffer)
    list.append(buildDeviceColorsEntry(device.first, device.second));
  return list;
}

std::string buildFlushRequest(const ColorBuffer& buffer) {
  JsonHandle params;
  params.member("ledsColorsByDeviceIndex") = buildDeviceColorsList(buffer);
  return toJsonText(makeRequest(method::kSetLedsColorsFlushBuffer, std::move(params)));
}

}  // namespace sdk
