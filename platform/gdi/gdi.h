// A small GDI/USER for a server without a window system: device contexts,
// bitmaps and DIB sections in memory, block transfers, a process-wide
// clipboard, paint-only windows and a message box that writes to standard
// error.
//
// Handles. Every handle is a pointer-sized number that names a typed entry of
// one process-wide table. A call checks the handle's kind before it touches
// anything: 0, a handle that was deleted, or a handle of the wrong kind is
// refused the way the Windows call refuses it (0, FALSE, or 0 bytes from
// GetObjectA). Handle values are never reused, so a stale handle stays stale.
// All functions are thread-safe; drawing into one bitmap from two threads at
// once is, as on Windows, the callers' business.
//
// Pixel formats. A 32-bit bitmap (CreateCompatibleBitmap, a 32-bit DIB
// section, the screen format) stores its rows top-down in Cairo's
// CAIRO_FORMAT_RGB24 layout: one native-endian 32-bit word 0x00RRGGBB per
// pixel (bytes B, G, R, unused on little-endian machines), rows of
// cairo_format_stride_for_width bytes, so Cairo can draw straight into it
// (see cairo_dc.h). A 24-bit DIB section stores B, G, R bytes, rows padded to
// a multiple of 4 bytes, bottom-up when its height is positive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace qz::gdi {

using BOOL = std::int32_t;
using UINT = std::uint32_t;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using LONG = std::int32_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;

// All handles are pointer-sized; the aliases document which kind a call
// expects, the table checks it.
using HANDLE = std::uintptr_t;
using HGDIOBJ = HANDLE;
using HDC = HANDLE;
using HBITMAP = HANDLE;
using HWND = HANDLE;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

// Raster operations (ternary codes; the pattern is the device context's
// default brush, which is white).
inline constexpr DWORD SRCCOPY = 0x00CC0020;
inline constexpr DWORD SRCPAINT = 0x00EE0086;
inline constexpr DWORD SRCAND = 0x008800C6;
inline constexpr DWORD SRCINVERT = 0x00660046;
inline constexpr DWORD SRCERASE = 0x00440328;
inline constexpr DWORD NOTSRCCOPY = 0x00330008;
inline constexpr DWORD NOTSRCERASE = 0x001100A6;
inline constexpr DWORD MERGECOPY = 0x00C000CA;
inline constexpr DWORD MERGEPAINT = 0x00BB0226;
inline constexpr DWORD PATCOPY = 0x00F00021;
inline constexpr DWORD PATPAINT = 0x00FB0A09;
inline constexpr DWORD PATINVERT = 0x005A0049;
inline constexpr DWORD DSTINVERT = 0x00550009;
inline constexpr DWORD BLACKNESS = 0x00000042;
inline constexpr DWORD WHITENESS = 0x00FF0062;

// Limits: no bitmap may exceed this many pixels (refused, not allocated).
inline constexpr std::int64_t kMaxBitmapPixels = 64LL * 1024 * 1024;

// --- Device contexts -------------------------------------------------------

// The desktop window (a fixed handle) and the screen's device context: 32
// bits per pixel, 96 dots per inch, no pixels of its own (it cannot be a
// BitBlt source or target; only a template for compatible objects).
HWND GetDesktopWindow();
HDC GetDC(HWND hwnd);  // only the desktop window (or 0) has a DC here
int ReleaseDC(HWND hwnd, HDC hdc);

// A memory device context; it starts with a 1 x 1 stock bitmap selected.
// hdc may be 0 (the screen) or any device context.
HDC CreateCompatibleDC(HDC hdc);
BOOL DeleteDC(HDC hdc);

inline constexpr int BITSPIXEL = 12;
inline constexpr int PLANES = 14;
inline constexpr int HORZRES = 8;
inline constexpr int VERTRES = 10;
inline constexpr int LOGPIXELSX = 88;
inline constexpr int LOGPIXELSY = 90;
// BITSPIXEL answers 32 for the screen and the bit depth of the selected
// bitmap for a memory DC; LOGPIXELSX/Y 96; 0 for anything else.
int GetDeviceCaps(HDC hdc, int index);

// --- Bitmaps -----------------------------------------------------------------

// How a new bitmap's pixels start (our own addition to the calls below):
// zero, so black, as the system's calls leave them; or unset, for a caller
// that writes every pixel before any is read, which saves filling memory
// that is overwritten at once. Unset pixels may hold an earlier bitmap's
// pixels of the same thread; the padding at the end of a row is zero either
// way.
enum class NewPixels { kZero, kUnset };

// A 32-bit bitmap (zero-filled, so black, unless start says otherwise) of
// cx x cy pixels; 0 when a size is not positive or exceeds kMaxBitmapPixels,
// or when memory runs out.
HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy, NewPixels start = NewPixels::kZero);

struct BITMAPINFOHEADER {
  DWORD biSize = 0;
  LONG biWidth = 0;
  LONG biHeight = 0;
  WORD biPlanes = 0;
  WORD biBitCount = 0;
  DWORD biCompression = 0;
  DWORD biSizeImage = 0;
  LONG biXPelsPerMeter = 0;
  LONG biYPelsPerMeter = 0;
  DWORD biClrUsed = 0;
  DWORD biClrImportant = 0;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct RGBQUAD {
  std::uint8_t rgbBlue, rgbGreen, rgbRed, rgbReserved;
};
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  RGBQUAD bmiColors[1];
};

inline constexpr UINT DIB_RGB_COLORS = 0;
inline constexpr DWORD BI_RGB = 0;

// A DIB section: biBitCount 24 or 32, BI_RGB, biPlanes 1, biWidth > 0,
// biHeight != 0 (positive: rows bottom-up; negative: top-down). A 32-bit
// section is always top-down in the layout above, whatever the sign. The
// pixel memory is zero-filled (unless start says otherwise) and its address
// is stored in *ppvBits (set to nullptr on failure). 0 when the header is
// unsupported, the size is over kMaxBitmapPixels, or memory runs out.
// hSection must be 0.
HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits,
                         HANDLE hSection, DWORD offset, NewPixels start = NewPixels::kZero);

// Selects a bitmap into a memory DC and answers the bitmap it held, or 0 on
// failure (not a memory DC, not a bitmap, or a bitmap already selected into
// another DC).
HGDIOBJ SelectObject(HDC hdc, HGDIOBJ obj);

// Deletes a bitmap. FALSE for 0, a stale handle, a device context (use
// DeleteDC), the stock bitmap, a bitmap still selected into a DC, or one the
// clipboard owns.
BOOL DeleteObject(HGDIOBJ obj);

// The bitmap record. Pointer-sized bmBits makes it 32 bytes here; a caller
// that passes 24 gets every field but bmBits.
struct BITMAP {
  LONG bmType;
  LONG bmWidth;
  LONG bmHeight;
  LONG bmWidthBytes;
  WORD bmPlanes;
  WORD bmBitsPixel;
  void* bmBits;  // the pixel memory of a DIB section, else nullptr
};

// Fills min(cb, sizeof(BITMAP)) bytes of pv for a bitmap handle and answers
// that count; 0 (nothing written) for anything that is no live bitmap or
// when pv is null or cb is not positive.
int GetObjectA(HGDIOBJ h, int cb, void* pv);

// --- Block transfer ----------------------------------------------------------

// Copies a cx x cy block from (x1, y1) of the bitmap selected into hdcSrc to
// (x, y) of the one selected into hdc, combining source and destination with
// rop. The block is clipped at both bitmaps' edges (what lies outside either
// is neither read nor written). Converts between 32- and 24-bit formats.
// hdcSrc is ignored (may be 0) when rop does not use the source. FALSE for
// invalid DCs, the screen DC, negative sizes; TRUE otherwise, also when the
// clipped block is empty.
BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop);

// --- Windows -------------------------------------------------------------------

inline constexpr UINT WM_PAINT = 15;

// Paints into the device context it is given (as WM_PAINT's wParam).
using PaintCallback = std::function<void(HDC)>;

// A window that exists only to be painted on demand. The callback is called
// on the sending thread, outside every lock, so it may use any GDI call.
HWND CreatePaintWindow(PaintCallback paint);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);

// WM_PAINT with wParam = a device context calls the window's paint callback
// with that DC before it returns (answers 0). An exception thrown by the
// callback reaches the caller. Other messages, or an invalid window, answer 0
// and do nothing.
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// --- Clipboard ---------------------------------------------------------------

inline constexpr UINT CF_BITMAP = 2;

// One clipboard per process. OpenClipboard fails while another thread has it
// open. SetClipboardData(CF_BITMAP, bitmap) takes ownership of a bitmap that
// is selected into no DC (the caller must no longer delete it) and answers
// it; EmptyClipboard deletes what the clipboard owns.
BOOL OpenClipboard(HWND owner);
BOOL EmptyClipboard();
HANDLE SetClipboardData(UINT format, HANDLE data);
HANDLE GetClipboardData(UINT format);  // while open; the clipboard keeps it
BOOL CloseClipboard();

// --- Message box ---------------------------------------------------------------

inline constexpr UINT MB_OK = 0;
inline constexpr int IDOK = 1;

// No one is at a server to read it: the caption (if any) and the text go to
// standard error as one line, and the answer is IDOK.
int MessageBoxA(HWND hwnd, const char* text, const char* caption, UINT type);

// --- Direct access for this system's own modules --------------------------------

// A view of a bitmap's pixels that keeps the pixel memory alive while it
// exists, even if the handle is deleted meanwhile. rows: picture row 0 (the
// top) is at Row(0).
class BitmapBits {
 public:
  BitmapBits() = default;
  // The bitmap itself, or the one selected into a memory DC; empty on failure.
  static BitmapBits OfBitmap(HBITMAP bitmap);
  static BitmapBits OfDC(HDC hdc);

  explicit operator bool() const noexcept { return data_ != nullptr; }
  std::uint8_t* data() const noexcept { return data_; }
  int width() const noexcept { return width_; }
  int height() const noexcept { return height_; }
  int stride() const noexcept { return stride_; }
  int bits_per_pixel() const noexcept { return bits_per_pixel_; }
  bool bottom_up() const noexcept { return bottom_up_; }
  // The first byte of picture row y (0 = top), y in [0, height).
  std::uint8_t* Row(int y) const noexcept {
    const int memory_row = bottom_up_ ? height_ - 1 - y : y;
    return data_ + static_cast<std::ptrdiff_t>(memory_row) * stride_;
  }

 private:
  std::shared_ptr<void> keep_;
  std::uint8_t* data_ = nullptr;
  int width_ = 0, height_ = 0, stride_ = 0, bits_per_pixel_ = 0;
  bool bottom_up_ = false;
};

// The number of live entries of each kind, for leak checks in tests.
struct HandleCounts {
  int dcs = 0;
  int bitmaps = 0;
  int windows = 0;
};
HandleCounts CountHandles();

}  // namespace qz::gdi
