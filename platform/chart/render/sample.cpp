#include "platform/chart/render/sample.h"

#include <string>

#include "platform/chart/render/paint.h"
#include "platform/chart/render/palette.h"

namespace qz::chart::render {
namespace {

const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kRegions[] = {"North", "South", "West"};

std::string RowName(int r) {
  return r < 12 ? kMonths[r] : "R" + std::to_string(r + 1);
}
std::string ColumnName(int c) {
  return c < 3 ? kRegions[c] : "S" + std::to_string(c + 1);
}

}  // namespace

void ResizeGrid(ChartState& s, int rows, int columns) {
  int old_rows = s.rows, old_cols = s.columns;
  std::vector<std::optional<double>> cells(static_cast<std::size_t>(rows) *
                                           static_cast<std::size_t>(columns));
  for (int r = 0; r < rows && r < old_rows; ++r) {
    for (int c = 0; c < columns && c < old_cols; ++c) {
      cells[static_cast<std::size_t>(r * columns + c)] =
          s.cells[static_cast<std::size_t>(r * old_cols + c)];
    }
  }
  s.cells = std::move(cells);
  s.rows = static_cast<std::int16_t>(rows);
  s.columns = static_cast<std::int16_t>(columns);
  for (int r = static_cast<int>(s.row_labels.size()); r < rows; ++r)
    s.row_labels.push_back(RowName(r));
  s.row_labels.resize(static_cast<std::size_t>(rows));
  for (int c = static_cast<int>(s.column_labels.size()); c < columns; ++c)
    s.column_labels.push_back(ColumnName(c));
  s.column_labels.resize(static_cast<std::size_t>(columns));
  for (int c = static_cast<int>(s.series.size()); c < columns; ++c) {
    SeriesState series;
    series.fill_color = series.pen_color = DefaultSeriesColor(c);
    series.edge_width = 0;
    series.edge_color = Rgb{255, 255, 255};
    s.series.push_back(series);
  }
  s.series.resize(static_cast<std::size_t>(columns));
}

void SetCell(ChartState& s, int row, int column, std::optional<double> v) {
  s.cells[static_cast<std::size_t>((row - 1) * s.columns + (column - 1))] = v;
}

ChartState SampleChart(std::int32_t chart_type, int rows, int columns) {
  ChartState s;
  s.width_twips = 576 * 15;
  s.height_twips = 384 * 15;
  s.chart_type = chart_type;
  s.title_text = "Quarterly sales";
  s.title_font.name = "Arial";
  s.title_font.size = 13;
  s.title_font.bold = true;
  s.title_font.color = {33, 33, 33};
  s.legend_font.name = "Arial";
  s.legend_font.size = 9;
  s.legend_font.color = {51, 51, 51};
  s.backdrop.fill_style = kFillBrush;
  s.backdrop.fill_color = {255, 255, 255};
  for (AxisState& a : s.axes) {
    a.title_font.name = "Arial";
    a.title_font.size = 10;
    a.title_font.color = {51, 51, 51};
    a.label_font.name = "Arial";
    a.label_font.size = 9;
    a.label_font.color = {68, 68, 68};
  }
  s.axes[kAxisX].title_text = "Month";
  s.axes[kAxisY].title_text = "Units";
  s.axes[kAxisY].title_layout = kLayoutUp;
  s.axes[kAxisY2].hidden = true;
  ResizeGrid(s, rows, columns);
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) SetCell(s, r + 1, c + 1, 10 + ((r * 7 + c * 13) % 23));
  }
  return s;
}

SurfacePtr RenderToSurface(const ChartState& s, int width_px, int height_px) {
  int w = width_px >= 0 ? width_px : PixelsFromTwips(s.width_twips);
  int h = height_px >= 0 ? height_px : PixelsFromTwips(s.height_twips);
  SurfacePtr surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, std::max(w, 1), std::max(h, 1)));
  CairoPtr cr(cairo_create(surface.get()));
  cairo_set_source_rgb(cr.get(), 1, 1, 1);
  cairo_paint(cr.get());
  PaintChart(s, cr.get(), w, h);
  cr.reset();
  cairo_surface_flush(surface.get());
  return surface;
}

}  // namespace qz::chart::render
