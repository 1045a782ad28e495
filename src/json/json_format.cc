#include "json/json_format.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace sdk {
namespace {

// Powers of ten that a double holds exactly.
constexpr double kExactPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kMaxExactPower = 22;
// Up to 15 decimal digits always fit in the 53-bit significand.
constexpr int kMaxExactDigits = 15;

// Lookup table of the bytes that a string write must escape: 0 for bytes
// written unchanged, else the letter written after the backslash. The NUL
// byte pairs with itself, so it is written as a backslash and a NUL.
struct EscapeTable {
  char letter[256] = {};
  bool escaped[256] = {};
  constexpr EscapeTable() {
    set('"', '"');
    set('\b', 'b');
    set('\f', 'f');
    set('\n', 'n');
    set('\r', 'r');
    set('\t', 't');
    set('\0', '\0');
  }
  constexpr void set(char c, char l) {
    letter[static_cast<unsigned char>(c)] = l;
    escaped[static_cast<unsigned char>(c)] = true;
  }
};
constexpr EscapeTable kEscapes;

bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

// Whether any of the eight bytes at p is below 0x20 or a double quote: the
// bytes that a string write may escape. (A borrow can only run up from such
// a byte, and bytes of 0x80 and above are masked, so the answer is exact.)
bool mayNeedEscape(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  const std::uint64_t quotes = word ^ (kOnes * '"');
  const std::uint64_t below = (word - kOnes * 0x20) | (quotes - kOnes);
  return (below & ~word & kHighs) != 0;
}

// Tells, for a well-formed number text whose value lies beyond the double
// range, whether it is too large (true) or too small (false): the decimal
// exponent of its first significant digit decides, and it cannot be near 0.
bool isOverflow(const char* p, const char* end) {
  if (*p == '-' || *p == '+') ++p;
  while (p < end && *p == '0') ++p;
  long long leading = 0;  // position of the first significant digit
  bool seen = false;
  while (p < end && isDigit(*p)) {
    ++leading;
    seen = true;
    ++p;
  }
  if (seen) {
    --leading;
  } else {
    leading = -1;
  }
  if (p < end && *p == '.') {
    ++p;
    while (!seen && p < end && *p == '0') {
      --leading;
      ++p;
    }
    while (p < end && isDigit(*p)) ++p;
  }
  long long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    // Saturates far beyond any double exponent; the sign is what counts.
    while (p < end && isDigit(*p)) {
      if (exponent < 1000000000) exponent = exponent * 10 + (*p - '0');
      ++p;
    }
    if (negative) exponent = -exponent;
  }
  if (leading > 1000000000) leading = 1000000000;
  if (leading < -1000000000) leading = -1000000000;
  return leading + exponent > 0;
}

void appendInt(std::string& out, int value) {
  char buffer[12];
  char* p = buffer + sizeof buffer;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    *--p = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *--p = '-';
  out.append(p, buffer + sizeof buffer);
}

}  // namespace

char* putJsonInt(char* p, int value) {
  // Whole numbers of up to six digits are their digits; larger ones take the
  // writer's six significant digits.
  if (value > -1000000 && value < 1000000) return std::to_chars(p, p + kMaxJsonIntChars, value).ptr;
  std::string number;  // short enough to need no allocation
  appendJsonNumber(number, value);
  return putText(p, number);
}

const char* readJsonNumber(const char* begin, const char* end, double* value) {
  // The scan mirrors the stream's extraction step by step, so that the same
  // characters are consumed; the digits are gathered on the way for the
  // common case of a short number without exponent.
  const char* p = begin;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) {
    negative = *p == '-';
    ++p;
  }
  bool mantissa = false;  // a mantissa digit was seen
  while (p < end && *p == '0') {
    mantissa = true;
    ++p;
  }
  std::uint64_t digits = 0;
  int significant = 0;  // digits counted from the first non-zero one
  int fraction = 0;     // digits after the decimal point
  bool point = false;
  bool exponent = false;
  bool exponentDigits = false;
  while (p < end) {
    const char c = *p;
    if (isDigit(c)) {
      mantissa = true;
      if (exponent) {
        exponentDigits = true;
      } else {
        if (significant < kMaxExactDigits + 1) {
          digits = digits * 10 + static_cast<unsigned>(c - '0');
          if (digits != 0) ++significant;
        }
        if (point) ++fraction;
      }
    } else if (c == '.' && !point && !exponent) {
      point = true;
    } else if ((c == 'e' || c == 'E') && !exponent && mantissa) {
      exponent = true;
      ++p;
      // A sign directly after the exponent letter belongs to the number.
      if (p < end && (*p == '+' || *p == '-')) {
        ++p;
      }
      continue;
    } else {
      break;
    }
    ++p;
  }
  // The stream converts the gathered text as a whole; text that does not form
  // a number (no mantissa digit, or no exponent digit) fails.
  if (!mantissa || (exponent && !exponentDigits)) return nullptr;

  if (!exponent && significant <= kMaxExactDigits && fraction <= kMaxExactPower) {
    // Both operands are exact, so the one division rounds correctly.
    double result = static_cast<double>(digits);
    if (fraction != 0) result /= kExactPowersOfTen[fraction];
    *value = negative ? -result : result;
    return p;
  }

  // from_chars rounds correctly like strtod but takes no plus sign.
  const char* first = begin < p && *begin == '+' ? begin + 1 : begin;
  double result = 0.0;
  const std::from_chars_result parsed = std::from_chars(first, p, result);
  if (parsed.ptr != p) return nullptr;
  if (parsed.ec == std::errc::result_out_of_range) {
    // The stream refuses a value too large for a double but takes one too
    // small as zero.
    if (isOverflow(begin, p)) return nullptr;
    result = negative ? -0.0 : 0.0;
  } else if (parsed.ec != std::errc()) {
    return nullptr;
  }
  *value = result;
  return p;
}

void appendJsonString(std::string& out, const std::string& text) {
  // Room for the quoted text at once (the growth stays geometric), so that a
  // long string is copied once rather than again for its closing quote.
  if (out.capacity() - out.size() < text.size() + 2) out.reserve(out.size() + text.size() + 2);
  out += '"';
  const char* run = text.data();
  const char* const end = run + text.size();
  for (const char* p = run; p < end; ++p) {
    // Eight bytes at a time past runs that need no escape: every escaped byte
    // is a quote or below 0x20. Long texts (colour lists) are mostly such
    // runs.
    while (end - p >= 8 && !mayNeedEscape(p)) p += 8;
    if (p == end) break;
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!kEscapes.escaped[c]) continue;
    out.append(run, p);
    const char pair[2] = {'\\', kEscapes.letter[c]};
    out.append(pair, 2);
    run = p + 1;
  }
  out.append(run, end);
  out += '"';
}

void appendJsonNumber(std::string& out, double value) {
  // Integers below a million print all their digits under %g, so they are
  // written directly; -0 keeps its sign through the general path.
  if (value > -1e6 && value < 1e6) {
    const int whole = static_cast<int>(value);
    if (static_cast<double>(whole) == value && (whole != 0 || !std::signbit(value))) {
      appendInt(out, whole);
      return;
    }
  }
  if (std::isnan(value)) {
    out += "nan";
    return;
  }
  // Same digits and form as printf("%.6g"): the exponent has a sign and at
  // least two digits.
  char buffer[32];
  const std::to_chars_result written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  out.append(buffer, written.ptr);
}

}  // namespace sdk
