#include "host/profile/json_syntax.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <set>
#include <string>

namespace lumhost {
namespace {

// Nesting beyond this is refused; the library's reader stops earlier anyway.
constexpr int kMaxDepth = 200;

class SyntaxChecker {
 public:
  explicit SyntaxChecker(const std::string& text) : text_(text) {}

  bool run(std::string* error) {
    skipBlanks();
    if (!value(0)) return report(error);
    skipBlanks();
    if (pos_ != text_.size()) {
      fail("unexpected text after the end of the document");
      return report(error);
    }
    return true;
  }

 private:
  bool report(std::string* error) {
    if (error == nullptr) return false;
    int line = 1;
    int column = 1;
    for (size_t i = 0; i < failPos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    *error =
        "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " + message_;
    return false;
  }

  bool fail(const std::string& message) {
    if (message_.empty()) {
      message_ = message;
      failPos_ = pos_;
    }
    return false;
  }

  bool atEnd() const { return pos_ >= text_.size(); }
  char peek() const { return atEnd() ? '\0' : text_[pos_]; }

  void skipBlanks() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
      ++pos_;
  }

  bool value(int depth) {
    if (atEnd()) return fail("unexpected end of text, expected a value");
    char c = peek();
    if (c == '{') return object(depth + 1);
    if (c == '[') return array(depth + 1);
    if (c == '"') return string();
    if (c == '-' || (c >= '0' && c <= '9')) return number();
    if (literal("true") || literal("false") || literal("null")) return true;
    return fail(std::string("unexpected character '") + printable(c) + "', expected a value");
  }

  static std::string printable(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F) return std::string(1, c);
    static const char kHex[] = "0123456789abcdef";
    return std::string("\\x") + kHex[u >> 4] + kHex[u & 15];
  }

  bool literal(const char* word) {
    std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return false;
    pos_ += w.size();
    return true;
  }

  bool object(int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    ++pos_;  // {
    skipBlanks();
    if (peek() == '}') {
      ++pos_;
      return true;
    }
    // Member names seen in this object, as written: the only escapes
    // allowed stand for one character each, so equal names are equal texts.
    std::set<std::string> names;
    for (;;) {
      skipBlanks();
      if (peek() != '"') return fail("expected a member name in double quotes");
      size_t start = pos_;
      if (!string()) return false;
      // A repeated member would silently replace the first one.
      std::string name = text_.substr(start + 1, pos_ - start - 2);
      if (!names.insert(name).second) {
        pos_ = start;
        return fail("member \"" + name + "\" appears twice in one object");
      }
      skipBlanks();
      if (peek() != ':') return fail("expected ':' after the member name");
      ++pos_;
      skipBlanks();
      if (!value(depth)) return false;
      skipBlanks();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        return true;
      }
      return fail("expected ',' or '}'");
    }
  }

  bool array(int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    ++pos_;  // [
    skipBlanks();
    if (peek() == ']') {
      ++pos_;
      return true;
    }
    for (;;) {
      skipBlanks();
      if (!value(depth)) return false;
      skipBlanks();
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        return true;
      }
      return fail("expected ',' or ']'");
    }
  }

  bool string() {
    ++pos_;  // opening quote
    for (;;) {
      if (atEnd()) return fail("unterminated string");
      unsigned char c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return fail("control character inside a string (write it as an escape)");
      if (c == '\\') {
        ++pos_;
        char e = peek();
        if (e == '"' || e == 'b' || e == 'f' || e == 'n' || e == 'r' || e == 't') {
          ++pos_;
          continue;
        }
        --pos_;
        return fail(std::string("unsupported escape '\\") + printable(e) +
                    "' (only \\\" \\b \\f \\n \\r \\t are read back unchanged)");
      }
      ++pos_;
    }
  }

  bool number() {
    size_t start = pos_;
    if (peek() == '-') ++pos_;
    if (peek() == '0') {
      ++pos_;
    } else if (peek() >= '1' && peek() <= '9') {
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
    } else {
      return fail("expected a digit");
    }
    if (peek() == '.') {
      ++pos_;
      if (!std::isdigit(static_cast<unsigned char>(peek())))
        return fail("expected a digit after '.'");
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!std::isdigit(static_cast<unsigned char>(peek()))) return fail("expected an exponent");
      while (std::isdigit(static_cast<unsigned char>(peek()))) ++pos_;
    }
    // A number too large for a double would not be read back at all.
    std::string digits = text_.substr(start, pos_ - start);
    if (!std::isfinite(std::strtod(digits.c_str(), nullptr))) {
      pos_ = start;
      return fail("the number " + digits + " is out of range");
    }
    return true;
  }

  const std::string& text_;
  size_t pos_ = 0;
  size_t failPos_ = 0;
  std::string message_;
};

}  // namespace

bool checkJsonSyntax(const std::string& text, std::string* error) {
  return SyntaxChecker(text).run(error);
}

}  // namespace lumhost
