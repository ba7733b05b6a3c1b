// libFuzzer target: LoadPicture on arbitrary bytes. Any outcome but a crash,
// a sanitizer report, a leak or an error number other than Invalid picture
// or Out of memory is a finding.
#include <cstdint>
#include <cstdlib>

#include "platform/automation/error.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/picture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int bitmaps_before = qz::gdi::CountHandles().bitmaps;
  try {
    const qz::gdi::Picture picture = qz::gdi::LoadPictureFromMemory(data, size);
    if (picture.Width() <= 0 || picture.Height() <= 0) std::abort();
  } catch (const qz::Error& e) {
    if (e.number() != qz::err::kInvalidPicture && e.number() != qz::err::kOutOfMemory) std::abort();
  }
  if (qz::gdi::CountHandles().bitmaps != bitmaps_before) std::abort();  // a bitmap leaked
  return 0;
}
