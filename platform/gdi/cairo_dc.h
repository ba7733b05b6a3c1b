// Cairo drawing into the 32-bit bitmap selected into a device context.
#pragma once

#include <cairo.h>

#include <memory>

#include "platform/gdi/gdi.h"

namespace qz::gdi {

// Owns a cairo_t whose target is an image surface over the pixel memory of
// the 32-bit bitmap currently selected into a memory DC (the bitmap stays
// alive while the owner exists). Refuses, by being empty, a DC that is no
// memory DC or holds no 32-bit bitmap. The destructor flushes the surface, so
// the drawing is in the bitmap once the owner is gone; Flush() does it earlier.
class CairoDC {
 public:
  CairoDC() = default;
  explicit CairoDC(HDC hdc);
  CairoDC(CairoDC&& other) noexcept;
  CairoDC& operator=(CairoDC&& other) noexcept;
  CairoDC(const CairoDC&) = delete;
  CairoDC& operator=(const CairoDC&) = delete;
  ~CairoDC();

  explicit operator bool() const noexcept { return cr_ != nullptr; }
  cairo_t* get() const noexcept { return cr_; }
  cairo_surface_t* surface() const noexcept { return surface_; }
  int width() const noexcept { return bits_.width(); }
  int height() const noexcept { return bits_.height(); }
  void Flush() noexcept;

 private:
  void Reset() noexcept;

  BitmapBits bits_;
  cairo_surface_t* surface_ = nullptr;
  cairo_t* cr_ = nullptr;
};

}  // namespace qz::gdi
