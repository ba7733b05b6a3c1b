#include "platform/gdi/pixel_memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/gdi/gdi.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace qz::gdi::detail {
namespace {

bool AllZero(const std::uint8_t* p, std::size_t n) {
  return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}

// Each test runs on a thread of its own so that it starts with an empty cache.
template <typename F>
void OnFreshThread(F f) {
  std::thread(f).join();
}

TEST(PixelMemory, AFreedBlockComesBackZeroedForExactlyItsSize) {
  OnFreshThread([] {
    constexpr std::size_t kBytes = 576 * 384 * 4;
    PixelMemory a = AllocatePixels(kBytes);
    ASSERT_TRUE(a);
    EXPECT_TRUE(AllZero(a.get(), kBytes));
    std::memset(a.get(), 0xAB, kBytes);
    const std::uint8_t* address = a.get();
    a.reset();
#if defined(__SANITIZE_ADDRESS__)
    // Kept, but off limits until handed out again.
    EXPECT_TRUE(__asan_address_is_poisoned(address));
    EXPECT_TRUE(__asan_address_is_poisoned(address + kBytes - 1));
#endif
    EXPECT_EQ(ThisThreadPixelCache().buffers, 1u);
    EXPECT_EQ(ThisThreadPixelCache().bytes, kBytes);

    // Another size does not take it.
    PixelMemory other = AllocatePixels(kBytes - 4);
    ASSERT_TRUE(other);
    EXPECT_NE(other.get(), address);
    EXPECT_EQ(ThisThreadPixelCache().buffers, 1u);

    PixelMemory b = AllocatePixels(kBytes);
    ASSERT_TRUE(b);
    EXPECT_EQ(b.get(), address);
    EXPECT_TRUE(AllZero(b.get(), kBytes));
    EXPECT_EQ(ThisThreadPixelCache().buffers, 0u);
    // The block is in use: the next one of that size is another.
    PixelMemory c = AllocatePixels(kBytes);
    ASSERT_TRUE(c);
    EXPECT_NE(c.get(), b.get());
  });
}

TEST(PixelMemory, TheCacheIsBoundedInBlocksAndBytes) {
  OnFreshThread([] {
    std::vector<PixelMemory> blocks;
    std::vector<const std::uint8_t*> addresses;
    for (std::size_t i = 0; i < kPixelCacheBuffers + 2; ++i) {
      blocks.push_back(AllocatePixels(1000));
      addresses.push_back(blocks.back().get());
    }
    blocks.clear();  // frees in order: the first ones leave the cache again
    EXPECT_EQ(ThisThreadPixelCache().buffers, kPixelCacheBuffers);
    EXPECT_EQ(ThisThreadPixelCache().bytes, kPixelCacheBuffers * 1000);
    // The newest are kept, handed out newest first, each once.
    std::vector<PixelMemory> again;
    for (std::size_t i = 0; i < kPixelCacheBuffers; ++i) {
      again.push_back(AllocatePixels(1000));
      EXPECT_EQ(again.back().get(), addresses[addresses.size() - 1 - i]);
    }
    EXPECT_EQ(ThisThreadPixelCache().buffers, 0u);
    again.clear();

    // A block larger than the byte bound is never kept; two that do not fit
    // together push out the older one.
    PixelMemory huge = AllocatePixels(kPixelCacheBytes + 1);
    ASSERT_TRUE(huge);
    huge.reset();
    EXPECT_LE(ThisThreadPixelCache().bytes, kPixelCacheBytes);
    EXPECT_EQ(ThisThreadPixelCache().buffers, kPixelCacheBuffers);
    PixelMemory big1 = AllocatePixels(kPixelCacheBytes / 2 + 1);
    PixelMemory big2 = AllocatePixels(kPixelCacheBytes / 2 + 1);
    ASSERT_TRUE(big1 && big2);
    big1.reset();
    big2.reset();
    EXPECT_EQ(ThisThreadPixelCache().buffers, 1u);
    EXPECT_EQ(ThisThreadPixelCache().bytes, kPixelCacheBytes / 2 + 1);
  });
}

TEST(PixelMemory, ABlockFreedOnAnotherThreadJoinsThatThreadsCache) {
  OnFreshThread([] {
    PixelMemory block = AllocatePixels(4096);
    ASSERT_TRUE(block);
    std::thread([&block] {
      block.reset();
      EXPECT_EQ(ThisThreadPixelCache().buffers, 1u);
    }).join();  // and is freed when that thread ends
    EXPECT_EQ(ThisThreadPixelCache().buffers, 0u);
  });
}

TEST(PixelMemory, BitmapsReuseTheMemoryOfDeletedOnesAndStartBlack) {
  OnFreshThread([] {
    HBITMAP first = CreateCompatibleBitmap(0, 64, 32);
    ASSERT_NE(first, 0u);
    BitmapBits bits = BitmapBits::OfBitmap(first);
    ASSERT_TRUE(bits);
    const std::uint8_t* address = bits.data();
    std::memset(bits.data(), 0xFF, 64 * 32 * 4);
    bits = BitmapBits();
    ASSERT_TRUE(DeleteObject(first));
    HBITMAP second = CreateCompatibleBitmap(0, 64, 32);
    ASSERT_NE(second, 0u);
    bits = BitmapBits::OfBitmap(second);
    EXPECT_EQ(bits.data(), address);
    EXPECT_TRUE(AllZero(bits.data(), 64 * 32 * 4));
    // The deleted handle stays refused though its memory lives on.
    EXPECT_FALSE(BitmapBits::OfBitmap(first));
    EXPECT_FALSE(DeleteObject(first));
    bits = BitmapBits();
    EXPECT_TRUE(DeleteObject(second));
  });
}

}  // namespace
}  // namespace qz::gdi::detail
