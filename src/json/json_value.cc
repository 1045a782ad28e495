#include "json/json_value.h"

#include <climits>
#include <cmath>

#include "json/json_format.h"

namespace sdk {

// Constant-initialised, so they exist before any static constructor of the
// library runs and are never destroyed.
JsonShared::Keep<JsonNullValue> JsonShared::nullValue;
JsonShared::Keep<JsonInvalidValue> JsonShared::invalidValue;
JsonShared::KeepHandle JsonShared::invalidElement(&JsonShared::invalidValue.value);
JsonShared::KeepHandle JsonShared::invalidMember(&JsonShared::invalidValue.value);

namespace {

// A container writes an invalid child as null: the invalid value writes
// nothing, and a bare comma or colon would make the whole text unreadable.
void writeChild(std::string& out, const JsonHandle& child) {
  const std::size_t before = out.size();
  child.write(out);
  if (out.size() == before) out += "null";
}

}  // namespace

// --- JsonHandle -------------------------------------------------------------

JsonHandle::JsonHandle(bool value) : value_(new JsonBoolValue(value)) {}
JsonHandle::JsonHandle(int value) : value_(new JsonNumberValue(value)) {}
JsonHandle::JsonHandle(double value) : value_(new JsonNumberValue(value)) {}
JsonHandle::JsonHandle(const std::string& value) : value_(new JsonStringValue(value)) {}
JsonHandle::JsonHandle(std::string&& value) : value_(new JsonStringValue(std::move(value))) {}
JsonHandle::JsonHandle(const char* text)
    : value_(text != nullptr ? static_cast<JsonValue*>(new JsonStringValue(std::string(text)))
                             : &JsonShared::nullValue.value) {}

JsonHandle::JsonHandle(const JsonHandle& other)
    : value_(isShared(other.value_) ? other.value_ : other.value_->clone().release()) {}

JsonHandle& JsonHandle::operator=(const JsonHandle& other) {
  if (this == &other || isSharedHolder()) return *this;
  // Copy first: other may live inside the value about to be released.
  JsonValue* copy = isShared(other.value_) ? other.value_ : other.value_->clone().release();
  release(value_);
  value_ = copy;
  return *this;
}

void JsonHandle::become(JsonValue* value) noexcept {
  release(value_);
  value_ = value;
}

// Copying a shared invalid holder copies no value, so the absent case costs
// nothing either.
JsonHandle JsonHandle::get(const std::string& key) const { return getRef(key); }

JsonHandle JsonHandle::get(int index) const { return value_->elementRef(index); }

const JsonHandle& JsonHandle::getRef(const std::string& key) const {
  if (value_->type() == kJsonObject) {
    const JsonHandle* found = static_cast<const JsonObjectValue*>(value_)->find(key);
    if (found != nullptr) return *found;
  }
  return sharedInvalidMember();
}

const JsonHandle& JsonHandle::getRef(int index) const { return value_->elementRef(index); }

const std::string* JsonHandle::stringRef() const {
  if (value_->type() != kJsonString) return nullptr;
  return &static_cast<const JsonStringValue*>(value_)->value();
}

// The shared holders hold the invalid value, never null, so none of the
// writers below can turn them into a container.
JsonHandle& JsonHandle::member(const std::string& key) {
  if (value_->type() == kJsonNull) {
    become(new JsonObjectValue());
  }
  return value_->memberRef(key);
}

void JsonHandle::setMember(const std::string& key, JsonHandle&& value) {
  // Moving a holder into its own value would make the value own itself.
  if (&value == this) return;
  if (value_->type() == kJsonNull) {
    become(new JsonObjectValue());
  }
  value_->setMember(key, std::move(value));
}

void JsonHandle::setMember(const std::string& key, const JsonHandle& value) {
  if (value_->type() == kJsonNull) {
    // Copy first: value may be this very holder.
    JsonHandle copy(value);
    become(new JsonObjectValue());
    value_->setMember(key, std::move(copy));
    return;
  }
  value_->setMember(key, value);
}

void JsonHandle::append(JsonHandle&& value) {
  if (&value == this) return;
  if (value_->type() == kJsonNull) {
    become(new JsonArrayValue());
  }
  value_->append(std::move(value));
}

void JsonHandle::append(const JsonHandle& value) {
  if (value_->type() == kJsonNull) {
    JsonHandle copy(value);
    become(new JsonArrayValue());
    value_->append(std::move(copy));
    return;
  }
  value_->append(value);
}

// --- JsonValue: what every kind does unless it overrides --------------------

bool JsonValue::hasMember(const std::string&) const { return false; }
JsonHandle JsonValue::elementAt(int) const { return JsonHandle::makeInvalid(); }
const JsonHandle& JsonValue::elementRef(int) const { return sharedInvalidElement(); }
JsonHandle JsonValue::memberAt(const std::string&) const { return JsonHandle::makeInvalid(); }
JsonHandle& JsonValue::memberRef(const std::string&) { return sharedInvalidMember(); }
void JsonValue::setElement(int, JsonHandle&&) {}
void JsonValue::setElement(int, const JsonHandle&) {}
void JsonValue::setMember(const std::string&, JsonHandle&&) {}
void JsonValue::setMember(const std::string&, const JsonHandle&) {}
void JsonValue::append(JsonHandle&&) {}
void JsonValue::append(const JsonHandle&) {}
int JsonValue::size() const { return -1; }
bool JsonValue::isValid() const { return true; }
bool JsonValue::isNull() const { return false; }
bool JsonValue::asBool() const { return false; }
int JsonValue::asInt() const { return 0; }
double JsonValue::asDouble() const { return 0.0; }
std::string JsonValue::asString() const { return std::string(); }

// --- Scalars ----------------------------------------------------------------

int JsonInvalidValue::type() const { return kJsonInvalid; }
bool JsonInvalidValue::isValid() const { return false; }
bool JsonInvalidValue::isNull() const { return true; }
void JsonInvalidValue::write(std::string&) const {}
std::unique_ptr<JsonValue> JsonInvalidValue::clone() const {
  return std::make_unique<JsonInvalidValue>();
}

int JsonNullValue::type() const { return kJsonNull; }
bool JsonNullValue::isNull() const { return true; }
void JsonNullValue::write(std::string& out) const { out += "null"; }
std::unique_ptr<JsonValue> JsonNullValue::clone() const {
  return std::make_unique<JsonNullValue>();
}

int JsonBoolValue::type() const { return kJsonBool; }
bool JsonBoolValue::asBool() const { return value_; }
void JsonBoolValue::write(std::string& out) const { out += value_ ? "true" : "false"; }
std::unique_ptr<JsonValue> JsonBoolValue::clone() const {
  return std::make_unique<JsonBoolValue>(value_);
}

int JsonNumberValue::type() const { return kJsonNumber; }
int JsonNumberValue::asInt() const {
  // Converting a double outside the int range is undefined, so the ends of
  // the range (and NaN) are settled first.
  if (std::isnan(value_)) return 0;
  if (value_ >= 2147483648.0) return INT_MAX;
  if (value_ <= -2147483649.0) return INT_MIN;
  return static_cast<int>(value_);
}
double JsonNumberValue::asDouble() const { return value_; }
void JsonNumberValue::write(std::string& out) const { appendJsonNumber(out, value_); }
std::unique_ptr<JsonValue> JsonNumberValue::clone() const {
  return std::make_unique<JsonNumberValue>(value_);
}

int JsonStringValue::type() const { return kJsonString; }
std::string JsonStringValue::asString() const { return value_; }
void JsonStringValue::write(std::string& out) const { appendJsonString(out, value_); }
std::unique_ptr<JsonValue> JsonStringValue::clone() const {
  return std::make_unique<JsonStringValue>(value_);
}

// --- Array ------------------------------------------------------------------

int JsonArrayValue::type() const { return kJsonArray; }

JsonHandle JsonArrayValue::elementAt(int index) const { return elementRef(index); }

const JsonHandle& JsonArrayValue::elementRef(int index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= elements_.size()) {
    return sharedInvalidElement();
  }
  return elements_[static_cast<std::size_t>(index)];
}

void JsonArrayValue::setElement(int index, JsonHandle&& value) {
  if (index < 0 || static_cast<std::size_t>(index) >= elements_.size()) return;
  elements_[static_cast<std::size_t>(index)] = std::move(value);
}

void JsonArrayValue::setElement(int index, const JsonHandle& value) {
  if (index < 0 || static_cast<std::size_t>(index) >= elements_.size()) return;
  elements_[static_cast<std::size_t>(index)] = value;
}

void JsonArrayValue::append(JsonHandle&& value) { elements_.push_back(std::move(value)); }

void JsonArrayValue::append(const JsonHandle& value) {
  // Copied before the vector may grow: value may be one of its elements.
  JsonHandle copy(value);
  elements_.push_back(std::move(copy));
}

int JsonArrayValue::size() const {
  return elements_.size() > static_cast<std::size_t>(INT_MAX) ? INT_MAX
                                                              : static_cast<int>(elements_.size());
}

void JsonArrayValue::write(std::string& out) const {
  out += '[';
  bool first = true;
  for (const JsonHandle& element : elements_) {
    if (!first) out += ',';
    first = false;
    writeChild(out, element);
  }
  out += ']';
}

std::unique_ptr<JsonValue> JsonArrayValue::clone() const {
  auto copy = std::make_unique<JsonArrayValue>();
  copy->elements_ = elements_;
  return copy;
}

// --- Object -----------------------------------------------------------------

int JsonObjectValue::type() const { return kJsonObject; }

bool JsonObjectValue::hasMember(const std::string& key) const {
  return members_.find(key) != members_.end();
}

JsonHandle JsonObjectValue::memberAt(const std::string& key) const {
  const JsonHandle* found = find(key);
  return found != nullptr ? *found : JsonHandle::makeInvalid();
}

JsonHandle& JsonObjectValue::memberRef(const std::string& key) { return members_[key]; }

void JsonObjectValue::setMember(const std::string& key, JsonHandle&& value) {
  members_.insert_or_assign(key, std::move(value));
}

void JsonObjectValue::setMember(const std::string& key, const JsonHandle& value) {
  // Copied before the map may change: value may be one of its members.
  JsonHandle copy(value);
  members_[key] = std::move(copy);
}

void JsonObjectValue::write(std::string& out) const {
  out += '{';
  bool first = true;
  for (const auto& member : members_) {
    if (!first) out += ',';
    first = false;
    appendJsonString(out, member.first);
    out += ':';
    writeChild(out, member.second);
  }
  out += '}';
}

std::unique_ptr<JsonValue> JsonObjectValue::clone() const {
  auto copy = std::make_unique<JsonObjectValue>();
  copy->members_ = members_;
  return copy;
}

const JsonHandle* JsonObjectValue::find(const std::string& key) const {
  const auto it = members_.find(key);
  return it != members_.end() ? &it->second : nullptr;
}

void JsonObjectValue::insertOrAssign(std::string&& key, JsonHandle&& value) {
  members_.insert_or_assign(std::move(key), std::move(value));
}

}  // namespace sdk
