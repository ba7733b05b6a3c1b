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

// Fills the grid from CSV (RFC 4180 quoting within a line) or, when the
// first line holds a tab, tab-separated text: one row a line, an optional
// first line of series titles and an optional first column of row titles
// (each present when it holds a cell that is not a number), an empty cell a
// missing point. Writes the counts, labels and values through the engine
// writes of the methods above, so a bad value raises their error (13, 6);
// more than 32767 rows or columns raises 6, a grid over the engine's cap 7.
// All or nothing: the writes are tried on a scratch engine first, and a
// failure leaves the grid as it was.
void LoadData(chart::Chart& chart, std::string_view text);

}  // namespace qz::component
