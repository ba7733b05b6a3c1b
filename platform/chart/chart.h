// The chart engine: the object model that scripts reach through the component
// (data grid, titles, legend, backdrops, axes, series) over the plain record
// ChartState that the renderer draws.
//
// Model. Chart owns one ChartState. Every sub-object (Title, Legend, Backdrop,
// Plot, Axis, Series, Font, Color...) is a small handle that refers back to
// the Chart it came from; a look-up checks its arguments and answers the live
// sub-object, so writes through it change the chart. A handle re-checks its
// path on every use (a Series handle kept across a Columns() call that drops
// that series fails instead of writing elsewhere). Handles must not outlive
// their Chart.
//
// Failures. Every write is validated before anything changes; a refused
// write raises qz::Error and leaves the state as it was:
// - 380 Invalid property value: a code the engine does not know (chart type,
//   legend location, frame/shadow/fill style, text layout, axis identifier),
//   a colour component outside 0..255, a count below 1, a font size outside
//   (0, kMaxFontSize], an empty font name, a size, width or limit that is
//   negative where it may not be or not finite.
// - 9 Subscript out of range: an index outside 1..count (current row or
//   column, series number, axis index, label level), a data-point entry
//   other than -1 (all points: points are not formatted one by one).
// - 7 Out of memory: a grid of more than kMaxCells cells; refused before
//   anything is allocated.
// - 13 Type mismatch: cell text that is neither empty nor a number; 6
//   Overflow: cell text whose number lies outside the range of a double.
//
// Initial state (InitialState(), and what Reset() restores in full):
// - size 7815 x 4455 twips (the chart's design-time size on the host form),
//   resolution 96 dots per inch;
//   no window yet (hWnd() is 0);
// - chart type 1 (two-dimensional bar), not stacked, 3-D rotation 30;
// - a sample grid of 4 rows and 3 columns, rows labelled "R1".."R4", columns
//   "C1".."C3", every cell holding a value; current row and column 1;
// - series colours from the renderer's default palette (Okabe-Ito, told
//   apart with the common colour-vision deficiencies; render/palette.h),
//   cycling: pen and fill in the series' colour, edges 1 wide in black;
// - no chart title text; title font "Arial" 14 pt, every other font "Arial"
//   10 pt, all black;
// - legend shown, on the right;
// - backdrops (chart, title, legend) without frame, shadow or fill, fill
//   colour white;
// - axes: no title text, title layout horizontal, automatic value scales
//   (0 to 100, 10 divisions when automatic is switched off); the second Y
//   axis scale hidden, the others shown.
//
// Growing the grid keeps the values and labels it already has; new cells are
// missing points, new rows are labelled "R<n>", new columns "C<n>", new series
// take the palette colour of their number. Shrinking drops what falls
// outside, and a current row or column beyond the new count moves to the
// last one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/chart/chart_state.h"

namespace qz::chart {

// The largest grid (rows x columns) the engine holds.
inline constexpr std::int64_t kMaxCells = 1'000'000;
// The largest font size, in points.
inline constexpr float kMaxFontSize = 2160;
// The largest chart height or width, in twips (32767 pixels at 15 twips).
inline constexpr float kMaxSizeTwips = 32767.0f * 15.0f;

class Chart;

// A path from the chart's state to one part of it, checked on every use.
template <class T>
using Locator = std::function<T&()>;

class Color {
 public:
  explicit Color(Locator<Rgb> at) : at_(std::move(at)) {}
  std::int16_t Red() const;
  std::int16_t Green() const;
  std::int16_t Blue() const;
  void SetRed(std::int16_t r);
  void SetGreen(std::int16_t g);
  void SetBlue(std::int16_t b);
  // All three or none: a component outside 0..255 refuses the whole write.
  void Set(std::int16_t r, std::int16_t g, std::int16_t b);

 private:
  Locator<Rgb> at_;
};

class Font {
 public:
  explicit Font(Locator<FontState> at) : at_(std::move(at)) {}
  const std::string& Name() const;
  void SetName(std::string_view name);
  float Size() const;
  void SetSize(float points);
  chart::Color Color() const;

 private:
  Locator<FontState> at_;
};

class Backdrop {
 public:
  explicit Backdrop(Locator<BackdropState> at) : at_(std::move(at)) {}
  std::int32_t FrameStyle() const;
  void SetFrameStyle(std::int32_t code);  // FrameStyle codes 0..4
  std::int32_t ShadowStyle() const;
  void SetShadowStyle(std::int32_t code);  // ShadowStyle codes 0..1
  std::int32_t FillStyle() const;
  void SetFillStyle(std::int32_t code);  // FillStyle codes 0..1
  Color FillColor() const;

 private:
  Locator<BackdropState> at_;
};

class Title {
 public:
  explicit Title(Chart* chart) : chart_(chart) {}
  const std::string& Text() const;
  void SetText(std::string_view text);
  chart::Font Font() const;
  chart::Backdrop Backdrop() const;

 private:
  Chart* chart_;
};

class Legend {
 public:
  explicit Legend(Chart* chart) : chart_(chart) {}
  std::int32_t Location() const;
  void SetLocation(std::int32_t code);  // LegendLocation codes 0..8
  chart::Font Font() const;
  chart::Backdrop Backdrop() const;

 private:
  Chart* chart_;
};

class AxisTitle {
 public:
  explicit AxisTitle(Locator<AxisState> at) : at_(std::move(at)) {}
  const std::string& Text() const;
  void SetText(std::string_view text);
  chart::Font Font() const;
  std::int32_t TextLayout() const;
  void SetTextLayout(std::int32_t code);  // TextLayout codes 0..3

 private:
  Locator<AxisState> at_;
};

// Label level 1 of an axis, the only level the engine has.
class AxisLabel {
 public:
  explicit AxisLabel(Locator<AxisState> at) : at_(std::move(at)) {}
  chart::Font Font() const;

 private:
  Locator<AxisState> at_;
};

class ValueScale {
 public:
  explicit ValueScale(Locator<AxisState> at) : at_(std::move(at)) {}
  bool Auto() const;
  void SetAuto(bool automatic);
  double Minimum() const;
  void SetMinimum(double value);  // any finite value
  double Maximum() const;
  void SetMaximum(double value);  // any finite value
  std::int16_t MajorDivision() const;
  void SetMajorDivision(std::int16_t divisions);  // any value; the renderer copes

 private:
  Locator<AxisState> at_;
};

class AxisScale {
 public:
  explicit AxisScale(Locator<AxisState> at) : at_(std::move(at)) {}
  bool Hide() const;
  void SetHide(bool hidden);

 private:
  Locator<AxisState> at_;
};

class Axis {
 public:
  explicit Axis(Locator<AxisState> at) : at_(std::move(at)) {}
  chart::AxisTitle AxisTitle() const;
  // level must be 1.
  AxisLabel Label(std::int16_t level) const;
  chart::ValueScale ValueScale() const;
  chart::AxisScale AxisScale() const;

 private:
  Locator<AxisState> at_;
};

// The line of a line chart's series.
class Pen {
 public:
  explicit Pen(Locator<SeriesState> at) : at_(std::move(at)) {}
  chart::Color Color() const;

 private:
  Locator<SeriesState> at_;
};

// The edge of a series' data points (bars, areas, slices).
class EdgePen {
 public:
  explicit EdgePen(Locator<SeriesState> at) : at_(std::move(at)) {}
  float Width() const;
  void SetWidth(float width);  // >= 0 and finite; 0 draws a hairline
  chart::Color Color() const;

 private:
  Locator<SeriesState> at_;
};

class Brush {
 public:
  explicit Brush(Locator<SeriesState> at) : at_(std::move(at)) {}
  Color FillColor() const;

 private:
  Locator<SeriesState> at_;
};

// The entry -1 of a series' data points: all of its points at once.
class DataPoint {
 public:
  explicit DataPoint(Locator<SeriesState> at) : at_(std::move(at)) {}
  chart::Brush Brush() const;
  chart::EdgePen EdgePen() const;

 private:
  Locator<SeriesState> at_;
};

class Series {
 public:
  explicit Series(Locator<SeriesState> at) : at_(std::move(at)) {}
  chart::Pen Pen() const;
  // entry must be -1 (all points).
  DataPoint DataPoints(std::int16_t entry) const;

 private:
  Locator<SeriesState> at_;
};

class View3D {
 public:
  explicit View3D(Chart* chart) : chart_(chart) {}
  float Rotation() const;
  void SetRotation(float degrees);  // any finite value

 private:
  Chart* chart_;
};

class Plot {
 public:
  explicit Plot(Chart* chart) : chart_(chart) {}
  // id is an AxisId (0 X, 1 Y, 2 second Y, 3 Z); the index form takes only
  // the index 1. Both address the same axis.
  chart::Axis Axis(std::int32_t id) const;
  chart::Axis Axis(std::int32_t id, std::int16_t index) const;
  chart::View3D View3D() const;
  // number is 1..column count (one series per data column).
  chart::Series Series(std::int16_t number) const;

 private:
  Chart* chart_;
};

class Chart {
 public:
  Chart();
  Chart(const Chart&) = delete;
  Chart& operator=(const Chart&) = delete;

  // The engine's state; the renderer draws from it.
  const ChartState& state() const { return state_; }
  static ChartState InitialState();

  // Restores InitialState() in full (the window stays attached).
  void Reset();

  // Size on the host form, in twips: 0..kMaxSizeTwips.
  float Height() const { return state_.height_twips; }
  void SetHeight(float twips);
  float Width() const { return state_.width_twips; }
  void SetWidth(float twips);

  // Dots per inch of the picture the chart paints (ChartState::resolution):
  // kMinResolution..kMaxResolution, else 380.
  std::int16_t Resolution() const { return state_.resolution; }
  void SetResolution(std::int16_t dots_per_inch);

  // The window the chart paints through (a window handle of platform/gdi,
  // whose paint message paints state() into the device context it carries).
  // 0 until the host form creates that window and attaches it: the chart
  // engine itself owns no window.
  std::uintptr_t hWnd() const { return hwnd_; }
  void AttachWindow(std::uintptr_t hwnd) { hwnd_ = hwnd; }

  // Asks for a redraw after changes. Painting happens on demand from state()
  // whenever the chart is painted, so nothing is drawn here; the requests are
  // only counted (refresh_count) for diagnostics and tests.
  void Refresh() { ++refresh_count_; }
  std::uint64_t refresh_count() const { return refresh_count_; }

  std::int32_t ChartType() const { return state_.chart_type; }
  void SetChartType(std::int32_t code);  // ChartTypeCode values only
  const std::string& TitleText() const { return state_.title_text; }
  void SetTitleText(std::string_view text);
  bool ShowLegend() const { return state_.legend_visible; }
  void SetShowLegend(bool visible) { state_.legend_visible = visible; }
  bool Stacking() const { return state_.stacking; }
  void SetStacking(bool stacked) { state_.stacking = stacked; }

  // The data grid. Counts are >= 1 with rows x columns <= kMaxCells; the
  // current row and column are 1..count.
  std::int16_t RowCount() const { return state_.rows; }
  void SetRowCount(std::int16_t rows);
  std::int16_t ColumnCount() const { return state_.columns; }
  void SetColumnCount(std::int16_t columns);
  std::int16_t Row() const { return state_.current_row; }
  void SetRow(std::int16_t row);
  std::int16_t Column() const { return state_.current_column; }
  void SetColumn(std::int16_t column);
  // The current cell's value as text: "" for a missing point, else the
  // automation text form of the number.
  std::string Data() const;
  // Empty text makes the current cell a missing point; other text must read
  // as a number by the automation rules (qz::TryParseNumber).
  void SetData(std::string_view text);
  const std::string& RowLabel() const;  // of the current row
  void SetRowLabel(std::string_view label);
  const std::string& ColumnLabel() const;  // of the current column
  void SetColumnLabel(std::string_view label);

  chart::Title Title() { return qz::chart::Title(this); }
  chart::Legend Legend() { return qz::chart::Legend(this); }
  chart::Backdrop Backdrop();  // the whole chart's
  chart::Plot Plot() { return qz::chart::Plot(this); }

 private:
  friend class qz::chart::Title;
  friend class qz::chart::Legend;
  friend class qz::chart::View3D;
  friend class qz::chart::Plot;

  void Resize(std::int16_t rows, std::int16_t columns);

  ChartState state_;
  std::uintptr_t hwnd_ = 0;
  std::uint64_t refresh_count_ = 0;
};

}  // namespace qz::chart
