#include "composition/compose_chart.h"

#include <array>

#include "platform/automation/convert.h"

namespace qz::composition {

namespace {

using chart::Chart;
using component::Settings;

constexpr float kTwipsPerInch = 1440;

// The three axes that carry titles, label fonts and value scales, in the
// order every group visits them.
struct AxisSettings {
  std::int32_t id;
  const Variant* title;
  const Variant* title_font;
};

void ComposeAxisTitles(const Settings& s, Chart& chart) {
  const std::array<AxisSettings, 3> axes = {{
      {chart::kAxisX, &s.XTitle, &s.XTitleFont},
      {chart::kAxisY, &s.YTitle, &s.YTitleFont},
      {chart::kAxisZ, &s.ZTitle, &s.ZTitleFont},
  }};
  // Step 13: title texts.
  for (const AxisSettings& a : axes) {
    if (HasText(*a.title)) chart.Plot().Axis(a.id, 1).AxisTitle().SetText(ToText(*a.title));
  }
  // Step 14: title font names.
  for (const AxisSettings& a : axes) {
    if (HasText(*a.title_font)) {
      chart.Plot().Axis(a.id, 1).AxisTitle().Font().SetName(ToText(*a.title_font));
    }
  }
  // Step 15: title font sizes.
  if (IsPositive(s.XTitleFontSize)) {
    chart.Plot().Axis(chart::kAxisX, 1).AxisTitle().Font().SetSize(ToR4(s.XTitleFontSize));
  }
  if (IsPositive(s.YTitleFontSize)) {
    chart.Plot().Axis(chart::kAxisY, 1).AxisTitle().Font().SetSize(ToR4(s.YTitleFontSize));
  }
  if (s.ZTitleFontSize > 0) {
    chart.Plot()
        .Axis(chart::kAxisZ, 1)
        .AxisTitle()
        .Font()
        .SetSize(static_cast<float>(s.ZTitleFontSize));
  }
}

void ComposeAxisLabels(const Settings& s, Chart& chart) {
  // Step 16: label font names.
  if (HasText(s.XLabelFont)) {
    chart.Plot().Axis(chart::kAxisX).Label(1).Font().SetName(ToText(s.XLabelFont));
  }
  if (HasText(s.YLabelFont)) {
    chart.Plot().Axis(chart::kAxisY).Label(1).Font().SetName(ToText(s.YLabelFont));
  }
  if (!s.ZLabelFont.empty()) {
    chart.Plot().Axis(chart::kAxisZ).Label(1).Font().SetName(s.ZLabelFont);
  }
  // Step 17: label font sizes.
  if (IsPositive(s.XLabelFontSize)) {
    chart.Plot().Axis(chart::kAxisX).Label(1).Font().SetSize(ToR4(s.XLabelFontSize));
  }
  if (IsPositive(s.YLabelFontSize)) {
    chart.Plot().Axis(chart::kAxisY).Label(1).Font().SetSize(ToR4(s.YLabelFontSize));
  }
  if (s.ZLabelFontSize > 0) {
    chart.Plot().Axis(chart::kAxisZ).Label(1).Font().SetSize(static_cast<float>(s.ZLabelFontSize));
  }
}

// A limit takes two writes, each on a fresh look-up: the automatic flag off,
// then the value.
enum class Limit { Minimum, Maximum };

void WriteLimit(Chart& chart, std::int32_t axis, Limit which, const Variant& value) {
  chart.Plot().Axis(axis).ValueScale().SetAuto(false);
  if (which == Limit::Minimum) {
    chart.Plot().Axis(axis).ValueScale().SetMinimum(ToR8(value));
  } else {
    chart.Plot().Axis(axis).ValueScale().SetMaximum(ToR8(value));
  }
}

void ComposeScaling(const Settings& s, Chart& chart) {
  if (IsNonZero(s.XAxisMin)) WriteLimit(chart, chart::kAxisX, Limit::Minimum, s.XAxisMin);
  if (IsNonZero(s.XAxisMax)) WriteLimit(chart, chart::kAxisX, Limit::Maximum, s.XAxisMax);
  if (IsNonZero(s.YAxisMin)) WriteLimit(chart, chart::kAxisY, Limit::Minimum, s.YAxisMin);
  if (IsNonZero(s.YAxisMax)) WriteLimit(chart, chart::kAxisY, Limit::Maximum, s.YAxisMax);
  if (IsNonZero(s.ZAxisMin)) WriteLimit(chart, chart::kAxisZ, Limit::Minimum, s.ZAxisMin);
  if (s.ZAxisMax != 0) WriteLimit(chart, chart::kAxisZ, Limit::Maximum, Variant(s.ZAxisMax));
  if (IsNonZero(s.XMajorDivision)) {
    chart.Plot().Axis(chart::kAxisX).ValueScale().SetMajorDivision(ToI2(s.XMajorDivision));
  }
  if (IsNonZero(s.YMajorDivision)) {
    chart.Plot().Axis(chart::kAxisY).ValueScale().SetMajorDivision(ToI2(s.YMajorDivision));
  }
  if (s.ZMajorDivision != 0) {
    chart.Plot().Axis(chart::kAxisZ).ValueScale().SetMajorDivision(s.ZMajorDivision);
  }
}

}  // namespace

void ComposeChart(const Settings& s, Chart& chart) {
  // Steps 1 and 2: the product is formed on the setting's numeric value (an
  // empty setting gives 0), then narrowed to single precision.
  chart.SetHeight(ToR4(Variant(ToR8(s.Height) * kTwipsPerInch)));
  chart.SetWidth(ToR4(Variant(ToR8(s.Width) * kTwipsPerInch)));
  // The picture's resolution (an extension): a value outside the engine's
  // range fails the render with 380 here.
  chart.SetResolution(s.Resolution);

  // Steps 3 to 7: title and legend fonts, chart title.
  if (HasText(s.TitleFont)) chart.Title().Font().SetName(ToText(s.TitleFont));
  if (IsPositive(s.TitleFontSize)) chart.Title().Font().SetSize(ToR4(s.TitleFontSize));
  if (HasText(s.LegendFont)) chart.Legend().Font().SetName(ToText(s.LegendFont));
  if (IsPositive(s.LegendFontSize)) chart.Legend().Font().SetSize(ToR4(s.LegendFontSize));
  if (HasText(s.ChartTitle)) chart.SetTitleText(ToText(s.ChartTitle));

  // Steps 8 to 12: the title backdrop.
  chart.Title().Backdrop().FillColor().SetRed(ToI2(s.TitleBackgroundR));
  chart.Title().Backdrop().FillColor().SetGreen(ToI2(s.TitleBackgroundG));
  chart.Title().Backdrop().FillColor().SetBlue(s.TitleBackgroundB);
  if (IsIn0To4(s.TitleBorderStyle)) {
    chart.Title().Backdrop().SetFrameStyle(ToI4(s.TitleBorderStyle));
  }
  if (IsZeroOrOne(s.TitleShadow)) chart.Title().Backdrop().SetShadowStyle(ToI4(s.TitleShadow));

  // Steps 13 to 17: axis titles and fonts.
  ComposeAxisTitles(s, chart);
  ComposeAxisLabels(s, chart);

  // Step 18: legend visibility (0 hides, 1 shows; other values leave it).
  if (IsZeroOrOne(s.Legends)) chart.SetShowLegend(ToBool(s.Legends));

  // Step 19: chart type through the code table.
  if (IsIn1To8(s.ChartType)) {
    double entry = RoundHalfEven(ToR8(s.ChartType));
    if (entry >= 1 && entry <= 8) {
      chart.SetChartType(kChartTypeCodes[static_cast<int>(entry)]);
    }
  }

  // Steps 20 and 21: the chart backdrop.
  if (IsZeroOrOne(s.Shadow)) chart.Backdrop().SetShadowStyle(ToI4(s.Shadow));
  chart.Backdrop().FillColor().SetRed(ToI2(s.FillRed));
  chart.Backdrop().FillColor().SetGreen(ToI2(s.FillGreen));
  chart.Backdrop().FillColor().SetBlue(s.FillBlue);

  // Step 22.
  chart.SetStacking(s.SeriesStacking != VARIANT_FALSE);

  // Step 23: value scales, only without automatic scaling.
  if (s.AutoScaling == VARIANT_FALSE) ComposeScaling(s, chart);

  // Step 24: the second Y axis scale is hidden by the complement of the
  // setting, so true (-1) shows it and false (0) hides it.
  const auto hide = static_cast<std::int16_t>(~s.SecondYAxisScale);
  chart.Plot().Axis(chart::kAxisY2).AxisScale().SetHide(hide != 0);

  // Step 25.
  chart.Refresh();
}

}  // namespace qz::composition
