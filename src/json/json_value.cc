// JSON values: the handle that owns or shares one, the shared constants, and
// what every kind of value does (containers: json_containers.cc; parsed
// documents: json_document.cc).
#include "json/json_value.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "json/json_arena.h"
#include "json/json_format.h"

namespace sdk {

// Constant-initialised, so they exist before any static constructor of the
// library runs and are never destroyed.
JsonShared::Keep JsonShared::constants;
JsonShared::KeepHandle JsonShared::invalidElement(JsonShared::invalid());
JsonShared::KeepHandle JsonShared::invalidMember(JsonShared::invalid());

// --- JsonHandle -------------------------------------------------------------

JsonHandle::JsonHandle(int value)
    : value_(value >= 0 && value < kJsonSharedNumbers
                 ? const_cast<JsonValue*>(JsonShared::number(value))
                 : new JsonNumberValue(value)) {}

JsonHandle::JsonHandle(double value) {
  const JsonValue* shared = JsonShared::number(value);
  value_ = shared != nullptr ? const_cast<JsonValue*>(shared) : new JsonNumberValue(value);
}

JsonHandle::JsonHandle(const std::string& value) : value_(new JsonStringValue(value)) {}
JsonHandle::JsonHandle(std::string&& value) : value_(new JsonStringValue(std::move(value))) {}
JsonHandle::JsonHandle(const char* text)
    : value_(text != nullptr ? static_cast<JsonValue*>(new JsonStringValue(std::string(text)))
                             : const_cast<JsonValue*>(JsonShared::null())) {}

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
int JsonNumberValue::asInt() const { return jsonNumberToInt(value_); }
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

}  // namespace sdk
