// Field-by-field comparison of chart engine states for tests, naming the
// first field that differs.
#pragma once

#include <string>

#include "platform/chart/chart_state.h"

namespace qz::test {

// "" when a and b hold the same state, else the path of the first field that
// differs ("axes[1].title_layout").
inline std::string FirstDifference(const chart::ChartState& a, const chart::ChartState& b) {
  auto font = [](const chart::FontState& x, const chart::FontState& y) {
    return x.name == y.name && x.size == y.size && x.color == y.color && x.bold == y.bold &&
           x.italic == y.italic && x.underline == y.underline && x.strikethrough == y.strikethrough;
  };
  auto backdrop = [](const chart::BackdropState& x, const chart::BackdropState& y) {
    return x.frame_style == y.frame_style && x.shadow_style == y.shadow_style &&
           x.fill_style == y.fill_style && x.fill_color == y.fill_color;
  };
#define QZ_SAME(cond, name) \
  if (!(cond)) return name
  QZ_SAME(a.width_twips == b.width_twips, "width_twips");
  QZ_SAME(a.height_twips == b.height_twips, "height_twips");
  QZ_SAME(a.resolution == b.resolution, "resolution");
  QZ_SAME(a.chart_type == b.chart_type, "chart_type");
  QZ_SAME(a.stacking == b.stacking, "stacking");
  QZ_SAME(a.title_text == b.title_text, "title_text");
  QZ_SAME(font(a.title_font, b.title_font), "title_font");
  QZ_SAME(backdrop(a.title_backdrop, b.title_backdrop), "title_backdrop");
  QZ_SAME(a.legend_visible == b.legend_visible, "legend_visible");
  QZ_SAME(a.legend_location == b.legend_location, "legend_location");
  QZ_SAME(font(a.legend_font, b.legend_font), "legend_font");
  QZ_SAME(backdrop(a.legend_backdrop, b.legend_backdrop), "legend_backdrop");
  QZ_SAME(backdrop(a.backdrop, b.backdrop), "backdrop");
  for (std::size_t i = 0; i < a.axes.size(); ++i) {
    const chart::AxisState& x = a.axes[i];
    const chart::AxisState& y = b.axes[i];
    const std::string at = "axes[" + std::to_string(i) + "].";
    QZ_SAME(x.title_text == y.title_text, at + "title_text");
    QZ_SAME(font(x.title_font, y.title_font), at + "title_font");
    QZ_SAME(x.title_layout == y.title_layout, at + "title_layout");
    QZ_SAME(font(x.label_font, y.label_font), at + "label_font");
    QZ_SAME(x.scale.automatic == y.scale.automatic, at + "scale.automatic");
    QZ_SAME(x.scale.minimum == y.scale.minimum, at + "scale.minimum");
    QZ_SAME(x.scale.maximum == y.scale.maximum, at + "scale.maximum");
    QZ_SAME(x.scale.major_division == y.scale.major_division, at + "scale.major_division");
    QZ_SAME(x.hidden == y.hidden, at + "hidden");
  }
  QZ_SAME(a.rotation == b.rotation, "rotation");
  QZ_SAME(a.rows == b.rows, "rows");
  QZ_SAME(a.columns == b.columns, "columns");
  QZ_SAME(a.current_row == b.current_row, "current_row");
  QZ_SAME(a.current_column == b.current_column, "current_column");
  QZ_SAME(a.cells == b.cells, "cells");
  QZ_SAME(a.row_labels == b.row_labels, "row_labels");
  QZ_SAME(a.column_labels == b.column_labels, "column_labels");
  QZ_SAME(a.series.size() == b.series.size(), "series.size");
  for (std::size_t i = 0; i < a.series.size(); ++i) {
    const chart::SeriesState& x = a.series[i];
    const chart::SeriesState& y = b.series[i];
    const std::string at = "series[" + std::to_string(i) + "].";
    QZ_SAME(x.pen_color == y.pen_color, at + "pen_color");
    QZ_SAME(x.fill_color == y.fill_color, at + "fill_color");
    QZ_SAME(x.edge_width == y.edge_width, at + "edge_width");
    QZ_SAME(x.edge_color == y.edge_color, at + "edge_color");
  }
#undef QZ_SAME
  return "";
}

}  // namespace qz::test
