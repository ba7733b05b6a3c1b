#include "platform/gdi/cairo_dc.h"

#include <utility>

namespace qz::gdi {

CairoDC::CairoDC(HDC hdc) : bits_(BitmapBits::OfDC(hdc)) {
  if (!bits_ || bits_.bits_per_pixel() != 32 || bits_.bottom_up() ||
      bits_.stride() != cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, bits_.width())) {
    Reset();
    return;
  }
  surface_ = cairo_image_surface_create_for_data(bits_.data(), CAIRO_FORMAT_RGB24, bits_.width(),
                                                 bits_.height(), bits_.stride());
  if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) {
    Reset();
    return;
  }
  cr_ = cairo_create(surface_);
  if (cairo_status(cr_) != CAIRO_STATUS_SUCCESS) Reset();
}

CairoDC::CairoDC(CairoDC&& other) noexcept
    : bits_(std::move(other.bits_)),
      surface_(std::exchange(other.surface_, nullptr)),
      cr_(std::exchange(other.cr_, nullptr)) {}

CairoDC& CairoDC::operator=(CairoDC&& other) noexcept {
  if (this != &other) {
    Reset();
    bits_ = std::move(other.bits_);
    surface_ = std::exchange(other.surface_, nullptr);
    cr_ = std::exchange(other.cr_, nullptr);
  }
  return *this;
}

CairoDC::~CairoDC() {
  Reset();
}

void CairoDC::Flush() noexcept {
  if (surface_ != nullptr) cairo_surface_flush(surface_);
}

void CairoDC::Reset() noexcept {
  if (cr_ != nullptr) cairo_destroy(cr_);
  cr_ = nullptr;
  if (surface_ != nullptr) {
    cairo_surface_flush(surface_);
    cairo_surface_finish(surface_);
    cairo_surface_destroy(surface_);
  }
  surface_ = nullptr;
  bits_ = BitmapBits();
}

}  // namespace qz::gdi
