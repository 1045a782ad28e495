// Fuzz target for the JSON reader and writer. Besides memory and undefined
// behaviour errors it checks three properties on every input:
// - a number at the start of the text is read exactly as a classic-locale
//   std::istream reads it (same characters consumed, same bits);
// - the invalid value writes as nothing and every valid value as something;
// - a valid value survives writing and reading back, compared member by
//   member with numbers in their written form, unless one of its strings
//   holds a backslash that the reader would take as an escape (a backslash
//   before b, f, n, r or t, or at the very end): those are written unchanged
//   and so read back differently by design.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "json/json_format.h"
#include "json/json_text.h"
#include "json/json_value.h"

namespace {

void check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "json_fuzz: %s\n", what);
    std::abort();
  }
}

void checkNumberAgainstStream(const char* data, std::size_t size) {
  if (size == 0 || !(data[0] == '-' || (data[0] >= '0' && data[0] <= '9'))) return;
  std::istringstream in(std::string(data, size));
  in.imbue(std::locale::classic());
  double expected = 0.0;
  in >> std::noskipws >> expected;
  double actual = 0.0;
  const char* next = sdk::readJsonNumber(data, data + size, &actual);
  check(in.fail() == (next == nullptr), "number accepted differently from the stream");
  if (next == nullptr) return;
  in.clear();
  const auto consumed = in.rdbuf()->pubseekoff(0, std::ios_base::cur, std::ios_base::in);
  check(static_cast<long long>(consumed) == static_cast<long long>(next - data),
        "number consumed differently from the stream");
  check(std::memcmp(&actual, &expected, sizeof actual) == 0, "number converted differently");
}

bool readsBackDifferently(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') continue;
    if (i + 1 == text.size()) return true;
    if (text[i + 1] != '\0' && std::strchr("bfnrt", text[i + 1]) != nullptr) return true;
  }
  return false;
}

bool hasEscapeHazard(const sdk::JsonValue& value) {
  switch (value.type()) {
    case sdk::kJsonString:
      return readsBackDifferently(static_cast<const sdk::JsonStringValue&>(value).value());
    case sdk::kJsonArray:
      for (const sdk::JsonHandle& element :
           static_cast<const sdk::JsonArrayValue&>(value).elements()) {
        if (hasEscapeHazard(element.value())) return true;
      }
      return false;
    case sdk::kJsonObject:
      for (const auto& member : static_cast<const sdk::JsonObjectValue&>(value).members()) {
        if (readsBackDifferently(member.first) || hasEscapeHazard(member.second.value())) {
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

// The compact text with object members sorted by name, so that two values
// compare equal whatever order their maps iterate in.
void writeSorted(const sdk::JsonValue& value, std::string& out) {
  if (value.type() == sdk::kJsonArray) {
    out += '[';
    for (const sdk::JsonHandle& element :
         static_cast<const sdk::JsonArrayValue&>(value).elements()) {
      writeSorted(element.value(), out);
      out += ',';
    }
    out += ']';
  } else if (value.type() == sdk::kJsonObject) {
    const auto& members = static_cast<const sdk::JsonObjectValue&>(value).members();
    std::vector<const sdk::JsonObjectValue::Member*> sorted;
    for (const auto& member : members) sorted.push_back(&member);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    out += '{';
    for (const auto* member : sorted) {
      sdk::appendJsonString(out, member->first);
      out += ':';
      writeSorted(member->second.value(), out);
      out += ',';
    }
    out += '}';
  } else {
    value.write(out);
  }
}

std::string sortedText(const sdk::JsonHandle& value) {
  std::string out;
  writeSorted(value.value(), out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  checkNumberAgainstStream(text, size);

  const sdk::JsonHandle value = sdk::parseJsonText(text, size);
  const std::string written = sdk::toJsonText(value);
  if (!value.isValid()) {
    check(written.empty(), "the invalid value wrote text");
    return 0;
  }
  check(!written.empty(), "a valid value wrote nothing");

  const sdk::JsonHandle copy = value;
  check(sortedText(copy) == sortedText(value), "a copy differs from its source");

  const sdk::JsonHandle again = sdk::parseJsonText(written);
  if (!hasEscapeHazard(value.value())) {
    check(again.isValid(), "written text did not read back");
    check(sortedText(again) == sortedText(value), "written text read back differently");
  }
  return 0;
}
