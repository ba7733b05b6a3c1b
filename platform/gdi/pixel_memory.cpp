#include "platform/gdi/pixel_memory.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define QZ_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define QZ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define QZ_POISON(p, n) ((void)(p), (void)(n))
#define QZ_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace qz::gdi::detail {

namespace {

// A block in the cache is poisoned under AddressSanitizer: a bitmap's
// memory used after its deletion is still reported.
struct Block {
  std::uint8_t* data = nullptr;
  std::size_t bytes = 0;
};

void FreeBlock(const Block& block) noexcept {
  QZ_UNPOISON(block.data, block.bytes);
  std::free(block.data);
}

// Blocks freed may still arrive while the thread is ending, after its cache
// is gone (a bitmap released by another thread-local's destructor): the
// state, trivially destructible, says so and they go straight to the heap.
enum class CacheState : unsigned char { kUnborn, kAlive, kGone };
constinit thread_local CacheState cache_state = CacheState::kUnborn;

class Cache {
 public:
  Cache() noexcept { cache_state = CacheState::kAlive; }
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  ~Cache() {
    cache_state = CacheState::kGone;
    for (std::size_t i = 0; i < count_; ++i) FreeBlock(blocks_[i]);
    count_ = 0;
  }

  // The newest block of exactly bytes, taken out of the cache; null if none.
  std::uint8_t* Take(std::size_t bytes) noexcept {
    for (std::size_t i = count_; i-- > 0;) {
      if (blocks_[i].bytes != bytes) continue;
      std::uint8_t* data = blocks_[i].data;
      std::copy(blocks_.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                blocks_.begin() + static_cast<std::ptrdiff_t>(count_),
                blocks_.begin() + static_cast<std::ptrdiff_t>(i));
      --count_;
      total_ -= bytes;
      QZ_UNPOISON(data, bytes);
      return data;
    }
    return nullptr;
  }

  // Keeps the block as the newest, letting the oldest go to make room.
  void Keep(std::uint8_t* data, std::size_t bytes) noexcept {
    if (bytes > kPixelCacheBytes) {
      std::free(data);
      return;
    }
    while (count_ > 0 && (count_ == blocks_.size() || total_ + bytes > kPixelCacheBytes)) {
      FreeBlock(blocks_[0]);
      total_ -= blocks_[0].bytes;
      std::copy(blocks_.begin() + 1, blocks_.begin() + static_cast<std::ptrdiff_t>(count_),
                blocks_.begin());
      --count_;
    }
    QZ_POISON(data, bytes);
    blocks_[count_++] = {data, bytes};
    total_ += bytes;
  }

  PixelCacheContents Contents() const noexcept { return {count_, total_}; }

 private:
  std::array<Block, kPixelCacheBuffers> blocks_{};  // oldest first
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

Cache* ThisThreadCache() noexcept {
  if (cache_state == CacheState::kGone) return nullptr;
  thread_local Cache cache;
  return &cache;
}

}  // namespace

void PixelMemoryDeleter::operator()(std::uint8_t* block) const noexcept {
  if (block == nullptr) return;
  if (Cache* cache = ThisThreadCache()) {
    cache->Keep(block, bytes);
  } else {
    std::free(block);
  }
}

PixelMemory AllocatePixels(std::size_t bytes, bool zero) noexcept {
  bytes = std::max<std::size_t>(bytes, 1);
  if (Cache* cache = ThisThreadCache()) {
    if (std::uint8_t* data = cache->Take(bytes)) {
      if (zero) std::memset(data, 0, bytes);
      return PixelMemory(data, PixelMemoryDeleter{bytes});
    }
  }
  // calloc: a fresh block from the system is zero already, untouched.
  auto* data = static_cast<std::uint8_t*>(std::calloc(bytes, 1));
  return PixelMemory(data, PixelMemoryDeleter{bytes});
}

PixelCacheContents ThisThreadPixelCache() noexcept {
  Cache* cache = ThisThreadCache();
  return cache != nullptr ? cache->Contents() : PixelCacheContents{};
}

}  // namespace qz::gdi::detail
