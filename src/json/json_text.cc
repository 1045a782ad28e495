#include "json/json_text.h"

#include <cstdint>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <memory>
#include <string>
#include <vector>

#include "core/hot.h"
#include "json/json_format.h"

namespace sdk {
namespace {

// findQuoteOrBackslash past a string's first 16 bytes: long strings (colour
// lists of a few KB) are most of some answers. Kept out of line, so that the
// short strings' loop stays small where it is inlined.
const char* findQuoteOrBackslashInLongString(const char* p, const char* end) {
#if defined(__SSE2__)
  // Sixteen bytes a step.
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i slash = _mm_set1_epi8('\\');
  while (end - p >= 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int hits =
        _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, quote), _mm_cmpeq_epi8(chunk, slash)));
    if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
    p += 16;
  }
#endif
  // Eight bytes a step where there is no SSE2, and for the last ones.
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t quotes = word ^ (kOnes * '"');
    const std::uint64_t slashes = word ^ (kOnes * '\\');
    // Nonzero exactly when a byte of either is zero.
    if ((((quotes - kOnes) & ~quotes) | ((slashes - kOnes) & ~slashes)) & kHighs) break;
    p += 8;
  }
  while (p < end && *p != '"' && *p != '\\') ++p;
  return p;
}

// The same for the flat reader's string values. The long ones are colour
// lists of a few KB with neither character before their end: glibc's memchr
// (vector code chosen for the machine) finds the quote, and then whether a
// backslash comes before it, in two passes that cost less than one 16-byte
// loop. Elsewhere the loop above serves.
const char* findQuoteOrBackslashInLongValue(const char* p, const char* end) {
#if defined(__GLIBC__)
  const void* quote = std::memchr(p, '"', static_cast<std::size_t>(end - p));
  const char* const stop = quote != nullptr ? static_cast<const char*>(quote) : end;
  const void* slash = std::memchr(p, '\\', static_cast<std::size_t>(stop - p));
  return slash != nullptr ? static_cast<const char*>(slash) : stop;
#else
  return findQuoteOrBackslashInLongString(p, end);
#endif
}

// The first '"' or backslash at or after p, or end; past the first 16 bytes,
// as longScan finds it.
template <const char* (*longScan)(const char*, const char*) = findQuoteOrBackslashInLongString>
inline const char* findQuoteOrBackslash(const char* p, const char* end) {
  // Most strings are short (member names, small values) and end within
  // their first 16 bytes: those are looked at eight bytes at a time. The
  // word's first byte is its lowest (little-endian), and the lowest quote
  // or backslash is the one the test marks exactly (a borrow can only mark
  // bytes above it).
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  for (int i = 0; i < 2 && end - p >= 8; ++i, p += 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t quotes = word ^ (kOnes * '"');
    const std::uint64_t slashes = word ^ (kOnes * '\\');
    const std::uint64_t hits =
        (((quotes - kOnes) & ~quotes) | ((slashes - kOnes) & ~slashes)) & kHighs;
    if (hits != 0) return p + (__builtin_ctzll(hits) >> 3);
  }
  return longScan(p, end);
}

// Recursive-descent reader over a byte range. Every read either succeeds or
// fails as a whole; a failure abandons the text, so the position after a
// failed step never matters.
//
// The document is built bottom-up in the builder's arena: the finished
// elements and members of the containers still open wait on two stacks, and
// each container is made, exactly sized, when it closes. Repeated member
// names are merged as they are read (the last value wins, in the place of
// the first), so that a text repeating one name costs no more memory than
// it would once.
class Reader {
 public:
  Reader(const char* begin, const char* end, JsonDocumentBuilder& builder)
      : p_(begin), end_(end), builder_(builder) {}

  // Reads one value; nullptr when it is unreadable.
  const JsonValue* readValue() {
    skipBlanks();
    if (p_ == end_) return nullptr;
    const char c = *p_;
    if (c == '-' || static_cast<unsigned char>(c - '0') < 10) return readNumber();
    switch (c) {
      case 'n':
        return readLiteral("null", 4, JsonDocumentBuilder::null());
      case 't':
        return readLiteral("true", 4, JsonDocumentBuilder::boolean(true));
      case 'f':
        return readLiteral("false", 5, JsonDocumentBuilder::boolean(false));
      default:
        break;
    }
    ++p_;
    switch (c) {
      case '"': {
        const char* data = nullptr;
        std::size_t size = 0;
        readString(&data, &size);
        return builder_.string(data, size);
      }
      case '[':
        return readArray();
      case '{':
        return readObject();
      default:
        return nullptr;
    }
  }

 private:
  using PendingMember = JsonDocumentBuilder::PendingMember;

  // The name index of one open object with more than kJsonLinearMembers
  // members: slots hold positions on the member stack, counted from the
  // object's first member plus one (0: empty).
  struct NameIndex {
    std::size_t start;
    std::vector<std::uint32_t> slots;
  };

  // Skips whitespace and non-printable bytes: everything but 0x21..0x7E.
  void skipBlanks() {
    while (p_<end_&& static_cast<unsigned char>(*p_ - 0x21)> 0x7E - 0x21) ++p_;
  }

  const JsonValue* readNumber() {
    double value = 0.0;
    const char* next = readShortJsonNumber(p_, end_, &value);
    if (next == nullptr) return nullptr;
    p_ = next;
    // Most numbers are small counts and positions: shared, so not made.
    if (const JsonValue* shared = JsonShared::number(value)) return shared;
    return builder_.number(value);
  }

  // Reads up to length characters, stopping before a line feed or at the end
  // of the text, and compares them with the word as a whole.
  const JsonValue* readLiteral(const char* word, std::size_t length, const JsonValue* value) {
    std::size_t available = static_cast<std::size_t>(end_ - p_);
    if (available > length) available = length;
    const void* lineFeed = std::memchr(p_, '\n', available);
    const std::size_t taken =
        lineFeed != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lineFeed) - p_)
                            : available;
    const bool match = taken == length && std::memcmp(p_, word, length) == 0;
    p_ += taken;
    return match ? value : nullptr;
  }

  // Reads the rest of a string after its opening quote. Never fails. The
  // bytes are the text itself when the string holds no escape, else the
  // unescaped copy in scratch_, valid until the next string is read.
  void readString(const char** data, std::size_t* size) {
    const char* start = p_;
    p_ = findQuoteOrBackslash(p_, end_);
    if (p_ == end_ || *p_ == '"') {
      *data = start;
      *size = static_cast<std::size_t>(p_ - start);
      if (p_ != end_) ++p_;
      return;
    }
    // At least one backslash: append run by run.
    scratch_.assign(start, p_);
    start = p_;
    while (p_ < end_) {
      const char c = *p_;
      if (c == '"') break;
      if (c == '\\' && p_ + 1 < end_) {
        const int unescaped = unescape(p_[1]);
        if (unescaped >= 0) {
          scratch_.append(start, p_);
          scratch_ += static_cast<char>(unescaped);
          p_ += 2;
          start = p_;
          continue;
        }
      }
      // Any other byte, and a backslash that escapes nothing, is kept; the
      // byte after such a backslash is looked at again as an ordinary one.
      ++p_;
    }
    scratch_.append(start, p_);
    if (p_ != end_) ++p_;  // the closing quote
    *data = scratch_.data();
    *size = scratch_.size();
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
  const JsonValue* readArray() {
    const DepthGuard guard(depth_);
    if (depth_ > kJsonMaxDepth) return nullptr;
    skipBlanks();
    if (p_ == end_) return nullptr;
    if (*p_ == ']') {
      ++p_;
      return JsonDocumentBuilder::null();
    }
    const std::size_t start = builder_.pendingElements();
    for (;;) {
      const JsonValue* element = readValue();
      if (element == nullptr) return nullptr;
      builder_.pushElement(element, static_cast<std::size_t>(end_ - p_));
      skipBlanks();
      if (p_ == end_) return nullptr;
      const char c = *p_++;
      if (c == ']') break;
      if (c != ',') return nullptr;
    }
    return builder_.closeArray(start, depth_ == 1);
  }

  // Reads an object after its opening brace. An empty one reads as null.
  const JsonValue* readObject() {
    const DepthGuard guard(depth_);
    if (depth_ > kJsonMaxDepth) return nullptr;
    skipBlanks();
    if (p_ == end_) return nullptr;
    char c = *p_++;
    if (c == '}') return JsonDocumentBuilder::null();
    if (c != '"') return nullptr;
    const std::size_t start = members_.size();
    const std::size_t outerIndexes = indexes_.size();
    const std::size_t outerNames = escapedNames_.size();
    for (;;) {
      const char* name = nullptr;
      std::size_t nameSize = 0;
      readString(&name, &nameSize);
      // The name is placed before its value is read: the value's strings
      // reuse scratch_, which may hold the name.
      const std::size_t at = place(start, name, nameSize);
      skipBlanks();
      if (p_ == end_ || *p_++ != ':') return nullptr;
      const JsonValue* value = readValue();
      if (value == nullptr) return nullptr;
      members_[at].value = value;
      skipBlanks();
      if (p_ == end_) return nullptr;
      c = *p_++;
      if (c == '}') break;
      if (c != ',') return nullptr;
      skipBlanks();
      if (p_ == end_ || *p_++ != '"') return nullptr;
    }
    // The object makes its own index: the pending one goes first.
    indexes_.resize(outerIndexes);
    const JsonValue* object =
        builder_.object(members_.data() + start, members_.size() - start, depth_ == 1);
    members_.resize(start);
    escapedNames_.resize(outerNames);
    return object;
  }

  // The position on the member stack of the open object's member of that
  // name: the existing one, or a new one holding no value yet.
  std::size_t place(std::size_t start, const char* name, std::size_t size) {
    const std::size_t count = members_.size() - start;
    NameIndex* index = nullptr;
    if (count > kJsonLinearMembers) {
      if (indexes_.empty() || indexes_.back().start != start) {
        indexes_.push_back(NameIndex{start, {}});
        rehash(indexes_.back(), count);
      }
      index = &indexes_.back();
      const std::size_t mask = index->slots.size() - 1;
      for (std::size_t slot = jsonNameHash(name, size) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t entry = index->slots[slot];
        if (entry == 0) break;
        const PendingMember& other = members_[start + entry - 1];
        if (other.nameSize == size && std::memcmp(other.name, name, size) == 0) {
          return start + entry - 1;
        }
      }
    } else {
      for (std::size_t i = start; i < members_.size(); ++i) {
        const PendingMember& other = members_[i];
        if (other.nameSize == size && std::memcmp(other.name, name, size) == 0) return i;
      }
    }
    if (members_.size() == members_.capacity()) {
      // As for elements: every further member takes at least five bytes.
      const std::size_t bound = members_.size() + static_cast<std::size_t>(end_ - p_) / 5 + 1;
      std::size_t wanted = members_.capacity() < 16 ? 16 : members_.capacity() * 2;
      if (wanted > bound) wanted = bound;
      members_.reserve(wanted);
    }
    if (name == scratch_.data()) {
      // An unescaped name lives in scratch_ only until the next string.
      escapedNames_.push_back(std::make_unique<std::string>(name, size));
      name = escapedNames_.back()->data();
    }
    // Field by field: a whole PendingMember built on the stack and copied
    // would be stored in halves and loaded at once, which stalls.
    members_.emplace_back();
    PendingMember& member = members_.back();
    member.name = name;
    member.nameSize = size;
    if (index != nullptr) {
      if (2 * (count + 1) > index->slots.size()) {
        rehash(*index, count + 1);
      } else {
        addToIndex(*index, count);
      }
    }
    return members_.size() - 1;
  }

  void rehash(NameIndex& index, std::size_t count) {
    std::size_t slots = 32;
    while (slots < 2 * count) slots *= 2;
    index.slots.assign(slots, 0);
    for (std::size_t i = 0; i < count; ++i) addToIndex(index, i);
  }

  void addToIndex(NameIndex& index, std::size_t i) {
    const PendingMember& member = members_[index.start + i];
    const std::size_t mask = index.slots.size() - 1;
    std::size_t slot = jsonNameHash(member.name, member.nameSize) & mask;
    while (index.slots[slot] != 0) slot = (slot + 1) & mask;
    index.slots[slot] = static_cast<std::uint32_t>(i + 1);
  }

  struct DepthGuard {
    explicit DepthGuard(int& depth) : depth_(depth) { ++depth_; }
    ~DepthGuard() { --depth_; }
    int& depth_;
  };

  const char* p_;
  const char* const end_;
  JsonDocumentBuilder& builder_;
  int depth_ = 0;
  std::vector<PendingMember> members_;
  std::vector<NameIndex> indexes_;
  // The unescaped names of the open objects' members, which PendingMember
  // points to.
  std::vector<std::unique_ptr<std::string>> escapedNames_;
  std::string scratch_;
};

}  // namespace

std::string toJsonText(const JsonHandle& value) {
  std::string text;
  value.write(text);
  return text;
}

JsonHandle parseJsonText(const char* data, std::size_t size) {
  if (data == nullptr) return JsonHandle::makeInvalid();
  JsonDocumentBuilder builder(size);
  Reader reader(data, data + size, builder);
  const JsonValue* value = reader.readValue();
  if (value == nullptr) return JsonHandle::makeInvalid();
  return builder.finish(value);
}

JsonHandle parseJsonText(const std::string& text) {
  return parseJsonText(text.data(), text.size());
}

JsonScalar JsonScalar::of(const JsonHandle& value) {
  JsonScalar scalar;
  scalar.type = value.type();
  scalar.number = value.asDouble();
  scalar.boolean = value.asBool();
  if (const std::string* text = value.stringRef()) {
    scalar.text = text->data();
    scalar.textSize = text->size();
  }
  return scalar;
}

LUMSDK_HOT const char* readFlatValueInGeneral(const char* p, const char* end, JsonScalar* value) {
  const char c = *p;
  if (c == '-' || static_cast<unsigned char>(c - '0') < 10) {
    const char* next = readShortJsonNumber(p, end, &value->number);
    if (next != nullptr) value->type = kJsonNumber;
    return next;
  }
  if (c == '"') {
    value->text = ++p;
    p = findQuoteOrBackslash<findQuoteOrBackslashInLongValue>(p, end);
    if (p == end || *p != '"') return nullptr;
    value->textSize = static_cast<std::size_t>(p - value->text);
    value->type = kJsonString;
    return p + 1;
  }
  static const struct {
    const char* word;
    std::size_t length;
    int type;
    bool boolean;
  } kLiterals[] = {
      {"null", 4, kJsonNull, false}, {"true", 4, kJsonBool, true}, {"false", 5, kJsonBool, false}};
  for (const auto& literal : kLiterals) {
    if (c == literal.word[0] && static_cast<std::size_t>(end - p) >= literal.length &&
        std::memcmp(p, literal.word, literal.length) == 0) {
      value->type = literal.type;
      value->boolean = literal.boolean;
      return p + literal.length;
    }
  }
  return nullptr;
}

namespace {

// The usual short answer: exactly the wanted members, in the order asked for,
// without blanks. Matched name by name, with no search; false for any other
// text (values may then be partly written).
bool readFlatInOrder(const char* p, const char* end, const char* const* names, JsonScalar* values,
                     std::size_t count) {
  if (p == end || *p++ != '{') return false;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && (p == end || *p++ != ',')) return false;
    const std::size_t n = std::strlen(names[i]);
    if (static_cast<std::size_t>(end - p) < n + 4 || *p != '"' ||
        std::memcmp(p + 1, names[i], n) != 0 || p[n + 1] != '"' || p[n + 2] != ':') {
      return false;
    }
    p = readFlatValue(p + n + 3, end, &values[i]);
    if (p == nullptr) return false;
  }
  return p != end && *p == '}';
}

}  // namespace

LUMSDK_HOT bool readFlatObject(const char* data, std::size_t size, const char* const* names,
                               JsonScalar* values, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) values[i] = JsonScalar();
  if (data == nullptr) return false;
  const char* const end = data + size;
  if (readFlatInOrder(data, end, names, values, count)) return true;
  for (std::size_t i = 0; i < count; ++i) values[i] = JsonScalar();
  // The steps are the Reader's for such a text; whatever else it might meet
  // (a container, an escape, an unfinished text, an empty object) is left to
  // the Reader.
  const char* p = data;
  const auto skipBlanks = [&p, end] {
    while (p<end&& static_cast<unsigned char>(*p - 0x21)> 0x7E - 0x21) ++p;
  };
  skipBlanks();
  if (p == end || *p++ != '{') return false;
  skipBlanks();
  if (p == end || *p != '"') return false;
  for (;;) {
    const char* name = ++p;
    p = findQuoteOrBackslash(p, end);
    if (p == end || *p != '"') return false;
    const std::size_t nameSize = static_cast<std::size_t>(p - name);
    ++p;
    skipBlanks();
    if (p == end || *p++ != ':') return false;
    skipBlanks();
    if (p == end) return false;
    JsonScalar value;
    p = readFlatValue(p, end, &value);
    if (p == nullptr) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (std::strlen(names[i]) == nameSize && std::memcmp(names[i], name, nameSize) == 0) {
        values[i] = value;
      }
    }
    skipBlanks();
    if (p == end) return false;
    const char separator = *p++;
    if (separator == '}') return true;
    if (separator != ',') return false;
    skipBlanks();
    if (p == end || *p != '"') return false;
  }
}

}  // namespace sdk
