#include "platform/form/picture_box.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/automation/error.h"
#include "platform/chart/render/text.h"
#include "platform/gdi/cairo_dc.h"

namespace qz::form {

namespace {

void CheckSize(float twips) {
  if (!(twips >= 0) || !std::isfinite(twips)) Raise(err::kInvalidPropertyValue);
}

void SetSource(cairo_t* cr, chart::Rgb c) {
  auto ch = [](std::int16_t v) { return std::clamp<int>(v, 0, 255) / 255.0; };
  cairo_set_source_rgb(cr, ch(c.r), ch(c.g), ch(c.b));
}

// Copies the source bitmap's pixels (24 or 32 bits) to the top-left corner of
// a 32-bit destination, clipped to both.
void CopyPixels(const gdi::BitmapBits& from, const gdi::BitmapBits& to) {
  if (!from || !to || to.bits_per_pixel() != 32) return;
  int w = std::min(from.width(), to.width()), h = std::min(from.height(), to.height());
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* src = from.Row(y);
    auto* dst = reinterpret_cast<std::uint32_t*>(to.Row(y));
    if (from.bits_per_pixel() == 32) {
      std::memcpy(dst, src, static_cast<std::size_t>(w) * 4);
    } else if (from.bits_per_pixel() == 24) {
      for (int x = 0; x < w; ++x) {
        const std::uint8_t* p = src + 3 * x;
        dst[x] = (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
      }
    }
  }
}

chart::render::ShapedText Shape(const chart::FontState& font, std::string_view text) {
  return chart::render::TextCache::ForThread().Shape(
      {&font, 1, text, chart::render::Fit::kNone, 0, 1});
}

}  // namespace

// ---------------------------------------------------------------- Surface

PictureBox::Surface::Surface(int width, int height, gdi::NewPixels start) {
  dc_ = gdi::CreateCompatibleDC(0);
  if (!dc_) return;
  bitmap_ = gdi::CreateCompatibleBitmap(dc_, width, height, start);
  if (!bitmap_) return;
  stock_ = gdi::SelectObject(dc_, bitmap_);
}

PictureBox::Surface::Surface(Surface&& other) noexcept
    : dc_(std::exchange(other.dc_, 0)),
      bitmap_(std::exchange(other.bitmap_, 0)),
      stock_(std::exchange(other.stock_, 0)) {}

PictureBox::Surface& PictureBox::Surface::operator=(Surface&& other) noexcept {
  if (this != &other) {
    Release();
    dc_ = std::exchange(other.dc_, 0);
    bitmap_ = std::exchange(other.bitmap_, 0);
    stock_ = std::exchange(other.stock_, 0);
  }
  return *this;
}

PictureBox::Surface::~Surface() {
  Release();
}

gdi::HBITMAP PictureBox::Surface::ReleaseBitmap() noexcept {
  if (dc_ && stock_) gdi::SelectObject(dc_, stock_);
  if (dc_) gdi::DeleteDC(dc_);
  const gdi::HBITMAP bitmap = bitmap_;
  dc_ = bitmap_ = stock_ = 0;
  return bitmap;
}

void PictureBox::Surface::Release() noexcept {
  if (dc_ && stock_) gdi::SelectObject(dc_, stock_);
  if (bitmap_) gdi::DeleteObject(bitmap_);
  if (dc_) gdi::DeleteDC(dc_);
  dc_ = bitmap_ = stock_ = 0;
}

// ---------------------------------------------------------------- PictureBox

PictureBox::PictureBox(float left, float top, float width, float height)
    : left_(left), top_(top), width_(width), height_(height) {
  Recreate();
}

PictureBox::~PictureBox() = default;

int PictureBox::PixelWidth() const {
  return static_cast<int>(std::min(32767.0f, std::round(ScaleWidth())));
}
int PictureBox::PixelHeight() const {
  return static_cast<int>(std::min(32767.0f, std::round(ScaleHeight())));
}

void PictureBox::Recreate() {
  int w = PixelWidth(), h = PixelHeight();
  visible_ = w > 0 && h > 0 ? Surface(w, h, gdi::NewPixels::kUnset) : Surface();
  visible_stale_ = true;
  if (auto_redraw_) {
    image_ = w > 0 && h > 0 ? Surface(w, h, gdi::NewPixels::kUnset) : Surface();
    image_stale_ = true;
  } else {
    image_ = Surface();
    image_stale_ = false;
  }
}

bool PictureBox::SurfacesInPlace() const {
  if (PixelWidth() <= 0 || PixelHeight() <= 0) return true;
  return visible_ && (!auto_redraw_ || image_);
}

void PictureBox::Clear(const Surface& s) const {
  if (!s) return;
  const gdi::BitmapBits to = gdi::BitmapBits::OfDC(s.dc());
  const gdi::BitmapBits from =
      picture_.IsEmpty() ? gdi::BitmapBits() : gdi::BitmapBits::OfBitmap(picture_.Handle());
  // A picture covering the whole surface overwrites every pixel the
  // background would have set.
  const bool covered = from && to && to.bits_per_pixel() == 32 &&
                       (from.bits_per_pixel() == 32 || from.bits_per_pixel() == 24) &&
                       from.width() >= to.width() && from.height() >= to.height();
  if (!covered) {
    gdi::CairoDC cr(s.dc());
    if (cr) {
      SetSource(cr.get(), back_color_);
      cairo_paint(cr.get());
    } else if (to) {
      // No background without Cairo; black then, never unset pixels.
      for (int y = 0; y < to.height(); ++y)
        std::memset(to.Row(y), 0, static_cast<std::size_t>(to.width()) * (to.bits_per_pixel() / 8));
    }
  }
  CopyPixels(from, to);
}

void PictureBox::BringImageUp() const {
  if (!image_stale_) return;
  image_stale_ = false;
  Clear(image_);
}

const PictureBox::Surface& PictureBox::Target() const {
  if (auto_redraw_ && image_) {
    BringImageUp();
    return image_;
  }
  if (visible_stale_) {
    visible_stale_ = false;
    Clear(visible_);
  }
  return visible_;
}

void PictureBox::SetWidth(float twips) {
  CheckSize(twips);
  if (twips == width_ && SurfacesInPlace()) return;  // they keep their pixels
  width_ = twips;
  Recreate();
}

void PictureBox::SetHeight(float twips) {
  CheckSize(twips);
  if (twips == height_ && SurfacesInPlace()) return;  // they keep their pixels
  height_ = twips;
  Recreate();
}

void PictureBox::SetAutoRedraw(bool on) {
  if (on == auto_redraw_) return;
  auto_redraw_ = on;
  if (on) {
    int w = PixelWidth(), h = PixelHeight();
    image_ = w > 0 && h > 0 ? Surface(w, h, gdi::NewPixels::kUnset) : Surface();
    image_stale_ = true;
  } else {
    image_ = Surface();
    image_stale_ = false;
  }
}

gdi::HDC PictureBox::hDC() const {
  return Target().dc();
}

gdi::HDC PictureBox::hDCForCoveringPaint() const {
  if (auto_redraw_ && image_) return image_.dc();
  return Target().dc();
}

void PictureBox::Covering(gdi::HDC dc, int width, int height) const {
  if (!image_stale_ || !image_ || dc != image_.dc()) return;
  if (width >= PixelWidth() && height >= PixelHeight()) {
    // Every pixel the start would set is set again before anything reads it.
    image_stale_ = false;
  } else {
    BringImageUp();
  }
}

gdi::Picture PictureBox::Image() const {
  return gdi::Picture(Target().bitmap(), gdi::Ownership::kBorrowed);
}

void PictureBox::SetPicture(const gdi::Picture& picture) {
  // The persistent image made its own picture already shows it, pixel for
  // pixel: redrawing it would copy each pixel onto itself. Its pixels are
  // read below, so its start is made first.
  const bool image_is_source = image_ && picture.Handle() == image_.bitmap();
  if (image_is_source) BringImageUp();
  gdi::Picture copy;
  gdi::BitmapBits from = gdi::BitmapBits::OfBitmap(picture.Handle());
  if (from) {
    // The copy below writes every pixel of a 24- or 32-bit source.
    const bool whole = from.bits_per_pixel() == 24 || from.bits_per_pixel() == 32;
    gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(
        0, from.width(), from.height(), whole ? gdi::NewPixels::kUnset : gdi::NewPixels::kZero);
    if (!bitmap) Raise(err::kOutOfMemory);
    copy = gdi::Picture(bitmap, gdi::Ownership::kOwned);
    CopyPixels(from, gdi::BitmapBits::OfBitmap(bitmap));
  } else if (!picture.IsEmpty()) {
    Raise(err::kInvalidPicture);
  }
  picture_ = std::move(copy);
  visible_stale_ = true;
  // At once, as a drawing made later through a DC taken earlier stays.
  if (auto_redraw_ && !image_is_source) {
    image_stale_ = false;
    Clear(image_);
  }
}

void PictureBox::TakeImageAsPicture() {
  if (!auto_redraw_ || !image_) {
    SetPicture(Image());
    SetAutoRedraw(false);
    return;
  }
  // As SetPicture(Image()): the picture shows the image pixel for pixel and
  // the visible surface is brought to it; then, as SetAutoRedraw(false), the
  // image goes, here into the picture.
  BringImageUp();
  const gdi::HBITMAP bitmap = image_.ReleaseBitmap();
  picture_ = gdi::Picture(bitmap, gdi::Ownership::kOwned);
  image_ = Surface();
  auto_redraw_ = false;
  visible_stale_ = true;
}

void PictureBox::SetBackColor(chart::Rgb color) {
  back_color_ = color;
  visible_stale_ = true;
  if (auto_redraw_) {
    image_stale_ = false;
    Clear(image_);
  }
}

void PictureBox::SetFontSize(float points) {
  if (!(points > 0) || !std::isfinite(points)) Raise(err::kInvalidPropertyValue);
  font_.size = points;
}

void PictureBox::Print(std::string_view text, LineEnd end) {
  chart::render::ShapedText t = Shape(font_, text);
  gdi::CairoDC cr(hDC());
  if (cr && t.layout && std::isfinite(current_x_) && std::isfinite(current_y_)) {
    SetSource(cr.get(), fore_color_);
    cairo_move_to(cr.get(), current_x_ - t.x_offset, current_y_);
    pango_cairo_show_layout(cr.get(), t.layout);
  }
  current_x_ += static_cast<float>(t.width);
  if (end == LineEnd::kNewLine) {
    current_x_ = 0;
    current_y_ += static_cast<float>(t.height);
  }
}

float PictureBox::TextWidth(std::string_view text) const {
  return static_cast<float>(Shape(font_, text).width);
}

float PictureBox::TextHeight(std::string_view text) const {
  return static_cast<float>(Shape(font_, text).height);
}

void PictureBox::Line(float x1, float y1, float x2, float y2, BoxFill fill) {
  if (!std::isfinite(x1) || !std::isfinite(y1) || !std::isfinite(x2) || !std::isfinite(y2)) return;
  gdi::CairoDC cr(hDC());
  if (!cr) return;
  // Whole pixels: both corners are inside the rectangle.
  double left = std::round(std::min(x1, x2)), right = std::round(std::max(x1, x2));
  double top = std::round(std::min(y1, y2)), bottom = std::round(std::max(y1, y2));
  left = std::clamp(left, -1.0, 40000.0);
  right = std::clamp(right, -1.0, 40000.0);
  top = std::clamp(top, -1.0, 40000.0);
  bottom = std::clamp(bottom, -1.0, 40000.0);
  SetSource(cr.get(), fore_color_);
  if (fill == BoxFill::kFilled) {
    cairo_rectangle(cr.get(), left, top, right - left + 1, bottom - top + 1);
    cairo_fill(cr.get());
  } else {
    cairo_set_line_width(cr.get(), 1);
    cairo_rectangle(cr.get(), left + 0.5, top + 0.5, right - left, bottom - top);
    cairo_stroke(cr.get());
  }
  current_x_ = x2;
  current_y_ = y2;
}

void PictureBox::Cls() {
  Clear(Target());
  current_x_ = current_y_ = 0;
}

}  // namespace qz::form
