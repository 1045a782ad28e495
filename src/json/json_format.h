// The text form of JSON scalars: numbers in both directions and quoted
// strings on the way out. Shared by the writer and the reader, and exposed
// for the tests and the fuzz target.
#ifndef LUMSDK_JSON_JSON_FORMAT_H_
#define LUMSDK_JSON_JSON_FORMAT_H_

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace sdk {

// Reads a number at [begin, end) exactly as a classic-locale std::istream
// extracts a double with libstdc++: an optional sign, digits with at most one
// decimal point, and an exponent letter (e or E) taken only after at least
// one mantissa digit, with an optional sign and digits. The longest such
// prefix is consumed; it must then form a whole number ("-", "1e" and "1e+"
// do not). A value beyond the double range fails; one too small for it reads
// as zero of the same sign. Independent of the global C and C++ locales.
//
// Returns the end of the consumed text and stores the value, or returns
// nullptr when the extraction fails.
const char* readJsonNumber(const char* begin, const char* end, double* value);

// readJsonNumber with the common short number read in line: an optional
// minus, at most fifteen digits around at most one point, and no exponent.
// Such a number is an exact integer divided once by an exact power of ten,
// which rounds correctly, as readJsonNumber computes it too; anything else is
// left to readJsonNumber. Same end, same value, same failures.
inline const char* readShortJsonNumber(const char* begin, const char* end, double* value) {
  constexpr std::size_t kShortDigits = 15;  // always fit in the 53-bit significand
  static constexpr double kPowersOfTen[kShortDigits + 1] = {
      1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const auto isDigit = [](char c) { return static_cast<unsigned char>(c - '0') < 10; };
  const char* p = begin;
  const bool negative = p < end && *p == '-';
  if (negative) ++p;
  const char* const first = p;
  std::uint64_t digits = 0;  // wraps harmlessly past kShortDigits digits
  while (p < end && isDigit(*p)) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
  std::size_t count = static_cast<std::size_t>(p - first);
  std::size_t fraction = 0;
  if (p < end && *p == '.') {
    const char* const point = ++p;
    while (p < end && isDigit(*p)) digits = digits * 10 + static_cast<unsigned>(*p++ - '0');
    fraction = static_cast<std::size_t>(p - point);
    count += fraction;
  }
  // With no digit the text is no number; past a point another one ends the
  // number anyway, so only an exponent can continue it.
  if (count == 0 || count > kShortDigits || (p < end && (*p == 'e' || *p == 'E'))) {
    return readJsonNumber(begin, end, value);
  }
  // Signed: converts in one instruction, and digits is below 10^15.
  double result = static_cast<double>(static_cast<std::int64_t>(digits));
  if (fraction != 0) result /= kPowersOfTen[fraction];
  *value = negative ? -result : result;
  return p;
}

// A number read as an int: truncated toward zero, NaN as 0, and values past
// either end of the int range as that end. Inline: every answer's result and
// error code pass through it.
inline int jsonNumberToInt(double value) {
  // Converting a double outside the int range is undefined, so the ends of
  // the range (and NaN) are settled first.
  if (std::isnan(value)) return 0;
  if (value >= 2147483648.0) return INT_MAX;
  if (value <= -2147483649.0) return INT_MIN;
  return static_cast<int>(value);
}

// Appends a double as a default-formatted std::ostream would write it
// (printf's %g with six significant digits: 255, 0.5, 1e-05, 1.23457e+06,
// -0), without streams and independent of the locale. Non-finite values write
// as nan, inf and -inf.
void appendJsonNumber(std::string& out, double value);

// Copies text to p (no 0 byte after it) and returns its end: for texts
// composed in place.
inline char* putText(char* p, std::string_view text) {
  std::memcpy(p, text.data(), text.size());
  return p + text.size();
}

// Writes value at p as appendJsonNumber writes it, in at most
// kMaxJsonIntChars characters, and returns the end.
constexpr std::size_t kMaxJsonIntChars = 12;  // "-2.14748e+09"
char* putJsonInt(char* p, int value);

// Appends text as a quoted JSON string: a double quote becomes \" and the
// control characters backspace, form feed, line feed, carriage return and tab
// become \b \f \n \r \t; a NUL byte becomes a backslash followed by NUL,
// which the reader turns back into NUL. Every other byte, the backslash
// included, is written unchanged.
void appendJsonString(std::string& out, const std::string& text);

}  // namespace sdk

#endif  // LUMSDK_JSON_JSON_FORMAT_H_
