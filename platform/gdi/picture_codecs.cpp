#include "platform/gdi/picture_codecs.h"

#include <gif_lib.h>
#include <png.h>
#include <turbojpeg.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/automation/error.h"

namespace qz::gdi::codecs {

namespace {

[[noreturn]] void Invalid() {
  Raise(err::kInvalidPicture);
}

void CheckDimensions(std::int64_t width, std::int64_t height) {
  if (width <= 0 || height <= 0) Invalid();
  if (width * height > kMaxBitmapPixels) Raise(err::kOutOfMemory);
}

// A new 32-bit bitmap, deleted unless released to the caller.
class Canvas {
 public:
  Canvas(int width, int height) {
    CheckDimensions(width, height);
    handle_ = CreateCompatibleBitmap(0, width, height);
    if (handle_ == 0) Raise(err::kOutOfMemory);
    bits_ = BitmapBits::OfBitmap(handle_);
    if (!bits_) Raise(err::kOutOfMemory);
  }
  Canvas(const Canvas&) = delete;
  Canvas& operator=(const Canvas&) = delete;
  ~Canvas() {
    if (handle_ != 0) DeleteObject(handle_);
  }
  const BitmapBits& bits() const { return bits_; }
  HBITMAP Release() { return std::exchange(handle_, 0); }
  void Fill(std::uint32_t colour) {
    for (int y = 0; y < bits_.height(); ++y) {
      std::uint8_t* row = bits_.Row(y);
      for (int x = 0; x < bits_.width(); ++x) std::memcpy(row + 4 * x, &colour, 4);
    }
  }

 private:
  HBITMAP handle_ = 0;
  BitmapBits bits_;
};

inline void PutPixel(std::uint8_t* p, std::uint32_t b, std::uint32_t g, std::uint32_t r) {
  const std::uint32_t v = b | g << 8 | r << 16;
  std::memcpy(p, &v, 4);
}

std::uint32_t U16(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8;
}
std::uint32_t U32(const std::uint8_t* p) {
  return U16(p) | U16(p + 2) << 16;
}

// ---------------------------------------------------------------------------
// BMP

struct Mask {
  std::uint32_t mask = 0;
  int shift = 0;
  std::uint32_t max = 0;
  explicit Mask(std::uint32_t m = 0) : mask(m) {
    if (m == 0) return;
    while (((m >> shift) & 1u) == 0) ++shift;
    max = m >> shift;
  }
  std::uint32_t Scale(std::uint32_t v) const {
    if (max == 0) return 0;
    return static_cast<std::uint32_t>(
        (static_cast<std::uint64_t>((v & mask) >> shift) * 255 + max / 2) / max);
  }
};

struct BmpPalette {
  std::uint32_t colours[256] = {};
  std::uint32_t count = 0;
  void Put(std::uint8_t* p, std::uint32_t index) const {
    const std::uint32_t c = index < count ? colours[index] : 0;
    std::memcpy(p, &c, 4);
  }
};

void DecodeRle(const std::uint8_t* data, std::size_t size, std::size_t offset, int bits,
               const BmpPalette& palette, const BitmapBits& out) {
  const int width = out.width();
  const int height = out.height();
  int x = 0;
  int y = 0;  // from the bottom
  std::size_t i = offset;
  auto put = [&](std::uint32_t index) {
    if (x < width && y < height) palette.Put(out.Row(height - 1 - y) + 4 * x, index);
    ++x;
  };
  auto need = [&](std::size_t n) {
    if (n > size - i) Invalid();
  };
  for (;;) {
    need(2);
    const std::uint32_t count = data[i];
    const std::uint32_t value = data[i + 1];
    i += 2;
    if (count > 0) {
      for (std::uint32_t k = 0; k < count && x < width; ++k)
        put(bits == 8 ? value : (k % 2 == 0 ? value >> 4 : value & 0x0F));
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++y;
    } else if (value == 1) {  // end of bitmap
      return;
    } else if (value == 2) {  // delta
      need(2);
      x += data[i];
      y += data[i + 1];
      i += 2;
    } else {  // absolute run, padded to a 16-bit boundary
      const std::size_t bytes = bits == 8 ? value : (value + 1) / 2;
      need(bytes + (bytes & 1));
      for (std::uint32_t k = 0; k < value; ++k) {
        const std::uint32_t b = bits == 8 ? data[i + k] : data[i + k / 2];
        put(bits == 8 ? b : (k % 2 == 0 ? b >> 4 : b & 0x0F));
      }
      i += bytes + (bytes & 1);
    }
    if (y >= height) return;
    if (x > width + 255) x = width;  // keep the counter bounded
  }
}

}  // namespace

HBITMAP DecodeBmp(const std::uint8_t* data, std::size_t size) {
  if (size < 14 + 12) Invalid();
  const std::uint32_t pixel_offset = U32(data + 10);
  const std::uint32_t header_size = U32(data + 14);
  if (header_size != 12 && header_size < 40) Invalid();
  if (header_size > size - 14) Invalid();

  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t bits = 0;
  std::uint32_t compression = 0;
  std::uint32_t colours_used = 0;
  std::size_t palette_entry = 4;
  if (header_size == 12) {
    width = U16(data + 18);
    height = U16(data + 20);
    if (U16(data + 22) != 1) Invalid();
    bits = U16(data + 24);
    palette_entry = 3;
  } else {
    width = static_cast<std::int32_t>(U32(data + 18));
    height = static_cast<std::int32_t>(U32(data + 22));
    if (U16(data + 26) != 1) Invalid();
    bits = U16(data + 28);
    compression = U32(data + 30);
    colours_used = U32(data + 46);
  }
  const bool top_down = height < 0;
  if (top_down) height = -height;
  CheckDimensions(width, height);

  constexpr std::uint32_t kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3;
  switch (bits) {
    case 1:
    case 24:
      if (compression != kRgb) Invalid();
      break;
    case 4:
      if (compression != kRgb && compression != kRle4) Invalid();
      break;
    case 8:
      if (compression != kRgb && compression != kRle8) Invalid();
      break;
    case 16:
    case 32:
      if (compression != kRgb && compression != kBitfields) Invalid();
      break;
    default:
      Invalid();
  }
  const bool rle = compression == kRle8 || compression == kRle4;
  if (rle && top_down) Invalid();

  std::size_t after_header = 14 + header_size;
  Mask red(0x7C00), green(0x03E0), blue(0x001F);
  if (bits == 32) {
    red = Mask(0x00FF0000);
    green = Mask(0x0000FF00);
    blue = Mask(0x000000FF);
  }
  if (compression == kBitfields) {
    // The three masks follow a 40-byte header, or lie inside a longer one.
    const std::size_t at = 14 + 40;
    if (header_size == 40) {
      if (size - after_header < 12) Invalid();
      after_header += 12;
    } else if (header_size < 52) {
      Invalid();
    }
    red = Mask(U32(data + at));
    green = Mask(U32(data + at + 4));
    blue = Mask(U32(data + at + 8));
  }

  BmpPalette palette;
  if (bits <= 8) {
    const std::uint32_t full = 1u << bits;
    palette.count = colours_used == 0 ? full : std::min(colours_used, full);
    if (palette.count * palette_entry > size - after_header) Invalid();
    for (std::uint32_t k = 0; k < palette.count; ++k) {
      const std::uint8_t* e = data + after_header + k * palette_entry;
      palette.colours[k] =
          e[0] | static_cast<std::uint32_t>(e[1]) << 8 | static_cast<std::uint32_t>(e[2]) << 16;
    }
  }
  if (pixel_offset >= size) Invalid();

  const auto stride = static_cast<std::size_t>((width * bits + 31) / 32 * 4);
  if (!rle && stride * static_cast<std::size_t>(height) > size - pixel_offset) Invalid();

  Canvas canvas(static_cast<int>(width), static_cast<int>(height));
  const BitmapBits& out = canvas.bits();
  if (rle) {
    DecodeRle(data, size, pixel_offset, bits == 8 ? 8 : 4, palette, out);
    return canvas.Release();
  }
  for (std::int64_t r = 0; r < height; ++r) {
    const std::uint8_t* src = data + pixel_offset + static_cast<std::size_t>(r) * stride;
    std::uint8_t* dst = out.Row(static_cast<int>(top_down ? r : height - 1 - r));
    for (std::int64_t x = 0; x < width; ++x, dst += 4) {
      switch (bits) {
        case 1:
          palette.Put(dst, (src[x / 8] >> (7 - x % 8)) & 1u);
          break;
        case 4:
          palette.Put(dst, (src[x / 2] >> (x % 2 == 0 ? 4 : 0)) & 0x0Fu);
          break;
        case 8:
          palette.Put(dst, src[x]);
          break;
        case 16: {
          const std::uint32_t v = U16(src + 2 * x);
          PutPixel(dst, blue.Scale(v), green.Scale(v), red.Scale(v));
          break;
        }
        case 24:
          PutPixel(dst, src[3 * x], src[3 * x + 1], src[3 * x + 2]);
          break;
        default: {
          const std::uint32_t v = U32(src + 4 * x);
          PutPixel(dst, blue.Scale(v), green.Scale(v), red.Scale(v));
          break;
        }
      }
    }
  }
  return canvas.Release();
}

// ---------------------------------------------------------------------------
// JPEG

HBITMAP DecodeJpeg(const std::uint8_t* data, std::size_t size) {
  struct Decoder {
    tjhandle h = tjInitDecompress();
    ~Decoder() {
      if (h != nullptr) tjDestroy(h);
    }
  } decoder;
  if (decoder.h == nullptr) Raise(err::kOutOfMemory);
  int width = 0, height = 0, subsampling = 0, colourspace = 0;
  if (tjDecompressHeader3(decoder.h, data, static_cast<unsigned long>(size), &width, &height,
                          &subsampling, &colourspace) != 0)
    Invalid();
  CheckDimensions(width, height);
  Canvas canvas(width, height);
  const BitmapBits& out = canvas.bits();
  if (tjDecompress2(decoder.h, data, static_cast<unsigned long>(size), out.data(), width,
                    out.stride(), height, TJPF_BGRX, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) != 0)
    Invalid();
  return canvas.Release();
}

// ---------------------------------------------------------------------------
// PNG

namespace {

constexpr std::uint32_t kPngMaxDimension = 1u << 20;

struct PngSource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
};

struct PngJob {
  png_structp png = nullptr;
  png_infop info = nullptr;
  PngSource source{};
  std::int32_t error = 0;  // set instead of raising across libpng
  int width = 0;
  int height = 0;
  bool has_alpha = false;
  // The canvas is made between the header and the rows, outside libpng's
  // jump: ReadHeader answers, the caller makes it, ReadRows fills it.
  ~PngJob() { png_destroy_read_struct(&png, &info, nullptr); }
};

void PngRead(png_structp png, png_bytep out, png_size_t length) {
  auto* src = static_cast<PngSource*>(png_get_io_ptr(png));
  if (length > src->size - src->at) png_error(png, "truncated");
  std::memcpy(out, src->data + src->at, length);
  src->at += length;
}

[[noreturn]] void PngFail(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void PngWarn(png_structp, png_const_charp) {}

// No C++ objects with destructors live in the two functions that set jumps.
bool PngReadHeader(PngJob* job) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  png_set_read_fn(job->png, &job->source, PngRead);
  png_set_user_limits(job->png, kPngMaxDimension, kPngMaxDimension);
  png_set_chunk_malloc_max(job->png, 16u << 20);
  png_read_info(job->png, job->info);
  png_uint_32 w = 0, h = 0;
  int depth = 0, colour = 0, interlace = 0;
  png_get_IHDR(job->png, job->info, &w, &h, &depth, &colour, &interlace, nullptr, nullptr);
  job->width = static_cast<int>(w);
  job->height = static_cast<int>(h);
  job->has_alpha = (colour & PNG_COLOR_MASK_ALPHA) != 0 ||
                   png_get_valid(job->png, job->info, PNG_INFO_tRNS) != 0;
  png_set_expand(job->png);
  png_set_strip_16(job->png);
  png_set_gray_to_rgb(job->png);
  png_set_bgr(job->png);
  if (!job->has_alpha) png_set_filler(job->png, 0xFF, PNG_FILLER_AFTER);
  return true;
}

bool PngReadRows(PngJob* job, const BitmapBits* out) {
  if (setjmp(png_jmpbuf(job->png))) return false;
  const int passes = png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  if (png_get_rowbytes(job->png, job->info) != static_cast<png_size_t>(out->width()) * 4)
    return false;
  for (int pass = 0; pass < passes; ++pass)
    for (int y = 0; y < out->height(); ++y) png_read_row(job->png, out->Row(y), nullptr);
  return true;
}

void ComposeOverWhite(const BitmapBits& out) {
  for (int y = 0; y < out.height(); ++y) {
    std::uint8_t* p = out.Row(y);
    for (int x = 0; x < out.width(); ++x, p += 4) {
      const std::uint32_t a = p[3];
      for (int c = 0; c < 3; ++c)
        p[c] = static_cast<std::uint8_t>((p[c] * a + 255 * (255 - a) + 127) / 255);
      p[3] = 0;
    }
  }
}

}  // namespace

HBITMAP DecodePng(const std::uint8_t* data, std::size_t size) {
  PngJob job;
  job.source = PngSource{data, size, 0};
  job.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngFail, PngWarn);
  if (job.png == nullptr) Raise(err::kOutOfMemory);
  job.info = png_create_info_struct(job.png);
  if (job.info == nullptr) Raise(err::kOutOfMemory);
  if (!PngReadHeader(&job)) Invalid();
  CheckDimensions(job.width, job.height);
  Canvas canvas(job.width, job.height);
  if (!PngReadRows(&job, &canvas.bits())) Invalid();
  if (job.has_alpha) ComposeOverWhite(canvas.bits());
  return canvas.Release();
}

// ---------------------------------------------------------------------------
// GIF

namespace {

struct GifSource {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
};

int GifRead(GifFileType* gif, GifByteType* out, int length) {
  auto* src = static_cast<GifSource*>(gif->UserData);
  if (length <= 0) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(length), src->size - src->at);
  std::memcpy(out, src->data + src->at, n);
  src->at += n;
  return static_cast<int>(n);
}

struct GifCloser {
  GifFileType* gif = nullptr;
  ~GifCloser() {
    int error = 0;
    if (gif != nullptr) DGifCloseFile(gif, &error);
  }
};

}  // namespace

HBITMAP DecodeGif(const std::uint8_t* data, std::size_t size) {
  GifSource source{data, size, 0};
  int error = 0;
  GifCloser closer;
  closer.gif = DGifOpen(&source, GifRead, &error);
  GifFileType* gif = closer.gif;
  if (gif == nullptr) Invalid();

  int transparent = NO_TRANSPARENT_COLOR;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif, &type) != GIF_OK) Invalid();
    if (type == TERMINATE_RECORD_TYPE) Invalid();  // no image at all
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(gif, &code, &ext) != GIF_OK) Invalid();
      while (ext != nullptr) {
        if (code == GRAPHICS_EXT_FUNC_CODE && ext[0] >= 4) {
          GraphicsControlBlock gcb{};
          if (DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK)
            transparent = gcb.TransparentColor;
        }
        if (DGifGetExtensionNext(gif, &ext) != GIF_OK) Invalid();
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) Invalid();
    if (DGifGetImageDesc(gif) != GIF_OK) Invalid();
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
    if (map == nullptr || map->Colors == nullptr || desc.Width <= 0 || desc.Height <= 0) Invalid();
    CheckDimensions(desc.Width, desc.Height);
    const int canvas_w = gif->SWidth > 0 ? gif->SWidth : desc.Left + desc.Width;
    const int canvas_h = gif->SHeight > 0 ? gif->SHeight : desc.Top + desc.Height;
    Canvas canvas(canvas_w, canvas_h);
    canvas.Fill(0x00FFFFFFu);
    const BitmapBits& out = canvas.bits();
    std::vector<GifPixelType> line(static_cast<std::size_t>(desc.Width));
    auto paint_row = [&](int row) {
      if (DGifGetLine(gif, line.data(), desc.Width) != GIF_OK) Invalid();
      const int y = desc.Top + row;
      if (y < 0 || y >= out.height()) return;
      std::uint8_t* dst = out.Row(y);
      for (int k = 0; k < desc.Width; ++k) {
        const int x = desc.Left + k;
        const int index = line[static_cast<std::size_t>(k)];
        if (x < 0 || x >= out.width() || index == transparent || index >= map->ColorCount) continue;
        const GifColorType& c = map->Colors[index];
        PutPixel(dst + 4 * x, c.Blue, c.Green, c.Red);
      }
    };
    if (desc.Interlace) {
      constexpr int kStart[] = {0, 4, 2, 1};
      constexpr int kStep[] = {8, 8, 4, 2};
      for (int pass = 0; pass < 4; ++pass)
        for (int row = kStart[pass]; row < desc.Height; row += kStep[pass]) paint_row(row);
    } else {
      for (int row = 0; row < desc.Height; ++row) paint_row(row);
    }
    return canvas.Release();
  }
}

}  // namespace qz::gdi::codecs
