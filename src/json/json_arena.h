// The arena that holds a parsed document, and the layout facts that the
// containers and the document builder share. Internal to the JSON layer.
#ifndef LUMSDK_JSON_JSON_ARENA_H_
#define LUMSDK_JSON_JSON_ARENA_H_

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>

#include "json/json_value.h"

namespace sdk {

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

// Where the top container of a document keeps its arena: in the word before
// its elements or members.
inline JsonArena*& arenaBefore(void* data) noexcept {
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

inline std::uint32_t grownCapacity(std::uint32_t capacity) {
  if (capacity >= JsonDocumentBuilder::kMaxCapacity) throw std::bad_alloc();
  if (capacity < 4) return 4;
  return capacity > JsonDocumentBuilder::kMaxCapacity / 2 ? JsonDocumentBuilder::kMaxCapacity
                                                          : capacity * 2;
}

// Slots of the name index of an object with room for n members: a power of
// two at least twice n, so that probes stay short.
inline std::size_t indexSlots(std::size_t n) {
  std::size_t slots = 16;
  while (slots < 2 * n) slots *= 2;
  return slots;
}

}  // namespace sdk

#endif  // LUMSDK_JSON_JSON_ARENA_H_
