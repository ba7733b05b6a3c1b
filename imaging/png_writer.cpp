#include "imaging/png_writer.h"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <limits>

#include "platform/automation/error.h"

namespace qz::imaging {

namespace {

// Where the encoder's output and failures go while libpng runs.
struct PngTarget {
  std::vector<std::uint8_t>* out = nullptr;
  bool out_of_memory = false;
  std::array<char, 160> message{};
};

void OnPngError(png_structp png, png_const_charp message) {
  auto* target = static_cast<PngTarget*>(png_get_error_ptr(png));
  if (target != nullptr && message != nullptr)
    std::strncpy(target->message.data(), message, target->message.size() - 1);
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

void OnPngWrite(png_structp png, png_bytep data, std::size_t length) {
  auto* target = static_cast<PngTarget*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    target->out->insert(target->out->end(), data, data + length);
  } catch (...) {
    failed = true;
  }
  // Leaves through libpng's error path only after the handler has ended.
  if (failed) {
    target->out_of_memory = true;
    png_error(png, "out of memory");
  }
}

void OnPngFlush(png_structp) {}

// png_destroy_write_struct on every way out.
class PngWriteStruct {
 public:
  explicit PngWriteStruct(PngTarget* target)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, target, OnPngError, OnPngWarning)) {
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
  }
  PngWriteStruct(const PngWriteStruct&) = delete;
  PngWriteStruct& operator=(const PngWriteStruct&) = delete;
  ~PngWriteStruct() {
    if (png_ != nullptr) png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr);
  }
  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
};

// The picture as libpng takes it: rows top first, and for a palette picture
// its colours and one index a pixel packed to bit_depth.
struct PngImage {
  int width = 0, height = 0;
  int colour_type = PNG_COLOR_TYPE_RGB;
  int bit_depth = 8;
  bool bgr = true;
  std::vector<png_color> palette;
  std::vector<std::uint8_t> indices;
  std::vector<png_bytep> rows;
};

// Open addressing over 24-bit colours; big enough that 256 colours leave
// most probes short.
class ColourTable {
 public:
  static constexpr std::size_t kSlots = 2048;
  // The colour's index, a new index for a new colour, or -1 once the table
  // holds limit colours and this one is new.
  int Find(std::uint32_t rgb, int limit) {
    std::size_t slot = (rgb * 2654435761u) >> 21 & (kSlots - 1);
    while (true) {
      if (keys_[slot] == 0) {
        if (count_ >= limit) return -1;
        keys_[slot] = rgb | 0x1000000u;
        values_[slot] = static_cast<std::int16_t>(count_);
        colours_[static_cast<std::size_t>(count_)] = rgb;
        return count_++;
      }
      if (keys_[slot] == (rgb | 0x1000000u)) return values_[slot];
      slot = (slot + 1) & (kSlots - 1);
    }
  }
  int count() const { return count_; }
  std::uint32_t colour(int i) const { return colours_[static_cast<std::size_t>(i)]; }

 private:
  std::array<std::uint32_t, kSlots> keys_{};
  std::array<std::int16_t, kSlots> values_{};
  std::array<std::uint32_t, 256> colours_{};
  int count_ = 0;
};

std::uint32_t PixelAt(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[0];
}

std::size_t CheckedProduct(std::size_t a, std::size_t b) {
  if (a != 0 && b > std::numeric_limits<std::size_t>::max() / a) Raise(err::kOverflow);
  return a * b;
}

// Fills image with an indexed picture when buffer has at most 256 colours;
// false (image untouched) otherwise.
bool TryPalette(const cDIBSection& buffer, std::size_t stride, PngImage& image) {
  const int w = buffer.Width(), h = buffer.Height();
  ColourTable table;
  // One byte a pixel first, packed below once the colour count is known.
  std::vector<std::uint8_t> bytes(
      CheckedProduct(static_cast<std::size_t>(w), static_cast<std::size_t>(h)));
  const std::uint8_t* bits = buffer.DIBSectionBitsPtr();
  for (int y = 0; y < h; ++y) {
    // Memory row h - 1 - y is picture row y.
    const std::uint8_t* src = bits + static_cast<std::size_t>(h - 1 - y) * stride;
    std::uint8_t* dst = bytes.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(w);
    std::uint32_t last = 0xFFFFFFFFu;
    int last_index = 0;
    for (int x = 0; x < w; ++x, src += 3) {
      const std::uint32_t rgb = PixelAt(src);
      if (rgb != last) {
        last_index = table.Find(rgb, 256);
        if (last_index < 0) return false;
        last = rgb;
      }
      dst[x] = static_cast<std::uint8_t>(last_index);
    }
  }
  const int n = table.count();
  image.bit_depth = n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8;
  image.colour_type = PNG_COLOR_TYPE_PALETTE;
  image.bgr = false;
  image.palette.resize(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    const std::uint32_t c = table.colour(i);
    image.palette[static_cast<std::size_t>(i)] = {
        static_cast<png_byte>(c >> 16), static_cast<png_byte>(c >> 8), static_cast<png_byte>(c)};
  }
  const int per_byte = 8 / image.bit_depth;
  const std::size_t row_bytes = (static_cast<std::size_t>(w) + per_byte - 1) / per_byte;
  if (image.bit_depth == 8) {
    image.indices = std::move(bytes);
  } else {
    image.indices.assign(CheckedProduct(row_bytes, static_cast<std::size_t>(h)), 0);
    for (int y = 0; y < h; ++y) {
      const std::uint8_t* src = bytes.data() + static_cast<std::size_t>(y) * w;
      std::uint8_t* dst = image.indices.data() + static_cast<std::size_t>(y) * row_bytes;
      for (int x = 0; x < w; ++x) {
        const int shift = 8 - image.bit_depth * (x % per_byte + 1);
        dst[x / per_byte] |= static_cast<std::uint8_t>(src[x] << shift);
      }
    }
  }
  image.rows.resize(static_cast<std::size_t>(h));
  for (int y = 0; y < h; ++y)
    image.rows[static_cast<std::size_t>(y)] =
        image.indices.data() + static_cast<std::size_t>(y) * row_bytes;
  return true;
}

// The libpng calls, apart from every C++ object: libpng leaves through
// longjmp, which must not skip a destructor. Answers false on failure.
bool RunPng(png_structp png, png_infop info, PngTarget* target, PngImage* image, int dots_per_inch,
            int level, int filters, int strategy) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, target, OnPngWrite, OnPngFlush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image->width),
               static_cast<png_uint_32>(image->height), image->bit_depth, image->colour_type,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (image->colour_type == PNG_COLOR_TYPE_PALETTE)
    png_set_PLTE(png, info, image->palette.data(), static_cast<int>(image->palette.size()));
  const auto per_metre = static_cast<png_uint_32>(std::lround(dots_per_inch / 0.0254));
  png_set_pHYs(png, info, per_metre, per_metre, PNG_RESOLUTION_METER);
  png_set_compression_level(png, level);
  png_set_compression_strategy(png, strategy);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, filters);
  png_write_info(png, info);
  if (image->bgr) png_set_bgr(png);
  png_write_image(png, image->rows.data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

int CountColours(const cDIBSection& buffer, int limit) {
  if (buffer.DIBSectionBitsPtr() == nullptr) Raise(err::kObjectVariableNotSet);
  limit = std::clamp(limit, 0, 256);
  const auto stride = static_cast<std::size_t>(buffer.BytesPerScanLine());
  ColourTable table;
  for (int y = 0; y < buffer.Height(); ++y) {
    const std::uint8_t* p = buffer.DIBSectionBitsPtr() + static_cast<std::size_t>(y) * stride;
    for (int x = 0; x < buffer.Width(); ++x, p += 3)
      if (table.Find(PixelAt(p), limit) < 0) return limit + 1;
  }
  return table.count();
}

std::vector<std::uint8_t> EncodePng(const cDIBSection& buffer, int dots_per_inch,
                                    const PngSettings& settings) {
  if (buffer.DIBSectionBitsPtr() == nullptr || buffer.Width() <= 0 || buffer.Height() <= 0)
    Raise(err::kObjectVariableNotSet);
  if (dots_per_inch < 1 || dots_per_inch > 65535) Raise(err::kInvalidProcedureCall);
  const auto stride = static_cast<std::size_t>(buffer.BytesPerScanLine());
  PngImage image;
  image.width = buffer.Width();
  image.height = buffer.Height();
  if (!settings.palette || !TryPalette(buffer, stride, image)) {
    image.rows.resize(static_cast<std::size_t>(image.height));
    for (int y = 0; y < image.height; ++y)
      image.rows[static_cast<std::size_t>(y)] =
          buffer.DIBSectionBitsPtr() + static_cast<std::size_t>(image.height - 1 - y) * stride;
  }
  const bool indexed = image.colour_type == PNG_COLOR_TYPE_PALETTE;
  // Measured on the bench chart (render_road_bench's PngSettings): indexed
  // pictures are smallest and fastest unfiltered (the adaptive choice costs
  // twice the time for more bytes); RGB ones take the Sub filter, within a
  // quarter of the adaptive choice's size at less than half its time.
  const int filters = settings.filters >= 0 ? settings.filters
                      : indexed             ? PNG_FILTER_NONE
                                            : PNG_FILTER_SUB;
  const int strategy = settings.strategy >= 0 ? settings.strategy : Z_DEFAULT_STRATEGY;

  std::vector<std::uint8_t> out;
  // Indexed data compresses to a few per cent of its size; RGB to more.
  out.reserve(indexed ? image.indices.size() / 8 : CheckedProduct(stride, image.height) / 4);
  PngTarget target;
  target.out = &out;
  PngWriteStruct writer(&target);
  if (writer.png() == nullptr || writer.info() == nullptr) Raise(err::kOutOfMemory);
  if (!RunPng(writer.png(), writer.info(), &target, &image, dots_per_inch,
              settings.compression_level, filters, strategy)) {
    if (target.out_of_memory) Raise(err::kOutOfMemory);
    Raise(err::kInternalError, std::string("PNG encoder: ") + target.message.data());
  }
  return out;
}

}  // namespace qz::imaging
