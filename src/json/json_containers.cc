// JSON arrays and objects: growing while built, frozen in a document's arena
// once parsed, and the seeded name index of large objects.
#include <chrono>
#include <cstring>
#include <new>

#include "json/json_arena.h"
#include "json/json_format.h"
#include "json/json_value.h"

namespace sdk {

namespace {

// A container writes an invalid child as null: the invalid value writes
// nothing, and a bare comma or colon would make the whole text unreadable.
void writeChild(std::string& out, const JsonHandle& child) {
  const std::size_t before = out.size();
  child.write(out);
  if (out.size() == before) out += "null";
}

std::uint64_t makeSeed() {
  // Differs from run to run, so that no fixed set of names collides in the
  // index of every process.
  static const int anchor = 0;
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return now ^ (reinterpret_cast<std::uintptr_t>(&anchor) << 16) ^ 0x9E3779B97F4A7C15ull;
}

}  // namespace

std::uint64_t jsonNameHash(const char* data, std::size_t size) noexcept {
  static const std::uint64_t seed = makeSeed();
  std::uint64_t hash = seed;
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ static_cast<unsigned char>(data[i])) * 0x100000001B3ull;
  }
  // The low bits pick the slot; fold the high bits in.
  return hash ^ (hash >> 29) ^ (hash >> 47);
}

// --- Array ------------------------------------------------------------------

JsonArrayValue::~JsonArrayValue() {
  if (capacity_ == JsonDocumentBuilder::kFrozen) return;
  if (capacity_ == JsonDocumentBuilder::kFrozenTop) {
    JsonArena::destroy(arenaBefore(data_));
    return;
  }
  for (std::uint32_t i = 0; i < size_; ++i) data_[i].~JsonHandle();
  ::operator delete(data_);
}

int JsonArrayValue::type() const { return kJsonArray; }

JsonHandle* JsonArrayValue::entries() const noexcept {
  return capacity_ == JsonDocumentBuilder::kFrozen ? frozenEntries<JsonHandle>(this) : data_;
}

JsonHandle JsonArrayValue::elementAt(int index) const { return elementRef(index); }

const JsonHandle& JsonArrayValue::elementRef(int index) const {
  if (index < 0 || static_cast<std::uint32_t>(index) >= size_) return sharedInvalidElement();
  return entries()[index];
}

bool JsonArrayValue::makeWritable() {
  if (capacity_ == JsonDocumentBuilder::kFrozen) return false;
  if (capacity_ != JsonDocumentBuilder::kFrozenTop) return true;
  // The first write into a parsed document: every element becomes an
  // ordinary copy, then the arena goes.
  const std::uint32_t capacity = size_ < 4 ? 4 : size_;
  JsonHandle* copies = static_cast<JsonHandle*>(::operator new(capacity * sizeof(JsonHandle)));
  std::uint32_t made = 0;
  try {
    for (; made < size_; ++made) new (copies + made) JsonHandle(data_[made]);
  } catch (...) {
    while (made > 0) copies[--made].~JsonHandle();
    ::operator delete(copies);
    throw;
  }
  JsonArena* arena = arenaBefore(data_);
  data_ = copies;
  capacity_ = capacity;
  JsonArena::destroy(arena);
  return true;
}

void JsonArrayValue::grow() {
  const std::uint32_t capacity = grownCapacity(capacity_);
  JsonHandle* grown = static_cast<JsonHandle*>(::operator new(capacity * sizeof(JsonHandle)));
  for (std::uint32_t i = 0; i < size_; ++i) {
    new (grown + i) JsonHandle(std::move(data_[i]));
    data_[i].~JsonHandle();
  }
  ::operator delete(data_);
  data_ = grown;
  capacity_ = capacity;
}

void JsonArrayValue::setElement(int index, JsonHandle&& value) {
  if (index < 0 || static_cast<std::uint32_t>(index) >= size_ || !makeWritable()) return;
  data_[index] = std::move(value);
}

void JsonArrayValue::setElement(int index, const JsonHandle& value) {
  if (index < 0 || static_cast<std::uint32_t>(index) >= size_) return;
  // Copied first: value may be one of the elements.
  JsonHandle copy(value);
  if (!makeWritable()) return;
  data_[index] = std::move(copy);
}

void JsonArrayValue::append(JsonHandle&& value) {
  if (!makeWritable()) return;
  if (size_ == capacity_) grow();
  new (data_ + size_) JsonHandle(std::move(value));
  ++size_;
}

void JsonArrayValue::append(const JsonHandle& value) {
  // Copied before the block may change: value may be one of its elements.
  JsonHandle copy(value);
  append(std::move(copy));
}

int JsonArrayValue::size() const { return static_cast<int>(size_); }

void JsonArrayValue::write(std::string& out) const {
  const JsonHandle* elements = entries();
  out += '[';
  for (std::uint32_t i = 0; i < size_; ++i) {
    if (i != 0) out += ',';
    writeChild(out, elements[i]);
  }
  out += ']';
}

std::unique_ptr<JsonValue> JsonArrayValue::clone() const {
  auto copy = std::make_unique<JsonArrayValue>();
  if (size_ == 0) return copy;
  const JsonHandle* elements = entries();
  copy->data_ = static_cast<JsonHandle*>(::operator new(size_ * sizeof(JsonHandle)));
  copy->capacity_ = size_;
  // size_ counts the copies made, so a failure destroys exactly those.
  for (std::uint32_t i = 0; i < size_; ++i) {
    new (copy->data_ + i) JsonHandle(elements[i]);
    ++copy->size_;
  }
  return copy;
}

// --- Object -----------------------------------------------------------------

JsonObjectValue::~JsonObjectValue() {
  if (capacity_ == JsonDocumentBuilder::kFrozen) return;
  if (capacity_ == JsonDocumentBuilder::kFrozenTop) {
    JsonArena::destroy(arenaBefore(data_));
    return;
  }
  for (std::uint32_t i = 0; i < size_; ++i) data_[i].~Member();
  ::operator delete(data_);
}

int JsonObjectValue::type() const { return kJsonObject; }

JsonObjectValue::Member* JsonObjectValue::entries() const noexcept {
  return capacity_ == JsonDocumentBuilder::kFrozen ? frozenEntries<Member>(this) : data_;
}

// A frozen object is exactly as large as its members; an ordinary one has
// room for capacity_ members. The index follows that room when it exceeds
// kJsonLinearMembers.
std::uint32_t* JsonObjectValue::index() const noexcept {
  const bool frozen = capacity_ >= JsonDocumentBuilder::kFrozenTop;
  const std::uint32_t room = frozen ? size_ : capacity_;
  if (room <= kJsonLinearMembers) return nullptr;
  return reinterpret_cast<std::uint32_t*>(entries() + room);
}

long JsonObjectValue::lookup(const char* key, std::size_t size) const {
  const Member* members = entries();
  const std::uint32_t* slots = index();
  if (slots == nullptr) {
    for (std::uint32_t i = 0; i < size_; ++i) {
      const std::string& name = members[i].first;
      if (name.size() == size && std::memcmp(name.data(), key, size) == 0) return i;
    }
    return -1;
  }
  const bool frozen = capacity_ >= JsonDocumentBuilder::kFrozenTop;
  const std::size_t mask = indexSlots(frozen ? size_ : capacity_) - 1;
  for (std::size_t slot = jsonNameHash(key, size) & mask;; slot = (slot + 1) & mask) {
    const std::uint32_t entry = slots[slot];
    if (entry == 0) return -1;
    const std::string& name = members[entry - 1].first;
    if (name.size() == size && std::memcmp(name.data(), key, size) == 0) return entry - 1;
  }
}

const JsonHandle* JsonObjectValue::find(const char* key, std::size_t size) const {
  const long i = lookup(key, size);
  return i >= 0 ? &entries()[i].second : nullptr;
}

const JsonHandle* JsonObjectValue::find(const std::string& key) const {
  return find(key.data(), key.size());
}

bool JsonObjectValue::hasMember(const std::string& key) const {
  return lookup(key.data(), key.size()) >= 0;
}

JsonHandle JsonObjectValue::memberAt(const std::string& key) const {
  const JsonHandle* found = find(key);
  return found != nullptr ? *found : JsonHandle::makeInvalid();
}

bool JsonObjectValue::makeWritable() {
  if (capacity_ == JsonDocumentBuilder::kFrozen) return false;
  if (capacity_ != JsonDocumentBuilder::kFrozenTop) return true;
  // The first write into a parsed document: every member becomes an
  // ordinary copy, then the arena goes.
  JsonObjectValue copy;
  for (std::uint32_t i = 0; i < size_; ++i)
    copy.insert(data_[i].first, JsonHandle(data_[i].second));
  JsonArena* arena = arenaBefore(data_);
  data_ = copy.data_;
  size_ = copy.size_;
  capacity_ = copy.capacity_;
  copy.data_ = nullptr;
  copy.size_ = 0;
  copy.capacity_ = 0;
  JsonArena::destroy(arena);
  return true;
}

void JsonObjectValue::grow() {
  const std::uint32_t capacity = grownCapacity(capacity_);
  std::size_t bytes = capacity * sizeof(Member);
  if (capacity > kJsonLinearMembers) bytes += indexSlots(capacity) * sizeof(std::uint32_t);
  Member* grown = static_cast<Member*>(::operator new(bytes));
  for (std::uint32_t i = 0; i < size_; ++i) {
    new (grown + i) Member{std::move(data_[i].first), std::move(data_[i].second)};
    data_[i].~Member();
  }
  ::operator delete(data_);
  data_ = grown;
  capacity_ = capacity;
  std::uint32_t* slots = index();
  if (slots == nullptr) return;
  const std::size_t count = indexSlots(capacity);
  std::memset(slots, 0, count * sizeof(std::uint32_t));
  for (std::uint32_t i = 0; i < size_; ++i) {
    const std::string& name = data_[i].first;
    std::size_t slot = jsonNameHash(name.data(), name.size()) & (count - 1);
    while (slots[slot] != 0) slot = (slot + 1) & (count - 1);
    slots[slot] = i + 1;
  }
}

JsonHandle& JsonObjectValue::insert(const std::string& key, JsonHandle&& value) {
  // The name is copied before the block may move: key may be a member's.
  std::string name(key);
  if (size_ == capacity_) grow();
  Member* member = new (data_ + size_) Member{std::move(name), std::move(value)};
  if (std::uint32_t* slots = index()) {
    const std::size_t mask = indexSlots(capacity_) - 1;
    std::size_t slot = jsonNameHash(member->first.data(), member->first.size()) & mask;
    while (slots[slot] != 0) slot = (slot + 1) & mask;
    slots[slot] = size_ + 1;
  }
  ++size_;
  return member->second;
}

JsonHandle& JsonObjectValue::memberRef(const std::string& key) {
  if (capacity_ >= JsonDocumentBuilder::kFrozenTop) {
    // The name may lie inside the document about to be copied.
    const std::string name(key);
    if (!makeWritable()) return sharedInvalidMember();
    return memberRef(name);
  }
  const long i = lookup(key.data(), key.size());
  if (i >= 0) return data_[i].second;
  return insert(key, JsonHandle());
}

void JsonObjectValue::setMember(const std::string& key, JsonHandle&& value) {
  memberRef(key) = std::move(value);
}

void JsonObjectValue::setMember(const std::string& key, const JsonHandle& value) {
  // Copied before the object may change: value may be one of its members.
  JsonHandle copy(value);
  memberRef(key) = std::move(copy);
}

// Newest member first: the order in which the library's requests have always
// gone out (the hash map that held members before wrote its small objects
// so), so hosts keep seeing the same bytes.
void JsonObjectValue::write(std::string& out) const {
  const Member* members = entries();
  out += '{';
  for (std::uint32_t i = size_; i > 0; --i) {
    if (i != size_) out += ',';
    appendJsonString(out, members[i - 1].first);
    out += ':';
    writeChild(out, members[i - 1].second);
  }
  out += '}';
}

std::unique_ptr<JsonValue> JsonObjectValue::clone() const {
  const Member* members = entries();
  auto copy = std::make_unique<JsonObjectValue>();
  for (std::uint32_t i = 0; i < size_; ++i) {
    copy->insert(members[i].first, JsonHandle(members[i].second));
  }
  return copy;
}

}  // namespace sdk
