#include "host/views/web/web_text.h"

#include "host/views/desk_picture.h"

namespace lumhost {

// Browsers parse pushes with JSON.parse, which wants standard JSON: every
// control character escaped, and valid UTF-8 (bytes that are not are shown
// as U+FFFD).
void appendJsonString(std::string* out, const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  *out += '"';
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        *out += '\\';
        *out += static_cast<char>(c);
      } else if (c < 0x20) {
        *out += "\\u00";
        *out += kHex[c >> 4];
        *out += kHex[c & 15];
      } else {
        *out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // The length of a well-formed sequence starting here, or 0.
    size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                    : c >= 0xE0 && c <= 0xEF ? 3
                    : c >= 0xF0 && c <= 0xF4 ? 4
                                             : 0;
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0;
      bool ok = (next & 0xC0) == 0x80;
      // No overlong forms, no surrogates, nothing above U+10FFFF.
      if (k == 1 && c == 0xE0) ok = ok && next >= 0xA0;
      if (k == 1 && c == 0xED) ok = ok && next < 0xA0;
      if (k == 1 && c == 0xF0) ok = ok && next >= 0x90;
      if (k == 1 && c == 0xF4) ok = ok && next < 0x90;
      if (!ok) length = 0;
    }
    if (length == 0) {
      *out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out->append(text, i, length);
      i += length;
    }
  }
  *out += '"';
}

std::string jsonString(const std::string& text) {
  std::string out;
  appendJsonString(&out, text);
  return out;
}

std::string htmlEscape(const std::string& text) { return markupEscape(text); }

}  // namespace lumhost
