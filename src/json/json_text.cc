#include "json/json_text.h"

#include <cstring>
#include <memory>
#include <utility>

#include "json/json_format.h"

namespace sdk {
namespace {

// Recursive-descent reader over a byte range. Every read either succeeds or
// fails as a whole; a failure abandons the text, so the position after a
// failed step never matters.
class Reader {
 public:
  Reader(const char* begin, const char* end) : p_(begin), end_(end) {}

  // Reads one value into out; false when it is unreadable.
  bool readValue(JsonHandle& out) {
    skipBlanks();
    if (p_ == end_) return false;
    const char c = *p_;
    if (c == '-' || static_cast<unsigned char>(c - '0') < 10) return readNumber(out);
    switch (c) {
      case 'n':
        return readLiteral("null", 4, out, JsonHandle());
      case 't':
        return readLiteral("true", 4, out, true);
      case 'f':
        return readLiteral("false", 5, out, false);
      default:
        break;
    }
    ++p_;
    switch (c) {
      case '"':
        out = JsonHandle(readString());
        return true;
      case '[':
        return readArray(out);
      case '{':
        return readObject(out);
      default:
        return false;
    }
  }

 private:
  // Skips whitespace and non-printable bytes: everything but 0x21..0x7E.
  void skipBlanks() {
    while (p_<end_&& static_cast<unsigned char>(*p_ - 0x21)> 0x7E - 0x21) ++p_;
  }

  bool readNumber(JsonHandle& out) {
    double value = 0.0;
    const char* next = readJsonNumber(p_, end_, &value);
    if (next == nullptr) return false;
    p_ = next;
    out = JsonHandle(value);
    return true;
  }

  // Reads up to length characters, stopping before a line feed or at the end
  // of the text, and compares them with the word as a whole.
  template <typename Value>
  bool readLiteral(const char* word, std::size_t length, JsonHandle& out, Value value) {
    std::size_t available = static_cast<std::size_t>(end_ - p_);
    if (available > length) available = length;
    const void* lineFeed = std::memchr(p_, '\n', available);
    const std::size_t taken =
        lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - p_)
                            : available;
    const bool match = taken == length && std::memcmp(p_, word, length) == 0;
    p_ += taken;
    if (match) out = JsonHandle(value);
    return match;
  }

  // Reads the rest of a string after its opening quote. Never fails.
  std::string readString() {
    const char* start = p_;
    while (p_ < end_ && *p_ != '"' && *p_ != '\\') ++p_;
    std::string text(start, p_);
    if (p_ == end_) return text;
    if (*p_ == '"') {
      ++p_;
      return text;
    }
    // At least one backslash: append run by run.
    start = p_;
    while (p_ < end_) {
      const char c = *p_;
      if (c == '"') {
        text.append(start, p_);
        ++p_;
        return text;
      }
      if (c == '\\' && p_ + 1 < end_) {
        const int unescaped = unescape(p_[1]);
        if (unescaped >= 0) {
          text.append(start, p_);
          text += static_cast<char>(unescaped);
          p_ += 2;
          start = p_;
          continue;
        }
      }
      // Any other byte, and a backslash that escapes nothing, is kept; the
      // byte after such a backslash is looked at again as an ordinary one.
      ++p_;
    }
    text.append(start, p_);
    return text;
  }

  // The character that a backslash and c stand for, or -1 when the pair is
  // no escape.
  static int unescape(char c) {
    switch (c) {
      case '"':
        return '"';
      case 'b':
        return '\b';
      case 'f':
        return '\f';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      case '\0':
        return '\0';
      default:
        return -1;
    }
  }

  // Reads an array after its opening bracket. An empty one reads as null.
  bool readArray(JsonHandle& out) {
    const DepthGuard guard(depth_);
    if (depth_ > kJsonMaxDepth) return false;
    skipBlanks();
    if (p_ == end_) return false;
    if (*p_ == ']') {
      ++p_;
      out = JsonHandle();
      return true;
    }
    auto array = std::make_unique<JsonArrayValue>();
    for (;;) {
      JsonHandle element;
      if (!readValue(element)) return false;
      array->append(std::move(element));
      skipBlanks();
      if (p_ == end_) return false;
      const char c = *p_++;
      if (c == ']') break;
      if (c != ',') return false;
    }
    out = JsonHandle(std::move(array));
    return true;
  }

  // Reads an object after its opening brace. An empty one reads as null.
  bool readObject(JsonHandle& out) {
    const DepthGuard guard(depth_);
    if (depth_ > kJsonMaxDepth) return false;
    skipBlanks();
    if (p_ == end_) return false;
    char c = *p_++;
    if (c == '}') {
      out = JsonHandle();
      return true;
    }
    if (c != '"') return false;
    auto object = std::make_unique<JsonObjectValue>();
    for (;;) {
      std::string name = readString();
      skipBlanks();
      if (p_ == end_ || *p_++ != ':') return false;
      JsonHandle value;
      if (!readValue(value)) return false;
      object->insertOrAssign(std::move(name), std::move(value));
      skipBlanks();
      if (p_ == end_) return false;
      c = *p_++;
      if (c == '}') break;
      if (c != ',') return false;
      skipBlanks();
      if (p_ == end_ || *p_++ != '"') return false;
    }
    out = JsonHandle(std::move(object));
    return true;
  }

  struct DepthGuard {
    explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    int& depth_;
  };

  const char* p_;
  const char* const end_;
  int depth_ = 0;
};

}  // namespace

std::string toJsonText(const JsonHandle& value) {
  std::string text;
  value.write(text);
  return text;
}

JsonHandle parseJsonText(const char* data, std::size_t size) {
  if (data == nullptr) return JsonHandle::makeInvalid();
  Reader reader(data, data + size);
  JsonHandle value;
  if (!reader.readValue(value)) return JsonHandle::makeInvalid();
  return value;
}

JsonHandle parseJsonText(const std::string& text) {
  return parseJsonText(text.data(), text.size());
}

}  // namespace sdk
