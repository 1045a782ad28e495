// The library's JSON document model: an abstract value with one concrete class
// per kind, and JsonHandle, the owning, deep-copying holder through which all
// other code creates, reads, changes, copies and frees values.
//
// Nothing here reports errors: a missing member, an index out of range or a
// value of the wrong kind reads as the invalid value or as a neutral default
// (0, false, empty text), and writes into a holder of the wrong kind do
// nothing. Only allocation failure propagates (as std::bad_alloc).
//
// Values are not shared between threads; the shared null and invalid values
// below are immutable and safe to read from any thread.
#ifndef LUMSDK_JSON_JSON_VALUE_H_
#define LUMSDK_JSON_JSON_VALUE_H_

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <unordered_map>
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

// Owns exactly one JsonValue. Copies are deep; moves transfer the value and
// leave the source holding null (a source that held null or invalid keeps
// it), so a moved-from holder stays usable.
//
// Null and invalid values are stateless and immutable, so every holder of
// null or invalid points at one of two process-wide shared values instead of
// allocating its own: a default-constructed holder, makeInvalid() and a
// missing member cost no allocation.
class JsonHandle {
 public:
  // Null.
  JsonHandle() noexcept;
  JsonHandle(std::nullptr_t) noexcept;   // NOLINT: null, like the default
  JsonHandle(bool value);                // NOLINT(google-explicit-constructor)
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
  struct SharedTag {};
  constexpr JsonHandle(JsonValue* shared, SharedTag) noexcept : value_(shared) {}

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
  explicit JsonBoolValue(bool value) noexcept : value_(value) {}
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
  explicit JsonNumberValue(double value) noexcept : value_(value) {}
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
  int type() const override;
  std::string asString() const override;
  void write(std::string& out) const override;
  std::unique_ptr<JsonValue> clone() const override;

  const std::string& value() const noexcept { return value_; }

 private:
  std::string value_;
};

class JsonArrayValue final : public JsonValue {
 public:
  JsonArrayValue() = default;
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

  const std::vector<JsonHandle>& elements() const noexcept { return elements_; }

 private:
  std::vector<JsonHandle> elements_;
};

class JsonObjectValue final : public JsonValue {
 public:
  using Members = std::unordered_map<std::string, JsonHandle>;

  JsonObjectValue() = default;
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
  // Inserts or replaces without copying the name (the reader's path).
  void insertOrAssign(std::string&& key, JsonHandle&& value);
  const Members& members() const noexcept { return members_; }

 private:
  Members members_;
};

// The two shared invalid holders: one answers a missing element, the other a
// missing member or a member access on a non-object. Both live for the whole
// process (constant-initialised, never destroyed) and ignore assignments.
const JsonHandle& sharedInvalidElement() noexcept;
JsonHandle& sharedInvalidMember() noexcept;

// ---------------------------------------------------------------------------
// Implementation details of the hot paths, inline so that holders of null or
// invalid need neither a call nor an allocation.

// The process-wide stateless values and holders. Unions with an empty
// destructor keep them alive until the very end, so code that runs during
// static destruction still finds them intact.
struct JsonShared {
  template <typename T>
  union Keep {
    constexpr Keep() noexcept : value() {}
    ~Keep() {}
    T value;
  };
  union KeepHandle {
    constexpr explicit KeepHandle(JsonValue* shared) noexcept
        : value(shared, JsonHandle::SharedTag()) {}
    ~KeepHandle() {}
    JsonHandle value;
  };
  static Keep<JsonNullValue> nullValue;
  static Keep<JsonInvalidValue> invalidValue;
  static KeepHandle invalidElement;
  static KeepHandle invalidMember;
};

inline bool JsonHandle::isShared(const JsonValue* value) noexcept {
  return value == &JsonShared::nullValue.value || value == &JsonShared::invalidValue.value;
}

inline bool JsonHandle::isSharedHolder() const noexcept {
  return this == &JsonShared::invalidElement.value || this == &JsonShared::invalidMember.value;
}

inline void JsonHandle::release(JsonValue* value) noexcept {
  if (!isShared(value)) delete value;
}

inline JsonHandle::JsonHandle() noexcept : value_(&JsonShared::nullValue.value) {}
inline JsonHandle::JsonHandle(std::nullptr_t) noexcept : JsonHandle() {}

inline JsonHandle::JsonHandle(std::unique_ptr<JsonValue> value) noexcept
    : value_(value ? value.release() : &JsonShared::nullValue.value) {}

inline JsonHandle JsonHandle::makeInvalid() noexcept {
  return JsonHandle(&JsonShared::invalidValue.value, SharedTag());
}

inline JsonHandle::JsonHandle(JsonHandle&& other) noexcept : value_(other.value_) {
  // A shared value stays where it is: the source may be a shared holder.
  if (!isShared(value_)) other.value_ = &JsonShared::nullValue.value;
}

inline JsonHandle& JsonHandle::operator=(JsonHandle&& other) noexcept {
  if (this == &other || isSharedHolder()) return *this;
  JsonValue* taken = other.value_;
  if (!isShared(taken)) other.value_ = &JsonShared::nullValue.value;
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
