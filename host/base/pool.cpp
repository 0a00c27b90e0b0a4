#include "host/base/pool.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr std::size_t kAlign = 16;
constexpr std::size_t kBlockSize = 64 * 1024;
// Requests above this get a block of their own, so that a large body copy
// does not waste the rest of the current block.
constexpr std::size_t kOwnBlock = kBlockSize / 4;

// A zero-filled block with room for `size` bytes after aligning its start.
std::unique_ptr<unsigned char[]> NewBlock(std::size_t size, unsigned char*& start) {
  if (size > SIZE_MAX - kAlign) throw std::bad_alloc();
  std::unique_ptr<unsigned char[]> block(new unsigned char[size + kAlign - 1]());
  auto at = reinterpret_cast<std::uintptr_t>(block.get());
  start = block.get() + ((kAlign - at % kAlign) % kAlign);
  return block;
}

}  // namespace

void* MemPool::Alloc(std::size_t size) {
  if (size > SIZE_MAX - kAlign) throw std::bad_alloc();
  std::size_t rounded = size == 0 ? kAlign : (size + kAlign - 1) & ~(kAlign - 1);
  used_ += rounded;
  if (rounded > kOwnBlock) {
    // The current block (cursor_) stays in use for the small requests.
    unsigned char* start = nullptr;
    blocks_.push_back(NewBlock(rounded, start));
    return start;
  }
  if (rounded > left_) {
    blocks_.push_back(NewBlock(kBlockSize, cursor_));
    left_ = kBlockSize;
  }
  void* p = cursor_;
  cursor_ += rounded;
  left_ -= rounded;
  return p;
}

void MemPool::Clear() {
  blocks_.clear();
  cursor_ = nullptr;
  left_ = 0;
  used_ = 0;
}

void* my_Xalloc(MemPool& pool, std::size_t size) {
  return pool.Alloc(size);
}

void my_Xfree(MemPool& pool) {
  pool.Clear();
}

char* PoolStrDup(MemPool& pool, const char* text, std::size_t length) {
  if (length == SIZE_MAX) throw std::bad_alloc();
  auto* copy = static_cast<char*>(pool.Alloc(length + 1));  // zero-filled: NUL included
  if (text != nullptr && length > 0) std::memcpy(copy, text, length);
  return copy;
}
