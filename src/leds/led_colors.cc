#include "leds/led_colors.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && defined(__GNUC__)
#include <tmmintrin.h>
#endif

#include "api/exchange.h"
#include "api/methods.h"
#include "core/hot.h"
#include "json/json_format.h"
#include "json/json_text.h"
#include "json/request.h"

namespace sdk {

LUMSDK_HOT bool validateLedColors(int count, const VelmoraLedColor* colors, int checks) {
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

LUMSDK_HOT bool acceptableColorList(int size, const VelmoraLedColor* colors, int checks) {
  return size > 0 && colors != nullptr && validateLedColors(size, colors, checks);
}

namespace {

// The decimal text of 0 to 999 and the character after it (a comma, or the
// "#" that ends a record), zero-filled to four bytes, and in the upper half
// the length of both: one load gives what to copy and how far to move.
struct SmallNumbers {
  uint64_t comma[1000];
  uint64_t hash[1000];
  SmallNumbers() {
    for (int v = 0; v < 1000; ++v) {
      char digits[4] = {};
      int n = 0;
      if (v >= 100) digits[n++] = static_cast<char>('0' + v / 100);
      if (v >= 10) digits[n++] = static_cast<char>('0' + v / 10 % 10);
      digits[n++] = static_cast<char>('0' + v % 10);
      comma[v] = entry(digits, n, ',');
      hash[v] = entry(digits, n, '#');
    }
  }
  static uint64_t entry(const char* digits, int n, char after) {
    char text[4] = {};
    std::memcpy(text, digits, static_cast<size_t>(n));
    text[n] = after;
    uint32_t bytes;
    std::memcpy(&bytes, text, 4);
    return bytes | static_cast<uint64_t>(n + 1) << 32;
  }
};
const SmallNumbers kSmallNumbers;

// Copies an entry's four bytes to out (bytes past its text are overwritten
// by what follows) and returns the end of its text.
inline char* putSmallEntry(char* out, uint64_t entry) {
  const uint32_t bytes = static_cast<uint32_t>(entry);
  std::memcpy(out, &bytes, 4);
  return out + (entry >> 32);
}

// Writes value (0 to 999) in decimal and a comma at out; returns the end.
inline char* putSmallComma(char* out, int value) {
  return putSmallEntry(out, kSmallNumbers.comma[value]);
}

// Writes a record whose numbers are all 0 to 999 as "id,r,g,b#" and
// returns the end: four loads, four stores, no branch. The offsets are sums
// of the lengths, so the next record waits for one addition, not four.
inline char* putSmallRecord(char* out, const VelmoraLedColor& c) {
  const uint64_t id = kSmallNumbers.comma[c.ledId];
  const uint64_t r = kSmallNumbers.comma[c.r];
  const uint64_t g = kSmallNumbers.comma[c.g];
  const uint64_t b = kSmallNumbers.hash[c.b];
  const size_t toR = id >> 32;
  const size_t toG = toR + (r >> 32);
  const size_t toB = toG + (g >> 32);
  putSmallEntry(out, id);
  putSmallEntry(out + toR, r);
  putSmallEntry(out + toG, g);
  putSmallEntry(out + toB, b);
  return out + ((id >> 32) + (r >> 32)) + ((g >> 32) + (b >> 32));
}

// The same for any value.
char* putIntComma(char* out, int value) {
  if (static_cast<unsigned>(value) < 1000u) return putSmallComma(out, value);
  out = std::to_chars(out, out + 11, value).ptr;
  *out++ = ',';
  return out;
}

}  // namespace

namespace {

// Appends the records of [first, last) ("id,r,g,b" joined by "#"); color
// gives an element's record. Records are written into a stack buffer and
// appended in chunks: no zero-filled worst-case resize and no per-number
// append (the worst case of a record with four wide ints is 48 characters,
// three times that of the usual one). Each record is written as
// "id,r,g,b#"; the last "#" is dropped.
template <typename It, typename Color>
LUMSDK_HOT void appendColorRecords(std::string* out, It first, It last, Color color) {
  constexpr int kRecordMax = 4 * 12 + 4;  // four ints and commas, and slack for the copy
  char buffer[8192];
  char* p = buffer;
  for (; first != last; ++first) {
    if (p > buffer + sizeof buffer - kRecordMax) {
      out->append(buffer, p);
      p = buffer;
    }
    const VelmoraLedColor& c = color(*first);
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

}  // namespace

void appendLedColors(std::string* out, int count, const VelmoraLedColor* colors) {
  const VelmoraLedColor* end = colors + (count > 0 ? count : 0);
  appendColorRecords(out, colors, end,
                     [](const VelmoraLedColor& c) -> const VelmoraLedColor& { return c; });
}

namespace {

// Checks the records of a list with at least one record and writes them at
// p ("id,r,g,b#" each): the end, or null for a list refused. Ids must be 0 to
// 499 and distinct; with kComponents, components 0 to 255. Without, a
// component of 1000 or more, or below 0, sets *wide, and the rest of the list
// is only checked.
template <bool kComponents>
char* checkAndWriteRecords(char* p, int count, const VelmoraLedColor* colors, bool* wide) {
  bool seen[kLedIdCount] = {};
  for (int i = 0; i < count; ++i) {
    const VelmoraLedColor& c = colors[i];
    const unsigned id = static_cast<unsigned>(c.ledId);
    if (id > 499u || seen[id]) return nullptr;
    seen[id] = true;
    // The or of the components is at least each of them, and negative ones
    // make it wrap to a large value.
    const unsigned any = static_cast<unsigned>(c.r | c.g | c.b);
    if (kComponents ? any > 255u : any > 999u) {
      if (kComponents) return nullptr;
      for (++i; i < count; ++i) {
        const unsigned next = static_cast<unsigned>(colors[i].ledId);
        if (next > 499u || seen[next]) return nullptr;
        seen[next] = true;
      }
      *wide = true;
      return p;
    }
    // Number by number: next to the checks this measured faster than
    // putSmallRecord's summed offsets (which win where nothing else runs).
    p = putSmallEntry(p, kSmallNumbers.comma[id]);
    p = putSmallEntry(p, kSmallNumbers.comma[c.r]);
    p = putSmallEntry(p, kSmallNumbers.comma[c.g]);
    p = putSmallEntry(p, kSmallNumbers.hash[c.b]);
  }
  return p;
}

}  // namespace

LUMSDK_HOT TerminatedText checkedColorsRequest(const char* method, int deviceIndex, int count,
                                               const VelmoraLedColor* colors, int checks,
                                               ColorsRequestBuffer* buffer) {
  const TerminatedText refused("", 0);
  // More records than there are LED ids always repeat one: refused before
  // any is read.
  if (count <= 0 || count > kLedIdCount || colors == nullptr || !(checks & kCheckLedIds)) {
    return refused;
  }
  const std::string_view name(method);
  if (name.size() > kMaxCheckedMethodSize) return refused;
  // Both envelopes, in the JSON writer's member orders.
  const bool perDevice = deviceIndex >= 0;
  char* const start = buffer->text + kFrameHeaderBytes;
  char* p = start;
  if (perDevice) {
    p = putText(p, "{\"params\":{\"ledsColors\":\"");
  } else {
    p = putText(putText(putText(p, "{\"method\":\""), name), "\",\"params\":{\"ledsColors\":\"");
  }
  bool wide = false;
  p = (checks & kCheckComponents) ? checkAndWriteRecords<true>(p, count, colors, &wide)
                                  : checkAndWriteRecords<false>(p, count, colors, &wide);
  if (p == nullptr) return refused;
  if (wide) {
    buffer->wide = perDevice ? buildDeviceLedsColorsRequest(deviceIndex, count, colors, method)
                             : buildLedsColorsRequest(count, colors, method);
    return buffer->wide;
  }
  --p;  // the last record's "#"
  if (perDevice) {
    p = putJsonInt(putText(p, "\",\"deviceIndex\":"), deviceIndex);
    p = putText(putText(putText(p, "},\"method\":\""), name), "\"}");
  } else {
    p = putText(p, "\"}}");
  }
  return FrameText(start, static_cast<size_t>(p - start));
}

std::string encodeLedColors(int count, const VelmoraLedColor* colors) {
  std::string text;
  appendLedColors(&text, count, colors);
  return text;
}

namespace {

// Blanks as a C++ input stream skips them: space, and \t \n \v \f \r.
inline bool isBlank(char c) {
  return c == ' ' || static_cast<unsigned char>(c - '\t') <= '\r' - '\t';
}

inline void skipBlanks(const char*& p, const char* end) {
  while (p != end && isBlank(*p)) ++p;
}

// Reads an int the way a C++ input stream extracts one: blanks, an optional
// sign and digits that must fit in an int. On failure p stays where it was.
inline bool readInt(const char*& p, const char* end, int* value) {
  skipBlanks(p, end);
  const char* s = p;
  bool negative = false;
  if (s != end && (*s == '+' || *s == '-')) {
    negative = *s == '-';
    ++s;
  }
  const char* digits = s;
  // Capped once past the int range, so that no run of digits overflows it.
  constexpr long long kCap = static_cast<long long>(INT_MAX) + 1;
  long long magnitude = 0;
  while (s != end && static_cast<unsigned char>(*s - '0') < 10) {
    if (magnitude <= kCap) magnitude = magnitude * 10 + (*s - '0');
    ++s;
  }
  if (s == digits) return false;
  const long long v = negative ? -magnitude : magnitude;
  if (v < INT_MIN || v > INT_MAX) return false;
  *value = static_cast<int>(v);
  p = s;
  return true;
}

// A separator is any single character after blanks.
inline bool readSeparator(const char*& p, const char* end) {
  skipBlanks(p, end);
  if (p == end) return false;
  ++p;
  return true;
}

// The common form of a number, read without the general steps: one to nine
// digits (no sign, no blank before them, so no overflow) followed by the end
// of the text or a character that is no blank, which is then the separator
// as readSeparator would take it. False when the text is not in that form,
// for the general steps to read it.
inline bool readPlainInt(const char*& p, const char* end, int* value) {
  const char* s = p;
  if (s == end || static_cast<unsigned char>(*s - '0') >= 10) return false;
  int v = *s++ - '0';
  for (int n = 1; s != end && static_cast<unsigned char>(*s - '0') < 10; ++n, ++s) {
    if (n == 9) return false;
    v = v * 10 + (*s - '0');
  }
  if (s != end && isBlank(*s)) return false;
  *value = v;
  p = s;
  return true;
}

// A whole record "id,r,g,b" in the common form, and the separator after it;
// p stays where it was unless the record was read.
inline bool readPlainRecord(const char*& p, const char* end, VelmoraLedColor* c) {
  const char* s = p;
  if (!readPlainInt(s, end, &c->ledId) || s == end) return false;
  ++s;
  if (!readPlainInt(s, end, &c->r) || s == end) return false;
  ++s;
  if (!readPlainInt(s, end, &c->g) || s == end) return false;
  ++s;
  if (!readPlainInt(s, end, &c->b)) return false;
  if (s != end) ++s;  // the "#" between records
  p = s;
  return true;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMSDK_SHAPED_RECORDS 1

// Records read a window at a time, without a branch on the digit counts:
// for a window of 64 bytes one mask marks the bytes that are no digit, and
// a record is the text up to its fourth such byte. The positions of those
// four bytes (the record's "shape") say where the digits of each number
// are; a table keyed by the shape gives the shuffle that lines the digits
// up right-aligned in four-byte lanes, and two multiply-adds turn the lanes
// into the record's four ints. Only records of one to three digits per
// number whose separators are plain characters take this way; anything
// else is left to the general steps, so the result is the same.

// A shape has its bits at 1 to 15; multiplied by this constant its top
// byte differs for each of the 81 shapes of one to three digits. (Were two
// to share a slot, one of them would only be left to the general steps.)
constexpr uint64_t kShapeHash = 0x5c31cfb1f8d6a10bull;

inline unsigned shapeSlot(uint64_t shape) {
  return static_cast<unsigned>((shape * kShapeHash) >> 56);
}

struct RecordShapes {
  uint64_t shape[256];                   // 0 where no shape falls
  alignas(16) uint8_t shuffle[256][16];  // 0x80: a zero byte
  RecordShapes() {
    std::memset(shape, 0, sizeof shape);
    std::memset(shuffle, 0x80, sizeof shuffle);
    for (unsigned k = 0; k < 81; ++k) {
      const unsigned digits[4] = {k / 27 + 1, k / 9 % 3 + 1, k / 3 % 3 + 1, k % 3 + 1};
      unsigned start[4];
      uint64_t bits = 0;
      unsigned at = 0;
      for (int i = 0; i < 4; ++i) {
        start[i] = at;
        at += digits[i];
        bits |= uint64_t{1} << at;
        ++at;
      }
      const unsigned slot = shapeSlot(bits);
      shape[slot] = bits;
      for (int i = 0; i < 4; ++i) {
        for (unsigned j = 0; j < digits[i]; ++j) {
          shuffle[slot][4 * i + 4 - digits[i] + j] = static_cast<uint8_t>(start[i] + j);
        }
      }
    }
  }
};
const RecordShapes kRecordShapes;
// The instructions the shaped reader needs; without them the general steps
// read every record.
const bool kShapedRecordsUsable = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("ssse3") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2");
}();

static_assert(sizeof(VelmoraLedColor) == 16, "a record is stored as four ints at once");

constexpr size_t kWindow = 64;

// Bit i of the result is set when w[i] is no digit; bit i of *odd when
// w[i] is below '!' or from 0x80 on (blanks among them): a record with such
// a separator is left to the general steps.
__attribute__((target("ssse3"))) inline uint64_t nonDigits(const char* w, uint64_t* odd) {
  // '0' to '9' become the ten largest positive bytes.
  const __m128i shift = _mm_set1_epi8(0x7F - '9');
  const __m128i top = _mm_set1_epi8(0x7F - 10);
  const __m128i bang = _mm_set1_epi8('!');
  uint64_t m = 0, b = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 16 * k));
    const __m128i digit = _mm_cmpgt_epi8(_mm_add_epi8(v, shift), top);
    const __m128i low = _mm_cmpgt_epi8(bang, v);  // signed: bytes from 0x80 are below too
    m |= static_cast<uint64_t>(static_cast<uint16_t>(~_mm_movemask_epi8(digit))) << (16 * k);
    b |= static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(low))) << (16 * k);
  }
  *odd = b;
  return m;
}

// Reads records from p on while they have one of the shapes, into out from
// out[count]; returns the new count, or capacity + 1 once a record does not
// fit. p is left at the first record it did not read.
__attribute__((target("ssse3,bmi,bmi2"))) LUMSDK_HOT size_t readShapedRecords(
    const char*& p, const char* end, VelmoraLedColor* out, size_t count, size_t capacity) {
  // The end of the text is copied into a padded window: loads never pass
  // the end, and a '#' after the text ends its last record as the end would.
  char tail[kWindow + 16];
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i tens = _mm_setr_epi8(10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1, 10, 1);
  const __m128i hundreds = _mm_setr_epi16(100, 1, 100, 1, 100, 1, 100, 1);
  while (p != end) {
    const size_t avail = static_cast<size_t>(end - p);
    const char* w = p;
    if (avail < sizeof tail) {
      const size_t n = avail < kWindow ? avail : kWindow;
      std::memcpy(tail, p, n);
      std::memset(tail + n, '#', sizeof tail - n);
      w = tail;
    }
    uint64_t odd;
    uint64_t m = nonDigits(w, &odd);  // bits before the next record cleared as it goes
    unsigned at = 0;
    for (;;) {
      uint64_t fourth = m & (m - 1);
      fourth &= fourth - 1;
      fourth &= fourth - 1;
      if (fourth == 0) break;  // the record does not end in this window
      const uint64_t separators = m & (fourth ^ (fourth - 1));
      if (separators & odd) break;  // maybe a blank: the general steps decide
      const uint64_t shape = separators >> at;
      const unsigned slot = shapeSlot(shape);
      if (kRecordShapes.shape[slot] != shape) break;
      if (count == capacity) return capacity + 1;
      const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + at));
      const __m128i lanes = _mm_shuffle_epi8(
          _mm_sub_epi8(text, zero),
          _mm_load_si128(reinterpret_cast<const __m128i*>(kRecordShapes.shuffle[slot])));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + count),
                       _mm_madd_epi16(_mm_maddubs_epi16(lanes, tens), hundreds));
      ++count;
      at = static_cast<unsigned>(__builtin_ctzll(fourth)) + 1;
      m = fourth & (fourth - 1);
    }
    if (at == 0) break;
    p = at > avail ? end : p + at;
  }
  return count;
}

#endif

}  // namespace

LUMSDK_HOT size_t decodeLedColors(const char* text, size_t size, VelmoraLedColor* out,
                                  size_t capacity) {
  const char* p = text;
  const char* const end = text + size;
  size_t count = 0;
  while (p != end) {
#ifdef LUMSDK_SHAPED_RECORDS
    if (kShapedRecordsUsable) {
      count = readShapedRecords(p, end, out, count, capacity);
      if (count > capacity || p == end) return count;
    }
#endif
    VelmoraLedColor c{};
    if (readPlainRecord(p, end, &c)) {
      if (count == capacity) return capacity + 1;
      out[count++] = c;
      continue;
    }
    if (!readInt(p, end, &c.ledId)) break;
    if (!readSeparator(p, end) || !readInt(p, end, &c.r)) break;
    if (!readSeparator(p, end) || !readInt(p, end, &c.g)) break;
    if (!readSeparator(p, end) || !readInt(p, end, &c.b)) break;
    if (count == capacity) return capacity + 1;
    out[count++] = c;
    readSeparator(p, end);  // the "#" between records
  }
  return count;
}

std::vector<VelmoraLedColor> decodeLedColors(const std::string& text) {
  // A record takes at least seven characters ("0,0,0,0" and a separator).
  std::vector<VelmoraLedColor> colors(text.size() / 8 + 1);
  const size_t count = decodeLedColors(text.data(), text.size(), colors.data(), colors.size());
  colors.resize(count);
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

std::string buildDeviceLedsColorsRequest(int deviceIndex, int count, const VelmoraLedColor* colors,
                                         const char* method) {
  // Composed directly, like buildLedsColorsRequest; members in the writer's
  // order (newest first).
  std::string text;
  text.reserve(std::strlen(method) + static_cast<size_t>(count > 0 ? count : 0) * 16 + 64);
  text.append("{\"params\":{\"ledsColors\":\"");
  appendLedColors(&text, count, colors);
  text.append("\",\"deviceIndex\":");
  appendJsonNumber(text, deviceIndex);
  text.append("},\"method\":\"").append(method).append("\"}");
  return text;
}

VelmoraLedColor* DeviceColors::find(int ledId) {
  if (!where_.empty()) {
    const uint16_t at = where_[static_cast<size_t>(ledId)];
    return at != 0 ? &list_[at - 1u] : nullptr;
  }
  for (VelmoraLedColor& listed : list_) {
    if (listed.ledId == ledId) return &listed;
  }
  return nullptr;
}

LUMSDK_HOT void DeviceColors::append(const VelmoraLedColor& c) {
  list_.push_back(c);
  if (!where_.empty()) {
    where_[static_cast<size_t>(c.ledId)] = static_cast<uint16_t>(list_.size());
  } else if (list_.size() >= kListedLeds) {
    where_.assign(kLedIdCount, 0);
    for (size_t i = 0; i < list_.size(); ++i) {
      where_[static_cast<size_t>(list_[i].ledId)] = static_cast<uint16_t>(i + 1);
    }
  }
}

LUMSDK_HOT void DeviceColors::set(const VelmoraLedColor& c) {
  if (VelmoraLedColor* listed = find(c.ledId)) {
    *listed = c;
  } else {
    append(c);
  }
}

void DeviceColors::setIfAbsent(const VelmoraLedColor& c) {
  if (find(c.ledId) == nullptr) append(c);
}

void DeviceColors::reset(int deviceIndex) {
  // Only the ids in the list have a place to forget; the table stays, as
  // the device will likely hold as many LEDs again.
  if (!where_.empty()) {
    for (const VelmoraLedColor& c : list_) where_[static_cast<size_t>(c.ledId)] = 0;
  }
  list_.clear();
  deviceIndex_ = deviceIndex;
}

size_t ColorBuffer::ledCount() const {
  size_t leds = 0;
  for (const DeviceColors& d : *this) leds += d.size();
  return leds;
}

LUMSDK_HOT DeviceColors& ColorBuffer::device(int deviceIndex) {
  // A desk has a handful of devices: a look along the list beats a map.
  if (used_ <= kListedDevices) {
    for (size_t i = 0; i < used_; ++i) {
      if (devices_[i].deviceIndex() == deviceIndex) return devices_[i];
    }
  } else {
    const auto found = index_.find(deviceIndex);
    if (found != index_.end()) return devices_[found->second];
  }
  if (used_ == devices_.size()) {
    devices_.emplace_back(deviceIndex);
  } else {
    devices_[used_].reset(deviceIndex);
  }
  if (used_ == kListedDevices) {
    for (size_t i = 0; i < used_; ++i) index_.emplace(devices_[i].deviceIndex(), i);
  }
  if (used_ >= kListedDevices) index_.emplace(deviceIndex, used_);
  return devices_[used_++];
}

LUMSDK_HOT void ColorBuffer::clear() {
  for (size_t i = 0; i < used_; ++i) devices_[i].reset(0);
  used_ = 0;
  index_.clear();
}

JsonHandle buildDeviceColorsEntry(const DeviceColors& colors) {
  JsonHandle entry;
  entry.member("deviceIndex") = JsonHandle(colors.deviceIndex());
  entry.member("ledColors") =
      JsonHandle(encodeLedColors(static_cast<int>(colors.size()), colors.list().data()));
  return entry;
}

JsonHandle buildDeviceColorsList(const ColorBuffer& buffer) {
  JsonHandle list;
  for (const DeviceColors& device : buffer) list.append(buildDeviceColorsEntry(device));
  return list;
}

std::string buildFlushRequest(const ColorBuffer& buffer) {
  // Composed directly, as the other colour requests are: the same bytes as
  // toJsonText(makeRequest(method, {"ledsColorsByDeviceIndex": list})) with
  // the list of buildDeviceColorsList (members newest first, devices and
  // LEDs in the buffer's order), without building and writing a document.
  std::string text;
  appendFlushRequest(&text, buffer);
  return text;
}

LUMSDK_HOT void appendFlushRequest(std::string* out, const ColorBuffer& buffer) {
  std::string& text = *out;
  text.reserve(text.size() + 96 + static_cast<size_t>(buffer.end() - buffer.begin()) * 48 +
               buffer.ledCount() * 16);
  text.append("{\"params\":{\"ledsColorsByDeviceIndex\":");
  if (buffer.empty()) {
    text.append("null");
  } else {
    text += '[';
    for (const DeviceColors& device : buffer) {
      if (text.back() != '[') text += ',';
      text.append("{\"ledColors\":\"");
      appendLedColors(&text, static_cast<int>(device.size()), device.list().data());
      text.append("\",\"deviceIndex\":");
      appendJsonNumber(text, device.deviceIndex());
      text += '}';
    }
    text += ']';
  }
  text.append("},\"method\":\"").append(method::kSetLedsColorsFlushBuffer).append("\"}");
}

}  // namespace sdk
