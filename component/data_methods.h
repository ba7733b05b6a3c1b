// The data grid and series methods of QuenzaChart: each writes to the chart
// engine at once, during the call, and keeps no copy of what it wrote.
//
// Failure styles:
// - Rows, Columns, CurrentRow, CurrentColumn, SetData, RowTitle, ColumnTitle,
//   Rotate and LegendPosition trap nothing: an engine refusal raises its
//   qz::Error and nothing else has changed.
// - SeriesColor and BarEdge skip every failing step and never raise (an
//   unknown series number changes nothing and reports nothing).
// - LegendPosition outside 0..7 is no failure: it writes nothing.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/chart/chart.h"

namespace qz::component {

void Rows(chart::Chart& chart, std::int16_t x);
void Columns(chart::Chart& chart, std::int16_t x);
void CurrentRow(chart::Chart& chart, std::int16_t x);
void CurrentColumn(chart::Chart& chart, std::int16_t x);
// Writes the automation text form of x (FormatNumber) to the current cell.
void SetData(chart::Chart& chart, double x);
void RowTitle(chart::Chart& chart, std::string_view x);
void ColumnTitle(chart::Chart& chart, std::string_view x);
void Rotate(chart::Chart& chart, std::int16_t x);
void LegendPosition(chart::Chart& chart, std::int16_t x);
// The series' line colour when the engine's chart type is a line chart
// (codes 2 and 3), else the fill colour of all its data points.
void SeriesColor(chart::Chart& chart, std::int16_t x, std::int16_t r, std::int16_t g,
                 std::int16_t b) noexcept;
// Edge width w and colour r, g, b for all data points of series s; with w = 0
// the edge takes the series' fill colour instead.
void BarEdge(chart::Chart& chart, std::int16_t s, std::int16_t w, std::int16_t r, std::int16_t g,
             std::int16_t b) noexcept;

}  // namespace qz::component
