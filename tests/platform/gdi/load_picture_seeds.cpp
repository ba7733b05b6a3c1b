// Writes a small seed corpus for the LoadPicture fuzzer into the folder
// given as the only argument: BMP in several depths and encodings, JPEG
// (baseline and progressive), PNG and GIF, each a few pixels in size.
#include <cairo.h>
#include <gif_lib.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Write(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

void Put(Bytes& b, std::size_t at, std::uint32_t v, int n) {
  for (int i = 0; i < n; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

Bytes Bmp(std::int32_t w, std::int32_t h, int bits, std::uint32_t compression,
          const std::vector<std::uint32_t>& palette, const Bytes& pixels,
          const std::vector<std::uint32_t>& masks = {}) {
  const std::size_t offset = 54 + 4 * (masks.size() + palette.size());
  Bytes b(offset, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put(b, 2, static_cast<std::uint32_t>(offset + pixels.size()), 4);
  Put(b, 10, static_cast<std::uint32_t>(offset), 4);
  Put(b, 14, 40, 4);
  Put(b, 18, static_cast<std::uint32_t>(w), 4);
  Put(b, 22, static_cast<std::uint32_t>(h), 4);
  Put(b, 26, 1, 2);
  Put(b, 28, static_cast<std::uint32_t>(bits), 2);
  Put(b, 30, compression, 4);
  Put(b, 46, static_cast<std::uint32_t>(palette.size()), 4);
  std::size_t at = 54;
  for (auto m : masks) Put(b, (at += 4) - 4, m, 4);
  for (auto c : palette) Put(b, (at += 4) - 4, c, 4);
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

Bytes Jpeg(int flags, int subsampling) {
  const int w = 9, h = 7;
  Bytes rgb(w * h * 3);
  for (std::size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<std::uint8_t>(i * 29);
  tjhandle tj = tjInitCompress();
  unsigned char* out = nullptr;
  unsigned long size = 0;
  tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &out, &size, subsampling, 90, flags);
  Bytes b(out, out + size);
  tjFree(out);
  tjDestroy(tj);
  return b;
}

Bytes Png(cairo_format_t format) {
  cairo_surface_t* s = cairo_image_surface_create(format, 5, 3);
  cairo_t* cr = cairo_create(s);
  cairo_set_source_rgba(cr, 0.2, 0.6, 0.9, 0.5);
  cairo_rectangle(cr, 1, 1, 3, 1);
  cairo_fill(cr);
  cairo_destroy(cr);
  Bytes b;
  cairo_surface_write_to_png_stream(
      s,
      [](void* closure, const unsigned char* data, unsigned int length) {
        static_cast<Bytes*>(closure)->insert(static_cast<Bytes*>(closure)->end(), data,
                                             data + length);
        return CAIRO_STATUS_SUCCESS;
      },
      &b);
  cairo_surface_destroy(s);
  return b;
}

Bytes Gif(bool interlace) {
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
  EGifPutScreenDesc(gif, 6, 5, 2, 0, map);
  GraphicsControlBlock gcb{};
  gcb.TransparentColor = 0;
  GifByteType ext[4];
  EGifGCBToExtension(&gcb, ext);
  EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, 4, ext);
  EGifPutImageDesc(gif, 1, 1, 4, 4, interlace, nullptr);
  for (int row = 0; row < 4; ++row) {
    GifPixelType line[4] = {0, 1, 2, static_cast<GifPixelType>(row % 4)};
    EGifPutLine(gif, line, 4);
  }
  EGifCloseFile(gif, &error);
  GifFreeMapObject(map);
  return b;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  const std::string dir = argv[1];
  const std::vector<std::uint32_t> pal = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
  Write(dir + "/bmp24.bmp", Bmp(3, 2, 24, 0, {}, Bytes(24, 0x7F)));
  Write(dir + "/bmp24_topdown.bmp", Bmp(3, -2, 24, 0, {}, Bytes(24, 0x30)));
  Write(dir + "/bmp32.bmp", Bmp(2, 2, 32, 0, {}, Bytes(16, 0x44)));
  Write(dir + "/bmp32_fields.bmp", Bmp(2, 2, 32, 3, {}, Bytes(16, 0x21), {0xFF0000, 0xFF00, 0xFF}));
  Write(dir + "/bmp16_565.bmp", Bmp(2, 2, 16, 3, {}, Bytes(8, 0x5A), {0xF800, 0x07E0, 0x001F}));
  Write(dir + "/bmp8.bmp", Bmp(3, 2, 8, 0, pal, {1, 2, 3, 0, 3, 2, 1, 0}));
  Write(dir + "/bmp4.bmp", Bmp(3, 2, 4, 0, pal, {0x12, 0x30, 0, 0, 0x32, 0x10, 0, 0}));
  Write(dir + "/bmp1.bmp", Bmp(9, 2, 1, 0, {0, 0xFFFFFF}, {0xAA, 0x80, 0, 0, 0x55, 0, 0, 0}));
  Write(dir + "/rle8.bmp", Bmp(4, 2, 8, 1, pal, {4, 1, 0, 0, 0, 3, 2, 3, 2, 0, 0, 2, 1, 0, 0, 1}));
  Write(dir + "/rle4.bmp", Bmp(4, 2, 4, 2, pal, {4, 0x12, 0, 0, 0, 3, 0x23, 0x10, 0, 1}));
  Write(dir + "/baseline.jpg", Jpeg(0, TJSAMP_420));
  Write(dir + "/progressive.jpg", Jpeg(TJFLAG_PROGRESSIVE, TJSAMP_444));
  Write(dir + "/grey.jpg", Jpeg(0, TJSAMP_GRAY));
  Write(dir + "/argb.png", Png(CAIRO_FORMAT_ARGB32));
  Write(dir + "/rgb.png", Png(CAIRO_FORMAT_RGB24));
  Write(dir + "/grey.png", Png(CAIRO_FORMAT_A8));
  Write(dir + "/plain.gif", Gif(false));
  Write(dir + "/interlaced.gif", Gif(true));
  return 0;
}
