// Picture objects and the platform's picture loading and saving.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/gdi/gdi.h"

namespace qz::gdi {

enum class Ownership { kOwned, kBorrowed };

// A picture: a bitmap handle (its default value) or the empty picture
// (handle 0). Copies share one bitmap. An owned bitmap is deleted when the
// last copy goes (if it is selected into a DC at that moment, as soon as the
// DC lets go of it); a borrowed one is never deleted by the picture.
class Picture {
 public:
  Picture() = default;  // the empty picture
  Picture(HBITMAP bitmap, Ownership ownership);

  HBITMAP Handle() const noexcept;
  bool IsEmpty() const noexcept { return Handle() == 0; }
  // Size in pixels of the bitmap (0 x 0 for the empty picture or a bitmap
  // that no longer exists).
  int Width() const;
  int Height() const;

 private:
  struct Holder;
  std::shared_ptr<Holder> holder_;
};

// Bytes of a picture file read before anything is decoded (and the largest
// file accepted).
inline constexpr std::int64_t kMaxPictureFileBytes = 256LL * 1024 * 1024;

// Reads an image file into a new 32-bit bitmap owned by the answer: BMP
// (1, 4, 8, 16, 24, 32 bits per pixel, bottom-up or top-down, RLE4 and RLE8),
// JPEG, PNG and GIF (first frame); transparency is laid over white. An empty
// path answers the empty picture. Errors: 53 File not found (missing file or
// a folder), 481 Invalid picture (unknown format, truncated or corrupt data),
// 7 Out of memory (dimensions over kMaxBitmapPixels, a file over
// kMaxPictureFileBytes).
Picture LoadPicture(const std::string& path);
// As LoadPicture, from bytes in memory (the fuzzer's entry).
Picture LoadPictureFromMemory(const std::uint8_t* data, std::size_t size);

// Writes the picture's bitmap as a 24-bit bottom-up BMP file (14-byte file
// header, 40-byte information header, no palette), replacing any file there.
// Errors: 481 for the empty picture or a dead handle, 75 Path/File access
// error when the file cannot be written.
void SavePicture(const Picture& picture, const std::string& path);

}  // namespace qz::gdi
