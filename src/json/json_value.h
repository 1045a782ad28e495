// The library's JSON document model: an abstract value with one concrete class
// per kind, and JsonHandle, the owning, deep-copying holder through which all
// other code creates, reads, changes, copies and frees values.
//
// Nothing here reports errors: a missing member, an index out of range or a
// value of the wrong kind reads as the invalid value or as a neutral default
// (0, false, empty text), and writes into a holder of the wrong kind do
// nothing. Only allocation failure propagates (as std::bad_alloc).
//
// Values are not shared between threads; the shared constant values below are
// immutable and safe to read from any thread.
//
// Memory of parsed documents. The reader (json_text.h) does not allocate each
// value on its own: it builds the whole document in one arena (a few large
// blocks) with every container sized exactly, and only the top container is
// an ordinary heap object, which owns the arena. Values inside the arena are
// frozen: they are only ever read, and die all at once with the arena when
// the top container is destroyed. Ownership stays as for any other value:
// - reading (get, getRef, stringRef, iteration) works on the frozen values
//   in place; get() and copies make ordinary heap copies, which share
//   nothing with the document;
// - the first write into a parsed document's top container (member,
//   setMember, append, setElement that changes something) first turns the
//   document into ordinary heap values (a deep copy) and frees the arena, so
//   that every writable holder below it owns its value alone and may be
//   moved out freely. This invalidates every reference into the document
//   taken before (as any change of a container may);
// - only the top container can be written, because no writable holder of a
//   value inside it can be reached without going through it.
#ifndef LUMSDK_JSON_JSON_VALUE_H_
#define LUMSDK_JSON_JSON_VALUE_H_

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace sdk {

// Kind tags returned by type(). Only "is it null" matters to callers; arrays
// and objects carry distinct tags so that code can tell them apart.
constexpr int kJsonInvalid = -1;
constexpr int kJsonNull = 0;
constexpr int kJsonBool = 1;
constexpr int kJsonNumber = 2;
constexpr int kJsonString = 3;
constexpr int kJsonArray = 4;
constexpr int kJsonObject = 5;

class JsonValue;
class JsonArena;
class JsonDocumentBuilder;

// Owns exactly one JsonValue. Copies are deep; moves transfer the value and
// leave the source holding null (a source that held one of the shared
// constant values keeps it), so a moved-from holder stays usable.
//
// Immutable values without state of their own are shared process-wide
// constants instead of allocations: null, invalid, true, false and the whole
// numbers 0 to kJsonSharedNumbers - 1. A default-constructed holder,
// makeInvalid(), a missing member or a small count cost no allocation.
class JsonHandle {
 public:
  // Null.
  JsonHandle() noexcept;
  JsonHandle(std::nullptr_t) noexcept;   // NOLINT: null, like the default
  JsonHandle(bool value) noexcept;       // NOLINT(google-explicit-constructor)
  JsonHandle(int value);                 // NOLINT
  JsonHandle(double value);              // NOLINT
  JsonHandle(const std::string& value);  // NOLINT
  JsonHandle(std::string&& value);       // NOLINT
  // A zero-terminated text; a null pointer gives JSON null (there is no text
  // to hold, and reading it would be undefined).
  JsonHandle(const char* text);  // NOLINT

  // Every other arithmetic type (char, unsigned, long long, size_t, float,
  // ...) becomes a number. Without this, such arguments would be ambiguous
  // between the bool, int and double forms.
  template <typename T,
            std::enable_if_t<std::is_arithmetic<T>::value && !std::is_same<T, bool>::value &&
                                 !std::is_same<T, int>::value && !std::is_same<T, double>::value,
                             int> = 0>
  JsonHandle(T value)  // NOLINT
      : JsonHandle(static_cast<double>(value)) {}

  // Any pointer other than text would otherwise convert silently to bool.
  template <typename T, std::enable_if_t<!std::is_same<std::remove_cv_t<T>, char>::value, int> = 0>
  JsonHandle(T*) = delete;

  // Takes over a value (null when empty).
  explicit JsonHandle(std::unique_ptr<JsonValue> value) noexcept;

  // A holder of the invalid value.
  static JsonHandle makeInvalid() noexcept;

  JsonHandle(const JsonHandle& other);
  JsonHandle& operator=(const JsonHandle& other);
  JsonHandle(JsonHandle&& other) noexcept;
  JsonHandle& operator=(JsonHandle&& other) noexcept;
  ~JsonHandle();

  // Forwarding reads (see JsonValue).
  int type() const;
  bool isNull() const;
  bool isValid() const;
  bool asBool() const;
  int asInt() const;
  double asDouble() const;
  std::string asString() const;
  int size() const;
  bool hasMember(const std::string& key) const;

  // A deep copy of the member, or invalid when absent or not an object.
  JsonHandle get(const std::string& key) const;
  // A deep copy of the element, or invalid when out of range or not an array.
  JsonHandle get(int index) const;

  // The same lookups without the copy. An absent member or element gives one
  // of the shared invalid holders. The reference is valid until the
  // container is changed or destroyed.
  const JsonHandle& getRef(const std::string& key) const;
  const JsonHandle& getRef(int index) const;

  // The held string's bytes, or nullptr when the value is not a string.
  // Valid as long as the value it belongs to.
  const std::string* stringRef() const;

  // Writable member access. A null holder first becomes an empty object; a
  // missing member is then created holding null. On a holder that is neither
  // null nor an object the result is the shared invalid member holder, which
  // ignores assignments, so a misplaced write changes nothing.
  JsonHandle& member(const std::string& key);

  // A null holder first becomes an empty object; an existing member is
  // replaced. Nothing happens on any other kind.
  void setMember(const std::string& key, JsonHandle&& value);
  void setMember(const std::string& key, const JsonHandle& value);

  // A null holder first becomes an empty array. Nothing happens on any other
  // kind.
  void append(JsonHandle&& value);
  void append(const JsonHandle& value);

  // Appends the compact text of the value (the invalid value writes nothing).
  void write(std::string& out) const;

  // The held value, for code that needs its concrete class.
  const JsonValue& value() const noexcept { return *value_; }

 private:
  friend struct JsonShared;
  friend class JsonArrayValue;
  friend class JsonObjectValue;
  friend class JsonDocumentBuilder;
  struct SharedTag {};
  // Holds a value without owning it alone: a shared constant, or a frozen
  // value inside a document's arena, whose holders are never destroyed.
  constexpr JsonHandle(const JsonValue* value, SharedTag) noexcept
      : value_(const_cast<JsonValue*>(value)) {}

  static bool isShared(const JsonValue* value) noexcept;
  bool isSharedHolder() const noexcept;
  static void release(JsonValue* value) noexcept;
  // Releases the held value and takes the given one (allocated by the caller
  // first, so that a failed allocation leaves the holder intact).
  void become(JsonValue* value) noexcept;

  JsonValue* value_;  // never null
};

// The abstract value. The virtual operations are listed in their slot order.
class JsonValue {
 public:
  constexpr JsonValue() noexcept = default;
  virtual ~JsonValue() = default;

  virtual int type() const = 0;
  virtual bool hasMember(const std::string& key) const;
  virtual JsonHandle elementAt(int index) const;
  virtual const JsonHandle& elementRef(int index) const;
  virtual JsonHandle memberAt(const std::string& key) const;
  virtual JsonHandle& memberRef(const std::string& key);
  virtual void setElement(int index, JsonHandle&& value);
  virtual void setElement(int index, const JsonHandle& value);
  virtual void setMember(const std::string& key, JsonHandle&& value);
  virtual void setMember(const std::string& key, const JsonHandle& value);
  virtual void append(JsonHandle&& value);
  virtual void append(const JsonHandle& value);
  // Element count of an array; -1 for every other kind, objects included.
  virtual int size() const;
  virtual bool isValid() const;
  // True for null and for the invalid value.
  virtual bool isNull() const;
  virtual bool asBool() const;
  virtual int asInt() const;
  virtual double asDouble() const;
  virtual std::string asString() const;
  virtual void write(std::string& out) const = 0;
  virtual std::unique_ptr<JsonValue> clone() const = 0;

 protected:
  JsonValue(const JsonValue&) = default;
  JsonValue& operator=(const JsonValue&) = default;
};

// An absent member, an index out of range or unreadable text.
class JsonInvalidValue final : public JsonValue {
 public:
  constexpr JsonInvalidValue() noexcept = default;
  int type() const override;
  bool isValid() const override;
  bool isNull() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;
};

class JsonNullValue final : public JsonValue {
 public:
  constexpr JsonNullValue() noexcept = default;
  int type() const override;
  bool isNull() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;
};

class JsonBoolValue final : public JsonValue {
 public:
  constexpr explicit JsonBoolValue(bool value) noexcept : value_(value) {}
  int type() const override;
  bool asBool() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;

  bool value() const noexcept { return value_; }

 private:
  bool value_;
};

// Every JSON number, integers included, is held as a double.
class JsonNumberValue final : public JsonValue {
 public:
  constexpr explicit JsonNumberValue(double value) noexcept : value_(value) {}
  int type() const override;
  // Truncates toward zero. Values beyond the int range saturate to INT_MIN or
  // INT_MAX (infinities included) and NaN gives 0, so no reading is undefined.
  int asInt() const override;
  double asDouble() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;

  double value() const noexcept { return value_; }

 private:
  double value_;
};

// A byte string, held as received (no Unicode processing).
class JsonStringValue final : public JsonValue {
 public:
  explicit JsonStringValue(const std::string& value) : value_(value) {}
  explicit JsonStringValue(std::string&& value) noexcept : value_(std::move(value)) {}
  JsonStringValue(const char* data, std::size_t size) : value_(data, size) {}
  int type() const override;
  std::string asString() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;

  const std::string& value() const noexcept { return value_; }

 private:
  friend class JsonDocumentBuilder;
  std::string value_;
};

// A read-only view of contiguous elements or members, for iteration.
template <typename T>
class JsonRange {
 public:
  JsonRange(const T* begin, std::size_t size) noexcept : begin_(begin), end_(begin + size) {}
  const T* begin() const noexcept { return begin_; }
  const T* end() const noexcept { return end_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(end_ - begin_); }
  bool empty() const noexcept { return begin_ == end_; }
  const T& operator[](std::size_t i) const noexcept { return begin_[i]; }

 private:
  const T* begin_;
  const T* end_;
};

// Elements in one contiguous block: an ordinary growable one, or, in a
// parsed document, an exactly sized one inside the arena.
class JsonArrayValue final : public JsonValue {
 public:
  JsonArrayValue() noexcept = default;
  JsonArrayValue(const JsonArrayValue&) = delete;
  JsonArrayValue& operator=(const JsonArrayValue&) = delete;
  ~JsonArrayValue() override;
  int type() const override;
  JsonHandle elementAt(int index) const override;
  const JsonHandle& elementRef(int index) const override;
  void setElement(int index, JsonHandle&& value) override;
  void setElement(int index, const JsonHandle& value) override;
  void append(JsonHandle&& value) override;
  void append(const JsonHandle& value) override;
  int size() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;

  JsonRange<JsonHandle> elements() const noexcept { return {entries(), size_}; }

 private:
  friend class JsonDocumentBuilder;
  // False for a frozen array inside a document: such arrays are only read.
  bool makeWritable();
  void grow();
  // Where the elements are. A frozen array inside a document has no block
  // of its own: its elements follow its size fields directly, starting in
  // the place of data_ and running on past the end of the object (the
  // builder allocates the room). That saves a pointer per array, which
  // counts in large documents of small arrays.
  JsonHandle* entries() const noexcept;

  std::uint32_t size_ = 0;
  // Capacity of an ordinary block, or one of the frozen marks of
  // JsonDocumentBuilder.
  std::uint32_t capacity_ = 0;
  // An ordinary block; for the top array of a document, its elements in the
  // arena, with the arena's address in the word before them. Last, for
  // entries().
  JsonHandle* data_ = nullptr;
};

// Members in one contiguous block, in the order of their first insertion; a
// repeated name replaces the earlier value in place. The writer writes them
// newest first. Up to kJsonLinearMembers members are searched one by one;
// larger objects keep a hash index of the names after their members.
class JsonObjectValue final : public JsonValue {
 public:
  // Named like the members of std::pair, so that code iterates the members
  // as it would a map's.
  struct Member {
    std::string first;
    JsonHandle second;
  };

  JsonObjectValue() noexcept = default;
  JsonObjectValue(const JsonObjectValue&) = delete;
  JsonObjectValue& operator=(const JsonObjectValue&) = delete;
  ~JsonObjectValue() override;
  int type() const override;
  bool hasMember(const std::string& key) const override;
  JsonHandle memberAt(const std::string& key) const override;
  // Inserts a member holding null when the name is absent.
  JsonHandle& memberRef(const std::string& key) override;
  void setMember(const std::string& key, JsonHandle&& value) override;
  void setMember(const std::string& key, const JsonHandle& value) override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;

  // The member's holder, or nullptr when absent.
  const JsonHandle* find(const std::string& key) const;
  const JsonHandle* find(const char* key, std::size_t size) const;
  JsonRange<Member> members() const noexcept { return {entries(), size_}; }

 private:
  friend class JsonDocumentBuilder;
  bool makeWritable();
  // Index of the member of that name, or -1.
  long lookup(const char* key, std::size_t size) const;
  // Appends a new member (the name must be absent) and returns its holder.
  JsonHandle& insert(const std::string& key, JsonHandle&& value);
  void grow();
  std::uint32_t* index() const noexcept;
  // As for JsonArrayValue.
  Member* entries() const noexcept;

  // As for JsonArrayValue.
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
  Member* data_ = nullptr;
};

// Objects with more members than this keep a hash index of their names.
constexpr std::uint32_t kJsonLinearMembers = 8;
// Whole numbers from 0 below this are shared constants.
constexpr int kJsonSharedNumbers = 1024;

// Hash of a member name, as the name indexes use it. Seeded once per
// process, so that no fixed set of names collides everywhere.
std::uint64_t jsonNameHash(const char* data, std::size_t size) noexcept;

// The two shared invalid holders: one answers a missing element, the other a
// missing member or a member access on a non-object. Both live for the whole
// process (constant-initialised, never destroyed) and ignore assignments.
const JsonHandle& sharedInvalidElement() noexcept;
JsonHandle& sharedInvalidMember() noexcept;

// Builds one document in an arena; used by the reader. Values made here are
// frozen (see the top of this header). Values are made bottom-up: scalars,
// then each container from its finished elements or members. finish() hands
// the top value over as an ordinary holder, which from then on owns the
// arena; a builder destroyed without finish() frees everything it made.
class JsonDocumentBuilder {
 public:
  // textSize sizes the arena's first block.
  explicit JsonDocumentBuilder(std::size_t textSize) noexcept;
  ~JsonDocumentBuilder();
  JsonDocumentBuilder(const JsonDocumentBuilder&) = delete;
  JsonDocumentBuilder& operator=(const JsonDocumentBuilder&) = delete;

  // One member of an object being read, before the object is made. The
  // name's bytes are the reader's (in the text, or kept by the reader until
  // the object is made), so that a name is copied once, into the document.
  struct PendingMember {
    const char* name;
    std::size_t nameSize;
    const JsonValue* value;
  };

  static const JsonValue* null() noexcept;
  static const JsonValue* boolean(bool value) noexcept;
  const JsonValue* number(double value);
  const JsonValue* string(const char* data, std::size_t size);
  // Arrays: the reader pushes the finished elements of the open arrays, and
  // closes an array from the count of pending elements at its opening.
  // remaining is the length of the text still unread, which bounds how many
  // more elements can come. The top container of the document is closed
  // with top set, and must be the last value made.
  std::size_t pendingElements() const noexcept { return elementCount_; }
  void pushElement(const JsonValue* element, std::size_t remaining);
  const JsonValue* closeArray(std::size_t start, bool top);
  // Objects: the members in order; names must be unique.
  const JsonValue* object(PendingMember* members, std::size_t count, bool top);

  JsonHandle finish(const JsonValue* top);

  // Marks of frozen containers, kept in their capacity field.
  static constexpr std::uint32_t kFrozen = 0xFFFFFFFFu;
  static constexpr std::uint32_t kFrozenTop = 0xFFFFFFFEu;
  // Ordinary containers grow up to this many entries.
  static constexpr std::uint32_t kMaxCapacity = 0x7FFFFFFFu;

 private:
  JsonArena& arena();
  // Makes sure the arena destroys the string if its bytes are on the heap.
  // keepSlot(size), called before the string is made, sets aside the memory
  // for that, so that a failure cannot lose a made string.
  void* keepSlot(std::size_t size);
  void keep(std::string& text, void* slot);
  const JsonValue* makeString(const char* data, std::size_t size);
  // The document's shared value of a string of at most two bytes (null
  // until made).
  const JsonValue*& shortString(const char* data, std::size_t size);

  void growElements(std::size_t remaining);

  std::size_t textSize_;
  JsonArena* arena_ = nullptr;
  // The pending elements, in a block laid out so that the arena can take it
  // over: the top array keeps it as its storage instead of a copy.
  void* elementBlock_ = nullptr;
  const JsonValue** elements_ = nullptr;
  std::size_t elementCount_ = 0;
  std::size_t elementCapacity_ = 0;
  std::vector<std::uint32_t> shortCodes_;
  std::vector<const JsonValue*> shortValues_;
  std::size_t shortCount_ = 0;
};

// ---------------------------------------------------------------------------
// Implementation details of the hot paths, inline so that holders of shared
// values need neither a call nor an allocation.

// The process-wide constant values and holders, in one block so that telling
// a shared value from an owned one is a single range check. Unions with an
// empty destructor keep them alive until the very end, so code that runs
// during static destruction still finds them intact.
struct JsonShared {
  struct Values {
    JsonNullValue null;
    JsonInvalidValue invalid;
    JsonBoolValue no;
    JsonBoolValue yes;
    JsonNumberValue numbers[kJsonSharedNumbers];
  };
  union Keep {
    constexpr Keep() noexcept : Keep(std::make_index_sequence<kJsonSharedNumbers>()) {}
    template <std::size_t... I>
    constexpr explicit Keep(std::index_sequence<I...>) noexcept
        : values{JsonNullValue(),
                 JsonInvalidValue(),
                 JsonBoolValue(false),
                 JsonBoolValue(true),
                 {JsonNumberValue(static_cast<double>(I))...}} {}
    ~Keep() {}
    Values values;
  };
  union KeepHandle {
    constexpr explicit KeepHandle(const JsonValue* shared) noexcept
        : value(shared, JsonHandle::SharedTag()) {}
    ~KeepHandle() {}
    JsonHandle value;
  };

  static Keep constants;
  static KeepHandle invalidElement;
  static KeepHandle invalidMember;

  static constexpr const JsonValue* null() noexcept { return &constants.values.null; }
  static constexpr const JsonValue* invalid() noexcept { return &constants.values.invalid; }
  static constexpr const JsonValue* boolean(bool value) noexcept {
    return value ? &constants.values.yes : &constants.values.no;
  }
  // The shared number of that value, or nullptr.
  static const JsonValue* number(double value) noexcept {
    if (value >= 0.0 && value < kJsonSharedNumbers) {
      const int whole = static_cast<int>(value);
      // -0 keeps its sign, so it is not the shared 0.
      if (whole == value && (whole != 0 || !std::signbit(value))) {
        return &constants.values.numbers[whole];
      }
    }
    return nullptr;
  }
};

inline bool JsonHandle::isShared(const JsonValue* value) noexcept {
  const auto begin = reinterpret_cast<std::uintptr_t>(&JsonShared::constants);
  return reinterpret_cast<std::uintptr_t>(value) - begin < sizeof(JsonShared::Values);
}

inline bool JsonHandle::isSharedHolder() const noexcept {
  return this == &JsonShared::invalidElement.value || this == &JsonShared::invalidMember.value;
}

inline void JsonHandle::release(JsonValue* value) noexcept {
  if (!isShared(value)) delete value;
}

inline JsonHandle::JsonHandle() noexcept : JsonHandle(JsonShared::null(), SharedTag()) {}
inline JsonHandle::JsonHandle(std::nullptr_t) noexcept : JsonHandle() {}
inline JsonHandle::JsonHandle(bool value) noexcept
    : JsonHandle(JsonShared::boolean(value), SharedTag()) {}

inline JsonHandle::JsonHandle(std::unique_ptr<JsonValue> value) noexcept
    : value_(value ? value.release() : const_cast<JsonValue*>(JsonShared::null())) {}

inline JsonHandle JsonHandle::makeInvalid() noexcept {
  return JsonHandle(JsonShared::invalid(), SharedTag());
}

inline JsonHandle::JsonHandle(JsonHandle&& other) noexcept : value_(other.value_) {
  // A shared value stays where it is: the source may be a shared holder.
  if (!isShared(value_)) other.value_ = const_cast<JsonValue*>(JsonShared::null());
}

inline JsonHandle& JsonHandle::operator=(JsonHandle&& other) noexcept {
  if (this == &other || isSharedHolder()) return *this;
  JsonValue* taken = other.value_;
  if (!isShared(taken)) other.value_ = const_cast<JsonValue*>(JsonShared::null());
  release(value_);
  value_ = taken;
  return *this;
}

inline JsonHandle::~JsonHandle() { release(value_); }

inline const JsonHandle& sharedInvalidElement() noexcept {
  return JsonShared::invalidElement.value;
}
inline JsonHandle& sharedInvalidMember() noexcept { return JsonShared::invalidMember.value; }

inline int JsonHandle::type() const { return value_->type(); }
inline bool JsonHandle::isNull() const { return value_->isNull(); }
inline bool JsonHandle::isValid() const { return value_->isValid(); }
inline bool JsonHandle::asBool() const { return value_->asBool(); }
inline int JsonHandle::asInt() const { return value_->asInt(); }
inline double JsonHandle::asDouble() const { return value_->asDouble(); }
inline std::string JsonHandle::asString() const { return value_->asString(); }
inline int JsonHandle::size() const { return value_->size(); }
inline bool JsonHandle::hasMember(const std::string& key) const { return value_->hasMember(key); }
inline void JsonHandle::write(std::string& out) const { value_->write(out); }

}  // namespace sdk

#endif  // LUMSDK_JSON_JSON_VALUE_H_
