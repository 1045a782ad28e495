// The memory handed to callers. Every record a call returns stays valid and
// unchanged until the library unloads; callers only read it.
//
// A record tree (a record and everything it points to) is kept in one block
// whose pointers point into itself, together with the answer text it was
// converted from and a copy of the block as given out. An answer identical
// to one already kept gets that same block back, as long as the block still
// holds exactly what was given out, so an application that polls the same
// devices costs no memory per call. A block that a caller has written to is
// never handed out again (it stays valid for whoever holds it); the next
// identical answer gets a new one.
//
// Handing out a block again only reads it (to compare it with its copy), so
// callers that only read it, on any thread, race with nothing.
#ifndef LUMSDK_API_RETAINED_H_
#define LUMSDK_API_RETAINED_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

namespace sdk {

class RecordStore {
 public:
  RecordStore() = default;
  RecordStore(const RecordStore&) = delete;
  RecordStore& operator=(const RecordStore&) = delete;

  // The block kept for an identical answer that still holds what was given
  // out; null when there is none.
  void* find(const std::string& answer);

  // Keeps block (size bytes) as the record of answer and returns the block
  // to hand out: this one, or an identical one kept meanwhile by another
  // thread (then block is dropped).
  void* keep(std::string answer, std::unique_ptr<unsigned char[]> block, size_t size);

  // Frees every block; for the library's teardown only.
  void releaseAll();

  // Blocks kept so far; for tests.
  size_t blockCount();

 private:
  struct Entry {
    std::string answer;
    uint64_t hash;
    size_t size;
    std::unique_ptr<unsigned char[]> block;     // given out
    std::unique_ptr<unsigned char[]> original;  // what was given out
  };

  static bool unchanged(const Entry& entry);
  Entry* findLocked(const std::string& answer, uint64_t hash);

  // Guards every member; innermost lock (nothing else is taken under it).
  std::mutex mutex_;
  std::vector<std::unique_ptr<Entry>> entries_;      // every block, until release
  std::unordered_multimap<uint64_t, Entry*> index_;  // blocks that may be handed out again
  Entry* last_ = nullptr;                            // the latest hit, tried first
};

// A record tree built and not yet kept.
struct RecordBlock {
  std::unique_ptr<unsigned char[]> bytes;
  size_t size = 0;
};

// Builds a record tree in one block: reserve every part first, then
// allocate, then place the parts. Parts are aligned for any record type.
class BlockLayout {
 public:
  // Reserves room for count objects of T and returns their offset.
  template <typename T>
  size_t reserve(size_t count) {
    const size_t offset =
        (size_ + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    size_ = offset + sizeof(T) * count;
    return offset;
  }
  size_t size() const { return size_ > 0 ? size_ : 1; }

  // The zero-filled block.
  std::unique_ptr<unsigned char[]> allocate() const {
    return std::unique_ptr<unsigned char[]>(new unsigned char[size()]());
  }

  // Starts the lifetime of count value-initialised objects of T at offset.
  template <typename T>
  static T* place(unsigned char* block, size_t offset, size_t count) {
    T* first = reinterpret_cast<T*>(block + offset);
    for (size_t i = 0; i < count; ++i) new (first + i) T();
    return first;
  }

 private:
  size_t size_ = 0;
};

}  // namespace sdk

#endif  // LUMSDK_API_RETAINED_H_
