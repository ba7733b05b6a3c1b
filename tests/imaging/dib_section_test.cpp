#include "imaging/dib_section.h"

#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "imaging/dib_section_p.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::imaging {
namespace {

int ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

void ExpectEmpty(const cDIBSection& d) {
  EXPECT_EQ(d.hdc(), 0u);
  EXPECT_EQ(d.hDib(), 0u);
  EXPECT_EQ(d.DIBSectionBitsPtr(), nullptr);
}

// The byte at (byte column, memory row).
std::uint8_t& At(const cDIBSection& d, int column, int row) {
  return d.DIBSectionBitsPtr()[row * d.BytesPerScanLine() + column];
}

// A 32-bit picture whose pixel (x, y from the top) is x*10 | y*20 << 8 | 7 << 16.
gdi::Picture PatternPicture(int w, int h) {
  const gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(0, w, h);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(bitmap);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::uint32_t v = static_cast<std::uint32_t>(x * 10 | (y * 20) << 8 | 7 << 16);
      std::memcpy(bits.Row(y) + 4 * x, &v, 4);
    }
  return gdi::Picture(bitmap, gdi::Ownership::kOwned);
}

TEST(DibSection, ScanLinesFollowTheRoundingRule) {
  const int expected[] = {0, 4, 8, 12, 12, 16};
  for (int w = 0; w <= 5; ++w) {
    cDIBSection d;
    d.Create(w, 2);
    EXPECT_EQ(d.BytesPerScanLine(), expected[w]) << w;
    EXPECT_EQ(d.Width(), w);
  }
  cDIBSection never;
  EXPECT_EQ(never.BytesPerScanLine(), 0);
  EXPECT_EQ(never.Width(), 0);
  EXPECT_EQ(never.Height(), 0);
}

TEST(DibSection, OverflowsRaiseAndLeaveTheBufferEmpty) {
  const gdi::HandleCounts before = gdi::CountHandles();
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  // Width x 3 leaves the 32-bit range.
  EXPECT_EQ(ErrorNumberOf([&] { d.Create(0x7FFFFFFF / 3 + 1, 1); }), err::kOverflow);
  ExpectEmpty(d);
  EXPECT_EQ(d.Width(), 0x7FFFFFFF / 3 + 1);  // the header holds the new size
  EXPECT_EQ(ErrorNumberOf([&] { (void)d.BytesPerScanLine(); }), err::kOverflow);
  // Width x 3 + 3 does.
  EXPECT_EQ(ErrorNumberOf([&] { d.Create(0x7FFFFFFF / 3, 1); }), err::kOverflow);
  // Height x BytesPerScanLine does.
  EXPECT_EQ(ErrorNumberOf([&] { d.Create(1000, 0x7FFFFFFF); }), err::kOverflow);
  ExpectEmpty(d);
  EXPECT_EQ(d.Height(), 0x7FFFFFFF);
  const gdi::HandleCounts after = gdi::CountHandles();
  EXPECT_EQ(after.dcs, before.dcs);
  EXPECT_EQ(after.bitmaps, before.bitmaps);
}

TEST(DibSection, ClearUpTwiceAndFailedCreateAfterSuccess) {
  const gdi::HandleCounts before = gdi::CountHandles();
  {
    cDIBSection d;
    d.ClearUp();
    d.ClearUp();
    ExpectEmpty(d);
    ASSERT_TRUE(d.Create(6, 3));
    EXPECT_NE(d.hdc(), 0u);
    EXPECT_NE(d.hDib(), 0u);
    EXPECT_NE(d.DIBSectionBitsPtr(), nullptr);
    EXPECT_EQ(gdi::CountHandles().dcs, before.dcs + 1);
    d.ClearUp();
    d.ClearUp();
    ExpectEmpty(d);
    EXPECT_EQ(d.Width(), 6);
    EXPECT_EQ(d.Height(), 3);

    ASSERT_TRUE(d.Create(6, 3));
    EXPECT_FALSE(d.Create(10000, 10000));  // over the platform's cap
    ExpectEmpty(d);
    EXPECT_EQ(d.Width(), 10000);
    EXPECT_FALSE(d.Create(0, 0));
    ExpectEmpty(d);
    ASSERT_TRUE(d.Create(2, 2));
  }  // destruction clears up
  const gdi::HandleCounts after = gdi::CountHandles();
  EXPECT_EQ(after.dcs, before.dcs);
  EXPECT_EQ(after.bitmaps, before.bitmaps);
}

TEST(DibSection, CreateFromPictureCopiesBottomUp) {
  const gdi::Picture picture = PatternPicture(5, 3);
  cDIBSection d;
  d.CreateFromPicture(picture);
  ASSERT_NE(d.DIBSectionBitsPtr(), nullptr);
  ASSERT_EQ(d.Width(), 5);
  ASSERT_EQ(d.Height(), 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) {
      const int row = 2 - y;  // the picture's top row is the last in memory
      EXPECT_EQ(At(d, 3 * x, row), x * 10);
      EXPECT_EQ(At(d, 3 * x + 1, row), y * 20);
      EXPECT_EQ(At(d, 3 * x + 2, row), 7);
    }
  // The picture can still be used (it was selected back out of the DC).
  EXPECT_EQ(gdi::DeleteObject(picture.Handle()), gdi::TRUE);

  cDIBSection empty;
  empty.CreateFromPicture(gdi::Picture());
  ExpectEmpty(empty);
  EXPECT_EQ(empty.Width(), 0);
}

// Leaves a freed block of the given size, every byte 0xAB, in this thread's
// pixel cache: the next bitmap of that size that starts unset gets it.
void LeaveStalePixels(int width32, int height) {
  const gdi::HBITMAP stale = gdi::CreateCompatibleBitmap(0, width32, height);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(stale);
  for (int y = 0; y < height; ++y) std::memset(bits.Row(y), 0xAB, width32 * 4);
  gdi::DeleteObject(stale);
}

// The section starts unset and is overwritten by the copy: no byte of an
// earlier bitmap survives, the row padding included; when the copy cannot
// be made the section is black.
TEST(DibSection, CreateFromPictureLeavesNoEarlierPixels) {
  // 5 x 3 at 24 bits: rows of 15 bytes padded to 16, 48 bytes in all.
  const gdi::Picture picture = PatternPicture(5, 3);
  LeaveStalePixels(12, 1);
  cDIBSection d;
  d.CreateFromPicture(picture);
  ASSERT_NE(d.DIBSectionBitsPtr(), nullptr);
  for (int row = 0; row < 3; ++row) {
    EXPECT_EQ(At(d, 15, row), 0) << "padding of memory row " << row;
    for (int x = 0; x < 5; ++x) EXPECT_EQ(At(d, 3 * x + 2, row), 7) << x << "," << row;
  }

  // The picture's bitmap is held by another DC: it cannot be selected for
  // the copy.
  const gdi::HDC holder = gdi::CreateCompatibleDC(0);
  const gdi::HGDIOBJ old = gdi::SelectObject(holder, picture.Handle());
  ASSERT_NE(old, 0u);
  LeaveStalePixels(12, 1);
  cDIBSection black;
  black.CreateFromPicture(picture);
  ASSERT_NE(black.DIBSectionBitsPtr(), nullptr);
  for (int i = 0; i < 48; ++i) EXPECT_EQ(black.DIBSectionBitsPtr()[i], 0) << "byte " << i;
  gdi::SelectObject(holder, old);
  gdi::DeleteDC(holder);
}

TEST(DibSection, CreateFromPictureKeepsOnlyItsOwnHandles) {
  const gdi::Picture picture = PatternPicture(4, 3);
  const gdi::HandleCounts before = gdi::CountHandles();
  {
    cDIBSection d;
    d.CreateFromPicture(picture);
    d.CreateFromPicture(picture);  // recreated: the first section is gone
    ASSERT_NE(d.DIBSectionBitsPtr(), nullptr);
    const gdi::HandleCounts during = gdi::CountHandles();
    EXPECT_EQ(during.dcs, before.dcs + 1);  // its own; the screen's and the second are gone
    EXPECT_EQ(during.bitmaps, before.bitmaps + 1);
    // The picture's bitmap left the second context: it can be selected again.
    const gdi::HDC dc = gdi::CreateCompatibleDC(0);
    const gdi::HGDIOBJ old = gdi::SelectObject(dc, picture.Handle());
    EXPECT_NE(old, 0u);
    gdi::SelectObject(dc, old);
    gdi::DeleteDC(dc);
  }
  const gdi::HandleCounts after = gdi::CountHandles();
  EXPECT_EQ(after.dcs, before.dcs);
  EXPECT_EQ(after.bitmaps, before.bitmaps);
}

TEST(DibSection, TransfersUseTheWholeBufferForNegativeSizes) {
  const gdi::Picture picture = PatternPicture(4, 4);
  const gdi::HDC dc = gdi::CreateCompatibleDC(0);
  const gdi::HGDIOBJ old = gdi::SelectObject(dc, picture.Handle());
  cDIBSection d;
  ASSERT_TRUE(d.Create(4, 4));
  d.LoadPictureBlt(dc, 0, 0, 0, 0);  // nothing copied
  EXPECT_EQ(At(d, 3, 3), 0);
  d.LoadPictureBlt(dc, 1, 0, -5, -1);  // from column 1, the whole buffer's size
  EXPECT_EQ(At(d, 0, 3), 10);          // picture (1, 0) at the top-left
  EXPECT_EQ(At(d, 3 * 3, 3), 0);       // nothing beyond the picture's edge

  const gdi::HBITMAP target = gdi::CreateCompatibleBitmap(0, 4, 4);
  gdi::SelectObject(dc, target);
  d.PaintPicture(dc, 1, 1);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(target);
  EXPECT_EQ(bits.Row(1)[4], 10);  // (1, 1) holds the buffer's top-left
  EXPECT_EQ(bits.Row(0)[4], 0);
  // A width of 0 paints nothing; any negative height is the buffer's.
  std::memset(bits.Row(3), 0x55, 16);
  d.PaintPicture(dc, 0, 3, 0, -1);
  EXPECT_EQ(bits.Row(3)[0], 0x55);
  d.PaintPicture(dc, 0, 0, 1, -7);
  EXPECT_EQ(bits.Row(3)[0], 10);  // the buffer's (0, 3): the picture's (1, 3)
  EXPECT_EQ(bits.Row(3)[1], 60);
  EXPECT_EQ(bits.Row(3)[4], 0x55);  // one column only
  gdi::SelectObject(dc, old);
  gdi::DeleteObject(target);
  gdi::DeleteDC(dc);
}

TEST(DibSection, CopyToClipboard) {
  cDIBSection d;
  d.CreateFromPicture(PatternPicture(3, 2));
  ASSERT_TRUE(d.CopyToClipboard(ClipboardAs::kBitmap));
  ASSERT_EQ(gdi::OpenClipboard(0), gdi::TRUE);
  const gdi::HANDLE held = gdi::GetClipboardData(gdi::CF_BITMAP);
  const gdi::BitmapBits bits = gdi::BitmapBits::OfBitmap(held);
  ASSERT_TRUE(bits);
  EXPECT_EQ(bits.width(), 3);
  EXPECT_EQ(bits.Row(1)[4], 10);
  EXPECT_EQ(bits.Row(1)[5], 20);
  gdi::CloseClipboard();

  testing::internal::CaptureStderr();
  EXPECT_FALSE(d.CopyToClipboard(ClipboardAs::kDib));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!\n");
  ASSERT_EQ(gdi::OpenClipboard(0), gdi::TRUE);
  EXPECT_EQ(gdi::GetClipboardData(gdi::CF_BITMAP), held);  // untouched
  gdi::EmptyClipboard();
  gdi::CloseClipboard();
}

TEST(DibSection, CopyToClipboardReleasesWhatTheClipboardRefused) {
  cDIBSection d;
  d.CreateFromPicture(PatternPicture(3, 2));
  const gdi::HandleCounts before = gdi::CountHandles();
  // Another thread holds the clipboard open.
  std::promise<void> opened, done;
  std::thread holder([&] {
    gdi::OpenClipboard(0);
    opened.set_value();
    done.get_future().wait();
    gdi::CloseClipboard();
  });
  opened.get_future().wait();
  EXPECT_FALSE(d.CopyToClipboard(ClipboardAs::kBitmap));
  done.set_value();
  holder.join();
  const gdi::HandleCounts after = gdi::CountHandles();
  EXPECT_EQ(after.dcs, before.dcs);
  EXPECT_EQ(after.bitmaps, before.bitmaps);

  cDIBSection never;  // a 0 x 0 bitmap cannot be made: false, nothing left
  EXPECT_FALSE(never.CopyToClipboard(ClipboardAs::kBitmap));
  EXPECT_EQ(gdi::CountHandles().dcs, before.dcs);
}

TEST(DibSection, RandomiseBitsGreyAndColour) {
  cDIBSection d;
  ASSERT_TRUE(d.Create(33, 9));  // 99 bytes of pixels, 1 pad byte per row
  std::memset(d.DIBSectionBitsPtr(), 0xAA, static_cast<std::size_t>(d.BytesPerScanLine()) * 9);
  d.RandomiseBits(NoiseKind::kGray);
  std::set<int> values;
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 33; ++x) {
      EXPECT_EQ(At(d, 3 * x, y), At(d, 3 * x + 1, y));
      EXPECT_EQ(At(d, 3 * x, y), At(d, 3 * x + 2, y));
      values.insert(At(d, 3 * x, y));
    }
    EXPECT_EQ(At(d, 99, y), 0xAA);  // padding never written
  }
  EXPECT_GT(values.size(), 50u);

  d.RandomiseBits(NoiseKind::kColour);
  std::set<int> greens, reds;
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 33; ++x) {
      EXPECT_EQ(At(d, 3 * x, y), 0);
      greens.insert(At(d, 3 * x + 1, y));
      reds.insert(At(d, 3 * x + 2, y));
    }
    EXPECT_EQ(At(d, 99, y), 0xAA);
  }
  EXPECT_GT(greens.size(), 50u);
  EXPECT_GT(reds.size(), 50u);

  cDIBSection never;
  never.RandomiseBits(NoiseKind::kGray);  // nothing to visit
  cDIBSection failed;
  EXPECT_FALSE(failed.Create(10000, 10000));
  EXPECT_EQ(ErrorNumberOf([&] { failed.RandomiseBits(NoiseKind::kColour); }),
            err::kObjectVariableNotSet);
}

std::vector<std::uint8_t> Bytes(const cDIBSection& d) {
  const std::uint8_t* p = d.DIBSectionBitsPtr();
  return {p, p + static_cast<std::ptrdiff_t>(d.BytesPerScanLine()) * d.Height()};
}

// What RandomiseBits must leave when seeded with seconds: before holds the
// bytes it started from (the padding stays as it was).
std::vector<std::uint8_t> ExpectedNoise(const cDIBSection& d, std::vector<std::uint8_t> before,
                                        float seconds, NoiseKind kind) {
  detail::NoiseGenerator generator(seconds);
  auto draw = [&] {
    return static_cast<std::uint8_t>(RoundHalfEven(static_cast<double>(generator.Next()) * 255));
  };
  const int stride = d.BytesPerScanLine();
  auto at = [&](int column, int row) -> std::uint8_t& { return before[row * stride + column]; };
  if (kind == NoiseKind::kGray) {
    for (int y = 0; y < d.Height(); ++y)  // rows in memory order, one draw a pixel
      for (int x = 0; x < d.Width(); ++x)
        at(3 * x, y) = at(3 * x + 1, y) = at(3 * x + 2, y) = draw();
  } else {
    for (int x = 0; x < d.Width(); ++x)  // column by column, bottom to top
      for (int y = 0; y < d.Height(); ++y) {
        at(3 * x, y) = 0;
        at(3 * x + 1, y) = draw();  // green first
        at(3 * x + 2, y) = draw();
      }
  }
  return before;
}

// Runs RandomiseBits and answers whether its result is the noise of one of
// the times of day (as singles) that passed during the call.
bool DrawsFromTheTimeOfDay(cDIBSection& d, NoiseKind kind) {
  const std::vector<std::uint8_t> before = Bytes(d);
  const float t0 = detail::SecondsSinceMidnight();
  d.RandomiseBits(kind);
  const float t1 = detail::SecondsSinceMidnight();
  const std::vector<std::uint8_t> after = Bytes(d);
  if (t1 < t0) return true;  // midnight passed: no bracket to search
  for (auto bits = std::bit_cast<std::uint32_t>(t0); bits <= std::bit_cast<std::uint32_t>(t1);
       ++bits)
    if (ExpectedNoise(d, before, std::bit_cast<float>(bits), kind) == after) return true;
  return false;
}

TEST(DibSection, RandomiseBitsReseedsFromTheLocalTimeOfDayAndDrawsInOrder) {
  // Seconds since local midnight: in a zone five hours ahead of UTC.
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz != nullptr ? old_tz : "";
  setenv("TZ", "QZT-5", 1);
  tzset();
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const double expected = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  const double seconds = detail::SecondsSinceMidnight();
  if (old_tz != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
  const double gap = std::fabs(seconds - expected);
  EXPECT_TRUE(gap < 2 || gap > 86400 - 2) << seconds << " against " << expected;

  cDIBSection d;
  ASSERT_TRUE(d.Create(5, 3));  // one pad byte a row
  std::memset(d.DIBSectionBitsPtr(), 0xAA, static_cast<std::size_t>(d.BytesPerScanLine()) * 3);
  EXPECT_TRUE(DrawsFromTheTimeOfDay(d, NoiseKind::kGray));
  // Every call reseeds: the second call does not go on with the first's
  // sequence.
  EXPECT_TRUE(DrawsFromTheTimeOfDay(d, NoiseKind::kGray));
  EXPECT_TRUE(DrawsFromTheTimeOfDay(d, NoiseKind::kColour));
  EXPECT_TRUE(DrawsFromTheTimeOfDay(d, NoiseKind::kColour));
}

TEST(DibSection, ResampleHalfwayRoundsToEven) {
  cDIBSection src;
  ASSERT_TRUE(src.Create(2, 2));
  // Memory row 0: blue 10 / 11, green 11 / 12, red 0 / 200.
  const std::uint8_t row0[6] = {10, 11, 0, 11, 12, 200};
  const std::uint8_t row1[6] = {30, 40, 50, 60, 70, 80};
  std::memcpy(&At(src, 0, 0), row0, 6);
  std::memcpy(&At(src, 0, 1), row1, 6);
  const auto dst = src.Resample(4, 4);
  ASSERT_NE(dst, nullptr);
  EXPECT_EQ(dst->Width(), 4);
  EXPECT_EQ(dst->Height(), 4);
  // Column 0, row 0 maps onto source (0, 0) exactly.
  EXPECT_EQ(At(*dst, 0, 0), 10);
  EXPECT_EQ(At(*dst, 1, 0), 11);
  EXPECT_EQ(At(*dst, 2, 0), 0);
  // Column 2 lies halfway: 10.5 -> 10, 11.5 -> 12, 100 stays.
  EXPECT_EQ(At(*dst, 6, 0), 10);
  EXPECT_EQ(At(*dst, 7, 0), 12);
  EXPECT_EQ(At(*dst, 8, 0), 100);
  // Column 1 at a quarter: 10.25 -> 10, 11.25 -> 11, 50.
  EXPECT_EQ(At(*dst, 3, 0), 10);
  EXPECT_EQ(At(*dst, 4, 0), 11);
  EXPECT_EQ(At(*dst, 5, 0), 50);
  // Row 2, column 0 lies halfway between the rows: (10 + 30) / 2 = 20,
  // (11 + 40) / 2 = 25.5 -> 26, (0 + 50) / 2 = 25.
  EXPECT_EQ(At(*dst, 0, 2), 20);
  EXPECT_EQ(At(*dst, 1, 2), 26);
  EXPECT_EQ(At(*dst, 2, 2), 25);
  // The vertical step is rounded before the horizontal one: row 2, column 2
  // blends v(col 0) = (20, 26, 25) and v(col 1) = (35.5 -> 36, 41, 140):
  // 28, 33.5 -> 34 (33.25 -> 33 without the first rounding), 82.5 -> 82.
  EXPECT_EQ(At(*dst, 6, 2), 28);
  EXPECT_EQ(At(*dst, 7, 2), 34);
  EXPECT_EQ(At(*dst, 8, 2), 82);
}

TEST(DibSection, ResampleToTheSameSizeIsAnExactCopyAndEdgesRaise) {
  cDIBSection src;
  ASSERT_TRUE(src.Create(7, 5));
  src.RandomiseBits(NoiseKind::kColour);
  const auto copy = src.Resample(5, 7);  // height first
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->Width(), 7);
  EXPECT_EQ(copy->Height(), 5);
  for (int y = 0; y < 5; ++y)
    for (int c = 0; c < 21; ++c) ASSERT_EQ(At(*copy, c, y), At(src, c, y));
  EXPECT_NE(copy->DIBSectionBitsPtr(), src.DIBSectionBitsPtr());

  const gdi::HandleCounts before = gdi::CountHandles();
  cDIBSection narrow;
  ASSERT_TRUE(narrow.Create(1, 4));
  EXPECT_EQ(ErrorNumberOf([&] { narrow.Resample(8, 8); }), err::kSubscriptOutOfRange);
  cDIBSection flat;
  ASSERT_TRUE(flat.Create(4, 1));
  EXPECT_EQ(ErrorNumberOf([&] { flat.Resample(8, 8); }), err::kSubscriptOutOfRange);
  cDIBSection never;
  EXPECT_EQ(ErrorNumberOf([&] { never.Resample(3, 3); }), err::kSubscriptOutOfRange);
  cDIBSection failed;
  EXPECT_FALSE(failed.Create(10000, 10000));
  EXPECT_EQ(ErrorNumberOf([&] { failed.Resample(3, 3); }), err::kObjectVariableNotSet);
  // The half-made targets were released.
  EXPECT_EQ(gdi::CountHandles().dcs, before.dcs + 2);  // narrow and flat
  EXPECT_EQ(src.Resample(0, 5), nullptr);              // cannot be created
  // A size left by a failed creation at the bottom of the range: Width - 1
  // overflows before any pixel is read.
  cDIBSection lowest;
  EXPECT_EQ(ErrorNumberOf([&] { lowest.Create(INT32_MIN, 2); }), err::kOverflow);
  EXPECT_EQ(ErrorNumberOf([&] { lowest.Resample(3, 3); }), err::kOverflow);
  EXPECT_EQ(gdi::CountHandles().dcs, before.dcs + 2);
}

}  // namespace
}  // namespace qz::imaging
