// The error chart, the credit text and the corner label.
#include <limits>

#include "component/render_methods.h"
#include "delivery/surface_p.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"

namespace qz::component {

namespace {

constexpr const char* kProductLabel = "\xE2\x80\xA2Quenza+";  // a bullet, then the name

std::int16_t RoundToI2(float v) {
  const double r = RoundHalfEven(v);
  if (!(r >= std::numeric_limits<std::int16_t>::min() &&
        r <= std::numeric_limits<std::int16_t>::max()))
    Raise(err::kOverflow);
  return static_cast<std::int16_t>(r);
}

}  // namespace

void ShowError(ObjectState&, std::string& mErr) {
  chart::Chart& chart = form::GetForm1().Chart();
  chart.SetTitleText("** ERROR **");
  chart.SetRowCount(1);
  chart.SetColumnCount(1);
  // The X axis title's font colour, each component through a fresh look-up.
  chart.Plot().Axis(chart::kAxisX, 1).AxisTitle().Font().Color().SetRed(255);
  chart.Plot().Axis(chart::kAxisX, 1).AxisTitle().Font().Color().SetGreen(0);
  chart.Plot().Axis(chart::kAxisX, 1).AxisTitle().Font().Color().SetBlue(0);
  chart.Plot().Axis(chart::kAxisX, 1).AxisTitle().SetText(mErr);
}

void PrintStub(ObjectState&) {
  using delivery::LineEnd;
  using delivery::RGB;
  delivery::Surface p(form::GetForm1().Picture1());
  p.SetCurrentX(5);
  p.SetCurrentY(5);
  p.SetFontName("Verdana");
  p.SetFontBold(true);
  p.SetFontSize(8);
  p.SetForeColor(RGB(0, 0, 0));
  p.Print("Generated using", LineEnd::kEndsLine);
  p.SetFontUnderline(true);
  p.SetFontSize(14);
  p.SetForeColor(RGB(255, 165, 34));
  p.SetFontName("arial");
  p.Print("QUEN", LineEnd::kGoesOn);
  p.SetForeColor(RGB(18, 168, 255));
  p.SetFontItalic(true);
  p.Print(" ZA+", LineEnd::kEndsLine);
  p.SetFontUnderline(false);
  p.SetFontSize(8);
  p.SetForeColor(RGB(156, 18, 18));
  p.SetFontName("Verdana");
  p.SetFontItalic(false);
  p.Print("ASP CHART COMPONENT", LineEnd::kEndsLine);
  p.Print("by the Quenza team", LineEnd::kEndsLine);
}

void PrintStub2(ObjectState&) {
  using delivery::RGB;
  delivery::Surface p(form::GetForm1().Picture1());
  const float right = p.ScaleWidth() - 5;
  const std::int16_t bottom = RoundToI2(p.ScaleHeight() - 5);
  p.SetFontBold(false);
  p.SetFontItalic(false);
  p.SetFontName("Verdana");
  p.SetFontSize(5);
  const float left = right - p.TextWidth(kProductLabel) - 5;
  const float top = bottom - p.TextHeight(kProductLabel);
  p.SetForeColor(RGB(127, 127, 127));
  p.LineBox(left, top, right, bottom);
  p.SetForeColor(RGB(249, 249, 70));
  p.SetCurrentX(left + 3);
  p.SetCurrentY(top);
  p.Print(kProductLabel, delivery::LineEnd::kEndsLine);
}

}  // namespace qz::component
