#include "component/data_methods.h"

#include <exception>

#include "platform/automation/convert.h"

namespace qz::component {

namespace {

// Runs one guarded step of SeriesColor or BarEdge: a failure is dropped and
// the caller goes on with its next step. Answers whether the step succeeded.
template <class Step>
bool Guarded(Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void Rows(chart::Chart& chart, std::int16_t x) {
  chart.SetRowCount(x);
}

void Columns(chart::Chart& chart, std::int16_t x) {
  chart.SetColumnCount(x);
}

void CurrentRow(chart::Chart& chart, std::int16_t x) {
  chart.SetRow(x);
}

void CurrentColumn(chart::Chart& chart, std::int16_t x) {
  chart.SetColumn(x);
}

void SetData(chart::Chart& chart, double x) {
  chart.SetData(FormatNumber(x));
}

void RowTitle(chart::Chart& chart, std::string_view x) {
  chart.SetRowLabel(x);
}

void ColumnTitle(chart::Chart& chart, std::string_view x) {
  chart.SetColumnLabel(x);
}

void Rotate(chart::Chart& chart, std::int16_t x) {
  chart.Plot().View3D().SetRotation(static_cast<float>(x));
}

void LegendPosition(chart::Chart& chart, std::int16_t x) {
  if (x < 0 || x > 7) return;
  chart.Legend().SetLocation(x);
}

void SeriesColor(chart::Chart& chart, std::int16_t x, std::int16_t r, std::int16_t g,
                 std::int16_t b) noexcept {
  std::int32_t type = -1;
  const bool known = Guarded([&] { type = chart.ChartType(); });
  if (known && (type == chart::kLine3D || type == chart::kLine2D)) {
    Guarded([&] { chart.Plot().Series(x).Pen().Color().Set(r, g, b); });
  } else {
    Guarded([&] { chart.Plot().Series(x).DataPoints(-1).Brush().FillColor().Set(r, g, b); });
  }
}

void BarEdge(chart::Chart& chart, std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
             std::int16_t b) noexcept {
  auto points = [&] { return chart.Plot().Series(s).DataPoints(-1); };
  Guarded([&] { points().EdgePen().SetWidth(static_cast<float>(w)); });
  Guarded([&] { points().EdgePen().Color().Set(r, g, b); });
  if (w != 0) return;
  // Width 0: the edge takes the series' own fill colour; a component that
  // cannot be read keeps the value passed.
  Guarded([&] { r = points().Brush().FillColor().Red(); });
  Guarded([&] { g = points().Brush().FillColor().Green(); });
  Guarded([&] { b = points().Brush().FillColor().Blue(); });
  Guarded([&] { points().EdgePen().Color().Set(r, g, b); });
  Guarded([&] { points().EdgePen().SetWidth(0); });
}

}  // namespace qz::component
