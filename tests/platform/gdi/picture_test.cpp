#include "platform/gdi/picture.h"

#include <cairo.h>
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <turbojpeg.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/automation/error.h"

namespace qz::gdi {
namespace {

using Bytes = std::vector<std::uint8_t>;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qz_picture_XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}
Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::uint32_t PixelAt(const Picture& picture, int x, int y) {
  const BitmapBits bits = BitmapBits::OfBitmap(picture.Handle());
  const std::uint8_t* p = bits.Row(y) + 4 * x;
  return p[0] | p[1] << 8 | p[2] << 16;
}

int ErrorNumberOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.number();
  }
  return 0;
}

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v);
  Put16(b, at + 2, v >> 16);
}

// A BMP file with a 40-byte information header.
Bytes MakeBmp(std::int32_t w, std::int32_t h, int bits, std::uint32_t compression,
              const std::vector<std::uint32_t>& palette, const Bytes& pixels,
              const std::vector<std::uint32_t>& masks = {}) {
  const std::size_t offset = 54 + masks.size() * 4 + palette.size() * 4;
  Bytes b(offset, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, static_cast<std::uint32_t>(offset + pixels.size()));
  Put32(b, 10, static_cast<std::uint32_t>(offset));
  Put32(b, 14, 40);
  Put32(b, 18, static_cast<std::uint32_t>(w));
  Put32(b, 22, static_cast<std::uint32_t>(h));
  Put16(b, 26, 1);
  Put16(b, 28, static_cast<std::uint32_t>(bits));
  Put32(b, 30, compression);
  Put32(b, 46, static_cast<std::uint32_t>(palette.size()));
  std::size_t at = 54;
  for (std::uint32_t m : masks) Put32(b, (at += 4) - 4, m);
  for (std::uint32_t c : palette) Put32(b, (at += 4) - 4, c);
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

Bytes MakeJpeg(int w, int h) {
  std::vector<std::uint8_t> rgb(static_cast<std::size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &rgb[(static_cast<std::size_t>(y) * w + x) * 3];
      p[0] = static_cast<std::uint8_t>(x * 255 / w);
      p[1] = static_cast<std::uint8_t>(y * 255 / h);
      p[2] = 128;
    }
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  EXPECT_EQ(tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, TJSAMP_444, 95, 0), 0);
  Bytes b(out, out + size);
  tjFree(out);
  tjDestroy(tj);
  return b;
}

Bytes MakePng() {
  // 3 x 1: opaque red, half-transparent black, fully transparent.
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 3, 1);
  cairo_surface_flush(s);
  auto* px = reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(s));
  px[0] = 0xFFFF0000u;
  px[1] = 0x80000000u;
  px[2] = 0x00000000u;
  cairo_surface_mark_dirty(s);
  Bytes b;
  cairo_surface_write_to_png_stream(
      s,
      [](void* closure, const unsigned char* data, unsigned int length) {
        auto* out = static_cast<Bytes*>(closure);
        out->insert(out->end(), data, data + length);
        return CAIRO_STATUS_SUCCESS;
      },
      &b);
  cairo_surface_destroy(s);
  return b;
}

Bytes MakeGif(bool interlace) {
  Bytes b;
  int error = 0;
  GifFileType* gif = EGifOpen(
      &b,
      [](GifFileType* g, const GifByteType* data, int length) {
        auto* out = static_cast<Bytes*>(g->UserData);
        out->insert(out->end(), data, data + length);
        return length;
      },
      &error);
  GifColorType colours[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colours);
  EGifSetGifVersion(gif, true);
  EGifPutScreenDesc(gif, 5, 4, 2, 0, map);
  GraphicsControlBlock gcb{};
  gcb.TransparentColor = 0;
  GifByteType ext[4];
  EGifGCBToExtension(&gcb, ext);
  EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
  // A 4 x 4 frame at (1, 0) on a 5 x 4 screen; index 0 is transparent.
  EGifPutImageDesc(gif, 1, 0, 4, 4, interlace, nullptr);
  const int order[] = {0, 2, 1, 3};  // interlaced rows go out in pass order
  for (int k = 0; k < 4; ++k) {
    const int row = interlace ? order[k] : k;
    GifPixelType line[4] = {static_cast<GifPixelType>(row % 4), 1, 2, 3};
    EGifPutLine(gif, line, 4);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return b;
}

std::uint32_t Crc32(const std::uint8_t* p, std::size_t n) {
  std::uint32_t c = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < n; ++i) {
    c ^= p[i];
    for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
  }
  return ~c;
}

TEST(Picture, SaveWritesA24BitBmpThatLoadsBackExactly) {
  TempDir dir;
  const HBITMAP bitmap = CreateCompatibleBitmap(0, 5, 3);
  {
    const BitmapBits bits = BitmapBits::OfBitmap(bitmap);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const std::uint32_t v = static_cast<std::uint32_t>(x * 50 | (y * 80) << 8 | (x + y) << 16);
        std::memcpy(bits.Row(y) + 4 * x, &v, 4);
      }
  }
  const Picture original(bitmap, Ownership::kOwned);
  const std::string path = dir.File("out.bmp");
  WriteFile(path, Bytes(1000, 0xEE));  // replaced, not appended to
  SavePicture(original, path);
  const Bytes file = ReadFile(path);
  ASSERT_EQ(file.size(), 54u + 16 * 3);
  EXPECT_EQ(file[0], 'B');
  EXPECT_EQ(file[10], 54);
  EXPECT_EQ(file[14], 40);
  EXPECT_EQ(file[18], 5);
  EXPECT_EQ(file[22], 3);  // positive height: bottom-up
  EXPECT_EQ(file[28], 24);
  // The first row in the file is the picture's bottom row.
  EXPECT_EQ(file[54 + 3], 50);  // blue of pixel (1, 2)
  EXPECT_EQ(file[54 + 4], 160);

  const Picture loaded = LoadPicture(path);
  ASSERT_EQ(loaded.Width(), 5);
  ASSERT_EQ(loaded.Height(), 3);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(PixelAt(loaded, x, y), PixelAt(original, x, y));

  EXPECT_EQ(ErrorNumberOf([&] { SavePicture(Picture(), dir.File("empty.bmp")); }),
            err::kInvalidPicture);
  EXPECT_EQ(ErrorNumberOf([&] { SavePicture(original, dir.File("no/such/folder.bmp")); }),
            err::kPathFileAccessError);
}

TEST(Picture, CopiesShareTheBitmapAndTheLastOneFreesIt) {
  const int before = CountHandles().bitmaps;
  HBITMAP handle = 0;
  {
    Picture a(CreateCompatibleBitmap(0, 2, 2), Ownership::kOwned);
    handle = a.Handle();
    Picture b = a;
    { Picture c = b; }
    EXPECT_EQ(b.Width(), 2);
    // Selected into a DC when the last copy goes: freed once the DC lets go.
    const HDC dc = CreateCompatibleDC(0);
    const HGDIOBJ old = SelectObject(dc, handle);
    a = Picture();
    b = Picture();
    BITMAP bm{};
    EXPECT_NE(GetObjectA(handle, sizeof bm, &bm), 0);
    SelectObject(dc, old);
    EXPECT_EQ(GetObjectA(handle, sizeof bm, &bm), 0);
    DeleteDC(dc);
  }
  {
    const HBITMAP borrowed = CreateCompatibleBitmap(0, 2, 2);
    { Picture p(borrowed, Ownership::kBorrowed); }
    EXPECT_EQ(DeleteObject(borrowed), TRUE);
  }
  EXPECT_EQ(CountHandles().bitmaps, before);
  EXPECT_TRUE(Picture().IsEmpty());
  EXPECT_EQ(Picture().Width(), 0);
  EXPECT_TRUE(LoadPicture("").IsEmpty());
}

TEST(Picture, LoadsBmpInItsCommonDepths) {
  const std::vector<std::uint32_t> pal = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  {  // 1 bit, 9 x 2: rows padded to 4 bytes; bottom row first
    const Bytes px = {0b10101010, 0b10000000, 0, 0, 0b01010101, 0b00000000, 0, 0};
    const Picture p = LoadPictureFromMemory(MakeBmp(9, 2, 1, 0, {0x000000, 0xFFFFFF}, px).data(),
                                            MakeBmp(9, 2, 1, 0, {0x000000, 0xFFFFFF}, px).size());
    ASSERT_EQ(p.Width(), 9);
    EXPECT_EQ(PixelAt(p, 0, 1), 0xFFFFFFu);  // bottom row, first pixel set
    EXPECT_EQ(PixelAt(p, 1, 1), 0u);
    EXPECT_EQ(PixelAt(p, 8, 1), 0xFFFFFFu);
    EXPECT_EQ(PixelAt(p, 0, 0), 0u);
    EXPECT_EQ(PixelAt(p, 1, 0), 0xFFFFFFu);
  }
  {  // 4 bit, 3 x 1
    const Bytes f = MakeBmp(3, 1, 4, 0, pal, {0x12, 0x30, 0, 0});
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    EXPECT_EQ(PixelAt(p, 0, 0), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 1, 0), 0x00FF00u);
    EXPECT_EQ(PixelAt(p, 2, 0), 0x0000FFu);
  }
  {  // 8 bit top-down, 2 x 2; an index past the palette reads as black
    const Bytes f = MakeBmp(2, -2, 8, 0, pal, {1, 2, 0, 0, 3, 200, 0, 0});
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    EXPECT_EQ(PixelAt(p, 0, 0), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 1, 0), 0x00FF00u);
    EXPECT_EQ(PixelAt(p, 0, 1), 0x0000FFu);
    EXPECT_EQ(PixelAt(p, 1, 1), 0u);
  }
  {  // 16 bit 5-6-5 bit fields, 2 x 1
    const Bytes f = MakeBmp(2, 1, 16, 3, {}, {0x00, 0xF8, 0x1F, 0x00}, {0xF800, 0x07E0, 0x001F});
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    EXPECT_EQ(PixelAt(p, 0, 0), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 1, 0), 0x0000FFu);
  }
  {  // 16 bit 5-5-5, 32 bit and 24 bit
    const Bytes f16 = MakeBmp(1, 1, 16, 0, {}, {0xE0, 0x03, 0, 0});
    EXPECT_EQ(PixelAt(LoadPictureFromMemory(f16.data(), f16.size()), 0, 0), 0x00FF00u);
    const Bytes f32 = MakeBmp(1, 1, 32, 0, {}, {0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(PixelAt(LoadPictureFromMemory(f32.data(), f32.size()), 0, 0), 0x332211u);
    const Bytes f24 = MakeBmp(1, 2, 24, 0, {}, {1, 2, 3, 0, 4, 5, 6, 0});
    const Picture p = LoadPictureFromMemory(f24.data(), f24.size());
    EXPECT_EQ(PixelAt(p, 0, 1), 0x030201u);
    EXPECT_EQ(PixelAt(p, 0, 0), 0x060504u);
  }
  {  // RLE8, 4 x 2: a run, end of line, an absolute run, end of bitmap
    const Bytes f = MakeBmp(4, 2, 8, 1, pal, {4, 1, 0, 0, 0, 3, 2, 3, 2, 0, 0, 1});
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    for (int x = 0; x < 4; ++x) EXPECT_EQ(PixelAt(p, x, 1), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 0, 0), 0x00FF00u);
    EXPECT_EQ(PixelAt(p, 1, 0), 0x0000FFu);
    EXPECT_EQ(PixelAt(p, 2, 0), 0x00FF00u);
    EXPECT_EQ(PixelAt(p, 3, 0), 0u);  // never written
  }
  {  // RLE4, 3 x 1: a run of alternating 1 and 2
    const Bytes f = MakeBmp(3, 1, 4, 2, pal, {3, 0x12, 0, 1});
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    EXPECT_EQ(PixelAt(p, 0, 0), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 1, 0), 0x00FF00u);
    EXPECT_EQ(PixelAt(p, 2, 0), 0xFF0000u);
  }
}

TEST(Picture, LoadsJpegPngAndGif) {
  {
    const Bytes f = MakeJpeg(40, 30);
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    ASSERT_EQ(p.Width(), 40);
    ASSERT_EQ(p.Height(), 30);
    for (int y = 0; y < 30; y += 7)
      for (int x = 0; x < 40; x += 9) {
        const std::uint32_t v = PixelAt(p, x, y);
        EXPECT_NEAR(static_cast<int>((v >> 16) & 0xFF), x * 255 / 40, 6);
        EXPECT_NEAR(static_cast<int>((v >> 8) & 0xFF), y * 255 / 30, 6);
        EXPECT_NEAR(static_cast<int>(v & 0xFF), 128, 6);
      }
  }
  {
    const Bytes f = MakePng();
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    ASSERT_EQ(p.Width(), 3);
    EXPECT_EQ(PixelAt(p, 0, 0), 0xFF0000u);
    const std::uint32_t half = PixelAt(p, 1, 0);
    EXPECT_NEAR(static_cast<int>(half & 0xFF), 127, 1);  // black at half over white
    EXPECT_EQ(PixelAt(p, 2, 0), 0xFFFFFFu);
  }
  for (bool interlace : {false, true}) {
    const Bytes f = MakeGif(interlace);
    const Picture p = LoadPictureFromMemory(f.data(), f.size());
    ASSERT_EQ(p.Width(), 5);
    ASSERT_EQ(p.Height(), 4);
    EXPECT_EQ(PixelAt(p, 0, 0), 0xFFFFFFu);  // outside the frame
    EXPECT_EQ(PixelAt(p, 1, 0), 0xFFFFFFu);  // transparent index 0
    EXPECT_EQ(PixelAt(p, 1, 1), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 1, 2), 0x00FF00u);
    EXPECT_EQ(PixelAt(p, 1, 3), 0x0000FFu);
    EXPECT_EQ(PixelAt(p, 2, 0), 0xFF0000u);
    EXPECT_EQ(PixelAt(p, 4, 3), 0x0000FFu);
  }
}

TEST(Picture, MissingEmptyAndUnknownFilesFailClearly) {
  TempDir dir;
  EXPECT_EQ(ErrorNumberOf([&] { LoadPicture(dir.File("missing.bmp")); }), err::kFileNotFound);
  EXPECT_EQ(ErrorNumberOf([&] { LoadPicture(dir.File("")); }), err::kFileNotFound);  // a folder
  WriteFile(dir.File("empty.bmp"), {});
  EXPECT_EQ(ErrorNumberOf([&] { LoadPicture(dir.File("empty.bmp")); }), err::kInvalidPicture);
  WriteFile(dir.File("text.bmp"), Bytes{'h', 'e', 'l', 'l', 'o'});
  EXPECT_EQ(ErrorNumberOf([&] { LoadPicture(dir.File("text.bmp")); }), err::kInvalidPicture);
}

// Every prefix of a good file either fails with Invalid picture or, where a
// decoder legitimately stops before the end, gives the whole picture.
void ExpectTruncationsFail(const Bytes& good, int w, int h, bool must_fail) {
  for (std::size_t n = 0; n < good.size(); n += 1 + good.size() / 97) {
    Picture p;
    const int number = ErrorNumberOf([&] { p = LoadPictureFromMemory(good.data(), n); });
    if (number == 0 && !must_fail) {
      EXPECT_EQ(p.Width(), w) << n;
      EXPECT_EQ(p.Height(), h) << n;
    } else {
      EXPECT_EQ(number, err::kInvalidPicture) << "prefix " << n << " of " << good.size();
    }
  }
}

TEST(Picture, BrokenCorpusFailsWithClearErrors) {
  const std::vector<std::uint32_t> pal = {0, 0xFFFFFF};
  const Bytes bmp24 = MakeBmp(7, 5, 24, 0, {}, Bytes(24 * 5, 0x40));
  const Bytes bmp8 = MakeBmp(7, 5, 8, 0, pal, Bytes(8 * 5, 1));
  const Bytes rle8 = MakeBmp(4, 2, 8, 1, pal, {4, 1, 0, 0, 4, 0, 0, 1});
  ExpectTruncationsFail(bmp24, 7, 5, true);
  ExpectTruncationsFail(bmp8, 7, 5, true);
  ExpectTruncationsFail(rle8, 4, 2, true);
  ExpectTruncationsFail(MakeJpeg(33, 17), 33, 17, true);
  ExpectTruncationsFail(MakePng(), 3, 1, false);
  ExpectTruncationsFail(MakeGif(true), 5, 4, false);

  auto load = [](const Bytes& b) {
    return ErrorNumberOf([&] { LoadPictureFromMemory(b.data(), b.size()); });
  };
  // Wrong sizes: the header promises more pixels than the file holds.
  EXPECT_EQ(load(MakeBmp(100, 100, 24, 0, {}, Bytes(32 * 10, 0))), err::kInvalidPicture);
  // Impossible headers.
  EXPECT_EQ(load(MakeBmp(-5, 5, 24, 0, {}, Bytes(100, 0))), err::kInvalidPicture);
  EXPECT_EQ(load(MakeBmp(5, 0, 24, 0, {}, Bytes(100, 0))), err::kInvalidPicture);
  EXPECT_EQ(load(MakeBmp(5, 5, 7, 0, {}, Bytes(100, 0))), err::kInvalidPicture);
  EXPECT_EQ(load(MakeBmp(5, 5, 24, 1, {}, Bytes(100, 0))), err::kInvalidPicture);
  EXPECT_EQ(load(MakeBmp(5, -5, 8, 1, pal, Bytes(100, 0))), err::kInvalidPicture);
  Bytes bad_header = bmp24;
  Put32(bad_header, 14, 0x7FFFFFF0);
  EXPECT_EQ(load(bad_header), err::kInvalidPicture);
  // Bit fields with a 44-byte header: the masks would lie past the header.
  Bytes short_fields = MakeBmp(1, 1, 16, 3, {}, {});
  Put32(short_fields, 14, 44);
  short_fields.resize(58);
  EXPECT_EQ(load(short_fields), err::kInvalidPicture);
  Bytes bad_offset = bmp24;
  Put32(bad_offset, 10, 0xFFFFFFF0);
  EXPECT_EQ(load(bad_offset), err::kInvalidPicture);
  // Huge dimensions are refused before anything is allocated.
  EXPECT_EQ(load(MakeBmp(100000, 100000, 24, 0, {}, Bytes(64, 0))), err::kOutOfMemory);
  EXPECT_EQ(load(MakeBmp(0x7FFFFFFF, -0x7FFFFFFF, 32, 0, {}, Bytes(64, 0))), err::kOutOfMemory);
  Bytes jpeg = MakeJpeg(16, 16);
  for (std::size_t i = 0; i + 8 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
      const std::uint8_t big[] = {0xEA, 0x60};  // 60000, big-endian
      jpeg[i + 5] = big[0];                     // height
      jpeg[i + 6] = big[1];
      jpeg[i + 7] = big[0];  // width
      jpeg[i + 8] = big[1];
      break;
    }
  }
  EXPECT_EQ(load(jpeg), err::kOutOfMemory);
  Bytes png = MakePng();
  Put32(png, 16, 0x00000100);  // width 65536, big-endian
  Put32(png, 20, 0x00000100);  // height 65536
  const std::uint32_t crc = Crc32(png.data() + 12, 17);
  png[29] = static_cast<std::uint8_t>(crc >> 24);
  png[30] = static_cast<std::uint8_t>(crc >> 16);
  png[31] = static_cast<std::uint8_t>(crc >> 8);
  png[32] = static_cast<std::uint8_t>(crc);
  EXPECT_EQ(load(png), err::kOutOfMemory);
  Bytes gif = MakeGif(false);
  Put16(gif, 6, 0xFFFF);
  Put16(gif, 8, 0xFFFF);
  EXPECT_EQ(load(gif), err::kOutOfMemory);
  // A PNG whose image data was swapped for another's fails on its checksum.
  Bytes png_bad = MakePng();
  png_bad[png_bad.size() - 20] ^= 0x5A;
  EXPECT_EQ(load(png_bad), err::kInvalidPicture);

  // Scattered corruption: any outcome but a crash or a stray error number.
  for (const Bytes& good : {bmp24, bmp8, rle8, MakeJpeg(20, 12), MakePng(), MakeGif(true)}) {
    for (std::size_t i = 0; i < good.size(); i += 3) {
      Bytes bad = good;
      bad[i] ^= static_cast<std::uint8_t>(0x55 + i);
      const int number = load(bad);
      EXPECT_TRUE(number == 0 || number == err::kInvalidPicture || number == err::kOutOfMemory)
          << number;
    }
  }
}

}  // namespace
}  // namespace qz::gdi
