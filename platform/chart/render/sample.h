// Sample charts for the gallery, the tests and the benchmark.
#pragma once

#include <cairo.h>

#include "platform/chart/chart_state.h"
#include "platform/chart/render/cairo_ptr.h"

namespace qz::chart::render {

// The sample grid: rows "Jan".. ("R7".. past June) by columns "North",
// "South", "West" (then "S4"..), value 10 + ((r * 7 + c * 13) % 23) for the
// 0-based row r and column c; title "Quarterly sales", X title "Month", Y
// title "Units" reading upwards, legend right, white brush backdrop, the
// default palette, 576 x 384 pixels, the given engine chart type code.
ChartState SampleChart(std::int32_t chart_type = kBar2D, int rows = 6, int columns = 3);

// Resizes the grid, keeping the cells, labels and series that remain and
// giving new ones empty cells, default labels and palette colours.
void ResizeGrid(ChartState& s, int rows, int columns);
void SetCell(ChartState& s, int row, int column, std::optional<double> v);  // 1-based

// An RGB24 image of the chart's size (or the given size) painted white and
// then with the chart, as the chart's picture surface would hold it.
SurfacePtr RenderToSurface(const ChartState& s, int width_px = -1, int height_px = -1);

}  // namespace qz::chart::render
