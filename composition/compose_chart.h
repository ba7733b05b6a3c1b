// ComposeChart: lays an object's settings onto the chart engine before every
// render, in a fixed order of 25 steps (size; title font, legend font, chart
// title; title backdrop colour and styles; axis titles, their fonts and the
// axis label fonts; legend visibility; chart type; chart backdrop shadow and
// colour; series stacking; value scales; second Y axis; Refresh).
//
// Each step writes only when its test on the setting passes. Nothing is
// caught: the first failing step (a test or conversion that raises, or an
// engine write the engine refuses) ends composition with its qz::Error; the
// steps before it stay applied and no later step runs, Refresh included.
// Every engine sub-object is looked up afresh for each step.
#pragma once

#include "component/settings.h"
#include "platform/chart/chart.h"

namespace qz::composition {

// The engine chart-type code for a ChartType of 1..8 (index 0 unused).
inline constexpr std::int32_t kChartTypeCodes[9] = {-1, 1, 3, 5, 14, 0, 2, 4, 6};

// A ChartType strictly between 0 and 9 is rounded to the nearest whole number
// (halves to even); a value that rounds to 0 or 9 writes nothing, like the
// values outside the range.
void ComposeChart(const component::Settings& settings, chart::Chart& chart);

}  // namespace qz::composition
