#include "platform/ijl/ijl.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace qz::ijl {

namespace {

constexpr std::uint32_t kInitialised = 0x494A4C31;  // "IJL1"

// One compressor per thread, kept between calls together with its output
// buffer: creating the encoder and faulting in a fresh worst-case buffer
// cost as much as a small chart's colour conversion.
class Compressor {
 public:
  static constexpr unsigned long kKeptBytes = 32ul << 20;

  Compressor() = default;
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;
  ~Compressor() {
    Release();
    if (handle_ != nullptr) tjDestroy(handle_);
  }

  // Compresses into the kept buffer; answers its bytes, or false.
  bool Compress(const unsigned char* pixels, int width, int pitch, int height, int format,
                int subsampling, int quality, int flags, const unsigned char** jpeg,
                unsigned long* size) {
    if (handle_ == nullptr) handle_ = tjInitCompress();
    if (handle_ == nullptr) return false;
    const unsigned long needed = tjBufSize(width, height, subsampling);
    if (needed == static_cast<unsigned long>(-1) || needed > INT32_MAX) return false;
    if (needed > capacity_) {
      Release();
      buffer_ = tjAlloc(static_cast<int>(needed));
      if (buffer_ == nullptr) return false;
      capacity_ = needed;
    }
    *size = capacity_;
    if (tjCompress2(handle_, pixels, width, pitch, height, format, &buffer_, size, subsampling,
                    quality, flags | TJFLAG_NOREALLOC) != 0)
      return false;
    *jpeg = buffer_;
    return true;
  }

  // Lets go of a buffer too large to keep for the next picture.
  void Trim() {
    if (capacity_ > kKeptBytes) Release();
  }

  void Release() {
    if (buffer_ != nullptr) tjFree(buffer_);
    buffer_ = nullptr;
    capacity_ = 0;
  }

 private:
  tjhandle handle_ = nullptr;
  unsigned char* buffer_ = nullptr;
  unsigned long capacity_ = 0;
};

IJLERR Validate(const JPEG_CORE_PROPERTIES& p, int* pixel_format, int* subsampling, int* pitch) {
  if (p.initialised_magic_ != kInitialised) return IJL_NOT_INITIALISED;
  if (p.DIBBytes == nullptr || p.JPGFile == nullptr || *p.JPGFile == '\0') return IJL_NULL_POINTER;
  if (p.DIBWidth <= 0 || p.DIBHeight == 0 || p.DIBHeight == std::numeric_limits<int>::min())
    return IJL_INVALID_SIZE;
  const int height = p.DIBHeight < 0 ? -p.DIBHeight : p.DIBHeight;
  if (p.JPGWidth != p.DIBWidth || p.JPGHeight != height) return IJL_INVALID_SIZE;
  if (p.jquality < 1 || p.jquality > 100) return IJL_INVALID_QUALITY;

  if (p.DIBChannels == 3 && p.DIBColor == IJL_BGR) {
    *pixel_format = TJPF_BGR;
  } else if (p.DIBChannels == 3 && p.DIBColor == IJL_RGB) {
    *pixel_format = TJPF_RGB;
  } else if (p.DIBChannels == 1 && p.DIBColor == IJL_G) {
    *pixel_format = TJPF_GRAY;
  } else {
    return IJL_UNSUPPORTED_COLOR;
  }
  if (p.JPGColor == IJL_YCBCR && p.JPGChannels == 3 && p.DIBChannels == 3) {
    switch (p.JPGSubSampling) {
      case IJL_NONE:
        *subsampling = TJSAMP_444;
        break;
      case IJL_411:
        *subsampling = TJSAMP_420;
        break;
      case IJL_422:
        *subsampling = TJSAMP_422;
        break;
      default:
        return IJL_UNSUPPORTED_SUBSAMPLING;
    }
  } else if (p.JPGColor == IJL_G && p.JPGChannels == 1) {
    *subsampling = TJSAMP_GRAY;
  } else {
    return IJL_UNSUPPORTED_COLOR;
  }

  if (p.DIBPadBytes < 0) return IJL_INVALID_PADDING;
  const std::int64_t row = static_cast<std::int64_t>(p.DIBWidth) * p.DIBChannels + p.DIBPadBytes;
  if (row > std::numeric_limits<int>::max() ||
      row * height > std::numeric_limits<std::int32_t>::max())
    return IJL_INVALID_PADDING;
  *pitch = static_cast<int>(row);
  return IJL_OK;
}

}  // namespace

IJLERR ijlInit(JPEG_CORE_PROPERTIES* jcprops) {
  if (jcprops == nullptr) return IJL_NULL_POINTER;
  *jcprops = JPEG_CORE_PROPERTIES{};
  jcprops->DIBChannels = 3;
  jcprops->DIBColor = IJL_BGR;
  jcprops->DIBSubsampling = IJL_NONE;
  jcprops->JPGChannels = 3;
  jcprops->JPGColor = IJL_YCBCR;
  jcprops->JPGSubSampling = IJL_NONE;
  jcprops->jquality = 75;
  jcprops->initialised_magic_ = kInitialised;
  return IJL_OK;
}

IJLERR ijlWrite(JPEG_CORE_PROPERTIES* jcprops, IJLIOTYPE iotype) {
  if (jcprops == nullptr) return IJL_NULL_POINTER;
  if (iotype != IJL_JFILE_WRITEWHOLEIMAGE) return IJL_UNSUPPORTED_IOTYPE;
  int pixel_format = 0, subsampling = 0, pitch = 0;
  if (const IJLERR e = Validate(*jcprops, &pixel_format, &subsampling, &pitch); e != IJL_OK)
    return e;
  const JPEG_CORE_PROPERTIES& p = *jcprops;
  const int height = p.DIBHeight < 0 ? -p.DIBHeight : p.DIBHeight;
  // Bottom-up rows (negative DIBHeight) are read last row first, so the
  // picture comes out upright.
  const int flags = p.DIBHeight < 0 ? TJFLAG_BOTTOMUP : 0;

  thread_local Compressor compressor;
  const unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (!compressor.Compress(p.DIBBytes, p.DIBWidth, pitch, height, pixel_format, subsampling,
                           p.jquality, flags, &jpeg, &size)) {
    compressor.Trim();
    return IJL_ENCODE_ERROR;
  }

  std::FILE* file = std::fopen(p.JPGFile, "wb");
  if (file == nullptr) {
    compressor.Trim();
    return IJL_FILE_ERROR;
  }
  bool ok = std::fwrite(jpeg, 1, size, file) == size;
  ok = std::fclose(file) == 0 && ok;
  compressor.Trim();
  if (!ok) {
    std::remove(p.JPGFile);  // never leave a partial image behind
    return IJL_FILE_ERROR;
  }
  return IJL_OK;
}

IJLERR ijlFree(JPEG_CORE_PROPERTIES* jcprops) {
  if (jcprops == nullptr) return IJL_NULL_POINTER;
  jcprops->initialised_magic_ = 0;
  return IJL_OK;
}

}  // namespace qz::ijl
