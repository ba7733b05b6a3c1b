// The operations of a host-form picture surface that the render road, the
// stamp and the credit text rely on, in the surface's own terms: outer size
// in twips, inner positions in pixels with (0, 0) at the top-left corner.
//
// This is the one place where delivery meets the form's picture boxes; the
// rest of delivery names only these operations.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/form/form.h"
#include "platform/gdi/gdi.h"
#include "platform/gdi/picture.h"

namespace qz::delivery {

// A colour as 0x00BBGGRR, the way a form's colour properties hold it.
constexpr std::uint32_t RGB(int r, int g, int b) {
  return static_cast<std::uint32_t>(r & 0xFF) | static_cast<std::uint32_t>(g & 0xFF) << 8 |
         static_cast<std::uint32_t>(b & 0xFF) << 16;
}

enum class LineEnd { kEndsLine, kGoesOn };

class Surface {
 public:
  explicit Surface(form::PictureBox& box) : box_(box) {}

  // Outer size in twips; raises 380 for a negative or non-finite size.
  void SetHeight(float twips);
  void SetWidth(float twips);
  float ScaleWidth() const;
  float ScaleHeight() const;

  // On: the surface keeps a persistent off-screen image of its size, made
  // from its picture on its background, and hDC() draws into it.
  void SetAutoRedraw(bool on);
  gdi::HDC hDC();
  // The persistent image as a picture of its own (a copy).
  gdi::Picture Image();
  gdi::Picture Picture() const;
  // Assigning draws the picture at the top-left corner on the background.
  void SetPicture(const gdi::Picture& picture);
  // Picture := Image, without redrawing what the image already shows.
  void SetPictureFromImage();

  float CurrentX() const;
  float CurrentY() const;
  void SetCurrentX(float x);
  void SetCurrentY(float y);
  void SetFontName(std::string_view name);
  void SetFontSize(float points);
  void SetFontBold(bool on);
  void SetFontItalic(bool on);
  void SetFontUnderline(bool on);
  void SetForeColor(std::uint32_t colour);

  // Draws text at the pen in the font and fore colour, no background; the
  // pen moves to the text's end, or with kEndsLine to x = 0 one line lower.
  void Print(std::string_view text, LineEnd end);
  float TextWidth(std::string_view text);
  float TextHeight(std::string_view text);
  // The outline of the rectangle from (x1, y1) to (x2, y2) in the fore colour.
  void LineBox(float x1, float y1, float x2, float y2);

 private:
  form::PictureBox& box_;
};

// The chart engine's window on this thread's form: painting it with WM_PAINT
// paints the chart into the given device context.
gdi::HWND ChartWindow(form::Form1& form);

}  // namespace qz::delivery
