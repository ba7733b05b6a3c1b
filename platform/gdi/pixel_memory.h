// The pixel memory of bitmaps. A render creates and deletes bitmaps of the
// same few sizes for every chart; a fresh block of that size would come
// straight from the system and have every page faulted in again. So each
// thread keeps the last few blocks it freed and hands one back to an
// allocation of exactly its size: a steady stream of same-size charts then
// touches no fresh pages.
//
// The cache is bounded (kPixelCacheBuffers blocks, kPixelCacheBytes in all,
// per thread); a block joins the cache of the thread that frees it and
// leaves it when handed out, so a block in use is never handed out twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace qz::gdi::detail {

inline constexpr std::size_t kPixelCacheBuffers = 3;
inline constexpr std::size_t kPixelCacheBytes = std::size_t{64} << 20;

// Gives the block back to this thread's cache (the oldest blocks leave it
// when it is full) or to the heap. Never fails.
struct PixelMemoryDeleter {
  std::size_t bytes = 0;
  void operator()(std::uint8_t* block) const noexcept;
};

using PixelMemory = std::unique_ptr<std::uint8_t[], PixelMemoryDeleter>;

// A block of bytes (at least 1), zero-filled unless zero is false (then it
// may hold what an earlier bitmap of this thread left: only for a caller
// that writes every byte before any is read); null when memory runs out.
PixelMemory AllocatePixels(std::size_t bytes, bool zero = true) noexcept;

// What this thread's cache holds now.
struct PixelCacheContents {
  std::size_t buffers = 0;
  std::size_t bytes = 0;
};
PixelCacheContents ThisThreadPixelCache() noexcept;

}  // namespace qz::gdi::detail
