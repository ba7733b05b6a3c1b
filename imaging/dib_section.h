// cDIBSection: the component's raster buffer, a 24-bit bottom-up DIB section
// selected into a memory device context of its own.
//
// Layout the rest of the system relies on: Height() rows of
// BytesPerScanLine() bytes (Width() x 3 rounded up to a multiple of 4), three
// bytes per pixel in blue, green, red order, the first row in memory being
// the picture's bottom row. The pixel of column x in memory row y starts at
// byte y * BytesPerScanLine() + 3 * x of DIBSectionBitsPtr().
//
// Platform failures come back as false results (Create, CreateDIB,
// CopyToClipboard) or leave the buffer empty (CreateFromPicture); arithmetic
// overflow raises 6 (Overflow), a pixel index outside the buffer raises 9
// (Subscript out of range), pixel operations on a buffer that reports a size
// but holds no pixel memory raise 91 (Object variable not set).
#pragma once

#include <cstdint>
#include <memory>

#include "platform/gdi/gdi.h"
#include "platform/gdi/picture.h"

namespace qz::imaging {

enum class ClipboardAs { kBitmap, kDib };
enum class NoiseKind { kColour, kGray };

class cDIBSection {
 public:
  cDIBSection() = default;
  cDIBSection(const cDIBSection&) = delete;
  cDIBSection& operator=(const cDIBSection&) = delete;
  ~cDIBSection();  // ClearUp

  // True when the clipboard took a copy of the picture as a CF_BITMAP. Asked
  // for a DIB, it tells the (absent) user so through a message box and
  // answers false.
  bool CopyToClipboard(ClipboardAs bAsDIB);

  // Fills the header for lWidth x lHeight (24 bits, bottom-up), then asks
  // for a DIB section, storing its handle in hDib and its memory in this
  // buffer's pixel pointer. Raises 6 when the image size overflows (the
  // header already holds the new size then). The pixels start black, or
  // unset for a caller that overwrites them all (see gdi::NewPixels).
  bool CreateDIB(gdi::HDC lhDC, std::int32_t lWidth, std::int32_t lHeight, gdi::HBITMAP& hDib,
                 gdi::NewPixels start = gdi::NewPixels::kZero);

  // Sizes the buffer to the picture's bitmap and copies it in. A picture that
  // is no bitmap leaves the buffer empty (a 0 x 0 request is refused).
  void CreateFromPicture(const gdi::Picture& picThis);

  // ClearUp, then a new DC and section of that size; false (and empty) when
  // either cannot be made.
  bool Create(std::int32_t lWidth, std::int32_t lHeight,
              gdi::NewPixels start = gdi::NewPixels::kZero);

  std::int32_t BytesPerScanLine() const;  // raises 6 on overflow
  std::int32_t Width() const noexcept { return mInfo.biWidth; }
  std::int32_t Height() const noexcept { return mInfo.biHeight; }

  // BitBlt from (lSrcLeft, lSrcTop) of lhDC to this buffer's (0, 0); a
  // negative size stands for this buffer's own. The transfer's result is not
  // examined.
  void LoadPictureBlt(gdi::HDC lhDC, std::int32_t lSrcLeft = 0, std::int32_t lSrcTop = 0,
                      std::int32_t lSrcWidth = -1, std::int32_t lSrcHeight = -1,
                      gdi::DWORD eRop = gdi::SRCCOPY);
  // BitBlt from (lSrcLeft, lSrcTop) of this buffer to (lDestLeft, lDestTop)
  // of lhDC; a negative size stands for this buffer's own.
  void PaintPicture(gdi::HDC lhDC, std::int32_t lDestLeft = 0, std::int32_t lDestTop = 0,
                    std::int32_t lDestWidth = -1, std::int32_t lDestHeight = -1,
                    std::int32_t lSrcLeft = 0, std::int32_t lSrcTop = 0,
                    gdi::DWORD eRop = gdi::SRCCOPY);

  gdi::HDC hdc() const noexcept { return mDC; }
  gdi::HBITMAP hDib() const noexcept { return mDib; }
  std::uint8_t* DIBSectionBitsPtr() const noexcept { return mBits; }

  // Fills every pixel with noise from a generator seeded from the time of
  // day: grey (blue = green = red) or colour (blue 0, random green and red).
  void RandomiseBits(NoiseKind bGray);

  // Releases the section and the DC (in reverse order of acquisition); the
  // header keeps the size last requested.
  void ClearUp() noexcept;

  // A new buffer of lNewWidth x lNewHeight holding this picture (a plain copy
  // at the same size, bilinear otherwise), or nullptr when it cannot be
  // created. Raises 9 for a source 1 pixel wide or high (or never created).
  std::unique_ptr<cDIBSection> Resample(std::int32_t lNewHeight, std::int32_t lNewWidth) const;

 private:
  void InterpolateInto(cDIBSection& target) const;
  // The byte at (byte column, memory row); raises 9 outside the grid and 91
  // when there is no pixel memory.
  std::uint8_t& Byte(std::int32_t column, std::int32_t row) const;
  void RequirePixels() const;

  gdi::HBITMAP mDib = 0;
  gdi::HGDIOBJ mOldBitmap = 0;
  gdi::HDC mDC = 0;
  std::uint8_t* mBits = nullptr;
  gdi::BITMAPINFOHEADER mInfo{};
};

}  // namespace qz::imaging
