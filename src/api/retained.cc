#include "api/retained.h"

#include <cstring>

namespace sdk {
namespace {

// A quick hash of a whole answer, eight bytes at a time: answers are looked
// up on every call that returns a record, and texts of equal hash are
// compared in full anyway.
uint64_t hashText(const std::string& text) {
  uint64_t h = 0x9E3779B97F4A7C15ull ^ text.size();
  const char* p = text.data();
  size_t left = text.size();
  for (; left >= 8; p += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, left);
  h = (h ^ tail) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 29);
}

}  // namespace

bool RecordStore::unchanged(const Entry& entry) {
  return std::memcmp(entry.block.get(), entry.original.get(), entry.size) == 0;
}

RecordStore::Entry* RecordStore::findLocked(const std::string& answer, uint64_t hash) {
  auto range = index_.equal_range(hash);
  for (auto it = range.first; it != range.second; ++it) {
    Entry* entry = it->second;
    if (entry->answer != answer) continue;
    if (unchanged(*entry)) return entry;
    // Written to by a caller: it stays valid for them, but is not handed out
    // again.
    index_.erase(it);
    if (last_ == entry) last_ = nullptr;
    return nullptr;
  }
  return nullptr;
}

void* RecordStore::find(const std::string& answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (last_ != nullptr && last_->answer == answer && unchanged(*last_)) return last_->block.get();
  Entry* entry = findLocked(answer, hashText(answer));
  if (entry == nullptr) return nullptr;
  last_ = entry;
  return entry->block.get();
}

void* RecordStore::keep(std::string answer, std::unique_ptr<unsigned char[]> block, size_t size) {
  const uint64_t hash = hashText(answer);
  auto entry = std::make_unique<Entry>();
  entry->answer = std::move(answer);
  entry->hash = hash;
  entry->size = size;
  entry->original.reset(new unsigned char[size]);
  std::memcpy(entry->original.get(), block.get(), size);
  entry->block = std::move(block);

  std::lock_guard<std::mutex> lock(mutex_);
  // Another thread may have kept the same answer since this one looked: the
  // same answer converts to the same record.
  if (Entry* same = findLocked(entry->answer, hash)) {
    last_ = same;
    return same->block.get();
  }
  entries_.reserve(entries_.size() + 1);
  index_.emplace(hash, entry.get());
  last_ = entry.get();
  entries_.push_back(std::move(entry));
  return last_->block.get();
}

void RecordStore::releaseAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Swapped rather than cleared: clear() keeps the bucket array.
  decltype(index_)().swap(index_);
  last_ = nullptr;
  std::vector<std::unique_ptr<Entry>>().swap(entries_);
}

size_t RecordStore::blockCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

}  // namespace sdk
