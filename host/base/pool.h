// An arena: memory handed out in pieces and released as a whole.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

class MemPool {
 public:
  MemPool() = default;
  MemPool(const MemPool&) = delete;
  MemPool& operator=(const MemPool&) = delete;

  // Zero-filled memory aligned to 16 bytes; never null (throws bad_alloc
  // like new when memory runs out). Taken from 64 KiB blocks; a request
  // above 16 KiB gets a block of its own.
  void* Alloc(std::size_t size);
  // Releases everything handed out.
  void Clear();
  std::size_t bytes_used() const { return used_; }

 private:
  std::vector<std::unique_ptr<unsigned char[]>> blocks_;
  unsigned char* cursor_ = nullptr;
  std::size_t left_ = 0;
  std::size_t used_ = 0;
};

void* my_Xalloc(MemPool& pool, std::size_t size);
void my_Xfree(MemPool& pool);

// A NUL-terminated copy of `text` in the pool.
char* PoolStrDup(MemPool& pool, const char* text, std::size_t length);
