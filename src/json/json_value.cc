#include "json/json_value.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <new>

#include "json/json_format.h"

namespace sdk {

// Constant-initialised, so they exist before any static constructor of the
// library runs and are never destroyed.
JsonShared::Keep JsonShared::constants;
JsonShared::KeepHandle JsonShared::invalidElement(JsonShared::invalid());
JsonShared::KeepHandle JsonShared::invalidMember(JsonShared::invalid());

// --- Arena ------------------------------------------------------------------

// The memory of one parsed document: values are carved one after another out
// of blocks that are freed all at once. The arena and its first block are one
// allocation. Strings whose bytes std::string keeps on the heap are listed,
// so that their destructors run when the arena goes.
class JsonArena {
 public:
  static JsonArena* create(std::size_t firstBlock) {
    void* memory = ::operator new(sizeof(JsonArena) + firstBlock);
    return new (memory) JsonArena(static_cast<char*>(memory) + sizeof(JsonArena), firstBlock);
  }

  static void destroy(JsonArena* arena) noexcept {
    for (Kept* kept = arena->kept_; kept != nullptr; kept = kept->next) {
      kept->text->~basic_string();
    }
    Block* block = arena->blocks_;
    while (block != nullptr) {
      Block* next = block->next;
      ::operator delete(block);
      block = next;
    }
    arena->~JsonArena();
    ::operator delete(arena);
  }

  // Memory for size bytes, aligned for any of the values.
  void* allocate(std::size_t size) {
    size = (size + kAlign - 1) & ~(kAlign - 1);
    if (static_cast<std::size_t>(end_ - next_) >= size) {
      void* memory = next_;
      next_ += size;
      return memory;
    }
    return allocateBlock(size);
  }

  // Takes over a block allocated with ::operator new that starts with
  // kBlockHead bytes for the arena's use.
  void adopt(void* block) noexcept {
    Block* adopted = static_cast<Block*>(block);
    adopted->next = blocks_;
    blocks_ = adopted;
  }

  // Lists a string for destruction, in a slot of kKeptSize bytes that the
  // caller allocated first (so that listing cannot fail).
  void keep(void* slot, std::string* text) noexcept {
    Kept* kept = new (slot) Kept{text, kept_};
    kept_ = kept;
  }

  // The head of every block, for the arena's own use.
  static constexpr std::size_t kBlockHead = sizeof(void*);
  // The size of a slot for keep().
  static constexpr std::size_t kKeptSize = 2 * sizeof(void*);

 private:
  // Every value class needs at most this alignment.
  static constexpr std::size_t kAlign = 8;
  // Blocks grow to this size; a request larger than a quarter of the next
  // block gets a block of its own, so the unused end of the current block
  // stays small against the document.
  static constexpr std::size_t kMaxBlock = std::size_t{1} << 20;

  struct Block {
    Block* next;
  };
  struct Kept {
    std::string* text;
    Kept* next;
  };
  static_assert(sizeof(Block) == kBlockHead && sizeof(Kept) == kKeptSize, "slot sizes");

  JsonArena(char* first, std::size_t size) noexcept
      : next_(first), end_(first + size), nextBlock_(size < 4096 ? 4096 : size) {}
  ~JsonArena() = default;

  char* newBlock(std::size_t size) {
    Block* block = static_cast<Block*>(::operator new(sizeof(Block) + size));
    block->next = blocks_;
    blocks_ = block;
    return reinterpret_cast<char*>(block + 1);
  }

  void* allocateBlock(std::size_t size) {
    if (size > nextBlock_ / 4) return newBlock(size);
    char* memory = newBlock(nextBlock_);
    next_ = memory + size;
    end_ = memory + nextBlock_;
    if (nextBlock_ < kMaxBlock) nextBlock_ *= 2;
    return memory;
  }

  char* next_;
  char* end_;
  std::size_t nextBlock_;
  Block* blocks_ = nullptr;
  Kept* kept_ = nullptr;
};

static_assert(alignof(JsonObjectValue::Member) <= 8 && alignof(JsonStringValue) <= 8 &&
                  alignof(JsonNumberValue) <= 8 && alignof(JsonArrayValue) <= 8 &&
                  alignof(JsonObjectValue) <= 8,
              "arena values need at most 8-byte alignment");

namespace {

// Where the top container of a document keeps its arena: in the word before
// its elements or members.
JsonArena*& arenaBefore(void* data) noexcept {
  return *reinterpret_cast<JsonArena**>(static_cast<char*>(data) - sizeof(JsonArena*));
}

// Where a frozen container's entries start: in the place of its data_
// pointer, its last field.
constexpr std::size_t kEntriesOffset = sizeof(void*) + 2 * sizeof(std::uint32_t);
static_assert(sizeof(JsonArrayValue) == kEntriesOffset + sizeof(void*) &&
                  sizeof(JsonObjectValue) == kEntriesOffset + sizeof(void*),
              "a container is its vtable pointer, two sizes and the data pointer");

template <typename Entry, typename Container>
Entry* frozenEntries(const Container* container) noexcept {
  return reinterpret_cast<Entry*>(reinterpret_cast<std::uintptr_t>(container) + kEntriesOffset);
}

// A container writes an invalid child as null: the invalid value writes
// nothing, and a bare comma or colon would make the whole text unreadable.
void writeChild(std::string& out, const JsonHandle& child) {
  const std::size_t before = out.size();
  child.write(out);
  if (out.size() == before) out += "null";
}

std::uint32_t grownCapacity(std::uint32_t capacity) {
  if (capacity >= JsonDocumentBuilder::kMaxCapacity) throw std::bad_alloc();
  if (capacity < 4) return 4;
  return capacity > JsonDocumentBuilder::kMaxCapacity / 2 ? JsonDocumentBuilder::kMaxCapacity
                                                          : capacity * 2;
}

// Slots of the name index of an object with room for n members: a power of
// two at least twice n, so that probes stay short.
std::size_t indexSlots(std::size_t n) {
  std::size_t slots = 16;
  while (slots < 2 * n) slots *= 2;
  return slots;
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

// --- Document builder -------------------------------------------------------

JsonDocumentBuilder::JsonDocumentBuilder(std::size_t textSize) noexcept : textSize_(textSize) {}

// The element stack's block: the arena's block head, the word where the top
// array keeps its arena, then the elements.
constexpr std::size_t kElementHead = JsonArena::kBlockHead + sizeof(JsonArena*);

JsonDocumentBuilder::~JsonDocumentBuilder() {
  ::operator delete(elementBlock_);
  if (arena_ != nullptr) JsonArena::destroy(arena_);
}

JsonArena& JsonDocumentBuilder::arena() {
  if (arena_ == nullptr) {
    // Documents take a few times their text; the first block covers a small
    // one whole, and later blocks grow with the document.
    std::size_t first = textSize_ * 4 + 256;
    if (first > (std::size_t{64} << 10)) first = std::size_t{64} << 10;
    arena_ = JsonArena::create(first);
  }
  return *arena_;
}

void* JsonDocumentBuilder::keepSlot(std::size_t size) {
  // Short strings stay inside std::string in every common library.
  return size > 15 ? arena().allocate(JsonArena::kKeptSize) : nullptr;
}

void JsonDocumentBuilder::keep(std::string& text, void* slot) {
  const char* bytes = text.data();
  const char* self = reinterpret_cast<const char*>(&text);
  if (bytes >= self && bytes < self + sizeof text) return;
  if (slot == nullptr) slot = arena().allocate(JsonArena::kKeptSize);
  arena().keep(slot, &text);
}

const JsonValue* JsonDocumentBuilder::null() noexcept { return JsonShared::null(); }

const JsonValue* JsonDocumentBuilder::boolean(bool value) noexcept {
  return JsonShared::boolean(value);
}

const JsonValue* JsonDocumentBuilder::number(double value) {
  const JsonValue* shared = JsonShared::number(value);
  if (shared != nullptr) return shared;
  return new (arena().allocate(sizeof(JsonNumberValue))) JsonNumberValue(value);
}

const JsonValue* JsonDocumentBuilder::string(const char* data, std::size_t size) {
  if (size <= 2) {
    // Strings this short are shared within the document, so that a text of
    // nothing but tiny strings costs no more than a slot each.
    const JsonValue*& shared = shortString(data, size);
    if (shared == nullptr) shared = makeString(data, size);
    return shared;
  }
  return makeString(data, size);
}

const JsonValue* JsonDocumentBuilder::makeString(const char* data, std::size_t size) {
  void* slot = keepSlot(size);
  JsonStringValue* value =
      new (arena().allocate(sizeof(JsonStringValue))) JsonStringValue(data, size);
  keep(value->value_, slot);
  return value;
}

const JsonValue*& JsonDocumentBuilder::shortString(const char* data, std::size_t size) {
  // Open addressing over the 65793 possible strings of up to two bytes, each
  // stored under its own code plus one (0: empty slot).
  std::uint32_t code = 1;
  if (size >= 1) code = 2 + static_cast<unsigned char>(data[0]);
  if (size == 2)
    code = 258 + (static_cast<std::uint32_t>(static_cast<unsigned char>(data[0])) << 8) +
           static_cast<unsigned char>(data[1]);
  if (2 * (shortCount_ + 1) > shortCodes_.size()) {
    std::vector<std::uint32_t> codes(shortCodes_.empty() ? 64 : shortCodes_.size() * 2, 0);
    std::vector<const JsonValue*> values(codes.size(), nullptr);
    for (std::size_t i = 0; i < shortCodes_.size(); ++i) {
      if (shortCodes_[i] == 0) continue;
      std::size_t slot = (shortCodes_[i] * 0x9E3779B1u) & (codes.size() - 1);
      while (codes[slot] != 0) slot = (slot + 1) & (codes.size() - 1);
      codes[slot] = shortCodes_[i];
      values[slot] = shortValues_[i];
    }
    shortCodes_.swap(codes);
    shortValues_.swap(values);
  }
  const std::size_t mask = shortCodes_.size() - 1;
  std::size_t slot = (code * 0x9E3779B1u) & mask;
  while (shortCodes_[slot] != 0 && shortCodes_[slot] != code) slot = (slot + 1) & mask;
  if (shortCodes_[slot] == 0) {
    shortCodes_[slot] = code;
    ++shortCount_;
  }
  return shortValues_[slot];
}

void JsonDocumentBuilder::pushElement(const JsonValue* element, std::size_t remaining) {
  if (elementCount_ == elementCapacity_) growElements(remaining);
  elements_[elementCount_++] = element;
}

void JsonDocumentBuilder::growElements(std::size_t remaining) {
  // Doubles, but never beyond what the rest of the text can hold: every
  // further element takes at least two bytes. So the stack stays within four
  // times the text even for a text of nothing but one-digit elements.
  const std::size_t bound = elementCount_ + remaining / 2 + 1;
  std::size_t capacity = elementCapacity_ < 64 ? 64 : elementCapacity_ * 2;
  if (capacity > bound) capacity = bound;
  if (capacity > kMaxCapacity) capacity = kMaxCapacity;
  if (capacity <= elementCount_) throw std::bad_alloc();
  void* block = ::operator new(kElementHead + capacity * sizeof(const JsonValue*));
  const JsonValue** elements =
      reinterpret_cast<const JsonValue**>(static_cast<char*>(block) + kElementHead);
  if (elementCount_ != 0)
    std::memcpy(elements, elements_, elementCount_ * sizeof(const JsonValue*));
  ::operator delete(elementBlock_);
  elementBlock_ = block;
  elements_ = elements;
  elementCapacity_ = capacity;
}

const JsonValue* JsonDocumentBuilder::closeArray(std::size_t start, bool top) {
  const std::size_t count = elementCount_ - start;
  if (!top) {
    // The elements follow the array's size fields (see entries()).
    const std::size_t bytes = kEntriesOffset + count * sizeof(JsonHandle);
    void* memory =
        arena().allocate(bytes < sizeof(JsonArrayValue) ? sizeof(JsonArrayValue) : bytes);
    JsonArrayValue* array = new (memory) JsonArrayValue();
    array->size_ = static_cast<std::uint32_t>(count);
    array->capacity_ = kFrozen;
    JsonHandle* data = array->entries();
    for (std::size_t i = 0; i < count; ++i) {
      new (data + i) JsonHandle(elements_[start + i], JsonHandle::SharedTag());
    }
    elementCount_ = start;
    return array;
  }
  // The top array is an ordinary heap object that keeps the stack's block as
  // its storage: its elements are all of the stack (start is 0), and the
  // arena frees the block with the rest.
  std::unique_ptr<JsonArrayValue> array(new JsonArrayValue());
  JsonArena& owner = arena();
  owner.adopt(elementBlock_);
  JsonHandle* data = reinterpret_cast<JsonHandle*>(elements_);
  for (std::size_t i = 0; i < count; ++i) {
    const JsonValue* element = elements_[i];
    new (data + i) JsonHandle(element, JsonHandle::SharedTag());
  }
  arenaBefore(data) = arena_;
  elementBlock_ = nullptr;
  elements_ = nullptr;
  elementCount_ = 0;
  elementCapacity_ = 0;
  array->data_ = data;
  array->size_ = static_cast<std::uint32_t>(count);
  array->capacity_ = kFrozenTop;
  return array.release();
}

const JsonValue* JsonDocumentBuilder::object(PendingMember* members, std::size_t count, bool top) {
  if (count > kMaxCapacity) throw std::bad_alloc();
  using Member = JsonObjectValue::Member;
  // An inner object's members follow its size fields (see entries()); the
  // top object is an ordinary heap object whose members follow its arena's
  // address in the arena. The name index follows the members.
  const std::size_t slots = count > kJsonLinearMembers ? indexSlots(count) : 0;
  const std::size_t head = top ? sizeof(JsonArena*) : kEntriesOffset;
  std::size_t bytes = head + count * sizeof(Member) + slots * sizeof(std::uint32_t);
  if (!top && bytes < sizeof(JsonObjectValue)) bytes = sizeof(JsonObjectValue);
  char* memory = static_cast<char*>(arena().allocate(bytes));
  // An inner object is made first: its constructor writes data_, where its
  // first member goes. The top object, an ordinary heap object, is made last,
  // so that a failure before leaves nothing but arena memory behind.
  JsonObjectValue* object = top ? nullptr : new (memory) JsonObjectValue();
  if (object != nullptr) object->capacity_ = kFrozen;
  Member* data = object != nullptr ? object->entries() : reinterpret_cast<Member*>(memory + head);
  for (std::size_t i = 0; i < count; ++i) {
    void* slot = keepSlot(members[i].name.size());
    Member* member = new (data + i)
        Member{std::move(members[i].name), JsonHandle(members[i].value, JsonHandle::SharedTag())};
    keep(member->first, slot);
  }
  if (slots != 0) {
    std::uint32_t* index = reinterpret_cast<std::uint32_t*>(data + count);
    std::memset(index, 0, slots * sizeof(std::uint32_t));
    for (std::size_t i = 0; i < count; ++i) {
      const std::string& name = data[i].first;
      std::size_t slot = jsonNameHash(name.data(), name.size()) & (slots - 1);
      while (index[slot] != 0) slot = (slot + 1) & (slots - 1);
      index[slot] = static_cast<std::uint32_t>(i + 1);
    }
  }
  if (top) {
    object = new JsonObjectValue();
    object->data_ = data;
    object->capacity_ = kFrozenTop;
    arenaBefore(data) = arena_;
  }
  object->size_ = static_cast<std::uint32_t>(count);
  return object;
}

JsonHandle JsonDocumentBuilder::finish(const JsonValue* top) {
  if (JsonHandle::isShared(top)) return JsonHandle(top, JsonHandle::SharedTag());
  switch (top->type()) {
    case kJsonArray:
    case kJsonObject:
      // The top container owns the arena from now on.
      arena_ = nullptr;
      return JsonHandle(std::unique_ptr<JsonValue>(const_cast<JsonValue*>(top)));
    case kJsonString: {
      // A lone string leaves the arena with its bytes.
      auto* text = const_cast<JsonStringValue*>(static_cast<const JsonStringValue*>(top));
      return JsonHandle(std::move(text->value_));
    }
    default:
      return JsonHandle(top->clone());
  }
}

}  // namespace sdk
