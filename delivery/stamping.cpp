#include <cmath>
#include <limits>

#include "component/render_methods.h"
#include "delivery/render_road_p.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/kernel/kernel.h"

namespace qz::delivery {

namespace {

std::int32_t RoundToI4(float v) {
  const double r = RoundHalfEven(v);
  if (!(r >= std::numeric_limits<std::int32_t>::min() &&
        r <= std::numeric_limits<std::int32_t>::max()))
    Raise(err::kOverflow);
  return static_cast<std::int32_t>(r);
}

}  // namespace

void StampPicture(component::ObjectState& object, form::Form1& form) noexcept {
  form::PictureBox& tpict = form.tPict();
  form::PictureBox& picture1 = form.Picture1();
  // A picture that cannot be loaded empties tPict, so nothing is stamped:
  // the picture it held came from an earlier object on this thread, often
  // another page's, and must never show in this chart.
  try {
    tpict.SetPicture(gdi::LoadPicture(object.mPasteFile));
  } catch (...) {
    try {
      tpict.SetPicture(gdi::Picture());
    } catch (...) {
    }
  }
  try {
    if (tpict.Picture().IsEmpty()) return;
  } catch (...) {
  }
  // The block is the size of the whole chart picture, whatever the stamp's
  // size; the transfer clips it at both images' edges.
  try {
    gdi::BitBlt(picture1.hDC(), ToI4(object.mPasteX), object.mPasteY,
                RoundToI4(picture1.ScaleWidth()), RoundToI4(picture1.ScaleHeight()), tpict.hDC(), 0,
                0, gdi::SRCCOPY);
  } catch (...) {
  }
}

}  // namespace qz::delivery

namespace qz::component {

void PastePicture(ObjectState& object, std::int16_t x1, std::int16_t y1, std::string_view PName) {
  const std::string name(PName);
  // The search cannot take a name with a zero byte in it.
  if (name.find('\0') != std::string::npos) Raise(err::kBadFileNameOrNumber);
  kernel::WIN32_FIND_DATAA entry{};
  const kernel::HANDLE search = kernel::FindFirstFileA(name.c_str(), &entry);
  if (search == kernel::INVALID_HANDLE_VALUE) {
    object.mPastePending = VARIANT_FALSE;
    return;
  }
  kernel::FindClose(search);
  object.mPastePending = VARIANT_TRUE;
  object.mPasteX = Variant(x1);
  object.mPasteY = y1;
  object.mPasteFile = name;
}

}  // namespace qz::component
