// Compact JSON text out of a JsonHandle, and the lenient reader that turns
// the host's answers back into one.
#ifndef LUMSDK_JSON_JSON_TEXT_H_
#define LUMSDK_JSON_JSON_TEXT_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "json/json_format.h"
#include "json/json_value.h"

namespace sdk {

// Containers nested deeper than this read as the invalid value, so that no
// text can exhaust the stack of the recursive reader.
constexpr int kJsonMaxDepth = 256;

// The compact text of a value: no whitespace anywhere, numbers as a default
// std::ostream writes a double, object members newest first. The
// invalid value writes as empty text; inside an array or object it writes as
// null so that the text stays readable.
std::string toJsonText(const JsonHandle& value);

// Reads one value from the start of the text; whatever follows it is ignored.
// Never fails: unreadable text gives the invalid value, and a container with
// an unreadable part is invalid as a whole. The reader is lenient where the
// host's text has always been read so:
// - blanks (whitespace and every byte outside 0x20..0x7E) are skipped before
//   values and around commas, colons and brackets;
// - [] and {} read as null; a repeated member name keeps the last value;
// - null, true and false are read as four, four and five characters, stopping
//   early at a line feed, and compared as a whole;
// - numbers are read as a classic-locale std::istream reads a double;
// - in strings, \" \b \f \n \r \t and a backslash before a NUL byte are
//   unescaped; any other backslash is kept together with what follows it
//   (\u is not decoded); a string that reaches the end of the text without
//   its closing quote ends there.
JsonHandle parseJsonText(const std::string& text);
JsonHandle parseJsonText(const char* data, std::size_t size);

// One member of an object as readFlatObject gives it: its kind (kJsonInvalid
// when absent) and, for a number, a bool or a string, its value. Reads as the
// member's holder would. A string's bytes stay where they were read (in the
// text, or in the document for of()), valid as long as those.
struct JsonScalar {
  int type = kJsonInvalid;
  double number = 0.0;
  bool boolean = false;
  const char* text = nullptr;
  std::size_t textSize = 0;

  static JsonScalar of(const JsonHandle& value);
  int asInt() const { return type == kJsonNumber ? jsonNumberToInt(number) : 0; }
  bool asBool() const { return type == kJsonBool && boolean; }
};

// For the host's short answers (a count, a result and an error code), without
// building a document: when the text starts with an object whose members are
// all numbers, null, true, false or strings without a backslash, sets
// values[i] to the member named names[i] (the last one of that name, invalid
// when there is none) and returns true; each reads exactly as the member of
// parseJsonText's value would. Returns false for any other text, which is
// then read with parseJsonText. Allocates nothing.
bool readFlatObject(const char* data, std::size_t size, const char* const* names,
                    JsonScalar* values, std::size_t count);

// One plain value (a number, a string without a backslash, true, false or
// null) at p, which must be before end, read as readFlatObject reads a
// member's value: the end of it, or null for anything else. One digit and no
// more of a number (the usual error code and count) is read inline, as
// readShortJsonNumber reads it, so that it costs no call; anything else by
// readFlatValueInGeneral.
const char* readFlatValueInGeneral(const char* p, const char* end, JsonScalar* value);
inline const char* readFlatValue(const char* p, const char* end, JsonScalar* value) {
  const auto isDigit = [](char d) { return static_cast<unsigned char>(d - '0') < 10; };
  if (isDigit(*p) && (p + 1 == end || !(isDigit(p[1]) || p[1] == '.' || (p[1] | 0x20) == 'e'))) {
    value->number = *p - '0';
    value->type = kJsonNumber;
    return p + 1;
  }
  return readFlatValueInGeneral(p, end, value);
}

// readFlatObject's usual case for two members, given as the texts that open
// them (`{"a":` and `,"b":`): exactly those two plain members, in that
// order, without blanks, and then "}". Inline, so that the texts are
// compared as constants, with no search and no call. False for any other
// text (the values may then be partly written), which readFlatObject reads.
inline bool readFlatPair(std::string_view text, std::string_view first, std::string_view second,
                         JsonScalar* firstValue, JsonScalar* secondValue) {
  const char* p = text.data();
  const char* const end = p + text.size();
  if (text.size() <= first.size() || std::memcmp(p, first.data(), first.size()) != 0) return false;
  p = readFlatValue(p + first.size(), end, firstValue);
  if (p == nullptr || static_cast<std::size_t>(end - p) <= second.size() ||
      std::memcmp(p, second.data(), second.size()) != 0) {
    return false;
  }
  p = readFlatValue(p + second.size(), end, secondValue);
  return p != nullptr && p != end && *p == '}';
}

}  // namespace sdk

#endif  // LUMSDK_JSON_JSON_TEXT_H_
