// Picture-surface state that the form does not keep yet (the persistent
// image, the picture, the pen and the font), held per thread beside each
// picture box, and the chart engine's paint window.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "delivery/surface_p.h"
#include "platform/automation/error.h"
#include "platform/chart/render/paint.h"
#include "platform/gdi/cairo_dc.h"

// After the GDI headers: glib defines TRUE and FALSE as macros.
#include <pango/pangocairo.h>

namespace qz::delivery {

namespace {

constexpr std::uint32_t kWindowBackground = RGB(255, 255, 255);
constexpr std::uint32_t kWindowText = RGB(0, 0, 0);

struct FontSpec {
  std::string name = "MS Sans Serif";
  float size = 8;
  bool bold = false, italic = false, underline = false;
};

// A persistent image: a 32-bit bitmap selected into a memory DC of its own.
class PersistentImage {
 public:
  PersistentImage() = default;
  PersistentImage(const PersistentImage&) = delete;
  PersistentImage& operator=(const PersistentImage&) = delete;
  ~PersistentImage() { Release(); }

  bool Matches(int w, int h) const { return dc_ != 0 && w == w_ && h == h_; }
  gdi::HDC dc() const { return dc_; }
  int width() const { return w_; }
  int height() const { return h_; }

  void Make(int w, int h) {
    Release();
    const gdi::HDC dc = gdi::CreateCompatibleDC(0);
    const gdi::HBITMAP bitmap = gdi::CreateCompatibleBitmap(0, std::max(w, 1), std::max(h, 1));
    if (dc == 0 || bitmap == 0) {
      if (dc != 0) gdi::DeleteDC(dc);
      if (bitmap != 0) gdi::DeleteObject(bitmap);
      Raise(err::kOutOfMemory);
    }
    old_ = gdi::SelectObject(dc, bitmap);
    dc_ = dc;
    bitmap_ = bitmap;
    w_ = w;
    h_ = h;
  }

  void Release() noexcept {
    if (dc_ == 0) return;
    gdi::SelectObject(dc_, old_);
    gdi::DeleteObject(bitmap_);
    gdi::DeleteDC(dc_);
    dc_ = bitmap_ = old_ = 0;
  }

 private:
  gdi::HDC dc_ = 0;
  gdi::HBITMAP bitmap_ = 0;
  gdi::HGDIOBJ old_ = 0;
  int w_ = 0, h_ = 0;
};

struct SurfaceState {
  PersistentImage image;
  gdi::Picture picture;
  float x = 0, y = 0;
  FontSpec font;
  std::uint32_t fore = kWindowText;
};

SurfaceState& StateOf(const form::PictureBox& box) {
  thread_local std::map<const form::PictureBox*, std::unique_ptr<SurfaceState>> states;
  auto& slot = states[&box];
  if (!slot) slot = std::make_unique<SurfaceState>();
  return *slot;
}

int Pixels(float v) {
  return static_cast<int>(std::lround(v));
}

void SetSource(cairo_t* cr, std::uint32_t colour) {
  cairo_set_source_rgb(cr, (colour & 0xFF) / 255.0, (colour >> 8 & 0xFF) / 255.0,
                       (colour >> 16 & 0xFF) / 255.0);
}

// Copies the top-left of src onto dst at (0, 0), clipped to both: row
// copies when both hold 32-bit pixels, the block transfer otherwise. Answers
// whether src covered the whole of dst.
bool CopyTopLeft(const gdi::BitmapBits& dst, gdi::HDC dst_dc, const gdi::Picture& src) {
  const gdi::BitmapBits from = gdi::BitmapBits::OfBitmap(src.Handle());
  if (!from || !dst) return false;
  const int w = std::min(dst.width(), from.width()), h = std::min(dst.height(), from.height());
  if (from.bits_per_pixel() == 32 && dst.bits_per_pixel() == 32) {
    for (int y = 0; y < h; ++y)
      std::memcpy(dst.Row(y), from.Row(y), static_cast<std::size_t>(w) * 4);
  } else {
    const gdi::HDC src_dc = gdi::CreateCompatibleDC(0);
    const gdi::HGDIOBJ old = gdi::SelectObject(src_dc, src.Handle());
    if (old != 0) {
      gdi::BitBlt(dst_dc, 0, 0, w, h, src_dc, 0, 0, gdi::SRCCOPY);
      gdi::SelectObject(src_dc, old);
    }
    gdi::DeleteDC(src_dc);
  }
  return w == dst.width() && h == dst.height();
}

// The picture at the top-left corner on the background.
void Repaint(SurfaceState& s) {
  const gdi::BitmapBits bits = gdi::BitmapBits::OfDC(s.image.dc());
  if (!s.picture.IsEmpty() && CopyTopLeft(bits, s.image.dc(), s.picture)) return;
  gdi::CairoDC cr(s.image.dc());
  if (!cr) return;
  SetSource(cr.get(), kWindowBackground);
  cairo_paint(cr.get());
  cr.Flush();
  if (!s.picture.IsEmpty()) CopyTopLeft(bits, s.image.dc(), s.picture);
}

void EnsureImage(const form::PictureBox& box, SurfaceState& s) {
  const int w = Pixels(box.ScaleWidth()), h = Pixels(box.ScaleHeight());
  if (s.image.Matches(w, h)) return;
  s.image.Make(w, h);
  Repaint(s);
}

struct LayoutDeleter {
  void operator()(PangoLayout* l) const noexcept { g_object_unref(l); }
};
using LayoutPtr = std::unique_ptr<PangoLayout, LayoutDeleter>;

LayoutPtr MakeLayout(PangoContext* context, const FontSpec& f, std::string_view text) {
  LayoutPtr layout(pango_layout_new(context));
  PangoFontDescription* desc = pango_font_description_new();
  pango_font_description_set_family(desc, f.name.c_str());
  pango_font_description_set_size(desc, static_cast<int>(f.size * PANGO_SCALE));
  pango_font_description_set_weight(desc, f.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
  pango_font_description_set_style(desc, f.italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_layout_set_font_description(layout.get(), desc);
  pango_font_description_free(desc);
  if (f.underline) {
    PangoAttrList* attrs = pango_attr_list_new();
    pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
    pango_layout_set_attributes(layout.get(), attrs);
    pango_attr_list_unref(attrs);
  }
  pango_layout_set_text(layout.get(), text.data(), static_cast<int>(text.size()));
  return layout;
}

PangoContext* MeasuringContext() {
  // A font map of this thread's own, released with the thread (the default
  // one lives as long as the process).
  struct Owner {
    PangoFontMap* font_map;
    PangoContext* context;
    Owner() {
      font_map = pango_cairo_font_map_new();
      pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(font_map), 96);
      context = pango_font_map_create_context(font_map);
    }
    ~Owner() {
      g_object_unref(context);
      g_object_unref(font_map);
    }
  };
  thread_local Owner owner;
  return owner.context;
}

void Extent(const FontSpec& f, std::string_view text, int* w, int* h) {
  LayoutPtr layout = MakeLayout(MeasuringContext(), f, text);
  pango_layout_get_pixel_size(layout.get(), w, h);
}

}  // namespace

void Surface::SetHeight(float twips) {
  box_.SetHeight(twips);
}
void Surface::SetWidth(float twips) {
  box_.SetWidth(twips);
}
float Surface::ScaleWidth() const {
  return box_.ScaleWidth();
}
float Surface::ScaleHeight() const {
  return box_.ScaleHeight();
}

void Surface::SetAutoRedraw(bool on) {
  SurfaceState& s = StateOf(box_);
  const bool was_on = box_.AutoRedraw();
  box_.SetAutoRedraw(on);
  if (!on || was_on) return;
  // A fresh image each time it comes on: the picture on the background (the
  // bitmap itself is kept while the size stays).
  const int w = Pixels(box_.ScaleWidth()), h = Pixels(box_.ScaleHeight());
  if (s.image.Matches(w, h)) {
    Repaint(s);
  } else {
    EnsureImage(box_, s);
  }
}

gdi::HDC Surface::hDC() {
  SurfaceState& s = StateOf(box_);
  EnsureImage(box_, s);
  return s.image.dc();
}

gdi::Picture Surface::Image() {
  SurfaceState& s = StateOf(box_);
  EnsureImage(box_, s);
  if (s.image.width() <= 0 || s.image.height() <= 0) return gdi::Picture();
  const gdi::HBITMAP copy = gdi::CreateCompatibleBitmap(0, s.image.width(), s.image.height());
  if (copy == 0) Raise(err::kOutOfMemory);
  gdi::Picture picture(copy, gdi::Ownership::kOwned);
  const gdi::BitmapBits from = gdi::BitmapBits::OfDC(s.image.dc());
  const gdi::BitmapBits to = gdi::BitmapBits::OfBitmap(copy);
  if (!from || !to || from.stride() != to.stride() || from.height() != to.height())
    Raise(err::kInternalError);
  std::memcpy(to.data(), from.data(),
              static_cast<std::size_t>(to.stride()) * static_cast<std::size_t>(to.height()));
  return picture;
}

void Surface::SetPictureFromImage() {
  SurfaceState& s = StateOf(box_);
  // The image already shows this picture at the top-left: nothing to redraw.
  s.picture = Image();
}

gdi::Picture Surface::Picture() const {
  return StateOf(box_).picture;
}

void Surface::SetPicture(const gdi::Picture& picture) {
  SurfaceState& s = StateOf(box_);
  s.picture = picture;
  EnsureImage(box_, s);
  Repaint(s);
}

float Surface::CurrentX() const {
  return StateOf(box_).x;
}
float Surface::CurrentY() const {
  return StateOf(box_).y;
}
void Surface::SetCurrentX(float x) {
  StateOf(box_).x = x;
}
void Surface::SetCurrentY(float y) {
  StateOf(box_).y = y;
}
void Surface::SetFontName(std::string_view name) {
  StateOf(box_).font.name = std::string(name);
}
void Surface::SetFontSize(float points) {
  if (!(points > 0) || !std::isfinite(points)) Raise(err::kInvalidPropertyValue);
  StateOf(box_).font.size = points;
}
void Surface::SetFontBold(bool on) {
  StateOf(box_).font.bold = on;
}
void Surface::SetFontItalic(bool on) {
  StateOf(box_).font.italic = on;
}
void Surface::SetFontUnderline(bool on) {
  StateOf(box_).font.underline = on;
}
void Surface::SetForeColor(std::uint32_t colour) {
  StateOf(box_).fore = colour;
}

void Surface::Print(std::string_view text, LineEnd end) {
  SurfaceState& s = StateOf(box_);
  EnsureImage(box_, s);
  gdi::CairoDC cr(s.image.dc());
  if (!cr) Raise(err::kInternalError);
  pango_cairo_update_context(cr.get(), MeasuringContext());
  LayoutPtr layout = MakeLayout(MeasuringContext(), s.font, text);
  int w = 0, h = 0;
  pango_layout_get_pixel_size(layout.get(), &w, &h);
  SetSource(cr.get(), s.fore);
  cairo_move_to(cr.get(), s.x, s.y);
  pango_cairo_show_layout(cr.get(), layout.get());
  if (end == LineEnd::kEndsLine) {
    s.x = 0;
    s.y += static_cast<float>(h);
  } else {
    s.x += static_cast<float>(w);
  }
}

float Surface::TextWidth(std::string_view text) {
  int w = 0, h = 0;
  Extent(StateOf(box_).font, text, &w, &h);
  return static_cast<float>(w);
}

float Surface::TextHeight(std::string_view text) {
  int w = 0, h = 0;
  Extent(StateOf(box_).font, text, &w, &h);
  return static_cast<float>(h);
}

void Surface::LineBox(float x1, float y1, float x2, float y2) {
  SurfaceState& s = StateOf(box_);
  EnsureImage(box_, s);
  gdi::CairoDC cr(s.image.dc());
  if (!cr) Raise(err::kInternalError);
  SetSource(cr.get(), s.fore);
  cairo_set_line_width(cr.get(), 1);
  cairo_rectangle(cr.get(), std::min(x1, x2) + 0.5, std::min(y1, y2) + 0.5, std::abs(x2 - x1),
                  std::abs(y2 - y1));
  cairo_stroke(cr.get());
}

gdi::HWND ChartWindow(form::Form1& form) {
  chart::Chart& chart = form.Chart();
  if (chart.hWnd() == 0) {
    const gdi::HWND hwnd = gdi::CreatePaintWindow([&chart](gdi::HDC dc) {
      gdi::CairoDC cr(dc);
      if (!cr) return;
      const int w = chart::render::PixelsFromTwips(chart.Width());
      const int h = chart::render::PixelsFromTwips(chart.Height());
      // A window paints its whole area: with a backdrop that has no fill,
      // what the context held before (the previous chart) must not show.
      SetSource(cr.get(), kWindowBackground);
      cairo_rectangle(cr.get(), 0, 0, w, h);
      cairo_fill(cr.get());
      chart::render::PaintChart(chart.state(), cr.get(), w, h);
    });
    chart.AttachWindow(static_cast<std::intptr_t>(hwnd));
  }
  return static_cast<gdi::HWND>(chart.hWnd());
}

}  // namespace qz::delivery
