#include "platform/gdi/picture.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/automation/error.h"
#include "platform/gdi/gdi_p.h"
#include "platform/gdi/picture_codecs.h"
#include "platform/kernel/kernel.h"

namespace qz::gdi {

struct Picture::Holder {
  HBITMAP bitmap = 0;
  Ownership ownership = Ownership::kBorrowed;
  ~Holder() {
    if (ownership == Ownership::kOwned) detail::ReleaseOwnedBitmap(bitmap);
  }
};

Picture::Picture(HBITMAP bitmap, Ownership ownership) {
  if (bitmap == 0) return;
  holder_ = std::make_shared<Holder>();
  holder_->bitmap = bitmap;
  holder_->ownership = ownership;
}

HBITMAP Picture::Handle() const noexcept {
  return holder_ ? holder_->bitmap : 0;
}

int Picture::Width() const {
  BITMAP bm{};
  return GetObjectA(Handle(), sizeof bm, &bm) != 0 ? bm.bmWidth : 0;
}

int Picture::Height() const {
  BITMAP bm{};
  return GetObjectA(Handle(), sizeof bm, &bm) != 0 ? bm.bmHeight : 0;
}

Picture LoadPictureFromMemory(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr || size < 4) Raise(err::kInvalidPicture);
  HBITMAP bitmap = 0;
  if (data[0] == 'B' && data[1] == 'M') {
    bitmap = codecs::DecodeBmp(data, size);
  } else if (data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF) {
    bitmap = codecs::DecodeJpeg(data, size);
  } else if (size >= 8 && std::memcmp(data, "\x89PNG\r\n\x1a\n", 8) == 0) {
    bitmap = codecs::DecodePng(data, size);
  } else if (size >= 6 &&
             (std::memcmp(data, "GIF87a", 6) == 0 || std::memcmp(data, "GIF89a", 6) == 0)) {
    bitmap = codecs::DecodeGif(data, size);
  } else {
    Raise(err::kInvalidPicture);
  }
  return Picture(bitmap, Ownership::kOwned);
}

Picture LoadPicture(const std::string& path) {
  if (path.empty()) return Picture();
  const ByteArray bytes = kernel::ReadWholeFile(path, kMaxPictureFileBytes);
  return LoadPictureFromMemory(bytes.data(), bytes.size());
}

namespace {

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

}  // namespace

void SavePicture(const Picture& picture, const std::string& path) {
  const BitmapBits bits = BitmapBits::OfBitmap(picture.Handle());
  if (!bits) Raise(err::kInvalidPicture);
  const int w = bits.width();
  const int h = bits.height();
  // Sizes are bounded by kMaxBitmapPixels, so these fit in 32 bits.
  const std::uint32_t stride = (static_cast<std::uint32_t>(w) * 3 + 3) & ~3u;
  const std::uint32_t image_bytes = stride * static_cast<std::uint32_t>(h);
  std::uint8_t header[54] = {};
  header[0] = 'B';
  header[1] = 'M';
  Put32(header + 2, 54 + image_bytes);
  Put32(header + 10, 54);
  Put32(header + 14, 40);
  Put32(header + 18, static_cast<std::uint32_t>(w));
  Put32(header + 22, static_cast<std::uint32_t>(h));
  Put16(header + 26, 1);
  Put16(header + 28, 24);
  Put32(header + 30, 0);
  Put32(header + 34, image_bytes);
  Put32(header + 38, 3780);  // 96 dpi in pixels per metre
  Put32(header + 42, 3780);

  // Written beside the target and renamed over it: a failure never leaves a
  // truncated file under the target's name.
  kernel::SiblingFile sibling(path);
  {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(sibling.path().c_str(), "wb"));
    if (!file) Raise(err::kPathFileAccessError);
    std::vector<std::uint8_t> row(stride, 0);
    bool ok = std::fwrite(header, 1, sizeof header, file.get()) == sizeof header;
    for (int y = h - 1; ok && y >= 0; --y) {
      const std::uint8_t* src = bits.Row(y);
      if (bits.bits_per_pixel() == 24) {
        std::memcpy(row.data(), src, static_cast<std::size_t>(w) * 3);
      } else {
        for (int x = 0; x < w; ++x) {
          row[3 * x] = src[4 * x];
          row[3 * x + 1] = src[4 * x + 1];
          row[3 * x + 2] = src[4 * x + 2];
        }
      }
      ok = std::fwrite(row.data(), 1, stride, file.get()) == stride;
    }
    if (std::fclose(file.release()) != 0) ok = false;
    if (!ok) Raise(err::kPathFileAccessError);
  }
  sibling.Commit();
}

}  // namespace qz::gdi
