// Image decoders behind LoadPicture. Each one checks the header's dimensions
// before it allocates anything and raises qz::Error: 481 Invalid picture for
// truncated or corrupt data, 7 Out of memory for sizes over the cap.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/gdi/gdi.h"

namespace qz::gdi::codecs {

// Each answers a new 32-bit bitmap the caller owns.
HBITMAP DecodeBmp(const std::uint8_t* data, std::size_t size);
HBITMAP DecodeJpeg(const std::uint8_t* data, std::size_t size);
HBITMAP DecodePng(const std::uint8_t* data, std::size_t size);
HBITMAP DecodeGif(const std::uint8_t* data, std::size_t size);

}  // namespace qz::gdi::codecs
