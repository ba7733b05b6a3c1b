#include "platform/gdi/gdi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/gdi/cairo_dc.h"

namespace qz::gdi {
namespace {

// A memory DC with a new bitmap selected; the DC and the bitmap are deleted
// at the end of the test.
struct Surface {
  HDC dc = 0;
  HBITMAP bitmap = 0;
  HGDIOBJ old = 0;
  Surface(int w, int h, int bits, bool bottom_up = true) {
    dc = CreateCompatibleDC(0);
    if (bits == 32 && !bottom_up) {
      bitmap = CreateCompatibleBitmap(0, w, h);
    } else {
      BITMAPINFO info{};
      info.bmiHeader.biSize = 40;
      info.bmiHeader.biWidth = w;
      info.bmiHeader.biHeight = bottom_up ? h : -h;
      info.bmiHeader.biPlanes = 1;
      info.bmiHeader.biBitCount = static_cast<WORD>(bits);
      void* p = nullptr;
      bitmap = CreateDIBSection(0, &info, DIB_RGB_COLORS, &p, 0, 0);
    }
    old = SelectObject(dc, bitmap);
  }
  ~Surface() {
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
  }
  BitmapBits bits() const { return BitmapBits::OfBitmap(bitmap); }
  std::uint32_t Get(int x, int y) const {
    const auto b = bits();
    const std::uint8_t* p = b.Row(y) + x * (b.bits_per_pixel() / 8);
    return p[0] | p[1] << 8 | p[2] << 16;
  }
  void Set(int x, int y, std::uint32_t v) const {
    const auto b = bits();
    std::uint8_t* p = b.Row(y) + x * (b.bits_per_pixel() / 8);
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
  }
  void Pattern(std::uint32_t seed) const {
    const auto b = bits();
    for (int y = 0; y < b.height(); ++y)
      for (int x = 0; x < b.width(); ++x)
        Set(x, y, ((x * 37 + y * 101 + seed) * 2654435761u) & 0xFFFFFFu);
  }
};

TEST(GdiHandles, ZeroStaleAndWrongKindAreRefused) {
  const HandleCounts before = CountHandles();
  const HDC dc = CreateCompatibleDC(0);
  const HBITMAP bitmap = CreateCompatibleBitmap(0, 8, 4);
  ASSERT_NE(dc, 0u);
  ASSERT_NE(bitmap, 0u);

  // Wrong kinds.
  EXPECT_EQ(DeleteObject(dc), FALSE);
  EXPECT_EQ(DeleteDC(bitmap), FALSE);
  EXPECT_EQ(SelectObject(bitmap, dc), 0u);
  EXPECT_EQ(SelectObject(dc, dc), 0u);
  BITMAP bm{};
  bm.bmWidth = 77;
  EXPECT_EQ(GetObjectA(dc, sizeof bm, &bm), 0);
  EXPECT_EQ(bm.bmWidth, 77);  // nothing written
  EXPECT_EQ(SendMessageA(bitmap, WM_PAINT, dc, 0), 0);
  EXPECT_EQ(DestroyWindow(dc), FALSE);

  // Zero.
  EXPECT_EQ(DeleteObject(0), FALSE);
  EXPECT_EQ(DeleteDC(0), FALSE);
  EXPECT_EQ(GetObjectA(0, sizeof bm, &bm), 0);
  EXPECT_EQ(BitBlt(0, 0, 0, 1, 1, dc, 0, 0, SRCCOPY), FALSE);

  // Selected bitmaps cannot be deleted or selected twice.
  const HGDIOBJ stock = SelectObject(dc, bitmap);
  ASSERT_NE(stock, 0u);
  EXPECT_EQ(DeleteObject(bitmap), FALSE);
  const HDC other = CreateCompatibleDC(dc);
  EXPECT_EQ(SelectObject(other, bitmap), 0u);
  EXPECT_EQ(DeleteObject(stock), FALSE);  // the stock bitmap stays
  EXPECT_EQ(SelectObject(dc, stock), bitmap);
  EXPECT_EQ(DeleteObject(bitmap), TRUE);

  // Stale.
  EXPECT_EQ(DeleteObject(bitmap), FALSE);
  EXPECT_EQ(GetObjectA(bitmap, sizeof bm, &bm), 0);
  EXPECT_EQ(SelectObject(dc, bitmap), 0u);
  EXPECT_EQ(DeleteDC(dc), TRUE);
  EXPECT_EQ(DeleteDC(dc), FALSE);
  EXPECT_EQ(BitBlt(dc, 0, 0, 1, 1, other, 0, 0, SRCCOPY), FALSE);
  EXPECT_EQ(GetDeviceCaps(dc, BITSPIXEL), 0);
  EXPECT_EQ(DeleteDC(other), TRUE);

  const HandleCounts after = CountHandles();
  EXPECT_EQ(after.dcs, before.dcs);
  EXPECT_EQ(after.bitmaps, before.bitmaps);
}

TEST(GdiHandles, ScreenContextAndCaps) {
  const HWND desktop = GetDesktopWindow();
  const HDC screen = GetDC(desktop);
  ASSERT_NE(screen, 0u);
  EXPECT_EQ(GetDeviceCaps(screen, BITSPIXEL), 32);
  EXPECT_EQ(GetDeviceCaps(screen, LOGPIXELSX), 96);
  EXPECT_EQ(GetDeviceCaps(screen, LOGPIXELSY), 96);
  // The screen has no pixels here: no transfers, no Cairo.
  Surface s(4, 4, 32, false);
  EXPECT_EQ(BitBlt(screen, 0, 0, 4, 4, s.dc, 0, 0, SRCCOPY), FALSE);
  EXPECT_FALSE(CairoDC(screen));
  EXPECT_EQ(DeleteDC(screen), FALSE);  // released, not deleted
  EXPECT_EQ(ReleaseDC(desktop, screen), 1);
  EXPECT_EQ(ReleaseDC(desktop, screen), 0);
  EXPECT_EQ(GetDC(s.bitmap), 0u);
}

TEST(GdiBitmaps, DibSectionHeadersAndLimitsAreChecked) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = 40;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = reinterpret_cast<void*>(1);
  auto make = [&](LONG w, LONG h) {
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;
    return CreateDIBSection(0, &info, DIB_RGB_COLORS, &bits, 0, 0);
  };
  EXPECT_EQ(make(0, 0), 0u);
  EXPECT_EQ(bits, nullptr);
  EXPECT_EQ(make(-3, 3), 0u);
  EXPECT_EQ(make(3, 0), 0u);
  EXPECT_EQ(make(10000, 10000), 0u);  // 100 megapixels: over the cap
  EXPECT_EQ(make(0x7FFFFFFF, 0x7FFFFFFF), 0u);
  EXPECT_EQ(CreateCompatibleBitmap(0, 70000, 1000), 0u);
  EXPECT_EQ(CreateCompatibleBitmap(0, -1, 5), 0u);
  EXPECT_EQ(CreateDIBSection(0, nullptr, DIB_RGB_COLORS, &bits, 0, 0), 0u);
  info.bmiHeader.biBitCount = 8;
  EXPECT_EQ(make(4, 4), 0u);
  info.bmiHeader.biBitCount = 24;

  const HBITMAP dib = make(5, 3);
  ASSERT_NE(dib, 0u);
  ASSERT_NE(bits, nullptr);
  // 24 bytes asked: every field but the pointer; the rest stays untouched.
  unsigned char record[sizeof(BITMAP)];
  std::memset(record, 0xAB, sizeof record);
  EXPECT_EQ(GetObjectA(dib, 24, record), 24);
  BITMAP bm{};
  std::memcpy(&bm, record, 24);
  EXPECT_EQ(bm.bmWidth, 5);
  EXPECT_EQ(bm.bmHeight, 3);
  EXPECT_EQ(bm.bmWidthBytes, 16);
  EXPECT_EQ(bm.bmBitsPixel, 24);
  EXPECT_EQ(bm.bmPlanes, 1);
  for (std::size_t i = 24; i < sizeof record; ++i) EXPECT_EQ(record[i], 0xAB);
  EXPECT_EQ(GetObjectA(dib, sizeof bm, &bm), static_cast<int>(sizeof bm));
  EXPECT_EQ(bm.bmBits, bits);
  // Zero-filled memory.
  const auto* p = static_cast<const unsigned char*>(bits);
  for (int i = 0; i < 48; ++i) EXPECT_EQ(p[i], 0);
  EXPECT_EQ(DeleteObject(dib), TRUE);
}

// Reference model of a transfer: pixel by pixel, clipped at both surfaces
// (at the target alone when the operation reads no source).
std::uint32_t ModelRop(DWORD rop, std::uint32_t s, std::uint32_t d) {
  std::uint32_t r = 0;
  switch (rop) {
    case SRCCOPY:
      r = s;
      break;
    case SRCPAINT:
      r = s | d;
      break;
    case SRCAND:
      r = s & d;
      break;
    case SRCINVERT:
      r = s ^ d;
      break;
    case SRCERASE:
      r = s & ~d;
      break;
    case NOTSRCCOPY:
      r = ~s;
      break;
    case NOTSRCERASE:
      r = ~(s | d);
      break;
    case MERGEPAINT:
      r = ~s | d;
      break;
    case DSTINVERT:
      r = ~d;
      break;
    case BLACKNESS:
      r = 0;
      break;
    case WHITENESS:
      r = 0xFFFFFF;
      break;
    case MERGECOPY:
      r = s;
      break;  // pattern is white
    case PATCOPY:
      r = 0xFFFFFF;
      break;
    default:
      ADD_FAILURE() << "no model for " << rop;
  }
  return r & 0xFFFFFF;
}

void ExpectBlitMatchesModel(int dst_bits, bool dst_up, int src_bits, bool src_up, DWORD rop, int x,
                            int y, int cx, int cy, int x1, int y1) {
  Surface dst(7, 5, dst_bits, dst_up);
  Surface src(6, 4, src_bits, src_up);
  dst.Pattern(1);
  src.Pattern(2);
  std::vector<std::uint32_t> expected(7 * 5);
  for (int j = 0; j < 5; ++j)
    for (int i = 0; i < 7; ++i) expected[j * 7 + i] = dst.Get(i, j);
  for (int j = 0; j < cy; ++j) {
    for (int i = 0; i < cx; ++i) {
      const int dx = x + i, dy = y + j, sx = x1 + i, sy = y1 + j;
      if (dx < 0 || dy < 0 || dx >= 7 || dy >= 5) continue;
      const bool no_source =
          rop == DSTINVERT || rop == BLACKNESS || rop == WHITENESS || rop == PATCOPY;
      const bool inside_source = sx >= 0 && sy >= 0 && sx < 6 && sy < 4;
      if (!inside_source && !no_source) continue;
      expected[dy * 7 + dx] =
          ModelRop(rop, inside_source ? src.Get(sx, sy) : 0, expected[dy * 7 + dx]);
    }
  }
  EXPECT_EQ(BitBlt(dst.dc, x, y, cx, cy, src.dc, x1, y1, rop), TRUE);
  for (int j = 0; j < 5; ++j)
    for (int i = 0; i < 7; ++i)
      ASSERT_EQ(dst.Get(i, j), expected[j * 7 + i])
          << "pixel " << i << "," << j << " rop " << std::hex << rop << std::dec << " dst "
          << dst_bits << " src " << src_bits << " at " << x << "," << y << " from " << x1 << ","
          << y1 << " size " << cx << "x" << cy;
}

TEST(GdiBitBlt, ClipsAtBothEdgesAndAppliesRasterOperations) {
  const DWORD rops[] = {SRCCOPY,    SRCPAINT,    SRCAND,     SRCINVERT, SRCERASE,
                        NOTSRCCOPY, NOTSRCERASE, MERGEPAINT, DSTINVERT, BLACKNESS,
                        WHITENESS,  MERGECOPY,   PATCOPY};
  struct Placement {
    int x, y, cx, cy, x1, y1;
  };
  const Placement placements[] = {{0, 0, 6, 4, 0, 0},    {-2, -1, 6, 4, 0, 0}, {3, 2, 10, 10, 0, 0},
                                  {1, 1, 4, 3, -2, -1},  {0, 0, 7, 5, 3, 2},   {5, 4, 3, 3, 4, 3},
                                  {-100, 0, 3, 3, 0, 0}, {0, 0, 0, 3, 0, 0},   {2, 1, 3, 2, 1, 1}};
  const struct {
    int dst_bits;
    bool dst_up;
    int src_bits;
    bool src_up;
  } formats[] = {{24, true, 32, false},
                 {32, false, 24, true},
                 {24, true, 24, false},
                 {32, false, 32, false},
                 {24, false, 24, true}};
  for (const auto& f : formats)
    for (const DWORD rop : rops)
      for (const auto& p : placements)
        ExpectBlitMatchesModel(f.dst_bits, f.dst_up, f.src_bits, f.src_up, rop, p.x, p.y, p.cx,
                               p.cy, p.x1, p.y1);
}

TEST(GdiBitBlt, ExtremeArgumentsAndOverlapWithinOneBitmap) {
  Surface a(9, 3, 32, false);
  a.Pattern(5);
  EXPECT_EQ(
      BitBlt(a.dc, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, 0x7FFFFFFF, a.dc, -0x7FFFFFFF, 0, SRCCOPY),
      TRUE);
  EXPECT_EQ(BitBlt(a.dc, 0, 0, -1, 3, a.dc, 0, 0, SRCCOPY), FALSE);
  // Shift right by one pixel within the same bitmap: like a copy from a
  // snapshot, not a smear.
  std::vector<std::uint32_t> before;
  for (int x = 0; x < 9; ++x) before.push_back(a.Get(x, 1));
  EXPECT_EQ(BitBlt(a.dc, 1, 0, 9, 3, a.dc, 0, 0, SRCCOPY), TRUE);
  for (int x = 1; x < 9; ++x) EXPECT_EQ(a.Get(x, 1), before[x - 1]);
  EXPECT_EQ(a.Get(0, 1), before[0]);
  // Operations without a source need none.
  EXPECT_EQ(BitBlt(a.dc, 0, 0, 9, 3, 0, 0, 0, BLACKNESS), TRUE);
  EXPECT_EQ(a.Get(4, 2), 0u);
  EXPECT_EQ(BitBlt(a.dc, 0, 0, 9, 3, 0, 0, 0, SRCCOPY), FALSE);
}

TEST(GdiBitBlt, WidePictureConvertsEveryPixelBothWays) {
  // Widths around the four- and sixteen-pixel steps of the fast paths.
  for (int w : {1, 3, 4, 5, 8, 13, 16, 17, 35, 576}) {
    Surface s32(w, 3, 32, false), s24(w, 3, 24, true), back(w, 3, 32, false);
    s32.Pattern(static_cast<std::uint32_t>(w));
    ASSERT_EQ(BitBlt(s24.dc, 0, 0, w, 3, s32.dc, 0, 0, SRCCOPY), TRUE);
    ASSERT_EQ(BitBlt(back.dc, 0, 0, w, 3, s24.dc, 0, 0, SRCCOPY), TRUE);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < w; ++x) {
        ASSERT_EQ(s24.Get(x, y), s32.Get(x, y)) << w << ": " << x << "," << y;
        ASSERT_EQ(back.Get(x, y), s32.Get(x, y));
      }
    // Padding bytes of the 24-bit rows are not written.
    const auto b = s24.bits();
    for (int y = 0; y < 3; ++y)
      for (int k = w * 3; k < b.stride(); ++k) EXPECT_EQ(b.Row(y)[k], 0);
  }
}

TEST(GdiWindows, PaintMessageCallsTheOwnerSynchronously) {
  std::vector<HDC> painted;
  const HWND window = CreatePaintWindow([&](HDC dc) { painted.push_back(dc); });
  ASSERT_NE(window, 0u);
  EXPECT_EQ(IsWindow(window), TRUE);
  Surface s(4, 4, 32, false);
  std::int32_t zero = 0;
  EXPECT_EQ(SendMessageA(window, WM_PAINT, s.dc, reinterpret_cast<LPARAM>(&zero)), 0);
  ASSERT_EQ(painted.size(), 1u);
  EXPECT_EQ(painted[0], s.dc);
  SendMessageA(window, 16, s.dc, 0);  // not a paint message
  EXPECT_EQ(painted.size(), 1u);
  EXPECT_EQ(DestroyWindow(window), TRUE);
  EXPECT_EQ(IsWindow(window), FALSE);
  SendMessageA(window, WM_PAINT, s.dc, 0);
  EXPECT_EQ(painted.size(), 1u);
  EXPECT_EQ(DestroyWindow(window), FALSE);
  EXPECT_EQ(DestroyWindow(GetDesktopWindow()), FALSE);
}

TEST(GdiWindows, PaintCallbackMayUseGdiAndThrow) {
  const HWND window = CreatePaintWindow([](HDC dc) {
    CairoDC cairo(dc);
    if (!cairo) throw std::runtime_error("no surface");
    cairo_set_source_rgb(cairo.get(), 1.0, 0.0, 0.0);
    cairo_rectangle(cairo.get(), 1, 1, 2, 1);
    cairo_fill(cairo.get());
  });
  Surface s(4, 3, 32, false);
  SendMessageA(window, WM_PAINT, s.dc, 0);
  EXPECT_EQ(s.Get(1, 1), 0xFF0000u);
  EXPECT_EQ(s.Get(2, 1), 0xFF0000u);
  EXPECT_EQ(s.Get(3, 1), 0u);
  EXPECT_EQ(s.Get(1, 0), 0u);
  Surface dib(4, 3, 24, true);
  EXPECT_THROW(SendMessageA(window, WM_PAINT, dib.dc, 0), std::runtime_error);
  DestroyWindow(window);
}

TEST(GdiCairo, DrawsIntoTheSelectedBitmapAndKeepsItAlive) {
  const HDC dc = CreateCompatibleDC(0);
  EXPECT_FALSE(CairoDC(dc));  // only the stock bitmap
  const HBITMAP bitmap = CreateCompatibleBitmap(dc, 5, 5);
  const HGDIOBJ old = SelectObject(dc, bitmap);
  {
    CairoDC cairo(dc);
    ASSERT_TRUE(cairo);
    EXPECT_EQ(cairo.width(), 5);
    CairoDC moved = std::move(cairo);
    EXPECT_FALSE(cairo);  // NOLINT(bugprone-use-after-move): the moved-from owner is empty
    SelectObject(dc, old);
    EXPECT_EQ(DeleteObject(bitmap), TRUE);  // the owner keeps the pixels alive
    cairo_set_source_rgb(moved.get(), 0.0, 0.0, 1.0);
    cairo_paint(moved.get());
  }
  EXPECT_EQ(CairoDC(dc).get() == nullptr, true);
  DeleteDC(dc);
}

TEST(GdiClipboard, OwnsWhatItIsGivenAndIsOpenedByOneThreadAtATime) {
  const HandleCounts before = CountHandles();
  const HBITMAP bitmap = CreateCompatibleBitmap(0, 3, 3);
  EXPECT_EQ(SetClipboardData(CF_BITMAP, bitmap), 0u);  // not open
  ASSERT_EQ(OpenClipboard(0), TRUE);
  BOOL other_thread_opened = TRUE;
  std::thread([&] { other_thread_opened = OpenClipboard(0); }).join();
  EXPECT_EQ(other_thread_opened, FALSE);
  EXPECT_EQ(EmptyClipboard(), TRUE);
  EXPECT_EQ(SetClipboardData(CF_BITMAP, bitmap), bitmap);
  EXPECT_EQ(GetClipboardData(CF_BITMAP), bitmap);
  EXPECT_EQ(DeleteObject(bitmap), FALSE);  // the clipboard owns it
  const HDC dc = CreateCompatibleDC(0);
  EXPECT_EQ(SelectObject(dc, bitmap), 0u);
  DeleteDC(dc);
  EXPECT_EQ(CloseClipboard(), TRUE);
  EXPECT_EQ(CloseClipboard(), FALSE);
  ASSERT_EQ(OpenClipboard(0), TRUE);
  EXPECT_EQ(EmptyClipboard(), TRUE);
  EXPECT_EQ(GetObjectA(bitmap, 0, nullptr), 0);
  BITMAP bm{};
  EXPECT_EQ(GetObjectA(bitmap, sizeof bm, &bm), 0);  // deleted by EmptyClipboard
  EXPECT_EQ(CloseClipboard(), TRUE);
  EXPECT_EQ(CountHandles().bitmaps, before.bitmaps);
}

TEST(GdiMessageBox, WritesToStandardErrorAndAnswersOk) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(MessageBoxA(0, "Copy as bitmap", nullptr, MB_OK), IDOK);
  EXPECT_EQ(MessageBoxA(0, "text", "Title", MB_OK), IDOK);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Copy as bitmap\nTitle: text\n");
}

TEST(GdiThreads, ConcurrentUseKeepsTheTableConsistent) {
  const HandleCounts before = CountHandles();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        Surface a(16, 8, 32, false), b(16, 8, 24, true);
        a.Pattern(static_cast<std::uint32_t>(t * 1000 + i));
        if (BitBlt(b.dc, 0, 0, 16, 8, a.dc, 0, 0, SRCCOPY) != TRUE) ++failures;
        if (b.Get(15, 7) != a.Get(15, 7)) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  const HandleCounts after = CountHandles();
  EXPECT_EQ(after.dcs, before.dcs);
  EXPECT_EQ(after.bitmaps, before.bitmaps);
}

}  // namespace
}  // namespace qz::gdi
