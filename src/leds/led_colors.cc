#include "leds/led_colors.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>

#include "api/exchange.h"
#include "api/methods.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {

bool validateLedColors(int count, const VelmoraLedColor* colors, int checks) {
  if (count <= 0) return true;
  if (checks & kCheckLedIds) {
    // Ids are known to be 0 to 499 once checked: a table finds a repeat
    // without sorting, in the same pass.
    bool seen[500] = {};
    const bool components = (checks & kCheckComponents) != 0;
    for (int i = 0; i < count; ++i) {
      const VelmoraLedColor& c = colors[i];
      // Compared unsigned, so negative values fail as well; or-ed, as a
      // component above 255 or below 0 makes the or exceed 255 too.
      if (static_cast<unsigned>(c.ledId) > 499u) return false;
      if (components && static_cast<unsigned>(c.r | c.g | c.b) > 255u) return false;
      bool& s = seen[c.ledId];
      if (s) return false;
      s = true;
    }
    return true;
  }
  for (int i = 0; i < count; ++i) {
    const VelmoraLedColor& c = colors[i];
    if ((checks & kCheckComponents) && static_cast<unsigned>(c.r | c.g | c.b) > 255u) return false;
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

// The decimal text of 0 to 999 followed by a comma, as four bytes to copy
// at once (bytes past the comma are overwritten by what follows), and the
// length of the digits.
struct SmallNumbers {
  char text[1000][4];
  uint8_t length[1000];
  SmallNumbers() {
    for (int v = 0; v < 1000; ++v) {
      char* d = text[v];
      if (v >= 100) *d++ = static_cast<char>('0' + v / 100);
      if (v >= 10) *d++ = static_cast<char>('0' + v / 10 % 10);
      *d++ = static_cast<char>('0' + v % 10);
      length[v] = static_cast<uint8_t>(d - text[v]);
      *d++ = ',';
      while (d < text[v] + 4) *d++ = ',';
    }
  }
};
const SmallNumbers kSmallNumbers;

// Writes value (0 to 999) in decimal and a comma at out; returns the end.
inline char* putSmallComma(char* out, int value) {
  std::memcpy(out, kSmallNumbers.text[value], 4);
  return out + kSmallNumbers.length[value] + 1;
}

// Writes a record whose numbers are all 0 to 999 as "id,r,g,b#" and
// returns the end. The four lengths are looked up first, so the four copies
// do not wait for one another.
inline char* putSmallRecord(char* out, const VelmoraLedColor& c) {
  const uint8_t* length = kSmallNumbers.length;
  const size_t a = length[c.ledId] + 1u;
  const size_t b = a + length[c.r] + 1u;
  const size_t d = b + length[c.g] + 1u;
  const size_t e = d + length[c.b] + 1u;
  std::memcpy(out, kSmallNumbers.text[c.ledId], 4);
  std::memcpy(out + a, kSmallNumbers.text[c.r], 4);
  std::memcpy(out + b, kSmallNumbers.text[c.g], 4);
  std::memcpy(out + d, kSmallNumbers.text[c.b], 4);
  out[e - 1] = '#';
  return out + e;
}

// The same for any value.
char* putIntComma(char* out, int value) {
  if (static_cast<unsigned>(value) < 1000u) return putSmallComma(out, value);
  out = std::to_chars(out, out + 11, value).ptr;
  *out++ = ',';
  return out;
}

}  // namespace

void appendLedColors(std::string* out, int count, const VelmoraLedColor* colors) {
  // Records are written into a stack buffer and appended in chunks: no
  // zero-filled worst-case resize and no per-number append. Each record is
  // written as "id,r,g,b," and its last comma becomes the "#" before the
  // next one.
  constexpr int kRecordMax = 4 * 12 + 4;  // four ints and commas, and slack for the copy
  char buffer[8192];
  char* p = buffer;
  for (int i = 0; i < count; ++i) {
    if (p > buffer + sizeof buffer - kRecordMax) {
      out->append(buffer, p);
      p = buffer;
    }
    const VelmoraLedColor& c = colors[i];
    // Ids and components are almost always below 1000: those are a copy
    // each, with no call and no branch per number.
    if (static_cast<unsigned>(c.ledId) < 1000u && static_cast<unsigned>(c.r) < 1000u &&
        static_cast<unsigned>(c.g) < 1000u && static_cast<unsigned>(c.b) < 1000u) {
      p = putSmallRecord(p, c);
    } else {
      p = putIntComma(p, c.ledId);
      p = putIntComma(p, c.r);
      p = putIntComma(p, c.g);
      p = putIntComma(p, c.b);
      p[-1] = '#';
    }
  }
  if (p > buffer) --p;  // the last record has no "#" after it
  out->append(buffer, p);
}

std::string checkedSetColorsRequest(int count, const VelmoraLedColor* colors, const char* method) {
  std::string text;
  if (count <= 0 || colors == nullptr) return text;
  // One pass checks each record and writes it: every number is then below
  // 500, and the whole list costs a few nanoseconds per LED.
  bool seen[500] = {};
  char buffer[8192];
  constexpr int kRecordMax = 4 * 4 + 4;  // four numbers of three digits and commas, and slack
  text.reserve(std::strlen(method) + static_cast<size_t>(count) * 16 + 48);
  text.append("{\"method\":\"").append(method).append("\",\"params\":{\"ledsColors\":\"");
  char* p = buffer;
  for (int i = 0; i < count; ++i) {
    const VelmoraLedColor& c = colors[i];
    const unsigned id = static_cast<unsigned>(c.ledId);
    if (id > 499u || static_cast<unsigned>(c.r | c.g | c.b) > 255u || seen[id]) {
      text.clear();
      return text;
    }
    seen[id] = true;
    if (p > buffer + sizeof buffer - kRecordMax) {
      text.append(buffer, p);
      p = buffer;
    }
    p = putSmallRecord(p, c);
  }
  text.append(buffer, p - 1);
  text.append("\"}}");
  return text;
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
