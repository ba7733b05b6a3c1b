// The error chart, the credit text and the corner label.
#include <limits>

#include "component/render_methods.h"
#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/form/form.h"

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
  using form::LineEnd;
  form::PictureBox& p = form::GetForm1().Picture1();
  p.SetCurrentX(5);
  p.SetCurrentY(5);
  p.SetFontName("Verdana");
  p.SetFontBold(true);
  p.SetFontSize(8);
  p.SetForeColor(chart::Rgb{0, 0, 0});
  p.Print("Generated using", LineEnd::kNewLine);
  p.SetFontUnderline(true);
  p.SetFontSize(14);
  p.SetForeColor(chart::Rgb{255, 165, 34});
  p.SetFontName("arial");
  p.Print("QUEN", LineEnd::kContinue);
  p.SetForeColor(chart::Rgb{18, 168, 255});
  p.SetFontItalic(true);
  p.Print(" ZA+", LineEnd::kNewLine);
  p.SetFontUnderline(false);
  p.SetFontSize(8);
  p.SetForeColor(chart::Rgb{156, 18, 18});
  p.SetFontName("Verdana");
  p.SetFontItalic(false);
  p.Print("ASP CHART COMPONENT", LineEnd::kNewLine);
  p.Print("by the Quenza team", LineEnd::kNewLine);
}

void PrintStub2(ObjectState&) {
  form::PictureBox& p = form::GetForm1().Picture1();
  const float right = p.ScaleWidth() - 5;
  const std::int16_t bottom = RoundToI2(p.ScaleHeight() - 5);
  p.SetFontBold(false);
  p.SetFontItalic(false);
  p.SetFontName("Verdana");
  p.SetFontSize(5);
  const float left = right - p.TextWidth(kProductLabel) - 5;
  const float top = bottom - p.TextHeight(kProductLabel);
  p.SetForeColor(chart::Rgb{127, 127, 127});
  p.Line(left, top, right, bottom, form::BoxFill::kOutline);
  p.SetForeColor(chart::Rgb{249, 249, 70});
  p.SetCurrentX(left + 3);
  p.SetCurrentY(top);
  p.Print(kProductLabel, form::LineEnd::kNewLine);
}

}  // namespace qz::component
