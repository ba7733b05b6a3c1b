#include "platform/chart/chart.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/automation/convert.h"
#include "platform/automation/error.h"
#include "platform/chart/render/palette.h"

namespace qz::chart {

namespace {

[[noreturn]] void RaiseInvalid() {
  Raise(err::kInvalidPropertyValue);
}
[[noreturn]] void RaiseSubscript() {
  Raise(err::kSubscriptOutOfRange);
}

void CheckRange(std::int32_t value, std::int32_t lo, std::int32_t hi) {
  if (value < lo || value > hi) RaiseInvalid();
}

void CheckComponent(std::int16_t c) {
  CheckRange(c, 0, 255);
}

void CheckFinite(double value) {
  if (!std::isfinite(value)) RaiseInvalid();
}

bool IsChartTypeCode(std::int32_t code) {
  switch (code) {
    case kBar3D:
    case kBar2D:
    case kLine3D:
    case kLine2D:
    case kArea3D:
    case kArea2D:
    case kStep3D:
    case kPie2D:
      return true;
    default:
      return false;
  }
}

SeriesState DefaultSeries(std::size_t index) {
  SeriesState s;
  s.pen_color =
      render::DefaultSeriesColor(static_cast<int>(index % render::kDefaultPalette.size()));
  s.fill_color = s.pen_color;
  s.edge_width = 1;
  s.edge_color = Rgb{0, 0, 0};
  return s;
}

std::string RowName(std::size_t index) {
  return "R" + std::to_string(index + 1);
}
std::string ColumnName(std::size_t index) {
  return "C" + std::to_string(index + 1);
}

FontState MakeFont(float size) {
  FontState f;
  f.name = "Arial";
  f.size = size;
  f.color = Rgb{0, 0, 0};
  return f;
}

std::size_t Cells(std::int16_t rows, std::int16_t columns) {
  return static_cast<std::size_t>(rows) * static_cast<std::size_t>(columns);
}

}  // namespace

// --- Color, Font, Backdrop -------------------------------------------------

std::int16_t Color::Red() const {
  return at_().r;
}
std::int16_t Color::Green() const {
  return at_().g;
}
std::int16_t Color::Blue() const {
  return at_().b;
}
void Color::SetRed(std::int16_t r) {
  CheckComponent(r);
  at_().r = r;
}
void Color::SetGreen(std::int16_t g) {
  CheckComponent(g);
  at_().g = g;
}
void Color::SetBlue(std::int16_t b) {
  CheckComponent(b);
  at_().b = b;
}
void Color::Set(std::int16_t r, std::int16_t g, std::int16_t b) {
  CheckComponent(r);
  CheckComponent(g);
  CheckComponent(b);
  at_() = Rgb{r, g, b};
}

const std::string& Font::Name() const {
  return at_().name;
}
void Font::SetName(std::string_view name) {
  if (name.empty()) RaiseInvalid();
  at_().name = std::string(name);
}
float Font::Size() const {
  return at_().size;
}
void Font::SetSize(float points) {
  if (!(points > 0 && points <= kMaxFontSize)) RaiseInvalid();
  at_().size = points;
}
Color Font::Color() const {
  Locator<FontState> at = at_;
  at();  // a stale path fails at the look-up
  return chart::Color([at]() -> Rgb& { return at().color; });
}

std::int32_t Backdrop::FrameStyle() const {
  return at_().frame_style;
}
void Backdrop::SetFrameStyle(std::int32_t code) {
  CheckRange(code, kFrameNone, kFrameThickOuter);
  at_().frame_style = code;
}
std::int32_t Backdrop::ShadowStyle() const {
  return at_().shadow_style;
}
void Backdrop::SetShadowStyle(std::int32_t code) {
  CheckRange(code, kShadowNone, kShadowDrop);
  at_().shadow_style = code;
}
std::int32_t Backdrop::FillStyle() const {
  return at_().fill_style;
}
void Backdrop::SetFillStyle(std::int32_t code) {
  CheckRange(code, kFillNull, kFillBrush);
  at_().fill_style = code;
}
Color Backdrop::FillColor() const {
  Locator<BackdropState> at = at_;
  at();
  return chart::Color([at]() -> Rgb& { return at().fill_color; });
}

// --- Title, Legend ---------------------------------------------------------

const std::string& Title::Text() const {
  return chart_->state_.title_text;
}
void Title::SetText(std::string_view text) {
  chart_->SetTitleText(text);
}
Font Title::Font() const {
  Chart* c = chart_;
  return chart::Font([c]() -> FontState& { return c->state_.title_font; });
}
Backdrop Title::Backdrop() const {
  Chart* c = chart_;
  return chart::Backdrop([c]() -> BackdropState& { return c->state_.title_backdrop; });
}

std::int32_t Legend::Location() const {
  return chart_->state_.legend_location;
}
void Legend::SetLocation(std::int32_t code) {
  CheckRange(code, kTopLeft, kCustom);
  chart_->state_.legend_location = code;
}
Font Legend::Font() const {
  Chart* c = chart_;
  return chart::Font([c]() -> FontState& { return c->state_.legend_font; });
}
Backdrop Legend::Backdrop() const {
  Chart* c = chart_;
  return chart::Backdrop([c]() -> BackdropState& { return c->state_.legend_backdrop; });
}

// --- Axis and its parts ----------------------------------------------------

const std::string& AxisTitle::Text() const {
  return at_().title_text;
}
void AxisTitle::SetText(std::string_view text) {
  at_().title_text = std::string(text);
}
Font AxisTitle::Font() const {
  Locator<AxisState> at = at_;
  at();
  return chart::Font([at]() -> FontState& { return at().title_font; });
}
std::int32_t AxisTitle::TextLayout() const {
  return at_().title_layout;
}
void AxisTitle::SetTextLayout(std::int32_t code) {
  CheckRange(code, kLayoutHorizontal, kLayoutDown);
  at_().title_layout = code;
}

Font AxisLabel::Font() const {
  Locator<AxisState> at = at_;
  at();
  return chart::Font([at]() -> FontState& { return at().label_font; });
}

bool ValueScale::Auto() const {
  return at_().scale.automatic;
}
void ValueScale::SetAuto(bool automatic) {
  at_().scale.automatic = automatic;
}
double ValueScale::Minimum() const {
  return at_().scale.minimum;
}
void ValueScale::SetMinimum(double value) {
  CheckFinite(value);
  at_().scale.minimum = value;
}
double ValueScale::Maximum() const {
  return at_().scale.maximum;
}
void ValueScale::SetMaximum(double value) {
  CheckFinite(value);
  at_().scale.maximum = value;
}
std::int16_t ValueScale::MajorDivision() const {
  return at_().scale.major_division;
}
void ValueScale::SetMajorDivision(std::int16_t divisions) {
  at_().scale.major_division = divisions;
}

bool AxisScale::Hide() const {
  return at_().hidden;
}
void AxisScale::SetHide(bool hidden) {
  at_().hidden = hidden;
}

AxisTitle Axis::AxisTitle() const {
  return chart::AxisTitle(at_);
}
AxisLabel Axis::Label(std::int16_t level) const {
  if (level != 1) RaiseSubscript();
  return AxisLabel(at_);
}
ValueScale Axis::ValueScale() const {
  return chart::ValueScale(at_);
}
AxisScale Axis::AxisScale() const {
  return chart::AxisScale(at_);
}

// --- Series and its parts --------------------------------------------------

Color Pen::Color() const {
  Locator<SeriesState> at = at_;
  at();
  return chart::Color([at]() -> Rgb& { return at().pen_color; });
}

float EdgePen::Width() const {
  return at_().edge_width;
}
void EdgePen::SetWidth(float width) {
  if (!(width >= 0) || !std::isfinite(width)) RaiseInvalid();
  at_().edge_width = width;
}
Color EdgePen::Color() const {
  Locator<SeriesState> at = at_;
  at();
  return chart::Color([at]() -> Rgb& { return at().edge_color; });
}

Color Brush::FillColor() const {
  Locator<SeriesState> at = at_;
  at();
  return chart::Color([at]() -> Rgb& { return at().fill_color; });
}

Brush DataPoint::Brush() const {
  return chart::Brush(at_);
}
EdgePen DataPoint::EdgePen() const {
  return chart::EdgePen(at_);
}

Pen Series::Pen() const {
  return chart::Pen(at_);
}
DataPoint Series::DataPoints(std::int16_t entry) const {
  if (entry != -1) RaiseSubscript();
  return DataPoint(at_);
}

// --- Plot ------------------------------------------------------------------

float View3D::Rotation() const {
  return chart_->state_.rotation;
}
void View3D::SetRotation(float degrees) {
  CheckFinite(degrees);
  chart_->state_.rotation = degrees;
}

Axis Plot::Axis(std::int32_t id) const {
  CheckRange(id, kAxisX, kAxisZ);
  Chart* c = chart_;
  auto index = static_cast<std::size_t>(id);
  return chart::Axis([c, index]() -> AxisState& { return c->state_.axes[index]; });
}
Axis Plot::Axis(std::int32_t id, std::int16_t index) const {
  CheckRange(id, kAxisX, kAxisZ);
  if (index != 1) RaiseSubscript();
  return Axis(id);
}
View3D Plot::View3D() const {
  return chart::View3D(chart_);
}
Series Plot::Series(std::int16_t number) const {
  Chart* c = chart_;
  Locator<SeriesState> at = [c, number]() -> SeriesState& {
    if (number < 1 || number > c->state_.columns) RaiseSubscript();
    return c->state_.series[static_cast<std::size_t>(number - 1)];
  };
  at();
  return chart::Series(std::move(at));
}

// --- Chart -----------------------------------------------------------------

ChartState Chart::InitialState() {
  ChartState s;
  s.width_twips = 7815;
  s.height_twips = 4455;
  s.chart_type = kBar2D;
  s.stacking = false;
  s.title_text.clear();
  s.title_font = MakeFont(14);
  s.title_backdrop = BackdropState{};
  s.legend_visible = true;
  s.legend_location = kRight;
  s.legend_font = MakeFont(10);
  s.legend_backdrop = BackdropState{};
  s.backdrop = BackdropState{};
  for (AxisState& axis : s.axes) {
    axis = AxisState{};
    axis.title_font = MakeFont(10);
    axis.label_font = MakeFont(10);
  }
  s.axes[kAxisY2].hidden = true;
  s.rotation = 30;

  constexpr std::int16_t kRows = 4, kColumns = 3;
  constexpr double kSample[kRows][kColumns] = {{3, 5, 2}, {4, 6, 3}, {5, 4, 4}, {6, 7, 5}};
  s.rows = kRows;
  s.columns = kColumns;
  s.current_row = 1;
  s.current_column = 1;
  s.cells.clear();
  for (const auto& row : kSample) {
    for (double v : row) s.cells.emplace_back(v);
  }
  s.row_labels.clear();
  for (std::size_t r = 0; r < kRows; ++r) s.row_labels.push_back(RowName(r));
  s.column_labels.clear();
  s.series.clear();
  for (std::size_t c = 0; c < kColumns; ++c) {
    s.column_labels.push_back(ColumnName(c));
    s.series.push_back(DefaultSeries(c));
  }
  return s;
}

Chart::Chart() : state_(InitialState()) {}

void Chart::Reset() {
  state_ = InitialState();
}

void Chart::SetResolution(std::int16_t dots_per_inch) {
  if (dots_per_inch < kMinResolution || dots_per_inch > kMaxResolution) RaiseInvalid();
  state_.resolution = dots_per_inch;
}

void Chart::SetHeight(float twips) {
  if (!(twips >= 0 && twips <= kMaxSizeTwips)) RaiseInvalid();
  state_.height_twips = twips;
}

void Chart::SetWidth(float twips) {
  if (!(twips >= 0 && twips <= kMaxSizeTwips)) RaiseInvalid();
  state_.width_twips = twips;
}

void Chart::SetChartType(std::int32_t code) {
  if (!IsChartTypeCode(code)) RaiseInvalid();
  state_.chart_type = code;
}

void Chart::SetTitleText(std::string_view text) {
  state_.title_text = std::string(text);
}

void Chart::SetRowCount(std::int16_t rows) {
  Resize(rows, state_.columns);
}

void Chart::SetColumnCount(std::int16_t columns) {
  Resize(state_.rows, columns);
}

void Chart::Resize(std::int16_t rows, std::int16_t columns) {
  if (rows < 1 || columns < 1) RaiseInvalid();
  // Both counts are at most 32767, so the product cannot overflow.
  if (static_cast<std::int64_t>(rows) * columns > kMaxCells) Raise(err::kOutOfMemory);

  // Build the new grid aside so that a failed allocation changes nothing.
  std::vector<std::optional<double>> cells(Cells(rows, columns));
  const std::int16_t keep_rows = std::min(rows, state_.rows);
  const std::int16_t keep_columns = std::min(columns, state_.columns);
  for (std::int16_t r = 0; r < keep_rows; ++r) {
    for (std::int16_t c = 0; c < keep_columns; ++c) {
      cells[Cells(r, columns) + static_cast<std::size_t>(c)] =
          state_.cells[Cells(r, state_.columns) + static_cast<std::size_t>(c)];
    }
  }
  std::vector<std::string> row_labels = state_.row_labels;
  std::vector<std::string> column_labels = state_.column_labels;
  std::vector<SeriesState> series = state_.series;
  row_labels.resize(static_cast<std::size_t>(rows));
  column_labels.resize(static_cast<std::size_t>(columns));
  series.resize(static_cast<std::size_t>(columns));
  for (auto r = static_cast<std::size_t>(state_.rows); r < row_labels.size(); ++r) {
    row_labels[r] = RowName(r);
  }
  for (auto c = static_cast<std::size_t>(state_.columns); c < column_labels.size(); ++c) {
    column_labels[c] = ColumnName(c);
    series[c] = DefaultSeries(c);
  }

  state_.cells = std::move(cells);
  state_.row_labels = std::move(row_labels);
  state_.column_labels = std::move(column_labels);
  state_.series = std::move(series);
  state_.rows = rows;
  state_.columns = columns;
  state_.current_row = std::min(state_.current_row, rows);
  state_.current_column = std::min(state_.current_column, columns);
}

void Chart::SetRow(std::int16_t row) {
  if (row < 1 || row > state_.rows) RaiseSubscript();
  state_.current_row = row;
}

void Chart::SetColumn(std::int16_t column) {
  if (column < 1 || column > state_.columns) RaiseSubscript();
  state_.current_column = column;
}

std::string Chart::Data() const {
  const std::optional<double>& v = state_.cell(state_.current_row, state_.current_column);
  return v ? FormatNumber(*v) : std::string();
}

void Chart::SetData(std::string_view text) {
  std::optional<double> value;
  if (!text.empty()) {
    value = TryParseNumber(text);
    if (!value) Raise(err::kTypeMismatch);
  }
  auto index = Cells(state_.current_row - 1, state_.columns) +
               static_cast<std::size_t>(state_.current_column - 1);
  state_.cells[index] = value;
}

const std::string& Chart::RowLabel() const {
  return state_.row_labels[static_cast<std::size_t>(state_.current_row - 1)];
}

void Chart::SetRowLabel(std::string_view label) {
  state_.row_labels[static_cast<std::size_t>(state_.current_row - 1)] = std::string(label);
}

const std::string& Chart::ColumnLabel() const {
  return state_.column_labels[static_cast<std::size_t>(state_.current_column - 1)];
}

void Chart::SetColumnLabel(std::string_view label) {
  state_.column_labels[static_cast<std::size_t>(state_.current_column - 1)] = std::string(label);
}

Backdrop Chart::Backdrop() {
  return chart::Backdrop([this]() -> BackdropState& { return state_.backdrop; });
}

}  // namespace qz::chart
