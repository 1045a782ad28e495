// Building a parsed document: values carved out of one arena, arrays and
// objects frozen with their entries in place.
#include <cstring>
#include <new>

#include "json/json_arena.h"
#include "json/json_value.h"

namespace sdk {

// --- Document builder -------------------------------------------------------

JsonDocumentBuilder::JsonDocumentBuilder(std::size_t textSize) noexcept : textSize_(textSize) {}

// The element stack's block: the arena's block head, the word where the top
// array keeps its arena, then the elements.
constexpr std::size_t kElementHead = JsonArena::kBlockHead + sizeof(JsonArena*);

JsonDocumentBuilder::~JsonDocumentBuilder() {
  ::operator delete(elementBlock_);
  if (arena_ != nullptr) JsonArena::destroy(arena_);
}

namespace {

// Whether the string keeps its bytes inside itself, not on the heap.
inline bool storedInside(const std::string& text) {
  const char* bytes = text.data();
  const char* self = reinterpret_cast<const char*>(&text);
  return bytes >= self && bytes < self + sizeof text;
}

}  // namespace

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
  if (storedInside(text)) return;
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
    void* slot = keepSlot(members[i].nameSize);
    Member* member = new (data + i) Member{std::string(members[i].name, members[i].nameSize),
                                           JsonHandle(members[i].value, JsonHandle::SharedTag())};
    if (!storedInside(member->first)) keep(member->first, slot);
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
