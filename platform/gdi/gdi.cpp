#include "platform/gdi/gdi.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "platform/gdi/gdi_p.h"
#include "platform/gdi/pixel_memory.h"

namespace qz::gdi {

static_assert(std::endian::native == std::endian::little,
              "32-bit pixels are read as B, G, R bytes");

namespace {

struct Bitmap {
  int width = 0;
  int height = 0;
  int bits_per_pixel = 32;
  int stride = 0;
  bool bottom_up = false;
  bool is_dib = false;
  detail::PixelMemory memory;

  // Guarded by the table's mutex.
  HDC selected_into = 0;
  bool stock = false;
  bool clipboard_owned = false;
  bool delete_when_free = false;

  std::uint8_t* Row(int y) const noexcept {
    const int memory_row = bottom_up ? height - 1 - y : y;
    return memory.get() + static_cast<std::ptrdiff_t>(memory_row) * stride;
  }
};

struct DeviceContext {
  bool screen = false;
  HBITMAP selected = 0;
};

struct Window {
  PaintCallback paint;
};

using Entry = std::variant<DeviceContext, std::shared_ptr<Bitmap>, std::shared_ptr<Window>>;

class Table {
 public:
  static Table& Get() {
    // Never destroyed: handles may be released from static destructors.
    static Table* table = new Table;
    return *table;
  }

  std::mutex mutex;
  std::unordered_map<HANDLE, Entry> entries;
  HWND desktop = 0;
  HBITMAP stock_bitmap = 0;

  // Clipboard.
  std::optional<std::thread::id> clipboard_opener;
  HBITMAP clipboard_bitmap = 0;

  HANDLE Add(Entry entry) {
    const HANDLE h = next_;
    next_ += 4;
    entries.emplace(h, std::move(entry));
    return h;
  }

  DeviceContext* FindDC(HDC h) {
    auto it = entries.find(h);
    if (h == 0 || it == entries.end()) return nullptr;
    return std::get_if<DeviceContext>(&it->second);
  }
  std::shared_ptr<Bitmap> FindBitmap(HGDIOBJ h) {
    auto it = entries.find(h);
    if (h == 0 || it == entries.end()) return nullptr;
    auto* p = std::get_if<std::shared_ptr<Bitmap>>(&it->second);
    return p != nullptr ? *p : nullptr;
  }
  std::shared_ptr<Window> FindWindow(HWND h) {
    auto it = entries.find(h);
    if (h == 0 || it == entries.end()) return nullptr;
    auto* p = std::get_if<std::shared_ptr<Window>>(&it->second);
    return p != nullptr ? *p : nullptr;
  }
  // The bitmap selected into a memory DC (never the screen's).
  std::shared_ptr<Bitmap> SelectedBitmap(HDC h) {
    DeviceContext* dc = FindDC(h);
    if (dc == nullptr || dc->screen) return nullptr;
    return FindBitmap(dc->selected);
  }

  // A bitmap leaves a DC: delete it if its owner let go of it meanwhile.
  void Deselect(HBITMAP h) {
    auto bitmap = FindBitmap(h);
    if (!bitmap || bitmap->stock) return;
    bitmap->selected_into = 0;
    if (bitmap->delete_when_free) entries.erase(h);
  }

 private:
  Table() {
    desktop = Add(std::make_shared<Window>());
    auto stock = std::make_shared<Bitmap>();
    stock->width = stock->height = 1;
    stock->stride = 4;
    stock->memory = detail::AllocatePixels(4);
    if (!stock->memory) throw std::bad_alloc();
    stock->stock = true;
    stock_bitmap = Add(std::move(stock));
  }

  HANDLE next_ = 0x10000;
};

std::shared_ptr<Bitmap> MakeBitmap(int width, int height, int bits_per_pixel, bool bottom_up,
                                   NewPixels start) {
  if (width <= 0 || height <= 0) return nullptr;
  if (static_cast<std::int64_t>(width) * height > kMaxBitmapPixels) return nullptr;
  auto bitmap = std::make_shared<Bitmap>();
  bitmap->width = width;
  bitmap->height = height;
  bitmap->bits_per_pixel = bits_per_pixel;
  bitmap->bottom_up = bottom_up;
  // Both fit: width <= kMaxBitmapPixels, so the stride is at most 256 MiB.
  bitmap->stride = bits_per_pixel == 32 ? width * 4 : (width * 3 + 3) & ~3;
  const std::size_t bytes = static_cast<std::size_t>(bitmap->stride) * height;
  bitmap->memory = detail::AllocatePixels(bytes, start == NewPixels::kZero);
  if (!bitmap->memory) return nullptr;
  const std::size_t used = static_cast<std::size_t>(width) * (bits_per_pixel / 8);
  const auto stride = static_cast<std::size_t>(bitmap->stride);
  if (start == NewPixels::kUnset && used < stride) {
    for (std::size_t row = 0; row < static_cast<std::size_t>(height); ++row)
      std::memset(bitmap->memory.get() + row * stride + used, 0, stride - used);
  }
  return bitmap;
}

}  // namespace

// --- Device contexts -------------------------------------------------------------

HWND GetDesktopWindow() {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  return t.desktop;
}

HDC GetDC(HWND hwnd) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (hwnd != 0 && hwnd != t.desktop) return 0;
  return t.Add(DeviceContext{.screen = true, .selected = 0});
}

int ReleaseDC(HWND /*hwnd*/, HDC hdc) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  DeviceContext* dc = t.FindDC(hdc);
  if (dc == nullptr || !dc->screen) return 0;
  t.entries.erase(hdc);
  return 1;
}

HDC CreateCompatibleDC(HDC hdc) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (hdc != 0 && t.FindDC(hdc) == nullptr) return 0;
  return t.Add(DeviceContext{.screen = false, .selected = t.stock_bitmap});
}

BOOL DeleteDC(HDC hdc) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  DeviceContext* dc = t.FindDC(hdc);
  if (dc == nullptr || dc->screen) return FALSE;
  const HBITMAP selected = dc->selected;
  t.entries.erase(hdc);
  t.Deselect(selected);
  return TRUE;
}

int GetDeviceCaps(HDC hdc, int index) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  DeviceContext* dc = t.FindDC(hdc);
  if (dc == nullptr) return 0;
  switch (index) {
    case BITSPIXEL: {
      if (dc->screen) return 32;
      auto bitmap = t.FindBitmap(dc->selected);
      return bitmap ? bitmap->bits_per_pixel : 0;
    }
    case PLANES:
      return 1;
    case LOGPIXELSX:
    case LOGPIXELSY:
      return 96;
    case HORZRES:
    case VERTRES: {
      if (dc->screen) return index == HORZRES ? 1920 : 1080;
      auto bitmap = t.FindBitmap(dc->selected);
      if (!bitmap) return 0;
      return index == HORZRES ? bitmap->width : bitmap->height;
    }
    default:
      return 0;
  }
}

// --- Bitmaps -------------------------------------------------------------------------

HBITMAP CreateCompatibleBitmap(HDC hdc, int cx, int cy, NewPixels start) {
  Table& t = Table::Get();
  {
    std::lock_guard lock(t.mutex);
    if (hdc != 0 && t.FindDC(hdc) == nullptr) return 0;
  }
  auto bitmap = MakeBitmap(cx, cy, 32, false, start);  // allocated outside the lock
  if (!bitmap) return 0;
  std::lock_guard lock(t.mutex);
  return t.Add(std::move(bitmap));
}

HBITMAP CreateDIBSection(HDC hdc, const BITMAPINFO* pbmi, UINT usage, void** ppvBits,
                         HANDLE hSection, DWORD /*offset*/, NewPixels start) {
  if (ppvBits != nullptr) *ppvBits = nullptr;
  if (pbmi == nullptr || usage != DIB_RGB_COLORS || hSection != 0) return 0;
  const BITMAPINFOHEADER& h = pbmi->bmiHeader;
  if (h.biSize < sizeof(BITMAPINFOHEADER) || h.biPlanes != 1 || h.biCompression != BI_RGB) return 0;
  if (h.biBitCount != 24 && h.biBitCount != 32) return 0;
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biHeight == INT32_MIN) return 0;
  Table& t = Table::Get();
  {
    std::lock_guard lock(t.mutex);
    if (hdc != 0 && t.FindDC(hdc) == nullptr) return 0;
  }
  const int height = h.biHeight < 0 ? -h.biHeight : h.biHeight;
  const bool bottom_up = h.biBitCount == 24 && h.biHeight > 0;
  auto bitmap = MakeBitmap(h.biWidth, height, h.biBitCount, bottom_up, start);
  if (!bitmap) return 0;
  bitmap->is_dib = true;
  void* bits = bitmap->memory.get();
  std::lock_guard lock(t.mutex);
  const HBITMAP handle = t.Add(std::move(bitmap));
  if (ppvBits != nullptr) *ppvBits = bits;
  return handle;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ obj) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  DeviceContext* dc = t.FindDC(hdc);
  auto bitmap = t.FindBitmap(obj);
  if (dc == nullptr || dc->screen || !bitmap || bitmap->clipboard_owned) return 0;
  if (dc->selected == obj) return obj;
  if (!bitmap->stock && bitmap->selected_into != 0) return 0;
  const HBITMAP old = dc->selected;
  if (!bitmap->stock) bitmap->selected_into = hdc;
  dc->selected = obj;
  t.Deselect(old);
  return old;
}

BOOL DeleteObject(HGDIOBJ obj) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  auto bitmap = t.FindBitmap(obj);
  if (!bitmap || bitmap->stock || bitmap->selected_into != 0 || bitmap->clipboard_owned)
    return FALSE;
  t.entries.erase(obj);
  return TRUE;
}

int GetObjectA(HGDIOBJ h, int cb, void* pv) {
  if (pv == nullptr || cb <= 0) return 0;
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  auto bitmap = t.FindBitmap(h);
  if (!bitmap) return 0;
  BITMAP record{};
  record.bmType = 0;
  record.bmWidth = bitmap->width;
  record.bmHeight = bitmap->height;
  record.bmWidthBytes = bitmap->stride;
  record.bmPlanes = 1;
  record.bmBitsPixel = static_cast<WORD>(bitmap->bits_per_pixel);
  record.bmBits = bitmap->is_dib ? bitmap->memory.get() : nullptr;
  const int n = std::min<int>(cb, sizeof(BITMAP));
  std::memcpy(pv, &record, static_cast<std::size_t>(n));
  return n;
}

// --- Block transfer --------------------------------------------------------------------

namespace {

constexpr bool RopUsesSource(unsigned rop3) {
  return (((rop3 >> 2) ^ rop3) & 0x33u) != 0;
}

// The ternary operation on three channels at once; the pattern is white.
inline std::uint32_t ApplyRop(unsigned rop3, std::uint32_t s, std::uint32_t d) {
  constexpr std::uint32_t p = 0xFFFFFFFFu;
  std::uint32_t r = 0;
  for (unsigned i = 0; i < 8; ++i) {
    if (((rop3 >> i) & 1u) == 0) continue;
    r |= ((i & 4u) ? p : ~p) & ((i & 2u) ? s : ~s) & ((i & 1u) ? d : ~d);
  }
  return r;
}

inline std::uint32_t ReadPixel(const std::uint8_t* p, int bits_per_pixel) {
  if (bits_per_pixel == 32) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v & 0x00FFFFFFu;
  }
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16;
}

inline void WritePixel(std::uint8_t* p, int bits_per_pixel, std::uint32_t v) {
  if (bits_per_pixel == 32) {
    v &= 0x00FFFFFFu;
    std::memcpy(p, &v, 4);
    return;
  }
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
}

// 32-bit to 24-bit, four pixels packed into three words at a time.
void CopyRow32To24Portable(const std::uint8_t* src, std::uint8_t* dst, int n) {
  int i = 0;
  for (; i + 4 <= n; i += 4) {
    std::uint32_t p[4];
    std::memcpy(p, src, 16);
    const std::uint32_t w[3] = {(p[0] & 0x00FFFFFFu) | (p[1] << 24),
                                ((p[1] >> 8) & 0xFFFFu) | (p[2] << 16),
                                ((p[2] >> 16) & 0xFFu) | (p[3] << 8)};
    std::memcpy(dst, w, 12);
    src += 16;
    dst += 12;
  }
  for (; i < n; ++i) {
    dst[0] = src[0];
    dst[1] = src[1];
    dst[2] = src[2];
    src += 4;
    dst += 3;
  }
}

#if defined(__x86_64__)
// Sixteen pixels at a time: each 16-byte load loses its unused bytes in a
// shuffle, and the four 12-byte pieces are stitched into three stores.
__attribute__((target("ssse3"))) void CopyRow32To24Ssse3(const std::uint8_t* src, std::uint8_t* dst,
                                                         int n) {
  const __m128i keep = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i a =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), keep);
    const __m128i b =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)), keep);
    const __m128i c =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32)), keep);
    const __m128i d =
        _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48)), keep);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_or_si128(a, _mm_slli_si128(b, 12)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16),
                     _mm_or_si128(_mm_srli_si128(b, 4), _mm_slli_si128(c, 8)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32),
                     _mm_or_si128(_mm_srli_si128(c, 8), _mm_slli_si128(d, 4)));
    src += 64;
    dst += 48;
  }
  CopyRow32To24Portable(src, dst, n - i);
}
#endif

void CopyRow32To24(const std::uint8_t* src, std::uint8_t* dst, int n) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) {
    CopyRow32To24Ssse3(src, dst, n);
    return;
  }
#endif
  CopyRow32To24Portable(src, dst, n);
}

void CopyRow24To32(const std::uint8_t* src, std::uint8_t* dst, int n) {
  for (int i = 0; i < n; ++i) {
    const std::uint32_t v = static_cast<std::uint32_t>(src[0]) |
                            static_cast<std::uint32_t>(src[1]) << 8 |
                            static_cast<std::uint32_t>(src[2]) << 16;
    std::memcpy(dst, &v, 4);
    src += 3;
    dst += 4;
  }
}

void CopyRow(const Bitmap& s, const std::uint8_t* src, const Bitmap& d, std::uint8_t* dst, int n) {
  if (s.bits_per_pixel == d.bits_per_pixel) {
    std::memmove(dst, src, static_cast<std::size_t>(n) * (s.bits_per_pixel / 8));
  } else if (s.bits_per_pixel == 32) {
    CopyRow32To24(src, dst, n);
  } else {
    CopyRow24To32(src, dst, n);
  }
}

}  // namespace

BOOL BitBlt(HDC hdc, int x, int y, int cx, int cy, HDC hdcSrc, int x1, int y1, DWORD rop) {
  const unsigned rop3 = (rop >> 16) & 0xFFu;
  const bool uses_source = RopUsesSource(rop3);
  std::shared_ptr<Bitmap> dst;
  std::shared_ptr<Bitmap> src;
  {
    Table& t = Table::Get();
    std::lock_guard lock(t.mutex);
    dst = t.SelectedBitmap(hdc);
    if (!dst) return FALSE;
    if (uses_source) {
      src = t.SelectedBitmap(hdcSrc);
      if (!src) return FALSE;
    }
  }
  if (cx < 0 || cy < 0) return FALSE;

  // Clip in 64 bits: the arguments may be anywhere in the int range.
  std::int64_t dx = x, dy = y, sx = x1, sy = y1, w = cx, h = cy;
  auto clip_low = [&](std::int64_t& a, std::int64_t& b, std::int64_t& extent) {
    if (a < 0) {
      b -= a;
      extent += a;
      a = 0;
    }
  };
  clip_low(dx, sx, w);
  clip_low(dy, sy, h);
  if (uses_source) {
    clip_low(sx, dx, w);
    clip_low(sy, dy, h);
    w = std::min(w, static_cast<std::int64_t>(src->width) - sx);
    h = std::min(h, static_cast<std::int64_t>(src->height) - sy);
  }
  w = std::min(w, static_cast<std::int64_t>(dst->width) - dx);
  h = std::min(h, static_cast<std::int64_t>(dst->height) - dy);
  if (w <= 0 || h <= 0) return TRUE;
  const int n = static_cast<int>(w);
  const int rows = static_cast<int>(h);
  const int dbpp = dst->bits_per_pixel / 8;

  if (!uses_source) {
    for (int r = 0; r < rows; ++r) {
      std::uint8_t* d = dst->Row(static_cast<int>(dy) + r) + dx * dbpp;
      for (int i = 0; i < n; ++i, d += dbpp)
        WritePixel(d, dst->bits_per_pixel, ApplyRop(rop3, 0, ReadPixel(d, dst->bits_per_pixel)));
    }
    return TRUE;
  }

  const int sbpp = src->bits_per_pixel / 8;
  // Within one bitmap the blocks may overlap: read the source block first.
  std::vector<std::uint8_t> staging;
  std::int64_t staging_stride = 0;
  if (src == dst) {
    staging_stride = static_cast<std::int64_t>(n) * sbpp;
    try {
      staging.resize(static_cast<std::size_t>(staging_stride * rows));
    } catch (const std::bad_alloc&) {
      return FALSE;
    }
    for (int r = 0; r < rows; ++r)
      std::memcpy(staging.data() + r * staging_stride,
                  src->Row(static_cast<int>(sy) + r) + sx * sbpp,
                  static_cast<std::size_t>(staging_stride));
  }
  auto source_row = [&](int r) -> const std::uint8_t* {
    if (!staging.empty()) return staging.data() + r * staging_stride;
    return src->Row(static_cast<int>(sy) + r) + sx * sbpp;
  };

  if (rop3 == 0xCC) {
    for (int r = 0; r < rows; ++r)
      CopyRow(*src, source_row(r), *dst, dst->Row(static_cast<int>(dy) + r) + dx * dbpp, n);
    return TRUE;
  }
  for (int r = 0; r < rows; ++r) {
    const std::uint8_t* s = source_row(r);
    std::uint8_t* d = dst->Row(static_cast<int>(dy) + r) + dx * dbpp;
    for (int i = 0; i < n; ++i, s += sbpp, d += dbpp) {
      WritePixel(
          d, dst->bits_per_pixel,
          ApplyRop(rop3, ReadPixel(s, src->bits_per_pixel), ReadPixel(d, dst->bits_per_pixel)));
    }
  }
  return TRUE;
}

// --- Windows -----------------------------------------------------------------------------

HWND CreatePaintWindow(PaintCallback paint) {
  auto window = std::make_shared<Window>();
  window->paint = std::move(paint);
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  return t.Add(std::move(window));
}

BOOL DestroyWindow(HWND hwnd) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (hwnd == t.desktop || !t.FindWindow(hwnd)) return FALSE;
  t.entries.erase(hwnd);
  return TRUE;
}

BOOL IsWindow(HWND hwnd) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  return t.FindWindow(hwnd) ? TRUE : FALSE;
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wParam, LPARAM /*lParam*/) {
  std::shared_ptr<Window> window;
  {
    Table& t = Table::Get();
    std::lock_guard lock(t.mutex);
    window = t.FindWindow(hwnd);
  }
  if (!window || msg != WM_PAINT || !window->paint) return 0;
  window->paint(static_cast<HDC>(wParam));
  return 0;
}

// --- Clipboard ------------------------------------------------------------------------------

BOOL OpenClipboard(HWND /*owner*/) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (t.clipboard_opener && *t.clipboard_opener != std::this_thread::get_id()) return FALSE;
  t.clipboard_opener = std::this_thread::get_id();
  return TRUE;
}

namespace {
bool OpenedHere(const Table& t) {
  return t.clipboard_opener && *t.clipboard_opener == std::this_thread::get_id();
}
void DropClipboardBitmap(Table& t) {
  if (t.clipboard_bitmap != 0) t.entries.erase(t.clipboard_bitmap);
  t.clipboard_bitmap = 0;
}
}  // namespace

BOOL EmptyClipboard() {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (!OpenedHere(t)) return FALSE;
  DropClipboardBitmap(t);
  return TRUE;
}

HANDLE SetClipboardData(UINT format, HANDLE data) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (!OpenedHere(t) || format != CF_BITMAP) return 0;
  auto bitmap = t.FindBitmap(data);
  if (!bitmap || bitmap->stock || bitmap->selected_into != 0) return 0;
  if (data == t.clipboard_bitmap) return data;
  DropClipboardBitmap(t);
  bitmap->clipboard_owned = true;
  t.clipboard_bitmap = data;
  return data;
}

HANDLE GetClipboardData(UINT format) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (!OpenedHere(t) || format != CF_BITMAP) return 0;
  return t.clipboard_bitmap;
}

BOOL CloseClipboard() {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  if (!OpenedHere(t)) return FALSE;
  t.clipboard_opener.reset();
  return TRUE;
}

// --- Message box ------------------------------------------------------------------------------

int MessageBoxA(HWND /*hwnd*/, const char* text, const char* caption, UINT /*type*/) {
  if (caption != nullptr && *caption != '\0') {
    std::fprintf(stderr, "%s: %s\n", caption, text != nullptr ? text : "");
  } else {
    std::fprintf(stderr, "%s\n", text != nullptr ? text : "");
  }
  return IDOK;
}

// --- Direct access ------------------------------------------------------------------------------

BitmapBits BitmapBits::OfBitmap(HBITMAP bitmap) {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  auto b = t.FindBitmap(bitmap);
  if (!b || b->stock) return {};
  BitmapBits bits;
  bits.data_ = b->memory.get();
  bits.width_ = b->width;
  bits.height_ = b->height;
  bits.stride_ = b->stride;
  bits.bits_per_pixel_ = b->bits_per_pixel;
  bits.bottom_up_ = b->bottom_up;
  bits.keep_ = std::move(b);
  return bits;
}

BitmapBits BitmapBits::OfDC(HDC hdc) {
  HBITMAP selected = 0;
  {
    Table& t = Table::Get();
    std::lock_guard lock(t.mutex);
    DeviceContext* dc = t.FindDC(hdc);
    if (dc == nullptr || dc->screen) return {};
    selected = dc->selected;
  }
  return OfBitmap(selected);
}

HandleCounts CountHandles() {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  HandleCounts counts;
  for (const auto& [h, entry] : t.entries) {
    if (h == t.desktop || h == t.stock_bitmap) continue;
    if (std::holds_alternative<DeviceContext>(entry)) ++counts.dcs;
    if (std::holds_alternative<std::shared_ptr<Bitmap>>(entry)) ++counts.bitmaps;
    if (std::holds_alternative<std::shared_ptr<Window>>(entry)) ++counts.windows;
  }
  return counts;
}

namespace detail {

void ReleaseOwnedBitmap(HBITMAP bitmap) noexcept {
  Table& t = Table::Get();
  std::lock_guard lock(t.mutex);
  auto b = t.FindBitmap(bitmap);
  if (!b || b->stock || b->clipboard_owned) return;
  if (b->selected_into != 0) {
    b->delete_when_free = true;
  } else {
    t.entries.erase(bitmap);
  }
}

}  // namespace detail

}  // namespace qz::gdi
