#include "imaging/dib_section.h"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "imaging/dib_section_p.h"

#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::imaging {

namespace {

std::int32_t CheckedI32(std::int64_t v) {
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    Raise(err::kOverflow);
  return static_cast<std::int32_t>(v);
}

std::int32_t RoundToI32(double v) {
  const double r = RoundHalfEven(v);
  if (!(r >= std::numeric_limits<std::int32_t>::min() &&
        r <= std::numeric_limits<std::int32_t>::max()))
    Raise(err::kOverflow);
  return static_cast<std::int32_t>(r);
}

// A floating-point division stored as a single; by 0 it fails as such a
// division does: 0 / 0 overflows, anything else divides by zero.
float Scale(std::int32_t numerator, std::int32_t denominator) {
  if (denominator == 0) Raise(numerator == 0 ? err::kOverflow : err::kDivisionByZero);
  return static_cast<float>(static_cast<double>(numerator) / denominator);
}

// The pixel memory as a grid of (byte column, memory row), checked on
// every access.
class ByteGrid {
 public:
  ByteGrid(std::uint8_t* bits, std::int32_t stride, std::int32_t rows)
      : bits_(bits), stride_(stride), rows_(rows) {}
  std::uint8_t& At(std::int32_t column, std::int32_t row) const {
    if (column < 0 || column >= stride_ || row < 0 || row >= rows_)
      Raise(err::kSubscriptOutOfRange);
    if (bits_ == nullptr) Raise(err::kObjectVariableNotSet);
    return bits_[static_cast<std::ptrdiff_t>(row) * stride_ + column];
  }

 private:
  std::uint8_t* bits_;
  std::int32_t stride_;
  std::int32_t rows_;
};

}  // namespace

namespace detail {

float SecondsSinceMidnight() {
  // The clock on the wall: local midnight, not UTC's.
  const auto now = std::chrono::system_clock::now();
  const std::time_t whole = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&whole, &local);
  const auto fraction = now - std::chrono::system_clock::from_time_t(whole);
  const double seconds = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec +
                         std::chrono::duration<double>(fraction).count();
  return static_cast<float>(seconds);
}

NoiseGenerator::NoiseGenerator(float seconds) : engine_(std::bit_cast<std::uint32_t>(seconds)) {}

float NoiseGenerator::Next() {
  // The distribution may round up to 1 itself; the range stays half-open.
  const float r = uniform_(engine_);
  return r < 1.0f ? r : 0.0f;
}

}  // namespace detail

cDIBSection::~cDIBSection() {
  ClearUp();
}

std::int32_t cDIBSection::BytesPerScanLine() const {
  const std::int32_t times3 = CheckedI32(static_cast<std::int64_t>(mInfo.biWidth) * 3);
  return CheckedI32(static_cast<std::int64_t>(times3) + 3) & ~3;
}

bool cDIBSection::CreateDIB(gdi::HDC lhDC, std::int32_t lWidth, std::int32_t lHeight,
                            gdi::HBITMAP& hDib, gdi::NewPixels start) {
  mInfo.biSize = sizeof(gdi::BITMAPINFOHEADER);
  mInfo.biWidth = lWidth;
  mInfo.biHeight = lHeight;
  mInfo.biPlanes = 1;
  mInfo.biBitCount = 24;
  mInfo.biCompression = gdi::BI_RGB;
  mInfo.biSizeImage =
      static_cast<gdi::DWORD>(CheckedI32(static_cast<std::int64_t>(lHeight) * BytesPerScanLine()));
  gdi::BITMAPINFO info{};
  info.bmiHeader = mInfo;
  void* bits = nullptr;
  hDib = gdi::CreateDIBSection(lhDC, &info, gdi::DIB_RGB_COLORS, &bits, 0, 0, start);
  mBits = static_cast<std::uint8_t*>(bits);
  return hDib != 0;
}

void cDIBSection::CreateFromPicture(const gdi::Picture& picThis) {
  gdi::BITMAP bm{};
  gdi::GetObjectA(picThis.Handle(), 24, &bm);  // the record without its bits address
  // The copy below writes every pixel of a buffer of the picture's own
  // size, so the buffer starts unset; whenever the copy cannot be made it is
  // made black, so that no earlier chart's pixels show.
  if (!Create(bm.bmWidth, bm.bmHeight, gdi::NewPixels::kUnset)) return;
  bool copied = false;
  const gdi::HWND desktop = gdi::GetDesktopWindow();
  if (const gdi::HDC screen = gdi::GetDC(desktop); screen != 0) {
    const gdi::HDC dc = gdi::CreateCompatibleDC(screen);
    gdi::ReleaseDC(desktop, screen);
    if (dc != 0) {
      const gdi::HGDIOBJ old = gdi::SelectObject(dc, picThis.Handle());
      if (old != 0) {
        LoadPictureBlt(dc, 0, 0, -1, -1, gdi::SRCCOPY);
        gdi::SelectObject(dc, old);
        copied = true;
      }
      gdi::DeleteDC(dc);
    }
  }
  if (!copied && mBits != nullptr) {
    std::memset(mBits, 0, static_cast<std::size_t>(mInfo.biSizeImage));
  }
}

bool cDIBSection::Create(std::int32_t lWidth, std::int32_t lHeight, gdi::NewPixels start) {
  ClearUp();
  mDC = gdi::CreateCompatibleDC(0);
  if (mDC == 0) return false;
  bool created = false;
  try {
    created = CreateDIB(mDC, lWidth, lHeight, mDib, start);
  } catch (...) {
    // An overflow in the size: release the DC before the error goes on, so
    // the buffer is left empty as after any failed creation.
    gdi::DeleteDC(mDC);
    mDC = 0;
    throw;
  }
  if (created) {
    mOldBitmap = gdi::SelectObject(mDC, mDib);
    return true;
  }
  gdi::DeleteDC(mDC);
  mDC = 0;
  mBits = nullptr;
  return false;
}

void cDIBSection::LoadPictureBlt(gdi::HDC lhDC, std::int32_t lSrcLeft, std::int32_t lSrcTop,
                                 std::int32_t lSrcWidth, std::int32_t lSrcHeight, gdi::DWORD eRop) {
  const std::int32_t width = lSrcWidth < 0 ? Width() : lSrcWidth;
  const std::int32_t height = lSrcHeight < 0 ? Height() : lSrcHeight;
  gdi::BitBlt(mDC, 0, 0, width, height, lhDC, lSrcLeft, lSrcTop, eRop);
}

void cDIBSection::PaintPicture(gdi::HDC lhDC, std::int32_t lDestLeft, std::int32_t lDestTop,
                               std::int32_t lDestWidth, std::int32_t lDestHeight,
                               std::int32_t lSrcLeft, std::int32_t lSrcTop, gdi::DWORD eRop) {
  const std::int32_t width = lDestWidth < 0 ? Width() : lDestWidth;
  const std::int32_t height = lDestHeight < 0 ? Height() : lDestHeight;
  gdi::BitBlt(lhDC, lDestLeft, lDestTop, width, height, mDC, lSrcLeft, lSrcTop, eRop);
}

bool cDIBSection::CopyToClipboard(ClipboardAs bAsDIB) {
  bool result = false;
  const gdi::HWND desktop = gdi::GetDesktopWindow();
  const gdi::HDC screen = gdi::GetDC(desktop);
  if (screen == 0) return false;
  const gdi::HDC dc = gdi::CreateCompatibleDC(screen);
  if (dc == 0) {
    gdi::ReleaseDC(desktop, screen);
    return false;
  }
  if (bAsDIB == ClipboardAs::kDib) {
    gdi::MessageBoxA(0, "I don't know how to put a DIB on the clipboard! Copy as bitmap instead!!!",
                     nullptr, gdi::MB_OK);
  } else {
    const gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(screen, Width(), Height());
    if (bitmap != 0) {
      const gdi::HGDIOBJ old = gdi::SelectObject(dc, bitmap);
      PaintPicture(dc, 0, 0, -1, -1, 0, 0, gdi::SRCCOPY);
      gdi::SelectObject(dc, old);
      if (gdi::OpenClipboard(0)) {
        gdi::EmptyClipboard();
        if (gdi::SetClipboardData(gdi::CF_BITMAP, bitmap) != 0) result = true;
        gdi::CloseClipboard();
      }
      // A bitmap the clipboard did not take would otherwise be lost.
      if (!result) gdi::DeleteObject(bitmap);
    }
  }
  gdi::DeleteDC(dc);
  gdi::ReleaseDC(desktop, screen);
  return result;
}

void cDIBSection::ClearUp() noexcept {
  if (mDC != 0) {
    if (mDib != 0) {
      gdi::SelectObject(mDC, mOldBitmap);
      gdi::DeleteObject(mDib);
    }
    gdi::DeleteDC(mDC);
  }
  mDC = 0;
  mDib = 0;
  mOldBitmap = 0;
  mBits = nullptr;
}

void cDIBSection::RandomiseBits(NoiseKind bGray) {
  detail::NoiseGenerator generator(detail::SecondsSinceMidnight());
  auto draw = [&] {
    return static_cast<std::uint8_t>(RoundToI32(static_cast<double>(generator.Next()) * 255));
  };
  const std::int32_t height = Height();
  const std::int32_t x_end = CheckedI32((static_cast<std::int64_t>(Width()) - 1) * 3);
  if (height <= 0 || x_end < 0) return;  // nothing to visit
  const ByteGrid grid(mBits, BytesPerScanLine(), height);
  if (bGray == NoiseKind::kGray) {
    for (std::int32_t y = 0; y < height; ++y) {
      for (std::int32_t x = 0; x <= x_end; x += 3) {
        const std::uint8_t v = draw();
        grid.At(x, y) = v;
        grid.At(x + 1, y) = v;
        grid.At(x + 2, y) = v;
      }
    }
  } else {
    for (std::int32_t x = 0; x <= x_end; x += 3) {
      for (std::int32_t y = 0; y < height; ++y) {
        grid.At(x, y) = 0;
        grid.At(x + 1, y) = draw();
        grid.At(x + 2, y) = draw();
      }
    }
  }
}

std::unique_ptr<cDIBSection> cDIBSection::Resample(std::int32_t lNewHeight,
                                                   std::int32_t lNewWidth) const {
  auto target = std::make_unique<cDIBSection>();
  if (!target->Create(lNewWidth, lNewHeight)) return nullptr;
  if (lNewWidth == Width() && lNewHeight == Height()) {
    target->LoadPictureBlt(mDC, 0, 0, -1, -1, gdi::SRCCOPY);
  } else {
    InterpolateInto(*target);
  }
  return target;
}

void cDIBSection::InterpolateInto(cDIBSection& target) const {
  const std::int32_t ws = Width(), hs = Height();
  const std::int32_t wd = target.Width(), hd = target.Height();
  const float xs = Scale(CheckedI32(static_cast<std::int64_t>(ws) - 1), wd);
  const float ys = Scale(CheckedI32(static_cast<std::int64_t>(hs) - 1), hd);
  const ByteGrid source(mBits, BytesPerScanLine(), hs);
  const ByteGrid dest(target.mBits, target.BytesPerScanLine(), hd);

  for (std::int32_t y = 0; y < hd; ++y) {
    const float sy = static_cast<float>(static_cast<double>(ys) * y);
    const auto yi = static_cast<std::int32_t>(std::floor(sy));
    const float fy = sy - static_cast<float>(yi);
    for (std::int32_t x = 0; x < wd; ++x) {
      const float sx = static_cast<float>(static_cast<double>(xs) * x);
      const auto xi = static_cast<std::int32_t>(std::floor(sx));
      const float fx = sx - static_cast<float>(xi);
      const std::int32_t c0 = CheckedI32(static_cast<std::int64_t>(xi) * 3);
      std::uint8_t low[6], high[6];
      for (std::int32_t k = 0; k < 6; ++k) {
        low[k] = source.At(c0 + k, yi);
        high[k] = source.At(c0 + k, yi + 1);
      }
      for (std::int32_t channel = 0; channel < 3; ++channel) {
        const double v0 =
            RoundToI32((1.0 - fy) * low[channel] + static_cast<double>(fy) * high[channel]);
        const double v1 =
            RoundToI32((1.0 - fy) * low[channel + 3] + static_cast<double>(fy) * high[channel + 3]);
        std::int32_t h = RoundToI32((1.0 - fx) * v0 + static_cast<double>(fx) * v1);
        h = h < 0 ? 0 : (h > 255 ? 255 : h);
        dest.At(3 * x + channel, y) = static_cast<std::uint8_t>(h);
      }
    }
  }
}

}  // namespace qz::imaging
