// A picture surface of the host form: an outer size in twips, an inner
// coordinate system in pixels (15 twips to the pixel, (0, 0) at the top-left
// corner, no border), a visible surface and, while AutoRedraw is on, a
// persistent off-screen image, each a 32-bit bitmap selected into a memory
// device context of its own; its own picture; text output and rectangles.
//
// Surfaces. Whatever draws (Print, Line, Cls, a paint through hDC) draws into
// the persistent image while AutoRedraw is on, else into the visible surface.
// Both start as the background colour with the picture at the top-left
// corner, and start so again when the outer size changes, when the picture is
// assigned, on Cls and when AutoRedraw is switched on (a new persistent
// image); switching AutoRedraw off drops the persistent image. Setting the
// size it has already changes nothing: the surfaces keep their pixels.
//
// The visible surface is brought to that start when it is next asked for
// (hDC or Image while it is the drawing surface, Cls), not at each change:
// a chart drawn with AutoRedraw on never looks at it. So drawing into the
// visible surface through a DC obtained before such a change is lost when
// the surface is next asked for.
//
// Fonts are found by name through fontconfig (with the renderer's aliases for
// the usual Windows names); sizes are points at 96 dots per inch.
#pragma once

#include <string>
#include <string_view>

#include "platform/chart/chart_state.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/picture.h"

namespace qz::form {

inline constexpr float kTwipsPerPixel = 15;

enum class LineEnd { kNewLine, kContinue };
enum class BoxFill { kOutline, kFilled };

class PictureBox {
 public:
  // Position and outer size in twips.
  PictureBox(float left, float top, float width, float height);
  PictureBox(const PictureBox&) = delete;
  PictureBox& operator=(const PictureBox&) = delete;
  ~PictureBox();

  float Left() const { return left_; }
  float Top() const { return top_; }
  // Outer size in twips; a negative or non-finite size raises 380 (Invalid
  // property value) and changes nothing.
  float Width() const { return width_; }
  void SetWidth(float twips);
  float Height() const { return height_; }
  void SetHeight(float twips);

  // Inner size in pixels: the outer size over kTwipsPerPixel.
  float ScaleWidth() const { return width_ / kTwipsPerPixel; }
  float ScaleHeight() const { return height_ / kTwipsPerPixel; }

  // Whether drawing goes to the persistent off-screen image.
  bool AutoRedraw() const { return auto_redraw_; }
  void SetAutoRedraw(bool on);

  // The memory device context drawing goes to (see Surfaces); 0 when the
  // inner size has no pixels. Valid until the size or AutoRedraw changes.
  gdi::HDC hDC() const;
  // hDC() for a paint that announces what it covers (Covering) before it
  // draws: the persistent image's start (the picture or the background) is
  // left to then, so that a paint covering all of it spares the copy.
  gdi::HDC hDCForCoveringPaint() const;
  // Called by such a paint on dc before it draws: it is about to set every
  // pixel from (0, 0) to (width, height) opaquely. The image's start is
  // dropped when that is the whole image, and made now otherwise. A paint
  // that draws nothing need not call it: the image starts as before.
  void Covering(gdi::HDC dc, int width, int height) const;
  // The persistent image (the visible surface while AutoRedraw is off), as a
  // picture borrowing its bitmap: valid while that surface lives.
  gdi::Picture Image() const;
  // The surface's own picture, a copy owned by the surface. Assigning copies
  // the given picture's pixels (any bitmap, also one selected into a DC, such
  // as Image()) and redraws the surfaces; the empty picture removes it.
  const gdi::Picture& Picture() const { return picture_; }
  void SetPicture(const gdi::Picture& picture);
  // SetPicture(Image()) followed by SetAutoRedraw(false), with the same
  // outcome, except that the persistent image's bitmap becomes the picture
  // instead of being copied and dropped. With AutoRedraw off it is just
  // those two calls.
  void TakeImageAsPicture();

  // White and black by default. A new background colour clears the surfaces.
  chart::Rgb BackColor() const { return back_color_; }
  void SetBackColor(chart::Rgb color);
  chart::Rgb ForeColor() const { return fore_color_; }
  void SetForeColor(chart::Rgb color) { fore_color_ = color; }

  // The pen position in pixels: where the next text's top-left corner goes.
  float CurrentX() const { return current_x_; }
  void SetCurrentX(float x) { current_x_ = x; }
  float CurrentY() const { return current_y_; }
  void SetCurrentY(float y) { current_y_ = y; }

  const std::string& FontName() const { return font_.name; }
  void SetFontName(std::string_view name) { font_.name = std::string(name); }
  float FontSize() const { return font_.size; }
  void SetFontSize(float points);  // > 0 and finite, else 380
  bool FontBold() const { return font_.bold; }
  void SetFontBold(bool on) { font_.bold = on; }
  bool FontItalic() const { return font_.italic; }
  void SetFontItalic(bool on) { font_.italic = on; }
  bool FontUnderline() const { return font_.underline; }
  void SetFontUnderline(bool on) { font_.underline = on; }
  bool FontStrikethru() const { return font_.strikethrough; }
  void SetFontStrikethru(bool on) { font_.strikethrough = on; }

  // Draws the text at the pen in the font and fore colour, without painting
  // a background, and moves the pen to the text's end; kNewLine then returns
  // the pen to x = 0 and moves it down by the text's height.
  void Print(std::string_view text, LineEnd end = LineEnd::kNewLine);
  // The size the text takes in the current font, in pixels.
  float TextWidth(std::string_view text) const;
  float TextHeight(std::string_view text) const;
  // A rectangle with corners (x1, y1) and (x2, y2), both inside, in the fore
  // colour: its one-pixel outline or filled.
  void Line(float x1, float y1, float x2, float y2, BoxFill fill = BoxFill::kOutline);
  // Clears the drawing surface to the background and the picture; the pen
  // goes to (0, 0).
  void Cls();

 private:
  // A bitmap selected into a memory DC of its own; move-only, released in
  // reverse order of acquisition.
  class Surface {
   public:
    Surface() = default;
    // Pixels as gdi::NewPixels says: unset only for a caller that clears
    // the surface before it is used.
    Surface(int width, int height, gdi::NewPixels start);
    Surface(Surface&& other) noexcept;
    Surface& operator=(Surface&& other) noexcept;
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    ~Surface();
    gdi::HDC dc() const { return dc_; }
    gdi::HBITMAP bitmap() const { return bitmap_; }
    explicit operator bool() const { return dc_ != 0 && bitmap_ != 0; }
    // Ends the surface, handing its bitmap (selected into no DC) to the
    // caller, who deletes it.
    gdi::HBITMAP ReleaseBitmap() noexcept;

   private:
    void Release() noexcept;
    gdi::HDC dc_ = 0;
    gdi::HBITMAP bitmap_ = 0, stock_ = 0;
  };

  int PixelWidth() const;
  int PixelHeight() const;
  void Recreate();
  // Whether every surface the size calls for exists (a failed allocation
  // leaves one missing; setting the same size again retries it).
  bool SurfacesInPlace() const;
  // Brings the surface to the background and the picture: every pixel.
  void Clear(const Surface& s) const;
  // The drawing surface (see Surfaces), brought up to date.
  const Surface& Target() const;
  // Makes the persistent image's start, if it is still due.
  void BringImageUp() const;

  float left_, top_, width_, height_;
  bool auto_redraw_ = false;
  Surface visible_, image_;
  mutable bool visible_stale_ = false;  // visible_ awaits its Clear
  mutable bool image_stale_ = false;    // a new image_ awaits its Clear
  gdi::Picture picture_;
  chart::Rgb back_color_{255, 255, 255};
  chart::Rgb fore_color_{0, 0, 0};
  float current_x_ = 0, current_y_ = 0;
  chart::FontState font_{"MS Sans Serif", 8, {0, 0, 0}};
};

}  // namespace qz::form
